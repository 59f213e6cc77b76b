"""zarn-limit against a hostile file system: entries it cannot read, names too long,
full devices, readers that go away and other runs writing the same outputs."""

import csv
import os
import subprocess
import sys

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("pyloudnorm")
pytest.importorskip("tqdm")

from zarn_limiter_cli import main  # noqa: E402

from cli_audio import RATE, bursts, leftovers, make_file  # noqa: E402

POSIX = pytest.mark.skipif(sys.platform == "win32", reason="POSIX file system objects")


def too_deep_folder(parent):
    """A folder whose path is longer than the system allows, so that nobody, root
    included, can list it by name; made through folder descriptors."""
    name = "d" * 250
    depth = os.pathconf(parent, "PC_PATH_MAX") // len(name) + 1
    descriptor = os.open(parent, os.O_RDONLY)
    try:
        for _ in range(depth):
            os.mkdir(name, dir_fd=descriptor)
            inner = os.open(name, os.O_RDONLY, dir_fd=descriptor)
            os.close(descriptor)
            descriptor = inner
    finally:
        os.close(descriptor)
    return parent.joinpath(*[name] * depth)


def unlistable_folder(parent):
    folder = parent / "locked"
    folder.mkdir()
    make_file(folder / "hidden.wav", "WAV", "PCM_16")
    folder.chmod(0)
    if os.access(folder, os.R_OK):  # root reads it anyway: too_deep_folder covers root
        folder.chmod(0o755)
        pytest.skip("this user can read a folder without permissions")
    return folder


UNREADABLE = {
    "folder path too long": too_deep_folder,
    "folder without permissions": unlistable_folder,
    "symbolic link loop": lambda parent: (parent / "loop.wav").symlink_to("loop.wav") or
    parent / "loop.wav",
    "dangling symbolic link": lambda parent: (parent / "gone.wav").symlink_to("missing.wav") or
    parent / "gone.wav",
}


@POSIX
@pytest.mark.parametrize("make_unreadable", UNREADABLE.values(), ids=UNREADABLE.keys())
def test_recursive_run_reports_every_entry_it_cannot_read(tmp_path, capsys, make_unreadable):
    folder = tmp_path / "album"
    (folder / "disc").mkdir(parents=True)
    make_file(folder / "one.wav", "WAV", "PCM_16")
    unreadable = make_unreadable(folder / "disc")
    report = tmp_path / "report.csv"

    status = main([str(folder), "--recursive", "--output-dir", str(tmp_path / "out"),
                   "--report", str(report)])
    if (folder / "disc" / "locked").exists():
        (folder / "disc" / "locked").chmod(0o755)

    assert status == 1
    err = capsys.readouterr().err
    assert f"zarn-limit: error: {unreadable}: cannot read" in err
    rows = {row["input"]: row for row in csv.DictReader(report.open())}
    assert rows[str(unreadable)]["status"] == "failed"
    assert rows[str(folder / "one.wav")]["status"] == "limited"


# Another program turns the input into a pipe once the checks have passed.
SWAPPED_FOR_A_PIPE = """
import os, sys
from zarn_limiter_cli import batch, main
create_folders = batch._create_folders
def swap(plan):
    os.remove(sys.argv[1])
    os.mkfifo(sys.argv[1])
    create_folders(plan)
batch._create_folders = swap
sys.exit(main(sys.argv[1:]))
"""


