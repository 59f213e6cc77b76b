"""Property-based tests of the Python entry points.

Every call, whatever it is handed, either returns a result that holds the
limiter's guarantees or raises one of the exceptions the API documents, and
never writes the caller's object. The expected outcome of each call comes
from a model of the conversion of `audio` written here in Python: NumPy's own
conversion for arrays, item-by-item float conversion for other sequences of
numbers, NumPy's conversion for everything else.

The number of examples is small by default so that the suite stays fast;
ZARN_HYPOTHESIS_PROFILE=ci raises it.
"""

import array
import math
import operator
import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import zarn_limiter

EXAMPLES = {"default": 40, "ci": 400}[os.environ.get("ZARN_HYPOTHESIS_PROFILE", "default")]
pytestmark = [
    pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning"),
    pytest.mark.filterwarnings("ignore:Casting complex values to real"),
]
property_settings = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

# A configuration with a short look-ahead keeps every example fast.
SMALL_CONFIG = dict(sample_rate=1000, threshold_dBFS=-3.0, attack_ms=4.0, hold_ms=2.0,
                    release_ms=3.0)


class Misbehaviour(Exception):
    """Raised on purpose by the objects under test."""


# --- A model of the conversion of `audio` ---


def is_sequence(obj):
    # The sequence protocol as the interpreter sees it: item access, except
    # for dictionaries.
    return not isinstance(obj, dict) and hasattr(type(obj), "__getitem__")


def as_double(item):
    # The interpreter's float conversion: a float, __float__, or __index__.
    if isinstance(item, float):
        return float(item)
    kind = type(item)
    if hasattr(kind, "__float__"):
        value = kind.__float__(item)
        if not isinstance(value, float):
            raise TypeError("__float__ returned non-float")
        return float(value)
    if hasattr(kind, "__index__"):
        return float(operator.index(item))
    raise TypeError(f"must be real number, not {kind.__name__}")


def model_conversion(audio):
    """The float32 array a call works on, or the exception its conversion raises."""
    if isinstance(audio, np.ndarray):
        if audio.dtype == np.float32:
            return audio
        return np.array(audio, dtype=np.float32)
    if not isinstance(audio, str) and is_sequence(audio):
        try:
            values = [as_double(item) for item in iter(audio)]
        except Exception:
            pass
        else:
            with np.errstate(over="ignore"):
                return np.array(values, dtype=np.float64).astype(np.float32)
    return np.array(audio, dtype=np.float32)


def frame_axis(rank, axis):
    normalized = axis + rank if axis < 0 else axis
    return normalized if 0 <= normalized < rank else None


def channel_major(x32, axis_index):
    """The (channels, frames) view of a 1-D or 2-D float32 array."""
    if x32.ndim == 1:
        return x32[np.newaxis, :]
    return x32 if axis_index == 1 else x32.T


def layout_error(x32, axis):
    """The message of the ValueError the layout checks raise, or None."""
    if x32.ndim not in (1, 2):
        return f"audio must be a 1D or 2D array, got {x32.ndim} dimensions"
    axis_index = frame_axis(x32.ndim, axis)
    if axis_index is None:
        return f"axis={axis} is invalid for a {x32.ndim}D array"
    if x32.ndim == 2 and x32.shape[1 - axis_index] == 0:
        return "the channel dimension must not be empty"
    samples = channel_major(x32, axis_index)
    bad = np.flatnonzero(~np.isfinite(samples.ravel()))
    if bad.size:
        # The first one channel after channel, reported at its own index.
        channel, frame = divmod(int(bad[0]), samples.shape[1])
        if x32.ndim == 1:
            index = (frame,)
        else:
            index = (channel, frame) if axis_index == 1 else (frame, channel)
        return f"input sample at flat index {np.ravel_multi_index(index, x32.shape)} is not finite"
    return None


# --- The guarantees of a successful call ---


def bits(values):
    return np.ascontiguousarray(values, dtype=np.float32).view(np.uint32)


def check_limited(x32, axis, threshold, audio, frame_gains):
    axis_index = frame_axis(x32.ndim, axis)
    samples = channel_major(x32, axis_index)
    assert type(audio) is np.ndarray and type(frame_gains) is np.ndarray
    assert audio.dtype == np.float32 and frame_gains.dtype == np.float32
    assert audio.shape == x32.shape and audio.flags.c_contiguous and audio.flags.writeable
    assert frame_gains.shape == (samples.shape[1],) and frame_gains.flags.writeable
    assert not np.shares_memory(audio, x32)
    assert np.all((frame_gains >= 0.0) & (frame_gains <= 1.0))
    ceiling = np.float32(threshold)
    limited = channel_major(audio, axis_index)
    expected = np.clip(samples * frame_gains, -ceiling, ceiling)
    assert np.array_equal(bits(limited), bits(expected)), "audio is input x gain, clamped"
    assert np.all(np.abs(audio) <= ceiling)
    peaks = np.abs(samples).max(axis=0, initial=0.0).astype(np.float64)
    # One float32 rounding of each gain, relative or (subnormal) absolute.
    allowed = threshold * (1 + 2.0**-23) + peaks * 2.0**-149
    assert np.all(peaks * frame_gains <= allowed)


