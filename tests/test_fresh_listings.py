"""What a listing taken ahead may be trusted for: within one native query it
is used as it is, each directory opened once; after the caller's code ran it
is checked, links' kinds asked again, and on mounts whose directories keep
fixed times the directory is listed again. Held against os.walk advanced in
lockstep over the same tree, through a FUSE mount that delays each directory
open (fuse_delay.c)."""

import os
import shutil
import sys
import time

import pytest

if os.name == "nt":
    pytest.skip("the native walk's listings taken ahead (delay shim, FUSE), closed on Windows",
                allow_module_level=True)

from kestrum.versioner import VersionFileSystem

from fuse_mount import DelayingMount, Unavailable
from test_hostile_trees import plain_scan
from test_read_ahead import age, build, touch


@pytest.fixture
def mounted(tmp_path):
    """mounted(delay_us=..., fixed_times=...): tmp_path/src served through the
    delaying mount; the mount is taken down at the end."""
    source = tmp_path / "src"
    source.mkdir()
    mounts = []

    def mount(**options):
        try:
            m = DelayingMount(str(source), **options).__enter__()
        except Unavailable as why:
            pytest.skip(str(why))
        mounts.append(m)
        return m

    mount.source = str(source)
    yield mount
    for m in mounts:
        m.__exit__(None, None, None)


def within_x(top, change):
    """The scan and the plain rendering advanced into x, a directory below
    the top whose subdirectories the scan has listed ahead by then (the
    read-ahead starts with the second directory handed out), then
    ``change()``, then both finished."""
    scan = iter(VersionFileSystem(top + "/sh.v001.exr"))
    plain = plain_scan(top + "/sh.v")
    ours = [next(scan).filename for _ in range(2)]
    theirs = [next(plain) for _ in range(2)]
    assert ours[1] == top + "/x/sh.v002.exr"
    time.sleep(0.1)
    change()
    ours += [i.filename for i in scan]
    theirs += list(plain)
    return ours, theirs


def x_tree(top, dirs, files):
    """A tree of the scan below top/x: sh.v001.exr in the top, sh.v002.exr
    and sh.v003.exr in x, then `dirs` and `files` as for build() below x."""
    build(top, ["x"], [("", 1), ("x", 2), ("x", 3)])
    build(top + "/x", dirs, files)


def age_apart(top):
    """Old times, each directory its own (directories that share their times
    to the nanosecond are taken for a mount that keeps them fixed)."""
    seconds = 1_000_000_000
    for root, dirnames, _ in os.walk(top):
        for name in dirnames + [""]:
            seconds += 1
            os.utime(os.path.join(root, name), (seconds, seconds))


QUERIES = [
    ("last", lambda fs: fs.last),
    ("first", lambda fs: fs.first),
    ("next", lambda fs: fs.next),
    ("previous", lambda fs: fs.previous),
    ("exists", lambda fs: fs.exists),
    ("in", lambda fs: 5 in fs),
]


@pytest.mark.no_refleak_rerun  # counts the daemon's opens, not references
@pytest.mark.parametrize("delay_us", [0, 1000])
def test_each_directory_opened_once_per_native_query(mounted, delay_us):
    # A fresh tree: on a remote file system no listing taken ahead of it
    # passes the check at arrival, so a query that checked one would list it
    # again.
    build(mounted.source, [], [("sh.v%03d" % v, f) for v in range(1, 31) for f in range(3)]
          + [("", v) for v in range(1, 31)])
    mount = mounted(delay_us=delay_us)
    fs = VersionFileSystem(mount.path + "/sh.v005.exr")
    for name, query in QUERIES:
        before = mount.opens()
        query(fs)
        opened = mount.opens() - before
        assert opened <= 31, (name, opened)
        if name in ("last", "next", "previous"):  # these walk the whole tree
            assert opened == 31, (name, opened)


def retarget(path, to):
    """The link target `path` made a directory (to='dir', with a version file
    in it) or a file (to='file'), through the mount."""
    if os.path.isdir(path):
        for name in os.listdir(path):
            os.remove(os.path.join(path, name))
        os.rmdir(path)
    elif os.path.exists(path):
        os.remove(path)
    if to == "dir":
        os.mkdir(path)
        touch(os.path.join(path, "sh.v300.exr"))
    else:
        touch(path)


