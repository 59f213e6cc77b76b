"""Configurations and buffers whose storage cannot be had.

They are refused with MemoryError at once, before anything is filled, and
the limiter objects involved keep working. Nothing here may end the process.
"""

import os

import numpy as np
import pytest

import zarn_limiter


def under_address_sanitizer():
    # Only Linux has the map, and only Linux builds run under the sanitizer.
    if not os.path.exists("/proc/self/maps"):
        return False
    with open("/proc/self/maps") as maps:
        mapped = maps.read()
    return "libasan" in mapped or "libclang_rt.asan" in mapped


# The sanitizer's operator new ends the process when it cannot allocate,
# where the ordinary one throws; sizes that pass the core's own size checks
# reach that allocation.
needs_ordinary_allocator = pytest.mark.skipif(
    under_address_sanitizer(), reason="the address sanitizer aborts on a failed operator new")


@pytest.mark.parametrize("settings", [
    pytest.param(dict(attack_ms=1e300), id="attack saturates the sample count"),
    pytest.param(dict(hold_ms=1e300), id="hold saturates the sample count"),
    pytest.param(dict(attack_ms=1.7976931348623157e308, hold_ms=1e308),
                 id="attack plus hold overflows"),
    pytest.param(dict(attack_ms=1e9), id="attack of 11 days",
                 marks=needs_ordinary_allocator),
    pytest.param(dict(hold_ms=1e9), id="hold of 11 days", marks=needs_ordinary_allocator),
])
def test_huge_configurations_raise_memory_error(settings):
    with pytest.raises(MemoryError):
        zarn_limiter.ZarnLimiter(48000, **settings)
    with pytest.raises(MemoryError):
        zarn_limiter.limit([0.5, 2.0], 48000, **settings)


# Zero-stride views: tiny arrays whose channel-major copy would take
# hundreds of terabytes or more.
@pytest.mark.parametrize("shape, axis", [
    ((2, 2**45), -1),
    ((2**45, 2), 0),
    ((2**60,), 0),
    ((1, 2**60), -1),
    ((2**59, 2), 0),
])
def test_buffers_too_large_to_copy_raise_memory_error(shape, axis):
    audio = np.broadcast_to(np.float32(0.25), shape)
    limiter = zarn_limiter.ZarnLimiter(8000)
    with pytest.raises(MemoryError):
        limiter.process(audio, axis)
    with pytest.raises(MemoryError):
        zarn_limiter.limit(audio, 8000, axis=axis)
    # The refusal leaves the object usable.
    small = np.array([0.5, 2.0, -3.0], dtype=np.float32)
    fresh = zarn_limiter.ZarnLimiter(8000).process(small)
    assert all(np.array_equal(a, b) for a, b in zip(limiter.process(small), fresh))


@pytest.mark.parametrize("call, names", [
    (lambda: zarn_limiter.limit([0.5], 48000, hold_ms=1e300), ["look-ahead", "hold_ms"]),
    (lambda: zarn_limiter.ZarnLimiter(48000, attack_ms=1e300), ["look-ahead", "attack_ms"]),
    (lambda: zarn_limiter.limit(np.broadcast_to(np.float32(0.25), (2, 2**45)), 8000),
     ["samples", "2 channels", "35184372088832 frames"]),
    (lambda: zarn_limiter.limit(np.broadcast_to(np.float64(0.25), (2**59,)), 8000),
     ["samples", "shape (576460752303423488,)"]),
])
def test_memory_errors_say_what_could_not_be_allocated(call, names):
    with pytest.raises(MemoryError) as caught:
        call()
    text = str(caught.value)
    assert all(name in text for name in names), text
