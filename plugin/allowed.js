// The pages the administrator allows, from the browser's policy for this
// extension (managed storage, allowedPages): when the list is set, only a page
// whose address matches one of its entries is filled or picked in. An entry
// is an address prefix, or a regular expression written /…/.
import './common.js';

export const NOT_ALLOWED = 'page not allowed by the administrator';
const KEY = 'allowedPages';
// The browser hands an extension its policy some seconds after it starts, and
// until then managed storage reads empty. So the last list seen is kept, and
// holds until the policy has come or this long has passed.
const SEEN_KEY = 'allowedPagesSeen';
const POLICY_LATE_MS = 15000;

let rules = null; // null: no list, every page
let policyCame = false;
const warned = new Set();

function ruleOf(entry) {
  if (typeof entry !== 'string' || !entry) return null;
  if (entry.length > 1 && entry.startsWith('/') && entry.endsWith('/')) {
    try {
      const re = new RegExp(entry.slice(1, -1));
      return (url) => re.test(url);
    } catch (e) {
      return null;
    }
  }
  return (url) => url.startsWith(entry);
}

// A list whose entries are all unusable still limits: to no page at all.
function rulesOf(list) {
  if (!Array.isArray(list) || !list.length) return null;
  const usable = [];
  for (const entry of list) {
    const rule = ruleOf(entry);
    if (rule) {
      usable.push(rule);
    } else if (!warned.has(JSON.stringify(entry))) {
      warned.add(JSON.stringify(entry));
      console.warn(`Fieldpost: the administrator's allowedPages entry ${JSON.stringify(entry)} is not usable; ignored`);
    }
  }
  return usable;
}

function take(list) {
  policyCame = true;
  rules = rulesOf(list);
  (rules ? chrome.storage.local.set({ [SEEN_KEY]: list }) : chrome.storage.local.remove(SEEN_KEY)).catch(() => {});
}

// Fills wait only for the list seen last (local storage answers at once):
// managed storage answers seconds after the browser starts, and a line must
// not wait that long. Without a list seen before, pages are allowed until the
// policy comes.
const seenRead = chrome.storage.local.get(SEEN_KEY).catch(() => ({}));
let settled = false;
export const allowedReady = seenRead.then((seen) => {
  if (!policyCame && seen[SEEN_KEY]) rules = rulesOf(seen[SEEN_KEY]);
  settled = true;
});
// Whether allowedReady has settled, for a caller that decides without waiting.
export const allowedKnown = () => settled;

Promise.all([chrome.storage.managed.get(KEY).catch(() => ({})), seenRead]).then(([managed, seen]) => {
  if (policyCame) return;
  if (managed[KEY] !== undefined) {
    take(managed[KEY]);
  } else if (seen[SEEN_KEY]) {
    setTimeout(() => {
      if (!policyCame) chrome.storage.managed.get(KEY).then((m) => take(m[KEY]), () => take(undefined));
    }, POLICY_LATE_MS);
  }
});

chrome.storage.managed.onChanged.addListener((changes) => {
  if (changes[KEY]) take(changes[KEY].newValue);
});

// Whether a list is in force; then a page must match it.
export function restricted() {
  return rules !== null;
}

export function pageAllowed(url) {
  return rules === null || rules.some((rule) => rule(typeof url === 'string' ? url : ''));
}

