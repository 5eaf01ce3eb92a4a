"""The EVT3 decoder: events per second on the camera's raw stream and on a dense one, against the
NumPy floor of filling the same event array, two threads against one, and bytes per event; and
the camera's raw reads against its event reads over the same span."""

import statistics
import time

import numpy as np
import velmo.io
import velmo.sim
import velmo_test_hooks

from harness import Row, WorkerThreads, interleaved, median_ratio, repeated

# One second of the camera's default stream: about a million events.
SPAN_US = 10**6
COUNT = 10**6
DECODE_TARGET = 1.5
# read_raw of a span against read_events of as many events as the span holds.
RAW_READ_SPAN_US = 100_000
RAW_READ_TARGET = 1.5
# Two threads on two streams take at most this share of one thread's time per event: at least
# 1.8 times its throughput.
TWO_THREAD_TARGET = round(1 / 1.8, 3)


def no_triggers():
    return np.zeros(0, dtype=velmo.io.trigger_dtype())


def dense_events(count):
    """Whole rows of adjacent events, one row per microsecond: what vectors carry."""
    width = 1280
    index = np.arange(count)
    row = index // width
    events = np.zeros(count, dtype=velmo.io.event_dtype())
    events["x"] = index % width
    events["y"] = row % 720
    events["polarity"] = row % 2
    events["timestamp"] = row
    return events


def numpy_fill(events):
    """numpy.empty of the events' size and type, filled field by field from prepared arrays."""
    fields = [(name, np.ascontiguousarray(events[name])) for name in events.dtype.names]
    count, dtype = len(events), events.dtype

    def run(calls):
        for _ in range(calls):
            target = np.empty(count, dtype)
            for name, values in fields:
                target[name] = values

    return run


class SpanEvents:
    """How many events each successive RAW_READ_SPAN_US of the camera's stream holds, read from a
    camera of its own: the stream's rate changes along it, so reads of later spans are counted
    per event of those spans, not of the first."""

    def __init__(self):
        self._camera = velmo.sim.open_camera()
        self._counts = []

    def __getitem__(self, span):
        while len(self._counts) <= span:
            self._counts.append(len(self._camera.read(RAW_READ_SPAN_US)[0]))
        return self._counts[span]


def per_span_event(read_span, span_events):
    """A run of read_span(k) for the stream's successive spans k that times itself and returns its
    time per event of those spans times the calls, so that the harness's division by the calls
    (one item each) gives the time per event."""
    next_span = 0

    def run(calls):
        nonlocal next_span
        seconds = 0.0
        events = 0
        for _ in range(calls):
            events += span_events[next_span]
            start = time.perf_counter()
            read_span(next_span)
            seconds += time.perf_counter() - start
            next_span += 1
        return seconds / max(events, 1) * calls

    return run


def rate(seconds_per_event):
    return f"{1e-6 / seconds_per_event:.0f} M events/s"


def rows(repetitions: int) -> list[Row]:
    camera = velmo.sim.open_camera()
    default_raw = camera.read_raw(SPAN_US)
    second_raw = camera.read_raw(SPAN_US)
    default = velmo.io.decode(default_raw)[0]
    dense = dense_events(COUNT)
    dense_raw = velmo_test_hooks.encode_evt3(dense, no_triggers())
    if velmo.io.decode(dense_raw)[0].tobytes() != dense.tobytes():
        raise RuntimeError("the decoded stream differs from the events encoded")
    # The decoder's rows count per event of the streams they decode.
    default_count = len(default)

    samples = interleaved(
        {
            "floor": numpy_fill(default),
            "default": repeated(velmo.io.decode, default_raw),
            "dense floor": numpy_fill(dense),
            "dense": repeated(velmo.io.decode, dense_raw),
        },
        COUNT,
        repetitions,
    )
    per_default_event = COUNT / default_count
    for name in ("floor", "default"):
        samples[name] = [seconds * per_default_event for seconds in samples[name]]

    # The same two streams decoded by one thread, one after the other, and by two threads, one
    # each, started together: the same work, so the ratio of the times is that of throughputs.
    both_count = default_count + len(velmo.io.decode(second_raw)[0])
    one_thread = WorkerThreads(velmo.io.decode, [[default_raw, second_raw]])
    two_threads = WorkerThreads(velmo.io.decode, [[default_raw], [second_raw]])
    threads = interleaved({"one thread": one_thread.run, "two threads": two_threads.run}, both_count, repetitions)
    one_thread.stop()
    two_threads.stop()

    span_events = SpanEvents()
    raw_reader, event_reader = velmo.sim.open_camera(), velmo.sim.open_camera()
    reads = interleaved(
        {
            "read_raw": per_span_event(lambda span: raw_reader.read_raw(RAW_READ_SPAN_US), span_events),
            "read_events": per_span_event(lambda span: event_reader.read_events(span_events[span]), span_events),
        },
        1,
        repetitions,
    )

    def median(name):
        return statistics.median(samples[name])

    return [
        Row("decode", f"decode the camera's stream, 1e6 events: {rate(median('default'))}", median("default"),
            median("floor"), "event", median_ratio(samples["default"], samples["floor"]), DECODE_TARGET,
            "numpy fill of 4 fields"),
        Row("decode", f"decode a dense stream, 1e6 events: {rate(median('dense'))}", median("dense"),
            median("dense floor"), "event", median_ratio(samples["dense"], samples["dense floor"]), None,
            "numpy fill of 4 fields"),
        Row("decode", f"two threads on two streams: {rate(statistics.median(threads['two threads']))}",
            statistics.median(threads["two threads"]), statistics.median(threads["one thread"]), "event",
            median_ratio(threads["two threads"], threads["one thread"]), TWO_THREAD_TARGET,
            "one thread, both streams"),
        Row("decode", "EVT3 bytes per event of the camera's stream", len(default_raw) / default_count, 16.0,
            "B/event", len(default_raw) / default_count / 16.0, None, "the Event2D record"),
        Row("decode", "Camera.read_raw(100 ms), per event of the span", statistics.median(reads["read_raw"]),
            statistics.median(reads["read_events"]), "event", median_ratio(reads["read_raw"], reads["read_events"]),
            RAW_READ_TARGET, "read_events of as many events"),
    ]
