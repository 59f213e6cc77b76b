"""Where a PCM or float container keeps its samples, so that only they are rewritten.

WAV (RIFF, RIFX, WAVE_FORMAT_EXTENSIBLE), RF64 and BW64, Wave64, AIFF and AIFC,
CAF, AU, NIST and IRCAM store their samples as one run of interleaved frames of a fixed
width; every other byte of such a file (its chunks of text, markers, channel
mask) is left exactly as it is when the samples are rewritten in place.
The encoding is libsndfile's reading of the file; the chunks say where the
samples are, and the first frames are checked against libsndfile's own
reading before the region is trusted.
"""

from __future__ import annotations

import io
import os
import struct
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import BinaryIO, Literal

import numpy as np
import soundfile as sf

from .container_chunks import Chunk, chunks

# Bytes per sample of the encodings that map each sample on its own.
SAMPLE_WIDTHS = {
    "PCM_S8": 1, "PCM_U8": 1, "ULAW": 1, "ALAW": 1,
    "PCM_16": 2, "PCM_24": 3, "PCM_32": 4, "FLOAT": 4, "DOUBLE": 8,
}
# The encodings that the project's own coder reads and writes, byte for byte as
# libsndfile does, by its names for them.
SampleType = Literal["int16", "int24", "int32", "float32", "float64"]
_CODED_TYPES: dict[str, SampleType] = {
    "PCM_16": "int16", "PCM_24": "int24", "PCM_32": "int32", "FLOAT": "float32", "DOUBLE": "float64",
}
# Frames read both ways to confirm that the region found is the one libsndfile reads.
_CHECKED_FRAMES = 4096
# Bytes before a peak chunk's entries, and how each entry is packed.
_PEAK_LAYOUTS = {
    "RIFF": (8, "<fI"), "RIFX": (8, ">fI"), "RF64": (8, "<fI"), "AIFF": (8, ">fI"), "CAF": (4, ">fq"),
}
_DEFAULT_ORDER = {"RIFF": "LITTLE", "RIFX": "BIG", "AU": "BIG", "RF64": "LITTLE", "W64": "LITTLE",
                  "AIFF": "BIG", "CAF": "BIG"}


class SampleRegionError(ValueError):
    """The file's samples cannot be found where its chunks say (a damaged or truncated file)."""


@dataclass(frozen=True)
class PeakChunk:
    """A chunk that records each channel's peak and its frame (RIFF and AIFF `PEAK`, CAF `peak`).

    `entries` is the offset of the first channel's entry, each entry a float32
    value and an unsigned frame number packed as `entry_format`.
    """

    entries: int
    entry_format: str


@dataclass(frozen=True)
class SampleRegion:
    """The run of interleaved frames of a file, and how each sample is encoded."""

    offset: int
    frames: int
    channels: int
    sample_rate: int
    subtype: str
    endian: str  # "LITTLE" or "BIG"
    peak: PeakChunk | None = None

    @property
    def frame_bytes(self) -> int:
        return self.channels * SAMPLE_WIDTHS[self.subtype]

    @property
    def byte_length(self) -> int:
        return self.frames * self.frame_bytes

    @property
    def sample_type(self) -> SampleType | None:
        """The sample type of `zarn_limiter_stream.decode_samples` and `encode_samples`, if
        they code these samples; None where only libsndfile does."""
        return _CODED_TYPES.get(self.subtype)

    @property
    def byteorder(self) -> Literal["little", "big"]:
        return "little" if self.endian == "LITTLE" else "big"


def locate_samples(path: Path) -> SampleRegion | None:
    """The sample region of a PCM or float container; None for any other file.

    Raises SampleRegionError when the file is one of them but its samples are
    not where its chunks say.
    """
    info = sf.info(str(path))
    if info.subtype not in SAMPLE_WIDTHS:
        return None
    with open(path, "rb") as file:
        length = os.fstat(file.fileno()).st_size
        found = chunks(file, length)
        if found is None:
            return None
        family, walked = found
        data, peak = _sample_chunks(family, walked, info.channels)
        endian = _byte_order(info.endian, family, info.subtype)
        if endian is None:  # not to be guessed: silence reads the same either way
            return None
        region = SampleRegion(_sample_start(file, family, data), info.frames, info.channels,
                              info.samplerate, info.subtype, endian, peak)
        _check_extent(region, data, length)
        _check_frames(file, path, region)
    return region


def _byte_order(reported: str, family: str, subtype: str) -> str | None:
    if reported in ("LITTLE", "BIG"):
        return reported
    if SAMPLE_WIDTHS[subtype] == 1:
        return "LITTLE"  # a single byte has no order
    return _DEFAULT_ORDER.get(family)


def _sample_chunks(family: str, walked: Iterator[Chunk], channels: int
                   ) -> tuple[Chunk, PeakChunk | None]:
    data: Chunk | None = None
    peak: PeakChunk | None = None
    data_name = b"SSND" if family == "AIFF" else b"data"
    for chunk in walked:
        if chunk.name == data_name and data is None:
            data = chunk
        elif chunk.name in (b"PEAK", b"peak") and peak is None:
            peak = _peak_chunk(family, chunk, channels)
    if data is None:
        raise SampleRegionError(
            f"no {data_name.decode()} chunk before the end of the file (a truncated file?)"
        )
    return data, peak


def _peak_chunk(family: str, chunk: Chunk, channels: int) -> PeakChunk | None:
    # RIFF and AIFF: version and time stamp, then value and frame per channel;
    # CAF: an edit count, then value and 64-bit frame per channel.
    header, entry_format = _PEAK_LAYOUTS.get(family, (0, ""))
    if not entry_format or chunk.size < header + channels * struct.calcsize(entry_format):
        return None
    return PeakChunk(chunk.start + header, entry_format)


def _sample_start(file: BinaryIO, family: str, data: Chunk) -> int:
    if family == "AIFF":
        # SSND starts with the offset of the first sample past its 8-byte header.
        file.seek(data.start)
        skip = int.from_bytes(file.read(4), "big")
        return data.start + 8 + skip
    if family == "CAF":
        return data.start + 4  # past the edit count
    return data.start


def _check_extent(region: SampleRegion, data: Chunk, length: int) -> None:
    chunk_end = length if data.size < 0 else data.start + data.size
    end = region.offset + region.byte_length
    if end > min(chunk_end, length):
        raise SampleRegionError(
            f"its {region.frames} frames do not fit in its sample data, "
            f"which ends at byte {min(chunk_end, length)} (a truncated file?)"
        )


def _check_frames(file: BinaryIO, path: Path, region: SampleRegion) -> None:
    count = min(region.frames, _CHECKED_FRAMES)
    file.seek(region.offset)
    raw = io.BytesIO(file.read(count * region.frame_bytes))
    from_region = sf.read(raw, dtype="float64", always_2d=True, format="RAW",
                          subtype=region.subtype, endian=region.endian,
                          samplerate=region.sample_rate, channels=region.channels)[0]
    from_file = sf.read(str(path), frames=count, dtype="float64", always_2d=True)[0]
    if not np.array_equal(from_region, from_file, equal_nan=True):
        raise SampleRegionError("its samples are not where its chunks say")
