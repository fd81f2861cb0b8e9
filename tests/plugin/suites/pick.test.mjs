// Picking, against a stand-in for the gateway: only the user's own click picks,
// only the right kind of element, and the picked element is the one filled.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { GatewayStandIn, clickToPick, launchBrowser, seen, startPageServer, until } from '../lib/harness.mjs';

let gateway;
let pages;
let browser;
let page;

const overlay = () => page.evaluate(() => {
  const host = document.querySelector('fieldpost-pick-overlay');
  return host && { open: host.matches(':popover-open'), outlined: host.dataset.outlined,
    bar: host.shadowRoot.querySelector('.bar').textContent };
});

async function startPick(kind) {
  gateway.send({ type: 'pickMode', enabled: true, kind });
  return until(overlay, 'pick mode in the page');
}

before(async () => {
  gateway = await new GatewayStandIn().start();
  pages = await startPageServer();
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(`${pages.origin}/form.html`);
  await gateway.take('hello', 15000);
});

after(async () => {
  await browser?.close();
  await pages?.close();
  await gateway?.stop();
});

test('only a real click picks; what the page dispatches passes to the page untouched', async () => {
  assert.deepEqual(await startPick('field'),
    { open: true, outlined: undefined, bar: `Click the field to fill · Esc cancels · ${pages.origin}` });
  await page.evaluate(() => {
    const city = document.querySelector('[name=city]');
    for (const type of ['pointerdown', 'mousedown', 'pointerup', 'mouseup', 'click']) {
      city.dispatchEvent(new MouseEvent(type, { bubbles: true, cancelable: true }));
    }
    city.click();
  });
  assert.deepEqual((await seen(page, ['mousedown', 'click'])).map((e) => e.trusted), [false, false, false]);
  assert.deepEqual(await gateway.after(300), []);

  const at = await clickToPick(page, page.locator('#email'));
  const picked = await gateway.take('picked');
  assert.deepEqual([picked.kind, picked.url], ['field', `${pages.origin}/form.html`]);
  const { instance, tabId, ...field } = picked.field;
  assert.deepEqual(field, { label: 'Email', tag: 'input', type: 'email', id: 'email', name: 'email', css: '#email',
    shadowHosts: [], origin: pages.origin, path: '/form.html' });
  assert.equal((await seen(page, 'click')).length, 2, 'the picking click reached the page');
  // Pick mode is over: the next click is the page's.
  await page.mouse.click(at.x, at.y);
  await until(async () => (await seen(page, 'click', 'email')).length === 1, 'the page click');
  assert.equal(await overlay(), null);
});

test('field mode outlines only what takes text, button mode only what can be clicked', async () => {
  for (const [kind, wrong, right, expected] of [
    ['field', '#go', 'input[name=city]', ['City', 'input', 'text']],
    ['field', '#send', '#notes', ['Notes', 'textarea', 'textarea']],
    ['field', '#go', '#editor', ['Editor', 'div', '']],
    ['button', '#email', '#go', ['Go on', 'button', 'button']],
  ]) {
    const { bar } = await startPick(kind);
    assert.match(bar, kind === 'field' ? /^Click the field to fill/ : /^Click the button to press/);
    const box = await page.locator(wrong).boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    assert.equal((await overlay()).outlined, undefined, `${wrong} outlined in ${kind} mode`);
    await clickToPick(page, page.locator(right));
    const { field } = await gateway.take('picked');
    assert.deepEqual([field.label, field.tag, field.type], expected);
  }
});

test('Escape cancels pick mode without a pick, and the page never sees that Escape', async () => {
  await startPick('field');
  await page.keyboard.press('Escape');
  await until(async () => !(await overlay()), 'pick mode to end');
  assert.deepEqual(await seen(page, 'keydown'), []);
  assert.deepEqual(await gateway.after(300), []);
});

test('duplicate ids and a closed shadow root: the element picked is the one filled', async () => {
  const second = await gateway.pick(page, page.locator('[id=twin]').nth(1));
  assert.deepEqual([second.label, second.id], ['Second twin', 'twin']);
  assert.deepEqual(await gateway.fill(second, 'two').then((r) => [r.ok, r.error]), [true, '']);
  assert.deepEqual(await page.locator('[id=twin]').evaluateAll((els) => els.map((e) => e.value)), ['', 'two']);
  const equal = await gateway.fill({ ...second, css: '' }, 'x');
  assert.deepEqual([equal.ok, equal.error], [false, 'field is ambiguous']);

  const inner = await gateway.pick(page, (await page.evaluateHandle(() => window.cardRoot.querySelector('#inner'))).asElement());
  assert.deepEqual([inner.label, inner.css, inner.shadowHosts], ['Inner code', '#inner', ['#card']]);
  assert.deepEqual(await gateway.fill(inner, 'S-1').then((r) => [r.ok, r.error]), [true, '']);
  assert.equal(await page.evaluate(() => window.cardRoot.querySelector('#inner').value), 'S-1');
});
