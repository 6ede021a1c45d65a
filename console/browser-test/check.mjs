// Drives the console in a real headless Chromium (puppeteer-core, the
// system's browser) against a live broker, simulator, gateway and bridge:
//   node browser-test/check.mjs URL BOARD NODES SHOT [CHROMIUM]
// NODES is a comma list of node ids the table must list. Checks the table,
// the neighbour picture after a neighborListRequest sent from the form, the
// "ok" reply of a nodeInfoRequest, the 360-pixel phone layout, and writes
// screenshots SHOT (desktop) and SHOT with -phone before .png. Prints one
// JSON line of what it saw; exit status 0 when every check held.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [url, board, nodesCsv, shot, chromium = '/usr/bin/chromium'] = process.argv.slice(2);
const wanted = nodesCsv.split(',').map(Number);
const WAIT = { timeout: 30000, polling: 100 };
const profile = mkdtempSync(join(tmpdir(), 'orvel-chromium-'));

async function sendCommand(page, kind) {
  const before = await page.$$eval('#command-log .command-entry', (e) => e.length);
  await page.select('#command-kind', kind);
  await page.click('#command-form button[type=submit]');
  await page.waitForFunction((n) => {
    const entries = document.querySelectorAll('#command-log .command-entry');
    return entries.length > n && !entries[0].querySelector('.reply').textContent.startsWith('waiting');
  }, WAIT, before);
  return page.$eval('#command-log .command-entry .reply', (r) => ({ text: r.textContent, cls: r.className }));
}

const browser = await puppeteer.launch({
  executablePath: chromium,
  headless: true,
  userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'],
});
let failed = null;
const seen = {};
try {
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.on('requestfailed', (r) => problems.push('request failed: ' + r.url()));
  page.on('request', (r) => { if (!/^(data:|blob:)/.test(r.url()) && !r.url().startsWith(new URL(url).origin)) problems.push('outside request: ' + r.url()); });
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(url, { waitUntil: 'load', timeout: 30000 });
  await page.waitForSelector('#conn.online', { timeout: 30000 }).catch((e) => { throw new Error(e.message + ': ' + problems.join('; ')); });
  await page.waitForFunction((b) => document.querySelector(`.card[data-board="${b}"]`), WAIT, board);
  await page.click(`.card[data-board="${board}"]`);
  await page.waitForFunction((ids) => ids.every((id) => document.querySelector(`#node-table tr[data-node="${id}"]`)), WAIT, wanted);
  seen.rows = await page.$$eval('#node-table tbody tr', (rows) => rows.map((r) => [...r.cells].map((c) => c.textContent)));
  seen.neighborReply = await sendCommand(page, 'neighborListRequest');
  await page.waitForSelector('#neighbor-svg .neighbor', { timeout: 30000 });
  seen.marks = await page.$$eval('#neighbor-svg .neighbor', (g) => g.map((e) => Number(e.dataset.node)));
  seen.infoReply = await sendCommand(page, 'nodeInfoRequest');
  seen.feed = await page.$$eval('#feed-list li', (li) => li.length);
  await page.screenshot({ path: shot });
  // A phone viewport reloads the page: wait for the board again.
  await page.setViewport({ width: 360, height: 740, isMobile: true, hasTouch: true });
  await page.waitForFunction((ids) => ids.every((id) => document.querySelector(`#node-table tr[data-node="${id}"]`)), WAIT, wanted);
  await page.waitForSelector('#neighbor-svg .neighbor', { timeout: 30000 });
  seen.phoneWidth = await page.evaluate(() => document.documentElement.scrollWidth);
  await page.screenshot({ path: shot.replace(/\.png$/, '-phone.png'), fullPage: true });
  seen.problems = problems;
  if (seen.infoReply.text !== 'ok' || !seen.infoReply.cls.includes('ok')) failed = 'nodeInfoRequest reply: ' + seen.infoReply.text;
  else if (seen.phoneWidth > 360) failed = `page is ${seen.phoneWidth} px wide on a 360 px screen`;
  else if (problems.length) failed = problems.join('; ');
} catch (e) {
  failed = String(e && e.stack || e);
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
console.log(JSON.stringify(seen));
if (failed) {
  console.log('FAILED: ' + failed);
  process.exit(1);
}
