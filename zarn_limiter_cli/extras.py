"""Optional dependencies: each comes with an extra of the package, named when missing."""

import importlib
from types import ModuleType

from .errors import UsageError


def require(module: str, extra: str, needed_for: str) -> ModuleType:
    """Import `module`, or say which extra of the package provides it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise UsageError(
            f"{needed_for} needs {error.name or module}: "
            f"pip install 'zarn-limiter[{extra}]'"
        ) from None
