"""StreamLimiter: the limiter block by block, with the whole buffer's results."""

import resource
import sys
import threading

import numpy as np
import pytest

import zarn_limiter
from zarn_limiter_stream import StreamLimiter

SETTINGS = [
    {},
    {"threshold_dBFS": -1.0},
    {"threshold_dBFS": -6.0, "attack_ms": 0.1, "hold_ms": 0.0, "release_ms": 0.0},
    {"threshold_dBFS": -3.0, "attack_ms": 20.0, "hold_ms": 50.0, "release_ms": 1e308},
]


def loud_music(rng, frames, channels):
    audio = rng.standard_normal((frames, channels)) * 0.5
    loud = rng.random(frames // 500 + 1) < 0.3
    return audio * np.repeat(np.where(loud, 4.0, 1.0), 500)[:frames, None]


def random_split(rng, frames, latency):
    """Block lengths summing to `frames`: empty, single frames, around the latency, long."""
    lengths = []
    while sum(lengths) < frames:
        kind = rng.integers(4)
        length = [0, 1, int(rng.integers(1, latency + 2)), int(rng.integers(1, 30000))][kind]
        lengths.append(min(length, frames - sum(lengths)))
    return lengths


def stream_all(stream, audio, lengths, out=None):
    pieces, gains, start = [], [], 0
    for length in lengths:
        limited, frame_gains = stream.process(audio[start:start + length], out=out)
        pieces.append(np.array(limited))
        gains.append(np.array(frame_gains))
        start += length
    limited, frame_gains = stream.flush(out=out)
    pieces.append(np.array(limited))
    gains.append(np.array(frame_gains))
    return np.concatenate(pieces), np.concatenate(gains)


def assert_same_bits(actual, expected):
    assert actual.dtype == expected.dtype == np.float32
    assert actual.shape == expected.shape
    assert np.array_equal(actual.view(np.uint32), expected.view(np.uint32))


@pytest.mark.parametrize("settings", SETTINGS)
@pytest.mark.parametrize(
    ("channels", "dtype", "rank"), [(2, np.float32, 2), (1, np.float64, 1), (3, np.int16, 2), (6, np.float32, 2)]
)
def test_any_split_gives_the_whole_buffer_result(settings, channels, dtype, rank):
    rng = np.random.default_rng(channels * 7 + len(settings))
    audio = loud_music(rng, 60000, channels)
    if dtype == np.int16:
        audio = np.clip(audio * 8000, -32768, 32767)
    audio = audio.astype(dtype)
    if rank == 1:
        audio = audio[:, 0]
    expected = zarn_limiter.limit(audio, 48000, **settings, axis=0)
    stream = StreamLimiter(48000, channels, **settings)
    for _ in range(3):  # one object, several streams
        result = stream_all(stream, audio, random_split(rng, len(audio), stream.latency))
        for actual, wanted in zip(result, expected):
            assert_same_bits(actual, wanted)


def test_output_into_reused_buffers_and_any_input_layout():
    rng = np.random.default_rng(3)
    audio = loud_music(rng, 50000, 2).astype(np.float32)
    expected = zarn_limiter.limit(audio, 44100, -1.0, axis=0)
    stream = StreamLimiter(44100, 2, -1.0)
    out = (np.empty((8192 + stream.latency, 2), np.float32), np.empty(8192 + stream.latency, np.float32))
    # A channel-major array read as (frames, channels) through its transpose.
    source = np.ascontiguousarray(audio.T).T
    result = stream_all(stream, source, [8192] * 6 + [50000 - 6 * 8192], out=out)
    for actual, wanted in zip(result, expected):
        assert_same_bits(actual, wanted)
    limited, gains = stream.process(audio[:8192], out=out)
    assert limited.base is out[0] and gains.base is out[1]


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((None, 2), {}),
        ((0, 2), {}),
        ((48000, 2, 1.0), {}),
        ((48000, 2), {"hold_ms": -1.0}),
        ((48000, 2), {"attack_ms": 0.001}),
        ((48000, 2), {"release_ms": float("nan")}),
    ],
)
def test_settings_are_checked_as_the_limiter_checks_them(args, kwargs):
    rate, _, *rest = args
    with pytest.raises(ValueError) as limiter_error:
        zarn_limiter.ZarnLimiter(rate, *rest, **kwargs)
    with pytest.raises(ValueError) as stream_error:
        StreamLimiter(*args, **kwargs)
    assert str(stream_error.value) == str(limiter_error.value)


