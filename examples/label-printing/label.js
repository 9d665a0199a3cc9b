// Lists the local agent's printers, renders a label at the chosen printer's resolution
// (one canvas pixel per printer dot) and prints it through the agent.

const DEFAULT_AGENT = 'http://127.0.0.1:6780';
const agent = (new URLSearchParams(location.search).get('agent') || DEFAULT_AGENT).replace(/\/+$/, '');

const ui = {
  printers: document.getElementById('printers'),
  onlySupported: document.getElementById('only-supported'),
  refresh: document.getElementById('refresh'),
  resolution: document.getElementById('resolution'),
  widthMm: document.getElementById('width-mm'),
  heightMm: document.getElementById('height-mm'),
  text: document.getElementById('label-text'),
  preview: document.getElementById('preview'),
  size: document.getElementById('size'),
  print: document.getElementById('print'),
  outcome: document.getElementById('outcome'),
};

let resolution = null; // { xDPI, yDPI } of the selected printer; null while unknown
let printing = false;
// Answers can arrive out of order when the user changes a choice quickly: only the
// latest request of each kind may update the page.
let listTicket = 0;
let resolutionTicket = 0;

function query(params) {
  const parts = Object.entries(params).map(([k, v]) => `${encodeURIComponent(k)}=${encodeURIComponent(v)}`);
  return parts.length ? `?${parts.join('&')}` : '';
}

// Every API call is a POST answered with JSON. X-Requested-With is not a CORS-safelisted
// header, so the browser asks the agent first with a preflight (OPTIONS), as it would
// for any page that sends its own headers. text/plain keeps the body out of the
// agent's form-field parsing.
async function callAgent(path, params = {}, body = '') {
  let response;
  try {
    response = await fetch(agent + path + query(params), {
      method: 'POST',
      headers: { 'X-Requested-With': 'XMLHttpRequest', 'Content-Type': 'text/plain' },
      body,
    });
  } catch {
    throw new Error(`the agent at ${agent} does not answer (not running, or the browser blocked the request)`);
  }
  if (!response.ok) throw new Error(`the agent answered HTTP ${response.status}`);
  return response.json();
}

function showOutcome(status, text) {
  ui.outcome.dataset.status = status;
  ui.outcome.textContent = text;
}

function updatePrintButton() {
  ui.print.disabled = printing || resolution === null || ui.preview.width === 0;
}

async function loadPrinters() {
  const ticket = ++listTicket;
  const previous = ui.printers.value;
  ui.printers.dataset.state = 'loading';
  // The filter counts by its presence alone: leave it out entirely to list everything.
  const params = ui.onlySupported.checked ? { onlySupported: '1' } : {};
  let names = [];
  try {
    const answer = await callAgent('/klapi/GetPrinters', params);
    if (ticket !== listTicket) return;
    if (answer.statusCode !== '10001') throw new Error(String(answer.resultInfo));
    names = answer.resultInfo.printers.map((p) => p.name);
    ui.printers.dataset.state = 'loaded';
  } catch (e) {
    if (ticket !== listTicket) return;
    ui.printers.dataset.state = 'failed';
    showOutcome('failed', `Cannot list printers: ${e.message}`);
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
    const answer = await callAgent('/klapi/GetPrinterResolution', { printName: name });
    if (ticket !== resolutionTicket) return;
    // A success carries no statusCode, only the numbers.
    if (answer.statusCode === '10002') throw new Error(String(answer.resultInfo));
    const { xDPI, yDPI } = answer.resultInfo || {};
    if (!(Number.isInteger(xDPI) && xDPI > 0 && Number.isInteger(yDPI) && yDPI > 0)) {
      throw new Error('the answer has no resolution');
    }
    resolution = { xDPI, yDPI };
    ui.resolution.dataset.xdpi = String(xDPI);
    ui.resolution.dataset.ydpi = String(yDPI);
    ui.resolution.dataset.state = 'known';
    ui.resolution.textContent = `${xDPI} × ${yDPI} dpi`;
  } catch (e) {
    if (ticket !== resolutionTicket) return;
    ui.resolution.dataset.state = 'failed';
    ui.resolution.textContent = `unknown: ${e.message}`;
  }
  render();
}

