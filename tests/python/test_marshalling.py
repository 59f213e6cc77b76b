"""Conversion of the audio argument, layout checks and the returned arrays."""

import gc
import sys
import threading
from fractions import Fraction
from pathlib import Path

import numpy as np
import pytest

import zarn_limiter

RATE = 48000
# A short attack so that a few hundred frames exercise every envelope stage.
SETTINGS = dict(threshold_dBFS=-1.0, attack_ms=0.5, hold_ms=0.5, release_ms=1.0)


def limit(audio, axis=-1):
    return zarn_limiter.limit(audio, RATE, axis=axis, **SETTINGS)


def signal(*shape, seed=0):
    """float32 audio with peaks well above the ceiling."""
    rng = np.random.default_rng(seed)
    return (rng.standard_normal(shape) * 0.8).astype(np.float32)


def assert_bit_equal(actual, expected):
    assert actual.dtype == np.float32 and expected.dtype == np.float32
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(actual.view(np.uint32), expected.view(np.uint32))


def assert_same_result(actual, expected):
    assert_bit_equal(actual[0], expected[0])
    assert_bit_equal(actual[1], expected[1])


def error_text(audio, axis=-1):
    with pytest.raises(ValueError) as caught:
        limit(audio, axis)
    return str(caught.value)


# --- accepted forms of audio ---


