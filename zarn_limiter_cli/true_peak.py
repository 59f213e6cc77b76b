"""True peak: the largest magnitude of the signal oversampled 4 times, as ITU-R BS.1770 measures it.

The oversampling is scipy's polyphase resampler with a windowed-sinc
low-pass filter. The meter is fed block by block, so a file of any length
is measured in constant memory.
"""

from __future__ import annotations

import numpy as np
import scipy.signal
from numpy.typing import NDArray

from .levels import magnitude

OVERSAMPLING = 4
# A windowed sinc reaching 10 input samples each side; scipy's own design.
_FILTER = scipy.signal.firwin(2 * 10 * OVERSAMPLING + 1, 1.0 / OVERSAMPLING, window=("kaiser", 5.0))
# Each output frame depends on this many input frames on either side.
_REACH = 12
# No oversampled value exceeds the local sample peak times the largest sum of
# magnitudes of one phase of the filter: stretches that cannot beat the peak
# found so far are not oversampled at all.
_GAIN_BOUND = max(
    float(np.abs(_FILTER[phase::OVERSAMPLING] * OVERSAMPLING).sum())
    for phase in range(OVERSAMPLING)
)
_CHUNK_FRAMES = 4096


class TruePeakMeter:
    """Feed (frames, channels) blocks in order, then `finish()` for the peak as a magnitude."""

    def __init__(self, channels: int) -> None:
        # Silence before the first frame, as the resampler pads the whole signal.
        self._context = np.zeros((_REACH, channels), dtype=np.float32)
        self._peak = 0.0

    def add(self, block: NDArray[np.float32]) -> None:
        for start in range(0, block.shape[0], _CHUNK_FRAMES):
            self._add_chunk(block[start:start + _CHUNK_FRAMES])

    def finish(self) -> float:
        self._add_chunk(np.zeros((_REACH, self._context.shape[1]), dtype=np.float32))
        return self._peak

    def _add_chunk(self, chunk: NDArray[np.float32]) -> None:
        data = np.concatenate([self._context, chunk])
        # Frames [_REACH, len - _REACH) have their full context in `data`.
        self._context = data[-2 * _REACH:]
        if data.shape[0] <= 2 * _REACH or _GAIN_BOUND * magnitude(data) <= self._peak:
            return
        oversampled = scipy.signal.resample_poly(
            data, OVERSAMPLING, 1, axis=0, window=_FILTER
        )[OVERSAMPLING * _REACH:OVERSAMPLING * (data.shape[0] - _REACH)]
        self._peak = max(self._peak, magnitude(oversampled))
