"""`velmo render`: a recording to an MP4 video from the command line."""

import pytest
import velmo.io
import velmo.sim

from extras import extra
from test_video import frames_in
from velmo import cli


def test_render_command_writes_a_recording_as_video(tmp_path):
    extra("imageio", "video")
    recording, out = tmp_path / "in.vrec", tmp_path / "out.mp4"
    assert cli.main(["record", str(recording), "--duration", "0.1"]) == 0
    assert cli.main(["render", str(recording), str(out), "--fps", "25", "--window-us", "20000"]) == 0
    assert frames_in(out) == (5, (720, 1280))
    assert velmo.io.open_recording(recording).duration_us == 100_000
    with pytest.raises(SystemExit) as stopped:
        cli.main(["render", str(recording), str(out)])
    assert stopped.value.code == 1
