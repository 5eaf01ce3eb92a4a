#!/usr/bin/env bash
# Builds the stand-in libraries, the three modules and the C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (any finding aborts the process), then runs the C++ tests and the
# whole Python test suite under them with leak detection on. Passes only with zero reports.
#
# The Python run uses the .venv interpreter with the sanitizer runtime preloaded (the
# interpreter itself is not instrumented) and PYTHONMALLOC=malloc, so that every Python object
# lives in memory the sanitizer watches. Its leak suppressions, each with its reason, are in
# scripts/lsan-python.supp. The stress tests read VELMO_STRESS_REPEAT and repeat
# each call family that many times here instead of their usual hundred thousand, and
# VELMO_SLOWDOWN widens the few wall-clock bounds the tests hold (a Ctrl-C answered within a
# second natively) by the sanitizers' slowdown.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=$PWD/.venv
build=build/asan
site=$PWD/$build/site
suppressions=$PWD/scripts/lsan-python.supp
# Several thousand repetitions still surface any per-call leak to the leak checker, in a
# fraction of the time the full count takes under the sanitizers.
stress_repeat=${VELMO_STRESS_REPEAT:-3000}

# -O1 keeps the reports' stacks close to the source at a fraction of -O3's compile time.
# -UNDEBUG keeps assertions on, pybind11's among them: calls that touch Python's state
# without the GIL (from native threads, say) abort here instead of passing unseen.
"$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g -UNDEBUG" \
  -DVELMO_SANITIZE=ON -DVELMO_WERROR=ON -DVELMO_BUILD_TESTS=ON -DVELMO_BUILD_PYTHON=ON -DVELMO_BUILD_TEST_HOOKS=ON \
  -DPython_EXECUTABLE="$venv/bin/python" -Dpybind11_DIR="$("$venv/bin/python" -m pybind11 --cmakedir)" >/dev/null
"$venv/bin/cmake" --build "$build"
rm -rf "$site"
"$venv/bin/cmake" --install "$build" --prefix "$site" >/dev/null

# Reports go to files: a test that captures standard error would otherwise swallow the report
# of the process it aborts.
reports=$PWD/$build/reports
rm -rf "$reports"
mkdir -p "$reports"
show_reports() {
  if compgen -G "$reports/*" >/dev/null; then
    cat "$reports"/* >&2
    echo "sanitizer reports: $(ls "$reports" | wc -l), see $reports" >&2
    return 1
  fi
  echo "sanitizer reports: 0"
}

# abort_on_error turns a finding into SIGABRT, which no test harness can take for a pass.
asan_options="detect_leaks=1:abort_on_error=1:strict_string_checks=1:check_initialization_order=1"
asan_options+=":detect_stack_use_after_return=1:log_path=$reports/asan"
# AddressSanitizer follows each thread's dynamic TLS by intercepting __tls_get_addr, and the
# leak checker's tracer faults reading what it recorded for some thread of the interpreter
# ("Tracer caught signal 11"), which ends the run without a verdict. Without the interception
# the blocks are still found: the C library allocates them with malloc and holds them from each
# thread's descriptor, which the checker scans with the static TLS.
asan_options+=":intercept_tls_get_addr=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"

echo "== C++ tests under the sanitizers"
status=0
ASAN_OPTIONS="$asan_options" "$venv/bin/ctest" --test-dir "$build" --output-on-failure || status=$?
show_reports || status=1
[ "$status" -eq 0 ] || exit "$status"

echo "== Python tests under the sanitizers"
asan_runtime=$(g++ -print-file-name=libasan.so)
[ -f "$asan_runtime" ] || { echo "no AddressSanitizer runtime at $asan_runtime" >&2; exit 1; }
# The runtime wraps __cxa_throw when it starts; the interpreter does not link the C++ runtime,
# so it is preloaded too, or the first C++ exception would find nothing to forward to.
cxx_runtime=$(readlink -f "$(g++ -print-file-name=libstdc++.so)")

run_python() {
  LD_PRELOAD="$asan_runtime $cxx_runtime" PYTHONMALLOC=malloc PYTHONPATH="$site" PYTHONDONTWRITEBYTECODE=1 \
    ASAN_OPTIONS="$asan_options${extra_asan_options:-}" LSAN_OPTIONS="suppressions=$suppressions:print_suppressions=0${extra_lsan_options:-}" \
    VELMO_STRESS_REPEAT="$stress_repeat" VELMO_SLOWDOWN=20 VELMO_TEST_HOOKS="$PWD/$build/tests/hooks" "$venv/bin/python" "$@"
}

# The modules must come from the sanitized build, not from the .venv's regular install. The
# leak checker stays off for this check alone: with a script read from standard input, its
# scan of the threads' dynamic TLS reads a bogus block of the C library's and faults.
extra_asan_options=:detect_leaks=0 run_python - "$site" <<'PYTHON'
import sys
import velmo_base_py, velmo_hal_py
from velmo import _io, sim, testing
for module in (velmo_hal_py, velmo_base_py, _io, sim, testing):
    if not module.__file__.startswith(sys.argv[1] + "/"):
        sys.exit(f"{module.__name__} was imported from {module.__file__}, not from {sys.argv[1]}")
PYTHON

# The pytest process checks for leaks when its last test ends, not at exit (see
# tests/python/conftest.py's pytest_sessionfinish); the child interpreters it starts, which
# inherit the options, check none: the tracer's fault below hits some of them every time.
status_file=$build/python-tests-status
python_suite() {
  rm -f "$status_file"
  extra_lsan_options=:leak_check_at_exit=0 VELMO_LEAK_CHECK_AT_SESSION_END=1 VELMO_SESSION_STATUS_FILE="$status_file" \
    run_python -m pytest -p no:cacheprovider -q "$@"
}

# The leak checker stops every thread of the process to scan it, and its tracer now and then
# faults reading one thread's dynamic TLS ("Tracer caught signal 11"), which ends the process
# without a verdict on this code. A run whose tests all passed and whose only report is that
# fault is made once more; any finding of the sanitizers, or any failed test, fails the check.
tracer_fault_only() {
  [ "$(cat "$status_file" 2>/dev/null)" = 0 ] && compgen -G "$reports/*" >/dev/null &&
    ! grep -qv -e 'Tracer caught signal' -e 'LeakSanitizer has encountered a fatal error' -e 'HINT: ' \
      -e '^$' "$reports"/*
}

python_suite "$@" || status=$?
if [ "$status" -ne 0 ] && tracer_fault_only; then
  echo "== Every test passed, then the leak checker's tracer faulted:" >&2
  cat "$reports"/* >&2
  echo "== The Python tests under the sanitizers once more" >&2
  rm -f "$reports"/*
  status=0
  python_suite "$@" || status=$?
fi
show_reports || status=1
exit "$status"
