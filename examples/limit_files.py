"""Limit audio files to a ceiling with zarn_limiter.

Reads each file with soundfile (WAV, FLAC, AIFF, OGG and the other formats
of libsndfile), limits it, and writes it in the same format, subtype, sample
rate and channel count, next to the input or into --output-dir. For each
file it prints the peak before and after and the largest gain reduction.

With no input file it limits a built-in test signal and writes
limited_demo.wav, so it can be tried with nothing at hand:

    python3 examples/limit_files.py
    python3 examples/limit_files.py --ceiling -3 --plot demo.png
    python3 examples/limit_files.py --jobs 2 --output-dir out/ *.wav *.flac
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import uuid
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import soundfile as sf
from numpy.typing import NDArray
from tqdm import tqdm

import zarn_limiter

Audio = NDArray[np.float32]

DEMO_SAMPLE_RATE = 48000
DEMO_FILE_NAME = "limited_demo.wav"


@dataclass(frozen=True)
class Settings:
    """The limiter's settings, in the units the command line takes."""

    ceiling_dBFS: float
    attack_ms: float
    hold_ms: float
    release_ms: float

    def ceiling(self) -> float:
        """The ceiling as the limiter applies it: a linear amplitude in single precision."""
        return float(np.float32(10.0 ** (self.ceiling_dBFS / 20.0)))

    def limit(self, audio: Audio, sample_rate: int) -> tuple[Audio, Audio]:
        """Limit (frames, channels) audio; returns the audio and the frame gains."""
        return zarn_limiter.limit(
            audio,
            sample_rate,
            threshold_dBFS=self.ceiling_dBFS,
            attack_ms=self.attack_ms,
            hold_ms=self.hold_ms,
            release_ms=self.release_ms,
            axis=0,
        )


@dataclass(frozen=True)
class Job:
    """One file to limit: where it comes from and where the result goes."""

    source: Path
    target: Path


@dataclass
class Report:
    """What limiting one file did."""

    name: str
    target: Path
    sample_rate: int
    peak_before: float
    peak_after: float
    largest_reduction_dB: float
    ceiling_exceeded: bool
    # Kept only for the file that is plotted.
    before: Audio | None = None
    after: Audio | None = None
    frame_gains: Audio | None = None


class InputError(Exception):
    """An input that cannot be limited; nothing has been written for it."""


def dBFS(amplitude: float) -> float:
    return 20.0 * math.log10(amplitude) if amplitude > 0.0 else -math.inf


def peak(audio: Audio) -> float:
    return float(np.max(np.abs(audio))) if audio.size else 0.0


def largest_reduction_dB(frame_gains: Audio) -> float:
    """Largest gain reduction in dB: a frame gain of 0.5 is 6.02 dB."""
    if frame_gains.size == 0:
        return 0.0
    return 0.0 - dBFS(float(frame_gains.min()))  # 0.0, not -0.0, for a gain of 1


def demo_signal(sample_rate: int, seconds: float = 2.0) -> Audio:
    """A stereo chord with drum-like bursts that overshoot full scale, (frames, channels)."""
    t = np.arange(int(sample_rate * seconds)) / sample_rate
    chord = 0.4 * np.sin(2 * np.pi * 220.0 * t) + 0.3 * np.sin(2 * np.pi * 277.2 * t)
    bursts = 1.6 * np.exp(-30.0 * (t % 0.5)) * np.sin(2 * np.pi * 60.0 * t)
    left = chord + bursts
    right = 0.8 * chord + 0.9 * bursts
    return np.stack([left, right], axis=1).astype(np.float32)


@dataclass(frozen=True)
class FileFormat:
    """How a file stores its audio; the limited file is written the same way."""

    container: str
    subtype: str
    endian: str
    metadata: dict[str, str]


DEMO_FORMAT = FileFormat("WAV", "FLOAT", "FILE", {})


