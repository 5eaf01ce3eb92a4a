"""Recordings: Camera.record against real time, and playback of a recording against the decoder
on the same bytes.

Camera.record is timed in the recording thread's CPU time (time.thread_time), as the sensor's
own rows are, so that other work on the machine does not count as the recording's; it reads,
encodes and writes on the calling thread, and the file's writes are system time of that thread.
"""

import statistics
import tempfile
import time
from pathlib import Path

import velmo.io
import velmo.sim

from harness import Row, interleaved, median_ratio

# At least 10 times faster than real time: one second of sensor time recorded in at most 100 ms.
RECORD_TARGET = 1 / 10
# At least 0.9 times the decoder's throughput.
PLAYBACK_TARGET = round(1 / 0.9, 3)
SPAN_US = 1_000_000
PLAYBACK_SLICE_US = 100_000


def record_row(folder: Path, repetitions: int) -> Row:
    camera = velmo.sim.open_camera()
    path = folder / "record.vrec"
    costs = []
    for _ in range(repetitions):
        start = time.thread_time()
        camera.record(path, SPAN_US, overwrite=True)
        costs.append(time.thread_time() - start)
    cost = statistics.median(costs)
    return Row("recording", "Camera.record(1 s) at default settings, CPU time", cost, 1.0, "sensor s", cost,
               RECORD_TARGET, "real time")


def playback_row(folder: Path, repetitions: int) -> Row:
    path = folder / "playback.vrec"
    velmo.sim.open_camera().record(path, SPAN_US, overwrite=True)
    with velmo.io.open_recording(path) as recording:
        data = path.read_bytes()[-recording.data_bytes:]
        count = len(recording.read(SPAN_US)[0])
    if len(velmo.io.decode(data)[0]) != count:
        raise RuntimeError("playback and the decoder disagree on the recording's events")

    def play(calls):
        for _ in range(calls):
            with velmo.io.open_recording(path) as recording:
                for _ in range(SPAN_US // PLAYBACK_SLICE_US):
                    recording.read(PLAYBACK_SLICE_US)

    # The decoder gets the same bytes in as many pieces, so that both hand out arrays of the same
    # sizes: one decode of the whole file would allocate ten times more at once, and on a virtual
    # machine its page faults alone would double its cost.
    view, size, reads = memoryview(data), len(data), SPAN_US // PLAYBACK_SLICE_US
    pieces = [view[k * size // reads:(k + 1) * size // reads] for k in range(reads)]

    def decode(calls):
        for _ in range(calls):
            decoder = velmo.io.Decoder()
            for piece in pieces:
                decoder.decode(piece)

    samples = interleaved({"playback": play, "decode": decode}, count, repetitions)
    playback, decoder = statistics.median(samples["playback"]), statistics.median(samples["decode"])
    return Row("recording", f"open_recording + read(100 ms) x 10, {count:,} events", playback, decoder, "event",
               median_ratio(samples["playback"], samples["decode"]), PLAYBACK_TARGET,
               "Decoder, same bytes in 10 pieces")


def rows(repetitions: int) -> list[Row]:
    with tempfile.TemporaryDirectory(prefix="velmo-bench-") as folder:
        return [record_row(Path(folder), repetitions), playback_row(Path(folder), repetitions)]
