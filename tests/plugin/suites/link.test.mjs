// The link to the gateway and what the toolbar shows of it: first contact when
// the gateway comes late, the popup, a lost link, a stopped worker.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { GatewayStandIn, MANIFEST, launchBrowser, seen, sleep, startPageServer, until } from '../lib/harness.mjs';

let browser;
let gateway;
let pages;
let page;
let popup;
let email;

const title = () => browser.context.serviceWorkers()[0].evaluate(() => chrome.action.getTitle({}));
const shown = () => popup.evaluate(() => ({
  link: document.getElementById('link').textContent,
  destination: document.getElementById('destination').textContent,
  outcomes: [...document.querySelectorAll('#outcomes li')].map((li) => li.textContent.replace(/^\S+ /, '')),
  stop: !document.getElementById('stop').hidden,
}));
const popupShows = (part, value) => until(async () => (await shown())[part] === value, `the popup's ${part}`);

before(async () => {
  pages = await startPageServer();
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(`${pages.origin}/form.html`);
  popup = await browser.context.newPage();
  await popup.goto(browser.popupUrl);
});

after(async () => {
  await browser?.close();
  await pages?.close();
  await gateway?.stop();
});

test('with no gateway the icon and popup say so; a gateway started later gets the hello', async () => {
  await sleep(500);
  assert.equal(await title(), 'Fieldpost: gateway not connected');
  assert.deepEqual(await shown(), { link: 'Gateway not connected', destination: 'none picked in this browser', outcomes: [], stop: false });
  gateway = await new GatewayStandIn().start();
  assert.equal((await gateway.take('hello', 8000)).version, MANIFEST.version);
  await until(async () => (await title()) === 'Fieldpost: connected to the gateway', 'the icon');
  await popupShows('link', 'Connected to the gateway');
});

test('the popup shows the destination, the last five outcomes, and stops pick mode', async () => {
  email = await gateway.pick(page, page.locator('#email'));
  await popupShows('destination', `Email on ${pages.origin}/form.html`);
  for (let i = 1; i <= 5; i++) await gateway.fill(email, `v${i}`);
  await gateway.fill({ ...email, id: 'nothere', name: '', css: '' }, 'v6');
  await until(async () => (await shown()).outcomes[0] === 'Fill failed: field not found', 'the outcomes');
  assert.deepEqual((await shown()).outcomes, ['Fill failed: field not found', 'Filled "v5"', 'Filled "v4"', 'Filled "v3"', 'Filled "v2"']);
  gateway.send({ type: 'pickMode', enabled: true, kind: 'field' });
  await popupShows('stop', true);
  await popup.click('#stop');
  await until(async () => !(await browser.picking()), 'pick mode to end');
  await popupShows('stop', false);
});

test('a worker that Chromium stopped links again and still fills what it picked before', async () => {
  const cdp = await browser.context.newCDPSession(popup);
  await cdp.send('ServiceWorker.enable');
  await cdp.send('ServiceWorker.stopAllWorkers');
  await until(() => !gateway.open.length, 'the link to drop');
  await popup.reload(); // the popup's port wakes a new worker
  await gateway.take('hello');
  await popupShows('destination', `Email on ${pages.origin}/form.html`);
  assert.deepEqual(await gateway.fill(email, 'again').then((r) => [r.ok, r.error]), [true, '']);
  assert.equal(await page.locator('#email').inputValue(), 'again');
});

test('a lost link ends pick mode, and after it nothing comes back but the hello', async () => {
  gateway.send({ type: 'pickMode', enabled: true, kind: 'field' });
  await until(() => browser.picking(), 'pick mode');
  await gateway.stop();
  await popupShows('link', 'Gateway not connected');
  // The page has its clicks again, and one on a field picks nothing.
  const box = await page.locator('#notes').boundingBox();
  await page.mouse.click(box.x + 5, box.y + 5);
  await until(async () => (await seen(page, 'click', 'notes')).length === 1, 'the page click');
  assert.equal(await browser.picking(), false);
  gateway = await new GatewayStandIn().start();
  await gateway.take('hello', 8000);
  assert.deepEqual(await gateway.after(500), []);
  assert.equal(gateway.connections.length, 1, 'one link per extension');
});

test('unknown, malformed and non-object messages are ignored and the link stays up', async () => {
  const [ws] = gateway.open;
  for (const text of ['not json', '[1,2]', '"text"', '{"type":"Fill"}', '{"type":"fill"}', '{}']) ws.send(text);
  ws.send(Buffer.from([1, 2, 3]), { binary: true });
  gateway.send({ type: 'scan' });
  await gateway.take('fields');
  // A fill without a target names no page: no browser answers it.
  assert.deepEqual(gateway.received.map((m) => m.type), []);
  assert.equal(ws.readyState, 1);
});
