// The C++ core, compiled to WebAssembly: loads the module once and wraps
// the byte and string passing of its C interface. Every rule (file format,
// ranges, texts) lives in the core; this file only moves values across.
import createPelagoModule from './pelago.js';

let modulePromise = null;
let outputListener = null;

// The module's standard output and error, byte by byte (null: flush), to
// whoever listens; a console program's output goes to the page's Log.
function output(stream) {
  return (byte) => {
    if (outputListener) outputListener(stream, byte);
  };
}

// Has fn(stream, byte) told every byte the module writes: stream is
// 'out' or 'err', byte 0..255 (or null).
export function onCoreOutput(fn) {
  outputListener = fn;
}

// The module, loaded on first use.
export function loadCore() {
  if (!modulePromise) {
    modulePromise = createPelagoModule({ stdout: output('out'), stderr: output('err') });
  }
  return modulePromise;
}

// Calls fn(pointer, length) with `bytes` copied into the module's memory.
export function withBytes(core, bytes, fn) {
  const pointer = core._malloc(Math.max(bytes.length, 1));
  try {
    core.HEAPU8.set(bytes, pointer);
    return fn(pointer, bytes.length);
  } finally {
    core._free(pointer);
  }
}

// Calls fn(pointer) with `text` as a NUL-terminated UTF-8 string.
export function withString(core, text, fn) {
  const size = core.lengthBytesUTF8(text) + 1;
  const pointer = core._malloc(size);
  try {
    core.stringToUTF8(text, pointer, size);
    return fn(pointer);
  } finally {
    core._free(pointer);
  }
}

// A copy of `size` bytes of the module's memory at `pointer`.
export function copyBytes(core, pointer, size) {
  return core.HEAPU8.slice(pointer, pointer + size);
}
