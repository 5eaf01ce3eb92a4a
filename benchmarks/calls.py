"""Call overhead of the tool methods, and native calls into a tool written in Python."""

import velmo_hal_py as hal
import velmo.sim
import velmo_test_hooks

from harness import Row, paired

GET_PARAM_TARGET = 4.0
SET_PARAM_TARGET = 3.0
PYTHON_TOOL_TARGET = 2.0


class PythonTool(hal.CameraTool):
    """A tool written in Python the way a user writes one: every answer is a new record."""

    def __init__(self):
        super().__init__("")

    def getToolInfo(self):
        info = hal.ToolInfo()
        info.tool_type = hal.ToolType.TRIGGER_IN
        info.description = "Trigger input written in Python"
        info.parameter_names = ["enable"]
        return info

    def getAllParamInfo(self):
        return {}

    def getParamInfo(self, name, record):
        return False


def repeat_call(method, *args):
    """A loop making `count` calls of method(*args), with the arguments spelled out as a user
    would write them rather than unpacked on every call."""
    if not args:

        def run(count):
            for _ in range(count):
                method()

    elif len(args) == 1:
        (first,) = args

        def run(count):
            for _ in range(count):
                method(first)

    else:
        first, second = args

        def run(count):
            for _ in range(count):
                method(first, second)

    return run


def tool_method_rows(repetitions: int) -> list[Row]:
    camera = velmo.sim.open_camera()
    roi = camera.tool(hal.ROI)
    floor = velmo_test_hooks.NoOpTool()
    get_floor = repeat_call(floor.get_param, "x")
    set_floor = repeat_call(floor.set_param, "x", 100)
    cases = [
        ("get_param INT (Imx636ROI 'x')", repeat_call(roi.get_param, "x"), get_floor, GET_PARAM_TARGET),
        ("get_param BOOL (Imx636ROI 'enable')", repeat_call(roi.get_param, "enable"), get_floor, GET_PARAM_TARGET),
        ("get_param ENUM (Imx636ROI 'mode')", repeat_call(roi.get_param, "mode"), get_floor, GET_PARAM_TARGET),
        ("set_param INT (Imx636ROI 'x', 100)", repeat_call(roi.set_param, "x", 100), set_floor, SET_PARAM_TARGET),
        ("get_param_info INT (Imx636ROI 'x')", repeat_call(roi.get_param_info, "x"), get_floor, None),
    ]
    rows = []
    for name, subject, floor_run, target in cases:
        floor_name = "NoOpTool." + ("set_param" if floor_run is set_floor else "get_param")
        subject_cost, floor_cost, ratio = paired(subject, floor_run, repetitions=repetitions)
        rows.append(Row("calls", name, subject_cost, floor_cost, "call", ratio, target, floor_name))
    return rows


def python_tool_rows(repetitions: int) -> list[Row]:
    tool = PythonTool()

    def native(count):
        velmo_test_hooks.call_tool_info(tool, count)

    subject_cost, floor_cost, ratio = paired(native, repeat_call(tool.getToolInfo), repetitions=repetitions)
    return [
        Row(
            "python tool",
            "getToolInfo called natively",
            subject_cost,
            floor_cost,
            "call",
            ratio,
            PYTHON_TOOL_TARGET,
            "same method from Python",
        )
    ]


def rows(repetitions: int) -> list[Row]:
    return tool_method_rows(repetitions) + python_tool_rows(repetitions)
