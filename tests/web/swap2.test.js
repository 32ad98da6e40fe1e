// Browser tests of the Swap2 opening on the board page: a person who places
// the first three stones, a person who answers the engine's three, and
// every form of answer the engine may give checked on the board, the
// colours each side plays and whose move it is; then the game goes on, and
// its record is the stones in their order. The engine's answers depend on
// its search, so the real-engine tests follow whichever answer comes and
// check it against the page; a scripted engine (a stand-in for the worker)
// gives the answers a search would give only by chance, and bad ones.
// Same set-up as study.test.js.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');

const { ROOT, CHROMIUM, BROWSER_ARGS, startSiteServer } = require('./site_server.js');
const helpers = require('./page_helpers.js');
const { waitIdle, phase, stones, cells, clickCell, engineLog, assertCleanLog, shot } = helpers;
const BLACK = 1, WHITE = 2;
const colourName = (c) => (c === BLACK ? 'Black' : 'White');
const NATIVE = path.join(ROOT, 'build', 'release', 'ruvan');

let server, baseUrl, browser, context;

before(async () => {
  ({ server, baseUrl } = await startSiteServer());
  browser = await chromium.launch({ executablePath: CHROMIUM, headless: true, args: BROWSER_ARGS });
  context = await browser.newContext({ viewport: { width: 1180, height: 900 } });
});

after(async () => {
  if (browser) await browser.close();
  if (server) server.close();
});

// Short thinks at a low level: the tests are about the page, not the play.
const QUERY = '?size=15&rule=0&time=300&level=1';

// Waits until the page waits for the person: a move, a stone or a choice of
// the opening, or the end of the game. Resolves with the phase.
async function waitForPerson(page, timeout = 60000) {
  await page.waitForFunction(() => ['human', 'paused', 'over', 'opening'].includes(document.body.dataset.phase), null, { timeout });
  return phase(page);
}

async function swap2Step(page) { return page.evaluate(() => document.body.dataset.swap2); }

async function newSwap2Game(page, opening) {
  await page.selectOption('#opening', opening);
  await page.click('#new-game');
  return waitForPerson(page);
}

// The last SWAP2BOARD block in the engine log and its answer (the first
// line after DONE that is not a MESSAGE): {sent: ['x,y'...], answer}.
function lastSwap2(log) {
  const rows = log.split('\n');
  const start = rows.lastIndexOf('> SWAP2BOARD');
  assert.ok(start >= 0, 'SWAP2BOARD was sent');
  const sent = [];
  let i = start + 1;
  for (; rows[i] !== '> DONE'; i++) sent.push(rows[i].slice(2));
  const answer = rows.slice(i + 1).find((r) => r.startsWith('< ') && !r.startsWith('< MESSAGE '));
  return { sent, answer: answer && answer.slice(2) };
}

// An empty cell near the centre, found in a fixed spiral; the board of the
// page is 15 x 15 in these tests.
function emptyCell(list) {
  const taken = new Set(list.map((s) => `${s.x},${s.y}`));
  for (let r = 0; r < 8; r++) {
    for (let dx = -r; dx <= r; dx++) {
      for (let dy = -r; dy <= r; dy++) {
        const x = 7 + dx, y = 7 + dy;
        if (Math.max(Math.abs(dx), Math.abs(dy)) === r && !taken.has(`${x},${y}`)) return [x, y];
      }
    }
  }
  return null;
}

// Stones alternate Black, White from the first, on distinct cells.
function checkStones(list) {
  assert.equal(new Set(list.map((s) => `${s.x},${s.y}`)).size, list.length, 'a cell holds two stones');
  list.forEach((s, i) => {
    assert.equal(s.n, i + 1);
    assert.equal(s.colour, i % 2 === 0 ? BLACK : WHITE, `stone ${i + 1} has the wrong colour`);
    assert.ok(s.x >= 0 && s.y >= 0 && s.x < 15 && s.y < 15);
  });
}

