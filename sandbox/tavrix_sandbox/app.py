"""The sandbox's WSGI application: the backend's REST endpoints under the base path,
plus a small control surface under /_sandbox for tests and the demo.

Control endpoints (no API key needed):
    GET  /_sandbox/stats    requests and accepted connections so far, and a request log
    GET  /_sandbox/config   the current switches
    POST /_sandbox/config   change switches: {"investor_shape": ..., "investor_post_status": ...,
                            "faults": {"/auth/validate": 500}, "api_keys": [...]}
    POST /_sandbox/reset    back to the start-up switches, counters to zero
"""

from __future__ import annotations

import json
import threading
from datetime import date, datetime, timedelta
from typing import Any, Callable, Dict, Iterable, List, Optional, Tuple
from urllib.parse import parse_qs

from . import data

BASE_PATH = "/api/v1/tavrix"
DEMO_KEY = "demo-key"
MIN_CLIENT_VERSION = "0.1.0"

# How an investor endpoint wraps its rows: a bare array, one of the envelope keys,
# or an object keyed by entity identifier.
INVESTOR_SHAPES = ("array", "data", "results", "items", "records", "keyed")
INVESTOR_OPS = {
    "stock": ("flow", "breakdown", "foreign_room"),
    "market": ("flow", "breakdown"),
    "sector": ("flow", "breakdown", "foreign_room"),
}
EOD_INTERVALS = ("1D", "1W", "1M")
MAX_EOD_DAYS = 3660
MAX_INTRADAY_DAYS = 31
MAX_INVESTOR_DAYS = 800
LOG_LIMIT = 1000

StartResponse = Callable[..., Any]


class BadRequest(Exception):
    """Answered as 400 with {"detail": message}."""

    def __init__(self, message: str, status: int = 400) -> None:
        super().__init__(message)
        self.status = status


class State:
    """Switches and counters, shared by the server's worker threads."""

    def __init__(self, api_keys: Iterable[str] = (), investor_shape: str = "data",
                 investor_post_status: Optional[int] = None) -> None:
        self._lock = threading.Lock()
        self._initial = {
            "api_keys": sorted({DEMO_KEY, *api_keys}),
            "investor_shape": investor_shape,
            "investor_post_status": investor_post_status,
            "faults": {},
        }
        self.config: Dict[str, Any] = {}
        self.reset()

    def reset(self) -> None:
        with self._lock:
            self.config = json.loads(json.dumps(self._initial))
            self.requests = 0
            self.connections = 0
            self.log: List[Dict[str, Any]] = []

    def connection_opened(self) -> None:
        with self._lock:
            self.connections += 1

    def record(self, entry: Dict[str, Any]) -> None:
        with self._lock:
            self.requests += 1
            self.log.append(entry)
            del self.log[:-LOG_LIMIT]

    def snapshot(self) -> Dict[str, Any]:
        with self._lock:
            return {
                "requests": self.requests,
                "connections": self.connections,
                "peers": len({(e["peer"]) for e in self.log}),
                "log": list(self.log),
            }

    def get(self, name: str) -> Any:
        with self._lock:
            return self.config[name]

    def update(self, changes: Any) -> Dict[str, Any]:
        if not isinstance(changes, dict):
            raise BadRequest("config must be a JSON object")
        unknown = set(changes) - set(self._initial)
        if unknown:
            raise BadRequest(f"unknown switches: {', '.join(sorted(unknown))}")
        shape = changes.get("investor_shape", self.get("investor_shape"))
        if shape not in INVESTOR_SHAPES:
            raise BadRequest(f"investor_shape must be one of {', '.join(INVESTOR_SHAPES)}")
        status = changes.get("investor_post_status", self.get("investor_post_status"))
        if status not in (None, 404, 405):
            raise BadRequest("investor_post_status must be null, 404 or 405")
        faults = changes.get("faults", self.get("faults"))
        if not isinstance(faults, dict) or not all(
            isinstance(v, int) and 400 <= v <= 599 for v in faults.values()
        ):
            raise BadRequest("faults must map paths to HTTP statuses 400-599")
        keys = changes.get("api_keys", self.get("api_keys"))
        if not isinstance(keys, list) or not all(isinstance(k, str) for k in keys):
            raise BadRequest("api_keys must be a list of strings")
        with self._lock:
            self.config.update(changes)
            return dict(self.config)


# --- request helpers ------------------------------------------------------------------


