// The page's decoder under Node: the worker script and the WebAssembly
// module are taken out of the built page, so this is the code the browser
// runs, without a browser.
'use strict';
const fs = require('fs');
const vm = require('vm');
const { check, samePixels } = require('./harness');

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
    performance, WebAssembly, TextDecoder, console,
  });
  vm.runInContext(worker[1], context, { filename: 'worker-source' });
  return { context, posted, wasm: Buffer.from(wasm[1], 'base64') };
}

function nodeCases(pagePath, fixtures) {
  const page = loadPage(pagePath);
  let decoder = null;
  const read = (f) => new Uint8Array(fs.readFileSync(f.file));
  const cases = [];

  cases.push({
    name: 'module imports only the progress and memory-growth functions',
    run: async () => {
      const imports = WebAssembly.Module.imports(new WebAssembly.Module(page.wasm)).map((i) => `${i.module}.${i.name}`);
      check(JSON.stringify(imports.sort()) === JSON.stringify(['env.emscripten_notify_memory_growth', 'env.tzf_web_progress']),
        'imports: ' + imports.join(', '));
      decoder = await page.context.tzfCreateDecoder(page.wasm);
    },
  });

  for (const f of fixtures.good) {
    cases.push({
      name: `decodes ${f.name} as tzfconv does`,
      run: () => {
        const rows = [];
        let infoSeen = null;
        const result = decoder.decode(read(f), (done, height) => { rows.push([done, height]); return false; },
          (w, h, bpp) => { infoSeen = [w, h, bpp]; });
        check(result.ok, `failed: ${result.message}`);
        check(result.width === f.width && result.height === f.height && result.bitsPerPixel === f.depth,
          `got ${result.width}x${result.height}, ${result.bitsPerPixel}-bit`);
        check(JSON.stringify(infoSeen) === JSON.stringify([f.width, f.height, f.depth]), 'onInfo: ' + infoSeen);
        check(result.truncated === Boolean(f.truncated), 'truncated flag is ' + result.truncated);
        check(rows.length === f.height + 1 && rows.every(([d, h], i) => d === i && h === f.height),
          `progress calls: ${rows.length} for ${f.height} rows`);
        samePixels(result.pixels, f.expected, f.width, f.height);
      },
    });
  }

  for (const b of fixtures.bad) {
    cases.push({
      name: `refuses ${b.name} (${b.reason})`,
      run: () => {
        const result = decoder.decode(read(b), () => false);
        check(!result.ok && result.reason === b.reason, `got ${JSON.stringify({ ok: result.ok, reason: result.reason })}`);
        check(typeof result.message === 'string' && result.message.length > 10, 'message: ' + result.message);
      },
    });
  }

  cases.push({
    name: 'the 65535x65535 message states the page limit',
    run: () => {
      const huge = fixtures.bad.find((b) => b.reason === 'too-large');
      const { message } = decoder.decode(read(huge));
      check(/65535x65535/.test(message) && /100 megapixels/.test(message), message);
    },
  });

  // A header alone declaring empty streams: every pixel a missing literal.
  for (const [width, height, ok] of [[10000, 10000, true], [10001, 10000, false], [100000000, 1, true], [1, 100000001, false]]) {
    cases.push({
      name: `the 100-megapixel limit: ${width}x${height} is ${ok ? 'decoded' : 'refused'}`,
      run: () => {
        const header = Buffer.from(fs.readFileSync(fixtures.good.find((g) => g.name === 'sample').file).subarray(0, 64));
        header.writeUInt32LE(width, 12);
        header.writeUInt32LE(height, 16);
        header.writeUInt32LE(0, 48);
        header.writeUInt32LE(0, 52);
        const result = decoder.decode(new Uint8Array(header));
        check(result.ok === ok, `ok is ${result.ok}: ${result.message}`);
        if (!ok) {
          check(result.reason === 'too-large' && result.message.includes('100 megapixels'), result.message);
          return;
        }
        check(result.pixels.length === width * height * 4, 'pixel bytes ' + result.pixels.length);
        const words = new Uint32Array(result.pixels.buffer);
        check(words.every((w) => w === 0xff000000), 'pixels other than opaque black');
      },
    });
  }

  cases.push({
    name: 'a progress answer of true cancels, and the next decoding works',
    run: () => {
      const f = fixtures.good.find((g) => g.name === 'shapes-333x211-24');
      const result = decoder.decode(read(f), (done) => done === 100);
      check(!result.ok && result.reason === 'cancelled', 'got ' + result.reason);
      const again = decoder.decode(read(f), () => false);
      check(again.ok, 'next decoding: ' + again.message);
      samePixels(again.pixels, f.expected, f.width, f.height);
    },
  });

  cases.push({
    name: 'memory is freed: forty decodings leave the memory size as it was',
    run: () => {
      const f = fixtures.good.find((g) => g.name === 'blocks-1201x1000-8');
      const bytes = read(f);
      check(decoder.decode(bytes).ok, 'first decoding');
      const before = decoder.memoryBytes();
      for (let i = 0; i < 40; i++) {
        check(decoder.decode(bytes).ok, 'decoding ' + i);
        check(!decoder.decode(read(fixtures.bad[0])).ok, 'refusal ' + i);
      }
      check(decoder.memoryBytes() === before, `memory grew from ${before} to ${decoder.memoryBytes()}`);
    },
  });

  cases.push({
    name: 'worker messages: init, then info, progress by percent and a result',
    run: async () => {
      const f = fixtures.good.find((g) => g.name === 'blocks-1201x1000-8');
      page.posted.length = 0;
      await page.context.self.onmessage({ data: { type: 'init', wasm: page.wasm } });
      const buffer = fs.readFileSync(f.file);
      await page.context.self.onmessage({ data: { type: 'decode', id: 7, buffer: buffer.buffer.slice(buffer.byteOffset, buffer.byteOffset + buffer.length), thumbnail: 0 } });
      const types = page.posted.map((m) => m.type);
      check(page.posted.every((m) => m.id === 7), 'ids');
      check(types[0] === 'info' && types[types.length - 1] === 'result', 'order: ' + types.join(','));
      const progress = page.posted.filter((m) => m.type === 'progress');
      check(progress.length === 101, `${progress.length} progress messages, expected one a percent`);
      const result = page.posted[page.posted.length - 1];
      check(result.ok && result.width === 1201 && typeof result.decodeMs === 'number', JSON.stringify(result.message));
      samePixels(result.pixels, f.expected, f.width, f.height);
    },
  });
  return cases;
}

module.exports = { nodeCases, loadPage };
