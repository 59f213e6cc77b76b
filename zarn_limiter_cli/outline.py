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


class OutlineBuilder:
    """The outline of a signal fed in (frames, channels) blocks, for a known length."""

    def __init__(self, frames: int) -> None:
        self._step = max(1, math.ceil(frames / STRETCHES))
        self._starts = np.arange(0, max(frames, 0), self._step)
        self._lowest = np.full(self._starts.size, np.inf, dtype=np.float32)
        self._highest = np.full(self._starts.size, -np.inf, dtype=np.float32)
        self._position = 0

    def add(self, block: NDArray[np.float32]) -> None:
        if block.ndim == 1:
            block = block[:, np.newaxis]
        end = min(self._position + block.shape[0], self._starts.size * self._step)
        block = block[:end - self._position]
        if block.shape[0] == 0:
            return
        # Where each stretch that this block touches begins, within the block.
        first = self._position // self._step
        boundaries = np.arange(first, (end - 1) // self._step + 1) * self._step - self._position
        boundaries[0] = 0
        stretches = slice(first, first + boundaries.size)
        lowest = np.minimum.reduceat(block, boundaries, axis=0).min(axis=1)
        highest = np.maximum.reduceat(block, boundaries, axis=0).max(axis=1)
        self._lowest[stretches] = np.minimum(self._lowest[stretches], lowest)
        self._highest[stretches] = np.maximum(self._highest[stretches], highest)
        self._position = end

    def outline(self) -> Outline:
        fed = self._starts < self._position
        return Outline(self._starts[fed], self._lowest[fed], self._highest[fed])


@dataclass(frozen=True)
class PlotData:
    """What the plot of one file needs: outlines before and after, and of the frame gains."""

    name: str
    sample_rate: int
    ceiling_dBFS: float
    before: Outline
    after: Outline
    gains: Outline
