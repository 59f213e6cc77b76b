"""The ZarnLimiter class: construction, properties, representation, type."""

import weakref

import pytest

from zarn_limiter import ZarnLimiter

SAMPLE_RATE_ERROR = "sample_rate must be a positive 32-bit integer"

PROPERTY_DOCS = {
    "sample_rate": "int: Configured sample rate in hertz.",
    "threshold": "float: Configured output ceiling as a linear amplitude.",
    "threshold_dBFS": "float: Configured output ceiling in dBFS.",
    "lookahead_samples": "int: Look-ahead latency in samples.",
    "attack_samples": "int: Look-ahead latency in samples. (alias for ``lookahead_samples``)",
    "hold_samples": "int: Configured hold duration in samples.",
    "release_samples": "float: Configured release duration in samples.",
}


def properties(limiter):
    return {name: getattr(limiter, name) for name in PROPERTY_DOCS}


def test_defaults_at_48000():
    values = properties(ZarnLimiter(48000))
    assert values == {
        "sample_rate": 48000,
        "threshold": 1.0,
        "threshold_dBFS": 0.0,
        "lookahead_samples": 240,
        "attack_samples": 240,
        "hold_samples": 720,
        "release_samples": 1920.0,
    }
    assert [type(values[name]) for name in PROPERTY_DOCS] == [int, float, float, int, int, int, float]


def test_repr_and_str():
    limiter = ZarnLimiter(48000)
    expected = (
        "ZarnLimiter(\n"
        "    sample_rate=48000, threshold_dBFS=0, threshold=1,\n"
        "    lookahead_samples=240, hold_samples=720, release_samples=1920\n"
        ")"
    )
    assert repr(limiter) == expected
    assert str(limiter) == expected


@pytest.mark.parametrize(
    ("args", "kwargs", "fragment"),
    [
        ((44100,), {}, "\n    lookahead_samples=221, hold_samples=661, release_samples=1764\n"),
        ((48000, -6.02), {}, "threshold_dBFS=-6.02, threshold=0.5000345349769785,"),
        ((48000,), {"threshold_dBFS": -0.0}, "threshold_dBFS=-0, threshold=1,"),
        ((48000,), {"release_ms": 1e308}, "release_samples=inf\n"),
        ((4294967295,), {"attack_ms": 0.001, "hold_ms": 0}, "sample_rate=4294967295,"),
        ((48000,), {"threshold_dBFS": -7000}, "threshold_dBFS=-7000, threshold=0,"),
    ],
)
def test_repr_renders_numbers(args, kwargs, fragment):
    assert fragment in repr(ZarnLimiter(*args, **kwargs))


def test_negative_zero_threshold_is_kept():
    limiter = ZarnLimiter(48000, threshold_dBFS=-0.0)
    assert str(limiter.threshold_dBFS) == "-0.0"
    assert limiter.threshold == 1.0


def test_class_docstring_and_signature():
    assert ZarnLimiter.__doc__.startswith("A configurable look-ahead brick-wall limiter.\n\n")
    assert ZarnLimiter.__doc__.endswith("\n    ValueError: If any configuration value is invalid.")
    assert ZarnLimiter.__text_signature__ == (
        "(sample_rate, threshold_dBFS=0.0, attack_ms=5.0, hold_ms=15.0, release_ms=40.0)"
    )


def test_members_in_order():
    members = [name for name in vars(ZarnLimiter) if not name.startswith("__")]
    assert members == ["process", *PROPERTY_DOCS]


@pytest.mark.parametrize(("name", "doc"), PROPERTY_DOCS.items())
def test_property_docstrings(name, doc):
    assert getattr(ZarnLimiter, name).__doc__ == doc


@pytest.mark.parametrize("name", PROPERTY_DOCS)
def test_properties_are_read_only(name):
    limiter = ZarnLimiter(48000)
    with pytest.raises(AttributeError):
        setattr(limiter, name, 1)
    with pytest.raises(AttributeError):
        delattr(limiter, name)


