"""The ``kestrum`` command: ask kestrum.versioner about a versioned name from a shell.

Every answer comes from the module's members; this file only reads arguments, calls them and
prints what they give. Exit status: 0 with an answer; 1 when there is none, nothing printed
(or, with a message, when ``bump`` runs out of digits or would name an existing file); 2 for a
bad argument or an error raised by the module, with one line on stderr.
"""

import _thread
import argparse
import json
import os
import re
import shutil
import sys
import traceback
from typing import IO, Any, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

from kestrum import __version__
from kestrum.versioner import Version, VersionFileSystem

PROG = "kestrum"

# A scan that has not finished after this many seconds shows its progress on a terminal.
PROGRESS_AFTER = 0.5
# Seconds between two redraws of the progress line.
PROGRESS_EVERY = 0.1

Json = Dict[str, Any]


class Failure(Exception):
    """A refusal that ends the command with one line on stderr and the given status."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    """argparse, but a bad argument is one line on stderr (status 2), not the usage block."""

    def error(self, message: str) -> NoReturn:
        raise Failure(f"{message} (see {self.prog} --help)", 2)


# --- progress ------------------------------------------------------------------------------


class Progress:
    """One self-overwriting line on a terminal while a long scan runs.

    A daemon thread sleeps ``after`` seconds; if the scan is still running then, it installs
    an audit hook and from then on draws, every ``PROGRESS_EVERY`` seconds, the directory being
    listed (the native walk raises the ``os.scandir`` audit event for each one, and releases
    the interpreter lock while it lists it) and, for ``ls``, the items received so far. The hook
    is a dict's ``__setitem__``, C code with no Python frame per directory. By default
    it runs only when the stream is a terminal; ``enabled`` decides otherwise (the benchmark
    forces it on; parse, which never reads the disk, off).
    """

    def __init__(self, stream: IO[str], after: float, enabled: Optional[bool] = None) -> None:
        self.stream = stream
        self.enabled = _isatty(stream) if enabled is None else enabled
        self.items: Optional[int] = None
        self.drawn = False
        self._events: Dict[str, Tuple[Any, ...]] = {}
        # Held by the scan until finish(): the thread waits on it, and draws while holding
        # _drawing, so that once finish() holds _drawing no other line can follow.
        self._running = _thread.allocate_lock()
        self._drawing = _thread.allocate_lock()
        self._finished = False
        if self.enabled:
            self._running.acquire()
            # Wait until the thread is parked on _running: a thread still waiting for its first
            # turn with the interpreter lock would contend with the scan for it at every
            # directory, where the walk releases the lock.
            parked = _thread.allocate_lock()
            parked.acquire()
            _thread.start_new_thread(self._run, (after, parked))
            parked.acquire()

    def count_items(self) -> None:
        self.items = 0

    def item(self) -> None:
        if self.items is not None:
            self.items += 1

    def _run(self, after: float, parked: "_thread.LockType") -> None:
        parked.release()
        if self._running.acquire(timeout=after):
            return
        # Installed only now, so that a short scan pays nothing for it. Audit hooks cannot be
        # removed; once the scan is over this one only keeps the latest arguments of each event.
        sys.addaudithook(self._events.__setitem__)
        while True:
            with self._drawing:
                if self._finished or not self._draw():
                    return
            if self._running.acquire(timeout=PROGRESS_EVERY):
                return

    def _draw(self) -> bool:
        # An error here would end the thread with a traceback across the user's terminal.
        try:
            return self._draw_line()
        except Exception:
            return False

    def _draw_line(self) -> bool:
        listed = self._events.get("os.scandir")
        text = f"{PROG}: scanning"
        if self.items is not None:
            text += f", {self.items} found"
        if listed and isinstance(listed[0], (str, bytes)):
            text += f", listing {os.fsdecode(listed[0])}"
        # A name may hold anything, terminal escapes included: print only what is printable,
        # and keep the end of a long path, which says where the walk is.
        text = "".join(c if c.isprintable() else "?" for c in text)
        width = max(shutil.get_terminal_size((80, 24)).columns - 1, 20)
        if len(text) > width:
            text = text[: width // 3] + "..." + text[len(text) - (width - width // 3 - 3) :]
        try:
            self.stream.write("\r" + text + "\x1b[K")
            self.stream.flush()
        except (OSError, ValueError):
            return False
        self.drawn = True
        return True

    def finish(self) -> None:
        """Stop drawing and wipe the line, so that what follows starts on a clean line."""
        if not self.enabled or self._finished:
            return
        with self._drawing:
            self._finished = True
            self._running.release()
            if self.drawn:
                try:
                    self.stream.write("\r\x1b[K")
                    self.stream.flush()
                except (OSError, ValueError):
                    pass


def _isatty(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError, OSError):
        return False


# --- output --------------------------------------------------------------------------------


class Output:
    """Records on stdout: text lines (or NUL-ended with -0), or one JSON document."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.null: bool = args.null
        self.json: bool = args.json

    def record(self, text: str) -> None:
        # Names go out as the bytes the file system has, undecodable ones included.
        end = b"\0" if self.null else b"\n"
        sys.stdout.buffer.write(os.fsencode(text) + end)

    def document(self, value: object) -> None:
        text = json.dumps(value, ensure_ascii=False)
        try:
            data = text.encode("utf-8")
        except UnicodeEncodeError:  # an undecodable name: keep it, as an escape
            data = json.dumps(value).encode("ascii")
        sys.stdout.buffer.write(data + b"\n")


