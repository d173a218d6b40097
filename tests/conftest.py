from datetime import datetime

import pytest

from private_core import memo_store


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
