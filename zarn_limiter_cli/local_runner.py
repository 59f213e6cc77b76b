"""Limiting the files on a pool of threads of this process.

The limiter and soundfile release the interpreter lock, so threads keep
several cores busy. At most one file per thread is handed out at a time,
so that after a stop request no further file starts.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait

from .file_job import JobSettings
from .file_result import FileResult
from .interrupts import stop_requested
from .progress import Stages
from .task import Task, run_task

OnResult = Callable[[FileResult], None]
# How often the main thread looks for a stop request while files are limited.
POLL_SECONDS = 0.1


def run_in_threads(
    tasks: Sequence[Task], settings: JobSettings, workers: int, on_result: OnResult,
    stages: Stages | None = None,
) -> dict[int, FileResult]:
    """Limit the files, `workers` at a time; returns the results by task index."""
    results: dict[int, FileResult] = {}
    waiting = deque(enumerate(tasks))
    running: dict[Future[FileResult], int] = {}
    with ThreadPoolExecutor(max_workers=workers) as pool:
        while running or (waiting and not stop_requested()):
            while waiting and len(running) < workers and not stop_requested():
                index, task = waiting.popleft()
                running[pool.submit(run_task, task, settings, stages)] = index
            done, _ = wait(running, timeout=POLL_SECONDS, return_when=FIRST_COMPLETED)
            for future in done:
                index = running.pop(future)
                results[index] = future.result()
                on_result(results[index])
    return results