def check_note(error, argument):
    assert f"while processing '{argument}'" in getattr(error, "__notes__", [])


def snapshot(obj):
    """What must not change in the caller's object: every byte of an array
    (NaN payloads and signs of zero included), the items of a list."""
    if isinstance(obj, HeldArray):
        obj = obj.held
    if isinstance(obj, np.ndarray):
        return obj.tobytes(), obj.flags.writeable
    if isinstance(obj, (list, bytearray)):
        return list(obj)
    return None


def assert_untouched(obj, before):
    assert snapshot(obj) == before


def run_and_check(call, audio, axis, threshold):
    """Runs `call` and checks its outcome against the model."""
    before = snapshot(audio)
    try:
        x32 = model_conversion(audio)
    except Exception as conversion_error:
        event(f"conversion refused: {type(conversion_error).__name__}")
        with pytest.raises(type(conversion_error)) as raised:
            call()
        check_note(raised.value, "audio")
        assert_untouched(audio, before)
        return
    message = layout_error(x32, axis) if isinstance(axis, int) else None
    if message is not None:
        event("layout refused: " + re.sub(r"-?\d+", "N", message))
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message
    else:
        event(f"limited: {x32.ndim}D")
        audio_out, frame_gains = call()
        check_limited(x32, axis, threshold, audio_out, frame_gains)
    assert_untouched(audio, before)


# --- Strategies ---

finite_samples = st.one_of(
    st.floats(min_value=-8.0, max_value=8.0, width=32),
    st.floats(allow_nan=False, allow_infinity=False, width=32),  # the float32 extremes
)
non_finite = st.sampled_from([math.nan, math.inf, -math.inf])

numeric_dtypes = st.sampled_from([
    np.float32, np.float64, np.float16, np.int8, np.int16, np.int32, np.int64, np.uint8,
    np.uint16, np.bool_, np.complex64, np.dtype(">f4"), np.dtype(">f8"),
])


@st.composite
def float32_views(draw, ranks=(1, 1, 1, 2, 2, 2, 2, 0, 3, 4), min_side=0, poisoned=None):
    """Float32 arrays as C, Fortran, strided, reversed, transposed, broadcast
    or read-only views; some (all when `poisoned`) hold NaNs or infinities."""
    rank = draw(st.sampled_from(ranks))
    shape = draw(hnp.array_shapes(min_dims=rank, max_dims=rank, min_side=min_side,
                                  max_side=6 if rank <= 2 else 3))
    order = draw(st.sampled_from("CF"))
    base = np.asarray(draw(hnp.arrays(np.float32, shape, elements=finite_samples)), order=order)
    if poisoned is None:
        poisoned = draw(st.integers(0, 3)) == 0
    if base.size and poisoned:
        # Several of them, so that which one is reported matters.
        flat = base.reshape(-1, order="A")
        for _ in range(draw(st.integers(1, 4))):
            flat[draw(st.integers(0, base.size - 1))] = draw(non_finite)
    view = base
    if rank >= 1 and draw(st.booleans()):
        steps = tuple(draw(st.sampled_from([1, -1, 2, -2])) for _ in range(rank))
        view = view[tuple(slice(None, None, step) for step in steps)]
    if rank >= 2 and draw(st.booleans()):
        view = view.T
    if rank >= 1 and draw(st.booleans()):
        # A zero-stride view: the first slice repeated along the first axis.
        if view.ndim < 4 and view.shape[0] > 0:
            view = np.broadcast_to(view[:1], (draw(st.integers(1, 4)),) + view.shape[1:])
    if draw(st.booleans()):
        view = view.view()
        view.flags.writeable = False
    return view


@st.composite
def other_dtype_arrays(draw):
    rank = draw(st.integers(0, 3))
    shape = draw(hnp.array_shapes(min_dims=rank, max_dims=rank, min_side=0, max_side=5))
    dtype = np.dtype(draw(numeric_dtypes))
    if dtype.kind == "f":
        width = dtype.itemsize * 8
        bound = 6e4 if width == 16 else 1e6
        elements = st.floats(-bound, bound, width=width)
    elif dtype.kind == "c":
        elements = st.complex_numbers(max_magnitude=4.0, width=64)
    else:
        elements = None
    return draw(hnp.arrays(dtype, shape, elements=elements))


