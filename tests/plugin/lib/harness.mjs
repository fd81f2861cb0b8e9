// Shared pieces of the extension tests: a stand-in for the gateway on port 9000,
// a small web server for the test pages, and Chromium with the extension.
import { createServer } from 'node:http';
import { cpSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { dirname, extname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

export const SUITE_ROOT = resolve(dirname(fileURLToPath(import.meta.url)), '..');
export const REPO_ROOT = resolve(SUITE_ROOT, '..', '..');
const PLUGIN_DIR = join(REPO_ROOT, 'plugin');
const PAGES_DIR = join(SUITE_ROOT, 'pages');
export const CHROMIUM = process.env.FIELDPOST_CHROMIUM || '/usr/bin/chromium';
export const GATEWAY_PORT = 9000;
export const MANIFEST = JSON.parse(readFileSync(join(PLUGIN_DIR, 'manifest.json'), 'utf8'));

const require = createRequire(import.meta.url);
function needModule(name) {
  try {
    return require(name);
  } catch (e) {
    throw new Error(`Missing npm package "${name}" for the extension tests. Install them with:  ` +
      `cd ${SUITE_ROOT} && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci`);
  }
}
export const { chromium } = needModule('playwright-core');
const { WebSocketServer } = needModule('ws');

// Every temporary file of a run stays inside the build folder (TMPDIR from CTest).
export function scratchDir(prefix) {
  const base = process.env.TMPDIR || join(SUITE_ROOT, '.tmp');
  mkdirSync(base, { recursive: true });
  return mkdtempSync(join(base, `${prefix}-`));
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The one way the tests wait: check until it gives something truthy.
export async function waitUntil(check, { timeout = 10000, every = 10, what = 'condition' } = {}) {
  const end = Date.now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${timeout} ms waiting for ${what}`);
    await sleep(every);
  }
}

// What a page recorded (pages/recorder.js), by kind (or kinds) and element id.
export function seen(page, kind, id) {
  return page.evaluate(([k, i]) => window.seen.filter((s) => k.includes(s.kind) && (!i || s.id === i)), [[].concat(kind), id]);
}

// ---- gateway stand-in ------------------------------------------------------

export class GatewayStandIn {
  received = [];
  connections = [];

  // Another program may hold the port for a moment on a shared machine.
  async start() {
    this.server = await waitUntil(() => new Promise((ok) => {
      const server = new WebSocketServer({ host: '127.0.0.1', port: GATEWAY_PORT });
      server.once('error', () => ok(null));
      server.once('listening', () => ok(server));
    }), { timeout: 60000, every: 250, what: `port ${GATEWAY_PORT}` });
    this.server.on('connection', (ws) => {
      const conn = { ws, messages: [] };
      this.connections.push(conn);
      ws.send('{"type":"hello","from":"app"}');
      ws.on('message', (data, binary) => {
        let message;
        try {
          message = { ...JSON.parse(data.toString()), at: performance.timeOrigin + performance.now() };
        } catch (e) {
          return;
        }
        if (binary) return;
        conn.messages.push(message);
        this.received.push(message);
      });
    });
    return this;
  }

  async stop() {
    for (const c of this.connections) c.ws.terminate();
    await new Promise((r) => this.server.close(r));
  }

  get open() {
    return this.connections.filter((c) => c.ws.readyState === 1);
  }

  // Takes (removes) the first received message of this type that matches.
  take(type, { timeout = 10000, where = () => true } = {}) {
    return waitUntil(() => {
      const i = this.received.findIndex((m) => m.type === type && where(m));
      return i >= 0 && this.received.splice(i, 1)[0];
    }, { timeout, what: `a "${type}" message from the extension` });
  }

  drop(type) {
    this.received = this.received.filter((m) => m.type !== type);
  }

  send(message) {
    for (const c of this.open) c.ws.send(JSON.stringify(message));
  }

  // Pick mode as the gateway starts it, then the user's hover and click.
  async pick(page, locator, kind = 'field') {
    this.drop('picked');
    this.send({ type: 'pickMode', enabled: true, kind });
    await clickToPick(page, locator);
    return (await this.take('picked')).field;
  }

  async fill(target, value, extra = {}) {
    this.drop('fillResult');
    this.send({ type: 'fill', target, value, pressEnter: false, button: {}, clickButton: false, clickDelayMs: 0, ...extra });
    return this.take('fillResult');
  }
}

// ---- pages -----------------------------------------------------------------

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8' };
const VENDOR = {
  '/vendor/react.js': join(dirname(require.resolve('react/package.json')), 'umd/react.production.min.js'),
  '/vendor/react-dom.js': join(dirname(require.resolve('react-dom/package.json')), 'umd/react-dom.production.min.js'),
};

// Each server is an origin of its own; requests keeps every address asked for.
export function startPageServer() {
  const requests = [];
  const server = createServer((req, res) => {
    requests.push(req.url);
    const path = new URL(req.url, 'http://x').pathname;
    const file = VENDOR[path] || join(PAGES_DIR, path.replace(/^\/+/, '') || 'form.html');
    let body = null;
    try {
      if (VENDOR[path] || file.startsWith(PAGES_DIR)) body = readFileSync(file);
    } catch (e) { /* answered below */ }
    if (body) res.writeHead(200, { 'content-type': TYPES[extname(file)] || 'application/octet-stream' }).end(body);
    else res.writeHead(404).end('not found');
  });
  return new Promise((ok) => server.listen(0, '127.0.0.1', () => ok({
    origin: `http://127.0.0.1:${server.address().port}`, requests, close: () => new Promise((r) => server.close(r)),
  })));
}

