"""Scans of hostile directory trees: unreadable and looping directories,
dangling links, a tree that changes under a suspended scan, huge and very
deep directories, names that do not decode or hold line breaks.

Every scan is run twice, once as the module runs it by itself and once with
`os.walk` and `fnmatch.filter` replaced by thin wrappers (which forces the
general path through the interpreter's own functions), and both are held
against a plain-Python rendering built from os.walk, fnmatch.filter and
sorted."""

import fnmatch
import os
import re
import sys
import tracemalloc
import types

import pytest

if os.name == "nt":
    pytest.skip("POSIX trees (modes, names with * and ?, undecodable bytes) for the native "
                "walk, which is closed on Windows",
                allow_module_level=True)

from kestrum.versioner import VersionFileSystem


@pytest.fixture(params=["native", "general"])
def scan_path(request, monkeypatch, vmod):
    if request.param == "general":
        os_standin = types.ModuleType("os_standin")
        os_standin.path, os_standin.getcwd = os.path, os.getcwd
        os_standin.walk = lambda top: os.walk(top)
        fnmatch_standin = types.ModuleType("fnmatch_standin")
        fnmatch_standin.filter = lambda names, pattern: fnmatch.filter(names, pattern)
        monkeypatch.setattr(vmod, "os", os_standin)
        monkeypatch.setattr(vmod, "fnmatch", fnmatch_standin)
    return request.param


def plain_scan(head):
    """The scan as os.walk, fnmatch.filter and sorted give it: the paths of
    the items, in order."""
    dirname, basename = os.path.split(head)
    for root, _, filenames in os.walk(dirname):
        for name in sorted(fnmatch.filter(filenames, basename + "*")):
            yield root + "/" + name


def touch(*paths):
    for path in paths:
        os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o644))


def scanned(fs):
    return [str(item) for item in fs]


# --------------------------------------------------------------------------
# Permissions and links


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0,
                    reason="POSIX permissions, not enforced for root")
def test_unreadable_and_unsearchable_directories(tmp_path, scan_path):
    top = str(tmp_path)
    for sub in ("locked", "locked/inner", "blind", "open"):
        os.mkdir(os.path.join(top, sub))
        touch(os.path.join(top, sub, "sh.v002.exr"))
    touch(top + "/sh.v001.exr")
    os.chmod(top + "/locked", 0)  # cannot be listed
    os.chmod(top + "/blind", 0o300)  # cannot be listed, can be entered
    try:
        fs = VersionFileSystem(top + "/sh.v001.exr")
        found = scanned(fs)
        assert found == list(plain_scan(fs.head))
    finally:
        os.chmod(top + "/locked", 0o755)
        os.chmod(top + "/blind", 0o755)
    assert found[0] == top + "/sh.v001.exr" and top + "/open/sh.v002.exr" in found
    assert not any("/locked/" in name or "/blind/" in name for name in found)


def test_link_loops_and_dangling_links(tmp_path, scan_path):
    top = str(tmp_path)
    os.mkdir(top + "/sub")
    touch(top + "/sh.v001.exr", top + "/sub/sh.v004.exr")
    os.symlink(top, top + "/loop")  # a loop back to the top
    os.symlink("..", top + "/sub/up")  # a relative loop
    os.symlink(top + "/sub", top + "/sh.vdir")  # a link to a directory, named like a match
    os.symlink(top + "/gone", top + "/sh.v002.exr")  # dangling
    os.symlink("sh.v003.exr", top + "/sh.v003.exr")  # points at itself
    os.symlink("sh.v006.exr", top + "/sh.v005.exr")  # two links pointing at each other
    os.symlink("sh.v005.exr", top + "/sh.v006.exr")
    fs = VersionFileSystem(top + "/sh.v001.exr")
    items = list(fs)
    assert [str(i) for i in items] == list(plain_scan(fs.head))
    expected = ["sh.v001.exr", "sh.v002.exr", "sh.v003.exr", "sh.v005.exr", "sh.v006.exr", "sub/sh.v004.exr"]
    assert [str(i) for i in items] == [top + "/" + name for name in expected]
    assert [i.current for i in items] == [1, 2, 3, 5, 6, 4]
    assert [i.exists for i in items] == [True, False, False, False, False, True]
    assert (fs.first.current, fs.last.current, fs.next.current) == (1, 6, 2)


# --------------------------------------------------------------------------
# A tree that changes while the scan is suspended


def mutate_top(top):
    os.remove(top + "/sh.v002.exr")  # already listed with the top directory
    os.rename(top + "/a", top + "/z")  # already listed among its subdirectories
    os.mkdir(top + "/new")  # created after the listing
    touch(top + "/new/sh.v009.exr", top + "/sh.v010.exr")


def mutate_below(top):
    os.rename(top + "/b", top + "/b2")
    os.remove(top + "/a/sh.v005.exr")
    touch(top + "/a/sh.v011.exr")