class Request:
    def __init__(self, environ: Dict[str, Any]) -> None:
        self.environ = environ
        self.method = environ["REQUEST_METHOD"].upper()
        self.path = environ.get("PATH_INFO", "")
        self.query_string = environ.get("QUERY_STRING", "")
        self.query = {k: v[-1] for k, v in parse_qs(self.query_string, keep_blank_values=True).items()}
        self.peer = f"{environ.get('REMOTE_ADDR', '?')}:{environ.get('REMOTE_PORT', '?')}"
        self._body: Optional[bytes] = None

    def body(self) -> bytes:
        if self._body is None:
            try:
                length = int(self.environ.get("CONTENT_LENGTH") or 0)
            except ValueError:
                raise BadRequest("invalid Content-Length") from None
            self._body = self.environ["wsgi.input"].read(length) if length > 0 else b""
        return self._body

    def json(self) -> Any:
        raw = self.body()
        if not raw:
            raise BadRequest("request body must be a JSON object")
        try:
            return json.loads(raw)
        except ValueError:
            raise BadRequest("request body is not valid JSON") from None

    def bearer(self) -> Optional[str]:
        header = self.environ.get("HTTP_AUTHORIZATION", "")
        if header.startswith("Bearer "):
            return header[len("Bearer "):]
        return None


def _parse_day(value: str, name: str) -> date:
    try:
        return date.fromisoformat(value[:10]) if len(value) > 10 else date.fromisoformat(value)
    except ValueError:
        raise BadRequest(f"{name} must be a date as YYYY-MM-DD, got {value!r}") from None


def _parse_moment(value: str, name: str, end: bool) -> datetime:
    """A date (the whole day) or a date-time bound."""
    try:
        if len(value) == 10:
            day = date.fromisoformat(value)
            return datetime.combine(day, datetime.max.time() if end else datetime.min.time())
        return datetime.fromisoformat(value)
    except ValueError:
        raise BadRequest(f"{name} must be YYYY-MM-DD or an ISO date-time, got {value!r}") from None


def _day_range(query: Dict[str, str], default_days: int, limit: int) -> Tuple[date, date]:
    today = data.latest_trading_day()
    end = _parse_day(query["end"], "end") if query.get("end") else today
    start = (_parse_day(query["start"], "start") if query.get("start")
             else end - timedelta(days=default_days))
    if start > end:
        raise BadRequest("start must not be after end")
    if (end - start).days > limit:
        raise BadRequest(f"date range too long: at most {limit} days per request")
    return start, min(end, today)


def _adjusted(query: Dict[str, str], default: str) -> bool:
    value = query.get("adjusted", default)
    if value not in ("true", "false"):
        raise BadRequest(f"adjusted must be 'true' or 'false', got {value!r}")
    return value == "true"


def _symbol(query: Dict[str, str]) -> Tuple[str, bool]:
    symbol = query.get("symbol", "")
    if not symbol:
        raise BadRequest("query parameter 'symbol' is required")
    return symbol, symbol in data.STOCKS


def _unknown(what: str, name: str) -> Dict[str, Any]:
    return {"error": f"Unknown {what}: {name}", "data": []}


# --- endpoints --------------------------------------------------------------------------


def validate(req: Request, state: State) -> Tuple[int, Any]:
    if req.method != "POST":
        raise BadRequest("method not allowed", 405)
    body = req.json()
    if not isinstance(body, dict):
        raise BadRequest("request body must be a JSON object")
    errors = []
    for field in ("apiKey", "clientVersion"):
        if field not in body:
            errors.append({"loc": ["body", field], "msg": "field required", "type": "missing"})
        elif not isinstance(body[field], str):
            errors.append({"loc": ["body", field], "msg": "value is not a string", "type": "string_type"})
    version = _version(body.get("clientVersion")) if not errors else None
    if not errors and version is None:
        errors.append({"loc": ["body", "clientVersion"], "msg": "expected a version like 1.2.3",
                       "type": "value_error"})
    if errors:
        return 422, {"detail": errors}
    if body["apiKey"] != req.bearer():
        return 401, {"detail": "API key in the body does not match the bearer token"}
    include = body.get("includeMessages", True) is not False
    valid = version >= _version(MIN_CLIENT_VERSION)
    message = (f"Welcome to the Tavrix sandbox, client {body['clientVersion']}" if valid
               else f"Client version {body['clientVersion']} is too old; "
                    f"upgrade to {MIN_CLIENT_VERSION} or later")
    return 200, {
        "valid": valid,
        "message": message if include else None,
        "plan": "sandbox",
        "expires_at": None,
        "min_client_version": MIN_CLIENT_VERSION,
    }


def _version(text: Any) -> Optional[Tuple[int, ...]]:
    try:
        parts = tuple(int(p) for p in str(text).split("."))
    except ValueError:
        return None
    return parts if text and all(p >= 0 for p in parts) else None


