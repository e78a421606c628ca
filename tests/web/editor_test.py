"""The lens editor in each engine, served and as PelagoXcon.html from disk:
the table against the console's listing, downloads byte for byte against
`PelagoXcon -l` fed the same answers, refused entries, files that are not
current settings, a browser without Web Serial, and the site opened from
disk."""
import os
import re
import subprocess
import unittest

import webpage
from selenium.webdriver.common.keys import Keys

FIELDS = ["All range", "Tele/near to 1/2", "1/2 to 3/4", "3/4 to wide/infinity"]
REFUSAL = "Enter a whole number from -127 to 127, or leave it empty for default"
NO_SERIAL = ("This browser cannot reach serial ports. The adapter can be reached from Chrome or Edge on a "
             "computer, Chrome on Android with a USB cable to the adapter, and Firefox 153 or later.")
WAY_IN = ("A lens that front-focuses or back-focuses? The focus assistant finds its correction from photos of a "
          "printed chart; it needs the adapter connected, or a settings file.")
WAY_IN_FIND = ("Press \u201cFind the value\u201d beside the lens. The assistant takes you through the chart, "
               "the photos and the value.")
NEEDS_SERVER = ("This copy of the page needs a web server. Open PelagoXcon.html instead: "
                "it works from disk.")
READY = "Open a settings file to list its lenses."
FRAMED = "This page is shown inside another site; open it in its own tab to reach the adapter."
LOGICAL_PAGE = 60
PAGE = 64
PAGES_PER_ROW = 4
AREA_PAGES = 64
LENS_NUM_USED = 118  # EEPROM offset of the lens count
LAST_LENS_ID = 114  # EEPROM offset of the last mounted lens's ID
SAMPLE_IDS = ["ID 0x0095", "ID 0x00A1", "ID 0x0064", "ID 0x00B7"]
DOWNLOADED = "Downloaded {}. Your browser may have added a number to the name."
PHONE = (390, 844)
FOCUS_EXE = os.environ.get("PELAGO_FOCUS_EXE", "")
CAMERA_EXE = os.environ.get("PELAGO_CAMERA_EXE", "")
# Small photos of a scene whose best value, 14.7, lies between 0 and 20.
SCENE = ["--width", "1000", "--height", "1000", "--aperture", "1.4", "--distance", "15", "--focus", "22",
         "--mm-per-step", "-1.5", "--scatter", "1"]


def photo(directory, value, seed, *scene):
    """The virtual camera's photo of the chart at `value`."""
    path = os.path.join(directory, f"at{value}-{seed}.jpg")
    subprocess.run([CAMERA_EXE, *SCENE, *scene, "--value", str(value), "--seed", str(seed), path],
                   check=True, capture_output=True, timeout=60)
    return path


def sample():
    with open(os.path.join(webpage.SAMPLES_DIR, "lenses.dat"), "rb") as f:
        return f.read()


