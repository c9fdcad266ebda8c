"""first, last, next, previous, __next__ and __previous__ decide on names and
numbers without building every item. Each query is run as is and with the
general path forced (a stand-in `os`, a subclass that overrides a member, a
member replaced on the class after start-up), and the outcomes compared:
result, its attributes, or the exception with the module's traceback
entries."""

import os
import re
import sys
import tempfile
import traceback

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kestrum import versioner
from kestrum.versioner import BaseVersion, VersionFileSystem
from trees import Recorder, make_tree, name_of, peak_traced, recording_os

from conftest import extension_entries

QUERIES = ("first", "last", "next", "previous", "__next__", "__previous__")


def query(obj, name):
    try:
        attr = getattr(obj, name)
        item = attr() if name.startswith("__") else attr
    except Exception as exc:
        return ("raised", type(exc), str(exc), extension_entries(exc))
    if item is None:
        return None
    return (type(item), vars(item).copy())


def answers(make):
    return {name: query(make(), name) for name in QUERIES}


class Plain(VersionFileSystem):
    """Overrides nothing the queries use: still decided natively."""

    def int_to_pad(self, pads, number):
        return BaseVersion.int_to_pad(pads, number)


class OwnEq(VersionFileSystem):
    """Overrides a member the queries use, with the same behaviour."""

    def __eq__(self, other):
        return VersionFileSystem.__eq__(self, other)

    __hash__ = None


def general(make):
    with pytest.MonkeyPatch.context() as m:
        m.setattr(versioner, "os", recording_os(Recorder()))
        return answers(make)


def compare_all(name, expect_equal_subclass=True):
    fast = answers(lambda: VersionFileSystem(name))
    assert fast == general(lambda: VersionFileSystem(name)), name
    if expect_equal_subclass:
        assert answers(lambda: Plain(name)) == fast, name
        assert answers(lambda: OwnEq(name)) == fast, name
    return fast


FILES = [
    "sh.v001.exr", "sh.v003.exr", "sh.v002.jpg", "sh.vfinal.txt", "sh.v.bak", "sh.v999.exr",
    "sh.v1000.exr", "sh.v000.exr", "sh.v002.exr", "sh.v0003.tif", "sh.v2.", "sh.v5",
    "sh.v4.e+x", "sh.v006.e[x]", "sh.v0\n7.exr", "sh.v008.exr\n", "sh_v010.exr",
    "sh.v123456789012345678901234.exr", "sub/sh.v1000.ma", "sub/sh.v004.exr",
    "sub/deeper/sh.v001.exr", "sub.v2.d/sh", "sub.v2.d/sh.v.x", "other.v001.exr",
]

OWN_NAMES = ["sh.v002.exr", "sh.v003.exr", "sh.v1000.exr", "sh.v999.exr", "sh.v001.exr",
             "sh.v004.exr", "sh.exr", "sh.v000.exr", "sh.v123456789012345678901234.exr",
             "sub/sh.v004.exr", "sub.v2.d/sh", "sh.v077.exr"]


@pytest.mark.parametrize("own", OWN_NAMES)
def test_queries_match_the_general_path(tmp_path, own):
    root = make_tree(tmp_path, *FILES)
    compare_all(root + "/" + own)


@pytest.mark.parametrize("own", ["sh.v002.exr", "sub/sh.v004.exr", "sh.exr", "./sh.v999.exr",
                                 "nowhere/sh.v001.exr", "sub/deeper/sh.v001.exr"])
def test_relative_names_match_the_general_path(tmp_path, monkeypatch, own):
    make_tree(tmp_path, *FILES)
    monkeypatch.chdir(tmp_path)
    fast = compare_all(own)
    if own == "sh.v002.exr":
        assert fast["last"][1]["filename"] == str(tmp_path) + "/sh.v123456789012345678901234.exr"


