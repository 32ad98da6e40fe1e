// Browser tests of what the board page offers beyond a game: levels, the
// analysis marks and the hint, the value graph, stepping through the game
// and branching, .psq records and move lists in both notations, and the
// page on a phone. Same set-up as page.test.js: Debian's Chromium, headless,
// driven by playwright-core against build/web served on 127.0.0.1.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');

const { ARTIFACTS, CHROMIUM, BROWSER_ARGS, startSiteServer } = require('./site_server.js');
const helpers = require('./page_helpers.js');
const { waitIdle, stones, cells, cellPoint, clickCell, importMoves, engineLog, assertCleanLog, shot } = helpers;
const BLACK = 1, WHITE = 2;

let server, baseUrl, browser, context;

before(async () => {
  ({ server, baseUrl } = await startSiteServer());
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: BROWSER_ARGS });
  context = await browser.newContext({ viewport: { width: 1180, height: 900 }, acceptDownloads: true });
});

after(async () => {
  if (browser) await browser.close();
  if (server) server.close();
});

// The page helpers of page_helpers.js, opened on the served site.
const openPage = (query, where = context) => helpers.openPage(where, baseUrl + query);

// ---------------------------------------------------------------------------
// Simple play, the test's own: make a five, else stop one, else the cell
// that makes the longest open line for us or stops the longest for the
// opponent (counted through the cell in the four directions, open ends
// weighed). No search, no look-ahead: what a beginner's opponent plays.

function simpleMove(board, size, me) {
  const you = 3 - me;
  const at = (x, y) => (x >= 0 && y >= 0 && x < size && y < size ? board[x][y] : -1);
  const shape = (x, y, c) => {
    let score = 0, five = false;
    for (const [dx, dy] of [[1, 0], [0, 1], [1, 1], [1, -1]]) {
      let run = 1, open = 0;
      for (const s of [1, -1]) {
        let k = 1;
        while (at(x + s * k * dx, y + s * k * dy) === c) { run++; k++; }
        if (at(x + s * k * dx, y + s * k * dy) === 0) open++;
      }
      if (run >= 5) five = true;
      const table = run >= 4 ? [0, 900, 9000] : run === 3 ? [0, 60, 700] : run === 2 ? [0, 8, 40] : [0, 1, 3];
      score += table[open];
    }
    return { score, five };
  };
  let best = null;
  for (let x = 0; x < size; x++) {
    for (let y = 0; y < size; y++) {
      if (board[x][y]) continue;
      const mine = shape(x, y, me), theirs = shape(x, y, you);
      const centre = -(Math.abs(x - (size >> 1)) + Math.abs(y - (size >> 1))) * 0.01;
      const value = (mine.five ? 1e9 : 0) + (theirs.five ? 1e8 : 0) + mine.score * 1.1 + theirs.score + centre;
      if (!best || value > best.value) best = { x, y, value };
    }
  }
  return best;
}

// Plays simple moves for the test's side until the game is over; returns the
// status text.
async function playSimply(page, size, me, cap = 120) {
  for (let i = 0; i < cap; i++) {
    const now = await waitIdle(page);
    if (now === 'over') return page.textContent('#status');
    assert.equal(now, 'human');
    const board = Array.from({ length: size }, () => new Array(size).fill(0));
    const list = await stones(page);
    for (const s of list) board[s.x][s.y] = s.colour;
    const move = simpleMove(board, size, me);
    await clickCell(page, move.x, move.y);
    await page.waitForFunction((n) => document.querySelectorAll('#board .stone').length > n, list.length);
  }
  assert.fail('the game does not end');
}

// ---------------------------------------------------------------------------

test('a beginner-level engine loses to simple play; the full engine does not', { timeout: 420000 }, async () => {
  // Level 1 draws its mistakes at random: simple play must win one of up
  // to eight games, which the full engine (below) never lets it do.
  let wins = 0;
  for (let game = 0; game < 8 && wins < 1; game++) {
    const page = await openPage('?size=15&rule=0&time=1000&level=1');
    assert.equal(await page.inputValue('#level'), '1');
    // Checked before the game: the log keeps only its last lines.
    await waitIdle(page);
    assert.match(await engineLog(page), /^> INFO level 1$/m);
    const text = await playSimply(page, 15, BLACK);
    if (/^Black wins/.test(text)) wins++;
    await assertCleanLog(page);
    if (game === 0) await shot(page, 'level-beginner');
    await page.close();
  }
  assert.ok(wins >= 1, 'simple play won none of eight games at level 1');
  // The control: the same simple play against the full engine loses.
  const page = await openPage('?size=15&rule=0&time=300&level=0');
  await waitIdle(page);
  assert.match(await engineLog(page), /^> INFO level 0$/m);
  const text = await playSimply(page, 15, BLACK);
  assert.match(text, /^White wins/);
  await page.close();
});

