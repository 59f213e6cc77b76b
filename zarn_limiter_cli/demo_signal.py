"""The built-in test signal, limited when the command is given no input."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from .file_format import FileFormat
from .quantisation import Encoding

SAMPLE_RATE = 48000
NAME = "built-in test signal"
FORMAT = FileFormat(Encoding("WAV", "FLOAT", "FILE", SAMPLE_RATE), channels=2)


def demo_signal(seconds: float = 2.0) -> NDArray[np.float32]:
    """A stereo chord with drum-like bursts that overshoot full scale, (channels, frames)."""
    t = np.arange(int(SAMPLE_RATE * seconds)) / SAMPLE_RATE
    chord = 0.4 * np.sin(2 * np.pi * 220.0 * t) + 0.3 * np.sin(2 * np.pi * 277.2 * t)
    bursts = 1.6 * np.exp(-30.0 * (t % 0.5)) * np.sin(2 * np.pi * 60.0 * t)
    return np.stack([chord + bursts, 0.8 * chord + 0.9 * bursts]).astype(np.float32)
