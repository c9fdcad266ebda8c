"""The fast paths learn of every change to what they stand in for, however
it is made: namespaces replaced entry by entry or cleared, a dict freed and
another made at its address, and, where the interpreter tells of changes
through watchers, with every watcher id taken by other code and beside a
sub-interpreter. Whether a shortcut ran shows in `fs.exists`: the general
path calls the Python-level os.path.exists, the shortcut does not."""

import genericpath
import json
import os
import subprocess
import sys
import textwrap
import types

import pytest

from kestrum import versioner
from kestrum.versioner import Version, VersionFileSystem
from trees import make_tree

WATCHERS = sys.version_info >= (3, 12)
# Calls of a Python-level os.path.exists that the general path makes per query
# (ntpath's of 3.12 on is built in: no call to count).
PYTHON_EXISTS = int(hasattr(os.path.exists, "__code__"))
# Those of the direct path: none, but on Windows, where it is closed and the
# general path runs.
DIRECT = PYTHON_EXISTS if os.name == "nt" else 0


def python_level_exists_calls(op):
    seen = []
    sys.setprofile(lambda frame, event, arg: event == "call" and
                   frame.f_code.co_name == "exists" and seen.append(1))
    try:
        return op(), len(seen)
    finally:
        sys.setprofile(None)


