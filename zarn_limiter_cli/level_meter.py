"""The levels of a stream of blocks, measured by the project's loudness meter.

Integrated loudness, loudness range, momentary and short-term maxima, true
peak and sample peak come from `zarn_limiter_stream.LoudnessMeter`; the
peak of the reconstructed signal too when a promise about it is asked for.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray


# The meter's K-weighting filters are designed for rates from here up.
LOWEST_METERED_RATE = 8000


@dataclass(frozen=True)
class Levels:
    """What the meter read, in dB; -inf where the programme is too short or silent, and
    no reconstructed peak unless the meter was asked for it."""

    integrated_LUFS: float
    loudness_range_LU: float
    momentary_max_LUFS: float
    short_term_max_LUFS: float
    true_peak_dBTP: float
    sample_peak_dBFS: float
    reconstructed_peak_dBFS: float | None

    @property
    def highest_peak_dB(self) -> float:
        """The higher of the true peak and, where measured, the reconstructed peak."""
        return max(self.true_peak_dBTP, self.reconstructed_peak_dBFS or -np.inf)


class LevelMeter:
    """Feed (frames, channels) float32 blocks in order, then read `levels()`."""

    def __init__(self, sample_rate: int, channels: int, weights: tuple[float, ...] | None,
                 reconstructed: bool) -> None:
        import zarn_limiter_stream

        self._meter = zarn_limiter_stream.LoudnessMeter(
            sample_rate, channels, weights=weights, reconstructed=reconstructed
        )

    def add(self, block: NDArray[np.float32]) -> None:
        self._meter.add(block)

    def levels(self) -> Levels:
        found = self._meter.result()
        return Levels(
            found.integrated_LUFS, found.loudness_range_LU, found.momentary_max_LUFS,
            found.short_term_max_LUFS, found.true_peak_dBTP, found.sample_peak_dBFS,
            found.reconstructed_peak_dBFS,
        )
