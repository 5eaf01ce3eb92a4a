"""A tour of velmo-python on the simulated camera.

Lists the cameras, opens one, reads a million events and draws them, shows every tool with its
parameters, narrows the stream with the region of interest and event rate control, draws the
same span of time before and after, records half a second to a file and plays it back, and ends
with a tool written in Python that native code questions through velmo.testing.NativeHolder.

Events are read in chunks; on a terminal a tqdm progress bar on standard error follows the
reads and the recording. The pictures are drawn by velmo.frames and laid out with matplotlib;
tqdm and matplotlib come with the package's `examples` extra: pip install 'velmo-python[examples]'.
"""

import argparse
import sys
import textwrap
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import velmo_hal_py as hal
import velmo.io
import velmo.sim
import velmo.testing
from matplotlib.figure import Figure
from tqdm import tqdm

from figures import count_maps, palette_key, show_picture

EventArray = np.ndarray[tuple[int], np.dtype[np.void]]
ParameterRecord = hal.IntParameterInfo | hal.FloatParameterInfo | hal.BoolParameterInfo | hal.EnumParameterInfo
ParameterValue = int | float | bool | str

READ_CHUNK = 100_000  # events per read_events call: small enough for a smooth progress bar


def heading(title: str) -> None:
    print(f"\n== {title} " + "=" * max(0, 72 - len(title)))


def indent(text: object, prefix: str = "    ") -> str:
    return textwrap.indent(str(text), prefix)


def joined(chunks: list[EventArray]) -> EventArray:
    # Without the data type NumPy would pack the records into 13 bytes, dropping the fill.
    events: EventArray = np.concatenate(chunks, dtype=velmo.io.event_dtype()) if chunks else \
        np.empty(0, dtype=velmo.io.event_dtype())
    return events


def read_events(camera: velmo.sim.Camera, count: int, label: str) -> EventArray:
    """Reads count events in chunks; fewer only when the camera's filters pass too few."""
    chunks: list[EventArray] = []
    done = 0
    # disable=None draws the bar on a terminal only, so redirected output stays clean. A
    # disabled bar counts nothing, so the count is kept here.
    with tqdm(total=count, desc=label, unit="ev", unit_scale=True, disable=None) as progress:
        while done < count:
            wanted = min(READ_CHUNK, count - done)
            chunk = camera.read_events(wanted)
            chunks.append(chunk)
            done += len(chunk)
            progress.update(len(chunk))
            if len(chunk) < wanted:
                break
    return joined(chunks)


def read_until(camera: velmo.sim.Camera, last_us: int, label: str) -> EventArray:
    """Reads the stream up to and including time stamp last_us."""
    chunks: list[EventArray] = []
    shown = 0
    with tqdm(total=last_us, desc=label, unit="us", unit_scale=True, disable=None) as progress:
        while True:
            chunk = camera.read_events(READ_CHUNK)
            if len(chunk) == 0:
                break
            chunks.append(chunk[chunk["timestamp"] <= last_us])
            reached = int(chunk["timestamp"][-1])
            progress.update(min(reached, last_us) - shown)
            shown = min(reached, last_us)
            if reached > last_us or len(chunk) < READ_CHUNK:
                break
    return joined(chunks)


def summarize(events: EventArray) -> None:
    count = len(events)
    if count == 0:
        print("    no events")
        return
    timestamps = events["timestamp"]
    first, last = int(timestamps[0]), int(timestamps[-1])
    span_s = (last - first) / 1e6
    rate = f"{count / span_s / 1e6:.3f} Mev/s" if span_s > 0 else "n/a"
    on_share = np.count_nonzero(events["polarity"]) / count
    print(f"    events     {count:,}")
    print(f"    time span  {first:,} .. {last:,} us ({span_s:.3f} s)")
    print(f"    event rate {rate}")
    print(f"    x          {events['x'].min()} .. {events['x'].max()}")
    print(f"    y          {events['y'].min()} .. {events['y'].max()}")
    print(f"    polarity   ON {on_share:.1%}, OFF {1 - on_share:.1%}")


def time_span(events: EventArray) -> str:
    if len(events) == 0:
        return "no events"
    first, last = int(events["timestamp"][0]), int(events["timestamp"][-1])
    return f"{len(events):,} events, t = {first / 1e6:.3f} .. {last / 1e6:.3f} s"


def draw(path: Path, title: str, panels: list[tuple[str, EventArray]], width: int, height: int) -> Path:
    """Each panel's events as frames.render colours them, above the same events counted per
    pixel on one colour scale shared by all panels, with the key to both."""
    shape = (height, width)
    figure = Figure(figsize=(8.6 * len(panels), 8.6), layout="constrained")
    pictures, counts = figure.subfigures(2, 1, squeeze=False)[:, 0]
    pictures.suptitle("Each pixel coloured by the polarities of its events", fontsize="medium")
    for axis, (label, events) in zip(pictures.subplots(1, len(panels), squeeze=False)[0], panels):
        show_picture(axis, events, shape, f"{label}\n{time_span(events)}")
    pictures.legend(handles=palette_key(), loc="outside right upper", title="pixel colour")
    counts.suptitle("Events per pixel: the same colour is the same count in every panel", fontsize="medium")
    count_maps(counts, list(counts.subplots(1, len(panels), squeeze=False)[0]), panels, shape)
    figure.suptitle(title)
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=80)
    return path


