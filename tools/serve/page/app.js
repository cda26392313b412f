'use strict';
// The page of `quillmend serve`: uploads each recording, follows its repair, shows what came back.

// The page holds no token: the address quillmend printed or opened was exchanged for a cookie
// that the browser sends with every call below, the player's and the download's too. The calls'
// paths are relative, under the page's own path that the cookie is scoped to.
const $ = (id) => document.getElementById(id);
const pollMs = 400;

async function api(path, init = {}) {
  return fetch(path, { ...init, cache: 'no-store', credentials: 'same-origin' });
}

// What a refusal means for the person, by its status.
function refusalHint(status) {
  if (status === 401) return 'Open the address that quillmend printed, or start it again with --open.';
  if (status === 429) return 'Too many wrong tokens were tried from this computer: wait a minute.';
  return '';
}

function clock(seconds) {
  const s = Math.max(0, Math.round(seconds));
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  const rest = String(s % 60).padStart(2, '0');
  return h > 0 ? `${h}:${String(m).padStart(2, '0')}:${rest}` : `${m}:${rest}`;
}

function duration(seconds) {
  return seconds < 10 ? `${seconds.toFixed(1)} s` : clock(seconds);
}

function options() {
  return {
    sample: $('sample').files[0] || null,
    method: $('method').value,
    rate: $('rate').value,
    keepTiming: $('keep-timing').checked,
  };
}

// One row of the list: one recording, from its upload to what came back.
class Row {
  constructor(file, opts) {
    this.file = file;
    this.opts = opts;
    this.el = $('row-template').content.firstElementChild.cloneNode(true);
    this.q = (selector) => this.el.querySelector(selector);
    this.q('.name').textContent = file.name;
    this.q('.remove').addEventListener('click', () => this.remove());
    this.q('.again').addEventListener('click', () => addFiles([this.file]));
    this.canvas = this.q('.waveform');
    this.player = this.q('.player');
    $('results').prepend(this.el);
    this.upload();
  }

  progress(percent, text) {
    const bar = this.q('progress');
    if (percent === null) bar.removeAttribute('value'); else bar.value = percent;
    bar.setAttribute('aria-label', `${this.file.name}: ${text}`);
    this.q('.progress-text').textContent = text;
  }

  upload() {
    const form = new FormData();
    form.append('file', this.file);
    if (this.opts.sample) form.append('sample', this.opts.sample);
    form.append('method', this.opts.method);
    if (this.opts.rate) form.append('rate', this.opts.rate);
    form.append('keep_timing', this.opts.keepTiming ? '1' : '0');
    // XMLHttpRequest, because fetch does not tell how far an upload has come.
    const request = new XMLHttpRequest();
    this.request = request;
    request.open('POST', 'api/repairs');
    request.upload.onprogress = (event) => {
      if (event.lengthComputable) {
        const percent = Math.round((100 * event.loaded) / event.total);
        this.progress(percent, `Uploading ${percent}%`);
      }
    };
    request.onload = () => {
      let body = {};
      try { body = JSON.parse(request.responseText); } catch (e) { /* shown below */ }
      if (request.status === 202 && body.id) {
        this.id = body.id;
        this.progress(0, 'Waiting to start');
        this.poll();
      } else {
        this.fail('The upload was refused', body.error || `The server answered ${request.status}.`,
          refusalHint(request.status));
      }
    };
    request.onerror = () => this.fail('The upload failed',
      'The Quillmend program did not answer. Is it still running?',
      'Start it again with quillmend serve, then open the address it prints.');
    this.progress(0, 'Uploading');
    request.send(form);
  }

  async poll() {
    if (this.removed) return;
    let status;
    try {
      const response = await api(`api/repairs/${this.id}`);
      status = await response.json();
      if (!response.ok) {
        this.fail('Lost track of this repair', status.error || `The server answered ${response.status}.`,
          refusalHint(response.status));
        return;
      }
    } catch (error) {
      this.fail('Lost track of this repair', error.message, '');
      return;
    }
    if (status.status === 'queued') {
      this.progress(null, 'Waiting for another repair to finish');
    } else if (status.status === 'running') {
      const percent = Math.round(100 * status.progress);
      this.progress(percent, `Repairing ${percent}%`);
    }
    if (status.status === 'done' || status.status === 'failed') {
      this.finish(status);
    } else {
      setTimeout(() => this.poll(), pollMs);
    }
  }

