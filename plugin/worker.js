// The extension's service worker: keeps the WebSocket link to the gateway and
// carries its requests into the pages. Every listener is registered at the top
// level so that a worker woken by an event finds it. The messages and the
// descriptor members are listed in docs/plugin-protocol.md.
importScripts('common.js');
const {
  GATEWAY_PORT, CLICK_DELAY_MS, PICK_KIND, MSG, LOCAL, SOUNDS, PICK_KEY, STATUS_PORT, CALL_PORT,
} = globalThis.fieldpostCommon;

const GATEWAY_URL = `ws://127.0.0.1:${GATEWAY_PORT}`;
const VERSION = chrome.runtime.getManifest().version;
const FIRST_RETRY_MS = 250;
const LAST_RETRY_MS = 5000;
// An idle WebSocket does not keep the worker alive: only traffic does, and the
// worker is stopped 30 s after the last message.
const KEEPALIVE_MS = 20000;
const RELINK_ALARM = 'fieldpost-relink';
const RELINK_PERIOD_MIN = 0.5;
const MAX_CLICK_DELAY_MS = 60000;
const PICK_LIMIT_MS = 60000;
// After Enter or a click that started a navigation, the next line waits for the
// new page; the tab must show it is loading within the first limit.
const LOAD_START_LIMIT_MS = 1000;
const LOAD_LIMIT_MS = 10000;
const OUTCOMES_SHOWN = 5;
// A frame that takes longer is taken as hung (a page busy in a long script):
// its line fails and the lines after it go on.
const FRAME_LIMIT_MS = 2000;
const NO_ANSWER = 'page did not answer';
const PICKS_KEPT = 50;
const TONES_KEPT = 20;
const SOUND_PAGE = 'offscreen.html';

let socket = null;
let retryMs = FIRST_RETRY_MS;
let retryTimer = null;
let keepaliveTimer = null;

// ---- this browser --------------------------------------------------------

// Random and kept, so that of several browsers linked to one gateway only the
// one that picked an element fills it. The pick ids this browser issued, newest
// first: only an element picked here, with a descriptor made here, is filled.
let instanceId = null;
let issuedPicks = [];
const instanceReady = chrome.storage.local.get(['instanceId', 'destination', 'picks']).then(async (stored) => {
  if (Array.isArray(stored.picks)) issuedPicks = stored.picks;
  instanceId = stored.instanceId;
  if (typeof instanceId !== 'string' || !instanceId) {
    instanceId = crypto.randomUUID();
    await chrome.storage.local.set({ instanceId });
  }
  if (stored.destination) status.destination = stored.destination;
});

// What the popup shows; it listens on a port while it is open.
const status = { connected: false, picking: null, destination: null, outcomes: [] };
const statusPorts = new Set();

function showStatus() {
  for (const port of statusPorts) port.postMessage(status);
}

function noteOutcome(text) {
  status.outcomes.unshift({ text, at: Date.now() });
  status.outcomes.length = Math.min(status.outcomes.length, OUTCOMES_SHOWN);
  showStatus();
}

function noteDestination(field) {
  const page = `${field.origin || ''}${field.path || ''}`;
  const label = typeof field.label === 'string' ? field.label : '';
  if (status.destination && status.destination.label === label && status.destination.page === page) return;
  status.destination = { label, page };
  chrome.storage.local.set({ destination: status.destination }).catch(() => {});
  showStatus();
}

chrome.runtime.onConnect.addListener((port) => {
  if (port.name !== STATUS_PORT || !port.sender.url?.startsWith(chrome.runtime.getURL(''))) return;
  statusPorts.add(port);
  port.onDisconnect.addListener(() => statusPorts.delete(port));
  port.onMessage.addListener((m) => {
    if (m && m.type === LOCAL.STOP_PICKING) endPick();
    // Picking from the popup is this browser's alone, and only worth it while a
    // gateway is there to take the pick.
    if (m && m.type === LOCAL.START_PICKING && status.connected) startPick(kindOf(m.kind));
  });
  instanceReady.then(() => port.postMessage(status), () => {});
});

