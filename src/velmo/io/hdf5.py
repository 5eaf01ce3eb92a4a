"""Events in HDF5 files, in the layout public event datasets share: one dataset per field
(`events/x`, `events/y`, `events/p`, `events/t`, in microseconds) and `ms_to_idx`, whose entry m
is the index of the first event at or after m milliseconds. Needs h5py (the `hdf5` extra).

Both directions stream: events are written as they come, chunk by chunk, and read straight into
the result, so that no more than a chunk is held besides the events themselves.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from velmo import _io

from velmo.io._extras import extra_module

# Records per write and per HDF5 chunk: about 16 MB of events at a time.
CHUNK_EVENTS = 1 << 20
# Sensor time a recording is read in per step.
RECORDING_STEP_US = 1_000_000
_FIELDS = (("x", "x", np.uint16), ("y", "y", np.uint16), ("p", "polarity", np.uint8), ("t", "timestamp", np.int64))
_US_PER_MS = 1000


def _h5py() -> Any:
    return extra_module("h5py", "hdf5", "velmo.io's HDF5 files")


def _pieces(source: Any) -> Iterable[npt.NDArray[Any]]:
    """The events of an array, a recording or an iterable of slices, piece by piece."""
    dtype = _io.event_dtype()
    if isinstance(source, np.ndarray):
        if source.dtype != dtype or source.ndim != 1:
            raise TypeError(f"source must be a one-dimensional array of {dtype}, got {source.ndim}-d {source.dtype}")
        for start in range(0, len(source), CHUNK_EVENTS):
            yield source[start:start + CHUNK_EVENTS]
        return
    if isinstance(source, _io.Recording):
        while source.position_us < source.end_us:
            yield source.read(min(RECORDING_STEP_US, source.end_us - source.position_us))[0]
        return
    try:
        slices = iter(source)
    except TypeError:
        raise TypeError(
            f"source must be an events array, a Recording or an iterable of slices, got {type(source).__name__}"
        ) from None
    for piece in slices:
        events = getattr(piece, "events", None)
        if events is None:
            raise TypeError(f"source must yield slices (with .events), got {type(piece).__name__}")
        yield events


class _MillisecondIndex:
    """Builds ms_to_idx from events that come in time order, piece by piece."""

    def __init__(self) -> None:
        self.count = 0
        self.last_t = -1
        self.next_ms = 0

    def add(self, t: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
        if len(t) == 0:
            return np.empty(0, np.uint64)
        backwards = np.flatnonzero(t[1:] < t[:-1])
        if len(backwards):
            first = int(backwards[0]) + 1
            raise ValueError(f"source: event {self.count + first} at {t[first]} us comes before the one before it")
        if int(t[0]) < self.last_t:
            raise ValueError(f"source: event {self.count} at {t[0]} us comes before the one before it")
        last_ms = int(t[-1]) // _US_PER_MS
        ms = np.arange(self.next_ms, last_ms + 1, dtype=np.uint64)
        entries = np.searchsorted(t, ms * _US_PER_MS, side="left").astype(np.uint64) + np.uint64(self.count)
        self.next_ms = last_ms + 1
        self.count += len(t)
        self.last_t = int(t[-1])
        return entries


def write_hdf5(path: Union[str, os.PathLike[str]], source: Any, *, overwrite: bool = False) -> int:
    """Writes events to a new HDF5 file and returns how many: from an array of the event data type,
    a Recording (from its position to its end), or an iterable of slices (a Stream). The events must
    come in time order. FileExistsError when the file exists, unless overwrite."""
    h5py = _h5py()
    index = _MillisecondIndex()
    with h5py.File(path, "w" if overwrite else "w-") as file:
        group = file.create_group("events")
        datasets = {
            name: group.create_dataset(
                name, shape=(0,), maxshape=(None,), dtype=dtype, chunks=(CHUNK_EVENTS,), compression="gzip",
                compression_opts=1, shuffle=True,
            )
            for name, _, dtype in _FIELDS
        }
        ms_to_idx = file.create_dataset(
            "ms_to_idx", shape=(0,), maxshape=(None,), dtype=np.uint64, chunks=(CHUNK_EVENTS // 8,),
            compression="gzip", compression_opts=1,
        )
        for events in _pieces(source):
            entries = index.add(events["timestamp"])
            start = index.count - len(events)
            for name, field, _ in _FIELDS:
                dataset = datasets[name]
                dataset.resize((index.count,))
                dataset[start:] = events[field]
            if len(entries):
                done = ms_to_idx.shape[0]
                ms_to_idx.resize((done + len(entries),))
                ms_to_idx[done:] = entries
    return index.count


def read_hdf5(path: Union[str, os.PathLike[str]]) -> npt.NDArray[Any]:
    """The events of an HDF5 file in the layout above, as an array of the event data type.
    ValueError naming the file for one without that layout."""
    h5py = _h5py()
    with h5py.File(path, "r") as file:
        group = file.get("events")
        if not isinstance(group, h5py.Group) or any(name not in group for name, _, _ in _FIELDS):
            raise ValueError(f"{os.fspath(path)}: no events/x, events/y, events/p and events/t datasets")
        count = group["t"].shape[0]
        if any(group[name].shape != (count,) for name, _, _ in _FIELDS):
            raise ValueError(f"{os.fspath(path)}: events/x, events/y, events/p and events/t differ in length")
        events = np.empty(count, _io.event_dtype())
        for start in range(0, count, CHUNK_EVENTS):
            stop = min(count, start + CHUNK_EVENTS)
            for name, field, _ in _FIELDS:
                piece = group[name][start:stop]
                if name == "t" and len(piece) and piece.min() < 0:
                    raise ValueError(f"{os.fspath(path)}: events/t holds a negative time")
                events[field][start:stop] = piece
        return events
