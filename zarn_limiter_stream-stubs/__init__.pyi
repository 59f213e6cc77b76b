from collections.abc import Iterable
from typing import Any, Final, Self, SupportsFloat, SupportsIndex, TypeAlias, final

from _typeshed import structseq
from numpy.typing import ArrayLike

__all__ = ["LoudnessMeter", "Loudness"]

_FloatLike: TypeAlias = SupportsFloat | SupportsIndex

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
