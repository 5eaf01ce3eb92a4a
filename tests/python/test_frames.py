"""velmo.frames against short NumPy references, on random events and on the cases a pass over
events gets wrong: pixels on the frame's edges, equal time stamps, no events, events outside
the frame, and views that are strided, reversed or not aligned."""

import threading

import numpy as np
import pytest

from velmo import frames

# The event data type, as velmo_base_py registers it; built here so that this file needs no camera.
EVENT = np.dtype({"names": ["x", "y", "polarity", "timestamp"], "formats": ["<u2", "<u2", "u1", "<u8"],
                  "offsets": [0, 2, 4, 8], "itemsize": 16})
SHAPE = (7, 11)


def make_events(count, seed, *, width=SHAPE[1], height=SHAPE[0], same_time=False):
    rng = np.random.default_rng(seed)
    events = np.zeros(count, EVENT)
    events["x"] = rng.integers(0, width, count)
    events["y"] = rng.integers(0, height, count)
    events["polarity"] = rng.integers(0, 2, count)
    events["timestamp"] = 500 if same_time else np.sort(rng.integers(100, 900, count))
    return events


def unaligned(events):
    """The same events in a buffer that places every record one byte off alignment."""
    buffer = bytearray(len(events) * EVENT.itemsize + 1)
    view = np.frombuffer(buffer, EVENT, count=len(events), offset=1)
    view[...] = events
    return view


def cases():
    edges = np.zeros(4, EVENT)
    edges["x"], edges["y"] = [0, SHAPE[1] - 1, 0, SHAPE[1] - 1], [0, 0, SHAPE[0] - 1, SHAPE[0] - 1]
    edges["polarity"], edges["timestamp"] = [1, 0, 1, 0], [100, 200, 300, 400]
    # Hundreds of events on each of four pixel entries, a quarter of them outside the frame:
    # counts that pass a byte's range, as a 1280 x 720 frame's do after 1e7 events.
    crowded = make_events(3000, 6, width=2, height=1)
    crowded["x"][::4] = SHAPE[1] + 1
    return {
        "random": make_events(300, 1),
        "crowded pixels": crowded,
        "edge pixels": edges,
        "equal time stamps": make_events(50, 2, same_time=True),
        # Fewer events than a quarter of the entries, some on one pixel, some outside.
        "few events": make_events(30, 7, width=SHAPE[1] + 1, height=4),
        "empty": np.zeros(0, EVENT),
        "outside the frame": make_events(300, 3, width=SHAPE[1] + 3, height=SHAPE[0] + 2),
        "strided view": make_events(900, 4)[::3],
        "unaligned view": unaligned(make_events(200, 5)),
    }


CASES = cases()


def inside(events, shape):
    return events[(events["x"] < shape[1]) & (events["y"] < shape[0])]


def reference_histogram(events, shape):
    kept = inside(events, shape)
    counts = np.zeros((2, *shape), np.int64)
    np.add.at(counts, ((kept["polarity"] != 0).astype(int), kept["y"], kept["x"]), 1)
    return counts


def reference_time_surface(events, shape, t_us, tau_us):
    kept = inside(events, shape)
    kept = kept[kept["timestamp"] <= t_us]
    latest = np.full((2, *shape), -1, np.int64)
    np.maximum.at(latest, ((kept["polarity"] != 0).astype(int), kept["y"], kept["x"]), kept["timestamp"].astype(np.int64))
    return np.where(latest >= 0, np.exp(-(t_us - latest) / tau_us), 0.0)


def reference_voxel_grid(events, shape, bins):
    kept = inside(events, shape)
    grid = np.zeros((bins, *shape))
    if len(events) == 0:
        return grid
    start, end = int(events["timestamp"][0]), int(events["timestamp"][-1])
    kept = kept[(kept["timestamp"] >= start) & (kept["timestamp"] <= end)]
    position = (kept["timestamp"] - start) * ((bins - 1) / (end - start) if end > start else 0.0)
    sign = np.where(kept["polarity"] != 0, 1.0, -1.0)
    for b in range(bins):
        np.add.at(grid[b], (kept["y"], kept["x"]), sign * np.maximum(0.0, 1 - np.abs(position - b)))
    return grid


def reference_render(events, shape):
    counts = reference_histogram(events, shape)
    kinds = (counts[0] > 0) + 2 * (counts[1] > 0)
    table = np.array([frames.PALETTE[name] for name in ("none", "off", "on", "both")], np.uint8)
    return table[kinds]