@pytest.mark.parametrize("files, last", [
    (["a.v002.exr", "a.v002.jpg", "a.v001.exr"], "a.v002.jpg"),  # the later one on a tie
    (["a.v002.jpg", "d/a.v002.exr", "a.v002.exr"], "d/a.v002.exr"),  # a later directory
    (["a.v10.e", "a.v9.e", "a.v010.x"], "a.v10.e"),  # equal numbers: the later name
    (["a.v000.e", "a.vx.e", "a.e"], None),
    (["a.v0.e", "a.v00000000000000000000001.e", "a.v1.e"], "a.v1.e"),
])
def test_ties_and_numbers(tmp_path, files, last):
    root = make_tree(tmp_path, *files)
    fast = compare_all(root + "/a.v001.e")
    got = fast["last"] and fast["last"][1]["filename"]
    assert name_of(root, got) == last


@pytest.mark.parametrize("files", [
    ["sh.v001.exr", "sh.v002.e(x", "sh.v003.exr"],
    ["sh.v001.exr", "sh.v003.e(y", "sh.v002.e(x", "z/sh.v004.exr"],
    ["d/sh.v001.exr", "sh.v009.exr", "d/sh.v002.e[x"],
])
def test_an_item_that_cannot_be_built_fails_the_query_at_its_place(tmp_path, files):
    root = make_tree(tmp_path, *files)
    fast = compare_all(root + "/sh.v001.exr")
    kind, exc_type, message, entries = fast["last"]
    assert kind == "raised" and exc_type is re.error
    assert entries[:2] == [("kestrum.versioner.VersionFileSystem.last", 190), ("__iter__", 155)]
    assert fast["__next__"][3][:2] == [("kestrum.versioner.VersionFileSystem.__next__", 162),
                                        ("__iter__", 155)]


@pytest.mark.parametrize("files, first", [
    (["sh.v003.exr", "sh.v001.e(x", "sh.v002.exr"], re.error),  # the smallest cannot be built
    (["sh.v003.exr", "sh.v002.e(x", "sh.v001.exr"], "sh.v001.exr"),
    (["d/sh.v002.exr", "d/sh.v001.exr", "other.v001.exr"], "d/sh.v001.exr"),
    (["other.v001.exr"], None),
])
def test_first_is_the_smallest_name_of_the_first_directory(tmp_path, files, first):
    root = make_tree(tmp_path, *files)
    got = compare_all(root + "/sh.v001.exr")["first"]
    if first is re.error:
        assert got[1] is re.error
        assert got[3][:2] == [("kestrum.versioner.VersionFileSystem.first", 183), ("__iter__", 155)]
    else:
        assert name_of(root, got and got[1]["filename"]) == first


def test_failures_of_the_scan_itself(tmp_path, vmod):
    make_tree(tmp_path, "sh.v001.exr")
    fast = compare_all("README")  # no head: os.path.split(None)
    assert fast["last"][1] is TypeError
    assert fast["last"][3] == [("kestrum.versioner.VersionFileSystem.last", 190), ("__iter__", 151)]
    # a numberless receiver: the item's __eq__ refuses None, with items only
    fast = compare_all(str(tmp_path) + "/sh.exr")
    assert fast["next"][1] is TypeError and fast["previous"][1] is TypeError
    assert fast["last"][1]["filename"] == str(tmp_path) + "/sh.v001.exr"
    assert compare_all(str(tmp_path) + "/none/sh.exr")["next"] is None


@pytest.mark.parametrize("owner, member", [
    ("VersionFileSystem", "__init__"), ("BaseVersion", "_splits"), ("BaseVersion", "_current"),
    ("BaseVersion", "__eq__"), ("VersionFileSystem", "__iter__"), ("BaseVersion", "current"),
])
def test_a_member_replaced_after_start_up_is_called(tmp_path, monkeypatch, owner, member):
    root = make_tree(tmp_path, *FILES)
    name = root + "/sh.v002.exr"
    expected = answers(lambda: VersionFileSystem(name))
    cls = getattr(versioner, owner)
    original = vars(cls)[member]
    calls = []
    if isinstance(original, property):
        replacement = property(lambda self: calls.append(1) or original.fget(self))
    else:
        def replacement(*args):
            calls.append(1)
            return original(*args)
    monkeypatch.setattr(cls, member, replacement)
    assert answers(lambda: VersionFileSystem(name)) == expected
    assert len(calls) >= len(QUERIES)  # the native queries would not call it


