"""A short tour of kestrum.versioner, run in a throwaway directory.

    python examples/tour.py
"""

import os
import tempfile

from kestrum.errors import ExceededPaddingVersion, VersionZero
from kestrum.versioner import Version, VersionFileSystem

RENDERS = [
    "sh010.v001.exr",
    "sh010.v002.exr",
    "sh010.v005.exr",
    "sh020.v001.exr",
    "notes.txt",
    "previews/sh010.v002.jpg",
]


def heading(text):
    print()
    print(text)
    print("-" * len(text))


def show(v):
    """The parsed fields of a version object."""
    print(f"  {v}  (pads={v.pads!r}, postfix={v.postfix!r}, ext={v.ext!r})")
    print(f"      head={v.head!r}  version={v.version!r}  tail={v.tail!r}  current={v.current!r}")


def main():
    start = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="kestrum-tour-") as tmp:
        os.chdir(tmp)
        try:
            tour(tmp)
        finally:
            os.chdir(start)


def tour(tmp):
    os.mkdir("previews")
    for name in RENDERS:
        open(name, "w").close()
    print(f"A throwaway shot directory {tmp}:")
    for name in RENDERS:
        print(f"  {name}")

    heading("Parsing names")
    show(Version("sh010.v002.exr"))
    show(Version("plate_v0007.dpx", pads=4, postfix="_v"))
    show(Version("notes.txt"))
    for pads, number in [(4, 7), (3, 42), (3, 1234)]:
        print(f"  Version.int_to_pad({pads}, {number}) -> {Version.int_to_pad(pads, number)!r}")

    heading("Rendering at other numbers")
    v = Version("sh010.v002.exr")
    print(f"  {v}.to(12)      -> {v.to(12)}")
    print(f"  {Version('notes.txt')}.to(3)   -> {Version('notes.txt').to(3)}")
    print(f"  versionless        -> {Version('sh010.v002.exr').versionless}")
    print("  versions compare by number, not by name:")
    print(f"    Version('sh010.v002.exr') == 'plate.v2.dpx'  -> {Version('sh010.v002.exr') == 'plate.v2.dpx'}")
    print(f"    Version('sh010.v002.exr') == 3               -> {Version('sh010.v002.exr') == 3}")

    heading("Stepping within the padding width")
    v = Version("sh010.v002.exr")
    print(f"  {v}: next -> {v.next}, then previous -> {Version('sh010.v002.exr').previous}")
    print(f"  reading next rewrote the object's name to {v}, while current is still {v.current}")
    for name, step in [("sh010.v999.exr", "next"), ("sh010.v001.exr", "previous")]:
        try:
            getattr(Version(name), step)
        except (ExceededPaddingVersion, VersionZero) as error:
            print(f"  {name}.{step} refuses: {type(error).__name__}")

    heading("Looking at the disk")
    fs = Version(os.path.join(tmp, "sh010.v002.exr")).fs

    def rel(item):
        return None if item is None else os.path.relpath(str(item), tmp)

    print(f"  the scan of {rel(fs.head)}* (the whole tree below, any extension):")
    for item in fs:
        print(f"    {rel(item):<26} current={item.current!r}")
    print(f"  exists: {fs.exists};  3 in fs: {3 in fs};  5 in fs: {5 in fs}")
    print(f"  first: {rel(fs.first)};  last (highest number): {rel(fs.last)}")
    print(f"  the existing versions around v002: previous {rel(fs.previous)}, next {rel(fs.next)}")
    print("    (neighbours are taken in scan order and found by number: counting from the back,")
    print("     the first item numbered 2 is the preview, and v005 comes just before it)")
    v1 = VersionFileSystem(os.path.join(tmp, "sh010.v001.exr"))
    print(f"  before the oldest: {rel(v1.previous)};  after v001: {rel(v1.next)}")
    v4 = VersionFileSystem(os.path.join(tmp, "sh010.v004.exr"))
    print(f"  around a number nobody rendered (v004): {v4.previous}, {v4.next}")


if __name__ == "__main__":
    main()
