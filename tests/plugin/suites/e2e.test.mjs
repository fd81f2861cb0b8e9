// End to end: the real gateway, run as a service, and two browsers with the extension (as Edge and Chrome) on the same page; a
// real click picks in one, lines go in through fieldpost-send, and the pages and the gateway's log show the outcome.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { MANIFEST, clickToPick, launchBrowser, seen, sleep, startPageServer, until } from '../lib/harness.mjs';
import { Gateway } from '../../../bench/gateway-process.mjs';

let gateway, pages, browsers, tabs;

before(async () => {
  assert.ok(process.env.FIELDPOST_APP && process.env.FIELDPOST_SEND, 'run through ctest, which names the built gateway and fieldpost-send');
  gateway = await new Gateway().start();
  pages = await startPageServer();
  browsers = await Promise.all([launchBrowser(), launchBrowser()]);
  tabs = await Promise.all(browsers.map((b) => b.context.newPage()));
  await Promise.all(tabs.map((t) => t.goto(`${pages.origin}/form.html`)));
});

after(async () => {
  await Promise.all((browsers || []).map((b) => b.close()));
  await pages?.close();
  await gateway?.stop();
});

test('only the browser that picked fills and answers; the other leaves pick mode and stays silent', async () => {
  await gateway.waitLogged(`Plugin prêt (v${MANIFEST.version})`, { count: 2, timeout: 15000 });
  // Pick mode reaches every connected browser, as the gateway's pick button sends it.
  await Promise.all(browsers.map((b) => b.worker.evaluate(() =>
    globalThis.fieldpost.handleGatewayMessage({ type: 'pickMode', enabled: true, kind: 'field' }))));
  await until(() => browsers[1].picking(), 'pick mode in the other browser');
  await clickToPick(tabs[0], tabs[0].locator('#email'));
  await gateway.waitLogged('Field selected: Email  [input/email]');
  await until(async () => !(await browsers[1].picking()), 'the other browser to leave pick mode');

  const lines = ['first@example.org', 'second@example.org', 'third@example.org'];
  await gateway.sendLines(lines);
  await gateway.waitLogged('Fill OK.', { count: lines.length, timeout: 15000 });
  assert.deepEqual((await seen(tabs[0], 'input', 'email')).map((s) => s.value), lines);
  // "Simulate Enter key after filling" is on by default: each line submits the form.
  assert.equal((await seen(tabs[0], 'submit', 'order')).length, lines.length);
  await sleep(500);
  assert.equal(gateway.logged(/^Fill (OK|FAILED)/).length, lines.length, 'one answer per line');
  assert.deepEqual(await seen(tabs[1], ['input', 'keydown', 'submit']), []);
});
