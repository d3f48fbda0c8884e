"""Steps per second of veltrix_env's native batch, side by side with a well-written Python loop over
veltrix.Board objects and with pgx's Othello under jax.jit(jax.vmap(...)), all on one core.

    python bench/env_bench.py                  # pins itself to core 0
    python bench/env_bench.py --pgx-python .venv-bench/bin/python

pgx and a CPU JAX are never project dependencies: they are looked for in the interpreter given by
--pgx-python (default .venv-bench/bin/python, made with
`python -m venv .venv-bench && .venv-bench/bin/pip install pgx "jax[cpu]"`), and skipped when
missing. Figures are medians of several timed rounds; the machine may be shared, so compare the
columns of one run rather than runs with each other.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import random
import statistics
import subprocess
import time
from collections.abc import Callable

BATCHES = (1, 64, 1024, 4096)
ROUNDS = 5
ROOT = pathlib.Path(__file__).resolve().parent.parent


def median_rate(run: Callable[[], int], rounds: int = ROUNDS, seconds: float = 0.25) -> float:
    """Median of `rounds` rounds of steps/s, each round calling run() (which returns the steps it
    made) until `seconds` have passed."""
    rates = []
    run()  # warm-up
    for _ in range(rounds):
        steps, start = 0, time.perf_counter()
        while (elapsed := time.perf_counter() - start) < seconds:
            steps += run()
        rates.append(steps / elapsed)
    return statistics.median(rates)


def native_sampled(batch: int) -> float:
    from veltrix_env import ReversiVectorEnv

    env = ReversiVectorEnv(batch, seed=1)
    env.reset(seed=1)
    step, sample = env.step, env.sample_legal_actions

    def run() -> int:
        for _ in range(20):
            step(sample())
        return 20 * batch

    return median_rate(run)


def native_numpy_actions(batch: int) -> float:
    """env.step(actions) alone, the actions a NumPy array drawn beforehand (the draw untimed)."""
    from veltrix_env import ReversiVectorEnv

    env = ReversiVectorEnv(batch, seed=2)
    env.reset(seed=2)
    rates = []
    for _ in range(ROUNDS):
        steps, spent = 0, 0.0
        while spent < 0.25:
            actions = env.sample_legal_actions().copy()
            start = time.perf_counter()
            env.step(actions)
            spent += time.perf_counter() - start
            steps += batch
        rates.append(steps / spent)
    return statistics.median(rates)


def python_loop(batch: int) -> float:
    """The fastest plain-Python way with Board objects: row views of one NumPy batch made once;
    per board the legal moves, a move, a pass or a new game, then write_planes."""
    import numpy as np

    from veltrix import Board

    boards = [Board() for _ in range(batch)]
    planes = np.zeros((batch, 3, 8, 8), np.uint8)
    rows = list(planes)
    choose = random.Random(1).choice

    def run() -> int:
        for i, board in enumerate(boards):
            moves = board.get_legal_moves_vec()
            if moves:
                board.do_move(choose(moves))
            elif board.is_game_over():
                board = boards[i] = Board()
            else:
                board.do_pass()
            board.write_planes(rows[i])
        return batch

    return median_rate(run)


def single_env_step() -> dict[str, float]:
    """ReversiEnv.step against the random opponent, in microseconds per call, beside the native
    work it does (the agent's step, the opponent's draw and step, on a batch of one) and the same
    two moves made with Board calls."""
    import numpy as np

    from veltrix import Board
    from veltrix_env import ReversiEnv
    from veltrix_env.core import BatchConfig, NativeBatch

    env = ReversiEnv()
    env.reset(seed=3)
    masks = env.action_masks
    flat = np.flatnonzero

    def env_run() -> int:
        for _ in range(50):
            _, _, terminated, _, _ = env.step(int(flat(masks())[0]))
            if terminated:
                env.reset()
        return 50

    def timed_env() -> float:
        # The action choice and resets are timed too; they are measured alone below and removed.
        return 1e6 / median_rate(env_run)

    def choice_run() -> int:
        for _ in range(50):
            int(flat(masks())[0])
        return 50

    batch = NativeBatch(1, BatchConfig(), 5)
    action = np.zeros(1, np.int64)

    def native_run() -> int:
        for _ in range(50):
            action[0] = batch.sample()[0]
            batch.step(action, False)
            batch.step(batch.sample(), False)
        return 50

    board = Board()

    def board_run() -> int:
        nonlocal board
        for _ in range(50):
            for _ in range(2):
                moves = board.get_legal_moves_vec()
                if moves:
                    board.do_move(moves[0])
                elif board.is_game_over():
                    board = Board()
                else:
                    board.do_pass()
        return 50

    return {
        "env_step_us": timed_env() - 1e6 / median_rate(choice_run),
        "native_moves_us": 1e6 / median_rate(native_run),
        "board_moves_us": 1e6 / median_rate(board_run),
    }


PGX_CODE = r"""
import json, statistics, sys, time
import jax, jax.numpy as jnp
import pgx
from pgx.experimental import auto_reset

