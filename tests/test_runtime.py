"""The C++ runtime layer on its own, through the test-only probe module."""
import gc
import inspect
import pathlib
import pickle
import sys
import threading
import tracemalloc
import typing

import pytest

from fakes import DictSub, StrSub, assert_same_outcome, outcome, raise_

probe = pytest.importorskip("private_core._runtime_probe")


def echo(a, b=2, /, c=3, *args, d, e=5, **kwargs):
    return (a, b, c, args, d, e, kwargs)


def bound(x, y: "Text" = "y", *, z: int, w=None) -> tuple:  # noqa: F821
    return (x, y, z, w)


def typed(s, i, d, items, maybe=None):
    return (s, i, d, items, maybe)


def wide(a, b=1, /, c=2, d=3, e=4, f=5, g=6, h=7, i=8, j=9, k=10, l=11, m=12, n=13, o=14,  # noqa: E741
         p=15, q=16):
    return (a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q)


# (function, args, kwargs, "ok" or "raised"): the probe's function against the plain def of
# the same signature, result or exact TypeError wording (the interpreter's own, which
# changes between versions; our functions carry the plain def's qualname).
CALLS = [
    (echo, (), {}, "raised"), (echo, (1,), {}, "raised"), (echo, (1,), {"d": 4}, "ok"),
    (echo, (1, 2, 3, 4, 5), {"d": 6, "x": 7}, "ok"), (echo, (1,), {"d": 4, "c": 9, "e": 8}, "ok"),
    (echo, (1, 2, 3), {"c": 3, "d": 1}, "raised"), (echo, (1,), {"a": 1, "d": 1}, "ok"),
    (echo, (1,), {"a": 1, "b": 2}, "raised"), (echo, (), {"d": 1}, "raised"),
    (echo, (1,), {"unknown": 1, "d": 1}, "ok"), (echo, (1, 2, 3), {"a": 1}, "raised"),
    (bound, (), {}, "raised"), (bound, (1,), {}, "raised"), (bound, (1,), {"z": 2}, "ok"),
    (bound, (1, 2, 3), {}, "raised"), (bound, (1, 2, 3), {"z": 1}, "raised"),
    (bound, (1, 2, 3), {"z": 1, "w": 2}, "raised"), (bound, (1,), {"x": 1, "z": 1}, "raised"),
    (bound, (1,), {"q": 1}, "raised"), (bound, (1,), {"zz": 1}, "raised"),  # 3.13 suggests 'z'
    (bound, (1,), {"y": 1, "ww": 2, "z": 1}, "raised"), (bound, (), {"x": 1, "y": 2, "z": 3, "w": 4}, "ok"),
    (typed, (), {}, "raised"), (typed, ("s", 1), {}, "raised"), (typed, ("s", 1, {}, [], "m", 2), {}, "raised"),
    (wide, (0,), {"q": 0, "c": 9}, "ok"), (wide, tuple(range(17)), {}, "ok"), (wide, (0,), {"b": 1}, "raised"),
    (wide, (), {"a": 0, "b": 1, "c": 2}, "raised"), (wide, (0,), {"b": 1, "r": 0}, "raised"),
    # Keyword names that are equal to a parameter's but not the same (interned) object.
    (typed, ("s", 1, {}), {"".join(["ite", "ms"]): [], "".join(["may", "be"]): "m"}, "ok"),
]


@pytest.mark.parametrize("plain, args, kwargs, kind", CALLS)
def test_binding_matches_python(plain, args, kwargs, kind):
    got = outcome(getattr(probe, plain.__name__), *args, **kwargs)
    want = outcome(plain, *args, **kwargs)
    assert want[0] == kind
    assert_same_outcome(got, want)


def test_repeated_keyword_calls_bind_alike():
    # Each call site passes the same keyword-names tuple every time; interleaving
    # sites must never let one site's binding leak into another's.
    for _ in range(3):
        assert probe.bound(1, z=2) == (1, "y", 2, None)
        assert probe.bound(1, w=4, z=3) == (1, "y", 3, 4)
        assert probe.bound(x=5, z=6, y=7) == (5, 7, 6, None)
        with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'z'"):
            probe.bound(1, w=1)
        with pytest.raises(TypeError, match="got multiple values for argument 'x'"):
            probe.bound(1, x=2, z=3)


