// The last of the page side's scripts (see content-find.js): the scan, and the
// worker's calls. The worker calls fill, fillAll, check, click and notice over
// a port, and probe and scan through chrome.scripting.executeScript, which
// shares this world's globals.
(() => {
  if (globalThis.__fieldpost?.ready) return;
  const fp = (globalThis.__fieldpost ??= {});
  const { CALL_PORT } = globalThis.fieldpostCommon;
  const ROUTINES = new Set(['fill', 'fillAll', 'check', 'click', 'notice']);

  // This document only: each frame answers for itself.
  function collect(root, out) {
    for (const el of root.querySelectorAll('*')) {
      if (fp.takesText(el) && !el.matches(':disabled') && el.readOnly !== true && el.getClientRects().length) {
        out.push(fp.describe(el));
      }
      const inner = fp.shadowOf(el);
      if (inner) collect(inner, out);
    }
    return out;
  }

  fp.scan = () => ({ fields: collect(document, []), title: document.title, origin: location.origin });

  // The worker's calls, answered by number; a call starts when it arrives, so
  // calls land in the order sent. One that arrives after its time (this page
  // was busy) has been failed by the worker already and is not acted on.
  let lastDone = Date.now();
  chrome.runtime.onConnect.addListener((port) => {
    if (port.name !== CALL_PORT) return;
    port.onMessage.addListener(async ({ id, routine, args, sent, limit }) => {
      // Past its limit while this frame answered nothing (a page busy all that
      // while), the worker has given the call up: it must not happen now.
      const now = Date.now();
      if (now - sent > limit && now - lastDone > limit) return;
      let result;
      try {
        if (!ROUTINES.has(routine)) throw new Error(`no routine ${routine}`);
        result = await fp[routine](...args);
      } catch (e) {
        result = fp.failed(String(e && e.message));
      }
      lastDone = Date.now();
      port.postMessage({ id, result });
    });
  });
  fp.ready = true;
})();
