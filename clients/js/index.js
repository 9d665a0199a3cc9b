// Promise client of the local label agent's HTTP API, plus helpers that draw labels in printer dots.

const DEFAULT_URL = 'http://127.0.0.1:6780';
const DEFAULT_TIMEOUT_MS = 5000;
const MM_PER_INCH = 25.4;

export class AgentError extends Error {
  constructor(code, message, { detail, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'AgentError';
    this.code = code;
    if (detail !== undefined) this.detail = detail;
  }
}

export function mmToDots(mm, dpi) {
  if (!Number.isFinite(mm) || mm < 0) throw new RangeError(`mmToDots: ${mm} is not a length in millimetres`);
  if (!Number.isFinite(dpi) || dpi <= 0) throw new RangeError(`mmToDots: ${dpi} is not a resolution in dpi`);
  return Math.round((mm * dpi) / MM_PER_INCH);
}

// Rejects misspelt options instead of silently ignoring them: a misspelt filter would list everything.
function checkOptions(where, options, types) {
  if (options === undefined) return {};
  if (options === null || typeof options !== 'object') throw new TypeError(`${where}: options must be an object`);
  for (const key of Object.keys(options)) {
    if (!Object.hasOwn(types, key)) throw new TypeError(`${where}: unknown option "${key}"`);
    if (options[key] !== undefined && typeof options[key] !== types[key]) {
      throw new TypeError(`${where}: option "${key}" must be a ${types[key]}`);
    }
  }
  return options;
}

function checkName(where, name) {
  if (typeof name !== 'string' || name === '' || !name.isWellFormed()) {
    throw new TypeError(`${where}: the printer name must be a non-empty string`);
  }
}

// encodeURIComponent, not URLSearchParams: '+' for a space would reach the agent as a '+'
// in some decoders, while %20 means a space everywhere.
function query(params) {
  const parts = Object.entries(params).map(([k, v]) => `${encodeURIComponent(k)}=${encodeURIComponent(v)}`);
  return parts.length ? `?${parts.join('&')}` : '';
}

function isObject(value) {
  return value !== null && typeof value === 'object' && !Array.isArray(value);
}

function refusedOrBadAnswer(answer, what) {
  if (isObject(answer) && answer.statusCode === '10002') {
    const detail = typeof answer.resultInfo === 'string' ? answer.resultInfo : '';
    return new AgentError('refused', `The agent refused ${what}: ${detail}`, { detail });
  }
  return new AgentError('bad-answer', `The agent's answer to ${what} is not what its API defines`);
}

async function blobToDataUrl(blob) {
  const bytes = new Uint8Array(await blob.arrayBuffer());
  let binary = '';
  // Chunks keep String.fromCharCode below the engines' argument limits.
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  return `data:${blob.type || 'application/octet-stream'};base64,${btoa(binary)}`;
}

// PNG throughout: JPEG's artefacts would print as stray dots.
async function toDataUrl(source) {
  if (typeof source === 'string') {
    // The agent decodes only Base64 payloads.
    if (!/^data:[^,]*;base64,/i.test(source)) throw new TypeError('print: a string source must be a Base64 data URL');
    return source;
  }
  if (typeof HTMLCanvasElement !== 'undefined' && source instanceof HTMLCanvasElement) {
    return source.toDataURL('image/png');
  }
  if (typeof OffscreenCanvas !== 'undefined' && source instanceof OffscreenCanvas) {
    return blobToDataUrl(await source.convertToBlob({ type: 'image/png' }));
  }
  if (typeof Blob !== 'undefined' && source instanceof Blob) return blobToDataUrl(source);
  throw new TypeError('print: the source must be a canvas, an OffscreenCanvas, a Blob or a data URL');
}

// The browser's permission for a page to reach loopback addresses: named
// 'loopback-network' since Chrome 145, 'local-network-access' before it.
const PERMISSION_NAMES = ['loopback-network', 'local-network-access'];
const PERMISSION_STATES = ['granted', 'prompt', 'denied'];

async function loopbackPermission() {
  const permissions = globalThis.navigator?.permissions;
  if (typeof permissions?.query !== 'function') return 'unsupported';
  for (const name of PERMISSION_NAMES) {
    try {
      const status = await permissions.query({ name });
      return PERMISSION_STATES.includes(status?.state) ? status.state : 'unsupported';
    } catch {
      // A name this browser does not know: try the older one.
    }
  }
  return 'unsupported';
}

export class LabelAgent {
  #url;
  #timeoutMs;

