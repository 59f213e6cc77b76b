"""Limiting the files on a pool of threads of this process.

The limiter and soundfile release the interpreter lock, so threads keep
several cores busy. At most one file per thread is in hand at a time, so
that after a stop request no further file starts; the files in hand see the
request themselves, between blocks.
"""

from __future__ import annotations

from collections.abc import Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait

from .file_job import JobSettings
from .file_result import FileResult
from .progress import Stages
from .scheduling import POLL_SECONDS, OnResult, run_tasks
from .task import Task, run_task


class _Threads:
    """The tasks on `pool`, one per thread of its `workers` at a time."""

    def __init__(self, pool: ThreadPoolExecutor, workers: int, settings: JobSettings,
                 stages: Stages | None) -> None:
        self._pool, self._workers = pool, workers
        self._settings, self._stages = settings, stages
        self._running: dict[Future[FileResult], int] = {}

    def room(self) -> int:
        return self._workers - len(self._running)

    def start(self, index: int, task: Task) -> None:
        future = self._pool.submit(run_task, task, self._settings, self._stages)
        self._running[future] = index

    def finished(self) -> list[tuple[int, FileResult]]:
        done, _ = wait(self._running, timeout=POLL_SECONDS, return_when=FIRST_COMPLETED)
        return [(self._running.pop(future), future.result()) for future in done]

    def goes_on(self) -> bool:
        return True


def run_in_threads(
    tasks: Sequence[Task], settings: JobSettings, workers: int, on_result: OnResult,
    stages: Stages | None = None,
) -> dict[int, FileResult]:
    """Limit the files, `workers` at a time; returns the results by task index."""
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return run_tasks(tasks, _Threads(pool, workers, settings, stages), on_result)
