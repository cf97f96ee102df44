// A small table-driven runner: each case is {name, run}; prints one line a
// case and a closing 'LABEL: N passed, M failed' line; exits 1 on a failure.
'use strict';

async function runCases(label, cases) {
  let passed = 0;
  let failed = 0;
  for (const c of cases) {
    try {
      await c.run();
      passed++;
      console.log(`ok   ${c.name}`);
    } catch (error) {
      failed++;
      console.log(`FAIL ${c.name}: ${error && error.stack ? error.stack : error}`);
    }
  }
  console.log(`${label}: ${passed} passed, ${failed} failed`);
  return { passed, failed };
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// Compares two RGBA buffers of width x height; names the first differing pixel.
function samePixels(actual, expected, width, height) {
  check(actual.length === expected.length, `pixel buffer holds ${actual.length} bytes, expected ${expected.length}`);
  for (let i = 0; i < expected.length; i++) {
    if (actual[i] !== expected[i]) {
      const p = i >> 2;
      const got = Array.from(actual.subarray(p * 4, p * 4 + 4)).join(',');
      const want = Array.from(expected.subarray(p * 4, p * 4 + 4)).join(',');
      throw new Error(`pixel (${p % width}, ${Math.floor(p / width)}) of ${width}x${height} is ${got}, expected ${want}`);
    }
  }
}

module.exports = { runCases, check, samePixels };
