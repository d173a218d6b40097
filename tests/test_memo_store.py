import dataclasses
import subprocess
import sys
from datetime import date, datetime, timedelta

import pytest

from fakes import DictSub, StrSub
from private_core import memo_store
from private_core.memo_store import CacheEntry, _Cache, is_today, to_date

NOON = datetime(2024, 5, 3, 12, 0)


@pytest.fixture
def cache():
    return _Cache()


class RecordingLock:
    """In place of the cache's RLock: records each entry and exit (or the error type leaving)."""

    def __init__(self):
        self.events = []

    def __enter__(self):
        self.events.append("enter")

    def __exit__(self, exc_type, *_):
        self.events.append(exc_type or "exit")


def test_cache_entry_is_a_plain_dataclass():
    fields = dataclasses.fields(CacheEntry)
    assert [f.name for f in fields] == ["data", "fetched_at", "params", "expires_at"]
    assert fields[2].default_factory is dict and fields[3].default is None
    a, b = CacheEntry("d", NOON), CacheEntry(data="d", fetched_at=NOON)
    assert a == b and a.params == {} and a.params is not b.params
    assert repr(a) == f"CacheEntry(data='d', fetched_at={NOON!r}, params={{}}, expires_at=None)"
    with pytest.raises(TypeError):
        hash(a)


def test_cache_entry_annotations_are_a_class_statements():
    # As the running interpreter makes them: evaluated at once before 3.14, from 3.14 lazily
    # through __annotate__, which also gives the source texts back.
    scope = dict(vars(memo_store))
    exec("class CacheEntry:\n    data: pd.DataFrame\n    fetched_at: datetime\n"
         "    params: Dict[str, Any]\n    expires_at: Optional[datetime]\n", scope)
    model = scope["CacheEntry"]
    assert CacheEntry.__annotations__ == model.__annotations__
    if sys.version_info < (3, 14):
        assert not hasattr(CacheEntry, "__annotate__")
        return
    import annotationlib

    assert CacheEntry.__annotate__.__qualname__ == "CacheEntry.__annotate__"
    assert CacheEntry.__annotate__.__globals__ is vars(memo_store)
    Format = annotationlib.Format
    for form in Format.VALUE, Format.FORWARDREF, Format.STRING:
        assert (annotationlib.get_annotations(CacheEntry, format=form)
                == annotationlib.get_annotations(model, format=form)), form
    assert annotationlib.get_annotations(CacheEntry, format=Format.STRING) == {
        "data": "pd.DataFrame", "fetched_at": "datetime", "params": "Dict[str, Any]",
        "expires_at": "Optional[datetime]"}


@pytest.mark.parametrize("expires_at, expired", [(None, False), (NOON, True), (NOON - timedelta(microseconds=1), True),
                                                 (NOON + timedelta(microseconds=1), False)])
def test_is_expired_is_inclusive(clock, expires_at, expired):
    assert CacheEntry(1, NOON, expires_at=expires_at).is_expired() is expired


@pytest.mark.parametrize("prepare", [lambda c: None, lambda c: c._store.update(ns={}),
                                     lambda c: c.set("ns", ("other",), 1)])
def test_get_misses(cache, prepare):
    prepare(cache)
    assert cache.get("ns", ("k",)) is None


def test_entry_expires_at_the_exact_instant_and_is_dropped(cache, clock):
    data = object()
    entry = cache.set("ns", ("k",), data, ttl=timedelta(minutes=1))
    assert cache.get("ns", ("k",)) is entry and entry.data is data
    clock.current = entry.expires_at
    assert cache.get("ns", ("k",)) is None and cache._store == {"ns": {}}


@pytest.mark.parametrize("ttl", [None, timedelta(0)])
def test_falsy_ttl_never_expires(cache, clock, ttl):
    assert cache.set("ns", 1, "d", ttl=ttl).expires_at is None
    clock.current = datetime(2999, 1, 1)
    assert cache.get("ns", 1).data == "d"


def test_ttl_uses_two_clock_readings_and_negative_is_expired_at_once(cache, monkeypatch):
    readings = iter([NOON, NOON + timedelta(seconds=1)])
    monkeypatch.setattr(memo_store, "datetime", type("Ticking", (), {"now": lambda: next(readings)}))
    entry = cache.set("ns", 1, "d", ttl=timedelta(seconds=-5))
    assert (entry.expires_at, entry.fetched_at) == (NOON - timedelta(seconds=5), NOON + timedelta(seconds=1))
    monkeypatch.setattr(memo_store, "datetime", datetime)
    assert cache.get("ns", 1) is None


@pytest.mark.parametrize("params, same", [(None, False), ({}, False), ({"a": 1}, True), (DictSub(a=1), TypeError),
                                          ([("a", 1)], TypeError), ("a", TypeError)])
