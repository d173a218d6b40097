"""Inputs for the property-based tests: JSON-like values, subclasses of the built-in
types, and hostile objects whose protocol methods raise or lie.

Every hostile object raises only `Boom`, so a test can tell "the caller's own object
raised" from an error of the code under test. Objects that lie (a wrong length, an
always-true equality, a hash that changes) raise nothing; what the interpreter makes
of their lies is the interpreter's business."""
import itertools
import math
from collections.abc import Mapping, Sequence
from datetime import date, datetime, timezone

from hypothesis import settings
from hypothesis import strategies as st

from fakes import Boom, DictSub, StrSub  # noqa: F401 - importers take them from here too


def scaled(fraction, floor=5):
    """Settings for a costlier property: a fraction of the profile's examples."""
    return settings(max_examples=max(floor, int(settings.default.max_examples * fraction)))


# Subclasses of the built-in types that behave.
IntSub, FloatSub, ListSub, TupleSub = (type(f"{t.__name__.title()}Sub", (t,), {}) for t in (int, float, list, tuple))
FloatNanSub = type("FloatNanSub", (float,), {"__new__": lambda cls: float.__new__(cls, "nan")})


# --- hostile objects -------------------------------------------------------------------
def _boom(*_args, **_kwargs):
    raise Boom


class Shown:
    """Shown by name in a failure report, which must not run the hostile methods."""

    def _repr_pretty_(self, printer, cycle):
        printer.text(f"<{type(self).__name__} {id(self):#x}>")


def hostile(name, *bases, **methods):
    """A class over `bases` with `methods` that raise or lie."""
    return type(name, (Shown, *bases), methods)


def _changing_hash():  # a counter of its own for each class
    return lambda self, hashes=itertools.count(): next(hashes)


def _first_then_boom(self):
    yield from itertools.islice(list.__iter__(self), 1)
    raise Boom


class _Items(Sequence):
    """A registered Sequence over a list (not itself an input)."""

    def __init__(self, items=()):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class MappingPlain(Mapping):
    """A well-behaved Mapping that is not a dict."""

    def __init__(self, data=None):
        self.data = dict(data or {})

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


StrStripRaises = hostile("StrStripRaises", str, strip=_boom, lstrip=_boom, rstrip=_boom)
# Text methods that do not return text: strip() gives an int, upper() and lower() lists.
StrStripLies = hostile("StrStripLies", str, strip=lambda self, *args: 42, upper=lambda self: ["UP"],
                       lower=lambda self: ["low"])
# Equal to everything, with a hash that changes at each call.
StrEqLies = hostile("StrEqLies", str, __eq__=lambda self, other: True, __ne__=lambda self, other: False,
                    __hash__=_changing_hash())
StrLenLies = hostile("StrLenLies", str, __len__=lambda self: 0, __bool__=lambda self: False)
StrReprRaises = hostile("StrReprRaises", str, __str__=_boom, __repr__=_boom, __format__=_boom)
StrRaises = hostile("StrRaises", __str__=_boom, __repr__=_boom, __format__=_boom)
StrNotText = hostile("StrNotText", __str__=lambda self: 12, __repr__=lambda self: 12)  # the interpreter refuses it
HashRaises = hostile("HashRaises", __hash__=_boom, __str__=lambda self: " hash-raises ")
HashChanges = hostile("HashChanges", __hash__=_changing_hash(), __str__=lambda self: "hash-changes")
EqAlways = hostile("EqAlways", __eq__=lambda self, other: True, __hash__=lambda self: 7,
                   __str__=lambda self: " eq-always ")
BoolRaises = hostile("BoolRaises", __bool__=_boom, __len__=_boom, __str__=lambda self: "bool-raises")
IntSubStrRaises = hostile("IntSubStrRaises", int, __str__=_boom, __repr__=_boom, __format__=_boom)
ListLenLies = hostile("ListLenLies", list, __len__=lambda self: 1_000)
ListIterRaises = hostile("ListIterRaises", list, __iter__=_first_then_boom)  # yields its first element, then raises
ListGetitemRaises = hostile("ListGetitemRaises", list, __getitem__=_boom)
SeqGetitemRaises = hostile("SeqGetitemRaises", _Items, __getitem__=_boom)
# Claims more items than it has: reading past the end raises IndexError.
SeqLenLies = hostile("SeqLenLies", _Items, __len__=lambda self: len(self.items) + 3)
SeqNegativeLen = hostile("SeqNegativeLen", _Items, __len__=lambda self: -1)
TupleIterRaises = hostile("TupleIterRaises", tuple, __iter__=_boom)
DictKeysRaises = hostile("DictKeysRaises", dict, keys=_boom, items=_boom, values=_boom)
DictGetRaises = hostile("DictGetRaises", dict, get=_boom)
# get() answers a list for every key; items() pairs keys with lists.
DictGetLies = hostile("DictGetLies", dict, get=lambda self, key, default=None: [{"lie": key}],
                      items=lambda self: [(k, [{"lie": k}]) for k in dict.keys(self)])
