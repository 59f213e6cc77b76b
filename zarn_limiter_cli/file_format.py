"""What a file is but for its samples: how they are encoded, and where an output's other
bytes come from."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import soundfile as sf

from .quantisation import Encoding
from .sample_region import SampleRegion, locate_samples


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


def read_format(path: Path) -> FileFormat:
    """The format of the file at `path`, whose output keeps everything of it but the samples."""
    with sf.SoundFile(path) as source:
        return format_of(source, path)


def format_of(source: sf.SoundFile, path: Path) -> FileFormat:
    """The format of `source`, open for reading, which is the file at `path`."""
    encoding = Encoding(source.format, source.subtype, source.endian, source.samplerate)
    return FileFormat(encoding, source.channels, path, locate_samples(path))
