"""Inputs for the property-based tests: JSON-like values, subclasses of the built-in
types, and hostile objects whose protocol methods raise or lie.

Every hostile object raises only `Boom`, so a test can tell "the caller's own object
raised" from an error of the code under test. Objects that lie (a wrong length, an
always-true equality, a hash that changes) raise nothing; what the interpreter makes
of their lies is the interpreter's business.
"""
import itertools
import math
from collections.abc import Mapping, Sequence
from datetime import date, datetime, timezone

from hypothesis import settings
from hypothesis import strategies as st


class Boom(Exception):
    """Raised by the hostile objects below, and by nothing else."""


def scaled(fraction, floor=5):
    """Settings for a costlier property: a fraction of the profile's examples."""
    return settings(max_examples=max(floor, int(settings.default.max_examples * fraction)))


# --- subclasses of the built-in types that behave -----------------------------------


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


# --- hostile objects -------------------------------------------------------------------


def _boom(*_args, **_kwargs):
    raise Boom


class Shown:
    """Shown by name in a failure report, which must not run the hostile methods."""

    def _repr_pretty_(self, printer, cycle):
        printer.text(f"<{type(self).__name__} {id(self):#x}>")


class StrStripRaises(Shown, str):
    strip = lstrip = rstrip = _boom


class StrStripLies(Shown, str):
    """strip() gives an int, upper() a list: text methods that do not return text."""

    def strip(self, *args):
        return 42

    def upper(self):
        return ["UP"]

    def lower(self):
        return ["low"]


class StrEqLies(Shown, str):
    """Equal to everything, with a hash that changes at each call."""

    _hashes = itertools.count()

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    def __hash__(self):
        return next(self._hashes)


class StrLenLies(Shown, str):
    def __len__(self):
        return 0

    def __bool__(self):
        return False


class StrReprRaises(Shown, str):
    __str__ = __repr__ = __format__ = _boom


class StrReturnsLyingStr(Shown):
    """str() of it is a str subclass whose strip() lies."""

    def __init__(self, text=" x "):
        self.text = text

    def __str__(self):
        return StrStripLies(self.text)

    __repr__ = __str__


class StrRaises(Shown):
    __str__ = __repr__ = __format__ = _boom


class StrNotText(Shown):
    def __str__(self):
        return 12  # the interpreter refuses this

    __repr__ = __str__


class HashRaises(Shown):
    __hash__ = _boom

    def __str__(self):
        return " hash-raises "


class HashChanges(Shown):
    _hashes = itertools.count()

    def __hash__(self):
        return next(self._hashes)

    def __str__(self):
        return "hash-changes"


class EqAlways(Shown):
    def __eq__(self, other):
        return True

    def __hash__(self):
        return 7

    def __str__(self):
        return " eq-always "


class BoolRaises(Shown):
    __bool__ = _boom
    __len__ = _boom

    def __str__(self):
        return "bool-raises"


class IntSubStrRaises(Shown, int):
    __str__ = __repr__ = __format__ = _boom


class FloatNanSub(float):
    def __new__(cls):
        return super().__new__(cls, "nan")


class ListLenLies(Shown, list):
    def __len__(self):
        return 1_000


class ListIterRaises(Shown, list):
    """Yields its first element, then raises."""

    def __iter__(self):
        yield from itertools.islice(list.__iter__(self), 1)
        raise Boom


class ListGetitemRaises(Shown, list):
    __getitem__ = _boom


class SeqGetitemRaises(Shown, Sequence):
    """A registered Sequence whose items cannot be read."""

    def __init__(self, items=()):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    __getitem__ = _boom


class SeqLenLies(Shown, Sequence):
    """Claims more items than it has: reading past the end raises IndexError."""

    def __init__(self, items=()):
        self.items = list(items)

    def __len__(self):
        return len(self.items) + 3

    def __getitem__(self, index):
        return self.items[index]


