// The adapter part of the page. Each action runs the console program's own
// driver in the module (src/web/AdapterApi.h) on the port the user picked,
// so the checks, the backups and the texts are the console's; this module
// only picks the port, hands files to the module, shows what it prints and
// keeps the backups it makes.
import { loadCore, onCoreOutput, withString } from './core.js';
import {
  loadImage, currentImage, currentFileName, saveRefusal, showStatus, ask, mayDiscardEdits, hasImage,
  confirmWrite, writtenToAdapter, EDITOR_CHANGED, hasChanges, setEntryText, undoLens,
} from './editor.js';
import { hasWebSerial } from './serial-support.js';
import { backupsKept, storeBackup, deleteBackup, listBackups, downloadBytes, watchBackups } from './backups.js';

const FIRMWARE_DIR = '/firmware';
const SETTINGS_DIR = '/settings';
const NEWLINE = 10;
const LOG_DRAW_MS = 100;
// adapter_outcome and adapter_way_back (src/web/AdapterApi.h).
const OUTCOME_COMPLETED = 0;
const WAY_INSTALL_FIRMWARE = 1;
const WAY_WRITE_BACKUP = 2;
// adapter_connection (src/web/AdapterApi.h): no port chosen, not opened, no answer.
const CONNECTION_FAILED = [2, 3, 4];
const CONNECTION_NO_ANSWER = 4;
// Where an action's progress shows: beside the buttons that start it.
const LENSES = 'lenses';
const MAINTENANCE = 'maintenance';
const FRAMED_TEXT =
  'This page is shown inside another site; open it in its own tab to reach the adapter.';
const PORT_HELD_TEXT = 'This page still holds the port; reload the page to free it.';

let core = null;
let el = null;
let busy = false;
let connected = false;
let progress = { percent: 0, text: '0%' };
let portLost = false;  // the browser said the chosen port went away
let pending = [];  // bytes of the line being written, from either stream
let pendingNode = null;  // where that line shows
let undrawn = '';  // whole lines not in the Log yet
let drawTimer = null;
let runStart = null;  // where the running action's command line goes in the Log
let storageKept = true;  // the browser keeps backups (IndexedDB opens)
let installOffered = false;  // "Install firmware anyway" is the way back
let newestBackup = '';  // marked after a read that found no valid settings
let place = LENSES;  // the part whose action runs or ran last
let backupsNotice = '';  // why the browser's backups are out of reach now

