import gc
import itertools
import re

import pytest

import velmo.testing
from velmo_hal_py import (
    BasicParameterInfo,
    BoolParameterInfo,
    CameraTool,
    EnumParameterInfo,
    FloatParameterInfo,
    IntParameterInfo,
    ToolInfo,
    ToolParameterType,
    ToolType,
)
from velmo.testing import NativeHolder

RECORD_CLASSES = [IntParameterInfo, FloatParameterInfo, BoolParameterInfo, EnumParameterInfo]


def pure_virtual(operation):
    return pytest.raises(RuntimeError, match=rf'^Tried to call pure virtual function "velmo::CameraTool::{operation}"$')


def cast_failure(operation, wanted, got):
    message = f'Unable to cast the result of the Python override "{operation}" to {wanted}: got {got}'
    return pytest.raises(RuntimeError, match=f"^{re.escape(message)}$")


def tool_info(description="python tool", names=("gain",)):
    info = ToolInfo()
    info.tool_type = ToolType.TRIGGER_IN
    info.description = description
    info.parameter_names = list(names)
    return info


def basic(name, kind):
    record = BasicParameterInfo()
    record.name = name
    record.type = kind
    return record


class PythonTool(CameraTool):
    """Answers the native operations from Python; getParamInfo fills every record it is given."""

    def __init__(self, answer=True):
        super().__init__("py.")
        self.answer = answer
        self.received = []

    def getToolInfo(self):
        return tool_info()

    def getAllParamInfo(self):
        return {"gain": basic("gain", ToolParameterType.INT)}

    def getParamInfo(self, name, info):
        self.received.append((name, type(info), str(info)))
        if isinstance(info, (IntParameterInfo, FloatParameterInfo)):
            info.min, info.max, info.unit = 1, 9, "ms"
        elif isinstance(info, BoolParameterInfo):
            info.default_value = True
        else:
            info.options, info.default_value = ["a", "b"], "b"
        return self.answer


class TestPureVirtual:
    def test_direct_camera_tool(self):
        tool = CameraTool("any")
        with pure_virtual("getToolInfo"):
            tool.get_tool_info()
        with pure_virtual("getAllParamInfo"):
            tool.get_all_param_info()
        with pure_virtual("getAllParamInfo"):
            tool.get_param("x")
        with pure_virtual("getAllParamInfo"):
            tool.get_param_info("x")

    @pytest.mark.parametrize("cls", RECORD_CLASSES)
    def test_each_param_info_overload_reports_the_same_operation(self, cls):
        with pure_virtual("getParamInfo"):
            NativeHolder(CameraTool("")).param_info("x", cls())

    def test_python_names_only_shadow_python_callers(self):
        class Shadowing(CameraTool):
            def get_tool_info(self):
                return "shadowed"

        tool = Shadowing("")
        assert tool.get_tool_info() == "shadowed"
        with pure_virtual("getToolInfo"):
            NativeHolder(tool).tool_info()

    def test_non_callable_override(self):
        class NotCallable(CameraTool):
            getToolInfo = 5

        with pytest.raises(TypeError, match=r"^Object of type 'int' is not an instance of 'function'$"):
            NotCallable("").get_tool_info()


