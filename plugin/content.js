// Runs in every frame, in the extension's isolated world, after common.js. It
// handles pick mode itself; the worker calls fill, click and notice over a port
// and probe and scan through chrome.scripting.executeScript, which shares this
// world's globals. Messages: docs/plugin-protocol.md.
(() => {
  if (globalThis.__fieldpost) return;
  const { LOCAL, PICK_KEY, PICK_KIND, CALL_PORT } = globalThis.fieldpostCommon;

  const NOT_TEXT_TYPES = new Set([
    'hidden', 'button', 'submit', 'reset', 'image', 'checkbox', 'radio', 'file', 'range', 'color',
  ]);
  const BUTTON_SELECTOR = 'button, input[type=submit], input[type=button], input[type=reset], ' +
    'input[type=image], a[href], [role=button], summary';
  // How long a page has, after Enter or a click, to start a navigation that the
  // worker then waits for; form submissions start theirs one task later.
  const NAVIGATION_START_MS = 50;
  // Background tabs get no animation frames; they are not painted either.
  const FRAME_WAIT_LIMIT_MS = 100;
  const FLASH_MS = 400;
  const NOTICE_MS = 3000;

  // Native setters, taken once: frameworks such as React shadow "value" on the
  // element, and only the prototype's own setter gets past their tracking.
  const nativeValueSetters = new Map([
    ['input', Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'value').set],
    ['textarea', Object.getOwnPropertyDescriptor(HTMLTextAreaElement.prototype, 'value').set],
    ['select', Object.getOwnPropertyDescriptor(HTMLSelectElement.prototype, 'value').set],
  ]);

  const failed = (error, extra) => ({ ok: false, error, ...extra });
  const shadowOf = (el) => chrome.dom.openOrClosedShadowRoot(el);

  // ---- descriptors -------------------------------------------------------

  function squash(text) {
    return (text || '').replace(/\s+/g, ' ').trim();
  }

  function labelText(label) {
    const copy = label.cloneNode(true);
    for (const control of copy.querySelectorAll('input, select, textarea, button')) control.remove();
    return squash(copy.textContent);
  }

  function labelOf(el) {
    for (const label of el.labels || []) {
      const text = labelText(label);
      if (text) return text;
    }
    const named = squash(el.getAttribute('aria-label')) || squash(el.getAttribute('placeholder'));
    if (named) return named;
    if (el.matches(BUTTON_SELECTOR)) {
      const text = squash(el.localName === 'input' ? el.value : el.textContent);
      if (text) return text;
    }
    return squash(el.getAttribute('name')) || el.id || '';
  }

  function typeOf(el) {
    if (el.localName === 'input' || el.localName === 'button' || el.localName === 'select') return el.type || '';
    return el.localName === 'textarea' ? 'textarea' : '';
  }

  function takesText(el) {
    if (el.localName === 'input') return !NOT_TEXT_TYPES.has(el.type);
    return el.localName === 'textarea' || el.localName === 'select' || el.isContentEditable;
  }

  // A selector that finds el again inside root (its document or shadow root);
  // an id counts only while it is unique there.
  function cssPath(el, root) {
    const parts = [];
    for (let node = el; node && node.nodeType === Node.ELEMENT_NODE; node = node.parentElement) {
      if (node.id && root.querySelectorAll('#' + CSS.escape(node.id)).length === 1) {
        parts.unshift('#' + CSS.escape(node.id));
        break;
      }
      const siblings = node.parentElement ? node.parentElement.children : node.parentNode.children;
      const same = Array.prototype.filter.call(siblings, (s) => s.localName === node.localName);
      parts.unshift(CSS.escape(node.localName) + (same.length > 1 ? `:nth-of-type(${same.indexOf(node) + 1})` : ''));
    }
    return parts.join(' > ');
  }

  // Selectors of the shadow hosts, open or closed, between the document and el, outermost first.
  function shadowHostsOf(el) {
    const hosts = [];
    for (let root = el.getRootNode(); root instanceof ShadowRoot; root = root.host.getRootNode()) {
      hosts.unshift(cssPath(root.host, root.host.getRootNode()));
    }
    return hosts;
  }

  // The worker adds where: browser instance, page, tab and frame.
  function describe(el) {
    return {
      label: labelOf(el), tag: el.localName, type: typeOf(el), id: el.id || '', name: el.getAttribute('name') || '',
      css: cssPath(el, el.getRootNode()), shadowHosts: shadowHostsOf(el),
    };
  }

  // ---- finding an element again -----------------------------------------

  function all(root, selector) {
    try {
      return [...root.querySelectorAll(selector)];
    } catch (e) {
      return [];
    }
  }

  // The document a descriptor was picked in, or why this one is not it.
  function notHere(t, noun) {
    if (typeof t.frameOrigin === 'string') {
      return window !== top && location.origin === t.frameOrigin ? null
        : failed(`frame of the ${noun} is not open (${t.frameOrigin})`, { stale: true });
    }
    return window === top && location.origin === t.origin && location.pathname === t.path ? null
      : failed(`page of the ${noun} is not open (${t.origin}${t.path})`, { stale: true });
  }

  // By unique id, then name, then CSS path; the element must have the picked tag
  // and type. Equal candidates are never guessed between.
  function locate(t, noun) {
    let root = document;
    for (const sel of Array.isArray(t.shadowHosts) ? t.shadowHosts : []) {
      const [host] = all(root, sel);
      root = host && shadowOf(host);
      if (!root) return { error: `${noun} not found` };
    }
    const fits = (el) => el.localName === t.tag && (typeof t.type !== 'string' || typeOf(el) === t.type);
    const ways = [];
    if (t.id && typeof t.id === 'string') ways.push('#' + CSS.escape(t.id));
    if (t.name && typeof t.name === 'string') ways.push(`[name="${CSS.escape(t.name)}"]`);
    if (t.css && typeof t.css === 'string') ways.push(t.css);
    let ambiguous = false;
    for (const selector of ways) {
      const found = all(root, selector).filter(fits);
      if (found.length === 1) return { el: found[0] };
      ambiguous = ambiguous || found.length > 1;
    }
    return { error: ambiguous ? `${noun} is ambiguous` : `${noun} not found` };
  }

  function probe(t) {
    const here = !notHere(t, 'field');
    return { here, found: here && !!locate(t, 'field').el };
  }

  // ---- filling -----------------------------------------------------------

  function setValue(el, value) {
    if (el.localName === 'select') {
      const wanted = Array.prototype.find.call(el.options, (o) => o.value === value) ||
        Array.prototype.find.call(el.options, (o) => squash(o.text) === squash(value));
      if (!wanted) return null;
      nativeValueSetters.get('select').call(el, wanted.value);
      return wanted.value;
    }
    nativeValueSetters.get(el.localName).call(el, value);
    return value;
  }

  // Through the editing commands, so that editors see beforeinput and input as
  // from typing; Chromium gives no beforeinput for a command, so it is sent
  // first, and an editor that takes the text in itself cancels it.
  function editText(el, value) {
    el.ownerDocument.getSelection().selectAllChildren(el);
    const range = new StaticRange({ startContainer: el, startOffset: 0, endContainer: el, endOffset: el.childNodes.length });
    const before = new InputEvent('beforeinput', {
      bubbles: true, cancelable: true, composed: true, inputType: 'insertText', data: value, targetRanges: [range],
    });
    if (!el.dispatchEvent(before)) return;
    if (!document.execCommand('insertText', false, value) || el.textContent !== value) {
      el.textContent = value;
      el.dispatchEvent(new InputEvent('input', { bubbles: true, composed: true, inputType: 'insertText', data: value }));
    }
  }

  // Editors re-render on the next animation frame; a hidden tab has none to give.
  function nextFrame() {
    if (document.visibilityState !== 'visible') return new Promise((r) => setTimeout(r, 0));
    return new Promise((r) => {
      requestAnimationFrame(() => r());
      setTimeout(r, FRAME_WAIT_LIMIT_MS);
    });
  }

  // Inputs drop line breaks and some types trim blanks; that is not a refusal.
  function accepted(got, expected) {
    return got === expected || got === expected.replace(/[\r\n]/g, '').trim();
  }

  // Runs action and tells whether the document then began to leave for another one.
  function navigationAfter(action) {
    const nav = globalThis.navigation;
    return new Promise((resolve) => {
      const done = (leaving) => {
        nav?.removeEventListener('navigate', onNavigate);
        clearTimeout(timer);
        resolve(leaving);
      };
      const onNavigate = (e) => { if (!e.destination.sameDocument && !e.downloadRequest) done(true); };
      nav?.addEventListener('navigate', onNavigate);
      const timer = setTimeout(() => done(false), NAVIGATION_START_MS);
      action();
    });
  }

  function pressEnterKey(el) {
    const init = {
      key: 'Enter', code: 'Enter', keyCode: 13, which: 13, charCode: 0,
      bubbles: true, cancelable: true, composed: true, view: el.ownerDocument.defaultView,
    };
    let goOn = el.dispatchEvent(new KeyboardEvent('keydown', init));
    if (goOn) goOn = el.dispatchEvent(new KeyboardEvent('keypress', { ...init, charCode: 13 }));
    el.dispatchEvent(new KeyboardEvent('keyup', init));
    // Synthetic keys never submit; do what a real Enter in a one-line field does.
    if (!goOn || el.localName !== 'input' || !el.form) return;
    const form = el.form;
    const defaultButton = Array.prototype.find.call(form.elements, (c) =>
      (c.localName === 'button' || c.localName === 'input') && (c.type === 'submit' || c.type === 'image'));
    if (!defaultButton) form.requestSubmit();
    else if (!defaultButton.disabled) defaultButton.click();
  }

  async function fill(t, value, pressEnter, flash) {
    const elsewhere = notHere(t, 'field');
    if (elsewhere) return elsewhere;
    const { el, error } = locate(t, 'field');
    if (!el) return failed(error);
    if (!takesText(el)) return failed(`field cannot be filled (a ${el.localName} element)`);
    if (el.matches(':disabled') || el.readOnly === true) return failed('field is read-only or disabled');
    if (el !== el.ownerDocument.activeElement) el.focus({ preventScroll: true });
    const text = String(value);
    let expected = text;
    if (nativeValueSetters.has(el.localName)) {
      expected = setValue(el, text);
      if (expected === null) return failed('value not accepted (no such option)');
      el.dispatchEvent(new InputEvent('input', { bubbles: true, composed: true, inputType: 'insertReplacementText', data: text }));
      el.dispatchEvent(new Event('change', { bubbles: true }));
      // Controlled inputs put their own value back inside the input event.
      await Promise.resolve();
    } else {
      editText(el, text);
      await nextFrame();
    }
    const got = nativeValueSetters.has(el.localName) ? el.value : el.textContent;
    if (!accepted(got, expected)) return failed('value not accepted');
    // Only a sign: a page where it cannot be drawn keeps its fill all the same.
    if (flash) showFlash(el);
    const navigating = pressEnter ? await navigationAfter(() => pressEnterKey(el)) : false;
    return { ok: true, error: '', navigating };
  }

  async function click(t) {
    const elsewhere = notHere(t, 'button');
    if (elsewhere) return elsewhere;
    const { el, error } = locate(t, 'button');
    if (!el) return failed(error);
    if (el.matches(':disabled')) return failed('button is disabled');
    return { ok: true, error: '', navigating: await navigationAfter(() => el.click()) };
  }

  // ---- scanning: this document only, each frame answers for itself -------

  function collect(root, out) {
    for (const el of root.querySelectorAll('*')) {
      if (takesText(el) && !el.matches(':disabled') && el.readOnly !== true && el.getClientRects().length) {
        out.push(describe(el));
      }
      const inner = shadowOf(el);
      if (inner) collect(inner, out);
    }
    return out;
  }

  function scan() {
    return { fields: collect(document, []), title: document.title, origin: location.origin };
  }

  // ---- drawn over the page ----------------------------------------------

  // A host element of the extension's own, for the top layer: above the page's
  // own dialogs and popovers, and nothing of the page is changed to draw.
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

  // One outline, around the field filled last and drawn once per frame: a
  // burst of lines must not stack a layer (and a layout) per line.
  let flash = null;
  let flashed = null;
  let flashTimer = null;

  function showFlash(el) {
    const drawn = flashed !== null;
    flashed = el;
    if (!drawn) nextFrame().then(drawFlash);
  }

  function drawFlash() {
    const el = flashed;
    flashed = null;
    if (!flash) flash = topLayerHost('fieldpost-feedback', 'closed', '<div style="position: fixed; box-sizing: ' +
      'border-box; border: 3px solid #1f9d3a; border-radius: 4px"></div>');
    if (!flash.host.isConnected) {
      document.documentElement.appendChild(flash.host);
      flash.host.showPopover();
    }
    const r = el.getBoundingClientRect();
    Object.assign(flash.root.firstChild.style, {
      left: `${r.left - 3}px`, top: `${r.top - 3}px`, width: `${r.width + 6}px`, height: `${r.height + 6}px`,
    });
    clearTimeout(flashTimer);
    flashTimer = setTimeout(() => flash.host.remove(), FLASH_MS);
  }

  // The gateway's word on a line, across the top of the page the field was picked in.
  let notice = null;

  function showNotice(page, text) {
    const elsewhere = notHere(page, 'field');
    if (elsewhere) return elsewhere;
    notice?.host.remove();
    notice = showFor(NOTICE_MS, `<style>div { position: fixed; top: 0; left: 0; right: 0; padding: 8px 16px;
      background: #c62828; color: #fff; font: 600 15px/1.4 system-ui, sans-serif; text-align: center;
      box-shadow: 0 2px 8px rgba(0,0,0,.4); overflow-wrap: anywhere; }</style><div></div>`);
    notice.root.querySelector('div').textContent = text;
    return { ok: true, error: '' };
  }

  // ---- pick mode ---------------------------------------------------------

  let pickKind = null;
  let pickEnds = null;
  let overlay = null;
  let raisedOver = null;

  function makeOverlay() {
    const { host, root } = topLayerHost('fieldpost-pick-overlay', 'open', `<style>
      div { position: fixed; box-sizing: border-box; pointer-events: none; font: 12px/1.4 system-ui, sans-serif; }
      .box { border: 2px solid #1e6fd9; background: rgba(30,111,217,.12); border-radius: 3px; display: none; }
      .tag { color: #fff; background: #1e6fd9; padding: 1px 6px; border-radius: 3px; white-space: nowrap; display: none; }
      .bar { top: 8px; left: 50%; transform: translateX(-50%); color: #fff; background: #16325c; padding: 6px 14px;
             border-radius: 6px; box-shadow: 0 2px 8px rgba(0,0,0,.4); font-size: 14px; white-space: nowrap; }
    </style><div class="box"></div><div class="tag"></div><div class="bar"></div>`);
    const part = (name) => root.querySelector(name);
    return { host, box: part('.box'), tag: part('.tag'), bar: part('.bar') };
  }

  function showOverlay() {
    if (!overlay) overlay = makeOverlay();
    if (!overlay.host.isConnected) (document.documentElement || document).appendChild(overlay.host);
    // A modal opened after the overlay would cover it: go back on top.
    const modal = document.querySelector(':modal');
    if (!overlay.host.matches(':popover-open') || (modal && modal !== raisedOver)) {
      if (overlay.host.matches(':popover-open')) overlay.host.hidePopover();
      overlay.host.showPopover();
      raisedOver = modal;
    }
  }

  function showBar() {
    if (window !== top || !pickKind) return;
    if (document.readyState === 'loading') {
      document.addEventListener('DOMContentLoaded', showBar, { once: true });
      return;
    }
    showOverlay();
    const what = pickKind === PICK_KIND.BUTTON ? 'Click the button to press' : 'Click the field to fill';
    overlay.bar.textContent = `${what} · Esc cancels · ${location.origin}`;
  }

  function showOutline(el) {
    showOverlay();
    const r = el.getBoundingClientRect();
    Object.assign(overlay.box.style, {
      display: 'block', left: `${r.left}px`, top: `${r.top}px`, width: `${r.width}px`, height: `${r.height}px`,
    });
    overlay.tag.textContent = (labelOf(el) || el.localName) + (window === top ? '' : ` · ${location.origin}`);
    Object.assign(overlay.tag.style, {
      display: 'block', left: `${Math.max(0, r.left)}px`, top: `${r.top >= 22 ? r.top - 22 : r.bottom + 2}px`,
    });
    overlay.host.dataset.outlined = cssPath(el, el.getRootNode());
  }

  function hideOutline() {
    if (!overlay) return;
    overlay.box.style.display = 'none';
    overlay.tag.style.display = 'none';
    delete overlay.host.dataset.outlined;
  }

  // The worker keeps pick mode in session storage, so that every tab and frame,
  // also one loaded later, enters and leaves it together.
  function applyPick(state) {
    const live = state && Object.values(PICK_KIND).includes(state.kind) && state.until > Date.now();
    clearTimeout(pickEnds);
    pickKind = live ? state.kind : null;
    if (live) {
      pickEnds = setTimeout(() => applyPick(null), state.until - Date.now());
      showBar();
    } else if (overlay) {
      hideOutline();
      overlay.host.remove();
      raisedOver = null;
    }
  }

  function leavePick(type, field) {
    const kind = pickKind;
    applyPick(null);
    chrome.runtime.sendMessage({ type, kind, field }).catch(() => {});
  }

  // The deepest element at the event's point, closed shadow roots included.
  function elementAt(event) {
    let el = event.composedPath()[0];
    for (let root; el && el.nodeType === Node.ELEMENT_NODE && (root = shadowOf(el));) {
      const inner = root.elementFromPoint(event.clientX, event.clientY);
      if (!inner || inner === el) break;
      el = inner;
    }
    return el && el.nodeType === Node.ELEMENT_NODE ? el : null;
  }

  // What a click here would pick: in field mode only what takes text (a label
  // stands for its control), in button mode only what can be clicked.
  function pickTargetOf(event) {
    let el = elementAt(event);
    if (!el) return null;
    if (pickKind === PICK_KIND.BUTTON) return el.closest(BUTTON_SELECTOR);
    if (el.localName === 'label' && el.control) el = el.control;
    if (el.isContentEditable) {
      while (el.parentElement && el.parentElement.isContentEditable) el = el.parentElement;
      return el;
    }
    return takesText(el) ? el : null;
  }

  // Only the user's own input counts; what the page dispatches passes untouched.
  function onPointer(event) {
    if (!pickKind || !event.isTrusted) return;
    event.preventDefault();
    event.stopImmediatePropagation();
    if (event.type !== 'click') return;
    const el = pickTargetOf(event);
    if (el) leavePick(LOCAL.PICKED, describe(el));
  }

  function onMove(event) {
    if (!pickKind || !event.isTrusted) return;
    const el = pickTargetOf(event);
    if (el) showOutline(el); else hideOutline();
  }

  function onKey(event) {
    if (!pickKind || !event.isTrusted || event.key !== 'Escape') return;
    event.preventDefault();
    event.stopImmediatePropagation();
    leavePick(LOCAL.PICK_CANCELLED);
  }

  for (const type of ['pointerdown', 'mousedown', 'pointerup', 'mouseup', 'click', 'dblclick', 'auxclick',
    'contextmenu']) {
    window.addEventListener(type, onPointer, { capture: true });
  }
  window.addEventListener('mousemove', onMove, { capture: true, passive: true });
  // Leaving the document, or moving into a child frame, which outlines for itself.
  window.addEventListener('mouseout', (e) => { if (pickKind && !e.relatedTarget) hideOutline(); }, { capture: true });
  window.addEventListener('keydown', onKey, { capture: true });
  chrome.storage.session.get(PICK_KEY).then((got) => applyPick(got[PICK_KEY]), () => {});
  chrome.storage.onChanged.addListener((changes, area) => {
    if (area === 'session' && changes[PICK_KEY]) applyPick(changes[PICK_KEY].newValue);
  });

  globalThis.__fieldpost = { fill, click, probe, scan, notice: showNotice };
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
        result = await globalThis.__fieldpost[routine](...args);
      } catch (e) {
        result = failed(String(e && e.message));
      }
      lastDone = Date.now();
      port.postMessage({ id, result });
    });
  });
})();
