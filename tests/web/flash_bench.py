"""Full firmware updates from the web page (a browser engine, the test bridge,
the virtual adapter), each against the console tool and against a plain
JavaScript read-and-answer loop that replays the page's own conversation
over the same transport (bench/plain_loop.js), each on a fresh virtual
adapter answering after LATENCY_MS. Prints the median of RUNS runs as two
rows: web / console, and the page's overhead, page / plain loop (the part
the page itself can change). Run by bench/flash-bench.

    flash_bench.py FIRMWARE LATENCY_MS [RUNS] [ENGINE]

with PELAGO_SITE_DIR, PELAGO_EXE and PELAGO_SIM_EXE set as for the tests.
ENGINE is one of ENGINES (default chromium).
"""
import os
import statistics
import sys
import time
import unittest

import webpage
from adapter_rig import ADAPTER_USB, AdapterPage, VirtualAdapter, cli

PLAIN_LOOP = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                          "bench", "plain_loop.js")
# The engines whose page reaches serial ports (Web Serial).
ENGINES = ("chromium", "firefox")
DEFAULT_RUNS = 5


class BenchFailed(Exception):
    pass


CLOCK_CLICK = """
window.__benchClickAt = null;
document.addEventListener('click', () => { window.__benchClickAt = performance.now(); }, {capture: true, once: true});
"""


def page_update(page, firmware, latency):
    """One update from the page on a fresh adapter: (seconds as the user
    waits, seconds on the page's clock); the recorded conversation stays in
    the page for the loop."""
    adapter = VirtualAdapter(page.work, "--delay", latency)
    try:
        page.server.pty_path = adapter.pty
        page.load(ADAPTER_USB)
        page.act("Connect")
        with open(PLAIN_LOOP) as f:
            page.driver.execute_script(f"window.__bench = {f.read()};")
        page.driver.execute_script("window.__bench.record()")
        page.choose_file("Firmware file", firmware)
        # The page's own time runs from its click to its idle controls, on
        # its own clock: the automation's round trips are not the page's.
        page.driver.execute_script(CLOCK_CLICK)
        seconds = page.act("Update firmware")
        if page.status() != "Done":
            raise BenchFailed(f"the page said {page.status()!r}:\n{page.text('Log')}")
        clicked = page.driver.execute_script("return window.__benchClickAt")
        return seconds, (page.idle_at - clicked) / 1000
    finally:
        adapter.stop()


def plain_loop(page, latency):
    """The page's last update replayed by the plain loop on a fresh adapter:
    (seconds, its answers, pauses and their ms)."""
    adapter = VirtualAdapter(page.work, "--delay", latency)
    try:
        page.server.pty_path = adapter.pty
        page.driver.set_script_timeout(300)
        result = page.driver.execute_async_script(
            "window.__bench.replay(window.__benchLog, arguments[arguments.length - 1])")
        if "error" in result:
            raise BenchFailed(f"the plain loop failed: {result['error']}")
        return result["ms"] / 1000, result["answers"], result["pauses"], result["pausedMs"]
    finally:
        adapter.stop()


def console_update(page, firmware, latency):
    adapter = VirtualAdapter(page.work, "--delay", latency)
    try:
        start = time.monotonic()
        status, out = cli(adapter, "-f", firmware)
        seconds = time.monotonic() - start
    finally:
        adapter.stop()
    if status != 0:
        raise BenchFailed(f"the console's update failed:\n{out}")
    return seconds


def row(label, runs):
    """'label  a ms  b ms  ratio r (lo-hi)': medians of (a, b) pairs."""
    ratios = [a / b for a, b in runs]
    a = statistics.median(x for x, _ in runs)
    b = statistics.median(y for _, y in runs)
    return (f"{label:<34} {a * 1000:8.0f} ms {b * 1000:8.0f} ms  ratio {statistics.median(ratios):.2f}"
            f" ({min(ratios):.2f}-{max(ratios):.2f})")


def main(firmware, latency, runs, engine):
    try:
        webpage.require_site()
    except unittest.SkipTest as reason:
        print(f"web rows skipped: {reason}")
        return 0
    load_before = os.getloadavg()[0]
    page = AdapterPage(engine)
    console, loop, waited, failures = [], [], [], []
    try:
        # On a loaded machine the page can miss an answer's 100 ms deadline:
        # such a run is retried (at most `runs` times) and counted.
        while len(loop) < runs:
            try:
                web, in_page = page_update(page, firmware, latency)
            except BenchFailed as failure:
                failures.append(str(failure).splitlines()[0])
                if len(failures) > runs:
                    raise
                continue
            plain, answers, pauses, paused = plain_loop(page, latency)
            console.append((web, console_update(page, firmware, latency)))
            loop.append((in_page, plain))
            waited.append((web, plain))
    except BenchFailed as failure:
        print(failure, file=sys.stderr)
        return 1
    finally:
        page.close()
    retried = f", {len(failures)} failed runs retried ({failures[0]})" if failures else ""
    print(f"{engine}, {latency} ms reply latency, median of {runs} runs, load {load_before:.1f} to {os.getloadavg()[0]:.1f}{retried}:")
    # A page that stalled 15 ms or more shows as more pauses than the protocol's.
    print(f"  (the plain loop: {answers} answers, {pauses} pauses {paused:.0f} ms)")
    print(row("  web / console", console))
    print(row("  page / plain loop", loop))
    # The same, timed from the driver's side: its click and its idle wait.
    print(row("  page + automation / plain loop", waited))
    return 0


if __name__ == "__main__":
    if not 3 <= len(sys.argv) <= 5 or (len(sys.argv) == 5 and sys.argv[4] not in ENGINES):
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(os.path.abspath(sys.argv[1]), sys.argv[2],
                  int(sys.argv[3]) if len(sys.argv) > 3 else DEFAULT_RUNS,
                  sys.argv[4] if len(sys.argv) > 4 else "chromium"))
