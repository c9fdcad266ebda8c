"""Text forms and equality of version objects: __str__, __repr__, __eq__ and
what the interpreter derives from a class that defines __eq__ alone."""

import decimal
import enum
import fractions
import os
import pathlib
import re
import types

import pytest

from kestrum.versioner import BaseVersion, Version, VersionFileSystem

STR = "kestrum.versioner.BaseVersion.__str__"
REPR = "kestrum.versioner.BaseVersion.__repr__"
EQ = "kestrum.versioner.BaseVersion.__eq__"
INIT = "kestrum.versioner.BaseVersion.__init__"
CURRENT = "kestrum.versioner.BaseVersion.current"

CLASSES = {"BaseVersion": BaseVersion, "Version": Version, "VersionFileSystem": VersionFileSystem}


# Relative names in these tests never name a file on disk.
pytestmark = pytest.mark.usefixtures("empty_cwd")


def blank(cls=Version):
    """An instance without any attribute."""
    return cls.__new__(cls)


class Number(int):
    pass


class Level(enum.IntEnum):
    THREE = 3


class Name(str):
    pass


# --------------------------------------------------------------------------
# Text forms


@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
@pytest.mark.parametrize("name", ["shot.v001.ma", "/p/sh010.v003.exr", "readme", "", "a b\n.v1.ma"])
def test_text_forms_are_the_stored_name(cls, name):
    v = cls(name)
    assert str(v) == name and type(str(v)) is str
    assert repr(v) == name and type(repr(v)) is str
    assert "%s" % v == "%r" % v == "{}".format(v) == f"{v}" == name


def test_repr_carries_no_class_name_or_quotes():
    items = [Version("shot.v001.ma"), Version("shot.v002.ma")]
    assert repr(items) == "[shot.v001.ma, shot.v002.ma]"
    assert str({"k": VersionFileSystem("a.v1.x")}) == "{'k': a.v1.x}"


@pytest.mark.parametrize(
    "value, text",
    [
        ("plate.v009.dpx", "plate.v009.dpx"),
        (42, "42"),
        (None, "None"),
        (pathlib.PurePosixPath("/p/a.v001.ma"), "/p/a.v001.ma"),
        (Name("sub.v002.ma"), "sub.v002.ma"),
    ],
    ids=["str", "int", "None", "path", "str-subclass"],
)
@pytest.mark.parametrize("form", [str, repr])
def test_text_forms_follow_a_rebound_filename(form, value, text):
    v = Version("shot.v001.ma")
    v.filename = value
    result = form(v)
    assert result == text
    assert type(result) is str
    # Nothing else follows the new name.
    assert (v.head, v.version, v.tail) == ("shot.v", "001", ".ma")


@pytest.mark.parametrize("form, entry", [(str, (STR, 31)), (repr, (REPR, 34))])
def test_text_form_without_filename(form, entry, ext_tb):
    with pytest.raises(AttributeError, match="filename") as info:
        form(blank())
    assert ext_tb(info.value) == [entry]


@pytest.mark.parametrize("member, line", [("__str__", 31), ("__repr__", 34)])
def test_text_form_conversion_failure(member, line, ext_tb):
    class Unprintable:
        def __str__(self):
            raise LookupError("no text")

    v = Version("shot.v001.ma")
    v.filename = Unprintable()
    with pytest.raises(LookupError, match="no text") as info:
        getattr(v, member)()
    assert ext_tb(info.value) == [("kestrum.versioner.BaseVersion." + member, line)]


# --------------------------------------------------------------------------
# Equality with texts, integers and other objects

X = "shot.v003.ma"  # current 3


