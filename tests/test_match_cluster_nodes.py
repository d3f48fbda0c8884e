"""veltrix-match on a Ray cluster of several nodes (all on this machine): a node that dies in
the middle of a match loses no game and plays none twice. A module of its own, since a
process joins one Ray cluster at a time."""

import concurrent.futures
import importlib.util
import logging
import os

import pytest

from test_match_cluster import RAY_MISSING, gated, process_exists, schedule, wait_until
from veltrix_match import LocalExecutor


@pytest.fixture
def two_nodes():
    if importlib.util.find_spec("ray") is None:
        pytest.skip(RAY_MISSING)
    saved = {name: os.environ.get(name) for name in ("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "RAY_USAGE_STATS_ENABLED")}
    os.environ.update(RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER="0", RAY_USAGE_STATS_ENABLED="0")
    import ray
    from ray.cluster_utils import Cluster

    # A head that plays nothing, and two worker nodes of two CPUs: one task of two games each.
    cluster = Cluster(initialize_head=True, head_node_args={"num_cpus": 0, "include_dashboard": False})
    try:
        nodes = [cluster.add_node(num_cpus=2) for _ in range(2)]
        ray.init(address=cluster.address, logging_level=logging.WARNING)
        cluster.wait_for_nodes()
        yield cluster, nodes
    finally:
        ray.shutdown()
        cluster.shutdown()
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


def parent_of(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().split(")")[-1].split()[1])


def test_a_node_that_dies_mid_match_loses_no_game_and_plays_none_twice(two_nodes, tmp_path):
    from veltrix_match.cluster import RayExecutor

    cluster, nodes = two_nodes
    pids, gate = tmp_path / "pids", tmp_path / "gate"
    pids.mkdir()
    command = gated(pids, gate).split()
    match, chunks = schedule(games=16, chunk_games=4, commands=[command, command])
    executor = RayExecutor()
    with concurrent.futures.ThreadPoolExecutor(1) as driver:
        playing = driver.submit(lambda: list(executor.run(iter(chunks))))
        try:
            # A task on each node, its programs held at their first move: end one node
            # (its raylet and workers), then let every game go on.
            wait_until(lambda: len(list(pids.glob("[0-9]*[0-9]"))) >= 8 or playing.done(),
                       "a task's programs on each node")
            programs = [path.name for path in pids.glob("[0-9]*[0-9]")]
            raylets = {parent_of(int(path.read_text())) for path in pids.glob("[0-9]*[0-9]")}
            by_raylet = {node.all_processes["raylet"][0].process.pid: node for node in nodes}
            assert raylets == set(by_raylet)
            cluster.remove_node(nodes[0])
        finally:
            gate.touch()
        returned = playing.result(timeout=180)

    games = [record["game"] for _, records in returned for record in records]
    assert sorted(games) == list(range(match.total_games))
    assert executor.retried_chunks >= 1
    expected = dict(LocalExecutor().run(chunks))
    assert {chunk.index: records for chunk, records in returned} == {
        chunk.index: records for chunk, records in expected.items()}
    assert "127.0.0.1" in executor.describe()
    wait_until(lambda: not any(process_exists(int(pid)) for pid in programs), "the dead node's programs to end")
