// The proof of a new link, without the socket. Each end signs both nonces and
// the port with the key the native host hands out, under its own role, so that
// a program on the port without the key learns nothing and one end's proof
// cannot be passed off as the other's.
import './common.js';

const { MSG } = globalThis.fieldpostCommon;
const KEY_BYTES = 32;
const NONCE_BYTES = 16;
// Longer than any nonce a gateway makes: past it the proof is malformed.
const NONCE_TEXT_LIMIT = 256;
const BASE64 = /^(?:[A-Za-z0-9+/]{4})*(?:[A-Za-z0-9+/]{2}==|[A-Za-z0-9+/]{3}=)?$/;
const ROLE = Object.freeze({ GATEWAY: 'gateway', PLUGIN: 'plugin' });

function base64Of(bytes) {
  return btoa(String.fromCharCode(...bytes));
}

// Standard base64 only, else null.
function bytesOf(text) {
  if (typeof text !== 'string' || !BASE64.test(text)) return null;
  return Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
}

// The key of the host's answer, usable for this link only; null if it is not 32 bytes of base64.
export async function importLinkKey(text) {
  const raw = bytesOf(text);
  if (!raw || raw.length !== KEY_BYTES) return null;
  return crypto.subtle.importKey('raw', raw, { name: 'HMAC', hash: 'SHA-256' }, false, ['sign', 'verify']);
}

export class Handshake {
  // The key and the port come from the host: the proof binds the port this plugin dialled.
  constructor(key, port) {
    this.key = key;
    this.port = port;
    this.nonce = base64Of(crypto.getRandomValues(new Uint8Array(NONCE_BYTES)));
    this.state = 'waiting';
  }

  hello(fields) {
    return { type: MSG.HELLO, ...fields, nonce: this.nonce };
  }

  // What a message from the gateway means while the link is not proven: null to drop it (anything
  // before the proof, and everything after the first one), { refused } to close the link, or
  // { proof }, the plugin's own, to send: the link is then proven.
  async receive(message) {
    if (this.state !== 'waiting' || message.type !== MSG.PROOF) return null;
    this.state = 'checking';
    const { nonce, proof } = message;
    const theirs = bytesOf(proof);
    if (!theirs || typeof nonce !== 'string' || !nonce || nonce.length > NONCE_TEXT_LIMIT || !BASE64.test(nonce)) {
      return this.refuse('malformed proof');
    }
    if (!(await crypto.subtle.verify('HMAC', this.key, theirs, this.signed(ROLE.GATEWAY, nonce)))) {
      return this.refuse('wrong proof');
    }
    this.state = 'proven';
    const mine = await crypto.subtle.sign('HMAC', this.key, this.signed(ROLE.PLUGIN, nonce));
    return { proof: { type: MSG.PROOF, proof: base64Of(new Uint8Array(mine)) } };
  }

  signed(role, gatewayNonce) {
    return new TextEncoder().encode(`${role}|${this.nonce}|${gatewayNonce}|${this.port}`);
  }

  refuse(why) {
    this.state = 'refused';
    return { refused: why };
  }
}
