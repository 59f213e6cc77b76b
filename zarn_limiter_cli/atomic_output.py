"""Outputs appear complete or not at all: written to a hidden temporary file beside the
target and renamed into place only once complete."""

from __future__ import annotations

import os
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

TEMPORARY_SUFFIX = ".part"
# Bytes of the target's name kept in its temporary name: enough to tell whose it
# is, and short enough that any target a file system holds has a temporary name
# it holds too.
NAME_BYTES_KEPT = 40


def _name_start(name: str) -> str:
    start = name
    while len(os.fsencode(start)) > NAME_BYTES_KEPT:
        start = start[:-1]
    return start


def temporary_path(target: Path, token: str) -> Path:
    """The hidden temporary file beside `target` that becomes it once complete."""
    return target.with_name(f".{_name_start(target.name)}.{token}{TEMPORARY_SUFFIX}")


class PendingOutput:
    """A temporary file that becomes the target on `commit()` and is removed otherwise."""

    def __init__(self, target: Path) -> None:
        self.target = target
        self.path = temporary_path(target, uuid.uuid4().hex[:16])
        self.committed = False

    def commit(self) -> None:
        os.replace(self.path, self.target)
        self.committed = True


@contextmanager
def atomic_output(target: Path) -> Iterator[PendingOutput]:
    """A PendingOutput whose temporary file is gone on every way out of the block."""
    pending = PendingOutput(target)
    # Created with the usual permissions (0o666 less the umask), so the
    # renamed file is as readable as any other the user writes.
    os.close(os.open(pending.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
    try:
        yield pending
    finally:
        if not pending.committed:
            pending.path.unlink(missing_ok=True)
