// Pick mode in this frame: the bar, the outline under the mouse, and the
// user's click that picks.
(() => {
  if (globalThis.__fieldpost?.ready) return;
  const fp = (globalThis.__fieldpost ??= {});
  const { LOCAL, PICK_KEY, PICK_KIND } = globalThis.fieldpostCommon;
  const { BUTTON_SELECTOR, cssPath, describe, labelOf, shadowOf, takesText, topLayerHost } = fp;

  let pickKind = null;
  let pickAdd = false;
  // Pick mode is on, but not in this page, which the administrator did not allow.
  let refused = false;
  let following = null;
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
    if (window !== top || (!pickKind && !refused)) return;
    if (document.readyState === 'loading') {
      document.addEventListener('DOMContentLoaded', showBar, { once: true });
      return;
    }
    showOverlay();
    if (refused) {
      overlay.bar.textContent = 'Fieldpost: this page is not allowed by the administrator';
      return;
    }
    const what = pickKind === PICK_KIND.BUTTON ? 'Click the button to press'
      : pickAdd ? 'Click the field to add' : 'Click the field to fill';
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
    pickKind = null;
    refused = false;
    following = live ? state : null;
    if (!live) {
      if (overlay) {
        hideOutline();
        overlay.host.remove();
        raisedOver = null;
      }
      return;
    }
    pickEnds = setTimeout(() => applyPick(null), state.until - Date.now());
    if (!state.ask) {
      enterPick(state);
      return;
    }
    // The administrator named the pages to fill: the worker, which knows this
    // tab's address, says whether this is one of them.
    chrome.runtime.sendMessage({ type: LOCAL.MAY_PICK }).then((answer) => {
      if (following !== state) return;
      if (answer && answer.allowed === true) {
        enterPick(state);
      } else {
        refused = true;
        showBar();
      }
    }, () => {});
  }

  function enterPick(state) {
    pickKind = state.kind;
    pickAdd = state.add === true;
    showBar();
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
})();
