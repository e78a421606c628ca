// The floor of the page's transport, for the flash benchmark. Run in the
// page in two calls (an object literal, evaluated by the bench's driver):
//  record()          notes every line the test's navigator.serial opens, every
//                    chunk written and received, every close, with its time;
//  replay(log, done) plays the same conversation as a plain read-and-answer
//                    loop over the same port: each chunk written as recorded,
//                    then the recorded count of answer bytes awaited, and each
//                    of the protocol's own pauses (a recorded gap of at least
//                    PAUSE_MIN_MS: the settle, the drain and version reads'
//                    timeouts, the quiet waits, the reset) slept as long.
//                    done({ms, answers, pauses, pausedMs}) or done({error}).
({
  PAUSE_MIN_MS: 15,  // the shortest deliberate pause is 20 ms
  STEP_TIMEOUT_MS: 5000,

  record() {
    window.__benchLog = [];
    const log = (event) => window.__benchLog.push(event);
    const Plain = window.WebSocket;
    window.WebSocket = class extends Plain {
      constructor(...args) {
        super(...args);
        this.addEventListener('open', () => log({ kind: 'open', url: String(args[0]), t: performance.now() }));
        this.addEventListener('message', (e) => log({ kind: 'read', n: e.data.byteLength, t: performance.now() }));
      }

      send(data) {
        log({ kind: 'write', bytes: Array.from(new Uint8Array(data.buffer || data, data.byteOffset || 0, data.byteLength)), t: performance.now() });
        super.send(data);
      }

      close(...args) {
        log({ kind: 'close', t: performance.now() });
        super.close(...args);
      }
    };
  },

  // The recorded events as steps: open, write, expect (a count of bytes),
  // pause (ms), close.
  steps(log) {
    const steps = [];
    let pending = 0;
    let last = 0;
    for (const e of log) {
      if (e.kind === 'read') {
        pending += e.n;
        last = e.t;
        continue;
      }
      if (pending) steps.push({ kind: 'expect', n: pending });
      pending = 0;
      if (e.kind !== 'open' && e.t - last >= this.PAUSE_MIN_MS) steps.push({ kind: 'pause', ms: e.t - last });
      if (e.kind === 'open') steps.push({ kind: 'open', baud: Number(new URL(e.url).searchParams.get('baud')) });
      else if (e.kind === 'write') steps.push({ kind: 'write', bytes: new Uint8Array(e.bytes) });
      else steps.push({ kind: 'close' });
      last = e.t;
    }
    return steps;
  },

  // `promise`, or a failure saying `late` after STEP_TIMEOUT_MS.
  within(promise, late) {
    let timer;
    const timeout = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(late)), this.STEP_TIMEOUT_MS); });
    return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
  },

  async replay(log, done) {
    try {
      const steps = this.steps(log);
      window.__benchLog = [];  // the loop pays for the recording as the page did
      const [port] = await navigator.serial.getPorts();
      let reader = null;
      let writer = null;
      let buffered = 0;
      let answers = 0;
      let pauses = 0;
      let pausedMs = 0;
      const start = performance.now();
      for (const step of steps) {
        if (step.kind === 'open') {
          await port.open({ baudRate: step.baud });
          reader = port.readable.getReader();
          writer = port.writable.getWriter();
          buffered = 0;
        } else if (step.kind === 'write') {
          await writer.write(step.bytes);
        } else if (step.kind === 'pause') {
          pauses += 1;
          pausedMs += step.ms;
          await new Promise((resolve) => setTimeout(resolve, step.ms));
        } else if (step.kind === 'expect') {
          answers += 1;
          while (buffered < step.n) {
            const { value, done: ended } = await this.within(reader.read(), `answer ${answers}: ${buffered} of ${step.n} bytes`);
            if (ended) throw new Error('the line closed');
            buffered += value.length;
          }
          buffered -= step.n;
        } else {
          reader.releaseLock();
          writer.releaseLock();
          await port.close();
        }
      }
      done({ ms: performance.now() - start, answers, pauses, pausedMs });
    } catch (error) {
      done({ error: String(error) });
    }
  },
})
