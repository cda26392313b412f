// A person with a damaged recording on the local page: drops it on the page, waits for the
// verdict, looks at the timeline, plays it and downloads it; ffprobe checks what came down.
// Run by run.sh in the build directory, with QUILLMEND and RECORDERIZE set.
import { execFileSync, spawn } from 'node:child_process';
import { existsSync, readFileSync, writeFileSync } from 'node:fs';
import { resolve } from 'node:path';
import { createInterface } from 'node:readline';
import puppeteer from 'puppeteer-core';

const work = process.cwd();
const damaged = resolve(work, 'field recording.m4a');
const downloaded = resolve(work, 'field recording-repaired.m4a');
const shots = { wide: resolve(work, 'page.png'), narrow: resolve(work, 'page-narrow.png') };

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

  const zone = await page.$('#drop');
  const box = await zone.boundingBox();
  const at = { x: box.x + box.width / 2, y: box.y + box.height / 2 };
  // A drag of a file from the desktop, as the browser's input layer gets it.
  const cdp = await page.createCDPSession();
  const data = { items: [], files: [damaged], dragOperationsMask: 1 };
  await page.mouse.move(at.x, at.y);
  for (const type of ['dragEnter', 'dragOver', 'drop']) {
    await cdp.send('Input.dispatchDragEvent', { type, x: at.x, y: at.y, data });
  }

  await page.waitForSelector('.verdict:not([hidden])', { timeout: 120000 });
  check(await page.$eval('#no-token', (e) => e.hidden), 'the page that logged in asks for nothing');
  const verdict = await page.$eval('.verdict-title', (e) => e.textContent);
  check(/^Repaired/.test(verdict), `the verdict says so: "${verdict}"`);
  check(await page.$eval('.verdict', (e) => e.className.includes('repaired')), 'it looks repaired');

  const facts = await page.$eval('.facts', (e) => e.innerText.replace(/\s+/g, ' '));
  check(/44\.1 kHz/.test(facts) && !/assumed/.test(facts), `the facts tell the rate: ${facts}`);
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

  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: work });
  await page.click('.download');
  check(await waitForFile(downloaded, 30), 'the download arrives under its repaired name');
  await new Promise((done) => setTimeout(done, 500));
  const probe = execFileSync('ffprobe', ['-v', 'error', '-show_entries',
    'stream=codec_name,channels:format=duration', '-of', 'json', downloaded]);
  const media = JSON.parse(probe);
  check(media.streams[0].codec_name === 'aac' && media.streams[0].channels === 2,
    'ffprobe reads stereo AAC from the download');
  check(Math.abs(Number(media.format.duration) - seconds) < 0.1, 'of the length the page showed');

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
  console.log(`screenshots: ${shots.wide} ${shots.narrow}`);
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