def test_subclass_with_an_override_takes_the_general_path(tmp_path):
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr", "sh.v003.exr")

    class Shifted(VersionFileSystem):
        @property
        def current(self):
            number = VersionFileSystem.current.fget(self)
            return None if number is None else number + 1

    # the receiver's own number comes through its override; the items are
    # VersionFileSystem objects
    assert query(Shifted(root + "/sh.v001.exr"), "next")[1]["filename"] == root + "/sh.v003.exr"
    assert query(Shifted(root + "/sh.v003.exr"), "previous") is None


@pytest.mark.skipif(os.name == "nt", reason="the native queries are closed on Windows: the general path there makes an object per file")
def test_only_the_result_is_built(tmp_path):
    root = make_tree(tmp_path, *["sh.v%04d.exr" % i for i in range(1, 2001)])

    cases = ((VersionFileSystem, "last"), (VersionFileSystem, "next"), (Plain, "previous"),
             (VersionFileSystem, "first"))
    for cls, name in cases:
        fs = cls(root + "/sh.v0001.exr")
        op = lambda: getattr(fs, name)
        native = peak_traced(op)
        with pytest.MonkeyPatch.context() as m:
            m.setattr(versioner, "os", recording_os(Recorder()))
            forced = peak_traced(op)
        # the names of one directory, not an object per file
        assert native < 1_000_000, name
        if name != "last":
            assert native * 4 < forced, name


names = st.text("sv.0123456789xe", min_size=1, max_size=10).map(lambda s: "sh" + s)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    files=st.lists(st.tuples(st.sampled_from(["", "a/", "a/b/", "c.v1.x/"]), names),
                   max_size=12, unique=True),
    own=st.tuples(st.sampled_from(["", "a/", "c.v1.x/"]), names),
)
def test_random_trees(files, own):
    with tempfile.TemporaryDirectory() as top:
        for folder, name in files:
            path = os.path.join(top, folder + name)
            if os.path.isdir(path):
                continue
            try:
                os.makedirs(os.path.dirname(path), exist_ok=True)
                open(path, "w").close()
            except OSError:  # a file where a directory is wanted, or the reverse
                continue
        name = top + "/" + own[0] + own[1]
        assert answers(lambda: VersionFileSystem(name)) == general(lambda: VersionFileSystem(name))


def test_no_leaks(tmp_path, leak_check):
    root = make_tree(tmp_path / "ok", "sh.v001.exr", "sh.v002.e+x", "sh.v003.exr", "d/sh.v002.exr",
                     "sh.v0\n4.exr", "sh.v.bak")
    fs = VersionFileSystem(root + "/sh.v002.exr")
    leak_check(lambda: (fs.last, fs.next, fs.previous, fs.__next__(), fs.__previous__()),
               objects=(fs,), iterations=100, warmup=30)
    failing = VersionFileSystem(make_tree(tmp_path / "f", "sh.v1.e(x") + "/sh.v001.exr")
    leak_check(lambda: failing.last, raises=re.error, iterations=100, warmup=30)
    numberless = VersionFileSystem(root + "/sh.exr")
    leak_check(lambda: numberless.next, raises=TypeError, iterations=100, warmup=30)


class Name(str):
    pass


def test_names_from_a_replaced_walk(tmp_path, monkeypatch):
    """os.walk itself replaced (the os global still the module): the names
    it hands out are taken as they come, slashes and str subclasses too."""
    root = make_tree(tmp_path, "sh.v001.exr", "d/sh.v002.exr", "sh.v.v7.e/x")

    def walk(top):
        yield top, [], ["sh.v003.exr", "sh.v.v7.e/x", Name("sh.v009.exr"), "sh.v004.a\nb"]
        yield Name(top + "/d"), [], ["sh.v002.exr", "sh.v009.exr"]

    monkeypatch.setattr(os, "walk", walk)
    compare_all(root + "/sh.v001.exr")


