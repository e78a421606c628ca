"""The web page's adapter part against the virtual adapter, through the test
bridge, in Chromium (served and as PelagoXcon.html from disk) and in Firefox
(served): connect over both links, firmware update,
settings read, tune, write with its backup, refusals and faults ending in
the failure line, reset, and a port the browser cannot open."""
import os
import re
import subprocess
import unittest

import editor_test
import webpage
from adapter_rig import (ACTION_S, ADAPTER_USB, FTDI_CONVERTER, PLAIN_SERIAL, SIM_EXE, AdapterPage,
                         VirtualAdapter, cli)
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.expected_conditions import alert_is_present

APP_AREA = (0x1000, 0x1F000)
SETTINGS_AREA = (0x1F000, 0x20000)
BACKUP_NAME = re.compile(r"^QE012345-\d{8}-\d{6}Z(-\d+)?\.dat$")
OPEN_REFUSED = ("The port could not be opened: close any other program or browser tab that uses it; "
                "on Linux your user needs the port's group (see the README); on Windows check the "
                "port's driver in Device Manager")
TIMING = re.compile(r"done in +[0-9.]+ seconds")
FIRMWARE_WAY_BACK = ("The adapter's firmware is erased or partly written; write it again with: "
                     "press \"Install firmware anyway\"")
NO_FIRMWARE = ("The adapter has no firmware (an interrupted update?); install /firmware/app.fw anyway with: "
               "press \"Install firmware anyway\"")
CONNECTED_NO_FIRMWARE = ("The adapter has no firmware (an interrupted update?); install FILE anyway with: "
                         "choose it as \"Firmware file\", then press \"Install firmware anyway\"")
SETTINGS_WAY_BACK = re.compile(r"^The adapter's settings are erased or partly written; restore them with: "
                               r"press \"Write (QE012345-\S+\.dat) to adapter\"$")
DOWNLOADED_WAY_BACK = re.compile(r"^The adapter's settings are erased or partly written; restore them with: "
                                 r"open the downloaded backup (\S+) with \"Open settings file\", "
                                 r"then press \"Write settings to adapter\"$")
NO_VALID_SETTINGS = re.compile(r"^The adapter's settings area holds no valid settings \(an interrupted write\?\); "
                               r"restore the newest backup of this adapter with: "
                               r"press \"Write (QE012345-\S+\.dat) to adapter\"$")
PORT_HELD = "This page still holds the port; reload the page to free it."
NO_STORAGE = "This browser keeps no backups here; each backup is offered as a download instead."
BLOCKED = "Close the other tabs of this page to reach its backups."
SUPERSEDED = "A newer copy of this page was opened; reload this tab to go on."
# Stores backups as the page's first version did: no index, no time stored.
STORE_OF_VERSION_1 = """
const [names, bytes, done] = arguments;
const gone = indexedDB.deleteDatabase('pelagoxcon');
gone.onerror = () => done(String(gone.error));
gone.onsuccess = () => {
  const open = indexedDB.open('pelagoxcon', 1);
  open.onupgradeneeded = () => open.result.createObjectStore('backups', {keyPath: 'name'});
  open.onerror = () => done(String(open.error));
  open.onsuccess = () => {
    const tx = open.result.transaction('backups', 'readwrite');
    for (const name of names.split(' ')) tx.objectStore('backups').put({name, bytes: new Uint8Array(bytes)});
    tx.oncomplete = () => { open.result.close(); done('stored'); };
  };
};"""
# A newer copy of the page opening the store; then a fresh start for the next cases.
NEWER_COPY_OPENS = """
const [done, open] = [arguments[0], indexedDB.open('pelagoxcon', 3)];
open.onblocked = () => done('blocked');
open.onsuccess = () => { open.result.close(); indexedDB.deleteDatabase('pelagoxcon').onsuccess = () => done('opened'); };"""
# Another tab's backup, stored behind the page's back.
STORE_AS_ANOTHER_TAB = """
const [name, done] = arguments;
const open = indexedDB.open('pelagoxcon');
open.onsuccess = () => {
  const tx = open.result.transaction('backups', 'readwrite');
  tx.objectStore('backups').add({name, bytes: new Uint8Array(4096), stored: 0});
  tx.oncomplete = () => { open.result.close(); done('stored'); };
  tx.onerror = () => done(String(tx.error));
};"""


def area(flash, span):
    return flash[span[0]:span[1]]


def firmware(work, name, *options):
    """A firmware file for the virtual adapter; returns (path, plain image)."""
    plain = os.path.join(work, name + ".bin")
    with open(plain, "wb") as f:
        f.write(os.urandom(APP_AREA[1] - APP_AREA[0] - 0x1000))
    path = os.path.join(work, name)
    subprocess.run([SIM_EXE, "mkfw", *options, plain, path],
                   check=True, capture_output=True, timeout=30)
    with open(plain, "rb") as f:
        return path, f.read()


