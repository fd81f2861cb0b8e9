// The link to the gateway: first contact when the gateway comes late, and
// reconnection after the gateway restarts.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { GatewayStandIn, MANIFEST, launchBrowser, sleep, waitUntil } from '../lib/harness.mjs';

let browser;
let gateway;

async function title() {
  return browser.worker.evaluate(() => chrome.action.getTitle({}));
}

before(async () => {
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await gateway?.stop();
});

test('with no gateway the icon says disconnected; a gateway started later gets the hello', async () => {
  await sleep(1000);
  assert.equal(await title(), 'Fieldpost: gateway not connected');
  gateway = await new GatewayStandIn().start();
  const hello = await gateway.take('hello', { timeout: 8000 });
  assert.equal(hello.version, MANIFEST.version);
  await waitUntil(async () => (await title()) === 'Fieldpost: connected to the gateway', { what: 'the icon' });
});

test('after the gateway restarts the extension connects again and answers on the new link', async () => {
  const first = gateway.connections.length;
  await gateway.stop();
  await waitUntil(async () => (await title()) === 'Fieldpost: gateway not connected', { what: 'the icon' });
  // Stay away long enough for the retry delay to have grown, then come back.
  await sleep(2000);
  gateway = await new GatewayStandIn().start();
  const hello = await gateway.take('hello', { timeout: 8000 });
  assert.equal(hello.version, MANIFEST.version);
  assert.equal(gateway.connections.length, 1, 'one link per extension');
  assert.ok(first >= 1);
  await waitUntil(async () => (await title()) === 'Fieldpost: connected to the gateway', { what: 'the icon' });
  gateway.send({ type: 'scan' });
  const fields = await gateway.take('fields');
  assert.ok(Array.isArray(fields.fields));
});

test('unknown, malformed and non-object messages are ignored and the link stays up', async () => {
  const conn = gateway.open[0];
  for (const text of ['not json', '[1,2]', '"text"', '{"type":"Fill"}', '{"type":"fill"}', '{}']) conn.ws.send(text);
  conn.ws.send(Buffer.from([1, 2, 3]), { binary: true });
  // A fill without target still gets its answer, in plain words.
  const result = await gateway.take('fillResult');
  assert.equal(result.ok, false);
  assert.match(result.error, /^field not found/);
  gateway.send({ type: 'scan' });
  await gateway.take('fields');
  assert.equal(conn.closed, false);
});
