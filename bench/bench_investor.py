"""Investor engine: resampling and payload decoding, beside plain-pandas versions.

- Resampling 500 entities x 500 daily rows (6 numeric columns, 1 text column) to
  "1W": `_resample_frame` beside the per-entity algorithm (one pandas resample per
  entity), same run, results asserted equal.
- `_normalise_records` + `_to_dataframe` on a keyed payload of 1,000 ids x 250 rows,
  in ns per row, beside the same steps written in plain Python.

Best of many rounds is reported: these machines are shared and noisy.

    python bench/bench_investor.py [--quick]
"""
from __future__ import annotations

import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
if hasattr(os, "sched_setaffinity"):
    os.sched_setaffinity(0, {max(os.sched_getaffinity(0))})

import argparse
import gc
import json
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import investor_oracle as plain  # noqa: E402

from private_core.investor.flow_engine import InvestorFlowEngine  # noqa: E402


def best_of(fn, rounds):
    best = float("inf")
    result = None
    for _ in range(rounds):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def resample_input(entities=500, days=500, seed=7):
    rng = np.random.default_rng(seed)
    dates = pd.date_range("2022-01-03", periods=days, freq="D")
    n = entities * days
    frame = pd.DataFrame({
        "symbol": np.repeat([f"S{i:03d}" for i in range(entities)], days),
        "date": np.tile(dates.values, entities),
        "buy_value": rng.normal(1e6, 1e5, n),
        "sell_value": rng.normal(1e6, 1e5, n),
        "net_value": rng.normal(0, 1e5, n),
        "buy_volume": rng.integers(0, 10_000, n),
        "sell_volume": rng.integers(0, 10_000, n),
        "net_volume": rng.integers(-5_000, 5_000, n),
        "group": np.repeat(["foreign", "local"], n // 2),
    })
    return frame


def keyed_payload(ids=1000, rows=250):
    dates = [str(d.date()) for d in pd.date_range("2023-01-02", periods=rows, freq="D")]
    payload = {
        f"S{i:04d}": [
            {"date": d, "buy": 1.5 * j, "sell": 2.0 * j, "net": j, "volume": 10 * j,
             "value": 3.25, "group": "foreign"}
            for j, d in enumerate(dates)
        ]
        for i in range(ids)
    }
    # As the service's JSON decoder hands it over (shared key objects per answer).
    return json.loads(json.dumps(payload))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    engine = InvestorFlowEngine(None)
    rounds_fast, rounds_slow = (3, 1) if args.quick else (15, 4)

    table = []

    frame = resample_input()
    ours_t, ours = best_of(lambda: engine._resample_frame(frame, "stock", "1W"), rounds_fast)
    plain_t, expected = best_of(lambda: plain.resample_per_entity(frame, "stock", "1W"), rounds_slow)
    pd.testing.assert_frame_equal(ours, expected, check_exact=True)
    table.append(("resample 500x500 -> 1W", f"{ours_t * 1e3:9.1f} ms", f"{plain_t * 1e3:9.1f} ms",
                  plain_t / ours_t, 10))

    payload = keyed_payload()
    n_rows = 1000 * 250

    def ours_decode():
        return engine._to_dataframe(engine._normalise_records(payload, "stock"), "stock")

    def plain_decode():
        return plain.to_dataframe(plain.normalise_records(payload, "stock"), "stock")

    ours_t, ours = best_of(ours_decode, rounds_fast)
    plain_t, expected = best_of(plain_decode, max(rounds_slow, 5))
    pd.testing.assert_frame_equal(ours, expected, check_exact=True)
    table.append(("decode keyed 1000x250", f"{ours_t / n_rows * 1e9:9.0f} ns/row",
                  f"{plain_t / n_rows * 1e9:9.0f} ns/row", plain_t / ours_t, 2))

    print(f"{'case':<26}{'engine':>18}{'plain pandas':>18}{'ratio':>9}{'target':>9}")
    for name, ours_s, plain_s, ratio, target in table:
        print(f"{name:<26}{ours_s:>18}{plain_s:>18}{ratio:>8.1f}x{target:>8}x")


if __name__ == "__main__":
    main()
