"""stdout for the results, guarded: a reader that goes away (`zarn-limit ... | head`)
or a full device stops the printing, never the run, whose files and report are
what the user asked for."""

from __future__ import annotations

import io
import os
import sys
from typing import TextIO

from .path_checks import reason


class ResultsStream(io.TextIOBase):
    """Writes to `wrapped` until it fails once, then nowhere."""

    def __init__(self, wrapped: TextIO, program: str) -> None:
        super().__init__()
        self.wrapped = wrapped
        self._program = program
        self.lost: OSError | None = None

    @property
    def failed(self) -> bool:
        """Whether results were lost for another cause than their reader leaving."""
        return self.lost is not None and not isinstance(self.lost, BrokenPipeError)

    def writable(self) -> bool:
        return True

    def isatty(self) -> bool:
        return self.wrapped.isatty()

    def write(self, text: str) -> int:
        if self.lost is None:
            try:
                self.wrapped.write(text)
            except OSError as error:
                self._lose(error)
        return len(text)

    def flush(self) -> None:
        if self.lost is None:
            try:
                self.wrapped.flush()
            except OSError as error:
                self._lose(error)

    def _lose(self, error: OSError) -> None:
        self.lost = error
        if self.failed:
            print(f"{self._program}: error: cannot write the results to stdout "
                  f"({reason(error)}); going on without printing them", file=sys.stderr)
        # What is still buffered goes nowhere, rather than failing again at exit.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self.wrapped.fileno())
            os.close(devnull)
        except (OSError, ValueError, io.UnsupportedOperation):
            pass
