// Filling, against a stand-in for the gateway: what each field takes, Enter and
// the button, the order of lines, and which tab and frame get them.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { GatewayStandIn, launchBrowser, seen, startPageServer, waitUntil } from '../lib/harness.mjs';

let gateway;
let pages;
let other;
let browser;
let page;
let email;

const OK = [true, ''];
const outcome = (m) => [m.ok, m.error];
const fill = async (...args) => outcome(await gateway.fill(...args));
// Another element of the page where email was picked.
const on = (fields) => ({ ...email, id: '', name: '', css: '', ...fields });

before(async () => {
  gateway = await new GatewayStandIn().start();
  [pages, other] = await Promise.all([startPageServer(), startPageServer()]);
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(`${pages.origin}/form.html`);
  await gateway.take('hello', { timeout: 15000 });
  email = await gateway.pick(page, page.locator('#email'));
});

after(async () => {
  await browser?.close();
  await Promise.all([pages?.close(), other?.close()]);
  await gateway?.stop();
});

describe('fill', () => {
  test('each kind of field takes the value as typing would, or says why not', async () => {
    for (const [target, value, expected, where, shows] of [
      [email, 'ann@example.org', OK, '#email', 'ann@example.org'],
      [on({ tag: 'textarea', type: 'textarea', id: 'notes' }), 'first note', OK, '#notes', 'first note'],
      [on({ tag: 'select', type: 'select-one', id: 'country' }), 'de', OK, '#country', 'de'],
      [on({ tag: 'select', type: 'select-one', id: 'country' }), 'France', OK, '#country', 'fr'],
      [on({ tag: 'select', type: 'select-one', id: 'country' }), 'Spain', [false, 'value not accepted (no such option)'], '#country', 'fr'],
      [on({ tag: 'input', type: 'text', id: 'gone', name: 'city' }), 'Lyon', OK, 'input[name=city]', 'Lyon'],
      [on({ css: email.css }), 'path@example.org', OK, '#email', 'path@example.org'],
      [on({ tag: 'input', type: 'text', id: 'ro' }), 'x', [false, 'field is read-only or disabled'], '#ro', 'fixed'],
      [on({ tag: 'input', type: 'text', id: 'off' }), 'x', [false, 'field is read-only or disabled'], '#off', ''],
      [on({ tag: 'button', type: 'button', id: 'go' }), 'x', [false, 'field cannot be filled (a button element)']],
      [{ ...email, type: 'text' }, 'x', [false, 'field not found'], '#email', 'path@example.org'],
      [on({ tag: 'input', type: 'text', id: 'nothere' }), 'x', [false, 'field not found']],
    ]) {
      assert.deepEqual(await fill(target, value), expected, `${value} into ${JSON.stringify(target)}`);
      if (where) assert.equal(await page.locator(where).inputValue(), shows);
    }
    const events = await seen(page, ['input', 'change'], 'email');
    assert.deepEqual(events.slice(-2).map((e) => [e.kind, e.value]), [['input', 'path@example.org'], ['change', 'path@example.org']]);
    assert.equal((await seen(page, 'submit')).length, 0, 'no Enter was asked for');
  });

  test('a contenteditable field gets beforeinput and input as from typing', async () => {
    assert.deepEqual(await fill(on({ tag: 'div', type: '', id: 'editor' }), 'ed-1'), OK);
    assert.equal(await page.locator('#editor').textContent(), 'ed-1');
    assert.deepEqual((await seen(page, ['beforeinput', 'input'], 'editor')).map((e) => [e.kind, e.value]),
      [['beforeinput', ''], ['input', 'ed-1']]);
  });

  test('Enter submits through the default button unless the page cancels the keydown', async () => {
    assert.deepEqual(await fill(email, 'enter@example.org', { pressEnter: true }), OK);
    assert.deepEqual((await seen(page, 'keydown', 'email')).map((k) => [k.key, k.keyCode]), [['Enter', 13]]);
    assert.deepEqual((await seen(page, 'submit', 'order')).map((s) => s.submitter), ['send']);
    assert.deepEqual(await fill(on({ tag: 'input', type: 'text', id: 'guard' }), 'kept', { pressEnter: true }), OK);
    assert.equal((await seen(page, 'keydown', 'guard')).length, 1);
    assert.equal((await seen(page, 'submit', 'guarded')).length, 0);
    assert.deepEqual(await fill(on({ tag: 'input', type: 'text', id: 'single' }), 'solo', { pressEnter: true }), OK);
    assert.equal((await seen(page, 'submit', 'lonely')).length, 1);
  });

  test('the button is clicked after the delay; a failed click or fill is reported', async () => {
    const go = await gateway.pick(page, page.locator('#go'), 'button');
    gateway.drop('buttonClicked');
    const filled = await gateway.fill(email, 'click@example.org', { button: go, clickButton: true, clickDelayMs: 400 });
    assert.deepEqual(outcome(filled), OK);
    assert.deepEqual(outcome(await gateway.take('buttonClicked')), OK);
    const clicks = await seen(page, 'click', 'go');
    assert.equal(clicks.length, 1);
    assert.ok(clicks[0].at - filled.at >= 300, 'clicked before the delay');
    for (const [target, button, expected] of [
      [email, { ...go, id: 'nothere', css: '' }, [false, 'button not found']],
      [email, { ...go, instance: 'another' }, [false, 'button was picked in another browser']],
      [on({ tag: 'input', type: 'text', id: 'ro' }), go, [false, 'button not clicked: the fill failed']],
    ]) {
      await gateway.fill(target, 'b', { button, clickButton: true });
      assert.deepEqual(outcome(await gateway.take('buttonClicked')), expected);
    }
    assert.equal((await seen(page, 'click', 'go')).length, 1);
  });

  test('a React controlled input takes the value into its state; a refused value is reported', async () => {
    const rpage = await browser.context.newPage();
    await rpage.goto(`${pages.origin}/react.html`);
    const name = await gateway.pick(rpage, rpage.locator('#rname'));
    assert.deepEqual(await fill(name, 'Grace'), OK);
    const digits = { ...name, id: 'rdigits', label: 'Digits', css: '#rdigits' };
    assert.deepEqual(await fill(digits, '0042'), OK);
    assert.equal(await rpage.locator('#state').textContent(), '{"name":"Grace","digits":"0042"}');
    assert.deepEqual(await fill(digits, 'abc'), [false, 'value not accepted']);
    assert.equal(await rpage.locator('#rdigits').inputValue(), '0042');
    await rpage.close();
  });
});

