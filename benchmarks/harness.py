"""Timing and reporting shared by the benchmark groups.

Every figure is a ratio of a measured cost to a floor measured in the same process and run:
the two are timed in alternation, repetition by repetition, so that a change in the machine's
load hits both alike, and the ratio reported is the median over the repetitions.
"""

import gc
import os
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from typing import Callable, Optional

# Long enough for the clock and short enough that the whole run stays within a few minutes.
TARGET_SECONDS_PER_SAMPLE = 0.05
DEFAULT_REPETITIONS = 9


@dataclass
class Row:
    group: str
    name: str
    subject_cost: float
    floor_cost: float
    unit: str
    ratio: float
    target: Optional[float]
    floor_name: str

    @property
    def verdict(self) -> str:
        if self.target is None:
            return "-"
        return "met" if self.ratio <= self.target else "MISSED"


def seconds_per_item(run: Callable[[int], Optional[float]], calls: int, items_per_call: int) -> float:
    """Seconds per item of run(calls), which makes `calls` calls of `items_per_call` items each.

    A run that times itself returns its seconds, which then stand instead of the wall time
    around it. The cyclic garbage collector is held off meanwhile, as timeit does.
    """
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        own_seconds = run(calls)
        elapsed = time.perf_counter() - start
    finally:
        if gc_was_enabled:
            gc.enable()
    return (elapsed if own_seconds is None else own_seconds) / (calls * items_per_call)


def calibrate(run: Callable[[int], Optional[float]]) -> int:
    """How many calls run(calls) should make to take about TARGET_SECONDS_PER_SAMPLE."""
    calls = 1
    while True:
        start = time.perf_counter()
        run(calls)
        elapsed = time.perf_counter() - start
        if elapsed >= TARGET_SECONDS_PER_SAMPLE / 4 or calls >= 1 << 24:
            return max(1, round(calls * TARGET_SECONDS_PER_SAMPLE / max(elapsed, 1e-9)))
        calls *= 4


def repeated(function: Callable[..., object], *args: object) -> Callable[[int], None]:
    """A run that calls function(*args) `calls` times in a loop of its own."""

    def run(calls: int) -> None:
        for _ in range(calls):
            function(*args)

    return run


def interleaved(
    runs: dict[str, Callable[[int], Optional[float]]],
    items_per_call: int = 1,
    repetitions: int = DEFAULT_REPETITIONS,
) -> dict[str, list[float]]:
    """Seconds per item of each run, sampled in turn, repetition by repetition.

    Each run takes a count of calls to make in a loop of its own, so that no extra Python
    call per item is measured; each call handles items_per_call items (events).
    """
    calls = {name: calibrate(run) for name, run in runs.items()}
    samples: dict[str, list[float]] = {name: [] for name in runs}
    for _ in range(repetitions):
        for name, run in runs.items():
            samples[name].append(seconds_per_item(run, calls[name], items_per_call))
    return samples


def median_ratio(subject: list[float], floor: list[float]) -> float:
    """The median over repetitions of subject / floor, each pair measured side by side."""
    return statistics.median(s / f for s, f in zip(subject, floor))


def paired(
    subject: Callable[[int], Optional[float]],
    floor: Callable[[int], Optional[float]],
    items_per_call: int = 1,
    repetitions: int = DEFAULT_REPETITIONS,
) -> tuple[float, float, float]:
    """Median seconds per item of subject and of floor, and the median of their ratios."""
    samples = interleaved({"floor": floor, "subject": subject}, items_per_call, repetitions)
    return (
        statistics.median(samples["subject"]),
        statistics.median(samples["floor"]),
        median_ratio(samples["subject"], samples["floor"]),
    )


class WorkerThreads:
    """Worker threads, each calling work(item) on every item of its share on every call, all
    released at once.

    The threads exist before the timing starts and wait at a barrier, so a call times the
    work alone: from the moment every worker is let go to the moment the last is done.
    """

    def __init__(self, work: Callable[[object], object], shares: list[list[object]]) -> None:
        self._work = work
        self._start = threading.Barrier(len(shares) + 1)
        self._done = threading.Barrier(len(shares) + 1)
        self._stopping = False
        self._threads = [threading.Thread(target=self._loop, args=(share,), daemon=True) for share in shares]
        for thread in self._threads:
            thread.start()

    def _loop(self, share: list[object]) -> None:
        while True:
            self._start.wait()
            if self._stopping:
                return
            for item in share:
                self._work(item)
            self._done.wait()

    def run(self, calls: int) -> float:
        seconds = 0.0
        for _ in range(calls):
            self._start.wait()
            start = time.perf_counter()
            self._done.wait()
            seconds += time.perf_counter() - start
        return seconds

    def stop(self) -> None:
        self._stopping = True
        self._start.wait()
        for thread in self._threads:
            thread.join()


def run_python(code: str) -> str:
    """Runs code in a fresh interpreter of this environment and returns what it printed."""
    completed = subprocess.run(
        [sys.executable, "-c", code],
        check=True,
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONDONTWRITEBYTECODE": "1"},
    )
    return completed.stdout


def format_cost(value: float, unit: str) -> str:
    """A time per unit ("call", "event", "import") scaled to a readable prefix, or bytes per event."""
    if unit == "B/event":
        return f"{value:.4f} B/event"
    for scale, prefix in ((1.0, "s"), (1e-3, "ms"), (1e-6, "us")):
        if value >= scale:
            return f"{value / scale:.2f} {prefix}/{unit}"
    return f"{value * 1e9:.2f} ns/{unit}"


def format_table(rows: list[Row]) -> str:
    """A Markdown table, readable as it is on a terminal."""
    header = ["group", "measured", "cost", "floor", "floor cost", "ratio", "target", "verdict"]
    lines = [header]
    for row in rows:
        lines.append(
            [
                row.group,
                row.name,
                format_cost(row.subject_cost, row.unit),
                row.floor_name,
                format_cost(row.floor_cost, row.unit),
                f"{row.ratio:.4f}x" if row.unit == "B/event" else f"{row.ratio:.2f}x",
                "-" if row.target is None else f"<= {row.target:g}x",
                row.verdict,
            ]
        )
    widths = [max(len(line[column]) for line in lines) for column in range(len(header))]
    rendered = []
    for index, line in enumerate(lines):
        rendered.append("| " + " | ".join(cell.ljust(width) for cell, width in zip(line, widths)) + " |")
        if index == 0:
            rendered.append("|" + "|".join("-" * (width + 2) for width in widths) + "|")
    return "\n".join(rendered)