@pytest.mark.parametrize(
    "left, right, expected",
    [
        # Texts: only the numbers count, parsed with the default settings.
        (X, "plate.v003.exr", True),
        (X, "plate.v3.exr", True),
        (X, "/other/dir/plate_v0003.tif", True),
        (X, "plate.v004.exr", False),
        (X, "plate.exr", False),
        (X, "shot.v003", False),  # the number ends the name: no number
        (X, "README", False),
        (X, "", False),
        (X, Name("plate.v003.exr"), True),
        ("shot.ma", "notes.txt", True),
        ("shot.ma", "README", True),
        ("shot.ma", "", True),
        ("shot.ma", "plate.v000.exr", False),
        ("shot.v000.ma", "plate.v0.exr", True),
        ("shot.v000.ma", "plate.exr", False),
        # Integers and their subclasses.
        (X, 3, True),
        (X, 4, False),
        (X, -3, False),
        (X, 10 ** 40, False),
        (X, Number(3), True),
        (X, Level.THREE, True),
        ("shot.v001.ma", True, True),
        ("shot.v001.ma", False, False),
        ("shot.v000.ma", False, True),
        ("shot.v000.ma", 0, True),
        ("shot.ma", 0, False),
        ("shot.ma", False, False),
        ("readme", 0, False),
        # Versions.
        (X, Version("b.v3.ma", pads=1), True),
        (X, Version("b.v002.ma"), False),
        (X, Version("b.ma"), False),
        ("shot.ma", Version("plate.exr"), True),
        ("shot.ma", Version("readme"), True),
    ],
)
def test_equality(left, right, expected):
    x = Version(left)
    result = x == right
    assert type(result) is bool and result is expected
    assert (x != right) is (not expected)
    # With the operand on the left the interpreter ends up in the same place.
    assert (right == x) is expected
    assert (right != x) is (not expected)
    assert x.__eq__(right) is expected


@pytest.mark.parametrize(
    "text, expected",
    [
        # Numbered only under the version's own postfix.
        ("shot-ver003.ma", False),
        ("plate-ver3.tif", False),
        # Numbered under the default postfix, whatever the version's settings.
        ("other.v003.ma", True),
        ("shot_v3.exr", True),
        ("shot.v00003.tif", True),
    ],
)
def test_text_is_parsed_with_the_default_settings(text, expected):
    x = Version("shot-ver003.ma", pads=5, postfix="-ver", ext="tif")
    assert x.current == 3
    assert (x == text) is expected
    assert (text == x) is expected


def test_temporary_version_gets_the_name_alone(vmod, monkeypatch):
    log = []

    class Logged(Version):
        def __init__(self, *args, **kwargs):
            log.append(("init", args[0] if isinstance(args[0], str) else "copy", len(args), kwargs))
            super().__init__(*args, **kwargs)

        def _current(self, path):
            log.append(("current", self.filename))
            return super()._current(path)

    x = Logged("shot-ver003.ma", pads=5, postfix="-ver")
    monkeypatch.setattr(vmod, "Version", Logged)
    log.clear()
    assert (x == "plate.v003.exr") is True
    # Own number first, then the temporary object, then its number.
    assert log == [
        ("current", "shot-ver003.ma"),
        ("init", "plate.v003.exr", 1, {}),
        ("current", "plate.v003.exr"),
    ]


def logging_copy(module, name, log):
    """A module of the same contents whose `name` notes its calls in `log`."""
    copy = types.ModuleType(module.__name__)
    copy.__dict__.update(vars(module))
    real = getattr(module, name)
    setattr(copy, name, lambda *args: (log.append(name), real(*args))[1])
    return copy


# What is changed after a first comparison, and how often the next two
# comparisons with a text call what it changed: the temporary object is then
# made the changed way, once per comparison (its number read for both sides).
CHANGED = {
    "Version.__init__": (lambda vmod, log, wrap: (Version, "__init__", wrap(Version.__init__)), 2),
    "Version._splits": (lambda vmod, log, wrap: (Version, "_splits", wrap(Version._splits)), 2),
    "Version._current": (lambda vmod, log, wrap: (Version, "_current", wrap(Version._current)), 4),
    "global re": (lambda vmod, log, wrap: (vmod, "re", logging_copy(re, "compile", log)), 2),
    "global os": (lambda vmod, log, wrap: (
        vmod, "os", types.SimpleNamespace(path=logging_copy(os.path, "splitext", log))), 2),
}


