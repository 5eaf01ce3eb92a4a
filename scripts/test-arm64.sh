#!/usr/bin/env bash
# Cross-compiles the stand-in libraries and the three modules for aarch64 with the same
# sources and flags as the native build, checks that every built object is an AArch64 ELF,
# and runs the Python test suite under qemu-aarch64 with a Debian arm64 Python 3.13.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=.venv
build=build/arm64
site=$build/site

missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(crossbuild-essential-arm64)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
command -v mmdebstrap >/dev/null || missing+=(mmdebstrap)
command -v readelf >/dev/null || missing+=(binutils)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi

tree=$(scripts/arm64-tree.sh)

"$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DVELMO_ARM64_TREE="$tree" \
  -DCMAKE_BUILD_TYPE=Release -DVELMO_BUILD_TEST_HOOKS=ON -Dpybind11_DIR="$("$venv/bin/python" -m pybind11 --cmakedir)" >/dev/null
"$venv/bin/cmake" --build "$build"
rm -rf "$site"
"$venv/bin/cmake" --install "$build" --prefix "$site" >/dev/null

objects=("$site"/*.so)
[ ${#objects[@]} -eq 6 ] || { echo "expected 6 shared objects in $site, found ${#objects[@]}" >&2; exit 1; }
hooks=("$build"/tests/hooks/velmo_test_hooks.*.so)
for object in "${objects[@]}" "${hooks[@]}"; do
  machine=$(readelf -h "$object" | sed -n 's/^ *Machine: *//p')
  echo "$object: $machine"
  [ "$machine" = "AArch64" ] || { echo "$object is not an AArch64 ELF" >&2; exit 1; }
done

# Emulation runs some twenty times slower: the stress tests repeat each call family a few
# thousand times here (as under the sanitizers) and each property sees 50 examples, enough to
# reach every path on this target; their full counts run natively.
VELMO_STRESS_REPEAT=${VELMO_STRESS_REPEAT:-3000} VELMO_HYPOTHESIS_EXAMPLES=${VELMO_HYPOTHESIS_EXAMPLES:-50} PYTHONPATH="$PWD/$site" PYTHONDONTWRITEBYTECODE=1 \
  VELMO_TEST_HOOKS="$PWD/$build/tests/hooks" \
  qemu-aarch64 -L "$tree" "$tree/usr/bin/python3.13" -m pytest -p no:cacheprovider "$@"
