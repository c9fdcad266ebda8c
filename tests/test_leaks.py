"""Every member, on success and on each failure path, run many times:
neither memory nor the reference counts of the arguments may grow."""

import re
import types

import pytest

from kestrum import versioner
from kestrum.versioner import BaseVersion, Version, VersionFileSystem


def fresh(text):
    # A str object of its own (not interned, not shared with the tests).
    return "".join(list(text))


def fs_source(filename):
    src = VersionFileSystem.__new__(VersionFileSystem)
    src.filename, src.pads, src.postfix, src.ext = filename, 3, ".v", ".*"
    return src


def splitting(result):
    class Custom(Version):
        def _splits(self, filename):
            return result

    return Custom


class Raising:
    # A fresh exception per call: re-raising one instance would grow its
    # traceback on every call.
    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __int__(self):
        raise self.exc_type("raised by __int__")


FGET = BaseVersion.__dict__["current"].fget
BIG = 10 ** 20 + 1


# Each case builds (operation, expected exception or None, objects whose
# reference counts must not grow).
CASES = {}


def case(factory):
    CASES[factory.__name__.lstrip("_")] = factory
    return factory


@case
def _construct():
    name = fresh("shot.v001.ma")
    return (lambda: BaseVersion(name)), None, (name,)


@case
def _construct_keywords():
    name, postfix = fresh("plate_v12.dpx"), fresh("_v")
    return (lambda: Version(filename=name, pads=BIG, postfix=postfix, ext="x")), None, (name, postfix)


@case
def _copy_version():
    src = Version(fresh("shot.v001.ma"))
    return (lambda: Version(src, pads=4)), None, (src, src.filename)


@case
def _copy_file_system():
    src = fs_source(fresh("shot.v001.ma"))
    return (lambda: BaseVersion(src)), None, (src, src.filename)


@case
def _reinit():
    v, name = Version("a.v001.ma"), fresh("plate_v12.dpx")
    return (lambda: v.__init__(name, BIG, "_v", "x")), None, (v, name)


@case
def _splits_match():
    v, name = Version("a.v001.ma"), fresh("shot.v010.v002.ma")
    return (lambda: v._splits(name)), None, (v, name)


@case
def _splits_dot():
    v, name = Version("a.v001.ma"), fresh("shot.v001")
    return (lambda: v._splits(filename=name)), None, (v, name)


@case
def _splits_no_dot():
    v, name = Version("a.v001.ma"), fresh("README")
    return (lambda: v._splits(name)), None, (v, name)


@case
def _current_int():
    v = Version("shot.v042.ma")
    return (lambda: v.current), None, (v,)


@case
def _current_swallowed_value_error():
    v = Version("shot.v042.ma")
    v.version = fresh("abc")
    return (lambda: v.current), None, (v, v.version)


@case
def _current_swallowed_missing():
    v = Version("shot.v042.ma")
    del v.version
    return (lambda: v._current(None)), None, (v,)


@case
def _current_swallowed_raising():
    v = Version("shot.v042.ma")
    v.version = Raising(RuntimeError)
    return (lambda: v.current), None, (v, v.version)


@case
def _current_method():
    v, arg = Version("shot.v042.ma"), object()
    return (lambda: v._current(path=arg)), None, (v, arg)


@case
def _fget_direct():
    v = Version("shot.v042.ma")
    return (lambda: FGET(v)), None, (v,)


@case
def _int_to_pad():
    return (lambda: BaseVersion.int_to_pad(25, BIG)), None, (BIG,)


@case
def _int_to_pad_instance():
    v = Version("a")
    return (lambda: v.int_to_pad(number=BIG, pads=-30)), None, (v, BIG)


@case
def _metadata():
    func = BaseVersion.__dict__["__init__"]
    v = Version("a")

    def op():
        func.__code__, func.__defaults__, func.__name__, func.__qualname__
        v.__init__, v._splits, Version.__init__
        BaseVersion.__dict__["current"].__get__(v, Version)

    return op, None, (func, v)


@case
def _arg_missing():
    return (lambda: BaseVersion()), TypeError, ()


