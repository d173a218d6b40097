"""Memory growth of a repeated call, as the leak tests measure it."""
import gc
import tracemalloc
from collections import Counter
from typing import Callable, Dict, List, Optional




def stretch_growth(calls: Callable[[], object], *, warmup: int, settle: int, stretch: int,
                   stretches: int) -> List[int]:
    """Traced memory gained over each of `stretches` equal runs of `stretch` calls, after
    `warmup` untraced and `settle` traced calls. A leak grows by the same amount in every
    stretch; the libraries' and newer interpreters' own caches, still warming after the
    warm-up, less each time, so the smallest growth is what a test bounds."""
    for _ in range(warmup):
        calls()
    gc.collect()
    # What exists after the warm-up is set aside: the collections below then only look
    # at what the calls made (a full one, with pandas loaded, takes a tenth of a second).
    gc.freeze()
    tracemalloc.start()
    try:
        for _ in range(settle):
            calls()
        gc.collect()
        growth = []
        for _ in range(stretches):
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(stretch):
                calls()
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
        gc.unfreeze()
    return growth


def _census() -> Counter:
    # Keyed by name, so the census itself keeps no type alive.
    return Counter(f"{type(o).__module__}.{type(o).__qualname__}" for o in gc.get_objects())


def object_growth(calls: Callable[[], object], *, warmup: int, stretch: int,
                  stretches: int) -> Dict[str, int]:
    """Live objects (as the collector tracks them) gained per type over each of `stretches`
    runs of `stretch` calls, after `warmup` calls: for every type that grew in each
    stretch, its smallest growth. Memory can stay flat while objects pile up (a cycle
    kept by a static, a freed list reused), so this counts them; caches still warming
    grow less each time, a leak by the same number."""
    for _ in range(warmup):
        calls()
    gc.collect()
    # Set aside, as in stretch_growth: the census then counts only what the calls made.
    gc.freeze()
    try:
        counts = _census()
        grown: Optional[Dict[str, int]] = None
        for _ in range(stretches):
            for _ in range(stretch):
                calls()
            gc.collect()
            now = _census()
            delta = {name: n - counts[name] for name, n in now.items() if n > counts[name]}
            grown = delta if grown is None else {name: min(n, delta[name])
                                                for name, n in grown.items() if name in delta}
            counts = now
    finally:
        gc.unfreeze()
    return grown or {}
