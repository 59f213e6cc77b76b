"""The chunks of the PCM containers, walked from their headers without reading the samples.

Each container family frames its chunks its own way (size width, byte order,
padding, Wave64's GUIDs); these walkers give them all one shape, so that what
is looked for in them is written once.
"""

from __future__ import annotations

import struct
from collections.abc import Callable, Iterator
from dataclasses import dataclass, replace
from typing import BinaryIO

# Wave64 names its chunks by GUIDs whose first four bytes spell the RIFF name
# and whose last twelve are the same for every chunk of the format.
_WAVE64_TAIL = bytes.fromhex("f3acd3118cd100c04f8edb8a")
_WAVE64_RIFF = bytes.fromhex("726966662e91cf11a5d628db04c10000")
_RF64_UNKNOWN_SIZE = 0xFFFFFFFF
# The first four bytes of the four kinds of IRCAM header, in either byte order.
_IRCAM_MAGICS = frozenset(
    bytes.fromhex(word) for kind in "1234" for word in (f"64a30{kind}00", f"000{kind}a364")
)


@dataclass(frozen=True)
class Chunk:
    """One chunk: its four-character name, where its payload starts and how long it says it is.

    The size is the declared one; in a truncated file it can run past the end,
    and a CAF `data` chunk of size -1 runs to the end of the file. `header`
    is where the chunk's header starts and `end` where the next one would
    (past any padding).
    """

    name: bytes
    start: int
    size: int
    header: int = 0
    end: int = -1


# A chunk header at an offset, read as the chunk and the offset of the next header.
_Parse = Callable[[int, bytes], tuple[Chunk, int]]


def chunks(file: BinaryIO, length: int) -> tuple[str, Iterator[Chunk]] | None:
    """The container family of an open file and its chunks; None when it is none of them.

    The family is RIFF, RIFX, RF64 (BW64 too), W64, AIFF (AIFC too), CAF, AU,
    NIST or IRCAM; the last three have one chunk, their samples.
    """
    file.seek(0)
    header = file.read(24)
    magic = header[:4]
    if magic in (b"RIFF", b"RIFX"):
        size_format = "<I" if magic == b"RIFF" else ">I"
        return magic.decode(), _walk(file, length, 12, 8, _sized(size_format, padded=True))
    if magic in (b"RF64", b"BW64"):
        return "RF64", _rf64_chunks(file, length)
    if header[:16] == _WAVE64_RIFF:
        return "W64", _walk(file, length, 40, 24, _wave64)
    if magic == b"FORM" and header[8:12] in (b"AIFF", b"AIFC"):
        return "AIFF", _walk(file, length, 12, 8, _sized(">I", padded=True))
    if magic == b"caff":
        return "CAF", _walk(file, length, 8, 12, _caf)
    if magic in (b".snd", b"dns.") and len(header) == 24:
        return "AU", iter([_au_samples(header, length)])
    # Headers of a fixed or stated length, the samples right after them.
    if header[:8] == b"NIST_1A\n" and header[8:16].strip().isdigit():
        return "NIST", iter([Chunk(b"data", int(header[8:16]), -1, 0, length)])
    if magic in _IRCAM_MAGICS:
        return "IRCAM", iter([Chunk(b"data", 1024, -1, 0, length)])
    return None


def _walk(file: BinaryIO, length: int, start: int, header_size: int,
          parse: _Parse) -> Iterator[Chunk]:
    """Every chunk whose header lies whole within the file, in order."""
    position = start
    while position + header_size <= length:
        file.seek(position)
        chunk, following = parse(position, file.read(header_size))
        yield replace(chunk, header=position, end=following)
        if following <= position:  # a negative size: nothing more can be found
            return
        position = following


def _sized(size_format: str, padded: bool) -> _Parse:
    header_size = 4 + struct.calcsize(size_format)

    def parse(position: int, header: bytes) -> tuple[Chunk, int]:
        (size,) = struct.unpack(size_format, header[4:])
        start = position + header_size
        # RIFF and AIFF chunks of odd length are followed by one pad byte.
        following = start + size + (size & 1 if padded else 0)
        return Chunk(header[:4], start, size), following

    return parse


def _rf64_chunks(file: BinaryIO, length: int) -> Iterator[Chunk]:
    """RF64's `data` chunk says 0xFFFFFFFF and keeps its 64-bit size in the `ds64` chunk."""
    data_size: int | None = None
    for chunk in _walk(file, length, 12, 8, _sized("<I", padded=True)):
        if chunk.name == b"ds64" and chunk.size >= 16:
            file.seek(chunk.start + 8)
            (data_size,) = struct.unpack("<Q", file.read(8).ljust(8, b"\0"))
        if chunk.name == b"data" and chunk.size == _RF64_UNKNOWN_SIZE and data_size is not None:
            chunk = replace(chunk, size=data_size)
        yield chunk


def _wave64(position: int, header: bytes) -> tuple[Chunk, int]:
    guid, (size,) = header[:16], struct.unpack("<Q", header[16:])
    name = guid[:4] if guid[4:] == _WAVE64_TAIL else guid
    # The size counts the 24-byte header; chunks start on 8-byte boundaries.
    following = position + ((size + 7) & ~7)
    return Chunk(name, position + 24, size - 24), following


def _caf(position: int, header: bytes) -> tuple[Chunk, int]:
    (size,) = struct.unpack(">q", header[4:])
    start = position + 12
    following = start + size if size >= 0 else -1
    return Chunk(header[:4], start, size), following


def _au_samples(header: bytes, length: int) -> Chunk:
    """AU's header says where the samples start and, unless 0xFFFFFFFF, how long they are."""
    order = ">" if header[:4] == b".snd" else "<"
    start, size = struct.unpack(order + "II", header[4:12])
    return Chunk(b"data", start, -1 if size == 0xFFFFFFFF else size, 0, length)
