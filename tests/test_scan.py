"""VersionFileSystem: construction and anchoring, the scan generator,
membership and existence."""

import collections.abc
import os
import pathlib

import pytest

from kestrum import versioner
from kestrum.versioner import BaseVersion, Version, VersionFileSystem
import plain
from trees import Recorder, make_tree, recording_fnmatch, recording_os, rel

INIT = "kestrum.versioner.VersionFileSystem.__init__"
CONTAINS = "kestrum.versioner.VersionFileSystem.__contains__"
EXISTS = "kestrum.versioner.VersionFileSystem.exists"
BASE_INIT = "kestrum.versioner.BaseVersion.__init__"


def blank(cls=VersionFileSystem):
    return cls.__new__(cls)


# --------------------------------------------------------------------------
# Construction


def test_relative_existing_name_is_anchored(tmp_path, monkeypatch):
    make_tree(tmp_path, "sh010.v003.exr", "sub/sh010.v001.exr")
    monkeypatch.chdir(tmp_path)
    cwd = os.getcwd()
    fs = VersionFileSystem("sh010.v003.exr")
    assert fs.filename == cwd + "/sh010.v003.exr"
    assert (fs.head, fs.version, fs.tail) == (cwd + "/sh010.v", "003", ".exr")
    # joined as given, not normalised
    fs = VersionFileSystem("./sub/../sub/sh010.v001.exr")
    assert fs.filename == cwd + "/./sub/../sub/sh010.v001.exr"


def test_relative_missing_name_is_kept(tmp_path, monkeypatch):
    make_tree(tmp_path, "sh010.v003.exr")
    monkeypatch.chdir(tmp_path)
    for name in ("sh010.v004.exr", "sub/sh010.v001.exr", "../nowhere.v1.x"):
        assert VersionFileSystem(name).filename == name


def test_absolute_name_is_never_changed(tmp_path):
    make_tree(tmp_path, "sub/sh010.v003.exr")
    for name in (
        str(tmp_path / "sub" / "sh010.v003.exr"),
        str(tmp_path) + "/sub/../sub//sh010.v003.exr",
        str(tmp_path / "sh010.v009.exr"),
    ):
        assert VersionFileSystem(name).filename == name


def test_anchoring_uses_the_module_os_at_call_time(tmp_path, monkeypatch):
    make_tree(tmp_path, "sh010.v003.exr")
    monkeypatch.chdir(tmp_path)
    log = Recorder()
    monkeypatch.setattr(versioner, "os", recording_os(log, {"getcwd": lambda: "/elsewhere"}))
    fs = VersionFileSystem("sh010.v003.exr")
    assert fs.filename == "/elsewhere/sh010.v003.exr"
    assert log.names()[:3] == ["path.exists", "path.isabs", "getcwd"]
    assert log.calls[0][1] == ("sh010.v003.exr",)
    # a missing name is not tested for being absolute, nor anchored
    del log.calls[:]
    VersionFileSystem("sh010.v004.exr")
    assert "getcwd" not in log.names() and "path.isabs" not in log.names()


def test_copy_takes_the_source_settings():
    v = Version("/p/plate_v0041.dpx", pads=4, postfix="_v", ext="tif")
    for source in (v, VersionFileSystem(v)):
        fs = VersionFileSystem(source, pads=9, postfix="X", ext="Y")
        assert (fs.filename, fs.pads, fs.postfix, fs.ext) == ("/p/plate_v0041.dpx", 4, "_v", "dpx")
        assert fs.current == 41
    # the source's ext counts when the name has no extension
    fs = VersionFileSystem(Version("/p/a.v003.b/c", ext="b/c"))
    assert (fs.ext, fs.current) == ("b/c", 3)
    # the copy is anchored as well
    assert VersionFileSystem(VersionFileSystem("/p/x.v001.exr")).filename == "/p/x.v001.exr"


def test_copy_of_a_relative_version_is_anchored(tmp_path, monkeypatch):
    make_tree(tmp_path, "sh010.v003.exr")
    monkeypatch.chdir(tmp_path)
    v = Version("sh010.v003.exr")
    assert VersionFileSystem(v).filename == os.getcwd() + "/sh010.v003.exr"
    assert v.filename == "sh010.v003.exr"