@pytest.mark.parametrize("taken, mutate", [(1, mutate_top), (4, mutate_below)], ids=["top", "below"])
def test_tree_changes_while_the_scan_is_suspended(tmp_path, scan_path, taken, mutate):
    def tree(top):
        for sub in ("a", "b", "b/c"):
            os.makedirs(os.path.join(top, sub), exist_ok=True)
        touch(*(os.path.join(top, name) for name in (
            "sh.v001.exr", "sh.v002.exr", "sh.v003.exr", "a/sh.v004.exr", "a/sh.v005.exr",
            "b/sh.v006.exr", "b/c/sh.v007.exr")))

    # The module and the plain rendering scan twin trees in lockstep.
    ours, theirs = str(tmp_path / "ours"), str(tmp_path / "theirs")
    tree(ours), tree(theirs)
    scan = iter(VersionFileSystem(ours + "/sh.v001.exr"))
    plain = plain_scan(theirs + "/sh.v")
    before = [str(next(scan)) for _ in range(taken)]
    expected_before = [next(plain) for _ in range(taken)]
    mutate(ours), mutate(theirs)
    rest = [str(item) for item in scan]
    expected_rest = list(plain)
    rel = lambda top, names: [name[len(top):] for name in names]  # noqa: E731
    assert rel(ours, before) == rel(theirs, expected_before)
    assert rel(ours, rest) == rel(theirs, expected_rest)
    assert "/sh.v002.exr" in rel(ours, before + rest)  # listed before it went
    assert not [name for name in rel(ours, rest) if name.startswith(("/z/", "/b2/"))]


# --------------------------------------------------------------------------
# Size and depth


@pytest.fixture(scope="module")
def crowded(tmp_path_factory):
    """One directory of 100,000 files, half of them matching."""
    top = str(tmp_path_factory.mktemp("crowded"))
    for i in range(100000):
        name = "sh.v%06d.exr" % (99999 - i) if i % 2 else "sh_%06d.v1.exr" % i
        touch(top + "/" + name)
    return top


def test_hundred_thousand_entries_in_one_directory(crowded, scan_path):
    fs = VersionFileSystem(crowded + "/sh.v000002.exr")
    found = scanned(fs)
    assert len(found) == 50000
    assert found == sorted(found) == list(plain_scan(fs.head))
    assert str(fs.first) == crowded + "/sh.v000000.exr"
    assert (str(fs.previous), str(fs.next)) == (found[0], found[2])


def chain(monkeypatch, root, depth, files_at):
    """Create root/d/d/... `depth` levels deep with the file sh.vNNNN.exr at
    each level of `files_at` (0 is the top). Works from inside the tree, so
    paths longer than the system allows can be made. Returns a function that
    removes it again (without the recursion of shutil.rmtree)."""
    monkeypatch.chdir(root)
    for level in range(depth + 1):
        if level in files_at:
            touch("sh.v%04d.exr" % level)
        if level < depth:
            os.mkdir("d")
            os.chdir("d")

    def remove():
        for level in range(depth, -1, -1):
            if level in files_at:
                os.remove("sh.v%04d.exr" % level)
            if level:
                os.chdir("..")
                os.rmdir("d")

    return remove


def path_at(root, level):
    return str(root) + "/d" * level + "/sh.v%04d.exr" % level


def test_tree_500_levels_deep(tmp_path, monkeypatch, scan_path):
    remove = chain(monkeypatch, tmp_path, 500, {0, 250, 500})
    try:
        fs = VersionFileSystem(path_at(tmp_path, 0))
        found = scanned(fs)
        assert found == [path_at(tmp_path, level) for level in (0, 250, 500)]
        assert found == list(plain_scan(fs.head))
        assert fs.last.current == 500
    finally:
        remove()


def test_tree_deeper_than_the_recursion_limit(tmp_path, monkeypatch, scan_path):
    depth = sys.getrecursionlimit() + 100
    remove = chain(monkeypatch, tmp_path, depth, {0, depth})
    try:
        fs = VersionFileSystem(path_at(tmp_path, 0))
        expected = [path_at(tmp_path, level) for level in (0, depth)]
        if scan_path == "native":
            assert scanned(fs) == expected
        else:
            # Through the interpreter's os.walk, whatever it gives: on the
            # versions whose os.walk recurses, a RecursionError.
            try:
                plain = list(plain_scan(fs.head))
            except RecursionError:
                with pytest.raises(RecursionError):
                    scanned(fs)
            else:
                assert plain == expected and scanned(fs) == expected
    finally:
        remove()


def test_tree_deeper_than_a_path_can_be(tmp_path, monkeypatch):
    depth = 2100  # "/d" each: past the 4096 bytes of a path
    remove = chain(monkeypatch, tmp_path, depth, {0, 10, depth})
    try:
        found = scanned(VersionFileSystem(path_at(tmp_path, 0)))
        # the levels that cannot be named are skipped like unreadable ones
        assert found == [path_at(tmp_path, 0), path_at(tmp_path, 10)]
    finally:
        remove()


