"""The limiter's settings in the command's units, checked by the library itself."""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

import zarn_limiter

from .errors import UsageError

# The library names its arguments; the user typed options.
_OPTION_OF_ARGUMENT = {
    "threshold_dBFS": "--ceiling",
    "attack_ms": "--attack",
    "hold_ms": "--hold",
    "release_ms": "--release",
}
# The look-ahead and hold windows hold a few numbers per sample; a window
# that would take more than the machine's memory is refused before trying.
_WINDOW_BYTES_PER_SAMPLE = 16


def _physical_memory() -> int | None:
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return None


@dataclass(frozen=True)
class LimiterSettings:
    """Ceiling, attack, hold and release as the user gave them."""

    ceiling_dBFS: float
    attack_ms: float
    hold_ms: float
    release_ms: float

    def _longest_window_option(self) -> str:
        return "--attack" if self.attack_ms >= self.hold_ms else "--hold"

    def check(self, sample_rate: int) -> None:
        """Refuse settings the library refuses at this rate, or that memory cannot hold."""
        window = (self.attack_ms + self.hold_ms) * sample_rate / 1000.0
        memory = _physical_memory()
        option = self._longest_window_option()
        if memory is not None and window * _WINDOW_BYTES_PER_SAMPLE > memory:
            raise UsageError(
                f"{option} is too long: the limiter's window of {window:.3g} samples at "
                f"{sample_rate} Hz would not fit in this machine's memory"
            )
        try:
            zarn_limiter.ZarnLimiter(
                sample_rate, self.ceiling_dBFS, self.attack_ms, self.hold_ms, self.release_ms
            )
        except ValueError:
            raise UsageError(self._refusal(sample_rate)) from None
        except MemoryError:
            raise UsageError(
                f"{option} is too long: the limiter cannot allocate its window of "
                f"{window:.3g} samples at {sample_rate} Hz"
            ) from None

    def _refusal(self, sample_rate: int) -> str:
        """Which setting the limiter refuses, said with the option's name and a short number.

        Each setting is tried alone beside the limiter's defaults, so the one
        at fault is known from the limiter's answer rather than its text, whose
        numbers are written out in full.
        """
        given = {"threshold_dBFS": self.ceiling_dBFS, "attack_ms": self.attack_ms,
                 "hold_ms": self.hold_ms, "release_ms": self.release_ms}
        for argument, value in given.items():
            try:
                zarn_limiter.ZarnLimiter(sample_rate, **{argument: value})
            except ValueError:
                return _refusal_text(_OPTION_OF_ARGUMENT[argument], value, sample_rate)
            except MemoryError:
                pass
        return "the limiter refuses these settings together"


def _refusal_text(option: str, value: float, sample_rate: int) -> str:
    if option == "--ceiling":
        return f"--ceiling must be a finite dBFS value less than or equal to 0, got {value:g}"
    if option == "--attack" and value >= 0.0:
        return f"--attack {value:g} rounds to zero samples at {sample_rate} Hz"
    return f"{option} must be finite and non-negative, got {value:g}"


def applied_ceiling(threshold_dBFS: float) -> float:
    """The largest sample magnitude the library lets through for this threshold."""
    return float(np.float32(zarn_limiter.ZarnLimiter(48000, threshold_dBFS).threshold))
