"""The viewer's web server: one page, its static files, the settings as JSON, and a WebSocket
that carries the pictures one way and the controls both ways.

The server runs its own event loop on a thread, so that a notebook or a test can start it and go
on. The camera never waits for a client: each client has a small queue of pictures, and a
picture that finds it full replaces the oldest one, which is counted as dropped for that client.
"""

from __future__ import annotations

import asyncio
import collections
import hmac
import ipaddress
import json
import secrets
import socket
import struct
import threading
import time
from collections.abc import Awaitable, Callable
from importlib import resources
from pathlib import Path
from typing import TYPE_CHECKING, Any

import velmo_hal_py as hal
import velmo.io
from aiohttp import WSMsgType, web

if TYPE_CHECKING:
    import velmo.sim

from velmo.view import picture
from velmo.view.feed import MAX_WINDOW_US, MIN_WINDOW_US, RECORDING_SUFFIX, Feed, Frame, Source, is_camera

COOKIE = "velmo_view_token"
# Pictures waiting for one client: a client that falls further behind loses the oldest.
FRAMES_QUEUED = 2
# Control replies waiting for one client; a client that lets more pile up is disconnected.
MESSAGES_QUEUED = 256
MAX_MESSAGE_CHARS = 64 * 1024
# aiohttp closes the connection on a message above this; below it, messages above
# MAX_MESSAGE_CHARS get an error reply and the connection stays.
MAX_WEBSOCKET_BYTES = 1024 * 1024
LATENCY_SAMPLES = 4096
STATIC_FILES = {"view.js": "text/javascript", "view.css": "text/css"}
LOOPBACK_NAMES = {"localhost", "127.0.0.1", "::1"}

def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _static(name: str) -> bytes:
    return resources.files("velmo.view").joinpath("static", name).read_bytes()


def describe_tools(source: Source) -> list[dict[str, Any]]:
    """Each tool's parameters as the page builds its controls from them: type, range, unit,
    default and options, from the tools' own metadata; a recording has values only."""
    if isinstance(source, velmo.io.Recording):
        return [{"kind": kind, "description": "", "parameters": [
            {"name": name, "type": {bool: "BOOL", int: "INT", float: "FLOAT"}.get(type(value), "STRING"),
             "description": ""} for name, value in parameters.items()]}
            for kind, parameters in source.settings.items()]
    tools = []
    for tool in source.tools():
        info = tool.get_tool_info()
        parameters = []
        for name, basic in sorted(tool.get_all_param_info().items()):
            entry: dict[str, Any] = {"name": name, "type": basic.type.name, "description": basic.description}
            found = tool.get_param_info(name)
            detail = found[1] if found and found[0] else None
            if detail is not None:
                entry["default"] = detail.default_value
            if isinstance(detail, (hal.IntParameterInfo, hal.FloatParameterInfo)):
                entry.update(min=detail.min, max=detail.max, unit=detail.unit)
            elif isinstance(detail, hal.EnumParameterInfo):
                entry["options"] = list(detail.options)
            parameters.append(entry)
        tools.append({"kind": info.tool_type.name, "description": info.description, "parameters": parameters})
    return tools


def defaults(tools: list[dict[str, Any]], kind: str | None = None, name: str | None = None) -> dict[str, Any]:
    return {tool["kind"]: {entry["name"]: entry["default"] for entry in tool["parameters"]
                           if "default" in entry and name in (None, entry["name"])}
            for tool in tools if kind in (None, tool["kind"])}


class RequestError(Exception):
    """A control message the server cannot carry out; its text goes back to the sender."""


class Client:
    """One open page: its WebSocket and what waits to be sent to it."""

    def __init__(self, socket: web.WebSocketResponse, latencies: collections.deque[float]) -> None:
        self.socket = socket
        self.frames: collections.deque[Frame] = collections.deque()
        self.messages: collections.deque[str] = collections.deque()
        self.dropped_frames = 0
        self.sent_frames = 0
        self.wake = asyncio.Event()
        self.latencies = latencies

    def send(self, message: dict[str, Any]) -> None:
        if len(self.messages) >= MESSAGES_QUEUED:
            self.messages.clear()
            asyncio.ensure_future(self.socket.close(message=b"too slow: replies piled up"))
            return
        self.messages.append(json.dumps(message))
        self.wake.set()

    def offer(self, frame: Frame) -> None:
        if len(self.frames) >= FRAMES_QUEUED:
            self.frames.popleft()
            self.dropped_frames += 1
        self.frames.append(frame)
        self.wake.set()

    async def run(self) -> None:
        while not self.socket.closed:
            await self.wake.wait()
            self.wake.clear()
            while self.messages:
                await self.socket.send_str(self.messages.popleft())
            while self.frames:
                frame = self.frames.popleft()
                header = json.dumps({**frame.header, "dropped_frames": self.dropped_frames}).encode()
                await self.socket.send_bytes(struct.pack(">I", len(header)) + header + frame.png)
                self.sent_frames += 1
                self.latencies.append(time.monotonic() - frame.due)