class SeqNegativeLen(Shown, Sequence):
    def __init__(self, items=()):
        self.items = list(items)

    def __len__(self):
        return -1

    def __getitem__(self, index):
        return self.items[index]


class TupleIterRaises(Shown, tuple):
    def __iter__(self):
        raise Boom


class DictKeysRaises(Shown, dict):
    keys = items = values = _boom


class DictGetRaises(Shown, dict):
    get = _boom


class DictGetLies(Shown, dict):
    """get() answers a list for every key; items() pairs keys with lists."""

    def get(self, key, default=None):
        return [{"lie": key}]

    def items(self):
        return [(k, [{"lie": k}]) for k in dict.keys(self)]


class DictIterRaises(Shown, dict):
    __iter__ = _boom


class DictLenLies(Shown, dict):
    def __len__(self):
        return 99


class DictContainsLies(Shown, dict):
    """Claims every key; reading a missing one raises KeyError."""

    def __contains__(self, key):
        return True


class DictGetitemRaises(Shown, dict):
    __getitem__ = _boom


class MappingGetitemRaises(Shown, Mapping):
    def __init__(self, data=None):
        self.data = dict(data or {})

    __getitem__ = _boom

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


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


# --- strategies -------------------------------------------------------------------------

# Lone surrogates included: text that cannot be encoded is still text.
short_text = st.text(st.characters() | st.characters(categories=["Cs"]), max_size=8)
padded_text = st.builds(lambda pad, core, pad2: pad + core + pad2,
                        st.sampled_from(["", " ", "\t", "  \n"]), short_text,
                        st.sampled_from(["", " ", "\u3000", "\r"]))
scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), short_text, padded_text)


def json_like(leaves=scalars, max_leaves=12):
    """Recursive dicts/lists of scalars, as a decoded JSON body."""
    return st.recursive(
        leaves,
        lambda children: st.one_of(
            st.lists(children, max_size=4),
            st.dictionaries(short_text, children, max_size=4),
        ),
        max_leaves=max_leaves,
    )


json_values = json_like()

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
    padded_text.map(StrStripRaises), padded_text.map(StrStripLies), padded_text.map(StrEqLies),
    padded_text.map(StrLenLies), padded_text.map(StrReprRaises),
    padded_text.map(StrReturnsLyingStr),
    st.builds(StrRaises), st.builds(StrNotText), st.builds(HashRaises), st.builds(HashChanges),
    st.builds(EqAlways), st.builds(BoolRaises), st.integers().map(IntSubStrRaises),
)


def containers(children):
    """Lists, tuples and dicts of `children`, plain, subclassed and hostile."""
    items = st.lists(children, max_size=4)
    keys = st.one_of(short_text, short_text.map(StrSub), short_text.map(StrEqLies),
                     st.builds(EqAlways), st.builds(HashChanges), st.integers())
    mapping = st.dictionaries(keys, children, max_size=4)
    text_mapping = st.dictionaries(short_text, children, max_size=4)
    return st.one_of(
        items, items.map(tuple), items.map(ListSub), items.map(TupleSub), items.map(ListLenLies),
        items.map(ListIterRaises), items.map(ListGetitemRaises), items.map(SeqGetitemRaises),
        items.map(SeqLenLies), items.map(SeqNegativeLen), items.map(TupleIterRaises),
        mapping, text_mapping.map(DictSub), text_mapping.map(DictKeysRaises),
        text_mapping.map(DictGetRaises), text_mapping.map(DictGetLies),
        text_mapping.map(DictIterRaises), text_mapping.map(DictLenLies),
        text_mapping.map(DictContainsLies), text_mapping.map(DictGetitemRaises),
        text_mapping.map(MappingGetitemRaises), text_mapping.map(MappingPlain),
    )


leaves = st.one_of(scalars, subclassed_scalars, hostile_scalars)
anything = st.recursive(leaves, containers, max_leaves=10)