@pytest.mark.parametrize(
    "value",
    [BaseVersion("/p/a.v001.exr"), pathlib.PurePosixPath("/p/a.v001.exr"), 3, None, b"/p/a.v001.exr"],
    ids=["BaseVersion", "path", "int", "None", "bytes"],
)
def test_refused_filename(value, ext_tb):
    fs = blank()
    with pytest.raises(TypeError) as info:
        fs.__init__(value, pads=4)
    assert info.value.args == ()
    assert ext_tb(info.value) == [(INIT, 140)]
    assert vars(fs) == {}


def test_settings_by_position_and_keyword():
    a = VersionFileSystem("/p/a_x12.exr", 2, "_x", "tif")
    b = VersionFileSystem(ext="tif", postfix="_x", pads=2, filename="/p/a_x12.exr")
    for fs in (a, b):
        assert (fs.pads, fs.postfix, fs.ext, fs.current) == (2, "_x", "exr", 12)


class Probe(BaseVersion):
    """Records how the base constructor is reached."""

    calls = []

    def __init__(self, *args, **kwargs):
        Probe.calls.append((args, kwargs))
        BaseVersion.__init__(self, *args, **kwargs)


class Probed(VersionFileSystem, Probe):
    pass


@pytest.fixture
def probe():
    del Probe.calls[:]
    yield Probe.calls
    del Probe.calls[:]


def test_base_constructor_called_through_super(probe):
    Probed("/p/sh010.v003.exr", 5, postfix="_v")
    assert probe == [(("/p/sh010.v003.exr",), {"pads": 5, "postfix": "_v", "ext": ".*"})]


def test_base_constructor_gets_the_text_of_the_name(probe):
    class Name(str):
        def __str__(self):
            return "/other/plate.v007.exr"

    fs = Probed(Name("/p/sh010.v003.exr"))
    (args, kwargs), = probe
    assert type(args[0]) is str and args[0] == "/other/plate.v007.exr"
    assert fs.filename == "/other/plate.v007.exr"
    assert fs.current == 7
    # The same without the probe in between.
    fs = VersionFileSystem(Name("/p/sh010.v003.exr"))
    assert type(fs.filename) is str and fs.filename == "/other/plate.v007.exr"


def test_super_uses_the_module_global(probe, monkeypatch):
    # With the module global pointing at Probe, super() starts after Probe
    # in the MRO and skips it.
    monkeypatch.setattr(versioner, "VersionFileSystem", Probe)
    fs = Probed("/p/sh010.v003.exr")
    assert probe == []
    assert fs.current == 3


def test_copy_tests_read_module_globals(monkeypatch):
    class Fake:
        filename, pads, postfix, ext = "/p/fake.v002.exr", 4, ".v", ".*"

    monkeypatch.setattr(versioner, "Version", Fake)
    fs = blank()
    VersionFileSystem.__init__(fs, Fake())
    assert (fs.filename, fs.pads, fs.current) == ("/p/fake.v002.exr", 4, 2)


@pytest.mark.parametrize(
    "missing, line, stored",
    [("filename", 135, []), ("pads", 136, ["filename"]), ("postfix", 137, ["filename"]), ("ext", 138, ["filename"])],
)
def test_copy_from_incomplete_source(missing, line, stored, ext_tb):
    src = blank(Version)
    for name, value in (("filename", "/p/a.v001.exr"), ("pads", 3), ("postfix", ".v"), ("ext", "exr")):
        if name != missing:
            setattr(src, name, value)
    fs = blank()
    with pytest.raises(AttributeError) as info:
        fs.__init__(src)
    assert ext_tb(info.value) == [(INIT, line)]
    assert list(vars(fs)) == stored


def test_entry_when_storing_the_name_fails(ext_tb):
    class Locked(VersionFileSystem):
        def __setattr__(self, name, value):
            raise KeyError(name)

    with pytest.raises(KeyError) as info:
        Locked("/p/a.v001.exr")
    assert ext_tb(info.value) == [(INIT, 133)]


