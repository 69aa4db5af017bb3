// The client's dialogs as a person meets them: dialogs_demo shows them one
// after another through the scheduler's own entry points, on the client's
// real services and the loopback sync service, and headless Chromium (the
// system's, driven by puppeteer-core) answers them on the web presenter's
// page:
//  - the settings: a new computer name, "Sync on Shutdown" on, Advanced
//    with another encryption and no checks for updates, back, Close;
//  - the sync profiles: Change, another profile and the password, OK; the
//    switch syncs, says so in the message box and brings the profile's
//    Favorites;
//  - a conflict between two versions of a Favorite: the server's is kept;
//  - the setup wizard: its own page in the dialog's frame, another account
//    signed in there, and the ready-to-sync dialog after it, which offers that
//    account's profiles with none of the other account's in force.
// After each the settings the demo reads back from the registry are
// checked, and a screenshot of the dialog with the person's input in it is
// written to DIR/dialogs-{settings,profiles,conflict,wizard}.png.
//
//   node dialogs.test.mjs --demo DIALOGS_DEMO --tools TOOLS_DIR --screenshots DIR
//
// Exits 77 (skipped) only when Chromium or tools/browser/node_modules is
// missing; scripts/install-deps.sh installs both.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const USAGE = 'dialogs.test.mjs --demo DIALOGS_DEMO --tools TOOLS_DIR --screenshots DIR';
const toolsDir = process.argv[process.argv.indexOf('--tools') + 1];
const { STEP_MS, closeChromium, eventually, killChild, launchChromium, loadPuppeteer, option,
        pageAddress, runTest } = await import(path.join(toolsDir ?? '.', 'harness.mjs'));
const demoPath = option('--demo', USAGE);
option('--tools', USAGE);
const screenshotDir = option('--screenshots', USAGE);
const puppeteer = loadPuppeteer();

// A computer name with markup characters and letters beyond ASCII.
const COMPUTER_NAME = 'Küche <Laptop> & "Co"';
const SETTINGS = 111;
const ADVANCED = 105;
const PROFILES = 271;
const CHANGE_PROFILE = 112;
const MESSAGE_BOX = 300;
const CONFLICT = 104;
const WIZARD = 107;
const READY_WITH_PROFILES = 272;
const ACTION_NONE = 1525;
const SYNC_IDLE = 108;

const scratch = mkdtempSync(path.join(os.tmpdir(), 'tarvex-dialogs-'));
const demoDir = path.join(scratch, 'demo');
let demo = null;
let browser = null;

async function cleanUp() {
  killChild(demo);
  await closeChromium(browser);
  browser = null;
  if (process.env.DIALOGS_KEEP) console.log(`kept: ${scratch}`);
  else rmSync(scratch, { recursive: true, force: true });
}

