"""Writes the seed corpus of the core fuzzer into tests/fuzz/corpus/.

Each seed is laid out the way core_fuzzer.cpp reads its input: a sample-rate
selector, four settings (a kind byte and its payload each), the channel
count, the buffer flags, the sample encoding and the samples. The seeds cover
every branch of that decoding, every refusal of the constructor and of the
processing pass, and accepted buffers with loud bursts, silence and edge
values. Run it again after changing the decoding; the output is deterministic.

Usage: python tests/fuzz/make_corpus.py [DIRECTORY]  (default: tests/fuzz/corpus)
"""

import math
import pathlib
import struct
import sys

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

# Indices into the harness's table of common sample rates.
RATE_INDEX = {1000: 0, 8000: 1, 44100: 6, 48000: 7, 96000: 9, 1: 11}
# Indices into the harness's table of edge values.
EDGE_INDEX = {"0": 0, "-0": 1, "nan": 2, "inf": 3, "-inf": 4, "denorm": 5, "max": 8,
              "0.01": 10, "0.011": 11, "0.5": 12, "-6.02": 14, "-7000": 15, "1e308": 16}


def rate(hz):
    return bytes([RATE_INDEX[hz]])


def raw_rate(hz):
    return b"\xff" + struct.pack("<I", hz)


def raw(value):
    return b"\x00" + struct.pack("<d", value)


def ms(value):
    """A small non-negative decimal with two fraction digits."""
    return b"\x01" + struct.pack("<H", round(value * 100))


def negative_ms(value):
    return b"\x02" + struct.pack("<H", round(value * 100))


def edge(name):
    return b"\x03" + bytes([EDGE_INDEX[name]])


DEFAULTS = (ms(0), ms(5), ms(15), ms(40))


def header(sample_rate, settings=DEFAULTS, channels=1, ragged=False, encoding=0):
    channel_byte = 0 if channels == 0 else channels - 1
    return sample_rate + b"".join(settings) + bytes([channel_byte, int(ragged), encoding])


def float32_samples(values):
    return b"".join(struct.pack("<f", v) for v in values)


def int16_encoding(exponent):
    """Encoding byte for int16 samples times 2**exponent (exponent -24 to 39)."""
    return (exponent + 24) << 2 | 1


def int16_samples(values):
    return b"".join(struct.pack("<h", v) for v in values)


def int8_encoding(exponent):
    return (exponent + 24) << 2 | 2


def int8_samples(values):
    return bytes(v & 0xFF for v in values)


def sine(count, amplitude, period):
    return [amplitude * math.sin(2 * math.pi * i / period) for i in range(count)]


def impulse(count, position, value):
    return [value if i == position else 0.0 for i in range(count)]