function showLinkState(connected) {
  const state = connected ? 'connected' : 'disconnected';
  chrome.action.setIcon({
    path: { 16: `icons/${state}-16.png`, 32: `icons/${state}-32.png` },
  }).catch(() => {});
  chrome.action.setTitle({
    title: connected ? 'Fieldpost: connected to the gateway' : 'Fieldpost: gateway not connected',
  }).catch(() => {});
  status.connected = connected;
  showStatus();
}

// ---- link ----------------------------------------------------------------

// Nothing waits for a link that is down: a result or a pick from before a
// reconnection would be taken for a new one. Nothing goes before the hello.
let greeted = null;

function send(message) {
  if (socket && socket === greeted && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
}

function scheduleRetry() {
  if (retryTimer !== null) return;
  retryTimer = setTimeout(() => {
    retryTimer = null;
    connect();
  }, retryMs);
  retryMs = Math.min(retryMs * 2, LAST_RETRY_MS);
}

function connect() {
  if (socket && (socket.readyState === WebSocket.CONNECTING || socket.readyState === WebSocket.OPEN)) return;
  clearTimeout(retryTimer);
  retryTimer = null;
  let ws;
  try {
    ws = new WebSocket(GATEWAY_URL);
  } catch (e) {
    scheduleRetry();
    return;
  }
  socket = ws;
  ws.onopen = () => {
    retryMs = FIRST_RETRY_MS;
    // The hello names this browser, so it waits for the stored instance id.
    instanceReady.then(() => {
      if (socket !== ws || ws.readyState !== WebSocket.OPEN) return;
      ws.send(JSON.stringify({ type: MSG.HELLO, version: VERSION, instance: instanceId }));
      greeted = ws;
      clearInterval(keepaliveTimer);
      keepaliveTimer = setInterval(() => send({ type: MSG.KEEPALIVE }), KEEPALIVE_MS);
      showLinkState(true);
    });
  };
  ws.onmessage = (event) => {
    if (typeof event.data === 'string') handleGatewayText(event.data);
  };
  ws.onclose = () => {
    if (socket !== ws) return;
    socket = null;
    clearInterval(keepaliveTimer);
    keepaliveTimer = null;
    endPick();
    showLinkState(false);
    scheduleRetry();
  };
  // An error is always followed by close, which does the work.
  ws.onerror = () => {};
}

function handleGatewayText(text) {
  let message;
  try {
    message = JSON.parse(text);
  } catch (e) {
    return;
  }
  handleGatewayMessage(message);
}

function handleGatewayMessage(message) {
  if (!message || typeof message !== 'object' || Array.isArray(message)) return;
  switch (message.type) {
    case MSG.PICK_MODE:
      if (message.enabled === true) startPick(kindOf(message.kind));
      else endPick();
      break;
    case MSG.FILL:
      queueFill(message);
      break;
    case MSG.FEEDBACK:
      instanceReady.then(() => feedback(message), () => {});
      break;
    case MSG.SCAN:
      scan();
      break;
    default:
      break; // "hello" and anything newer need no answer
  }
}

// ---- where a descriptor points -------------------------------------------

function asObject(value) {
  return value && typeof value === 'object' && !Array.isArray(value) ? value : {};
}

function kindOf(kind) {
  return kind === PICK_KIND.BUTTON ? PICK_KIND.BUTTON : PICK_KIND.FIELD;
}

function pageOf(url) {
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
function withinLimit(promise, late, until = Date.now() + FRAME_LIMIT_MS) {
  let timer;
  const limit = new Promise((resolve) => { timer = setTimeout(() => resolve(late), Math.max(0, until - Date.now())); });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
}

// Picked here: made by this browser's own pick, not copied from a page's
// address, a scan or an earlier version. Another browser's element is that
// browser's to serve.
function pickedHere(d) {
  return d.instance === instanceId && typeof d.pickId === 'string' && issuedPicks.includes(d.pickId);
}

function anotherBrowsers(d) {
  return typeof d.instance === 'string' && d.instance !== '' && d.instance !== instanceId;
}

// Resolved tabs and frames, until a tab navigates, closes or is activated.
const placeCache = new Map();
for (const event of [chrome.tabs.onRemoved, chrome.tabs.onReplaced, chrome.tabs.onActivated]) {
  event.addListener(() => placeCache.clear());
}
chrome.tabs.onUpdated.addListener((tabId, change) => {
  if (change.url !== undefined || change.status === 'loading') placeCache.clear();
});

// The picked tab while it shows the picked page (query and fragment aside),
// else the most recently used tab that does; never any other.
async function findTab(d) {
  if (Number.isInteger(d.tabId)) {
    const tab = await chrome.tabs.get(d.tabId).catch(() => null);
    if (tab && showsPage(tab, d)) return tab.id;
  }
  const showing = (await chrome.tabs.query({})).filter((t) => showsPage(t, d));
  showing.sort((a, b) => (b.lastAccessed || 0) - (a.lastAccessed || 0));
  return showing.length ? showing[0].id : null;
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

// Where to run a fill or click: { tabId, frameId }, { error }, or null when this
// browser must stay silent (a field picked in another browser, which answers).
async function placeOf(d, noun) {
  if (anotherBrowsers(d)) return noun === 'field' ? null : { error: `${noun} was picked in another browser` };
  if (!pickedHere(d)) return { error: `${noun} was not picked in this browser` };
  const key = `${noun}|${d.tabId}|${d.origin}${d.path}|${d.frameOrigin}|${d.frameId}`;
  if (placeCache.has(key)) return placeCache.get(key);
  let place;
  const tabId = await findTab(d);
  if (tabId === null) {
    place = { error: `page of the ${noun} is not open (${d.origin}${d.path})` };
  } else if (typeof d.frameOrigin === 'string') {
    const frameId = await findFrame(tabId, d, noun);
    place = Number.isInteger(frameId) ? { tabId, frameId } : frameId;
  } else {
    place = { tabId, frameId: 0 };
  }
  // A frame that was busy may answer the next time.
  if (place.error !== NO_ANSWER) placeCache.set(key, place);
  return place;
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
  };
  framePorts.set(key, entry);
  entry.port.onMessage.addListener(({ id, result }) => {
    entry.answered = true;
    entry.lastAnswer = Date.now();
    const resolve = entry.pending.get(id);
    entry.pending.delete(id);
    if (resolve) resolve(result);
  });
  entry.port.onDisconnect.addListener(() => {
    void chrome.runtime.lastError;
    if (framePorts.get(key) === entry) framePorts.delete(key);
    const lost = entry.answered ? { ok: false, error: 'page left before answering', stale: true } : { missing: true };
    for (const resolve of entry.pending.values()) resolve(lost);
  });
  return entry;
}

// A frame that answers slowly but steadily (a burst of lines queued in it) is
// not silent: a call is given up only once its frame has answered nothing for
// FRAME_LIMIT_MS since the call was sent.
function answerOf(entry, id, sent, silent) {
  return new Promise((resolve) => {
    let timer;
    const settle = (result) => {
      clearTimeout(timer);
      entry.pending.delete(id);
      resolve(result);
    };
    entry.pending.set(id, settle);
    const watch = () => {
      const left = Math.max(sent, entry.lastAnswer) + FRAME_LIMIT_MS - Date.now();
      if (left <= 0) settle(silent);
      else timer = setTimeout(watch, left);
    };
    watch();
  });
}

async function callInPage({ tabId, frameId }, routine, args) {
  const sent = Date.now();
  const until = sent + FRAME_LIMIT_MS;
  const silent = { ok: false, error: NO_ANSWER };
  const entry = portTo(tabId, frameId);
  const id = ++callCount;
  const answer = answerOf(entry, id, sent, silent);
  entry.port.postMessage({ id, routine, args, sent, limit: FRAME_LIMIT_MS });
  const result = await answer;
  if (!result || !result.missing) return result;
  const target = { tabId, frameIds: [frameId] };
  const run = () => withinLimit(chrome.scripting.executeScript({
    target,
    func: (name, list, by) => (!globalThis.__fieldpost ? { missing: true }
      : Date.now() > by ? undefined : globalThis.__fieldpost[name](...list)),
    args: [routine, args, until],
  }).then(([first]) => (first ? first.result : undefined)), silent, until);
  let late = await run();
  if (late && late.missing) {
    const added = await withinLimit(chrome.scripting.executeScript({ target, files: ['common.js', 'content.js'] })
      .then(() => true), false, until);
    late = added ? await run() : silent;
  }
  return late;
}

// A place found earlier may show another document by now: look again, once.
// With known, the request leaves before this returns.
async function runAt(d, noun, routine, args, known) {
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
    placeCache.clear();
  }
}

// ---- filling, in order -----------------------------------------------------

function fillJob(message) {
  const delay = Number.isFinite(message.clickDelayMs) ? message.clickDelayMs : CLICK_DELAY_MS;
  return {
    // Each answer carries the fill's id; a gateway that sends none matches answers in order.
    answer: Number.isInteger(message.id) ? { id: message.id } : {},
    target: asObject(message.target),
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

// The browser fetches a new version while this one runs but starts it only
// when the extension is idle, which a linked plugin never is: take it once no
// line has come for a while, so that no line is cut off.
const UPDATE_IDLE_MS = 30000;
let lastLineAt = 0;
chrome.runtime.onUpdateAvailable.addListener(function takeUpdate() {
  if (Date.now() - lastLineAt >= UPDATE_IDLE_MS && !status.picking) chrome.runtime.reload();
  else setTimeout(takeUpdate, UPDATE_IDLE_MS);
});

function queueFill(message) {
  lastLineAt = Date.now();
  const job = fillJob(message);
  const before = finished;
  if (job.pressEnter || job.clickButton) {
    finished = Promise.all([handedOn, before]).then(() => runUnit(job)).catch(() => {});
    handedOn = finished;
    return;
  }
  const started = handedOn.then(() => startFill(job, before));
  handedOn = started.then(() => {}, () => {});
  finished = started.then((s) => s.done).catch(() => {});
}

function reportFill(job, outcome) {
  if (outcome === null) return false;
  const ok = outcome.ok === true;
  const error = ok ? '' : String(outcome.error || 'field not found');
  send({ type: MSG.FILL_RESULT, ...job.answer, ok, error });
  noteOutcome(ok ? `Filled "${job.value}"` : `Fill failed: ${error}`);
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
  const place = await placeOf(job.target, 'field');
  if (!place || place.error) return { done: before.then(() => reportFill(job, place)) };
  const outcome = runAt(job.target, 'field', 'fill', [job.target, job.value, false, job.flash], place);
  return { done: Promise.all([outcome, before]).then(([o]) => reportFill(job, o)) };
}

async function runUnit(job) {
  const loads = watchLoads();
  try {
    const filled = await runAt(job.target, 'field', 'fill', [job.target, job.value, job.pressEnter, job.flash]);
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

// ---- scan ------------------------------------------------------------------

async function scan() {
  await instanceReady;
  const [tab] = await chrome.tabs.query({ active: true, lastFocusedWindow: true });
  let fields = [];
  if (tab) {
    const answers = await withinLimit(chrome.scripting.executeScript({
      target: { tabId: tab.id, allFrames: true },
      func: () => globalThis.__fieldpost?.scan(),
    }).catch(() => []), []);
    const where = { instance: instanceId, ...pageOf(tab.url), tabId: tab.id };
    answers.sort((a, b) => (a.frameId === 0 ? -1 : b.frameId === 0 ? 1 : 0));
    fields = answers.flatMap((a) => (a.result?.fields || []).map((f) => (a.frameId === 0 ? { ...f, ...where }
      : { ...f, ...where, frameOrigin: a.result.origin, frameId: a.frameId })));
  }
  send({ type: MSG.FIELDS, url: tab ? tab.url || '' : '', title: tab ? tab.title || '' : '', fields });
}

// ---- feedback: a sound, and a bar in the picked page -----------------------

// Only the browser that picked the target gives feedback for it; no answer either way.
function feedback(message) {
  const target = asObject(message.target);
  if (!pickedHere(target)) return;
  if (SOUNDS.includes(message.sound)) play(message.sound).catch(() => {});
  if (typeof message.bar === 'string' && message.bar) showBar(target, message.bar).catch(() => {});
}

async function showBar(target, text) {
  const tabId = await findTab(target);
  if (tabId !== null) await callInPage({ tabId, frameId: 0 }, 'notice', [{ origin: target.origin, path: target.path }, text]);
}

// A worker cannot play sound: an offscreen document does, also while the tab is
// in the background. Made on the first sound, kept while Chromium keeps it.
let soundPage = null;

function soundPageReady() {
  soundPage ??= chrome.runtime.getContexts({ contextTypes: ['OFFSCREEN_DOCUMENT'] })
    .then((open) => open.length || chrome.offscreen.createDocument({
      url: SOUND_PAGE, reasons: ['AUDIO_PLAYBACK'], justification: 'Plays the sound of a line that failed or was filled.',
    }))
    .finally(() => { soundPage = null; });
  return soundPage;
}

async function play(sound) {
  await soundPageReady();
  await chrome.runtime.sendMessage({ type: LOCAL.PLAY, sound });
}

// The kinds of the tones the sound document started, newest last.
const tones = [];

// ---- pick mode -------------------------------------------------------------

// Every frame follows the state in session storage; the timer ends it even if
// no page is left to notice.
let pickTimer = null;

function startPick(kind) {
  clearTimeout(pickTimer);
  pickTimer = setTimeout(endPick, PICK_LIMIT_MS);
  status.picking = kind;
  chrome.storage.session.set({ [PICK_KEY]: { kind, until: Date.now() + PICK_LIMIT_MS } }).catch(() => {});
  showStatus();
}

function endPick() {
  clearTimeout(pickTimer);
  status.picking = null;
  chrome.storage.session.remove(PICK_KEY).catch(() => {});
  showStatus();
}

chrome.runtime.onMessage.addListener((message, sender) => {
  if (!message || sender.id !== chrome.runtime.id) return;
  if (message.type === LOCAL.TONE_STARTED && sender.url === chrome.runtime.getURL(SOUND_PAGE)) {
    tones.push(message.sound);
    tones.splice(0, tones.length - TONES_KEPT);
    return;
  }
  if (!sender.tab) return;
  if (message.type === LOCAL.PICK_CANCELLED) endPick();
  if (message.type !== LOCAL.PICKED || !status.picking) return;
  const kind = status.picking;
  endPick();
  instanceReady.then(async () => {
    // Kept before it leaves, so that a fill right after the pick finds it.
    const pickId = crypto.randomUUID();
    issuedPicks = [pickId, ...issuedPicks].slice(0, PICKS_KEPT);
    await chrome.storage.local.set({ picks: issuedPicks }).catch(() => {});
    const field = {
      ...asObject(message.field), instance: instanceId, pickId, ...pageOf(sender.tab.url), tabId: sender.tab.id,
    };
    if (sender.frameId !== 0) Object.assign(field, { frameOrigin: sender.origin, frameId: sender.frameId });
    if (kind === PICK_KIND.FIELD) noteDestination(field);
    send({ type: MSG.PICKED, kind, url: sender.tab.url || '', field });
  });
});

// ---- start and wake-up -----------------------------------------------------

chrome.storage.session.setAccessLevel({ accessLevel: 'TRUSTED_AND_UNTRUSTED_CONTEXTS' }).catch(() => {});
// A worker that starts has no link yet, so no pick mode either.
endPick();
chrome.alarms.onAlarm.addListener((alarm) => {
  if (alarm.name === RELINK_ALARM) connect();
});
chrome.runtime.onStartup.addListener(connect);
chrome.runtime.onInstalled.addListener(connect);

chrome.alarms.get(RELINK_ALARM).then((existing) => {
  if (!existing) chrome.alarms.create(RELINK_ALARM, { periodInMinutes: RELINK_PERIOD_MIN });
});
showLinkState(false);
connect();

// Reachable from the extension's own DevTools console, for trying requests by
// hand and seeing which tones the sound document started.
globalThis.fieldpost = { handleGatewayMessage, tones };
