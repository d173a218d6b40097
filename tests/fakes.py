"""The suite's stand-ins: sessions and responses that answer from memory and record what
they were sent, recorders for the fetchers' hooks, and the one way tests compare an
outcome with a model's. A test that is about HTTP itself uses a real server instead
(pytest-httpserver, faultserver.py or the sandbox).

Answers, wherever a fake takes them: an exception (instance, or class made anew at each
raise, so a fake reused in a loop keeps no traceback alive) is raised by the send
itself; a Response is returned as it is; a callable is called with (method, path, sent)
and its result taken as the answer; anything else is the decoded payload."""
import socket
from datetime import timedelta
from typing import Any, Callable, Dict, List, Optional, Tuple

from private_core.memo_layer import BaseMemoLayer


class Boom(Exception):
    """Raised by a caller's own object or fake, to see it pass through unchanged."""


class Interrupt(BaseException):
    """Not an Exception: must never be turned into a library error."""


class BadStr:
    def __str__(self) -> str:
        raise Boom("no text")


# Subclasses of the built-in types that behave as their bases do.
StrSub, DictSub = type("StrSub", (str,), {}), type("DictSub", (dict,), {})


def is_error(value: Any) -> bool:
    return isinstance(value, BaseException) or (isinstance(value, type) and issubclass(value, BaseException))


def raise_(error: Any) -> None:
    raise error() if isinstance(error, type) else error


class Response:
    """A reply: `status_code`, `text`, and json() giving `payload` (raising it when it is
    an exception)."""

    def __init__(self, payload: Any = None, status: int = 200, text: str = "body") -> None:
        self.payload, self.status_code, self.text = payload, status, text

    def json(self) -> Any:
        if is_error(self.payload):
            raise_(self.payload)
        return self.payload

    def __repr__(self) -> str:
        return f"Response({self.payload!r}, {self.status_code})"


class Session:
    """A session as the fetchers and the key check see it. get() and post() answer
    `answers` in turn (the last one again once they run out; with `cycle`, from the
    first again) and record (method, path, what was sent, the other keywords) in
    `calls`."""

    def __init__(self, *answers: Any, api_key: Optional[str] = "k", cycle: bool = False) -> None:
        self.answers, self.cycle, self.served = list(answers) or [None], cycle, 0
        self.calls: List[Tuple[str, str, Any, Dict[str, Any]]] = []
        if api_key is not None:
            self.api_key = api_key

    def _answer(self, method: str, path: str, sent: Any, kwargs: Dict[str, Any]) -> Any:
        self.calls.append((method, path, sent, kwargs))
        n = len(self.answers)
        answer = self.answers[self.served % n if self.cycle else min(self.served, n - 1)]
        self.served += 1
        if callable(answer) and not is_error(answer):
            answer = answer(method, path, sent)
        if is_error(answer):
            raise_(answer)
        return answer if isinstance(answer, Response) else Response(answer)

    def get(self, path: str, params: Any = None, **kwargs: Any) -> Response:
        return self._answer("GET", path, params, kwargs)

    def post(self, path: str, json_body: Any = None, **kwargs: Any) -> Response:
        return self._answer("POST", path, json_body, kwargs)


class Transport(Session):
    """Stands in for the requests.Session under an HttpSession: request() answers as a
    Session does, with the status of the Response; close() raises `close_error` or
    counts. With `inner`, each call is recorded and then forwarded to it."""

    def __init__(self, *answers: Any, close_error: Any = None, inner: Any = None) -> None:
        super().__init__(*answers, api_key=None)
        self.close_error, self.inner, self.closed = close_error, inner, 0

    def request(self, method: str, url: str, **kwargs: Any) -> Any:
        if self.inner is not None:
            self.calls.append((method, url, None, kwargs))
            return self.inner.request(method, url, **kwargs)
        return self._answer(method, url, None, kwargs)

    def close(self) -> None:
        self.closed += 1
        if self.close_error is not None:
            raise_(self.close_error)
        if self.inner is not None:
            self.inner.close()


