"""The documentation's Python sessions, run as written: what a page shows is what they print.

Each page's ```pycon blocks form one interpreter session, run from the repository's folder
and checked like a doctest. A ```stderr block holds lines that the session writes on standard
error; the source location at their end may move with the device library's code. The tests
that docs/bad-input.md names as its proof must exist.
"""

import ast
import doctest
import re
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
PAGES = ["README.md", "docs/getting-started.md", "docs/python-tools.md", "docs/events.md"]
SOURCE_LOCATION = re.compile(r" \([\w/.]+:\d+\)$")


def fenced(text, kind):
    return re.findall(rf"^```{kind}\n(.*?)\n```$", text, flags=re.MULTILINE | re.DOTALL)


def session(text):
    """The page with every line outside a ```pycon block blanked, so line numbers still match."""
    lines, inside = [], False
    for line in text.splitlines():
        if line.startswith("```"):
            inside = line == "```pycon"
            lines.append("")
        else:
            lines.append(line if inside else "")
    return "\n".join(lines)


def without_location(line):
    return SOURCE_LOCATION.sub("", line)


@pytest.mark.parametrize("page", PAGES)
def test_page_prints_what_it_shows(page, monkeypatch, capfd):
    monkeypatch.chdir(REPO)
    path = REPO / page
    text = path.read_text(encoding="utf-8")
    test = doctest.DocTestParser().get_doctest(session(text), {"__name__": "__main__"}, page, str(path), 0)
    assert test.examples, f"{page} has no Python session"
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS)
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
    written = [without_location(line) for line in capfd.readouterr().err.splitlines()]
    for block in fenced(text, "stderr"):
        for line in block.splitlines():
            assert without_location(line) in written



def defined_tests(path):
    """'name' for each test function and class, 'Class::name' for each test method."""
    names = set()
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        if isinstance(node, ast.ClassDef):
            names.update(f"{node.name}::{item.name}" for item in node.body if isinstance(item, ast.FunctionDef))
    return names


def cited_tests(text):
    """(file, test) for every test reference in the pages' tables. A reference without a file is
    in the file cited last; one that starts with :: is in the class cited last, if any."""
    cited, file, owner = [], None, ""
    for cell in re.findall(r"`((?:test_\w+\.py)?(?:::)?[\w:]*)`", text):
        if cell.startswith("test_") and ".py" in cell:
            file, _, rest = cell.partition("::")
            if not rest:
                continue
        elif cell.startswith("::"):
            rest = (owner + cell) if owner else cell[2:]
        elif cell.startswith(("Test", "test_")) and file is not None:
            rest = cell
        else:
            continue
        parts = rest.split("::")
        owner = parts[0] if parts[0].startswith("Test") else ""
        cited.append((file, rest))
    return cited


def test_bad_input_page_cites_tests_that_exist():
    cited = cited_tests((REPO / "docs" / "bad-input.md").read_text(encoding="utf-8"))
    assert len(cited) > 50
    tests = REPO / "tests" / "python"
    missing = [f"{file}::{name}" for file, name in cited if name not in defined_tests(tests / file)]
    assert missing == []