class AdapterPart(unittest.TestCase):
    engine = opening = None  # set by each variant, below

    @classmethod
    def setUpClass(cls):
        cls.page = AdapterPage(cls.engine, cls.opening)

    @classmethod
    def tearDownClass(cls):
        cls.page.close()

    def setUp(self):
        self.work = os.path.join(self.page.work, self.id().rsplit(".", 1)[-1])
        os.makedirs(self.work, exist_ok=True)
        self.adapter = None
        self.page.browser.clear_downloads()

    def tearDown(self):
        if self.adapter:
            self.adapter.stop()
        self.page.server.refuse_open = False

    def start(self, *options, state=None):
        if self.adapter:
            self.adapter.stop()
        self.adapter = VirtualAdapter(self.work, *options, state=state)
        self.page.server.pty_path = self.adapter.pty
        return self.adapter

    def connect(self, info=ADAPTER_USB, link="Automatic"):
        self.page.load(info)
        self.page.act("Connect", link)
        self.assertEqual(self.page.status(), "Done", self.page.text("Log"))

    def answer(self, button):
        """Presses `button` in the open dialog and waits until it is closed."""
        dialog = webpage.WebDriverWait(self.page.driver, ACTION_S).until(
            lambda d: next(iter(d.find_elements(webpage.By.CSS_SELECTOR, "dialog[open]")), None))
        text = dialog.text
        buttons = dialog.find_elements(webpage.By.CSS_SELECTOR, "button")
        next(b for b in buttons if b.text == button).click()
        self.page.browser.wait(lambda: not self.page.driver.find_elements(webpage.By.CSS_SELECTOR, "dialog[open]"),
                               "the dialog stayed open")
        return text

    def progress(self):
        """The progress bar, also while it is hidden (before and after an action)."""
        return self.page.driver.find_element(webpage.By.ID, "progress")

    def answer_write(self, button="Write"):
        """The lines the question before a write lists, answered with `button`."""
        lines = [item.text for item in self.page.driver.find_elements(
            webpage.By.CSS_SELECTOR, "#write-settings-list li")]
        self.answer(button)
        return lines

    def write(self, during=None):
        """Writes the editor's settings, answering "Write" to the question first."""
        def answered():
            self.answer("Write")
            if during:
                during()
        self.page.act("Write settings to adapter", during=answered)

    def reload_at(self, percent):
        """Reloads the page once the running transfer is at `percent`, as a
        user closing the tab would, and waits for the new page."""
        driver = self.page.driver
        def reached():
            done = re.match(r"Updating .* (\d+)%$", self.progress().get_attribute("aria-valuetext"))
            return done and int(done.group(1)) >= percent

        try:
            webpage.WebDriverWait(driver, ACTION_S, poll_frequency=0.05).until(lambda d: reached())
        except TimeoutException:  # most often the transfer failed before: say how
            raise AssertionError(f"the writing never reached {percent}%; the page says {self.page.status()!r}:\n"
                                 f"{self.page.text('Log')}") from None
        # The page asks before it is left mid-action. A BiDi session (Firefox)
        # accepts that question itself and waits for the new page: a script's
        # reload leaves it a moment with no document to look at. The old
        # page is marked, so that its controls never pass for the new one's.
        # Its scroll position is not carried over: Firefox puts it back after
        # the load, and a control scrolled to meanwhile moved from under the
        # click aimed at it.
        driver.execute_script("window.__leaving = true; history.scrollRestoration = 'manual'")
        if hasattr(driver, "switch_to"):
            driver.execute_script("location.reload()")
            try:
                webpage.WebDriverWait(driver, 3).until(alert_is_present()).accept()
            except TimeoutException:
                pass
        else:
            driver.reload()

        def loaded():
            try:
                return driver.execute_script(
                    "const connect = document.getElementById('connect');"
                    " return !window.__leaving && !!connect && !connect.disabled")
            except WebDriverException:  # between the two documents
                return False
        self.page.browser.wait(loaded, "the page did not load again")
        # A user clicks what has been painted, so a frame is waited for too:
        # beside a CPU hog, Firefox once lost a click made right after a reload.
        driver.execute_script(
            "return new Promise((shown) => requestAnimationFrame(() => requestAnimationFrame(() => shown(true))))")

    def assert_port_released(self):
        log = self.page.serial_log()
        self.assertEqual(log["closes"], len(log["opens"]), "every open port was closed again")
        self.assertEqual(self.page.server.open_lines, 0)

    def test_connect_shows_the_identity_over_each_link(self):
        usb, serial = [921600], [115200]
        cases = [  # port, Link choice, adapter link, rates the page opened with
            (ADAPTER_USB, "Automatic", "usb", usb),
            (PLAIN_SERIAL, "Automatic", "serial", serial),
            (FTDI_CONVERTER, "Automatic", "serial", serial),
            (ADAPTER_USB, "Serial (115200)", "serial", serial),
            (PLAIN_SERIAL, "USB", "serial", usb + serial),
        ]
        for info, link, sim_link, bauds in cases:
            with self.subTest(info=info, link=link):
                self.start("--link", sim_link)
                self.page.server.bauds.clear()
                self.connect(info, link)
                self.assertEqual(self.page.server.bauds, bauds)
                status, console = cli(self.adapter, "-i")
                self.assertEqual(status, 0, console)
                shown = self.page.text("Adapter identity").split("\n")
                self.assertEqual(len(shown), 7)
                self.assertIn("Adapter SN: QE012345 , PCB Ver: 0x0102", shown)
                for line in shown:
                    self.assertIn(line, console.splitlines())
                # The Log holds what the console printed, the port's name aside.
                self.assertEqual([TIMING.sub("", line) for line in self.page.log_lines()],
                                 [TIMING.sub("", line) for line in console.splitlines() if line])
                self.assert_port_released()

    @webpage.opened(webpage.FROM_DISK)
    def test_firmware_update_writes_verifies_and_resets(self):
        path, plain = firmware(self.work, "app.fw")
        for info, sim_link in ((ADAPTER_USB, "usb"), (PLAIN_SERIAL, "serial")):  # raw blocks, XMODEM
            with self.subTest(link=sim_link):
                self.start("--link", sim_link)
                self.connect(info)
                self.page.choose_file("Firmware file", path)
                busy = {}

                def while_writing():
                    busy["enabled"] = [b for b in ("Connect", "Disconnect", "Restart adapter",
                                                   "Update firmware", "Read settings from adapter",
                                                   "Write settings to adapter")
                                       if self.page.named(b).is_enabled()]
                    busy["editor waits"] = self.page.driver.execute_script(
                        "return document.querySelector('#editor .toolbar').inert"
                        " && !document.getElementById('status').closest('[inert]')")
                    busy["leaving asks"] = self.page.driver.execute_script(
                        "const e = new Event('beforeunload', {cancelable: true});"
                        " window.dispatchEvent(e); return e.defaultPrevented;")

                self.page.act("Update firmware", during=while_writing)
                self.assertEqual(busy, {"enabled": [], "editor waits": True, "leaving asks": True})
                self.assertEqual(self.page.status(), "Done", self.page.text("Log"))
                # The line starts with a tab, which engines render apart.
                self.assertIn("Firmware update OK", [line.strip() for line in self.page.log_lines()])
                self.assertEqual(self.progress().get_attribute("aria-valuenow"), "100")
                self.adapter.stop()
                self.assertEqual(area(self.adapter.flash(), APP_AREA)[:len(plain)], plain)
                self.assert_port_released()

    def test_read_tune_write_keeps_backups_and_matches_the_console(self):
        self.start()
        self.connect()
        self.page.act("Read settings from adapter")
        self.assertEqual(self.page.status(), "Done", self.page.text("Log"))
        self.assertEqual(len(self.page.driver.find_elements(webpage.By.CSS_SELECTOR, "#lenses tbody tr")), 4)
        self.page.named("Lens 2 All range").send_keys(Keys.CONTROL, "a", Keys.NULL, Keys.BACKSPACE,
                                                       "-9", Keys.TAB)
        read_name = self.backups()[0]
        opens = len(self.page.serial_log()["opens"])
        listed = []
        self.page.act("Write settings to adapter", during=lambda: listed.append(self.answer_write("Cancel")))
        self.assertEqual(len(self.page.serial_log()["opens"]), opens, "Cancel opened the port")
        self.page.act("Write settings to adapter", during=lambda: listed.append(self.answer_write()))
        self.assertEqual(listed, [["Lens 2 (24-70mm) \u00b7 All range: -5 \u2192 -9"]] * 2)
        self.assertFalse(self.page.driver.find_element(webpage.By.ID, "changes").is_displayed(),
                         "a completed write left changes unsaved")
        log = self.page.log_lines()
        self.assertEqual(self.page.status(), "Done", "\n".join(log))
        self.assertIn("Adapter setting verified", log)
        backed_up = [line for line in log if line.startswith("Adapter setting backed up to /backups/")]
        self.assertEqual(len(backed_up), 1)
        backup = os.path.basename(backed_up[0])
        self.assertRegex(backup, BACKUP_NAME)
        self.assertEqual(len(self.page.browser.downloaded(backup)), 4096)
        self.page.screenshot("adapter.png")
        self.page.named("Download settings file").click()
        tuned = self.page.browser.downloaded(read_name)
        self.adapter.stop()
        written = area(self.adapter.flash(), SETTINGS_AREA)

        # The console's -u of the same file on an adapter as it was.
        file = os.path.join(self.work, "tuned.dat")
        with open(file, "wb") as f:
            f.write(tuned)
        console = VirtualAdapter(os.path.join(self.work), state=os.path.join(self.work, "fresh.state"))
        try:
            status, out = cli(console, "-u", file, env={**os.environ, "PELAGOXCON_NO_BACKUP": "1"})
            self.assertEqual(status, 0, out)
        finally:
            console.stop()
        self.assertEqual(written, tuned, "web wrote the download")
        self.assertEqual(written, area(console.flash(), SETTINGS_AREA))

        # Both kept, and still there after a reload.
        self.page.load(ADAPTER_USB)
        self.assertLessEqual({read_name, backup}, set(self.backups()))
        self.assert_port_released()

    def backups(self):
        """The listed backups' names, newest first; each has its three buttons."""
        items = self.page.browser.by_name("Backups", "ul").find_elements(webpage.By.TAG_NAME, "li")
        names = [item.find_element(webpage.By.TAG_NAME, "span").text for item in items]
        for item, name in zip(items, names):
            self.assertEqual([b.accessible_name for b in item.find_elements(webpage.By.TAG_NAME, "button")],
                             [f"Download {name}", f"Write {name} to adapter", f"Delete {name}"])
        return names

    def test_refusals_and_faults_end_in_the_failure_line(self):
        bad_sig, _ = firmware(self.work, "bad.fw", "--sig", "XXXX")
        other_pcb, _ = firmware(self.work, "pcb.fw", "--pcb", "0x0301")
        good, _ = firmware(self.work, "good.fw")
        blank = os.path.join(self.work, "blank.dat")
        with open(blank, "wb") as f:
            f.write(b"\xff" * 4096)
        long = os.path.join(self.work, "long.dat")  # a settings file and more: never saved
        with open(os.path.join(webpage.SAMPLES_DIR, "lenses.dat"), "rb") as sample, open(long, "wb") as f:
            f.write(sample.read() + b"\xa5" * 6000)
        cases = [  # adapter options, button, its file, failure line, erases
            ((), "Update firmware", bad_sig, None, False),
            ((), "Update firmware", other_pcb, None, False),
            ((), "Write settings to adapter", blank,
             "/settings/blank.dat is not an adapter setting file, abort", False),
            ((), "Write settings to adapter", long,
             "long.dat is larger than an adapter setting file; it was not changed", False),
            (("--hangup-after", "40"), "Update firmware", good, FIRMWARE_WAY_BACK, True),
            # A write that failed its verification left the area as written: the backup restores it.
            (("--corrupt-write", "3"), "Write settings to adapter", None,
             re.compile(r"The adapter's settings are erased or partly written; restore them with: "
                        r'press "Write QE012345-\d{8}-\d{6}Z\.dat to adapter"'), True),
            (("--stray-byte", "w:900"), "Read settings from adapter", None, "SAM-BA operation failed", False),
        ]
        for options, button, file, failure, erases in cases:
            with self.subTest(options=options, button=button, file=file):
                self.start(*options)
                self.connect()
                if button == "Update firmware":
                    self.page.choose_file("Firmware file", file)
                elif file:
                    self.page.choose_file("Open settings file", file)
                elif button == "Write settings to adapter":
                    self.page.act("Read settings from adapter")
                asked = button == "Write settings to adapter" and not file  # refused files are not asked about
                self.page.act(button, during=(lambda: self.answer("Write")) if asked else None)
                status, log = self.page.status(), self.page.log_lines()
                self.assertNotEqual(status, "Done")
                if isinstance(failure, re.Pattern):
                    self.assertRegex(status, failure, "\n".join(log))
                elif failure:
                    self.assertEqual(status, failure, "\n".join(log))
                    self.page.screenshot("adapter-failed.png")
                else:  # the console's own refusal, from the same file
                    _, console = cli(self.adapter, "-f", file)
                    self.assertIn(status.replace("/firmware/", self.work + "/"), console.splitlines())
                self.assertEqual("\nX" in "\n" + self.adapter.commands(), erases)
                self.assert_port_released()

    @webpage.opened(webpage.FROM_DISK)
    def test_a_backup_the_browser_cannot_keep_stops_the_write(self):
        self.start()
        self.connect()
        self.page.act("Read settings from adapter")
        self.page.driver.execute_script(
            "IDBObjectStore.prototype.add = function () {"
            " throw new DOMException('The quota has been exceeded.', 'QuotaExceededError'); };")
        self.write()
        self.assertRegex(self.page.status(),
                         r"^Failed to back up adapter setting to /backups/QE012345-\d{8}-\d{6}Z\.dat, abort$")
        self.assertNotIn("\nX", "\n" + self.adapter.commands())

    def test_ways_back_after_an_interrupted_update_or_write(self):
        path, plain = firmware(self.work, "app.fw")
        fresh = VirtualAdapter(os.path.join(self.page.work))
        fresh.stop()
        settings = area(fresh.flash(), SETTINGS_AREA)
        cases = [  # button, adapter options, reload at this percent (else the link drops)
            ("Update firmware", ("--hangup-after", "30"), None),
            ("Update firmware", ("--delay", "1"), 40),
            ("Write settings to adapter", ("--hangup-after", "1"), None),
            ("Write settings to adapter", ("--hangup-after", "63"), None),
            ("Write settings to adapter", ("--delay", "8"), 50),
        ]
        for button, options, percent in cases:
            with self.subTest(button=button, options=options):
                self.start(*options)
                self.connect()
                firmware_update = button == "Update firmware"
                if firmware_update:
                    self.page.choose_file("Firmware file", path)
                else:
                    self.page.act("Read settings from adapter")
                if firmware_update:
                    self.page.act(button, during=(lambda: self.reload_at(percent)) if percent else None)
                else:
                    self.write(during=(lambda: self.reload_at(percent)) if percent else None)
                if not percent:  # the way back is named at once; the adapter comes back
                    way_back = self.page.status()
                    self.start(state=self.adapter.state)
                    self.page.load(ADAPTER_USB)
                    self.page.act("Connect")
                    self.assertEqual(self.page.status(), CONNECTED_NO_FIRMWARE if firmware_update else "Done",
                                     self.page.text("Log"))
                    self.page.choose_file("Firmware file", path)
                elif firmware_update:  # the next update is refused and names the way back
                    self.page.act("Connect")
                    self.page.choose_file("Firmware file", path)
                    self.page.act("Update firmware")
                    way_back = self.page.status()
                    self.assertEqual(way_back, NO_FIRMWARE, self.page.text("Log"))
                else:  # the next read finds the area broken and names the backup
                    self.page.act("Connect")
                    self.page.act("Read settings from adapter")
                    way_back = self.page.status()
                if firmware_update:
                    self.assertIn(way_back, (FIRMWARE_WAY_BACK, NO_FIRMWARE))
                    self.page.act("Install firmware anyway")
                else:
                    match = (NO_VALID_SETTINGS if percent else SETTINGS_WAY_BACK).match(way_back)
                    self.assertTrue(match, f"the page says {way_back!r}:\n{self.page.text('Log')}")
                    if percent:
                        rows = self.page.browser.by_name("Backups", "ul").find_elements(
                            webpage.By.CSS_SELECTOR, "li")
                        row = next(r for r in rows if match.group(1) in r.text)
                        self.assertIn("newest backup of this adapter", row.text)
                        self.page.screenshot("adapter-way-back.png")
                    asked = {}
                    self.page.act(f"Write {match.group(1)} to adapter",
                                  during=lambda: asked.update(text=self.answer("Write to adapter")))
                    self.assertRegex(asked["text"], r"It is this adapter's backup of \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\. "
                                                    r"Its lenses: \d+(-\d+)?mm")
                self.assertEqual(self.page.status(), "Done", self.page.text("Log"))
                self.adapter.stop()
                if firmware_update:
                    self.assertEqual(area(self.adapter.flash(), APP_AREA)[:len(plain)], plain)
                else:
                    self.assertEqual(area(self.adapter.flash(), SETTINGS_AREA), settings)

    @webpage.opened(webpage.FROM_DISK)
    def test_backups_ask_first_and_never_overwrite(self):
        self.start()
        other, older = "QE999999-20260101-120000.dat", "QEZZZZZZ-20250101-120000.dat"
        self.page.load(ADAPTER_USB)
        # The page's origin without the page: for a page from disk, any file
        # (every file: URL shares one store).
        if self.opening == webpage.FROM_DISK:
            blank = os.path.join(self.page.work, "blank.html")
            with open(blank, "w") as f:
                f.write("<!DOCTYPE html><title>blank</title>")
            self.page.driver.get("file://" + blank)
        else:
            self.page.driver.get(self.page.server.url + "icon.svg")
        with open(os.path.join(webpage.SAMPLES_DIR, "lenses.dat"), "rb") as f:
            self.assertEqual(self.page.driver.execute_async_script(STORE_OF_VERSION_1, f"{older} {other}", list(f.read())),
                             "stored")
        # A tab of that version still holds it: the page waits, says so, and lists it once that tab is gone.
        self.page.load(ADAPTER_USB, old_tab=True)
        self.assertIn(BLOCKED, self.page.browser.by_name("Adapter maintenance", "section").text)
        self.page.driver.execute_script("window.__oldTab.close()")
        self.page.browser.wait(lambda: self.backups() == [other, older], "the upgraded store lost or misordered them")
        self.page.act("Connect")
        self.assertEqual(self.page.status(), "Done", self.page.text("Log"))
        self.page.named(f"Delete {other}").click()
        self.assertIn(f"Delete {other}", self.answer("Cancel"))
        self.page.act(f"Write {other} to adapter", during=lambda: self.assertIn(
            "This backup is of another adapter, QE999999", self.answer("Cancel")))
        self.assertNotIn("\nX", "\n" + self.adapter.commands())

        # Two tabs backing up in the same second: the second takes the next free name.
        self.page.driver.execute_script("const now = Date.now(); Date.now = () => now;")
        self.page.act("Read settings from adapter")
        read = self.backups()[0]
        taken = read.replace(".dat", "-1.dat")
        self.assertEqual(self.page.driver.execute_async_script(STORE_AS_ANOTHER_TAB, taken), "stored")
        self.write()
        stored = read.replace(".dat", "-2.dat")
        self.assertIn(f"Adapter setting backed up to /backups/{stored}", self.page.log_lines())
        self.assertEqual(len(self.page.browser.downloaded(stored)), 4096)
        self.assertLessEqual({read, taken, stored, other}, set(self.backups()))

        self.page.act(f"Delete {stored}", during=lambda: self.answer("Delete"))
        self.page.load(ADAPTER_USB)
        self.assertEqual(set(self.backups()), {read, taken, other, older})
        # Adapters without a readable serial number share one SERIAL: a backup of one is no other's newest.
        self.start("--serial", "")
        self.page.act("Connect")
        self.page.act("Read settings from adapter")
        self.start("--blank", "--serial", "")
        self.page.act("Read settings from adapter")
        self.assertRegex(self.page.status(), r"^The adapter's settings area is blank; restore a setting file saved")
        self.page.act(f"Write {self.backups()[1]} to adapter", during=lambda: self.assertIn(
            "without a readable serial number, which may be another one", self.answer("Cancel")))
        self.assertEqual(self.page.driver.execute_async_script(NEWER_COPY_OPENS), "opened")
        self.assertEqual(self.page.status(), SUPERSEDED)

    def test_a_browser_that_keeps_no_backups_offers_each_as_a_download(self):
        cases = [(("Cancel",), ()), (("Download backup", "It has, continue"), ())]
        if self.opening == webpage.SERVED:  # nothing is erased before the answer; a lost link names the download
            cases += [(("Download backup", "Cancel"), ()), (("Download backup", "It has, continue"), ("--hangup-after", "1"))]
        for answers, options in cases:
            with self.subTest(answers=answers, options=options):
                self.start(*options)
                self.page.load(ADAPTER_USB, no_storage=True)
                self.assertIn(NO_STORAGE, self.page.browser.by_name("Adapter maintenance", "section").text)
                self.page.act("Connect")
                self.page.act("Read settings from adapter")
                offered = {}

                def press():
                    button = webpage.WebDriverWait(self.page.driver, ACTION_S).until(
                        lambda d: next((b for b in d.find_elements(webpage.By.CSS_SELECTOR, "#backup-offer button")
                                        if b.is_displayed() and b.text.startswith(answers[0])), None))
                    offered["name"] = self.page.driver.find_element(webpage.By.ID, "download-backup").accessible_name
                    offered["erased"] = "\nX" in "\n" + self.adapter.commands()
                    self.page.screenshot("adapter-no-storage.png")
                    button.click()
                    if answers[1:]:
                        self.page.browser.wait(lambda: self.page.driver.find_elements(
                            webpage.By.CSS_SELECTOR, "dialog[open]"), "the page did not ask")
                        offered["erased"] |= "\nX" in "\n" + self.adapter.commands()
                        offered["asked"] = self.answer(answers[1])

                self.write(during=press)
                self.assertRegex(name := offered["name"].removeprefix("Download backup "), BACKUP_NAME)
                self.assertFalse(offered["erased"], "erased before the backup was downloaded")
                erased, confirmed = "\nX" in "\n" + self.adapter.commands(), answers[-1] == "It has, continue"
                named = DOWNLOADED_WAY_BACK.findall(self.page.status())
                self.assertEqual((self.page.status() == "Done", erased, named),
                                 (confirmed and not options, confirmed, [name] * bool(options)), self.page.text("Log"))
                if confirmed:
                    self.assertIn(f"Has {name} arrived in your downloads?", offered["asked"])
                    self.assertEqual(len(self.page.browser.downloaded(name)), 4096)
                self.assert_port_released()

    @webpage.opened(webpage.FROM_DISK)
    def test_read_asks_before_discarding_edits_and_names_the_adapter_it_reads(self):
        listed = []
        self.start("--serial", "QEAAAAAA")
        self.connect()
        self.page.choose_file("Open settings file", os.path.join(webpage.SAMPLES_DIR, "lenses.dat"))
        self.page.browser.wait(lambda: self.page.status() == "lenses.dat: 4 lenses", "the file did not open")
        entry = self.page.named("Lens 1 All range")
        entry.send_keys(Keys.CONTROL, "a")  # Ctrl let go by ending the call, in every driver
        entry.send_keys(Keys.BACKSPACE, "5", Keys.TAB)
        opens = len(self.page.serial_log()["opens"])
        # Not read from this adapter: every lens is listed with what it would have.
        self.page.act("Write settings to adapter", during=lambda: listed.extend(self.answer_write("Cancel")))
        self.assertEqual(len(listed), 4)
        self.assertEqual(listed[0], " \u00b7 ".join(["Lens 1 (50mm)", "All range: 5", "Tele/near to 1/2: default",
                                                   "1/2 to 3/4: default", "3/4 to wide/infinity: default"]))
        self.page.act("Read settings from adapter", during=lambda: self.answer("Cancel"))
        self.assertEqual(len(self.page.serial_log()["opens"]), opens, "the port was opened")
        self.assertEqual(self.page.named("Lens 1 All range").get_attribute("value"), "5")
        # Another adapter behind the same converter, without a new Connect.
        self.start("--serial", "QEBBBBBB")
        self.page.act("Read settings from adapter", during=lambda: self.answer("Discard edits"))
        read = self.backups()[0]
        self.assertRegex(read, r"^QEBBBBBB-")
        self.assertIn(f"-s /backups/{read}", self.page.text("Log").split("\n$ ")[-1].split("\n")[0])
        if self.opening == webpage.SERVED:  # back to the first: a backup's question names the one now connected
            self.start("--serial", "QEAAAAAA")
            opens, asked = len(self.page.serial_log()["opens"]), {}
            self.page.act(f"Write {read} to adapter", during=lambda: asked.update(text=self.answer("Cancel")))
            self.assertIn(f"{read} to the adapter QEAAAAAA? This backup is of another adapter, QEBBBBBB", asked["text"])
            self.assertEqual((len(self.page.serial_log()["opens"]) - opens, self.page.status()),
                             (1, "Cancelled: nothing was written to the adapter"))

    def unplug(self):
        """The adapter's port goes away, as when it is taken to the camera."""
        self.page.driver.execute_async_script(
            "const done = arguments[0]; navigator.serial.getPorts().then(([port]) => {"
            " const gone = new Event('disconnect', {bubbles: true});"
            " Object.defineProperty(gone, 'target', {value: port}); navigator.serial.dispatchEvent(gone); done(); });")
        self.page.browser.wait(lambda: self.page.driver.execute_script(  # behind the assistant
            "return document.getElementById('connection').textContent") == "Not connected", "the port stayed")

    def assistant(self, lens=3):
        self.start()
        self.connect()
        self.page.act("Read settings from adapter")
        self.page.named(f"Find the value for lens {lens}").click()
        return self.page.browser.by_name(f"Find the value for lens {lens} (100mm)", "dialog")

    def shows(self, dialog, line):
        words = lambda text: " ".join(text.split())  # engines part paragraphs apart
        self.page.browser.wait(lambda: words(line) in words(dialog.text), f"the assistant never said {line!r}")

    def test_the_focus_assistant_does_the_whole_job_through_the_adapter(self):
        dialog = self.assistant()
        self.shows(dialog, "The field is at default now, which is no correction and not the same as 0: write 0 first.")
        listed = []
        self.page.act("Write 0 to the adapter", None, during=lambda: listed.extend(self.answer_write()))
        self.assertEqual(listed, ["Lens 3 (100mm) \u00b7 All range: default \u2192 0"])
        self.assertEqual(len([line for line in self.page.log_lines() if line.startswith("Adapter setting backed up")]), 1)
        trip = "\n".join(["The adapter holds 0 in this field. Now:",
                          "Take the adapter to the camera with lens 3, as its maker's instructions say.",
                          "Focus on the target and take three photos.", "Connect it again and press Connect."])
        self.shows(dialog, trip)
        self.unplug()  # expected on the way to the camera: the same lines, no failure
        self.shows(dialog, trip)
        self.assertFalse(self.page.driver.find_element(webpage.By.ID, "focus-connection").is_displayed())
        self.assertNotIn("Write 20", dialog.text)
        self.page.screenshot("focus-unplugged.png")
        for value in (0, 20):
            for seed in range(value, value + 3):
                self.page.choose_file(f"Photos at the {'first' if value == 0 else 'second'} value",
                                      editor_test.photo(self.work, value, seed))
            if value == 0:
                self.shows(dialog, "Connect the adapter to write 20.")
                self.page.act("Connect the adapter", None)
                self.page.act("Write 20 to the adapter", None, during=self.answer_write)
        self.shows(dialog, "The adapter holds 20 in this field: write ")
        value = re.search(r"Set the correction to (-?\d+)\.", dialog.text)[1]
        self.assertNotIn(f"Use {value}", dialog.text)
        self.page.act(f"Write {value} to the adapter", None, during=self.answer_write)
        self.shows(dialog, "Focus on the target and take a check photo.")
        self.page.choose_file("Check photo", editor_test.photo(self.work, value, 5, "--scatter", "0"))
        self.shows(dialog, f"Done: lens 3's All range is {value} on the adapter, and the check photo puts the "
                           "focus on the target.")
        field = self.page.driver.find_element(webpage.By.CSS_SELECTOR, "[aria-label='Lens 3 All range']")
        self.assertEqual(field.get_attribute("value"), value)
        self.page.screenshot("focus-finished.png")
        self.page.named("Close").click()
        self.assertFalse(self.page.driver.find_elements(webpage.By.CSS_SELECTOR, "dialog[open]"))

    def leaving_asks(self):
        return self.page.driver.execute_script("const e = new Event('beforeunload', {cancelable: true});"
                                               " window.dispatchEvent(e); return e.defaultPrevented;")

    def test_closing_with_a_test_value_on_the_adapter_asks_to_put_back_the_old_one(self):
        self.assistant()
        self.page.act("Write 0 to the adapter", None, during=self.answer_write)
        self.unplug()
        self.assertTrue(self.leaving_asks())
        self.page.named("Close").click()
        question = self.page.browser.by_name("Lens 3's All range was default before the test; the adapter now "
                                             "holds 0. Put back default?", "dialog")
        self.assertEqual([b.text for b in question.find_elements(webpage.By.CSS_SELECTOR, "button")],
                         ["Put back default", "Keep 0"])
        self.page.screenshot("focus-put-back.png")
        # Not connected: the answer connects first, then writes as any write does.
        asked = {}
        self.page.act("Put back default", None, during=lambda: asked.update(text=self.answer("Write")))
        self.assertIn("Lens 3 (100mm) \u00b7 All range: 0 \u2192 default", asked["text"])
        self.assertEqual((self.page.status(), self.page.named("Lens 3 All range").get_attribute("value")), ("Done", ""))
        self.assertFalse(self.page.driver.find_elements(webpage.By.CSS_SELECTOR, "dialog[open]"))
        self.assertFalse(self.leaving_asks())

    def connection(self):
        """The Connection line, and whether what to check is shown below it."""
        return (self.page.text("Connection"),
                self.page.driver.find_element(webpage.By.ID, "no-answer-help").is_displayed())

    def test_reset_and_a_port_that_will_not_open(self):
        self.start()
        self.connect()
        self.assertEqual(self.connection(), ("Connected to the adapter QE012345", False))
        self.page.act("Restart adapter")
        self.assertEqual(self.page.status(), "Done")
        self.assertEqual(self.page.log_lines(), cli(self.adapter, "-R")[1].splitlines())
        self.page.server.refuse_open = True
        self.page.act("Connect")
        self.assertEqual(self.page.status(), OPEN_REFUSED)
        self.assertEqual(self.connection(), ("The port could not be opened", False))
        self.page.screenshot("adapter-refused.png")
        self.assertFalse(self.page.named("Restart adapter").is_enabled())
        self.page.server.refuse_open = False
        # A port that opens where nothing answers.
        silent, line = os.openpty()
        self.addCleanup(os.close, silent)
        self.addCleanup(os.close, line)
        self.page.server.pty_path = os.ttyname(line)
        self.page.act("Connect")
        self.assertEqual(self.connection(), ("The adapter did not answer", True))
        self.assertIn("dialout", self.page.driver.find_element(webpage.By.ID, "no-answer-help").text)
        self.page.server.pty_path = self.adapter.pty
        self.page.act("Connect")
        self.assertEqual(self.page.status(), "Done")
        self.page.act("Disconnect")
        self.assertEqual((self.page.status(), self.page.text("Adapter identity")), ("Done", "Not connected"))
        self.assertEqual(self.connection(), ("Not connected", False))
        self.assertFalse(self.page.named("Restart adapter").is_enabled())
        self.assert_port_released()
        # A port that refuses to close, and one that never answers (served only: it waits out the page's bound).
        for fault in ["fail_close"] + (["hang_close"] if self.opening == webpage.SERVED else []):
            self.page.load(ADAPTER_USB, **{fault: True})
            self.page.act("Connect")
            self.assertEqual(self.page.status(), PORT_HELD, fault)


# Firefox's file: pages run the test's navigator.serial, but its bridge is a
# WebSocket the one-file page's policy refuses, and only Chromium lifts it.
webpage.engine_cases(AdapterPart, globals(),
                     (webpage.SERVED, webpage.FROM_DISK) if webpage.ENGINE == "chromium" else (webpage.SERVED,))

if __name__ == "__main__":
    webpage.main()
