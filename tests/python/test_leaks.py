"""Each family of calls, repeated many times, leaves the process's memory and the reference
counts of the objects it used where they were.

VELMO_STRESS_REPEAT sets the repetitions (default 100000); scripts/check-asan.sh lowers it,
since there the leak checker looks at every allocation. Under AddressSanitizer the resident
size says nothing about leaks (freed memory is held back in quarantine on purpose), so only
the reference counts are compared there.
"""

import ctypes
import gc
import itertools
import logging
import os
import sys

import numpy as np
import pytest

import velmo.testing
from extras import sanitizer_loaded
from velmo_hal_py import (
    BasicParameterInfo,
    BoolParameterInfo,
    CameraTool,
    EnumParameterInfo,
    FloatParameterInfo,
    IntParameterInfo,
    RawEventStreamFormat,
    ToolInfo,
    ToolParameterType,
    ToolType,
)

pytestmark = pytest.mark.stress

REPEAT = int(os.environ.get("VELMO_STRESS_REPEAT", "100000"))
# Long enough for the resident size to settle after what the tests before left in the heap: with
# 2,000 steps, the same loop grew by up to 4 MB after some sets of earlier tests and by nothing
# after others.
WARM_UP = min(REPEAT, 20000)
# A leak of even one small object per call adds several megabytes over a hundred thousand
# calls; what remains below this is the allocators' own slack.
GROWTH_BOUND = 1 << 20


SANITIZED = sanitizer_loaded()
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
T = ToolParameterType

log = logging.getLogger(__name__)


LIBC = ctypes.CDLL(None)


def resident_bytes():
    """The resident size once the allocator has given its free pages back: what freed blocks
    still occupy, scattered among live ones after earlier tests, is not counted as growth."""
    gc.collect()
    LIBC.malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_SIZE


def assert_steady(step, *objects):
    """Runs step(i) for i in range(REPEAT) after a warm-up; neither the resident size nor the
    reference count of any of objects may change across the run."""
    for i in range(WARM_UP):
        step(i)
    gc.collect()
    references = [sys.getrefcount(item) for item in objects]
    before = resident_bytes()
    for i in range(REPEAT):
        step(i)
    gc.collect()
    growth = resident_bytes() - before
    log.info("%s: %d repetitions, resident size grew by %d bytes", step.__qualname__, REPEAT, growth)
    assert [sys.getrefcount(item) for item in objects] == references
    if not SANITIZED:
        assert growth < GROWTH_BOUND, f"resident size grew by {growth} bytes over {REPEAT} repetitions"


def refused(operation, error_type, message):
    """Calls operation, which must raise error_type with a message starting with message.
    Lighter than pytest.raises, which matters at a hundred thousand calls."""
    try:
        operation()
    except error_type as error:
        assert str(error).startswith(message), error
    else:
        raise AssertionError(f"{operation} did not raise {error_type.__name__}")


def basic(name, kind, description=""):
    record = BasicParameterInfo()
    record.name, record.description, record.type = name, description, kind
    return record


def test_records_created_printed_and_copied():
    names = ["enable", "threshold", "type"]
    options = ["TRAIL", "STC_CUT_TRAIL", "STC_KEEP_TRAIL"]
    registry_records = {
        "gain": (T.INT, IntParameterInfo()),
        "ratio": (T.FLOAT, FloatParameterInfo()),
        "on": (T.BOOL, BoolParameterInfo()),
        "mode": (T.ENUM, EnumParameterInfo()),
    }
    registry_records["mode"][1].options = options
    registry = velmo.testing.make_registry_tool(
        [(basic(name, kind), record) for name, (kind, record) in registry_records.items()]
    )

    def step(i):
        info = ToolInfo()
        info.tool_type, info.parameter_names, info.description = ToolType.EVENT_TRAIL_FILTER, names, "trail"
        assert str(info).endswith("enable threshold type ")
        assert info.parameter_names == names
        assert str(basic("gain", T.INT, "a gain")) == "Name: gain Description: a gain Type: INT"
        integer = IntParameterInfo()
        integer.min, integer.max, integer.default_value, integer.unit = -i, i, 0, "us"
        assert str(integer) == f"Min: {-i} Max: {i} Default: 0 Unit: us"
        assert integer.constraint_value(i + 1) == i
        floating = FloatParameterInfo()
        floating.min, floating.max, floating.unit = -1.5, 2.5, "V"
        assert floating.constraint_value(9.0) == 2.5
        assert str(floating) == "Min: -1.500000 Max: 2.500000 Default: 0.000000 Unit: V"
        boolean = BoolParameterInfo()
        boolean.default_value = bool(i & 1)
        assert str(boolean) == f"Default: {i & 1}"
        choice = EnumParameterInfo()
        choice.options, choice.default_value = options, options[i % 3]
        assert str(choice) == f"Options: 3 Default: {options[i % 3]}"
        assert choice.options == options
        for name in registry_records:
            assert registry.get_param_info(name)[0] is True
        assert list(registry.get_all_param_info()) == ["gain", "mode", "on", "ratio"]
        assert registry.get_tool_info().parameter_names == ["gain", "mode", "on", "ratio"]

    assert_steady(step, registry, names, options, *registry_records.values())


def camera_parameters(camera):
    """Every (tool, name, type, current value) of the camera's six tools."""
    found = []
    for tool in camera.tools():
        for name, record in tool.get_all_param_info().items():
            ok, value = tool.get_param(name)
            assert ok
            found.append((tool, name, record.type, value))
    return found


