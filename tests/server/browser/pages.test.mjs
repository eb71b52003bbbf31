// The result pages in a real browser: starts quillmoth-server on an ephemeral
// loopback port with a fresh database, fills it through the upload API, and
// drives the system Chromium through the list, a result, a compare page, the
// claim flow and a result whose CPU name is markup. Screenshots of every page
// (desktop and phone width) are kept in the output directory.
//
// usage: node pages.test.mjs SERVER_BINARY GOLDEN_DOCUMENT OUTPUT_DIR
// Exit status 0: passed, 1: failed, 77: skipped (no browser or no playwright-core).
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import path from 'node:path';

const SKIP = 77;
const [serverBinary, goldenPath, outDir] = process.argv.slice(2);
const chromiumPath = process.env.QM_CHROMIUM || '/usr/bin/chromium';
let chromium;
try {
  ({ chromium } = createRequire(import.meta.url)('playwright-core'));
} catch {}
if (!chromium || !existsSync(chromiumPath)) {
  console.log(`skipped: needs Chromium at ${chromiumPath} and playwright-core (npm ci --prefix tests/server/browser)`);
  process.exit(SKIP);
}

const HOSTILE = '<script>window.__pwned=1;alert("x")</script><img src=x onerror="window.__pwned=2;alert(1)">';
const LONG_CPU = 'Experimental Engineering Sample Processor Family With A Very Long Marketing Name ' +
  'QM-ES-0000000000000000000000000000000000000000000000000000 @ 2.10GHz (prototype stepping B0)';
const DESKTOP = { width: 1280, height: 900 };
const PHONE = { width: 390, height: 844 };

const failures = [];
const check = (condition, what) => condition || (failures.push(what), console.error(`FAIL: ${what}`));

// The golden document with another CPU name and every figure `speed` times
// better (latency divided by it), as the benchmark would have sent it.
function variant(cpu, speed) {
  const doc = JSON.parse(readFileSync(goldenPath, 'utf8'));
  doc.cpu = cpu;
  for (const test of [...doc.score_details.raw_tests, ...doc.score_details.real_tests]) {
    for (const pass of [test.multicore, test.singlecore]) {
      pass.rate *= speed;
      pass.display_metric = test.id === 'memory_latency' ? pass.display_metric / speed : pass.rate;
    }
  }
  return JSON.stringify(doc);
}

function startServer(dbPath) {
  return new Promise((resolve, reject) => {
    const child = spawn(serverBinary, ['--listen', '127.0.0.1:0', '--db', dbPath, '--upload-limit', '0'],
      { stdio: ['ignore', 'pipe', 'inherit'] });
    let stdout = '';
    child.stdout.on('data', (chunk) => {
      const m = (stdout += chunk).match(/listening on (http:\S+)/);
      if (m) resolve({ child, base: m[1] });
    });
    child.on('exit', (code) => reject(new Error(`server exited with ${code}`)));
  });
}

async function upload(base, body) {
  const res = await fetch(`${base}/api/v1/submissions`, { method: 'POST', body });
  const reply = await res.json();
  if (res.status !== 201) throw new Error(`upload answered ${res.status}: ${JSON.stringify(reply)}`);
  return { id: reply.id, claimPath: new URL(reply.claim_url).pathname };
}

