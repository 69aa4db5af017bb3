// The program's message box as a person meets it: the demo shows it through
// the web presenter, and headless Chromium (the system's, driven by
// puppeteer-core) opens the page the demo names on its standard error.
//
//   node dialogbox.test.mjs --demo DEMO --tools TOOLS_DIR --screenshots DIR
//
// Checks that the page shows the box's text literally, markup characters
// and all, and nothing of it runs; that its buttons, default button and
// check box are there; that the live server refuses requests without the
// secret, with a foreign Host or from a foreign Origin; that a click on the
// tray icon reaches the program; and that clicking the check box, then
// "Learn more", ends the demo with "result=12 checked=0". A screenshot of
// the page with the box is written to DIR/dialogbox.png.
//
// Exits 77 (skipped) only when Chromium or tools/browser/node_modules is
// missing; scripts/install-deps.sh installs both.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const USAGE = 'dialogbox.test.mjs --demo DEMO --tools TOOLS_DIR --screenshots DIR';
const toolsDir = process.argv[process.argv.indexOf('--tools') + 1];
const { STEP_MS, closeChromium, launchChromium, loadPuppeteer, option, pageAddress, request,
        runTest, waitFor } = await import(path.join(toolsDir ?? '.', 'harness.mjs'));
const demoPath = option('--demo', USAGE);
option('--tools', USAGE);
const screenshotDir = option('--screenshots', USAGE);
const puppeteer = loadPuppeteer();

const HOSTILE_TEXT = 'A newer Tarvex is out. <script>window.__pwned=1</script>' +
  '<img src=x onerror="window.__pwned=1"> "Quotes", \'apostrophes\' & ampersands.';
const HOSTILE_TITLE = '<img src=x onerror="window.__pwned=1"> Title & "<b>bold</b>"';
const WM_LBUTTONDOWN = 0x0201;

const scratch = mkdtempSync(path.join(os.tmpdir(), 'tarvex-browser-'));
let demo = null;
let browser = null;

async function cleanUp() {
  if (demo && demo.exitCode === null && demo.signalCode === null) demo.kill('SIGKILL');
  await closeChromium(browser);
  browser = null;
  rmSync(scratch, { recursive: true, force: true });
}

function checkSafetyHeaders(answer, what) {
  const csp = answer.headers['content-security-policy'] || '';
  assert.match(csp, /default-src 'none'/, `${what}: Content-Security-Policy`);
  assert.match(csp, /script-src 'self'/, `${what}: Content-Security-Policy`);
  assert.equal(answer.headers['x-content-type-options'], 'nosniff', `${what}: nosniff`);
  assert.equal(answer.headers['referrer-policy'], 'no-referrer', `${what}: Referrer-Policy`);
  assert.equal(answer.headers['cache-control'], 'no-store', `${what}: Cache-Control`);
  const cors = Object.keys(answer.headers).filter((h) => h.startsWith('access-control-'));
  assert.deepEqual(cors, [], `${what}: no CORS headers`);
}

