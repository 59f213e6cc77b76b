"""zarn-limit on files it is given: formats kept, the ceiling held in the written file,
copies of files within it, loudness and true peak, and what it refuses."""

import csv
import json
import sys

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

import zarn_limiter  # noqa: E402
from zarn_limiter_cli import main  # noqa: E402
from zarn_limiter_cli.file_result import REPORT_COLUMNS  # noqa: E402

from cli_audio import RATE, leftovers, make_file  # noqa: E402

CEILING_DBFS = -3.0
CEILING = 10.0 ** (CEILING_DBFS / 20.0)
OPTIONS = ["--ceiling", str(CEILING_DBFS), "--attack", "2", "--hold", "5", "--release", "20"]


def read_exact(path):
    return sf.read(path, dtype="float64", always_2d=True)[0]


# container, subtype, extension, channels, largest step of the format near the ceiling
ROUND_TRIPS = [
    ("WAV", "PCM_U8", ".wav", 1, 2.0**-7),
    ("AIFF", "PCM_S8", ".aiff", 2, 2.0**-7),
    ("WAV", "PCM_16", ".wav", 2, 2.0**-15),
    ("WAV", "PCM_24", ".wav", 6, 2.0**-23),
    ("WAV", "PCM_32", ".wav", 1, 2.0**-31),
    ("WAV", "FLOAT", ".wav", 2, 0.0),
    ("AIFF", "DOUBLE", ".aif", 1, 0.0),
    ("WAV", "ALAW", ".wav", 2, 2.0**-5),
    ("WAV", "ULAW", ".wav", 1, 2.0**-5),
    ("FLAC", "PCM_16", ".flac", 2, 2.0**-15),
    ("FLAC", "PCM_24", ".flac", 1, 2.0**-23),
]


@pytest.mark.parametrize(("container", "subtype", "extension", "channels", "step"), ROUND_TRIPS,
                         ids=[f"{c}-{s}" for c, s, *_ in ROUND_TRIPS])
def test_round_trip_keeps_format_and_holds_ceiling(
        tmp_path, capsys, container, subtype, extension, channels, step):
    source = tmp_path / f"in{extension}"
    make_file(source, container, subtype, channels)

    report = tmp_path / "report.json"
    assert main([str(source), *OPTIONS, "--report", str(report)]) == 0

    target = tmp_path / f"in_limited{extension}"
    info, original = sf.info(target), sf.info(source)
    assert (info.format, info.subtype, info.samplerate, info.channels, info.frames) == (
        original.format, original.subtype, original.samplerate, original.channels,
        original.frames)
    assert sf.SoundFile(target).copy_metadata() == sf.SoundFile(source).copy_metadata()
    written = read_exact(target)
    peak = np.abs(written).max()
    # The file itself stays within the ceiling, and by no more than one step.
    assert CEILING - step - 1e-7 <= peak <= CEILING
    # What the file holds is the library's result at the sample ceiling used.
    threshold_dBFS = json.loads(report.read_text())[0]["sample_ceiling_dBFS"]
    expected, _ = zarn_limiter.limit(sf.read(source, dtype="float32")[0], RATE,
                                     threshold_dBFS, 2.0, 5.0, 20.0, axis=0)
    if subtype not in ("ALAW", "ULAW"):  # their steps grow with the level
        np.testing.assert_allclose(written.reshape(expected.shape), expected, atol=step + 1e-7)
    assert f"-> {20 * np.log10(peak):+.2f} dBFS" in capsys.readouterr().out
    assert leftovers(tmp_path) == []


def test_vorbis_peak_is_measured_after_encoding(tmp_path, capsys):
    source = tmp_path / "in.ogg"
    make_file(source, "OGG", "VORBIS", 2, frames=RATE)

    assert main([str(source), *OPTIONS]) == 0

    written = np.abs(read_exact(tmp_path / "in_limited.ogg")).max()
    out = capsys.readouterr().out
    assert f"-> {20 * np.log10(written):+.2f} dBFS" in out
    assert ("lossy encoder" in out) == (written > CEILING)
    assert written < CEILING * 10 ** (1 / 20)


