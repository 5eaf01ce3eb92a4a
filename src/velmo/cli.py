"""velmo: record the simulated camera, describe and render recordings, watch and tune in a browser.

    velmo record out.vrec --duration 2 --bias bias_diff_on=40 --roi 320,180,640,360
    velmo record out.vrec --settings tuned.json
    velmo info out.vrec
    velmo render out.vrec out.mp4 --fps 30
    velmo list
    velmo params --serial VLM636-000101
    velmo view --record-dir recordings

On a terminal each shows a tqdm progress bar on standard error; tqdm comes with the package's
`cli` extra (pip install 'velmo-python[cli]'), and without it they run without a bar. render
needs the `video` extra (pip install 'velmo-python[video]').
"""

from __future__ import annotations

import argparse
import errno
import json
import math
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Protocol

import velmo_hal_py as hal
import velmo.io

import velmo

if TYPE_CHECKING:
    import velmo.sim

PROGRAM = "velmo"
READ_SLICE_US = 1_000_000
MAX_DURATION_S = 365 * 24 * 3600
ParameterValue = int | float | bool | str
TRUE_WORDS = {"1", "true", "yes", "on"}
FALSE_WORDS = {"0", "false", "no", "off"}


class UsageError(Exception):
    """A tool setting the command line cannot apply; reported as a usage error."""


class Failure(Exception):
    """Something the command could not do although it was asked correctly; exit status 1."""


class _Bar(Protocol):
    def update(self, n: float) -> object: ...


@contextmanager
def progress_bar(total: int, label: str) -> Iterator[Callable[[int], object]]:
    """An update function for a bar over total microseconds, drawn on a terminal only."""
    if not sys.stderr.isatty():
        yield lambda _: None
        return
    try:
        from tqdm import tqdm
    except ImportError:
        print(f"{PROGRAM}: tqdm is not installed (pip install 'velmo-python[cli]'); no progress bar",
              file=sys.stderr)
        yield lambda _: None
        return
    with tqdm(total=total / 1e6, desc=label, unit="s", unit_scale=False,
              bar_format="{l_bar}{bar}| {n:.2f}/{total:.2f} s of sensor time [{elapsed}<{remaining}]") as bar:
        shown: _Bar = bar
        yield lambda span_us: shown.update(span_us / 1e6)


def with_article(word: str) -> str:
    return ("an " if word[0] in "aeiou" else "a ") + word


# The commands that open a camera open the simulated one. A build over the maker's libraries
# has none, and info and render still read recordings there.
NO_CAMERA = "this build has no simulated camera (velmo.sim) to open; info and render read recordings without one"


def open_camera(serial: str | None) -> velmo.sim.Camera:
    try:
        from velmo.sim import open_camera as open_simulated_camera
    except ImportError:
        raise Failure(NO_CAMERA) from None
    return open_simulated_camera(serial)


def camera_descriptions() -> list[hal.CameraDescription]:
    try:
        from velmo.sim import list_cameras as list_simulated_cameras
    except ImportError:
        raise Failure(NO_CAMERA) from None
    return list_simulated_cameras()


def tool_named(camera: velmo.sim.Camera, kind: str) -> hal.CameraTool:
    try:
        return camera.tool(hal.ToolType.__members__[kind.upper()])
    except KeyError:
        kinds = ", ".join(tool.get_tool_info().tool_type.name for tool in camera.tools())
        raise UsageError(f"no tool {kind!r}; the camera has {kinds}") from None


def parsed_value(tool: hal.CameraTool, name: str, text: str) -> ParameterValue:
    table = tool.get_all_param_info()
    if name not in table:
        tool_kind = tool.get_tool_info().tool_type.name
        raise UsageError(f"{tool_kind} has no parameter {name!r}; it has {', '.join(sorted(table))}")
    kind = table[name].type
    try:
        if kind == hal.ToolParameterType.INT:
            return int(text, 0)
        if kind == hal.ToolParameterType.FLOAT:
            return float(text)
    except ValueError:
        raise UsageError(f"{name} takes {with_article(kind.name.lower())}, not {text!r}") from None
    if kind == hal.ToolParameterType.BOOL:
        if text.lower() in TRUE_WORDS | FALSE_WORDS:
            return text.lower() in TRUE_WORDS
        raise UsageError(f"{name} takes true or false, not {text!r}")
    return text


