"""Many recordings as one Dask dataframe, decoded where Dask runs its tasks (the `dask` extra).

Each partition is one span of sensor time of one file, read on its own: it opens the file, seeks
to the span through the recording's index and reads to the span's end. A partition holds only the
file's path and its span, so it runs on Dask's distributed scheduler, on any machine that sees
the files, unchanged.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from velmo import _io

from velmo.io._extras import extra_module

# The most sensor time one read of a recording may span.
_READ_STEP_US = 10_000_000


def _frame(path: str, events: npt.NDArray[Any]) -> Any:
    pandas = extra_module("pandas", "dask", "velmo.io.dask")
    return pandas.DataFrame(
        {
            "t": events["timestamp"],
            "x": events["x"],
            "y": events["y"],
            "p": events["polarity"],
            "file": pandas.Categorical.from_codes(np.zeros(len(events), np.int8), categories=[path]),
        }
    )


def read_span(path: str, start_us: int, end_us: int) -> Any:
    """The events of the recording at path in [start_us, end_us), as a pandas DataFrame with the
    columns t, x, y, p and file."""
    with _io.open_recording(path) as recording:
        recording.seek(start_us)
        pieces = []
        while recording.position_us < end_us:
            pieces.append(recording.read(min(_READ_STEP_US, end_us - recording.position_us))[0])
    events = np.concatenate(pieces) if pieces else np.empty(0, _io.event_dtype())
    return _frame(path, events)


def read_recordings(paths: Iterable[Union[str, os.PathLike[str]]], chunk_us: int = 1_000_000) -> Any:
    """A dask.dataframe of the events of the recordings (or raw EVT3 files with a text header), with
    the columns t, x, y, p and file (categorical, the path), one partition per chunk_us of each
    file's sensor time, in file order and then time order."""
    dd = extra_module("dask.dataframe", "dask", "velmo.io.dask")
    if isinstance(chunk_us, bool) or not isinstance(chunk_us, int) or chunk_us <= 0:
        raise ValueError(f"chunk_us must be a positive int, got {chunk_us!r}")
    spans: list[tuple[str, int, int]] = []
    for path in (os.fspath(p) for p in paths):
        with _io.open_recording(path) as recording:
            start, end = recording.start_us, recording.end_us
        spans.extend((path, begin, min(begin + chunk_us, end)) for begin in range(start, end, chunk_us))
    if not spans:
        raise ValueError("paths: no recording with any sensor time to read")
    meta = _frame("", np.empty(0, _io.event_dtype())).astype({"file": "category"})
    return dd.from_map(_read_partition, spans, meta=meta, enforce_metadata=False)


def _read_partition(span: tuple[str, int, int]) -> Any:
    return read_span(*span)