@case
def _arg_too_many():
    name = fresh("a")
    return (lambda: BaseVersion(name, 1, 2, 3, 4)), TypeError, (name,)


@case
def _arg_unknown_keyword():
    name = fresh("a")
    return (lambda: BaseVersion(name, bogus=name)), TypeError, (name,)


@case
def _arg_multiple_values():
    name = fresh("a")
    return (lambda: BaseVersion(name, BIG, pads=BIG)), TypeError, (name, BIG)


@case
def _arg_splits():
    v = Version("a")
    return (lambda: v._splits(v, v)), TypeError, (v,)


@case
def _arg_current_method():
    v = Version("a")
    return (lambda: v._current(path=v, other=v)), TypeError, (v,)


@case
def _arg_int_to_pad():
    return (lambda: BaseVersion.int_to_pad(number=BIG)), TypeError, (BIG,)


@case
def _arg_fget_keyword():
    v = Version("a")
    return (lambda: FGET(self=v)), TypeError, (v,)


@case
def _arg_fget_count():
    v = Version("a")
    return (lambda: FGET(v, v)), TypeError, (v,)


@case
def _bad_filename():
    bad = fresh("shot.v001.ma").encode()
    return (lambda: Version(bad)), TypeError, (bad,)


@case
def _bad_filename_base_version():
    src = BaseVersion("shot.v001.ma")
    return (lambda: Version(src)), TypeError, (src,)


@case
def _unpack_short():
    cls = splitting(("h", "v"))
    return (lambda: cls("shot.v001.ma")), ValueError, ()


@case
def _unpack_long():
    cls = splitting(("h", "v", "t", "x"))
    return (lambda: cls("shot.v001.ma")), ValueError, ()


@case
def _unpack_not_iterable():
    cls = splitting(5)
    return (lambda: cls("shot.v001.ma")), TypeError, ()


@case
def _invalid_pattern():
    postfix = fresh("(")
    # The pattern compiler is slow: fewer, still telling, rounds.
    op = lambda: Version("render", postfix=postfix)  # noqa: E731
    return op, re.error, (postfix,), dict(warmup=30, iterations=60)


@case
def _incomplete_source():
    src = Version("shot.v001.ma")
    del src.ext
    return (lambda: Version(src)), AttributeError, (src, src.filename)


@case
def _current_no_filename():
    v = Version("shot.v001.ma")
    del v.filename
    return (lambda: v.current), AttributeError, (v,)


@case
def _current_keyboard_interrupt():
    v = Version("shot.v001.ma")
    v.version = Raising(KeyboardInterrupt)
    return (lambda: v.current), KeyboardInterrupt, (v,)


@case
def _int_to_pad_type_error():
    pads = fresh("3")
    return (lambda: BaseVersion.int_to_pad(pads, BIG)), TypeError, (pads, BIG)


@case
def _splits_type_error():
    v, bad = Version("a"), object()
    return (lambda: v._splits(bad)), TypeError, (v, bad)


@case
def _splits_groupdict_error():
    v = Version("a")
    match = types.SimpleNamespace(groupdict=lambda: {"head": "h"})
    v.regex_splits = types.SimpleNamespace(finditer=lambda name: iter([match]))
    return (lambda: v._splits("x")), KeyError, (v, match)


@pytest.mark.parametrize("case", sorted(CASES))
def test_no_leak(case, leak_check):
    op, raises, objects, *options = CASES[case]()
    leak_check(op, raises=raises, objects=objects, **(options[0] if options else {}))


def test_no_leak_when_splitext_fails(monkeypatch, leak_check):
    def splitext(name):
        raise OSError(name)

    monkeypatch.setattr(versioner, "os", types.SimpleNamespace(path=types.SimpleNamespace(splitext=splitext)))
    name = fresh("shot.v001.ma")
    leak_check(lambda: Version(name), raises=OSError, objects=(name,))


def test_leak_check_detects_a_leak(leak_check):
    kept = []
    with pytest.raises(AssertionError, match="memory grew"):
        leak_check(lambda: kept.append(object()))
    target = object()
    with pytest.raises(AssertionError, match="reference count"):
        leak_check(lambda: kept.append(target), objects=(target,), budget=10 ** 9)
