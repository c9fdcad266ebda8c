"""Re-versioning: isVersionless, to and versionless."""

import decimal
import fractions
import re

import pytest

from kestrum import errors
from kestrum.versioner import BaseVersion, NoValidVersion, Version, VersionFileSystem

IS_VERSIONLESS = "kestrum.versioner.BaseVersion.isVersionless"
TO = "kestrum.versioner.BaseVersion.to"
VERSIONLESS = "kestrum.versioner.BaseVersion.versionless"
INIT = "kestrum.versioner.BaseVersion.__init__"

CLASSES = {"BaseVersion": BaseVersion, "Version": Version, "VersionFileSystem": VersionFileSystem}
# Classes whose objects `to` can rebuild.
COPYABLE = {"Version": Version, "VersionFileSystem": VersionFileSystem}


# Relative names in these tests never name a file on disk.
pytestmark = pytest.mark.usefixtures("empty_cwd")


def fields(v):
    return (v.head, v.version, v.tail)


def record(v):
    return dict(vars(v))


class Whole:
    """Convertible by int() through __int__ only."""

    def __int__(self):
        return 6


class Index:
    """Convertible by int() through __index__ only."""

    def __index__(self):
        return 8


# --------------------------------------------------------------------------
# isVersionless


@pytest.mark.parametrize(
    "name, expected",
    [
        ("shot.v012.exr", False),
        ("shot.v000.exr", False),  # number 0 is still a number
        ("shot.v0.exr", False),
        ("/p/sh010.v003.exr", False),
        ("shot.exr", True),
        ("shot.v001", True),  # the number ends the name
        ("shot.V001.ma", True),
        ("readme", True),
        ("", True),
        (".bashrc", True),
    ],
)
@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
def test_is_versionless(cls, name, expected):
    v = cls(name)
    assert v.isVersionless is expected


@pytest.mark.parametrize(
    "version, expected",
    [(None, True), ("", True), (0, True), ([], True), ("0", False), ("x", False), (5, False), ("000", False)],
)
def test_is_versionless_tests_the_digits_as_text(version, expected):
    v = Version("shot.v012.exr")
    v.version = version
    assert v.isVersionless is expected
    assert vars(v)["version"] is version


def test_is_versionless_without_version(ext_tb):
    v = Version("shot.v012.exr")
    del v.version
    with pytest.raises(AttributeError) as info:
        v.isVersionless
    assert ext_tb(info.value) == [(IS_VERSIONLESS, 74)]


def test_is_versionless_truth_test_failure_propagates(ext_tb):
    class Undecided:
        def __bool__(self):
            raise ArithmeticError("no truth")

    v = Version("shot.v012.exr")
    v.version = Undecided()
    with pytest.raises(ArithmeticError) as info:
        v.isVersionless
    assert ext_tb(info.value) == [(IS_VERSIONLESS, 74)]


@pytest.mark.parametrize("name", ["isVersionless", "versionless"])
def test_properties_are_read_only(name):
    v = Version("shot.v012.exr")
    before = record(v)
    with pytest.raises(AttributeError):
        setattr(v, name, True)
    with pytest.raises(AttributeError):
        delattr(v, name)
    assert record(v) == before


# --------------------------------------------------------------------------
# to: the new name


@pytest.mark.parametrize(
    "name, kwargs, number, new_name",
    [
        # Numbered names: head, digits, tail.
        ("shot.v012.exr", {}, 13, "shot.v013.exr"),
        ("shot.v012.exr", {}, 7, "shot.v007.exr"),
        ("shot.v012.exr", {}, 42, "shot.v042.exr"),
        ("shot.v012.exr", {}, 0, "shot.v000.exr"),
        ("shot.v012.exr", {}, 1234, "shot.v1234.exr"),
        ("shot.v999.exr", {}, 1000, "shot.v1000.exr"),
        ("shot.v012.exr", {}, -7, "shot.v-07.exr"),
        ("shot.v012.exr", {}, 12, "shot.v012.exr"),
        ("shot.v0012.exr", dict(pads=4), 3, "shot.v0003.exr"),
        ("shot.v12.exr", dict(pads=1), 3, "shot.v3.exr"),
        ("shot.v12.exr", dict(pads=0), 345, "shot.v345.exr"),
        ("plate_v12.dpx", dict(postfix="_v", pads=2), 3, "plate_v03.dpx"),
        ("/p/sh010.v003.exr", {}, 4, "/p/sh010.v004.exr"),
        ("shot.v010.v002.ma", {}, 5, "shot.v010.v005.ma"),
        ("dir.v1.x/file", {}, 2, "dir.v002.x/file"),
        # Text after the matched tail belongs to no field and is dropped.
        ("a.v001.mab.ma", {}, 2, "a.v002.ma"),
        # Names without a number: head, postfix, digits, tail.
        ("shot.exr", {}, 5, "shot.v005.exr"),
        ("shot.exr", dict(postfix="_v"), 5, "shot_v005.exr"),
        ("shot.exr", dict(pads=5, postfix="-ver"), 5, "shot-ver00005.exr"),
        ("shot.v001", {}, 5, "shot.v005.v001"),
        ("shot.V001.ma", {}, 5, "shot.V001.v005.ma"),
        (".bashrc", {}, 1, ".v001.bashrc"),
        ("shot.exr", dict(postfix=""), 5, "shot005.exr"),
    ],
)
@pytest.mark.parametrize("cls", list(COPYABLE.values()), ids=list(COPYABLE))
def test_to_renders_the_new_name(cls, name, kwargs, number, new_name):
    v = cls(name, **kwargs)
    result = v.to(number)
    assert type(result) is cls
    assert result is not v
    assert v.filename == new_name
    assert result.filename == new_name
    # The result parses the new name afresh with the receiver's settings.
    assert (result.pads, result.postfix) == (v.pads, v.postfix)
    assert fields(result) == fields(cls(new_name, **kwargs))


