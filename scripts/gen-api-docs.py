"""Writes docs/api.md, the API reference, from the type stubs of the package's modules.

Usage: gen-api-docs.py [--stubs DIR] [--output FILE]

By default the stubs are the ones installed beside the modules that Python imports. The
reference is plain Markdown: one section per module, one per class, every signature as the
stubs give it, with its docstring.
"""

import argparse
import ast
import importlib.util
import sys
from pathlib import Path

MODULES = ("velmo_hal_py", "velmo_base_py", "velmo._io", "velmo.sim", "velmo.testing", "velmo.frames")
# Special methods worth a line: the rest is the object protocol every class has.
SHOWN_SPECIAL_METHODS = {"__init__", "__getitem__", "__str__"}

INTRODUCTION = """\
# API reference

Every class, property and function of the six native modules, with the signatures that editors
and type checkers see. Written by `scripts/gen-api-docs.py` from the type stubs that the build
generates from the compiled modules; `tests/python/test_stubs.py` fails when this page no longer
matches them.

`velmo.testing` holds the helpers with which a program checks its own Python tools and event
handling against native callers, as `numpy.testing` does for NumPy; the rest is the user API.
`velmo._io` is the native half of `velmo.io`, which publishes its names: the event and trigger
data types, the decoder and encoder, recordings and streams, in every build, with a camera or
without. `velmo.frames`, a module of the `velmo` package, turns arrays of events into the
representations learning and display start from.

Enums are pybind11 enums: each member is a class attribute (`ToolType.ROI`), `int(member)` and
`member.value` give its number, `member.name` its name, `Enum(number)` the member, and
`Enum.__members__` maps names to members.
"""


def installed_stub(module: str) -> Path:
    """A module of a package has its stub beside it; a top-level module has a stub-only package."""
    found = importlib.util.find_spec(module)
    if found is None or found.origin is None:
        raise SystemExit(f"gen-api-docs: {module} is not importable")
    folder = Path(found.origin).parent
    return folder / f"{stub_name(module)}.pyi" if "." in module else folder / f"{module}-stubs" / "__init__.pyi"


def stub_name(module: str) -> str:
    """The stub's file name: a module of a package has its stub beside it under its own name."""
    return module.rpartition(".")[2]


def docstring(node: ast.ClassDef | ast.FunctionDef) -> str:
    """The docstring as one line, the form every docstring of these modules has."""
    return " ".join((ast.get_docstring(node) or "").split())


def bullet(code: str, node: ast.FunctionDef, note: str = "") -> str:
    text = docstring(node)
    return f"- `{code}`{note}" + (f": {text}" if text else "")


def signature(function: ast.FunctionDef) -> str:
    returns = f" -> {ast.unparse(function.returns)}" if function.returns else ""
    return f"{function.name}({ast.unparse(function.args)}){returns}"


def decorator_names(function: ast.FunctionDef) -> set[str]:
    return {ast.unparse(decorator) for decorator in function.decorator_list}


def is_enum(cls: ast.ClassDef) -> bool:
    return any(isinstance(item, ast.AnnAssign) and ast.unparse(item.target) == "__members__" for item in cls.body)


def render_function(function: ast.FunctionDef, prefix: str = "") -> str:
    overload = " (overload)" if "typing.overload" in decorator_names(function) else ""
    return bullet(prefix + signature(function), function, overload)


def render_enum(cls: ast.ClassDef) -> list[str]:
    members = [ast.unparse(item.target) for item in cls.body
               if isinstance(item, ast.AnnAssign) and ast.unparse(item.annotation) == f"typing.ClassVar[{cls.name}]"]
    # pybind11 lists the members in the order of their values in the class docstring; the
    # stub's attributes are sorted by name.
    listed = (ast.get_docstring(cls) or "").partition("Members:")[2].split()
    if sorted(listed) == sorted(members):
        members = listed
    return [f"### enum `{cls.name}`", "", "Members: " + ", ".join(f"`{member}`" for member in members) + ".", ""]


def render_class(cls: ast.ClassDef) -> list[str]:
    if is_enum(cls):
        return render_enum(cls)
    bases = f"({', '.join(ast.unparse(base) for base in cls.bases)})" if cls.bases else ""
    lines = [f"### class `{cls.name}{bases}`", ""]
    if docstring(cls):
        lines += [docstring(cls), ""]
    fields = [item for item in cls.body if isinstance(item, ast.AnnAssign)]
    methods = [item for item in cls.body if isinstance(item, ast.FunctionDef)]
    if fields:
        lines += ["| attribute | type |", "|---|---|"]
        lines += [f"| `{ast.unparse(item.target)}` | `{ast.unparse(item.annotation)}` |" for item in fields]
        lines.append("")
    shown = [method for method in methods
             if not (method.name.startswith("__") and method.name not in SHOWN_SPECIAL_METHODS)]
    for method in shown:
        if "property" in decorator_names(method):
            returns = ast.unparse(method.returns) if method.returns else "object"
            lines.append(bullet(f"{method.name}: {returns}", method, " (read-only property)"))
        else:
            lines.append(render_function(method))
    if not fields and not shown:
        lines.append(f"Adds nothing to {bases.strip('()') or 'object'}; its methods are inherited.")
    if lines[-1]:
        lines.append("")
    return lines


def render_module(name: str, stub: str) -> list[str]:
    tree = ast.parse(stub)
    lines = [f"## `{name}`", ""]
    text = " ".join((ast.get_docstring(tree) or "").split())
    if text:
        lines += [text, ""]
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            lines += render_class(node)
    functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
    if functions:
        lines += ["### functions", ""]
        lines += [render_function(function, prefix=f"{name}.") for function in functions]
        lines.append("")
    constants = [node for node in tree.body
                 if isinstance(node, ast.AnnAssign) and ast.unparse(node.target) != "__all__"]
    if constants:
        lines += ["### module attributes", "", "| name | type |", "|---|---|"]
        lines += [f"| `{ast.unparse(node.target)}` | `{ast.unparse(node.annotation)}` |" for node in constants]
        lines.append("")
    return lines


def render(stubs: dict[str, str]) -> str:
    """The reference page for the stub texts, keyed by module name."""
    lines = [INTRODUCTION]
    for name in MODULES:
        lines += render_module(name, stubs[name])
    return "\n".join(lines).rstrip() + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stubs", type=Path, help="folder with the .pyi files (default: beside the modules)")
    parser.add_argument("--output", type=Path, default=Path(__file__).resolve().parents[1] / "docs" / "api.md")
    args = parser.parse_args(argv)
    paths = {name: (args.stubs / f"{stub_name(name)}.pyi" if args.stubs else installed_stub(name)) for name in MODULES}
    args.output.write_text(render({name: path.read_text(encoding="utf-8") for name, path in paths.items()}),
                           encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
