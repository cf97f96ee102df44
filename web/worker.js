// The page's decoding worker (tzf-core.js comes before this file in the same
// script). Messages in: {type: 'init', wasm}, then {type: 'decode', id, file,
// thumbnail}, `file` a Blob read here piece by piece. Messages out: {type:
// 'info' | 'progress' | 'result', id, ...}; a picture comes back as an
// ImageBitmap. The page cancels by terminating the worker.
'use strict';

let decoderReady = null;

// The decoded pixels as a bitmap, scaled to fit a box of `size` pixels
// (never enlarged) when `size` is given. The pixels are read straight from
// the module's memory.
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

self.onmessage = async (event) => {
  const message = event.data;
  if (message.type === 'init') {
    decoderReady = tzfCreateDecoder(message.wasm);
    return;
  }
  if (message.type !== 'decode') return;
  const id = message.id;
  let reply;
  const transfer = [];
  let decoder = null;
  try {
    decoder = await decoderReady;
    let lastPercent = -1;
    const started = performance.now();
    const result = await decoder.decode(
      message.file,
      (done, height) => {
        const percent = Math.floor((100 * done) / height);
        if (percent !== lastPercent) {
          lastPercent = percent;
          self.postMessage({ type: 'progress', id, done, height });
        }
        return false;
      },
      (width, height, bitsPerPixel) => self.postMessage({ type: 'info', id, width, height, bitsPerPixel }),
    );
    reply = Object.assign({ type: 'result', id, memoryBytes: decoder.memoryBytes() }, result, { pixels: null });
    if (result.ok) {
      reply.bitmap = await makeBitmap(result, message.thumbnail);
      transfer.push(reply.bitmap);
    }
    reply.decodeMs = performance.now() - started;
  } catch (error) {
    reply = { type: 'result', id, ok: false, reason: 'crash', message: 'The decoder failed: ' + error.message };
  } finally {
    if (decoder) decoder.release();
  }
  self.postMessage(reply, transfer);
};