# Each representation as velmo.frames computes it, and as NumPy does, for one case's events.
REPRESENTATIONS = {
    "histogram": (lambda e: frames.histogram(e, SHAPE), reference_histogram),
    "histogram unsplit": (lambda e: frames.histogram(e, SHAPE, split_polarity=False),
                          lambda e, s: reference_histogram(e, s).sum(axis=0)),
    "time_surface": (lambda e: frames.time_surface(e, SHAPE, t_us=600, tau_us=150.0),
                     lambda e, s: reference_time_surface(e, s, 600, 150.0)),
    "time_surface unsplit": (lambda e: frames.time_surface(e, SHAPE, t_us=600, tau_us=150.0, split_polarity=False),
                             lambda e, s: reference_time_surface(e, s, 600, 150.0).max(axis=0)),
    "voxel_grid": (lambda e: frames.voxel_grid(e, SHAPE, 5), lambda e, s: reference_voxel_grid(e, s, 5)),
    "to_columns": (lambda e: frames.to_columns(e),
                   lambda e, s: np.stack([e["timestamp"], e["x"], e["y"], e["polarity"]], axis=1).astype(np.int64)),
    "to_columns xypt float32": (
        lambda e: frames.to_columns(e, "xypt", np.float32),
        lambda e, s: np.stack([e["x"], e["y"], e["polarity"], e["timestamp"]], axis=1).astype(np.float32)),
    "render": (lambda e: frames.render(e, SHAPE), reference_render),
    "render of a histogram": (lambda e: frames.render(frames.histogram(e, SHAPE), SHAPE), reference_render),
    "count_outside": (lambda e: frames.count_outside(e, SHAPE), lambda e, s: len(e) - len(inside(e, s))),
}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("representation", REPRESENTATIONS)
def test_representation_matches_numpy(representation, case):
    made, reference = REPRESENTATIONS[representation]
    events = CASES[case]
    before = events.copy()
    result, expected = made(events), reference(events, SHAPE)
    if isinstance(expected, int):
        assert result == expected
    else:
        assert result.shape == expected.shape
        # Hundreds of float32 additions to one sum round by a few units of 1e-6.
        tolerance = 1e-5 if case == "crowded pixels" else 1e-6
        np.testing.assert_allclose(result, expected, rtol=tolerance, atol=tolerance)
    assert np.array_equal(events, before)


@pytest.mark.parametrize("case", ["random", "edge pixels", "equal time stamps", "empty", "strided view"])
@pytest.mark.parametrize("cut", [{"duration_us": 97}, {"count": 40}])
def test_windows_are_views_matching_searchsorted(case, cut):
    events = CASES[case]
    windows = frames.windows(events, **cut)
    assert sum(len(window) for _, _, window in windows) == len(events)
    if len(events):
        assert np.array_equal(np.concatenate([window for _, _, window in windows], dtype=EVENT), events)
    times = events["timestamp"]
    for start, end, window in windows:
        assert window.base is not None and (len(window) == 0 or np.shares_memory(window, events))
        assert np.all((window["timestamp"] >= start) & (window["timestamp"] < end))
        if "duration_us" in cut:
            assert end - start == cut["duration_us"]
            assert len(window) == np.searchsorted(times, end) - np.searchsorted(times, start)
    if "count" in cut:
        assert [len(window) for _, _, window in windows[:-1]] == [cut["count"]] * (len(windows) - 1)


def test_time_surface_takes_the_latest_event_at_or_before_t_in_any_order():
    events = make_events(200, 6)[::-1]
    surface = frames.time_surface(events, SHAPE, t_us=500, tau_us=80.0)
    np.testing.assert_allclose(surface, reference_time_surface(events, SHAPE, 500, 80.0), rtol=1e-6)


