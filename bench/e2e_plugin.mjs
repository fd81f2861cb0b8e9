// Benchmark of the way from a TCP frame to the page's field: the real gateway,
// the extension in Chromium and a test page. Prints the latency from a frame
// sent to the field changed over 500 lines (median, 99th percentile), and the
// highest rate of lines per second at which every fill is ok and none is lost.
//
//   node bench/e2e_plugin.mjs              the real gateway (build it first)
//   node bench/e2e_plugin.mjs --stand-in   the extension alone, fill requests
//                                          sent straight over the WebSocket
// Needs the npm packages of tests/plugin (npm ci there) and /usr/bin/chromium.
import { connect } from 'node:net';
import { join } from 'node:path';
import {
  GatewayStandIn, hoverToPick, launchBrowser, scratchDir, sleep, startPageServer,
} from '../tests/plugin/lib/harness.mjs';
import { Gateway } from '../tests/plugin/lib/gateway.mjs';

// The gateway inherits this: its log file goes to a scratch folder, not the user's.
process.env.XDG_DATA_HOME = join(scratchDir('bench-data'), 'data');

const LATENCY_LINES = 500;
const RATE_LINES = 1000;
const RATES = [500, 1000, 2000, 3000, 4000, 6000, 8000];
const standIn = process.argv.includes('--stand-in');
const now = () => performance.timeOrigin + performance.now();

function frame(line) {
  const payload = Buffer.from(line, 'utf8');
  let sum = 0;
  for (const b of payload) sum += b;
  let hex = sum.toString(16).toUpperCase();
  hex = hex.length < 4 ? hex.padStart(4, '0') : hex.slice(0, 4);
  return Buffer.concat([payload, Buffer.from(hex, 'latin1'), Buffer.from('{PAQ_Marrowlinker}', 'ascii')]);
}

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)];
}

const pages = await startPageServer();
let gateway;
let stand;
let tcp;
if (standIn) {
  stand = await new GatewayStandIn().start();
} else {
  gateway = await new Gateway({ simulateEnter: 'false', clickButton: 'false' }).start();
}
const browser = await launchBrowser();
const page = await browser.context.newPage();
await page.goto(`${pages.origin}/form.html`);

const arrivals = new Map();
let arrivalWaiter = null;
await page.exposeFunction('benchSeen', (value, at) => {
  arrivals.set(value, at);
  if (arrivalWaiter) arrivalWaiter();
});
await page.evaluate(() => {
  document.getElementById('email').addEventListener('input', (e) => {
    window.benchSeen(e.target.value, performance.timeOrigin + performance.now());
  });
});

// Choose the field by a real click, as a user would after pressing the pick button.
let target;
if (standIn) {
  await stand.take('hello', { timeout: 15000 });
  stand.send({ type: 'pickMode', enabled: true, kind: 'field' });
} else {
  await gateway.waitLogged('Plugin connected', { timeout: 15000 });
  await browser.worker.evaluate(() =>
    globalThis.fieldpost.handleGatewayMessage({ type: 'pickMode', enabled: true, kind: 'field' }));
}
const at = await hoverToPick(page, page.locator('#email'));
await page.mouse.click(at.x, at.y);
if (standIn) {
  target = (await stand.take('picked')).field;
} else {
  await gateway.waitLogged(/^Field selected: /);
  tcp = connect({ host: '127.0.0.1', port: gateway.tcpPort });
  tcp.setNoDelay(true);
  await new Promise((r, j) => { tcp.once('connect', r); tcp.once('error', j); });
}

let sentTotal = 0;
function send(line) {
  sentTotal++;
  if (standIn) {
    stand.send({ type: 'fill', target, value: line, pressEnter: false, button: {}, clickButton: false, clickDelayMs: 300 });
  } else {
    tcp.write(frame(line));
  }
}

async function arrived(line, timeout) {
  const end = Date.now() + timeout;
  while (!arrivals.has(line)) {
    if (Date.now() > end) return false;
    await new Promise((r) => { arrivalWaiter = r; setTimeout(r, 50); });
  }
  return true;
}

function okCount() {
  return standIn ? stand.received.filter((r) => r.message.type === 'fillResult' && r.message.ok === true).length
    : gateway.logged('Fill OK.').length;
}

function failedCount() {
  return standIn ? stand.received.filter((r) => r.message.type === 'fillResult' && r.message.ok !== true).length
    : gateway.logged(/^Fill FAILED/).length;
}

// The answer to a fill comes after the field changed: wait for every answer
// before counting the next phase's, or a late one is counted twice.
async function settled(timeout = 5000) {
  const end = Date.now() + timeout;
  while (okCount() + failedCount() < sentTotal && Date.now() < end) await sleep(20);
}

// Warm-up, then one line at a time.
for (let i = 0; i < 20; i++) {
  send(`warm${i}`);
  await arrived(`warm${i}`, 5000);
}
const latencies = [];
for (let i = 0; i < LATENCY_LINES; i++) {
  const line = `lat${i}`;
  const sent = now();
  send(line);
  if (!(await arrived(line, 5000))) throw new Error(`line ${line} never reached the field`);
  latencies.push(arrivals.get(line) - sent);
}
latencies.sort((a, b) => a - b);

// Rates: lines paced evenly over time; a rate passes when every line reached the
// field in order and every fill was reported ok.
let best = 0;
const rateReport = [];
for (const rate of RATES) {
  await settled();
  const okBefore = okCount();
  const failedBefore = failedCount();
  const lines = Array.from({ length: RATE_LINES }, (_, i) => `r${rate}n${i}`);
  const start = now();
  let sent = 0;
  while (sent < lines.length) {
    const due = Math.min(lines.length, Math.floor(((now() - start) / 1000) * rate) + 1);
    while (sent < due) send(lines[sent++]);
    await sleep(1);
  }
  const allArrived = await arrived(lines.at(-1), 10000);
  await sleep(500);
  const missing = lines.filter((l) => !arrivals.has(l)).length;
  const order = lines.every((l, i) => i === 0 || !arrivals.has(l) || arrivals.get(l) >= arrivals.get(lines[i - 1]));
  const oks = okCount() - okBefore;
  const failed = failedCount() - failedBefore;
  const pass = allArrived && missing === 0 && order && oks === lines.length && failed === 0;
  rateReport.push(`  ${rate} lines/s: ${pass ? 'ok' : 'FAILED'} (missing ${missing}, fills ok ${oks}/${lines.length}, failed ${failed}${order ? '' : ', out of order'})`);
  if (!pass) break;
  best = rate;
}

console.log(`Path: ${standIn ? 'WebSocket fill request → extension → field (stand-in gateway)' : 'TCP frame → gateway → extension → field'}`);
console.log(`Latency over ${LATENCY_LINES} lines: median ${percentile(latencies, 50).toFixed(2)} ms ` +
  `(target ≤ 3 ms), 99th percentile ${percentile(latencies, 99).toFixed(2)} ms (target ≤ 15 ms), ` +
  `max ${latencies.at(-1).toFixed(2)} ms`);
console.log(rateReport.join('\n'));
console.log(`Highest rate with every fill ok and none lost: ${best} lines/s (target ≥ 2000; tried up to ${RATES.at(-1)})`);

tcp?.destroy();
await browser.close();
await pages.close();
await gateway?.stop();
await stand?.stop();
