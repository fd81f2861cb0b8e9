// Pick mode: every frame follows the state in session storage; the timer ends
// it even if no page is left to notice. Started by the gateway for every
// browser linked to it, or from the popup for this browser alone; with add,
// the pick is one more field for the destination, not a new one.
import './common.js';
import { allowedReady, pageAllowed, restricted } from './allowed.js';
import { instanceId, instanceReady, issuePick } from './instance.js';
import { onLinkDown, send } from './link.js';
import { asObject, pageOf } from './places.js';
import { noteDestination, onPopupMessage, showStatus, status } from './status.js';

const { LOCAL, MSG, PICK_KEY, PICK_KIND } = globalThis.fieldpostCommon;
const PICK_LIMIT_MS = 60000;

let pickTimer = null;
// The gateway takes a pick only from a link it knows to be in pick mode, so a
// pick mode of the popup's is told to it, before any page can be clicked, and
// so is its end without a pick.
let fromPopup = false;
let adding = false;

export function kindOf(kind) {
  return kind === PICK_KIND.BUTTON ? PICK_KIND.BUTTON : PICK_KIND.FIELD;
}

export function startPick(kind, { popup = false, add = false } = {}) {
  if (popup) send({ type: MSG.PICK_MODE, enabled: true, kind, add });
  fromPopup = popup;
  adding = add;
  clearTimeout(pickTimer);
  pickTimer = setTimeout(cancelPick, PICK_LIMIT_MS);
  status.picking = kind;
  // ask: the administrator limits the pages, and each frame asks whether its tab shows one.
  const state = { kind, add, ask: restricted(), until: Date.now() + PICK_LIMIT_MS };
  chrome.storage.session.set({ [PICK_KEY]: state }).catch(() => {});
  showStatus();
}

export function endPick() {
  clearTimeout(pickTimer);
  status.picking = null;
  fromPopup = false;
  adding = false;
  chrome.storage.session.remove(PICK_KEY).catch(() => {});
  showStatus();
}

// Ended without a pick: Escape, the time limit, or the popup's stop.
function cancelPick() {
  if (fromPopup && status.picking) send({ type: MSG.PICK_MODE, enabled: false, kind: status.picking, add: adding });
  endPick();
}

onPopupMessage((m) => {
  if (m.type === LOCAL.STOP_PICKING) cancelPick();
  // Only worth it while a gateway is there to take the pick.
  if (m.type === LOCAL.START_PICKING && status.connected) {
    startPick(kindOf(m.kind), { popup: true, add: m.add === true });
  }
});
onLinkDown(endPick);

chrome.runtime.onMessage.addListener((message, sender) => {
  if (!message || sender.id !== chrome.runtime.id || !sender.tab) return;
  if (message.type === LOCAL.PICK_CANCELLED) cancelPick();
  if (message.type !== LOCAL.PICKED || !status.picking || !pageAllowed(sender.tab.url)) return;
  const [kind, add] = [status.picking, adding];
  endPick();
  instanceReady.then(async () => {
    const pickId = await issuePick();
    const field = {
      ...asObject(message.field), instance: instanceId, pickId, ...pageOf(sender.tab.url), tabId: sender.tab.id,
    };
    if (sender.frameId !== 0) Object.assign(field, { frameOrigin: sender.origin, frameId: sender.frameId });
    if (kind === PICK_KIND.FIELD) noteDestination(field);
    send({ type: MSG.PICKED, kind, add, url: sender.tab.url || '', field });
  });
});

chrome.runtime.onMessage.addListener((message, sender, answer) => {
  if (!message || message.type !== LOCAL.MAY_PICK || sender.id !== chrome.runtime.id || !sender.tab) return false;
  allowedReady.then(() => answer({ allowed: pageAllowed(sender.tab.url) }));
  return true;
});

chrome.storage.session.setAccessLevel({ accessLevel: 'TRUSTED_AND_UNTRUSTED_CONTEXTS' }).catch(() => {});
// A worker that starts has no link yet, so no pick mode either.
endPick();