@pytest.mark.parametrize(("container", "subtype", "extension"),
                         [("WAV", "PCM_16", ".wav"), ("FLAC", "PCM_24", ".flac"),
                          ("OGG", "VORBIS", ".ogg"), ("WAV", "FLOAT", ".wav")])
def test_file_within_ceiling_is_copied_byte_for_byte(tmp_path, capsys, container, subtype,
                                                     extension):
    source = tmp_path / f"in{extension}"
    make_file(source, container, subtype, 2, peak=0.5)

    assert main([str(source), *OPTIONS]) == 0

    assert (tmp_path / f"in_limited{extension}").read_bytes() == source.read_bytes()
    assert "copied to" in capsys.readouterr().out


def test_true_peak_ceiling_loudness_and_report(tmp_path):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_24", 2, frames=2 * RATE, peak=0.3)
    report = tmp_path / "report.json"

    status = main([str(source), "--true-peak", "--ceiling", "-1", "--loudness", "-12",
                   "--report", str(report)])

    assert status == 0
    row, = json.loads(report.read_text())
    written = sf.read(tmp_path / "in_limited.wav", dtype="float32")[0]
    meter = pytest.importorskip("zarn_limiter_stream").LoudnessMeter(RATE, 2)
    meter.add(written)
    levels = meter.result()
    assert levels.true_peak_dBTP <= -1.0
    assert row["output_true_peak_dBTP"] == pytest.approx(levels.true_peak_dBTP, abs=1e-6)
    assert row["sample_ceiling_dBFS"] < -1.0
    assert row["loudness_before_LUFS"] < -20 and abs(row["loudness_after_LUFS"] + 12) <= 0.1
    assert row["status"] == "limited" and row["frames"] == 2 * RATE


def test_failing_file_does_not_stop_the_others(tmp_path, capsys, monkeypatch):
    bad, good = tmp_path / "bad.wav", tmp_path / "good.wav"
    samples = np.full((500, 2), 0.5, dtype=np.float32)
    samples[100, 1] = np.nan
    sf.write(bad, samples, RATE, subtype="FLOAT")
    make_file(good, "WAV", "PCM_16")
    previous = tmp_path / "bad_limited.wav"
    previous.write_bytes(b"previous result")

    assert main([str(bad), str(good), "--jobs", "2", "--overwrite"]) == 1

    assert "the sample at frame 100, channel 1 (counting from 0) is not finite" in capsys.readouterr().err
    assert previous.read_bytes() == b"previous result"
    assert (tmp_path / "good_limited.wav").exists() and leftovers(tmp_path) == []


def test_existing_output_is_kept_and_dry_run_writes_nothing(tmp_path, capsys):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_16")
    target = tmp_path / "in_limited.wav"
    target.write_bytes(b"kept")

    assert main([str(source)]) == 0
    assert main([str(source), "--overwrite", "--dry-run", "--output-dir",
                 str(tmp_path / "new")]) == 0

    assert target.read_bytes() == b"kept" and not (tmp_path / "new").exists()
    out = capsys.readouterr().out
    assert "kept the existing" in out and f"would write {tmp_path / 'new' / 'in_limited.wav'}" in out