def eod_ohlcv(req: Request, state: State) -> Tuple[int, Any]:
    q = req.query
    interval = q.get("interval", "1D")
    if interval not in EOD_INTERVALS:
        raise BadRequest(f"interval must be one of {', '.join(EOD_INTERVALS)}, got {interval!r}")
    # Daily history is adjusted for corporate actions unless asked otherwise.
    adjusted = _adjusted(q, "true")
    start, end = _day_range(q, 90, MAX_EOD_DAYS)
    symbol, known = _symbol(q)
    if not known:
        return 200, _unknown("symbol", symbol)
    # Bars are always daily; the client aggregates to its interval.
    rows = [data.eod_bar(symbol, day, adjusted) for day in data.trading_days(start, end)]
    return 200, {"symbol": symbol, "interval": "1D", "data": rows}


def intraday_ohlcv(req: Request, state: State) -> Tuple[int, Any]:
    q = req.query
    if q.get("interval", "1m") != "1m":
        raise BadRequest(f"interval must be '1m', got {q['interval']!r}")
    adjusted = _adjusted(q, "false")
    today = data.latest_trading_day()
    lo = _parse_moment(q["start"], "start", end=False) if q.get("start") else None
    hi = _parse_moment(q["end"], "end", end=True) if q.get("end") else None
    first = lo.date() if lo else (hi.date() if hi else today)
    last = hi.date() if hi else (lo.date() if lo else today)
    if lo and not hi:
        last = today
    if first > last:
        raise BadRequest("start must not be after end")
    if (last - first).days > MAX_INTRADAY_DAYS:
        raise BadRequest(f"date range too long: at most {MAX_INTRADAY_DAYS} days per request")
    symbol, known = _symbol(q)
    if not known:
        return 200, _unknown("symbol", symbol)
    rows = []
    for day in data.trading_days(first, min(last, today)):
        for row in data.intraday_bars(symbol, day, adjusted):
            moment = datetime.fromisoformat(row["time"])
            if (lo is None or moment >= lo) and (hi is None or moment <= hi):
                rows.append(row)
    return 200, {"symbol": symbol, "interval": "1m", "data": rows}


def orderbook(req: Request, state: State) -> Tuple[int, Any]:
    q = req.query
    today = data.latest_trading_day()
    day = _parse_day(q["target_date"], "target_date") if q.get("target_date") else today
    symbol, known = _symbol(q)
    if not known:
        return 200, _unknown("symbol", symbol)
    rows = data.orderbook_rows(symbol, day) if data.is_trading_day(day) and day <= today else []
    return 200, {"symbol": symbol, "date": day.isoformat(), "data": rows}


def investor(req: Request, state: State, namespace: str, op: str) -> Tuple[int, Any]:
    if namespace not in INVESTOR_OPS or op not in INVESTOR_OPS[namespace]:
        return 404, {"detail": f"Unknown investor endpoint: {namespace}/{op}"}
    if req.method == "POST":
        refused = state.get("investor_post_status")
        if refused is not None:
            return refused, {"detail": "POST is not accepted here; use GET with query parameters"}
        params = req.json()
        if not isinstance(params, dict):
            raise BadRequest("request body must be a JSON object")
        ids = params.get("ids")
        if ids is None:
            ids = []
        elif isinstance(ids, str):
            ids = [ids]
        if not isinstance(ids, list) or not all(isinstance(i, str) for i in ids):
            raise BadRequest("ids must be a list of strings")
        params = {k: v for k, v in params.items() if k != "ids"}
        if not all(isinstance(v, str) for k, v in params.items()
                   if k in ("group", "interval", "start", "end")):
            raise BadRequest("group, interval, start and end must be strings")
    elif req.method == "GET":
        params = dict(req.query)
        ids = [i for i in params.pop("ids", "").split(",") if i]
    else:
        raise BadRequest("method not allowed", 405)

    ids = [i.strip() for i in ids if i.strip()]
    known = data.known_ids(namespace)
    if not ids:
        if namespace == "stock":
            raise BadRequest("ids must name at least one symbol")
        ids = list(known)
    for entity in ids:
        if entity not in known:
            what = "sector" if namespace == "sector" else ("market" if namespace == "market" else "symbol")
            return 200, {"error": f"Unknown {what}: {entity}"}

    interval = params.get("interval", "1D")
    if interval not in EOD_INTERVALS:
        raise BadRequest(f"interval must be one of {', '.join(EOD_INTERVALS)}, got {interval!r}")
    group = params.get("group", "foreign")
    if op == "flow" and group not in data.GROUPS:
        raise BadRequest(f"group must be one of {', '.join(data.GROUPS)}, got {group!r}")
    start, end = _day_range(params, 30, MAX_INVESTOR_DAYS)

    by_entity: Dict[str, List[Dict[str, Any]]] = {}
    for entity in ids:
        rows = by_entity.setdefault(entity, [])
        for day in data.trading_days(start, end):
            if op == "flow":
                rows.append(data.investor_flow(namespace, entity, day, group))
            elif op == "breakdown":
                rows.append(data.investor_breakdown(namespace, entity, day))
            else:
                rows.append(data.investor_foreign_room(namespace, entity, day))
    # Rows are daily whatever the interval: the client resamples.
    return 200, _shape(state.get("investor_shape"), namespace, by_entity)


