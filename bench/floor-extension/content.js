const port = chrome.runtime.connect();
port.onMessage.addListener(({ id, value }) => {
  const field = document.querySelector('#email');
  field.value = value;
  field.dispatchEvent(new Event('input', { bubbles: true }));
  port.postMessage({ id, ok: field.value === value });
});
