// Destinations of several fields against the stand-in gateway: picking one more field (from the gateway and
// from the popup), a fill of several fields across frames that types nothing unless every field can take its
// value, the destination the gateway shows in the popup, and the page in front as the extension tells it.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { GatewayStandIn, clickToPick, launchBrowser, seen, sleep, startPageServer, until } from '../lib/harness.mjs';

let gateway, pages, browser, page, popup, frame, parcel, batch, expiry, book;

const values = () => Promise.all([page.locator('#parcel').inputValue(), frame.locator('#framed').inputValue(),
  page.locator('#expiry').inputValue()]);
const typedSince = async (count) => (await seen(page, 'input')).length + (await seen(frame, 'input')).length - count;
const typedSoFar = () => typedSince(0);
const pageSeen = (url, title) => until(() => gateway.pages.at(-1)?.url === url && gateway.pages.at(-1).title === title,
  `the page in front: ${title}`);

before(async () => {
  pages = await startPageServer();
  browser = await launchBrowser();
  popup = await browser.context.newPage();
  await popup.goto(new URL('popup.html', browser.worker.url()).href);
  page = await browser.context.newPage();
  await page.goto(`${pages.origin}/several.html`);
  frame = await until(() => page.frames().find((f) => f.url().endsWith('/frame.html')), 'the frame');
  gateway = await new GatewayStandIn(browser.dataHome).start();
  await gateway.nextLink(8000);
});

after(async () => {
  await gateway?.stop();
  await browser?.close();
  await pages?.close();
});

test('the page in front is told once linked and at every switch, never twice in a row, never the popup', async () => {
  const severalUrl = `${pages.origin}/several.html`;
  await pageSeen(severalUrl, 'Several fields');
  const other = await browser.context.newPage();
  await other.goto(`${pages.origin}/form.html`);
  await pageSeen(`${pages.origin}/form.html`, 'Plain form');
  await page.bringToFront();
  await pageSeen(severalUrl, 'Several fields');
  await popup.bringToFront();
  await other.close();
  await page.bringToFront();
  await sleep(300);
  assert.ok(gateway.pages.every((p) => !p.url.startsWith('chrome-extension:')), 'the extension\'s own page');
  assert.ok(gateway.pages.every((p, i) => i === 0 || p.url !== gateway.pages[i - 1].url || p.title !== gateway.pages[i - 1].title),
    JSON.stringify(gateway.pages));
});

test('one more field: from the gateway and from the popup\'s Add field, the pick says add', async () => {
  gateway.pickMode();
  await clickToPick(page, page.locator('#parcel'));
  const first = await gateway.take('picked');
  parcel = first.field;
  gateway.send({ type: 'pickMode', enabled: true, kind: 'field', add: true });
  await until(async () => /^Click the field to add/.test(await page.evaluate(() =>
    document.querySelector('fieldpost-pick-overlay')?.shadowRoot.querySelector('.bar').textContent)), 'the bar of add');
  await clickToPick(page, page.frameLocator('#child').locator('#framed'));
  const added = await gateway.take('picked');
  batch = added.field;
  await popup.click('#addField');
  await clickToPick(page, page.locator('#expiry'));
  const [started, fromPopup] = [await gateway.take('pickMode'), await gateway.take('picked')];
  expiry = fromPopup.field;
  assert.deepEqual([first.add, added.add, started.enabled, started.add, fromPopup.add, expiry.type],
    [false, true, true, true, true, 'date']);
  book = await gateway.pick(page, page.locator('#book'), 'button');
});

test('three fields across frames, a date among them: typed in order, Enter in the last only, then the click', async () => {
  const id = gateway.sendFill(undefined, undefined, { targets: [parcel, batch, expiry], values: ['P-77', 'B-12', '2026-12-31'],
    pressEnter: true, button: book, clickButton: true, flash: true });
  const [filled, clicked] = [await gateway.take('fillResult'), await gateway.take('buttonClicked')];
  assert.deepEqual([filled, clicked].map((m) => [m.id, m.ok, m.error, m.failedField]), [[id, true, '', undefined], [id, true, '', undefined]]);
  assert.deepEqual(await values(), ['P-77', 'B-12', '2026-12-31']);
  const inputs = [...await seen(page, 'input'), ...await seen(frame, 'input')].sort((a, b) => a.at - b.at);
  assert.deepEqual(inputs.map((e) => e.id), ['parcel', 'framed', 'expiry']);
  assert.deepEqual([...await seen(page, 'keydown'), ...await seen(frame, 'keydown')].map((k) => [k.id, k.key]), [['expiry', 'Enter']]);
  const [submit] = await seen(page, 'submit', 'booking');
  const [click] = await seen(page, 'click', 'book');
  assert.ok(submit && click && inputs[2].at <= submit.at && submit.at <= click.at, 'Enter after the last value, the click after it');
});

test('a field that cannot take its value: nothing is typed in any, and failedField names it', async () => {
  const set = (selector, change) => page.locator(selector).evaluate((el, c) => { el[c[0]] = c[1]; }, change);
  // after: the fields' values once answered, null for none typed at all.
  for (const [what, targets, vals, answer, after, prepare] of [
    ['a read-only last field', [parcel, batch, expiry], ['a', 'b', '2027-01-01'], ['field is read-only or disabled', 2], null,
      () => set('#expiry', ['readOnly', true])],
    ['a value the page does not keep, after two it kept', [parcel, batch, expiry], ['c', 'd', '31.12.2027'],
      ['value not accepted', 2], ['c', 'd', ''], () => set('#expiry', ['readOnly', false])],
    ['lengths that differ', [parcel, batch], ['e'], ['fill has no valid targets', undefined], null],
    ['seventeen fields', Array(17).fill(parcel), Array(17).fill('f'), ['fill has no valid targets', undefined], null],
    ['a field removed from the page', [parcel, expiry], ['g', '2027-02-02'], ['field not found', 1], null,
      () => page.locator('#expiry').evaluate((el) => el.remove())],
  ]) {
    await prepare?.();
    const [typed, had] = [await typedSoFar(), what.endsWith('page') ? null : await values()];
    const id = gateway.sendFill(undefined, undefined, { targets, values: vals });
    const m = await gateway.take('fillResult');
    assert.deepEqual([m.id, m.ok, m.error, m.failedField], [id, false, ...answer], what);
    if (after) assert.deepEqual(await values(), after, what);
    else assert.equal(await typedSince(typed), 0, `${what}: typed`);
    if (!after && had) assert.deepEqual(await values(), had, what);
  }
  assert.equal(await page.locator('#parcel').inputValue(), 'c');
});

test('the gateway\'s destination in the popup: its fields in order, the next one, and Reset', async () => {
  const shown = () => popup.evaluate(() => ({
    fields: [...document.querySelectorAll('#fields li')].map((li) => li.textContent),
    next: document.getElementById('next').textContent, reset: !!document.getElementById('resetSequence').offsetParent,
  }));
  const shows = (expected) => until(async () => JSON.stringify(await shown()) === JSON.stringify(expected), JSON.stringify(expected));
  const fields = ['Parcel code', 'Batch', 'Expiry'];
  gateway.send({ type: 'destination', fields, next: 'Next: field 2 of 3 (Batch)' });
  await shows({ fields, next: 'Next: field 2 of 3 (Batch)', reset: true });
  await popup.click('#resetSequence');
  assert.deepEqual(Object.keys(await gateway.take('sequenceReset')).sort(), ['at', 'type']);
  gateway.send({ type: 'destination', fields, next: '' });
  await shows({ fields, next: '', reset: false });
});