def patched(image, offset, data):
    """`image` with the emulated EEPROM's bytes at `offset` replaced in the
    current version of their logical page (test data only)."""
    logical = offset // LOGICAL_PAGE
    pages = [p for p in range(AREA_PAGES - 1) if image[p * PAGE] == logical]
    row = pages[0] // PAGES_PER_ROW
    current = max(p for p in pages if p // PAGES_PER_ROW == row)
    at = current * PAGE + 4 + offset % LOGICAL_PAGE
    return image[:at] + data + image[at + len(data):]


def cli_listing(settings):
    """(focal length, four entry texts) per lens, as `-l` lists them."""
    import subprocess, tempfile
    with tempfile.NamedTemporaryFile(suffix=".dat") as f:
        f.write(settings)
        f.flush()
        out = subprocess.run([webpage.PELAGO_EXE, "-l", f.name], input=b"0\n",
                             capture_output=True, timeout=30).stdout.decode()
    rows = []
    for line in out.splitlines():
        lens = re.match(r"\t\d+\.\[Lens +(\d+)(?:- *(\d+))?mm\]", line)
        if lens:
            values = re.findall(r"\[(-?\d+|default)\]", line[lens.end():])
            focal = lens.group(1) + ("-" + lens.group(2) if lens.group(2) else "") + "mm"
            rows.append((focal, ["" if v == "default" else v for v in values]))
    return rows


class EditorPage(unittest.TestCase):
    engine = opening = None  # set by each variant, below

    @classmethod
    def setUpClass(cls):
        webpage.require_site()
        cls.site = webpage.Site(webpage.SITE_DIR)
        cls.browser = webpage.Browser(cls.engine)
        cls.files = webpage.tempfile.mkdtemp(prefix="pelago-files-")

    @classmethod
    def tearDownClass(cls):
        cls.browser.close()
        cls.site.close()
        webpage.shutil.rmtree(cls.files, ignore_errors=True)

    def load_page(self):
        self.browser.driver.get(webpage.page_url(self.opening, self.site))
        self.browser.wait(lambda: self.status() == webpage.READY_STATUS, "the page did not get ready")

    def open_file(self, name, data):
        path = os.path.join(self.files, name)
        with open(path, "wb") as f:
            f.write(data)
        before = self.status()
        self.browser.by_label("Open settings file").send_keys(path)
        self.browser.wait(lambda: self.status() != before, f"opening {name} said nothing")
        return path

    def status(self):
        return self.browser.by_name("Status").text

    def table_rows(self):
        """(number, focal length, ID, whether marked last mounted) per lens."""
        table = self.browser.driver.find_element(webpage.By.ID, "lenses")
        return [tuple(self.browser.driver.execute_script("""
            const [number, focal] = arguments[0].cells;
            return [number.textContent.replace(/\\D/g, ''), focal.querySelector('.focal-length').textContent,
                    focal.querySelector('.lens-id').textContent, !!focal.querySelector('.mounted')];""", row))
                for row in table.find_elements(webpage.By.CSS_SELECTOR, "tbody tr")]

    def entry(self, lens, field):
        return self.browser.by_label(f"Lens {lens} {field}")

    def type_entry(self, lens, field, text):
        # Typed over the selection as a user does (clear() would already
        # commit an empty field, which means default); Ctrl is let go by
        # ending the first call, which every driver honours.
        entry = self.entry(lens, field)
        entry.send_keys(Keys.CONTROL, "a")
        entry.send_keys(Keys.BACKSPACE, text, Keys.TAB)

    def download(self, name):
        self.browser.clear_downloads()
        self.browser.by_label("Download settings file").click()
        return self.browser.downloaded(name)

    def screenshot(self, name):
        self.browser.screenshot(f"{self.opening}-{name}")

    def way_in_steps(self):
        steps = self.browser.driver.find_elements(webpage.By.CSS_SELECTOR, "#way-in-help li")
        return [step.text for step in steps if step.is_displayed()]

    def test_sample_lists_as_the_console_does(self):
        self.load_page()
        # The way to the assistant before any lens is listed, in steps this browser can take.
        self.assertIn(WAY_IN, " ".join(self.browser.by_name("Your lenses", "section").text.split()))
        way_in = self.browser.by_label("Fix front or back focus")
        self.assertEqual((self.way_in_steps(), way_in.get_attribute("aria-expanded")), ([], "false"))
        way_in.click()
        serial = self.browser.driver.execute_script("return 'serial' in navigator")
        first, *rest = self.way_in_steps()
        self.assertEqual((first.startswith("Connect the adapter" if serial else "Open a settings file"), rest,
                          way_in.get_attribute("aria-expanded")), (True, [WAY_IN_FIND], "true"))
        self.screenshot("way-in.png")
        self.open_file("lenses.dat", sample())
        self.assertEqual(self.way_in_steps(), [WAY_IN_FIND])
        self.assertEqual(self.status(), "lenses.dat: 4 lenses")
        expected = cli_listing(sample())
        self.assertEqual(self.table_rows(), [(str(n), focal, lens_id, n == 4) for n, ((focal, _), lens_id)
                                             in enumerate(zip(expected, SAMPLE_IDS), 1)])
        for lens, (_, values) in enumerate(expected, 1):
            shown = [self.entry(lens, field).get_attribute("value") for field in FIELDS]
            self.assertEqual(shown, values, f"lens {lens}")
        self.assertEqual(len(self.browser.driver.find_elements(webpage.By.CSS_SELECTOR, "td svg[role=img]")), 4)
        self.screenshot("editor.png")
        self.assertEqual(self.browser.errors(), [])

    @webpage.opened(webpage.FROM_DISK)
    def test_edits_download_as_the_console_saves_them(self):
        cases = [
            # (file, [(lens, field, typed)]): a default, a negative value, a zone
            (sample(), [(1, "All range", ""), (1, "1/2 to 3/4", "-7"), (3, "Tele/near to 1/2", "12")]),
            (sample(), [(4, "3/4 to wide/infinity", "-127"), (2, "All range", " +9 ")]),
            (sample(), [(2, "Tele/near to 1/2", "1")]),  # the value it had: nothing edited
        ]
        for data, edits in cases:
            with self.subTest(edits=edits, size=len(data)):
                self.load_page()
                self.open_file("lenses.dat", data)
                for lens, field, typed in edits:
                    self.type_entry(lens, field, typed)
                lenses = sorted({lens for lens, _, _ in edits})
                answers = []
                for lens in lenses:
                    answers += [str(lens)] + [self.entry(lens, f).get_attribute("value") for f in FIELDS]
                got = self.download("lenses.dat")
                if edits == cases[-1][1]:
                    self.assertEqual(got, data)
                else:
                    self.assertNotEqual(got, data)
                    self.assertEqual(got, webpage.cli_tuned(data, answers + ["0"]))
                    self.assertEqual(self.download("lenses.dat"), got, "a second download differs")
                self.assertEqual(self.status(), DOWNLOADED.format("lenses.dat"))

    def test_refused_entries_change_nothing(self):
        self.load_page()
        self.open_file("lenses.dat", sample())
        for typed in ["128", "-128", "1.5", "abc", "5x", "--3", "0127 0"]:
            with self.subTest(typed=typed):
                self.type_entry(2, "1/2 to 3/4", typed)
                box = self.entry(2, "1/2 to 3/4")
                self.assertEqual(box.get_attribute("value"), "-2")
                self.assertEqual(box.get_attribute("aria-invalid"), "true")
                message = self.browser.driver.find_element(
                    webpage.By.ID, box.get_attribute("aria-describedby"))
                self.browser.wait(lambda: message.text == REFUSAL, f"no refusal shown for {typed!r}")
        self.screenshot("editor-refused.png")
        self.assertEqual(self.download("lenses.dat"), sample())
        self.type_entry(2, "1/2 to 3/4", "-3")
        self.assertIsNone(self.entry(2, "1/2 to 3/4").get_attribute("aria-invalid"))

    def changed(self):
        """'lens field' of every field marked as changed, and its mark's parts."""
        return self.browser.driver.execute_script("""
            return [...document.querySelectorAll('#lenses input')].filter((input) =>
              input.closest('.changed') && getComputedStyle(input.parentElement, '::after').content !== 'none'
              && (input.getAttribute('aria-describedby') || '').includes('changed-note'))
              .map((input) => input.getAttribute('aria-label'));""")

    def leaving_asks(self):
        return self.browser.driver.execute_script(
            "const e = new Event('beforeunload', {cancelable: true}); window.dispatchEvent(e); return e.defaultPrevented;")

    def test_changes_are_marked_counted_and_undone(self):
        self.load_page()
        self.open_file("lenses.dat", sample())
        changes = self.browser.driver.find_element(webpage.By.ID, "changes")
        self.assertEqual((changes.is_displayed(), self.leaving_asks()), (False, False))
        self.type_entry(2, "All range", "-6")
        self.assertEqual((changes.text, self.leaving_asks()), ("1 unsaved change", True))
        self.type_entry(2, "Tele/near to 1/2", "")  # 1 to default
        self.type_entry(4, "1/2 to 3/4", "0")  # the value it has: no change
        self.type_entry(1, "3/4 to wide/infinity", "7")
        self.type_entry(1, "3/4 to wide/infinity", "")  # and back
        self.assertEqual(changes.text, "2 unsaved changes")
        self.assertEqual(self.changed(), ["Lens 2 All range", "Lens 2 Tele/near to 1/2"])
        undo = self.browser.driver.find_elements(webpage.By.CSS_SELECTOR, ".lens-actions button[aria-label^=Undo]")
        self.assertEqual([b.is_displayed() for b in undo], [False, True, False, False])
        self.screenshot("editor-changes.png")
        self.browser.by_label("Undo changes to lens 2").click()
        self.assertEqual([self.entry(2, f).get_attribute("value") for f in FIELDS[:2]], ["-5", "1"])
        self.assertEqual((changes.is_displayed(), self.changed(), self.leaving_asks()), (False, [], False))
        self.type_entry(3, "All range", "-1")
        got = self.download("lenses.dat")
        self.assertEqual((changes.is_displayed(), self.changed(), self.leaving_asks()), (False, [], False))
        # Edits after a download start from what was downloaded.
        self.type_entry(3, "1/2 to 3/4", "2")
        self.assertEqual(self.download("lenses.dat"), webpage.cli_tuned(got, ["3", "-1", "", "2", "", "0"]))

    def photo(self, value, seed, *scene):
        return photo(self.files, value, seed, *scene)

    def measured(self, dialog, count):
        """{photo name: its line} once `count` photos are measured."""
        rows = lambda: self.browser.driver.execute_script(
            "return [...arguments[0].querySelectorAll('.focus-photos li:not(.measuring)')].map((row) =>"
            " [...row.querySelectorAll('.file-name, .focus-line')].map((part) => part.textContent))", dialog)
        self.browser.wait(lambda: len(rows()) == count, "the photos were not measured")
        return dict(rows())

    @webpage.opened(webpage.FROM_DISK)
    def test_the_focus_assistant_finds_the_value_as_the_console_does(self):
        self.load_page()
        self.open_file("lenses.dat", sample())
        self.browser.by_label("Find the value for lens 3").click()
        dialog = self.browser.by_name("Find the value for lens 3 (100mm)", "dialog")
        self.assertIn("Set \u201cAll range\u201d of lens 3 to 0 and write it to the adapter", dialog.text)
        self.assertEqual(self.browser.by_name("Second value", "input").get_attribute("value"), "20")
        photos = {v: [self.photo(v, seed) for seed in range(v, v + 3)] for v in (0, 20)}
        unreadable = os.path.join(self.files, "notes.jpg")
        with open(unreadable, "wb") as f:
            f.write(b"not a photo")
        for label, value in (("Photos at the first value", 0), ("Photos at the second value", 20)):
            for path in photos[value] + [unreadable] * (value == 0):
                self.browser.by_label(label).send_keys(path)
        # The page decodes as the console does: the same lines, to the 0.1 mm
        # they show, and the same words for a file that is no photo.
        for name, line in self.measured(dialog, 7).items():
            path = os.path.join(self.files, name)
            console = subprocess.run([FOCUS_EXE, "measure", path], capture_output=True, text=True, timeout=60)
            self.assertEqual(line, (console.stdout or console.stderr.removeprefix(f"{path}: ")).strip(), name)
        # The virtual camera's 85 mm is no focal length of lens 3's: asked, and measured all the same.
        row = dialog.find_elements(webpage.By.CSS_SELECTOR, ".focus-photos li")[0]
        self.assertEqual([row.find_element(webpage.By.CSS_SELECTOR, c).text
                          for c in (".file-name", ".focus-taken", ".focus-question")],
                         ["at0-0.jpg", "85 mm \u00b7 f/1.4", "taken at 85 mm; lens 3 is 100 mm: is this the right lens?"])
        self.browser.by_name("Where the focus lies in at0-0.jpg", "canvas")
        self.assertEqual(len(dialog.find_elements(webpage.By.CSS_SELECTOR, "canvas[role=img]")), 6)  # not notes.jpg
        propose = lambda: subprocess.run([FOCUS_EXE, "propose"] + [a for v, ps in photos.items() for p in ps
                                                                   for a in ("--at", str(v), p)],
                                         capture_output=True, text=True, timeout=60)
        proposed = self.browser.driver.execute_script("return document.getElementById('focus-result').textContent")
        self.assertEqual(proposed, propose().stdout.strip())
        value = int(re.match(r"Set the correction to (-?\d+)\.", proposed)[1])
        self.browser.by_label(f"Use {value}").click()
        field = self.browser.driver.find_element(webpage.By.CSS_SELECTOR, "[aria-label='Lens 3 All range']")
        self.assertEqual((field.get_attribute("value"), self.changed()),
                         (str(value), ["Lens 3 All range"]))
        self.browser.by_label("Check photo").send_keys(self.photo(value, 5, "--scatter", "0"))
        self.assertEqual(self.measured(dialog, 8)[f"at{value}-5.jpg"],
                         f"At {value}, focus lies on the target: within a tenth of the sharp zone.")
        self.screenshot("focus-assistant.png")
        # A photo at another aperture: refused in the console's words.
        photos[20].append(self.photo(20, 9, "--aperture", "2.8"))
        self.browser.by_label("Photos at the second value").send_keys(photos[20][-1])
        self.measured(dialog, 9)
        result = self.browser.driver.find_element(webpage.By.ID, "focus-result")
        self.assertEqual(result.text, propose().stderr.strip())
        # Photos at a second value past the chart's end: the value to take them at instead.
        second = self.browser.by_name("Second value", "input")
        second.send_keys(Keys.CONTROL, "a")
        second.send_keys(Keys.BACKSPACE, "80", Keys.TAB)
        del photos[20]
        photos[80] = [self.photo(80, 1, "--width", "1600", "--height", "1600", "--aperture", "2.8")]
        self.browser.by_label("Photos at the second value").send_keys(photos[80][0])
        self.measured(dialog, 10)
        self.assertIn(result.text, propose().stderr.splitlines())
        self.browser.set_viewport(*PHONE)
        self.addCleanup(self.browser.set_viewport)
        self.screenshot("focus-assistant-phone.png")

    def test_on_a_phone_each_lens_is_a_card(self):
        self.load_page()
        self.browser.set_viewport(*PHONE)
        self.addCleanup(self.browser.set_viewport)
        self.open_file("lenses.dat", sample())
        self.type_entry(2, "All range", "4")  # its Undo shows beside its Find the value
        self.type_entry(3, "3/4 to wide/infinity", "300")
        self.browser.wait(lambda: self.browser.driver.find_element(webpage.By.ID, "refusal-3-3").is_displayed(),
                          "no refusal shown")
        self.screenshot("phone-editor.png")
        layout = self.browser.driver.execute_script("""
            const box = (e) => e.getBoundingClientRect();
            const input = document.querySelector('[aria-label="Lens 3 3/4 to wide/infinity"]');
            const refusal = document.getElementById(input.dataset.refusal);
            const cards = document.querySelector('.table-wrap');
            return {page: document.documentElement.scrollWidth, view: innerWidth,
                    cards: cards.scrollWidth - cards.clientWidth,
                    right: Math.max(...[...document.querySelectorAll('#lenses input, #lenses svg, #lenses button')]
                                    .filter((e) => e.getClientRects().length).map((e) => box(e).right)),
                    labels: [...input.closest('tr').querySelectorAll('.field-label')].map((l) => l.innerText),
                    // Each control a finger reaches that is under 44 px, or within 8 px of one before it.
                    touch: [...document.querySelectorAll('button, select, summary, .file-button, input:not([type=file])')]
                      .filter((e) => e.getClientRects().length && !e.closest('dialog')).flatMap((e, i, all) => [
                        ...(Math.min(box(e).width, box(e).height) < 44 ? [e] : []),
                        ...all.slice(i + 1).filter((o) => Math.max(box(o).left - box(e).right, box(e).left - box(o).right,
                                                                   box(o).top - box(e).bottom, box(e).top - box(o).bottom) < 8)])
                      .map((e) => e.getAttribute('aria-label') || e.textContent.trim()),
                    refusal: [box(refusal).top >= box(input).bottom, box(refusal).right <= innerWidth,
                              refusal.scrollWidth <= refusal.clientWidth, refusal.innerText]};""")
        self.assertLessEqual(layout["page"], layout["view"], "the page scrolls sideways")
        self.assertLessEqual(layout["right"], layout["view"], "a lens is cut off at the right")
        self.assertEqual(layout["cards"], 0, "a lens card is wider than the page")
        self.assertEqual(layout["labels"], FIELDS)
        self.assertEqual(layout["touch"], [])
        self.assertEqual(layout["refusal"], [True, True, True, REFUSAL])

    def test_a_file_longer_than_a_settings_file_is_never_saved(self):
        # The console keeps such a file (a firmware file, perhaps) at "y".
        self.load_page()
        self.open_file("long.dat", sample() + b"\xa5" * 6000)
        self.type_entry(1, "3/4 to wide/infinity", "0")
        self.browser.clear_downloads()
        self.browser.by_label("Download settings file").click()
        self.browser.wait(lambda: self.status() == "long.dat is larger than an adapter setting file; "
                          "it was not changed", "no refusal shown")
        self.assertEqual(os.listdir(self.browser.downloads), [])

    @webpage.opened(webpage.FROM_DISK)
    def test_files_that_are_not_current_settings(self):
        blank = b"\xff" * 4096
        formatted = webpage.cli_tuned(blank, [])
        ex02_no_lens = patched(sample(), LENS_NUM_USED, b"\x00")
        cases = [
            # (name, bytes, status, download expected)
            ("erased.dat", blank, "erased.dat is not a valid adapter setting file; "
             "a blank setting has been formatted", formatted),
            ("short.dat", b"\x00" * 100, "short.dat is not a valid adapter setting file; "
             "a blank setting has been formatted", webpage.cli_tuned(b"\x00" * 100, [])),
            ("old.dat", patched(sample(), 0, b"EX01"),
             "Old data format, please update your adapter with latest firmware.", None),
            ("formatted.dat", formatted, "Adapter setting was corrupted", None),
            ("none.dat", ex02_no_lens, "No lens available for AF tune, quit", None),
            ("many.dat", patched(sample(), LENS_NUM_USED, b"\x64"),
             "Note: 100 lenses recorded, only the first 78 fit in the adapter setting", None),
            ("first.dat", patched(sample(), LAST_LENS_ID, b"\x95\x00"), "first.dat: 4 lenses", None),
        ]
        self.load_page()
        for name, data, status, expected in cases:
            with self.subTest(name=name):
                self.open_file(name, data)
                self.assertEqual(self.status(), status)
                rows = self.table_rows()
                self.assertEqual(len(rows), {"many.dat": 78, "first.dat": 4}.get(name, 0))
                if name == "first.dat":  # the mark follows the ID, not the lens's place
                    self.assertEqual([mounted for *_, mounted in rows], [True, False, False, False])
                self.assertEqual(self.download(name), data if expected is None else expected)

    @webpage.opened(webpage.SERVED, webpage.FROM_DISK)
    def test_nothing_acts_before_the_module_is_ready(self):
        if self.engine != "chromium":
            self.skipTest("turning the page's scripts off needs Chromium's DevTools protocol")
        driver = self.browser.driver
        driver.execute_cdp_cmd("Emulation.setScriptExecutionDisabled", {"value": True})
        try:
            driver.get(webpage.page_url(self.opening, self.site))
            controls = driver.find_elements(webpage.By.CSS_SELECTOR, "button, input, select")
            # Hidden ones (closed dialogs, offers not made yet) cannot be reached.
            acting = [c.get_attribute("id") for c in controls if c.is_enabled() and c.is_displayed()]
            self.assertEqual(acting, [])
            self.assertEqual(self.status(), "Loading…")
        finally:
            driver.execute_cdp_cmd("Emulation.setScriptExecutionDisabled", {"value": False})

    def test_edits_are_discarded_only_when_asked(self):
        self.load_page()
        self.open_file("lenses.dat", sample())
        self.type_entry(1, "All range", "-5")
        for answer, kept in (("Cancel", True), ("Discard edits", False)):
            with self.subTest(answer=answer):
                path = os.path.join(self.files, "other.dat")
                with open(path, "wb") as f:
                    f.write(webpage.cli_tuned(sample(), ["2", "9", "", "", "", "0"]))
                self.browser.by_label("Open settings file").send_keys(path)
                dialog = self.browser.driver.find_element(webpage.By.CSS_SELECTOR, "dialog[open]")
                self.assertIn("Discard them?", dialog.text)
                if answer == "Discard edits":
                    self.screenshot("editor-discard-edits.png")
                buttons = dialog.find_elements(webpage.By.CSS_SELECTOR, "button")
                next(b for b in buttons if b.text == answer).click()
                self.browser.wait(lambda: not self.browser.driver.find_elements(
                    webpage.By.CSS_SELECTOR, "dialog[open]"), "the dialog stayed open")
                self.assertEqual(self.browser.by_name("Status").text,
                                 "lenses.dat: 4 lenses" if kept else "other.dat: 4 lenses")
                shown = [self.entry(lens, "All range").get_attribute("value") for lens in (1, 2)]
                self.assertEqual((shown[0] == "-5", shown[1] == "9"), (kept, not kept), shown)

    def test_in_a_frame_the_adapter_part_does_not_run(self):
        self.load_page()
        driver = self.browser.driver
        driver.execute_script("document.body.innerHTML = '<iframe src=\"index.html\"></iframe>';")
        framed = ("const d = document.querySelector('iframe').contentDocument;"
                  "const a = d && d.getElementById('adapter-controls');"
                  "return a ? [d.body.innerText, a.getClientRects().length] : ['', 0];")
        self.browser.wait(lambda: FRAMED in driver.execute_script(framed)[0], "the framed page did not say so")
        self.assertEqual(driver.execute_script(framed)[1], 0, "the framed page shows its adapter controls")

    def test_without_web_serial_the_adapter_section_says_so(self):
        driver = self.browser.driver
        self.load_page()
        offered = driver.execute_script("return 'serial' in navigator")
        self.assertEqual(driver.find_element(webpage.By.ID, "serial-unsupported").is_displayed(), not offered)
        # An engine that offers Web Serial is made to lack it.
        script = self.browser.preload("delete Navigator.prototype.serial;") if offered else None
        try:
            self.load_page()
            lenses = self.browser.by_name("Your lenses", "section")
            self.assertIn(NO_SERIAL, " ".join(lenses.text.split()))
            self.screenshot("no-web-serial.png")
            self.open_file("lenses.dat", sample())
            self.assertEqual(len(self.table_rows()), 4)
            self.type_entry(1, "All range", "-1")
            self.assertEqual(self.download("lenses.dat"),
                             webpage.cli_tuned(sample(), ["1", "-1", "", "", "", "0"]))
        finally:
            if script:
                self.browser.unload(script)

    @webpage.opened(webpage.FROM_DISK)
    def test_the_site_from_disk_says_to_open_the_one_file(self):
        self.browser.driver.get("file://" + os.path.abspath(os.path.join(webpage.SITE_DIR, "index.html")))
        self.browser.wait(lambda: self.status() != "Loading…", "the site from disk stayed on Loading…")
        # Firefox alone runs the site's modules from a file: URL.
        self.assertEqual(self.status(), READY if self.engine == "firefox" else NEEDS_SERVER)
        self.screenshot("site-from-disk.png")


webpage.engine_cases(EditorPage, globals(), (webpage.SERVED, webpage.FROM_DISK))

if __name__ == "__main__":
    webpage.main()