// ---- browser ---------------------------------------------------------------

// Chromium refuses to load an extension from a folder it may write into while
// tests run side by side, so each browser gets its own copy.
export function copyExtension(dir) {
  cpSync(PLUGIN_DIR, join(dir, 'extension'), { recursive: true });
  return join(dir, 'extension');
}

export function extensionArgs(extension) {
  return [`--disable-extensions-except=${extension}`, `--load-extension=${extension}`, '--no-sandbox',
    '--disable-gpu', '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--no-first-run', '--disable-quic', '--no-default-browser-check'];
}

export async function launchBrowser() {
  const dir = scratchDir('chromium');
  const context = await chromium.launchPersistentContext(join(dir, 'profile'), {
    executablePath: CHROMIUM, headless: true, ignoreDefaultArgs: ['--disable-extensions'],
    args: extensionArgs(copyExtension(dir)),
  });
  const worker = context.serviceWorkers()[0] || await context.waitForEvent('serviceworker', { timeout: 15000 });
  return {
    context,
    worker,
    popupUrl: new URL('popup.html', worker.url()).href,
    // As the gateway's pick buttons start it.
    startPick: (kind = 'field') => worker.evaluate((k) =>
      globalThis.fieldpost.handleGatewayMessage({ type: 'pickMode', enabled: true, kind: k }), kind),
    picking: () => worker.evaluate(async () => !!(await chrome.storage.session.get('pick')).pick),
    async close() {
      await context.close().catch(() => {});
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Hovers the element (a locator, or a handle for what locators cannot reach)
// until the pick overlay of its document outlines it, as a user's mouse would,
// and clicks it there.
export async function clickToPick(page, locator) {
  const box = await locator.boundingBox();
  const [x, y] = [box.x + box.width / 2, box.y + box.height / 2];
  await waitUntil(async () => {
    await page.mouse.move(x - 1, y);
    await page.mouse.move(x, y);
    return locator.evaluate((el) => !!el.ownerDocument.querySelector('fieldpost-pick-overlay')?.dataset.outlined);
  }, { what: 'the pick outline' });
  await page.mouse.click(x, y);
  return { x, y };
}
