// The extension's service worker: keeps the WebSocket link to the gateway and
// carries its requests into the pages. Every listener is registered at the top
// level so that a worker woken by an event finds it.

const GATEWAY_URL = 'ws://127.0.0.1:9000';
const VERSION = chrome.runtime.getManifest().version;
const FIRST_RETRY_MS = 250;
const LAST_RETRY_MS = 5000;
// An idle WebSocket does not keep the worker alive: only traffic does, and the
// worker is stopped 30 s after the last message.
const KEEPALIVE_MS = 20000;
const RELINK_ALARM = 'fieldpost-relink';
const RELINK_PERIOD_MIN = 0.5;
// Messages for the gateway wait here while the link is down (a pick made while
// reconnecting, a late result); the oldest go first when it overflows.
const OUTBOX_LIMIT = 64;
const MAX_CLICK_DELAY_MS = 60000;

let socket = null;
let retryMs = FIRST_RETRY_MS;
let retryTimer = null;
let keepaliveTimer = null;
const outbox = [];

// ---- toolbar -------------------------------------------------------------

function showLinkState(connected) {
  const state = connected ? 'connected' : 'disconnected';
  chrome.action.setIcon({
    path: { 16: `icons/${state}-16.png`, 32: `icons/${state}-32.png` },
  }).catch(() => {});
  chrome.action.setTitle({
    title: connected ? 'Fieldpost: connected to the gateway' : 'Fieldpost: gateway not connected',
  }).catch(() => {});
}

// ---- link ----------------------------------------------------------------

function send(message) {
  if (socket && socket.readyState === WebSocket.OPEN) {
    socket.send(JSON.stringify(message));
    return;
  }
  outbox.push(message);
  if (outbox.length > OUTBOX_LIMIT) outbox.shift();
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
  if (retryTimer !== null) {
    clearTimeout(retryTimer);
    retryTimer = null;
  }
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
    ws.send(JSON.stringify({ type: 'hello', version: VERSION }));
    while (outbox.length && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(outbox.shift()));
    clearInterval(keepaliveTimer);
    keepaliveTimer = setInterval(() => {
      if (ws.readyState === WebSocket.OPEN) ws.send('{"type":"keepalive"}');
    }, KEEPALIVE_MS);
    showLinkState(true);
  };
  ws.onmessage = (event) => {
    if (typeof event.data === 'string') handleGatewayText(event.data);
  };
  ws.onclose = () => {
    if (socket !== ws) return;
    socket = null;
    clearInterval(keepaliveTimer);
    keepaliveTimer = null;
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
    case 'pickMode':
      setPickMode(message.enabled === true, typeof message.kind === 'string' ? message.kind : 'field');
      break;
    case 'fill':
      fill(message);
      break;
    case 'scan':
      scan();
      break;
    default:
      break; // "hello" and anything newer need no answer
  }
}

// ---- tabs ----------------------------------------------------------------

function withoutHash(url) {
  const cut = typeof url === 'string' ? url.indexOf('#') : -1;
  return cut < 0 ? url : url.slice(0, cut);
}

function sameAddress(tabUrl, wanted) {
  return !wanted || withoutHash(tabUrl) === withoutHash(wanted);
}

// Resolved tabs, by target, until any tab navigates, closes or changes focus:
// a burst of fills then costs one tab lookup instead of one each.
const tabCache = new Map();

async function activeTab() {
  const [tab] = await chrome.tabs.query({ active: true, lastFocusedWindow: true });
  if (tab) return tab;
  const [any] = await chrome.tabs.query({ active: true });
  return any || null;
}

// The tab a descriptor points at: the tab it was picked in while that still
// shows the same page, else a tab showing that page, else the active tab.
async function resolveTab(target) {
  const url = typeof target.url === 'string' ? target.url : '';
  const key = `${target.tabId}|${url}`;
  if (tabCache.has(key)) return tabCache.get(key);
  let tabId = null;
  if (Number.isInteger(target.tabId)) {
    try {
      const tab = await chrome.tabs.get(target.tabId);
      if (sameAddress(tab.url, url)) tabId = tab.id;
    } catch (e) {
      tabId = null;
    }
  }
  if (tabId === null && url) {
    const tabs = await chrome.tabs.query({});
    const showing = tabs.filter((t) => sameAddress(t.url, url));
    const pick = showing.find((t) => t.active) || showing[0];
    if (pick) tabId = pick.id;
  }
  if (tabId === null) {
    const tab = await activeTab();
    tabId = tab ? tab.id : null;
  }
  tabCache.set(key, tabId);
  return tabId;
}

chrome.tabs.onUpdated.addListener((tabId, change) => {
  if (change.url !== undefined || change.status === 'loading') tabCache.clear();
});
chrome.tabs.onRemoved.addListener(() => tabCache.clear());
chrome.tabs.onReplaced.addListener(() => tabCache.clear());
chrome.tabs.onActivated.addListener((info) => {
  tabCache.clear();
  if (pickKind) enablePickIn(info.tabId, pickKind);
});
chrome.windows.onFocusChanged.addListener(() => tabCache.clear());

// ---- running code in pages -----------------------------------------------