class Server:
    """A running viewer (velmo.view.serve makes one): `url` to open, `close()` to stop it."""

    def __init__(self, source: Source, owned: bool, host: str, port: int, token: str | None,
                 record_dir: Path | None) -> None:
        self.source = source
        self.live = is_camera(source)
        self._owned = owned
        self.host = host
        self.token = token
        self.tools = describe_tools(source)
        self.clients: set[Client] = set()
        self.latencies: collections.deque[float] = collections.deque(maxlen=LATENCY_SAMPLES)
        self._loop = asyncio.new_event_loop()
        self._runner: web.AppRunner | None = None
        self._closed = False
        self.feed = Feed(source, self._from_feed(self._deliver_frame), self._from_feed(self._broadcast_state),
                         record_dir)
        started = threading.Event()
        failure: list[BaseException] = []
        self._thread = threading.Thread(target=self._serve, args=(port, started, failure),
                                        name="velmo-view-server", daemon=True)
        self._thread.start()
        started.wait()
        if failure:
            self._thread.join()
            raise failure[0]
        try:
            self.feed.start()
        except BaseException:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join()
            raise

    # Life cycle.

    def _serve(self, port: int, started: threading.Event, failure: list[BaseException]) -> None:
        asyncio.set_event_loop(self._loop)
        try:
            self._loop.run_until_complete(self._start(port))
        except BaseException as error:  # handed to the thread that called serve
            failure.append(error)
            started.set()
            self._loop.close()
            return
        started.set()
        self._loop.run_forever()
        self._loop.run_until_complete(self._stop())
        self._loop.close()

    async def _start(self, port: int) -> None:
        app = web.Application(middlewares=[self._guard], client_max_size=MAX_MESSAGE_CHARS)
        app.router.add_get("/", self._page)
        app.router.add_get("/static/{name}", self._static_file)
        app.router.add_get("/settings.json", self._settings_file)
        app.router.add_get("/ws", self._websocket)
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.host, port)
        await site.start()
        server = site._server
        assert isinstance(server, asyncio.Server)
        self.port = server.sockets[0].getsockname()[1]

    async def _stop(self) -> None:
        for client in list(self.clients):
            await client.socket.close(message=b"the viewer has closed")
        if self._runner is not None:
            await self._runner.cleanup()

    def close(self) -> None:
        """Stops the feed, closes every page's connection and the server; closes the source
        when serve opened it. Closing twice is harmless."""
        if self._closed:
            return
        self._closed = True
        self.feed.close()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()
        if self._owned:
            self.source.close()

    def __enter__(self) -> Server:
        return self

    def __exit__(self, *_: object) -> None:
        self.close()

    @property
    def url(self) -> str:
        """The page's address, with the token as a query parameter when there is one."""
        host = self.host
        if host in ("", "0.0.0.0", "::"):
            host = socket.gethostname()
        elif ":" in host:
            host = f"[{host}]"
        return f"http://{host}:{self.port}/" + (f"?token={self.token}" if self.token else "")

    def stats(self) -> dict[str, Any]:
        """What was sent: per client the pictures sent and dropped, and the recent pictures'
        ages when they left the server (seconds from the end of their newest slice)."""
        return {"clients": [{"sent_frames": client.sent_frames, "dropped_frames": client.dropped_frames}
                            for client in self.clients],
                "latencies": list(self.latencies)}

    # From the feed's thread to the loop's.

    def _from_feed(self, deliver: Callable[[Any], None]) -> Callable[[Any], None]:
        def hand_over(item: Any) -> None:
            if not self._loop.is_closed():
                try:
                    self._loop.call_soon_threadsafe(deliver, item)
                except RuntimeError:  # the loop closed in between
                    pass
        return hand_over

    def _deliver_frame(self, frame: Frame) -> None:
        for client in self.clients:
            client.offer(frame)

    def _broadcast_state(self, state: dict[str, Any]) -> None:
        self._broadcast({"type": "state", "state": state})

    def _broadcast(self, message: dict[str, Any]) -> None:
        for client in self.clients:
            client.send(message)

    # HTTP.

    def _allowed(self, request: web.Request) -> str | None:
        """Why the request is refused, or None."""
        if self.token is None and (request.url.host or "") not in LOOPBACK_NAMES | {self.host}:
            return "this viewer answers on its own address only"
        origin = request.headers.get("Origin")
        if origin is not None and origin != f"{request.scheme}://{request.host}":
            return "requests from another origin are refused"
        if self.token is not None:
            given = request.query.get("token") or request.cookies.get(COOKIE, "")
            if not hmac.compare_digest(given.encode(), self.token.encode()):
                return "this viewer needs its token: open the address it printed, token included"
        return None

    @web.middleware
    async def _guard(self, request: web.Request,
                     handler: Callable[[web.Request], Awaitable[web.StreamResponse]]) -> web.StreamResponse:
        refusal = self._allowed(request)
        if refusal is not None:
            return web.Response(status=403, text=refusal + "\n")
        response = await handler(request)
        if self.token is not None and "token" in request.query and not response.prepared:
            response.set_cookie(COOKIE, self.token, httponly=True, samesite="Strict")
        return response

    async def _page(self, request: web.Request) -> web.Response:
        return web.Response(body=_static("index.html"), content_type="text/html",
                            headers={"Cache-Control": "no-store", "Referrer-Policy": "no-referrer"})

    async def _static_file(self, request: web.Request) -> web.Response:
        name = request.match_info["name"]
        if name not in STATIC_FILES:
            raise web.HTTPNotFound()
        return web.Response(body=_static(name), content_type=STATIC_FILES[name])

    async def _settings_file(self, request: web.Request) -> web.Response:
        return web.Response(text=json.dumps(self._settings(), indent=2) + "\n", content_type="application/json",
                            headers={"Content-Disposition": 'attachment; filename="velmo-settings.json"'})

    def _settings(self) -> dict[str, Any]:
        settings: dict[str, Any] = (self.source.settings() if is_camera(self.source)
                                    else self.source.settings)
        return settings

    # The WebSocket.

    async def _websocket(self, request: web.Request) -> web.WebSocketResponse:
        ws = web.WebSocketResponse(max_msg_size=MAX_WEBSOCKET_BYTES)
        await ws.prepare(request)
        client = Client(ws, self.latencies)
        self.clients.add(client)
        sender = asyncio.ensure_future(client.run())
        client.send({"type": "hello", "source": self._source_name(), "live": self.live, "tools": self.tools,
                     "settings": self._settings(), "state": self.feed.state(), "palette": picture.palette_css(),
                     "width": self.feed.width, "height": self.feed.height,
                     "window_us": {"min": MIN_WINDOW_US, "max": MAX_WINDOW_US}})
        try:
            async for message in ws:
                if message.type == WSMsgType.TEXT:
                    self._answer(client, message.data)
                elif message.type == WSMsgType.BINARY:
                    client.send({"type": "error", "reason": "the viewer takes JSON text messages, not binary ones"})
        finally:
            self.clients.discard(client)
            sender.cancel()
        return ws

    def _source_name(self) -> str:
        if is_camera(self.source):
            return f"camera {self.source.description.serial}"
        return f"recording {Path(self.source.path).name}"

    def _answer(self, client: Client, text: str) -> None:
        request: Any = None
        try:
            if len(text) > MAX_MESSAGE_CHARS:
                raise RequestError(f"a message takes at most {MAX_MESSAGE_CHARS} characters, not {len(text)}")
            try:
                request = json.loads(text)
            except ValueError:
                raise RequestError("a message is a JSON object, and this is not JSON") from None
            if not isinstance(request, dict) or not isinstance(request.get("type"), str):
                raise RequestError('a message is a JSON object with a "type"')
            handler = self._handlers.get(request["type"])
            if handler is None:
                raise RequestError(f"no message type {request['type']!r}; the viewer takes "
                                   + ", ".join(sorted(self._handlers)))
            handler(self, client, request)
        except RequestError as error:
            client.send({"type": "error", "request": request.get("type") if isinstance(request, dict) else None,
                         "reason": str(error)})

    def _apply(self, client: Client, request: dict[str, Any], settings: Any) -> None:
        if not is_camera(self.source):
            raise RequestError("a recording's settings are read-only")
        if not isinstance(settings, dict):
            raise RequestError("settings are a JSON object of tools, each an object of parameters")
        try:
            self.source.apply_settings(settings)
        except ValueError as error:
            reasons = str(error).splitlines()[1:]
            client.send({"type": "refused", "request": request["type"], "tool": request.get("tool"),
                         "name": request.get("name"), "reasons": [line.strip() for line in reasons]})
            client.send({"type": "settings", "settings": self._settings()})
            return
        self._broadcast({"type": "settings", "settings": self._settings()})

    def _on_set(self, client: Client, request: dict[str, Any]) -> None:
        tool, name = request.get("tool"), request.get("name")
        if not isinstance(tool, str) or not isinstance(name, str) or "value" not in request:
            raise RequestError('"set" takes "tool", "name" and "value"')
        self._apply(client, request, {tool: {name: request["value"]}})

    def _on_load(self, client: Client, request: dict[str, Any]) -> None:
        self._apply(client, request, request.get("settings"))

    def _on_reset(self, client: Client, request: dict[str, Any]) -> None:
        tool, name = request.get("tool"), request.get("name")
        if not isinstance(tool, (str, type(None))) or not isinstance(name, (str, type(None))):
            raise RequestError('"reset" takes an optional "tool" and "name"')
        self._apply(client, request, defaults(self.tools, tool, name))

    def _on_window(self, client: Client, request: dict[str, Any]) -> None:
        window = request.get("us")
        if type(window) is not int or not MIN_WINDOW_US <= window <= MAX_WINDOW_US:
            raise RequestError(f'"window" takes "us", an int from {MIN_WINDOW_US} to {MAX_WINDOW_US}')
        self.feed.set_window(window)

    def _on_pause(self, client: Client, request: dict[str, Any]) -> None:
        paused = request.get("paused")
        if not isinstance(paused, bool):
            raise RequestError('"pause" takes "paused", true or false')
        self.feed.set_paused(paused)

    def _on_record(self, client: Client, request: dict[str, Any]) -> None:
        action = request.get("action")
        if action not in ("start", "stop"):
            raise RequestError('"record" takes "action", "start" or "stop"')
        done = self.feed.call(self.feed.start_recording if action == "start" else self.feed.stop_recording)
        reply = asyncio.wrap_future(done)

        def answered(future: asyncio.Future[str]) -> None:
            error = future.exception()
            if error is not None:
                client.send({"type": "error", "request": "record", "reason": str(error)})
            else:
                client.send({"type": "recorded" if action == "stop" else "recording", "file": future.result()})

        reply.add_done_callback(answered)

    _handlers: dict[str, Callable[[Server, Client, dict[str, Any]], None]] = {
        "set": _on_set, "load": _on_load, "reset": _on_reset, "window": _on_window, "pause": _on_pause,
        "record": _on_record,
    }