describe('order', () => {
  test('a burst of plain fills lands complete and in order', async () => {
    gateway.drop('fillResult');
    const values = Array.from({ length: 200 }, (_, i) => `n${i}@x.org`);
    for (const value of values) gateway.send({ type: 'fill', target: email, value, pressEnter: false, button: {}, clickButton: false, clickDelayMs: 0 });
    for (const value of values) assert.deepEqual(outcome(await gateway.take('fillResult')), OK, value);
    assert.deepEqual((await seen(page, 'input', 'email')).map((e) => e.value).filter((v) => /^n\d+@x\.org$/.test(v)), values);
  });

  test('a burst of lines with a click: each click submits its own line, after the page it opened has loaded', async () => {
    const tab = await browser.context.newPage();
    await tab.goto(`${pages.origin}/form.html?burst`);
    const code = await gateway.pick(tab, tab.locator('#code'));
    const save = await gateway.pick(tab, tab.locator('#save'), 'button');
    gateway.drop('fillResult');
    gateway.drop('buttonClicked');
    for (const value of ['L1', 'L2']) gateway.send({ type: 'fill', target: code, value, pressEnter: false, button: save, clickButton: true, clickDelayMs: 0 });
    for (const type of ['fillResult', 'buttonClicked', 'fillResult', 'buttonClicked']) assert.deepEqual(outcome(await gateway.take(type)), OK);
    await tab.waitForURL('**/form.html?code=L2');
    assert.deepEqual(pages.requests.filter((r) => r.startsWith('/form.html?code=')), ['/form.html?code=L1', '/form.html?code=L2']);
    await tab.close();
  });
});

describe('scan', () => {
  test('lists the fields of the active tab and its frames, each good for a fill', async () => {
    await page.bringToFront();
    gateway.drop('fields');
    gateway.send({ type: 'scan' });
    const answer = await gateway.take('fields');
    assert.deepEqual([answer.url, answer.title], [`${pages.origin}/form.html`, 'Plain form']);
    assert.deepEqual(answer.fields.map((f) => f.label), ['Email', 'City', 'Notes', 'Country', 'Guarded', 'Single',
      'First twin', 'Second twin', 'Editor', 'Inner code', 'Code', 'Framed']);
    assert.equal(answer.fields.at(-1).frameOrigin, pages.origin);
    assert.deepEqual(await fill(answer.fields.at(-1), 'from scan'), OK);
    assert.equal(await page.frameLocator('#child').locator('#framed').inputValue(), 'from scan');
  });
});

describe('which tab and frame', () => {
  test('a field in a cross-origin frame; once the frame shows another origin it gets nothing', async () => {
    const child = page.frameLocator('#child');
    await page.locator('#child').evaluate((f, src) => { f.src = src; }, `${other.origin}/frame.html`);
    const framed = await gateway.pick(page, child.locator('#framed'));
    assert.deepEqual([framed.frameOrigin, framed.origin], [other.origin, pages.origin]);
    assert.deepEqual(await fill(framed, 'F-1'), OK);
    assert.equal(await child.locator('#framed').inputValue(), 'F-1');
    await page.locator('#child').evaluate((f, src) => { f.src = src; }, `${pages.origin}/frame.html`);
    await waitUntil(() => page.frames().some((f) => f.url() === `${pages.origin}/frame.html`), { what: 'the frame' });
    assert.deepEqual(await fill(framed, 'F-2'), [false, `frame of the field is not open (${other.origin})`]);
    assert.deepEqual(await seen(page.frames().find((f) => f.url() === `${pages.origin}/frame.html`), 'input'), []);
  });

  test('the picked page closed, a look-alike of another origin in front: nothing is filled, pressed or clicked', async () => {
    const go = await gateway.pick(page, page.locator('#go'), 'button');
    await page.close();
    const alike = await browser.context.newPage();
    await alike.goto(`${other.origin}/form.html`);
    await alike.bringToFront();
    gateway.drop('buttonClicked');
    const gone = `page of the field is not open (${pages.origin}/form.html)`;
    assert.deepEqual(await fill(email, 'x', { pressEnter: true, button: go, clickButton: true }), [false, gone]);
    assert.deepEqual(outcome(await gateway.take('buttonClicked')), [false, 'button not clicked: the fill failed']);
    for (const kind of ['input', 'keydown', 'submit', 'click']) assert.deepEqual(await seen(alike, kind), [], kind);

    // Opened again in a new tab, with another query string, behind the look-alike.
    const again = await browser.context.newPage();
    await again.goto(`${pages.origin}/form.html?again=1#top`);
    await alike.bringToFront();
    assert.deepEqual(await fill(email, 'back@example.org'), OK);
    assert.equal(await again.locator('#email').inputValue(), 'back@example.org');
    assert.equal(await alike.locator('#email').inputValue(), '');
  });
});
