// Benchmark of a line's way through the real gateway, the extension in Chromium
// and a test page, in one run:
//   - latency from a frame written to the gateway's TCP port to the gateway's
//     "Fill OK." for it (the plugin's answer), one line at a time, beside two
//     baselines: a bare WebSocket client that answers at once, and the floor,
//     an extension in another Chromium that does nothing but pass the line to
//     the page and the answer back (bench/floor-extension), served by a
//     gateway of its own. Plugin and floor take turns, 50 lines each, so that
//     what the machine does meanwhile weighs on both alike;
//   - plain fills paced at fixed rates: a rate passes when every line reached
//     the field, in the order sent, and every fill was answered ok.
//
//   node bench/e2e_plugin.mjs      (build the gateway and fieldpost-send first)
// Needs the npm packages of tests/plugin (npm ci there) and /usr/bin/chromium.
import { connect } from 'node:net';
import { createHmac, randomBytes } from 'node:crypto';
import { createRequire } from 'node:module';
import { join } from 'node:path';
import {
  MANIFEST, clickToPick, launchBrowser, pickFromPopup, sleep, startPageServer,
} from '../tests/plugin/lib/harness.mjs';
import { Gateway, REPO_ROOT, waitUntil } from './gateway-process.mjs';

// bench/floor-extension's id, which the key in its manifest gives it.
const FLOOR_EXTENSION_ID = 'acofhmbnjcehehjecbjjchlahjfihbpo';

const { WebSocket } = createRequire(join(REPO_ROOT, 'tests', 'plugin', '/'))('ws');
const LATENCY_LINES = Number(process.env.BENCH_LINES) || 3000;
const WARM_UP_LINES = 20;
const BLOCK_LINES = 50;
const RATES = [2000, 4000, 8000];
const RATE_SECONDS = 2;
const TARGET = { median: 3, p99: 10, rate: 2000 };
const now = () => performance.timeOrigin + performance.now();

function frame(line) {
  const payload = Buffer.from(line, 'utf8');
  let sum = 0;
  for (const b of payload) sum += b;
  let hex = sum.toString(16).toUpperCase();
  hex = hex.length < 4 ? hex.padStart(4, '0') : hex.slice(0, 4);
  return Buffer.concat([payload, Buffer.from(hex, 'latin1'), Buffer.from('{PAQ_Marrowlinker}', 'ascii')]);
}

const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)];
const sorted = (list) => [...list].sort((a, b) => a - b);

// A gateway with a companion connected to it: where a measured line goes in, and its answers come out.
class Lane {
  constructor(gateway) {
    this.gateway = gateway;
    this.answers = [];
    this.scanned = 0;
  }

  async connect() {
    this.tcp = connect({ host: '127.0.0.1', port: this.gateway.tcpPort });
    this.tcp.setNoDelay(true);
    await new Promise((r, j) => { this.tcp.once('connect', r); this.tcp.once('error', j); });
    return this;
  }

  // The gateway's answers so far, read on from where the last look stopped: a
  // look over every line logged would grow with the run and slow the later measures.
  answered() {
    const { lines } = this.gateway;
    for (; this.scanned < lines.length; this.scanned++) {
      if (/^\[\d\d:\d\d:\d\d\] Fill (OK\.|FAILED)/.test(lines[this.scanned].text)) this.answers.push(lines[this.scanned]);
    }
    return this.answers;
  }

  // One line: [sent, answer logged].
  async line(text) {
    const before = this.answered().length;
    const sent = now();
    this.tcp.write(frame(text));
    const [answer] = await waitUntil(() => this.answered().length > before && this.answered().slice(before), { every: 1, timeout: 5000 })
      .catch((e) => { throw new Error(`${text} unanswered (${e.message}); last lines:\n${this.gateway.lines.slice(-12).map((l) => l.text).join('\n')}`); });
    if (answer.text.includes('FAILED')) throw new Error(`${text}: ${answer.text}`);
    return [sent, answer.at];
  }
}