@pytest.mark.parametrize("change", CHANGED)
def test_temporary_version_after_a_change(vmod, monkeypatch, change):
    x = Version("a.v003.ma")
    assert x == "b.v003.ma"
    log = []

    def wrap(function):
        return lambda *args: (log.append(change), function(*args))[1]

    make, calls = CHANGED[change]
    monkeypatch.setattr(*make(vmod, log, wrap))
    assert x == "b.v003.ma" and x == "b.v003.ma"
    assert len(log) == calls


def test_version_branch_reads_own_number_first():
    log = []

    class Logged(Version):
        def _current(self, path):
            log.append(self.filename)
            return super()._current(path)

    a, b = Logged("a.v003.ma"), Logged("b.v003.ma")
    assert a == b
    assert log == ["a.v003.ma", "b.v003.ma"]
    log.clear()
    assert not (a == 7)
    assert log == ["a.v003.ma"]


@pytest.mark.parametrize(
    "other",
    [
        3.0,
        1.5,
        float("nan"),
        float("inf"),
        None,
        complex(3),
        decimal.Decimal(3),
        fractions.Fraction(3),
        b"plate.v003.exr",
        bytearray(b"plate.v003.exr"),
        pathlib.PurePosixPath("plate.v003.exr"),
        ["plate.v003.exr"],
        (3,),
        object(),
        BaseVersion("b.v003.ma"),
        VersionFileSystem("b.v003.ma"),
    ],
    ids=lambda o: type(o).__name__ + ("" if not isinstance(o, float) else repr(o)),
)
def test_refused_operand(other, ext_tb):
    x = Version(X)
    for op in (lambda: x == other, lambda: x != other, lambda: x.__eq__(other)):
        with pytest.raises(TypeError) as info:
            op()
        assert type(info.value) is TypeError
        assert info.value.args == ()
        assert ext_tb(info.value) == [(EQ, 43)]


@pytest.mark.parametrize("other", [None, 3.0, 1.5, float("nan"), complex(3), decimal.Decimal(3), fractions.Fraction(3)], ids=repr)
def test_refused_operand_on_the_left(other, ext_tb):
    # The left operand declines, the version's __eq__ is asked and refuses.
    x = Version(X)
    for op in (lambda: other == x, lambda: other != x):
        with pytest.raises(TypeError) as info:
            op()
        assert info.value.args == ()
        assert ext_tb(info.value) == [(EQ, 43)]


@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
def test_every_class_compares_with_texts_and_ints(cls):
    v = cls(X)
    assert v == 3 and 3 == v and v == "p.v3.exr" and "p.v3.exr" == v
    assert v != 4 and 4 != v and not (v == "p.exr")


def test_search_in_a_list_compares_with_eq():
    x = Version(X)
    assert x in [1, "p.v2.ma", 3]
    assert x in ["p.v003.exr"]
    assert x not in [1, 2, "p.exr"]
    assert [5, Version("b.v3.x"), 3].index(x) == 1
    assert [3, "a.v3.b", Version("c.v3.d"), 4].count(x) == 3
    with pytest.raises(TypeError):
        x in [None, 3]
    with pytest.raises(TypeError):
        x in [1, 2.5, 3]
    # An equal item before the refused one ends the search first.
    assert x in [3, None]


