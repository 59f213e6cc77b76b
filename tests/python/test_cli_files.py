"""zarn-limit on files it is given: formats kept, the ceiling held in the written file,
copies of files within it, loudness and true peak, and what it refuses."""

import base64
import csv
import json
import struct
import sys

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("pyloudnorm")
pytest.importorskip("tqdm")
scipy_signal = pytest.importorskip("scipy.signal")
mutagen = pytest.importorskip("mutagen")

import mutagen.apev2 as mutagen_apev2  # noqa: E402
import mutagen.flac as mutagen_flac  # noqa: E402
import mutagen.id3 as mutagen_id3  # noqa: E402
import mutagen.mp3 as mutagen_mp3  # noqa: E402

import zarn_limiter  # noqa: E402
from zarn_limiter_cli import main  # noqa: E402
from zarn_limiter_cli.file_result import REPORT_COLUMNS  # noqa: E402
from zarn_limiter_cli.sample_region import locate_samples  # noqa: E402
from zarn_limiter_cli.sample_rewrite import rewrite_samples  # noqa: E402

from cli_audio import (  # noqa: E402
    RATE, bursts, leftovers, make_file, make_file_with_chunks, peak_entries,
)

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
    written = read_exact(tmp_path / "in_limited.wav")
    true_peak = np.abs(scipy_signal.resample_poly(written, 4, 1, axis=0)).max()
    assert 20 * np.log10(true_peak) <= -1.0
    assert row["output_true_peak_dBTP"] == pytest.approx(20 * np.log10(true_peak), abs=1e-6)
    assert row["sample_ceiling_dBFS"] < -1.0
    assert row["loudness_before_LUFS"] < -20 and abs(row["loudness_after_LUFS"] + 12) < 1.5
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
    (["--loudness", "-16"], "pyloudnorm", "cli"),
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


# container, subtype, byte order, channels, extension
IN_PLACE = [
    ("WAV", "PCM_24", "FILE", 2, ".wav"),
    ("WAV", "PCM_16", "BIG", 2, ".wav"),
    ("WAVEX", "PCM_24", "FILE", 6, ".wav"),
    ("WAV", "FLOAT", "FILE", 1, ".wav"),
    ("RF64", "PCM_24", "FILE", 2, ".rf64"),
    ("W64", "DOUBLE", "FILE", 2, ".w64"),
    ("AIFF", "PCM_16", "FILE", 2, ".aiff"),
    ("AIFF", "PCM_16", "LITTLE", 2, ".aifc"),
    ("AIFF", "FLOAT", "FILE", 1, ".aifc"),
    ("CAF", "PCM_24", "FILE", 2, ".caf"),
    ("CAF", "ULAW", "FILE", 1, ".caf"),
    ("AU", "PCM_16", "FILE", 2, ".au"),
    ("NIST", "PCM_24", "FILE", 2, ".nist"),
    ("IRCAM", "FLOAT", "BIG", 1, ".sf"),
]


@pytest.mark.parametrize(("container", "subtype", "endian", "channels", "extension"), IN_PLACE,
                         ids=[f"{c}-{s}-{e}-{n}" for c, s, e, n, _ in IN_PLACE])
def test_everything_but_the_samples_is_kept(tmp_path, container, subtype, endian, channels,
                                            extension):
    source = tmp_path / f"in{extension}"
    offset, length = make_file_with_chunks(source, container, subtype, endian, channels).samples

    assert main([str(source), *OPTIONS]) == 0

    target = tmp_path / f"in_limited{extension}"
    before, after = bytearray(source.read_bytes()), bytearray(target.read_bytes())
    peak = peak_entries(after, offset)
    if peak is not None:  # it describes the new samples
        magnitudes = np.abs(read_exact(target)).astype(np.float32)
        start, entry = peak
        size = struct.calcsize(entry)
        assert [struct.unpack_from(entry, after, start + size * c) for c in range(channels)] == [
            (float(column.max()), int(column.argmax())) for column in magnitudes.T]
        before[start:start + size * channels] = after[start:start + size * channels]
    assert len(after) == len(before)
    assert after[:offset] == before[:offset] and after[offset + length:] == before[offset + length:]
    assert after[offset:offset + length] != before[offset:offset + length]