// One line at a time, `count` for each run ([lane, line i's text]) after a warm-up, the runs taking turns
// a block of lines each (the order swapped every round): each run's [sent, answer logged] per line. Blocks,
// not single lines, so that each browser meets its lines warm as in a stream, while what the machine does
// meanwhile weighs on all alike.
async function alternate(runs, count) {
  const times = runs.map(() => []);
  for (const [lane, make] of runs) for (let i = -WARM_UP_LINES; i < 0; i++) await lane.line(make(i));
  for (let from = 0, round = 0; from < count; from += BLOCK_LINES, round++) {
    const order = round % 2 ? runs.map((_, k) => k).reverse() : runs.map((_, k) => k);
    for (const k of order) {
      const [lane, make] = runs[k];
      for (let i = from; i < Math.min(count, from + BLOCK_LINES); i++) times[k].push(await lane.line(make(i)));
    }
  }
  return times;
}
const latencyOf = (times) => sorted(times.map(([sent, logged]) => logged - sent));

// Where the median line's time goes: each worker marks a fill's arrival, its call into the page, the page's
// answer and the answer sent (plugin/trace.js, and the floor's own); the rest is the gateway's, and the sockets'.
const STEPS = ['gateway: intake → frame written', 'worker: message → frame call', 'page: call → answer',
  'worker: answer → frame written', 'gateway: answer → logged'];
function breakdown(ends, marks) {
  // One group of marks per fill, from its arrival on; the warm-up lines' groups come first.
  const groups = [];
  for (const [step, at] of marks) {
    if (step === 'in') groups.push({ in: at });
    else if (groups.length && !(step in groups.at(-1))) groups.at(-1)[step] = at;
  }
  const lines = groups.slice(groups.length - ends.length);
  if (lines.length !== ends.length || lines.some((g) => !g.call || !g.answer || !g.out)) return null;
  const byStep = STEPS.map(() => []);
  ends.forEach(([sent, logged], i) => {
    const g = lines[i];
    [g.in - sent, g.call - g.in, g.answer - g.call, g.out - g.answer, logged - g.out].forEach((v, s) => byStep[s].push(v));
  });
  return byStep.map((values) => percentile(sorted(values), 50));
}
const startTrace = (browser) => browser.worker.evaluate(() => { globalThis.fieldpostTrace = []; });
const takeTrace = (browser) => browser.worker.evaluate(() => { const t = globalThis.fieldpostTrace; globalThis.fieldpostTrace = null; return t; });

const settings = { simulateEnter: 'false', clickButton: 'false', ...(process.env.BENCH_NOFLASH ? { flashField: 'false' } : {}) };
const gateway = await new Gateway(settings).start();
// Only configured extensions may link: the floor gets in as the Chromium entry's extension.
const floorGateway = await new Gateway({ ...settings, 'Chromium/extensionId': FLOOR_EXTENSION_ID }).start();
const pages = await startPageServer();
const lane = await new Lane(gateway).connect();
const floorLane = await new Lane(floorGateway).connect();

// Baseline: a bare client on the plugin link, proven with the user's key, that answers every fill at once.
const bare = new WebSocket(`ws://127.0.0.1:${gateway.pluginPort}`);
const nc = randomBytes(16).toString('base64');
const mac = (role, ng) => createHmac('sha256', Buffer.from(gateway.key, 'base64'))
  .update(`${role}|${nc}|${ng}|${gateway.pluginPort}`).digest('base64');
await new Promise((r) => bare.once('open', r));
bare.on('message', (data) => {
  const message = JSON.parse(data.toString());
  if (message.type === 'proof') bare.send(JSON.stringify({ type: 'proof', proof: mac('plugin', message.nonce) }));
  if (message.type === 'fill') bare.send(`{"type":"fillResult","id":${message.id},"ok":true,"error":""}`);
});
bare.send(JSON.stringify({ type: 'hello', version: 'bare', instance: 'bare', nonce: nc }));
await gateway.waitLogged('Plugin prêt (vbare)');
bare.send(JSON.stringify({ type: 'pickMode', enabled: true, kind: 'field' }));
bare.send(JSON.stringify({ type: 'picked', kind: 'field', url: 'http://bench/', field: { label: 'Bench', tag: 'input', instance: 'bare' } }));
await gateway.waitLogged('Field selected: Bench  [input]');
const [baselineTimes] = await alternate([[lane, (i) => `base${i}`]], LATENCY_LINES);
const baseline = latencyOf(baselineTimes);
bare.close();
await gateway.waitLogged('Plugin disconnected');