@pytest.mark.parametrize(
    ("channels", "block", "message"),
    [
        (0, None, "channels must be a positive integer no greater than 65535"),
        ("2", None, "channels must be a positive integer no greater than 65535"),
        (2, np.zeros((10, 3)), "block has 3 channels (its shape must be (frames, channels)), but the stream has 2 channels"),
        (2, np.zeros(10), "a 1D block holds one channel, but the stream has 2 channels"),
        (1, np.zeros((2, 2, 2)), "block must be a 1D or 2D array, got 3 dimensions"),
    ],
)
def test_bad_channels_and_blocks(channels, block, message):
    with pytest.raises(ValueError, match=None) as error:
        StreamLimiter(48000, channels).process(block)
    assert str(error.value) == message


def test_a_rejected_block_leaves_the_stream_as_it_was():
    rng = np.random.default_rng(5)
    audio = loud_music(rng, 20000, 2).astype(np.float32)
    expected = zarn_limiter.limit(audio, 48000, -1.0, axis=0)
    stream = StreamLimiter(48000, 2, -1.0)
    first = stream.process(audio[:7000])
    bad = audio[7000:9000].copy()
    bad[1500, 1] = np.inf
    bad[1700, 0] = np.nan
    with pytest.raises(ValueError, match="^input sample at frame 8500, channel 1 is not finite$") as error:
        stream.process(bad)
    assert (error.value.frame, error.value.channel) == (8500, 1)
    small = (np.empty((10, 2), np.float32), np.empty(10, np.float32))
    with pytest.raises(ValueError, match="out must hold the 2000 frames"):
        stream.process(audio[7000:9000], out=small)
    rest = stream_all(stream, audio[7000:], [13000])
    assert_same_bits(np.concatenate([first[0], rest[0]]), expected[0])
    assert_same_bits(np.concatenate([first[1], rest[1]]), expected[1])


@pytest.mark.parametrize(("taken", "refused"), [((300, 1), (10,)), ((300,), (10, 1))])
def test_a_refused_block_leaves_the_rank_that_flush_returns(taken, refused):
    stream = StreamLimiter(48000, 1)
    stream.process(np.ones(taken, np.float32))
    with pytest.raises(ValueError, match="not finite"):
        stream.process(np.full(refused, np.nan, np.float32))
    limited, gains = stream.flush()
    assert limited.shape == (stream.latency, *taken[1:]) and gains.shape == (stream.latency,)


@pytest.mark.parametrize("call", ["process", "flush"])
@pytest.mark.parametrize("gains_start", [0, 100, 299])
def test_out_arrays_that_share_memory_are_refused(call, gains_start):
    stream = StreamLimiter(48000, 1)
    stream.process(np.full(300, 2.0, np.float32))
    memory = np.zeros(600, np.float32)
    out = (memory[:300], memory[gains_start:gains_start + 300])
    with pytest.raises(ValueError, match=r"^out\[0\] and out\[1\] must not share memory$"):
        stream.process(np.full(300, 2.0, np.float32), out=out) if call == "process" else stream.flush(out=out)
    assert not memory.any()


def test_a_stream_in_use_is_refused_not_corrupted():
    stream = StreamLimiter(48000, 1)

    class Reentrant:
        def __array__(self, dtype=None, copy=None):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                stream.process(np.zeros(4))
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                stream.latency
            return np.ones(300, np.float32)

    limited, _ = stream.process(Reentrant())
    assert len(limited) == 300 - stream.latency

    errors = []

    def run():
        try:
            for _ in range(200):
                stream.process(np.ones(4096, np.float32) * 2)
        except RuntimeError as error:
            errors.append(str(error))

    threads = [threading.Thread(target=run) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert set(errors) <= {"Already borrowed"}


@pytest.mark.skipif(sys.platform != "linux", reason="reads the resident set from /proc")
def test_memory_stays_flat_over_a_long_stream():
    def resident_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * resource.getpagesize()

    block = np.random.default_rng(9).standard_normal((65536, 2)).astype(np.float32) * 3
    stream = StreamLimiter(48000, 2, -1.0)
    out = (np.empty((65536 + stream.latency, 2), np.float32), np.empty(65536 + stream.latency, np.float32))
    for _ in range(20):
        stream.process(block, out=out)
    before = resident_bytes()
    for _ in range(20_000_000 // 65536):
        stream.process(block, out=out)
    stream.flush(out=out)
    assert resident_bytes() - before < 4 << 20
