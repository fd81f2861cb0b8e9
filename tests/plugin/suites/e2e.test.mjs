// End to end: real gateways, run as services each in a settings and data home of its own (two users of one
// computer), and browsers with the real extension that find their user's gateway through the native host. A
// program squats port 9000 first; raw clients without the key try their luck; lines go in through fieldpost-send.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { createHmac, randomBytes } from 'node:crypto';
import { createRequire } from 'node:module';
import { MANIFEST, clickToPick, launchBrowser, pickFromPopup, seen, sleep, startPageServer, until } from '../lib/harness.mjs';
import { Gateway } from '../../../bench/gateway-process.mjs';

const { WebSocket, WebSocketServer } = createRequire(import.meta.url)('ws');

let squatter, gateways, pages, browsers, tabs;
const squatted = [];

// What a user of this browser does from the plugin's popup: pick mode, told to the gateway.
const popupPick = (browser) => pickFromPopup(browser.context, new URL(browser.worker.url()).host);

before(async () => {
  assert.ok(process.env.FIELDPOST_APP && process.env.FIELDPOST_SEND, 'run through ctest, which names the built gateway and fieldpost-send');
  // Another user's program on the plugin's first port, when nobody holds it already: it must learn nothing.
  squatter = await new Promise((ok) => {
    const server = new WebSocketServer({ host: '127.0.0.1', port: 9000 });
    server.once('error', () => ok(null)).once('listening', () => ok(server));
  });
  squatter?.on('connection', (ws) => {
    ws.send('{"type":"hello","from":"app"}');
    ws.on('message', (data) => squatted.push(data.toString()));
  });
  gateways = [await new Gateway().start(), await new Gateway().start()];
  pages = await startPageServer();
  const [a, b] = gateways.map((g) => ({ dataHome: g.dataHome }));
  browsers = await Promise.all([launchBrowser(undefined, a), launchBrowser(undefined, a), launchBrowser(undefined, b)]);
  tabs = await Promise.all(browsers.map((br) => br.context.newPage()));
  await Promise.all(tabs.map((t) => t.goto(`${pages.origin}/form.html`)));
});

after(async () => {
  await Promise.all((browsers || []).map((b) => b.close()));
  await pages?.close();
  await Promise.all((gateways || []).map((g) => g.stop()));
  await new Promise((r) => (squatter ? squatter.close(r) : r()));
});

test('each user\'s browsers link to that user\'s gateway; only the browser that picked fills; the squatter learns nothing', async () => {
  const [a, b] = gateways;
  assert.notEqual(a.pluginPort, b.pluginPort);
  if (squatter) assert.ok(a.pluginPort !== 9000 && b.pluginPort !== 9000);
  await a.waitLogged(`Plugin prêt (v${MANIFEST.version})`, { count: 2, timeout: 15000 });
  await b.waitLogged(`Plugin prêt (v${MANIFEST.version})`, { timeout: 15000 });

  // Both of the first user's browsers pick; the click in one ends pick mode in the other.
  await popupPick(browsers[0]);
  await popupPick(browsers[1]);
  await clickToPick(tabs[0], tabs[0].locator('#email'));
  await a.waitLogged('Field selected: Email  [input/email]');
  await until(async () => !(await browsers[1].picking()), 'the other browser to leave pick mode');
  // The second user picks in their own browser.
  await popupPick(browsers[2]);
  await clickToPick(tabs[2], tabs[2].locator('#email'));
  await b.waitLogged('Field selected: Email  [input/email]');

  const lines = ['first@example.org', 'second@example.org', 'third@example.org'];
  await a.sendLines(lines);
  await b.sendLines(['other-user@example.org']);
  await a.waitLogged('Fill OK.', { count: lines.length, timeout: 15000 });
  await b.waitLogged('Fill OK.', { timeout: 15000 });
  assert.deepEqual((await seen(tabs[0], 'input', 'email')).map((s) => s.value), lines);
  assert.deepEqual((await seen(tabs[2], 'input', 'email')).map((s) => s.value), ['other-user@example.org']);
  // "Simulate Enter key after filling" is on by default: each line submits the form.
  assert.equal((await seen(tabs[0], 'submit', 'order')).length, lines.length);
  await sleep(500);
  assert.equal(a.logged(/^Fill (OK|FAILED)/).length, lines.length, 'one answer per line');
  assert.deepEqual(await seen(tabs[1], ['input', 'keydown', 'submit']), []);
  assert.deepEqual(squatted, [], 'no plugin said a word to the program on port 9000');
});

// A program of any user on this computer, without the key, tries the first user's gateway.
test('a raw client without a good proof gets no fill, and its picks and answers change nothing', async () => {
  const [a] = gateways;
  const key = Buffer.from(a.key, 'base64');
  const proofOf = (role, nc, ng, port) => createHmac('sha256', key).update(`${role}|${nc}|${ng}|${port}`).digest('base64');
  const ways = {
    'no Origin, no proof': { proof: () => null },
    'our Origin, a made-up proof': { origin: `chrome-extension://${browsers[0].worker.url().split('/')[2]}`, proof: () => randomBytes(32).toString('base64') },
    'a proof for another port (relayed)': { proof: (nc, ng) => proofOf('plugin', nc, ng, a.pluginPort + 1) },
    'the gateway\'s proof sent back': { proof: (nc, ng, theirs) => theirs },
  };
  const clients = await Promise.all(Object.entries(ways).map(([name, way]) => new Promise((ok) => {
    const ws = new WebSocket(`ws://127.0.0.1:${a.pluginPort}`, way.origin ? { origin: way.origin } : {});
    const client = { name, ws, got: [] };
    const nc = randomBytes(16).toString('base64');
    ws.on('message', (data) => {
      const m = JSON.parse(data.toString());
      client.got.push(m.type);
      if (m.type === 'proof') {
        const proof = way.proof(nc, m.nonce, m.proof);
        if (proof) ws.send(JSON.stringify({ type: 'proof', proof }));
      }
    });
    ws.on('open', () => {
      ws.send(JSON.stringify({ type: 'hello', version: '9', instance: 'raw', nonce: nc }));
      // What it would do with a link: move the destination, close lines with forged answers.
      ws.send(JSON.stringify({ type: 'pickMode', enabled: true, kind: 'field' }));
      ws.send(JSON.stringify({ type: 'picked', kind: 'field', url: 'http://evil/', field: { label: 'Evil', tag: 'input', instance: 'raw' } }));
      ok(client);
    });
    ws.on('error', () => {});
  })));
  const before = (await seen(tabs[0], 'input', 'email')).length;
  await a.sendLines(['fourth@example.org']);
  for (const c of clients) c.ws.send(JSON.stringify({ type: 'fillResult', id: 4, ok: false, error: 'forged' }));
  await a.waitLogged('Fill OK.', { count: 4, timeout: 15000 });
  await until(() => clients.every((c) => c.ws.readyState === WebSocket.CLOSED), 'the gateway to close every raw link', 8000);
  assert.equal((await seen(tabs[0], 'input', 'email')).length, before + 1);
  assert.equal(a.logged(/^Field selected: Evil/).length, 0);
  assert.equal(a.logged('Fill FAILED: forged').length, 0);
  for (const c of clients) assert.ok(c.got.every((t) => t === 'hello' || t === 'proof'), `${c.name}: ${c.got}`);
  assert.ok(a.logged(/^WebSocket: refused a plugin link: /).length >= 1);
});
