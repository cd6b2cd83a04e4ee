// Opens a sign-in address in headless Chromium, presses one of the page's
// buttons ("continue" or "cancel") and prints the text of the page the browser
// lands on. Exit status 0 when that page loaded.
//   node sign-in.mjs <url> <button-id>
import { inChromium } from './view-page.mjs';

const [url, button = 'continue'] = process.argv.slice(2);
await inChromium(async (page) => {
  await page.goto(url, { timeout: 15000 });
  await Promise.all([
    page.waitForURL(/^http:\/\/127\.0\.0\.1:\d+\/callback\?/, { timeout: 15000 }),
    page.click(`#${button}`, { timeout: 15000 }),
  ]);
  await page.waitForLoadState('load', { timeout: 15000 });
  console.log(JSON.stringify({ url: page.url(), title: await page.title(), text: await page.innerText('body') }));
});
