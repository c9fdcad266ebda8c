"""The number fields: splitting a name, padding a number, and the number
that a name carries."""

import types

import pytest

from kestrum.versioner import BaseVersion, Version

try:
    from hypothesis import given, settings, strategies as st
except ImportError:  # pragma: no cover
    given = None

SPLITS = "kestrum.versioner.BaseVersion._splits"
INT_TO_PAD = "kestrum.versioner.BaseVersion.int_to_pad"
CURRENT = "kestrum.versioner.BaseVersion.current"
CURRENT_METHOD = "kestrum.versioner.BaseVersion._current"

# name, split result (a tuple after a match, a list otherwise), current
SPLIT_TABLE = [
    ("shot.v001.ma", ("shot.v", "001", ".ma"), 1),
    ("shot.v010.v002.ma", ("shot.v010.v", "002", ".ma"), 2),
    ("a.v001.ma.v002.ma", ("a.v001.ma.v", "002", ".ma"), 2),
    ("shot_v003.ma", ("shot_v", "003", ".ma"), 3),
    ("shot.v000.ma", ("shot.v", "000", ".ma"), 0),
    ("a.v001.mab.ma", ("a.v", "001", ".ma"), 1),
    ("v001.ma", ["v001", None, ".ma"], None),
    ("shot.V001.ma", ["shot.V001", None, ".ma"], None),
    ("shot.ma", ["shot", None, ".ma"], None),
    ("shot.v001", ["shot", None, ".v001"], None),
    ("shot.v001.ma.bak", ["shot.v001.ma", None, ".bak"], None),
    ("dir.v1/file", ["dir", None, ".v1/file"], None),
    ("dir.v1.x/file", ("dir.v", "1", ".x/file"), 1),
    (".bashrc", ["", None, ".bashrc"], None),
    ("README", [None, None, None], None),
    ("x.v1.ma\ny.v2.ma", ("x.v", "1", ".ma"), 1),
    ("/p/sh010.v003.exr", ("/p/sh010.v", "003", ".exr"), 3),
    ("shot.v0000000000000000000000042.ma", ("shot.v", "0000000000000000000000042", ".ma"), 42),
    ("shot.v99999999999999999999.ma", ("shot.v", "99999999999999999999", ".ma"), 99999999999999999999),
    ("shot.v\u0663.ma", ["shot.v\u0663", None, ".ma"], None),
]


@pytest.mark.parametrize("name, split, current", SPLIT_TABLE, ids=[repr(r[0]) for r in SPLIT_TABLE])
def test_split_table(name, split, current):
    v = BaseVersion(name)
    result = v._splits(v.filename)
    assert type(result) is type(split)
    assert result == split
    assert (v.head, v.version, v.tail) == tuple(split)
    assert v.current == current
    assert type(v.current) is (int if current is not None else type(None))


def test_splits_uses_the_objects_pattern_on_any_name():
    v = BaseVersion("shot.v001.exr", postfix="_v")
    assert v._splits("plate_v12.exr") == ("plate_v", "12", ".exr")
    assert v._splits("plate_v12.dpx") == ["plate_v12", None, ".dpx"]
    assert v._splits(filename="") == [None, None, None]
    # The record is not touched.
    assert (v.head, v.version, v.tail) == ("shot.v001", None, ".exr")


class FakeMatch:
    def __init__(self, groups, log, fail=False):
        self.groups, self.log, self.fail = groups, log, fail

    def groupdict(self):
        self.log.append(self.groups)
        if self.fail:
            raise LookupError("groupdict failed")
        return self.groups


def fake_pattern(*matches):
    return types.SimpleNamespace(finditer=lambda name: iter(matches))


def test_first_match_taken_by_key():
    log = []
    v = BaseVersion("shot.v001.ma")
    first = {"tail": ".t", "extra": "x", "version": "9", "head": "h"}
    v.regex_splits = fake_pattern(FakeMatch(first, log), FakeMatch({"head": "other"}, log))
    assert v._splits("anything") == ("h", "9", ".t")
    # Every match is collected before the first is used.
    assert log == [first, {"head": "other"}]


@pytest.mark.parametrize(
    "pattern, error, line",
    [
        # A failing groupdict is outside the guard, even on a later match.
        (lambda log: fake_pattern(FakeMatch({"head": "h", "version": "1", "tail": "t"}, log),
                                  FakeMatch({}, log, fail=True)), LookupError, 50),
        (lambda log: fake_pattern(FakeMatch({"head": "h", "version": "1"}, log)), KeyError, 53),
        (lambda log: types.SimpleNamespace(finditer=lambda name: 5), TypeError, 51),
        (lambda log: types.SimpleNamespace(), AttributeError, 51),
    ],
    ids=["groupdict", "missing-key", "not-iterable", "no-finditer"],
)
def test_split_failures_propagate(pattern, error, line, ext_tb):
    v = BaseVersion("shot.v001.ma")
    v.regex_splits = pattern([])
    with pytest.raises(error) as info:
        v._splits("shot.v001.ma")
    assert ext_tb(info.value) == [(SPLITS, line)]


