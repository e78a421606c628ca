// The focus assistant: per lens, photos of the printed chart at two values
// of one correction, measured in the module, and the value they propose.
// The module decides everything (the values, each photo's decoding, as the
// console program decodes it, and its measurement or refusal, the
// proposal, whether a check photo lies on the target, every line shown);
// this module hands it the photos' files and shows what it says. What the
// owner has done stays while the tab is open, per lens and field.
import { loadCore, withString } from './core.js';
import { addLensAction, setEntryText, fieldLabels, EDITOR_CHANGED } from './editor.js';
import { writeEntry } from './adapter.js';

// focus_value_state (src/web/FocusApi.h).
const VALUE_WRITABLE = 1;
const VALUE_HELD = 2;
const SETS = ['first', 'second'];

let core = null;
let el = null;
const lenses = new Map();  // lensKey -> {field, fields: Map(field -> state)}
let open = null;  // {lens, key}
let queue = Promise.resolve();  // the module measures one photo at a time

// Wires the assistant to the page; each lens row gets its button.
export async function initFocus(doc = document) {
  // Every id of the assistant starts with focus-.
  const byId = (name) => doc.getElementById(`focus-${name}`);
  el = {
    doc,
    dialog: byId('dialog'),
    title: byId('title'),
    close: byId('close'),
    field: byId('field'),
    zone: byId('zone'),
    print: byId('print'),
    printArea: byId('chart-print'),
    secondInput: byId('second'),
    secondRefusal: byId('second-refusal'),
    result: byId('result'),
    waiting: byId('result').textContent.replace(/\s+/g, ' ').trim(),
    use: byId('use'),
    used: byId('used'),
    check: byId('check'),
    checkPhoto: byId('check-photo'),
    checkValue: doc.querySelector('#focus-check .focus-number'),
    checkList: doc.querySelector('#focus-check .focus-photos'),
    first: valueStep(doc, 'first'),
    second: valueStep(doc, 'second'),
  };
  core = await loadCore();
  el.close.addEventListener('click', () => el.dialog.close());
  el.field.addEventListener('change', () => {
    lenses.get(open.key).field = Number(el.field.value);
    render();
  });
  el.print.addEventListener('click', printChart);
  el.secondInput.addEventListener('change', takeSecondValue);
  for (const set of SETS) {
    el[set].photos.addEventListener('change', () => addPhotos(set));
    el[set].write.addEventListener('click', () => writeValue(set));
  }
  el.checkPhoto.addEventListener('change', checkPhoto);
  el.use.addEventListener('click', useValue);
  doc.addEventListener(EDITOR_CHANGED, () => { if (el.dialog.open) render(); });
  addLensAction((lens) => {
    const button = doc.createElement('button');
    button.type = 'button';
    button.className = 'secondary';
    button.textContent = 'Find the value';
    button.setAttribute('aria-label', `Find the value for lens ${lens}`);
    button.addEventListener('click', () => openAssistant(lens));
    return button;
  });
}

// The controls of the step of one value (`set`, 'first' or 'second'),
// added to its item: how to take the photos at it, its write and how that
// ended, and its photos.
function valueStep(doc, set) {
  const item = doc.querySelector(`.focus-value[data-set="${set}"]`);
  const part = (tag, className) => {
    const node = doc.createElement(tag);
    node.className = className;
    return node;
  };
  const step = {
    number: item.querySelector('.focus-number'),
    note: part('p', 'focus-write-note'),
    outcome: part('p', 'focus-write-outcome'),
    write: part('button', 'focus-write'),
    photos: doc.createElement('input'),
    list: part('ul', 'focus-photos'),
  };
  step.write.type = 'button';
  step.write.hidden = true;
  Object.assign(step.photos, { type: 'file', accept: 'image/*', multiple: true });
  const chooser = part('label', 'file-button');
  chooser.append(Object.assign(doc.createElement('span'), { textContent: item.dataset.photos }), step.photos);
  const actions = part('div', 'toolbar');
  actions.append(step.write, chooser);
  item.append(step.note, step.outcome, actions, step.list);
  return step;
}

