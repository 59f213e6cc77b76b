"""The picture of one file: its waveform before and after limiting, and its gain."""

from __future__ import annotations

from pathlib import Path

import numpy as np

from .atomic_output import atomic_output
from .extras import require
from .levels import amplitude
from .outline import PlotData


def draw(path: Path, data: PlotData) -> None:
    matplotlib = require("matplotlib", "plot", "--plot")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (wave_axes, gain_axes) = plt.subplots(
        2, 1, sharex=True, figsize=(10, 6), height_ratios=(2, 1), layout="constrained"
    )
    for outline, label, colour in ((data.before, "before", "0.7"), (data.after, "after", "tab:blue")):
        wave_axes.fill_between(
            outline.starts / data.sample_rate, outline.lowest, outline.highest,
            color=colour, label=label, linewidth=0.5,
        )
    ceiling = amplitude(data.ceiling_dBFS)
    for level in (ceiling, -ceiling):
        wave_axes.axhline(level, color="tab:red", linestyle="--", linewidth=1)
    wave_axes.set_ylabel("amplitude")
    wave_axes.set_title(f"{data.name}: ceiling {data.ceiling_dBFS:g} dBFS (dashed)")
    wave_axes.legend(loc="upper right")
    with np.errstate(divide="ignore"):
        gain_dB = 20.0 * np.log10(data.gains.lowest)
    gain_axes.plot(data.gains.starts / data.sample_rate, gain_dB, color="tab:green")
    gain_axes.set_ylabel("gain (dB)")
    gain_axes.set_xlabel("time (s)")
    gain_axes.grid(alpha=0.3)
    try:
        with atomic_output(path) as output:
            figure.savefig(output.path, dpi=100, format=path.suffix[1:].lower())
            output.commit()
    finally:
        plt.close(figure)
