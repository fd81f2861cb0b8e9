// Runs in every frame, in the extension's isolated world. It handles pick mode
// itself; the worker reaches fill, click and scan through
// chrome.scripting.executeScript, which shares this world's globals and answers
// faster than a message round trip.
(() => {
  if (globalThis.__fieldpost) return;

  const FIELD_TAGS = new Set(['input', 'textarea', 'select']);
  const NOT_FILLABLE_TYPES = new Set([
    'hidden', 'button', 'submit', 'reset', 'image', 'checkbox', 'radio', 'file', 'range', 'color',
  ]);
  const BUTTON_SELECTOR = 'button, input[type=submit], input[type=button], input[type=reset], ' +
    'input[type=image], a[href], [role=button], summary';

  // Native setters, taken once: frameworks such as React shadow "value" on the
  // element, and only the prototype's own setter gets past their tracking.
  const nativeValueSetters = new Map([
    ['input', Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'value').set],
    ['textarea', Object.getOwnPropertyDescriptor(HTMLTextAreaElement.prototype, 'value').set],
    ['select', Object.getOwnPropertyDescriptor(HTMLSelectElement.prototype, 'value').set],
  ]);

  // ---- descriptors -------------------------------------------------------

  function squash(text) {
    return (text || '').replace(/\s+/g, ' ').trim();
  }

  function labelText(label) {
    const copy = label.cloneNode(true);
    for (const control of copy.querySelectorAll('input, select, textarea, button')) control.remove();
    return squash(copy.textContent);
  }

  function isButtonLike(el) {
    return el.matches(BUTTON_SELECTOR);
  }

  function labelOf(el) {
    for (const label of el.labels || []) {
      const text = labelText(label);
      if (text) return text;
    }
    const aria = squash(el.getAttribute('aria-label'));
    if (aria) return aria;
    const placeholder = squash(el.getAttribute('placeholder'));
    if (placeholder) return placeholder;
    if (isButtonLike(el)) {
      const text = squash(el.localName === 'input' ? el.value : el.textContent);
      if (text) return text;
    }
    return squash(el.getAttribute('name')) || el.id || '';
  }

  function typeOf(el) {
    if (el.localName === 'input' || el.localName === 'button' || el.localName === 'select') return el.type || '';
    if (el.localName === 'textarea') return 'textarea';
    return '';
  }

  // A selector that finds el again inside root (its document or shadow root).
  function cssPath(el, root) {
    const parts = [];
    for (let node = el; node && node.nodeType === Node.ELEMENT_NODE; node = node.parentElement) {
      if (node.id && root.querySelectorAll('#' + CSS.escape(node.id)).length === 1) {
        parts.unshift('#' + CSS.escape(node.id));
        break;
      }
      let part = CSS.escape(node.localName);
      const parent = node.parentElement;
      const siblings = parent ? parent.children : (node.parentNode ? node.parentNode.children : []);
      const same = Array.prototype.filter.call(siblings, (s) => s.localName === node.localName);
      if (same.length > 1) part += `:nth-of-type(${same.indexOf(node) + 1})`;
      parts.unshift(part);
      if (!parent) break;
    }
    return parts.join(' > ');
  }

  // Selectors of the shadow hosts between el's document and el, outermost first.
  function shadowHostsOf(el) {
    const hosts = [];
    for (let root = el.getRootNode(); root instanceof ShadowRoot; root = root.host.getRootNode()) {
      hosts.unshift(cssPath(root.host, root.host.getRootNode()));
    }
    return hosts;
  }

  // The frame elements from the top document down to el's document. Stops at a
  // parent of another origin; the worker then remembers the frame by its id.
  function framesOf(el) {
    const frames = [];
    let crossOrigin = false;
    for (let win = el.ownerDocument.defaultView; win && win !== win.top; win = win.parent) {
      let frameEl = null;
      try { frameEl = win.frameElement; } catch (e) { frameEl = null; }
      if (!frameEl) { crossOrigin = true; break; }
      frames.unshift({ css: cssPath(frameEl, frameEl.getRootNode()), shadowHosts: shadowHostsOf(frameEl) });
    }
    return { frames, crossOrigin };
  }

  function describe(el) {
    const { frames, crossOrigin } = framesOf(el);
    const field = {
      label: labelOf(el),
      tag: el.localName,
      type: typeOf(el),
      id: el.id || '',
      name: el.getAttribute('name') || '',
      css: cssPath(el, el.getRootNode()),
      shadowHosts: shadowHostsOf(el),
      frames,
    };
    if (crossOrigin) {
      field.crossOrigin = true;
      field.frameUrl = location.href;
    }
    return field;
  }

  // ---- finding an element again -----------------------------------------

  function enterHosts(root, hosts) {
    for (const sel of hosts || []) {
      let host = null;
      try { host = root.querySelector(sel); } catch (e) { host = null; }
      if (!host || !host.shadowRoot) return null;
      root = host.shadowRoot;
    }
    return root;
  }

  function locate(t) {
    if (!t || typeof t !== 'object') return null;
    let doc = document;
    // A target picked behind another origin is searched from its own frame.
    for (const f of (t.crossOrigin ? [] : (Array.isArray(t.frames) ? t.frames : []))) {
      const root = enterHosts(doc, f && f.shadowHosts);
      let frameEl = null;
      try { frameEl = root && root.querySelector(f.css); } catch (e) { frameEl = null; }
      try { doc = frameEl && frameEl.contentDocument; } catch (e) { doc = null; }
      if (!doc) return null;
    }
    const root = enterHosts(doc, t.shadowHosts);
    if (!root) return null;
    const tag = typeof t.tag === 'string' ? t.tag.toLowerCase() : '';
    const fits = (el) => el && el.nodeType === Node.ELEMENT_NODE && (!tag || el.localName === tag);
    const tries = [];
    if (typeof t.id === 'string' && t.id) tries.push(() => root.getElementById(t.id));
    if (typeof t.name === 'string' && t.name) {
      tries.push(() => root.querySelector(`${tag ? CSS.escape(tag) : '*'}[name="${CSS.escape(t.name)}"]`));
    }
    if (typeof t.css === 'string' && t.css) tries.push(() => root.querySelector(t.css));
    for (const attempt of tries) {
      let el = null;
      try { el = attempt(); } catch (e) { el = null; }
      if (fits(el)) return el;
    }
    return null;
  }

  // ---- filling -----------------------------------------------------------

  function isFillable(el) {
    if (FIELD_TAGS.has(el.localName)) return !(el.localName === 'input' && NOT_FILLABLE_TYPES.has(el.type));
    return el.isContentEditable;
  }

  function setValue(el, value) {
    if (el.localName === 'select') {
      const wanted = Array.prototype.find.call(el.options, (o) => o.value === value) ||
        Array.prototype.find.call(el.options, (o) => squash(o.text) === squash(value));
      if (!wanted) return null;
      nativeValueSetters.get('select').call(el, wanted.value);
      return wanted.value;
    }
    const setter = nativeValueSetters.get(el.localName);
    if (setter) {
      setter.call(el, value);
      return value;
    }
    el.textContent = value;
    return value;
  }

  function readValue(el) {
    return nativeValueSetters.has(el.localName) ? el.value : el.textContent;
  }

  // Inputs drop line breaks and some types trim blanks; that is not a refusal.
  function accepted(got, expected) {
    return got === expected || got === expected.replace(/[\r\n]/g, '').trim();
  }

  function pressEnterKey(el) {
    const init = {
      key: 'Enter', code: 'Enter', keyCode: 13, which: 13, charCode: 0,
      bubbles: true, cancelable: true, composed: true, view: el.ownerDocument.defaultView,
    };
    const notCancelled = el.dispatchEvent(new KeyboardEvent('keydown', init));
    let pressNotCancelled = notCancelled;
    if (notCancelled) pressNotCancelled = el.dispatchEvent(new KeyboardEvent('keypress', { ...init, charCode: 13 }));
    el.dispatchEvent(new KeyboardEvent('keyup', init));
    // Synthetic keys never submit; do what a real Enter in a one-line field does.
    if (!pressNotCancelled || el.localName !== 'input' || !el.form) return;
    const form = el.form;
    const defaultButton = Array.prototype.find.call(form.elements, (c) =>
      (c.localName === 'button' || c.localName === 'input') && (c.type === 'submit' || c.type === 'image'));
    if (defaultButton) {
      if (!defaultButton.disabled) defaultButton.click();
    } else {
      form.requestSubmit();
    }
  }

  async function fill(target, value, pressEnter) {
    const el = locate(target);
    if (!el) return { ok: false, error: 'field not found' };
    if (!isFillable(el)) return { ok: false, error: `field cannot be filled (a ${el.localName} element)` };
    if (el.matches(':disabled') || el.readOnly === true) return { ok: false, error: 'field is read-only or disabled' };
    if (el !== el.ownerDocument.activeElement) el.focus({ preventScroll: true });
    const text = typeof value === 'string' ? value : String(value);
    const expected = setValue(el, text);
    if (expected === null) return { ok: false, error: 'value not accepted (no such option)' };
    el.dispatchEvent(new InputEvent('input', {
      bubbles: true, composed: true, inputType: 'insertReplacementText', data: text,
    }));
    el.dispatchEvent(new Event('change', { bubbles: true }));
    // Let framework work queued as microtasks settle before reading back.
    await Promise.resolve();
    if (!accepted(readValue(el), expected)) return { ok: false, error: 'value not accepted' };
    if (pressEnter) pressEnterKey(el);
    return { ok: true, error: '' };
  }

  function click(target) {
    const el = locate(target);
    if (!el) return { ok: false, error: 'button not found' };
    if (el.matches(':disabled')) return { ok: false, error: 'button is disabled' };
    el.click();
    return { ok: true, error: '' };
  }

  // ---- scanning ----------------------------------------------------------

  function isShown(el) {
    return el.getClientRects().length > 0;
  }

  function collect(root, out) {
    for (const el of root.querySelectorAll('*')) {
      if (isFillable(el) && !el.matches(':disabled') && el.readOnly !== true && isShown(el)) out.push(describe(el));
      if (el.shadowRoot) collect(el.shadowRoot, out);
      if (el.localName === 'iframe' || el.localName === 'frame') {
        let doc = null;
        try { doc = el.contentDocument; } catch (e) { doc = null; }
        if (doc) collect(doc, out);
      }
    }
  }

  function scan() {
    const fields = [];
    collect(document, fields);
    return { fields, title: document.title };
  }

  // ---- pick mode ---------------------------------------------------------

  let pickKind = null;
  let overlay = null;

  function makeOverlay() {
    const host = document.createElement('fieldpost-pick-overlay');
    host.setAttribute('style', 'all: initial; position: fixed; left: 0; top: 0; width: 0; height: 0; ' +
      'z-index: 2147483647; pointer-events: none;');
    const shadow = host.attachShadow({ mode: 'closed' });
    shadow.innerHTML = `<style>
      .box { position: fixed; box-sizing: border-box; border: 2px solid #1e6fd9; background: rgba(30,111,217,.12);
             border-radius: 3px; pointer-events: none; display: none; }
      .tag { position: fixed; font: 12px/1.4 system-ui, sans-serif; color: #fff; background: #1e6fd9;
             padding: 1px 6px; border-radius: 3px; white-space: nowrap; pointer-events: none; display: none; }
    </style><div class="box"></div><div class="tag"></div>`;
    return { host, box: shadow.querySelector('.box'), tag: shadow.querySelector('.tag') };
  }

  function showOutline(el) {
    if (!overlay) overlay = makeOverlay();
    if (!overlay.host.isConnected) (document.documentElement || document).appendChild(overlay.host);
    const r = el.getBoundingClientRect();
    Object.assign(overlay.box.style, {
      display: 'block', left: `${r.left}px`, top: `${r.top}px`, width: `${r.width}px`, height: `${r.height}px`,
    });
    overlay.tag.textContent = labelOf(el) || el.localName;
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

  function setPickMode(kind) {
    pickKind = kind || null;
    if (!pickKind) {
      hideOutline();
      if (overlay) overlay.host.remove();
    }
    return true;
  }

  // What a click at this event would pick: a label stands for its control, and a
  // button pick climbs from the text inside a button to the button itself.
  function pickTargetOf(event) {
    let el = event.composedPath()[0];
    if (!el || el.nodeType !== Node.ELEMENT_NODE) return null;
    if (el.localName === 'iframe' || el.localName === 'frame') return null;
    if (pickKind === 'button') return el.closest(BUTTON_SELECTOR) || el;
    if (el.localName === 'label' && el.control) return el.control;
    return el.closest('input, textarea, select, [contenteditable=""], [contenteditable=true]') || el;
  }

  function swallow(event) {
    event.preventDefault();
    event.stopImmediatePropagation();
  }

  function onPointer(event) {
    if (!pickKind) return;
    swallow(event);
    if (event.type !== 'click') return;
    const el = pickTargetOf(event);
    if (!el) return;
    const kind = pickKind;
    setPickMode(null);
    chrome.runtime.sendMessage({ type: 'picked', kind, field: describe(el) }).catch(() => {});
  }

  function onMove(event) {
    if (!pickKind) return;
    const el = pickTargetOf(event);
    if (el) showOutline(el); else hideOutline();
  }

  function onOut(event) {
    // Leaving the document, or moving into a child frame, which outlines for itself.
    if (pickKind && !event.relatedTarget) hideOutline();
  }

  function onKey(event) {
    if (!pickKind || event.key !== 'Escape') return;
    swallow(event);
    setPickMode(null);
    chrome.runtime.sendMessage({ type: 'pickCancelled' }).catch(() => {});
  }

  for (const type of ['pointerdown', 'mousedown', 'pointerup', 'mouseup', 'click', 'dblclick', 'auxclick',
    'contextmenu']) {
    window.addEventListener(type, onPointer, { capture: true });
  }
  window.addEventListener('mousemove', onMove, { capture: true, passive: true });
  window.addEventListener('mouseout', onOut, { capture: true, passive: true });
  window.addEventListener('keydown', onKey, { capture: true });

  globalThis.__fieldpost = { fill, click, scan, pick: setPickMode, describe, locate };
})();
