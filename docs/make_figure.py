"""Draw docs/limiting.png: a loud transient before and after limiting, with the gain.

    python3 docs/make_figure.py [OUTPUT.png]

The signal is synthetic and seeded, so the picture is the same on every run.
"""

from __future__ import annotations

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
from numpy.typing import NDArray

import zarn_limiter

SAMPLE_RATE = 48000
CEILING_DBFS = -1.0
ATTACK_MS = 5.0
HOLD_MS = 15.0
RELEASE_MS = 40.0
ONSET_S = 0.030
DURATION_S = 0.140


def transient_over_tone() -> NDArray[np.float32]:
    """A steady tone at half scale hit by a drum-like burst that peaks near +5 dBFS."""
    rng = np.random.default_rng(7)
    t = np.arange(int(DURATION_S * SAMPLE_RATE)) / SAMPLE_RATE
    tone = 0.5 * np.sin(2 * np.pi * 220.0 * t)
    after_onset = np.clip(t - ONSET_S, 0.0, None)
    decay = np.where(t >= ONSET_S, np.exp(-after_onset / 0.004), 0.0)
    body = np.sin(2 * np.pi * 180.0 * after_onset) + 0.35 * rng.standard_normal(t.size)
    return (tone + 1.3 * decay * body).astype(np.float32)


def phases(frame_gains: NDArray[np.float32]) -> tuple[int, int, int]:
    """First reduced frame, first frame at the lowest gain, last frame at the lowest gain."""
    reduced = np.flatnonzero(frame_gains < 1.0)
    lowest = np.flatnonzero(frame_gains == frame_gains.min())
    return int(reduced[0]), int(lowest[0]), int(lowest[-1])


def draw(output: Path) -> None:
    before = transient_over_tone()
    limited, frame_gains = zarn_limiter.limit(
        before,
        SAMPLE_RATE,
        threshold_dBFS=CEILING_DBFS,
        attack_ms=ATTACK_MS,
        hold_ms=HOLD_MS,
        release_ms=RELEASE_MS,
    )
    ceiling = 10.0 ** (CEILING_DBFS / 20.0)
    ms = np.arange(before.size) / SAMPLE_RATE * 1000.0
    ramp_start, hold_start, hold_end = (ms[i] for i in phases(frame_gains))

    figure, (wave_axes, gain_axes) = plt.subplots(
        2, 1, sharex=True, figsize=(9, 5.6), height_ratios=(3, 2), layout="constrained"
    )
    wave_axes.plot(ms, before, color="0.65", linewidth=0.9, label="input")
    wave_axes.plot(ms, limited, color="tab:blue", linewidth=0.9, label="limited")
    for level in (ceiling, -ceiling):
        wave_axes.axhline(level, color="tab:red", linestyle="--", linewidth=1.0)
    wave_axes.text(ms[-1], ceiling + 0.05, f"ceiling {CEILING_DBFS:g} dBFS", color="tab:red",
                   ha="right", va="bottom")
    wave_axes.set_ylabel("amplitude")
    wave_axes.set_ylim(-1.9, 1.9)
    wave_axes.legend(loc="lower right", ncols=2)
    wave_axes.set_title(
        f"A transient limited at {CEILING_DBFS:g} dBFS: attack {ATTACK_MS:g} ms, "
        f"hold {HOLD_MS:g} ms, release {RELEASE_MS:g} ms, {SAMPLE_RATE} Hz"
    )

    gain_dB = 20.0 * np.log10(frame_gains)
    gain_axes.plot(ms, gain_dB, color="tab:green", linewidth=1.5)
    bottom = float(gain_dB.min()) - 2.5
    for start, end, label, shade in (
        (ramp_start, hold_start, "attack", "0.93"),
        (hold_start, hold_end, "hold", "0.86"),
        (hold_end, ms[-1], "release", "0.93"),
    ):
        gain_axes.axvspan(start, end, color=shade, zorder=0)
        gain_axes.text((start + end) / 2, bottom + 0.4, label, ha="center", va="bottom")
    gain_axes.set_ylim(bottom, 0.8)
    gain_axes.set_ylabel("frame gain (dB)")
    gain_axes.set_xlabel("time (ms)")
    gain_axes.set_xlim(ms[0], ms[-1])
    gain_axes.grid(alpha=0.3)
    figure.savefig(output, dpi=100)
    plt.close(figure)


def main() -> None:
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("limiting.png")
    draw(output)
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
