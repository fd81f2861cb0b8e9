const port = chrome.runtime.connect();
port.onMessage.addListener((value) => {
  const field = document.querySelector('#email');
  field.value = value;
  field.dispatchEvent(new Event('input', { bubbles: true }));
  port.postMessage({ ok: field.value === value });
});
