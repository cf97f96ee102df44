// The page in Debian's Chromium, headless, opened from disk: files are set
// on the picker as a person would pick them, the canvas is read back and
// compared with tzfconv's pixels and with the golden corpus's; PNG and JPEG
// pictures are opened and saved as TZF, and the files downloaded are read
// back with the module.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');
const { check, samePixels } = require('./harness');
const { readCorpus } = require('./corpus');
const { readWriteCorpus, colourCount } = require('./write-corpus');
const { loadPage } = require('./node-cases');

const kArgs = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

async function openBrowser(pagePath) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tzf-web-chromium-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium', args: kArgs, headless: true, acceptsDownloads: true,
    viewport: { width: 1000, height: 720 },
  });
  const page = context.pages()[0] || (await context.newPage());
  const requests = [];
  const problems = [];
  page.on('request', (request) => requests.push(request.url()));
  page.on('pageerror', (error) => problems.push('page error: ' + error.message));
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  await page.goto('file://' + path.resolve(pagePath));
  const close = async () => {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return { page, requests, problems, close };
}

// Sets the picker to `files` and waits for the page to settle on 'shown' or
// 'error' (the state is cleared first, so an earlier state cannot answer).
async function pick(page, files) {
  await page.evaluate(() => { document.body.dataset.state = ''; });
  await page.setInputFiles('#file', files);
  await page.waitForFunction(() => ['shown', 'error'].includes(document.body.dataset.state), null, { timeout: 30000 });
  return page.evaluate(() => ({
    state: document.body.dataset.state,
    reason: document.body.dataset.reason,
    info: document.getElementById('info').textContent,
    notice: document.getElementById('notice').textContent,
    noticeShown: document.getElementById('notice').getClientRects().length > 0,
    message: document.getElementById('message').textContent,
  }));
}

async function canvasPixels(page) {
  const { width, height, base64 } = await page.evaluate(() => {
    const canvas = document.getElementById('picture');
    const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let text = '';
    for (let i = 0; i < data.length; i += 0x8000) text += String.fromCharCode.apply(null, data.subarray(i, i + 0x8000));
    return { width: canvas.width, height: canvas.height, base64: btoa(text) };
  });
  return { width, height, pixels: new Uint8Array(Buffer.from(base64, 'base64')) };
}

// Chooses the depth and effort, clicks Save as TZF and waits for the file:
// {name, bytes, notice}.
async function saveTzf(page, depth, effort) {
  await page.selectOption('#tzf-depth', String(depth));
  await page.selectOption('#tzf-effort', effort);
  const [download] = await Promise.all([page.waitForEvent('download', { timeout: 30000 }), page.click('#save-tzf')]);
  const bytes = fs.readFileSync(await download.path());
  await page.waitForFunction(() => document.body.dataset.state === 'shown' && document.body.dataset.saved === 'ok');
  return { name: download.suggestedFilename(), bytes, notice: await page.textContent('#notice') };
}