def test_mistakes_are_worded_with_the_current_qualname(python_wording):
    try:
        probe.bound.__qualname__ = "Renamed.bound"
        with pytest.raises(TypeError) as err:
            probe.bound(1, zz=2)
        assert str(err.value) == python_wording(probe.bound, 1, zz=2)
        assert str(err.value).startswith("Renamed.bound() ")
    finally:
        probe.bound.__qualname__ = "bound"


@pytest.mark.parametrize("kwargs, message", [
    ({"s": StrSub("x")}, "Argument 's' has incorrect type (expected str, got StrSub)"),
    ({"i": True}, "Argument 'i' has incorrect type (expected int, got bool)"),
    ({"i": None}, "Argument 'i' has incorrect type (expected int, got NoneType)"),
    ({"d": DictSub()}, "Argument 'd' has incorrect type (expected dict, got DictSub)"),
    ({"items": ()}, "Argument 'items' has incorrect type (expected list, got tuple)"),
    ({"maybe": 1}, "Argument 'maybe' has incorrect type (expected str, got int)"),
    ({"maybe": None}, None), ({}, None)])  # None passes only where the default is None
def test_exact_type_checks(kwargs, message):
    args = {"s": "x", "i": 1, "d": {}, "items": [], **kwargs}
    if message is None:
        assert probe.typed(*args.values()) == ("x", 1, {}, [], None)
        return
    with pytest.raises(TypeError) as err:
        probe.typed(**args)
    assert str(err.value) == message


def test_metadata_and_signature():
    assert (probe.echo.__name__, probe.echo.__qualname__, probe.echo.__module__, probe.echo.__doc__) == \
        ("echo", "echo", "private_core._runtime_probe", "Echo the bound arguments.")
    assert probe.bound.__doc__ is None
    for fn in (echo, bound):
        assert str(inspect.signature(getattr(probe, fn.__name__))) == str(inspect.signature(fn))
    # Text annotations stay text; others are the evaluated objects.
    assert probe.bound.__annotations__ == {"y": "Text", "z": int, "return": tuple}
    assert probe.typed.__annotations__["maybe"] == typing.Optional[str]
    if sys.version_info >= (3, 14):  # lazy annotations, whose source texts come back
        import annotationlib

        for fn in (echo, bound):
            for form in annotationlib.Format.STRING, annotationlib.Format.FORWARDREF:
                assert (annotationlib.get_annotations(getattr(probe, fn.__name__), format=form)
                        == annotationlib.get_annotations(fn, format=form))
    assert (probe.bound.__defaults__, probe.bound.__kwdefaults__) == (("y",), {"w": None})
    probe.bound.extra = 1  # instance __dict__ like a Python function
    assert probe.bound.__dict__ == {"extra": 1}
    assert pickle.loads(pickle.dumps(probe.echo)) is probe.echo
    assert probe.global_value.__globals__ is vars(probe)


@pytest.mark.parametrize("name, value", [("__name__", 1), ("__qualname__", None), ("__annotations__", 1),
                                         ("__annotations__", {"x": int}), ("__doc__", "text"), ("__doc__", None)])
def test_metadata_is_set_as_on_a_python_function(name, value):
    native, plain = probe.wide, wide
    saved = [(fn, getattr(fn, name)) for fn in (native, plain)]
    try:
        assert_same_outcome(outcome(setattr, native, name, value), outcome(setattr, plain, name, value))
        assert getattr(native, name) == getattr(plain, name)
        assert repr(native) == f"<function {plain.__qualname__} at {id(native):#x}>"
    finally:
        for fn, before in saved:
            setattr(fn, name, before)


