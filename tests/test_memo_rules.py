from datetime import date, datetime, timedelta

import pytest

from private_core import memo_rules, memo_store
from private_core.memo_rules import touches_latest_trading_day
from private_core.memo_store import _Cache

SATURDAY = datetime(2024, 5, 4, 9, 30)


@pytest.fixture
def clock(clock):
    clock.current = SATURDAY
    return clock


@pytest.mark.parametrize(
    "end, live",
    [(None, True), (date(2024, 5, 4), True), (datetime(2024, 5, 4, 0, 0), True),
     (datetime(2024, 5, 4, 23, 59, 59), True), ("2024-05-04", True),
     (date(2024, 5, 3), False), (datetime(2024, 5, 3, 23, 59), False), ("2024-05-03", False)],
)
def test_only_todays_calendar_date_is_live(clock, end, live):
    assert touches_latest_trading_day(end) is live
    assert touches_latest_trading_day(end=end) is live


@pytest.mark.parametrize("end", [20240504, "04/05/2024"])
def test_bad_end_raises_value_error(end):
    with pytest.raises(ValueError):
        touches_latest_trading_day(end)


@pytest.mark.parametrize("args", [(), (None, None)])
def test_takes_exactly_one_argument(args):
    with pytest.raises(TypeError):
        touches_latest_trading_day(*args)


def test_names_are_looked_up_at_call_time(monkeypatch):
    seen = []
    monkeypatch.setattr(memo_rules, "is_today", lambda d: seen.append(d) or "answer")
    monkeypatch.setattr(memo_rules, "timedelta", lambda **kw: kw)
    assert touches_latest_trading_day("x") == "answer" and seen == ["x"]
    assert memo_rules.ttl_eod_latest() == {"minutes": 1}


@pytest.mark.parametrize("name", ["ttl_intraday_live", "ttl_orderbook_live", "ttl_eod_latest"])
def test_live_ttls_expire_a_cached_result_after_one_minute(clock, name):
    ttl = getattr(memo_rules, name)()
    assert ttl == timedelta(seconds=60) and ttl is not getattr(memo_rules, name)()
    cache = _Cache()
    cache.set("ns", 1, "d", ttl=ttl)
    clock.current = SATURDAY + timedelta(seconds=59)
    assert cache.get("ns", 1) is not None
    clock.current = SATURDAY + timedelta(seconds=60)
    assert cache.get("ns", 1) is None


@pytest.mark.parametrize("name", ["ttl_intraday_history", "ttl_eod_history"])
def test_history_ttls_never_expire(clock, name):
    ttl = getattr(memo_rules, name)()
    assert ttl is None
    cache = _Cache()
    cache.set("ns", 1, "d", ttl=ttl)
    clock.current = datetime(2999, 1, 1)
    assert cache.get("ns", 1).data == "d"