def make_byte_tree(root, *names):
    """Empty files under ``root`` named by bytes, as listed (not decodable
    ones too); return ``root`` as text."""
    top = os.fsencode(str(root))
    for name in names:
        path = os.path.join(top, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.close(os.open(path, os.O_CREAT | os.O_WRONLY, 0o644))
    return str(root)


# Names written as bytes, some not UTF-8: POSIX only.
byte_names = pytest.mark.skipif(os.name == "nt", reason="Windows names are UTF-16: no bytes to write")

# U+DCFF (from the undecodable byte 0xff) sorts before U+E000 (bytes ee 80 80):
# the reverse of the bytes' order.
UNDECODABLE = [b"sh.v002.\xff", "sh.v002.\ue000".encode(), b"sh.v001.exr"]
VALID_WIDE = ["sh.v002.\ue000", "sh.v002.\xe9", "sh.v002.\U0001f600", "sh.v003.\xe9x",
              "sh.v001.e\u0301.exr", "sh.v\xe9.v004.exr"]


@byte_names
@pytest.mark.parametrize("files, own", [
    (UNDECODABLE, "sh.v001.exr"),
    (UNDECODABLE + [b"d/sh.v002.x", b"d/sh.v002.\xfe"], "sh.v002.x"),
    # undecodable names only among those not selected, or in another directory
    ([b"sh.v001.exr", b"sh.v009.exr", b"zz.v009.\xff", b"d/sh.v009.\xff"], "sh.v001.exr"),
    ([n.encode() for n in VALID_WIDE] + [b"d/" + n.encode() for n in VALID_WIDE], "sh.v002.\xe9"),
    # an encoded surrogate and an overlong form are not valid UTF-8
    ([b"sh.v002.\xed\xa0\x80", b"sh.v002.\xc0\xaf", b"sh.v002.\xf4\x90\x80\x80", b"sh.v002.a"],
     "sh.v002.a"),
    ([b"sh\xff.v001.exr", b"sh\xff.v003.exr", b"sh.v002.exr"], "sh\udcff.v001.exr"),
    ([b"sh\xc3\xa9.v001.exr", b"sh\xc3\xa9.v002.\xff", b"sh\xc3\xa9.v003.exr"], "sh\xe9.v001.exr"),
    ([b"sh[1].v001.exr", b"sh[1].v002.exr", b"sh1.v003.exr"], "sh[1].v001.exr"),
    ([b"sh.v001.exr", b"sh.v002.a\nb", b"sh.v0\n3.exr", b"sh.v004.\xe9\n"], "sh.v001.exr"),
])
def test_listed_bytes_match_the_general_path(tmp_path, files, own):
    root = make_byte_tree(tmp_path, *files)
    compare_all(root + "/" + own)


@byte_names
def test_ties_follow_the_order_of_decoded_names(tmp_path):
    root = make_byte_tree(tmp_path, *UNDECODABLE)
    fast = compare_all(root + "/sh.v001.exr")
    assert fast["last"][1]["filename"] == root + "/sh.v002.\ue000"
    root = make_byte_tree(tmp_path / "valid", "sh.v002.\ue000".encode(), "sh.v002.\xff".encode())
    fast = compare_all(root + "/sh.v001.exr")
    assert fast["last"][1]["filename"] == root + "/sh.v002.\ue000"
    assert fast["first"][1]["filename"] == root + "/sh.v002.\xff"


@byte_names
def test_relative_listing_matches_the_general_path(tmp_path, monkeypatch):
    make_byte_tree(tmp_path, *(UNDECODABLE + [b"d/sh.v001.\xc3\xa9", b"d/sh.v007.exr"]))
    monkeypatch.chdir(tmp_path)
    compare_all("sh.v001.exr")
    compare_all("d/sh.v001.\xe9")


MEMORY_CHILD = r"""
import os, sys, tracemalloc
from kestrum.versioner import VersionFileSystem
top, count = sys.argv[1], int(sys.argv[2])
def make(top, count):
    os.mkdir(top)
    for i in range(1, count + 1):
        os.close(os.open("%s/sh.v%06d.exr" % (top, i), os.O_CREAT | os.O_WRONLY, 0o644))
    return VersionFileSystem(top + "/sh.v000001.exr")
def peak_rss():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmHWM"))
def huge_pages():
    try:
        with open("/proc/self/smaps_rollup") as f:
            return next((int(l.split()[1]) * 1024 for l in f if l.startswith("AnonHugePages")), 0)
    except OSError:
        return 0
# What the first query pays once, whatever the directory (code paged in, or
# translated under an emulator; threads started), is paid on a small one
# first: the peak below is what grows with the files. So is the first
# reading of each measure.
huge_pages(), peak_rss()
small = make(top + "/small", 10)
tracemalloc.start()
assert small.last.current == 10
tracemalloc.stop()
fs = make(top + "/large", count)
# The huge pages are counted over a span that holds the peak's.
huge = huge_pages()
before = peak_rss()
tracemalloc.start()
assert fs.last.current == count
traced = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
rss = peak_rss() - before
print(traced, rss, huge_pages() - huge)
"""


@pytest.mark.skipif(os.name == "nt", reason="the native queries are closed on Windows: the general path there makes an object per file")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_last_over_a_large_directory_holds_no_object_per_file(tmp_path):
    import subprocess
    import sys
    count = 20_000
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(tmp_path), str(count)],
                         check=True, capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    traced, rss, huge = map(int, out.stdout.split())
    # a str per name would take about 70 bytes a file, traced; the listing
    # itself about 40 bytes a file, untraced
    assert traced < 2 * count, traced
    if os.environ.get("PYTHONMALLOC") != "malloc":  # not under the sanitizers' allocator
        # What the process gained in transparent huge pages meanwhile came
        # 2 MiB at a time, whatever part of it is used: under qemu-aarch64,
        # the translation cache (huge pages at the emulator's request) takes
        # a new one when the code run first here crosses into it. That is
        # the measure's granularity, not the listing's size.
        assert rss < 100 * count + max(huge, 0), (rss, huge)


