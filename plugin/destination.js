// The gateway's destination as the popup shows it: the names of its fields in
// order and, while each line fills the next field, which one is next; and the
// popup's Reset of that sequence, for the gateway to do.
import './common.js';
import { send } from './link.js';
import { onPopupMessage, showStatus, status } from './status.js';

const { LOCAL, MAX_FIELDS, MSG } = globalThis.fieldpostCommon;
// In session storage: a worker started again shows it still, a browser started again does not.
const KEY = 'sequence';

const sequenceReady = chrome.storage.session.get(KEY).then((stored) => {
  if (!stored[KEY]) return;
  status.sequence = stored[KEY];
  showStatus();
}, () => {});

export function showDestination(message) {
  const fields = (Array.isArray(message.fields) ? message.fields : [])
    .filter((f) => typeof f === 'string').slice(0, MAX_FIELDS);
  const sequence = { fields, next: typeof message.next === 'string' ? message.next : '' };
  sequenceReady.then(() => {
    status.sequence = sequence;
    chrome.storage.session.set({ [KEY]: sequence }).catch(() => {});
    showStatus();
  });
}

onPopupMessage((m) => {
  if (m.type === LOCAL.RESET_SEQUENCE) send({ type: MSG.SEQUENCE_RESET });
});