def _picture():
    picture = mutagen_flac.Picture()
    picture.type, picture.mime, picture.desc = 3, "image/png", "front"
    picture.width, picture.height, picture.depth = 1, 1, 24
    picture.data = b"\x89PNG\r\n\x1a\n" + bytes(range(64))
    return picture


COMMENTS = [("TITLE", "bursts"), ("ARTIST", "first"), ("ARTIST", "second"),
            ("ISRC", "USRC17607839"), ("REPLAYGAIN_TRACK_GAIN", "-6.50 dB"),
            ("REPLAYGAIN_TRACK_PEAK", "0.990000")]


def _tag_vorbis_comments(path, channels):
    tagged = mutagen.File(path)
    tagged.tags.clear()
    tagged.tags.extend(COMMENTS)
    if channels == 6:  # 5.1 with side surrounds rather than libFLAC's default rear ones
        tagged.tags.append(("WAVEFORMATEXTENSIBLE_CHANNEL_MASK", "0x060F"))
    if isinstance(tagged, mutagen_flac.FLAC):
        tagged.add_picture(_picture())
    else:
        encoded = base64.b64encode(_picture().write()).decode()
        tagged.tags.append(("METADATA_BLOCK_PICTURE", encoded))
    tagged.save()


def _tag_mp3(path, channels):
    frames = mutagen_id3.ID3()
    frames.add(mutagen_id3.TIT2(encoding=3, text=["bursts"]))
    frames.add(mutagen_id3.TPE1(encoding=3, text=["first", "second"]))
    frames.add(mutagen_id3.TSRC(encoding=3, text=["USRC17607839"]))
    frames.add(mutagen_id3.TXXX(encoding=3, desc="REPLAYGAIN_TRACK_GAIN", text=["-6.50 dB"]))
    frames.add(mutagen_id3.APIC(encoding=3, mime="image/png", type=3, desc="front",
                                data=_picture().data))
    frames.save(path)
    ape = mutagen_apev2.APEv2()
    ape["Catalog"] = "0123456789"
    ape.save(path)
    with open(path, "ab") as tagged:  # an ID3v1 tag, last
        tagged.write(b"TAG" + b"bursts".ljust(30, b"\0") + b"first".ljust(60, b"\0")
                     + b"1999" + bytes(30) + b"\xff")


def _tags(path):
    """Every tag and picture of a file as mutagen reads them."""
    found = mutagen.File(path)
    if isinstance(found, mutagen_mp3.MP3):
        try:
            ape = sorted(mutagen_apev2.APEv2(path).items())
        except mutagen_apev2.APENoHeaderError:
            ape = []
        last = path.read_bytes()[-128:]
        return (sorted((key, repr(frame)) for key, frame in found.tags.items()), ape,
                last if last.startswith(b"TAG") else None)
    pictures = [picture.write() for picture in getattr(found, "pictures", [])]
    return list(found.tags), pictures


# container, subtype, extension, channels, sample rate, tagging
TAGGED = [
    ("FLAC", "PCM_24", ".flac", 6, RATE, _tag_vorbis_comments),
    ("OGG", "VORBIS", ".ogg", 2, RATE, _tag_vorbis_comments),
    ("OGG", "OPUS", ".opus", 2, 48000, _tag_vorbis_comments),
    ("MP3", "MPEG_LAYER_III", ".mp3", 2, RATE, _tag_mp3),
]


@pytest.mark.parametrize(("container", "subtype", "extension", "channels", "rate", "tag"),
                         TAGGED, ids=[s for _, s, *_ in TAGGED])
def test_every_tag_and_picture_is_kept(tmp_path, container, subtype, extension, channels, rate,
                                       tag):
    source = tmp_path / f"in{extension}"
    make_file(source, container, subtype, channels, frames=rate, rate=rate)
    tag(source, channels)

    assert main([str(source), *OPTIONS]) == 0

    assert _tags(tmp_path / f"in_limited{extension}") == _tags(source)