// After the opening: the page says the person plays `you`, and it is the
// person's move with the side to move by the stones.
async function checkYourMove(page, you) {
  assert.equal(await phase(page), 'human', await page.textContent('#status'));
  assert.equal(await page.textContent('#colours'), `You play ${colourName(you)}, the engine plays ${colourName(3 - you)}.`);
  const list = await stones(page);
  const toMove = list.length % 2 === 0 ? BLACK : WHITE;
  assert.equal(toMove, you, 'the stones say it is the other side\'s move');
  assert.equal(await page.textContent('#status'), `Your move (${colourName(you)}).`);
  assert.ok(await page.isHidden('#swap2-choice'));
}

// One move of the person's and the engine's reply: the reply is the
// engine's colour on an empty cell, and it is the person's move again.
async function playOneEach(page, you) {
  const list = await stones(page);
  const [x, y] = emptyCell(list);
  await clickCell(page, x, y);
  await page.waitForFunction((n) => document.querySelectorAll('#board .stone').length >= n + 2 ||
    document.body.dataset.phase === 'over', list.length);
  await waitIdle(page);
  const after = await stones(page);
  assert.equal(after.length, list.length + 2);
  assert.deepEqual(after.slice(0, list.length), list);
  assert.deepEqual([after[list.length].x, after[list.length].y, after[list.length].colour], [x, y, you]);
  assert.equal(after[list.length + 1].colour, 3 - you);
  checkStones(after);
  await checkYourMove(page, you);
  // The engine's reply came as a move of an ordinary game.
  const rows = (await engineLog(page)).split('\n');
  assert.ok(rows.includes(`> TURN ${x},${y}`), 'the move went to the engine as TURN');
  assert.equal(rows[rows.length - 1], `< ${after[list.length + 1].x},${after[list.length + 1].y}`);
  return after;
}

// The record of the game is the stones in their order; stepping back to the
// start and forward again shows them again; undo takes back the moves after
// the opening and no more.
async function checkRecord(page, openingStones) {
  const list = await stones(page);
  await page.click('#export');
  assert.equal((await page.inputValue('#record')).trim(), cells(list));
  await page.click('#first');
  await page.waitForFunction(() => document.body.dataset.ply === '0');
  await waitIdle(page);
  assert.equal((await stones(page)).length, 0);
  await page.click('#last');
  await page.waitForFunction((n) => document.body.dataset.ply === String(n), list.length);
  await waitIdle(page);
  assert.deepEqual(await stones(page), list);
  while (!(await page.isDisabled('#undo'))) {
    const before = (await stones(page)).length;
    await page.click('#undo');
    await page.waitForFunction((n) => document.querySelectorAll('#board .stone').length < n, before);
    await waitIdle(page);
  }
  assert.deepEqual(await stones(page), list.slice(0, openingStones), 'undo stops at the opening');
}

// ---------------------------------------------------------------------------

