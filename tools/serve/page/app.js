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

function kHz(rate) {
  return `${(rate / 1000).toLocaleString('en')} kHz`;
}

function plural(count, one, many) {
  return `${count} ${count === 1 ? one : many}`;
}

function sentence(text) {
  return text ? text[0].toUpperCase() + text.slice(1) : '';
}

function button(text, onClick, kind = 'small') {
  const b = document.createElement('button');
  b.type = 'button';
  b.className = `button ${kind}`;
  b.textContent = text;
  b.addEventListener('click', onClick);
  return b;
}

function options() {
  return {
    sample: $('sample').files[0] || null,
    method: $('method').value,
    rate: $('rate').value,
    track: $('track').value,
    keepTiming: $('keep-timing').checked,
  };
}

// Where a track's rate came from, in words: the rate and its source, and why when the frames
// had to tell.
function rateWords(t) {
  const rate = kHz(t.rate);
  if (t.rate_chosen) return { label: `${rate}, chosen by you`, why: '' };
  const why = t.rate_reason ? `Why: ${t.rate_reason}.` : '';
  switch (t.rate_source) {
    case 'header': return { label: `${rate}, from the file's own header`, why: '' };
    case 'sample':
      return { label: `${rate}, from the healthy recording ${t.rate_file || 'you added'}`, why: '' };
    case 'sibling': return { label: `${rate}, from ${t.rate_file} beside it`, why: '' };
    case 'option': return { label: `${rate}, as chosen under More options`, why: '' };
    default:
      if (t.rate_confidence === 'likely') return { label: `${rate} (likely, from its frames)`, why };
      if (t.rate_confidence === 'guess') return { label: `${rate} (a guess)`, why };
      return { label: `${rate}, from its frames`, why };
  }
}

// Opens "More options" at a control, so that the person sees what to change.
function showOption(id) {
  const details = document.querySelector('details.options');
  details.open = true;
  const control = $(id);
  const option = control.closest('.option');
  option.classList.add('pointed');
  setTimeout(() => option.classList.remove('pointed'), 4000);
  option.scrollIntoView({ block: 'center', behavior: 'smooth' });
  control.focus({ preventScroll: true });
}

// Sets a choice under "More options", adding it to the list when the list lacks it.
function choose(id, value, label) {
  const select = $(id);
  if (![...select.options].some((o) => o.value === String(value))) {
    const option = document.createElement('option');
    option.value = String(value);
    option.textContent = label;
    select.append(option);
  }
  select.value = String(value);
}

const methodWords = {
  exact: 'the recommended way',
  general: 'the general way',
  advanced: 'decoding and encoding again',
};

// One recording's sound track as it came back: its facts, its rate and the other rates it may
// have, its waveform, player and download.
class TrackView {
  constructor(row, track, count) {
    this.row = row;
    this.number = track.track;
    this.el = $('track-template').content.firstElementChild.cloneNode(true);
    this.q = (selector) => this.el.querySelector(selector);
    this.canvas = this.q('.waveform');
    this.player = this.q('.player');
    this.several = count > 1;
    if (this.several) {
      const title = this.q('.track-title');
      title.hidden = false;
      title.textContent = `Sound track ${this.number}`;
      this.q('.download').textContent = `Download sound track ${this.number}`;
    }
    this.canvas.addEventListener('click', (event) => {
      const box = this.canvas.getBoundingClientRect();
      this.seek(((event.clientX - box.left) / box.width) * this.track.seconds, true);
    });
    this.player.addEventListener('timeupdate', () => this.draw());
    new ResizeObserver(() => this.draw()).observe(this.canvas);
    this.show(track);
    this.loadPeaks();
  }

  url(extra = '') {
    const t = this.track;
    return `api/repairs/${this.row.id}/output?track=${this.number}&rate=${t.rate}${extra}`;
  }