def _empty_id3_date(path):
    """An ID3v2.3 tag written byte by byte: mutagen itself leaves out an empty frame."""
    frames = b"".join(name + struct.pack(">I", len(text) + 1) + b"\0\0\0" + text
                      for name, text in ((b"TIT2", b"bursts"), (b"TYER", b"")))
    size = bytes((len(frames) >> shift) & 0x7F for shift in (21, 14, 7, 0))
    mutagen_id3.delete(path)  # the title libsndfile wrote
    path.write_bytes(b"ID3\3\0\0" + size + frames + path.read_bytes())


def _empty_comment_date(path):
    tagged = mutagen.File(path)
    tagged.tags.extend([("TITLE", "bursts"), ("DATE", "")])
    tagged.save()


EMPTY_DATES = [("MP3", "MPEG_LAYER_III", ".mp3", _empty_id3_date),
               ("FLAC", "PCM_16", ".flac", _empty_comment_date),
               ("OGG", "VORBIS", ".ogg", _empty_comment_date)]


@pytest.mark.parametrize(("container", "subtype", "extension", "tag"), EMPTY_DATES,
                         ids=[c for c, *_ in EMPTY_DATES])
def test_tags_that_libsndfile_cannot_write_are_kept(tmp_path, container, subtype, extension, tag):
    source = tmp_path / f"in{extension}"
    make_file(source, container, subtype, frames=RATE)
    tag(source)

    assert main([str(source), *OPTIONS]) == 0

    assert _tags(tmp_path / f"in_limited{extension}") == _tags(source)


# container, subtype, extension, channels, sample rate
RE_ENCODED = [
    ("WAV", "IMA_ADPCM", ".wav", 2, RATE),
    ("WAV", "MS_ADPCM", ".wav", 1, 8000),
    ("W64", "IMA_ADPCM", ".w64", 2, RATE),
    ("AIFF", "IMA_ADPCM", ".aifc", 2, RATE),
    ("CAF", "ALAC_24", ".caf", 2, RATE),
]


@pytest.mark.parametrize(("container", "subtype", "extension", "channels", "rate"), RE_ENCODED,
                         ids=[f"{c}-{s}" for c, s, *_ in RE_ENCODED])
def test_re_encoded_chunked_file_keeps_its_other_chunks(tmp_path, container, subtype, extension,
                                                        channels, rate):
    source = tmp_path / f"in{extension}"
    foreign = make_file_with_chunks(source, container, subtype, "FILE", channels, rate).chunks

    assert main([str(source), *OPTIONS]) == 0

    target = tmp_path / f"in_limited{extension}"
    written = target.read_bytes()
    found = [written.find(chunk) for chunk in foreign]
    assert -1 not in found and found == sorted(found)
    info, original = sf.info(target), sf.info(source)
    assert (info.format, info.subtype, info.channels, info.frames) == (
        original.format, original.subtype, original.channels, original.frames)
    assert leftovers(tmp_path) == []


# container, subtype, byte order: each way of storing samples that is rewritten in place
ENCODINGS = [
    ("WAV", "PCM_U8", "FILE"), ("WAV", "PCM_16", "BIG"), ("WAVEX", "PCM_24", "FILE"),
    ("RF64", "PCM_32", "FILE"), ("W64", "ALAW", "FILE"), ("W64", "DOUBLE", "FILE"),
    ("AIFF", "PCM_S8", "FILE"), ("AIFF", "PCM_16", "LITTLE"), ("AIFF", "ULAW", "FILE"),
    ("CAF", "FLOAT", "FILE"), ("CAF", "DOUBLE", "LITTLE"), ("AU", "PCM_24", "FILE"),
]


@pytest.mark.parametrize(("container", "subtype", "endian"), ENCODINGS,
                         ids=["-".join(e) for e in ENCODINGS])
def test_samples_rewritten_in_place_are_the_bytes_soundfile_writes(tmp_path, container, subtype,
                                                                    endian):
    before, after = bursts(5000, 2, 0.5, seed=1), bursts(5000, 2, 1.5, seed=2)  # clipped too
    source, expected, rewritten = tmp_path / "before", tmp_path / "after", tmp_path / "out"
    for path, samples in ((source, before), (expected, after)):
        sf.write(path, samples, RATE, subtype=subtype, format=container, endian=endian)

    rewrite_samples(source, rewritten, np.array_split(after, 7), locate_samples(source))

    assert rewritten.read_bytes() == expected.read_bytes()