@pytest.mark.parametrize(
    "argument, digits",
    [
        (7, "007"),
        (True, "001"),
        (False, "000"),
        (3.9, "003"),
        (-0.5, "000"),
        (12.0, "012"),
        ("7", "007"),
        (" 8\n", "008"),
        ("+9", "009"),
        ("1_0", "010"),
        ("\u0663", "003"),  # a non-ASCII decimal digit
        (b"7", "007"),
        (decimal.Decimal("4.7"), "004"),
        (fractions.Fraction(9, 2), "004"),
        (Whole(), "006"),
        (Index(), "008"),
        (10 ** 20, "100000000000000000000"),
    ],
    ids=lambda a: repr(a) if not isinstance(a, (Whole, Index)) else type(a).__name__,
)
def test_to_converts_the_argument(argument, digits):
    v = Version("shot.v012.exr")
    result = v.to(argument)
    assert v.filename == "shot.v%s.exr" % digits
    assert result.version == digits


@pytest.mark.parametrize(
    "pads, digits",
    [(4, "0007"), ("4", "0007"), (" 2 ", "07"), (4.9, "0007"), (True, "7"), (0, "7"), (-3, "7  ")],
    ids=repr,
)
def test_to_converts_pads(pads, digits):
    v = Version("shot.v012.exr", pads=pads)
    result = v.to(7)
    assert v.filename == "shot.v%s.exr" % digits
    # The settings pass on as they are; only the rendering converts them.
    assert result.pads is pads


def test_to_by_keyword():
    v = Version("shot.v012.exr")
    assert v.to(version=5).filename == "shot.v005.exr"
    assert BaseVersion.to(self=v, version=6).filename == "shot.v006.exr"


# --------------------------------------------------------------------------
# to: what changes on the receiver


@pytest.mark.parametrize("cls", list(COPYABLE.values()), ids=list(COPYABLE))
def test_to_rewrites_only_the_filename(cls):
    v = cls("shot.v012.exr", pads=3, postfix=".v")
    before = record(v)
    result = v.to(5)
    after = record(v)
    assert after.pop("filename") == "shot.v005.exr"
    before.pop("filename")
    assert after == before
    assert after["regex_splits"] is before["regex_splits"]
    assert str(v) == repr(v) == "shot.v005.exr"
    assert (v.version, v.current) == ("012", 12)
    assert v.isVersionless is False
    assert (result.version, result.current) == ("005", 5)


def test_second_to_starts_from_the_old_fields():
    v = Version("shot.v012.exr")
    v.to(5)
    v.to(6)
    assert v.filename == "shot.v006.exr"
    # A filename rebound by the caller is not where the new name comes from.
    v.filename = "elsewhere/other.v100.tif"
    assert v.to(7).filename == "shot.v007.exr"
    # The fields are.
    v.head, v.tail = "new_v", ".dpx"
    assert v.to(8).filename == "new_v008.dpx"


def test_to_on_a_numberless_name_keeps_it_numberless():
    v = Version("shot.exr")
    first = v.to(1)
    second = v.to(2)
    assert (first.filename, second.filename, v.filename) == ("shot.v001.exr", "shot.v002.exr", "shot.v002.exr")
    assert v.isVersionless is True and v.current is None
    assert first.isVersionless is False