class TestOverrides:
    def test_tool_info_and_table_reach_native_callers_as_copies(self):
        tool = PythonTool()
        holder = NativeHolder(tool)
        for info in (tool.get_tool_info(), holder.tool_info()):
            assert str(info) == str(tool_info())
        first, second = tool.get_tool_info(), tool.get_tool_info()
        first.description = "changed"
        assert second.description == "python tool"
        table = holder.all_param_info()
        assert list(table) == ["gain"] and table["gain"].type == ToolParameterType.INT

    @pytest.mark.parametrize(
        "cls, default",
        [(IntParameterInfo, 7), (FloatParameterInfo, 7.5), (BoolParameterInfo, True), (EnumParameterInfo, "caller")],
    )
    def test_param_info_receives_a_copy_of_the_callers_record(self, cls, default):
        tool = PythonTool(answer=False)
        record = cls()
        record.default_value = default
        ok, after = NativeHolder(tool).param_info("gain", record)
        assert tool.received == [("gain", cls, str(record))]
        assert (ok, str(after)) == (False, str(record))

    @pytest.mark.parametrize("cls", RECORD_CLASSES)
    def test_true_answer_copies_the_filled_record_back(self, cls):
        tool = PythonTool()
        expected = cls()
        tool.getParamInfo("gain", expected)
        ok, after = NativeHolder(tool).param_info("gain", cls())
        assert ok is True
        assert str(after) == str(expected)

    def test_record_kept_by_the_override_stays_detached(self):
        kept = []

        class Keeper(PythonTool):
            def getParamInfo(self, name, info):
                kept.append(info)
                info.min = 3
                return True

        ok, record = Keeper().get_param_info("gain")
        kept[0].min = 99
        assert (ok, record.min) == (True, 3)

    def test_get_param_info_returns_the_overrides_values(self):
        ok, record = PythonTool().get_param_info("gain")
        assert (ok, record.min, record.max, record.unit) == (True, 1, 9, "ms")
        ok, record = PythonTool(answer=False).get_param_info("gain")
        assert (ok, record.min, record.max, record.unit) == (False, 0, 0, "")

    @pytest.mark.parametrize("answer, ok", [(None, False), (1, True), (0.0, False), (2.5, True), (False, False)])
    def test_answer_truth_value(self, answer, ok):
        assert PythonTool(answer=answer).get_param_info("gain")[0] is ok

    @pytest.mark.parametrize("answer, got", [([True], "list"), ("yes", "str"), (b"", "bytes")])
    def test_answer_without_numeric_truth(self, answer, got):
        tool = PythonTool(answer=answer)
        with cast_failure("getParamInfo", "bool", got):
            tool.get_param_info("gain")
        with cast_failure("getParamInfo", "bool", got):
            NativeHolder(tool).param_info("gain", BoolParameterInfo())

    @pytest.mark.parametrize(
        "result, got", [(None, "NoneType"), (BasicParameterInfo(), "BasicParameterInfo"), ("info", "str"), (7, "int")]
    )
    @pytest.mark.parametrize("call", [CameraTool.get_tool_info, lambda tool: NativeHolder(tool).tool_info()])
    def test_tool_info_that_does_not_convert(self, result, got, call):
        tool = PythonTool()
        tool.getToolInfo = lambda: result
        with cast_failure("getToolInfo", "ToolInfo", got):
            call(tool)

    @pytest.mark.parametrize(
        "result, got",
        [
            (None, "NoneType"),
            ([("gain", basic("gain", ToolParameterType.INT))], "list"),
            ({1: basic("gain", ToolParameterType.INT)}, "dict with a key of type int"),
            ({"gain": IntParameterInfo()}, "dict with a value of type IntParameterInfo"),
            ({"gain": None}, "dict with a value of type NoneType"),
            ({b"gain": basic("gain", ToolParameterType.INT), "bias": None}, "dict with a value of type NoneType"),
        ],
    )
    @pytest.mark.parametrize(
        "call",
        [CameraTool.get_all_param_info, lambda tool: tool.get_param("gain"), lambda tool: NativeHolder(tool).all_param_info()],
    )
    def test_table_that_does_not_convert(self, result, got, call):
        tool = PythonTool()
        tool.getAllParamInfo = lambda: result
        with cast_failure("getAllParamInfo", "dict[str, BasicParameterInfo]", got):
            call(tool)

    def test_exceptions_keep_their_python_type(self):
        class Failing(PythonTool):
            def getAllParamInfo(self):
                raise KeyError("table")

            def getParamInfo(self, name, info):
                raise ZeroDivisionError(name)

        tool = Failing()
        with pytest.raises(KeyError, match="table"):
            tool.get_param("gain")
        with pytest.raises(KeyError, match="table"):
            NativeHolder(tool).all_param_info()
        with pytest.raises(ZeroDivisionError, match="gain"):
            NativeHolder(tool).param_info("gain", IntParameterInfo())

    def test_values_stay_with_the_device_library(self, capfd):
        class BoolTool(PythonTool):
            def getAllParamInfo(self):
                return {"on": basic("on", ToolParameterType.BOOL)}

            def getParam(self, name, value):
                raise AssertionError("getParam is not overridable")

        assert BoolTool().get_param("on") == (False, False)
        assert "getParam(bool) is not supported" in capfd.readouterr().err


class TestNativeHolder:
    def test_native_owner_outlives_the_python_object(self):
        tool = PythonTool()
        holder = NativeHolder(tool)
        assert holder.use_count() == 2
        assert holder.tool_info().description == "python tool"
        del tool
        gc.collect()
        assert holder.use_count() == 1
        with pure_virtual("getToolInfo"):
            holder.tool_info()
        with pure_virtual("getParamInfo"):
            holder.param_info("gain", IntParameterInfo())

    def test_keeps_native_tools_alive(self):
        holder = NativeHolder(velmo.testing.make_tool(ToolType.ROI))
        gc.collect()
        assert holder.use_count() == 1
        assert holder.tool_info().tool_type == ToolType.ROI

    def test_refuses_what_is_no_tool(self):
        with pytest.raises(TypeError):
            NativeHolder(None)
        with pytest.raises(TypeError):
            NativeHolder(PythonTool()).param_info("gain", BasicParameterInfo())

    @pytest.mark.parametrize("threads, calls", [(1, 1), (4, 50), (8, 0), (0, 10)])
    def test_native_threads_call_a_python_tool(self, threads, calls):
        tool = PythonTool()
        assert NativeHolder(tool).call_from_threads(threads, calls) == threads * calls

    def test_failing_calls_on_threads_are_counted_out(self):
        counter = itertools.count()

        class EveryOtherFails(PythonTool):
            def getToolInfo(self):
                if next(counter) % 2:
                    raise ValueError("odd call")
                return tool_info()

        tool = EveryOtherFails()
        assert NativeHolder(tool).call_from_threads(4, 25) == 50
        assert NativeHolder(CameraTool("")).call_from_threads(3, 5) == 0
        assert NativeHolder(velmo.testing.make_tool(ToolType.BIAS)).call_from_threads(3, 5) == 15

    def test_every_thread_reports_the_pure_virtual_error(self):
        tool = PythonTool()
        outlived = NativeHolder(tool)
        del tool
        gc.collect()
        message = 'Tried to call pure virtual function "velmo::CameraTool::getToolInfo"'
        for holder in (NativeHolder(CameraTool("")), outlived):
            assert holder.failures_on_threads(8, 20) == [{message: 20}] * 8

    def test_failures_on_threads_name_each_error(self):
        class Failing(PythonTool):
            def getToolInfo(self):
                raise ValueError("no sensor")

        failing, answering = Failing(), PythonTool()
        failures = NativeHolder(failing).failures_on_threads(3, 4)
        # A Python error's message goes on with the traceback.
        assert [{message.partition("\n")[0]: count for message, count in table.items()} for table in failures] == [
            {"ValueError: no sensor": 4}
        ] * 3
        assert NativeHolder(answering).failures_on_threads(2, 10) == [{}, {}]

    @pytest.mark.parametrize("threads, calls", [(-1, 1), (1, -1), (10_000, 1), (1, 10**8)])
    def test_thread_counts_are_checked(self, threads, calls):
        with pytest.raises(ValueError):
            NativeHolder(PythonTool()).call_from_threads(threads, calls)
