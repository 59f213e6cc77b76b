"""Limiting the files on a Dask distributed cluster.

Each task reads, limits and writes one file, so the files must be on
storage that the workers share, and returns the file's result. The tasks
run the same code as a local run and write the same bytes.
"""

from __future__ import annotations

import logging
import os
import re
import time
from collections import deque
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from importlib.util import find_spec
from typing import Any

from .errors import UsageError
from .extras import require
from .file_job import Job, JobSettings
from .file_result import FAILED, FileResult
from .interrupts import ignored_by_children, stop_requested
from .local_runner import POLL_SECONDS, OnResult, interrupted
from .task import Task, run_task


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


def _result(future: Any, job: Job) -> FileResult:
    if future.status == "finished":
        result: FileResult = future.result()
        return result
    error = future.exception()
    return FileResult(job.name, str(job.target), FAILED, f"the worker failed: {error!r}")


def run_on_dask(
    client: Any, tasks: Sequence[Task], settings: JobSettings, on_result: OnResult
) -> dict[int, FileResult]:
    """Limit the files on the client's cluster, one per worker thread at a time."""
    results: dict[int, FileResult] = {}
    waiting = deque(enumerate(tasks))
    slots = max(1, sum(client.nthreads().values()))
    running: dict[Any, int] = {}
    while running or (waiting and not stop_requested()):
        while waiting and len(running) < slots and not stop_requested():
            index, task = waiting.popleft()
            running[client.submit(run_task, task, settings, pure=False)] = index
        done = [future for future in running if future.done()]
        if not done and stop_requested() and not client.nthreads():
            break  # the workers are gone too: nothing in hand will finish
        if not done:
            time.sleep(POLL_SECONDS)
        for future in done:
            index = running.pop(future)
            results[index] = _result(future, tasks[index].job)
            on_result(results[index])
    for index in running.values():
        results[index] = interrupted(tasks[index].job)
        on_result(results[index])
    return results
