"""One figure per tool of the simulated IMX636: what each tool does to the event stream.

    python examples/tools_gallery.py [--out DIR]

Each figure shows the same span of sensor time with the tool off and on (or over a range of
its setting). Maps of events per pixel share one logarithmic colour scale within a figure,
read off its colour bar; pictures drawn by velmo.frames.render colour each pixel by the
polarities it saw, named in the figure's key. Needs matplotlib (the `examples` extra).
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
import velmo.sim  # noqa: E402
from matplotlib.artist import Artist  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch, Rectangle  # noqa: E402

from figures import EventArray, count_maps, palette_key, show_picture, span_label  # noqa: E402

WIDTH, HEIGHT = 1280, 720
SHAPE = (HEIGHT, WIDTH)
ON_COLOUR, OFF_COLOUR = "tab:red", "tab:blue"
POLARITY_KEY = [Patch(color=ON_COLOUR, label="ON (polarity 1)"), Patch(color=OFF_COLOUR, label="OFF (polarity 0)")]
Settings = dict[hal.ToolType, dict[str, Any]]
# Where the flickering lamp sits on the sensor: its patch, and a box around it for the zooms.
LAMP = (1160, 40, 24, 24)
LAMP_BOX = (1120, 0, 160, 120)
# The bars sweep rows 100 and below; above them only noise and the lamp fire.
BAR_TOP = 100


def camera_with(settings: Settings) -> velmo.sim.Camera:
    """A fresh camera, its tools set as given: {ToolType: {name: value}}."""
    camera = velmo.sim.open_camera()
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


def per_millisecond(axis: Axes, events: EventArray, begin_us: int, span_us: int, label: str, style: str = "-") -> None:
    bins = np.arange(begin_us, begin_us + span_us + 1, 1000)
    for polarity, colour in ((1, ON_COLOUR), (0, OFF_COLOUR)):
        counts, _ = np.histogram(events["timestamp"][events["polarity"] == polarity], bins)
        axis.step(bins[:-1] / 1000, counts, where="post", color=colour, linestyle=style,
                  label=f"{label}, {'ON' if polarity else 'OFF'}")


def save(figure: Figure, out: Path, name: str) -> Path:
    path = out / name
    figure.savefig(path, dpi=80)
    plt.close(figure)
    print(f"    {path}")
    return path


def rate_control(out: Path) -> Path:
    begin, span, limit = 100_000, 100_000, 200_000
    plain, _ = events_of({}, begin, span)
    erc = {hal.ToolType.EVENT_RATE_CONTROL: {"max_event_rate": limit, "enable": True}}
    limited, _ = events_of(erc, begin, span)
    figure, axis = plt.subplots(figsize=(12, 5), layout="constrained")
    per_millisecond(axis, plain, begin, span, "off", ":")
    per_millisecond(axis, limited, begin, span, f"on, max_event_rate {limit:,} ev/s")
    axis.axhline(limit / 1000 / 2, color="grey", linewidth=0.8, label="half the budget: 100 per ms")
    axis.set_title(f"Event rate control: events per millisecond, off and on\n{span_label(begin, span)}")
    axis.set_xlabel("time (ms)")
    axis.set_ylabel("events per ms")
    axis.set_ylim(bottom=0)
    figure.legend(loc="outside right upper", fontsize="small", title="ERC, polarity")
    return save(figure, out, "event_rate_control.png")


def anti_flicker(out: Path) -> Path:
    begin, span = 50_000, 50_000
    plain, _ = events_of({}, begin, span)
    stopped, _ = events_of({hal.ToolType.ANTI_FLICKER: {"enable": True}}, begin, span)
    passed, _ = events_of({hal.ToolType.ANTI_FLICKER: {"mode": "BAND_PASS", "enable": True}}, begin, span)
    cases = [(plain, "off"), (stopped, "BAND_STOP 90-130 Hz"), (passed, "BAND_PASS 90-130 Hz")]
    figure = plt.figure(figsize=(16, 8.4), layout="constrained")
    top, bottom = figure.subfigures(2, 1, height_ratios=(0.75, 1), squeeze=False)[:, 0]
    top.suptitle("Events per pixel: the same colour is the same count in all three", fontsize="medium")
    count_maps(top, list(top.subplots(1, 3)), [(f"{title}: {len(events):,} events", events) for events, title in cases],
               SHAPE)
    bottom.suptitle("The lamp zoomed, coloured by polarity (frames.render)", fontsize="medium")
    for axis, (events, title) in zip(bottom.subplots(1, 3), cases):
        show_picture(axis, events, SHAPE, title, LAMP_BOX)
    bottom.legend(handles=palette_key(), loc="outside lower center", ncols=4)
    figure.suptitle(f"Anti-flicker: the 100 Hz lamp (top right) against the moving bars, {span_label(begin, span)}")
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
    figure, axes = plt.subplots(1, len(cases), figsize=(16, 4.4), sharey=True, layout="constrained")
    bins = np.arange(0.5, 8.5)
    for axis, (label, settings) in zip(axes, cases):
        events, _ = events_of(settings, begin, span)
        lengths = burst_lengths(events, threshold)
        axis.hist([lengths[1], lengths[0]], bins=bins, color=[ON_COLOUR, OFF_COLOUR], log=True)
        axis.set_title(f"{label}: {len(events):,} events")
        axis.set_xlabel("events per burst (same pixel and polarity)")
    axes[0].set_ylabel("bursts (log scale)")
    figure.suptitle(f"Event trail filter, threshold {threshold:,} us: burst lengths per pixel, {span_label(begin, span)}")
    figure.legend(handles=POLARITY_KEY, loc="outside right upper")
    return save(figure, out, "event_trail_filter.png")


# Each bias, the range it takes, what raising it does, and the other biases of its sweep: the
# refractory period shows only once the photoreceptor is quick enough to fire within it.
BIAS_SWEEPS: tuple[tuple[str, int, int, str, dict[str, int]], ...] = (
    ("bias_diff_on", -85, 140, "ON contrast threshold: higher, fewer ON events", {}),
    ("bias_diff_off", -35, 190, "OFF contrast threshold: higher, fewer OFF events", {}),
    ("bias_fo", -35, 55, "photoreceptor bandwidth: higher, quicker bursts, more noise", {}),
    ("bias_hpf", 0, 120, "high-pass filter: higher, slow edges and noise fade", {}),
    ("bias_refr", -20, 235, "refractory period: higher, shorter: a pixel refires sooner", {"bias_fo": 55}),
)


def noise_of(events: EventArray) -> EventArray:
    """The events above the bars and away from the lamp: background noise only."""
    x, y = events["x"], events["y"]
    lamp_x, lamp_y, lamp_w, lamp_h = LAMP
    in_lamp = (x >= lamp_x) & (x < lamp_x + lamp_w) & (y >= lamp_y) & (y < lamp_y + lamp_h)
    return events[(y < BAR_TOP) & ~in_lamp]


def burst_gaps(events: EventArray) -> npt.NDArray[np.int64]:
    """The times between a pixel's successive events of one polarity within a burst (under 8 ms
    apart): how fast a pixel fires again as an edge crosses it."""
    pixel = (events["y"].astype(np.int64) * WIDTH + events["x"]) * 2 + events["polarity"]
    order = np.lexsort((events["timestamp"], pixel))
    pixel, time = pixel[order], events["timestamp"][order].astype(np.int64)
    gaps = np.diff(time)
    within: npt.NDArray[np.int64] = gaps[(pixel[1:] == pixel[:-1]) & (gaps < 8_000)]
    return within


def biases(out: Path) -> Path:
    begin, span = 0, 200_000
    figure, axes = plt.subplots(2, len(BIAS_SWEEPS), figsize=(22, 8), sharey="row", sharex="col",
                                layout="constrained")
    for column, (name, low, high, effect, others) in enumerate(BIAS_SWEEPS):
        values = np.linspace(low, high, 7).round().astype(int)
        rates: dict[str, list[float]] = {"ON": [], "OFF": [], "noise": []}
        gaps: list[float] = []
        for value in values:
            events, _ = events_of({hal.ToolType.BIAS: {**others, name: int(value)}}, begin, span)
            rates["ON"].append(np.count_nonzero(events["polarity"] == 1) / (span / 1e6) / 1000)
            rates["OFF"].append(np.count_nonzero(events["polarity"] == 0) / (span / 1e6) / 1000)
            rates["noise"].append(len(noise_of(events)) / (span / 1e6) / 1000)
            gaps.append(float(np.percentile(burst_gaps(events), 10)))
        rate_axis, gap_axis = axes[0, column], axes[1, column]
        rate_axis.plot(values, rates["ON"], "o-", color=ON_COLOUR, label="ON events")
        rate_axis.plot(values, rates["OFF"], "o-", color=OFF_COLOUR, label="OFF events")
        rate_axis.plot(values, rates["noise"], "s:", color="grey", label=f"noise (rows 0-{BAR_TOP - 1}, no lamp)")
        setting = "".join(f", {other} {value}" for other, value in others.items())
        rate_axis.set_title(f"{name}{setting}\n{effect}", fontsize="medium")
        gap_axis.plot(values, gaps, "o-", color="black")
        gap_axis.set_xlabel(f"{name} (offset from the factory setting)")
        for axis in (rate_axis, gap_axis):
            axis.axvline(0, color="grey", linewidth=0.8)
    for axis in axes.flat:
        axis.set_ylim(bottom=0)
    axes[0, 0].set_ylabel("thousand events per second")
    axes[1, 0].set_ylabel("shortest gaps between a pixel's events\nin a burst (10th percentile, us)")
    axes[0, 0].legend(loc="upper right", fontsize="small")
    figure.suptitle(f"Biases: each of the five swept over its range, the others at 0 (grey line) unless named; top, how "
                    f"many events; bottom, how soon a pixel fires again; {span_label(begin, span)} at each value")
    return save(figure, out, "biases.png")


def in_box(events: EventArray, box: tuple[int, int, int, int]) -> npt.NDArray[np.bool_]:
    x, y, w, h = box
    return (events["x"] >= x) & (events["x"] < x + w) & (events["y"] >= y) & (events["y"] < y + h)


def trigger_in(out: Path) -> Path:
    begin, span, step = 20_000, 30_000, 250
    events, triggers = events_of({hal.ToolType.TRIGGER_IN: {"enable": True}}, begin, span)
    lamp = in_box(events, LAMP)
    figure, axes = plt.subplots(2, 1, figsize=(11, 7), sharex=True, layout="constrained")
    bins = np.arange(begin, begin + span + 1, step)
    panels = ((events[lamp], f"the lamp's {LAMP[2]} x {LAMP[3]} px patch: it switches on at each rising edge "
                             "and off at each falling one"),
              (events[~lamp], "the rest of the sensor (bars and noise): no step with the trigger"))
    for axis, (chosen, title) in zip(axes, panels):
        for polarity, colour in ((1, ON_COLOUR), (0, OFF_COLOUR)):
            counts, _ = np.histogram(chosen["timestamp"][chosen["polarity"] == polarity], bins)
            axis.step(bins[:-1] / 1000, counts, where="post", color=colour)
        for trigger in triggers:
            axis.axvline(trigger["timestamp"] / 1000, color="black" if trigger["value"] else "grey",
                         linestyle="-" if trigger["value"] else "--", linewidth=0.9)
        axis.set_title(title, fontsize="medium")
        axis.set_ylabel(f"events per {step} us")
        axis.set_ylim(bottom=0)
    axes[1].set_xlabel("time (ms)")
    key: list[Artist] = [
        *POLARITY_KEY,
        Line2D([], [], color="black", label="trigger rising (value 1)"),
        Line2D([], [], color="grey", linestyle="--", label="trigger falling (value 0)"),
    ]
    figure.legend(handles=key, loc="outside lower center", ncols=4, fontsize="small")
    figure.suptitle("Trigger in: channel 0's edges over the events. The trigger causes no event: the lamp flickers "
                    "at 100 Hz\nin step with the same square wave, so its bursts line up with the edges; "
                    f"{span_label(begin, span)}")
    return save(figure, out, "trigger_in.png")


def busiest_bar_column(events: EventArray) -> int:
    """The column the bars cross most often in these events, away from the lamp."""
    bars = events[(events["y"] >= BAR_TOP) & ~in_box(events, LAMP_BOX)]
    return int(np.argmax(np.bincount(bars["x"], minlength=WIDTH)))


def roi(out: Path) -> Path:
    begin, span = 0, 100_000
    plain, _ = events_of({}, begin, span)
    width, height = 400, 360
    x = min(max(busiest_bar_column(plain) - width // 2, 0), WIDTH - width)
    window = {"x": x, "y": 200, "x_width": width, "y_height": height}
    inside, _ = events_of({hal.ToolType.ROI: {**window, "mode": "ROI", "enable": True}}, begin, span)
    outside, _ = events_of({hal.ToolType.ROI: {**window, "mode": "RONI", "enable": True}}, begin, span)
    figure = plt.figure(figsize=(18, 4.3), layout="constrained")
    axes = list(figure.subplots(1, 3))
    count_maps(figure, axes, [(f"{mode}: {len(events):,} events", events)
                              for events, mode in ((plain, "off"), (inside, "ROI"), (outside, "RONI"))], SHAPE)
    for axis in axes:
        axis.add_patch(Rectangle((window["x"], window["y"]), width, height, fill=False, edgecolor="red",
                                 linestyle="--", linewidth=1.5))
    figure.suptitle(f"ROI: the window x {x}-{x + width - 1}, y 200-{200 + height - 1} px (dashed red), placed where "
                    f"a bar passes; ROI keeps what is inside it, RONI what is outside; {span_label(begin, span)}")
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