@pytest.mark.parametrize("bad", [5, None, b"shot.v001.ma"], ids=lambda b: type(b).__name__)
def test_split_of_non_text(bad, ext_tb):
    v = BaseVersion("shot.v001.ma")
    with pytest.raises(TypeError) as info:
        v._splits(bad)
    assert ext_tb(info.value) == [(SPLITS, 51)]


def test_split_without_pattern(ext_tb):
    v = BaseVersion("shot.v001.ma")
    del v.regex_splits
    with pytest.raises(AttributeError) as info:
        v._splits("shot.v001.ma")
    assert ext_tb(info.value) == [(SPLITS, 51)]


if given is not None:

    @settings(max_examples=200, deadline=None)
    @given(
        head=st.text(st.characters(blacklist_characters="\n", blacklist_categories=("Cs",)), min_size=1),
        digits=st.text("0123456789", min_size=1, max_size=12),
        ext=st.text("abcdefghijklmnopqrstuvwxyz", min_size=1, max_size=5),
    )
    def test_split_of_any_versioned_name(head, digits, ext):
        v = Version("%s.v%s.%s" % (head, digits, ext))
        assert (v.head, v.version, v.tail) == (head + ".v", digits, "." + ext)
        assert v.current == int(digits)


# --------------------------------------------------------------------------
# int_to_pad


@pytest.mark.parametrize(
    "pads, number, text",
    [
        (3, 7, "007"),
        (3, 0, "000"),
        (4, 12, "0012"),
        (3, 1234, "1234"),
        (3, 10 ** 25, "1" + "0" * 25),
        (3, -5, "-05"),
        (3, -1234, "-1234"),
        (0, 7, "7"),
        (1, 7, "7"),
        (-3, 7, "7  "),
        (3, 7.9, "007"),
        (3, -7.9, "-07"),
        (3.9, 7, "007"),
        (True, 5, "5"),
        (12, 1, "000000000001"),
    ],
)
def test_int_to_pad(pads, number, text):
    assert BaseVersion.int_to_pad(pads, number) == text
    assert Version("a").int_to_pad(number=number, pads=pads) == text


@pytest.mark.parametrize("pads, number", [("3", 7), (3, "7"), (None, 7), (3, None), (3, [7])])
def test_int_to_pad_refuses_non_numbers(pads, number, ext_tb):
    with pytest.raises(TypeError) as info:
        BaseVersion.int_to_pad(pads, number)
    assert ext_tb(info.value) == [(INT_TO_PAD, 47)]


# --------------------------------------------------------------------------
# _current and current


@pytest.mark.parametrize("name", ["shot.v012.ma", "README", "shot.ma", "x.v000.ma"])
def test_current_method_ignores_its_argument(name):
    v = BaseVersion(name)
    for arg in (None, v.filename, 42, object()):
        assert v._current(arg) == v.current
        assert v._current(path=arg) == v.current


@pytest.mark.parametrize(
    "version, expected",
    [
        ("012", 12),
        (" 12 ", 12),
        ("1_0", 10),
        ("\u0663", 3),
        ("-4", -4),
        ("+4", 4),
        (5, 5),
        (5.7, 5),
        (-5.7, -5),
        ("abc", None),
        ("", None),
        ("1.5", None),
        ("0x10", None),
        (None, None),
        ([1], None),
    ],
)
def test_current_follows_version(version, expected):
    v = Version("shot.v001.ma")
    v.version = version
    assert v.current == expected
    assert v._current(None) == expected


def test_current_without_version_attribute():
    v = Version("shot.v001.ma")
    del v.version
    assert v.current is None


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __int__(self):
        raise self.exc

    __index__ = __int__


# A new exception each run: from 3.12 on, an instance raised again keeps the
# traceback of its earlier raises, which the leak run would count.
@pytest.mark.parametrize("exc", [RuntimeError, LookupError, ArithmeticError, OverflowError])
def test_current_swallows_exceptions(exc):
    v = Version("shot.v001.ma")
    v.version = Raising(exc("x"))
    assert v.current is None


