// Filling, against a stand-in for the gateway: what each field takes, Enter and
// the button, the order of lines, and which tab and frame get them.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { GatewayStandIn, launchBrowser, seen, startPageServer, until } from '../lib/harness.mjs';

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
  await gateway.take('hello', 15000);
  email = await gateway.pick(page, page.locator('#email'));
});

after(async () => {
  await browser?.close();
  await Promise.all([pages?.close(), other?.close()]);
  await gateway?.stop();
});

test('each kind of field takes the value as typing would, or says why not', async () => {
  const select = on({ tag: 'select', type: 'select-one', id: 'country' });
  const text = (id, name) => on({ tag: 'input', type: 'text', id, name });
  for (const [target, value, expected, where, shows = value] of [
    [email, 'ann@example.org', OK, '#email'],
    [on({ tag: 'textarea', type: 'textarea', id: 'notes' }), 'first note', OK, '#notes'],
    [on({ tag: 'div', type: '', id: 'editor' }), 'ed-1', OK, '#editor'],
    [select, 'de', OK, '#country'],
    [select, 'France', OK, '#country', 'fr'],
    [select, 'Spain', [false, 'value not accepted (no such option)'], '#country', 'fr'],
    [text('gone', 'city'), 'Lyon', OK, 'input[name=city]'],
    [on({ css: email.css }), 'path@example.org', OK, '#email'],
    [text('ro'), 'x', [false, 'field is read-only or disabled'], '#ro', 'fixed'],
    [text('off'), 'x', [false, 'field is read-only or disabled'], '#off', ''],
    [on({ tag: 'button', type: 'button', id: 'go' }), 'x', [false, 'field cannot be filled (a button element)']],
    [{ ...email, type: 'text' }, 'x', [false, 'field not found'], '#email', 'path@example.org'],
    [text('nothere'), 'x', [false, 'field not found']],
  ]) {
    assert.deepEqual(await fill(target, value), expected, `${value} into ${JSON.stringify(target)}`);
    if (where) assert.equal(await page.locator(where).evaluate((el) => el.value ?? el.textContent), shows);
  }
  const events = await seen(page, ['input', 'change'], 'email');
  assert.deepEqual(events.slice(-2).map((e) => [e.kind, e.value]), [['input', 'path@example.org'], ['change', 'path@example.org']]);
  // An editor is offered beforeinput while it still holds the old text.
  assert.deepEqual((await seen(page, ['beforeinput', 'input'], 'editor')).map((e) => [e.kind, e.value]),
    [['beforeinput', ''], ['input', 'ed-1']]);
  assert.equal((await seen(page, 'submit')).length, 0, 'no Enter was asked for');
});

test('Enter comes after the value and submits through the default button, unless the page cancels it', async () => {
  const text = (id) => on({ tag: 'input', type: 'text', id });
  for (const [target, value, form, submits] of [
    [email, 'enter@example.org', 'order', ['send']], [text('guard'), 'kept', 'guarded', []], [text('single'), 'solo', 'lonely', ['']],
  ]) {
    assert.deepEqual(await fill(target, value, { pressEnter: true }), OK);
    assert.deepEqual((await seen(page, 'keydown', target.id)).map((k) => [k.key, k.keyCode, k.value]), [['Enter', 13, value]]);
    assert.deepEqual((await seen(page, 'submit', form)).map((s) => s.submitter), submits);
  }
});

