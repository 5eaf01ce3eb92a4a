"""Property-based checks of the bindings against small reference models written in Python.

The examples are derived from each test's name (derandomize) and no example database is kept,
so every run, in CI or anywhere else, tries the same inputs. VELMO_HYPOTHESIS_EXAMPLES sets
the examples per property (default 300); the emulated arm64 run lowers it.
"""

import math
import os
import operator
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmo.io
import velmo.sim
import velmo.testing
from velmo_hal_py import (
    INTERFACE_TYPE,
    BasicParameterInfo,
    BoolParameterInfo,
    CameraDescription,
    CameraTool,
    EnumParameterInfo,
    FloatParameterInfo,
    IntParameterInfo,
    RawEventStreamEncodingType,
    RawEventStreamFormat,
    ToolInfo,
    ToolParameterType,
    ToolType,
)

PROPERTIES = settings(
    max_examples=int(os.environ.get("VELMO_HYPOTHESIS_EXAMPLES", "300")),
    deadline=None,
    derandomize=True,
    database=None,
    # capfd is read out at the start of every example, so sharing it between examples is safe.
    suppress_health_check=[HealthCheck.function_scoped_fixture],
)

INT32 = st.integers(-(2**31), 2**31 - 1)
ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True)
TEXT = st.text(max_size=24)


def single(value):
    """The float that a 32-bit float field or argument holds for value, widened back."""
    with np.errstate(over="ignore"):
        return float(np.float32(value))


def c_text(conversion, value):
    """What C's printf gives for one double: like Python's % formatting except for the sign
    that glibc shows on a negative NaN."""
    if math.isnan(value):
        return "-nan" if math.copysign(1.0, value) < 0 else "nan"
    return conversion % value


def same_float(actual, expected):
    if math.isnan(expected):
        return math.isnan(actual)
    return actual == expected and math.copysign(1.0, actual) == math.copysign(1.0, expected)


def quoted(data):
    """A text in a device message: double quotes around well-formed UTF-8, with a quote or a
    backslash escaped by a backslash and control characters and stray bytes as \\xNN."""
    if isinstance(data, str):
        data = data.encode()
    out, at = ['"'], 0
    while at < len(data):
        byte = data[at]
        if byte in b'"\\':
            out.append("\\" + chr(byte))
            at += 1
            continue
        length = 1 if byte < 0x80 else 2 if byte < 0xE0 else 3 if byte < 0xF0 else 4
        try:
            piece = data[at : at + length].decode("utf-8")
        except UnicodeDecodeError:
            piece = None
        if piece is None or byte < 0x20 or byte == 0x7F:
            out.append(f"\\x{byte:02x}")
            at += 1
        else:
            out.append(piece)
            at += length
    return "".join(out) + '"'


class TestClamping:
    @PROPERTIES
    @given(low=INT32, high=INT32, value=INT32)
    def test_int_record(self, low, high, value):
        info = IntParameterInfo()
        info.min, info.max = low, high
        expected = low if low > value else high if high <= value else value
        assert info.constraint_value(value) == expected
        assert info.constraint_value(value=value) == expected
        assert (info.min, info.max) == (low, high)

    @PROPERTIES
    @given(value=st.integers(max_value=-(2**31) - 1) | st.integers(min_value=2**31) | ANY_FLOAT | TEXT)
    def test_int_record_refuses_what_is_no_int32(self, value):
        with pytest.raises(TypeError):
            IntParameterInfo().constraint_value(value)

    @PROPERTIES
    @given(low=ANY_FLOAT, high=ANY_FLOAT, value=ANY_FLOAT | INT32)
    def test_float_record_in_single_precision(self, low, high, value):
        info = FloatParameterInfo()
        info.min, info.max = low, high
        low, high, rounded = single(low), single(high), single(value)
        expected = low if low > rounded else high if high < rounded else rounded
        assert same_float(info.constraint_value(value), expected)
        assert same_float(info.min, low) and same_float(info.max, high)


TOOL_TYPE_NAMES = {int(member): name for name, member in ToolType.__members__.items()}
PARAMETER_TYPE_NAMES = {int(member): name for name, member in ToolParameterType.__members__.items()}


def display_name(enum_name, names, value):
    return names.get(value, f"{enum_name}({value})")


