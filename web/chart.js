// A small drawing of one lens's corrections across its range, tele/near
// end on the left, wide/infinity end on the right: the all-range value as
// a dashed line over the whole width, each zone's value as a bar over its
// zone, a default as a hollow mark on the zero line.
const SVG = 'http://www.w3.org/2000/svg';
const WIDTH = 200;
const HEIGHT = 60;
const PAD_X = 6;
const PAD_Y = 6;
const AXIS_LABEL_HEIGHT = 10;
// Where each zone field lies on the range, as fractions from tele/near to
// wide/infinity: field 0 is the whole range, fields 1..3 the three zones.
const ZONES = [[0, 1], [0, 0.5], [0.5, 0.75], [0.75, 1]];

function node(name, attributes, parent) {
  const element = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, String(value));
  if (parent) parent.append(element);
  return element;
}

// Replaces the content of `cell` with the drawing; `values` holds the
// decoded corrections in field order (null: default).
export function drawCorrections(cell, lensName, labels, values, range) {
  const plotBottom = HEIGHT - AXIS_LABEL_HEIGHT;
  const mid = (PAD_Y + plotBottom) / 2;
  const half = (plotBottom - PAD_Y) / 2;
  const x = (fraction) => PAD_X + fraction * (WIDTH - 2 * PAD_X);
  // A square-root scale: the usual small corrections stay visible beside
  // the extremes.
  const limit = Math.max(range.max, -range.min);
  const y = (value) => mid - Math.sign(value) * Math.sqrt(Math.abs(value) / limit) * half;

  const summary = labels
    .map((label, field) => `${label} ${values[field] === null ? 'default' : values[field]}`)
    .join(', ');
  const svg = node('svg', {
    viewBox: `0 0 ${WIDTH} ${HEIGHT}`, width: WIDTH, height: HEIGHT,
    role: 'img', 'aria-label': `${lensName} corrections: ${summary}`, class: 'corrections',
  });
  node('rect', { x: PAD_X, y: PAD_Y, width: WIDTH - 2 * PAD_X, height: plotBottom - PAD_Y, class: 'plot' }, svg);
  for (const boundary of [0.5, 0.75]) {
    node('line', { x1: x(boundary), x2: x(boundary), y1: PAD_Y, y2: plotBottom, class: 'zone' }, svg);
  }
  node('line', { x1: x(0), x2: x(1), y1: mid, y2: mid, class: 'zero' }, svg);

  values.forEach((value, field) => {
    const [from, to] = ZONES[field];
    if (field === 0) {
      if (value !== null) {
        node('line', { x1: x(from), x2: x(to), y1: y(value), y2: y(value), class: 'all-range' }, svg);
      }
      return;
    }
    const left = x(from) + 2;
    const width = x(to) - x(from) - 4;
    if (value === null) {
      node('rect', { x: left, y: mid - 2, width, height: 4, rx: 2, class: 'unset' }, svg);
      return;
    }
    const top = Math.min(y(value), mid);
    node('rect', {
      x: left, y: top, width, height: Math.max(Math.abs(y(value) - mid), 1.5), rx: 1.5,
      class: value < 0 ? 'bar negative' : 'bar',
    }, svg);
  });

  node('text', { x: x(0), y: HEIGHT - 1, class: 'axis', 'text-anchor': 'start' }, svg).textContent = 'tele/near';
  node('text', { x: x(1), y: HEIGHT - 1, class: 'axis', 'text-anchor': 'end' }, svg).textContent = 'wide/inf.';
  const title = node('title', {}, null);
  title.textContent = summary;
  svg.prepend(title);
  cell.replaceChildren(svg);
}
