"""The scan's shortcuts stand in for standard-library functions only while
those are the originals. Each function that os.walk or fnmatch.filter calls
is rebound here after start-up to a recording wrapper: the scan and every
query built on it must then call it, and still give what the plain rendering
gives. Also: an error class rebound to a non-class, and a process that
cannot start a thread."""

import fnmatch
import json
import os
import posixpath
import sys
import textwrap

import pytest

if os.name == "nt":
    pytest.skip("the native walk's guards over POSIX trees, closed on Windows",
                allow_module_level=True)

from kestrum import versioner
from kestrum.versioner import BaseVersion, VersionFileSystem

from test_hostile_trees import plain_scan
from trees import make_tree, run_child

# (module, name) of each function the general path reaches.
HELPERS = [
    (posixpath, "islink"),
    (posixpath, "join"),
    (os, "fspath"),
    (posixpath, "normcase"),
    (fnmatch, "translate"),
    (fnmatch, "_compile_pattern"),
]

QUERIES = {
    "list": lambda fs: [i.filename for i in fs],
    "first": lambda fs: fs.first.filename,
    "last": lambda fs: fs.last.filename,
    "next": lambda fs: fs.next.filename,
    "previous": lambda fs: fs.previous.filename,
    "contains": lambda fs: 2 in fs,
}


@pytest.fixture
def tree(tmp_path):
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr", "a/sh.v003.exr", "a/b/sh.v004.exr",
                     "c/sh.v005.exr", "other.v001.exr")
    os.symlink(root + "/a", root + "/link")
    return root


def expected(root, query):
    plain = list(plain_scan(root + "/sh.v"))
    return {
        "list": plain,
        "first": plain[0],
        "last": max(plain, key=lambda p: int(p[-7:-4])),
        "next": plain[plain.index(root + "/sh.v002.exr") + 1],
        "previous": plain[plain.index(root + "/sh.v002.exr") - 1],
        "contains": True,
    }[query]


@pytest.mark.parametrize("query", sorted(QUERIES))
@pytest.mark.parametrize("module, name", HELPERS, ids=["%s.%s" % (m.__name__, n) for m, n in HELPERS])
def test_a_rebound_helper_is_called(tree, monkeypatch, module, name, query):
    original = getattr(module, name)
    calls = []

    def recording(*args, **kwargs):
        calls.append(list(args))
        return original(*args, **kwargs)

    if hasattr(original, "cache_clear"):
        recording.cache_clear = original.cache_clear
    wanted = expected(tree, query)
    fs = VersionFileSystem(tree + "/sh.v002.exr")
    # translate runs only when fnmatch's pattern cache misses.
    fnmatch._compile_pattern.cache_clear()
    monkeypatch.setattr(module, name, recording)
    assert QUERIES[query](fs) == wanted
    # Membership does not scan, and os.walk comes to islink and join only
    # after the top directory, which `first` does not leave here.
    if query != "contains" and not (query == "first" and name in ("islink", "join")):
        # os.walk's own call of fspath is the one with the top directory
        # (os.path.split calls it too).
        assert [tree] in calls if name == "fspath" else calls, calls


def test_no_leaks_with_a_rebound_helper(tree, monkeypatch, leak_check):
    original = posixpath.islink
    monkeypatch.setattr(posixpath, "islink", lambda path: original(path))
    fs = VersionFileSystem(tree + "/sh.v002.exr")
    leak_check(lambda: (list(fs), fs.last, fs.next), objects=(fs,), iterations=20, warmup=10)


ERRORS = sys.modules["kestrum.errors"]


def test_an_error_class_rebound_to_a_non_class(tmp_path, monkeypatch):
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v003.exr", "d/sh.v002.exr")
    fs = VersionFileSystem(root + "/sh.v001.exr")
    monkeypatch.setattr(versioner, "NoVersionNumber", 5)
    # Nothing raised: the clause's class is never looked at.
    assert fs.last.filename == root + "/sh.v003.exr"

    class Item(VersionFileSystem):
        def __init__(self, filename):
            BaseVersion.__init__(self, filename)

        @property
        def current(self):
            raise ERRORS.NoVersionNumber()

    monkeypatch.setattr(versioner, "VersionFileSystem", Item)
    # `except NoVersionNumber:` with a 5 there refuses, as Python does.
    with pytest.raises(TypeError, match="do not inherit from BaseException") as info:
        fs.last
    assert isinstance(info.value.__context__, ERRORS.NoVersionNumber)


NO_THREADS_CHILD = textwrap.dedent(
    """
    import json, os, resource, sys, threading
    from kestrum import versioner
    top = sys.argv[1]
    # The threads before any scan: the main one, and under an emulator its own.
    base = len(os.listdir("/proc/self/task"))
    # No room left for a thread's stack: every thread start fails.
    vm = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    resource.setrlimit(resource.RLIMIT_AS, (vm + (6 << 20), resource.RLIM_INFINITY))
    try:
        threading.Thread(target=lambda: None).start()
        started = True
    except RuntimeError:
        started = False
    fs = versioner.VersionFileSystem(top + "/sh.v001.exr")
    out = [[i.filename for i in fs], fs.last.filename, fs.first.filename]
    print(json.dumps([started, out, len(os.listdir("/proc/self/task")) - base]))
    """
)


@pytest.mark.no_refleak_rerun  # a child process
def test_a_process_that_cannot_start_threads_scans_on_its_own(tmp_path):
    root = make_tree(tmp_path, "sh.v001.exr", *["d%02d/e/sh.v%03d.exr" % (i, i + 2) for i in range(30)])
    proc = run_child(NO_THREADS_CHILD, root)
    assert proc.returncode == 0, proc.stderr
    started, (items, last, first), threads = json.loads(proc.stdout)
    if started:
        pytest.skip("the address-space limit does not stop thread starts here")
    plain = list(plain_scan(root + "/sh.v"))
    assert items == plain
    assert (last, first) == (root + "/d29/e/sh.v031.exr", plain[0])
    assert threads == 0