def test_voxel_grid_takes_time_stamps_across_the_whole_unsigned_range():
    # Offsets from the first time stamp past 2^63, which no signed 64-bit number holds.
    events = np.zeros(3, EVENT)
    events["x"], events["polarity"] = [0, 1, 2], [1, 0, 1]
    events["timestamp"] = [0, 2**63 + 5, 2**64 - 1]
    np.testing.assert_allclose(frames.voxel_grid(events, SHAPE, 3), reference_voxel_grid(events, SHAPE, 3),
                               rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("tau_us", [0.3, 100_000.0, 1e12])
def test_time_surface_decays_accurately_down_to_the_smallest_float(tau_us):
    # One pixel per age, the ages spread so that exp's argument runs from 0 to past -87, where
    # single precision ends (or to 2^24 microseconds, which a float still holds exactly).
    ages = np.unique(np.geomspace(1, min(92 * tau_us, 2**24), 1999).astype(np.uint64))
    ages = np.concatenate([[0], ages])
    events = np.zeros(len(ages), EVENT)
    events["x"], events["y"] = np.arange(len(ages)) % 100, np.arange(len(ages)) // 100
    t_us = 2**24
    events["timestamp"] = t_us - ages
    surface = frames.time_surface(events, (20, 100), t_us=t_us, tau_us=tau_us, split_polarity=False)
    expected = np.exp(-ages.astype(np.float64) / tau_us)
    np.testing.assert_allclose(surface.ravel()[: len(ages)], expected, rtol=2e-6, atol=1e-37)


LARGE = (400, 500)


@pytest.mark.parametrize("made, reference", [
    (lambda e: frames.histogram(e, LARGE), reference_histogram),
    (lambda e: frames.time_surface(e, LARGE, t_us=600, tau_us=150.0),
     lambda e, s: reference_time_surface(e, s, 600, 150.0)),
    (lambda e: frames.voxel_grid(e, LARGE, 5), lambda e, s: reference_voxel_grid(e, s, 5)),
], ids=["histogram", "time_surface", "voxel_grid"])
def test_many_events_on_a_large_frame_match_numpy(made, reference):
    # Tables of megabytes and several events per cache line of them, some events outside the
    # frame, in many blocks of events.
    events = make_events(600_000, 8, width=LARGE[1] + 5, height=LARGE[0] + 4)
    np.testing.assert_allclose(made(events), reference(events, LARGE), rtol=1e-5, atol=1e-5)


def test_counts_are_exact_for_one_busy_pixel():
    events = np.zeros(70_000, EVENT)
    events["polarity"] = 1
    assert frames.histogram(events, (1, 1))[1, 0, 0] == 70_000


def test_passes_release_the_interpreter_lock():
    events = make_events(4_000_000, 7, width=1280, height=720)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(None)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        before = len(ticks)
        for _ in range(3):
            frames.voxel_grid(events, (720, 1280), 5)
        during = len(ticks) - before
    finally:
        stop.set()
        ticker.join()
    # Holding the lock, the passes would leave the other thread a tick per switch interval at most.
    assert during > 1000


WRONG_ARGUMENTS = [
    (lambda: frames.histogram(np.zeros(3, np.int64), SHAPE), TypeError, "events"),
    (lambda: frames.histogram([1, 2], SHAPE), TypeError, "events"),
    (lambda: frames.histogram(np.zeros((2, 2), EVENT), SHAPE), ValueError, "events"),
    (lambda: frames.histogram(CASES["random"], (7,)), TypeError, "shape"),
    (lambda: frames.histogram(CASES["random"], (0, 5)), ValueError, "shape"),
    (lambda: frames.histogram(CASES["random"], (5, 70_000)), ValueError, "shape"),
    (lambda: frames.time_surface(CASES["random"], SHAPE, t_us=5, tau_us=0.0), ValueError, "tau_us"),
    (lambda: frames.voxel_grid(CASES["random"], SHAPE, 0), ValueError, "bins"),
    (lambda: frames.voxel_grid(CASES["random"], SHAPE, 3, start_us=-1), ValueError, "start_us"),
    (lambda: frames.voxel_grid(CASES["random"], SHAPE, 3, start_us=9, end_us=8), ValueError, "end_us"),
    (lambda: frames.to_columns(CASES["random"], "txyy"), ValueError, "order"),
    (lambda: frames.to_columns(CASES["random"], dtype=np.uint8), ValueError, "dtype"),
    (lambda: frames.to_columns(CASES["random"], dtype="no such type"), TypeError, "dtype"),
    (lambda: frames.render(np.zeros((3, *SHAPE)), SHAPE), ValueError, "events_or_histogram"),
    (lambda: frames.render(np.zeros((2, *SHAPE), complex), SHAPE), TypeError, "events_or_histogram"),
    (lambda: frames.windows(CASES["random"]), TypeError, "duration_us"),
    (lambda: frames.windows(CASES["random"], count=0), ValueError, "count"),
    (lambda: frames.windows(CASES["random"][::-1], count=5), ValueError, "sorted"),
]


@pytest.mark.parametrize("call, error, named", WRONG_ARGUMENTS)
def test_wrong_arguments_are_refused_by_name(call, error, named):
    with pytest.raises(error, match=named):
        call()


def test_int32_columns_refuse_time_stamps_they_cannot_hold():
    events = make_events(3, 9)
    events["timestamp"][-1] = 2**31
    with pytest.raises(ValueError, match="dtype int32 cannot hold the time stamp 2147483648"):
        frames.to_columns(events, dtype=np.int32)