  show(track) {
    const before = this.track;
    this.track = track;
    this.facts();
    this.rateChoice();
    this.stretches();
    // The player and the download follow the rate chosen; a switch keeps the place in the audio.
    const src = this.url();
    if (this.player.getAttribute('src') !== src) {
      const at = before && before.seconds > 0 ? this.player.currentTime / before.seconds : 0;
      const playing = !this.player.paused;
      this.player.src = src;
      if (at > 0) {
        this.player.addEventListener('loadedmetadata', () => {
          this.player.currentTime = at * track.seconds;
          if (playing) this.player.play().catch(() => {});
        }, { once: true });
      }
    }
    const download = this.q('.download');
    download.href = this.url('&download=1');
    download.setAttribute('download', track.output || 'repaired.m4a');
    this.canvas.setAttribute('role', 'img');
    this.canvas.setAttribute('aria-label',
      `Waveform of the repaired audio${this.several ? ` of sound track ${this.number}` : ''}, ` +
      `${duration(track.seconds)} long, with ${plural(this.row.stretches().length,
        'damaged stretch', 'damaged stretches')} marked`);
    this.draw();
  }

  facts() {
    const t = this.track;
    const facts = this.q('.facts');
    facts.replaceChildren();
    const fact = (name, value, className) => {
      const item = document.createElement('div');
      const dt = document.createElement('dt');
      const dd = document.createElement('dd');
      dt.textContent = name;
      dd.textContent = value;
      if (className) item.className = className;
      item.append(dt, dd);
      facts.append(item);
    };
    fact('Length', duration(t.seconds));
    const words = t.rate ? rateWords(t) : null;
    if (words) {
      const unsure = !t.rate_chosen && t.rate_confidence && t.rate_confidence !== 'certain';
      fact('Sampling rate', words.label, `rate${unsure ? ' unsure' : ''}`);
    }
    if (t.channels) {
      fact('Channels', t.channels === 1 ? 'mono' : t.channels === 2 ? 'stereo' : String(t.channels));
    }
    fact('Damaged stretches', String(this.row.stretches().length));
    this.q('.rate-why').textContent = words ? words.why : '';
  }

  // The rates the frames also fit, each a button; the one the repair chose to go back to.
  rateChoice() {
    const t = this.track;
    const offered = t.rate_offered || [];
    const box = this.q('.rate-choice');
    box.hidden = offered.length < 2;
    if (box.hidden) return;
    const others = offered.filter((rate) => rate !== t.rate);
    this.q('.rate-question').textContent = t.rate_chosen
      ? 'Still too slow or too fast? Try'
      : 'Sounds too slow or too fast? Try';
    box.setAttribute('aria-label', `Sampling rate of ${this.several ? `sound track ${this.number}` : 'the repaired recording'}`);
    const buttons = this.q('.rate-buttons');
    buttons.replaceChildren(...others.map((rate) => {
      const label = rate === offered[0] ? `${kHz(rate)} (as repaired)` : kHz(rate);
      const b = button(label, () => this.changeRate(rate));
      b.dataset.rate = String(rate);
      return b;
    }));
    const change = t.rate_change;
    const status = this.q('.rate-status');
    if (change && change.status === 'running') {
      status.textContent = `Writing it at ${kHz(change.rate)}…`;
    } else if (change && change.status === 'failed') {
      status.textContent = `${kHz(change.rate)} did not work: ${change.message}`;
    } else {
      status.textContent = '';
    }
    for (const b of buttons.children) b.disabled = Boolean(change && change.status === 'running');
  }