def test_set_params(cache, params, same):
    if same is TypeError:  # refused before anything is stored
        with pytest.raises(TypeError, match="Argument 'params' has incorrect type"):
            cache.set("ns", 1, "d", params=params)
        assert cache._store == {}
    else:
        entry = cache.set("ns", 1, "d", params=params)
        assert entry.params == (params or {}) and (entry.params is params) is same


def test_second_set_replaces_and_returns_stored_entry(cache):
    cache.set("ns", 1, "old")
    entry = cache.set("ns", 1, "new")
    assert cache.get("ns", 1) is entry and entry.data == "new"


def test_error_inside_lock_releases_it_and_keeps_earlier_steps(cache):
    cache._lock = lock = RecordingLock()
    with pytest.raises(TypeError, match="unhashable"):
        cache.set("ns", ["unhashable"], "d")
    assert lock.events == ["enter", TypeError] and cache._store == {"ns": {}}


@pytest.mark.parametrize("guard, call", [
    (True, lambda c: c.get("ns", 1)), (True, lambda c: c.set("ns", 1, "d")), (True, lambda c: c.clear_ns("ns")),
    (True, lambda c: c.clear_all()), (True, lambda c: c._begin_inflight("ns", 1)),
    (True, lambda c: c._end_inflight("ns", 1)), (False, lambda c: c._begin_inflight("ns", 1)),
    (False, lambda c: c._end_inflight("ns", 1))])
def test_each_operation_uses_the_instances_current_lock(guard, call):
    cache = _Cache(guard)
    cache._lock = lock = RecordingLock()
    call(cache)
    assert lock.events == ["enter", "exit"] * guard  # no guard: the in-flight calls need no lock


def test_clears(cache):
    for ns in ("a", "b"):
        cache.set(ns, 1, ns)
    cache._begin_inflight("a", 1)
    cache.clear_ns("missing")
    cache.clear_ns("a")
    assert list(cache._store) == ["b"]
    cache.clear_all()
    assert cache._store == {} and cache._inflight == {("a", 1): 1}


@pytest.mark.parametrize("make, flag", [(lambda: _Cache(False), False), (lambda: _Cache(enable_singleflight=0), 0),
                                        (lambda: _Cache(enable_singleflight="on"), "on")])
def test_inflight_counts_every_caller_per_pair_unless_off(make, flag):
    cache = make()
    assert cache._singleflight is flag
    begins = [cache._begin_inflight("ns", 1) for _ in range(3)]
    if not flag:  # no guard: everyone fetches, nothing is counted
        assert begins == [True] * 3 and cache._end_inflight("ns", 1) is None and cache._inflight is None
        return
    assert begins == [True, False, False] and cache._begin_inflight("other", 1) is True
    for _ in range(4):
        cache._end_inflight("ns", 1)
    assert cache._inflight == {("other", 1): 1} and cache._begin_inflight("ns", 1) is True


@pytest.mark.skipif(sys.flags.optimize > 0, reason="assert is compiled out")
@pytest.mark.parametrize("method", ["_begin_inflight", "_end_inflight"])
def test_inflight_replaced_by_none_fails_the_assertion(cache, method):
    cache._inflight = None
    with pytest.raises(AssertionError) as info:
        getattr(cache, method)("ns", 1)
    assert info.value.args == ()


@pytest.mark.parametrize("options, outcome", [((), "AssertionError"), (("-O",), "AttributeError"),
                                              (("-OO",), "AttributeError")])
def test_inflight_assertion_follows_the_interpreters_optimize_level(options, outcome):
    # Under -O the assert is gone, as in Python code: the None itself fails next.
    code = ("from private_core.memo_store import _Cache\n"
            "cache = _Cache()\ncache._inflight = None\n"
            "try:\n    cache._begin_inflight('ns', 1)\n"
            "except Exception as exc:\n    print(type(exc).__name__)\n")
    run = subprocess.run([sys.executable, *options, "-c", code], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout.strip()) == (0, outcome), run.stderr


# Dates, datetimes and date text in general are compared with a model in test_fuzz_session.py.
@pytest.mark.parametrize("value, expected", [(None, NOON.date()), (StrSub("2021-12-31"), date(2021, 12, 31))])
def test_to_date(clock, value, expected):
    result = to_date(value)
    assert result == expected and type(result) is date


@pytest.mark.parametrize("value, message", [(3, "Unsupported date type: <class 'int'>"),
                                            (3.0, "Unsupported date type: <class 'float'>"),
                                            ("2024/05/03", "does not match format")])
def test_to_date_errors(value, message):
    for fn in (to_date, is_today):
        with pytest.raises(ValueError, match=message):
            fn(value)


def test_is_today_looks_up_to_date_at_call_time(monkeypatch):
    monkeypatch.setattr(memo_store, "to_date", lambda d: "sentinel")
    assert is_today(None) is False
