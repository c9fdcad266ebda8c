"""Coverage-guided fuzzing of kestrum.versioner with atheris (run it through tools/fuzz).

An input is NAME, optionally followed by the two bytes FF FF and CONTROL.
CONTROL (read through atheris.FuzzedDataProvider; all zeros or empty means the
defaults) chooses the class (Version first), where the name comes from (NAME
decoded with surrogateescape; arbitrary unicode; or a name assembled from
version-like pieces), the settings and a sequence of operations on the object.
So a bare file name is a valid input: a Version of it, whose number is read.
Results are checked against a plain-Python model where the behaviour is fully
determined (splitting, padding, the number, the text forms, re-versioning and
the versionless name, stepping, equality with numbers).

Only the exception kinds that the module may raise for odd input are caught:
TypeError, ValueError (UnicodeError included), OverflowError, re.error, the
package's NoValidVersion, ExceededPaddingVersion and VersionZero, and KeyError
(a postfix or extension fragment can swallow a named group of the pattern, as
'[' does, and then the group dict lacks that key). Anything else
(AttributeError, IndexError, SystemError, MemoryError, RecursionError, a failed
model check, ...) is a finding and stops the fuzzer with the input saved, as
does a crash or a sanitizer report.

The disk is only looked at (os.path.exists, os.getcwd): the harness runs in an
empty temporary directory and never scans a tree.
"""

import os
import re
import sys
import tempfile
import types
import warnings

import atheris

from kestrum import versioner
from kestrum.versioner import BaseVersion, Version, VersionFileSystem

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import plain  # noqa: E402  (tests/plain.py)

NoValidVersion = versioner.NoValidVersion
ExceededPaddingVersion = versioner.ExceededPaddingVersion
VersionZero = versioner.VersionZero

EXPECTED = (
    TypeError,
    ValueError,
    OverflowError,
    re.error,
    KeyError,
    NoValidVersion,
    ExceededPaddingVersion,
    VersionZero,
)

MISSING = object()

# Pieces that version names are made of; assembled names reach the matching
# paths far more often than random text.
PIECES = [
    "shot", "sh010", "plate", "a", "x", "v", "V", ".v", "_v", "-ver", ".", "..", "/", "/p/",
    "dir.v1/", "001", "012", "0", "000", "1", "9", "99", "999", "1000", "0012", "exr", ".exr",
    ".ma", ".tar.gz", "\n", "\r", " ", "\x00", "README", ".bashrc", "\u0663", "\ud800", "*", "?",
    "[", "(", "\\",
]
TEXT_SETTINGS = [
    ".v", "_v", "", "v", "-ver", ".*", "exr", "ma", "(", ")", "[", "]", "*", "+", "?", "\\", "|",
    "{2}", "$", "^", ".", "(?P<head>x)", "(?P<version>1)", "[0-9]+", ")|(", "%s", "%", "\n",
    "(?i)", "\ud800", "[._]v", "\\.v", "(?:_|-)v", "x{1,9}", "abc.v",
]
PADS = [0, 1, 2, 3, 4, 30, -1, -3, -30, 10 ** 20, -(10 ** 20), 2 ** 63, 3.0, 2.5, -0.5, 1e30,
        float("nan"), float("inf"), "3", "", None, True, False]
NUMBERS = [0, 1, -1, 7, 998, 999, 1000, 10 ** 30, -(10 ** 30), 3.9, -0.5, 1e300, float("inf"),
           float("nan"), "7", " 7 ", "1_0", "\u0663", "abc", "5.0", "", None, True, b"7"]
ODD_VALUES = [None, "", "abc", "007", " 7 ", "\u0663", "1_0", 5, -5, 0, 3.5, b"1", (), True]


