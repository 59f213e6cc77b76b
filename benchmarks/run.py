"""Benchmark of zarn_limiter: throughput, per-call overhead, threads and memory.

Runs every measurement in this process (memory in a subprocess), prints a
table and writes the figures as JSON. With --quick it uses shorter buffers and
fewer runs, for a check that the benchmark itself works.

    python benchmarks/run.py [--frames N] [--runs N] [--json FILE] [--quick]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import asdict, dataclass, field
from typing import Callable

import numpy as np

import zarn_limiter

SAMPLE_RATE = 48000
CEILING_DBFS = -1.0
CEILING = 10.0 ** (CEILING_DBFS / 20.0)


# ---------------------------------------------------------------- signals


def music_like(frames: int, channels: int, seed: int = 1) -> np.ndarray:
    """A (channels, frames) float64 signal with a chord, a bass line and
    drum-like bursts every half second, slightly different per channel."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames, dtype=np.float64) / SAMPLE_RATE
    beat = t % 0.5
    kick = np.exp(-25.0 * beat) * np.sin(2 * np.pi * 55.0 * t)
    snare_env = np.exp(-40.0 * ((t + 0.25) % 0.5))
    out = np.empty((channels, frames), dtype=np.float64)
    for c in range(channels):
        detune = 1.0 + 0.002 * c
        chord = sum(
            a * np.sin(2 * np.pi * f * detune * t + rng.uniform(0, 2 * np.pi))
            for f, a in ((220.0, 0.30), (277.2, 0.22), (329.6, 0.2), (110.0, 0.35))
        )
        swell = 0.75 + 0.25 * np.sin(2 * np.pi * 0.07 * t + c)
        noise = rng.standard_normal(frames)
        out[c] = swell * chord + (0.9 + 0.1 * (c % 2)) * kick + 0.35 * snare_env * noise
    return out


def scaled(signal: np.ndarray, loud: bool) -> np.ndarray:
    """Loud: about a quarter of the frames peak above the ceiling.
    Quiet: the whole signal stays at half the ceiling."""
    frame_peaks = np.abs(signal).max(axis=0)
    if loud:
        gain = CEILING / np.quantile(frame_peaks, 0.75)
    else:
        gain = 0.5 * CEILING / frame_peaks.max()
    return signal * gain


# ---------------------------------------------------------------- timing


def median_ns(call: Callable[[], object], runs: int, warmup: int = 1) -> float:
    for _ in range(warmup):
        call()
    samples = []
    for _ in range(runs):
        start = time.perf_counter_ns()
        call()
        samples.append(time.perf_counter_ns() - start)
    return float(statistics.median(samples))


@dataclass
class Row:
    group: str
    case: str
    signal: str
    what: str
    ns_per_frame: float
    frames: int
    extra: dict = field(default_factory=dict)

    @property
    def frames_per_second(self) -> float:
        return 1e9 / self.ns_per_frame

    @property
    def realtime_factor(self) -> float:
        return self.frames_per_second / SAMPLE_RATE


def throughput_cases(frames: int) -> list[tuple[str, str, np.ndarray, int]]:
    """(case, signal, audio, axis) for every layout and dtype measured."""
    cases = []
    for signal_name, loud in (("loud", True), ("quiet", False)):
        stereo = scaled(music_like(frames, 2), loud)
        eight = scaled(music_like(frames, 8), loud)
        cases += [
            ("mono float32", signal_name, stereo[0].astype(np.float32), -1),
            ("stereo (channels, frames) float32", signal_name, stereo.astype(np.float32), -1),
            ("stereo (frames, channels) float32", signal_name,
             np.ascontiguousarray(stereo.T.astype(np.float32)), 0),
            ("8 channels (channels, frames) float32", signal_name, eight.astype(np.float32), -1),
            ("stereo (channels, frames) float64", signal_name, stereo, -1),
        ]
        del eight
    # Integer samples are taken at face value (16384 is 16384.0, far above any
    # ceiling), so int16 input always runs the loud path.
    pcm = (scaled(music_like(frames, 2), True) / 1.5 * 32767).astype(np.int16)
    cases.append(("stereo (channels, frames) int16", "loud", pcm, -1))
    return cases


