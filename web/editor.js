// The lens editor: opens a settings file, shows one row per lens with its
// four corrections and a drawing of them, and downloads the edited file.
// The core decides everything (lens list, decoding, the range check, the
// formatting of a blank area, the bytes saved, the status texts); this
// module renders what it says and forwards what the user types.
import { loadCore, withBytes, withString, copyBytes } from './core.js';
import { drawCorrections } from './chart.js';

let core = null;
let fileName = '';
let opened = false;
let elements = null;

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
    discardDialog: documentRef.getElementById('discard-edits-dialog'),
  };
  core = await loadCore();
  elements.fileInput.addEventListener('change', openChosenFile);
  elements.download.addEventListener('click', downloadImage);
}

// Lets the user open files: the page's last step of starting, so that the
// Status's prompt is never shown over a file opened meanwhile.
export function startEditor() {
  elements.fileInput.disabled = false;
  showStatus('Open a settings file to list its lenses.');
}

// Loads a settings image into the editor as if the file `name` had been
// opened (the adapter part hands over an area read from the adapter).
export function loadImage(bytes, name) {
  requireCore();
  withString(core, name, (namePointer) =>
    withBytes(core, bytes, (pointer, size) => core._editor_open(pointer, size, namePointer)));
  fileName = name;
  opened = true;
  elements.fileName.textContent = name;
  elements.download.disabled = false;
  renderTable();
  showStatus(text(core._editor_status()));
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
  if (!opened || !core._editor_edited()) return true;
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
  showStatus(text(core._editor_saved_status()));
}

function fieldLabels() {
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
  elements.table.hidden = count === 0;
  if (count === 0) return;

  const headRow = head.insertRow();
  for (const title of ['Lens', 'Focal length', ...labels, 'Across the range']) {
    const cell = doc.createElement('th');
    cell.scope = 'col';
    cell.textContent = title;
    headRow.append(cell);
  }
  headRow.lastChild.className = 'chart-heading';

  const range = { min: core._editor_entry_min(), max: core._editor_entry_max() };
  for (let lens = 1; lens <= count; lens++) {
    const row = body.insertRow();
    const number = doc.createElement('th');
    number.scope = 'row';
    number.textContent = String(lens);
    row.append(number);
    const focal = row.insertCell();
    focal.className = 'focal';
    focal.textContent = text(core._editor_focal_length(lens));
    const chartCell = doc.createElement('td');
    chartCell.className = 'chart';
    const redraw = () => drawCorrections(chartCell, `Lens ${lens}`, labels, lensValues(lens, labels), range);
    labels.forEach((label, field) => row.append(entryCell(lens, field, `Lens ${lens} ${label}`, redraw)));
    row.append(chartCell);
    redraw();
  }
}

function entryCell(lens, field, name, redraw) {
  const doc = elements.document;
  const cell = doc.createElement('td');
  cell.className = 'entry';
  const input = doc.createElement('input');
  input.type = 'text';
  input.autocomplete = 'off';
  input.spellcheck = false;
  input.size = 4;
  input.placeholder = 'default';
  input.setAttribute('aria-label', name);
  input.value = text(core._editor_entry_text(lens, field));
  const message = doc.createElement('span');
  message.className = 'refusal';
  message.id = `refusal-${lens}-${field}`;
  message.setAttribute('role', 'alert');
  message.hidden = true;

  input.addEventListener('change', () => {
    const accepted = withString(core, input.value, (pointer) => core._editor_set_entry(lens, field, pointer));
    const refused = !accepted;
    // A refused entry is never written: the field shows what is kept.
    input.value = text(core._editor_entry_text(lens, field));
    message.textContent = refused ? text(core._editor_refusal_text()) : '';
    message.hidden = !refused;
    if (refused) {
      input.setAttribute('aria-invalid', 'true');
      input.setAttribute('aria-describedby', message.id);
      // Back to the field once the browser has moved on, to retype it.
      setTimeout(() => { input.focus(); input.select(); }, 0);
    } else {
      input.removeAttribute('aria-invalid');
      input.removeAttribute('aria-describedby');
      redraw();
    }
  });
  // The refusal stays with the field: shown while it has the focus, so it
  // never covers the fields the user moves on to.
  input.addEventListener('blur', () => { message.hidden = true; });
  input.addEventListener('focus', () => { message.hidden = !input.hasAttribute('aria-invalid'); });
  cell.append(input, message);
  return cell;
}
