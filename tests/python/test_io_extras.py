"""The extras' readers and writers: HDF5 files (h5py) and many recordings as a Dask dataframe."""

import numpy as np
import pytest
import velmo.sim
from extras import extra

import velmo.io as vio
import velmo.io.hdf5

FORMAT = "EVT3;height=720;width=1280"


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """Three recordings of different cameras and lengths, one cut short."""
    folder = tmp_path_factory.mktemp("recordings")
    paths = []
    for k, (serial, span) in enumerate([("VLM636-000101", 1_300_000), ("VLM636-000102", 700_000),
                                        ("VLM636-000101", 900_000)]):
        path = folder / f"r{k}.vrec"
        camera = velmo.sim.open_camera(serial)
        camera.read(50_000 * k)
        camera.record(path, span)
        paths.append(path)
    cut = paths[2]
    cut.write_bytes(cut.read_bytes()[: cut.stat().st_size // 2 + 1])
    return paths


@pytest.mark.parametrize("kind", ["array", "recording", "slices"])
def test_hdf5_round_trip(tmp_path, recordings, kind, monkeypatch):
    h5py = extra("h5py", "hdf5")
    monkeypatch.setattr(velmo.io.hdf5, "CHUNK_EVENTS", 50_000)
    with vio.open_recording(recordings[0]) as recording:
        expected = recording.read(2_000_000)[0]
    path = tmp_path / "e.h5"
    with vio.open_recording(recordings[0]) as recording:
        # Only the source the case names: a stream started and dropped here would move the
        # recording's position to wherever its thread had read ahead to.
        source = {"array": lambda: expected, "recording": lambda: recording,
                  "slices": lambda: recording.stream(slice_us=70_000)}[kind]()
        assert vio.write_hdf5(path, source) == len(expected)
    got = vio.read_hdf5(path)
    assert got.dtype == vio.event_dtype() and len(got) == len(expected) and (got == expected).all()
    with h5py.File(path) as file:
        assert file["events/t"].chunks == (50_000,) and file["events/x"].compression == "gzip"
        ms_to_idx = file["ms_to_idx"][:]
    t = expected["timestamp"]
    assert len(ms_to_idx) == t[-1] // 1000 + 1
    assert (ms_to_idx == np.searchsorted(t, np.arange(len(ms_to_idx)) * 1000)).all()
    with pytest.raises(FileExistsError):
        vio.write_hdf5(path, expected)


def test_hdf5_refuses_what_it_cannot_hold(tmp_path):
    h5py = extra("h5py", "hdf5")
    events = np.zeros(3, vio.event_dtype())
    events["timestamp"] = [5, 9, 7]
    with pytest.raises(ValueError, match="event 2 at 7 us comes before"):
        vio.write_hdf5(tmp_path / "a.h5", events)
    with pytest.raises(TypeError, match="source must be"):
        vio.write_hdf5(tmp_path / "b.h5", 42)
    with h5py.File(tmp_path / "c.h5", "w") as file:
        file["events/x"] = np.zeros(2, np.uint16)
    with pytest.raises(ValueError, match="c.h5: no events/x"):
        vio.read_hdf5(tmp_path / "c.h5")


def plain_read(paths):
    frames = []
    for path in paths:
        with vio.open_recording(path) as recording:
            events = recording.read(min(10_000_000, recording.end_us - recording.start_us))[0]
        frames.append((str(path), events))
    return frames


def check_frame(frame, recordings, chunk_us):
    counts = []
    for path, events in plain_read(recordings):
        part = frame[frame["file"] == path]
        assert (part["t"].to_numpy() == events["timestamp"]).all()
        assert (part["x"].to_numpy() == events["x"]).all() and (part["y"].to_numpy() == events["y"]).all()
        assert (part["p"].to_numpy() == events["polarity"]).all()
        counts.append(len(events))
    assert len(frame) == sum(counts)


def test_dask_read_on_a_local_cluster_equals_a_plain_read(recordings):
    distributed = extra("distributed", "dask")
    from velmo.io.dask import read_recordings

    frame = read_recordings(recordings, chunk_us=250_000)
    with vio.open_recording(recordings[0]) as recording:
        first_parts = -(-(recording.end_us - recording.start_us) // 250_000)
    assert frame.npartitions >= first_parts + 3
    assert list(frame.columns) == ["t", "x", "y", "p", "file"]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster):
            check_frame(frame.compute(), recordings, 250_000)
    with pytest.raises(ValueError, match="chunk_us"):
        read_recordings(recordings, chunk_us=0)
