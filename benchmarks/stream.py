"""StreamLimiter against limit() on the same loud stereo audio, side by side.

Limits 10M frames (48 kHz, -1 dBFS ceiling, the loud music-like signal of
run.py): limit() on the whole buffer, in both layouts, and a StreamLimiter
fed 65,536-frame blocks of the (frames, channels) buffer, writing into
buffers reused from block to block (out=) and into new arrays. Prints the
median nanoseconds per frame of each.

    python benchmarks/stream.py [--frames N] [--runs N] [--block N]
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402  (the signals and the timing of the main benchmark)

import zarn_limiter  # noqa: E402
from zarn_limiter_stream import StreamLimiter  # noqa: E402


def stream_through(audio: np.ndarray, block: int, reuse: bool) -> None:
    stream = StreamLimiter(run.SAMPLE_RATE, audio.shape[1], run.CEILING_DBFS)
    out = None
    if reuse:
        room = block + stream.latency
        out = (np.empty((room, audio.shape[1]), np.float32), np.empty(room, np.float32))
    for start in range(0, len(audio), block):
        stream.process(audio[start:start + block], out=out)
    stream.flush(out=out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=10_000_000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--block", type=int, default=65536)
    options = parser.parse_args()

    channels_first = run.scaled(run.music_like(options.frames, 2), loud=True).astype(np.float32)
    frames_first = np.ascontiguousarray(channels_first.T)
    cases = {
        "limit(), whole buffer, (channels, frames)":
            lambda: zarn_limiter.limit(channels_first, run.SAMPLE_RATE, run.CEILING_DBFS),
        "limit(), whole buffer, (frames, channels), axis=0":
            lambda: zarn_limiter.limit(frames_first, run.SAMPLE_RATE, run.CEILING_DBFS, axis=0),
        f"StreamLimiter, {options.block}-frame blocks, out= reused":
            lambda: stream_through(frames_first, options.block, reuse=True),
        f"StreamLimiter, {options.block}-frame blocks, new arrays":
            lambda: stream_through(frames_first, options.block, reuse=False),
    }
    print(f"{options.frames} loud stereo float32 frames, median of {options.runs} runs")
    # Interleaved rounds, so that a change in the machine's load touches
    # every case alike.
    times: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(options.runs):
        for name, call in cases.items():
            times[name].append(run.median_ns(call, runs=1, warmup=0) / options.frames)
    for name, values in times.items():
        print(f"  {name:55s} {float(np.median(values)):6.2f} ns/frame")


if __name__ == "__main__":
    main()
