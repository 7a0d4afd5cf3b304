// Opens the manager page in headless chromium for a time and prints its
// figures as one JSON line: frames drawn, and the latency from each drawn
// sample's system time stamp to the frame that drew it (us).
// Usage: node bench/manager_bench.js URL SECONDS [CHROMIUM]
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require(path.join(__dirname, '..', 'tests', 'browser', 'node_modules', 'playwright-core'));

async function main() {
  const [url, seconds, executable] = process.argv.slice(2);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'velto-bench-profile-'));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: executable || '/usr/bin/chromium', headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    viewport: { width: 1280, height: 900 },
  });
  try {
    const page = context.pages()[0] || await context.newPage();
    await page.goto(url);
    await page.waitForSelector('body[data-ready="yes"]');
    await page.waitForTimeout(1000);
    await page.evaluate(() => { window.veltoStats.latencies.length = 0; window.veltoStats.drawn = 0; window.veltoStats.frames = 0; });
    await page.waitForTimeout(Number(seconds) * 1000 - 1000);
    const figures = await page.evaluate(() => {
      const s = window.veltoStats;
      const sorted = s.latencies.slice().sort((a, b) => a - b);
      const at = (q) => sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
      return { n: sorted.length, p50: at(0.5), p99: at(0.99), max: sorted[sorted.length - 1],
               drawn: s.drawn, frames: s.frames, fps: s.fps };
    });
    console.log(JSON.stringify(figures));
  } finally {
    await context.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}
main().catch((error) => { console.error(error); process.exit(1); });
