#!/usr/bin/env bash
# Makes, once, a Debian 13 arm64 tree with Python 3.13, NumPy, pytest and Hypothesis from
# Debian's packages, ready to run under qemu-aarch64, and prints its path. The tree lives
# outside the repository (VELMO_ARM64_CACHE, default /var/cache/velmo-arm64) and is reused
# while its recipe is unchanged. The cross compiler and qemu that build for the tree and run
# in it are installed first when missing.
set -euo pipefail

missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(crossbuild-essential-arm64)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
command -v mmdebstrap >/dev/null || missing+=(mmdebstrap)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq >&2
  apt-get install -y -qq "${missing[@]}" >&2
fi

cache=${VELMO_ARM64_CACHE:-/var/cache/velmo-arm64}
tree=$cache/tree
packages="python3.13,python3.13-dev,python3-numpy,python3-pytest,python3-hypothesis,libstdc++6"
recipe="trixie arm64 $packages v1"

if [ -f "$cache/recipe" ] && [ "$(cat "$cache/recipe")" = "$recipe" ]; then
  echo "$tree"
  exit 0
fi

rm -rf "$tree" "$cache/python3.13-include" "$cache/recipe"
mkdir -p "$cache"
# Unpacking without running maintainer scripts needs no arm64 emulation of dpkg; the few
# things those scripts would do are done below.
mmdebstrap --quiet --variant=extract --architectures=arm64 --include="$packages" \
  trixie "$tree" http://deb.debian.org/debian >&2

# Merged /usr: the loader is looked up as /lib/ld-linux-aarch64.so.1.
for dir in bin sbin lib; do
  [ -e "$tree/$dir" ] || ln -s "usr/$dir" "$tree/$dir"
done
# The BLAS and LAPACK that NumPy loads are normally chosen by update-alternatives.
multiarch=$tree/usr/lib/aarch64-linux-gnu
ln -sf blas/libblas.so.3 "$multiarch/libblas.so.3"
ln -sf lapack/liblapack.so.3 "$multiarch/liblapack.so.3"

# Byte code is the same on every architecture: compiling it here spares qemu from
# compiling every imported module on each run.
host_python=$("$(dirname "$0")/find-python313.sh")
"$host_python" -m compileall -q -j 0 "$tree/usr/lib/python3.13" "$tree/usr/lib/python3/dist-packages" >/dev/null || true

# Python.h beside the arm64 pyconfig.h, so the cross compiler needs no other tree headers.
cp -r "$tree/usr/include/python3.13" "$cache/python3.13-include"
cp "$tree/usr/include/aarch64-linux-gnu/python3.13/pyconfig.h" "$cache/python3.13-include/pyconfig.h"

echo "$recipe" > "$cache/recipe"
echo "$tree"
