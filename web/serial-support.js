// Whether this browser can reach serial ports (the Web Serial API), and the
// message the adapter section shows when it cannot.
export const NO_WEB_SERIAL_TEXT =
  'This browser cannot reach serial ports. Use Chrome, Edge, Opera or Firefox (153 or later) on a desktop computer; ' +
  'the lens editor works here.';

export function hasWebSerial() {
  return typeof navigator !== 'undefined' && 'serial' in navigator && !!navigator.serial;
}

// Shows the message in the adapter section when Web Serial is missing;
// returns whether the adapter can be reached.
export function showSerialSupport(documentRef = document) {
  const supported = hasWebSerial();
  const notice = documentRef.getElementById('serial-unsupported');
  notice.textContent = supported ? '' : NO_WEB_SERIAL_TEXT;
  notice.hidden = supported;
  return supported;
}
