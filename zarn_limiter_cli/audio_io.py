"""Reading a file into (channels, frames) float32 and writing it back, block by block.

Channel-major audio is what the limiter takes without an extra copy, and
going through blocks keeps the memory to the samples themselves.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .atomic_output import TEMPORARY_SUFFIX
from .chunk_splice import can_splice, splice_encoded
from .interrupts import check_abandon
from .levels import magnitude
from .quantisation import Encoding
from .sample_region import SampleRegion, locate_samples
from .sample_rewrite import rewrite_samples
from .tags import copy_tags
from .true_peak import TruePeakMeter

Audio = NDArray[np.float32]
Advance = Callable[[int], None]
BLOCK_FRAMES = 1 << 16


@dataclass(frozen=True)
class FileFormat:
    """Everything about a file but its samples; its output is written the same way.

    The output of a `source` file keeps everything of it but the samples: a
    PCM or float container (`samples` is its sample region) is the source
    with its samples rewritten, another chunked file (ADPCM, ALAC, ...) the
    source's chunks around a new encoding, and any other file is encoded
    anew and given the source's tags.
    """

    encoding: Encoding
    channels: int
    source: Path | None = None
    samples: SampleRegion | None = None


def _ignore(frames: int) -> None:
    pass


def read_format(path: Path) -> FileFormat:
    with sf.SoundFile(path) as source:
        return _format_of(source, path)


def _format_of(source: sf.SoundFile, path: Path) -> FileFormat:
    encoding = Encoding(source.format, source.subtype, source.endian, source.samplerate)
    return FileFormat(encoding, source.channels, path, locate_samples(path))


def read_channels_first(path: Path, advance: Advance = _ignore) -> tuple[Audio, FileFormat]:
    """The file's samples as a (channels, frames) float32 array, and its format."""
    with sf.SoundFile(path) as source, ThreadPoolExecutor(1) as decoder:
        file_format = _format_of(source, path)
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
    source = file_format.source
    if source is None:
        return _encode(path, audio, file_format, advance)
    if file_format.samples is not None:
        extremes = _Extremes()
        rewrite_samples(source, path, _blocks(audio, extremes, advance), file_format.samples)
        return extremes.highest, extremes.lowest
    if can_splice(source):
        with _sibling_file(path) as encoded:
            written = _encode(encoded, audio, file_format, advance)
            splice_encoded(source, encoded, path)
        return written
    written = _encode(path, audio, file_format, advance)
    copy_tags(source, path, file_format.encoding.container)
    return written


@contextmanager
def _sibling_file(path: Path) -> Iterator[Path]:
    """An empty temporary file beside `path`, removed on every way out."""
    handle, name = tempfile.mkstemp(prefix=".", suffix=TEMPORARY_SUFFIX, dir=path.parent)
    os.close(handle)
    try:
        yield Path(name)
    finally:
        os.unlink(name)


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


def _encode(
    path: Path, audio: Audio, file_format: FileFormat, advance: Advance
) -> tuple[float, float]:
    """Write the audio with soundfile, in the source's encoding and without tags."""
    encoding = file_format.encoding
    extremes = _Extremes()
    with sf.SoundFile(
        path, "w", samplerate=encoding.sample_rate, channels=audio.shape[0],
        format=encoding.container, subtype=encoding.subtype, endian=encoding.endian,
    ) as out, ThreadPoolExecutor(1) as encoder:
        # Each block is encoded while the next one is interleaved.
        encoding_block: Future[int] | None = None
        for start in range(0, audio.shape[1], BLOCK_FRAMES):
            check_abandon()
            block = np.ascontiguousarray(audio[:, start:start + BLOCK_FRAMES].T)
            extremes.add(block)
            if encoding_block is not None:
                advance(encoding_block.result())
            encoding_block = encoder.submit(_write, out, block)
        if encoding_block is not None:
            advance(encoding_block.result())
    return extremes.highest, extremes.lowest


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
