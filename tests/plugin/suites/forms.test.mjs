// Forms of several fields and a destination per page, end to end: a real gateway (as a service, in a settings
// home of its own) and Chromium with the real plugin; the fields are picked and added from the plugin's popup,
// the lines go in through fieldpost-send.
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { MANIFEST, clickToPick, launchBrowser, seen, startPageServer, until } from '../lib/harness.mjs';
import { Gateway } from '../../../bench/gateway-process.mjs';

const GS = '\x1d';
const LABEL = `]C10109501101530003${GS}10ABC123${GS}17261231`;
const running = [];
let pages;

after(async () => {
  await Promise.all(running.map((r) => r.close()));
  await pages?.close();
});

// A gateway with these settings, a browser linked to it, and a tab on each of `paths`.
async function setUp(settings, paths = ['/receiving.html']) {
  pages ??= await startPageServer();
  const gateway = await new Gateway({ simulateEnter: true, ...settings }).start();
  const browser = await launchBrowser(undefined, { dataHome: gateway.dataHome });
  running.push({ close: () => browser.close().then(() => gateway.stop()) });
  await gateway.waitLogged(`Plugin prêt (v${MANIFEST.version})`, { timeout: 15000 });
  const tabs = [];
  for (const path of paths) {
    const tab = await browser.context.newPage();
    await tab.goto(`${pages.origin}${path}`);
    tabs.push(tab);
  }
  const popupPick = async (button) => {
    const popup = await browser.context.newPage();
    await popup.goto(`chrome-extension://${new URL(browser.worker.url()).host}/popup.html`);
    await until(() => popup.evaluate((b) => !document.getElementById(b).disabled, button), `the popup's ${button}`);
    await popup.click(`#${button}`);
    await until(() => popup.evaluate(() => !document.getElementById('stop').hidden), 'pick mode in the popup');
    await popup.close();
  };
  // Picks the first id, adds the others, each with a real click after the popup's button.
  const pick = async (tab, ...ids) => {
    for (const [i, id] of ids.entries()) {
      await popupPick(i === 0 ? 'pickField' : 'addField');
      await tab.bringToFront();
      await clickToPick(tab, tab.locator(`#${id}`));
      await gateway.waitLogged(i === 0 ? /^Field selected: / : /^Field added: /, { count: i === 0 ? 1 : i });
    }
  };
  const values = (tab, ...ids) => tab.evaluate((list) => list.map((id) => document.getElementById(id).value), ids);
  return { gateway, browser, tabs, pick, values };
}

test('a GS1 label spread over GTIN, batch and a date input, with Enter after the last; a field gone types nothing', async () => {
  const { gateway, tabs: [tab], pick, values } = await setUp({ fieldsMode: 'gs1', fieldAIs: '01,10,17' });
  await pick(tab, 'gtin', 'batch', 'expiry');
  await gateway.sendLines([LABEL]);
  await gateway.waitLogged('Fill OK.');
  assert.deepEqual(await values(tab, 'gtin', 'batch', 'expiry'), ['09501101530003', 'ABC123', '2026-12-31']);
  assert.deepEqual((await seen(tab, 'keydown')).map((k) => [k.id, k.key]), [['expiry', 'Enter']]);
  assert.equal((await seen(tab, 'submit', 'receipt')).length, 1);

  await tab.evaluate(() => { document.getElementById('batch').remove(); window.seen = []; });
  await gateway.sendLines([LABEL.replace('ABC123', 'XYZ999')]);
  await gateway.waitLogged('Fill FAILED: field 2 of 3 (Batch) not found');
  assert.deepEqual(await seen(tab, ['input', 'keydown', 'submit']), [], 'nothing typed into any field');
  // A label without one of the fields' elements goes nowhere.
  await gateway.sendLines([`]C10109501101530003${GS}10ABC123`]);
  await gateway.waitLogged('\u2192 Rejected: GS1 element (17) not in the line');
});

test('a Tab-separated line into three fields, a line of two parts refused before sending', async () => {
  const { gateway, tabs: [tab], pick, values } = await setUp({ fieldsMode: 'split', simulateEnter: false });
  await pick(tab, 'gtin', 'batch', 'expiry');
  await gateway.sendLines(['4006381333931\tL-7\t2027-01-31', '4006381333931\tL-8']);
  await gateway.waitLogged('\u2192 Rejected: 2 parts for 3 fields');
  await gateway.waitLogged('Fill OK.');
  assert.deepEqual(await values(tab, 'gtin', 'batch', 'expiry'), ['4006381333931', 'L-7', '2027-01-31']);
  assert.equal(gateway.logged(/^Fill /).length, 1);
});

test('one line per field: Enter after the third, then back to the first', async () => {
  const { gateway, tabs: [tab], pick, values } = await setUp({ fieldsMode: 'perLine' });
  await pick(tab, 'gtin', 'batch', 'expiry');
  await gateway.sendLines(['111', 'B-1', '2026-05-01', '222']);
  await gateway.waitLogged('Fill OK.', { count: 4, timeout: 15000 });
  assert.deepEqual(await values(tab, 'gtin', 'batch', 'expiry'), ['222', 'B-1', '2026-05-01']);
  assert.deepEqual((await seen(tab, 'keydown')).map((k) => [k.id, k.key]), [['expiry', 'Enter']]);
  assert.equal((await seen(tab, 'submit', 'receipt')).length, 1);
});

test('two apps in two tabs: each line goes to the one in front', async () => {
  const { gateway, browser, tabs: [receiving, lab], pick, values } =
    await setUp({ destinationPerPage: true, simulateEnter: false }, ['/receiving.html', '/lab.html']);
  await pick(receiving, 'gtin');
  await pick(lab, 'sample');
  // The plugin tells the gateway which page is in front; a line sent before that has left would find the old one.
  await browser.context.serviceWorkers()[0].evaluate(() => {
    const send = WebSocket.prototype.send;
    globalThis.toldInFront = [];
    WebSocket.prototype.send = function (data) {
      if (String(data).includes('"type":"activePage"')) globalThis.toldInFront.push(JSON.parse(data).url);
      return send.call(this, data);
    };
  });
  const toFront = async (tab) => {
    await tab.bringToFront();
    await until(() => browser.context.serviceWorkers()[0].evaluate((url) => globalThis.toldInFront.at(-1) === url, tab.url()),
      `the plugin to tell ${tab.url()} is in front`);
  };
  await toFront(receiving);
  await gateway.sendLines(['to-receiving']);
  await gateway.waitLogged('\u2192 For Goods receiving');
  await toFront(lab);
  await gateway.sendLines(['to-lab']);
  await gateway.waitLogged('\u2192 For Lab samples');
  await gateway.waitLogged('Fill OK.', { count: 2 });
  assert.deepEqual(await values(receiving, 'gtin'), ['to-receiving']);
  assert.deepEqual(await values(lab, 'sample'), ['to-lab']);
});
