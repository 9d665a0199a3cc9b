// Lists the local agent's printers, renders a label with a Code 128 of its text at the
// chosen printer's resolution (one canvas pixel per printer dot) and prints it.
import { LabelAgent, labelCanvas, mmToDots, toMonochrome } from 'kelo-label-agent';
import { code128 } from 'bwip-js';

const ui = {
  printers: document.getElementById('printers'),
  onlySupported: document.getElementById('only-supported'),
  refresh: document.getElementById('refresh'),
  resolution: document.getElementById('resolution'),
  widthMm: document.getElementById('width-mm'),
  heightMm: document.getElementById('height-mm'),
  text: document.getElementById('label-text'),
  size: document.getElementById('size'),
  print: document.getElementById('print'),
  outcome: document.getElementById('outcome'),
};
const preview = () => document.getElementById('preview');

let agent = null;
let resolution = null; // the selected printer's, from getResolution; null while unknown
let printing = false;
// Answers can arrive out of order when the user changes a choice quickly: only the
// latest request of each kind may update the page.
let listTicket = 0;
let resolutionTicket = 0;

// The agent's own words when it refused; otherwise the library's message, which for an
// unreachable agent also names the browser's Local Network Access prompt.
const describe = (e) => (e.code === 'refused' ? e.detail : e.message);

function showOutcome(status, text) {
  ui.outcome.dataset.status = status;
  ui.outcome.textContent = text;
}

function updatePrintButton() {
  ui.print.disabled = printing || agent === null || resolution === null || preview().width === 0;
}

async function loadPrinters() {
  const ticket = ++listTicket;
  const previous = ui.printers.value;
  ui.printers.dataset.state = 'loading';
  let names = [];
  try {
    names = await agent.listPrinters({ supportedOnly: ui.onlySupported.checked });
    if (ticket !== listTicket) return;
    ui.printers.dataset.state = 'loaded';
  } catch (e) {
    if (ticket !== listTicket) return;
    ui.printers.dataset.state = 'failed';
    showOutcome('failed', `Cannot list printers: ${describe(e)}`);
  }
  ui.printers.replaceChildren(...names.map((name) => new Option(name, name)));
  if (names.includes(previous)) ui.printers.value = previous;
  await loadResolution();
}

async function loadResolution() {
  const ticket = ++resolutionTicket;
  const name = ui.printers.value;
  resolution = null;
  delete ui.resolution.dataset.xdpi;
  delete ui.resolution.dataset.ydpi;
  if (!name) {
    ui.resolution.dataset.state = 'none';
    ui.resolution.textContent = 'no printer chosen';
    render();
    return;
  }
  ui.resolution.dataset.state = 'loading';
  ui.resolution.textContent = 'asking the printer…';
  render();
  try {
    const answer = await agent.getResolution(name);
    if (ticket !== resolutionTicket) return;
    resolution = answer;
    ui.resolution.dataset.xdpi = String(answer.xDpi);
    ui.resolution.dataset.ydpi = String(answer.yDpi);
    ui.resolution.dataset.state = 'known';
    ui.resolution.textContent = `${answer.xDpi} × ${answer.yDpi} dpi`;
  } catch (e) {
    if (ticket !== resolutionTicket) return;
    ui.resolution.dataset.state = 'failed';
    ui.resolution.textContent = `unknown: ${describe(e)}`;
  }
  render();
}

// A price-tag outline with a punched hole and three lines, drawn in millimetres.
function drawLogo(ctx, x, y, dotsPerMmX, dotsPerMmY) {
  ctx.save();
  ctx.setTransform(dotsPerMmX, 0, 0, dotsPerMmY, x, y);
  ctx.beginPath();
  ctx.moveTo(0.8, 0);
  ctx.lineTo(5.8, 0);
  ctx.lineTo(9, 4.5);
  ctx.lineTo(5.8, 9);
  ctx.lineTo(0.8, 9);
  ctx.quadraticCurveTo(0, 9, 0, 8.2);
  ctx.lineTo(0, 0.8);
  ctx.quadraticCurveTo(0, 0, 0.8, 0);
  ctx.closePath();
  ctx.moveTo(7.2, 4.5);
  ctx.arc(6.2, 4.5, 1, 0, 2 * Math.PI, true);
  ctx.fillStyle = '#000';
  ctx.fill('evenodd');
  ctx.fillStyle = '#fff';
  for (const [top, length] of [[2.4, 3.6], [4.1, 2.6], [5.8, 3.6]]) ctx.fillRect(1.2, top, length, 0.8);
  ctx.restore();
}

