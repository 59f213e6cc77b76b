"""Test audio for the zarn-limit tests: noise with loud bursts, written in any format."""

from pathlib import Path

import numpy as np
import soundfile as sf

RATE = 44100


def bursts(frames: int, channels: int, peak: float, seed: int = 0) -> np.ndarray:
    """(frames, channels) noise with loud bursts that reach `peak`."""
    rng = np.random.default_rng(seed)
    audio = 0.2 * rng.standard_normal((frames, channels))
    for start in range(frames // 7, frames, max(1, frames // 3)):
        audio[start:start + 300] *= 4.0
    return (audio * (peak / np.abs(audio).max(initial=1e-9))).astype(np.float32)


def make_file(path: Path, container: str, subtype: str, channels: int = 2,
              frames: int = 8000, peak: float = 0.99, seed: int = 0) -> None:
    with sf.SoundFile(path, "w", RATE, channels, subtype, format=container) as out:
        out.title = "bursts"
        out.write(bursts(frames, channels, peak, seed))


def leftovers(folder: Path) -> list[str]:
    """Temporary files anywhere below `folder`."""
    return sorted(str(p) for p in folder.rglob("*.part"))
