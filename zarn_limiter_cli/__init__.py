"""The zarn-limit command: limit audio files and whole collections to a ceiling.

The limiting is done by the `zarn_limiter` extension; this package reads and
writes the files, checks the options and reports what it did.
"""

from collections.abc import Sequence


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command with these arguments (default: the process's); returns the exit status."""
    import os
    import sys

    # NumPy's BLAS starts threads that spin for a while whatever the program does;
    # the command never multiplies matrices, so none are started.
    if "numpy" not in sys.modules:
        os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    # Imported here so that importing the package needs none of the extras.
    from .command import run

    return run(argv)


__all__ = ["main"]
