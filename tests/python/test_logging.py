"""The device library's log lines routed into Python's logging, with native threads about."""

import logging
import threading

import velmo_hal_py as hal
import velmo_sim
import velmo_testing


class Clock(hal.CameraTool):
    def __init__(self):
        super().__init__("")

    def getToolInfo(self):
        info = hal.ToolInfo()
        info.description = "clock"
        return info

    def getAllParamInfo(self):
        return {}

    def getParamInfo(self, name, record):
        return False


def test_refused_writes_of_a_writer_thread_reach_logging_while_native_threads_call_a_python_tool(
        camera, caplog, capfd):
    roi = camera.tool(hal.ROI)
    clock = Clock()  # native code finds the Python methods only while the object lives
    holder = velmo_testing.NativeHolder(clock)
    refused_writes = 300

    def writer():
        for value in range(-refused_writes, 0):
            assert roi.set_param("x", value) is False

    velmo_sim.log_to_python()
    try:
        with caplog.at_level(logging.DEBUG, logger="velmo"):
            thread = threading.Thread(target=writer)
            thread.start()
            answered = holder.call_from_threads(4, 2000)
            thread.join()
            records = list(caplog.records)
    finally:
        velmo_sim.log_to_python(False)

    assert answered == 4 * 2000
    velmo_lines = [record for record in records if record.name == "velmo"]
    assert len(velmo_lines) == refused_writes
    assert {record.levelno for record in velmo_lines} == {logging.WARNING}
    assert all("x" in record.getMessage() for record in velmo_lines)
    assert capfd.readouterr().err == ""
    roi.set_param("x", -1)
    assert "[WARNING]" in capfd.readouterr().err