def test_folders_keep_their_subfolders(tmp_path):
    for name in ("a/x.wav", "a/b/y.flac", "a/notes.txt"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        if name.endswith(".txt"):
            (tmp_path / name).write_text("not audio")
        else:
            make_file(tmp_path / name, "FLAC" if name.endswith("flac") else "WAV", "PCM_16")

    assert main([str(tmp_path / "a"), "--recursive", "--output-dir", str(tmp_path / "out")]) == 0

    written = sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*"))
    assert written == ["b", "b/y_limited.flac", "x_limited.wav"]


ERRORS = [
    (["--hold", "1e9"], "--hold is too long"),
    (["--attack", "1e8"], "--attack is too long"),
    (["--attack", "0.01"], "--attack 0.01 rounds to zero samples at 44100 Hz"),
    (["--ceiling", "1"], "--ceiling must be a finite dBFS value less than or equal to 0, got 1"),
    (["--release", "-5"], "--release must be finite and non-negative, got -5"),
    (["--hold", "abc"], "argument --hold: 'abc' is not a number"),
    (["--ceiling", "nan"], "argument --ceiling: 'nan' is not a finite number"),
    (["--jobs", "0"], "argument --jobs: must be at least 1, got 0"),
    (["--dask", "local:0"], "argument --dask: 'local:0': use local, local:N"),
    (["--report", "r.txt"], "argument --report: 'r.txt' must end in .csv or .json"),
    (["--loudness", "3"], "--loudness must be at most 0 LUFS, got 3"),
    (["--preset", "podcast", "--ceiling", "-2"], "--preset podcast sets --ceiling; give one"),
    (["--suffix", ""], "its output {tmp}/in.wav would overwrite an input"),
    (["--plot", "{tmp}/missing/p.png"], "--plot {tmp}/missing/p.png: the folder"),
    (["--output-dir", "{tmp}/in.wav/out"], "--output-dir {tmp}/in.wav/out: {tmp}/in.wav is not a folder"),
    (["{tmp}/missing.wav"], "{tmp}/missing.wav: no such file or folder"),
    (["{tmp}/notes.txt"], "{tmp}/notes.txt: cannot read this file as audio"),
    (["{tmp}/empty"], "{tmp}/empty: no audio files in this folder"),
    (["{tmp}/in.wav", "{tmp}/other/in.wav", "--output-dir", "{tmp}/out"],
     "would both be written to {tmp}/out/in_limited.wav"),
    (["--bogus"], "unrecognized arguments: --bogus"),
]


@pytest.mark.parametrize(("arguments", "message"), ERRORS, ids=[a[0] for a, _ in ERRORS])
def test_bad_option_or_input_is_one_line_and_writes_nothing(tmp_path, capsys, arguments,
                                                            message):
    make_file(tmp_path / "in.wav", "WAV", "PCM_16", 1)
    (tmp_path / "other").mkdir()
    make_file(tmp_path / "other" / "in.wav", "WAV", "PCM_16", 1)
    (tmp_path / "notes.txt").write_text("not audio")
    (tmp_path / "empty").mkdir()
    before = sorted(tmp_path.rglob("*"))
    arguments = [a.replace("{tmp}", str(tmp_path)) for a in arguments]
    if not arguments[0].startswith(str(tmp_path)):
        arguments.insert(0, str(tmp_path / "in.wav"))

    assert main([*arguments, "--output-dir", str(tmp_path / "out")]
                if "--output-dir" not in arguments and "--suffix" not in arguments
                else arguments) == 2

    err = capsys.readouterr().err
    assert err.startswith("zarn-limit: error: ") and err.count("\n") == 1
    assert message.replace("{tmp}", str(tmp_path)) in err
    assert sorted(tmp_path.rglob("*")) == before


@pytest.mark.parametrize(("option", "module", "extra"), [
    (["--plot", "p.png"], "matplotlib", "plot"),
    (["--dask", "local"], "distributed", "dask"),
])
def test_missing_extra_is_named(tmp_path, capsys, monkeypatch, option, module, extra):
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail

    assert main([*option, "--output-dir", str(tmp_path)]) == 2

    err = capsys.readouterr().err
    assert err == f"zarn-limit: error: {option[0]} needs {module}: pip install 'zarn-limiter[{extra}]'\n"
    assert list(tmp_path.iterdir()) == []


def test_quiet_run_writes_only_the_csv_report(tmp_path, capsys):
    empty, loud = tmp_path / "empty.wav", tmp_path / "loud.wav"
    make_file(empty, "WAV", "PCM_16", frames=0)
    make_file(loud, "WAV", "PCM_24")
    report = tmp_path / "report.csv"

    assert main([str(empty), str(loud), "--quiet", "--report", str(report)]) == 0

    assert capsys.readouterr() == ("", "")
    rows = list(csv.DictReader(report.open()))
    assert list(rows[0]) == list(REPORT_COLUMNS)
    assert [(row["status"], row["frames"]) for row in rows] == [("copied", "0"), ("limited", "8000")]
    assert sf.info(tmp_path / "empty_limited.wav").frames == 0