// Runs one of the content script's routines in a frame of a tab. Tabs opened
// before the extension was loaded have no content script yet: inject it once.
async function callInPage(tabId, frameId, routine, args) {
  const run = async () => {
    const [first] = await chrome.scripting.executeScript({
      target: { tabId, frameIds: [frameId] },
      func: (name, list) => (globalThis.__fieldpost ? globalThis.__fieldpost[name](...list) : { missing: true }),
      args: [routine, args],
    });
    return first ? first.result : undefined;
  };
  let result = await run();
  if (result && result.missing) {
    await chrome.scripting.executeScript({ target: { tabId, allFrames: true }, files: ['content.js'] });
    result = await run();
  }
  return result;
}

function frameOf(target) {
  return target.crossOrigin === true && Number.isInteger(target.frameId) ? target.frameId : 0;
}

function plainError(error, fallback) {
  const text = error && error.message ? error.message : String(error || '');
  return text ? `${fallback} (${text})` : fallback;
}

function asObject(value) {
  return value && typeof value === 'object' && !Array.isArray(value) ? value : {};
}

// Tabs are resolved one fill after the other so that requests reach a page in
// the order the gateway sent them; the page work itself overlaps.
let fillQueue = Promise.resolve();

function fill(message) {
  const target = asObject(message.target);
  const button = asObject(message.button);
  const value = typeof message.value === 'string' ? message.value : '';
  const pressEnter = message.pressEnter === true;
  const clickButton = message.clickButton === true;
  const delay = Number.isFinite(message.clickDelayMs)
    ? Math.min(Math.max(message.clickDelayMs, 0), MAX_CLICK_DELAY_MS) : 300;

  const tabReady = fillQueue.then(() => resolveTab(target)).catch(() => null);
  fillQueue = tabReady;
  tabReady.then(async (tabId) => {
    let outcome;
    if (tabId === null) {
      outcome = { ok: false, error: 'field not found (no browser tab)' };
    } else {
      try {
        outcome = await callInPage(tabId, frameOf(target), 'fill', [target, value, pressEnter]);
      } catch (e) {
        outcome = { ok: false, error: plainError(e, 'field not found') };
      }
    }
    const ok = !!(outcome && outcome.ok === true);
    send({ type: 'fillResult', ok, error: ok ? '' : String((outcome && outcome.error) || 'field not found') });
    if (clickButton) {
      if (!ok) {
        send({ type: 'buttonClicked', ok: false, error: 'button not clicked: the fill failed' });
      } else {
        setTimeout(() => clickAfterFill(button), delay);
      }
    }
  });
}

async function clickAfterFill(button) {
  let outcome;
  try {
    const tabId = await resolveTab(button);
    outcome = tabId === null ? { ok: false, error: 'button not found (no browser tab)' }
      : await callInPage(tabId, frameOf(button), 'click', [button]);
  } catch (e) {
    outcome = { ok: false, error: plainError(e, 'button not found') };
  }
  const ok = !!(outcome && outcome.ok === true);
  send({ type: 'buttonClicked', ok, error: ok ? '' : String((outcome && outcome.error) || 'button not found') });
}

async function scan() {
  const tab = await activeTab().catch(() => null);
  let fields = [];
  let title = tab ? tab.title || '' : '';
  if (tab) {
    try {
      const found = await callInPage(tab.id, 0, 'scan', []);
      if (found && Array.isArray(found.fields)) {
        fields = found.fields.map((f) => ({ ...f, tabId: tab.id, url: tab.url || '' }));
        title = found.title || title;
      }
    } catch (e) {
      fields = [];
    }
  }
  send({ type: 'fields', url: tab ? tab.url || '' : '', title, fields });
}

// ---- pick mode -----------------------------------------------------------

let pickKind = null;
const pickTabs = new Set();

function enablePickIn(tabId, kind) {
  pickTabs.add(tabId);
  return chrome.scripting.executeScript({
    target: { tabId, allFrames: true },
    func: (k) => globalThis.__fieldpost && globalThis.__fieldpost.pick(k),
    args: [kind],
  }).catch(() => {});
}

async function setPickMode(enabled, kind) {
  pickKind = enabled ? kind : null;
  if (enabled) {
    const tabs = await chrome.tabs.query({ active: true }).catch(() => []);
    await Promise.all(tabs.map((t) => enablePickIn(t.id, kind)));
    return;
  }
  const tabs = [...pickTabs];
  pickTabs.clear();
  await Promise.all(tabs.map((id) => chrome.scripting.executeScript({
    target: { tabId: id, allFrames: true },
    func: () => globalThis.__fieldpost && globalThis.__fieldpost.pick(null),
  }).catch(() => {})));
}

chrome.runtime.onMessage.addListener((message, sender) => {
  if (!message || !sender.tab) return;
  // The other frames of the tab may still be picking, also after a worker restart.
  if (message.type === 'picked' || message.type === 'pickCancelled') pickTabs.add(sender.tab.id);
  if (message.type === 'picked') {
    const field = asObject(message.field);
    field.tabId = sender.tab.id;
    field.url = sender.tab.url || '';
    if (field.crossOrigin === true) field.frameId = sender.frameId;
    send({ type: 'picked', kind: typeof message.kind === 'string' ? message.kind : 'field', url: field.url, field });
    setPickMode(false);
  } else if (message.type === 'pickCancelled') {
    setPickMode(false);
  }
});

// ---- start and wake-up ---------------------------------------------------

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

// Reachable from the extension's own DevTools console, for trying requests by hand.
globalThis.fieldpost = { handleGatewayMessage };
