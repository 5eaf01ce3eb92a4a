"""Drawing helpers that the tour and the tools gallery share: pictures of events drawn by
velmo.frames.render with a key that names each of its colours, and maps of events per pixel
that share one colour scale and one colour bar across the panels they compare."""

import numpy as np
from matplotlib.axes import Axes
from matplotlib.colors import LogNorm
from matplotlib.figure import Figure
from matplotlib.image import AxesImage
from matplotlib.patches import Patch
from velmo import frames

EventArray = np.ndarray[tuple[int], np.dtype[np.void]]
Box = tuple[int, int, int, int]
# What each colour of frames.render means, in the order the key lists them.
PALETTE_MEANINGS = {
    "on": "ON events only (brighter)",
    "off": "OFF events only (darker)",
    "both": "both ON and OFF events",
    "none": "no event",
}
COUNT_COLOURS = "viridis"


def palette_key() -> list[Patch]:
    """Legend handles naming every colour of frames.render's pictures."""
    def colour(name: str) -> tuple[float, float, float]:
        red, green, blue = frames.PALETTE[name]
        return red / 255, green / 255, blue / 255

    return [Patch(facecolor=colour(name), edgecolor="grey", label=meaning) for name, meaning in PALETTE_MEANINGS.items()]


def span_label(begin_us: int, span_us: int) -> str:
    return f"sensor time {begin_us / 1000:g} to {(begin_us + span_us) / 1000:g} ms"


def pixel_axes(axis: Axes, shape: tuple[int, int], zoom: Box | None) -> None:
    height, width = shape
    x, y, w, h = zoom or (0, 0, width, height)
    axis.set_xlim(x, x + w)
    axis.set_ylim(y + h, y)
    axis.set_xlabel("x (pixels)")
    axis.set_ylabel("y (pixels)")


def show_picture(axis: Axes, events: EventArray, shape: tuple[int, int], title: str, zoom: Box | None = None) -> None:
    """The events as frames.render draws them: each pixel coloured by the polarities it saw."""
    height, width = shape
    axis.imshow(frames.render(events, shape), extent=(0, width, height, 0), interpolation="nearest")
    pixel_axes(axis, shape, zoom)
    axis.set_title(title)


def count_maps(figure: Figure, axes: list[Axes], panels: list[tuple[str, EventArray]], shape: tuple[int, int],
               zoom: Box | None = None) -> AxesImage:
    """Events per pixel, one panel each, on one logarithmic colour scale with one colour bar,
    so that the same colour means the same count in every panel."""
    height, width = shape
    counts = [frames.histogram(events, shape, split_polarity=False) for _, events in panels]
    norm = LogNorm(vmin=1, vmax=max(2, *(int(count.max()) for count in counts)))
    images = []
    for axis, (title, _), count in zip(axes, panels, counts):
        images.append(axis.imshow(np.ma.masked_equal(count, 0), cmap=COUNT_COLOURS, norm=norm,
                                  extent=(0, width, height, 0), interpolation="nearest"))
        axis.set_facecolor("white")
        pixel_axes(axis, shape, zoom)
        axis.set_title(title)
    figure.colorbar(images[0], ax=axes, label="events per pixel (log scale; white: none)", shrink=0.9)
    return images[0]