def write_atomically(
    target: Path, audio: Audio, sample_rate: int, file_format: FileFormat
) -> float:
    """Write audio to target through a temporary file that is renamed only on success.

    A failed or interrupted write leaves neither a partial target nor the
    temporary file behind, and an existing target stays as it was. Returns
    the peak that the written file holds: rounding to a PCM subtype or a lossy
    encoder can move it a little away from the peak of the audio given.
    """
    temporary = target.with_name(f".{target.name}.{uuid.uuid4().hex}.part")
    # Created with the usual permissions (0o666 less the umask) so the renamed
    # file is as readable as any other the user writes.
    os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    try:
        with sf.SoundFile(
            temporary,
            "w",
            samplerate=sample_rate,
            channels=audio.shape[1],
            format=file_format.container,
            subtype=file_format.subtype,
            endian=file_format.endian,
        ) as out:
            for key, value in file_format.metadata.items():
                setattr(out, key, value)
            out.write(audio)
        written, _ = sf.read(temporary, dtype="float32", always_2d=True)
        os.replace(temporary, target)
        return peak(written)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def limit_file(job: Job, settings: Settings, keep_signals: bool) -> Report:
    """Read, limit and write one file; nothing is written if any step fails."""
    try:
        with sf.SoundFile(job.source) as source:
            sample_rate: int = source.samplerate
            file_format = FileFormat(
                source.format, source.subtype, source.endian, source.copy_metadata()
            )
            before = source.read(dtype="float32", always_2d=True)
        after, frame_gains = settings.limit(before, sample_rate)
        peak_written = write_atomically(job.target, after, sample_rate, file_format)
    except (sf.SoundFileError, ValueError, OSError) as error:
        raise InputError(f"{job.source}: {error}") from error
    return Report(
        name=str(job.source),
        target=job.target,
        sample_rate=sample_rate,
        peak_before=peak(before),
        peak_after=peak_written,
        largest_reduction_dB=largest_reduction_dB(frame_gains),
        ceiling_exceeded=peak_written > settings.ceiling(),
        before=before if keep_signals else None,
        after=after if keep_signals else None,
        frame_gains=frame_gains if keep_signals else None,
    )


def limit_demo(output_dir: Path, settings: Settings) -> Report:
    """Limit the built-in test signal and write it as a 32-bit float WAV file."""
    before = demo_signal(DEMO_SAMPLE_RATE)
    after, frame_gains = settings.limit(before, DEMO_SAMPLE_RATE)
    target = output_dir / DEMO_FILE_NAME
    peak_written = write_atomically(target, after, DEMO_SAMPLE_RATE, DEMO_FORMAT)
    return Report(
        name="built-in test signal",
        target=target,
        sample_rate=DEMO_SAMPLE_RATE,
        peak_before=peak(before),
        peak_after=peak_written,
        largest_reduction_dB=largest_reduction_dB(frame_gains),
        ceiling_exceeded=peak_written > settings.ceiling(),
        before=before,
        after=after,
        frame_gains=frame_gains,
    )


def plan_jobs(
    sources: Sequence[Path], output_dir: Path | None, suffix: str, settings: Settings
) -> list[Job]:
    """Check every input and its output name before anything is written.

    Raises InputError for a file that cannot be read, settings that do not
    fit a file's sample rate, an output that would overwrite an input, and
    two inputs that would write the same output.
    """
    jobs: list[Job] = []
    targets: dict[Path, Path] = {}
    inputs = {source.resolve() for source in sources}
    for source in sources:
        if not source.is_file():
            raise InputError(f"{source}: no such file")
        try:
            info = sf.info(source)
        except (sf.SoundFileError, OSError) as error:
            raise InputError(f"{source}: cannot read this file as audio ({error})") from error
        try:
            zarn_limiter.ZarnLimiter(
                info.samplerate,
                settings.ceiling_dBFS,
                settings.attack_ms,
                settings.hold_ms,
                settings.release_ms,
            )
        except ValueError as error:
            raise InputError(f"{source}: {error}") from error
        directory = output_dir if output_dir is not None else source.parent
        target = directory / f"{source.stem}{suffix}{source.suffix}"
        resolved = target.resolve()
        if resolved in inputs:
            raise InputError(f"{source}: the output {target} would overwrite an input")
        if resolved in targets:
            raise InputError(f"{source} and {targets[resolved]} would both be written to {target}")
        targets[resolved] = source
        jobs.append(Job(source, target))
    return jobs


