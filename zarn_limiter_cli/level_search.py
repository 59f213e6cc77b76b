"""The search for the gain before the limiter and the limiter's threshold that meet the
promises of a run: a peak ceiling, and the loudness of the written file.

Each pass limits and writes the whole file and measures what was written;
the search proposes the next pass from what the earlier ones gave, or gives
up with the reason when the promises cannot be met together.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

# The written file's integrated loudness is promised within this of the target.
LOUDNESS_TOLERANCE_LU = 0.1
# Aim this far inside the peak ceiling, so that the pass that lands there is within it.
PEAK_MARGIN_dB = 0.005
# Passes before the search gives up; the loudness takes two or three, the true peak one or two.
MOST_PASSES = 6
# Raising the gain by 1 dB must raise the loudness by at least this much to be worth
# another pass: below it the limiter takes nearly all of it away.
_LEAST_LOUDNESS_SLOPE = 0.1
_GAIN_SLOPES = (_LEAST_LOUDNESS_SLOPE, 1.5)


@dataclass(frozen=True)
class Attempt:
    """One pass's settings: the gain before the limiter and the limiter's sample ceiling."""

    gain_dB: float
    sample_ceiling_dBFS: float


@dataclass(frozen=True)
class Written:
    """What a pass wrote: the file's loudness, its highest peak (true or reconstructed,
    where those are promised) and its sample peak, in dB."""

    loudness_LUFS: float | None
    peak_dB: float
    sample_peak_dBFS: float


class LevelSearch:
    """Judge each pass against the promises and propose the next one."""

    def __init__(self, ceiling_dB: float, true_peak: bool, loudness_LUFS: float | None,
                 first: Attempt) -> None:
        # Without a true-peak promise the limiter alone keeps the sample peak within.
        self._ceiling_dB = ceiling_dB if true_peak else math.inf
        self._ceiling = f"{ceiling_dB:g} {'dBTP' if true_peak else 'dBFS'}"
        self._target = loudness_LUFS
        self._tried: list[tuple[Attempt, Written]] = []
        # Loudness gained per dB of gain and per dB of sample ceiling, learnt pass by pass.
        self._gain_slope, self._ceiling_slope = 1.0, 0.0
        self.attempt = first

    def accepts(self, written: Written) -> bool:
        """Whether the pass just made keeps every promise."""
        peak_within = written.peak_dB <= self._ceiling_dB
        return peak_within and (
            self._target is None or written.loudness_LUFS is not None
            and abs(written.loudness_LUFS - self._target) <= LOUDNESS_TOLERANCE_LU
        )

    def next(self, written: Written) -> str | None:
        """Move `attempt` on after a pass that was not accepted; the reason when giving up."""
        self._tried.append((self.attempt, written))
        self._learn()
        sample_ceiling_dBFS = self._next_sample_ceiling(written)
        gain_dB = self._next_gain(written, sample_ceiling_dBFS)
        if gain_dB is None or len(self._tried) >= MOST_PASSES:
            return self._why_not()
        self.attempt = Attempt(gain_dB, sample_ceiling_dBFS)
        return None

    def _next_sample_ceiling(self, written: Written) -> float:
        over_dB = written.peak_dB - (self._ceiling_dB - PEAK_MARGIN_dB)
        if over_dB <= 0.0:
            return self.attempt.sample_ceiling_dBFS
        # A sample ceiling above the file's sample peak changes nothing, so the
        # step is taken from what the file holds.
        base = min(self.attempt.sample_ceiling_dBFS, written.sample_peak_dBFS)
        return base - over_dB

    def _learn(self) -> None:
        """Fit the loudness's response to the gain and to the sample ceiling to the last
        two passes: the gain's where only the gain changed, else the ceiling's."""
        if len(self._tried) < 2:
            return
        (before, was), (now, is_) = self._tried[-2], self._tried[-1]
        if was.loudness_LUFS is None or is_.loudness_LUFS is None:
            return
        rise = is_.loudness_LUFS - was.loudness_LUFS
        gain_step = now.gain_dB - before.gain_dB
        ceiling_step = now.sample_ceiling_dBFS - before.sample_ceiling_dBFS
        if ceiling_step == 0.0 and gain_step != 0.0:
            self._gain_slope = rise / gain_step
        elif ceiling_step != 0.0:
            explained = rise - self._usable_gain_slope() * gain_step
            self._ceiling_slope = min(max(explained / ceiling_step, 0.0), 1.0)

    def _usable_gain_slope(self) -> float:
        return min(max(self._gain_slope, _GAIN_SLOPES[0]), _GAIN_SLOPES[1])

    def _next_gain(self, written: Written, sample_ceiling_dBFS: float) -> float | None:
        """The next gain, with what the new sample ceiling will take away made up; None
        when more gain would hardly raise the loudness."""
        gain_dB = self.attempt.gain_dB
        if self._target is None or written.loudness_LUFS is None:
            return gain_dB
        ceiling_step = sample_ceiling_dBFS - self.attempt.sample_ceiling_dBFS
        missing = self._target - written.loudness_LUFS - self._ceiling_slope * ceiling_step
        if missing > 0.0 and self._gain_slope < _LEAST_LOUDNESS_SLOPE:
            return None
        return gain_dB + missing / self._usable_gain_slope()

    def _why_not(self) -> str:
        if self._target is not None:
            reached = max((w.loudness_LUFS for _, w in self._tried
                           if w.loudness_LUFS is not None and w.peak_dB <= self._ceiling_dB),
                          default=-math.inf)
            if -math.inf < reached < self._target - LOUDNESS_TOLERANCE_LU:
                return (f"--loudness {self._target:g} LUFS cannot be reached within the "
                        f"{self._ceiling} ceiling: the written file reaches "
                        f"{reached:.1f} LUFS at most")
        highest = min(w.peak_dB for _, w in self._tried)
        return (f"the written file's peak stays {highest - self._ceiling_dB:.2g} dB above "
                f"the {self._ceiling} ceiling after {len(self._tried)} passes")
