// The preview page in headless Chromium: the video plays, the brightness
// slider changes the picture, every control changes the driver's property
// and shows the value read back, the format switches and the statistics
// panel fills. Screenshots go to the artefact directory.
//
//   node preview_test.js TVCAM ARTEFACT_DIR
//
// Needs playwright-core (NODE_PATH) and the system Chromium; exits 77 (the
// test is skipped) when either is missing.
'use strict';

const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');

const [tvcam, artefacts] = process.argv.slice(2);
const CAMERA = process.env.TVCAM_PREVIEW_CAMERA || '8406-colour';
const TEST_BUDGET_MS = 110000;  // the whole test, below the CTest limit
const STEP_TIMEOUT_MS = 20000;  // any one wait for the page or the stream

let playwright;
try {
  playwright = require('playwright-core');
} catch (e) {
  console.log('SKIP: playwright-core is not installed (./test.sh installs it)');
  process.exit(77);
}
const chromiumPath = ['/usr/lib/chromium/chromium', '/usr/bin/chromium'].find((p) => fs.existsSync(p));
if (!chromiumPath) {
  console.log('SKIP: Chromium is not installed (./test.sh installs it)');
  process.exit(77);
}

function check(condition, message) {
  if (!condition) throw new Error('check failed: ' + message);
}

