"""Each channel's weight in the loudness of a file, from the speakers its header names.

ITU-R BS.1770 weights the surround channels by 1.41 and leaves the LFE
channel out. Which channel feeds which speaker is the file's channel mask
(WAVE_FORMAT_EXTENSIBLE, CAF's layout), which libsndfile reads as a channel
map; files that name no speakers are weighted by the meter by their count.
"""

from __future__ import annotations

import soundfile as sf

# libsndfile's SFC_GET_CHANNEL_MAP_INFO and the SF_CHANNEL_MAP_* positions
# that BS.1770 weights differently from a front speaker. soundfile wraps
# neither, so the command is asked through its handle on the library.
_GET_CHANNEL_MAP_INFO = 0x1100
_LFE = 11
_SURROUNDS = frozenset({
    8,   # rear centre
    9,   # rear left
    10,  # rear right
    14,  # side left
    15,  # side right
})
SURROUND_WEIGHT = 1.41


def _channel_map(source: sf.SoundFile) -> list[int] | None:
    from soundfile import _ffi, _snd

    positions = _ffi.new("int[]", source.channels)
    if not _snd.sf_command(source._file, _GET_CHANNEL_MAP_INFO, positions,
                           _ffi.sizeof(positions)):
        return None
    return list(positions)


def _weight(position: int) -> float:
    if position == _LFE:
        return 0.0
    return SURROUND_WEIGHT if position in _SURROUNDS else 1.0


def channel_weights(source: sf.SoundFile) -> tuple[float, ...] | None:
    """The loudness weight of each channel; None when the file names no speakers."""
    positions = _channel_map(source)
    if positions is None or not any(positions):
        return None
    return tuple(_weight(position) for position in positions)
