// What the toolbar shows: the icon and its title, and the popup, which listens
// on a port while it is open. Connected means a proven link, never just an open socket.
import './common.js';

const { STATUS_PORT } = globalThis.fieldpostCommon;
const OUTCOMES_SHOWN = 5;

// sequence: the gateway's destination, { fields, next }.
export const status = { connected: false, picking: null, destination: null, sequence: null, outcomes: [] };
const statusPorts = new Set();
const popupHandlers = [];

const statusReady = chrome.storage.local.get('destination').then((stored) => {
  if (stored.destination) status.destination = stored.destination;
}, () => {});

export function showStatus() {
  for (const port of statusPorts) port.postMessage(status);
}

export function noteOutcome(text) {
  status.outcomes.unshift({ text, at: Date.now() });
  status.outcomes.length = Math.min(status.outcomes.length, OUTCOMES_SHOWN);
  showStatus();
}

export function noteDestination(field) {
  const page = `${field.origin || ''}${field.path || ''}`;
  const label = typeof field.label === 'string' ? field.label : '';
  if (status.destination && status.destination.label === label && status.destination.page === page) return;
  status.destination = { label, page };
  chrome.storage.local.set({ destination: status.destination }).catch(() => {});
  showStatus();
}

export function showLinkState(connected) {
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

// What the popup asks for (picking) is another module's to do.
export function onPopupMessage(handler) {
  popupHandlers.push(handler);
}

chrome.runtime.onConnect.addListener((port) => {
  if (port.name !== STATUS_PORT || !port.sender.url?.startsWith(chrome.runtime.getURL(''))) return;
  statusPorts.add(port);
  port.onDisconnect.addListener(() => statusPorts.delete(port));
  port.onMessage.addListener((m) => {
    if (m && typeof m === 'object') for (const handler of popupHandlers) handler(m);
  });
  statusReady.then(() => port.postMessage(status), () => {});
});
