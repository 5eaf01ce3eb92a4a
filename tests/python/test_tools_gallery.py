import runpy
from pathlib import Path

import pytest

pytest.importorskip("matplotlib")

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def test_gallery_writes_one_figure_per_tool(tmp_path, monkeypatch):
    # In this interpreter rather than a child process, as the tour's test does.
    examples = Path(__file__).resolve().parents[2] / "examples"
    monkeypatch.syspath_prepend(str(examples))
    gallery = runpy.run_path(str(examples / "tools_gallery.py"))
    written = gallery["main"](["--out", str(tmp_path)])
    assert sorted(path.name for path in written) == [
        "anti_flicker.png",
        "biases.png",
        "event_rate_control.png",
        "event_trail_filter.png",
        "roi.png",
        "trigger_in.png",
    ]
    for path in written:
        assert path.read_bytes().startswith(PNG_SIGNATURE)
