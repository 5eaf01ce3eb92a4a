#!/usr/bin/env bash
# Installs the aarch64 wheel of dist/ (scripts/build-wheels.sh) with pip into a new virtual
# environment of the Debian arm64 tree's own CPython 3.13, in a temporary folder outside the
# repository, and runs the Python tests there under qemu-aarch64: what a user on the board does.
#
# Extra arguments go to pytest. VELMO_KEEP_WHEEL_TEST=1 keeps the temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."

wheels=(dist/*-manylinux_*_aarch64.whl)
[ -f "${wheels[0]}" ] || { echo "no aarch64 wheel in dist/: run make wheels" >&2; exit 1; }
wheel=$PWD/${wheels[0]}
tree=$(scripts/arm64-tree.sh)
work=$(mktemp -d "${TMPDIR:-/tmp}/velmo-arm64.XXXXXX")
if [ "${VELMO_KEEP_WHEEL_TEST:-0}" = 1 ]; then
  echo "keeping $work"
else
  trap 'rm -rf "$work"' EXIT
fi
host_python=$(scripts/find-python313.sh)
venv_python() { qemu-aarch64 -L "$tree" "$work/venv/bin/python" "$@"; }
site=$work/venv/lib/python3.13/site-packages
# Byte code is the same on every architecture, and compiling it under emulation takes minutes.
compile_site() { "$host_python" -m compileall -q -j 0 "$site" >/dev/null; }

echo "== Installing $(basename "$wheel") into a new arm64 environment in $work"
cp "$wheel" "$work/"
wheel=$work/$(basename "$wheel")
# Without binfmt registration qemu-user cannot start an aarch64 child process, and venv's
# ensurepip runs in one: pip is unpacked instead from the wheel that CPython bundles.
qemu-aarch64 -L "$tree" "$tree/usr/bin/python3.13" -m venv --without-pip "$work/venv"
"$host_python" - "$site" <<'EOF_PY'
import ensurepip
import pathlib
import sys
import zipfile

bundled = pathlib.Path(ensurepip.__file__).parent / "_bundled"
zipfile.ZipFile(next(bundled.glob("pip-*.whl"))).extractall(sys.argv[1])
EOF_PY
compile_site
# mypy is left out: the tests that use it start a child interpreter, and the stubs they check
# are the x86_64 wheel's, checked by make test-wheel.
venv_python -m pip install --quiet --disable-pip-version-check --no-compile \
  --constraint requirements-dev.txt "$wheel" pytest hypothesis
compile_site

# The tests' own module is never in a wheel: it is cross-built here from the same sources. It
# links the device libraries by their names, so the loader gives it the wheel's copies, which
# the modules imported before it have loaded.
hooks_build=build/arm64-hooks
.venv/bin/cmake -S . -B "$hooks_build" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DVELMO_ARM64_TREE="$tree" \
  -DCMAKE_BUILD_TYPE=Release -DVELMO_WERROR=ON -DVELMO_BUILD_PYTHON=OFF -DVELMO_BUILD_TEST_HOOKS=ON \
  -Dpybind11_DIR="$(.venv/bin/python -m pybind11 --cmakedir)" >/dev/null
.venv/bin/cmake --build "$hooks_build" --target velmo_test_hooks
mkdir -p "$work/hooks"
cp "$hooks_build"/tests/hooks/velmo_test_hooks.*.so "$work/hooks/"
export VELMO_TEST_HOOKS=$work/hooks

scripts/stage-tests.sh "$work/project"
cd "$work/project"
unset PYTHONPATH

# Emulation runs some twenty times slower: the stress tests repeat each call family a few
# thousand times here (as under the sanitizers) and each property sees 50 examples, enough to
# reach every path on this target; their full counts run natively. The tests that start a child
# interpreter cannot run here (qemu-user has no binfmt registration to start one): the mypy runs,
# the run of the installed velmo script, the stream's Ctrl-C, exit, fork and recording-race
# children, the log delivery's children, and the crash and hang reproducers, which run natively
# and under the sanitizers.
VELMO_STRESS_REPEAT=${VELMO_STRESS_REPEAT:-3000} VELMO_HYPOTHESIS_EXAMPLES=${VELMO_HYPOTHESIS_EXAMPLES:-50} \
  PYTHONDONTWRITEBYTECODE=1 venv_python -m pytest -p no:cacheprovider \
  --deselect tests/python/test_typing.py::test_examples_and_api_check_pass_mypy_strict \
  --deselect tests/python/test_stubs.py::test_stubs_pass_mypy_strict_and_stubtest \
  --deselect tests/python/test_recording.py::test_console_script_is_installed \
  --deselect tests/python/test_stream.py::test_ctrl_c_while_waiting_for_a_slice_closes_the_stream \
  --deselect tests/python/test_stream.py::test_streams_left_open_at_exit_end_cleanly \
  --deselect tests/python/test_stream.py::test_a_recording_stream_closed_or_shared_by_threads_leaves_every_delivered_slice_in_order \
  --deselect tests/python/test_stream.py::test_a_forked_child_closes_its_copy_of_a_stream_without_waiting_for_the_parent \
  --deselect tests/python/test_logging.py::test_a_flooding_thread_neither_starves_the_main_thread_nor_grows_memory_nor_hangs_exit \
  --deselect tests/python/test_logging.py::test_switching_the_routing_on_daemon_threads_as_the_script_ends \
  --deselect tests/python/test_logging.py::test_an_interrupt_or_exit_raised_in_a_handler_reaches_the_main_thread \
  --deselect tests/python/test_logging.py::test_a_forked_child_delivers_its_own_lines_and_ends \
  --ignore tests/python/test_hostile_use.py "$@"
