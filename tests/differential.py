"""The module and its plain-Python rendering (plain.py) driven by the same
random steps: names, settings, every member of the three classes, rebound
and deleted attributes, subclasses that override members, module globals
and standard-library functions replaced by recording stand-ins, and a small
tree on disk that changes between steps, with the working directory moved.

After each step the two sides must agree on the result or the exception
(class and arguments), on the calls that the stand-ins saw, and on the
__dict__ of every object the step touched. test_differential.py runs the
machine with a fixed seed in the suite; tools/difftest runs it long.
"""

import fnmatch
import os
import re
import shutil
import tempfile
import warnings

from hypothesis import Phase
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, precondition, rule

import plain
from kestrum import versioner

SIDES = (versioner, plain)
CLASSES = ("BaseVersion", "Version", "VersionFileSystem")
# Each side's namespace as imported, to restore from.
SAVED = [dict(vars(mod)) for mod in SIDES]

# One log for every stand-in, cleared before each side runs a step.
LOG = []

# --------------------------------------------------------------------------
# Inputs

DIRS = ["", "", "", "sub/", "sub/deep/", "d.v1/", "é/"]
STEMS = ["sh010", "sh010", "shot", "a", "v", "x.y", "plate_v", "vivid", "é", "sh\udcff", "sh*",
         "s[h]"]
POSTFIXES_IN_NAMES = [".v", ".v", ".v", "_v", "v", ".V", "", "-ver"]
DIGITS = ["001", "002", "003", "012", "1", "999", "1000", "0", "000", "", "0000000000000000000003",
          "123456789012345678901234"]
EXTENSIONS = [".exr", ".exr", ".ma", "", ".tar.gz", ".v001", ".", ".é", ".e(x", ".[ab]"]

SEED_TREE = ["sh010.v001.exr", "sh010.v002.exr", "sh010.v.bak", "sub/sh010.v003.exr",
             "shot.v012.ma"]

PADS = [3, 3, 3, 1, 0, 4, -3, 30, 2.5, "3", None, True, 10 ** 20]
POSTFIXES = [".v", ".v", ".v", "_v", "", "v", "[._]v", "\\.v", "(?:_|-)v", ".", "[", "(", "*",
             ")|(", "%s", "é", None, 5]
EXTS = [".*", ".*", "exr", "", "[", "(", "e.r", "(?P<x>.)", None, 5]
NUMBERS = [0, 1, 2, 5, 12, 999, 1000, -1, -7, 10 ** 20, 3.9, -0.5, "7", " 7 ", "abc", "1_0",
           "\u0663", None, True, 2 ** 63, float("nan"), float("inf"), b"7"]


class Text(str):
    pass


class Number(int):
    pass


def splits_stub(*args):
    return ("stub.v", "042", ".exr")


def current_stub(*args):
    return 7


def short_stub(*args):
    return ["h.v", "1"]


# Values that steps give to attributes; the same objects on both sides.
ODD_VALUES = [None, "", "abc", "007", " 7 ", "\u0663", "1_0", "sh010.v", ".exr", 5, -5, 0, 3.5,
              b"1", (), True, Text("012"), Number(4), ["a", "1", ".b"], splits_stub,
              current_stub, short_stub, re.compile("(?P<head>x)(?P<version>1)(?P<tail>.)")]
FIELDS = ["filename", "postfix", "pads", "ext", "regex_splits", "head", "version", "tail",
          "_splits", "_current", "int_to_pad", "to", "__class__", "current"]


class Replaced(Exception):
    """Stands in for a package exception class rebound in the module."""


TEMPLATES = ["(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)$", "(?P<head>.*%s)",
             "(?P<head>.*%s)(?P<version>[0-9]+)(?P<tail>[.]%s)(?P<x>)", 5]


@st.composite
def names(draw):
    """(form, relative part): the machine turns a form into a name."""
    rel = draw(st.sampled_from(DIRS))
    for _ in range(draw(st.integers(1, 2))):
        rel += draw(st.sampled_from(STEMS)) + draw(st.sampled_from(POSTFIXES_IN_NAMES))
        rel += draw(st.sampled_from(DIGITS))
    rel += draw(st.sampled_from(EXTENSIONS))
    form = draw(st.sampled_from(["absolute", "relative", "relative", "bare"]))
    return form, rel