def test_methods_bind_and_classes_are_real(python_wording):
    class Base:
        def __init__(self, *args, **kwargs):
            self.base_args = (args, kwargs)
            super().__init__()

    class Before(probe.Mixin, Base):
        pass

    class After(Base, probe.Mixin):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)

    obj = Before(1, k=2)
    assert obj.probe_ready and obj.base_args == ((1,), {"k": 2})
    assert obj.owner() is probe.Mixin
    assert After().probe_ready
    refusing = type("Refusing", (), {"__init__": lambda self, *args: raise_(KeyError("refused"))})
    with pytest.raises(KeyError, match="refused"):  # the next class's error passes as it is
        type("Child", (probe.Mixin, refusing), {})(1)
    assert inspect.ismethod(obj.owner) and obj.owner.__self__ is obj
    assert probe.Mixin.__dict__["owner"].__qualname__ == "Mixin.owner"
    assert str(inspect.signature(probe.Mixin)) == "(*args, **kwargs)"
    assert probe.Mixin.__doc__ == "A cooperative mixin."
    with pytest.raises(TypeError) as err:
        obj.owner(1)
    assert str(err.value) == python_wording(probe.Mixin.owner, obj, 1)
    assert str(err.value).startswith("Mixin.owner() takes 1 positional argument")


def test_protocol_metaclass_and_decorator():
    person = type("Person", (), {"name": "ann", "greet": lambda self: "hi"})()
    assert isinstance(person, probe.Named) and not isinstance(object(), probe.Named)
    assert type(probe.Named) is type(typing.Protocol)

    class Impl(probe.Named):
        name = "bo"

    assert Impl().greet() == "hello bo"


def test_globals_are_read_at_call_time(monkeypatch):
    assert probe.global_value() == 1
    monkeypatch.setattr(probe, "VALUE", 2)
    assert probe.global_value() == 2
    monkeypatch.delattr(probe, "VALUE")
    with pytest.raises(NameError, match="name 'VALUE' is not defined"):
        probe.global_value()


def test_raise_from_sets_cause_and_suppresses_context():
    original = KeyError("k")
    with pytest.raises(RuntimeError) as err:
        probe.wrap_error(lambda: raise_(original))
    assert err.value.__cause__ is original and err.value.__context__ is original and err.value.__suppress_context__
    assert err.value.__cause__.__traceback__ is not None
    assert sys.exc_info() == (None, None, None)


def test_handler_sees_exception_as_handled():
    seen = []

    def handler():
        seen.append(sys.exc_info()[1])
        raise LookupError("second")

    with pytest.raises(LookupError) as err:
        probe.in_handler(lambda: raise_(ValueError("first")), handler)
    assert isinstance(seen[0], ValueError)
    assert err.value.__context__ is seen[0] and err.value.__cause__ is None
    assert not err.value.__suppress_context__


class Manager:
    def __init__(self, swallow):
        self.swallow, self.events = swallow, []

    def __enter__(self):
        self.events.append("enter")

    def __exit__(self, *exc):
        self.events.append(exc[0])
        return self.swallow


def plain_with(manager, body):
    with manager:
        return body()


def boom(m):
    raise ValueError


@pytest.mark.parametrize("make, body", [
    (lambda: Manager(False), lambda m: 5), (lambda: Manager(False), boom), (lambda: Manager(True), boom),
    (threading.RLock, lambda m: m._is_owned() or pytest.fail("lock not held")),
    (lambda: None, None), (lambda: 5, None), (lambda: type("OnlyEnter", (), {"__enter__": lambda self: self})(), None),
    (lambda: type("OnlyExit", (), {"__exit__": lambda self, *exc: False})(), None),
    # 3.14 points at `async with` when the methods are callable ones; not for plain values.
    (lambda: type("Async", (), {"__aenter__": lambda self: self, "__aexit__": staticmethod(print)})(), None),
    (lambda: type("AsyncValues", (), {"__aenter__": None, "__aexit__": len, "__exit__": print})(), None),
    (lambda: type("OnClass", (), {"__enter__": classmethod(lambda cls: cls),
                                  "__exit__": classmethod(lambda cls, *exc: True)})(), boom)],
    ids=["returns", "raises", "suppresses", "lock", "None", "int", "no __exit__", "no __enter__", "async",
         "async values", "classmethods"])
