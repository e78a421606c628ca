// Test-only navigator.serial, injected before the page loads: one port
// whose bytes travel over a WebSocket to serial_bridge.py and on to the
// virtual adapter. It behaves as Chromium's does where the page could
// notice: open() rejects with a NetworkError when the line cannot be had,
// close() rejects while a stream is locked, a lost line errors the
// readable stream and fires "disconnect", close() resolves once the line
// is free for another program. The test sets
// window.__fakeSerialConfig = {info: {usbVendorId, usbProductId}, bridge:
// "HOST:PORT" (for a page from disk)} first and reads
// window.__fakeSerialLog. With no_storage the page finds no IndexedDB (a
// private window); with fail_close the port never closes; with hang_close
// neither the reader's cancel nor the port's close ever ends. With old_tab
// the backups store stays open as the page's first version held it, never
// letting go for a newer one, until window.__oldTab.close().
(function () {
  "use strict";
  const config = window.__fakeSerialConfig || {};
  const log = { opens: [], closes: 0, requests: 0 };
  window.__fakeSerialLog = log;

  function lost() {
    return new DOMException("The device has been lost.", "NetworkError");
  }

  class FakeSerialPort extends EventTarget {
    constructor(info) {
      super();
      this._info = info || {};
      this._ws = null;
      this._opened = false;
      this.readable = null;
      this.writable = null;
    }

    getInfo() {
      return Object.assign({}, this._info);
    }

    async open(options) {
      if (this._ws) throw new DOMException("The port is already open.", "InvalidStateError");
      if (!options || !options.baudRate) throw new TypeError("baudRate is required");
      const scheme = location.protocol === "https:" ? "wss://" : "ws://";
      // A page opened from disk has no host: the test names the bridge's.
      const host = config.bridge || location.host;
      const ws = new WebSocket(scheme + host + "/serial?baud=" + options.baudRate);
      ws.binaryType = "arraybuffer";
      await new Promise(function (resolve, reject) {
        ws.onopen = resolve;
        ws.onerror = function () {
          reject(new DOMException("Failed to open serial port.", "NetworkError"));
        };
      });
      this._ws = ws;
      this._opened = true;
      log.opens.push(options.baudRate);
      const port = this;
      let controller = null;
      this.readable = new ReadableStream({
        start(c) { controller = c; },
        cancel() { controller = null; return config.hang_close ? new Promise(function () { }) : undefined; },
      });
      ws.onmessage = function (e) {
        if (controller) controller.enqueue(new Uint8Array(e.data));
      };
      ws.onclose = function () {
        if (port._ws !== ws) return;  // closed by close() below
        port._ws = null;
        if (controller) controller.error(lost());
        controller = null;
        // As the browser does: the event is the port's, bubbling up.
        const gone = new Event("disconnect", { bubbles: true });
        Object.defineProperty(gone, "target", { value: port });
        navigator.serial.dispatchEvent(gone);
      };
      this.writable = new WritableStream({
        write(chunk) {
          if (ws.readyState !== WebSocket.OPEN) throw lost();
          ws.send(chunk);
        },
      });
    }

    async close() {
      if (config.hang_close) return new Promise(function () { });
      if (config.fail_close) throw new DOMException("The port could not be closed.", "NetworkError");
      if ((this.readable && this.readable.locked) || (this.writable && this.writable.locked))
        throw new TypeError("Cannot close a locked stream");
      const ws = this._ws;
      this._ws = null;
      this.readable = null;
      this.writable = null;
      if (this._opened) log.closes += 1;  // also after the line was lost
      this._opened = false;
      if (!ws || ws.readyState === WebSocket.CLOSED) return;
      // As the browser's close() does, resolve once the line is let go: the
      // bridge closes the terminal before it closes the socket.
      await new Promise(function (resolve) {
        ws.onclose = resolve;
        if (ws.readyState === WebSocket.OPEN) ws.send("close");
      });
    }

    async forget() { }
  }

  const serial = new EventTarget();
  let granted = null;
  serial.requestPort = async function () {
    log.requests += 1;
    granted = granted || new FakeSerialPort(config.info);
    return granted;
  };
  serial.getPorts = async function () {
    return granted ? [granted] : [];
  };
  Object.defineProperty(navigator, "serial", { value: serial, configurable: true });
  if (config.old_tab) {
    const open = indexedDB.open("pelagoxcon", 1);
    open.onsuccess = function () { window.__oldTab = open.result; };
  }
  if (config.no_storage) Object.defineProperty(window, "indexedDB", { value: undefined, configurable: true });
})();