SETTINGS = st.fixed_dictionaries(
    {}, optional={"pads": st.sampled_from(PADS), "postfix": st.sampled_from(POSTFIXES),
                  "ext": st.sampled_from(EXTS)})

# --------------------------------------------------------------------------
# Stand-ins


# fnmatch.translate numbers the groups of a pattern with a star between
# literals from one process-wide counter: the second side gets others.
TRANSLATED_GROUP = re.compile(r"\(\?P([<=])g\d+")


def recorded(arg):
    if isinstance(arg, str):
        arg = TRANSLATED_GROUP.sub(r"(?P\1g", arg)
    return norm(arg, None)


def recorder(name, real):
    def call(*args, **kwargs):
        LOG.append((name,) + tuple(recorded(a) for a in args))
        return real(*args, **kwargs)

    call.__name__ = getattr(real, "__name__", name)
    return call


class Proxy:
    """A module double: records calls of the functions it names, delegates
    everything else."""

    def __init__(self, label, real, recorded, **children):
        self._real = real
        for attr in recorded:
            setattr(self, attr, recorder(label + "." + attr, getattr(real, attr)))
        self.__dict__.update(children)

    def __getattr__(self, attr):
        return getattr(self._real, attr)


def os_double():
    path = Proxy("os.path", os.path, ["exists", "isabs", "split", "splitext", "join"])
    return Proxy("os", os, ["getcwd", "walk", "stat", "fspath", "scandir"], path=path)


def global_doubles(side):
    """Replacements for each module global, by kind."""
    mod = type("Saved", (), SAVED[side])
    subs = subclasses(side)
    return {
        ("os", "recording"): os_double,
        ("re", "recording"): lambda: Proxy("re", re, ["compile", "fullmatch", "finditer"]),
        ("fnmatch", "recording"): lambda: Proxy("fnmatch", fnmatch, ["filter", "fnmatch"]),
        ("regex_splits", "anchored"): lambda: TEMPLATES[0],
        ("regex_splits", "one group"): lambda: TEMPLATES[1],
        ("regex_splits", "extra group"): lambda: TEMPLATES[2],
        ("regex_splits", "not text"): lambda: TEMPLATES[3],
        ("Version", "subclass"): lambda: subs["current+1"],
        ("Version", "BaseVersion"): lambda: mod.BaseVersion,
        ("Version", "factory"): lambda: version_factory(mod),
        # Any subclass of VersionFileSystem bound here recurses: its
        # constructor calls super() of the global, itself.
        ("VersionFileSystem", "Version"): lambda: mod.Version,
        ("BaseVersion", "Version"): lambda: mod.Version,
        ("NoVersionNumber", "TypeError"): lambda: TypeError,
        ("NoValidVersion", "Replaced"): lambda: Replaced,
        ("VersionZero", "Replaced"): lambda: Replaced,
        ("ExceededPaddingVersion", "Replaced"): lambda: Replaced,
        ("os", "deleted"): None,
        ("Version", "deleted"): None,
        ("fnmatch", "deleted"): None,
    }




def version_factory(mod):
    original = mod.Version

    def make(*args, **kwargs):
        v = original(*args, **kwargs)
        del v.version
        return v

    return make


# Functions of the standard library that a step replaces by a recording
# stand-in, for both sides at once.
STDLIB = {
    "os.path.exists": (os.path, "exists"),
    "os.path.isabs": (os.path, "isabs"),
    "os.path.split": (os.path, "split"),
    "os.path.splitext": (os.path, "splitext"),
    "os.getcwd": (os, "getcwd"),
    "os.walk": (os, "walk"),
    "os.stat": (os, "stat"),
    "os.fspath": (os, "fspath"),
    "fnmatch.filter": (fnmatch, "filter"),
    "re.compile": (re, "compile"),
    "re._compile": (re, "_compile"),
}

# What os.walk calls by itself between directories. A scan decides at its
# start whether it walks natively, so a double of one of these put in place
# while a scan is suspended is seen by later scans only (as the README says).
WALK_INTERNALS = {"os.fspath"}


