"""zarn-limit's refusals and failure messages: one line that says what happened, with
numbers in a readable form, and nothing written where nothing could be written right."""

import pytest

sf = pytest.importorskip("soundfile")
pytest.importorskip("tqdm")

from zarn_limiter_cli import main  # noqa: E402

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
