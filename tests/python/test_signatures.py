"""inspect.signature on the functions and methods of velmo.io's native half, the simulated camera
and the testing helpers: what help(), IDEs and argument-forwarding wrappers read. Every public
callable the three modules define is listed, so one added later without a signature fails here."""

import inspect

import pytest
import velmo.sim
import velmo.testing

from velmo import _io

EXPECTED = {
    "velmo.io.event_dtype": "()",
    "velmo.io.trigger_dtype": "()",
    "velmo.sim.list_cameras": "()",
    "velmo.sim.open_camera": "(serial=None)",
    "velmo.io.decode": "(data, *, raw_format=None)",
    "velmo.io.encode": "(events, triggers=None, *, raw_format)",
    "velmo.sim.log_to_python": "(enable=True)",
    "velmo.sim.dropped_log_lines": "()",
    "velmo.sim.Camera.read_events": "(self, n)",
    "velmo.sim.Camera.read": "(self, duration_us)",
    "velmo.sim.Camera.read_raw": "(self, duration_us)",
    "velmo.sim.Camera.tools": "(self)",
    "velmo.sim.Camera.tool": "(self, tool_type)",
    "velmo.sim.Camera.settings": "(self)",
    "velmo.sim.Camera.apply_settings": "(self, settings)",
    "velmo.sim.Camera.stream": "(self, slice_us=10000, realtime=False, max_backlog=16)",
    "velmo.io.Stream.close": "(self)",
    "velmo.io.Stream.__enter__": "(self)",
    "velmo.io.Stream.__exit__": "(self, exc_type, exc_value, traceback)",
    "velmo.sim.Camera.close": "(self)",
    "velmo.sim.Camera.__enter__": "(self)",
    "velmo.sim.Camera.__exit__": "(self, exc_type, exc_value, traceback)",
    "velmo.sim.Camera.record": "(self, path, duration_us, overwrite=False, progress=None)",
    "velmo.io.open_recording": "(path, *, raw_format=None)",
    "velmo.io.Recording.read_events": "(self, n)",
    "velmo.io.Recording.read": "(self, duration_us)",
    "velmo.io.Recording.read_raw": "(self, duration_us)",
    "velmo.io.Recording.seek": "(self, t_us)",
    "velmo.io.Recording.stream": "(self, slice_us=10000, realtime=False, max_backlog=16)",
    "velmo.io.Recording.close": "(self)",
    "velmo.io.Recording.__enter__": "(self)",
    "velmo.io.Recording.__exit__": "(self, exc_type, exc_value, traceback)",
    "velmo.io.Stream.record_to": "(self, path, overwrite=False)",
    "velmo.io.RecordingWriter": "(path, *, raw_format, description=None, settings=None, overwrite=False)",
    "velmo.io.RecordingWriter.write_raw": "(self, data)",
    "velmo.io.RecordingWriter.write": "(self, events, triggers=None)",
    "velmo.io.RecordingWriter.close": "(self)",
    "velmo.io.RecordingWriter.__enter__": "(self)",
    "velmo.io.RecordingWriter.__exit__": "(self, exc_type, exc_value, traceback)",
    "velmo.io.Decoder": "(raw_format=None)",
    "velmo.io.Decoder.decode": "(self, data)",
    "velmo.io.Decoder.reset": "(self)",
    "velmo.testing.make_event": "(x, y, p, t)",
    "velmo.testing.read_event": "(e)",
    "velmo.testing.make_events": "(n, seed=0)",
    "velmo.testing.sum_events": "(events)",
    "velmo.testing.make_tool": "(tool_type, key_prefix='')",
    "velmo.testing.make_registry_tool": "(entries, key_prefix='')",
    "velmo.testing.NativeHolder": "(tool)",
    "velmo.testing.NativeHolder.tool_info": "(self)",
    "velmo.testing.NativeHolder.all_param_info": "(self)",
    "velmo.testing.NativeHolder.param_info": "(self, name, record)",
    "velmo.testing.NativeHolder.use_count": "(self)",
    "velmo.testing.NativeHolder.call_from_threads": "(self, threads, calls)",
    "velmo.testing.NativeHolder.failures_on_threads": "(self, threads, calls)",
}


def public_callables(module, shown_as=None):
    """Qualified name -> callable, for the module's functions and its classes' public methods,
    and for each class that can be constructed; named after the module users import them from."""
    found = {}
    prefix = shown_as or module.__name__
    for name, value in vars(module).items():
        if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        if not isinstance(value, type):
            found[f"{prefix}.{name}"] = value
            continue
        if type(vars(value).get("__init__")).__name__ == "instancemethod":
            found[f"{prefix}.{name}"] = value
        for member in vars(value):
            if callable(getattr(value, member)) and (not member.startswith("_") or member in {"__enter__", "__exit__"}):
                found[f"{prefix}.{name}.{member}"] = getattr(value, member)
    return found


CALLABLES = {
    **public_callables(_io, shown_as="velmo.io"),
    **public_callables(velmo.sim),
    **public_callables(velmo.testing),
}


def test_every_public_callable_is_listed():
    assert sorted(CALLABLES) == sorted(EXPECTED)


@pytest.mark.parametrize("name", sorted(CALLABLES))
def test_signature_names_the_parameters_and_defaults(name):
    assert str(inspect.signature(CALLABLES[name])) == EXPECTED[name]