def _open_camera(serial: str | None) -> velmo.sim.Camera:
    # Without velmo.sim this raises ModuleNotFoundError, which the command line tells apart.
    from velmo.sim import open_camera
    return open_camera(serial)


def open_source(source: object) -> tuple[Source, bool]:
    """The camera or recording `source` names, and whether it was opened here."""
    if is_camera(source) or isinstance(source, velmo.io.Recording):
        return source, False
    if source is None:
        return _open_camera(None), True
    if isinstance(source, str) and (Path(source).is_file() or source.endswith(RECORDING_SUFFIX) or "/" in source):
        source = Path(source)
    if isinstance(source, Path):
        return velmo.io.open_recording(source), True
    if isinstance(source, str):
        return _open_camera(source), True
    raise TypeError(f"source takes a camera, a recording, a serial or a recording's path, not {type(source).__name__}")


def serve(source: object = None, host: str = "127.0.0.1", port: int = 0, token: str | None = None,
          record_dir: str | Path | None = None) -> Server:
    if not isinstance(host, str):
        raise TypeError(f"host takes a str, not {type(host).__name__}")
    if type(port) is not int or not 0 <= port <= 65535:
        raise ValueError(f"port takes an int from 0 to 65535, not {port!r}")
    if token is not None and (not isinstance(token, str) or not token):
        raise ValueError("token takes a non-empty str or None")
    if token is None and not is_loopback(host):
        token = secrets.token_urlsafe(24)
    folder = None if record_dir is None else Path(record_dir)
    if folder is not None and not folder.is_dir():
        raise ValueError(f"record_dir takes an existing folder, not {str(folder)!r}")
    opened, owned = open_source(source)
    try:
        return Server(opened, owned, host, port, token, folder)
    except BaseException:
        if owned:
            opened.close()
        raise
