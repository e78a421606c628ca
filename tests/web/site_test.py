"""The served site as a whole in headless Chromium: installable, working
offline from its service worker, a rebuilt site offered rather than taken,
and no accessibility violation that axe-core finds in any state the page
can be in. Each case serves its own copy of the site on its own port, so
every origin starts with no worker and no cache."""
import os
import shutil
import subprocess
import tempfile
import unittest

import webpage
from adapter_rig import ADAPTER_USB, AdapterPage, VirtualAdapter

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
AXE_JS = os.environ.get("PELAGO_AXE_JS", "")
VERSION = os.environ.get("PELAGO_VERSION", "")
READY = "Open a settings file to list its lenses."
NEW_BUILD = "A new version of this page is ready."


def require_axe():
    if os.path.isfile(AXE_JS):
        return
    reason = f"axe-core is not fetched ({AXE_JS or 'no PELAGO_AXE_JS'}; scripts/test fetches it)"
    if os.environ.get("CI") == "true":
        raise RuntimeError(reason)
    raise unittest.SkipTest(reason)


def axe_violations(driver):
    """axe-core's violations on the page as it is now: 'rule: target' lines."""
    if not driver.execute_script("return typeof axe !== 'undefined'"):
        with open(AXE_JS) as f:
            driver.execute_script(f.read())
    driver.set_script_timeout(webpage.WAIT_SECONDS)
    return driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        axe.run(document, { resultTypes: ['violations'] }).then(
            (r) => done(r.violations.flatMap((v) => v.nodes.map((n) => `${v.id}: ${n.target.join(' ')}`))),
            (e) => done([`axe failed: ${e}`]));""")


class ServedSite(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        webpage.require_site()
        cls.browser = webpage.Browser()
        cls.driver = cls.browser.driver

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()

    def setUp(self):
        self.copy = tempfile.mkdtemp(prefix="pelago-site-")
        self.site_dir = os.path.join(self.copy, "web")
        shutil.copytree(webpage.SITE_DIR, self.site_dir)
        self.site = webpage.Site(self.site_dir)
        self.addCleanup(shutil.rmtree, self.copy, True)
        self.addCleanup(self.site.close)

    def js(self, script):
        self.driver.set_script_timeout(webpage.WAIT_SECONDS)
        return self.driver.execute_async_script(
            f"const done = arguments[arguments.length - 1]; ({script}).then(done, (e) => done(String(e)));")

    def status(self):
        return self.browser.by_name("Status").text

    def visit(self):
        """Loads the page and waits until its worker controls it."""
        self.driver.get(self.site.url)
        self.browser.wait(lambda: self.status() == READY, "the editor did not start")
        self.browser.wait(lambda: self.driver.execute_script("return !!navigator.serviceWorker.controller"),
                          "no service worker controls the page")

    def offered(self):
        return self.driver.find_element(webpage.By.ID, "new-version").is_displayed()

    def caches(self):
        return self.js("caches.keys()")

    def test_installable_with_its_version_shown(self):
        self.visit()
        errors = self.driver.execute_cdp_cmd("Page.getInstallabilityErrors", {})
        self.assertEqual(errors["installabilityErrors"], [])
        self.assertIn("PelagoXcon " + VERSION, self.driver.find_element(webpage.By.TAG_NAME, "footer").text)
        self.assertEqual(self.browser.errors(), [])

    def test_loads_again_and_with_the_server_gone(self):
        for host in ("plain", "pretty URLs", "gzip"):  # pretty URLs: /index.html is sent on to /
            with self.subTest(host=host):
                if host != "plain":  # on another port: an origin with no worker yet
                    self.site = webpage.Site(self.site_dir, host)
                    self.addCleanup(self.site.close)
                self.visit()
                self.driver.refresh()
                self.browser.wait(lambda: self.status() == READY, "the page did not load again")
                self.site.close()
                self.driver.refresh()
                self.browser.wait(lambda: self.status() == READY, "the page did not load offline")
                self.assertEqual(self.browser.by_label("Open settings file").is_enabled(), True)
                # The worker's copy is decoded: no header may say otherwise.
                answer = self.js("fetch('app.js').then(async (r) => [r.headers.get('Content-Encoding'),"
                                 " Number(r.headers.get('Content-Length') ?? (await r.arrayBuffer()).byteLength)])")
                self.assertEqual(answer, [None, os.path.getsize(os.path.join(self.site_dir, "app.js"))])

    def rebuild(self):
        """Changes a module of the served copy and writes its worker again,
        as a new build would; the running build's cache name."""
        [old] = self.caches()
        with open(os.path.join(self.site_dir, "app.js"), "a") as f:
            f.write("// rebuilt\n")
        files = ";".join(name for name in os.listdir(self.site_dir) if name != "sw.js")
        subprocess.run(["cmake", f"-DSITE_DIR={self.site_dir}", f"-DFILES={files}", f"-DTEMPLATE={ROOT}/web/sw.js",
                        f"-DVERSION={VERSION}", "-P", f"{ROOT}/cmake/SiteWorker.cmake"],
                       check=True, capture_output=True, timeout=60)
        return old

    def app_js(self):
        return self.js("fetch('app.js').then((r) => r.text())")

    def test_a_rebuilt_site_waits_for_reload(self):
        self.visit()
        old = self.rebuild()
        self.driver.refresh()
        self.browser.wait(self.offered, "the new build was not offered")
        self.assertTrue(self.browser.by_name("New version").text.startswith(NEW_BUILD))
        if webpage.SCREENSHOT_DIR:
            os.makedirs(webpage.SCREENSHOT_DIR, exist_ok=True)
            self.driver.save_screenshot(os.path.join(webpage.SCREENSHOT_DIR, "new-version.png"))
        # Until Reload, the page and its files stay the old build's.
        self.assertIn(old, self.caches())
        self.assertNotIn("rebuilt", self.app_js())
        self.browser.by_label("Reload").click()
        self.browser.wait(lambda: old not in self.caches(), "the old build's cache stayed")
        self.browser.wait(lambda: self.status() == READY, "the new build did not load")
        [new] = self.caches()
        self.assertTrue(new.startswith(f"pelagoxcon-{VERSION}-"), new)
        self.assertIn("rebuilt", self.app_js())
        self.assertFalse(self.offered())

    def test_a_half_deployed_build_is_not_taken(self):
        self.visit()
        old = self.rebuild()
        with open(os.path.join(self.site_dir, "editor.js"), "a") as f:
            f.write("// a later build's\n")
        registration = "navigator.serviceWorker.getRegistration()"
        self.js(f"{registration}.then((r) => r.update())")
        self.browser.wait(lambda: self.js(f"{registration}.then((r) => !r.installing)"),
                          "the new worker's install did not end")
        self.assertIsNone(self.js(f"{registration}.then((r) => r.waiting)"))
        self.assertEqual(self.caches(), [old])
        self.assertNotIn("rebuilt", self.app_js())
        footer = self.driver.find_element(webpage.By.TAG_NAME, "footer")
        self.browser.wait(lambda: f"PelagoXcon {VERSION} (the offline copy could not be updated)" in footer.text,
                          "the failed update was not reported")


