// The codec's WebAssembly module and one decoding with it: copies a file's
// bytes into the module's memory, reads the header, applies the page's
// limits, decodes into RGBA and copies the pixels out. Runs in the page's
// worker and, for the tests, under Node.
'use strict';

const TZF_LIMITS = Object.freeze({
  maxPixels: 100000000, // 100 megapixels: 400 MB of RGBA
  maxFileBytes: 512 * 1024 * 1024,
});

const kTzf = Object.freeze({
  OK: 0,
  ERROR_NOT_TZF: 1,
  ERROR_TOO_LARGE: 3,
  ERROR_CANCELLED: 5,
  FORMAT_RGBA: 2,
  HEADER_SIZE: 64,
});

// Offsets in tzf_info (checked against the header by web/tzf_web.cpp).
const kInfo = Object.freeze({ width: 0, height: 4, bitsPerPixel: 8, truncated: 808 });

// Instantiates the module. Its only import that matters is the progress
// function; memory growth is announced through a second one, and any other
// import traps when called, which the decoding reports as a failure.
async function tzfCreateDecoder(wasmBytes) {
  let progressHook = null;
  const known = {
    tzf_web_progress: (done, height) => (progressHook && progressHook(done >>> 0, height >>> 0) ? 1 : 0),
    emscripten_notify_memory_growth: () => {},
  };
  const module = await WebAssembly.compile(wasmBytes);
  const imports = {};
  for (const imp of WebAssembly.Module.imports(module)) {
    if (imp.kind !== 'function') continue;
    imports[imp.module] = imports[imp.module] || {};
    imports[imp.module][imp.name] =
      (imp.module === 'env' && known[imp.name]) ||
      (() => {
        throw new Error('the codec called ' + imp.module + '.' + imp.name + ', which the page does not provide');
      });
  }
  const instance = await WebAssembly.instantiate(module, imports);
  const e = instance.exports;
  if (typeof e._initialize === 'function') e._initialize();
  const infoSize = e.tzf_web_info_size() >>> 0;

  function statusText(status) {
    const at = e.tzf_status_text(status) >>> 0;
    const bytes = new Uint8Array(e.memory.buffer, at);
    const end = bytes.indexOf(0);
    return new TextDecoder().decode(bytes.subarray(0, end < 0 ? 0 : end));
  }

  // Decodes `input` (a Uint8Array). `onInfo(width, height, bitsPerPixel)` is
  // called once the header passed the limits, `onProgress(rowsDone, height)`
  // before each row; a true answer from it cancels. Returns {ok: true, width,
  // height, bitsPerPixel, truncated, pixels: Uint8ClampedArray, codecMs: the
  // time inside tzf_decode} or {ok: false, reason, message}; the module's
  // memory is freed either way.
  function decode(input, onProgress, onInfo) {
    const fail = (reason, message) => ({ ok: false, reason, message });
    if (input.length > TZF_LIMITS.maxFileBytes) {
      return fail('file-too-large', `The file has ${input.length} bytes; this page opens files of up to ${TZF_LIMITS.maxFileBytes / 1048576} MiB.`);
    }
    let data = 0;
    let info = 0;
    let out = 0;
    try {
      data = e.malloc(Math.max(1, input.length)) >>> 0;
      info = e.malloc(infoSize + 8) >>> 0; // the info, then stride and bytes
      if (!data || !info) return fail('memory', 'There is not enough memory to read this file.');
      new Uint8Array(e.memory.buffer, data, input.length).set(input);
      if (input.length < kTzf.HEADER_SIZE) {
        return fail('short', `The file has only ${input.length} bytes: too short for a TZF picture, whose header alone has ${kTzf.HEADER_SIZE}.`);
      }
      if (!e.tzf_is_tzf(data, input.length)) {
        return fail('not-tzf', 'This is not a TZF picture (' + statusText(kTzf.ERROR_NOT_TZF) + ').');
      }
      let status = e.tzf_read_info(data, input.length, info);
      if (status !== kTzf.OK) return fail('header', 'The picture cannot be read: ' + statusText(status));
      let view = new DataView(e.memory.buffer);
      const width = view.getUint32(info + kInfo.width, true);
      const height = view.getUint32(info + kInfo.height, true);
      const bitsPerPixel = view.getUint32(info + kInfo.bitsPerPixel, true);
      const truncated = view.getUint32(info + kInfo.truncated, true) !== 0;
      const pixelCount = width * height; // exact: both below 2^32
      if (pixelCount > TZF_LIMITS.maxPixels) {
        const mp = Math.ceil(pixelCount / 1e4) / 100; // rounded up: never shows as the limit
        return fail('too-large', `The picture is ${width}x${height} (${mp} megapixels); this page shows pictures of up to ${TZF_LIMITS.maxPixels / 1e6} megapixels.`);
      }
      const strideAt = info + infoSize;
      status = e.tzf_output_size(info, kTzf.FORMAT_RGBA, strideAt, strideAt + 4);
      if (status !== kTzf.OK) return fail('header', 'The picture cannot be decoded here: ' + statusText(status));
      view = new DataView(e.memory.buffer);
      const stride = view.getUint32(strideAt, true);
      const bytes = view.getUint32(strideAt + 4, true);
      if (stride !== width * 4 || bytes !== pixelCount * 4) {
        return fail('header', 'The codec reported an unexpected buffer size.');
      }
      if (onInfo) onInfo(width, height, bitsPerPixel);
      out = e.malloc(bytes) >>> 0;
      if (!out) return fail('memory', `There is not enough memory for a ${width}x${height} picture.`);
      const started = performance.now();
      try {
        progressHook = onProgress || null;
        status = e.tzf_web_decode_rgba(data, input.length, out, stride);
      } finally {
        progressHook = null;
      }
      const codecMs = performance.now() - started;
      if (status === kTzf.ERROR_CANCELLED) return fail('cancelled', 'Decoding was cancelled.');
      if (status !== kTzf.OK) return fail('decode', 'The picture cannot be decoded: ' + statusText(status));
      const pixels = new Uint8ClampedArray(bytes);
      pixels.set(new Uint8Array(e.memory.buffer, out, bytes));
      return { ok: true, width, height, bitsPerPixel, truncated, pixels, codecMs };
    } finally {
      if (out) e.free(out);
      if (info) e.free(info);
      if (data) e.free(data);
    }
  }

  return { decode, statusText, memoryBytes: () => e.memory.buffer.byteLength };
}

if (typeof module !== 'undefined' && module.exports) {
  module.exports = { tzfCreateDecoder, TZF_LIMITS };
}
