"""python -m veltrix_match.records convert IN OUT: game records from one format to another.

Formats by suffix: .jsonl (veltrix-match's --out, or this module's own), .ggf, .wtb. Name
files beside a .wtb (same stem or WTHOR, .JOU/.TRN) are read. Exit status 0 on success, 1
when a file cannot be read or written, 2 on a usage error.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence

from . import read_games, write_games


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m veltrix_match.records",
                                     description="Converts game records between JSONL, GGF and WTHOR.")
    commands = parser.add_subparsers(dest="command", required=True)
    convert = commands.add_parser("convert", help="IN to OUT, formats by suffix (.jsonl, .ggf, .wtb)")
    convert.add_argument("source", metavar="IN")
    convert.add_argument("target", metavar="OUT")
    convert.add_argument("--skip-bad", action="store_true",
                         help="skip malformed games (listed on standard error) instead of stopping")
    args = parser.parse_args(argv)
    errors: list[str] = []
    try:
        games = read_games(args.source, strict=not args.skip_bad, errors=errors)
        write_games(args.target, games)
    except (OSError, ValueError) as error:
        print(f"veltrix_match.records: {error}", file=sys.stderr)
        return 1
    for message in errors:
        print(f"veltrix_match.records: skipped: {message}", file=sys.stderr)
    print(f"{len(games)} games written to {args.target}" + (f" ({len(errors)} skipped)" if errors else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
