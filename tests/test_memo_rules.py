from datetime import date, datetime, timedelta

import pytest

from private_core import memo_rules
from private_core.memo_rules import touches_latest_trading_day
from private_core.memo_store import _Cache

SATURDAY = datetime(2024, 5, 4, 9, 30)


@pytest.fixture
def clock(clock):
    clock.current = SATURDAY
    return clock


@pytest.mark.parametrize("end, live", [
    (None, True), (date(2024, 5, 4), True), (datetime(2024, 5, 4, 0, 0), True),
    (datetime(2024, 5, 4, 23, 59, 59), True), ("2024-05-04", True), (date(2024, 5, 3), False),
    (datetime(2024, 5, 3, 23, 59), False), ("2024-05-03", False)])
def test_only_todays_calendar_date_is_live(clock, end, live):
    assert touches_latest_trading_day(end) is live
    assert touches_latest_trading_day(end=end) is live


@pytest.mark.parametrize("args, error", [((20240504,), ValueError), (("04/05/2024",), ValueError), ((), TypeError),
                                         ((None, None), TypeError)])
def test_bad_calls(args, error):
    with pytest.raises(error):
        touches_latest_trading_day(*args)


def test_names_are_looked_up_at_call_time(monkeypatch):
    seen = []
    monkeypatch.setattr(memo_rules, "is_today", lambda d: seen.append(d) or "answer")
    monkeypatch.setattr(memo_rules, "timedelta", lambda **kw: kw)
    assert touches_latest_trading_day("x") == "answer" and seen == ["x"]
    assert memo_rules.ttl_eod_latest() == {"minutes": 1}


@pytest.mark.parametrize("name, ttl", [("ttl_intraday_live", 60), ("ttl_orderbook_live", 60), ("ttl_eod_latest", 60),
                                       ("ttl_intraday_history", None), ("ttl_eod_history", None)])
def test_ttls_on_a_cached_result(clock, name, ttl):
    # Live results expire after one minute (a fresh timedelta each call); history never.
    got = getattr(memo_rules, name)()
    cache = _Cache()
    cache.set("ns", 1, "d", ttl=got)
    if ttl is None:
        assert got is None
        clock.current = datetime(2999, 1, 1)
        assert cache.get("ns", 1).data == "d"
        return
    assert got == timedelta(seconds=ttl) and got is not getattr(memo_rules, name)()
    clock.current = SATURDAY + timedelta(seconds=ttl - 1)
    assert cache.get("ns", 1) is not None
    clock.current = SATURDAY + timedelta(seconds=ttl)
    assert cache.get("ns", 1) is None
