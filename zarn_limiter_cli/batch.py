"""One run of the command over its files, from the checks to the exit status.

Everything that can be checked is checked before the first byte is
written; then the files are limited, each result printed as it comes, and
the summary, report and plot follow, after an interrupt too.
"""

from __future__ import annotations

import sys
from collections import Counter
from collections.abc import Sequence
from pathlib import Path

from . import interrupts
from .demo_signal import SAMPLE_RATE as DEMO_SAMPLE_RATE
from .errors import EXIT_OK, EXIT_SOME_FAILED, UsageError
from .file_job import Job, JobSettings
from .file_result import FAILED, KEPT, NOT_STARTED, FileResult, describe
from .inputs import Plan, expand, plan_jobs
from .limiter_settings import LimiterSettings
from .options import DEMO_FILE_NAME, PROGRAM, Options
from .path_checks import check_writable_file, check_writable_folder, probe, reason
from .progress import FileBar, StageBar, shows_progress
from .task import Task


def run_batch(options: Options) -> int:
    limiter = LimiterSettings(
        options.ceiling_dBFS, options.attack_ms, options.hold_ms, options.release_ms
    )
    _check_named_outputs(options)
    plan = _plan(options, limiter)
    _check_output_folders(options, plan)
    if options.dry_run:
        _list(plan, options.quiet)
        return EXIT_SOME_FAILED if plan.unreadable else EXIT_OK
    if options.plot is not None and plan.jobs:
        first = plan.jobs[0]
        plan.jobs[0] = Job(first.source, first.target, plot=True)
    interrupts.install()
    settings = JobSettings(
        limiter, options.loudness_LUFS, options.true_peak,
        measure_true_peak=options.true_peak or options.report is not None,
    )
    results = _limit_all(options, plan, settings)
    return _finish(options, results, interrupts.signal_number())


def _plan(options: Options, limiter: LimiterSettings) -> Plan:
    if options.inputs:
        sources, unreadable = expand(options.inputs, options.recursive, options.suffix)
        plan = plan_jobs(sources, limiter, options.output_dir, options.suffix, options.overwrite)
        plan.unreadable = unreadable
        return plan
    limiter.check(DEMO_SAMPLE_RATE)
    target = (options.output_dir or Path()) / DEMO_FILE_NAME
    plan = Plan()
    exists = probe(target, str(target)) is not None
    (plan.jobs if options.overwrite or not exists else plan.kept).append(Job(None, target))
    return plan


def _check_named_outputs(options: Options) -> None:
    """The output paths named by options: before the inputs, whose outputs go there."""
    if options.output_dir is not None:
        check_writable_folder(options.output_dir, "--output-dir")
    if options.report is not None:
        check_writable_file(options.report, "--report")
    if options.plot is not None:
        check_writable_file(options.plot, "--plot")


def _check_output_folders(options: Options, plan: Plan) -> None:
    """Every folder an output goes to, made or not yet: before anything is written."""
    for folder in sorted({job.target.parent for job in plan.jobs}):
        if options.output_dir is None and probe(folder, str(folder)) is None:
            raise UsageError(f"{folder}: the output folder does not exist")
        check_writable_folder(folder, "output folder")


def _list(plan: Plan, quiet: bool) -> None:
    for entry in plan.unreadable:
        print(f"{PROGRAM}: error: {entry.path}: {entry.reason}", file=sys.stderr)
    if quiet:
        return
    for job in plan.jobs:
        print(f"{job.name}: would write {job.target}")
    for job in plan.kept:
        print(f"{job.name}: would keep the existing {job.target}")


def _limit_all(options: Options, plan: Plan, settings: JobSettings) -> list[FileResult]:
    progress = shows_progress(options.quiet)
    single = len(plan.jobs) == 1 and options.dask is None
    bar = FileBar(len(plan.jobs) + len(plan.kept) + len(plan.unreadable), progress and not single)
    stages = StageBar() if progress and single else None

    def on_result(result: FileResult) -> None:
        if stages is not None:
            stages.close()
        if result.failed:
            bar.print(f"{PROGRAM}: error: {result.input}: {result.error}", error=True)
        elif not options.quiet:
            bar.print(describe(result))
        bar.advance()

    # Known before any work: the entries that cannot be read, and the outputs kept.
    settled = [FileResult(str(entry.path), "", FAILED, entry.reason) for entry in plan.unreadable]
    settled += [FileResult(job.name, str(job.target), KEPT) for job in plan.kept]
    for result in settled:
        on_result(result)
    tasks = [Task(job, replace=options.overwrite) for job in plan.jobs]
    try:
        if options.dask is not None:
            from .dask_runner import run_on_dask

            done = run_on_dask(options.dask, options.dask_wait_s, tasks, settings, on_result,
                               prepare=lambda: _create_folders(plan))
        else:
            from .local_runner import run_in_threads

            _create_folders(plan)
            done = run_in_threads(tasks, settings, options.jobs, on_result, stages)
    finally:
        bar.close()
        if stages is not None:
            stages.close()
    not_started = [FileResult(job.name, str(job.target), NOT_STARTED) for job in plan.jobs]
    return settled + [done.get(index, not_started[index]) for index in range(len(plan.jobs))]


def _create_folders(plan: Plan) -> None:
    """Create the output folders: only now that every check has passed."""
    for folder in sorted({job.target.parent for job in plan.jobs}):
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as error:  # changed since the checks, or a full disk
            raise UsageError(f"{folder}: cannot create this output folder "
                             f"({reason(error)})") from None


def _summary(results: Sequence[FileResult], signal_number: int | None) -> str:
    counts = Counter(result.status for result in results)
    parts = [f"{counts[status]} {status}" for status in ("limited", "copied", KEPT, FAILED)
             if counts[status]]
    line = f"{len(results)} files: {', '.join(parts) or 'nothing done'}"
    if signal_number is not None:
        line += f"; interrupted, {counts[NOT_STARTED]} not started"
    return line


def _finish(options: Options, results: list[FileResult], signal_number: int | None) -> int:
    status = EXIT_SOME_FAILED if any(result.failed for result in results) else EXIT_OK
    if not options.quiet and (len(results) > 1 or signal_number is not None):
        print(_summary(results, signal_number), flush=True)
    if options.report is not None and not _write_report(options.report, results):
        status = EXIT_SOME_FAILED
    if options.plot is not None and signal_number is None and not _draw(options, results):
        status = EXIT_SOME_FAILED
    return 128 + signal_number if signal_number is not None else status


def _write_report(path: Path, results: list[FileResult]) -> bool:
    from .report import write_report

    try:
        write_report(path, results)
    except OSError as error:
        print(f"{PROGRAM}: error: --report {path}: cannot write it ({reason(error)})",
              file=sys.stderr)
        return False
    return True


def _draw(options: Options, results: list[FileResult]) -> bool:
    assert options.plot is not None
    plotted = [result.plot for result in results if result.plot is not None]
    if not plotted:
        print(f"{PROGRAM}: error: --plot: the first file was not limited, nothing to plot",
              file=sys.stderr)
        return False
    from .plot import draw

    try:
        draw(options.plot, plotted[0])
    except OSError as error:
        print(f"{PROGRAM}: error: --plot {options.plot}: cannot write it ({reason(error)})",
              file=sys.stderr)
        return False
    if not options.quiet:
        print(f"plot written to {options.plot}")
    return True
