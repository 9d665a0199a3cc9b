// The client against a fake agent in this process: what reaches the wire, and how answers are read.
import { test, before, after, beforeEach } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { closedPort } from './closed_port.js';
import { LabelAgent, mmToDots } from '../index.js';

const PRINTED = { statusCode: '10001', resultInfo: 'hahah' };
const LISTED = { statusCode: '10001', resultInfo: { printers: [{ name: 'KELO' }, { name: 'KELO #1' }] } };
const DOTS = { xDPI: 203, yDPI: 203, physicalWidth: 812, physicalHeight: 1218, printQuality: 203 };
const PNG = 'data:image/png;base64,QUJD';

// Records every request and answers with what the test put into `answer`.
const fake = { requests: [], answer: null, server: http.createServer(), url: '' };
fake.server.on('request', (req, res) => {
  const chunks = [];
  req.on('data', (c) => chunks.push(c)).on('end', () => {
    fake.requests.push({ url: req.url, method: req.method, headers: req.headers, body: Buffer.concat(chunks).toString() });
    const { status = 200, body = '', delayMs = 0 } = fake.answer(req.url);
    setTimeout(() => res.writeHead(status).end(typeof body === 'string' ? body : JSON.stringify(body)), delayMs);
  });
});
before(async () => {
  await new Promise((resolve) => fake.server.listen(0, '127.0.0.1', resolve));
  fake.url = `http://127.0.0.1:${fake.server.address().port}`;
});
after(() => { fake.server.closeAllConnections(); fake.server.close(); });
beforeEach(() => {
  fake.requests = [];
  fake.answer = (url) => ({ body: url.startsWith('/klapi/GetPrinters') ? LISTED : url.startsWith('/klapi/Print') ? PRINTED : { resultInfo: DOTS } });
});

const agent = (options = {}) => new LabelAgent({ url: fake.url, ...options });
const sent = () => fake.requests.map((r) => r.url);
test('listPrinters sends a filter only when it is on: the agent counts a filter by its presence', async () => {
  const table = [
    [undefined, ''],
    [{ localOnly: false, onlineOnly: false, supportedOnly: false }, ''],
    [{ supportedOnly: true, localOnly: undefined }, '?onlySupported=1'],
    [{ onlineOnly: true, localOnly: true }, '?onlyLocal=1&onlyOnline=1'],
    [{ localOnly: true, onlineOnly: true, supportedOnly: true }, '?onlyLocal=1&onlyOnline=1&onlySupported=1'],
  ];
  for (const [options] of table) assert.deepEqual(await agent().listPrinters(options), ['KELO', 'KELO #1']);
  assert.deepEqual(sent(), table.map(([, query]) => `/klapi/GetPrinters${query}`));
  assert.ok(fake.requests.every((r) => r.method === 'POST' && r.body === ''));
});

test('printer names are percent-encoded, and PrintImage gets printName alone', async () => {
  // Written out by hand: the agent splits the query at '&', and '#' would end the URL.
  const table = [
    ['KELO #1', 'KELO%20%231'],
    ['Kelo Missing #1 & 50%', 'Kelo%20Missing%20%231%20%26%2050%25'],
    ['a+b=c?d/e', 'a%2Bb%3Dc%3Fd%2Fe'],
    ['Étiquette 标签', '%C3%89tiquette%20%E6%A0%87%E7%AD%BE'],
  ];
  for (const [name] of table) {
    await agent().getResolution(name);
    await agent().print(name, PNG);
  }
  assert.deepEqual(sent(), table.flatMap(([, q]) => [`/klapi/GetPrinterResolution?printName=${q}`, `/klapi/PrintImage?printName=${q}`]));
});

test('calls are simple CORS requests: text/plain, no header or cookie of their own', async () => {
  await agent().listPrinters();
  const { headers } = fake.requests[0];
  assert.match(headers['content-type'], /^text\/plain/);
  assert.deepEqual([headers['x-requested-with'], headers.cookie], [undefined, undefined]);
});

test('print without a printer name sends no parameter, for the agent\'s default queue', async () => {
  for (const printer of [undefined, null, '']) await agent().print(printer, PNG);
  assert.deepEqual(fake.requests.map((r) => [r.url, r.body]), Array(3).fill(['/klapi/PrintImage', PNG]));
});

test('print sends a Blob as a Base64 data URL of its type and bytes', async () => {
  const bytes = new Uint8Array(70000).map((_, i) => (i * 7) & 0xff); // more than one encoding chunk
  await agent().print('KELO', new Blob([bytes], { type: 'image/png' }));
  const [head, payload] = fake.requests[0].body.split(',');
  assert.equal(head, 'data:image/png;base64');
  assert.deepEqual(new Uint8Array(Buffer.from(payload, 'base64')), bytes);
});

