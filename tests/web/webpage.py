"""Shared by the browser tests: the built site served on 127.0.0.1 or the
one-file page opened from disk, one browser of an engine (Chromium and
WebKit through Selenium, Firefox over WebDriver BiDi) behind one interface,
controls found by accessible name, and downloads caught in a temporary
directory."""
import asyncio
import base64
import contextlib
import functools
import gzip
import http.server
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

SITE_DIR = os.environ.get("PELAGO_SITE_DIR", "")
# The one-file page, built beside the site.
PAGE_FILE = os.path.join(os.path.dirname(SITE_DIR.rstrip("/")), "PelagoXcon.html")
PELAGO_EXE = os.environ.get("PELAGO_EXE", "")
SAMPLES_DIR = os.environ.get("PELAGO_SAMPLES_DIR", "")
SCREENSHOT_DIR = os.environ.get("PELAGO_SCREENSHOT_DIR", "")
WAIT_SECONDS = 20
# The Status once every control has its handler; "Loading…" until then.
READY_STATUS = "Open a settings file to list its lenses."
# CTest counts this exit status as a skip.
SKIP_EXIT_STATUS = 77
# How a case opens the page: the site from the test server, or PelagoXcon.html
# from a file: URL.
SERVED, FROM_DISK = "served", "file"
# The engines the running test file drives (its ctest entry sets one).
ENGINE = os.environ.get("PELAGO_ENGINE", "chromium")


def _missing(reason):
    """Skips the calling test module for `reason`, unless CI asks for
    everything: there it is a failure."""
    if os.environ.get("CI") == "true":
        raise RuntimeError(reason)
    raise unittest.SkipTest(reason)


def require_site():
    """Skips the calling test module when the site or the one-file page is
    not built (fails under CI=true)."""
    for path in (os.path.join(SITE_DIR, "index.html"), PAGE_FILE):
        if not os.path.isfile(path):
            _missing(f"{path} is not built (cmake --preset wasm && cmake --build --preset wasm)")


def require_engine(engine):
    """Skips the calling test module when `engine`'s browser or driver is
    not installed (fails under CI=true)."""
    for path in ENGINE_PROGRAMS[engine]:
        if not os.access(path, os.X_OK):
            _missing(f"{engine}: {path} is not installed (scripts/test installs it)")


def main():
    """Runs the calling file's tests in ENGINE; without a built site or the
    engine's browser, exits with the skip status and the reason (a failure
    under CI=true instead)."""
    try:
        require_site()
        require_engine(ENGINE)
    except unittest.SkipTest as reason:
        print(f"skipped: {reason}")
        sys.exit(SKIP_EXIT_STATUS)
    unittest.main(module="__main__", verbosity=2)


def opened(*openings):
    """Marks a case to run in these openings (those of them the engine's
    variants offer; the first variant's when none is) instead of the first
    variant's alone: a case runs in one opening unless it is about them."""
    def mark(case):
        case.openings = openings
        return case
    return mark


def engine_cases(base, namespace, openings):
    """One subclass of the abstract case class `base` per way of opening
    the page in ENGINE, named after both (EditorPageFirefoxFile); `base`
    itself is removed from `namespace` so that only the variants run. Each
    case runs in the first of `openings` unless marked `opened`."""
    for opening in openings:
        hidden = {}
        for attribute in dir(base):
            case = getattr(base, attribute)
            if not attribute.startswith("test") or not callable(case):
                continue
            wanted = [o for o in getattr(case, "openings", ()) if o in openings] or [openings[0]]
            if opening not in wanted:
                hidden[attribute] = None  # not callable: unittest passes it over
        name = f"{base.__name__}{ENGINE.capitalize()}{opening.capitalize()}"
        namespace[name] = type(name, (base,), {"engine": ENGINE, "opening": opening, **hidden})
    namespace.pop(base.__name__, None)


def page_url(opening, site):
    """Where a case opens the page: the served site, or the one file on disk."""
    return site.url if opening == SERVED else "file://" + os.path.abspath(PAGE_FILE)


class _SiteHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".wasm": "application/wasm", ".js": "text/javascript",
                      ".svg": "image/svg+xml"}

    def log_message(self, *args):
        pass


class _PrettyUrlHandler(_SiteHandler):
    """A host with "pretty URLs": /index.html is sent on to / (308)."""

    def do_GET(self):
        if self.path.split("?")[0] != "/index.html":
            return super().do_GET()
        self.send_response(308)
        self.send_header("Location", "/")
        self.end_headers()


