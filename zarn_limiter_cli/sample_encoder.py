"""Float32 frames encoded as a file's samples by libsndfile itself.

A header-less libsndfile file of the same subtype and byte order, opened on
the output at the first sample byte, writes the very bytes a soundfile write
of the whole file would have put in its sample chunk: the scaling, rounding
and clipping are libsndfile's, not restated here.
"""

from __future__ import annotations

import io
import os
from types import TracebackType
from typing import BinaryIO

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .sample_region import SampleRegion


class _FromOffset:
    """An open file seen from `offset` on, as the header-less file that starts there.

    libsndfile calls these methods back, and an exception raised in a callback
    would be printed and lost; a failure is kept in `error` instead, and
    libsndfile sees a short write or a failed seek.
    """

    def __init__(self, file: BinaryIO, offset: int) -> None:
        self.file, self.offset = file, offset
        self.error: OSError | None = None

    def write(self, data: bytes) -> int:
        try:
            return self.file.write(data)
        except OSError as error:
            self.error = self.error or error
            return 0

    def read(self, size: int = -1) -> bytes:
        return b""  # never asked: the file is only written

    def tell(self) -> int:
        try:
            return self.file.tell() - self.offset
        except OSError as error:
            self.error = self.error or error
            return -1

    def seek(self, position: int, whence: int = os.SEEK_SET) -> int:
        try:
            if whence == os.SEEK_SET:
                position += self.offset
            return self.file.seek(position, whence) - self.offset
        except OSError as error:
            self.error = self.error or error
            return -1


class SampleWriter:
    """Writes (frames, channels) float32 blocks into `file` as the region's samples.

    The samples go to the file's position when the writer is made, one block
    after the other; `close` (or leaving the `with` block) ends the writing.
    A failure of the file (a full disk) is raised as its own OSError.
    """

    def __init__(self, file: BinaryIO, region: SampleRegion) -> None:
        self._output = _FromOffset(file, file.tell())
        self._raw = sf.SoundFile(
            self._output, "w", samplerate=region.sample_rate, channels=region.channels,
            format="RAW", subtype=region.subtype, endian=region.endian,
        )

    def write(self, block: NDArray[np.float32]) -> None:
        try:
            self._raw.write(block)
        except (sf.SoundFileError, AssertionError):
            # soundfile asserts that every frame was written
            self._raise_failure()
            raise
        self._raise_failure()

    def close(self) -> None:
        self._raw.close()
        self._raise_failure()

    def _raise_failure(self) -> None:
        error, self._output.error = self._output.error, None
        if error is not None:
            raise error

    def __enter__(self) -> SampleWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:  # the error on its way out is the one to see
            self._raw.close()


def encode_samples(block: NDArray[np.float32], region: SampleRegion) -> bytes:
    """The bytes of (frames, channels) float32 frames in the region's encoding."""
    buffer = io.BytesIO()
    with SampleWriter(buffer, region) as writer:
        writer.write(block)
    return buffer.getvalue()
