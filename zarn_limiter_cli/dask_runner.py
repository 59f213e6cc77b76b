"""Limiting the files on a Dask distributed cluster.

Each task reads, limits and writes one file, so the files must be on
storage that the workers share, and returns the file's result. The tasks
run the same code as a local run and write the same bytes.

The stop signals reach this process only (the workers of a local cluster
ignore them): a stop is passed to the files in hand through an event on the
scheduler, and each abandons its work within a block, removing its own
temporary file, as in a local run. A file whose result never comes (its
worker died, or ignored the event too long) has its temporary file removed
here once its worker can write no more, and its output reported as found on
disk. When the cluster has no worker left for --dask-wait seconds, the files
not started fail with those in hand.
"""

from __future__ import annotations

import logging
import os
import re
import time
import uuid
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from importlib.util import find_spec
from pathlib import Path
from typing import Any

from .errors import UsageError
from .extras import require
from .file_job import JobSettings
from .file_result import FAILED, LIMITED, FileResult
from .interrupts import abandoned_when, ignored_by_children, stop_requested
from .scheduling import POLL_SECONDS, OnResult, run_tasks
from .task import Task, interrupted, run_task


@contextmanager
def connect(address: str, wait_s: float) -> Iterator[Any]:
    """A client of the scheduler at `address`, or of a local cluster started for the run,
    with at least one worker within `wait_s` seconds."""
    distributed = require("distributed", "dask", "--dask")
    if re.fullmatch(r"local(:[0-9]+)?", address):
        with _local_cluster(distributed, address) as client:
            yield client
        return
    try:
        client = distributed.Client(address, timeout="10s")
    except Exception as error:  # distributed raises a different type for each protocol
        hint = ("; ucx:// needs the distributed-ucxx package"
                if address.startswith("ucx://") and find_spec("distributed_ucxx") is None else "")
        raise UsageError(f"--dask {address}: cannot connect to the scheduler "
                         f"({_error_text(error)}){hint}") from None
    with client:
        try:
            client.wait_for_workers(1, timeout=wait_s)
        except (TimeoutError, OSError):
            raise UsageError(f"--dask {address}: no worker joined the scheduler in "
                             f"{wait_s:g} s (--dask-wait)") from None
        yield client


@contextmanager
def _local_cluster(distributed: Any, address: str) -> Iterator[Any]:
    workers = int(address.partition(":")[2] or os.cpu_count() or 1)
    with ignored_by_children():
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True,
            dashboard_address=None, silence_logs=logging.ERROR,
        )
    try:
        with distributed.Client(cluster) as client:
            yield client
    finally:
        cluster.close()


def _error_text(error: Exception) -> str:
    text = str(error).strip().splitlines()
    return f"{type(error).__name__}: {text[0]}" if text else type(error).__name__


# How long the files in hand get, once the user asks to stop, to notice it
# and remove their own temporary files before the run gives up on them.
ABANDON_GRACE_SECONDS = 5.0
# How often a file's work on a worker asks the scheduler whether to abandon it.
ABANDON_POLL_SECONDS = 0.1


class _AbandonFlag:
    """On a worker: whether the run's abandon event is set, asked at most every
    ABANDON_POLL_SECONDS, and true for good once it is."""

    def __init__(self, event_name: str) -> None:
        self._event = require("distributed", "dask", "--dask").Event(event_name)
        self._next_question = 0.0
        self._set = False

    def __call__(self) -> bool:
        now = time.monotonic()
        if not self._set and now >= self._next_question:
            self._next_question = now + ABANDON_POLL_SECONDS
            self._set = bool(self._event.is_set())
        return self._set


def run_remote_task(task: Task, settings: JobSettings, abandon_event: str) -> FileResult:
    """run_task on a worker, abandoned when the run's process asks."""
    with abandoned_when(_AbandonFlag(abandon_event)):
        return run_task(task, settings)


def _identity(path: Path) -> tuple[int, int] | None:
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_ino, status.st_mtime_ns


@dataclass
class _InHand:
    """A task handed to the cluster, what its target was before, and, once the run
    gives up on it, why."""

    index: int
    task: Task
    target_before: tuple[int, int] | None
    why: str = ""
    # Given up on because the user asked to stop, not because its worker failed.
    stopped: bool = False