function browserCases(pagePath, fixtures, screenshotPath) {
  let b = null;
  const good = (name) => fixtures.good.find((g) => g.name === name);
  const cases = [];

  cases.push({
    name: 'page opens from file:// in the ready state, with labelled controls',
    run: async () => {
      b = await openBrowser(pagePath);
      const s = await b.page.evaluate(() => ({
        state: document.body.dataset.state,
        fileLabel: document.querySelector('label[for=file]') !== null,
        multiple: document.getElementById('file').multiple,
        limit: document.body.textContent.includes('100 megapixels'),
      }));
      check(s.state === 'ready' && s.fileLabel && s.multiple && s.limit, JSON.stringify(s));
    },
  });

  for (const f of fixtures.good) {
    cases.push({
      name: `shows ${f.name} with tzfconv's pixels`,
      run: async () => {
        const r = await pick(b.page, [f.file]);
        check(r.state === 'shown', `state ${r.state}: ${r.message}`);
        check(r.info.startsWith(`${f.width}x${f.height}, ${f.depth}-bit`) && r.info.includes(path.basename(f.file)), 'info: ' + r.info);
        check(r.noticeShown === Boolean(f.truncated) && /ends early/.test(r.notice) === Boolean(f.truncated), 'notice: ' + r.notice);
        const c = await canvasPixels(b.page);
        check(c.width === f.width && c.height === f.height, `canvas is ${c.width}x${c.height}`);
        samePixels(c.pixels, f.expected, f.width, f.height);
      },
    });
  }

  for (const bad of fixtures.bad) {
    cases.push({
      name: `refuses ${bad.name} with a message, then shows a good file`,
      run: async () => {
        const r = await pick(b.page, [bad.file]);
        check(r.state === 'error' && r.reason === bad.reason, `state ${r.state}, reason ${r.reason}`);
        check(!r.noticeShown, 'notice: ' + r.notice);
        check(r.message.includes(bad.name) && r.message.length > bad.name.length + 10, 'message: ' + r.message);
        const hidden = await b.page.evaluate(() => document.getElementById('picture').hidden && document.getElementById('save').disabled);
        check(hidden, 'the canvas stays visible or Save is enabled after an error');
        const next = await pick(b.page, [good('noise-101x37-24').file]);
        check(next.state === 'shown', `next file: ${next.state} ${next.message}`);
      },
    });
  }

  // The golden corpus through the picker: the canvas's pixels, the notice of
  // a file that ends early, or the failure's reason.
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
        const r = await pick(b.page, [c.file]);
        if (!c.decodes) {
          check(r.state === 'error' && r.reason === c.reason, `state ${r.state}, reason ${r.reason}, expected ${c.reason}: ${r.message}`);
          return;
        }
        check(r.state === 'shown', `state ${r.state}: ${r.message}`);
        const png = c.expected();
        const notice = c.cls === 'truncated' ? `only ${c.rowsHeld} of ${png.height} rows` : '';
        check(r.noticeShown === Boolean(notice) && r.notice.includes(notice), 'notice: ' + r.notice);
        const shown = await canvasPixels(b.page);
        check(shown.width === png.width && shown.height === png.height, `canvas is ${shown.width}x${shown.height}`);
        samePixels(shown.pixels, png.rgba, png.width, png.height);
      },
    });
  }

  cases.push({
    name: 'a large picture fills the progress bar row by row',
    run: async () => {
      await b.page.evaluate(() => {
        window.progressSeen = [];
        new MutationObserver(() => window.progressSeen.push(document.getElementById('progress').value))
          .observe(document.getElementById('progress'), { attributes: true, attributeFilter: ['value'] });
      });
      const r = await pick(b.page, [good('blocks-1201x1000-8').file]);
      check(r.state === 'shown', r.message);
      const seen = await b.page.evaluate(() => window.progressSeen);
      check(seen.length >= 50 && seen[seen.length - 1] === 1 && seen.every((v, i) => i === 0 || v >= seen[i - 1]),
        `progress values: ${seen.length}, last ${seen[seen.length - 1]}`);
    },
  });

  cases.push({
    name: 'Cancel stops a decoding, and the next file is shown',
    run: async () => {
      const f = good('blocks-1201x1000-8');
      const bytes = fs.readFileSync(f.file).toString('base64');
      // Picking and cancelling in one task: the decoding cannot end before.
      const after = await b.page.evaluate((data) => {
        const input = document.getElementById('file');
        const list = new DataTransfer();
        list.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], 'cancel-me.tzf'));
        input.files = list.files;
        input.dispatchEvent(new Event('change'));
        const during = document.body.dataset.state;
        document.getElementById('cancel').click();
        return { during, state: document.body.dataset.state, message: document.getElementById('message').textContent };
      }, bytes);
      check(after.during === 'decoding' && after.state === 'shown' && /cancel-me\.tzf.*cancelled/.test(after.message), JSON.stringify(after));
      const next = await pick(b.page, [good('shapes-333x211-8').file]);
      check(next.state === 'shown', next.message);
      const c = await canvasPixels(b.page);
      samePixels(c.pixels, good('shapes-333x211-8').expected, c.width, c.height);
    },
  });

  cases.push({
    name: 'Save as PNG downloads the picture as a PNG of its size',
    run: async () => {
      const [download] = await Promise.all([b.page.waitForEvent('download'), b.page.click('#save')]);
      check(download.suggestedFilename() === 'shapes-333x211-8.png', download.suggestedFilename());
      const png = fs.readFileSync(await download.path());
      check(png.subarray(0, 8).equals(Buffer.from([137, 80, 78, 71, 13, 10, 26, 10])), 'no PNG signature');
      check(png.readUInt32BE(16) === 333 && png.readUInt32BE(20) === 211, 'IHDR size');
    },
  });

  cases.push({
    name: 'files dropped anywhere on the page are opened',
    run: async () => {
      const files = ['blocks-17x9-8', 'noise-63x21-8'].map((n) => ({ name: n + '.tzf', data: fs.readFileSync(good(n).file).toString('base64') }));
      const transfer = await b.page.evaluateHandle((list) => {
        const t = new DataTransfer();
        for (const f of list) t.items.add(new File([Uint8Array.from(atob(f.data), (c) => c.charCodeAt(0))], f.name));
        return t;
      }, files);
      await b.page.evaluate(() => { document.body.dataset.state = ''; });
      await b.page.dispatchEvent('main', 'dragenter', { dataTransfer: transfer });
      const highlighted = await b.page.evaluate(() => document.body.classList.contains('dragging'));
      await b.page.dispatchEvent('main', 'drop', { dataTransfer: transfer });
      await b.page.waitForFunction(() => document.body.dataset.state === 'shown');
      const s = await b.page.evaluate(() => ({
        info: document.getElementById('info').textContent,
        strip: document.querySelectorAll('#strip button').length,
        dragging: document.body.classList.contains('dragging'),
      }));
      check(highlighted && !s.dragging && s.strip === 2 && s.info.startsWith('17x9, 8-bit — blocks-17x9-8.tzf'), JSON.stringify(s));
      const c = await canvasPixels(b.page);
      samePixels(c.pixels, good('blocks-17x9-8').expected, c.width, c.height);
    },
  });

  cases.push({
    name: 'several files at once make a strip of thumbnails to pick from',
    run: async () => {
      const names = ['sample', 'shapes-333x211-24', 'blocks-17x9-8'];
      const bad = fixtures.bad[0];
      const r = await pick(b.page, [...names.map((n) => good(n).file), bad.file]);
      check(r.state === 'shown' && r.info.includes('sample.tzf'), r.info);
      await b.page.waitForFunction(() => {
        const buttons = document.querySelectorAll('#strip button');
        return buttons.length === 4 && Array.from(buttons).every((x) => x.dataset.thumb !== 'waiting');
      }, null, { timeout: 30000 });
      const thumbs = await b.page.evaluate(() => Array.from(document.querySelectorAll('#strip button'), (x) => ({
        state: x.dataset.thumb, current: x.getAttribute('aria-current'), label: x.textContent,
        w: x.querySelector('canvas').width, h: x.querySelector('canvas').height,
      })));
      check(thumbs.map((t) => t.state).join() === 'done,done,done,error', JSON.stringify(thumbs));
      check(thumbs[0].current === 'true' && thumbs[0].w === 96 && thumbs[0].h === 54, JSON.stringify(thumbs[0]));
      check(thumbs[3].label === bad.name, thumbs[3].label);
      // Pick the second by keyboard: focus the first, arrow right.
      await b.page.evaluate(() => { document.body.dataset.state = ''; });
      await b.page.focus('#strip button');
      await b.page.keyboard.press('ArrowRight');
      await b.page.waitForFunction(() => document.body.dataset.state === 'shown');
      const info = await b.page.textContent('#info');
      check(info.includes('shapes-333x211-24.tzf'), info);
      const c = await canvasPixels(b.page);
      samePixels(c.pixels, good('shapes-333x211-24').expected, c.width, c.height);
      await b.page.evaluate(() => { document.body.dataset.state = ''; });
      await b.page.click('#strip button:nth-child(4)');
      await b.page.waitForFunction(() => document.body.dataset.state === 'error');
      await b.page.evaluate(() => { document.body.dataset.state = ''; });
      await b.page.click('#strip button:nth-child(1)');
      await b.page.waitForFunction(() => document.body.dataset.state === 'shown');
    },
  });

  cases.push({
    name: 'the 1:1 toggle shows the picture at its own size in a narrow window',
    run: async () => {
      await b.page.setViewportSize({ width: 360, height: 640 });
      const fitted = await b.page.evaluate(() => document.getElementById('picture').getBoundingClientRect().width);
      await b.page.check('#actual-size');
      const actual = await b.page.evaluate(() => document.getElementById('picture').getBoundingClientRect().width);
      await b.page.uncheck('#actual-size');
      await b.page.setViewportSize({ width: 1000, height: 720 });
      const overflow = await b.page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth);
      check(fitted < 360 && actual === 640 && overflow, `fitted ${fitted}, 1:1 ${actual}, no page overflow ${overflow}`);
      await b.page.screenshot({ path: screenshotPath });
    },
  });

  cases.push(...conversionCases(() => b, pagePath, path.dirname(fixtures.good[0].file)));

  cases.push({
    name: 'no request leaves the page, and no script error',
    run: async () => {
      const outside = b.requests.filter((u) => !/^(file|data|blob):/.test(u));
      check(outside.length === 0, 'requests: ' + outside.join(' '));
      check(b.problems.length === 0, b.problems.join('; '));
    },
  });

  const close = async () => { if (b) await b.close(); };
  return { cases, close };
}

