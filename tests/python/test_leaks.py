"""Memory and reference counts across many calls, on every path.

A child interpreter (this file run as a script) repeats each call thousands
of times: successful calls of every layout, and every way a call can fail
(argument binding, conversion errors carrying notes, layout errors,
non-finite samples, configuration errors, objects already in use, storage
that cannot be had). For each case it reports the growth of the memory the
interpreter traces, the growth of the resident set, and the reference counts
of every object the call was handed, before and after. The tests then ask
that all of them stay flat.

ZARN_LEAK_ITERATIONS sets the number of repetitions in each of the two
halves of a measurement (default 1000).
"""

import json
import os
import subprocess
import sys

import pytest

ITERATIONS = int(os.environ.get("ZARN_LEAK_ITERATIONS", "1000"))
# Long enough for the caches that the interpreter and NumPy fill on error
# paths to be full, also with the plain malloc of a sanitizer run.
WARM_UP = 2 * ITERATIONS


# --- The child: the workload ---


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        mapped = maps.read()
    return "libasan" in mapped or "libclang_rt.asan" in mapped


def leak_cases():
    """Name -> (call, objects whose reference counts must not change)."""
    import numpy as np

    import zarn_limiter
    from zarn_limiter import ZarnLimiter, limit

    rate = 8000
    limiter = ZarnLimiter(rate, -1.0, 2.0, 3.0, 5.0)
    # Inputs large enough that a lost sample buffer shows in the resident set.
    rng = np.random.default_rng(1)
    stereo = (rng.standard_normal((2, 8192)) * 2).astype(np.float32)
    frames_first = np.ascontiguousarray(stereo.T)
    mono = stereo[0].copy()
    reversed_view = stereo[:, ::-1]
    float64_input = stereo.astype(np.float64)
    as_list = mono[:512].tolist()
    non_finite = stereo.copy()
    non_finite[1, 5000] = np.nan
    non_finite_frames_first = np.ascontiguousarray(non_finite.T)
    cube = np.zeros((2, 2, 2), dtype=np.float32)
    no_channels = np.zeros((0, 16), dtype=np.float32)
    # Zero-stride views whose channel-major copies cannot be allocated.
    too_large = np.broadcast_to(np.float32(0.5), (2, 2**45))
    too_large_frames_first = np.broadcast_to(np.float32(0.5), (2**45, 2))
    # Objects created here, so that their reference counts are their own.
    threshold = float("-1.5")
    huge_attack = float("1e300")
    big_axis = 2**64 + 17
    bad_text = "not a number " + str(rate)

    class RaisingArray:
        def __array__(self, dtype=None, copy=None):
            raise KeyError("no array here")

    class ReentrantArray:
        """Calls back into the limiter that is converting it."""

        def __init__(self, action):
            self.action = action

        def __array__(self, dtype=None, copy=None):
            try:
                self.action()
            except RuntimeError:
                pass
            return mono

    from zarn_limiter_stream import LoudnessMeter

    meter = LoudnessMeter(rate, 2, reconstructed=True)
    mono_meter = LoudnessMeter(rate, 1)
    weights = [1.0, float("0.5")]
    bad_weights = [1.0, bad_text]
    reentrant_add = ReentrantArray(lambda: mono_meter.result())

    raising_array = RaisingArray()
    reentrant_process = ReentrantArray(lambda: limiter.process(mono))
    reentrant_property = ReentrantArray(lambda: limiter.lookahead_samples)
    reentrant_repr = ReentrantArray(lambda: repr(limiter))

    def expect(error, call):
        def run():
            try:
                call()
            except error:
                return
            raise AssertionError(f"{call} did not raise {error.__name__}")
        return run

    cases = {
        # Successful calls of every layout and input form.
        "process (channels, frames)": (lambda: limiter.process(stereo), [stereo]),
        "process (frames, channels)": (lambda: limiter.process(frames_first, 0), [frames_first]),
        "process mono": (lambda: limiter.process(mono), [mono]),
        "process reversed view": (lambda: limiter.process(reversed_view), [reversed_view]),
        "process float64 array": (lambda: limiter.process(float64_input), [float64_input]),
        "process list": (lambda: limiter.process(as_list), [as_list]),
        "limit (frames, channels)": (
            lambda: limit(frames_first, rate, threshold, axis=0), [frames_first, threshold]),
        "construct and drop": (lambda: ZarnLimiter(48000, threshold, 500.0, 500.0),
                               [threshold, ZarnLimiter]),
        "repr and properties": (
            lambda: (repr(limiter), limiter.threshold, limiter.release_samples), [limiter]),
        # Argument binding.
        "binder: too many positional": (
            expect(TypeError, lambda: limit(mono, rate, 0, 1, 1, 1, -1, 9)), [mono]),
        "binder: unexpected keyword": (
            expect(TypeError, lambda: limiter.process(mono, frames=1)), [mono]),
        "binder: multiple values": (
            expect(TypeError, lambda: ZarnLimiter(rate, sample_rate=rate)), []),
        "binder: missing": (expect(TypeError, lambda: limit(mono)), [mono]),
        # Conversion errors, which carry notes.
        "conversion: audio str": (expect(ValueError, lambda: limit(bad_text, rate)), [bad_text]),
        "conversion: __array__ raises": (
            expect(KeyError, lambda: limiter.process(raising_array)), [raising_array]),
        "conversion: axis too large": (
            expect(OverflowError, lambda: limiter.process(mono, big_axis)), [mono, big_axis]),
        "conversion: axis None": (expect(TypeError, lambda: limiter.process(mono, None)), [mono]),
        "conversion: threshold str": (
            expect(TypeError, lambda: ZarnLimiter(rate, bad_text)), [bad_text]),
        "conversion: sample_rate": (expect(ValueError, lambda: limit(mono, bad_text)),
                                    [mono, bad_text]),
        # Configuration errors.
        "configuration: threshold": (
            expect(ValueError, lambda: limit(stereo, rate, -threshold)), [stereo, threshold]),
        "configuration: attack rounds to zero": (
            expect(ValueError, lambda: ZarnLimiter(rate, attack_ms=0.01)), []),
        # Layout errors and non-finite samples.
        "layout: rank": (expect(ValueError, lambda: limiter.process(cube)), [cube]),
        "layout: axis": (expect(ValueError, lambda: limiter.process(stereo, 2)), [stereo]),
        "layout: empty channels": (
            expect(ValueError, lambda: limiter.process(no_channels)), [no_channels]),
        "non-finite (channels, frames)": (
            expect(ValueError, lambda: limiter.process(non_finite)), [non_finite]),
        "non-finite (frames, channels)": (
            expect(ValueError, lambda: limit(non_finite_frames_first, rate, axis=0)),
            [non_finite_frames_first]),
        # Objects already in use.
        "borrowed: process within process": (
            lambda: limiter.process(reentrant_process), [reentrant_process, limiter]),
        "borrowed: property within process": (
            lambda: limiter.process(reentrant_property), [reentrant_property, limiter]),
        "borrowed: repr within process": (
            lambda: limiter.process(reentrant_repr), [reentrant_repr, limiter]),
        # The loudness meter: every path of its own.
        "meter: construct and drop": (
            lambda: LoudnessMeter(48000, 2, weights, True), [weights, LoudnessMeter]),
        "meter: add and result": (
            lambda: (meter.add(frames_first), meter.result(), repr(meter), meter.weights),
            [frames_first, meter]),
        "meter: add list": (lambda: mono_meter.add(as_list), [as_list]),
        "meter: settings": (expect(ValueError, lambda: LoudnessMeter(None, 2)), []),
        "meter: weights conversion": (
            expect(TypeError, lambda: LoudnessMeter(rate, 2, bad_weights)), [bad_weights]),
        "meter: channel count": (expect(ValueError, lambda: meter.add(stereo)), [stereo]),
        "meter: non-finite": (
            expect(ValueError, lambda: meter.add(non_finite_frames_first)),
            [non_finite_frames_first]),
        "meter: borrowed": (
            lambda: mono_meter.add(reentrant_add), [reentrant_add, mono_meter]),
        # Storage that cannot be had.
        "memory: huge attack": (
            expect(MemoryError, lambda: ZarnLimiter(rate, attack_ms=huge_attack)), [huge_attack]),
        "memory: huge buffer": (
            expect(MemoryError, lambda: limiter.process(too_large)), [too_large]),
        "memory: huge buffer (frames, channels)": (
            expect(MemoryError, lambda: limit(too_large_frames_first, rate, axis=0)),
            [too_large_frames_first]),
    }
    return cases


