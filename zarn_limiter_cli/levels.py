"""Sample levels: the peak of a block of samples, and amplitudes in decibels."""

from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray


def magnitude(audio: NDArray[np.floating]) -> float:
    """The largest absolute sample, without a temporary array of magnitudes."""
    return float(max(audio.max(initial=0.0), -audio.min(initial=0.0)))


def decibels(amplitude: float) -> float:
    """An amplitude relative to full scale (1.0) in dB; -inf for silence."""
    return 20.0 * math.log10(amplitude) if amplitude > 0.0 else -math.inf


def amplitude(level_dB: float) -> float:
    return float(10.0 ** (level_dB / 20.0))