def test_entry_when_the_class_test_fails(monkeypatch, ext_tb):
    monkeypatch.setattr(versioner, "Version", "not a class")
    with pytest.raises(TypeError) as info:
        VersionFileSystem(Version("/p/a.v001.exr"))
    assert ext_tb(info.value) == [(INIT, 134)]


@pytest.mark.parametrize(
    "override, line",
    [("path.exists", 142), ("path.isabs", 142), ("getcwd", 143)],
)
def test_entries_of_the_anchoring(override, line, tmp_path, monkeypatch, ext_tb):
    make_tree(tmp_path, "sh010.v003.exr")
    monkeypatch.chdir(tmp_path)

    def fail(*args):
        raise OSError(override)

    monkeypatch.setattr(versioner, "os", recording_os(Recorder(), {override: fail}))
    with pytest.raises(OSError) as info:
        VersionFileSystem("sh010.v003.exr")
    assert ext_tb(info.value) == [(INIT, line)]


def test_entry_when_the_base_constructor_fails(ext_tb):
    import re

    with pytest.raises(re.error) as info:
        VersionFileSystem("/p/a.v001.exr", postfix="(")
    assert ext_tb(info.value) == [(INIT, 147), (BASE_INIT, 27)]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "__init__() takes at least 2 positional arguments (1 given)"),
        (("a", 1, 2, 3, 4), {}, "__init__() takes at most 5 positional arguments (6 given)"),
        (("a",), {"width": 3}, "__init__() got an unexpected keyword argument 'width'"),
        (("a", 3), {"pads": 3}, "__init__() got multiple values for keyword argument 'pads'"),
    ],
)
def test_argument_errors(args, kwargs, message, ext_tb):
    with pytest.raises(TypeError) as info:
        VersionFileSystem(*args, **kwargs)
    assert str(info.value) == message
    assert ext_tb(info.value) == [(INIT, 131)]


# --------------------------------------------------------------------------
# Scan order and selection


def test_scan_of_one_directory(tmp_path):
    root = make_tree(
        tmp_path,
        "sh010.v003.exr",
        "sh010.v001.exr",
        "sh010.v002.jpg",
        "sh010.vfinal.txt",
        "other.v001.exr",
        "sh011.v001.exr",
        "sh010_v004.exr",
        "SH010.v005.exr",
    )
    # the object's own file need not exist
    fs = VersionFileSystem(root + "/sh010.v002.exr")
    items = list(fs)
    expected = ["sh010.v001.exr", "sh010.v002.jpg", "sh010.v003.exr", "sh010.vfinal.txt"]
    numbers = [1, 2, 3, None]
    if os.name == "nt":  # fnmatch is blind to case there
        expected, numbers = ["SH010.v005.exr"] + expected, [5] + numbers
    assert rel(root, items) == expected
    assert [item.current for item in items] == numbers
    assert all(item.filename == root + "/" + str(rel(root, [item])[0]) for item in items)


@pytest.mark.parametrize(
    "names, expected",
    [
        # string order, not numeric order
        (["sh010.v999.exr", "sh010.v1000.exr", "sh010.v12345.exr"], ["sh010.v1000.exr", "sh010.v12345.exr", "sh010.v999.exr"]),
        (["sh010.v001.exr", "sh010.v.bak"], ["sh010.v.bak", "sh010.v001.exr"]),
        (["sh010.v2.exr", "sh010.v10.exr", "sh010.v02.exr"], ["sh010.v02.exr", "sh010.v10.exr", "sh010.v2.exr"]),
        # code-point order: upper case before lower case, "_" between them
        pytest.param(["sh010.vb", "sh010.v_", "sh010.vB"], ["sh010.vB", "sh010.v_", "sh010.vb"],
                     marks=pytest.mark.skipif(os.name == "nt", reason="one file on Windows")),
        # the prefix alone is a match; a directory of that name is not
        (["sh010.v", "sh010.vdir/readme.txt"], ["sh010.v"]),
    ],
)
def test_scan_order_within_a_directory(tmp_path, names, expected):
    root = make_tree(tmp_path, *names)
    assert rel(root, VersionFileSystem(root + "/sh010.v001.exr")) == expected