// The N-best lines of the last think in the log: [{rank, cell, value}].
function lastNBest(log) {
  const rows = log.split('\n');
  const start = rows.lastIndexOf('> YXNBEST 3');
  const found = new Map();
  let answer = null;
  for (const row of rows.slice(start + 1)) {
    const m = /^< MESSAGE \((\d+)\) (\S+) \| ([\d-]+) \| (\d+,\d+)/.exec(row);
    if (m) found.set(Number(m[1]), { rank: Number(m[1]), value: m[2], depth: m[3], cell: m[4] });
    const move = /^< (\d+,\d+)$/.exec(row);
    if (move) { answer = move[1]; break; }
  }
  return { lines: [...found.values()].sort((a, b) => a.rank - b.rank), answer };
}

test('analysis marks the best three moves as the engine\'s N-best answer gives them', { timeout: 120000 }, async (t) => {
  const page = await openPage('?size=15&rule=0&time=1000');
  await importMoves(page, '7,7 8,8 7,8 7,9 8,7');
  await page.check('#analyse');
  await page.waitForFunction(() => document.body.dataset.phase === 'analysing', null, { timeout: 10000 }).catch(() => {});
  await waitIdle(page);
  const log = await engineLog(page);
  if (/^> YXNBEST 3\n< UNKNOWN command$/m.test(log)) {
    t.skip('this engine does not answer YXNBEST yet');
    await page.close();
    return;
  }
  const { lines, answer } = lastNBest(log);
  const marks = await page.$$eval('#board .mark', (nodes) => nodes.map((n) => ({
    rank: Number(n.dataset.rank), cell: `${n.dataset.x},${n.dataset.y}`, value: n.dataset.value,
  })).sort((a, b) => a.rank - b.rank));
  assert.equal(marks.length, 3);
  assert.equal(new Set(marks.map((m) => m.cell)).size, 3, 'three distinct moves');
  assert.deepEqual(marks, lines.slice(0, 3).map((l) => ({ rank: l.rank, cell: l.cell, value: l.value.replace(/^\+(?=\d)/, '') })));
  assert.equal(marks[0].cell, answer, 'the first mark is the engine\'s answer');
  // The depth shown is the best line's, whatever depth a lost line was proven at.
  assert.match(await page.textContent('#analysis'), new RegExp(`depth ${lines[0].depth}$`));
  // The engine placed nothing: the position is as it was.
  assert.equal((await stones(page)).length, 5);
  await assertCleanLog(page);
  await page.close();
});

test('analysis without moving, and a hint, agree with the engine\'s own answer', { timeout: 120000 }, async () => {
  const page = await openPage('?size=15&rule=0&time=500&level=1');
  // Black has an open three on row 7: the engine's best reply is a block at
  // one of its ends, whatever else it thinks of.
  await importMoves(page, '7,7 7,8 8,7 8,8 9,7 3,3');
  assert.equal(await page.evaluate(() => document.body.dataset.phase), 'human');
  await page.check('#analyse');
  await page.waitForFunction(() => document.querySelectorAll('#board .mark').length > 0 &&
    ['human', 'paused'].includes(document.body.dataset.phase), null, { timeout: 30000 });
  const log = await engineLog(page);
  const rows = log.split('\n');
  // The analysis thinks at full strength and restores the level after.
  const asked = rows.lastIndexOf('> INFO level 0');
  assert.ok(asked >= 0, 'analysis at full strength');
  const moves = rows.slice(asked).filter((r) => /^< \d+,\d+$/.test(r)).map((r) => r.slice(2));
  assert.ok(moves.length >= 1);
  const answer = moves[moves.length - 1];
  const marks = await page.$$eval('#board .mark', (nodes) => nodes.map((n) => `${n.dataset.x},${n.dataset.y}`));
  assert.equal(marks[0], answer, 'the first mark is the engine\'s answer');
  if (!rows.includes('> YXNBEST 3') || rows[rows.lastIndexOf('> YXNBEST 3') + 1] === '< UNKNOWN command') {
    // An ordinary think placed the move in the engine's game; it was taken back.
    assert.ok(rows.includes(`> TAKEBACK ${answer}`), 'the engine\'s move was taken back');
  }
  assert.match(await page.textContent('#analysis'), /depth \d+/);
  assert.equal((await stones(page)).length, 6);
  assert.ok(rows.slice(asked).includes('> INFO level 1'), 'the level is set back');

  // The hint: the best move for the side to move, marked, nothing played.
  await page.uncheck('#analyse');
  await page.click('#hint');
  await page.waitForFunction(() => document.querySelector('#board .hint') && document.body.dataset.phase === 'human', null, { timeout: 30000 });
  const hint = await page.$eval('#board .hint', (n) => `${n.dataset.x},${n.dataset.y}`);
  const after = (await engineLog(page)).split('\n').filter((r) => /^< \d+,\d+$/.test(r)).map((r) => r.slice(2));
  assert.equal(hint, after[after.length - 1]);
  assert.ok(['6,7', '10,7'].includes(hint), `the hint ${hint} blocks the open three`);
  assert.equal((await stones(page)).length, 6);
  // The engine's game is still the page's: a move there is answered normally.
  await clickCell(page, 10, 7);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 8, null, { timeout: 30000 });
  await waitIdle(page);
  await assertCleanLog(page);
  await page.close();
});

