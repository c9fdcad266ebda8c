"""The kestrum command, run as `python -m kestrum` in a child interpreter on temporary trees."""

import io
import json
import os
import subprocess
import sys
import textwrap

import pytest

try:
    import pty
except ImportError:  # Windows: no pseudo-terminals
    pty = None

import kestrum
from kestrum import cli

# Every test here runs the command in child interpreters (or plain Python in this one): a
# rerun by the reference-leak run would count nothing of the extension, at the price of some
# hundred debug-interpreter start-ups.
pytestmark = pytest.mark.no_refleak_rerun

# The child finds the same kestrum as the tests: the in-place build or an installed package.
ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kestrum.__file__)))

FILES = [
    "comp/sh010_comp.v001.exr",
    "comp/sh010_comp.v002.exr",
    "comp/sh010_comp.v004.exr",
    "comp/sh010_comp.v004.mov",
    "comp/sh010_comp.vfinal.exr",
    "comp/old/sh010_comp.v000.exr",
    "comp/sh020_comp.v009.exr",
    "wide/shot.v999.exr",
    "ver/shot_ver001.exr",
    "ver/shot_ver002.exr",
]


def run(*args, stderr=subprocess.PIPE):
    return subprocess.run(
        [sys.executable, "-m", "kestrum", *args], env=ENV, stdout=subprocess.PIPE, stderr=stderr
    )


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    for name in FILES:
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.touch()
    return str(root)


# (arguments, stdout lines, exit status); names relative to the tree, '@' marks its path.
QUERIES = [
    (["last", "@/comp/sh010_comp.v002.exr"], ["@/comp/sh010_comp.v004.mov"], 0),
    (["first", "@/comp/sh010_comp.v004.exr"], ["@/comp/sh010_comp.v001.exr"], 0),
    (["next", "@/comp/sh010_comp.v002.exr"], ["@/comp/sh010_comp.v004.exr"], 0),
    (["previous", "@/comp/sh010_comp.v002.exr"], ["@/comp/sh010_comp.v001.exr"], 0),
    (["previous", "@/comp/sh010_comp.v001.exr"], [], 1),
    (["next", "@/comp/sh010_comp.v003.exr"], [], 1),
    (["last", "@/missing/dir/shot.v001.exr"], [], 1),
    (["ls", "@/missing/dir/shot.v001.exr"], [], 1),
    (["bump", "@/comp/sh010_comp.v001.exr"], ["@/comp/sh010_comp.v005.exr"], 0),
    (["bump", "@/missing/shot.v007.exr"], ["@/missing/shot.v008.exr"], 0),
    (["bump", "@/missing/shot.exr"], ["@/missing/shot.v001.exr"], 0),
    (["bump", "--pads", "4", "@/wide/shot.v999.exr"], ["@/wide/shot.v1000.exr"], 0),
    (
        ["ls", "--sort", "number", "@/comp/sh010_comp.v001.exr"],
        # a directory below joined as os.walk joins it ("\\" on Windows), then "/"
        ["0\t@/%s/sh010_comp.v000.exr" % os.path.join("comp", "old"),
         "1\t@/comp/sh010_comp.v001.exr",
         "2\t@/comp/sh010_comp.v002.exr", "4\t@/comp/sh010_comp.v004.exr",
         "4\t@/comp/sh010_comp.v004.mov", "-\t@/comp/sh010_comp.vfinal.exr"],
        0,
    ),
    (
        ["parse", "shot.v999.exr"],
        ["name\tshot.v999.exr", "head\tshot.v", "version\t999", "tail\t.exr", "current\t999",
         "versionless\tshot.exr", "next\t(ExceededPaddingVersion)", "previous\tshot.v998.exr"],
        0,
    ),
    (["parse", "readme"], ["name\treadme"] + [f"{f}\t" for f in
     ("head", "version", "tail", "current", "versionless", "next", "previous")], 0),
]


@pytest.mark.parametrize("args, lines, status", QUERIES)
def test_answers(tree, args, lines, status):
    done = run(*[a.replace("@", tree) for a in args])
    assert (done.returncode, done.stderr) == (status, b"")
    assert done.stdout.decode().splitlines() == [line.replace("@", tree) for line in lines]


@pytest.mark.skipif(os.name == "nt", reason="Windows names are UTF-16: none has undecodable bytes")
def test_ls_keeps_scan_order_and_undecodable_names_with_null_separators(tmp_path):
    for name in [b"shot.v002.exr", b"shot.v1000.exr", b"shot.v003\xff.exr"]:
        open(os.path.join(bytes(tmp_path), name), "w").close()
    done = run("ls", "-0", str(tmp_path / "shot.v001.exr"))
    prefix = bytes(tmp_path) + b"/"
    names = [prefix + n for n in (b"shot.v002.exr", b"shot.v003\xff.exr", b"shot.v1000.exr")]
    assert (done.returncode, done.stdout) == (0, b"\0".join(names) + b"\0")
    done = run("ls", "--json", str(tmp_path / "shot.v001.exr"))
    assert json.loads(done.stdout)[2] == {"path": str(tmp_path / "shot.v1000.exr"), "number": 1000}


