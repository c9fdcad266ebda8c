"""Construction of BaseVersion and Version: the instance record, the name
pattern, the copying constructor and the failures of each step."""

import pathlib
import re
import types

import pytest

from kestrum import versioner
from kestrum.versioner import BaseVersion, Version, VersionFileSystem

INIT = "kestrum.versioner.BaseVersion.__init__"
RECORD = ["filename", "postfix", "pads", "ext", "regex_splits", "head", "version", "tail"]


def fields(v):
    return (v.head, v.version, v.tail)


def file_system_source(filename, pads=3, postfix=".v", ext=".*"):
    """A VersionFileSystem instance with its record filled in by hand, so
    that the copying constructor can be exercised on its own."""
    src = VersionFileSystem.__new__(VersionFileSystem)
    src.filename, src.pads, src.postfix, src.ext = filename, pads, postfix, ext
    return src


class Recording(Version):
    """Records the order in which attributes are set."""

    def __setattr__(self, name, value):
        self.__dict__.setdefault("_log", []).append(name)
        object.__setattr__(self, name, value)


def blank(cls=BaseVersion):
    return cls.__new__(cls)


# --------------------------------------------------------------------------
# The record and the pattern


@pytest.mark.parametrize(
    "filename, ext, pattern",
    [
        ("shot.v012.exr", "exr", "(?P<head>.*.v)(?P<version>[0-9]+)(?P<tail>[.]exr)"),
        ("render", ".*", "(?P<head>.*.v)(?P<version>[0-9]+)(?P<tail>[.].*)"),
        ("scene.v001", "v001", "(?P<head>.*.v)(?P<version>[0-9]+)(?P<tail>[.]v001)"),
        ("/p/sh010.v003.exr", "exr", "(?P<head>.*.v)(?P<version>[0-9]+)(?P<tail>[.]exr)"),
        ("dir.v1.x/file", ".*", "(?P<head>.*.v)(?P<version>[0-9]+)(?P<tail>[.].*)"),
        (".v001", ".*", "(?P<head>.*.v)(?P<version>[0-9]+)(?P<tail>[.].*)"),
        ("a.tar.gz", "gz", "(?P<head>.*.v)(?P<version>[0-9]+)(?P<tail>[.]gz)"),
        # A bare final dot is an empty extension, not a missing one.
        ("trailing.", "", "(?P<head>.*.v)(?P<version>[0-9]+)(?P<tail>[.])"),
    ],
)
def test_default_record(filename, ext, pattern):
    v = BaseVersion(filename)
    assert list(vars(v)) == RECORD
    assert v.filename is filename
    assert (v.pads, v.postfix, v.ext) == (3, ".v", ext)
    assert isinstance(v.regex_splits, re.Pattern)
    assert v.regex_splits.pattern == pattern
    assert v.regex_splits.flags == re.UNICODE
    assert v.regex_splits is not versioner.regex_splits


@pytest.mark.parametrize(
    "filename, kwargs, record",
    [
        # The ext argument only counts when the name has no extension.
        ("a.v001.exr", dict(ext="tif"), (3, ".v", "exr", "a.v", "001", ".exr")),
        ("render", dict(ext="tif"), (3, ".v", "tif", None, None, None)),
        ("render.v3", dict(ext="v3"), (3, ".v", "v3", "render", None, ".v3")),
        ("plate_v12.dpx", dict(postfix="_v", pads=4), (4, "_v", "dpx", "plate_v", "12", ".dpx")),
        # The default postfix is a pattern: its dot matches the underscore.
        ("shot_v012.exr", {}, (3, ".v", "exr", "shot_v", "012", ".exr")),
        # Settings are stored as passed, whatever their type.
        ("a.v001.ma", dict(pads=None), (None, ".v", "ma", "a.v", "001", ".ma")),
        ("a5001.ma", dict(postfix=5), (3, 5, "ma", "a5", "001", ".ma")),
        ("a.v001.ma", dict(postfix="[.]v"), (3, "[.]v", "ma", "a.v", "001", ".ma")),
        ("a_v001.ma", dict(postfix="[.]v"), (3, "[.]v", "ma", "a_v001", None, ".ma")),
        ("/p/sh010.v003.exr", {}, (3, ".v", "exr", "/p/sh010.v", "003", ".exr")),
    ],
)
def test_record_with_settings(filename, kwargs, record):
    v = BaseVersion(filename, **kwargs)
    assert (v.pads, v.postfix, v.ext) + fields(v) == record


