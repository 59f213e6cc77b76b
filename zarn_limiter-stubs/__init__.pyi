from typing import Self, SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["ZarnLimiter", "limit"]

# The float arguments go through Python's own float conversion, which takes
# anything with __float__ or __index__ (NumPy scalars included).
_FloatLike: TypeAlias = SupportsFloat | SupportsIndex

@final
class ZarnLimiter:
    def __new__(
        cls,
        sample_rate: SupportsIndex,
        threshold_dBFS: _FloatLike = 0.0,
        attack_ms: _FloatLike = 5.0,
        hold_ms: _FloatLike = 15.0,
        release_ms: _FloatLike = 40.0,
    ) -> Self: ...
    def process(
        self, audio: ArrayLike, axis: SupportsIndex = ...
    ) -> tuple[NDArray[np.float32], NDArray[np.float32]]: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def threshold(self) -> float: ...
    @property
    def threshold_dBFS(self) -> float: ...
    @property
    def lookahead_samples(self) -> int: ...
    @property
    def attack_samples(self) -> int: ...
    @property
    def hold_samples(self) -> int: ...
    @property
    def release_samples(self) -> float: ...

def limit(
    audio: ArrayLike,
    sample_rate: SupportsIndex,
    threshold_dBFS: _FloatLike = 0.0,
    attack_ms: _FloatLike = 5.0,
    hold_ms: _FloatLike = 15.0,
    release_ms: _FloatLike = 40.0,
    axis: SupportsIndex = ...,
) -> tuple[NDArray[np.float32], NDArray[np.float32]]: ...