def test_to_passes_the_settings_to_the_result():
    v = Version("plate-x12.dpx", pads=4, postfix="-x", ext="tif")
    result = v.to(3)
    assert result.filename == "plate-x0003.dpx"
    assert (result.pads, result.postfix, result.ext) == (4, "-x", "dpx")
    assert (result.head, result.version, result.tail) == ("plate-x", "0003", ".dpx")
    # Without an extension in the new name the receiver's ext is used, and
    # here it keeps the new name from matching.
    v = Version("dir.v1.x/file", ext="tif")
    assert (v.ext, v.head, v.version, v.tail) == ("tif", "dir.v1", None, ".x/file")
    result = v.to(2)
    assert result.filename == "dir.v1.v002.x/file"
    assert (result.ext, result.version) == ("tif", None)



@pytest.mark.parametrize("setting, value", [("pads", 5), ("postfix", "_v")])
def test_to_copies_the_settings_as_they_are_after_the_conversion(setting, value):
    # The number's conversion runs code that may change the receiver: the
    # result is built from the receiver as it is afterwards.
    v = Version("shot.v012.exr")

    class Number:
        def __int__(self):
            setattr(v, setting, value)
            return 7

    assert getattr(v.to(Number()), setting) == value


def test_to_renders_parts_with_their_text_form():
    v = Version("shot.exr", postfix=5)
    result = v.to(5)
    assert v.filename == "shot5005.exr"
    assert (result.head, result.version, result.tail) == ("shot5", "005", ".exr")
    v = Version("shot.v012.exr")
    v.head = 7
    assert v.to(3).filename == "7003.exr"


def test_to_builds_the_result_from_the_receiver():
    calls = []

    class Recorder(Version):
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs, getattr(args[0], "filename", None)))
            super().__init__(*args, **kwargs)

    v = Recorder("shot.v012.exr", pads=4)
    calls.clear()
    result = v.to(5)
    assert type(result) is Recorder
    (args, kwargs, seen), = calls
    assert args == (v,) and args[0] is v and kwargs == {}
    # The receiver's filename was already rewritten.
    assert seen == "shot.v0005.exr"
    assert result.pads == 4


def test_to_uses_the_objects_int_to_pad():
    seen = []

    class Hex(Version):
        @staticmethod
        def int_to_pad(pads, number):
            seen.append((type(pads), pads, type(number), number))
            return "%0*x" % (pads, number)

    v = Hex("shot.v012.exr", pads="4")
    v.to(255.7)
    assert v.filename == "shot.v00ff.exr"
    assert seen == [(int, 4, int, 255)]
    # An instance attribute wins as for any attribute lookup.
    v.int_to_pad = lambda pads, number: "<%d>" % number
    v.to(3)
    assert v.filename == "shot.v<3>.exr"


def test_to_consults_is_versionless():
    class AlwaysNumberless(Version):
        isVersionless = True

    class NeverNumberless(Version):
        isVersionless = False

    assert AlwaysNumberless("shot.v012.exr").to(5).filename == "shot.v.v005.exr"
    assert NeverNumberless("shot.exr").to(5).filename == "shot005.exr"


# --------------------------------------------------------------------------
# to: failures


@pytest.mark.parametrize(
    "argument, error",
    [
        ("abc", ValueError),
        ("5.0", ValueError),
        ("", ValueError),
        ("0x10", ValueError),
        (float("nan"), ValueError),
        (float("inf"), OverflowError),
        (None, TypeError),
        ([5], TypeError),
        (3j, TypeError),
        (Version("a.v005.ma"), TypeError),
    ],
    ids=repr,
)
@pytest.mark.parametrize("name", ["shot.v012.exr", "shot.exr", "readme"])
def test_to_with_a_refused_number(name, argument, error, ext_tb):
    v = Version(name)
    before = record(v)
    with pytest.raises(error) as info:
        v.to(argument)
    assert type(info.value) is error
    assert record(v) == before
    assert ext_tb(info.value) == [(TO, 77)]


@pytest.mark.parametrize(
    "pads, argument, error",
    [
        ("x", 5, ValueError),
        (None, 5, TypeError),
        ([3], 5, TypeError),
        # pads is converted before the argument.
        (None, "abc", TypeError),
        ("x", None, ValueError),
    ],
)
def test_to_with_a_refused_pads(pads, argument, error, ext_tb):
    v = Version("shot.v012.exr", pads=pads)
    with pytest.raises(error) as info:
        v.to(argument)
    assert v.filename == "shot.v012.exr"
    assert ext_tb(info.value) == [(TO, 77)]


def test_to_rendering_failure(ext_tb):
    class Hex(Version):
        @staticmethod
        def int_to_pad(pads, number):
            raise LookupError("cannot pad")

    v = Hex("shot.v012.exr")
    with pytest.raises(LookupError) as info:
        v.to(3)
    assert v.filename == "shot.v012.exr"
    assert ext_tb(info.value) == [(TO, 77)]


