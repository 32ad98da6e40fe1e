// Browser tests of the board page: Debian's Chromium, headless, driven by
// playwright-core, against build/web served by a small static server of the
// test's own on a free port of 127.0.0.1. Every test opens a fresh page, so a
// fresh engine worker, and leaves a screenshot in build/web-test-artifacts/.
//
// The tests read what a player sees: stones, marks and ghost stones are SVG
// elements with data-x / data-y, the phase of the page is on <body
// data-phase>, the last reply time on #reply-time data-ms. Wins are judged
// again here by a five finder of the test's own.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const { ARTIFACTS, CHROMIUM, BROWSER_ARGS, startSiteServer } = require('./site_server.js');
// A reply may take the time per move plus this before it counts as late: the
// page's own message passing, and a machine shared with other work.
const REPLY_TOLERANCE_MS = 1500;

const BLACK = 1, WHITE = 2;
const FREESTYLE = 0, STANDARD = 1, RENJU = 2;

let server, baseUrl, context, profile;

before(async () => {
  ({ server, baseUrl } = await startSiteServer());
  profile = fs.mkdtempSync(path.join(os.tmpdir(), 'ruvan-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1180, height: 860 },
    args: BROWSER_ARGS,
  });
});

after(async () => {
  if (context) await context.close();
  if (server) server.close();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

// ---------------------------------------------------------------------------
// Page helpers.

async function openPage(query) {
  const page = await context.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.problems = problems;
  // Everything the page loads comes from the local server: it works offline.
  page.on('request', (r) => {
    if (!r.url().startsWith(baseUrl) && !r.url().startsWith('data:')) problems.push('outside request: ' + r.url());
  });
  page.opened = Date.now();
  await page.goto(baseUrl + query);
  await waitIdle(page);
  return page;
}

// Waits until nobody is thinking and the page takes input (or the game is over).
async function waitIdle(page, timeout = 30000) {
  await page.waitForFunction(() => ['human', 'paused', 'over'].includes(document.body.dataset.phase), null, { timeout });
  return page.evaluate(() => document.body.dataset.phase);
}

async function stones(page) {
  return page.$$eval('#board .stone', (nodes) => nodes.map((n) => ({
    x: Number(n.dataset.x), y: Number(n.dataset.y), n: Number(n.dataset.n),
    colour: n.classList.contains('black') ? 1 : 2, win: n.classList.contains('win'),
  })).sort((a, b) => a.n - b.n));
}

async function forbidden(page) {
  const cells = await page.$$eval('#board .forbid', (nodes) => nodes.map((n) => [Number(n.dataset.x), Number(n.dataset.y)]));
  return cells.map(([x, y]) => `${x},${y}`).sort();
}

// Clicks the intersection (x, y), located from the drawn grid lines: the
// first lines of the grid are the columns, left to right, then the rows.
async function clickCell(page, x, y) {
  const point = await page.evaluate(([cx, cy]) => {
    const svg = document.getElementById('board');
    const lines = svg.querySelectorAll('.grid line');
    const x0 = Number(lines[0].getAttribute('x1')), step = Number(lines[1].getAttribute('x1')) - x0;
    const y0 = Number(lines[0].getAttribute('y1'));
    const box = svg.getBoundingClientRect(), scale = box.width / svg.viewBox.baseVal.width;
    return { left: box.left + (x0 + cx * step) * scale, top: box.top + (y0 + cy * step) * scale };
  }, [x, y]);
  await page.mouse.click(point.left, point.top);
}

async function phase(page) { return page.evaluate(() => document.body.dataset.phase); }
async function status(page) { return page.textContent('#status'); }
async function engineLog(page) { return page.textContent('#log'); }

async function shot(page, name) {
  await page.screenshot({ path: path.join(ARTIFACTS, name + '.png') });
}

// Engine lines that mean the page and the engine disagreed about the game.
async function assertCleanLog(page) {
  const text = await engineLog(page);
  const bad = text.split('\n').filter((l) => /^< (ERROR|UNKNOWN)|^!/.test(l));
  assert.deepEqual(bad, [], 'engine complaints in the log');
  assert.deepEqual(page.problems, [], 'errors in the page');
}

// After the engine's move: the rest of the principal variation of the
// analysis line (when it starts with the move played) is on the board as
// ghost stones numbered from 1, in alternating colours from the side to move.
async function checkGhosts(page, list) {
  const text = await page.textContent('#analysis');
  const pv = (/pv (.*)$/m.exec(text) || [, ''])[1].trim().split(/\s+/).filter(Boolean);
  const last = list[list.length - 1];
  const ghosts = await page.$$eval('#board .ghost', (nodes) => nodes.map((n) => ({
    cell: `${n.dataset.x},${n.dataset.y}`, n: Number(n.dataset.n), colour: n.classList.contains('black') ? 1 : 2,
  })));
  if (pv[0] !== `${last.x},${last.y}`) {
    assert.deepEqual(ghosts, []);
    return;
  }
  const taken = new Set(list.map((st) => `${st.x},${st.y}`));
  const toMove = list.length % 2 === 0 ? BLACK : WHITE;
  const expected = pv.slice(1).map((cell, i) => ({ cell, n: i + 1, colour: i % 2 === 0 ? toMove : 3 - toMove }))
    .filter((g) => !taken.has(g.cell));
  assert.deepEqual(ghosts, expected);
}

// ---------------------------------------------------------------------------
// An independent judge: every line of `length` or more stones of one colour.

function lines(board, width, height) {
  const found = [];
  const at = (x, y) => (x >= 0 && y >= 0 && x < width && y < height ? board[x][y] : 0);
  for (let x = 0; x < width; x++) {
    for (let y = 0; y < height; y++) {
      const c = board[x][y];
      if (!c) continue;
      for (const [dx, dy] of [[1, 0], [0, 1], [1, 1], [1, -1]]) {
        if (at(x - dx, y - dy) === c) continue;   // not the start of the run
        const cells = [];
        for (let k = 0; at(x + k * dx, y + k * dy) === c; k++) cells.push(`${x + k * dx},${y + k * dy}`);
        if (cells.length >= 5) found.push({ colour: c, cells });
      }
    }
  }
  return found;
}

function winsUnder(rule, run) {
  const exact = rule === STANDARD || (rule === RENJU && run.colour === BLACK);
  return exact ? run.cells.length === 5 : run.cells.length >= 5;
}

// Checks the end of a finished game against the stones on the board.
async function checkGameEnd(page, rule, width, height) {
  const list = await stones(page);
  const board = Array.from({ length: width }, () => new Array(height).fill(0));
  for (const s of list) board[s.x][s.y] = s.colour;
  const winners = lines(board, width, height).filter((run) => winsUnder(rule, run));
  const text = await status(page);
  const highlighted = list.filter((s) => s.win).map((s) => `${s.x},${s.y}`).sort();
  if (/wins/.test(text) && !/forbidden/.test(text)) {
    assert.equal(winners.length >= 1, true, 'a win is announced without a five: ' + text);
    const colour = winners[0].colour;
    assert.match(text, colour === BLACK ? /^Black wins/ : /^White wins/);
    // The last stone made the five, and exactly the winning lines light up.
    const last = list[list.length - 1];
    assert.equal(last.colour, colour);
    const expected = [...new Set(winners.filter((r) => r.cells.includes(`${last.x},${last.y}`)).flatMap((r) => r.cells))].sort();
    assert.deepEqual(highlighted, expected);
  } else {
    assert.match(text, /^Draw/);
    assert.deepEqual(winners, []);
    assert.deepEqual(highlighted, []);
  }
  // The record as exported lists the stones in the order they were played.
  await page.click('#export');
  const record = (await page.inputValue('#record')).trim();
  assert.equal(record, list.map((s) => `${s.x},${s.y}`).join(' '));
  return { text, moves: list.length };
}

// Plays naive moves for the player until the game ends: the first empty,
// not forbidden cell in a fixed scan that starts at a corner, so the engine
// should win quickly. Returns the number of moves the test played.
async function playUntilOver(page, width, height, cap = 60) {
  let played = 0;
  while ((await phase(page)) !== 'over') {
    assert.equal(await phase(page), 'human');
    assert.ok(played < cap, 'the game does not end');
    const taken = new Set((await stones(page)).map((s) => `${s.x},${s.y}`));
    const banned = new Set(await forbidden(page));
    let move = null;
    for (let y = 0; y < height && !move; y++) {
      for (let x = 0; x < width && !move; x++) {
        const k = `${x},${y}`;
        if (!taken.has(k) && !banned.has(k)) move = [x, y];
      }
    }
    assert.ok(move, 'no cell left to play');
    const before = (await stones(page)).length;
    await clickCell(page, ...move);
    await page.waitForFunction((n) => document.querySelectorAll('#board .stone').length > n, before);
    played++;
    await waitIdle(page);
  }
  return played;
}

// ---------------------------------------------------------------------------

for (const [rule, name, engineSide] of [[FREESTYLE, 'free style', 'white'], [STANDARD, 'standard', 'white'], [RENJU, 'renju', 'black']]) {
  test(`a whole game against the engine under ${name}, judged by the page`, { timeout: 240000 }, async () => {
    const page = await openPage(`?w=9&h=9&rule=${rule}&time=150&engine=${engineSide}`);
    const played = await playUntilOver(page, 9, 9);
    const end = await checkGameEnd(page, rule, 9, 9);
    assert.ok(played > 0);
    // Naive moves lose: the engine must have won.
    assert.match(end.text, engineSide === 'black' ? /^Black wins/ : /^White wins/);
    // No stone may be added once the game is over.
    const count = (await stones(page)).length;
    await clickCell(page, 8, 8);
    await clickCell(page, 0, 8);
    assert.equal((await stones(page)).length, count);
    await assertCleanLog(page);
    await shot(page, `game-${name.replace(' ', '-')}`);
    await page.close();
  });
}

test('the engine plays both sides on 7 x 7 through "Engine move" until the game ends', { timeout: 240000 }, async () => {
  const page = await openPage('?size=7&rule=0&time=100');
  let presses = 0;
  while ((await phase(page)) !== 'over') {
    assert.ok(presses <= 49, 'more moves than cells');
    const before = (await stones(page)).length;
    await page.click('#engine-move');
    await page.waitForFunction((n) => document.querySelectorAll('#board .stone').length > n || document.body.dataset.phase === 'over', before);
    await waitIdle(page);
    presses++;
  }
  const end = await checkGameEnd(page, FREESTYLE, 7, 7);
  assert.equal(end.moves, presses);
  await assertCleanLog(page);
  await shot(page, 'engine-both-sides');
  await page.close();
});

test("Black's forbidden points are marked under Renju and cannot be played", { timeout: 120000 }, async () => {
  // Black has two stones on row 7 and two on column 7: 7,7 would make two
  // open threes at once. Nothing else is forbidden (each other point makes
  // at most one three). White's stones sit in the corners.
  const record = '5,7 0,0 6,7 0,14 7,5 14,0 7,6 14,14';
  const page = await openPage('?size=15&rule=2&time=300');
  await page.fill('#record', record);
  await page.click('#import');
  await waitIdle(page);
  assert.equal((await stones(page)).length, 8);
  assert.deepEqual(await forbidden(page), ['7,7']);
  assert.match(await status(page), /Your move \(Black\)/);

  // The page refuses the forbidden point.
  await clickCell(page, 7, 7);
  assert.equal((await stones(page)).length, 8);
  assert.match(await status(page), /forbidden/);

  // A legal move; the engine answers, and the marks follow the new position:
  // 7,7 stays forbidden unless White's reply took away one of the threes.
  await clickCell(page, 10, 10);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 10);
  await waitIdle(page);
  const list = await stones(page);
  const reply = list[9];
  const blocksRow = reply.y === 7 && [3, 4, 8, 9].includes(reply.x);
  const blocksColumn = reply.x === 7 && [3, 4, 8, 9].includes(reply.y);
  if (!blocksRow && !blocksColumn && !(reply.x === 7 && reply.y === 7)) {
    assert.ok((await forbidden(page)).includes('7,7'));
  }
  await shot(page, 'renju-forbidden');

  // The same position under free style has no forbidden point.
  await page.selectOption('#rule', '0');
  await page.fill('#record', record);
  await page.click('#import');
  await waitIdle(page);
  assert.deepEqual(await forbidden(page), []);
  await clickCell(page, 7, 7);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 10);
  await waitIdle(page);
  await assertCleanLog(page);
  await page.close();
});

