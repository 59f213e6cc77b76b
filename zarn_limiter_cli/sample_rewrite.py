"""A PCM or float file written again with new samples and every other byte as it was.

The bytes before and after the sample region are copied as they are (chunks
of text, markers, the channel mask, unknown chunks, padding); the samples are
encoded block by block as they arrive, so that nothing of the file is held
in memory. A peak chunk, which describes the samples, is the one exception:
it is made to describe the new ones.
"""

from __future__ import annotations

import shutil
import struct
from collections.abc import Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from pathlib import Path
from typing import BinaryIO

import numpy as np
from numpy.typing import NDArray

from .sample_encoder import sample_writer
from .sample_region import PeakChunk, SampleRegion

_COPY_BYTES = 1 << 20


class ChannelPeaks:
    """Each channel's largest magnitude and the first frame that reaches it."""

    def __init__(self, channels: int) -> None:
        self.values = np.zeros(channels, dtype=np.float32)
        self.frames = np.zeros(channels, dtype=np.int64)

    def add(self, block: NDArray[np.float32], first_frame: int) -> None:
        if block.shape[0] == 0:
            return
        magnitudes = np.abs(block).reshape(block.shape[0], -1)  # one channel may come 1-D
        where = magnitudes.argmax(axis=0)
        values = magnitudes[where, np.arange(magnitudes.shape[1])]
        # Strictly larger: an equal peak later on keeps the earlier frame.
        larger = values > self.values
        self.values[larger] = values[larger]
        self.frames[larger] = where[larger] + first_frame


def rewrite_samples(source: Path, target: Path, blocks: Iterable[NDArray[np.float32]],
                    region: SampleRegion) -> None:
    """Write `target` as `source` with its samples replaced by `blocks`.

    `blocks` are (frames, channels) float32 arrays (or 1-D for one channel),
    as soundfile writes them, that add up to exactly the region's frames; a
    ValueError says otherwise.
    """
    with open(source, "rb") as original, open(target, "wb") as output:
        _copy_range(original, output, 0, region.offset)
        peaks = ChannelPeaks(region.channels) if region.peak is not None else None
        written = 0
        # Each block is encoded in a thread while the next one is made, so a block
        # must stay as it is until the next but one is asked for.
        with sample_writer(output, region) as samples, ThreadPoolExecutor(1) as encoder:
            encoding: Future[None] | None = None
            for block in blocks:
                if written + block.shape[0] > region.frames:
                    raise ValueError(f"more than the file's {region.frames} frames to write")
                if encoding is not None:
                    encoding.result()
                encoding = encoder.submit(samples.write, block)
                if peaks is not None:
                    peaks.add(block, written)
                written += block.shape[0]
            if encoding is not None:
                encoding.result()
        if written != region.frames:
            raise ValueError(f"{written} frames to write in place of the file's {region.frames}")
        original.seek(region.offset + region.byte_length)
        shutil.copyfileobj(original, output, _COPY_BYTES)
        if peaks is not None and region.peak is not None:
            _write_peaks(output, region.peak, peaks)


def _copy_range(source: BinaryIO, target: BinaryIO, start: int, length: int) -> None:
    source.seek(start)
    while length > 0:
        chunk = source.read(min(length, _COPY_BYTES))
        if not chunk:
            raise ValueError("the file ended before its samples (was it changed while read?)")
        target.write(chunk)
        length -= len(chunk)


def _write_peaks(output: BinaryIO, chunk: PeakChunk, peaks: ChannelPeaks) -> None:
    # Only the values and frames; the chunk's version and time stamp stay.
    output.seek(chunk.entries)
    for value, frame in zip(peaks.values.tolist(), peaks.frames.tolist()):
        output.write(struct.pack(chunk.entry_format, value, frame))
