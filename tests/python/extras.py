"""Imports for the tests of the package's extras (video, HDF5, Dask, the viewer).

`make test` installs every extra and sets VELMO_ALL_EXTRAS=1, so there a missing one fails the
test that needs it. The wheel runs elsewhere install only what the package itself needs, and
there those tests are skipped, naming the extra to install.

Under the sanitizers (scripts/check-asan.sh preloads their runtime into the interpreter) they
are skipped too: the extras run programs that are not ours, Chromium and its driver, Dask's
worker processes, ffmpeg, which inherit the preloaded runtime and abort under it or report on
their own allocations. What they call of ours is native code that other tests run there.
"""

import importlib
import os

import pytest


def sanitizer_loaded():
    with open("/proc/self/maps") as maps:
        return any("libasan" in line for line in maps)


def extra(module, extra_name):
    """The module `module`, which the package's extra `extra_name` brings."""
    if sanitizer_loaded():
        pytest.skip(f"the {extra_name} extra's programs do not run under the preloaded sanitizers",
                    allow_module_level=True)
    if os.environ.get("VELMO_ALL_EXTRAS") == "1":
        return importlib.import_module(module)
    return pytest.importorskip(module, reason=f"needs the {extra_name} extra: pip install 'velmo-python[{extra_name}]'")
