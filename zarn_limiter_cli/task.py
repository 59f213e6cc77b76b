"""One file's task, as every runner hands it out: the checks that must be made again
when the work starts, then the limiting.

The inputs were checked when the run was planned, but a long run gives
other programs time to change them.
"""

from __future__ import annotations

from .file_job import Job, JobSettings, limit_file
from .file_result import FAILED, FileResult
from .inputs import regular_file_problem
from .progress import Stages


def run_task(job: Job, settings: JobSettings, stages: Stages | None = None) -> FileResult:
    """Limit one file into its target; failures come back in the result."""
    # Opening a pipe or a device for reading waits for a writer, past any signal.
    problem = None if job.source is None else regular_file_problem(job.source)
    if problem is not None:
        return FileResult(job.name, str(job.target), FAILED, problem)
    return limit_file(job, settings, stages)
