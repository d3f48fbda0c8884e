"""Argument types of the veltrix-match command line: whole numbers in a range, even counts."""

from __future__ import annotations

import argparse
from collections.abc import Callable

__all__ = ["even_count", "whole_number"]


def _parse_int(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None


def whole_number(low: int, high: int | None = None) -> Callable[[str], int]:
    """An argument type taking whole numbers from `low` to `high` (no upper bound if None)."""

    def parse(text: str) -> int:
        value = _parse_int(text)
        if high is None and value < low:
            wanted = "must not be negative" if low == 0 else f"must be at least {low}"
            raise argparse.ArgumentTypeError(f"{wanted} (got {text})")
        if high is not None and not low <= value <= high:
            raise argparse.ArgumentTypeError(f"must be {low} to {high} (got {text})")
        return value

    return parse


def even_count(high: int | None = None) -> Callable[[str], int]:
    """An argument type taking even positive counts, at most `high` if given."""

    def parse(text: str) -> int:
        value = _parse_int(text)
        if value <= 0 or value % 2:
            raise argparse.ArgumentTypeError(f"must be even and positive (got {text})")
        if high is not None and value > high:
            raise argparse.ArgumentTypeError(f"must be at most {high} (got {text})")
        return value

    return parse
