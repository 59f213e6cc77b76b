"""Limiting one file: read, measure, limit and write it block by block, and say what was done.

The job runs the same way in a thread of this process and in a Dask worker,
so that both write the same bytes; it returns its result rather than
raising, so one file's failure never stops the others. Its memory is a few
blocks whatever the file's length: each pass reads the file again.
"""

from __future__ import annotations

import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import soundfile as sf

from . import demo_signal
from .atomic_output import PendingOutput, atomic_output
from .audio_io import Audio, array_blocks, copy_file, file_blocks
from .block_limiter import BlockLimiter
from .errors import FileFailure, cannot_read
from .file_format import format_of
from .file_result import COPIED, FAILED, LIMITED, FileResult
from .level_meter import LOWEST_METERED_RATE, Levels, LevelMeter
from .level_search import Attempt, LevelSearch, Written
from .levels import amplitude, decibels, magnitude
from .limiter_settings import LimiterSettings
from .outline import OutlineBuilder, PlotData
from .output_writer import write_blocks
from .presets import Preset
from .progress import NoStages, Stages
from .quantisation import sample_threshold_dBFS, written_peak
from .sound_file_io import open_input
from .unusable_sample import describe_unusable_sample


@dataclass(frozen=True)
class JobSettings:
    """What every file of a run is asked for."""

    limiter: LimiterSettings
    loudness_LUFS: float | None = None
    true_peak_ceiling: bool = False
    # Measure the levels before and after (for --report) even where nothing is promised.
    measure_levels: bool = False
    preset: Preset | None = None

    @property
    def ceiling(self) -> float:
        return amplitude(self.limiter.ceiling_dBFS)

    @property
    def measures_output(self) -> bool:
        return self.true_peak_ceiling or self.measure_levels or self.loudness_LUFS is not None


@dataclass(frozen=True)
class Job:
    """One file to limit, or the built-in signal when `source` is None."""

    source: Path | None
    target: Path
    plot: bool = False

    @property
    def name(self) -> str:
        return demo_signal.NAME if self.source is None else str(self.source)


def limit_file(job: Job, settings: JobSettings, stages: Stages | None = None) -> FileResult:
    """Limit one file into its target; failures come back in the result."""
    started = time.monotonic()
    result = FileResult(job.name, str(job.target))
    try:
        _limit_into(job, settings, stages or NoStages(), result)
    except MemoryError:
        result.status, result.error = FAILED, "not enough memory to limit this file"
    except OSError as error:
        result.status, result.error = FAILED, _system_failure(error, job)
    except (sf.SoundFileError, FileFailure) as error:
        result.status, result.error = FAILED, str(error)
    result.seconds = round(time.monotonic() - started, 3)
    return result


def _system_failure(error: OSError, job: Job) -> str:
    """What the system refused, in its own words, and for which file."""
    if job.source is not None and error.filename == str(job.source):
        return cannot_read(error)
    return f"cannot write {job.target}: {error.strerror or error}"


class _Source:
    """The samples of a job, block by block from the start, as often as a pass asks."""

    def __init__(self, job: Job) -> None:
        self.path = job.source
        if job.source is None:
            self._demo: Audio | None = np.ascontiguousarray(demo_signal.demo_signal().T)
            self.format, self.frames = demo_signal.FORMAT, self._demo.shape[0]
        else:
            self._demo = None
            with open_input(job.source) as source:
                self.format, self.frames = format_of(source, job.source), source.frames

    def blocks(self, stages: Stages) -> Iterator[Audio]:
        if self._demo is not None:
            return array_blocks(self._demo, stages.advance)
        assert self.path is not None
        return file_blocks(self.path, stages.advance, self.format.samples)

    def meter(self, reconstructed: bool) -> LevelMeter:
        rate = self.format.encoding.sample_rate
        if rate < LOWEST_METERED_RATE:
            raise FileFailure(f"its loudness and true peak cannot be measured at {rate} Hz "
                              f"(the meter needs {LOWEST_METERED_RATE} Hz or more)")
        return LevelMeter(rate, self.format.channels, self.format.weights, reconstructed)


def _limit_into(job: Job, settings: JobSettings, stages: Stages, result: FileResult) -> None:
    source = _Source(job)
    encoding = source.format.encoding
    result.frames, result.channels = source.frames, source.format.channels
    result.rate, result.subtype = encoding.sample_rate, encoding.subtype
    before = None
    if settings.loudness_LUFS is not None:
        before = _measure(source.blocks(stages), source.meter(False), stages, "measuring",
                          source.frames)
    ceiling_dBFS = settings.limiter.ceiling_dBFS
    search = LevelSearch(ceiling_dBFS, settings.true_peak_ceiling, settings.loudness_LUFS,
                         Attempt(_loudness_gain(before, settings), ceiling_dBFS))
    # Without a measuring pass, the first limiting pass measures the input for the report.
    input_meter = None
    if before is None and settings.measure_levels:
        input_meter = source.meter(False)
    while True:
        done = _limit_pass(job, source, settings, search, input_meter, stages)
        if input_meter is not None:
            before, input_meter = input_meter.levels(), None
        if done.status is not None:
            break
        reason = search.next(done.written)
        if reason is not None:
            raise FileFailure(reason)
    _record(settings, source, before, done, result)


