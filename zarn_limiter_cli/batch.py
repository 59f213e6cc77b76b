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
from .file_result import FAILED, INTERRUPTED, KEPT, NOT_STARTED, FileResult, describe
from .inputs import Plan, check_writable_file, check_writable_folder, expand, plan_jobs
from .limiter_settings import LimiterSettings
from .options import DEMO_FILE_NAME, PROGRAM, Options
from .progress import FileBar, StageBar, shows_progress


def run_batch(options: Options) -> int:
    limiter = LimiterSettings(
        options.ceiling_dBFS, options.attack_ms, options.hold_ms, options.release_ms
    )
    plan = _plan(options, limiter)
    _check_outputs(options, plan)
    if options.dry_run:
        _list(plan, options.quiet)
        return EXIT_OK
    if options.plot is not None and plan.jobs:
        first = plan.jobs[0]
        plan.jobs[0] = Job(first.source, first.target, plot=True)
    interrupts.install()
    settings = JobSettings(
        limiter, options.loudness_LUFS, options.true_peak,
        measure_levels=options.report is not None or options.preset is not None,
        preset=options.preset,
    )
    results = _limit_all(options, plan, settings)
    return _finish(options, results, interrupts.signal_number())


def _plan(options: Options, limiter: LimiterSettings) -> Plan:
    if options.inputs:
        sources = expand(options.inputs, options.recursive, options.suffix)
        return plan_jobs(sources, limiter, options.output_dir, options.suffix, options.overwrite)
    limiter.check(DEMO_SAMPLE_RATE)
    target = (options.output_dir or Path()) / DEMO_FILE_NAME
    plan = Plan()
    (plan.jobs if options.overwrite or not target.exists() else plan.kept).append(
        Job(None, target)
    )
    return plan


def _check_outputs(options: Options, plan: Plan) -> None:
    if options.output_dir is not None:
        check_writable_folder(options.output_dir, "--output-dir")
    else:
        for folder in sorted({job.target.parent for job in plan.jobs}):
            if not folder.is_dir():
                raise UsageError(f"{folder}: the output folder does not exist")
            check_writable_folder(folder, "output folder")
    if options.report is not None:
        check_writable_file(options.report, "--report")
    if options.plot is not None:
        check_writable_file(options.plot, "--plot")


def _list(plan: Plan, quiet: bool) -> None:
    if quiet:
        return
    for job in plan.jobs:
        print(f"{job.name}: would write {job.target}")
    for job in plan.kept:
        print(f"{job.name}: would keep the existing {job.target}")


def _limit_all(options: Options, plan: Plan, settings: JobSettings) -> list[FileResult]:
    progress = shows_progress(options.quiet)
    single = len(plan.jobs) == 1 and options.dask is None
    bar = FileBar(len(plan.jobs) + len(plan.kept), progress and not single)
    stages = StageBar() if progress and single else None

    def on_result(result: FileResult) -> None:
        if stages is not None:
            stages.close()
        if result.failed:
            bar.print(f"{PROGRAM}: error: {result.input}: {result.error}", error=True)
        elif not options.quiet:
            bar.print(describe(result))
        bar.advance()

    created: list[Path] = []
    kept = [FileResult(job.name, str(job.target), KEPT) for job in plan.kept]
    for result in kept:
        on_result(result)
    try:
        if options.dask is not None:
            from .dask_runner import connect, run_on_dask

            with connect(options.dask) as client:
                _create_folders(plan, created)
                done = run_on_dask(client, plan.jobs, settings, on_result)
        else:
            from .local_runner import run_in_threads

            _create_folders(plan, created)
            done = run_in_threads(plan.jobs, settings, options.jobs, on_result, stages)
    finally:
        _remove_empty(created)
        bar.close()
        if stages is not None:
            stages.close()
    not_started = [FileResult(job.name, str(job.target), NOT_STARTED) for job in plan.jobs]
    return kept + [done.get(index, not_started[index]) for index in range(len(plan.jobs))]


def _create_folders(plan: Plan, created: list[Path]) -> None:
    """Create the output folders, only now that every check has passed; each folder
    created is added to `created`, deepest last."""
    for folder in sorted({job.target.parent for job in plan.jobs}):
        missing = [folder, *folder.parents]
        missing = [path for path in missing if not path.exists()]
        folder.mkdir(parents=True, exist_ok=True)
        created.extend(reversed(missing))


def _remove_empty(created: list[Path]) -> None:
    """Remove the folders this run created and left empty: no trace of a run that wrote nothing."""
    for folder in reversed(created):
        try:
            folder.rmdir()
        except OSError:
            pass


def _summary(results: Sequence[FileResult], signal_number: int | None) -> str:
    counts = Counter(result.status for result in results)
    parts = [f"{counts[status]} {status}"
             for status in ("limited", "copied", KEPT, INTERRUPTED, FAILED) if counts[status]]
    line = f"{len(results)} files: {', '.join(parts) or 'nothing done'}"
    if signal_number is not None:
        line += f"; stopped, {counts[NOT_STARTED]} not started"
    return line


def _finish(options: Options, results: list[FileResult], signal_number: int | None) -> int:
    status = EXIT_SOME_FAILED if any(result.failed for result in results) else EXIT_OK
    if not options.quiet and (len(results) > 1 or signal_number is not None):
        print(_summary(results, signal_number), flush=True)
    if options.report is not None:
        from .report import write_report

        write_report(options.report, results)
    plotted = [result.plot for result in results if result.plot is not None]
    if options.plot is not None and signal_number is None:
        if plotted:
            from .plot import draw

            draw(options.plot, plotted[0])
            if not options.quiet:
                print(f"plot written to {options.plot}")
        else:
            print(f"{PROGRAM}: error: --plot: the first file was not limited, nothing to plot",
                  file=sys.stderr)
            status = EXIT_SOME_FAILED
    return 128 + signal_number if signal_number is not None else status
