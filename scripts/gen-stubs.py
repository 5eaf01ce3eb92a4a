"""Writes the type stubs of the package's modules from the compiled modules.

Usage: gen-stubs.py OUTPUT_DIR --modules NAME [NAME ...] --module-dirs MODULE_DIR [MODULE_DIR ...]

The module directories are put first on sys.path, so the stubs describe the modules of this
build rather than whatever is installed. A module of the velmo package (velmo.frames) is found
in its directory by its last name, and imported as part of a stand-in package of this build's
modules alone, so that modules importing one another (velmo.sim imports velmo._io) find them
here too; its stub is written as OUTPUT_DIR/velmo/NAME.pyi. Any error of the generator fails the run before a
file is written: a stub with a hole in a signature misleads more than a missing stub.
"""

import argparse
import importlib
import logging
import re
import sys
import tempfile
import types
from pathlib import Path

import pybind11_stubgen as stubgen
from pybind11_stubgen.parser.mixins.fix import FixMissing__all__Attribute
from pybind11_stubgen.parser.mixins.parse import ExtractSignaturesFromPybind11Docstrings
from pybind11_stubgen.structs import Identifier, ResolvedType

# pybind11 names an array of a registered record type after the record's class, which is no
# type a checker knows. Every function that hands out events returns a one-dimensional
# structured array, and NumPy types structured items as numpy.void.
EVENT_ARRAY = "numpy.ndarray[velmo_base_py.Event2D]"
# The trigger record has a NumPy data type but no Python class, so pybind11 gives its C++ name.
TRIGGER_ARRAY = "numpy.ndarray[velmo::TriggerEvent]"
TYPED_EVENT_ARRAY = "numpy.ndarray[tuple[int], numpy.dtype[numpy.void]]"
# pybind11 names an array of a plain number type after the scalar type alone, which NumPy's own
# annotations do not take: it needs a shape type too, any shape here.
NUMBER_ARRAY = re.compile(r"numpy\.ndarray\[(numpy\.(?:u?int\d+|float\d+|bool))\]")


class TypedEventArrays:
    def parse_annotation_str(self, annotation_str):
        if annotation_str.strip() == "NoReturn":
            # pybind11's name for a function that always raises, which the generator does not resolve.
            return super().parse_annotation_str("typing.NoReturn")
        if annotation_str.strip() == "tuple":
            # A py::tuple of any length and contents.
            return super().parse_annotation_str("tuple[typing.Any, ...]")
        if annotation_str.strip() == TRIGGER_ARRAY:
            return super().parse_annotation_str(TYPED_EVENT_ARRAY)
        number_array = NUMBER_ARRAY.fullmatch(annotation_str.strip())
        if number_array:
            return super().parse_annotation_str(f"numpy.ndarray[tuple[int, ...], numpy.dtype[{number_array[1]}]]")
        result = super().parse_annotation_str(annotation_str)
        if isinstance(result, ResolvedType) and str(result) == EVENT_ARRAY:
            return super().parse_annotation_str(TYPED_EVENT_ARRAY)
        return result


class NoAttributeSlotWrappers:
    """Every bound class guards attribute access natively, so the interpreter adds wrappers
    named __getattribute__, __setattr__ and __delattr__ to it. They behave as object's do for
    a usable object and say nothing a checker needs."""

    def handle_class_member(self, path, class_, member):
        if isinstance(member, types.WrapperDescriptorType) and path[-1] in ATTRIBUTE_SLOTS:
            return None
        return super().handle_class_member(path, class_, member)


ATTRIBUTE_SLOTS = {"__getattribute__", "__setattr__", "__delattr__"}


# Where the binding knows more than a signature says. The signatures of get_param and
# get_param_info are fixed as "-> tuple": (ok, value) or (ok, record), (False, None) for an
# unknown name, and () for a parameter of a type that has no value.
PRECISE_RESULTS = {
    ("velmo_hal_py", "get_param"): "tuple[bool, int | float | bool | str | None] | tuple[()]",
    ("velmo_hal_py", "get_param_info"):
        "tuple[bool, IntParameterInfo | FloatParameterInfo | BoolParameterInfo | EnumParameterInfo | None]"
        " | tuple[()]",
}
# A module attribute is stubbed with the class of its value, without the types it holds.
PRECISE_ATTRIBUTES = {
    ("velmo.frames", "PALETTE"): "types.MappingProxyType[str, tuple[int, int, int]]",
}


