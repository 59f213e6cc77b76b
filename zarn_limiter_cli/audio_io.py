"""Reading a file into (channels, frames) float32 and writing it back, block by block.

Channel-major audio is what the limiter takes without an extra copy, and
going through blocks keeps the memory to the samples themselves.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .file_format import FileFormat, format_of
from .interrupts import check_abandon
from .levels import magnitude
from .output_writer import write_blocks
from .true_peak import TruePeakMeter

Audio = NDArray[np.float32]
Advance = Callable[[int], None]
BLOCK_FRAMES = 1 << 16


def _ignore(frames: int) -> None:
    pass


def read_channels_first(path: Path, advance: Advance = _ignore) -> tuple[Audio, FileFormat]:
    """The file's samples as a (channels, frames) float32 array, and its format."""
    with sf.SoundFile(path) as source, ThreadPoolExecutor(1) as decoder:
        file_format = format_of(source, path)
        audio = np.empty((source.channels, max(source.frames, 0)), dtype=np.float32)
        position = 0
        # The next block is decoded while this one is copied into place.
        upcoming = decoder.submit(source.read, BLOCK_FRAMES, dtype="float32", always_2d=True)
        while True:
            check_abandon()
            block = upcoming.result()
            if block.shape[0] == 0:
                break
            upcoming = decoder.submit(source.read, BLOCK_FRAMES, dtype="float32", always_2d=True)
            end = position + block.shape[0]
            if end > audio.shape[1]:  # a compressed file's length is an estimate
                audio = _grown(audio, end)
            audio[:, position:end] = block.T
            position = end
            advance(block.shape[0])
    return audio[:, :position], file_format


def _grown(audio: Audio, frames: int) -> Audio:
    grown = np.empty((audio.shape[0], frames), dtype=np.float32)
    grown[:, :audio.shape[1]] = audio
    return grown


def write_channels_first(
    path: Path, audio: Audio, file_format: FileFormat, advance: Advance = _ignore
) -> tuple[float, float]:
    """Write (channels, frames) audio to `path` as its source is, but for the samples.

    Returns the largest and the least sample written, before the format's rounding.
    """
    extremes = _Extremes()
    write_blocks(path, _blocks(audio, extremes, advance), file_format)
    return extremes.highest, extremes.lowest


class _Extremes:
    """The largest and the least sample of the blocks seen so far."""

    def __init__(self) -> None:
        self.highest, self.lowest = 0.0, 0.0

    def add(self, block: Audio) -> None:
        self.highest = max(self.highest, float(block.max()))
        self.lowest = min(self.lowest, float(block.min()))


def _blocks(audio: Audio, extremes: _Extremes, advance: Advance) -> Iterator[Audio]:
    """(frames, channels) blocks of channel-major audio, in order."""
    for start in range(0, audio.shape[1], BLOCK_FRAMES):
        check_abandon()
        block = np.ascontiguousarray(audio[:, start:start + BLOCK_FRAMES].T)
        extremes.add(block)
        yield block
        advance(block.shape[0])


def read_forward(source: sf.SoundFile) -> Iterator[Audio]:
    """(frames, channels) blocks from the file's position to its end, without seeking:
    some formats (GSM 6.10, G.721, NMS ADPCM) read forward only."""
    while True:
        block = source.read(BLOCK_FRAMES, dtype="float32", always_2d=True)
        if block.shape[0] == 0:
            return
        yield block


def measure_file(path: Path, true_peak: bool) -> tuple[float, float | None]:
    """The sample peak of a file as it reads back, and its true peak when asked for."""
    peak = 0.0
    with sf.SoundFile(path) as written:
        meter = TruePeakMeter(written.channels) if true_peak else None
        for block in read_forward(written):
            check_abandon()
            peak = max(peak, magnitude(block))
            if meter is not None:
                meter.add(block)
    return peak, (meter.finish() if meter is not None else None)