async function main() {
  mkdirSync(demoDir, { mode: 0o700 });
  demo = spawn(demoPath, ['--dir', demoDir], {
    env: { ...process.env, TARVEX_PRESENTER: 'web', TARVEX_WEB_OPEN: '0',
           XDG_CONFIG_HOME: path.join(scratch, 'config'), XDG_CACHE_HOME: path.join(scratch, 'cache'),
           XDG_DATA_HOME: path.join(scratch, 'data') },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  demo.stdout.setEncoding('utf8');
  demo.stderr.setEncoding('utf8');
  let errors = '';
  demo.stderr.on('data', (c) => { errors += c; });
  // The demo's lines: a step's report, or a page it opened.
  const lines = [];
  let partial = '';
  demo.stdout.on('data', (c) => {
    partial += c;
    const whole = partial.split('\n');
    partial = whole.pop();
    for (const line of whole) if (line.trim()) lines.push(JSON.parse(line));
  });
  const exited = new Promise((resolve) => demo.on('exit', (code, signal) => resolve({ code, signal })));
  async function report(step, ms = STEP_MS) {
    await eventually(() => lines.some((l) => l.step === step), `the demo's report of ${step}`, ms);
    return lines.find((l) => l.step === step);
  }

  const url = await pageAddress(demo.stderr);
  const start = await report('start', 30_000);
  assert.equal(start.account, 'alice');
  assert.ok(Number(start.settings.lastsync) > 0, 'the computer synchronized before the dialogs');

  browser = await launchChromium(puppeteer, path.join(scratch, 'profile'));
  const tab = await browser.newPage();
  tab.setDefaultTimeout(STEP_MS);
  const problems = [];
  tab.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  tab.on('console', (m) => {
    // The page's wait for the state may fail once the demo has ended.
    if (m.type() === 'error' && /\/state\b/.test(m.location()?.url ?? '')) return;
    if (m.type() === 'error' || /Content Security Policy/i.test(m.text())) problems.push(`console: ${m.text()}`);
  });
  await tab.goto(url.href, { waitUntil: 'load' });
  mkdirSync(screenshotDir, { recursive: true });

  // ---- What a person does on the page ----
  const dialogOf = (template) => `section.dialog[data-template="${template}"]`;
  // The dialog of `template` once it shows (a new window of it when `not`
  // names the one before) and takes input: the modal one on top.
  async function shown(template, not = null) {
    const selector = `${dialogOf(template)}:not([inert])` + (not ? `:not([data-window="${not}"])` : '');
    const box = await tab.waitForSelector(selector);
    return box.evaluate((d) => d.dataset.window);
  }
  async function one(xpath, what) {
    const [found] = await tab.$$(`xpath/${xpath}`);
    assert.ok(found, what);
    return found;
  }
  const inDialog = (template) => `.//section[@data-template="${template}" and not(@inert)]`;
  const button = (template, text) =>
    one(`${inDialog(template)}//button[text()="${text}"]`, `the button "${text}" of dialog ${template}`);
  const choice = (template, text) =>
    one(`${inDialog(template)}//div[@class="choice"][label[text()="${text}"]]/input`,
        `the check box "${text}" of dialog ${template}`);
  const field = (template, label) =>
    one(`${inDialog(template)}//*[(self::input or self::select) and @aria-label="${label}"]`,
        `the field "${label}" of dialog ${template}`);
  async function typeInto(handle, text) {
    await handle.click({ clickCount: 3 });
    await handle.evaluate((e) => e.select());
    await handle.type(text);
  }
  async function choose(handle, text) {
    const value = await handle.evaluate((s, t) => {
      const o = Array.from(s.options).find((x) => x.textContent === t);
      return o ? o.value : null;
    }, text);
    assert.notEqual(value, null, `"${text}" is offered`);
    await handle.select(value);
  }
  // Whether what a person sees in the middle of the dialog's title bar is
  // that dialog (the browser's own hit test, in the order things are
  // painted, dialogs that take no input included).
  const cdp = await tab.createCDPSession();
  async function onTop(template) {
    const { x, y, width, height } = await (await tab.$(`${dialogOf(template)} .titlebar`)).boundingBox();
    const { backendNodeId } = await cdp.send('DOM.getNodeForLocation', {
      x: Math.round(x + width / 2), y: Math.round(y + height / 2), ignorePointerEventsNone: true });
    const { object } = await cdp.send('DOM.resolveNode', { backendNodeId });
    const { result } = await cdp.send('Runtime.callFunctionOn', {
      objectId: object.objectId, returnByValue: true,
      functionDeclaration: 'function() { const d = this.closest && this.closest(".dialog"); return d ? Number(d.dataset.template) : null; }' });
    return result.value === template;
  }
  async function screenshot(name) {
    const file = path.join(screenshotDir, name);
    await tab.screenshot({ path: file });
    console.log(`screenshot: ${file}`);
  }
  const texts = (template) => tab.$$eval(`${dialogOf(template)} .static`, (ps) => ps.map((p) => p.textContent));

  // ---- The settings, Advanced and back ----
  const first = await shown(SETTINGS);
  const name = await field(SETTINGS, 'Computer name:');
  await typeInto(name, COMPUTER_NAME);
  const shutdown = await choice(SETTINGS, 'Sync on Shutdown');
  assert.equal(await shutdown.evaluate((e) => e.checked), false);
  await shutdown.click();
  // The dialog answers: "Ask First" can be chosen once the sync on shutdown is on.
  const askFirst = await choice(SETTINGS, 'Ask First');
  await tab.waitForFunction((e) => !e.disabled, {}, askFirst);
  await (await button(SETTINGS, 'Advanced...')).click();

  await shown(ADVANCED);
  await choose(await field(ADVANCED, 'Encryption:'), 'No Encryption');
  const updates = await choice(ADVANCED, 'Automatically check for updates');
  assert.equal(await updates.evaluate((e) => e.checked), true);
  await updates.click();
  await tab.waitForFunction((e) => !e.checked, {}, updates);
  await (await button(ADVANCED, 'Close')).click();

  // Close or Back brings the settings back, showing what was stored.
  await shown(SETTINGS, first);
  assert.equal(await (await field(SETTINGS, 'Computer name:')).evaluate((e) => e.value), COMPUTER_NAME);
  assert.equal(await (await choice(SETTINGS, 'Sync on Shutdown')).evaluate((e) => e.checked), true);
  assert.ok((await texts(SETTINGS)).includes('Sychronizing as alice'), 'the account is named');
  await screenshot('dialogs-settings.png');
  await (await button(SETTINGS, 'Close')).click();

  const settings = await report('settings');
  assert.equal(settings.result, ACTION_NONE);
  assert.equal(settings.settings.computername, COMPUTER_NAME, 'the name as typed');
  assert.equal(settings.settings.syncshutdown, 'true');
  assert.equal(settings.settings.encryption, 'No Encryption');
  assert.equal(settings.settings.skipversioncheck, 'true');

  // ---- The sync profiles and the change of profile ----
  await shown(PROFILES);
  assert.ok((await texts(PROFILES)).includes('<none>'), 'no profile yet');
  await (await button(PROFILES, 'Change')).click();
  await shown(CHANGE_PROFILE);
  const list = await tab.$(`${dialogOf(CHANGE_PROFILE)} select`);
  assert.deepEqual(await list.evaluate((s) => Array.from(s.options).map((o) => o.textContent)),
                   ['<none>', 'Home', 'Work'], 'the profiles, "<none>" first');
  assert.equal(await list.evaluate((s) => s.selectedIndex), 0, 'the current one selected');
  await choose(list, 'Work');
  await typeInto(await field(CHANGE_PROFILE, 'Password:'), 'alice-pw');
  assert.equal(await onTop(CHANGE_PROFILE), true, 'the change of profile shows above the profiles');
  await screenshot('dialogs-profiles.png');
  await (await button(CHANGE_PROFILE, 'OK')).click();
  // The old profile is synchronized, then the message box says so.
  await shown(MESSAGE_BOX);
  assert.match((await texts(MESSAGE_BOX)).join(' '), /^Your profile has been changed!/);
  await (await button(MESSAGE_BOX, 'OK')).click();

  const profiles = await report('profiles', 30_000);
  assert.equal(profiles.result, ACTION_NONE);
  assert.equal(profiles.settings.profile, 'Work');
  assert.equal(profiles.settings.view, '1');
  assert.equal(profiles.settings.profileORIG, undefined, 'nothing of the old profile is kept');
  const favorites = readdirSync(path.join(demoDir, 'Favorites')).filter((f) => f.endsWith('.url')).sort();
  assert.deepEqual(favorites, ['Intranet.url'], "the profile's Favorites took the place of the others");

  // ---- A conflict ----
  await shown(CONFLICT);
  // The syncs before left balloons; at most one shows, as the tray shows
  // them, so none of them covers the question's buttons.
  assert.ok(await tab.$$eval('.balloon', (b) => b.length) <= 1, 'at most one balloon shows');
  const versions = await tab.$$eval(`${dialogOf(CONFLICT)} textarea`, (ts) => ts.map((t) => t.value));
  assert.deepEqual(versions.map((v) => v.split(/\r?\n/)[0]), ['Name: News <today>', 'Name: News'],
                   'both versions, as text');
  assert.match(versions[0], /Description: Morning read & more/);
  await screenshot('dialogs-conflict.png');
  await (await button(CONFLICT, 'Retain Server Version')).click();
  assert.equal((await report('conflict')).answer, 'local', "the local change is the one dropped");

  // ---- The setup wizard, and ready to sync ----
  await shown(WIZARD);
  const frameElement = await tab.waitForSelector(`${dialogOf(WIZARD)} iframe.browser`);
  const frame = await frameElement.contentFrame();
  await frame.waitForSelector('#_username');
  await frame.waitForFunction(() => document.readyState === 'complete');
  assert.equal(await frame.$eval('#_username', (e) => e.value), 'alice', 'the account signed in is named');
  await typeInto(await frame.$('#_username'), 'bob');
  await typeInto(await frame.$('#_password'), 'bob-pw');
  await screenshot('dialogs-wizard.png');
  await (await frame.$('#signin')).click();

  await shown(READY_WITH_PROFILES);
  const plan = await texts(READY_WITH_PROFILES);
  assert.ok(plan.includes('Tarvex will now upload Favorites to the server.'),
            `bob's account holds nothing yet: an upload; shown: ${JSON.stringify(plan)}`);
  // A first sync of this account: none of alice's profiles is in force.
  const offered = await tab.$(`${dialogOf(READY_WITH_PROFILES)} select`);
  assert.deepEqual(await offered.evaluate((s) => Array.from(s.options).map((o) => o.textContent)),
                   ['<none>', 'Travel'], "bob's profiles");
  assert.equal(await offered.evaluate((s) => s.selectedIndex), 0, '"<none>" is in force');
  await (await button(READY_WITH_PROFILES, 'Synchronize')).click();

  const wizard = await report('wizard', 30_000);
  assert.equal(wizard.account, 'bob');
  assert.equal(wizard.status, SYNC_IDLE, 'the upload went well');
  assert.equal(wizard.settings.profile, '<none>');
  assert.equal(wizard.settings.view, '0');
  assert.ok(lines.some((l) => typeof l.opened === 'string' && l.opened.includes('/msie/success/')),
            'the page of a first sync that worked is opened');
  // "Remember my password" was left on: the store keeps bob and his password.
  const stored = readFileSync(path.join(demoDir, 'registry', 'credentials.json'), 'utf8')
    .split('\n').slice(1).filter((l) => l).map((l) => l.split('\t').slice(1));
  assert.deepEqual(stored, [['bob', Buffer.from('bob-pw').toString('base64')]],
                   'the account the wizard signed in, remembered');

  const end = await Promise.race([exited, new Promise((_, reject) =>
    setTimeout(() => reject(new Error('the demo did not end')), STEP_MS))]);
  assert.deepEqual(end, { code: 0, signal: null }, `the demo ends well; its errors: ${errors}`);
  await tab.waitForFunction(() => ['ended', 'error'].includes(document.getElementById('status').className));
  assert.deepEqual(problems, [], 'no script error on the page');
}

await runTest(main, cleanUp, 80_000);