def subclasses(side, cache={}):
    """Subclasses of each side's classes that override members; made once
    per side, the same code on both."""
    if side in cache:
        return cache[side]
    mod = SIDES[side]
    base, version, fs = mod.BaseVersion, mod.Version, mod.VersionFileSystem

    def splits(self, filename):
        head, number, tail = base._splits(self, filename)
        return [head, number, tail] if number is None else (head, number[::-1], tail)

    def current(self, path):
        number = base._current(self, path)
        return None if number is None else number + 1

    def to(self, number):
        return base.to(self, int(number) + 1)

    def scan(self):
        return iter(list(fs.__iter__(self))[::-1])

    def init(self, filename, pads=4, postfix=".v", ext=".*"):
        fs.__init__(self, filename, pads, postfix, ext)
        self.extra = "x"

    def eq(self, other):
        if isinstance(other, str):
            return NotImplemented
        return base.__eq__(self, other)

    made = {
        "plain": type("Plain", (version,), {}),
        "splits reversed": type("Splits", (version,), {"_splits": splits}),
        "current+1": type("Current", (version,), {"_current": current}),
        "to+1": type("To", (fs,), {"to": to}),
        "reversed scan": type("Scan", (fs,), {"__iter__": scan}),
        "init pads 4": type("Init", (fs,), {"__init__": init}),
        "always exists": type("Exists", (fs,), {"exists": property(lambda self: True)}),
        "next is first": type("Next", (fs,), {"__next__": lambda self: self.first}),
        "eq declines text": type("Eq", (version,), {"__eq__": eq, "__hash__": None}),
        "base": type("Base", (base,), {}),
    }
    for label, cls in made.items():
        cls.label = label
    cache[side] = made
    return made


SUBCLASS_KINDS = sorted(subclasses(1))
GLOBAL_KINDS = sorted(global_doubles(1))

# --------------------------------------------------------------------------
# Comparable forms


ORIGINAL_CLASSES = {id(saved[name]): name for saved in SAVED for name in CLASSES}
BASES = (SAVED[0]["BaseVersion"], SAVED[1]["BaseVersion"])


def norm(value, side, depth=0):
    """A form of ``value`` that is equal on both sides when the values
    correspond."""
    kind = type(value)
    if value is None or kind in (bool, int, str, bytes):
        return (kind.__name__, value)
    if kind is float:
        return ("float", repr(value))
    if kind in (list, tuple):
        return (kind.__name__, [norm(v, side, depth) for v in value])
    if isinstance(value, re.Pattern):
        return ("pattern", value.pattern, value.flags)
    if isinstance(value, type):
        if id(value) in ORIGINAL_CLASSES:
            return ("class", ORIGINAL_CLASSES[id(value)])
        return ("class", getattr(value, "label", value.__qualname__))
    if isinstance(value, BASES):
        cls = type(value)
        label = ORIGINAL_CLASSES.get(id(cls)) or getattr(cls, "label", cls.__qualname__)
        if depth > 1:
            return ("object", label)
        return ("object", label, norm_dict(value, side, depth + 1))
    if isinstance(value, BaseException):
        return ("exception", type(value).__name__, norm(list(value.args), side, depth))
    return ("other", kind.__name__, value if value in ODD_VALUES else repr(value))


def norm_dict(obj, side, depth=0):
    try:
        items = list(vars(obj).items())
    except TypeError:
        return None
    return [(key, norm(val, side, depth)) for key, val in items]


def outcome(run, side):
    """("ok", form of the result) or ("raised", class name, args); and the
    calls the stand-ins saw."""
    del LOG[:]
    try:
        result = ("ok", norm(run(), side))
    except RecursionError:  # its message says where the limit was met
        result = ("raised", "RecursionError")
    except OverflowError:
        # Its message depends on the interpreter's path: from 3.15 on a
        # specialized str * int words it otherwise than the generic repeat.
        result = ("raised", "OverflowError")
    except Exception as exc:  # anything at all must agree
        result = ("raised", type(exc).__name__, norm(list(exc.args), side))
    return result, list(LOG)


# --------------------------------------------------------------------------
# The machine