def test_json(tree):
    last = run("last", "--json", f"{tree}/comp/sh010_comp.v001.exr")
    assert json.loads(last.stdout) == {"path": f"{tree}/comp/sh010_comp.v004.mov", "number": 4}
    parsed = json.loads(run("parse", "--json", "--pads", "4", "plate_v0001.dpx", "--postfix",
                            "_v").stdout)
    assert parsed["head"] == "plate_v" and parsed["current"] == 1
    assert parsed["previous"] is None and parsed["refused"] == {"previous": "VersionZero"}


@pytest.mark.parametrize(
    "args, status, expected",
    [
        (["bump", "@/wide/shot.v001.exr"], 1, ["1000", "3 digits", "--pads 4", "shot.v999.exr"]),
        # The scan reads shot_ver002.exr with the default postfix: no number, so the name
        # rendered from PATH's own number exists already.
        (["bump", "--postfix", "_ver", "@/ver/shot_ver001.exr"], 1, ["shot_ver002.exr already exists"]),
        (["last", "--pads", "x", "@/comp/a.v001.exr"], 2, ["--pads", "'x'"]),
        (["last", "--pads", "0", "@/comp/a.v001.exr"], 2, ["--pads"]),
        (["last", "--postfix", "(", "@/comp/a.v001.exr"], 2, ["missing )", "--postfix"]),
        (["next", "@/comp/sh010_comp.exr"], 2, ["TypeError", "no version number"]),
        (["last", "readme"], 2, ["TypeError", "no extension"]),
        (["frobnicate", "x"], 2, ["frobnicate"]),
    ],
)
def test_refusals_are_one_line(tree, args, status, expected):
    done = run(*[a.replace("@", tree) for a in args])
    assert (done.returncode, done.stdout) == (status, b"")
    lines = done.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("kestrum: error: ")
    assert all(text in lines[0] for text in expected), lines[0]


def test_debug_shows_the_traceback():
    done = run("last", "--debug", "--postfix", "(", "a.v001.exr")
    assert done.returncode == 2 and b"Traceback" in done.stderr
    assert done.stderr.decode().splitlines()[-1].startswith("kestrum: error: last 'a.v001.exr': re.")


def test_help_of_each_command_shows_an_example():
    for name, *_ in cli.COMMANDS:
        with pytest.raises(SystemExit), io.StringIO() as out:
            sys.stdout, saved = out, sys.stdout
            try:
                cli.main([name, "--help"])
            finally:
                sys.stdout = saved
                text = out.getvalue()
        assert f"$ kestrum {name}" in text, name


@pytest.mark.skipif(pty is None, reason="needs a POSIX pseudo-terminal")
def test_progress_line_on_a_terminal(tree):
    # Drawn from the start and every 10 ms; the scan waits for one line before it ends.
    child = textwrap.dedent(
        """
        import sys, time
        from kestrum import cli
        cli.PROGRESS_AFTER, cli.PROGRESS_EVERY = 0.0, 0.01
        finish = cli.Progress.finish
        def finish_once_drawn(self):
            deadline = time.monotonic() + 10
            while self.enabled and not self.drawn and time.monotonic() < deadline:
                time.sleep(0.01)
            finish(self)
        cli.Progress.finish = finish_once_drawn
        sys.exit(cli.main(sys.argv[1:]))
        """
    )
    master, slave = pty.openpty()
    done = subprocess.run(
        [sys.executable, "-c", child, "ls", f"{tree}/comp/sh010_comp.v001.exr"],
        env=ENV, stdout=subprocess.PIPE, stderr=slave,
    )
    os.close(slave)
    shown = b""
    try:
        while True:
            chunk = os.read(master, 4096)
            if not chunk:
                break
            shown += chunk
    except OSError:  # EIO: the terminal's other end is closed
        pass
    os.close(master)
    assert done.returncode == 0 and len(done.stdout.splitlines()) == 6
    assert shown.startswith(b"\rkestrum: scanning") and shown.endswith(b"\r\x1b[K")


def test_progress_line_is_printable_and_fits():
    stream = io.StringIO()
    progress = cli.Progress(stream, 0.0, enabled=False)
    progress._events["os.scandir"] = ("/proj/\x1b]0;owned\x07/" + "deep/" * 40,)
    assert progress._draw()
    line = stream.getvalue()
    assert line.startswith("\r") and line.endswith("\x1b[K")
    assert "\x1b]" not in line and "\x07" not in line and len(line) < 90 and "deep/" in line
