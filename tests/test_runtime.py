"""The C++ runtime layer on its own, through the test-only probe module."""
import inspect
import pickle
import sys
import threading
import typing

import pytest

probe = pytest.importorskip("private_core._runtime_probe")


def echo(a, b=2, /, c=3, *args, d, e=5, **kwargs):
    return (a, b, c, args, d, e, kwargs)


def bound(x, y: "Text" = "y", *, z: int, w=None) -> tuple:  # noqa: F821
    return (x, y, z, w)


def typed(s, i, d, items, maybe=None):
    return (s, i, d, items, maybe)


def outcome(fn, args, kwargs):
    try:
        return ("ok", fn(*args, **kwargs))
    except TypeError as exc:
        # Our functions carry the same qualname as the plain def they are compared with.
        return ("TypeError", str(exc))


CALLS = [
    ((), {}),
    ((1,), {}),
    ((1,), {"d": 4}),
    ((1, 2, 3, 4, 5), {"d": 6, "x": 7}),
    ((1,), {"d": 4, "c": 9, "e": 8}),
    ((1, 2, 3), {"c": 3, "d": 1}),
    ((1,), {"a": 1, "d": 1}),
    ((1,), {"a": 1, "b": 2}),
    ((), {"d": 1}),
    ((1,), {"unknown": 1, "d": 1}),
    ((1, 2, 3), {"a": 1}),
]


@pytest.mark.parametrize("args,kwargs", CALLS)
def test_binding_matches_python(args, kwargs):
    assert outcome(probe.echo, args, kwargs) == outcome(echo, args, kwargs)


BOUND_CALLS = [
    ((), {}),
    ((1,), {}),
    ((1,), {"z": 2}),
    ((1, 2, 3), {}),
    ((1, 2, 3), {"z": 1}),
    ((1, 2, 3), {"z": 1, "w": 2}),
    ((1,), {"x": 1, "z": 1}),
    ((1,), {"q": 1}),
    ((1,), {"zz": 1}),  # close to a parameter's name: 3.13 suggests it
    ((1,), {"y": 1, "ww": 2, "z": 1}),
    ((), {"x": 1, "y": 2, "z": 3, "w": 4}),
]


@pytest.mark.parametrize("args,kwargs", BOUND_CALLS)
def test_binding_without_varargs_matches_python(args, kwargs):
    assert outcome(probe.bound, args, kwargs) == outcome(bound, args, kwargs)


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


@pytest.mark.parametrize("fn, plain, args", [
    (probe.typed, typed, ()), (probe.typed, typed, ("s", 1)), (probe.typed, typed, ("s", 1, {}, [], "m", 2)),
    (probe.echo, echo, ()), (probe.bound, bound, (1,)),
])
def test_missing_and_extra_arguments_are_worded_like_cpython(fn, plain, args):
    assert outcome(fn, args, {}) == outcome(plain, args, {})
    assert outcome(fn, args, {})[0] == "TypeError"


def test_mistakes_are_worded_with_the_current_qualname(python_wording):
    try:
        probe.bound.__qualname__ = "Renamed.bound"
        with pytest.raises(TypeError) as err:
            probe.bound(1, zz=2)
        assert str(err.value) == python_wording(probe.bound, 1, zz=2)
        assert str(err.value).startswith("Renamed.bound() ")
    finally:
        probe.bound.__qualname__ = "bound"


@pytest.mark.parametrize(
    "kwargs,message",
    [
        ({"s": type("S", (str,), {})("x")}, "Argument 's' has incorrect type (expected str, got S)"),
        ({"i": True}, "Argument 'i' has incorrect type (expected int, got bool)"),
        ({"i": None}, "Argument 'i' has incorrect type (expected int, got NoneType)"),
        ({"d": type("D", (dict,), {})()}, "Argument 'd' has incorrect type (expected dict, got D)"),
        ({"items": ()}, "Argument 'items' has incorrect type (expected list, got tuple)"),
        ({"maybe": 1}, "Argument 'maybe' has incorrect type (expected str, got int)"),
    ],
)
def test_exact_type_checks(kwargs, message):
    good = {"s": "x", "i": 1, "d": {}, "items": []}
    with pytest.raises(TypeError) as err:
        probe.typed(**{**good, **kwargs})
    assert str(err.value) == message


def test_none_passes_only_where_default_is_none():
    assert probe.typed("x", 1, {}, [], None)[4] is None
    assert probe.typed("x", 1, {}, [])[4] is None


def test_metadata_and_signature():
    assert probe.echo.__name__ == "echo"
    assert probe.echo.__qualname__ == "echo"
    assert probe.echo.__module__ == "private_core._runtime_probe"
    assert probe.echo.__doc__ == "Echo the bound arguments."
    assert probe.bound.__doc__ is None
    assert str(inspect.signature(probe.echo)) == str(inspect.signature(echo))
    assert str(inspect.signature(probe.bound)) == str(inspect.signature(bound))
    # Text annotations stay text; others are the evaluated objects.
    assert probe.bound.__annotations__ == {"y": "Text", "z": int, "return": tuple}
    assert probe.typed.__annotations__["maybe"] == typing.Optional[str]
    assert probe.bound.__defaults__ == ("y",)
    assert probe.bound.__kwdefaults__ == {"w": None}
    probe.bound.extra = 1  # instance __dict__ like a Python function
    assert probe.bound.__dict__ == {"extra": 1}
    assert pickle.loads(pickle.dumps(probe.echo)) is probe.echo


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
    assert inspect.ismethod(obj.owner) and obj.owner.__self__ is obj
    assert probe.Mixin.__dict__["owner"].__qualname__ == "Mixin.owner"
    assert str(inspect.signature(probe.Mixin)) == "(*args, **kwargs)"
    assert probe.Mixin.__doc__ == "A cooperative mixin."
    with pytest.raises(TypeError) as err:
        obj.owner(1)
    assert str(err.value) == python_wording(probe.Mixin.owner, obj, 1)
    assert str(err.value).startswith("Mixin.owner() takes 1 positional argument")


