// Pick, fill, Enter, button click and scan, against a stand-in for the gateway.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  GatewayStandIn, MANIFEST, centreOf, hoverToPick, launchBrowser, startPageServer, tabIdOf, waitUntil,
} from '../lib/harness.mjs';

let gateway;
let pages;
let browser;
let page;

async function seen(p, kind, id) {
  return p.evaluate(([k, i]) => window.seen.filter((s) => s.kind === k && (!i || s.id === i)), [kind, id]);
}

async function pick(kind, locator, p = page) {
  gateway.drop('picked');
  gateway.send({ type: 'pickMode', enabled: true, kind });
  // The outline shows up once the worker has switched the page to pick mode.
  const at = await hoverToPick(p, locator);
  await p.mouse.click(at.x, at.y);
  return gateway.take('picked');
}

function assertOk(result) {
  assert.equal(result.ok, true, `fill failed: ${result.error}`);
  assert.equal(result.error, '');
}

function assertFailed(result, error) {
  assert.equal(result.ok, false);
  assert.equal(result.error, error);
}

async function fill(target, value, extra = {}) {
  gateway.drop('fillResult');
  gateway.send({
    type: 'fill', target, value, pressEnter: false, button: {}, clickButton: false, clickDelayMs: 300, ...extra,
  });
  return gateway.take('fillResult');
}

before(async () => {
  gateway = await new GatewayStandIn().start();
  pages = await startPageServer();
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(`${pages.origin}/form.html`);
  await page.frameLocator('#child').locator('#framed').waitFor();
  await gateway.take('hello', { timeout: 15000 });
});

after(async () => {
  await browser?.close();
  await pages?.close();
  await gateway?.stop();
});

describe('link', () => {
  test('hello carries the manifest version from an extension origin; the icon says connected', async () => {
    const hellos = gateway.connections.flatMap((c) => c.messages).filter((m) => m.type === 'hello');
    assert.equal(hellos[0].version, MANIFEST.version);
    assert.match(gateway.connections[0].origin, /^chrome-extension:\/\/[a-p]{32}$/);
    const title = await browser.worker.evaluate(() => chrome.action.getTitle({}));
    assert.equal(title, 'Fieldpost: connected to the gateway');
  });
});

describe('pick', () => {
  test('outlines the element under the mouse and swallows the picking click', async () => {
    const before = (await seen(page, 'click')).length + (await seen(page, 'mousedown')).length;
    const picked = await pick('field', page.locator('#email'));
    assert.equal(picked.kind, 'field');
    assert.equal(picked.url, `${pages.origin}/form.html`);
    assert.equal(picked.field.label, 'Email');
    assert.equal(picked.field.tag, 'input');
    assert.equal(picked.field.type, 'email');
    assert.equal(picked.field.id, 'email');
    assert.equal(picked.field.name, 'email');
    assert.equal(picked.field.url, picked.url);
    assert.equal(picked.field.tabId, await tabIdOf(browser.worker, page));
    assert.equal((await seen(page, 'click')).length + (await seen(page, 'mousedown')).length, before);
    // Pick mode ended: the next click reaches the page again.
    const at = await centreOf(page.locator('#email'));
    await page.mouse.click(at.x, at.y);
    await waitUntil(async () => (await seen(page, 'click', 'email')).length === 1, { what: 'the page click' });
    assert.equal(await page.evaluate(() => document.querySelector('fieldpost-pick-overlay')), null);
  });

  test('labels come from the label, aria-label, placeholder, in that order', async () => {
    const city = await pick('field', page.locator('input[name=city]'));
    assert.equal(city.field.label, 'City');
    assert.equal(city.field.id, '');
    assert.equal(city.field.name, 'city');
    const notes = await pick('field', page.locator('#notes'));
    assert.deepEqual([notes.field.label, notes.field.tag, notes.field.type], ['Notes', 'textarea', 'textarea']);
    const ro = await pick('field', page.locator('#ro'));
    assert.equal(ro.field.label, 'Reference');
  });

  test('a button pick climbs from its text to the button and says kind "button"', async () => {
    const picked = await pick('button', page.locator('#go'));
    assert.equal(picked.kind, 'button');
    assert.deepEqual([picked.field.label, picked.field.tag, picked.field.type], ['Go on', 'button', 'button']);
  });

  test('Escape cancels pick mode without a pick', async () => {
    gateway.drop('picked');
    gateway.send({ type: 'pickMode', enabled: true, kind: 'field' });
    const at = await hoverToPick(page, page.locator('#notes'));
    await page.keyboard.press('Escape');
    assert.equal((await seen(page, 'keydown')).filter((k) => k.key === 'Escape').length, 0);
    const clicks = (await seen(page, 'click', 'notes')).length;
    await page.mouse.click(at.x, at.y);
    await waitUntil(async () => (await seen(page, 'click', 'notes')).length === clicks + 1, { what: 'the click' });
    await assert.rejects(gateway.take('picked', { timeout: 300 }));
  });

  test('a field inside an open shadow root and one inside a same-origin frame', async () => {
    const inner = await pick('field', page.locator('x-card #inner'));
    assert.equal(inner.field.label, 'Inner code');
    assert.deepEqual(inner.field.shadowHosts, ['#card']);
    assert.deepEqual(inner.field.frames, []);
    const framed = await pick('field', page.frameLocator('#child').locator('#framed'));
    assert.equal(framed.field.label, 'Framed');
    assert.equal(framed.url, `${pages.origin}/form.html`);
    assert.deepEqual(framed.field.frames, [{ css: '#child', shadowHosts: [] }]);

    assertOk(await fill(inner.field, 'S-1'));
    assert.equal(await page.locator('x-card #inner').inputValue(), 'S-1');
    assertOk(await fill(framed.field, 'F-1'));
    assert.equal(await page.frameLocator('#child').locator('#framed').inputValue(), 'F-1');
    const frameInputs = await seen(page.frames()[1], 'input', 'framed');
    assert.equal(frameInputs.at(-1).value, 'F-1');
  });
});

