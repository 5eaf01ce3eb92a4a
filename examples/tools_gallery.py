"""One figure per tool of the simulated IMX636: what each tool does to the event stream.

    python examples/tools_gallery.py [--out DIR]

Each figure shows the same span of sensor time with the tool off and on (or over a range of
its setting), ON events in red and OFF events in blue. Needs matplotlib (the `examples` extra).
"""

import argparse
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402
import velmo_hal_py as hal  # noqa: E402
import velmo_sim  # noqa: E402
from matplotlib.artist import Artist  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch, Rectangle  # noqa: E402

WIDTH, HEIGHT = 1280, 720
ON_COLOUR, OFF_COLOUR = "tab:red", "tab:blue"
POLARITY_KEY = [Patch(color=ON_COLOUR, label="ON (polarity 1)"), Patch(color=OFF_COLOUR, label="OFF (polarity 0)")]
FRAME_KEY = [Patch(color="red", label="ON events (polarity 1)"), Patch(color="blue", label="OFF events (polarity 0)"),
             Patch(color="purple", label="both, about even; darker = more events (log scale)")]
EventArray = np.ndarray[tuple[int], np.dtype[np.void]]
Settings = dict[hal.ToolType, dict[str, Any]]
# Where the flickering lamp sits on the sensor, for the anti-flicker figure's zoom.
LAMP_BOX = (1120, 0, 160, 120)


def camera_with(settings: Settings) -> velmo_sim.Camera:
    """A fresh camera, its tools set as given: {ToolType: {name: value}}."""
    camera = velmo_sim.open_camera()
    for tool_type, values in settings.items():
        tool = camera.tool(tool_type)
        for name, value in values.items():
            if not tool.set_param(name, value):
                raise RuntimeError(f"{tool_type.name}.{name} refused {value!r}")
    return camera


def events_of(settings: Settings, skip_us: int, span_us: int) -> tuple[EventArray, EventArray]:
    camera = camera_with(settings)
    if skip_us:
        camera.read(skip_us)
    return camera.read(span_us)


def span_label(begin_us: int, span_us: int) -> str:
    return f"sensor time {begin_us / 1000:g} to {(begin_us + span_us) / 1000:g} ms"


def frame(events: EventArray) -> npt.NDArray[np.float64]:
    """An RGB picture of the events: red where ON events dominate, blue where OFF do, purple where
    both are about even; darker for more events, on a logarithmic scale so that single noise
    events, bar edges and the busy lamp all show."""
    on = np.zeros((HEIGHT, WIDTH))
    off = np.zeros((HEIGHT, WIDTH))
    np.add.at(on, (events["y"][events["polarity"] == 1], events["x"][events["polarity"] == 1]), 1)
    np.add.at(off, (events["y"][events["polarity"] == 0], events["x"][events["polarity"] == 0]), 1)
    total = on + off
    scale = np.log1p(max(float(np.percentile(total[total > 0], 99)), 1.0)) if np.any(total) else 1.0
    darkness = np.clip(np.log1p(total) / scale, 0, 1)
    on_share = np.divide(on, total, out=np.zeros_like(on), where=total > 0)
    picture = np.ones((HEIGHT, WIDTH, 3))
    picture[..., 1] -= darkness
    picture[..., 0] -= darkness * (1 - on_share)
    picture[..., 2] -= darkness * on_share
    return picture


def show_frame(axis: Axes, events: EventArray, title: str, zoom: tuple[int, int, int, int] | None = None) -> None:
    axis.imshow(frame(events), origin="upper", extent=(0, WIDTH, HEIGHT, 0), interpolation="nearest")
    if zoom:
        x, y, w, h = zoom
        axis.set_xlim(x, x + w)
        axis.set_ylim(y + h, y)
    axis.set_title(f"{title}: {len(events):,} events")
    axis.set_xlabel("x (px)")
    axis.set_ylabel("y (px)")


def per_millisecond(axis: Axes, events: EventArray, begin_us: int, span_us: int, label: str, style: str = "-") -> None:
    bins = np.arange(begin_us, begin_us + span_us + 1, 1000)
    for polarity, colour in ((1, ON_COLOUR), (0, OFF_COLOUR)):
        counts, _ = np.histogram(events["timestamp"][events["polarity"] == polarity], bins)
        axis.step(bins[:-1] / 1000, counts, where="post", color=colour, linestyle=style,
                  label=f"{label}, {'ON' if polarity else 'OFF'}")


