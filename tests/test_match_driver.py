"""The match driver over scripted executors: game order, schedule, tallies, SPRT stop, reports."""

import io
import itertools
import json
import pickle

import pytest

from veltrix_match import Chunk, Match, Program, Sprt
from veltrix_match.report import Progress, format_report, standings, summary

OPENINGS = ["f5", "f5d6", "f5f6", "f5f4"]


def programs(count):
    return [Program(f"p{index}", ["prog", str(index)]) for index in range(count)]


def fake_result(chunk, offset, winner, error=None):
    return {
        "game": chunk.first_game + offset, "pairing": chunk.pairing, "black": 1 + offset % 2,
        "opening": chunk.openings[offset // 2], "moves": chunk.openings[offset // 2],
        "winner": winner, "black_discs": 40, "white_discs": 24, "error": error,
    }


class ScriptedExecutor:
    """Plays chunks with results from `outcome(chunk, offset)`, finishing them in any order.

    `order` "forward" pulls chunks lazily one at a time; "reverse" and "shuffled" take the
    whole schedule first and hand it back out of order, as a pool of remote workers might.
    """

    def __init__(self, outcome, order="forward", fail_at=None, twice=False):
        self.outcome, self.order, self.fail_at, self.twice = outcome, order, fail_at, twice
        self.played, self.cancelled, self.closed = [], False, False

    def run(self, chunks):
        try:
            if self.order != "forward":
                chunks = list(chunks)
                chunks.reverse() if self.order == "reverse" else chunks.sort(key=lambda c: (c.index * 7) % 5)
            for chunk in chunks:
                if self.cancelled:
                    return
                if chunk.index == self.fail_at:
                    raise ValueError("Game error: BlackTimeout")
                self.played.append(chunk)
                results = [fake_result(chunk, i, *self.outcome(chunk, i)) for i in range(chunk.games)]
                yield chunk, results
                if self.twice:  # a retried chunk whose first run came back after all
                    yield chunk, [dict(result, winner=2) for result in results]
        finally:
            self.closed = True

    def cancel(self):
        self.cancelled = True


def first_wins_even_games(chunk, offset):
    """Command A wins the games where it is Black, draws the others: 3 points per 2 pairs."""
    return (1 if offset % 2 == 0 else None,)


@pytest.mark.parametrize("twice", [False, True])
@pytest.mark.parametrize("order", ["forward", "reverse", "shuffled"])
@pytest.mark.parametrize("count", [2, 4])
def test_games_are_counted_once_in_game_order_whatever_order_chunks_finish(order, count, twice):
    match = Match(programs(count), 10, OPENINGS, chunk_games=4)
    seen = []
    match.run(ScriptedExecutor(first_wins_even_games, order, twice=twice), lambda pairing, result: seen.append(result))
    assert match.played == match.total_games == 10 * len(match.pairings) == len(seen)
    for pairing in match.pairings:
        games = [result["game"] for result in seen if result["pairing"] == pairing.index]
        assert games == list(range(pairing.first_game, pairing.first_game + 10))
        assert (pairing.tally.wins, pairing.tally.losses, pairing.tally.draws) == (5, 0, 5)
        assert pairing.tally.pentanomial == [0, 0, 0, 5, 0]


def test_schedule_covers_every_pair_of_programs_once_with_paired_openings():
    match = Match(programs(3), 12, OPENINGS, concurrency=4, chunk_games=4)
    chunks = list(match.chunks())
    assert [chunk.index for chunk in chunks] == list(range(len(chunks)))
    assert {(p.first, p.second) for p in match.pairings} == set(itertools.combinations(range(3), 2))
    # The pairings take turns, so standings fill evenly.
    assert [chunk.pairing for chunk in chunks[:6]] == [0, 1, 2, 0, 1, 2]
    for pairing in match.pairings:
        mine = [chunk for chunk in chunks if chunk.pairing == pairing.index]
        games = [chunk.first_game + i for chunk in mine for i in range(chunk.games)]
        assert games == list(range(pairing.first_game, pairing.first_game + 12))
        assert all(chunk.first_game % 2 == 0 and chunk.concurrency == 4 for chunk in mine)
        openings = [opening for chunk in mine for opening in chunk.openings]
        # Pair k plays opening k, the list starting over once it runs out.
        assert openings == (OPENINGS * 2)[:6]
        assert mine[0].commands == (["prog", str(pairing.first)], ["prog", str(pairing.second)])


def test_a_decided_sprt_cancels_the_executor_and_stops_counting():
    match = Match(programs(2), 400, OPENINGS, sprt=Sprt(0, 200), chunk_games=4)
    executor = ScriptedExecutor(lambda chunk, offset: (1,))
    match.run(executor)
    assert match.decided and match.sprt_state.decision == "H1"
    assert executor.cancelled and executor.closed
    # Checked after every pair: counting stops at the deciding pair, not at a chunk's end.
    pairs = match.played // 2
    assert match.sprt.state([0, 0, 0, 0, pairs - 1]).decision is None
    assert match.sprt_state.llr >= match.sprt.upper
    assert len(executor.played) < 5


def test_an_sprt_between_equals_does_not_stop_a_short_match():
    match = Match(programs(2), 20, OPENINGS, sprt=Sprt(0, 20), chunk_games=4)
    match.run(ScriptedExecutor(lambda chunk, offset: (1 + offset % 2,)))
    assert match.played == 20 and not match.decided
    assert match.pairings[0].tally.pentanomial == [0, 0, 10, 0, 0]


def test_a_failing_chunk_keeps_what_was_counted_and_closes_the_executor():
    match = Match(programs(2), 20, OPENINGS, chunk_games=4)
    executor = ScriptedExecutor(first_wins_even_games, fail_at=2)
    with pytest.raises(ValueError, match="BlackTimeout"):
        match.run(executor)
    assert match.played == 8 and executor.closed


def test_forfeits_are_charged_to_the_side_that_lost_them():
    def outcome(chunk, offset):
        return (2, "BlackTimeout") if offset % 2 == 0 else (1, None)

    match = Match(programs(2), 4, OPENINGS)
    match.run(ScriptedExecutor(outcome))
    tally = match.pairings[0].tally
    assert (tally.wins, tally.losses, tally.forfeits) == (2, 2, [2, 0])
    assert "Forfeits: p0 2" in format_report(match)


def test_a_round_robin_names_each_program_once_with_all_its_forfeits():
    # Black loses every even game by a time-out: p0 in both its pairings, p1 in the one it leads.
    match = Match(programs(3), 4, OPENINGS)
    match.run(ScriptedExecutor(lambda chunk, offset: (2, "BlackTimeout") if offset % 2 == 0 else (1, None)))
    assert [pairing.tally.forfeits for pairing in match.pairings] == [[2, 0], [2, 0], [2, 0]]
    assert "Forfeits: p0 4, p1 2\n" in format_report(match)


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({"games": 7}, "even"),
        ({"games": 0}, "even"),
        ({"count": 3, "sprt": Sprt(0, 5)}, "exactly two"),
        ({"openings": []}, "opening"),
        ({"count": 1}, "two programs"),
        ({"chunk_games": 3}, "chunk"),
    ],
)
def test_match_settings_are_checked(arguments, message):
    settings = {"count": 2, "games": 10, "openings": OPENINGS, **arguments}
    count, games, openings = settings.pop("count"), settings.pop("games"), settings.pop("openings")
    with pytest.raises(ValueError, match=message):
        Match(programs(count), games, openings, **settings)


