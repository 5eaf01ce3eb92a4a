#!/usr/bin/env bash
# Builds one wheel of the package, checks what it carries, installs it into a new virtual
# environment in a temporary folder outside the repository and runs the Python tests there.
# The repository is not on sys.path in that run: the modules, the stand-in libraries and the
# type stubs all have to come from the environment's site-packages.
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

echo "== Building the wheel"
# Built with the development environment and its persistent build folder, so a wheel after
# `make test` compiles nothing new.
"$venv/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir "$work/dist" .
wheels=("$work"/dist/*.whl)
[ ${#wheels[@]} -eq 1 ] || { echo "expected one wheel, found ${#wheels[@]}" >&2; exit 1; }
wheel=${wheels[0]}
echo "$(basename "$wheel")"

"$venv/bin/python" - "$wheel" <<'EOF'
import fnmatch
import sys
import zipfile

names = zipfile.ZipFile(sys.argv[1]).namelist()
expected = ["libVelmoHal.so", "libVelmoBase.so"]
for module in ("velmo_hal_py", "velmo_base_py", "velmo_sim", "velmo_testing"):
    expected += [f"{module}.cpython-313-*.so", f"{module}.pyi", f"{module}-stubs/__init__.pyi"]
missing = [pattern for pattern in expected if not fnmatch.filter(names, pattern)]
if missing:
    sys.exit(f"the wheel lacks {', '.join(missing)}")
hooks = [name for name in names if "velmo_test_hooks" in name]
if hooks:
    sys.exit(f"the wheel carries the test-only module: {', '.join(hooks)}")
print(f"the wheel carries the 4 modules, the 2 libraries and the stubs ({len(names)} files)")
EOF

echo "== Installing it into a new environment in $work"
python313=$(scripts/find-python313.sh)
"$python313" -m venv "$work/venv"
# The development pins (requirements-dev.txt) also pin NumPy and the test tools here.
"$work/venv/bin/python" -m pip install --quiet --disable-pip-version-check \
  --constraint requirements-dev.txt "$wheel[examples]" pytest hypothesis mypy types-tqdm

# The tests, the files they read, and pytest's configuration; nothing importable of the
# repository's own.
project=$work/project
mkdir -p "$project/tests" "$project/scripts"
cp -r tests/python tests/typing "$project/tests/"
cp -r examples docs "$project/"
cp scripts/gen-api-docs.py "$project/scripts/"
cp pyproject.toml "$project/"
# The tests' own module is not in the wheel; the tests find it through VELMO_TEST_HOOKS.
mkdir -p "$work/hooks"
cp build/cpp/tests/hooks/velmo_test_hooks.*.so "$work/hooks/"
export VELMO_TEST_HOOKS=$work/hooks
find "$project" -name __pycache__ -prune -exec rm -rf {} +

cd "$project"
unset PYTHONPATH
"$work/venv/bin/python" - "$repo" <<'EOF'
import importlib
import sys
import sysconfig
from pathlib import Path

repo = Path(sys.argv[1]).resolve()
site = Path(sysconfig.get_paths()["platlib"]).resolve()
for module in ("velmo_hal_py", "velmo_base_py", "velmo_sim", "velmo_testing"):
    location = Path(importlib.import_module(module).__file__).resolve()
    if location.parent != site:
        sys.exit(f"{module} was imported from {location}, not from {site}")
    print(f"{module}: {location}")
on_path = [entry for entry in sys.path if entry and Path(entry).resolve().is_relative_to(repo)]
if on_path:
    sys.exit(f"the repository is on sys.path: {on_path}")
EOF

echo "== Python tests against the installed wheel"
"$work/venv/bin/python" -m pytest -p no:cacheprovider "$@"
