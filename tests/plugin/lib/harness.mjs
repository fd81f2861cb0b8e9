// Shared pieces of the extension tests.
import { createServer } from 'node:http';
import { cpSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, extname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';
import assert from 'node:assert/strict';

const PAGES_DIR = resolve(dirname(fileURLToPath(import.meta.url)), '..', 'pages');
const PLUGIN_DIR = resolve(PAGES_DIR, '..', '..', '..', 'plugin');
export const GATEWAY_PORT = 9000;
export const MANIFEST = JSON.parse(readFileSync(join(PLUGIN_DIR, 'manifest.json'), 'utf8'));

const require = createRequire(import.meta.url);
const { chromium } = require('playwright-core');
const { WebSocketServer } = require('ws');

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The one way the tests wait: asks until the answer is truthy, and returns it.
export async function until(check, what, ms = 10000) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${ms} ms waiting for ${what}`);
    await sleep(20);
  }
}

// Under CTest every temporary file of a run stays inside the build folder (its TMPDIR).
export const scratchDir = (prefix) => mkdtempSync(join(tmpdir(), `${prefix}-`));

// What a page recorded (pages/recorder.js), by kind (or kinds) and element id.
export const seen = (page, kind, id) =>
  page.evaluate(([k, i]) => window.seen.filter((s) => k.includes(s.kind) && (!i || s.id === i)), [[].concat(kind), id]);

export class GatewayStandIn {
  received = [];
  connections = [];
  fills = 0;

  // Port 9000 may still be held for a moment by the suite before, hence the retry.
  async start() {
    this.server = await until(() => new Promise((ok) => {
      const server = new WebSocketServer({ host: '127.0.0.1', port: GATEWAY_PORT });
      server.once('error', () => ok(null)).once('listening', () => ok(server));
    }), `port ${GATEWAY_PORT}`, 60000);
    this.server.on('connection', (ws) => {
      this.connections.push(ws);
      ws.send('{"type":"hello","from":"app"}');
      ws.on('message', (data) => this.received.push({ ...JSON.parse(data.toString()), at: Date.now() }));
    });
    return this;
  }

  async stop() {
    for (const ws of this.connections) ws.terminate();
    await new Promise((r) => this.server.close(r));
  }

  get open() { return this.connections.filter((ws) => ws.readyState === 1); }

  take(type, ms) {
    return until(() => {
      const i = this.received.findIndex((m) => m.type === type);
      return i >= 0 && this.received.splice(i, 1)[0];
    }, `a "${type}" message from the extension`, ms);
  }

  // The types of everything that arrived within a while: for what must not come.
  async after(ms) {
    await sleep(ms);
    return this.received.splice(0).map((m) => m.type);
  }

  send(message) { for (const ws of this.open) ws.send(JSON.stringify(message)); }

  // Numbered as the gateway numbers them, unless extra says otherwise; returns the number.
  sendFill(target, value, extra = {}) {
    const fill = { type: 'fill', id: ++this.fills, target, value, pressEnter: false, button: {}, clickButton: false, clickDelayMs: 0, ...extra };
    this.send(fill);
    return fill.id;
  }

  pickMode(kind = 'field') { this.send({ type: 'pickMode', enabled: true, kind }); }

  // Pick mode as the gateway starts it, then the user's hover and click.
  async pick(page, locator, kind = 'field') {
    this.pickMode(kind);
    await clickToPick(page, locator);
    return (await this.take('picked')).field;
  }

  async fill(...args) {
    const [id, answer] = [this.sendFill(...args), await this.take('fillResult')];
    assert.equal(answer.id, id, 'the answer carries its fill\'s id');
    return answer;
  }
}

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8' };
const vendor = (name) => join(dirname(require.resolve(`${name}/package.json`)), `umd/${name}.production.min.js`);
const VENDOR = { '/vendor/react.js': vendor('react'), '/vendor/react-dom.js': vendor('react-dom') };

// Each server is an origin of its own; requests keeps every address asked for.
export function startPageServer() {
  const requests = [];
  const server = createServer((req, res) => {
    requests.push(req.url);
    const path = new URL(req.url, 'http://x').pathname;
    const file = VENDOR[path] || join(PAGES_DIR, path);
    let body = null;
    try { body = readFileSync(file); } catch { /* a 404 */ }
    res.writeHead(body ? 200 : 404, { 'content-type': TYPES[extname(file)] || 'text/plain' }).end(body ?? '');
  });
  return new Promise((ok) => server.listen(0, '127.0.0.1', () => ok({
    origin: `http://127.0.0.1:${server.address().port}`, requests, close: () => new Promise((r) => server.close(r)),
  })));
}

// Chromium refuses an extension folder that another browser has loaded, so each gets its own copy.
export async function launchBrowser(extensionDir = PLUGIN_DIR) {
  const dir = scratchDir('chromium');
  const extension = join(dir, 'extension');
  cpSync(extensionDir, extension, { recursive: true });
  const context = await chromium.launchPersistentContext(join(dir, 'profile'), {
    executablePath: process.env.FIELDPOST_CHROMIUM || '/usr/bin/chromium', headless: true,
    ignoreDefaultArgs: ['--disable-extensions'],
    args: [`--disable-extensions-except=${extension}`, `--load-extension=${extension}`, '--no-sandbox',
      '--disable-gpu', '--disable-background-networking', '--disable-component-update', '--no-first-run'],
  });
  const worker = context.serviceWorkers()[0] || await context.waitForEvent('serviceworker', { timeout: 15000 });
  return {
    context, worker,
    // The worker of the moment: Chromium may stop one and start another.
    picking: () => context.serviceWorkers()[0].evaluate(async () => !!(await chrome.storage.session.get('pick')).pick),
    close: () => context.close().catch(() => {}).then(() => rmSync(dir, { recursive: true, force: true })),
  };
}

// Hovers the element (a locator, or a handle where locators cannot reach) until its pick overlay outlines it; clicks there.
export async function clickToPick(page, locator) {
  const box = await locator.boundingBox();
  const [x, y] = [box.x + box.width / 2, box.y + box.height / 2];
  await until(async () => {
    await page.mouse.move(x - 1, y);
    await page.mouse.move(x, y);
    return locator.evaluate((el) => !!el.ownerDocument.querySelector('fieldpost-pick-overlay')?.dataset.outlined);
  }, 'the pick outline');
  await page.mouse.click(x, y);
  return { x, y };
}
