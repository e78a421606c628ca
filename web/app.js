// The page's entry: the adapter section's browser check, then the editor.
import { showSerialSupport } from './serial-support.js';
import { initEditor } from './editor.js';

showSerialSupport();
initEditor().catch((error) => {
  document.getElementById('status').textContent =
    `This page could not start its WebAssembly module (${error.message}); try a current browser.`;
});