@POSIX
def test_input_that_became_a_pipe_is_refused_not_waited_on(tmp_path):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_16")

    try:
        run = subprocess.run([sys.executable, "-c", SWAPPED_FOR_A_PIPE, str(source)],
                             capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("zarn-limit waited on a pipe given as its input")

    assert run.returncode == 1, run.stderr
    assert run.stderr == f"zarn-limit: error: {source}: not a regular file\n"
    assert leftovers(tmp_path) == [] and not (tmp_path / "in_limited.wav").exists()


LONG = "x" * 300  # longer than any file system lets a name be
OVERLONG = [
    (["{tmp}/in.wav", "--suffix", LONG], "--suffix"),
    (["{tmp}/in.wav", "--output-dir", f"{{tmp}}/{LONG}"], "--output-dir"),
    (["{tmp}/in.wav", "--output-dir", f"{{tmp}}/{LONG}/out"], "--output-dir"),
    ([f"{{tmp}}/{LONG}.wav"], f"{{tmp}}/{LONG}.wav"),
    ([f"{{tmp}}/{LONG}/in.wav"], f"{{tmp}}/{LONG}/in.wav"),
    (["{tmp}/in.wav", "--report", f"{{tmp}}/{LONG}.csv"], "--report"),
    (["{tmp}/in.wav", "--report", f"{{tmp}}/{LONG}/r.csv"], "--report"),
    (["{tmp}/in.wav", "--plot", f"{{tmp}}/{LONG}.png"], "--plot"),
]


@pytest.mark.parametrize(("arguments", "named"), OVERLONG,
                         ids=["suffix", "output-dir", "under output-dir", "input",
                              "input folder", "report", "report folder", "plot"])
def test_overlong_name_is_one_line_naming_it(tmp_path, capsys, arguments, named):
    pytest.importorskip("matplotlib")
    make_file(tmp_path / "in.wav", "WAV", "PCM_16")
    before = sorted(tmp_path.rglob("*"))

    assert main([a.replace("{tmp}", str(tmp_path)) for a in arguments]) == 2

    err = capsys.readouterr().err
    assert err.startswith(f"zarn-limit: error: {named.replace('{tmp}', str(tmp_path))}")
    assert err.count("\n") == 1 and sorted(tmp_path.rglob("*")) == before


def test_output_name_at_the_longest_is_written(tmp_path):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_16")
    longest = os.pathconf(tmp_path, "PC_NAME_MAX")
    suffix = "x" * (longest - len("in.wav"))

    assert main([str(source), "--suffix", suffix]) == 0

    assert (tmp_path / f"in{suffix}.wav").is_file() and leftovers(tmp_path) == []


@POSIX
@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_results_on_a_full_device_are_one_line_and_the_files_are_written(tmp_path):
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_16")

    with open("/dev/full", "w") as full:
        run = subprocess.run([sys.executable, "-m", "zarn_limiter_cli", str(source)],
                             stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)

    assert run.returncode == 1
    assert run.stderr.startswith("zarn-limit: error: ") and run.stderr.count("\n") == 1
    assert "stdout" in run.stderr and (tmp_path / "in_limited.wav").is_file()


def _small_files_only():
    import resource  # POSIX only

    resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))


@POSIX
def test_report_that_cannot_be_written_is_one_line_and_the_files_are_written(tmp_path):
    # The report outgrows a file size limit, as it would a full disk; the outputs fit.
    sources = [tmp_path / f"in{index}.wav" for index in range(6)]
    for source in sources:
        make_file(source, "WAV", "PCM_16", channels=1, frames=100)
    report = tmp_path / "report.csv"

    run = subprocess.run(
        [sys.executable, "-m", "zarn_limiter_cli", *map(str, sources), "--report", str(report)],
        capture_output=True, text=True, timeout=60, preexec_fn=_small_files_only,
    )

    assert run.returncode == 1
    assert run.stderr == f"zarn-limit: error: --report {report}: cannot write it (file too large)\n"
    assert all((tmp_path / f"in{index}_limited.wav").is_file() for index in range(6))
    assert leftovers(tmp_path) == []


@POSIX
def test_results_reader_gone_the_run_goes_on_and_the_report_is_written(tmp_path):
    sources = [tmp_path / f"in{index}.wav" for index in range(3)]
    for source in sources:
        make_file(source, "WAV", "PCM_16")
    report = tmp_path / "report.csv"
    reader, writer = os.pipe()
    os.close(reader)  # as `| head -1` does once it has its line

    try:
        run = subprocess.run([sys.executable, "-m", "zarn_limiter_cli", *map(str, sources),
                              "--report", str(report)],
                             stdout=writer, stderr=subprocess.PIPE, text=True, timeout=60)
    finally:
        os.close(writer)

    assert run.returncode == 0 and run.stderr == ""
    assert [row["status"] for row in csv.DictReader(report.open())] == ["limited"] * 3
    assert all((tmp_path / f"in{index}_limited.wav").is_file() for index in range(3))


def _file_in_the_way(out):
    (out / "open").write_text("a file where an output folder goes")


def _read_only_subfolder(out):
    (out / "open").mkdir()
    (out / "open").chmod(0o555)
    if os.access(out / "open", os.W_OK):  # root writes anyway: the other cases cover root
        pytest.skip("this user can write in a read-only folder")


def _folder_in_the_way(out):
    (out / "open" / "y_limited.wav").mkdir(parents=True)


BLOCKED_OUTPUTS = {"file where a folder goes": _file_in_the_way,
                   "read-only subfolder": _read_only_subfolder,
                   "folder where an output goes": _folder_in_the_way}


@pytest.mark.parametrize("block", BLOCKED_OUTPUTS.values(), ids=BLOCKED_OUTPUTS.keys())
def test_output_folders_are_checked_before_anything_is_written(tmp_path, capsys, block):
    for name in ("a/x.wav", "a/open/y.wav", "a/z.wav"):
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        make_file(tmp_path / name, "WAV", "PCM_16")
    out = tmp_path / "out"
    out.mkdir()
    block(out)
    before = sorted(out.rglob("*"))

    status = main([str(tmp_path / "a"), "--recursive", "--overwrite", "--output-dir", str(out)])
    (out / "open").chmod(0o755)

    assert status == 2
    err = capsys.readouterr().err
    assert err.startswith(f"zarn-limit: error: ") and str(out / "open") in err
    assert sorted(out.rglob("*")) == before


