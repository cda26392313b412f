// A person with a damaged recording on the local page: drops it on the page, waits for the
// verdict, looks at the timeline, plays it and downloads it; ffprobe checks what came down.
// Then a recording whose rate the frames cannot settle, heard at another rate with one click,
// and a recording of two sound tracks, each its own result.
// Run by run.sh in the build directory, with QUILLMEND and RECORDERIZE set.
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { resolve } from 'node:path';
import { createInterface } from 'node:readline';
import puppeteer from 'puppeteer-core';

const work = process.cwd();
const damaged = resolve(work, 'field recording.m4a');
const downloaded = resolve(work, 'field recording-repaired.m4a');
const quiet = resolve(work, 'quiet take.m4a');
const twoTracks = resolve(work, 'two tracks.mp4');
const video = resolve(work, 'phone video.mp4');
const shots = {
  wide: resolve(work, 'page.png'),
  narrow: resolve(work, 'page-narrow.png'),
  rate: resolve(work, 'page-rate.png'),
  suggestion: resolve(work, 'page-suggestion.png'),
};

function check(condition, what) {
  if (!condition) throw new Error(`failed: ${what}`);
  console.log(`ok: ${what}`);
}

// A stereo recording as recorders write it, cut off before its index as a power loss leaves it.
function makeDamagedRecording() {
  const channel = (c) => `sine=f=440:r=44100:d=8[s${c}];` +
    `anoisesrc=c=pink:a=0.2:r=44100:seed=${7 + c}:d=8[n${c}];` +
    `[s${c}][n${c}]amix=inputs=2:duration=shortest[c${c}];`;
  const tone = resolve(work, 'tone.m4a');
  const recorded = resolve(work, 'recorded.m4a');
  execFileSync('ffmpeg', ['-nostdin', '-v', 'error', '-y', '-filter_complex',
    `${channel(0)}${channel(1)}[c0][c1]join=inputs=2:channel_layout=stereo[a]`, '-map', '[a]',
    '-c:a', 'aac', '-b:a', '128k', '-cutoff', '20000', tone]);
  execFileSync(process.env.RECORDERIZE, [tone, recorded]);
  const bytes = readFileSync(recorded);
  const cut = Buffer.from(bytes.subarray(0, bytes.indexOf('moov') - 4));
  cut.fill(0x5a, 50000, 53000);  // and a burst of bad bytes a third of the way in
  writeFileSync(damaged, cut);
  return tone;
}

function ffmpeg(...args) {
  execFileSync('ffmpeg', ['-nostdin', '-v', 'error', '-y', ...args]);
}

function cutBeforeIndex(from, to) {
  const bytes = readFileSync(from);
  const at = bytes.indexOf('moov') - 4;
  check(at > bytes.indexOf('mdat'), `${from} has its index behind its audio`);
  writeFileSync(to, bytes.subarray(0, at));
}

// Digital silence says nothing of its rate: the frames fit 48, 44.1 and 32 kHz alike.
function makeQuietRecording() {
  const whole = resolve(work, 'quiet-whole.m4a');
  ffmpeg('-f', 'lavfi', '-i', 'anullsrc=r=44100:cl=stereo', '-t', '4', '-c:a', 'aac', whole);
  cutBeforeIndex(whole, quiet);
}

// Two mono tracks of one setting, as some recorders keep two microphones, and a shorter healthy
// recording of the same kind to tell them apart.
function makeTwoTrackRecording() {
  const make = (seconds, frequency, seed, out) => ffmpeg('-f', 'lavfi', '-i',
    `sine=f=${frequency}:r=48000:d=${seconds}`, '-f', 'lavfi', '-i',
    `anoisesrc=r=48000:d=${seconds}:a=0.1:seed=${seed}`, '-map', '0', '-map', '1', '-c:a', 'aac',
    '-ac', '1', '-b:a', '96k', out);
  const whole = resolve(work, 'two-whole.mp4');
  const sample = resolve(work, 'two-sample.mp4');
  make(6, 300, 1, whole);
  make(3, 500, 5, sample);
  cutBeforeIndex(whole, twoTracks);
  return sample;
}

