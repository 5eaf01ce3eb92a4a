"""Recordings across the binding: Camera.record, open_recording and the velmo command line.

The file format itself (cut files, bad headers, wrapped time) is tested in tests/cpp.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import velmo_hal_py as hal
import velmo.io
import velmo.sim
from velmo import cli

SERIAL = "VLM636-000102"


def recorded_camera():
    camera = velmo.sim.open_camera(SERIAL)
    assert camera.tool(hal.ToolType.TRIGGER_IN).set_param("enable", True)
    assert camera.tool(hal.ToolType.BIAS).set_param("bias_diff_on", 40)
    return camera


def test_recording_plays_back_what_the_camera_delivered(tmp_path):
    path = tmp_path / "a.vrec"
    camera = recorded_camera()
    camera.read(123_456)
    camera.record(path, 250_000)
    fresh = recorded_camera()
    fresh.read(123_456)
    expected_events, expected_triggers = fresh.read(250_000)

    with velmo.io.open_recording(path) as recording:
        assert (recording.start_us, recording.duration_us, recording.truncated) == (123_456, 250_000, False)
        assert recording.description.serial == SERIAL
        raw_format = recording.raw_format
        assert (raw_format.get_encoding_type_str(), raw_format["width"], raw_format["height"]) == ("EVT3", "1280", "720")
        assert recording.settings["BIAS"]["bias_diff_on"] == 40
        assert recording.settings["TRIGGER_IN"]["enable"] is True
        first_events, first_triggers = recording.read(100_000)
        raw = recording.read_raw(150_000)
        assert recording.read(10)[0].size == 0
    raw_events, raw_triggers = velmo.io.decode(raw)
    assert len(expected_events) > 1000 and len(expected_triggers) > 0
    assert np.array_equal(np.concatenate([first_events, raw_events]), expected_events)
    assert np.array_equal(np.concatenate([first_triggers, raw_triggers]), expected_triggers)


def test_record_refuses_an_existing_file_unless_asked(tmp_path, camera):
    path = tmp_path / "a.vrec"
    path.write_bytes(b"precious")
    with pytest.raises(FileExistsError) as raised:
        camera.record(path, 1000)
    assert raised.value.filename == str(path)
    assert path.read_bytes() == b"precious"
    camera.record(str(path), 1000, overwrite=True)
    assert velmo.io.open_recording(path).duration_us == 1000


@pytest.mark.parametrize("content, error, message", [
    (None, FileNotFoundError, "No such file"),
    (b"#!/bin/sh\necho hello\n", ValueError, "not a recording"),
    (b"VELMO EVENT RECORDING\nversion: 7\n", ValueError, "version 7 is newer"),
    (b"", ValueError, "not a recording"),
])
def test_open_recording_refuses_a_bad_file_naming_it(tmp_path, content, error, message):
    path = tmp_path / "bad.vrec"
    if content is not None:
        path.write_bytes(content)
    with pytest.raises(error, match=message) as raised:
        velmo.io.open_recording(path)
    assert str(path) in str(raised.value)


def test_a_cut_recording_reads_its_prefix_and_says_so(tmp_path, camera):
    path = tmp_path / "a.vrec"
    camera.record(path, 100_000)
    whole = velmo.io.open_recording(path).read(100_000)[0]
    path.write_bytes(path.read_bytes()[:-1001])
    with velmo.io.open_recording(path) as cut:
        assert cut.truncated
        part = cut.read(100_000)[0]
        assert part["timestamp"][-1] < cut.end_us < 100_000
    assert 0 < len(part) < len(whole)
    assert part.tobytes() == whole[:len(part)].tobytes()


def test_record_stopped_early_leaves_a_finished_shorter_recording(tmp_path, camera):
    spans = []

    def progress(span_us):
        spans.append(span_us)
        if len(spans) == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        camera.record(tmp_path / "a.vrec", 10_000_000, progress=progress)
    recording = velmo.io.open_recording(tmp_path / "a.vrec")
    assert (recording.truncated, recording.duration_us) == (False, sum(spans))


@pytest.mark.parametrize("call, message", [
    (lambda r: r.read(-1), "duration_us must not be negative"),
    (lambda r: r.read(10_000_001), "duration_us must be at most"),
    (lambda r: r.read_events(-1), "n must not be negative"),
])
def test_recording_reads_refuse_bad_arguments(tmp_path, camera, call, message):
    camera.record(tmp_path / "a.vrec", 1000)
    with pytest.raises(ValueError, match=message):
        call(velmo.io.open_recording(tmp_path / "a.vrec"))


@pytest.mark.parametrize("use", [
    lambda r: r.read_events(1),
    lambda r: r.read(10),
    lambda r: r.read_raw(10),
    lambda r: r.__enter__(),
], ids=["read_events", "read", "read_raw", "with"])
def test_a_closed_recording_refuses_reads(tmp_path, camera, use):
    camera.record(tmp_path / "a.vrec", 1000)
    with velmo.io.open_recording(tmp_path / "a.vrec") as recording:
        pass
    with pytest.raises(ValueError, match="is closed"):
        use(recording)


def test_command_line_records_and_describes(tmp_path, capsys):
    path = tmp_path / "cli.vrec"
    assert cli.main(["record", str(path), "--duration", "0.2", "--serial", SERIAL, "--trigger",
                               "--bias", "bias_diff_on=40", "--roi", "0,0,640,360", "--erc-rate", "500000"]) == 0
    events, triggers = velmo.io.open_recording(path).read(200_000)
    assert cli.main(["info", str(path)]) == 0
    out = capsys.readouterr().out
    assert f"events        {len(events):,} " in out
    assert f"triggers      {len(triggers):,}\n" in out
    assert "complete" in out and "bias_diff_on=40" in out and "max_event_rate=500000" in out
    assert events["x"].max() < 640 and events["y"].max() < 360


@pytest.mark.parametrize("argv, message", [
    (["--bias", "bias_diff_on=9999"], "refused BIAS.bias_diff_on"),
    (["--set", "NOPE.x=1"], "no tool 'NOPE'"),
    (["--set", "ROI.enable=maybe"], "takes true or false"),
    (["--roi", "1,2,3"], "--roi takes X,Y,WIDTH,HEIGHT"),
])
def test_command_line_refuses_bad_settings(tmp_path, capsys, argv, message):
    with pytest.raises(SystemExit) as exited:
        cli.main(["record", str(tmp_path / "x.vrec"), *argv])
    assert exited.value.code == 2
    assert message in capsys.readouterr().err
    assert not (tmp_path / "x.vrec").exists()


def test_command_line_stops_a_recording_that_would_not_fit(tmp_path, capsys):
    path = tmp_path / "long.vrec"
    with pytest.raises(SystemExit) as exited:
        cli.main(["record", str(path), "--duration", str(365 * 24 * 3600)])
    assert exited.value.code == 1
    err = capsys.readouterr().err
    assert "stopped after 0.10 s" in err and " TB and " in err and str(path) in err
    recording = velmo.io.open_recording(path)
    assert (recording.truncated, recording.duration_us) == (False, 100_000)


@pytest.mark.parametrize("text", ["inf", "1e13", "nan", "-1", "0", "1e-9", "soon"])
def test_command_line_refuses_bad_durations(tmp_path, capsys, text):
    with pytest.raises(SystemExit) as exited:
        cli.main(["record", str(tmp_path / "x.vrec"), "--duration", text])
    assert exited.value.code == 2
    error_lines = [line for line in capsys.readouterr().err.splitlines() if "error" in line]
    assert len(error_lines) == 1 and "--duration" in error_lines[0] and repr(text) in error_lines[0]
    assert not (tmp_path / "x.vrec").exists()


@pytest.mark.parametrize("overwrite", [[], ["--overwrite"]])
def test_command_line_says_a_directory_is_one(tmp_path, capsys, overwrite):
    with pytest.raises(SystemExit) as exited:
        cli.main(["record", str(tmp_path), "--duration", "0.01", *overwrite])
    assert exited.value.code == 1
    err = capsys.readouterr().err
    assert "Is a directory" in err and "--overwrite" not in err


def test_console_script_is_installed(tmp_path):
    script = Path(sys.executable).parent / "velmo"
    done = subprocess.run([script, "info", tmp_path / "missing.vrec"], capture_output=True, text=True, check=False)
    assert done.returncode == 1
    assert "velmo info: error:" in done.stderr and "missing.vrec" in done.stderr


def test_stream_record_to_records_the_slices_delivered_after_it(tmp_path, camera):
    camera.read(7_000)
    with camera.stream(slice_us=10_000) as stream:
        next(stream)
        stream.record_to(tmp_path / "a.vrec")
        with pytest.raises(ValueError, match="already recording"):
            stream.record_to(tmp_path / "b.vrec")
        delivered = [next(stream) for _ in range(4)]
    recording = velmo.io.open_recording(tmp_path / "a.vrec")
    assert (recording.start_us, recording.duration_us, recording.truncated) == (17_000, 40_000, False)
    events, _ = recording.read(40_000)
    assert np.array_equal(events, np.concatenate([s.events for s in delivered]))


def test_a_recording_streams_to_its_end_at_the_recorded_pace(tmp_path, camera):
    camera.record(tmp_path / "a.vrec", 60_000)
    expected = velmo.io.open_recording(tmp_path / "a.vrec").read(60_000)[0]
    with velmo.io.open_recording(tmp_path / "a.vrec") as recording:
        started = time.monotonic()
        with recording.stream(slice_us=20_000, realtime=True) as stream:
            with pytest.raises(RuntimeError, match="is streaming"):
                recording.read(10)
            slices = list(stream)
        elapsed = time.monotonic() - started
    assert [(s.start_us, s.end_us) for s in slices] == [(0, 20_000), (20_000, 40_000), (40_000, 60_000)]
    assert np.array_equal(np.concatenate([s.events for s in slices]), expected)
    assert elapsed >= 0.06


@pytest.mark.parametrize("use", [
    lambda camera, path: camera.record(path, 1000),
    lambda camera, path: camera.stream().record_to(path),
    lambda camera, path: velmo.io.open_recording(path),
])
@pytest.mark.parametrize("as_path", [str, Path])
def test_a_path_with_a_nul_is_refused(tmp_path, camera, use, as_path):
    (tmp_path / "a").write_bytes(b"kept")
    with pytest.raises(ValueError, match="null"):
        use(camera, as_path(str(tmp_path / "a") + "\0b.vrec"))
    assert (tmp_path / "a").read_bytes() == b"kept"


def test_a_recording_keeps_a_file_name_that_is_not_utf8(tmp_path, camera):
    name = os.fsdecode(os.fsencode(tmp_path) + b"/caf\xe9.vrec")
    camera.record(Path(name), 1000)
    with velmo.io.open_recording(name) as recording:
        assert recording.path == name
        assert name in repr(recording)


def test_a_recording_camera_refuses_other_readers_until_record_returns(tmp_path, camera):
    refused = []

    def progress(_span):
        for read in (lambda: camera.read_events(10), lambda: camera.read(10), lambda: camera.read_raw(10),
                     lambda: camera.stream(), lambda: camera.record(tmp_path / "b.vrec", 10)):
            with pytest.raises(RuntimeError, match=f"camera {camera.description.serial} is recording"):
                read()
            refused.append(read)

    camera.record(tmp_path / "a.vrec", 250_000, progress=progress)
    assert len(refused) == 15
    with velmo.io.open_recording(tmp_path / "a.vrec") as recording:
        assert (recording.duration_us, recording.truncated) == (250_000, False)
    assert camera.read(10_000)[0]["timestamp"].min() >= 250_000
