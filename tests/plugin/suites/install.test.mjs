// The plugin as administrators install it: packed and signed by scripts/pack-plugin, served by a web server, named
// in Chromium's machine-wide force-install policy by `fieldpost --install-plugin`, updated from its update manifest
// and removed again, with the real gateway and a real click in the page. The policy reaches every Chromium on the
// machine, so the policy folder is put back exactly as it was, whatever happens, and only root runs these rows.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawnSync } from 'node:child_process';
import { createHash, createPublicKey } from 'node:crypto';
import { createServer } from 'node:http';
import { cpSync, existsSync, mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { createRequire } from 'node:module';
import {
  MANIFEST, clickToPick, launchBrowser, pickFromPopup, scratchDir, seen, startPageServer, until,
} from '../lib/harness.mjs';
import { MANAGED, guardPolicyFolder } from '../lib/policy.mjs';
import { Gateway, REPO_ROOT, settingsText } from '../../../bench/gateway-process.mjs';

const { chromium } = createRequire(import.meta.url)('playwright-core');
const PACK = join(REPO_ROOT, 'scripts', 'pack-plugin');
const APP = process.env.FIELDPOST_APP;
const AS_ROOT = process.getuid() === 0;
const FLOOR_ID = 'acofhmbnjcehehjecbjjchlahjfihbpo'; // bench/floor-extension's key
const MAKER_URL = 'https://updates.thornvaleworks.com/fieldpost/update.xml';

const idOfKey = (pem) => createHash('sha256').update(createPublicKey(pem).export({ type: 'spki', format: 'der' }))
  .digest('hex').slice(0, 32).replace(/./g, (d) => String.fromCharCode(97 + parseInt(d, 16)));
const run = (program, args, env = {}) => spawnSync(program, args, { encoding: 'utf8', env: { ...process.env, ...env } });
const pack = (key, url, out, plugin) => run(PACK, ['--key', key, '--update-url', url, '--out', out,
  ...(plugin ? ['--plugin', plugin] : [])]);

let dir, key, otherKey, server, port;
before(async () => {
  dir = scratchDir('install');
  [key, otherKey] = ['maker.pem', 'other.pem'].map((name) => {
    execFileSync('openssl', ['genrsa', '-out', join(dir, name), '2048'], { stdio: 'ignore' });
    return join(dir, name);
  });
  // The update folder, served under /fieldpost/ as a maker's or an intranet's web server would.
  const requests = [];
  server = createServer((req, res) => {
    const path = new URL(req.url, 'http://x').pathname;
    requests.push(path);
    const file = path.startsWith('/fieldpost/') && join(dir, 'updates', path.slice('/fieldpost/'.length));
    const body = file && existsSync(file) ? readFileSync(file) : null;
    res.writeHead(body ? 200 : 404).end(body ?? '');
  });
  server.requests = requests;
  await new Promise((ok) => server.listen(0, '127.0.0.1', ok));
  port = server.address().port;
});
after(() => { server?.close(); rmSync(dir, { recursive: true, force: true }); });

const updateUrl = () => `http://127.0.0.1:${port}/fieldpost/update.xml`;

test('packing: the same sources give the same bytes; a key that cannot be read and a second file for a published version are refused with one line', () => {
  const [first, second] = ['updates', 'again'].map((name) => join(dir, name));
  for (const out of [first, second]) assert.equal(pack(key, updateUrl(), out).status, 0);
  const crx = `fieldpost-${MANIFEST.version}.crx`;
  const bytes = readFileSync(join(first, crx));
  assert.ok(bytes.subarray(0, 4).equals(Buffer.from('Cr24')) && bytes.readUInt32LE(4) === 3, 'a CRX3 file');
  assert.ok(bytes.equals(readFileSync(join(second, crx))), 'packing twice gives the same bytes');
  const xml = readFileSync(join(first, 'update.xml'), 'utf8');
  assert.match(xml, new RegExp(`<app appid='${idOfKey(readFileSync(key))}'>\\s*<updatecheck codebase='` +
    `http://127.0.0.1:${port}/fieldpost/${crx}' version='${MANIFEST.version}'/>`));

  writeFileSync(join(dir, 'not-a-key.pem'), 'hello\n');
  for (const [what, keyFile, error] of [
    ['a missing key', join(dir, 'missing.pem'), /^pack-plugin: cannot read the private key /],
    ['a file that is no key', join(dir, 'not-a-key.pem'), /^pack-plugin: .* is not an unencrypted RSA private key/],
    ['another key for a published version', otherKey, /^pack-plugin: .*already exists with other bytes: .*bump/],
  ]) {
    const result = pack(keyFile, updateUrl(), first);
    assert.notEqual(result.status, 0, what);
    assert.match(result.stderr, error, what);
    assert.equal(result.stderr.trim().split('\n').length, 1, `${what}: one line, not ${result.stderr}`);
  }
  assert.ok(readFileSync(join(first, crx)).equals(bytes), 'the published file is left as it was');
});

const forcelist = (file) => JSON.parse(readFileSync(join(MANAGED, file), 'utf8')).ExtensionInstallForcelist;

// A fresh or reused profile with no extension loaded by hand: whatever it has comes from the policy. Playwright's
// --disable-extensions and --disable-background-networking would each stop the policy's download. The profile is
// the user's default one under the gateway's settings home, where the gateway registered its native host, and the
// host reads the gateway's record in its data home.
const launchManaged = (gateway) => chromium.launchPersistentContext(join(gateway.configHome, 'chromium'), {
  executablePath: process.env.FIELDPOST_CHROMIUM || '/usr/bin/chromium', headless: true,
  ignoreDefaultArgs: ['--disable-extensions', '--disable-background-networking'],
  args: ['--no-sandbox', '--disable-gpu', '--no-first-run'],
  env: { ...process.env, XDG_CONFIG_HOME: gateway.configHome, XDG_DATA_HOME: gateway.dataHome },
});

// The ids of the profile's extensions, as chrome://extensions-internals lists them.
async function installedIds(context) {
  const page = await context.newPage();
  await page.goto('chrome://extensions-internals');
  const ids = JSON.parse(await page.evaluate(() => document.body.innerText)).map((e) => e.id);
  await page.close();
  return ids;
}

describe('the force-install policy', { skip: !AS_ROOT && 'needs root: it writes the machine\'s Chromium policy' }, () => {
  let settingsHome, putBack;
  const settings = (extra) => {
    const home = scratchDir('settings');
    mkdirSync(join(home, 'Thornvaleworks'));
    writeFileSync(join(home, 'Thornvaleworks', 'Fieldpost.conf'), settingsText(extra));
    return home;
  };
  const fieldpost = (verb, home) => run(APP, [`--${verb}-plugin`, 'chromium'], { XDG_CONFIG_HOME: home });
  before(() => {
    assert.ok(APP && process.env.FIELDPOST_SEND, 'run through ctest, which names the built gateway and fieldpost-send');
    putBack = guardPolicyFolder();
  });
  after(() => putBack?.());

  test('with default settings the policy names the id Chromium gives the unpacked plugin', async () => {
    // No browser runs while this entry is there: it names the maker's server.
    const unpacked = await launchBrowser();
    const unpackedId = new URL(unpacked.worker.url()).host;
    await unpacked.close();
    const home = settings({});
    const before = existsSync(join(MANAGED, 'fieldpost.json')) ? forcelist('fieldpost.json') : [];
    assert.equal(fieldpost('install', home).status, 0);
    assert.deepEqual(forcelist('fieldpost.json'), [...before, `${unpackedId};${MAKER_URL}`]);
    assert.equal(fieldpost('uninstall', home).status, 0);
    assert.deepEqual(forcelist('fieldpost.json'), before);
  });

  test('installed from the policy, linked, filling, updated, refusing strangers, removed', async (t) => {
    const id = idOfKey(readFileSync(key));
    const entry = `${id};${updateUrl()}`;
    assert.equal(pack(key, updateUrl(), join(dir, 'updates')).status, 0);
    // What an administrator already had: another entry in the same list and a file of other policies. The
    // latter also lets DevTools reach a force-installed extension, which Chromium refuses by default.
    const otherEntry = `${idOfKey(readFileSync(otherKey))};http://127.0.0.1:${port}/other/update.xml`;
    mkdirSync(MANAGED, { recursive: true });
    writeFileSync(join(MANAGED, 'fieldpost.json'), JSON.stringify({ ExtensionInstallForcelist: [otherEntry] }));
    const otherFile = `${JSON.stringify({ DeveloperToolsAvailability: 1, ExtensionInstallForcelist: [otherEntry] })}\n`;
    writeFileSync(join(MANAGED, 'admin.json'), otherFile);

    settingsHome = settings({ 'Chromium/extensionId': id, 'Chromium/updateUrl': updateUrl() });
    const installed = fieldpost('install', settingsHome);
    assert.equal(installed.status, 0, installed.stdout + installed.stderr);
    assert.equal(installed.stdout.trim(), 'Plugin installed for Chromium. Restart Chromium to apply.');
    assert.deepEqual(forcelist('fieldpost.json'), [otherEntry, entry]);

    const gateway = new Gateway({ 'Chromium/extensionId': id, 'Chromium/updateUrl': updateUrl() });
    const pages = await startPageServer();
    let context;
    const times = {};
    try {
      await gateway.start();
      let start = Date.now();
      context = await launchManaged(gateway);
      const worker = context.serviceWorkers().find((w) => w.url().includes(id))
        || await context.waitForEvent('serviceworker', { predicate: (w) => w.url().includes(id), timeout: 20000 });
      times['install seen'] = Date.now() - start;
      assert.ok(server.requests.includes(`/fieldpost/fieldpost-${MANIFEST.version}.crx`), 'fetched from the update folder');
      await gateway.waitLogged(`Plugin prêt (v${MANIFEST.version})`, { timeout: 15000 });
      times.link = gateway.logged(`Plugin prêt (v${MANIFEST.version})`)[0].at - start;

      const tab = await context.newPage();
      await tab.goto(`${pages.origin}/form.html`);
      await pickFromPopup(context, id);
      await clickToPick(tab, tab.locator('#email'));
      await gateway.waitLogged('Field selected: Email  [input/email]');
      start = Date.now();
      await gateway.sendLines(['installed@example.org']);
      await until(async () => (await seen(tab, 'input', 'email')).some((s) => s.value === 'installed@example.org'),
        'the line in the field');
      times['line landed'] = Date.now() - start;
      await gateway.waitLogged('Fill OK.');

      // A descriptor this browser did not issue (no pick id of its own) is not filled.
      await worker.evaluate(() => globalThis.fieldpost.handleGatewayMessage({ type: 'fill', id: 77,
        target: { label: 'Email', tag: 'input', id: 'email' }, value: 'forged', pressEnter: false, button: {},
        clickButton: false, clickDelayMs: 0 }));
      await gateway.waitLogged('Fill FAILED: field was not picked in this browser');
      assert.ok(!(await seen(tab, 'input', 'email')).some((s) => s.value === 'forged'));

      // Another extension is refused on the port.
      const stranger = await launchBrowser(join(REPO_ROOT, 'bench', 'floor-extension'), { dataHome: gateway.dataHome });
      await gateway.waitLogged(`WebSocket: refused connection from chrome-extension://${FLOOR_ID}`, { timeout: 15000 });
      await stranger.close();

      // A new version in the same folder. Chromium looks at each start and when asked; it fetches and checks the
      // new file at once, and puts it in place of a running plugin at the browser's next start.
      const bumped = join(dir, 'bumped');
      cpSync(join(REPO_ROOT, 'plugin'), bumped, { recursive: true });
      const version = `${MANIFEST.version}.1`;
      writeFileSync(join(bumped, 'manifest.json'), JSON.stringify({ ...MANIFEST, version }));
      assert.equal(pack(key, updateUrl(), join(dir, 'updates'), bumped).status, 0);
      start = Date.now();
      const fetched = await worker.evaluate(() => new Promise((resolve) => {
        chrome.runtime.onUpdateAvailable.addListener((details) => resolve(details.version));
        chrome.runtime.requestUpdateCheck();
      }));
      assert.equal(fetched, version);
      await context.close();
      context = await launchManaged(gateway);
      await gateway.waitLogged(`Plugin prêt (v${version})`, { timeout: 20000 });
      times['update seen'] = Date.now() - start;

      start = Date.now();
      const removed = fieldpost('uninstall', settingsHome);
      assert.equal(removed.status, 0, removed.stdout + removed.stderr);
      await context.close();
      context = await launchManaged(gateway);
      await until(async () => !(await installedIds(context)).includes(id), 'the plugin to be removed', 15000);
      times['removal seen'] = Date.now() - start;
      assert.deepEqual(forcelist('fieldpost.json'), [otherEntry]);
      assert.equal(readFileSync(join(MANAGED, 'admin.json'), 'utf8'), otherFile);
      t.diagnostic(`policy round trip (ms): ${Object.entries(times).map(([k, v]) => `${k} ${Math.round(v)}`).join(', ')}`);
    } finally {
      await context?.close().catch(() => {});
      await pages.close();
      await gateway.stop();
    }
  });
});
