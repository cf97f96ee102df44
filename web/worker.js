// The page's decoding worker (tzf-core.js comes before this file in the same
// script). Messages in: {type: 'init', wasm}, then {type: 'decode', id,
// buffer, thumbnail}. Messages out: {type: 'info' | 'progress' | 'result', id,
// ...}. The page cancels by terminating the worker.
'use strict';

let decoderReady = null;

// Draws RGBA pixels scaled to fit a box of `size` pixels (never enlarged).
async function makeThumbnail(result, size) {
  const scale = Math.min(1, size / Math.max(result.width, result.height));
  const image = new ImageData(result.pixels, result.width, result.height);
  return createImageBitmap(image, {
    resizeWidth: Math.max(1, Math.round(result.width * scale)),
    resizeHeight: Math.max(1, Math.round(result.height * scale)),
    resizeQuality: 'medium',
  });
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
  try {
    const decoder = await decoderReady;
    let lastPercent = -1;
    const started = performance.now();
    const result = decoder.decode(
      new Uint8Array(message.buffer),
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
    const decodeMs = performance.now() - started;
    reply = Object.assign({ type: 'result', id, decodeMs, memoryBytes: decoder.memoryBytes() }, result);
    if (result.ok && message.thumbnail) {
      reply.bitmap = await makeThumbnail(result, message.thumbnail);
      reply.pixels = null;
      transfer.push(reply.bitmap);
    } else if (result.ok) {
      transfer.push(result.pixels.buffer);
    }
  } catch (error) {
    reply = { type: 'result', id, ok: false, reason: 'crash', message: 'The decoder failed: ' + error.message };
  }
  self.postMessage(reply, transfer);
};
