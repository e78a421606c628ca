// A small drawing of one lens's corrections across its range, tele/near
// end on the left, wide/infinity end on the right: the all-range value as
// a dashed line over the whole width, each zone's value as a bar over its
// zone, 0 as a line on the zero axis and a default as a hatched band there.
const SVG = 'http://www.w3.org/2000/svg';
const WIDTH = 236;
const HEIGHT = 92;
const SCALE_WIDTH = 34;  // the tick labels' column
const PAD_RIGHT = 4;
const PAD_TOP = 8;
const AXIS_LABEL_HEIGHT = 18;
const LABEL_GAP = 4;
const ZONE_GAP = 2;
const DEFAULT_HALF_HEIGHT = 4;
const ZERO_HALF_HEIGHT = 1;
const HATCH_STEP = 4;
// Where each zone field lies on the range, as fractions from tele/near to
// wide/infinity: field 0 is the whole range, fields 1..3 the three zones.
const ZONES = [[0, 1], [0, 0.5], [0.5, 0.75], [0.75, 1]];

function node(name, attributes, parent) {
  const element = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, String(value));
  if (parent) parent.append(element);
  return element;
}

function label(parent, x, y, anchor, text) {
  node('text', { x, y, class: 'axis', 'text-anchor': anchor }, parent).textContent = text;
}

// A band of 45° strokes filling the box, so that "default" never reads as
// a value, whatever the colours.
function hatched(parent, left, top, width, height) {
  const group = node('g', { class: 'unset' }, parent);
  node('rect', { x: left, y: top, width, height }, group);
  const bottom = top + height;
  for (let start = left - height; start < left + width; start += HATCH_STEP) {
    const x1 = Math.max(start, left);
    const x2 = Math.min(start + height, left + width);
    if (x2 <= x1) continue;
    node('line', { x1, y1: bottom - (x1 - start), x2, y2: bottom - (x2 - start) }, group);
  }
}

// A logarithmic scale: a correction of ±1 stands several pixels off the
// axis, and ±127 reaches the edge (a linear one would draw ±5 under a pixel).
function scale(limit, mid, half) {
  return (value) => mid - Math.sign(value) * (Math.log1p(Math.abs(value)) / Math.log1p(limit)) * half;
}

// Replaces the content of `cell` with the drawing; `values` holds the
// decoded corrections in field order (null: default).
export function drawCorrections(cell, lensName, labels, values, range) {
  const plotBottom = HEIGHT - AXIS_LABEL_HEIGHT;
  const mid = (PAD_TOP + plotBottom) / 2;
  const half = (plotBottom - PAD_TOP) / 2;
  const x = (fraction) => SCALE_WIDTH + fraction * (WIDTH - SCALE_WIDTH - PAD_RIGHT);
  const limit = Math.max(range.max, -range.min);
  const y = scale(limit, mid, half);

  const summary = labels
    .map((text, field) => `${text} ${values[field] === null ? 'default' : values[field]}`)
    .join(', ');
  const svg = node('svg', {
    viewBox: `0 0 ${WIDTH} ${HEIGHT}`, width: WIDTH, height: HEIGHT,
    role: 'img', 'aria-label': `${lensName} corrections: ${summary}`, class: 'corrections',
  });
  node('rect', { x: x(0), y: PAD_TOP, width: x(1) - x(0), height: plotBottom - PAD_TOP, class: 'plot' }, svg);
  for (const boundary of [0.5, 0.75]) {
    node('line', { x1: x(boundary), x2: x(boundary), y1: PAD_TOP, y2: plotBottom, class: 'zone' }, svg);
  }
  node('line', { x1: x(0), x2: x(1), y1: mid, y2: mid, class: 'zero' }, svg);
  const labelX = SCALE_WIDTH - LABEL_GAP;
  label(svg, labelX, y(limit) + 4, 'end', `+${limit}`);
  label(svg, labelX, mid + 4, 'end', '0');
  label(svg, labelX, y(-limit), 'end', `\u2212${limit}`);

  values.forEach((value, field) => {
    const [from, to] = ZONES[field];
    if (field === 0) {
      if (value !== null) {
        node('line', { x1: x(from), x2: x(to), y1: y(value), y2: y(value), class: 'all-range' }, svg);
      }
      return;
    }
    const left = x(from) + ZONE_GAP;
    const width = x(to) - x(from) - 2 * ZONE_GAP;
    if (value === null) {
      hatched(svg, left, mid - DEFAULT_HALF_HEIGHT, width, 2 * DEFAULT_HALF_HEIGHT);
    } else if (value === 0) {
      node('rect', { x: left, y: mid - ZERO_HALF_HEIGHT, width, height: 2 * ZERO_HALF_HEIGHT, class: 'bar zero-value' }, svg);
    } else {
      node('rect', {
        x: left, y: Math.min(y(value), mid), width, height: Math.abs(y(value) - mid),
        class: value < 0 ? 'bar minus' : 'bar plus',
      }, svg);
    }
  });

  label(svg, x(0), HEIGHT - 3, 'start', 'tele/near');
  label(svg, x(1), HEIGHT - 3, 'end', 'wide/infinity');
  const title = node('title', {}, null);
  title.textContent = summary;
  svg.prepend(title);
  cell.replaceChildren(svg);
}

const KEY_WIDTH = 30;
const KEY_HEIGHT = 14;

// The drawings' key, one item per mark, into the list `list`.
export function drawKey(list) {
  const doc = list.ownerDocument;
  const items = [
    ['default: no correction', (svg) => hatched(svg, 1, 3, KEY_WIDTH - 2, KEY_HEIGHT - 6)],
    ['0', (svg) => node('rect', { x: 1, y: 6, width: KEY_WIDTH - 2, height: 2, class: 'bar zero-value' }, svg)],
    ['plus', (svg) => node('rect', { x: 1, y: 2, width: KEY_WIDTH - 2, height: KEY_HEIGHT - 4, class: 'bar plus' }, svg)],
    ['minus', (svg) => node('rect', { x: 1, y: 2, width: KEY_WIDTH - 2, height: KEY_HEIGHT - 4, class: 'bar minus' }, svg)],
    ['all range', (svg) => node('line', { x1: 1, x2: KEY_WIDTH - 1, y1: 7, y2: 7, class: 'all-range' }, svg)],
  ];
  list.replaceChildren();
  for (const [text, draw] of items) {
    const item = doc.createElement('li');
    const svg = node('svg', {
      viewBox: `0 0 ${KEY_WIDTH} ${KEY_HEIGHT}`, width: KEY_WIDTH, height: KEY_HEIGHT,
      class: 'corrections', 'aria-hidden': 'true',
    });
    draw(svg);
    item.append(svg, doc.createTextNode(text));
    list.append(item);
  }
}
