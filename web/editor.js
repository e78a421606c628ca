// The lens editor: opens a settings file or the area read from the
// adapter, shows one row per lens with its four corrections and a drawing
// of them, marks what changed, and downloads the edited file. The core
// decides everything (lens list, IDs, decoding, the range check, what
// changed and how the change reads, the bytes saved, the status texts);
// this module renders what it says and forwards what the user types.
import { loadCore, withBytes, withString, copyBytes } from './core.js';
import { drawCorrections, drawKey } from './chart.js';

// Fired on the document when a file opens or the count of changes moves.
export const EDITOR_CHANGED = 'pelago-editor-changed';

let core = null;
let fileName = '';
let opened = false;
let elements = null;
let rows = [];  // per lens: {inputs, cells, undo, redraw}
const lensActions = [];  // makers of each lens's own buttons, after Undo

// Wires the editor to the page; resolves once the core is loaded. Its file
// input stays disabled until startEditor, once the whole page is ready.
export async function initEditor(documentRef = document) {
  elements = {
    document: documentRef,
    fileInput: documentRef.getElementById('settings-file'),
    fileName: documentRef.getElementById('file-name'),
    download: documentRef.getElementById('download'),
    status: documentRef.getElementById('status'),
    table: documentRef.getElementById('lenses'),
    legend: documentRef.getElementById('legend'),
    changes: documentRef.getElementById('changes'),
    discardDialog: documentRef.getElementById('discard-edits-dialog'),
    writeDialog: documentRef.getElementById('write-settings-dialog'),
    writeNote: documentRef.getElementById('write-settings-note'),
    writeList: documentRef.getElementById('write-settings-list'),
    wayIn: documentRef.getElementById('way-in'),
    wayInHelp: documentRef.getElementById('way-in-help'),
    wayInLenses: documentRef.getElementById('way-in-lenses'),
  };
  core = await loadCore();
  // The assistant opens per lens, from its row: the way in says how to get there.
  elements.wayIn.addEventListener('click', () => {
    const open = elements.wayInHelp.hidden;
    elements.wayInHelp.hidden = !open;
    elements.wayIn.setAttribute('aria-expanded', String(open));
  });
  elements.fileInput.addEventListener('change', openChosenFile);
  elements.download.addEventListener('click', downloadImage);
  // Asks only while something would be lost.
  window.addEventListener('beforeunload', (event) => {
    if (!hasChanges()) return;
    event.preventDefault();
    event.returnValue = '';
  });
  for (const [selector, value] of [['.entry-min', core._editor_entry_min()], ['.entry-max', core._editor_entry_max()]]) {
    for (const shown of documentRef.querySelectorAll(selector)) shown.textContent = String(value);
  }
  drawKey(documentRef.getElementById('chart-key'));
}

// Lets the user open files: the page's last step of starting, so that the
// Status's prompt is never shown over a file opened meanwhile.
export function startEditor() {
  elements.fileInput.disabled = false;
  elements.wayIn.disabled = false;
  showStatus('Open a settings file to list its lenses.');
}

// Loads a settings image into the editor as if the file `name` had been
// opened; `fromAdapter` when it is the area just read from the adapter.
export function loadImage(bytes, name, fromAdapter = false) {
  requireCore();
  const open = fromAdapter ? core._editor_open_read : core._editor_open;
  withString(core, name, (namePointer) =>
    withBytes(core, bytes, (pointer, size) => open(pointer, size, namePointer)));
  fileName = name;
  opened = true;
  elements.fileName.textContent = name;
  elements.download.disabled = false;
  renderTable();
  showStatus(text(core._editor_status()));
  showChanges();
}

// Whether a file (or an area read) is open.
export function hasImage() {
  return opened;
}

// Whether the editor holds changes not yet written or downloaded.
export function hasChanges() {
  return opened && core._editor_edited() === 1;
}

