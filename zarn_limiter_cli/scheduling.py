"""The one loop that runs the files' tasks, whatever runs them: threads of this
process or the workers of a Dask cluster.

It hands out the tasks in order while the runner has room for them and no
stop was requested, so that after a stop no further file starts, and passes
each result on as it comes. What differs between runners is behind the
Runner protocol.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Sequence
from typing import Protocol

from .file_result import FileResult
from .interrupts import stop_requested
from .task import Task

OnResult = Callable[[FileResult], None]
# The longest a turn of the loop waits for a task to finish: how soon a stop
# request, or a runner's own deadline, is looked at.
POLL_SECONDS = 0.1


class Runner(Protocol):
    """What runs the tasks, as the loop sees it."""

    def room(self) -> int:
        """How many more tasks it can take now."""

    def start(self, index: int, task: Task) -> None:
        """Start the task that has this index."""

    def finished(self) -> list[tuple[int, FileResult]]:
        """The tasks finished since last asked, by index and result; when none has,
        it waits, up to POLL_SECONDS."""

    def goes_on(self) -> bool:
        """Called once a turn: false when the run ends at once, the tasks still in hand
        given up on."""


def run_tasks(tasks: Sequence[Task], runner: Runner, on_result: OnResult) -> dict[int, FileResult]:
    """Run the tasks until all are done, or a stop was requested and none is in hand, or
    the runner gives up; returns the results by task index."""
    results: dict[int, FileResult] = {}
    waiting = deque(enumerate(tasks))
    in_hand = 0
    while in_hand or (waiting and not stop_requested()):
        in_hand += _hand_out(waiting, runner)
        for index, result in runner.finished():
            in_hand -= 1
            results[index] = result
            on_result(result)
        if not runner.goes_on():
            break
    return results


def _hand_out(waiting: deque[tuple[int, Task]], runner: Runner) -> int:
    """Start waiting tasks while the runner has room and no stop was requested;
    returns how many were started."""
    room, started = runner.room(), 0
    while waiting and started < room and not stop_requested():
        runner.start(*waiting.popleft())
        started += 1
    return started
