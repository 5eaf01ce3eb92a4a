"""Events without a camera: the event and trigger data types, the EVT3 decoder and encoder,
recordings with their playback and seek, writing recordings from any source, streams of slices,
and HDF5 files (the `hdf5` extra). Its native half, velmo._io, needs no device library: it is in
every build, over the simulated camera or over the maker's libraries. `velmo.io.dask` reads many recordings as one Dask dataframe
(the `dask` extra)."""

from collections.abc import Iterable, Iterator

from velmo_hal_py import RawEventStreamFormat

from velmo._io import (
    Decoder,
    Recording,
    RecordingWriter,
    Slice,
    Stream,
    _ChunkSlicer,
    decode,
    encode,
    event_dtype,
    open_recording,
    trigger_dtype,
)

from velmo.io.hdf5 import read_hdf5, write_hdf5

__all__ = [
    "Decoder",
    "Recording",
    "RecordingWriter",
    "Slice",
    "Stream",
    "decode",
    "encode",
    "event_dtype",
    "open_recording",
    "read_hdf5",
    "slices",
    "trigger_dtype",
    "write_hdf5",
]


def slices(chunks: Iterable[bytes | bytearray | memoryview], *, raw_format: str | RawEventStreamFormat,
           slice_us: int = 10_000) -> Iterator[Slice]:
    """The slices a camera's stream would give for the raw EVT3 stream in `chunks` (a device
    file read piece by piece, another program's pipe, a generator): [k slice_us, (k + 1) slice_us)
    of sensor time, from the one holding the first record on. The chunks may be cut anywhere; a
    slice is handed out once the stream's time has passed its end, and the last ones when the
    chunks run out. A text header at the stream's start is skipped, as `Decoder` skips it."""
    slicer = _ChunkSlicer(raw_format=raw_format, slice_us=slice_us)
    for chunk in chunks:
        yield from slicer.feed(chunk)
    yield from slicer.finish()
