// Drives a take's page (or the library) in headless Chromium and prints what it
// saw as JSON lines; exit status 0 when the scenario ran to its end.
//   node view-page.mjs saved <url> <screenshot.png> <plan.json>
//     plan: {"seekTimes":[…], "clickSeconds":…}; prints one object
//   node view-page.mjs live <url> <screenshot.png>
//     prints one object at the first frame, one once it has grown and played, one once saved
//   node view-page.mjs library <url> <screenshot.png>
//     prints the rows' cells and what the first row's page shows of its length
import { mkdtempSync, realpathSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';

// Runs `scenario` on a page of a fresh headless Chromium; exit status 1 when it throws.
export async function inChromium(scenario) {
  const profile = mkdtempSync(join(tmpdir(), 'brindlow-chromium-'));
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: process.env.BRINDLOW_CHROMIUM || '/usr/bin/chromium',
      headless: true,
      timeout: 30000,
      viewport: { width: 1100, height: 780 },
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        '--autoplay-policy=no-user-gesture-required'],
    });
    await scenario(context.pages()[0] ?? await context.newPage());
  } catch (error) {
    console.error(String(error?.message ?? error));
    process.exitCode = 1;
  } finally {
    await context?.close().catch(() => {});
    rmSync(profile, { recursive: true, force: true });
  }
}

const say = (object) => console.log(JSON.stringify(object));
const frames = (page) => page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));

// Seeks the screen video and reads back the centre pixel of the frame shown.
const colourAt = (page, time) => page.evaluate(async (t) => {
  const screen = document.getElementById('screen');
  const camera = document.getElementById('camera');
  // Every wait is capped: a page that never settles shows up in what is returned.
  const within = (promise, ms = 5000) => Promise.race([promise, new Promise((r) => setTimeout(r, ms))]);
  const seeked = (video) => new Promise((r) => video.addEventListener('seeked', r, { once: true }));
  screen.pause();
  const moved = seeked(screen);
  screen.currentTime = t;
  await within(moved);
  await within(new Promise((r) => screen.requestVideoFrameCallback(() => r())), 1000);
  await new Promise((r) => setTimeout(r, 100));
  if (camera.seeking) await within(seeked(camera));
  const canvas = Object.assign(document.createElement('canvas'), { width: screen.videoWidth, height: screen.videoHeight });
  const context = canvas.getContext('2d');
  context.drawImage(screen, 0, 0);
  const [r, g, b] = context.getImageData(canvas.width >> 1, canvas.height >> 1, 1, 1).data;
  return { shown: screen.currentTime, rgb: [r, g, b], cameraLag: Math.abs(camera.currentTime - screen.currentTime) };
}, time);

const scenarios = {
  async saved(page, screenshot, plan) {
    await page.waitForFunction(() => window.brindlowView?.complete === true, null, { timeout: 40000 });
    const colours = [];
    for (const t of plan.seekTimes) colours.push(await colourAt(page, t));
    await colourAt(page, plan.clickSeconds + 0.15);
    await frames(page);
    const click = await page.evaluate(() => {
      const camera = document.getElementById('camera');
      const ripple = document.querySelector('#clicks .ripple')?.getBoundingClientRect();
      const video = document.getElementById('screen').getBoundingClientRect();
      return {
        cameraShown: !camera.hidden && camera.getBoundingClientRect().width > 0 && camera.readyState >= 2,
        x: ripple && (ripple.left + ripple.width / 2 - video.left) / video.width,
        y: ripple && (ripple.top + ripple.height / 2 - video.top) / video.height,
        caption: document.querySelector('#clicks .caption')?.textContent ?? null,
      };
    });
    await page.screenshot({ path: screenshot });
    await page.click('#show-clicks');
    click.hiddenByToggle = await page.evaluate(() => document.getElementById('clicks').hidden);
    // The whole take, twice as fast, to its end.
    const ended = await page.evaluate(() => new Promise((resolve) => {
      const screen = document.getElementById('screen');
      setTimeout(() => resolve(false), 30000);
      screen.addEventListener('ended', () => resolve(true), { once: true });
      screen.currentTime = 0;
      screen.playbackRate = 2;
      screen.play().catch(() => resolve(false));
    }));
    say({ ...click, colours, ended, ...await page.evaluate(() => ({
      mode: window.brindlowView.mode,
      duration: document.getElementById('screen').duration,
      errors: [...window.brindlowView.errors, document.getElementById('screen').error?.code,
        document.getElementById('camera').error?.code].filter((e) => e != null),
      downloads: document.querySelectorAll('#downloads a').length,
    })) });
  },
  async live(page, screenshot) {
    await page.waitForFunction(() => window.brindlowView?.firstFrameAt != null, null, { timeout: 30000 });
    say(await page.evaluate(() => ({ status: window.brindlowView.status, notice: document.getElementById('notice').textContent })));
    const bufferedEnd = () => page.evaluate(() => {
      const b = document.getElementById('screen').buffered;
      return b.length ? b.end(b.length - 1) : 0;
    });
    const first = await bufferedEnd();
    await page.waitForFunction((start) => {
      const screen = document.getElementById('screen');
      const b = screen.buffered;
      return b.length && b.end(b.length - 1) >= start + 1 && screen.currentTime > 0.2;
    }, first, { timeout: 30000, polling: 100 });
    say({ first, later: await bufferedEnd(), playing: await page.evaluate(() => !document.getElementById('screen').paused) });
    await page.waitForFunction(() => window.brindlowView.status === 'saved' && window.brindlowView.complete === true,
      null, { timeout: 60000 });
    await page.screenshot({ path: screenshot });
    say({ location: page.url(), ...await page.evaluate(() => ({
      duration: document.getElementById('screen').duration,
      noticeHidden: document.getElementById('notice').hidden,
      errors: window.brindlowView.errors,
    })) });
  },
  async library(page, screenshot) {
    await page.waitForFunction(() => document.body.dataset.loaded === 'true', null, { timeout: 15000 });
    const rows = await page.$$eval('#takes tbody tr', (trs) => trs.map((tr) => [...tr.cells].map((td) => td.innerText)));
    await page.screenshot({ path: screenshot });
    await page.click('#takes a');
    await page.waitForFunction(() => window.brindlowView?.take != null, null, { timeout: 15000 });
    await frames(page);
    say({ rows, time: await page.evaluate(() => document.getElementById('time').textContent) });
  },
};

if (import.meta.url === pathToFileURL(realpathSync(process.argv[1])).href) {
  const [mode, url, screenshot, plan = '{}'] = process.argv.slice(2);
  await inChromium(async (page) => {
    await page.goto(url, { timeout: 15000, waitUntil: 'domcontentloaded' });
    await scenarios[mode](page, screenshot, JSON.parse(plan));
  });
}