def apply_setting(camera: velmo.sim.Camera, kind: str, name: str, text: str) -> None:
    tool = tool_named(camera, kind)
    value = parsed_value(tool, name, text)
    if not tool.set_param(name, value):
        raise UsageError(f"the camera refused {kind}.{name} = {text} (see the log line above)")


def split_assignment(text: str, option: str) -> tuple[str, str]:
    name, equals, value = text.partition("=")
    if not equals or not name:
        raise UsageError(f"{option} takes NAME=VALUE, not {text!r}")
    return name.strip(), value.strip()


def settings_file(path: str) -> dict[str, dict[str, ParameterValue]]:
    try:
        with open(path, encoding="utf-8") as file:
            settings = json.load(file)
    except OSError as error:
        raise Failure(f"cannot read the settings file: {error}") from None
    except ValueError as error:
        raise UsageError(f"the settings file {path} is not JSON: {error}") from None
    if not isinstance(settings, dict):
        raise UsageError(f"the settings file {path} holds {type(settings).__name__}, not an object of tools")
    return settings


def configure(camera: velmo.sim.Camera, args: argparse.Namespace) -> None:
    # The file first, so that the options given beside it change what it set.
    if args.settings is not None:
        try:
            camera.apply_settings(settings_file(args.settings))
        except ValueError as error:
            raise UsageError(f"{args.settings}: {error}") from None
    for assignment in args.bias:
        apply_setting(camera, "BIAS", *split_assignment(assignment, "--bias"))
    for assignment in args.set:
        key, value = split_assignment(assignment, "--set")
        kind, dot, name = key.partition(".")
        if not dot:
            raise UsageError(f"--set takes TOOL.NAME=VALUE, not {assignment!r}")
        apply_setting(camera, kind, name, value)
    if args.roi is not None:
        try:
            x, y, width, height = (int(part) for part in args.roi.split(","))
        except ValueError:
            raise UsageError(f"--roi takes X,Y,WIDTH,HEIGHT in pixels, not {args.roi!r}") from None
        for field, pixels in (("x", x), ("y", y), ("x_width", width), ("y_height", height)):
            apply_setting(camera, "ROI", field, str(pixels))
        apply_setting(camera, "ROI", "enable", "true")
    if args.erc_rate is not None:
        apply_setting(camera, "EVENT_RATE_CONTROL", "max_event_rate", str(args.erc_rate))
        apply_setting(camera, "EVENT_RATE_CONTROL", "enable", "true")
    if args.trigger:
        apply_setting(camera, "TRIGGER_IN", "enable", "true")


def duration(text: str) -> int:
    """--duration in seconds, as whole microseconds of at most a year."""
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"takes seconds, not {text!r}") from None
    if not math.isfinite(seconds) or seconds <= 0 or seconds > MAX_DURATION_S:
        raise argparse.ArgumentTypeError(f"takes seconds above 0 and up to {MAX_DURATION_S:,}, not {text!r}")
    duration_us = round(seconds * 1e6)
    if duration_us == 0:
        raise argparse.ArgumentTypeError(f"takes at least a microsecond, not {text!r}")
    return duration_us


def record(args: argparse.Namespace) -> int:
    duration_us: int = args.duration
    with open_camera(args.serial) as camera:
        configure(camera, args)
        with progress_bar(duration_us, "Recording") as update:
            camera.record(args.path, duration_us, overwrite=args.overwrite, progress=update)
    with velmo.io.open_recording(args.path) as recording:
        events, _ = count_records(recording, lambda _: None)
    print(f"recorded {duration_us / 1e6:.3f} s of camera {camera.description.serial} to {args.path}: "
          f"{Path(args.path).stat().st_size:,} bytes, {events:,} events")
    return 0


def count_records(recording: velmo.io.Recording, update: Callable[[int], object]) -> tuple[int, int]:
    """The events and trigger events from the recording's position to its end."""
    events = triggers = 0
    while recording.position_us < recording.end_us:
        span = min(READ_SLICE_US, recording.end_us - recording.position_us)
        slice_events, slice_triggers = recording.read(span)
        events += len(slice_events)
        triggers += len(slice_triggers)
        update(span)
    return events, triggers


