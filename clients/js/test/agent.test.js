// The client against a fake agent in this process: what reaches the wire, and how answers are read.
import { test, describe, before, after, beforeEach } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { LabelAgent, AgentError, mmToDots } from '../index.js';

const PRINTED = { statusCode: '10001', resultInfo: 'hahah' };
const LISTED = { statusCode: '10001', resultInfo: { printers: [{ name: 'KELO' }, { name: 'KELO #1' }] } };
const RESOLUTION = { resultInfo: { xDPI: 203, yDPI: 203, physicalWidth: 812, physicalHeight: 1218, printQuality: 203 } };

// Records every request and answers with whatever the test set in `answer`.
const fake = { requests: [], answer: null, server: null, url: '' };

before(async () => {
  fake.server = http.createServer((req, res) => {
    const chunks = [];
    req.on('data', (c) => chunks.push(c));
    req.on('end', () => {
      const request = { method: req.method, url: req.url, headers: req.headers, body: Buffer.concat(chunks).toString() };
      fake.requests.push(request);
      const { status = 200, body = '', delayMs = 0 } = fake.answer(request);
      setTimeout(() => {
        res.writeHead(status, { 'Content-Type': 'application/json' });
        res.end(typeof body === 'string' ? body : JSON.stringify(body));
      }, delayMs);
    });
  });
  await new Promise((resolve) => fake.server.listen(0, '127.0.0.1', resolve));
  fake.url = `http://127.0.0.1:${fake.server.address().port}`;
});

after(() => {
  fake.server.closeAllConnections();
  fake.server.close();
});

beforeEach(() => {
  fake.requests = [];
  fake.answer = () => ({ body: LISTED });
});

const agent = (options = {}) => new LabelAgent({ url: fake.url, ...options });
const only = () => {
  assert.equal(fake.requests.length, 1);
  return fake.requests[0];
};
const pathAndQuery = (url) => {
  const at = url.indexOf('?');
  return at < 0 ? [url, ''] : [url.slice(0, at), url.slice(at + 1)];
};

async function closedPortUrl() {
  const server = http.createServer();
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  const { port } = server.address();
  await new Promise((resolve) => server.close(resolve));
  return `http://127.0.0.1:${port}`;
}

describe('wire format', () => {
  const filters = [
    [undefined, ''],
    [{}, ''],
    [{ localOnly: false, onlineOnly: false, supportedOnly: false }, ''],
    [{ supportedOnly: undefined }, ''],
    [{ supportedOnly: true }, 'onlySupported=1'],
    [{ localOnly: true, onlineOnly: false }, 'onlyLocal=1'],
    [{ onlineOnly: true, localOnly: true }, 'onlyLocal=1&onlyOnline=1'],
    [{ localOnly: true, onlineOnly: true, supportedOnly: true }, 'onlyLocal=1&onlyOnline=1&onlySupported=1'],
  ];
  for (const [options, expected] of filters) {
    test(`listPrinters(${JSON.stringify(options)}) sends "${expected}": a filter present is a filter on`, async () => {
      assert.deepEqual(await agent().listPrinters(options), ['KELO', 'KELO #1']);
      const { method, url, body } = only();
      assert.equal(method, 'POST');
      assert.deepEqual(pathAndQuery(url), ['/klapi/GetPrinters', expected]);
      assert.equal(body, '');
    });
  }

  // Written out by hand: the agent splits the query at '&' and '#' would end the URL.
  const names = [
    ['KELO', 'KELO'],
    ['KELO #1', 'KELO%20%231'],
    ['Kelo Missing #1 & 50%', 'Kelo%20Missing%20%231%20%26%2050%25'],
    ['a+b=c?d/e', 'a%2Bb%3Dc%3Fd%2Fe'],
    ['Étiquette', '%C3%89tiquette'],
    ['标签', '%E6%A0%87%E7%AD%BE'],
  ];
  for (const [name, encoded] of names) {
    test(`getResolution and print name ${JSON.stringify(name)} as printName=${encoded} and nothing else`, async () => {
      fake.answer = ({ url }) => ({ body: url.startsWith('/klapi/PrintImage') ? PRINTED : RESOLUTION });
      await agent().getResolution(name);
      await agent().print(name, 'data:image/png;base64,QUJD');
      assert.deepEqual(fake.requests.map((r) => pathAndQuery(r.url)), [
        ['/klapi/GetPrinterResolution', `printName=${encoded}`],
        ['/klapi/PrintImage', `printName=${encoded}`],
      ]);
    });
  }

  test('calls are simple CORS requests: text/plain and no header of their own', async () => {
    await agent().listPrinters();
    const { headers } = only();
    assert.match(headers['content-type'], /^text\/plain/);
    assert.equal(headers['x-requested-with'], undefined);
    assert.equal(headers.cookie, undefined);
  });

  for (const printer of [undefined, null, '']) {
    test(`print(${JSON.stringify(printer)}) sends no parameter, for the agent's default queue`, async () => {
      fake.answer = () => ({ body: PRINTED });
      await agent().print(printer, 'data:image/png;base64,QUJD');
      const { url, body } = only();
      assert.equal(url, '/klapi/PrintImage');
      assert.equal(body, 'data:image/png;base64,QUJD');
    });
  }

  test('print sends a Blob as a Base64 data URL of its bytes and type', async () => {
    fake.answer = () => ({ body: PRINTED });
    const bytes = new Uint8Array(70000).map((_, i) => (i * 7) & 0xff); // more than one encoding chunk
    await agent().print('KELO', new Blob([bytes], { type: 'image/png' }));
    const { body } = only();
    const [head, payload] = body.split(',');
    assert.equal(head, 'data:image/png;base64');
    assert.deepEqual(new Uint8Array(Buffer.from(payload, 'base64')), bytes);
  });

  test('print refuses sources it cannot send, before calling the agent', async () => {
    for (const source of ['data:image/svg+xml,<svg/>', 'QUJD', 42, {}, undefined]) {
      await assert.rejects(agent().print('KELO', source), TypeError);
    }
    assert.equal(fake.requests.length, 0);
  });
});

