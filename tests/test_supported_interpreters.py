"""What the package says it supports is what CI tests: the CPython minors that
tools/interpreters.bash hands to CI, the classifiers and requires-python of
pyproject.toml, and the ranges README.md names, agree with one another and
with the interpreter running the suite.

No call of the extension here, so no leak check: these read text files only.
Skipped where the checkout is not at hand (a suite run from elsewhere)."""

import re
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FILES = {
    "interpreters": ROOT / "tools" / "interpreters.bash",
    "pyproject": ROOT / "pyproject.toml",
    "readme": ROOT / "README.md",
}
pytestmark = pytest.mark.skipif(
    not all(path.is_file() for path in FILES.values()), reason="needs the checkout's files"
)


def minor_key(text):
    major, minor = text.split(".")
    return int(major), int(minor)


def minors_range(first, last):
    major, low = minor_key(first)
    return ["%d.%d" % (major, m) for m in range(low, minor_key(last)[1] + 1)]


@pytest.fixture(scope="module")
def tested():
    text = FILES["interpreters"].read_text()
    found = re.search(r"^KESTRUM_MINORS=\(([^)]*)\)", text, re.M)
    assert found, "KESTRUM_MINORS not found in tools/interpreters.bash"
    minors = found.group(1).split()
    assert minors == sorted(minors, key=minor_key)
    assert minors == minors_range(minors[0], minors[-1]), "CI skips a minor"
    return minors


def test_running_interpreter_is_one_that_ci_tests(tested):
    assert "%d.%d" % sys.version_info[:2] in tested


def test_pyproject_declares_exactly_the_tested_minors(tested):
    text = FILES["pyproject"].read_text()
    classified = re.findall(r'"Programming Language :: Python :: (3\.\d+)"', text)
    assert classified == tested
    requires = re.search(r'^requires-python\s*=\s*"([^"]*)"', text, re.M)
    assert requires and requires.group(1) == ">=" + tested[0]


@pytest.mark.parametrize(
    "phrase",
    [
        r"written in C\+\+, for CPython (3\.\d+) to (3\.\d+)\.",
        r"in a virtual environment of CPython (3\.\d+) to (3\.\d+);",
        r"There is a wheel for each of CPython (3\.\d+) to (3\.\d+) on",
        r"for each of\s+CPython (3\.\d+) to (3\.\d+) the newest patch release",
        r"for each of CPython (3\.\d+) to (3\.\d+) \(found as",
    ],
)
def test_readme_names_the_tested_range(tested, phrase):
    found = re.search(phrase, FILES["readme"].read_text())
    assert found, "README.md no longer says %r" % phrase
    assert [found.group(1), found.group(2)] == [tested[0], tested[-1]]
