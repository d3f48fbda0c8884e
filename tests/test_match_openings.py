"""Openings: files of transcripts and the built-in set of short distinct openings."""

import pytest

from veltrix import Board
from veltrix_match import OpeningsError, builtin_openings, distinct_openings, read_openings


def write(tmp_path, text):
    path = tmp_path / "openings.txt"
    path.write_text(text, encoding="utf-8")
    return path


def test_file_keeps_transcripts_in_order_and_skips_blanks_and_comments(tmp_path):
    path = write(tmp_path, "# a comment\nf5d6\n\n   \n  F5F6E6  \n#f5\n\nd3\n")
    assert read_openings(path) == ["f5d6", "F5F6E6", "d3"]


@pytest.mark.parametrize(
    "text, message",
    [
        ("f5\nf5d6\nf5a1\n", r"openings\.txt:3: .*Illegal move 'a1' at index 1"),
        ("# header\nf5z9\n", r"openings\.txt:2: .*Unparsable move 'z9'"),
        ("f5d\n", r"openings\.txt:1: "),
        ("# only comments\n\n", "no openings in"),
        ("", "no openings in"),
    ],
)
def test_bad_files_are_refused_with_the_line_at_fault(tmp_path, text, message):
    with pytest.raises(OpeningsError, match=message):
        read_openings(write(tmp_path, text))


def test_unreadable_files_are_refused(tmp_path):
    with pytest.raises(OpeningsError, match="cannot read"):
        read_openings(tmp_path / "missing.txt")
    binary = tmp_path / "binary.txt"
    binary.write_bytes(b"\xff\xfe\x00f5")
    with pytest.raises(OpeningsError, match="cannot read"):
        read_openings(binary)


def images(line):
    """The eight images of a 64-square board line under rotations and reflections."""
    def square(line, transform):
        return "".join(line[8 * transform(r, c)[0] + transform(r, c)[1]] for r in range(8) for c in range(8))

    transforms = [
        lambda r, c: (r, c), lambda r, c: (c, 7 - r), lambda r, c: (7 - r, 7 - c), lambda r, c: (7 - c, r),
        lambda r, c: (r, 7 - c), lambda r, c: (7 - r, c), lambda r, c: (c, r), lambda r, c: (7 - c, 7 - r),
    ]
    return {square(line, transform) for transform in transforms}


# Positions a few plies from the start, counted up to the board's symmetries.
@pytest.mark.parametrize("plies, count", [(0, 1), (1, 1), (2, 3), (3, 14), (4, 60), (5, 322)])
def test_distinct_openings_count_each_position_once_up_to_symmetry(plies, count):
    openings = distinct_openings(plies)
    assert len(openings) == count
    seen = set()
    for transcript in openings:
        assert len(transcript) == 2 * plies
        line = Board.from_transcript(transcript).get_board_line()
        assert seen.isdisjoint(images(line)), transcript
        seen |= images(line)


def test_builtin_set_is_shuffled_by_the_seed():
    first, again, other = builtin_openings(1, 4), builtin_openings(1, 4), builtin_openings(2, 4)
    assert first == again
    assert first != other and sorted(first) == sorted(other) == sorted(distinct_openings(4))


# Only "\n" (and "\r\n") end a line: a form feed, vertical tab or Unicode separator inside a
# comment leaves the comment whole, and the line numbers count "\n" alone.
@pytest.mark.parametrize("separator", ["\f", "\v", "\x1c", "\x1e", "\x85", "\u2028", "\u2029"])
def test_only_newlines_end_a_line(tmp_path, separator):
    path = write(tmp_path, f"# page one{separator}page two\r\nf5d6\r\n#{separator}f5a1\nd3\n")
    assert read_openings(path) == ["f5d6", "d3"]
    bad = write(tmp_path, f"# note{separator}x\nf5z9\n")
    with pytest.raises(OpeningsError, match=r"openings\.txt:2: "):
        read_openings(bad)