class _GzipHandler(_SiteHandler):
    """A host that sends each file gzip-compressed."""

    def do_GET(self):
        path = self.translate_path(self.path)
        path = os.path.join(path, "index.html") if os.path.isdir(path) else path
        with open(path, "rb") as f:
            body = gzip.compress(f.read())
        self.send_response(200)
        self.send_header("Content-Type", self.guess_type(path))
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", len(body))
        self.end_headers()
        self.wfile.write(body)


class Site:
    """The site served from a free port on 127.0.0.1 in a thread, by a
    plain host, one with pretty URLs, or one that compresses."""

    def __init__(self, directory, host="plain"):
        host = {"plain": _SiteHandler, "pretty URLs": _PrettyUrlHandler, "gzip": _GzipHandler}[host]
        handler = functools.partial(host, directory=directory)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class _Browser:
    """What every engine offers the tests: self.driver (Selenium's, or one
    that answers as it does), downloads in self.downloads, screenshots kept
    per engine."""
    engine = ""
    partial_suffix = ""

    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix=f"pelago-{self.engine}-")
        self.downloads = tempfile.mkdtemp(prefix="pelago-downloads-")
        try:
            self._start()
        except BaseException:
            shutil.rmtree(self.profile, ignore_errors=True)
            shutil.rmtree(self.downloads, ignore_errors=True)
            raise

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)
            shutil.rmtree(self.downloads, ignore_errors=True)

    def wait(self, condition, message):
        return WebDriverWait(self.driver, WAIT_SECONDS).until(lambda d: condition(), message)

    def by_name(self, name, tag="*"):
        """The one element whose computed accessible name is `name`: those
        labelled so are asked first, so a table being rebuilt elsewhere (which
        WebKit reports as a stale query) does not stand in the way."""
        labelled = f"//{tag}[@aria-label={_xpath_literal(name)}]"
        queries = ((By.XPATH, labelled), (By.CSS_SELECTOR, tag))
        for element in (e for query in queries for e in self.driver.find_elements(*query)):
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
        # A button whose text is `name` but whose label says more ("Connect"
        # beside "Connect the adapter") is not the one.
        found = [e for e in self.driver.find_elements(By.XPATH, xpath) if self._named(e, name)]
        if len(found) != 1:
            raise AssertionError(f"{len(found)} controls named {name!r}")
        return found[0]

    def _named(self, element, name):
        return element.accessible_name == name

    def errors(self):
        """The console's errors since the last call (a blocked script or
        module under the page's policy shows here)."""
        return []

    def preload(self, source):
        """Runs `source` in every page loaded from now on, before the page's
        own scripts; returns a handle for unload()."""
        raise unittest.SkipTest(f"{self.engine} runs no script before the page's own here")

    def unload(self, handle):
        pass

    def set_viewport(self, width=None, height=None):
        """Lays the page out width × height CSS pixels, as a phone shows it;
        without them, as the window does."""
        self.driver.set_window_rect(0, 0, width or 1280, height or 1000)

    def screenshot(self, name):
        """The page as `name` in this engine's screenshot directory, when one is set."""
        if SCREENSHOT_DIR:
            directory = os.path.join(SCREENSHOT_DIR, self.engine)
            os.makedirs(directory, exist_ok=True)
            self.driver.save_screenshot(os.path.join(directory, name))

    def clear_downloads(self):
        for entry in os.listdir(self.downloads):
            os.remove(os.path.join(self.downloads, entry))

    def downloaded(self, name):
        """The bytes of downloads/name, once the browser has finished it."""
        path = os.path.join(self.downloads, name)
        deadline = time.monotonic() + WAIT_SECONDS
        seen = None
        while time.monotonic() < deadline:
            partial = [e for e in os.listdir(self.downloads) if e.endswith(self.partial_suffix)]
            if os.path.exists(path) and not partial:
                # WebKit makes the file before it writes it: a download is
                # never empty here, and done once its size holds still.
                size = os.path.getsize(path)
                if size and size == seen:
                    with open(path, "rb") as f:
                        return f.read()
                seen = size
            time.sleep(0.05)
        raise AssertionError(f"{name} was not downloaded whole (have {os.listdir(self.downloads)})")


