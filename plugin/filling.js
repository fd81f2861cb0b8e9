// Filling, in the order the gateway sent the lines: each line's fill (of one
// field, or of several in multifill.js), Enter, the click after its delay, and
// the wait for a page the line sent away.
import './common.js';
import { instanceReady, pickedHere } from './instance.js';
import { send } from './link.js';
import { NO_VALID_TARGETS, severalOf, startSeveral } from './multifill.js';
import { asObject, knownPlaceOf, placeOf, runAt } from './places.js';
import { noteDestination, noteOutcome, status } from './status.js';

const { CLICK_DELAY_MS, MSG } = globalThis.fieldpostCommon;
const MAX_CLICK_DELAY_MS = 60000;
// After Enter or a click that started a navigation, the next line waits for the
// new page; the tab must show it is loading within the first limit.
const LOAD_START_LIMIT_MS = 1000;
const LOAD_LIMIT_MS = 10000;

function fillJob(message) {
  const delay = Number.isFinite(message.clickDelayMs) ? message.clickDelayMs : CLICK_DELAY_MS;
  // targets and values instead of target and value: several fields.
  const several = message.targets !== undefined;
  const fields = several ? severalOf(message) : null;
  return {
    // Each answer carries the fill's id; a gateway that sends none matches answers in order.
    answer: Number.isInteger(message.id) ? { id: message.id } : {},
    several,
    targets: fields?.targets,
    values: fields?.values,
    target: several ? fields?.targets[0] ?? {} : asObject(message.target),
    button: asObject(message.button),
    value: typeof message.value === 'string' ? message.value : '',
    pressEnter: message.pressEnter === true,
    clickButton: message.clickButton === true,
    flash: message.flash === true,
    delay: Math.min(Math.max(delay, 0), MAX_CLICK_DELAY_MS),
  };
}

// A fill starts once the one before it has been handed to its page, so lines
// land in the order sent; a line with Enter or a click also waits for every
// line before it to finish, and the next line waits for it.
let handedOn = instanceReady.catch(() => {});
let finished = handedOn;
// Fills not yet handed to their page, and lines with Enter or a click not yet finished.
let waiting = 0;

// The browser fetches a new version while this one runs but starts it only
// when the extension is idle, which a linked plugin never is: take it once no
// line has come for a while, so that no line is cut off.
const UPDATE_IDLE_MS = 30000;
let lastLineAt = 0;
chrome.runtime.onUpdateAvailable.addListener(function takeUpdate() {
  if (Date.now() - lastLineAt >= UPDATE_IDLE_MS && !status.picking) chrome.runtime.reload();
  else setTimeout(takeUpdate, UPDATE_IDLE_MS);
});

export function queueFill(message) {
  lastLineAt = Date.now();
  const job = fillJob(message);
  const before = finished;
  if (job.pressEnter || job.clickButton) {
    waiting++;
    finished = Promise.all([handedOn, before]).then(() => runUnit(job)).catch(() => {}).then(() => { waiting--; });
    handedOn = finished;
    return;
  }
  // The common case of a steady stream: nothing before it is still on its way
  // and its place was found for the line before, so it leaves in this task.
  // A turn of the queue costs a tenth of a millisecond per line in the worker.
  const known = waiting === 0 && !job.several ? knownPlaceOf(job.target, 'field') : null;
  if (known) {
    const outcome = runAt(job.target, 'field', 'fill', [job.target, job.value, false, job.flash], known);
    finished = Promise.all([outcome, before]).then(([o]) => reportFill(job, o)).catch(() => {});
    return;
  }
  waiting++;
  const started = handedOn.then(() => startFill(job, before));
  const handed = () => { waiting--; };
  handedOn = started.then(handed, handed);
  finished = started.then((s) => s.done).catch(() => {});
}

