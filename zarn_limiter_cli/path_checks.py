"""Checks of the paths a run will read and write, made before any work.

A path that cannot even be looked at (a name longer than the file system
allows, a folder on the way that cannot be searched) is a UsageError that
names the option or file as the user typed it, never a traceback.
"""

from __future__ import annotations

import os
import stat
from pathlib import Path

from .errors import UsageError

# Where the system does not say: the limits of the common file systems.
DEFAULT_NAME_MAX = 255
DEFAULT_PATH_MAX = 4096


def reason(error: OSError) -> str:
    """An OSError's cause, without its number and path: 'permission denied'."""
    return (error.strerror or str(error)).lower()


def probe(path: Path, label: str) -> os.stat_result | None:
    """The status of `path`, or None where nothing is; any other failure to look at
    it is a UsageError starting with `label`."""
    try:
        return os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return None
    except OSError as error:
        raise UsageError(f"{label}: {reason(error)}") from None


def _nearest_existing(path: Path) -> Path:
    while path.parent != path:
        try:
            os.stat(path)
            return path
        except OSError:
            path = path.parent
    return path


def _limit(folder: Path, name: str, default: int) -> int:
    try:
        return os.pathconf(folder, name)
    except (OSError, ValueError, AttributeError):  # AttributeError: no pathconf on Windows
        return default


def name_limit(folder: Path) -> int:
    """The longest file name, in bytes, that `folder`'s file system holds."""
    return _limit(_nearest_existing(folder), "PC_NAME_MAX", DEFAULT_NAME_MAX)


def name_problem(path: Path) -> str | None:
    """Why `path` cannot be created for its length alone, or None."""
    existing = _nearest_existing(path)
    longest_name = _limit(existing, "PC_NAME_MAX", DEFAULT_NAME_MAX)
    for part in path.parts:
        if len(os.fsencode(part)) > longest_name:
            return (f"a name in it is {len(os.fsencode(part))} bytes long, more than the "
                    f"{longest_name} a file name can have here")
    longest_path = _limit(existing, "PC_PATH_MAX", DEFAULT_PATH_MAX)
    if len(os.fsencode(path)) >= longest_path:
        return f"it is {len(os.fsencode(path))} bytes long, more than a path can have here"
    return None


def check_writable_folder(folder: Path, option: str) -> None:
    """Refuse a folder that cannot be created or written to, naming the option it came from."""
    label = f"{option} {folder}"
    problem = name_problem(folder)
    if problem is not None:
        raise UsageError(f"{label}: {problem}")
    existing = folder
    while (status := probe(existing, label)) is None and existing.parent != existing:
        existing = existing.parent
    if status is None or not stat.S_ISDIR(status.st_mode):
        raise UsageError(f"{label}: {existing} is not a folder")
    if not os.access(existing, os.W_OK | os.X_OK):
        raise UsageError(f"{label}: cannot write in {existing} (permission denied)")


def check_writable_file(path: Path, option: str) -> None:
    """Refuse an output file whose folder is missing or not writable, or that is a folder."""
    label = f"{option} {path}"
    problem = name_problem(path)
    if problem is not None:
        raise UsageError(f"{label}: {problem}")
    status = probe(path, label)
    if status is not None and stat.S_ISDIR(status.st_mode):
        raise UsageError(f"{label}: is a folder")
    folder = path.parent
    folder_status = probe(folder, label)
    if folder_status is None or not stat.S_ISDIR(folder_status.st_mode):
        raise UsageError(f"{label}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK) or (
            status is not None and not os.access(path, os.W_OK)):
        raise UsageError(f"{label}: permission denied")
