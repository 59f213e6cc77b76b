"""zarn-limit against a hostile file system: entries it cannot read, names too long,
full devices, readers that go away and other runs writing the same outputs."""

import csv
import os
import subprocess
import sys

import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("pyloudnorm")
pytest.importorskip("tqdm")

from zarn_limiter_cli import main  # noqa: E402

from cli_audio import leftovers, make_file  # noqa: E402

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
