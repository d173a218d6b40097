"""Run the sandbox backend: `tavrix-sandbox [--port N] [--api-key KEY ...]`.

Prints the base URL (one line on standard output) once it listens, then serves until
interrupted. Failures to start are one line on standard error and exit status 2.
"""

from __future__ import annotations

import argparse
import errno
import signal
import socket
import sys
from typing import Any, List, Optional, Sequence

from waitress.channel import HTTPChannel
from waitress.server import create_server

from .app import BASE_PATH, DEMO_KEY, INVESTOR_SHAPES, State, make_app


def build_server(state: State, host: str = "127.0.0.1", port: int = 0, threads: int = 4) -> Any:
    """A waitress server for the sandbox app; counts accepted connections in `state`."""

    class CountingChannel(HTTPChannel):  # type: ignore[misc]
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            state.connection_opened()

    server = create_server(
        make_app(state),
        host=host,
        port=port,
        threads=threads,
        ident="tavrix-sandbox",
        clear_untrusted_proxy_headers=True,
    )
    # TCP_NODELAY on every accepted socket: without it Nagle's algorithm and delayed
    # ACKs add ~40 ms per kept-alive request on loopback. Waitress sets it by
    # default; make sure of it rather than rely on that.
    nodelay = (socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    if nodelay not in server.adj.socket_options:
        server.adj.socket_options = [*server.adj.socket_options, nodelay]
    server.channel_class = CountingChannel
    return server


def base_url(server: Any) -> str:
    return f"http://{server.effective_host}:{server.effective_port}{BASE_PATH}"


def _parse(argv: Optional[Sequence[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="tavrix-sandbox",
        description="Local stand-in for the Tavrix REST backend with synthetic market data.",
    )
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    parser.add_argument("--api-key", action="append", default=[], metavar="KEY",
                        help=f"accept this API key as well as {DEMO_KEY!r} (repeatable)")
    parser.add_argument("--investor-shape", choices=INVESTOR_SHAPES, default="data",
                        help="how investor endpoints wrap their rows (default: data)")
    parser.add_argument("--investor-post-status", type=int, choices=(404, 405), default=None,
                        help="answer investor POSTs with this status, so clients fall back to GET")
    parser.add_argument("--threads", type=int, default=4, help="worker threads (default 4)")
    return parser.parse_args(argv)


def _interrupt(signum: int, frame: Any) -> None:
    # SIGTERM ends the server as cleanly as Ctrl+C does.
    raise KeyboardInterrupt


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = _parse(argv)
    state = State(args.api_key, args.investor_shape, args.investor_post_status)
    try:
        server = build_server(state, args.host, args.port, args.threads)
    except OSError as exc:
        reason = "address already in use" if exc.errno == errno.EADDRINUSE else exc.strerror or str(exc)
        print(f"tavrix-sandbox: cannot listen on {args.host}:{args.port}: {reason}", file=sys.stderr)
        return 2
    print(base_url(server), flush=True)
    keys: List[str] = state.get("api_keys")
    print(f"tavrix-sandbox: accepting API keys {', '.join(keys)}; Ctrl+C stops", file=sys.stderr,
          flush=True)
    signal.signal(signal.SIGTERM, _interrupt)
    try:
        server.run()
    except KeyboardInterrupt:
        pass
    finally:
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
