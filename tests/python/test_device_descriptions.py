import pickle

import pytest
import velmo_hal_py as hal
from velmo_hal_py import (
    CAMERA_TYPE,
    INTERFACE_TYPE,
    CameraDescription,
    RawEventStreamEncodingType,
    RawEventStreamFormat,
)


def test_module_has_no_docstring():
    assert hal.__doc__ is None


@pytest.mark.parametrize(
    "enum, members",
    [
        (INTERFACE_TYPE, [("USB", 0)]),
        (CAMERA_TYPE, [("RUV4", 0), ("Taveo", 1)]),
        (RawEventStreamEncodingType, [("EVT3", 0), ("UNKNOWN", -1)]),
    ],
)
def test_enum_members_in_order_and_not_exported(enum, members):
    assert [(name, int(member)) for name, member in enum.__members__.items()] == members
    for name, value in members:
        assert enum(value) == getattr(enum, name)
        assert enum(value).name == name
        assert pickle.loads(pickle.dumps(enum(value))) == enum(value)
        assert not hasattr(hal, name)


@pytest.mark.parametrize(
    "member, number, equal",
    [
        (INTERFACE_TYPE.USB, 0, True),
        (CAMERA_TYPE.RUV4, 0, True),
        (CAMERA_TYPE.Taveo, 1, True),
        (CAMERA_TYPE.Taveo, 0, False),
        (RawEventStreamEncodingType.EVT3, 0, False),
        (RawEventStreamEncodingType.UNKNOWN, -1, False),
    ],
)
def test_only_unscoped_enums_equal_plain_ints(member, number, equal):
    assert (member == number) is equal
    assert (member != number) is not equal


@pytest.mark.parametrize(
    "enum, value",
    [
        (CAMERA_TYPE, -1),
        (INTERFACE_TYPE, -1),
        (CAMERA_TYPE, 2**32),
        (RawEventStreamEncodingType, 2**31),
        (RawEventStreamEncodingType, -(2**31) - 1),
        (CAMERA_TYPE, 1.0),
    ],
)
def test_enum_constructor_rejects_values_outside_the_underlying_type(enum, value):
    with pytest.raises(TypeError):
        enum(value)


@pytest.mark.parametrize("enum, value", [(CAMERA_TYPE, 2**32 - 1), (RawEventStreamEncodingType, -(2**31))])
def test_enum_constructor_accepts_the_underlying_type_range(enum, value):
    assert int(enum(value=value)) == value


@pytest.mark.parametrize(
    "operation",
    [
        lambda: CAMERA_TYPE.RUV4 < CAMERA_TYPE.Taveo,
        lambda: CAMERA_TYPE.RUV4 | CAMERA_TYPE.Taveo,
        lambda: RawEventStreamEncodingType.EVT3 < RawEventStreamEncodingType.UNKNOWN,
        lambda: INTERFACE_TYPE.USB + 1,
    ],
)
def test_enums_have_no_ordering_or_arithmetic(operation):
    with pytest.raises(TypeError):
        operation()


def test_default_description():
    description = CameraDescription()
    assert (description.serial, description.product, description.manufacturer) == ("", "", "")
    assert (description.vid, description.pid, description.interfaceType) == (0, 0, INTERFACE_TYPE.USB)
    assert str(description) == "Product: - \nSerial:  \nInterface: USB"


def test_description_text_puts_manufacturer_before_product():
    description = CameraDescription()
    description.manufacturer = "Maker Co"
    description.product = "Cam: 1"
    description.serial = "00ff-1"
    assert str(description) == "Product: Maker Co-Cam: 1 \nSerial: 00ff-1 \nInterface: USB"


@pytest.mark.parametrize("field", ["vid", "pid"])
@pytest.mark.parametrize("value", [0, 65535])
def test_bus_ids_accept_16_bit_values(field, value):
    description = CameraDescription()
    setattr(description, field, value)
    assert getattr(description, field) == value


