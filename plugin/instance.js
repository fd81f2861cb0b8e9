// This browser's identity. Random and kept, so that of several browsers linked
// to one gateway only the one that picked an element fills it. The pick ids
// this browser issued, newest first: only an element picked here, with a
// descriptor made here, is filled.
const PICKS_KEPT = 50;

export let instanceId = null;
let issuedPicks = [];

export const instanceReady = chrome.storage.local.get(['instanceId', 'picks']).then(async (stored) => {
  if (Array.isArray(stored.picks)) issuedPicks = stored.picks;
  instanceId = stored.instanceId;
  if (typeof instanceId !== 'string' || !instanceId) {
    instanceId = crypto.randomUUID();
    await chrome.storage.local.set({ instanceId });
  }
});

// Kept before it leaves, so that a fill right after the pick finds it.
export async function issuePick() {
  const pickId = crypto.randomUUID();
  issuedPicks = [pickId, ...issuedPicks].slice(0, PICKS_KEPT);
  await chrome.storage.local.set({ picks: issuedPicks }).catch(() => {});
  return pickId;
}

// Picked here: made by this browser's own pick, not copied from a page's
// address, a scan or an earlier version. Another browser's element is that
// browser's to serve.
export function pickedHere(d) {
  return d.instance === instanceId && typeof d.pickId === 'string' && issuedPicks.includes(d.pickId);
}

export function anotherBrowsers(d) {
  return typeof d.instance === 'string' && d.instance !== '' && d.instance !== instanceId;
}