// Three openings of the person's: Black well placed against a stray White
// stone, Black's stones stray against a central White one, and a close
// opening; whichever answer the engine gives, the page must follow it.
test('Swap2, the person opens: the engine\'s answer on the board, the colours and the game after it', { timeout: 240000 }, async () => {
  const openings = [[[7, 7], [0, 0], [8, 8]], [[0, 0], [7, 7], [14, 14]], [[7, 7], [8, 8], [7, 9]]];
  const seen = [];
  const page = await helpers.openPage(context, baseUrl + QUERY);
  for (const opening of openings) {
    assert.equal(await newSwap2Game(page, 'swap2-you'), 'opening');
    assert.equal(await swap2Step(page), 'place3');
    assert.equal(await page.textContent('#status'), 'Your stone 1 of 3 (Black).');
    assert.equal(await page.textContent('#colours'), 'Swap2: the colours are chosen in the opening.');
    // A stone of the opening can be taken back before the engine sees it.
    await clickCell(page, 3, 3);
    assert.equal(cells(await stones(page)), '3,3');
    assert.equal(await page.textContent('#status'), 'Your stone 2 of 3 (White).');
    await page.click('#undo');
    assert.deepEqual(await stones(page), []);
    for (const [x, y] of opening) await clickCell(page, x, y);
    await waitForPerson(page);
    const list = await stones(page);
    const { sent, answer } = lastSwap2(await engineLog(page));
    assert.deepEqual(sent, opening.map(([x, y]) => `${x},${y}`), 'the engine was asked on the three stones');
    assert.deepEqual(list.slice(0, 3).map((s) => [s.x, s.y]), opening);
    checkStones(list);
    const line = await page.textContent('#swap2-line');
    let you;
    if (answer === 'SWAP') {
      // The engine takes Black; the person is White, to move on the three stones.
      seen.push('swap');
      assert.equal(list.length, 3);
      assert.match(line, /engine took Black/);
      you = WHITE;
    } else if (/^\d+,\d+$/.test(answer)) {
      // The engine stays White and has played its move.
      seen.push('move');
      assert.equal(list.length, 4);
      assert.equal(`${list[3].x},${list[3].y}`, answer);
      assert.match(line, /engine plays White/);
      you = BLACK;
    } else {
      // Two more stones, White and Black: the person chooses the colour.
      seen.push('two');
      assert.match(answer, /^\d+,\d+ \d+,\d+$/);
      assert.equal(list.length, 5);
      assert.equal(cells(list.slice(3)), answer);
      assert.equal(await phase(page), 'opening');
      assert.equal(await swap2Step(page), 'choose5');
      assert.ok(await page.isVisible('#swap2-black'));
      assert.ok(await page.isVisible('#swap2-white'));
      assert.ok(await page.isHidden('#swap2-two'), 'two more stones are no choice after five');
      // Nothing can be played before the choice.
      await clickCell(page, ...emptyCell(list));
      assert.equal((await stones(page)).length, 5);
      await shot(page, 'swap2-choose-colour');
      // Black: White, the engine, is to move and does at once.
      await page.click('#swap2-black');
      await waitIdle(page);
      const after = await stones(page);
      assert.equal(after.length, 6);
      assert.equal(after[5].colour, WHITE);
      checkStones(after);
      you = BLACK;
    }
    await checkYourMove(page, you);
    const opened = (await stones(page)).length - (seen[seen.length - 1] === 'two' ? 1 : 0);
    await playOneEach(page, you);
    await checkRecord(page, opened);
    await assertCleanLog(page);
  }
  console.log(`Swap2 answers to the person's openings: ${seen.join(', ')}`);
  // Black's two central stones against White's corner stone, and Black's
  // corner stones against White's centre, are no close call for any search:
  // both ways of taking a side were gone through.
  assert.ok(seen.includes('swap') && seen.includes('move'), `answers ${seen.join(', ')}`);
  await shot(page, 'swap2-person-first');
  await page.close();
});

