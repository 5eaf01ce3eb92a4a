"""Where the type stubs of the imported modules are, for the tests that read or use them."""

import importlib
import os
import sysconfig
from pathlib import Path

import pytest

# velmo._io and velmo.frames, modules of the velmo package, are in every build too.
PUBLISHED = ("velmo_hal_py", "velmo_base_py", "velmo._io", "velmo.frames")
# A build over the maker's libraries has neither of the stand-in's modules.
MODULES = PUBLISHED if os.environ.get("VELMO_WITHOUT_SIMULATOR") == "1" else (*PUBLISHED, "velmo.sim", "velmo.testing")


def installed_stub(name: str) -> Path:
    """A module of the velmo package has its stub beside it; a top-level module has a stub-only
    package beside it."""
    module = Path(importlib.import_module(name).__file__)
    if "." in name:
        return module.with_name(f"{name.rpartition('.')[2]}.pyi")
    return module.with_name(f"{name}-stubs") / "__init__.pyi"


def installed_as_package(name: str) -> bool:
    """True when the module, or the package holding it, was installed by pip into this
    interpreter's site-packages."""
    top = importlib.import_module(name.partition(".")[0])
    location = Path(top.__file__).resolve()
    folder = location.parent.parent if location.name == "__init__.py" else location.parent
    paths = sysconfig.get_paths()
    return folder in {Path(paths["platlib"]).resolve(), Path(paths["purelib"]).resolve()}


def require_stubs() -> dict[str, Path]:
    """The installed stub of each module. An installed package must carry them; a cross or sanitizer
    build tree put on PYTHONPATH carries none, and the calling test is skipped there."""
    if not all(installed_as_package(name) for name in MODULES):
        missing = [name for name in MODULES if not installed_stub(name).is_file()]
        if missing:
            pytest.skip(f"the modules come from a build tree without type stubs ({', '.join(missing)})")
    return {name: installed_stub(name) for name in MODULES}
