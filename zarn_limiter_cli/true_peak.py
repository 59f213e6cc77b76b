"""True peak: the largest magnitude of the signal oversampled 4 times, as ITU-R BS.1770 measures it.

The oversampling is scipy's polyphase interpolation with the windowed-sinc
low-pass filter that scipy designs for 4x resampling. The meter is fed block by block, so a file of any length
is measured in constant memory.
"""

from __future__ import annotations

import functools
from types import ModuleType

import numpy as np
from numpy.typing import NDArray

from .levels import magnitude

OVERSAMPLING = 4
_FILTER_REACH = 10
# Frames of context kept on either side of what is measured: the filter's reach and a little.
_REACH = 12
_CHUNK_FRAMES = 4096


@functools.cache
def _oversampling() -> tuple[ModuleType, NDArray[np.float32], float]:
    """scipy.signal, the interpolation filter, and the largest gain any of its phases has.

    Imported on first use: scipy.signal takes seconds to import, and a run
    that measures no true peak should not wait for it.
    """
    import scipy.signal

    # scipy's own design for 4x resampling: a Kaiser-windowed sinc reaching 10
    # input samples each side, with the gain of the inserted zeros made up.
    taps = OVERSAMPLING * scipy.signal.firwin(
        2 * _FILTER_REACH * OVERSAMPLING + 1, 1.0 / OVERSAMPLING, window=("kaiser", 5.0)
    )
    # No oversampled value exceeds the local sample peak times the largest sum
    # of magnitudes of one phase of the filter.
    bound = max(float(np.abs(taps[phase::OVERSAMPLING]).sum()) for phase in range(OVERSAMPLING))
    return scipy.signal, taps.astype(np.float32), bound


class TruePeakMeter:
    """Feed (frames, channels) blocks in order, then `finish()` for the peak as a magnitude."""

    def __init__(self, channels: int) -> None:
        self._signal, self._filter, self._gain_bound = _oversampling()
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
        # Stretches that cannot beat the peak found so far are not oversampled.
        if data.shape[0] <= 2 * _REACH or self._gain_bound * magnitude(data) <= self._peak:
            return
        # Channel-major float32 is the resampler's fastest layout; output n of
        # the full convolution is the value 1/4 frame times (n - delay) in.
        delay = _FILTER_REACH * OVERSAMPLING
        oversampled = self._signal.upfirdn(
            self._filter, np.ascontiguousarray(data.T), OVERSAMPLING, axis=1
        )[:, OVERSAMPLING * _REACH + delay:OVERSAMPLING * (data.shape[0] - _REACH) + delay]
        self._peak = max(self._peak, magnitude(oversampled))