test('Swap2, the engine opens: three stones, each choice of the person\'s, and the game after it', { timeout: 240000 }, async () => {
  const page = await helpers.openPage(context, baseUrl + QUERY);
  for (const choice of ['white', 'black', 'two']) {
    assert.equal(await newSwap2Game(page, 'swap2-engine'), 'opening');
    assert.equal(await swap2Step(page), 'choose3');
    const list = await stones(page);
    assert.equal(list.length, 3);
    checkStones(list);
    const { sent, answer } = lastSwap2(await engineLog(page));
    assert.deepEqual(sent, []);
    assert.equal(cells(list), answer, 'the three stones are the engine\'s answer');
    for (const id of ['#swap2-white', '#swap2-black', '#swap2-two']) assert.ok(await page.isVisible(id), id);
    // The board takes no stone until the person has chosen.
    await clickCell(page, ...emptyCell(list));
    assert.equal((await stones(page)).length, 3);
    if (choice === 'white') await shot(page, 'swap2-engine-first');
    await page.click(`#swap2-${choice}`);
    let you;
    if (choice === 'white') {
      // White moves next: the person.
      await waitIdle(page);
      assert.equal((await stones(page)).length, 3);
      you = WHITE;
    } else if (choice === 'black') {
      // The engine is White and plays White's move at once.
      await waitIdle(page);
      const after = await stones(page);
      assert.equal(after.length, 4);
      assert.equal(after[3].colour, WHITE);
      checkStones(after);
      const rows = (await engineLog(page)).split('\n');
      assert.equal(rows[rows.length - 1], `< ${after[3].x},${after[3].y}`);
      you = BLACK;
    } else {
      assert.equal(await swap2Step(page), 'place2');
      assert.equal(await page.textContent('#status'), 'Your stone 4 of 5 (White).');
      const a = emptyCell(list);
      await clickCell(page, ...a);
      const b = emptyCell(await stones(page));
      await clickCell(page, ...b);
      await waitForPerson(page);
      const after = await stones(page);
      checkStones(after);
      const { sent: five, answer: chosen } = lastSwap2(await engineLog(page));
      assert.deepEqual(five, [...list.map((s) => `${s.x},${s.y}`), `${a[0]},${a[1]}`, `${b[0]},${b[1]}`]);
      if (chosen === 'SWAP') {
        // The engine takes Black: the person is White, to move.
        assert.equal(after.length, 5);
        assert.match(await page.textContent('#swap2-line'), /engine took Black/);
        you = WHITE;
      } else {
        // The engine plays White's move.
        assert.match(chosen, /^\d+,\d+$/);
        assert.equal(after.length, 6);
        assert.equal(`${after[5].x},${after[5].y}`, chosen);
        assert.match(await page.textContent('#swap2-line'), /engine plays White/);
        you = BLACK;
      }
      console.log(`Swap2 answer to the person's two stones: ${chosen}`);
    }
    await checkYourMove(page, you);
    const opened = (await stones(page)).length - (choice === 'black' ? 1 : 0);
    await playOneEach(page, you);
    await checkRecord(page, opened);
    await assertCleanLog(page);
  }
  await page.close();
});

// ---------------------------------------------------------------------------
// A scripted engine: it stands in for the page's engine worker (before the
// page's own scripts run), answers the page's commands as the engine does,
// SWAP2BOARD with the next of `answers`, and a move with the first free
// cell from the top left.

function scriptedEngine(answers) {
  const taken = new Set();
  let block = null;
  window.Worker = class {
    constructor() { this.say({ ready: true }); }
    say(data) { setTimeout(() => this.onmessage && this.onmessage({ data }), 0); }
    reply(line) { this.say({ line }); }
    move() {
      for (let y = 0; y < 15; y++) {
        for (let x = 0; x < 15; x++) {
          if (!taken.has(`${x},${y}`)) { taken.add(`${x},${y}`); this.reply(`${x},${y}`); return; }
        }
      }
    }
    postMessage(text) {
      for (const line of String(text).split('\n')) {
        const [word, arg] = line.trim().split(' ');
        if (block) {
          if (word !== 'DONE') { block.cells.push(word.split(',').slice(0, 2).join(',')); continue; }
          if (block.word !== 'YXBOARD') taken.clear();
          for (const cell of block.cells) taken.add(cell);
          if (block.word === 'BOARD') this.move();
          if (block.word === 'SWAP2BOARD') this.reply(answers.shift());
          block = null;
        } else if (['START', 'RESTART'].includes(word)) { taken.clear(); this.reply('OK'); }
        else if (word === 'TAKEBACK') { taken.delete(arg); this.reply('OK'); }
        else if (word === 'YXSHOWFORBID') this.reply('FORBID .');
        else if (word === 'TURN') { taken.add(arg); this.move(); }
        else if (word === 'BEGIN') this.move();
        else if (['BOARD', 'YXBOARD', 'SWAP2BOARD'].includes(word)) block = { word, cells: [] };
      }
    }
  };
}

async function openScripted(answers) {
  return helpers.openPage(context, baseUrl + QUERY, { init: `(${scriptedEngine})(${JSON.stringify(answers)})` });
}