test('the button is clicked after the delay; a failed click or fill is reported', async () => {
  const go = await gateway.pick(page, page.locator('#go'), 'button');
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
    gateway.sendFill(target, 'b', { button, clickButton: true });
    assert.deepEqual(outcome(await gateway.take('buttonClicked')), expected);
  }
  assert.equal((await seen(page, 'click', 'go')).length, 1);
  gateway.received.length = 0;
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

test('a burst of plain fills lands complete and in order', async () => {
  const values = Array.from({ length: 200 }, (_, i) => `n${i}@x.org`);
  for (const value of values) gateway.sendFill(email, value);
  for (const value of values) assert.deepEqual(outcome(await gateway.take('fillResult')), OK, value);
  assert.deepEqual((await seen(page, 'input', 'email')).map((e) => e.value).filter((v) => /^n\d+@x\.org$/.test(v)), values);
});

test('a burst of lines with a click: each click submits its own line, after the page it opened has loaded', async () => {
  const tab = await browser.context.newPage();
  await tab.goto(`${pages.origin}/form.html?burst`);
  const code = await gateway.pick(tab, tab.locator('#code'));
  const save = await gateway.pick(tab, tab.locator('#save'), 'button');
  for (const value of ['L1', 'L2']) gateway.sendFill(code, value, { button: save, clickButton: true });
  for (const type of ['fillResult', 'buttonClicked', 'fillResult', 'buttonClicked']) assert.deepEqual(outcome(await gateway.take(type)), OK);
  await tab.waitForURL('**/form.html?code=L2');
  assert.deepEqual(pages.requests.filter((r) => r.startsWith('/form.html?code=')), ['/form.html?code=L1', '/form.html?code=L2']);
  await tab.close();
});

test('scan lists the fields of the active tab and its frames, each good for a fill', async () => {
  await page.bringToFront();
  gateway.send({ type: 'scan' });
  const answer = await gateway.take('fields');
  assert.deepEqual([answer.url, answer.title], [`${pages.origin}/form.html`, 'Plain form']);
  assert.deepEqual(answer.fields.map((f) => f.label), ['Email', 'City', 'Notes', 'Country', 'Guarded', 'Single',
    'First twin', 'Second twin', 'Editor', 'Inner code', 'Code', 'Framed']);
  assert.deepEqual(await fill(answer.fields.at(-1), 'from scan'), OK);
  assert.equal(await page.frameLocator('#child').locator('#framed').inputValue(), 'from scan');
});

test('a field in a cross-origin frame; once the frame shows another origin it gets nothing', async () => {
  const child = page.frameLocator('#child');
  const show = (origin) => page.locator('#child').evaluate((f, src) => { f.src = src; }, `${origin}/frame.html`);
  await show(other.origin);
  const framed = await gateway.pick(page, child.locator('#framed'));
  assert.deepEqual([framed.frameOrigin, framed.origin], [other.origin, pages.origin]);
  assert.deepEqual(await fill(framed, 'F-1'), OK);
  assert.equal(await child.locator('#framed').inputValue(), 'F-1');
  await show(pages.origin);
  const frame = await until(() => page.frames().find((f) => f.url() === `${pages.origin}/frame.html`), 'the frame');
  assert.deepEqual(await fill(framed, 'F-2'), [false, `frame of the field is not open (${other.origin})`]);
  assert.deepEqual(await seen(frame, 'input'), []);
});

test('the picked page closed, a look-alike of another origin in front: nothing is filled, pressed or clicked', async () => {
  const go = await gateway.pick(page, page.locator('#go'), 'button');
  await page.close();
  const alike = await browser.context.newPage();
  await alike.goto(`${other.origin}/form.html`);
  await alike.bringToFront();
  const gone = `page of the field is not open (${pages.origin}/form.html)`;
  assert.deepEqual(await fill(email, 'x', { pressEnter: true, button: go, clickButton: true }), [false, gone]);
  assert.deepEqual(outcome(await gateway.take('buttonClicked')), [false, 'button not clicked: the fill failed']);
  assert.deepEqual(await seen(alike, ['input', 'keydown', 'submit', 'click']), []);

  // Opened again in a new tab, with another query string, behind the look-alike.
  const again = await browser.context.newPage();
  await again.goto(`${pages.origin}/form.html?again=1#top`);
  await alike.bringToFront();
  assert.deepEqual(await fill(email, 'back@example.org'), OK);
  assert.equal(await again.locator('#email').inputValue(), 'back@example.org');
  assert.equal(await alike.locator('#email').inputValue(), '');
});
