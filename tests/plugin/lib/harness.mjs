// Shared pieces of the extension tests: a stand-in for the gateway on port 9000,
// a small web server for the test pages, and Chromium with the extension.
import { createServer } from 'node:http';
import { cpSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, extname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';

export const HERE = dirname(fileURLToPath(import.meta.url));
export const SUITE_ROOT = resolve(HERE, '..');
export const REPO_ROOT = resolve(SUITE_ROOT, '..', '..');
export const PLUGIN_DIR = join(REPO_ROOT, 'plugin');
export const PAGES_DIR = join(SUITE_ROOT, 'pages');
export const CHROMIUM = process.env.FIELDPOST_CHROMIUM || '/usr/bin/chromium';
export const GATEWAY_PORT = 9000;
export const MANIFEST = JSON.parse(readFileSync(join(PLUGIN_DIR, 'manifest.json'), 'utf8'));

const require = createRequire(import.meta.url);

function needModule(name) {
  try {
    return require(name);
  } catch (e) {
    const message = `Missing npm package "${name}" for the extension tests.\n` +
      `Install them with:  cd ${SUITE_ROOT} && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci`;
    console.error(message);
    throw new Error(message);
  }
}

export const { chromium } = needModule('playwright-core');
export const { WebSocketServer } = needModule('ws');

export const CHROMIUM_ARGS = [
  '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
  '--disable-sync', '--no-first-run', '--disable-quic', '--no-default-browser-check',
];

// Every temporary file of a run stays inside the build folder (TMPDIR from CTest).
export function scratchDir(prefix) {
  const base = process.env.TMPDIR || join(SUITE_ROOT, '.tmp');
  mkdirSync(base, { recursive: true });
  process.env.TMPDIR = base;
  return mkdtempSync(join(base || tmpdir(), `${prefix}-`));
}

export function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

export async function waitUntil(check, { timeout = 10000, every = 20, what = 'condition' } = {}) {
  const end = Date.now() + timeout;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await sleep(every);
  }
}

// ---- gateway stand-in ------------------------------------------------------

export class GatewayStandIn {
  constructor() {
    this.received = [];
    this.connections = [];
    this.waiters = [];
    this.server = null;
  }

  // Another program may hold the port for a moment (a gateway test on a shared
  // machine); wait for it rather than fail at once.
  async start(port = GATEWAY_PORT, { patienceMs = 60000 } = {}) {
    const end = Date.now() + patienceMs;
    for (;;) {
      try {
        return await this.listen(port);
      } catch (e) {
        if (e.code !== 'EADDRINUSE' || Date.now() > end) throw e;
        await sleep(250);
      }
    }
  }

  listen(port) {
    return new Promise((resolveStart, reject) => {
      const server = new WebSocketServer({ host: '127.0.0.1', port });
      server.once('error', reject);
      server.once('listening', () => {
        this.server = server;
        resolveStart(this);
      });
      server.on('connection', (ws, request) => {
        const conn = { ws, origin: request.headers.origin || '', closed: false, messages: [] };
        this.connections.push(conn);
        ws.send('{"type":"hello","from":"app"}');
        ws.on('message', (data, binary) => {
          if (binary) return;
          let message;
          try { message = JSON.parse(data.toString()); } catch (e) { return; }
          message.at = performance.timeOrigin + performance.now();
          conn.messages.push(message);
          this.received.push({ message, conn });
          this.wake();
        });
        ws.on('close', () => { conn.closed = true; this.wake(); });
      });
    });
  }

  async stop() {
    if (!this.server) return;
    for (const c of this.connections) c.ws.terminate();
    await new Promise((r) => this.server.close(() => r()));
    this.server = null;
  }

  get open() {
    return this.connections.filter((c) => !c.closed && c.ws.readyState === 1);
  }

  wake() {
    const waiting = this.waiters;
    this.waiters = [];
    for (const w of waiting) w();
  }

