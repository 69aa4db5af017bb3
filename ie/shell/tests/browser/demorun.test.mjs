// `make run` as a person meets it: tarvex-run starts the local service and
// the client on a folder of its own; the client's page, opened in headless
// Chromium, shows the tray icon and the setup wizard's page, where the
// person signs in; Ready to Sync's "Synchronize" sends the demo bookmarks
// to the service and the balloon says so; a bookmark edited
// in the Favorites folder shows as changes waiting and reaches the service
// with the next sync; Ctrl-C (SIGINT) ends everything.
//
//   node demorun.test.mjs --run TARVEX_RUN --tools TOOLS_DIR --screenshots DIR
//
// A screenshot of the page after the first sync is written to
// DIR/demorun-first-sync.png.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync,
         writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const USAGE = 'demorun.test.mjs --run TARVEX_RUN --tools TOOLS_DIR --screenshots DIR';
const toolsDir = process.argv[process.argv.indexOf('--tools') + 1];
const { STEP_MS, closeChromium, eventually, launchChromium, loadPuppeteer, option, pageAddress,
        runTest } = await import(path.join(toolsDir ?? '.', 'harness.mjs'));
const runPath = option('--run', USAGE);
option('--tools', USAGE);
const screenshotDir = option('--screenshots', USAGE);
const puppeteer = loadPuppeteer();

const scratch = mkdtempSync(path.join(os.tmpdir(), 'tarvex-demorun-'));
const runDir = path.join(scratch, 'run');
// The pages the client opens in the browser, as lines.
const opened = path.join(scratch, 'opened');
let run = null;
let browser = null;

// Programs still running on the test's folders.
function leftOver() {
  const found = [];
  for (const pid of readdirSync('/proc').filter((p) => /^\d+$/.test(p))) {
    try {
      if (readFileSync(`/proc/${pid}/environ`, 'latin1').includes(runDir)) found.push(pid);
    } catch (e) { /* gone, or not ours to read */ }
  }
  return found;
}

async function cleanUp() {
  await closeChromium(browser);
  browser = null;
  if (run && run.exitCode === null && run.signalCode === null) {
    run.kill('SIGINT');
    await new Promise((r) => setTimeout(r, 3000));
  }
  for (const pid of leftOver()) process.kill(Number(pid), 'SIGKILL');
  if (!process.env.DEMORUN_KEEP) rmSync(scratch, { recursive: true, force: true });
}

const service = () => readFileSync(path.join(runDir, 'service/state.json'), 'utf8');
// How often the client's Favorites watcher started watching.
function attached() {
  const file = path.join(runDir, 'client-1/user/tarvex.log');
  if (!existsSync(file)) return 0;
  return readFileSync(file, 'utf8').split('Attaching observers').length - 1;
}

