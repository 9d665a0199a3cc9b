// The browser's Local Network Access permission, with a fake navigator: what
// permission() reports and how a failed call is named.
import { test, afterEach } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { closedPort } from './closed_port.js';
import { LabelAgent } from '../index.js';

const original = Object.getOwnPropertyDescriptor(globalThis, 'navigator');
afterEach(() => {
  if (original) Object.defineProperty(globalThis, 'navigator', original);
  else delete globalThis.navigator;
});

// A navigator whose Permissions API knows the given names, each with its state
// (a function to throw as browsers do for a name they do not know).
function fakeNavigator(states) {
  const asked = [];
  const permissions = {
    async query({ name }) {
      asked.push(name);
      if (!Object.hasOwn(states, name)) throw new TypeError(`'${name}' is not a valid PermissionName`);
      const state = states[name];
      if (typeof state === 'function') return state();
      return { state, name };
    },
  };
  Object.defineProperty(globalThis, 'navigator', { value: { permissions }, configurable: true, writable: true });
  return asked;
}

test('permission() asks for loopback-network, then local-network-access, and never rejects', async () => {
  const table = [
    [{ 'loopback-network': 'granted' }, 'granted', ['loopback-network']],
    [{ 'loopback-network': 'denied', 'local-network-access': 'granted' }, 'denied', ['loopback-network']],
    [{ 'local-network-access': 'prompt' }, 'prompt', ['loopback-network', 'local-network-access']],
    [{ 'local-network-access': 'denied' }, 'denied', ['loopback-network', 'local-network-access']],
    [{}, 'unsupported', ['loopback-network', 'local-network-access']],
    [{ 'loopback-network': 'whatever' }, 'unsupported', ['loopback-network']],
    [{ 'loopback-network': () => { throw new Error('revoked'); }, 'local-network-access': 'granted' }, 'granted',
      ['loopback-network', 'local-network-access']],
  ];
  for (const [states, state, asked] of table) {
    const seen = fakeNavigator(states);
    assert.equal(await new LabelAgent().permission(), state, JSON.stringify(states));
    assert.deepEqual(seen, asked, JSON.stringify(states));
  }
  delete globalThis.navigator;
  assert.equal(await new LabelAgent().permission(), 'unsupported', 'no navigator (Node 20)');
  Object.defineProperty(globalThis, 'navigator', { value: {}, configurable: true, writable: true });
  assert.equal(await new LabelAgent().permission(), 'unsupported', 'no Permissions API');
});

test('a failed call is blocked while the permission is denied, else unreachable', async () => {
  const url = await closedPort();
  const table = [
    [{ 'loopback-network': 'denied' }, 'blocked'],
    [{ 'local-network-access': 'denied' }, 'blocked'],
    [{ 'loopback-network': 'granted' }, 'unreachable'],
    [{ 'loopback-network': 'prompt' }, 'unreachable'],
    [{}, 'unreachable'],
  ];
  for (const [states, code] of table) {
    fakeNavigator(states);
    await assert.rejects(new LabelAgent({ url }).listPrinters(), (e) => {
      assert.equal(e.name, 'AgentError');
      assert.equal(e.code, code, JSON.stringify(states));
      if (code === 'blocked') {
        assert.match(e.message, /allow local network access for this site/);
        assert.match(e.message, /LoopbackNetworkAllowedForUrls/);
        assert.match(e.message, /LocalNetworkAccess \(Firefox\)/);
      }
      return true;
    });
  }
});

test('a denied permission does not hide an agent that answers', async () => {
  const server = http.createServer((req, res) => res.end(JSON.stringify({ statusCode: '10001', resultInfo: { printers: [] } })));
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    fakeNavigator({ 'loopback-network': 'denied' });
    const agent = new LabelAgent({ url: `http://127.0.0.1:${server.address().port}` });
    assert.deepEqual(await agent.listPrinters(), []);
    assert.equal(await agent.isRunning(), true);
  } finally {
    server.closeAllConnections();
    server.close();
  }
});
