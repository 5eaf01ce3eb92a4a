"""The device library's log lines routed into Python's logging, with native threads about."""

import logging
import re
import threading

import pytest
import velmo_hal_py as hal
import velmo.sim
import velmo.testing
from extras import sanitizer_loaded
from test_hostile_use import run, run_side_by_side


class Clock(hal.CameraTool):
    def __init__(self):
        super().__init__("")

    def getToolInfo(self):
        info = hal.ToolInfo()
        info.description = "clock"
        return info

    def getAllParamInfo(self):
        return {}

    def getParamInfo(self, name, record):
        return False


def test_refused_writes_of_a_writer_thread_reach_logging_while_native_threads_call_a_python_tool(
        camera, caplog, capfd):
    roi = camera.tool(hal.ROI)
    clock = Clock()  # native code finds the Python methods only while the object lives
    holder = velmo.testing.NativeHolder(clock)
    refused_writes = 300

    def writer():
        for value in range(-refused_writes, 0):
            assert roi.set_param("x", value) is False

    velmo.sim.log_to_python()
    try:
        with caplog.at_level(logging.DEBUG, logger="velmo"):
            thread = threading.Thread(target=writer)
            thread.start()
            answered = holder.call_from_threads(4, 2000)
            thread.join()
            velmo.sim.log_to_python()
            records = list(caplog.records)
    finally:
        velmo.sim.log_to_python(False)

    assert answered == 4 * 2000
    velmo_lines = [record for record in records if record.name == "velmo"]
    assert len(velmo_lines) == refused_writes
    assert {record.levelno for record in velmo_lines} == {logging.WARNING}
    assert all("x" in record.getMessage() for record in velmo_lines)
    assert capfd.readouterr().err == ""
    roi.set_param("x", -1)
    assert "[WARNING]" in capfd.readouterr().err


# A thread that does nothing but refused writes: every call logs a line.
FLOOD = """
import io, logging
log = logging.getLogger("velmo")
log.propagate = False
roi = velmo.sim.open_camera().tool(hal.ROI)

def flood():
    while True:
        roi.set_param("x", -1)
"""


@pytest.mark.parametrize("handler", ["logging.NullHandler()", "logging.StreamHandler(io.StringIO())"])
def test_a_flooding_thread_neither_starves_the_main_thread_nor_grows_memory_nor_hangs_exit(handler):
    out = run(FLOOD + f"""
reported = []
class Drops(logging.Handler):
    def emit(self, record):
        found = re.match(r"(\\d+) log lines were dropped", record.getMessage())
        if found:
            reported.append(int(found.group(1)))
log.addHandler({handler})
log.addHandler(Drops())
velmo.sim.log_to_python()
threading.Thread(target=flood, daemon=True).start()
def resident():
    return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
time.sleep(0.2)
before = resident()
started = time.monotonic()
for _ in range(100):
    time.sleep(0.01)
print(time.monotonic() - started, resident() - before)
velmo.sim.log_to_python(False)
print(sum(reported), velmo.sim.dropped_log_lines())
""")
    timing, drops = out.splitlines()
    took, growth = timing.split()
    assert float(took) < 10, "the main thread waited for the flood"
    # The sanitizers keep freed memory in quarantine, so there the flood's churn shows as growth.
    if not sanitizer_loaded():
        assert int(growth) < 50_000_000
    reported, dropped = drops.split()
    assert reported == dropped


# Daemon threads switch the routing back and forth while others log, as the script ends.
SWITCHING_AT_EXIT = FLOOD + """
log.addHandler(logging.FileHandler(os.devnull))
velmo.sim.log_to_python()

def log_now_and_then():
    while True:
        for _ in range(LINES_PER_BURST):
            roi.set_param("x", -1)
        time.sleep(PAUSE_S)

def switch():
    while True:
        velmo.sim.log_to_python(False)
        velmo.sim.log_to_python(True)

for target in [log_now_and_then] * 3 + [switch] * 2:
    threading.Thread(target=target, daemon=True).start()
time.sleep(0.1)
"""


@pytest.mark.parametrize("lines_per_burst, pause_s", [(1, 0), (50, 0.001)])
def test_switching_the_routing_on_daemon_threads_as_the_script_ends(lines_per_burst, pause_s):
    run_side_by_side(f"LINES_PER_BURST, PAUSE_S = {lines_per_burst}, {pause_s}\n" + SWITCHING_AT_EXIT, 20)


def test_a_handler_that_fails_on_one_line_gets_the_others_and_the_failure_is_reported(camera, monkeypatch):
    roi = camera.tool(hal.ROI)
    seen = []
    reported = []

    class FailsOnThird(logging.Handler):
        def emit(self, record):
            seen.append(record.getMessage())
            if len(seen) == 3:
                raise ValueError("handler failed")

    monkeypatch.setattr("sys.unraisablehook", reported.append)
    log = logging.getLogger("velmo")
    handler = FailsOnThird()
    log.addHandler(handler)
    velmo.sim.log_to_python()
    try:
        # Logged on another thread while this one waits, the ten lines queue up together.
        writer = threading.Thread(target=lambda: [roi.set_param("x", value) for value in range(-10, 0)])
        writer.start()
        writer.join()
    finally:
        velmo.sim.log_to_python(False)
        log.removeHandler(handler)

    assert [int(re.search(r"-\d+", line).group()) for line in seen] == list(range(-10, 0))
    assert len(reported) == 1
    assert isinstance(reported[0].exc_value, ValueError)
    assert "-8" in repr(reported[0].object)


@pytest.mark.parametrize("raised, caught", [
    ("KeyboardInterrupt", "KeyboardInterrupt None"),
    ("SystemExit(3)", "SystemExit 3"),
])
def test_an_interrupt_or_exit_raised_in_a_handler_reaches_the_main_thread(raised, caught):
    out = run(FLOOD + f"""
seen = []
class Raises(logging.Handler):
    def emit(self, record):
        seen.append(record.getMessage())
        if len(seen) == 2:
            raise {raised}
log.addHandler(Raises())
velmo.sim.log_to_python()
try:
    for value in range(-5, 0):
        roi.set_param("x", value)
    for _ in range(1000):
        time.sleep(0.01)
    print("never raised")
except BaseException as error:
    print(type(error).__name__, getattr(error, "code", None))
velmo.sim.log_to_python(False)
print(len(seen))
""")
    assert out.splitlines() == [caught, "5"]


def test_a_forked_child_delivers_its_own_lines_and_ends():
    out = run(FLOOD + """
seen = []
class Keep(logging.Handler):
    def emit(self, record):
        seen.append(record.getMessage())
log.addHandler(Keep())
velmo.sim.log_to_python()
threading.Thread(target=flood, daemon=True).start()
time.sleep(0.05)
child = os.fork()
if child == 0:
    seen.clear()
    roi.set_param("y", -7)
    velmo.sim.log_to_python()
    sys.exit(0 if len(seen) == 1 and "-7" in seen[0] else 1)
print(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]))
""")
    assert out == "0\n"
