// The focus assistant: per lens, photos of the printed chart at two values
// of one correction, measured in the module, and the value they propose.
// The module decides everything (the values, each photo's decoding, as the
// console program decodes it, and its measurement or refusal, the
// proposal, whether a check photo lies on the target, every line shown);
// this module hands it the photos' files and shows what it says. What the
// owner has done stays while the tab is open, per lens and field.
import { loadCore, withString } from './core.js';
import { addLensAction, setEntryText, fieldLabels, EDITOR_CHANGED } from './editor.js';
import { writeEntry, connectAdapter, adapterReachable } from './adapter.js';

// focus_value_state and focus_step's flags (src/web/FocusApi.h).
const VALUE_HELD = 2;
const SHOWS_WRITE = 1;
const SHOWS_PHOTOS = 2;
const SHOWS_CONNECT = 4;
// adapter_connection (src/web/AdapterApi.h).
const CONNECTED = 1;
const SETS = ['first', 'second', 'check'];

let core = null;
let el = null;
const lenses = new Map();  // lensKey -> {lens, field, fields: Map(field -> state)}
let open = null;  // {lens, key}
let queue = Promise.resolve();  // the module measures one photo at a time
let connectTried = false;  // a Connect pressed in the assistant, whose failure it shows
let putBackLine = '';  // why the value before the test could not be put back

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
    connection: byId('connection'),
    distance: byId('distance'),
    print: byId('print'),
    printArea: byId('chart-print'),
    secondInput: byId('second'),
    secondRefusal: byId('second-refusal'),
    result: byId('result'),
    waiting: byId('result').textContent.replace(/\s+/g, ' ').trim(),
    use: byId('use'),
    used: byId('used'),
    finished: byId('finished'),
    putBack: byId('put-back'),
    putBackQuestion: byId('put-back-question'),
    connect: Object.assign(doc.createElement('button'), { type: 'button', className: 'secondary', textContent: 'Connect' }),
    first: valueStep(doc, 'first'),
    second: valueStep(doc, 'second'),
    check: valueStep(doc, 'check'),
  };
  el.checkItem = byId('check');
  el.check.photos.multiple = false;
  el.connect.setAttribute('aria-label', 'Connect the adapter');
  core = await loadCore();
  el.close.addEventListener('click', closeAssistant);
  // Escape closes it as Close does, the question included.
  el.dialog.addEventListener('cancel', (event) => {
    event.preventDefault();
    closeAssistant();
  });
  el.field.addEventListener('change', () => {
    lenses.get(open.key).field = Number(el.field.value);
    render();
  });
  el.print.addEventListener('click', printChart);
  el.secondInput.addEventListener('change', takeSecondValue);
  for (const set of SETS) {
    el[set].photos.addEventListener('change', () => (set === 'check' ? checkPhoto() : addPhotos(set)));
    el[set].write.addEventListener('click', () => writeValue(set));
  }
  el.connect.addEventListener('click', connect);
  el.use.addEventListener('click', useValue);
  doc.addEventListener(EDITOR_CHANGED, () => { if (el.dialog.open) render(); });
  // The Connection line changes as the adapter comes and goes.
  const connection = doc.getElementById('connection');
  if (connection) {
    new MutationObserver(() => { if (el.dialog.open) render(); })
      .observe(connection, { childList: true, characterData: true, subtree: true });
  }
  // A page being left cannot say which value it leaves behind: the browser asks.
  window.addEventListener('beforeunload', (event) => {
    if (!testValuesLeft().length) return;
    event.preventDefault();
    event.returnValue = '';
  });
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

// The controls of the step of one value (`set`: 'first', 'second' or
// 'check'), added to its item: its lines, its write and how that failed,
// and its photos.
function valueStep(doc, set) {
  const item = doc.querySelector(`.focus-value[data-set="${set}"]`);
  const part = (tag, className) => {
    const node = doc.createElement(tag);
    node.className = className;
    return node;
  };
  const step = {
    number: item.querySelector('.focus-number'),
    note: part('div', 'focus-write-note'),
    outcome: part('p', 'focus-write-outcome'),
    write: part('button', 'focus-write'),
    photos: doc.createElement('input'),
    chooser: part('label', 'file-button'),
    actions: part('div', 'toolbar'),
    list: part('ul', 'focus-photos'),
  };
  step.write.type = 'button';
  step.write.hidden = true;
  Object.assign(step.photos, { type: 'file', accept: 'image/*', multiple: true });
  step.chooser.append(Object.assign(doc.createElement('span'), { textContent: item.dataset.photos }), step.photos);
  step.actions.append(step.write, step.chooser);
  item.append(step.note, step.outcome, step.actions, step.list);
  return step;
}

