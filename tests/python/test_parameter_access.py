import pytest

import velmo.testing
from velmo_hal_py import (
    BasicParameterInfo,
    BoolParameterInfo,
    CameraTool,
    EnumParameterInfo,
    FloatParameterInfo,
    IntParameterInfo,
    ToolParameterType,
    ToolType,
)

T = ToolParameterType
RECORD_OF = {T.INT: IntParameterInfo, T.FLOAT: FloatParameterInfo, T.BOOL: BoolParameterInfo, T.ENUM: EnumParameterInfo}
START_VALUE = {T.INT: 0, T.FLOAT: 0.0, T.BOOL: False, T.ENUM: ""}


def basic(name, kind):
    record = BasicParameterInfo()
    record.name, record.type = name, kind
    return record


def stored_record(kind):
    record = RECORD_OF[kind]()
    if kind in (T.INT, T.FLOAT):
        record.min, record.max, record.default_value, record.unit = -4, 12, 3, "us"
    elif kind == T.BOOL:
        record.default_value = True
    else:
        record.options, record.default_value = ["slow", "fast"], "fast"
    return record


def registry(key_prefix="", extra=()):
    """One parameter of each kind, named after it, stored under key_prefix + name."""
    entries = [(basic(kind.name.lower(), kind), stored_record(kind)) for kind in RECORD_OF]
    entries.append((basic("label", T.STRING), None))
    return velmo.testing.make_registry_tool(entries + list(extra), key_prefix)


class TableTool(CameraTool):
    """A Python tool serving the same table, with getParamInfo filling the record as stored."""

    def __init__(self, extra=None):
        super().__init__("")
        self.table = {kind.name.lower(): basic(kind.name.lower(), kind) for kind in RECORD_OF}
        self.table["label"] = basic("label", T.STRING)
        self.table.update(extra or {})

    def getToolInfo(self):
        raise AssertionError("not needed")

    def getAllParamInfo(self):
        return self.table

    def getParamInfo(self, name, info):
        stored = stored_record(self.table[name].type)
        for field in ("min", "max", "default_value", "unit", "options"):
            if hasattr(info, field):
                setattr(info, field, getattr(stored, field))
        return True


@pytest.fixture(params=["registry", "prefixed registry", "python"])
def tool(request):
    return {"registry": registry, "prefixed registry": lambda: registry("dev."), "python": TableTool}[request.param]()


@pytest.mark.parametrize("kind", list(RECORD_OF))
def test_param_info_tuple_per_kind(tool, kind):
    result = tool.get_param_info(kind.name.lower())
    assert len(result) == 2
    ok, record = result
    assert ok is True
    assert type(record) is RECORD_OF[kind]
    assert str(record) == str(stored_record(kind))


def test_param_info_record_is_a_copy(tool):
    ok, record = tool.get_param_info("int")
    record.min = 100
    assert tool.get_param_info("int")[1].min == -4


@pytest.mark.parametrize("kind", list(RECORD_OF))
def test_param_tuple_per_kind(capfd, tool, kind):
    result = tool.get_param(kind.name.lower())
    assert result == (False, START_VALUE[kind])
    assert type(result[1]) is type(START_VALUE[kind])
    tool_kind = {T.INT: "int", T.FLOAT: "float", T.BOOL: "bool", T.ENUM: "string"}[kind]
    assert f"getParam({tool_kind}) is not supported" in capfd.readouterr().err


@pytest.mark.parametrize("name", ["label", "INT", "Int", "int ", " int", "", "dev.int", "missing"])
def test_string_and_unknown_names(capfd, tool, name):
    expected = () if name == "label" else (False, None)
    assert tool.get_param_info(name) == expected
    assert tool.get_param(name) == expected
    assert capfd.readouterr().err == ""


def test_type_without_enumerator_gives_empty_tuple():
    tool = TableTool({"odd": basic("odd", T(9))})
    assert tool.get_param_info("odd") == ()
    assert tool.get_param("odd") == ()


class TestRegistryRules:
    def test_failed_query_returns_a_value_initialised_record(self, capfd):
        tool = velmo.testing.make_registry_tool([(basic("gain", T.INT), stored_record(T.INT), "elsewhere")])
        assert list(tool.get_all_param_info()) == ["gain"]
        ok, record = tool.get_param_info("gain")
        assert (ok, str(record)) == (False, str(IntParameterInfo()))
        assert "Parameter gain not found" in capfd.readouterr().err

    @pytest.mark.parametrize("kind, record", [(T.INT, BoolParameterInfo()), (T.ENUM, None), (T.FLOAT, IntParameterInfo())])
    def test_broken_entry_raises(self, kind, record):
        tool = velmo.testing.make_registry_tool([(basic("x", kind), record)])
        with pytest.raises(RuntimeError):
            tool.get_param_info("x")

    def test_table_keyed_by_record_name_last_key_wins(self, capfd):
        tool = registry("p.", [(basic("int", T.BOOL), stored_record(T.BOOL), "zzz")])
        assert tool.get_tool_info().parameter_names == ["p.bool", "p.enum", "p.float", "p.int", "p.label", "zzz"]
        table = tool.get_all_param_info()
        assert list(table) == ["bool", "enum", "float", "int", "label"]
        assert table["int"].type == T.BOOL
        ok, record = tool.get_param_info("int")
        assert (ok, type(record), record.default_value) == (False, BoolParameterInfo, False)
        assert "p.int" in capfd.readouterr().err

    @pytest.mark.parametrize(
        "entries",
        [
            [["not", "a tuple"]],
            [(basic("x", T.INT),)],
            [(basic("x", T.INT), None, "k", "extra")],
            [(IntParameterInfo(), None)],
            [(basic("x", T.INT), "record")],
            [(basic("x", T.INT), BasicParameterInfo())],
            [(basic("x", T.INT), None, 5)],
            "text",
        ],
    )
    def test_malformed_entries(self, entries):
        with pytest.raises(TypeError):
            velmo.testing.make_registry_tool(entries)


class TestImx636Values:
    def test_reads_follow_the_declared_type(self):
        roi = velmo.testing.make_tool(ToolType.ROI)
        table = roi.get_all_param_info()
        assert table["mode"].type == T.ENUM and table["x"].type == T.INT and table["enable"].type == T.BOOL
        ok, mode = roi.get_param("mode")
        assert ok is True and mode in roi.get_param_info("mode")[1].options
        assert roi.get_param("enable") == (True, False)
        ok, info = roi.get_param_info("x")
        assert ok is True and roi.get_param("x") == (True, info.default_value)

    def test_write_then_read(self):
        roi = velmo.testing.make_tool(ToolType.ROI)
        other = roi.get_param_info("mode")[1].options[-1]
        assert roi.set_param("mode", other) is True
        assert roi.set_param("enable", True) is True
        assert roi.get_param("mode") == (True, other)
        assert roi.get_param("enable") == (True, True)

    def test_names_are_looked_up_with_the_prefix(self):
        roi = velmo.testing.make_tool(ToolType.ROI, "roi.")
        assert "x" in roi.get_all_param_info()
        assert roi.get_param_info("x")[0] is True
        assert roi.get_param("roi.x") == (False, None)