class Accessible(unittest.TestCase):
    """axe-core over the editor with a file open, the adapter part after a
    read, edits marked, each dialog open, a Connect with no answer, the
    phone layout and the new-build banner."""

    @classmethod
    def setUpClass(cls):
        require_axe()
        cls.page = AdapterPage()

    @classmethod
    def tearDownClass(cls):
        cls.page.close()

    def test_no_violation_in_any_state(self):
        page = self.page
        adapter = VirtualAdapter(page.work)
        self.addCleanup(adapter.stop)
        page.server.pty_path = adapter.pty
        sample = os.path.join(webpage.SAMPLES_DIR, "lenses.dat")

        def banner():
            page.driver.execute_script("document.getElementById('new-version').hidden = false")

        def open_sample():
            page.choose_file("Open settings file", sample)
            page.browser.wait(lambda: page.status() == "lenses.dat: 4 lenses", "the sample did not open")

        def backup_dialog(verb):
            def reach():
                buttons = page.driver.find_elements(webpage.By.CSS_SELECTOR, "#backups button")
                next(b for b in buttons if b.accessible_name.startswith(verb + " ")).click()
                page.browser.wait(lambda: open_dialogs(), f"{verb} asked nothing")
            return reach

        def edit():
            entry = page.named("Lens 2 All range")
            entry.send_keys(webpage.Keys.CONTROL, "a")
            entry.send_keys(webpage.Keys.BACKSPACE, "-3", webpage.Keys.TAB)

        def no_answer():
            silent, line = os.openpty()
            self.addCleanup(os.close, silent)
            self.addCleanup(os.close, line)
            page.server.pty_path = os.ttyname(line)
            page.act("Connect")

        def phone():
            page.browser.set_viewport(390, 844)
            self.addCleanup(page.browser.set_viewport)

        def edits_dialog():
            # The question Read and "Open settings file" ask over unsaved edits.
            page.driver.execute_script("document.getElementById('discard-edits-dialog').showModal()")

        def open_dialogs():
            return page.driver.find_elements(webpage.By.CSS_SELECTOR, "dialog[open]")

        def cancel():
            for dialog in open_dialogs():
                if dialog.get_attribute("id") == "discard-edits-dialog":
                    # Opened here, not by the page: nothing waits on its answer.
                    page.driver.execute_script("arguments[0].close()", dialog)
                    continue
                buttons = dialog.find_elements(webpage.By.CSS_SELECTOR, "button")
                next(b for b in buttons if b.text in ("Cancel", "Close")).click()
            page.browser.wait(lambda: not open_dialogs() and page.named("Connect").is_enabled(), "a dialog stayed open")

        def assistant():
            # With a photo it did not count, the one state of a photo without a camera.
            page.named("Find the value for lens 3").click()
            photo = os.path.join(page.work, "notes.jpg")
            with open(photo, "wb") as f:
                f.write(b"not a photo")
            page.choose_file("Photos at the first value", photo)
            page.browser.wait(lambda: page.driver.find_elements(webpage.By.CSS_SELECTOR, ".focus-photos .refused"),
                              "the photo was not refused")

        states = [
            ("editor with a file open", open_sample),
            # Photos are taken before anything is written only for a file.
            ("focus assistant", assistant),
            ("adapter connected", lambda: page.act("Connect")),
            ("adapter after a read", lambda: page.act("Read settings from adapter")),
            ("edits marked", edit),
            ("write-settings dialog", lambda: page.named("Write settings to adapter").click()),
            ("write-backup dialog", backup_dialog("Write")),
            ("delete-backup dialog", backup_dialog("Delete")),
            ("discard-edits dialog", edits_dialog),
            ("Connect with no answer", no_answer),
            ("phone layout", phone),
            ("new-build banner", banner),
        ]
        page.load(ADAPTER_USB)
        for state, reach in states:
            with self.subTest(state):
                reach()
                self.assertEqual(axe_violations(page.driver), [])
                if open_dialogs():
                    cancel()


if __name__ == "__main__":
    webpage.main()