class TestTextForms:
    @PROPERTIES
    @given(low=INT32, high=INT32, default=INT32, unit=TEXT)
    def test_int_record(self, low, high, default, unit):
        info = IntParameterInfo()
        info.min, info.max, info.default_value, info.unit = low, high, default, unit
        assert str(info) == f"Min: {low} Max: {high} Default: {default} Unit: {unit}"

    @PROPERTIES
    @given(low=ANY_FLOAT, high=ANY_FLOAT, default=ANY_FLOAT, unit=TEXT)
    def test_float_record(self, low, high, default, unit):
        info = FloatParameterInfo()
        info.min, info.max, info.default_value, info.unit = low, high, default, unit
        fixed = [c_text("%f", single(number)) for number in (low, high, default)]
        assert str(info) == f"Min: {fixed[0]} Max: {fixed[1]} Default: {fixed[2]} Unit: {unit}"

    @PROPERTIES
    @given(default=st.booleans(), options=st.lists(TEXT, max_size=6), choice=TEXT)
    def test_bool_and_enum_records(self, default, options, choice):
        boolean = BoolParameterInfo()
        boolean.default_value = default
        assert str(boolean) == f"Default: {int(default)}"
        enum = EnumParameterInfo()
        enum.options, enum.default_value = options, choice
        assert str(enum) == f"Options: {len(options)} Default: {choice}"
        assert enum.options == options

    @PROPERTIES
    @given(kind=INT32, names=st.lists(TEXT, max_size=6), description=TEXT)
    def test_tool_info(self, kind, names, description):
        info = ToolInfo()
        info.tool_type, info.parameter_names, info.description = ToolType(kind), names, description
        type_name = display_name("ToolType", TOOL_TYPE_NAMES, kind)
        assert str(info) == f"ToolType: {type_name}\nDescription: {description}\nParameters: " + "".join(
            name + " " for name in names
        )

    @PROPERTIES
    @given(name=TEXT, description=TEXT, kind=INT32)
    def test_basic_record(self, name, description, kind):
        info = BasicParameterInfo()
        info.name, info.description, info.type = name, description, ToolParameterType(kind)
        type_name = display_name("ToolParameterType", PARAMETER_TYPE_NAMES, kind)
        assert str(info) == f"Name: {name} Description: {description} Type: {type_name}"

    @pytest.mark.parametrize(
        "cls, field, text_form",
        [
            (IntParameterInfo, "unit", "Min: 0 Max: 0 Default: 0 Unit: {}"),
            (CameraDescription, "serial", "Product: - \nSerial: {} \nInterface: USB"),
        ],
    )
    @PROPERTIES
    @given(data=st.binary(max_size=12))
    def test_text_given_as_bytes(self, cls, field, text_form, data):
        record = cls()
        setattr(record, field, data)
        text = decoded_or_error(data)
        assert call_or_error(lambda: getattr(record, field)) == text
        assert call_or_error(lambda: str(record)) == (
            UnicodeDecodeError if text is UnicodeDecodeError else text_form.format(text)
        )


EVENT_ATTRIBUTES = {"x": 16, "y": 16, "p": 8, "t": 64}
ARRAY_FIELDS = {"x": (16, 0, 2), "y": (16, 2, 4), "polarity": (8, 4, 5), "timestamp": (64, 8, 16)}
AROUND_THE_RANGES = st.integers(-(2**66), 2**66) | st.sampled_from([-1, 0, 255, 256, 65535, 65536, 2**64 - 1, 2**64])


