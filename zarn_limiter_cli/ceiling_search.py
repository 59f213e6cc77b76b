"""The search for the sample ceiling that keeps the written file's true peak within the ceiling."""

from __future__ import annotations

# Aim this far below the ceiling, so that the pass that lands there is within it.
MARGIN_dB = 0.005
# The true peak follows the sample ceiling nearly dB for dB; a measured slope
# outside these bounds is noise and is not followed.
_SLOPES = (0.25, 4.0)


class SampleCeilingSearch:
    """Propose the next sample ceiling from the true peaks the earlier ones gave.

    The first step lowers the sample ceiling by the overshoot; later steps
    follow the slope between the last two passes (a secant step).
    """

    def __init__(self, ceiling_dBFS: float) -> None:
        self._target_dB = ceiling_dBFS - MARGIN_dB
        self._last: tuple[float, float] | None = None

    def next(self, sample_ceiling_dBFS: float, true_peak_dB: float) -> float:
        slope = 1.0
        if self._last is not None and self._last[0] != sample_ceiling_dBFS:
            measured = (true_peak_dB - self._last[1]) / (sample_ceiling_dBFS - self._last[0])
            slope = min(max(measured, _SLOPES[0]), _SLOPES[1])
        self._last = (sample_ceiling_dBFS, true_peak_dB)
        return sample_ceiling_dBFS + (self._target_dB - true_peak_dB) / slope
