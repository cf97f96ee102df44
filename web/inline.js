// Writes the one-file page: web/index.html with the worker's and the page's
// scripts and the WebAssembly module (base64) put in place of its markers.
//   node web/inline.js WASM OUT.html
'use strict';
const fs = require('fs');
const path = require('path');

const [wasmPath, outPath] = process.argv.slice(2);
if (!wasmPath || !outPath) {
  console.error('usage: node web/inline.js WASM OUT.html');
  process.exit(1);
}
const read = (name) => fs.readFileSync(path.join(__dirname, name), 'utf8');
const parts = {
  '/*@WORKER@*/': read('tzf-core.js') + '\n' + read('worker.js'),
  '/*@VIEWER@*/': read('viewer.js'),
  '/*@WASM@*/': fs.readFileSync(wasmPath).toString('base64'),
};
let page = read('index.html');
for (const [marker, text] of Object.entries(parts)) {
  if (/<\/script/i.test(text)) throw new Error(`${marker} holds "</script", which would end its element`);
  const at = page.indexOf(marker);
  if (at < 0 || page.indexOf(marker, at + 1) >= 0) throw new Error(`index.html must hold ${marker} once`);
  page = page.slice(0, at) + text + page.slice(at + marker.length);
}
fs.writeFileSync(outPath + '.tmp', page);
fs.renameSync(outPath + '.tmp', outPath);
