"""A test double put in place of a function of os, os.path, re or fnmatch
sees the calls that the general path makes, whether the module is on a
shortcut or not: each operation runs as is and with the module's globals
rebound to forwarders (which turns every shortcut off), under a recording
stand-in of each function, and both runs give the same answer and the same
calls."""

import fnmatch
import genericpath
import os
import posixpath
import re
import subprocess
import sys
import textwrap
import types

import pytest

from kestrum import versioner
from kestrum.versioner import Version, VersionFileSystem
from trees import make_tree

MODULES = {"os": os, "os.path": os.path, "genericpath": genericpath, "re": re,
           "fnmatch": fnmatch}

# The functions a test double of which the module honours: what the
# functions it calls call in turn through those modules, public or private.
HONOURED = [
    ("os.path", "splitext"), ("os", "fspath"), ("genericpath", "_splitext"),
    ("re", "compile"), ("re", "_compile"),
    ("os.path", "exists"), ("os", "stat"), ("os.path", "isabs"), ("os.path", "_get_sep"),
    ("os", "getcwd"),
    ("os", "walk"), ("os", "_walk"), ("os", "scandir"), ("os", "lstat"), ("os.path", "islink"),
    ("os.path", "join"), ("genericpath", "_check_arg_types"),
    ("fnmatch", "filter"), ("fnmatch", "_compile_pattern"), ("fnmatch", "translate"),
    ("fnmatch", "_translate"), ("fnmatch", "_join_translated_parts"), ("os.path", "normcase"),
    ("re", "escape"), ("re", "sub"),
]
PRESENT = [(m, n) for m, n in HONOURED if callable(MODULES[m].__dict__.get(n))]

ORIGINAL_COMPILE_PATTERN = fnmatch._compile_pattern


def forwarding(module, names):
    """A module whose functions look up the real one at each call."""
    fake = types.ModuleType("forwarding_" + module.__name__)
    for name in names:
        setattr(fake, name, lambda *a, _name=name, **k: getattr(module, _name)(*a, **k))
    return fake


def general_globals():
    fake_os = forwarding(os, ["walk", "getcwd"])
    fake_os.path = forwarding(os.path, ["exists", "isabs", "split", "splitext", "join"])
    return {"os": fake_os, "re": forwarding(re, ["compile"]),
            "fnmatch": forwarding(fnmatch, ["filter"])}


def recording(log, label, real):
    def stand_in(*args, **kwargs):
        log.append((label,) + tuple(a if isinstance(a, (str, bytes, int)) else type(a).__name__
                                    for a in args))
        return real(*args, **kwargs)
    return stand_in


def summary(result):
    if isinstance(result, list):
        return [summary(item) for item in result]
    if isinstance(result, versioner.BaseVersion):
        record = {k: (v.pattern if isinstance(v, re.Pattern) else v)
                  for k, v in vars(result).items()}
        return type(result).__name__, str(result), record
    return result


def run(op, log):
    re.purge()
    ORIGINAL_COMPILE_PATTERN.cache_clear()
    del log[:]
    try:
        outcome = summary(op())
    except Exception as exc:
        outcome = ("raised", type(exc))
    return outcome, list(log)


def operations(root):
    name = root + "/sh.v002.exr"
    fs = lambda n=name: VersionFileSystem(n)
    return {
        "Version(name)": lambda: Version(name),
        "Version(relative)": lambda: Version("sh.v002.exr"),
        "to": lambda: Version(name).to(13),
        "next": lambda: Version(name).next,
        "previous": lambda: Version(name).previous,
        "== text": lambda: Version(name) == "x.v002.ma",
        "versionless": lambda: Version(name).versionless,
        "fs(absolute)": fs,
        "fs(relative)": lambda: VersionFileSystem("sh.v002.exr"),
        "in": lambda: (3 in fs(), 13 in fs(), 1 in fs("sh.v002.exr")),
        "exists": lambda: fs().exists,
        "first": lambda: fs().first,
        "last": lambda: fs().last,
        "fs.next": lambda: fs().next,
        "fs.previous": lambda: fs().previous,
        "scan": lambda: list(fs()),
    }


