// The gateway's scan: the fields of the tab in front, in every frame, for the
// gateway to show. They carry no pick id, so none of them is ever filled.
import './common.js';
import { instanceId, instanceReady } from './instance.js';
import { send } from './link.js';
import { pageOf, withinLimit } from './places.js';

const { MSG } = globalThis.fieldpostCommon;

export async function scan() {
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