@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
@pytest.mark.parametrize("name", ["readme", "", "dir/readme"])
def test_to_on_a_name_without_a_dot(cls, name, ext_tb):
    v = cls(name)
    assert (v.head, v.version, v.tail) == (None, None, None)
    before = record(v)
    with pytest.raises(NoValidVersion) as info:
        v.to(5)
    assert type(info.value) is NoValidVersion
    assert info.value.args == ()
    assert record(v) == before
    assert ext_tb(info.value) == [(TO, 80)]
    # A refused number is still reported first.
    with pytest.raises(ValueError):
        v.to("abc")


@pytest.mark.parametrize(
    "name, unset, line",
    [
        ("shot.v012.exr", ("head", "tail"), 83),
        ("shot.v012.exr", ("head",), 83),
        ("shot.v012.exr", ("tail",), 83),
        ("shot.exr", ("head",), 80),
        ("shot.exr", ("tail",), 80),
        ("shot.exr", ("postfix",), 80),
        ("shot.exr", ("head", "postfix", "tail"), 80),
    ],
)
@pytest.mark.parametrize("cls", list(COPYABLE.values()), ids=list(COPYABLE))
def test_to_refuses_a_part_that_is_none(cls, name, unset, line, ext_tb):
    # Rendered, None would put the text 'None' into the new name.
    v = cls(name)
    for attribute in unset:
        setattr(v, attribute, None)
    before = record(v)
    with pytest.raises(NoValidVersion) as info:
        v.to(5)
    assert type(info.value) is NoValidVersion and info.value.args == ()
    assert record(v) == before
    assert ext_tb(info.value) == [(TO, line)]


def test_to_ignores_a_none_postfix_on_a_numbered_name():
    # The head already holds the postfix: the attribute is not rendered.
    v = Version("shot.v012.exr")
    v.postfix = None
    assert v.to(5).filename == "shot.v005.exr"


def _tail_unset(cls):
    v = cls("shot.v012.exr")
    v.tail = None
    return v


def _postfix_unset(cls):
    v = cls("shot.exr")
    v.postfix = None
    return v


@pytest.mark.parametrize(
    "make, reach",
    [
        (lambda: _tail_unset(Version), lambda v: v.next),
        (lambda: _tail_unset(Version), lambda v: v.previous),
        # The membership test copies the settings and parses the name again:
        # only a None postfix reaches its `to`.
        (lambda: _postfix_unset(VersionFileSystem), lambda v: 5 in v),
    ],
    ids=["next", "previous", "in"],
)
def test_stepping_and_membership_follow_to(make, reach):
    v = make()
    before = record(v)
    with pytest.raises(NoValidVersion):
        reach(v)
    assert record(v) == before


def test_to_raises_the_module_no_valid_version(vmod, monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(vmod, "NoValidVersion", Replacement)
    with pytest.raises(Replacement):
        Version("readme").to(5)


@pytest.mark.parametrize(
    "name, missing, line",
    [
        ("shot.v012.exr", "pads", 77),
        ("shot.v012.exr", "version", 79),
        ("shot.exr", "head", 80),
        ("shot.exr", "postfix", 80),
        ("shot.exr", "tail", 81),
        ("shot.v012.exr", "head", 83),
        ("shot.v012.exr", "tail", 83),
    ],
)
def test_to_with_a_missing_attribute(name, missing, line, ext_tb):
    v = Version(name)
    delattr(v, missing)
    with pytest.raises(AttributeError, match=missing) as info:
        v.to(5)
    assert v.filename == name
    entries = ext_tb(info.value)
    assert entries[0] == (TO, line)
    assert entries[1:] == ([(IS_VERSIONLESS, 74)] if missing == "version" else [])


@pytest.mark.parametrize("name, attribute, line", [("shot.exr", "postfix", 80), ("shot.exr", "tail", 80), ("shot.v012.exr", "head", 83)])
def test_to_with_a_part_without_text_form(name, attribute, line, ext_tb):
    class Unprintable:
        def __str__(self):
            raise LookupError("no text")

    v = Version(name)
    setattr(v, attribute, Unprintable())
    with pytest.raises(LookupError) as info:
        v.to(5)
    assert v.filename == name
    assert ext_tb(info.value) == [(TO, line)]


def test_to_on_a_plain_base_version(ext_tb):
    v = BaseVersion("shot.v012.exr")
    before = record(v)
    with pytest.raises(TypeError) as info:
        v.to(5)
    assert type(info.value) is TypeError and info.value.args == ()
    assert ext_tb(info.value) == [(TO, 85), (INIT, 21)]
    # The new name stays; nothing else changed.
    assert v.filename == "shot.v005.exr"
    before.pop("filename")
    after = record(v)
    after.pop("filename")
    assert after == before


@pytest.mark.parametrize("cls", list(COPYABLE.values()), ids=list(COPYABLE))
def test_to_keeps_the_new_name_when_the_constructor_fails(cls, ext_tb):
    v = cls("shot.v012.exr")
    # A postfix that no longer compiles: the name is built without it, the
    # new object is not.
    v.postfix = "("
    with pytest.raises(re.error) as info:
        v.to(5)
    assert v.filename == "shot.v005.exr"
    # (A class with a constructor of its own adds its entry in between.)
    entries = ext_tb(info.value)
    assert entries[0] == (TO, 85) and entries[-1] == (INIT, 27)


def test_to_with_a_failing_class_lookup(ext_tb):
    class Masked(Version):
        def __getattribute__(self, name):
            if name == "__class__":
                raise LookupError("no class")
            return super().__getattribute__(name)

    v = Masked("shot.v012.exr")
    with pytest.raises(LookupError) as info:
        v.to(5)
    assert v.filename == "shot.v005.exr"
    assert ext_tb(info.value) == [(TO, 85)]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda v: v.to(), "to() takes exactly 2 positional arguments (1 given)"),
        (lambda v: BaseVersion.to(), "to() takes exactly 2 positional arguments (0 given)"),
        (lambda v: v.to(1, 2), "to() takes exactly 2 positional arguments (3 given)"),
        (lambda v: v.to(1, number=2), "to() got an unexpected keyword argument 'number'"),
        (lambda v: v.to(1, version=2), "to() got multiple values for keyword argument 'version'"),
    ],
)
def test_to_argument_errors(call, message, ext_tb):
    v = Version("shot.v012.exr")
    with pytest.raises(TypeError) as info:
        call(v)
    assert str(info.value) == message
    assert ext_tb(info.value) == [(TO, 76)]
    assert v.filename == "shot.v012.exr"


