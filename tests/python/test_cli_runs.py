"""zarn-limit as a program: the installed command on its built-in signal, a Dask
cluster writing what a serial run writes, and stop signals that leave nothing behind."""

import csv
import importlib.metadata
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from zarn_limiter_cli import main  # noqa: E402

from cli_audio import leftovers, make_file  # noqa: E402

COMMAND = Path(sys.executable).with_name("zarn-limit")


def test_installed_command_limits_the_built_in_signal(tmp_path):
    pytest.importorskip("matplotlib")
    result = subprocess.run([str(COMMAND), "--plot", "demo.png"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)

    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("built-in test signal: peak +5.51 dBFS -> -1.00 dBFS")
    written = sf.read(tmp_path / "limited_demo.wav", dtype="float64")[0]
    assert np.abs(written).max() <= 10 ** (-1 / 20)
    assert (tmp_path / "demo.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_installed_command_gives_its_version():
    result = subprocess.run([str(COMMAND), "--version"], capture_output=True, text=True,
                            timeout=60)

    assert result.returncode == 0, result.stderr
    assert result.stdout == f"zarn-limit {importlib.metadata.version('zarn-limiter')}\n"


def test_dask_and_threads_write_what_a_serial_run_writes(tmp_path):
    pytest.importorskip("distributed")
    sources = [tmp_path / f"in{index}.flac" for index in range(4)]
    for index, source in enumerate(sources):
        make_file(source, "FLAC", "PCM_24", channels=1 + index % 3, seed=index)
    runs = {"serial": [], "threads": ["--jobs", "2"], "dask": ["--dask", "local:2"]}

    for folder, options in runs.items():
        assert main([*map(str, sources), *options, "--output-dir", str(tmp_path / folder)]) == 0

    for source in sources:
        name = f"{source.stem}_limited.flac"
        serial = (tmp_path / "serial" / name).read_bytes()
        assert all((tmp_path / folder / name).read_bytes() == serial for folder in runs)


@pytest.mark.skipif(sys.platform == "win32", reason="stop signals and sessions are POSIX")
@pytest.mark.parametrize(("stop", "options"), [
    (signal.SIGINT, []), (signal.SIGTERM, []), (getattr(signal, "SIGHUP", None), []),
    (signal.SIGINT, ["--dask", "local:2"]), (signal.SIGTERM, ["--dask", "local:2"]),
], ids=["SIGINT", "SIGTERM", "SIGHUP", "SIGINT-dask", "SIGTERM-dask"])
def test_stop_signal_starts_no_other_file_and_leaves_no_temporary_file(
        tmp_path, stop, options):
    if options:
        pytest.importorskip("distributed")
    sources = [tmp_path / f"in{index}.wav" for index in range(8)]
    # Long enough that the files left are not all done before the signal is handled.
    for source in sources:
        make_file(source, "WAV", "PCM_24", frames=2_000_000)
    out = tmp_path / "out"
    process = subprocess.Popen(
        [sys.executable, "-m", "zarn_limiter_cli", *map(str, sources), "--output-dir", str(out),
         *options],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )
    assert process.stdout is not None
    first = process.stdout.readline()  # the first file is done, the second in hand
    # To the whole process group, as a terminal sends Ctrl-C: worker processes too.
    os.killpg(process.pid, stop)
    try:
        rest, err = process.communicate(timeout=30)
    finally:
        process.kill()

    assert process.returncode == 128 + stop, err
    assert "written to" in first and "Traceback" not in err
    assert leftovers(tmp_path) == []
    written = sorted(p.name for p in out.iterdir())
    # Each file is written, abandoned in hand, or not started; no queued one starts.
    abandoned = re.search(r"(\d+) interrupted", rest)
    not_started = re.search(r"stopped, (\d+) not started", rest)
    assert 1 <= len(written) < len(sources) and not_started is not None
    assert len(written) + int(abandoned[1] if abandoned else 0) + int(not_started[1]) == len(sources)


@pytest.mark.skipif(sys.platform == "win32", reason="stop signals and sessions are POSIX")
def test_stop_signal_abandons_the_files_in_hand_on_dask(tmp_path):
    pytest.importorskip("distributed")
    sources = [tmp_path / f"in{index}.wav" for index in range(3)]
    # The first file long enough to be in hand when the stop reaches its worker.
    for source, frames in zip(sources, (15_000_000, 8000, 8000)):
        make_file(source, "WAV", "PCM_24", frames=frames)
    out, report = tmp_path / "out", tmp_path / "report.csv"
    process = subprocess.Popen(
        [sys.executable, "-m", "zarn_limiter_cli", *map(str, sources), "--output-dir", str(out),
         "--dask", "local:1", "--report", str(report)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True,
    )
    try:
        while not leftovers(tmp_path):  # the first file is being written
            assert process.poll() is None, process.communicate()
            time.sleep(0.05)
        os.killpg(process.pid, signal.SIGINT)
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()

    assert process.returncode == 128 + signal.SIGINT, err
    assert leftovers(tmp_path) == [] and not out.joinpath("in0_limited.wav").exists()
    rows = list(csv.DictReader(report.open()))
    assert [row["status"] for row in rows] == ["interrupted", "not started", "not started"]
    assert "interrupted" in rows[0]["error"]


@pytest.mark.skipif(sys.platform == "win32", reason="the worker is stopped through its process")
def test_files_left_when_the_cluster_loses_its_workers_fail(tmp_path):
    distributed = pytest.importorskip("distributed")
    sources = [tmp_path / f"in{index}.wav" for index in range(3)]
    # The first file long enough to be in hand when its worker goes.
    for source, frames in zip(sources, (15_000_000, 8000, 8000)):
        make_file(source, "WAV", "PCM_24", frames=frames)
    out, report = tmp_path / "out", tmp_path / "report.csv"
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        process = subprocess.Popen(
            [sys.executable, "-m", "zarn_limiter_cli", *map(str, sources), "--output-dir",
             str(out), "--dask", cluster.scheduler_address, "--dask-wait", "1", "--report",
             str(report)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        try:
            while not leftovers(tmp_path):  # the first file is being written
                assert process.poll() is None, process.communicate()
                time.sleep(0.05)
            cluster.scale(0)
            _, err = process.communicate(timeout=60)
        finally:
            process.kill()

    assert process.returncode == 1, err
    assert leftovers(tmp_path) == [] and "Traceback" not in err
    rows = list(csv.DictReader(report.open()))
    assert [row["status"] for row in rows] == ["failed"] * len(sources)
    assert all(row["error"].startswith("no worker left on the cluster for 1 s") for row in rows)
