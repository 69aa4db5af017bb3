// What the project's browser tests share: the system's Chromium driven by
// puppeteer-core (never a downloaded browser), skipping only when either is
// missing, a whole-test time limit that cleans up, waiting for a program's
// output, and plain HTTP requests to a live page.
import { existsSync } from 'node:fs';
import http from 'node:http';
import { createRequire } from 'node:module';
import path from 'node:path';

export const SKIPPED = 77;
export const CHROMIUM = '/usr/bin/chromium';
export const STEP_MS = 15_000;

const here = path.dirname(new URL(import.meta.url).pathname);

export function skip(why) {
  console.log(`SKIPPED: ${why}`);
  process.exit(SKIPPED);
}

// The value after `name` on the command line; exits with the usage when it
// is missing.
export function option(name, usage) {
  const at = process.argv.indexOf(name);
  if (at < 0 || at + 1 >= process.argv.length) {
    console.error(`usage: ${usage} (${name} missing)`);
    process.exit(2);
  }
  return process.argv[at + 1];
}

// puppeteer-core from this folder's node_modules; skips the test when it or
// Chromium is missing (scripts/install-deps.sh installs both).
export function loadPuppeteer() {
  if (!existsSync(CHROMIUM)) skip(`no ${CHROMIUM}; scripts/install-deps.sh installs the chromium package`);
  try {
    const loaded = createRequire(path.join(here, 'package.json'))('puppeteer-core');
    return loaded.default ?? loaded;
  } catch (e) {
    skip(`no puppeteer-core in ${here}/node_modules; scripts/install-deps.sh runs npm ci there`);
  }
  return null;
}

// Headless Chromium on an empty profile, without the background traffic
// that this machine's closed network refuses.
export function launchChromium(puppeteer, profileDir) {
  return puppeteer.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync',
           `--user-data-dir=${profileDir}`],
    defaultViewport: { width: 1100, height: 720 },
    timeout: STEP_MS,
  });
}

// Kills a child process that has not ended yet (null: nothing to do).
export function killChild(child) {
  if (child && child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
}

export async function closeChromium(browser) {
  if (!browser) return;
  const chromium = browser.process();
  await Promise.race([browser.close().catch(() => {}), new Promise((r) => setTimeout(r, 5000))]);
  if (chromium && chromium.exitCode === null) chromium.kill('SIGKILL');
}

// Runs `main` within `limitMs`, then `cleanUp` whatever happened; exits 0
// when `main` passed.
export async function runTest(main, cleanUp, limitMs = 60_000) {
  const limit = setTimeout(async () => {
    console.error(`FAILED: the test took more than ${limitMs / 1000} s`);
    await cleanUp();
    process.exit(1);
  }, limitMs);
  let failed = false;
  try {
    await main();
    console.log('1 passed, 0 failed');
  } catch (e) {
    failed = true;
    console.error(`FAILED: ${e.stack || e}`);
    console.log('0 passed, 1 failed');
  } finally {
    clearTimeout(limit);
    await cleanUp();
  }
  process.exit(failed ? 1 : 0);
}

// Resolves with what `test` makes of the stream's output once it matches,
// or rejects after `ms`.
export function waitFor(stream, test, what, ms = STEP_MS) {
  return new Promise((resolve, reject) => {
    let seen = '';
    const timer = setTimeout(() => {
      stream.off('data', onData);
      reject(new Error(`no ${what} within ${ms / 1000} s; saw: ${seen}`));
    }, ms);
    function onData(chunk) {
      seen += chunk;
      const found = test(seen);
      if (found) {
        clearTimeout(timer);
        stream.off('data', onData);
        resolve(found);
      }
    }
    stream.on('data', onData);
  });
}

// The address of a page a program printed on its standard error stream.
export function pageAddress(stream) {
  return waitFor(stream, (s) => {
    const m = s.match(/http:\/\/127\.0\.0\.1:(\d+)\/([0-9a-f]{32,})\//);
    return m && { href: m[0], port: Number(m[1]), secret: m[2] };
  }, 'address of the page on standard error');
}

// Polls `test` until it holds, or rejects after `ms`.
export async function eventually(test, what, ms = STEP_MS) {
  const deadline = Date.now() + ms;
  for (;;) {
    if (await test()) return;
    if (Date.now() > deadline) throw new Error(`${what}: not within ${ms / 1000} s`);
    await new Promise((r) => setTimeout(r, 100));
  }
}

export function request(port, { method = 'GET', path: target, headers = {}, body }) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: '127.0.0.1', port, method, path: target, headers, agent: false,
                               timeout: STEP_MS }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (c) => { text += c; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: text }));
    });
    req.on('timeout', () => req.destroy(new Error(`${method} ${target}: no answer`)));
    req.on('error', reject);
    if (body !== undefined) req.write(body);
    req.end();
  });
}