def test_subdirectories_follow_the_top_directory(tmp_path):
    root = make_tree(
        tmp_path,
        "old/sh010.v002.exr",
        "old/deeper/sh010.v000.exr",
        "old/deeper/sh010.v100.exr",
        "zzz/sh010.v007.exr",
        "aaa/sh010.v005.exr",
        "sh010.v003.exr",
        "sh010.v001.exr",
        "aaa/unrelated.v001.exr",
    )
    found = rel(root, VersionFileSystem(root + "/sh010.v003.exr"))
    assert found[:2] == ["sh010.v001.exr", "sh010.v003.exr"]
    rest = found[2:]
    assert sorted(rest) == sorted(
        ["old/sh010.v002.exr", "old/deeper/sh010.v000.exr", "old/deeper/sh010.v100.exr", "zzz/sh010.v007.exr", "aaa/sh010.v005.exr"]
    )
    # top-down: a directory before its subdirectories; sorted within one
    assert rest.index("old/sh010.v002.exr") < rest.index("old/deeper/sh010.v000.exr")
    assert rest.index("old/deeper/sh010.v000.exr") + 1 == rest.index("old/deeper/sh010.v100.exr")
    # the same order as os.walk's
    order = [r for r, _, files in os.walk(root) if any(f.startswith("sh010.v") for f in files)]
    seen = []
    for name in rest:
        d = os.path.join(root, *name.split("/")[:-1])
        if not seen or seen[-1] != d:
            seen.append(d)
    assert seen == order[1:]


def test_prefix_is_a_wildcard_pattern(tmp_path):
    # The last component of the head is handed to fnmatch unescaped.
    root = make_tree(tmp_path, "sh[01]0.v001.exr", "sh00.v001.exr", "sh10.v002.exr", "sh20.v003.exr")
    fs = VersionFileSystem(root + "/sh[01]0.v001.exr")
    assert fs.head == root + "/sh[01]0.v"
    assert rel(root, fs) == ["sh00.v001.exr", "sh10.v002.exr"]


def test_prefix_ignores_the_settings(tmp_path):
    root = make_tree(tmp_path, "shot_ver001.exr", "shot_ver002.exr", "shot_ver003.exr", "shot_verX.tif", "shot.v001.exr")
    fs = VersionFileSystem(root + "/shot_ver003.exr", postfix="_ver", pads=5)
    assert fs.head == root + "/shot_ver"
    items = list(fs)
    assert rel(root, items) == ["shot_ver001.exr", "shot_ver002.exr", "shot_ver003.exr", "shot_verX.tif"]
    # every item is parsed with the defaults
    for item in items:
        assert (item.pads, item.postfix, item.current) == (3, ".v", None)
    assert [item.ext for item in items] == ["exr", "exr", "exr", "tif"]


def test_head_of_a_name_without_number(tmp_path):
    # head 'sh010' for a name without number: every sh010* file matches
    root = make_tree(tmp_path, "sh010.exr", "sh0100.v001.exr", "sh010.v001.exr", "sh01.v001.exr")
    assert rel(root, VersionFileSystem(root + "/sh010.exr")) == ["sh010.exr", "sh010.v001.exr", "sh0100.v001.exr"]


def test_items_are_plain_objects_with_default_settings(tmp_path):
    class Mine(VersionFileSystem):
        pass

    root = make_tree(tmp_path, "plate_v0041.dpx", "plate_v0042.dpx")
    fs = Mine(root + "/plate_v0041.dpx", pads=4, postfix="_v")
    items = list(fs)
    assert [type(item) for item in items] == [VersionFileSystem, VersionFileSystem]
    assert [vars(item) for item in items] == [vars(VersionFileSystem(str(item))) for item in items]
    assert [(item.pads, item.postfix, item.current) for item in items] == [(3, ".v", 41), (3, ".v", 42)]


