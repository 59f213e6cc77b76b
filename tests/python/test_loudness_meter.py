"""zarn_limiter_stream.LoudnessMeter: its measures against an independent
float64 computation, block division, conversion, bad input and threads."""

import math
import threading

import numpy as np
import pytest

import zarn_limiter_stream
from zarn_limiter_stream import Loudness, LoudnessMeter

scipy_signal = pytest.importorskip("scipy.signal")

RATE = 48000
JOIN_TIMEOUT = 60

# The standard's K-weighting at 48 kHz: the shelf, then the high-pass.
SHELF = ([1.53512485958697, -2.69169618940638, 1.19839281085285],
         [1.0, -1.69065929318241, 0.73248077421585])
HIGH_PASS = ([1.0, -2.0, 1.0], [1.0, -1.99004745483398, 0.99007225036621])


def loudness(mean_square):
    return -0.691 + 10 * np.log10(mean_square) if mean_square > 0 else -math.inf


def window_mean_squares(audio, weights, steps):
    """Weighted mean squares of the K-weighted audio over windows of `steps`
    100 ms steps, one per step."""
    weighted = scipy_signal.lfilter(*SHELF, audio.astype(np.float64), axis=0)
    weighted = scipy_signal.lfilter(*HIGH_PASS, weighted, axis=0)
    step = RATE // 10
    count = len(audio) // step
    energies = (weighted[: count * step] ** 2).reshape(count, step, -1).sum(axis=1) @ weights
    sums = np.convolve(energies, np.ones(steps), mode="valid")
    return sums / (steps * step)


def gated(mean_squares, relative_LU):
    """The mean squares above the absolute and then the relative gate."""
    above = mean_squares[[loudness(z) > -70 for z in mean_squares]]
    if len(above) == 0:
        return above
    threshold = loudness(above.mean()) - relative_LU
    return above[[loudness(z) > threshold for z in above]]


def reference(audio, weights):
    """Integrated loudness, loudness range and momentary and short-term maxima."""
    blocks = window_mean_squares(audio, weights, 4)
    windows = window_mean_squares(audio, weights, 30)
    kept = gated(blocks, 10)
    values = np.sort([loudness(z) for z in gated(windows, 20)])
    rank = lambda p: int(round((len(values) - 1) * p))  # noqa: E731
    return (
        loudness(kept.mean()) if len(kept) else -math.inf,
        values[rank(0.95)] - values[rank(0.10)] if len(values) else -math.inf,
        loudness(blocks.max()) if len(blocks) else -math.inf,
        loudness(windows.max()) if len(windows) else -math.inf,
    )


