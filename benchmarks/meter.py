"""Benchmark of zarn_limiter_stream.LoudnessMeter against pyloudnorm.

On the same 10 minutes of stereo 48 kHz music-like noise (float32), in one
run: LoudnessMeter with everything but the reconstructed peak, fed in blocks
of 65,536 frames; pyloudnorm's integrated loudness alone (on the float64 copy
it works on); and LoudnessMeter with the reconstructed peak too. Prints the
best of --runs timings of each, in wall-clock time and in the CPU time of
the process (steadier on a machine that other work shares), and the
readings.

    python benchmarks/meter.py [--minutes M] [--runs N]
"""

from __future__ import annotations

import argparse
import time
from typing import Callable

import numpy as np
import pyloudnorm

from zarn_limiter_stream import Loudness, LoudnessMeter

SAMPLE_RATE = 48000
BLOCK_FRAMES = 65536


def music_like(frames: int, seed: int = 1) -> np.ndarray:
    """(frames, 2) float32: noise shaped by a beat and a slow swell, a bass
    and a chord, at about -14 LUFS."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames) / SAMPLE_RATE
    beat = np.exp(-12.0 * (t % 0.5))
    swell = 0.6 + 0.4 * np.sin(2 * np.pi * t / 37.0)
    tones = 0.2 * np.sin(2 * np.pi * 55.0 * t) + 0.1 * np.sin(2 * np.pi * 440.0 * t)
    out = np.empty((frames, 2), dtype=np.float32)
    for channel in range(2):
        noise = rng.standard_normal(frames) * 0.15 * beat
        out[:, channel] = (noise + tones) * swell
    return out


def meter(audio: np.ndarray, reconstructed: bool) -> Loudness:
    loudness_meter = LoudnessMeter(SAMPLE_RATE, audio.shape[1], reconstructed=reconstructed)
    for start in range(0, len(audio), BLOCK_FRAMES):
        loudness_meter.add(audio[start : start + BLOCK_FRAMES])
    return loudness_meter.result()


def best_of(runs: int, work: Callable[[], object]) -> tuple[float, float, object]:
    """The shortest wall-clock and CPU times of `runs` calls, and a result."""
    walls, cpus = [], []
    for _ in range(runs):
        wall, cpu = time.perf_counter(), time.process_time()
        value = work()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
    return min(walls), min(cpus), value


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=10.0, help="programme length (10)")
    parser.add_argument("--runs", type=int, default=3, help="timings per measurement (3)")
    options = parser.parse_args()

    audio = music_like(int(options.minutes * 60 * SAMPLE_RATE))
    as_float64 = audio.astype(np.float64)
    reference = pyloudnorm.Meter(SAMPLE_RATE)

    ours, ours_cpu, result = best_of(options.runs, lambda: meter(audio, False))
    theirs, theirs_cpu, integrated = best_of(
        options.runs, lambda: reference.integrated_loudness(as_float64))
    full, full_cpu, with_peak = best_of(options.runs, lambda: meter(audio, True))

    assert isinstance(result, Loudness) and isinstance(with_peak, Loudness)
    print(f"{options.minutes:g} min of stereo {SAMPLE_RATE} Hz, best of {options.runs}"
          " (wall-clock, CPU)")
    print(f"  LoudnessMeter (all but the reconstructed peak): {ours:7.3f} s {ours_cpu:7.3f} s"
          f"  integrated {result.integrated_LUFS:.3f} LUFS")
    print(f"  pyloudnorm integrated_loudness:                 {theirs:7.3f} s {theirs_cpu:7.3f} s"
          f"  integrated {integrated:.3f} LUFS")
    print(f"  speed-up over pyloudnorm: {theirs / ours:.1f}x wall-clock,"
          f" {theirs_cpu / ours_cpu:.1f}x CPU")
    print(f"  LoudnessMeter with the reconstructed peak:      {full:7.3f} s {full_cpu:7.3f} s"
          f"  ({full / ours:.1f}x the time without it)")
    print(f"  loudness range {result.loudness_range_LU:.2f} LU, momentary max"
          f" {result.momentary_max_LUFS:.2f} LUFS, short-term max"
          f" {result.short_term_max_LUFS:.2f} LUFS")
    print(f"  sample peak {result.sample_peak_dBFS:.3f} dBFS, true peak"
          f" {result.true_peak_dBTP:.3f} dBTP, reconstructed peak"
          f" {with_peak.reconstructed_peak_dBFS:.3f} dBFS")


if __name__ == "__main__":
    main()
