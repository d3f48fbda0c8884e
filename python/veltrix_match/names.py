"""Program names as reports show them: every name of a match distinct."""

from __future__ import annotations

from collections.abc import Collection

__all__ = ["distinct_name"]


def distinct_name(name: str, taken: Collection[str]) -> str:
    """`name`, or `name (2)`, `name (3)`, ...: the first that is not in `taken`."""
    candidate, copy = name, 1
    while candidate in taken:
        copy += 1
        candidate = f"{name} ({copy})"
    return candidate