# --------------------------------------------------------------------------
# versionless


@pytest.mark.parametrize(
    "name, kwargs, expected",
    [
        ("shot.v012.exr", {}, "shot.exr"),
        ("shot.v000.exr", {}, "shot.exr"),
        ("shot_v012.exr", {}, "shot.exr"),  # the default postfix matched '_v'
        ("/p/sh010.v003.exr", {}, "/p/sh010.exr"),
        ("shot.v010.v002.ma", {}, "shot.v010.ma"),
        ("a.v001.mab.ma", {}, "a.ma"),
        ("dir.v1.x/file", {}, "dir.x/file"),
        ("shot_v012.exr", dict(postfix="_v", pads=4, ext="tif"), "shot.exr"),
        ("plate-ver0012.dpx", dict(postfix="-ver", pads=4), "plate.dpx"),
        # An empty postfix: the whole head is the stem.
        ("shot.v001.ma", dict(postfix=""), "shot.v00.ma"),
        ("shot7.ma", dict(postfix=""), "shot.ma"),
        # Names without a number keep their head and tail.
        ("shot.exr", {}, "shot.exr"),
        ("shot.exr", dict(postfix="_v", pads=5), "shot.exr"),
        ("shot.v001", {}, "shot.v001"),
        ("shot.V001.ma", {}, "shot.V001.ma"),
        (".bashrc", {}, ".bashrc"),
        ("a.v001.ma.bak", {}, "a.v001.ma.bak"),
    ],
)
@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
def test_versionless(cls, name, kwargs, expected):
    v = cls(name, **kwargs)
    before = record(v)
    result = v.versionless
    # Always a Version with the defaults, whatever the receiver.
    assert type(result) is Version
    assert result.filename == expected
    assert (result.pads, result.postfix) == (3, ".v")
    assert fields(result) == fields(Version(expected))
    assert record(v) == before
    assert v.versionless is not result


@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
@pytest.mark.parametrize("name", ["readme", "", "dir/readme"])
def test_versionless_of_a_name_without_a_dot(cls, name):
    v = cls(name)
    assert v.versionless is None


@pytest.mark.parametrize("tail", ["", None, 0, ()], ids=repr)
@pytest.mark.parametrize("head", ["shot.v", None, 17, ["a"]], ids=repr)
def test_versionless_without_tail_gives_the_head(head, tail):
    v = Version("shot.v012.exr")
    v.head, v.tail = head, tail
    assert v.versionless is head


def test_versionless_of_a_subclass_is_a_plain_version():
    class Sub(Version):
        pass

    result = Sub("shot.v012.exr", pads=5).versionless
    assert type(result) is Version
    assert result.pads == 3


def test_versionless_reads_the_fields_not_the_filename():
    v = Version("shot.v012.exr")
    v.to(5)
    assert v.versionless.filename == "shot.exr"
    v.head, v.version, v.tail = "new.v", "7", ".tif"
    assert v.versionless.filename == "new.tif"
    v.version = None
    assert v.versionless.filename == "new.v.tif"