function reportFill(job, outcome) {
  if (outcome === null) return false;
  const ok = outcome.ok === true;
  const error = ok ? '' : String(outcome.error || 'field not found');
  const failedField = !ok && Number.isInteger(outcome.failedField) ? { failedField: outcome.failedField } : {};
  send({ type: MSG.FILL_RESULT, ...job.answer, ok, error, ...failedField });
  const filled = job.several ? job.values.map((v) => `"${v}"`).join(', ') : `"${job.value}"`;
  const which = Number.isInteger(failedField.failedField) ? ` (field ${failedField.failedField + 1})` : '';
  noteOutcome(ok ? `Filled ${filled}` : `Fill failed${which}: ${error}`);
  if (pickedHere(job.target)) noteDestination(job.target);
  return ok;
}

function reportClick(job, outcome) {
  const ok = outcome.ok === true;
  const error = ok ? '' : String(outcome.error || 'button not found');
  send({ type: MSG.BUTTON_CLICKED, ...job.answer, ok, error });
  noteOutcome(ok ? 'Button clicked' : `Button click failed: ${error}`);
}

// Resolves, once the request is on its way, to { done } where done settles once
// the answer has been sent, after the answers of the lines before (before).
async function startFill(job, before) {
  if (job.several) {
    const { outcome } = await startSeveralOf(job);
    return { done: Promise.all([outcome, before]).then(([o]) => reportFill(job, o)) };
  }
  const place = await placeOf(job.target, 'field');
  if (!place || place.error) return { done: before.then(() => reportFill(job, place)) };
  const outcome = runAt(job.target, 'field', 'fill', [job.target, job.value, false, job.flash], place);
  return { done: Promise.all([outcome, before]).then(([o]) => reportFill(job, o)) };
}

function startSeveralOf(job) {
  return job.targets ? startSeveral(job) : { outcome: Promise.resolve({ ok: false, error: NO_VALID_TARGETS }) };
}

async function runUnit(job) {
  const loads = watchLoads();
  try {
    const filled = job.several ? await (await startSeveralOf(job)).outcome
      : await runAt(job.target, 'field', 'fill', [job.target, job.value, job.pressEnter, job.flash]);
    const ok = reportFill(job, filled);
    if (filled === null) return;
    let leaving = ok && filled.navigating ? filled.tabId : null;
    if (job.clickButton) {
      if (!ok) {
        reportClick(job, { ok: false, error: 'button not clicked: the fill failed' });
      } else {
        await new Promise((r) => setTimeout(r, job.delay));
        const clicked = await runAt(job.button, 'button', 'click', [job.button]);
        reportClick(job, clicked);
        if (clicked.navigating) leaving = clicked.tabId;
      }
    }
    if (leaving !== null) await loads.loaded(leaving);
  } finally {
    loads.stop();
  }
}

// Follows the tabs' loading from before an Enter or click, so that a load that
// starts and ends before anyone asks is not missed.
function watchLoads() {
  const seen = new Map();
  let wake = () => {};
  const onUpdated = (tabId, change) => {
    if (change.status === 'loading') seen.set(tabId, 'loading');
    else if (change.status === 'complete' && seen.get(tabId) === 'loading') seen.set(tabId, 'complete');
    wake();
  };
  const onRemoved = (tabId) => { seen.set(tabId, 'complete'); wake(); };
  chrome.tabs.onUpdated.addListener(onUpdated);
  chrome.tabs.onRemoved.addListener(onRemoved);
  return {
    async loaded(tabId) {
      const start = Date.now();
      for (;;) {
        const state = seen.get(tabId);
        const waited = Date.now() - start;
        if (state === 'complete' || waited > LOAD_LIMIT_MS || (!state && waited > LOAD_START_LIMIT_MS)) return;
        await new Promise((r) => { wake = r; setTimeout(r, 100); });
      }
    },
    stop() {
      chrome.tabs.onUpdated.removeListener(onUpdated);
      chrome.tabs.onRemoved.removeListener(onRemoved);
    },
  };
}
