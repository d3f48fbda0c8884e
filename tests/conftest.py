"""Fixtures shared by the tests that start player programs (helpers in processes.py)."""

import os

import pytest

# Any Ray cluster a test starts stays on the loopback interface and reports to no one. Ray
# reads these when it is imported, which may happen in any test: set before all of them.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

from processes import alive, children_of


@pytest.fixture
def pid_dir(tmp_path, monkeypatch):
    """Every scripted player records its pid here; none may outlive the test, and no child of
    the test process may be left, not even as a zombie."""
    directory = tmp_path / "pids"
    directory.mkdir()
    monkeypatch.setenv("VELTRIX_TEST_PID_DIR", str(directory))
    yield directory
    assert children_of(os.getpid()) == []
    assert [pid for pid in map(int, os.listdir(directory)) if alive(pid)] == []


@pytest.fixture
def no_children_left():
    """No child of the test process is left after the test, not even as a zombie."""
    yield
    assert children_of(os.getpid()) == []