test('a resolution answer without statusCode is a success', async () => {
  assert.deepEqual(await agent().getResolution('KELO'), { xDpi: 203, yDpi: 203, widthDots: 812, heightDots: 1218, printQuality: 203 });
});

const calls = { listPrinters: (a) => a.listPrinters(), getResolution: (a) => a.getResolution('KELO'), print: (a) => a.print('KELO', PNG) };
const failsWith = async (call, code, check = () => {}) =>
  assert.rejects(call, (e) => { assert.equal(e.name, 'AgentError'); assert.equal(e.code, code, e.message); check(e); return true; });

test('"10002" is refused, with the agent\'s text in detail, from every call', async () => {
  fake.answer = () => ({ body: { statusCode: '10002', resultInfo: 'Failed to open printer' } });
  for (const call of Object.values(calls)) await failsWith(call(agent()), 'refused', (e) => assert.equal(e.detail, 'Failed to open printer'));
});

test('answers that are not what the API defines are bad answers', async () => {
  const table = [
    ['listPrinters', { status: 404, body: "<p>Error Status: <span style='color:red;'>404</span></p>" }],
    ['listPrinters', { body: '{"statusCode": "10001", ' }],
    ['listPrinters', { body: 'null' }],
    ['listPrinters', { body: { resultInfo: { printers: [] } } }],
    ['listPrinters', { body: { statusCode: '10001', resultInfo: { printers: [{ name: 7 }] } } }],
    ['getResolution', { body: { resultInfo: { ...DOTS, xDPI: '203' } } }],
    ['getResolution', { body: { resultInfo: { ...DOTS, yDPI: 0 } } }],
    ['getResolution', { body: { statusCode: '10003', resultInfo: DOTS } }],
    ['print', { body: {} }],
    ['print', { status: 500, body: PRINTED }],
  ];
  for (const [call, answer] of table) {
    fake.answer = () => answer;
    await failsWith(calls[call](agent()), 'bad-answer');
  }
});

test('a closed port is unreachable, and the message names Local Network Access', async () => {
  const url = await closedPort();
  await failsWith(new LabelAgent({ url }).listPrinters(), 'unreachable', (e) => assert.match(e.message, /Local Network Access/));
});

test('a slow answer times out after timeoutMs; one in time does not', async () => {
  fake.answer = () => ({ body: LISTED, delayMs: 400 });
  assert.deepEqual(await agent({ timeoutMs: 2000 }).listPrinters(), ['KELO', 'KELO #1']);
  const started = Date.now();
  await failsWith(agent({ timeoutMs: 100 }).listPrinters(), 'timeout');
  assert.ok(Date.now() - started < 350, `took ${Date.now() - started} ms`);
});

test('isRunning is true for the agent and false, never rejecting, for anything else', async () => {
  assert.equal(await agent().isRunning(), true);
  assert.equal(await new LabelAgent({ url: await closedPort() }).isRunning(), false);
  for (const answer of [{ body: LISTED, delayMs: 300 }, { status: 404, body: 'not here' }]) {
    fake.answer = () => answer;
    assert.equal(await agent({ timeoutMs: 100 }).isRunning(), false);
  }
});

test('unknown or mistyped options and names throw a TypeError before any call', async () => {
  assert.equal(new LabelAgent().url, 'http://127.0.0.1:6780');
  for (const options of [{ URL: fake.url }, { timeout: 1 }, { timeoutMs: '1' }, { url: 'ftp://127.0.0.1' }, { url: `${fake.url}/?a=1` }, fake.url]) {
    assert.throws(() => new LabelAgent(options), TypeError, JSON.stringify(options));
  }
  // onlySupported, the raw API's name, is the likeliest slip.
  for (const options of [{ onlySupported: true }, { supportedOnly: 'yes' }, { localOnly: 1 }]) {
    await assert.rejects(agent().listPrinters(options), TypeError);
  }
  for (const name of [undefined, '', 42, '\uD800']) await assert.rejects(agent().getResolution(name), TypeError);
  for (const source of ['data:image/svg+xml,<svg/>', 'QUJD', {}, undefined]) await assert.rejects(agent().print('KELO', source), TypeError);
  assert.deepEqual(sent(), []);
});

test('mmToDots rounds to whole dots', () => {
  const table = [[50, 203, 400], [30, 203, 240], [60, 203, 480], [25, 203, 200], [25.4, 203, 203], [50, 300, 591], [50, 306, 602], [1, 203, 8], [0, 203, 0]];
  assert.deepEqual(table.map(([mm, dpi]) => mmToDots(mm, dpi)), table.map(([, , dots]) => dots));
  for (const [mm, dpi] of [[-1, 203], [10, 0], [NaN, 203], ['10', 203]]) assert.throws(() => mmToDots(mm, dpi), RangeError);
});
