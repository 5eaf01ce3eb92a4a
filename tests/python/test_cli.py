"""The velmo command line's commands for cameras, settings files and the viewer; record and info
are tested with the recordings in test_recording.py."""

import json
import signal
import subprocess
import sys
from pathlib import Path

import pytest
import velmo.io
import velmo.sim
from extras import extra
from velmo import cli

SERIAL = "VLM636-000102"


def exit_status(argv):
    with pytest.raises(SystemExit) as exited:
        cli.main(argv)
    return exited.value.code


def test_version_list_and_params(capsys):
    assert exit_status(["--version"]) == 0
    assert capsys.readouterr().out.startswith("velmo 0.1")
    assert cli.main(["list"]) == 0
    assert capsys.readouterr().out.splitlines() == [
        f"{camera.serial}  {camera.product} ({camera.manufacturer})" for camera in velmo.sim.list_cameras()]
    assert cli.main(["params", "--serial", SERIAL]) == 0
    out = capsys.readouterr().out
    assert "BIAS: " in out and "ANTI_FLICKER: " in out
    lines = {line.split()[0]: line.split() for line in out.splitlines() if line.startswith("  ")}
    assert lines["bias_diff_on"] == ["bias_diff_on", "INT", "-85", "to", "140", "default", "0", "now", "0"]
    assert lines["mode"] == ["mode", "ENUM", "ROI", "|", "RONI", "default", "ROI", "now", "ROI"]
    assert lines["duty_cycle"][4:6] == ["100.0", "%"]


def test_record_applies_a_settings_file_and_reports_size_and_events(tmp_path, capsys):
    settings = tmp_path / "tuned.json"
    settings.write_text(json.dumps({"BIAS": {"bias_diff_on": 60}, "ROI": {"enable": True, "x_width": 200}}))
    path = tmp_path / "tuned.vrec"
    assert cli.main(["record", str(path), "--duration", "0.1", "--settings", str(settings),
                     "--bias", "bias_diff_off=20"]) == 0
    with velmo.io.open_recording(path) as recording:
        events, _ = recording.read(100_000)
        assert recording.settings["BIAS"] | {"bias_diff_on": 60, "bias_diff_off": 20} == recording.settings["BIAS"]
        assert recording.settings["ROI"]["x_width"] == 200
    assert capsys.readouterr().out.endswith(f"to {path}: {path.stat().st_size:,} bytes, {len(events):,} events\n")


@pytest.mark.parametrize("content, status, message", [
    ('{"BIAS": {"bias_diff_on": 500, "bias_fo": "x"}}', 2,
     "2 settings refused, nothing changed:\n  BIAS.bias_diff_on: 500 is outside [-85, 140]\n"
     "  BIAS.bias_fo: takes an int, not str"),
    ("{nope", 2, "is not JSON"),
    ("[1]", 2, "holds list, not an object of tools"),
    (None, 1, "cannot read the settings file"),
])
def test_record_refuses_a_bad_settings_file(tmp_path, capsys, content, status, message):
    settings = tmp_path / "s.json"
    if content is not None:
        settings.write_text(content)
    assert exit_status(["record", str(tmp_path / "x.vrec"), "--settings", str(settings)]) == status
    assert message in capsys.readouterr().err
    assert not (tmp_path / "x.vrec").exists()


def test_a_wrong_value_is_named_in_good_english(tmp_path, capsys):
    assert exit_status(["record", str(tmp_path / "x.vrec"), "--set", "ROI.x=left"]) == 2
    assert "x takes an int, not 'left'" in capsys.readouterr().err


def test_view_without_its_extra_says_which_to_install(monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "aiohttp", None)
    monkeypatch.delitem(sys.modules, "velmo.view.server", raising=False)
    assert exit_status(["view", "--port", "0"]) == 1
    assert "pip install 'velmo-python[view]'" in capsys.readouterr().err


def test_view_serves_until_interrupted():
    extra("aiohttp", "view")
    script = Path(sys.executable).parent / "velmo"
    with subprocess.Popen([script, "view", SERIAL, "--port", "0"], stdout=subprocess.PIPE, text=True) as viewer:
        try:
            line = viewer.stdout.readline()
            viewer.send_signal(signal.SIGINT)
            assert viewer.wait(timeout=20) == 0
        finally:
            viewer.kill()
    assert line.startswith(f"velmo view: {SERIAL} at http://127.0.0.1:") and line.endswith("(Ctrl-C stops)\n")
