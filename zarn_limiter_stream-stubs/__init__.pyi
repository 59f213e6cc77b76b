"""Streaming companions of zarn_limiter: the limiter block by block, with the
same results as the whole buffer, a loudness and true-peak meter, and the
coding of samples as files store them."""

from collections.abc import Iterable
from typing import Any, Final, Literal, Self, SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
from _typeshed import ReadableBuffer, WriteableBuffer, structseq
from numpy.typing import ArrayLike, NDArray

__all__ = ["StreamLimiter", "LoudnessMeter", "Loudness", "decode_samples", "encode_samples"]

_FloatLike: TypeAlias = SupportsFloat | SupportsIndex
_Result: TypeAlias = tuple[NDArray[np.float32], NDArray[np.float32]]
_SampleType: TypeAlias = Literal["int16", "int24", "int32", "float32", "float64"]
_ByteOrder: TypeAlias = Literal["little", "big"]

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

@final
class LoudnessMeter:
    def __new__(
        cls,
        sample_rate: SupportsIndex,
        channels: SupportsIndex,
        weights: Iterable[_FloatLike] | None = None,
        reconstructed: bool = False,
    ) -> Self: ...
    def add(self, block: ArrayLike) -> None: ...
    def result(self) -> Loudness: ...
    @property
    def sample_rate(self) -> int: ...
    @property
    def channels(self) -> int: ...
    @property
    def weights(self) -> tuple[float, ...]: ...
    @property
    def reconstructed(self) -> bool: ...

@final
class Loudness(
    structseq[Any],
    tuple[float, float, float, float, float, tuple[float, ...], float, float | None],
):
    __match_args__: Final = (
        "integrated_LUFS",
        "loudness_range_LU",
        "momentary_max_LUFS",
        "short_term_max_LUFS",
        "true_peak_dBTP",
        "channel_true_peaks_dBTP",
        "sample_peak_dBFS",
        "reconstructed_peak_dBFS",
    )
    @property
    def integrated_LUFS(self) -> float: ...
    @property
    def loudness_range_LU(self) -> float: ...
    @property
    def momentary_max_LUFS(self) -> float: ...
    @property
    def short_term_max_LUFS(self) -> float: ...
    @property
    def true_peak_dBTP(self) -> float: ...
    @property
    def channel_true_peaks_dBTP(self) -> tuple[float, ...]: ...
    @property
    def sample_peak_dBFS(self) -> float: ...
    @property
    def reconstructed_peak_dBFS(self) -> float | None: ...

def decode_samples(
    data: ReadableBuffer, out: NDArray[np.float32], sample_type: _SampleType, byteorder: _ByteOrder
) -> None:
    """Turn samples as a file stores them into float32 values."""

def encode_samples(
    samples: NDArray[np.float32], out: WriteableBuffer, sample_type: _SampleType,
    byteorder: _ByteOrder,
) -> None:
    """Turn float32 values into samples as a file stores them."""