  verdict(kind, title, message, hint) {
    const box = this.q('.verdict');
    box.className = `verdict ${kind}`;
    box.hidden = false;
    this.q('.verdict-title').textContent = title;
    this.q('.verdict-message').textContent = message;
    this.q('.verdict-hint').textContent = hint ? `What to try next: ${hint}` : '';
    this.q('.progress-line').hidden = true;
    // One announcement per verdict; the progress is left for those who look.
    $('announce').textContent = `${this.file.name}: ${title}. ${message}`;
  }

  fail(title, message, hint) {
    this.verdict('failed', title, message, hint);
    this.q('.retry').hidden = false;
  }

  finish(result) {
    if (result.code === 'not-damaged') {
      this.verdict('intact', 'Not damaged: this recording plays as it is',
        `All ${duration(result.seconds)} of it can be played already; nothing needed repairing.`,
        '');
      return;
    }
    if (!result.repaired) {
      this.fail('Could not be repaired', result.message, result.hint);
      return;
    }
    const stretches = result.damaged_stretches || [];
    const lost = stretches.length === 0 ? 'No damaged stretches were found.'
      : `${stretches.length} damaged ${stretches.length === 1 ? 'stretch' : 'stretches'}; ` +
        `about ${duration(result.lost_seconds)} of audio could not be saved.`;
    const rateHint = `the file does not say its sampling rate, so ${result.rate / 1000} kHz was ` +
      'assumed. If it plays too fast or too slow, add a healthy recording from the same recorder ' +
      'or choose the rate under More options, and try again.';
    this.verdict('repaired', `Repaired: ${duration(result.seconds)} of audio came back`, lost,
      result.rate_assumed ? result.hint || rateHint : '');
    this.result = result;
    this.showOutcome();
  }

  async showOutcome() {
    const r = this.result;
    const facts = this.q('.facts');
    const fact = (name, value, note) => {
      const item = document.createElement('div');
      const dt = document.createElement('dt');
      const dd = document.createElement('dd');
      dt.textContent = name;
      dd.textContent = value;
      if (note) {
        const mark = document.createElement('span');
        mark.className = 'assumed';
        mark.textContent = ` ${note}`;
        dd.append(mark);
      }
      item.append(dt, dd);
      facts.append(item);
      return item;
    };
    fact('Length', duration(r.seconds));
    const rate = r.rate ? fact('Sampling rate', `${(r.rate / 1000).toLocaleString()} kHz`,
      r.rate_assumed ? '(assumed)' : '') : null;
    if (r.channels) {
      fact('Channels', r.channels === 1 ? 'mono' : r.channels === 2 ? 'stereo' : String(r.channels));
    }
    fact('Damaged stretches', String((r.damaged_stretches || []).length));
    if (rate && r.rate_assumed) this.q('.retry').hidden = false;

    const list = this.q('.stretches');
    for (const stretch of r.damaged_stretches || []) {
      const item = document.createElement('li');
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'button small';
      button.textContent = `Hear ${clock(stretch.at_seconds)} (about ${duration(stretch.lost_seconds)} lost)`;
      button.addEventListener('click', () => this.seek(stretch.at_seconds - 2, true));
      item.append(button);
      list.append(item);
    }

    this.player.src = `api/repairs/${this.id}/output`;
    const download = this.q('.download');
    download.href = `api/repairs/${this.id}/output?download=1`;
    download.setAttribute('download', r.output || 'repaired.m4a');
    this.q('.outcome').hidden = false;

    try {
      const response = await api(`api/repairs/${this.id}/waveform`);
      if (response.ok) this.peaks = (await response.json()).peaks;
    } catch (e) { /* the timeline still shows the damaged stretches */ }
    this.canvas.setAttribute('role', 'img');
    this.canvas.setAttribute('aria-label',
      `Waveform of the repaired audio, ${duration(r.seconds)} long, with ` +
      `${(r.damaged_stretches || []).length} damaged stretches marked`);
    this.canvas.addEventListener('click', (event) => {
      const box = this.canvas.getBoundingClientRect();
      this.seek(((event.clientX - box.left) / box.width) * r.seconds, true);
    });
    this.player.addEventListener('timeupdate', () => this.draw());
    new ResizeObserver(() => this.draw()).observe(this.canvas);
    this.draw();
  }

