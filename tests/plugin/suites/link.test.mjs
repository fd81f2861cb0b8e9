// How the extension finds and trusts its gateway: it asks the native host, which reads the pairing record, and
// until the gateway has proven it holds the record's key the extension sends nothing but its hello and obeys
// nothing. Stand-ins that withhold the proof, forge it, or squat a port the record still names.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { renameSync } from 'node:fs';
import {
  GATEWAY_PORT, GatewayStandIn, clickToPick, launchBrowser, newKey, sleep, startPageServer, until, writePairingRecord,
} from '../lib/harness.mjs';

let pages, browser, page, email;
const standIns = [];
const types = (messages) => messages.map((m) => m.type);

async function standIn(options, start) {
  const s = await new GatewayStandIn(browser.dataHome, options).start(start);
  standIns.push(s);
  return s;
}

// The first link the extension opened to s, once it has closed it.
const closedLink = (s) => until(() => s.links.find((l) => l.closed), 'the extension to close the link', 12000);

before(async () => {
  pages = await startPageServer();
  browser = await launchBrowser();
  page = await browser.context.newPage();
  await page.goto(`${pages.origin}/form.html`);
});

after(async () => {
  for (const s of standIns) await s.stop();
  await browser?.close();
  await pages?.close();
});

test('with no host registered, then no record, the extension keeps asking; it links once both are there and fills', async () => {
  const registered = browser.hostManifest;
  renameSync(registered, `${registered}.away`);
  await sleep(500); // for a host started before to have answered
  const gateway = await standIn();
  await sleep(1000);
  assert.equal(gateway.links.length, 0, 'linked without the host');
  renameSync(`${registered}.away`, registered);
  await gateway.nextLink(8000);
  email = await gateway.pick(page, page.locator('#email'));
  assert.deepEqual([(await gateway.fill(email, 'proven@example.org')).ok, await page.locator('#email').inputValue()],
    [true, 'proven@example.org']);
  await gateway.stop();
});

test('before the proof nothing leaves and nothing is obeyed; without one the link closes after 5 s and the host is asked again', async () => {
  const fill = { type: 'fill', id: 1, target: email, value: 'obeyed', pressEnter: false, button: {}, clickButton: false, clickDelayMs: 0 };
  const withholding = await standIn({ withhold: true, greet: [{ type: 'pickMode', enabled: true, kind: 'field' }, { type: 'scan' }, fill] });
  const link = await until(() => withholding.links.find((l) => l.before.length), 'the hello');
  await page.locator('#email').click();
  assert.equal(await browser.context.serviceWorkers()[0].evaluate(() => chrome.action.getTitle({})), 'Fieldpost: gateway not connected');
  const { closed, opened } = await closedLink(withholding);
  assert.ok(closed - opened > 4500 && closed - opened < 6500, `closed after ${closed - opened} ms`);
  assert.deepEqual([types(link.before), link.after], [['hello'], []]);
  assert.deepEqual([await page.locator('#email').inputValue(), await browser.picking()], ['proven@example.org', false]);
  await until(() => withholding.links.length > 1, 'the next attempt');
  await withholding.stop();
});

test('a proof made with another key, for another port, or in the extension\'s own role is refused at once', async () => {
  for (const forge of [{ key: newKey() }, { port: GATEWAY_PORT }, { role: 'plugin' }]) {
    const forger = await standIn({ forge });
    const link = await closedLink(forger);
    assert.ok(link.closed - link.opened < 2000, `${JSON.stringify(forge)}: closed after ${link.closed - link.opened} ms`);
    assert.deepEqual([types(link.before), link.after], [['hello'], []], JSON.stringify(forge));
    await forger.stop();
  }
});

test('a program on the port a stale record names gets only the hello; the gateway that writes its record is linked', async () => {
  const squatter = await standIn({ withhold: true, greet: [{ type: 'pickMode', enabled: true, kind: 'field' }, { type: 'scan' }] },
    { record: false });
  // The gone gateway's key; its pid taken over by a live process.
  writePairingRecord(browser.dataHome, { key: newKey(), port: squatter.port, intakePort: 0, pid: process.pid });
  await closedLink(squatter);
  const gateway = await standIn();
  await gateway.nextLink(8000);
  assert.equal((await gateway.fill(email, 'moved@example.org')).ok, true);
  assert.deepEqual(squatter.links.map((l) => [types(l.before), l.after]), squatter.links.map(() => [['hello'], []]));
});