@pytest.mark.parametrize("mount", [False, True], ids=["local", "fuse"])
@pytest.mark.parametrize("start,end", [("dir", "file"), ("file", "dir")])
def test_link_retargeted_while_suspended(mounted, mount, start, end):
    # x/d*/sh.v050.exr lead to T. Whether each is a file of the scan (an
    # item) or a directory (not entered) is decided when the walk reaches
    # its directory. (The first of them the walk lists when it reaches it,
    # the others ahead.)
    source = mounted.source
    x_tree(source, [], [("d%d" % i, 10 + i) for i in range(5)])
    retarget(os.path.join(source, "T"), start)
    for i in range(5):
        os.symlink("../../T", os.path.join(source, "x", "d%d" % i, "sh.v050.exr"))
    age_apart(source)
    top = mounted(delay_us=1000).path if mount else source
    time.sleep(0.1)
    ours, theirs = within_x(top, lambda: retarget(os.path.join(top, "T"), end))
    assert ours == theirs
    assert sum(p.endswith("/sh.v050.exr") for p in ours) == (5 if end == "file" else 0)


@pytest.mark.parametrize("when", ["in the top", "in a"])
@pytest.mark.parametrize("case", ["dir replaced by a link", "link replaced by a dir"])
def test_link_decision_taken_when_os_walk_takes_it(tmp_path, case, when):
    # Up to 3.11 os.walk asks islink of b when it reaches b; from 3.12 on as
    # it moves on from the top, and then lists whatever b leads to. The
    # change comes while the scan is within the top's items, before both,
    # or within a, between the two.
    top = str(tmp_path / "top")
    build(top, ["a"], [("", 1), ("", 4), ("a", 10), ("a", 11), ("a", 12)])
    other = str(tmp_path / "other")
    build(other, [], [("", 888)])
    for name in ("b%d" % i for i in range(20)):  # one the system lists after a
        b = os.path.join(top, name)
        if case == "dir replaced by a link":
            build(top, [name], [(name, 20)])
        else:
            os.symlink(other, b)
        order = os.listdir(top)
        if order.index(name) > order.index("a"):
            break
        os.remove(b) if os.path.islink(b) else shutil.rmtree(b)
    age(top)
    time.sleep(0.1)
    taken = 1 if when == "in the top" else 3
    scan = iter(VersionFileSystem(top + "/sh.v001.exr"))
    plain = plain_scan(top + "/sh.v")
    ours = [next(scan).filename for _ in range(taken)]
    theirs = [next(plain) for _ in range(taken)]
    assert os.path.dirname(ours[-1]) == (top if when == "in the top" else top + "/a")
    time.sleep(0.05)
    if case == "dir replaced by a link":
        os.rename(b, top + "/gone")
        os.symlink(other, b)
    else:
        os.unlink(b)
        build(top, [name], [(name, 21)])
    ours += [i.filename for i in scan]
    theirs += list(plain)
    assert ours == theirs
    entered = b + "/sh.v888.exr" in ours or b + "/sh.v021.exr" in ours
    if when == "in the top":
        assert entered == (case == "link replaced by a dir")
    else:
        assert entered == ((sys.version_info >= (3, 12)) == (case == "dir replaced by a link"))


@pytest.mark.parametrize("fixed_times", [None, 1_000_000_000, 0],
                         ids=["times kept", "fixed times", "time zero"])
@pytest.mark.parametrize("dirs", [30, 2])
def test_version_added_through_a_mount_while_suspended(mounted, fixed_times, dirs):
    # Where the mount keeps its directories' times, the check at arrival
    # sees what was added through it; where it keeps them fixed, nothing
    # could tell, and the directories are listed again. With one directory
    # listed ahead (of two: the first is listed when the walk reaches it),
    # nothing yet shows which kind the mount is.
    x_tree(mounted.source, [], [("d%02d" % i, i + 10) for i in range(dirs)])
    age_apart(mounted.source)
    top = mounted(delay_us=1000, fixed_times=fixed_times).path
    time.sleep(0.1)

    def change():
        for i in range(dirs):
            touch(os.path.join(top, "x", "d%02d" % i, "sh.v999.exr"))

    ours, theirs = within_x(top, change)
    assert ours == theirs
    assert sum(p.endswith("/sh.v999.exr") for p in ours) == dirs
