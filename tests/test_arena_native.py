"""The arena core's own checks (tests/native/arena_core_test.cpp), built with the sanitizers."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["tests/native/arena_core_test.cpp", "src/arena/io/pipe_io.cpp", "src/arena/match/player.cpp",
           "src/arena/io/process.cpp", "src/arena/match/progress.cpp", "src/board/core.cpp", "src/board/dispatch.cpp",
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
