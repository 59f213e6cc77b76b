"""Reading a file in blocks, in constant memory, and copying one as it is.

Blocks are (frames, channels) float32, the layout libsndfile reads and
output_writer writes and the stream limiter takes. Reading decodes the next
block in a thread while the current one is limited, into two buffers used
in turn. Samples that the project's own coder reads (integers of 16, 24 or
32 bits and floats in a PCM or float container) are read as bytes from
their region and decoded by it, several times faster than by libsndfile and
to the same values; any other file is read by libsndfile, only ever
forward: some formats (GSM 6.10, G.721, NMS ADPCM) cannot seek.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from .errors import FileFailure
from .interrupts import check_abandon
from .sample_region import SampleRegion, SampleType
from .sound_file_io import open_input

Audio = NDArray[np.float32]
Advance = Callable[[int], None]
BLOCK_FRAMES = 1 << 16


def _ignore(frames: int) -> None:
    pass


def file_blocks(path: Path, advance: Advance = _ignore,
                region: SampleRegion | None = None) -> Iterator[Audio]:
    """The file's samples from the start, block by block; `region` is where the file
    keeps them, if it is a PCM or float container.

    Each block is a view of a buffer that is reused two blocks later, and
    the caller may change it in place.
    """
    sample_type = None if region is None else region.sample_type
    if region is not None and sample_type is not None:
        with _RegionReader(path, region, sample_type) as reader:
            yield from _decoded_blocks(reader.read, reader.channels, advance)
    else:
        with open_input(path) as source:
            # A read into a buffer asks for its length, never for the file's: no seek.
            yield from _decoded_blocks(lambda out: source.read(out=out), source.channels, advance)


def _decoded_blocks(read: Callable[[Audio], Audio], channels: int,
                    advance: Advance) -> Iterator[Audio]:
    """The blocks that `read` puts into the buffer it is given, the next one read in a
    thread while the caller has the current one; an empty block ends them."""
    with ThreadPoolExecutor(1) as decoder:
        buffers = [np.empty((BLOCK_FRAMES, channels), dtype=np.float32) for _ in "ab"]
        upcoming = decoder.submit(read, buffers[0])
        for turn in itertools.count(1):
            check_abandon()
            block = upcoming.result()
            if block.shape[0] == 0:
                return
            # The other buffer's block was handed out before this one: it is done with.
            upcoming = decoder.submit(read, buffers[turn % 2])
            advance(block.shape[0])
            yield block


class _RegionReader:
    """The samples of a region read as bytes and decoded into the buffer each read is
    given, up to the region's last frame."""

    def __init__(self, path: Path, region: SampleRegion, sample_type: SampleType) -> None:
        import zarn_limiter_stream

        self._decode = zarn_limiter_stream.decode_samples
        self._region, self._sample_type, self.channels = region, sample_type, region.channels
        self._file = open(path, "rb", buffering=0)
        try:
            self._file.seek(region.offset)
        except BaseException:
            self._file.close()
            raise
        self._left = region.frames
        self._bytes = bytearray(BLOCK_FRAMES * region.frame_bytes)

    def read(self, out: Audio) -> Audio:
        frames = min(self._left, out.shape[0])
        stored = memoryview(self._bytes)[:frames * self._region.frame_bytes]
        filled = 0
        while filled < len(stored):
            count = self._file.readinto(stored[filled:])
            if not count:
                raise FileFailure("its samples end before the frames its header gives "
                                  "(was it changed while it was read?)")
            filled += count
        self._decode(stored, out[:frames], self._sample_type, self._region.byteorder)
        self._left -= frames
        return out[:frames]

    def __enter__(self) -> _RegionReader:
        return self

    def __exit__(self, *exception: object) -> None:
        self._file.close()


def array_blocks(audio: Audio, advance: Advance = _ignore) -> Iterator[Audio]:
    """A (frames, channels) array in blocks, each a copy the caller may change."""
    for start in range(0, audio.shape[0], BLOCK_FRAMES):
        check_abandon()
        block = audio[start:start + BLOCK_FRAMES].copy()
        advance(block.shape[0])
        yield block


def copy_file(source: Path, target: Path, advance: Advance = _ignore) -> None:
    """Copy the bytes of `source` to `target`, stopping at once when asked to abandon."""
    with open(source, "rb") as reading, open(target, "wb") as writing:
        while chunk := reading.read(1 << 22):
            check_abandon()
            writing.write(chunk)
