// Uncompressed BMP files: writing 24-bit ones (inputs for tzfenc) and
// reading 8-bit paletted or 24-bit ones (tzfconv's output) as RGBA.
'use strict';

// Writes width x height RGB pixels (top row first, 3 bytes each) as a
// bottom-up 24-bit BMP.
function writeBmp24(width, height, rgb) {
  const rowBytes = (width * 3 + 3) & ~3;
  const file = Buffer.alloc(54 + rowBytes * height);
  file.write('BM', 0, 'latin1');
  file.writeUInt32LE(file.length, 2);
  file.writeUInt32LE(54, 10);
  file.writeUInt32LE(40, 14);
  file.writeInt32LE(width, 18);
  file.writeInt32LE(height, 22);
  file.writeUInt16LE(1, 26);
  file.writeUInt16LE(24, 28);
  file.writeUInt32LE(rowBytes * height, 34);
  for (let y = 0; y < height; y++) {
    const row = 54 + (height - 1 - y) * rowBytes;
    for (let x = 0; x < width; x++) {
      const from = (y * width + x) * 3;
      file[row + x * 3] = rgb[from + 2];
      file[row + x * 3 + 1] = rgb[from + 1];
      file[row + x * 3 + 2] = rgb[from];
    }
  }
  return file;
}

// Reads an uncompressed 8-bit or 24-bit BMP into {width, height, rgba}.
function readBmp(file) {
  if (file.length < 54 || file.toString('latin1', 0, 2) !== 'BM') throw new Error('not a BMP file');
  const offset = file.readUInt32LE(10);
  const headerSize = file.readUInt32LE(14);
  const width = file.readInt32LE(18);
  const rawHeight = file.readInt32LE(22);
  const bits = file.readUInt16LE(28);
  const compression = file.readUInt32LE(30);
  if (compression !== 0 || (bits !== 8 && bits !== 24)) throw new Error(`unsupported BMP: ${bits}-bit, compression ${compression}`);
  const height = Math.abs(rawHeight);
  const rowBytes = (width * (bits / 8) + 3) & ~3;
  if (offset + rowBytes * height > file.length) throw new Error('BMP pixel data is cut short');
  let palette = null;
  if (bits === 8) {
    const colours = file.readUInt32LE(46) || 256;
    palette = file.subarray(14 + headerSize, 14 + headerSize + colours * 4);
  }
  const rgba = new Uint8Array(width * height * 4);
  for (let y = 0; y < height; y++) {
    const row = offset + (rawHeight > 0 ? height - 1 - y : y) * rowBytes;
    for (let x = 0; x < width; x++) {
      const to = (y * width + x) * 4;
      if (bits === 24) {
        rgba[to] = file[row + x * 3 + 2];
        rgba[to + 1] = file[row + x * 3 + 1];
        rgba[to + 2] = file[row + x * 3];
      } else {
        const index = file[row + x] * 4;
        rgba[to] = palette[index + 2];
        rgba[to + 1] = palette[index + 1];
        rgba[to + 2] = palette[index];
      }
      rgba[to + 3] = 255;
    }
  }
  return { width, height, bits, rgba };
}

module.exports = { writeBmp24, readBmp };