// Wires the adapter part; resolves once the module is loaded. Does nothing
// where no port can be reached: start-check.js hid the controls already.
export async function initAdapter(doc = document) {
  el = {
    doc,
    link: doc.getElementById('link'),
    connect: doc.getElementById('connect'),
    disconnect: doc.getElementById('disconnect'),
    connection: doc.getElementById('connection'),
    noAnswerHelp: doc.getElementById('no-answer-help'),
    reset: doc.getElementById('reset-adapter'),
    identity: doc.getElementById('identity'),
    firmware: doc.getElementById('firmware-file'),
    firmwareName: doc.getElementById('firmware-name'),
    update: doc.getElementById('update-firmware'),
    install: doc.getElementById('install-firmware'),
    read: doc.getElementById('read-settings'),
    write: doc.getElementById('write-settings'),
    progress: doc.getElementById('progress'),
    progressSlots: {
      [LENSES]: doc.getElementById('lens-progress'),
      [MAINTENANCE]: doc.getElementById('maintenance-progress'),
    },
    status: doc.getElementById('status'),
    maintenanceStatus: doc.getElementById('maintenance-status'),
    log: doc.getElementById('log'),
    backups: doc.getElementById('backups'),
    noBackups: doc.getElementById('no-backups'),
    noBackupsText: doc.getElementById('no-backups').textContent,
    noStorage: doc.getElementById('no-storage'),
    offer: doc.getElementById('backup-offer'),
    offerDownload: doc.getElementById('download-backup'),
    offerCancel: doc.getElementById('cancel-backup'),
    arrivedDialog: doc.getElementById('backup-arrived-dialog'),
    arrivedQuestion: doc.getElementById('backup-arrived-question'),
    writeDialog: doc.getElementById('write-backup-dialog'),
    writeQuestion: doc.getElementById('write-backup-question'),
    deleteDialog: doc.getElementById('delete-backup-dialog'),
    deleteQuestion: doc.getElementById('delete-backup-question'),
    notice: doc.getElementById('serial-unsupported'),
    // The editor's controls; its Status stays outside, so that a screen
    // reader hears how every action ended.
    editorControls: doc.querySelectorAll('#editor .toolbar, #editor .table-wrap'),
  };
  // Another site framing the page could lend it its own serial permission.
  if (window.top !== window) {
    el.notice.textContent = FRAMED_TEXT;
    return;
  }
  if (!hasWebSerial()) return;
  onCoreOutput(logByte);
  core = await loadCore();
  core.pelagoKeepBackup = keepBackupBeforeErase;
  core.pelagoAskWriteBackup = (question) => {
    el.writeQuestion.textContent = question;
    return ask(el.writeDialog);
  };
  core.pelagoProgress = showProgress;
  core.pelagoCommand = logCommand;
  el.connect.addEventListener('click', connect);
  el.disconnect.addEventListener('click', () => act(disconnect));
  el.reset.addEventListener('click', () => act(() => runAction('adapter_reset'), MAINTENANCE));
  el.firmware.addEventListener('change', () => {
    const file = el.firmware.files[0];
    el.firmwareName.textContent = file ? file.name : 'No file chosen';
    updateControls();
  });
  el.update.addEventListener('click', () => act(() => updateFirmware('adapter_update_firmware'), MAINTENANCE));
  el.install.addEventListener('click', () => act(() => updateFirmware('adapter_install_firmware'), MAINTENANCE));
  el.read.addEventListener('click', async () => {
    // Asked before the port is opened: the read replaces the editor's file.
    if (!busy && await mayDiscardEdits()) act(readSettings);
  });
  el.write.addEventListener('click', askAndWriteSettings);
  doc.addEventListener(EDITOR_CHANGED, () => updateControls());
  // A maintenance action's outcome also shows beside its buttons, far from
  // the Status; screen readers hear it once, from the Status.
  new MutationObserver(() => {
    if (place === MAINTENANCE) el.maintenanceStatus.textContent = el.status.textContent;
  }).observe(el.status, { childList: true, characterData: true, subtree: true });
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
  watchBackups(showBackupsNotice);
  storageKept = await backupsKept();
  el.noStorage.hidden = storageKept;
  await mirrorBackups();
  updateControls();
}

function updateControls() {
  el.connect.disabled = busy;
  el.link.disabled = busy;
  el.disconnect.disabled = busy || !connected;
  el.reset.disabled = busy || !connected;
  el.read.disabled = busy || !connected;
  el.write.disabled = busy || !connected || !hasImage();
  el.firmware.disabled = busy || !connected;
  el.update.disabled = busy || !connected || !el.firmware.files.length;
  el.install.hidden = !installOffered;
  el.install.disabled = el.update.disabled;
  // The driver blanks the editor's image while it runs; no edits meanwhile.
  for (const part of el.editorControls) part.inert = busy;
  for (const button of el.backups.querySelectorAll('button')) {
    button.disabled = busy || (button.dataset.needsAdapter === 'yes' && !connected);
  }
}

// Runs `task` as the one operation of the page: every control that would
// start another is disabled, and leaving the page asks first. Its progress
// and outcome show in `part` (LENSES or MAINTENANCE).
async function act(task, part = LENSES) {
  if (busy) return;
  busy = true;
  place = part;
  el.progressSlots[part].append(el.progress);
  el.maintenanceStatus.hidden = part !== MAINTENANCE;
  el.maintenanceStatus.textContent = '';
  updateControls();
  try {
    await task();
  } catch (error) {
    showStatus(`The page failed: ${error.message}`);
  } finally {
    // A port lost meanwhile is let go; the Status keeps the run's line.
    if (portLost) await forgetPort();
    if (core.pelagoSerial.held) showStatus(PORT_HELD_TEXT);
    busy = false;
    el.progress.hidden = true;
    updateControls();
  }
}

// Connect, also from the focus assistant, which goes on once it ends.
export function connectAdapter() {
  return connect();
}

// Whether this page reaches the adapter's port at all.
export function adapterReachable() {
  return core !== null;
}

