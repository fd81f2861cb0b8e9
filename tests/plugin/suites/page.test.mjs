// The extension against a stand-in for the gateway, found through the native host and proven: the popup,
// picking by the user's own click only, what each field (React's too) takes, Enter and the button, which tab
// and frame get them, which descriptors are refused, a page that does not answer, and feedback by sound and
// in the page.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { GatewayStandIn, MANIFEST, clickToPick, launchBrowser, seen, sleep, startPageServer, until } from '../lib/harness.mjs';

let gateway, pages, other, browser, page, popup, hello, email, go;

const OK = [true, ''];
const outcome = (m) => [m.ok, m.error];
const fill = async (...args) => outcome(await gateway.fill(...args));
// Another element of the page where email was picked.
const on = (fields) => ({ ...email, id: '', name: '', css: '', ...fields });
const text = (id, name) => on({ tag: 'input', type: 'text', id, name });

const shown = () => popup.evaluate(() => ({
  link: document.getElementById('link').textContent, destination: document.getElementById('destination').textContent,
  outcomes: [...document.querySelectorAll('#outcomes li')].map((li) => li.textContent.replace(/^\S+ /, '')), stop: !document.getElementById('stop').hidden,
  choose: ['pickField', 'pickButton'].map((id) => !document.getElementById(id).disabled),
}));
const popupShows = (part, value) =>
  until(async () => JSON.stringify((await shown())[part]) === JSON.stringify(value), `the popup's ${part}: ${JSON.stringify(value)}`);

const overlay = () => page.evaluate(() => {
  const host = document.querySelector('fieldpost-pick-overlay');
  return host && { open: host.matches(':popover-open'), outlined: host.dataset.outlined, bar: host.shadowRoot.querySelector('.bar').textContent };
});

// The extension's messages of picking, in order, once it has sent n; taken from what came.
const told = async (n) => {
  const about = (m) => ['pickMode', 'picked'].includes(m.type);
  await until(() => gateway.received.filter(about).length >= n, `${n} messages of picking`);
  const said = gateway.received.filter(about);
  gateway.received = gateway.received.filter((m) => !about(m));
  return said;
};
const shapes = (messages) => messages.map((m) => [m.type, m.enabled, m.kind]);

const startPick = (kind) => (gateway.pickMode(kind), until(overlay, 'pick mode in the page'));

before(async () => {
  [pages, other] = await Promise.all([startPageServer(), startPageServer()]);
  browser = await launchBrowser();
  popup = await browser.context.newPage();
  await popup.goto(new URL('popup.html', browser.worker.url()).href);
  // The page in front, as a user picking would have it.
  page = await browser.context.newPage();
  await page.goto(`${pages.origin}/form.html`);
});

after(async () => {
  await gateway?.stop();
  await browser?.close();
  await Promise.all([pages?.close(), other?.close()]);
});

test('with no gateway the popup says so and offers no picking; a gateway started later is linked and proven', async () => {
  // The manifest's key fixes the id, which the gateway's install policy names.
  assert.equal(new URL(browser.worker.url()).host, 'kmeaciapdagnafccgodjfjbdohcldifm');
  await sleep(500);
  assert.deepEqual(await shown(),
    { link: 'Gateway not connected', destination: 'none picked in this browser', outcomes: [], stop: false, choose: [false, false] });
  gateway = await new GatewayStandIn(browser.dataHome).start();
  const link = await gateway.nextLink(8000);
  assert.deepEqual(link.before.map((m) => m.type), ['hello', 'proof']);
  hello = link.before[0];
  assert.deepEqual([hello.version, hello.browser, Buffer.from(hello.nonce, 'base64').length], [MANIFEST.version, 'Chromium', 16]);
  await popupShows('choose', [true, true]);
});

