"""--resume: an interrupted match carried on from its JSONL file ends as if never stopped."""

import json
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from veltrix_match.records import read_ggf

ROOT = Path(__file__).resolve().parent.parent
SEARCH = f"{sys.executable} {ROOT / 'examples/players/search_player.py'} 4"
# Seeded by the position: the same games whatever process plays them, in whatever chunks.
RANDOM = f"{sys.executable} {ROOT / 'examples/players/random_player.py'} --seed 3"
SCRIPT = Path(sys.executable).parent / "veltrix-match"
COMMAND = [str(SCRIPT)] if SCRIPT.exists() else [sys.executable, "-m", "veltrix_match"]
MATCH = [SEARCH, RANDOM, "--games", "40", "--seed", "11"]


def run(*args, cwd):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, text=True, timeout=120, cwd=cwd)


def split(path):
    records = [json.loads(line) for line in path.read_text().splitlines()]
    assert [record["type"] for record in records[:-1]] == ["game"] * (len(records) - 1)
    assert records[-1]["type"] == "summary"
    return records[:-1], records[-1]


def comparable(summary):
    return {key: value for key, value in summary.items() if key not in ("seconds", "concurrency")}


@pytest.fixture(scope="module")
def whole_match(tmp_path_factory):
    """The directory of the match played without a stop: whole.jsonl and whole.ggf."""
    where = tmp_path_factory.mktemp("whole")
    done = run(*MATCH, "--out", "whole.jsonl", "--ggf-out", "whole.ggf", cwd=where)
    assert done.returncode == 0, done.stderr
    return where


@pytest.fixture(scope="module")
def uninterrupted(whole_match):
    return split(whole_match / "whole.jsonl")


def undated(path):
    """A GGF file's games without their dates (DT, when the game was written out)."""
    return [re.sub(r"DT\[[^]]*\]", "DT[]", line) for line in path.read_text().splitlines()]