def describe_range(record: ParameterRecord) -> str:
    if isinstance(record, hal.IntParameterInfo):
        return f"{record.min:,} .. {record.max:,}"
    if isinstance(record, hal.FloatParameterInfo):
        return f"{record.min:g} .. {record.max:g}"
    if isinstance(record, hal.EnumParameterInfo):
        return " | ".join(record.options)
    return "False | True"


def print_parameter_table(tool: hal.CameraTool, with_values: bool = True) -> None:
    table = tool.get_all_param_info()
    named = [name for name in tool.get_tool_info().parameter_names if name in table]
    names = named + sorted(set(table) - set(named))
    columns = f"    {'name':<15} {'type':<6} {'range or options':<38} {'default':<12} {'unit':<6}"
    print(columns + (" current" if with_values else ""))
    for name in names:
        kind = table[name].type.name
        answer = tool.get_param_info(name)
        record = answer[1] if answer and answer[0] else None
        if record is None:
            print(f"    {name:<15} {kind:<6} (no metadata)")
            continue
        default = f"{record.default_value:g}" if isinstance(record.default_value, float) else record.default_value
        line = (f"    {name:<15} {kind:<6} {describe_range(record):<38} {str(default):<12} "
                f"{getattr(record, 'unit', ''):<6}")
        if with_values:
            read = tool.get_param(name)
            line += f" {read[1] if read and read[0] else '(unreadable)'}"
        print(line)


def set_params(tool: hal.CameraTool, settings: dict[str, ParameterValue]) -> None:
    for name, value in settings.items():
        accepted = tool.set_param(name, value)
        print(f"    {type(tool).__name__}.set_param({name!r}, {value!r}) -> {accepted}")


class FrameExposureTool(hal.CameraTool):
    """A tool written in Python. Native code calls it under the native operation names."""

    def __init__(self) -> None:
        super().__init__("aps.")
        self._parameters: dict[str, tuple[hal.ToolParameterType, str, Callable[[ParameterRecord], bool]]] = {
            "exposure": (hal.ToolParameterType.INT, "Exposure time of a frame", self._exposure),
            "gain": (hal.ToolParameterType.FLOAT, "Analog gain", self._gain),
            "auto_exposure": (hal.ToolParameterType.BOOL, "Let the sensor pick the exposure", self._auto),
            "shutter": (hal.ToolParameterType.ENUM, "How the rows are exposed", self._shutter),
        }

    def getToolInfo(self) -> hal.ToolInfo:
        info = hal.ToolInfo()
        info.tool_type = hal.ToolType.APS_CTRL
        info.parameter_names = list(self._parameters)
        info.description = "Frame exposure control, implemented in Python"
        return info

    def getAllParamInfo(self) -> dict[str, hal.BasicParameterInfo]:
        table: dict[str, hal.BasicParameterInfo] = {}
        for name, (kind, description, _) in self._parameters.items():
            basic = hal.BasicParameterInfo()
            basic.name, basic.description, basic.type = name, description, kind
            table[name] = basic
        return table

    def getParamInfo(self, name: str, record: ParameterRecord) -> bool:
        entry = self._parameters.get(name)
        return entry is not None and entry[2](record)

    @staticmethod
    def _exposure(record: ParameterRecord) -> bool:
        if not isinstance(record, hal.IntParameterInfo):
            return False
        record.min, record.max, record.default_value, record.unit = 10, 100_000, 10_000, "us"
        return True

    @staticmethod
    def _gain(record: ParameterRecord) -> bool:
        if not isinstance(record, hal.FloatParameterInfo):
            return False
        record.min, record.max, record.default_value, record.unit = 1.0, 16.0, 2.0, "x"
        return True

    @staticmethod
    def _auto(record: ParameterRecord) -> bool:
        if not isinstance(record, hal.BoolParameterInfo):
            return False
        record.default_value = True
        return True

    @staticmethod
    def _shutter(record: ParameterRecord) -> bool:
        if not isinstance(record, hal.EnumParameterInfo):
            return False
        record.options, record.default_value = ["GLOBAL", "ROLLING"], "ROLLING"
        return True


def tour_cameras(serial: str | None) -> velmo.sim.Camera:
    heading("Simulated cameras")
    for description in velmo.sim.list_cameras():
        print(indent(description))
        print()
    camera = velmo.sim.open_camera(serial)
    heading("Opened camera")
    print(indent(camera.description))
    raw_format = camera.raw_format
    print(f"    raw format: encoding {raw_format.get_encoding_type_str()} ({raw_format.get_encoding_type()})")
    for option in ("width", "height"):
        if raw_format.contains(option):
            print(f"    option {option} = {raw_format[option]}")
    return camera


