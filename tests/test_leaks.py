"""Every entry point, success and error paths, looped: memory must stay flat."""
import contextlib
import io
import logging
from datetime import timedelta

import pytest
from leakcheck import stretch_growth
from tavrix.exceptions import DataDecodingError

from private_core import (daily_bars, keygate, memo_layer, memo_rules, memo_store, tick_feed,
                          transport_base)


class Client(memo_layer.BaseMemoLayer):
    pass


def _expect(exc, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except exc:
        pass
    else:
        raise AssertionError(f"{fn} did not raise {exc}")


def cache_calls():
    cache = memo_store._Cache()
    cache.set("ns", ("k", 1), object(), params={"a": 1}, ttl=timedelta(minutes=1))
    cache.get("ns", ("k", 1))
    cache.get("ns", ("missing",))
    cache.set("ns", ("old",), 1, ttl=timedelta(seconds=-1))
    cache.get("ns", ("old",))  # expired: evicted
    cache._begin_inflight("ns", 1)
    cache._end_inflight("ns", 1)
    _expect(TypeError, cache.get, "ns", [])
    _expect(TypeError, cache.set, "ns", 1, 2, params=[])
    cache.clear_ns("ns")
    cache.clear_all()
    memo_store.to_date("2024-05-03")
    memo_store.is_today(None)
    _expect(ValueError, memo_store.to_date, 1)
    _expect(ValueError, memo_store.to_date, "not a date")
    memo_rules.touches_latest_trading_day("2024-05-03")
    memo_rules.ttl_eod_latest()


def layer_calls():
    client = Client()
    ttl = timedelta(minutes=1)
    client._fetch_with_cache("ns", ("k",), live=False, fetcher=lambda: [1], ttl_live=ttl, ttl_history=None)
    client._fetch_with_cache("ns", ("k",), live=False, fetcher=None, ttl_live=ttl, ttl_history=None)
    client._fetch_with_cache("ns", ("k",), live=True, fetcher=lambda: [2], ttl_live=ttl, ttl_history=None)

    def boom():
        raise KeyError("fetch failed")

    _expect(KeyError, client._fetch_with_cache, "ns", ("x",), live=True, fetcher=boom, ttl_live=ttl,
            ttl_history=None)
    _expect(TypeError, client._fetch_with_cache, "ns", ("x",), live=True, fetcher=boom)
    _expect(TypeError, client._fetch_with_cache, "ns", ("x",), live=True, fetcher=boom, ttl_live=ttl,
            ttl_history=None, wait_timeout="1")
    client.clear_cache("ns")
    client.clear_cache()


def session_calls():
    with transport_base.HttpSession("key", base_url="http://127.0.0.1:9/api/") as session:
        session._prepare_url("//eod/ohlcv?x=1")
        _expect(TypeError, session.get, 1)
        _expect(TypeError, session.post, "x", json_body=[], timeout=True)
        _expect(TypeError, session.request, "GET")


class _Reply:
    """A session whose get() answers with itself as the response."""

    def __init__(self, payload):
        self.payload = payload

    def get(self, path, params=None):
        return self

    def json(self):
        if self.payload is ValueError:  # a new error each time: a re-raised one grows its traceback
            raise ValueError("not json")
        return self.payload


_ROWS = {"data": [{"time": "2024-01-02", "close": 1.5}, {"time": "2024-01-03", "close": 2.0}]}
_FAILURES = [ValueError, [], {"error": "bad"}, {"data": 1}, {"data": [{"t": 1}, 2]}]


def price_calls():
    rows, empty = _Reply(_ROWS), _Reply({"data": []})
    for module in (daily_bars, tick_feed):
        module._normalize_symbols([" abc", "ABC", "xyz"])
        _expect(TypeError, module._normalize_symbols, ["abc", ["x"]])
        _expect(ValueError, module._normalize_symbols, "  ")
        with contextlib.redirect_stdout(io.StringIO()):
            module._render_progress(3, 3, "AAA")
        _expect(TypeError, module._render_progress, True, 1, "X")
    daily_bars.fetch_ohlcv(rows, ["abc", "xyz"], "2024-01-01", show_progress=False)
    tick_feed.fetch_ohlcv(rows, "abc", end="2024-01-05", adjusted=True)
    tick_feed.fetch_orderbook(rows, ["abc"], "2024-01-03")
    daily_bars.fetch_ohlcv(empty, "abc")  # the empty pd.DataFrame()
    for payload in _FAILURES:
        for fetch in (daily_bars.fetch_ohlcv, tick_feed.fetch_ohlcv, tick_feed.fetch_orderbook):
            _expect(DataDecodingError, fetch, _Reply(payload), ["abc", "xyz"])
    _expect(TypeError, tick_feed.fetch_orderbook, rows, "abc", 20240103)


class KeySession:
    """Answers validate_api_key from memory: the loop measures keygate, not HTTP."""

    api_key = "k"

    def __init__(self, error=None, payload=None):
        self.error, self.payload = error, payload

    def post(self, path, json_body=None):
        if self.error is not None:
            raise self.error
        return self

    def json(self):
        if self.payload is ValueError:  # a new error each time, as in _Reply
            raise ValueError("not json")
        return self.payload


def keygate_calls():
    from tavrix.exceptions import ApiKeyValidationError, HttpError

    keygate.validate_api_key(KeySession(payload={"valid": True}), client_version="1",
                             extra_context={"a": 1})
    for error in (HttpError("x", status_code=401, payload={"detail": "no"}),
                  HttpError("x", status_code=422, payload={"detail": [{"msg": "bad"}]}),
                  HttpError("x", status_code=500, payload="  text  "),
                  HttpError("x"), KeyError("k")):
        _expect(ApiKeyValidationError, keygate.validate_api_key, KeySession(error),
                client_version="1")
    _expect(ApiKeyValidationError, keygate.validate_api_key, KeySession(payload=ValueError),
            client_version="1")
    _expect(ApiKeyValidationError, keygate.validate_api_key, KeySession(payload=[]),
            client_version="1")
    _expect(TypeError, keygate.validate_api_key, KeySession(), client_version=1)


@pytest.fixture
def quiet_keygate():
    # The error paths log; keep the loop from filling the capture handler.
    logger = logging.getLogger("private_core.keygate")
    saved = logger.disabled
    logger.disabled = True
    yield
    logger.disabled = saved


@pytest.fixture
def cheap_frames(monkeypatch):
    # The fetchers' own work is what is measured, not pandas' frame building.
    for module in (daily_bars, tick_feed):
        monkeypatch.setattr(module, "_to_dataframe", lambda rows: rows)
        monkeypatch.setattr(module, "resample_ohlcv_multi", lambda frame, interval: frame)


@pytest.mark.parametrize("calls", [cache_calls, layer_calls, session_calls, price_calls,
                                   keygate_calls])
def test_entry_points_do_not_leak(calls, cheap_frames, quiet_keygate):
    stretches = stretch_growth(calls, warmup=1000, settle=500, stretch=2000, stretches=4)
    # One leaked small object per call would be 100 kB a stretch. The bound is tight
    # enough to catch a fresh attribute name per call held by the interpreter's type
    # attribute cache (a few kB with pymalloc, tens of kB with PYTHONMALLOC=malloc).
    assert min(stretches) < 2_000, stretches


# --- every case of the entry-point table, module by module ------------------------------

import importlib  # noqa: E402
import importlib.util  # noqa: E402

from entry_cases import CASES, MODULES  # noqa: E402
from leakcheck import object_growth  # noqa: E402


def _looped(cases):
    def calls():
        with contextlib.redirect_stdout(io.StringIO()):
            for case in cases:
                call = case.build()
                try:
                    call.fn(*call.args, **call.kwargs)
                except BaseException:  # noqa: B036 - the table says which paths raise
                    pass

    return calls


def _load_modules():
    # A module's body is an entry point too: importlib may run it again for a new
    # module object (the two reserved modules define nothing else).
    for name in MODULES:
        spec = importlib.util.find_spec(f"private_core.{name}")
        spec.loader.exec_module(importlib.util.module_from_spec(spec))
    # typing's own caches keep the annotations made for each new module's classes (up
    # to their size limit), as for a Python module: emptied so they are not counted.
    import typing

    for clear in getattr(typing, "_cleanups", ()):
        clear()


_GROUPS = {name: _looped([c for c in CASES if c.module == name and not c.heavy]) for name in MODULES
           if any(c.module == name and not c.heavy for c in CASES)}
_GROUPS["frames"] = _looped([c for c in CASES if c.heavy])
_GROUPS["module bodies"] = _load_modules
# Iterations per group: the frame paths and module bodies cost milliseconds a round.
_ROUNDS = {"frames": (2, 3), "module bodies": (4, 8), "investor.flow_engine": (60, 120)}
# Traced memory a stretch may gain. pandas' own allocations move the frame paths by
# kB; module bodies leave some hundred bytes per run (strings not tracked by the
# collector, so not in the object counts), where a discarded module kept alive is
# tens of kB.
_MEMORY = {"frames": 60_000, "module bodies": 8 * len(MODULES) * 2_000}


@pytest.fixture
def quiet_logging():
    logging.disable(logging.CRITICAL)
    yield
    logging.disable(logging.NOTSET)


@pytest.mark.parametrize("group", list(_GROUPS))
def test_every_path_keeps_memory_and_objects_flat(group, quiet_logging, cheap_frames):
    calls = _GROUPS[group]
    warmup, stretch = _ROUNDS.get(group, (30, 80))
    stretches = stretch_growth(calls, warmup=warmup, settle=warmup, stretch=stretch, stretches=3)
    # A group is one call of each of its cases: one leaked small object per round is
    # several kB a stretch.
    assert min(stretches) < _MEMORY.get(group, 2_000), stretches
    grown = object_growth(calls, warmup=0, stretch=stretch, stretches=2)
    # One object left per round grows a type by `stretch` in each stretch; a single
    # object more (a cache slot filled late) is not a leak.
    assert {name: n for name, n in grown.items() if n >= max(2, stretch // 2)} == {}, grown