class PreciseTypes:
    def handle_function(self, path, func):
        functions = super().handle_function(path, func)
        precise = PRECISE_RESULTS.get((str(path[0]), str(path[-1])))
        if precise:
            for function in functions:
                function.returns = self.parse_annotation_str(precise)
        # A checker takes the first overload that matches, and to it a bool is an int; the
        # binding tells them apart, so the overload for bool goes first.
        return sorted(functions, key=lambda function: not any(str(arg.annotation) == "bool" for arg in function.args))

    def handle_attribute(self, path, value):
        attribute = super().handle_attribute(path, value)
        precise = PRECISE_ATTRIBUTES.get((".".join(map(str, path[:-1])), str(path[-1])))
        if attribute is not None and precise:
            attribute.annotation = self.parse_annotation_str(precise)
        return attribute

    def handle_module_member(self, path, module, member):
        # The stubs describe what users call; a module's private helpers stay out of them.
        name = str(path[-1])
        if name.startswith("_") and not name.startswith("__") and callable(member) and not isinstance(member, type):
            return None
        return super().handle_module_member(path, module, member)


class TypedDocstringSignatures:
    """Functions that carry a text signature (for inspect.signature) would be stubbed from it,
    and it has no types: the typed signature pybind11 puts at the top of their docstring is the
    one to use. Sits just inside the generator's own docstring parser, so its fixes still apply."""

    def handle_function(self, path, func):
        if getattr(func, "__text_signature__", None) is not None and func.__doc__:
            parsed = self.parse_function_docstring(Identifier(path[-1]), func.__doc__.splitlines())
            if parsed:
                return parsed
        return super().handle_function(path, func)


def with_mixin_inside(parser_type, inner, mixin):
    """The parser type with `mixin` placed right after the base `inner` in its resolution order.
    The modules have no __all__, so the stubs claim none either."""
    bases = [base for base in parser_type.__bases__ if base is not FixMissing__all__Attribute]
    bases.insert(bases.index(inner) + 1, mixin)
    return type(parser_type.__name__, tuple(bases), {})


def imported_from(name, directories):
    """Imports the module and tells whether it came from one of the directories."""
    location = Path(importlib.import_module(name).__file__ or "").resolve()
    return any(location.is_relative_to(directory) for directory in directories)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output_dir", type=Path)
    parser.add_argument("--modules", nargs="+", required=True)
    parser.add_argument("--module-dirs", type=Path, nargs="+", required=True)
    args = parser.parse_args(argv)
    modules = args.modules
    directories = [directory.resolve() for directory in args.module_dirs]
    package = Path(tempfile.mkdtemp(prefix="velmo-stubs-")) / "velmo"
    package.mkdir()
    (package / "__init__.py").write_text("")
    for name, directory in zip(modules, directories):
        if name.startswith("velmo."):
            for built in directory.glob(name.removeprefix("velmo.") + ".*.so"):
                (package / built.name).symlink_to(built)
    sys.path[:0] = [str(package.parent)] + [str(directory) for directory in directories]
    strays = [name for name in modules if not imported_from(name, directories)]
    if strays:
        print(f"gen-stubs: {', '.join(strays)} not found in {', '.join(map(str, directories))}", file=sys.stderr)
        return 1

    logging.basicConfig(level=logging.WARNING, format="pybind11-stubgen: %(levelname)s: %(message)s")
    options = stubgen.arg_parser().parse_args(["--exit-code", *modules], namespace=stubgen.CLIArgs())
    standard = with_mixin_inside(type(stubgen.stub_parser_from_args(options)),
                                 ExtractSignaturesFromPybind11Docstrings, TypedDocstringSignatures)
    stub_parser = type("VelmoStubParser", (PreciseTypes, TypedEventArrays, NoAttributeSlotWrappers, standard), {})()
    printer = stubgen.Printer(invalid_expr_as_ellipses=True)
    stubgen.run(stub_parser, printer, list(modules), str(args.output_dir), root_suffix=None, dry_run=False,
                writer=stubgen.Writer())
    return 0


if __name__ == "__main__":
    sys.exit(main())