DictIterRaises = hostile("DictIterRaises", dict, __iter__=_boom)
DictLenLies = hostile("DictLenLies", dict, __len__=lambda self: 99)
# Claims every key; reading a missing one raises KeyError.
DictContainsLies = hostile("DictContainsLies", dict, __contains__=lambda self, key: True)
DictGetitemRaises = hostile("DictGetitemRaises", dict, __getitem__=_boom)
MappingGetitemRaises = hostile("MappingGetitemRaises", MappingPlain, __getitem__=_boom)


class StrReturnsLyingStr(Shown):
    """str() of it is a str subclass whose strip() lies."""

    def __init__(self, text=" x "):
        self.text = text

    def __str__(self):
        return StrStripLies(self.text)

    __repr__ = __str__


# --- strategies -------------------------------------------------------------------------
# Lone surrogates included: text that cannot be encoded is still text.
short_text = st.text(st.characters() | st.characters(categories=["Cs"]), max_size=8)
padded_text = st.builds(lambda pad, core, pad2: pad + core + pad2,
                        st.sampled_from(["", " ", "\t", "  \n"]), short_text,
                        st.sampled_from(["", " ", "\u3000", "\r"]))
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), short_text, padded_text)
# Recursive dicts/lists of scalars, as a decoded JSON body.
json_values = st.recursive(scalars, lambda children: st.lists(children, max_size=4)
                           | st.dictionaries(short_text, children, max_size=4), max_leaves=12)

subclassed_scalars = st.one_of(
    short_text.map(StrSub), padded_text.map(StrSub), st.integers().map(IntSub),
    st.floats().map(FloatSub), st.just(FloatNanSub()), st.just(True), st.just(False),
    st.binary(max_size=4), st.binary(max_size=4).map(bytearray),
    st.just(date(2024, 3, 5)), st.just(datetime(2024, 3, 5, 23, 30)),
    st.just(datetime(2024, 3, 5, 23, 30, tzinfo=timezone.utc)),
    st.just(float("nan")), st.just(math.inf), st.just(object()), st.just(range(3)),
    st.frozensets(short_text, max_size=3), st.sets(short_text, max_size=3),
)

# Objects whose protocol methods raise or lie, each built fresh.
hostile_scalars = st.one_of(
    *map(padded_text.map, [StrStripRaises, StrStripLies, StrEqLies, StrLenLies, StrReprRaises, StrReturnsLyingStr]),
    *map(st.builds, [StrRaises, StrNotText, HashRaises, HashChanges, EqAlways, BoolRaises]),
    st.integers().map(IntSubStrRaises),
)


def containers(children):
    """Lists, tuples and dicts of `children`, plain, subclassed and hostile."""
    items = st.lists(children, max_size=4)
    keys = st.one_of(short_text, short_text.map(StrSub), short_text.map(StrEqLies),
                     st.builds(EqAlways), st.builds(HashChanges), st.integers())
    mapping = st.dictionaries(keys, children, max_size=4)
    text_mapping = st.dictionaries(short_text, children, max_size=4)
    return st.one_of(
        items, *map(items.map, [tuple, ListSub, TupleSub, ListLenLies, ListIterRaises, ListGetitemRaises,
                                SeqGetitemRaises, SeqLenLies, SeqNegativeLen, TupleIterRaises]),
        mapping, *map(text_mapping.map, [DictSub, DictKeysRaises, DictGetRaises, DictGetLies, DictIterRaises,
                                         DictLenLies, DictContainsLies, DictGetitemRaises, MappingGetitemRaises,
                                         MappingPlain]),
    )


leaves = st.one_of(scalars, subclassed_scalars, hostile_scalars)
anything = st.recursive(leaves, containers, max_leaves=10)
