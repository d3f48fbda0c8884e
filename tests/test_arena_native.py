"""The arena core's own checks (tests/native/*.cpp), built with the sanitizers."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["tests/native/arena_core_test.cpp", "src/arena/io/pipe_io.cpp", "src/arena/match/player.cpp",
           "src/arena/io/process.cpp", "src/arena/io/watchdog.cpp", "src/arena/match/progress.cpp", "src/board/core.cpp", "src/board/dispatch.cpp",
           "src/board/text.cpp"]


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
def test_arena_core(tmp_path):
    # The interpreter's preloaded sanitizer runtimes are for the module, not for g++.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    binary = tmp_path / "arena_core_test"
    subprocess.run(["g++", "-std=c++20", "-O0", "-Wall", "-Wextra", "-Werror", "-pthread",
                    "-fsanitize=address,undefined", "-fno-sanitize-recover=undefined",
                    f"-I{ROOT / 'src'}", *(str(ROOT / s) for s in SOURCES), "-o", str(binary)],
                   check=True, env=env)
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=60,
                         env=dict(env, ASAN_OPTIONS="detect_leaks=1"))
    assert run.returncode == 0, run.stderr
    assert run.stdout == "all passed\n"


POOL_SOURCES = ["tests/native/pool_test.cpp", "src/arena/match/pool.cpp", "src/arena/match/record.cpp",
                "src/arena/match/game.cpp", "src/arena/match/player.cpp", "src/arena/match/error.cpp",
                "src/arena/match/progress.cpp", "src/arena/io/pipe_io.cpp", "src/arena/io/process.cpp", "src/arena/io/watchdog.cpp",
                "src/board/core.cpp", "src/board/dispatch.cpp", "src/board/text.cpp", "src/board/notation.cpp"]


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
@pytest.mark.parametrize("sanitizer", ["address,undefined", "thread"])
def test_game_pool(tmp_path, sanitizer):
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    binary = tmp_path / "pool_test"
    subprocess.run(["g++", "-std=c++20", "-O1", "-g", "-Wall", "-Wextra", "-Werror", "-pthread",
                    f"-fsanitize={sanitizer}", f"-I{ROOT / 'src'}", *(str(ROOT / s) for s in POOL_SOURCES),
                    "-o", str(binary)], check=True, env=env)
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=120,
                         env=dict(env, TSAN_OPTIONS="halt_on_error=1", ASAN_OPTIONS="detect_leaks=1"))
    assert run.returncode == 0, run.stderr
    assert run.stdout == "all passed\n"