def measure_throughput(frames: int, runs: int, peers: dict) -> list[Row]:
    rows = []
    limiter = zarn_limiter.ZarnLimiter(SAMPLE_RATE, CEILING_DBFS)
    for case, signal_name, audio, axis in throughput_cases(frames):
        n = audio.shape[axis]
        ours = median_ns(lambda: zarn_limiter.limit(audio, SAMPLE_RATE, CEILING_DBFS, axis=axis), runs)
        rows.append(Row("throughput", case, signal_name, "limit()", ours / n, n))
        proc = median_ns(lambda: limiter.process(audio, axis=axis), runs)
        rows.append(Row("throughput", case, signal_name, "ZarnLimiter.process()", proc / n, n))
        floor = median_ns(lambda: np.copy(audio), runs)
        rows.append(Row("throughput", case, signal_name, "numpy.copy", floor / n, n,
                        {"ratio_to_limit": floor / ours}))
        if audio.dtype == np.float32 and axis == -1:
            planar = audio if audio.ndim == 2 else audio[np.newaxis, :]
            for name, make in peers.items():
                plugin = make()
                peer = median_ns(lambda: plugin.process(planar, SAMPLE_RATE, reset=True), runs)
                rows.append(Row("throughput", case, signal_name, name, peer / n, n,
                                {"ratio_to_limit": peer / ours}))
        print(f"  measured {case}, {signal_name}", file=sys.stderr, flush=True)
    return rows


def measure_overhead(runs: int) -> list[Row]:
    rows = []
    limiter = zarn_limiter.ZarnLimiter(SAMPLE_RATE, CEILING_DBFS)
    loops = 2000
    for frames in (64, 256, 1024):
        audio = scaled(music_like(frames, 2), True).astype(np.float32)

        def many_limit() -> None:
            for _ in range(loops):
                zarn_limiter.limit(audio, SAMPLE_RATE, CEILING_DBFS)

        def many_process() -> None:
            for _ in range(loops):
                limiter.process(audio)

        for what, call in (("limit()", many_limit), ("ZarnLimiter.process()", many_process)):
            per_call = median_ns(call, runs) / loops
            rows.append(Row("overhead", f"stereo {frames} frames", "loud", what, per_call / frames,
                            frames, {"us_per_call": per_call / 1000.0}))
    return rows


def measure_threads(frames: int, runs: int) -> list[Row]:
    audio = scaled(music_like(frames, 2), True).astype(np.float32)
    limiters = [zarn_limiter.ZarnLimiter(SAMPLE_RATE, CEILING_DBFS) for _ in range(2)]

    def one_thread() -> None:
        limiters[0].process(audio)
        limiters[0].process(audio)

    def two_threads() -> None:
        workers = [threading.Thread(target=lim.process, args=(audio,)) for lim in limiters]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    serial = median_ns(one_thread, runs)
    parallel = median_ns(two_threads, runs)
    return [
        Row("threads", "2 buffers on 1 thread", "loud", "ZarnLimiter.process()", serial / (2 * frames),
            frames),
        Row("threads", "2 buffers on 2 threads", "loud", "ZarnLimiter.process()",
            parallel / (2 * frames), frames, {"speedup": serial / parallel}),
    ]


MEMORY_PROBE = r"""
import json, sys
import numpy as np
import zarn_limiter

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(key)

frames, channels, axis, dtype = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
shape = (channels, frames) if axis != 0 else (frames, channels)
rng = np.random.default_rng(7)
audio = (rng.standard_normal(shape, dtype=np.float32) * 0.5).astype(dtype)
zarn_limiter.limit(audio[..., :16] if axis != 0 else audio[:16], 48000, -1.0, axis=axis)
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS")
out, gains = zarn_limiter.limit(audio, 48000, -1.0, axis=axis)
peak = status("VmHWM")
print(json.dumps({"input": audio.nbytes, "outputs": out.nbytes + gains.nbytes,
                  "extra_peak": peak - before}))
"""