def text(fdp, limit):
    kind = fdp.ConsumeIntInRange(0, 2)
    if kind == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, limit)).decode("utf-8", "surrogateescape")
    if kind == 1:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, limit))
    return "".join(
        PIECES[fdp.ConsumeIntInRange(0, len(PIECES) - 1)]
        for _ in range(fdp.ConsumeIntInRange(0, limit // 3))
    )


def pick(fdp, values, fuzzed):
    """MISSING (for 0, so that no control means defaults), a fuzzed value from
    ``fuzzed()``, or one of ``values``."""
    index = fdp.ConsumeIntInRange(0, len(values) + 1)
    if index == 0:
        return MISSING
    return fuzzed() if index == 1 else values[index - 2]


def fuzzed_text_setting(fdp):
    # Short: fragments are inserted into the pattern unescaped, and a long
    # fragment with nested repeats backtracks for as long as it likes.
    return text(fdp, 6)


def number(fdp):
    value = pick(fdp, NUMBERS, lambda: fdp.ConsumeIntInRange(-(10 ** 6), 10 ** 6))
    return 5 if value is MISSING else value


def pads_value(fdp):
    return pick(fdp, PADS, lambda: fdp.ConsumeIntInRange(-40, 40))


# --------------------------------------------------------------------------
# The model


# The plain-Python rendering that the tests compare the module with
# (tests/plain.py) gives the padding, the split and the number; the checks
# below model what a plain object cannot be asked without side effects.
model_int_to_pad = plain.BaseVersion.int_to_pad


def model_splits(pattern, filename):
    return plain.BaseVersion._splits(types.SimpleNamespace(regex_splits=pattern), filename)


def model_current(obj):
    return plain.BaseVersion._current(obj, None)


def outcome(func, *args):
    """("ok", value) or ("raised", exception type) for an expected exception."""
    try:
        return "ok", func(*args)
    except EXPECTED as exc:
        return "raised", type(exc)


def same(a, b):
    # Equal and of one type: tells 1 from True and a tuple from a list.
    return type(a) is type(b) and a == b


def check(condition, *what):
    if not condition:
        raise AssertionError(" ".join(repr(w) for w in what))


def model_to_name(obj, number):
    """The name that to(number) writes into ``obj.filename``."""
    digits = model_int_to_pad(int(obj.pads), int(number))
    parts = (obj.head, obj.postfix, obj.tail) if not obj.version else (obj.head, obj.tail)
    if any(part is None for part in parts):
        raise NoValidVersion  # the text 'None' would go into the name
    if not obj.version:
        return "%s%s%s%s" % (obj.head, obj.postfix, digits, obj.tail)
    return "%s%s%s" % (obj.head, digits, obj.tail)


def model_versionless_name(obj):
    """The name of the Version that versionless builds for a numbered name
    with text fields; None where the model does not say."""
    head, postfix, version, tail = obj.head, obj.postfix, obj.version, obj.tail
    if not all(type(x) is str and x for x in (version, tail)) or type(head) is not str:
        return None
    if type(postfix) is not str:
        return None
    match = re.fullmatch("(.*)(?:" + postfix + ")", head)
    stem = match.group(1) if match else head[: max(0, len(head) - len(postfix))]
    return stem + tail


def check_to(obj, number):
    before = obj.filename
    fields_are_text = isinstance(obj.head, str) and isinstance(obj.tail, str)
    want = outcome(model_to_name, obj, number)
    try:
        result = obj.to(number)
    except EXPECTED as exc:
        if want[0] == "raised":
            check(type(exc) is want[1], "to", number, exc, want)
            check(obj.filename is before, "to changed filename before failing", number)
        elif fields_are_text:
            check(obj.filename == want[1], "to wrote", obj.filename, "wanted", want[1])
        return None
    if fields_are_text:
        check(want[0] == "ok", "to succeeded where the model raised", number, want)
        check(obj.filename == want[1], "to wrote", obj.filename, "wanted", want[1])
    check(type(result) is type(obj), "to gave", type(result))
    if type(obj) is not VersionFileSystem:
        check(result.filename == obj.filename, "to result", result.filename, obj.filename)
    return result


def check_step(obj, up):
    """next / previous of a Version against the model."""
    current = obj.current
    target = None
    if current:
        if up:
            want = outcome(lambda: current + 1 <= int(obj.pads * "9"))
            if want[0] == "raised":
                try:
                    obj.next
                except EXPECTED as exc:
                    check(type(exc) is want[1], "next", exc, want)
                    return
                raise AssertionError("next did not raise %s" % want[1].__name__)
            if not want[1]:
                before = obj.filename
                try:
                    obj.next
                except ExceededPaddingVersion:
                    check(obj.filename is before, "next changed filename")
                    return
                raise AssertionError("next did not raise ExceededPaddingVersion")
            target = current + 1
        else:
            if current == 1:
                try:
                    obj.previous
                except VersionZero:
                    return
                raise AssertionError("previous did not raise VersionZero")
            if current > 1:
                target = current - 1
    if target is None:
        before = obj.filename
        result = obj.next if up else obj.previous
        check(result is None and obj.filename is before, "step without a number", result)
        return
    # Compare with to() on a twin built from the same record.
    twin = Version.__new__(type(obj))
    twin.__dict__.update(obj.__dict__)
    want = outcome(lambda: (twin.to(target), twin.filename)[1])
    got = outcome(lambda: ((obj.next if up else obj.previous), obj.filename)[1])
    check(got[0] == want[0], "step", up, got, want)
    if got[0] == "raised":
        check(got[1] is want[1], "step", up, got, want)
    else:
        check(got[1] == want[1], "step", up, got, want)


# --------------------------------------------------------------------------
# The target


SEPARATOR = b"\xff\xff"
CLASSES = (Version, BaseVersion, VersionFileSystem)


def build(fdp, raw=None):
    cls = CLASSES[fdp.ConsumeIntInRange(0, 2)]
    source = fdp.ConsumeIntInRange(0, 2)
    if source == 0 and raw is not None:
        name = raw.decode("utf-8", "surrogateescape")
    elif source == 1:
        name = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 48))
    else:
        name = text(fdp, 48)
    settings = {
        "pads": pads_value(fdp),
        "postfix": pick(fdp, TEXT_SETTINGS + [None, 5], lambda: fuzzed_text_setting(fdp)),
        "ext": pick(fdp, TEXT_SETTINGS + [None, 5], lambda: fuzzed_text_setting(fdp)),
    }
    given = {key: value for key, value in settings.items() if value is not MISSING}
    if fdp.ConsumeBool():
        obj = cls(name, **given)
    else:
        args = [name]
        for key in ("pads", "postfix", "ext"):
            if key not in given:
                break
            args.append(given.pop(key))
        obj = cls(*args, **given)
    if cls is not VersionFileSystem:
        check(obj.filename is name, "filename", obj.filename, name)
    return obj


