"""Deterministic synthetic market data.

Every value is a pure function of (entity, date, what): the same request always gets
the same answer, whatever range it asks for, and no state is kept. Prices follow a
few slow waves plus daily noise, so charts look like markets rather than static.
"""

from __future__ import annotations

import functools
import hashlib
import math
import random
from datetime import date, datetime, time, timedelta
from typing import Dict, Iterator, List, Optional, Tuple

# symbol -> (name, sector code, base price, typical daily volume)
STOCKS: Dict[str, Tuple[str, str, float, int]] = {
    "ALP": ("Alpine Materials", "1000", 24.0, 1_800_000),
    "BOR": ("Boreal Steel", "1000", 31.5, 2_400_000),
    "CYN": ("Cyan Chemicals", "1000", 12.8, 900_000),
    "DEL": ("Delta Logistics", "2000", 45.0, 650_000),
    "ERA": ("Era Engineering", "2000", 18.2, 1_100_000),
    "FLX": ("Flux Machinery", "2000", 27.4, 780_000),
    "GRN": ("Green Foods", "3000", 66.0, 540_000),
    "HLX": ("Helix Apparel", "3000", 21.3, 1_300_000),
    "IRO": ("Iron Valley Motors", "3000", 38.9, 860_000),
    "JAD": ("Jade Pharma", "4000", 52.1, 420_000),
    "KIN": ("Kinetic Health", "4000", 29.7, 610_000),
    "LUM": ("Lumen Retail", "5000", 74.5, 390_000),
    "MAR": ("Marina Travel", "5000", 16.4, 1_450_000),
    "NOV": ("Nova Media", "5000", 9.8, 2_900_000),
    "ORB": ("Orbit Telecom", "6000", 88.0, 310_000),
    "PIX": ("Pixel Networks", "6000", 35.6, 720_000),
    "QNT": ("Quanta Power", "7000", 19.9, 1_600_000),
    "RHO": ("Rho Water", "7000", 14.2, 980_000),
    "SOL": ("Solace Bank", "8000", 26.3, 5_200_000),
    "TAV": ("Tavern Securities", "8000", 21.7, 3_800_000),
    "ULT": ("Ultra Insurance", "8000", 58.4, 450_000),
    "VEX": ("Vertex Land", "8000", 11.6, 4_100_000),
    "WAV": ("Wave Software", "9000", 97.0, 820_000),
    "ZEN": ("Zenith Systems", "9000", 63.2, 570_000),
}

SECTORS: Dict[str, str] = {
    "0001": "Oil & Gas",
    "1000": "Basic Materials",
    "2000": "Industrials",
    "3000": "Consumer Goods",
    "4000": "Health Care",
    "5000": "Consumer Services",
    "6000": "Telecommunications",
    "7000": "Utilities",
    "8000": "Financials",
    "9000": "Technology",
}

# market code -> typical daily traded value
MARKETS: Dict[str, float] = {"MAIN": 18.0e9, "GROWTH": 2.5e9, "OTC": 0.6e9}

# Investor groups that trade; "foreign_institutional" and "foreign_individual" split
# "foreign", and "all" is the whole market (every trade has a buyer and a seller).
GROUP_SHARES: Dict[str, float] = {
    "foreign": 0.14,
    "proprietary": 0.07,
    "local_institutional": 0.17,
    "local_individual": 0.62,
}
GROUPS = (
    "foreign",
    "proprietary",
    "local_institutional",
    "local_individual",
    "foreign_institutional",
    "foreign_individual",
    "all",
)

# Trading sessions (local exchange time): morning and afternoon, lunch in between.
SESSIONS = ((time(9, 0), time(11, 30)), (time(13, 0), time(15, 0)))
MINUTES_PER_DAY = sum(
    (datetime.combine(date.min, end) - datetime.combine(date.min, start)).seconds // 60
    for start, end in SESSIONS
)


def _rng(*parts: object) -> random.Random:
    digest = hashlib.blake2b("|".join(map(str, parts)).encode(), digest_size=8).digest()
    return random.Random(int.from_bytes(digest, "big"))


def _gauss(*parts: object) -> float:
    """A standard normal draw fixed by `parts` (Box-Muller on two hashed uniforms),
    cheaper than seeding a generator for a single number."""
    digest = hashlib.blake2b("|".join(map(str, parts)).encode(), digest_size=16).digest()
    u1 = (int.from_bytes(digest[:8], "big") + 1) / 2.0**64
    u2 = int.from_bytes(digest[8:], "big") / 2.0**64
    return math.sqrt(-2.0 * math.log(u1)) * math.cos(2 * math.pi * u2)


@functools.lru_cache(maxsize=None)
def _phase(entity: str, k: int) -> float:
    return _rng(entity, "phase", k).uniform(0.0, 2 * math.pi)


def is_trading_day(day: date) -> bool:
    return day.weekday() < 5


def latest_trading_day(today: Optional[date] = None) -> date:
    day = today or date.today()
    while not is_trading_day(day):
        day -= timedelta(days=1)
    return day


