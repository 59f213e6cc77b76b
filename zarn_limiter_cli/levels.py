"""Sample levels: the peak of a block of samples, and amplitudes in decibels."""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray


def magnitude(audio: NDArray[np.floating]) -> float:
    """The largest absolute sample, without a temporary array of magnitudes."""
    return float(max(audio.max(initial=0.0), -audio.min(initial=0.0)))


# A gain reduction smaller than this is inaudible; frames reduced by more are
# what the report counts as reduced (the release leaves most frames a hair below 1).
AUDIBLE_REDUCTION_dB = 0.1
_AUDIBLY_REDUCED_GAIN = 10.0 ** (-AUDIBLE_REDUCTION_dB / 20.0)


def audibly_reduced(frame_gains: NDArray[np.float32]) -> int:
    """How many of these frames are reduced by more than AUDIBLE_REDUCTION_dB."""
    return int(np.count_nonzero(frame_gains < _AUDIBLY_REDUCED_GAIN))


def decibels(amplitude: float) -> float:
    """An amplitude relative to full scale (1.0) in dB; -inf for silence."""
    return 20.0 * math.log10(amplitude) if amplitude > 0.0 else -math.inf


def amplitude(level_dB: float) -> float:
    return float(10.0 ** (level_dB / 20.0))
