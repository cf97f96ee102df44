// The page's worker (tzf-core.js comes before this file in the same script):
// it reads TZF pictures with the module, PNG and JPEG pictures with the
// browser's own decoders, and writes TZF files. Messages in: {type: 'init',
// wasm}, then {type: 'decode', id, file, thumbnail} or {type: 'encode', id,
// file, effort, depth}, `file` a Blob read here. Messages out: {type: 'info'
// | 'progress' | 'result', id, ...}; a picture comes back as an ImageBitmap,
// a written file as `bytes`, an ArrayBuffer. The page cancels by terminating
// the worker.
'use strict';

let decoderReady = null;

// What the first bytes of a file say it is: 'png', 'jpeg' or, for anything
// else, 'tzf' (the module then tells whether it is one).
function pictureKind(head) {
  const png = [137, 80, 78, 71, 13, 10, 26, 10];
  if (head.length >= 8 && png.every((b, i) => head[i] === b)) return 'png';
  if (head.length >= 3 && head[0] === 0xff && head[1] === 0xd8 && head[2] === 0xff) return 'jpeg';
  return 'tzf';
}

const kMimeOfKind = { png: 'image/png', jpeg: 'image/jpeg' };

async function readBytes(blob, at, end) {
  return new Uint8Array(await blob.slice(at, end).arrayBuffer());
}

// The size a PNG or JPEG file states, read before the browser decodes it, so
// the page's limit holds before the pixels exist; null when it states none.
async function statedSize(file, kind) {
  if (kind === 'png') {
    // The first chunk, IHDR, starts with the width and the height.
    const b = await readBytes(file, 8, 24);
    if (b.length < 16 || String.fromCharCode(b[4], b[5], b[6], b[7]) !== 'IHDR') return null;
    const view = new DataView(b.buffer);
    return { width: view.getUint32(8), height: view.getUint32(12) };
  }
  // JPEG: segments, each a marker and a 16-bit length, up to the frame
  // header (SOF0 to SOF15 but DHT, JPG and DAC), which has the size.
  let at = 2;
  for (let segments = 0; segments < 4096 && at < file.size; segments++) {
    const b = await readBytes(file, at, at + 9);
    if (b.length < 4 || b[0] !== 0xff) return null;
    const marker = b[1];
    if (marker === 0xff) {
      at++; // fill byte
      continue;
    }
    if (marker >= 0xc0 && marker <= 0xcf && marker !== 0xc4 && marker !== 0xc8 && marker !== 0xcc) {
      if (b.length < 9) return null;
      return { width: (b[7] << 8) | b[8], height: (b[5] << 8) | b[6] };
    }
    if (marker === 0xd9 || marker === 0xda) return null; // no frame header before the data
    at += 2 + ((b[2] << 8) | b[3]);
  }
  return null;
}

// The RGBA pixels of a decoded frame of 8-bit RGB samples, as the file has
// them (not premultiplied): {width, height, pixels}; null for a frame of
// another layout.
async function framePixels(frame) {
  const format = frame.format;
  if (!['RGBA', 'RGBX', 'BGRA', 'BGRX'].includes(format)) return null;
  const width = frame.visibleRect.width;
  const height = frame.visibleRect.height;
  const buffer = new Uint8Array(frame.allocationSize());
  const [plane] = await frame.copyTo(buffer);
  const pixels = new Uint8ClampedArray(width * height * 4);
  const blueFirst = format[0] === 'B';
  const opaque = format[3] === 'X';
  for (let y = 0; y < height; y++) {
    const row = buffer.subarray(plane.offset + y * plane.stride, plane.offset + y * plane.stride + width * 4);
    pixels.set(row, y * width * 4);
  }
  if (blueFirst || opaque) {
    for (let i = 0; i < pixels.length; i += 4) {
      if (blueFirst) {
        const blue = pixels[i];
        pixels[i] = pixels[i + 2];
        pixels[i + 2] = blue;
      }
      if (opaque) pixels[i + 3] = 255;
    }
  }
  return { width, height, pixels };
}