class ChromiumBrowser(_Browser):
    """Headless Chromium through chromedriver."""
    engine = "chromium"
    partial_suffix = ".crdownload"

    def _start(self):
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

    def errors(self):
        return [e["message"] for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]

    def preload(self, source):
        return self.driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument",
                                           {"source": source})["identifier"]

    def unload(self, handle):
        self.driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument",
                                    {"identifier": handle})

    def set_viewport(self, width=None, height=None):
        if width:
            self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": width, "height": height, "deviceScaleFactor": 1, "mobile": True})
        else:
            self.driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def bypass_policy(self):
        """Lifts the page's Content-Security-Policy, for a test's WebSocket."""
        self.driver.execute_cdp_cmd("Page.setBypassCSP", {"enabled": True})

    def screenshot(self, name):
        """The whole page, not only what the window shows."""
        if SCREENSHOT_DIR:
            directory = os.path.join(SCREENSHOT_DIR, self.engine)
            os.makedirs(directory, exist_ok=True)
            shot = self.driver.execute_cdp_cmd("Page.captureScreenshot",
                                               {"format": "png", "captureBeyondViewport": True})
            with open(os.path.join(directory, name), "wb") as f:
                f.write(base64.b64decode(shot["data"]))


class WebKitBrowser(_Browser):
    """WebKitGTK's MiniBrowser through WebKitWebDriver; needs a display
    (the test runs under xvfb-run)."""
    engine = "webkit"
    partial_suffix = ".wkdownload"

    def _start(self):
        from selenium.webdriver.webkitgtk.options import Options
        options = Options()
        options.binary_location = WEBKIT_BROWSER
        options.add_argument("--automation")
        # MiniBrowser saves downloads in the user's download directory, which
        # GLib reads from XDG_CONFIG_HOME; the browser inherits the driver's
        # environment, so the profile stands in for the user's directories.
        config = os.path.join(self.profile, "config")
        os.makedirs(config)
        with open(os.path.join(config, "user-dirs.dirs"), "w") as f:
            f.write(f'XDG_DOWNLOAD_DIR="{self.downloads}"\n')
        directories = {"XDG_CONFIG_HOME": config,
                       "XDG_DATA_HOME": os.path.join(self.profile, "data"),
                       "XDG_CACHE_HOME": os.path.join(self.profile, "cache")}
        for directory in directories.values():
            os.makedirs(directory, exist_ok=True)
        saved = {key: os.environ.get(key) for key in directories}
        os.environ.update(directories)
        try:
            self.driver = webdriver.WebKitGTK(executable_path=WEBKIT_DRIVER, options=options)
            self.driver.set_window_rect(0, 0, 1280, 1000)
        finally:
            for key, value in saved.items():
                if value is None:
                    os.environ.pop(key, None)
                else:
                    os.environ[key] = value

    def _named(self, element, name):
        # WebKit names a file field by its label and then its own button's text.
        found = element.accessible_name
        return found == name or (element.get_attribute("type") == "file" and
                                 found.startswith(name + " "))


class FirefoxBrowser(_Browser):
    """Headless Firefox over WebDriver BiDi; downloads go straight to
    self.downloads by the profile's preferences."""
    engine = "firefox"
    partial_suffix = ".part"

    def _start(self):
        prefs = {"browser.download.dir": self.downloads, "browser.download.folderList": 2,
                 "browser.download.useDownloadDir": True,
                 "browser.download.always_ask_before_handling_new_types": False,
                 "browser.download.start_downloads_in_tmp_dir": False,
                 "browser.download.alwaysOpenPanel": False,
                 "browser.shell.checkDefaultBrowser": False,
                 "datareporting.policy.dataSubmissionEnabled": False,
                 # A headless window never has the system's focus; without
                 # this a Tab moves nowhere and a field never sees `change`.
                 "focusmanager.testmode": True,
                 # ...and a Tab out of a page's last field leaves it with
                 # the browser's bar, from where window.focus() takes it back.
                 "dom.disable_window_flip": False}
        with open(os.path.join(self.profile, "user.js"), "w") as f:
            for key, value in prefs.items():
                f.write(f"user_pref({json.dumps(key)}, {json.dumps(value)});\n")
        self.log = open(os.path.join(self.profile, "firefox.log"), "w+")
        self.process = subprocess.Popen(
            [FIREFOX, "--headless", "--no-remote", "--profile", self.profile,
             "--remote-debugging-port", "0", "--window-size", "1280,1000", "about:blank"],
            stdout=self.log, stderr=subprocess.STDOUT)
        try:
            self.driver = _BidiDriver(self._endpoint(), self.downloads)
        except BaseException:
            self._stop()
            raise

    def _endpoint(self):
        """The WebSocket Firefox says it listens on, once it says so."""
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            self.log.seek(0)
            found = re.search(r"WebDriver BiDi listening on (ws://\S+)", self.log.read())
            if found:
                return found.group(1) + "/session"
            if self.process.poll() is not None:
                break
            time.sleep(0.05)
        raise RuntimeError(f"Firefox did not offer WebDriver BiDi: {self.log.read()[-2000:]}")

    def _stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(WAIT_SECONDS)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()

    def close(self):
        try:
            self.driver.quit()
        finally:
            self._stop()
            shutil.rmtree(self.profile, ignore_errors=True)
            shutil.rmtree(self.downloads, ignore_errors=True)

    def errors(self):
        return self.driver.take_errors()

    def preload(self, source):
        return self.driver.command("script.addPreloadScript", {
            "functionDeclaration": "() => {\n" + source + "\n}"})["script"]

    def unload(self, handle):
        self.driver.command("script.removePreloadScript", {"script": handle})

    def set_viewport(self, width=None, height=None):
        """For the page loaded now: each load opens a new tab."""
        self.driver.command("browsingContext.setViewport", {
            "context": self.driver.context, "viewport": {"width": width, "height": height} if width else None})