test('bad Swap2 answers are shown as errors and place nothing; the answers a search gives by chance', { timeout: 60000 }, async () => {
  // Answers to the engine's own three stones, to the person's three, and to
  // five stones (after three good ones), each in a game of its own.
  const bad = {
    engine: ['SWAP', '7,7 8,8', '7,7 8,8 7,7', '7,7 8,8 15,3', '7,7 8,8 a9', 'ERROR SWAP2BOARD needs 0, 3 or 5 stones on distinct cells'],
    you: ['7,7', '1,1 2,2 3,3', 'SWAP 1,1', '3,4,1', 'UNKNOWN command'],
    five: ['1,1 2,2', '7,8', 'SWAP SWAP'],
  };
  const answers = [...bad.engine, ...bad.you, ...bad.five.flatMap((a) => ['7,7 8,7 7,8', a])];
  const page = await openScripted(answers);
  const checkRefused = async (answer, count) => {
    assert.equal(await waitForPerson(page), 'over', `the answer “${answer}” was taken`);
    const text = await page.textContent('#status');
    assert.ok(text.startsWith(`The engine's Swap2 answer “${answer}” cannot be played: `), text);
    assert.equal((await stones(page)).length, count, `stones of “${answer}” on the board`);
    assert.ok(await page.isHidden('#swap2-choice'));
    assert.deepEqual(page.problems, []);
  };
  for (const answer of bad.engine) {
    await newSwap2Game(page, 'swap2-engine');
    await checkRefused(answer, 0);
  }
  for (const answer of bad.you) {
    await newSwap2Game(page, 'swap2-you');
    for (const [x, y] of [[7, 7], [8, 8], [9, 9]]) await clickCell(page, x, y);
    await checkRefused(answer, 3);
  }
  for (const answer of bad.five) {
    await newSwap2Game(page, 'swap2-engine');
    assert.equal(cells(await stones(page)), '7,7 8,7 7,8');
    await page.click('#swap2-two');
    await clickCell(page, 1, 1);
    await clickCell(page, 2, 2);
    await checkRefused(answer, 5);
  }
  assert.match(await page.textContent('#status'), /“SWAP SWAP” cannot be played: SWAP or one move expected\.$/);
  await page.close();

  // Two more stones after the person's three, then White chosen: the
  // person moves next; SWAP after the person's two: the engine is Black.
  const good = await openScripted(['7,8 5,5', '7,8 5,5', '7,7 8,7 7,8', 'SWAP']);
  await newSwap2Game(good, 'swap2-you');
  for (const [x, y] of [[7, 7], [8, 8], [9, 9]]) await clickCell(good, x, y);
  assert.equal(await waitForPerson(good), 'opening');
  assert.equal(cells(await stones(good)), '7,7 8,8 9,9 7,8 5,5');
  await good.click('#swap2-white');
  await waitIdle(good);
  await checkYourMove(good, WHITE);
  assert.match(await good.textContent('#swap2-line'), /you play White; you move next/);
  // The engine's copy of the game holds the five stones, its own Black.
  const rows = (await engineLog(good)).split('\n');
  const sync = rows.lastIndexOf('> YXBOARD');
  assert.deepEqual(rows.slice(sync + 1, sync + 7), ['> 7,7,1', '> 8,8,2', '> 9,9,1', '> 7,8,2', '> 5,5,1', '> DONE']);
  await playOneEach(good, WHITE);

  // Black after the two more stones: the engine, White, moves at once.
  await newSwap2Game(good, 'swap2-you');
  for (const [x, y] of [[7, 7], [8, 8], [9, 9]]) await clickCell(good, x, y);
  assert.equal(await waitForPerson(good), 'opening');
  await good.click('#swap2-black');
  await waitIdle(good);
  assert.equal(cells(await stones(good)), '7,7 8,8 9,9 7,8 5,5 0,0');
  await checkYourMove(good, BLACK);
  assert.match(await good.textContent('#swap2-line'), /you play Black; the engine moves next/);

  await newSwap2Game(good, 'swap2-engine');
  await good.click('#swap2-two');
  await clickCell(good, 1, 1);
  await clickCell(good, 2, 2);
  await waitIdle(good);
  assert.equal(cells(await stones(good)), '7,7 8,7 7,8 1,1 2,2');
  await checkYourMove(good, WHITE);
  await playOneEach(good, WHITE);
  assert.deepEqual(good.problems, []);
  await good.close();
});

