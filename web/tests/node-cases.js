// The page's decoder under Node: the worker script and the WebAssembly
// module are taken out of the built page, so this is the code the browser
// runs, without a browser. Files are handed over as Blobs, as the page does.
'use strict';
const fs = require('fs');
const vm = require('vm');
const { check, samePixels } = require('./harness');
const { readCorpus } = require('./corpus');
const { readWriteCorpus, readGoldenInputs, colourCount } = require('./write-corpus');

// Node has no ImageData or createImageBitmap: these stand-ins copy the
// pixels, as a bitmap would.
class ImageData {
  constructor(data, width, height) {
    check(data.length === width * height * 4, 'ImageData of the wrong size');
    Object.assign(this, { data, width, height });
  }
}
const createImageBitmap = async (image) => ({ width: image.width, height: image.height, data: Uint8ClampedArray.from(image.data) });

// Returns {context, wasm}: the worker script run in a context of its own
// (`self.postMessage` collects into `posted`), and the module's bytes.
function loadPage(pagePath) {
  const page = fs.readFileSync(pagePath, 'utf8');
  const worker = /<script id="worker-source" type="text\/plain">([\s\S]*?)<\/script>/.exec(page);
  const wasm = /const TZF_WASM_BASE64 = '([A-Za-z0-9+/=]+)';/.exec(page);
  if (!worker || !wasm) throw new Error(`${pagePath} lacks the worker script or the module`);
  const posted = [];
  const context = vm.createContext({
    self: { postMessage: (message) => posted.push(message) },
    performance, WebAssembly, TextDecoder, Blob, console, ImageData, createImageBitmap,
  });
  vm.runInContext(worker[1], context, { filename: 'worker-source' });
  return { context, posted, wasm: Buffer.from(wasm[1], 'base64') };
}

const blobOf = (file) => new Blob([fs.readFileSync(file)]);

