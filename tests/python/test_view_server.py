"""The viewer's server without a browser: its safety rules, its control messages, and the
pictures it sends, through a plain WebSocket client. The page itself is tested in a browser in
test_view_browser.py."""

import asyncio
import io
import json
import socket
import struct
import time

import numpy as np
import pytest
import velmo.io
import velmo.sim
from extras import extra

aiohttp = extra("aiohttp", "view")

from velmo import view  # noqa: E402
from velmo.view import picture  # noqa: E402

SERIAL = "VLM636-000101"


@pytest.fixture(scope="module")
def camera():
    with velmo.sim.open_camera(SERIAL) as opened:
        yield opened


@pytest.fixture(scope="module")
def server(camera):
    with view.serve(camera) as running:
        yield running


def ws_url(server, token=None):
    return f"ws://127.0.0.1:{server.port}/ws" + (f"?token={token}" if token else "")


async def next_of(ws, kind, timeout=5.0):
    """The next text message of this type, skipping pictures and other messages."""
    deadline = time.monotonic() + timeout
    while True:
        message = await asyncio.wait_for(ws.receive(), deadline - time.monotonic())
        if message.type == aiohttp.WSMsgType.TEXT:
            data = json.loads(message.data)
            if data["type"] == kind:
                return data
        elif message.type != aiohttp.WSMsgType.BINARY:
            raise AssertionError(f"the connection ended: {message}")


async def frames_of(ws, count, timeout=5.0):
    """The headers of the next count pictures, each with the time it arrived."""
    headers = []
    while len(headers) < count:
        message = await asyncio.wait_for(ws.receive(), timeout)
        if message.type == aiohttp.WSMsgType.BINARY:
            length = struct.unpack(">I", message.data[:4])[0]
            header = json.loads(message.data[4:4 + length])
            assert message.data[4 + length:4 + length + 8] == b"\x89PNG\r\n\x1a\n"
            headers.append((time.monotonic(), header))
        elif message.type != aiohttp.WSMsgType.TEXT:
            raise AssertionError(f"the connection ended: {message}")
    return headers


def run(coroutine_function, *args):
    async def session():
        async with aiohttp.ClientSession(cookie_jar=aiohttp.CookieJar(unsafe=True)) as client:
            return await coroutine_function(client, *args)
    return asyncio.run(session())


@pytest.mark.parametrize("sent, reason", [
    ("not json", "this is not JSON"),
    ("[1, 2]", 'a JSON object with a "type"'),
    ('{"tool": "BIAS"}', 'a JSON object with a "type"'),
    ('{"type": "fly"}', "no message type 'fly'; the viewer takes load, pause, record, reset, set, window"),
    ("x" * 70_000, "at most 65536 characters, not 70000"),
    ('{"type": "set", "tool": "BIAS"}', '"set" takes "tool", "name" and "value"'),
    ('{"type": "window", "us": 0}', '"window" takes "us", an int from 1000 to 1000000'),
    ('{"type": "pause", "paused": "yes"}', '"pause" takes "paused", true or false'),
    ('{"type": "load", "settings": [1]}', "settings are a JSON object"),
    ('{"type": "record", "action": "start"}', "recording needs a live camera and a folder"),
    (b"\x00\x01", "JSON text messages, not binary ones"),
])
def test_a_malformed_message_gets_an_error_reply_and_the_connection_goes_on(server, sent, reason):
    async def exchange(client):
        async with client.ws_connect(ws_url(server)) as ws:
            await next_of(ws, "hello")
            await (ws.send_bytes(sent) if isinstance(sent, bytes) else ws.send_str(sent))
            error = await next_of(ws, "error")
            await ws.send_json({"type": "window", "us": 30_000})
            state = await next_of(ws, "state")
            await ws.send_json({"type": "window", "us": 20_000})
            return error, state

    error, state = run(exchange)
    assert reason in error["reason"]
    assert state["state"]["window_us"] == 30_000