describe('answers', () => {
  test('a resolution answer without statusCode is a success', async () => {
    fake.answer = () => ({ body: RESOLUTION });
    assert.deepEqual(await agent().getResolution('KELO'),
      { xDpi: 203, yDpi: 203, widthDots: 812, heightDots: 1218, printQuality: 203 });
  });

  test('a resolution from the settings file alone has a page size of 0', async () => {
    fake.answer = () => ({ body: { resultInfo: { xDPI: 300, yDPI: 300, physicalWidth: 0, physicalHeight: 0, printQuality: 300 } } });
    assert.deepEqual(await agent().getResolution('KELO'),
      { xDpi: 300, yDpi: 300, widthDots: 0, heightDots: 0, printQuality: 300 });
  });

  const calls = {
    listPrinters: (a) => a.listPrinters(),
    getResolution: (a) => a.getResolution('KELO'),
    print: (a) => a.print('KELO', 'data:image/png;base64,QUJD'),
  };
  for (const [name, call] of Object.entries(calls)) {
    test(`${name}: "10002" is refused, with the agent's text in detail`, async () => {
      fake.answer = () => ({ body: { statusCode: '10002', resultInfo: 'Failed to open printer' } });
      await assert.rejects(call(agent()), (e) => {
        assert.ok(e instanceof AgentError);
        assert.equal(e.code, 'refused');
        assert.equal(e.detail, 'Failed to open printer');
        return true;
      });
    });
  }

  const badAnswers = [
    ['listPrinters', 'HTML error page', { status: 404, body: "<p>Error Status: <span style='color:red;'>404</span></p>" }],
    ['listPrinters', 'not JSON', { body: '{"statusCode": "10001", ' }],
    ['listPrinters', 'JSON null', { body: 'null' }],
    ['listPrinters', 'no statusCode', { body: { resultInfo: { printers: [] } } }],
    ['listPrinters', 'printers not a list', { body: { statusCode: '10001', resultInfo: { printers: 'KELO' } } }],
    ['listPrinters', 'a name not text', { body: { statusCode: '10001', resultInfo: { printers: [{ name: 7 }] } } }],
    ['getResolution', 'HTTP 413', { status: 413, body: '' }],
    ['getResolution', 'dpi as text', { body: { resultInfo: { ...RESOLUTION.resultInfo, xDPI: '203' } } }],
    ['getResolution', 'no yDPI', { body: { resultInfo: { ...RESOLUTION.resultInfo, yDPI: undefined } } }],
    ['getResolution', 'zero dpi', { body: { resultInfo: { ...RESOLUTION.resultInfo, xDPI: 0 } } }],
    ['getResolution', 'an unknown statusCode', { body: { ...RESOLUTION, statusCode: '10003' } }],
    ['print', 'empty object', { body: {} }],
    ['print', 'an unknown statusCode', { body: { statusCode: '200' } }],
    ['print', 'HTTP 500 with a success body', { status: 500, body: PRINTED }],
  ];
  for (const [name, what, answer] of badAnswers) {
    test(`${name}: ${what} is a bad answer`, async () => {
      fake.answer = () => answer;
      await assert.rejects(calls[name](agent()), (e) => e instanceof AgentError && e.code === 'bad-answer');
    });
  }

  test('a closed port is unreachable, and the message names Local Network Access', async () => {
    const url = await closedPortUrl();
    await assert.rejects(new LabelAgent({ url }).listPrinters(), (e) => {
      assert.equal(e.code, 'unreachable');
      assert.match(e.message, /Local Network Access/);
      assert.ok(e.message.includes(url));
      return true;
    });
  });

  test('a slow answer times out after timeoutMs', async () => {
    fake.answer = () => ({ body: LISTED, delayMs: 1500 });
    const started = Date.now();
    await assert.rejects(agent({ timeoutMs: 200 }).listPrinters(), (e) => e.code === 'timeout');
    const took = Date.now() - started;
    assert.ok(took >= 190 && took < 1200, `took ${took} ms`);
  });

  test('an answer in time is not cut off by the timeout', async () => {
    fake.answer = () => ({ body: LISTED, delayMs: 100 });
    assert.deepEqual(await agent({ timeoutMs: 1000 }).listPrinters(), ['KELO', 'KELO #1']);
  });
});

