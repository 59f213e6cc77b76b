"""ZarnLimiter.process and limit: binding, conversion order, exclusive use, results."""

import threading

import numpy as np
import pytest

from zarn_limiter import ZarnLimiter, limit

# Worked example: 1000 Hz, threshold 0 dBFS, attack 4 ms, hold 2 ms, release
# 3 ms; twelve silent frames with 2.0 at frame 5.
WORKED_CONFIG = (1000, 0.0, 4.0, 2.0, 3.0)
WORKED_GAINS = [1.0, 0.9375, 0.75, 0.5625, 0.5, 0.5, 0.5, 0.515625, 0.57421875,
                0.6650390625, 0.748779296875, 0.81158447265625]


def worked_input():
    audio = np.zeros(12, dtype=np.float32)
    audio[5] = 2.0
    return audio


def assert_bit_equal(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    assert actual.tobytes() == expected.tobytes()


def assert_same_result(actual, expected):
    assert type(actual) is tuple and len(actual) == 2
    for got, want in zip(actual, expected):
        assert_bit_equal(got, want)


def loud_stereo(frames=4000, seed=1):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((2, frames)) * 1.5).astype(np.float32)


@pytest.mark.parametrize(
    ("function", "signature", "first", "last"),
    [
        (ZarnLimiter.process, "($self, audio, axis=...)", "Process mono or multichannel audio.\n",
         "\n        input sample is not finite."),
        (limit, "(audio, sample_rate, threshold_dBFS=0.0, attack_ms=5.0, "
                "hold_ms=15.0, release_ms=40.0, axis=...)",
         "Limit mono or multichannel audio in one call.\n", "\n        sample is not finite."),
    ],
)
def test_docstrings_and_signatures(function, signature, first, last):
    assert function.__text_signature__ == signature
    assert function.__doc__.startswith(first) and function.__doc__.endswith(last)


# --- worked examples, bit for bit ------------------------------------------


@pytest.mark.parametrize(
    ("config", "gains"),
    [
        (WORKED_CONFIG, WORKED_GAINS),
        ((1000, 0.0, 4.0, 0.0, 0.0),
         [1.0, 0.9375, 0.75, 0.5625, 0.5, 0.5, 0.75, 0.9375, 1.0, 1.0, 1.0, 1.0]),
    ],
)
def test_worked_example_mono(config, gains):
    expected_gains = np.array(gains, dtype=np.float32)
    expected_audio = np.zeros(12, dtype=np.float32)
    expected_audio[5] = 1.0
    for result in (limit(worked_input(), *config), ZarnLimiter(*config).process(worked_input())):
        assert_same_result(result, (expected_audio, expected_gains))


def test_worked_example_linked_channels():
    audio = np.zeros((2, 12), dtype=np.float32)
    audio[0] = 0.25
    audio[1, 5] = 2.0
    expected = np.zeros((2, 12), dtype=np.float32)
    expected[0] = [0.25, 0.234375, 0.1875, 0.140625, 0.125, 0.125, 0.125, 0.12890625,
                   0.1435546875, 0.166259765625, 0.18719482421875, 0.2028961181640625]
    expected[1, 5] = 1.0
    gains = np.array(WORKED_GAINS, dtype=np.float32)
    assert_same_result(limit(audio, *WORKED_CONFIG), (expected, gains))
    assert_same_result(ZarnLimiter(*WORKED_CONFIG).process(audio.T, axis=0), (expected.T.copy(), gains))


# --- argument binding --------------------------------------------------------

