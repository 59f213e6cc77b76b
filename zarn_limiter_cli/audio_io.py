"""Reading a file in blocks, in constant memory, and copying one as it is.

Blocks are (frames, channels) float32, the layout libsndfile reads and
output_writer writes and the stream limiter takes. Reading decodes the next
block in a thread while the current one is limited, into two buffers used
in turn. It only ever reads forward: some formats (GSM 6.10, G.721, NMS
ADPCM) cannot seek.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

from .interrupts import check_abandon
from .sound_file_io import open_input

Audio = NDArray[np.float32]
Advance = Callable[[int], None]
BLOCK_FRAMES = 1 << 16


def _ignore(frames: int) -> None:
    pass


def file_blocks(path: Path, advance: Advance = _ignore) -> Iterator[Audio]:
    """The file's samples from the start, block by block.

    Each block is a view of a buffer that is reused two blocks later, and
    the caller may change it in place.
    """
    with open_input(path) as source, ThreadPoolExecutor(1) as decoder:
        buffers = [np.empty((BLOCK_FRAMES, source.channels), dtype=np.float32) for _ in "ab"]
        # A read into a buffer asks for its length, never for the file's: no seek.
        upcoming = decoder.submit(source.read, out=buffers[0])
        for turn in itertools.count(1):
            check_abandon()
            block = upcoming.result()
            if block.shape[0] == 0:
                return
            # The other buffer's block was handed out before this one: it is done with.
            upcoming = decoder.submit(source.read, out=buffers[turn % 2])
            advance(block.shape[0])
            yield block


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
