"""What is wrong with a sample the limiter cannot take, told from the file itself.

The limiter works on 32-bit floats, so a double-precision sample beyond
their range reaches it as infinity; the file's own value says whether the
sample is really not finite or only too large.
"""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np

from .sound_file_io import open_input

FLOAT32_MAX = float(np.finfo(np.float32).max)


def _value_in_file(source: Path, frame: int, channel: int) -> float:
    with open_input(source) as file:
        file.seek(frame)
        return float(file.read(1, dtype="float64", always_2d=True)[0, channel])


def describe_unusable_sample(source: Path | None, frame: int, channel: int) -> str:
    """One line on the sample at this frame and channel of the source (None: built-in)."""
    where = f"the sample at frame {frame}, channel {channel} (counting from 0)"
    value = math.nan if source is None else _value_in_file(source, frame, channel)
    if math.isfinite(value):
        return (f"{where} is {value:.3g}, beyond the ±{FLOAT32_MAX:.2g} that the "
                "limiter's 32-bit samples can hold")
    return f"{where} is not finite ({value})"