class TestEventRecord:
    @PROPERTIES
    @given(attribute=st.sampled_from(sorted(EVENT_ATTRIBUTES)), value=AROUND_THE_RANGES | st.booleans())
    def test_attribute_takes_exactly_its_range(self, attribute, value):
        event = velmo.testing.make_event(1, 2, 1, 3)
        fields = dict(zip("xypt", velmo.testing.read_event(event)))
        if 0 <= value < 2 ** EVENT_ATTRIBUTES[attribute]:
            setattr(event, attribute, value)
            fields[attribute] = int(value)
        else:
            with pytest.raises(TypeError):
                setattr(event, attribute, value)
        assert dict(zip("xypt", velmo.testing.read_event(event))) == fields
        assert getattr(event, attribute) == fields[attribute]

    @PROPERTIES
    @given(attribute=st.sampled_from(sorted(EVENT_ATTRIBUTES)), value=ANY_FLOAT | TEXT | st.none())
    def test_attribute_refuses_what_is_no_integer(self, attribute, value):
        event = velmo.testing.make_event(1, 2, 1, 3)
        with pytest.raises(TypeError):
            setattr(event, attribute, value)
        assert velmo.testing.read_event(event) == (1, 2, 1, 3)

    @PROPERTIES
    @given(field=st.sampled_from(sorted(ARRAY_FIELDS)), index=st.integers(0, 3), value=AROUND_THE_RANGES)
    def test_array_field_writes_only_its_own_bytes(self, field, index, value):
        buffer = bytearray(b"\xa5" * 64)
        events = np.frombuffer(buffer, dtype=velmo.io.event_dtype())
        before = bytes(buffer)
        bits, start, end = ARRAY_FIELDS[field]
        if not 0 <= value < 2**bits:
            with pytest.raises(OverflowError):
                events[field][index] = value
            assert bytes(buffer) == before
            return
        events[field][index] = value
        position = list(ARRAY_FIELDS).index(field)
        assert velmo.testing.read_event(events[index])[position] == value
        item = slice(16 * index + start, 16 * index + end)
        assert buffer[item] == value.to_bytes(end - start, "little")
        assert buffer[: item.start] + buffer[item.stop :] == before[: item.start] + before[item.stop :]


NO_CONVERSION = object()


def overload_reached(value):
    """The setParam overload that set_param gives value to, and the value as the device library
    writes it in its log line; NO_CONVERSION when set_param must raise TypeError."""
    if isinstance(value, np.bool_):
        return "bool", "true" if value else "false"
    if value is None:
        return "bool", "false"
    if isinstance(value, (str, bytes, bytearray)):
        return "string", quoted(bytes(value) if not isinstance(value, str) else value)
    if hasattr(type(value), "__index__"):
        number = operator.index(value)
        if -(2**31) <= number < 2**31:
            return "int", str(number)
    try:
        number = float(value)
    except (TypeError, ValueError, OverflowError):
        return NO_CONVERSION
    return "float", c_text("%g", single(number))


SET_PARAM_VALUES = st.one_of(
    st.integers(),
    st.integers(-(2**40), 2**40),
    # Beyond what a double holds: no float conversion either.
    st.integers(2**1024, 2**1100) | st.integers(-(2**1100), -(2**1024)),
    st.booleans(),
    ANY_FLOAT,
    st.none(),
    TEXT,
    st.binary(max_size=12),
    st.binary(max_size=12).map(bytearray),
    st.floats(width=32).map(np.float32),
    st.integers(-(2**63), 2**63 - 1).map(np.int64),
    st.booleans().map(np.bool_),
    st.fractions(),
    st.decimals(allow_nan=False),
    st.complex_numbers(),
    st.lists(st.integers(), max_size=2),
    st.dictionaries(TEXT, st.integers(), max_size=2),
)


class TestSetParamRouting:
    @PROPERTIES
    @given(name=TEXT, value=SET_PARAM_VALUES)
    def test_value_reaches_the_overload_of_its_kind(self, capfd, name, value):
        capfd.readouterr()
        tool = CameraTool("")
        reached = overload_reached(value)
        if reached is NO_CONVERSION:
            with pytest.raises(TypeError, match="incompatible function arguments"):
                tool.set_param(name, value)
            assert capfd.readouterr().err == ""
            return
        kind, text = reached
        assert tool.set_param(name, value) is False
        # A log record ends at "\n" alone; str.splitlines would also break at U+0085 and others.
        lines = capfd.readouterr().err.split("\n")
        assert len(lines) == 2 and lines[1] == ""
        assert lines[0].startswith(
            f"[WARNING] setParam({kind}) is not supported by this tool: parameter {quoted(name)}, value {text} ("
        )

    @PROPERTIES
    @given(value=SET_PARAM_VALUES)
    def test_registry_base_takes_int32_only(self, capfd, value):
        capfd.readouterr()
        tool = velmo.testing.make_registry_tool([])
        reached = overload_reached(value)
        if reached is NO_CONVERSION or reached[0] != "int" or isinstance(value, np.bool_):
            with pytest.raises(TypeError):
                tool.set_param("gain", value)
            assert capfd.readouterr().err == ""
            return
        assert tool.set_param("gain", value) is False
        assert f"setParam(int) is not supported by this tool: parameter \"gain\", value {reached[1]} (" in (
            capfd.readouterr().err
        )


    @pytest.mark.parametrize("value", [np.float32(12.5), Fraction(25, 2), Decimal("12.5")])
    def test_fractional_numbers_reach_a_float_parameter_whole(self, value):
        tool = velmo.testing.make_tool(ToolType.ANTI_FLICKER)
        assert tool.set_param("duty_cycle", value) is True
        assert tool.get_param("duty_cycle") == (True, 12.5)

    @pytest.mark.parametrize("value", [2**1100, -(2**1100), 1 + 2j, Fraction(10**400)])
    def test_values_no_overload_represents_leave_the_tool_alone(self, capfd, value):
        tool = velmo.testing.make_tool(ToolType.ROI)
        with pytest.raises(TypeError, match="incompatible function arguments"):
            tool.set_param("enable", value)
        assert tool.get_param("enable") == (True, False)
        assert capfd.readouterr().err == ""


