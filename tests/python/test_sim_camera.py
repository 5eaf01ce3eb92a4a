import re
import runpy
import struct
from pathlib import Path

import numpy as np
import pytest
import velmo_hal_py as hal
import velmo.io
import velmo.sim
import velmo.testing
from velmo_hal_py import ToolType

SENSOR_WIDTH, SENSOR_HEIGHT = 1280, 720
TOOL_CLASSES = [
    (ToolType.BIAS, hal.Imx636Biases),
    (ToolType.TRIGGER_IN, hal.Imx636TriggerIn),
    (ToolType.ANTI_FLICKER, hal.Imx636AntiFlicker),
    (ToolType.EVENT_TRAIL_FILTER, hal.Imx636EventTrailFilter),
    (ToolType.EVENT_RATE_CONTROL, hal.Imx636EventRateControl),
    (ToolType.ROI, hal.Imx636ROI),
]


def assert_valid_stream(events):
    assert events.dtype == velmo.io.event_dtype()
    assert np.all(events["x"] < SENSOR_WIDTH) and np.all(events["y"] < SENSOR_HEIGHT)
    assert set(np.unique(events["polarity"])) <= {0, 1}
    assert np.all(np.diff(events["timestamp"].astype(np.int64)) >= 0)


def test_list_cameras_describes_distinct_usb_cameras():
    cameras = velmo.sim.list_cameras()
    assert len(cameras) >= 2
    assert all(isinstance(c, hal.CameraDescription) for c in cameras)
    assert len({c.serial for c in cameras}) == len(cameras)
    assert all(c.interfaceType == hal.INTERFACE_TYPE.USB and c.serial for c in cameras)
    assert str(cameras[0]).startswith(f"Product: {cameras[0].manufacturer}-{cameras[0].product} \n")


def test_open_camera_by_serial_and_by_default():
    cameras = velmo.sim.list_cameras()
    assert velmo.sim.open_camera().description.serial == cameras[0].serial
    assert velmo.sim.open_camera(None).description.serial == cameras[0].serial
    for description in cameras:
        assert velmo.sim.open_camera(serial=description.serial).description.serial == description.serial


@pytest.mark.parametrize("serial", ["no-such-camera", ""])
def test_open_camera_refuses_an_unknown_serial_naming_it(serial):
    with pytest.raises(ValueError, match=f'"{serial}"'):
        velmo.sim.open_camera(serial)


def test_open_camera_refuses_a_non_text_serial():
    with pytest.raises(TypeError):
        velmo.sim.open_camera(1)


def test_camera_has_no_public_constructor():
    with pytest.raises(TypeError):
        velmo.sim.Camera()


def test_description_and_format_are_copies(camera):
    serial = camera.description.serial
    camera.description.serial = "changed"
    assert camera.description.serial == serial
    assert camera.description is not camera.description


def test_raw_format_describes_the_sensor(camera):
    raw_format = camera.raw_format
    assert raw_format.get_encoding_type() == hal.RawEventStreamEncodingType.EVT3
    assert (int(raw_format["width"]), int(raw_format["height"])) == (SENSOR_WIDTH, SENSOR_HEIGHT)


def test_read_events_gives_a_valid_continuing_stream(camera):
    first = camera.read_events(20000)
    second = camera.read_events(20000)
    assert first.shape == second.shape == (20000,)
    assert first.flags.c_contiguous and first.flags.owndata
    assert_valid_stream(first)
    assert_valid_stream(second)
    assert first["timestamp"][-1] <= second["timestamp"][0]
    assert len(np.unique(first["polarity"])) == 2


def test_read_events_is_deterministic_per_serial(camera):
    again = velmo.sim.open_camera(camera.description.serial)
    assert camera.read_events(5000).tobytes() == again.read_events(5000).tobytes()


def test_read_events_counts(camera):
    assert camera.read_events(0).shape == (0,)
    with pytest.raises(ValueError, match="-5"):
        camera.read_events(-5)
    with pytest.raises(TypeError):
        camera.read_events(1.5)


def test_read_events_leaves_no_stale_fill_bytes(camera):
    raw = camera.read_events(1000).view(np.uint8).reshape(-1, 16)
    assert not raw[:, 5:8].any()


def test_trigger_dtype_is_the_16_byte_trigger_record():
    dtype = velmo.io.trigger_dtype()
    assert dtype.names == ("value", "channel", "timestamp")
    assert [dtype.fields[name][1] for name in dtype.names] == [0, 1, 8]
    assert dtype.itemsize == 16


def test_read_returns_the_events_and_trigger_edges_of_its_span(camera):
    assert camera.tool(ToolType.TRIGGER_IN).set_param("enable", True)
    events, triggers = camera.read(20_000)
    assert_valid_stream(events)
    assert events["timestamp"].max() < 20_000
    assert triggers.dtype == velmo.io.trigger_dtype()
    assert triggers.tolist() == [(1, 0, 0), (0, 0, 5_000), (1, 0, 10_000), (0, 0, 15_000)]
    assert bytes(triggers.view(np.uint8).reshape(-1, 16)[:, 2:8].tobytes()) == bytes(4 * 6)
    later, _ = camera.read(1_000)
    assert later["timestamp"].min() >= 20_000


@pytest.mark.parametrize("duration", [-1, 10_000_001])
def test_read_refuses_a_span_out_of_range_naming_it(camera, duration):
    with pytest.raises(ValueError, match="duration_us"):
        camera.read(duration)


