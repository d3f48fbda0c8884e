"""veltrix-match on a Ray cluster: the match's games played as Ray tasks on its workers.

``RayExecutor`` follows the executor protocol of veltrix_match.chunks. It re-cuts the
driver's chunks into tasks of a few seconds each (veltrix_match.cluster_tasks), runs each
task as one ``play_chunk`` on some worker (its programs started and reaped there), and
streams the chunks back as their games come in. A task whose worker or node dies is run
again elsewhere by Ray's own retries; games are filed by index, so none is lost and none
counts twice. ``retried_chunks`` tells how many tasks had to be run again.

A failure of the programs is not the cluster's: the StartFailure or GameFailure a task
raises reaches the driver as that error (message and attributes kept), with ``node``, the
address of the node it happened on. A StartFailure also carries ``problems``: each of the
task's two commands with what stopped it from starting when tried alone on that node
(``start_problem``; None when it started), and ``pairing``, the index of the pair of
programs. ClusterError is left for the cluster's own failures: a program or file missing on
a node, a task that failed on every try, a cluster that cannot be joined.

Ray is an optional dependency (``pip install 'veltrix[cluster]'``): importing this module
without it raises ImportError with that advice, and so does making a RayExecutor when Ray is
there but fails to import. Nothing else in veltrix imports Ray.
"""

from __future__ import annotations

import contextlib
import importlib.util
import logging
import os
import socket
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

from .chunks import Chunk, local_commands, play_chunk
from .diagnose import start_problem
from .errors import MatchError, StartFailure
from .relay import relayed_program
from .results import GameResult
from .cluster_tasks import Assembler, ChunkSizer, Task, WorkQueue, files_named, missing_files

__all__ = ["INSTALL_HINT", "ClusterError", "RayExecutor"]

INSTALL_HINT = "Ray is not installed; pip install 'veltrix[cluster]' brings it"


def _ray_is_installed() -> bool:
    try:
        return importlib.util.find_spec("ray") is not None
    except (ImportError, ValueError):  # a "ray" in sys.modules that is no module
        return False


if not _ray_is_installed():
    raise ImportError(INSTALL_HINT)

Records = list[GameResult]


class ClusterError(ValueError):
    """Games could not be played on the cluster: a program missing on a node, a task that
    failed on every try, a cluster that cannot be joined."""


@contextlib.contextmanager
def _working_directory(path: str) -> Iterator[None]:
    # Relative paths in the commands mean the same on a node that has the driver's
    # directory; a worker runs one task at a time, so changing its directory is safe.
    previous = os.getcwd()
    changed = os.path.isdir(path)
    if changed:
        os.chdir(path)
    try:
        yield
    finally:
        if changed:
            os.chdir(previous)


def _attempt_number() -> int | None:
    """Which try of its task this is (0 the first), or None when Ray does not say."""
    import ray

    core_worker = getattr(ray._private.worker.global_worker, "core_worker", None)
    attempt = getattr(core_worker, "get_current_task_attempt_number", None)
    return None if attempt is None else int(attempt())


def _start_problems(commands: Sequence[Sequence[str]]) -> list[tuple[list[str], str | None]]:
    """Each command (as the driver gave it) with what stops it from starting on this node.

    The program itself is tried, as the driver does it locally: through no --debug relay,
    and an NBoard adapter with this node's interpreter.
    """
    from .nboard import on_this_machine

    return [(list(command), start_problem(on_this_machine(relayed_program(command) or command)))
            for command in commands]


def _play_task(
    chunk: Chunk, directory: str, driver_files: list[str], play: Callable[[Chunk], Records]
) -> dict[str, Any]:
    """The Ray task: checks the programs on this node, then plays the chunk here."""
    import ray

    node: str = ray.util.get_node_ip_address()  # type: ignore[no-untyped-call]
    attempt = _attempt_number()
    with _working_directory(directory):
        missing = missing_files(local_commands(chunk.commands), driver_files)
        if missing:
            raise ClusterError(f"not found on node {node}: {', '.join(missing)}")
        started = time.monotonic()
        try:
            records = play(chunk)
        except MatchError as error:
            # Raised as it is: the driver reports it as it would a local one, with the node.
            error.node = node  # type: ignore[attr-defined]
            if isinstance(error, StartFailure):
                # Tried here: the program may start on the driver and not on this node.
                error.problems = _start_problems(chunk.commands)  # type: ignore[attr-defined]
                error.pairing = chunk.pairing  # type: ignore[attr-defined]
            raise
        except (ValueError, OSError) as error:
            raise ClusterError(f"{error} (on node {node})") from None
        seconds = time.monotonic() - started
    return {"records": records, "seconds": seconds, "attempt": attempt, "node": node}


