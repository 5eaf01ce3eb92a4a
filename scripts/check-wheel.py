"""Checks a repaired wheel: `auditwheel show` finds it consistent with the given platform tag
and needing no library outside that policy, and the wheel holds the extension modules with
their stubs, the pure Python velmo package, the two device libraries once in their own
folder, and nothing else; its metadata names the licence and carries its file, and states
the Python and NumPy it needs.

Usage: check-wheel.py WHEEL PLATFORM_TAG
"""

import email.parser
import fnmatch
import re
import subprocess
import sys
import zipfile
from pathlib import Path, PurePosixPath

LIBRARY_DIR = "velmo_python.libs"
LIBRARIES = {"libVelmoHal.so", "libVelmoBase.so"}
REQUIRED_MODULES = {"velmo_hal_py", "velmo_base_py"}
# The velmo package's pure Python files, as src/velmo holds them.
PACKAGE_SOURCE = Path(__file__).resolve().parents[1] / "src" / "velmo"
# The velmo package's native modules, each with its stub beside it.
PACKAGE_MODULES = {"frames", "_io", "sim", "testing"}
PACKAGE_FILES = {f"velmo/{path.relative_to(PACKAGE_SOURCE).as_posix()}" for path in PACKAGE_SOURCE.rglob("*")
                 if path.is_file() and "__pycache__" not in path.parts}
REQUIRES_PYTHON = "<3.14,>=3.13"
# The oldest NumPy for CPython 3.13: make test-wheel runs the tests against exactly it.
NUMPY_FLOOR = "numpy>=2.1.0"


def auditwheel_faults(wheel, tag):
    shown = subprocess.run(["auditwheel", "show", wheel], capture_output=True, text=True, check=True)
    # auditwheel wraps its sentences to the terminal width.
    text = " ".join(shown.stdout.split())
    print(text)
    faults = []
    if f'consistent with the following platform tag: "{tag}"' not in text:
        faults.append(f"auditwheel does not find the wheel consistent with {tag}")
    if "external shared libraries are required" in text:
        faults.append("the wheel needs libraries outside the policy")
    return faults


def layout_faults(names):
    files = [PurePosixPath(name) for name in names if not name.endswith("/")]
    dist_info = [path for path in files if path.parts[0].endswith(".dist-info")]
    libraries = [path.name for path in files if path.parts[0] == LIBRARY_DIR]
    modules = {path.name.split(".")[0] for path in files
               if len(path.parts) == 1 and fnmatch.fnmatch(path.name, "*.cpython-313-*-linux-gnu.so")}
    package_modules = {path.name.split(".")[0] for path in files if path.parts[0] == "velmo" and len(path.parts) == 2
                       and fnmatch.fnmatch(path.name, "*.cpython-313-*-linux-gnu.so")}
    expected = {f"{module}-stubs/__init__.pyi" for module in modules}
    expected |= PACKAGE_FILES | {f"velmo/{module}.pyi" for module in PACKAGE_MODULES}
    faults = []
    if sorted(libraries) != sorted(LIBRARIES):
        faults.append(f"{LIBRARY_DIR} holds {sorted(libraries)}, not each of {sorted(LIBRARIES)} once")
    if not REQUIRED_MODULES <= modules:
        faults.append(f"modules missing: {sorted(REQUIRED_MODULES - modules)}")
    if package_modules != PACKAGE_MODULES:
        faults.append(f"the velmo package holds the native modules {sorted(package_modules)}, not {sorted(PACKAGE_MODULES)}")
    others = {str(path) for path in files if path.parts[0] != LIBRARY_DIR and path not in dist_info
              and not re.fullmatch(r"(velmo/)?[a-z_]+\.cpython-313-[a-z0-9_]+-linux-gnu\.so", str(path))}
    if others != expected:
        faults.append(f"stubs or package files missing: {sorted(expected - others)}; "
                      f"unexpected files: {sorted(others - expected)}")
    return faults


def metadata_faults(archive):
    """The fields a package index and pip read: licence, Python, NumPy floor, architectures."""
    name = next(name for name in archive.namelist() if name.endswith(".dist-info/METADATA"))
    metadata = email.parser.HeaderParser().parsestr(archive.read(name).decode())
    faults = []
    if not metadata.get("License-Expression"):
        faults.append("no License-Expression")
    for license_file in metadata.get_all("License-File") or ["(none declared)"]:
        if f"{PurePosixPath(name).parent}/licenses/{license_file}" not in archive.namelist():
            faults.append(f"license file {license_file} is not in the wheel")
    if metadata.get("Requires-Python") != REQUIRES_PYTHON:
        faults.append(f"Requires-Python is {metadata.get('Requires-Python')!r}, not {REQUIRES_PYTHON!r}")
    if NUMPY_FLOOR not in (metadata.get_all("Requires-Dist") or []):
        faults.append(f"no Requires-Dist {NUMPY_FLOOR}")
    if "Operating System :: POSIX :: Linux" not in (metadata.get_all("Classifier") or []):
        faults.append("no Linux classifier")
    return faults


def main():
    wheel, tag = sys.argv[1:]
    archive = zipfile.ZipFile(wheel)
    faults = auditwheel_faults(wheel, tag) + layout_faults(archive.namelist()) + metadata_faults(archive)
    if faults:
        sys.exit(f"{wheel}:\n  " + "\n  ".join(faults))
    print(f"{wheel}: {tag}, modules with stubs, the device libraries once under {LIBRARY_DIR}/, "
          "complete metadata")


if __name__ == "__main__":
    main()
