"""Every case of the entry-point table, looped module by module: memory and live objects
must stay flat. The frame paths (milliseconds a call) loop apart, and so do the
modules' own bodies."""
import contextlib
import importlib.util
import io
import logging
import typing
from functools import partial

import pytest
from entry_cases import CASES, MODULES, Case
from leakcheck import Call, fresh, stretch_growth

from private_core import daily_bars, tick_feed


def run_cases(cases):
    with contextlib.redirect_stdout(io.StringIO()):
        for case in cases:
            case.build().run()


def load_modules():
    # A module's body is an entry point too: importlib may run it again for a new
    # module object (the two reserved modules define nothing else).
    for name in MODULES:
        spec = importlib.util.find_spec(f"private_core.{name}")
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    # typing's own caches keep the annotations made for each new module's classes (up
    # to their size limit), as for a Python module: emptied so they are not counted.
    for clear in getattr(typing, "_cleanups", ()):
        clear()


LIGHT = {name: [c for c in CASES if c.module == name and not c.heavy] for name in MODULES}
GROUPS = {name: partial(run_cases, cases) for name, cases in LIGHT.items() if cases}
GROUPS["frames"] = partial(run_cases, [c for c in CASES if c.heavy])
GROUPS["module bodies"] = load_modules
# (warm-up, stretch) in rounds, a round being one call of each case of the group.
# 3.10 gives a function its attribute and global caches on its 1,024th run: warmed up
# past that, the light groups then stay flat within a few hundred bytes. The frame
# paths and module bodies cost milliseconds a round.
ROUNDS = {"frames": (4, 3), "module bodies": (8, 8)}
# Traced memory a stretch may gain. pandas' own allocations move the frame paths by
# kB; module bodies leave some hundred bytes per run (strings not tracked by the
# collector, so not in the object counts), where a discarded module kept alive is
# tens of kB. A leaked small object per round is 6 kB a stretch of the others.
MEMORY = {"frames": 60_000, "module bodies": 8 * len(MODULES) * 2_000}


@pytest.fixture
def quiet(monkeypatch):
    # Error paths log (a captured record would keep its arguments); the fetchers' own
    # work is measured, not pandas' frame building.
    logging.disable(logging.CRITICAL)
    for module in (daily_bars, tick_feed):
        monkeypatch.setattr(module, "_to_dataframe", lambda rows: rows)
        monkeypatch.setattr(module, "resample_ohlcv_multi", lambda frame, interval: frame)
    yield
    logging.disable(logging.NOTSET)


def check_flat(calls, group):
    warmup, stretch = ROUNDS.get(group, (1100, 300))
    memory, grown = stretch_growth(calls, warmup=warmup, stretch=stretch)
    assert min(memory) < MEMORY.get(group, 2_000), memory
    # One object left per round grows a type by `stretch` in each stretch; a single
    # object more (a cache slot filled late) is not a leak.
    assert {name: n for name, n in grown.items() if n >= max(2, stretch // 2)} == {}, grown


@pytest.mark.parametrize("group", list(GROUPS))
def test_every_path_keeps_memory_and_objects_flat(group, quiet):
    check_flat(GROUPS[group], group)


def test_check_sees_a_name_kept_by_the_type_cache(quiet):
    # The smallest leak there is: each round looks an attribute up under a new name
    # string, which the interpreter's type attribute cache keeps until its slot is reused.
    class Probe:
        pass

    probe = Case("probe", "getattr", "new name", None, lambda: Call(getattr, Probe, fresh("missing"), None))
    with pytest.raises(AssertionError, match="assert [0-9]+ < 2000"):
        check_flat(partial(run_cases, [*LIGHT["keygate"], probe]), "keygate")
