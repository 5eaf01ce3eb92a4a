"""The simulated sensor's own cost: sensor time against real time, the tools' share, and the
cost per event over four decades of stream length.

Each figure is the reading thread's CPU time (time.thread_time) around Camera.read, so other
work on the machine does not count as the sensor's; the reads release the interpreter lock
but do their work on the calling thread.
"""

import statistics
import time

import velmo_hal_py as hal
import velmo.sim

from harness import Row, interleaved, median_ratio

# At least 20 times faster than real time: one second of sensor time in at most 50 ms.
REAL_TIME_TARGET = 1 / 20
TOOLS_TARGET = 2.0
FLATNESS_TARGET = 2.0
SLICE_US = 100_000
# Sensor time for about 1e4 to 1e7 events at the default settings.
SPANS_US = (10_000, 100_000, 1_000_000, 10_000_000)


def every_tool_on():
    camera = velmo.sim.open_camera()
    settings = {
        hal.ToolType.ROI: {"enable": True},
        hal.ToolType.ANTI_FLICKER: {"enable": True},
        hal.ToolType.EVENT_TRAIL_FILTER: {"enable": True},
        hal.ToolType.EVENT_RATE_CONTROL: {"enable": True},
        hal.ToolType.TRIGGER_IN: {"enable": True},
    }
    for tool_type, values in settings.items():
        for name, value in values.items():
            if not camera.tool(tool_type).set_param(name, value):
                raise RuntimeError(f"{tool_type.name}.{name} refused {value!r}")
    return camera


def reads(camera, span_us, produced=None):
    """Calls of camera.read(span_us), timed in the thread's CPU time; counts what came out."""

    def run(calls):
        seconds = 0.0
        for _ in range(calls):
            start = time.thread_time()
            events, _ = camera.read(span_us)
            seconds += time.thread_time() - start
            if produced is not None:
                produced.append(len(events))
        return seconds

    return run


def real_time_row(repetitions):
    camera = velmo.sim.open_camera()
    camera.read(SLICE_US)
    costs = [reads(camera, 1_000_000)(1) for _ in range(repetitions)]
    cost = statistics.median(costs)
    return Row("sensor", "read(1 s) at default settings, CPU time", cost, 1.0, "sensor s", cost, REAL_TIME_TARGET,
               "real time")


def tools_rows(repetitions):
    """Every tool enabled against none, over the same sensor time, so over the same events that
    the pixels fire; and the same per event let out, which the filters make fewer."""
    produced_off, produced_on = [], []
    off, on = velmo.sim.open_camera(), every_tool_on()
    samples = interleaved(
        {"off": reads(off, SLICE_US, produced_off), "on": reads(on, SLICE_US, produced_on)}, 1, repetitions
    )
    ratio = median_ratio(samples["on"], samples["off"])
    kept = statistics.mean(produced_on) / statistics.mean(produced_off)
    per_slice = "100 ms"
    return [
        Row("sensor", "every tool on, per event the pixels fire", statistics.median(samples["on"]),
            statistics.median(samples["off"]), per_slice, ratio, TOOLS_TARGET, "every tool off"),
        Row("sensor", f"every tool on, per event let out ({kept:.0%} of them)", statistics.median(samples["on"]) / kept,
            statistics.median(samples["off"]), per_slice, ratio / kept, None, "every tool off"),
    ]


def flatness_rows(repetitions):
    camera = velmo.sim.open_camera()
    rows = []
    for span_us in SPANS_US:
        count = len(camera.read(span_us)[0])
        cost = statistics.median(interleaved({"read": reads(camera, span_us)}, count, repetitions)["read"])
        rows.append(Row("sensor", f"read({span_us / 1e6:g} s): {count:,} events", cost, cost, "event", 1.0, None,
                        "itself"))
    costs = [row.subject_cost for row in rows]
    rows.append(Row("sensor", "read: spread of the cost per event, 1e4 to 1e7 events", max(costs), min(costs),
                    "event", max(costs) / min(costs), FLATNESS_TARGET, "its own lowest"))
    return rows


def rows(repetitions: int) -> list[Row]:
    return [real_time_row(repetitions), *tools_rows(repetitions), *flatness_rows(repetitions)]
