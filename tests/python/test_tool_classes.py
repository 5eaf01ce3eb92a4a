import pytest

import velmo_hal_py as hal
import velmo.testing
from velmo_hal_py import BasicParameterInfo, CameraTool, CameraToolBasePrivate, IntParameterInfo, ToolParameterType, ToolType

IMX636_CLASSES = {
    ToolType.BIAS: hal.Imx636Biases,
    ToolType.TRIGGER_IN: hal.Imx636TriggerIn,
    ToolType.ANTI_FLICKER: hal.Imx636AntiFlicker,
    ToolType.EVENT_TRAIL_FILTER: hal.Imx636EventTrailFilter,
    ToolType.EVENT_RATE_CONTROL: hal.Imx636EventRateControl,
    ToolType.ROI: hal.Imx636ROI,
}


def registry_tool():
    basic = BasicParameterInfo()
    basic.name = "gain"
    basic.type = ToolParameterType.INT
    return velmo.testing.make_registry_tool([(basic, IntParameterInfo())])


class Recorder(CameraTool):
    """A Python tool; its values go to the device library's default getParam / setParam."""

    def __init__(self):
        super().__init__("")


class TestClassTree:
    @pytest.mark.parametrize("tool_type", list(IMX636_CLASSES))
    def test_native_tools_appear_as_most_derived_class(self, tool_type):
        tool = velmo.testing.make_tool(tool_type)
        assert type(tool) is IMX636_CLASSES[tool_type]
        assert isinstance(tool, CameraTool)
        assert type(tool).__bases__ == (CameraTool,)
        assert tool.get_tool_info().tool_type == tool_type

    @pytest.mark.parametrize("tool_type", [ToolType.APS_CTRL, ToolType(2)])
    def test_no_tool_for_kinds_without_one(self, tool_type):
        with pytest.raises(ValueError):
            velmo.testing.make_tool(tool_type)

    def test_registry_base_is_no_camera_tool(self):
        assert [base.__name__ for base in CameraToolBasePrivate.__bases__] == ["pybind11_object"]
        assert not isinstance(registry_tool(), CameraTool)
        assert not issubclass(CameraToolBasePrivate, CameraTool)

    @pytest.mark.parametrize("cls", [CameraToolBasePrivate, *IMX636_CLASSES.values()])
    def test_classes_without_constructor(self, cls):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            cls("")

    def test_camera_tool_needs_its_prefix(self):
        with pytest.raises(TypeError):
            CameraTool()
        with pytest.raises(TypeError):
            CameraTool(key_prefix="p")
        assert isinstance(CameraTool("p"), CameraTool)

    def test_imx636_classes_add_nothing(self):
        for cls in IMX636_CLASSES.values():
            assert [name for name in vars(cls) if not name.startswith("_")] == []


class TestCameraTools:
    def test_camera_hands_out_its_tools(self, camera):
        tools = camera.tools()
        assert [type(tool) for tool in tools] == list(IMX636_CLASSES.values())
        for tool_type, tool in zip(IMX636_CLASSES, tools):
            assert camera.tool(tool_type) is tool

    def test_same_native_tool_seen_through_both_objects(self, camera):
        first = camera.tool(ToolType.ROI)
        second = camera.tool(ToolType.ROI)
        assert first is second
        assert first.set_param("x", 17) is True
        assert camera.tools()[-1].get_param("x") == (True, 17)


