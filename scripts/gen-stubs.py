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
    """The parser type with `mixin` placed right after the base `inner` in its resolution order."""
    bases = list(parser_type.__bases__)
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
    stub_parser = type("VelmoStubParser", (TypedEventArrays, NoAttributeSlotWrappers, standard), {})()
    printer = stubgen.Printer(invalid_expr_as_ellipses=True)
    stubgen.run(stub_parser, printer, list(modules), str(args.output_dir), root_suffix=None, dry_run=False,
                writer=stubgen.Writer())
    return 0


if __name__ == "__main__":
    sys.exit(main())