def _measure(blocks: Iterator[Audio], meter: LevelMeter, stages: Stages, stage: str,
             frames: int) -> Levels:
    stages.stage(stage, frames)
    for block in blocks:
        meter.add(block)
    return meter.levels()


def _loudness_gain(before: Levels | None, settings: JobSettings) -> float:
    """The gain that brings the input to the asked loudness, before any limiting."""
    if before is None or settings.loudness_LUFS is None:
        return 0.0
    loudness = before.integrated_LUFS
    if loudness == -np.inf:
        raise FileFailure("too short or too quiet for --loudness: no 400 ms stretch of it is "
                          "above -70 LUFS")
    if not np.isfinite(loudness):
        raise FileFailure(f"its loudness cannot be measured ({loudness})")
    return settings.loudness_LUFS - loudness


@dataclass
class _Pass:
    """What one pass of limiting and writing did, and what the written file measures."""

    attempt: Attempt
    threshold_dBFS: float
    input_peak: float
    lowest_gain: float
    reduced_frames: int
    written: Written
    after: Levels | None
    status: str | None
    plot: PlotData | None


class _Outlines:
    """The outlines that the plot of the first file draws, built as the pass goes."""

    def __init__(self, frames: int) -> None:
        self.before, self.after, self.gains = (OutlineBuilder(frames) for _ in range(3))

    def plot_data(self, job: Job, source: _Source, settings: JobSettings) -> PlotData:
        return PlotData(job.name, source.format.encoding.sample_rate,
                        settings.limiter.ceiling_dBFS, self.before.outline(),
                        self.after.outline(), self.gains.outline())


def _limit_pass(
    job: Job, source: _Source, settings: JobSettings, search: LevelSearch,
    input_meter: LevelMeter | None, stages: Stages,
) -> _Pass:
    """Limit and write at the search's attempt; the output is in place if it keeps every promise."""
    attempt, file_format = search.attempt, source.format
    threshold_dBFS = sample_threshold_dBFS(file_format.encoding, attempt.sample_ceiling_dBFS)
    outlines = _Outlines(source.frames) if job.plot else None
    limiter = BlockLimiter(settings.limiter, file_format.encoding.sample_rate,
                           file_format.channels, threshold_dBFS, attempt.gain_dB,
                           None if outlines is None else outlines.gains)
    with atomic_output(job.target) as output:
        made = _PassBlocks(source, limiter, input_meter, outlines)
        stages.stage("limiting", source.frames)
        write_blocks(output.path, made.blocks(stages), file_format)
        written, after = _measure_written(output.path, (made.highest, made.lowest), source,
                                          settings, stages)
        status = None
        if search.accepts(written):
            # Nothing was reduced and no gain applied: the input is the better copy.
            unchanged = (job.source is not None and attempt.gain_dB == 0.0
                         and limiter.lowest_gain == 1.0)
            status = _commit(job, output, unchanged, stages)
    return _Pass(attempt, threshold_dBFS, made.input_peak, limiter.lowest_gain,
                 limiter.reduced_frames, written, after, status,
                 None if outlines is None else outlines.plot_data(job, source, settings))


class _PassBlocks:
    """The limited blocks of one pass, made as the writer asks for them, and what was
    seen on the way: the input's sample peak, and the largest and least sample written
    before the format's rounding."""

    def __init__(self, source: _Source, limiter: BlockLimiter, input_meter: LevelMeter | None,
                 outlines: _Outlines | None) -> None:
        self._source, self._limiter = source, limiter
        self._input_meter, self._outlines = input_meter, outlines
        self.input_peak, self.highest, self.lowest = 0.0, 0.0, 0.0

    def blocks(self, stages: Stages) -> Iterator[Audio]:
        """Each block stays as it is until the next but one is asked for.

        The input meter takes each block in a thread of its own while the
        limiter works on it (the input is metered only in a pass without gain,
        which alone changes a block in place), and is done with it before the
        next block is read into a buffer.
        """
        with ThreadPoolExecutor(1) as metering:
            for block in self._source.blocks(stages):
                measured = None
                if self._input_meter is not None:
                    measured = metering.submit(self._input_meter.add, block)
                self.input_peak = max(self.input_peak, magnitude(block))
                if self._outlines is not None:
                    self._outlines.before.add(block)
                yield self._written(_limited(self._limiter, block, self._source))
                if measured is not None:
                    measured.result()
        yield self._written(self._limiter.flush())

    def _written(self, limited: Audio) -> Audio:
        if limited.shape[0]:
            self.highest = max(self.highest, float(limited.max()))
            self.lowest = min(self.lowest, float(limited.min()))
        if self._outlines is not None:
            self._outlines.after.add(limited)
        return limited


