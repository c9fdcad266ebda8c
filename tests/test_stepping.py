"""Version.next, Version.previous and Version.fs: stepping within the width,
the refusals at the limits, what stepping does to the receiver, and fs."""

import os

import pytest

from kestrum import versioner
from kestrum.errors import ExceededPaddingVersion, VersionZero
from kestrum.versioner import BaseVersion, Version, VersionFileSystem

NEXT = "kestrum.versioner.Version.next"
PREVIOUS = "kestrum.versioner.Version.previous"
FS = "kestrum.versioner.Version.fs"

NINES30 = "9" * 30


# --------------------------------------------------------------------------
# Results: one row per name and width; an exception class stands for a
# refusal.


@pytest.mark.parametrize(
    "name, pads, next_name, previous_name",
    [
        # width 3 (the default)
        ("shot.v012.exr", 3, "shot.v013.exr", "shot.v011.exr"),
        ("shot.v001.exr", 3, "shot.v002.exr", VersionZero),
        ("shot.v998.exr", 3, "shot.v999.exr", "shot.v997.exr"),
        ("shot.v999.exr", 3, ExceededPaddingVersion, "shot.v998.exr"),
        ("shot.v010.exr", 3, "shot.v011.exr", "shot.v009.exr"),
        ("shot.v000.exr", 3, None, None),
        ("shot.exr", 3, None, None),
        ("shot.v001", 3, None, None),
        ("README", 3, None, None),
        # digits wider than the width: down, but not up
        ("shot.v1234.exr", 3, ExceededPaddingVersion, "shot.v1233.exr"),
        # fewer digits than the width: the result is padded
        ("shot.v7.exr", 3, "shot.v008.exr", "shot.v006.exr"),
        # width 1
        ("shot.v8.exr", 1, "shot.v9.exr", "shot.v7.exr"),
        ("shot.v9.exr", 1, ExceededPaddingVersion, "shot.v8.exr"),
        ("shot.v1.exr", 1, "shot.v2.exr", VersionZero),
        # width 2
        ("shot.v98.exr", 2, "shot.v99.exr", "shot.v97.exr"),
        ("shot.v99.exr", 2, ExceededPaddingVersion, "shot.v98.exr"),
        ("shot.v10.exr", 2, "shot.v11.exr", "shot.v09.exr"),
        # width 4
        ("shot.v999.exr", 4, "shot.v1000.exr", "shot.v0998.exr"),
        ("shot.v9998.exr", 4, "shot.v9999.exr", "shot.v9997.exr"),
        ("shot.v9999.exr", 4, ExceededPaddingVersion, "shot.v9998.exr"),
        # width 30: the limit is thirty nines, compared exactly
        ("shot.v" + "9" * 29 + "8.exr", 30, "shot.v" + NINES30 + ".exr", "shot.v" + "9" * 29 + "7.exr"),
        ("shot.v" + NINES30 + ".exr", 30, ExceededPaddingVersion, "shot.v" + "9" * 29 + "8.exr"),
        ("shot.v12.exr", 30, "shot.v" + "0" * 28 + "13.exr", "shot.v" + "0" * 28 + "11.exr"),
        # the width holds the digits only; path and other settings are kept
        ("/p/q.v2/sh010_v041.dpx", 3, "/p/q.v2/sh010_v042.dpx", "/p/q.v2/sh010_v040.dpx"),
    ],
)
@pytest.mark.parametrize("member", ["next", "previous"])
def test_step(name, pads, next_name, previous_name, member):
    expected = next_name if member == "next" else previous_name
    v = Version(name, pads=pads)
    if isinstance(expected, type):
        with pytest.raises(expected) as info:
            getattr(v, member)
        # raised bare, and nothing changed
        assert info.value.args == ()
        assert str(v) == name
        return
    result = getattr(v, member)
    if expected is None:
        assert result is None
        assert str(v) == name
        return
    assert type(result) is Version
    assert str(result) == expected
    assert (result.pads, result.postfix) == (pads, ".v")


@pytest.mark.parametrize(
    "kwargs, name, next_name, previous_name",
    [
        (dict(postfix="_ver"), "shot_ver009.exr", "shot_ver010.exr", "shot_ver008.exr"),
        (dict(postfix="-", pads=2), "shot-07.exr", "shot-08.exr", "shot-06.exr"),
        (dict(postfix="", pads=1), "take4.exr", "take5.exr", "take3.exr"),
        # ext counts only for a last component without extension
        (dict(ext="b/c"), "a.v003.b/c", "a.v004.b/c", "a.v002.b/c"),
    ],
)
def test_step_with_settings(kwargs, name, next_name, previous_name):
    n = Version(name, **kwargs).next
    p = Version(name, **kwargs).previous
    assert (str(n), str(p)) == (next_name, previous_name)
    for result in (n, p):
        for key, value in kwargs.items():
            assert getattr(result, key) == value