// A bar per set bit of the text's bytes between two guard patterns: a pattern that
// changes with the text, not a real barcode symbology.
function barBits(text) {
  const bits = [1, 0, 1];
  for (const byte of new TextEncoder().encode(text)) {
    for (let i = 7; i >= 0; --i) bits.push((byte >> i) & 1);
    bits.push(0);
  }
  bits.push(1, 0, 1);
  return bits;
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

function drawLabel(ctx, width, height, wMm, hMm, { xDPI, yDPI }, text) {
  const mmX = xDPI / 25.4;
  const mmY = yDPI / 25.4;
  const X = (mm) => Math.round(mm * mmX);
  const Y = (mm) => Math.round(mm * mmY);
  const margin = 2;

  ctx.fillStyle = '#fff';
  ctx.fillRect(0, 0, width, height);
  drawLogo(ctx, X(margin), Y(margin), mmX, mmY);

  // Fonts are sized in dots of the vertical resolution and stretched to the horizontal one.
  const textLeft = margin + 11;
  const textWidth = Math.max(1, width - X(textLeft) - X(margin));
  ctx.save();
  ctx.scale(xDPI / yDPI, 1);
  ctx.fillStyle = '#000';
  ctx.textBaseline = 'top';
  ctx.font = `bold ${Y(4.5)}px sans-serif`;
  ctx.fillText(text, X(textLeft) * yDPI / xDPI, Y(margin), textWidth * yDPI / xDPI);
  ctx.font = `${Y(2.5)}px sans-serif`;
  ctx.fillText(`${wMm} × ${hMm} mm, ${xDPI} × ${yDPI} dpi`, X(textLeft) * yDPI / xDPI, Y(margin + 6),
               textWidth * yDPI / xDPI);
  ctx.restore();

  // Bars on whole dots: a module of about 0.25 mm, never less than one dot.
  const module = Math.max(1, X(0.25));
  const barTop = Y(margin + 11);
  const barHeight = Math.max(Y(2), height - barTop - Y(margin));
  const bits = barBits(text);
  const fits = Math.floor((width - 2 * X(margin)) / module);
  ctx.fillStyle = '#000';
  bits.slice(0, fits).forEach((bit, i) => {
    if (bit) ctx.fillRect(X(margin) + i * module, barTop, module, barHeight);
  });

  // A thermal head prints a dot or none. Deciding every dot here keeps anti-aliased
  // edges from being left to the driver's dithering, and the preview shows what prints.
  const image = ctx.getImageData(0, 0, width, height);
  const px = image.data;
  for (let i = 0; i < px.length; i += 4) {
    const v = 0.299 * px[i] + 0.587 * px[i + 1] + 0.114 * px[i + 2] < 128 ? 0 : 255;
    px[i] = px[i + 1] = px[i + 2] = v;
    px[i + 3] = 255;
  }
  ctx.putImageData(image, 0, 0);
}

function render() {
  const canvas = ui.preview;
  const wMm = Number(ui.widthMm.value);
  const hMm = Number(ui.heightMm.value);
  if (resolution === null || !(wMm > 0 && hMm > 0)) {
    canvas.width = 0;
    canvas.height = 0;
    ui.size.textContent = '';
    updatePrintButton();
    return;
  }
  // Device pixels, not CSS pixels: the agent prints one image pixel per dot.
  const width = Math.round((wMm / 25.4) * resolution.xDPI);
  const height = Math.round((hMm / 25.4) * resolution.yDPI);
  canvas.width = width;
  canvas.height = height;
  // Only the on-screen size follows the label's millimetres; the bitmap stays in dots.
  canvas.style.width = `${wMm}mm`;
  canvas.style.height = `${hMm}mm`;
  drawLabel(canvas.getContext('2d', { willReadFrequently: true }), width, height, wMm, hMm, resolution,
            ui.text.value);
  ui.size.textContent = `${width} × ${height} dots: ${wMm} × ${hMm} mm at ${resolution.xDPI} × ${resolution.yDPI} dpi`;
  updatePrintButton();
}

async function printLabel() {
  const name = ui.printers.value;
  if (resolution === null || !name) return;
  printing = true;
  updatePrintButton();
  showOutcome('pending', `Printing on ${name}…`);
  try {
    // The body is the data URL itself; the printer is named in the query.
    const answer = await callAgent('/klapi/PrintImage', { printName: name }, ui.preview.toDataURL('image/png'));
    if (answer.statusCode === '10001') showOutcome('ok', `Printed on ${name}.`);
    else showOutcome('failed', `Print failed: ${answer.resultInfo}`);
  } catch (e) {
    showOutcome('failed', `Print failed: ${e.message}`);
  }
  printing = false;
  updatePrintButton();
}

ui.onlySupported.addEventListener('change', loadPrinters);
ui.refresh.addEventListener('click', loadPrinters);
ui.printers.addEventListener('change', loadResolution);
for (const input of [ui.widthMm, ui.heightMm, ui.text]) input.addEventListener('input', render);
ui.print.addEventListener('click', printLabel);

loadPrinters();
