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
    """An open file seen from `offset` on, as the header-less file that starts there."""

    def __init__(self, file: BinaryIO, offset: int) -> None:
        self.file, self.offset = file, offset

    def write(self, data: bytes) -> int:
        return self.file.write(data)

    def read(self, size: int = -1) -> bytes:
        return self.file.read(size)

    def tell(self) -> int:
        return self.file.tell() - self.offset

    def seek(self, position: int, whence: int = os.SEEK_SET) -> int:
        if whence == os.SEEK_SET:
            position += self.offset
        return self.file.seek(position, whence) - self.offset


class SampleWriter:
    """Writes (frames, channels) float32 blocks into `file` as the region's samples.

    The samples go to the file's position when the writer is made, one block
    after the other; `close` (or leaving the `with` block) ends the writing.
    """

    def __init__(self, file: BinaryIO, region: SampleRegion) -> None:
        self._raw = sf.SoundFile(
            _FromOffset(file, file.tell()), "w", samplerate=region.sample_rate,
            channels=region.channels, format="RAW", subtype=region.subtype, endian=region.endian,
        )

    def write(self, block: NDArray[np.float32]) -> None:
        self._raw.write(block)

    def close(self) -> None:
        self._raw.close()

    def __enter__(self) -> SampleWriter:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()


def encode_samples(block: NDArray[np.float32], region: SampleRegion) -> bytes:
    """The bytes of (frames, channels) float32 frames in the region's encoding."""
    buffer = io.BytesIO()
    with SampleWriter(buffer, region) as writer:
        writer.write(block)
    return buffer.getvalue()
