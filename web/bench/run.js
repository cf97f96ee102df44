// Decoding time of 1920x1080 24-bit pictures: in the page's worker in
// headless Chromium, under Node with the same module, and with the native
// codec built from the same sources; medians of several runs. Not a test.
//   node web/bench/run.js NATIVE_BUILD_DIR [RUNS]
// NATIVE_BUILD_DIR holds bin/tzfenc. Run scripts/build-web.sh (or
// web/tests/run.sh, which also installs playwright-core) first. Pictures:
// bench/fetch-pictures.sh's photo.png when it is there ($TZF_BENCH_PICTURES
// or ~/.cache/tzf-bench), and a drawn one with long runs.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const { writeBmp24 } = require('../tests/bmp');
const { loadPage } = require('../tests/node-cases');

const root = path.resolve(__dirname, '../..');
const out = process.env.TZF_WEB_BUILD || path.join(root, 'build-web');
const median = (values) => values.slice().sort((a, b) => a - b)[Math.floor(values.length / 2)];

// Bands, discs and a gradient: mostly runs.
function drawnPicture(file) {
  const width = 1920;
  const height = 1080;
  const rgb = new Uint8Array(width * height * 3);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const dx = (x % 480) - 240;
      const dy = (y % 360) - 180;
      let c = [30 + (y >> 3), 60 + (x >> 4), 120];
      if (dx * dx + dy * dy < 120 * 120) c = [230, 200 - ((x + y) % 9), 40];
      if ((y >> 4) % 9 === 0) c = [(x >> 5) * 8, 40, 40];
      rgb.set(c, (y * width + x) * 3);
    }
  }
  fs.writeFileSync(file, writeBmp24(width, height, rgb));
}

async function chromiumTimes(pagePath, files, runs) {
  const { chromium } = require('../tests/node_modules/playwright-core');
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tzf-web-bench-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  try {
    const page = context.pages()[0] || (await context.newPage());
    await page.goto('file://' + path.resolve(pagePath));
    const results = {};
    for (const file of files) {
      const worker = [];
      const shown = [];
      for (let i = 0; i < runs + 1; i++) {
        // Picking the same file again changes nothing unless the picker is cleared.
        await page.evaluate(() => { document.body.dataset.state = ''; document.getElementById('file').value = ''; });
        const started = Date.now();
        await page.setInputFiles('#file', [file]);
        await page.waitForFunction(() => document.body.dataset.state === 'shown', null, { timeout: 60000 });
        const elapsed = Date.now() - started;
        if (i === 0) continue; // the first run compiles the module in a new worker
        worker.push(await page.evaluate(() => [Number(document.body.dataset.codecMs), Number(document.body.dataset.decodeMs)]));
        shown.push(elapsed);
      }
      results[file] = { codec: median(worker.map((w) => w[0])), worker: median(worker.map((w) => w[1])), shown: median(shown) };
    }
    return results;
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

async function main() {
  const nativeBuild = process.argv[2];
  const runs = Number(process.argv[3] || 9);
  if (!nativeBuild) throw new Error('usage: node web/bench/run.js NATIVE_BUILD_DIR [RUNS]');
  const dir = path.join(out, 'bench');
  fs.mkdirSync(dir, { recursive: true });

  const pictures = [];
  const photos = process.env.TZF_BENCH_PICTURES || path.join(os.homedir(), '.cache/tzf-bench');
  const sources = [['photo', path.join(photos, 'photo.png')], ['drawn', path.join(dir, 'drawn.bmp')]];
  drawnPicture(sources[1][1]);
  for (const [name, source] of sources) {
    if (!fs.existsSync(source)) {
      console.log(`(${source} is missing: run bench/fetch-pictures.sh for the photograph)`);
      continue;
    }
    const tzf = path.join(dir, name + '.tzf');
    execFileSync(path.join(nativeBuild, 'bin/tzfenc'), ['--depth', '24', source, tzf]);
    pictures.push({ name, tzf, bytes: fs.statSync(tzf).size });
  }

  const timer = path.join(dir, 'native_time');
  const codec = fs.readdirSync(path.join(root, 'codec')).filter((f) => f.endsWith('.cpp')).map((f) => path.join(root, 'codec', f));
  execFileSync('g++', ['-O2', '-std=c++20', '-DTZF_STATIC', '-DNDEBUG', '-I' + path.join(root, 'include'), '-I' + root,
    ...codec, path.join(__dirname, 'native_time.cpp'), '-o', timer]);

  const page = loadPage(path.join(out, 'index.html'));
  const decoder = await page.context.tzfCreateDecoder(page.wasm);
  const browser = await chromiumTimes(path.join(out, 'index.html'), pictures.map((p) => p.tzf), runs);

  console.log(`median of ${runs} runs, milliseconds, 1920x1080 24-bit decoded to RGBA`);
  console.log('native: the codec built with g++ -O2; node: the decoder in the page\'s module under Node;');
  console.log('chromium: the decoder in the page\'s worker, then the worker\'s whole job (reading the file into');
  console.log('the module and handing the pixels over included), then picking the file to the picture on the canvas.');
  console.log('picture  file bytes  native    node  chromium  worker job  pick-to-shown');
  for (const p of pictures) {
    const native = Number(execFileSync(timer, [p.tzf, String(runs)]).toString());
    const input = new Uint8Array(fs.readFileSync(p.tzf));
    const node = [];
    for (let i = 0; i < runs; i++) {
      const result = await decoder.decode(input);
      if (!result.ok) throw new Error('decoding failed under Node');
      node.push(result.codecMs);
    }
    const b = browser[p.tzf];
    const ms = (v, width) => v.toFixed(2).padStart(width);
    console.log(`${p.name.padEnd(7)}  ${String(p.bytes).padStart(10)}  ${ms(native, 6)}  ${ms(median(node), 6)}  ` +
      `${ms(b.codec, 8)}  ${ms(b.worker, 10)}  ${String(b.shown).padStart(13)}`);
  }
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
