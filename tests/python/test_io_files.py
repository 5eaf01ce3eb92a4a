"""Raw EVT3 files from elsewhere, encoding, writing recordings and seeking, across the binding.

The header filter, the start check, the index and seeking are tested in tests/cpp; here the
Python API's wiring, its arguments and the round trips that cross it.
"""

import random

import numpy as np
import pytest
import velmo_hal_py as hal
import velmo.io
import velmo.sim
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import velmo.io as vio

FORMAT = "EVT3;height=720;width=1280"
HEADER = b"% format EVT3;height=720;width=1280\n% serial SN-7\n% product P1\n% manufacturer M\n% end\n"
SPAN_US = 600_000


@pytest.fixture(scope="module")
def stream():
    """A camera's records over SPAN_US with trigger edges, and their EVT3 bytes."""
    camera = velmo.sim.open_camera()
    assert camera.tool(hal.ToolType.TRIGGER_IN).set_param("enable", True)
    events, triggers = camera.read(SPAN_US)
    return events, triggers, vio.encode(events, triggers, raw_format=FORMAT)


def same(a, b):
    return len(a) == len(b) and bool((a == b).all())


@pytest.mark.parametrize("header", [HEADER, HEADER[:-6] + b"% odd\n% end\n", b"% format EVT3;width=1280\n% end\n"])
@pytest.mark.parametrize("cut", [1, 2, 3, 69, 4099, None])
def test_decoder_skips_a_header_however_the_stream_is_cut(stream, header, cut):
    events, triggers, data = stream
    whole = header + data
    decoder = vio.Decoder()
    pieces = [whole] if cut is None else [whole[k:k + cut] for k in range(0, len(whole), cut)][:40]
    pieces.append(whole[sum(map(len, pieces)):])
    decoded = [decoder.decode(piece) for piece in pieces]
    assert same(np.concatenate([e for e, _ in decoded]), events)
    assert same(np.concatenate([t for _, t in decoded]), triggers)
    assert (decoder.untimed_dropped, decoder.skipped_words, decoder.time_wraps) == (0, 0, 0)


def test_header_sets_the_sensor_and_must_agree_with_the_given_format(stream):
    events, _, data = stream
    outside = vio.decode(b"% format EVT3;height=400;width=640\n% end\n" + data)[0]
    assert same(outside, events[(events["x"] < 640) & (events["y"] < 400)])
    assert same(vio.decode(HEADER + data, raw_format="EVT3")[0], events)
    assert len(vio.decode(HEADER)[0]) == 0
    decoder = vio.Decoder("EVT3;height=480;width=640")
    with pytest.raises(ValueError, match="height 720, the given format 480"):
        decoder.decode(HEADER + data)
    with pytest.raises(ValueError, match="height 720"):
        decoder.decode(data)
    decoder.reset()
    assert same(decoder.decode(data[:1000])[0], vio.decode(data[:1000], raw_format="EVT3;height=480;width=640")[0])


@pytest.mark.parametrize("garbage", [b"\x00\x10" * (1 << 19), b"\x80" + b"\x10\x00" * (1 << 19)])
def test_bytes_that_are_not_evt3_are_refused(garbage):
    with pytest.raises(ValueError, match="not an EVT3 stream"):
        vio.decode(garbage)
    decoder = vio.Decoder()
    decoder.decode(garbage[:1000])
    with pytest.raises(ValueError, match="not an EVT3 stream"):
        decoder.decode(garbage[1000:])


