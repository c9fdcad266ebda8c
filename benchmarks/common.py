"""Pieces shared by the benchmark scripts: finding the module and its plain
rendering, and generating the scan directory."""

import os
import platform
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The generated directory: MATCHING files that begin with the scanned head
# plus OTHERS that do not (other prefixes), all in one directory.
MATCHING = 10000
OTHERS = 1000
SHOT = "sh010"
PADS = 5  # wide enough for 10,000 numbers


def import_versioner():
    """Import kestrum.versioner: an installed copy if there is one, otherwise
    the in-place build under src/.  Returns the module."""
    try:
        from kestrum import versioner
    except ImportError:
        sys.path.insert(0, os.path.join(ROOT, "src"))
        for name in [n for n in sys.modules if n == "kestrum" or n.startswith("kestrum.")]:
            del sys.modules[name]
        from kestrum import versioner
    return versioner


def import_plain():
    """Import the plain-Python rendering of the module's behaviour, which the
    tests compare the module with (tests/plain.py); after import_versioner,
    since it takes the exception classes from kestrum.errors."""
    tests = os.path.join(ROOT, "tests")
    if tests not in sys.path:
        sys.path.append(tests)
    import plain

    return plain


def package_parent(versioner):
    """The sys.path entry that holds the imported kestrum package."""
    return os.path.dirname(os.path.dirname(os.path.abspath(versioner.__file__)))


def matching_name(number):
    return "%s.v%0*d.exr" % (SHOT, PADS, number)


def make_tree(top):
    """Fill ``top``/sh010 with the matching files sh010.v00001.exr to
    sh010.v10000.exr and 1,000 others (sh020.v*.exr, plate_*.dpx); return the
    directory's path."""
    directory = os.path.join(top, SHOT)
    os.mkdir(directory)
    names = [matching_name(i) for i in range(1, MATCHING + 1)]
    names += ["sh020.v%0*d.exr" % (PADS, i) for i in range(1, OTHERS // 2 + 1)]
    names += ["plate_%04d.dpx" % i for i in range(1, OTHERS - OTHERS // 2 + 1)]
    flags = os.O_CREAT | os.O_WRONLY | os.O_EXCL
    for name in names:
        os.close(os.open(os.path.join(directory, name), flags, 0o644))
    return directory


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def header_lines(versioner):
    impl = platform.python_implementation()
    return [
        "interpreter: %s %s (%s)" % (impl, platform.python_version(), sys.executable),
        "machine:     %s; CPU %s; %s cores" % (platform.platform(), cpu_model(), os.cpu_count()),
        "module:      %s" % versioner.__file__,
    ]