// Starts tvcam preview on a free port; resolves with the process and its address.
function startPreview(args) {
  return new Promise((resolve, reject) => {
    const child = spawn(tvcam, ['preview', '--camera', CAMERA, '--port', '0', ...args],
      { stdio: ['ignore', 'pipe', 'pipe'] });
    let out = '';
    child.stderrText = '';
    child.stderr.on('data', (d) => { child.stderrText += d; });
    const timer = setTimeout(() => reject(new Error('tvcam preview printed no address: ' + out + child.stderrText)),
      STEP_TIMEOUT_MS);
    child.stdout.on('data', (d) => {
      out += d;
      const m = out.match(/http:\/\/127\.0\.0\.1:(\d+)\//);
      if (m) {
        clearTimeout(timer);
        resolve({ child, url: m[0] });
      }
    });
    child.on('exit', (code) => reject(new Error('tvcam preview exited with ' + code + ': ' + child.stderrText)));
  });
}

async function main() {
  fs.mkdirSync(artefacts, { recursive: true });
  const { child, url } = await startPreview(['--size', '640x480']);
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
  const browser = await playwright.chromium.launch({ executablePath: chromiumPath, headless: true });
  try {
    const page = await browser.newPage({ viewport: { width: 1400, height: 1000 } });
    page.setDefaultTimeout(STEP_TIMEOUT_MS);
    const apiGet = async (p) => (await page.request.get(url + p.slice(1))).json();
    const delivered = async () => (await apiGet('/api/stats')).delivered;
    // Waits until `n` more frames were delivered and the page shows a new one.
    const framesPass = async (n) => {
      const until = (await delivered()) + n;
      await page.waitForFunction(async ([u]) => {
        const s = await (await fetch('/api/stats')).json();
        return s.delivered >= u && s.displayed > 0;
      }, [until]);
      await page.waitForTimeout(300);  // the newest frame to reach the <img>
    };
    // The picture's mean and spread, from the <img> drawn on a canvas.
    const pictureStats = () => page.evaluate(() => {
      const img = document.getElementById('video');
      const c = document.createElement('canvas');
      c.width = img.naturalWidth;
      c.height = img.naturalHeight;
      const g = c.getContext('2d');
      g.drawImage(img, 0, 0);
      const d = g.getImageData(0, 0, c.width, c.height).data;
      let sum = 0, sq = 0, colour = 0;
      for (let i = 0; i < d.length; i += 4) {
        const y = (d[i] + d[i + 1] + d[i + 2]) / 3;
        sum += y;
        sq += y * y;
        colour += Math.abs(d[i] - d[i + 1]) + Math.abs(d[i + 2] - d[i + 1]);
      }
      const n = d.length / 4;
      return { width: c.width, height: c.height, mean: sum / n, spread: Math.sqrt(sq / n - (sum / n) ** 2),
               colour: colour / n };
    });

    await page.goto(url);
    await page.waitForSelector('body[data-ready=true]');
    await page.waitForFunction(() => document.getElementById('video').naturalWidth > 0);

    // The video advances and is not blank.
    const shot1 = await page.locator('#video').screenshot({ path: path.join(artefacts, 'video_1.png') });
    await framesPass(3);
    const shot2 = await page.locator('#video').screenshot({ path: path.join(artefacts, 'video_2.png') });
    check(!shot1.equals(shot2), 'two screenshots of the video differ');
    const before = await pictureStats();
    check(before.width === 640 && before.height === 480, 'the picture is 640x480, not ' + before.width + 'x' + before.height);
    check(before.spread > 20, 'the picture is not blank (spread ' + before.spread.toFixed(1) + ')');
    check(before.colour > 5, 'the colour camera shows colour');

    // The brightness slider changes the driver's property and the picture.
    const brightness = page.locator('[data-prop="brightness"]');
    await brightness.locator('input[type=range]').fill('100');
    await page.waitForFunction(() =>
      document.querySelector('[data-prop="brightness"] .readback').textContent === '100');
    check((await apiGet('/api/props/brightness')).value === 100, 'the driver reads brightness 100 back');
    await framesPass(3);
    const brighter = await pictureStats();
    check(brighter.mean > before.mean + 10,
      'brightness 100 raises the mean from ' + before.mean.toFixed(1) + ' (now ' + brighter.mean.toFixed(1) + ')');
    await page.screenshot({ path: path.join(artefacts, 'preview_page.png') });
    await brightness.locator('input[type=range]').fill('0');
    await page.waitForFunction(() =>
      document.querySelector('[data-prop="brightness"] .readback').textContent === '0');

    // The statistics panel: frames, rate and the automatic loops' values.
    await page.waitForFunction(() => Number(document.getElementById('stat-delivered').textContent) > 0 &&
      document.getElementById('stat-fps').textContent.endsWith('fps'));
    const stats = await apiGet('/api/stats');
    check(stats.loops !== null, 'the raw-sensor camera reports its loops');
    check(await page.locator('#loops').isVisible(), 'the loops are shown');
    const shownExposure = await page.locator('#loop-exposure').textContent();
    check(/^\d+$/.test(shownExposure), 'the loop exposure is shown (' + shownExposure + ')');
    check(Number(await page.locator('#stat-dropped').textContent()) >= 0, 'dropped frames are shown');

    // Switching the format restarts the stream with it.
    await page.selectOption('#format-select', 'Y800');
    await page.selectOption('#size-select', '640x480');
    await page.click('#format-apply');
    await page.waitForFunction(() => document.getElementById('stat-format').textContent.startsWith('Y800 640x480'));
    check((await apiGet('/api/stats')).format.format === 'Y800', 'the stream runs Y800');
    await framesPass(3);
    const grey = await pictureStats();
    check(grey.colour < 1 && grey.spread > 20, 'the Y800 picture is grey and not blank');
    await page.screenshot({ path: path.join(artefacts, 'preview_y800.png') });

    // Every control changes the driver's property, and what the page shows
    // is the value read back.
    // Commands last: a one-push white balance moves the gains for a while after.
    const controls = (await page.$$eval('.prop', (rows) => rows.map((r) => ({ name: r.dataset.prop, kind: r.dataset.kind }))))
      .sort((a, b) => (a.kind === 'button') - (b.kind === 'button'));
    check(controls.length >= 20, 'the camera\'s properties are shown (' + controls.length + ')');
    // Each control's change as the page sends it, and the driver's answer.
    const answerOf = (name) => page.waitForResponse((r) =>
      r.request().method() === 'PUT' && r.url().endsWith('/api/props/' + encodeURIComponent(name)));
    // The automatic modes off first, through their checkboxes, so that no
    // loop moves a value while it is checked.
    let manual = 0;
    for (const { name } of controls) {
      const auto = page.locator(`[data-prop="${name}"] input.auto`);
      const p = await apiGet('/api/props/' + encodeURIComponent(name));
      // Linked ones may be manual by now, or shown so before the next reading.
      if (!(await auto.count()) || !p.flags.includes('auto') || !(await auto.isChecked())) continue;
      const box = `[data-prop="${name}"] input.auto`;
      const answer = answerOf(name);
      await auto.click();
      const body = await (await answer).json();
      // The checkbox shows the mode the driver then reports.
      await page.waitForFunction(([b, a]) => document.querySelector(b).checked === a, [box, body.flags.includes('auto')]);
      const after = await apiGet('/api/props/' + encodeURIComponent(name));
      check(after.flags.includes('manual'), name + ': the auto checkbox asked for the manual mode');
      if (!after.flags.includes('auto')) manual++;
    }
    // At least one per loop (white balance, gain, exposure); the rest follow them.
    check(manual >= 3, 'the auto checkboxes switched properties to manual (' + manual + ')');
    let changed = 0;
    for (const { name, kind } of controls) {
      if (kind === 'readonly') continue;
      const row = page.locator(`[data-prop="${name}"]`);
      const p = await apiGet('/api/props/' + encodeURIComponent(name));
      let wanted = null;
      const answer = answerOf(name);
      if (kind === 'slider') {
        wanted = p.value + p.step <= p.max ? p.value + p.step : p.value - p.step;
        await row.locator('input[type=range]').fill(String(wanted));
      } else if (kind === 'checkbox') {
        wanted = p.value ? 0 : 1;
        await row.locator('input.control').setChecked(wanted === 1);
      } else if (kind === 'select') {
        wanted = p.value + p.step <= p.max ? p.value + p.step : p.min;
        await row.locator('select').selectOption(String(wanted));
      } else if (kind === 'number') {
        wanted = p.value === 0 ? 1 : p.value === 1 ? 0 : p.value;
        await row.locator('input[type=number]').fill(String(wanted));
      } else if (kind === 'button') {
        await row.locator('button').click();
      }
      const response = await answer;
      const body = await response.json();
      const readBack = response.ok() ? body : body.property;
      // The page settles on the driver's answer.
      await page.waitForFunction(([n, v]) =>
        document.querySelector(`[data-prop="${n}"] .readback`).textContent === String(v), [name, readBack.value]);
      const after = await apiGet('/api/props/' + encodeURIComponent(name));
      check(after.value === readBack.value, name + ': the value shown (' + readBack.value + ') is the driver\'s (' + after.value + ')');
      if (!response.ok()) {
        const refused = await row.locator('.status').textContent();
        check(refused.startsWith('refused: ') && refused.includes(body.error), name + ': the refusal is shown (' + refused + ')');
        check(after.value === p.value, name + ': a refused value leaves the property as it was');
        continue;
      }
      // Driver words without a range may be actions or reserved ones the
      // driver accepts without keeping a value: there only the read-back counts.
      if (kind !== 'number' && kind !== 'button') {
        check(after.value === wanted, name + ': the driver took ' + wanted + ' (reads ' + after.value + ')');
        changed++;
      }
    }
    check(changed >= 15, 'most controls changed their property (' + changed + ')');

    // An out-of-range value through the API: refused with a clear message, nothing changed.
    const res = await page.request.put(url + 'api/props/brightness', { data: { value: 1000 } });
    check(res.status() === 422 && /out of range/.test((await res.json()).error), 'an out-of-range value is refused');
  } finally {
    await browser.close();
    child.kill('SIGINT');
  }
  const { code } = await exited;
  check(code === 0, 'tvcam preview stops on Ctrl-C with status 0 (status ' + code + '): ' + child.stderrText);
  check(!/leak|verifier|Sanitizer/i.test(child.stderrText), 'no leak or verifier report: ' + child.stderrText);
}

const budget = setTimeout(() => {
  console.error('FAIL: the browser test ran over ' + TEST_BUDGET_MS / 1000 + ' s');
  process.exit(1);
}, TEST_BUDGET_MS);
main().then(() => {
  clearTimeout(budget);
  console.log('PASS: preview page');
  process.exit(0);
}, (e) => {
  console.error('FAIL: ' + (e && e.stack || e));
  process.exit(1);
});
