// Benchmark of a line's way through the real gateway, the extension in Chromium
// and a test page, in one run:
//   - latency from a frame written to the gateway's TCP port to the gateway's
//     "Fill OK." for it (the plugin's answer), one line at a time, beside two
//     baselines: a bare WebSocket client that answers at once, and the floor,
//     an extension in the same Chromium that does nothing but pass the line to
//     the page and the answer back (bench/floor-extension);
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
const LATENCY_LINES = Number(process.env.BENCH_LINES) || 500;
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
// The gateway's answers so far, read on from where the last look stopped: a
// look over every line logged would grow with the run and slow the later measures.
const answers = [];
let scanned = 0;
function answered() {
  for (; scanned < gateway.lines.length; scanned++) {
    const text = gateway.lines[scanned].text;
    if (/^\[\d\d:\d\d:\d\d\] Fill (OK\.|FAILED)/.test(text)) answers.push(gateway.lines[scanned]);
  }
  return answers;
}

// One line at a time: the time from its frame to the gateway's log line of its answer. With `steps`, each
// line's own times are kept there too: [sent, answer logged].
async function latencies(prefix, count, make = (i) => `${prefix}${i}`, steps = null) {
  const out = [];
  for (let i = -20; i < count; i++) {
    const before = answered().length;
    const sent = now();
    tcp.write(frame(make(i)));
    const [line] = await waitUntil(() => answered().length > before && answered().slice(before), { every: 1, timeout: 5000 })
      .catch((e) => { throw new Error(`${prefix}${i} unanswered (${e.message}); last lines:\n${gateway.lines.slice(-12).map((l) => l.text).join('\n')}`); });
    if (line.text.includes('FAILED')) throw new Error(`${prefix}${i}: ${line.text}`);
    if (i >= 0) out.push(line.at - sent);
    if (i >= 0 && steps) steps.push([sent, line.at]);
  }
  return out.sort((a, b) => a - b);
}

// Where the median line's time goes: the plugin's worker marks a fill's arrival, its call into the page, the
// page's answer and the answer sent (plugin/trace.js); the rest is the gateway's, and the sockets'.
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
  return byStep.map((values) => percentile(values.sort((a, b) => a - b), 50));
}

// Only configured extensions may link: the floor gets in as the Chromium entry's extension.
const gateway = await new Gateway({
  simulateEnter: 'false', clickButton: 'false', 'Chromium/extensionId': FLOOR_EXTENSION_ID, ...(process.env.BENCH_NOFLASH ? { flashField: 'false' } : {}),
}).start();
const pages = await startPageServer();
const tcp = connect({ host: '127.0.0.1', port: gateway.tcpPort });
tcp.setNoDelay(true);
await new Promise((r, j) => { tcp.once('connect', r); tcp.once('error', j); });

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
const baseline = await latencies('base', LATENCY_LINES);
bare.close();
await gateway.waitLogged('Plugin disconnected');

// The floor: the browser's own message path, worker to page and back, and nothing else.
const floorBrowser = await launchBrowser(join(REPO_ROOT, 'bench', 'floor-extension'), { dataHome: gateway.dataHome });
const floorPage = await floorBrowser.context.newPage();
await floorPage.goto(`${pages.origin}/form.html`);
await gateway.waitLogged('Plugin prêt (v0.0.1)', { timeout: 15000 });
await waitUntil(() => floorBrowser.worker.evaluate(() => {
  try { globalThis.pick(); return true; } catch (e) { return false; }
}), { every: 50, timeout: 5000 });
await gateway.waitLogged('Field selected: Floor  [input]');
const floor = await latencies('floor', LATENCY_LINES);
await floorBrowser.close();
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
await browser.worker.evaluate(() => { globalThis.fieldpostTrace = []; });
const pluginSteps = [];
const plugin = await latencies('lat', LATENCY_LINES, undefined, pluginSteps);
const marks = await browser.worker.evaluate(() => { const t = globalThis.fieldpostTrace; globalThis.fieldpostTrace = null; return t; });
const steps = breakdown(pluginSteps, marks);


