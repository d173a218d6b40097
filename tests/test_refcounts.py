"""Every entry point, on its success path and each error path, leaves the reference
counts of the objects it is given as they were, except by what it documents keeping."""
import contextlib
import ctypes
import io
import logging

import pytest
from entry_cases import CASES, MODULES
from leakcheck import Call, check_references, fresh


@pytest.fixture
def quiet():
    # Error paths log, and a captured record would hold the arguments; the progress
    # bar writes to stdout.
    logging.disable(logging.CRITICAL)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            yield
    finally:
        logging.disable(logging.NOTSET)


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_arguments_keep_their_references(case, quiet):
    check_references(case.build, case.raises)


def test_rows_watch_all_they_make_on_every_interpreter():
    # Only the interpreter's own objects may be immortal: an object a row makes that a new
    # interpreter made immortal would leave the row checking less there, unseen.
    made_immortal = [(case.id, obj) for case in CASES for obj in case.build().immortal
                     if not isinstance(obj, type) and type(obj) is not str]
    assert made_immortal == []


def test_table_covers_every_module():
    # The two reserved modules define no entry point yet (their loading is looped in
    # the leak tests).
    assert {c.module for c in CASES} == set(MODULES) - {"basket_base", "statements_base"}


def test_check_sees_a_leaked_reference_and_a_documented_one():
    text = fresh("watched")
    with pytest.raises(AssertionError, match="count change"):
        check_references(lambda: Call(ctypes.pythonapi.Py_IncRef, ctypes.py_object(text)).watch(text), None)
    for _ in range(2):  # the check made two calls
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(text))
    kept = []
    check_references(lambda: Call(kept.append, obj := fresh("kept")).keeps(obj), None)