# --------------------------------------------------------------------------
# The receiver


def test_stepping_rewrites_the_receiver_filename_only():
    v = Version("shot.v012.exr")
    n = v.next
    assert str(n) == "shot.v013.exr"
    assert str(v) == v.filename == "shot.v013.exr"
    assert (v.head, v.version, v.tail, v.current) == ("shot.v", "012", ".exr", 12)
    # a second read starts from the old number again
    n2 = v.next
    assert str(n2) == "shot.v013.exr" and n2 is not n
    # and previous is one below the old number
    p = v.previous
    assert str(p) == "shot.v011.exr"
    assert str(v) == "shot.v011.exr"
    assert v.current == 12
    assert n.current == 13 and p.current == 11


def test_result_carries_the_receiver_class_and_settings():
    class Shot(Version):
        pass

    v = Shot("plate_v0041.dpx", pads=4, postfix="_v")
    for result, number in ((v.next, 42), (v.previous, 40)):
        assert type(result) is Shot
        assert (result.pads, result.postfix, result.ext, result.current) == (4, "_v", "dpx", number)


@pytest.mark.parametrize(
    "version, next_name, previous_name",
    [
        # a negative number: previous gives None, next still steps up
        ("-5", "shot.v-04.exr", None),
        ("-1", "shot.v000.exr", None),
        # current is read from the rebound digits, the head and tail stay
        ("41", "shot.v042.exr", "shot.v040.exr"),
    ],
)
def test_step_from_rebound_digits(version, next_name, previous_name):
    v = Version("shot.v001.exr")
    v.version = version
    nxt = v.next
    assert str(nxt) == next_name
    v = Version("shot.v001.exr")
    v.version = version
    prev = v.previous
    assert (None if prev is None else str(prev)) == previous_name
    if prev is None:
        assert str(v) == "shot.v001.exr"


def test_pads_rebound_after_construction_is_used():
    v = Version("shot.v009.exr")
    v.pads = 1
    with pytest.raises(ExceededPaddingVersion):
        v.next
    v.pads = 2
    assert str(v.next) == "shot.v10.exr"


@pytest.mark.parametrize(
    "pads, error",
    [(0, ValueError), (-1, ValueError), (-4, ValueError), ("3", TypeError), (3.0, TypeError), (None, TypeError)],
)
def test_unusable_width_fails_in_next(pads, error, ext_tb):
    v = Version("shot.v012.exr")
    v.pads = pads
    with pytest.raises(error) as info:
        v.next
    assert ext_tb(info.value) == [(NEXT, 108)]
    assert str(v) == "shot.v012.exr"


def test_text_width_still_steps_down():
    # previous does not form the limit; to() converts the width with int()
    v = Version("shot.v012.exr", pads="3")
    assert str(v.previous) == "shot.v011.exr"


def test_refusals_are_the_module_globals_at_the_time(monkeypatch):
    class Other(Exception):
        pass

    class Another(Exception):
        pass

    monkeypatch.setattr(versioner, "ExceededPaddingVersion", Other)
    monkeypatch.setattr(versioner, "VersionZero", Another)
    with pytest.raises(Other):
        Version("shot.v999.exr").next
    with pytest.raises(Another):
        Version("shot.v001.exr").previous


# --------------------------------------------------------------------------
# fs


def test_fs_copies_name_and_settings(tmp_path):
    v = Version(str(tmp_path / "plate_v0041.dpx"), pads=4, postfix="_v", ext="tif")
    a, b = v.fs, v.fs
    assert type(a) is VersionFileSystem and type(b) is VersionFileSystem
    assert a is not b
    for fs in (a, b):
        assert (fs.filename, fs.pads, fs.postfix, fs.ext) == (v.filename, 4, "_v", "dpx")
        assert (fs.head, fs.version, fs.tail) == (v.head, v.version, v.tail)
    assert vars(v) == vars(Version(str(tmp_path / "plate_v0041.dpx"), pads=4, postfix="_v", ext="tif"))


def test_fs_follows_a_rewritten_filename(tmp_path):
    v = Version(str(tmp_path / "shot.v012.exr"))
    v.next
    assert v.fs.current == 13


def test_fs_of_a_subclass_is_a_plain_versionfilesystem():
    class Shot(Version):
        pass

    assert type(Shot("/nowhere/shot.v001.exr").fs) is VersionFileSystem


def test_fs_uses_the_module_global(monkeypatch):
    made = []

    def factory(*args, **kwargs):
        made.append((args, kwargs))
        return "made"

    v = Version("shot.v001.exr")
    monkeypatch.setattr(versioner, "VersionFileSystem", factory)
    assert v.fs == "made"
    assert made == [((v,), {})]