// ---------------------------------------------------------------------------
// The engine's worker serves the SWAP2BOARD block to the engine as standard
// input: the replies through the page's worker must be the console engine's
// for the same lines, whether the lines come in one message or one a
// message, including blocks the engine refuses part-way (whose unread lines
// are commands again).

const STDIN_TRANSCRIPT = [
  'START 15',
  'SWAP2BOARD', '7,7', '7,7', '8,8', 'DONE',
  'SWAP2BOARD', '7,7', 'x', 'DONE',
  'swap2board', '1,1', '2,2', 'done',
  'SWAP2BOARD', '7,7', '99,99', '8,8', 'DONE',
  'YXSHOWFORBID',
];

function viaConsole(input) {
  assert.ok(fs.existsSync(NATIVE), 'build/release/ruvan is missing: run make release');
  const run = spawnSync(NATIVE, [], { input: input.join('\n') + '\nEND\n', encoding: 'utf8', timeout: 60000 });
  assert.equal(run.status, 0);
  return run.stdout.split('\n').slice(0, -1);
}

// The lines through a worker of the page's, posted all at once or one at a
// time; resolves with every line the worker posted back once `last` matches.
async function viaWorker(page, input, oneByOne, last) {
  return page.evaluate(([lines, single, end]) => new Promise((resolve, reject) => {
    const worker = new Worker('engine-worker.js');
    const out = [];
    const timer = setTimeout(() => reject(new Error('no end: ' + out.join(' | '))), 30000);
    worker.onmessage = ({ data }) => {
      if (data.ready) {
        if (single) for (const line of lines) worker.postMessage(line);
        else worker.postMessage(lines.join('\n'));
      } else if (data.line !== undefined) {
        out.push(data.line);
        if (new RegExp(end).test(data.line)) { clearTimeout(timer); worker.terminate(); resolve(out); }
      } else if (data.error !== undefined) out.push('! ' + data.error);
    };
  }), [input, oneByOne, last.source]);
}

test('the worker hands SWAP2BOARD blocks to the engine as standard input does', { timeout: 60000 }, async () => {
  const page = await helpers.openPage(context, baseUrl + QUERY);
  const expected = viaConsole(STDIN_TRANSCRIPT);
  assert.ok(expected.filter((l) => l.startsWith('ERROR')).length >= 4, expected.join(' | '));
  for (const oneByOne of [false, true]) {
    assert.deepEqual(await viaWorker(page, STDIN_TRANSCRIPT, oneByOne, /^FORBID /), expected, `one a message: ${oneByOne}`);
  }
  // Blocks that make the engine think: each answered once, with the three
  // stones of the opening, and with a Swap2 answer to three stones.
  const think = ['INFO timeout_turn 200', 'START 15', 'SWAP2BOARD', 'DONE', 'SWAP2BOARD', '7,7', '0,0', '8,8', 'DONE', 'YXSHOWFORBID'];
  const replies = (await viaWorker(page, think, true, /^FORBID /)).filter((l) => !l.startsWith('MESSAGE '));
  assert.equal(replies.length, 4, replies.join(' | '));
  assert.equal(replies[0], 'OK');
  assert.match(replies[1], /^\d+,\d+ \d+,\d+ \d+,\d+$/);
  assert.match(replies[2], /^(SWAP|\d+,\d+( \d+,\d+)?)$/);
  assert.equal(replies[3], 'FORBID .');
  assert.deepEqual(page.problems, []);
  await page.close();
});