def test_non_text_settings_are_inserted_as_text():
    v = BaseVersion("render", postfix=5, ext=7)
    assert (v.postfix, v.ext) == (5, 7)
    assert v.regex_splits.pattern == "(?P<head>.*5)(?P<version>[0-9]+)(?P<tail>[.]7)"


def test_settings_by_position_and_keyword():
    a = Version("plate-x12.dpx", 5, "-x", "exr")
    b = Version(ext="exr", postfix="-x", pads=5, filename="plate-x12.dpx")
    for v in (a, b):
        assert (v.pads, v.postfix, v.ext) + fields(v) == (5, "-x", "dpx", "plate-x", "12", ".dpx")


def test_str_subclass_is_stored_unchanged():
    class Name(str):
        pass

    name = Name("shot.v004.ma")
    v = BaseVersion(name)
    assert v.filename is name
    assert type(v.filename) is Name
    assert fields(v) == ("shot.v", "004", ".ma")


@pytest.mark.parametrize("source", ["str", "Version", "VersionFileSystem"])
def test_attribute_order(source):
    arg = {
        "str": "shot.v001.ma",
        "Version": Version("shot.v001.ma"),
        "VersionFileSystem": file_system_source("shot.v001.ma"),
    }[source]
    v = Recording(arg)
    assert v._log == RECORD


def test_attributes_are_read_back():
    class Upper(Version):
        def __setattr__(self, name, value):
            if name in ("filename", "postfix") and isinstance(value, str):
                value = value.upper()
            object.__setattr__(self, name, value)

    v = Upper("shot.v001.ma")
    assert v.filename == "SHOT.V001.MA"
    # The extension, the pattern and the fields come from the stored values.
    assert v.ext == "MA"
    assert v.regex_splits.pattern == "(?P<head>.*.V)(?P<version>[0-9]+)(?P<tail>[.]MA)"
    assert fields(v) == ("SHOT.V", "001", ".MA")


def test_rerunning_the_constructor():
    v = Recording("shot.v001.ma", pads=5)
    v._log.clear()
    v.extra = 1
    assert v.__init__("plate_v12.dpx", postfix="_v") is None
    assert v._log == ["extra"] + RECORD
    assert (v.filename, v.pads, v.postfix, v.ext) == ("plate_v12.dpx", 3, "_v", "dpx")
    assert fields(v) == ("plate_v", "12", ".dpx")


def test_rerunning_with_a_bad_name_keeps_the_record():
    v = BaseVersion("shot.v001.ma")
    before = dict(vars(v))
    with pytest.raises(TypeError):
        v.__init__(42)
    assert vars(v) == before


def test_constructor_returns_none_and_instance_type():
    v = BaseVersion.__new__(Version)
    assert BaseVersion.__init__(v, "shot.v001.ma") is None
    assert type(v) is Version and fields(v) == ("shot.v", "001", ".ma")


# --------------------------------------------------------------------------
# Copying from a version object


@pytest.mark.parametrize("make", [Version, file_system_source], ids=["Version", "VersionFileSystem"])
@pytest.mark.parametrize("target", [BaseVersion, Version])
def test_copy_takes_the_source_settings(make, target):
    src = make("a.v007.exr", pads=5, postfix=".v", ext="tif")
    copy = target(src, pads=7, postfix="_x", ext="png")
    assert type(copy) is target
    assert copy.filename is src.filename
    assert (copy.pads, copy.postfix, copy.ext) == (5, ".v", "exr")
    assert fields(copy) == ("a.v", "007", ".exr")


@pytest.mark.parametrize("make", [Version, file_system_source], ids=["Version", "VersionFileSystem"])
def test_copy_rederives_ext(make):
    # Without an extension in the name the source's ext is used ...
    src = make("render", ext="tif")
    assert Version(src, ext="png").ext == "tif"
    # ... otherwise it is derived again from the copied name.
    src = make("render", ext="tif")
    src.filename = "b.v002.exr"
    copy = Version(src, ext="png")
    assert copy.ext == "exr"
    assert fields(copy) == ("b.v", "002", ".exr")


def test_copy_reads_the_source_attributes_now():
    src = Version("a.v001.ma")
    src.filename, src.pads, src.postfix = "plate_x04.dpx", 2, "_x"
    copy = Version(src)
    assert (copy.filename, copy.pads, copy.postfix, copy.ext) == ("plate_x04.dpx", 2, "_x", "dpx")
    assert fields(copy) == ("plate_x", "04", ".dpx")
    # The source is left alone.
    assert fields(src) == ("a.v", "001", ".ma")


