import pytest
import velmo_hal_py as hal
import velmo.sim
import velmo_test_hooks


class CountingTool(hal.CameraTool):
    def __init__(self, fail_after=None):
        super().__init__("")
        self.calls = 0
        self.fail_after = fail_after

    def getToolInfo(self):
        self.calls += 1
        if self.fail_after is not None and self.calls > self.fail_after:
            raise RuntimeError("sensor unplugged")
        info = hal.ToolInfo()
        info.description = f"answer {self.calls}"
        return info

    def getAllParamInfo(self):
        return {}

    def getParamInfo(self, name, record):
        return False


@pytest.mark.parametrize("calls", [1, 2, 1000])
def test_call_tool_info_reaches_the_python_override_each_time(calls):
    tool = CountingTool()
    assert velmo_test_hooks.call_tool_info(tool, calls).description == f"answer {calls}"
    assert tool.calls == calls


@pytest.mark.parametrize("calls", [0, -1])
def test_call_tool_info_refuses_a_count_below_one(calls):
    tool = CountingTool()
    with pytest.raises(ValueError, match=str(calls)):
        velmo_test_hooks.call_tool_info(tool, calls)
    assert tool.calls == 0


def test_call_tool_info_stops_at_the_first_python_error():
    tool = CountingTool(fail_after=3)
    with pytest.raises(RuntimeError, match="sensor unplugged"):
        velmo_test_hooks.call_tool_info(tool, 10)
    assert tool.calls == 4


def test_call_tool_info_on_a_device_tool_and_refusing_none(camera):
    assert velmo_test_hooks.call_tool_info(camera.tool(hal.ROI), 3).tool_type == hal.ToolType.ROI
    with pytest.raises(TypeError):
        velmo_test_hooks.call_tool_info(None, 1)


def test_no_op_tool_takes_and_refuses_what_a_tool_does(camera):
    floor, roi = velmo_test_hooks.NoOpTool(), camera.tool(hal.ROI)
    for tool in (floor, roi):
        assert len(tool.get_param("x")) == 2
        assert tool.set_param("x", 100) is True
        with pytest.raises(TypeError):
            tool.get_param(1)
        with pytest.raises(TypeError):
            tool.set_param("x", [1])


def test_time_device_read_moves_the_stream_on_like_read_events(camera):
    twin = velmo.sim.open_camera(camera.description.serial)
    seconds = velmo_test_hooks.time_device_read(camera, 5000)
    assert isinstance(seconds, float) and seconds >= 0.0
    twin.read_events(5000)
    assert camera.read_events(100).tobytes() == twin.read_events(100).tobytes()


def test_time_device_read_refuses_a_negative_count(camera):
    with pytest.raises(ValueError, match="-3"):
        velmo_test_hooks.time_device_read(camera, -3)
    assert velmo_test_hooks.time_device_read(camera, 0) >= 0.0