def test_chunks_pickle_hash_and_count_their_games():
    chunk = Chunk(3, 6, 0, (["a", "1"], ["b"]), ("f5", "f5d6"), 0.5, 4, True)
    assert chunk.games == 4
    again = pickle.loads(pickle.dumps(chunk))
    assert again == chunk and hash(again) == hash(chunk)
    assert {chunk: 1}[again] == 1


def test_round_robin_report_and_summary():
    def outcome(chunk, offset):
        # The lower-numbered program of each pairing wins every game.
        return (1,)

    match = Match(programs(3), 4, OPENINGS)
    match.run(ScriptedExecutor(outcome, "reverse"))
    table = standings(match)
    assert [(row.program, row.points, row.games) for row in table] == [(0, 8, 8), (1, 4, 8), (2, 0, 8)]
    text = format_report(match)
    assert "Standings" in text and "nan" not in text.lower()
    assert text.index("p0") < text.index("Standings")
    record = json.loads(json.dumps(summary(match, seed=5)))
    assert record["type"] == "summary" and record["seed"] == 5
    assert record["games_played"] == 12 and len(record["pairings"]) == 3
    # A perfect score has no finite Elo: written as a string, the JSON stays standard.
    assert record["standings"][0]["elo"] == "inf" and record["standings"][2]["elo"] == "-inf"
    assert record["pairings"][0]["pentanomial"] == [0, 0, 0, 0, 2]


