// Drives a recording's page (or the library) in headless Chromium and prints
// what it saw as JSON lines; exit status 0 when the scenario ran to its end.
//   node view-page.mjs saved <url> <screenshot.png> <plan.json>
//     plan: {"seekTimes":[…], "click":{"seconds":…}}; prints one result object
//   node view-page.mjs live <url> <screenshot.png>
//     prints {"event":"firstFrame"}, then {"event":"grew"}, then {"event":"saved"}
//   node view-page.mjs library <url> <screenshot.png>
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const [mode, url, screenshot, planText = '{}'] = process.argv.slice(2);
const plan = JSON.parse(planText);
const executablePath = process.env.BRINDLOW_CHROMIUM || '/usr/bin/chromium';
const profile = mkdtempSync(join(tmpdir(), 'brindlow-chromium-'));
const say = (object) => console.log(JSON.stringify(object));
const step = (text) => console.error(`view-page: ${text}`);

// Seeks the screen video and reads back the centre pixel of the frame shown.
async function colourAt(page, time) {
  step(`seek to ${time}`);
  return page.evaluate(async (t) => {
    const screen = document.getElementById('screen');
    const camera = document.getElementById('camera');
    // Every wait is capped: a page that never settles shows up in what is returned.
    const within = (promise, ms = 5000) => Promise.race([promise, new Promise((resolve) => setTimeout(resolve, ms))]);
    screen.pause();
    await within(new Promise((resolve) => {
      screen.addEventListener('seeked', resolve, { once: true });
      screen.currentTime = t;
    }));
    await within(new Promise((resolve) => (screen.requestVideoFrameCallback ? screen.requestVideoFrameCallback(() => resolve()) : resolve())), 1000);
    await new Promise((resolve) => setTimeout(resolve, 100));
    if (camera.seeking) await within(new Promise((resolve) => camera.addEventListener('seeked', resolve, { once: true })));
    const canvas = document.createElement('canvas');
    canvas.width = screen.videoWidth;
    canvas.height = screen.videoHeight;
    const context = canvas.getContext('2d');
    context.drawImage(screen, 0, 0);
    const [r, g, b] = context.getImageData(canvas.width >> 1, canvas.height >> 1, 1, 1).data;
    return { t, shown: screen.currentTime, rgb: [r, g, b], cameraLag: Math.abs(camera.currentTime - screen.currentTime) };
  }, time);
}

let context;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    timeout: 30000,
    viewport: { width: 1100, height: 780 },
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--autoplay-policy=no-user-gesture-required',
    ],
  });
  const page = context.pages()[0] ?? await context.newPage();
  const consoleErrors = [];
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
  await page.goto(url, { timeout: 15000, waitUntil: 'domcontentloaded' });

  if (mode === 'library') {
    await page.waitForFunction(() => document.body.dataset.loaded === 'true', null, { timeout: 15000 });
    const rows = await page.$$eval('#takes tbody tr', (trs) => trs.map((tr) => ({
      aid: tr.dataset.aid,
      status: tr.querySelector('.badge').textContent,
      href: tr.querySelector('a').getAttribute('href'),
      title: tr.querySelector('a').textContent,
      duration: tr.querySelector('td.numeric').textContent,
    })));
    await page.screenshot({ path: screenshot });
    say({ rows, consoleErrors });
  } else if (mode === 'saved') {
    await page.waitForFunction(() => window.brindlowView?.firstFrameAt != null, null, { timeout: 20000 });
    const firstFrameMs = await page.evaluate(() => window.brindlowView.firstFrameAt);
    step(`first frame at ${firstFrameMs} ms`);
    await page.waitForFunction(() => window.brindlowView.complete === true, null, { timeout: 20000 });
    step('every stream loaded');
    const duration = await page.evaluate(() => document.getElementById('screen').duration);
    const mode = await page.evaluate(() => window.brindlowView.mode);
    const colours = [];
    for (const t of plan.seekTimes ?? []) colours.push(await colourAt(page, t));
    const cameraShown = await page.evaluate(() => {
      const camera = document.getElementById('camera');
      const box = camera.getBoundingClientRect();
      return !camera.hidden && box.width > 0 && camera.readyState >= 2;
    });
    let click = null;
    if (plan.click) {
      await colourAt(page, plan.click.seconds + 0.15);
      await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
      click = await page.evaluate(() => {
        const ripple = document.querySelector('#clicks .ripple');
        if (!ripple) return null;
        const video = document.getElementById('screen').getBoundingClientRect();
        const box = ripple.getBoundingClientRect();
        return {
          x: (box.left + box.width / 2 - video.left) / video.width,
          y: (box.top + box.height / 2 - video.top) / video.height,
          caption: document.querySelector('#clicks .caption')?.textContent ?? null,
        };
      });
      await page.screenshot({ path: screenshot });
      await page.click('#show-clicks');
      click.hiddenByToggle = await page.evaluate(() => document.getElementById('clicks').hidden);
      await page.click('#show-clicks');
    } else {
      await page.screenshot({ path: screenshot });
    }
    step('playing to the end');
    // Play the whole take, twice as fast, and see it end.
    const played = await page.evaluate(() => new Promise((resolve) => {
      const screen = document.getElementById('screen');
      const timer = setTimeout(() => resolve({ ended: false, at: screen.currentTime }), 30000);
      screen.addEventListener('ended', () => { clearTimeout(timer); resolve({ ended: true, at: screen.currentTime }); }, { once: true });
      screen.currentTime = 0;
      screen.playbackRate = 2;
      screen.play().catch((e) => resolve({ ended: false, error: String(e) }));
    }));
    await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => requestAnimationFrame(resolve))));
    const timeText = await page.evaluate(() => document.getElementById('time').textContent);
    const errors = await page.evaluate(() => ({
      page: window.brindlowView.errors,
      screen: document.getElementById('screen').error?.code ?? null,
      camera: document.getElementById('camera').error?.code ?? null,
    }));
    const downloads = await page.$$eval('#downloads a', (as) => as.map((a) => a.getAttribute('href')));
    say({ firstFrameMs, duration, mode, colours, cameraShown, click, played, timeText, errors, downloads, consoleErrors });
  } else if (mode === 'live') {
    await page.waitForFunction(() => window.brindlowView?.firstFrameAt != null, null, { timeout: 30000 });
    const live = await page.evaluate(() => ({
      firstFrameMs: window.brindlowView.firstFrameAt,
      status: window.brindlowView.status,
      notice: document.getElementById('notice').textContent,
    }));
    say({ event: 'firstFrame', ...live });
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
    say({ event: 'grew', first, later: await bufferedEnd(),
          playing: await page.evaluate(() => !document.getElementById('screen').paused) });
    await page.waitForFunction(() => window.brindlowView.status === 'saved' && window.brindlowView.complete === true,
      null, { timeout: 60000 });
    await page.screenshot({ path: screenshot });
    say({
      event: 'saved',
      duration: await page.evaluate(() => document.getElementById('screen').duration),
      location: page.url(),
      noticeHidden: await page.evaluate(() => document.getElementById('notice').hidden),
      errors: await page.evaluate(() => window.brindlowView.errors),
      consoleErrors,
    });
  } else {
    throw new Error(`unknown mode ${mode}`);
  }
} catch (error) {
  console.error(String(error?.message ?? error));
  process.exitCode = 1;
} finally {
  await context?.close().catch(() => {});
  rmSync(profile, { recursive: true, force: true });
}
