"""Limit one audio file with zarn_limiter, keeping its format: the library in a few lines.

    python3 examples/limit_one_file.py song.flac song_limited.flac

The zarn-limit command does this for whole collections, with checks,
atomic writes and a report.
"""

import sys

import numpy as np
import soundfile as sf

import zarn_limiter


def main(source: str, target: str, ceiling_dBFS: float = -1.0) -> None:
    info = sf.info(source)
    audio, rate = sf.read(source, dtype="float32", always_2d=True)  # (frames, channels)
    limited, frame_gains = zarn_limiter.limit(audio, rate, threshold_dBFS=ceiling_dBFS, axis=0)
    sf.write(target, limited, rate, subtype=info.subtype, format=info.format)
    reduction_dB = -20.0 * float(np.log10(frame_gains.min(initial=1.0)))
    print(f"{source} -> {target}: largest gain reduction {reduction_dB:.2f} dB")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
