"""The rating list over many matches: maximum-likelihood logistic Elo and its margins."""

import json
import math
import subprocess
import sys
from pathlib import Path

import pytest

from veltrix_match.ratings import fit_ratings, read_games
from veltrix_match.stats import Z95, elo_difference, elo_from_score

SCALE = 400 / math.log(10)
SCRIPT = Path(sys.executable).parent / "veltrix-match"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "veltrix_match"]


def games(first, second, wins, losses, draws):
    return [(first, second, 1.0)] * wins + [(first, second, 0.0)] * losses + [(first, second, 0.5)] * draws


def by_name(ratings):
    return {rating.name: rating for rating in ratings}


# Two programs: the estimate is elo_difference's; without draws the margin is the same normal
# approximation (elo_difference's interval ends tend to it as games grow).
@pytest.mark.parametrize("wins, losses, draws", [(60, 30, 10), (600, 400, 0), (5, 5, 90), (1, 3, 0)])
def test_two_programs_agree_with_elo_difference(wins, losses, draws):
    rated = by_name(fit_ratings(games("A", "B", wins, losses, draws), anchor="B"))
    elo, margin = elo_difference(wins, losses, draws)
    assert rated["A"].elo == pytest.approx(elo, abs=1e-6)
    assert rated["B"].elo == 0 and rated["A"].games == wins + losses + draws
    if draws == 0 and wins + losses >= 1000:
        assert rated["A"].margin == pytest.approx(margin, rel=0.01)
    p = (wins + draws / 2) / (wins + losses + draws)
    assert rated["A"].margin == pytest.approx(Z95 * SCALE / math.sqrt((wins + losses + draws) * p * (1 - p)))


def test_a_chain_of_three_by_hand():
    # A scores 3/4 against B and B 3/4 against C; A and C never meet. The likelihood splits
    # into the two pairings: A - B = B - C = elo_from_score(3/4) = 190.85, and relative to B
    # each margin is 1.96 * 400/ln 10 / sqrt(4 * 3/4 * 1/4) = 393.2.
    data = games("A", "B", 3, 1, 0) + games("B", "C", 3, 1, 0)
    step = elo_from_score(0.75)
    assert step == pytest.approx(190.848, abs=1e-3)
    anchored = by_name(fit_ratings(data, anchor="B"))
    assert anchored["A"].elo == pytest.approx(step) and anchored["C"].elo == pytest.approx(-step)
    assert anchored["A"].margin == pytest.approx(393.2, abs=0.1) == anchored["C"].margin
    mean = fit_ratings(data)
    assert [rating.name for rating in mean] == ["A", "B", "C"]
    assert [rating.elo for rating in mean] == pytest.approx([step, 0, -step], abs=1e-6)
    assert [rating.points for rating in mean] == [3, 4, 1]


def test_a_triangle_solves_its_likelihood_equation():
    # Each beats the next 2-1 round the table A > B > C and A beats C 2-1: by symmetry
    # B = 0 and A = -C = a, where 3 s(a) + 3 s(2a) = 4 (A's expected points = its points).
    data = games("A", "B", 2, 1, 0) + games("B", "C", 2, 1, 0) + games("A", "C", 2, 1, 0)
    low, high = 0.0, 5.0
    for _ in range(200):
        middle = (low + high) / 2
        expected = 3 / (1 + math.exp(-middle)) + 3 / (1 + math.exp(-2 * middle))
        low, high = (middle, high) if expected < 4 else (low, middle)
    rated = by_name(fit_ratings(data))
    assert rated["A"].elo == pytest.approx(low * SCALE, abs=1e-6)
    assert rated["B"].elo == pytest.approx(0, abs=1e-6) and rated["C"].elo == pytest.approx(-low * SCALE, abs=1e-6)


def test_a_program_that_won_or_lost_everything_is_unbounded_and_left_out_of_the_fit():
    data = games("A", "B", 3, 1, 0) + games("D", "A", 2, 0, 0) + games("E", "B", 0, 2, 0)
    rated = by_name(fit_ratings(data, anchor="B"))
    assert rated["D"].elo == math.inf and rated["E"].elo == -math.inf
    assert math.isinf(rated["D"].margin)
    assert rated["A"].elo == pytest.approx(elo_from_score(0.75))


def test_an_anchor_without_games_is_refused():
    with pytest.raises(ValueError, match="no games of the anchor 'Z'"):
        fit_ratings(games("A", "B", 1, 1, 0), anchor="Z")


