// The browser side of WebSerialPort (linked with --js-library): the port the
// page chose in the browser's picker and, while it is open, its reader, its
// writer and the bytes that arrived but were not read yet. A pump keeps one
// reader.read() pending at all times, so bytes that come after a read timed
// out are kept for the next read, never lost.
//
// The page uses Module.pelagoSerial.choose(port) after requestPort() and
// Module.pelagoSerial.forget() on Disconnect; everything else is for the C++.

mergeInto(LibraryManager.library, {
  $pelagoSerial__postset: 'Module["pelagoSerial"] = pelagoSerial;',
  $pelagoSerial: {
    // Results of open(), as the C++ side maps them.
    OPEN_OK: 0,
    OPEN_NOT_FOUND: 1,
    OPEN_FAILED: 4,
    // The browser's own buffer for each direction, in bytes.
    BUFFER_SIZE: 65536,
    // How long the page's own releases give queued bytes to reach the port.
    FLUSH_MS: 5000,
    // How long a release waits for the reader's cancel, and then for the
    // port's close: a port that never answers must not hold the page.
    CLOSE_MS: 5000,

    port: null,
    line: null,

    // Makes `port` (a SerialPort) the port the C++ opens; any open line of
    // the port chosen before is released first.
    choose: async function (port) {
      await pelagoSerial.release(pelagoSerial.FLUSH_MS);
      pelagoSerial.port = port;
    },

    // Releases the line and forgets the port (Disconnect).
    forget: async function () {
      await pelagoSerial.release(pelagoSerial.FLUSH_MS);
      pelagoSerial.port = null;
    },

    // The chosen port's USB vendor id, or -1 when it has none (a plain
    // serial port) or no port is chosen.
    usbVendor: function () {
      const port = pelagoSerial.port;
      const info = port && port.getInfo ? port.getInfo() : {};
      return typeof info.usbVendorId === "number" ? info.usbVendorId : -1;
    },

    usbProduct: function () {
      const port = pelagoSerial.port;
      const info = port && port.getInfo ? port.getInfo() : {};
      return typeof info.usbProductId === "number" ? info.usbProductId : -1;
    },

    open: async function (baud) {
      const port = pelagoSerial.port;
      if (!port) return pelagoSerial.OPEN_NOT_FOUND;
      await pelagoSerial.release(pelagoSerial.FLUSH_MS);
      try {
        await port.open({ baudRate: baud, dataBits: 8, parity: "none", stopBits: 1,
                          bufferSize: pelagoSerial.BUFFER_SIZE });
      } catch (e) {
        return e && e.name === "NotFoundError" ? pelagoSerial.OPEN_NOT_FOUND : pelagoSerial.OPEN_FAILED;
      }
      pelagoSerial.held = false;  // a close that ended late has let it go after all
      let reader, writer;
      try {
        reader = port.readable.getReader();
        writer = port.writable.getWriter();
      } catch (e) {
        if (reader) reader.releaseLock();
        try { await port.close(); } catch (ignored) { }
        return pelagoSerial.OPEN_FAILED;
      }
      const line = {
        port: port, reader: reader, writer: writer,
        chunks: [], offset: 0,  // received, not yet read; offset into chunks[0]
        failed: false,          // the port failed or vanished
        wake: null,             // resolves the wait of a read for more bytes
        queued: [], queuedBytes: 0,  // written, not yet handed to the writer
        lastWrite: Promise.resolve(),
      };
      pelagoSerial.line = line;
      pelagoSerial.pump(line);
      return pelagoSerial.OPEN_OK;
    },

    pump: async function (line) {
      try {
        for (;;) {
          const r = await line.reader.read();
          if (r.done) break;
          if (r.value && r.value.length) line.chunks.push(r.value);
          pelagoSerial.wakeUp(line);
        }
      } catch (e) {
        // The device was lost (cable pulled) or the line broke.
      }
      line.failed = true;
      pelagoSerial.wakeUp(line);
    },

    wakeUp: function (line) {
      if (line.wake) {
        const wake = line.wake;
        line.wake = null;
        wake();
      }
    },

    // Copies up to `size` received bytes to `ptr`; the count, or -1 when
    // none is left and the line failed or is closed.
    take: function (ptr, size) {
      const line = pelagoSerial.line;
      if (!line) return -1;
      let n = 0;
      while (n < size && line.chunks.length) {
        const chunk = line.chunks[0];
        const count = Math.min(size - n, chunk.length - line.offset);
        HEAPU8.set(chunk.subarray(line.offset, line.offset + count), ptr + n);
        n += count;
        line.offset += count;
        if (line.offset === chunk.length) {
          line.chunks.shift();
          line.offset = 0;
        }
      }
      return n === 0 && line.failed ? -1 : n;
    },

    // Waits up to `ms` for received bytes: 1 when some are there, 0 on
    // timeout, -1 when the line failed or is closed.
    wait: async function (ms) {
      const line = pelagoSerial.line;
      if (!line) return -1;
      pelagoSerial.send(line);  // the command whose answer is awaited
      const deadline = performance.now() + ms;
      while (!line.chunks.length && !line.failed) {
        const left = deadline - performance.now();
        if (left <= 0) {
          await pelagoSerial.settle(line);
          return line.chunks.length ? 1 : line.failed ? -1 : 0;
        }
        let timer;
        await new Promise(function (resolve) {
          line.wake = resolve;
          timer = setTimeout(resolve, left);
        });
        clearTimeout(timer);
        line.wake = null;
      }
      return line.chunks.length ? 1 : -1;
    },

    // On a busy machine the timer of a wait can run behind bytes the
    // browser has already delivered, whose read has yet to resolve: give
    // the tasks queued before a few turns, so that they count as in time.
    SETTLE_TURNS: 3,
    settle: async function (line) {
      for (let turn = 0; turn < pelagoSerial.SETTLE_TURNS && !line.chunks.length && !line.failed; ++turn) {
        await new Promise(function (resolve) {
          const channel = new MessageChannel();
          channel.port1.onmessage = resolve;
          channel.port2.postMessage(null);
        });
      }
    },

    // Queues `size` bytes from `ptr`: the count, -1 when the line failed,
    // -2 when the browser's buffer is full (await ready(), then again).
    // What is written before the next wait goes to the port as one chunk
    // (a command and its block), when the C++ side next yields.
    write: function (ptr, size) {
      const line = pelagoSerial.line;
      if (!line || line.failed) return -1;
      const desired = line.writer.desiredSize;
      if (line.queuedBytes >= pelagoSerial.BUFFER_SIZE || (desired !== null && desired <= 0)) return -2;
      line.queued.push(HEAPU8.slice(ptr, ptr + size));
      line.queuedBytes += size;
      if (line.queued.length === 1) queueMicrotask(function () { pelagoSerial.send(line); });
      return size;
    },

    // Hands the queued bytes to the writer.
    send: function (line) {
      if (!line.queued.length) return;
      let bytes = line.queued[0];
      if (line.queued.length > 1) {
        bytes = new Uint8Array(line.queuedBytes);
        let at = 0;
        for (const part of line.queued) {
          bytes.set(part, at);
          at += part.length;
        }
      }
      line.queued = [];
      line.queuedBytes = 0;
      line.lastWrite = line.writer.write(bytes).catch(function () {
        line.failed = true;
        pelagoSerial.wakeUp(line);
      });
    },

    // Waits until the writer takes more: 0, or -1 when the line failed.
    ready: async function () {
      const line = pelagoSerial.line;
      if (!line || line.failed) return -1;
      pelagoSerial.send(line);
      try {
        await line.writer.ready;
      } catch (e) {
        line.failed = true;
      }
      return line.failed ? -1 : 0;
    },

    // Waits until every queued write has gone to the port.
    drain: async function () {
      const line = pelagoSerial.line;
      if (!line) return;
      pelagoSerial.send(line);
      await line.lastWrite;
    },

    // Resolves true once `promise` settles (either way), or false after `ms`
    // without it.
    within: function (promise, ms) {
      let timer;
      return Promise.race([
        Promise.resolve(promise).then(function () { return true; }, function () { return true; }),
        new Promise(function (resolve) { timer = setTimeout(function () { resolve(false); }, ms); }),
      ]).then(function (settled) { clearTimeout(timer); return settled; });
    },

    // True while a port this page opened could not be closed: the next
    // open would fail, and only a reload frees it.
    held: false,

    // Releases the reader and the writer and closes the port, so the next
    // open (here or after a new choice) finds it free. The bytes still
    // queued go to the port first: the writer is closed, which flushes,
    // and is aborted only when that has not ended within `ms` (a port that
    // takes nothing). A close that fails, or has not ended within CLOSE_MS,
    // leaves the port held.
    release: async function (ms) {
      const line = pelagoSerial.line;
      if (!line) return;
      if (!line.failed) pelagoSerial.send(line);
      pelagoSerial.line = null;
      line.failed = true;
      pelagoSerial.wakeUp(line);
      await pelagoSerial.within(line.reader.cancel(), pelagoSerial.CLOSE_MS);
      try { line.reader.releaseLock(); } catch (e) { }
      if (!await pelagoSerial.within(line.writer.close(), ms)) {
        await pelagoSerial.within(line.writer.abort(), pelagoSerial.CLOSE_MS);
      }
      try { line.writer.releaseLock(); } catch (e) { }
      let closed = false;
      await pelagoSerial.within(line.port.close().then(function () { closed = true; }),
                                pelagoSerial.CLOSE_MS);
      pelagoSerial.held = !closed;
    },
  },

  pelago_serial_open__deps: ["$pelagoSerial"],
  pelago_serial_open: function (baud) {
    return Asyncify.handleAsync(function () { return pelagoSerial.open(baud); });
  },
  pelago_serial_close__deps: ["$pelagoSerial"],
  pelago_serial_close: function (ms) {
    return Asyncify.handleAsync(function () { return pelagoSerial.release(ms); });
  },
  pelago_serial_take__deps: ["$pelagoSerial"],
  pelago_serial_take: function (ptr, size) {
    return pelagoSerial.take(ptr, size);
  },
  pelago_serial_wait__deps: ["$pelagoSerial"],
  pelago_serial_wait: function (ms) {
    return Asyncify.handleAsync(function () { return pelagoSerial.wait(ms); });
  },
  pelago_serial_write__deps: ["$pelagoSerial"],
  pelago_serial_write: function (ptr, size) {
    return pelagoSerial.write(ptr, size);
  },
  pelago_serial_ready__deps: ["$pelagoSerial"],
  pelago_serial_ready: function () {
    return Asyncify.handleAsync(function () { return pelagoSerial.ready(); });
  },
  pelago_serial_drain__deps: ["$pelagoSerial"],
  pelago_serial_drain: function () {
    return Asyncify.handleAsync(function () { return pelagoSerial.drain(); });
  },
  pelago_serial_chosen__deps: ["$pelagoSerial"],
  pelago_serial_chosen: function () {
    return pelagoSerial.port ? 1 : 0;
  },
  pelago_serial_usb_vendor__deps: ["$pelagoSerial"],
  pelago_serial_usb_vendor: function () {
    return pelagoSerial.usbVendor();
  },
  pelago_serial_usb_product__deps: ["$pelagoSerial"],
  pelago_serial_usb_product: function () {
    return pelagoSerial.usbProduct();
  },
});
