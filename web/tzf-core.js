// The codec's WebAssembly module and one loading with it, as libtzf's
// kept-bytes calls lay it out: the file's first bytes give the header and
// the page's limit is checked before anything is allocated; then only the
// bytes decoding can use are copied into the module, piece by piece from the
// file, and decoded into RGBA. Writing goes the other way: RGBA pixels in,
// the file's bytes out, in buffers of the sizes the library asks for. Every
// decision about the file's bytes is the library's: this file knows no
// layout and no number of tzf.h (the module's table of constants gives them
// by name). Runs in the page's worker and, for the tests, under Node.
'use strict';

const TZF_PAGE_LIMITS = Object.freeze({
  maxPixels: 100000000, // 100 megapixels: 400 MB of RGBA
});

// Bytes of the file copied into the module at a time.
const kPieceBytes = 1 << 20;

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

  // A view of the module's memory; a new one after every allocation, which
  // may have grown the memory and so detached the old views.
  const heap = () => new Uint8Array(e.memory.buffer);
  function cString(at) {
    const bytes = heap().subarray(at >>> 0);
    const end = bytes.indexOf(0);
    return new TextDecoder().decode(bytes.subarray(0, end < 0 ? 0 : end));
  }
  const tzf = {};
  for (let i = 0, n = e.tzf_web_constant_count() >>> 0; i < n; i++) {
    tzf[cString(e.tzf_web_constant_name(i))] = e.tzf_web_constant_value(i);
  }
  Object.freeze(tzf);
  const statusText = (status) => cString(e.tzf_status_text(status));

  // The RGBA pixels of the last decoding, held in the module until the next
  // decoding or release().
  let shown = 0;
  function release() {
    if (shown) e.free(shown);
    shown = 0;
  }

  // `source` is a Blob (a File) or a Uint8Array; `at`..`end` of it.
  async function readPiece(source, at, end) {
    if (ArrayBuffer.isView(source)) return source.subarray(at, end);
    return new Uint8Array(await source.slice(at, end).arrayBuffer());
  }

  // Decodes `source` (a Blob or a Uint8Array). `onInfo(width, height,
  // bitsPerPixel)` is called once the header passed the limit,
  // `onProgress(rowsDone, height)` before each row; a true answer from it
  // cancels. Resolves to {ok: true, width, height, bitsPerPixel, truncated,
  // rowsHeld, pixels, codecMs: the time inside the decoder} or {ok: false,
  // reason, message}. `pixels` is a Uint8ClampedArray over the module's
  // memory, good until the next decoding or release(); everything else the
  // loading allocated is freed before it resolves.
  async function decode(source, onProgress, onInfo) {
    const fail = (reason, message) => ({ ok: false, reason, message });
    release();
    const fileSize = ArrayBuffer.isView(source) ? source.length : source.size;
    let job = 0;
    let piece = 0;
    let kept = 0;
    let out = 0;
    try {
      job = e.tzf_web_job_new() >>> 0;
      piece = e.malloc(kPieceBytes) >>> 0;
      if (!job || !piece) return fail('memory', 'There is not enough memory to read this file.');
      const headEnd = Math.min(fileSize, tzf.INFO_SIZE);
      const head = await readPiece(source, 0, headEnd);
      heap().set(head, piece);
      let status = e.tzf_web_open(job, piece, head.length, TZF_PAGE_LIMITS.maxPixels);
      const width = e.tzf_web_width(job) >>> 0;
      const height = e.tzf_web_height(job) >>> 0;
      const bitsPerPixel = e.tzf_web_bits_per_pixel(job) >>> 0;
      if (status === tzf.ERROR_NOT_TZF) return fail('not-tzf', 'This is not a TZF picture.');
      if (status === tzf.ERROR_BAD_SIZE) return fail('bad-size', 'The picture cannot be shown: ' + statusText(status) + '.');
      if (status === tzf.ERROR_LIMIT || status === tzf.ERROR_TOO_LARGE) {
        const mp = Math.ceil((width * height) / 1e4) / 100; // rounded up: never shows as the limit
        return fail('too-large', `The picture is ${width}x${height} (${mp} megapixels); this page shows pictures of up to ${TZF_PAGE_LIMITS.maxPixels / 1e6} megapixels.`);
      }
      if (status !== tzf.OK) return fail('decode', 'The picture cannot be read: ' + statusText(status) + '.');
      if (onInfo) onInfo(width, height, bitsPerPixel);

      // Only the kept bytes the file holds, never more than its size.
      const keptBytes = e.tzf_web_kept_bytes(job, fileSize);
      const outBytes = e.tzf_web_output_bytes(job) >>> 0;
      kept = e.malloc(Math.max(1, keptBytes)) >>> 0;
      out = kept && e.malloc(outBytes) >>> 0;
      if (!kept || !out) return fail('memory', `There is not enough memory for a ${width}x${height} picture.`);
      let held = e.tzf_web_keep(job, 0, piece, head.length, kept);
      const end = Math.min(fileSize, e.tzf_web_end(job));
      for (let at = headEnd; at < end; at += kPieceBytes) {
        const bytes = await readPiece(source, at, Math.min(end, at + kPieceBytes));
        heap().set(bytes, piece);
        held = e.tzf_web_keep(job, at, piece, bytes.length, kept);
      }

      const started = performance.now();
      try {
        progressHook = onProgress || null;
        status = e.tzf_web_decode(job, kept, held, out);
      } finally {
        progressHook = null;
      }
      const codecMs = performance.now() - started;
      if (status === tzf.ERROR_CANCELLED) return fail('cancelled', 'Decoding was cancelled.');
      if (status !== tzf.OK) return fail('decode', 'The picture cannot be decoded: ' + statusText(status) + '.');
      shown = out;
      out = 0;
      return {
        ok: true, width, height, bitsPerPixel,
        truncated: e.tzf_web_truncated(job) !== 0,
        rowsHeld: e.tzf_web_rows_held(job) >>> 0,
        pixels: new Uint8ClampedArray(e.memory.buffer, shown, outBytes),
        codecMs,
      };
    } finally {
      if (out) e.free(out);
      if (kept) e.free(kept);
      if (piece) e.free(piece);
      if (job) e.tzf_web_job_free(job);
    }
  }

  // Writes `width` x `height` RGBA pixels (rows of width x 4 bytes, top row
  // first; where not opaque they are put over white) as a TZF file.
  // `pixels` may be the `pixels` of the last decoding, which is then read
  // where it lies. `options`: {effort: 'smallest' (the default) or 'fast',
  // depth: 24 (the default) or 8}. `onProgress(rowsDone, height)` as for
  // decode. Resolves to {ok: true, bytes: a Uint8Array of its own,
  // bitsPerPixel, colours, composited, quantised, codecMs} or {ok: false,
  // reason, message}; everything the writing allocated is freed before.
  function encode(pixels, width, height, options, onProgress) {
    const fail = (reason, message) => ({ ok: false, reason, message });
    const effort = options && options.effort === 'fast' ? tzf.EFFORT_FAST : tzf.EFFORT_SMALLEST;
    const depth = options && Number(options.depth) === 8 ? tzf.DEPTH_8 : tzf.DEPTH_24;
    if (!(width >= 1 && height >= 1 && width * height <= TZF_PAGE_LIMITS.maxPixels)) {
      const mp = Math.ceil((width * height) / 1e4) / 100;
      return fail('too-large', `The picture is ${width}x${height} (${mp} megapixels); this page writes pictures of up to ${TZF_PAGE_LIMITS.maxPixels / 1e6} megapixels.`);
    }
    if (!pixels || pixels.length !== width * height * 4) return fail('bad-argument', 'The picture\'s pixels are missing.');
    // Taken before any allocation: one that grows the memory detaches the
    // view, whose offset then reads as 0.
    const inModule = pixels.buffer === e.memory.buffer;
    const where = inModule ? pixels.byteOffset : 0;
    let writer = 0;
    let copy = 0;
    let work = 0;
    let out = 0;
    try {
      writer = e.tzf_web_writer_new() >>> 0;
      copy = writer && !inModule ? e.malloc(pixels.length) >>> 0 : 0;
      if (!writer || (!inModule && !copy)) return fail('memory', `There is not enough memory to write a ${width}x${height} picture.`);
      // Views of the module's memory are taken after the last allocation.
      if (!inModule) heap().set(pixels, copy);
      const at = inModule ? where : copy;
      let status = e.tzf_web_writer_size(writer, width, height, at, effort, depth);
      if (status === tzf.ERROR_TOO_LARGE || status === tzf.ERROR_LIMIT) {
        return fail('too-large', `A ${width}x${height} picture cannot be written as a TZF file: ${statusText(status)}.`);
      }
      if (status !== tzf.OK) return fail('encode', 'The picture cannot be written: ' + statusText(status) + '.');
      const maxBytes = e.tzf_web_writer_max_file_bytes(writer) >>> 0;
      const workBytes = e.tzf_web_writer_work_bytes(writer) >>> 0;
      work = e.malloc(Math.max(1, workBytes)) >>> 0;
      out = work && e.malloc(Math.max(1, maxBytes)) >>> 0;
      if (!work || !out) return fail('memory', `There is not enough memory to write a ${width}x${height} picture.`);
      const started = performance.now();
      try {
        progressHook = onProgress || null;
        status = e.tzf_web_encode(writer, work, out);
      } finally {
        progressHook = null;
      }
      const codecMs = performance.now() - started;
      if (status === tzf.ERROR_CANCELLED) return fail('cancelled', 'Writing was cancelled.');
      if (status !== tzf.OK) return fail('encode', 'The picture cannot be written: ' + statusText(status) + '.');
      const size = e.tzf_web_written_bytes(writer) >>> 0;
      return {
        ok: true,
        bytes: heap().slice(out, out + size),
        bitsPerPixel: e.tzf_web_written_bits_per_pixel(writer) >>> 0,
        colours: e.tzf_web_written_colours(writer) >>> 0,
        composited: e.tzf_web_written_composited(writer) !== 0,
        quantised: e.tzf_web_written_quantised(writer) !== 0,
        codecMs,
      };
    } finally {
      if (out) e.free(out);
      if (work) e.free(work);
      if (copy) e.free(copy);
      if (writer) e.tzf_web_writer_free(writer);
    }
  }

  return { decode, encode, release, statusText, constants: tzf, memoryBytes: () => e.memory.buffer.byteLength };
}

if (typeof module !== 'undefined' && module.exports) {
  module.exports = { tzfCreateDecoder, TZF_PAGE_LIMITS };
}