env = pgx.make("othello")
rates = {}
for batch in json.loads(sys.argv[1]):
    init = jax.jit(jax.vmap(env.init))
    step = jax.jit(jax.vmap(auto_reset(env.step, env.init)))

    # Drawing the random legal actions and stepping are one compiled call, the fairest form for pgx.
    @jax.jit
    def play(state, key):
        key, act_key, step_key = jax.random.split(key, 3)
        logits = jnp.log(state.legal_action_mask.astype(jnp.float32))
        actions = jax.vmap(jax.random.categorical)(jax.random.split(act_key, batch), logits)
        return step(state, actions, jax.random.split(step_key, batch)), key

    key = jax.random.PRNGKey(0)
    state = init(jax.random.split(key, batch))
    def run(state, key, n):
        for _ in range(n):
            state, key = play(state, key)
        jax.block_until_ready(state)
        return state, key
    state, key = run(state, key, 3)  # compile
    n = 200 if batch >= 1024 else 1000
    samples = []
    for _ in range(5):
        start = time.perf_counter()
        state, key = run(state, key, n)
        samples.append(n * batch / (time.perf_counter() - start))
        if n * batch / samples[-1] > 2.0:
            break
    rates[batch] = statistics.median(samples)
print(json.dumps(rates))
"""


def pgx_rates(python: str) -> dict[int, float] | str:
    if not pathlib.Path(python).exists():
        return f"skipped: {python} does not exist"
    env = dict(os.environ, JAX_PLATFORMS="cpu",
               XLA_FLAGS="--xla_cpu_multi_thread_eigen=false intra_op_parallelism_threads=1")
    try:
        result = subprocess.run([python, "-c", PGX_CODE, json.dumps(list(BATCHES))], env=env, capture_output=True,
                                text=True, timeout=900)
    except subprocess.TimeoutExpired:
        return "skipped: pgx took longer than 15 minutes"
    if result.returncode != 0:
        last = result.stderr.strip().splitlines()[-1:] or ["?"]
        return f"skipped: {last[0]}"
    return {int(batch): rate for batch, rate in json.loads(result.stdout.strip().splitlines()[-1]).items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pgx-python", default=str(ROOT / ".venv-bench" / "bin" / "python"))
    parser.add_argument("--no-pin", action="store_true", help="do not pin to core 0")
    args = parser.parse_args()
    if not args.no_pin and hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, {0})  # children (pgx) inherit it
    from veltrix_env import move_generator

    print(f"veltrix_env on the {move_generator()} move generator, pinned to "
          f"{'core 0' if not args.no_pin else 'no core'}; medians of {ROUNDS} rounds, million steps/s")
    pgx = pgx_rates(args.pgx_python)
    loop_1024 = python_loop(1024)
    header = f"{'batch':>6} {'native step(sample)':>20} {'step(NumPy actions)':>20} {'Python Board loop':>18} " \
             f"{'pgx jit(vmap)':>14} {'native/loop':>12} {'native/pgx':>11}"
    print(header)
    for batch in BATCHES:
        sampled = native_sampled(batch)
        numpy_actions = native_numpy_actions(batch)
        loop = loop_1024 if batch == 1024 else python_loop(batch)
        pgx_rate = pgx.get(batch) if isinstance(pgx, dict) else None
        pgx_text = f"{pgx_rate / 1e6:14.4f}" if pgx_rate else f"{'-':>14}"
        ratio = f"{sampled / pgx_rate:10.0f}x" if pgx_rate else f"{'-':>11}"
        print(f"{batch:>6} {sampled / 1e6:20.2f} {numpy_actions / 1e6:20.2f} {loop / 1e6:18.2f} {pgx_text} "
              f"{sampled / loop:11.1f}x {ratio}")
    if isinstance(pgx, str):
        print(f"pgx: {pgx}")
    single = single_env_step()
    print(f"ReversiEnv.step (random opponent): {single['env_step_us']:.2f} us per call; the same two moves "
          f"natively {single['native_moves_us']:.2f} us, with Board calls {single['board_moves_us']:.2f} us; "
          f"overhead beyond the native moves {single['env_step_us'] - single['native_moves_us']:.2f} us")


if __name__ == "__main__":
    main()