// The Code 128 symbol at a whole number of dots per module, with its quiet zones of ten
// modules, or null when it does not fit into `room` dots even at one dot a module.
function barcode(text, preferredModule, room) {
  for (const module of new Set([preferredModule, 1])) {
    const bars = document.createElement('canvas');
    // One row of bars, stretched to height later: the bars are the same all the way down.
    code128(bars, { text, scaleX: module, scaleY: 1, height: 1, paddingwidth: 10 });
    if (bars.width <= room) return bars;
  }
  return null;
}

function drawLabel(canvas, wMm, hMm, { xDpi, yDpi }, text) {
  const ctx = canvas.getContext('2d');
  const { width, height } = canvas;
  const mmX = xDpi / 25.4;
  const mmY = yDpi / 25.4;
  const X = (mm) => mmToDots(mm, xDpi);
  const Y = (mm) => mmToDots(mm, yDpi);
  const margin = 2;
  drawLogo(ctx, X(margin), Y(margin), mmX, mmY);

  // Fonts are sized in dots of the vertical resolution and stretched to the horizontal one.
  const textLeft = margin + 11;
  const textWidth = Math.max(1, width - X(textLeft) - X(margin));
  ctx.save();
  ctx.scale(xDpi / yDpi, 1);
  ctx.fillStyle = '#000';
  ctx.textBaseline = 'top';
  ctx.font = `bold ${Y(4.5)}px sans-serif`;
  ctx.fillText(text, X(textLeft) * yDpi / xDpi, Y(margin), textWidth * yDpi / xDpi);
  ctx.font = `${Y(2.5)}px sans-serif`;
  ctx.fillText(`${wMm} × ${hMm} mm, ${xDpi} × ${yDpi} dpi`, X(textLeft) * yDpi / xDpi, Y(margin + 6),
               textWidth * yDpi / xDpi);
  ctx.restore();

  // A module of about 0.25 mm in whole dots; the quiet zones may use the margins.
  const barTop = Y(margin + 11);
  const barHeight = Math.max(Y(2), height - barTop - Y(margin));
  let bars = null;
  let note = '';
  try {
    bars = barcode(text, Math.max(1, X(0.25)), width);
    if (!bars) note = 'the barcode does not fit on the label';
  } catch (e) {
    note = `no barcode: ${String(e.message || e).replace(/^bwipp\.\w+#\d+: /, '')}`;
  }
  if (bars) {
    ctx.imageSmoothingEnabled = false;
    ctx.drawImage(bars, Math.floor((width - bars.width) / 2), barTop, bars.width, barHeight);
  }
  toMonochrome(canvas);
  return note;
}

function render() {
  const wMm = Number(ui.widthMm.value);
  const hMm = Number(ui.heightMm.value);
  if (resolution === null || !(wMm > 0 && hMm > 0)) {
    preview().width = 0;
    preview().height = 0;
    ui.size.textContent = '';
    updatePrintButton();
    return;
  }
  // Device pixels, not CSS pixels: the agent prints one image pixel per dot.
  const canvas = labelCanvas(wMm, hMm, resolution);
  const note = drawLabel(canvas, wMm, hMm, resolution, ui.text.value);
  // Only the on-screen size follows the label's millimetres; the bitmap stays in dots.
  canvas.id = 'preview';
  canvas.style.width = `${wMm}mm`;
  canvas.style.height = `${hMm}mm`;
  preview().replaceWith(canvas);
  ui.size.textContent = `${canvas.width} × ${canvas.height} dots: ${wMm} × ${hMm} mm at ` +
    `${resolution.xDpi} × ${resolution.yDpi} dpi${note ? `; ${note}` : ''}`;
  updatePrintButton();
}

async function printLabel() {
  const name = ui.printers.value;
  if (resolution === null || !name) return;
  printing = true;
  updatePrintButton();
  showOutcome('pending', `Printing on ${name}…`);
  try {
    await agent.print(name, preview());
    showOutcome('ok', `Printed on ${name}.`);
  } catch (e) {
    showOutcome('failed', `Print failed: ${describe(e)}`);
  }
  printing = false;
  updatePrintButton();
}

try {
  // ?agent=http://127.0.0.1:6781 points the page at another agent.
  const url = new URLSearchParams(location.search).get('agent');
  agent = new LabelAgent(url ? { url } : {});
} catch (e) {
  ui.printers.dataset.state = 'failed';
  showOutcome('failed', `Cannot reach the agent: ${e.message}`);
}
if (agent) {
  ui.onlySupported.addEventListener('change', loadPrinters);
  ui.refresh.addEventListener('click', loadPrinters);
  ui.printers.addEventListener('change', loadResolution);
  for (const input of [ui.widthMm, ui.heightMm, ui.text]) input.addEventListener('input', render);
  ui.print.addEventListener('click', printLabel);
  loadPrinters();
}
