"""The module under ntpath's rules, run as a child interpreter: os.path is made
ntpath (as it is on Windows; there this changes nothing) before the module is
imported, so the module takes it for the system's path module. The child
compares the module with ntpath itself and with the plain rendering
(plain.py), which reads os.path at each call, and prints what it found as
JSON on its last line. Its source is run as `python -c SOURCE TESTS EXAMPLES
SCRATCH` (trees.run_child), with the package on PYTHONPATH: TESTS is the
folder of plain.py, EXAMPLES the number of hypothesis examples, SCRATCH an
empty directory of the caller's where a small tree is made.
"""

import json
import os
import sys
import traceback

# Imported before os.path changes: hypothesis reads os.path at import.
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ntpath

SYSTEM_PATH = os.path
os.path = ntpath
sys.modules["os.path"] = ntpath
sys.path.insert(0, sys.argv[1])

import plain  # noqa: E402
from kestrum import versioner  # noqa: E402

EXAMPLES = int(sys.argv[2])
os.chdir(sys.argv[3])

# Drive letters, UNC shares, the \\?\ and \\.\ prefixes, mixed and doubled
# slashes, trailing separators, dots and empty parts.
HARD = [
    "", ".", "..", "...", ".exr", "..exr", "a.", "a..", "C:", "C:.exr", "C:a.v001.exr",
    "c:\\", "C:\\.exr", "C:\\..exr", "C:\\a.v1\\b", "C:\\a.v1/b", "C:/a\\b.v002.exr",
    "C:\\show\\sh010\\comp.v012.exr", "C:\\show\\sh010\\comp.v012.exr\\",
    "C:\\show\\sh010\\comp.v012.", "C:\\show.v2\\sh010\\comp", "C:\\show\\.v005",
    "\\\\server\\share\\show\\plate.v0042.dpx", "//server/share/plate.v7.dpx",
    "\\\\server\\share.v1", "\\\\server\\share.v1\\", "\\\\server", "\\\\server\\",
    "\\\\?\\C:\\show\\comp.v010.exr", "\\\\?\\UNC\\server\\share\\a.v3.exr",
    "\\\\.\\C:\\a.v004.exr", "\\\\.\\pipe\\x.v1.y", "//?/c:/a.v5.b", "\\show\\comp.v004.exr",
    "/show\\comp.v004.exr", "a\\.b", "a/.b", "a\\..b", "a\\b.\\c", "a.b\\", "a.b/",
    "\\\\", "\\\\\\a.v1.b", "C:\\\\a.v1.b", "a\\\\b.v1.c", ".\\a.v1.b", "..\\a.v1.b",
    "sh010_comp.v001.exr", "é\\ß.v01.ü", "a.v1.b\nc.d", "C:\\x\\.\\y.v1.z",
]


def outcome(op):
    try:
        value = op()
    except Exception as e:  # noqa: BLE001 - the kind must agree as well
        return "error " + type(e).__name__
    return None if value is None else str(value)


def observe(mod, name):
    try:
        v = mod.Version(name)
    except Exception as e:  # noqa: BLE001 - an extension that is no pattern
        return ["error", type(e).__name__]
    fields = [v.filename, v.head, v.version, v.tail, v.ext, v.current, v.isVersionless]
    return fields + [outcome(op) for op in (
        lambda: mod.Version(name).versionless,
        lambda: mod.Version(name).next,
        lambda: mod.Version(name).previous,
        lambda: mod.Version(name).to(13),
        lambda: mod.Version(name) == name,
    )]


def expected_ext(name):
    extension = ntpath.splitext(name)[1]
    return extension[1:] if extension else ".*"


def check(name, found):
    """Records a difference for `name`: from ntpath, or from the plain rendering."""
    try:
        ext = versioner.Version(name).ext
    except Exception:  # noqa: BLE001 - compared below through observe
        ext = None
    if ext is not None and ext != expected_ext(name):
        found.append(["ntpath", name, ext, expected_ext(name)])
    module_side, plain_side = observe(versioner, name), observe(plain, name)
    if module_side != plain_side:
        found.append(["plain", name, module_side, plain_side])


def python_calls(op):
    """Names of the Python-level functions that op() calls."""
    seen = []
    sys.setprofile(lambda frame, event, arg: event == "call" and
                   seen.append(frame.f_code.co_name))
    try:
        op()
    finally:
        sys.setprofile(None)
    return seen[1:]  # op itself first


def scan_answers(mod, name):
    fs = mod.VersionFileSystem(name)
    return [sorted(os.path.basename(v.filename) for v in fs), outcome(lambda: fs.exists),
            outcome(lambda: 2 in fs), outcome(lambda: fs.last), outcome(lambda: fs.next)]


def main():
    out = {"differences": []}
    for name in HARD:
        check(name, out["differences"])

    # Path characters above all, where the rules of the two systems part.
    # Hypothesis itself runs with the system's os.path (it resolves paths);
    # each example with ntpath.
    @settings(max_examples=EXAMPLES, database=None, deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(st.text(alphabet="\\/.:?Cv01 aé\n", max_size=16))
    def same_everywhere(name):
        found = []
        os.path = ntpath
        try:
            check(name, found)
        finally:
            os.path = SYSTEM_PATH
        assert not found, found

    os.path = SYSTEM_PATH
    try:
        same_everywhere()
    except AssertionError as e:
        out["differences"].append(["hypothesis", str(e)])
    finally:
        os.path = ntpath

    name = "C:\\show\\sh010\\comp.v012.exr"
    out["calls"] = python_calls(lambda: versioner.Version(name))
    # A stand-in for ntpath.splitext is called, and once it is gone the
    # native path is taken again.
    real = ntpath.splitext
    ntpath.splitext = lambda p: real(p)
    try:
        out["rebound"] = [python_calls(lambda: versioner.Version(name)).count("<lambda>"),
                          versioner.Version(name).ext]
    finally:
        ntpath.splitext = real
    out["restored"] = python_calls(lambda: versioner.Version(name))

    # Scans: fnmatch folds case under ntpath, os.walk joins with a backslash
    # (on Linux no folder has such a name), and a name rooted without a drive
    # is absolute for ntpath up to 3.12 only. On Linux "//tmp" is "/tmp",
    # which ntpath reads as a share, absolute on every minor.
    for part in ("sh.v001.exr", "SH.v002.exr", "Sh.v010.EXR", "sh.v003.tif", "other.v001.exr"):
        open(part, "w").close()
    os.mkdir("sub")
    open(os.path.join("sub", "sh.v004.exr"), "w").close()
    here = os.getcwd()
    spellings = [here + "/sh.v001.exr", here + "\\SH.v002.exr"]
    if SYSTEM_PATH.sep == "/":
        spellings += ["/" + here + "/Sh.v010.EXR", "/" + here + "\\sh.v001.exr"]
    out["scans"] = [[scan_answers(versioner, name), scan_answers(plain, name)]
                    for name in spellings]
    print(json.dumps(out))


if __name__ == "__main__":
    try:
        main()
    except BaseException:
        traceback.print_exc()
        raise
