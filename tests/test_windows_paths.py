"""Names as a Windows workstation writes them (drive letters, UNC shares of
the studio's file server, backslashes and mixed slashes, names that differ in
case only) against the plain rendering (plain.py), which goes through os.path,
os.walk and fnmatch as they are on this system: ntpath and case-insensitive
matching on Windows, posixpath on Linux, where these names are plain
characters. The module must agree with it either way."""

import json
import os
import sys

import pytest

import plain
from kestrum import errors
from kestrum.versioner import Version, VersionFileSystem
from trees import make_tree

WINDOWS = sys.platform == "win32"

NAMES = [
    r"C:\show\sh010\comp\sh010_comp.v012.exr",
    r"c:\show\sh010\comp\sh010_comp.v999.exr",
    r"C:/show/sh010/comp/sh010_comp.v001.exr",
    r"C:\show/sh010\comp/sh010_comp.v002.exr",
    r"C:sh010_comp.v003.exr",  # relative to the drive's own directory
    r"\\server\share\show\sh010\plates\plate.v0042.dpx",
    r"//server/share/show/sh010/plates/plate.v7.dpx",
    r"\\?\C:\show\sh010\comp.v010.exr",
    r"\show\sh010\comp.v004.exr",  # rooted, no drive: isabs differs by minor
    r"C:\show.v2\sh010\comp",  # the dot of a folder is no extension
    r"C:\show\sh010.v3\comp.V004.EXR",
    r"\\server\share.v1",
    r"C:\show\sh010\.v005",
    r"C:\show\sh010\comp.v006.",
    "C:\\show\\sh010\\comp.v007.exr\\",
]


def outcome(op):
    try:
        value = op()
    except (errors.NoValidVersion, errors.NoVersionNumber, errors.VersionZero,
            errors.ExceededPaddingVersion) as e:
        return type(e).__name__
    except Exception as e:  # noqa: BLE001 - the kind must agree as well
        return "error " + type(e).__name__
    return None if value is None else str(value)


def observe(cls, name, **settings):
    try:
        v = cls(name, **settings)
    except Exception as e:  # noqa: BLE001 - an extension that is no pattern
        return ("error", type(e).__name__)
    fields = (v.filename, v.head, v.version, v.tail, v.ext, v.current, v.isVersionless)
    return fields + tuple(outcome(op) for op in (
        lambda: cls(name, **settings).versionless,
        lambda: cls(name, **settings).next,
        lambda: cls(name, **settings).previous,
        lambda: cls(name, **settings).to(7),
        lambda: cls(name, **settings).to(1234),
    ))


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("settings", [{}, {"pads": 4}, {"ext": "exr"}, {"postfix": "_v"}])
def test_names_are_split_and_stepped_as_plain(name, settings):
    assert observe(Version, name, **settings) == observe(plain.Version, name, **settings)


@pytest.mark.parametrize("name", NAMES)
def test_file_system_names_are_anchored_as_plain(name, tmp_path, monkeypatch):
    # Nothing of these exists: the name is kept, and whether it is absolute
    # is asked of this system's os.path.
    monkeypatch.chdir(tmp_path)

    def anchored(cls):
        try:
            fs = cls(name)
        except Exception as e:  # noqa: BLE001 - an extension that is no pattern
            return type(e).__name__
        return fs.filename, fs.exists

    assert anchored(VersionFileSystem) == anchored(plain.VersionFileSystem)


def scans(cls, name):
    fs = cls(name)
    return ([str(item) for item in fs], outcome(lambda: cls(name).first),
            outcome(lambda: cls(name).last), outcome(lambda: cls(name).next),
            outcome(lambda: cls(name).previous), [n in cls(name) for n in (1, 2, 3, 4, 9)])


TREE = [
    "sh010/comp/sh010_comp.v001.exr",
    "sh010/comp/SH010_comp.v002.exr",
    "sh010/comp/sh010_COMP.v003.exr",
    "sh010/comp/Sh010_Comp.v004.EXR",
    "sh010/comp/sub/sh010_comp.v009.exr",
    "sh010/comp/other.v001.exr",
]


@pytest.mark.parametrize("spelling", [
    "{root}/sh010/comp/sh010_comp.v001.exr",
    "{root}\\sh010\\comp\\sh010_comp.v001.exr",
    "{root}/sh010\\comp/SH010_COMP.v003.exr",
    "{ROOT}\\SH010\\COMP\\sh010_comp.v002.exr",
    # doubled separators, and the extended-length form (a UNC-like prefix, \\?\)
    "{root}\\\\sh010//comp\\/sh010_comp.v001.exr",
    "\\\\?\\{root}\\sh010\\comp\\sh010_comp.v001.exr",
    "\\\\?\\{ROOT}\\sh010\\comp\\Sh010_Comp.v004.EXR",
])
def test_scans_match_names_as_plain(spelling, tmp_path):
    # Where "\\" separates nothing, a spelling names one file in the parent
    # of {root}: that parent is this test's own, not the directory that
    # holds every test's trees.
    make_tree(tmp_path / "t", *TREE)
    root = str(tmp_path / "t")
    name = spelling.format(root=root, ROOT=root.upper() if WINDOWS else root)
    assert scans(VersionFileSystem, name) == scans(plain.VersionFileSystem, name)


