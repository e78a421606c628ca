"""The web page's adapter part against the virtual adapter: the site and the
serial bridge on 127.0.0.1, the test-only navigator.serial injected before
the page loads, the virtual adapter started per case. Shared by the browser
tests and the flash benchmark."""
import json
import os
import signal
import subprocess
import tempfile
import time

import webpage
from selenium.common.exceptions import TimeoutException
from serial_bridge import SiteServer

SIM_EXE = os.environ.get("PELAGO_SIM_EXE", "")
FAKE_SERIAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_serial.js")
SIM_START_S = 10
ACTION_S = 120  # the longest action: a full firmware update over the serial link
POLL_S = 0.02
LINE_FREE_S = 10  # for the page's line to be let go before the console opens the port

# Resolves once no action runs: Connect is enabled and the editor usable.
WAIT_IDLE = """
const done = arguments[arguments.length - 1];
// A page reloaded mid-action may not have its controls yet.
const idle = () => {
  const connect = document.getElementById('connect');
  const editor = document.querySelector('#editor .toolbar');
  return !!connect && !!editor && !connect.disabled && !editor.inert;
};
if (idle()) return done(performance.now());
const watch = new MutationObserver(() => { if (idle()) { watch.disconnect(); done(performance.now()); } });
watch.observe(document.documentElement,
              {attributes: true, childList: true, subtree: true, attributeFilter: ['disabled', 'inert']});
"""

# Ports as navigator.serial's getInfo() describes them.
ADAPTER_USB = {"usbVendorId": 0x2341, "usbProductId": 0x8036}
FTDI_CONVERTER = {"usbVendorId": 0x0403, "usbProductId": 0x6001}
PLAIN_SERIAL = {}


class VirtualAdapter:
    """adapter-sim on a pseudo-terminal, with its flash kept in `state` (read
    once it has stopped; a fresh adapter's unless given) and every command it
    received in `log`."""

    def __init__(self, work, *options, state=None):
        self.work = work
        self.state = state or os.path.join(work, "adapter.state")
        self.log = os.path.join(work, "adapter.log")
        self.report = None
        port_file = os.path.join(work, "adapter.port")
        for stale in (port_file, self.log) + (() if state else (self.state,)):
            if os.path.exists(stale):
                os.remove(stale)
        self.proc = subprocess.Popen([SIM_EXE, "--port-file", port_file, "--state", self.state,
                                      "--log", self.log, *options],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + SIM_START_S
        while not (os.path.exists(port_file) and os.path.getsize(port_file)):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                self.stop()
                raise RuntimeError("the virtual adapter did not start")
            time.sleep(POLL_S)
        with open(port_file) as f:
            self.pty = f.read().strip()

    def stop(self):
        """Stops the adapter (it saves its state) and returns its report."""
        if self.report is not None:
            return self.report
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            _, err = self.proc.communicate(timeout=SIM_START_S)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
        self.report = err.decode(errors="replace")
        return self.report

    def flash(self):
        with open(self.state, "rb") as f:
            return f.read()

    def commands(self):
        with open(self.log, "rb") as f:
            return f.read().decode(errors="replace")


_servers = []  # the bridges of the pages open now


class AdapterPage:
    """One browser of `engine` on the page opened as `opening` says (served,
    or PelagoXcon.html from disk), its navigator.serial the bridge's."""

    def __init__(self, engine=None, opening=webpage.SERVED):
        webpage.require_site()
        self.server = SiteServer(webpage.SITE_DIR).start()
        _servers.append(self.server)
        self.browser = webpage.Browser(engine)
        self.driver = self.browser.driver
        self.opening = opening
        self.url = webpage.page_url(opening, self.server)
        if opening == webpage.FROM_DISK:
            # The page connects to nothing; the test's port is a WebSocket.
            self.browser.bypass_policy()
        self.script = None
        self.work = tempfile.mkdtemp(prefix="pelago-adapter-")

    def close(self):
        try:
            self.browser.close()
        finally:
            _servers.remove(self.server)
            self.server.stop()
            webpage.shutil.rmtree(self.work, ignore_errors=True)

    def load(self, port_info, **browser):
        """Loads the page with a port described by `port_info` to pick;
        `browser` as fake_serial.js takes it (no_storage, fail_close, hang_close, old_tab)."""
        if self.script:
            self.browser.unload(self.script)
        bridge = self.server.url.split("//", 1)[1].rstrip("/")
        with open(FAKE_SERIAL) as f:
            config = {"info": dict(port_info), "bridge": bridge, **browser}
            source = f"window.__fakeSerialConfig = {json.dumps(config)};\n" + f.read()
        self.script = self.browser.preload(source)
        self.driver.get(self.url)
        self.browser.wait(lambda: self.status() == webpage.READY_STATUS, "the page did not get ready")

    def named(self, name):
        return self.browser.by_label(name)

    def text(self, name):
        if name == "Log":  # inside "Details", which stays closed
            return self.driver.execute_script("return document.getElementById('log').textContent.trim()")
        return self.browser.by_name(name).text

    def status(self):
        return self.text("Status")

    def log_lines(self):
        """The Log's lines since the last command line."""
        lines = self.text("Log").split("\n")
        starts = [i for i, line in enumerate(lines) if line.startswith("$ PelagoXcon ")]
        return [line for line in lines[starts[-1] + 1:] if line] if starts else []

    def act(self, button, link="Automatic", timeout=ACTION_S, during=None):
        """Clicks `button` and waits until the page is idle again, calling
        `during` once right after the click; the seconds it took. The page's
        own clock when it was idle again is kept in `idle_at` (ms)."""
        if link:  # none to choose behind a dialog
            self.driver.find_element(webpage.By.ID, "link").send_keys(link)
        start = time.monotonic()
        self.named(button).click()
        if during:
            during()
        # One call that returns when the page is idle: polling from here
        # would take the page's main thread 50 times a second, which a
        # busy machine can least spare.
        self.driver.set_script_timeout(timeout)
        try:
            self.idle_at = self.driver.execute_async_script(WAIT_IDLE)
        except TimeoutException:
            raise AssertionError(f"{button} did not end within {timeout} s") from None
        return time.monotonic() - start

    def choose_file(self, label, path):
        self.named(label).send_keys(path)

    def screenshot(self, name):
        """The whole page as `name` in the engine's screenshot directory."""
        self.browser.screenshot(f"{self.opening}-{name}")

    def serial_log(self):
        return self.driver.execute_script("return window.__fakeSerialLog")


def cli(adapter, *args, env=None):
    """The console tool on the same virtual adapter, once no page holds a
    line to it: (status, output with stderr merged as a terminal shows it)."""
    for server in _servers:
        if not server.wait_lines_closed(LINE_FREE_S):
            raise AssertionError(f"the page still holds the port after {LINE_FREE_S} s")
    run = subprocess.run([webpage.PELAGO_EXE, "-p", adapter.pty, *args], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=ACTION_S, env=env)
    return run.returncode, run.stdout.decode(errors="replace")