// Opens the assistant for `lens` where the owner left it.
export function openAssistant(lens) {
  const focal = text(core._editor_focal_length(lens));
  // Another file may list other lenses under the same numbers.
  const key = `${lens} ${focal} ${text(core._editor_lens_id(lens))}`;
  if (!lenses.has(key)) lenses.set(key, { lens, field: 0, fields: new Map() });
  open = { lens, key };
  el.title.textContent = `Find the value for lens ${lens} (${focal})`;
  el.distance.textContent = text(core._focus_setup_distance_text(lens));
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
      started: false, first: 0, second: 0, check: 0, secondTyped: false,
      photos: { first: [], second: [], check: [] }, written: {},
      before: null,  // {had, value}: the field before the assistant's first write
      testLeft: false,  // a test value written, and neither the proposal nor the old value since
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
  const zone = text(core._focus_zone_note(open.lens, field));
  el.zone.textContent = zone;
  el.zone.hidden = !zone;
  // Only a Connect that failed here is told here; not connected is no failure.
  const failed = connectTried && core._adapter_connection() !== CONNECTED ? text(core._adapter_connection_text()) : '';
  el.connection.textContent = failed || putBackLine;
  el.connection.hidden = !el.connection.textContent;
  el.connect.hidden = true;
  if (el.doc.activeElement !== el.secondInput) el.secondInput.value = String(state.second);
  const measured = (set) => state.photos[set].filter((photo) => photo.ok && photo.value === state[set]).length;
  renderValueStep('first', field, state, true, measured('first'));
  renderValueStep('second', field, state, measured('first') > 0, measured('second'));
  renderResult(field, state, measured('first') > 0 && measured('second') > 0);
}

// What the step of `set` says and offers now, as the module says it.
function renderValueStep(set, field, state, ready, measured) {
  const step = el[set];
  const value = state[set];
  if (step.number) step.number.textContent = String(value);
  const shows = core._focus_step(open.lens, field, value, ready ? 1 : 0, measured, adapterReachable() ? 1 : 0,
    set === 'check' ? 1 : 0, set === 'check' ? 0 : 1);
  showLines(step.note, text(core._focus_step_text()));
  step.write.hidden = !(shows & SHOWS_WRITE);
  step.write.textContent = `Write ${value} to the adapter`;
  step.chooser.hidden = !(shows & SHOWS_PHOTOS);
  if (shows & SHOWS_CONNECT) {
    step.actions.prepend(el.connect);
    el.connect.hidden = false;
  }
  // Why a write of this value did not complete, while it is still to do.
  const written = state.written[set];
  step.outcome.textContent = written && written.value === value && !step.write.hidden ? written.line : '';
  step.list.replaceChildren(...state.photos[set].filter((photo) => set !== 'check' || photo.value === value)
    .map((photo) => photoRow(photo, set === 'check' ? null : () => {
      state.photos[set] = state.photos[set].filter((other) => other !== photo);
      render();
    })));
}

// Lines one per line end: the first says where things stand, the rest are
// what to do next, in order.
function showLines(node, lines) {
  const [first, ...next] = lines ? lines.split('\n') : [];
  const parts = first ? [Object.assign(el.doc.createElement('p'), { textContent: first })] : [];
  if (next.length) {
    const list = el.doc.createElement('ol');
    list.className = 'focus-trip';
    list.append(...next.map((line) => Object.assign(el.doc.createElement('li'), { textContent: line })));
    parts.push(list);
  }
  node.replaceChildren(...parts);
}

