"""The viewer's one reader of its source: a thread that streams the camera or plays the recording,
renders a picture every frame period of sensor time, and hands it to the server.

Everything that touches the stream (recording to a file, pausing a playback) runs on this
thread, between two slices, so that the stream has one user.
"""

from __future__ import annotations

import collections
import concurrent.futures
import itertools
import queue
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any, TypeIs

import numpy as np
import velmo.io

if TYPE_CHECKING:
    import velmo.sim

from velmo.view import picture

SLICE_US = 10_000
FRAME_US = 40_000  # 25 pictures a second
MIN_WINDOW_US = 1_000
MAX_WINDOW_US = 1_000_000
DEFAULT_WINDOW_US = 20_000
RATE_BIN_US = 250_000
RATE_SPAN_US = 10_000_000
# A realtime camera stream drops what the feed has not taken after this many slices.
BACKLOG_SLICES = 8
COMMANDS_QUEUED = 32
RECORDING_SUFFIX = ".vrec"


@dataclass
class Frame:
    """One picture and what the page shows beside it."""
    png: bytes
    header: dict[str, Any]
    due: float  # time.monotonic() when its newest slice's span ended; the picture's age starts there


@dataclass
class _Command:
    action: Callable[[], Any]
    result: concurrent.futures.Future[Any] = field(default_factory=concurrent.futures.Future)


type Source = velmo.sim.Camera | velmo.io.Recording


def is_camera(source: object) -> TypeIs[velmo.sim.Camera]:
    """Whether `source` is a live camera rather than a recording. A build over the maker's
    libraries has no simulated camera (velmo.sim) and shows recordings only."""
    try:
        from velmo.sim import Camera
    except ImportError:
        return False
    return isinstance(source, Camera)


def _size(source: Source) -> tuple[int, int]:
    raw = source.raw_format
    if raw.contains("width") and raw.contains("height"):
        return int(raw["width"]), int(raw["height"])
    return 1280, 720


