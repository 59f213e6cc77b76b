"""How a file's subtype rounds the samples written to it, asked of libsndfile itself.

Rounding to a PCM grid can lift a sample that the limiter left just under the
ceiling above it. Rather than restating each format's scaling and rounding,
the command writes probe samples to an in-memory file of the same format and
reads them back, so the answer is whatever the installed libsndfile does.
"""

from __future__ import annotations

import functools
import io
import math
from dataclasses import dataclass

import numpy as np
import soundfile as sf
from numpy.typing import NDArray

from .errors import UsageError
from .limiter_settings import applied_ceiling

# Subtypes that map each sample on its own, through a fixed rounding that
# keeps the order of values: their written peak follows from the limiter's.
# The others (lossy codecs, adaptive ones) are measured after writing.
ROUNDING_SUBTYPES = frozenset({
    "PCM_S8", "PCM_U8", "PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE", "ULAW", "ALAW",
    "ALAC_16", "ALAC_20", "ALAC_24", "ALAC_32",
})


# A threshold for a ceiling below the format's smallest step: silence.
_SILENCE_dBFS = -1000.0


@dataclass(frozen=True)
class Encoding:
    """How a file stores its samples."""

    container: str
    subtype: str
    endian: str
    sample_rate: int

    @property
    def predictable(self) -> bool:
        """True when the written peak can be known without reading the file back."""
        return self.subtype in ROUNDING_SUBTYPES


def round_trip(encoding: Encoding, samples: NDArray[np.float32]) -> NDArray[np.float64]:
    """The samples as a file of this encoding holds them, read back exactly."""
    buffer = io.BytesIO()
    with sf.SoundFile(
        buffer, "w", samplerate=encoding.sample_rate, channels=1, format=encoding.container,
        subtype=encoding.subtype, endian=encoding.endian,
    ) as probe:
        probe.write(samples)
    buffer.seek(0)
    written: NDArray[np.float64] = sf.read(buffer, dtype="float64")[0]
    return written


def written_peak(encoding: Encoding, highest: float, lowest: float) -> float:
    """The file's sample peak when the largest sample is `highest` and the least `lowest`."""
    written = round_trip(encoding, np.array([highest, lowest], dtype=np.float32))
    return float(np.abs(written).max())


def _stays_within(encoding: Encoding, magnitude: np.float32, ceiling: float) -> bool:
    written = round_trip(encoding, np.array([magnitude, -magnitude], dtype=np.float32))
    # A sample pushed past full scale can wrap around to the other sign.
    return bool(abs(written[0]) <= ceiling and abs(written[1]) <= ceiling
                and written[0] >= 0.0 >= written[1])


def _float32_of_bits(bits: int) -> np.float32:
    return np.float32(np.frombuffer(np.int32(bits).tobytes(), dtype=np.float32)[0])


@functools.lru_cache(maxsize=64)
def sample_threshold_dBFS(encoding: Encoding, ceiling_dBFS: float) -> float:
    """The limiter threshold whose output, written in this encoding, stays within the ceiling.

    It is the largest float32 magnitude that the format writes at or below
    the ceiling, found by bisection over the float32 values, as dBFS that
    the library turns back into that magnitude or less.
    """
    ceiling = 10.0 ** (ceiling_dBFS / 20.0)
    if not encoding.predictable:
        return ceiling_dBFS
    # Positive float32 values are ordered like their bit patterns.
    low = 0
    high = int(np.array(np.float32(min(ceiling, 1.0))).view(np.int32))
    while high > low:
        middle = (low + high + 1) // 2
        if _stays_within(encoding, _float32_of_bits(middle), ceiling):
            low = middle
        else:
            high = middle - 1
    magnitude = float(_float32_of_bits(low))
    if magnitude == 0.0:
        return _SILENCE_dBFS
    threshold_dBFS = min(0.0, 20.0 * math.log10(magnitude))
    while applied_ceiling(threshold_dBFS) > magnitude:
        threshold_dBFS = math.nextafter(threshold_dBFS, -math.inf)
    return threshold_dBFS


@functools.lru_cache(maxsize=64)
def _smallest_written_level(encoding: Encoding) -> float:
    """The least nonzero magnitude a file of this encoding holds (A-law's zero is not zero)."""
    low, high = 0, int(np.array(np.float32(1.0)).view(np.int32))
    # Positive float32 values are ordered like their bit patterns.
    while high > low:
        middle = (low + high) // 2
        if round_trip(encoding, np.array([_float32_of_bits(middle)]))[0] != 0.0:
            high = middle
        else:
            low = middle + 1
    return float(abs(round_trip(encoding, np.array([_float32_of_bits(low)]))[0]))


def check_ceiling_fits(encoding: Encoding, ceiling_dBFS: float) -> None:
    """Refuse a ceiling below every level the format can write but silence.

    Within such a ceiling the file could only be silence (or, for A-law,
    whose quietest sample is not zero, not even that).
    """
    if not encoding.predictable:
        return
    smallest = _smallest_written_level(encoding)
    if smallest <= 10.0 ** (ceiling_dBFS / 20.0):
        return
    smallest_dBFS = 20.0 * math.log10(smallest)
    raise UsageError(
        f"--ceiling {ceiling_dBFS:g} dBFS is below the quietest sample {encoding.subtype} "
        f"can hold ({smallest_dBFS:.2f} dBFS): raise --ceiling or convert the file"
    )
