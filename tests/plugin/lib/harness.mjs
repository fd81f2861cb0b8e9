// Shared pieces of the extension tests.
import { createHash, createHmac, randomBytes } from 'node:crypto';
import { createServer } from 'node:http';
import { chmodSync, cpSync, mkdirSync, mkdtempSync, readFileSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { dirname, extname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createRequire } from 'node:module';
import assert from 'node:assert/strict';

const PAGES_DIR = resolve(dirname(fileURLToPath(import.meta.url)), '..', 'pages');
const PLUGIN_DIR = resolve(PAGES_DIR, '..', '..', '..', 'plugin');
// Where the real gateway listens first; the plugin learns the port from the native host.
export const GATEWAY_PORT = 9000;
const NATIVE_HOST = 'com.thornvaleworks.fieldpost';
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

// The pairing record the native host reads, written as the gateway writes it: readable by its user only.
export function writePairingRecord(dataHome, record) {
  const dir = join(dataHome, 'Thornvaleworks', 'Fieldpost');
  mkdirSync(dir, { recursive: true, mode: 0o700 });
  for (const d of [join(dataHome, 'Thornvaleworks'), dir]) chmodSync(d, 0o700);
  writeFileSync(join(dir, 'pairing.json.new'), JSON.stringify(record), { mode: 0o600 });
  renameSync(join(dir, 'pairing.json.new'), join(dir, 'pairing.json'));
}

export const newKey = () => randomBytes(32).toString('base64');
const sign = (key, role, nc, ng, port) =>
  createHmac('sha256', Buffer.from(key, 'base64')).update(`${role}|${nc}|${ng}|${port}`).digest('base64');

// The gateway's side of the link, on a port of its own, named by the pairing record it writes in dataHome.
// Each link keeps what came before its proof (before) apart from what came after (after, and received
// for all links). withhold: it never sends its proof. forge: { key, port, role } it signs with instead.
// greet: messages sent on every new link right after the app's hello, before any proof. The page in front,
// which the extension tells at every change, is kept apart (pages) from what the other messages answer.
export class GatewayStandIn {
  received = [];
  pages = [];
  links = [];
  fills = 0;
  key = newKey();

  constructor(dataHome, { withhold = false, forge = {}, greet = [] } = {}) {
    Object.assign(this, { dataHome, withhold, forge, greet });
  }

  async start({ record = true } = {}) {
    this.server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
    await new Promise((ok, fail) => this.server.once('listening', ok).once('error', fail));
    this.port = this.server.address().port;
    this.server.on('connection', (ws) => this.accept(ws));
    if (record) this.writeRecord();
    return this;
  }

  writeRecord(fields = {}) {
    writePairingRecord(this.dataHome, { key: this.key, port: this.port, intakePort: 0, pid: process.pid, ...fields });
  }

  accept(ws) {
    const link = { ws, opened: Date.now(), closed: null, proven: false, before: [], after: [] };
    this.links.push(link);
    ws.on('close', () => { link.closed = Date.now(); });
    ws.send('{"type":"hello","from":"app"}');
    for (const message of this.greet) ws.send(JSON.stringify(message));
    ws.on('message', (data) => {
      const message = { ...JSON.parse(data.toString()), at: Date.now() };
      if (link.proven) {
        link.after.push(message);
        (message.type === 'activePage' ? this.pages : this.received).push(message);
      } else {
        link.before.push(message);
        this.prove(link, message);
      }
    });
  }

  prove(link, message) {
    if (message.type === 'hello' && !this.withhold && !link.nonce) {
      link.nonce = randomBytes(16).toString('base64');
      const { key = this.key, role = 'gateway', port = this.port } = this.forge;
      link.ws.send(JSON.stringify({ type: 'proof', nonce: link.nonce, proof: sign(key, role, message.nonce, link.nonce, port) }));
    } else if (message.type === 'proof' && link.nonce) {
      link.proven = message.proof === sign(this.key, 'plugin', link.before[0].nonce, link.nonce, this.port);
    }
  }

  // The next link that proved itself both ways.
  async nextLink(ms) {
    const link = await until(() => this.links.find((l) => l.proven && !l.taken), 'a proven link', ms);
    link.taken = true;
    return link;
  }

  // As the gateway leaves its record when it stops: no port, no process, the key kept.
  async stop() {
    for (const { ws } of this.links) ws.terminate();
    await new Promise((r) => this.server.close(r));
    this.writeRecord({ port: 0, pid: 0 });
  }

  get open() { return this.links.map((l) => l.ws).filter((ws) => ws.readyState === 1); }

  take(type, ms) {
    return until(() => {
      const i = this.received.findIndex((m) => m.type === type);
      return i >= 0 && this.received.splice(i, 1)[0];
    }, `a "${type}" message from the extension`, ms);
  }

  // The types of everything that arrived on proven links within a while: for what must not come.
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

// The id Chromium gives an extension whose manifest has this key.
export const idOfKey = (key) => createHash('sha256').update(Buffer.from(key, 'base64')).digest('hex').slice(0, 32)
  .replace(/./g, (d) => String.fromCharCode(97 + parseInt(d, 16)));

// Chromium refuses an extension folder that another browser has loaded, so each gets its own copy. The profile
// registers the native host (FIELDPOST_LINK) for the copy's id, and the host reads the pairing record in dataHome.
export async function launchBrowser(extensionDir = PLUGIN_DIR, { dataHome } = {}) {
  assert.ok(process.env.FIELDPOST_LINK, 'FIELDPOST_LINK names the native host (ctest sets it)');
  const dir = scratchDir('chromium');
  const extension = join(dir, 'extension');
  cpSync(extensionDir, extension, { recursive: true });
  const id = idOfKey(JSON.parse(readFileSync(join(extension, 'manifest.json'), 'utf8')).key);
  const hosts = join(dir, 'profile', 'NativeMessagingHosts');
  const hostManifest = join(hosts, `${NATIVE_HOST}.json`);
  mkdirSync(hosts, { recursive: true });
  writeFileSync(hostManifest, JSON.stringify({
    name: NATIVE_HOST, description: 'Fieldpost: finds this user\'s gateway', path: process.env.FIELDPOST_LINK,
    type: 'stdio', allowed_origins: [`chrome-extension://${id}/`],
  }));
  dataHome ??= join(dir, 'data');
  const context = await chromium.launchPersistentContext(join(dir, 'profile'), {
    executablePath: process.env.FIELDPOST_CHROMIUM || '/usr/bin/chromium', headless: true,
    ignoreDefaultArgs: ['--disable-extensions'],
    args: [`--disable-extensions-except=${extension}`, `--load-extension=${extension}`, '--no-sandbox',
      '--disable-gpu', '--disable-background-networking', '--disable-component-update', '--no-first-run'],
    env: { ...process.env, XDG_DATA_HOME: dataHome },
  });
  const worker = context.serviceWorkers()[0] || await context.waitForEvent('serviceworker', { timeout: 15000 });
  return {
    context, worker, dataHome, hostManifest,
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

// Pick mode as the user starts it from the plugin's popup (which tells the gateway), in a browser `context` whose
// plugin has that id; resolves once the popup has asked.
export async function pickFromPopup(context, extensionId, kind = 'field') {
  const popup = await context.newPage();
  await popup.goto(`chrome-extension://${extensionId}/popup.html`);
  const button = kind === 'field' ? '#pickField' : '#pickButton';
  await until(() => popup.evaluate((b) => !document.querySelector(b).disabled, button), 'the popup to offer picking');
  await popup.click(button);
  await until(() => popup.evaluate(() => !document.getElementById('stop').hidden), 'pick mode in the popup');
  await popup.close();
}