  async changeRate(rate) {
    const status = this.q('.rate-status');
    for (const b of this.q('.rate-buttons').children) b.disabled = true;
    status.textContent = `Writing it at ${kHz(rate)}…`;
    const body = { rate };
    if (this.several) body.track = this.number;
    try {
      let response = await api(`api/repairs/${this.row.id}/rate`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json' },
        body: JSON.stringify(body),
      });
      let state = await response.json();
      if (response.status !== 200 && response.status !== 202) {
        throw new Error(state.error || `the server answered ${response.status}`);
      }
      // A new rate's recording is written on the server: a moment, followed here.
      for (let mine = this.mine(state); mine && mine.rate_change &&
        mine.rate_change.status === 'running'; mine = this.mine(state)) {
        await new Promise((done) => setTimeout(done, pollMs / 2));
        response = await api(`api/repairs/${this.row.id}`);
        state = await response.json();
        if (!response.ok) throw new Error(state.error || `the server answered ${response.status}`);
      }
      const mine = this.mine(state);
      if (!mine) throw new Error('the track is gone');
      this.show(mine);
      // The verdict tells the first track's length, which follows its rate.
      if (this.number === this.row.firstTrack) {
        this.row.result = state;
        this.row.q('.verdict-title').textContent = this.row.title(state);
      }
      $('announce').textContent = mine.rate === rate
        ? `${this.row.file.name}: now at ${kHz(rate)}.` : status.textContent;
    } catch (error) {
      status.textContent = `${kHz(rate)} did not work: ${error.message}`;
      for (const b of this.q('.rate-buttons').children) b.disabled = false;
    }
  }

  mine(state) {
    return (state.tracks || []).find((t) => t.track === this.number);
  }

  stretches() {
    const list = this.q('.stretches');
    list.replaceChildren();
    for (const stretch of this.row.stretches()) {
      const at = this.at(stretch);
      const item = document.createElement('li');
      item.append(button(`Hear ${clock(at)} (about ${duration(stretch.lost_seconds)} lost)`,
        () => this.seek(at - 2, true)));
      list.append(item);
    }
  }

  // Where a damaged stretch is in this track at its rate now: the stretches were timed at the
  // first track's rate as repaired.
  at(stretch) {
    return (stretch.at_seconds / this.row.baseSeconds) * this.track.seconds;
  }

  async loadPeaks() {
    try {
      const response = await api(`api/repairs/${this.row.id}/waveform?track=${this.number}`);
      if (response.ok) this.peaks = (await response.json()).peaks;
    } catch (e) { /* the timeline still shows the damaged stretches */ }
    this.draw();
  }

  seek(seconds, play) {
    this.player.currentTime = Math.max(0, seconds);
    if (play) this.player.play().catch(() => {});
  }

  draw() {
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

    const total = Math.max(this.track.seconds, 0.001);
    const keepTiming = this.row.opts.keepTiming;
    const stretches = this.row.stretches();
    g.fillStyle = css.getPropertyValue('--damage');
    g.globalAlpha = 0.3;
    for (const s of stretches) {
      const x = (this.at(s) / total) * width;
      const lost = (s.lost_seconds / this.row.baseSeconds) * this.track.seconds;
      // Where the lost audio was left out, the stretch is a point in the repaired audio.
      const w = keepTiming ? Math.max(6, (lost / total) * width) : 6;
      g.fillRect(x - (keepTiming ? 0 : 3), 0, w, height);
    }
    g.globalAlpha = 1;
    for (const s of stretches) {
      const x = (this.at(s) / total) * width;
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

  stop() {
    this.player.removeAttribute('src');
  }
}

// One row of the list: one recording, from its upload to what came back.
class Row {
  constructor(file, opts) {
    this.file = file;
    this.opts = opts;
    this.views = [];
    this.el = $('row-template').content.firstElementChild.cloneNode(true);
    this.q = (selector) => this.el.querySelector(selector);
    this.q('.name').textContent = file.name;
    this.q('.remove').addEventListener('click', () => this.remove());
    this.q('.again').addEventListener('click', () => this.again());
    $('results').prepend(this.el);
    this.upload();
  }

  again() {
    addFiles([this.file]);
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
    if (this.opts.track) form.append('track', this.opts.track);
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
        this.el.dataset.id = body.id;
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

  verdict(kind, title, message, hint, notes = []) {
    const box = this.q('.verdict');
    box.className = `verdict ${kind}`;
    box.hidden = false;
    this.q('.verdict-title').textContent = title;
    this.q('.verdict-message').textContent = message;
    this.q('.verdict-notes').replaceChildren(...notes.map((note) => {
      const item = document.createElement('li');
      item.textContent = note;
      return item;
    }));
    this.q('.verdict-hint').textContent = hint ? `What to try next: ${hint}` : '';
    this.q('.progress-line').hidden = true;
    // One announcement per verdict; the progress is left for those who look.
    $('announce').textContent = `${this.file.name}: ${title}. ${message} ${notes.join(' ')}`;
  }

  fail(title, message, hint) {
    this.verdict('failed', title, message, hint);
    this.q('.retry').hidden = false;
  }

  // The library's suggestions as the page's own controls: each sets what it names under
  // "More options" (and tries again where nothing is left to choose), or points to it.
  suggest(suggestions, repaired) {
    const actions = this.q('.verdict-actions');
    actions.replaceChildren();
    const seen = new Set();
    for (const s of suggestions || []) {
      const key = `${s.action}:${s.rate || s.track || s.method || ''}`;
      if (seen.has(key)) continue;
      seen.add(key);
      switch (s.action) {
        case 'sample':
          actions.append(button('Add a healthy recording…', () => showOption('sample')));
          break;
        case 'rate':
          // A repaired recording offers its rates on its own row, without repairing again.
          if (!repaired) {
            actions.append(button(`Try again at ${kHz(s.rate)}`, () => {
              choose('rate', s.rate, kHz(s.rate));
              this.again();
            }));
          }
          break;
        case 'method':
          actions.append(button(`Try again ${methodWords[s.method] || s.method}`, () => {
            $('method').value = s.method;
            this.again();
          }));
          break;
        case 'track':
          actions.append(button(`Repair only sound track ${s.track}`, () => {
            choose('track', s.track, `Only track ${s.track}`);
            this.again();
          }));
          break;
        default:
          break;  // said in words by the hint
      }
    }
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
      this.suggest(result.suggestions, false);
      return;
    }
    const tracks = (result.tracks || []).filter((t) => t.output);
    const stretches = result.damaged_stretches || [];
    const lost = stretches.length === 0 ? 'No damaged stretches were found.'
      : `${plural(stretches.length, 'damaged stretch', 'damaged stretches')}; ` +
        `about ${duration(result.lost_seconds)} of audio could not be saved.`;
    const notes = [];
    if (result.video) notes.push('It is a video: only its sound came back.');
    const glitches = tracks.reduce((sum, t) => sum + (t.glitches || 0), 0);
    if (glitches > 0) {
      notes.push(`${plural(glitches, 'frame', 'frames')} could not be decoded: ` +
        `${glitches === 1 ? 'it plays' : 'each plays'} as a short glitch.`);
    }
    const unsure = tracks.some((t) => (t.rate_offered || []).length > 1);
    if (unsure) {
      notes.push('The file does not say its sampling rate: listen whether it sounds right. ' +
        'A healthy recording from the same recorder would tell it.');
    }
    this.count = tracks.length;
    this.verdict('repaired', this.title(result), lost, '', notes);
    this.suggest(result.suggestions, true);
    this.result = result;
    this.firstTrack = tracks.length ? tracks[0].track : 0;
    // The stretches were timed at the first track's rate as repaired.
    this.baseSeconds = Math.max(result.seconds, 0.001);
    const box = this.q('.outcome');
    this.views = tracks.map((t) => new TrackView(this, t, tracks.length));
    box.replaceChildren(...this.views.map((v) => v.el));
    box.hidden = false;
    for (const view of this.views) view.draw();
  }

  title(result) {
    return this.count > 1
      ? `Repaired: ${this.count} sound tracks came back, ${duration(result.seconds)} each`
      : `Repaired: ${duration(result.seconds)} of audio came back`;
  }

  stretches() {
    return (this.result && this.result.damaged_stretches) || [];
  }

  remove() {
    this.removed = true;
    if (this.request && !this.id) this.request.abort();
    if (this.id) api(`api/repairs/${this.id}`, { method: 'DELETE' }).catch(() => {});
    for (const view of this.views) view.stop();
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
