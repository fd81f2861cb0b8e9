// The toolbar popup: the worker's state, live while the popup is open.
// Messages: docs/plugin-protocol.md.
const { LOCAL, PICK_KIND, STATUS_PORT } = globalThis.fieldpostCommon;
const port = chrome.runtime.connect({ name: STATUS_PORT });
const $ = (id) => document.getElementById(id);

port.onMessage.addListener((status) => {
  $('link').textContent = status.connected ? 'Connected to the gateway' : 'Gateway not connected';
  $('link').className = status.connected ? 'on' : 'off';
  const d = status.destination;
  // The gateway's fields in order, with the page of the last one picked or filled here.
  const fields = status.sequence?.fields || [];
  $('destination').textContent = fields.length ? (d ? `on ${d.page}` : '')
    : d ? `${d.label || '(no name)'} on ${d.page}` : 'none picked in this browser';
  $('fields').hidden = !fields.length;
  $('fields').replaceChildren(...fields.map((name) => {
    const item = document.createElement('li');
    item.textContent = name || '(no name)';
    return item;
  }));
  const next = status.sequence?.next || '';
  $('sequence').hidden = !next;
  $('next').textContent = next;
  $('outcomes').replaceChildren(...status.outcomes.map((o) => {
    const item = document.createElement('li');
    item.textContent = `${new Date(o.at).toTimeString().slice(0, 8)} ${o.text}`;
    return item;
  }));
  if (!status.outcomes.length) $('outcomes').textContent = 'none yet';
  $('stop').hidden = !status.picking;
  // A pick goes to the gateway, so there is nothing to pick for without it.
  $('pickField').disabled = $('addField').disabled = $('pickButton').disabled = !status.connected;
});
$('stop').addEventListener('click', () => port.postMessage({ type: LOCAL.STOP_PICKING }));
$('pickField').addEventListener('click', () => port.postMessage({ type: LOCAL.START_PICKING, kind: PICK_KIND.FIELD }));
$('addField').addEventListener('click', () => port.postMessage({ type: LOCAL.START_PICKING, kind: PICK_KIND.FIELD, add: true }));
$('resetSequence').addEventListener('click', () => port.postMessage({ type: LOCAL.RESET_SEQUENCE }));
$('pickButton').addEventListener('click', () => port.postMessage({ type: LOCAL.START_PICKING, kind: PICK_KIND.BUTTON }));
