"""Progress bar on stderr for batches of requests.

The native core calls these between requests; the state lives at module level.
Nothing is drawn until the first update, so a batch that never reports
progress stays silent, and nothing is drawn at all when stderr is not a
terminal (logs and pipes stay clean).
"""

from __future__ import annotations

import sys
from typing import Any, Optional, TextIO

from tqdm import tqdm

__all__ = ["start_progress", "update_progress", "finish_progress"]


class _Bar(tqdm):  # type: ignore
    # No monitor thread: the bar is only ever touched from the caller's thread.
    monitor_interval = 0


_bar: Optional[Any] = None
_stream: Optional[TextIO] = None
_total = 0
_label = ""


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError, OSError):
        return False


def _close() -> None:
    global _bar, _stream
    if _bar is not None:
        _bar.close()
    _bar = None
    _stream = None


def start_progress(total: int, label: str) -> None:
    """Begin a batch of ``total`` items; a bar left open by a failed batch is closed."""
    global _total, _label, _stream
    _close()
    _total = max(int(total), 0)
    _label = label
    stream = sys.stderr
    _stream = stream if stream is not None and _is_terminal(stream) else None


def update_progress(done: int) -> None:
    """Show ``done`` items finished (a count, not an increment)."""
    global _bar
    if _stream is None:
        return
    done = min(max(int(done), 0), _total)
    if _bar is None:
        _bar = _Bar(total=_total, desc=_label, file=_stream, leave=True,
                    disable=False, initial=done)
        return
    _bar.update(done - _bar.n)


def finish_progress() -> None:
    """End the batch; prints nothing if the bar was never drawn."""
    _close()
