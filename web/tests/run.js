// Runs the page's tests: the decoder under Node, then the page in headless
// Chromium. Usage: node web/tests/run.js NATIVE_BUILD_DIR [--node-only]
'use strict';
const path = require('path');
const { makeFixtures } = require('./fixtures');
const { runCases } = require('./harness');
const { nodeCases } = require('./node-cases');

async function main() {
  const [nativeBuild, option] = process.argv.slice(2);
  if (!nativeBuild) throw new Error('usage: node web/tests/run.js NATIVE_BUILD_DIR [--node-only]');
  const out = process.env.TZF_WEB_BUILD || path.resolve(__dirname, '../../build-web');
  const pagePath = path.join(out, 'index.html');
  const fixtures = makeFixtures(nativeBuild, path.join(out, 'fixtures'));
  // Measurements the cases report, printed after them.
  const measured = [];
  const report = (line) => measured.push(line);
  const totals = [await runCases('node', nodeCases(pagePath, fixtures, report))];
  if (option !== '--node-only') {
    const { browserCases } = require('./browser-cases');
    const browser = browserCases(pagePath, fixtures, path.join(out, 'screenshot.png'));
    try {
      totals.push(await runCases('chromium', browser.cases));
    } finally {
      await browser.close();
    }
  }
  for (const line of measured) console.log('measured: ' + line);
  const passed = totals.reduce((n, t) => n + t.passed, 0);
  const failed = totals.reduce((n, t) => n + t.failed, 0);
  console.log(`${passed} passed, ${failed} failed`);
  process.exitCode = failed ? 1 : 0;
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
