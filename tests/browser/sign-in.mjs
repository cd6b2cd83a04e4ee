// Opens a sign-in address in headless Chromium, presses one of the page's
// buttons ("continue" or "cancel") and prints the text of the page the browser
// lands on. Exit status 0 when that page loaded.
//   node sign-in.mjs <url> <button-id>
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const [url, button = 'continue'] = process.argv.slice(2);
const executablePath = process.env.BRINDLOW_CHROMIUM || '/usr/bin/chromium';
const profile = mkdtempSync(join(tmpdir(), 'brindlow-chromium-'));

let context;
try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    timeout: 30000,
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
    ],
  });
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(url, { timeout: 15000 });
  await Promise.all([
    page.waitForURL(/^http:\/\/127\.0\.0\.1:\d+\/callback\?/, { timeout: 15000 }),
    page.click(`#${button}`, { timeout: 15000 }),
  ]);
  await page.waitForLoadState('load', { timeout: 15000 });
  console.log(JSON.stringify({ url: page.url(), title: await page.title(), text: await page.innerText('body') }));
} catch (error) {
  console.error(String(error?.message ?? error));
  process.exitCode = 1;
} finally {
  await context?.close().catch(() => {});
  rmSync(profile, { recursive: true, force: true });
}
