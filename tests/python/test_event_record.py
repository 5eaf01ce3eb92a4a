import numpy as np
import pytest
import velmo_base_py
import velmo.io
import velmo.sim
import velmo.testing
from velmo_base_py import Event2D

FIELDS = [("x", "x", 0, 2, 2**16 - 1), ("y", "y", 2, 2, 2**16 - 1), ("p", "polarity", 4, 1, 2**8 - 1),
          ("t", "timestamp", 8, 8, 2**64 - 1)]
ATTRIBUTES = [(attribute, largest) for attribute, _, _, _, largest in FIELDS]


def test_event_cannot_be_created_from_python():
    with pytest.raises(TypeError):
        Event2D()


def test_native_code_in_another_module_returns_the_registered_class(event):
    assert type(event) is Event2D
    assert (event.x, event.y, event.p, event.t) == (1, 2, 1, 3)
    assert Event2D.__doc__ is None


@pytest.mark.parametrize("attribute, largest", ATTRIBUTES)
@pytest.mark.parametrize("edge", ["zero", "largest"])
def test_attribute_accepts_its_field_range_and_native_code_sees_it(event, attribute, largest, edge):
    value = 0 if edge == "zero" else largest
    setattr(event, attribute, value)
    assert getattr(event, attribute) == value
    fields = dict(zip("xypt", velmo.testing.read_event(event)))
    assert fields[attribute] == value


@pytest.mark.parametrize("attribute, largest", ATTRIBUTES)
@pytest.mark.parametrize("make_bad", [lambda largest: largest + 1, lambda _: -1, lambda _: 1.0, lambda _: "1"])
def test_attribute_rejects_other_values_and_keeps_the_old_one(event, attribute, largest, make_bad):
    before = velmo.testing.read_event(event)
    with pytest.raises(TypeError):
        setattr(event, attribute, make_bad(largest))
    assert velmo.testing.read_event(event) == before


@pytest.mark.parametrize("name", ["polarity", "timestamp", "extra"])
def test_array_field_names_are_not_attributes(event, name):
    with pytest.raises(AttributeError):
        getattr(event, name)
    with pytest.raises(AttributeError):
        setattr(event, name, 1)


def test_dtype_layout():
    dtype = velmo.io.event_dtype()
    assert dtype.itemsize == 16
    assert dtype.names == ("x", "y", "polarity", "timestamp")
    assert [dtype.fields[name][1] for name in dtype.names] == [0, 2, 4, 8]
    assert [dtype.fields[name][0] for name in dtype.names] == [np.dtype(t) for t in ("=u2", "=u2", "u1", "=u8")]
    assert "p" not in dtype.names and "t" not in dtype.names
    assert not hasattr(velmo_base_py, "dtype")


@pytest.mark.parametrize("attribute, name, offset, width, largest", FIELDS)
def test_field_write_changes_exactly_its_own_bytes(event_bytes, attribute, name, offset, width, largest):
    array, buffer = event_bytes(3)
    before = bytes(buffer)
    array[name][1] = largest
    changed = [i for i in range(len(buffer)) if buffer[i] != before[i]]
    assert changed == list(range(16 + offset, 16 + offset + width))
    assert velmo.testing.read_event(array[1])[["x", "y", "p", "t"].index(attribute)] == largest


def test_fill_bytes_survive_writes_of_every_field(event_bytes):
    array, buffer = event_bytes(4, marker=0x3C)
    array["x"], array["y"], array["polarity"], array["timestamp"] = 7, 8, 1, 2**40
    for item in range(4):
        assert buffer[16 * item + 5:16 * item + 8] == b"\x3c\x3c\x3c"
    assert velmo.testing.sum_events(array) == (28, 32, 4, 4 * 2**40)


def test_numpy_scalar_is_read_in_place_by_native_code(events):
    scalar = events[10]
    assert isinstance(scalar, np.void)
    assert velmo.testing.read_event(scalar) == tuple(int(scalar[name]) for name in ("x", "y", "polarity", "timestamp"))


@pytest.mark.parametrize(
    "not_an_event",
    [
        np.zeros(1, dtype=[("x", "u2"), ("y", "u2"), ("polarity", "u1"), ("timestamp", "u8")])[0],
        np.zeros(1, dtype=np.dtype([("a", "u8"), ("b", "u8")]))[0],
        (1, 2, 1, 3),
        None,
    ],
)
def test_read_event_refuses_what_is_not_an_event(not_an_event):
    with pytest.raises(TypeError):
        velmo.testing.read_event(not_an_event)