def save(figure: Figure, out: Path, name: str) -> Path:
    path = out / name
    figure.savefig(path, dpi=90)
    plt.close(figure)
    print(f"    {path}")
    return path


def rate_control(out: Path) -> Path:
    begin, span, limit = 100_000, 100_000, 200_000
    plain, _ = events_of({}, begin, span)
    erc = {hal.ToolType.EVENT_RATE_CONTROL: {"max_event_rate": limit, "enable": True}}
    limited, _ = events_of(erc, begin, span)
    figure, axis = plt.subplots(figsize=(10, 5))
    per_millisecond(axis, plain, begin, span, "off", ":")
    per_millisecond(axis, limited, begin, span, f"on, max_event_rate {limit:,} ev/s")
    axis.axhline(limit / 1000 / 2, color="grey", linewidth=0.8, label="half the budget: 100 per ms")
    axis.set_title(f"Event rate control: events per millisecond, off and on\n{span_label(begin, span)}")
    axis.set_xlabel("time (ms)")
    axis.set_ylabel("events per ms")
    axis.set_ylim(bottom=0)
    axis.legend(loc="upper right", fontsize="small", title="ERC, polarity")
    return save(figure, out, "event_rate_control.png")


def anti_flicker(out: Path) -> Path:
    begin, span = 50_000, 50_000
    plain, _ = events_of({}, begin, span)
    stopped, _ = events_of({hal.ToolType.ANTI_FLICKER: {"enable": True}}, begin, span)
    passed, _ = events_of({hal.ToolType.ANTI_FLICKER: {"mode": "BAND_PASS", "enable": True}}, begin, span)
    figure, axes = plt.subplots(2, 3, figsize=(15, 10))
    for column, (events, title) in enumerate(
        ((plain, "off"), (stopped, "BAND_STOP 90-130 Hz"), (passed, "BAND_PASS 90-130 Hz"))
    ):
        show_frame(axes[0, column], events, title)
        show_frame(axes[1, column], events, f"{title}, lamp zoomed", LAMP_BOX)
    figure.suptitle(f"Anti-flicker: the 100 Hz lamp (top right) against the moving bars\n{span_label(begin, span)}")
    figure.legend(handles=FRAME_KEY, loc="lower center", ncol=3)
    figure.tight_layout(rect=(0, 0.05, 1, 0.93), h_pad=2.5)
    return save(figure, out, "anti_flicker.png")


def burst_lengths(events: EventArray, threshold_us: int) -> dict[int, npt.NDArray[np.int64]]:
    """Events per burst, a burst being a pixel's run of same-polarity events each within
    threshold_us of the one before, by polarity."""
    lengths = {}
    for polarity in (1, 0):
        chosen = events[events["polarity"] == polarity]
        pixel = chosen["x"].astype(np.int64) * HEIGHT + chosen["y"]
        order = np.lexsort((chosen["timestamp"], pixel))
        pixel, time = pixel[order], chosen["timestamp"][order].astype(np.int64)
        starts = np.ones(len(pixel), dtype=bool)
        starts[1:] = (pixel[1:] != pixel[:-1]) | (np.diff(time) > threshold_us)
        lengths[polarity] = np.diff(np.append(np.flatnonzero(starts), len(pixel)))
    return lengths


def trail_filter(out: Path) -> Path:
    begin, span, threshold = 50_000, 200_000, 10_000
    cases: list[tuple[str, Settings]] = [("off", {})] + [
        (kind, {hal.ToolType.EVENT_TRAIL_FILTER: {"type": kind, "threshold": threshold, "enable": True}})
        for kind in ("TRAIL", "STC_CUT_TRAIL", "STC_KEEP_TRAIL")
    ]
    figure, axes = plt.subplots(1, len(cases), figsize=(16, 4.8), sharey=True)
    bins = np.arange(0.5, 8.5)
    for axis, (label, settings) in zip(axes, cases):
        events, _ = events_of(settings, begin, span)
        lengths = burst_lengths(events, threshold)
        axis.hist([lengths[1], lengths[0]], bins=bins, color=[ON_COLOUR, OFF_COLOUR], log=True)
        axis.set_title(f"{label}: {len(events):,} events")
        axis.set_xlabel("events per burst (same pixel and polarity)")
    axes[0].set_ylabel("bursts (log scale)")
    figure.suptitle(f"Event trail filter, threshold {threshold:,} us: burst lengths per pixel\n{span_label(begin, span)}")
    figure.legend(handles=POLARITY_KEY, loc="upper right")
    figure.tight_layout(rect=(0, 0, 1, 0.88))
    return save(figure, out, "event_trail_filter.png")