def _reachable(address: str, timeout: float = 10.0) -> None:
    """Raises ClusterError when nothing answers at a "HOST:PORT" address.

    Ray itself keeps retrying an address where no cluster answers, for as long as it is let;
    a match should rather say so and stop. "auto" (the cluster this node belongs to) is left
    to Ray, which fails at once when there is none.
    """
    host, separator, port = address.removeprefix("ray://").rpartition(":")
    if not separator or not port.isdigit():
        return
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout=timeout).close()
    except OSError as error:
        raise ClusterError(f"cannot reach a Ray cluster at {address}: {error}") from None


def _import_ray(local: bool) -> Any:
    if local:
        # A cluster started here serves this match alone: keep it on the loopback interface
        # (nothing else can join it) and let it report nothing to anyone. Read by Ray when
        # it is imported, and inherited by the processes it starts.
        os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
        os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    try:
        import ray
    except Exception as error:
        # A broken or mismatched install fails in whatever way its code fails: the user
        # needs the same advice as when Ray is missing, not a traceback.
        raise ImportError(
            f"Ray is installed but cannot be imported ({type(error).__name__}: {error}); "
            "pip install 'veltrix[cluster]' brings a version that works"
        ) from error
    return ray


class RayExecutor:
    """Plays chunks as Ray tasks; see the module documentation.

    `address` joins a running cluster ("auto", or "HOST:PORT"); None starts a new local one
    with `num_cpus` CPUs (default: all) for this process, shut down by `close()` or at exit,
    even when RAY_ADDRESS or a cluster started with `ray start` is there to be joined.
    When Ray is already initialised in this process, that instance is used as it is. Each
    task reserves as many CPUs as it plays games at once. `target_seconds` is the time a
    task should take once the games have been measured; `max_retries` is how many times Ray
    runs a task again after its worker dies.
    """

    def __init__(
        self,
        address: str | None = None,
        *,
        num_cpus: int | None = None,
        target_seconds: float = 3.0,
        max_retries: int = 3,
        cancel_grace: float = 5.0,
        play: Callable[[Chunk], Records] = play_chunk,
    ) -> None:
        self._ray = ray = _import_ray(local=address is None)
        self._owns_ray = False
        if not ray.is_initialized():
            if address is not None:
                _reachable(address)
            try:
                if address is None:
                    # "local": Ray would otherwise join the cluster named by RAY_ADDRESS or
                    # the last one `ray start` left on this machine.
                    ray.init(address="local", num_cpus=num_cpus, include_dashboard=False,
                             logging_level=logging.WARNING)
                else:
                    ray.init(address=address, logging_level=logging.WARNING)
            except (ConnectionError, RuntimeError, ValueError) as error:
                where = f"at {address}" if address else "on this machine"
                raise ClusterError(f"cannot start or join a Ray cluster {where}: {error}") from None
            self._owns_ray = True
        # Only a dead worker or node makes Ray run a task again: an error of the programs
        # would only happen again.
        self._remote = ray.remote(max_retries=max_retries, retry_exceptions=False)(_play_task)
        self._play = play
        self._cancel_grace = cancel_grace
        #: How long the match waits for the cluster to have a live CPU again before it stops.
        self.starved_seconds = 120.0
        self._max_retries = max_retries
        self._sizer = ChunkSizer(target_seconds)
        self._in_flight: dict[Any, tuple[Task, float]] = {}
        self._cancelled = False
        self._node_cpus: tuple[float, float] = (0.0, 0.0)
        self._node_cpus_read = -1e9
        #: Tasks that had to be run again because their worker or node died (None when
        #: this Ray version does not tell a task's try).
        self.retried_chunks: int | None = 0
        #: Tasks played, and the addresses of the nodes that played them.
        self.tasks_played = 0
        self.nodes: set[str] = set()

    # The executor protocol.

    def run(self, chunks: Iterable[Chunk]) -> Iterator[tuple[Chunk, Records]]:
        """Plays every chunk; yields each with its results as its games come in."""
        ray = self._ray
        self._cancelled = False
        queue = WorkQueue(chunks)
        assembler = Assembler()
        directory = os.getcwd()
        # The arguments that name files here, by command line (the same few for every chunk).
        named: dict[tuple[tuple[str, ...], ...], list[str]] = {}
        starved_since: float | None = None
        try:
            while not self._cancelled:
                while not self._cancelled and self._room():
                    head = queue.head()
                    if head is None:
                        break
                    pairs = self._sizer.pairs(
                        head.concurrency,
                        remaining=queue.pending_pairs if queue.exhausted else None,
                        workers=self._workers(head.concurrency),
                    )
                    task = queue.take(pairs)
                    assert task is not None
                    while queue.pulled:
                        assembler.expect(queue.pulled.popleft())
                    commands = tuple(tuple(argv) for argv in task.chunk.commands)
                    if commands not in named:
                        named[commands] = files_named(task.chunk.commands)
                    cpus = min(float(task.chunk.concurrency), max(1.0, self._cluster_cpus()[1]))
                    ref = self._remote.options(num_cpus=cpus).remote(
                        task.chunk, directory, named[commands], self._play
                    )
                    self._in_flight[ref] = (task, cpus)
                if not self._in_flight:
                    break
                # A bounded wait, so Ctrl-C reaches the driver promptly.
                ready, _ = ray.wait(list(self._in_flight), num_returns=1, timeout=1.0)
                if ready or self._cluster_cpus()[0] > 0:
                    starved_since = None
                elif starved_since is None:
                    starved_since = time.monotonic()
                elif time.monotonic() - starved_since > self.starved_seconds:
                    raise ClusterError(f"no node with a CPU has been in the cluster for {self.starved_seconds:g} s")
                for ref in ready:
                    task, _cpus = self._in_flight.pop(ref)
                    result = self._result(ref, task)
                    for chunk, records in assembler.add(task, result["records"]):
                        if self._cancelled:
                            return
                        yield chunk, records
        finally:
            self._stop()

    def cancel(self) -> None:
        """Drops the chunks not started and stops the running ones (their programs reaped)."""
        self._cancelled = True
        self._stop()

    def close(self) -> None:
        """Stops whatever still runs and shuts down the cluster this executor started."""
        self.cancel()
        if self._owns_ray:
            self._owns_ray = False
            self._ray.shutdown()

    def describe(self) -> str:
        """One line for the match report: tasks, nodes, and tasks run again."""
        retried = self.retried_chunks
        again = (
            "retries not known (this Ray does not tell)" if retried is None
            else "none run again" if retried == 0
            else f"{retried} run again after their worker died"
        )
        nodes = ", ".join(sorted(self.nodes)) or "none"
        return f"Cluster: {self.tasks_played} tasks on {len(self.nodes)} node(s) ({nodes}); {again}"

    def __enter__(self) -> RayExecutor:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # Scheduling.

    def _cluster_cpus(self) -> tuple[float, float]:
        """The CPUs of the live nodes: in all, and on the largest node (read every few seconds)."""
        now = time.monotonic()
        if now - self._node_cpus_read > 5.0:
            cpus = [node["Resources"].get("CPU", 0.0) for node in self._ray.nodes() if node.get("Alive")]
            self._node_cpus = (sum(cpus), max(cpus, default=0.0))
            self._node_cpus_read = now
        return self._node_cpus

    def _workers(self, concurrency: int) -> int:
        """How many tasks of this concurrency the cluster runs at once."""
        total, largest = self._cluster_cpus()
        return max(1, int(total // max(1.0, min(float(concurrency), largest))))

    def _room(self) -> bool:
        # Every CPU busy, plus one task waiting behind them so that a worker that finishes
        # starts again at once; more would only be more to cancel on an SPRT stop.
        busy = sum(cpus for _task, cpus in self._in_flight.values())
        waiting = max((cpus for _task, cpus in self._in_flight.values()), default=0.0)
        return busy < self._cluster_cpus()[0] + waiting or not self._in_flight

    def _result(self, ref: Any, task: Task) -> dict[str, Any]:
        ray = self._ray
        games = f"games {task.games.start}-{task.games.stop - 1}"
        try:
            result: dict[str, Any] = ray.get(ref)
        except ray.exceptions.RayTaskError as error:
            cause = getattr(error, "cause", None)
            if isinstance(cause, ClusterError):
                raise ClusterError(str(cause)) from None
            if isinstance(cause, MatchError):
                # The programs failed, not the cluster: the error the arena raised, its
                # attributes (game, opening, reply; node, problems) kept by the pickling.
                if getattr(cause, "node", None) is None:
                    cause.node = getattr(error, "ip", None)  # type: ignore[attr-defined]
                raise cause from None
            raise ClusterError(f"{games} failed: {cause or error}") from None
        except ray.exceptions.RayError as error:
            raise ClusterError(
                f"{games} could not be played after {self._max_retries} retries: {type(error).__name__}"
            ) from None
        self._sizer.observe(task.pairs, task.chunk.concurrency, result["seconds"])
        self.tasks_played += 1
        self.nodes.add(result["node"])
        attempt = result["attempt"]
        if attempt is None:
            self.retried_chunks = None
        elif attempt > 0 and self.retried_chunks is not None:
            self.retried_chunks += 1
        return result

    def _stop(self) -> None:
        """Cancels every task in flight: gently (the worker's play is interrupted and reaps
        its programs), then, past the grace period, by ending the worker."""
        refs = list(self._in_flight)
        if not refs:
            return
        ray = self._ray
        pending = refs
        try:
            for ref in refs:
                ray.cancel(ref)
            deadline = time.monotonic() + self._cancel_grace
            while pending and (left := deadline - time.monotonic()) > 0:
                _ready, pending = ray.wait(pending, num_returns=len(pending), timeout=min(left, 0.5))
        finally:
            # Also when a second Ctrl-C cuts the grace period short.
            for ref in pending:
                ray.cancel(ref, force=True)
            self._in_flight.clear()
