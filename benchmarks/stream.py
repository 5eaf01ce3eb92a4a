"""Camera.stream: how fast a stream that is not realtime delivers against a loop of reads, and
how close to its wall-clock time a realtime stream delivers each slice."""

import statistics
import time

import velmo.sim

from harness import Row, interleaved, median_ratio

SLICE_US = 10_000
# Slices a sample takes from one stream: the few a stream reads ahead and discards when it
# closes weigh little beside them.
SLICES_PER_STREAM = 1_000
# Throughput at least 0.9 times a loop of reads: a cost per slice at most 1 / 0.9 times theirs.
THROUGHPUT_TARGET = 1 / 0.9
LATENESS_LIMIT_S = 0.002
REALTIME_SLICES = 300


def streamed(camera):
    """A fresh stream for each call, so that no slice read ahead before the clock started counts."""

    def run(calls):
        for _ in range(calls):
            with camera.stream(slice_us=SLICE_US) as stream:
                for _ in range(SLICES_PER_STREAM):
                    next(stream)

    return run


def read_in_a_loop(camera):
    def run(calls):
        for _ in range(calls * SLICES_PER_STREAM):
            camera.read(SLICE_US)

    return run


def throughput_row(repetitions):
    camera = velmo.sim.open_camera()
    samples = interleaved({"read": read_in_a_loop(camera), "stream": streamed(camera)}, SLICES_PER_STREAM,
                          repetitions)
    return Row("stream", "stream(10 ms slices), not realtime, per slice", statistics.median(samples["stream"]),
               statistics.median(samples["read"]), "slice", median_ratio(samples["stream"], samples["read"]),
               THROUGHPUT_TARGET, "read(10 ms) in a loop")


def lateness(arrivals, before):
    late = sorted(arrived - before - due_us / 1e6 for arrived, due_us in arrivals)
    return statistics.median(late), late[int(0.99 * (len(late) - 1))]


def sleeping_arrivals():
    """The machine's own share: a Python thread that sleeps until each slice's time."""
    before = time.monotonic()
    arrivals = []
    for k in range(1, REALTIME_SLICES + 1):
        time.sleep(max(0.0, before + k * SLICE_US / 1e6 - time.monotonic()))
        arrivals.append((time.monotonic(), k * SLICE_US))
    return arrivals, before


def lateness_rows():
    """How long after its span ended each slice reached the consumer. The stream starts after
    `before`, so the lateness measured from `before` is at most this much above the true one."""
    camera = velmo.sim.open_camera()
    arrivals = []
    before = time.monotonic()
    with camera.stream(slice_us=SLICE_US, realtime=True) as stream:
        for piece in stream:
            arrivals.append((time.monotonic(), piece.end_us))
            if len(arrivals) == REALTIME_SLICES:
                break
        dropped = stream.dropped_slices
    median, p99 = lateness(arrivals, before)
    slept_median, slept_p99 = lateness(*sleeping_arrivals())
    span = f"{REALTIME_SLICES} slices of 10 ms, {dropped} dropped"
    return [
        Row("stream", f"realtime lateness, median ({span})", median, LATENESS_LIMIT_S, "slice",
            median / LATENESS_LIMIT_S, 1.0, "2 ms"),
        Row("stream", "realtime lateness, 99th percentile", p99, LATENESS_LIMIT_S, "slice", p99 / LATENESS_LIMIT_S,
            1.0, "2 ms"),
        Row("stream", "time.sleep to each slice's time: lateness, median", slept_median, LATENESS_LIMIT_S, "slice",
            slept_median / LATENESS_LIMIT_S, None, "2 ms"),
        Row("stream", "time.sleep to each slice's time: lateness, 99th percentile", slept_p99, LATENESS_LIMIT_S,
            "slice", slept_p99 / LATENESS_LIMIT_S, None, "2 ms"),
    ]


def rows(repetitions: int) -> list[Row]:
    return [throughput_row(repetitions), *lateness_rows()]