def previous_trading_day(day: date) -> date:
    day -= timedelta(days=1)
    while not is_trading_day(day):
        day -= timedelta(days=1)
    return day


def trading_days(start: date, end: date) -> Iterator[date]:
    day = start
    while day <= end:
        if is_trading_day(day):
            yield day
        day += timedelta(days=1)


# --- prices ---------------------------------------------------------------------------


@functools.lru_cache(maxsize=None)
def _event_day(symbol: str) -> date:
    # One split-like corporate action per symbol in the past year and a half: before
    # it, traded prices are higher than the adjusted series by _EVENT_FACTOR.
    return date(2025, 6, 2) + timedelta(days=_rng(symbol, "event").randrange(0, 540))


_EVENT_FACTOR = 0.8


@functools.lru_cache(maxsize=65536)
def _adjusted_close(symbol: str, day: date) -> float:
    base = STOCKS[symbol][2]
    d = day.toordinal()
    wave = (
        0.10 * math.sin(2 * math.pi * d / 181 + _phase(symbol, 1))
        + 0.05 * math.sin(2 * math.pi * d / 43 + _phase(symbol, 2))
        + 0.025 * math.sin(2 * math.pi * d / 9 + _phase(symbol, 3))
    )
    noise = 0.011 * _gauss(symbol, d, "close")
    return base * math.exp(wave + noise)


def _factor(symbol: str, day: date, adjusted: bool) -> float:
    if adjusted or day >= _event_day(symbol):
        return 1.0
    return 1.0 / _EVENT_FACTOR


def eod_bar(symbol: str, day: date, adjusted: bool = False) -> dict:
    """One end-of-day bar: date, open, high, low, close, volume."""
    d = day.toordinal()
    close = _adjusted_close(symbol, day)
    open_ = _adjusted_close(symbol, previous_trading_day(day)) * math.exp(0.004 * _gauss(symbol, d, "open"))
    high = max(open_, close) * (1 + abs(0.007 * _gauss(symbol, d, "high")))
    low = min(open_, close) * (1 - abs(0.007 * _gauss(symbol, d, "low")))
    f = _factor(symbol, day, adjusted)
    volume = int(STOCKS[symbol][3] * math.exp(0.35 * _gauss(symbol, d, "volume")) / 100) * 100
    return {
        "date": day.isoformat(),
        "open": round(open_ * f, 2),
        "high": round(high * f, 2),
        "low": round(low * f, 2),
        "close": round(close * f, 2),
        "volume": volume,
    }


def _session_minutes(day: date) -> List[datetime]:
    minutes = []
    for start, end in SESSIONS:
        t = datetime.combine(day, start)
        stop = datetime.combine(day, end)
        while t < stop:
            minutes.append(t)
            t += timedelta(minutes=1)
    return minutes


def _minute_path(symbol: str, day: date, adjusted: bool) -> Tuple[List[float], dict]:
    """Prices at each minute boundary (one more than there are bars): a Brownian
    bridge from the day's open to its close, kept inside its high and low."""
    bar = eod_bar(symbol, day, adjusted)
    rng = _rng(symbol, day.toordinal(), "minutes")
    n = MINUTES_PER_DAY
    steps = [rng.gauss(0.0, 1.0) for _ in range(n)]
    walk = [0.0]
    for s in steps:
        walk.append(walk[-1] + s)
    scale = (bar["high"] - bar["low"]) / 9.0
    path = []
    for i, w in enumerate(walk):
        frac = i / n
        bridge = w - frac * walk[-1]
        price = bar["open"] + frac * (bar["close"] - bar["open"]) + scale * bridge / math.sqrt(n) * 3
        path.append(min(max(price, bar["low"]), bar["high"]))
    return path, bar


def intraday_bars(symbol: str, day: date, adjusted: bool = False) -> List[dict]:
    """One-minute bars of one trading day: time, open, high, low, close, volume."""
    path, bar = _minute_path(symbol, day, adjusted)
    rng = _rng(symbol, day.toordinal(), "minute-volume")
    minutes = _session_minutes(day)
    n = len(minutes)
    rows = []
    for i, t in enumerate(minutes):
        o, c = path[i], path[i + 1]
        wiggle = abs(rng.gauss(0.0, 0.0008))
        # Trading is busiest at the open and the close (a U shape over the day).
        u = 0.6 + 2.4 * ((i - n / 2) / (n / 2)) ** 2
        volume = int(bar["volume"] / n * u * math.exp(0.5 * rng.gauss(0, 1)) / 100) * 100
        rows.append(
            {
                "time": t.isoformat(),
                "open": round(o, 2),
                "high": round(min(max(o, c) * (1 + wiggle), bar["high"]), 2),
                "low": round(max(min(o, c) * (1 - wiggle), bar["low"]), 2),
                "close": round(c, 2),
                "volume": volume,
            }
        )
    return rows