@pytest.fixture
def tree(tmp_path, monkeypatch):
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr", "sh.v003.exr", "sh.v003.ma",
                     "sub/sh.v004.exr", "other.v001.exr")
    monkeypatch.chdir(root)
    return str(root)


@pytest.mark.parametrize("target", PRESENT, ids=[".".join(t) for t in PRESENT])
def test_stand_in_sees_what_the_general_path_calls(target, tree, monkeypatch):
    module, name = target
    log = []
    monkeypatch.setattr(MODULES[module], name,
                        recording(log, name, getattr(MODULES[module], name)))
    for op_name, op in operations(tree).items():
        # Twice: the second run finds what the first one looked up cached.
        fast = [run(op, log), run(op, log)]
        with pytest.MonkeyPatch.context() as m:
            for global_name, value in general_globals().items():
                m.setattr(versioner, global_name, value)
            general = run(op, log)
        assert fast == [general, general], op_name


@pytest.mark.parametrize("target", [("os", "stat"), ("re", "compile")])
def test_stand_ins_do_not_leak(target, tree, monkeypatch, leak_check):
    module, name = target
    log = []
    monkeypatch.setattr(MODULES[module], name,
                        recording(log, name, getattr(MODULES[module], name)))
    ops = operations(tree)
    leak_check(lambda: ([op() for op in ops.values()], log.clear()), iterations=20, warmup=5)


# --------------------------------------------------------------------------
# `v == text` with the module's Version rebound to a factory that changes the
# object the real class made, in the process that checks every allocation.