def programme(channels, seconds, seed):
    """Noise through a slow level contour with a quiet stretch and silence."""
    rng = np.random.default_rng(seed)
    frames = int(seconds * RATE)
    t = np.arange(frames) / RATE
    contour = 0.2 * (1.2 + np.sin(2 * np.pi * 0.11 * t))[:, None]
    audio = rng.standard_normal((frames, channels)) * contour
    audio[frames // 3 : frames // 3 + 4 * RATE] *= 0.01
    audio[-2 * RATE :] = 0
    return audio.astype(np.float32)


def measure(audio, channels=None, block=65536, **settings):
    meter = LoudnessMeter(RATE, channels or audio.shape[1], **settings)
    for start in range(0, len(audio), block):
        meter.add(audio[start : start + block])
    return meter.result()


@pytest.mark.parametrize(
    "channels, weights",
    [(2, [1.0, 1.0]), (5, [1.0, 1.0, 1.0, 1.41, 1.41]), (6, [1.0, 1.0, 1.0, 0.0, 1.41, 1.41])],
)
def test_loudness_matches_a_float64_computation(channels, weights):
    audio = programme(channels, 40, seed=channels)
    result = measure(audio)
    expected = reference(audio, np.array(weights))
    actual = (result.integrated_LUFS, result.loudness_range_LU, result.momentary_max_LUFS,
              result.short_term_max_LUFS)
    # The histograms decide gates and percentiles by 0.01 LU bins.
    np.testing.assert_allclose(actual, expected, atol=0.02)
    assert result.sample_peak_dBFS == 20 * math.log10(np.abs(audio).max())


def test_reconstructed_peak_matches_a_finer_resampling():
    rng = np.random.default_rng(3)
    # Band-limited to 0.4 times the rate, where both filters are flat.
    band = scipy_signal.firwin(255, 0.8)
    audio = scipy_signal.lfilter(band, 1.0, rng.standard_normal(RATE) * 0.3).astype(np.float32)
    result = measure(audio[:, None], reconstructed=True)
    upsampled = scipy_signal.resample_poly(audio.astype(np.float64), 64, 1,
                                           window=("kaiser", 12.0))
    expected = 20 * math.log10(np.abs(upsampled).max())
    assert result.reconstructed_peak_dBFS == pytest.approx(expected, abs=0.02)
    assert result.true_peak_dBTP <= result.reconstructed_peak_dBFS + 0.2


@pytest.mark.parametrize("longest", [1, 1000, 48000])
def test_any_division_into_blocks_gives_the_same_result(longest):
    audio = programme(2, 5, seed=7)
    whole = measure(audio, reconstructed=True, block=len(audio))
    rng = np.random.default_rng(longest)
    meter = LoudnessMeter(RATE, 2, reconstructed=True)
    start = 0
    while start < len(audio):
        length = int(rng.integers(0, longest + 1))
        meter.add(audio[start : start + length])
        start += length
    assert meter.result() == whole


@pytest.mark.parametrize(
    "convert",
    [
        lambda a: a.astype(np.float64),
        lambda a: np.asfortranarray(a),
        lambda a: np.repeat(a, 2, axis=0)[::2],
        lambda a: a.tolist(),
        lambda a: (a * 32767).astype(np.int16).astype(np.float32) / 32767,
    ],
    ids=["float64", "fortran", "strided", "list", "int16-levels"],
)
def test_inputs_are_converted_as_the_limiter_converts_them(convert):
    audio = programme(2, 4, seed=9)
    expected = measure(np.ascontiguousarray(np.asarray(convert(audio), dtype=np.float32)))
    assert measure(convert(audio), channels=2) == expected


def test_mono_blocks_may_be_one_dimensional():
    audio = programme(1, 4, seed=11)
    assert measure(audio[:, 0], channels=1) == measure(audio)


def test_short_programmes_and_silence_read_minus_infinity():
    meter = LoudnessMeter(RATE, 2, reconstructed=True)
    meter.add(np.zeros((RATE // 5, 2), np.float32))
    result = meter.result()
    assert result == Loudness([-math.inf] * 5 + [(-math.inf, -math.inf)] + [-math.inf] * 2)


def test_result_is_a_named_immutable_tuple():
    result = measure(programme(2, 1, seed=1))
    assert isinstance(result, tuple) and type(result).__module__ == "zarn_limiter_stream"
    assert result.reconstructed_peak_dBFS is None
    assert result.channel_true_peaks_dBTP == result[5] and len(result[5]) == 2
    assert max(result.channel_true_peaks_dBTP) == result.true_peak_dBTP
    with pytest.raises(AttributeError):
        result.integrated_LUFS = 0.0


def test_namespace():
    assert {"LoudnessMeter", "Loudness"} <= set(zarn_limiter_stream.__all__)
    assert LoudnessMeter.__module__ == Loudness.__module__ == "zarn_limiter_stream"


SAMPLE_RATE_TEXT = "sample_rate must be a positive 32-bit integer"
CHANNELS_TEXT = "channels must be a positive integer no greater than 65535"


@pytest.mark.parametrize(
    "arguments, text",
    [
        ((None, 2), SAMPLE_RATE_TEXT),
        ((0, 2), SAMPLE_RATE_TEXT),
        ((48000.0, 2), SAMPLE_RATE_TEXT),
        ((2**32, 2), SAMPLE_RATE_TEXT),
        ((7999, 2), "sample_rate must be at least 8000 Hz to measure loudness, got 7999"),
        ((48000, 0), CHANNELS_TEXT),
        ((48000, None), CHANNELS_TEXT),
        ((48000, 65536), CHANNELS_TEXT),
        ((48000, 2, [1.0]), "weights must give one value per channel: got 1 for 2 channels"),
        ((48000, 2, [1.0, math.nan]), "weights[1] must be finite and non-negative, got NaN"),
        ((48000, 2, [-1.0, 1.0]), "weights[0] must be finite and non-negative, got -1"),
    ],
)
def test_settings_are_checked(arguments, text):
    with pytest.raises(ValueError) as error:
        LoudnessMeter(*arguments)
    assert str(error.value) == text


def test_weights_that_are_not_numbers_name_the_argument():
    with pytest.raises(TypeError) as error:
        LoudnessMeter(RATE, 2, weights=["a", "b"])
    assert error.value.__notes__ == ["while processing 'weights'"]


def test_settings_are_kept():
    meter = LoudnessMeter(44100, 6, reconstructed=True)
    assert (meter.sample_rate, meter.channels, meter.weights, meter.reconstructed) == (
        44100, 6, (1.0, 1.0, 1.0, 0.0, 1.41, 1.41), True)
    assert repr(meter) == ("LoudnessMeter(sample_rate=44100, channels=6, "
                           "weights=(1.0, 1.0, 1.0, 0.0, 1.41, 1.41), reconstructed=True)")


@pytest.mark.parametrize(
    "block, text",
    [
        (np.zeros((4, 3)), "block has 3 channels, but the meter measures 2"),
        (np.zeros(4), "block has 1 channel, but the meter measures 2"),
        (np.zeros((2, 2, 2)), "block must be a 1D or 2D array, got 3 dimensions"),
        (np.float32(1.0), "block must be a 1D or 2D array, got 0 dimensions"),
    ],
)
def test_blocks_of_another_shape_are_refused(block, text):
    meter = LoudnessMeter(RATE, 2)
    with pytest.raises(ValueError) as error:
        meter.add(block)
    assert str(error.value) == text


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_a_non_finite_sample_is_refused_with_its_position(bad):
    meter = LoudnessMeter(RATE, 2, reconstructed=True)
    meter.add(programme(2, 1, seed=2))
    before = meter.result()
    block = programme(2, 1, seed=3)
    block[700, 1] = bad
    with pytest.raises(ValueError) as error:
        meter.add(block)
    assert (error.value.frame, error.value.channel) == (RATE + 700, 1)
    assert str(error.value) == f"input sample at frame {RATE + 700}, channel 1 is not finite"
    assert meter.result() == before


class HeldBlock:
    """A block whose conversion waits until the test lets it go on, holding
    the meter in the middle of `add`."""

    def __init__(self, audio):
        self.audio = audio
        self.entered = threading.Event()
        self.release = threading.Event()

    def __array__(self, dtype=None, copy=None):
        self.entered.set()
        assert self.release.wait(JOIN_TIMEOUT)
        return self.audio


@pytest.mark.parametrize(
    "use, text",
    [
        (lambda meter: meter.add(np.zeros((10, 2))), "Already borrowed"),
        (lambda meter: meter.result(), "Already mutably borrowed"),
        (lambda meter: meter.channels, "Already mutably borrowed"),
    ],
)
def test_a_meter_in_use_by_another_thread_is_refused(use, text):
    meter = LoudnessMeter(RATE, 2)
    held = HeldBlock(np.zeros((10, 2), np.float32))
    adding = threading.Thread(target=meter.add, args=(held,))
    adding.start()
    try:
        assert held.entered.wait(JOIN_TIMEOUT)
        with pytest.raises(RuntimeError) as error:
            use(meter)
        assert str(error.value) == text
    finally:
        held.release.set()
        adding.join(JOIN_TIMEOUT)
    meter.add(np.zeros((10, 2)))


def test_threads_with_their_own_meters_agree():
    audio = programme(2, 3, seed=5)
    expected = measure(audio, reconstructed=True)
    results = []

    def work():
        results.append(measure(audio, reconstructed=True, block=4096))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert results == [expected] * 4