// The link time: from the browser's start to the gateway's proven link with its plugin.
const linkStart = now();
const browser = await launchBrowser(undefined, { dataHome: gateway.dataHome });
await gateway.waitLogged(`Plugin prêt (v${MANIFEST.version})`, { timeout: 15000 });
const linkMs = gateway.logged(`Plugin prêt (v${MANIFEST.version})`)[0].at - linkStart;
const page = await browser.context.newPage();
await page.goto(`${pages.origin}/form.html`);
await pickFromPopup(browser.context, new URL(browser.worker.url()).host);
await clickToPick(page, page.locator('#email'));
await gateway.waitLogged('Field selected: Email  [input/email]');

// The floor: the browser's own message path, worker to page and back, and nothing else.
const floorBrowser = await launchBrowser(join(REPO_ROOT, 'bench', 'floor-extension'), { dataHome: floorGateway.dataHome });
const floorPage = await floorBrowser.context.newPage();
await floorPage.goto(`${pages.origin}/form.html`);
await floorGateway.waitLogged('Plugin prêt (v0.0.1)', { timeout: 15000 });
await waitUntil(() => floorBrowser.worker.evaluate(() => {
  try { globalThis.pick(); return true; } catch (e) { return false; }
}), { every: 50, timeout: 5000 });
await floorGateway.waitLogged('Field selected: Floor  [input]');

await Promise.all([startTrace(browser), startTrace(floorBrowser)]);
const [pluginSteps, floorTimes] = await alternate([[lane, (i) => `lat${i}`], [floorLane, (i) => `floor${i}`]], LATENCY_LINES);
const steps = breakdown(pluginSteps, await takeTrace(browser));
const floorSplit = breakdown(floorTimes, await takeTrace(floorBrowser));
const plugin = latencyOf(pluginSteps);
const floor = latencyOf(floorTimes);

const rates = [];
for (const rate of RATES) {
  const lines = Array.from({ length: rate * RATE_SECONDS }, (_, i) => `r${rate}n${i}`);
  const before = lane.answered().length;
  const start = now();
  let sent = 0;
  while (sent < lines.length) {
    const due = Math.min(lines.length, Math.floor(((now() - start) / 1000) * rate) + 1);
    lane.tcp.write(Buffer.concat(lines.slice(sent, due).map(frame)));
    sent = due;
    await sleep(1);
  }
  const sendSeconds = (now() - start) / 1000;
  await waitUntil(() => lane.answered().length - before >= lines.length, { timeout: 15000 }).catch(() => {});
  const got = await page.evaluate((prefix) => window.seen.filter((s) => s.kind === 'input' && s.value.startsWith(prefix))
    .map((s) => s.value), `r${rate}n`);
  const results = lane.answered().slice(before);
  const failures = results.filter((l) => l.text.includes('FAILED'));
  const failed = failures.length;
  const lost = lines.filter((l) => !got.includes(l)).length;
  const inOrder = got.length === lines.length && got.every((v, i) => v === lines[i]);
  rates.push({ rate, sent: lines.length, sendSeconds, filled: got.length, lost, failed, inOrder,
    firstFailure: failures[0]?.text.replace(/^\[[^\]]*\] /, ''),
    pass: inOrder && lost === 0 && failed === 0 && results.length === lines.length });
  if (!rates.at(-1).pass) break;
}

// The same destination with two more fields of the page: one Tab-separated line fills all three at once,
// again in turn with the floor, so that three fields and one are each set against the floor beside them.
for (const selector of ['[name=city]', '#notes']) {
  const popup = await browser.context.newPage();
  await popup.goto(`chrome-extension://${new URL(browser.worker.url()).host}/popup.html`);
  await waitUntil(() => popup.evaluate(() => !document.getElementById('addField').disabled), { every: 20 });
  await popup.click('#addField');
  await popup.close();
  await page.bringToFront();
  await clickToPick(page, page.locator(selector));
}
await gateway.waitLogged(/^Field added: /, { count: 2 });
await startTrace(browser);
const [threeSteps, floorThreeTimes] = await alternate(
  [[lane, (i) => `three${i}\tcity${i}\tnote${i}`], [floorLane, (i) => `floor3${i}`]], LATENCY_LINES);
