import math

import pytest

import velmo_hal_py as hal
from velmo_hal_py import (
    BasicParameterInfo,
    BoolParameterInfo,
    EnumParameterInfo,
    FloatParameterInfo,
    IntParameterInfo,
    ToolInfo,
    ToolParameterType,
    ToolType,
)

TOOL_TYPE_VALUES = {
    "BIAS": 0,
    "TRIGGER_IN": 1,
    "ANTI_FLICKER": 3,
    "EVENT_TRAIL_FILTER": 4,
    "EVENT_RATE_CONTROL": 5,
    "ROI": 6,
    "APS_CTRL": 7,
}
PARAMETER_TYPE_VALUES = {"INT": 0, "FLOAT": 1, "BOOL": 2, "STRING": 3, "ENUM": 4}
RECORD_CLASSES = [ToolInfo, BasicParameterInfo, IntParameterInfo, FloatParameterInfo, BoolParameterInfo, EnumParameterInfo]


class TestEnums:
    def test_members_in_value_order(self):
        assert {name: int(member) for name, member in ToolType.__members__.items()} == TOOL_TYPE_VALUES
        assert list(ToolType.__members__) == list(TOOL_TYPE_VALUES)
        assert {name: int(member) for name, member in ToolParameterType.__members__.items()} == PARAMETER_TYPE_VALUES

    @pytest.mark.parametrize("name", TOOL_TYPE_VALUES)
    def test_tool_type_members_are_module_attributes(self, name):
        assert getattr(hal, name) is getattr(ToolType, name)

    @pytest.mark.parametrize("name", PARAMETER_TYPE_VALUES)
    def test_parameter_type_members_are_not_module_attributes(self, name):
        with pytest.raises(AttributeError):
            getattr(hal, name)

    @pytest.mark.parametrize("enum, value", [(ToolType, 0), (ToolType, 3), (ToolParameterType, 4)])
    def test_scoped_members_never_equal_ints(self, enum, value):
        member = enum(value)
        assert member != value
        assert member == enum(value=value)

    def test_display_name_of_parameter_type(self):
        assert hal.tool_parameter_type_to_string(ToolParameterType.FLOAT) == "FLOAT"
        assert hal.tool_parameter_type_to_string(type=ToolParameterType.ENUM) == "ENUM"
        assert hal.tool_parameter_type_to_string.__doc__.rstrip().endswith("Convert the ToolParameterType to string.")

    @pytest.mark.parametrize("argument", [1, "FLOAT", ToolType.TRIGGER_IN, None])
    def test_display_name_refuses_anything_but_a_parameter_type(self, argument):
        with pytest.raises(TypeError):
            hal.tool_parameter_type_to_string(argument)


class TestRecordDefaults:
    def test_value_initialised(self):
        info = ToolInfo()
        assert (info.tool_type, info.parameter_names, info.description) == (ToolType.BIAS, [], "")
        basic = BasicParameterInfo()
        assert (basic.name, basic.description, basic.type) == ("", "", ToolParameterType.INT)
        for record in (IntParameterInfo(), FloatParameterInfo()):
            assert (record.min, record.max, record.default_value, record.unit) == (0, 0, 0, "")
        assert BoolParameterInfo().default_value is False
        assert (EnumParameterInfo().options, EnumParameterInfo().default_value) == ([], "")

    @pytest.mark.parametrize("cls", RECORD_CLASSES)
    def test_only_default_constructor(self, cls):
        with pytest.raises(TypeError):
            cls(1)

    @pytest.mark.parametrize("cls", RECORD_CLASSES[2:])
    def test_typed_records_are_not_basic_records(self, cls):
        record = cls()
        assert not isinstance(record, BasicParameterInfo)
        for attribute in ("name", "description", "type", "first_callback", "second_callback"):
            assert not hasattr(record, attribute)

    @pytest.mark.parametrize("cls", RECORD_CLASSES)
    def test_plain_values_without_equality(self, cls):
        assert cls() != cls()
        assert repr(cls()).startswith(f"<velmo_hal_py.{cls.__name__} object at")


