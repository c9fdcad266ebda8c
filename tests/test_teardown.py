"""Python still runs after the module's own part of the interpreter's exit:
atexit handlers registered before the import run after the module's, and
finalizers run while the interpreter clears the modules. The members must
work there as anywhere: an exception raised through any of them is caught by
the caller, and a call leaves the recursion depth as it found it. Each case
runs in a child interpreter, once with the module and once with its
plain-Python rendering, and both must print the same and exit 0."""

import os

import pytest

from trees import run_child

TESTS = os.path.dirname(os.path.abspath(__file__))

# argv: side (module or plain), where, case, path. Everything a finalizer
# uses is bound as a default argument: the globals of __main__ may be cleared
# by the time it runs.
CHILD = r"""
import atexit, os, sys
side, where, case, path = sys.argv[1:5]


def member(m, case, path, os=os):
    if case == "constructor":
        return m.Version(5)
    if case == "method":
        return m.Version("shot.v001.exr").to("abc")
    if case == "property":
        v = m.Version("shot.v001.exr")
        v.pads = "x"
        return v.next
    if case == "static":
        return m.Version.int_to_pad("x", 1)
    if case == "generator":
        fs = m.VersionFileSystem(path)
        fs.head = 5
        return list(fs)
    if case == "query":
        fs = m.VersionFileSystem(path)
        fs.head = 5
        return fs.first
    if case == "exists":
        if os.path.exists.__name__ == "exists":
            real = os.path.exists
            os.path.exists = lambda p: real(p)  # not the original: the general path
        return m.VersionFileSystem(path).exists
    if case == "repeated":
        fs = m.VersionFileSystem(path)
        for _ in range(20000):
            fs.first
        return os.path.basename(str(fs.first))
    raise AssertionError(case)


def run(m, member=member, case=case, path=path, write=os.write, type=type,
        Exception=Exception, repr=repr):
    try:
        out = "ok %r" % (member(m, case, path),)
    except Exception as e:
        out = "%s: %s" % (type(e).__name__, e)
    write(1, (out + "\n").encode())


def load():
    if side == "module":
        import kestrum.versioner as m
    else:
        sys.path.insert(0, sys.argv[5])
        import plain as m
    return m


if where == "atexit":
    # Registered before the import, so it runs after what the import registers.
    atexit.register(lambda: run(sys.modules["m"]))
    sys.modules["m"] = load()


class Late:
    def __init__(self, m):
        self.m = m

    def __del__(self, run=run):
        run(self.m)


if where == "del":
    late = Late(load())
elif where == "del-rebound":
    # Only the classes held, and a rebinding whose function lives in this
    # module's namespace: that namespace, and the finalizer with it, outlive
    # the clearing of the module under test.
    import types
    m = load()
    late = Late(types.SimpleNamespace(Version=m.Version, VersionFileSystem=m.VersionFileSystem))
    del m
    real_exists = os.path.exists
    os.path.exists = lambda p: real_exists(p)
elif where == "del-early":
    # Held by a module imported after the one under test: cleared before it.
    import types
    holder = types.ModuleType("holder")
    holder.late = Late(load())
    sys.modules["holder"] = holder
"""

MEMBERS = ["constructor", "method", "property", "static", "generator", "query", "exists"]


def child_output(side, where, case, path):
    proc = run_child(CHILD, side, where, case, path, TESTS, timeout=120)
    assert proc.returncode == 0, (side, proc.returncode, proc.stderr[-2000:])
    return proc.stdout


@pytest.fixture(scope="module")
def version_file(tmp_path_factory):
    top = tmp_path_factory.mktemp("teardown")
    (top / "shot.v001.exr").write_text("")
    (top / "d").mkdir()
    (top / "d" / "shot.v002.exr").write_text("")
    return str(top / "shot.v001.exr")


@pytest.mark.no_refleak_rerun  # child processes
@pytest.mark.parametrize("where", ["atexit", "del", "del-early"])
@pytest.mark.parametrize("case", MEMBERS)
def test_members_at_exit_as_in_plain_python(version_file, where, case):
    module = child_output("module", where, case, version_file)
    plain = child_output("plain", where, case, version_file)
    assert module == plain
    assert module.count("\n") == 1, module


@pytest.mark.no_refleak_rerun  # child processes
@pytest.mark.parametrize("case", MEMBERS)
def test_members_called_after_their_module_is_cleared(version_file, case):
    # The module stays loaded to the end of the process, so the interpreter
    # clears its namespace as it does any live module's; the plain rendering's
    # may be dropped whole instead and keep its names. Either way the call
    # returns or raises, and the caller goes on.
    out = child_output("module", "del-rebound", case, version_file)
    assert out.count("\n") == 1, out


@pytest.mark.no_refleak_rerun  # child processes
@pytest.mark.parametrize("where", ["atexit", "del-early"])
def test_calls_at_exit_leave_the_recursion_depth_as_they_found_it(version_file, where):
    # Each call that left its bracket open would bring RecursionError nearer.
    assert child_output("module", where, "repeated", version_file) == "ok 'shot.v001.exr'\n"
