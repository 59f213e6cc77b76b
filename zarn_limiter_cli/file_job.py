"""Limiting one file: read it, limit it, write it atomically, and say what was done.

The job runs the same way in a thread of this process and in a Dask worker,
so that both write the same bytes; it returns its result rather than
raising, so one file's failure never stops the others.
"""

from __future__ import annotations

import re
import shutil
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import soundfile as sf

from . import demo_signal
from .atomic_output import atomic_output
from .audio_io import Audio, measure_file, read_channels_first, write_channels_first
from .ceiling_search import SampleCeilingSearch
from .extras import require
from .file_format import FileFormat
from .file_result import COPIED, FAILED, LIMITED, FileResult
from .levels import amplitude, decibels, magnitude
from .limiter_settings import LimiterSettings, in_option_names
from .outline import PlotData, outline
from .progress import NoStages, Stages
from .quantisation import Encoding, sample_threshold_dBFS, written_peak
from .true_peak import TruePeakMeter

# Passes that lower the sample ceiling until the written true peak is within
# the ceiling; two or three are enough for all but odd signals.
TRUE_PEAK_PASSES = 5


@dataclass(frozen=True)
class JobSettings:
    """What every file of a run is asked for."""

    limiter: LimiterSettings
    loudness_LUFS: float | None = None
    true_peak_ceiling: bool = False
    measure_true_peak: bool = False

    @property
    def ceiling(self) -> float:
        return amplitude(self.limiter.ceiling_dBFS)


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
    except (sf.SoundFileError, OSError, ValueError) as error:
        result.status, result.error = FAILED, in_option_names(str(error))
    result.seconds = round(time.monotonic() - started, 3)
    return result


def _read(job: Job, stages: Stages) -> tuple[Audio, FileFormat]:
    if job.source is None:
        return demo_signal.demo_signal(), demo_signal.FORMAT
    stages.stage("reading", sf.info(str(job.source)).frames)
    return read_channels_first(job.source, stages.advance)


def _limit_into(job: Job, settings: JobSettings, stages: Stages, result: FileResult) -> None:
    audio, file_format = _read(job, stages)
    encoding = file_format.encoding
    result.frames, result.channels = audio.shape[1], audio.shape[0]
    result.rate, result.subtype = encoding.sample_rate, encoding.subtype
    peak = magnitude(audio)
    result.input_peak_dBFS = decibels(peak)
    # A sample that is not finite is reported, where it is, by the limiter.
    louder = np.isfinite(peak) and _bring_to_loudness(
        audio, encoding.sample_rate, settings, result
    )
    if job.source is not None and not louder and peak <= settings.ceiling:
        true_peak = _true_peak(audio) if _needs_true_peak(settings) else None
        if not settings.true_peak_ceiling or (true_peak or 0.0) <= settings.ceiling:
            _copy(job.source, job.target)
            result.status, result.output_peak_dBFS = COPIED, result.input_peak_dBFS
            result.largest_reduction_dB, result.reduced_frames_share = 0.0, 0.0
            result.output_true_peak_dBTP = None if true_peak is None else decibels(true_peak)
            if job.plot:
                unchanged = outline(audio)
                unity = outline(np.ones((1, audio.shape[1]), dtype=np.float32))
                result.plot = PlotData(job.name, encoding.sample_rate,
                                       settings.limiter.ceiling_dBFS, unchanged, unchanged, unity)
            return
    _limit_and_write(job, audio, file_format, settings, stages, result)


def _needs_true_peak(settings: JobSettings) -> bool:
    return settings.true_peak_ceiling or settings.measure_true_peak


def _true_peak(audio: Audio) -> float:
    meter = TruePeakMeter(audio.shape[0])
    meter.add(audio.T)
    return meter.finish()


def _copy(source: Path, target: Path) -> None:
    with atomic_output(target) as output:
        shutil.copyfile(source, output.path)
        output.commit()


def _bring_to_loudness(
    audio: Audio, sample_rate: int, settings: JobSettings, result: FileResult
) -> bool:
    """Scale the audio in place to the asked loudness; False when none was asked for."""
    if settings.loudness_LUFS is None:
        return False
    meter = require("pyloudnorm", "cli", "--loudness").Meter(sample_rate)
    before = _integrated_loudness(meter, audio)
    if not np.isfinite(before):
        raise ValueError("too quiet to measure its loudness, so --loudness cannot apply")
    result.loudness_before_LUFS = round(before, 2)
    # In place: a scaled copy would double the memory the file takes.
    audio *= np.float32(amplitude(settings.loudness_LUFS - before))
    return True


def _integrated_loudness(meter: Any, audio: Audio) -> float:
    try:
        return float(meter.integrated_loudness(audio.T))
    except ValueError as error:
        # The measurement gates 400 ms blocks; a shorter file has none.
        if audio.shape[1] < 0.4 * meter.rate:
            raise ValueError("too short for --loudness: the measurement needs 0.4 s") from None
        raise ValueError(f"--loudness cannot measure this file: {error}") from None


