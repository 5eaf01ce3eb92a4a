"""Camera.settings, Camera.apply_settings and Camera.tool by name, across the binding.

What each setting does to the stream is tested in tests/cpp; here, the mapping's shape, the
all-or-nothing checks and the round trip through JSON and through a recording.
"""

import json

import pytest
import velmo_hal_py as hal
import velmo.io
import velmo.sim

SERIAL = "VLM636-000101"


@pytest.fixture
def camera():
    with velmo.sim.open_camera(SERIAL) as opened:
        yield opened


def test_settings_are_what_a_recording_of_the_camera_holds_and_survive_json(tmp_path, camera):
    assert camera.apply_settings({"BIAS": {"bias_diff_on": 40}, "ANTI_FLICKER": {"duty_cycle": 33.5, "enable": True},
                                  "EVENT_TRAIL_FILTER": {"type": "STC_KEEP_TRAIL"}}) is None
    settings = camera.settings()
    camera.record(tmp_path / "a.vrec", 10_000)
    with velmo.io.open_recording(tmp_path / "a.vrec") as recording:
        assert recording.settings == settings
    assert json.loads(json.dumps(settings)) == settings
    assert settings["BIAS"]["bias_diff_on"] == 40 and settings["ANTI_FLICKER"]["enable"] is True
    assert settings["ANTI_FLICKER"]["duty_cycle"] == 33.5


def test_a_recordings_settings_put_back_on_another_camera(tmp_path, camera):
    camera.apply_settings({"ROI": {"x": 10, "x_width": 100, "enable": True, "mode": "RONI"},
                           "EVENT_RATE_CONTROL": {"max_event_rate": 250_000}})
    camera.record(tmp_path / "tuned.vrec", 10_000)
    with velmo.io.open_recording(tmp_path / "tuned.vrec") as recording, velmo.sim.open_camera() as other:
        other.apply_settings(recording.settings)
        assert other.settings() == recording.settings


@pytest.mark.parametrize("settings, reason", [
    ({"BIAS": {"bias_diff_on": 500}}, "BIAS.bias_diff_on: 500 is outside [-85, 140]"),
    ({"BIAS": {"bias_diff_on": 4.0}}, "BIAS.bias_diff_on: takes an int, not float"),
    ({"ROI": {"enable": 1}}, "ROI.enable: takes a bool, not int"),
    ({"ROI": {"x": True}}, "ROI.x: takes an int, not bool"),
    ({"ANTI_FLICKER": {"duty_cycle": float("nan")}}, "ANTI_FLICKER.duty_cycle: nan is outside"),
    ({"ANTI_FLICKER": {"mode": "NOTCH"}}, "ANTI_FLICKER.mode: 'NOTCH' is not one of BAND_STOP, BAND_PASS"),
    ({"ROI": {"x": 2**70}}, f"ROI.x: {2**70} is outside"),
    ({"NOPE": {"x": 1}}, "NOPE: no such tool; the camera has BIAS, TRIGGER_IN"),
    ({"ROI": {"z": 1}}, "ROI.z: no such parameter; ROI has enable, mode, x"),
    ({"ROI": [1]}, "ROI: takes a dict of parameters, not list"),
    ({3: {}}, "3: a tool is named by a str, not int"),
])
def test_a_refused_entry_is_named_with_its_reason_and_changes_nothing(camera, settings, reason):
    before = camera.settings()
    with pytest.raises(ValueError) as refused:
        camera.apply_settings({"BIAS": {"bias_fo": 20}, **settings})
    assert str(refused.value).startswith("1 setting refused, nothing changed:\n  ")
    assert reason in str(refused.value)
    assert camera.settings() == before


def test_every_refused_entry_is_listed(camera):
    before = camera.settings()
    with pytest.raises(ValueError) as refused:
        camera.apply_settings({"BIAS": {"bias_diff_on": 999, "bias_fo": 0, "bias_hpf": "x"}, "ROI": {"y": -1}})
    lines = str(refused.value).splitlines()
    assert lines[0] == "3 settings refused, nothing changed:"
    assert [line.split(":")[0].strip() for line in lines[1:]] == ["BIAS.bias_diff_on", "BIAS.bias_hpf", "ROI.y"]
    assert camera.settings() == before


def test_apply_settings_takes_a_dict(camera):
    with pytest.raises(TypeError):
        camera.apply_settings([("BIAS", {})])


@pytest.mark.parametrize("kind", list(hal.ToolType.__members__.values())[:2])
def test_tool_takes_a_kind_or_its_name(camera, kind):
    assert camera.tool(kind.name) is camera.tool(kind)


def test_tool_names_what_it_lacks(camera):
    with pytest.raises(KeyError, match="no tool roi; it has BIAS, TRIGGER_IN"):
        camera.tool("roi")
