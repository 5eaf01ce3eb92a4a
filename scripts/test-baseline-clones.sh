#!/usr/bin/env bash
# The frames kernels carry clones for AVX2 and AVX-512, and paths for AVX2, and on x86-64 the
# loader or the kernel picks one by what the processor has, so the C++ tests on a newer machine
# never run the baseline one. This runs the kernels' tests (the build of make test-cpp) again
# under qemu-x86_64 as a Nehalem, which has neither. Other processors have no clones: there is
# nothing to do on them.
set -euo pipefail
cd "$(dirname "$0")/.."

[[ $(uname -m) == x86_64 ]] || exit 0
if ! command -v qemu-x86_64 >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq qemu-user
fi

# qemu warns of each feature of the model that it does not emulate, none of which the tests use.
qemu-x86_64 -cpu Nehalem build/cpp/tests/cpp/velmo_cpp_tests --gtest_brief=1 --gtest_filter='Kernels/*:HistogramOfFewEvents.*' 2>&1 \
  | grep -v "^qemu-x86_64: warning: TCG doesn't support requested feature"