const threeSplit = breakdown(threeSteps, await takeTrace(browser));
const threeFields = latencyOf(threeSteps);
const floorThree = latencyOf(floorThreeTimes);

const ms = (v) => `${v.toFixed(2)} ms`;
const ratio = (a, b, p) => percentile(a, p) / percentile(b, p);
const rows = [
  ['line → fill answered, median', ms(percentile(plugin, 50)), `≤ ${TARGET.median} ms`,
    `baseline ${ms(percentile(baseline, 50))}, ×${ratio(plugin, baseline, 50).toFixed(1)}`],
  ['line → fill answered, p99', ms(percentile(plugin, 99)), `≤ ${TARGET.p99} ms`,
    `baseline ${ms(percentile(baseline, 99))}, max ${ms(plugin.at(-1))}`],
  ['the floor: line → fill answered, median', ms(percentile(floor, 50)), 'plugin ≤ 1.15×',
    `plugin ×${ratio(plugin, floor, 50).toFixed(2)} of it`],
  ['the floor: line → fill answered, p99', ms(percentile(floor, 99)), 'plugin ≤ 1.15×',
    `plugin ×${ratio(plugin, floor, 99).toFixed(2)} of it`],
  ['three fields: line → fill answered, median', ms(percentile(threeFields, 50)), '≤ 1.5× one field',
    `×${(ratio(threeFields, floorThree, 50) / ratio(plugin, floor, 50)).toFixed(2)} of one field, each against the floor ` +
    `beside it (floor ${ms(percentile(floorThree, 50))}), p99 ${ms(percentile(threeFields, 99))}`],
  ['browser start → first proven link', ms(linkMs), '-', 'native host asked, link opened and proven both ways'],
  ...rates.map((r) => [`plain fills at ${r.rate} lines/s`, r.pass ? 'ok' : 'FAILED', r.rate === TARGET.rate ? 'none lost or reordered' : '-',
    `${r.sent} sent in ${r.sendSeconds.toFixed(2)} s, ${r.filled} filled, lost ${r.lost}, failed ${r.failed}` +
    `${r.inOrder ? '' : ', OUT OF ORDER'}${r.firstFailure ? `, first: ${r.firstFailure}` : ''}`]),
];
const widths = [0, 1, 2, 3].map((c) => Math.max(...[['measure', 'result', 'target', 'detail'], ...rows].map((r) => r[c].length)));
for (const row of [['measure', 'result', 'target', 'detail'], widths.map((w) => '-'.repeat(w)), ...rows]) {
  console.log(row.map((cell, c) => cell.padEnd(widths[c])).join(' | '));
}
if (steps && threeSplit && floorSplit) {
  console.log('\nwhere the time of a line goes (medians of each step, ms; each worker marks its own steps):');
  const columns = [['floor', floorSplit], ['one field', steps], ['three', threeSplit]];
  console.log(`  ${''.padEnd(34)}${columns.map(([name]) => name.padStart(11)).join('')}`);
  STEPS.forEach((name, i) => console.log(`  ${name.padEnd(34)}${columns.map(([, c]) => c[i].toFixed(3).padStart(11)).join('')}`));
  const sum = (list) => list.reduce((a, b) => a + b, 0).toFixed(3).padStart(11);
  console.log(`  ${'sum'.padEnd(34)}${columns.map(([, c]) => sum(c)).join('')}`);
}
console.log(`baseline: the same gateway with a bare WebSocket client that answers each fill at once, ${LATENCY_LINES} lines`);
console.log('the floor: a gateway of the same build and another Chromium with an extension that only passes each line to the');
console.log(`page and answers; it and the plugin take turns, ${BLOCK_LINES} lines at a time, ${LATENCY_LINES} lines each`);

for (const l of [lane, floorLane]) l.tcp.destroy();
await Promise.all([browser.close(), floorBrowser.close()]);
await pages.close();
await Promise.all([gateway.stop(), floorGateway.stop()]);
// Times vary with the machine; only lines lost or out of order make the run fail.
process.exitCode = rates.some((r) => r.rate === TARGET.rate && r.pass) ? 0 : 1;