X = [0.0, 0.5]


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: limit(X), "limit() missing 1 required positional argument: 'sample_rate'"),
        (lambda: limit(), "limit() missing 2 required positional arguments: 'audio' and 'sample_rate'"),
        (lambda: limit(axis=0), "limit() missing 2 required positional arguments: 'audio' and 'sample_rate'"),
        (lambda: limit(sample_rate=48000), "limit() missing 1 required positional argument: 'audio'"),
        (lambda: limit(X, 48000, 0, 5, 15, 40, -1, 0),
         "limit() takes from 2 to 7 positional arguments but 8 were given"),
        (lambda: limit(X, 48000, threshold_dbfs=-1.0),
         "limit() got an unexpected keyword argument 'threshold_dbfs'"),
        (lambda: limit(X, 48000, sample_rate=44100), "limit() got multiple values for argument 'sample_rate'"),
        (lambda: limit(X, 48000, -1, 5, 15, 40, 0, axis=0), "limit() got multiple values for argument 'axis'"),
        (lambda: ZarnLimiter(48000).process(), "ZarnLimiter.process() missing 1 required positional argument: 'audio'"),
        (lambda: ZarnLimiter(48000).process(X, -1, 0),
         "ZarnLimiter.process() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: ZarnLimiter(48000).process(X, audio=X),
         "ZarnLimiter.process() got multiple values for argument 'audio'"),
        (lambda: ZarnLimiter(48000).process(X, Axis=0),
         "ZarnLimiter.process() got an unexpected keyword argument 'Axis'"),
        # Binding comes before the conversion of anything.
        (lambda: limit("not audio", "not a rate", bogus=1), "limit() got an unexpected keyword argument 'bogus'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_all_arguments_by_keyword_in_any_order():
    audio = loud_stereo().T.copy()
    by_keyword = limit(axis=0, release_ms=10, sample_rate=48000, audio=audio)
    assert_same_result(by_keyword, limit(audio, 48000, 0.0, 5.0, 15.0, 10, 0))
    method = ZarnLimiter(48000, release_ms=10).process(axis=0, audio=audio)
    assert_same_result(method, by_keyword)


# --- conversions and their order ----------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    ("axis", "same_as"),
    [(-1, None), (True, 1), (np.int64(0), 0), (np.int32(-2), 0), (Index(1), 1), (False, 0)],
)
def test_axis_conversions(axis, same_as):
    # Square, so that both axes are valid and give different results.
    audio = np.resize(loud_stereo(frames=300), (300, 300))
    expected = limit(audio, 48000) if same_as is None else limit(audio, 48000, axis=same_as)
    assert_same_result(limit(audio, 48000, axis=axis), expected)
    assert_same_result(ZarnLimiter(48000).process(audio, axis), expected)


@pytest.mark.parametrize(
    ("axis", "error"),
    [(None, TypeError), (0.0, TypeError), ("0", TypeError), (2**63, OverflowError), (-(2**63) - 1, OverflowError)],
)
def test_axis_conversion_errors(axis, error):
    for call in (lambda: limit(X, 48000, axis=axis), lambda: ZarnLimiter(48000).process(X, axis)):
        with pytest.raises(error) as caught:
            call()
        assert caught.value.__notes__ == ["while processing 'axis'"]


@pytest.mark.parametrize("axis", [2**63 - 1, -(2**63)])
def test_axis_in_range_reaches_the_layout_check(axis):
    with pytest.raises(ValueError, match=rf"^axis={axis} is invalid for a 1D array$"):
        limit(X, 48000, axis=axis)


@pytest.mark.parametrize("name", ["threshold_dBFS", "attack_ms", "hold_ms", "release_ms"])
@pytest.mark.parametrize(("value", "error"), [(None, TypeError), ("1", TypeError), (10**400, OverflowError)])
def test_limit_float_conversion_errors(name, value, error):
    with pytest.raises(error) as caught:
        limit(X, 48000, **{name: value})
    assert caught.value.__notes__ == [f"while processing '{name}'"]


def test_none_is_not_a_default():
    with pytest.raises(TypeError) as caught:
        limit(X, 48000, None)
    assert caught.value.__notes__ == ["while processing 'threshold_dBFS'"]


def test_minus_one_is_a_valid_float():
    audio = loud_stereo()
    assert_same_result(limit(audio, 48000, threshold_dBFS=-1.0), ZarnLimiter(48000, -1).process(audio))


def note(name):
    return {"notes": [f"while processing '{name}'"]}


