// The tracker manager page in a real browser (Debian's chromium, headless,
// driven by playwright-core) against the simulated trackers: trackers,
// frequency, a 5-point calibration, save, a recording with a marker, and
// the files on disk. Screenshots go to VELTO_BROWSER_OUT (default: ./out).
// Exit status 77 (skipped) when chromium is not installed.
'use strict';

const assert = require('assert');
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const PYTHON = process.env.PYTHON || 'python3';
const OUT = process.env.VELTO_BROWSER_OUT || path.join(__dirname, 'out');
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];

if (!fs.existsSync(CHROMIUM)) {
  console.log('SKIPPED: no chromium at ' + CHROMIUM + ' (apt-get install chromium)');
  process.exit(77);
}
let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch (error) {
  console.error('playwright-core is missing: run `npm ci` in tests/browser (scripts/common.sh install_browser_test_dependencies does)');
  process.exit(1);
}

// Starts `python -m velto.manager` on a free port; resolves with {proc, url}.
function startManager(folder) {
  return new Promise((resolve, reject) => {
    const proc = spawn(PYTHON, ['-u', '-m', 'velto.manager', '--port', '0', '--folder', folder],
                       { stdio: ['ignore', 'pipe', 'pipe'] });
    let output = '';
    const timer = setTimeout(() => reject(new Error('the manager did not start:\n' + output)), 20000);
    const read = (chunk) => {
      output += chunk;
      const match = /(http:\/\/127\.0\.0\.1:\d+\/)/.exec(output);
      if (match) { clearTimeout(timer); resolve({ proc, url: match[1], output: () => output }); }
    };
    proc.stdout.on('data', read);
    proc.stderr.on('data', (chunk) => { output += chunk; });
    proc.on('exit', (code) => { clearTimeout(timer); reject(new Error('the manager exited (' + code + '):\n' + output)); });
  });
}

function stopManager(proc) {
  return new Promise((resolve) => {
    if (proc.exitCode !== null) return resolve(proc.exitCode);
    const timer = setTimeout(() => proc.kill('SIGKILL'), 15000);
    proc.once('exit', (code) => { clearTimeout(timer); resolve(code); });
    proc.kill('SIGINT');
  });
}

const results = [];
async function check(name, action) {
  const started = Date.now();
  try {
    await action();
    results.push([name, true]);
    console.log('ok   ' + name + ' (' + (Date.now() - started) + ' ms)');
  } catch (error) {
    results.push([name, false]);
    console.log('FAIL ' + name + ': ' + (error.stack || error));
    throw error;
  }
}