// Asks "Write these changes to the adapter?" with the core's list of what
// the write changes; resolves true for "Write".
export function confirmWrite() {
  requireCore();
  const note = text(core._editor_write_note());
  const lines = text(core._editor_write_lines()).split('\n').filter((line) => line);
  elements.writeNote.textContent = note;
  elements.writeNote.hidden = !note;
  elements.writeList.replaceChildren(...lines.map((line) => {
    const item = elements.document.createElement('li');
    item.textContent = line;
    return item;
  }));
  elements.writeList.hidden = lines.length === 0;
  return ask(elements.writeDialog);
}

// After a completed write: the adapter holds what the editor shows.
export function writtenToAdapter() {
  requireCore();
  core._editor_written_to_adapter();
  refreshAll();
}

// Asks in `dialog` (a <dialog> whose buttons have the values "confirm" and
// "cancel"); resolves true only for "confirm". Escape cancels.
export function ask(dialog) {
  return new Promise((resolve) => {
    const answer = (confirmed) => {
      dialog.removeEventListener('click', onClick);
      dialog.removeEventListener('cancel', onCancel);
      dialog.close();
      resolve(confirmed);
    };
    const onClick = (event) => {
      const button = event.target.closest('button');
      if (button && button.value) answer(button.value === 'confirm');
    };
    const onCancel = (event) => {
      event.preventDefault();
      answer(false);
    };
    dialog.addEventListener('click', onClick);
    dialog.addEventListener('cancel', onCancel);
    dialog.showModal();
  });
}

// Whether what the editor holds may be replaced: true when it holds no
// edits, else the user's answer to "Discard edits" or "Cancel".
export async function mayDiscardEdits() {
  requireCore();
  if (!hasChanges()) return true;
  return ask(elements.discardDialog);
}

// The bytes "Download settings file" would save now; null before any file.
export function currentImage() {
  requireCore();
  if (!opened) return null;
  const size = core._editor_build_image();
  return copyBytes(core, core._editor_image_data(), size);
}

// The name the file was opened with ('' before any file).
export function currentFileName() {
  return opened ? fileName : '';
}

// Shows `line` in the Status region (the adapter part ends its actions there).
export function showStatus(line) {
  elements.status.textContent = line;
}

function requireCore() {
  if (!core) throw new Error('The lens editor is not ready yet');
}

function text(pointer) {
  return core.UTF8ToString(pointer);
}

async function openChosenFile() {
  const file = elements.fileInput.files[0];
  if (!file) return;
  if (!(await mayDiscardEdits())) {
    elements.fileInput.value = '';
    return;
  }
  try {
    // A large file chosen by mistake is not read beyond what opening uses.
    const used = file.slice(0, core._editor_file_bytes_used());
    loadImage(new Uint8Array(await used.arrayBuffer()), file.name);
  } catch (error) {
    showStatus(withString(core, file.name, (pointer) => text(core._editor_open_failed_status(pointer))));
  }
  // The same file can be chosen again (after editing it elsewhere).
  elements.fileInput.value = '';
}

// Why the opened file must not be saved anywhere, in the console's words;
// '' when it may be.
export function saveRefusal() {
  requireCore();
  return text(core._editor_save_refusal());
}

function downloadImage() {
  const refusal = saveRefusal();
  if (refusal) {
    showStatus(refusal);
    return;
  }
  const image = currentImage();
  if (!image) return;
  const url = URL.createObjectURL(new Blob([image], { type: 'application/octet-stream' }));
  const link = elements.document.createElement('a');
  link.href = url;
  link.download = fileName;
  link.hidden = true;
  elements.document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 0);
  showStatus(text(core._editor_downloaded()));
  refreshAll();
}

// The corrections' names, in field order.
export function fieldLabels() {
  const labels = [];
  for (let field = 0; field < core._editor_field_count(); field++) {
    labels.push(text(core._editor_field_label(field)));
  }
  return labels;
}