def _name(value: object) -> Optional[str]:
    return None if value is None else str(value)


def _item(found: VersionFileSystem) -> Json:
    return {"path": str(found), "number": found.current}


# --- commands ------------------------------------------------------------------------------


def _filesystem(args: argparse.Namespace) -> VersionFileSystem:
    return VersionFileSystem(args.path, args.pads, args.postfix, args.ext)


def _version(args: argparse.Namespace) -> Version:
    return Version(args.path, args.pads, args.postfix, args.ext)


def _query(member: str) -> Callable[[argparse.Namespace, Output, Progress], int]:
    def run(args: argparse.Namespace, out: Output, progress: Progress) -> int:
        found: Optional[VersionFileSystem] = getattr(_filesystem(args), member)
        progress.finish()
        if found is None:
            return 1
        if out.json:
            out.document(_item(found))
        else:
            out.record(str(found))
        return 0

    return run


def _ls(args: argparse.Namespace, out: Output, progress: Progress) -> int:
    items: List[VersionFileSystem] = []
    progress.count_items()
    for found in _filesystem(args):
        items.append(found)
        progress.item()
    progress.finish()
    if not items:
        return 1
    if args.sort == "number":
        # Stable: equal numbers keep their scan order; names without a number go last.
        items.sort(key=lambda found: (found.current is None, found.current or 0))
    if out.json:
        out.document([_item(found) for found in items])
    elif out.null:
        for found in items:  # names alone: the form that xargs -0 takes
            out.record(str(found))
    else:
        for found in items:
            number = found.current
            out.record(f"{'-' if number is None else number}\t{found}")
    return 0


def _bump(args: argparse.Namespace, out: Output, progress: Progress) -> int:
    latest = _filesystem(args).last
    progress.finish()
    highest = None if latest is None else latest.current
    if highest is None:
        highest = _version(args).current or 0
    number = highest + 1
    # The publish name must keep the width of its siblings: a wider number would also sort
    # before them in the scan (v1000 before v999).
    if len(Version.int_to_pad(args.pads, number)) > args.pads:
        where = f" ({latest})" if latest is not None else " (the path's own; none on disk)"
        raise Failure(
            f"bump: version {number} does not fit in {args.pads} digits: the highest is "
            f"{highest}{where}; a wider --pads (--pads {len(str(number))}) allows it",
            1,
        )
    publish = _version(args).to(number)
    # The scan parses what it finds with the default settings, so with another postfix it may
    # see no number at all; never hand out a name that a publish would overwrite.
    if VersionFileSystem(publish).exists:
        found = "none" if latest is None else f"{highest} ({latest})"
        raise Failure(
            f"bump: {publish} already exists; the highest number the scan could read is "
            f"{found} (it reads every name found with the default settings, postfix '.v')",
            1,
        )
    if out.json:
        out.document({"path": str(publish), "number": number, "latest": _name(latest)})
    else:
        out.record(str(publish))
    return 0


