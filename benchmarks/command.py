"""Benchmark of the zarn-limit command on one long file, side by side with what any tool
that rewrites the file must do, and with ffmpeg's limiter.

Synthesises a stereo 24-bit WAV file (10 minutes at 48 kHz by default, about
a quarter of its frames above the ceiling), then times, each in a fresh
process and in the same run:

- floor: a block-by-block soundfile read of the file as float32 and a write
  of it as 24-bit PCM, the least any tool that rewrites the file must do;
- the same as one whole-file read and write;
- `ffmpeg -af alimiter=limit=-1dB:level=false`, when ffmpeg is installed;
- zarn-limit with its defaults;
- zarn-limit --report, which measures loudness, loudness range and true peak
  of the input and of the written file;
- zarn-limit --loudness -16 --true-peak, which writes the file in passes.

It prints the median wall time and processor time (user and system, all
threads: the fairer figure on a shared machine) of each, their ratios to the
floor, and the peak resident memory of each process. The cases take turns,
run after run, and each run's output is deleted as soon as it is measured:
on a long file the system's cost of writing depends on how much of the
memory the page cache already holds, and no case should always come after
the others' gigabytes. `--scale-minutes` adds the times
scaled linearly to another length (the work per frame is the same whatever
the length; the memory does not grow with it).

    python benchmarks/command.py [--minutes M] [--runs N] [--scale-minutes M] [--keep DIR]
"""

from __future__ import annotations

import argparse
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

FLOOR_BLOCKS = """
import sys, soundfile as sf
with sf.SoundFile(sys.argv[1]) as source, sf.SoundFile(
        sys.argv[2], "w", source.samplerate, source.channels, "PCM_24") as out:
    for block in source.blocks(1 << 16, dtype="float32"):
        out.write(block)
"""

FLOOR_WHOLE = """
import sys, soundfile as sf
audio, rate = sf.read(sys.argv[1], dtype="float32")
sf.write(sys.argv[2], audio, rate, subtype="PCM_24")
"""

# Runs the command given and prints its processor time in seconds and its peak
# resident memory in kilobytes.
MEASURED = """
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
used = resource.getrusage(resource.RUSAGE_CHILDREN)
print(used.ru_utime + used.ru_stime, used.ru_maxrss)
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


def measure(command: list[str]) -> tuple[float, float, int]:
    """Wall time and processor time in seconds, and peak memory in bytes, of one run."""
    started = time.perf_counter()
    result = subprocess.run([sys.executable, "-c", MEASURED, *command],
                            check=True, capture_output=True, text=True)
    seconds = time.perf_counter() - started
    processor, memory = result.stdout.split()[-2:]
    return seconds, float(processor), int(memory) * 1024


def cases(source: Path, folder: Path) -> dict[str, tuple[list[str], list[Path]]]:
    """Each case's command and the files it writes."""
    command = str(Path(sys.executable).with_name("zarn-limit"))
    limited = folder / "out" / f"{source.stem}_limited.wav"
    limit = [command, str(source), "--quiet", "--overwrite", "--output-dir", str(limited.parent)]
    blocks, whole, ffmpeg_out = (folder / f"{name}.wav" for name in ("blocks", "whole", "ffmpeg"))
    found = {
        "soundfile blocks r+w": ([sys.executable, "-c", FLOOR_BLOCKS, str(source), str(blocks)],
                                 [blocks]),
        "soundfile whole r+w": ([sys.executable, "-c", FLOOR_WHOLE, str(source), str(whole)],
                                [whole]),
    }
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg is not None:
        found["ffmpeg alimiter"] = ([
            ffmpeg, "-nostdin", "-y", "-loglevel", "error", "-i", str(source),
            "-af", "alimiter=limit=-1dB:level=false", "-c:a", "pcm_s24le", str(ffmpeg_out),
        ], [ffmpeg_out])
    report = folder / "report.csv"
    found["zarn-limit"] = (limit, [limited])
    found["zarn-limit --report"] = ([*limit, "--report", str(report)], [limited, report])
    found["zarn-limit --loudness"] = ([*limit, "--loudness", "-16", "--true-peak"], [limited])
    return found


def measure_deleting(command: list[str], outputs: list[Path]) -> tuple[float, float, int]:
    measured = measure(command)
    for output in outputs:
        output.unlink(missing_ok=True)
    return measured


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--scale-minutes", type=float, default=120.0,
                        help="also give the times scaled to this length (default: %(default)s)")
    parser.add_argument("--keep", type=Path, help="work in this folder and keep its files")
    arguments = parser.parse_args()
    folder = arguments.keep or Path(tempfile.mkdtemp(prefix="zarn-limit-benchmark-"))
    (folder / "out").mkdir(parents=True, exist_ok=True)
    source = folder / "long.wav"
    frames = synthesise(source, arguments.minutes)
    scale = arguments.scale_minutes / arguments.minutes
    print(f"{arguments.minutes:g} minutes, stereo, 24-bit, {RATE} Hz "
          f"({frames * 2 * 4 / 1e6:.0f} MB as float32); median of {arguments.runs} runs; "
          f"times scaled to {arguments.scale_minutes:g} minutes in brackets")
    floor: tuple[float, float] | None = None
    print(f"{'':24s} {'wall':>23s} {'processor':>23s}")
    found = cases(source, folder)
    measured: dict[str, list[tuple[float, float, int]]] = {name: [] for name in found}
    for _ in range(arguments.runs):
        for name, (command, outputs) in found.items():
            measured[name].append(measure_deleting(command, outputs))
    for name, runs in measured.items():
        seconds = statistics.median(run[0] for run in runs)
        processor = statistics.median(run[1] for run in runs)
        memory_MB = max(run[2] for run in runs) / 1e6
        floor = floor or (seconds, processor)
        print(f"{name:24s} {seconds:6.2f} s ({seconds * scale:6.1f}) {seconds / floor[0]:5.2f}x "
              f"{processor:6.2f} s ({processor * scale:6.1f}) {processor / floor[1]:5.2f}x  "
              f"peak memory {memory_MB:5.0f} MB")
    if arguments.keep is None:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