  seek(seconds, play) {
    this.player.currentTime = Math.max(0, seconds);
    if (play) this.player.play().catch(() => {});
  }

  draw() {
    const r = this.result;
    const canvas = this.canvas;
    const scale = window.devicePixelRatio || 1;
    const width = canvas.clientWidth;
    const height = canvas.clientHeight;
    if (width === 0) return;
    canvas.width = Math.round(width * scale);
    canvas.height = Math.round(height * scale);
    const g = canvas.getContext('2d');
    g.scale(scale, scale);
    g.clearRect(0, 0, width, height);
    const css = getComputedStyle(document.documentElement);
    const middle = height / 2;

    const total = Math.max(r.seconds, 0.001);
    g.fillStyle = css.getPropertyValue('--damage');
    g.globalAlpha = 0.3;
    for (const s of r.damaged_stretches || []) {
      const x = (s.at_seconds / total) * width;
      // Where the lost audio was left out, the stretch is a point in the repaired audio.
      const w = this.opts.keepTiming ? Math.max(6, (s.lost_seconds / total) * width) : 6;
      g.fillRect(x - (this.opts.keepTiming ? 0 : 3), 0, w, height);
    }
    g.globalAlpha = 1;
    for (const s of r.damaged_stretches || []) {
      const x = (s.at_seconds / total) * width;
      g.fillRect(x - 1, 0, 2, 8);
      g.fillRect(x - 1, height - 8, 2, 8);
    }

    const peaks = this.peaks || [];
    // Scaled to the loudest slice: a quiet recording still shows its shape.
    const loudest = Math.max(0.05, ...peaks);
    g.fillStyle = css.getPropertyValue('--wave');
    const step = width / Math.max(peaks.length, 1);
    peaks.forEach((peak, i) => {
      const h = Math.max(1, (peak / loudest) * (middle - 4));
      g.fillRect(i * step, middle - h, Math.max(1, step - 0.5), 2 * h);
    });
    if (peaks.length === 0) g.fillRect(0, middle, width, 1);

    if (this.player.currentTime > 0) {
      g.fillStyle = css.getPropertyValue('--ink');
      g.fillRect((this.player.currentTime / total) * width - 1, 0, 2, height);
    }
  }

  remove() {
    this.removed = true;
    if (this.request && !this.id) this.request.abort();
    if (this.id) api(`api/repairs/${this.id}`, { method: 'DELETE' }).catch(() => {});
    this.player.removeAttribute('src');
    this.el.remove();
    $('pick').focus();
  }
}

function addFiles(files) {
  const opts = options();
  for (const file of files) new Row(file, opts);
}

// A page opened without the address's exchange, or after the server was started again, says so
// before anyone drops a file on it.
async function checkSession() {
  try {
    const response = await api('api/session');
    if (response.ok) return;
    $('no-token').hidden = false;
    const hint = refusalHint(response.status);
    if (response.status === 429) $('no-token').textContent = hint;
  } catch (e) {
    $('no-token').hidden = false;
  }
}

function setUp() {
  checkSession();
  const input = $('files');
  $('pick').addEventListener('click', () => input.click());
  input.addEventListener('change', () => {
    addFiles([...input.files]);
    input.value = '';
  });

  const drop = $('drop');
  for (const type of ['dragenter', 'dragover']) {
    drop.addEventListener(type, (event) => {
      event.preventDefault();
      drop.classList.add('over');
    });
  }
  drop.addEventListener('dragleave', () => drop.classList.remove('over'));
  drop.addEventListener('drop', (event) => {
    event.preventDefault();
    drop.classList.remove('over');
    addFiles([...event.dataTransfer.files]);
  });
  // A file dropped beside the zone would make the browser leave the page for it.
  window.addEventListener('dragover', (event) => event.preventDefault());
  window.addEventListener('drop', (event) => event.preventDefault());

  const sample = $('sample');
  sample.addEventListener('change', () => { $('sample-clear').hidden = !sample.files.length; });
  $('sample-clear').addEventListener('click', () => {
    sample.value = '';
    $('sample-clear').hidden = true;
    sample.focus();
  });
}

setUp();
