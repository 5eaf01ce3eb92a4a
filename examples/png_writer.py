"""Writes 8-bit greyscale or RGB images as PNG files with nothing but zlib and struct."""

import os
import struct
import zlib
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_COLOR_TYPES = {1: 0, 3: 2}  # channels -> PNG colour type (greyscale, truecolour)


def _chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def write_png(path: str | os.PathLike[str], image: npt.NDArray[Any]) -> Path:
    """Writes a uint8 array of shape (height, width) or (height, width, 3) and returns the path."""
    image = np.ascontiguousarray(image)
    if image.dtype != np.uint8 or image.ndim not in (2, 3):
        raise ValueError(f"expected a uint8 image of 2 or 3 dimensions, got {image.dtype} {image.shape}")
    height, width = image.shape[:2]
    channels = 1 if image.ndim == 2 else image.shape[2]
    if channels not in _COLOR_TYPES or height == 0 or width == 0:
        raise ValueError(f"cannot write an image of shape {image.shape}")
    rows = image.reshape(height, width * channels)
    # Every scanline starts with its filter type; 0 leaves the bytes as they are.
    scanlines = np.hstack([np.zeros((height, 1), dtype=np.uint8), rows])
    header = struct.pack(">IIBBBBB", width, height, 8, _COLOR_TYPES[channels], 0, 0, 0)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(_SIGNATURE + _chunk(b"IHDR", header) + _chunk(b"IDAT", zlib.compress(scanlines.tobytes(), 6))
                     + _chunk(b"IEND", b""))
    return path