test('the value graph has a point per move, and a click on it goes to that move', { timeout: 180000 }, async () => {
  const page = await openPage('?size=15&rule=0&time=500');
  // Black makes five along row 7 on its fifth stone.
  const game = '7,7 7,8 8,7 8,8 9,7 9,8 10,7 12,12 11,7';
  await importMoves(page, game);
  assert.equal(await page.textContent('#status'), 'Black wins');
  await page.click('#graph-pass');
  await waitIdle(page, 120000);
  const points = await page.$$eval('#graph .point', (nodes) => nodes.map((n) => ({
    ply: Number(n.dataset.ply), dot: !!n.querySelector('circle'), title: (n.querySelector('title') || {}).textContent || '',
  })));
  assert.equal(points.length, 9);
  assert.deepEqual(points.map((p) => p.ply), [1, 2, 3, 4, 5, 6, 7, 8, 9]);
  assert.ok(points.every((p) => p.dot), 'every move has its value');
  assert.match(points[8].title, /Black 100%/);
  // White's 12,12 ignores the open four: Black is winning before the five.
  assert.match(points[7].title, /Black (9\d|100)%/);
  assert.equal(await page.$eval('#graph', (n) => n.dataset.points), '9');
  // The pass left the engine on the position shown and the page where it was.
  assert.equal((await stones(page)).length, 9);

  const box = await page.$eval('#graph .point[data-ply="4"] .target', (n) => {
    const r = n.getBoundingClientRect();
    return { x: r.left + r.width / 2, y: r.top + r.height / 2 };
  });
  await page.mouse.click(box.x, box.y);
  await page.waitForFunction(() => document.body.dataset.ply === '4');
  await waitIdle(page);
  assert.equal(cells(await stones(page)), '7,7 7,8 8,7 8,8');
  assert.equal(await page.textContent('#move-number'), '4 / 9');
  await shot(page, 'value-graph');
  // The page in analysis mode, for the README: the marks on move 6.
  await page.click('#forward');
  await page.waitForFunction(() => document.body.dataset.ply === '5');
  await waitIdle(page);
  await page.check('#analyse');
  await page.waitForFunction(() => document.querySelectorAll('#board .mark').length > 0 &&
    ['human', 'paused'].includes(document.body.dataset.phase), null, { timeout: 30000 });
  await page.setViewportSize({ width: 1180, height: 1010 });
  await page.focus('#board');
  await shot(page, 'analysis');
  await assertCleanLog(page);
  await page.close();
});

