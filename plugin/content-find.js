// The page side runs in every frame, in the extension's isolated world, as the
// classic scripts the manifest lists after common.js; they share one namespace,
// globalThis.__fieldpost, which content.js marks ready once all are loaded.
// This one describes elements and finds them again. Messages:
// docs/plugin-protocol.md.
(() => {
  if (globalThis.__fieldpost?.ready) return;
  const fp = (globalThis.__fieldpost ??= {});

  const NOT_TEXT_TYPES = new Set([
    'hidden', 'button', 'submit', 'reset', 'image', 'checkbox', 'radio', 'file', 'range', 'color',
  ]);
  const BUTTON_SELECTOR = 'button, input[type=submit], input[type=button], input[type=reset], ' +
    'input[type=image], a[href], [role=button], summary';

  const failed = (error, extra) => ({ ok: false, error, ...extra });
  const shadowOf = (el) => chrome.dom.openOrClosedShadowRoot(el);

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

  // The element each pick was found as, while it stays in the document with
  // the picked tag and type: a form that is not rendered anew is not searched
  // again for every line.
  const FOUND_KEPT = 64;
  const found = new Map();

  // By unique id, then name, then CSS path; the element must have the picked tag
  // and type. Equal candidates are never guessed between.
  function locate(t, noun) {
    const fits = (el) => el.localName === t.tag && (typeof t.type !== 'string' || typeOf(el) === t.type);
    // The pick and every member the search reads: a descriptor that differs is searched for.
    const key = typeof t.pickId === 'string'
      ? JSON.stringify([noun, t.pickId, t.tag, t.type, t.id, t.name, t.css, t.shadowHosts]) : null;
    const known = key && found.get(key)?.deref();
    if (known && known.isConnected && fits(known)) return { el: known };
    const located = search(t, noun, fits);
    if (key && located.el) {
      found.delete(key);
      found.set(key, new WeakRef(located.el));
      if (found.size > FOUND_KEPT) found.delete(found.keys().next().value);
    }
    return located;
  }

  function search(t, noun, fits) {
    let root = document;
    for (const sel of Array.isArray(t.shadowHosts) ? t.shadowHosts : []) {
      const [host] = all(root, sel);
      root = host && shadowOf(host);
      if (!root) return { error: `${noun} not found` };
    }
    const ways = [];
    if (t.id && typeof t.id === 'string') ways.push('#' + CSS.escape(t.id));
    if (t.name && typeof t.name === 'string') ways.push(`[name="${CSS.escape(t.name)}"]`);
    if (t.css && typeof t.css === 'string') ways.push(t.css);
    let ambiguous = false;
    for (const selector of ways) {
      const candidates = all(root, selector).filter(fits);
      if (candidates.length === 1) return { el: candidates[0] };
      ambiguous = ambiguous || candidates.length > 1;
    }
    return { error: ambiguous ? `${noun} is ambiguous` : `${noun} not found` };
  }

  function probe(t) {
    const here = !notHere(t, 'field');
    return { here, found: here && !!locate(t, 'field').el };
  }

  Object.assign(fp, {
    BUTTON_SELECTOR, failed, shadowOf, squash, labelOf, typeOf, takesText, cssPath, describe, notHere, locate, probe,
  });
})();
