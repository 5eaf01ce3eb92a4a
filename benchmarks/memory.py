"""Peak resident memory of making 1e7 events, each in a fresh interpreter."""

import statistics

from harness import Row, run_python

EVENTS = 10**7
EVENT_BYTES = 16
# Beyond the array itself: the Python objects and the rounding of the allocation to pages.
FIXED_ALLOWANCE_BYTES = 64 * 1024

# The peak is reset (Linux's clear_refs) after everything is imported and warmed up, so that
# start-up transients do not hide the growth; ru_maxrss serves where the reset is refused.
# The camera warms up over a second of sensor time: its per-pixel state, allocated when it
# opens, becomes resident page by page as the scene reaches the pixels (about 1.8 MB over the
# first second, then flat), and that is the camera's own state, not something a read stages.
PEAK_GROWTH = """
import resource
import numpy as np
import velmo.io
import velmo.sim
import velmo.testing

def peak_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

camera = velmo.sim.open_camera()
camera.read(1_000_000)
velmo.testing.make_events(1000)
np.empty(1000, velmo.io.event_dtype()).view(np.uint8)[...] = 0
try:
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
except OSError:
    pass
before = peak_bytes()
{make}
assert len(events) == {count}
print(peak_bytes() - before)
"""

SUBJECTS = {
    "read_events(1e7)": "events = camera.read_events({count})",
    "make_events(1e7)": "events = velmo.testing.make_events({count})",
}
FLOOR = "events = np.empty({count}, velmo.io.event_dtype()); events.view(np.uint8)[...] = 1"


def growth_per_event(make: str) -> float:
    code = PEAK_GROWTH.format(make=make.format(count=EVENTS), count=EVENTS)
    return int(run_python(code)) / EVENTS


def rows(repetitions: int) -> list[Row]:
    runs = max(3, repetitions // 2)
    array_bytes = float(EVENT_BYTES)
    limit = (EVENT_BYTES + FIXED_ALLOWANCE_BYTES / EVENTS) / EVENT_BYTES
    result = []
    for name, make, target in [(name, make, limit) for name, make in SUBJECTS.items()] + [
        ("numpy.empty + fill (for reference)", FLOOR, None)
    ]:
        growth = statistics.median(growth_per_event(make) for _ in range(runs))
        result.append(
            Row(
                "memory",
                f"peak growth of {name}",
                growth,
                array_bytes,
                "B/event",
                growth / array_bytes,
                target,
                "the array itself",
            )
        )
    return result