test('the popup picks, told to the gateway first, shows the destination and the last five outcomes, and stops pick mode', async () => {
  await popup.click('#pickField');
  await clickToPick(page, page.locator('#email'));
  const said = await told(2);
  assert.deepEqual(shapes(said), [['pickMode', true, 'field'], ['picked', undefined, 'field']]);
  email = said[1].field;
  assert.equal(email.instance, hello.instance);
  await popupShows('destination', `Email on ${pages.origin}/form.html`);
  for (let i = 1; i <= 5; i++) await gateway.fill(email, `v${i}`);
  await gateway.fill(text('nothere'), 'v6');
  await popupShows('outcomes', ['Fill failed: field not found', 'Filled "v5"', 'Filled "v4"', 'Filled "v3"', 'Filled "v2"']);
  await popup.click('#pickButton');
  await popupShows('stop', true);
  await popup.click('#stop');
  await until(async () => !(await browser.picking()), 'pick mode to end');
  assert.deepEqual(shapes(await told(2)), [['pickMode', true, 'button'], ['pickMode', false, 'button']]);
});

test('a worker that Chromium stopped links again and still fills what it picked before', async () => {
  const cdp = await browser.context.newCDPSession(popup);
  await cdp.send('ServiceWorker.enable');
  await cdp.send('ServiceWorker.stopAllWorkers');
  await until(() => !gateway.open.length, 'the link to drop');
  await popup.reload(); // the popup's port wakes a new worker
  await gateway.nextLink();
  await popupShows('destination', `Email on ${pages.origin}/form.html`);
  assert.deepEqual(await fill(email, 'again'), OK);
  assert.equal(await page.locator('#email').inputValue(), 'again');
});

test('only a real click picks; what the page dispatches passes to the page untouched', async () => {
  assert.deepEqual(await startPick('field'),
    { open: true, outlined: undefined, bar: `Click the field to fill · Esc cancels · ${pages.origin}` });
  await page.evaluate(() => {
    const city = document.querySelector('[name=city]');
    for (const type of ['pointerdown', 'mousedown', 'pointerup', 'mouseup', 'click']) city.dispatchEvent(new MouseEvent(type, { bubbles: true, cancelable: true }));
    city.click();
  });
  assert.deepEqual((await seen(page, ['mousedown', 'click'])).map((e) => e.trusted), [false, false, false]);
  assert.deepEqual(await gateway.after(300), []);

  const at = await clickToPick(page, page.locator('#email'));
  const { kind, url, field } = await gateway.take('picked');
  email = field;
  assert.deepEqual([kind, url, field.label, field.tag, field.type], ['field', `${pages.origin}/form.html`, 'Email', 'input', 'email']);
  assert.equal((await seen(page, 'click')).length, 2, 'the picking click reached the page');
  // Pick mode is over: the next click is the page's.
  await page.mouse.click(at.x, at.y);
  await until(async () => (await seen(page, 'click', 'email')).length === 1, 'the page click');
  assert.equal(await overlay(), null);
});

test('field mode outlines only what takes text, button mode only what can be clicked; Escape ends it unseen', async () => {
  for (const [kind, bar, wrong, right, expected] of [
    ['field', /^Click the field to fill/, '#go', '#editor', ['Editor', 'div', '']],
    ['button', /^Click the button to press/, '#email', '#go', ['Go on', 'button', 'button']],
  ]) {
    assert.match((await startPick(kind)).bar, bar);
    await page.hover(wrong, { force: true });
    assert.equal((await overlay()).outlined, undefined, `${wrong} outlined in ${kind} mode`);
    await clickToPick(page, page.locator(right));
    const { field } = await gateway.take('picked');
    assert.deepEqual([field.label, field.tag, field.type], expected);
  }
  await startPick('field');
  await page.keyboard.press('Escape');
  await until(async () => !(await overlay()), 'pick mode to end');
  assert.deepEqual(await seen(page, 'keydown'), []);
  assert.deepEqual(await gateway.after(300), []);
});

test('duplicate ids and a closed shadow root: the element picked is the one filled', async () => {
  const second = await gateway.pick(page, page.locator('[id=twin]').nth(1));
  assert.deepEqual(await fill(second, 'two'), OK);
  assert.deepEqual(await page.locator('[id=twin]').evaluateAll((els) => els.map((e) => e.value)), ['', 'two']);
  assert.deepEqual(await fill({ ...second, css: '' }, 'x'), [false, 'field is ambiguous']);

  const inner = await gateway.pick(page, (await page.evaluateHandle(() => window.cardRoot.querySelector('#inner'))).asElement());
  assert.deepEqual(await fill(inner, 'S-1'), OK);
  assert.equal(await page.evaluate(() => window.cardRoot.querySelector('#inner').value), 'S-1');
});