// Decodes a PNG or JPEG file with the browser. A PNG's pixels come as the
// file has them through ImageDecoder where there is one; otherwise, and for
// JPEG (whose colours are then the browser's usual ones), through a canvas,
// which is exact for opaque pixels and rounds the colours of those partly
// transparent.
async function decodeImage(file, kind) {
  const name = kind === 'png' ? 'PNG' : 'JPEG';
  const fail = (reason, message) => ({ ok: false, reason, message });
  const size = await statedSize(file, kind);
  if (!size || !size.width || !size.height) return fail('bad-image', `This ${name} file does not say how large its picture is.`);
  const pixelCount = size.width * size.height;
  if (pixelCount > TZF_PAGE_LIMITS.maxPixels) {
    const mp = Math.ceil(pixelCount / 1e4) / 100;
    return fail('too-large', `The picture is ${size.width}x${size.height} (${mp} megapixels); this page shows pictures of up to ${TZF_PAGE_LIMITS.maxPixels / 1e6} megapixels.`);
  }
  let picture = null;
  try {
    if (kind === 'png' && typeof ImageDecoder === 'function') {
      const decoder = new ImageDecoder({ data: file.stream(), type: kMimeOfKind[kind], premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
      try {
        const { image } = await decoder.decode({ frameIndex: 0 });
        try {
          picture = await framePixels(image);
        } finally {
          image.close();
        }
      } finally {
        decoder.close();
      }
    }
    if (!picture) {
      const bitmap = await createImageBitmap(file, { premultiplyAlpha: 'none', colorSpaceConversion: 'none' });
      try {
        const canvas = new OffscreenCanvas(bitmap.width, bitmap.height);
        const context = canvas.getContext('2d', { willReadFrequently: true });
        context.drawImage(bitmap, 0, 0);
        const data = context.getImageData(0, 0, bitmap.width, bitmap.height).data;
        picture = { width: bitmap.width, height: bitmap.height, pixels: data };
      } finally {
        bitmap.close();
      }
    }
  } catch (error) {
    return fail('bad-image', `This ${name} file cannot be read: ${error.message}`);
  }
  if (picture.width * picture.height > TZF_PAGE_LIMITS.maxPixels) return fail('too-large', `The picture is ${picture.width}x${picture.height}, more than this page shows.`);
  return { ok: true, kind, width: picture.width, height: picture.height, pixels: picture.pixels, truncated: false, rowsHeld: picture.height, codecMs: 0 };
}

// Reads `file` into RGBA pixels: {ok: true, kind, width, height,
// bitsPerPixel (TZF only), pixels, ...} or {ok: false, reason, message}. A
// file named .tzf is read as TZF whatever it holds; others as what their
// first bytes say. TZF pixels are the module's, good until
// decoder.release().
async function readPicture(decoder, file, onProgress, onInfo) {
  const named = typeof file.name === 'string' && /\.tzf$/i.test(file.name);
  const kind = named ? 'tzf' : pictureKind(await readBytes(file, 0, 8));
  if (kind !== 'tzf') return decodeImage(file, kind);
  const result = await decoder.decode(file, onProgress, onInfo);
  return Object.assign({ kind }, result);
}

// The decoded pixels as a bitmap, scaled to fit a box of `size` pixels
// (never enlarged) when `size` is given.
function makeBitmap(result, size) {
  const image = new ImageData(result.pixels, result.width, result.height);
  const options = { premultiplyAlpha: 'none', colorSpaceConversion: 'none' };
  if (size) {
    const scale = Math.min(1, size / Math.max(result.width, result.height));
    options.resizeWidth = Math.max(1, Math.round(result.width * scale));
    options.resizeHeight = Math.max(1, Math.round(result.height * scale));
    options.resizeQuality = 'medium';
  }
  return createImageBitmap(image, options);
}

// Progress messages, one a percent.
function progressPoster(id, stage) {
  let lastPercent = -1;
  return (done, height) => {
    const percent = Math.floor((100 * done) / height);
    if (percent !== lastPercent) {
      lastPercent = percent;
      self.postMessage({ type: 'progress', id, stage, done, height });
    }
    return false;
  };
}

async function decodeJob(decoder, message) {
  const id = message.id;
  const started = performance.now();
  const result = await readPicture(decoder, message.file, progressPoster(id, 'decode'),
    (width, height, bitsPerPixel) => self.postMessage({ type: 'info', id, width, height, bitsPerPixel }));
  const reply = Object.assign({ type: 'result', id, memoryBytes: decoder.memoryBytes() }, result, { pixels: null });
  const transfer = [];
  if (result.ok) {
    reply.bitmap = await makeBitmap(result, message.thumbnail);
    transfer.push(reply.bitmap);
  }
  reply.decodeMs = performance.now() - started;
  return { reply, transfer };
}

// Reads the file again and writes it as TZF.
async function encodeJob(decoder, message) {
  const id = message.id;
  const picture = await readPicture(decoder, message.file, null, null);
  if (!picture.ok) return { reply: Object.assign({ type: 'result', id }, picture), transfer: [] };
  self.postMessage({ type: 'info', id, width: picture.width, height: picture.height, stage: 'encode' });
  const result = decoder.encode(picture.pixels, picture.width, picture.height,
    { effort: message.effort, depth: message.depth }, progressPoster(id, 'encode'));
  const reply = Object.assign({ type: 'result', id, memoryBytes: decoder.memoryBytes(), width: picture.width, height: picture.height }, result);
  const transfer = [];
  if (result.ok) {
    reply.bytes = result.bytes.buffer;
    transfer.push(reply.bytes);
  }
  return { reply, transfer };
}

self.onmessage = async (event) => {
  const message = event.data;
  if (message.type === 'init') {
    decoderReady = tzfCreateDecoder(message.wasm);
    return;
  }
  if (message.type !== 'decode' && message.type !== 'encode') return;
  let reply;
  let transfer = [];
  let decoder = null;
  try {
    decoder = await decoderReady;
    ({ reply, transfer } = await (message.type === 'decode' ? decodeJob : encodeJob)(decoder, message));
  } catch (error) {
    const what = message.type === 'decode' ? 'The decoder' : 'The writer';
    reply = { type: 'result', id: message.id, ok: false, reason: 'crash', message: `${what} failed: ${error.message}` };
  } finally {
    if (decoder) decoder.release();
  }
  self.postMessage(reply, transfer);
};
