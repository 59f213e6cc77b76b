"""zarn-limit's levels: what it reports about the gain reduction, and the levels it promises
in the written file."""

import json

import numpy as np
import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

import zarn_limiter  # noqa: E402
from zarn_limiter_cli import main  # noqa: E402
from zarn_limiter_cli.demo_signal import SAMPLE_RATE, demo_signal  # noqa: E402

# A listener hears a reduction of more than this; the report counts those frames.
AUDIBLE_REDUCTION_dB = 0.1


def test_reduction_share_counts_frames_reduced_audibly(tmp_path, capsys):
    report = tmp_path / "report.json"

    assert main(["--output-dir", str(tmp_path), "--report", str(report)]) == 0

    row, = json.loads(report.read_text())
    _, gains = zarn_limiter.limit(demo_signal(), SAMPLE_RATE, row["sample_ceiling_dBFS"])
    reduced = np.count_nonzero(gains < 10.0 ** (-AUDIBLE_REDUCTION_dB / 20.0)) / gains.size
    assert 0.0 < reduced < 1.0
    assert row["reduced_frames_share"] == pytest.approx(reduced)
    assert f"on {100 * reduced:.1f}% of frames" in capsys.readouterr().out
