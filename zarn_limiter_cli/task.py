"""One file's task, as every runner hands it out: how its output may be written, the
checks that must be made again when the work starts, then the limiting.

The inputs were checked when the run was planned, but a long run gives
other programs time to change them, and to write the same outputs.
"""

from __future__ import annotations

import uuid
from dataclasses import dataclass, field
from pathlib import Path

from .atomic_output import OutputAppeared, temporary_path, writing_rules
from .errors import Interrupted
from .file_job import Job, JobSettings, limit_file
from .file_result import FAILED, INTERRUPTED, KEPT, FileResult
from .inputs import regular_file_problem
from .progress import Stages


def _new_token() -> str:
    return uuid.uuid4().hex[:16]


@dataclass(frozen=True)
class Task:
    """A job, whether its output replaces one that appears meanwhile (--overwrite),
    and the token that names its temporary files wherever it runs."""

    job: Job
    replace: bool
    token: str = field(default_factory=_new_token)

    @property
    def temporary(self) -> Path:
        return temporary_path(self.job.target, self.token)


def interrupted(job: Job) -> FileResult:
    return FileResult(job.name, str(job.target), INTERRUPTED,
                      "interrupted: abandoned on the stop signal, nothing written for it")


def run_task(task: Task, settings: JobSettings, stages: Stages | None = None) -> FileResult:
    """Limit one file into its target; failures, and the work abandoned on a stop
    request, come back in the result."""
    job = task.job
    # Opening a pipe or a device for reading waits for a writer, past any signal.
    problem = None if job.source is None else regular_file_problem(job.source)
    if problem is not None:
        return FileResult(job.name, str(job.target), FAILED, problem)
    try:
        with writing_rules(task.replace, task.token):
            return limit_file(job, settings, stages)
    except OutputAppeared:
        return FileResult(job.name, str(job.target), KEPT,
                          note="it appeared while this run wrote it")
    except Interrupted:  # its temporary file is removed by now
        return interrupted(job)