test('an overline wins under free style, not under standard, and is forbidden to Black under Renju', { timeout: 120000 }, async () => {
  // Black: 1,4 2,4 3,4 and 5,4 6,4 on one row; 4,4 joins them into six.
  const record = '1,4 0,0 2,4 0,8 3,4 8,0 5,4 8,8 6,4 0,2';
  const page = await openPage('?size=9&rule=0&time=150');
  const load = async (rule) => {
    await page.selectOption('#rule', String(rule));
    await page.fill('#record', record);
    await page.click('#import');
    await waitIdle(page);
    assert.equal(await phase(page), 'human');
  };

  await load(FREESTYLE);
  await clickCell(page, 4, 4);
  await page.waitForFunction(() => document.body.dataset.phase === 'over');
  await checkGameEnd(page, FREESTYLE, 9, 9);
  assert.match(await status(page), /^Black wins/);
  assert.equal((await stones(page)).filter((s) => s.win).length, 6);

  await load(STANDARD);
  await clickCell(page, 4, 4);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 12);
  await waitIdle(page);
  assert.equal((await stones(page)).filter((s) => s.win).length, 0);
  assert.doesNotMatch(await status(page), /Black wins/);

  await load(RENJU);
  assert.ok((await forbidden(page)).includes('4,4'));
  await clickCell(page, 4, 4);
  assert.equal((await stones(page)).length, 10);
  assert.match(await status(page), /forbidden/);
  await assertCleanLog(page);
  await shot(page, 'overline');
  await page.close();
});