def test_result_is_that_of_comparing_the_numbers():
    sentinel = object()

    class Odd:
        def __eq__(self, other):
            return sentinel

    class Custom(Version):
        def _current(self, path):
            return Odd()

    v = Custom(X)
    assert v.__eq__(3) is sentinel
    assert (v == 3) is sentinel
    assert (v == "a.v1.b") is sentinel
    assert (v == Version("a.v1.b")) is sentinel
    # != negates the truth of whatever == gave.
    assert (v != 3) is False

    class Real(Version):
        def _current(self, path):
            return 3.0

    assert (Real(X) == 3) is True
    assert (Real(X) == "p.v3.x") is True


# --------------------------------------------------------------------------
# Between version objects of the three classes

# Equal numbers on both sides: every pair either compares them or refuses.
CROSS = [
    ("BaseVersion", "BaseVersion", None),
    ("BaseVersion", "Version", None),
    ("BaseVersion", "VersionFileSystem", None),
    ("Version", "BaseVersion", None),
    ("Version", "Version", True),
    ("Version", "VersionFileSystem", None),
    ("VersionFileSystem", "BaseVersion", None),
    ("VersionFileSystem", "Version", True),
    ("VersionFileSystem", "VersionFileSystem", None),
]


@pytest.mark.parametrize("left, right, expected", CROSS)
@pytest.mark.parametrize("numbers", [("a.v003.ma", "b.v3.exr"), ("a.v003.ma", "b.v004.ma"), ("a.ma", "b.exr")], ids=["same", "different", "none"])
def test_cross_class_equality(left, right, expected, numbers, ext_tb):
    a = CLASSES[left](numbers[0])
    b = CLASSES[right](numbers[1])
    if expected is None:
        for op in (lambda: a == b, lambda: a != b):
            with pytest.raises(TypeError) as info:
                op()
            assert info.value.args == ()
            assert ext_tb(info.value) == [(EQ, 43)]
    else:
        same = a.current == b.current
        assert (a == b) is same
        assert (a != b) is (not same)


def test_derived_right_operand_is_asked_first():
    log = []

    class Sub(Version):
        def _current(self, path):
            log.append(type(self).__name__)
            return super()._current(path)

    class Plain(Version):
        def _current(self, path):
            log.append("Plain")
            return super()._current(path)

    class Derived(Plain):
        def _current(self, path):
            log.append("Derived")
            return super(Plain, self)._current(path)

    assert Plain("a.v1.x") == Derived("b.v1.x")
    assert log == ["Derived", "Plain"]
    log.clear()
    assert Derived("a.v1.x") == Plain("b.v1.x")
    assert log == ["Derived", "Plain"]
    log.clear()
    # Unrelated classes: the left operand is asked.
    assert Sub("a.v1.x") == Plain("b.v1.x")
    assert log == ["Sub", "Plain"]


def test_version_class_is_looked_up_at_each_comparison(vmod, monkeypatch):
    fs = VersionFileSystem("a.v003.ma")
    x = Version("b.v003.ma")
    monkeypatch.setattr(vmod, "Version", VersionFileSystem)
    assert (x == fs) is True
    with pytest.raises(TypeError):
        fs == x
    monkeypatch.undo()
    assert (fs == x) is True
    with pytest.raises(TypeError):
        x == fs


@pytest.mark.parametrize(
    "replacement, error, message",
    [
        (5, TypeError, "isinstance"),
        (None, NameError, "Version"),
    ],
    ids=["not-a-class", "missing"],
)
def test_failing_version_test(vmod, monkeypatch, hide_global, replacement, error, message, ext_tb):
    if replacement is None:
        hide_global("Version")
    else:
        monkeypatch.setattr(vmod, "Version", replacement)
    x = Version(X)
    with pytest.raises(error, match=message) as info:
        x == Version(X)
    assert ext_tb(info.value) == [(EQ, 41)]
    # Ints never reach the test.
    assert x == 3


# --------------------------------------------------------------------------
# What the interpreter adds


