"""The command line: every option with its unit and default, and the checks that need no file."""

from __future__ import annotations

import argparse
import importlib.metadata
import inspect
import math
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

import zarn_limiter

from .errors import UsageError

# The limiter's own defaults for the durations, so that they live in one place.
LIMITER_DEFAULTS = {
    name: parameter.default
    for name, parameter in inspect.signature(zarn_limiter.ZarnLimiter).parameters.items()
}

PROGRAM = "zarn-limit"
DEMO_FILE_NAME = "limited_demo.wav"
REPORT_SUFFIXES = (".csv", ".json")
DASK_WAIT_SECONDS = 60.0
PLOT_SUFFIXES = (".png", ".pdf", ".svg")


@dataclass(frozen=True)
class Options:
    """What the user asked for, checked as far as it can be without reading a file."""

    inputs: tuple[Path, ...]
    ceiling_dBFS: float
    attack_ms: float
    hold_ms: float
    release_ms: float
    loudness_LUFS: float | None
    true_peak: bool
    output_dir: Path | None
    suffix: str
    recursive: bool
    overwrite: bool
    dry_run: bool
    jobs: int
    dask: str | None
    dask_wait_s: float
    report: Path | None
    plot: Path | None
    quiet: bool


class _Parser(argparse.ArgumentParser):
    """argparse that reports a bad command line as a UsageError, in one line."""

    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(message)


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _seconds(text: str) -> float:
    value = _number(text)
    if value <= 0.0:
        raise argparse.ArgumentTypeError(f"must be more than 0 seconds, got {text}")
    return value


def _dask_address(text: str) -> str:
    # Anything else is the scheduler's address, as distributed.Client takes it
    # (localhost:8786, tcp://, tls://, ucx://, ...).
    if re.fullmatch(r"local(:.*)?", text) and not re.fullmatch(r"local(:[1-9][0-9]*)?", text):
        raise argparse.ArgumentTypeError(
            f"{text!r}: use local, local:N with N at least 1, or a scheduler address"
        )
    if not text:
        raise argparse.ArgumentTypeError("the scheduler address is empty")
    return text


def _path_with_suffix(suffixes: tuple[str, ...]) -> Callable[[str], Path]:
    def parse(text: str) -> Path:
        path = Path(text)
        if path.suffix.lower() not in suffixes:
            raise argparse.ArgumentTypeError(
                f"{text!r} must end in {' or '.join(suffixes)}"
            )
        return path

    return parse


def _version() -> str:
    try:
        return importlib.metadata.version("zarn-limiter")
    except importlib.metadata.PackageNotFoundError:  # run from a source tree
        return "(version unknown: not installed)"


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROGRAM,
        allow_abbrev=False,
        description=(
            "Limit audio files to a ceiling with the zarn_limiter look-ahead brick-wall "
            "limiter, keeping each file's format, subtype, sample rate, channels and tags. "
            "Each output is written next to its input as NAME_limited.EXT (or into "
            "--output-dir), through a temporary file renamed into place when complete. "
            "A file already within the ceiling is copied byte for byte. With no input, "
            f"limit a built-in test signal and write {DEMO_FILE_NAME} in the current "
            "directory (or in --output-dir)."
        ),
        epilog=(
            "Results go to stdout, one line per file; errors and progress to stderr. "
            "Ctrl-C, SIGTERM or SIGHUP lets the files in hand finish and starts no other; "
            "a second one abandons those too. No temporary file is left behind. "
            "Exit status: 0 success, 1 some files or entries of folders failed, or the "
            "results, report or plot could not be written, 2 bad usage or a cluster "
            "without workers (nothing written), "
            "128 + the signal number when interrupted (130 for Ctrl-C, 143 for SIGTERM)."
        ),
    )
    parser.add_argument(
        "--version", action="version", version=f"{PROGRAM} {_version()}",
        help="print the version of zarn-limiter and exit",
    )
    parser.add_argument(
        "inputs", nargs="*", type=Path, metavar="INPUT",
        help="audio files, and folders whose audio files are all limited (skipping "
        "hidden files and the outputs of an earlier run, whose names end in --suffix)",
    )
    _add_limiter_options(parser.add_argument_group("limiter"))
    _add_output_options(parser.add_argument_group("output"))
    _add_running_options(parser.add_argument_group("running"))
    return parser