async function main() {
  const dirs = {};
  for (const name of ['registry', 'runtime', 'temp', 'favorites', 'profile']) {
    dirs[name] = path.join(scratch, name);
    mkdirSync(dirs[name], { recursive: true, mode: 0o700 });
  }
  demo = spawn(demoPath, ['--title', HOSTILE_TITLE, '--tray', HOSTILE_TEXT], {
    env: { ...process.env, TARVEX_PRESENTER: 'web', TARVEX_WEB_OPEN: '0',
           TARVEX_REGISTRY_DIR: dirs.registry, TARVEX_RUNTIME_DIR: dirs.runtime,
           TARVEX_TEMP_DIR: dirs.temp, TARVEX_FAVORITES_DIR: dirs.favorites },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  demo.stdout.setEncoding('utf8');
  demo.stderr.setEncoding('utf8');
  let output = '';
  let errors = '';
  demo.stdout.on('data', (c) => { output += c; });
  demo.stderr.on('data', (c) => { errors += c; });
  const exited = new Promise((resolve) => demo.on('exit', (code, signal) => resolve({ code, signal })));

  const url = await pageAddress(demo.stderr);
  const base = `/${url.secret}/`;
  const origin = `http://127.0.0.1:${url.port}`;

  // ---- The live server's door ----
  const state = JSON.parse((await request(url.port, { path: base + 'state' })).body);
  const box = state.dialogs.find((d) => d.template === 300);
  assert.ok(box, 'the message box is among the open dialogs');
  const wrongSecret = url.secret.replace(/./g, (c) => (c === '0' ? '1' : '0'));
  const refused = [
    ['no secret', { path: '/' }, 404],
    ['no secret, the script', { path: '/page.js' }, 404],
    ['no secret, the style', { path: '/page.css' }, 404],
    ['a wrong secret', { path: `/${wrongSecret}/` }, 404],
    ['a foreign Host', { path: base, headers: { Host: `tarvex.example:${url.port}` } }, 403],
    ['Host localhost', { path: base, headers: { Host: `localhost:${url.port}` } }, 403],
    ['a POST from a foreign Origin', {
      method: 'POST', path: base + 'act',
      headers: { Origin: 'http://tarvex.example', 'Content-Type': 'application/x-www-form-urlencoded' },
      body: `kind=click&window=${box.window}&control=301`,
    }, 403],
    ['a POST without an Origin', {
      method: 'POST', path: base + 'act',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
      body: `kind=click&window=${box.window}&control=301`,
    }, 403],
  ];
  for (const [what, req, status] of refused) {
    const answer = await request(url.port, req);
    assert.equal(answer.status, status, `${what} is refused`);
    checkSafetyHeaders(answer, what);
  }
  const page = await request(url.port, { path: base });
  assert.equal(page.status, 200);
  checkSafetyHeaders(page, 'the page');
  const after = JSON.parse((await request(url.port, { path: base + 'state' })).body);
  assert.ok(after.dialogs.some((d) => d.window === box.window), 'the refused click changed nothing');

  // ---- The page in Chromium ----
  browser = await launchChromium(puppeteer, dirs.profile);
  const tab = await browser.newPage();
  tab.setDefaultTimeout(STEP_MS);
  const problems = [];
  tab.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  tab.on('console', (m) => {
    // The page's wait for the state may fail once the demo has ended, as
    // the failed request below is.
    if (m.type() === 'error' && /\/state\b/.test(m.location()?.url ?? '')) return;
    if (m.type() === 'error' || /Content Security Policy/i.test(m.text())) problems.push(`console: ${m.text()}`);
  });
  tab.on('requestfailed', (r) => {
    // The long poll ends with the demo; anything else failing is a fault.
    if (!r.url().includes('/state')) problems.push(`request failed: ${r.url()}`);
  });
  await tab.goto(url.href, { waitUntil: 'load' });
  const dialog = `.dialog[data-template="300"]`;
  await tab.waitForSelector(`${dialog} .buttons button`);
  await tab.waitForSelector('.dialog[data-template="901"]');
  await tab.waitForSelector('.tray-icon');

  const seen = await tab.evaluate((selector) => {
    const d = document.querySelector(selector);
    const behind = document.querySelector('.dialog[data-template="901"]');
    return {
      title: d.querySelector('.title').textContent,
      text: d.querySelector('.static').textContent,
      buttons: Array.from(d.querySelectorAll('.buttons button')).map((b) => b.textContent),
      defaults: Array.from(d.querySelectorAll('.buttons button.default')).map((b) => b.textContent),
      check: d.querySelector('.choice label').textContent,
      checked: d.querySelector('.choice input').checked,
      modal: d.closest('#modal-layer') !== null,
      closeBox: d.querySelector('.titlebar .close') !== null,
      behindCloseBox: behind.querySelector('.titlebar .close') !== null,
      behindTitle: behind.querySelector('.title').textContent,
      behindEntries: Array.from(behind.querySelectorAll('option')).map((o) => o.textContent),
      behindTexts: Array.from(behind.querySelectorAll('.static')).map((p) => p.textContent),
      tip: document.querySelector('.tray-icon .tip').textContent,
      balloon: document.querySelector('.balloon-title')?.textContent,
      foreignElements: document.querySelectorAll('#desktop img, #desktop script, #desktop b').length,
      pwned: typeof window.__pwned,
    };
  }, dialog);
  assert.equal(seen.title, 'Tarvex');
  assert.equal(seen.text, HOSTILE_TEXT, 'the text is shown as text, markup characters and all');
  assert.deepEqual(seen.buttons, ['Ignore', 'Learn more', 'Download'], 'the buttons in template order');
  assert.deepEqual(seen.defaults, ['Download'], 'the default button is marked');
  assert.equal(seen.check, 'Automatically check for updates');
  assert.equal(seen.checked, true);
  assert.equal(seen.modal, true, 'the message box is on top');
  assert.equal(seen.closeBox, false, 'only its buttons end the message box: no close box');
  assert.equal(seen.behindCloseBox, true, 'another dialog has its close box');
  assert.equal(seen.behindTitle, HOSTILE_TITLE, 'the title is shown as text');
  assert.equal(seen.behindEntries[0], HOSTILE_TITLE, 'a list entry is shown as text');
  assert.deepEqual(seen.behindTexts, [
    "This window's title and the first entry below came from the command line.",
    'Its two texts share one id.',
  ], 'each text of a shared id shown as its own');
  assert.equal(seen.tip, 'Tarvex: bookmarks in step');
  assert.equal(seen.balloon, 'A newer Tarvex is out');
  assert.equal(seen.foreignElements, 0, 'no element was made from the texts');
  assert.equal(seen.pwned, 'undefined', 'nothing of the texts ran');

  mkdirSync(screenshotDir, { recursive: true });
  const screenshot = path.join(screenshotDir, 'dialogbox.png');
  await tab.screenshot({ path: screenshot });
  console.log(`screenshot: ${screenshot}`);

  // ---- Answering ----
  const trayClicked = waitFor(demo.stdout, (s) => s.includes(`tray=${WM_LBUTTONDOWN}`), 'tray click');
  await tab.click('.tray-actions button');
  await trayClicked;

  await tab.click(`${dialog} .choice input`);
  const [learnMore] = await tab.$$(`xpath/.//section[@data-template="300"]//button[text()="Learn more"]`);
  assert.ok(learnMore, 'the "Learn more" button');
  await learnMore.click();
  const end = await Promise.race([
    exited,
    new Promise((_, reject) => setTimeout(() => reject(new Error('the demo did not end')), STEP_MS)),
  ]);
  assert.deepEqual(end, { code: 0, signal: null }, `the demo ends well; its errors: ${errors}`);
  assert.match(output, /^result=12 checked=0$/m);

  await tab.waitForFunction(() => document.getElementById('status').className === 'ended' ||
                                  document.getElementById('status').className === 'error');
  assert.equal(await tab.evaluate(() => typeof window.__pwned), 'undefined');
  assert.deepEqual(problems, [], 'no script error, no refused inline script or handler');
}

await runTest(main, cleanUp);
