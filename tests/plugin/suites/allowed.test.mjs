// The administrator's allowed pages, given as Chromium's machine-wide policy for the plugin: a fill into a page
// outside the list fails and types nothing, pick mode there only says so, and a list taken away lets all pages be
// filled again. The policy reaches every Chromium on the machine, so only root runs this, the policy folder is put
// back exactly as it was, and the plugin gets a key of its own here, so that the policy names no other plugin.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { generateKeyPairSync } from 'node:crypto';
import { cpSync, mkdirSync, rmSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { GatewayStandIn, MANIFEST, idOfKey, launchBrowser, scratchDir, seen, startPageServer, until } from '../lib/harness.mjs';
import { MANAGED, guardPolicyFolder } from '../lib/policy.mjs';

const POLICY = join(MANAGED, 'fieldpost-allowed-pages-test.json');
const NOT_ALLOWED = 'page not allowed by the administrator';

describe('allowed pages', { skip: process.getuid() !== 0 && 'needs root: it writes the machine\'s Chromium policy' }, () => {
  let putBack, pages, browser, gateway, page, email, plugin;
  const restricted = () => browser.context.serviceWorkers()[0].evaluate(() => globalThis.fieldpost.restricted());
  const bar = () => page.evaluate(() => document.querySelector('fieldpost-pick-overlay')?.shadowRoot.querySelector('.bar').textContent);
  const goTo = async (query) => {
    await page.goto(`${pages.origin}/form.html?${query}`);
    await until(async () => (await browser.worker.evaluate(async () => (await chrome.tabs.query({ url: '*://*/*' })).map((t) => t.url)))
      .includes(page.url()), 'the tab at its new address');
  };

  before(async () => {
    plugin = scratchDir('allowed');
    cpSync(fileURLToPath(new URL('../../../plugin', import.meta.url)), plugin, { recursive: true });
    const key = generateKeyPairSync('rsa', { modulusLength: 2048 }).publicKey.export({ type: 'spki', format: 'der' }).toString('base64');
    writeFileSync(join(plugin, 'manifest.json'), JSON.stringify({ ...MANIFEST, key }));
    putBack = guardPolicyFolder();
    pages = await startPageServer();
    // A prefix, a regular expression, and one that is not one (left out).
    mkdirSync(MANAGED, { recursive: true });
    writeFileSync(POLICY, JSON.stringify({ '3rdparty': { extensions: { [idOfKey(key)]: {
      allowedPages: [`${pages.origin}/form.html?ok`, '/\\?re=\\d+$/', '/(/'],
    } } } }));
    browser = await launchBrowser(plugin);
    gateway = await new GatewayStandIn(browser.dataHome).start();
    await gateway.nextLink(8000);
    // Chromium hands an extension its policy a few seconds after it starts.
    await until(restricted, 'the policy in force', 20000);
    page = await browser.context.newPage();
  });

  after(async () => {
    await gateway?.stop();
    await browser?.close();
    await pages?.close();
    putBack?.();
    rmSync(plugin, { recursive: true, force: true });
  });

  test('a page the list names is filled; one it does not gets nothing, for one field or several', async () => {
    await goTo('ok');
    email = await gateway.pick(page, page.locator('#email'));
    assert.deepEqual([(await gateway.fill(email, 'in@example.org')).ok, await page.locator('#email').inputValue()], [true, 'in@example.org']);
    await goTo('no');
    const email2 = { ...email, id: 'notes', tag: 'textarea', type: 'textarea', name: '', css: '' };
    for (const extra of [{}, { targets: [email, email2], values: ['a', 'b'] }]) {
      const m = await gateway.fill(email, 'out@example.org', extra);
      assert.deepEqual([m.ok, m.error, m.failedField], [false, NOT_ALLOWED, undefined], JSON.stringify(extra));
    }
    await goTo('re=7');
    assert.equal((await gateway.fill(email, 're@example.org')).ok, true);
    assert.deepEqual((await seen(page, 'input')).map((e) => e.value), ['re@example.org']);
  });

  test('pick mode in a page outside the list only shows why: the click is the page\'s, nothing is picked', async () => {
    await goTo('no');
    gateway.pickMode();
    await until(async () => (await bar()) === 'Fieldpost: this page is not allowed by the administrator', 'the bar');
    await page.locator('#email').click();
    await until(async () => (await seen(page, 'click', 'email')).some((c) => c.trusted), 'the click in the page');
    assert.deepEqual(await gateway.after(300), []);
    gateway.send({ type: 'pickMode', enabled: false, kind: 'field' });
  });

  test('the list taken away: every page is filled again', async () => {
    rmSync(POLICY);
    await until(async () => !(await restricted()), 'the policy gone', 20000);
    assert.equal((await gateway.fill(email, 'free@example.org')).ok, true);
    assert.equal(await page.locator('#email').inputValue(), 'free@example.org');
  });
});
