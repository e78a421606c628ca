"""Shared by the browser tests: the built site served on 127.0.0.1, one
headless Chromium driven by Selenium, controls found by accessible name, and
downloads caught in a temporary directory."""
import functools
import http.server
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

SITE_DIR = os.environ.get("PELAGO_SITE_DIR", "")
PELAGO_EXE = os.environ.get("PELAGO_EXE", "")
SAMPLES_DIR = os.environ.get("PELAGO_SAMPLES_DIR", "")
SCREENSHOT_DIR = os.environ.get("PELAGO_SCREENSHOT_DIR", "")
WAIT_SECONDS = 20
# The Status once every control has its handler; "Loading…" until then.
READY_STATUS = "Open a settings file to list its lenses."
# CTest counts this exit status as a skip.
SKIP_EXIT_STATUS = 77


def require_site():
    """Skips the calling test module when the site is not built, unless CI
    asks for it: there a missing site is a failure."""
    if os.path.isfile(os.path.join(SITE_DIR, "index.html")):
        return
    index = os.path.join(SITE_DIR, "index.html") if SITE_DIR else "PELAGO_SITE_DIR/index.html"
    reason = f"{index} does not exist: the web site is not built (cmake --preset wasm && cmake --build --preset wasm)"
    if os.environ.get("CI") == "true":
        raise RuntimeError(reason)
    raise unittest.SkipTest(reason)


def main():
    """Runs the calling file's tests; without a built site, exits with the
    skip status and the reason (require_site fails under CI=true instead)."""
    try:
        require_site()
    except unittest.SkipTest as reason:
        print(f"skipped: {reason}")
        sys.exit(SKIP_EXIT_STATUS)
    unittest.main(module="__main__", verbosity=2)


class _SiteHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".wasm": "application/wasm", ".js": "text/javascript",
                      ".svg": "image/svg+xml"}

    def log_message(self, *args):
        pass


class Site:
    """The site served from a free port on 127.0.0.1 in a thread."""

    def __init__(self, directory):
        handler = functools.partial(_SiteHandler, directory=directory)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Browser:
    """One headless Chromium; downloads land in self.downloads."""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="pelago-chromium-")
        self.downloads = tempfile.mkdtemp(prefix="pelago-downloads-")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1280,1000",
                     f"--user-data-dir={self.profile}"):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        service = Service(executable_path="/usr/bin/chromedriver")
        self.driver = webdriver.Chrome(options=options, service=service)
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": self.downloads})

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)
            shutil.rmtree(self.downloads, ignore_errors=True)

    def wait(self, condition, message):
        return WebDriverWait(self.driver, WAIT_SECONDS).until(lambda d: condition(), message)

    def by_name(self, name, tag="*"):
        """The one element whose computed accessible name is `name`."""
        for element in self.driver.find_elements(By.CSS_SELECTOR, tag):
            try:
                if element.accessible_name == name:
                    return element
            except WebDriverException:
                continue
        raise AssertionError(f"no element named {name!r}")

    def by_label(self, name):
        """A control labelled `name` (label text or aria-label), found by XPath
        as a screen reader's name would find it; its accessible name is checked."""
        xpath = (f"//*[@aria-label={_xpath_literal(name)}]"
                 f" | //label[normalize-space(.)={_xpath_literal(name)}]//input"
                 f" | //button[normalize-space(.)={_xpath_literal(name)}]")
        found = self.driver.find_elements(By.XPATH, xpath)
        if len(found) != 1:
            raise AssertionError(f"{len(found)} controls named {name!r}")
        assert found[0].accessible_name == name, (found[0].accessible_name, name)
        return found[0]

    def errors(self):
        """The console's errors since the last call (a blocked script or
        module under the page's policy shows here)."""
        return [e["message"] for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]

    def clear_downloads(self):
        for entry in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, entry))

    def downloaded(self, name):
        """The bytes of downloads/name, once the browser has finished it."""
        path = os.path.join(self.downloads, name)
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            partial = [e for e in os.listdir(self.downloads) if e.endswith(".crdownload")]
            if os.path.exists(path) and not partial:
                with open(path, "rb") as f:
                    return f.read()
            time.sleep(0.05)
        raise AssertionError(f"{name} was not downloaded (have {os.listdir(self.downloads)})")


def _xpath_literal(text):
    if "'" not in text:
        return f"'{text}'"
    return '"' + text + '"'


def cli_tuned(settings, answers):
    """The file `PelagoXcon -l` leaves when fed `answers` (lines) then "y"."""
    with tempfile.TemporaryDirectory(prefix="pelago-cli-") as work:
        path = os.path.join(work, "settings.dat")
        with open(path, "wb") as f:
            f.write(settings)
        feed = "".join(line + "\n" for line in answers) + "y\n"
        subprocess.run([PELAGO_EXE, "-l", path], input=feed.encode(), capture_output=True,
                       timeout=30, check=False)
        with open(path, "rb") as f:
            return f.read()
