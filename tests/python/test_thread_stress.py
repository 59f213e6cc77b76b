"""Many threads on shared and private limiter objects.

Threads mix `process`, `limit`, property reads and `repr()` on one limiter
they all share, on limiters of their own and through the one-shot function.
Nothing may crash or hang; the only errors allowed are the refusals of an
object in use ("Already borrowed", "Already mutably borrowed"), and only on
the shared object; every result must equal the single-threaded one bit for
bit. A second test holds a limiter in `process` on purpose (its input's
`__array__` waits for the test) so that the refusals seen from another
thread do not depend on timing.

ZARN_STRESS_ROUNDS sets the number of operations per thread (default 150).
"""

import os
import random
import sys
import threading

import numpy as np
import pytest

import zarn_limiter

THREADS = 8
ROUNDS = int(os.environ.get("ZARN_STRESS_ROUNDS", "150"))
# Generous: only a deadlock comes near it.
JOIN_TIMEOUT = 300

CONFIG = dict(sample_rate=8000, threshold_dBFS=-2.0, attack_ms=3.0, hold_ms=4.0, release_ms=20.0)
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


def make_inputs():
    rng = np.random.default_rng(7)
    stereo = (rng.standard_normal((2, 6000)) * 1.5).astype(np.float32)
    return [
        (stereo, -1),
        (np.ascontiguousarray(stereo.T), 0),
        (stereo[0, ::-1], -1),
        ((rng.standard_normal(3000) * 3).tolist(), 0),
    ]


def bits_of(result):
    return tuple(np.ascontiguousarray(a).view(np.uint32).tobytes() for a in result)


@pytest.fixture(scope="module")
def reference():
    """Inputs and the results one thread gets for them."""
    inputs = make_inputs()
    limiter = zarn_limiter.ZarnLimiter(**CONFIG)
    results = [bits_of(limiter.process(audio, axis)) for audio, axis in inputs]
    properties = (limiter.sample_rate, limiter.threshold, limiter.threshold_dBFS,
                  limiter.lookahead_samples, limiter.attack_samples, limiter.hold_samples,
                  limiter.release_samples)
    return inputs, results, properties, repr(limiter)


@pytest.fixture
def fast_switching():
    # Switch threads as often as the interpreter allows, for more interleavings.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def read_properties(limiter):
    return (limiter.sample_rate, limiter.threshold, limiter.threshold_dBFS,
            limiter.lookahead_samples, limiter.attack_samples, limiter.hold_samples,
            limiter.release_samples)


def test_threads_share_and_own_limiters(reference, fast_switching):
    inputs, results, properties, representation = reference
    shared = zarn_limiter.ZarnLimiter(**CONFIG)
    start = threading.Barrier(THREADS)
    failures = []
    tallies = []

    def worker(seed):
        choose = random.Random(seed)
        own = zarn_limiter.ZarnLimiter(**CONFIG)
        tally = {"calls": 0, "refused": 0}
        start.wait()
        for _ in range(ROUNDS):
            target = choose.choice([shared, shared, own])
            operation = choose.choice(["process", "process", "limit", "properties", "repr"])
            case = choose.randrange(len(inputs))
            audio, axis = inputs[case]
            tally["calls"] += 1
            try:
                if operation == "process":
                    ok = bits_of(target.process(audio, axis)) == results[case]
                elif operation == "limit":
                    ok = bits_of(zarn_limiter.limit(audio, axis=axis, **CONFIG)) == results[case]
                elif operation == "properties":
                    ok = read_properties(target) == properties
                else:
                    ok = repr(target) == representation
                if not ok:
                    failures.append(f"{operation}: result differs from one thread's")
            except RuntimeError as error:
                if str(error) not in BORROW_ERRORS or target is own or operation == "limit":
                    failures.append(f"{operation}: {error!r}")
                tally["refused"] += 1
            except BaseException as error:  # noqa: BLE001 - any other error is a failure
                failures.append(f"{operation}: {error!r}")
        tallies.append(tally)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"
    assert failures == []
    calls = sum(t["calls"] for t in tallies)
    assert calls == THREADS * ROUNDS
    print(f"{calls} calls, {sum(t['refused'] for t in tallies)} refused as in use")
    # The shared object is as good as new afterwards.
    audio, axis = inputs[0]
    assert bits_of(shared.process(audio, axis)) == results[0]


class HeldInput:
    """Audio whose conversion waits until the test lets it go on, holding
    the limiter that converts it in the middle of `process`."""

    def __init__(self, audio):
        self.audio = audio
        self.entered = threading.Event()
        self.release = threading.Event()

    def __array__(self, dtype=None, copy=None):
        self.entered.set()
        assert self.release.wait(JOIN_TIMEOUT)
        return self.audio


@pytest.mark.parametrize("operation, message", [
    (lambda limiter, audio: limiter.process(audio), "Already borrowed"),
    (lambda limiter, audio: limiter.threshold, "Already mutably borrowed"),
    (lambda limiter, audio: limiter.attack_samples, "Already mutably borrowed"),
    (lambda limiter, audio: repr(limiter), "Already mutably borrowed"),
])
def test_an_object_in_process_refuses_other_threads(reference, operation, message):
    inputs, results, _, _ = reference
    audio, _ = inputs[0]
    limiter = zarn_limiter.ZarnLimiter(**CONFIG)
    held = HeldInput(audio)
    outcome = {}
    holder = threading.Thread(target=lambda: outcome.update(result=limiter.process(held)))
    holder.start()
    try:
        assert held.entered.wait(JOIN_TIMEOUT)
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            operation(limiter, audio)
        # Other objects and the one-shot function are not held up.
        assert bits_of(zarn_limiter.ZarnLimiter(**CONFIG).process(audio)) == results[0]
        assert bits_of(zarn_limiter.limit(audio, **CONFIG)) == results[0]
    finally:
        held.release.set()
        holder.join(JOIN_TIMEOUT)
    assert not holder.is_alive()
    assert bits_of(outcome["result"]) == results[0]
    assert bits_of(limiter.process(audio)) == results[0]