@pytest.mark.parametrize(
    "value",
    [
        BaseVersion("a.v001.ma"),
        b"a.v001.ma",
        bytearray(b"a.v001.ma"),
        pathlib.PurePosixPath("a.v001.ma"),
        1,
        None,
        ["a.v001.ma"],
        object(),
    ],
    ids=lambda x: type(x).__name__,
)
@pytest.mark.parametrize("cls", [BaseVersion, Version])
def test_refused_filename(cls, value, ext_tb):
    v = blank(cls)
    with pytest.raises(TypeError) as info:
        v.__init__(value)
    assert type(info.value) is TypeError
    assert info.value.args == ()
    assert vars(v) == {}
    assert ext_tb(info.value) == [(INIT, 21)]


def test_class_tests_read_module_globals(monkeypatch):
    order = []

    class Meta(type):
        answer = False

        def __instancecheck__(cls, obj):
            order.append(cls.__name__)
            return Meta.answer

    FakeVersion = Meta("FakeVersion", (), {})
    FakeFileSystem = Meta("FakeFileSystem", (), {})
    monkeypatch.setattr(versioner, "Version", FakeVersion)
    monkeypatch.setattr(versioner, "VersionFileSystem", FakeFileSystem)

    # A genuine Version is no longer accepted, and Version is tested first.
    with pytest.raises(TypeError):
        BaseVersion(Version("a.v001.ma"))
    assert order == ["FakeVersion", "FakeFileSystem"]

    # Whatever the rebound name accepts is copied.
    order.clear()
    Meta.answer = True
    src = types.SimpleNamespace(filename="a.v002.ma", pads=4, postfix=".v", ext="x")
    copy = BaseVersion(src)
    assert order == ["FakeVersion"]
    assert (copy.filename, copy.pads, copy.ext, copy.version) == ("a.v002.ma", 4, "ma", "002")

    # A str never reaches the class tests.
    order.clear()
    BaseVersion("a.v003.ma")
    assert order == []


@pytest.mark.parametrize(
    "missing, line, left",
    [
        ("filename", 16, {}),
        ("pads", 17, {"filename": "a.v001.ma"}),
        ("postfix", 18, {"filename": "a.v001.ma"}),
        ("ext", 19, {"filename": "a.v001.ma"}),
    ],
)
@pytest.mark.parametrize("make", [Version, file_system_source], ids=["Version", "VersionFileSystem"])
def test_copy_from_incomplete_source(make, missing, line, left, ext_tb):
    src = make("a.v001.ma")
    delattr(src, missing)
    v = blank()
    with pytest.raises(AttributeError) as info:
        v.__init__(src)
    assert vars(v) == left
    assert ext_tb(info.value) == [(INIT, line)]


# --------------------------------------------------------------------------
# Calls made through the module namespace


def test_splitext_through_module_os(monkeypatch):
    calls = []

    class Path:
        @staticmethod
        def splitext(name):
            calls.append(name)
            return ("stem", ".fake")

    monkeypatch.setattr(versioner, "os", types.SimpleNamespace(path=Path))
    v = BaseVersion("shot.v001.ma")
    assert calls == ["shot.v001.ma"]
    assert v.ext == "fake"


def test_failing_splitext_is_reported_at_its_line(monkeypatch, ext_tb):
    def splitext(name):
        raise OSError("splitext failed")

    monkeypatch.setattr(versioner, "os", types.SimpleNamespace(path=types.SimpleNamespace(splitext=splitext)))
    v = blank()
    with pytest.raises(OSError, match="splitext failed") as info:
        v.__init__("shot.v001.ma")
    assert ext_tb(info.value) == [(INIT, 25)]
    assert list(vars(v)) == ["filename", "postfix", "pads"]


def test_compile_through_module_re(monkeypatch):
    calls = []

    def compile(*args, **kwargs):
        calls.append((args, kwargs))
        return re.compile(*args, **kwargs)

    monkeypatch.setattr(versioner, "re", types.SimpleNamespace(compile=compile))
    BaseVersion("shot.v001.ma", postfix="_v")
    assert len(calls) == 1
    args, kwargs = calls[0]
    assert args[0] == "(?P<head>.*_v)(?P<version>[0-9]+)(?P<tail>[.]ma)"
    # No flags, or flags 0.
    assert not any(args[1:]) and not any(kwargs.values())


def test_template_read_from_module(monkeypatch):
    # A template whose number is a single digit.
    monkeypatch.setattr(versioner, "regex_splits", "(?P<head>.*%s)(?P<version>[0-9])(?P<tail>[0-9]*[.]%s)")
    v = Version("shot.v012.ma")
    assert v.regex_splits.pattern == "(?P<head>.*.v)(?P<version>[0-9])(?P<tail>[0-9]*[.]ma)"
    assert fields(v) == ("shot.v", "0", "12.ma")