function nodeCases(pagePath, fixtures, report) {
  const page = loadPage(pagePath);
  let decoder = null;
  const freshDecoder = () => page.context.tzfCreateDecoder(page.wasm);
  const cases = [];

  cases.push({
    name: 'module imports only the progress and memory-growth functions',
    run: async () => {
      const imports = WebAssembly.Module.imports(new WebAssembly.Module(page.wasm)).map((i) => `${i.module}.${i.name}`);
      check(JSON.stringify(imports.sort()) === JSON.stringify(['env.emscripten_notify_memory_growth', 'env.tzf_web_progress']),
        'imports: ' + imports.join(', '));
      decoder = await freshDecoder();
    },
  });

  for (const f of fixtures.good) {
    cases.push({
      name: `decodes ${f.name} as tzfconv does`,
      run: async () => {
        const rows = [];
        let infoSeen = null;
        const result = await decoder.decode(blobOf(f.file), (done, height) => { rows.push([done, height]); return false; },
          (w, h, bpp) => { infoSeen = [w, h, bpp]; });
        check(result.ok, `failed: ${result.message}`);
        check(result.width === f.width && result.height === f.height && result.bitsPerPixel === f.depth,
          `got ${result.width}x${result.height}, ${result.bitsPerPixel}-bit`);
        check(JSON.stringify(infoSeen) === JSON.stringify([f.width, f.height, f.depth]), 'onInfo: ' + infoSeen);
        check(result.truncated === Boolean(f.truncated), 'truncated flag is ' + result.truncated);
        check(f.truncated ? result.rowsHeld < f.height : result.rowsHeld === f.height, `${result.rowsHeld} rows held`);
        check(rows.length === f.height + 1 && rows.every(([d, h], i) => d === i && h === f.height),
          `progress calls: ${rows.length} for ${f.height} rows`);
        samePixels(result.pixels, f.expected, f.width, f.height);
      },
    });
  }

  for (const b of fixtures.bad) {
    cases.push({
      name: `refuses ${b.name} (${b.reason})`,
      run: async () => {
        const result = await decoder.decode(blobOf(b.file), () => false);
        check(!result.ok && result.reason === b.reason, `got ${JSON.stringify({ ok: result.ok, reason: result.reason })}`);
        check(typeof result.message === 'string' && result.message.length > 10, 'message: ' + result.message);
      },
    });
  }

  // The golden corpus: the same pixels, or the same failure class.
  let corpus = null;
  try {
    corpus = readCorpus();
  } catch (error) {
    cases.push({ name: 'the golden corpus', run: () => { throw error; } });
  }
  for (const c of corpus || []) {
    cases.push({
      name: `corpus ${c.name}: ${c.cls}`,
      run: async () => {
        const result = await decoder.decode(new Uint8Array(fs.readFileSync(c.file)));
        if (!c.decodes) {
          check(!result.ok && result.reason === c.reason, `expected ${c.reason}, got ${result.ok ? 'a picture' : result.reason}`);
          return;
        }
        check(result.ok, `failed: ${result.reason}: ${result.message}`);
        check(result.rowsHeld === c.rowsHeld, `${result.rowsHeld} rows held, expected ${c.rowsHeld}`);
        check(result.truncated === (c.cls === 'truncated'), 'truncated flag is ' + result.truncated);
        const png = c.expected();
        check(result.width === png.width && result.height === png.height, `${result.width}x${result.height}, PNG ${png.width}x${png.height}`);
        samePixels(result.pixels, png.rgba, png.width, png.height);
      },
    });
  }

  cases.push({
    name: 'the message for a picture over the limit states its size and the page limit',
    run: async () => {
      const over = (corpus || []).filter((c) => c.reason === 'too-large');
      check(over.length, 'the corpus has no picture over the limits');
      for (const c of over) {
        const { message } = await decoder.decode(blobOf(c.file));
        check(/ is \d+x\d+ \([\d.]+ megapixels\)/.test(message) && /up to 100 megapixels/.test(message), message);
      }
    },
  });

  // A header alone declaring empty streams: every pixel a missing literal.
  for (const [width, height, ok] of [[10000, 10000, true], [10001, 10000, false], [100000000, 1, true], [1, 100000001, false]]) {
    cases.push({
      name: `the 100-megapixel limit: ${width}x${height} is ${ok ? 'decoded' : 'refused'}`,
      run: async () => {
        const header = Buffer.from(fs.readFileSync(fixtures.good.find((g) => g.name === 'sample').file).subarray(0, 64));
        header.writeUInt32LE(width, 12);
        header.writeUInt32LE(height, 16);
        header.writeUInt32LE(0, 48);
        header.writeUInt32LE(0, 52);
        const fresh = await freshDecoder();
        const result = await fresh.decode(new Blob([header]));
        check(result.ok === ok, `ok is ${result.ok}: ${result.message}`);
        if (!ok) {
          check(result.reason === 'too-large' && result.message.includes('100 megapixels'), result.message);
          check(fresh.memoryBytes() <= 16 << 20, `memory grew to ${fresh.memoryBytes()} for a refused picture`);
          return;
        }
        check(result.truncated && result.rowsHeld === 0, `truncated ${result.truncated}, ${result.rowsHeld} rows held`);
        check(result.pixels.length === width * height * 4, 'pixel bytes ' + result.pixels.length);
        const words = new Uint32Array(result.pixels.buffer, result.pixels.byteOffset, result.pixels.length / 4);
        check(words.every((w) => w === 0xff000000), 'pixels other than opaque black');
        report(`module memory for ${width}x${height} from a ${header.length}-byte file: ${fresh.memoryBytes()} bytes (output ${result.pixels.length})`);
      },
    });
  }

  // The module holds the usable bytes and the pixels, plus a fixed amount:
  // never the whole file, and nothing past what decoding can read.
  for (const [name, junk] of [['noise-2000x1500-24', 0], ['noise-2000x1500-24', 64 << 20], ['shapes-333x211-24', 256 << 20]]) {
    cases.push({
      name: `module memory for ${name}${junk ? ` followed by ${junk >> 20} MiB of other bytes` : ''} stays within the file's usable bytes and the pixels`,
      run: async () => {
        const f = fixtures.good.find((g) => g.name === name);
        const bytes = fs.readFileSync(f.file);
        const fresh = await freshDecoder();
        const base = fresh.memoryBytes();
        const result = await fresh.decode(new Blob([bytes, new Uint8Array(junk)]));
        check(result.ok, result.message);
        samePixels(result.pixels, f.expected, f.width, f.height);
        const used = fresh.memoryBytes();
        const bound = base + bytes.length + result.pixels.length + (2 << 20);
        check(used <= bound, `memory ${used} bytes, more than ${bound}`);
        report(`module memory for ${name} (${bytes.length}-byte file${junk ? ` + ${junk} bytes after it` : ''}, ${result.pixels.length} bytes of RGBA): ${used} bytes, ${base} at the start`);
      },
    });
  }

  cases.push({
    name: 'a progress answer of true cancels, and the next decoding works',
    run: async () => {
      const f = fixtures.good.find((g) => g.name === 'shapes-333x211-24');
      const result = await decoder.decode(blobOf(f.file), (done) => done === 100);
      check(!result.ok && result.reason === 'cancelled', 'got ' + result.reason);
      const again = await decoder.decode(blobOf(f.file), () => false);
      check(again.ok, 'next decoding: ' + again.message);
      samePixels(again.pixels, f.expected, f.width, f.height);
    },
  });

  cases.push({
    name: 'memory is freed: forty decodings leave the memory size as it was',
    run: async () => {
      const f = fixtures.good.find((g) => g.name === 'blocks-1201x1000-8');
      const bytes = blobOf(f.file);
      check((await decoder.decode(bytes)).ok, 'first decoding');
      const before = decoder.memoryBytes();
      for (let i = 0; i < 40; i++) {
        check((await decoder.decode(bytes)).ok, 'decoding ' + i);
        check(!(await decoder.decode(blobOf(fixtures.bad[0].file))).ok, 'refusal ' + i);
      }
      decoder.release();
      check(decoder.memoryBytes() === before, `memory grew from ${before} to ${decoder.memoryBytes()}`);
    },
  });

  cases.push({
    name: 'worker messages: init, then info, progress by percent and a result',
    run: async () => {
      const f = fixtures.good.find((g) => g.name === 'blocks-1201x1000-8');
      page.posted.length = 0;
      await page.context.self.onmessage({ data: { type: 'init', wasm: page.wasm } });
      await page.context.self.onmessage({ data: { type: 'decode', id: 7, file: blobOf(f.file), thumbnail: 0 } });
      const types = page.posted.map((m) => m.type);
      check(page.posted.every((m) => m.id === 7), 'ids');
      check(types[0] === 'info' && types[types.length - 1] === 'result', 'order: ' + types.join(','));
      const progress = page.posted.filter((m) => m.type === 'progress');
      check(progress.length === 101, `${progress.length} progress messages, expected one a percent`);
      const result = page.posted[page.posted.length - 1];
      check(result.ok && result.width === 1201 && typeof result.decodeMs === 'number', JSON.stringify(result.message));
      samePixels(result.bitmap.data, f.expected, f.width, f.height);
    },
  });
  cases.push(...writeCases(page, freshDecoder));
  return cases;
}