// Opens the assistant for `lens` where the owner left it.
export function openAssistant(lens) {
  const focal = text(core._editor_focal_length(lens));
  // Another file may list other lenses under the same numbers.
  const key = `${lens} ${focal} ${text(core._editor_lens_id(lens))}`;
  if (!lenses.has(key)) lenses.set(key, { field: 0, fields: new Map() });
  open = { lens, key };
  el.title.textContent = `Find the value for lens ${lens} (${focal})`;
  el.field.replaceChildren(...fieldLabels().map((label, field) => new Option(label, String(field))));
  render();
  if (!el.dialog.open) el.dialog.showModal();
}

function text(pointer) {
  return core.UTF8ToString(pointer);
}

// The owner's work on the open lens's chosen field. Its first value is the
// field's until a photo or a write has started from it.
function current() {
  const lens = lenses.get(open.key);
  let state = lens.fields.get(lens.field);
  if (!state) {
    state = {
      started: false, first: 0, second: 0, secondTyped: false, photos: { first: [], second: [] }, check: null,
      written: {},
    };
    lens.fields.set(lens.field, state);
  }
  if (!state.started) state.first = core._focus_first_value(open.lens, lens.field);
  if (!state.secondTyped) state.second = core._focus_second_value(state.first);
  return { field: lens.field, state };
}

function render() {
  const { field, state } = current();
  el.field.value = String(field);
  const zone = text(core._focus_zone_note(field));
  el.zone.textContent = zone;
  el.zone.hidden = !zone;
  if (el.doc.activeElement !== el.secondInput) el.secondInput.value = String(state.second);
  for (const set of SETS) renderValueStep(set, field, state);
  renderResult(field, state);
}

function renderValueStep(set, field, state) {
  const step = el[set];
  const value = state[set];
  if (step.number) step.number.textContent = String(value);
  const held = core._focus_value_state(open.lens, field, value);
  step.note.textContent = text(core._focus_value_text(open.lens, field, value));
  step.write.hidden = held !== VALUE_WRITABLE;
  // How a write of this value ended, while it is not on the adapter.
  const written = state.written[set];
  step.outcome.textContent = written && written.value === value && held !== VALUE_HELD ? written.line : '';
  step.write.textContent = `Write ${value} to the adapter`;
  step.list.replaceChildren(...state.photos[set].map((photo) => photoRow(photo, () => {
    state.photos[set] = state.photos[set].filter((other) => other !== photo);
    render();
  })));
}

// A photo's name, then its measurement or why it was not used.
function photoRow(photo, remove) {
  const doc = el.doc;
  const item = doc.createElement('li');
  item.className = photo.line === null ? 'measuring' : photo.ok ? 'measured' : 'refused';
  if (photo.onTarget) item.classList.add('on-target');
  const name = doc.createElement('span');
  name.className = 'file-name';
  name.textContent = photo.name;
  const line = doc.createElement('span');
  line.className = 'focus-line';
  line.textContent = photo.line === null ? 'Measuring…' : photo.line;
  item.append(name, line);
  if (remove) {
    const button = doc.createElement('button');
    button.type = 'button';
    button.className = 'secondary';
    button.textContent = 'Remove';
    button.setAttribute('aria-label', `Remove ${photo.name}`);
    button.addEventListener('click', remove);
    item.append(button);
  }
  return item;
}

function renderResult(field, state) {
  const measured = (set) => state.photos[set].filter((photo) => photo.ok);
  el.use.hidden = true;
  el.check.hidden = true;
  el.used.hidden = true;
  if (!measured('first').length || !measured('second').length) {
    el.result.textContent = el.waiting;
    return;
  }
  core._focus_clear_samples();
  for (const set of SETS) {
    for (const photo of measured(set)) core._focus_add_sample(state[set], photo.mm, photo.zone);
  }
  const proposed = core._focus_propose() === 1;
  el.result.textContent = text(core._focus_proposal_text()).trimEnd();
  if (!proposed) return;
  const value = core._focus_proposed_value();
  el.use.textContent = `Use ${value}`;
  el.use.dataset.value = String(value);
  el.use.hidden = false;
  el.check.hidden = false;
  el.checkValue.textContent = String(value);
  el.used.hidden = state.used !== value;
  el.used.textContent = `“${fieldLabels()[field]}” of lens ${open.lens} shows ${value} now, marked as a ` +
    'change: write the settings to the adapter to use it.';
  // A check photo speaks of the value it was taken at.
  const check = state.check && state.check.value === value ? [photoRow(state.check)] : [];
  el.checkList.replaceChildren(...check);
}

