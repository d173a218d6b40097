"""Start the sandbox in a child process and talk to its control endpoints."""

from __future__ import annotations

import contextlib
import subprocess
import sys
import threading
from typing import Any, Dict, Iterator, List, Optional, Sequence

import requests

from .app import BASE_PATH


class SandboxError(RuntimeError):
    """The sandbox did not start; the message is one line saying why."""


class Sandbox:
    """A running sandbox: its base URL and its control endpoints."""

    def __init__(self, process: "subprocess.Popen[str]", base_url: str,
                 drain: Optional[threading.Thread] = None) -> None:
        self.process = process
        self._drain = drain
        self.base_url = base_url
        self.root = base_url[: -len(BASE_PATH)]
        # A session of its own, so control calls never share a connection with
        # the client under test (connections are counted).
        self._control = requests.Session()

    def _call(self, method: str, name: str, body: Optional[Dict[str, Any]] = None) -> Any:
        response = self._control.request(method, f"{self.root}/_sandbox/{name}", json=body,
                                         timeout=10)
        response.raise_for_status()
        return response.json()

    def stats(self) -> Dict[str, Any]:
        return self._call("GET", "stats")

    def configure(self, **changes: Any) -> Dict[str, Any]:
        return self._call("POST", "config", changes)

    def reset(self) -> None:
        self._call("POST", "reset")

    def requests_made(self) -> int:
        return int(self.stats()["requests"])

    def stop(self) -> None:
        self._control.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        # The pipes are ours to close: left to the garbage collector they warn.
        if self._drain is not None:
            self._drain.join(10)
        for pipe in (self.process.stdout, self.process.stderr):
            if pipe is not None:
                pipe.close()


def start_sandbox(args: Sequence[str] = (), timeout: float = 30.0, *,
                  command: Optional[Sequence[str]] = None) -> Sandbox:
    """Starts `python -m tavrix_sandbox ARGS` (or `command`, a launcher of its own that
    prints the base URL first) and waits for its base URL."""
    if command is None:
        command = [sys.executable, "-m", "tavrix_sandbox", *args]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL, text=True)
    line: List[str] = []
    reader = threading.Thread(target=lambda: line.append(process.stdout.readline()), daemon=True)
    reader.start()
    reader.join(timeout)
    url = line[0].strip() if line else ""
    if not url.startswith("http"):
        if process.poll() is None:
            process.kill()
        with process:  # waits, and closes the pipes once stderr is read
            reader.join(timeout)
            errors = [e for e in (process.stderr.read() if process.stderr else "").splitlines() if e]
        reason = errors[-1] if errors else f"no base URL within {timeout:g} s"
        raise SandboxError(f"sandbox backend did not start: {reason}")
    # Keep draining stderr so a chatty server never blocks on a full pipe.
    drain = threading.Thread(target=process.stderr.read, daemon=True)  # type: ignore[union-attr]
    drain.start()
    return Sandbox(process, url, drain)


@contextlib.contextmanager
def running_sandbox(args: Sequence[str] = (), timeout: float = 30.0) -> Iterator[Sandbox]:
    sandbox = start_sandbox(args, timeout)
    try:
        yield sandbox
    finally:
        sandbox.stop()
