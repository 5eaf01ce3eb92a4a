"""inspect.signature on the simulated camera's and the testing helpers' functions and methods:
what help(), IDEs and argument-forwarding wrappers read. Every public callable the two modules
define is listed, so one added later without a signature fails here."""

import inspect

import pytest
import velmo_sim
import velmo_testing

EXPECTED = {
    "velmo_sim.event_dtype": "()",
    "velmo_sim.trigger_dtype": "()",
    "velmo_sim.list_cameras": "()",
    "velmo_sim.open_camera": "(serial=None)",
    "velmo_sim.decode": "(data, *, raw_format=None)",
    "velmo_sim.encode": "(events, triggers=None, *, raw_format)",
    "velmo_sim.log_to_python": "(enable=True)",
    "velmo_sim.dropped_log_lines": "()",
    "velmo_sim.Camera.read_events": "(self, n)",
    "velmo_sim.Camera.read": "(self, duration_us)",
    "velmo_sim.Camera.read_raw": "(self, duration_us)",
    "velmo_sim.Camera.tools": "(self)",
    "velmo_sim.Camera.tool": "(self, tool_type)",
    "velmo_sim.Camera.settings": "(self)",
    "velmo_sim.Camera.apply_settings": "(self, settings)",
    "velmo_sim.Camera.stream": "(self, slice_us=10000, realtime=False, max_backlog=16)",
    "velmo_sim.Stream.close": "(self)",
    "velmo_sim.Stream.__enter__": "(self)",
    "velmo_sim.Stream.__exit__": "(self, *args)",
    "velmo_sim.Camera.close": "(self)",
    "velmo_sim.Camera.__enter__": "(self)",
    "velmo_sim.Camera.__exit__": "(self, *args)",
    "velmo_sim.Camera.record": "(self, path, duration_us, overwrite=False, progress=None)",
    "velmo_sim.open_recording": "(path, *, raw_format=None)",
    "velmo_sim.Recording.read_events": "(self, n)",
    "velmo_sim.Recording.read": "(self, duration_us)",
    "velmo_sim.Recording.read_raw": "(self, duration_us)",
    "velmo_sim.Recording.seek": "(self, t_us)",
    "velmo_sim.Recording.stream": "(self, slice_us=10000, realtime=False, max_backlog=16)",
    "velmo_sim.Recording.close": "(self)",
    "velmo_sim.Recording.__enter__": "(self)",
    "velmo_sim.Recording.__exit__": "(self, *args)",
    "velmo_sim.Stream.record_to": "(self, path, overwrite=False)",
    "velmo_sim.RecordingWriter": "(path, *, raw_format, description=None, settings=None, overwrite=False)",
    "velmo_sim.RecordingWriter.write_raw": "(self, data)",
    "velmo_sim.RecordingWriter.write": "(self, events, triggers=None)",
    "velmo_sim.RecordingWriter.close": "(self)",
    "velmo_sim.RecordingWriter.__enter__": "(self)",
    "velmo_sim.RecordingWriter.__exit__": "(self, *args)",
    "velmo_sim.Decoder": "(raw_format=None)",
    "velmo_sim.Decoder.decode": "(self, data)",
    "velmo_sim.Decoder.reset": "(self)",
    "velmo_testing.make_event": "(x, y, p, t)",
    "velmo_testing.read_event": "(e)",
    "velmo_testing.make_events": "(n, seed=0)",
    "velmo_testing.sum_events": "(events)",
    "velmo_testing.make_tool": "(tool_type, key_prefix='')",
    "velmo_testing.make_registry_tool": "(entries, key_prefix='')",
    "velmo_testing.NativeHolder": "(tool)",
    "velmo_testing.NativeHolder.tool_info": "(self)",
    "velmo_testing.NativeHolder.all_param_info": "(self)",
    "velmo_testing.NativeHolder.param_info": "(self, name, record)",
    "velmo_testing.NativeHolder.use_count": "(self)",
    "velmo_testing.NativeHolder.call_from_threads": "(self, threads, calls)",
    "velmo_testing.NativeHolder.failures_on_threads": "(self, threads, calls)",
}


def public_callables(module):
    """Qualified name -> callable, for the module's functions and its classes' public methods,
    and for each class that can be constructed."""
    found = {}
    for name, value in vars(module).items():
        if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        if not isinstance(value, type):
            found[f"{module.__name__}.{name}"] = value
            continue
        if type(vars(value).get("__init__")).__name__ == "instancemethod":
            found[f"{module.__name__}.{name}"] = value
        for member in vars(value):
            if callable(getattr(value, member)) and (not member.startswith("_") or member in {"__enter__", "__exit__"}):
                found[f"{module.__name__}.{name}.{member}"] = getattr(value, member)
    return found


CALLABLES = {**public_callables(velmo_sim), **public_callables(velmo_testing)}


def test_every_public_callable_is_listed():
    assert sorted(CALLABLES) == sorted(EXPECTED)


@pytest.mark.parametrize("name", sorted(CALLABLES))
def test_signature_names_the_parameters_and_defaults(name):
    assert str(inspect.signature(CALLABLES[name])) == EXPECTED[name]