def start_cut_short(tmp_path, *extra):
    """The match with `extra` options, stopped by the caller once some games are in the file."""
    # Chunks of one pair restart the programs often, so the match lasts long enough to be cut.
    match = subprocess.Popen([*COMMAND, *MATCH, "--chunk-games", "2", "--out", "cut.jsonl", *extra], cwd=tmp_path,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    # Some games in, but not all.
    while time.monotonic() < deadline and match.poll() is None:
        path = tmp_path / "cut.jsonl"
        if path.exists() and path.read_text().count("\n") >= 2:
            break
        time.sleep(0.01)
    return match


# Killed with SIGKILL (no handler runs, a line may be cut) at a random moment, then resumed
# without repeating --seed: the same records and the same summary as the match never stopped.
@pytest.mark.parametrize("attempt", range(3))
def test_resume_after_sigkill_gives_the_uninterrupted_match(tmp_path, uninterrupted, attempt):
    match = start_cut_short(tmp_path)
    try:
        # Killed at a random moment a little after some games are in.
        time.sleep(random.Random(attempt).uniform(0, 0.5))
        match.send_signal(signal.SIGKILL)
    finally:
        match.kill()
        match.wait()
    text = (tmp_path / "cut.jsonl").read_text()
    resumed = run(SEARCH, RANDOM, "--games", 40, "--resume", "cut.jsonl", "--concurrency", 4, cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    games, summary = split(tmp_path / "cut.jsonl")
    whole_games, whole_summary = uninterrupted
    assert games == whole_games
    assert comparable(summary) == comparable(whole_summary)
    kept = sum(1 for line in text.split("\n")[:-1] if '"type": "game"' in line)
    assert kept < 40, "the match ended before it was killed"
    assert f"resuming cut.jsonl: {kept} of 40 games counted already" in resumed.stdout


def test_a_half_written_last_line_is_dropped_and_its_game_played_again(tmp_path, uninterrupted):
    whole_games, whole_summary = uninterrupted
    lines = [json.dumps(game) for game in whole_games[:5]]
    (tmp_path / "cut.jsonl").write_text("\n".join(lines) + "\n" + json.dumps(whole_games[5])[:40])
    resumed = run(*MATCH, "--resume", "cut.jsonl", cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert "5 of 40 games counted already (a last line cut short was dropped)" in resumed.stdout
    games, summary = split(tmp_path / "cut.jsonl")
    assert games == whole_games and comparable(summary) == comparable(whole_summary)


# Killed before its first game was written: the file is empty or holds the start of one line.
@pytest.mark.parametrize("left", ["", "\n", "first 30"], ids=["empty", "blank line", "cut first line"])
def test_a_match_killed_before_its_first_game_is_resumed_from_its_start(tmp_path, uninterrupted, left):
    whole_games, whole_summary = uninterrupted
    text = json.dumps(whole_games[0])[:30] if left == "first 30" else left
    (tmp_path / "cut.jsonl").write_text(text)
    resumed = run(*MATCH, "--resume", "cut.jsonl", cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert "resuming cut.jsonl: 0 of 40 games counted already" in resumed.stdout
    games, summary = split(tmp_path / "cut.jsonl")
    assert games == whole_games and comparable(summary) == comparable(whole_summary)


@pytest.mark.parametrize("text", ["hello\n", '{"a": 1}\n', "notes without a newline"])
def test_a_file_that_is_no_match_file_is_refused_and_left_alone(tmp_path, text):
    (tmp_path / "notes.jsonl").write_text(text)
    refused = run(*MATCH, "--resume", "notes.jsonl", cwd=tmp_path)
    assert refused.returncode == 2
    assert "notes.jsonl" in refused.stderr and "Traceback" not in refused.stderr
    assert (tmp_path / "notes.jsonl").read_text() == text


def test_a_resumed_sprt_match_counts_the_earlier_games(tmp_path):
    # An SPRT that a full run decides after some games: the resumed run decides at the same game.
    sprt = [SEARCH, RANDOM, "--games", "200", "--seed", "4", "--sprt", "0", "100"]
    whole = run(*sprt, "--out", "whole.jsonl", cwd=tmp_path)
    assert whole.returncode == 0, whole.stderr
    whole_games, whole_summary = split(tmp_path / "whole.jsonl")
    assert whole_summary["status"] == "sprt"
    half = len(whole_games) // 2
    (tmp_path / "cut.jsonl").write_text("".join(json.dumps(game) + "\n" for game in whole_games[:half]))
    resumed = run(*sprt, "--resume", "cut.jsonl", cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    games, summary = split(tmp_path / "cut.jsonl")
    assert len(games) == len(whole_games) and summary["sprt"] == whole_summary["sprt"]


@pytest.mark.parametrize(
    "change, difference",
    [
        (["--seed", "12"], "seed 11 in the file, 12 now"),
        (["--time-limit", "3"], "time limit 5.0 in the file, 3.0 now"),
        (["--games", "30"], "games per pairing 40 in the file, 30 now"),
        (["--forfeit"], "forfeit false in the file, true now"),
        (["--adjudicate-empties", "4"], "adjudication null in the file, 4 now"),
        (["--sprt", "0", "50"], 'SPRT null in the file, [0.0, 50.0, 0.05, 0.05] now'),
    ],
)
# Named from the summary, or, when the runner was killed before writing it, from the settings
# the first game line spells out.
@pytest.mark.parametrize("ended", [True, False], ids=["with summary", "killed"])
def test_a_file_from_a_different_match_is_refused_naming_the_difference(tmp_path, uninterrupted, change, difference,
                                                                        ended):
    whole_games, whole_summary = uninterrupted
    text = "".join(json.dumps(game) + "\n" for game in whole_games[:4]) + (json.dumps(whole_summary) + "\n") * ended
    (tmp_path / "other.jsonl").write_text(text)
    args = [*MATCH[:2], "--games", "40", "--seed", "11"]
    flag = change[0]
    args = [arg for index, arg in enumerate(args) if not (args[index - 1] == flag or arg == flag)] + change
    refused = run(*args, "--resume", "other.jsonl", cwd=tmp_path)
    assert refused.returncode == 2
    assert "other.jsonl is from a different match" in refused.stderr and difference in refused.stderr
    assert (tmp_path / "other.jsonl").read_text() == text  # left as it was
    assert "the settings that decide the games" not in refused.stderr


def test_other_programs_are_refused_even_without_a_summary(tmp_path, uninterrupted):
    whole_games, _ = uninterrupted
    (tmp_path / "other.jsonl").write_text("".join(json.dumps(game) + "\n" for game in whole_games[:4]))
    refused = run(SEARCH, f"{sys.executable} {ROOT / 'examples/players/search_player.py'} 2", "--games", 40,
                  "--seed", 11, "--resume", "other.jsonl", cwd=tmp_path)
    assert refused.returncode == 2
    assert "pairing 1 is search_player 4 vs random_player --seed 3 in the file" in refused.stderr


# --ggf-out after --resume: every game of the match, the earlier run's first, each once, as
# the uninterrupted match wrote them (bar the dates); the GGF file the cut run left (its
# games, perhaps a line cut short by SIGKILL) is written afresh.
@pytest.mark.parametrize("stop", [signal.SIGKILL, signal.SIGINT], ids=["SIGKILL", "SIGINT"])
def test_a_resumed_match_writes_every_game_to_the_ggf_file(tmp_path, whole_match, stop):
    match = start_cut_short(tmp_path, "--ggf-out", "cut.ggf")
    try:
        time.sleep(0.2)
        match.send_signal(stop)
        match.wait(timeout=30)
    finally:
        match.kill()
        match.wait()
    before = undated(tmp_path / "cut.ggf")
    assert 0 < len(before) < 40, "the match was not cut short"
    resumed = run(SEARCH, RANDOM, "--games", 40, "--resume", "cut.jsonl", "--ggf-out", "cut.ggf", cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert undated(tmp_path / "cut.ggf") == undated(whole_match / "whole.ggf")
    whole = read_ggf(whole_match / "whole.ggf")
    assert len(whole) == 40 and len({game.moves for game in whole}) > 1
    games, _ = split(tmp_path / "cut.jsonl")
    for game, record in zip(read_ggf(tmp_path / "cut.ggf"), games):
        assert game.moves == record["moves"]
        assert (game.black_discs, game.white_discs) == (record["black_discs"], record["white_discs"])


def test_a_resumed_match_writes_a_ggf_file_even_when_no_game_is_left_to_play(tmp_path, whole_match):
    (tmp_path / "done.jsonl").write_text((whole_match / "whole.jsonl").read_text())
    resumed = run(*MATCH, "--resume", "done.jsonl", "--ggf-out", "done.ggf", cwd=tmp_path)
    assert resumed.returncode == 0, resumed.stderr
    assert undated(tmp_path / "done.ggf") == undated(whole_match / "whole.ggf")


@pytest.mark.parametrize("ggf, problem", [
    ("cut.jsonl", "--ggf-out and --resume name the same file"),
    ("/dev/full", "cannot write /dev/full: No space left on device"),
])
def test_a_ggf_file_that_cannot_take_the_games_leaves_the_match_file_as_it_was(tmp_path, uninterrupted, ggf,
                                                                              problem):
    whole_games, _ = uninterrupted
    text = "".join(json.dumps(game) + "\n" for game in whole_games[:6])
    (tmp_path / "cut.jsonl").write_text(text + '{"type": "ga')
    refused = run(*MATCH, "--resume", "cut.jsonl", "--ggf-out", ggf, cwd=tmp_path)
    assert refused.returncode == 2 and "Traceback" not in refused.stderr
    assert problem in refused.stderr
    assert (tmp_path / "cut.jsonl").read_text() == text + '{"type": "ga'


def test_the_settings_are_spelled_out_on_the_first_game_line_only(uninterrupted):
    whole_games, whole_summary = uninterrupted
    settings = whole_games[0]["settings"]
    assert all("settings" not in game for game in whole_games[1:])
    # In the summary's words, so that either names a difference alike.
    shared = set(settings) & set(whole_summary)
    assert {"programs", "commands", "games_per_pairing", "time_limit", "forfeit", "sprt"} <= shared
    assert all(settings[key] == whole_summary[key] for key in shared)