def format_reference(data):
    """(encoding, options) as the device reads data, or None when it refuses it."""
    if not data:
        return None
    encoding, *fields = data.split(b";")
    if not encoding:
        return None
    options = {}
    for field in fields:
        name, equals, value = field.partition(b"=")
        if not equals or not name or name in options:
            return None
        if name in (b"width", b"height") and not (value.isdigit() and 1 <= int(value) <= 65535):
            return None
        options[name] = value
    return encoding, options


NAME_PIECES = st.sampled_from([b"width", b"height", b"a", b"", b"w\x00", b"\xff"]) | st.binary(max_size=4)
VALUE_PIECES = st.sampled_from([b"1", b"720", b"00042", b"0", b"65535", b"65536", b"+5", b" 5", b"1e3", b"\xc3\xa9"])
STRUCTURED_FORMATS = st.builds(
    lambda encoding, pairs: b";".join([encoding] + [name + separator + value for name, separator, value in pairs]),
    st.sampled_from([b"EVT3", b"evt3", b"", b"EVT21", b"\xff"]) | st.binary(max_size=4),
    st.lists(
        st.tuples(NAME_PIECES, st.sampled_from([b"=", b"", b"=="]), VALUE_PIECES | st.binary(max_size=3)), max_size=4
    ),
)