def seeds():
    worked = (ms(0), ms(4), ms(2), ms(3))
    yield "worked_impulse", header(rate(1000), worked) + float32_samples(impulse(12, 5, 2.0))
    yield "worked_no_hold", header(rate(1000), (ms(0), ms(4), ms(0), ms(0))) + \
        float32_samples(impulse(12, 5, 2.0))
    yield "worked_stereo", header(rate(1000), worked, channels=2) + \
        float32_samples([0.25] * 12 + impulse(12, 5, 2.0))
    yield "minus_six_dB", header(rate(1000), (edge("-6.02"), ms(4), ms(2), ms(3))) + \
        float32_samples(impulse(12, 5, 1.0))
    yield "quiet_sine", header(rate(8000)) + float32_samples(sine(96, 0.5, 17))
    yield "loud_sine", header(rate(8000)) + float32_samples(sine(96, 3.0, 13))
    yield "stereo_burst_int16", header(rate(8000), channels=2, encoding=int16_encoding(-13)) + \
        int16_samples([int(v) for v in sine(80, 30000, 11)] + [0] * 40 + [32767] * 40)
    yield "eight_channels_int8", header(rate(8000), channels=8, encoding=int8_encoding(-5)) + \
        int8_samples([(i * 37) % 256 - 128 for i in range(256)])
    yield "three_channels_int8", header(rate(1000), worked, channels=3, encoding=int8_encoding(0)) + \
        int8_samples([(i * 11) % 256 - 128 for i in range(60)])
    yield "shorter_than_lookahead", header(rate(48000)) + float32_samples([1.5, -2.0, 0.25])
    yield "empty_buffer", header(rate(48000), channels=2)
    yield "one_frame", header(rate(44100)) + float32_samples([4.0])
    yield "silence", header(rate(96000), channels=2) + float32_samples([0.0] * 64)
    yield "negative_zero", header(rate(8000)) + float32_samples([-0.0] * 16 + [1e-45] * 16)
    yield "largest_float", header(rate(8000)) + float32_samples([3.4028234663852886e38] * 4 +
                                                               [-3.4028234663852886e38] * 4)
    yield "threshold_underflows", header(rate(8000), (edge("-7000"), ms(5), ms(15), ms(40))) + \
        float32_samples([0.0, 1e-30, -0.5, 0.0] * 8)
    yield "negative_zero_threshold", header(rate(8000), (edge("-0"), ms(5), ms(15), ms(40))) + \
        float32_samples(sine(32, 1.2, 7))
    yield "release_overflows", header(rate(48000), (ms(0), ms(1), ms(1), edge("1e308"))) + \
        float32_samples(impulse(200, 20, 8.0))
    yield "zero_hold_zero_release", header(rate(8000), (ms(0), ms(2), edge("-0"), edge("0"))) + \
        float32_samples(sine(64, 2.0, 5))
    yield "one_sample_lookahead", header(rate(48000), (ms(0), edge("0.011"), edge("0"), ms(1))) + \
        float32_samples(sine(40, 1.5, 6))
    yield "odd_rate", header(raw_rate(12345), (raw(-0.1), raw(3.3), raw(0.7), raw(9.9))) + \
        float32_samples(sine(48, 1.1, 9))
    yield "long_window", header(rate(48000), (ms(0), ms(600), ms(600), ms(0))) + \
        float32_samples(sine(64, 2.0, 3))
    # Refusals of the constructor, one per check, in its order.
    yield "zero_rate", header(raw_rate(0), (edge("0.5"),) + DEFAULTS[1:])
    yield "positive_threshold", header(rate(48000), (edge("0.5"), negative_ms(1)) + DEFAULTS[2:])
    yield "nan_threshold", header(rate(48000), (edge("nan"),) + DEFAULTS[1:])
    yield "infinite_attack", header(rate(48000), (ms(0), edge("inf"), ms(15), ms(40)))
    yield "negative_hold", header(rate(48000), (ms(0), ms(5), negative_ms(1), ms(40)))
    yield "nan_release", header(rate(48000), (ms(0), edge("0.01"), ms(15), edge("nan")))
    yield "attack_rounds_to_zero", header(rate(48000), (ms(0), edge("0.01"), ms(15), ms(40)))
    yield "rate_of_one", header(rate(1)) + float32_samples([1.0])
    yield "negative_zero_attack", header(rate(48000), (ms(0), edge("-0"), ms(15), ms(40)))
    yield "huge_hold", header(rate(48000), (ms(0), ms(5), edge("max"), ms(40)))
    yield "subnormal_threshold", header(rate(48000), (edge("denorm"),) + DEFAULTS[1:])
    # Refusals of the processing pass.
    yield "zero_channels", header(rate(8000), channels=0) + float32_samples([0.5] * 4)
    yield "ragged_length", header(rate(8000), channels=2, ragged=True) + \
        float32_samples([0.1, 0.2, 0.3, 0.4, 0.5])
    yield "nan_sample", header(rate(8000), channels=2) + \
        float32_samples([0.0, math.inf, 0.0, math.nan, 0.5, 0.5])
    yield "late_infinity", header(rate(8000)) + float32_samples([0.25] * 30 + [-math.inf, 0.0])


def main():
    # Another directory may be named, to compare a fresh corpus with the one
    # in the repository.
    corpus = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else CORPUS
    corpus.mkdir(exist_ok=True)
    for old in corpus.iterdir():
        old.unlink()
    count = 0
    for name, data in seeds():
        (corpus / name).write_bytes(data)
        count += 1
    print(f"wrote {count} seeds to {corpus}")


if __name__ == "__main__":
    main()