def refused_value(tool, name, kind):
    """A value of the parameter's own kind that the tool refuses, logging one line."""
    if kind == T.INT:
        return tool.get_param_info(name)[1].max + 1
    if kind == T.FLOAT:
        return float("nan")
    if kind == T.BOOL:
        return 2
    return "no such option"


@pytest.mark.parametrize("operation", ["get_param", "get_param_info", "get_all_param_info", "set_param"])
def test_tool_calls_on_every_tool(capfd, camera, operation):
    parameters = camera_parameters(camera)
    assert len({id(tool) for tool, *_ in parameters}) == 6
    refused_values = {(id(tool), name): refused_value(tool, name, kind) for tool, name, kind, _ in parameters}
    refused_writes = 0

    def step(i):
        nonlocal refused_writes
        tool, name, kind, value = parameters[i % len(parameters)]
        if operation == "get_param":
            assert tool.get_param(name) == (True, value)
        elif operation == "get_param_info":
            assert tool.get_param_info(name)[0] is True
        elif operation == "get_all_param_info":
            assert name in tool.get_all_param_info()
        elif (i // len(parameters)) % 2:
            refused_writes += 1
            assert tool.set_param(name, refused_values[(id(tool), name)]) is False
        else:
            assert tool.set_param(name, value) is True

    assert_steady(step, camera, *(tool for tool, *_ in parameters))
    log_lines = capfd.readouterr().err.splitlines()
    assert len(log_lines) == refused_writes
    assert all(line.startswith("[WARNING] setParam(") for line in log_lines)
    assert camera_parameters(camera) == parameters


class PythonTool(CameraTool):
    def __init__(self, failure=None):
        super().__init__("py.")
        self.failure = failure

    def answer(self, value):
        # A new exception every time: raising one instance again would lengthen its traceback.
        if self.failure is not None:
            raise self.failure("refused from Python")
        return value

    def getToolInfo(self):
        info = ToolInfo()
        info.description, info.parameter_names = "python tool", ["gain"]
        return self.answer(info)

    def getAllParamInfo(self):
        return self.answer({"gain": basic("gain", T.INT)})

    def getParamInfo(self, name, info):
        if isinstance(info, (IntParameterInfo, FloatParameterInfo)):
            info.min, info.max, info.unit = 1, 9, "ms"
        return self.answer(name == "gain")


@pytest.mark.parametrize("failure", [None, ValueError], ids=["answers", "raises"])
def test_python_tool_called_natively(failure):
    tool = PythonTool(failure)
    holder = velmo.testing.NativeHolder(tool)
    records = [IntParameterInfo(), FloatParameterInfo(), BoolParameterInfo(), EnumParameterInfo()]

    def call(operation):
        if failure is None:
            return operation()
        refused(operation, ValueError, "refused from Python")

    def step(i):
        record = records[i % 4]
        info = call(holder.tool_info)
        table = call(holder.all_param_info)
        answer = call(lambda: holder.param_info("gain", record))
        if failure is None:
            assert info.parameter_names == ["gain"]
            assert list(table) == ["gain"]
            assert answer[0] is True

    assert_steady(step, tool, holder, failure, *records)
    assert holder.use_count() == 2


def test_event_arrays_made_and_dropped(camera):
    def step(i):
        made = velmo.testing.make_events(64, seed=i)
        read = camera.read_events(64)
        assert len(read) == 64
        assert velmo.testing.sum_events(made)[0] == int(made["x"].sum(dtype=np.uint64))
        assert velmo.testing.read_event(read[i % 64])[3] == int(read["timestamp"][i % 64])
        event = velmo.testing.make_event(i & 0xFFFF, 2, 1, i)
        assert event.t == i

    assert_steady(step, camera)


MALFORMED_FORMATS = [
    "",
    ";width=1",
    "EVT3;",
    "EVT3;=5",
    "EVT3;a=1;a=2",
    "EVT3;width=0",
    "EVT3;width=65536",
    "EVT3;height=1e3",
    b"EVT3;width=\xff",
    b"\x00;height=-1",
]


def test_malformed_format_texts_refused():
    valid = RawEventStreamFormat("EVT3;height=720;width=1280")

    def step(i):
        text = MALFORMED_FORMATS[i % len(MALFORMED_FORMATS)]
        refused(lambda: RawEventStreamFormat(text), ValueError, "invalid raw event stream format")
        refused(lambda: valid["depth"], IndexError, 'raw event stream format has no option "depth"')
        assert valid["width"] == "1280"

    assert_steady(step, valid, *MALFORMED_FORMATS)


def test_refused_arguments(event):
    tool = velmo.testing.make_tool(ToolType.ROI)
    integer = IntParameterInfo()
    refusals = [
        lambda: setattr(integer, "min", 2**31),
        lambda: setattr(integer, "unit", None),
        lambda: setattr(event, "x", 65536),
        lambda: tool.set_param("x", [1]),
        lambda: tool.get_param(5),
        lambda: velmo.testing.make_event(-1, 0, 0, 0),
    ]

    def step(i):
        refused(refusals[i % len(refusals)], TypeError, "")

    assert_steady(step, tool, integer, event)
    assert (integer.min, integer.unit, event.x) == (0, "", 1)


def test_steadiness_check_sees_a_reference_kept():
    event = velmo.testing.make_event(1, 2, 1, 3)
    kept = []
    calls = itertools.count()
    with pytest.raises(AssertionError):
        assert_steady(lambda i: kept.append(event) if next(calls) == WARM_UP else None, event)