// A photo's picture, its name and what it was taken at, then its
// measurement or why it was not used, and a question about its lens.
function photoRow(photo, remove) {
  const doc = el.doc;
  const item = doc.createElement('li');
  item.className = photo.line === null ? 'measuring' : photo.ok ? 'measured' : 'refused';
  if (photo.onTarget) item.classList.add('on-target');
  const part = (tag, className, textContent) => Object.assign(doc.createElement(tag), { className, textContent });
  if (photo.picture) {
    item.classList.add('pictured');
    item.append(photo.picture);
  }
  const about = part('div', 'focus-photo');
  about.append(part('span', 'file-name', photo.name));
  if (photo.takenWith) about.append(part('span', 'focus-taken', photo.takenWith));
  const outcome = part('div', 'focus-outcome');
  outcome.append(part('span', 'focus-line', photo.line === null ? 'Measuring…' : photo.line));
  if (photo.question) outcome.append(part('span', 'focus-question', photo.question));
  item.append(about, outcome);
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

function renderResult(field, state, ready) {
  el.use.hidden = true;
  el.used.hidden = true;
  el.checkItem.hidden = true;
  el.finished.hidden = true;
  if (!ready) {
    el.result.textContent = pastEndLine(state) || el.waiting;
    return;
  }
  core._focus_clear_samples();
  for (const set of ['first', 'second']) {
    for (const photo of state.photos[set]) {
      if (photo.ok && photo.value === state[set]) {
        core._focus_add_sample(photo.value, photo.mm, photo.zone, photo.focal, photo.fNumber);
      }
    }
  }
  const proposed = core._focus_propose() === 1;
  el.result.textContent = text(core._focus_proposal_text()).trimEnd();
  if (!proposed) return;
  const value = core._focus_proposed_value();
  state.check = value;
  el.checkItem.hidden = false;
  // Written from here where the settings shown are the adapter's; else the
  // field takes it as an edit, written with the rest.
  if (!core._focus_writes_proposal(adapterReachable() ? 1 : 0)) {
    el.use.textContent = `Use ${value}`;
    el.use.hidden = false;
    el.used.hidden = state.used !== value;
    el.used.textContent = `“${fieldLabels()[field]}” of lens ${open.lens} shows ${value} now, marked as a ` +
      'change: write the settings to the adapter to use it.';
  }
  const checks = state.photos.check.filter((photo) => photo.value === value);
  renderValueStep('check', field, state, true, checks.filter((photo) => photo.line !== null).length);
  const last = checks[checks.length - 1];
  const finished = last && last.onTarget ? text(core._focus_finished_text(open.lens, field, value)) : '';
  // The job ends there: no more photos are asked for, and the end is seen.
  if (finished) el.check.chooser.hidden = true;
  if (finished && el.finished.hidden) requestAnimationFrame(() => el.finished.scrollIntoView({ block: 'nearest' }));
  el.finished.textContent = finished;
  el.finished.hidden = !finished;
}

// Where the photos at one value all put the focus past an end of the chart
// and those at the other gave results: the value to take them at instead.
function pastEndLine(state) {
  const [first, second] = ['first', 'second'].map((set) => state.photos[set].filter((photo) => photo.value === state[set]));
  for (const [past, other] of [[first, second], [second, first]]) {
    if (!past.some((photo) => photo.pastEnd) || past.some((photo) => photo.ok) || !other.some((photo) => photo.ok)) continue;
    const line = text(core._focus_past_end_text(past[0].value, other[0].value)).trim();
    if (line) return line;
  }
  return '';
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
    const photo = { name: file.name, line: null, value: state[set] };
    // The same name again is the same photo, taken anew.
    state.photos[set] = state.photos[set].filter((other) => other.name !== file.name).concat(photo);
    work(async () => Object.assign(photo, await measure(file)));
  }
  render();
}

// The check photo is judged only where the adapter may hold the value it
// checks: where the page knows it holds another, it says so instead.
function checkPhoto() {
  const { field, state } = current();
  const file = el.check.photos.files[0];
  el.check.photos.value = '';
  const value = state.check;
  if (!file) return;
  const photo = { name: file.name, line: null, value };
  state.photos.check = state.photos.check.filter((other) => other.value === value && other.name !== file.name)
    .concat(photo);
  render();
  work(async () => {
    const measured = await measure(file);
    const held = text(core._focus_check_held_text(open.lens, field, value));
    photo.ok = measured.ok;
    photo.unjudged = Boolean(held);
    photo.onTarget = !held && measured.read && core._focus_check(value) === 1;
    photo.line = held || (measured.read ? text(core._focus_check_line()) : measured.line);
  });
}

// One photo's measurement: {read, ok, mm, zone, line, pastEnd, takenWith,
// focal, fNumber, question, picture}. The module decodes
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
    line: text(core._focus_measured_line()), pastEnd: core._focus_measured_past_end() === 1,
    takenWith: text(core._focus_measured_taken_with()), focal: core._focus_measured_focal_mm(),
    fNumber: core._focus_measured_f_number(), question: text(core._focus_measured_lens_question(open.lens)),
    picture: takePicture(file.name),
  };
}

