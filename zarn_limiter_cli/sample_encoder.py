"""Float32 frames encoded as a file's samples, byte for byte as a soundfile write of the
whole file would have put them in its sample chunk.

Integers of 16, 24 and 32 bits and floats are encoded by the project's own
coder (`zarn_limiter_stream.encode_samples`), which scales, rounds and clips
as libsndfile does, several times faster. Every other encoding is libsndfile's
own: a header-less libsndfile file of the same subtype and byte order, opened
on the output at the first sample byte.
"""

from __future__ import annotations

from types import TracebackType
from typing import BinaryIO, Protocol

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .sample_region import SAMPLE_WIDTHS, SampleRegion, SampleType
from .sound_file_io import ErrorKeepingFile


class SampleWriter(Protocol):
    """Writes (frames, channels) float32 blocks into a file as a region's samples.

    The samples go to the file's position when the writer is made, one block
    after the other; `close` (or leaving the `with` block) ends the writing.
    A failure of the file (a full disk) is raised as its own OSError.
    """

    def write(self, block: NDArray[np.float32]) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> SampleWriter: ...
    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None: ...


def sample_writer(file: BinaryIO, region: SampleRegion) -> SampleWriter:
    """The writer of the region's samples into `file`, from its position on."""
    sample_type = region.sample_type
    if sample_type is not None:
        return _CodedWriter(file, region, sample_type)
    return _LibsndfileWriter(file, region)


class _CodedWriter:
    """The project's coder, into one buffer that grows to the largest block."""

    def __init__(self, file: BinaryIO, region: SampleRegion, sample_type: SampleType) -> None:
        import zarn_limiter_stream

        self._encode = zarn_limiter_stream.encode_samples
        self._file, self._region, self._sample_type = file, region, sample_type
        self._bytes = bytearray()

    def write(self, block: NDArray[np.float32]) -> None:
        size = block.size * SAMPLE_WIDTHS[self._region.subtype]
        if len(self._bytes) < size:
            self._bytes = bytearray(size)
        stored = memoryview(self._bytes)[:size]
        self._encode(np.ascontiguousarray(block), stored, self._sample_type,
                     self._region.byteorder)
        self._file.write(stored)

    def close(self) -> None:
        pass

    def __enter__(self) -> _CodedWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        pass


class _LibsndfileWriter:
    """libsndfile's encoding, through a header-less file of the region's encoding."""

    def __init__(self, file: BinaryIO, region: SampleRegion) -> None:
        # The header-less file that starts at the first sample byte.
        self._output = ErrorKeepingFile(file, file.tell())
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

    def __enter__(self) -> _LibsndfileWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if kind is None:
            self.close()
        else:  # the error on its way out is the one to see
            self._raw.close()

