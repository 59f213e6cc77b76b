"""From the inputs on the command line to the files to limit, all checked before any work.

Folders are expanded, every file is opened as audio, the settings are
checked at every file's sample rate, and every output name is checked
against the inputs and the other outputs.
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from pathlib import Path

import soundfile as sf

from .errors import UsageError
from .file_job import Job
from .limiter_settings import LimiterSettings
from .path_checks import name_limit, name_problem, probe, reason

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


@dataclass(frozen=True)
class Unreadable:
    """An entry of a folder input that cannot be limited: reported, and the run goes on."""

    path: Path
    reason: str


@dataclass
class Plan:
    """The files to limit, those whose existing output is kept, and the entries of
    folder inputs that cannot be read."""

    jobs: list[Job] = field(default_factory=list)
    kept: list[Job] = field(default_factory=list)
    unreadable: list[Unreadable] = field(default_factory=list)


@dataclass
class _FolderWalk:
    """The audio files below one folder input, and every entry on the way that cannot be read."""

    root: Path
    recursive: bool
    suffix: str
    sources: list[Source] = field(default_factory=list)
    unreadable: list[Unreadable] = field(default_factory=list)
    # Folders already listed, so that a link back up the tree is not followed again.
    seen: set[tuple[int, int]] = field(default_factory=set)

    def walk(self, folder: Path) -> None:
        try:
            identity = os.stat(folder)
            if (identity.st_dev, identity.st_ino) in self.seen:
                return
            with os.scandir(folder) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as error:
            self.unreadable.append(Unreadable(folder, f"cannot read this folder ({reason(error)})"))
            return
        self.seen.add((identity.st_dev, identity.st_ino))
        for entry in entries:
            if not entry.name.startswith("."):
                self._visit(folder / entry.name, entry)

    def _visit(self, path: Path, entry: os.DirEntry[str]) -> None:
        if _is_folder(entry):
            if self.recursive:
                self.walk(path)
            return
        # Outputs of an earlier run in place are not inputs of this one.
        if path.suffix.lower() not in AUDIO_SUFFIXES or (
                self.suffix and path.stem.endswith(self.suffix)):
            return
        problem = regular_file_problem(path)
        if problem is None:
            self.sources.append(Source(path, path.parent.relative_to(self.root)))
        else:
            self.unreadable.append(Unreadable(path, problem))


def _is_folder(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_dir()
    except OSError:  # a link in a loop: reported below when its name is an audio file's
        return False


def regular_file_problem(path: Path) -> str | None:
    """Why `path` cannot be read as an input file, or None: only regular files are
    inputs, since opening a pipe or a device could wait for ever."""
    try:
        mode = os.stat(path).st_mode
    except OSError as error:
        return f"cannot read this file ({reason(error)})"
    return None if stat.S_ISREG(mode) else "not a regular file"


def expand(
    inputs: tuple[Path, ...], recursive: bool, suffix: str
) -> tuple[list[Source], list[Unreadable]]:
    """The audio files named on the command line or found in its folders, and the
    entries of its folders that cannot be read."""
    sources: list[Source] = []
    unreadable: list[Unreadable] = []
    for path in inputs:
        status = probe(path, str(path))
        if status is None:
            raise UsageError(f"{path}: no such file or folder")
        if stat.S_ISDIR(status.st_mode):
            walk = _FolderWalk(path, recursive, suffix)
            walk.walk(path)
            if not walk.sources and not walk.unreadable:
                hint = "" if recursive else " (--recursive also looks in its subfolders)"
                raise UsageError(f"{path}: no audio files in this folder{hint}")
            sources.extend(walk.sources)
            unreadable.extend(walk.unreadable)
        elif not stat.S_ISREG(status.st_mode):
            raise UsageError(f"{path}: not a regular file")
        else:
            sources.append(Source(path))
    return sources, unreadable


def _check_readable(source: Path, settings: LimiterSettings, checked_rates: set[int]) -> None:
    try:
        rate = sf.info(str(source)).samplerate
    except (sf.SoundFileError, OSError, RuntimeError) as error:
        raise UsageError(f"{source}: cannot read this file as audio ({error})") from None
    if rate not in checked_rates:
        try:
            settings.check(rate)
        except UsageError as error:
            raise UsageError(f"{source}: {error}") from None
        checked_rates.add(rate)


def _check_output_name(source: Path, target: Path, suffix: str) -> None:
    size, longest = len(os.fsencode(target.name)), name_limit(target.parent)
    if size > longest:
        raise UsageError(f"--suffix {suffix!r}: the output name of {source} would be {size} "
                         f"bytes long, more than the {longest} a file name can have here")
    problem = name_problem(target)
    if problem is not None:
        raise UsageError(f"{source}: its output {target} cannot be made: {problem}")


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
        _check_output_name(source.path, target, suffix)
        resolved = target.resolve()
        if resolved in inputs:
            raise UsageError(f"{source.path}: its output {target} would overwrite an input")
        if resolved in targets:
            raise UsageError(
                f"{source.path} and {targets[resolved]} would both be written to {target}"
            )
        targets[resolved] = source.path
        job = Job(source.path, target)
        existing = probe(target, f"{source.path}: its output {target}")
        if existing is not None and stat.S_ISDIR(existing.st_mode):
            raise UsageError(f"{source.path}: its output {target} is a folder")
        (plan.jobs if overwrite or existing is None else plan.kept).append(job)
    return plan
