"""The README's Python examples run as written."""

import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(
    r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), flags=re.MULTILINE | re.DOTALL
)


def test_readme_has_examples():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(tmp_path, block):
    sf = pytest.importorskip("soundfile")
    # A few recordings for the examples that read files.
    (tmp_path / "recordings").mkdir()
    for name, channels in (("mono.wav", 1), ("stereo.wav", 2)):
        noise = np.random.default_rng(channels).uniform(-1.0, 1.0, (4800, channels))
        sf.write(tmp_path / "recordings" / name, noise, 48000, subtype="PCM_16")
    (tmp_path / "example.py").write_text(block, encoding="utf-8")
    result = subprocess.run(
        [sys.executable, "example.py"], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_figure_is_shown_and_redrawn(tmp_path):
    pytest.importorskip("matplotlib")
    assert "](docs/limiting.png)" in README.read_text(encoding="utf-8")
    assert (README.parent / "docs" / "limiting.png").is_file()
    script = README.parent / "docs" / "make_figure.py"
    result = subprocess.run(
        [sys.executable, str(script), str(tmp_path / "figure.png")],
        capture_output=True, text=True, timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "figure.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