def test_fs_anchors_a_relative_existing_name(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "shot.v001.exr").write_text("")
    fs = Version("shot.v001.exr").fs
    assert fs.filename == os.getcwd() + "/shot.v001.exr"


# --------------------------------------------------------------------------
# Traceback entries


class Odd:
    """A number stand-in whose operations fail where told to."""

    def __init__(self, fail=(), value=5):
        self.fail, self.value = fail, value

    def _check(self, op):
        if op in self.fail:
            raise LookupError(op)

    def __bool__(self):
        self._check("bool")
        return True

    def __add__(self, other):
        self._check("add")
        return self.value + other

    def __sub__(self, other):
        self._check("sub")
        return self.value - other

    def __gt__(self, other):
        self._check("gt")
        return self.value > other

    def __eq__(self, other):
        self._check("eq")
        return self.value == other

    __hash__ = None


def odd_version(current, cls=Version):
    class Odder(cls):
        @property
        def current(self):
            return current

    return Odder("shot.v005.exr")


def test_entry_when_reading_current_fails(ext_tb):
    for member, line in (("next", 105), ("previous", 115)):
        v = Version("shot.v005.exr")
        del v.filename
        with pytest.raises(AttributeError) as info:
            getattr(v, member)
        prefix = NEXT if member == "next" else PREVIOUS
        assert ext_tb(info.value) == [(prefix, line), ("kestrum.versioner.BaseVersion.current", 70)]


@pytest.mark.parametrize(
    "member, fail, value, entries",
    [
        ("next", "bool", 5, [(NEXT, 105)]),
        ("next", "add", 5, [(NEXT, 108)]),
        ("previous", "bool", 5, [(PREVIOUS, 116)]),
        ("previous", "gt", 5, [(PREVIOUS, 119)]),
        ("previous", "sub", 5, [(PREVIOUS, 120)]),
        ("previous", "eq", 0, [(PREVIOUS, 122)]),
    ],
)
def test_entry_of_each_statement(member, fail, value, entries, ext_tb):
    v = odd_version(Odd(fail=(fail,), value=value))
    with pytest.raises(LookupError) as info:
        getattr(v, member)
    assert ext_tb(info.value) == entries


@pytest.mark.parametrize("member, line", [("next", 109), ("previous", 120)])
def test_entry_when_to_fails(member, line, ext_tb):
    class Refusing(Version):
        def __init__(self, filename, *args, **kwargs):
            if isinstance(filename, Version):
                raise KeyError("copy")
            super().__init__(filename, *args, **kwargs)

    v = Refusing("shot.v005.exr")
    with pytest.raises(KeyError) as info:
        getattr(v, member)
    prefix = NEXT if member == "next" else PREVIOUS
    assert ext_tb(info.value) == [(prefix, line), ("kestrum.versioner.BaseVersion.to", 85)]
    # to() had already rewritten the name
    assert str(v) == ("shot.v006.exr" if member == "next" else "shot.v004.exr")


def test_entries_of_the_refusals(ext_tb):
    with pytest.raises(ExceededPaddingVersion) as info:
        Version("shot.v999.exr").next
    assert ext_tb(info.value) == [(NEXT, 111)]
    with pytest.raises(VersionZero) as info:
        Version("shot.v001.exr").previous
    assert ext_tb(info.value) == [(PREVIOUS, 123)]


def test_entry_when_fs_construction_fails(ext_tb):
    v = Version("shot.v005.exr")
    v.filename = None
    with pytest.raises(TypeError) as info:
        v.fs
    assert ext_tb(info.value) == [(FS, 127), ("kestrum.versioner.VersionFileSystem.__init__", 142)]


def test_stepping_is_only_on_version():
    assert not hasattr(BaseVersion("shot.v001.exr"), "fs")
    assert not hasattr(VersionFileSystem("/nowhere/shot.v001.exr"), "fs")


# --------------------------------------------------------------------------
# Leaks


def test_no_leaks(leak_check, tmp_path):
    v = Version("shot.v012.exr")
    leak_check(lambda: v.next, objects=(v,))
    leak_check(lambda: v.previous, objects=(v,))
    top = Version("shot.v999.exr")
    leak_check(lambda: top.next, raises=ExceededPaddingVersion, objects=(top,))
    one = Version("shot.v001.exr")
    leak_check(lambda: one.previous, raises=VersionZero, objects=(one,))
    none = Version("shot.v000.exr")
    leak_check(lambda: (none.next, none.previous), objects=(none,))
    wide = Version("shot.v" + "9" * 29 + "8.exr", pads=30)
    leak_check(lambda: wide.next, objects=(wide,))
    bad = Version("shot.v012.exr", pads=0)
    leak_check(lambda: bad.next, raises=ValueError, objects=(bad,))
    on_disk = Version(str(tmp_path / "shot.v012.exr"))
    leak_check(lambda: on_disk.fs, objects=(on_disk,))
