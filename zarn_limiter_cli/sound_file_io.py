"""Opening sound files so that a failure of the system reaches the user as its own reason.

libsndfile reports every failed read, write or open as "System error." and
drops the reason. Inputs that cannot be opened are opened once more by
Python to get it; outputs are written through a Python file object, whose
errors are kept and raised in place of libsndfile's.
"""

from __future__ import annotations

import io
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import soundfile as sf


def open_input(path: Path) -> sf.SoundFile:
    """The input for reading; an OSError with the reason when the system refuses it."""
    try:
        return sf.SoundFile(path)
    except sf.LibsndfileError:
        # A file that Python cannot open either says why; one it can is not audio.
        with open(path, "rb"):
            pass
        raise


class _ErrorKeepingFile(io.FileIO):
    """A file whose failed writes report nothing written and keep the OSError."""

    error: OSError | None = None

    def write(self, data: Any) -> int:
        # A short write is tried again, so that its reason (a full disk, a
        # file-size limit) comes as an OSError rather than a bare short count.
        view, written = memoryview(data), 0
        try:
            while written < len(view):
                count = super().write(view[written:])
                if not count:
                    break
                written += count
        except OSError as error:
            self.error = self.error or error
        return written


@contextmanager
def open_output(path: Path, **sound_format: Any) -> Iterator[sf.SoundFile]:
    """The output for writing in this format; an OSError with the reason when a write fails."""
    with _ErrorKeepingFile(path, "w+b") as raw:
        try:
            with sf.SoundFile(raw, "w", **sound_format) as out:
                yield out
        # soundfile asserts that a write wrote everything before it checks
        # libsndfile's error, so a short write surfaces as an AssertionError.
        except (sf.LibsndfileError, AssertionError):
            if raw.error is not None:
                raise OSError(raw.error.errno, raw.error.strerror, str(path)) from None
            raise