def test_a_message_too_big_to_take_closes_only_its_own_connection(server):
    async def exchange(client):
        async with client.ws_connect(ws_url(server)) as ws:
            await next_of(ws, "hello")
            await ws.send_str("x" * (2 * 1024 * 1024))
            with pytest.raises(AssertionError, match="the connection ended"):
                await next_of(ws, "error")
        async with client.ws_connect(ws_url(server)) as ws:
            return await frames_of(ws, 2)

    assert len(run(exchange)) == 2


def test_a_change_by_one_client_is_seen_by_all_and_a_refusal_by_its_sender(server, camera):
    async def exchange(client):
        async with client.ws_connect(ws_url(server)) as first, client.ws_connect(ws_url(server)) as second:
            await next_of(first, "hello")
            await next_of(second, "hello")
            await first.send_json({"type": "set", "tool": "BIAS", "name": "bias_diff_on", "value": 33})
            seen = [await next_of(first, "settings"), await next_of(second, "settings")]
            await second.send_json({"type": "set", "tool": "BIAS", "name": "bias_diff_on", "value": 3000})
            refused = await next_of(second, "refused")
            await second.send_json({"type": "reset", "tool": "BIAS", "name": "bias_diff_on"})
            reset = await next_of(first, "settings")
            return seen, refused, reset

    seen, refused, reset = run(exchange)
    assert [each["settings"]["BIAS"]["bias_diff_on"] for each in seen] == [33, 33]
    assert refused["reasons"] == ["BIAS.bias_diff_on: 3000 is outside [-85, 140]"]
    assert reset["settings"]["BIAS"]["bias_diff_on"] == 0 == camera.settings()["BIAS"]["bias_diff_on"]