def test_no_other_comparison_and_no_hash():
    assert BaseVersion.__dict__["__hash__"] is None
    for name in ("__ne__", "__lt__", "__le__", "__gt__", "__ge__"):
        assert name not in BaseVersion.__dict__
    for cls in CLASSES.values():
        assert cls.__hash__ is None
        assert cls.__eq__ is BaseVersion.__dict__["__eq__"]


@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
def test_instances_are_unhashable(cls):
    v = cls(X)
    with pytest.raises(TypeError):
        hash(v)
    with pytest.raises(TypeError):
        {v}
    with pytest.raises(TypeError):
        {v: 1}


@pytest.mark.parametrize(
    "other",
    [Version("b.v003.ma"), Version(X), BaseVersion("b.v1.x"), VersionFileSystem("b.v1.x"), 3, 3.0, "b.v003.ma", None],
    ids=["Version", "equal-Version", "BaseVersion", "VersionFileSystem", "int", "float", "str", "None"],
)
@pytest.mark.parametrize("op", ["<", "<=", ">", ">="])
def test_ordering_is_not_supported(op, other, ext_tb):
    x = Version(X)
    for code in ("x %s other" % op, "other %s x" % op):
        with pytest.raises(TypeError) as info:
            eval(code)
        # The interpreter's own refusal, not one from __eq__.
        assert ext_tb(info.value) == []


def test_same_object_is_compared_by_number():
    # Equality goes through the numbers even for the same object.
    x = Version("a.ma")
    assert x == x
    b = BaseVersion(X)
    with pytest.raises(TypeError):
        b == b


# --------------------------------------------------------------------------
# Failures inside the branches


@pytest.mark.parametrize(
    "operand, line",
    [("a.v001.ma", 38), (3, 40), (True, 40), (Version("b.v1.ma"), 42)],
    ids=["text", "int", "bool", "Version"],
)
def test_own_number_unreadable(operand, line, ext_tb):
    with pytest.raises(AttributeError, match="filename") as info:
        blank() == operand
    assert ext_tb(info.value) == [(EQ, line), (CURRENT, 70)]


def test_other_number_unreadable(ext_tb):
    with pytest.raises(AttributeError, match="filename") as info:
        Version(X) == blank()
    assert ext_tb(info.value) == [(EQ, 42), (CURRENT, 70)]


@pytest.mark.parametrize("text", ["a.v001.(", "a.v001.[", "x.v1.a)b"])
def test_text_that_cannot_be_parsed(text, ext_tb):
    x = Version(X)
    for op in (lambda: x == text, lambda: text == x, lambda: x != text):
        with pytest.raises(re.error) as info:
            op()
        assert ext_tb(info.value) == [(EQ, 38), (INIT, 27)]


def test_failing_number_propagates_unchanged(ext_tb):
    class Boom(Exception):
        pass

    class Custom(Version):
        def _current(self, path):
            raise Boom

    with pytest.raises(Boom) as info:
        Custom(X) == 3
    entries = ext_tb(info.value)
    assert entries == [(EQ, 40), (CURRENT, 70)]


# --------------------------------------------------------------------------
# Argument errors


@pytest.mark.parametrize(
    "call, message, name, line",
    [
        (lambda v: BaseVersion.__str__(), "__str__() takes exactly one argument (0 given)", STR, 30),
        (lambda v: BaseVersion.__str__(v, 1), "__str__() takes exactly one argument (2 given)", STR, 30),
        (lambda v: BaseVersion.__str__(self=v), "__str__() takes no keyword arguments", STR, 30),
        (lambda v: BaseVersion.__repr__(), "__repr__() takes exactly one argument (0 given)", REPR, 33),
        (lambda v: BaseVersion.__repr__(v, 1), "__repr__() takes exactly one argument (2 given)", REPR, 33),
        (lambda v: BaseVersion.__repr__(self=v), "__repr__() takes no keyword arguments", REPR, 33),
        (lambda v: v.__eq__(), "__eq__() takes exactly 2 positional arguments (1 given)", EQ, 36),
        (lambda v: BaseVersion.__eq__(), "__eq__() takes exactly 2 positional arguments (0 given)", EQ, 36),
        (lambda v: v.__eq__(1, 2), "__eq__() takes exactly 2 positional arguments (3 given)", EQ, 36),
        (lambda v: v.__eq__(3, other=1), "__eq__() got an unexpected keyword argument 'other'", EQ, 36),
        (lambda v: v.__eq__(3, version=3), "__eq__() got multiple values for keyword argument 'version'", EQ, 36),
    ],
)
def test_argument_errors(call, message, name, line, ext_tb):
    with pytest.raises(TypeError) as info:
        call(Version(X))
    assert str(info.value) == message
    assert ext_tb(info.value) == [(name, line)]


