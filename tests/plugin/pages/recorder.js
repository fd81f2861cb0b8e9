// Records what the page sees, for the tests to read back.
window.seen = [];
const record = (kind, detail) => window.seen.push({ kind, at: performance.timeOrigin + performance.now(), ...detail });
for (const type of ['beforeinput', 'input', 'change']) {
  document.addEventListener(type, (e) => {
    const el = e.composedPath()[0];
    record(type, { id: el.id, value: el.value ?? el.textContent, trusted: e.isTrusted });
  }, true);
}
document.addEventListener('keydown', (e) => record('keydown', { id: e.target.id, key: e.key, keyCode: e.keyCode, value: e.target.value }), true);
document.addEventListener('submit', (e) => {
  if (e.target.id !== 'real') e.preventDefault();
  record('submit', { id: e.target.id, submitter: e.submitter ? e.submitter.id : '' });
}, true);
for (const type of ['mousedown', 'click']) window.addEventListener(type, (e) => record(type, { id: e.target.id, trusted: e.isTrusted }));