# An anchor that won or lost everything has no finite rating: the others cannot be relative to it.
@pytest.mark.parametrize("anchor, outcome", [("A", "won"), ("D", "lost")])
def test_an_anchor_without_a_finite_rating_is_refused(anchor, outcome):
    played = games("A", "B", 4, 0, 0) + games("B", "C", 2, 1, 1) + games("C", "D", 3, 0, 0)
    with pytest.raises(ValueError, match=f"the anchor '{anchor}' {outcome} every game that counts"):
        fit_ratings(played, anchor=anchor)
    assert by_name(fit_ratings(played, anchor="B"))["B"].elo == 0


def write_match(path, pairs, cut=False):
    lines = [json.dumps({"type": "game", "program1": a, "program2": b, "winner": w}) for a, b, w in pairs]
    lines.append(json.dumps({"type": "summary"}))
    text = "\n".join(lines) + "\n"
    if cut:
        text += '{"type": "game", "program1": "A", "progr'
    path.write_text(text)


def test_the_command_reads_many_files_and_skips_a_half_written_last_line(tmp_path):
    write_match(tmp_path / "one.jsonl", [("A", "B", 1)] * 3 + [("A", "B", 2)])
    write_match(tmp_path / "two.jsonl", [("B", "C", 1)] * 3 + [("B", "C", 2)], cut=True)
    assert len(read_games([tmp_path / "two.jsonl"])) == 4
    done = subprocess.run([*COMMAND, "ratings", "one.jsonl", "two.jsonl", "--anchor", "B", "--json"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    listed = {row["program"]: row for row in json.loads(done.stdout)["ratings"]}
    assert listed["A"]["elo"] == pytest.approx(elo_from_score(0.75))
    assert listed["C"]["elo"] == pytest.approx(-elo_from_score(0.75))
    assert listed["B"]["games"] == 8 and listed["B"]["points"] == 4
    table = subprocess.run([*COMMAND, "ratings", "one.jsonl", "two.jsonl"], cwd=tmp_path,
                           capture_output=True, text=True, timeout=60)
    assert table.returncode == 0 and "from 8 games in 2 file(s)" in table.stdout
    assert [line.split()[1] for line in table.stdout.splitlines()[2:]] == ["A", "B", "C"]


# Two matches with no program in common: two scales, which the list must not pass off as one.
@pytest.mark.parametrize("pairs, warned", [
    ([("A", "B"), ("C", "D")], "2 groups that never played each other (A, B; C, D)"),
    ([("A", "B"), ("C", "D"), ("E", "C")], "2 groups that never played each other (C, D, E; A, B)"),
    ([("A", "B"), ("C", "D"), ("B", "C")], None),
])
def test_the_command_warns_when_the_games_do_not_connect_every_program(tmp_path, pairs, warned):
    files = []
    for number, (first, second) in enumerate(pairs):
        files.append(f"m{number}.jsonl")
        write_match(tmp_path / files[-1], [(first, second, 1)] * 3 + [(first, second, 2)])
    done = subprocess.run([*COMMAND, "ratings", *files], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert f"Ratings of {len({name for pair in pairs for name in pair})} programs" in done.stdout
    if warned:
        assert done.stderr == f"veltrix-match ratings: warning: the games fall into {warned}; " \
                              "ratings from different groups cannot be compared\n"
    else:
        assert done.stderr == ""


# A file named twice (overlapping globs, another spelling of its path) counts its games once.
@pytest.mark.parametrize("again", ["one.jsonl", "./one.jsonl", "sub/../one.jsonl"])
def test_a_file_named_twice_is_counted_once(tmp_path, again):
    (tmp_path / "sub").mkdir()
    write_match(tmp_path / "one.jsonl", [("A", "B", 1)] * 3 + [("A", "B", 2)])
    done = subprocess.run([*COMMAND, "ratings", "one.jsonl", again, "--json"], cwd=tmp_path, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["games"] == 4
    assert done.stderr == f"veltrix-match ratings: warning: {again} is one.jsonl again; its games are counted once\n"


@pytest.mark.parametrize("content, message", [("{not json\n{}\n", "bad.jsonl:1: not a JSON object"),
                                              ('{"type": "summary"}\n{"type": "game", "winner": 1}\n',
                                               "bad.jsonl:2: a game record without the names of its programs"),
                                              ("", "no games in")])
def test_the_command_refuses_files_it_cannot_use(tmp_path, content, message):
    (tmp_path / "bad.jsonl").write_text(content)
    done = subprocess.run([*COMMAND, "ratings", "bad.jsonl"], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 1 and message in done.stderr and "Traceback" not in done.stderr