def test_comparison_with_a_text_reads_what_the_factory_returns():
    code = textwrap.dedent("""
        from kestrum import versioner
        Orig = versioner.Version

        class Other(Orig):
            pass

        def drop(v):
            del v.version
        def rebind(v):
            v.version = "7"
        def reclass(v):
            v.__class__ = Other
            v._current = lambda path: 99

        for change in (drop, rebind, reclass):
            def make(s):
                v = Orig(s)
                change(v)
                return v
            expected = Orig("a.v042.exr").current == make("b.v042.exr").current
            versioner.Version = make
            try:
                print(change.__name__, Orig("a.v042.exr") == "b.v042.exr", expected)
            finally:
                versioner.Version = Orig
    """)
    # The debug allocator fills freed memory; under the sanitizer run the
    # C library's allocator is kept, for AddressSanitizer to watch.
    env = dict(os.environ)
    if env.get("PYTHONMALLOC") != "malloc":
        env["PYTHONMALLOC"] = "debug"
    proc = subprocess.run([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["drop False False", "rebind False False",
                                            "reclass False False"]


# --------------------------------------------------------------------------
# fs.next and fs.previous with a number whose comparison runs code: the code
# finds every item built, as the general path builds them before comparing.

class Number(int):
    def __eq__(self, other):
        versioner.VersionFileSystem = Marked
        return int.__eq__(self, other.current)

    __hash__ = int.__hash__


class Marked(VersionFileSystem):
    pass


@pytest.mark.parametrize("query", ["next", "previous"])
def test_neighbours_are_built_before_the_comparison_runs(query, tree, monkeypatch):
    def ask():
        fs = VersionFileSystem(tree + "/sh.v002.exr")
        fs._current = lambda path: Number(2)
        try:
            return summary(getattr(fs, query))
        finally:
            versioner.VersionFileSystem = VersionFileSystem

    fast = ask()
    with pytest.MonkeyPatch.context() as m:
        m.setattr(versioner, "os", general_globals()["os"])
        general = ask()
    assert fast == general
    assert fast[0] == "VersionFileSystem"


# --------------------------------------------------------------------------
# Names that the standard functions read on their own way (a module's `stat`
# or `sys`, a built-in that a module global shadows, a cache wrapper), and
# functions changed in place: the fast path answers as the general path.

import stat  # noqa: E402


def module_copy(module, **changes):
    fake = types.ModuleType(module.__name__)
    vars(fake).update({k: v for k, v in vars(module).items() if not k.startswith("__")})
    vars(fake).update(changes)
    return fake


class Unrelated(Exception):
    pass


def _false(path):
    return False


def _no_head(p):
    # Runs with the globals of posixpath, whose `os` it reads.
    return "", os.fspath(p)


def always_link(log):
    return lambda mode: (log.append(("S_ISLNK",)), True)[1]


def audit_log(log):
    return module_copy(sys, audit=lambda *a: log.append(("audit", a[0])))


IN_PLACE = [
    ("stat.S_ISLNK", lambda m, log: m.setattr(stat, "S_ISLNK", always_link(log))),
    ("posixpath.stat", lambda m, log: m.setattr(posixpath, "stat",
                                                module_copy(stat, S_ISLNK=always_link(log)))),
    ("genericpath.stat", lambda m, log: m.setattr(genericpath, "stat",
                                                  module_copy(stat, S_ISLNK=always_link(log)))
     if hasattr(genericpath, "stat") else pytest.skip("genericpath has no stat here")),
    ("fnmatch._re_escape", lambda m, log: m.setattr(fnmatch, "_re_escape",
                                                    recording(log, "_re_escape", re.escape))
     if hasattr(fnmatch, "_re_escape") else pytest.skip("fnmatch escapes through re here")),
    ("os.sys", lambda m, log: m.setattr(os, "sys", audit_log(log))),
    ("genericpath.OSError", lambda m, log: m.setattr(genericpath, "OSError", Unrelated,
                                                     raising=False)),
    ("os.walk.__defaults__", lambda m, log: m.setattr(os.walk, "__defaults__",
                                                      (True, None, True))),
    ("genericpath.exists.__code__", lambda m, log: m.setattr(genericpath.exists, "__code__",
                                                             _false.__code__)),
    ("re.compile.__defaults__", lambda m, log: m.setattr(re.compile, "__defaults__",
                                                         (re.IGNORECASE,))),
    ("posixpath.split.__code__", lambda m, log: m.setattr(posixpath.split, "__code__",
                                                          _no_head.__code__)),
]


@pytest.fixture
def linked_tree(tree):
    os.symlink(os.path.join(tree, "sub"), os.path.join(tree, "link"))
    # On a file system blind to case (Windows) SUB is sub.
    os.makedirs(os.path.join(tree, "SUB"), exist_ok=True)
    open(os.path.join(tree, "SUB", "SH.V005.EXR"), "w").close()
    return tree


@pytest.mark.parametrize("change", IN_PLACE, ids=[c[0] for c in IN_PLACE])
def test_reads_of_the_standard_code_are_honoured(change, linked_tree):
    _, apply = change
    log = []
    ops = dict(operations(linked_tree), **{
        "missing": lambda: VersionFileSystem(linked_tree + "/gone/sh.v001.exr").exists,
        "upper": lambda: list(VersionFileSystem(linked_tree + "/SUB/SH.V005.EXR")),
    })
    with pytest.MonkeyPatch.context() as m:
        apply(m, log)
        for op_name, op in ops.items():
            fast = run(op, log)
            with pytest.MonkeyPatch.context() as general:
                for global_name, value in general_globals().items():
                    general.setattr(versioner, global_name, value)
                assert fast == run(op, log), op_name


@pytest.mark.skipif(os.name == "nt", reason="the direct path of exists is closed on Windows")
@pytest.mark.parametrize("attribute", ["__code__", "__defaults__", "__kwdefaults__"])
def test_a_function_changed_in_place_and_restored(attribute, tree):
    fs = VersionFileSystem(tree + "/sh.v002.exr")
    function = genericpath.exists
    before = getattr(function, attribute)
    def exists(path):
        return True

    changed = {"__code__": exists.__code__, "__defaults__": (1,),
               "__kwdefaults__": {"unused": 1}}[attribute]
    calls = []
    sys.setprofile(lambda frame, event, arg: event == "call" and
                   frame.f_code.co_name == "exists" and calls.append(1))
    try:
        fs.exists
        assert calls == []
        setattr(function, attribute, changed)
        try:
            fs.exists
            assert calls, "the general path ran"
        finally:
            setattr(function, attribute, before)
        del calls[:]
        fs.exists
        assert calls == []
    finally:
        sys.setprofile(None)
