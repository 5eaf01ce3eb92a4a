"""velmo.view: what serving the viewer's page costs the process that streams the camera, how
old a picture is when it leaves the server, and whether four clients slow the stream.

The clients are separate processes (aiohttp WebSocket clients that only count pictures), so
that the server's process time is the server's alone."""

import statistics
import subprocess
import sys
import threading
import time

import velmo.sim

from harness import Row

SECONDS = 4.0
SETTLE_SECONDS = 1.0
HALF_A_CORE = 0.5
LATENCY_LIMIT_S = 0.1
FRAME_S = 0.04
SLOWDOWN_TARGET = 1.05

CLIENT = r"""
import asyncio, sys, aiohttp

async def main(url, seconds):
    async with aiohttp.ClientSession() as session, session.ws_connect(url) as ws:
        loop = asyncio.get_running_loop()
        deadline = loop.time() + seconds
        while loop.time() < deadline:
            await ws.receive(timeout=seconds)

asyncio.run(main(sys.argv[1], float(sys.argv[2])))
"""


def streamed_alone():
    """CPU seconds a second that the camera's realtime stream costs with a thread taking its slices."""
    camera = velmo.sim.open_camera()
    stop = threading.Event()

    def take(stream):
        for _ in stream:
            if stop.is_set():
                return

    with camera.stream(slice_us=10_000, realtime=True) as stream:
        taker = threading.Thread(target=take, args=(stream,))
        taker.start()
        time.sleep(SETTLE_SECONDS)
        cpu, wall = time.process_time(), time.monotonic()
        time.sleep(SECONDS)
        cost = (time.process_time() - cpu) / (time.monotonic() - wall)
        stop.set()
        taker.join()
    camera.close()
    return cost


def served(clients):
    """CPU seconds a second of the whole serving process, the pictures' ages as they left, the
    mean time between two pictures a client got, and the slices the stream dropped."""
    from velmo import view

    with view.serve(velmo.sim.open_camera()) as server:
        url = f"ws://127.0.0.1:{server.port}/ws"
        watchers = [subprocess.Popen([sys.executable, "-c", CLIENT, url, str(SECONDS + 3 * SETTLE_SECONDS)])
                    for _ in range(clients)]
        try:
            while len(server.clients) < clients:
                time.sleep(0.05)
            time.sleep(SETTLE_SECONDS)
            server.latencies.clear()
            sent = [client.sent_frames for client in server.clients]
            dropped = server.feed.dropped_slices
            cpu, wall = time.process_time(), time.monotonic()
            time.sleep(SECONDS)
            cost = (time.process_time() - cpu) / (time.monotonic() - wall)
            span = time.monotonic() - wall
            intervals = [span / (client.sent_frames - before) for client, before in zip(server.clients, sent)]
            ages = list(server.latencies)
            dropped = server.feed.dropped_slices - dropped
        finally:
            for watcher in watchers:
                watcher.wait(timeout=30)
    return cost, ages, statistics.mean(intervals), dropped


def rows(repetitions: int) -> list[Row]:
    samples = max(1, min(repetitions, 3))
    alone = [streamed_alone() for _ in range(samples)]
    one = [served(1) for _ in range(samples)]
    four = [served(4) for _ in range(samples)]
    stream_cost = statistics.median(alone)
    serving = statistics.median(cost for cost, *_ in one) - stream_cost
    ages = sorted(age for _, sample_ages, *_ in one for age in sample_ages)
    age = statistics.median(ages)
    interval_one = statistics.median(interval for *_, interval, _ in one)
    interval_four = statistics.median(interval for *_, interval, _ in four)
    dropped = sum(drops for *_, drops in four)
    return [
        Row("view", "serving 25 pictures/s to one client: process CPU less the stream's own", serving, HALF_A_CORE,
            "s", serving / HALF_A_CORE, 1.0, "half a core (0.5 s/s)"),
        Row("view", "the camera's realtime stream alone, taken by a thread", stream_cost, HALF_A_CORE, "s",
            stream_cost / HALF_A_CORE, None, "half a core (0.5 s/s)"),
        Row("view", f"sensor time to picture leaving the server, median of {len(ages)}", age, LATENCY_LIMIT_S,
            "picture", age / LATENCY_LIMIT_S, 1.0, "100 ms"),
        Row("view", f"four clients: time between pictures ({dropped} slices dropped)", interval_four, interval_one,
            "picture", interval_four / interval_one, SLOWDOWN_TARGET, "one client"),
        Row("view", "one client: time between pictures", interval_one, FRAME_S, "picture", interval_one / FRAME_S,
            None, "40 ms (25 a second)"),
    ]
