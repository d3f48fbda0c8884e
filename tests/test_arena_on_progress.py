"""Arena.play_adjudicated(..., on_progress=f): told of games as they finish, on the caller's
thread; what f raises stops the batch with every program reaped."""

import sys
import threading
from pathlib import Path

import pytest

import veltrix
from veltrix_match import builtin_openings

HERE = Path(__file__).parent
PLAYER = [sys.executable, str(HERE / "players/endgame_player.py"), "0"]
OPENINGS = builtin_openings(4)[:5]


def test_counts_rise_to_every_game_on_the_calling_thread_and_records_match_play():
    seen = []

    def on_progress(finished):
        seen.append((finished, threading.get_ident()))

    # Deterministic programs: playing out without adjudication must give exactly what play gives.
    arena = veltrix.Arena(PLAYER, PLAYER)
    watched = arena.play_adjudicated(10, None, openings=OPENINGS, concurrency=4, progress=False,
                                     on_progress=on_progress)
    played = veltrix.Arena(PLAYER, PLAYER).play(10, openings=OPENINGS, concurrency=4, progress=False)
    assert [tuple(record) for record in watched] == [tuple(record) for record in played]
    assert all(record.adjudicated_ply is None for record in watched)
    counts = [count for count, _ in seen]
    assert counts == sorted(set(counts)) and counts[-1] == 10 and counts[0] >= 1
    assert {thread for _, thread in seen} == {threading.get_ident()}


class Enough(Exception):
    pass


@pytest.mark.parametrize("on_error", ["raise", "forfeit"])
def test_what_the_callback_raises_stops_the_batch(on_error, no_children_left):
    calls = []

    def on_progress(finished):
        calls.append(finished)
        if len(calls) == 2:
            raise Enough(finished)

    with pytest.raises(Enough):
        veltrix.Arena(PLAYER, PLAYER).play_adjudicated(200, None, openings=OPENINGS, concurrency=2,
                                                      progress=False, on_error=on_error,
                                                      on_progress=on_progress)
    # Not called again once it raised, and the batch did not play on to its end.
    assert len(calls) == 2 and calls[-1] < 200


def test_a_batch_on_another_thread_calls_back_on_that_thread():
    seen, failures = [], []

    def play():
        try:
            veltrix.Arena(PLAYER, PLAYER).play_adjudicated(
                4, 12, openings=OPENINGS, progress=False,
                on_progress=lambda finished: seen.append((finished, threading.get_ident())))
        except BaseException as error:  # reported below, on the test's thread
            failures.append(error)

    thread = threading.Thread(target=play)
    thread.start()
    thread.join(120)
    assert not thread.is_alive() and failures == []
    assert seen[-1][0] == 4 and {ident for _, ident in seen} == {thread.ident}


@pytest.mark.parametrize("value", [1, "print"])
def test_a_callback_that_cannot_be_called_is_refused(value):
    with pytest.raises(TypeError, match="on_progress"):
        veltrix.Arena(["true"], ["true"]).play_adjudicated(2, None, on_progress=value)