def operate(fdp, obj):
    op = fdp.ConsumeIntInRange(0, 16)
    if op == 0:
        check(same(obj.current, model_current(obj)), "current", obj.current, obj.version)
        check(same(obj._current(None), model_current(obj)), "_current", obj.version)
    elif op == 1:
        name = text(fdp, 48)
        want = outcome(model_splits, obj.regex_splits, name)
        got = outcome(obj._splits, name)
        check(got[0] == want[0] and same(got[1], want[1]), "_splits", name, got, want)
    elif op == 2:
        check_to(obj, number(fdp))
    elif op == 3:
        want = outcome(model_versionless_name, obj)
        try:
            result = obj.versionless
        except NoValidVersion:
            if want[0] == "ok" and want[1] is not None:
                # Only the constructor may refuse the name that the model gives.
                built = outcome(Version, want[1])
                check(built[0] == "raised", "versionless refused", want[1])
            return
        if not obj.tail:
            check(result is obj.head, "versionless of an empty tail", result)
        else:
            check(type(result) is Version, "versionless gave", type(result))
            check(want[0] == "ok", "versionless succeeded where the model raised", want)
            if want[1] is not None:
                check(result.filename == want[1], "versionless", result.filename, want[1])
    elif op == 4:
        check(obj.isVersionless is (not obj.version), "isVersionless", obj.version)
    elif op == 5:
        other = pick(fdp, NUMBERS + [obj], lambda: text(fdp, 24))
        if other is MISSING:
            other = build(fdp)
        want = None
        if isinstance(other, int) and not isinstance(other, bool):
            want = obj.current == other
        got = outcome(lambda: obj == other)
        if want is not None:
            check(got == ("ok", want), "==", other, got, want)
        got_ne = outcome(lambda: obj != other)
        if got[0] == "ok" and isinstance(got[1], bool):
            check(got_ne == ("ok", not got[1]), "!=", other, got, got_ne)
    elif op == 6:
        check(str(obj) == repr(obj) == str(obj.filename), "text forms", obj.filename)
    elif op in (7, 8):
        if isinstance(obj, Version):
            check_step(obj, op == 7)
    elif op == 9:
        pads, value = pads_value(fdp), number(fdp)
        if pads is MISSING:
            pads = 3
        want = outcome(model_int_to_pad, pads, value)
        got = outcome(obj.int_to_pad, pads, value)
        check(got[0] == want[0] and same(got[1], want[1]), "int_to_pad", pads, value, got, want)
    elif op == 10:
        if isinstance(obj, VersionFileSystem):
            value = number(fdp)
            before = obj.filename
            try:
                value in obj  # noqa: B015
            except EXPECTED:
                pass
            check(obj.filename is before, "membership changed filename")
            check(obj.exists is os.path.exists(obj.filename), "exists")
    elif op == 11:
        cls = CLASSES[fdp.ConsumeIntInRange(0, 2)]
        copy = cls(obj, pads=7, postfix="_q", ext="q")
        if isinstance(obj, (Version, VersionFileSystem)):
            check(copy.pads is obj.pads and copy.postfix is obj.postfix, "copy settings")
        return copy
    elif op == 12:
        if isinstance(obj, Version):
            fs = obj.fs
            check(type(fs) is VersionFileSystem, "fs gave", type(fs))
    elif op in (13, 14, 15):
        # Rebind a field: every member reads the record at the moment of use.
        field = ("version", "pads", "postfix", "head", "tail")[fdp.ConsumeIntInRange(0, 4)]
        value = pick(fdp, ODD_VALUES, lambda: text(fdp, 12))
        if value is not MISSING:
            setattr(obj, field, value)
    else:
        obj.__init__(text(fdp, 48), pads_value(fdp) if fdp.ConsumeBool() else 3)
    return None