test('each kind of field takes the value as typing would, or says why not', async () => {
  const select = on({ tag: 'select', type: 'select-one', id: 'country' });
  for (const [target, value, expected, where, shows = value] of [
    [email, 'ann@example.org', OK, '#email'],
    [on({ tag: 'textarea', type: 'textarea', id: 'notes' }), 'first note', OK, '#notes'],
    [on({ tag: 'div', type: '', id: 'editor' }), 'ed-1', OK, '#editor'],
    [select, 'de', OK, '#country'],
    [select, 'France', OK, '#country', 'fr'],
    [select, 'Spain', [false, 'value not accepted (no such option)'], '#country', 'fr'],
    [text('gone', 'city'), 'Lyon', OK, 'input[name=city]'],
    [on({ css: email.css }), 'path@example.org', OK, '#email'],
    [text('ro'), 'x', [false, 'field is read-only or disabled'], '#ro', 'fixed'],
    [on({ tag: 'button', type: 'button', id: 'go' }), 'x', [false, 'field cannot be filled (a button element)']],
    [{ ...email, type: 'text' }, 'x', [false, 'field not found'], '#email', 'path@example.org'],
    [text('digits'), '0042', OK, '#digits'],
    [text('digits'), 'abc', [false, 'value not accepted'], '#digits', '0042'],
  ]) {
    assert.deepEqual(await fill(target, value), expected, `${value} into ${JSON.stringify(target)}`);
    if (where) assert.equal(await page.locator(where).evaluate((el) => el.value ?? el.textContent), shows);
  }
  // React only sees a value set past its own tracking of the element.
  assert.equal(await page.locator('#digits').getAttribute('data-state'), '0042');
  const events = await seen(page, ['input', 'change'], 'email');
  assert.deepEqual(events.slice(-2).map((e) => [e.kind, e.value]), [['input', 'path@example.org'], ['change', 'path@example.org']]);
  // An editor is offered beforeinput while it still holds the old text.
  assert.deepEqual((await seen(page, ['beforeinput', 'input'], 'editor')).map((e) => [e.kind, e.value]),
    [['beforeinput', ''], ['input', 'ed-1']]);
});

test('Enter comes after the value and submits through the default button, unless the page cancels it', async () => {
  for (const [target, value, form, submits] of [
    [email, 'enter@example.org', 'order', ['send']], [text('guard'), 'kept', 'guarded', []], [text('single'), 'solo', 'lonely', ['']],
  ]) {
    assert.deepEqual(await fill(target, value, { pressEnter: true }), OK);
    assert.deepEqual((await seen(page, 'keydown', target.id)).map((k) => [k.key, k.keyCode, k.value]), [['Enter', 13, value]]);
    assert.deepEqual((await seen(page, 'submit', form)).map((s) => s.submitter), submits);
  }
});

test('the button is clicked after the delay; a failed click or fill is reported', async () => {
  go = await gateway.pick(page, page.locator('#go'), 'button');
  const filled = await gateway.fill(email, 'click@example.org', { button: go, clickButton: true, clickDelayMs: 400 });
  assert.deepEqual(outcome(filled), OK);
  assert.deepEqual(outcome(await gateway.take('buttonClicked')), OK);
  const [click] = await seen(page, 'click', 'go');
  assert.ok(click.at - filled.at >= 300, 'clicked before the delay');
  // A fill without an id, from an older gateway, is answered without one.
  for (const [button, error, id] of [
    [{ ...go, id: 'nothere', css: '' }, 'button not found', 41], [{ ...go, instance: 'another' }, 'button was picked in another browser', undefined],
    [{ ...go, pickId: 'forged' }, 'button was not picked in this browser', 43],
  ]) {
    gateway.sendFill(email, 'b', { button, clickButton: true, id });
    const answers = [await gateway.take('fillResult'), await gateway.take('buttonClicked')];
    assert.deepEqual(answers.map((m) => [m.id, m.ok, m.error]), [[id, true, ''], [id, false, error]]);
  }
  assert.equal((await seen(page, 'click', 'go')).length, 1, 'one click in all');
});