def test_make_event_checks_field_ranges():
    with pytest.raises(TypeError):
        velmo.testing.make_event(2**16, 0, 0, 0)
    with pytest.raises(TypeError):
        velmo.testing.make_event(0, 0, 256, 0)
    assert velmo.testing.read_event(velmo.testing.make_event(65535, 65535, 255, 2**64 - 1)) == (65535, 65535, 255, 2**64 - 1)


def test_make_events_is_deterministic_and_valid():
    first = velmo.testing.make_events(5000, seed=11)
    assert first.dtype == velmo.io.event_dtype() and first.shape == (5000,)
    assert first.tobytes() == velmo.testing.make_events(5000, seed=11).tobytes()
    assert first.tobytes() != velmo.testing.make_events(5000, seed=12).tobytes()
    assert first["x"].max() < 1280 and first["y"].max() < 720
    assert set(np.unique(first["polarity"])) == {0, 1}
    assert np.all(np.diff(first["timestamp"].astype(np.int64)) >= 0)
    raw = first.view(np.uint8).reshape(-1, 16)
    assert not raw[:, 5:8].any()


def test_make_events_counts():
    assert velmo.testing.make_events(0).shape == (0,)
    with pytest.raises(ValueError, match="-1"):
        velmo.testing.make_events(-1)


def python_sums(array):
    return tuple(sum(int(v) for v in array[name].ravel()) for name in ("x", "y", "polarity", "timestamp"))


VIEWS = {
    "whole": lambda a: a,
    "every second": lambda a: a[::2],
    "reversed": lambda a: a[::-1],
    "offset step three": lambda a: a[1::3],
    "empty": lambda a: a[5:5],
    "two-dimensional": lambda a: a.reshape(40, 25),
    "transposed": lambda a: a.reshape(40, 25).T,
    "three-dimensional strided": lambda a: a.reshape(10, 10, 10)[::2, ::-3, 1:],
    "zero-dimensional": lambda a: a[7:8].reshape(()),
    "repeated by zero stride": lambda a: np.broadcast_to(a[3:4], (6, 50)),
    "read-only": lambda a: np.frombuffer(a.tobytes(), dtype=a.dtype),
}


@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
def test_sum_events_matches_numpy_on_any_view(events, view):
    selected = view(events)
    assert velmo.testing.sum_events(selected) == python_sums(selected)


def test_sum_events_reads_a_field_of_a_larger_record(events):
    wide = np.zeros(len(events), dtype=[("tag", "u1"), ("event", velmo.io.event_dtype()), ("tail", "u4")])
    wide["event"] = events
    assert wide["event"].strides == (wide.dtype.itemsize,)
    assert velmo.testing.sum_events(wide["event"]) == python_sums(events)


def test_sum_events_reads_misaligned_records(events):
    buffer = bytearray(1) + events.tobytes()
    misaligned = np.frombuffer(buffer, dtype=events.dtype, offset=1)
    assert velmo.testing.sum_events(misaligned) == python_sums(events)


def test_sum_events_does_not_wrap_around():
    events = np.zeros(3, dtype=velmo.io.event_dtype())
    events["timestamp"] = 2**64 - 1
    events["x"] = 65535
    assert velmo.testing.sum_events(events) == (3 * 65535, 0, 0, 3 * (2**64 - 1))


@pytest.mark.parametrize(
    "array",
    [
        np.zeros(4, dtype=np.uint8),
        np.zeros((4, 16), dtype=np.uint8),
        np.zeros(4, dtype=[("x", "u2"), ("y", "u2"), ("polarity", "u1"), ("timestamp", "u8")]),
        np.zeros(4, dtype={"names": ["y", "x", "polarity", "timestamp"], "formats": ["u2", "u2", "u1", "u8"],
                           "offsets": [0, 2, 4, 8], "itemsize": 16}),
        np.zeros(4, dtype=velmo.io.event_dtype().newbyteorder("S")),
    ],
    ids=["bytes", "byte rows", "packed", "renamed", "swapped byte order"],
)
def test_sum_events_refuses_other_dtypes(array):
    with pytest.raises(TypeError, match="Event2D"):
        velmo.testing.sum_events(array)


def test_sum_events_refuses_a_list(events):
    with pytest.raises(TypeError):
        velmo.testing.sum_events(list(events))