def test_protocol_metaclass_and_decorator():
    class Person:
        name = "ann"

        def greet(self):
            return "hi"

    assert isinstance(Person(), probe.Named)
    assert not isinstance(object(), probe.Named)
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

    def fail():
        raise original

    with pytest.raises(RuntimeError) as err:
        probe.wrap_error(fail)
    assert err.value.__cause__ is original
    assert err.value.__context__ is original
    assert err.value.__suppress_context__
    assert err.value.__cause__.__traceback__ is not None
    assert sys.exc_info() == (None, None, None)


def test_handler_sees_exception_as_handled():
    seen = []

    def fail():
        raise ValueError("first")

    def handler():
        seen.append(sys.exc_info()[1])
        raise LookupError("second")

    with pytest.raises(LookupError) as err:
        probe.in_handler(fail, handler)
    assert isinstance(seen[0], ValueError)
    assert err.value.__context__ is seen[0] and err.value.__cause__ is None
    assert not err.value.__suppress_context__


def test_with_block_calls_exit_and_honours_suppression():
    events = []

    class Manager:
        def __init__(self, swallow):
            self.swallow = swallow

        def __enter__(self):
            events.append("enter")

        def __exit__(self, *exc):
            events.append(exc[0])
            return self.swallow

    def boom():
        raise ValueError

    assert probe.with_block(Manager(False), lambda: 5) == 5
    with pytest.raises(ValueError):
        probe.with_block(Manager(False), boom)
    assert probe.with_block(Manager(True), boom) is None
    assert events == ["enter", None, "enter", ValueError, "enter", ValueError]

    lock = threading.RLock()
    probe.with_block(lock, lambda: lock._is_owned() or pytest.fail("lock not held"))
    assert not lock._is_owned()


class _OnlyEnter:
    def __enter__(self):
        return self


class _OnlyExit:
    def __exit__(self, *exc):
        return False


@pytest.mark.parametrize("manager", [None, 5, _OnlyEnter(), _OnlyExit()],
                         ids=["None", "int", "no __exit__", "no __enter__"])
def test_with_block_on_a_non_manager_fails_as_the_interpreter_does(manager):
    def plain():
        with manager:
            pass

    with pytest.raises(Exception) as expected:
        plain()
    with pytest.raises(type(expected.value)) as ours:
        probe.with_block(manager, lambda: None)
    assert ours.value.args == expected.value.args


def test_cached_attribute_reads_follow_python_lookup():
    class Plain:
        pass

    obj = Plain()
    obj.value = 1
    for _ in range(2):  # the second read goes through the call site's cache
        assert probe.read_value(obj) == 1
    Plain.value = "class"  # a plain class value never beats the instance dict
    assert probe.read_value(obj) == 1
    del obj.value
    assert probe.read_value(obj) == "class"
    Plain.value = property(lambda self: "property")  # a data descriptor wins
    obj.__dict__["value"] = 2
    assert probe.read_value(obj) == "property"
    del Plain.value
    assert probe.read_value(obj) == 2
    Plain.__getattr__ = lambda self, name: "fallback"
    del obj.value
    assert probe.read_value(obj) == "fallback"

    class Child(Plain):
        pass

    child = Child()
    child.value = 3
    assert probe.read_value(child) == probe.read_value(child) == 3
    Plain.value = property(lambda self: "inherited")  # changing a base reaches subclasses
    assert probe.read_value(child) == "inherited"
    with pytest.raises(AttributeError):
        probe.read_value(object())


def test_cached_method_calls_follow_python_lookup():
    class Speaker:
        def speak(self, word):
            return "class " + word

    obj = Speaker()
    assert probe.call_speak(obj, "a") == probe.call_speak(obj, "b").replace("b", "a") == "class a"
    obj.speak = lambda word: "instance " + word  # the instance dict shadows the method
    assert probe.call_speak(obj, "c") == "instance c"
    del obj.speak
    Speaker.speak = lambda self, word: "replaced " + word
    assert probe.call_speak(obj, "d") == "replaced d"
    with pytest.raises(AttributeError):
        probe.call_speak(object(), "e")


def test_import_helper():
    assert probe.import_name("os.path", "join", 0) is __import__("os.path").path.join
    assert probe.import_name("transport_base", "HttpSession", 1).__name__ == "HttpSession"
    with pytest.raises(ImportError, match=r"cannot import name 'nope' from 'os'"):
        probe.import_name("os", "nope", 0)


def test_many_calls_do_not_leak():
    import gc
    import tracemalloc

    def run():
        for _ in range(2000):
            probe.echo(1, 2, 3, 4, d=5, x=6)
            try:
                probe.typed("x", True, {}, [])
            except TypeError:
                pass

    run()
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    run()
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    assert after - before < 50_000


@pytest.mark.parametrize("expected", [-1, 0, 9, 1000])
def test_presized_dict(expected):
    made = probe.presized(expected)
    assert type(made) is dict and made == {}
    if expected > 100:  # room reserved up front
        assert sys.getsizeof(made) > sys.getsizeof({i: i for i in range(50)})
    made.update({i: i for i in range(20)})
    assert list(made) == list(range(20))