def test_versionless_consults_is_versionless():
    class AlwaysNumberless(Version):
        isVersionless = True

    class NeverNumberless(Version):
        isVersionless = False

    assert AlwaysNumberless("shot.v012.exr").versionless.filename == "shot.v.exr"
    assert NeverNumberless("shot_a.exr").versionless.filename == "shot.exr"


@pytest.mark.parametrize(
    "name, kwargs, rebound, expected",
    [
        # What the postfix matched is cut, however long its pattern text.
        ("shot.v012.exr", dict(postfix=r"\.v"), {}, "shot.exr"),
        ("shot_v012.exr", dict(postfix="[._]v"), {}, "shot.exr"),
        ("shot_v012.exr", dict(postfix="(?:_|-)v"), {}, "shot.exr"),
        ("shot-v012.exr", dict(postfix="(_|-)v"), {}, "shot.exr"),
        ("shot_vvv012.exr", dict(postfix="_v{1,3}"), {}, "shot.exr"),
        # Head and postfix that no longer agree: len(postfix) characters go,
        # and no more than the head has.
        ("shot.v012.exr", {}, dict(postfix="xyz"), "sho.exr"),
        ("shot.v012.exr", {}, dict(postfix="x{3}"), "sh.exr"),
        ("ab.v1.exr", {}, dict(postfix="abc.v"), ".exr"),
        ("ab.v1.exr", {}, dict(postfix="x{1,99}"), ".exr"),
        # '.' matches no line break, as in the name pattern.
        ("a.v1.exr", {}, dict(head="a\nb.v"), "a\nb.exr"),
        ("a.v1.exr", dict(postfix=r"\.v"), dict(head="a\nb.v"), "a\n.exr"),
    ],
)
@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
def test_versionless_cuts_what_the_postfix_matched(cls, name, kwargs, rebound, expected):
    v = cls(name, **kwargs)
    for attribute, value in rebound.items():
        setattr(v, attribute, value)
    before = record(v)
    result = v.versionless
    assert type(result) is Version and result.filename == expected
    assert record(v) == before


def test_versionless_compiles_the_stem_through_the_re_global(vmod, monkeypatch):
    compiled = []
    real_compile = re.compile
    monkeypatch.setattr(re, "compile", lambda text: compiled.append(text) or real_compile(text))
    for postfix in (".v", "[._]v"):
        v = Version("shot_v012.exr", postfix=postfix)
        compiled.clear()
        assert v.versionless.filename == "shot.exr"
        assert compiled[0] == "(.*)(?:%s)" % postfix


def test_versionless_uses_the_module_version(vmod, monkeypatch):
    calls = []

    class Other(Version):
        def __init__(self, *args, **kwargs):
            calls.append((args, kwargs))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(vmod, "Version", Other)
    v = Version("shot.v012.exr", pads=5)
    result = v.versionless
    assert type(result) is Other
    assert calls == [(("shot.exr",), {})]
    calls.clear()
    Version("shot.exr").versionless
    assert calls == [(("shot.exr",), {})]


# --------------------------------------------------------------------------
# versionless: every failure becomes NoValidVersion


class Boom(Exception):
    pass


def _no_postfix(v):
    v.postfix = None


def _int_postfix(v):
    v.postfix = 5


def _list_postfix(v):
    v.postfix = ["a", "b"]


def _bad_postfix(v):
    v.postfix = "("


def _int_head(v):
    v.head = 5


def _no_head(v):
    del v.head


def _no_head_no_tail(v):
    del v.head
    v.tail = ""


def _no_tail(v):
    del v.tail


def _no_version(v):
    del v.version


def _bad_tail(v):
    v.tail = ".("


def _bad_bool_tail(v):
    class Undecided:
        def __bool__(self):
            raise Boom

    v.tail = Undecided()


def _numberless(modify):
    def apply(v):
        v.version = None
        modify(v)

    return apply


