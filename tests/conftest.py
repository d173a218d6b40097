import inspect
import os
from datetime import datetime

import pytest
from hypothesis import HealthCheck, settings

from private_core import memo_store

# Property-based tests: the suite's profile is bounded and reproducible (the same examples
# every run, no .hypothesis directory) and has no deadline, since the sanitizer run is
# several times slower. HYPOTHESIS_PROFILE=long searches much further, for local runs.
_SLOW = [HealthCheck.too_slow, HealthCheck.data_too_large]
settings.register_profile("ci", max_examples=60, deadline=None, derandomize=True, database=None, print_blob=True,
                          suppress_health_check=_SLOW)
settings.register_profile("long", max_examples=3000, deadline=None, suppress_health_check=_SLOW)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture
def clock(monkeypatch):
    """memo_store.datetime replaced by a class whose now() the test sets via `current`."""

    class Meta(type):
        def __instancecheck__(cls, obj):  # real datetimes still count as datetimes
            return isinstance(obj, datetime)

    class Frozen(datetime, metaclass=Meta):
        current = datetime(2024, 5, 3, 12, 0)

        @classmethod
        def now(cls, tz=None):
            return cls.current

    monkeypatch.setattr(memo_store, "datetime", Frozen)
    return Frozen


@pytest.fixture(scope="session")
def sandbox_process():
    """The sandbox backend in a child process, shared by the whole run."""
    from tavrix_sandbox.testing import start_sandbox

    sandbox = start_sandbox()
    yield sandbox
    sandbox.stop()


@pytest.fixture
def sandbox(sandbox_process):
    """The shared sandbox with its switches and counters reset for this test."""
    sandbox_process.reset()
    yield sandbox_process
    sandbox_process.reset()


@pytest.fixture(scope="session")
def python_wording():
    """python_wording(fn, *args, **kwargs): the TypeError message the running interpreter
    gives a plain def with fn's name, qualname and parameters for that call. Argument
    mistakes are worded by the interpreter, and the wording changes between versions."""

    def wording(fn, *args, **kwargs):
        sig = inspect.signature(fn)
        params = [p.replace(annotation=p.empty, default=p.empty if p.default is p.empty else None)
                  for p in sig.parameters.values()]
        namespace = {}
        exec(f"def {fn.__name__}{sig.replace(parameters=params, return_annotation=sig.empty)}: pass", namespace)
        plain = namespace[fn.__name__]
        plain.__qualname__ = fn.__qualname__
        with pytest.raises(TypeError) as info:
            plain(*args, **kwargs)
        return str(info.value)

    return wording
