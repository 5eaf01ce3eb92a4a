"""velmo.frames on the camera's own events, against the best vectorised NumPy formulation of
each representation, the cost per event over sizes, and two threads against one."""

import statistics

import numpy as np
import velmo.sim

from harness import Row, WorkerThreads, interleaved, median_ratio
from velmo import frames

SHAPE = HEIGHT, WIDTH = 720, 1280
PIXELS = HEIGHT * WIDTH
BINS = 5
TAU_US = 50_000
# 1e8 events are 1.6 GB, and NumPy's formulations need several times that in temporaries (the
# copy floor of to_columns alone 6.4 GB): on a 24 GB machine shared with builds the largest
# size is 3e7 events (480 MB).
SIZES = (10**5, 10**6, 10**7, 3 * 10**7)
THREAD_EVENTS = 10**7
HISTOGRAM_TARGET = 1 / 3
SURFACE_TARGET = 1 / 5
VOXEL_TARGET = 1 / 5
COLUMNS_TARGET = 1.5
FLATNESS_TARGET = 2.0
TWO_THREAD_TARGET = 1 / 1.7


def flat_index(events):
    """y * width + x, plus a plane for ON events: the pixel index as a NumPy user computes it."""
    index = events["y"].astype(np.int64)
    index *= WIDTH
    index += events["x"]
    index += events["polarity"].astype(np.int64) * PIXELS
    return index


def numpy_histogram(events):
    return np.bincount(flat_index(events), minlength=2 * PIXELS).reshape(2, HEIGHT, WIDTH)


def numpy_time_surface(events, t_us):
    """For time-sorted events: the events up to t_us, each pixel's last written by fancy
    assignment (the last of equal indices wins), then one vectorised exp over the frame."""
    chosen = events[: np.searchsorted(events["timestamp"], t_us, side="right")]
    latest = np.full(2 * PIXELS, -1, np.int64)
    latest[flat_index(chosen)] = chosen["timestamp"]
    surface = np.where(latest >= 0, np.exp((latest - t_us) / TAU_US), 0.0).astype(np.float32)
    return surface.reshape(2, HEIGHT, WIDTH)


def numpy_voxel_grid(events):
    """Two weighted bincounts, one per neighbouring bin, over a grid one bin longer for events at the end."""
    times = events["timestamp"]
    start, end = int(times[0]), int(times[-1])
    position = (times - start) * ((BINS - 1) / max(end - start, 1))
    lower = position.astype(np.int64)
    upper_weight = position - lower
    sign = events["polarity"] * 2.0 - 1.0
    index = lower * PIXELS + events["y"].astype(np.int64) * WIDTH + events["x"]
    size = (BINS + 1) * PIXELS
    grid = np.bincount(index, weights=sign * (1 - upper_weight), minlength=size)
    grid += np.bincount(index + PIXELS, weights=sign * upper_weight, minlength=size)
    return grid[: BINS * PIXELS].astype(np.float32).reshape(BINS, HEIGHT, WIDTH)


def copy_of(columns):
    """The floor of to_columns: a fresh array of the same size filled with the same bytes."""
    target = np.empty_like(columns)
    np.copyto(target, columns)
    return target


def calls(function, *args):
    def run(count):
        for _ in range(count):
            function(*args)

    return run


def subjects(events):
    """name -> (velmo.frames call, its floor, the floor's name, the target), for these events."""
    t_us = int(events["timestamp"][-1])
    columns = frames.to_columns(events)
    return {
        "histogram": (calls(frames.histogram, events, SHAPE), calls(numpy_histogram, events),
                      "numpy bincount of the flat index", HISTOGRAM_TARGET),
        "time_surface": (calls(lambda: frames.time_surface(events, SHAPE, t_us=t_us, tau_us=TAU_US)),
                         calls(numpy_time_surface, events, t_us), "numpy fancy assignment + exp", SURFACE_TARGET),
        "voxel_grid": (calls(frames.voxel_grid, events, SHAPE, BINS), calls(numpy_voxel_grid, events),
                       "numpy two weighted bincounts", VOXEL_TARGET),
        "to_columns": (calls(frames.to_columns, events), calls(copy_of, columns),
                       "numpy copy of the (N, 4) int64 result", COLUMNS_TARGET),
    }


