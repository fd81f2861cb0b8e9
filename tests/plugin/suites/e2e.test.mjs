// End to end: the real gateway, the extension in Chromium, a test page. The field
// is picked by a real click, lines go in through fieldpost-send, and the page's
// field and the gateway's log show the outcome.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { MANIFEST, hoverToPick, launchBrowser, startPageServer, waitUntil } from '../lib/harness.mjs';
import { Gateway } from '../lib/gateway.mjs';

let gateway;
let pages;
let browser;
let page;

before(async () => {
  gateway = await new Gateway().start();
  pages = await startPageServer();
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(`${pages.origin}/form.html`);
});

after(async () => {
  await browser?.close();
  await pages?.close();
  await gateway?.stop();
});

test('the extension says hello to the gateway', async () => {
  await gateway.waitLogged('Plugin connected', { timeout: 15000 });
  await gateway.waitLogged(`Plugin prêt (v${MANIFEST.version})`);
});

test('a field picked by a click receives the lines sent to the gateway', async () => {
  // Pick mode as the gateway's pick button starts it; the click in the page is real.
  await browser.worker.evaluate(() =>
    globalThis.fieldpost.handleGatewayMessage({ type: 'pickMode', enabled: true, kind: 'field' }));
  const at = await hoverToPick(page, page.locator('#email'));
  await page.mouse.click(at.x, at.y);
  await gateway.waitLogged('Field selected: Email  [input/email]');

  const lines = ['first@example.org', 'second@example.org', 'third@example.org'];
  await gateway.sendLines(lines);
  await waitUntil(async () => (await page.locator('#email').inputValue()) === lines.at(-1), { what: 'the field' });
  const values = await page.evaluate(() => window.seen.filter((s) => s.kind === 'input' && s.id === 'email').map((s) => s.value));
  assert.deepEqual(values, lines);
  await gateway.waitLogged('Fill OK.', { count: lines.length });
  assert.equal(gateway.logged(/^Fill FAILED/).length, 0);
  // "Simulate Enter key after filling" is on by default: each line submits the form.
  const submits = await page.evaluate(() => window.seen.filter((s) => s.kind === 'submit' && s.id === 'order').length);
  assert.equal(submits, lines.length);
});