describe('isRunning', () => {
  test('is true when the agent lists its printers', async () => {
    assert.equal(await agent().isRunning(), true);
  });

  const down = {
    'a closed port': async () => new LabelAgent({ url: await closedPortUrl() }),
    'a slow answer': async () => {
      fake.answer = () => ({ body: LISTED, delayMs: 1000 });
      return agent({ timeoutMs: 100 });
    },
    'another server': async () => {
      fake.answer = () => ({ status: 404, body: 'not here' });
      return agent();
    },
  };
  for (const [what, make] of Object.entries(down)) {
    test(`is false, without throwing, for ${what}`, async () => {
      assert.equal(await (await make()).isRunning(), false);
    });
  }
});

describe('options', () => {
  test('the defaults are the agent on 127.0.0.1:6780', () => {
    assert.equal(new LabelAgent().url, 'http://127.0.0.1:6780');
    assert.equal(new LabelAgent({ url: 'http://127.0.0.1:6781/' }).url, 'http://127.0.0.1:6781');
  });

  const wrong = [
    [{ URL: 'http://127.0.0.1:6780' }, 'unknown option'],
    [{ timeout: 1000 }, 'unknown option'],
    [{ timeoutMs: '1000' }, 'must be a number'],
    [{ timeoutMs: 0 }, 'positive'],
    [{ url: 'ftp://127.0.0.1' }, 'http'],
    [{ url: 'http://127.0.0.1:6780/?agent=1' }, 'query'],
    [{ url: '127.0.0.1:6780' }, 'not a URL'],
    ['http://127.0.0.1:6780', 'must be an object'],
  ];
  for (const [options, message] of wrong) {
    test(`new LabelAgent(${JSON.stringify(options)}) throws a TypeError`, () => {
      assert.throws(() => new LabelAgent(options), (e) => e instanceof TypeError && e.message.includes(message));
    });
  }

  // onlySupported is the raw API's name: the likeliest slip.
  for (const options of [{ onlySupported: true }, { supported: true }, { supportedOnly: 'yes' }, { localOnly: 1 }]) {
    test(`listPrinters(${JSON.stringify(options)}) rejects with a TypeError and calls nobody`, async () => {
      await assert.rejects(agent().listPrinters(options), TypeError);
      assert.equal(fake.requests.length, 0);
    });
  }

  for (const name of [undefined, '', 42, '\uD800 lone surrogate']) {
    test(`getResolution(${JSON.stringify(name)}) rejects with a TypeError`, async () => {
      await assert.rejects(agent().getResolution(name), TypeError);
      assert.equal(fake.requests.length, 0);
    });
  }
});

describe('mmToDots', () => {
  const table = [
    [50, 203, 400], // 399.6
    [30, 203, 240], // 239.8
    [60, 203, 480], // 479.5
    [25, 203, 200], // 199.8
    [25.4, 203, 203],
    [50, 300, 591], // 590.6
    [50, 306, 602], // 602.4
    [1, 203, 8], // 7.99
    [0, 203, 0],
  ];
  for (const [mm, dpi, dots] of table) {
    test(`${mm} mm at ${dpi} dpi is ${dots} dots`, () => assert.equal(mmToDots(mm, dpi), dots));
  }

  test('refuses lengths and resolutions that are not', () => {
    for (const [mm, dpi] of [[-1, 203], [10, 0], [NaN, 203], [10, Infinity], ['10', 203]]) {
      assert.throws(() => mmToDots(mm, dpi), RangeError);
    }
  });
});