// A phone's video whose index was never written: only its sound comes back.
function makeVideo() {
  const whole = resolve(work, 'video-whole.mp4');
  ffmpeg('-f', 'lavfi', '-i', 'testsrc=d=4:s=320x240:r=25', '-f', 'lavfi', '-i',
    'sine=f=440:r=48000:d=4', '-c:v', 'libx264', '-pix_fmt', 'yuv420p', '-c:a', 'aac', '-shortest',
    whole);
  cutBeforeIndex(whole, video);
}

function probe(path) {
  return JSON.parse(execFileSync('ffprobe', ['-v', 'error', '-show_entries',
    'stream=codec_name,channels,sample_rate:format=duration', '-of', 'json', path]));
}

async function startServer() {
  const server = spawn(process.env.QUILLMEND, ['serve'], { stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = createInterface({ input: server.stdout });
  const first = await new Promise((done, fail) => {
    lines.once('line', done);
    server.once('exit', (code) => fail(new Error(`quillmend serve ended with ${code}`)));
  });
  const match = /^Quillmend is at (http:\/\/127\.0\.0\.1:\d+\/\?token=\w+)$/.exec(first);
  check(match, `the server prints its address: ${first}`);
  return { server, url: match[1] };
}

async function waitForFile(path, seconds) {
  for (let i = 0; i < seconds * 10 && !existsSync(path); ++i) {
    await new Promise((done) => setTimeout(done, 100));
  }
  return existsSync(path);
}

const healthy = makeDamagedRecording();
makeQuietRecording();
makeVideo();
const twoSample = makeTwoTrackRecording();
const { server, url } = await startServer();
const browser = await puppeteer.launch({
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless=new', '--no-sandbox', '--disable-gpu'],
});
let failed = false;
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1000, height: 900 });
  const errors = [];
  page.on('pageerror', (error) => errors.push(error.message));
  await page.goto(url);
  check(/\/s\/[0-9a-f]{32}\/$/.test(page.url()), `the token leaves the address bar: ${page.url()}`);
  check(await page.evaluate(() => document.cookie) === '', 'no script can read the session cookie');

  await page.keyboard.press('Tab');
  check(await page.evaluate(() => document.activeElement.id === 'pick'),
    'the first Tab reaches the file picker');

  // The healthy recording from the same recorder tells the sampling rate.
  await page.click('details.options summary');
  await (await page.$('#sample')).uploadFile(healthy);
  await page.click('details.options summary');

  // A drag of a file from the desktop, as the browser's input layer gets it; the newest row comes
  // first.
  const cdp = await page.createCDPSession();
  const drop = async (file) => {
    const rows = await page.$$eval('.repair', (r) => r.length);
    await page.$eval('#drop', (e) => e.scrollIntoView({ block: 'center' }));
    const box = await (await page.$('#drop')).boundingBox();
    const at = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
    const data = { items: [], files: [file], dragOperationsMask: 1 };
    await page.mouse.move(at.x, at.y);
    for (const type of ['dragEnter', 'dragOver', 'drop']) {
      await cdp.send('Input.dispatchDragEvent', { type, x: at.x, y: at.y, data });
    }
    await page.waitForFunction((n) => document.querySelectorAll('.repair').length > n, {}, rows);
    await page.waitForSelector('.repair:first-child .verdict:not([hidden])', { timeout: 120000 });
    return page.$eval('.repair:first-child', (e) => e.dataset.id);
  };
  const download = async (selector, name) => {
    // One left by an earlier run would be taken for this one, and this one renamed beside it.
    const path = resolve(work, name);
    rmSync(path, { force: true });
    await page.click(selector);
    check(await waitForFile(path, 30), `the download arrives as ${name}`);
    await new Promise((done) => setTimeout(done, 500));
    return path;
  };
  const state = (id) => page.evaluate(async (path) => (await fetch(path)).json(),
    `api/repairs/${id}`);
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: work });

  await drop(damaged);
  check(await page.$eval('#no-token', (e) => e.hidden), 'the page that logged in asks for nothing');
  const verdict = await page.$eval('.verdict-title', (e) => e.textContent);
  check(/^Repaired/.test(verdict), `the verdict says so: "${verdict}"`);
  check(await page.$eval('.verdict', (e) => e.className.includes('repaired')), 'it looks repaired');

  const facts = await page.$eval('.facts', (e) => e.innerText.replace(/\s+/g, ' '));
  check(/44\.1 kHz, from the healthy recording tone\.m4a/.test(facts),
    `the facts tell the rate and where it came from: ${facts}`);
  const stretches = await page.$$eval('.stretches button', (b) => b.map((e) => e.textContent));
  check(stretches.length === 1, `the damaged stretch is listed: ${stretches}`);

  await page.waitForFunction(() => document.querySelector('.player').readyState >= 1);
  const seconds = await page.$eval('.player', (e) => e.duration);
  check(Math.abs(seconds - 7.8) < 0.3, `the player holds the repaired audio (${seconds} s)`);
  const drawn = await page.$eval('.waveform', (canvas) => {
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let inked = 0;
    for (let i = 3; i < pixels.length; i += 4) inked += pixels[i] > 0 ? 1 : 0;
    return canvas.clientWidth > 200 && inked / (pixels.length / 4);
  });
  check(drawn > 0.05, `the timeline shows a waveform (${Math.round(drawn * 100)}% inked)`);

  await download('.download', 'field recording-repaired.m4a');
  const media = probe(downloaded);
  check(media.streams[0].codec_name === 'aac' && media.streams[0].channels === 2,
    'ffprobe reads stereo AAC from the download');
  check(Math.abs(Number(media.format.duration) - seconds) < 0.1, 'of the length the page showed');

  // Without the healthy recording, silence leaves the rate a guess: one click hears another.
  await page.click('details.options summary');
  await page.click('#sample-clear');
  await page.click('details.options summary');
  const quietId = await drop(quiet);
  const guessed = (await state(quietId)).tracks[0];
  check(guessed.rate_confidence === 'guess' && guessed.rate_offered.length > 1,
    `the library calls the rate a guess: ${guessed.rate} Hz, offered ${guessed.rate_offered}`);
  const row = '.repair:first-child';
  const rateFact = () => page.$eval(`${row} .facts .rate`, (e) => e.innerText.replace(/\s+/g, ' '));
  check(/\(a guess\)/.test(await rateFact()), `the row says so: ${await rateFact()}`);
  const choice = await page.$eval(`${row} .rate-choice`, (e) => e.innerText.replace(/\s+/g, ' '));
  check(/^Sounds too slow or too fast\? Try/.test(choice), `and offers the others: ${choice}`);
  await page.$eval(row, (e) => e.scrollIntoView());
  await page.screenshot({ path: shots.rate });
  const src = () => page.$eval(`${row} .player`, (e) => e.getAttribute('src'));
  const href = () => page.$eval(`${row} .download`, (e) => e.getAttribute('href'));
  const before = { src: await src(), href: await href() };
  const chosen = guessed.rate_offered[1];
  await page.click(`${row} .rate-buttons button[data-rate="${chosen}"]`);
  await page.waitForFunction((selector, old) =>
    document.querySelector(selector).getAttribute('src') !== old, {}, `${row} .player`, before.src);
  check(await href() !== before.href, `the download follows: ${await href()}`);
  check(new RegExp(`${chosen / 1000} kHz, chosen by you`).test(await rateFact()),
    `the row says who chose it: ${await rateFact()}`);
  await page.waitForFunction((selector) => document.querySelector(selector).readyState >= 1, {},
    `${row} .player`);
  const heard = probe(await download(`${row} .download`, 'quiet take-repaired.m4a'));
  check(Number(heard.streams[0].sample_rate) === chosen, `the download plays at ${chosen} Hz`);
  check(Math.abs(Number(heard.format.duration) * chosen - guessed.seconds * guessed.rate) <
    2048 + 0.05 * chosen, 'with the same frames');

  // Two sound tracks of one setting: without a healthy recording to tell them apart the repair
  // says what to add, and its button shows where.
  await drop(twoTracks);
  const needs = await page.$eval(`${row} .verdict`, (e) => e.innerText.replace(/\s+/g, ' '));
  check(/Could not be repaired/.test(needs) && /under More options/.test(needs),
    `the verdict says what to do on the page: ${needs}`);
  const [add] = await page.$$(`xpath/.//li[1]//button[contains(., 'Add a healthy recording')]`);
  check(add, 'and offers a button for it');
  await add.click();
  check(await page.evaluate(() => document.querySelector('details.options').open &&
    document.activeElement.id === 'sample'), 'which opens the healthy recording\'s field');
  await page.screenshot({ path: shots.suggestion });
  await (await page.$('#sample')).uploadFile(twoSample);
  await page.click('details.options summary');
  const rows = await page.$$eval('.repair', (r) => r.length);
  await page.click(`${row} .again`);
  await page.waitForFunction((n) => document.querySelectorAll('.repair').length > n, {}, rows);
  await page.waitForSelector(`${row} .verdict:not([hidden])`, { timeout: 120000 });

  // Now the two come back as two results, each with its player and download.
  const tracks = await page.$$eval(`${row} .track`, (all) => all.map((t) => ({
    title: t.querySelector('.track-title').textContent,
    href: t.querySelector('.download').getAttribute('href'),
    name: t.querySelector('.download').getAttribute('download'),
  })));
  check(tracks.length === 2 && tracks[1].title === 'Sound track 2',
    `two sound tracks: ${tracks.map((t) => t.name)}`);
  check(tracks[0].href !== tracks[1].href && tracks[1].name === 'two tracks-repaired-track2.m4a',
    'each with a download of its own');
  await page.waitForFunction((selector) => [...document.querySelectorAll(selector)]
    .every((p) => p.readyState >= 1), {}, `${row} .player`);
  const lengths = await page.$$eval(`${row} .player`, (all) => all.map((p) => p.duration));
  check(lengths.every((l) => Math.abs(l - 6) < 0.2), `each plays about 6 s: ${lengths}`);
  const second = probe(await download(`${row} .track:nth-child(2) .download`,
    'two tracks-repaired-track2.m4a'));
  check(second.streams.length === 1 && second.streams[0].channels === 1,
    'ffprobe reads one mono track from the second download');

  await page.click('details.options summary');
  await page.click('#sample-clear');
  await page.click('details.options summary');
  await drop(video);
  const notes = await page.$eval(`${row} .verdict`, (e) => e.innerText.replace(/\s+/g, ' '));
  check(/^Repaired: 4\.0 s/.test(notes) && /It is a video: only its sound came back\./.test(notes),
    `a video's verdict says what came back: ${notes}`);

  // Outside the page's own path the session cookie is not sent: the page says what to open.
  const outside = await browser.newPage();
  await outside.goto(new URL('/', url).href);
  await outside.waitForSelector('#no-token:not([hidden])', { timeout: 10000 });
  check(true, 'a page opened without the address asks for it');
  await outside.close();

  await page.screenshot({ path: shots.wide, fullPage: true });
  await page.setViewport({ width: 390, height: 844 });
  await new Promise((done) => setTimeout(done, 300));
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth > innerWidth);
  await page.screenshot({ path: shots.narrow, fullPage: true });
  check(!overflow, 'nothing runs off a 390 px wide window');
  check(errors.length === 0, `no script errors ${errors.join('; ')}`);
  console.log(`screenshots: ${Object.values(shots).join(' ')}`);
} catch (error) {
  failed = true;
  console.error(error.message);
  const pages = await browser.pages();
  if (pages.length > 0) await pages[pages.length - 1].screenshot({ path: shots.wide, fullPage: true });
} finally {
  await browser.close();
  server.kill('SIGTERM');
}
console.log(failed ? '0 passed, 1 failed' : '1 passed, 0 failed');
process.exit(failed ? 1 : 0);
