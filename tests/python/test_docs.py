"""The documentation's Python sessions, run as written: what a page shows is what they print.

Each page's ```pycon blocks form one interpreter session, run from the repository's folder
and checked like a doctest. A ```stderr block holds lines that the session writes on standard
error; the source location at their end may move with the device library's code.
"""

import doctest
import re
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
DOCS = REPO / "docs"
PAGES = ["getting-started.md", "python-tools.md", "events.md"]
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
    path = DOCS / page
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