  constructor(options) {
    const { url = DEFAULT_URL, timeoutMs = DEFAULT_TIMEOUT_MS } =
      checkOptions('LabelAgent', options, { url: 'string', timeoutMs: 'number' });
    let parsed;
    try {
      parsed = new URL(url);
    } catch {
      throw new TypeError(`LabelAgent: "${url}" is not a URL`);
    }
    if (!['http:', 'https:'].includes(parsed.protocol) || parsed.search || parsed.hash) {
      throw new TypeError(`LabelAgent: "${url}" is not an http(s) address without query or fragment`);
    }
    if (!(Number.isFinite(timeoutMs) && timeoutMs > 0)) throw new TypeError('LabelAgent: timeoutMs must be positive');
    this.#url = parsed.href.replace(/\/+$/, '');
    this.#timeoutMs = timeoutMs;
  }

  get url() {
    return this.#url;
  }

  // Never rejects. Asking does not prompt: the browser asks the user itself on
  // the first call that needs it, which should follow a user's click.
  async permission() {
    return loopbackPermission();
  }

  async isRunning() {
    try {
      await this.listPrinters();
      return true;
    } catch {
      return false;
    }
  }

  // Each filter counts by its presence alone (even "onlyLocal=0" turns it on), so a false option sends nothing.
  async listPrinters(options) {
    const { localOnly, onlineOnly, supportedOnly } = checkOptions('listPrinters', options,
      { localOnly: 'boolean', onlineOnly: 'boolean', supportedOnly: 'boolean' });
    const params = {};
    if (localOnly) params.onlyLocal = '1';
    if (onlineOnly) params.onlyOnline = '1';
    if (supportedOnly) params.onlySupported = '1';
    const answer = await this.#call('/klapi/GetPrinters', params);
    const printers = isObject(answer) && answer.statusCode === '10001' && isObject(answer.resultInfo)
      ? answer.resultInfo.printers : undefined;
    if (!Array.isArray(printers) || !printers.every((p) => isObject(p) && typeof p.name === 'string')) {
      throw refusedOrBadAnswer(answer, 'the printer list');
    }
    return printers.map((p) => p.name);
  }

  async getResolution(printer) {
    checkName('getResolution', printer);
    const answer = await this.#call('/klapi/GetPrinterResolution', { printName: printer });
    // A success carries no statusCode; "10001" is taken too, should the agent ever add it.
    const info = isObject(answer) && (answer.statusCode === undefined || answer.statusCode === '10001')
      ? answer.resultInfo : undefined;
    const dpi = (v) => Number.isInteger(v) && v > 0;
    const size = (v) => Number.isInteger(v) && v >= 0;
    if (!isObject(info) || !dpi(info.xDPI) || !dpi(info.yDPI) || !size(info.physicalWidth) ||
        !size(info.physicalHeight) || !Number.isInteger(info.printQuality)) {
      throw refusedOrBadAnswer(answer, `the resolution of "${printer}"`);
    }
    return {
      xDpi: info.xDPI,
      yDpi: info.yDPI,
      widthDots: info.physicalWidth,
      heightDots: info.physicalHeight,
      printQuality: info.printQuality,
    };
  }

  async print(printer, source) {
    const named = printer !== undefined && printer !== null && printer !== '';
    if (named) checkName('print', printer);
    const body = await toDataUrl(source);
    // The agent takes the last parameter in name order as the queue: send printName alone,
    // or nothing for its default queue.
    const answer = await this.#call('/klapi/PrintImage', named ? { printName: printer } : {}, body);
    if (!(isObject(answer) && answer.statusCode === '10001')) {
      throw refusedOrBadAnswer(answer, `the print on ${named ? `"${printer}"` : 'the default queue'}`);
    }
  }