def test_instances_take_no_attributes_and_no_weak_references():
    limiter = ZarnLimiter(48000)
    with pytest.raises(AttributeError):
        limiter.gain = 0.5
    assert not hasattr(limiter, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(limiter)


def test_class_is_final():
    with pytest.raises(TypeError):
        type("Derived", (ZarnLimiter,), {})


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "ZarnLimiter.__new__() missing 1 required positional argument: 'sample_rate'"),
        ((), {"threshold_dBFS": -1.0},
         "ZarnLimiter.__new__() missing 1 required positional argument: 'sample_rate'"),
        ((48000, 0, 5, 15, 40, 0),
         {}, "ZarnLimiter.__new__() takes from 1 to 5 positional arguments but 6 were given"),
        ((48000,), {"sample_rate": 48000},
         "ZarnLimiter.__new__() got multiple values for argument 'sample_rate'"),
        ((48000, -1.0), {"threshold_dBFS": -1.0},
         "ZarnLimiter.__new__() got multiple values for argument 'threshold_dBFS'"),
        ((48000,), {"attack": 5}, "ZarnLimiter.__new__() got an unexpected keyword argument 'attack'"),
        ((48000,), {"threshold_dbfs": -1.0},
         "ZarnLimiter.__new__() got an unexpected keyword argument 'threshold_dbfs'"),
        # Keywords are taken in the caller's order: the first bad one is reported.
        ((48000,), {"bogus": 1, "sample_rate": 1},
         "ZarnLimiter.__new__() got an unexpected keyword argument 'bogus'"),
        ((48000,), {"sample_rate": 1, "bogus": 1},
         "ZarnLimiter.__new__() got multiple values for argument 'sample_rate'"),
        # Binding comes before any conversion.
        (("x", "y", 0, 0, 0, 0), {}, "ZarnLimiter.__new__() takes from 1 to 5 positional arguments but 6 were given"),
        ((), {"sample_rat": 48000}, "ZarnLimiter.__new__() got an unexpected keyword argument 'sample_rat'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        ZarnLimiter(*args, **kwargs)
    assert str(caught.value) == message


def test_unencodable_keyword_is_unexpected():
    with pytest.raises(TypeError, match="got an unexpected keyword argument"):
        ZarnLimiter(48000, **{"\udc80": 1})


def test_all_arguments_by_keyword_in_any_order():
    by_keyword = ZarnLimiter(release_ms=10, hold_ms=3, attack_ms=2, threshold_dBFS=-3, sample_rate=44100)
    assert repr(by_keyword) == repr(ZarnLimiter(44100, -3, 2, 3, 10))


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIndex:
    def __index__(self):
        raise KeyError("no index")


@pytest.mark.parametrize(
    "sample_rate",
    [48000.0, "48000", 0, -1, 4294967296, -(2**70), 2**70, False, None, RaisingIndex(), Index(0)],
)
def test_invalid_sample_rate(sample_rate):
    with pytest.raises(ValueError) as caught:
        ZarnLimiter(sample_rate)
    assert str(caught.value) == SAMPLE_RATE_ERROR
    # The conversion's own exception is discarded, not chained.
    assert caught.value.__cause__ is None and caught.value.__context__ is None
    assert getattr(caught.value, "__notes__", None) is None


@pytest.mark.parametrize(("sample_rate", "expected"), [(Index(44100), 44100), (44100, 44100)])
def test_sample_rate_accepts_integers(sample_rate, expected):
    assert ZarnLimiter(sample_rate).sample_rate == expected


def test_true_is_a_sample_rate_of_one():
    with pytest.raises(ValueError, match=r"^attack_ms=5 rounds to zero samples at 1 Hz$"):
        ZarnLimiter(True)


class FloatLike:
    def __float__(self):
        return -2.5


class RaisingFloat:
    def __float__(self):
        raise ZeroDivisionError("no float")


@pytest.mark.parametrize(
    ("value", "expected"),
    [(-3, -3.0), (False, 0.0), (-1.0, -1.0), (FloatLike(), -2.5), (Index(-4), -4.0)],
)
def test_threshold_accepts_numbers(value, expected):
    limiter = ZarnLimiter(48000, value)
    assert limiter.threshold_dBFS == expected
    assert type(limiter.threshold_dBFS) is float


FLOAT_PARAMETERS = ["threshold_dBFS", "attack_ms", "hold_ms", "release_ms"]


@pytest.mark.parametrize("name", FLOAT_PARAMETERS)
@pytest.mark.parametrize(
    ("value", "error"),
    [("x", TypeError), (None, TypeError), (10**400, OverflowError), (RaisingFloat(), ZeroDivisionError)],
)
def test_float_conversion_errors_keep_the_exception_and_add_a_note(name, value, error):
    with pytest.raises(error) as caught:
        ZarnLimiter(48000, **{name: value})
    assert type(caught.value) is error
    assert caught.value.__notes__ == [f"while processing '{name}'"]


def test_floats_are_converted_before_sample_rate_in_order():
    with pytest.raises(TypeError) as caught:
        ZarnLimiter(0, "x")
    assert caught.value.__notes__ == ["while processing 'threshold_dBFS'"]
    with pytest.raises(TypeError) as caught:
        ZarnLimiter(0, release_ms=None, attack_ms="x")
    assert caught.value.__notes__ == ["while processing 'attack_ms'"]


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"attack_ms": -1}, "attack_ms must be finite and non-negative, got -1"),
        ({"threshold_dBFS": 0.5},
         "threshold_dBFS must be a finite dBFS value less than or equal to 0, got 0.5"),
        ({"threshold_dBFS": float("nan")},
         "threshold_dBFS must be a finite dBFS value less than or equal to 0, got NaN"),
        ({"release_ms": float("nan")}, "release_ms must be finite and non-negative, got NaN"),
        ({"attack_ms": 0.01}, "attack_ms=0.01 rounds to zero samples at 48000 Hz"),
        ({"attack_ms": -0.0}, "attack_ms=-0 rounds to zero samples at 48000 Hz"),
    ],
)
def test_configuration_errors(kwargs, message):
    with pytest.raises(ValueError) as caught:
        ZarnLimiter(48000, **kwargs)
    assert str(caught.value) == message
    assert caught.value.__cause__ is None and caught.value.__context__ is None


@pytest.mark.parametrize("kwargs", [{"attack_ms": 1e30}, {"hold_ms": 1e300}, {"attack_ms": 1e300, "hold_ms": 1e300}])
def test_unobtainable_storage_is_a_memory_error(kwargs):
    with pytest.raises(MemoryError):
        ZarnLimiter(48000, **kwargs)
    # The failure leaves nothing behind that stops the next construction.
    assert ZarnLimiter(48000).lookahead_samples == 240