@pytest.mark.parametrize(
    "modify, caught, entries",
    [
        (_no_postfix, TypeError, [(VERSIONLESS, 94)]),
        (_int_postfix, TypeError, [(VERSIONLESS, 94)]),
        (_list_postfix, TypeError, [(VERSIONLESS, 94)]),
        (_bad_postfix, re.error, [(VERSIONLESS, 94)]),
        (_int_head, TypeError, [(VERSIONLESS, 94)]),
        (_no_head, AttributeError, [(VERSIONLESS, 94)]),
        (_no_head_no_tail, AttributeError, [(VERSIONLESS, 91)]),
        (_no_tail, AttributeError, [(VERSIONLESS, 90)]),
        (_bad_bool_tail, Boom, [(VERSIONLESS, 90)]),
        (_no_version, AttributeError, [(VERSIONLESS, 93), (IS_VERSIONLESS, 74)]),
        (_bad_tail, re.error, [(VERSIONLESS, 95), (INIT, 27)]),
        (_numberless(_no_head), AttributeError, [(VERSIONLESS, 97)]),
        (_numberless(_bad_tail), re.error, [(VERSIONLESS, 97), (INIT, 27)]),
        # The postfix is not read for a name without a number.
        (_numberless(_no_postfix), None, None),
    ],
    ids=lambda x: getattr(x, "__name__", None) if callable(x) else None,
)
@pytest.mark.parametrize("cls", list(CLASSES.values()), ids=list(CLASSES))
def test_versionless_failures(cls, modify, caught, entries, ext_tb):
    v = cls("shot.v012.exr")
    modify(v)
    before = record(v)
    if caught is None:
        assert v.versionless.filename == "shot.v.exr"
        return
    with pytest.raises(NoValidVersion) as info:
        v.versionless
    exc = info.value
    assert type(exc) is NoValidVersion is errors.NoValidVersion
    assert exc.args == ()
    assert exc.__cause__ is None and not exc.__suppress_context__
    assert type(exc.__context__) is caught
    assert ext_tb(exc) == [(VERSIONLESS, 99)]
    assert ext_tb(exc.__context__) == entries
    assert record(v) == before


@pytest.mark.parametrize("name, line", [("shot.v012.exr", 95), ("shot.exr", 97)])
def test_versionless_constructor_failure_is_the_context(vmod, monkeypatch, name, line, ext_tb):
    failure = Boom("inside")

    def failing(*args, **kwargs):
        raise failure

    monkeypatch.setattr(vmod, "Version", failing)
    with pytest.raises(NoValidVersion) as info:
        Version(name).versionless
    assert info.value.__context__ is failure
    assert ext_tb(failure) == [(VERSIONLESS, line)]


@pytest.mark.parametrize("name, line", [("shot.v012.exr", 95), ("shot.exr", 97)])
def test_versionless_without_module_version(hide_global, name, line, ext_tb):
    hide_global("Version")
    with pytest.raises(NoValidVersion) as info:
        BaseVersion(name).versionless
    assert type(info.value.__context__) is NameError
    assert ext_tb(info.value.__context__) == [(VERSIONLESS, line)]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("name, line", [("shot.v012.exr", 95), ("shot.exr", 97)])
def test_versionless_lets_other_exceptions_through(vmod, monkeypatch, error, name, line, ext_tb):
    raised = error()

    def failing(*args, **kwargs):
        raise raised

    monkeypatch.setattr(vmod, "Version", failing)
    with pytest.raises(error) as info:
        Version(name).versionless
    assert info.value is raised
    assert info.value.__context__ is None
    assert ext_tb(info.value) == [(VERSIONLESS, line)]


