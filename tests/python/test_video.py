"""write_video: the frames that reach the file, and the extra it needs."""

import re
import subprocess
import sys

import numpy as np
import pytest

from extras import extra
from test_frames import make_events
from velmo import frames, video

SHAPE = (48, 64)


def frames_in(path):
    """The number of frames of the video and their (height, width), as ffmpeg reads them."""
    ffmpeg = extra("imageio_ffmpeg", "video")
    count, _ = ffmpeg.count_frames_and_secs(str(path))
    described = subprocess.run([ffmpeg.get_ffmpeg_exe(), "-hide_banner", "-i", str(path)], capture_output=True,
                               text=True, check=False).stderr
    width, height = re.search(r"Video: .*?, (\d+)x(\d+)", described).groups()
    return count, (int(height), int(width))


@pytest.mark.parametrize("shape, window_us, expected_frames, expected_size", [
    (SHAPE, 100, 8, SHAPE),
    ((47, 63), 250, 4, (48, 64)),
])
def test_one_frame_per_window_at_the_frames_size(tmp_path, shape, window_us, expected_frames, expected_size):
    extra("imageio", "video")
    events = make_events(500, 1, width=shape[1], height=shape[0])  # time stamps 100 .. 899
    path = tmp_path / "events.mp4"
    assert video.write_video(events, path, window_us=window_us, shape=shape) == expected_frames
    assert frames_in(path) == (expected_frames, expected_size)


def test_windows_given_as_frames_cuts_them(tmp_path):
    extra("imageio", "video")
    events = make_events(500, 2, width=SHAPE[1], height=SHAPE[0])
    path = tmp_path / "windows.mp4"
    assert video.write_video(frames.windows(events, count=100), path, fps=10, shape=SHAPE) == 5
    assert frames_in(path) == (5, SHAPE)


def test_without_the_extra_the_error_names_it(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "imageio", None)
    monkeypatch.setitem(sys.modules, "imageio.v2", None)
    with pytest.raises(ImportError, match=r"velmo-python\[video\]"):
        video.write_video(make_events(10, 3), tmp_path / "x.mp4", shape=SHAPE)