def _add_limiter_options(limiter: argparse._ArgumentGroup) -> None:
    limiter.add_argument(
        "--ceiling", type=_number, default=-1.0, metavar="DBFS",
        help="ceiling in dBFS, at most 0; the written file's sample peak stays at or "
        "below it for PCM and float formats (default: %(default)s)",
    )
    limiter.add_argument(
        "--attack", type=_number, default=LIMITER_DEFAULTS["attack_ms"], metavar="MS",
        help="look-ahead attack time in milliseconds (default: %(default)s)",
    )
    limiter.add_argument(
        "--hold", type=_number, default=LIMITER_DEFAULTS["hold_ms"], metavar="MS",
        help="hold time in milliseconds (default: %(default)s)",
    )
    limiter.add_argument(
        "--release", type=_number, default=LIMITER_DEFAULTS["release_ms"], metavar="MS",
        help="release time constant in milliseconds (default: %(default)s)",
    )
    limiter.add_argument(
        "--loudness", type=_number, metavar="LUFS",
        help="bring each file to this integrated loudness (ITU-R BS.1770, at most 0 "
        "LUFS) before limiting; the loudness before and after is reported (default: "
        "loudness unchanged)",
    )
    limiter.add_argument(
        "--true-peak", action="store_true",
        help="make --ceiling a true-peak ceiling in dBTP: the sample ceiling is lowered "
        "until the written file's true peak (4x oversampled) is within it",
    )


def _add_output_options(output: argparse._ArgumentGroup) -> None:
    output.add_argument(
        "--output-dir", type=Path, metavar="DIR",
        help="write the results here, created if missing once the inputs pass their "
        "checks; a folder input's subfolders are kept (default: next to each input)",
    )
    output.add_argument(
        "--suffix", default="_limited", metavar="TEXT",
        help="added to each input's name to name its output (default: %(default)s)",
    )
    output.add_argument(
        "--overwrite", action="store_true",
        help="replace existing outputs (default: keep them and skip their inputs)",
    )
    output.add_argument(
        "--recursive", action="store_true",
        help="look for audio files in the subfolders of folder inputs too",
    )
    output.add_argument(
        "--dry-run", action="store_true",
        help="check the inputs and list what would be written, writing nothing",
    )
    output.add_argument(
        "--report", type=_path_with_suffix(REPORT_SUFFIXES), metavar="FILE.csv|FILE.json",
        help="write a row per file: input, output, status, error, frames, channels, "
        "rate, subtype, peaks, true peak, gain reduction, loudness, seconds; measures "
        "each output's true peak",
    )
    output.add_argument(
        "--plot", type=_path_with_suffix(PLOT_SUFFIXES), metavar="FILE.png",
        help="draw the waveform before and after and the gain of the first file into "
        "this picture (needs the 'plot' extra)",
    )
    output.add_argument(
        "--quiet", action="store_true", help="print nothing but errors",
    )


def _add_running_options(running: argparse._ArgumentGroup) -> None:
    running.add_argument(
        "--jobs", type=_count, default=1, metavar="N",
        help="files limited at the same time, in threads (default: %(default)s)",
    )
    running.add_argument(
        "--dask", type=_dask_address, metavar="ADDRESS",
        help="limit the files on a Dask cluster: a scheduler address, as "
        "distributed.Client takes it (host:port, tcp://, tls://, ucx://...), or local or "
        "local:N for N local worker processes; the files must be on storage the "
        "workers share (needs the 'dask' extra)",
    )
    running.add_argument(
        "--dask-wait", type=_seconds, default=DASK_WAIT_SECONDS, metavar="SECONDS",
        help="how long to wait for a worker when the cluster has none, at the start or "
        "later, before giving up (default: %(default)s)",
    )


def parse_options(argv: Sequence[str] | None) -> Options:
    """Parse and check the command line; raises UsageError naming the option at fault."""
    arguments = build_parser().parse_args(argv)
    if arguments.dask is not None and arguments.jobs != 1:
        raise UsageError("--jobs and --dask cannot be used together")
    if arguments.loudness is not None and arguments.loudness > 0.0:
        raise UsageError(f"--loudness must be at most 0 LUFS, got {arguments.loudness:g}")
    if "/" in arguments.suffix or "\0" in arguments.suffix:
        raise UsageError(f"--suffix must not contain '/', got {arguments.suffix!r}")
    return Options(
        inputs=tuple(arguments.inputs),
        ceiling_dBFS=arguments.ceiling,
        attack_ms=arguments.attack,
        hold_ms=arguments.hold,
        release_ms=arguments.release,
        loudness_LUFS=arguments.loudness,
        true_peak=arguments.true_peak,
        output_dir=arguments.output_dir,
        suffix=arguments.suffix,
        recursive=arguments.recursive,
        overwrite=arguments.overwrite,
        dry_run=arguments.dry_run,
        jobs=arguments.jobs,
        dask=arguments.dask,
        dask_wait_s=arguments.dask_wait,
        report=arguments.report,
        plot=arguments.plot,
        quiet=arguments.quiet,
    )