// The decoded corrections of a lens, null for default, in field order.
function lensValues(lens, labels) {
  const valuePointer = core._malloc(4);
  try {
    return labels.map((_, field) =>
      core._editor_entry_value(lens, field, valuePointer) ? core.getValue(valuePointer, 'i32') : null);
  } finally {
    core._free(valuePointer);
  }
}

function renderTable() {
  const doc = elements.document;
  const labels = fieldLabels();
  const count = core._editor_lens_count();
  const head = elements.table.tHead;
  const body = elements.table.tBodies[0];
  head.replaceChildren();
  body.replaceChildren();
  rows = [];
  elements.table.hidden = count === 0;
  elements.legend.hidden = count === 0;
  elements.wayInLenses.hidden = count > 0;
  if (count === 0) return;

  const headRow = head.insertRow();
  for (const title of ['Lens', 'Focal length', ...labels, 'Across the range', 'Changes']) {
    const cell = doc.createElement('th');
    cell.scope = 'col';
    cell.textContent = title;
    headRow.append(cell);
  }
  headRow.cells[headRow.cells.length - 2].className = 'chart-heading';
  headRow.lastChild.className = 'actions-heading';

  const range = { min: core._editor_entry_min(), max: core._editor_entry_max() };
  for (let lens = 1; lens <= count; lens++) {
    const row = body.insertRow();
    const number = doc.createElement('th');
    number.scope = 'row';
    const word = doc.createElement('span');
    word.className = 'card-only';
    word.textContent = 'Lens ';
    number.append(word, String(lens));
    row.append(number, lensCell(lens));
    const chartCell = doc.createElement('td');
    chartCell.className = 'chart';
    const state = { inputs: [], cells: [], undo: null };
    state.redraw = () => drawCorrections(chartCell, `Lens ${lens}`, labels, lensValues(lens, labels), range);
    labels.forEach((label, field) => row.append(entryCell(lens, field, label, state)));
    row.append(chartCell, actionsCell(lens, state));
    rows.push(state);
    state.redraw();
  }
}

// The focal length, the lens's ID and, for the lens on the adapter last,
// the core's mark for it.
function lensCell(lens) {
  const doc = elements.document;
  const cell = doc.createElement('td');
  cell.className = 'focal';
  const focal = doc.createElement('span');
  focal.className = 'focal-length';
  focal.textContent = text(core._editor_focal_length(lens));
  const id = doc.createElement('span');
  id.className = 'lens-id';
  id.textContent = text(core._editor_lens_id(lens));
  cell.append(focal, ' ', id);
  if (core._editor_last_mounted(lens)) {
    const mark = doc.createElement('span');
    mark.className = 'mounted';
    mark.textContent = text(core._editor_last_mounted_text());
    cell.append(' ', mark);
  }
  return cell;
}

// "Undo changes to lens N", shown while the lens has changes; the cell
// keeps room for more of the lens's own buttons.
function actionsCell(lens, state) {
  const doc = elements.document;
  const cell = doc.createElement('td');
  cell.className = 'lens-actions';
  const undo = doc.createElement('button');
  undo.type = 'button';
  undo.className = 'secondary';
  undo.textContent = 'Undo changes';
  undo.setAttribute('aria-label', `Undo changes to lens ${lens}`);
  undo.hidden = true;
  undo.addEventListener('click', () => {
    undoLens(lens);
    // The button goes away; the lens's first field takes the focus.
    state.inputs[0].focus();
  });
  state.undo = undo;
  cell.append(undo, ...lensActions.map((make) => make(lens)));
  return cell;
}

// Has every lens row show the button make(lens) returns, after its Undo.
export function addLensAction(make) {
  lensActions.push(make);
}

// Sets the lens's fields back to the file's.
export function undoLens(lens) {
  core._editor_undo_lens(lens);
  for (const input of rows[lens - 1].inputs) clearRefusal(input);
  refreshLens(lens);
  showChanges();
}

