"""Every tag and picture of a compressed file carried over to its re-encoded output, with mutagen.

libsndfile writes only a few text fields, one value each, and refuses some
(an empty date), so the output is encoded without tags and mutagen then
writes the source's own: every Vorbis comment in order with its repeated
keys (pictures and the channel-mask tag among them), FLAC's picture,
application and cue sheet blocks, and MP3's ID3v2 frames, ID3v1 and APEv2
tags. What describes the encoded stream itself (FLAC's stream info and seek
table, the encoder's vendor string) stays the new encoder's.
"""

from __future__ import annotations

import os
from pathlib import Path

import mutagen
from mutagen import MutagenError
from mutagen.apev2 import APENoHeaderError, APEv2
from mutagen.flac import FLAC
from mutagen.id3 import ID3, ID3NoHeaderError
from mutagen.ogg import OggFileType

# FLAC blocks that describe the encoded stream, not the recording: the
# encoder's own stream info and seek table are kept, the source's dropped,
# and so is every comment block but the first, which mutagen reads as the tags.
_ENCODER_BLOCKS = {0, 3}  # stream info, seek table
_STREAM_BLOCKS = {0, 1, 3, 4}  # and padding, Vorbis comments
_ID3V1_BYTES = 128


class TagCopyError(ValueError):
    """The source's tags could not be read or the output's written."""


def copy_tags(source: Path, target: Path, container: str) -> None:
    """Give `target`, a fresh encoding of `source` in soundfile's `container`, all of its tags."""
    copy = {"FLAC": _copy_flac, "OGG": _copy_ogg, "MP3": _copy_mp3}.get(container)
    if copy is None:
        return
    try:
        copy(source, target)
    except MutagenError as error:
        raise TagCopyError(f"cannot copy its tags: {error}") from None


def _copy_flac(source: Path, target: Path) -> None:
    original, encoded = FLAC(source), FLAC(target)
    if encoded.tags is None:
        encoded.add_tags()
    comments = encoded.tags
    assert comments is not None
    comments.clear()
    blocks = [block for block in encoded.metadata_blocks if block.code in _ENCODER_BLOCKS]
    blocks.append(comments)
    for block in original.metadata_blocks:
        if block is original.tags:
            comments.extend(list(block))
        elif block.code not in _STREAM_BLOCKS:
            blocks.append(block)
    encoded.metadata_blocks = blocks
    encoded.cuesheet = original.cuesheet
    encoded.save()


def _copy_ogg(source: Path, target: Path) -> None:
    original, encoded = _ogg(source), _ogg(target)
    if original.tags is None:
        return
    if encoded.tags is None:
        encoded.add_tags()
    encoded.tags.clear()
    encoded.tags.extend(list(original.tags))
    encoded.save()


def _ogg(path: Path) -> OggFileType:
    found = mutagen.File(path)
    if not isinstance(found, OggFileType):
        raise TagCopyError(f"{path} is not an Ogg stream mutagen knows")
    return found


def _copy_mp3(source: Path, target: Path) -> None:
    try:
        frames = ID3(source, load_v1=False)
    except ID3NoHeaderError:
        frames = None
    if frames is not None:
        # ID3v2.2 and 2.3 tags are written back as 2.3, 2.4 ones as 2.4;
        # repeated values keep their null separators.
        version = 4 if frames.version >= (2, 4, 0) else 3
        if version == 3:
            frames.update_to_v23()
        frames.save(target, v1=0, v2_version=version, v23_sep=None)
    try:
        APEv2(source).save(target)
    except APENoHeaderError:
        pass
    # Last, at the very end: writing an APEv2 tag drops an ID3v1 one after it.
    _copy_id3v1(source, target)


def _copy_id3v1(source: Path, target: Path) -> None:
    """The fixed 128 bytes of an ID3v1 tag at the end of the file, as they are."""
    with open(source, "rb") as original:
        if os.fstat(original.fileno()).st_size < _ID3V1_BYTES:
            return
        original.seek(-_ID3V1_BYTES, os.SEEK_END)
        tag = original.read(_ID3V1_BYTES)
    if tag.startswith(b"TAG"):
        with open(target, "ab") as encoded:
            encoded.write(tag)
