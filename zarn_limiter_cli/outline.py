"""A long signal reduced to the lowest and highest value of each of a few thousand stretches.

Drawing this instead of every sample keeps long files quick to plot and
small to hand back from a worker, and still shows every peak.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

STRETCHES = 4000


@dataclass(frozen=True)
class Outline:
    """First frame of each stretch, and the lowest and highest sample in it over all channels."""

    starts: NDArray[np.intp]
    lowest: NDArray[np.float32]
    highest: NDArray[np.float32]


def outline(signal: NDArray[np.float32]) -> Outline:
    """The outline of a (channels, frames) signal."""
    frames = signal.shape[1]
    step = max(1, math.ceil(frames / STRETCHES))
    starts = np.arange(0, frames, step)
    if frames == 0:
        empty = np.zeros(0, dtype=np.float32)
        return Outline(starts, empty, empty)
    lowest = np.minimum.reduceat(signal, starts, axis=1).min(axis=0)
    highest = np.maximum.reduceat(signal, starts, axis=1).max(axis=0)
    return Outline(starts, lowest.astype(np.float32), highest.astype(np.float32))


@dataclass(frozen=True)
class PlotData:
    """What the plot of one file needs: outlines before and after, and of the frame gains."""

    name: str
    sample_rate: int
    ceiling_dBFS: float
    before: Outline
    after: Outline
    gains: Outline
