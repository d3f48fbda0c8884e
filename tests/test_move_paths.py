"""The AVX2 and the portable move generator give the same answers: every query that goes
through them is run in two interpreters, one with the portable path forced, and compared."""

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import veltrix

# Prints one digest per kind of query over seeded random positions: reachable ones, arbitrary
# disjoint words and words that share squares (set_board accepts those too).
PROBE = textwrap.dedent(r"""
    import hashlib, random, sys
    from veltrix import AlphaBetaSearch, Board, LegalNumEvaluator, PieceEvaluator, Turn

    rng = random.Random(int(sys.argv[1]))
    digests = {name: hashlib.sha256() for name in ("moves", "children", "passes", "search", "perft")}

    def feed(name, *values):
        digests[name].update(repr(values).encode())

    def probe(board):
        moves = board.get_legal_moves()
        feed("moves", board.get_board(), moves, board.get_legal_moves_vec())
        feed("passes", board.is_pass(), board.is_game_over())
        children = board.get_child_boards()
        feed("children", None if children is None else [c.get_board() for c in children])
        for pos in board.get_legal_moves_vec():
            child = board.clone()
            child.do_move(pos)
            feed("children", pos, child.get_board())

    def random_game_positions(count):
        for _ in range(count):
            board = Board()
            for _ in range(rng.randrange(0, 64)):
                if board.is_game_over():
                    break
                moves = board.get_legal_moves_vec()
                if moves:
                    board.do_move(rng.choice(moves))
                else:
                    board.do_pass()
            yield board

    def perft(board, depth):
        if depth == 0 or board.is_game_over():
            return 1
        children = board.get_child_boards()
        if children is None:
            passed = board.clone()
            passed.do_pass()
            return perft(passed, depth - 1)
        return sum(perft(child, depth - 1) for child in children)

    reachable = list(random_game_positions(400))
    for board in reachable:
        probe(board)
    for overlap in (False, True):
        for _ in range(1500):
            player, opponent = rng.getrandbits(64) & rng.getrandbits(64), rng.getrandbits(64) & rng.getrandbits(64)
            if not overlap:
                opponent &= ~player
            board = Board()
            board.set_board(player, opponent, rng.choice([Turn.BLACK, Turn.WHITE]))
            probe(board)
    for board in [Board()] + reachable[:12]:
        feed("perft", perft(board, 5))
    for board in reachable[:40]:
        feed("search", [AlphaBetaSearch(e, depth).get_move(board)
                        for e in (PieceEvaluator(), LegalNumEvaluator()) for depth in (1, 3, 5)])
    for name, digest in sorted(digests.items()):
        print(name, digest.hexdigest())
""")


def cpu_flags() -> set[str]:
    try:
        text = Path("/proc/cpuinfo").read_text()
    except OSError:
        return set()
    match = re.search(r"^flags\s*:(.*)$", text, re.MULTILINE)
    return set(match.group(1).split()) if match else set()


HAS_AVX2_PATH = sys.platform == "linux" and {"avx2", "bmi1", "bmi2", "abm", "popcnt"} <= cpu_flags()


def run_probe(seed: int, portable: str | None) -> str:
    environment = dict(os.environ)
    environment.pop("VELTRIX_PORTABLE", None)
    if portable is not None:
        environment["VELTRIX_PORTABLE"] = portable
    done = subprocess.run([sys.executable, "-c", PROBE, str(seed)], env=environment, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.skipif(not HAS_AVX2_PATH, reason="needs an x86-64 processor with AVX2: elsewhere both are the portable path")
@pytest.mark.parametrize("seed", [1, 2])
def test_both_paths_answer_alike(seed):
    default, forced = run_probe(seed, None), run_probe(seed, "1")
    assert default.count("\n") == 5
    assert default == forced


# Instructions that only the AVX2 path may use: VEX-encoded ones and BMI1/BMI2/LZCNT. Not
# tzcnt: its encoding is "rep bsf", which compilers emit for every x86-64 processor (older ones
# run it as bsf, the same for the non-zero words it is given).
NON_GENERIC = re.compile(r"^(v[a-z0-9]+|shlx|shrx|sarx|andn|lzcnt|blsr|blsi|blsmsk|pdep|pext|bzhi|rorx|mulx)$")


def build_id(path: Path) -> str | None:
    notes = subprocess.run(["readelf", "-n", str(path)], capture_output=True, text=True, timeout=60).stdout
    match = re.search(r"Build ID:\s*([0-9a-f]+)", notes)
    return match.group(1) if match else None


def module_with_symbols() -> Path | None:
    """The extension module as built, before the install stripped its local symbols: the
    file in the build tree with the same build id as the imported one."""
    installed = Path(veltrix.__file__)
    wanted = build_id(installed)
    if wanted is None:
        return None
    for candidate in (Path(__file__).resolve().parents[1] / "build").rglob("veltrix*.so"):
        if build_id(candidate) == wanted:
            return candidate
    return None


@pytest.mark.skipif(not HAS_AVX2_PATH, reason="needs an x86-64 processor with AVX2")
@pytest.mark.skipif(shutil.which("objdump") is None or shutil.which("readelf") is None, reason="needs binutils")
@pytest.mark.skipif(os.environ.get("VELTRIX_NATIVE", "OFF") not in ("", "0", "OFF"),
                    reason="a build tuned for this machine uses its instructions everywhere")
def test_only_the_avx2_path_uses_avx2_instructions():
    """Code shared with the generic build must stay generic: an inline function compiled for
    AVX2 and picked by the linker for everybody would crash processors without it."""
    module = module_with_symbols()
    if module is None:
        pytest.skip("the unstripped build of the imported module was not found")
    listing = subprocess.run(["objdump", "-d", "--no-show-raw-insn", "-C", str(module)], capture_output=True,
                             text=True, timeout=120, check=True).stdout
    function, offenders, avx2_functions = None, set(), set()
    for line in listing.splitlines():
        if (header := re.match(r"^[0-9a-f]+ <(.*)>:$", line)):
            function = header.group(1)
            continue
        fields = line.split("\t")
        if function is None or len(fields) < 2 or not fields[1].split():
            continue
        if NON_GENERIC.match(fields[1].split()[0]) or "%ymm" in fields[1]:
            # The AVX2 entries, and the AVX2 copy of the search.
            if "avx2" in function:
                avx2_functions.add(function)
            else:
                offenders.add(function)
    assert not offenders
    assert any("avx2::call_legal_moves" in name for name in avx2_functions)
    assert any("FastSearch" in name for name in avx2_functions)
