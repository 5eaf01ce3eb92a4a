import numpy as np
import pytest
import velmo_sim


@pytest.fixture
def camera():
    """A freshly opened simulated camera: its stream starts at the beginning, its tools at their defaults."""
    return velmo_sim.open_camera()


@pytest.fixture
def event():
    """An Event2D made by native code, the only way Python obtains one."""
    return velmo_sim.make_event(1, 2, 1, 3)


@pytest.fixture
def events():
    """A contiguous array of pseudo-random events, made natively."""
    return velmo_sim.make_events(1000, seed=7)


@pytest.fixture
def event_bytes():
    """Returns an Event2D array of n items over a buffer filled with one marker byte, and the buffer."""

    def make(n, marker=0xA5):
        buffer = bytearray([marker]) * (16 * n)
        return np.frombuffer(buffer, dtype=velmo_sim.event_dtype()), buffer

    return make