test('undo takes back the engine reply with your move, or the one last move', { timeout: 120000 }, async () => {
  const page = await openPage('?size=9&rule=0&time=150');
  await clickCell(page, 4, 4);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 2);
  await waitIdle(page);
  await page.click('#undo');
  await waitIdle(page);
  assert.deepEqual(await stones(page), []);
  assert.equal(await phase(page), 'human');

  // The engine's game was taken back as well: it accepts moves on the same
  // cells, and its replies land on empty cells.
  await clickCell(page, 4, 4);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 2);
  await waitIdle(page);
  // The engine's reply depends on its search: the second move goes to the
  // first of these cells it left empty.
  let list = await stones(page);
  const [mx, my] = [[3, 3], [5, 5], [3, 5]].find(([x, y]) => !list.some((s) => s.x === x && s.y === y));
  await clickCell(page, mx, my);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 4);
  await waitIdle(page);
  list = await stones(page);
  assert.equal(new Set(list.map((s) => `${s.x},${s.y}`)).size, 4);
  await page.click('#undo');
  await waitIdle(page);
  list = await stones(page);
  assert.equal(list.length, 2);
  assert.equal(`${list[0].x},${list[0].y}`, '4,4');
  assert.ok(!list.some((s) => s.x === mx && s.y === my));

  // Swap: the engine takes Black, whose move it is, and plays at once.
  await page.click('#swap');
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 3);
  await waitIdle(page);
  assert.equal(await phase(page), 'human');
  assert.match(await status(page), /Your move \(White\)/);

  // A new game keeps the engine on Black: its lone opening stone is taken
  // back alone, and the engine is to move again.
  await page.click('#new-game');
  await waitIdle(page);
  assert.equal((await stones(page)).length, 1, 'the engine opens as Black');
  await page.click('#undo');
  await waitIdle(page);
  assert.equal((await stones(page)).length, 0);
  assert.equal(await phase(page), 'paused');
  await page.click('#engine-move');
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 1);
  await waitIdle(page);
  await assertCleanLog(page);
  await shot(page, 'undo');
  await page.close();
});

