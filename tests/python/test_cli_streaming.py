"""zarn-limit holds a few blocks of a file, not the file: its memory does not grow with the
length, a stop signal abandons a long file at once, and a failed run leaves nothing behind."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from zarn_limiter_cli import main  # noqa: E402

from cli_audio import leftovers  # noqa: E402

POSIX = pytest.mark.skipif(sys.platform == "win32", reason="signals and rusage are POSIX")
# Peak memory of the child processes, measured in a process of its own.
PEAK_MEMORY = """
import resource, subprocess, sys
subprocess.run(sys.argv[1:], check=True, capture_output=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)
"""


def _long_file(path, seconds, channels=2):
    """Loud noise, written block by block so that the test holds no more than the command."""
    rng = np.random.default_rng(1)
    block = 48000 * 10
    with sf.SoundFile(path, "w", 48000, channels, "PCM_24") as out:
        for start in range(0, int(48000 * seconds), block):
            out.write(np.clip(0.5 * rng.standard_normal((block, channels)), -1, 1))


def _command(*arguments):
    return [sys.executable, "-m", "zarn_limiter_cli", *map(str, arguments)]


@POSIX
@pytest.mark.parametrize("options", [[], ["--report", "r.csv"],
                                     ["--loudness", "-16", "--true-peak"]],
                         ids=["plain", "report", "loudness"])
def test_memory_does_not_grow_with_the_length(tmp_path, options):
    if options and not hasattr(pytest.importorskip("zarn_limiter_stream"), "LoudnessMeter"):
        pytest.skip("needs the loudness meter")
    peaks = []
    for minutes in (1, 6):
        source = tmp_path / f"{minutes}.wav"
        _long_file(source, 60 * minutes)
        done = subprocess.run([sys.executable, "-c", PEAK_MEMORY, *_command(source, *options)],
                              capture_output=True, text=True, cwd=tmp_path, check=True)
        peaks.append(int(done.stdout))
    # Six times the samples (about 280 MB more as float32) must not show.
    assert peaks[1] - peaks[0] < 20e6, peaks


@POSIX
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_stop_signal_abandons_a_long_file_at_once(tmp_path, stop):
    source = tmp_path / "long.wav"
    _long_file(source, 20 * 60)
    out = tmp_path / "out"
    command = _command(source, "--output-dir", out)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, start_new_session=True)
    while not leftovers(out) and process.poll() is None:  # limiting has begun
        time.sleep(0.05)
    os.killpg(process.pid, stop)
    try:
        printed, err = process.communicate(timeout=10)
    finally:
        process.kill()

    assert process.returncode == 128 + stop, err
    assert "interrupted" in err and "Traceback" not in err
    assert "1 interrupted" in printed
    assert leftovers(tmp_path) == [] and not out.exists()


def test_failed_run_leaves_no_output_folder(tmp_path):
    source = tmp_path / "bad.wav"
    samples = np.full((4800, 6), 0.5, dtype=np.float32)
    samples[10, 4] = np.nan
    sf.write(source, samples, 48000, subtype="FLOAT", format="WAVEX")
    out = tmp_path / "new" / "out"

    assert main([str(source), "--output-dir", str(out)]) == 1

    assert not (tmp_path / "new").exists()


class _RecordedStages:
    """The stages of one file, with the frames each one advanced and in how many steps."""

    def __init__(self):
        self.advanced = []

    def stage(self, name, frames):
        self.advanced.append([name, frames, 0, 0])

    def advance(self, frames):
        self.advanced[-1][2] += frames
        self.advanced[-1][3] += 1


def test_progress_moves_through_every_stage(tmp_path):
    from zarn_limiter_cli.file_job import Job, JobSettings, limit_file
    from zarn_limiter_cli.limiter_settings import LimiterSettings

    source = tmp_path / "long.wav"
    _long_file(source, 30)
    stages = _RecordedStages()
    settings = JobSettings(LimiterSettings(-1.0, 5.0, 15.0, 40.0), loudness_LUFS=-20.0,
                           true_peak_ceiling=True)

    result = limit_file(Job(source, tmp_path / "out.wav"), settings, stages)

    assert result.status == "limited", result.error
    names = [name for name, *_ in stages.advanced]
    assert names[0] == "measuring" and names[1:3] == ["limiting", "checking"]
    # Every stage moves block by block to the file's end, never in one jump at the end.
    assert all(advanced == frames == 30 * 48000 and steps > 10
               for _, frames, advanced, steps in stages.advanced)


def test_samples_that_end_early_fail_the_file_rather_than_reading_short(tmp_path):
    from zarn_limiter_cli.audio_io import file_blocks
    from zarn_limiter_cli.errors import FileFailure
    from zarn_limiter_cli.sample_region import locate_samples

    source = tmp_path / "in.wav"
    sf.write(source, np.zeros((100_000, 2), np.float32), 48000, subtype="PCM_24")
    region = locate_samples(source)
    # Cut off after the check of the region, as another program might while it is read.
    os.truncate(source, region.offset + 90_000 * region.frame_bytes)

    with pytest.raises(FileFailure, match="its samples end before the frames its header gives"):
        sum(block.shape[0] for block in file_blocks(source, region=region))
