// What the extension draws over a page: the flash of filled fields and the
// gateway's notice bar (the pick overlay is content-pick.js's). Nothing of the
// page is changed to draw.
(() => {
  if (globalThis.__fieldpost?.ready) return;
  const fp = (globalThis.__fieldpost ??= {});

  // Background tabs get no animation frames; they are not painted either.
  const FRAME_WAIT_LIMIT_MS = 100;
  const FLASH_MS = 400;
  const NOTICE_MS = 3000;

  // Editors re-render on the next animation frame; a hidden tab has none to give.
  function nextFrame() {
    if (document.visibilityState !== 'visible') return new Promise((r) => setTimeout(r, 0));
    return new Promise((r) => {
      requestAnimationFrame(() => r());
      setTimeout(r, FRAME_WAIT_LIMIT_MS);
    });
  }

  // A host element of the extension's own, for the top layer: above the page's
  // own dialogs and popovers.
  function topLayerHost(name, mode, html) {
    const host = document.createElement(name);
    host.popover = 'manual';
    host.setAttribute('style', 'position: fixed; inset: 0; width: auto; height: auto; margin: 0; border: 0; ' +
      'padding: 0; background: transparent; overflow: visible; pointer-events: none;');
    const root = host.attachShadow({ mode });
    root.innerHTML = html;
    return { host, root };
  }

  // Feedback shown for a while, in a closed root that the page can neither read nor restyle.
  function showFor(ms, html) {
    const shown = topLayerHost('fieldpost-feedback', 'closed', html);
    document.documentElement.appendChild(shown.host);
    shown.host.showPopover();
    setTimeout(() => shown.host.remove(), ms);
    return shown;
  }

  // One layer, with an outline around each field filled since the last drawing,
  // drawn once per frame: a burst of lines must not stack a layer (and a
  // layout) per line. Its outlines are kept and moved, not made anew, so that
  // a stream of lines into one field changes nothing to draw between frames.
  let flash = null;
  const flashed = new Set();
  const boxes = [];
  let flashTimer = null;

  function showFlash(el) {
    if (!flashed.size) nextFrame().then(drawFlash);
    flashed.add(el);
  }

  function drawFlash() {
    if (!flash) {
      flash = topLayerHost('fieldpost-feedback', 'closed', '<style>div { position: fixed; box-sizing: border-box; ' +
        'border: 3px solid #1f9d3a; border-radius: 4px }</style>');
    }
    if (!flash.host.isConnected) {
      document.documentElement.appendChild(flash.host);
      flash.host.showPopover();
    }
    let i = 0;
    for (const el of flashed) {
      const r = el.getBoundingClientRect();
      const box = boxes[i] ??= flash.root.appendChild(document.createElement('div'));
      const place = `left: ${r.left - 3}px; top: ${r.top - 3}px; width: ${r.width + 6}px; height: ${r.height + 6}px`;
      if (box.dataset.place !== place) {
        box.style.cssText = place;
        box.dataset.place = place;
      }
      i++;
    }
    for (const box of boxes.splice(i)) box.remove();
    flashed.clear();
    clearTimeout(flashTimer);
    flashTimer = setTimeout(() => flash.host.remove(), FLASH_MS);
  }

  // The gateway's word on a line, across the top of the page the field was picked in.
  let notice = null;

  function showNotice(page, text) {
    const elsewhere = fp.notHere(page, 'field');
    if (elsewhere) return elsewhere;
    notice?.host.remove();
    notice = showFor(NOTICE_MS, `<style>div { position: fixed; top: 0; left: 0; right: 0; padding: 8px 16px;
      background: #c62828; color: #fff; font: 600 15px/1.4 system-ui, sans-serif; text-align: center;
      box-shadow: 0 2px 8px rgba(0,0,0,.4); overflow-wrap: anywhere; }</style><div></div>`);
    notice.root.querySelector('div').textContent = text;
    return { ok: true, error: '' };
  }

  Object.assign(fp, { nextFrame, topLayerHost, showFlash, notice: showNotice });
})();
