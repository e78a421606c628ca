// The page's entry: the offline copy, the editor, then the adapter part
// (which loads settings into the editor) and the focus assistant.
import { startOffline, showVersion } from './offline.js';
import { loadCore } from './core.js';
import { initEditor, startEditor } from './editor.js';
import { initAdapter } from './adapter.js';
import { initFocus } from './focus.js';

// Tells start-check.js that the module runs.
document.documentElement.dataset.started = '';

startOffline();
initEditor()
  .then(() => loadCore())
  .then((core) => {
    showVersion(core.UTF8ToString(core._pelago_version()));
  })
  .then(() => initAdapter())
  .then(() => initFocus())
  // Every control is disabled until now, with Status "Loading…": a click
  // before its handler was attached would be lost without a word.
  .then(() => startEditor())
  .catch((error) => {
    document.getElementById('status').textContent =
      `This page could not start its WebAssembly module (${error.message}); try a current browser.`;
  });
