"""Reading a file in blocks and writing its output in blocks, in constant memory.

Blocks are (frames, channels) float32, the layout libsndfile reads and writes
and the stream limiter takes. Reading decodes the next block in a thread
while the current one is limited, into two buffers used in turn; writing
encodes a block in a thread while the next one is limited.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .channel_weights import channel_weights
from .interrupts import check_abandon
from .quantisation import Encoding
from .sound_file_io import open_input, open_output

Audio = NDArray[np.float32]
Advance = Callable[[int], None]
BLOCK_FRAMES = 1 << 16


@dataclass(frozen=True)
class FileFormat:
    """Everything about a file but its samples; its output is written the same way."""

    encoding: Encoding
    channels: int
    metadata: dict[str, str] = field(default_factory=dict)
    # Each channel's loudness weight from the file's speakers; None: by count.
    weights: tuple[float, ...] | None = None


def _ignore(frames: int) -> None:
    pass


def format_of(source: sf.SoundFile) -> FileFormat:
    encoding = Encoding(source.format, source.subtype, source.endian, source.samplerate)
    return FileFormat(encoding, source.channels, source.copy_metadata(), channel_weights(source))


def file_blocks(path: Path, advance: Advance = _ignore) -> Iterator[Audio]:
    """The file's samples from the start, block by block.

    Each block is a view of a buffer that is reused two blocks later, and
    the caller may change it in place.
    """
    with open_input(path) as source, ThreadPoolExecutor(1) as decoder:
        buffers = [np.empty((BLOCK_FRAMES, source.channels), dtype=np.float32) for _ in "ab"]
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


def write_blocks(path: Path, blocks: Iterable[Audio], file_format: FileFormat) -> None:
    """Write the blocks to `path` in the given format, with the file's tags.

    Each block is encoded in a thread while the next one is made, so a block
    must stay as it is until the next but one is asked for.
    """
    encoding = file_format.encoding
    with open_output(
        path, samplerate=encoding.sample_rate, channels=file_format.channels,
        format=encoding.container, subtype=encoding.subtype, endian=encoding.endian,
    ) as out, ThreadPoolExecutor(1) as encoder:
        for key, value in file_format.metadata.items():
            setattr(out, key, value)
        pending: Future[None] | None = None
        for block in blocks:
            if pending is not None:
                pending.result()
            pending = encoder.submit(out.write, block)
        if pending is not None:
            pending.result()


def copy_file(source: Path, target: Path, advance: Advance = _ignore) -> None:
    """Copy the bytes of `source` to `target`, stopping at once when asked to abandon."""
    with open(source, "rb") as reading, open(target, "wb") as writing:
        while chunk := reading.read(1 << 22):
            check_abandon()
            writing.write(chunk)
