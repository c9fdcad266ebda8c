"""A tour of kestrum.versioner: publishing the next version of a render.

    python examples/tour.py

Everything happens in a throwaway directory that is removed at the end.
"""

import os
import subprocess
import sys
import tempfile

from kestrum.errors import ExceededPaddingVersion, VersionZero
from kestrum.versioner import Version, VersionFileSystem

# What a shot directory holds after a few days of work.
SHOT_FILES = [
    "comp/sh010_comp.v001.exr",
    "comp/sh010_comp.v002.exr",
    "comp/sh010_comp.v004.exr",
    "comp/sh010_comp.v004.mov",
    "comp/old/sh010_comp.v000.exr",
    "comp/sh020_comp.v007.exr",
    "comp/notes.txt",
]


def heading(text: str) -> None:
    print()
    print(text)
    print("=" * len(text))


def show(label: str, value: object) -> None:
    print(f"  {label:<40} {value}")


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="kestrum-tour-") as root:
        for name in SHOT_FILES:
            path = os.path.join(root, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "w").close()
        tour(root)


def tour(root: str) -> None:
    def rel(item: object) -> str:
        return "None" if item is None else os.path.relpath(str(item), root)

    heading("1. A versioned name, taken apart")
    v = Version(os.path.join(root, "comp", "sh010_comp.v002.exr"))
    show("name", rel(v))
    show("head / version / tail", f"{rel(v.head)!r} / {v.version!r} / {v.tail!r}")
    show("current", v.current)
    show("settings pads / postfix / ext", f"{v.pads} / {v.postfix!r} / {v.ext!r}")
    show("int_to_pad(4, 7)", repr(Version.int_to_pad(4, 7)))
    plate = Version("plate_v0042.dpx", pads=4, postfix="_v")
    show("plate_v0042.dpx, postfix '_v'", f"head {plate.head!r}, current {plate.current}")
    show("notes.txt has no number", f"current {Version('notes.txt').current}")

    heading("2. What is on disk")
    fs = v.fs
    print(f"  the scan of {rel(fs.head)}* walks the whole tree below, any extension:")
    for item in fs:
        print(f"    {rel(item):<30} current={item.current}")
    show("latest version on disk (last)", rel(fs.last))
    show("first in scan order", rel(fs.first))
    show("existing version after v002 (next)", rel(fs.next))
    show("existing version before v002", rel(fs.previous))
    show("is version 3 on disk?", 3 in fs)
    show("is version 4 on disk?", 4 in fs)

    heading("3. Publishing: the name of the next version")
    latest = fs.last
    assert latest is not None and latest.current is not None
    show("latest number on disk", f"{latest.current} ({rel(latest)})")
    publish = Version(v.filename).to(latest.current + 1)
    show("our next render", rel(publish))
    show("already on disk?", publish.fs.exists)
    show("the name without its number", rel(v.versionless))

    heading("4. Stepping, comparing, and the limits of the padding")
    step = Version(os.path.join(root, "comp", "sh010_comp.v002.exr"))
    show("v002: next / previous", f"{rel(step.next)} / {rel(Version(v.filename).previous)}")
    show("reading next rewrote the name to", rel(step))
    show("while current is still", step.current)
    show("v002 == 2", v == 2)
    show("v002 == 'plate.v2.dpx' (numbers only)", v == "plate.v2.dpx")
    for name, member in [("sh010.v999.exr", "next"), ("sh010.v001.exr", "previous")]:
        try:
            getattr(Version(name), member)
        except (ExceededPaddingVersion, VersionZero) as error:
            show(f"{name}.{member}", f"refused: {type(error).__name__}")
    show("sh010.v999.exr with pads=4, next", Version("sh010.v999.exr", pads=4).next)
    missing = VersionFileSystem(os.path.join(root, "comp", "sh010_comp.v003.exr"))
    show("next/previous of v003 (not on disk)", f"{missing.next} / {missing.previous}")

    heading("5. The same from a shell: the kestrum command")
    command = [sys.executable, "-m", "kestrum", "last", v.filename]
    answer = subprocess.run(command, stdout=subprocess.PIPE, universal_newlines=True, check=True)
    show("kestrum last comp/sh010_comp.v002.exr", rel(answer.stdout.strip()))
    show("the same as fs.last?", answer.stdout.strip() == str(fs.last))


if __name__ == "__main__":
    main()
