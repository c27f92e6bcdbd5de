"""`corvalind serve` as a real process on 127.0.0.1: real HTTP requests, a
clean stop on Ctrl-C, and the preview page in a headless browser."""

from __future__ import annotations

import contextlib
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

pytest.importorskip("uvicorn", reason="the serve extra is not installed")

from test_serve import TITLES, write_catalogue


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def get(url: str) -> tuple[int, dict]:
    try:
        with urllib.request.urlopen(url, timeout=10) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as error:
        return error.code, json.load(error)


@contextlib.contextmanager
def serving(directory: Path, *options: str):
    """Runs `corvalind serve` on a free port until /health answers, yields
    (base URL, process, path of its log), then stops it with SIGINT and
    checks that it ended cleanly."""
    path, titles_path = write_catalogue(directory, TITLES)
    port = free_port()
    log_path = directory / f"serve-{port}.log"
    command = [sys.executable, "-m", "corvalind", "serve", str(path), "--port", str(port), "--titles", str(titles_path)]
    with open(log_path, "wb") as log:
        process = subprocess.Popen([*command, *options], stdout=log, stderr=subprocess.STDOUT)
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 60
        while True:
            assert process.poll() is None, f"the server ended early:\n{log_path.read_text()}"
            assert time.monotonic() < deadline, f"the server did not start:\n{log_path.read_text()}"
            with contextlib.suppress(OSError):
                if get(f"{base}/health")[0] == 200:
                    break
            time.sleep(0.1)
        yield base, process, log_path
        process.send_signal(signal.SIGINT)
        process.wait(timeout=20)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    output = log_path.read_text()
    assert "Traceback" not in output, output
    assert process.returncode == 0, output


@pytest.mark.parametrize("workers", [1, 2])
def test_real_server_answers_http_and_stops_on_ctrl_c(tmp_path, workers):
    with serving(tmp_path, "--workers", str(workers)) as (base, _, log_path):
        query = urllib.parse.urlencode({"q": "sockt progamming", "explain": "1"})
        pids = set()
        for _ in range(20):  # keep-alive-less requests, spread over the workers by the kernel
            status, body = get(f"{base}/search?{query}")
            assert status == 200 and body["results"][0]["video_id"] == "101"
            pids.add(get(f"{base}/health")[1]["pid"])
        status, body = get(f"{base}/search?q=socket&limit=100000")
        assert status == 400 and body["bound"] == "limit"
        with urllib.request.urlopen(f"{base}/", timeout=10) as page:
            assert b'id="q"' in page.read()
    log = log_path.read_text()
    assert f'"GET /search?{query}" 200 ' in log and " ms\n" in log
    assert len(pids) <= workers


def test_serve_refuses_a_damaged_file_without_serving(tmp_path):
    path = tmp_path / "damaged.cvd"
    path.write_bytes(b"\0" * 30)
    done = subprocess.run(
        [sys.executable, "-m", "corvalind", "serve", str(path), "--port", str(free_port())],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 1
    assert done.stderr.startswith(f"corvalind: error: {path}: ") and done.stderr.count("\n") == 1


def browser_driver(tmp_path):
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.chrome.service import Service

    chromium, chromedriver = shutil.which("chromium"), shutil.which("chromedriver")
    if chromium is None or chromedriver is None:
        pytest.skip("Debian's chromium and chromium-driver are not installed (scripts/test.sh installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1000,900"):
        options.add_argument(argument)
    # The sanitizer run preloads its runtime into every child; not into the browser.
    environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    service = Service(executable_path=chromedriver, env=environment, log_output=str(tmp_path / "chromedriver.log"))
    return webdriver.Chrome(options=options, service=service)


def test_the_page_finds_a_misspelt_video_as_one_types(tmp_path):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    driver = browser_driver(tmp_path)
    try:
        with serving(tmp_path) as (base, _, _):
            driver.get(f"{base}/")
            box = driver.find_element(By.ID, "q")
            for letter in "progamming sockt":
                box.send_keys(letter)
            wait = WebDriverWait(driver, 20)

            def first_result(driver):
                items = driver.find_elements(By.CSS_SELECTOR, "li.result")
                return (
                    items and driver.find_element(By.ID, "status").text.startswith(f"{len(items)} result") and items[0]
                )

            first = wait.until(first_result)
            assert first.get_attribute("data-video-id") == "101"
            assert first.find_element(By.CLASS_NAME, "title").text == TITLES["101"]
            assert float(first.find_element(By.CLASS_NAME, "score").text) > 0
            words = driver.find_element(By.ID, "words").text
            assert "progamming" in words and "programming (1)" in words and "socket (1)" in words
            assert " ms" in driver.find_element(By.ID, "status").text
            assert "terms" in driver.find_element(By.ID, "catalogue").text
            driver.save_screenshot(str(tmp_path / "preview.png"))

            # A title is shown as text, never as markup.
            box.clear()
            box.send_keys("robot")
            wait.until(
                lambda driver: driver.find_element(By.CSS_SELECTOR, "li.result").get_attribute("data-video-id") == "104"
            )
            assert driver.find_element(By.CSS_SELECTOR, "li.result .title").text == TITLES["104"]

            # A refused query shows the server's reason.
            box.clear()
            box.send_keys("a" * 201)
            wait.until(lambda driver: "at most 200" in driver.find_element(By.ID, "status").text)
            assert driver.find_elements(By.CSS_SELECTOR, "li.result") == []
    finally:
        driver.quit()
