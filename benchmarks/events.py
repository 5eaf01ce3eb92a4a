"""Event hand-off: arrays of events made natively and read natively, per event, against NumPy."""

import statistics
import time

import numpy as np
import velmo.sim
import velmo_test_hooks
import velmo.testing

from harness import Row, interleaved, median_ratio, paired

HANDOFF_TARGET = 3.0
SUM_TARGET = 2.0
# Per-event cost over this range of sizes; the largest over the smallest.
FLATNESS_TARGET = 2.0
SIZES = (10**3, 10**4, 10**5, 10**6, 10**7)


def numpy_fill(source):
    """numpy.empty of the source's size and type, filled by one vectorised write of its bytes.

    The write goes through a byte view: assigning the structured array itself makes NumPy
    copy field by field, several times slower than the copy of memory that is the floor.
    """
    count, dtype, source_bytes = len(source), source.dtype, source.view(np.uint8)

    def run(calls):
        for _ in range(calls):
            target = np.empty(count, dtype)
            target.view(np.uint8)[...] = source_bytes

    return run


def read_events(camera, count):
    def run(calls):
        for _ in range(calls):
            camera.read_events(count)

    return run


def beyond_the_camera(camera, count):
    """What read_events costs beyond the camera's own work on the same number of events,
    the camera clocked natively around the device call right after each read_events."""

    def run(calls):
        seconds = 0.0
        for _ in range(calls):
            start = time.perf_counter()
            camera.read_events(count)
            seconds += time.perf_counter() - start
            seconds -= velmo_test_hooks.time_device_read(camera, count)
        return seconds

    return run


def make_events(count):
    def run(calls):
        for seed in range(calls):
            velmo.testing.make_events(count, seed)

    return run


def native_sum(events):
    def run(calls):
        for _ in range(calls):
            velmo.testing.sum_events(events)

    return run


def numpy_sum(events):
    def run(calls):
        for _ in range(calls):
            events["x"].sum()
            events["y"].sum()
            events["polarity"].sum()
            events["timestamp"].sum()

    return run


def size_label(count):
    return f"1e{len(str(count)) - 1}"


def flatness_row(name, rows):
    """The largest per-event cost over the smallest, across the sizes: a cost that grew with n
    would show here."""
    costs = [row.subject_cost for row in rows]
    return Row(
        "events",
        f"{name}: spread of the cost per event over n",
        max(costs),
        min(costs),
        "event",
        max(costs) / min(costs),
        FLATNESS_TARGET,
        "its own lowest",
    )


def handoff_rows(camera, count, repetitions):
    """read_events and make_events against the floor, and what read_events costs beyond the
    camera's own work: the part that is the binding layer's."""
    events = camera.read_events(count)
    if len(events) != count:
        raise RuntimeError(f"the camera gave {len(events)} events of {count}: are its filters at their defaults?")
    label = size_label(count)
    samples = interleaved(
        {
            "floor": numpy_fill(events),
            "read": read_events(camera, count),
            "beyond the camera": beyond_the_camera(camera, count),
            "make": make_events(count),
        },
        count,
        repetitions,
    )
    floor = samples["floor"]

    def row(name, subject, target):
        return Row(
            "events",
            name,
            statistics.median(subject),
            statistics.median(floor),
            "event",
            median_ratio(subject, floor),
            target,
            "numpy.empty + fill",
        )

    # The whole calls measure the simulated sensor's work more than the binding's: reported
    # only. The binding's share is the row between them.
    return (
        row(f"read_events(n), n = {label}", samples["read"], None),
        row(f"  of which beyond the camera's own work, n = {label}", samples["beyond the camera"], HANDOFF_TARGET),
        row(f"make_events(n), n = {label}", samples["make"], None),
    )


def sum_row(camera, count, repetitions):
    events = camera.read_events(count)
    subject_cost, floor_cost, ratio = paired(native_sum(events), numpy_sum(events), count, repetitions)
    return Row(
        "events",
        f"sum_events, n = {size_label(count)}",
        subject_cost,
        floor_cost,
        "event",
        ratio,
        SUM_TARGET,
        "four NumPy field sums",
    )


def rows(repetitions: int) -> list[Row]:
    camera = velmo.sim.open_camera()
    reads, handoffs, makes = [], [], []
    for count in SIZES:
        read, handoff, make = handoff_rows(camera, count, repetitions)
        reads.append(read)
        handoffs.append(handoff)
        makes.append(make)
    sums = [sum_row(camera, count, repetitions) for count in SIZES]
    by_size = [row for triple in zip(reads, handoffs) for row in triple]
    return (
        by_size
        + [flatness_row("read_events", reads)]
        + makes
        + [flatness_row("make_events", makes)]
        + sums
    )
