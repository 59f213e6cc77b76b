"""Opening sound files so that a failure of the system reaches the user as its own reason.

libsndfile reports every failed read, write or open as "System error." and
drops the reason. Inputs that cannot be opened are opened once more by
Python to get it; outputs are written through a Python file object, whose
errors are kept and raised in place of libsndfile's.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, BinaryIO

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


class ErrorKeepingFile:
    """An open file seen from `offset` on, as libsndfile's virtual I/O sees it.

    libsndfile calls these methods back, and an exception raised in a
    callback would be printed and lost; a failure is kept in `error` instead
    (the first one), and libsndfile sees a short write or a failed seek.
    """

    def __init__(self, file: BinaryIO, offset: int = 0) -> None:
        self.file, self.offset = file, offset
        self.error: OSError | None = None

    def write(self, data: Any) -> int:
        # A short write is tried again, so that its reason (a full disk, a
        # file-size limit) comes as an OSError rather than a bare short count.
        view, written = memoryview(data), 0
        try:
            while written < len(view):
                count = self.file.write(view[written:])
                if not count:
                    break
                written += count
        except OSError as error:
            self._keep(error)
        return written

    def read(self, size: int = -1) -> bytes:
        try:
            return self.file.read(size)
        except OSError as error:
            self._keep(error)
            return b""

    def tell(self) -> int:
        try:
            return self.file.tell() - self.offset
        except OSError as error:
            self._keep(error)
            return -1

    def seek(self, position: int, whence: int = os.SEEK_SET) -> int:
        try:
            if whence == os.SEEK_SET:
                position += self.offset
            return self.file.seek(position, whence) - self.offset
        except OSError as error:
            self._keep(error)
            return -1

    def _keep(self, error: OSError) -> None:
        self.error = self.error or error


@contextmanager
def open_output(path: Path, **sound_format: Any) -> Iterator[sf.SoundFile]:
    """The output for writing in this format; an OSError with the reason when a write fails."""
    with open(path, "w+b", buffering=0) as file:
        raw = ErrorKeepingFile(file)
        try:
            with sf.SoundFile(raw, "w", **sound_format) as out:
                yield out
        # soundfile asserts that a write wrote everything before it checks
        # libsndfile's error, so a short write surfaces as an AssertionError.
        except (sf.LibsndfileError, AssertionError):
            if raw.error is not None:
                raise OSError(raw.error.errno, raw.error.strerror, str(path)) from None
            raise
