"""zarn-limit's levels: what it reports about the gain reduction, and the levels it promises
in the written file."""

import json

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

import zarn_limiter  # noqa: E402
from zarn_limiter_cli import main  # noqa: E402
from zarn_limiter_cli.demo_signal import SAMPLE_RATE, demo_signal  # noqa: E402

# A listener hears a reduction of more than this; the report counts those frames.
AUDIBLE_REDUCTION_dB = 0.1


def test_reduction_share_counts_frames_reduced_audibly(tmp_path, capsys):
    report = tmp_path / "report.json"

    assert main(["--output-dir", str(tmp_path), "--report", str(report)]) == 0

    row, = json.loads(report.read_text())
    _, gains = zarn_limiter.limit(demo_signal(), SAMPLE_RATE, row["sample_ceiling_dBFS"])
    reduced = np.count_nonzero(gains < 10.0 ** (-AUDIBLE_REDUCTION_dB / 20.0)) / gains.size
    assert 0.0 < reduced < 1.0
    assert row["reduced_frames_share"] == pytest.approx(reduced)
    assert f"on {100 * reduced:.1f}% of frames" in capsys.readouterr().out


def _sines(path, subtype, *partials, seconds=2.0, channels=1):
    """A file of sines, each (amplitude, frequency in Hz, phase), in every channel."""
    t = np.arange(int(48000 * seconds)) / 48000
    signal = sum(a * np.sin(2 * np.pi * f * t + phase) for a, f, phase in partials)
    sf.write(path, np.repeat(signal[:, np.newaxis], channels, axis=1), 48000, subtype=subtype)


def _reconstructed_peak_dBFS(samples, factor=16, edge=4800):
    """The peak of the band-limited signal through the samples, by FFT interpolation,
    away from the ends where the interpolation wraps around."""
    spectrum = np.fft.rfft(samples, axis=0)
    frames = samples.shape[0]
    fine = np.fft.irfft(spectrum, n=frames * factor, axis=0) * factor
    return 20 * np.log10(np.abs(fine[edge * factor:-edge * factor]).max())


def _levels(path, weights=None):
    stream = pytest.importorskip("zarn_limiter_stream")
    samples, rate = sf.read(path, dtype="float32", always_2d=True)
    meter = stream.LoudnessMeter(rate, samples.shape[1], weights=weights, reconstructed=True)
    meter.add(samples)
    return meter.result(), samples


TRUE_PEAKS = [
    ("sample-peak-below", "FLOAT", [(0.9, 12000, np.pi / 4)]),
    ("full-scale-at-fs/4", "FLOAT", [(1.0, 12000, np.pi / 4)]),
    ("near-nyquist", "FLOAT", [(0.5, 997, 0.0), (0.9, 23000, 0.0)]),
    ("near-nyquist-16-bit", "PCM_16", [(0.5, 997, 0.0), (0.9, 23000, 0.0)]),
]


@pytest.mark.parametrize(("subtype", "partials"), [case[1:] for case in TRUE_PEAKS],
                         ids=[case[0] for case in TRUE_PEAKS])
def test_true_peak_ceiling_holds_in_the_written_file(tmp_path, subtype, partials):
    pytest.importorskip("zarn_limiter_stream")
    source, report = tmp_path / "in.wav", tmp_path / "report.json"
    _sines(source, subtype, *partials)

    assert main([str(source), "--true-peak", "--ceiling", "-1", "--report", str(report)]) == 0

    row, = json.loads(report.read_text())
    written, samples = _levels(tmp_path / "in_limited.wav")
    assert written.true_peak_dBTP <= -1.0 and written.reconstructed_peak_dBFS <= -1.0
    if max(frequency for _, frequency, _ in partials) < 0.45 * 48000:
        # Away from the Nyquist frequency, where the limiter's gain puts sidebands that
        # an ideal (periodic) reconstruction takes whole, the meter agrees with it.
        assert _reconstructed_peak_dBFS(samples) <= -1.0 + 0.01
    # Within the ceiling, not far below it: the cut is what the ceiling needs.
    assert max(written.true_peak_dBTP, written.reconstructed_peak_dBFS) > -1.1
    assert row["output_true_peak_dBTP"] == pytest.approx(written.true_peak_dBTP, abs=1e-6)
    assert row["output_reconstructed_peak_dBFS"] == pytest.approx(
        written.reconstructed_peak_dBFS, abs=1e-6)


def _music(path, subtype="PCM_24", channels=2, seconds=12.0, level=0.05):
    """Noise with loud bursts, like a mix with drums; 6 channels as 5.1 with an LFE."""
    rng = np.random.default_rng(3)
    frames = int(48000 * seconds)
    audio = level * rng.standard_normal((frames, channels))
    for start in range(0, frames, 24000):
        audio[start:start + 2000] *= 3.5
    sf.write(path, np.clip(audio, -1, 1), 48000, subtype=subtype,
             format="WAVEX" if channels > 2 else "WAV")


# The speakers libsndfile's WAVE_FORMAT_EXTENSIBLE masks name: 5.1 as L R C LFE Ls Rs,
# 7.1 with the left and right of centre last.
LOUDNESS = [
    ("louder", 2, None, "-9", "-1"),
    ("quieter", 2, None, "-30", "-1"),
    ("5.1", 6, (1, 1, 1, 0, 1.41, 1.41), "-16", "-2"),
    ("7.1", 8, (1, 1, 1, 0, 1.41, 1.41, 1, 1), "-16", "-1"),
]


@pytest.mark.parametrize(("channels", "weights", "target", "ceiling"),
                         [case[1:] for case in LOUDNESS], ids=[case[0] for case in LOUDNESS])
def test_loudness_is_that_of_the_written_file(tmp_path, channels, weights, target, ceiling):
    pytest.importorskip("zarn_limiter_stream")
    source = tmp_path / "in.wav"
    _music(source, channels=channels)
    out = tmp_path / "out"

    assert main([str(source), "--dry-run", "--output-dir", str(out)]) == 0
    assert main([str(source), "--loudness", target, "--true-peak", "--ceiling", ceiling,
                 "--output-dir", str(out)]) == 0

    written, _ = _levels(out / "in_limited.wav", weights)
    assert abs(written.integrated_LUFS - float(target)) <= 0.1
    assert written.true_peak_dBTP <= float(ceiling)


def test_unreachable_loudness_fails_with_the_reachable_one(tmp_path, capsys):
    pytest.importorskip("zarn_limiter_stream")
    source = tmp_path / "in.wav"
    _music(source)

    assert main([str(source), "--loudness", "-2", "--ceiling", "-12",
                 "--output-dir", str(tmp_path / "out")]) == 1

    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "--loudness -2 LUFS cannot be reached" in err
    assert "LUFS at most" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]


@pytest.mark.parametrize("preset", ["ebu-r128", "atsc-a85", "streaming", "podcast"])
def test_preset_delivers_and_reports_its_check(tmp_path, preset):
    pytest.importorskip("zarn_limiter_stream")
    source, report = tmp_path / "in.wav", tmp_path / "report.json"
    _music(source)

    assert main([str(source), "--preset", preset, "--report", str(report)]) == 0

    row, = json.loads(report.read_text())
    assert (row["preset"], row["preset_check"]) == (preset, "pass")
    for measure in ("loudness_range_{}_LU", "momentary_max_{}_LUFS", "short_term_max_{}_LUFS"):
        assert row[measure.format("before")] is not None
        assert row[measure.format("after")] is not None
