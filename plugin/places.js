// Where a descriptor points: the tab, the frame, and the calls into the
// content script there.
import './common.js';
import { NOT_ALLOWED, allowedKnown, allowedReady, pageAllowed } from './allowed.js';
import { anotherBrowsers, pickedHere } from './instance.js';
import { mark } from './trace.js';

const { CALL_PORT } = globalThis.fieldpostCommon;
// A frame that takes longer is taken as hung (a page busy in a long script):
// its line fails and the lines after it go on.
const FRAME_LIMIT_MS = 2000;
const NO_ANSWER = 'page did not answer';
// What the manifest puts in every frame, for a frame that missed it.
const PAGE_SCRIPTS = chrome.runtime.getManifest().content_scripts[0].js;

export function asObject(value) {
  return value && typeof value === 'object' && !Array.isArray(value) ? value : {};
}

export function pageOf(url) {
  try {
    const u = new URL(url);
    return { origin: u.origin, path: u.pathname };
  } catch (e) {
    return { origin: '', path: '' };
  }
}

function showsPage(tab, d) {
  const page = pageOf(tab.url);
  return page.origin === d.origin && page.path === d.path;
}

// Gives up on a call into a page after FRAME_LIMIT_MS (or by until): settles
// to late then, and whatever the page answers after that is dropped.
export function withinLimit(promise, late, until = Date.now() + FRAME_LIMIT_MS) {
  let timer;
  const limit = new Promise((resolve) => { timer = setTimeout(() => resolve(late), Math.max(0, until - Date.now())); });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// Resolved tabs and frames, with the tab's address, until a tab navigates,
// closes or is activated.
const placeCache = new Map();
export const forgetPlaces = () => placeCache.clear();
for (const event of [chrome.tabs.onRemoved, chrome.tabs.onReplaced, chrome.tabs.onActivated]) {
  event.addListener(() => placeCache.clear());
}
chrome.tabs.onUpdated.addListener((tabId, change) => {
  if (change.url !== undefined || change.status === 'loading') placeCache.clear();
});

// The picked tab while it shows the picked page (query and fragment aside),
// else the most recently used tab that does; never any other.
async function tabShowing(d) {
  if (Number.isInteger(d.tabId)) {
    const tab = await chrome.tabs.get(d.tabId).catch(() => null);
    if (tab && showsPage(tab, d)) return tab;
  }
  const showing = (await chrome.tabs.query({})).filter((t) => showsPage(t, d));
  showing.sort((a, b) => (b.lastAccessed || 0) - (a.lastAccessed || 0));
  return showing.length ? showing[0] : null;
}

export async function findTab(d) {
  return (await tabShowing(d))?.id ?? null;
}

// The picked frame while it has the picked frame's origin, else the one frame
// of that origin that holds the element.
async function findFrame(tabId, d, noun) {
  const answers = await withinLimit(chrome.scripting.executeScript({
    target: { tabId, allFrames: true },
    func: (t) => globalThis.__fieldpost?.probe(t),
    args: [d],
  }).catch(() => []), null);
  if (!answers) return { error: NO_ANSWER };
  const here = answers.filter((a) => a.frameId !== 0 && a.result && a.result.here);
  const picked = here.find((a) => a.frameId === d.frameId && tabId === d.tabId);
  if (picked) return picked.frameId;
  const found = here.filter((a) => a.result.found);
  if (found.length > 1) return { error: `${noun} is ambiguous` };
  if (found.length === 1 || here.length) return (found[0] || here[0]).frameId;
  return { error: `frame of the ${noun} is not open (${d.frameOrigin})` };
}

const placeKey = (d, noun) => `${noun}|${d.tabId}|${d.origin}${d.path}|${d.frameOrigin}|${d.frameId}`;

// Where to run a fill or click: { tabId, frameId }, { error }, or null when this
// browser must stay silent (a field picked in another browser, which answers).
export async function placeOf(d, noun) {
  if (anotherBrowsers(d)) return noun === 'field' ? null : { error: `${noun} was picked in another browser` };
  if (!pickedHere(d)) return { error: `${noun} was not picked in this browser` };
  const key = placeKey(d, noun);
  let place = placeCache.get(key);
  if (!place) {
    const tab = await tabShowing(d);
    if (!tab) {
      place = { error: `page of the ${noun} is not open (${d.origin}${d.path})` };
    } else if (typeof d.frameOrigin === 'string') {
      const frameId = await findFrame(tab.id, d, noun);
      place = Number.isInteger(frameId) ? { tabId: tab.id, frameId, url: tab.url } : frameId;
    } else {
      place = { tabId: tab.id, frameId: 0, url: tab.url };
    }
    // A frame that was busy may answer the next time.
    if (place.error !== NO_ANSWER) placeCache.set(key, place);
  }
  await allowedReady;
  return place.error || pageAllowed(place.url) ? place : { error: NOT_ALLOWED };
}

// What placeOf would give, when it can tell without waiting: a place found
// before, in a page the administrator allows. Else null, and placeOf decides.
export function knownPlaceOf(d, noun) {
  if (!allowedKnown() || anotherBrowsers(d) || !pickedHere(d)) return null;
  const place = placeCache.get(placeKey(d, noun));
  return place && !place.error && pageAllowed(place.url) ? place : null;
}

// Runs one of the content script's routines in a frame: through a port kept
// per frame, which answers sooner than a script injected per call. A port that
// never answered means no content script (a tab opened before the extension was
// loaded): it is added to that frame and the call is injected. A port that
// closes under a call lost its document, which the caller takes as a stale
// place. The frame gets the time limit too, so that a page busy past it does
// not act on the call once it is free.
const framePorts = new Map();
let callCount = 0;

function portTo(tabId, frameId) {
  const key = `${tabId}:${frameId}`;
  const known = framePorts.get(key);
  if (known) return known;
  const entry = {
    port: chrome.tabs.connect(tabId, { frameId, name: CALL_PORT }), pending: new Map(), answered: false, lastAnswer: 0,
    watchdog: null,
  };
  framePorts.set(key, entry);
  entry.port.onMessage.addListener(({ id, result }) => {
    entry.answered = true;
    entry.lastAnswer = Date.now();
    const call = entry.pending.get(id);
    entry.pending.delete(id);
    if (call) call.resolve(result);
  });
  entry.port.onDisconnect.addListener(() => {
    void chrome.runtime.lastError;
    if (framePorts.get(key) === entry) framePorts.delete(key);
    clearTimeout(entry.watchdog);
    const lost = entry.answered ? { ok: false, error: 'page left before answering', stale: true } : { missing: true };
    for (const call of entry.pending.values()) call.resolve(lost);
    entry.pending.clear();
  });
  return entry;
}

// A frame that answers slowly but steadily (a burst of lines queued in it) is
// not silent: a call is given up only once its frame has answered nothing for
// FRAME_LIMIT_MS since the call was sent. One timer per frame watches its calls,
// oldest first: a timer set and cleared for every call costs the worker more
// than the call itself.
function watchCalls(entry) {
  entry.watchdog = null;
  const now = Date.now();
  for (const [id, call] of entry.pending) {
    const due = Math.max(call.sent, entry.lastAnswer) + FRAME_LIMIT_MS;
    if (due > now) {
      entry.watchdog = setTimeout(watchCalls, due - now, entry);
      return;
    }
    entry.pending.delete(id);
    call.resolve(call.silent);
  }
}

function answerOf(entry, id, sent, silent) {
  return new Promise((resolve) => {
    entry.pending.set(id, { resolve, sent, silent });
    entry.watchdog ??= setTimeout(watchCalls, FRAME_LIMIT_MS, entry);
  });
}

export async function callInPage({ tabId, frameId }, routine, args) {
  const sent = Date.now();
  const until = sent + FRAME_LIMIT_MS;
  const silent = { ok: false, error: NO_ANSWER };
  const entry = portTo(tabId, frameId);
  const id = ++callCount;
  const answer = answerOf(entry, id, sent, silent);
  mark('call');
  entry.port.postMessage({ id, routine, args, sent, limit: FRAME_LIMIT_MS });
  const result = await answer;
  mark('answer');
  if (!result || !result.missing) return result;
  const target = { tabId, frameIds: [frameId] };
  const run = () => withinLimit(chrome.scripting.executeScript({
    target,
    func: (name, list, by) => (!globalThis.__fieldpost?.ready ? { missing: true }
      : Date.now() > by ? undefined : globalThis.__fieldpost[name](...list)),
    args: [routine, args, until],
  }).then(([first]) => (first ? first.result : undefined)), silent, until);
  let late = await run();
  if (late && late.missing) {
    const added = await withinLimit(chrome.scripting.executeScript({ target, files: PAGE_SCRIPTS })
      .then(() => true), false, until);
    late = added ? await run() : silent;
  }
  return late;
}

// A place found earlier may show another document by now: look again, once.
// With known, the request leaves before this returns.
export async function runAt(d, noun, routine, args, known) {
  for (let attempt = 0; ; attempt++) {
    const place = attempt === 0 && known ? known : await placeOf(d, noun);
    if (!place || place.error) return place;
    let outcome;
    try {
      outcome = await callInPage(place, routine, args);
    } catch (e) {
      outcome = { ok: false, error: `${noun} not found`, stale: true };
    }
    if (!outcome || !outcome.stale || attempt > 0) return { ...asObject(outcome), tabId: place.tabId };
    forgetPlaces();
  }
}
