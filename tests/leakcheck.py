"""Memory growth of a repeated call, as the leak tests measure it."""
import gc
import tracemalloc
from typing import Callable, List


def stretch_growth(calls: Callable[[], object], *, warmup: int, settle: int, stretch: int,
                   stretches: int) -> List[int]:
    """Traced memory gained over each of `stretches` equal runs of `stretch` calls, after
    `warmup` untraced and `settle` traced calls. A leak grows by the same amount in every
    stretch; the libraries' and newer interpreters' own caches, still warming after the
    warm-up, less each time, so the smallest growth is what a test bounds."""
    for _ in range(warmup):
        calls()
    gc.collect()
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
    return growth
