"""Round trips to the sandbox backend over one kept-alive connection, and what key
validation adds on top of its request.

1. Median latency of a small GET through HttpSession, against the sandbox as it runs
   (TCP_NODELAY on accepted sockets) and against the same server with the option
   removed, to show what Nagle's algorithm plus delayed ACKs would cost per request.
2. validate_api_key against an in-memory session (no HTTP), beside the same function
   written in plain Python, and the floor: building the body and the model alone.

    python bench/bench_sandbox.py [--quick]
"""
from __future__ import annotations

import argparse
import logging
import statistics
import threading
import time
import timeit
from typing import Any, List

from pydantic import ValidationError
from tavrix.exceptions import ApiKeyValidationError, HttpError
from tavrix.types import ApiKeyValidationResponse
from tavrix_sandbox.app import State
from tavrix_sandbox.server import base_url, build_server

from private_core.keygate import validate_api_key
from private_core.transport_base import HttpSession

logger = logging.getLogger("bench.keygate")


def serve(nodelay: bool) -> Any:
    server = build_server(State(), threads=2)
    if not nodelay:
        server.adj.socket_options = []
    threading.Thread(target=server.run, daemon=True).start()
    return server


def round_trips(server: Any, count: int) -> List[float]:
    times = []
    with HttpSession("demo-key", base_url=base_url(server)) as session:
        params = {"symbol": "ALP", "start": "2026-11-02", "end": "2026-11-03"}
        session.get("/market-data/eod/ohlcv", params=params)  # connect, warm caches
        for _ in range(count):
            t0 = time.perf_counter()
            session.get("/market-data/eod/ohlcv", params=params).json()
            times.append(time.perf_counter() - t0)
    return times


# --- key validation without HTTP ------------------------------------------------------


class MemorySession:
    api_key = "demo-key"
    answer = {"valid": True, "message": "hello", "plan": "sandbox"}

    def post(self, path: str, json_body: Any = None) -> "MemorySession":
        return self

    def json(self) -> Any:
        return self.answer


def py_validate(session: Any, *, client_version: str, include_messages: bool = True,
                extra_context: Any = None) -> ApiKeyValidationResponse:
    payload = {"apiKey": session.api_key, "clientVersion": client_version,
               "includeMessages": include_messages}
    if extra_context:
        payload["context"] = extra_context
    try:
        response = session.post("/auth/validate", json_body=payload)
    except HttpError as exc:
        raise ApiKeyValidationError(str(exc)) from exc
    except Exception as exc:
        logger.exception("Failed to validate API key with Tavrix backend")
        raise ApiKeyValidationError("Unable to validate API key") from exc
    try:
        data = response.json()
    except ValueError as exc:
        raise ApiKeyValidationError("Backend returned invalid JSON payload") from exc
    try:
        result = ApiKeyValidationResponse.model_validate(data)
    except ValidationError as exc:
        raise ApiKeyValidationError("Backend response did not match expected schema") from exc
    logger.debug("API key validated successfully for version %s", client_version)
    return result


def floor(session: Any) -> Any:
    payload = {"apiKey": session.api_key, "clientVersion": "1", "includeMessages": True}
    session.post("/auth/validate", json_body=payload)
    return ApiKeyValidationResponse.model_validate(session.json())


def best(fn: Any, number: int, repeat: int) -> float:
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    count = 50 if args.quick else 300

    print("round trip, small GET over one kept-alive connection (median of %d):" % count)
    for nodelay in (True, False):
        server = serve(nodelay)
        try:
            times = round_trips(server, count if nodelay else max(count // 5, 10))
        finally:
            server.close()
        label = "TCP_NODELAY (as served)" if nodelay else "without TCP_NODELAY    "
        print(f"  {label}: {statistics.median(times) * 1e3:7.2f} ms")

    session = MemorySession()
    number, repeat = (2000, 3) if args.quick else (20000, 7)
    native = best(lambda: validate_api_key(session, client_version="1"), number, repeat)
    plain = best(lambda: py_validate(session, client_version="1"), number, repeat)
    base = best(lambda: floor(session), number, repeat)
    print("validate_api_key, in-memory session (best of %d):" % repeat)
    print(f"  floor (body + model_validate): {base * 1e6:6.2f} us")
    print(f"  native:                        {native * 1e6:6.2f} us  "
          f"(+{(native - base) * 1e6:.2f} us over the floor)")
    print(f"  plain Python:                  {plain * 1e6:6.2f} us  "
          f"(+{(plain - base) * 1e6:.2f} us over the floor)")


if __name__ == "__main__":
    main()
