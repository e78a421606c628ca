// The adapter part of the page. Each action runs the console program's own
// driver in the module (src/web/AdapterApi.h) on the port the user picked,
// so the checks, the backups and the texts are the console's; this module
// only picks the port, hands files to the module, shows what it prints and
// keeps the backups it makes.
import { loadCore, onCoreOutput } from './core.js';
import { loadImage, currentImage, currentFileName, saveRefusal, showStatus } from './editor.js';
import { hasWebSerial } from './serial-support.js';
import { storeBackup, listBackups, downloadBytes } from './backups.js';

const FIRMWARE_DIR = '/firmware';
const SETTINGS_DIR = '/settings';
const TIMING_LINE = /^done in .* seconds$/;
const REASON_LINE = /^Reason: /;
const IDENTITY_FIRST = /^Bootloader Version: /;
const NEWLINE = 10;
const LOG_DRAW_MS = 100;

let core = null;
let el = null;
let busy = false;
let connected = false;
let portLost = false;  // the browser said the chosen port went away
let run = null;  // the running action's output lines
let pending = [];  // bytes of the line being written, from either stream
let pendingNode = null;  // where that line shows
let undrawn = '';  // whole lines not in the Log yet
let drawTimer = null;

// Wires the adapter part; resolves once the module is loaded. Does nothing
// but hide the controls in a browser without Web Serial.
export async function initAdapter(doc = document) {
  el = {
    doc,
    controls: doc.getElementById('adapter-controls'),
    link: doc.getElementById('link'),
    connect: doc.getElementById('connect'),
    disconnect: doc.getElementById('disconnect'),
    reset: doc.getElementById('reset-adapter'),
    identity: doc.getElementById('identity'),
    firmware: doc.getElementById('firmware-file'),
    firmwareName: doc.getElementById('firmware-name'),
    update: doc.getElementById('update-firmware'),
    read: doc.getElementById('read-settings'),
    write: doc.getElementById('write-settings'),
    progress: doc.getElementById('progress'),
    log: doc.getElementById('log'),
    backups: doc.getElementById('backups'),
    noBackups: doc.getElementById('no-backups'),
    // The editor's controls; its Status stays outside, so that a screen
    // reader hears how every action ended.
    editorControls: doc.querySelectorAll('#editor .toolbar, #editor .table-wrap'),
  };
  if (!hasWebSerial()) {
    el.controls.hidden = true;
    return;
  }
  onCoreOutput(logByte);
  core = await loadCore();
  core.pelagoKeepBackup = keepBackupBeforeErase;
  core.pelagoProgress = showProgress;
  core.pelagoCommand = logCommand;
  el.connect.addEventListener('click', connect);
  el.disconnect.addEventListener('click', () => act(disconnect));
  el.reset.addEventListener('click', () => act(() => runAction('adapter_reset')));
  el.firmware.addEventListener('change', () => {
    const file = el.firmware.files[0];
    el.firmwareName.textContent = file ? file.name : 'No file chosen';
    updateControls();
  });
  el.update.addEventListener('click', () => act(updateFirmware));
  el.read.addEventListener('click', () => act(readSettings));
  el.write.addEventListener('click', () => act(writeSettings));
  // A port's disconnect event bubbles up here with the port as its target.
  navigator.serial.addEventListener('disconnect', (event) => {
    if (event.target !== core.pelagoSerial.port) return;
    portLost = true;
    if (!busy) act(async () => {
      await forgetPort();
      showStatus('The adapter\'s port went away: plug the adapter in and Connect again');
    });
  });
  window.addEventListener('beforeunload', (event) => {
    if (!busy) return;
    event.preventDefault();
    event.returnValue = '';
  });
  await mirrorBackups();
  updateControls();
}

function updateControls() {
  el.connect.disabled = busy;
  el.link.disabled = busy;
  el.disconnect.disabled = busy || !connected;
  el.reset.disabled = busy || !connected;
  el.read.disabled = busy || !connected;
  el.write.disabled = busy || !connected;
  el.firmware.disabled = busy || !connected;
  el.update.disabled = busy || !connected || !el.firmware.files.length;
  // The driver blanks the editor's image while it runs; no edits meanwhile.
  for (const part of el.editorControls) part.inert = busy;
  for (const button of el.backups.querySelectorAll('button')) button.disabled = busy;
}