def info(args: argparse.Namespace) -> int:
    with velmo.io.open_recording(args.path) as recording:
        camera = recording.description
        print(f"file          {recording.path}")
        raw_format = recording.raw_format
        sensor = (f", {raw_format['width']} x {raw_format['height']} pixels"
                  if raw_format.contains("width") and raw_format.contains("height") else "")
        print(f"format        version {recording.version}, raw {raw_format.get_encoding_type_str()}{sensor}")
        print(f"camera        {camera.serial} ({camera.product}, {camera.manufacturer})")
        print(f"recorded at   {recording.recorded_at}")
        with progress_bar(recording.duration_us, "Reading") as update:
            events, triggers = count_records(recording, update)
        span_s = recording.duration_us / 1e6
        rate = f"{events / span_s / 1e6:.3f} Mev/s" if span_s > 0 else "n/a"
        print(f"span          {recording.start_us:,} .. {recording.end_us:,} us ({span_s:.3f} s)")
        print(f"events        {events:,} ({rate})")
        print(f"triggers      {triggers:,}")
        print(f"data          {recording.data_bytes:,} bytes")
        print("state         " + ("CUT SHORT: the reads end at the last complete word" if recording.truncated
                                  else "complete"))
        print("settings")
        for kind, parameters in recording.settings.items():
            values = " ".join(f"{name}={value}" for name, value in parameters.items())
            print(f"  {kind:<19} {values}")
    return 0


def render(args: argparse.Namespace) -> int:
    from velmo.video import write_video

    if args.fps <= 0:
        raise UsageError(f"--fps must be positive, not {args.fps}")
    if args.window_us is not None and args.window_us <= 0:
        raise UsageError(f"--window-us must be positive, not {args.window_us}")
    out = Path(args.out)
    if out.exists() and not args.overwrite:
        raise FileExistsError(f"{out} exists")
    with velmo.io.open_recording(args.path) as recording:
        with progress_bar(recording.duration_us, "Rendering") as update:
            written = write_video(recording, out, fps=args.fps, window_us=args.window_us, progress=update)
    print(f"rendered {written:,} frames of {recording.duration_us / 1e6:.3f} s to {out}")
    return 0


def list_cameras(args: argparse.Namespace) -> int:
    for camera in camera_descriptions():
        print(f"{camera.serial}  {camera.product} ({camera.manufacturer})")
    return 0


def parameter_line(tool: hal.CameraTool, name: str, basic: hal.BasicParameterInfo) -> str:
    found = tool.get_param_info(name)
    detail = found[1] if found and found[0] else None
    limits = ""
    if isinstance(detail, (hal.IntParameterInfo, hal.FloatParameterInfo)):
        limits = f"{detail.min} to {detail.max}" + (f" {detail.unit}" if detail.unit else "")
    elif isinstance(detail, hal.EnumParameterInfo):
        limits = " | ".join(detail.options)
    default = "" if detail is None else f"default {detail.default_value}"
    read = tool.get_param(name)
    value = read[1] if read and read[0] else "?"
    return f"  {name:<16} {basic.type.name:<5}  {limits:<24} {default:<20} now {value}"


def params(args: argparse.Namespace) -> int:
    with open_camera(args.serial) as camera:
        for tool in camera.tools():
            info = tool.get_tool_info()
            print(f"{info.tool_type.name}: {info.description}")
            for name, basic in sorted(tool.get_all_param_info().items()):
                print(parameter_line(tool, name, basic))
    return 0