# Mostly axes that are valid for some rank, some out of range for every rank.
axes = st.one_of(
    st.integers(-2, 1), st.integers(-2, 1), st.integers(-2, 1), st.integers(-3, 3),
    st.integers(-2**70, 2**70),
    st.booleans(),
    st.integers(-3, 3).map(np.int64),
)

# Deliberately large values at the edge of each conversion.
extreme_numbers = st.sampled_from([10**400, -(10**400), 2**63, 1e300, -1e300])
plain_numbers = st.one_of(st.floats(-4.0, 4.0), st.integers(-4, 4), st.booleans())


# --- Objects that misbehave ---


class HeldArray:
    """An array-like whose __array__ hands out (or fails to hand out) an array."""

    def __init__(self, held, behaviour):
        self.held = held
        self.behaviour = behaviour

    def __array__(self, dtype=None, copy=None):
        if self.behaviour == "raise":
            raise Misbehaviour("__array__ failed")
        if self.behaviour == "not an array":
            return [1.0, 2.0]
        return self.held


class FlakyNumber:
    """A number whose conversion raises or returns the wrong type."""

    def __init__(self, behaviour, value=0.5):
        self.behaviour = behaviour
        self.value = value

    def __float__(self):
        if self.behaviour == "float raises":
            raise Misbehaviour("__float__ failed")
        if self.behaviour == "float returns str":
            return "0.5"
        return self.value

    def __repr__(self):
        return f"FlakyNumber({self.behaviour!r})"


class IndexOnly:
    def __init__(self, value, fail=False):
        self.value = value
        self.fail = fail

    def __index__(self):
        if self.fail:
            raise Misbehaviour("__index__ failed")
        return self.value


class FlakySequence:
    """A sequence whose length or item access misbehaves."""

    def __init__(self, items, length, fail_at=None):
        self.items = items
        self.length = length
        self.fail_at = fail_at

    def __len__(self):
        if self.length == "raise":
            raise Misbehaviour("__len__ failed")
        if self.length == "too large":
            return 2**70  # len() itself raises OverflowError
        return self.length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise Misbehaviour("__getitem__ failed")
        return self.items[index]


class FlakyIterable(FlakySequence):
    def __iter__(self):
        if self.fail_at == "iter":
            raise Misbehaviour("__iter__ failed")
        return iter(self.items)


number_items = st.one_of(
    plain_numbers,
    st.sampled_from(["float raises", "float returns str", "fine"]).map(FlakyNumber),
    st.builds(IndexOnly, st.integers(-3, 3), st.booleans()),
    extreme_numbers,
)


@st.composite
def misbehaving_objects(draw):
    kind = draw(st.sampled_from(["held", "sequence", "iterable"]))
    if kind == "held":
        held = draw(st.one_of(float32_views(), other_dtype_arrays()))
        return HeldArray(held, draw(st.sampled_from(["raise", "not an array", "array"])))
    items = draw(st.lists(number_items, max_size=6))
    length = draw(st.one_of(st.just(len(items)), st.integers(0, 10),
                            st.sampled_from(["raise", "too large"])))
    fail_at = draw(st.one_of(st.none(), st.integers(0, len(items)), st.just("iter")))
    cls = FlakyIterable if kind == "iterable" else FlakySequence
    return cls(items, length, fail_at)


plain_objects = st.one_of(
    st.sampled_from([None, {}, {"a": 1.0}, set(), frozenset([1.0]), "", "abc", "1.5", b"",
                     b"\x00\x7f\xff", object(), 1.5, 3, True, complex(1, 2), math.inf,
                     range(5), range(0)]),
    st.lists(plain_numbers, max_size=8),
    st.lists(plain_numbers, max_size=8).map(tuple),
    st.lists(plain_numbers, max_size=8).map(lambda items: (i for i in items)),
    st.lists(st.integers(0, 255), max_size=8).map(bytearray),
    st.lists(finite_samples, max_size=8).map(lambda items: array.array("f", items)),
    st.lists(finite_samples, max_size=8).map(lambda items: memoryview(array.array("d", items))),
    st.lists(st.lists(plain_numbers, max_size=3), max_size=3),  # nested, maybe ragged
    st.lists(st.one_of(plain_numbers, extreme_numbers, st.text(max_size=3)), max_size=4),
)

audio_objects = st.one_of(float32_views(), other_dtype_arrays(), misbehaving_objects(),
                          plain_objects)


# --- Properties ---


@property_settings
@given(audio=float32_views(), axis=st.sampled_from([-1, -1, 0, 0, 1, -2, 2, -3]))
def test_float32_views_give_the_results_of_their_contiguous_copies(audio, axis):
    limiter = zarn_limiter.ZarnLimiter(**SMALL_CONFIG)
    run_and_check(lambda: limiter.process(audio, axis), audio, axis, limiter.threshold)
    if layout_error(audio, axis) is None:
        copied = np.ascontiguousarray(audio)
        assert all(np.array_equal(bits(a), bits(b))
                   for a, b in zip(limiter.process(audio, axis), limiter.process(copied, axis)))