def _limited(limiter: BlockLimiter, block: Audio, source: _Source) -> Audio:
    try:
        return limiter.process(block)
    except ValueError as error:
        frame, channel = getattr(error, "frame", None), getattr(error, "channel", None)
        if frame is None or channel is None:
            raise
        raise FileFailure(describe_unusable_sample(source.path, frame, channel)) from None


def _measure_written(
    path: Path, extremes: tuple[float, float], source: _Source, settings: JobSettings,
    stages: Stages,
) -> tuple[Written, Levels | None]:
    """The levels of the file as written: read back where they cannot be known otherwise."""
    encoding = source.format.encoding
    after = None
    if settings.measures_output or not encoding.predictable:
        meter = source.meter(settings.true_peak_ceiling)
        # A rewritten file keeps its samples where its source did.
        blocks = file_blocks(path, stages.advance, source.format.samples)
        after = _measure(blocks, meter, stages, "checking", source.frames)
        sample_peak_dBFS = after.sample_peak_dBFS
    else:
        sample_peak_dBFS = decibels(written_peak(encoding, *extremes))
    written = Written(
        None if after is None else after.integrated_LUFS,
        after.highest_peak_dB if after is not None and settings.true_peak_ceiling else -np.inf,
        sample_peak_dBFS,
    )
    return written, after


def _commit(job: Job, output: PendingOutput, unchanged: bool, stages: Stages) -> str:
    """Put the output in place: the input's own bytes where limiting changed nothing."""
    if unchanged:
        assert job.source is not None
        stages.stage("copying", 0)
        copy_file(job.source, output.path)
    output.commit()
    return COPIED if unchanged else LIMITED


def _record(settings: JobSettings, source: _Source, before: Levels | None, done: _Pass,
            result: FileResult) -> None:
    """The result of the pass that was kept, in the report's terms."""
    result.status, result.sample_ceiling_dBFS = done.status or FAILED, done.threshold_dBFS
    result.input_peak_dBFS = decibels(done.input_peak)
    result.output_peak_dBFS = done.written.sample_peak_dBFS
    result.largest_reduction_dB = 0.0 - decibels(done.lowest_gain)
    result.reduced_frames_share = done.reduced_frames / max(source.frames, 1)
    if done.status == COPIED:
        result.output_peak_dBFS = result.input_peak_dBFS
        result.largest_reduction_dB, result.reduced_frames_share = 0.0, 0.0
    if before is not None:
        result.loudness_before_LUFS = round(before.integrated_LUFS, 2)
        result.loudness_range_before_LU = round(before.loudness_range_LU, 2)
        result.momentary_max_before_LUFS = round(before.momentary_max_LUFS, 2)
        result.short_term_max_before_LUFS = round(before.short_term_max_LUFS, 2)
    if done.after is not None:
        _record_after(settings, done.after, result)
    result.plot = done.plot
    result.note = _note(settings, done.written)


def _record_after(settings: JobSettings, after: Levels, result: FileResult) -> None:
    result.output_true_peak_dBTP = after.true_peak_dBTP
    result.output_reconstructed_peak_dBFS = after.reconstructed_peak_dBFS
    if settings.loudness_LUFS is not None or settings.measure_levels:
        result.loudness_after_LUFS = round(after.integrated_LUFS, 2)
        result.loudness_range_after_LU = round(after.loudness_range_LU, 2)
        result.momentary_max_after_LUFS = round(after.momentary_max_LUFS, 2)
        result.short_term_max_after_LUFS = round(after.short_term_max_LUFS, 2)
    if settings.preset is not None:
        result.preset = settings.preset.name
        result.preset_check = settings.preset.verdict(after.integrated_LUFS, after.true_peak_dBTP)


def _note(settings: JobSettings, written: Written) -> str:
    ceiling_dBFS = settings.limiter.ceiling_dBFS
    if not settings.true_peak_ceiling and written.sample_peak_dBFS > ceiling_dBFS:
        return (
            f"the written file peaks {written.sample_peak_dBFS - ceiling_dBFS:.3g} dB above "
            f"the {ceiling_dBFS:g} dBFS ceiling, from its lossy encoder; lower --ceiling or "
            "use --true-peak, which measures the decoded file"
        )
    return ""
