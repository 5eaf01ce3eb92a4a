"""Ordinary programs that used to end the process or hang it: each runs in a child process, so
that a crash or a hang fails its test and not the whole run."""

import os
import subprocess
import sys
import textwrap

import pytest
import velmo_hal_py as hal
import velmo.io
import velmo.sim
import velmo_test_hooks
import velmo.testing

# Generous: twenty children share the machine with the sanitizer build and the rest of the suite.
TIMEOUT_S = 120

# The children find the tests' own module where this process found it (conftest puts it on sys.path).
HEADER = f"""\
import copy, os, pickle, re, signal, sys, threading, time
import numpy as np
sys.path.append({os.path.dirname(velmo_test_hooks.__file__)!r})
import velmo_base_py as base, velmo_hal_py as hal, velmo.io, velmo.sim, velmo.testing, velmo_test_hooks
"""


# Under the sanitizers the leak checker cannot stop the threads these children leave parked at
# exit (its tracer faults on them): what the children test is their exit status, so it is off
# there.
CHILD_ENV = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}


def start(body):
    return subprocess.Popen([sys.executable, "-c", HEADER + textwrap.dedent(body)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=CHILD_ENV)


def finish(process):
    try:
        out, err = process.communicate(timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        pytest.fail(f"hung for {TIMEOUT_S} s; stderr: {err[-2000:]}")
    assert process.returncode == 0, err[-2000:]
    return out


def run(body):
    return finish(start(body))


# Every kind of native call that gives up the interpreter lock, or calls Python from native
# threads, is in progress when the script ends, and a stream's thread reads for a consumer that
# waits for it.
BUSY_AT_EXIT = """
class Tool(hal.CameraTool):
    def __init__(self, answer):
        super().__init__("")
        self.answer = answer
    def getToolInfo(self):
        return self.answer()

def forever(call):
    threading.Thread(target=lambda: [call() for _ in range(10**6)], daemon=True).start()

camera = velmo.sim.open_camera()
answering = Tool(hal.ToolInfo)
raising = Tool(lambda: 1 / 0)
forever(lambda: camera.read_events(2_000_000))
forever(lambda: velmo.testing.NativeHolder(answering).call_from_threads(4, 1000))
forever(lambda: velmo.testing.NativeHolder(raising).failures_on_threads(4, 1000))
forever(lambda: velmo_test_hooks.time_device_read(camera, 1_000_000))
live = velmo.sim.open_camera("VLM636-000102").stream(slice_us=1_000, realtime=True)
forever(lambda: next(live, None))
time.sleep(0.2)
"""


def run_side_by_side(body, count):
    """Runs `count` children at once, so that a race that ends or hangs a few runs shows."""
    processes = [start(body) for _ in range(count)]
    try:
        for process in processes:
            finish(process)
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
            process.communicate()


def test_daemon_threads_inside_native_calls_at_exit():
    run_side_by_side(BUSY_AT_EXIT, 20)


def test_script_end_lets_a_python_call_on_a_native_thread_return():
    out = run("""
        class Slow(hal.CameraTool):
            def getToolInfo(self):
                time.sleep(0.5)
                print("returned", flush=True)
                return hal.ToolInfo()

        tool = Slow("")
        threading.Thread(target=lambda: velmo.testing.NativeHolder(tool).call_from_threads(1, 1), daemon=True).start()
        time.sleep(0.1)
    """)
    assert out == "returned\n"


@pytest.mark.parametrize("call", [
    "hal.CameraTool.__init__(velmo.testing.make_tool(hal.ROI), '')",
    "type('Mine', (hal.Imx636ROI,), {'__init__': lambda self: hal.CameraTool.__init__(self, '')})()",
])
def test_device_tool_construction_is_refused(call):
    out = run(f"""
        try:
            {call}
        except TypeError as error:
            print(error)
    """)
    assert out.startswith("device tools cannot be constructed from Python")


COPIES = {
    "IntParameterInfo": ("r = hal.IntParameterInfo(); r.min, r.max, r.unit = -3, 9, 'us'",
                         "(c.min, c.max, c.default_value, c.unit)"),
    "FloatParameterInfo": ("r = hal.FloatParameterInfo(); r.max, r.default_value = 2.5, 0.5",
                           "(c.min, c.max, c.default_value, c.unit)"),
    "BoolParameterInfo": ("r = hal.BoolParameterInfo(); r.default_value = True", "c.default_value"),
    "EnumParameterInfo": ("r = hal.EnumParameterInfo(); r.options, r.default_value = ['a', 'b'], 'b'",
                          "(c.options, c.default_value)"),
    "BasicParameterInfo": ("r = hal.BasicParameterInfo(); r.name, r.type = 'x', hal.ToolParameterType.ENUM",
                           "(c.name, c.description, c.type)"),
    "ToolInfo": ("r = hal.ToolInfo(); r.tool_type, r.parameter_names = hal.ROI, ['x', 'y']",
                 "(c.tool_type, c.parameter_names, c.description)"),
    "ToolType": ("r = hal.ToolType.EVENT_RATE_CONTROL", "c"),
    "CameraDescription": ("r = velmo.sim.list_cameras()[1]", "(c.serial, c.vid, c.pid, c.interfaceType)"),
    "Event2D": ("r = velmo.testing.make_event(7, 8, 1, 2**64 - 1)", "velmo.testing.read_event(c)"),
    "subclass with its own state": ("""
class Limits(hal.IntParameterInfo):
    def __getstate__(self):
        return {"tag": self.tag}
    def __setstate__(self, state):
        self.tag = state["tag"]
Limits.__module__ = "__main__"
r = Limits(); r.min, r.max, r.unit, r.tag = 1, 2, "px", "kept"
""", "(type(c).__name__, c.min, c.max, c.unit, c.tag)"),
}


@pytest.mark.parametrize("name", COPIES)
def test_records_copy_and_pickle_by_value(name):
    make, fields = COPIES[name]
    out = run(make + f"""
copies = [copy.copy(r), copy.deepcopy(r)] + [pickle.loads(pickle.dumps(r, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
c = r
original = repr({fields})
for c in copies:
    assert c is not r and type(c) is type(r), c
    assert repr({fields}) == original, ({fields}, original)
print(original)
""")
    assert out.strip() not in ("", "None")


@pytest.mark.parametrize("make", [
    "velmo.testing.make_tool(hal.ROI)", "velmo.sim.open_camera()", "hal.RawEventStreamFormat('EVT3')",
    "velmo.testing.NativeHolder(velmo.testing.make_tool(hal.BIAS))",
    "type('Own', (hal.CameraTool,), {'__getstate__': lambda s: {}, '__setstate__': lambda s, d: None})('')",
])
def test_tools_and_devices_refuse_copies(make):
    out = run(f"""
obj = {make}
for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
    try:
        attempt(obj)
    except TypeError as error:
        print(error)
""")
    lines = out.splitlines()
    assert len(lines) == 3 and all("cannot be copied or pickled" in line for line in lines), out


@pytest.mark.parametrize("target, use", [
    ("base.Event2D", "u.x"), ("base.Event2D", "u.t = 5"), ("hal.IntParameterInfo", "u.min"),
    ("hal.FloatParameterInfo", "u.unit = 'x'"), ("hal.Imx636ROI", "u.get_tool_info()"),
    ("velmo.sim.Camera", "u.read_events(1)"), ("hal.ToolInfo", "u.__reduce_ex__(2)"), ("hal.EnumParameterInfo", "copy.copy(u)"),
])
def test_objects_never_initialised_refuse_their_native_members(target, use):
    out = run(f"""
u = {target}.__new__({target})
try:
    {use}
except TypeError as error:
    print(error)
""")
    assert "is not initialised" in out


@pytest.mark.parametrize("make, other", [
    ("hal.IntParameterInfo()", "hal.EnumParameterInfo"),
    ("velmo.testing.make_event(1, 2, 1, 3)", "hal.ToolInfo"),
    ("hal.ROI", "hal.EnumParameterInfo"),
    ("velmo.sim.open_camera()", "velmo.testing.NativeHolder"),
])
def test_class_of_another_native_layout_is_refused(make, other):
    out = run(f"""
obj = {make}
try:
    obj.__class__ = {other}
except TypeError as error:
    print(error)
print(type(obj).__name__)
""")
    assert "object layout differs" in out and other.split(".")[1] not in out.splitlines()[-1]


def getToolInfo(tool, natively):
    return velmo.testing.NativeHolder(tool).tool_info() if natively else tool.get_tool_info()


@pytest.mark.parametrize("natively", [False, True])
def test_override_is_found_from_a_function_of_the_same_name(natively):
    class Named(hal.CameraTool):
        def __init__(self):
            super().__init__("")

        def getToolInfo(self):
            info = hal.ToolInfo()
            info.description = "named"
            return info

    assert getToolInfo(Named(), natively).description == "named"


def test_long_read_stops_at_ctrl_c_and_the_stream_stays_consistent():
    out = run("""
def interrupted_read(camera, n):
    main = threading.main_thread().ident
    threading.Timer(0.3, lambda: signal.pthread_kill(main, signal.SIGINT)).start()
    begun = time.monotonic()
    try:
        camera.read_events(n)
    except KeyboardInterrupt as error:
        late = time.monotonic() - begun - 0.3
        assert late < 1.0 * float(os.environ.get("VELMO_SLOWDOWN", "1")), late
        (note,) = error.__notes__
        return int(re.search(r"after (\\d+) of", note).group(1))
    raise AssertionError("not interrupted")

def configured(**settings):
    camera = velmo.sim.open_camera()
    roi = camera.tool(hal.ROI)
    for name, value in settings.items():
        assert roi.set_param(name, value)
    return camera

assert interrupted_read(configured(mode="RONI", enable=True), 10**9) == 0

band = dict(y_height=72, x_width=1280, enable=True)
camera, reference = configured(**band), configured(**band)
dropped = interrupted_read(camera, 10**7)
assert dropped > 0
expected = reference.read_events(dropped + 1000)[dropped:]
assert camera.read_events(1000).tobytes() == expected.tobytes()
print(dropped)
""")
    assert int(out) > 0


# The buffer changes under the decoder: counted as time words, decoded as vectors of twelve
# events each, or the other way round.
@pytest.mark.parametrize("holder", ["bytearray", "numpy"])
def test_decoding_a_buffer_another_thread_rewrites(holder):
    run(f"""
    calm = np.full(1 << 21, 0x6000, np.uint16)
    calm[0], calm[1] = 0x8000, 0x0000
    vectors = calm.copy()
    vectors[2::2], vectors[3::2] = 0x3000, 0x4FFF
    data = bytearray(calm.tobytes()) if {holder!r} == "bytearray" else calm.copy()
    contents = [vectors.tobytes(), calm.tobytes()] if {holder!r} == "bytearray" else [vectors, calm]
    done = False
    def rewrite():
        while not done:
            for content in contents:
                data[:] = content
    writer = threading.Thread(target=rewrite)
    writer.start()
    for _ in range(20):
        events, _ = velmo.io.decode(data)
        assert len(events) <= 6 * len(calm), len(events)
    done = True
    writer.join()
    """)


# Vector words before any time word decode to nothing: the output is sized by what they decode
# to, not by the twelve events each could carry, which would not fit under the limit.
def test_decoding_vectors_takes_memory_for_what_they_decode_to():
    run("""
    import resource
    # Timed vectors whose base lies past the sensor's last column: every one of their events
    # is dropped, and only the last word's event is kept.
    words = np.full(1 << 25, 0x4FFF, np.uint16)
    words[:3] = 0x8000, 0x0000, 0x37FF
    words[-2:] = 0x8000, 0x2005
    used = int(re.search(r"VmSize:\\s+(\\d+)", open("/proc/self/status").read()).group(1)) * 1024
    resource.setrlimit(resource.RLIMIT_AS, (used + (3 << 30), resource.RLIM_INFINITY))
    events, _ = velmo.io.decode(words, raw_format="EVT3;height=720;width=1280")
    assert len(events) == 1, len(events)
    """)


FULL_DISK = """
import resource, subprocess
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
path = sys.argv[1]
resource.setrlimit(resource.RLIMIT_FSIZE, (1_000_000, resource.RLIM_INFINITY))
"""


# The file-size limit stands for a disk that fills up: whoever writes, the file is left a
# finished recording of what fitted.
@pytest.mark.parametrize("writer", [
    "camera.record(path, 5_000_000)",
    "stream = camera.stream(slice_us=10_000)\nstream.record_to(path)\nfor piece in stream: pass",
    "from velmo import cli\ncli.main(['record', path, '--duration', '5'])",
])
def test_a_full_disk_leaves_a_finished_recording(tmp_path, writer):
    path = tmp_path / "full.vrec"
    process = subprocess.Popen(
        [sys.executable, "-c", HEADER + FULL_DISK + "camera = velmo.sim.open_camera()\n" + writer, str(path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=CHILD_ENV)
    try:
        _, err = process.communicate(timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        process.kill()
        pytest.fail(f"hung for {TIMEOUT_S} s")
    assert process.returncode != 0 and "File too large" in err, err[-2000:]
    with velmo.io.open_recording(path) as recording:
        assert not recording.truncated
        assert 0 < recording.duration_us < 5_000_000
        recording.read(recording.duration_us)


# Neither waits for a writer of a FIFO, nor goes on for ever through a header whose times no
# data can reach.
@pytest.mark.parametrize("content, use", [
    ("fifo", "velmo.io.open_recording(path)"),
    ("fifo", "cli.main(['info', path])"),
    ("end-us: 18446744073709551615", "cli.main(['info', path])"),
    ("start-us: 18446744073709551000", "list(velmo.io.open_recording(path).stream())"),
])
def test_files_that_never_end_are_refused(tmp_path, content, use):
    path = tmp_path / "a.vrec"
    if content == "fifo":
        os.mkfifo(path)
    else:
        velmo.sim.open_camera().record(path, 1000)
        text = path.read_bytes()
        key = content.partition(" ")[0].encode()
        start = text.index(key)
        end = text.index(b"\n", start)
        path.write_bytes(text[:start] + content.encode() + text[end:])
    out = run(f"""
    from velmo import cli
    path = {str(path)!r}
    try:
        {use}
    except (ValueError, SystemExit) as refused:
        print("refused", refused)
    """)
    assert "refused" in out


@pytest.mark.parametrize("raw_format", [None, "EVT3"])
def test_opening_a_fifo_is_refused_without_waiting_for_a_writer(tmp_path, raw_format):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    run(f"""
    try:
        velmo.io.open_recording({str(fifo)!r}, raw_format={raw_format!r})
    except ValueError as error:
        assert "not a regular file" in str(error), error
    else:
        raise AssertionError("a FIFO opened as a recording")
    """)