def measure_memory(frames: int) -> list[Row]:
    rows = []
    for case, channels, axis, dtype in (
        ("stereo (channels, frames) float32", 2, -1, "float32"),
        ("stereo (frames, channels) float32", 2, 0, "float32"),
        ("stereo (channels, frames) float64", 2, -1, "float64"),
    ):
        done = subprocess.run(
            [sys.executable, "-c", MEMORY_PROBE, str(frames), str(channels), str(axis), dtype],
            check=True, capture_output=True, text=True,
        )
        figures = json.loads(done.stdout)
        rows.append(Row("memory", case, "noise", "limit()", float("nan"), frames, {
            "input_MB": figures["input"] / 1e6,
            "outputs_MB": figures["outputs"] / 1e6,
            "extra_peak_MB": figures["extra_peak"] / 1e6,
            "extra_over_outputs": figures["extra_peak"] / figures["outputs"],
        }))
    return rows


# ---------------------------------------------------------------- report


def peers_available() -> dict:
    try:
        import pedalboard
    except ImportError:
        return {}
    return {
        "pedalboard.BrickwallLimiter": lambda: pedalboard.BrickwallLimiter(
            ceiling_db=CEILING_DBFS, release_ms=40.0, lookahead_ms=5.0),
        "pedalboard.Limiter": lambda: pedalboard.Limiter(threshold_db=CEILING_DBFS, release_ms=40.0),
    }


def machine() -> dict:
    model = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(),
            "numpy": np.__version__, "platform": platform.platform()}


def print_table(rows: list[Row]) -> None:
    header = f"{'group':<10} {'case':<40} {'signal':<6} {'what':<29} {'ns/frame':>9} {'Mframes/s':>10} {'x realtime':>10}  extra"
    print(header)
    print("-" * len(header))
    for r in rows:
        if r.ns_per_frame == r.ns_per_frame:  # not NaN
            speed = f"{r.ns_per_frame:9.2f} {r.frames_per_second / 1e6:10.1f} {r.realtime_factor:10.0f}"
        else:
            speed = f"{'':9} {'':10} {'':10}"
        extra = ", ".join(f"{k}={v:.2f}" for k, v in r.extra.items())
        print(f"{r.group:<10} {r.case:<40} {r.signal:<6} {r.what:<29} {speed}  {extra}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--frames", type=int, default=10_000_000, help="frames per throughput buffer")
    parser.add_argument("--runs", type=int, default=5, help="timed runs per figure (median)")
    parser.add_argument("--json", default=os.path.join(os.path.dirname(__file__), "results.json"))
    parser.add_argument("--quick", action="store_true", help="short buffers and few runs")
    args = parser.parse_args()
    if args.quick:
        args.frames, args.runs = 200_000, 3

    peers = peers_available()
    rows: list[Row] = []
    rows += measure_throughput(args.frames, args.runs, peers)
    rows += measure_overhead(args.runs)
    rows += measure_threads(args.frames, args.runs)
    rows += measure_memory(args.frames)

    print_table(rows)
    report = {"machine": machine(), "frames": args.frames, "runs": args.runs,
              "sample_rate": SAMPLE_RATE, "ceiling_dBFS": CEILING_DBFS,
              "rows": [asdict(r) | {"frames_per_second": r.frames_per_second,
                                    "realtime_factor_48k": r.realtime_factor} for r in rows]}
    with open(args.json, "w") as f:
        json.dump(report, f, indent=2)
    print(f"\nwritten to {args.json}")


if __name__ == "__main__":
    main()
