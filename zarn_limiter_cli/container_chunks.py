"""The chunks of the PCM containers, walked from their headers without reading the samples.

Each container family frames its chunks its own way (size width, byte order,
padding, Wave64's GUIDs); these walkers give them all one shape, so that what
is looked for in them is written once.
"""

from __future__ import annotations

import struct
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

# Wave64 names its chunks by GUIDs whose first four bytes spell the RIFF name
# and whose last twelve are the same for every chunk of the format.
_WAVE64_TAIL = bytes.fromhex("f3acd3118cd100c04f8edb8a")
_WAVE64_RIFF = bytes.fromhex("726966662e91cf11a5d628db04c10000")
_RF64_UNKNOWN_SIZE = 0xFFFFFFFF


@dataclass(frozen=True)
class Chunk:
    """One chunk: its four-character name, where its payload starts and how long it says it is.

    The size is the declared one; in a truncated file it can run past the end.
    """

    name: bytes
    start: int
    size: int


def chunks(file: BinaryIO, length: int) -> tuple[str, Iterator[Chunk]] | None:
    """The container family of an open file and its chunks; None when it is none of them."""
    file.seek(0)
    header = file.read(16)
    magic = header[:4]
    if magic in (b"RIFF", b"RIFX"):
        order = "<" if magic == b"RIFF" else ">"
        return magic.decode(), _sized_chunks(file, length, 12, order + "I", padded=True)
    if magic in (b"RF64", b"BW64"):
        return "RF64", _rf64_chunks(file, length)
    if header == _WAVE64_RIFF:
        return "W64", _wave64_chunks(file, length)
    if magic == b"FORM" and header[8:12] in (b"AIFF", b"AIFC"):
        return "AIFF", _sized_chunks(file, length, 12, ">I", padded=True)
    if magic == b"caff":
        return "CAF", _caf_chunks(file, length)
    return None


def _walk(file: BinaryIO, length: int, start: int, header_size: int,
          parse: _Parse) -> Iterator[Chunk]:
    position = start
    while position + header_size <= length:
        file.seek(position)
        chunk, following = parse(position, file.read(header_size))
        yield chunk
        if following <= position:  # a negative or zero size: nothing more can be found
            return
        position = following


class _Parse:
    """Turns a chunk header at an offset into the chunk and the offset of the next header."""

    def __call__(self, position: int, header: bytes) -> tuple[Chunk, int]:
        raise NotImplementedError


class _SizedParse(_Parse):
    def __init__(self, size_format: str, padded: bool) -> None:
        self.size_format, self.padded = size_format, padded
        self.header_size = 4 + struct.calcsize(size_format)

    def __call__(self, position: int, header: bytes) -> tuple[Chunk, int]:
        (size,) = struct.unpack(self.size_format, header[4:])
        start = position + self.header_size
        # RIFF and AIFF chunks of odd length are followed by one pad byte.
        following = start + size + (size & 1 if self.padded else 0)
        return Chunk(header[:4], start, size), following


def _sized_chunks(file: BinaryIO, length: int, start: int, size_format: str,
                  padded: bool) -> Iterator[Chunk]:
    parse = _SizedParse(size_format, padded)
    return _walk(file, length, start, parse.header_size, parse)


def _rf64_chunks(file: BinaryIO, length: int) -> Iterator[Chunk]:
    """RF64's `data` chunk says 0xFFFFFFFF and keeps its 64-bit size in the `ds64` chunk."""
    data_size: int | None = None
    for chunk in _sized_chunks(file, length, 12, "<I", padded=True):
        if chunk.name == b"ds64" and chunk.size >= 16:
            file.seek(chunk.start + 8)
            (data_size,) = struct.unpack("<Q", file.read(8))
        if chunk.name == b"data" and chunk.size == _RF64_UNKNOWN_SIZE and data_size is not None:
            chunk = Chunk(chunk.name, chunk.start, data_size)
        yield chunk


class _Wave64Parse(_Parse):
    def __call__(self, position: int, header: bytes) -> tuple[Chunk, int]:
        guid, (size,) = header[:16], struct.unpack("<Q", header[16:])
        name = guid[:4] if guid[4:] == _WAVE64_TAIL else guid
        # The size counts the 24-byte header; chunks start on 8-byte boundaries.
        following = position + ((size + 7) & ~7)
        return Chunk(name, position + 24, size - 24), following


def _wave64_chunks(file: BinaryIO, length: int) -> Iterator[Chunk]:
    return _walk(file, length, 40, 24, _Wave64Parse())


class _CafParse(_Parse):
    def __call__(self, position: int, header: bytes) -> tuple[Chunk, int]:
        (size,) = struct.unpack(">q", header[4:])
        start = position + 12
        # A `data` chunk of size -1 runs to the end of the file.
        following = start + size if size >= 0 else -1
        return Chunk(header[:4], start, size), following


def _caf_chunks(file: BinaryIO, length: int) -> Iterator[Chunk]:
    return _walk(file, length, 8, 12, _CafParse())
