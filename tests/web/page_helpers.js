// What the browser tests do on the board page as a player does: open it,
// wait for the engine, read the stones, click a cell, import a list, and
// check the engine log. The tests read what a player sees: stones are SVG
// elements with data-x / data-y / data-n, the phase of the page is on <body
// data-phase>.
'use strict';

const assert = require('node:assert/strict');
const path = require('node:path');

const { ARTIFACTS } = require('./site_server.js');

// Opens `url` in a new page of `where` (a browser context) and waits until
// the page takes input. Page errors, console errors and any request that
// leaves the test's server are collected on page.problems. `init` is a
// script run in the page before its own (to stand in for the engine).
async function openPage(where, url, { init = null, idle = true } = {}) {
  const base = new URL('/', url).href;
  const page = await where.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.on('request', (r) => {
    if (!r.url().startsWith(base) && !r.url().startsWith('data:') && !r.url().startsWith('blob:')) {
      problems.push('outside request: ' + r.url());
    }
  });
  page.problems = problems;
  if (init) await page.addInitScript(init);
  await page.goto(url);
  if (idle) await waitIdle(page);
  return page;
}

// Waits until nobody is thinking and the page takes moves (or the game is
// over); resolves with the phase.
async function waitIdle(page, timeout = 60000) {
  await page.waitForFunction(() => ['human', 'paused', 'over'].includes(document.body.dataset.phase), null, { timeout });
  return page.evaluate(() => document.body.dataset.phase);
}

async function phase(page) { return page.evaluate(() => document.body.dataset.phase); }

// The stones on the board in the order played: [{x, y, n, colour}].
async function stones(page) {
  return page.$$eval('#board .stone', (nodes) => nodes.map((n) => ({
    x: Number(n.dataset.x), y: Number(n.dataset.y), n: Number(n.dataset.n),
    colour: n.classList.contains('black') ? 1 : 2,
  })).sort((a, b) => a.n - b.n));
}
const cells = (list) => list.map((s) => `${s.x},${s.y}`).join(' ');

// The page coordinates of the intersection (x, y), located from the drawn
// grid lines: the first lines of the grid are the columns, then the rows.
async function cellPoint(page, x, y) {
  return page.evaluate(([cx, cy]) => {
    const svg = document.getElementById('board');
    const lines = svg.querySelectorAll('.grid line');
    const x0 = Number(lines[0].getAttribute('x1')), step = Number(lines[1].getAttribute('x1')) - x0;
    const y0 = Number(lines[0].getAttribute('y1'));
    const box = svg.getBoundingClientRect(), scale = box.width / svg.viewBox.baseVal.width;
    return { left: box.left + (x0 + cx * step) * scale, top: box.top + (y0 + cy * step) * scale };
  }, [x, y]);
}

async function clickCell(page, x, y) {
  const point = await cellPoint(page, x, y);
  await page.mouse.click(point.left, point.top);
}

async function importMoves(page, text) {
  await page.fill('#record', text);
  await page.click('#import');
  await waitIdle(page);
}

async function engineLog(page) { return page.textContent('#log'); }

// No complaint of the engine in the log (an engine without the N-best
// command says so once: that is expected) and no error in the page.
async function assertCleanLog(page) {
  const rows = (await engineLog(page)).split('\n');
  const bad = rows.filter((l, i) => /^< (ERROR|UNKNOWN)|^!/.test(l) &&
    !(l === '< UNKNOWN command' && /^> YXNBEST/.test(rows[i - 1] || '')));
  assert.deepEqual(bad, [], 'engine complaints in the log');
  assert.deepEqual(page.problems, [], 'errors in the page');
}

async function shot(page, name) {
  await page.screenshot({ path: path.join(ARTIFACTS, name + '.png') });
}

module.exports = {
  openPage, waitIdle, phase, stones, cells, cellPoint, clickCell, importMoves, engineLog, assertCleanLog, shot,
};
