"""From the inputs on the command line to the files to limit, all checked before any work.

Folders are expanded, every file is opened as audio, the settings are
checked at every file's sample rate, and every output name is checked
against the inputs and the other outputs.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from pathlib import Path

import soundfile as sf

from .errors import UsageError
from .file_job import Job
from .limiter_settings import LimiterSettings
from .quantisation import Encoding, check_ceiling_fits

# Extensions of the formats libsndfile reads; other files in a folder are left alone.
AUDIO_SUFFIXES = frozenset({
    ".wav", ".wave", ".aif", ".aiff", ".aifc", ".flac", ".ogg", ".oga", ".opus", ".mp3",
    ".caf", ".w64", ".rf64", ".au", ".snd",
})


@dataclass(frozen=True)
class Source:
    """An input file, and the subfolder of its folder input that its output keeps."""

    path: Path
    subfolder: Path = Path()


@dataclass
class Plan:
    """The files to limit, and those whose existing output is kept."""

    jobs: list[Job] = field(default_factory=list)
    kept: list[Job] = field(default_factory=list)


def _folder_files(folder: Path, recursive: bool, suffix: str) -> Iterator[Path]:
    candidates = folder.rglob("*") if recursive else folder.glob("*")
    for path in sorted(candidates):
        hidden = any(part.startswith(".") for part in path.relative_to(folder).parts)
        # Outputs of an earlier run in place are not inputs of this one.
        if (not hidden and path.suffix.lower() in AUDIO_SUFFIXES and path.is_file()
                and not path.stem.endswith(suffix or "\0")):
            yield path


def expand(inputs: tuple[Path, ...], recursive: bool, suffix: str) -> list[Source]:
    """The audio files named on the command line or found in its folders."""
    sources: list[Source] = []
    for path in inputs:
        if path.is_dir():
            found = [Source(file, file.parent.relative_to(path))
                     for file in _folder_files(path, recursive, suffix)]
            if not found:
                hint = "" if recursive else " (--recursive also looks in its subfolders)"
                raise UsageError(f"{path}: no audio files in this folder{hint}")
            sources.extend(found)
        elif not path.exists():
            raise UsageError(f"{path}: no such file or folder")
        elif not path.is_file():
            raise UsageError(f"{path}: not a regular file")
        else:
            sources.append(Source(path))
    return sources


def _check_readable(source: Path, settings: LimiterSettings, checked_rates: set[int]) -> None:
    try:
        info = sf.info(str(source))
    except (sf.SoundFileError, OSError, RuntimeError) as error:
        raise UsageError(f"{source}: cannot read this file as audio ({error})") from None
    rate = info.samplerate
    if rate not in checked_rates:
        try:
            settings.check(rate)
        except UsageError as error:
            raise UsageError(f"{source}: {error}") from None
        checked_rates.add(rate)
    try:
        check_ceiling_fits(Encoding(info.format, info.subtype, info.endian, rate),
                           settings.ceiling_dBFS)
    except UsageError as error:
        raise UsageError(f"{source}: {error}") from None


def plan_jobs(
    sources: list[Source], settings: LimiterSettings, output_dir: Path | None, suffix: str,
    overwrite: bool,
) -> Plan:
    """Check every input and name its output; raises UsageError for the first problem."""
    plan = Plan()
    inputs = {source.path.resolve() for source in sources}
    targets: dict[Path, Path] = {}
    checked_rates: set[int] = set()
    for source in sources:
        _check_readable(source.path, settings, checked_rates)
        folder = source.path.parent if output_dir is None else output_dir / source.subfolder
        target = folder / f"{source.path.stem}{suffix}{source.path.suffix}"
        resolved = target.resolve()
        if resolved in inputs:
            raise UsageError(f"{source.path}: its output {target} would overwrite an input")
        if resolved in targets:
            raise UsageError(
                f"{source.path} and {targets[resolved]} would both be written to {target}"
            )
        targets[resolved] = source.path
        job = Job(source.path, target)
        (plan.jobs if overwrite or not target.exists() else plan.kept).append(job)
    return plan


def check_writable_folder(folder: Path, option: str) -> None:
    """Refuse a folder that cannot be created or written to, naming the option it came from."""
    existing = folder
    while not existing.exists():
        if existing.parent == existing:
            break
        existing = existing.parent
    if not existing.is_dir():
        raise UsageError(f"{option} {folder}: {existing} is not a folder")
    if not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"{option} {folder}: cannot write in {existing} (permission denied)")


def check_writable_file(path: Path, option: str) -> None:
    """Refuse an output file whose folder is missing or not writable, or that is a folder."""
    if path.is_dir():
        raise UsageError(f"{option} {path}: is a folder")
    folder = path.parent
    if not folder.is_dir():
        raise UsageError(f"{option} {path}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK) or (path.exists() and not os.access(path, os.W_OK)):
        raise UsageError(f"{option} {path}: permission denied")
