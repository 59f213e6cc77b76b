"""A chunked file whose samples are not one fixed-width run (ADPCM, GSM, ALAC in CAF, ...),
written anew with every chunk of its source but those that describe the encoded stream.

libsndfile encodes the new samples into a file of the same format; its
format, frame count and sample chunks (and CAF's packet table and codec
cookie) then take the place of the source's, and every other chunk of the
source (text, markers, channel layout, unknown chunks) is copied as it is,
in its place. Only the sizes that frame the file change.
"""

from __future__ import annotations

import os
import struct
from pathlib import Path
from typing import BinaryIO

from .container_chunks import Chunk, chunks

# The chunks that describe the encoded stream, per container family.
_STREAM_CHUNKS = {
    "RIFF": {b"fmt ", b"fact", b"data"},
    "RIFX": {b"fmt ", b"fact", b"data"},
    "W64": {b"fmt ", b"fact", b"data"},
    "AIFF": {b"COMM", b"SSND"},
    "CAF": {b"desc", b"pakt", b"kuki", b"data"},
}
_SAMPLE_CHUNK = {"AIFF": b"SSND"}
# The file header before the first chunk, and the boundary chunks start on.
_FILE_HEADER = {"RIFF": 12, "RIFX": 12, "W64": 40, "AIFF": 12, "CAF": 8}
_ALIGNMENT = {"RIFF": 2, "RIFX": 2, "W64": 8, "AIFF": 2, "CAF": 1}
# Where the size of the whole file is kept, and how.
_OUTER_SIZE = {"RIFF": (4, "<I"), "RIFX": (4, ">I"), "W64": (16, "<Q"), "AIFF": (4, ">I")}
_COPY_BYTES = 1 << 20


def can_splice(path: Path) -> bool:
    """True for a file of a chunked container whose stream chunks can be replaced."""
    with open(path, "rb") as file:
        found = chunks(file, os.fstat(file.fileno()).st_size)
    return found is not None and found[0] in _STREAM_CHUNKS


def splice_encoded(source: Path, encoded: Path, target: Path) -> None:
    """Write `target` as `source`'s chunks in order, its stream chunks taken from `encoded`.

    Both files must be of the same container family (`can_splice`), as a
    file and its re-encoding by libsndfile are; a ValueError says otherwise.
    """
    with open(source, "rb") as original, open(encoded, "rb") as fresh, \
            open(target, "w+b") as output:
        family, kept = _chunks_of(original)
        fresh_family, stream = _chunks_of(fresh)
        if family != fresh_family or family not in _STREAM_CHUNKS:
            raise ValueError(f"cannot put a {fresh_family} stream into a {family} file")
        names = _STREAM_CHUNKS[family]
        replacing = {chunk.name: chunk for chunk in stream if chunk.name in names}
        _copy(original, output, 0, _FILE_HEADER[family])
        for chunk in kept:
            if chunk.name == _SAMPLE_CHUNK.get(family, b"data"):
                # The stream's chunks the source lacks go just before the samples.
                for name in [name for name in replacing if name not in _names(kept)]:
                    _copy_chunk(fresh, output, replacing.pop(name), family)
            if chunk.name not in names:
                _copy_chunk(original, output, chunk, family)
            elif chunk.name in replacing:
                _copy_chunk(fresh, output, replacing.pop(chunk.name), family)
        _copy(original, output, _end(original, kept[-1]) if kept else _FILE_HEADER[family], -1)
        _grow_outer_size(output, family, output.tell() - _length(original))


def _chunks_of(file: BinaryIO) -> tuple[str, list[Chunk]]:
    found = chunks(file, _length(file))
    if found is None:
        return "unknown", []
    family, walked = found
    return family, list(walked)


def _names(walked: list[Chunk]) -> set[bytes]:
    return {chunk.name for chunk in walked}


def _length(file: BinaryIO) -> int:
    return os.fstat(file.fileno()).st_size


def _end(file: BinaryIO, chunk: Chunk) -> int:
    length = _length(file)
    return length if chunk.end < 0 else min(chunk.end, length)


def _copy_chunk(source: BinaryIO, output: BinaryIO, chunk: Chunk, family: str) -> None:
    # A chunk whose source ended the file unpadded is padded before the next one.
    output.write(bytes(-output.tell() % _ALIGNMENT[family]))
    _copy(source, output, chunk.header, _end(source, chunk) - chunk.header)


def _copy(source: BinaryIO, output: BinaryIO, start: int, length: int) -> None:
    """Copy `length` bytes from `start`, or everything from there on when it is -1."""
    source.seek(start)
    while length != 0:
        block = source.read(_COPY_BYTES if length < 0 else min(length, _COPY_BYTES))
        if not block:
            return
        output.write(block)
        length -= len(block) if length > 0 else 0


def _grow_outer_size(output: BinaryIO, family: str, grown: int) -> None:
    """Change the file's own size field by what the file grew, keeping any quirk it had."""
    if family not in _OUTER_SIZE or grown == 0:
        return
    offset, size_format = _OUTER_SIZE[family]
    output.seek(offset)
    (size,) = struct.unpack(size_format, output.read(struct.calcsize(size_format)))
    largest = (1 << (8 * struct.calcsize(size_format))) - 1
    output.seek(offset)
    output.write(struct.pack(size_format, min(max(size + grown, 0), largest)))