def message(text):
    return {"text": text}


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "expected"),
    [
        # sample_rate is converted after the floats and axis, before the limiter.
        (([0.0, 0.5], -5, 1.0), {}, ValueError, message("sample_rate must be a positive 32-bit integer")),
        (([0.0, 0.5], 0), {"attack_ms": None}, TypeError, note("attack_ms")),
        (([0.0, 0.5], 0), {"axis": None}, TypeError, note("axis")),
        (([0.0, 0.5], 48000), {"axis": None, "release_ms": "x"}, TypeError, note("release_ms")),
        (([0.0, 0.5], 48000, 1.0), {"axis": 5}, ValueError,
         message("threshold_dBFS must be a finite dBFS value less than or equal to 0, got 1")),
        (([0.0, 0.5], 48000), {"attack_ms": -1, "hold_ms": -1}, ValueError,
         message("attack_ms must be finite and non-negative, got -1")),
        # audio is converted first of all.
        (("abc", 0), {"attack_ms": None}, ValueError, note("audio")),
    ],
)
def test_limit_conversion_order(args, kwargs, error, expected):
    with pytest.raises(error) as caught:
        limit(*args, **kwargs)
    if "text" in expected:
        assert str(caught.value) == expected["text"]
    else:
        assert caught.value.__notes__ == expected["notes"]


def test_limit_and_process_agree():
    audio = loud_stereo(frames=5000, seed=7)
    for config in [(48000,), (44100, -3.0, 1.0, 0.0, 0.0), (8000, -0.5, 2.5, 30.0, 100.0)]:
        for data, axis in [(audio, -1), (audio.T, 0), (audio[0], 0)]:
            assert_same_result(limit(data, *config, axis=axis), ZarnLimiter(*config).process(data, axis))


def test_limit_reports_unobtainable_storage_as_memory_error():
    with pytest.raises(MemoryError):
        limit(X, 48000, attack_ms=1e30)


# --- results -------------------------------------------------------------------


def test_result_is_a_fresh_tuple_and_the_input_is_untouched():
    audio = loud_stereo()
    original = audio.copy()
    audio.setflags(write=False)
    limiter = ZarnLimiter(48000)
    result = limiter.process(audio)
    out, frame_gains = result
    assert type(result) is tuple and len(result) == 2
    assert out is not audio and not np.shares_memory(out, audio)
    assert out.shape == audio.shape and frame_gains.shape == (audio.shape[1],)
    assert out.dtype == frame_gains.dtype == np.float32
    assert_bit_equal(audio, original)
    assert_same_result(limiter.process(audio), result)


# --- exclusive use -----------------------------------------------------------


class Reentrant:
    """An array-like whose conversion runs `action` while the call holds the limiter."""

    def __init__(self, action):
        self.action = action
        self.error = None

    def __array__(self, dtype=None, copy=None):
        try:
            self.action()
        except RuntimeError as error:
            self.error = error
        return np.array([0.0, 1.5, 0.25], dtype=np.float32)


@pytest.mark.parametrize(
    ("action", "message"),
    [
        (lambda limiter: limiter.process([0.0]), "Already borrowed"),
        (lambda limiter: limiter.sample_rate, "Already mutably borrowed"),
        (lambda limiter: limiter.release_samples, "Already mutably borrowed"),
        (lambda limiter: repr(limiter), "Already mutably borrowed"),
    ],
)
def test_reentry_during_process_is_refused(action, message):
    limiter = ZarnLimiter(1000, 0.0, 1.0, 0.0, 0.0)
    audio = Reentrant(lambda: action(limiter))
    result = limiter.process(audio)
    assert type(audio.error) is RuntimeError and str(audio.error) == message
    # Afterwards the object works as a fresh one does.
    plain = np.array([0.0, 1.5, 0.25], dtype=np.float32)
    assert_same_result(result, ZarnLimiter(1000, 0.0, 1.0, 0.0, 0.0).process(plain))
    assert limiter.sample_rate == 1000
    assert_same_result(limiter.process(plain), result)


def test_reentry_in_limit_uses_its_own_limiter():
    limiter = ZarnLimiter(1000, 0.0, 1.0, 0.0, 0.0)
    audio = Reentrant(lambda: limiter.process([0.0]))
    limit(audio, 1000, 0.0, 1.0, 0.0, 0.0)
    assert audio.error is None


