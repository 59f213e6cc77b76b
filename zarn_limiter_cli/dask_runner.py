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
disk.
"""

from __future__ import annotations

import logging
import os
import re
import time
import uuid
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from importlib.util import find_spec
from pathlib import Path
from typing import Any

from .errors import UsageError
from .extras import require
from .file_job import JobSettings
from .file_result import FAILED, LIMITED, FileResult
from .interrupts import abandoned_when, ignored_by_children, stop_requested
from .local_runner import POLL_SECONDS, OnResult
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


def _result(future: Any, in_hand: _InHand) -> FileResult:
    if future.status == "finished":
        result: FileResult = future.result()
        return result
    error = future.exception()
    in_hand.why = f"its worker failed ({error!r})"
    return given_up(in_hand)


@dataclass
class _DaskRun:
    """The files on a cluster, one per worker thread at a time."""

    client: Any
    tasks: Sequence[Task]
    settings: JobSettings
    on_result: OnResult
    wait_s: float
    abandon: Any  # the distributed.Event that the tasks in hand look at
    results: dict[int, FileResult] = field(default_factory=dict)
    running: dict[Any, _InHand] = field(default_factory=dict)

    def run(self) -> list[_InHand]:
        """Run until every task is done or given up; returns those given up."""
        waiting = deque(enumerate(self.tasks))
        no_workers_since, abandon_deadline = time.monotonic(), None
        while self.running or (waiting and not stop_requested()):
            self._submit(waiting)
            if self._collect():
                continue
            now = time.monotonic()
            if stop_requested() and abandon_deadline is None:
                self.abandon.set()
                abandon_deadline = now + ABANDON_GRACE_SECONDS
            if abandon_deadline is not None and now > abandon_deadline:
                return self._give_up_all("interrupted", stopped=True)
            if self.client.nthreads():
                no_workers_since = now
            elif stop_requested():  # nothing in hand will finish
                return self._give_up_all("interrupted", stopped=True)
            elif now - no_workers_since > self.wait_s:
                return self._give_up_all(f"no worker left on the cluster for {self.wait_s:g} s")
            time.sleep(POLL_SECONDS)
        return []

    def _submit(self, waiting: deque[tuple[int, Task]]) -> None:
        slots = sum(self.client.nthreads().values())
        while waiting and len(self.running) < slots and not stop_requested():
            index, task = waiting.popleft()
            in_hand = _InHand(index, task, _identity(task.job.target))
            future = self.client.submit(run_remote_task, task, self.settings, self.abandon.name,
                                        pure=False)
            self.running[future] = in_hand

    def _collect(self) -> bool:
        done = [future for future in self.running if future.done()]
        for future in done:
            in_hand = self.running.pop(future)
            self.results[in_hand.index] = _result(future, in_hand)
            self.on_result(self.results[in_hand.index])
        return bool(done)

    def _give_up_all(self, why: str, stopped: bool = False) -> list[_InHand]:
        self.abandon.set()
        self.client.cancel(list(self.running))
        given = list(self.running.values())
        for in_hand in given:
            in_hand.why, in_hand.stopped = why, stopped
        self.running.clear()
        return given


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
        run = _DaskRun(client, tasks, settings, on_result, wait_s, abandon)
        given = run.run()
    # A local cluster is closed by now: its workers write no more.
    for in_hand in given:
        run.results[in_hand.index] = given_up(in_hand)
        on_result(run.results[in_hand.index])
    return run.results
