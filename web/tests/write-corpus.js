// The pictures every writer writes: tests/corpus/write/write.tsv (an input
// PNG, its kind and the PNG of the pixels its file must decode to) and the
// golden corpus's 'ok' pictures' PNGs, read as true-colour inputs.
'use strict';
const fs = require('fs');
const path = require('path');
const { readPng } = require('./png');

const corpusDir = path.resolve(__dirname, '../../tests/corpus');
const writeDir = path.join(corpusDir, 'write');
const kKinds = ['palette', 'rgb', 'rgba'];

// [{name, kind, file, input() -> {width, height, rgba}, expected() -> the same}]
function readWriteCorpus() {
  const table = path.join(writeDir, 'write.tsv');
  if (!fs.existsSync(table)) throw new Error(`${table} is missing`);
  const entries = [];
  for (const line of fs.readFileSync(table, 'utf8').split('\n')) {
    if (!line.trim() || line.startsWith('#')) continue;
    const [name, kind, expected] = line.split('\t');
    if (!kKinds.includes(kind) || !expected) throw new Error(`write.tsv: cannot read "${line}"`);
    const file = path.join(writeDir, name);
    entries.push({
      name, kind, file,
      input: () => readPng(fs.readFileSync(file)),
      expected: () => readPng(fs.readFileSync(path.join(writeDir, expected))),
    });
  }
  if (!entries.length) throw new Error(`${table} names no picture`);
  return entries;
}

// The golden corpus's pictures that decode whole, their PNGs as inputs.
function readGoldenInputs() {
  const entries = [];
  for (const line of fs.readFileSync(path.join(corpusDir, 'expected.tsv'), 'utf8').split('\n')) {
    const [name, cls] = line.split('\t');
    if (cls !== 'ok') continue;
    const file = path.join(corpusDir, name.replace(/\.tzf$/, '.png'));
    const read = () => readPng(fs.readFileSync(file));
    entries.push({ name: path.basename(file), kind: 'rgb', file, input: read, expected: read });
  }
  return entries;
}

// Distinct colours of an RGBA picture (alpha ignored).
function colourCount(rgba) {
  const seen = new Set();
  for (let i = 0; i < rgba.length; i += 4) seen.add((rgba[i] << 16) | (rgba[i + 1] << 8) | rgba[i + 2]);
  return seen.size;
}

module.exports = { readWriteCorpus, readGoldenInputs, colourCount };