test('stepping back and branching keep the record right', { timeout: 180000 }, async () => {
  const page = await openPage('?size=15&rule=0&time=200');
  const moveNumber = () => page.textContent('#move-number');
  await clickCell(page, 7, 7);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 2);
  await waitIdle(page);
  const taken = new Set(cells(await stones(page)).split(' '));
  const second = ['8,7', '6,7', '7,6', '8,8'].find((c) => !taken.has(c));
  await clickCell(page, ...second.split(',').map(Number));
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 4);
  await waitIdle(page);
  const line = cells(await stones(page));
  assert.equal(await moveNumber(), '4 / 4');

  // Back by button and by key, forward by key, to the ends and back.
  await page.click('#back');
  await page.waitForFunction(() => document.body.dataset.ply === '3');
  await waitIdle(page);
  assert.equal(await page.evaluate(() => document.body.dataset.phase), 'paused', 'the engine\'s side waits');
  await page.focus('#board');
  await page.keyboard.press('PageUp');
  await page.waitForFunction(() => document.body.dataset.ply === '2');
  await waitIdle(page);
  assert.equal(cells(await stones(page)), line.split(' ').slice(0, 2).join(' '));
  assert.equal(await moveNumber(), '2 / 4');
  await page.keyboard.press('PageDown');
  await page.waitForFunction(() => document.body.dataset.ply === '3');
  await page.keyboard.press('End');
  await page.waitForFunction(() => document.body.dataset.ply === '4');
  await waitIdle(page);
  assert.equal(cells(await stones(page)), line);
  await page.keyboard.press('Home');
  await page.waitForFunction(() => document.body.dataset.ply === '0');
  await waitIdle(page);
  assert.equal((await stones(page)).length, 0);
  // Presses faster than the engine takes each step still all count.
  await page.keyboard.press('PageDown');
  await page.keyboard.press('PageDown');
  await page.keyboard.press('PageDown');
  await page.waitForFunction(() => document.body.dataset.ply === '3');
  await waitIdle(page);
  assert.equal(cells(await stones(page)), line.split(' ').slice(0, 3).join(' '));
  await page.keyboard.press('Home');
  await page.waitForFunction(() => document.body.dataset.ply === '0');
  await waitIdle(page);
  await page.click('#forward');
  await page.waitForFunction(() => document.body.dataset.ply === '1');
  await waitIdle(page);
  await page.click('#forward');
  await page.waitForFunction(() => document.body.dataset.ply === '2');
  await waitIdle(page);
  assert.equal(await moveNumber(), '2 / 4');

  // Playing the move the line already has follows it: nothing is lost.
  await clickCell(page, ...line.split(' ')[2].split(',').map(Number));
  await page.waitForFunction(() => document.body.dataset.ply === '3');
  await waitIdle(page);
  assert.equal(await moveNumber(), '3 / 4');
  await page.click('#back');
  await page.waitForFunction(() => document.body.dataset.ply === '2');
  await waitIdle(page);

  // Another move branches: the engine answers it, and the line is the first
  // two moves, the new one and the reply.
  const shown = new Set(line.split(' '));
  const branch = ['6,6', '8,6', '6,8', '9,9'].find((c) => !shown.has(c));
  await clickCell(page, ...branch.split(',').map(Number));
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 4 && document.body.dataset.phase !== 'thinking');
  await waitIdle(page);
  const branched = cells(await stones(page)).split(' ');
  assert.deepEqual(branched.slice(0, 3), [...line.split(' ').slice(0, 2), branch]);
  assert.equal(await moveNumber(), '4 / 4');
  assert.ok(await page.isDisabled('#forward'));
  await page.click('#export');
  assert.equal(await page.inputValue('#record'), branched.join(' '));

  // The old line is kept until the next branch: back to it, at the fork.
  await page.click('#old-line');
  await page.waitForFunction(() => document.body.dataset.ply === '2');
  await waitIdle(page);
  assert.equal(await moveNumber(), '2 / 4');
  await page.click('#last');
  await page.waitForFunction(() => document.body.dataset.ply === '4');
  await waitIdle(page);
  assert.equal(cells(await stones(page)), line);
  // ... and the branch is now the one kept.
  await page.click('#old-line');
  await page.waitForFunction(() => document.body.dataset.ply === '2');
  await waitIdle(page);
  await page.click('#last');
  await page.waitForFunction(() => document.body.dataset.ply === '4');
  await waitIdle(page);
  assert.equal(cells(await stones(page)), branched.join(' '));

  // The engine's game is the shown one: it goes on from here without errors.
  await page.click('#back');
  await page.waitForFunction(() => document.body.dataset.ply === '3');
  await waitIdle(page);
  await page.click('#engine-move');
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 4 && document.body.dataset.phase !== 'thinking');
  await waitIdle(page);
  assert.deepEqual(cells(await stones(page)).split(' ').slice(0, 3), branched.slice(0, 3));
  await assertCleanLog(page);
  await page.close();
});