# The fields of parse, in the order they are printed; each reads a fresh object, since next
# and previous of a Version rewrite its filename.
PARSE_FIELDS: List[Tuple[str, Callable[[Version], object]]] = [
    ("name", lambda v: v.filename),
    ("head", lambda v: v.head),
    ("version", lambda v: v.version),
    ("tail", lambda v: v.tail),
    ("current", lambda v: v.current),
    ("versionless", lambda v: _name(v.versionless)),
    ("next", lambda v: _name(v.next)),
    ("previous", lambda v: _name(v.previous)),
]


def _parse(args: argparse.Namespace, out: Output, progress: Progress) -> int:
    values: Json = {}
    refused: Dict[str, Optional[str]] = {}
    for field, read in PARSE_FIELDS:
        try:
            values[field] = read(_version(args))
        except Exception as error:
            if field not in ("versionless", "next", "previous"):
                raise
            values[field] = None
            refused[field] = type(error).__name__
    if out.json:
        values["refused"] = refused
        out.document(values)
        return 0
    for field, _ in PARSE_FIELDS:
        value = values[field]
        text = "" if value is None else str(value)
        if field in refused:
            text = f"({refused[field]})"
        out.record(f"{field}\t{text}")
    return 0


# --- arguments -----------------------------------------------------------------------------