@pytest.mark.parametrize("field", ["vid", "pid"])
@pytest.mark.parametrize("value", [65536, -1, 1.0, "1", None])
def test_bus_ids_reject_other_values_and_keep_the_old_one(field, value):
    description = CameraDescription()
    setattr(description, field, 1234)
    with pytest.raises(TypeError):
        setattr(description, field, value)
    assert getattr(description, field) == 1234


@pytest.mark.parametrize("value", [0, CAMERA_TYPE.RUV4, "USB", None])
def test_interface_type_accepts_only_its_own_members(value):
    description = CameraDescription()
    with pytest.raises(TypeError):
        description.interfaceType = value
    description.interfaceType = INTERFACE_TYPE.USB
    assert description.interfaceType == INTERFACE_TYPE.USB


def test_interface_type_read_keeps_its_value_through_later_writes():
    description = CameraDescription()
    read = description.interfaceType
    description.interfaceType = INTERFACE_TYPE(1)
    assert (read, int(read), int(description.interfaceType)) == (INTERFACE_TYPE.USB, 0, 1)


def test_description_has_only_the_default_constructor():
    with pytest.raises(TypeError):
        CameraDescription("serial")


def test_signatures_name_the_python_enum_types():
    assert "-> velmo_hal_py.INTERFACE_TYPE" in CameraDescription.interfaceType.fget.__doc__
    assert "-> velmo_hal_py.RawEventStreamEncodingType" in RawEventStreamFormat.get_encoding_type.__doc__


def test_format_with_known_encoding_and_options():
    format_ = RawEventStreamFormat("EVT3;height=720;width=1280;label=")
    assert format_.get_encoding_type() == RawEventStreamEncodingType.EVT3
    assert format_.get_encoding_type_str() == "EVT3"
    assert format_["width"] == "1280"
    assert format_.__getitem__(name="height") == "720"
    assert format_["label"] == ""
    assert format_.contains("width") and format_.contains(name="height")
    assert not format_.contains("Width")


@pytest.mark.parametrize("text", ["EVT21;width=640", b"EVT21;width=640", bytearray(b"EVT21;width=640")])
def test_format_keeps_an_unknown_encoding_by_name(text):
    format_ = RawEventStreamFormat(text)
    assert format_.get_encoding_type() == RawEventStreamEncodingType.UNKNOWN
    assert format_.get_encoding_type_str() == "EVT21"
    assert format_["width"] == "640"


def test_missing_option_raises_naming_it():
    format_ = RawEventStreamFormat("EVT3;width=1280")
    with pytest.raises(IndexError, match='"height"'):
        format_["height"]


@pytest.mark.parametrize(
    "text",
    [
        "",
        ";width=1280",
        "EVT3;=5",
        "EVT3;width",
        "EVT3;a=1;a=2",
        "EVT3;width=0",
        "EVT3;width=65536",
        "EVT3;height=72O",
        "EVT3;height=",
        "EVT3;",
    ],
)
def test_malformed_format_text_raises_value_error_quoting_it(text):
    with pytest.raises(ValueError) as raised:
        RawEventStreamFormat(text)
    assert f'"{text}"' in str(raised.value)


@pytest.mark.parametrize("arguments", [(), (3,), (None,), ("EVT3", "EVT3")])
def test_format_constructor_takes_one_text(arguments):
    with pytest.raises(TypeError):
        RawEventStreamFormat(*arguments)


def test_format_constructor_argument_has_no_keyword():
    with pytest.raises(TypeError):
        RawEventStreamFormat(format="EVT3")


def test_format_is_not_a_container():
    format_ = RawEventStreamFormat("EVT3;width=1280")
    with pytest.raises(TypeError):
        format_[0]
    with pytest.raises(TypeError):
        "width" in format_
    for special in ("__contains__", "__len__", "__iter__", "__setitem__", "__str__", "__repr__"):
        assert special not in vars(RawEventStreamFormat)


def test_format_method_docstrings():
    assert RawEventStreamFormat.contains.__doc__.rstrip().endswith("Check if the format contains a specific option")
    assert RawEventStreamFormat.__getitem__.__doc__.rstrip().endswith("Get the value of the option by name")
    assert RawEventStreamFormat.get_encoding_type.__doc__.count("\n") <= 1