def test_items_are_built_by_the_module_global(tmp_path, monkeypatch):
    made = []

    class Built(VersionFileSystem):
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            BaseVersion.__init__(self, *args, **kwargs)

    root = make_tree(tmp_path, "a.v001.exr", "sub/a.v002.exr")
    fs = VersionFileSystem(root + "/a.v001.exr")
    monkeypatch.setattr(versioner, "VersionFileSystem", Built)
    items = list(fs)
    assert [type(item) for item in items] == [Built, Built]
    assert made == [((root + "/a.v001.exr",), {}), ((os.path.join(root, "sub") + "/a.v002.exr",), {})]


def test_relative_names(tmp_path, monkeypatch):
    make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr", "sub/sh010.v001.exr", "sub/sh010.v002.exr")
    monkeypatch.chdir(tmp_path)
    cwd = os.getcwd()
    # an existing name is anchored, so the scan runs in the current directory
    assert [str(i) for i in VersionFileSystem("sh010.v002.exr")][:2] == [cwd + "/sh010.v001.exr", cwd + "/sh010.v002.exr"]
    # a missing bare name has no directory part: nothing is scanned
    assert list(VersionFileSystem("sh010.v009.exr")) == []
    # a missing name in a subdirectory: the walk of 'sub' gives relative
    # paths, and each item, existing, is anchored
    assert [str(i) for i in VersionFileSystem("sub/sh010.v009.exr")] == [
        cwd + "/sub/sh010.v001.exr",
        cwd + "/sub/sh010.v002.exr",
    ]


def test_missing_directory_yields_nothing(tmp_path):
    assert list(VersionFileSystem(str(tmp_path / "nowhere" / "sh010.v001.exr"))) == []
    # a file in place of the directory
    make_tree(tmp_path, "file")
    assert list(VersionFileSystem(str(tmp_path / "file" / "sh010.v001.exr"))) == []


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0,
                    reason="POSIX permissions, not enforced for root")
def test_unreadable_directory_yields_nothing_for_it(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "locked/sh010.v002.exr", "open/sh010.v003.exr")
    (tmp_path / "locked").chmod(0)
    try:
        found = rel(root, VersionFileSystem(root + "/sh010.v001.exr"))
    finally:
        (tmp_path / "locked").chmod(0o755)
    assert found == ["sh010.v001.exr", "open/sh010.v003.exr"]


def test_symbolic_links(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "sub/sh010.v002.exr")
    # a loop back to the top, named like a match: not followed, not yielded
    (tmp_path / "sub" / "sh010.vloop").symlink_to(tmp_path, target_is_directory=True)
    (tmp_path / "sub" / "loop").symlink_to(tmp_path, target_is_directory=True)
    # a link to a file and a dangling link are file names
    (tmp_path / "sh010.v003.exr").symlink_to(tmp_path / "sub" / "sh010.v002.exr")
    (tmp_path / "sh010.v004.exr").symlink_to(tmp_path / "gone")
    found = rel(root, VersionFileSystem(root + "/sh010.v001.exr"))
    # Links list otherwise on Windows (and under Wine): the general path is the truth there.
    expected = (rel(root, plain.VersionFileSystem(root + "/sh010.v001.exr")) if os.name == "nt" else
                ["sh010.v001.exr", "sh010.v003.exr", "sh010.v004.exr", "sub/sh010.v002.exr"])
    assert found == expected


def test_each_scan_reads_the_disk_again(tmp_path):
    root = make_tree(tmp_path, "a.v001.exr")
    fs = VersionFileSystem(root + "/a.v001.exr")
    assert rel(root, fs) == ["a.v001.exr"]
    make_tree(tmp_path, "a.v002.exr")
    assert rel(root, fs) == ["a.v001.exr", "a.v002.exr"]
    os.remove(root + "/a.v001.exr")
    assert rel(root, fs) == ["a.v002.exr"]


def test_scan_uses_the_head_not_the_filename(tmp_path):
    root = make_tree(tmp_path, "a.v001.exr", "b.v001.exr")
    fs = VersionFileSystem(root + "/a.v001.exr")
    fs.filename = root + "/b.v001.exr"
    assert rel(root, fs) == ["a.v001.exr"]
    fs.head = root + "/b.v"
    assert rel(root, fs) == ["b.v001.exr"]


