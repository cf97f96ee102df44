// The page: opens files from the picker or a drop (TZF, PNG or JPEG),
// decodes them in a worker and draws them; saves the picture shown as PNG
// or, written in the worker, as TZF. document.body.dataset.state is 'ready'
// before any file, 'decoding' while the picture to show is being decoded,
// 'shown' when it is on the canvas, 'saving' while it is written as TZF and
// 'error' when it could not be shown (dataset.reason then says why: the
// worker's reason). After a TZF writing, dataset.saved is 'ok' or the
// reason it failed.
'use strict';

(function () {
  const $ = (id) => document.getElementById(id);
  const fileInput = $('file');
  const canvas = $('picture');
  const info = $('info');
  const message = $('message');
  const notice = $('notice');
  const progressBox = $('progress-box');
  const progress = $('progress');
  const cancelButton = $('cancel');
  const saveButton = $('save');
  const saveTzfButton = $('save-tzf');
  const tzfDepth = $('tzf-depth');
  const tzfEffort = $('tzf-effort');
  const progressLabel = $('progress-label');
  const actualSize = $('actual-size');
  const strip = $('strip');

  const kThumbnail = 96;              // pixels, the strip's boxes
  const kProgressPixels = 1000000;    // pictures from this size on show the bar
  const kKeepWorkerBytes = 256 << 20; // a worker whose memory grew past this is replaced

  const wasm = Uint8Array.from(atob(TZF_WASM_BASE64), (c) => c.charCodeAt(0));
  const workerUrl = URL.createObjectURL(
    new Blob([$('worker-source').textContent], { type: 'text/javascript' }));

  let worker = null;
  let running = null;  // {id, entry, thumbnail, save}
  let nextId = 1;
  let entries = [];    // {file, button, thumb, thumbState}
  let selected = null;
  let shownEntry = null;

  function setState(state) { document.body.dataset.state = state; }

  function startWorker() {
    worker = new Worker(workerUrl);
    worker.onmessage = onWorkerMessage;
    worker.onerror = (event) => {
      event.preventDefault();
      finishJob({ ok: false, reason: 'crash', message: 'The decoder stopped: ' + (event.message || 'unknown error') });
      replaceWorker();
    };
    worker.postMessage({ type: 'init', wasm });
  }

  function replaceWorker() {
    if (worker) worker.terminate();
    startWorker();
  }

  // Starts decoding `entry`: for the canvas, or a thumbnail for the strip.
  // A picture to show stops whatever the worker is doing.
  function decode(entry, thumbnail) {
    const id = nextId++;
    if (running) replaceWorker();
    running = { id, entry, thumbnail };
    if (!thumbnail) {
      setState('decoding');
      progressLabel.textContent = 'Decoding';
      message.textContent = '';
      notice.textContent = '';
      progress.value = 0;
      progressBox.hidden = true;
    }
    // The worker reads the file itself, only the bytes it needs.
    worker.postMessage({ type: 'decode', id, file: entry.file, thumbnail: thumbnail ? kThumbnail : 0 });
  }

  // The name of a file saved from `entry` with the extension `extension`.
  function savedName(entry, extension) {
    return entry.file.name.replace(/\.(tzf|png|jpe?g)$/i, '') + extension;
  }

  function download(blob, name) {
    const url = URL.createObjectURL(blob);
    const link = document.createElement('a');
    link.href = url;
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  }

  // Writes the picture shown as TZF in the worker, which reads its file
  // again, and downloads the result.
  function saveTzf() {
    if (!shownEntry || document.body.dataset.state !== 'shown') return;
    const id = nextId++;
    if (running) replaceWorker();
    running = { id, entry: shownEntry, save: true };
    setState('saving');
    delete document.body.dataset.saved;
    message.textContent = '';
    notice.textContent = '';
    progress.value = 0;
    progressLabel.textContent = 'Writing';
    progressBox.hidden = true;
    saveTzfButton.disabled = true;
    worker.postMessage({ type: 'encode', id, file: shownEntry.file, effort: tzfEffort.value, depth: Number(tzfDepth.value) });
  }

  function finishSave(entry, result) {
    progressBox.hidden = true;
    saveTzfButton.disabled = false;
    setState('shown');
    if (!result.ok) {
      message.textContent = `${entry.file.name}: ${result.message}`;
      document.body.dataset.saved = result.reason;
      return;
    }
    const name = savedName(entry, '.tzf');
    download(new Blob([result.bytes], { type: 'application/octet-stream' }), name);
    const colours = result.bitsPerPixel === 8
      ? `, ${result.colours} colours${result.quantised ? ' (a palette was chosen for it)' : ''}` : '';
    notice.textContent = `Saved ${name}: ${result.bitsPerPixel}-bit${colours}, ${result.bytes.byteLength} bytes.` +
      (result.composited ? ' The picture has transparent parts: in the TZF file they are on white.' : '');
    document.body.dataset.saved = 'ok';
  }

  function onWorkerMessage(event) {
    const data = event.data;
    if (!running || data.id !== running.id) return;
    // A worker keeps the memory its largest picture needed: let it go.
    if (data.type === 'result' && data.memoryBytes > kKeepWorkerBytes) replaceWorker();
    if (running.thumbnail) {
      if (data.type === 'result') finishJob(data);
      return;
    }
    if (data.type === 'info') {
      progressBox.hidden = data.width * data.height < kProgressPixels;
      if (!progressBox.hidden) cancelButton.focus();
    } else if (data.type === 'progress') {
      progress.value = data.done / data.height;
    } else if (data.type === 'result') {
      finishJob(data);
    }
  }

  function finishJob(result) {
    const job = running;
    running = null;
    if (!job) return;
    const entry = job.entry;
    if (job.thumbnail) {
      setThumbnail(entry, result);
    } else if (job.save) {
      finishSave(entry, result);
    } else {
      progressBox.hidden = true;
      if (result.ok) show(entry, result);
      else showError(entry, result.message, result.reason);
    }
    nextThumbnail();
  }

  function show(entry, result) {
    canvas.width = result.width;
    canvas.height = result.height;
    canvas.getContext('2d').drawImage(result.bitmap, 0, 0);
    result.bitmap.close();
    canvas.hidden = false;
    canvas.setAttribute('aria-label', 'The picture ' + entry.file.name);
    const kind = result.kind === 'tzf' ? `${result.bitsPerPixel}-bit` : result.kind.toUpperCase();
    info.textContent = `${result.width}x${result.height}, ${kind} — ${entry.file.name}`;
    notice.textContent = result.truncated
      ? `The file ends early: only ${result.rowsHeld} of ${result.height} rows were in it; the missing part is black.`
      : '';
    message.textContent = '';
    saveButton.disabled = false;
    saveTzfButton.disabled = false;
    shownEntry = entry;
    document.body.dataset.decodeMs = result.decodeMs.toFixed(2); // for web/bench
    document.body.dataset.codecMs = result.codecMs.toFixed(2);
    if (entry.thumbState !== 'done') setThumbnail(entry, { ok: true, source: canvas });
    delete document.body.dataset.reason;
    setState('shown');
  }

  function showError(entry, text, reason) {
    canvas.hidden = true;
    canvas.width = 0;
    canvas.height = 0;
    info.textContent = '';
    notice.textContent = '';
    message.textContent = `${entry.file.name}: ${text}`;
    saveButton.disabled = true;
    saveTzfButton.disabled = true;
    shownEntry = null;
    if (entry.thumbState !== 'done') setThumbnail(entry, { ok: false, message: text });
    document.body.dataset.reason = reason;
    setState('error');
  }

  function setThumbnail(entry, result) {
    if (!entry.thumb) return;
    const thumb = entry.thumb;
    if (!result.ok) {
      entry.thumbState = 'error';
      entry.button.title = result.message;
      const ctx = thumb.getContext('2d');
      ctx.clearRect(0, 0, thumb.width, thumb.height);
      ctx.strokeStyle = '#b00020';
      ctx.lineWidth = 6;
      ctx.beginPath();
      ctx.moveTo(thumb.width * 0.3, thumb.height * 0.3);
      ctx.lineTo(thumb.width * 0.7, thumb.height * 0.7);
      ctx.moveTo(thumb.width * 0.7, thumb.height * 0.3);
      ctx.lineTo(thumb.width * 0.3, thumb.height * 0.7);
      ctx.stroke();
    } else {
      const source = result.source || result.bitmap;
      const scale = Math.min(1, kThumbnail / Math.max(source.width, source.height));
      thumb.width = Math.max(1, Math.round(source.width * scale));
      thumb.height = Math.max(1, Math.round(source.height * scale));
      const ctx = thumb.getContext('2d');
      ctx.imageSmoothingQuality = 'medium';
      ctx.drawImage(source, 0, 0, thumb.width, thumb.height);
      if (result.bitmap) result.bitmap.close();
      entry.thumbState = 'done';
    }
    entry.button.dataset.thumb = entry.thumbState;
  }

  function nextThumbnail() {
    if (running) return;
    const entry = entries.find((e) => e.thumb && e.thumbState === 'waiting');
    if (entry) decode(entry, true);
  }

  function select(entry) {
    selected = entry;
    for (const e of entries) {
      if (e.button) e.button.setAttribute('aria-current', e === entry ? 'true' : 'false');
    }
    decode(entry, false);
  }

  function open(files) {
    if (!files.length) return;
    if (running) replaceWorker();
    running = null;
    strip.textContent = '';
    entries = Array.from(files, (file) => ({ file, button: null, thumb: null, thumbState: 'waiting' }));
    if (entries.length > 1) {
      for (const entry of entries) {
        const button = document.createElement('button');
        button.type = 'button';
        const thumb = document.createElement('canvas');
        thumb.width = kThumbnail;
        thumb.height = kThumbnail;
        thumb.setAttribute('aria-hidden', 'true');
        const name = document.createElement('span');
        name.textContent = entry.file.name;
        button.append(thumb, name);
        button.dataset.thumb = 'waiting';
        button.addEventListener('click', () => select(entry));
        entry.button = button;
        entry.thumb = thumb;
        strip.append(button);
      }
    }
    strip.hidden = entries.length < 2;
    select(entries[0]);
  }

  function cancel() {
    if (!running || running.thumbnail) return;
    const name = running.entry.file.name;
    const what = running.save ? 'writing' : 'decoding';
    if (running.save) saveTzfButton.disabled = false;
    running = null;
    replaceWorker();
    progressBox.hidden = true;
    message.textContent = `${name}: ${what} was cancelled.`;
    setState(shownEntry ? 'shown' : 'ready');
    nextThumbnail();
  }

  fileInput.addEventListener('change', () => open(fileInput.files));
  cancelButton.addEventListener('click', cancel);
  document.addEventListener('keydown', (event) => {
    if (event.key === 'Escape') cancel();
  });
  strip.addEventListener('keydown', (event) => {
    const step = { ArrowLeft: -1, ArrowRight: 1 }[event.key];
    if (!step || !selected) return;
    const at = entries.indexOf(selected) + step;
    if (at < 0 || at >= entries.length) return;
    event.preventDefault();
    entries[at].button.focus();
    select(entries[at]);
  });
  actualSize.addEventListener('change', () => document.body.classList.toggle('actual', actualSize.checked));

  saveButton.addEventListener('click', () => {
    if (!shownEntry) return;
    const name = savedName(shownEntry, '.png');
    canvas.toBlob((blob) => {
      if (!blob) {
        message.textContent = 'The picture could not be turned into a PNG file.';
        return;
      }
      download(blob, name);
    }, 'image/png');
  });
  saveTzfButton.addEventListener('click', saveTzf);

  // The whole page is the drop zone.
  let dragDepth = 0;
  const hasFiles = (event) => event.dataTransfer && Array.from(event.dataTransfer.types).includes('Files');
  document.addEventListener('dragenter', (event) => {
    if (!hasFiles(event)) return;
    event.preventDefault();
    dragDepth++;
    document.body.classList.add('dragging');
  });
  document.addEventListener('dragover', (event) => {
    if (!hasFiles(event)) return;
    event.preventDefault();
    event.dataTransfer.dropEffect = 'copy';
  });
  document.addEventListener('dragleave', () => {
    dragDepth = Math.max(0, dragDepth - 1);
    if (!dragDepth) document.body.classList.remove('dragging');
  });
  document.addEventListener('drop', (event) => {
    event.preventDefault();
    dragDepth = 0;
    document.body.classList.remove('dragging');
    if (event.dataTransfer) open(event.dataTransfer.files);
  });

  startWorker();
  setState('ready');
})();
