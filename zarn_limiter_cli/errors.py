"""The two kinds of failure the command tells apart, how a file's failure to be read is
said, and the exit statuses."""

EXIT_OK = 0
EXIT_SOME_FAILED = 1
EXIT_USAGE = 2


class UsageError(Exception):
    """A bad option or input: reported as one line, exit status 2, nothing written."""


class FileFailure(Exception):
    """One file could not be limited; nothing was written for it and the others go on."""


class Interrupted(BaseException):
    """The user asked to stop: the file in hand is abandoned.

    A BaseException, like KeyboardInterrupt, so that no `except Exception`
    on the way mistakes it for a failure of the file.
    """


def cannot_read(error: OSError) -> str:
    """A file's failure to be read, in the system's own words."""
    return f"cannot read it: {error.strerror or error}"