test('a .psq record saved and opened again gives the same game; move lists in both notations', { timeout: 120000 }, async () => {
  const page = await openPage('?w=12&h=9&rule=1&time=200');
  const game = '5,4 6,5 4,3 6,3 6,4 3,2 4,4 7,4 3,4';
  await importMoves(page, game);
  assert.equal(cells(await stones(page)), game);

  const [download] = await Promise.all([page.waitForEvent('download'), page.click('#save-psq')]);
  const file = path.join(ARTIFACTS, 'saved.psq');
  await download.saveAs(file);
  const rows = fs.readFileSync(file, 'utf8').split(/\r?\n/).filter((r) => r !== '');
  assert.match(rows[0], /^Piskvorky 12x9, \d+:\d+, \d+$/);
  const moves = rows.slice(1, -1);
  assert.deepEqual(moves.map((r) => r.split(',').slice(0, 2).map(Number).map((v) => v - 1).join(',')), game.split(' '));
  assert.ok(moves.every((r) => /^\d+,\d+,\d+$/.test(r)));
  assert.match(rows[rows.length - 1], /^-?\d+$/);

  // Another game on another board, then the file opened: the same game on
  // the file's board.
  await page.selectOption('#width', '15');
  await page.selectOption('#height', '15');
  await page.click('#new-game');
  await waitIdle(page);
  await clickCell(page, 7, 7);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 2);
  await waitIdle(page);
  await page.setInputFiles('#file', file);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 9);
  await waitIdle(page);
  assert.equal(cells(await stones(page)), game);
  assert.equal(await page.inputValue('#width'), '12');
  assert.equal(await page.inputValue('#height'), '9');
  assert.equal(await page.$$eval('#board .grid line', (ls) => ls.length), 12 + 9);

  // A record from elsewhere: other a:b and c, names and a closing number
  // after the moves.
  const foreign = ['Piskvorky 15x15, 3:5, 1', '8,8,0', '9,9,1250', '9,8,0', '10,10,0', 'Someone', 'Someone else', '-1', ''].join('\r\n');
  await page.setInputFiles('#file', { name: 'other.psq', mimeType: 'text/plain', buffer: Buffer.from(foreign) });
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 4);
  await waitIdle(page);
  assert.equal(cells(await stones(page)), '7,7 8,8 8,7 9,9');

  // a1 notation: the labels change, the list is written and read in it.
  await page.selectOption('#notation', 'a1');
  const labels = await page.$$eval('#board .label', (ns) => ns.map((n) => n.textContent));
  assert.deepEqual(labels.slice(0, 15), 'abcdefghijklmno'.split(''));
  assert.deepEqual(labels.slice(15), Array.from({ length: 15 }, (_, y) => String(15 - y)));
  await page.click('#export');
  assert.equal(await page.inputValue('#record'), 'h8 i7 i8 j6');
  await importMoves(page, 'h8 i9 j10 a1 o15');
  assert.equal(cells(await stones(page)), '7,7 8,6 9,5 0,14 14,0');
  await page.selectOption('#notation', 'xy');
  await page.click('#export');
  assert.equal(await page.inputValue('#record'), '7,7 8,6 9,5 0,14 14,0');
  // Bad lists change nothing.
  await page.fill('#record', 'h8 z99');
  await page.click('#import');
  assert.match(await page.textContent('#status'), /Import: “z99” is not a move/);
  assert.equal((await stones(page)).length, 5);
  await assertCleanLog(page);
  await page.close();
});

test('on a phone the whole board shows without scrolling sideways, and a tap plays', { timeout: 120000 }, async () => {
  const phone = await browser.newContext({
    viewport: { width: 390, height: 844 }, deviceScaleFactor: 3, isMobile: true, hasTouch: true,
  });
  try {
    for (const query of ['?size=15&rule=0&time=300', '?size=22&rule=0&time=300', '?w=20&h=12&rule=0&time=300']) {
      const page = await openPage(query, phone);
      const fit = await page.evaluate(() => {
        const r = document.getElementById('board').getBoundingClientRect();
        return {
          scroll: document.documentElement.scrollWidth, width: window.innerWidth, height: window.innerHeight,
          left: r.left, right: r.right, top: r.top, bottom: r.bottom,
        };
      });
      assert.ok(fit.scroll <= fit.width, `page ${fit.scroll} px wide in a ${fit.width} px screen (${query})`);
      assert.ok(fit.left >= 0 && fit.right <= fit.width, `board from ${fit.left} to ${fit.right} (${query})`);
      assert.ok(fit.top >= 0 && fit.bottom <= fit.height, `board from ${fit.top} to ${fit.bottom} down (${query})`);
      assert.ok(fit.right - fit.left >= 0.85 * fit.width, 'the board uses the width of the screen');
      if (query.includes('size=15')) {
        const point = await cellPoint(page, 7, 7);
        await page.touchscreen.tap(point.left, point.top);
        await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 2, null, { timeout: 30000 });
        await waitIdle(page);
        assert.deepEqual((await stones(page))[0], { x: 7, y: 7, n: 1, colour: BLACK });
        await shot(page, 'phone');
      }
      await assertCleanLog(page);
      await page.close();
    }
  } finally {
    await phone.close();
  }
});