# --------------------------------------------------------------------------
# The generator


@pytest.fixture
def shots(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr", "sub/sh010.v003.exr")
    return root, VersionFileSystem(root + "/sh010.v001.exr")


def test_generator_objects(shots):
    _, fs = shots
    g1, g2 = iter(fs), iter(fs)
    assert g1 is not fs and g1 is not g2
    assert isinstance(g1, collections.abc.Generator)
    assert iter(g1) is g1
    # independent of each other
    assert str(next(g1)) == str(next(g2))
    next(g1)
    assert len(list(g2)) == 2 and len(list(g1)) == 1


def test_exhausted_generator_stays_exhausted(shots):
    _, fs = shots
    g = iter(fs)
    assert len(list(g)) == 3
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(g)
    assert list(g) == []


def test_nothing_runs_before_the_first_request(shots, monkeypatch):
    root, fs = shots
    log = Recorder()
    monkeypatch.setattr(versioner, "os", recording_os(log))
    monkeypatch.setattr(versioner, "fnmatch", recording_fnmatch(log))
    g = iter(fs)
    assert log.calls == []
    first = next(g)
    assert str(first) == root + "/sh010.v001.exr"
    names = log.names()
    # split, walk with the directory alone, the top directory only, then the
    # construction of the first item; the subdirectory is not listed yet
    assert names[:4] == ["path.split", "walk", "walk-step", "fnmatch.filter"]
    assert log.calls[0][1] == (root + "/sh010.v",)
    assert log.calls[1][1:] == ((root,), {})
    assert log.calls[3][1][1] == "sh010.v*"
    assert names.count("walk-step") == 1 and names.count("fnmatch.filter") == 1
    assert names[4:] == ["path.exists", "path.isabs", "path.splitext"]
    # the second item of the same directory needs no further listing
    next(g)
    assert log.names().count("walk-step") == 1
    next(g)
    assert log.names().count("walk-step") == 2


def test_modules_are_looked_up_when_used(shots, monkeypatch):
    root, fs = shots
    g = iter(fs)
    log = Recorder()
    # bound after the generator was made, before it started
    monkeypatch.setattr(versioner, "os", recording_os(log))
    monkeypatch.setattr(versioner, "fnmatch", recording_fnmatch(log))
    next(g)
    assert log.names()[:2] == ["path.split", "walk"]
    # fnmatch is looked up again for the next directory
    other = Recorder()
    monkeypatch.setattr(versioner, "fnmatch", recording_fnmatch(other, filter=lambda names, pattern: []))
    assert rel(root, g) == ["sh010.v002.exr"]
    assert other.names() == ["fnmatch.filter"]


def test_items_are_handed_out_as_found(tmp_path):
    root = make_tree(tmp_path, "a.v001.exr", "a.v002.exr")
    g = iter(VersionFileSystem(root + "/a.v001.exr"))
    first = next(g)
    # the listing of the directory was taken before; a file removed now is
    # still yielded (and, absolute, kept as it is)
    os.remove(root + "/a.v002.exr")
    second = next(g)
    assert (str(first), str(second)) == (root + "/a.v001.exr", root + "/a.v002.exr")
    assert not second.exists


def test_close(shots):
    _, fs = shots
    g = iter(fs)
    next(g)
    assert g.close() is None
    with pytest.raises(StopIteration):
        next(g)
    g = iter(fs)
    g.close()
    assert list(g) == []


def test_throw_at_the_yield_point(shots, ext_tb):
    _, fs = shots
    g = iter(fs)
    next(g)
    with pytest.raises(KeyError) as info:
        g.throw(KeyError("x"))
    assert ext_tb(info.value) == [("__iter__", 155)]
    assert list(g) == []


def test_throw_before_the_start(shots, ext_tb):
    _, fs = shots
    g = iter(fs)
    with pytest.raises(KeyError) as info:
        g.throw(KeyError)
    assert ext_tb(info.value) == [("__iter__", 150)]
    assert list(g) == []


def test_send(shots):
    root, fs = shots
    g = iter(fs)
    with pytest.raises(TypeError, match="just-started"):
        g.send(1)
    assert str(g.send(None)) == root + "/sh010.v001.exr"
    # a value sent at the yield point is ignored
    assert str(g.send("ignored")) == root + "/sh010.v002.exr"


def test_head_without_text(ext_tb):
    fs = VersionFileSystem("README")
    assert fs.head is None
    g = iter(fs)
    with pytest.raises(TypeError) as info:
        next(g)
    assert ext_tb(info.value) == [("__iter__", 151)]
    assert list(g) == []


@pytest.mark.parametrize(
    "os_overrides, fnmatch_filter, line",
    [
        ({"walk": lambda *a: iter([("/r", [], 5)])}, None, 154),
        ({}, lambda names, pattern: ["b", 1], 154),
        ({"walk": lambda *a: 42}, None, 153),
    ],
    ids=["filter-fails", "sort-fails", "walk-fails"],
)
def test_entries_inside_the_scan(shots, monkeypatch, os_overrides, fnmatch_filter, line, ext_tb):
    _, fs = shots
    monkeypatch.setattr(versioner, "os", recording_os(Recorder(), os_overrides))
    monkeypatch.setattr(versioner, "fnmatch", recording_fnmatch(Recorder(), fnmatch_filter))
    with pytest.raises(TypeError) as info:
        list(fs)
    assert ext_tb(info.value) == [("__iter__", line)]


def test_failing_item_ends_the_scan(shots, monkeypatch, ext_tb):
    root, fs = shots
    bad = root + "/sh010.v002.exr"

    def exists(path):
        if path == bad:
            raise OSError("unreadable")
        return os.path.exists(path)

    monkeypatch.setattr(versioner, "os", recording_os(Recorder(), {"path.exists": exists}))
    g = iter(fs)
    first = next(g)
    with pytest.raises(OSError) as info:
        next(g)
    assert ext_tb(info.value) == [("__iter__", 155), (INIT, 142)]
    assert list(g) == []
    assert first.current == 1 and str(first) == root + "/sh010.v001.exr"


# --------------------------------------------------------------------------
# Membership and existence


def test_membership(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v003.exr", "sh010.v1000.exr", "sh010.v0002.exr")
    fs = VersionFileSystem(root + "/sh010.v001.exr")
    found = {n: n in fs for n in (1, 2, 3, 4, 1000, "3", "  3 ", 3.7, True)}
    assert found == {1: True, 2: False, 3: True, 4: False, 1000: True, "3": True, "  3 ": True, 3.7: True, True: True}
    assert fs.__contains__(3) is True and fs.__contains__(4) is False
    assert 2 not in fs
    assert fs.filename == root + "/sh010.v001.exr"
    # the width decides the digits looked for
    wide = VersionFileSystem(root + "/sh010.v0001.exr", pads=4)
    assert (2 in wide, 3 in wide) == (True, False)


def test_membership_on_a_copy_of_the_object(tmp_path):
    root = make_tree(tmp_path, "plate_v07.dpx")
    fs = VersionFileSystem(root + "/plate_v03.dpx", pads=2, postfix="_v")
    before = vars(fs).copy()
    assert 7 in fs and 3 not in fs
    assert vars(fs) == before


def test_membership_of_a_name_without_number(tmp_path):
    root = make_tree(tmp_path, "sh010.exr", "sh010.v003.exr", "sh010_x0004.exr")
    fs = VersionFileSystem(root + "/sh010.exr")
    assert 3 in fs and 4 not in fs
    assert 4 in VersionFileSystem(root + "/sh010.exr", postfix="_x", pads=4)
    assert fs.filename == root + "/sh010.exr"


def test_membership_follows_the_disk(tmp_path):
    root = make_tree(tmp_path, "sh010.v001.exr")
    fs = VersionFileSystem(root + "/sh010.v001.exr")
    assert 2 not in fs
    make_tree(tmp_path, "sh010.v002.exr")
    assert 2 in fs


@pytest.mark.parametrize("value, error", [("abc", ValueError), ("5.0", ValueError), (None, TypeError), ([], TypeError)])
def test_membership_refuses_non_numbers(tmp_path, value, error, ext_tb):
    fs = VersionFileSystem(str(tmp_path / "sh010.v001.exr"))
    with pytest.raises(error) as info:
        value in fs
    assert ext_tb(info.value) == [(CONTAINS, 159), ("kestrum.versioner.BaseVersion.to", 77)]
    assert fs.filename == str(tmp_path / "sh010.v001.exr")


def test_membership_copies_through_the_module_global(tmp_path, monkeypatch):
    made = []

    class Built(VersionFileSystem):
        def __init__(self, source):
            made.append(source)
            BaseVersion.__init__(self, source.filename, source.pads, source.postfix, source.ext)

    root = make_tree(tmp_path, "sh010.v002.exr")
    fs = VersionFileSystem(root + "/sh010.v001.exr")
    monkeypatch.setattr(versioner, "VersionFileSystem", Built)
    assert 2 in fs
    # the copy, then to()'s object of the copy's class, built from the copy
    assert len(made) == 2
    assert made[0] is fs and type(made[1]) is Built
    assert made[1].filename == root + "/sh010.v002.exr"


def test_exists(tmp_path, monkeypatch):
    path = tmp_path / "sh010.v001.exr"
    path.write_text("")
    fs = VersionFileSystem(str(path))
    assert fs.exists is True
    path.unlink()
    assert fs.exists is False
    path.write_text("")
    assert fs.exists is True
    # relative name, anchored at construction: the directory change after
    # it does not matter
    monkeypatch.chdir(tmp_path)
    rel_fs = VersionFileSystem("sh010.v001.exr")
    monkeypatch.chdir("/")
    assert rel_fs.exists is True
    assert VersionFileSystem("sh010.v001.exr").exists is False
    # the current name is tested, whatever it was parsed from
    fs.filename = str(tmp_path / "nowhere")
    assert fs.exists is False


def test_exists_through_the_module_os(tmp_path, monkeypatch, ext_tb):
    fs = VersionFileSystem(str(tmp_path / "sh010.v001.exr"))
    monkeypatch.setattr(versioner, "os", recording_os(Recorder(), {"path.exists": lambda p: "sure"}))
    assert fs.exists == "sure"
    del fs.filename
    with pytest.raises(AttributeError) as info:
        fs.exists
    assert ext_tb(info.value) == [(EXISTS, 211)]


# --------------------------------------------------------------------------
# Leaks


def test_no_leaks(tmp_path, monkeypatch, leak_check):
    root = make_tree(tmp_path, "sh010.v001.exr", "sh010.v002.exr", "sh010.vx", "sub/sh010.v003.exr")
    fs = VersionFileSystem(root + "/sh010.v001.exr")
    leak_check(lambda: list(fs), objects=(fs,), iterations=60, warmup=30)

    def half_way():
        g = iter(fs)
        next(g)
        del g

    leak_check(half_way, objects=(fs,), iterations=60, warmup=30)

    def thrown():
        g = iter(fs)
        next(g)
        g.throw(KeyError)

    leak_check(thrown, raises=KeyError, objects=(fs,), iterations=60, warmup=30)
    leak_check(lambda: iter(fs), objects=(fs,))
    readme = VersionFileSystem("README")
    leak_check(lambda: next(iter(readme)), raises=TypeError, objects=(readme,))
    leak_check(lambda: (2 in fs, 7 in fs, fs.exists), objects=(fs,))
    leak_check(lambda: "abc" in fs, raises=ValueError, objects=(fs,))
    monkeypatch.chdir(tmp_path)
    leak_check(lambda: VersionFileSystem("sh010.v001.exr"))
    v = Version(root + "/sh010.v001.exr")
    leak_check(lambda: VersionFileSystem(v, pads=5), objects=(v,))
    leak_check(lambda: VersionFileSystem(3), raises=TypeError)
