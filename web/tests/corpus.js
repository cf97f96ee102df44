// The shared golden corpus: tests/corpus/expected.tsv names every file with
// its class; the pictures that decode have their pixels in NAME.png. The
// page's failure reasons map onto the classes below; its own limit (100
// megapixels) is below the library's defaults, so the corpus's 'limit'
// files are the page's 'too-large' ones.
'use strict';
const fs = require('fs');
const path = require('path');
const { readPng } = require('./png');

const corpusDir = path.resolve(__dirname, '../../tests/corpus');
const kReasonOfClass = { 'not-tzf': 'not-tzf', 'bad-size': 'bad-size', limit: 'too-large' };

// [{name, file, cls, rowsHeld, reason, expected() -> {width, height, rgba}}]
function readCorpus() {
  const table = path.join(corpusDir, 'expected.tsv');
  if (!fs.existsSync(table)) throw new Error(`${table} is missing`);
  const entries = [];
  for (const line of fs.readFileSync(table, 'utf8').split('\n')) {
    if (!line.trim() || line.startsWith('#')) continue;
    const [name, cls, rows] = line.split('\t');
    const decodes = cls === 'ok' || cls === 'truncated';
    if (!decodes && !kReasonOfClass[cls]) throw new Error(`expected.tsv: unknown class in "${line}"`);
    const file = path.join(corpusDir, name);
    const png = file.replace(/\.tzf$/, '.png');
    entries.push({
      name, file, cls, decodes,
      rowsHeld: Number(rows),
      reason: kReasonOfClass[cls],
      expected: () => readPng(fs.readFileSync(png)),
    });
  }
  if (!entries.length) throw new Error(`${table} names no file`);
  return entries;
}

module.exports = { readCorpus };
