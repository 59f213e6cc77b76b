"""Benchmark of the zarn-limit command on one long file against a plain soundfile copy.

Synthesises a stereo 24-bit WAV file (10 minutes at 48 kHz by default, about
a quarter of its frames above the ceiling), then times, each in a fresh
process and in the same run:

- floor: a plain soundfile read of the whole file as float32 and a write of
  it as 24-bit PCM, the least any tool that rewrites the file must do;
- zarn-limit with its defaults;
- zarn-limit --report, which also measures the output's true peak.

It prints the median wall time of each, its ratio to the floor, and the
peak resident memory of each process beside the size of the file's float32
samples.

    python benchmarks/command.py [--minutes M] [--runs N] [--keep DIR]
"""

from __future__ import annotations

import argparse
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile as sf

RATE = 48000
BLOCK = 1 << 20

FLOOR = """
import sys, soundfile as sf
audio, rate = sf.read(sys.argv[1], dtype="float32")
sf.write(sys.argv[2], audio, rate, subtype="PCM_24")
"""

# Runs the command given and prints its peak resident memory in kilobytes.
MEASURED = """
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def synthesise(path: Path, minutes: float) -> int:
    """Write a music-like stereo 24-bit file, block by block; returns its frames."""
    frames = int(minutes * 60 * RATE)
    rng = np.random.default_rng(7)
    with sf.SoundFile(path, "w", RATE, 2, "PCM_24") as out:
        for start in range(0, frames, BLOCK):
            t = np.arange(start, min(frames, start + BLOCK)) / RATE
            chord = 0.3 * np.sin(2 * np.pi * 220 * t) + 0.25 * np.sin(2 * np.pi * 329.6 * t)
            kick = 0.9 * np.exp(-25.0 * (t % 0.5)) * np.sin(2 * np.pi * 55 * t)
            noise = 0.1 * rng.standard_normal((t.size, 2))
            block = np.stack([chord + kick, 0.9 * chord + kick], axis=1) + noise
            out.write(np.clip(block, -0.999, 0.999))
    return frames


def measure(command: list[str]) -> tuple[float, int]:
    """Wall time in seconds and peak memory in bytes of one run of `command`."""
    started = time.perf_counter()
    result = subprocess.run([sys.executable, "-c", MEASURED, *command],
                            check=True, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    return seconds, int(result.stdout.split()[-1]) * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--keep", type=Path, help="work in this folder and keep its files")
    arguments = parser.parse_args()
    folder = arguments.keep or Path(tempfile.mkdtemp(prefix="zarn-limit-benchmark-"))
    folder.mkdir(parents=True, exist_ok=True)
    source = folder / "long.wav"
    frames = synthesise(source, arguments.minutes)
    command = str(Path(sys.executable).with_name("zarn-limit"))
    cases = {
        "soundfile read + write": [sys.executable, "-c", FLOOR, str(source), str(folder / "copy.wav")],
        "zarn-limit": [command, str(source), "--quiet", "--overwrite"],
        "zarn-limit --report": [command, str(source), "--quiet", "--overwrite",
                                "--report", str(folder / "report.csv")],
    }
    samples_MB = frames * 2 * 4 / 1e6
    print(f"{arguments.minutes:g} minutes, stereo, 24-bit, {RATE} Hz: "
          f"float32 samples {samples_MB:.0f} MB; median of {arguments.runs} runs")
    floor = None
    for name, case in cases.items():
        runs = [measure(case) for _ in range(arguments.runs)]
        seconds = statistics.median(run[0] for run in runs)
        memory_MB = max(run[1] for run in runs) / 1e6
        floor = floor or seconds
        print(f"{name:24s} {seconds:6.2f} s  {seconds / floor:4.2f}x  "
              f"peak memory {memory_MB:6.0f} MB ({memory_MB / samples_MB:.2f}x the samples)")
    if arguments.keep is None:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