def TestOneInput(data):
    raw, _, control = data.partition(SEPARATOR)
    fdp = atheris.FuzzedDataProvider(control)
    try:
        obj = build(fdp, raw)
    except EXPECTED:
        return
    for _ in range(fdp.ConsumeIntInRange(1, 8)):
        try:
            replacement = operate(fdp, obj)
        except EXPECTED:
            continue
        if replacement is not None:
            obj = replacement


def main():
    # Corpus directories and inputs to replay, named relative to where we
    # were started.
    argv = [arg if arg.startswith("-") else os.path.abspath(arg) for arg in sys.argv[1:]]
    # Relative names then name nothing on disk. libFuzzer ends the process
    # without the interpreter's exit handlers: tools/fuzz points TMPDIR at a
    # directory of its own and removes it afterwards.
    os.chdir(tempfile.mkdtemp(prefix="kestrum-fuzz-"))
    # Fuzzed pattern fragments make re warn about possible future syntax.
    warnings.simplefilter("ignore")
    # The extension's own branches guide the fuzzer (tools/fuzz builds it with
    # coverage instrumentation); the branches of this harness's checks are
    # added. Instrumenting all Python code would cost a tenfold slowdown.
    for func in (build, operate, check_to, check_step, TestOneInput):
        globals()[func.__name__] = atheris.instrument_func(func)
    atheris.Setup(sys.argv[:1] + argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
