"""What a call leaks: the reference counts of the objects it is given, and the memory and
live objects a looped call gains.

A reference leaked on an argument (an INCREF with no DECREF) or stolen from it leaves
memory flat: only the object's count shows it. Memory can stay flat while objects pile
up (a cycle kept by a static, a freed list reused): the census of live objects shows it."""
import gc
import sys
import tracemalloc
from collections import Counter
from typing import Any, Callable, Dict, List, Optional, Tuple, Type


def _small_int_top() -> int:
    """The largest int the interpreter caches (256 up to 3.14, 1024 from 3.15)."""
    top = 256
    while int(str(top + 1)) is int(str(top + 1)):
        top += 1
    return top


SMALL_INTS = range(-5, _small_int_top() + 1)


def _shared(obj: Any) -> bool:
    """An object whose count the whole interpreter shares, so not measurable: a singleton
    or one the interpreter caches (small ints, the empty tuple and string, one-character
    strings). Immortal objects (from 3.12) are not measurable either: see immortal()."""
    singletons = (None, True, False, Ellipsis, NotImplemented)
    if any(obj is single for single in singletons):
        return True
    if type(obj) is int:
        return obj in SMALL_INTS
    return type(obj) in (str, tuple, bytes) and len(obj) <= (1 if type(obj) is str else 0)


def immortal(obj: Any) -> bool:
    """Its count never changes (3.12 on: built-in types, 3.12's interned strings)."""
    return sys.getrefcount(obj) >= 1 << 30


def fresh(text: str) -> str:
    """A new str object equal to `text`: neither interned nor a cached one-character string."""
    if len(text) < 2:
        raise ValueError("one-character strings are cached by the interpreter")
    return (text + "\x00")[:-1]


def fresh_int(value: int) -> int:
    """A new int object (small ints are cached: SMALL_INTS)."""
    if value in SMALL_INTS:
        raise ValueError("small ints are cached by the interpreter")
    return int(str(value))


class Call:
    """fn(*args, **kwargs) with what it may keep: every argument is watched, and so is
    any further object given to `watch` (an element, an attribute of an argument...)."""

    def __init__(self, fn: Callable[..., Any], *args: Any, **kwargs: Any) -> None:
        self.fn, self.args, self.kwargs = fn, args, kwargs
        self.watched: List[Any] = []
        self.immortal: List[Any] = []  # given, but not measurable on this interpreter
        self.kept: Dict[int, int] = {}
        self.watch(*args, *kwargs.values())

    def watch(self, *objects: Any) -> "Call":
        for obj in objects:
            if _shared(obj) or any(obj is w for w in self.watched):
                continue
            (self.immortal if immortal(obj) else self.watched).append(obj)
        return self

    def keeps(self, *objects: Any, count: int = 1) -> "Call":
        """The call documents `count` more references to each object afterwards (stored,
        returned, set on an instance); negative when it documents releasing some."""
        for obj in objects:
            self.watch(obj)
            self.kept[id(obj)] = self.kept.get(id(obj), 0) + count
        return self

    def run(self) -> Tuple[Optional[Type[BaseException]], Any]:
        """Makes the call: the type of what it raised (or None), and what it returned. The
        exception itself is dropped, with its traceback and frames."""
        try:
            return None, self.fn(*self.args, **self.kwargs)
        except BaseException as exc:  # noqa: B036 - the path may raise anything
            return type(exc), None


def reference_changes(call: Call) -> Tuple[Optional[Type[BaseException]], List[Tuple[str, int, int]]]:
    """Makes the call once. Returns the type of the exception it raised (None on success)
    and, for every watched object, (repr, change of its count, change documented). The
    result is held while counting, so a returned argument counts as kept; what the
    exception referred to is collected first."""
    for obj in call.watched:
        # A fresh object is referenced from a handful of places: a count in the hundreds
        # means an interned or cached one, whose count others change too.
        assert sys.getrefcount(obj) < 64, f"not a fresh object: {obj!r}"
    # What exists now is set aside, so the collection after the call only looks at what
    # the call made (a full collection of a process with pandas loaded is slow).
    gc.freeze()
    try:
        before = [sys.getrefcount(obj) for obj in call.watched]
        error, result = call.run()
        gc.collect()
        after = [sys.getrefcount(obj) for obj in call.watched]
        del result
    finally:
        gc.unfreeze()
    changes = [(repr(obj)[:60], a - b, call.kept.get(id(obj), 0))
               for obj, a, b in zip(call.watched, after, before)]
    return error, changes


def check_references(build: Callable[[], Call], raises: Optional[Type[BaseException]]) -> None:
    """Builds and makes the call twice with fresh objects (the first warms the call sites'
    caches up), and asserts that the second took the expected path and changed no
    watched object's count other than documented."""
    reference_changes(build())
    error, changes = reference_changes(build())
    if raises is None:
        assert error is None, f"raised {error}"
    else:
        assert error is not None and issubclass(error, raises), f"expected {raises}, got {error}"
    wrong = [(obj, got, documented) for obj, got, documented in changes if got != documented]
    assert not wrong, f"(object, count change, documented change): {wrong}"


# 3.13 deprecates the narrower one.
_clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def _census() -> Counter:
    # Keyed by name, so the census itself keeps no type alive. After gc.freeze() it
    # sees only what was made since.
    return Counter(f"{type(o).__module__}.{type(o).__qualname__}" for o in gc.get_objects())


def stretch_growth(calls: Callable[[], object], *, warmup: int, stretch: int,
                   stretches: int = 3) -> Tuple[List[int], Dict[str, int]]:
    """Runs `calls` `warmup` times, then `stretches` runs of `stretch` calls. Returns the
    traced memory gained over each run, and for every type of live object that grew in
    each run its smallest growth. A leak grows by the same amount in every run; the
    libraries' own caches, still warming, less each time."""
    for _ in range(warmup):
        calls()
    gc.collect()
    gc.freeze()  # as in reference_changes: the collections below see only what the calls made
    tracemalloc.start()
    try:
        memory: List[int] = []
        grown: Optional[Dict[str, int]] = None
        counts = _census()
        for _ in range(stretches):
            # Emptied, so the interpreter's type attribute cache fills again in every
            # run: a call that looks an attribute up under a new name string each time
            # shows as the names the cache then keeps (once full, it only swaps them).
            _clear_type_cache()
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(stretch):
                calls()
            gc.collect()
            memory.append(tracemalloc.get_traced_memory()[0] - before)
            now = _census()  # made after the reading, and held over the next run's
            delta = {name: n - counts[name] for name, n in now.items() if n > counts[name]}
            grown = delta if grown is None else {name: min(n, delta[name])
                                                for name, n in grown.items() if name in delta}
            counts = now
    finally:
        tracemalloc.stop()
        gc.unfreeze()
    return memory, grown or {}