@pytest.mark.parametrize("header", [HEADER, b""])
def test_raw_files_open_as_recordings(tmp_path, stream, header):
    events, triggers, data = stream
    path = tmp_path / "raw.evt3"
    path.write_bytes(header + data + b"\x07")
    with vio.open_recording(path, raw_format=None if header else FORMAT) as recording:
        assert (recording.version, recording.settings, recording.truncated) == (0, {}, True)
        assert recording.description.serial == ("SN-7" if header else "")
        assert recording.raw_format["width"] == "1280"
        assert recording.start_us == 0 and recording.end_us == events["timestamp"][-1] + 1
        read_events, read_triggers = recording.read(SPAN_US)
        assert same(read_events, events) and same(read_triggers, triggers)
        recording.seek(SPAN_US // 2)
        assert same(recording.read(1000)[0], events[(events["timestamp"] >= SPAN_US // 2)
                                                    & (events["timestamp"] < SPAN_US // 2 + 1000)])


def test_raw_files_are_refused_clearly(tmp_path, stream):
    path = tmp_path / "raw.evt3"
    path.write_bytes(stream[2])
    with pytest.raises(ValueError, match="not a recording"):
        vio.open_recording(path)
    path.write_bytes(HEADER + stream[2])
    with pytest.raises(ValueError, match=f"{path}: the header's format"):
        vio.open_recording(path, raw_format="EVT3;height=480")
    with pytest.raises(ValueError, match="raw_format"):
        vio.open_recording(path, raw_format="EVT3;height=")
    path.write_bytes(HEADER + b"\x00\x10" * (1 << 19))
    with pytest.raises(ValueError, match=f"{path}: not an EVT3 stream"):
        vio.open_recording(path)
    camera_file = tmp_path / "a.vrec"
    velmo.sim.open_camera().record(camera_file, 10_000)
    with pytest.raises(ValueError, match="raw_format"):
        vio.open_recording(camera_file, raw_format="EVT3;width=640")
    assert vio.open_recording(camera_file, raw_format="EVT3").duration_us == 10_000


@st.composite
def event_arrays(draw):
    count = draw(st.integers(0, 300))
    times = np.cumsum(draw(hnp.arrays(np.uint64, count, elements=st.sampled_from([0, 0, 1, 3, 4095, 70_000, 1 << 23]))))
    events = np.zeros(count, vio.event_dtype())
    events["timestamp"] = times
    events["x"] = draw(hnp.arrays(np.uint16, count, elements=st.integers(0, 1279)))
    events["y"] = draw(hnp.arrays(np.uint16, count, elements=st.sampled_from([0, 1, 719])))
    events["polarity"] = draw(hnp.arrays(np.uint8, count, elements=st.integers(0, 1)))
    edges = draw(st.integers(0, 20))
    triggers = np.zeros(edges, vio.trigger_dtype())
    triggers["timestamp"] = np.sort(draw(hnp.arrays(np.uint64, edges, elements=st.integers(0, 1 << 26))))
    triggers["value"] = draw(hnp.arrays(np.uint8, edges, elements=st.integers(0, 1)))
    triggers["channel"] = draw(hnp.arrays(np.uint8, edges, elements=st.integers(0, 15)))
    return events, triggers


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(records=event_arrays())
def test_encoding_round_trips_any_valid_array(records):
    events, triggers = records
    data = vio.encode(events, triggers, raw_format=FORMAT)
    decoded_events, decoded_triggers = vio.decode(data, raw_format=FORMAT)
    assert same(decoded_events, events) and same(decoded_triggers, triggers)
    again = vio.encode(decoded_events, decoded_triggers, raw_format=FORMAT)
    assert all(same(a, b) for a, b in zip(vio.decode(again), (decoded_events, decoded_triggers)))


def test_encoding_the_camera_stream_decodes_like_it(camera):
    data = camera.read_raw(300_000)
    events, triggers = vio.decode(data)
    again = vio.decode(vio.encode(events, triggers, raw_format=FORMAT))
    assert same(again[0], events) and same(again[1], triggers)


def test_encode_names_the_first_offender(stream):
    events = stream[0][:100].copy()
    late = events.copy()
    late["timestamp"][7] = late["timestamp"][-1] + 1
    late["x"][60] = 2000
    with pytest.raises(ValueError, match="event 8 .* comes before"):
        vio.encode(late, raw_format=FORMAT)
    wide = events.copy()
    wide["y"][5] = 720
    with pytest.raises(ValueError, match=r"event 5 .*outside the 1280x720 sensor"):
        vio.encode(wide, raw_format=FORMAT)
    edges = np.zeros(2, vio.trigger_dtype())
    edges["channel"][1] = 16
    with pytest.raises(ValueError, match="trigger edge 1"):
        vio.encode(events, edges, raw_format=FORMAT)
    with pytest.raises(TypeError, match="events must be a one-dimensional NumPy array"):
        vio.encode(events["x"], raw_format=FORMAT)
    with pytest.raises(ValueError, match="only EVT3"):
        vio.encode(events, raw_format="EVT2")
    assert vio.encode(events[::2], raw_format=FORMAT) == vio.encode(events[::2].copy(), raw_format=FORMAT)


def test_recording_writer_writes_records_or_raw_bytes(tmp_path, stream):
    events, triggers, data = stream
    description = velmo.sim.open_camera("VLM636-000102").description
    settings_ = {"BIAS": {"bias_diff_on": 3}, "ERC": {"enable": True, "rate": 1.5, "mode": "x"}}
    with vio.RecordingWriter(tmp_path / "r.vrec", raw_format=FORMAT, description=description,
                             settings=settings_) as writer:
        early, early_edges = events["timestamp"] < SPAN_US // 2, triggers["timestamp"] < SPAN_US // 2
        writer.write(events[early], triggers[early_edges])
        writer.write(events[~early], triggers[~early_edges])
        with pytest.raises(ValueError, match="not both"):
            writer.write_raw(b"\x00\x80")
        with pytest.raises(ValueError, match="comes before"):
            writer.write(events[:1])
    assert writer.closed
    for use in (lambda: writer.write(events[:1]), writer.__enter__):
        with pytest.raises(ValueError, match="closed"):
            use()
    with vio.RecordingWriter(tmp_path / "b.vrec", raw_format=FORMAT) as writer:
        for k in range(0, len(data), 100_001):
            writer.write_raw(memoryview(data)[k:k + 100_001])
    for name in ("r.vrec", "b.vrec"):
        with vio.open_recording(tmp_path / name) as recording:
            assert not recording.truncated and recording.end_us == events["timestamp"][-1] + 1
            read_events, read_triggers = recording.read(SPAN_US)
            assert same(read_events, events) and same(read_triggers, triggers)
            if name == "r.vrec":
                assert recording.description.serial == "VLM636-000102"
                assert recording.settings == settings_
    with pytest.raises(FileExistsError):
        vio.RecordingWriter(tmp_path / "b.vrec", raw_format=FORMAT)
    with pytest.raises(TypeError, match="settings"):
        vio.RecordingWriter(tmp_path / "c.vrec", raw_format=FORMAT, settings={"BIAS": {"x": [1]}})


@pytest.mark.parametrize("cut", [None, 0.6])
def test_seek_to_random_times_gives_what_reading_through_gives(tmp_path, stream, cut):
    events, triggers, _ = stream
    path = tmp_path / "s.vrec"
    with vio.RecordingWriter(path, raw_format=FORMAT) as writer:
        writer.write(events, triggers)
    if cut:
        path.write_bytes(path.read_bytes()[: int(path.stat().st_size * cut)])
    with vio.open_recording(path) as recording:
        all_events, all_triggers = recording.read(SPAN_US + 1)
        times = [0, SPAN_US, SPAN_US * 2] + [random.Random(k).randrange(SPAN_US) for k in range(8)]
        for t in times:
            recording.seek(t)
            assert recording.position_us == t
            got_events, got_triggers = recording.read(50_000)
            window = (all_events["timestamp"] >= t) & (all_events["timestamp"] < t + 50_000)
            assert same(got_events, all_events[window])
            edges = (all_triggers["timestamp"] >= t) & (all_triggers["timestamp"] < t + 50_000)
            assert same(got_triggers, all_triggers[edges])
        recording.seek(SPAN_US // 3)
        first = recording.read_events(5)
        assert same(first, all_events[all_events["timestamp"] >= SPAN_US // 3][:5])
        recording.read_raw(10_000)
        recording.seek(SPAN_US // 5)
        raw = vio.decode(recording.read_raw(20_000))[0]
        assert same(raw, all_events[(all_events["timestamp"] >= SPAN_US // 5)
                                    & (all_events["timestamp"] < SPAN_US // 5 + 20_000)])
        with pytest.raises(ValueError, match="t_us must not be negative"):
            recording.seek(-1)
        with recording.stream() as _:
            with pytest.raises(RuntimeError):
                recording.seek(0)


@pytest.mark.parametrize("chunk_bytes", [1, 4_093, 65_536, None])
def test_slices_of_raw_chunks_are_the_slices_a_camera_streams(tmp_path, chunk_bytes):
    serial = velmo.sim.list_cameras()[1].serial
    velmo.sim.open_camera(serial).record(tmp_path / "a.vrec", 14 * 7_000)
    with velmo.io.open_recording(tmp_path / "a.vrec") as recording:
        data = recording.read_raw(recording.duration_us)
        raw_format = recording.raw_format
    size = chunk_bytes or len(data)
    chunks = (data[at:at + size] for at in range(0, len(data), size))
    cut = list(vio.slices(chunks, raw_format=raw_format, slice_us=7_000))
    with velmo.sim.open_camera(serial).stream(slice_us=7_000) as stream:
        streamed = [next(stream) for _ in range(len(cut))]
    assert len(cut) == 14
    assert [(s.start_us, s.end_us) for s in cut] == [(s.start_us, s.end_us) for s in streamed]
    for mine, theirs in zip(cut, streamed):
        assert mine.events.tobytes() == theirs.events.tobytes()
        assert mine.triggers.tobytes() == theirs.triggers.tobytes()


def test_slices_refuse_a_bad_length():
    with pytest.raises(ValueError, match="slice_us"):
        next(vio.slices([b""], raw_format="EVT3", slice_us=0))
