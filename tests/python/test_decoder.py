"""The EVT3 decoder as Python sees it: buffers in, arrays of the registered data types out,
counters, and threads. What each word means is tested in C++ (tests/cpp/codec/test_evt3.cpp)."""

import threading

import numpy as np
import pytest
import velmo_hal_py as hal
import velmo.io
import velmo.sim
import velmo_test_hooks
import velmo.testing

EMPTY_TRIGGERS = np.zeros(0, dtype=velmo.io.trigger_dtype())


def words(*values):
    return np.array(values, dtype="<u2").tobytes()


TIME_HIGH_1, TIME_LOW_5, ROW_3 = 0x8001, 0x6005, 0x0003
# Two events, a padding word and a trigger edge on channel 2, all at time 4101.
STREAM = words(TIME_HIGH_1, TIME_LOW_5, ROW_3, 0x2800 | 7, 0x1234, 0x2000 | 1300, 0xA201)


@pytest.fixture(scope="module")
def camera_bytes():
    events = velmo.sim.open_camera().read_events(20_000)
    return events, velmo_test_hooks.encode_evt3(events, EMPTY_TRIGGERS)


@pytest.mark.parametrize(
    "wrap",
    [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, np.uint8), lambda b: np.frombuffer(b, np.uint16),
     lambda b: np.frombuffer(b, np.uint16).reshape(-1, 1)],
    ids=["bytes", "bytearray", "memoryview", "uint8", "uint16", "uint16-2d"],
)
def test_every_contiguous_buffer_decodes_the_same(wrap, camera_bytes):
    events, raw = camera_bytes
    decoded, triggers = velmo.io.Decoder().decode(wrap(raw))
    assert decoded.dtype == velmo.io.event_dtype() and triggers.dtype == velmo.io.trigger_dtype()
    assert decoded.tobytes() == events.tobytes()
    assert len(triggers) == 0


@pytest.mark.parametrize(
    "data",
    ["text", [1, 2], 7, None, memoryview(b"abcdef")[::2], np.zeros(8, np.uint8)[::2]],
    ids=["str", "list", "int", "None", "strided-memoryview", "strided-array"],
)
def test_what_is_no_contiguous_buffer_is_refused_naming_data(data):
    decoder = velmo.io.Decoder()
    with pytest.raises(TypeError, match="data must be a contiguous buffer"):
        decoder.decode(data)
    with pytest.raises(TypeError, match="data must be"):
        velmo.io.decode(data)


def test_records_are_whole_with_zero_fill_bytes():
    events, triggers = velmo.io.decode(STREAM)
    assert events.tolist() == [(7, 3, 1, 4101), (1300, 3, 0, 4101)]
    assert triggers.tolist() == [(1, 2, 4101)]
    assert all(record[5:8] == b"\0\0\0" for record in (events.tobytes()[:16], events.tobytes()[16:]))
    assert triggers.tobytes()[2:8] == bytes(6)


@pytest.mark.parametrize(
    "raw_format, kept",
    [(None, 2), ("EVT3;height=720;width=1280", 1), (hal.RawEventStreamFormat("EVT3;width=1301"), 2),
     (hal.RawEventStreamFormat("EVT3;width=8"), 1)],
)
def test_the_format_bounds_the_sensor(raw_format, kept):
    decoder = velmo.io.Decoder(raw_format)
    events, triggers = decoder.decode(STREAM)
    assert len(events) == kept and len(triggers) == 1
    assert decoder.outside_dropped == 2 - kept
    assert decoder.skipped_words == 1


@pytest.mark.parametrize("raw_format, error", [("EVT2;width=4", ValueError), ("EVT3;width=0", ValueError), (3, TypeError)])
def test_a_format_that_is_not_evt3_text_is_refused(raw_format, error):
    with pytest.raises(error, match="raw_format" if error is ValueError else "incompatible"):
        velmo.io.Decoder(raw_format)


def test_a_kept_odd_byte_and_reset():
    decoder = velmo.io.Decoder()
    first, _ = decoder.decode(STREAM[:7])
    second, triggers = decoder.decode(STREAM[7:])
    assert len(first) + len(second) == 2 and len(triggers) == 1
    decoder.decode(words(0x8FFF) + b"\x00")
    decoder.decode(b"\x80")
    assert decoder.time_wraps == 1
    decoder.reset()
    assert (decoder.skipped_words, decoder.untimed_dropped, decoder.outside_dropped, decoder.time_wraps) == (0,) * 4
    events, triggers = decoder.decode(STREAM[6:])
    assert len(events) == 0 and decoder.untimed_dropped == 3
    assert velmo.io.decode(STREAM + b"\x07")[0].tobytes() == velmo.io.decode(STREAM)[0].tobytes()


def test_threads_take_turns_on_one_decoder_and_run_side_by_side_on_two(camera_bytes):
    events, raw = camera_bytes
    shared = velmo.io.Decoder()
    results = {}

    def run(name, decoder, calls):
        results[name] = [decoder.decode(raw)[0] for _ in range(calls)]

    threads = [threading.Thread(target=run, args=(f"shared {i}", shared, 5)) for i in range(3)]
    threads += [threading.Thread(target=run, args=(f"own {i}", velmo.io.Decoder(), 5)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # Each stream starts again at time 0: every call on the shared decoder but the first is a wrap.
    assert shared.time_wraps == 14
    for name, decoded in results.items():
        for array in decoded:
            assert array[["x", "y", "polarity"]].tolist() == events[["x", "y", "polarity"]].tolist(), name
            assert np.array_equal(array["timestamp"] % (1 << 24), events["timestamp"]), name
    assert all(np.array_equal(a["timestamp"], events["timestamp"]) for i in range(2) for a in results[f"own {i}"][:1])


def test_encode_hook_refuses_other_arrays():
    events = velmo.testing.make_events(3)
    with pytest.raises(TypeError, match="triggers must be"):
        velmo_test_hooks.encode_evt3(events, events)
    with pytest.raises(TypeError, match="events must be"):
        velmo_test_hooks.encode_evt3(events[::2], EMPTY_TRIGGERS)
    with pytest.raises(ValueError, match="event 0 cannot be encoded"):
        velmo_test_hooks.encode_evt3(np.array([(5000, 0, 0, 0)], dtype=velmo.io.event_dtype()), EMPTY_TRIGGERS)


def test_read_raw_decodes_to_what_read_gives_and_shares_the_stream_position():
    as_records, as_raw = velmo.sim.open_camera(), velmo.sim.open_camera()
    for camera in (as_records, as_raw):
        assert camera.tool(hal.TRIGGER_IN).set_param("enable", True)
        camera.read_events(1000)
    for span in (3000, 12_000):
        events, triggers = as_records.read(span)
        raw = as_raw.read_raw(span)
        assert isinstance(raw, bytes)
        decoded, decoded_triggers = velmo.io.decode(raw)
        assert decoded.tobytes() == events.tobytes() and decoded_triggers.tobytes() == triggers.tobytes()
    assert len(decoded_triggers) > 0


@pytest.mark.parametrize("duration_us", [-1, 10_000_001])
def test_read_raw_refuses_spans_naming_duration_us(duration_us):
    with pytest.raises(ValueError, match="duration_us"):
        velmo.sim.open_camera().read_raw(duration_us)