def test_output_another_run_wrote_meanwhile_is_kept(tmp_path, capsys, monkeypatch):
    from zarn_limiter_cli import batch

    source, target = tmp_path / "in.wav", tmp_path / "in_limited.wav"
    make_file(source, "WAV", "PCM_16")
    create_folders = batch._create_folders

    def other_run_writes_first(plan):  # once the checks have found no output there
        target.write_bytes(b"the other run's output")
        create_folders(plan)

    monkeypatch.setattr(batch, "_create_folders", other_run_writes_first)

    assert main([str(source)]) == 0

    assert target.read_bytes() == b"the other run's output" and leftovers(tmp_path) == []
    assert "kept the existing" in capsys.readouterr().out


def read_forward(path):
    """Every sample of a file, read in blocks from the start: these formats cannot seek."""
    blocks = []
    with sf.SoundFile(path) as source:
        while len(block := source.read(4096, dtype="float64", always_2d=True)):
            blocks.append(block)
        return np.concatenate(blocks), source.subtype


@pytest.mark.parametrize(("container", "subtype", "extension"), [
    ("WAV", "GSM610", ".wav"), ("AU", "G721_32", ".au"), ("WAV", "NMS_ADPCM_16", ".wav"),
])
def test_formats_that_cannot_seek_are_limited(tmp_path, container, subtype, extension):
    source = tmp_path / f"in{extension}"
    sf.write(source, bursts(20000, 1, 0.99), RATE, subtype, format=container)

    assert main([str(source), "--report", str(tmp_path / "report.csv")]) == 0

    written, written_subtype = read_forward(tmp_path / f"in_limited{extension}")
    row, = csv.DictReader((tmp_path / "report.csv").open())
    assert written_subtype == subtype and len(written) == len(read_forward(source)[0])
    assert float(row["output_peak_dBFS"]) == pytest.approx(20 * np.log10(np.abs(written).max()),
                                                           abs=1e-4)


DASK_ADDRESSES = [  # address, workers of its scheduler, the one line of refusal
    ("localhost:{port}", 1, None),
    ("tcp://127.0.0.1:{port}", 0, "--dask tcp://127.0.0.1:{port}: no worker joined the scheduler"),
    ("ucx://127.0.0.1:{port}", 1, "--dask ucx://127.0.0.1:{port}: cannot connect"),
    ("tls://127.0.0.1:{port}", 1, "--dask tls://127.0.0.1:{port}: cannot connect"),
]


@pytest.mark.parametrize(("address", "workers", "refusal"), DASK_ADDRESSES,
                         ids=["localhost", "no workers", "ucx", "tls"])
def test_dask_address_is_taken_as_the_client_takes_it(tmp_path, capsys, address, workers,
                                                      refusal):
    distributed = pytest.importorskip("distributed")
    source = tmp_path / "in.wav"
    make_file(source, "WAV", "PCM_16")

    with distributed.LocalCluster(n_workers=workers, processes=False, protocol="tcp",
                                  host="127.0.0.1", dashboard_address=None) as cluster:
        address = address.format(port=cluster.scheduler_address.rpartition(":")[2])
        status = main([str(source), "--dask", address, "--dask-wait", "2"])

    err = capsys.readouterr().err
    if refusal is None:
        assert status == 0 and (tmp_path / "in_limited.wav").is_file()
    else:
        assert status == 2 and err.count("\n") == 1 and not (tmp_path / "in_limited.wav").exists()
        assert err.startswith(f"zarn-limit: error: {refusal.format(port=address.rpartition(':')[2])}")


@POSIX
@pytest.mark.parametrize("arguments", [["{locked}/in.wav"], ["{tmp}/in.wav", "--output-dir",
                                                            "{locked}/out"]],
                         ids=["input", "output-dir"])
def test_path_under_a_folder_that_cannot_be_searched_is_one_line(tmp_path, capsys, arguments):
    make_file(tmp_path / "in.wav", "WAV", "PCM_16")
    locked = tmp_path / "locked"
    locked.mkdir()
    make_file(locked / "in.wav", "WAV", "PCM_16")
    locked.chmod(0)
    try:
        if os.access(locked / "in.wav", os.R_OK):  # root: the name-length cases cover it
            pytest.skip("this user searches a folder without permissions")
        status = main([a.format(tmp=tmp_path, locked=locked) for a in arguments])
    finally:
        locked.chmod(0o755)

    err = capsys.readouterr().err
    assert status == 2 and err.count("\n") == 1 and "permission denied" in err
