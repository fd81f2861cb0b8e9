// The worker must outlive an idle link. Chromium runs without Playwright, whose
// DevTools session keeps extension workers alive and would hide a stopped one,
// and with a window on a virtual screen: headless Chromium never stops an idle
// extension worker either.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { join } from 'node:path';
import { rmSync } from 'node:fs';
import {
  CHROMIUM, GatewayStandIn, copyExtension, extensionArgs, scratchDir, sleep, startPageServer,
} from '../lib/harness.mjs';

// An idle worker is stopped some 30 to 50 s after its last message.
const IDLE_MS = 60000;

let gateway;
let pages;
let chrome;
let xvfb;
let dir;

// A private X server; its display number comes back on a pipe.
async function startXvfb() {
  xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'],
    { stdio: ['ignore', 'ignore', 'ignore', 'pipe'] });
  const display = await new Promise((resolve, reject) => {
    let text = '';
    xvfb.once('error', (e) => reject(new Error(`Xvfb could not start (${e.message}); install the xvfb package`)));
    xvfb.stdio[3].on('data', (d) => {
      text += d;
      if (text.includes('\n')) resolve(`:${text.trim()}`);
    });
    setTimeout(() => reject(new Error('Xvfb gave no display')), 10000);
  });
  return display;
}

async function stop(child) {
  if (!child || child.exitCode !== null || child.signalCode !== null) return;
  child.kill('SIGTERM');
  await new Promise((r) => { child.once('exit', r); setTimeout(r, 5000); });
}

before(async () => {
  gateway = await new GatewayStandIn().start();
  pages = await startPageServer();
  dir = scratchDir('lifetime');
  const extension = copyExtension(dir);
  const display = await startXvfb();
  chrome = spawn(CHROMIUM, [
    `--user-data-dir=${join(dir, 'profile')}`, ...extensionArgs(extension), `${pages.origin}/form.html`,
  ], { stdio: 'ignore', env: { ...process.env, DISPLAY: display } });
});

after(async () => {
  await stop(chrome);
  await stop(xvfb);
  await pages?.close();
  await gateway?.stop();
  if (dir) rmSync(dir, { recursive: true, force: true });
});

test('after 60 s without a message from the gateway the same link still answers', { timeout: 120000 }, async () => {
  await gateway.take('hello', { timeout: 20000 });
  const link = gateway.open[0];
  assert.ok(link, 'the extension connected');
  link.ws.on('close', () => { link.closedAt = Date.now(); });
  const idleFrom = Date.now();
  await sleep(IDLE_MS);
  const story = () => `keepalives at ${link.messages.filter((m) => m.type === 'keepalive')
    .map((m) => ((m.at - performance.timeOrigin - performance.now() + Date.now() - idleFrom) / 1000).toFixed(1))
    .join(', ')} s, link closed at ${link.closedAt ? ((link.closedAt - idleFrom) / 1000).toFixed(1) : '-'} s, ` +
    `${gateway.connections.length} link(s)`;
  assert.equal(link.ws.readyState, 1, `the link was dropped while idle: the worker was stopped (${story()})`);
  assert.equal(gateway.connections.length, 1, `the extension had to reconnect (${story()})`);
  assert.ok(link.messages.filter((m) => m.type === 'keepalive').length >= 2, `keepalives every 20 s (${story()})`);
  link.ws.send('{"type":"scan"}');
  const answer = await gateway.take('fields', { timeout: 5000 });
  assert.equal(answer.url, `${pages.origin}/form.html`);
  assert.equal(answer.fields[0].label, 'Email');
});
