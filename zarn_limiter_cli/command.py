"""The zarn-limit command: parse the command line, make sure the extras it needs are
installed, run the batch, and turn any usage error into one line and exit status 2."""

from __future__ import annotations

import sys
from collections.abc import Sequence

from .errors import EXIT_OK, EXIT_SOME_FAILED, EXIT_USAGE, UsageError
from .extras import require
from .options import PROGRAM, Options, parse_options
from .results_stream import ResultsStream


def run(argv: Sequence[str] | None = None) -> int:
    results = ResultsStream(sys.stdout, PROGRAM)
    sys.stdout = results
    try:
        status = _run(argv)
    finally:
        sys.stdout = results.wrapped
    return EXIT_SOME_FAILED if results.failed and status == EXIT_OK else status


def _run(argv: Sequence[str] | None) -> int:
    try:
        options = parse_options(argv)
        _require_extras(options)
        # Imported only now: it needs the extras checked above.
        from .batch import run_batch

        return run_batch(options)
    except UsageError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return EXIT_USAGE


def _require_extras(options: Options) -> None:
    for module in ("soundfile", "tqdm", "scipy", "mutagen"):
        require(module, "cli", PROGRAM)
    if options.loudness_LUFS is not None:
        require("pyloudnorm", "cli", "--loudness")
    if options.plot is not None:
        require("matplotlib", "plot", "--plot")
    if options.dask is not None:
        require("distributed", "dask", "--dask")