class Differential(RuleBasedStateMachine):
    """Pairs of objects, one made by the module and one by the plain
    rendering, and steps that must give the same on both."""

    def __init__(self):
        super().__init__()
        self.pairs = []
        self.scans = []
        self.rebound = {}  # global name -> (module value, plain value) before the step
        self.patched = {}  # stdlib name -> original function
        self.start = os.getcwd()
        self.root = tempfile.mkdtemp(prefix="kestrum-diff-")
        os.chdir(self.root)
        self.warnings = warnings.catch_warnings()
        self.warnings.__enter__()
        warnings.simplefilter("ignore")

    steps = [0]

    @classmethod
    def count_steps(cls):
        """Start counting the steps that pass; returns the reader."""
        cls.steps[0] = 0
        return lambda: cls.steps[0]

    def teardown(self):
        # The scans end first: while one is suspended, a walk internal stays
        # patched, and one left patched here records every later call of the
        # process into LOG. What a close raises was compared by close_scans
        # when a step asked for it; here the scans only have to end.
        for scans in self.scans:
            for scan in scans:
                try:
                    scan.close()
                except Exception:
                    pass
        self.scans = []
        for name in list(self.patched):
            self.unpatch(name)
        for name in list(self.rebound):
            self.restore_global(name)
        os.chdir(self.start)
        shutil.rmtree(self.root, ignore_errors=True)
        self.warnings.__exit__(None, None, None)

    # -- helpers

    def name(self, spec):
        form, rel = spec
        if form == "absolute":
            return self.root + "/" + rel
        if form == "bare":
            return rel.rsplit("/", 1)[-1]
        return rel

    def both(self, step, touched=()):
        """Run step(side, objects of the touched pairs) on each side and
        compare; keep the version objects that a step returns as a pair."""
        self.steps[0] += 1
        seen = []
        for side in (0, 1):
            if any(name.startswith("re.") for name in self.patched):
                # The caches of re and fnmatch decide whether a compilation
                # reaches the patched function: each side starts without.
                re.purge()
                fnmatch._compile_pattern.cache_clear()
            objects = [pair[side] for pair in touched]
            made = []

            def run():
                result = step(side, *objects)
                made.append(result)
                return result

            result, calls = outcome(run, side)
            state = [norm_dict(obj, side) for obj in objects]
            seen.append((result, calls, state, made[0] if made else None))
        module, reference = seen
        assert module[:3] == reference[:3], (
            "the module and the plain rendering differ:\n  module: %r\n  plain:  %r"
            % (module[:3], reference[:3]))
        if isinstance(module[3], BASES[0]) and isinstance(reference[3], BASES[1]):
            self.keep((module[3], reference[3]))

    def keep(self, pair):
        self.pairs.append(pair)
        del self.pairs[:-8]

    def pair(self, which, kind=None):
        """A pair by index; with ``kind``, among the pairs whose objects are
        of that original class (or a subclass), when there are any."""
        pairs = self.pairs
        if kind is not None:
            pairs = [p for p in pairs if isinstance(p[0], SAVED[0][kind])] or pairs
        return pairs[which % len(pairs)]

    def cls(self, side, kind):
        if kind in CLASSES:
            return SAVED[side][kind]
        return subclasses(side)[kind]

    # -- objects

    @initialize(spec=names(), kind=st.sampled_from(CLASSES))
    def first_objects(self, spec, kind):
        # A tree that scans find something in from the start.
        for rel in SEED_TREE:
            self.tree(("absolute", rel), "file")
        for kind in CLASSES:
            self.keep(tuple(SAVED[side][kind]("sh010.v001.exr") for side in (0, 1)))
        self.make(spec, kind, {})

    @rule(spec=names(), kind=st.sampled_from(CLASSES + tuple(SUBCLASS_KINDS)), settings=SETTINGS)
    def make(self, spec, kind, settings):
        name = self.name(spec)
        self.both(lambda side: self.cls(side, kind)(name, **settings))

    @rule(which=st.integers(0, 7), kind=st.sampled_from(CLASSES + tuple(SUBCLASS_KINDS)),
          settings=SETTINGS)
    def copy(self, which, kind, settings):
        self.both(lambda side, obj: self.cls(side, kind)(obj, **settings), [self.pair(which)])

    @rule(which=st.integers(0, 7), spec=names(), settings=SETTINGS)
    def init_again(self, which, spec, settings):
        name = self.name(spec)
        self.both(lambda side, obj: obj.__init__(name, **settings), [self.pair(which)])

    # -- members

    @rule(which=st.integers(0, 7), member=st.sampled_from([
        "str", "repr", "current", "isVersionless", "versionless", "next", "previous", "fs",
        "hash", "<", "regex_splits"]))
    def read(self, which, member):
        self.read_member(self.pair(which), member)

    @rule(which=st.integers(0, 7), member=st.sampled_from([
        "first", "last", "exists", "list", "__next__", "__previous__", "next()", "next",
        "previous"]))
    def query(self, which, member):
        self.read_member(self.pair(which, "VersionFileSystem"), member)

    def read_member(self, pair, member):
        def step(side, obj):
            if member == "str":
                return str(obj)
            if member == "repr":
                return repr(obj)
            if member == "list":
                return list(obj)
            if member == "next()":
                return next(obj)
            if member == "hash":
                return hash(obj)
            if member == "<":
                return obj < obj
            if member in ("__next__", "__previous__"):
                return getattr(obj, member)()
            return getattr(obj, member)

        self.both(step, [pair])

    @rule(which=st.integers(0, 7), number=st.sampled_from(NUMBERS))
    def to(self, which, number):
        self.both(lambda side, obj: obj.to(number), [self.pair(which)])

    @rule(which=st.integers(0, 7), number=st.sampled_from(NUMBERS))
    def contains(self, which, number):
        self.both(lambda side, obj: number in obj, [self.pair(which, "VersionFileSystem")])

    @rule(which=st.integers(0, 7), pads=st.sampled_from(PADS), number=st.sampled_from(NUMBERS),
          on_class=st.booleans())
    def int_to_pad(self, which, pads, number, on_class):
        def step(side, obj):
            target = SAVED[side]["BaseVersion"] if on_class else obj
            return target.int_to_pad(pads, number)

        self.both(step, [self.pair(which)])

    @rule(which=st.integers(0, 7), spec=names(), path=st.sampled_from([None, "x", 5]))
    def helpers(self, which, spec, path):
        name = self.name(spec)
        self.both(lambda side, obj: (obj._splits(name), obj._current(path)), [self.pair(which)])

    @rule(which=st.integers(0, 7), other=st.one_of(
        st.sampled_from([("int", n) for n in (0, 1, 3, 12, -1, True, 10 ** 20)]
                        + [("value", v) for v in (None, 3.0, 1.5, b"1", ())]),
        names().map(lambda spec: ("name", spec)),
        st.integers(0, 7).map(lambda k: ("pair", k))), negate=st.booleans(),
        swapped=st.booleans())
    def compare(self, which, other, negate, swapped):
        kind, value = other
        touched = [self.pair(which)]
        if kind == "pair":
            touched.append(self.pair(value))
        elif kind == "name":
            value = self.name(value)

        def step(side, obj, *rest):
            right = rest[0] if rest else value
            left, right = (right, obj) if swapped else (obj, right)
            return left != right if negate else left == right

        self.both(step, touched)

    @rule(which=st.integers(0, 7), member=st.sampled_from(["in list", "in tuple", "list.index"]),
          others=st.lists(st.integers(0, 7), max_size=3))
    def search(self, which, member, others):
        touched = [self.pair(which)] + [self.pair(k) for k in others]

        def step(side, obj, *rest):
            items = list(rest)
            if member == "in list":
                return obj in items
            if member == "in tuple":
                return obj in tuple(items) + (3,)
            return items.index(obj) if obj in items else None

        self.both(step, touched)

    # -- records

    @rule(which=st.integers(0, 7), field=st.sampled_from(FIELDS),
          value=st.sampled_from(range(len(ODD_VALUES))), delete=st.booleans())
    def rebind(self, which, field, value, delete):
        def step(side, obj):
            if delete:
                delattr(obj, field)
            elif field == "__class__":
                kinds = CLASSES + tuple(SUBCLASS_KINDS)
                obj.__class__ = self.cls(side, kinds[value % len(kinds)])
            else:
                setattr(obj, field, ODD_VALUES[value])

        self.both(step, [self.pair(which)])

    @rule(which=st.integers(0, 7), source=st.integers(0, 7), field=st.sampled_from(FIELDS[:8]))
    def transplant(self, which, source, field):
        """A field taken from another object, with its kind."""
        self.both(lambda side, obj, other: setattr(obj, field, getattr(other, field)),
                  [self.pair(which), self.pair(source)])

    # -- module globals and the standard library

    @rule(kind=st.sampled_from(GLOBAL_KINDS))
    def rebind_global(self, kind):
        self.steps[0] += 1
        name = kind[0]
        for side in (0, 1):
            namespace = vars(SIDES[side])
            self.rebound[name] = True
            make = global_doubles(side)[kind]
            if make is None:
                namespace.pop(name, None)
            else:
                namespace[name] = make()

    @rule(name=st.sampled_from(sorted({kind[0] for kind in GLOBAL_KINDS})))
    def restore_global(self, name):
        self.steps[0] += 1
        if name not in self.rebound:
            return
        for side in (0, 1):
            namespace = vars(SIDES[side])
            namespace[name] = SAVED[side][name]
            # The namespace keeps its binding order.
            for key in SAVED[side]:
                if key in namespace:
                    namespace[key] = namespace.pop(key)
        del self.rebound[name]

    @rule(name=st.sampled_from(sorted(STDLIB)))
    def patch(self, name):
        self.steps[0] += 1
        if name in self.patched or (self.scans and name in WALK_INTERNALS):
            return
        owner, attr = STDLIB[name]
        real = getattr(owner, attr)
        self.patched[name] = real
        setattr(owner, attr, recorder(name, real))

    @rule(name=st.sampled_from(sorted(STDLIB)))
    def unpatch(self, name):
        self.steps[0] += 1
        if name in self.patched and not (self.scans and name in WALK_INTERNALS):
            owner, attr = STDLIB[name]
            setattr(owner, attr, self.patched.pop(name))

    # -- the tree and the working directory

    @rule(spec=names(), kind=st.sampled_from(["file", "file", "file", "dir", "link to dir",
                                              "dangling link", "remove"]))
    def tree(self, spec, kind):
        self.steps[0] += 1
        rel = spec[1]
        path = os.path.join(self.root, rel)
        if kind == "remove":
            if os.path.islink(path) or os.path.isfile(path):
                os.unlink(path)
            elif os.path.isdir(path):
                shutil.rmtree(path)
            return
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if kind == "file":
                open(path, "w").close()
            elif kind == "dir":
                os.mkdir(path)
            elif kind == "link to dir":
                os.symlink(self.root + "/sub", path)
            else:
                os.symlink(self.root + "/missing", path)
        except OSError:
            pass

    @rule(where=st.sampled_from(["", "sub", "sub/deep", "é"]))
    def chdir(self, where):
        self.steps[0] += 1
        try:
            os.chdir(os.path.join(self.root, where))
        except OSError:
            pass

    # -- scans held open across steps

    @precondition(lambda self: len(self.scans) < 2)
    @rule(which=st.integers(0, 7))
    def open_scan(self, which):
        pair = self.pair(which, "VersionFileSystem")
        scans = []
        self.both(lambda side, obj: scans.append(iter(obj)), [pair])
        if len(scans) == 2:
            self.scans.append(scans)

    @precondition(lambda self: self.scans)
    @rule(which=st.integers(0, 1), count=st.integers(1, 3))
    def resume_scan(self, which, count):
        scans = self.scans[which % len(self.scans)]

        def step(side):
            return [item for _, item in zip(range(count), scans[side])]

        self.both(step)

    @precondition(lambda self: self.scans)
    @rule()
    def close_scans(self):
        self.both(lambda side: [scans[side].close() for scans in self.scans])
        self.scans = []


