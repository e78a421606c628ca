"""One full firmware update from the web page (headless Chromium, the test
bridge, the virtual adapter) and one from the console tool, each on a fresh
virtual adapter answering after LATENCY_MS, printed as one row with the
ratio of the two wall times. Run by bench/flash-bench.

    flash_bench.py FIRMWARE LATENCY_MS

with PELAGO_SITE_DIR, PELAGO_EXE and PELAGO_SIM_EXE set as for the tests.
"""
import os
import sys
import time
import unittest

import webpage
from adapter_rig import ADAPTER_USB, AdapterPage, VirtualAdapter, cli


def main(firmware, latency):
    try:
        webpage.require_site()
    except unittest.SkipTest as reason:
        print(f"web row skipped: {reason}")
        return 0
    page = AdapterPage()
    try:
        adapter = VirtualAdapter(page.work, "--delay", latency)
        page.server.pty_path = adapter.pty
        page.load(ADAPTER_USB)
        page.act("Connect")
        page.choose_file("Firmware file", firmware)
        web = page.act("Update firmware")
        web_status = page.status()
        adapter.stop()

        adapter = VirtualAdapter(page.work, "--delay", latency)
        start = time.monotonic()
        status, out = cli(adapter, "-f", firmware)
        console = time.monotonic() - start
        adapter.stop()
    finally:
        page.close()
    if web_status != "Done" or status != 0:
        print(f"an update failed: page said {web_status!r}; console:\n{out}", file=sys.stderr)
        return 1
    label = f"{latency} ms, web / console"
    print(f"{label:<26} {web * 1000:8.0f} ms {console * 1000:8.0f} ms  ratio {web / console:.2f}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(os.path.abspath(sys.argv[1]), sys.argv[2]))
