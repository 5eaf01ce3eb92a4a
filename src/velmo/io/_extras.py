"""The modules the package's extras bring, imported when first needed."""

import importlib
from typing import Any


def extra_module(module: str, extra: str, needed_by: str) -> Any:
    """The module, or ImportError saying which extra to install for what needs it."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{needed_by} needs {module}: pip install 'velmo-python[{extra}]'") from error