def test_eq_by_keyword():
    x = Version(X)
    assert x.__eq__(version=3) is True
    assert BaseVersion.__eq__(self=x, version="p.v4.x") is False


# --------------------------------------------------------------------------
# Reference and memory leaks


def leak_cases():
    x = Version(X)
    y = Version("b.v003.exr")
    fs = VersionFileSystem("c.v003.ma")
    base = BaseVersion(X)
    nameless = Version("shot.ma")
    none = blank()
    text = "plate.v003.exr"
    bad_text = "a.v001.("
    number = 10 ** 30
    pi = 3.14
    return {
        "str": (lambda: str(x), None, (x, x.filename)),
        "repr": (lambda: repr(x), None, (x, x.filename)),
        "repr-list": (lambda: repr([x, y]), None, (x, y)),
        "str-missing": (lambda: str(none), AttributeError, (none,)),
        "repr-missing": (lambda: repr(none), AttributeError, (none,)),
        "str-args": (lambda: BaseVersion.__str__(x, 1), TypeError, (x,)),
        "eq-text": (lambda: x == text, None, (x, text, Version)),
        "eq-text-left": (lambda: text == x, None, (x, text)),
        "eq-text-none": (lambda: nameless == "notes.txt", None, (nameless,)),
        "eq-int": (lambda: x == 3, None, (x,)),
        "eq-bigint": (lambda: x == number, None, (x, number)),
        "eq-int-left": (lambda: 3 == x, None, (x,)),
        "eq-bool": (lambda: x == True, None, (x,)),  # noqa: E712
        "eq-version": (lambda: x == y, None, (x, y, Version)),
        "eq-fs-version": (lambda: fs == x, None, (x, fs)),
        "ne-version": (lambda: x != y, None, (x, y)),
        "eq-float": (lambda: x == pi, TypeError, (x, pi)),
        "eq-none": (lambda: x == None, TypeError, (x,)),  # noqa: E711
        "eq-none-left": (lambda: None == x, TypeError, (x,)),  # noqa: E711
        "ne-float": (lambda: x != pi, TypeError, (x, pi)),
        "eq-base": (lambda: x == base, TypeError, (x, base)),
        "eq-base-left": (lambda: base == x, TypeError, (x, base)),
        "eq-fs": (lambda: x == fs, TypeError, (x, fs)),
        "eq-bad-text": (lambda: x == bad_text, re.error, (x, bad_text)),
        "eq-missing": (lambda: none == 3, AttributeError, (none,)),
        "eq-missing-other": (lambda: x == none, AttributeError, (x, none)),
        "eq-args": (lambda: x.__eq__(3, version=3), TypeError, (x,)),
        "lt": (lambda: x < y, TypeError, (x, y)),
        "hash": (lambda: hash(x), TypeError, (x,)),
        "in-list": (lambda: x in [1, 2, text], None, (x, text)),
    }


LEAK_CASES = list(leak_cases())


@pytest.mark.parametrize("case", LEAK_CASES)
def test_no_leaks(case, leak_check):
    op, raises, objects = leak_cases()[case]
    leak_check(op, raises=raises, objects=objects)
