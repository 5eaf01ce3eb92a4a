"""Imports for the tests of the package's extras (video, HDF5, Dask, the viewer).

`make test` installs every extra and sets VELMO_ALL_EXTRAS=1, so there a missing one fails the
test that needs it. The wheel runs elsewhere install only what the package itself needs, and
there those tests are skipped, naming the extra to install.
"""

import importlib
import os

import pytest


def extra(module, extra_name):
    """The module `module`, which the package's extra `extra_name` brings."""
    if os.environ.get("VELMO_ALL_EXTRAS") == "1":
        return importlib.import_module(module)
    return pytest.importorskip(module, reason=f"needs the {extra_name} extra: pip install 'velmo-python[{extra_name}]'")
