"""The viewer's page in Debian's headless Chromium, driven through chromedriver by Selenium:
what a user sees and does, checked against the camera itself."""

import json
import re
import time
from pathlib import Path

import pytest
import velmo.io
import velmo.sim
from extras import extra

webdriver = extra("selenium.webdriver", "view")
extra("aiohttp", "view")

from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.wait import WebDriverWait  # noqa: E402
from velmo import view  # noqa: E402

SERIAL = "VLM636-000102"
CHROMIUM = Path("/usr/bin/chromium")
CHROMEDRIVER = Path("/usr/bin/chromedriver")


@pytest.fixture(scope="module")
def downloads(tmp_path_factory):
    return tmp_path_factory.mktemp("downloads")


@pytest.fixture(scope="module")
def browser(downloads):
    if not CHROMEDRIVER.exists():
        pytest.fail("the browser tests need Debian's chromium and chromium-driver (make test installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = str(CHROMIUM)
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1600,1100"):
        options.add_argument(argument)
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    driver = webdriver.Chrome(service=Service(str(CHROMEDRIVER)), options=options)
    yield driver
    driver.quit()


@pytest.fixture(scope="module")
def camera():
    opened = velmo.sim.open_camera(SERIAL)
    yield opened
    opened.close()


@pytest.fixture(scope="module")
def record_dir(tmp_path_factory):
    return tmp_path_factory.mktemp("recordings")


@pytest.fixture(scope="module")
def page(browser, camera, record_dir):
    with view.serve(camera, record_dir=record_dir) as server:
        browser.get(server.url)
        wait_for(browser, lambda: frames_drawn(browser) > 0, "no picture was drawn")
        yield browser


def wait_for(browser, condition, message, timeout=10):
    return WebDriverWait(browser, timeout).until(lambda _: condition(), message)


def frames_drawn(browser):
    return int(browser.find_element(By.ID, "picture").get_attribute("data-frames") or 0)


def control(browser, tool, name, selector):
    return browser.find_element(By.CSS_SELECTOR, f"#p-{tool}-{name} {selector}")


def test_the_page_shows_pictures_the_rate_and_one_panel_per_tool(page, camera):
    drawn = frames_drawn(page)
    time.sleep(1.0)
    assert frames_drawn(page) - drawn >= 20
    assert re.fullmatch(r"\d+\.\d\d Mev/s|\d+\.\d kev/s", page.find_element(By.ID, "rate").text)
    assert page.find_element(By.ID, "dropped-slices").text.isdigit()
    panels = [panel.get_attribute("id") for panel in page.find_elements(By.CSS_SELECTOR, "#tools fieldset")]
    assert panels == [f"tool-{tool.get_tool_info().tool_type.name}" for tool in camera.tools()]
    assert [key.text for key in page.find_elements(By.CSS_SELECTOR, "#key span")] == ["none", "ON", "OFF", "both"]


def test_a_switch_and_a_slider_change_the_tool_and_show_the_value_read_back(page, camera):
    page.find_element(By.CSS_SELECTOR, "#p-TRIGGER_IN-enable label.switch").click()
    wait_for(page, lambda: camera.tool("TRIGGER_IN").get_param("enable") == (True, True), "the switch set nothing")
    wait_for(page, lambda: control(page, "TRIGGER_IN", "enable", "input").is_selected(), "the switch shows off")
    before = camera.tool("BIAS").get_param("bias_fo")[1]
    slider = control(page, "BIAS", "bias_fo", "input.slider")
    slider.send_keys(Keys.RIGHT, Keys.RIGHT, Keys.RIGHT)
    wait_for(page, lambda: camera.tool("BIAS").get_param("bias_fo")[1] == before + 3, "the slider set nothing")
    wait_for(page, lambda: control(page, "BIAS", "bias_fo", "input.box").get_attribute("value") == str(before + 3),
             "the box does not show the value read back")


def test_an_out_of_range_value_shows_the_refusal_and_changes_nothing(page, camera):
    before = camera.settings()
    box = control(page, "BIAS", "bias_diff_on", "input.box")
    box.clear()
    box.send_keys("500", Keys.TAB)
    reason = control(page, "BIAS", "bias_diff_on", ".reason")
    wait_for(page, lambda: reason.text, "no refusal shown")
    assert reason.text == "refused: 500 is outside [-85, 140]"
    assert camera.settings() == before
    assert box.get_attribute("value") == str(before["BIAS"]["bias_diff_on"])


def test_settings_saved_and_loaded_all_or_nothing(page, camera, downloads, tmp_path):
    camera.apply_settings({"BIAS": {"bias_hpf": 15}, "ROI": {"mode": "RONI"}})
    page.find_element(By.ID, "save").click()
    saved = downloads / "velmo-settings.json"
    wait_for(page, saved.exists, "nothing was downloaded")
    assert json.loads(saved.read_text()) == camera.settings()
    camera.apply_settings({"BIAS": {"bias_hpf": 60}, "ROI": {"mode": "ROI"}})
    page.find_element(By.ID, "load").send_keys(str(saved))
    wait_for(page, lambda: camera.settings()["BIAS"]["bias_hpf"] == 15, "loading set nothing")
    wait_for(page, lambda: control(page, "ROI", "mode", "select").get_attribute("value") == "RONI",
             "the list does not show the loaded value")

    wrong = tmp_path / "wrong.json"
    wrong.write_text(json.dumps({"BIAS": {"bias_hpf": 30, "bias_fo": 999}}))
    page.find_element(By.ID, "load").send_keys(str(wrong))
    status = page.find_element(By.ID, "settings-status")
    wait_for(page, lambda: "Refused" in status.text, "no refusal shown")
    assert "BIAS.bias_fo: 999 is outside [-35, 55]" in status.text
    assert camera.settings()["BIAS"]["bias_hpf"] == 15


def test_a_recording_started_and_stopped_on_the_page_opens(page, record_dir):
    button = page.find_element(By.ID, "record")
    button.click()
    status = page.find_element(By.ID, "record-status")
    wait_for(page, lambda: re.search(r"\.vrec: [1-9]\d*\.\d s, [\d.]+ [kM]B", status.text), "no recording shown")
    button.click()
    wait_for(page, lambda: status.text.startswith("saved velmo-"), "the recording did not stop")
    [path] = record_dir.iterdir()
    assert status.text == f"saved {path.name}"
    with velmo.io.open_recording(path) as recording:
        assert not recording.truncated and recording.duration_us >= 1_000_000
        assert len(recording.read(100_000)[0]) > 0


def test_without_the_token_the_page_and_its_websocket_are_refused(browser):
    with view.serve("VLM636-000101", host="0.0.0.0") as server:
        browser.get(f"http://127.0.0.1:{server.port}/")
        assert "needs its token" in browser.find_element(By.TAG_NAME, "body").text
        opened = browser.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const socket = new WebSocket(`ws://${location.host}/ws`);
            socket.onopen = () => done("open");
            socket.onerror = () => done("refused");
        """)
        assert opened == "refused"
        browser.get(f"http://127.0.0.1:{server.port}/?token={server.token}")
        wait_for(browser, lambda: frames_drawn(browser) > 0, "no picture with the token")
