"""The published API as a type checker sees it, checked with mypy --strict and also run.

Every assert_type pins a type that the stubs must keep; a stub that degrades a signature to Any
or loses an overload fails the mypy run (assert_type is exact, and --strict reports a
`type: ignore` that no longer silences an error). Running the file shows that the code that
type-checks also works.
"""

from typing import TYPE_CHECKING, Any, assert_type

import numpy as np
import velmo_base_py
import velmo_hal_py as hal
import velmo.io
import velmo.sim
import velmo.testing

EventArray = np.ndarray[tuple[int], np.dtype[np.void]]
ParameterRecord = hal.IntParameterInfo | hal.FloatParameterInfo | hal.BoolParameterInfo | hal.EnumParameterInfo


class Thermometer(hal.CameraTool):
    """A tool implemented in Python, with the overrides typed as native callers use them."""

    def __init__(self) -> None:
        super().__init__("thermo.")

    def getToolInfo(self) -> hal.ToolInfo:
        info = hal.ToolInfo()
        info.tool_type = hal.ToolType.TRIGGER_IN
        info.description = "Sensor temperature"
        info.parameter_names = ["celsius"]
        return info

    def getAllParamInfo(self) -> dict[str, hal.BasicParameterInfo]:
        basic = hal.BasicParameterInfo()
        basic.name, basic.type = "celsius", hal.ToolParameterType.FLOAT
        return {"celsius": basic}

    def getParamInfo(self, name: str, record: ParameterRecord) -> bool:
        if name != "celsius" or not isinstance(record, hal.FloatParameterInfo):
            return False
        record.min, record.max, record.unit = -40.0, 125.0, "C"
        return True


def check_devices() -> velmo.sim.Camera:
    descriptions = velmo.sim.list_cameras()
    assert_type(descriptions, list[hal.CameraDescription])
    camera = velmo.sim.open_camera(descriptions[0].serial)
    assert_type(camera, velmo.sim.Camera)
    description = camera.description
    assert_type(description.vid, int)
    assert_type(description.interfaceType, hal.INTERFACE_TYPE)
    assert_type(str(description), str)
    raw_format = camera.raw_format
    assert_type(raw_format, hal.RawEventStreamFormat)
    assert_type(raw_format["width"], str)
    assert_type(raw_format.contains("height"), bool)
    assert_type(raw_format.get_encoding_type(), hal.RawEventStreamEncodingType)
    assert_type(hal.CAMERA_TYPE.Taveo.value, int)
    return camera


def check_tools(camera: velmo.sim.Camera) -> None:
    tools = camera.tools()
    assert_type(tools, list[hal.CameraTool])
    roi = camera.tool(hal.ROI)
    assert_type(roi, hal.CameraTool)
    assert_type(roi.get_tool_info(), hal.ToolInfo)
    assert_type(roi.get_tool_info().parameter_names, list[str])
    table = roi.get_all_param_info()
    assert_type(table, dict[str, hal.BasicParameterInfo])
    assert_type(table["x"].type, hal.ToolParameterType)
    # (ok, record), (False, None) for an unknown name, () for a parameter without a value type.
    found = roi.get_param_info("x")
    if found and found[0] and isinstance(found[1], hal.IntParameterInfo):
        assert_type(found[1].constraint_value(10_000), int)
    read = roi.get_param("x")
    assert_type(read, tuple[bool, int | float | bool | str | None] | tuple[()])
    if read:
        assert_type(read[1], int | float | bool | str | None)
    # set_param has one overload per value kind; each returns whether the tool took the value.
    assert_type(roi.set_param("x", 100), bool)
    assert_type(roi.set_param("enable", True), bool)
    assert_type(roi.set_param("mode", "ROI"), bool)
    erc = camera.tool(hal.ToolType.EVENT_RATE_CONTROL)
    assert_type(erc.set_param("max_event_rate", 2.5e5), bool)
    assert_type(hal.tool_parameter_type_to_string(hal.ToolParameterType.ENUM), str)
    registry = velmo.testing.make_registry_tool([])
    assert_type(registry, hal.CameraToolBasePrivate)
    assert_type(registry.set_param("x", 1), bool)
    if TYPE_CHECKING:
        # Each of these fails at run time too, with TypeError; the checker must see it first.
        roi.set_param("x", [1])  # type: ignore[call-overload]
        registry.set_param("x", 1.5)  # type: ignore[arg-type]
        description = hal.CameraDescription()
        description.vid = "1"  # type: ignore[assignment]


def check_python_tool() -> None:
    # The Python object must outlive the native holder's use of it (see docs/python-tools.md).
    tool = Thermometer()
    holder = velmo.testing.NativeHolder(tool)
    assert_type(holder.tool_info(), hal.ToolInfo)
    assert_type(holder.all_param_info(), dict[str, hal.BasicParameterInfo])
    found, record = holder.param_info("celsius", hal.FloatParameterInfo())
    assert found is True and isinstance(record, hal.FloatParameterInfo) and record.unit == "C"


def check_events(camera: velmo.sim.Camera) -> None:
    events = camera.read_events(1_000)
    assert_type(events, EventArray)
    more = velmo.testing.make_events(10, seed=3)
    assert_type(more, EventArray)
    dtype = velmo.io.event_dtype()
    assert_type(dtype, np.dtype[Any])
    joined = np.concatenate([events, more], dtype=dtype)
    assert joined.dtype == dtype and joined.itemsize == 16
    event = velmo.testing.make_event(1, 2, 1, 3)
    assert_type(event, velmo_base_py.Event2D)
    assert_type(event.t, int)
    assert_type(velmo.testing.read_event(event), tuple[int, int, int, int])
    assert_type(velmo.testing.sum_events(events), tuple[int, int, int, int])
    decoded = velmo.io.decode(camera.read_raw(1_000), raw_format=camera.raw_format)
    assert_type(decoded, tuple[EventArray, EventArray])
    if TYPE_CHECKING:
        event.t = 1.5  # type: ignore[assignment]


def main() -> None:
    camera = check_devices()
    check_tools(camera)
    check_python_tool()
    check_events(camera)


if __name__ == "__main__":
    main()