def decoded_or_error(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return UnicodeDecodeError


def call_or_error(operation):
    try:
        return operation()
    except UnicodeDecodeError:
        return UnicodeDecodeError


class TestRawEventStreamFormat:
    @PROPERTIES
    @given(data=STRUCTURED_FORMATS | st.binary(max_size=40) | TEXT.map(str.encode))
    def test_any_text_gives_a_format_or_a_value_error(self, data):
        expected = format_reference(data)
        inputs = [data, bytearray(data)]
        if decoded_or_error(data) is not UnicodeDecodeError:
            inputs.append(data.decode())
        for given_text in inputs:
            if expected is None:
                with pytest.raises(ValueError) as refused:
                    RawEventStreamFormat(given_text)
                assert str(refused.value).startswith(f"invalid raw event stream format {quoted(data)}: ")
                continue
            encoding, options = expected
            parsed = RawEventStreamFormat(given_text)
            evt3 = RawEventStreamEncodingType.EVT3 if encoding == b"EVT3" else RawEventStreamEncodingType.UNKNOWN
            assert parsed.get_encoding_type() == evt3
            assert call_or_error(parsed.get_encoding_type_str) == decoded_or_error(encoding)
            for name, value in options.items():
                assert parsed.contains(name) is True
                assert call_or_error(lambda: parsed[name]) == decoded_or_error(value)
            missing = b"missing" + b"".join(options)
            assert parsed.contains(missing) is False
            with pytest.raises(IndexError) as lookup:
                parsed[missing]
            assert str(lookup.value) == f"raw event stream format has no option {quoted(missing)}"

    @PROPERTIES
    @given(value=st.integers() | ANY_FLOAT | st.none() | st.lists(TEXT, max_size=2) | st.characters(categories=["Cs"]))
    def test_what_is_no_text_is_refused(self, value):
        with pytest.raises(TypeError):
            RawEventStreamFormat(value)


class TestCameraDescription:
    @PROPERTIES
    @given(serial=TEXT, product=TEXT, manufacturer=TEXT)
    def test_texts_round_trip_and_print(self, serial, product, manufacturer):
        description = CameraDescription()
        description.serial, description.product, description.manufacturer = serial, product, manufacturer
        assert (description.serial, description.product, description.manufacturer) == (serial, product, manufacturer)
        assert str(description) == f"Product: {manufacturer}-{product} \nSerial: {serial} \nInterface: USB"

    @PROPERTIES
    @given(field=st.sampled_from(["vid", "pid"]), value=AROUND_THE_RANGES | ANY_FLOAT | TEXT)
    def test_bus_identifiers_take_exactly_16_bits(self, field, value):
        description = CameraDescription()
        setattr(description, field, 7)
        if isinstance(value, int) and 0 <= value <= 65535:
            setattr(description, field, value)
            assert getattr(description, field) == value
        else:
            with pytest.raises(TypeError):
                setattr(description, field, value)
            assert getattr(description, field) == 7
        assert description.interfaceType == INTERFACE_TYPE.USB

    @PROPERTIES
    @given(serial=TEXT | st.binary(max_size=12))
    def test_unknown_serial_is_named_whole_in_the_error(self, serial):
        known = [camera.serial for camera in velmo.sim.list_cameras()]
        data = serial.encode() if isinstance(serial, str) else serial
        if data.decode("utf-8", "replace") in known or not data:
            return
        with pytest.raises(ValueError) as refused:
            velmo.sim.open_camera(serial)
        assert str(refused.value) == f"no camera with serial {quoted(data)}"


# Words of the types the stream uses (so vectors, time and rows get exercised), or anything.
EVT3_WORD = st.one_of(
    st.integers(0, 0xFFFF),
    st.tuples(st.sampled_from([0x0, 0x2, 0x3, 0x4, 0x5, 0x6, 0x8, 0xA]), st.integers(0, 0xFFF)).map(
        lambda word: word[0] << 12 | word[1]
    ),
)
EVT3_BYTES = st.one_of(
    st.binary(max_size=600),
    st.tuples(st.lists(EVT3_WORD, max_size=300), st.binary(max_size=1)).map(
        lambda parts: np.array(parts[0], dtype="<u2").tobytes() + parts[1]
    ),
)


def bits_set(values):
    return sum(bin(int(value)).count("1") for value in values)


class TestDecoder:
    @PROPERTIES
    @given(data=EVT3_BYTES, cuts=st.lists(st.integers(0, 600), max_size=6))
    def test_any_split_decodes_as_one_call_and_the_counters_add_up(self, data, cuts):
        fmt = "EVT3;height=720;width=1280"
        whole = velmo.io.Decoder(fmt)
        events, triggers = whole.decode(data)
        split = velmo.io.Decoder(fmt)
        bounds = [0, *sorted(min(cut, len(data)) for cut in cuts), len(data)]
        pieces = [split.decode(data[start:stop]) for start, stop in zip(bounds, bounds[1:])]
        assert b"".join(piece[0].tobytes() for piece in pieces) == events.tobytes()
        assert b"".join(piece[1].tobytes() for piece in pieces) == triggers.tobytes()
        counters = ("skipped_words", "untimed_dropped", "outside_dropped", "time_wraps")
        assert [getattr(split, name) for name in counters] == [getattr(whole, name) for name in counters]

        words = np.frombuffer(data[: len(data) // 2 * 2], dtype="<u2")
        types = words >> 12
        carried = (
            np.count_nonzero(types == 0x2)
            + bits_set(words[types == 0x4] & 0xFFF)
            + bits_set(words[types == 0x5] & 0xFF)
            + np.count_nonzero(types == 0xA)
        )
        assert len(events) + len(triggers) + whole.untimed_dropped + whole.outside_dropped == carried
        assert whole.skipped_words == np.count_nonzero(np.isin(types, [0x1, 0x9, 0xB, 0xC, 0xD]))
        assert np.all(events["x"] < 1280) and np.all(events["y"] < 720) and np.all(events["polarity"] <= 1)
        assert np.all(triggers["value"] <= 1) and np.all(triggers["channel"] <= 15)
        assert velmo.io.decode(data)[1].tobytes() == triggers.tobytes()