// The last photo's picture on a canvas of its own, kept with the photo; the
// module's copy is freed at once, as pictures are large.
function takePicture(name) {
  const width = core._focus_picture_width();
  const height = core._focus_picture_height();
  const start = core._focus_picture_rgba();
  let canvas = null;
  if (width && height && start) {
    const pixels = new Uint8ClampedArray(core.HEAPU8.slice(start, start + width * height * 4).buffer);
    canvas = Object.assign(el.doc.createElement('canvas'), { width, height, className: 'focus-picture' });
    canvas.setAttribute('role', 'img');
    canvas.setAttribute('aria-label', `Where the focus lies in ${name}`);
    canvas.getContext('2d').putImageData(new ImageData(pixels, width, height), 0, 0);
  }
  core._focus_picture_free();
  return canvas;
}

// "Write VALUE to the adapter": the page's own write of the editor's
// settings with the one field changed, its question and backup included.
// The dialog steps aside meanwhile, so that the write's question and the
// Status show, and comes back with its outcome. A test value written is
// remembered until the proposal or the old value replaces it.
function writeValue(set) {
  const { field, state } = current();
  const { lens } = open;
  const value = state[set];
  state.started = true;
  if (set !== 'check' && !state.before) state.before = fieldNow(lens, field);
  el.dialog.close();
  return work(async () => {
    const line = await writeEntry(lens, field, value);
    if (core._focus_value_state(lens, field, value) === VALUE_HELD) {
      delete state.written[set];
      state.testLeft = set !== 'check';
    } else {
      state.written[set] = { value, line };
    }
    openAssistant(lens);
  });
}

// The field as the editor holds it: {had, value}, had 0 for default.
function fieldNow(lens, field) {
  const pointer = core._malloc(4);
  try {
    const had = core._editor_entry_value(lens, field, pointer);
    return { had, value: had ? core.getValue(pointer, 'i32') : 0 };
  } finally {
    core._free(pointer);
  }
}

// Connect, from inside the assistant: it goes on where the owner left off.
async function connect() {
  connectTried = true;
  await connectAdapter();
  if (el.dialog.open) render();
}

// "Use N": the field takes N as any edit does, marked and counted;
// nothing is written until the owner writes the settings.
function useValue() {
  const { field, state } = current();
  setEntryText(open.lens, field, String(state.check));
  state.used = state.check;
  render();
}

// [lens, field, state, question] for each test value the adapter holds
// in place of what it held before.
function testValuesLeft() {
  const left = [];
  for (const { lens, fields } of lenses.values()) {
    for (const [field, state] of fields) {
      if (!state.testLeft || !state.before) continue;
      const question = text(core._focus_put_back_text(lens, field, state.before.had, state.before.value));
      if (question) left.push([lens, field, state, question]);
    }
  }
  return left;
}

// Close: a test value still on the adapter is put back or kept, as the
// owner says; Escape on the question stays in the assistant.
async function closeAssistant() {
  for (const [lens, field, state, question] of testValuesLeft().filter(([lens]) => lens === open.lens)) {
    const [putBack, keep] = el.putBack.querySelectorAll('button');
    el.putBackQuestion.textContent = question;
    putBack.textContent = text(core._focus_put_back_label(state.before.had, state.before.value));
    keep.textContent = text(core._focus_keep_label(lens, field));
    const answer = await new Promise((resolve) => {
      const onClick = (event) => {
        const button = event.target.closest('button');
        if (button) finish(button.value);
      };
      const onCancel = (event) => {
        event.preventDefault();
        finish(null);
      };
      const finish = (value) => {
        el.putBack.removeEventListener('click', onClick);
        el.putBack.removeEventListener('cancel', onCancel);
        el.putBack.close();
        resolve(value);
      };
      el.putBack.addEventListener('click', onClick);
      el.putBack.addEventListener('cancel', onCancel);
      el.putBack.showModal();
    });
    if (!answer) return;
    if (answer === 'keep') {
      state.testLeft = false;
    } else if (!await putBackValue(lens, field, state)) {
      return;
    }
  }
  if (el.dialog.open) el.dialog.close();
}

// Writes the value the field held before the test, connecting first where
// the adapter is not: true once the adapter holds it. The assistant steps
// aside meanwhile, and comes back to say why where it could not.
async function putBackValue(lens, field, state) {
  const { had, value } = state.before;
  el.dialog.close();
  await work(async () => {
    if (core._adapter_connection() !== CONNECTED) {
      connectTried = true;
      await connectAdapter();
    }
    const line = core._adapter_connection() === CONNECTED ? await writeEntry(lens, field, had ? value : '') : '';
    state.testLeft = Boolean(text(core._focus_put_back_text(lens, field, had, value)));
    putBackLine = state.testLeft ? line : '';
    if (state.testLeft) openAssistant(lens);
  });
  return !state.testLeft;
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
