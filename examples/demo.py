"""Limit a built-in test signal and report what the limiter did."""

import numpy as np

import zarn_limiter


def test_signal(sample_rate: int, seconds: float = 2.0) -> np.ndarray:
    """A stereo chord with drum-like bursts that overshoot full scale."""
    t = np.arange(int(sample_rate * seconds)) / sample_rate
    chord = 0.4 * np.sin(2 * np.pi * 220.0 * t) + 0.3 * np.sin(2 * np.pi * 277.2 * t)
    bursts = 1.6 * np.exp(-30.0 * (t % 0.5)) * np.sin(2 * np.pi * 60.0 * t)
    left = chord + bursts
    right = 0.8 * chord + 0.9 * bursts
    return np.stack([left, right]).astype(np.float32)


def main() -> None:
    sample_rate = 48000
    ceiling_dBFS = -1.0
    audio = test_signal(sample_rate)
    limited, frame_gains = zarn_limiter.limit(audio, sample_rate, threshold_dBFS=ceiling_dBFS)
    reduction_dB = -20.0 * np.log10(frame_gains.min())
    print(f"frames:            {audio.shape[1]} at {sample_rate} Hz, {audio.shape[0]} channels")
    print(f"peak before:       {20 * np.log10(np.abs(audio).max()):+.2f} dBFS")
    print(f"peak after:        {20 * np.log10(np.abs(limited).max()):+.2f} dBFS (ceiling {ceiling_dBFS} dBFS)")
    print(f"largest reduction: {reduction_dB:.2f} dB")
    print(f"frames reduced:    {int((frame_gains < 1.0).sum())}")


if __name__ == "__main__":
    main()
