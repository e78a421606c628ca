"""The web page's site and a serial line to the virtual adapter, from one
127.0.0.1 origin (the page's Content-Security-Policy allows 'self' only).

Plain HTTP GETs serve the static site. A WebSocket on /serial?baud=N opens
the virtual adapter's pseudo-terminal as the console tool would (raw, at the
page's baud rate), and carries its bytes both ways until either side closes:
the page's end asks for a close with the text message "close", and the
bridge closes the terminal before it closes the WebSocket, so that when the
page's close() resolves, the port is free for the console tool; the
terminal dying (a hang-up) closes the WebSocket, which the test's
navigator.serial turns into a lost device.

Under load the time goes to waiting for a turn on the CPU, so the bridge
does the least per byte: bytes read from the terminal meanwhile go to the
page as one message, and Nagle's delay is off.
"""

import asyncio
import mimetypes
import os
import socket
import termios
import threading
import tty
import urllib.parse
from http import HTTPStatus

import websockets

SERIAL_PATH = "/serial"
READ_CHUNK = 4096
SPEEDS = {115200: termios.B115200, 921600: getattr(termios, "B921600", termios.B115200)}
START_TIMEOUT_S = 10
CLOSE_REQUEST = "close"  # the text message with which the page closes its line
# The bridge stands in for a USB link, which carries bytes whatever else the
# computer is doing: where the user may (root, or CAP_SYS_NICE) it runs ahead
# of other work, as the virtual adapter does on its own, so that a busy
# machine slows the browser and the page, not the hardware's stand-ins.
HARDWARE_NICE = -10  # the virtual adapter's kHardwareNice


def run_as_hardware(thread_id):
    """Raises the priority of a thread to HARDWARE_NICE where the user may;
    elsewhere it runs as it is."""
    try:
        os.setpriority(os.PRIO_PROCESS, thread_id, HARDWARE_NICE)
    except OSError:
        pass


# What doc/web.md asks of a host: no framing by another site (browsers
# ignore frame-ancestors in a page's own policy), no guessed types.
HOSTING_HEADERS = [
    ("Content-Security-Policy", "frame-ancestors 'none'"),
    ("X-Frame-Options", "DENY"),
    ("X-Content-Type-Options", "nosniff"),
]


class SiteServer:
    """Serves `root` and bridges /serial to `pty_path` (set per test)."""

    def __init__(self, root):
        self.root = os.path.realpath(root)
        self.pty_path = None
        self.refuse_open = False  # the browser's open() rejects, as for a held port
        self.bauds = []  # the rate of every open, in order
        self.open_lines = 0  # lines open right now
        self._lines_changed = threading.Condition()
        self._loop = None
        self._server = None
        self._thread = None
        self.port = None

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    def start(self):
        ready = threading.Event()
        self._thread = threading.Thread(target=self._run, args=(ready,), daemon=True)
        self._thread.start()
        if not ready.wait(START_TIMEOUT_S):
            raise RuntimeError("site server did not start")
        return self

    def stop(self):
        if self._loop:
            asyncio.run_coroutine_threadsafe(self._close(), self._loop).result(START_TIMEOUT_S)
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(START_TIMEOUT_S)

    def wait_lines_closed(self, timeout):
        """Waits until no line is open (the console may then open the
        terminal); whether none is."""
        with self._lines_changed:
            return self._lines_changed.wait_for(lambda: self.open_lines == 0, timeout)

    def _count_line(self, change):
        with self._lines_changed:
            self.open_lines += change
            self._lines_changed.notify_all()

    async def _close(self):
        self._server.close()
        await self._server.wait_closed()

    def _run(self, ready):
        run_as_hardware(threading.get_native_id())
        self._loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self._loop)
        self._server = self._loop.run_until_complete(
            websockets.serve(self._bridge, "127.0.0.1", 0, process_request=self._http,
                             max_size=None, compression=None))
        self.port = self._server.sockets[0].getsockname()[1]
        ready.set()
        self._loop.run_forever()

    async def _http(self, path, headers):
        url = urllib.parse.urlsplit(path)
        if url.path == SERIAL_PATH:
            if self.refuse_open or not self.pty_path:
                return HTTPStatus.FORBIDDEN, [], b""
            return None  # go on with the WebSocket handshake
        rel = urllib.parse.unquote(url.path).lstrip("/") or "index.html"
        file = os.path.realpath(os.path.join(self.root, rel))
        if not file.startswith(self.root + os.sep) or not os.path.isfile(file):
            return HTTPStatus.NOT_FOUND, [("Content-Type", "text/plain")], b"not found\n"
        kind = "application/wasm" if file.endswith(".wasm") else (
            mimetypes.guess_type(file)[0] or "application/octet-stream")
        if file.endswith((".js", ".mjs")):
            kind = "text/javascript"
        with open(file, "rb") as f:
            body = f.read()
        return HTTPStatus.OK, [("Content-Type", kind), ("Cache-Control", "no-store"), *HOSTING_HEADERS], body

    async def _bridge(self, ws, path):
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(path).query)
        baud = int(query.get("baud", ["115200"])[0])
        self.bauds.append(baud)
        fd = os.open(self.pty_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd)
        attrs = termios.tcgetattr(fd)
        attrs[4] = attrs[5] = SPEEDS.get(baud, termios.B115200)
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        self._count_line(+1)
        sock = ws.transport.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        loop = asyncio.get_running_loop()
        from_adapter = asyncio.Queue()
        closed = False

        def close_line():
            nonlocal closed
            if closed:
                return
            closed = True
            loop.remove_reader(fd)
            os.close(fd)
            self._count_line(-1)

        def readable():
            try:
                data = os.read(fd, READ_CHUNK)
            except BlockingIOError:
                return
            except OSError:
                data = b""  # EIO: the adapter hung up
            from_adapter.put_nowait(data)
            if not data:
                loop.remove_reader(fd)

        async def to_page():
            while True:
                data = await from_adapter.get()
                # What came in while the last message was sent goes as one.
                while data and not from_adapter.empty():
                    more = from_adapter.get_nowait()
                    if not more:
                        from_adapter.put_nowait(more)
                        break
                    data += more
                if not data:
                    await ws.close(code=1011, reason="line hung up")
                    return
                await ws.send(data)

        loop.add_reader(fd, readable)
        sender = asyncio.ensure_future(to_page())
        try:
            async for message in ws:
                if message == CLOSE_REQUEST:
                    break
                data = memoryview(message if isinstance(message, bytes) else message.encode())
                while data:
                    try:
                        data = data[os.write(fd, data):]
                    except BlockingIOError:
                        await asyncio.sleep(0.001)
        except (websockets.ConnectionClosed, OSError):
            pass
        finally:
            sender.cancel()
            close_line()
            await ws.close()