// Writes `input` with `options` and reads the file back with the module:
// the pixels must be `expected` exactly at 24 bits, and at 8 bits when the
// input has at most 256 colours; otherwise an 8-bit file of a palette
// chosen for it.
async function roundTrip(decoder, input, expected, options, transparent) {
  const written = decoder.encode(input.rgba, input.width, input.height, options);
  check(written.ok, `writing failed: ${written.message}`);
  check(written.bitsPerPixel === options.depth, `${written.bitsPerPixel}-bit file`);
  check(written.composited === transparent, 'composited is ' + written.composited);
  const read = await decoder.decode(written.bytes);
  check(read.ok && !read.truncated, `reading back: ${read.message || 'truncated'}`);
  check(read.width === input.width && read.height === input.height && read.bitsPerPixel === options.depth,
    `read back ${read.width}x${read.height}, ${read.bitsPerPixel}-bit`);
  const exact = options.depth === 24 || colourCount(expected.rgba) <= 256;
  if (exact) {
    check(!written.quantised, 'a palette was chosen for a picture of at most 256 colours');
    samePixels(read.pixels, expected.rgba, input.width, input.height);
  } else {
    check(written.quantised && written.colours <= 256 && colourCount(read.pixels) <= written.colours,
      `quantised ${written.quantised}, ${written.colours} colours, ${colourCount(read.pixels)} read back`);
  }
  return written;
}

