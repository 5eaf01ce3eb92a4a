"""Events without a camera: the event and trigger data types, the EVT3 decoder and encoder,
recordings with their playback and seek, writing recordings from any source, streams of slices,
and HDF5 files (the `hdf5` extra). `velmo.io.dask` reads many recordings as one Dask dataframe
(the `dask` extra)."""

from velmo_sim import (
    Decoder,
    Recording,
    RecordingWriter,
    Slice,
    Stream,
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
    "trigger_dtype",
    "write_hdf5",
]
