"""Events without a camera: the event and trigger data types, the EVT3 decoder, recordings with
their playback, and streams of slices."""

from velmo_sim import (
    Decoder,
    Recording,
    Slice,
    Stream,
    decode,
    event_dtype,
    open_recording,
    trigger_dtype,
)

__all__ = ["Decoder", "Recording", "Slice", "Stream", "decode", "event_dtype", "open_recording", "trigger_dtype"]
