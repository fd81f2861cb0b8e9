// The least an extension must do to fill a line in a page: find its user's
// gateway through the native host, prove the link once, then the gateway's
// message in, over a port to the page, the answer back out. No checks, no order.
let ws = null;
let page = null;
// The same marks as the plugin's (plugin/trace.js), kept only while the benchmark asks.
const mark = (step) => globalThis.fieldpostTrace?.push([step, performance.timeOrigin + performance.now()]);
chrome.runtime.onConnect.addListener((port) => {
  page = port;
  port.onMessage.addListener((answer) => {
    mark('answer');
    ws.send(JSON.stringify({ type: 'fillResult', id: answer.id, ok: answer.ok, error: '' }));
    mark('out');
  });
});
const b64 = (bytes) => btoa(String.fromCharCode(...new Uint8Array(bytes)));
async function connect() {
  const link = await chrome.runtime.sendNativeMessage('com.thornvaleworks.fieldpost', { type: 'link' }).catch(() => null);
  if (!link || link.type !== 'link') return setTimeout(connect, 300);
  const key = await crypto.subtle.importKey('raw', Uint8Array.from(atob(link.key), (c) => c.charCodeAt(0)),
    { name: 'HMAC', hash: 'SHA-256' }, false, ['sign']);
  const nc = b64(crypto.getRandomValues(new Uint8Array(16)));
  ws = new WebSocket(`ws://127.0.0.1:${link.port}`);
  ws.onopen = () => ws.send(JSON.stringify({ type: 'hello', version: '0.0.1', instance: 'floor', nonce: nc }));
  ws.onmessage = async (e) => {
    const message = JSON.parse(e.data);
    if (message.type === 'proof') {
      const proof = await crypto.subtle.sign('HMAC', key, new TextEncoder().encode(`plugin|${nc}|${message.nonce}|${link.port}`));
      ws.send(JSON.stringify({ type: 'proof', proof: b64(proof) }));
    }
    if (message.type === 'fill' && page) {
      mark('in');
      mark('call');
      page.postMessage({ id: message.id, value: message.value });
    }
  };
  ws.onclose = () => setTimeout(connect, 300);
}
connect();
globalThis.pick = () => {
  ws.send(JSON.stringify({ type: 'pickMode', enabled: true, kind: 'field' }));
  ws.send(JSON.stringify({ type: 'picked', kind: 'field', url: 'http://floor/', field: { label: 'Floor', tag: 'input', instance: 'floor' } }));
};
