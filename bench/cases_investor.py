"""The investor engine's frame steps, beside their floors and plain pandas.

- Payload normalisation: `_normalise_records` + `_to_dataframe` on a keyed payload of
  400 ids x 250 rows (ns per row). Floor: the rows flattened with their id in one
  comprehension, one `DataFrame.from_records` and one `pd.to_datetime` of the date
  column, the least any decoder must do. Plain: the same steps in plain Python
  (tests/models/investor_oracle.py).
- Resampling 100 entities x 500 daily rows (6 numeric columns, 1 text column) to
  "1W": `_resample_frame`. Floor: one vectorised pandas aggregation of the numeric
  columns by entity and week (no text columns carried, no empty weeks filled). Plain:
  one pandas resample per entity (the oracle).

The engine's results are checked equal to the oracle's before timing.
"""
from __future__ import annotations

import json
from typing import List

import numpy as np
import pandas as pd

from private_core_models import investor_oracle as plain

from private_core.investor.flow_engine import InvestorFlowEngine

from harness import Case

IDS, ROWS = 400, 250
ENTITIES, DAYS = 100, 500
NUMERIC = ["buy_value", "sell_value", "net_value", "buy_volume", "sell_volume", "net_volume"]


def resample_input(entities: int = ENTITIES, days: int = DAYS, seed: int = 7) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    dates = pd.date_range("2022-01-03", periods=days, freq="D")
    n = entities * days
    return pd.DataFrame({
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


def keyed_payload(ids: int = IDS, rows: int = ROWS) -> dict:
    dates = [str(d.date()) for d in pd.date_range("2023-01-02", periods=rows, freq="D")]
    payload = {
        f"S{i:04d}": [
            {"date": d, "buy": 1.5 * j, "sell": 2.0 * j, "net": j, "volume": 10 * j,
             "value": 3.25, "group": "foreign"}
            for j, d in enumerate(dates)
        ]
        for i in range(ids)
    }
    # As the service's JSON decoder hands it over (key objects shared per answer).
    return json.loads(json.dumps(payload))


def cases() -> List[Case]:
    engine = InvestorFlowEngine(None)
    payload = keyed_payload()
    id_field = plain.ID_FIELD.get("stock", "symbol")

    def decode_floor() -> pd.DataFrame:
        frame = pd.DataFrame.from_records(
            [{**row, id_field: key} for key, rows in payload.items() for row in rows])
        frame["date"] = pd.to_datetime(frame["date"])
        return frame

    def check_frames(results: dict) -> None:
        pd.testing.assert_frame_equal(results["core"], results["plain"], check_exact=True)

    frame = resample_input()

    def resample_floor() -> pd.DataFrame:
        return (frame.groupby(["symbol", pd.Grouper(key="date", freq="1W")])[NUMERIC]
                .sum(min_count=1).reset_index())

    return [
        Case(f"payload normalisation ({IDS} x {ROWS} keyed)", {
            "core": lambda: engine._to_dataframe(engine._normalise_records(payload, "stock"), "stock"),
            "floor": decode_floor,
            "plain": lambda: plain.to_dataframe(plain.normalise_records(payload, "stock"), "stock"),
        }, unit="ns", per=IDS * ROWS, check=check_frames),
        Case(f"resampling ({ENTITIES} x {DAYS} daily -> 1W)", {
            "core": lambda: engine._resample_frame(frame, "stock", "1W"),
            "floor": resample_floor,
            "plain": lambda: plain.resample_per_entity(frame, "stock", "1W"),
        }, unit="ms", check=check_frames),
    ]
