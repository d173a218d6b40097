"""The price helpers (private_core.helpers) on the frames engine, compared with the
per-symbol pandas helpers they replaced (tests/models/price_oracle.py): the same frames, dtypes,
values (float sums bit for bit), early returns and errors, on randomised rows and
frames. Then the progress bar on stderr (private_core.progress)."""
import io
import sys
from datetime import datetime, timedelta

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

from private_core_models import price_oracle as oracle
from fakes import assert_same_outcome, outcome
from fuzz_inputs import scaled
from private_core import helpers, progress

INTERVALS = list(oracle._RULES)
START = datetime(2024, 1, 29, 9, 0)  # a Monday, two days before a month's end
SYMBOLS = ["AAA", "BBB", "CCC", "DDD"]
# Magnitudes far apart, so that a plainly added sum differs from a compensated one.
FLOATS = st.sampled_from([0.1, 0.2, 0.3, 1e16, -1e16, 1.5, -0.0, 3.25, 1e-8, 7e15])
VALUES = st.one_of(FLOATS, st.integers(-1000, 10**6), st.none())
LAYOUTS = ["%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M", "%Y-%m-%d", "%Y-%m-%dT%H:%M:%S.%f"]


def same_frame(got, want):
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    assert list(got.dtypes) == list(want.dtypes)
    for j in range(got.shape[1]):
        if got.dtypes.iloc[j] == np.float64:  # bit for bit: -0.0 and rounding included
            a, b = got.iloc[:, j].to_numpy(), want.iloc[:, j].to_numpy()
            assert np.array_equal(np.isnan(a), np.isnan(b))
            assert np.array_equal(a[~np.isnan(a)].view("u8"), b[~np.isnan(b)].view("u8")), j


def same(fn, *args, **kwargs):
    """The helper and the oracle's version of it: the same frame, or the same error."""
    got, want = outcome(getattr(helpers, fn), *args, **kwargs), outcome(getattr(oracle, fn), *args, **kwargs)
    assert_same_outcome(got, want, compare=same_frame)
    return got, want


@st.composite
def price_rows(draw, rich=True):
    """Rows as the fetchers build them: "symbol" first, interleaved and unsorted
    symbols, gaps, missing keys and values, extra columns; with `rich`, odd times and
    values that take pandas' own path."""
    tcol = draw(st.sampled_from(["time", "time", "date"]))
    layout = draw(st.sampled_from(LAYOUTS))
    span = draw(st.sampled_from([90, 60 * 24 * 3, 60 * 24 * 40]))  # minutes covered
    fields = draw(st.lists(st.sampled_from(["open", "high", "low", "close", "volume", "value"]), unique=True))
    rows = []
    for _ in range(draw(st.integers(1, 40))):
        row = {"symbol": draw(st.sampled_from(SYMBOLS))}
        when = START + timedelta(minutes=draw(st.integers(0, span)), seconds=draw(st.integers(0, 1)) * 30)
        row[tcol] = when.strftime(layout)
        for name in fields:
            if draw(st.integers(0, 9)):  # now and then the key is missing
                row[name] = draw(VALUES)
        if draw(st.booleans()):
            row["exchange"] = draw(st.sampled_from(["X", "Y", None]))
        rows.append(row)
    if rich and draw(st.integers(0, 4)) == 0:
        row = draw(st.sampled_from(rows))
        key, value = draw(st.sampled_from([
            (tcol, "2024-02-01T09:00:00+07:00"), (tcol, "2024-02-01"), (tcol, None),
            ("symbol", None), ("symbol", 7), ("open", True), ("open", "1.5"), ("volume", 2**70),
            ("close", [1]), ("open", float("inf"))]))
        row[key] = value
    return rows


def bars(*rows):
    return [dict(zip(["symbol", "time", "open", "high", "low", "close", "volume"], r), exchange="X") for r in rows]


@given(rows=price_rows())
@scaled(2)
@example(rows=[{"symbol": "A", "date": "2024-01-02", "close": 1.0},
               {"symbol": "A", "date": "2024-01-03", "close": 2.0, "volume": 7}])
@example(rows=[{"symbol": "A", "time": "2024-01-02", "close": 1.0},
               {"symbol": "A", "time": "2024-01-03", "close": 2.0, "volume": 7}])
# Columns of booleans alone, of booleans beside text, of floats beside text.
@example(rows=[{"symbol": "A", "time": "2024-01-02", "halted": True, "flag": True, "open": 1.5},
               {"symbol": "A", "time": "2024-01-03", "halted": False, "flag": "x", "open": "n/a"}])
def test_to_dataframe_matches_oracle(rows):
    same("_to_dataframe", rows)


@given(rows=price_rows(), interval=st.sampled_from(INTERVALS))
@scaled(3)
# Two interleaved symbols, B with an empty week to drop.
@example(rows=bars(("A", "2024-01-01", 10, 12, 9, 11, 100), ("B", "2024-01-01", 50, 51, 49, 50, 5),
                   ("A", "2024-01-03", 11, 15, 10, 14, 200), ("B", "2024-01-16", 52, 55, 52, 54, 6),
                   ("A", "2024-01-05", 14, 14, 8, 9, 300), ("A", "2024-01-08", 9, 10, 7, 8, 50)), interval="1W")