class TestHelpText:
    def test_camera_tool_set_param_overloads(self):
        doc = CameraTool.set_param.__doc__
        signatures = [line for line in doc.splitlines() if "set_param(self" in line]
        assert [line.split(": ", 1)[1] for line in signatures] == [
            f"velmo_hal_py.CameraTool, arg0: str, arg1: {kind}) -> bool" for kind in ("int", "float", "bool", "str")
        ]
        assert "Set the value" not in doc

    def test_registry_base_set_param(self):
        doc = CameraToolBasePrivate.set_param.__doc__
        assert doc.splitlines()[0] == "set_param(self: velmo_hal_py.CameraToolBasePrivate, name: str, value: int) -> bool"
        assert "Overloaded" not in doc
        assert doc.rstrip().endswith("Set the value of a parameter.")

    @pytest.mark.parametrize(
        "method, signature, docstring",
        [
            ("get_tool_info", "(self: velmo_hal_py.{cls}) -> velmo_hal_py.ToolInfo", "Get the information of the tool."),
            ("get_all_param_info", "(self: velmo_hal_py.{cls}) -> dict[str, velmo_hal_py.BasicParameterInfo]", "Get all the parameter information."),
            ("get_param_info", "(self: velmo_hal_py.{cls}, {arg}: str) -> tuple", "Get the detailed information of a parameter."),
            ("get_param", "(self: velmo_hal_py.{cls}, {arg}: str) -> tuple", "Get the value of a parameter."),
        ],
    )
    def test_reading_methods(self, method, signature, docstring):
        base_doc = getattr(CameraToolBasePrivate, method).__doc__
        tool_doc = getattr(CameraTool, method).__doc__
        assert base_doc.splitlines()[0] == method + signature.format(cls="CameraToolBasePrivate", arg="name")
        assert base_doc.rstrip().endswith(docstring)
        assert tool_doc.strip() == method + signature.format(cls="CameraTool", arg="arg0")

    def test_constructor(self):
        assert CameraTool.__init__.__doc__.strip() == "__init__(self: velmo_hal_py.CameraTool, arg0: str) -> None"


class TestSetParamDispatch:
    @pytest.mark.parametrize(
        "value, reached",
        [
            (5, "setParam(int)"),
            (True, "setParam(int)"),
            (2.5, "setParam(float)"),
            (2**40, "setParam(float)"),
            (None, "setParam(bool)"),
            ("on", "setParam(string)"),
            (b"on", "setParam(string)"),
            (bytearray(b"on"), "setParam(string)"),
        ],
    )
    def test_value_reaches_overload(self, capfd, value, reached):
        assert Recorder().set_param("enable", value) is False
        lines = capfd.readouterr().err.splitlines()
        assert len(lines) == 1
        assert f"{reached} is not supported" in lines[0]
        assert '"enable"' in lines[0]

    @pytest.mark.parametrize("value, number", [(True, 1), (False, 0), (-7, -7)])
    def test_int_overload_gets_the_number(self, capfd, value, number):
        Recorder().set_param("enable", value)
        assert f'setParam(int) is not supported by this tool: parameter "enable", value {number}' in capfd.readouterr().err

    @pytest.mark.parametrize("value", [[1], {"a": 1}, object()])
    def test_value_without_conversion(self, capfd, value):
        with pytest.raises(TypeError, match="arg1: str"):
            Recorder().set_param("enable", value)
        assert capfd.readouterr().err == ""

    def test_registry_base_writes_int_only(self, capfd):
        tool = registry_tool()
        assert tool.set_param("gain", True) is False
        assert tool.set_param(name="gain", value=3) is False
        err = capfd.readouterr().err.splitlines()
        assert len(err) == 2 and all("setParam(int)" in line for line in err)
        for refused in (2.5, 2**31, "3", None):
            with pytest.raises(TypeError):
                tool.set_param("gain", refused)

    def test_imx636_tool_takes_float_through_float_overload(self):
        tool = velmo.testing.make_tool(ToolType.ANTI_FLICKER)
        name, basic = next((n, b) for n, b in tool.get_all_param_info().items() if b.type == ToolParameterType.FLOAT)
        ok, info = tool.get_param_info(name)
        assert ok
        target = info.min + (info.max - info.min) / 4
        assert tool.set_param(name, target) is True
        assert tool.get_param(name) == (True, pytest.approx(target, rel=1e-6))