@pytest.mark.parametrize(
    "kwargs",
    [dict(postfix="("), dict(postfix=")"), dict(ext="("), dict(postfix="*")],
    ids=lambda k: "%s=%s" % next(iter(k.items())),
)
def test_invalid_pattern(kwargs, ext_tb):
    v = blank(Version)
    with pytest.raises(re.error) as info:
        v.__init__("render", **kwargs)
    assert list(vars(v)) == ["filename", "postfix", "pads", "ext"]
    assert ext_tb(info.value) == [(INIT, 27)]


# --------------------------------------------------------------------------
# Unpacking the split result


def splitting(result):
    class Custom(Version):
        def _splits(self, filename):
            self.seen = filename
            return result() if callable(result) else result

    return Custom


@pytest.mark.parametrize(
    "result",
    [("h", "1", "t"), ["h", "1", "t"], lambda: iter(["h", "1", "t"]), "h1t"],
    ids=["tuple", "list", "iterator", "str"],
)
def test_override_of_splits_is_used(result):
    v = splitting(result)("shot.v001.ma")
    assert v.seen == "shot.v001.ma"
    assert fields(v) == ("h", "1", "t")


@pytest.mark.parametrize(
    "result, error, message",
    [
        (("h", "v"), ValueError, "need more than 2 values to unpack"),
        (["h"], ValueError, "need more than 1 value to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        (("h", "v", "t", "x"), ValueError, "too many values to unpack (expected 3)"),
        (lambda: iter(range(10)), ValueError, "too many values to unpack (expected 3)"),
        (None, TypeError, "cannot unpack non-iterable NoneType object"),
        (3, TypeError, "cannot unpack non-iterable int object"),
    ],
    ids=["two", "one", "empty", "four", "iterator", "None", "int"],
)
def test_bad_split_result(result, error, message, ext_tb):
    cls = splitting(result)
    v = blank(cls)
    with pytest.raises(error) as info:
        v.__init__("shot.v001.ma")
    if message is not None:
        assert str(info.value) == message
    assert list(vars(v)) == ["filename", "postfix", "pads", "ext", "regex_splits", "seen"]
    assert ext_tb(info.value) == [(INIT, 28)]


def test_failure_inside_splits_adds_both_entries(ext_tb):
    class Broken(BaseVersion):
        # Stores a pattern whose search yields something not iterable.
        def __setattr__(self, name, value):
            if name == "regex_splits":
                value = types.SimpleNamespace(finditer=lambda s: 5)
            object.__setattr__(self, name, value)

    with pytest.raises(TypeError) as info:
        Broken("shot.v001.ma")
    assert ext_tb(info.value) == [(INIT, 28), ("kestrum.versioner.BaseVersion._splits", 51)]


# --------------------------------------------------------------------------
# Argument errors


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: BaseVersion(), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: Version(), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: BaseVersion.__init__(), "__init__() takes at least 2 positional arguments (0 given)"),
        (lambda: BaseVersion(pads=4), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: BaseVersion(pads=4, bogus=1), "__init__() takes at least 2 positional arguments (1 given)"),
        (lambda: BaseVersion("a", 3, ".v", ".*", 5), "__init__() takes at most 5 positional arguments (6 given)"),
        (lambda: BaseVersion("a", 3, ".v", ".*", 5, 6), "__init__() takes at most 5 positional arguments (7 given)"),
        (lambda: BaseVersion("a", bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: BaseVersion("a", 3, pads=4), "__init__() got multiple values for keyword argument 'pads'"),
        (lambda: BaseVersion("a", filename="b"), "__init__() got multiple values for keyword argument 'filename'"),
        (
            lambda: BaseVersion.__init__(blank(), "a", self=blank()),
            "__init__() got multiple values for keyword argument 'self'",
        ),
    ],
)
def test_argument_errors(call, message, ext_tb):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert ext_tb(info.value) == [(INIT, 12)]


def test_every_parameter_by_keyword():
    v = blank(Version)
    BaseVersion.__init__(self=v, filename="a_v01.ma", pads=2, postfix="_v", ext="x")
    assert (v.pads, v.postfix, v.ext) + fields(v) == (2, "_v", "ma", "a_v", "01", ".ma")


def test_refused_arguments_set_nothing():
    v = blank()
    with pytest.raises(TypeError):
        v.__init__("a.v001.ma", bogus=1)
    assert vars(v) == {}