# Intraday bars are not daily bars: "1D" aggregates them. Daily bars at "1D" and any
# bars at "1m" are returned as they are.
@example(rows=bars(("A", "2024-01-02 09:30", 1, 2, 1, 2, 10), ("A", "2024-01-02 15:59", 2, 3, 0, 2, 20)), interval="1D")
@example(rows=bars(("A", "2024-01-02", 1, 1, 1, 1, 1), ("A", "2024-01-03", 1, 1, 1, 1, 1)), interval="1D")
@example(rows=bars(("A", "2024-01-02 09:30", 1, 1, 1, 1, 1), ("A", "2024-01-02 09:31", 1, 1, 1, 1, 1)), interval="1m")
def test_resample_matches_oracle(rows, interval):
    made = outcome(oracle._to_dataframe, rows)
    if made[0] == "raised":
        return
    frame = made[1]
    got, want = same("resample_ohlcv_multi", frame, interval=interval)
    if want[0] == "ok":  # the early returns hand back the frame itself
        assert (got[1] is frame) == (want[1] is frame)


def frame_of(**columns):
    n = len(columns["time"])
    base = {"symbol": ["B", "A", "B", "A", "C"][:n], "time": pd.to_datetime(columns.pop("time"))}
    return pd.DataFrame({**base, **columns})


TIMES = ["2024-01-02 09:00", "2024-01-02 09:00", "2024-01-02 09:20", "2024-01-03 10:00", "2024-01-09 09:00"]


@pytest.mark.parametrize("frame", [
    # integers: a gap in some symbol's range makes first/max/min/last float64
    frame_of(time=TIMES, open=[1, 2, 3, 4, 5], high=[9, 8, 7, 6, 5], volume=[1, 2, 3, 4, 2**62]),
    frame_of(time=TIMES[:2] + ["2024-01-02 09:01"] * 3, open=[1, 2, 3, 4, 5], volume=[1] * 5),
    # kinds the one-pass path leaves to pandas
    frame_of(time=TIMES, open=np.arange(5, dtype="float32"), close=[True] * 5),
    frame_of(time=TIMES[:4] + [None], open=[1.0] * 5),
    frame_of(time=TIMES, open=[1.0] * 5).assign(time=lambda f: f["time"].dt.tz_localize("Asia/Ho_Chi_Minh")),
    frame_of(time=TIMES, open=[1.0] * 5).assign(symbol=["A", None, "B", "A", float("nan")]),
    frame_of(time=TIMES, open=[1.0] * 5).astype({"symbol": "category"}),
    frame_of(time=TIMES, volume=[1.0] * 5).drop(columns="symbol"),
    frame_of(time=TIMES, low=[1.0] * 5).set_index(pd.Index([5, 3, 1, 2, 4])),
    pd.DataFrame([[1, 2.0, 3.0]], columns=["time", "open", "open"]).assign(time=pd.Timestamp("2024-01-02 09:03")),
    pd.DataFrame({"symbol": ["A", "A"], "date": pd.to_datetime(["2024-01-02", "2024-01-01"]), "close": [1.0, 2.0]}),
])
@pytest.mark.parametrize("interval", INTERVALS)
@pytest.mark.filterwarnings("ignore:The default of observed=False:FutureWarning")
def test_resample_frames_match_oracle(frame, interval):
    before = frame.copy()
    same("resample_ohlcv_multi", frame, interval)
    pd.testing.assert_frame_equal(frame, before)


@pytest.mark.parametrize("frame, interval", [
    (pd.DataFrame({"close": [1.0]}), "5m"),  # no time column
    (pd.DataFrame(), "5m"),  # empty, returned as is
    *[(frame_of(time=TIMES, open=[1.0] * 5), unknown) for unknown in ["2m", "2W", "1h", ""]],
])
def test_resample_errors_and_early_returns(frame, interval):
    got, _ = same("resample_ohlcv_multi", frame, interval)
    assert got[0] == "raised" or got[1] is frame


# --- the progress bar ------------------------------------------------------------------------


class TTY(io.StringIO):
    def isatty(self):
        return True


@pytest.fixture
def stderr(monkeypatch):
    yield lambda stream: monkeypatch.setattr(sys, "stderr", stream) or stream
    progress.finish_progress()


@pytest.mark.parametrize("stream, steps", [
    (io.StringIO(), [(progress.start_progress, 2, "fetch"), (progress.update_progress, 1),
                     (progress.update_progress, 2)]),  # not a terminal
    (TTY(), [(progress.start_progress, 2, "fetch")]),  # never updated
    (TTY(), [(progress.finish_progress,)]),  # never started
    (TTY(), [(progress.finish_progress,), (progress.update_progress, 1)]),
])
def test_progress_silent(stderr, stream, steps):
    out = stderr(stream)
    for call, *args in steps + [(progress.finish_progress,)]:
        call(*args)
    assert out.getvalue() == ""


def test_progress_draws_after_first_update(stderr):
    out = stderr(TTY())
    progress.start_progress(4, "fetch")
    assert out.getvalue() == ""
    progress.update_progress(2)
    assert "fetch" in out.getvalue() and "2/4" in out.getvalue()
    progress.update_progress(4)
    progress.finish_progress()
    assert out.getvalue().endswith("\n") and "4/4" in out.getvalue()


def test_progress_start_closes_unfinished_bar(stderr):
    first = stderr(TTY())
    progress.start_progress(5, "first")
    progress.update_progress(1)
    second = stderr(TTY())
    progress.start_progress(2, "second")
    assert first.getvalue().endswith("\n")
    progress.update_progress(1)
    assert "second" in second.getvalue() and "first" not in second.getvalue()
