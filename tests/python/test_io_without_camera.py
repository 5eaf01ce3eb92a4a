"""velmo.io on its own, as a user of the maker's libraries has it: no simulated camera is imported
here, so this file also runs against the build over installed device libraries. It checks what
crosses velmo._io's binding there: formats given as the device layer's objects, descriptions and
settings into and out of recordings, and chunks of bytes into slices."""

import importlib
import json
import sys
import urllib.request

import numpy as np
import pytest
import velmo_hal_py as hal

import velmo.io as vio
from extras import extra

WIDTH, HEIGHT = 640, 480
FORMAT_TEXT = f"EVT3;height={HEIGHT};width={WIDTH}"


def synthetic_events(count, seed):
    generator = np.random.default_rng(seed)
    events = np.zeros(count, vio.event_dtype())
    events["x"] = generator.integers(0, WIDTH, count)
    events["y"] = generator.integers(0, HEIGHT, count)
    events["polarity"] = generator.integers(0, 2, count)
    # Gaps up to 40 ms, so that the time words wrap their low half and slices stay empty at times.
    events["timestamp"] = np.cumsum(generator.integers(0, 40_000, count))
    return events


@pytest.fixture(params=["text", "object"])
def raw_format(request):
    return FORMAT_TEXT if request.param == "text" else hal.RawEventStreamFormat(FORMAT_TEXT)


def test_encoded_events_decode_to_the_same_records(raw_format):
    events = synthetic_events(5_000, seed=1)
    decoded, triggers = vio.decode(vio.encode(events, raw_format=raw_format), raw_format=raw_format)
    assert (decoded == events).all() and len(triggers) == 0


@pytest.mark.parametrize("chunk_bytes", [1, 7, 4096, 1 << 20])
def test_slices_of_chunks_cut_anywhere_hold_every_event_once(chunk_bytes):
    events = synthetic_events(2_000, seed=2)
    data = vio.encode(events, raw_format=FORMAT_TEXT)
    chunks = (data[start:start + chunk_bytes] for start in range(0, len(data), chunk_bytes))
    pieces = list(vio.slices(chunks, raw_format=hal.RawEventStreamFormat(FORMAT_TEXT), slice_us=25_000))
    assert [piece.start_us for piece in pieces] == list(range(0, pieces[-1].end_us, 25_000))
    assert all(((piece.events["timestamp"] >= piece.start_us) & (piece.events["timestamp"] < piece.end_us)).all()
               for piece in pieces)
    assert (np.concatenate([piece.events for piece in pieces]) == events).all()


def test_a_written_recording_gives_back_its_events_description_and_settings(tmp_path, raw_format):
    events = synthetic_events(3_000, seed=3)
    description = hal.CameraDescription()
    description.serial, description.product = "SN-42", "a camera of the user's own"
    settings = {"BIAS": {"bias_diff_on": 12}, "ROI": {"enable": True, "mode": "RONI"}}
    path = tmp_path / "mine.vrec"
    with vio.RecordingWriter(path, raw_format=raw_format, description=description, settings=settings) as writer:
        writer.write(events[:1_000])
        writer.write(events[1_000:])
    with vio.open_recording(path) as recording:
        assert isinstance(recording.raw_format, hal.RawEventStreamFormat)
        assert (recording.raw_format["width"], recording.raw_format["height"]) == (str(WIDTH), str(HEIGHT))
        assert (recording.description.serial, recording.description.product) == ("SN-42", "a camera of the user's own")
        assert recording.settings == settings
        pieces = []
        while recording.position_us < recording.end_us:
            pieces.append(recording.read(10_000_000)[0])
    assert (np.concatenate(pieces) == events).all()


@pytest.mark.parametrize("raw_format, error, message", [
    (hal.RawEventStreamFormat("EVT2;height=4;width=4"), ValueError, "raw_format: .*EVT2"),
    ("EVT3;width=0", ValueError, "raw_format: invalid raw event stream format"),
    (b"EVT3;height=4;width=4", TypeError, "raw_format"),
    (1280, TypeError, "raw_format"),
])
def test_a_format_the_codec_cannot_take_is_refused(raw_format, error, message):
    with pytest.raises(error, match=message):
        vio.encode(synthetic_events(3, seed=4), raw_format=raw_format)


def test_a_format_object_gives_the_codec_its_sensor_options_only(tmp_path):
    path = tmp_path / "options.vrec"
    given = hal.RawEventStreamFormat(f"EVT3;bits=8;width={WIDTH};height={HEIGHT}")
    with vio.RecordingWriter(path, raw_format=given) as writer:
        writer.write(synthetic_events(10, seed=5))
    stored = vio.open_recording(path).raw_format
    assert (stored.get_encoding_type_str(), stored["height"], stored["width"]) == ("EVT3", str(HEIGHT), str(WIDTH))
    assert not stored.contains("bits")


@pytest.mark.parametrize("command, status, said", [
    (["info", "{path}"], 0, "events        3,000"),
    (["list"], 1, "this build has no simulated camera"),
    (["params"], 1, "this build has no simulated camera"),
])
def test_command_line_reads_recordings_without_the_camera_module(tmp_path, monkeypatch, capsys, command, status,
                                                                  said):
    path = tmp_path / "mine.vrec"
    with vio.RecordingWriter(path, raw_format=FORMAT_TEXT) as writer:
        writer.write(synthetic_events(3_000, seed=5))
    # As in a build over the maker's libraries: velmo.sim cannot be imported, and the command
    # line is imported afresh without it.
    monkeypatch.setitem(sys.modules, "velmo.sim", None)
    monkeypatch.delitem(sys.modules, "velmo.cli", raising=False)
    monkeypatch.delattr(sys.modules["velmo"], "cli", raising=False)
    cli = importlib.import_module("velmo.cli")
    arguments = [argument.format(path=path) for argument in command]
    if status == 0:
        assert cli.main(arguments) == 0
    else:
        with pytest.raises(SystemExit) as exited:
            cli.main(arguments)
        assert exited.value.code == status
    out, err = capsys.readouterr()
    assert said in out + err


def test_the_viewer_shows_a_recording_without_the_camera_module(tmp_path, monkeypatch):
    extra("aiohttp", "view")
    path = tmp_path / "mine.vrec"
    settings = {"BIAS": {"bias_diff_on": 12}}
    with vio.RecordingWriter(path, raw_format=FORMAT_TEXT, settings=settings) as writer:
        writer.write(synthetic_events(3_000, seed=6))
    monkeypatch.setitem(sys.modules, "velmo.sim", None)
    for name in [name for name in sys.modules if name == "velmo.view" or name.startswith("velmo.view.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.delattr(sys.modules["velmo"], "view", raising=False)
    view = importlib.import_module("velmo.view")
    with view.serve(str(path)) as server:
        with urllib.request.urlopen(server.url + "settings.json", timeout=10) as response:
            served = json.load(response)
        assert not server.live
    assert served == vio.open_recording(path).settings
