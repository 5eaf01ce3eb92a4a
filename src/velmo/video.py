"""Events to an MP4 video: one frame per time window, drawn by velmo.frames.render.

The video is encoded by imageio's ffmpeg plugin, whose package ships the encoder; both come
with the package's `video` extra: pip install 'velmo-python[video]'.
"""

from __future__ import annotations

import importlib.util
from collections.abc import Callable, Iterable, Iterator
from pathlib import Path
from typing import Any, Protocol

import numpy as np

from velmo import frames

EventArray = np.ndarray[tuple[int], np.dtype[np.void]]
Window = tuple[int, int, EventArray]
# libx264's usual pixel format halves the picture's resolution of colour: an odd side cannot be encoded.
BLOCK = 2


class RecordingSource(Protocol):
    """What write_video reads a recording through, as velmo.io.open_recording returns it."""

    @property
    def position_us(self) -> int: ...

    @property
    def end_us(self) -> int: ...

    def read(self, duration_us: int) -> tuple[EventArray, Any]: ...


def _imageio() -> Any:
    missing = ImportError("write_video needs the video extra: pip install 'velmo-python[video]'")
    try:
        import imageio.v2 as imageio
    except ImportError as error:
        raise missing from error
    # imageio runs without its ffmpeg plugin, and would fail only at the first frame.
    if importlib.util.find_spec("imageio_ffmpeg") is None:
        raise missing
    return imageio


def _recording_windows(recording: RecordingSource, window_us: int) -> Iterator[Window]:
    while recording.position_us < recording.end_us:
        start = recording.position_us
        span = min(window_us, recording.end_us - start)
        events, _ = recording.read(span)
        yield start, start + span, events


def _windows_of(source: Any, window_us: int) -> Iterable[Window]:
    if isinstance(source, np.ndarray):
        return frames.windows(source, duration_us=window_us)
    if all(hasattr(source, name) for name in ("read", "position_us", "end_us")):
        return _recording_windows(source, window_us)
    if isinstance(source, Iterable):
        return source
    raise TypeError("windows_or_source must be windows as frames.windows makes them, an array of events or a "
                    f"recording, not {type(source).__name__}")


def _sensor_shape(source: Any) -> tuple[int, int] | None:
    raw_format = getattr(source, "raw_format", None)
    if raw_format is not None and raw_format.contains("width") and raw_format.contains("height"):
        return int(raw_format["height"]), int(raw_format["width"])
    return None


def _padded(picture: np.ndarray[Any, np.dtype[np.uint8]]) -> np.ndarray[Any, np.dtype[np.uint8]]:
    height, width = picture.shape[:2]
    extra_rows, extra_columns = -height % BLOCK, -width % BLOCK
    if not extra_rows and not extra_columns:
        return picture
    padded = np.empty((height + extra_rows, width + extra_columns, 3), dtype=np.uint8)
    padded[...] = frames.PALETTE["none"]
    padded[:height, :width] = picture
    return padded


def write_video(windows_or_source: Any, path: str | Path, *, fps: float = 30, window_us: int | None = None,
                shape: tuple[int, int] | None = None, progress: Callable[[int], object] | None = None) -> int:
    """Writes one frame per window of events to the MP4 file `path` and returns the number of frames.

    windows_or_source is a sequence of (start_us, end_us, events) windows as frames.windows
    makes them, a time-sorted array of events, or a recording (velmo.io.open_recording), read
    window by window from its current position. An array or a recording is cut into windows of
    window_us microseconds, by default 1 / fps seconds: the video then plays at the speed the
    events happened. shape is (height, width), by default the recording's sensor size; it is
    needed for windows and arrays. A side of odd length is padded with PALETTE['none'] so
    that the encoder takes it. progress, if given, is called with each window's span in
    microseconds once it is written. An error on the way still leaves a finished, playable
    file of the frames written before it.
    """
    if fps <= 0:
        raise ValueError(f"fps must be positive, not {fps}")
    if window_us is None:
        window_us = max(1, round(1e6 / fps))
    elif window_us <= 0:
        raise ValueError(f"window_us must be positive, not {window_us}")
    shape = shape or _sensor_shape(windows_or_source)
    if shape is None:
        raise ValueError("shape: give the (height, width) of the frames for windows or an array of events")
    windows = _windows_of(windows_or_source, window_us)
    imageio = _imageio()
    written = 0
    # macro_block_size=1: the plugin would otherwise scale every frame to a multiple of 16 pixels.
    with imageio.get_writer(Path(path), format="FFMPEG", mode="I", fps=fps, codec="libx264",
                            macro_block_size=1, ffmpeg_log_level="error") as writer:
        for start_us, end_us, events in windows:
            writer.append_data(_padded(frames.render(events, shape)))
            written += 1
            if progress is not None:
                progress(end_us - start_us)
    if not written:
        raise ValueError("windows_or_source holds no window: no video was written")
    return written