def record_hooks(monkeypatch: Any, *modules: Any, frames: bool = True) -> List[tuple]:
    """Each module's progress hooks (and, with `frames`, its frame builder and
    resampler) replaced by recorders appending to the returned list: ("start", total,
    label), ("update", done), ("finish",), ("frame", rows) giving "frame", and
    ("resample", frame, interval) giving "resampled"."""
    events: List[tuple] = []
    for module in modules:
        monkeypatch.setattr(module, "start_progress", lambda total, label: events.append(("start", total, label)))
        monkeypatch.setattr(module, "update_progress", lambda done: events.append(("update", done)))
        monkeypatch.setattr(module, "finish_progress", lambda: events.append(("finish",)))
        if frames:
            monkeypatch.setattr(module, "_to_dataframe", lambda rows: events.append(("frame", rows)) or "frame")
            monkeypatch.setattr(module, "resample_ohlcv_multi",
                                lambda frame, interval: events.append(("resample", frame, interval)) or "resampled")
    return events


def outcome(fn: Callable[..., Any], *args: Any, **kwargs: Any) -> Tuple[str, Any]:
    """("ok", result) or ("raised", exception). A SystemError (an internal check of ours
    failed) is never an outcome to compare: it propagates and fails the test. Interrupt
    is caught too, to compare that it passed through."""
    try:
        return "ok", fn(*args, **kwargs)
    except SystemError:
        raise
    except (Exception, Interrupt) as exc:  # noqa: BLE001 - compared by the caller
        return "raised", exc


def assert_same_outcome(got: Tuple[str, Any], want: Tuple[str, Any], compare: Optional[Callable] = None,
                        exact: Callable[[BaseException], bool] = lambda exc: True) -> None:
    """Both returned equal results (or results `compare(got, want)` accepts), or both
    raised the same type; with the same args where `exact(wanted exception)` says the
    wording is ours to keep, and a cause of the same type."""
    assert got[0] == want[0], (got, want)
    if got[0] == "ok":
        if compare is None:
            assert got[1] == want[1], (got[1], want[1])
        else:
            compare(got[1], want[1])
        return
    g, w = got[1], want[1]
    assert type(g) is type(w), (g, w)
    if exact(w):
        assert g.args == w.args, (g.args, w.args)
    assert type(g.__cause__) is type(w.__cause__), (g.__cause__, w.__cause__)


def same_text(a: Any, b: Any) -> bool:
    """The same object, equal exact text (never a subclass), or lists/dicts of those in
    the same order: the models build plain str, list and dict where we must too."""
    if a is b:
        return True
    if type(a) is not type(b) or type(a) not in (str, list, dict):
        return False
    if type(a) is str:
        return a == b
    if type(a) is dict:
        a, b = list(a.items()), list(b.items())
        return len(a) == len(b) and all(same_text(k, l) and same_text(v, w) for (k, v), (l, w) in zip(a, b))
    return len(a) == len(b) and all(same_text(x, y) for x, y in zip(a, b))


# --- the result cache
MEMO_PAIR, MEMO_TTL = ("ns", ("k",)), timedelta(minutes=1)


class MemoClient(BaseMemoLayer):
    """A client class as callers write one over the memo layer."""


class Fetcher:
    """A fetcher (or any stand-in method): counts its calls, waits for `release` when
    given, then raises `error` or returns `result`."""

    def __init__(self, result: Any = None, error: Any = None, release: Any = None) -> None:
        self.result, self.error, self.release, self.calls = result, error, release, 0

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        self.calls += 1
        if self.release is not None:
            self.release.wait(10)
        if self.error is not None:
            raise_(self.error)
        return self.result


def memo_fetch(client: Any, fetcher: Any, *, live: bool = False, ns: str = "ns", key: Any = ("k",),
               **kwargs: Any) -> Any:
    """client._fetch_with_cache with a one-minute live TTL and history kept for good."""
    return client._fetch_with_cache(ns, key, live=live, fetcher=fetcher, ttl_live=MEMO_TTL,
                                    ttl_history=None, **kwargs)


# --- sockets and messages
def closed_port() -> int:
    """A port on 127.0.0.1 bound then released, so nothing listens there."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