def test_read_and_read_events_share_one_stream_position():
    whole, _ = velmo.sim.open_camera().read(30_000)
    mixed_camera = velmo.sim.open_camera()
    first = mixed_camera.read_events(5_000)
    second, _ = mixed_camera.read(30_000 - int(first["timestamp"][-1]))
    mixed = np.concatenate([first, second], dtype=velmo.io.event_dtype())
    assert len(mixed) == len(whole) and np.all(mixed == whole)


def test_sum_events_agrees_with_numpy_on_camera_events(camera):
    events = camera.read_events(10000)[::3]
    expected = tuple(int(events[name].astype(object).sum()) for name in ("x", "y", "polarity", "timestamp"))
    assert velmo.testing.sum_events(events) == expected


def test_tools_are_the_six_imx636_tools_in_tool_type_order(camera):
    tools = camera.tools()
    assert [type(tool) for tool in tools] == [cls for _, cls in TOOL_CLASSES]
    for tool, (tool_type, _) in zip(tools, TOOL_CLASSES):
        assert isinstance(tool, hal.CameraTool)
        assert tool.get_tool_info().tool_type == tool_type


@pytest.mark.parametrize("tool_type, cls", TOOL_CLASSES)
def test_tool_returns_the_same_object_every_time(camera, tool_type, cls):
    tool = camera.tool(tool_type)
    assert type(tool) is cls
    assert camera.tool(tool_type) is tool
    assert tool in camera.tools()


def test_tool_settings_outlive_the_python_tool_object(camera):
    assert camera.tool(ToolType.ROI).set_param("x", 17)
    assert camera.tool(ToolType.ROI).get_param("x") == (True, 17)


def test_tool_refuses_a_kind_the_camera_lacks(camera):
    with pytest.raises(KeyError, match="APS_CTRL"):
        camera.tool(ToolType.APS_CTRL)
    with pytest.raises(TypeError):
        camera.tool(6)


def in_window(events, x, y, x_width, y_height):
    return (events["x"] >= x) & (events["x"] < x + x_width) & (events["y"] >= y) & (events["y"] < y + y_height)


def configure(tool, settings):
    for name, value in settings.items():
        assert tool.set_param(name, value), (name, value)


@pytest.mark.parametrize("mode, keeps_inside", [("ROI", True), ("RONI", False)])
@pytest.mark.parametrize(
    "window",
    [dict(x=100, y=50, x_width=300, y_height=200), dict(x=1000, y=500, x_width=1280, y_height=720)],
    ids=["inner", "cut by the sensor edge"],
)
def test_roi_keeps_the_events_on_one_side_of_the_window(camera, mode, keeps_inside, window):
    configure(camera.tool(ToolType.ROI), {**window, "mode": mode, "enable": True})
    events = camera.read_events(5000)
    assert len(events) == 5000
    assert_valid_stream(events)
    assert np.all(in_window(events, **window) == keeps_inside)


def test_event_rate_control_caps_each_aligned_second(camera):
    limit = 50_000
    configure(camera.tool(ToolType.EVENT_RATE_CONTROL), {"max_event_rate": limit, "enable": True})
    events = camera.read_events(4 * limit + 1000)
    assert len(events) == 4 * limit + 1000
    assert_valid_stream(events)
    per_second = np.bincount((events["timestamp"] // 1_000_000).astype(np.int64))
    assert per_second.max() == limit


def test_disabling_the_roi_restores_the_whole_sensor(camera):
    roi = camera.tool(ToolType.ROI)
    configure(roi, {"x": 10, "x_width": 20, "enable": True})
    assert camera.read_events(1000)["x"].max() < 30
    configure(roi, {"enable": False})
    assert camera.read_events(20000)["x"].max() >= 30


def test_read_events_stops_early_when_the_filters_pass_nothing(camera):
    configure(camera.tool(ToolType.ROI), {"mode": "RONI", "enable": True})
    events = camera.read_events(10)
    assert events.shape == (0,) and events.dtype == velmo.io.event_dtype()


def test_read_events_returns_only_the_events_found(camera):
    window = dict(x=640, y=360, x_width=1, y_height=1)
    configure(camera.tool(ToolType.ROI), {**window, "enable": True})
    events = camera.read_events(10000)
    assert len(events) < 10000 and events.flags.owndata
    assert np.all(in_window(events, **window))


def test_tools_outlive_their_camera():
    camera = velmo.sim.open_camera()
    roi = camera.tool(ToolType.ROI)
    del camera
    assert roi.set_param("x", 3)
    assert roi.get_param("x") == (True, 3)


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


def test_tour_draws_the_same_span_before_and_after(tmp_path, capsys, monkeypatch):
    pytest.importorskip("matplotlib", reason="the examples' extra is not installed here")
    pytest.importorskip("tqdm", reason="the examples' extra is not installed here")
    # Run in this interpreter rather than a child process: under an emulator a child would
    # be started natively.
    examples = Path(__file__).resolve().parents[2] / "examples"
    monkeypatch.syspath_prepend(str(examples))
    tour = runpy.run_path(str(examples / "tour.py"))
    tour["main"](["--out", str(tmp_path), "--events", "20000"])
    spans = [tuple(int(bound.replace(",", "")) for bound in span)
             for span in re.findall(r"time span  ([\d,]+) \.\. ([\d,]+) us", capsys.readouterr().out)]
    (first, last), (narrowed_first, narrowed_last) = spans
    # The narrowed stream's events lie in the first read's span and reach close to its end.
    assert first <= narrowed_first and narrowed_last <= last
    assert narrowed_last > last - (last - first) // 10
    width, height = png_size(tmp_path / "events.png")
    both_width, both_height = png_size(tmp_path / "events_roi_erc.png")
    assert both_height == height and both_width == 2 * width
