"""Misuse: runaway recursion through a rebound class, members overridden to
misbehave, attributes deleted, constructors run again or on foreign objects,
scan generators driven the wrong way or re-entered, and threads sharing the
module. Each ends in the exception that plain Python would give, never in a
crash; the crash-prone cases run in a child interpreter."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import types

import pytest

from kestrum import versioner
from kestrum.errors import NoValidVersion, NoVersionNumber
from kestrum.versioner import BaseVersion, Version, VersionFileSystem
from trees import make_tree

SRC = os.path.dirname(os.path.dirname(versioner.__file__))

# --------------------------------------------------------------------------
# Runaway recursion, in a child interpreter

RECURSION = textwrap.dedent(
    """
    import sys, threading
    case, stack, top = sys.argv[1], int(sys.argv[2]), sys.argv[3]

    def constructor():
        from kestrum import versioner
        class Sub(versioner.VersionFileSystem):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
        versioner.VersionFileSystem = Sub  # its constructor now calls itself
        Sub(top + "/sh.v001.exr")

    def scan():
        from kestrum import versioner
        original = versioner.VersionFileSystem
        def nested(path):  # every item starts a scan of its own
            versioner.VersionFileSystem = original
            fs = original(path)
            versioner.VersionFileSystem = nested
            return next(iter(fs))
        versioner.VersionFileSystem = nested
        nested(top + "/sh.v001.exr")

    def property_():
        from kestrum import versioner
        class Sub(versioner.Version):  # `next` reads `current`, which is `next`
            current = property(versioner.Version.__dict__["next"].fget)
        Sub(top + "/sh.v001.exr").current

    def main():
        try:
            {"constructor": constructor, "scan": scan, "property": property_}[case]()
        except RecursionError:
            print("RecursionError")
        else:
            print("no error")

    if stack:
        threading.stack_size(stack)
        thread = threading.Thread(target=main)
        thread.start()
        thread.join()
    else:
        main()
    """
)


def run_recursion(case, stack, top):
    env = dict(os.environ, PYTHONPATH=SRC)
    proc = subprocess.run(
        [sys.executable, "-c", RECURSION, case, str(stack), top],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        env=env,
        timeout=120,
    )
    return proc.returncode, proc.stdout.strip(), proc.stderr[-2000:]


@pytest.mark.parametrize("stack", [0, 256 * 1024, 4096 * 1024], ids=["main-thread", "256KiB", "4MiB"])
@pytest.mark.parametrize("kind", ["constructor", "scan", "property"])
def test_runaway_recursion_ends_in_recursion_error(kind, stack, tmp_path):
    code, out, err = run_recursion(kind, stack, make_tree(tmp_path, "sh.v001.exr"))
    assert (code, out) == (0, "RecursionError"), "exit code %d\n%s" % (code, err)


# --------------------------------------------------------------------------
# Members overridden to misbehave


def splitting(result):
    class Custom(Version):
        def _splits(self, filename):
            return result() if callable(result) else result

    return Custom


def failing_after_one():
    yield "h"
    raise KeyError("inside")


@pytest.mark.parametrize(
    "result, error, message",
    [
        (5, TypeError, "cannot unpack non-iterable int object"),
        ([1, 2], ValueError, "need more than 2 values to unpack"),
        ((), ValueError, "need more than 0 values to unpack"),
        ([1], ValueError, "need more than 1 value to unpack"),
        ((1, 2, 3, 4), ValueError, "too many values to unpack (expected 3)"),
        (failing_after_one, KeyError, None),
    ],
)
def test_splits_returning_odd_values(result, error, message):
    with pytest.raises(error) as info:
        splitting(result)("a.v001.exr")
    if message:
        assert str(info.value) == message
    obj = splitting(result).__new__(splitting(result))
    with pytest.raises(error):
        obj.__init__("a.v001.exr")
    assert sorted(vars(obj)) == ["ext", "filename", "pads", "postfix", "regex_splits"]


def test_splits_returning_any_three_items():
    v = splitting(lambda: iter(["h", "7", "t"]))("a.v001.exr")
    assert (v.head, v.version, v.tail, v.current) == ("h", "7", "t", 7)
    assert str(v.next) == "h008t" and str(v.to(3)) == "h003t"
    v = splitting("abc")("a.v001.exr")  # a str of three characters unpacks too
    assert (v.head, v.version, v.tail, v.current) == ("a", "b", "c", None)


def test_numbers_of_odd_kinds():
    class Text(Version):
        def _current(self, path):
            return "x"

    class Real(Version):
        current = property(lambda self: 2.5)

    t = Text("a.v002.exr")
    assert t.current == "x" and t != 2 and t != "b.v002.exr"
    for member in ("next", "previous"):
        with pytest.raises(TypeError):  # 'x' + 1, 'x' > 1
            getattr(t, member)
    r = Real("a.v002.exr")
    assert (str(r.next), str(Real("a.v002.exr").previous)) == ("a.v003.exr", "a.v001.exr")
    assert r != 2 and r == Real("b.v009.exr")


class Listed(VersionFileSystem):
    """Scans a fixed list instead of the disk."""

    items = []

    def __iter__(self):
        return iter(type(self).items)


class Unnumbered:
    @property
    def current(self):
        raise NoVersionNumber


class Bool:
    def __bool__(self):
        raise ZeroDivisionError


class Odd(VersionFileSystem):
    def __eq__(self, other):
        return Bool()


@pytest.mark.parametrize(
    "items, expected",
    [
        # (first, last, next, previous) of an object numbered 2
        (["/p/a.v001.x", "/p/a.v002.x", "/p/a.v009.x", "/p/a.v003.x"], ("1", "9", "9", "1")),
        ([1, 2, 3], (1, AttributeError, 3, 1)),  # ints: their own == answers
        ([Unnumbered(), "/p/a.v002.x", Unnumbered()], ("U", "2", "U", "U")),  # `last` skips them
        ([None, "/p/a.v002.x"], (None, AttributeError, None, None)),
        ([Odd("/p/a.v002.x"), "/p/a.v002.x"], ("2", "2", ZeroDivisionError, "2")),
        ([], (None, None, None, None)),
    ],
    ids=["versions", "ints", "unnumbered", "none", "odd-eq", "empty"],
)
def test_navigation_over_an_overridden_scan(items, expected):
    Listed.items = [VersionFileSystem(i) if isinstance(i, str) else i for i in items]

    def shown(member):
        try:
            value = member()
        except Exception as exc:
            return type(exc)
        if isinstance(value, VersionFileSystem):
            return str(value.current)
        return "U" if isinstance(value, Unnumbered) else value

    fs = Listed("/p/a.v002.x")
    members = (lambda: fs.first, lambda: fs.last, lambda: fs.next, lambda: fs.previous)
    assert tuple(shown(m) for m in members) == expected
    assert shown(lambda: next(fs)) == expected[2]


def test_scan_override_that_is_not_an_iterator():
    class Broken(VersionFileSystem):
        def __iter__(self):
            return 5

    class Raising(VersionFileSystem):
        def __iter__(self):
            raise NoVersionNumber  # not from an item: `last` lets it through

    for cls, error in ((Broken, TypeError), (Raising, NoVersionNumber)):
        fs = cls("/p/a.v002.x")
        for member in (list, lambda fs: fs.first, lambda fs: fs.last, next, lambda fs: fs.previous):
            with pytest.raises(error):
                member(fs)


# --------------------------------------------------------------------------
# Attributes deleted, constructors run again or on foreign objects

ATTRIBUTES = ("filename", "postfix", "pads", "ext", "regex_splits", "head", "version", "tail")
COMMON = {
    "str": str, "repr": repr, "current": lambda v: v.current, "isVersionless": lambda v: v.isVersionless,
    "to": lambda v: v.to(5), "versionless": lambda v: v.versionless, "eq": lambda v: v == 2,
}
MEMBERS = {
    Version: dict(COMMON, next=lambda v: v.next, previous=lambda v: v.previous, fs=lambda v: v.fs),
    VersionFileSystem: dict(
        COMMON, list=list, first=lambda v: v.first, last=lambda v: v.last, next=lambda v: v.next,
        previous=lambda v: v.previous, contains=lambda v: 3 in v, exists=lambda v: v.exists,
    ),
}
# The members that must fail once the attribute is gone (with AttributeError,
# but NoValidVersion for `versionless`); all others work as before.
FAILING = {
    "filename": {"str", "repr", "current", "eq", "fs", "contains", "exists"},
    "postfix": {"to", "fs", "contains", "versionless"},
    "pads": {"to", "fs", "contains"},
    "ext": {"to", "fs", "contains"},
    "regex_splits": set(),  # only the constructor reads it
    "head": {"to", "versionless", "list", "first", "last"},
    "version": {"isVersionless", "to", "versionless"},
    "tail": {"to", "versionless"},
}


def expected_failure(cls, attribute, label):
    if label in ("next", "previous"):
        if cls is Version:  # stepping goes through `to`, unless there is no number
            return None if attribute in ("regex_splits", "version") else AttributeError
        # navigation: the scan reads `head`, then the own number is compared
        return {"filename": AttributeError, "head": AttributeError, "version": TypeError}.get(attribute)
    if label in FAILING[attribute]:
        return NoValidVersion if label == "versionless" else AttributeError
    return None


@pytest.mark.parametrize("attribute", ATTRIBUTES)
@pytest.mark.parametrize("cls", [Version, VersionFileSystem], ids=["Version", "VersionFileSystem"])
def test_deleted_attributes(cls, attribute, tmp_path):
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr", "sh.v003.exr")
    name = root + "/sh.v002.exr"
    for label, member in MEMBERS[cls].items():
        intact, damaged = cls(name), cls(name)
        delattr(damaged, attribute)
        failure = expected_failure(cls, attribute, label)
        if failure:
            with pytest.raises(failure):
                member(damaged)
            continue
        expected = member(intact)
        if attribute == "version" and label in ("current", "eq", "next", "previous"):
            expected = {"eq": False}.get(label)  # no number: None, and no error
        assert str(member(damaged)) == str(expected), label


class Text(str):
    pass


def test_scan_with_odd_heads(tmp_path):
    root = make_tree(tmp_path, "sh.v001.exr", "other.txt", "sub/sh.v002.exr")
    fs = VersionFileSystem(root + "/sh.v001.exr")
    for head, expected in (
        (5, TypeError),
        (None, TypeError),
        (os.fsencode(root + "/sh.v"), TypeError),  # bytes names, and a str "*" after them
        ("", []),  # no directory: nothing
        ("sh.v", []),
        (Text(root + "/sh.v"), ["sh.v001.exr", "sub/sh.v002.exr"]),
        (root + "/sh.", ["sh.v001.exr", "sub/sh.v002.exr"]),
        (root + "/", ["other.txt", "sh.v001.exr", "sub/sh.v002.exr"]),  # every file
    ):
        fs.head = head
        try:
            found = [str(item)[len(root) + 1:] for item in fs]
        except Exception as exc:
            found = type(exc)
        assert found == expected, head


def test_constructor_run_again(tmp_path):
    v = Version("a.v001.exr", pads=5, postfix="_x", ext="tif")
    v.__init__("b.v002.ma")
    fresh = Version("b.v002.ma")
    assert {k: w for k, w in vars(v).items() if k != "regex_splits"} == {
        k: w for k, w in vars(fresh).items() if k != "regex_splits"
    }
    assert v.regex_splits.pattern == fresh.regex_splits.pattern
    # A refusal stores nothing; a pattern that does not compile stops after
    # the settings, leaving the old fields.
    before = dict(vars(v))
    with pytest.raises(TypeError):
        v.__init__(b"c.v003.exr")
    assert vars(v) == before
    with pytest.raises(Exception) as info:
        v.__init__("c.v003.exr", postfix="(")
    assert info.type.__name__ in ("error", "PatternError")
    assert (v.filename, v.postfix, v.pads, v.ext) == ("c.v003.exr", "(", 3, "exr")
    assert (v.head, v.version, v.tail, v.regex_splits) == ("b.v", "002", ".ma", before["regex_splits"])
    # VersionFileSystem: again from another object, which it copies
    root = make_tree(tmp_path, "sh.v004.exr")
    fs = VersionFileSystem("a.v001.exr")
    fs.__init__(Version(root + "/sh.v004.exr", pads=4))
    assert (fs.filename, fs.pads, fs.current, fs.exists) == (root + "/sh.v004.exr", 4, 4, True)


FUNCTIONS = [
    (cls.__name__, name, getattr(member, "fget", member))
    for cls in (BaseVersion, Version, VersionFileSystem)
    for name, member in vars(cls).items()
    if callable(getattr(member, "fget", member)) and name != "int_to_pad"
]


@pytest.mark.parametrize("owner, name, function", FUNCTIONS, ids=["%s.%s" % f[:2] for f in FUNCTIONS])
def test_members_called_on_foreign_objects(owner, name, function):
    args = {"__init__": ("a.v001.exr",), "__eq__": ("a.v001.exr",), "_splits": ("a.v001.exr",),
            "_current": (None,), "to": (3,), "__contains__": (3,)}.get(name, ())
    for self in (None, 5, "a.v001.exr", object(), BaseVersion.__new__(BaseVersion), Version("a.v002.exr")):
        try:
            result = function(self, *args)
            if name == "__iter__":
                list(result)  # the generator fails when it runs
        except (AttributeError, TypeError):
            pass
        except NoValidVersion:
            assert name == "versionless"


# --------------------------------------------------------------------------
# Scan generators driven the wrong way


def python_scan(root):
    for n in (1, 2, 3):
        yield VersionFileSystem(root + "/sh.v%03d.exr" % n)


OPERATIONS = {
    "drop-halfway": ["next", "drop"],
    "close": ["next", "close", "next", "close"],
    "close-fresh": ["close", "next"],
    "throw": ["next", ("throw", KeyError), "next"],
    "throw-after-close": ["close", ("throw", KeyError)],
    "throw-stop-iteration": ["next", ("throw", StopIteration), "next"],
    "throw-generator-exit": ["next", ("throw", GeneratorExit), "next"],
    "throw-bad": ["next", ("throw", 5), "next"],
    "exhausted": ["next", "next", "next", "next", "next", ("send", None)],
    "send-after-close": ["next", "close", ("send", None)],
    "send-fresh": [("send", 1), ("send", None), ("send", 2)],
}


@pytest.mark.parametrize("operations", list(OPERATIONS.values()), ids=list(OPERATIONS))
def test_generator_driven_like_a_python_generator(tmp_path, operations):
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr", "sh.v003.exr")

    def drive(gen):
        seen = []
        for op in operations:
            try:
                if op == "drop":
                    del gen
                    gc.collect()
                    break
                value = next(gen) if op == "next" else gen.close() if op == "close" else getattr(gen, op[0])(op[1])
                seen.append(str(value))
            except Exception as exc:  # GeneratorExit is no Exception
                seen.append(type(exc))
            except GeneratorExit:
                seen.append(GeneratorExit)
        return seen

    assert drive(iter(VersionFileSystem(root + "/sh.v001.exr"))) == drive(python_scan(root))


def rebind_items(monkeypatch, replacement):
    """Make the scan build its items by calling `replacement`; return the
    function that builds a real item meanwhile (the constructor needs its
    class global back for that)."""
    original = VersionFileSystem

    def build(path):
        versioner.VersionFileSystem = original
        try:
            return original(path)
        finally:
            versioner.VersionFileSystem = replacement

    monkeypatch.setattr(versioner, "VersionFileSystem", replacement)
    return build


@pytest.mark.parametrize("action", ["next", "send", "close", "throw"])
@pytest.mark.parametrize("caught", [False, True], ids=["propagates", "caught"])
def test_generator_reentered_while_running(tmp_path, monkeypatch, action, caught):
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr", "sh.v003.exr")
    gen = iter(VersionFileSystem(root + "/sh.v001.exr"))
    seen = []

    def item(path):
        seen.append(gen.gi_running)
        try:
            {"next": lambda: next(gen), "send": lambda: gen.send(None), "close": gen.close,
             "throw": lambda: gen.throw(KeyError)}[action]()
        except ValueError as exc:
            seen.append(str(exc))
            if not caught:
                raise
        return built(path)

    built = rebind_items(monkeypatch, item)
    if caught:
        assert [str(i) for i in gen] == [root + "/sh.v%03d.exr" % n for n in (1, 2, 3)]
    else:
        with pytest.raises(ValueError, match="generator already executing"):
            next(gen)
        assert list(gen) == []
    assert seen[:2] == [True, "generator already executing"]
    assert not gen.gi_running


def test_generator_dropped_from_inside(tmp_path, monkeypatch):
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr")
    holder = {"gen": iter(VersionFileSystem(root + "/sh.v001.exr"))}

    def item(path):
        holder.clear()  # the last reference besides the running call
        gc.collect()
        return built(path)

    built = rebind_items(monkeypatch, item)
    assert str(next(holder["gen"])) == root + "/sh.v001.exr"
    assert holder == {}


# --------------------------------------------------------------------------
# Threads


def run_threads(target, count=8):
    """Run `target` in `count` threads at once, switching often; return what
    escaped from them."""
    errors = []

    def guarded():
        try:
            target()
        except BaseException as exc:  # pragma: no cover - reported by the caller
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=guarded) for _ in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    return errors


def test_threads_sharing_the_module(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    root = make_tree(tmp_path, *("%s/sh.v%03d.exr" % (d, n) for d in ("", "a", "b", "a/c") for n in (1, 2, 3)))
    names = [root + "/sh.v002.exr", root + "/a/sh.v999.exr", "x.v001", root + "/b/sh_v010.ma"]

    def work():
        out = []
        for name in names:
            v, fs = Version(name), VersionFileSystem(name)
            for member in (lambda: v.next, lambda: v.previous, lambda: v.versionless, lambda: v.to(7),
                           lambda: list(fs), lambda: fs.first, lambda: fs.last, lambda: fs.next,
                           lambda: fs.previous, lambda: 3 in fs):
                try:
                    value = member()
                    out.append([str(i) for i in value] if isinstance(value, list) else str(value))
                except Exception as exc:
                    out.append(type(exc))
        return out

    expected = work()
    results = []
    assert run_threads(lambda: results.extend(work() for _ in range(200))) == []
    assert len(results) == 1600 and all(r == expected for r in results)


@pytest.mark.parametrize("walk", ["native", "python"])
def test_threads_sharing_one_generator(tmp_path, monkeypatch, walk):
    # Other threads find the generator running while the scan has let go of
    # the interpreter lock: while it lists a directory, or runs Python code.
    dirs = ["d%02d" % i for i in range(20)]
    root = make_tree(tmp_path, *("%s/sh.v%03d.exr" % (d, n) for d in dirs for n in range(1, 6)))
    expected = sorted(str(i) for i in VersionFileSystem(root + "/sh.v001.exr"))
    if walk == "python":
        standin = types.ModuleType("os_standin")
        standin.path, standin.getcwd, standin.walk = os.path, os.getcwd, lambda top: os.walk(top)
        monkeypatch.setattr(versioner, "os", standin)
    gen = iter(VersionFileSystem(root + "/sh.v001.exr"))
    taken, refusals = [], []

    def thread():
        while True:
            try:
                taken.append(str(next(gen)))
            except StopIteration:
                return
            except ValueError as exc:
                refusals.append(str(exc))

    assert run_threads(thread) == []
    assert sorted(taken) == expected  # each item handed out once
    assert set(refusals) <= {"generator already executing"}