function connect() {
  return act(async () => {
    let port;
    try {
      // Asked first, straight from the click: the picker needs the gesture.
      port = await navigator.serial.requestPort();
    } catch (error) {
      core._adapter_no_port_chosen();
      showConnection();
      showStatus(el.connection.textContent);
      return;
    }
    await core.pelagoSerial.choose(port);
    el.identity.textContent = 'Not connected';
    portLost = false;
    newestBackup = '';  // named for the adapter connected before
    const status = await runAction('adapter_connect');
    connected = status === 0;
    // An adapter without firmware takes the install as soon as a file is chosen.
    installOffered = Boolean(core._adapter_way_back() & WAY_INSTALL_FIRMWARE);
    showConnection();
    if (connected) {
      el.identity.textContent = core.UTF8ToString(core._adapter_identity_text());
    } else {
      await forgetPort();
    }
  });
}

// Releases the port (reader, writer, the port itself) and forgets it.
async function forgetPort() {
  await core.pelagoSerial.forget();
  core._adapter_port_released();
  connected = false;
  portLost = false;
  el.identity.textContent = 'Not connected';
  showConnection();
}

// The Connection line beside Connect, as the module says it, and what to
// check when the adapter did not answer.
function showConnection() {
  const connection = core._adapter_connection();
  el.connection.textContent = core.UTF8ToString(core._adapter_connection_text());
  el.connection.dataset.state = CONNECTION_FAILED.includes(connection) ? 'failed' : '';
  el.noAnswerHelp.hidden = connection !== CONNECTION_NO_ANSWER;
}

async function disconnect() {
  await forgetPort();
  showStatus('Done');
}

// "Update firmware" (adapter_update_firmware) or "Install firmware anyway"
// (adapter_install_firmware, for an adapter whose firmware is gone).
async function updateFirmware(action) {
  const file = el.firmware.files[0];
  if (!file) return;
  const path = writeModuleFile(FIRMWARE_DIR, file.name, new Uint8Array(await file.arrayBuffer()));
  try {
    await runAction(action, path);
  } finally {
    core.FS.unlink(path);
  }
  if (core._adapter_outcome() === OUTCOME_COMPLETED) installOffered = false;
  else if (core._adapter_way_back() & WAY_INSTALL_FIRMWARE) installOffered = true;
}

// "Write settings to adapter": what the write changes is asked about
// first, unless the file is refused anyway. False when the user cancelled
// (or another action runs), else the Status says how it ended.
async function askAndWriteSettings() {
  if (busy) return false;
  if (!hasImage()) {
    showStatus('Open a settings file or read the settings from the adapter first');
    return true;
  }
  const refusal = saveRefusal();
  if (refusal) {
    showStatus(refusal);
    return true;
  }
  if (core._editor_holds_settings() && !await confirmWrite()) return false;
  await act(writeSettings);
  return true;
}

// Writes `value` into one field of the settings and those to the adapter,
// as "Write settings to adapter" does, its question and backup included;
// the field goes back when the write did not complete. The editor holds
// no other change (the focus assistant's rule, in the core). The Status
// line the write ended with, '' when it was cancelled.
export async function writeEntry(lens, field, value) {
  if (busy || !setEntryText(lens, field, String(value))) return '';
  const asked = await askAndWriteSettings();
  if (hasChanges()) undoLens(lens);
  return asked ? el.status.textContent : '';
}

async function writeSettings() {
  const image = currentImage();
  const path = writeModuleFile(SETTINGS_DIR, currentFileName(), image);
  try {
    await runAction('adapter_write_settings', path, core._editor_holds_settings());
  } finally {
    core.FS.unlink(path);
  }
  if (core._adapter_outcome() === OUTCOME_COMPLETED) writtenToAdapter();
}

async function readSettings() {
  if (await runAction('adapter_read_settings') !== 0) return;
  const verdict = el.status.textContent;
  const path = core.UTF8ToString(core._adapter_read_path());
  let name = baseName(path);
  const bytes = core.FS.readFile(path);
  let kept = storageKept;
  if (storageKept) {
    try {
      const stored = await storeBackup(name, bytes, nextBackupName);
      if (stored !== name) {
        // Another tab stored one of this name meanwhile; the module's copy follows.
        core.FS.rename(path, `${dirName(path)}/${stored}`);
        logLine(`Adapter setting kept as ${dirName(path)}/${stored}`);
        name = stored;
      }
    } catch (error) {
      kept = false;
      logLine(`This browser could not keep ${name}: ${error.message}`);
    }
  }
  // A copy kept nowhere is no backup to name in a way back.
  if (!kept) core.FS.unlink(path);
  newestBackup = core._adapter_way_back() & WAY_WRITE_BACKUP
    ? core.UTF8ToString(core._adapter_way_back_file()) : '';
  await renderBackups();
  loadImage(bytes, name, true);
  // Opened in the editor all the same, but the copy the page promises is missing.
  showStatus(verdict !== 'Done' ? verdict
    : kept ? 'Done' : `This browser could not keep ${name}; download it from the editor`);
}