def handshake_without_reading(port):
    """A client that opens the WebSocket and then never reads: its socket buffers fill up."""
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", port))
    stalled.sendall(f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
    return stalled


def test_a_client_that_stops_reading_loses_pictures_and_slows_nothing(server):
    stalled = handshake_without_reading(server.port)
    try:
        async def watch(client):
            # Until the stalled client's socket buffers are full and it starts losing pictures.
            async with client.ws_connect(ws_url(server)) as ws:
                headers = []
                while not stalled_losses() and len(headers) < 600:
                    headers += await frames_of(ws, 25, timeout=2.0)
                return headers

        def stalled_losses():
            return [each for each in server.stats()["clients"] if each["dropped_frames"] > 0]

        headers = run(watch)
        stalled_stats = stalled_losses()
    finally:
        stalled.close()
    assert stalled_stats, "the stalled client lost no picture"
    # The reading client got every picture, and the camera's stream dropped nothing.
    sensor_times = [header["sensor_us"] for _, header in headers]
    assert sensor_times == list(range(sensor_times[0], sensor_times[-1] + 1, 40_000))
    assert headers[-1][1]["dropped_slices"] == headers[0][1]["dropped_slices"]


@pytest.fixture
def exposed():
    # The module's camera streams to the module's server; a camera has one reader at a time.
    with view.serve("VLM636-000102", host="0.0.0.0") as running:
        yield running


def test_off_the_loopback_address_every_request_needs_the_token(exposed):
    token = exposed.token
    assert token and f"?token={token}" in exposed.url
    base = f"http://127.0.0.1:{exposed.port}"

    async def exchange(client):
        statuses = {}
        for name, path in [("page", "/"), ("wrong", "/?token=x" + token), ("static", "/static/view.js"),
                           ("settings", "/settings.json")]:
            async with client.get(base + path) as response:
                statuses[name] = response.status
        for name, url in [("ws", ws_url(exposed)), ("ws-wrong", ws_url(exposed, token[:-1]))]:
            with pytest.raises(aiohttp.WSServerHandshakeError) as refused:
                await client.ws_connect(url)
            statuses[name] = refused.value.status
        async with client.get(f"{base}/?token={token}") as response:
            statuses["with token"] = response.status
        async with client.get(base + "/static/view.js") as response:  # the page's cookie carries the token
            statuses["static after"] = response.status
        async with client.ws_connect(ws_url(exposed, token)) as ws:
            statuses["hello"] = (await next_of(ws, "hello"))["source"]
        return statuses

    assert run(exchange) == {"page": 403, "wrong": 403, "static": 403, "settings": 403, "ws": 403,
                             "ws-wrong": 403, "with token": 200, "static after": 200,
                             "hello": "camera VLM636-000102"}


@pytest.mark.parametrize("headers", [{"Origin": "http://evil.example"}, {"Host": "evil.example"}])
def test_requests_from_another_origin_or_name_are_refused(server, headers):
    async def exchange(client):
        async with client.get(f"http://127.0.0.1:{server.port}/", headers=headers) as response:
            page = response.status, await response.text()
        with pytest.raises(aiohttp.WSServerHandshakeError) as refused:
            await client.ws_connect(ws_url(server), headers=headers)
        return page, refused.value.status

    (status, text), ws_status = run(exchange)
    assert (status, ws_status) == (403, 403)
    assert "origin" in text or "own address" in text


def test_a_recording_plays_at_its_pace_read_only_and_pauses(tmp_path):
    path = tmp_path / "played.vrec"
    with velmo.sim.open_camera(SERIAL) as camera:
        camera.apply_settings({"BIAS": {"bias_diff_on": 25}})
        camera.record(path, 1_000_000)

    async def exchange(client, server):
        async with client.ws_connect(ws_url(server)) as ws:
            hello = await next_of(ws, "hello")
            await ws.send_json({"type": "set", "tool": "BIAS", "name": "bias_diff_on", "value": 0})
            error = await next_of(ws, "error")
            played = await frames_of(ws, 10)
            await ws.send_json({"type": "pause", "paused": True})
            await next_of(ws, "state")
            await asyncio.sleep(0.3)
            before = server.stats()["clients"][0]["sent_frames"]
            await asyncio.sleep(0.3)
            after = server.stats()["clients"][0]["sent_frames"]
            return hello, error, played, (before, after)

    with view.serve(path) as server:
        hello, error, played, (before, after) = run(exchange, server)
    assert (hello["live"], hello["settings"]["BIAS"]["bias_diff_on"]) == (False, 25)
    assert error["reason"] == "a recording's settings are read-only"
    span = played[-1][0] - played[0][0]
    assert 0.25 <= span <= 0.6, f"9 pictures of 40 ms of recorded time came in {span:.2f} s"
    assert before == after


@pytest.mark.parametrize("arguments, error, message", [
    ({"source": 3}, TypeError, "source takes a camera, a recording, a serial or a recording's path, not int"),
    ({"source": "NO-SUCH-SERIAL"}, ValueError, "NO-SUCH-SERIAL"),
    ({"port": 70_000}, ValueError, "port takes an int from 0 to 65535"),
    ({"token": ""}, ValueError, "token takes a non-empty str"),
    ({"record_dir": "/no/such/folder"}, ValueError, "record_dir takes an existing folder"),
])
def test_serve_refuses_bad_arguments_by_name(arguments, error, message):
    with pytest.raises(error, match=message):
        view.serve(**{"source": None, **arguments})


def test_the_picture_shows_each_pixels_polarities_in_the_palettes_colours():
    image = extra("PIL.Image", "examples")
    events = np.zeros(4, dtype=velmo.io.event_dtype())
    events["x"], events["y"], events["polarity"] = [1, 2, 2, 5000], [0, 1, 1, 0], [1, 1, 0, 1]
    indices = picture.indices([events[:2], events[2:]], width=4, height=3)
    assert indices.tolist() == [[0, 1, 0, 0], [0, 0, 3, 0], [0, 0, 0, 0]]
    decoded = image.open(io.BytesIO(picture.png(indices))).convert("RGB")
    assert decoded.getpixel((1, 0)) == picture.PALETTE["ON"]
    assert decoded.getpixel((2, 1)) == picture.PALETTE["both"]
    assert decoded.getpixel((0, 0)) == picture.PALETTE["none"]
    off_only = picture.indices([events[2:3]], width=4, height=3)
    assert image.open(io.BytesIO(picture.png(off_only))).convert("RGB").getpixel((2, 1)) == picture.PALETTE["OFF"]
