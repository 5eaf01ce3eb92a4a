"""The live picture: which polarities each pixel saw in the accumulation window, as an indexed PNG.

Its colours are those of velmo.frames.render, so that the page and the figures read alike; the
page's colour key is drawn from them. A pixel's index is a bit set, ON = 1 and OFF = 2, so a
pixel that saw both is 3.
"""

from __future__ import annotations

import struct
import zlib
from collections.abc import Iterable

import numpy as np

from velmo import frames

NONE, ON, OFF, BOTH = 0, 1, 2, 3
PALETTE: dict[str, tuple[int, int, int]] = {
    "none": frames.PALETTE["none"],
    "ON": frames.PALETTE["on"],
    "OFF": frames.PALETTE["off"],
    "both": frames.PALETTE["both"],
}
_INDEX_ORDER = ("none", "ON", "OFF", "both")
_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
# Speed over size: the picture is mostly one colour and level 1 already shrinks it about fiftyfold.
_COMPRESSION = 1


def palette_css() -> dict[str, str]:
    """The palette as CSS colours, for the page's key."""
    return {name: "#%02x%02x%02x" % PALETTE[name] for name in _INDEX_ORDER}


def indices(slices: Iterable[np.ndarray], width: int, height: int) -> np.ndarray:
    """Each pixel's polarity bits over the events of every slice, one row of height x width."""
    picture = np.zeros((height, width), dtype=np.uint8)
    for events in slices:
        if len(events) == 0:
            continue
        x = events["x"].astype(np.intp)
        y = events["y"].astype(np.intp)
        inside = (x < width) & (y < height)
        on = (events["polarity"] != 0) & inside
        off = (events["polarity"] == 0) & inside
        picture[y[on], x[on]] |= ON
        picture[y[off], x[off]] |= OFF
    return picture


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(picture: np.ndarray) -> bytes:
    """The indices as an 8-bit palette PNG, which a browser decodes and draws natively."""
    height, width = picture.shape
    rows = np.zeros((height, width + 1), dtype=np.uint8)  # each row starts with filter type 0
    rows[:, 1:] = picture
    header = struct.pack(">IIBBBBB", width, height, 8, 3, 0, 0, 0)
    colours = b"".join(bytes(PALETTE[name]) for name in _INDEX_ORDER)
    return b"".join((_PNG_SIGNATURE, _chunk(b"IHDR", header), _chunk(b"PLTE", colours),
                     _chunk(b"IDAT", zlib.compress(rows.tobytes(), _COMPRESSION)), _chunk(b"IEND", b"")))