@pytest.mark.parametrize(
    ("action", "message"),
    [
        (lambda limiter: limiter.process([0.0]), "Already borrowed"),
        (lambda limiter: limiter.hold_samples, "Already mutably borrowed"),
        (lambda limiter: str(limiter), "Already mutably borrowed"),
    ],
)
def test_other_thread_is_refused_while_process_holds_the_object(action, message):
    limiter = ZarnLimiter(48000)
    errors = []
    holding = threading.Event()
    done = threading.Event()

    def other_thread():
        holding.wait()
        try:
            action(limiter)
        except RuntimeError as error:
            errors.append(error)
        done.set()

    def hold_then_wait():
        holding.set()
        done.wait()  # releases the interpreter lock while the other thread runs

    thread = threading.Thread(target=other_thread)
    thread.start()
    limiter.process(Reentrant(hold_then_wait))
    thread.join()
    assert [str(error) for error in errors] == [message]


def test_concurrent_readers_see_values_or_the_borrow_error():
    limiter = ZarnLimiter(48000)
    audio = loud_stereo(frames=48000)
    expected = limiter.process(audio)
    stop = threading.Event()
    outcomes = set()

    def reader():
        while not stop.is_set():
            try:
                outcomes.add(limiter.lookahead_samples)
            except RuntimeError as error:
                outcomes.add(str(error))

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        results = [limiter.process(audio) for _ in range(5)]
    finally:
        stop.set()
        thread.join()
    assert outcomes <= {240, "Already mutably borrowed"}
    for result in results:
        assert_same_result(result, expected)
    assert limiter.lookahead_samples == 240


def test_distinct_objects_and_limit_calls_run_in_parallel():
    inputs = [loud_stereo(frames=20000, seed=seed) for seed in range(4)]
    expected = [limit(audio, 44100, -1.0) for audio in inputs]
    results = [None] * (2 * len(inputs))

    def work(slot):
        audio = inputs[slot % len(inputs)]
        if slot < len(inputs):
            results[slot] = ZarnLimiter(44100, -1.0).process(audio)
        else:
            results[slot] = limit(audio, 44100, -1.0)

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(len(results))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for slot, result in enumerate(results):
        assert_same_result(result, expected[slot % len(inputs)])


class BadArray:
    def __array__(self, dtype=None, copy=None):
        raise KeyError("no array")


@pytest.mark.parametrize(
    ("audio", "axis", "error"),
    [
        (np.zeros((2, 2, 2), dtype=np.float32), -1, ValueError),
        (np.zeros(4, dtype=np.float32), 1, ValueError),
        (np.zeros((0, 4), dtype=np.float32), -1, ValueError),
        (np.array([0.0, np.nan], dtype=np.float32), -1, ValueError),
        (BadArray(), -1, KeyError),
        (np.zeros(4, dtype=np.float32), None, TypeError),
    ],
)
def test_failed_call_leaves_the_object_usable(audio, axis, error):
    limiter = ZarnLimiter(48000, -2.0, 1.0, 2.0, 3.0)
    with pytest.raises(error):
        limiter.process(audio, axis)
    probe = loud_stereo(frames=600)
    assert_same_result(limiter.process(probe), ZarnLimiter(48000, -2.0, 1.0, 2.0, 3.0).process(probe))


def test_audio_conversion_error_carries_the_note():
    for call in (lambda: limit(BadArray(), 48000), lambda: ZarnLimiter(48000).process(BadArray())):
        with pytest.raises(KeyError) as caught:
            call()
        assert caught.value.__notes__ == ["while processing 'audio'"]



@pytest.mark.parametrize("axis", [2**63, -(2**63) - 1])
def test_axis_overflow_is_the_interpreters_64_bit_conversion(axis):
    # PyLong_AsLongLong's text: a C long is 32 bits on Windows, so converting
    # to long would give that platform a narrower axis range than this one.
    with pytest.raises(OverflowError) as caught:
        limit(X, 48000, axis=axis)
    assert caught.value.args == ("int too big to convert",)