def traced_growth(call, iterations):
    import gc
    import tracemalloc

    before = tracemalloc.get_traced_memory()[0]
    for _ in range(iterations):
        call()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before


def measure(call, watched, iterations):
    """Runs `call` 2 x `iterations` times after a warm-up. The traced growth
    is the smaller of the two halves: the interpreter's free lists and caches
    may fill once within either half, while a leak grows in both."""
    import gc

    for _ in range(WARM_UP):
        call()
    gc.collect()
    counts_before = [sys.getrefcount(obj) for obj in watched]
    resident_before = resident_bytes()
    halves = [traced_growth(call, iterations), traced_growth(call, iterations)]
    resident_growth = resident_bytes() - resident_before
    counts_after = [sys.getrefcount(obj) for obj in watched]
    return {
        "traced_growth": min(halves),
        "resident_growth": resident_growth,
        "refcounts": [counts_before, counts_after],
    }


def child_main(iterations):
    import tracemalloc

    tracemalloc.start()
    results = {name: measure(call, watched, iterations)
               for name, (call, watched) in leak_cases().items()}
    print(json.dumps({"asan": under_address_sanitizer(), "cases": results}))


# --- The parent: the assertions ---

CASE_NAMES = list(leak_cases())

# Half of one lost Python object per call (the smallest takes 16 bytes), and
# an eighth of one lost sample buffer per call (32 KiB) over both halves.
TRACED_LIMIT = ITERATIONS * 8
RESIDENT_LIMIT = ITERATIONS * 8 * 1024


# The resident set comes from /proc.
pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="reads the resident set from /proc")


@pytest.fixture(scope="module")
def measurements():
    completed = subprocess.run(
        [sys.executable, __file__, str(ITERATIONS)],
        capture_output=True, text=True, timeout=600,
    )
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


def test_every_case_was_measured(measurements):
    assert sorted(measurements["cases"]) == sorted(CASE_NAMES)


@pytest.mark.parametrize("case", CASE_NAMES)
def test_reference_counts_are_unchanged(measurements, case):
    before, after = measurements["cases"][case]["refcounts"]
    assert after == before


@pytest.mark.parametrize("case", CASE_NAMES)
def test_traced_memory_stays_flat(measurements, case):
    assert measurements["cases"][case]["traced_growth"] < TRACED_LIMIT


@pytest.mark.parametrize("case", CASE_NAMES)
def test_resident_memory_stays_flat(measurements, case):
    if measurements["asan"]:
        pytest.skip("the address sanitizer's quarantine holds freed memory resident")
    assert measurements["cases"][case]["resident_growth"] < RESIDENT_LIMIT


if __name__ == "__main__":
    child_main(int(sys.argv[1]))
