"""The benchmark runner's table builder (the timings themselves are never asserted)."""
import sys
from pathlib import Path

import pytest

pytest.importorskip("pyperf")
pytest.importorskip("matplotlib")
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import harness  # noqa: E402


def test_measure_and_table_quick(tmp_path):
    calls = {"core": 0, "floor": 0, "plain": 0}

    def work(name):
        def run():
            calls[name] += 1
            return sum(range(50))
        return run

    case = harness.Case("tiny", {v: work(v) for v in harness.VARIANTS}, unit="ns", target=1.1)
    result = harness.measure(case, rounds=3, min_time=0.001, log=lambda _: None)
    assert all(len(result.values[v]) == 3 and calls[v] > 3 for v in harness.VARIANTS)
    assert result.core_floor > 0 and result.plain_core > 0
    memory = harness.measure_memory(harness.Case("mem", {v: (lambda: [0] * 100_000) for v in harness.VARIANTS}),
                                    rounds=1, log=lambda _: None)
    assert min(memory.values["core"]) >= 0.8  # 100,000 pointers, in MB
    lines = harness.table([result, memory]).splitlines()
    assert lines[0].split()[:3] == ["benchmark", "unit", "core"]
    assert lines[2].startswith("tiny") and "1.10" in lines[2] and lines[3].startswith("mem")
    harness.dump_pyperf([result], str(tmp_path / "values.json"))
    harness.plot([result, memory], str(tmp_path / "ratios.png"), "test")
    assert (tmp_path / "ratios.png").stat().st_size > 1000


def test_measure_runs_the_check_first():
    def check(results):
        assert results["core"] == results["plain"], "results differ"

    case = harness.Case("bad", {"core": lambda: 1, "floor": lambda: 1, "plain": lambda: 2}, check=check)
    with pytest.raises(AssertionError, match="results differ"):
        harness.measure(case, rounds=1, min_time=0.001, log=lambda _: None)