class TestProperties:
    @pytest.mark.parametrize("cls", [IntParameterInfo, FloatParameterInfo])
    @pytest.mark.parametrize("field", ["min", "max", "default_value"])
    def test_numeric_fields_hold_signed_32_bit(self, cls, field):
        record = cls()
        setattr(record, field, -(2**31))
        assert getattr(record, field) == -(2**31)
        if cls is IntParameterInfo:
            for refused in (2**31, -(2**31) - 1, 1.0, "1", None):
                with pytest.raises(TypeError):
                    setattr(record, field, refused)
                assert getattr(record, field) == -(2**31)

    def test_float_fields_round_to_single_precision(self):
        record = FloatParameterInfo()
        record.max = 0.1
        assert record.max == 0.10000000149011612
        record.min = 3
        assert record.min == 3.0 and isinstance(record.min, float)
        with pytest.raises(TypeError):
            record.min = "0.5"
        assert record.min == 3.0

    @pytest.mark.parametrize(
        "record, field, refused, kept",
        [
            (ToolInfo(), "tool_type", 6, ToolType.BIAS),
            (ToolInfo(), "tool_type", ToolParameterType.INT, ToolType.BIAS),
            (BasicParameterInfo(), "type", 0, ToolParameterType.INT),
            (BoolParameterInfo(), "default_value", "yes", False),
            (ToolInfo(), "parameter_names", "abc", []),
            (ToolInfo(), "parameter_names", b"abc", []),
            (EnumParameterInfo(), "options", ["a", 1], []),
            (EnumParameterInfo(), "options", None, []),
            (EnumParameterInfo(), "default_value", 5, ""),
        ],
    )
    def test_wrong_type_keeps_old_value(self, record, field, refused, kept):
        with pytest.raises(TypeError):
            setattr(record, field, refused)
        assert getattr(record, field) == kept

    def test_enum_fields_take_members(self):
        info = ToolInfo()
        info.tool_type = ToolType.ROI
        basic = BasicParameterInfo()
        basic.type = ToolParameterType.ENUM
        assert (info.tool_type, basic.type) == (ToolType.ROI, ToolParameterType.ENUM)

    @pytest.mark.parametrize(
        "cls, field, first, second",
        [
            (ToolInfo, "tool_type", ToolType.ROI, ToolType.BIAS),
            (ToolInfo, "parameter_names", ["a"], ["b"]),
            (ToolInfo, "description", "one", "two"),
            (BasicParameterInfo, "name", "one", "two"),
            (BasicParameterInfo, "description", "one", "two"),
            (BasicParameterInfo, "type", ToolParameterType.ENUM, ToolParameterType.FLOAT),
            (IntParameterInfo, "min", 1, 2),
            (IntParameterInfo, "max", 1, 2),
            (IntParameterInfo, "default_value", 1, 2),
            (IntParameterInfo, "unit", "ms", "us"),
            (FloatParameterInfo, "min", 1.5, 2.5),
            (FloatParameterInfo, "max", 1.5, 2.5),
            (FloatParameterInfo, "default_value", 1.5, 2.5),
            (FloatParameterInfo, "unit", "ms", "us"),
            (BoolParameterInfo, "default_value", True, False),
            (EnumParameterInfo, "options", ["a"], ["b"]),
            (EnumParameterInfo, "default_value", "a", "b"),
        ],
    )
    def test_a_value_read_keeps_it_through_later_writes(self, cls, field, first, second):
        record = cls()
        setattr(record, field, first)
        read = getattr(record, field)
        setattr(record, field, second)
        assert (read, type(read)) == (first, type(first))

    @pytest.mark.parametrize("cls, field", [(ToolInfo, "parameter_names"), (EnumParameterInfo, "options")])
    def test_lists_are_copied_both_ways(self, cls, field):
        record = cls()
        source = ["a", "b"]
        setattr(record, field, source)
        source.append("c")
        getattr(record, field).append("d")
        assert getattr(record, field) == ["a", "b"]
        setattr(record, field, ("x", b"y"))
        assert getattr(record, field) == ["x", "y"]