class BidiError(WebDriverException):
    pass


class _BidiDriver:
    """The part of Selenium's driver the tests use, over one WebDriver BiDi
    session: navigation, elements, scripts, input and screenshots."""
    COMMAND_S = 60

    def __init__(self, url, downloads):
        import websockets
        self.loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self.loop)  # the client library looks it up
        self.socket = self.loop.run_until_complete(
            asyncio.wait_for(websockets.connect(url, max_size=None), WAIT_SECONDS))
        self.next_id = 0
        self.logged_errors = []
        self.command("session.new", {"capabilities": {"alwaysMatch": {"acceptInsecureCerts": False}}})
        self.command("session.subscribe", {"events": ["log.entryAdded"]})
        self.context = None


    def command(self, method, params):
        """The result of one BiDi command; a BidiError when it fails."""
        return self.loop.run_until_complete(
            asyncio.wait_for(self._exchange(method, params), self.COMMAND_S))

    async def _exchange(self, method, params):
        self.next_id += 1
        await self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(await self.socket.recv())
            if message.get("id") == self.next_id:
                if message.get("type") == "error":
                    raise BidiError(f"{method}: {message.get('error')}: {message.get('message')}")
                return message["result"]
            if message.get("method") == "log.entryAdded" and message["params"].get("level") == "error":
                self.logged_errors.append(message["params"].get("text", ""))

    def take_errors(self):
        errors, self.logged_errors = self.logged_errors, []
        return errors

    def quit(self):
        try:
            self.command("session.end", {})
        except (WebDriverException, OSError, asyncio.TimeoutError):
            pass
        finally:
            self.loop.run_until_complete(self.socket.close())
            self.loop.close()

    def get(self, url):
        """Loads `url` in a new tab in front. Only a new tab is sure to have
        the window's focus (the first never gets it, and a Tab out of a
        page's last field leaves it with the browser's bar); without it a
        Tab moves nowhere and a field never sees `change`."""
        old = self.context or self.command("browsingContext.getTree", {})["contexts"][0]["context"]
        self.context = self.command("browsingContext.create", {"type": "tab"})["context"]
        self.command("browsingContext.close", {"context": old})
        self.command("browsingContext.navigate", {"context": self.context, "url": url, "wait": "complete"})

    def reload(self):
        """Reloads the page and returns once the new one has loaded; the
        session accepts the page's question before it is left."""
        self.command("browsingContext.reload", {"context": self.context, "wait": "complete"})

    refresh = reload  # Selenium's name

    def call(self, function, this=None, *args):
        """The value of the JavaScript `function` called on `this` with `args`."""
        params = {"functionDeclaration": function, "awaitPromise": True,
                  "target": {"context": self.context},
                  "arguments": [self._argument(a) for a in args],
                  "serializationOptions": {"maxDomDepth": 0}}
        if this is not None:
            params["this"] = self._argument(this)
        result = self.command("script.callFunction", params)
        if result["type"] == "exception":
            raise BidiError(result["exceptionDetails"]["text"])
        return self._value(result["result"])

    def execute_script(self, source, *args):
        return self.call("function() {\n" + source + "\n}", None, *args)

    def set_script_timeout(self, seconds):
        self.script_timeout = seconds

    def execute_async_script(self, source, *args):
        """Selenium's asynchronous script: `source` ends by calling its last
        argument with the result, within the script timeout."""
        wrapper = ("function(...args) { return new Promise((done) => {\n"
                   "(function() {\n" + source + "\n}).apply(this, [...args, done]); }); }")
        bound = self.COMMAND_S
        self.COMMAND_S = max(bound, getattr(self, "script_timeout", 0))
        try:
            return self.call(wrapper, None, *args)
        except asyncio.TimeoutError:
            raise TimeoutException("the script did not finish in time") from None
        finally:
            self.COMMAND_S = bound

    def find_elements(self, by, value):
        locator = {"xpath": {"type": "xpath", "value": value},
                   "css selector": {"type": "css", "value": value},
                   "id": {"type": "css", "value": f"#{value}"}}[by]
        found = self.command("browsingContext.locateNodes", {
            "context": self.context, "locator": locator,
            "serializationOptions": {"maxDomDepth": 0}})
        return [self._value(node) for node in found["nodes"]]

    def find_element(self, by, value):
        found = self.find_elements(by, value)
        if not found:
            raise AssertionError(f"no element {by} {value!r}")
        return found[0]

    def save_screenshot(self, path):
        shot = self.command("browsingContext.captureScreenshot",
                            {"context": self.context, "origin": "document"})
        with open(path, "wb") as f:
            f.write(base64.b64decode(shot["data"]))

    def perform(self, *sources):
        self.command("input.performActions", {"context": self.context, "actions": list(sources)})
        self.command("input.releaseActions", {"context": self.context})

    def _argument(self, value):
        if isinstance(value, _BidiElement):
            return {"sharedId": value.shared_id}
        if value is None:
            return {"type": "null"}
        if isinstance(value, bool):
            return {"type": "boolean", "value": value}
        if isinstance(value, (int, float)):
            return {"type": "number", "value": value}
        return {"type": "string", "value": str(value)}

    def _value(self, remote):
        kind = remote["type"]
        if kind == "node":
            return _BidiElement(self, remote["sharedId"])
        if kind in ("array", "set", "nodelist", "htmlcollection"):
            return [self._value(v) for v in remote.get("value", [])]
        if kind == "object":
            return {k if isinstance(k, str) else self._value(k): self._value(v)
                    for k, v in remote.get("value", [])}
        if kind in ("undefined", "null"):
            return None
        if kind == "number" and isinstance(remote["value"], str):
            return float(remote["value"])  # NaN, Infinity, -0
        return remote.get("value")


