from datetime import date, datetime, timedelta

import pytest

from private_core import memo_rules
from private_core.memo_rules import touches_latest_trading_day

@pytest.mark.parametrize("end, live", [
    (None, True), (date(2024, 5, 4), True), (datetime(2024, 5, 4, 0, 0), True),
    (datetime(2024, 5, 4, 23, 59, 59), True), ("2024-05-04", True), (date(2024, 5, 3), False),
    (datetime(2024, 5, 3, 23, 59), False), ("2024-05-03", False)])
def test_only_todays_calendar_date_is_live(clock, end, live):
    clock.current = datetime(2024, 5, 4, 9, 30)  # a Saturday: today counts, trading day or not
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


@pytest.mark.parametrize("name, ttl", [
    ("ttl_intraday_live", timedelta(minutes=1)), ("ttl_orderbook_live", timedelta(minutes=1)),
    ("ttl_eod_latest", timedelta(minutes=1)), ("ttl_intraday_history", None), ("ttl_eod_history", None)])
def test_ttls(name, ttl):
    # Live results expire after one minute, history never (how the cache applies a TTL is
    # checked in test_memo_store.py); each call makes a fresh timedelta.
    got = getattr(memo_rules, name)()
    assert got == ttl and type(got) is type(ttl) and (ttl is None or got is not getattr(memo_rules, name)())