# --------------------------------------------------------------------------
# Hostile names

HOSTILE = [
    b"sh.v001.exr",
    b"sh.v002\xff.exr",  # not valid in the file-system encoding
    b"sh.v\xff003.exr",
    b"sh.v004.\xff",
    b"sh.v005\n.exr",  # line breaks
    b"sh.v006.exr\n",
    b"sh.v\n007.exr",
    b"sh.v008.e\nxr",
    b"sh[1].v001.exr",  # glob characters
    b"sh1.v002.exr",
    b"sh*.v003.exr",
    b"sh?.v004.exr",
    "sh.v010.\u00e9\u0301".encode(),
    b"sh.v011 .exr",
    b"-sh.v012.exr",
]


@pytest.fixture
def hostile(tmp_path):
    top = os.fsencode(str(tmp_path))
    os.mkdir(os.path.join(top, b"sub\xff"))
    for name in HOSTILE:
        touch(os.path.join(top, name), os.path.join(top, b"sub\xff", name))
    return str(tmp_path)


@pytest.mark.parametrize(
    "name",
    ["sh.v001.exr", "sh[1].v001.exr", "sh*.v003.exr", "sh?.v004.exr", os.fsdecode(b"sh.v002\xff.exr")],
    ids=["plain", "brackets", "star", "question", "undecodable"],
)
def test_hostile_names(hostile, scan_path, name):
    fs = VersionFileSystem(hostile + "/" + name)
    items = list(fs)
    assert [str(i) for i in items] == list(plain_scan(fs.head))
    assert all(i.exists and os.path.exists(os.fsencode(str(i))) for i in items)


def test_numbers_of_hostile_names(hostile, scan_path):
    items = list(VersionFileSystem(hostile + "/sh.v001.exr"))
    top = [i for i in items if "/sub" not in str(i)]
    numbers = {os.fsencode(str(i))[len(os.fsencode(hostile)) + 1:]: i.current for i in top}
    assert numbers == {
        b"sh.v001.exr": 1,
        b"sh.v002\xff.exr": None,  # the digits are not followed by the extension
        b"sh.v\xff003.exr": None,
        b"sh.v004.\xff": 4,
        b"sh.v005\n.exr": None,  # the pattern does not cross the line break
        b"sh.v006.exr\n": 6,  # ... unless the extension holds it
        b"sh.v\n007.exr": None,
        b"sh.v008.e\nxr": 8,
        "sh.v010.\u00e9\u0301".encode(): 10,
        b"sh.v011 .exr": None,
    }


def test_an_item_that_cannot_be_built_ends_the_scan(tmp_path, scan_path):
    top = str(tmp_path)
    touch(top + "/sh.v001.exr", top + "/sh.v002.e(x", top + "/sh.v003.exr")
    fs = VersionFileSystem(top + "/sh.v001.exr")
    scan = iter(fs)
    assert str(next(scan)) == top + "/sh.v001.exr"
    with pytest.raises(re.error):  # the extension makes the name pattern invalid
        next(scan)
    assert list(scan) == []
    assert fs.first.current == 1
    for member in (list, lambda fs: fs.last, lambda fs: fs.next, lambda fs: fs.previous):
        with pytest.raises(re.error):
            member(fs)


# --------------------------------------------------------------------------
# Memory


def test_no_leaks_scanning_a_hostile_tree(hostile, tmp_path, leak_check):
    fs = VersionFileSystem(hostile + "/sh.v001.exr")
    leak_check(lambda: list(fs), warmup=20, iterations=60)
    leak_check(lambda: fs.first, warmup=20, iterations=60)  # a scan dropped after one item
    touch(hostile + "/sh.v002.e(x")
    leak_check(lambda: list(fs), raises=re.error, warmup=20, iterations=60)


def test_many_distinct_extensions_use_bounded_memory(tmp_path):
    # Every item compiles the name pattern of its own extension: whatever the
    # module keeps of them must stay bounded.
    rounds, per_round = 6, 700
    for r in range(rounds):
        os.mkdir(str(tmp_path / str(r)))
        touch(*("%s/%d/sh.v001.r%dx%04d" % (tmp_path, r, r, i) for i in range(per_round)))
    list(VersionFileSystem("%s/0/sh.v001.r0x0000" % tmp_path))
    tracemalloc.start()
    try:
        list(VersionFileSystem("%s/1/sh.v001.r1x0000" % tmp_path))
        base = tracemalloc.get_traced_memory()[0]
        for r in range(2, rounds):
            assert len(list(VersionFileSystem("%s/%d/sh.v001.r%dx0000" % (tmp_path, r, r)))) == per_round
        growth = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert growth < 512 * 1024, "memory grew by %d bytes" % growth