@pytest.mark.skipif(not WINDOWS, reason="drive-relative names and case-blind matching are Windows'")
def test_windows_scan_sees_every_case_and_the_drive_relative_name(tmp_path, monkeypatch):
    make_tree(tmp_path, *TREE)
    monkeypatch.chdir(tmp_path / "sh010")
    drive = os.path.splitdrive(str(tmp_path))[0]
    # The drive-relative name exists but is not absolute: it is anchored to
    # the working directory as written, which names nothing (as plain does).
    for name in (r"comp\sh010_comp.v002.exr", drive + r"comp\sh010_comp.v002.exr"):
        assert scans(VersionFileSystem, name) == scans(plain.VersionFileSystem, name)
    found = scans(VersionFileSystem, r"comp\sh010_comp.v002.exr")
    # fnmatch normcases: the four spellings of the name are all versions of it.
    assert len([item for item in found[0] if "sub" not in item]) == 4


# The module imported where os.path is ntpath, as on Windows, here on any
# system: whatever it computes natively for posixpath must not stand in for
# ntpath (splitext and isabs of drive and UNC names, os.walk's joins,
# fnmatch's case-blind matching).
AS_ON_WINDOWS = r'''
import json, ntpath, os, sys
os.path = ntpath
sys.modules["os.path"] = ntpath
sys.path.insert(0, sys.argv[1])
import plain
from kestrum.versioner import Version, VersionFileSystem
from test_windows_paths import NAMES, observe, scans

names = NAMES + ["sh010/comp/SH010_comp.v002.exr"]
out = {"names": [observe(Version, n) == observe(plain.Version, n) for n in names]}
os.chdir(sys.argv[2])
out["anchored"] = [(VersionFileSystem(n).filename, plain.VersionFileSystem(n).filename)
                   for n in ["sh010\\comp\\sh010_comp.v001.exr", "sh010/comp/sh010_comp.v001.exr"]]
out["scans"] = [scans(VersionFileSystem, n) == scans(plain.VersionFileSystem, n) for n in names[-1:]]
# Names that exist (on Linux each is one file of the working directory): the
# module asks neither exists nor isabs where ntpath certainly calls the name
# absolute, and anchors it where plain does.
existing = [r"C:\x.v001.exr", r"?:/x.v002.exr", r"\\server\share\x.v003.exr",
            r"\\server\x.v004.exr", r"\\?\C:\x.v005.exr", r"\x.v006.exr", r"C:x.v007.exr",
            r"C:", r"\\", "\\/x.v008.exr"]
out["existing"] = []
for n in existing:
    if "/" not in n:
        open(n, "w").close()
    asked = []
    sys.setprofile(lambda frame, event, arg: event == "call" and
                   frame.f_code.co_name in ("exists", "isabs") and asked.append(frame.f_code.co_name))
    try:
        module_name = VersionFileSystem(n).filename
    finally:
        sys.setprofile(None)
    out["existing"].append([n, module_name, plain.VersionFileSystem(n).filename, asked])
out["found"] = len(scans(plain.VersionFileSystem, names[-1])[0])
print(json.dumps(out))
'''


@pytest.mark.skipif(WINDOWS, reason="the real ntpath is tested by the tests above there")
def test_module_under_ntpath_agrees_with_plain(tmp_path):
    from trees import run_child

    make_tree(tmp_path, *TREE)
    child = run_child(AS_ON_WINDOWS, os.path.dirname(__file__), str(tmp_path))
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout)
    assert all(out["names"]), [n for n, ok in zip(NAMES, out["names"]) if not ok]
    for module_name, plain_name in out["anchored"]:
        assert module_name == plain_name
    assert all(out["scans"])
    assert out["found"] == 4  # every case of the name, as fnmatch matches under ntpath
    skipped = {r"C:\x.v001.exr", r"?:/x.v002.exr"}
    if sys.version_info >= (3, 12):
        skipped |= {r"\\server\share\x.v003.exr", r"\\server\x.v004.exr",
                    r"\\?\C:\x.v005.exr", r"\\", "\\/x.v008.exr"}
    for name, module_name, plain_name, asked in out["existing"]:
        assert module_name == plain_name, name
        assert (asked == []) == (name in skipped), (name, asked)


@pytest.mark.no_refleak_rerun  # a child process, with 300 examples of its own
def test_names_and_scans_under_ntpath_rules(tmp_path):
    # The module takes os.path for ntpath where it is ntpath at import (on
    # Windows, and in the child here): its extensions must be ntpath's, its
    # parsing the plain rendering's, the native path must be taken for the
    # names and left for a stand-in, and the scans, which stay on the general
    # path there, must see what plain sees.
    from trees import run_child

    with open(os.path.join(os.path.dirname(__file__), "ntpath_child.py")) as f:
        source = f.read()
    child = run_child(source, os.path.dirname(__file__), "300", str(tmp_path), timeout=600)
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout.splitlines()[-1])
    assert out["differences"] == []
    assert out["calls"] == [] and out["restored"] == []
    assert out["rebound"] == [1, "exr"]
    for module_side, plain_side in out["scans"]:
        assert module_side == plain_side
    # One of the spellings lists the folder: fnmatch folds case under ntpath,
    # so every spelling of the name is there; sub's on Windows only (on
    # Linux os.walk's backslash join names no folder).
    assert max(len(plain_side[0]) for _, plain_side in out["scans"]) == (5 if WINDOWS else 4)