def overriding(base, member, calls):
    """A subclass of `base` whose `member` records each call and defers to the base's."""
    original = getattr(base, member) if member not in vars(base) else vars(base)[member]
    for klass in base.__mro__:
        if member in vars(klass):
            original = vars(klass)[member]
            break
    if isinstance(original, property):
        replacement = property(lambda self: calls.append(member) or original.fget(self))
    else:
        def replacement(*args):
            calls.append(member)
            return original(*args)
    return type("Own_" + member.strip("_"), (base,), {member: replacement,
                                                     "__hash__": base.__hash__})


# A subclass that overrides a member a query reads on its receiver (with the
# same behaviour): each query calls the override as often as the plain
# rendering calls its own under the same subclass, and answers the same.
@pytest.mark.parametrize("member", ["__eq__", "current", "_current", "_splits", "first", "last",
                                    "next", "previous", "__iter__"])
def test_a_subclass_override_of_the_receiver_is_called(tmp_path, member):
    import plain
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v003.exr", "sh.v002.exr", "sub/sh.v004.exr")
    for name in QUERIES:
        got, expected = [], []
        for mod, calls in ((versioner, got), (plain, expected)):
            fs = overriding(mod.VersionFileSystem, member, calls)(root + "/sh.v002.exr")
            del calls[:]
            answer = getattr(fs, name)
            answer = answer() if name.startswith("__") else answer
            calls.append(None if answer is None else answer.filename)
        assert got == expected, name


def recursion_room():
    """How deep two lists may nest for ==, which enters the recursion bracket
    at each level for the same small cost (repr's cost grows with the depth
    at each level): the room left below the caller. None from 3.14, whose
    bracket measures the C stack and keeps no depth to give back."""
    if sys.version_info >= (3, 14):
        return None
    low, high = 1, 1 << 15
    while low < high:
        middle = (low + high + 1) // 2
        left, right = [], []
        for _ in range(middle):
            left, right = [left], [right]
        try:
            left == right
            low = middle
        except RecursionError:
            high = middle - 1
    return low


# Queries that stop their scan part way: each gives back the recursion depth
# it entered, or the room for later calls shrinks with every query.
@pytest.mark.parametrize("name", QUERIES)
def test_queries_stopped_part_way_give_back_their_depth(tmp_path, name):
    import plain
    root = make_tree(tmp_path, "sh.v001.exr", "sh.v002.exr", "sh.v003.exr", "sub/sh.v004.exr")
    expected = query(plain.VersionFileSystem(root + "/sh.v002.exr"), name)
    fs = VersionFileSystem(root + "/sh.v002.exr")
    room = recursion_room()
    for _ in range(20):
        got = query(fs, name)
        assert (got[1]["filename"] if got else None) == (expected[1]["filename"] if expected else None)
    assert recursion_room() == room
