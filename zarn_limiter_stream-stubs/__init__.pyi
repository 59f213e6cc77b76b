"""Streaming companions of zarn_limiter: the limiter block by block, with the
same results as the whole buffer, and a loudness and true-peak meter."""

from typing import Self, SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["StreamLimiter"]

_FloatLike: TypeAlias = SupportsFloat | SupportsIndex
_Result: TypeAlias = tuple[NDArray[np.float32], NDArray[np.float32]]

@final
class StreamLimiter:
    """The look-ahead brick-wall limiter over a stream that arrives block by block."""

    def __new__(
        cls,
        sample_rate: SupportsIndex,
        channels: SupportsIndex,
        threshold_dBFS: _FloatLike = 0.0,
        attack_ms: _FloatLike = 5.0,
        hold_ms: _FloatLike = 15.0,
        release_ms: _FloatLike = 40.0,
    ) -> Self: ...
    def process(self, block: ArrayLike, out: _Result | None = None) -> _Result:
        """Limit the next block of the stream."""
    def flush(self, out: _Result | None = None) -> _Result:
        """End the stream: return the frames still held back, limited as its end."""
    @property
    def latency(self) -> int:
        """Frames held back: the look-ahead in samples."""
    @property
    def channels(self) -> int:
        """Channels of every block."""
    @property
    def sample_rate(self) -> int:
        """Sample rate in hertz."""
    @property
    def threshold_dBFS(self) -> float:
        """Output ceiling in dBFS."""