function writeCases(page, freshDecoder) {
  const cases = [];
  let decoder = null;
  let pictures = [];
  try {
    pictures = readWriteCorpus();
  } catch (error) {
    cases.push({ name: 'the write corpus', run: () => { throw error; } });
  }
  const settings = [{ depth: 24, effort: 'smallest' }, { depth: 24, effort: 'fast' }, { depth: 8, effort: 'smallest' }, { depth: 8, effort: 'fast' }];
  for (const p of pictures) {
    cases.push({
      name: `writes ${p.name} (${p.kind}) at 24 and 8 bits, smallest and fast, and reads back its pixels`,
      run: async () => {
        decoder = decoder || (await freshDecoder());
        const input = p.input();
        const expected = p.expected();
        for (const options of settings) {
          try {
            await roundTrip(decoder, input, expected, options, p.kind === 'rgba');
          } catch (error) {
            throw new Error(`${options.depth}-bit, ${options.effort}: ${error.message}`);
          }
        }
      },
    });
  }
  cases.push({
    name: 'writes every golden corpus picture that decodes whole, at 24 bits and 8, and reads back its pixels',
    run: async () => {
      decoder = decoder || (await freshDecoder());
      const golden = readGoldenInputs();
      check(golden.length > 10, `${golden.length} pictures`);
      for (const g of golden) {
        const input = g.input();
        for (const options of [{ depth: 24, effort: 'smallest' }, { depth: 8, effort: 'fast' }]) {
          try {
            await roundTrip(decoder, input, input, options, false);
          } catch (error) {
            throw new Error(`${g.name}, ${options.depth}-bit: ${error.message}`);
          }
        }
      }
    },
  });

  cases.push({
    name: 'writing a decoded TZF picture reads its pixels where they lie in the module',
    run: async () => {
      const fresh = await freshDecoder();
      const p = pictures.find((x) => x.kind === 'rgb' && x.input().width > 100);
      const input = p.input();
      const first = fresh.encode(input.rgba, input.width, input.height, { depth: 24 });
      check(first.ok, first.message);
      const shown = await fresh.decode(first.bytes);
      check(shown.ok, shown.message);
      const again = fresh.encode(shown.pixels, shown.width, shown.height, { depth: 24 });
      check(again.ok && Buffer.compare(Buffer.from(again.bytes), Buffer.from(first.bytes)) === 0, 'a different file');
    },
  });

  cases.push({
    name: 'writing: a picture over the page limit is refused before any allocation; a progress answer of true cancels',
    run: async () => {
      const fresh = await freshDecoder();
      const before = fresh.memoryBytes();
      const over = fresh.encode(new Uint8Array(4), 10001, 10000, { depth: 24 });
      check(!over.ok && over.reason === 'too-large' && /up to 100 megapixels/.test(over.message), over.message);
      check(fresh.memoryBytes() === before, 'memory grew for a refused picture');
      const p = pictures.find((x) => x.kind === 'rgb' && x.input().height > 100).input();
      for (const depth of [24, 8]) {
        const cancelled = fresh.encode(p.rgba, p.width, p.height, { depth }, (done) => done > 0);
        check(!cancelled.ok && cancelled.reason === 'cancelled', `${depth}-bit: ${cancelled.reason}`);
      }
      check(fresh.encode(p.rgba, p.width, p.height, { depth: 8 }, () => false).ok, 'writing after a cancelled one');
    },
  });

  cases.push({
    name: 'memory is freed: forty writings leave the memory size as it was',
    run: async () => {
      const fresh = await freshDecoder();
      const p = pictures.find((x) => x.kind === 'rgb' && x.input().width * x.input().height > 2000).input();
      check(fresh.encode(p.rgba, p.width, p.height, { depth: 8 }).ok, 'first writing');
      const before = fresh.memoryBytes();
      for (let i = 0; i < 40; i++) {
        check(fresh.encode(p.rgba, p.width, p.height, { depth: i % 2 ? 8 : 24, effort: i % 3 ? 'fast' : 'smallest' }).ok, 'writing ' + i);
      }
      check(fresh.memoryBytes() === before, `memory grew from ${before} to ${fresh.memoryBytes()}`);
    },
  });

  cases.push({
    name: 'worker messages: encode a TZF file gives info, progress by percent and the bytes',
    run: async () => {
      const p = pictures.find((x) => x.kind === 'rgb' && x.input().height > 100);
      const input = p.input();
      const fresh = await freshDecoder();
      const tzf = fresh.encode(input.rgba, input.width, input.height, { depth: 24, effort: 'fast' });
      page.posted.length = 0;
      await page.context.self.onmessage({ data: { type: 'init', wasm: page.wasm } });
      await page.context.self.onmessage({ data: { type: 'encode', id: 9, file: new Blob([tzf.bytes]), effort: 'smallest', depth: 8 } });
      const types = page.posted.map((m) => m.type);
      check(page.posted.every((m) => m.id === 9), 'ids');
      check(types[0] === 'info' && types[types.length - 1] === 'result', 'order: ' + types.join(','));
      const progress = page.posted.filter((m) => m.type === 'progress');
      check(progress.length >= 2 && progress.every((m) => m.stage === 'encode') && progress[progress.length - 1].done === progress[progress.length - 1].height,
        `${progress.length} progress messages`);
      const result = page.posted[page.posted.length - 1];
      check(result.ok && result.bitsPerPixel === 8 && Object.prototype.toString.call(result.bytes) === '[object ArrayBuffer]', JSON.stringify(result.message));
      const read = await fresh.decode(new Uint8Array(result.bytes));
      check(read.ok && read.bitsPerPixel === 8 && read.width === input.width, read.message);
      page.posted.length = 0;
      await page.context.self.onmessage({ data: { type: 'encode', id: 10, file: new Blob(['not a picture at all, not even close']), depth: 24 } });
      const refused = page.posted[page.posted.length - 1];
      check(!refused.ok && refused.reason === 'not-tzf', JSON.stringify(refused));
    },
  });
  return cases;
}

module.exports = { nodeCases, loadPage };