async function main() {
  fs.mkdirSync(OUT, { recursive: true });
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'velto-manager-root-'));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velto-manager-profile-'));
  const manager = await startManager(root);
  let context = null;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: CHROMIUM, headless: true, args: CHROMIUM_ARGS,
      viewport: { width: 1280, height: 900 },
    });
    const page = context.pages()[0] || await context.newPage();
    const errors = [];
    page.on('pageerror', (error) => errors.push(String(error)));
    await page.goto(manager.url);

    await check('the page lists both simulated trackers', async () => {
      await page.waitForSelector('body[data-ready="yes"]', { timeout: 15000 });
      await page.waitForFunction(() => document.querySelectorAll('#trackers li').length === 2);
      const names = await page.$$eval('#trackers li b', (items) => items.map((b) => b.textContent));
      assert.deepStrictEqual(names, ['Velto Lab A', 'Velto Nano']);
    });

    await check('live gaze and the positioning guide are drawn', async () => {
      await page.waitForFunction(() => window.veltoStats.drawn > 20, null, { timeout: 15000 });
      await page.waitForFunction(() => document.querySelector('#gaze-figures').textContent.includes('rate'));
      await page.waitForFunction(() => document.querySelectorAll('#images img').length > 0);
      const hint = await page.textContent('#hint');
      assert.ok(!/waiting/.test(hint), 'the hint still waits: ' + hint);
      await page.locator('#position-panel').screenshot({ path: path.join(OUT, 'manager-positioning.png') });
      await page.locator('#gaze-panel').screenshot({ path: path.join(OUT, 'manager-live-gaze.png') });
    });

    await check('the frequency changes through the page', async () => {
      await page.selectOption('#frequency', '120');
      await page.waitForFunction(() => document.querySelector('#settings-message').textContent === 'Frequency set.');
      const state = await page.evaluate(() => api('GET', '/api/tracker'));
      assert.strictEqual(state.frequency, 120);
    });

    await check('a 5-point calibration runs through the page and ends on the quality table', async () => {
      await page.selectOption('#points', '5');
      await page.click('#calibrate');
      await page.waitForSelector('#cal-overlay:not([hidden])', { timeout: 5000 });
      await page.waitForSelector('#quality', { timeout: 30000 });
      const rows = await page.$$eval('#quality tbody tr', (trs) => trs.map((tr) => tr.cells[0].textContent));
      assert.deepStrictEqual(rows, ['(0.50, 0.50)', '(0.10, 0.10)', '(0.10, 0.90)', '(0.90, 0.10)', '(0.90, 0.90)', 'overall']);
      assert.ok(await page.isHidden('#cal-overlay'));
      const state = await page.evaluate(() => api('GET', '/api/calibration'));
      assert.strictEqual(state.running, false);
      await page.fill('#cal-file', 'p01.calibration');
      await page.click('#cal-save');
      await page.waitForFunction(() => /^Saved \d+ bytes/.test(document.querySelector('#cal-message').textContent));
      assert.ok(fs.statSync(path.join(root, 'p01.calibration')).size > 12);
      await page.locator('#calibration-panel').screenshot({ path: path.join(OUT, 'manager-calibration.png') });
      if (!(await page.evaluate(() => tracker.can_validate))) {
        await page.click('#validate');
        await page.waitForFunction(() => /^Not available yet: validation/.test(document.querySelector('#cal-message').textContent));
        assert.ok(await page.isHidden('#cal-overlay'));
      }
    });

    let marked = false;
    await check('a recording starts, takes a marker if offered, and stops', async () => {
      await page.fill('#rec-folder', 'session-browser');
      await page.click('#rec-start');
      await page.waitForFunction(() => Number(document.querySelector('#rec-figures').dataset.rows) > 100,
                                 null, { timeout: 15000 });
      const state = await page.evaluate(() => api('GET', '/api/recording'));
      if (state.can_mark) {
        await page.click('#marker');
        await page.locator('body').press('m');
        await page.waitForFunction(() => /Marker 2 added/.test(document.querySelector('#rec-message').textContent));
        marked = true;
      }
      await page.locator('#recording-panel').screenshot({ path: path.join(OUT, 'manager-recording.png') });
      await page.screenshot({ path: path.join(OUT, 'manager-page.png'), fullPage: true });
      if (!state.can_mark) {  // the control is there; the server says plainly it cannot yet
        await page.click('#marker');
        await page.waitForFunction(() => /^Not available yet: markers/.test(document.querySelector('#rec-message').textContent));
      }
      await page.click('#rec-stop');
      await page.waitForFunction(() => /^Stopped: \d+ gaze rows/.test(document.querySelector('#rec-message').textContent));
    });

    await check('the recording on disk is complete, at 120 Hz, with the calibration', async () => {
      const folder = path.join(root, 'session-browser');
      const rows = fs.readFileSync(path.join(folder, 'gaze.csv'), 'utf8').trim().split('\n');
      assert.ok(rows.length > 100, 'only ' + rows.length + ' lines in gaze.csv');
      const events = fs.readFileSync(path.join(folder, 'events.jsonl'), 'utf8').trim().split('\n').map(JSON.parse);
      const end = events[events.length - 1];
      assert.strictEqual(end.event, 'end');
      assert.strictEqual(end.gaze_rows, rows.length - 1);
      if (marked) assert.ok(events.some((e) => /mark/.test(e.stream + ' ' + (e.event || ''))), 'no marker line');
      const metadata = JSON.parse(fs.readFileSync(path.join(folder, 'metadata.json'), 'utf8'));
      assert.strictEqual(metadata.complete, true);
      assert.strictEqual(metadata.gaze_output_frequency_hz, 120);
      assert.ok(metadata.calibration && metadata.calibration.points.length === 5);
    });

    await check('the page ran without script errors', async () => {
      assert.deepStrictEqual(errors, []);
    });
  } finally {
    if (context) await context.close();
    const code = await stopManager(manager.proc);
    fs.rmSync(profile, { recursive: true, force: true });
    if (results.every(([, ok]) => ok)) {
      await check('Ctrl-C stops the server cleanly', async () => assert.strictEqual(code, 0, manager.output()));
      fs.rmSync(root, { recursive: true, force: true });
    } else {
      console.log('manager output:\n' + manager.output() + '\nfiles kept in ' + root);
    }
  }
}

main().then(() => {
  const failed = results.filter(([, ok]) => !ok).length;
  console.log((results.length - failed) + ' passed, ' + failed + ' failed');
  process.exit(failed ? 1 : 0);
}, (error) => {
  const failed = Math.max(1, results.filter(([, ok]) => !ok).length);
  console.log(String(error && error.stack || error));
  console.log((results.length - failed) + ' passed, ' + failed + ' failed');
  process.exit(1);
});