def _shape(shape: str, namespace: str, by_entity: Dict[str, List[Dict[str, Any]]]) -> Any:
    if shape == "keyed":
        # Keyed replies carry the identifier only as the key.
        id_field = "icb" if namespace == "sector" else "symbol"
        return {entity: [{k: v for k, v in row.items() if k != id_field} for row in rows]
                for entity, rows in by_entity.items()}
    rows = [row for entity_rows in by_entity.values() for row in entity_rows]
    if shape == "array":
        return rows
    return {shape: rows, "count": len(rows)}


ROUTES: Dict[str, Callable[[Request, State], Tuple[int, Any]]] = {
    "/auth/validate": validate,
    "/market-data/eod/ohlcv": eod_ohlcv,
    "/market-data/intraday/ohlcv": intraday_ohlcv,
    "/market-data/intraday/orderbook": orderbook,
}
GET_ONLY = {"/market-data/eod/ohlcv", "/market-data/intraday/ohlcv", "/market-data/intraday/orderbook"}
INVESTOR_PREFIX = "/market-data/investor/"


def _dispatch(req: Request, state: State) -> Tuple[int, Any]:
    if req.path.startswith("/_sandbox/"):
        return _control(req, state)
    if not req.path.startswith(BASE_PATH + "/"):
        return 404, {"detail": f"Not found: {req.path}"}
    if req.bearer() not in state.get("api_keys"):
        return 401, {"detail": "Invalid API key"}
    path = req.path[len(BASE_PATH):]
    fault = state.get("faults").get(path)
    if fault is not None:
        return fault, "Sandbox fault injected for " + path
    if path in ROUTES:
        if path in GET_ONLY and req.method != "GET":
            raise BadRequest("method not allowed", 405)
        return ROUTES[path](req, state)
    if path.startswith(INVESTOR_PREFIX):
        parts = path[len(INVESTOR_PREFIX):].split("/")
        if len(parts) == 2:
            return investor(req, state, parts[0], parts[1])
    return 404, {"detail": f"Not found: {req.path}"}


def _control(req: Request, state: State) -> Tuple[int, Any]:
    name = req.path[len("/_sandbox/"):]
    if name == "stats" and req.method == "GET":
        return 200, state.snapshot()
    if name == "config" and req.method == "GET":
        return 200, dict(state.config)
    if name == "config" and req.method == "POST":
        return 200, state.update(req.json())
    if name == "reset" and req.method == "POST":
        state.reset()
        return 200, {"reset": True}
    return 404, {"detail": f"Not found: {req.path}"}


_REASONS = {200: "OK", 400: "Bad Request", 401: "Unauthorized", 403: "Forbidden",
            404: "Not Found", 405: "Method Not Allowed", 422: "Unprocessable Entity",
            500: "Internal Server Error", 502: "Bad Gateway", 503: "Service Unavailable"}


def make_app(state: State) -> Callable[[Dict[str, Any], StartResponse], List[bytes]]:
    def app(environ: Dict[str, Any], start_response: StartResponse) -> List[bytes]:
        req = Request(environ)
        try:
            status, payload = _dispatch(req, state)
        except BadRequest as exc:
            status, payload = exc.status, {"detail": str(exc)}
        if not req.path.startswith("/_sandbox/"):
            state.record({"method": req.method, "path": req.path, "query": req.query_string,
                          "status": status, "peer": req.peer})
        if isinstance(payload, str):
            body, ctype = payload.encode(), "text/plain; charset=utf-8"
        else:
            body, ctype = json.dumps(payload, separators=(",", ":")).encode(), "application/json"
        headers = [("Content-Type", ctype), ("Content-Length", str(len(body)))]
        if status == 405:
            headers.append(("Allow", "POST" if req.path.endswith("/auth/validate") else "GET"))
        start_response(f"{status} {_REASONS.get(status, 'Error')}", headers)
        return [body]

    return app