def orderbook_rows(symbol: str, day: date) -> List[dict]:
    """The day's tape: matched orders with time, price, volume and aggressor side."""
    path, bar = _minute_path(symbol, day, False)
    rng = _rng(symbol, day.toordinal(), "tape")
    minutes = _session_minutes(day)
    count = 250 + rng.randrange(250)
    stamps = sorted(rng.randrange(len(minutes) * 60) for _ in range(count))
    rows = []
    for seq, second in enumerate(stamps, 1):
        minute, sec = divmod(second, 60)
        price = path[minute] + (path[minute + 1] - path[minute]) * sec / 60
        side = "B" if rng.random() < 0.5 else "S"
        tick = 0.05 if side == "B" else -0.05
        rows.append(
            {
                "time": (minutes[minute] + timedelta(seconds=sec)).isoformat(),
                "price": round(min(max(price + tick, bar["low"]), bar["high"]), 2),
                "volume": 100 * int(1 + rng.expovariate(1 / 40)),
                "side": side,
                "match_id": seq,
            }
        )
    return rows


# --- investor flows ---------------------------------------------------------------------


def _traded_value(namespace: str, entity: str, day: date) -> float:
    if namespace == "stock":
        bar = eod_bar(entity, day, adjusted=True)
        return bar["close"] * bar["volume"]
    if namespace == "market":
        typical = MARKETS[entity]
    else:
        members = [s for s, info in STOCKS.items() if info[1] == entity]
        typical = 4.0e8 * (len(members) + 1)
    return typical * math.exp(0.3 * _gauss(namespace, entity, day.toordinal(), "value"))


def _group_sides(namespace: str, entity: str, day: date) -> Dict[str, Tuple[float, float]]:
    """(buy value, sell value) of every group on one day; the groups' nets add to 0."""
    total = _traded_value(namespace, entity, day)
    rng = _rng(namespace, entity, day.toordinal(), "groups")
    sides: Dict[str, Tuple[float, float]] = {}
    imbalance = 0.0
    for group in ("foreign", "proprietary", "local_institutional"):
        share = GROUP_SHARES[group] * total
        tilt = max(min(rng.gauss(0.0, 0.18), 0.6), -0.6)
        buy, sell = share * (1 + tilt), share * (1 - tilt)
        sides[group] = (buy, sell)
        imbalance += buy - sell
    share = GROUP_SHARES["local_individual"] * total
    sides["local_individual"] = (share - imbalance / 2, share + imbalance / 2)
    fb, fs = sides["foreign"]
    buy_split, sell_split = 0.35 + 0.3 * rng.random(), 0.35 + 0.3 * rng.random()
    sides["foreign_institutional"] = (fb * buy_split, fs * sell_split)
    sides["foreign_individual"] = (fb * (1 - buy_split), fs * (1 - sell_split))
    sides["all"] = (total, total)
    return sides


def _id_row(namespace: str, entity: str) -> dict:
    if namespace == "sector":
        return {"icb": entity, "icb_name": SECTORS[entity]}
    return {"symbol": entity}


def investor_flow(namespace: str, entity: str, day: date, group: str) -> dict:
    buy, sell = _group_sides(namespace, entity, day)[group]
    row = {"date": day.isoformat()}
    row.update(_id_row(namespace, entity))
    row.update(
        {
            "group": group,
            "buy_value": round(buy),
            "sell_value": round(sell),
            "net_value": round(buy) - round(sell),
        }
    )
    return row


def investor_breakdown(namespace: str, entity: str, day: date) -> dict:
    sides = _group_sides(namespace, entity, day)
    row = {"date": day.isoformat()}
    row.update(_id_row(namespace, entity))
    for group in ("foreign", "proprietary", "local_institutional", "local_individual"):
        buy, sell = sides[group]
        row[group + "_net_value"] = round(buy) - round(sell)
    row["total_value"] = round(sides["all"][0])
    return row


def _foreign_holding(symbol: str, day: date) -> Tuple[int, int]:
    shares = int(_rng(symbol, "shares").uniform(80, 900)) * 1_000_000
    limit = int(shares * (0.49 if STOCKS[symbol][1] != "8000" else 0.30))
    d = day.toordinal()
    level = 0.55 + 0.25 * math.sin(2 * math.pi * d / 233 + _phase(symbol, 7))
    owned = int(limit * min(max(level, 0.0), 1.0))
    return limit, owned


def investor_foreign_room(namespace: str, entity: str, day: date) -> dict:
    if namespace == "stock":
        members = [entity]
    else:
        members = [s for s, info in STOCKS.items() if info[1] == entity]
    limit = owned = 0
    for symbol in members:
        lim, own = _foreign_holding(symbol, day)
        limit += lim
        owned += own
    row = {"date": day.isoformat()}
    row.update(_id_row(namespace, entity))
    row.update(
        {
            "foreign_limit_shares": limit,
            "foreign_owned_shares": owned,
            "room_shares": limit - owned,
            "room_ratio": round((limit - owned) / limit, 4) if limit else None,
        }
    )
    return row


def known_ids(namespace: str) -> Dict[str, object]:
    return {"stock": STOCKS, "market": MARKETS, "sector": SECTORS}[namespace]
