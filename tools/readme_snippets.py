"""Write every ```python block of a Markdown file to a module of its own.

    python tools/readme_snippets.py [README.md] OUTDIR

Each block becomes OUTDIR/readme_block_NN.py. The code keeps its line numbers:
it is preceded by as many empty lines as the file has before it, so a type
checker's "readme_block_03.py:42" points at line 42 of the Markdown file.
Prints the paths written, one a line; exits 1 when the file has no such block
or an unclosed one.
"""

import os
import re
import sys
from typing import List, Tuple

FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*([^\s`]*)")


def python_blocks(lines: List[str]) -> List[Tuple[int, List[str]]]:
    """(index of the block's first code line, the code lines) of each python block."""
    blocks: List[Tuple[int, List[str]]] = []
    fence = None  # the open fence: (indent, marker, is python)
    start = 0
    body: List[str] = []
    for index, line in enumerate(lines):
        match = FENCE.match(line)
        if fence is None:
            if match:
                indent, marker, info = match.groups()
                fence = (indent, marker, info.lower() in ("python", "py", "python3"))
                start, body = index + 1, []
            continue
        indent, marker, is_python = fence
        if match and match.group(2).startswith(marker) and not match.group(3):
            if is_python:
                blocks.append((start, body))
            fence = None
            continue
        # Code inside an indented fence (in a list item) loses that indent.
        body.append(line[len(indent) :] if line.startswith(indent) else line.lstrip())
    if fence is not None:
        raise ValueError("unclosed code block opened at line %d" % start)
    return blocks


def main(argv: List[str]) -> int:
    if len(argv) == 1:
        source, outdir = "README.md", argv[0]
    elif len(argv) == 2:
        source, outdir = argv
    else:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(source, encoding="utf-8") as handle:
        lines = handle.read().splitlines()
    try:
        blocks = python_blocks(lines)
    except ValueError as error:
        print("%s: %s" % (source, error), file=sys.stderr)
        return 1
    if not blocks:
        print("%s: no ```python block" % source, file=sys.stderr)
        return 1
    os.makedirs(outdir, exist_ok=True)
    for number, (start, body) in enumerate(blocks, 1):
        path = os.path.join(outdir, "readme_block_%02d.py" % number)
        with open(path, "w", encoding="utf-8") as handle:
            handle.write("\n" * start + "\n".join(body) + "\n")
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
