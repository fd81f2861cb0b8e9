// Filling fields and clicking buttons in this frame, as the worker asks.
(() => {
  if (globalThis.__fieldpost?.ready) return;
  const fp = (globalThis.__fieldpost ??= {});
  const { failed } = fp;

  // How long a page has, after Enter or a click, to start a navigation that the
  // worker then waits for; form submissions start theirs one task later.
  const NAVIGATION_START_MS = 50;

  // Native setters, taken once: frameworks such as React shadow "value" on the
  // element, and only the prototype's own setter gets past their tracking.
  const nativeValueSetters = new Map([
    ['input', Object.getOwnPropertyDescriptor(HTMLInputElement.prototype, 'value').set],
    ['textarea', Object.getOwnPropertyDescriptor(HTMLTextAreaElement.prototype, 'value').set],
    ['select', Object.getOwnPropertyDescriptor(HTMLSelectElement.prototype, 'value').set],
  ]);

  function setValue(el, value) {
    if (el.localName === 'select') {
      const wanted = Array.prototype.find.call(el.options, (o) => o.value === value) ||
        Array.prototype.find.call(el.options, (o) => fp.squash(o.text) === fp.squash(value));
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

  // An input of the same type, never in a document: what the browser makes of a value there.
  const sample = document.createElement('input');

  // Inputs drop line breaks and some types trim blanks, and date and time types
  // keep their own form of a value ("2026-12-31 10:00" as "2026-12-31T10:00");
  // none of that is a refusal.
  function accepted(el, got, expected) {
    if (got === expected || got === expected.replace(/[\r\n]/g, '').trim()) return true;
    if (el.localName !== 'input' || got === '') return false;
    sample.type = el.type;
    nativeValueSetters.get('input').call(sample, expected);
    return got === sample.value;
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

  // { el } for a field of this document that can take a value now, else the failure.
  function fillable(t) {
    const elsewhere = fp.notHere(t, 'field');
    if (elsewhere) return elsewhere;
    const { el, error } = fp.locate(t, 'field');
    if (!el) return failed(error);
    if (!fp.takesText(el)) return failed(`field cannot be filled (a ${el.localName} element)`);
    if (el.matches(':disabled') || el.readOnly === true) return failed('field is read-only or disabled');
    return { el };
  }

  // null once el holds value, else the failure.
  // Without `focus` the value goes in where the field is, as a paste would:
  // moving the focus costs the page a blur, a focus and a style pass each time.
  async function typeInto(el, value, focus) {
    // An editable element types through the selection, which needs the focus.
    const focusing = focus || !nativeValueSetters.has(el.localName);
    if (focusing && el !== el.ownerDocument.activeElement) el.focus({ preventScroll: true });
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
      await fp.nextFrame();
    }
    const got = nativeValueSetters.has(el.localName) ? el.value : el.textContent;
    return accepted(el, got, expected) ? null : failed('value not accepted');
  }

  // The focus moves to the field only for Enter, as a person would press it
  // there; a plain fill leaves it where the user has it. A focused field also
  // costs every later fill the caret and input method updates (a tenth of the
  // time of a line).
  async function fill(t, value, pressEnter, flash) {
    const { el, ...failure } = fillable(t);
    if (!el) return failure;
    const refused = await typeInto(el, value, pressEnter);
    if (refused) return refused;
    // Only a sign: a page where it cannot be drawn keeps its fill all the same.
    if (flash) fp.showFlash(el);
    const navigating = pressEnter ? await navigationAfter(() => pressEnterKey(el)) : false;
    return { ok: true, error: '', navigating };
  }

  // Whether every one of targets could take a value now; failedField counts from 0 in targets.
  function check(targets) {
    for (let i = 0; i < targets.length; i++) {
      const { el, ...failure } = fillable(targets[i]);
      if (!el) return { ...failure, failedField: i };
    }
    return { ok: true, error: '' };
  }

  // Several fields of this document, all found before any is typed; Enter in the last one.
  async function fillAll(targets, values, pressEnter, flash) {
    const els = [];
    for (let i = 0; i < targets.length; i++) {
      const { el, ...failure } = fillable(targets[i]);
      if (!el) return { ...failure, failedField: i };
      els.push(el);
    }
    for (let i = 0; i < els.length; i++) {
      // A page may render its form anew on the input of the field before.
      if (!els[i].isConnected) {
        const { el, ...failure } = fillable(targets[i]);
        if (!el) return { ...failure, stale: false, failedField: i };
        els[i] = el;
      }
      // Only the last field takes the focus, and only for the Enter that goes there.
      const refused = await typeInto(els[i], values[i], pressEnter && i === els.length - 1);
      if (refused) return { ...refused, failedField: i };
    }
    if (flash) for (const el of els) fp.showFlash(el);
    const last = els[els.length - 1];
    const navigating = pressEnter ? await navigationAfter(() => pressEnterKey(last)) : false;
    return { ok: true, error: '', navigating };
  }

  async function click(t) {
    const elsewhere = fp.notHere(t, 'button');
    if (elsewhere) return elsewhere;
    const { el, error } = fp.locate(t, 'button');
    if (!el) return failed(error);
    if (el.matches(':disabled')) return failed('button is disabled');
    return { ok: true, error: '', navigating: await navigationAfter(() => el.click()) };
  }

  Object.assign(fp, { fill, check, fillAll, click });
})();
