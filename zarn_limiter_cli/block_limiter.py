"""The stream limiter with the gain that comes before it, and what it did to the frames."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from .levels import amplitude, audibly_reduced
from .limiter_settings import LimiterSettings
from .outline import OutlineBuilder

Audio = NDArray[np.float32]


class BlockLimiter:
    """Limit (frames, channels) float32 blocks in order; `flush()` gives the frames held back.

    The gain is applied in place to each block handed in, which the caller
    reads into a buffer of its own. The outputs, concatenated, are
    `zarn_limiter.limit` of the whole gained signal. Each output is a view of
    one of two buffers used in turn, so that a long stream touches no fresh
    memory: a block's output stays valid while the next one is limited.
    """

    def __init__(self, settings: LimiterSettings, sample_rate: int, channels: int,
                 threshold_dBFS: float, gain_dB: float = 0.0,
                 gain_outline: OutlineBuilder | None = None) -> None:
        import zarn_limiter_stream

        self._stream = zarn_limiter_stream.StreamLimiter(
            sample_rate, channels, threshold_dBFS=threshold_dBFS, attack_ms=settings.attack_ms,
            hold_ms=settings.hold_ms, release_ms=settings.release_ms,
        )
        self._gain = None if gain_dB == 0.0 else np.float32(amplitude(gain_dB))
        self.lowest_gain = 1.0
        self.reduced_frames = 0
        self._gain_outline = gain_outline
        self._channels = channels
        self._outputs: list[tuple[Audio, Audio] | None] = [None, None]

    def process(self, block: Audio) -> Audio:
        if self._gain is not None:
            block *= self._gain
        audio, gains = self._stream.process(block, out=self._output(block.shape[0]))
        self._count(gains)
        limited: Audio = audio
        return limited

    def flush(self) -> Audio:
        audio, gains = self._stream.flush(out=self._output(0))
        self._count(gains)
        limited: Audio = audio
        return limited

    def _output(self, frames: int) -> tuple[Audio, Audio]:
        """The buffers for the next output: the one used two calls ago, grown if need be."""
        needed = frames + self._stream.latency
        pair = self._outputs[0]
        if pair is None or pair[1].shape[0] < needed:
            pair = (np.empty((needed, self._channels), dtype=np.float32),
                    np.empty(needed, dtype=np.float32))
        self._outputs = [self._outputs[1], pair]
        return pair

    def _count(self, gains: Audio) -> None:
        if self._gain_outline is not None:
            self._gain_outline.add(gains)
        if gains.size:
            self.lowest_gain = min(self.lowest_gain, float(gains.min()))
            self.reduced_frames += audibly_reduced(gains)