def run_jobs(
    jobs: Sequence[Job], settings: Settings, workers: int
) -> tuple[list[Report], list[str]]:
    """Limit the files on a pool of threads; the limiter runs without the interpreter lock.

    Returns the reports in input order and the errors of the files that failed.
    """
    reports: dict[int, Report] = {}
    errors: list[str] = []
    with ThreadPoolExecutor(max_workers=workers) as pool:
        futures: dict[Future[Report], int] = {
            pool.submit(limit_file, job, settings, index == 0): index
            for index, job in enumerate(jobs)
        }
        with tqdm(total=len(jobs), unit="file", disable=len(jobs) < 2 or None) as progress:
            for future in as_completed(futures):
                try:
                    reports[futures[future]] = future.result()
                except InputError as error:
                    errors.append(str(error))
                progress.update()
    return [reports[index] for index in sorted(reports)], errors


def describe(report: Report, settings: Settings) -> str:
    line = (
        f"{report.name}: peak {dBFS(report.peak_before):+.2f} dBFS -> "
        f"{dBFS(report.peak_after):+.2f} dBFS, largest gain reduction "
        f"{report.largest_reduction_dB:.2f} dB, written to {report.target}"
    )
    if report.ceiling_exceeded:
        excess_dB = dBFS(report.peak_after) - settings.ceiling_dBFS
        line += (
            f"\n  note: the written file peaks {excess_dB:.3g} dB above the "
            f"{settings.ceiling_dBFS:g} dBFS ceiling, from rounding to its subtype or from a "
            "lossy encoder; lower --ceiling to leave room for it"
        )
    return line


def envelope(signal: NDArray[np.floating], bins: int) -> tuple[NDArray[np.intp], Audio, Audio]:
    """Lowest and highest value of each of about `bins` stretches of a (frames, channels) signal.

    Drawing this instead of every sample keeps long files quick to plot and
    still shows every peak.
    """
    frames = signal.shape[0]
    step = max(1, math.ceil(frames / bins))
    starts = np.arange(0, frames, step)
    flat = signal.reshape(frames, -1)
    lowest = np.minimum.reduceat(flat, starts, axis=0).min(axis=1)
    highest = np.maximum.reduceat(flat, starts, axis=0).max(axis=1)
    return starts, lowest.astype(np.float32), highest.astype(np.float32)


