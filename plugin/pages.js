// The page in front: the active tab of the browser window that had focus
// last, told to the gateway once a link is proven and at every change of it,
// so that it knows which page the user is looking at.
import './common.js';
import { linked, onLinkUp, send } from './link.js';

const { MSG } = globalThis.fieldpostCommon;
const OWN_PAGES = chrome.runtime.getURL('');

let told = null; // url and title last sent on this link
let looking = null;
let lookAgain = false;

async function tell() {
  const [tab] = await chrome.tabs.query({ active: true, lastFocusedWindow: true }).catch(() => []);
  if (!tab || !linked()) return;
  const url = tab.url || '';
  const title = tab.title || '';
  if (url.startsWith(OWN_PAGES) || told === `${url}\n${title}`) return;
  told = `${url}\n${title}`;
  send({ type: MSG.ACTIVE_PAGE, url, title });
}

// No timer: events that come while the tabs are asked make one more look, at once.
function pageMayHaveChanged() {
  if (!linked()) return;
  if (looking) {
    lookAgain = true;
    return;
  }
  looking = (async () => {
    do {
      lookAgain = false;
      await tell();
    } while (lookAgain);
  })().finally(() => { looking = null; });
}

onLinkUp(() => {
  told = null;
  pageMayHaveChanged();
});
chrome.tabs.onActivated.addListener(pageMayHaveChanged);
chrome.tabs.onReplaced.addListener(pageMayHaveChanged);
chrome.tabs.onUpdated.addListener((tabId, change, tab) => {
  if (tab.active && (change.url !== undefined || change.title !== undefined)) pageMayHaveChanged();
});
chrome.windows.onFocusChanged.addListener((windowId) => {
  if (windowId !== chrome.windows.WINDOW_ID_NONE) pageMayHaveChanged();
});
