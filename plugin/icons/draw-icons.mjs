// Draws the toolbar icons: a field with a caret, in blue when the gateway is
// connected and in grey with a red mark when it is not. Run: node draw-icons.mjs
import { deflateSync } from 'node:zlib';
import { writeFileSync } from 'node:fs';
import { dirname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));

function crc32(buf) {
  let c, crc = 0xffffffff;
  for (const b of buf) {
    c = (crc ^ b) & 0xff;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    crc = (crc >>> 8) ^ c;
  }
  return (crc ^ 0xffffffff) >>> 0;
}

function chunk(type, data) {
  const len = Buffer.alloc(4);
  len.writeUInt32BE(data.length);
  const body = Buffer.concat([Buffer.from(type, 'ascii'), data]);
  const crc = Buffer.alloc(4);
  crc.writeUInt32BE(crc32(body));
  return Buffer.concat([len, body, crc]);
}

function png(size, pixel) {
  const raw = Buffer.alloc(size * (size * 4 + 1));
  for (let y = 0; y < size; y++) {
    raw[y * (size * 4 + 1)] = 0;
    for (let x = 0; x < size; x++) {
      const [r, g, b, a] = pixel((x + 0.5) / size, (y + 0.5) / size);
      raw.set([r, g, b, a], y * (size * 4 + 1) + 1 + x * 4);
    }
  }
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(size, 0);
  ihdr.writeUInt32BE(size, 4);
  ihdr.set([8, 6, 0, 0, 0], 8);
  return Buffer.concat([
    Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', ihdr), chunk('IDAT', deflateSync(raw)), chunk('IEND', Buffer.alloc(0)),
  ]);
}

function inRoundRect(x, y, x0, y0, x1, y1, r) {
  const cx = Math.min(Math.max(x, x0 + r), x1 - r);
  const cy = Math.min(Math.max(y, y0 + r), y1 - r);
  return (x - cx) ** 2 + (y - cy) ** 2 <= r * r;
}

function icon(connected) {
  const body = connected ? [0x1e, 0x6f, 0xd9, 255] : [0x8a, 0x8f, 0x98, 255];
  return (x, y) => {
    if (!connected && (x - 0.78) ** 2 + (y - 0.22) ** 2 <= 0.2 ** 2) return [0xd9, 0x30, 0x25, 255];
    if (!inRoundRect(x, y, 0.04, 0.04, 0.96, 0.96, 0.2)) return [0, 0, 0, 0];
    const inField = inRoundRect(x, y, 0.18, 0.36, 0.82, 0.64, 0.06);
    const caret = x >= 0.3 && x <= 0.36 && y >= 0.42 && y <= 0.58;
    if (inField && !caret) return [255, 255, 255, 255];
    return body;
  };
}

for (const connected of [true, false]) {
  for (const size of [16, 32, 48, 128]) {
    const name = `${connected ? 'connected' : 'disconnected'}-${size}.png`;
    writeFileSync(join(here, name), png(size, icon(connected)));
  }
}