// PNG and JPEG pictures opened in the page and saved as TZF: the files are
// read back with the page's module (the code the page runs) and must hold
// the pixels given, exactly at 24 bits and at 8 bits for pictures of at
// most 256 colours.
function conversionCases(browser, pagePath, dir) {
  const cases = [];
  let decoder = null;
  const readBack = async (bytes) => {
    if (!decoder) {
      const page = loadPage(pagePath);
      decoder = await page.context.tzfCreateDecoder(page.wasm);
    }
    const read = await decoder.decode(new Uint8Array(bytes));
    check(read.ok && !read.truncated, `the saved file does not read back: ${read.message || 'truncated'}`);
    return read;
  };
  let pictures = [];
  try {
    pictures = readWriteCorpus();
  } catch (error) {
    cases.push({ name: 'the write corpus', run: () => { throw error; } });
  }

  for (const p of pictures) {
    cases.push({
      name: `opens ${p.name} (${p.kind}) and saves it as TZF at 24 and 8 bits`,
      run: async () => {
        const page = browser().page;
        const input = p.input();
        const expected = p.expected();
        const r = await pick(page, [p.file]);
        check(r.state === 'shown', `state ${r.state}: ${r.message}`);
        check(r.info === `${input.width}x${input.height}, PNG — ${p.name}`, 'info: ' + r.info);
        if (p.kind !== 'rgba') {
          const shown = await canvasPixels(page);
          samePixels(shown.pixels, input.rgba, input.width, input.height);
        }
        const transparent = p.kind === 'rgba';
        for (const [depth, effort] of [[24, 'smallest'], [8, p.kind === 'palette' ? 'smallest' : 'fast']]) {
          const saved = await saveTzf(page, depth, effort);
          const what = `${depth}-bit, ${effort}`;
          check(saved.name === p.name.replace(/\.png$/, '.tzf'), `${what}: saved as ${saved.name}`);
          check(saved.notice.includes(`${depth}-bit`) && /transparent/.test(saved.notice) === transparent, `${what}: notice ${saved.notice}`);
          const read = await readBack(saved.bytes);
          check(read.width === input.width && read.height === input.height && read.bitsPerPixel === depth,
            `${what}: read back ${read.width}x${read.height}, ${read.bitsPerPixel}-bit`);
          if (depth === 24 || colourCount(expected.rgba) <= 256) samePixels(read.pixels, expected.rgba, input.width, input.height);
          else check(colourCount(read.pixels) <= 256, `${what}: more than 256 colours`);
        }
      },
    });
  }

  // A JPEG made by the browser's own encoder, opened and saved; the saved
  // file opened again shows what the JPEG showed.
  cases.push({
    name: 'opens a JPEG, saves it as TZF at 24 and 8 bits, and opens the saved file',
    run: async () => {
      const page = browser().page;
      const base64 = await page.evaluate(async () => {
        const canvas = new OffscreenCanvas(97, 61);
        const g = canvas.getContext('2d');
        const sky = g.createLinearGradient(0, 0, 0, 61);
        sky.addColorStop(0, '#2050c0');
        sky.addColorStop(1, '#e0a040');
        g.fillStyle = sky;
        g.fillRect(0, 0, 97, 61);
        g.fillStyle = '#20a040';
        g.beginPath();
        g.arc(40, 45, 22, 0, 2 * Math.PI);
        g.fill();
        const bytes = new Uint8Array(await (await canvas.convertToBlob({ type: 'image/jpeg', quality: 0.8 })).arrayBuffer());
        let text = '';
        for (const byte of bytes) text += String.fromCharCode(byte);
        return btoa(text);
      });
      const jpeg = path.join(dir, 'made-by-the-browser.jpg');
      fs.writeFileSync(jpeg, Buffer.from(base64, 'base64'));
      const r = await pick(page, [jpeg]);
      check(r.state === 'shown' && r.info === '97x61, JPEG — made-by-the-browser.jpg', `${r.state} ${r.info} ${r.message}`);
      const shown = await canvasPixels(page);
      const saved24 = await saveTzf(page, 24, 'smallest');
      check(saved24.name === 'made-by-the-browser.tzf', saved24.name);
      const read = await readBack(saved24.bytes);
      samePixels(read.pixels, shown.pixels, 97, 61);
      const saved8 = await saveTzf(page, 8, 'fast');
      const read8 = await readBack(saved8.bytes);
      check(read8.bitsPerPixel === 8 && read8.width === 97 && read8.height === 61, `${read8.bitsPerPixel}-bit`);
      const tzf = path.join(dir, 'made-by-the-browser.tzf');
      fs.writeFileSync(tzf, saved24.bytes);
      const again = await pick(page, [tzf]);
      check(again.state === 'shown' && again.info.startsWith('97x61, 24-bit'), again.info);
      samePixels((await canvasPixels(page)).pixels, shown.pixels, 97, 61);
    },
  });

  cases.push({
    name: 'Cancel stops a writing; the picture stays shown and can be saved',
    run: async () => {
      const page = browser().page;
      const after = await page.evaluate(() => {
        document.getElementById('save-tzf').click();
        const during = document.body.dataset.state;
        document.getElementById('cancel').click();
        return { during, state: document.body.dataset.state, message: document.getElementById('message').textContent };
      });
      check(after.during === 'saving' && after.state === 'shown' && /writing was cancelled/.test(after.message), JSON.stringify(after));
      const saved = await saveTzf(page, 24, 'fast');
      check(saved.name === 'made-by-the-browser.tzf', saved.name);
    },
  });

  // PNG files that are refused: one over the page limit, refused from its
  // header before the browser decodes it, and one with no pixels.
  const png = (width, height, body) => {
    const ihdr = Buffer.alloc(25);
    ihdr.writeUInt32BE(13, 0);
    ihdr.write('IHDR', 4, 'latin1');
    ihdr.writeUInt32BE(width, 8);
    ihdr.writeUInt32BE(height, 12);
    ihdr.set([8, 2, 0, 0, 0], 16);
    return Buffer.concat([Buffer.from([137, 80, 78, 71, 13, 10, 26, 10]), ihdr, body]);
  };
  for (const [name, bytes, reason, text] of [
    ['over-the-limit-20000x6000.png', png(20000, 6000, Buffer.alloc(0)), 'too-large', /20000x6000 \(120 megapixels\).*up to 100 megapixels/],
    ['no-pixels-10x10.png', png(10, 10, Buffer.from('IDAT nothing here')), 'bad-image', /PNG file cannot be read/],
  ]) {
    cases.push({
      name: `refuses ${name} with a message, and Save is off`,
      run: async () => {
        const page = browser().page;
        const file = path.join(dir, name);
        fs.writeFileSync(file, bytes);
        const r = await pick(page, [file]);
        check(r.state === 'error' && r.reason === reason && text.test(r.message), `${r.state}, ${r.reason}: ${r.message}`);
        const off = await page.evaluate(() => document.getElementById('save').disabled && document.getElementById('save-tzf').disabled);
        check(off, 'a Save button is on');
      },
    });
  }
  return cases;
}

module.exports = { browserCases };
