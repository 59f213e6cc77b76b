"""The example program examples/limit_files.py, run on files it generates."""

import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("matplotlib")
pytest.importorskip("tqdm")

import zarn_limiter  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "limit_files.py"
# The program is a script, not an installed module: load it under its own name.
limit_files = types.ModuleType("limit_files")
limit_files.__file__ = str(EXAMPLE)
sys.modules["limit_files"] = limit_files
exec(compile(EXAMPLE.read_text(encoding="utf-8"), EXAMPLE, "exec"), limit_files.__dict__)

RATE = 44100
CEILING_DBFS = -3.0
CEILING = float(np.float32(10.0 ** (CEILING_DBFS / 20.0)))
OPTIONS = ["--ceiling", str(CEILING_DBFS), "--attack", "2", "--hold", "5", "--release", "20"]
# One step of the PCM grid, as libsndfile reads the samples back.
QUANTUM = {"PCM_16": 2.0**-15, "PCM_24": 2.0**-23, "FLOAT": 0.0}


def bursts(frames: int, channels: int, peak: float) -> np.ndarray:
    """(frames, channels) noise with loud bursts that reach `peak`, different per channel."""
    rng = np.random.default_rng(channels * 1000 + frames)
    audio = 0.3 * rng.standard_normal((frames, channels))
    for start in range(frames // 7, frames, max(1, frames // 3)):
        audio[start : start + 200] *= 3.0
    return (audio * (peak / np.abs(audio).max(initial=1e-9))).astype(np.float32)


def make_file(
    path: Path, container: str, subtype: str, channels: int, frames: int = 6000
) -> np.ndarray:
    """Write a test file and return its samples as the program will read them."""
    # PCM cannot hold samples above full scale; floats can.
    peak = 1.6 if subtype == "FLOAT" else 0.98
    with sf.SoundFile(path, "w", RATE, channels, subtype, format=container) as out:
        out.title = "bursts"
        out.write(bursts(frames, channels, peak))
    return sf.read(path, dtype="float32", always_2d=True)[0]


def expected(audio: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    return zarn_limiter.limit(
        audio, RATE, threshold_dBFS=CEILING_DBFS, attack_ms=2.0, hold_ms=5.0, release_ms=20.0,
        axis=0,
    )


def leftovers(directory: Path) -> list[str]:
    return sorted(p.name for p in directory.iterdir() if p.name.startswith("."))


@pytest.mark.parametrize(
    ("container", "subtype", "extension", "channels"),
    [
        ("WAV", "PCM_16", ".wav", 1),
        ("WAV", "PCM_24", ".wav", 2),
        ("WAV", "FLOAT", ".wav", 6),
        ("FLAC", "PCM_16", ".flac", 2),
        ("FLAC", "PCM_24", ".flac", 1),
        ("AIFF", "PCM_16", ".aiff", 2),
        ("AIFF", "FLOAT", ".aif", 1),
    ],
)
def test_lossless_round_trip(tmp_path, capsys, container, subtype, extension, channels):
    source = tmp_path / f"in{extension}"
    audio = make_file(source, container, subtype, channels)

    assert limit_files.main([str(source), *OPTIONS]) == 0

    target = tmp_path / f"in_limited{extension}"
    info, original = sf.info(target), sf.info(source)
    assert (info.format, info.subtype, info.samplerate, info.channels, info.frames) == (
        original.format, original.subtype, original.samplerate, original.channels,
        original.frames,
    )
    assert sf.SoundFile(target).copy_metadata() == sf.SoundFile(source).copy_metadata()
    written = sf.read(target, dtype="float32", always_2d=True)[0]
    limited, frame_gains = expected(audio)
    assert frame_gains.min() < 0.9, "the test signal must need limiting"
    # What the file holds is the library's result, to the subtype's precision.
    np.testing.assert_allclose(written, limited, rtol=0, atol=QUANTUM[subtype])
    assert np.abs(written).max() <= CEILING + QUANTUM[subtype]
    line = capsys.readouterr().out
    reduction = -20 * np.log10(frame_gains.min())
    assert f"largest gain reduction {reduction:.2f} dB" in line
    assert f"-> {20 * np.log10(np.abs(written).max()):+.2f} dBFS" in line
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize("channels", [1, 2])
def test_ogg_vorbis_round_trip(tmp_path, capsys, channels):
    source = tmp_path / "in.ogg"
    audio = make_file(source, "OGG", "VORBIS", channels, frames=RATE)

    assert limit_files.main([str(source), "--ceiling", "-12"]) == 0

    target = tmp_path / "in_limited.ogg"
    info = sf.info(target)
    assert (info.format, info.subtype, info.samplerate, info.channels, info.frames) == (
        "OGG", "VORBIS", RATE, channels, audio.shape[0],
    )
    # Lossy: the encoder overshoots the ceiling a little (and the program says
    # so), but the bursts 11 dB above it are brought down to it.
    ceiling = 10.0 ** (-12.0 / 20.0)
    written = np.abs(sf.read(target, dtype="float32")[0]).max()
    assert written < ceiling * 10.0 ** (3.0 / 20.0) < np.abs(audio).max()
    assert ("peaks" in capsys.readouterr().out) == (written > np.float32(ceiling))


def test_empty_file_is_written_empty(tmp_path, capsys):
    source = tmp_path / "empty.wav"
    make_file(source, "WAV", "PCM_16", 2, frames=0)

    assert limit_files.main([str(source)]) == 0

    assert sf.info(tmp_path / "empty_limited.wav").frames == 0
    assert "largest gain reduction 0.00 dB" in capsys.readouterr().out


@pytest.mark.parametrize(
    ("make_bad", "message"),
    [
        (lambda path: path.write_text("not audio"), "cannot read this file as audio"),
        (lambda path: None, "no such file"),
        (lambda path: path.mkdir(), "no such file"),
    ],
    ids=["not-audio", "missing", "directory"],
)
def test_unreadable_input_writes_nothing(tmp_path, capsys, make_bad, message):
    good = tmp_path / "good.wav"
    make_file(good, "WAV", "PCM_16", 1)
    bad = tmp_path / "bad.wav"
    make_bad(bad)

    assert limit_files.main([str(good), str(bad)]) == 2

    err = capsys.readouterr().err
    assert str(bad) in err and message in err and "nothing was written" in err
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        name for name in ("good.wav", "bad.wav") if (tmp_path / name).exists()
    )


def test_non_finite_sample_fails_that_file_only(tmp_path, capsys):
    good = tmp_path / "good.wav"
    make_file(good, "WAV", "FLOAT", 2)
    bad = tmp_path / "bad.wav"
    samples = bursts(500, 2, 0.5)
    samples[100, 1] = np.nan
    sf.write(bad, samples, RATE, subtype="FLOAT")

    assert limit_files.main([str(bad), str(good), "--jobs", "2"]) == 1

    assert "input sample at flat index 201 is not finite" in capsys.readouterr().err
    assert (tmp_path / "good_limited.wav").exists()
    assert not (tmp_path / "bad_limited.wav").exists()
    assert leftovers(tmp_path) == []


def test_failed_write_keeps_previous_output(tmp_path, monkeypatch, capsys):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_24", 2)
    target = tmp_path / "in_limited.wav"
    target.write_bytes(b"previous result")

    def fail(self, data):
        raise OSError("disk full")

    monkeypatch.setattr(sf.SoundFile, "write", fail)
    assert limit_files.main([str(source)]) == 1

    assert "disk full" in capsys.readouterr().err
    assert target.read_bytes() == b"previous result"
    assert leftovers(tmp_path) == []


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--ceiling", "1"], "threshold_dBFS must be a finite dBFS value"),
        (["--attack", "0.01"], "attack_ms=0.01 rounds to zero samples at 44100 Hz"),
        (["--release", "-5"], "release_ms must be finite and non-negative, got -5"),
        (["--suffix", ""], "would overwrite an input"),
    ],
)
def test_bad_settings_write_nothing(tmp_path, capsys, arguments, message):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_16", 1)

    assert limit_files.main([str(source), *arguments]) == 2

    assert message in capsys.readouterr().err
    assert [p.name for p in tmp_path.iterdir()] == ["in.wav"]