@property_settings
@given(audio=float32_views(ranks=(1, 2), min_side=1, poisoned=True),
       axis=st.sampled_from([-1, 0]))
def test_the_first_non_finite_sample_channel_after_channel_is_reported(audio, axis):
    limiter = zarn_limiter.ZarnLimiter(**SMALL_CONFIG)
    run_and_check(lambda: limiter.process(audio, axis), audio, axis, limiter.threshold)


@property_settings
@given(audio=audio_objects, axis=axes, entry=st.sampled_from(["process", "limit"]))
def test_any_audio_object_is_limited_or_refused(audio, axis, entry):
    limiter = zarn_limiter.ZarnLimiter(**SMALL_CONFIG)
    if entry == "process":
        def call():
            return limiter.process(audio, axis=axis)
    else:
        def call():
            return zarn_limiter.limit(audio, axis=axis, **SMALL_CONFIG)
    axis_value = operator.index(axis)
    if not -2**63 <= axis_value < 2**63:
        try:
            model_conversion(audio)
        except Exception:
            pass  # the audio error comes first
        else:
            with pytest.raises(OverflowError) as raised:
                call()
            check_note(raised.value, "axis")
            return
    run_and_check(call, audio, axis_value, limiter.threshold)
    # A failed call leaves the object as good as new.
    probe = np.linspace(-3, 3, 16, dtype=np.float32)
    fresh = zarn_limiter.ZarnLimiter(**SMALL_CONFIG).process(probe)
    assert all(np.array_equal(a, b) for a, b in zip(limiter.process(probe), fresh))


wild_values = st.one_of(
    st.floats(-10.0, 10.0), st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-3, 3), st.booleans(), st.none(), st.just("1"),
    st.sampled_from([1e308, -1e-320, 10**400]),
    st.builds(IndexOnly, st.integers(-3, 3), st.booleans()),
    st.sampled_from(["float raises", "float returns str", "fine"]).map(FlakyNumber),
)
wild_rates = st.one_of(
    st.integers(-2**70, 2**70), st.sampled_from([0, 1, 2**32 - 1, 2**32]),
    st.booleans(), st.floats(0, 48000), st.none(), st.just("48000"),
    st.builds(IndexOnly, st.integers(-3, 4000), st.booleans()),
)


@st.composite
def configurations(draw):
    """A valid configuration with none, one or several settings replaced by
    wild values."""
    config = {
        "sample_rate": draw(st.integers(100, 4000)),
        "threshold_dBFS": draw(st.floats(-30.0, 0.0)),
        "attack_ms": draw(st.floats(1.0, 10.0)),
        "hold_ms": draw(st.floats(0.0, 10.0)),
        "release_ms": draw(st.floats(0.0, 50.0)),
    }
    for name in draw(st.lists(st.sampled_from(sorted(config)), max_size=3)):
        config[name] = draw(wild_rates if name == "sample_rate" else wild_values)
    return config


def affordable(config):
    """Leaves out accepted configurations whose window takes long to fill."""
    try:
        rate = operator.index(config["sample_rate"])
        attack, hold = as_double(config["attack_ms"]), as_double(config["hold_ms"])
    except Exception:
        return True
    if not (0 < rate < 2**32) or not (math.isfinite(attack) and math.isfinite(hold)):
        return True
    return attack < 0 or hold < 0 or (attack + hold) * rate / 1000 <= 1e5


@property_settings
@given(
    config=configurations().filter(affordable),
    audio=st.lists(st.floats(-4.0, 4.0, width=32), max_size=20),
)
def test_limit_and_process_agree_on_every_configuration(config, audio):
    try:
        expected = zarn_limiter.ZarnLimiter(**config).process(audio)
    except (TypeError, ValueError, OverflowError, Misbehaviour) as error:
        event(f"refused: {type(error).__name__}")
        with pytest.raises(type(error)) as raised:
            zarn_limiter.limit(audio, **config)
        assert str(raised.value) == str(error)
        assert getattr(raised.value, "__notes__", []) == getattr(error, "__notes__", [])
        if isinstance(error, ValueError):
            assert not hasattr(error, "__notes__")
        return
    event("limited")
    result = zarn_limiter.limit(audio, **config)
    assert all(np.array_equal(bits(a), bits(b)) for a, b in zip(result, expected))
    threshold = zarn_limiter.ZarnLimiter(**config).threshold
    check_limited(np.array(audio, dtype=np.float32), -1, threshold, *result)
