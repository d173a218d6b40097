"""The frames engine's kernels by name, through the test-only `_runtime_probe`: the
calendar's bin rules, the ISO time reader, the grouped float reductions and the probe
of how the installed pandas reduces floats."""
import logging
import math
from datetime import datetime, timezone
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

probe = pytest.importorskip("private_core._runtime_probe")

DAY = 86400


def seconds(text):
    return int(datetime.fromisoformat(text).replace(tzinfo=timezone.utc).timestamp())


def same_floats(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert (math.isnan(g) and math.isnan(w)) or (g == w and math.copysign(1, g) == math.copysign(1, w)), (got, want)


# kind, step (seconds for spans, else anchors), weekday_day0, closed_right, label_right,
# times, labels. 1970-01-05 (day 4) was a Monday, 1970-01-04 (day 3) a Sunday.
BINS = {
    "5 min, left": ("span", 300, 0, False, False, ["2024-01-02 09:00", "2024-01-02 09:04:59", "2024-01-02 09:05"],
                    ["2024-01-02 09:00", "2024-01-02 09:00", "2024-01-02 09:05"]),
    "5 min, right": ("span", 300, 0, True, True, ["2024-01-02 09:00", "2024-01-02 09:05", "2024-01-02 09:05:01"],
                     ["2024-01-02 09:00", "2024-01-02 09:05", "2024-01-02 09:10"]),
    "5 min, closed right, labelled left": ("span", 300, 0, True, False, ["2024-01-02 09:00", "2024-01-02 09:05:01"],
                                           ["2024-01-02 08:55", "2024-01-02 09:05"]),
    "a day, before 1970": ("span", DAY, 0, False, False, ["1969-12-31 12:00", "1970-01-01"], ["1969-12-31", "1970-01-01"]),
    "weeks from Monday": ("week", 1, 4, False, False, ["2024-01-07 23:59", "2024-01-08", "2024-01-14"],
                          ["2024-01-01", "2024-01-08", "2024-01-08"]),
    "weeks ending Sunday, whole days": ("week", 1, 3, True, True, ["2024-01-07 12:00", "2024-01-08", "2024-01-14 23:00"],
                                       ["2024-01-07", "2024-01-14", "2024-01-14"]),
    "months from the 1st, a leap February": ("month", 1, 0, False, False, ["2024-01-31 23:59", "2024-02-01", "2024-02-29"],
                                             ["2024-01-01", "2024-02-01", "2024-02-01"]),
    "month ends": ("month", 1, 0, True, True, ["2024-01-31 23:00", "2024-02-01", "2024-02-29 12:00", "2024-03-01"],
                   ["2024-01-31", "2024-02-29", "2024-02-29", "2024-03-31"]),
    "two months from the first": ("month", 2, 0, False, False, ["2024-01-15", "2024-02-10", "2024-03-01"],
                                  ["2024-01-01", "2024-01-01", "2024-03-01"]),
    "across a new year": ("month", 1, 0, False, False, ["2023-12-31", "2024-01-01"], ["2023-12-01", "2024-01-01"]),
}


@pytest.mark.parametrize("per_second", [1, 1000, 10**6, 10**9], ids=["s", "ms", "us", "ns"])
@pytest.mark.parametrize("case", BINS.values(), ids=BINS.keys())
def test_bin_rules(case, per_second):
    kind, step, weekday_day0, closed_right, label_right, times, labels = case
    step = step * per_second if kind == "span" else step
    got = probe.bin_labels(kind, step, DAY * per_second, weekday_day0, closed_right, label_right,
                           [seconds(t) * per_second for t in times])
    assert got == [seconds(t) * per_second for t in labels]


@pytest.mark.parametrize("text, want", [
    ("2024-01-02", (seconds("2024-01-02"), 0, "")),
    ("2024-01-02T09:15:00", (seconds("2024-01-02 09:15"), 0, "T")),
    ("2024-01-02 09:15", (seconds("2024-01-02 09:15"), 0, " ")),
    ("2024-01-02T09:15:07.5", (seconds("2024-01-02 09:15:07"), 500_000_000, "T")),
    ("2024-01-02T09:15:07.123456789", (seconds("2024-01-02 09:15:07"), 123_456_789, "T")),
    ("2024-02-29", (seconds("2024-02-29"), 0, "")),
    ("2000-02-29", (seconds("2000-02-29"), 0, "")),
    ("1700-01-01", (seconds("1700-01-01"), 0, "")),
    *[(text, None) for text in [
        "2023-02-29", "2100-02-29", "2024-04-31", "1699-12-31", "2201-01-01", "2024-01-02T24:00",
        "2024-01-02T09:60", "2024-01-02T09:15:00+07:00", "2024-01-02T09:15:00Z", "2024-01-02T09:15:07.1234567890",
        "2024-01-02T09:15:07.", "2024-1-02", "2024-01-02T", "2024-01-02X09:15", "2024-01-02T09:15:0", "２０２４-01-02"]],
])
def test_iso_reader(text, want):
    assert probe.parse_iso(text) == want


NAN = float("nan")


@pytest.mark.parametrize("values, starts, how, min_count, want", [
    ([1e16, 1.0, 1.0, -1e16, 3.0], [0], "sum", 0, [5.0]),  # compensated: a plain sum gives 3.0
    ([0.1] * 10, [0], "sum", 0, [1.0]),
    ([1.0, 2.0, 3.0, 4.0], [0, 2], "sum", 0, [3.0, 7.0]),
    ([NAN, 1.0, NAN], [0], "sum", 0, [1.0]),
    ([NAN], [0], "sum", 0, [0.0]),
    ([NAN], [0], "sum", 1, [NAN]),
    ([-0.0], [0], "sum", 0, [0.0]),  # added to 0.0
    ([-0.0, 0.0], [0], "max", 0, [-0.0]),  # of equal values, the first stays
    ([0.0, -0.0], [0], "min", 0, [0.0]),
    ([NAN, 2.0, 1.0], [0], "max", 0, [2.0]),
    ([NAN, 2.0, 1.0], [0], "min", 0, [1.0]),
    ([NAN, NAN], [0], "max", 0, [NAN]),
    ([NAN, 1.0, 2.0, NAN], [0], "first", 0, [1.0]),
    ([NAN, 1.0, 2.0, NAN], [0], "last", 0, [2.0]),
    ([float("inf"), 1.0, 2.0], [0], "sum", 0, [float("inf")]),
])
def test_grouped_reductions(values, starts, how, min_count, want):
    same_floats(probe.reduce_bins(values, starts, how, min_count, False), want)


@pytest.mark.parametrize("how, ufunc", [("sum", np.add), ("max", np.maximum), ("min", np.minimum)])
@pytest.mark.parametrize("values", [[-0.0, 0.1, 0.1, 0.1, 0.0, -0.0, 1e16, 1.0, -1e16], [0.1] * 11 + [-0.0]])
def test_numpy_reductions(values, how, ufunc):
    # numpy's way where the series has no NaN, the loops where it has one.
    starts = [0, 3, 6]
    same_floats(probe.reduce_bins(values, starts, how, 0, True), list(ufunc.reduceat(np.array(values), starts)))
    gappy = values + [NAN]
    same_floats(probe.reduce_bins(gappy, starts, how, 0, True), probe.reduce_bins(gappy, starts, how, 0, False))


class SkewedPandas:
    """A pandas whose resampled sums, maxima and minima are one more than pandas' own:
    a way of reducing floats the engine does not know."""
    __version__ = "0+skewed"
    DatetimeIndex = pd.DatetimeIndex

    @staticmethod
    def Series(values, index):
        resample = pd.Series(values, index=index).resample
        return SimpleNamespace(resample=lambda rule: SimpleNamespace(**{
            how: (lambda how=how: getattr(resample(rule), how)() + 1) for how in ("sum", "max", "min")}))


def test_float_reduction_probe(caplog):
    # The installed pandas is one of the known ways (numpy's reduceat on clean series
    # from pandas 3.1 on); any other way is named unknown, with a debug line saying so.
    pandas_version = tuple(int(part) for part in pd.__version__.split(".")[:2])
    known = "numpy_when_clean" if pandas_version >= (3, 1) else "loops"
    with caplog.at_level(logging.DEBUG, logger="private_core.frames"):
        assert probe.float_reductions(pd) == known
        assert not caplog.records
        assert probe.float_reductions(SkewedPandas) == "unknown"
    assert [r.getMessage() for r in caplog.records] == [
        "pandas 0+skewed reduces float bins neither with its own loops nor with numpy's reduceat: "
        "float columns take pandas' own path"]
