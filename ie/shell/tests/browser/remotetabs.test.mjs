// The open-tabs page (remotetabs.html, shipped beside the client) in
// headless Chromium, given hostile tab lists: titles and addresses typed on
// other computers stay text (markup characters and all), nothing of them
// runs, only http and https addresses become links (opening a new tab,
// without referrer or opener), right-to-left marks turn nothing around
// them, very long texts are cut, and a list that could not be read shows a
// visible message. The client's call also arrives as a message (the web
// presenter's frame): only a call of UpdateRemoteTabDisplay with JSON data
// is taken. A screenshot is written to DIR/remotetabs.png.
//
//   node remotetabs.test.mjs --page REMOTETABS_HTML --tools TOOLS_DIR --screenshots DIR
import assert from 'node:assert/strict';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const USAGE = 'remotetabs.test.mjs --page REMOTETABS_HTML --tools TOOLS_DIR --screenshots DIR';
const toolsDir = process.argv[process.argv.indexOf('--tools') + 1];
const { STEP_MS, closeChromium, launchChromium, loadPuppeteer, option, runTest } =
  await import(path.join(toolsDir ?? '.', 'harness.mjs'));
const pagePath = option('--page', USAGE);
option('--tools', USAGE);
const screenshotDir = option('--screenshots', USAGE);
const puppeteer = loadPuppeteer();

const PWN = 'window.__pwned=1';
const RLO = '\u202e';
const LONG = 'L'.repeat(5000);
const tab = (title, url) => ({ title, url });
const computer = (name, tabs) => ({
  mids: { [`mid-${name.length}`]: { clientName: name, windows: [{ tabs }] } },
  length: tabs.length,
});
const HOSTILE = {
  [`<img src=x onerror="${PWN}">Laptop`]: computer('<img src=x onerror>Laptop', [
    tab(`<script>${PWN}</script>`, 'https://example.org/a?x=<b>&y="1"'),
    tab(`"quoted" 'single' <b>bold</b>`, 'http://example.org/b'),
    tab('script address', `javascript:${PWN}`),
    tab('upper-case script address', `JavaScript:${PWN}`),
    tab('data address', `data:text/html,<script>${PWN}</script>`),
    tab('leading space', ` javascript:${PWN}`),
    tab(`${RLO}evil.exe${RLO} right-to-left`, `https://example.org/${RLO}gpj.exe`),
    tab(LONG, `https://example.org/${LONG}`),
    tab(null, 'https://example.org/untitled'),
    tab(42, { toString: 'not text' }),
  ]),
  'Desk "PC"': computer('Desk "PC"', []),
};

const scratch = mkdtempSync(path.join(os.tmpdir(), 'tarvex-remotetabs-'));
let browser = null;

async function cleanUp() {
  await closeChromium(browser);
  browser = null;
  rmSync(scratch, { recursive: true, force: true });
}

