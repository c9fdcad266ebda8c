"""python -m kestrum: the kestrum command (kestrum.cli)."""

import sys

from kestrum.cli import main

sys.exit(main())