# The explain phase replays a failing example under a tracer, whose own
# calls of os.fspath and the like a patched stand-in would log as the
# module's.
PHASES = [phase for phase in Phase if phase.name != "explain"]


def main(argv):
    """python tests/differential.py [STEPS]: run the machine until STEPS
    steps have passed, each example with a fresh random seed; on the first
    difference print the shrunk step list and exit 1."""
    import sys
    import time

    from hypothesis import HealthCheck, settings
    from hypothesis.stateful import run_state_machine_as_test

    wanted = int(argv[1]) if len(argv) > 1 else 100000
    counted = Differential.count_steps()
    began = time.monotonic()
    shown = began
    config = settings(max_examples=50, stateful_step_count=50, database=None, deadline=None,
                      suppress_health_check=list(HealthCheck), print_blob=True, phases=PHASES)
    try:
        while counted() < wanted:
            run_state_machine_as_test(Differential, settings=config)
            if time.monotonic() - shown > 30:
                shown = time.monotonic()
                print("difftest: %d steps, %.0f s" % (counted(), shown - began), flush=True)
    except Exception:
        # The count includes the steps that shrinking replayed.
        print("difftest: a difference after %d steps, %.0f s:"
              % (counted(), time.monotonic() - began))
        raise
    print("difftest: no difference in %d steps, %.0f s (Python %s)"
          % (counted(), time.monotonic() - began, sys.version.split()[0]))
    return 0


if __name__ == "__main__":
    import sys

    sys.exit(main(sys.argv))
