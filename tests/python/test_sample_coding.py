"""The coding of samples as files store them, compared byte for byte with libsndfile's."""

import io

import numpy as np
import pytest

from zarn_limiter_stream import decode_samples, encode_samples

# libsndfile's subtype of each sample type
SUBTYPES = {"int16": "PCM_16", "int24": "PCM_24", "int32": "PCM_32", "float32": "FLOAT",
            "float64": "DOUBLE"}
CASES = [(t, order) for t in SUBTYPES for order in ("little", "big")]


def values() -> np.ndarray:
    """Full scale and beyond, ties of every width's rounding, subnormals, NaN, and noise."""
    steps = np.array([2.0 ** -15, 2.0 ** -23, 2.0 ** -31])
    ties = np.concatenate([k * steps for k in (0.5, 1.5, 2.5, -0.5, -1.5)])
    edges = [0.0, -0.0, 1.0, -1.0, np.nextafter(np.float32(1), np.float32(2)), -1.0000001, 2.0,
             1e30, -1e30, np.inf, -np.inf, np.nan, 1e-40, -1e-40, 0.99999994]
    noise = np.random.default_rng(3).uniform(-1.1, 1.1, 20000)
    return np.concatenate([edges, ties, noise]).astype(np.float32).reshape(-1, 2)


def libsndfile_bytes(samples: np.ndarray, sample_type: str, order: str) -> bytes:
    sf = pytest.importorskip("soundfile")
    stored = io.BytesIO()
    with sf.SoundFile(stored, "w", 48000, samples.shape[1], format="RAW",
                      subtype=SUBTYPES[sample_type], endian=order.upper()) as out:
        out.write(samples)
    return stored.getvalue()


@pytest.mark.parametrize(("sample_type", "order"), CASES)
def test_samples_are_coded_as_libsndfile_codes_them(sample_type, order):
    samples = values()
    expected = libsndfile_bytes(samples, sample_type, order)
    stored = bytearray(len(expected))
    encode_samples(samples, stored, sample_type, order)
    assert stored == expected

    decoded = np.empty_like(samples)
    decode_samples(expected, decoded, sample_type, order)
    read = pytest.importorskip("soundfile").read(io.BytesIO(expected), dtype="float32", format="RAW", always_2d=True,
                   subtype=SUBTYPES[sample_type], endian=order.upper(), samplerate=48000,
                   channels=samples.shape[1])[0]
    assert decoded.view(np.uint32).tobytes() == read.view(np.uint32).tobytes()


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda s, b: encode_samples(s, b[:-1], "int24", "little"), ValueError,
     "out must hold the 12 bytes of 4 int24 samples, not 11"),
    (lambda s, b: decode_samples(b[:-1], s, "int24", "little"), ValueError,
     "data must hold the 12 bytes of 4 int24 samples, not 11"),
    (lambda s, b: encode_samples(s, b, "int8", "little"), ValueError,
     "sample_type must be 'int16', 'int24', 'int32', 'float32' or 'float64', got 'int8'"),
    (lambda s, b: encode_samples(s, b, "int24", "native"), ValueError,
     "byteorder must be 'little' or 'big', got 'native'"),
    (lambda s, b: encode_samples(s, bytes(b), "int24", "little"), TypeError,
     "out must be a writable, C-contiguous bytes-like object, got <class 'bytes'>"),
    (lambda s, b: encode_samples(s.astype(np.float64), b, "int24", "little"), ValueError,
     "samples must be a one- or two-dimensional float32 array in native byte order"),
    (lambda s, b: decode_samples(s.view(np.uint8).reshape(-1)[:12], s, "int24", "little"), ValueError,
     "the samples and the bytes must not share memory"),
])
def test_bad_arguments_are_refused(call, error, message):
    samples, stored = np.zeros((2, 2), np.float32), bytearray(12)
    with pytest.raises(error) as raised:
        call(samples, stored)
    assert str(raised.value) == message
