"""The installed type stubs against the live modules, and the API reference against the stubs.

A stub that lacks a name, claims one the module does not have, shows a different number of
overloads or a writable property that is read-only misleads every editor and type checker
that reads it.
"""

import ast
import importlib
import os
import re
import runpy
import subprocess
import sys
from pathlib import Path

import pytest

from installed_stubs import MODULES, installed_as_package, require_stubs

REPO = Path(__file__).resolve().parents[2]
STRICT_CONFIG = REPO / "tests" / "typing" / "strict.ini"


@pytest.fixture(scope="module")
def stubs():
    return {name: ast.parse(path.read_text(encoding="utf-8")) for name, path in require_stubs().items()}


def is_pybind_function(value):
    return type(getattr(value, "__func__", value)).__name__ == "builtin_function_or_method"


def is_dunder(name):
    return name.startswith("__") and name.endswith("__")


def live_overloads(function, name):
    """pybind11 lists the overloads of a function in its docstring, numbered from 1."""
    numbered = re.findall(rf"^\d+\. {re.escape(name)}\(", function.__doc__ or "", flags=re.MULTILINE)
    return len(numbered) or 1


def stub_members(body):
    """Name -> list of the stub's nodes for it (a function has one per overload)."""
    members = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            members.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            members.setdefault(node.target.id, []).append(node)
    return members


def compared_names(namespace, stub):
    """The public names, and the special methods that the binding defines, of both sides."""
    live = {name for name, value in namespace.items()
            if not name.startswith("_") or (is_dunder(name) and is_pybind_function(value))}
    declared = {name for name, nodes in stub.items()
                if not name.startswith("_") or (is_dunder(name) and isinstance(nodes[0], ast.FunctionDef))}
    return live, declared


def differences(owner, namespace, stub):
    live, declared = compared_names(namespace, stub)
    found = [f"{owner}.{name} is missing from the stub" for name in sorted(live - declared)]
    found += [f"{owner}.{name} is in the stub but not in the module" for name in sorted(declared - live)]
    for name in sorted(live & declared):
        value, nodes = namespace[name], stub[name]
        if is_pybind_function(value):
            expected = live_overloads(value, name)
            if len(nodes) != expected:
                found.append(f"{owner}.{name}: {expected} overloads, the stub has {len(nodes)}")
        elif isinstance(value, property):
            read_only = value.fset is None
            declared_read_only = isinstance(nodes[0], ast.FunctionDef)
            if read_only != declared_read_only:
                found.append(f"{owner}.{name}: read-only is {read_only}, the stub says {declared_read_only}")
    return found


@pytest.mark.parametrize("name", MODULES)
def test_stub_matches_the_live_module(stubs, name):
    module = importlib.import_module(name)
    stub = stub_members(stubs[name].body)
    namespace = {attribute: getattr(module, attribute) for attribute in dir(module)}
    found = differences(name, namespace, stub)
    for class_name, nodes in stub.items():
        cls = namespace.get(class_name)
        if isinstance(nodes[0], ast.ClassDef) and isinstance(cls, type):
            found += differences(f"{name}.{class_name}", dict(vars(cls)), stub_members(nodes[0].body))
            bases = [ast.unparse(base) for base in nodes[0].bases]
            live_bases = [base.__name__ for base in cls.__bases__ if base.__module__ == name]
            if bases != live_bases:
                found.append(f"{name}.{class_name}: bases {live_bases}, the stub has {bases}")
    assert found == []


# Every bound class has pybind11's metaclass, which no stub can name, and one without a
# constructor keeps pybind11's __init__, which takes anything and raises.
PYBIND11_ONLY = (
    re.compile(r"error: \S+ is inconsistent, metaclass differs\n(?:.*\n)*Runtime:\n<class 'pybind11_builtins.pybind11_type'>"),
    re.compile(r'error: \S+\.__init__ is inconsistent, stub does not have \*args parameter "args"\n(?:.*\n)*'
               r"Runtime:\ndef \(self, /, \*args, \*\*kwargs\)"),
)


def test_stubs_pass_mypy_strict_and_stubtest(tmp_path):
    # stubtest type-checks the stubs with mypy --strict, then imports the modules and compares
    # every name, argument and overload with them.
    require_stubs()
    if not all(installed_as_package(name) for name in MODULES):
        pytest.skip("mypy reads stubs from site-packages, and these modules come from elsewhere")
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(STRICT_CONFIG), *MODULES],
        capture_output=True, text=True, cwd=tmp_path, check=False)
    # Its last line counts the modules it checked, whatever it found: a run that stopped early has none.
    assert f"{len(MODULES)} modules" in result.stdout, result.stdout + result.stderr
    reports = [report for report in result.stdout.split("\n\n") if report.startswith("error")]
    assert [report for report in reports if not any(known.match(report) for known in PYBIND11_ONLY)] == []


def test_api_reference_is_generated_from_the_installed_stubs():
    if os.environ.get("VELMO_WITHOUT_SIMULATOR") == "1":
        pytest.skip("the reference covers velmo.sim and velmo.testing, which this build leaves out")
    generator = runpy.run_path(str(REPO / "scripts" / "gen-api-docs.py"))
    texts = {name: path.read_text(encoding="utf-8") for name, path in require_stubs().items()}
    written = (REPO / "docs" / "api.md").read_text(encoding="utf-8")
    assert written == generator["render"](texts), "docs/api.md is stale: run scripts/gen-api-docs.py"