def biases(out: Path) -> Path:
    begin, span = 0, 200_000
    values = np.arange(-85, 141, 25)
    on_rate, off_rate = [], []
    for value in values:
        events, _ = events_of({hal.ToolType.BIAS: {"bias_diff_on": int(value)}}, begin, span)
        on_rate.append(np.count_nonzero(events["polarity"] == 1) / (span / 1e6) / 1000)
        off_rate.append(np.count_nonzero(events["polarity"] == 0) / (span / 1e6) / 1000)
    figure, axis = plt.subplots(figsize=(9, 5))
    axis.plot(values, on_rate, "o-", color=ON_COLOUR, label="ON events")
    axis.plot(values, off_rate, "o-", color=OFF_COLOUR, label="OFF events")
    axis.axvline(0, color="grey", linewidth=0.8)
    axis.set_title(f"Biases: event rate against bias_diff_on (ON contrast threshold)\n{span_label(begin, span)} at each value")
    axis.set_xlabel("bias_diff_on (offset from the factory setting)")
    axis.set_ylabel("thousand events per second")
    axis.set_ylim(bottom=0)
    axis.legend(title="polarity")
    return save(figure, out, "biases.png")


def trigger_in(out: Path) -> Path:
    begin, span = 20_000, 30_000
    events, triggers = events_of({hal.ToolType.TRIGGER_IN: {"enable": True}}, begin, span)
    figure, axis = plt.subplots(figsize=(11, 5))
    bins = np.arange(begin, begin + span + 1, 250)
    for polarity, colour in ((1, ON_COLOUR), (0, OFF_COLOUR)):
        counts, _ = np.histogram(events["timestamp"][events["polarity"] == polarity], bins)
        axis.step(bins[:-1] / 1000, counts, where="post", color=colour)
    for trigger in triggers:
        axis.axvline(trigger["timestamp"] / 1000, color="black" if trigger["value"] else "grey",
                     linestyle="-" if trigger["value"] else "--")
    axis.set_title(f"Trigger in: channel 0 edges over the events (250 us bins)\n{span_label(begin, span)}")
    axis.set_xlabel("time (ms)")
    axis.set_ylabel("events per 250 us")
    axis.set_ylim(bottom=0)
    key: list[Artist] = [
        *POLARITY_KEY,
        Line2D([], [], color="black", label="trigger rising (value 1)"),
        Line2D([], [], color="grey", linestyle="--", label="trigger falling (value 0)"),
    ]
    axis.legend(handles=key, loc="upper right", fontsize="small")
    return save(figure, out, "trigger_in.png")


def roi(out: Path) -> Path:
    begin, span = 0, 100_000
    window = {"x": 320, "y": 180, "x_width": 640, "y_height": 360}
    plain, _ = events_of({}, begin, span)
    inside, _ = events_of({hal.ToolType.ROI: {**window, "mode": "ROI", "enable": True}}, begin, span)
    outside, _ = events_of({hal.ToolType.ROI: {**window, "mode": "RONI", "enable": True}}, begin, span)
    figure, axes = plt.subplots(1, 3, figsize=(16, 5))
    for axis, events, title in zip(axes, (plain, inside, outside), ("off", "ROI", "RONI")):
        show_frame(axis, events, title)
        axis.add_patch(Rectangle((window["x"], window["y"]), window["x_width"], window["y_height"],
                                     fill=False, edgecolor="black", linestyle="--"))
    figure.suptitle(f"ROI: window x 320-959, y 180-539 px (dashed)\n{span_label(begin, span)}")
    figure.legend(handles=FRAME_KEY, loc="lower center", ncol=3)
    figure.tight_layout(rect=(0, 0.12, 1, 0.9))
    return save(figure, out, "roi.png")


FIGURES: tuple[Callable[[Path], Path], ...] = (rate_control, anti_flicker, trail_filter, biases, trigger_in, roi)


def main(argv: list[str] | None = None) -> list[Path]:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=Path("gallery"), help="folder for the PNG files")
    args = parser.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    print(f"Writing one figure per tool to {args.out}:")
    return [draw(args.out) for draw in FIGURES]


if __name__ == "__main__":
    main()
    sys.exit(0)