// "Write NAME to adapter": the -u road with the stored backup; once
// connected, the module asks first (pelagoAskWriteBackup), naming the
// adapter found on that connection and the backup's own, date and lenses.
async function writeBackup(backup) {
  await act(async () => {
    core.FS.writeFile(`${backupDir()}/${backup.name}`, backup.bytes);
    await runAction('adapter_write_backup', backup.name);
    if (core._adapter_outcome() === OUTCOME_COMPLETED && backup.name === newestBackup) newestBackup = '';
  }, MAINTENANCE);
}

async function removeBackup(backup) {
  el.deleteQuestion.textContent = `Delete ${backup.name} from this browser? It cannot be brought back.`;
  if (!await ask(el.deleteDialog)) return;
  await act(async () => {
    await deleteBackup(backup.name);
    try {
      core.FS.unlink(`${backupDir()}/${backup.name}`);
    } catch (error) {
      // not in the module's copy
    }
    if (backup.name === newestBackup) newestBackup = '';
    await renderBackups();
    showStatus('Done');
  }, MAINTENANCE);
}

// Runs one exported action of the module, its output going to the Log;
// ends with "Done" when the module says the action completed, else with
// the module's way back (the button that recovers) or the line the module
// says the run failed with, in the Status. The exit status.
async function runAction(name, path, isSettings) {
  core._adapter_set_link(Number(el.link.value));
  drawLog();
  runStart = el.doc.createTextNode('');
  pendingNode.before(runStart);
  showStatus('Working…');
  showProgress('', 0, 1);
  el.progress.hidden = false;
  const args = [path, isSettings].filter((arg) => arg !== undefined);
  const types = args.map((arg) => (typeof arg === 'string' ? 'string' : 'number'));
  const status = await core.ccall(name, 'number', types, args, { async: true });
  endPendingLine();
  runStart.remove();
  runStart = null;
  const recovery = core.UTF8ToString(core._adapter_recovery_text()).trimEnd();
  const completed = core._adapter_outcome() === OUTCOME_COMPLETED;
  showStatus(recovery || (completed ? 'Done' : core.UTF8ToString(core._adapter_failure_text())));
  return status;
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

function dirName(path) {
  return path.slice(0, path.lastIndexOf('/'));
}

function backupDir() {
  return core.UTF8ToString(core._adapter_backup_dir());
}

function nextBackupName(name) {
  return withString(core, name, (pointer) => core.UTF8ToString(core._adapter_next_backup_name(pointer)));
}

function backupNewer(a, b) {
  return withString(core, a, (pa) => withString(core, b, (pb) => core._adapter_backup_newer(pa, pb)));
}

// The module's keeper of each backup made before an erase: stored in the
// browser, then downloaded at once; {name: the name kept under} when kept,
// else {reason}. A browser that keeps nothing has the user download it:
// nothing is erased until they say the download arrived.
async function keepBackupBeforeErase(path, bytes) {
  let name = baseName(path);
  if (!storageKept) {
    const reason = await offerBackupDownload(name, bytes);
    return reason ? { reason } : { name, downloaded: true };
  }
  try {
    name = await storeBackup(name, bytes, nextBackupName);
  } catch (error) {
    return { reason: `this browser could not keep it (${error.message})` };
  }
  downloadBytes(name, bytes);
  await renderBackups();
  return { name };
}

// Shows "Download backup NAME" and "Cancel" while the action waits, then
// asks whether the file arrived: a browser may block or hold a download.
// Resolves with "" once the user says it has, else with why not.
function offerBackupDownload(name, bytes) {
  return new Promise((resolve) => {
    const answer = async (download) => {
      el.offer.hidden = true;
      el.offerDownload.onclick = null;
      el.offerCancel.onclick = null;
      if (!download) {
        resolve('the backup was not downloaded (Cancel)');
        return;
      }
      downloadBytes(name, bytes);
      el.arrivedQuestion.textContent = `Has ${name} arrived in your downloads?`;
      resolve(await ask(el.arrivedDialog) ? '' : 'its download was not confirmed (Cancel)');
    };
    el.offerDownload.textContent = `Download backup ${name}`;
    el.offerDownload.onclick = () => answer(true);
    el.offerCancel.onclick = () => answer(false);
    el.offer.hidden = false;
    showStatus(`Press "Download backup ${name}" to keep the adapter's settings before they are erased`);
    el.offerDownload.focus();
  });
}

// Gives the module the names (and bytes) of the backups the browser holds,
// so a new backup never takes the name of an old one.
async function mirrorBackups() {
  let backups = [];
  try {
    if (storageKept) backups = await listBackups(backupNewer);
  } catch (error) {
    if (!backupsNotice) showStatus(`This browser could not list its backups: ${error.message}`);
  }
  const dir = backupDir();
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
    renderBackupList(storageKept ? await listBackups(backupNewer) : []);
  } catch (error) {
    renderBackupList([]);
  }
}