# The accessible name as the page's controls get it: aria-labelledby,
# aria-label, the label a field sits in, or a button's text.
_ACCESSIBLE_NAME = """function() {
  const text = (node) => (node.textContent || '').replace(/\\s+/g, ' ').trim();
  const by = this.getAttribute('aria-labelledby');
  if (by) return by.split(/\\s+/).map((id) => text(document.getElementById(id) || {})).join(' ');
  if (this.hasAttribute('aria-label')) return this.getAttribute('aria-label').trim();
  if (this.labels && this.labels.length) return text(this.labels[0]);
  if (this.matches('button, [role=button], a, h1, h2, h3, option')) return text(this);
  return '';
}"""


class _BidiElement:
    """An element of the page, answering as Selenium's WebElement does."""

    def __init__(self, driver, shared_id):
        self.driver = driver
        self.shared_id = shared_id

    def _call(self, function, *args):
        return self.driver.call(function, self, *args)

    def __eq__(self, other):
        return isinstance(other, _BidiElement) and other.shared_id == self.shared_id

    @property
    def text(self):
        return self._call("function() { return this.innerText.replace(/^\\s+|\\s+$/g, ''); }")

    @property
    def accessible_name(self):
        return self._call(_ACCESSIBLE_NAME)

    def get_attribute(self, name):
        return self._call("""function(name) {
          if (name === 'value') return this.value;
          if (typeof this[name] === 'boolean') return this[name] ? 'true' : null;
          return this.getAttribute(name);
        }""", name)

    def is_enabled(self):
        return self._call("function() { return !this.disabled; }")

    def is_displayed(self):
        return self._call("function() { return this.checkVisibility(); }")

    def find_elements(self, by, value):
        selector = {By.CSS_SELECTOR: value, By.TAG_NAME: value, By.ID: f"#{value}"}[by]
        return self._call("function(s) { return [...this.querySelectorAll(s)]; }", selector)

    def find_element(self, by, value):
        return self.find_elements(by, value)[0]

    def click(self):
        """Clicks the element and returns once the page has handled the
        click (its handlers and what they queued at once): Firefox answers
        the actions before its page has seen them. Fails when the press
        landed on another element (the page moved under the pointer) or
        never reached the page at all."""
        self._call("""function(bound) {
          this.scrollIntoView({block: 'center'});
          window.__pelagoMissed = null;
          if (window.__pelagoPress) window.__pelagoPress.abort();  // an earlier click's press never came
          window.__pelagoPress = new AbortController();
          const listen = (kind, handler) => window.addEventListener(
            kind, handler, {capture: true, once: true, signal: window.__pelagoPress.signal});
          listen('pointerdown', (event) => {
            if (!this.contains(event.target)) {
              const t = event.target;
              window.__pelagoMissed = t.id ? '#' + t.id : t.tagName.toLowerCase();
            }
          });
          window.__pelagoClicked = new Promise((resolve) => {
            listen('click', () => setTimeout(resolve, 0));
            // A disabled button gets the press but no click: the click would
            // have been dispatched before the second turn.
            listen('pointerup', () => setTimeout(() => setTimeout(resolve, 0), 0));
            setTimeout(() => resolve('never'), bound);
          });
        }""", PRESS_ARRIVES_MS)
        origin = {"type": "element", "element": {"sharedId": self.shared_id}}
        self.driver.perform({"type": "pointer", "id": "mouse", "actions": [
            {"type": "pointerMove", "x": 0, "y": 0, "origin": origin},
            {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0}]})
        missed = self.driver.execute_script(  # none on a page the click went on to
            "return window.__pelagoClicked && window.__pelagoClicked.then((never) =>"
            " never ? 'nothing: the press never reached the page' : window.__pelagoMissed);")
        if missed:
            raise AssertionError(f"the click meant for {self.accessible_name!r} landed on {missed}")

    def send_keys(self, *keys):
        """A file input gets the file `keys` names; anything else is typed
        into, the modifiers (Keys.CONTROL...) held until Keys.NULL."""
        if self._call("function() { return this.tagName === 'SELECT'; }"):
            # Typed into, a select's type-ahead differs by browser (a space
            # opens Firefox's list): the option named is chosen, as a user would.
            chosen = self._call("""function(text) {
              const option = [...this.options].find((o) => o.text === text);
              if (!option) return false;
              if (!option.selected) {
                this.value = option.value;
                this.dispatchEvent(new Event('input', {bubbles: true}));
                this.dispatchEvent(new Event('change', {bubbles: true}));
              }
              return true;
            }""", "".join(keys))
            assert chosen, f"no option {''.join(keys)!r}"
            return
        if self._call("function() { return this.type === 'file'; }"):
            self.driver.command("input.setFiles", {
                "context": self.driver.context, "element": {"sharedId": self.shared_id},
                "files": ["".join(keys)]})
            return
        self._call("function() { window.focus(); this.scrollIntoView({block: 'center'}); this.focus(); }")
        actions, held = [], []
        for key in "".join(keys):
            if key == Keys.NULL:
                actions += [{"type": "keyUp", "value": k} for k in reversed(held)]
                held = []
            elif key in _MODIFIERS:
                actions.append({"type": "keyDown", "value": key})
                held.append(key)
            else:
                actions += [{"type": "keyDown", "value": key}, {"type": "keyUp", "value": key}]
        actions += [{"type": "keyUp", "value": k} for k in reversed(held)]
        self.driver.perform({"type": "key", "id": "keyboard", "actions": actions})


_MODIFIERS = {Keys.CONTROL, Keys.SHIFT, Keys.ALT, Keys.META}
# A busy machine may deliver a press late; one that never comes is a fault.
PRESS_ARRIVES_MS = 30000
FIREFOX = "/usr/bin/firefox-esr"
WEBKIT_DRIVER = "/usr/bin/WebKitWebDriver"
WEBKIT_BROWSER = next((p for p in ("/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser",
                                   "/usr/lib/aarch64-linux-gnu/webkit2gtk-4.1/MiniBrowser")
                       if os.path.exists(p)), "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser")
ENGINE_PROGRAMS = {"chromium": ("/usr/bin/chromium", "/usr/bin/chromedriver"),
                   "firefox": (FIREFOX,),
                   "webkit": (WEBKIT_DRIVER, WEBKIT_BROWSER, "/usr/bin/xvfb-run")}
BROWSERS = {"chromium": ChromiumBrowser, "firefox": FirefoxBrowser, "webkit": WebKitBrowser}


def Browser(engine=None):
    """A new browser of `engine` (ENGINE when not given)."""
    return BROWSERS[engine or ENGINE]()


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
