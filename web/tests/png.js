// Reads the golden corpus's PNG files: 8-bit RGB, RGBA or indexed, not
// interlaced, into {width, height, rgba} with every alpha 255 for RGB and
// indexed pictures (the write corpus's indexed ones have no transparency).
'use strict';
const zlib = require('zlib');

function paeth(a, b, c) {
  const p = a + b - c;
  const pa = Math.abs(p - a);
  const pb = Math.abs(p - b);
  const pc = Math.abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

function readPng(file) {
  const signature = Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]);
  if (!file.subarray(0, 8).equals(signature)) throw new Error('not a PNG file');
  let width = 0;
  let height = 0;
  let channels = 0;
  let palette = null;
  const idat = [];
  for (let at = 8; at + 8 <= file.length;) {
    const length = file.readUInt32BE(at);
    const type = file.toString('latin1', at + 4, at + 8);
    const body = file.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') {
      width = body.readUInt32BE(0);
      height = body.readUInt32BE(4);
      const [depth, colour, , , interlace] = body.subarray(8, 13);
      channels = { 2: 3, 3: 1, 6: 4 }[colour] || 0;
      if (depth !== 8 || !channels || interlace) throw new Error(`unsupported PNG: depth ${depth}, colour type ${colour}, interlace ${interlace}`);
    } else if (type === 'PLTE') {
      palette = body;
    } else if (type === 'tRNS') {
      throw new Error('unsupported PNG: transparency chunk');
    } else if (type === 'IDAT') {
      idat.push(body);
    } else if (type === 'IEND') {
      break;
    }
    at += 12 + length;
  }
  if (channels === 1 && !palette) throw new Error('indexed PNG without a palette');
  const raw = zlib.inflateSync(Buffer.concat(idat));
  const rowBytes = width * channels;
  if (raw.length < (rowBytes + 1) * height) throw new Error('PNG pixel data is cut short');
  const rgba = new Uint8Array(width * height * 4);
  let previous = new Uint8Array(rowBytes);
  for (let y = 0; y < height; y++) {
    const filter = raw[y * (rowBytes + 1)];
    const line = Uint8Array.from(raw.subarray(y * (rowBytes + 1) + 1, (y + 1) * (rowBytes + 1)));
    for (let i = 0; i < rowBytes; i++) {
      const a = i >= channels ? line[i - channels] : 0;
      const b = previous[i];
      const c = i >= channels ? previous[i - channels] : 0;
      const add = [0, a, b, (a + b) >> 1, paeth(a, b, c)][filter];
      if (add === undefined) throw new Error(`unknown PNG filter ${filter}`);
      line[i] = (line[i] + add) & 255;
    }
    for (let x = 0; x < width; x++) {
      const to = (y * width + x) * 4;
      if (channels === 1) {
        const entry = line[x] * 3;
        if (entry + 3 > palette.length) throw new Error(`PNG index ${line[x]} past its palette`);
        rgba.set(palette.subarray(entry, entry + 3), to);
        rgba[to + 3] = 255;
        continue;
      }
      rgba[to] = line[x * channels];
      rgba[to + 1] = line[x * channels + 1];
      rgba[to + 2] = line[x * channels + 2];
      rgba[to + 3] = channels === 4 ? line[x * channels + 3] : 255;
    }
    previous = line;
  }
  return { width, height, rgba };
}

module.exports = { readPng };