// Takes `value` into a field as if the owner had typed it (marked and
// counted); false when the core refuses it.
export function setEntryText(lens, field, value) {
  const accepted = withString(core, value, (pointer) => core._editor_set_entry(lens, field, pointer)) === 1;
  if (accepted) {
    clearRefusal(rows[lens - 1].inputs[field]);
    refreshLens(lens);
    showChanges();
  }
  return accepted;
}

// Shows what the core holds for the lens: values, change marks, Undo. The
// count of changes is the caller's to show, once for all the lenses it refreshed.
function refreshLens(lens) {
  const state = rows[lens - 1];
  state.inputs.forEach((input, field) => {
    input.value = text(core._editor_entry_text(lens, field));
    const changed = core._editor_entry_changed(lens, field) === 1;
    state.cells[field].classList.toggle('changed', changed);
    describe(input);
  });
  state.undo.hidden = core._editor_lens_changed(lens) !== 1;
  state.redraw();
}

function refreshAll() {
  rows.forEach((_, index) => refreshLens(index + 1));
  showChanges();
}

// The count of changes above the table, hidden when there are none.
function showChanges() {
  const line = opened ? text(core._editor_changes_text()) : '';
  elements.changes.textContent = line;
  elements.changes.hidden = !line;
  elements.document.dispatchEvent(new Event(EDITOR_CHANGED));
}

// A field's description: its refusal while refused, and whether it changed.
function describe(input) {
  const ids = [];
  if (input.hasAttribute('aria-invalid')) ids.push(input.dataset.refusal);
  if (input.closest('.entry').classList.contains('changed')) ids.push('changed-note');
  if (ids.length) input.setAttribute('aria-describedby', ids.join(' '));
  else input.removeAttribute('aria-describedby');
}

function clearRefusal(input) {
  input.removeAttribute('aria-invalid');
  const message = elements.document.getElementById(input.dataset.refusal);
  message.textContent = '';
  message.hidden = true;
}

function entryCell(lens, field, label, state) {
  const doc = elements.document;
  const cell = doc.createElement('td');
  cell.className = 'entry';
  // The column heading says it in the table; a lens card says it here.
  const shownLabel = doc.createElement('span');
  shownLabel.className = 'field-label';
  shownLabel.setAttribute('aria-hidden', 'true');
  shownLabel.textContent = label;
  const box = doc.createElement('span');
  box.className = 'entry-box';
  const input = doc.createElement('input');
  input.type = 'text';
  input.autocomplete = 'off';
  input.spellcheck = false;
  input.size = 4;
  input.placeholder = 'default';
  input.setAttribute('aria-label', `Lens ${lens} ${label}`);
  input.value = text(core._editor_entry_text(lens, field));
  const message = doc.createElement('span');
  message.className = 'refusal';
  message.id = `refusal-${lens}-${field}`;
  message.setAttribute('role', 'alert');
  message.hidden = true;
  input.dataset.refusal = message.id;

  input.addEventListener('change', () => {
    if (setEntryText(lens, field, input.value)) return;
    // A refused entry is never written: the field shows what is kept.
    input.value = text(core._editor_entry_text(lens, field));
    message.textContent = text(core._editor_refusal_text());
    message.hidden = false;
    input.setAttribute('aria-invalid', 'true');
    describe(input);
    // Back to the field once the browser has moved on, to retype it.
    setTimeout(() => { input.focus(); input.select(); }, 0);
  });
  // The refusal stays with the field: shown while it has the focus, so it
  // never covers the fields the user moves on to.
  input.addEventListener('blur', () => { message.hidden = true; });
  input.addEventListener('focus', () => { message.hidden = !input.hasAttribute('aria-invalid'); });
  box.append(input);
  cell.append(shownLabel, box, message);
  state.inputs.push(input);
  state.cells.push(cell);
  return cell;
}
