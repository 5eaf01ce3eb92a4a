"""Files: seeking a recording, encoding against decoding, and reading many recordings on a
local Dask cluster of two workers against one.

Seeking is timed in the calling thread's CPU time (time.thread_time), the seek's own work: the
index lookup and the decoding from the index point to the time. The Dask row times the whole
computation on the client, the workers' processes included, in wall time, since that is what a
second worker shortens; it needs the dask extra.
"""

import random
import statistics
import tempfile
import time
from pathlib import Path

import velmo.sim

import velmo.io as vio
from harness import Row, interleaved, median_ratio, paired, repeated

RECORDING_US = 60_000_000
# Any point of the recording in under 1 ms of CPU time.
SEEK_TARGET_S = 1e-3
SEEKS_PER_SAMPLE = 50
ENCODE_TARGET = 2.0
ENCODE_SPAN_US = 1_000_000
DASK_FILES = 8
DASK_FILE_US = 4_000_000
DASK_CHUNK_US = 1_000_000
DASK_TARGET = round(1 / 1.6, 3)


def seek_rows(folder: Path, repetitions: int) -> list[Row]:
    path = folder / "sixty.vrec"
    velmo.sim.open_camera().record(path, RECORDING_US)
    rng = random.Random(5)
    with vio.open_recording(path) as recording:
        recording.seek(0)  # finds the index
        costs = []
        for _ in range(repetitions):
            times = [rng.randrange(RECORDING_US) for _ in range(SEEKS_PER_SAMPLE)]
            start = time.thread_time()
            for t in times:
                recording.seek(t)
            costs.append((time.thread_time() - start) / SEEKS_PER_SAMPLE)
        recording.seek(RECORDING_US // 2)
        ten_ms = recording.read_raw(10_000)
    decoding = []
    for _ in range(repetitions):
        start = time.thread_time()
        for _ in range(SEEKS_PER_SAMPLE):
            vio.decode(ten_ms)
        decoding.append((time.thread_time() - start) / SEEKS_PER_SAMPLE)
    seek, decode = statistics.median(costs), statistics.median(decoding)
    return [
        Row("files", "Recording.seek, 60 s recording, CPU time", seek, SEEK_TARGET_S, "seek", seek / SEEK_TARGET_S,
            1.0, "1 ms"),
        Row("files", "Recording.seek against decoding 10 ms of events", seek, decode, "seek",
            median_ratio(costs, decoding), None, "decode(10 ms of EVT3)"),
    ]


def encode_row(repetitions: int) -> Row:
    events, triggers = velmo.sim.open_camera().read(ENCODE_SPAN_US)
    data = vio.encode(events, triggers, raw_format="EVT3;height=720;width=1280")
    encode = repeated(lambda: vio.encode(events, triggers, raw_format="EVT3;height=720;width=1280"))
    decode = repeated(vio.decode, data)
    subject, floor, ratio = paired(encode, decode, len(events), repetitions)
    return Row("files", f"encode, {len(events):,} events", subject, floor, "event", ratio, ENCODE_TARGET,
               "decode of the same events")


def dask_row(folder: Path, repetitions: int) -> list[Row]:
    try:
        import distributed
    except ImportError:
        return []
    from velmo.io.dask import read_recordings

    paths = []
    for k in range(DASK_FILES):
        path = folder / f"many{k}.vrec"
        velmo.sim.open_camera().record(path, DASK_FILE_US)
        paths.append(path)
    frame = read_recordings(paths, chunk_us=DASK_CHUNK_US)
    total = frame["p"].sum()

    def cluster(workers):
        return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                        dashboard_address=None)

    with cluster(1) as one, cluster(2) as two, distributed.Client(one) as on_one, distributed.Client(two) as on_two:
        runs = {}
        for name, client in (("one", on_one), ("two", on_two)):
            client.compute(total).result()

            def run(calls, client=client):
                for _ in range(calls):
                    client.compute(total).result()

            runs[name] = run
        samples = interleaved(runs, 1, repetitions)
    two_workers, one_worker = statistics.median(samples["two"]), statistics.median(samples["one"])
    return [Row("files", f"read_recordings, {DASK_FILES} files x {DASK_FILE_US // 1_000_000} s, 2 workers",
                two_workers, one_worker, "read", median_ratio(samples["two"], samples["one"]), DASK_TARGET,
                "1 worker")]


def rows(repetitions: int) -> list[Row]:
    with tempfile.TemporaryDirectory(prefix="velmo-bench-") as folder:
        return [*seek_rows(Path(folder), repetitions), encode_row(repetitions), *dask_row(Path(folder), repetitions)]