def test_two_inputs_with_one_output_name_are_refused(tmp_path, capsys):
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        make_file(tmp_path / folder / "x.wav", "WAV", "PCM_16", 1)

    status = limit_files.main(
        [str(tmp_path / "a" / "x.wav"), str(tmp_path / "b" / "x.wav"), "--output-dir",
         str(tmp_path / "out")]
    )

    assert status == 2 and "would both be written to" in capsys.readouterr().err
    assert list((tmp_path / "out").iterdir()) == []


def test_parallel_jobs_match_serial_run(tmp_path):
    sources = []
    for index, channels in enumerate((1, 2, 3, 2, 1)):
        sources.append(tmp_path / f"in{index}.flac")
        make_file(sources[-1], "FLAC", "PCM_24", channels)

    for folder, jobs in (("serial", "1"), ("parallel", "2")):
        arguments = [*map(str, sources), *OPTIONS, "--jobs", jobs]
        assert limit_files.main([*arguments, "--output-dir", str(tmp_path / folder)]) == 0

    for source in sources:
        name = f"{source.stem}_limited.flac"
        serial, parallel = tmp_path / "serial" / name, tmp_path / "parallel" / name
        assert parallel.read_bytes() == serial.read_bytes()


def test_plot_of_a_file(tmp_path, capsys):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_16", 2)

    assert limit_files.main([str(source), "--plot", str(tmp_path / "plot.png")]) == 0

    assert (tmp_path / "plot.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_demo_without_input_writes_limited_signal(tmp_path):
    """The README's first command: run as a program, in a directory without audio."""
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), "--plot", "demo.png"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )

    assert result.returncode == 0, result.stderr
    assert "built-in test signal" in result.stdout
    info = sf.info(tmp_path / "limited_demo.wav")
    assert (info.samplerate, info.channels, info.subtype) == (48000, 2, "FLOAT")
    written = sf.read(tmp_path / "limited_demo.wav", dtype="float32")[0]
    assert np.abs(written).max() <= np.float32(10.0 ** (-1.0 / 20.0))
    assert (tmp_path / "demo.png").stat().st_size > 10_000