def view(args: argparse.Namespace) -> int:
    try:
        from velmo.view import serve
        server = serve(args.source, host=args.host, port=args.port, token=args.token, record_dir=args.record_dir)
    except ModuleNotFoundError as error:
        if error.name == "velmo.sim":
            raise Failure(NO_CAMERA) from None
        if error.name != "aiohttp":
            raise
        raise Failure(str(error)) from None
    with server:
        # Ctrl-C may come as soon as the address is out, so the wait for it starts before.
        try:
            print(f"velmo view: {args.source or 'the first camera'} at {server.url} (Ctrl-C stops)", flush=True)
            threading.Event().wait()
        except KeyboardInterrupt:
            pass
    return 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog=PROGRAM, description=(__doc__ or "").partition("\n")[0])
    top.add_argument("--version", action="version", version=f"{PROGRAM} {velmo.__version__}")
    commands = top.add_subparsers(dest="command", required=True)

    recorder = commands.add_parser("record", help="record the simulated camera to a file")
    recorder.add_argument("path", help="the recording file to write")
    recorder.add_argument("--duration", type=duration, default=1_000_000, metavar="SECONDS",
                          help="seconds of sensor time to record (default: 1)")
    recorder.add_argument("--serial", help="serial of the camera to open (default: the first)")
    recorder.add_argument("--bias", action="append", default=[], metavar="NAME=VALUE",
                          help="set a bias, e.g. bias_diff_on=40 (repeatable)")
    recorder.add_argument("--roi", metavar="X,Y,WIDTH,HEIGHT", help="keep only the events inside this window")
    recorder.add_argument("--erc-rate", type=int, metavar="EVENTS_PER_S",
                          help="enable event rate control at this many events per second")
    recorder.add_argument("--trigger", action="store_true", help="record the trigger input's edges")
    recorder.add_argument("--set", action="append", default=[], metavar="TOOL.NAME=VALUE",
                          help="set any tool parameter, e.g. ANTI_FLICKER.enable=true (repeatable)")
    recorder.add_argument("--overwrite", action="store_true", help="replace an existing file")
    recorder.add_argument("--settings", metavar="FILE.json",
                          help="apply the tools' settings saved in this file (by the viewer, or json.dump of "
                               "Camera.settings()) before the options above")
    recorder.set_defaults(run=record)

    describer = commands.add_parser("info", help="describe a recording: header, span, counts and rate")
    describer.add_argument("path", help="the recording file to read")
    describer.set_defaults(run=info)

    renderer = commands.add_parser("render", help="render a recording to an MP4 video, one frame per time window")
    renderer.add_argument("path", help="the recording file to read")
    renderer.add_argument("out", help="the MP4 file to write")
    renderer.add_argument("--fps", type=float, default=30.0, help="frames per second of the video (default: 30)")
    renderer.add_argument("--window-us", type=int, metavar="MICROSECONDS",
                          help="sensor time per frame (default: 1 / fps, so the video plays in real time)")
    renderer.add_argument("--overwrite", action="store_true", help="replace an existing file")
    renderer.set_defaults(run=render)

    lister = commands.add_parser("list", help="list the cameras")
    lister.set_defaults(run=list_cameras)

    parameters = commands.add_parser("params", help="each tool's parameters: type, range, unit, default, value")
    parameters.add_argument("--serial", help="serial of the camera to open (default: the first)")
    parameters.set_defaults(run=params)

    viewer = commands.add_parser("view", help="watch a camera or a recording, and tune the camera, in a browser")
    viewer.add_argument("source", nargs="?", help="a camera's serial or a recording's path (default: the first camera)")
    viewer.add_argument("--host", default="127.0.0.1",
                        help="the address to listen on (default: 127.0.0.1); any other needs the token")
    viewer.add_argument("--port", type=int, default=8000, help="the port to listen on (default: 8000; 0 picks one)")
    viewer.add_argument("--token", help="the token the page needs (default: made up, off the loopback address)")
    viewer.add_argument("--record-dir", metavar="FOLDER", help="the folder the page's recordings go into")
    viewer.set_defaults(run=view)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    top = parser()
    args = top.parse_args(argv)
    try:
        result: int = args.run(args)
        return result
    except UsageError as error:
        top.exit(2, f"{PROGRAM} {args.command}: error: {error}\n")
    except OSError as error:
        if error.errno == errno.ENOSPC and (error.strerror or "").startswith("stopped after"):
            top.exit(1, f"{PROGRAM} {args.command}: error: {error.strerror}\n")
        if isinstance(error, FileExistsError):
            top.exit(1, f"{PROGRAM} {args.command}: error: {error} (--overwrite replaces it)\n")
        top.exit(1, f"{PROGRAM} {args.command}: error: {error}\n")
    except Failure as error:
        top.exit(1, f"{PROGRAM} {args.command}: error: {error}\n")
    except ValueError as error:
        top.exit(1, f"{PROGRAM} {args.command}: error: {error}\n")
    except KeyboardInterrupt:
        top.exit(130, f"{PROGRAM} {args.command}: interrupted\n")


if __name__ == "__main__":
    sys.exit(main())