def tour_tools(camera: velmo.sim.Camera) -> None:
    heading("Tools")
    for tool in camera.tools():
        print(f"  {type(tool).__name__}")
        print(indent(tool.get_tool_info()))
        print_parameter_table(tool)
        print()


def tour_python_tool() -> None:
    heading("A tool written in Python, read by native code")
    tool = FrameExposureTool()
    holder = velmo.testing.NativeHolder(tool)
    print("  native getToolInfo():")
    print(indent(holder.tool_info()))
    print("  native getAllParamInfo():")
    for basic in holder.all_param_info().values():
        print(indent(basic))
    print("  native getParamInfo(name, record):")
    queries: list[tuple[str, ParameterRecord]] = [
        ("exposure", hal.IntParameterInfo()), ("gain", hal.FloatParameterInfo()),
        ("auto_exposure", hal.BoolParameterInfo()), ("shutter", hal.EnumParameterInfo()),
        ("exposure", hal.FloatParameterInfo())]
    for name, record in queries:
        found, filled = holder.param_info(name, record)
        print(f"    {name:<14} as {type(record).__name__:<19} -> {found}: {filled}")
    print("  the same tool from Python:")
    print_parameter_table(tool, with_values=False)


def tour_recording(serial: str, folder: Path, duration_us: int) -> None:
    heading("Recording and playing back")
    path = folder / "tour.vrec"
    folder.mkdir(parents=True, exist_ok=True)
    with velmo.sim.open_camera(serial) as camera, \
            tqdm(total=duration_us / 1e6, desc="Recording", unit="s", disable=None) as progress:
        camera.tool(hal.ToolType.TRIGGER_IN).set_param("enable", True)
        camera.record(path, duration_us, overwrite=True, progress=lambda span_us: progress.update(span_us / 1e6))
    with velmo.io.open_recording(path) as recording:
        events, triggers = recording.read(recording.duration_us)
        print(f"    {path}: {recording.duration_us / 1e6:.3f} s of camera {recording.description.serial}, "
              f"{recording.data_bytes:,} bytes of EVT3")
        print(f"    played back: {len(events):,} events and {len(triggers):,} trigger events")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").partition("\n")[0])
    parser.add_argument("--out", type=Path, default=Path("out"), help="folder for the PNG files (default: ./out)")
    parser.add_argument("--serial", help="serial of the camera to open (default: the first)")
    parser.add_argument("--events", type=int, default=1_000_000, help="events per read (default: 1000000)")
    args = parser.parse_args(argv)
    started = time.perf_counter()

    camera = tour_cameras(args.serial)
    width, height = int(camera.raw_format["width"]), int(camera.raw_format["height"])

    heading(f"Reading {args.events:,} events")
    events = read_events(camera, args.events, "Reading events")
    summarize(events)
    picture = draw(args.out / "events.png", f"Camera {camera.description.serial}: every event",
                   [("all events", events)], width, height)
    print(f"    picture written to {picture}")

    tour_tools(camera)

    heading("Region of interest and event rate control")
    span_s = (int(events["timestamp"][-1]) - int(events["timestamp"][0])) / 1e6 if len(events) > 1 else 0.0
    erc = camera.tool(hal.ToolType.EVENT_RATE_CONTROL)
    found = erc.get_param_info("max_event_rate")
    rate_info = found[1] if found else None
    if not isinstance(rate_info, hal.IntParameterInfo):
        raise RuntimeError(f"max_event_rate has no integer range: {rate_info}")
    measured_rate = len(events) / span_s if span_s > 0 else rate_info.max
    limit = rate_info.constraint_value(int(round(measured_rate / 8, -3)))
    # The same serial gives the same stream: a second opening of the camera, with the filters
    # set, replays the span read above through them.
    with velmo.sim.open_camera(camera.description.serial) as replay:
        set_params(replay.tool(hal.ToolType.ROI), {"x": width // 4, "y": height // 4, "x_width": width // 2,
                                                  "y_height": height // 2, "mode": "ROI", "enable": True})
        set_params(replay.tool(hal.ToolType.EVENT_RATE_CONTROL), {"max_event_rate": limit, "enable": True})
        last_us = int(events["timestamp"][-1]) if len(events) else 0
        narrowed = read_until(replay, last_us, "Reading the same span narrowed")
    summarize(narrowed)
    picture = draw(args.out / "events_roi_erc.png",
                   f"Camera {camera.description.serial}: the same span before and after the ROI and event rate control",
                   [("before", events), ("after", narrowed)], width, height)
    print(f"    pictures of the same span written to {picture}")

    tour_recording(camera.description.serial, args.out, 500_000)

    tour_python_tool()

    print(f"\nTour finished in {time.perf_counter() - started:.1f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
