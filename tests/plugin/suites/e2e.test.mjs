// End to end: the real gateway and two browsers with the extension (as Edge and Chrome) on the same page; a
// real click picks in one, lines go in through fieldpost-send, and the pages and the gateway's log show the outcome.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { mkdirSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { join } from 'node:path';
import { createInterface } from 'node:readline';
import { GATEWAY_PORT, MANIFEST, clickToPick, launchBrowser, scratchDir, seen, sleep, startPageServer, until } from '../lib/harness.mjs';

const { FIELDPOST_APP: APP, FIELDPOST_SEND: SEND } = process.env;

let gateway, tcpPort, pages, browsers, tabs, log = [];

const logged = (pattern) => log.filter((l) => (typeof pattern === 'string' ? l === pattern : pattern.test(l)));
const waitLogged = (pattern, count = 1) => until(() => logged(pattern).length >= count, `${count} log line(s) ${pattern}`, 15000)
  .catch((e) => { throw new Error(`${e.message}; last lines:\n${log.slice(-15).join('\n')}`); });

// The gateway without a screen, with throw-away settings and a free TCP port; false when port 9000 was taken.
async function startGateway() {
  gateway?.kill('SIGKILL');
  const probe = createServer();
  tcpPort = await new Promise((ok) => probe.listen(0, '127.0.0.1', () => ok(probe.address().port)));
  await new Promise((ok) => probe.close(ok));
  const dir = scratchDir('gateway');
  mkdirSync(join(dir, 'Thornvaleworks'));
  writeFileSync(join(dir, 'Thornvaleworks', 'Fieldpost.conf'), `[General]\ntcpPort=${tcpPort}\n`);
  log = [];
  gateway = spawn(APP, [], { env: { ...process.env, QT_QPA_PLATFORM: 'offscreen', XDG_CONFIG_HOME: dir, TMPDIR: dir } });
  for (const input of [gateway.stdout, gateway.stderr]) createInterface({ input }).on('line', (l) => log.push(l.replace(/^\[\d\d:\d\d:\d\d\] /, '')));
  await until(() => logged(/^WebSocket: (listening|failed)/).length || gateway.exitCode !== null, 'the gateway to start');
  return logged(`WebSocket: listening on ws://127.0.0.1:${GATEWAY_PORT}`).length > 0;
}

const sendLines = (lines) => execFileSync(SEND, ['--port', String(tcpPort)], { input: lines.map((l) => `${l}\n`).join(''), stdio: ['pipe', 'ignore', 'inherit'] });

before(async () => {
  assert.ok(APP && SEND, 'run through ctest, which names the built gateway and fieldpost-send');
  await until(startGateway, `the gateway to listen on port ${GATEWAY_PORT}`, 60000);
  await waitLogged(/^TCP: listening/);
  pages = await startPageServer();
  browsers = await Promise.all([launchBrowser(), launchBrowser()]);
  tabs = await Promise.all(browsers.map((b) => b.context.newPage()));
  await Promise.all(tabs.map((t) => t.goto(`${pages.origin}/form.html`)));
});

after(async () => {
  await Promise.all((browsers || []).map((b) => b.close()));
  await pages?.close();
  gateway?.kill('SIGKILL');
});

test('only the browser that picked fills and answers; the other leaves pick mode and stays silent', async () => {
  await waitLogged(`Plugin prêt (v${MANIFEST.version})`, 2);
  // Pick mode reaches every connected browser, as the gateway's pick button sends it.
  await Promise.all(browsers.map((b) => b.worker.evaluate(() =>
    globalThis.fieldpost.handleGatewayMessage({ type: 'pickMode', enabled: true, kind: 'field' }))));
  await until(() => browsers[1].picking(), 'pick mode in the other browser');
  await clickToPick(tabs[0], tabs[0].locator('#email'));
  await waitLogged('Field selected: Email  [input/email]');
  await until(async () => !(await browsers[1].picking()), 'the other browser to leave pick mode');

  const lines = ['first@example.org', 'second@example.org', 'third@example.org'];
  sendLines(lines);
  await waitLogged('Fill OK.', lines.length);
  assert.deepEqual((await seen(tabs[0], 'input', 'email')).map((s) => s.value), lines);
  // "Simulate Enter key after filling" is on by default: each line submits the form.
  assert.equal((await seen(tabs[0], 'submit', 'order')).length, lines.length);
  await sleep(500);
  assert.equal(logged(/^Fill (OK|FAILED)/).length, lines.length, 'one answer per line');
  assert.deepEqual(await seen(tabs[1], ['input', 'keydown', 'submit']), []);
});