test('a rectangular board, and a new game while the engine thinks', { timeout: 120000 }, async () => {
  const page = await openPage('?w=12&h=7&rule=1&time=1500');
  const grid = await page.$$eval('#board .grid line', (ls) => ls.length);
  assert.equal(grid, 12 + 7);
  // White's four down column 5 ends on the bottom edge, with Black above it:
  // dead on this board, a win at 5,7 for an engine that believed the board
  // went on below.
  await page.fill('#record', '0,0 5,3 5,2 5,4 11,0 5,5 0,6 5,6');
  await page.click('#import');
  await waitIdle(page);
  await clickCell(page, 11, 6);
  await waitIdle(page);
  assert.equal(await phase(page), 'human', await status(page));
  const list = await stones(page);
  assert.equal(list.length, 10);
  assert.deepEqual([list[8].x, list[8].y], [11, 6]);
  assert.ok(list[9].x < 12 && list[9].y < 7, 'the reply lies on the board');

  // New game on 9 x 9 while the engine still thinks about the old one: its
  // late reply must not land on the new board.
  await page.click('#new-game');
  await waitIdle(page);
  await clickCell(page, 5, 3);
  assert.equal(await phase(page), 'thinking');
  await page.selectOption('#width', '9');
  await page.selectOption('#height', '9');
  await page.click('#new-game');
  await waitIdle(page);
  assert.deepEqual(await stones(page), []);
  assert.equal(await page.$$eval('#board .grid line', (ls) => ls.length), 18);
  await clickCell(page, 4, 4);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 2);
  await waitIdle(page);
  // Two stones only: the old game's reply was dropped.
  await page.waitForTimeout(300);
  assert.equal((await stones(page)).length, 2);
  await assertCleanLog(page);
  await shot(page, 'rectangular-new-game');
  await page.close();
});

