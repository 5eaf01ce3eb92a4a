"""Native threads call a Python-implemented tool while Python threads read and write the
simulated camera's parameters and read its events, all at once. Every call is counted and
checked; a deadlock fails the test through the watchdog instead of hanging the run.

VELMO_STRESS_REPEAT (default 100000) scales the number of calls; scripts/check-asan.sh
lowers it.
"""

import faulthandler
import gc
import itertools
import os
import re
import sys
import threading

import numpy as np
import pytest

import velmo.testing
from velmo_hal_py import BasicParameterInfo, CameraTool, IntParameterInfo, ToolInfo, ToolParameterType, ToolType

pytestmark = pytest.mark.stress

SCALE = int(os.environ.get("VELMO_STRESS_REPEAT", "100000")) / 100000
NATIVE_THREADS = 4
NATIVE_ROUNDS = 4
NATIVE_CALLS = max(int(2500 * SCALE), 20)
PYTHON_CALLS = max(int(20000 * SCALE), 100)
READS = max(int(1000 * SCALE), 10)
EVENTS_PER_READ = 1000
# Far above what the run needs on a loaded two-core machine, far below a CI job's limit.
WATCHDOG_SECONDS = 300
JOIN_SECONDS = 240
REFUSED_X = 5000
REFUSAL_LINE = re.compile(
    rf'^\[WARNING\] setParam\(int\) refused: {REFUSED_X} is outside \[0, 1279\] for parameter "x" \(\S+:\d+\)$'
)


class CameraReadingTool(CameraTool):
    """Answers getToolInfo with the camera's current ROI x, so every native call also goes back
    into the device through Python; every third call raises instead."""

    def __init__(self, roi):
        super().__init__("")
        self.roi = roi
        self.calls = itertools.count(1)
        self.called = threading.Event()

    def getToolInfo(self):
        self.called.set()
        if next(self.calls) % 3 == 0:
            raise RuntimeError("every third call fails")
        info = ToolInfo()
        info.tool_type, info.description = ToolType.ROI, f"x={self.roi.get_param('x')}"
        return info

    def getAllParamInfo(self):
        record = BasicParameterInfo()
        record.name, record.type = "x", ToolParameterType.INT
        return {"x": record}

    def getParamInfo(self, name, info):
        info.min, info.max = 0, 1279
        return True


@pytest.fixture
def watchdog():
    """Ends the whole process with every thread's stack on standard error when the test runs
    past its time: a deadlock that holds the GIL would stop a join timeout from firing."""
    previous_interval = sys.getswitchinterval()
    # Frequent switches make the threads interleave at many more points.
    sys.setswitchinterval(1e-5)
    faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()
    sys.setswitchinterval(previous_interval)


def run_together(workers):
    """Starts every worker at the same moment and waits for all; returns their errors."""
    barrier = threading.Barrier(len(workers))
    errors = []

    def run(work):
        try:
            barrier.wait(timeout=60)
            work()
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=run, args=(work,), name=work.__name__, daemon=True) for work in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_SECONDS)
    stuck = [thread.name for thread in threads if thread.is_alive()]
    assert not stuck, f"threads still running after {JOIN_SECONDS} s: {stuck}"
    return errors


def test_native_and_python_threads_on_one_camera(capfd, camera, watchdog):
    roi = camera.tool(ToolType.ROI)
    erc = camera.tool(ToolType.EVENT_RATE_CONTROL)
    python_tool = CameraReadingTool(roi)
    holder = velmo.testing.NativeHolder(python_tool)
    parameters = [(tool, name) for tool in camera.tools() for name in tool.get_all_param_info()]
    ranges = {}
    for tool, name in parameters:
        record = tool.get_param_info(name)[1]
        if isinstance(record, IntParameterInfo):
            ranges[(id(tool), name)] = (record.min, record.max)
    counts = {name: 0 for name in ("answered", "read_ok", "set_ok", "set_refused", "overrides", "events")}
    timestamps = []

    def native_callers():
        for _ in range(NATIVE_ROUNDS):
            counts["answered"] += holder.call_from_threads(NATIVE_THREADS, NATIVE_CALLS)

    def parameter_reader():
        for i in range(PYTHON_CALLS):
            tool, name = parameters[i % len(parameters)]
            ok, value = tool.get_param(name)
            assert ok, name
            low, high = ranges.get((id(tool), name), (value, value))
            assert low <= value <= high, (name, value)
            counts["read_ok"] += 1

    def parameter_writer():
        for i in range(PYTHON_CALLS):
            if i % 2:
                assert roi.set_param("x", REFUSED_X) is False
                counts["set_refused"] += 1
            else:
                assert roi.set_param("x", i % 1280) is True
                assert erc.set_param("max_event_rate", 10_000 + i) is True
                counts["set_ok"] += 1

    def override_caller():
        for _ in range(PYTHON_CALLS):
            ok, record = python_tool.get_param_info("x")
            assert (ok, record.max) == (True, 1279)
            counts["overrides"] += 1

    def event_reader():
        for _ in range(READS):
            events = camera.read_events(EVENTS_PER_READ)
            assert len(events) == EVENTS_PER_READ
            assert events["x"].max() < 1280 and events["y"].max() < 720
            timestamps.append(events["timestamp"].copy())
            counts["events"] += len(events)

    errors = run_together([native_callers, parameter_reader, parameter_writer, override_caller, event_reader])
    assert not errors, errors

    native_calls = NATIVE_ROUNDS * NATIVE_THREADS * NATIVE_CALLS
    assert next(python_tool.calls) == native_calls + 1
    assert counts == {
        "answered": native_calls - native_calls // 3,
        "read_ok": PYTHON_CALLS,
        "set_ok": (PYTHON_CALLS + 1) // 2,
        "set_refused": PYTHON_CALLS // 2,
        "overrides": PYTHON_CALLS,
        "events": READS * EVENTS_PER_READ,
    }
    stream = np.concatenate(timestamps)
    assert np.all(np.diff(stream.astype(np.int64)) >= 0)
    log_lines = capfd.readouterr().err.splitlines()
    assert len(log_lines) == counts["set_refused"]
    assert all(REFUSAL_LINE.match(line) for line in log_lines), next(
        line for line in log_lines if not REFUSAL_LINE.match(line)
    )
    last_x = (PYTHON_CALLS - 1) // 2 * 2 % 1280
    assert roi.get_param("x") == (True, last_x)
    assert holder.use_count() == 2


def test_python_tool_dropped_while_native_threads_call_it(watchdog):
    """The last Python reference goes away while native threads are calling the tool: calls
    made after that report the missing override instead of reaching freed memory."""
    tool = CameraReadingTool(velmo.testing.make_tool(ToolType.ROI))
    called = tool.called
    holder = velmo.testing.NativeHolder(tool)
    answered = []

    def native_callers():
        answered.append(holder.call_from_threads(NATIVE_THREADS, NATIVE_CALLS))

    def dropper():
        nonlocal tool
        assert called.wait(JOIN_SECONDS)
        tool = None

    errors = run_together([native_callers, dropper])
    assert not errors, errors
    gc.collect()
    assert 0 < answered[0] <= NATIVE_THREADS * NATIVE_CALLS
    assert holder.use_count() == 1
    assert holder.call_from_threads(2, 5) == 0