// One row per backup: its name, "newest backup of this adapter" when a
// read found no valid settings, and its three buttons, each naming it.
function renderBackupList(backups) {
  const doc = el.doc;
  el.backups.replaceChildren();
  for (const backup of backups) {
    const item = doc.createElement('li');
    const name = doc.createElement('span');
    name.className = 'file-name';
    name.textContent = backup.name;
    item.append(name);
    if (backup.name === newestBackup) {
      const mark = doc.createElement('span');
      mark.className = 'newest';
      mark.textContent = 'newest backup of this adapter';
      item.append(mark);
    }
    // Short on screen, whole for a screen reader, which reads them apart
    // from their row; each name starts with the word shown.
    const buttons = [
      ['Download', `Download ${backup.name}`, () => downloadBytes(backup.name, backup.bytes), false],
      ['Write', `Write ${backup.name} to adapter`, () => writeBackup(backup), true],
      ['Delete', `Delete ${backup.name}`, () => removeBackup(backup), false],
    ];
    for (const [shown, label, onClick, needsAdapter] of buttons) {
      const button = doc.createElement('button');
      button.type = 'button';
      button.className = 'secondary';
      button.textContent = shown;
      button.setAttribute('aria-label', label);
      button.dataset.needsAdapter = needsAdapter ? 'yes' : 'no';
      button.disabled = busy || (needsAdapter && !connected);
      button.addEventListener('click', onClick);
      item.append(button);
    }
    el.backups.append(item);
  }
  // In place of "None yet.", why none can be listed.
  el.noBackups.textContent = backupsNotice || el.noBackupsText;
  el.noBackups.hidden = !backupsNotice && (backups.length > 0 || !storageKept);
}

// Another tab holds the backups, or a newer copy of the page took them: the
// list gives way to the reason, also in the Status; they are listed again
// once reachable.
function showBackupsNotice(text) {
  backupsNotice = text;
  if (!text) {
    mirrorBackups();
    return;
  }
  showStatus(text);
  renderBackupList([]);
}

// The bar is drawn with the Log, so that a transfer changes the page at
// most once every LOG_DRAW_MS: each change costs the browser a frame's
// work on the thread that turns the adapter's answers around. A new
// action's first report (done 0) shows at once.
function showProgress(label, done, total) {
  const percent = total > 0 ? Math.floor((done * 100) / total) : 0;
  progress = { percent, text: label ? `${label.trim()} ${percent}%` : `${percent}%` };
  if (done === 0) drawProgress();
  else scheduleLogDraw();
}

function drawProgress() {
  if (el.progress.getAttribute('aria-valuetext') === progress.text) return;
  el.progress.setAttribute('aria-valuenow', String(progress.percent));
  el.progress.setAttribute('aria-valuetext', progress.text);
  // A transform, not a width: moving the bar lays nothing out.
  el.progress.firstElementChild.style.transform = `scaleX(${progress.percent / 100})`;
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
  logLine(line);
}

function logLine(line) {
  undrawn += `${line}\n`;
  scheduleLogDraw();
}

// The command heads its run's output, also when the module names it only
// once connected (a read names its file after the adapter).
function logCommand(line) {
  drawLog();
  const node = el.doc.createElement('span');
  node.className = 'command';
  node.textContent = `$ ${line}\n`;
  if (runStart) runStart.before(node);
  else pendingNode.before(node);
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
  drawProgress();
}

// A line the run left without its line end ends with the run; the Log is
// then drawn whole.
function endPendingLine() {
  if (pending.length) logByte('out', NEWLINE);
  drawLog();
}
