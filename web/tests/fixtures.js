// Makes the test pictures: BMP inputs drawn here, encoded by the native
// tzfenc, with tzfconv's BMP output of each as the expected pixels; plus
// files the page must refuse. Everything is deterministic.
'use strict';
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const { writeBmp24, readBmp } = require('./bmp');

const root = path.resolve(__dirname, '../..');

// Deterministic noise.
function lcg(seed) {
  let s = seed >>> 0;
  return () => ((s = (Math.imul(s, 1664525) + 1013904223) >>> 0) >>> 24);
}

const patterns = {
  ramp: (w, h) => (x, y) => [Math.floor((255 * x) / Math.max(1, w - 1)), Math.floor((255 * y) / Math.max(1, h - 1)), 128],
  // Few colours: blocks and diagonal stripes, exact in 8 bits.
  blocks: () => (x, y) => {
    const c = ((x >> 2) + (y >> 1) * 3 + ((x + y) % 5 === 0 ? 7 : 0)) % 40;
    return [c * 6, 255 - c * 5, (c * 37) % 256];
  },
  noise: (w, h, seed) => {
    const next = lcg(seed);
    return () => [next(), next(), next()];
  },
  // Gradient sky, a disc, bars and some noise: runs and literals mixed.
  shapes: (w, h, seed) => {
    const next = lcg(seed);
    return (x, y) => {
      const dx = x - w * 0.4;
      const dy = y - h * 0.55;
      if (dx * dx + dy * dy < (h * 0.3) ** 2) return [220, 180 - (y % 7), 40];
      if (y > h * 0.8) return (x >> 3) % 3 === 0 ? [30, 30, 30] : [90 + (x % 2) * 40, 140, 90];
      if ((x * 7 + y * 3) % 97 < 3) return [next(), next(), next()];
      return [40 + Math.floor((80 * y) / h), 90 + Math.floor((60 * y) / h), 200];
    };
  },
};

// name, size, pattern, tzfenc depth, extra tzfenc options.
const pictures = [
  { name: 'dot-1x1-24', width: 1, height: 1, pattern: 'ramp', depth: 24 },
  { name: 'dot-1x1-8', width: 1, height: 1, pattern: 'ramp', depth: 8 },
  { name: 'ramp-3x5-24', width: 3, height: 5, pattern: 'ramp', depth: 24 },
  { name: 'blocks-17x9-8', width: 17, height: 9, pattern: 'blocks', depth: 8 },
  { name: 'noise-101x37-24', width: 101, height: 37, pattern: 'noise', depth: 24 },
  { name: 'noise-63x21-8', width: 63, height: 21, pattern: 'noise', depth: 8 },
  { name: 'shapes-333x211-24', width: 333, height: 211, pattern: 'shapes', depth: 24 },
  { name: 'shapes-333x211-8', width: 333, height: 211, pattern: 'shapes', depth: 8 },
  { name: 'blocks-1201x1000-8', width: 1201, height: 1000, pattern: 'blocks', depth: 8, options: ['--fast'] },
  // Larger than the module's first memory, for the memory cases.
  { name: 'noise-2000x1500-24', width: 2000, height: 1500, pattern: 'noise', depth: 24, options: ['--fast'] },
];

function drawBmp(p, file) {
  const colour = patterns[p.pattern](p.width, p.height, p.width * 7919 + p.height);
  const rgb = new Uint8Array(p.width * p.height * 3);
  for (let y = 0; y < p.height; y++) {
    for (let x = 0; x < p.width; x++) rgb.set(colour(x, y), (y * p.width + x) * 3);
  }
  fs.writeFileSync(file, writeBmp24(p.width, p.height, rgb));
}

// Converts a TZF file with tzfconv and reads the result.
function reference(bin, tzf, dir) {
  const out = path.join(dir, path.basename(tzf, '.tzf') + '.expected.bmp');
  execFileSync(path.join(bin, 'tzfconv'), ['-q', tzf, out], { stdio: ['ignore', 'ignore', 'inherit'] });
  return readBmp(fs.readFileSync(out));
}

// Writes everything into `dir` and returns {good: [{name, file, width,
// height, depth, expected}], bad: [{name, file, reason}]}.
function makeFixtures(nativeBuild, dir) {
  const bin = path.join(nativeBuild, 'bin');
  fs.mkdirSync(dir, { recursive: true });
  const good = [];
  for (const p of pictures) {
    const bmp = path.join(dir, p.name + '.bmp');
    const tzf = path.join(dir, p.name + '.tzf');
    drawBmp(p, bmp);
    execFileSync(path.join(bin, 'tzfenc'), ['--depth', String(p.depth), ...(p.options || []), bmp, tzf], { stdio: ['ignore', 'ignore', 'inherit'] });
    good.push({ name: p.name, file: tzf, width: p.width, height: p.height, depth: p.depth });
  }
  const sample = path.join(dir, 'sample.tzf');
  fs.copyFileSync(path.join(root, 'samples/sample.tzf'), sample);
  good.push({ name: 'sample', file: sample, width: 640, height: 360, depth: 24 });

  // Pictures cut short decode with what is missing read as zero bytes: one
  // cut inside its literal stream, one inside its flag stream, and headers
  // cut to 42 and 41 bytes, which still say what the picture is.
  const whole = fs.readFileSync(path.join(dir, 'shapes-333x211-24.tzf'));
  const wholeSample = fs.readFileSync(sample);
  const cuts = [
    { name: 'cut-literals-333x211-24', from: whole, bytes: Math.floor(whole.length * 0.6), width: 333, height: 211 },
    { name: 'cut-flags-333x211-24', from: whole, bytes: 100, width: 333, height: 211 },
    { name: 'header-42-bytes-640x360-24', from: wholeSample, bytes: 42, width: 640, height: 360 },
    { name: 'header-41-bytes-640x360-24', from: wholeSample, bytes: 41, width: 640, height: 360 },
  ];
  for (const c of cuts) {
    const file = path.join(dir, c.name + '.tzf');
    fs.writeFileSync(file, c.from.subarray(0, c.bytes));
    good.push({ name: c.name, file, width: c.width, height: c.height, depth: 24, truncated: true });
  }

  for (const g of good) g.expected = reference(bin, g.file, dir).rgba;

  const bad = [];
  const addBad = (name, bytes, reason) => {
    const file = path.join(dir, name);
    fs.writeFileSync(file, bytes);
    bad.push({ name, file, reason });
  };
  addBad('not-a-picture.tzf', Buffer.from('<html><body>This is not a picture at all.</body></html>\n'.repeat(20)), 'not-tzf');
  addBad('empty.tzf', Buffer.alloc(0), 'not-tzf');
  addBad('short-20-bytes.tzf', whole.subarray(0, 20), 'not-tzf');
  addBad('short-40-bytes.tzf', whole.subarray(0, 40), 'not-tzf');
  // Pictures over the limits and of no size are the golden corpus's.
  return { good, bad };
}

module.exports = { makeFixtures };