test('a burst of lines with a click: each click submits its own line, after the page it opened has loaded', async () => {
  const tab = await browser.context.newPage();
  await tab.goto(`${pages.origin}/form.html?burst`);
  const code = await gateway.pick(tab, tab.locator('#code'));
  const save = await gateway.pick(tab, tab.locator('#save'), 'button');
  for (const value of ['L1', 'L2']) gateway.sendFill(code, value, { button: save, clickButton: true });
  for (const type of ['fillResult', 'buttonClicked', 'fillResult', 'buttonClicked']) assert.deepEqual(outcome(await gateway.take(type)), OK);
  await tab.waitForURL('**/form.html?code=L2');
  assert.deepEqual(pages.requests.filter((r) => r.startsWith('/form.html?code=')), ['/form.html?code=L1', '/form.html?code=L2']);
  await tab.close();
});

test('junk is ignored; scan lists fields but only picks fill; a frame that shows another origin gets nothing', async () => {
  await page.bringToFront();
  const [ws] = gateway.open;
  for (const junk of ['not json', '[1,2]', '"text"', '{"type":"Fill"}', '{}']) ws.send(junk);
  gateway.send({ type: 'scan' });
  const answer = await gateway.take('fields');
  assert.deepEqual([answer.url, answer.title], [`${pages.origin}/form.html`, 'Plain form']);
  assert.deepEqual(answer.fields.map((f) => f.label).join(), 'Email,City,Notes,Country,Guarded,Single,First twin,Second twin,Editor,Inner code,Code,Digits,Framed');
  // Scanned, without its pick id, or without an instance as plugin 1.0 kept them: refused.
  for (const target of [answer.fields[0], { ...email, pickId: undefined }, { ...email, instance: undefined }]) {
    assert.deepEqual(await fill(target, 'not picked'), [false, 'field was not picked in this browser']);
  }
  assert.deepEqual((await seen(page, 'input')).filter((e) => e.value === 'not picked'), []);

  const show = (origin) => page.locator('#child').evaluate((f, src) => { f.src = src; }, `${origin}/frame.html`);
  await show(other.origin);
  const child = page.frameLocator('#child');
  const framed = await gateway.pick(page, child.locator('#framed'));
  assert.deepEqual([framed.frameOrigin, framed.origin], [other.origin, pages.origin]);
  assert.deepEqual(await fill(framed, 'F-1'), OK);
  assert.equal(await child.locator('#framed').inputValue(), 'F-1');
  await show(pages.origin);
  const frame = await until(() => page.frames().find((f) => f.url() === `${pages.origin}/frame.html`), 'the frame');
  assert.deepEqual(await fill(framed, 'F-2'), [false, `frame of the field is not open (${other.origin})`]);
  assert.deepEqual(await seen(frame, 'input'), []);
});

test('a page busy past the time limit fails its line; the next line, in a page of another site, is filled', async () => {
  // localhost is another site than 127.0.0.1, so its page runs in a renderer of its own.
  const busy = await browser.context.newPage();
  await busy.goto(`${pages.origin.replace('127.0.0.1', 'localhost')}/form.html`);
  const stuck = await gateway.pick(busy, busy.locator('#email'));
  // The fills go once the page is busy, not merely told to be: on a loaded machine its timer may come late.
  const busyNow = busy.waitForEvent('console', (m) => m.text() === 'busy');
  await busy.evaluate(() => setTimeout(() => { console.log('busy'); const end = Date.now() + 3000; while (Date.now() < end); }));
  await busyNow;
  const ids = [gateway.sendFill(stuck, 'too late'), gateway.sendFill(email, 'next@example.org')];
  const answers = [await gateway.take('fillResult'), await gateway.take('fillResult')];
  assert.deepEqual(answers.map((m) => [m.id, m.ok, m.error]), [[ids[0], false, 'page did not answer'], [ids[1], true, '']]);
  assert.equal(await page.locator('#email').inputValue(), 'next@example.org');
  // Free again, the page does not act on the call it was too late for.
  assert.deepEqual(await busy.evaluate(() => new Promise((r) => setTimeout(() => r(window.seen.filter((e) => e.kind === 'input')), 200))), []);
  await busy.close();
});

