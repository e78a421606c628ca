// Whether this browser can reach serial ports (the Web Serial API). What
// needs it is shown or hidden from the first paint on: start-check.js marks
// the page with the class no-serial, and index.html holds the notice.
export function hasWebSerial() {
  return typeof navigator !== 'undefined' && 'serial' in navigator && !!navigator.serial;
}