def make(cls, **fields):
    record = cls()
    for name, value in fields.items():
        setattr(record, name, value)
    return record


@pytest.mark.parametrize(
    "record, text",
    [
        (make(IntParameterInfo), "Min: 0 Max: 0 Default: 0 Unit: "),
        (make(IntParameterInfo, min=-5, max=10, default_value=3, unit="ms"), "Min: -5 Max: 10 Default: 3 Unit: ms"),
        (make(FloatParameterInfo, max=1.5, default_value=0.25), "Min: 0.000000 Max: 1.500000 Default: 0.250000 Unit: "),
        (make(FloatParameterInfo, min=-1e-7, max=float("inf"), unit="%"), "Min: -0.000000 Max: inf Default: 0.000000 Unit: %"),
        (make(BoolParameterInfo), "Default: 0"),
        (make(BoolParameterInfo, default_value=True), "Default: 1"),
        (make(EnumParameterInfo, options=["a", "b", "c"], default_value="b"), "Options: 3 Default: b"),
        (make(EnumParameterInfo), "Options: 0 Default: "),
        (make(BasicParameterInfo), "Name:  Description:  Type: INT"),
        (make(BasicParameterInfo, name="x", description="a: b\nc", type=ToolParameterType.ENUM), "Name: x Description: a: b\nc Type: ENUM"),
        (make(ToolInfo, tool_type=ToolType.ROI, description="d", parameter_names=["x", "y"]), "ToolType: ROI\nDescription: d\nParameters: x y "),
        (make(ToolInfo), "ToolType: BIAS\nDescription: \nParameters: "),
    ],
)
def test_text_forms(record, text):
    assert str(record) == text


class TestConstraintValue:
    @pytest.mark.parametrize(
        "low, high, value, expected",
        [(0, 0, 5, 0), (0, 0, -5, 0), (0, 10, -1, 0), (0, 10, 11, 10), (0, 10, 10, 10), (0, 10, 5, 5),
         (10, 0, 5, 10), (10, 0, 15, 0), (10, 0, 10, 0), (-(2**31), 2**31 - 1, -(2**31), -(2**31))],
    )
    def test_int(self, low, high, value, expected):
        record = make(IntParameterInfo, min=low, max=high)
        assert record.constraint_value(value) == expected
        assert record.constraint_value(value=value) == expected
        assert (record.min, record.max) == (low, high)

    @pytest.mark.parametrize(
        "low, high, value, expected",
        [(0.0, 1.0, 0.1, 0.10000000149011612), (0.0, 1.0, -2.0, 0.0), (0.0, 1.0, 7, 1.0),
         (10.0, 0.0, 5.0, 10.0), (10.0, 0.0, 15.0, 0.0)],
    )
    def test_float_in_single_precision(self, low, high, value, expected):
        assert make(FloatParameterInfo, min=low, max=high).constraint_value(value) == expected

    def test_float_nan_passes_through(self):
        assert math.isnan(make(FloatParameterInfo, max=1.0).constraint_value(float("nan")))

    @pytest.mark.parametrize("cls, argument", [(IntParameterInfo, 1.5), (IntParameterInfo, 2**31), (FloatParameterInfo, "1")])
    def test_wrong_argument(self, cls, argument):
        with pytest.raises(TypeError):
            cls().constraint_value(argument)

    @pytest.mark.parametrize("cls", [IntParameterInfo, FloatParameterInfo])
    def test_docstring(self, cls):
        assert cls.constraint_value.__doc__.rstrip().endswith("Constraint the value.")
