"""Outputs appear complete or not at all: written to a hidden temporary file beside the
target and renamed into place only once complete."""

from __future__ import annotations

import os
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

TEMPORARY_SUFFIX = ".part"


class PendingOutput:
    """A temporary file that becomes the target on `commit()` and is removed otherwise."""

    def __init__(self, target: Path) -> None:
        self.target = target
        self.path = target.with_name(f".{target.name}.{uuid.uuid4().hex}{TEMPORARY_SUFFIX}")
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
