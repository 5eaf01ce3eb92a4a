"""The examples' progress bar: drawn on a terminal only, so redirected output stays clean."""

import importlib.util
import io
from pathlib import Path

import pytest

_SOURCE = Path(__file__).resolve().parents[2] / "examples" / "progress_bar.py"
_SPEC = importlib.util.spec_from_file_location("progress_bar", _SOURCE)
progress_bar = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(progress_bar)
ProgressBar = progress_bar.ProgressBar


class Stream(io.StringIO):
    def __init__(self, terminal):
        super().__init__()
        self.terminal = terminal

    def isatty(self):
        return self.terminal


def run(stream, total, steps):
    with ProgressBar(total, "Reading", stream=stream, width=10) as progress:
        for amount in steps:
            progress.advance(amount)
    return progress


@pytest.mark.parametrize("total, steps", [(1000, [400, 400, 200]), (0, []), (10, [25])])
def test_nothing_is_written_when_not_a_terminal(total, steps):
    stream = Stream(terminal=False)
    run(stream, total, steps)
    assert stream.getvalue() == ""


def test_a_terminal_sees_each_step_redrawn_in_place_and_one_final_line_break():
    stream = Stream(terminal=True)
    run(stream, 1000, [400, 600])
    assert stream.getvalue() == ("\rReading [----------]   0% 0/1,000"
                                 "\rReading [####------]  40% 400/1,000"
                                 "\rReading [##########] 100% 1,000/1,000\n")


@pytest.mark.parametrize("steps, done", [([700, 700], 1000), ([-5, 10], 10), ([0], 0)])
def test_progress_stays_within_the_total(steps, done):
    assert run(Stream(terminal=False), 1000, steps).done == done


def test_a_negative_total_is_refused():
    with pytest.raises(ValueError, match="total must not be negative"):
        ProgressBar(-1, "Reading", stream=Stream(terminal=True))