test('the engine answers within its time per move; keyboard play', { timeout: 180000 }, async () => {
  const TIME = 300;
  const page = await openPage(`?size=15&rule=0&time=${TIME}`);
  // The page takes moves once its engine has loaded; on a loaded machine
  // that can be after the first key press, which would then be lost and
  // the Enter on a button below would prove nothing.
  await waitIdle(page);
  // The arrows move the cursor from a button too; Enter there presses the
  // button rather than playing.
  const cursorAt = () => page.$eval('#board .cursor', (n) => `${n.dataset.x},${n.dataset.y}`);
  await page.focus('#export');
  await page.keyboard.press('ArrowLeft');
  assert.equal(await cursorAt(), '6,7');
  await page.keyboard.press('Enter');
  assert.equal((await stones(page)).length, 0);
  await page.keyboard.press('ArrowRight');
  await page.focus('#board');
  const replies = [];
  // Cursor starts on the centre; each turn moves it and plays with Enter or Space.
  const paths = [[], ['ArrowRight', 'ArrowDown'], ['ArrowLeft', 'ArrowLeft', 'ArrowLeft'], ['ArrowUp', 'ArrowUp'], ['ArrowRight']];
  for (let i = 0; i < paths.length; i++) {
    for (const k of paths[i]) await page.keyboard.press(k);
    // The engine's replies depend on its search, so the path may end on one
    // of its stones: step down until the cursor is on an empty cell.
    const taken = new Set((await stones(page)).map((s) => `${s.x},${s.y}`));
    for (let steps = 0; taken.has(await cursorAt()) && steps < 15; steps++) await page.keyboard.press('ArrowDown');
    const target = await cursorAt();
    assert.ok(!taken.has(target), `the cursor found no empty cell below ${target}`);
    const before = (await stones(page)).length;
    await page.keyboard.press(i % 2 ? 'Space' : 'Enter');
    await page.waitForFunction((n) => document.querySelectorAll('#board .stone').length >= n + 2 || document.body.dataset.phase === 'over', before);
    await waitIdle(page);
    const list = await stones(page);
    assert.equal(`${list[before].x},${list[before].y}`, target, 'the stone went where the cursor was');
    await checkGhosts(page, list);
    const ms = Number(await page.$eval('#reply-time', (n) => n.dataset.ms));
    const count = Number(await page.$eval('#reply-time', (n) => n.dataset.count));
    assert.equal(count, i + 1);
    replies.push(ms);
    if ((await phase(page)) === 'over') break;
  }
  console.log(`reply times at ${TIME} ms a move: ${replies.join(', ')} ms`);
  for (const ms of replies) {
    assert.ok(ms > 0 && ms < TIME + REPLY_TOLERANCE_MS, `reply after ${ms} ms`);
  }
  // The analysis of the last think is on the page.
  assert.match(await page.textContent('#analysis'), /^depth \d+ +eval \S+ +nodes [\d,]+/);
  await assertCleanLog(page);
  await shot(page, 'reply-time');
  await page.close();
});

test('first move of the engine after the page opens (measured, not judged)', { timeout: 60000 }, async () => {
  const page = await context.newPage();
  await page.goto(baseUrl + '?size=15&rule=0&time=1000&engine=black');
  await page.waitForFunction(() => document.body.dataset.firstMoveMs !== undefined, null, { timeout: 30000 });
  const ms = Number(await page.evaluate(() => document.body.dataset.firstMoveMs));
  console.log(`engine's first move ${ms} ms after navigation start`);
  assert.equal((await stones(page)).length, 1);
  await page.close();
});

test('overview screenshot: Renju game in progress with the engine line drawn', { timeout: 120000 }, async () => {
  // Black's 7,7 is a double three, so White's diagonal through it cannot be
  // stopped there: the engine sees a forced win and draws its line.
  const page = await openPage('?size=15&rule=2&time=1500');
  await page.fill('#record', '5,7 8,8 6,7 6,6 7,5 8,5 7,6 4,8');
  await page.click('#import');
  await waitIdle(page);
  assert.deepEqual(await forbidden(page), ['7,7']);
  await clickCell(page, 9, 4);
  await page.waitForFunction(() => document.querySelectorAll('#board .stone').length === 10);
  await waitIdle(page);
  await page.click('#export');
  await page.focus('#board');
  await shot(page, 'overview');
  await page.close();
});