@pytest.fixture
def shot(tmp_path):
    return str(make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr")) + "/sh.v001.exr"


def recording_module(name, log, **functions):
    module = types.ModuleType(name)
    for attr, real in functions.items():
        setattr(module, attr, lambda *a, _attr=attr, _real=real: (log.append(_attr), _real(*a))[1])
    return module


def test_module_namespace_replaced_wholesale(shot):
    log = []
    path = recording_module("fake_path", log, exists=os.path.exists, isabs=os.path.isabs,
                            split=os.path.split, splitext=os.path.splitext)
    fake_os = types.ModuleType("fake_os")
    fake_os.path, fake_os.walk, fake_os.getcwd = path, os.walk, os.getcwd
    fs = VersionFileSystem(shot)
    assert python_level_exists_calls(lambda: fs.exists) == (True, DIRECT)
    saved = dict(vars(versioner))
    vars(versioner).update(os=fake_os, Version=Version, VersionFileSystem=VersionFileSystem)
    try:
        assert fs.exists is True and log == ["exists"]
        assert Version(shot).ext == "exr" and log[-1] == "splitext"
    finally:
        vars(versioner).update(saved)
    del log[:]
    assert python_level_exists_calls(lambda: fs.exists) == (True, DIRECT)
    assert log == []


@pytest.mark.skipif(os.path.exists is not genericpath.exists,
                    reason="os.path.exists is not genericpath's here (ntpath's is built in)")
def test_standard_namespace_cleared_and_restored(shot):
    fs = VersionFileSystem(shot)
    saved = dict(vars(genericpath))
    vars(genericpath).clear()
    try:
        # os.path.exists runs without its `os`: as the general path does.
        with pytest.raises(NameError):
            fs.exists
    finally:
        vars(genericpath).update(saved)
    assert python_level_exists_calls(lambda: fs.exists) == (True, DIRECT)


def test_dict_freed_and_another_made_at_its_address(shot):
    log = []

    def fake_os(path):
        module = types.ModuleType("fake_os")
        module.path, module.walk, module.getcwd = path, os.walk, os.getcwd
        return module

    first = fake_os(recording_module("first", log, exists=lambda p: "first"))
    fs = VersionFileSystem(shot)
    versioner.os = first
    try:
        assert fs.exists == "first"
        address = id(vars(first))
        versioner.os = os
        del first
        for _ in range(1000):
            second = fake_os(recording_module("second", log, exists=lambda p: "second"))
            if id(vars(second)) == address:
                break
        versioner.os = second
        assert fs.exists == "second"
    finally:
        versioner.os = os
    assert python_level_exists_calls(lambda: fs.exists) == (True, DIRECT)


def test_cleared_module_of_a_global_is_seen(shot):
    path = types.ModuleType("fake_path")
    path.exists = lambda p: "fake"
    fake = types.ModuleType("fake_os")
    fake.path = path
    fs = VersionFileSystem(shot)
    versioner.os = fake
    try:
        assert fs.exists == "fake"
        vars(path).clear()
        path.exists = lambda p: "refilled"
        assert fs.exists == "refilled"
    finally:
        versioner.os = os


def test_changes_are_seen_without_leaking(shot, leak_check):
    fs = VersionFileSystem(shot)
    real = versioner.Version

    def flip():
        versioner.Version = real
        fs.exists, Version(shot).next, 3 in fs
        genericpath.os = os

    leak_check(flip)


CHILD = textwrap.dedent("""
    import ctypes, json, os, sys, tempfile
    sys.path[:0] = [{src!r}, {tests!r}]
    {setup}
    from kestrum import versioner
    from kestrum.versioner import Version, VersionFileSystem

    seen = []
    def exists_calls(op):
        del seen[:]
        sys.setprofile(lambda f, e, a: e == "call" and f.f_code.co_name == "exists"
                       and seen.append(1))
        try:
            return op(), len(seen)
        finally:
            sys.setprofile(None)

    root = tempfile.mkdtemp()
    for n in ("sh.v001.exr", "sh.v002.exr", "sh.v003.exr"):
        open(os.path.join(root, n), "w").close()
    fs = VersionFileSystem(root + "/sh.v002.exr")
    out = {{"exists": exists_calls(lambda: fs.exists),
            "answers": [str(fs.next), str(fs.previous), str(fs.last), 3 in fs,
                        str(Version(fs.filename).next), fs == "x.v002.ma"]}}
    versioner.os = None
    try:
        fs.exists
    except AttributeError:
        out["rebound"] = "seen"
    versioner.os = os
    {after}
    print(json.dumps(out))
""")

EXHAUST = """
    def exhaust(name, *argtypes):
        callback = ctypes.CFUNCTYPE(ctypes.c_int, *argtypes)(lambda *a: 0)
        add = getattr(ctypes.pythonapi, name)
        add.argtypes, add.restype = [type(callback)], ctypes.c_int
        taken = []
        while len(taken) < 64:
            try:
                taken.append(add(callback))
            except (ValueError, RuntimeError):  # 3.12: ValueError, then RuntimeError
                break
        return callback, taken
    kept = [exhaust(name, *args) for name, args in {which}]
"""


def run_child(setup="", after="", env=None):
    code = CHILD.format(src=os.path.dirname(os.path.dirname(versioner.__file__)),
                        tests=os.path.dirname(__file__), setup=textwrap.dedent(setup),
                        after=textwrap.dedent(after))
    proc = subprocess.run([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def check_answers(out):
    assert out["rebound"] == "seen"
    answers = out["answers"]
    assert answers[3] is True and answers[5] is True
    assert [a.rsplit("/", 1)[1] for a in answers[:3]] == ["sh.v003.exr", "sh.v001.exr",
                                                          "sh.v003.exr"]
    assert answers[4].endswith("sh.v003.exr")


def test_with_the_gate_as_made():
    out = run_child()
    check_answers(out)
    assert out["exists"] == [True, DIRECT]


WHICH = {
    "dict": '[("PyDict_AddWatcher", (ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, '
            'ctypes.c_void_p))]',
    "type": '[("PyType_AddWatcher", (ctypes.c_void_p,))]',
}


@pytest.mark.skipif(not WATCHERS, reason="the interpreter has watchers from 3.12 on")
@pytest.mark.parametrize("which", ["dict", "type", "both"])
def test_watcher_ids_taken_by_other_code(which):
    chosen = "+".join(WHICH[w] for w in (["dict", "type"] if which == "both" else [which]))
    out = run_child(setup=EXHAUST.format(which=chosen),
                    after='out["taken"] = [len(t) for _, t in kept]')
    check_answers(out)
    assert all(taken > 0 for taken in out["taken"])
    # Without a dict watcher nothing counts as unchanged: the general path,
    # which calls os.path.exists (Python code but for ntpath's of 3.12 on).
    general = PYTHON_EXISTS if which in ("dict", "both") else DIRECT
    assert out["exists"] == [True, general]


SUBINTERPRETER = """
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    sub = interpreters.create()
    code = "import sys; sys.path[:0] = %r; import os; os.stat = None; import kestrum.versioner" % (
        sys.path[:2],)
    try:
        failure = interpreters.exec(sub, code) if hasattr(interpreters, "exec") else (
            interpreters.run_string(sub, code))
    except Exception as exc:
        failure = exc
    out["sub"] = type(failure).__name__ if failure is not None else None
    interpreters.destroy(sub)
    out["after"] = exists_calls(lambda: fs.exists)
"""


@pytest.mark.skipif(not WATCHERS, reason="sub-interpreters with their own modules from 3.12 on")
def test_beside_a_sub_interpreter():
    out = run_child(after=SUBINTERPRETER)
    check_answers(out)
    assert out["sub"] is not None  # the module lives in one interpreter only
    assert out["after"] == [True, DIRECT]


def test_class_patched_undone_and_patched_again(shot):
    # Between the steps nothing looks an attribute up on Version itself (the
    # interpreter would give it a version tag again that way): the instances
    # are made first and `to` is taken from BaseVersion.
    to = versioner.BaseVersion.to
    first, second = Version(shot), Version(shot)
    patched = property(lambda self: "patched.v")
    Version.head = patched
    try:
        del Version.head
        versioner.unrelated = 1  # some other change
        del versioner.unrelated
        assert str(to(first, 3)).endswith("/sh.v003.exr")
        Version.head = patched
        # read through the property; the copy's constructor cannot store it
        with pytest.raises(AttributeError):
            to(second, 3)
        assert vars(second)["filename"] == "patched.v003.exr"
    finally:
        if "head" in vars(Version):
            del Version.head


@pytest.mark.skipif(os.name == "nt", reason="the scan's shortcut, by which the trust shows, is closed on Windows")
def test_a_class_changed_many_times_is_trusted_again(tmp_path):
    # The interpreter gives a class a limited number of version tags over its
    # life; the gate must not depend on them. Whether the scan's shortcut ran
    # shows in its memory: the general path makes an object per file.
    root = make_tree(tmp_path, *["sh.v%04d.exr" % i for i in range(1, 301)])
    out = run_child(after="""
        from trees import peak_traced
        many = VersionFileSystem(%r)
        v = Version(many.filename)
        for i in range(1200):
            Version.unrelated = i
            v.next
            del Version.unrelated
            v.next
        out["peak"] = peak_traced(lambda: many.next)
        to, second = versioner.BaseVersion.to, Version(fs.filename)
        class Mixin(versioner.BaseVersion):
            head = property(lambda self: "patched.v")
        Version.__bases__ = (Mixin,)
        try:
            out["mixed"] = to(second, 3).filename
        except AttributeError:  # the copy's constructor cannot store the property
            out["mixed"] = "read through the property"
        Version.__bases__ = (versioner.BaseVersion,)
        out["restored"] = to(second, 3).filename[-11:]
    """ % (str(root) + "/sh.v0001.exr"))
    check_answers(out)
    assert out["peak"] < 10_000
    assert out["mixed"] == "read through the property"
    assert out["restored"] == "sh.v003.exr"


CLEARED = """
    import types
    path = types.ModuleType("fake_path")
    path.exists = lambda p: "fake"
    fake = types.ModuleType("fake_os")
    fake.path = path
    versioner.os = fake
    out["fake"] = fs.exists
    _testcapi.clear_dict_watcher(ours)
    versioner.os = os
    del fake, path
    out["cleared"] = exists_calls(lambda: fs.exists)
"""


@pytest.mark.skipif(not WATCHERS, reason="the interpreter has watchers from 3.12 on")
def test_watcher_cleared_by_other_code():
    pytest.importorskip("_testcapi")
    # The next free id, which the module then takes.
    setup = "import _testcapi\nours = _testcapi.add_dict_watcher(0)\n" \
            "_testcapi.clear_dict_watcher(ours)"
    env = dict(os.environ)
    if env.get("PYTHONMALLOC") != "malloc":
        env["PYTHONMALLOC"] = "debug"
    out = run_child(setup=setup, after=CLEARED, env=env)
    check_answers(out)
    assert out["fake"] == "fake"
    # What the module read while the watcher told of changes is not trusted
    # once it no longer does, and the fast paths stay closed.
    assert out["cleared"] == [True, 1]


# The probe of the watchers allocates a number once the count of probes is
# past the small ones: a failure there is the caller's MemoryError, not a lost
# watcher, and the fast paths open again at the next check.
NOMEMORY = """
    import _testcapi
    def changed():
        versioner.unrelated = 1  # every family looks again at its next check
        del versioner.unrelated
    for _ in range(300):
        changed()
        fs.exists
    failed = 0
    for start in range(40):
        changed()
        _testcapi.set_nomemory(start, start + 1)
        try:
            fs.exists
        except MemoryError:
            failed += 1
        finally:
            _testcapi.remove_mem_hooks()
    out["failed"] = failed
    out["after"] = exists_calls(lambda: fs.exists)
"""


@pytest.mark.skipif(not WATCHERS, reason="the watchers are probed from 3.12 on")
def test_a_failed_probe_is_raised_and_the_gate_recovers():
    capi = pytest.importorskip("_testcapi")
    if not hasattr(capi, "set_nomemory"):
        pytest.skip("no allocation failures to inject")
    out = run_child(after=NOMEMORY)
    check_answers(out)
    assert out["failed"] > 0
    assert out["after"] == [True, DIRECT]


REFUSED = """
import builtins, json, sys
sys.path[:0] = [{src!r}]
# fnmatch imports posixpath and with it stat: where os.path is ntpath (Windows)
# that import comes first here, not the one that the module's gate makes.
import fnmatch
real = builtins.__import__
def refusing(name, *args, **kwargs):
    if name == "stat":
        raise {raised}("refused")
    return real(name, *args, **kwargs)
builtins.__import__ = refusing
try:
    from kestrum import versioner
except BaseException as exc:
    print(json.dumps(type(exc).__name__))
    raise SystemExit(0)
builtins.__import__ = real
import os, tempfile
root = tempfile.mkdtemp()
open(os.path.join(root, "sh.v001.exr"), "w").close()
fs = versioner.VersionFileSystem(root + "/sh.v001.exr")
seen = []
sys.setprofile(lambda f, e, a: e == "call" and f.f_code.co_name == "exists" and seen.append(1))
answer = fs.exists
sys.setprofile(None)
print(json.dumps([answer, len(seen)]))
"""


# A standard module that the gate reads and cannot import leaves the module on
# its general path; any other failure there fails the import.
@pytest.mark.parametrize("raised, outcome", [
    ("ImportError", [True, PYTHON_EXISTS]),
    ("KeyboardInterrupt", "KeyboardInterrupt"),
    ("MemoryError", "MemoryError"),
    ("ZeroDivisionError", "ZeroDivisionError"),
])
def test_a_standard_module_refused_at_import(raised, outcome):
    code = REFUSED.format(src=os.path.dirname(os.path.dirname(versioner.__file__)),
                          raised=raised)
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout.strip().splitlines()[-1]) == outcome


def _false(path):
    return False


# A standard function changed in place, then an unrelated entry of a watched
# namespace added: two changes told of one after the other, which must not
# cancel out. Each answer is the plain rendering's, which reads the standard
# functions at each call.
IN_PLACE_THEN_NAMESPACE = [
    ("os.walk.__defaults__", os.walk, "__defaults__", (True, None, True),
     lambda mod, root: sorted(str(v) for v in mod.VersionFileSystem(root + "/sh.v002.exr"))),
    ("genericpath.exists.__code__", genericpath.exists, "__code__", _false.__code__,
     lambda mod, root: mod.VersionFileSystem(root + "/sh.v002.exr").exists),
]


@pytest.mark.skipif(os.name == "nt", reason="the shortcuts, by which a missed change shows, are closed on Windows")
@pytest.mark.parametrize("function, attribute, value, op", [c[1:] for c in IN_PLACE_THEN_NAMESPACE],
                         ids=[c[0] for c in IN_PLACE_THEN_NAMESPACE])
def test_changes_told_one_after_another_all_count(function, attribute, value, op, tmp_path):
    import plain
    root = str(make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr", "sub/sh.v003.exr"))
    os.symlink(os.path.join(root, "sub"), os.path.join(root, "link"))
    op(versioner, root)  # the gate has looked: what it holds is current
    with pytest.MonkeyPatch.context() as m:
        m.setattr(function, attribute, value)
        versioner.__dict__["_unrelated"] = 1
        try:
            got = op(versioner, root)
        finally:
            del versioner.__dict__["_unrelated"]
        assert got == op(plain, root)
    assert op(versioner, root) == op(plain, root)


# Other code clears the module's dict watcher and takes its id again for a
# watcher of its own: the id still answers, only the probe tells that the
# module's callback is no longer called. Once a check has probed (after a
# function changed), a namespace rebound meanwhile is seen.
RETAKEN = """
    import types
    api = ctypes.pythonapi
    callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                                ctypes.c_void_p)(lambda *a: 0)
    api.PyDict_AddWatcher.argtypes, api.PyDict_AddWatcher.restype = [type(callback)], ctypes.c_int
    api.PyDict_ClearWatcher.argtypes, api.PyDict_ClearWatcher.restype = [ctypes.c_int], ctypes.c_int
    api.PyDict_ClearWatcher(ours)
    other = api.PyDict_AddWatcher(callback)
    os.walk.__defaults__ = os.walk.__defaults__
    out["retaken"] = [other == ours, fs.exists]
    path = types.ModuleType("fake_path")
    path.exists = lambda p: "fake"
    fake = types.ModuleType("fake_os")
    fake.path = path
    versioner.os = fake
    out["fake"] = fs.exists
    versioner.os = os
    api.PyDict_ClearWatcher(other)  # before the callback is freed
"""


@pytest.mark.skipif(not WATCHERS, reason="the interpreter has watchers from 3.12 on")
def test_watcher_id_taken_again_by_other_code():
    pytest.importorskip("_testcapi")
    setup = "import _testcapi\nours = _testcapi.add_dict_watcher(0)\n" \
            "_testcapi.clear_dict_watcher(ours)"
    out = run_child(setup=setup, after=RETAKEN)
    check_answers(out)
    assert out["retaken"] == [True, True]
    assert out["fake"] == "fake"