def _pads(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


Command = Callable[[argparse.Namespace, Output, Progress], int]

# name, run, summary, argument help, example lines
COMMANDS: List[Tuple[str, Command, str, str, str]] = [
    (
        "last",
        _query("last"),
        "print the version on disk with the highest number",
        "a versioned path; it need not exist",
        "$ kestrum last /proj/sh010/comp/sh010_comp.v001.exr\n"
        "/proj/sh010/comp/sh010_comp.v004.exr",
    ),
    (
        "first",
        _query("first"),
        "print the first file of the scan (names sorted within each directory)",
        "a versioned path; it need not exist",
        "$ kestrum first /proj/sh010/comp/sh010_comp.v004.exr\n"
        "/proj/sh010/comp/sh010_comp.v001.exr",
    ),
    (
        "next",
        _query("next"),
        "print the file that follows PATH's number in the scan",
        "a versioned path; only its number matters",
        "$ kestrum next /proj/sh010/comp/sh010_comp.v002.exr\n"
        "/proj/sh010/comp/sh010_comp.v004.exr",
    ),
    (
        "previous",
        _query("previous"),
        "print the file that precedes PATH's number in the scan",
        "a versioned path; only its number matters",
        "$ kestrum previous /proj/sh010/comp/sh010_comp.v004.exr\n"
        "/proj/sh010/comp/sh010_comp.v002.exr",
    ),
    (
        "ls",
        _ls,
        "list every file of the scan with its number (- for none), tab-separated",
        "a versioned path; it need not exist",
        "$ kestrum ls /proj/sh010/comp/sh010_comp.v001.exr\n"
        "1\t/proj/sh010/comp/sh010_comp.v001.exr\n"
        "2\t/proj/sh010/comp/sh010_comp.v002.exr\n"
        "-\t/proj/sh010/comp/sh010_comp.wip.exr\n"
        "$ kestrum ls -0 /proj/sh010/comp/sh010_comp.v001.exr | xargs -0 ls -l",
    ),
    (
        "bump",
        _bump,
        "print the name the next publish gets: one above the highest number on disk",
        "a versioned path; its own number counts when no version is on disk",
        "$ kestrum bump /proj/sh010/comp/sh010_comp.v001.exr\n"
        "/proj/sh010/comp/sh010_comp.v005.exr",
    ),
    (
        "parse",
        _parse,
        "print the parts of NAME and its neighbouring names, without looking at the disk",
        "a versioned name",
        "$ kestrum parse shot.v012.exr\n"
        "name\tshot.v012.exr\nhead\tshot.v\nversion\t012\ntail\t.exr\ncurrent\t12\n"
        "versionless\tshot.exr\nnext\tshot.v013.exr\nprevious\tshot.v011.exr",
    ),
]


def build_parser() -> Parser:
    parser = Parser(
        prog=PROG,
        description="Ask about versioned file names (shot.v012.exr) and their versions on disk.",
        epilog="Exit status: 0 with an answer, 1 without one, 2 on an error. "
        f"'{PROG} COMMAND --help' shows an example of each command.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    common = Parser(add_help=False)
    settings = common.add_argument_group("settings of the name")
    settings.add_argument(
        "--pads", type=_pads, default=3, metavar="N", help="zero-padded width (default 3)"
    )
    settings.add_argument(
        "--postfix",
        default=".v",
        metavar="TEXT",
        help="pattern in front of the number (default '.v', which also matches '_v')",
    )
    settings.add_argument(
        "--ext",
        default=".*",
        metavar="PATTERN",
        help="extension pattern, for a name without an extension (default '.*')",
    )
    output = common.add_argument_group("output")
    output.add_argument(
        "-0", "--null", action="store_true", help="end each record with NUL, not a newline"
    )
    output.add_argument("--json", action="store_true", help="print one JSON object or array")
    output.add_argument(
        "--debug", action="store_true", help="show the traceback of an error"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    for name, run, summary, path_help, example in COMMANDS:
        sub = commands.add_parser(
            name,
            parents=[common],
            help=summary,
            description=summary[0].upper() + summary[1:] + ".",
            epilog="example:\n" + "\n".join("  " + line for line in example.splitlines()),
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        sub.add_argument("path", metavar="NAME" if name == "parse" else "PATH", help=path_help)
        if name == "ls":
            sub.add_argument(
                "--sort",
                choices=["scan", "number"],
                default="scan",
                help="scan order (default) or by number, names without a number last",
            )
        sub.set_defaults(run=run)
    return parser


def _describe(error: BaseException, args: argparse.Namespace) -> str:
    text = str(error)
    kind = type(error).__qualname__
    if type(error).__module__ != "builtins":
        kind = f"{type(error).__module__}.{kind}"
    message = f"{kind}: {text}" if text else kind
    if isinstance(error, re.error):
        message += " (in the name pattern made with --postfix and --ext)"
    elif isinstance(error, TypeError):
        # The module raises TypeError bare; say what about the name it objects to.
        try:
            parsed = _version(args)
            if parsed.head is None:
                message += " (the name has no extension, so it has no version to look for)"
            elif parsed.current is None:
                message += " (the name has no version number)"
        except Exception:
            pass
    return f"{args.command} {args.path!r}: {message}"


def _complain(message: str) -> None:
    # One line, whatever the names in it hold: a newline or a terminal escape is shown escaped.
    text = "".join(c if c.isprintable() else repr(c)[1:-1] for c in message)
    print(f"{PROG}: error: {text}", file=sys.stderr)


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        args = build_parser().parse_args(argv)
    except Failure as failure:
        _complain(str(failure))
        return failure.status
    progress = Progress(sys.stderr, PROGRESS_AFTER, False if args.command == "parse" else None)
    try:
        status: int = args.run(args, Output(args), progress)
        progress.finish()
        sys.stdout.flush()
        return status
    except Failure as failure:
        progress.finish()
        _complain(str(failure))
        return failure.status
    except KeyboardInterrupt:
        progress.finish()
        return 130
    except BrokenPipeError:
        # The reader went away (kestrum ls | head -1): stop quietly, and keep the interpreter
        # from complaining when it flushes stdout at exit.
        progress.finish()
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except Exception as error:
        progress.finish()
        if args.debug:
            traceback.print_exc()
        _complain(_describe(error, args))
        return 2