  // text/plain is a CORS-safelisted type and no header of our own is sent, so the
  // browser sends the call without a preflight.
  async #call(path, params, body = '') {
    const controller = new AbortController();
    let timedOut = false;
    const timer = setTimeout(() => {
      timedOut = true;
      controller.abort();
    }, this.#timeoutMs);
    const timeout = (cause) =>
      new AgentError('timeout', `The agent at ${this.#url} did not answer within ${this.#timeoutMs} ms`, { cause });
    try {
      let response;
      try {
        response = await fetch(this.#url + path + query(params), {
          method: 'POST',
          headers: { 'Content-Type': 'text/plain' },
          body,
          credentials: 'omit', // the agent allows every origin, but without credentials
          signal: controller.signal,
        });
      } catch (cause) {
        if (timedOut) throw timeout(cause);
        // A call that Local Network Access blocks fails exactly like one to a closed
        // port; only the permission tells them apart.
        if (await loopbackPermission() === 'denied') {
          throw new AgentError('blocked',
            `The browser does not let this site reach the label agent at ${this.#url} (Local Network Access). ` +
            'To allow it, open the site settings from the icon beside the address bar and allow local network ' +
            'access for this site, then reload the page; an administrator can allow the site for everyone with ' +
            'the browser policies LoopbackNetworkAllowedForUrls and LocalNetworkAccessAllowedForUrls (Chrome, Edge) ' +
            'or LocalNetworkAccess (Firefox).', { cause });
        }
        throw new AgentError('unreachable',
          `The label agent at ${this.#url} does not answer: it is not running, or the browser blocked the call ` +
          '(Local Network Access: allow this site to reach devices on your local network)', { cause });
      }
      let text;
      try {
        text = await response.text();
      } catch (cause) {
        if (timedOut) throw timeout(cause);
        throw new AgentError('bad-answer', `The answer of the agent at ${this.#url} broke off`, { cause });
      }
      if (response.status !== 200) {
        throw new AgentError('bad-answer', `The agent at ${this.#url} answered HTTP ${response.status}`);
      }
      try {
        return JSON.parse(text);
      } catch (cause) {
        throw new AgentError('bad-answer', `The agent at ${this.#url} did not answer with JSON`, { cause });
      }
    } finally {
      clearTimeout(timer);
    }
  }
}

// A canvas in a page (where there is a document), an OffscreenCanvas elsewhere (workers),
// sized in printer dots and filled white.
export function labelCanvas(widthMm, heightMm, resolution) {
  const { xDpi, yDpi } = typeof resolution === 'number' ? { xDpi: resolution, yDpi: resolution } : resolution ?? {};
  const width = mmToDots(widthMm, xDpi);
  const height = mmToDots(heightMm, yDpi);
  let canvas;
  if (typeof document !== 'undefined') {
    canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
  } else if (typeof OffscreenCanvas !== 'undefined') {
    canvas = new OffscreenCanvas(width, height);
  } else {
    throw new TypeError('labelCanvas: this environment has no canvas');
  }
  if (width > 0 && height > 0) {
    const ctx = canvas.getContext('2d');
    ctx.fillStyle = '#fff';
    ctx.fillRect(0, 0, width, height);
  }
  return canvas;
}

// A thermal head prints a dot or none: decide every dot here rather than leave
// anti-aliased edges to the driver's dithering.
export function toMonochrome(canvas, threshold = 128) {
  if (!(Number.isFinite(threshold) && threshold >= 0 && threshold <= 256)) {
    throw new RangeError('toMonochrome: threshold must be between 0 and 256');
  }
  const { width, height } = canvas;
  if (width === 0 || height === 0) return canvas;
  const ctx = canvas.getContext('2d', { willReadFrequently: true });
  const image = ctx.getImageData(0, 0, width, height);
  const px = image.data;
  // Rec. 601 luma in thousandths, blended over white paper by alpha, all in integers:
  // with 0.299 + 0.587 + 0.114 in floating point a grey of 128 came out as 127.99999.
  const limit = threshold * 1000 * 255;
  for (let i = 0; i < px.length; i += 4) {
    const alpha = px[i + 3];
    const luma = 299 * px[i] + 587 * px[i + 1] + 114 * px[i + 2];
    const v = luma * alpha + 255000 * (255 - alpha) < limit ? 0 : 255;
    px[i] = px[i + 1] = px[i + 2] = v;
    px[i + 3] = 255;
  }
  ctx.putImageData(image, 0, 0);
  return canvas;
}