  // Takes (removes) the first received message of this type that matches.
  async take(type, { timeout = 10000, where = () => true } = {}) {
    const end = Date.now() + timeout;
    for (;;) {
      const i = this.received.findIndex((r) => r.message.type === type && where(r.message));
      if (i >= 0) return this.received.splice(i, 1)[0].message;
      const left = end - Date.now();
      if (left <= 0) throw new Error(`no "${type}" message from the extension within ${timeout} ms`);
      await new Promise((r) => {
        const t = setTimeout(r, left);
        this.waiters.push(() => { clearTimeout(t); r(); });
      });
    }
  }

  drop(type) {
    this.received = this.received.filter((r) => r.message.type !== type);
  }

  send(message) {
    const text = JSON.stringify(message);
    for (const c of this.open) c.ws.send(text);
  }
}

// ---- pages -----------------------------------------------------------------

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8' };

export function startPageServer() {
  const vendor = {
    '/vendor/react.js': join(dirname(require.resolve('react/package.json')), 'umd/react.production.min.js'),
    '/vendor/react-dom.js': join(dirname(require.resolve('react-dom/package.json')), 'umd/react-dom.production.min.js'),
  };
  return new Promise((resolveStart) => {
    const server = createServer((req, res) => {
      const path = new URL(req.url, 'http://x').pathname;
      const file = vendor[path] || join(PAGES_DIR, path.replace(/^\/+/, '') || 'form.html');
      if (!file.startsWith(PAGES_DIR) && !vendor[path]) { res.writeHead(403).end(); return; }
      try {
        const body = readFileSync(file);
        res.writeHead(200, { 'content-type': TYPES[extname(file)] || 'application/octet-stream' }).end(body);
      } catch (e) {
        res.writeHead(404).end('not found');
      }
    });
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      resolveStart({ server, origin: `http://127.0.0.1:${port}`, close: () => new Promise((r) => server.close(r)) });
    });
  });
}

// ---- browser ---------------------------------------------------------------

// Chromium refuses to load an extension from a folder it may write into while
// tests run side by side, so each browser gets its own copy.
export function copyExtension(dir) {
  const target = join(dir, 'extension');
  cpSync(PLUGIN_DIR, target, { recursive: true });
  return target;
}

export function extensionArgs(extension) {
  return [`--disable-extensions-except=${extension}`, `--load-extension=${extension}`, ...CHROMIUM_ARGS];
}

export async function launchBrowser() {
  const dir = scratchDir('chromium');
  const extension = copyExtension(dir);
  const context = await chromium.launchPersistentContext(join(dir, 'profile'), {
    executablePath: CHROMIUM,
    headless: true,
    ignoreDefaultArgs: ['--disable-extensions'],
    args: extensionArgs(extension),
  });
  let worker = context.serviceWorkers()[0];
  if (!worker) worker = await context.waitForEvent('serviceworker', { timeout: 15000 });
  return {
    context,
    worker,
    async close() {
      await context.close().catch(() => {});
      rmSync(dir, { recursive: true, force: true });
    },
  };
}

// The tab id that the extension knows a page by.
export async function tabIdOf(worker, page) {
  const url = page.url();
  return worker.evaluate(async (u) => (await chrome.tabs.query({})).find((t) => t.url === u)?.id, url);
}

// Centre of an element in page coordinates, through frames and shadow roots.
export async function centreOf(locator) {
  const box = await locator.boundingBox();
  if (!box) throw new Error('element has no box');
  return { x: box.x + box.width / 2, y: box.y + box.height / 2 };
}

// Hovers the element until the pick overlay outlines it, as a user's mouse
// would; returns where to click. The outline lives in the document that holds
// the element (a frame has its own).
export async function hoverToPick(page, locator) {
  const at = await centreOf(locator);
  await waitUntil(async () => {
    await page.mouse.move(at.x - 1, at.y);
    await page.mouse.move(at.x, at.y);
    return locator.evaluate((el) => !!el.ownerDocument.querySelector('fieldpost-pick-overlay')?.dataset.outlined);
  }, { what: 'the pick outline' });
  return at;
}