class ListSequence:
    """A sequence that only offers the sequence protocol, with a given length."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize(
    "audio, expected",
    [
        ([0.5, -2.0, 0.25], [0.5, -2.0, 0.25]),
        ((0.5, -2.0, 0.25), [0.5, -2.0, 0.25]),
        (b"\x01\x00\x03", [1.0, 0.0, 3.0]),
        ([1, True, np.float64(0.1), Fraction(1, 3)], [1.0, 1.0, 0.1, 1 / 3]),
        # A string item fails the item-by-item path; NumPy then casts it.
        (["0.5", 0.25], [0.5, 0.25]),
        # The reported length is only a hint, however wrong.
        (ListSequence([0.5, 2.0, -0.5], 1), [0.5, 2.0, -0.5]),
        (ListSequence([0.5, 2.0, -0.5], 2**62), [0.5, 2.0, -0.5]),
        (ListSequence([0.5, 2.0, -0.5], 2**45), [0.5, 2.0, -0.5]),
        (ListSequence([0.5, 2.0, -0.5], RuntimeError("no length")), [0.5, 2.0, -0.5]),
        ([], []),
    ],
    ids=["list", "tuple", "bytes", "numbers", "numpy-cast", "short-len", "huge-len",
         "large-len", "failing-len", "empty"],
)
def test_flat_sequences_become_one_dimensional(audio, expected):
    assert_same_result(limit(audio), limit(np.array(expected, dtype=np.float32)))


def test_nested_list_becomes_two_dimensional():
    nested = [[0.1, 2.0, 0.3], [0.4, 0.5, -1.5]]
    audio, gains = limit(nested)
    assert audio.shape == (2, 3) and gains.shape == (3,)
    assert_same_result((audio, gains), limit(np.array(nested, dtype=np.float32)))


class IterableStr(str):
    def __iter__(self):
        return iter([0.5, 0.25])


@pytest.mark.parametrize("text", ["0.5", IterableStr("0.5")])
def test_str_is_handed_to_numpy_whole(text):
    # Converted as one string, "0.5" is a zero-dimensional array.
    assert error_text(text) == "audio must be a 1D or 2D array, got 0 dimensions"


@pytest.mark.parametrize(
    "make, axis",
    [
        (lambda: signal(300, 1).astype(np.float64), 0),
        (lambda: signal(300, 1).astype(np.float64), -1),
        (lambda: (signal(300, 2) * 20000).astype(np.int16), 0),
        (lambda: signal(2, 300).astype(np.float64), -1),
        (lambda: signal(300).astype(np.float64), -1),
        (lambda: signal(2, 300).astype(">f4"), -1),
        (lambda: signal(300).astype(">f4"), 0),
        (lambda: np.arange(5, dtype=np.int64).reshape(5, 1), 0),
        (lambda: np.zeros((0, 3)), 0),
        # One rounding to float32, not two through a double.
        (lambda: np.array([0, 2**60 + 2**36 + 1], dtype=np.int64), -1),
        (lambda: np.asfortranarray(signal(300, 2).astype(np.float64)), 0),
        (lambda: signal(2, 300).astype(np.float64)[:, ::-2], -1),
        (lambda: signal(3, 4).astype(np.float64), 0),
        (lambda: signal(2, 300).astype(object), -1),
    ],
    ids=["f64-column-axis0", "f64-column", "int16-frames-first", "f64-2d", "f64-1d",
         "swapped-2d", "swapped-1d", "int64-column", "f64-no-frames", "int64-rounding",
         "f64-fortran-frames-first", "f64-reversed-view", "f64-interleaved", "object-2d"],
)
def test_arrays_of_other_dtypes_keep_their_shape(make, axis):
    x = make()
    before = x.copy()
    audio, gains = limit(x, axis)
    assert audio.shape == x.shape
    assert_same_result((audio, gains), limit(np.asarray(x, dtype=np.float32), axis))
    np.testing.assert_array_equal(x, before)


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize(
    "audio, index",
    [
        ([0.0, 1e39], 1),
        ([-1e300, 0.0], 0),
        (np.array([0.0, 0.5, 3.5e38]), 2),
        (np.array([[0.0, 0.5], [-1e39, 0.0]]), 2),
    ],
)
def test_values_beyond_float32_range_are_not_finite(audio, index):
    assert error_text(audio) == f"input sample at flat index {index} is not finite"


def test_cast_failure_of_an_array_comes_before_the_layout_checks():
    audio = np.array([[0.5, "x"]], dtype=object)
    with pytest.raises(ValueError) as caught:
        zarn_limiter.limit(audio, 48000, axis=5)
    assert "could not convert string to float" in str(caught.value)
    assert caught.value.__notes__ == ["while processing 'audio'"]


def test_conversion_failure_keeps_numpy_error_and_adds_note():
    with pytest.raises(ValueError) as caught:
        limit("abc")
    assert str(caught.value) == "could not convert string to float: 'abc'"
    assert caught.value.__notes__ == ["while processing 'audio'"]


# --- layout checks ---


def zeros(*shape):
    return np.zeros(shape, np.float32)


RANK = "audio must be a 1D or 2D array, got {} dimensions"
AXIS = "axis={} is invalid for a {}D array"
EMPTY = "the channel dimension must not be empty"


@pytest.mark.parametrize(
    "audio, axis, message",
    [
        (0.5, -1, RANK.format(0)),
        (np.float32(0.5), -1, RANK.format(0)),
        (zeros(), 0, RANK.format(0)),
        (zeros(2, 3, 4), -1, RANK.format(3)),
        (zeros(2, 3, 4), 7, RANK.format(3)),
        (zeros(*(1,) * 32), 0, RANK.format(32)),
        (zeros(4), 1, AXIS.format(1, 1)),
        (zeros(4), -2, AXIS.format(-2, 1)),
        (zeros(4), 2**63 - 1, AXIS.format(2**63 - 1, 1)),
        (zeros(4), -(2**63), AXIS.format(-(2**63), 1)),
        (zeros(2, 4), 2, AXIS.format(2, 2)),
        (zeros(2, 4), -3, AXIS.format(-3, 2)),
        (zeros(0, 3), 5, AXIS.format(5, 2)),
        (zeros(0, 5), -1, EMPTY),
        (zeros(5, 0), 0, EMPTY),
        (zeros(0, 0), 0, EMPTY),
        (zeros(0, 0), -1, EMPTY),
        (np.zeros((0, 3)), -1, EMPTY),
        # The layout is checked before any sample is looked at.
        (np.full((0, 3), np.nan, np.float32), -1, EMPTY),
        (np.full((2, 2, 2), np.nan, np.float32), -1, RANK.format(3)),
    ],
)
def test_layout_errors(audio, axis, message):
    assert error_text(audio, axis) == message


@pytest.mark.parametrize(
    "shape, axis, frames",
    [((0,), -1, 0), ((0,), 0, 0), ((5, 0), -1, 0), ((0, 5), 0, 0), ((1, 0), 1, 0)],
)
def test_empty_frames(shape, axis, frames):
    audio, gains = limit(zeros(*shape), axis)
    assert audio.shape == shape and audio.dtype == np.float32
    assert gains.shape == (frames,) and gains.dtype == np.float32


@pytest.mark.parametrize(
    "shape, axis, bad, index",
    [
        ((2, 10), -1, [((1, 3), np.nan)], 13),
        ((4, 2), 0, [((3, 0), np.nan), ((1, 1), np.inf)], 6),
        ((3, 4), 0, [((2, 1), -np.inf)], 9),
        ((3, 4), 0, [((0, 3), np.nan), ((2, 1), np.nan)], 9),
        ((1, 6), 0, [((0, 4), np.nan)], 4),
        ((6, 1), 0, [((4, 0), np.inf)], 4),
        ((9,), 0, [((7,), np.nan)], 7),
    ],
)
@pytest.mark.parametrize("order", ["C", "F"])
def test_non_finite_sample_reports_flat_index(shape, axis, bad, index, order):
    x = np.zeros(shape, np.float32, order=order)
    for position, value in bad:
        x[position] = value
    assert error_text(x, axis) == f"input sample at flat index {index} is not finite"


# --- memory layouts of float32 input ---


def _unaligned(x):
    raw = bytearray(x.nbytes + 1)
    view = np.frombuffer(raw, dtype=np.float32, offset=1, count=x.size).reshape(x.shape)
    view[...] = x
    return view


VIEWS = {
    "fortran": lambda x: np.asfortranarray(x),
    "reversed-frames": lambda x: x[..., ::-1],
    "reversed-rows": lambda x: x[::-1],
    "strided": lambda x: np.repeat(x, 3, axis=-1)[..., 1::3],
    "transposed": lambda x: np.ascontiguousarray(x.T).T,
    "broadcast-rows": lambda x: np.broadcast_to(x[:1], x.shape),
    "broadcast-frames": lambda x: np.broadcast_to(x[..., :1], x.shape),
    "unaligned": _unaligned,
    "read-only": lambda x: np.frombuffer(x.tobytes(), np.float32).reshape(x.shape),
}


@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
@pytest.mark.parametrize(
    "shape, axis", [((3, 5000), -1), ((5000, 3), 0), ((4000,), -1), ((2, 1), -1), ((1, 2), 0)]
)
def test_views_equal_their_contiguous_copies(view, shape, axis):
    x = view(signal(*shape))
    assert_same_result(limit(x, axis), limit(np.ascontiguousarray(x), axis))


@pytest.mark.parametrize("channels, frames", [(2, 5000), (5, 4099), (1, 300), (3, 1)])
def test_frames_first_equals_transposed_channels_first(channels, frames):
    x = signal(frames, channels)
    audio, gains = limit(x, axis=0)
    expected_audio, expected_gains = limit(np.ascontiguousarray(x.T))
    assert_bit_equal(audio, np.ascontiguousarray(expected_audio.T))
    assert_bit_equal(gains, expected_gains)
    assert audio.flags.c_contiguous


@pytest.mark.parametrize("shape, axis", [((700,), 0), ((700, 1), 0), ((1, 700), -1)])
def test_mono_layouts_agree(shape, axis):
    x = signal(700)
    audio, gains = limit(x.reshape(shape), axis)
    assert audio.shape == shape
    assert_same_result((audio.reshape(700), gains), limit(x))


# --- returned arrays ---


class AudioArray(np.ndarray):
    pass


@pytest.mark.parametrize(
    "make, axis",
    [
        (lambda: signal(2, 500), -1),
        (lambda: signal(500, 2), 0),
        (lambda: signal(500), -1),
        (lambda: signal(2, 500).view(AudioArray), -1),
        (lambda: signal(500, 2).view(AudioArray), 0),
        (lambda: [0.5, 2.0, -3.0], -1),
    ],
    ids=["channels-first", "frames-first", "mono", "subclass", "subclass-frames-first", "list"],
)
@pytest.mark.parametrize("writeable", [True, False])
def test_outputs_are_new_float32_arrays(make, axis, writeable):
    x = make()
    if isinstance(x, np.ndarray):
        x.flags.writeable = writeable
    before = np.array(x, copy=True)
    audio, gains = limit(x, axis)
    for result in (audio, gains):
        assert type(result) is np.ndarray
        assert result.dtype == np.float32 and result.dtype.isnative
        assert result.flags.c_contiguous and result.flags.writeable
        assert not np.shares_memory(result, x)
    assert audio.shape == np.shape(x)
    assert gains.shape == (np.shape(x)[axis],)
    assert not np.shares_memory(audio, gains)
    audio[...] = 0.0
    gains[...] = 0.0
    np.testing.assert_array_equal(np.asarray(x), before)


def test_outputs_own_their_memory_after_the_call():
    x = signal(2, 3000) * 3
    expected_audio, expected_gains = (a.copy() for a in limit(x))
    audio, gains = limit(x)
    tail, gains_tail = audio[:, 1000:], gains[1000:]
    del audio, gains
    gc.collect()
    for seed in range(5):
        limit(signal(2, 3000, seed=seed))
    assert_bit_equal(tail, expected_audio[:, 1000:])
    assert_bit_equal(gains_tail, expected_gains[1000:])


class Opaque:
    """An item that neither the item-by-item path nor NumPy can convert."""


@pytest.mark.parametrize(
    "audio, axis",
    [
        (signal(2, 400), -1),
        (signal(400, 2), 0),
        (np.zeros((2, 2, 2), np.float32), -1),
        (np.zeros(4, np.float32), 3),
        (np.full(4, np.nan, np.float32), -1),
        ([0.5, 0.25], -1),
        ([0.5, Opaque()], -1),
    ],
)
def test_no_reference_to_the_input_is_kept(audio, axis):
    items = list(audio) if isinstance(audio, list) else []
    counts = [sys.getrefcount(audio)] + [sys.getrefcount(item) for item in items]
    for _ in range(3):
        try:
            limit(audio, axis)
        except (ValueError, TypeError):
            pass
    assert [sys.getrefcount(audio)] + [sys.getrefcount(item) for item in items] == counts


def _resident_bytes():
    pages = Path("/proc/self/statm").read_text().split()[1]
    return int(pages) * 4096


@pytest.mark.skipif(not Path("/proc/self/statm").exists(), reason="needs /proc")
@pytest.mark.parametrize("axis", [-1, 0])
def test_buffers_are_freed_on_every_path(axis):
    good = signal(2, 250_000) if axis == -1 else signal(250_000, 2)
    bad = good.copy()
    bad[-1, -1] = np.nan
    for _ in range(5):
        limit(good, axis)
    gc.collect()
    before = _resident_bytes()
    # Each call allocates about 4 MB (6 MB for frames first); a leak on
    # either path would add hundreds of megabytes.
    for _ in range(60):
        audio, gains = limit(good, axis)
        del audio, gains
        with pytest.raises(ValueError):
            limit(bad, axis)
    gc.collect()
    assert _resident_bytes() - before < 64 * 2**20


def test_concurrent_calls_give_the_serial_results():
    inputs = [(signal(2, 20_000, seed=k), -1) for k in range(3)]
    inputs += [(signal(20_000, 3, seed=k), 0) for k in range(3)]
    results = [[] for _ in inputs]
    threads = [
        threading.Thread(target=lambda k=k: results[k].extend(limit(*inputs[k]) for _ in range(5)))
        for k in range(len(inputs))
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for (x, axis), outcomes in zip(inputs, results):
        for outcome in outcomes:
            assert_same_result(outcome, limit(x, axis))


def _overcommit_always():
    path = Path("/proc/sys/vm/overcommit_memory")
    return path.exists() and path.read_text().strip() == "1"


@pytest.mark.skipif(_overcommit_always(), reason="huge allocations would succeed")
@pytest.mark.parametrize(
    "audio, axis",
    [
        (np.broadcast_to(np.float32(0.5), (2**42,)), -1),
        (np.broadcast_to(np.float32(0.5), (2**21, 2**21)), 0),
    ],
)
def test_buffers_that_cannot_be_allocated_raise_memory_error(audio, axis):
    limiter = zarn_limiter.ZarnLimiter(RATE, **SETTINGS)
    with pytest.raises(MemoryError):
        limiter.process(audio, axis)
    x = signal(2, 300)
    assert_same_result(limiter.process(x), limit(x))
