// The preference pane as a person meets it: tarvex-pref shows its view
// through the web presenter, headless Chromium (the system's, driven by
// puppeteer-core) opens the page, and a setting changed there is saved to
// prefs.plist and told to the agent on the notification bus.
//
//   node pane.test.mjs --pane TARVEX_PREF --tools TOOLS_DIR --screenshots DIR
//
// A small observer on the bus (python3) stands for the agent. A screenshot
// of the pane is written to DIR/prefpane.png.
//
// Exits 77 (skipped) only when Chromium or tools/browser/node_modules is
// missing; scripts/install-deps.sh installs both.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const USAGE = 'pane.test.mjs --pane TARVEX_PREF --tools TOOLS_DIR --screenshots DIR';
const toolsDir = process.argv[process.argv.indexOf('--tools') + 1];
const { STEP_MS, closeChromium, eventually, killChild, launchChromium, loadPuppeteer, option, pageAddress,
        runTest } = await import(path.join(toolsDir ?? '.', 'harness.mjs'));
const panePath = option('--pane', USAGE);
option('--tools', USAGE);
const screenshotDir = option('--screenshots', USAGE);
const puppeteer = loadPuppeteer();

// Prints "ready" once bound, then every notification it gets as a line.
const OBSERVER = `
import os, socket, sys
folder = os.path.join(sys.argv[1], "notify")
os.makedirs(folder, mode=0o700, exist_ok=True)
bus = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
bus.bind(os.path.join(folder, "%d-observer.sock" % os.getpid()))
print("ready", flush=True)
while True:
    print(bus.recv(65536).decode(), flush=True)
`;

const scratch = mkdtempSync(path.join(os.tmpdir(), 'tarvex-pane-'));
let pane = null;
let observer = null;
let browser = null;

async function cleanUp() {
  killChild(pane);
  killChild(observer);
  await closeChromium(browser);
  browser = null;
  rmSync(scratch, { recursive: true, force: true });
}

async function main() {
  const home = path.join(scratch, 'home');
  const runtime = path.join(scratch, 'run');
  const profile = path.join(scratch, 'profile');
  for (const dir of [home, runtime, profile]) mkdirSync(dir, { recursive: true, mode: 0o700 });

  observer = spawn('python3', ['-c', OBSERVER, runtime], { stdio: ['ignore', 'pipe', 'inherit'] });
  observer.stdout.setEncoding('utf8');
  let heard = '';
  observer.stdout.on('data', (c) => { heard += c; });
  await eventually(() => heard.startsWith('ready'), 'the observer on the bus');

  pane = spawn(panePath, [], {
    env: { ...process.env, HOME: home, TARVEX_RUNTIME_DIR: runtime, TARVEX_PRESENTER: 'web',
           TARVEX_WEB_OPEN: '0', TARVEX_AGENT_PROGRAM: path.join(scratch, 'no-agent') },
    stdio: ['ignore', 'inherit', 'pipe'],
  });
  pane.stderr.setEncoding('utf8');
  const url = await pageAddress(pane.stderr);

  browser = await launchChromium(puppeteer, profile);
  const tab = await browser.newPage();
  tab.setDefaultTimeout(STEP_MS);
  const problems = [];
  tab.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  await tab.goto(url.href, { waitUntil: 'load' });
  const view = 'section[@data-template="870"]';
  const label = (text) => `xpath/.//${view}//label[text()="${text}"]`;
  await tab.waitForSelector(label('Synchronize automatically'));
  await tab.waitForSelector(`xpath/.//${view}//*[text()="Tarvex is not running"]`);

  const seen = await tab.evaluate(() => {
    const d = document.querySelector('.dialog[data-template="870"]');
    const box = (text) => Array.from(d.querySelectorAll('.choice'))
      .find((c) => c.querySelector('label').textContent === text);
    return {
      autoSync: box('Synchronize automatically').querySelector('input').checked,
      discovery: Array.from(d.querySelectorAll('.choice label')).some((l) => l.textContent === 'Smarter search'),
    };
  });
  assert.equal(seen.autoSync, true, 'automatic sync is on by default');
  assert.equal(seen.discovery, false, 'the Discovery tab is taken away');

  const [autoSync] = await tab.$$(label('Synchronize automatically'));
  await autoSync.click();

  const prefs = path.join(home, 'Library/Tarvex/prefs.plist');
  await eventually(() => existsSync(prefs) &&
    /<key>autoSync<\/key>\s*<string>false<\/string>/.test(readFileSync(prefs, 'utf8')), 'autoSync saved off');
  await eventually(() => heard.split('\n').some((line) => line.includes('"TarvexSafari"') &&
    line.includes('"updatePrefs"') && line.includes(`"${os.userInfo().username}"`)), 'the agent told');
  assert.match(readFileSync(prefs, 'utf8'), /<key>tabComputerName<\/key>\s*<string>.* - Safari<\/string>/);

  mkdirSync(screenshotDir, { recursive: true });
  const screenshot = path.join(screenshotDir, 'prefpane.png');
  await tab.screenshot({ path: screenshot, fullPage: true });
  console.log(`screenshot: ${screenshot}`);
  assert.deepEqual(problems, []);
}

runTest(main, cleanUp, 90_000);
