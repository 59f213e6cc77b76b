"""What the command did with one file: the report's row, and the line it prints."""

from __future__ import annotations

import math
from dataclasses import dataclass, field, fields

from .levels import AUDIBLE_REDUCTION_dB
from .outline import PlotData

LIMITED = "limited"
COPIED = "copied"
KEPT = "kept"
FAILED = "failed"
INTERRUPTED = "interrupted"
NOT_STARTED = "not started"


@dataclass
class FileResult:
    """One row of the report; levels in dB, None where not measured."""

    input: str
    output: str
    status: str = FAILED
    error: str = ""
    frames: int | None = None
    channels: int | None = None
    rate: int | None = None
    subtype: str = ""
    input_peak_dBFS: float | None = None
    output_peak_dBFS: float | None = None
    output_true_peak_dBTP: float | None = None
    output_reconstructed_peak_dBFS: float | None = None
    sample_ceiling_dBFS: float | None = None
    largest_reduction_dB: float | None = None
    reduced_frames_share: float | None = None
    loudness_before_LUFS: float | None = None
    loudness_after_LUFS: float | None = None
    loudness_range_before_LU: float | None = None
    loudness_range_after_LU: float | None = None
    momentary_max_before_LUFS: float | None = None
    momentary_max_after_LUFS: float | None = None
    short_term_max_before_LUFS: float | None = None
    short_term_max_after_LUFS: float | None = None
    preset: str = ""
    preset_check: str = ""
    seconds: float | None = None
    # Not in the report: a note for the printed line, and the plot's data.
    note: str = field(default="", metadata={"report": False})
    plot: PlotData | None = field(default=None, repr=False, metadata={"report": False})

    @property
    def failed(self) -> bool:
        return self.status in (FAILED, INTERRUPTED)


REPORT_COLUMNS = tuple(f.name for f in fields(FileResult) if f.metadata.get("report", True))


def _dB(value: float | None, unit: str) -> str:
    if value is None:
        return ""
    return f"{value:+.2f} {unit}" if math.isfinite(value) else f"-inf {unit}"


def describe(result: FileResult) -> str:
    """The one line printed for a file that did not fail."""
    if result.status == KEPT:
        return f"{result.input}: kept the existing {result.output} (--overwrite replaces it)"
    peak_before = _dB(result.input_peak_dBFS, "dBFS")
    if result.status == COPIED:
        line = f"{result.input}: peak {peak_before} is within the ceiling, copied to {result.output}"
    else:
        share = 100.0 * (result.reduced_frames_share or 0.0)
        line = (
            f"{result.input}: peak {peak_before} -> {_dB(result.output_peak_dBFS, 'dBFS')}, "
            f"largest gain reduction {result.largest_reduction_dB or 0.0:.2f} dB on "
            f"{share:.1f}% of frames by more than {AUDIBLE_REDUCTION_dB:g} dB, "
            f"written to {result.output}"
        )
    if result.output_true_peak_dBTP is not None:
        line += f"; true peak {_dB(result.output_true_peak_dBTP, 'dBTP')}"
    if result.output_reconstructed_peak_dBFS is not None:
        line += f", reconstructed peak {_dB(result.output_reconstructed_peak_dBFS, 'dBFS')}"
    if result.loudness_before_LUFS is not None:
        line += (
            f"; loudness {result.loudness_before_LUFS:.1f} -> "
            f"{result.loudness_after_LUFS or 0.0:.1f} LUFS"
        )
    if result.preset:
        line += f"; {result.preset}: {result.preset_check}"
    if result.note:
        line += f"\n  note: {result.note}"
    return line
