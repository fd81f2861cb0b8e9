// The link to this user's gateway. The native host says where the gateway
// listens and gives the key; the plugin never tries a port of its own, since on
// a shared computer another user's gateway, or any program, may hold it. Until
// the gateway has proven it holds the key, the plugin sends nothing but its
// hello and its proof and obeys nothing. After any closed link it asks the host
// again: the gateway may have moved, or its key been renewed.
import './common.js';
import { Handshake, importLinkKey } from './proof.js';
import { instanceId, instanceReady } from './instance.js';
import { showLinkState } from './status.js';

const { MSG, NATIVE_HOST } = globalThis.fieldpostCommon;
const VERSION = chrome.runtime.getManifest().version;
const FIRST_RETRY_MS = 250;
const LAST_RETRY_MS = 5000;
// From the socket's creation, so that a program that takes the connection and
// says nothing does not hold the link either.
const PROOF_LIMIT_MS = 5000;
const HOST_LIMIT_MS = 5000;
// An idle WebSocket does not keep the worker alive: only traffic does, and the
// worker is stopped 30 s after the last message.
const KEEPALIVE_MS = 20000;
const RELINK_ALARM = 'fieldpost-relink';
const RELINK_PERIOD_MIN = 0.5;

let attempt = null; // from asking the host until the link closes
let proven = null; // the socket, once its gateway has proven itself
let retryMs = FIRST_RETRY_MS;
let retryTimer = null;
let keepaliveTimer = null;
const messageHandlers = [];
const downHandlers = [];
const upHandlers = [];

// What the gateway asks, once the link is proven.
export function onGatewayMessage(handler) {
  messageHandlers.push(handler);
}

// Nothing waits for a link that is down: a result or a pick from before a
// reconnection would be taken for a new one.
export function onLinkDown(handler) {
  downHandlers.push(handler);
}

// Once a link is proven: what the gateway is to know from the start.
export function onLinkUp(handler) {
  upHandlers.push(handler);
}

export function linked() {
  return proven !== null && proven.readyState === WebSocket.OPEN;
}

export function send(message) {
  if (proven && proven.readyState === WebSocket.OPEN) proven.send(JSON.stringify(message));
}

function browserName() {
  const brands = (navigator.userAgentData?.brands || []).map((b) => b.brand);
  if (brands.includes('Microsoft Edge')) return 'Edge';
  if (brands.includes('Google Chrome')) return 'Chrome';
  return 'Chromium';
}

// { port, key } of this user's gateway, or null: no host registered, no gateway running, or no usable answer.
async function askHost() {
  let limit;
  const late = new Promise((resolve) => { limit = setTimeout(resolve, HOST_LIMIT_MS, null); });
  const answer = await Promise.race([chrome.runtime.sendNativeMessage(NATIVE_HOST, { type: 'link' }), late])
    .catch(() => null).finally(() => clearTimeout(limit));
  if (!answer || answer.type !== 'link' || !Number.isInteger(answer.port) || answer.port < 1 || answer.port > 65535) {
    return null;
  }
  const key = await importLinkKey(answer.key).catch(() => null);
  return key && { port: answer.port, key };
}

export function connect() {
  if (attempt) return;
  clearTimeout(retryTimer);
  retryTimer = null;
  const current = { ws: null };
  attempt = current;
  askHost().then((gateway) => {
    if (gateway) open(current, gateway);
    else closed(current);
  });
}

function open(current, { port, key }) {
  const handshake = new Handshake(key, port);
  let ws;
  try {
    ws = new WebSocket(`ws://127.0.0.1:${port}`);
  } catch (e) {
    closed(current);
    return;
  }
  current.ws = ws;
  const deadline = setTimeout(() => ws.close(), PROOF_LIMIT_MS);
  ws.onopen = () => {
    // The hello names this browser, so it waits for the stored instance id.
    instanceReady.then(() => {
      if (ws.readyState !== WebSocket.OPEN) return;
      ws.send(JSON.stringify(handshake.hello({ version: VERSION, instance: instanceId, browser: browserName() })));
    });
  };
  ws.onmessage = async (event) => {
    const message = parsed(event.data);
    if (!message) return;
    if (proven === ws) {
      for (const handler of messageHandlers) handler(message);
      return;
    }
    const outcome = await handshake.receive(message);
    if (!outcome || ws.readyState !== WebSocket.OPEN) return;
    if (outcome.refused) {
      ws.close();
      return;
    }
    clearTimeout(deadline);
    ws.send(JSON.stringify(outcome.proof));
    proven = ws;
    retryMs = FIRST_RETRY_MS;
    keepaliveTimer = setInterval(() => send({ type: MSG.KEEPALIVE }), KEEPALIVE_MS);
    showLinkState(true);
    for (const handler of upHandlers) handler();
  };
  ws.onclose = () => {
    clearTimeout(deadline);
    closed(current);
  };
  // An error is always followed by close, which does the work.
  ws.onerror = () => {};
}

function parsed(data) {
  if (typeof data !== 'string') return null;
  try {
    const message = JSON.parse(data);
    return message && typeof message === 'object' && !Array.isArray(message) ? message : null;
  } catch (e) {
    return null;
  }
}

function closed(current) {
  if (attempt !== current) return;
  attempt = null;
  proven = null;
  clearInterval(keepaliveTimer);
  keepaliveTimer = null;
  for (const handler of downHandlers) handler();
  showLinkState(false);
  retryTimer = setTimeout(connect, retryMs);
  retryMs = Math.min(retryMs * 2, LAST_RETRY_MS);
}

chrome.alarms.onAlarm.addListener((alarm) => {
  if (alarm.name === RELINK_ALARM) connect();
});
chrome.runtime.onStartup.addListener(connect);
chrome.runtime.onInstalled.addListener(connect);
chrome.alarms.get(RELINK_ALARM).then((existing) => {
  if (!existing) chrome.alarms.create(RELINK_ALARM, { periodInMinutes: RELINK_PERIOD_MIN });
});