def test_chunks_grow_until_start_up_costs_are_a_small_share_of_the_time():
    # Each chunk costs 50 ms to start its programs and 10 ms per game, on a fake clock.
    clock = [0.0]

    def outcome(chunk, offset):
        if offset == 0:
            clock[0] += 0.05 + 0.01 * chunk.games
        return (1 + offset % 2,)

    match = Match(programs(2), 4000, OPENINGS, concurrency=4, chunk_seconds=2.0, clock=lambda: clock[0])
    executor = ScriptedExecutor(outcome)
    match.run(executor)
    sizes = [chunk.games for chunk in executor.played]
    assert sizes[0] == 16 and sum(sizes) == 4000 == match.played
    assert sizes == sorted(sizes[:-1]) + sizes[-1:]  # growing, save the remainder
    # Steady state: about two seconds of games per chunk, start-up under 5% of the time.
    assert all(150 <= size <= 200 for size in sizes[4:-1])
    assert 0.05 * len(sizes) / clock[0] < 0.05


def test_progress_line_redraws_in_place_and_ends_with_a_newline():
    stream = io.StringIO()
    progress = Progress(stream, enabled=True)
    match = Match([Program("a long program name", ["a"]), Program("b", ["b"])], 8, OPENINGS,
                  sprt=Sprt(0, 100), chunk_games=4)
    match.run(ScriptedExecutor(first_wins_even_games), on_update=progress.update)
    # A shorter line later on is padded over the longer one drawn before it.
    progress.update(Match(programs(3), 2, OPENINGS))
    progress.finish()
    frames = stream.getvalue().split("\r")[1:]
    assert frames[0].startswith("games 4/8  a long program name vs b +2 -0 =2") and "LLR +" in frames[0]
    assert frames[1].startswith("games 8/8")
    assert frames[2].startswith("games 0/6  leader p0 0/0") and len(frames[2]) == len(frames[1]) + 1
    assert frames[2].endswith(" \n") and "nan" not in stream.getvalue()
    silent = io.StringIO()
    Progress(silent, enabled=False).update(match)
    assert silent.getvalue() == ""


def test_progress_line_counts_finished_games_at_most_once_an_interval():
    stream, now = io.StringIO(), [0.0]
    progress = Progress(stream, enabled=True, interval=0.1, clock=lambda: now[0])
    match = Match(programs(2), 8, OPENINGS, chunk_games=8)
    progress.playing(1)  # nothing counted yet: no line to draw
    progress.update(match)
    for finished, at in [(1, 0.05), (2, 0.15), (3, 0.2), (4, 0.3)]:
        now[0] = at
        progress.playing(finished)
    frames = [frame.split()[1] for frame in stream.getvalue().split("\r")[1:]]
    # Drawn when counted, then only once 0.1 s has passed since the last drawing.
    assert frames == ["0/8", "2/8", "4/8"]
    match.run(ScriptedExecutor(first_wins_even_games), on_update=progress.update)
    assert stream.getvalue().split("\r")[-1].startswith("games 8/8")
