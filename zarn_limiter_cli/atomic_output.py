"""Outputs appear complete or not at all: written to a hidden temporary file beside the
target and renamed into place only once complete.

The task that writes a file says how (`writing_rules`): whether an output
that appeared since the run was planned is replaced, and the token that
names the temporary files, so that the run can find and remove them when
the process that wrote them could not.
"""

from __future__ import annotations

import os
import sys
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from pathlib import Path

TEMPORARY_SUFFIX = ".part"
# Bytes of the target's name kept in its temporary name: enough to tell whose it
# is, and short enough that any target a file system holds has a temporary name
# it holds too.
NAME_BYTES_KEPT = 40


class OutputAppeared(Exception):
    """The target came into being while it was written, and is not to be replaced."""


@dataclass(frozen=True)
class WritingRules:
    replace: bool = True
    token: str | None = None


_rules: ContextVar[WritingRules] = ContextVar("writing_rules", default=WritingRules())


@contextmanager
def writing_rules(replace: bool, token: str) -> Iterator[None]:
    """Outputs committed inside the block replace an existing target only if `replace`,
    and their temporary files are named with `token`."""
    reset = _rules.set(WritingRules(replace, token))
    try:
        yield
    finally:
        _rules.reset(reset)


def _name_start(name: str) -> str:
    start = name
    while len(os.fsencode(start)) > NAME_BYTES_KEPT:
        start = start[:-1]
    return start


def temporary_path(target: Path, token: str) -> Path:
    """The hidden temporary file beside `target` that becomes it once complete."""
    return target.with_name(f".{_name_start(target.name)}.{token}{TEMPORARY_SUFFIX}")


def _create_new(temporary: Path, target: Path) -> None:
    """Give the temporary file the target's name, failing if the target exists."""
    if sys.platform == "win32":
        os.rename(temporary, target)  # fails where the target exists
        return
    try:
        os.link(temporary, target)
    except FileExistsError:
        raise
    except OSError:
        # A file system without hard links: claim the name, then fill it.
        os.close(os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        os.replace(temporary, target)
        return
    os.unlink(temporary)


class PendingOutput:
    """A temporary file that becomes the target on `commit()` and is removed otherwise."""

    def __init__(self, target: Path) -> None:
        self.target = target
        self.rules = _rules.get()
        self.path = temporary_path(target, self.rules.token or uuid.uuid4().hex[:16])
        self.committed = False

    def commit(self) -> None:
        """Rename into place; raises OutputAppeared where the target exists and is kept."""
        if self.rules.replace:
            os.replace(self.path, self.target)
        else:
            try:
                _create_new(self.path, self.target)
            except FileExistsError:
                raise OutputAppeared(str(self.target)) from None
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
