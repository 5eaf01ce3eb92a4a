#!/usr/bin/env bash
# Runs the C++ tests (the build of make test-cpp, in build/cpp) under valgrind memcheck. Passes
# only when valgrind finds no memory error and no definitely lost block; blocks that are still
# reachable at exit (function-local statics such as the loggers) are not leaks.
set -euo pipefail
cd "$(dirname "$0")/.."

tests=build/cpp/tests/cpp/velmo_cpp_tests

if ! command -v valgrind >/dev/null; then
  apt-get update -qq
  apt-get install -y -qq valgrind
fi

# The same configuration as make test-cpp, so both check the same binary.
make -s --no-print-directory build/cpp/build.ninja
.venv/bin/cmake --build build/cpp --target velmo_cpp_tests

# --error-exitcode makes any error, and with --errors-for-leak-kinds any definite leak, fail
# the run; GoogleTest's own exit status still reports failed tests. The fork test is left out:
# its child ends with _exit, holding the memory of a parent thread it does not have, which
# valgrind's leak check in the child counts as lost and fails the child.
valgrind --tool=memcheck --error-exitcode=97 --leak-check=full --errors-for-leak-kinds=definite \
  --show-leak-kinds=definite --track-origins=yes --num-callers=40 "$tests" --gtest_brief=1 \
  --gtest_filter='-Fork.*' "$@"