function takeSecondValue() {
  const { state } = current();
  const pointer = core._malloc(4);
  try {
    const taken = withString(core, el.secondInput.value, (typed) => core._focus_parse_value(typed, pointer));
    el.secondRefusal.hidden = taken === 1;
    if (taken === 1) {
      el.secondInput.removeAttribute('aria-invalid');
      el.secondInput.removeAttribute('aria-describedby');
      state.second = core.getValue(pointer, 'i32');
      state.secondTyped = true;
    } else {
      el.secondRefusal.textContent = text(core._focus_value_refusal());
      el.secondInput.setAttribute('aria-invalid', 'true');
      el.secondInput.setAttribute('aria-describedby', el.secondRefusal.id);
    }
  } finally {
    core._free(pointer);
  }
  el.secondInput.value = String(state.second);
  render();
}

// Runs `task` once the tasks before it have ended: a photo is measured,
// or a value written, only while the module does nothing else.
function work(task) {
  queue = queue.then(task).catch(() => {}).then(() => {
    if (el.dialog.open) render();
  });
  return queue;
}

function addPhotos(set) {
  const { state } = current();
  const files = [...el[set].photos.files];
  el[set].photos.value = '';
  state.started = true;
  for (const file of files) {
    const photo = { name: file.name, line: null };
    // The same name again is the same photo, taken anew.
    state.photos[set] = state.photos[set].filter((other) => other.name !== file.name).concat(photo);
    work(async () => Object.assign(photo, await measure(file)));
  }
  render();
}

function checkPhoto() {
  const { state } = current();
  const file = el.checkPhoto.files[0];
  el.checkPhoto.value = '';
  const value = Number(el.use.dataset.value);
  if (!file) return;
  state.check = { name: file.name, line: null, value };
  render();
  work(async () => {
    const measured = await measure(file);
    state.check.ok = measured.ok;
    state.check.onTarget = measured.read && core._focus_check(value) === 1;
    state.check.line = measured.read ? text(core._focus_check_line()) : measured.line;
  });
}

// One photo's measurement: {read, ok, mm, zone, line}. The module decodes
// the file's bytes itself, as the console program does, so that both
// measure the same pixels.
async function measure(file) {
  let bytes;
  try {
    bytes = new Uint8Array(await file.arrayBuffer());
  } catch (error) {
    return { read: false, ok: false, line: text(core._focus_unreadable_line()) };
  }
  // Without room for the file, focus_measure says so.
  const room = core._focus_photo_bytes(bytes.length);
  if (room) core.HEAPU8.set(bytes, room);
  const ok = core._focus_measure() === 1;
  return {
    read: true, ok, mm: core._focus_measured_mm(), zone: core._focus_measured_zone_mm(),
    line: text(core._focus_measured_line()),
  };
}

// "Write VALUE to the adapter": the page's own write of the editor's
// settings with the one field changed, its question and backup included.
// The dialog steps aside meanwhile, so that the write's question and the
// Status show, and comes back with its outcome.
function writeValue(set) {
  const { field, state } = current();
  const { lens } = open;
  const value = state[set];
  state.started = true;
  el.dialog.close();
  return work(async () => {
    state.written[set] = { value, line: await writeEntry(lens, field, value) };
    openAssistant(lens);
  });
}

// "Use N": the field takes N as any edit does, marked and counted;
// nothing is written until the owner writes the settings.
function useValue() {
  const { field, state } = current();
  const value = el.use.dataset.value;
  setEntryText(open.lens, field, value);
  state.used = Number(value);
  render();
}

// Prints the chart alone, at its size: the page steps aside for the print.
function printChart() {
  const svg = new DOMParser().parseFromString(text(core._focus_chart_svg()), 'image/svg+xml').documentElement;
  el.printArea.replaceChildren(el.doc.importNode(svg, true));
  const root = el.doc.documentElement;
  root.classList.add('printing-chart');
  window.addEventListener('afterprint', () => root.classList.remove('printing-chart'), { once: true });
  window.print();
}