async function main() {
  browser = await launchChromium(puppeteer, path.join(scratch, 'profile'));
  const page = await browser.newPage();
  page.setDefaultTimeout(STEP_MS);
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('dialog', async (d) => { problems.push(`a dialog opened: ${d.message()}`); await d.dismiss(); });
  await page.goto(pathToFileURL(pagePath).href, { waitUntil: 'load' });
  assert.equal(await page.$eval('#tabs', (e) => e.textContent.trim()), 'Reading the open tabs\u2026');

  // ---- Hostile tabs, as the client's script hands them over ----
  await page.evaluate((data) => UpdateRemoteTabDisplay(0, data), HOSTILE);
  const seen = await page.evaluate(() => {
    const shown = document.getElementById('tabs');
    return {
      computers: Array.from(shown.querySelectorAll('h2')).map((h) => h.textContent),
      titles: Array.from(shown.querySelectorAll('li .title')).map((e) => e.textContent),
      addresses: Array.from(shown.querySelectorAll('li .address')).map((e) => e.textContent),
      links: Array.from(shown.querySelectorAll('a')).map((a) => ({
        text: a.textContent, href: a.getAttribute('href'), target: a.target, rel: a.rel })),
      isolated: Array.from(shown.querySelectorAll('li .title')).every((e) => e.querySelector('bdi')),
      foreign: shown.querySelectorAll('script, img, b, iframe, object, embed').length,
      attributes: Array.from(shown.querySelectorAll('*')).flatMap((e) =>
        Array.from(e.attributes).map((a) => a.name)).filter((n) => n.startsWith('on')),
      pwned: typeof window.__pwned,
    };
  });
  assert.deepEqual(seen.computers, ['<img src=x onerror="window.__pwned=1">Laptop (10 tabs)',
                                    'Desk "PC" (0 tabs)'].sort((a, b) => a.localeCompare(b)),
                   'each computer by its name, as text');
  const titles = [`<script>${PWN}</script>`, `"quoted" 'single' <b>bold</b>`, 'script address',
                  'upper-case script address', 'data address', 'leading space',
                  `${RLO}evil.exe${RLO} right-to-left`, 'L'.repeat(300) + '\u2026',
                  'https://example.org/untitled', '42'];
  assert.deepEqual(seen.titles, titles, 'every title as text, the long one cut');
  assert.equal(seen.addresses[2], `javascript:${PWN}`, 'a script address is shown, as text');
  assert.equal(seen.addresses[9], '', 'an address that is no text shows as nothing');
  assert.equal(seen.addresses[6], 'https://example.org/%E2%80%AEgpj.exe',
               'a web address shows as its link goes: no mark turns it around');
  assert.deepEqual(seen.links.map((l) => l.href), [
    'https://example.org/a?x=%3Cb%3E&y=%221%22', 'http://example.org/b',
    `https://example.org/${encodeURIComponent(RLO)}gpj.exe`, `https://example.org/${LONG}`,
    'https://example.org/untitled',
  ], 'only http and https addresses are links');
  for (const link of seen.links) {
    assert.equal(link.target, '_blank');
    assert.equal(link.rel, 'noopener noreferrer');
  }
  assert.ok(seen.isolated, 'each title sits in its own <bdi>');
  assert.equal(seen.foreign, 0, 'no element was made from the texts');
  assert.deepEqual(seen.attributes, [], 'no handler attribute anywhere');
  assert.equal(seen.pwned, 'undefined', 'nothing of the texts ran');
  const width = await page.evaluate(() => document.documentElement.scrollWidth <= window.innerWidth);
  assert.ok(width, 'long texts wrap within the page');

  mkdirSync(screenshotDir, { recursive: true });
  const screenshot = path.join(screenshotDir, 'remotetabs.png');
  await page.screenshot({ path: screenshot, fullPage: false });
  console.log(`screenshot: ${screenshot}`);

  // ---- Nothing, and nothing readable ----
  await page.evaluate(() => UpdateRemoteTabDisplay(0, {}));
  assert.equal(await page.$eval('#tabs', (e) => e.textContent), 'No tabs are open on your other computers.');
  for (const data of [null, 'text', [1, 2], 7]) {
    await page.evaluate((d) => UpdateRemoteTabDisplay(0, d), data);
    const problem = await page.$eval('#tabs', (e) => {
      const p = e.querySelector('.problem');
      return p && { text: p.textContent, role: p.getAttribute('role'), visible: p.offsetHeight > 0 };
    });
    assert.deepEqual(problem, { text: 'The open tabs of your other computers could not be loaded. Try again later.',
                                role: 'alert', visible: true }, `a visible message for ${JSON.stringify(data)}`);
  }

  // ---- The client's call as a message (the presenter's frame) ----
  const post = (text) => page.evaluate((t) => new Promise((resolve) => {
    window.postMessage({ tarvex: 'script', text: t }, '*');
    setTimeout(resolve, 100);
  }), text);
  await post('UpdateRemoteTabDisplay(0, {"Work \\u2028PC":{"mids":{"m":{"windows":[{"tabs":[' +
             '{"title":"\\u003cscript\\u003e","url":"https://w.example/"}]}]}}}});');
  assert.deepEqual(await page.$$eval('#tabs h2, #tabs a', (es) => es.map((e) => e.textContent)),
                   ['Work \u2028PC (1 tab)', '<script>'], 'a call as data: its JSON shown as text');
  for (const text of [`${PWN};`, `UpdateRemoteTabDisplay(0, {}); ${PWN};`, 'UpdateRemoteTabDisplay(0, x);']) {
    await post(text);
    assert.equal(typeof await page.evaluate(() => window.__pwned), 'undefined', text);
  }
  assert.match(await page.$eval('#tabs', (e) => e.textContent), /could not be loaded/,
               'a call whose data is no JSON shows the message');
  assert.deepEqual(problems, [], 'no error and no dialog on the page');
}

runTest(main, cleanUp, 60_000);