@dataclass
class _Pass:
    """One limiting and writing of a file at one sample ceiling."""

    threshold_dBFS: float
    limited: Audio
    frame_gains: Audio
    peak: float
    true_peak: float | None
    committed: bool


def _limit_and_write(
    job: Job, audio: Audio, file_format: FileFormat, settings: JobSettings,
    stages: Stages, result: FileResult,
) -> None:
    encoding = file_format.encoding
    threshold_dBFS = sample_threshold_dBFS(encoding, settings.limiter.ceiling_dBFS)
    search = SampleCeilingSearch(settings.limiter.ceiling_dBFS)
    for passes in range(1, TRUE_PEAK_PASSES + 1):
        done = _write_pass(job, audio, file_format, settings, stages, threshold_dBFS,
                           final=passes == TRUE_PEAK_PASSES)
        if done.committed:
            break
        assert done.true_peak is not None
        threshold_dBFS = sample_threshold_dBFS(
            encoding, search.next(threshold_dBFS, decibels(done.true_peak))
        )
        del done  # before the next pass allocates its own
    _record(job, audio, encoding.sample_rate, settings, done, passes, result)


def _write_pass(
    job: Job, audio: Audio, file_format: FileFormat, settings: JobSettings, stages: Stages,
    threshold_dBFS: float, final: bool,
) -> _Pass:
    """Limit at this sample ceiling and write; committed unless the true peak is over."""
    frames, encoding = audio.shape[1], file_format.encoding
    stages.stage("limiting", frames)
    try:
        limited, frame_gains = settings.limiter.limit(audio, encoding.sample_rate, threshold_dBFS)
    except ValueError as error:
        raise ValueError(_in_frames(str(error), frames)) from None
    stages.advance(frames)
    with atomic_output(job.target) as output:
        stages.stage("writing", frames)
        extremes = write_channels_first(output.path, limited, file_format, stages.advance)
        peak, true_peak = _measure_output(output.path, extremes, encoding, settings)
        over = settings.true_peak_ceiling and (true_peak or 0.0) > settings.ceiling
        if final or not over:
            output.commit()
    return _Pass(threshold_dBFS, limited, frame_gains, peak, true_peak, output.committed)


def _record(
    job: Job, audio: Audio, sample_rate: int, settings: JobSettings, done: _Pass, passes: int,
    result: FileResult,
) -> None:
    frames = audio.shape[1]
    result.status, result.sample_ceiling_dBFS = LIMITED, done.threshold_dBFS
    result.output_peak_dBFS = decibels(done.peak)
    result.output_true_peak_dBTP = None if done.true_peak is None else decibels(done.true_peak)
    result.largest_reduction_dB = 0.0 - decibels(float(done.frame_gains.min(initial=1.0)))
    result.reduced_frames_share = float(np.count_nonzero(done.frame_gains < 1.0)) / max(frames, 1)
    result.note = _note(settings, done.peak, done.true_peak, passes)
    if settings.loudness_LUFS is not None:
        meter = require("pyloudnorm", "cli", "--loudness").Meter(sample_rate)
        result.loudness_after_LUFS = round(_integrated_loudness(meter, done.limited), 2)
    if job.plot:
        result.plot = PlotData(
            job.name, sample_rate, settings.limiter.ceiling_dBFS,
            outline(audio), outline(done.limited), outline(done.frame_gains[np.newaxis, :]),
        )


def _in_frames(message: str, frames: int) -> str:
    """The library's flat index into the (channels, frames) buffer as the file's frame and channel."""
    found = re.search(r"input sample at flat index (\d+)", message)
    if found is None or frames == 0:
        return message
    channel, frame = divmod(int(found.group(1)), frames)
    return f"the sample at frame {frame}, channel {channel} (counting from 0) is not finite"


def _measure_output(
    path: Path, extremes: tuple[float, float], encoding: Encoding, settings: JobSettings
) -> tuple[float, float | None]:
    """The written file's sample peak, and its true peak when wanted."""
    wants_true_peak = _needs_true_peak(settings)
    if not encoding.predictable:
        return measure_file(path, wants_true_peak)
    peak = written_peak(encoding, *extremes)
    return peak, (measure_file(path, True)[1] if wants_true_peak else None)


def _note(settings: JobSettings, peak: float, true_peak: float | None, passes: int) -> str:
    ceiling_dBFS = settings.limiter.ceiling_dBFS
    if settings.true_peak_ceiling and true_peak is not None and true_peak > settings.ceiling:
        return (
            f"the true peak is still {decibels(true_peak) - ceiling_dBFS:.3g} dB above "
            f"the {ceiling_dBFS:g} dBTP ceiling after {passes} passes"
        )
    if peak > settings.ceiling:
        return (
            f"the written file peaks {decibels(peak) - ceiling_dBFS:.3g} dB above the "
            f"{ceiling_dBFS:g} dBFS ceiling, from its lossy encoder; lower --ceiling to "
            "leave room for it"
        )
    return ""
