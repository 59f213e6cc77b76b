"""The report file: a row per file, as CSV or JSON by the file's suffix."""

from __future__ import annotations

import csv
import json
import math
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from .atomic_output import atomic_output
from .file_result import REPORT_COLUMNS, FileResult


def _row(result: FileResult) -> dict[str, Any]:
    return {column: getattr(result, column) for column in REPORT_COLUMNS}


def _json_value(value: Any) -> Any:
    # JSON has no infinity: the peak of silence is written as null.
    return None if isinstance(value, float) and not math.isfinite(value) else value


def write_report(path: Path, results: Sequence[FileResult]) -> None:
    with atomic_output(path) as output:
        with open(output.path, "w", newline="", encoding="utf-8") as stream:
            if path.suffix.lower() == ".json":
                rows = [{k: _json_value(v) for k, v in _row(r).items()} for r in results]
                json.dump(rows, stream, indent=2)
                stream.write("\n")
            else:
                writer = csv.DictWriter(stream, fieldnames=REPORT_COLUMNS)
                writer.writeheader()
                writer.writerows(_row(result) for result in results)
        output.commit()
