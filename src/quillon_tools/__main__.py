"""python -m quillon_tools: the `quillon` command; `quillon-dump` when the
first argument is not a subcommand (python -m quillon_tools flight.bin)."""

from __future__ import annotations

import sys
from typing import List, Optional

from .cli import dump
from .cli.common import as_command
from .cli.main import SUBCOMMANDS
from .cli.main import main as quillon


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if not argv or argv[0] in SUBCOMMANDS or argv[0] in ("-h", "--help", "--version"):
        return quillon(argv)
    return dump.main(argv)


if __name__ == "__main__":
    sys.exit(as_command(main))
