import io
import sys

import pandas as pd
import pydantic
import pytest
from tavrix.exceptions import ApiKeyValidationError, DataDecodingError, HttpError
from tavrix.types import ApiKeyValidationResponse

from private_core import helpers, progress


@pytest.mark.parametrize("kwargs", [{}, {"status_code": 404, "payload": {"detail": "x"}}])
def test_http_error_attributes(kwargs):
    err = HttpError("failed", **kwargs)
    assert (str(err), err.args) == ("failed", ("failed",))
    assert err.status_code == kwargs.get("status_code")
    assert err.payload == kwargs.get("payload")


@pytest.mark.parametrize("exc", [HttpError("x", 502), DataDecodingError("x"), ApiKeyValidationError("x")])
def test_raise_from_keeps_cause(exc):
    cause = ValueError("low level")
    with pytest.raises(type(exc)) as info:
        raise exc from cause
    assert info.value.__cause__ is cause


def test_model_validate_ok():
    r = ApiKeyValidationResponse.model_validate(
        {"valid": True, "plan": "pro", "expires_at": "2030-01-02T03:04:05Z", "extra": 1})
    assert (r.valid, r.plan, r.message, r.expires_at.year) == (True, "pro", None, 2030)


@pytest.mark.parametrize("obj", [None, [], "valid", {}, {"message": "ok"}, {"valid": "maybe"}])
def test_model_validate_rejects(obj):
    with pytest.raises(pydantic.ValidationError):
        ApiKeyValidationResponse.model_validate(obj)


def _bar(sym, t, o, h, l, c, v):
    return {"symbol": sym, "time": t, "open": o, "high": h, "low": l, "close": c, "volume": v}


@pytest.mark.parametrize("tcol", ["time", "date"])
def test_to_dataframe(tcol):
    frame = helpers._to_dataframe([{"symbol": "A", tcol: "2024-01-02", "close": 1.0},
                                   {"symbol": "A", tcol: "2024-01-03", "close": 2.0, "volume": 7}])
    assert list(frame.columns) == ["symbol", tcol, "close", "volume"]
    assert frame[tcol].iloc[1] == pd.Timestamp("2024-01-03")


@pytest.mark.parametrize("rows, interval, expected", [
    # Two interleaved symbols; BBB has an empty week that must be dropped.
    ([_bar("A", "2024-01-01", 10, 12, 9, 11, 100), _bar("B", "2024-01-01", 50, 51, 49, 50, 5),
      _bar("A", "2024-01-03", 11, 15, 10, 14, 200), _bar("B", "2024-01-16", 52, 55, 52, 54, 6),
      _bar("A", "2024-01-05", 14, 14, 8, 9, 300), _bar("A", "2024-01-08", 9, 10, 7, 8, 50)],
     "1W", [("A", "2024-01-01", 10, 15, 8, 9, 600), ("A", "2024-01-08", 9, 10, 7, 8, 50),
            ("B", "2024-01-01", 50, 51, 49, 50, 5), ("B", "2024-01-15", 52, 55, 52, 54, 6)]),
    # Intraday bars are not daily bars, so "1D" must aggregate them.
    ([_bar("A", "2024-01-02 09:30", 1, 2, 1, 2, 10), _bar("A", "2024-01-02 15:59", 2, 3, 0, 2, 20)],
     "1D", [("A", "2024-01-02", 1, 3, 0, 2, 30)]),
])
def test_resample(rows, interval, expected):
    frame = helpers._to_dataframe(rows).assign(exchange="X")
    out = helpers.resample_ohlcv_multi(frame, interval)
    assert list(out.columns) == ["symbol", "time", "open", "high", "low", "close", "volume"]
    assert [tuple(r) for r in out.itertuples(index=False)] == [
        (s, pd.Timestamp(t), *rest) for s, t, *rest in expected]


@pytest.mark.parametrize("times, interval", [(["2024-01-02", "2024-01-03"], "1D"),
                                             (["2024-01-02 09:30", "2024-01-02 09:31"], "1m")])
def test_resample_base_interval_passthrough(times, interval):
    frame = helpers._to_dataframe([_bar("A", t, 1, 1, 1, 1, 1) for t in times])
    assert helpers.resample_ohlcv_multi(frame, interval) is frame


@pytest.mark.parametrize("interval", ["2W", "1h", ""])
def test_resample_unknown_interval(interval):
    with pytest.raises(ValueError, match="unknown interval"):
        helpers.resample_ohlcv_multi(helpers._to_dataframe([_bar("A", "2024-01-02", 1, 1, 1, 1, 1)]), interval)


class _TTY(io.StringIO):
    def isatty(self):
        return True


@pytest.fixture
def stderr(monkeypatch):
    yield lambda stream: monkeypatch.setattr(sys, "stderr", stream) or stream
    progress.finish_progress()


@pytest.mark.parametrize("stream, updates", [(io.StringIO(), [1, 2]), (_TTY(), [])])
def test_progress_silent(stderr, stream, updates):
    out = stderr(stream)
    progress.start_progress(2, "fetch")
    for done in updates:
        progress.update_progress(done)
    progress.finish_progress()
    assert out.getvalue() == ""


def test_progress_draws_after_first_update(stderr):
    out = stderr(_TTY())
    progress.start_progress(4, "fetch")
    assert out.getvalue() == ""
    progress.update_progress(2)
    assert "fetch" in out.getvalue() and "2/4" in out.getvalue()
    progress.update_progress(4)
    progress.finish_progress()
    assert out.getvalue().endswith("\n") and "4/4" in out.getvalue()


def test_progress_start_closes_unfinished_bar(stderr):
    first = stderr(_TTY())
    progress.start_progress(5, "first")
    progress.update_progress(1)
    second = stderr(_TTY())
    progress.start_progress(2, "second")
    assert first.getvalue().endswith("\n")
    progress.update_progress(1)
    assert "second" in second.getvalue() and "first" not in second.getvalue()


@pytest.mark.parametrize("call", [progress.finish_progress, lambda: progress.update_progress(1)])
def test_progress_without_start_is_noop(stderr, call):
    out = stderr(_TTY())
    progress.finish_progress()
    call()
    assert out.getvalue() == ""
