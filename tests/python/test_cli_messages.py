"""zarn-limit's refusals and failure messages: one line that says what happened, with
numbers in a readable form, and nothing written where nothing could be written right."""

import subprocess
import sys

import numpy as np
import pytest

if sys.platform != "win32":
    import resource

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from zarn_limiter_cli import batch, main  # noqa: E402

from cli_audio import make_file  # noqa: E402


@pytest.mark.parametrize(("subtype", "ceiling", "smallest"), [
    ("ALAW", "-80", "-72.25"), ("ULAW", "-80", "-72.2"), ("PCM_U8", "-50", "-42.1"),
])
def test_ceiling_the_format_cannot_write_is_refused(tmp_path, capsys, subtype, ceiling,
                                                    smallest):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", subtype, 1)

    assert main([str(source), "--ceiling", ceiling]) == 2

    err = capsys.readouterr().err
    assert err.count("\n") == 1 and f"--ceiling {ceiling} dBFS" in err and smallest in err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.wav"]


def _huge_sample(path, monkeypatch):
    samples = np.full((4800, 2), 0.5)
    samples[100, 1] = 1e300
    sf.write(path, samples, 48000, subtype="DOUBLE")


def _one_huge_sample(path, monkeypatch):
    if not hasattr(pytest.importorskip("zarn_limiter_stream"), "LoudnessMeter"):
        pytest.skip("needs the loudness meter")
    samples = 0.1 * np.random.default_rng(0).standard_normal((48000 * 2, 2))
    samples[100, 1] = 1e30
    sf.write(path, samples, 48000, subtype="DOUBLE")


def _deleted_after_checks(path, monkeypatch):
    make_file(path, "WAV", "PCM_16")
    planned = batch.plan_jobs

    def plan_then_delete(*arguments, **keywords):
        plan = planned(*arguments, **keywords)
        path.unlink()
        return plan

    monkeypatch.setattr(batch, "plan_jobs", plan_then_delete)


FAILURES = [
    ("huge-sample", _huge_sample, [],
     "the sample at frame 100, channel 1 (counting from 0) is 1e+300, beyond"),
    ("deleted-input", _deleted_after_checks, [], "cannot read it: No such file or directory"),
    ("loudness-of-a-1e30-sample", _one_huge_sample, ["--loudness", "-16"],
     "--loudness -16 LUFS cannot be reached within the -1 dBFS ceiling"),
    ("tiny-attack", lambda path, monkeypatch: make_file(path, "WAV", "PCM_16"),
     ["--attack", "1e-300"], "--attack 1e-300 rounds to zero samples at 44100 Hz"),
    ("huge-release", lambda path, monkeypatch: make_file(path, "WAV", "PCM_16"),
     ["--release", "-1e300"], "--release must be finite and non-negative, got -1e+300"),
]


@pytest.mark.parametrize(("prepare", "options", "message"),
                         [case[1:] for case in FAILURES], ids=[case[0] for case in FAILURES])
def test_failure_says_what_happened_in_one_short_line(tmp_path, capsys, monkeypatch, recwarn,
                                                       prepare, options, message):
    source = tmp_path / "in.wav"
    prepare(source, monkeypatch)

    assert main([str(source), *options]) in (1, 2)

    assert [str(warning.message) for warning in recwarn] == []
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and len(err) - len(str(source)) < 160 and message in err, err


@pytest.mark.skipif(sys.platform == "win32", reason="file-size limits are POSIX")
def test_file_size_limit_is_named(tmp_path):
    source = tmp_path / "in.flac"
    make_file(source, "FLAC", "PCM_24", frames=400_000, peak=1.0)
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (50_000, 50_000))  # noqa: E731

    done = subprocess.run([sys.executable, "-m", "zarn_limiter_cli", str(source)],
                          capture_output=True, text=True, preexec_fn=limit, timeout=120)

    assert done.returncode == 1
    assert done.stderr.endswith("cannot write " + str(tmp_path / "in_limited.flac")
                                + ": File too large\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.flac"]