def plot(path: Path, report: Report, ceiling_dBFS: float) -> None:
    """Draw the waveform before and after limiting and the gain curve into a PNG file."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    assert report.before is not None and report.after is not None
    assert report.frame_gains is not None
    if report.before.shape[0] == 0:
        raise InputError(f"{report.name}: nothing to plot in an empty file")
    sample_rate = report.sample_rate
    ceiling = 10.0 ** (ceiling_dBFS / 20.0)
    figure, (wave_axes, gain_axes) = plt.subplots(
        2, 1, sharex=True, figsize=(10, 6), height_ratios=(2, 1), layout="constrained"
    )
    for signal, label, colour in (
        (report.before, "before", "0.7"),
        (report.after, "after", "tab:blue"),
    ):
        starts, lowest, highest = envelope(signal, 4000)
        wave_axes.fill_between(
            starts / sample_rate, lowest, highest, color=colour, label=label, linewidth=0.5
        )
    for level in (ceiling, -ceiling):
        wave_axes.axhline(level, color="tab:red", linestyle="--", linewidth=1)
    wave_axes.set_ylabel("amplitude")
    wave_axes.set_title(f"{report.name}: ceiling {ceiling_dBFS:g} dBFS (dashed)")
    wave_axes.legend(loc="upper right")

    gains = report.frame_gains[:, np.newaxis]
    starts, lowest_gain, _ = envelope(gains, 4000)
    with np.errstate(divide="ignore"):
        gain_dB = 20.0 * np.log10(lowest_gain)
    gain_axes.plot(starts / sample_rate, gain_dB, color="tab:green")
    gain_axes.set_ylabel("gain (dB)")
    gain_axes.set_xlabel("time (s)")
    gain_axes.grid(alpha=0.3)
    figure.savefig(path, dpi=100)
    plt.close(figure)


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=(
            "Limit audio files to a ceiling with zarn_limiter, keeping each file's "
            "format, subtype, sample rate and channels. With no FILE, limit a built-in "
            f"test signal and write {DEMO_FILE_NAME}."
        )
    )
    parser.add_argument("files", nargs="*", type=Path, metavar="FILE", help="audio files to limit")
    parser.add_argument(
        "--ceiling", type=float, default=-1.0, metavar="DBFS",
        help="output ceiling in dBFS, at most 0 (default: %(default)s)",
    )
    parser.add_argument(
        "--attack", type=float, default=5.0, metavar="MS",
        help="look-ahead attack time in milliseconds (default: %(default)s)",
    )
    parser.add_argument(
        "--hold", type=float, default=15.0, metavar="MS",
        help="hold time in milliseconds (default: %(default)s)",
    )
    parser.add_argument(
        "--release", type=float, default=40.0, metavar="MS",
        help="release time in milliseconds (default: %(default)s)",
    )
    parser.add_argument(
        "--output-dir", type=Path, metavar="DIR",
        help="where to write the limited files (default: next to each input; "
        "the current directory for the test signal)",
    )
    parser.add_argument(
        "--suffix", default="_limited",
        help="added to each input's name to name its output (default: %(default)s)",
    )
    parser.add_argument(
        "--jobs", type=int, default=1, metavar="N",
        help="number of files limited at the same time (default: %(default)s)",
    )
    parser.add_argument(
        "--plot", type=Path, metavar="FILE.png",
        help="draw the waveform before and after and the gain curve of the first "
        "file (or of the test signal) into this PNG file",
    )
    arguments = parser.parse_args(argv)
    if arguments.jobs < 1:
        parser.error("--jobs must be at least 1")
    return arguments


def main(argv: Sequence[str] | None = None) -> int:
    arguments = parse_arguments(argv)
    settings = Settings(arguments.ceiling, arguments.attack, arguments.hold, arguments.release)
    output_dir: Path | None = arguments.output_dir
    try:
        if output_dir is not None:
            output_dir.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        print(f"error: cannot create the output directory: {error}", file=sys.stderr)
        return 2

    if not arguments.files:
        try:
            reports = [limit_demo(output_dir or Path.cwd(), settings)]
        except (ValueError, sf.SoundFileError, OSError) as error:
            print(f"error: {error}", file=sys.stderr)
            return 2
        errors: list[str] = []
    else:
        try:
            jobs = plan_jobs(arguments.files, output_dir, arguments.suffix, settings)
        except InputError as error:
            print(f"error: {error}; nothing was written", file=sys.stderr)
            return 2
        reports, errors = run_jobs(jobs, settings, arguments.jobs)

    for report in reports:
        print(describe(report, settings))
    for message in errors:
        print(f"error: {message}; nothing was written for it", file=sys.stderr)

    if arguments.plot is not None:
        plotted = [report for report in reports if report.before is not None]
        if not plotted:
            print("error: no plot, the first file could not be limited", file=sys.stderr)
            return 1
        try:
            plot(arguments.plot, plotted[0], settings.ceiling_dBFS)
        except (InputError, OSError) as error:
            print(f"error: {error}", file=sys.stderr)
            return 1
        print(f"plot written to {arguments.plot}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