class Feed:
    """Reads `source` (an open camera or recording) until closed, calling `publish` with each
    Frame and `changed` with the state (pause, window, recording, end) whenever it changes.
    Both are called on the feed's thread."""

    def __init__(self, source: Source, publish: Callable[[Frame], None],
                 changed: Callable[[dict[str, Any]], None], record_dir: Path | None = None) -> None:
        self.source = source
        self.live = is_camera(source)
        self.record_dir = record_dir
        self.width, self.height = _size(source)
        self._publish = publish
        self._changed = changed
        self._commands: queue.Queue[_Command] = queue.Queue(COMMANDS_QUEUED)
        self._stop = threading.Event()
        self._window_us = DEFAULT_WINDOW_US
        self._paused = False
        self._ended = False
        self._recording: dict[str, Any] | None = None
        self._slices: collections.deque[tuple[int, np.ndarray]] = collections.deque()
        self._bins: collections.deque[list[int]] = collections.deque(maxlen=RATE_SPAN_US // RATE_BIN_US + 1)
        self._dropped_before = 0
        self._stream: velmo.io.Stream | None = None
        self._thread = threading.Thread(target=self._run, name="velmo-view-feed", daemon=True)

    def start(self) -> None:
        """Starts reading; a source that cannot stream (a camera another reader holds) raises here."""
        self._last_end_us = 0
        self._sensor_offset_us = 0
        self._open_stream()
        self._thread.start()

    def close(self) -> None:
        self._stop.set()
        self._thread.join()

    @property
    def dropped_slices(self) -> int:
        """Slices the source's stream dropped because the feed fell behind."""
        stream = self._stream
        return self._dropped_before + (0 if stream is None else stream.dropped_slices)

    def state(self) -> dict[str, Any]:
        return {"paused": self._paused, "window_us": self._window_us, "ended": self._ended,
                "live": self.live, "can_record": self.live and self.record_dir is not None,
                "recording": None if self._recording is None else self._recording["file"]}

    # Commands: called from any thread, carried out by the feed's thread between two slices.

    def call(self, action: Callable[[], Any]) -> concurrent.futures.Future[Any]:
        command = _Command(action)
        try:
            self._commands.put_nowait(command)
        except queue.Full:
            command.result.set_exception(RuntimeError("the viewer is busy; try again"))
        return command.result

    def set_window(self, window_us: int) -> None:
        self._window_us = window_us
        self._changed(self.state())

    def set_paused(self, paused: bool) -> None:
        self._paused = paused
        self._changed(self.state())

    def start_recording(self) -> str:
        if self._stream is None or self.record_dir is None or not self.live:
            raise ValueError("recording needs a live camera and a folder to record into (--record-dir)")
        if self._recording is not None:
            raise ValueError(f"already recording to {self._recording['file']}")
        path = self._new_recording_path()
        self._stream.record_to(str(path))
        self._recording = {"file": path.name, "path": path, "start_us": None}
        self._changed(self.state())
        return path.name

    def stop_recording(self) -> str:
        if self._recording is None:
            raise ValueError("not recording")
        # A stream records until it closes: the camera goes on in a new one.
        name: str = self._recording["file"]
        self._restart_stream()
        self._recording = None
        self._changed(self.state())
        return name

    # The feed's thread.

    def _new_recording_path(self) -> Path:
        assert self.record_dir is not None
        stamp = datetime.now().strftime("%Y%m%d-%H%M%S")
        for number in itertools.count(1):
            path = self.record_dir / f"velmo-{stamp}{'' if number == 1 else f'-{number}'}{RECORDING_SUFFIX}"
            if not path.exists():
                return path
        raise AssertionError("unreachable")

    def _open_stream(self) -> None:
        self._stream = self.source.stream(slice_us=SLICE_US, realtime=self.live, max_backlog=BACKLOG_SLICES)
        self._origin = time.monotonic()

    def _restart_stream(self) -> None:
        assert self._stream is not None
        self._dropped_before += self._stream.dropped_slices
        self._stream.close()
        self._open_stream()
        self._sensor_offset_us = self._last_end_us

    def _waiting_commands(self) -> Iterator[_Command]:
        while True:
            try:
                yield self._commands.get_nowait()
            except queue.Empty:
                return

    def _run_commands(self) -> None:
        for command in self._waiting_commands():
            try:
                command.result.set_result(command.action())
            except Exception as error:  # handed to the caller, whose request it was
                command.result.set_exception(error)

    def _run(self) -> None:
        next_frame_us = FRAME_US
        try:
            while not self._stop.is_set():
                self._run_commands()
                if self._ended or (self._paused and not self.live):
                    self._stop.wait(0.02)
                    if not self.live and not self._ended:
                        self._origin = time.monotonic() - (self._last_end_us - self._sensor_offset_us) / 1e6
                    continue
                assert self._stream is not None
                piece = next(self._stream, None)
                if piece is None:
                    self._ended = True
                    self._changed(self.state())
                    continue
                end_us = self._sensor_offset_us + piece.end_us
                due = self._origin + piece.end_us / 1e6
                if not self.live:
                    # A recording is read ahead as fast as it decodes: play it at its recorded pace.
                    self._stop.wait(max(0.0, due - time.monotonic()))
                self._take(end_us, piece.events)
                if self._recording is not None and self._recording["start_us"] is None:
                    self._recording["start_us"] = end_us - SLICE_US
                if end_us >= next_frame_us:
                    next_frame_us = max(next_frame_us + FRAME_US, end_us - end_us % FRAME_US + FRAME_US)
                    if not self._paused:
                        self._publish(self._frame(end_us, due))
        finally:
            if self._stream is not None:
                self._stream.close()
            self._fail_waiting_commands()

    def _fail_waiting_commands(self) -> None:
        for command in self._waiting_commands():
            command.result.set_exception(RuntimeError("the viewer has closed"))

    def _take(self, end_us: int, events: np.ndarray) -> None:
        self._last_end_us = end_us
        self._slices.append((end_us, events))
        while self._slices and self._slices[0][0] <= end_us - MAX_WINDOW_US:
            self._slices.popleft()
        start_bin = (end_us - 1) // RATE_BIN_US
        if not self._bins or self._bins[-1][0] != start_bin:
            self._bins.append([start_bin, 0])
        self._bins[-1][1] += len(events)

    def _frame(self, end_us: int, due: float) -> Frame:
        window = [events for slice_end, events in self._slices if slice_end > end_us - self._window_us]
        png = picture.png(picture.indices(window, self.width, self.height))
        complete = list(self._bins)[:-1]
        history = [count * 1_000_000 // RATE_BIN_US for _, count in complete]
        per_second = 1_000_000 // RATE_BIN_US
        rate = sum(history[-per_second:]) // per_second if len(history) >= per_second else None
        header: dict[str, Any] = {
            "sensor_us": end_us, "rate": rate, "history": history, "bin_us": RATE_BIN_US,
            "dropped_slices": self.dropped_slices,
        }
        if self._recording is not None:
            path: Path = self._recording["path"]
            start_us = self._recording["start_us"] or end_us
            header["recording"] = {"file": self._recording["file"], "duration_s": (end_us - start_us) / 1e6,
                                   "bytes": path.stat().st_size if path.exists() else 0}
        return Frame(png, header, due)