def given_up(in_hand: _InHand) -> FileResult:
    """The result of a task whose own result will never come: its temporary file
    removed, and its output reported as it is on disk. Only once its worker can no
    longer write, or is told to stop."""
    job = in_hand.task.job
    in_hand.task.temporary.unlink(missing_ok=True)
    if _identity(job.target) != in_hand.target_before:
        return FileResult(job.name, str(job.target), LIMITED,
                          note=f"{in_hand.why}, after its output was written")
    if in_hand.stopped:
        return interrupted(job)
    return FileResult(job.name, str(job.target), FAILED,
                      f"{in_hand.why}; nothing was written for it")


def _not_started(task: Task, why: str) -> FileResult:
    job = task.job
    return FileResult(job.name, str(job.target), FAILED, f"{why}; not started")


def _result(future: Any, in_hand: _InHand) -> FileResult:
    if future.status == "finished":
        result: FileResult = future.result()
        return result
    error = future.exception()
    in_hand.why = f"its worker failed ({error!r})"
    return given_up(in_hand)


class _Cluster:
    """The tasks on the cluster's workers, one per worker thread at a time. It gives
    up on the tasks in hand when they do not abandon their work in time after a
    stop request, or when the cluster has no worker left for `wait_s` seconds."""

    def __init__(self, client: Any, settings: JobSettings, wait_s: float, abandon: Any) -> None:
        self._client, self._settings, self._wait_s = client, settings, wait_s
        self._abandon = abandon  # the distributed.Event that the tasks in hand look at
        self._running: dict[Any, _InHand] = {}
        self._no_workers_since = time.monotonic()
        self._abandon_by: float | None = None
        self.given: list[_InHand] = []
        # Why the run ended with tasks neither done nor asked to stop, if it did.
        self.failure = ""

    def room(self) -> int:
        threads: int = sum(self._client.nthreads().values())
        return threads - len(self._running)

    def start(self, index: int, task: Task) -> None:
        in_hand = _InHand(index, task, _identity(task.job.target))
        future = self._client.submit(run_remote_task, task, self._settings, self._abandon.name,
                                     pure=False)
        self._running[future] = in_hand

    def finished(self) -> list[tuple[int, FileResult]]:
        done = [future for future in self._running if future.done()]
        if not done:
            time.sleep(POLL_SECONDS)
        results = []
        for future in done:
            in_hand = self._running.pop(future)
            results.append((in_hand.index, _result(future, in_hand)))
        return results

    def goes_on(self) -> bool:
        now = time.monotonic()
        workers = bool(self._client.nthreads())
        if workers:
            self._no_workers_since = now
        if stop_requested():
            if self._abandoning(now, workers):
                return True
            self._give_up("interrupted", stopped=True)
            return False
        if now - self._no_workers_since > self._wait_s:
            self.failure = f"no worker left on the cluster for {self._wait_s:g} s"
            self._give_up(self.failure)
            return False
        return True

    def _abandoning(self, now: float, workers: bool) -> bool:
        """Whether the tasks in hand may still be abandoning their work: told so at the
        first stop request, they have ABANDON_GRACE_SECONDS, if a worker is left to
        run them."""
        if self._abandon_by is None:
            self._abandon.set()
            self._abandon_by = now + ABANDON_GRACE_SECONDS
        return workers and now <= self._abandon_by

    def _give_up(self, why: str, stopped: bool = False) -> None:
        self._abandon.set()
        self._client.cancel(list(self._running))
        for in_hand in self._running.values():
            in_hand.why, in_hand.stopped = why, stopped
        self.given = list(self._running.values())
        self._running.clear()


def run_on_dask(
    address: str, wait_s: float, tasks: Sequence[Task], settings: JobSettings,
    on_result: OnResult, prepare: Callable[[], None],
) -> dict[int, FileResult]:
    """Limit the files on the cluster at `address`, once connected and `prepare()`d;
    returns the results by task index."""
    distributed = require("distributed", "dask", "--dask")
    with connect(address, wait_s) as client:
        prepare()
        abandon = distributed.Event(f"zarn-limit-abandon-{uuid.uuid4().hex}", client=client)
        cluster = _Cluster(client, settings, wait_s, abandon)
        results = run_tasks(tasks, cluster, on_result)
    # A local cluster is closed by now: its workers write no more.
    for in_hand in cluster.given:
        results[in_hand.index] = given_up(in_hand)
        on_result(results[in_hand.index])
    if cluster.failure:  # the tasks not started fail for the same reason
        for index, task in enumerate(tasks):
            if index not in results:
                results[index] = _not_started(task, cluster.failure)
                on_result(results[index])
    return results