const rates = [];
for (const rate of RATES) {
  const lines = Array.from({ length: rate * RATE_SECONDS }, (_, i) => `r${rate}n${i}`);
  const before = answered().length;
  const start = now();
  let sent = 0;
  while (sent < lines.length) {
    const due = Math.min(lines.length, Math.floor(((now() - start) / 1000) * rate) + 1);
    tcp.write(Buffer.concat(lines.slice(sent, due).map(frame)));
    sent = due;
    await sleep(1);
  }
  const sendSeconds = (now() - start) / 1000;
  await waitUntil(() => answered().length - before >= lines.length, { timeout: 15000 }).catch(() => {});
  const got = await page.evaluate((prefix) => window.seen.filter((s) => s.kind === 'input' && s.value.startsWith(prefix))
    .map((s) => s.value), `r${rate}n`);
  const results = answered().slice(before);
  const failures = results.filter((l) => l.text.includes('FAILED'));
  const failed = failures.length;
  const lost = lines.filter((l) => !got.includes(l)).length;
  const inOrder = got.length === lines.length && got.every((v, i) => v === lines[i]);
  rates.push({ rate, sent: lines.length, sendSeconds, filled: got.length, lost, failed, inOrder,
    firstFailure: failures[0]?.text.replace(/^\[[^\]]*\] /, ''),
    pass: inOrder && lost === 0 && failed === 0 && results.length === lines.length });
  if (!rates.at(-1).pass) break;
}

// The same destination with two more fields of the page: one Tab-separated line fills all three at once.
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
await browser.worker.evaluate(() => { globalThis.fieldpostTrace = []; });
const threeSteps = [];
const threeFields = await latencies('three', LATENCY_LINES, (i) => `three${i}\tcity${i}\tnote${i}`, threeSteps);
const threeSplit = breakdown(threeSteps,
  await browser.worker.evaluate(() => { const t = globalThis.fieldpostTrace; globalThis.fieldpostTrace = null; return t; }));

const ms = (v) => `${v.toFixed(2)} ms`;
const rows = [
  ['line → fill answered, median', ms(percentile(plugin, 50)), `≤ ${TARGET.median} ms`,
    `baseline ${ms(percentile(baseline, 50))}, ×${(percentile(plugin, 50) / percentile(baseline, 50)).toFixed(1)}`],
  ['line → fill answered, p99', ms(percentile(plugin, 99)), `≤ ${TARGET.p99} ms`,
    `baseline ${ms(percentile(baseline, 99))}, max ${ms(plugin.at(-1))}`],
  ['the floor: line → fill answered, median', ms(percentile(floor, 50)), '-',
    `plugin ×${(percentile(plugin, 50) / percentile(floor, 50)).toFixed(2)} of it`],
  ['the floor: line → fill answered, p99', ms(percentile(floor, 99)), '-',
    `plugin ×${(percentile(plugin, 99) / percentile(floor, 99)).toFixed(2)} of it`],
  ['three fields: line → fill answered, median', ms(percentile(threeFields, 50)), '≤ 1.5× one field',
    `×${(percentile(threeFields, 50) / percentile(plugin, 50)).toFixed(2)} of one field, p99 ${ms(percentile(threeFields, 99))}`],
  ['browser start → first proven link', ms(linkMs), '-', 'native host asked, link opened and proven both ways'],
  ...rates.map((r) => [`plain fills at ${r.rate} lines/s`, r.pass ? 'ok' : 'FAILED', r.rate === TARGET.rate ? 'none lost or reordered' : '-',
    `${r.sent} sent in ${r.sendSeconds.toFixed(2)} s, ${r.filled} filled, lost ${r.lost}, failed ${r.failed}` +
    `${r.inOrder ? '' : ', OUT OF ORDER'}${r.firstFailure ? `, first: ${r.firstFailure}` : ''}`]),
];
const widths = [0, 1, 2, 3].map((c) => Math.max(...[['measure', 'result', 'target', 'detail'], ...rows].map((r) => r[c].length)));
for (const row of [['measure', 'result', 'target', 'detail'], widths.map((w) => '-'.repeat(w)), ...rows]) {
  console.log(row.map((cell, c) => cell.padEnd(widths[c])).join(' | '));
}
if (steps && threeSplit) {
  console.log('\nwhere the time of a line goes (medians of each step, ms; the worker marks its own steps):');
  console.log(`  ${''.padEnd(34)} ${'one field'.padStart(10)} ${'three'.padStart(10)}`);
  STEPS.forEach((name, i) => console.log(`  ${name.padEnd(34)} ${steps[i].toFixed(3).padStart(10)} ${threeSplit[i].toFixed(3).padStart(10)}`));
  const sum = (list) => list.reduce((a, b) => a + b, 0).toFixed(3).padStart(10);
  console.log(`  ${'sum'.padEnd(34)} ${sum(steps)} ${sum(threeSplit)}`);
}
console.log(`baseline: the same gateway with a bare WebSocket client that answers each fill at once, ${LATENCY_LINES} lines`);
console.log('the floor: the same gateway and Chromium with an extension that only passes each line to the page and answers');

tcp.destroy();
await browser.close();
await pages.close();
await gateway.stop();
// Times vary with the machine; only lines lost or out of order make the run fail.
process.exitCode = rates.some((r) => r.rate === TARGET.rate && r.pass) ? 0 : 1;
