// Drives the console in a real headless Chromium (puppeteer-core, the
// system's browser) against a live broker:
//   node browser-test/check.mjs mesh URL BOARD NODES SHOT [CHROMIUM]
//     with simulator, gateway and bridge behind the broker: NODES (a comma
//     list of node ids) must be in the table; a neighborListRequest sent from
//     the form must draw the neighbour picture; a nodeInfoRequest must show
//     its "ok" reply; the page must fit a 360-pixel phone screen. Writes the
//     screenshots SHOT (desktop) and SHOT with -phone before .png.
//   node browser-test/check.mjs login URL BOARD USER WRONG RIGHT [CHROMIUM]
//     against a broker that wants a password: the page must ask, refuse
//     WRONG, connect with RIGHT, show BOARD, and keep nothing in storage.
// Prints one JSON line of what it saw; exit status 0 when every check held.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [scenario, url, board, ...rest] = process.argv.slice(2);
const WAIT = { timeout: 30000, polling: 100 };

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

function waitForRows(page, ids) {
  return page.waitForFunction((list) => list.every((id) => document.querySelector(`#node-table tr[data-node="${id}"]`)), WAIT, ids);
}

// Watches the page for script errors and for requests that leave the origin.
function watch(page) {
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.on('requestfailed', (r) => problems.push('request failed: ' + r.url()));
  page.on('request', (r) => { if (!/^(data:|blob:)/.test(r.url()) && !r.url().startsWith(new URL(url).origin)) problems.push('outside request: ' + r.url()); });
  return problems;
}

async function mesh(page, seen) {
  const [nodesCsv, shot] = rest;
  const wanted = nodesCsv.split(',').map(Number);
  const problems = watch(page);
  await page.setViewport({ width: 1280, height: 900 });
  await page.goto(url, { waitUntil: 'load', timeout: 30000 });
  await page.waitForSelector('#conn.online', { timeout: 30000 }).catch((e) => { throw new Error(e.message + ': ' + problems.join('; ')); });
  await page.waitForFunction((b) => document.querySelector(`.card[data-board="${b}"]`), WAIT, board);
  await page.click(`.card[data-board="${board}"]`);
  await waitForRows(page, wanted);
  seen.rows = await page.$$eval('#node-table tbody tr', (rows) => rows.map((r) => [...r.cells].map((c) => c.textContent)));
  const shownIds = () => page.$$eval('#node-table tbody tr', (rows) => rows.map((r) => Number(r.dataset.node)));
  await page.type('#node-filter', '0x0103');
  await page.waitForFunction(() => document.querySelectorAll('#node-table tbody tr').length === 1, WAIT);
  seen.filtered = await shownIds();
  await page.$eval('#node-filter', (e) => { e.value = ''; e.dispatchEvent(new Event('input')); });
  await page.click('#node-table th[data-sort="nodeId"]');  // sorted by id already: now descending
  seen.descending = await shownIds();
  await page.click('#node-table th[data-sort="nodeId"]');
  seen.neighborReply = await sendCommand(page, 'neighborListRequest');
  await page.waitForSelector('#neighbor-svg .neighbor', { timeout: 30000 });
  seen.marks = await page.$$eval('#neighbor-svg .neighbor', (g) => g.map((e) => Number(e.dataset.node)));
  // The feed, paused, holds still while the node information reply comes;
  // resumed, it shows it; kept to one kind, it shows that kind only.
  const feedKinds = () => page.$$eval('#feed-list li', (li) => li.map((e) => e.dataset.kind));
  await page.click('#feed-pause');
  const before = await feedKinds();
  seen.infoReply = await sendCommand(page, 'nodeInfoRequest');
  await page.waitForFunction(() => /new while paused/.test(document.querySelector('#feed-held').textContent), WAIT);
  seen.pausedFeed = [before.length, (await feedKinds()).length];
  await page.click('#feed-pause');
  await page.waitForFunction((n) => document.querySelectorAll('#feed-list li').length > n, WAIT, before.length);
  await page.select('#feed-kind', 'nodeInfoReply');
  seen.kindFiltered = await feedKinds();
  await page.select('#feed-kind', '');
  await page.screenshot({ path: shot, fullPage: true });
  // A phone viewport reloads the page: wait for the board again.
  await page.setViewport({ width: 360, height: 740, isMobile: true, hasTouch: true });
  await waitForRows(page, wanted);
  await page.waitForSelector('#neighbor-svg .neighbor', { timeout: 30000 });
  seen.phoneWidth = await page.evaluate(() => document.documentElement.scrollWidth);
  await page.screenshot({ path: shot.replace(/\.png$/, '-phone.png'), fullPage: true });
  seen.problems = problems;
  if (seen.infoReply.text !== 'ok' || !seen.infoReply.cls.includes('ok')) return 'nodeInfoRequest reply: ' + seen.infoReply.text;
  if (seen.phoneWidth > 360) return `page is ${seen.phoneWidth} px wide on a 360 px screen`;
  return problems.length ? problems.join('; ') : null;
}

async function login(page, seen) {
  const [user, wrong, right] = rest;
  await page.goto(url, { waitUntil: 'load', timeout: 30000 });
  await page.waitForSelector('#login:not([hidden])', { timeout: 30000 });
  seen.asked = true;
  for (const password of [wrong, right]) {
    await page.$eval('#login-user', (e) => { e.value = ''; });
    await page.type('#login-user', user);
    await page.type('#login-pass', password);
    await page.click('#login button[type=submit]');
    if (password === wrong) {
      await page.waitForFunction(() => !document.querySelector('#login').hidden && document.querySelector('#login-error').textContent, WAIT);
      seen.refused = await page.$eval('#login-error', (e) => e.textContent);
    }
  }
  await page.waitForSelector('#conn.online', { timeout: 30000 });
  await page.waitForFunction((b) => document.querySelector(`.card[data-board="${b}"]`), WAIT, board);
  seen.board = board;
  seen.storage = await page.evaluate(() => localStorage.length + sessionStorage.length + document.cookie.length);
  seen.passwordField = await page.$eval('#login-pass', (e) => e.value);
  if (seen.storage !== 0 || seen.passwordField !== '') return 'credentials kept beyond the connection';
  return null;
}

const chromium = rest[scenario === 'mesh' ? 2 : 3] || '/usr/bin/chromium';
const profile = mkdtempSync(join(tmpdir(), 'orvel-chromium-'));
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
  failed = await (scenario === 'login' ? login : mesh)(page, seen);
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