def test_current_swallows_failing_attribute_read():
    class Broken(BaseVersion):
        @property
        def version(self):
            raise RuntimeError("no version")

    assert Broken.__new__(Broken)._current(None) is None


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_current_lets_base_exceptions_through(exc, ext_tb):
    v = Version("shot.v001.ma")
    v.version = Raising(exc)
    with pytest.raises(exc) as info:
        v.current
    assert ext_tb(info.value) == [(CURRENT, 70), (CURRENT_METHOD, 64)]


def test_current_without_filename(ext_tb):
    v = Version("shot.v001.ma")
    del v.filename
    with pytest.raises(AttributeError) as info:
        v.current
    assert ext_tb(info.value) == [(CURRENT, 70)]


def test_current_with_uncallable_current_method(ext_tb):
    class Odd(BaseVersion):
        _current = None

    with pytest.raises(TypeError) as info:
        Odd("shot.v001.ma").current
    assert ext_tb(info.value) == [(CURRENT, 70)]


def test_override_of_current_method():
    class Counted(Version):
        def _current(self, path):
            return ("seen", path)

    v = Counted("shot.v004.ma")
    assert v.current == ("seen", "shot.v004.ma")
    v.filename = "other"
    assert v.current == ("seen", "other")


def test_current_is_recomputed():
    v = Version("shot.v004.ma")
    assert v.current == 4
    v.version = "17"
    assert v.current == 17
    v.filename = "shot.v009.ma"
    assert v.current == 17


def test_current_getter_called_directly():
    v = Version("shot.v006.ma")
    fget = BaseVersion.__dict__["current"].fget
    assert fget(v) == 6


# --------------------------------------------------------------------------
# Argument errors of the field members


def _v():
    return Version("shot.v001.ma")


FGET = BaseVersion.__dict__["current"].fget


@pytest.mark.parametrize(
    "call, message, entry",
    [
        (lambda: _v()._splits(), "_splits() takes exactly 2 positional arguments (1 given)", (SPLITS, 49)),
        (lambda: _v()._splits("a", "b"), "_splits() takes exactly 2 positional arguments (3 given)", (SPLITS, 49)),
        (lambda: BaseVersion._splits(), "_splits() takes exactly 2 positional arguments (0 given)", (SPLITS, 49)),
        (lambda: _v()._splits(name="a"), "_splits() takes exactly 2 positional arguments (1 given)", (SPLITS, 49)),
        (lambda: _v()._splits("a", bogus=1), "_splits() got an unexpected keyword argument 'bogus'", (SPLITS, 49)),
        (
            lambda: _v()._splits("a", filename="b"),
            "_splits() got multiple values for keyword argument 'filename'",
            (SPLITS, 49),
        ),
        (lambda: _v()._current(), "_current() takes exactly 2 positional arguments (1 given)", (CURRENT_METHOD, 62)),
        (
            lambda: _v()._current(1, 2),
            "_current() takes exactly 2 positional arguments (3 given)",
            (CURRENT_METHOD, 62),
        ),
        (
            lambda: _v()._current(1, path=2),
            "_current() got multiple values for keyword argument 'path'",
            (CURRENT_METHOD, 62),
        ),
        (lambda: BaseVersion.int_to_pad(3), "int_to_pad() takes exactly 2 positional arguments (1 given)", (INT_TO_PAD, 46)),
        (lambda: _v().int_to_pad(3), "int_to_pad() takes exactly 2 positional arguments (1 given)", (INT_TO_PAD, 46)),
        (
            lambda: BaseVersion.int_to_pad(3, 7, 1),
            "int_to_pad() takes exactly 2 positional arguments (3 given)",
            (INT_TO_PAD, 46),
        ),
        (
            lambda: BaseVersion.int_to_pad(number=7),
            "int_to_pad() takes exactly 2 positional arguments (0 given)",
            (INT_TO_PAD, 46),
        ),
        (
            lambda: BaseVersion.int_to_pad(3, width=7),
            "int_to_pad() takes exactly 2 positional arguments (1 given)",
            (INT_TO_PAD, 46),
        ),
        (
            lambda: BaseVersion.int_to_pad(3, 7, width=7),
            "int_to_pad() got an unexpected keyword argument 'width'",
            (INT_TO_PAD, 46),
        ),
        (lambda: FGET(), "current() takes exactly one argument (0 given)", (CURRENT, 69)),
        (lambda: FGET(_v(), 1), "current() takes exactly one argument (2 given)", (CURRENT, 69)),
        (lambda: FGET(self=_v()), "current() takes no keyword arguments", (CURRENT, 69)),
        (lambda: FGET(_v(), 1, x=2), "current() takes no keyword arguments", (CURRENT, 69)),
    ],
)
def test_argument_errors(call, message, entry, ext_tb):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert ext_tb(info.value) == [entry]
