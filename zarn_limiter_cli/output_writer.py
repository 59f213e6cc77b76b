"""Writing an output that keeps everything of its source file but the samples.

One call for every kind of file: a PCM or float container is its source with
the sample bytes rewritten in place, another chunked file the source's chunks
around libsndfile's new encoding, and any other file libsndfile's encoding
with the source's tags copied by mutagen.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from pathlib import Path

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .atomic_output import TEMPORARY_SUFFIX
from .chunk_splice import can_splice, splice_encoded
from .file_format import FileFormat
from .sample_rewrite import rewrite_samples
from .tags import copy_tags

Block = NDArray[np.float32]


def write_blocks(path: Path, blocks: Iterable[Block], file_format: FileFormat) -> None:
    """Write (frames, channels) float32 blocks to `path` in `file_format`.

    With a source, the blocks must add up to the source's frames when it is
    a PCM or float container (a ValueError says otherwise).
    """
    source = file_format.source
    if source is None:
        _encode(path, blocks, file_format)
    elif file_format.samples is not None:
        rewrite_samples(source, path, blocks, file_format.samples)
    elif can_splice(source):
        with _sibling_file(path) as encoded:
            _encode(encoded, blocks, file_format)
            splice_encoded(source, encoded, path)
    else:
        _encode(path, blocks, file_format)
        copy_tags(source, path, file_format.encoding.container)


def _encode(path: Path, blocks: Iterable[Block], file_format: FileFormat) -> None:
    """libsndfile's encoding of the blocks, without tags."""
    encoding = file_format.encoding
    with sf.SoundFile(
        path, "w", samplerate=encoding.sample_rate, channels=file_format.channels,
        format=encoding.container, subtype=encoding.subtype, endian=encoding.endian,
    ) as out, ThreadPoolExecutor(1) as encoder:
        # Each block is encoded while the next one is made.
        encoding_block: Future[None] | None = None
        for block in blocks:
            if encoding_block is not None:
                encoding_block.result()
            encoding_block = encoder.submit(out.write, block)
        if encoding_block is not None:
            encoding_block.result()


@contextmanager
def _sibling_file(path: Path) -> Iterator[Path]:
    """An empty temporary file beside `path`, removed on every way out."""
    handle, name = tempfile.mkstemp(prefix=".", suffix=TEMPORARY_SUFFIX, dir=path.parent)
    os.close(handle)
    try:
        yield Path(name)
    finally:
        os.unlink(name)
