// A long preview with a browser attached and the simulated camera's faults
// on: the process memory (VmRSS) and the driver's pool must stay flat, and
// the preview must stop cleanly without a leak report. Not part of the
// default test run; scripts/preview_soak.sh runs it.
//
//   node preview_soak.js TVCAM ARTEFACT_DIR [SECONDS] [RSS_BOUND_MIB]
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const playwright = require('playwright-core');

const [tvcam, artefacts, secondsArg, boundArg] = process.argv.slice(2);
const SECONDS = Number(secondsArg || 600);
const RSS_BOUND_MIB = Number(boundArg || 48);   // growth allowed after the first minute
const POOL_BOUND_BYTES = 1 << 20;               // the driver's pool, the same way
const WARM_UP_S = Math.min(60, SECONDS / 3);
const SAMPLE_S = 5;
const FAULTS = 'drop=0.001,header=0.001,eof=0.01,short=0.01,long=0.01,babble=0.001,request=0.001,stall=0.01';
const chromiumPath = ['/usr/lib/chromium/chromium', '/usr/bin/chromium'].find((p) => fs.existsSync(p));

const rssMiB = (pid) => {
  const m = fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+) kB/);
  return m ? Number(m[1]) / 1024 : NaN;
};
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];

async function main() {
  fs.mkdirSync(artefacts, { recursive: true });
  const child = spawn(tvcam, ['preview', '--camera', '8406-colour', '--size', '640x480', '--port', '0',
    '--faults', FAULTS, '--seed', '7'], { stdio: ['ignore', 'pipe', 'pipe'] });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  const url = await new Promise((resolve, reject) => {
    let out = '';
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/http:\/\/127\.0\.0\.1:\d+\//);
      if (m) resolve(m[0]);
    });
    setTimeout(() => reject(new Error('no address: ' + out + stderr)), 30000);
  });
  const browser = await playwright.chromium.launch({ executablePath: chromiumPath, headless: true });
  const page = await browser.newPage({ viewport: { width: 1400, height: 1000 } });
  await page.goto(url);
  await page.waitForSelector('body[data-ready=true]');
  const samples = [];
  const start = Date.now();
  let step = 0;
  while (Date.now() - start < SECONDS * 1000) {
    await page.waitForTimeout(SAMPLE_S * 1000);
    const s = await (await page.request.get(url + 'api/stats')).json();
    const t = (Date.now() - start) / 1000;
    samples.push({ t, rss: rssMiB(child.pid), pool: s.pool.bytes, delivered: s.delivered, dropped: s.dropped,
                   displayed: s.displayed, restarts: s.restarts, faults: s.faults_sent });
    // Something changes now and then, as a person would change it.
    step++;
    await page.locator('[data-prop="brightness"] input[type=range]').fill(String((step * 37) % 200 - 100));
    if (step % 24 === 0) {
      await page.selectOption('#format-select', step % 48 ? 'Y800' : 'RGB32');
      await page.selectOption('#size-select', '640x480');
      await page.click('#format-apply');
    }
  }
  await page.screenshot({ path: path.join(artefacts, 'soak_end.png') });
  await browser.close();
  child.kill('SIGINT');
  const code = await exited;

  fs.writeFileSync(path.join(artefacts, 'soak_samples.json'), JSON.stringify(samples, null, 1));
  const warm = samples.filter((x) => x.t >= WARM_UP_S && x.t < WARM_UP_S + 30);
  const last = samples.slice(-6);
  const rssGrowth = median(last.map((x) => x.rss)) - median(warm.map((x) => x.rss));
  const poolGrowth = median(last.map((x) => x.pool)) - median(warm.map((x) => x.pool));
  const end = samples[samples.length - 1];
  console.log(`soak ${SECONDS} s: RSS after warm-up ${median(warm.map((x) => x.rss)).toFixed(1)} MiB, ` +
    `at the end ${median(last.map((x) => x.rss)).toFixed(1)} MiB (growth ${rssGrowth.toFixed(1)} MiB, ` +
    `bound ${RSS_BOUND_MIB}), max ${Math.max(...samples.map((x) => x.rss)).toFixed(1)} MiB; ` +
    `pool growth ${poolGrowth} bytes (bound ${POOL_BOUND_BYTES}); delivered ${end.delivered} since the last ` +
    `restart, restarts ${end.restarts}, faults ${JSON.stringify(end.faults)}; exit status ${code}`);
  const failures = [];
  if (rssGrowth > RSS_BOUND_MIB) failures.push('process memory grew');
  if (poolGrowth > POOL_BOUND_BYTES) failures.push('the driver pool grew');
  if (code !== 0) failures.push('exit status ' + code);
  if (/leak|verifier|AddressSanitizer/i.test(stderr)) failures.push('report at shutdown: ' + stderr);
  if (failures.length) {
    console.error('FAIL: ' + failures.join('; '));
    process.exit(1);
  }
  console.log('PASS: preview soak');
}

main().catch((e) => {
  console.error('FAIL: ' + (e && e.stack || e));
  process.exit(1);
});