async function main() {
  run = spawn(runPath, ['--dir', runDir], {
    env: { ...process.env, TARVEX_PRESENTER: 'web', TARVEX_WEB_OPEN: '0',
           XDG_CONFIG_HOME: path.join(scratch, 'config'), XDG_CACHE_HOME: path.join(scratch, 'cache'),
           TARVEX_OPENED_LOG: opened },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  run.stdout.setEncoding('utf8');
  run.stderr.setEncoding('utf8');
  let errors = '';
  run.stderr.on('data', (c) => { errors += c; });
  const exited = new Promise((resolve) => run.on('exit', (code, signal) => resolve({ code, signal })));
  const url = await pageAddress(run.stderr);
  if (process.env.DEMORUN_KEEP) console.log(`run folder: ${runDir}`);
  assert.match(errors, /the sync service runs at http:\/\/127\.0\.0\.1:\d+ \(account "demo"\)/);

  browser = await launchChromium(puppeteer, path.join(scratch, 'profile'));
  const tab = await browser.newPage();
  tab.setDefaultTimeout(STEP_MS);
  const problems = [];
  tab.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  await tab.goto(url.href, { waitUntil: 'load' });
  await tab.waitForSelector('.tray-icon');
  const tip = () => tab.$eval('.tray-icon .tip', (e) => e.textContent);
  assert.equal(await tip(), 'Tarvex for IE');

  // The tray's menu, as a right click opens it, and a choice from it.
  async function choose(item) {
    const [right] = await tab.$$('xpath/.//div[@class="tray-actions"]/button[text()="Right-click"]');
    assert.ok(right, 'the tray icon can be right-clicked');
    await right.click();
    await tab.waitForSelector('.menu button[role="menuitem"]');
    const items = await tab.$$eval('.menu button[role="menuitem"]', (b) => b.map((e) => e.textContent));
    assert.deepEqual(items, ['Synchronize Now', 'My Tarvex', 'Tarvex Settings...',
                             'Open Remote Tabs...', 'Exit']);
    const [button] = await tab.$$(`xpath/.//div[@class="menu"]/button[text()="${item}"]`);
    await button.click();
    await tab.waitForSelector('.menu', { hidden: true });
  }

  // The first start: the setup wizard's page in the dialog's frame, where
  // the person signs in as the demo account; then Ready to Sync.
  const wizard = '.dialog[data-template="107"]';
  const frameElement = await tab.waitForSelector(`${wizard} iframe.browser`);
  const frame = await frameElement.contentFrame();
  await frame.waitForSelector('#_username');
  await frame.waitForFunction(() => document.readyState === 'complete');
  await frame.type('#_username', 'demo');
  await frame.type('#_password', 'demo');
  await (await frame.$('#signin')).click();
  const ready = '.dialog[data-template="109"]:not([inert])';
  await tab.waitForSelector(ready);
  const plan = await tab.$$eval(`${ready} .static`, (e) => e.map((x) => x.textContent));
  assert.ok(plan.includes('Tarvex will now upload Favorites to the server.'),
            `a new account: an upload; shown: ${JSON.stringify(plan)}`);
  const [synchronize] = await tab.$$(
    'xpath/.//section[@data-template="109"]//button[text()="Synchronize"]');
  assert.ok(synchronize, 'Ready to Sync has a Synchronize button');
  await synchronize.click();

  // The first sync: the demo bookmarks go to the service, and the page of
  // a first sync that worked is opened.
  await tab.waitForFunction(() => Array.from(document.querySelectorAll('.balloon-title'))
    .some((e) => e.textContent === 'Synchronization Complete'), { timeout: 30_000 });
  assert.match(service(), /https:\/\/www\.debian\.org\//);
  mkdirSync(screenshotDir, { recursive: true });
  const screenshot = path.join(screenshotDir, 'demorun-first-sync.png');
  await tab.screenshot({ path: screenshot });
  console.log(`screenshot: ${screenshot}`);
  await eventually(() => existsSync(opened) && readFileSync(opened, 'utf8').includes('/msie/success/'),
                   'the welcome page opened');
  const watching = 0;

  // A person edits a bookmark's address. The watcher takes a change made
  // while a sync runs for the sync's own, and watches afresh once the sync
  // is over (it logs just before it does): a person is slower than that,
  // the test waits for it and a moment more.
  await eventually(() => attached() > watching, 'the watcher watches once the first sync is over',
                   30_000);
  await new Promise((r) => setTimeout(r, 500));
  const file = path.join(runDir, 'client-1/Favorites/Debian.url');
  writeFileSync(file, readFileSync(file, 'utf8').replace('URL=https://www.debian.org/',
                                                         'URL=https://www.debian.org/News/'));
  await eventually(async () => (await tip()) === 'Tarvex has changes to synchronize',
                   'the tray shows the changes waiting', 30_000);
  await choose('Synchronize Now');
  await eventually(() => service().includes('https://www.debian.org/News/'),
                   'the edit reaches the service', 30_000);
  assert.deepEqual(problems, []);

  // Ctrl-C ends the client and the service.
  run.kill('SIGINT');
  const end = await Promise.race([exited, new Promise((_, reject) =>
    setTimeout(() => reject(new Error('tarvex-run did not end')), 40_000))]);
  assert.deepEqual(end, { code: 0, signal: null }, `tarvex-run ends well; it said: ${errors}`);
  assert.deepEqual(leftOver(), [], 'nothing is left running');
  assert.equal(existsSync(path.join(runDir, 'service/address')), false);
}

await runTest(main, cleanUp, 150_000);
