"""Test audio for the zarn-limit tests: noise with loud bursts, written in any format."""

import io
import struct
from pathlib import Path
from typing import NamedTuple

import numpy as np
import soundfile as sf

RATE = 44100


def bursts(frames: int, channels: int, peak: float, seed: int = 0) -> np.ndarray:
    """(frames, channels) noise with loud bursts that reach `peak`."""
    rng = np.random.default_rng(seed)
    audio = 0.2 * rng.standard_normal((frames, channels))
    for start in range(frames // 7, frames, max(1, frames // 3)):
        audio[start:start + 300] *= 4.0
    return (audio * (peak / np.abs(audio).max(initial=1e-9))).astype(np.float32)


def make_file(path: Path, container: str, subtype: str, channels: int = 2,
              frames: int = 8000, peak: float = 0.99, seed: int = 0, rate: int = RATE) -> None:
    with sf.SoundFile(path, "w", rate, channels, subtype, format=container) as out:
        out.title = "bursts"
        out.write(bursts(frames, channels, peak, seed))


def leftovers(folder: Path) -> list[str]:
    """Temporary files anywhere below `folder`."""
    return sorted(str(p) for p in folder.rglob("*.part"))


# Chunks that libsndfile neither writes nor keeps, odd sizes among them (a pad
# byte follows in RIFF and AIFF), framed as each container frames its chunks.
FOREIGN_CHUNKS = {
    "RIFF": [(b"bext", b"a broadcast description".ljust(603, b"\0")),
             (b"iXML", b"<BWFXML><PROJECT>p</PROJECT></BWFXML>"),
             (b"cue ", struct.pack("<III4sIII", 1, 1, 4000, b"data", 0, 0, 4000))],
    # libsndfile reads no RF64 file with a chunk of odd size before the samples.
    "RF64": [(b"bext", b"a broadcast description".ljust(602, b"\0")),
             (b"iXML", b"<BWFXML><PROJECT>pq</PROJECT></BWFXML>")],
    "AIFF": [(b"ANNO", b"an annotation"), (b"APPL", b"stoc\x05hello")],
    "W64": [(bytes.fromhex("6c697374f3acd3118cd100c04f8edb8a"), b"list of thirteen")],
    "CAF": [(b"info", b"\0\0\0\1title\0bursts\0"), (b"uuid", bytes(16) + b"private")],
    "AU": [(b"", b"an annotation\0\0\0")],  # text between the header and the samples
}
TRAILING_CHUNK = {"RIFF": (b"LIST", b"INFOICMT\x05\0\0\0note\0"), "AIFF": (b"NAME", b"bursts"),
                  "W64": None, "CAF": (b"free", bytes(7)), "AU": None}
_FAMILY = {"WAV": "RIFF", "WAVEX": "RIFF", "RF64": "RIFF", "W64": "W64", "AIFF": "AIFF",
           "CAF": "CAF", "AU": "AU", "NIST": "NIST", "IRCAM": "IRCAM"}
_FRAMING = {"RIFF": (8, 2), "AIFF": (8, 2), "W64": (24, 8), "CAF": (12, 1), "AU": (0, 1)}


def _framed(family: str, order: str, name: bytes, payload: bytes) -> bytes:
    header, align = _FRAMING[family]
    if family == "W64":
        size = struct.pack("<Q", header + len(payload))
    elif family == "CAF":
        size = struct.pack(">q", len(payload))
    elif family == "AU":
        size = b""
    else:
        size = struct.pack(order + "I", len(payload))
    padding = -(header + len(payload)) % align
    return name + size + payload + bytes(padding)


def _grow_outer_size(content: bytearray, family: str, order: str, grown: int) -> None:
    if content[:4] in (b"RF64", b"BW64"):  # the 64-bit size in the ds64 chunk
        struct.pack_into("<Q", content, 20, struct.unpack_from("<Q", content, 20)[0] + grown)
    elif family == "W64":
        struct.pack_into("<Q", content, 16, struct.unpack_from("<Q", content, 16)[0] + grown)
    elif family == "AU":  # where the samples start
        struct.pack_into(">I", content, 4, struct.unpack_from(">I", content, 4)[0] + grown)
    elif family != "CAF":
        size = struct.unpack_from(order + "I", content, 4)[0]
        struct.pack_into(order + "I", content, 4, size + grown)


_SAMPLE_CHUNK = {"RIFF": b"data", "AIFF": b"SSND", "CAF": b"data",
                 "W64": bytes.fromhex("64617461f3acd3118cd100c04f8edb8a")}


class Spliced(NamedTuple):
    """The foreign chunks put in a file, as framed there, and where its PCM samples are."""

    chunks: list[bytes]
    samples: tuple[int, int] | None


def make_file_with_chunks(path: Path, container: str, subtype: str, endian: str,
                          channels: int, rate: int = RATE) -> Spliced:
    """A file with foreign chunks before and after its samples, and a 5.1 side mask when
    extensible with six channels."""
    samples = bursts(8000, channels, 0.99)
    sf.write(path, samples, rate, subtype=subtype, format=container, endian=endian)
    content = bytearray(path.read_bytes())
    family = _FAMILY[container]
    order = ">" if content[:4] in (b"RIFX", b"FORM", b"caff", b".snd") else "<"
    if container == "WAVEX" and channels == 6:
        fmt = content.find(b"fmt ") + 8
        struct.pack_into("<I", content, fmt + 20, 0x60F)
    if family in ("NIST", "IRCAM"):  # text in the header's free space, its length unchanged
        note = _annotate_header(content, family)
        path.write_bytes(bytes(content))
        return Spliced([note], _pcm_samples(content, samples, subtype, container, endian))
    foreign = [_framed(family, order, name, data) for name, data in
               FOREIGN_CHUNKS.get(container, FOREIGN_CHUNKS[family])]
    trailing = TRAILING_CHUNK[family]
    after = b"" if trailing is None else _framed(family, order, *trailing)
    # Just before the chunk of the samples, or before AU's samples themselves.
    header = (struct.unpack_from(">I", content, 4)[0] if family == "AU"
              else content.find(_SAMPLE_CHUNK[family], 12))
    content[header:header] = b"".join(foreign)
    content += after
    _grow_outer_size(content, family, order, len(b"".join(foreign)) + len(after))
    path.write_bytes(bytes(content))
    return Spliced(foreign + [after] * bool(after), _pcm_samples(content, samples, subtype,
                                                                 container, endian))


def _annotate_header(content: bytearray, family: str) -> bytes:
    if family == "NIST":
        field = b"comment -s6 a note\n"
        end = content.find(b"end_head")
        content[end:end] = field
        del content[1024:1024 + len(field)]  # as much of the padding
        return field
    note = b"\0\2\0\x08a note\0\0"  # a comment, after the 28 bytes IRCAM readers use
    content[28:28 + len(note)] = note
    return note


def _pcm_samples(content: bytes, samples: np.ndarray, subtype: str, container: str,
                 endian: str) -> tuple[int, int] | None:
    """Where the samples are, found as libsndfile encodes them on their own."""
    if endian == "FILE":
        endian = "BIG" if container in ("AIFF", "CAF", "AU") else "LITTLE"
    if not sf.check_format("RAW", subtype, endian) or "ADPCM" in subtype:
        return None
    raw = io.BytesIO()
    sf.write(raw, samples, RATE, subtype=subtype, format="RAW", endian=endian)
    offset = content.find(raw.getvalue())
    return None if offset < 0 else (offset, len(raw.getvalue()))


def peak_entries(content: bytes, offset: int) -> tuple[int, str] | None:
    """Where a peak chunk before the samples keeps its entries (value, frame) per channel."""
    order = "<" if content[:4] in (b"RIFF", b"RF64", b"BW64", b"riff") else ">"
    for name, skip, entry in ((b"PEAK", 8, "fI"), (b"peak", 4, "fq")):
        at = content.rfind(name, 0, offset)
        if at >= 0:
            return at + (12 if content[:4] == b"caff" else 8) + skip, order + entry
    return None
