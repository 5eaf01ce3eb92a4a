#!/usr/bin/env bash
# Installs the x86_64 wheel of dist/ (scripts/build-wheels.sh) into a new virtual environment
# in a temporary folder outside the repository, with the oldest NumPy the wheel accepts, and
# runs the Python tests there. The repository is not on sys.path in that run: the modules, the
# device libraries and the type stubs all have to come from the environment's site-packages.
#
# Extra arguments go to pytest. VELMO_KEEP_WHEEL_TEST=1 keeps the temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."

repo=$PWD
venv=$repo/.venv
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-wheel.XXXXXX")
if [ "${VELMO_KEEP_WHEEL_TEST:-0}" = 1 ]; then
  echo "keeping $work"
else
  trap 'rm -rf "$work"' EXIT
fi

wheels=(dist/*-manylinux_*_x86_64.whl)
[ -f "${wheels[0]}" ] || { echo "no x86_64 wheel in dist/: run make wheels" >&2; exit 1; }
wheel=$repo/${wheels[0]}
echo "== Installing $(basename "$wheel") into a new environment in $work"

# The NumPy the tests run against is the lowest the wheel's metadata accepts, so that the
# declared requirement is the tested one.
numpy=$("$venv/bin/python" - "$wheel" <<'EOF_PY'
import re
import sys
import zipfile

wheel = zipfile.ZipFile(sys.argv[1])
metadata = next(name for name in wheel.namelist() if name.endswith(".dist-info/METADATA"))
found = re.search(r"^Requires-Dist: numpy>=([0-9.]+)$", wheel.read(metadata).decode(), re.MULTILINE)
if found is None:
    sys.exit("the wheel declares no lower bound for NumPy")
print(found[1])
EOF_PY
)
# The development pins fix the test tools; NumPy is pinned to that lower bound instead.
grep -v '^numpy==' requirements-dev.txt > "$work/constraints.txt"
echo "numpy==$numpy" >> "$work/constraints.txt"

python313=$(scripts/find-python313.sh)
"$python313" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check \
  --constraint "$work/constraints.txt" "$wheel[examples]" pytest hypothesis mypy types-tqdm

project=$work/project
scripts/stage-tests.sh "$project"
# The tests' own module is not in the wheel; the tests find it through VELMO_TEST_HOOKS.
mkdir -p "$work/hooks"
cp build/cpp/tests/hooks/velmo_test_hooks.*.so "$work/hooks/"
export VELMO_TEST_HOOKS=$work/hooks

cd "$project"
unset PYTHONPATH
"$work/venv/bin/python" - "$repo" "$numpy" <<'EOF_PY'
import importlib
import sys
import sysconfig
from pathlib import Path

import numpy

repo = Path(sys.argv[1]).resolve()
site = Path(sysconfig.get_paths()["platlib"]).resolve()
for module in ("velmo_hal_py", "velmo_base_py", "velmo.sim", "velmo.testing", "velmo._io", "velmo.frames"):
    location = Path(importlib.import_module(module).__file__).resolve()
    if location.parent not in (site, site / "velmo"):
        sys.exit(f"{module} was imported from {location}, not from {site}")
    print(f"{module}: {location}")
on_path = [entry for entry in sys.path if entry and Path(entry).resolve().is_relative_to(repo)]
if on_path:
    sys.exit(f"the repository is on sys.path: {on_path}")
if numpy.__version__ != sys.argv[2]:
    sys.exit(f"NumPy {numpy.__version__} is installed, not {sys.argv[2]}")
print(f"numpy: {numpy.__version__}")
EOF_PY

echo "== Python tests against the installed wheel"
"$work/venv/bin/python" -m pytest -p no:cacheprovider "$@"