// Runs `task` as the one operation of the page: every control that would
// start another is disabled, and leaving the page asks first.
async function act(task) {
  if (busy) return;
  busy = true;
  updateControls();
  try {
    await task();
  } catch (error) {
    showStatus(`The page failed: ${error.message}`);
  } finally {
    // A port lost meanwhile is let go; the Status keeps the run's line.
    if (portLost) await forgetPort();
    busy = false;
    updateControls();
  }
}

function connect() {
  return act(async () => {
    let port;
    try {
      // Asked first, straight from the click: the picker needs the gesture.
      port = await navigator.serial.requestPort();
    } catch (error) {
      showStatus('No port was chosen');
      return;
    }
    await core.pelagoSerial.choose(port);
    el.identity.textContent = 'Not connected';
    portLost = false;
    const status = await runAction('adapter_connect');
    connected = status === 0;
    if (connected) {
      el.identity.textContent = identityBlock(run);
    } else {
      await forgetPort();
    }
  });
}

// Releases the port (reader, writer, the port itself) and forgets it.
async function forgetPort() {
  await core.pelagoSerial.forget();
  connected = false;
  portLost = false;
  el.identity.textContent = 'Not connected';
}

async function disconnect() {
  await forgetPort();
  showStatus('Done');
}

async function updateFirmware() {
  const file = el.firmware.files[0];
  if (!file) return;
  const path = writeModuleFile(FIRMWARE_DIR, file.name, new Uint8Array(await file.arrayBuffer()));
  try {
    await runAction('adapter_update_firmware', path);
  } finally {
    core.FS.unlink(path);
  }
}

async function writeSettings() {
  const refusal = currentFileName() ? saveRefusal() : '';
  if (refusal) {
    showStatus(refusal);
    return;
  }
  const image = currentImage();
  if (!image) {
    showStatus('Open a settings file or read the settings from the adapter first');
    return;
  }
  const path = writeModuleFile(SETTINGS_DIR, currentFileName(), image);
  try {
    await runAction('adapter_write_settings', path, core._editor_holds_settings());
  } finally {
    core.FS.unlink(path);
  }
}

async function readSettings() {
  if (await runAction('adapter_read_settings') !== 0) return;
  const path = core.UTF8ToString(core._adapter_read_path());
  const name = baseName(path);
  const bytes = core.FS.readFile(path);
  let kept = true;
  try {
    await storeBackup(name, bytes);
  } catch (error) {
    kept = false;
    logLine(`This browser could not keep ${name}: ${error.message}`);
  }
  await renderBackups();
  loadImage(bytes, name);
  // Opened in the editor all the same, but the copy the page promises is missing.
  showStatus(kept ? 'Done' : `This browser could not keep ${name}; download it from the editor`);
}

// Runs one exported action of the module, its output going to the Log;
// ends with "Done" or the run's failure line in the Status. The exit status.
async function runAction(name, path, isSettings) {
  core._adapter_set_link(Number(el.link.value));
  run = [];
  showStatus('Working…');
  showProgress('', 0, 1);
  const args = [path, isSettings].filter((arg) => arg !== undefined);
  const types = args.map((arg) => (typeof arg === 'string' ? 'string' : 'number'));
  const status = await core.ccall(name, 'number', types, args, { async: true });
  endPendingLine();
  showStatus(status === 0 ? 'Done' : failureLine(run));
  return status;
}

// The line that says why a run failed: its last, leaving out the timing
// line and the reason a message already has on the line before.
function failureLine(lines) {
  const telling = lines.filter((l) => l.trim() && !TIMING_LINE.test(l) && !REASON_LINE.test(l));
  return telling.length ? telling[telling.length - 1] : 'Failed';
}

// The identity lines -i printed: from the bootloader version to the timing.
function identityBlock(lines) {
  const first = lines.findIndex((l) => IDENTITY_FIRST.test(l));
  if (first < 0) return '';
  const end = lines.findIndex((l, i) => i > first && TIMING_LINE.test(l));
  return lines.slice(first, end < 0 ? undefined : end).join('\n');
}