def test_versionless_raises_the_module_no_valid_version(vmod, monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(vmod, "NoValidVersion", Replacement)
    v = Version("shot.v012.exr")
    v.postfix = None
    with pytest.raises(Replacement) as info:
        v.versionless
    assert type(info.value.__context__) is TypeError


def test_versionless_inside_a_handler_chains_as_usual():
    v = Version("shot.v012.exr")
    v.postfix = None
    outer = LookupError("outer")
    try:
        raise outer
    except LookupError:
        with pytest.raises(NoValidVersion) as info:
            v.versionless
    inner = info.value.__context__
    assert type(inner) is TypeError
    assert inner.__context__ is outer


@pytest.mark.parametrize(
    "call, message, name, line",
    [
        (lambda v: BaseVersion.versionless.fget(), "versionless() takes exactly one argument (0 given)", VERSIONLESS, 88),
        (lambda v: BaseVersion.versionless.fget(v, 1), "versionless() takes exactly one argument (2 given)", VERSIONLESS, 88),
        (lambda v: BaseVersion.versionless.fget(self=v), "versionless() takes no keyword arguments", VERSIONLESS, 88),
        (lambda v: BaseVersion.isVersionless.fget(), "isVersionless() takes exactly one argument (0 given)", IS_VERSIONLESS, 73),
        (lambda v: BaseVersion.isVersionless.fget(v, 1), "isVersionless() takes exactly one argument (2 given)", IS_VERSIONLESS, 73),
        (lambda v: BaseVersion.isVersionless.fget(self=v), "isVersionless() takes no keyword arguments", IS_VERSIONLESS, 73),
    ],
)
def test_property_argument_errors(call, message, name, line, ext_tb):
    # Rejected before the guard of versionless: no NoValidVersion.
    with pytest.raises(TypeError) as info:
        call(Version("shot.v012.exr"))
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert ext_tb(info.value) == [(name, line)]


# --------------------------------------------------------------------------
# Reference and memory leaks


def leak_cases():
    numbered = Version("shot.v012.exr")
    numberless = Version("shot.exr")
    dotless = Version("readme")
    fs = VersionFileSystem("shot.v012.exr")
    base = BaseVersion("shot.v012.exr")
    empty_tail = Version("shot.v012.exr")
    empty_tail.tail = ""
    no_postfix = Version("shot.v012.exr")
    no_postfix.postfix = None
    bad_tail = Version("shot.v012.exr")
    bad_tail.tail = ".("
    bad_postfix = Version("shot.v012.exr")
    bad_postfix.postfix = "("
    bad_pads = Version("shot.v012.exr", pads="x")
    no_version = Version("shot.v012.exr")
    del no_version.version
    no_tail = Version("shot.v012.exr")
    no_tail.tail = None
    numberless_no_postfix = VersionFileSystem("shot.exr")
    numberless_no_postfix.postfix = None
    class_postfix = Version("shot_v012.exr", postfix="[._]v")
    disagreeing = Version("shot.v012.exr")
    disagreeing.postfix = "x{1,99}"
    text, word, fraction = "7", "abc", 3.9
    return {
        "isVersionless": (lambda: numbered.isVersionless, None, (numbered, numbered.version)),
        "isVersionless-missing": (lambda: no_version.isVersionless, AttributeError, (no_version,)),
        "isVersionless-args": (lambda: BaseVersion.isVersionless.fget(self=numbered), TypeError, (numbered,)),
        "to-int": (lambda: numbered.to(5), None, (numbered, numbered.head, numbered.tail)),
        "to-text": (lambda: numbered.to(text), None, (numbered, text)),
        "to-float": (lambda: numbered.to(fraction), None, (numbered, fraction)),
        "to-numberless": (lambda: numberless.to(5), None, (numberless, numberless.postfix)),
        "to-fs": (lambda: fs.to(5), None, (fs, VersionFileSystem)),
        "to-refused-text": (lambda: numbered.to(word), ValueError, (numbered, word)),
        "to-refused-none": (lambda: numbered.to(None), TypeError, (numbered,)),
        "to-refused-pads": (lambda: bad_pads.to(5), ValueError, (bad_pads, bad_pads.pads)),
        "to-dotless": (lambda: dotless.to(5), NoValidVersion, (dotless, NoValidVersion)),
        "to-tail-none": (lambda: no_tail.to(5), NoValidVersion, (no_tail, no_tail.head)),
        "to-postfix-none": (
            lambda: numberless_no_postfix.to(5),
            NoValidVersion,
            (numberless_no_postfix, numberless_no_postfix.tail),
        ),
        "to-base": (lambda: base.to(5), TypeError, (base, base.head)),
        "to-constructor-fails": (lambda: bad_postfix.to(5), re.error, (bad_postfix,)),
        "to-missing": (lambda: no_version.to(5), AttributeError, (no_version,)),
        "to-args": (lambda: numbered.to(5, version=5), TypeError, (numbered,)),
        "versionless-numbered": (lambda: numbered.versionless, None, (numbered, Version)),
        "versionless-numberless": (lambda: numberless.versionless, None, (numberless, Version)),
        "versionless-dotless": (lambda: dotless.versionless, None, (dotless,)),
        "versionless-empty-tail": (lambda: empty_tail.versionless, None, (empty_tail, empty_tail.head)),
        "versionless-fs": (lambda: fs.versionless, None, (fs,)),
        "versionless-base": (lambda: base.versionless, None, (base,)),
        "versionless-class-postfix": (lambda: class_postfix.versionless, None, (class_postfix, class_postfix.postfix)),
        "versionless-disagreeing": (lambda: disagreeing.versionless, None, (disagreeing, disagreeing.postfix)),
        "versionless-bad-postfix": (lambda: bad_postfix.versionless, NoValidVersion, (bad_postfix, bad_postfix.postfix)),
        "versionless-postfix-none": (
            lambda: no_postfix.versionless,
            NoValidVersion,
            (no_postfix, NoValidVersion, no_postfix.head),
        ),
        "versionless-missing": (lambda: no_version.versionless, NoValidVersion, (no_version,)),
        "versionless-constructor-fails": (lambda: bad_tail.versionless, NoValidVersion, (bad_tail, bad_tail.tail)),
        "versionless-args": (lambda: BaseVersion.versionless.fget(numbered, 1), TypeError, (numbered,)),
    }


LEAK_CASES = list(leak_cases())


@pytest.mark.parametrize("case", LEAK_CASES)
def test_no_leaks(case, leak_check):
    op, raises, objects = leak_cases()[case]
    leak_check(op, raises=raises, objects=objects)