def test_with_block_matches_python(make, body):
    # __exit__ sees the error and may swallow it; a non-manager fails with the
    # interpreter's own error and wording.
    ours, plain = make(), make()
    assert_same_outcome(outcome(probe.with_block, ours, lambda: body(ours)),
                        outcome(plain_with, plain, lambda: body(plain)))
    assert getattr(ours, "events", None) == getattr(plain, "events", None)
    assert not getattr(ours, "_is_owned", bool)()  # a lock is released again


# (change, what to look at next): each call site caches what it found, so every change
# must still be seen as plain Python sees it; reads of one object follow each other so
# that a stale cache would be hit.
LOOKUPS = {
    "attribute": (lambda o, w: probe.read_value(o), lambda o, w: o.value, [
        ("obj.value = 1", "obj"), ("", "obj"),
        ("Plain.value = 'class'", "obj"),  # a plain class value never beats the instance dict
        ("del obj.value", "obj"),
        ("Plain.value = property(lambda self: 'property'); obj.__dict__['value'] = 2", "obj"),  # data descriptor
        ("del Plain.value", "obj"), ("Plain.__getattr__ = lambda self, name: 'fallback'; del obj.value", "obj"),
        ("child.value = 3", "child"), ("", "child"),
        ("Plain.value = property(lambda self: 'inherited')", "child"),  # a base's change reaches subclasses
        ("", "object()")]),
    "method": (probe.call_speak, lambda o, w: o.speak(w), [
        ("", "obj"), ("", "obj"), ("obj.speak = lambda word: 'instance ' + word", "obj"),
        ("del obj.speak; Plain.speak = lambda self, word: 'replaced ' + word", "obj"), ("", "object()")]),
}


@pytest.mark.parametrize("kind", LOOKUPS)
def test_cached_lookups_follow_python(kind):
    lookup, plain, steps = LOOKUPS[kind]
    ns = {"Plain": type("Plain", (), {"speak": lambda self, word: "class " + word})}
    exec("class Child(Plain): pass\nobj, child = Plain(), Child()", ns)
    for word, (change, target) in enumerate(steps):  # a new word each call: no result is kept
        exec(change, ns)
        target = eval(target, ns)
        assert_same_outcome(outcome(lookup, target, str(word)), outcome(plain, target, str(word)))


def test_import_helper():
    assert probe.import_name("os.path", "join", 0) is __import__("os.path").path.join
    assert probe.import_name("transport_base", "HttpSession", 1).__name__ == "HttpSession"
    with pytest.raises(ImportError, match=r"cannot import name 'nope' from 'os'"):
        probe.import_name("os", "nope", 0)


def test_many_calls_do_not_leak():
    def run():
        for _ in range(2000):
            probe.echo(1, 2, 3, 4, d=5, x=6)
            outcome(probe.typed, "x", True, {}, [])  # a TypeError

    run()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    run()
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 50_000


def test_a_cpp_exception_in_a_body_is_a_python_error():
    with pytest.raises(RuntimeError, match="Unable to cast"):  # no C++ size holds it
        probe.presized(2**70)


@pytest.mark.parametrize("expected", [-1, 0, 9, 1000])
def test_presized_dict(expected):
    made = probe.presized(expected)
    assert type(made) is dict and made == {}
    if expected > 100:  # room reserved up front
        assert sys.getsizeof(made) > sys.getsizeof({i: i for i in range(50)})
    made.update({i: i for i in range(20)})
    assert list(made) == list(range(20))


# The runtime throws rt::PyErrOccurred for every Python error: a module's catch of
# pybind11's error_already_set never matches, and the error it meant to handle escapes.
# References are counted, and iterators stepped, by the runtime alone.
@pytest.mark.parametrize("word", ["error_already_set", "Py_INCREF", "Py_DECREF", "PyIter_Next"])
def test_modules_leave_to_the_runtime(word):
    src = pathlib.Path(__file__).resolve().parents[1] / "src"
    offenders = [str(path.relative_to(src)) for folder in ("private_core", "frames")
                 for path in sorted((src / folder).rglob("*.[ch]pp")) if word in path.read_text()]
    assert offenders == []