function writeModuleFile(dir, name, bytes) {
  try {
    core.FS.mkdir(dir);
  } catch (error) {
    // already there
  }
  const path = `${dir}/${name || 'settings.dat'}`;
  core.FS.writeFile(path, bytes);
  return path;
}

function baseName(path) {
  return path.slice(path.lastIndexOf('/') + 1);
}

// The module's keeper of each backup made before an erase: stored in the
// browser, then downloaded at once. "" when kept, else why not.
async function keepBackupBeforeErase(path, bytes) {
  const name = baseName(path);
  try {
    await storeBackup(name, bytes);
  } catch (error) {
    return `this browser could not keep it (${error.message})`;
  }
  downloadBytes(name, bytes);
  await renderBackups();
  return '';
}

// Gives the module the names (and bytes) of the backups the browser holds,
// so a new backup never takes the name of an old one.
async function mirrorBackups() {
  let backups = [];
  try {
    backups = await listBackups();
  } catch (error) {
    showStatus(`This browser keeps no backups here: ${error.message}`);
  }
  const dir = core.UTF8ToString(core._adapter_backup_dir());
  try {
    core.FS.mkdir(dir);
  } catch (error) {
    // already there
  }
  for (const backup of backups) core.FS.writeFile(`${dir}/${backup.name}`, backup.bytes);
  renderBackupList(backups);
}

async function renderBackups() {
  try {
    renderBackupList(await listBackups());
  } catch (error) {
    renderBackupList([]);
  }
}

function renderBackupList(backups) {
  const doc = el.doc;
  el.backups.replaceChildren();
  backups.forEach((backup, index) => {
    const item = doc.createElement('li');
    const name = doc.createElement('span');
    name.id = `backup-${index}`;
    name.className = 'file-name';
    name.textContent = backup.name;
    const button = doc.createElement('button');
    button.type = 'button';
    button.textContent = 'Download';
    button.setAttribute('aria-describedby', name.id);
    button.disabled = busy;
    button.addEventListener('click', () => downloadBytes(backup.name, backup.bytes));
    item.append(name, button);
    el.backups.append(item);
  });
  el.noBackups.hidden = backups.length > 0;
}

function showProgress(label, done, total) {
  const percent = total > 0 ? Math.floor((done * 100) / total) : 0;
  if (String(percent) === el.progress.getAttribute('aria-valuenow') && done !== 0) return;
  el.progress.setAttribute('aria-valuenow', String(percent));
  el.progress.setAttribute('aria-valuetext', label ? `${label.trim()} ${percent}%` : `${percent}%`);
  el.progress.firstElementChild.style.width = `${percent}%`;
}

// The Log: the two streams as a terminal shows them, one text; a line
// still being written (a prompt, a row of dots) grows in place. Drawn at
// most every LOG_DRAW_MS: a transfer prints a dot per block, and laying
// the Log out for each would cost more than the transfer's own work.
function logByte(stream, byte) {
  if (byte === null) return;
  if (byte !== NEWLINE) {
    pending.push(byte);
    scheduleLogDraw();
    return;
  }
  const line = new TextDecoder().decode(new Uint8Array(pending));
  pending = [];
  if (run) run.push(line);
  logLine(line);
}

function logLine(line) {
  undrawn += `${line}\n`;
  scheduleLogDraw();
}

function logCommand(line) {
  drawLog();
  pendingNode.remove();
  pendingNode = null;
  const node = el.doc.createElement('span');
  node.className = 'command';
  node.textContent = `$ ${line}\n`;
  el.log.append(node);
}

function scheduleLogDraw() {
  if (!drawTimer) drawTimer = setTimeout(drawLog, LOG_DRAW_MS);
}

function drawLog() {
  clearTimeout(drawTimer);
  drawTimer = null;
  if (undrawn) {
    if (pendingNode) pendingNode.before(undrawn);
    else el.log.append(undrawn);
    undrawn = '';
  }
  if (!pendingNode) {
    pendingNode = el.doc.createTextNode('');
    el.log.append(pendingNode);
  }
  pendingNode.data = new TextDecoder().decode(new Uint8Array(pending));
  el.log.scrollTop = el.log.scrollHeight;
}

// A line the run left without its line end ends with the run; the Log is
// then drawn whole.
function endPendingLine() {
  if (pending.length) logByte('out', NEWLINE);
  drawLog();
}
