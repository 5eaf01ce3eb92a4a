"""velmo.view: watch a camera or a recording in a browser, and tune the camera's tools live.

    server = velmo.view.serve("VLM636-000101")   # or an open camera, or a recording's path
    print(server.url)
    server.close()

The page and everything it loads ship with the package; the server needs the `view` extra
(pip install 'velmo-python[view]'). The picture's colours are set in velmo.view.picture.PALETTE.
"""

from __future__ import annotations

import importlib
from pathlib import Path
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from velmo.view.server import Server

EXTRA_HINT = "the viewer needs the view extra: pip install 'velmo-python[view]'"


def serve(source: object = None, host: str = "127.0.0.1", port: int = 0, token: str | None = None,
          record_dir: str | Path | None = None) -> Server:
    """Serves the viewer's page for `source` (an open camera or recording, a camera's serial, a
    recording's path, or None for the first camera) on host:port (0 picks a free port), and
    returns the running server: its `url` to open, `close()` to stop it.

    On an address other than the loopback one the page needs a token: `token`, or one made up
    when None, which `url` carries. Recordings started from the page go into `record_dir`."""
    try:
        server = importlib.import_module("velmo.view.server")
    except ModuleNotFoundError as error:
        if error.name == "aiohttp":
            raise ModuleNotFoundError(EXTRA_HINT, name="aiohttp") from error
        raise
    running: Server = server.serve(source, host=host, port=port, token=token, record_dir=record_dir)
    return running


__all__ = ["EXTRA_HINT", "serve"]