test('feedback: a sound, a bar and a flash, drawn over the page without changing it; a target not picked here gets none', async () => {
  await page.bringToFront();
  // The page as its own code sees it: its markup without our hosts, and the filled field's style.
  await page.evaluate(() => {
    window.ownView = () => {
      const copy = document.documentElement.cloneNode(true);
      for (const host of copy.querySelectorAll('fieldpost-feedback')) host.remove();
      const style = getComputedStyle(document.getElementById('email'));
      return copy.outerHTML + [...style].map((p) => `${p}:${style.getPropertyValue(p)}`).join(';');
    };
  });
  const own = () => page.evaluate(() => window.ownView());
  const hosts = () => page.evaluate(() => document.querySelectorAll('fieldpost-feedback').length);
  const cdp = await browser.context.newCDPSession(page);
  const barShown = async (text) => (await cdp.send('Accessibility.getFullAXTree')).nodes.some((n) => n.name?.value === text);
  const tones = () => browser.context.serviceWorkers()[0].evaluate(() => globalThis.fieldpost.tones);

  await fill(email, 'before@example.org');
  const before = await own();
  // The flash lasts 400 ms, too short to be caught by looking from here on a busy machine: the page notes each
  // host of ours as it is drawn, and how the page looked at that moment.
  await page.evaluate(() => {
    window.drawnOver = [];
    const noted = new Set();
    new MutationObserver(() => {
      for (const host of document.querySelectorAll('fieldpost-feedback')) {
        if (noted.has(host) || !host.matches(':popover-open') || host.shadowRoot !== null) continue;
        noted.add(host);
        window.drawnOver.push(window.ownView());
      }
    }).observe(document.documentElement, { childList: true });
  });
  gateway.send({ type: 'feedback', sound: 'success', bar: 'Not mine', target: { ...email, pickId: undefined } });
  gateway.send({ type: 'feedback', sound: 'failure', bar: 'Line 7 rejected', target: email });
  await until(() => barShown('Line 7 rejected'), 'the bar with its text');
  assert.deepEqual(await fill(email, 'flash@example.org', { flash: true }), OK);
  await until(() => page.evaluate(() => window.drawnOver.length >= 2), 'the bar and the flash');
  await until(async () => !(await hosts()), 'the bar and the flash to go', 5000);
  const drawnOver = await page.evaluate(() => window.drawnOver);
  assert.equal(drawnOver.length, 2, 'drawn: only the bar of the line picked here, and the flash');
  assert.ok(drawnOver.every((view) => view === before), 'the page changed under its feedback');
  assert.equal(await own(), before);
  assert.deepEqual(await tones(), ['failure']);
});

test('the picked page closed, a look-alike of another origin in front: nothing is filled, pressed or clicked', async () => {
  await page.close();
  const alike = await browser.context.newPage();
  await alike.goto(`${other.origin}/form.html`);
  await alike.bringToFront();
  assert.deepEqual(await fill(email, 'x', { pressEnter: true, button: go, clickButton: true }), [false, `page of the field is not open (${pages.origin}/form.html)`]);
  assert.deepEqual(outcome(await gateway.take('buttonClicked')), [false, 'button not clicked: the fill failed']);
  assert.deepEqual(await seen(alike, ['input', 'keydown', 'submit', 'click']), []);

  // Opened again in a new tab, with another query string, behind the look-alike.
  const again = await browser.context.newPage();
  await again.goto(`${pages.origin}/form.html?again=1#top`);
  await alike.bringToFront();
  assert.deepEqual(await fill(email, 'back@example.org'), OK);
  assert.equal(await again.locator('#email').inputValue(), 'back@example.org');
  assert.equal(await alike.locator('#email').inputValue(), '');
});

test('a lost link ends pick mode, and after it nothing comes back but the hello and the proof', async () => {
  gateway.pickMode();
  await until(() => browser.picking(), 'pick mode');
  await gateway.stop();
  await popupShows('link', 'Gateway not connected');
  assert.equal(await browser.picking(), false);
  gateway = await new GatewayStandIn(browser.dataHome).start();
  const link = await gateway.nextLink(8000);
  assert.deepEqual(await gateway.after(500), [], 'nothing from before the link');
  assert.deepEqual([gateway.links.length, link.before.map((m) => m.type)], [1, ['hello', 'proof']], 'one link per extension');
});
