"""Reading a file into (channels, frames) float32 and writing it back, block by block.

Channel-major audio is what the limiter takes without an extra copy, and
going through blocks keeps the memory to the samples themselves.
"""

from __future__ import annotations

from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .interrupts import check_abandon
from .levels import magnitude
from .quantisation import Encoding
from .sound_file_io import open_input, open_output
from .true_peak import TruePeakMeter

Audio = NDArray[np.float32]
Advance = Callable[[int], None]
BLOCK_FRAMES = 1 << 16


@dataclass(frozen=True)
class FileFormat:
    """Everything about a file but its samples; its output is written the same way."""

    encoding: Encoding
    channels: int
    metadata: dict[str, str] = field(default_factory=dict)


def _ignore(frames: int) -> None:
    pass


def read_format(path: Path) -> FileFormat:
    with open_input(path) as source:
        return _format_of(source)


def _format_of(source: sf.SoundFile) -> FileFormat:
    encoding = Encoding(source.format, source.subtype, source.endian, source.samplerate)
    return FileFormat(encoding, source.channels, source.copy_metadata())


def read_channels_first(path: Path, advance: Advance = _ignore) -> tuple[Audio, FileFormat]:
    """The file's samples as a (channels, frames) float32 array, and its format."""
    with open_input(path) as source, ThreadPoolExecutor(1) as decoder:
        file_format = _format_of(source)
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
    """Write (channels, frames) audio to `path` in the given format, with its tags.

    Returns the largest and the least sample written, before the format's rounding.
    """
    encoding = file_format.encoding
    highest, lowest = 0.0, 0.0
    with open_output(
        path, samplerate=encoding.sample_rate, channels=audio.shape[0],
        format=encoding.container, subtype=encoding.subtype, endian=encoding.endian,
    ) as out, ThreadPoolExecutor(1) as encoder:
        for key, value in file_format.metadata.items():
            setattr(out, key, value)
        # Each block is encoded while the next one is interleaved.
        encoding_block: Future[int] | None = None
        for start in range(0, audio.shape[1], BLOCK_FRAMES):
            check_abandon()
            block = np.ascontiguousarray(audio[:, start:start + BLOCK_FRAMES].T)
            highest, lowest = max(highest, float(block.max())), min(lowest, float(block.min()))
            if encoding_block is not None:
                advance(encoding_block.result())
            encoding_block = encoder.submit(_write, out, block)
        if encoding_block is not None:
            advance(encoding_block.result())
    return highest, lowest


def _write(out: sf.SoundFile, block: Audio) -> int:
    out.write(block)
    return int(block.shape[0])


def measure_file(path: Path, true_peak: bool) -> tuple[float, float | None]:
    """The sample peak of a file as it reads back, and its true peak when asked for."""
    peak = 0.0
    with sf.SoundFile(path) as written:
        meter = TruePeakMeter(written.channels) if true_peak else None
        for block in written.blocks(BLOCK_FRAMES, dtype="float32", always_2d=True):
            check_abandon()
            peak = max(peak, magnitude(block))
            if meter is not None:
                meter.add(block)
    return peak, (meter.finish() if meter is not None else None)