def size_label(count):
    mantissa, exponent = f"{count:.0e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def size_rows(events, empty, repetitions):
    """Each representation against its floor at this size, and its cost per event net of the
    same call on no events (the frame's own allocation and per-pixel work)."""
    count = len(events)
    rows, net = [], {}
    empty_runs = subjects(empty)
    for name, (subject, floor, floor_name, target) in subjects(events).items():
        runs = {"subject": subject, "floor": floor, "empty": empty_runs[name][0]}
        samples = interleaved(runs, count, repetitions)
        rows.append(Row("frames", f"{name}, n = {size_label(count)}", statistics.median(samples["subject"]),
                        statistics.median(samples["floor"]), "event",
                        median_ratio(samples["subject"], samples["floor"]), target, floor_name))
        # The empty call was timed per call of `count` items: the difference is per event.
        net[name] = statistics.median(s - e for s, e in zip(samples["subject"], samples["empty"]))
    return rows, net


def flatness_rows(net_by_size):
    rows = []
    for name in net_by_size[0]:
        costs = [net[name] for net in net_by_size]
        # A net cost at or below zero means the noise outweighed the events' own cost: no spread
        # can be told from such figures, and the row must not pass.
        spread = max(costs) / min(costs) if min(costs) > 0 else float("inf")
        rows.append(Row("frames", f"{name}: spread of the net cost per event, n = {size_label(SIZES[0])} to "
                        f"{size_label(SIZES[-1])}", max(costs), min(costs), "event", spread,
                        FLATNESS_TARGET, "its own lowest"))
    return rows


def copy_spread_row(by_size):
    """The spread of to_columns' floor, a copy into a fresh array of the same size: what memory
    alone does over these sizes, beside to_columns' own spread (from 1e7 events the result is
    fresh pages, which the kernel zeroes on first touch)."""
    costs = [row.floor_cost for row in by_size if row.name.startswith("to_columns, n = ")]
    return Row("frames", f"to_columns' floor: spread of its cost per event, n = {size_label(SIZES[0])} to "
               f"{size_label(SIZES[-1])}", max(costs), min(costs), "event", max(costs) / min(costs), None,
               "its own lowest")


def thread_row(camera, repetitions):
    first, second = camera.read_events(THREAD_EVENTS), camera.read_events(THREAD_EVENTS)

    def work(events):
        frames.histogram(events, SHAPE)

    one_thread = WorkerThreads(work, [[first, second]])
    two_threads = WorkerThreads(work, [[first], [second]])
    samples = interleaved({"one thread": one_thread.run, "two threads": two_threads.run}, 2 * THREAD_EVENTS,
                          repetitions)
    one_thread.stop()
    two_threads.stop()
    return Row("frames", f"histogram, two threads on two arrays of {size_label(THREAD_EVENTS)}",
               statistics.median(samples["two threads"]), statistics.median(samples["one thread"]), "event",
               median_ratio(samples["two threads"], samples["one thread"]), TWO_THREAD_TARGET,
               "one thread, both arrays")


def rows(repetitions: int) -> list[Row]:
    camera = velmo.sim.open_camera()
    events = camera.read_events(SIZES[-1])
    if len(events) != SIZES[-1]:
        raise RuntimeError(f"the camera gave {len(events)} events of {SIZES[-1]}")
    # One event: the frame's fixed work with (nearly) none of the events' own.
    empty = events[:1]
    by_size, net_by_size = [], []
    for count in SIZES:
        size_rows_, net = size_rows(events[:count], empty, repetitions)
        by_size.extend(size_rows_)
        net_by_size.append(net)
    del events
    return by_size + flatness_rows(net_by_size) + [copy_spread_row(by_size), thread_row(camera, repetitions)]
