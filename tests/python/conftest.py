"""Fixtures, the test-only module's folder on sys.path, and the build over the maker's libraries.

velmo_test_hooks is built into a build tree and never installed: VELMO_TEST_HOOKS names its
folder, by default the one in the C++ test build that `make test` makes.

VELMO_WITHOUT_SIMULATOR=1 runs the suite against modules built over an installed device
library, which has no simulated camera: velmo.sim, velmo.testing and velmo_test_hooks are then
made unimportable, so nothing of the stand-in can slip in from elsewhere on sys.path, and the
test files that need them are left out and named in the header.

VELMO_LEAK_CHECK_AT_SESSION_END=1 (set by scripts/check-asan.sh) runs the leak checker once the
last test has finished instead of at exit, see pytest_sessionfinish; VELMO_SESSION_STATUS_FILE
names a file that gets the tests' exit status before the leak checker runs.
"""

import ast
import os
import sys
from pathlib import Path

import numpy as np
import pytest

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
HOOKS = Path(os.environ.get("VELMO_TEST_HOOKS") or REPO / "build" / "cpp" / "tests" / "hooks")
sys.path.append(str(HOOKS))

WITHOUT_SIMULATOR = os.environ.get("VELMO_WITHOUT_SIMULATOR") == "1"
STAND_IN_MODULES = {"velmo.sim", "velmo.testing", "velmo_test_hooks"}
# They run the documentation's sessions, the gallery and a type check of code that uses velmo.sim.
USE_THE_STAND_IN_INDIRECTLY = {"test_docs.py", "test_tools_gallery.py", "test_typing.py"}


def imported_modules(path):
    names = set()
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            names.update(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            names.add(node.module)
    return names


def needs_the_stand_in(path):
    return path.name in USE_THE_STAND_IN_INDIRECTLY or bool(imported_modules(path) & STAND_IN_MODULES)


collect_ignore = []
if WITHOUT_SIMULATOR:
    for name in STAND_IN_MODULES:
        sys.modules[name] = None  # type: ignore[assignment]
    collect_ignore = sorted(path.name for path in HERE.glob("test_*.py") if needs_the_stand_in(path))


# The child interpreters that tests start inherit leak_check_at_exit=0 and check nothing at
# their exit: there the leak checker's tracer faults on some of them every time (`python -m velmo
# info` on a missing file, for one), reading a thread's dynamic TLS.
LEAK_CHECK_AT_SESSION_END = os.environ.get("VELMO_LEAK_CHECK_AT_SESSION_END") == "1"


def pytest_sessionfinish(session):
    """Checks for leaks while every thread a test left behind still waits where it stopped.

    At exit, the interpreter ends its daemon threads by unwinding them as they wake, and the
    leak checker that runs after it may then stop the world while such a thread is half torn
    down and fault reading its thread-local storage, which ends the run without a verdict. The
    tests' own status is written first, so that such a fault is told apart from a failure.
    """
    if not LEAK_CHECK_AT_SESSION_END:
        return
    import ctypes

    status_file = os.environ.get("VELMO_SESSION_STATUS_FILE")
    if status_file:
        Path(status_file).write_text(str(int(session.exitstatus)))

    if ctypes.CDLL(None).__lsan_do_recoverable_leak_check() != 0:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_report_header():
    if WITHOUT_SIMULATOR:
        return f"without the simulated camera; left out: {', '.join(collect_ignore)}"
    return None


@pytest.fixture
def camera():
    """A freshly opened simulated camera: its stream starts at the beginning, its tools at their defaults."""
    import velmo.sim

    return velmo.sim.open_camera()


@pytest.fixture
def event():
    """An Event2D made by native code, the only way Python obtains one."""
    import velmo.testing

    return velmo.testing.make_event(1, 2, 1, 3)


@pytest.fixture
def events():
    """A contiguous array of pseudo-random events, made natively."""
    import velmo.testing

    return velmo.testing.make_events(1000, seed=7)


@pytest.fixture
def event_bytes():
    """Returns an Event2D array of n items over a buffer filled with one marker byte, and the buffer."""
    import velmo.sim

    def make(n, marker=0xA5):
        buffer = bytearray([marker]) * (16 * n)
        import velmo.io

        return np.frombuffer(buffer, dtype=velmo.io.event_dtype()), buffer

    return make
