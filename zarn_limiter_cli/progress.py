"""Progress bars on stderr, shown only on a terminal and never with --quiet."""

from __future__ import annotations

import sys
from typing import Any, Protocol


class Stages(Protocol):
    """Progress through one file: reading, limiting and writing, in frames."""

    def stage(self, name: str, frames: int) -> None: ...

    def advance(self, frames: int) -> None: ...


class NoStages:
    """Progress that goes nowhere: for runs without a terminal, and on workers."""

    def stage(self, name: str, frames: int) -> None:
        pass

    def advance(self, frames: int) -> None:
        pass


def shows_progress(quiet: bool) -> bool:
    return not quiet and sys.stderr.isatty()


def _tqdm(**settings: Any) -> Any:
    from tqdm import tqdm

    return tqdm(file=sys.stderr, dynamic_ncols=True, leave=False, **settings)


class StageBar:
    """A bar per stage of one long file."""

    def __init__(self) -> None:
        self._bar: Any = None

    def stage(self, name: str, frames: int) -> None:
        self.close()
        self._bar = _tqdm(total=frames, desc=name, unit="frame", unit_scale=True)

    def advance(self, frames: int) -> None:
        if self._bar is not None:
            self._bar.update(frames)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


class FileBar:
    """A bar over the files of a collection, that results can be printed above."""

    def __init__(self, files: int, enabled: bool) -> None:
        self._bar: Any = _tqdm(total=files, unit="file") if enabled else None

    def advance(self) -> None:
        if self._bar is not None:
            self._bar.update()

    def print(self, line: str, error: bool = False) -> None:
        stream = sys.stderr if error else sys.stdout
        if self._bar is not None:
            self._bar.write(line, file=stream)
        else:
            print(line, file=stream, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