async function main() {
  const work = mkdtempSync(path.join(tmpdir(), 'qm-browser-'));
  mkdirSync(outDir, { recursive: true });
  const server = await startServer(path.join(work, 'results.db'));
  let context;
  try {
    const { base } = server;
    // Oldest first, so the list shows them in the reverse order.
    const golden = await upload(base, readFileSync(goldenPath, 'utf8'));
    const fast = await upload(base, variant('Quillmoth Reference Fast 16-Core', 1.5));
    const slow = await upload(base, variant('Low Power Mobile CPU U-2000', 0.6));
    const long = await upload(base, variant(LONG_CPU, 1.1));
    const hostile = await upload(base, variant(HOSTILE, 0.9));
    const newestFirst = [hostile, long, slow, fast, golden].map((r) => r.id);

    context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
      executablePath: chromiumPath,
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
      viewport: DESKTOP,
    });
    const page = context.pages()[0] || await context.newPage();
    const dialogs = [];
    const consoleErrors = [];
    page.on('dialog', (d) => { dialogs.push(d.message()); d.dismiss().catch(() => {}); });
    // The deliberate 404 visits below log themselves; any other error counts.
    page.on('console', (m) => {
      if (m.type() === 'error' && !m.text().includes('status of 404')) consoleErrors.push(m.text());
    });
    page.on('pageerror', (e) => consoleErrors.push(String(e)));

    const open = async (url) => (await page.goto(base + url, { waitUntil: 'load' })).status();
    // Both widths; at phone width nothing may stick out sideways (wide
    // tables scroll inside their own box).
    const shoot = async (name, widths = 'both') => {
      if (widths === 'both') await page.screenshot({ path: path.join(outDir, `${name}-desktop.png`), fullPage: true });
      await page.setViewportSize(PHONE);
      const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
      check(overflow <= 0, `${name}: page is ${overflow}px wider than a phone screen`);
      await page.screenshot({ path: path.join(outDir, `${name}-phone.png`), fullPage: true });
      await page.setViewportSize(DESKTOP);
    };

    // The list, newest first, with the stylesheet applied under the content policy.
    check(await open('/') === 200, 'list answers 200');
    const rowIds = await page.$$eval('tr.result', (rows) => rows.map((r) => r.dataset.id));
    check(JSON.stringify(rowIds) === JSON.stringify(newestFirst), `list order ${rowIds}`);
    const headerColour = await page.$eval('header.site', (h) => getComputedStyle(h).backgroundColor);
    check(headerColour === 'rgb(29, 35, 48)', `stylesheet applied (header ${headerColour})`);
    await shoot('list');
    await page.fill('#cpu', 'mobile cpu');
    await Promise.all([page.waitForNavigation(), page.click('form.filter button')]);
    check(await page.$$eval('tr.result', (rows) => rows.map((r) => r.dataset.id).join()) === slow.id,
      'the CPU filter finds the one mobile result');

    // One result: 22 rows of figures, one bar per test per suite in each chart.
    check(await open(`/results/${golden.id}`) === 200, 'result page answers 200');
    check(await page.locator('tr.figure').count() === 22, 'result page has 22 rows of figures');
    for (const chart of ['chart-suites', 'chart-efficiency']) {
      for (const suite of ['raw', 'real']) {
        const bars = await page.locator(`#${chart} rect.bar[data-series="${suite}"]`).count();
        check(bars === 11, `${chart} has ${bars} ${suite} bars, not 11`);
      }
    }
    check(await page.textContent('tr.figure[data-suite="raw"][data-test="memory_latency"]')
      .then((t) => t.includes('lower is better')), 'latency marked lower is better');
    check(await page.getAttribute('#raw-document', 'href') === `/api/v1/results/${golden.id}`, 'raw document link');
    await shoot('result');

    // Compare, reached the way a visitor does: "compare with" on the result page.
    await page.fill('#add', `${base}/results/${fast.id}`);
    await Promise.all([page.waitForNavigation(), page.click('form.compare-with button')]);
    await page.fill('#add', slow.id);
    await Promise.all([page.waitForNavigation(), page.click('form.compare-with button')]);
    check(new URL(page.url()).pathname === '/compare', `compare page reached (${page.url()})`);
    const geomeans = await page.$$eval('#overall tbody tr', (rows) =>
      rows.map((r) => [...r.querySelectorAll('td')].map((td) => td.textContent)));
    check(geomeans.length === 4 && geomeans.every((r) => r.join() === '×1.00,×1.50,×0.60'),
      `overall geometric means ${JSON.stringify(geomeans)}`);
    check(await page.locator('#chart-ratio-raw rect.bar').count() === 22, 'ratio chart: one bar per test per result');
    await shoot('compare');
    check(await open('/compare?ids=nosuchresult') === 404, 'compare with an unknown id is 404');

    // The owner's page: label and unlist, then delete with confirmation.
    check(await open(fast.claimPath) === 200, 'claim page answers 200');
    await page.fill('#label-input', 'water cooled, 5.2 GHz all-core');
    await page.uncheck('#listed');
    await Promise.all([page.waitForNavigation(), page.click('#claim-form button')]);
    const after = new URL(page.url());
    check(after.pathname === fast.claimPath && !after.search.includes(fast.claimPath.split('/').pop()),
      `back on the claim page with the code in the path only (${after.pathname}${after.search})`);
    check((await page.textContent('#notice')).includes('link only'), 'notice after saving');
    check(await page.textContent('#label') === 'water cooled, 5.2 GHz all-core', 'label shows');
    await shoot('claim');
    await open('/');
    check(await page.locator(`tr[data-id="${fast.id}"]`).count() === 0, 'unlisted result gone from the list');
    check(await open(`/results/${fast.id}`) === 200, 'unlisted result still reachable by link');
    check(await page.textContent('#label') === 'water cooled, 5.2 GHz all-core', 'label on the public page');
    await open(fast.claimPath);
    await Promise.all([page.waitForNavigation(), page.click('form.delete button')]);
    check(await open(`/results/${fast.id}`) === 200, 'asking to delete deletes nothing');
    await open(fast.claimPath);
    await Promise.all([page.waitForNavigation(), page.click('form.delete button')]);
    await shoot('delete-confirm', 'phone');
    await Promise.all([page.waitForNavigation(), page.click('#confirm-delete')]);
    check(await open(`/results/${fast.id}`) === 404, 'deleted result answers 404');
    check(await open(fast.claimPath) === 404, 'claim page of a deleted result answers 404');

    // How a markup CPU name looks (that it arrives escaped is checked in
    // test_pages.cc, HostileUploadArrivesEscapedInEveryPage).
    await open(`/results/${hostile.id}`);
    await shoot('hostile');
    await open(`/results/${long.id}`);
    await shoot('long-name', 'phone');

    check(dialogs.length === 0, `dialogs opened: ${dialogs}`);
    check(consoleErrors.length === 0, `console errors: ${consoleErrors.join(' | ')}`);
  } finally {
    if (context) await context.close().catch(() => {});
    server.child.kill('SIGTERM');
    rmSync(work, { recursive: true, force: true });
  }
}

// Nothing may wait forever.
const watchdog = setTimeout(() => {
  console.error('FAIL: the browser test took longer than 90 s');
  process.exit(1);
}, 90000);
try {
  await main();
} catch (e) {
  failures.push(String(e && e.stack || e));
  console.error(`FAIL: ${e && e.stack || e}`);
}
clearTimeout(watchdog);
console.log(failures.length === 0 ? `passed; screenshots in ${outDir}` : `${failures.length} check(s) failed`);
process.exit(failures.length === 0 ? 0 : 1);
