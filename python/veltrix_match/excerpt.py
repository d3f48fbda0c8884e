"""How messages quote text that came from outside (a file, an engine): at most a few dozen
characters of it, marked as cut when there was more, so that a message never grows with its
input (the native module quotes the same way)."""

from __future__ import annotations

__all__ = ["EXCERPT_CHARS", "excerpt", "quoted"]

#: Characters of the offending text a message shows at most.
EXCERPT_CHARS = 40


def excerpt(text: str) -> str:
    """`text`, or its first EXCERPT_CHARS characters and a note of its length."""
    if len(text) <= EXCERPT_CHARS:
        return text
    return f"{text[:EXCERPT_CHARS]}... (cut; {len(text)} characters in all)"


def quoted(text: str) -> str:
    """repr(text), or that of its first EXCERPT_CHARS characters and a note of its length."""
    if len(text) <= EXCERPT_CHARS:
        return repr(text)
    return f"{text[:EXCERPT_CHARS]!r}... (cut; {len(text)} characters in all)"
