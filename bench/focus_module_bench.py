"""The page's module measuring a photo in a browser engine against
`pelagoxcon-focus measure` on the same photo, in one run: the runs of the
two alternate, so that both see the same load, and the best of each
counts. The module is loaded and warmed by the first run before it is
timed, as the page loads it long before a photo is chosen. Run by
bench/focus-bench.

    focus_module_bench.py PHOTO RUNS ENGINE

with PELAGO_SITE_DIR and PELAGO_FOCUS_EXE set.
"""
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests", "web"))
import webpage  # noqa: E402

LOAD = """
const done = arguments[arguments.length - 1];
(async () => {
  window.benchCore = await (await import('./pelago.js')).default();
  window.benchBytes = new Uint8Array(await (await fetch('photo.jpg')).arrayBuffer());
})().then(() => done(null), (error) => done(String(error)));"""
# As web/focus.js measures a photo: the file's bytes in, decoded and measured.
MEASURE = """
const core = window.benchCore, bytes = window.benchBytes, start = performance.now();
core.HEAPU8.set(bytes, core._focus_photo_bytes(bytes.length));
core._focus_measure();
return [(performance.now() - start) / 1000, core.UTF8ToString(core._focus_measured_line())];"""


def main(photo, runs, engine):
    served = tempfile.mkdtemp(prefix="pelago-focus-bench-")
    for name in os.listdir(webpage.SITE_DIR):
        os.symlink(os.path.join(webpage.SITE_DIR, name), os.path.join(served, name))
    os.symlink(os.path.abspath(photo), os.path.join(served, "photo.jpg"))
    site = webpage.Site(served)
    browser = webpage.Browser(engine)
    module, console = [], []
    try:
        browser.driver.get(site.url)
        browser.driver.set_script_timeout(600)
        failed = browser.driver.execute_async_script(LOAD)
        if failed:
            sys.exit(f"the module did not load: {failed}")
        browser.driver.execute_script(MEASURE)
        for _ in range(runs):
            start = time.perf_counter()
            printed = subprocess.run([os.environ["PELAGO_FOCUS_EXE"], "measure", photo], capture_output=True,
                                     text=True, timeout=600).stdout.strip()
            console.append(time.perf_counter() - start)
            seconds, line = browser.driver.execute_script(MEASURE)
            module.append(seconds)
    finally:
        browser.close()
        site.close()
        for name in os.listdir(served):
            os.unlink(os.path.join(served, name))
        os.rmdir(served)
    same = "same line" if line == printed else f"lines differ: {line!r} / {printed!r}"
    print(f"{os.path.basename(photo):<10} {engine:<9} {min(module):9.3f} {min(console):10.3f} "
          f"{min(module) / min(console):7.2f}  {same}")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), sys.argv[3])
