"""The type stubs shipped in the wheel, checked against the built module and used by mypy."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]
CONFIG = ROOT / "pyproject.toml"

# Uses the stubs the way a program would; every line marked with an ignore
# must be an error (strict mode reports an ignore that is not needed), and
# assert_type fails unless the stub gives exactly that type.
USAGE = """
from typing import assert_type

import numpy as np
from numpy.typing import NDArray

import zarn_limiter
from zarn_limiter import ZarnLimiter, limit
from zarn_limiter_stream import Loudness, LoudnessMeter, StreamLimiter

Result = tuple[NDArray[np.float32], NDArray[np.float32]]

limiter = ZarnLimiter(48000, threshold_dBFS=np.float32(-1.0), attack_ms=5, hold_ms=15.0)
assert_type(limiter.process([0.5, 1.5]), Result)
assert_type(limiter.process(np.zeros((100, 2)), axis=np.int64(0)), Result)
assert_type(limit(np.zeros(10), 44100, -1.0, 5.0, 15.0, 40.0, -1), Result)
assert_type(zarn_limiter.limit(audio=[0.0], sample_rate=8000, release_ms=0), Result)
assert_type(limiter.sample_rate, int)
assert_type(limiter.threshold, float)
assert_type(limiter.threshold_dBFS, float)
assert_type(limiter.lookahead_samples, int)
assert_type(limiter.attack_samples, int)
assert_type(limiter.hold_samples, int)
assert_type(limiter.release_samples, float)

limiter.threshold = 0.5  # type: ignore[misc]
limiter.process([0.0], axis=None)  # type: ignore[arg-type]
limiter.process([0.0], -1, 0)  # type: ignore[call-arg]
limit([0.0])  # type: ignore[call-arg]
limit([0.0], 48000.0)  # type: ignore[arg-type]
ZarnLimiter(48000, attack_ms="5")  # type: ignore[arg-type]
ZarnLimiter(48000, attack=5.0)  # type: ignore[call-arg]


class Derived(ZarnLimiter):  # type: ignore[misc]
    pass


meter = LoudnessMeter(48000, np.int64(2), weights=[1.0, np.float32(1.41)], reconstructed=True)
assert_type(meter.add(np.zeros((100, 2))), None)
assert_type(meter.add([0.0, 0.5]), None)
loudness = meter.result()
assert_type(loudness, Loudness)
assert_type(loudness.integrated_LUFS, float)
assert_type(loudness.loudness_range_LU, float)
assert_type(loudness.momentary_max_LUFS, float)
assert_type(loudness.short_term_max_LUFS, float)
assert_type(loudness.true_peak_dBTP, float)
assert_type(loudness.channel_true_peaks_dBTP, tuple[float, ...])
assert_type(loudness.sample_peak_dBFS, float)
assert_type(loudness.reconstructed_peak_dBFS, float | None)
assert_type(loudness[5], tuple[float, ...])
assert_type(meter.weights, tuple[float, ...])
assert_type(meter.channels, int)

LoudnessMeter(48000)  # type: ignore[call-arg]
LoudnessMeter(48000.0, 2)  # type: ignore[arg-type]
meter.add(np.zeros(4), 0)  # type: ignore[call-arg]
loudness.integrated_LUFS = 0.0  # type: ignore[misc]


class DerivedMeter(LoudnessMeter):  # type: ignore[misc]
    pass


stream = StreamLimiter(48000, np.int64(2), threshold_dBFS=-1)
assert_type(stream.process(np.zeros((10, 2))), Result)
assert_type(stream.flush(out=(np.zeros((240, 2), np.float32), np.zeros(240, np.float32))), Result)
assert_type(stream.latency, int)
stream.process([0.0], out=[0.0])  # type: ignore[arg-type]
"""


def run(*arguments: str, cwd: Path) -> None:
    # Run outside the source tree so that only the installed package is seen.
    result = subprocess.run(
        [sys.executable, "-m", *arguments], cwd=cwd, capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, f"{' '.join(arguments)}:\n{result.stdout}{result.stderr}"


def readme_code_blocks() -> list[str]:
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    return re.findall(r"^```python\n(.*?)^```$", text, flags=re.MULTILINE | re.DOTALL)


@pytest.mark.parametrize("module", ["zarn_limiter", "zarn_limiter_stream"])
def test_stubs_match_the_module(tmp_path, module):
    run("mypy.stubtest", module, cwd=tmp_path)


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """mypy with the project's settings and a cache shared by this module's runs."""
    cache = tmp_path_factory.mktemp("mypy_cache")
    return ["mypy", "--config-file", str(CONFIG), "--cache-dir", str(cache)]


def test_stubs_give_precise_types(tmp_path, mypy):
    (tmp_path / "usage.py").write_text(USAGE)
    run(*mypy, "usage.py", cwd=tmp_path)


def test_examples_command_and_readme_type_check(tmp_path, mypy):
    pytest.importorskip("matplotlib")
    blocks = readme_code_blocks()
    assert blocks, "the README has Python examples"
    names = []
    for index, block in enumerate(blocks):
        names.append(f"readme_block_{index}.py")
        (tmp_path / names[-1]).write_text(block)
    programs = [str(ROOT / "examples"), str(ROOT / "docs" / "make_figure.py"),
                str(ROOT / "zarn_limiter_cli")]
    run(*mypy, *programs, *names, cwd=tmp_path)