describe('fill', () => {
  let email;
  before(async () => {
    email = (await pick('field', page.locator('#email'))).field;
  });

  test('a plain input gets the value with input and change events', async () => {
    assertOk(await fill(email, 'ann@example.org'));
    assert.equal(await page.locator('#email').inputValue(), 'ann@example.org');
    const events = (await seen(page, 'input', 'email')).concat(await seen(page, 'change', 'email'));
    assert.deepEqual(events.slice(-2).map((e) => [e.kind, e.value]),
      [['input', 'ann@example.org'], ['change', 'ann@example.org']]);
    assert.equal((await seen(page, 'submit')).length, 0, 'no Enter was asked for');
  });

  test('a textarea and a select, by option value and by option text', async () => {
    const notes = { tag: 'textarea', id: 'notes', url: email.url, tabId: email.tabId };
    assertOk(await fill(notes, 'first note'));
    assert.equal(await page.locator('#notes').inputValue(), 'first note');
    const country = { tag: 'select', id: 'country', url: email.url, tabId: email.tabId };
    assertOk(await fill(country, 'de'));
    assert.equal(await page.locator('#country').inputValue(), 'de');
    assertOk(await fill(country, 'France'));
    assert.equal(await page.locator('#country').inputValue(), 'fr');
    assertFailed(await fill(country, 'Spain'), 'value not accepted (no such option)');
    assert.equal(await page.locator('#country').inputValue(), 'fr');
  });

  test('found by name, then by CSS path, when the id no longer matches', async () => {
    const city = { tag: 'input', id: 'gone', name: 'city', url: email.url, tabId: email.tabId };
    assertOk(await fill(city, 'Lyon'));
    assert.equal(await page.locator('input[name=city]').inputValue(), 'Lyon');
    const byPath = { tag: 'input', id: '', name: '', css: email.css, url: email.url, tabId: email.tabId };
    assertOk(await fill(byPath, 'path@example.org'));
    assert.equal(await page.locator('#email').inputValue(), 'path@example.org');
  });

  test('read-only, disabled and vanished fields are refused in plain words', async () => {
    const ro = { tag: 'input', id: 'ro', url: email.url, tabId: email.tabId };
    assertFailed(await fill(ro, 'x'), 'field is read-only or disabled');
    assert.equal(await page.locator('#ro').inputValue(), 'fixed');
    assertFailed(await fill({ ...ro, id: 'off' }, 'x'), 'field is read-only or disabled');
    const doomed = (await pick('field', page.locator('#doomed'))).field;
    await page.evaluate(() => document.getElementById('doomed').remove());
    assertFailed(await fill(doomed, 'x'), 'field not found');
    assertFailed(await fill({ tag: 'input', id: 'go', url: email.url, tabId: email.tabId }, 'x'), 'field not found');
  });

  test('Enter submits through the default button unless the page cancels the keydown', async () => {
    assertOk(await fill(email, 'enter@example.org', { pressEnter: true }));
    const keys = await seen(page, 'keydown', 'email');
    assert.deepEqual([keys.at(-1).key, keys.at(-1).keyCode], ['Enter', 13]);
    await waitUntil(async () => (await seen(page, 'submit', 'order')).length === 1, { what: 'the submit' });
    assert.equal((await seen(page, 'submit', 'order'))[0].submitter, 'send');

    const guard = { tag: 'input', id: 'guard', url: email.url, tabId: email.tabId };
    assertOk(await fill(guard, 'kept', { pressEnter: true }));
    assert.equal((await seen(page, 'keydown', 'guard')).at(-1).key, 'Enter');
    assert.equal((await seen(page, 'submit', 'guarded')).length, 0);

    const single = { tag: 'input', id: 'single', url: email.url, tabId: email.tabId };
    assertOk(await fill(single, 'solo', { pressEnter: true }));
    await waitUntil(async () => (await seen(page, 'submit', 'lonely')).length === 1, { what: 'the button-less submit' });
  });

  test('the button is clicked after the delay and reported', async () => {
    const button = (await pick('button', page.locator('#go'))).field;
    gateway.drop('buttonClicked');
    const result = await fill(email, 'click@example.org', { button, clickButton: true, clickDelayMs: 400 });
    assertOk(result);
    assert.equal((await seen(page, 'click', 'go')).length, 0, 'clicked before the delay');
    const clicked = await gateway.take('buttonClicked');
    assert.equal(clicked.ok, true);
    assert.equal(clicked.error, '');
    const clicks = await seen(page, 'click', 'go');
    assert.equal(clicks.length, 1);
    assert.ok(clicks[0].at - result.at >= 0, 'click before the fill answer');
  });

  test('a failed click and a click skipped after a failed fill are reported', async () => {
    gateway.drop('buttonClicked');
    const missing = { tag: 'button', id: 'nothere', url: email.url, tabId: email.tabId };
    assertOk(await fill(email, 'a@b.c', { button: missing, clickButton: true, clickDelayMs: 0 }));
    let clicked = await gateway.take('buttonClicked');
    assert.deepEqual([clicked.ok, clicked.error], [false, 'button not found']);
    const ro = { tag: 'input', id: 'ro', url: email.url, tabId: email.tabId };
    const go = { tag: 'button', id: 'go', url: email.url, tabId: email.tabId };
    assertFailed(await fill(ro, 'x', { button: go, clickButton: true, clickDelayMs: 0 }), 'field is read-only or disabled');
    clicked = await gateway.take('buttonClicked');
    assert.deepEqual([clicked.ok, clicked.error], [false, 'button not clicked: the fill failed']);
  });

  test('a React controlled input takes the value into its state; a refused value is reported', async () => {
    const rpage = await browser.context.newPage();
    await rpage.goto(`${pages.origin}/react.html`);
    await rpage.locator('#rname').waitFor();
    const name = (await pick('field', rpage.locator('#rname'), rpage)).field;
    assert.equal(name.label, 'Name');
    assertOk(await fill(name, 'Grace'));
    assert.equal(await rpage.locator('#state').textContent(), '{"name":"Grace","digits":""}');
    const digits = { ...name, id: 'rdigits', label: 'Digits', css: '#rdigits' };
    assertOk(await fill(digits, '0042'));
    assert.equal(await rpage.locator('#state').textContent(), '{"name":"Grace","digits":"0042"}');
    assertFailed(await fill(digits, 'abc'), 'value not accepted');
    assert.equal(await rpage.locator('#rdigits').inputValue(), '0042');
    await rpage.close();
  });

  test('a tab in the background is filled; a stale tab falls back to a tab with the address', async () => {
    const front = await browser.context.newPage();
    await front.goto(`${pages.origin}/frame.html`);
    await front.bringToFront();
    const active = await browser.worker.evaluate(async () => (await chrome.tabs.query({ active: true }))[0].url);
    assert.equal(active, `${pages.origin}/frame.html`);
    assertOk(await fill(email, 'behind@example.org'));
    assert.equal(await page.locator('#email').inputValue(), 'behind@example.org');
    assertOk(await fill({ ...email, tabId: 987654 }, 'stale@example.org'));
    assert.equal(await page.locator('#email').inputValue(), 'stale@example.org');
    // Unknown address and tab: the active tab is used, here the frame page.
    const framed = { tag: 'input', id: 'framed', url: 'http://127.0.0.1:1/elsewhere', tabId: 987654 };
    assertOk(await fill(framed, 'active'));
    assert.equal(await front.locator('#framed').inputValue(), 'active');
    await front.close();
    await page.bringToFront();
  });

  test('a burst of fills arrives complete and in order', async () => {
    gateway.drop('fillResult');
    const count = 200;
    for (let i = 0; i < count; i++) {
      gateway.send({
        type: 'fill', target: email, value: `n${i}@x.org`, pressEnter: false, button: {}, clickButton: false, clickDelayMs: 300,
      });
    }
    for (let i = 0; i < count; i++) assertOk(await gateway.take('fillResult'));
    const values = (await seen(page, 'input', 'email')).map((e) => e.value).filter((v) => /^n\d+@x\.org$/.test(v));
    assert.deepEqual(values, Array.from({ length: count }, (_, i) => `n${i}@x.org`));
  });
});

describe('scan', () => {
  test('lists the fillable fields of the active tab, frames and shadow roots included', async () => {
    gateway.drop('fields');
    gateway.send({ type: 'scan' });
    const answer = await gateway.take('fields');
    assert.equal(answer.url, `${pages.origin}/form.html`);
    assert.equal(answer.title, 'Plain form');
    const labels = answer.fields.map((f) => f.label);
    assert.deepEqual(labels, ['Email', 'City', 'Notes', 'Country', 'Guarded', 'Single', 'Inner code', 'Framed']);
    assert.ok(answer.fields.every((f) => f.url === answer.url && Number.isInteger(f.tabId)));
    // A scanned descriptor is good for a fill.
    assertOk(await fill(answer.fields.at(-1), 'from scan'));
    assert.equal(await page.frameLocator('#child').locator('#framed').inputValue(), 'from scan');
  });

  test('nothing is sent on its own: only a scan brings "fields"', async () => {
    await page.reload();
    await page.locator('#email').waitFor();
    await assert.rejects(gateway.take('fields', { timeout: 500 }));
  });
});
