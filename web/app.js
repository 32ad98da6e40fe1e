// The board page: a game of five in a row against the Ruvan engine, which
// runs as WebAssembly in a Web Worker and speaks its usual protocol, one
// command line in and reply lines out.
//
// The page keeps the game record and judges the game itself (five in a row;
// exactly five where overlines do not count); the engine's copy of the game
// follows every change through TURN, TAKEBACK, YXBOARD and friends, so that
// the two never disagree. The engine thinks on the worker's only thread, so
// a think cannot be interrupted: STOP is still sent when asked for, but the
// time per move is what bounds a think.
'use strict';

const BLACK = 1, WHITE = 2;
const FREESTYLE = 0, STANDARD = 1, RENJU = 2;
const MIN_SIDE = 5, MAX_SIDE = 22;
const MEMORY_BYTES = 64 * 1024 * 1024;   // the engine sizes its tables within this
const CELL = 32, MARGIN = 36;             // board drawing units
const colourName = (c) => (c === BLACK ? 'Black' : 'White');
const seconds = (ms) => `${Number((ms / 1000).toFixed(2))} s`;

// ---------------------------------------------------------------------------
// The engine link.
//
// Replies come back in the order the commands were sent, since the engine
// handles one line at a time, so every command that has a reply gets a
// place in a queue and is settled by the first line of its kind: a move
// "x,y" for TURN, BEGIN and BOARD, "OK" for START, RESTART and TAKEBACK,
// "FORBID ..." for YXSHOWFORBID. MESSAGE lines go to the analysis.

class EngineLink {
  constructor(onMessage, onLog) {
    this.onMessage = onMessage;
    this.onLog = onLog;
    this.waiting = [];
    this.ready = new Promise((resolve) => { this.markReady = resolve; });
    try {
      this.worker = new Worker('engine-worker.js');
    } catch (e) {
      // Pages opened from a file may not start workers.
      this.onLog('! ' + e.message);
      this.onFail();
      return;
    }
    this.worker.onmessage = (event) => this.receive(event.data);
    this.worker.onerror = (event) => {
      this.onLog('! ' + (event.message || 'worker error'));
      this.onFail();
    };
  }

  onFail() {
    state.note = 'The engine could not start: serve the page over http (make serve-web).';
    render();
  }

  // Lines without a reply (INFO, STOP).
  post(...lines) {
    for (const line of lines) this.onLog('> ' + line);
    if (this.worker) this.worker.postMessage(lines.join('\n'));
  }

  // Lines whose last reply is of `kind`; resolves with {line, ms}, where ms is
  // the time from sending to the reply.
  request(kind, ...lines) {
    return new Promise((resolve) => {
      this.waiting.push({ kind, resolve, sentAt: performance.now(), game: state.game });
      this.post(...lines);
    });
  }

  receive(data) {
    if (data.ready) { this.markReady(); return; }
    if (data.error !== undefined) {
      this.onLog('! ' + data.error);
      if (data.error.startsWith('engine failed to load')) this.onFail();
      return;
    }
    if (data.line === undefined) return;
    const line = data.line;
    if (line === '') return;
    this.onLog('< ' + line);
    const head = this.waiting[0];
    // A MESSAGE belongs to the command being answered: the think of a move
    // request, possibly one of a game that has since been left.
    if (line.startsWith('MESSAGE ')) { this.onMessage(line.slice(8), head); return; }
    if (!head) return;
    let kind = 'other';
    if (/^-?\d+,-?\d+$/.test(line)) kind = 'move';
    else if (line === 'OK') kind = 'ok';
    else if (line.startsWith('FORBID ')) kind = 'forbid';
    else if (line.startsWith('ERROR') && head.kind === 'ok') kind = 'ok';
    if (kind !== head.kind) return;
    this.waiting.shift();
    head.resolve({ line, ms: performance.now() - head.sentAt });
  }
}

// ---------------------------------------------------------------------------
// Game state.

const state = {
  width: 15,
  height: 15,
  rule: FREESTYLE,
  timeMs: 1000,
  engineColour: WHITE,
  record: [],            // [{x, y}], Black first
  // 'loading' | 'starting' (waiting for the engine) | 'human' (your move) |
  // 'thinking' | 'paused' (the engine is to move but was not asked) | 'over'
  phase: 'loading',
  result: null,          // {text, cells: [[x, y]...]} once the game is over
  forbidden: new Set(),  // "x,y" of Black's forbidden points (Renju)
  pv: [],                // principal variation to draw: [{x, y, colour}]
  analysis: '',
  cursor: { x: 7, y: 7 },
  hover: null,
  game: 0,               // counts games, so that replies to an old game are dropped
  firstMoveMs: null,     // page time of the engine's first move
  thinkingColour: BLACK,
};

let engine = null;
const $ = (id) => document.getElementById(id);

const key = (x, y) => x + ',' + y;
const sideToMove = () => (state.record.length % 2 === 0 ? BLACK : WHITE);
const colourOfMove = (i) => (i % 2 === 0 ? BLACK : WHITE);

function occupant(x, y) {
  for (let i = 0; i < state.record.length; i++) {
    if (state.record[i].x === x && state.record[i].y === y) return colourOfMove(i);
  }
  return 0;
}

function boardGrid() {
  const grid = Array.from({ length: state.width }, () => new Array(state.height).fill(0));
  state.record.forEach((m, i) => { grid[m.x][m.y] = colourOfMove(i); });
  return grid;
}

// ---------------------------------------------------------------------------
// The judge: does the stone just played at (x, y) win? Free style: five or
// more in a row. Standard: exactly five. Renju: exactly five for Black, five
// or more for White. Returns the cells of every winning line, or null.

function winningLines(grid, x, y, rule) {
  const colour = grid[x][y];
  const exact = rule === STANDARD || (rule === RENJU && colour === BLACK);
  const found = [];
  for (const [dx, dy] of [[1, 0], [0, 1], [1, 1], [1, -1]]) {
    const cells = [[x, y]];
    for (const sign of [1, -1]) {
      let cx = x + sign * dx, cy = y + sign * dy;
      while (cx >= 0 && cy >= 0 && cx < state.width && cy < state.height && grid[cx][cy] === colour) {
        cells.push([cx, cy]);
        cx += sign * dx;
        cy += sign * dy;
      }
    }
    if (exact ? cells.length === 5 : cells.length >= 5) found.push(...cells);
  }
  return found.length ? found : null;
}

// Judges the position after the last move of the record; sets state.result
// when the game is over. `forbiddenBefore` is the set of Black's forbidden
// points before that move.
function judgeLastMove(forbiddenBefore) {
  const n = state.record.length;
  if (n === 0) return;
  const { x, y } = state.record[n - 1];
  const colour = colourOfMove(n - 1);
  const grid = boardGrid();
  const cells = winningLines(grid, x, y, state.rule);
  if (cells) {
    state.result = { text: colourName(colour) + ' wins', cells, winner: colour };
  } else if (state.rule === RENJU && colour === BLACK && forbiddenBefore.has(key(x, y))) {
    state.result = { text: 'White wins: Black played a forbidden point', cells: [], winner: WHITE };
  } else if (n === state.width * state.height) {
    state.result = { text: 'Draw: the board is full', cells: [], winner: 0 };
  }
}

// ---------------------------------------------------------------------------
// Drawing.

const SVG = 'http://www.w3.org/2000/svg';
function el(name, attrs, parent) {
  const node = document.createElementNS(SVG, name);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (parent) parent.appendChild(node);
  return node;
}
const px = (x) => MARGIN + x * CELL;

function drawBoard() {
  const svg = $('board');
  const W = state.width, H = state.height;
  svg.setAttribute('viewBox', `0 0 ${2 * MARGIN + (W - 1) * CELL} ${2 * MARGIN + (H - 1) * CELL}`);
  svg.setAttribute('width', 2 * MARGIN + (W - 1) * CELL);
  svg.replaceChildren();

  const defs = el('defs', {}, svg);
  const gradient = (id, inner, outer) => {
    const g = el('radialGradient', { id, cx: '35%', cy: '35%', r: '65%' }, defs);
    el('stop', { offset: '0%', 'stop-color': inner }, g);
    el('stop', { offset: '100%', 'stop-color': outer }, g);
  };
  gradient('black-stone', '#555', '#050505');
  gradient('white-stone', '#ffffff', '#d4d4d4');

  const grid = el('g', { class: 'grid' }, svg);
  for (let x = 0; x < W; x++) {
    el('line', { x1: px(x), y1: px(0), x2: px(x), y2: px(H - 1), class: x === 0 || x === W - 1 ? 'edge' : '' }, grid);
    const label = el('text', { x: px(x), y: MARGIN / 2 - 4, class: 'label' }, svg);
    label.textContent = x;
  }
  for (let y = 0; y < H; y++) {
    el('line', { x1: px(0), y1: px(y), x2: px(W - 1), y2: px(y), class: y === 0 || y === H - 1 ? 'edge' : '' }, grid);
    const label = el('text', { x: MARGIN / 2 - 6, y: px(y), class: 'label' }, svg);
    label.textContent = y;
  }
  el('circle', { cx: px(Math.floor(W / 2)), cy: px(Math.floor(H / 2)), r: 3.5, class: 'star' }, svg);

  if (state.hover && !occupant(state.hover.x, state.hover.y) && state.phase === 'human') {
    el('circle', { cx: px(state.hover.x), cy: px(state.hover.y), r: CELL * 0.44, class: 'hover' }, svg);
  }

  const marks = el('g', { class: 'forbids' }, svg);
  if (state.rule === RENJU) {
    for (const cell of state.forbidden) {
      const [x, y] = cell.split(',').map(Number);
      if (occupant(x, y)) continue;
      const g = el('g', { class: 'forbid', 'data-x': x, 'data-y': y }, marks);
      const d = CELL * 0.22;
      el('line', { x1: px(x) - d, y1: px(y) - d, x2: px(x) + d, y2: px(y) + d }, g);
      el('line', { x1: px(x) - d, y1: px(y) + d, x2: px(x) + d, y2: px(y) - d }, g);
    }
  }

  const winning = new Set((state.result ? state.result.cells : []).map(([x, y]) => key(x, y)));
  const stones = el('g', { class: 'stones' }, svg);
  state.record.forEach((m, i) => {
    const colour = colourOfMove(i);
    el('circle', {
      cx: px(m.x), cy: px(m.y), r: CELL * 0.46,
      class: `stone ${colour === BLACK ? 'black' : 'white'}${winning.has(key(m.x, m.y)) ? ' win' : ''}`,
      'data-x': m.x, 'data-y': m.y, 'data-n': i + 1,
    }, stones);
  });
  const last = state.record[state.record.length - 1];
  if (last) el('circle', { cx: px(last.x), cy: px(last.y), r: 3.5, class: 'last' }, svg);

  if ($('show-pv').checked) {
    const ghosts = el('g', { class: 'pv' }, svg);
    state.pv.forEach((m, i) => {
      if (occupant(m.x, m.y)) return;
      const g = el('g', { class: `ghost ${m.colour === BLACK ? 'black' : 'white'}`, 'data-x': m.x, 'data-y': m.y, 'data-n': i + 1 }, ghosts);
      el('circle', { cx: px(m.x), cy: px(m.y), r: CELL * 0.42 }, g);
      const t = el('text', { x: px(m.x), y: px(m.y) }, g);
      t.textContent = i + 1;
    });
  }

  const c = state.cursor;
  el('rect', { x: px(c.x) - CELL / 2, y: px(c.y) - CELL / 2, width: CELL, height: CELL, class: 'cursor', 'data-x': c.x, 'data-y': c.y }, svg);
}

function render() {
  document.body.dataset.phase = state.phase;
  drawBoard();
  const you = colourName(3 - state.engineColour), it = colourName(state.engineColour);
  $('colours').textContent = `You play ${you}, the engine plays ${it}.`;
  let status;
  switch (state.phase) {
    case 'loading': status = 'Loading the engine…'; break;
    case 'starting': status = 'Waiting for the engine…'; break;
    case 'thinking': status = `The engine (${colourName(state.thinkingColour)}) is thinking…`; break;
    case 'paused': status = `${colourName(sideToMove())} to move: the engine's side. Press “Engine move”, or swap colours.`; break;
    case 'over': status = state.result ? state.result.text : 'Game over'; break;
    default: status = `Your move (${colourName(sideToMove())}).`;
  }
  if (state.note) status += ' ' + state.note;
  $('status').textContent = status;
  $('analysis').textContent = state.analysis;
  const idle = state.phase === 'human' || state.phase === 'paused' || state.phase === 'over';
  $('undo').disabled = !idle || state.record.length === 0;
  $('swap').disabled = !idle;
  $('engine-move').disabled = !['human', 'paused', 'thinking'].includes(state.phase);
  $('engine-move').textContent = state.phase === 'thinking' ? 'Stop' : 'Engine move';
  $('import').disabled = state.phase === 'loading';
}

function log(line) {
  const pre = $('log');
  const lines = (pre.textContent ? pre.textContent.split('\n') : []).concat(line);
  pre.textContent = lines.slice(-300).join('\n');
  pre.scrollTop = pre.scrollHeight;
}

// ---------------------------------------------------------------------------
// The engine's messages: the analysis line of each finished iteration,
//   depth D eval E nodes N time T pv x,y x,y ...
// shown as text and drawn as numbered ghost stones.

function onEngineMessage(text, request) {
  if (!request || request.kind !== 'move' || request.game !== state.game) return;
  const m = /^depth (\d+) eval (\S+) nodes (\d+) time (\d+) pv (.*)$/.exec(text);
  if (m) {
    const [depth, evaluation, nodes, time] = [m[1], m[2], Number(m[3]), Number(m[4])];
    const speed = time > 0 ? Math.round(nodes / time) + ' knodes/s' : '';
    state.analysis = `depth ${depth}  eval ${evaluation}  nodes ${nodes.toLocaleString('en')}  ` +
      `${(time / 1000).toFixed(2)} s  ${speed}\npv ${m[5]}`;
    let colour = state.thinkingColour;
    state.pv = m[5].trim().split(/\s+/).map((pair) => {
      const [x, y] = pair.split(',').map(Number);
      const move = { x, y, colour };
      colour = 3 - colour;
      return move;
    });
    render();
  } else if (text.startsWith("It's a draw")) {
    state.note = 'The engine sees no five left for either side.';
  }
}

// ---------------------------------------------------------------------------
// Moves.

// Sends `lines` (changes of the engine's game that have no reply of their
// own) followed by YXSHOWFORBID, and keeps Black's forbidden points from the
// answer. Without lines the question is asked under Renju only.
async function refreshForbidden(...lines) {
  if (state.rule !== RENJU && lines.length === 0) { state.forbidden = new Set(); return; }
  const game = state.game;
  const { line } = await engine.request('forbid', ...lines, 'YXSHOWFORBID');
  if (game !== state.game) return;
  const cells = new Set();
  const digits = line.slice('FORBID '.length).replace(/\.$/, '');
  for (let i = 0; i + 4 <= digits.length; i += 4) {
    cells.add(key(Number(digits.slice(i, i + 2)), Number(digits.slice(i + 2, i + 4))));
  }
  state.forbidden = cells;
}

// The phase once nobody is thinking.
function settle() {
  if (state.result) state.phase = 'over';
  else state.phase = sideToMove() === state.engineColour ? 'paused' : 'human';
}

// Asks the engine for its move with `lines` (TURN x,y, or BOARD / DONE for the
// position as it stands), then plays and judges it.
async function engineMove(...lines) {
  const game = state.game;
  state.phase = 'thinking';
  state.thinkingColour = sideToMove();
  state.note = '';
  render();
  const reply = await engine.request('move', ...lines);
  if (game !== state.game) return;
  const [x, y] = reply.line.split(',').map(Number);
  if (state.firstMoveMs === null) {
    state.firstMoveMs = performance.now();
    document.body.dataset.firstMoveMs = Math.round(state.firstMoveMs);
  }
  const replyTime = $('reply-time');
  replyTime.dataset.ms = Math.round(reply.ms);
  replyTime.dataset.count = Number(replyTime.dataset.count || 0) + 1;
  replyTime.textContent = `The engine replied in ${(reply.ms / 1000).toFixed(2)} s (limit ${seconds(state.timeMs)}).`;
  if (x < 0) {
    // No move: the board is full.
    state.result = { text: 'Draw: the engine passed', cells: [], winner: 0 };
  } else if (occupant(x, y) || x >= state.width || y >= state.height) {
    state.result = { text: `The engine's move ${reply.line} cannot be played`, cells: [], winner: 0 };
  } else {
    const forbiddenBefore = state.forbidden;
    state.record.push({ x, y });
    const first = state.pv[0];
    state.pv = first && first.x === x && first.y === y ? state.pv.slice(1) : [];
    judgeLastMove(forbiddenBefore);
    await refreshForbidden();
    if (game !== state.game) return;
  }
  settle();
  render();
}

async function humanMove(x, y) {
  if (state.phase !== 'human') return;
  if (x < 0 || y < 0 || x >= state.width || y >= state.height || occupant(x, y)) return;
  if (state.rule === RENJU && sideToMove() === BLACK && state.forbidden.has(key(x, y))) {
    state.note = `${x},${y} is forbidden to Black under Renju.`;
    render();
    return;
  }
  const game = state.game;
  const forbiddenBefore = state.forbidden;
  state.record.push({ x, y });
  state.pv = [];
  state.note = '';
  // Black's forbidden points change with every stone; the engine's answer
  // after its move brings them back.
  state.forbidden = new Set();
  judgeLastMove(forbiddenBefore);
  if (state.result) {
    // The engine's copy of the game takes the last stone without thinking.
    state.phase = 'starting';
    render();
    await refreshForbidden('YXBOARD', `${x},${y},2`, 'DONE');
    if (game !== state.game) return;
    settle();
    render();
    return;
  }
  if (state.rule === RENJU && state.engineColour === BLACK) {
    // The engine's move is judged against Black's forbidden points of the
    // position it moves in, so they are asked for before it thinks.
    state.phase = 'starting';
    render();
    await refreshForbidden('YXBOARD', `${x},${y},2`, 'DONE');
    if (game !== state.game) return;
    await engineMove('BOARD', 'DONE');
  } else {
    await engineMove(`TURN ${x},${y}`);
  }
}

// ---------------------------------------------------------------------------
// Buttons.

function readSettings() {
  state.width = Number($('width').value);
  state.height = Number($('height').value);
  state.rule = Number($('rule').value);
  state.timeMs = Number($('time').value);
}

async function newGame() {
  readSettings();
  const game = ++state.game;
  state.record = [];
  state.result = null;
  state.forbidden = new Set();
  state.pv = [];
  state.analysis = '';
  state.note = '';
  state.cursor = { x: Math.floor(state.width / 2), y: Math.floor(state.height / 2) };
  state.phase = 'starting';
  render();
  engine.post(`INFO rule ${state.rule}`, `INFO timeout_turn ${state.timeMs}`);
  const start = state.width === state.height ? `START ${state.width}` : `RECTSTART ${state.width},${state.height}`;
  const reply = await engine.request('ok', start);
  if (game !== state.game) return;
  if (reply.line !== 'OK') {
    state.result = { text: 'The engine refused the board: ' + reply.line, cells: [] };
    settle();
    render();
    return;
  }
  await refreshForbidden();
  if (game !== state.game) return;
  if (state.engineColour === BLACK) await engineMove('BEGIN');
  else { settle(); render(); }
}

// Takes back the engine's reply and your move before it, or the one last move
// when it was yours or stands alone.
async function undo() {
  if (!['human', 'paused', 'over'].includes(state.phase) || state.record.length === 0) return;
  const game = state.game;
  const n = state.record.length;
  const count = n >= 2 && colourOfMove(n - 1) === state.engineColour ? 2 : 1;
  state.phase = 'starting';
  render();
  for (let i = 0; i < count; i++) {
    const m = state.record[state.record.length - 1];
    const reply = await engine.request('ok', `TAKEBACK ${m.x},${m.y}`);
    if (game !== state.game) return;
    if (reply.line !== 'OK') log('! take-back refused: ' + reply.line);
    state.record.pop();
  }
  state.result = null;
  state.pv = [];
  state.note = '';
  await refreshForbidden();
  if (game !== state.game) return;
  settle();
  render();
}

async function swapColours() {
  if (!['human', 'paused', 'over'].includes(state.phase)) return;
  state.engineColour = 3 - state.engineColour;
  if (state.phase !== 'over' && sideToMove() === state.engineColour) await engineMove('BOARD', 'DONE');
  else render();
}

// While the engine thinks this asks it to stop (a think in the browser only
// ends by its clock); otherwise the engine takes over the side to move and
// plays now.
async function engineMoveNow() {
  if (state.phase === 'thinking') { engine.post('STOP'); return; }
  if (!['human', 'paused'].includes(state.phase)) return;
  state.engineColour = sideToMove();
  await engineMove('BOARD', 'DONE');
}

function exportRecord() {
  $('record').value = state.record.map((m) => `${m.x},${m.y}`).join(' ');
  $('record').select();
}

// Reads "x,y x,y ..." into a new game on the current board settings; the
// engine's copy is rebuilt by RESTART and one YXBOARD block. The engine is
// not asked to move: press Engine move for that.
async function importRecord() {
  readSettings();
  const text = $('record').value.trim();
  const moves = [];
  const seen = new Set();
  const tokens = text ? text.split(/[\s;]+/) : [];
  for (const token of tokens) {
    const m = /^(\d+),(\d+)$/.exec(token);
    if (!m) return importError(`“${token}” is not a move x,y`);
    const x = Number(m[1]), y = Number(m[2]);
    if (x >= state.width || y >= state.height) return importError(`${token} is off the ${state.width} x ${state.height} board`);
    if (seen.has(key(x, y))) return importError(`${token} is played twice`);
    seen.add(key(x, y));
    moves.push({ x, y });
  }
  const game = ++state.game;
  state.record = [];
  state.result = null;
  state.pv = [];
  state.analysis = '';
  state.note = '';
  state.phase = 'starting';
  render();
  engine.post(`INFO rule ${state.rule}`, `INFO timeout_turn ${state.timeMs}`);
  const start = state.width === state.height ? `START ${state.width}` : `RECTSTART ${state.width},${state.height}`;
  await engine.request('ok', start);
  if (game !== state.game) return;
  // Judge move by move: nothing may follow a won game.
  for (let i = 0; i < moves.length; i++) {
    state.record.push(moves[i]);
    judgeLastMove(new Set());
    if (state.result && i + 1 < moves.length) {
      state.record = [];
      state.result = null;
      settle();
      return importError(`the game is over after move ${i + 1}`);
    }
  }
  const block = state.record.map((m, i) => `${m.x},${m.y},${colourOfMove(i) === state.engineColour ? 1 : 2}`);
  if (block.length) await refreshForbidden('YXBOARD', ...block, 'DONE');
  else await refreshForbidden();
  if (game !== state.game) return;
  const last = state.record[state.record.length - 1];
  if (last) state.cursor = { x: last.x, y: last.y };
  settle();
  render();
}

function importError(text) {
  state.note = 'Import: ' + text + '.';
  render();
}

// ---------------------------------------------------------------------------
// Mouse and keyboard.

function cellAt(event) {
  const svg = $('board');
  const box = svg.getBoundingClientRect();
  const view = svg.viewBox.baseVal;
  const sx = (event.clientX - box.left) * (view.width / box.width);
  const sy = (event.clientY - box.top) * (view.height / box.height);
  const x = Math.round((sx - MARGIN) / CELL), y = Math.round((sy - MARGIN) / CELL);
  if (x < 0 || y < 0 || x >= state.width || y >= state.height) return null;
  return { x, y };
}

function bindInput() {
  const svg = $('board');
  svg.addEventListener('click', (event) => {
    const cell = cellAt(event);
    if (!cell) return;
    state.cursor = cell;
    humanMove(cell.x, cell.y);
    render();
  });
  svg.addEventListener('mousemove', (event) => {
    const cell = cellAt(event);
    const before = state.hover;
    state.hover = cell;
    if ((before && before.x) !== (cell && cell.x) || (before && before.y) !== (cell && cell.y)) render();
  });
  svg.addEventListener('mouseleave', () => { state.hover = null; render(); });
  // The arrow keys move the cursor wherever the focus is but in a form
  // field; Enter and Space play only from the board (or with nothing
  // focused), since on a button they press it.
  document.addEventListener('keydown', (event) => {
    const target = event.target;
    if (target.closest && target.closest('select, textarea, input')) return;
    const onBoard = target === svg || target === document.body;
    if (!onBoard && !event.key.startsWith('Arrow')) return;
    const steps = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };
    if (steps[event.key]) {
      const [dx, dy] = steps[event.key];
      state.cursor = {
        x: Math.min(state.width - 1, Math.max(0, state.cursor.x + dx)),
        y: Math.min(state.height - 1, Math.max(0, state.cursor.y + dy)),
      };
      event.preventDefault();
      render();
    } else if (event.key === 'Enter' || event.key === ' ') {
      event.preventDefault();
      humanMove(state.cursor.x, state.cursor.y);
    }
  });
  $('new-game').addEventListener('click', newGame);
  $('undo').addEventListener('click', undo);
  $('swap').addEventListener('click', swapColours);
  $('engine-move').addEventListener('click', engineMoveNow);
  $('export').addEventListener('click', exportRecord);
  $('import').addEventListener('click', importRecord);
  $('show-pv').addEventListener('change', render);
  // The time per move applies from the next think on; the engine reads INFO
  // between commands.
  $('time').addEventListener('change', () => {
    state.timeMs = Number($('time').value);
    engine.post(`INFO timeout_turn ${state.timeMs}`);
    render();
  });
}

// Settings from the address, for links to a set-up: ?w=9&h=9&rule=2&time=300&engine=black
function readAddress() {
  const params = new URLSearchParams(location.search);
  const side = (name, fallback) => {
    const v = Number(params.get(name));
    return Number.isInteger(v) && v >= MIN_SIDE && v <= MAX_SIDE ? v : fallback;
  };
  const size = side('size', 15);
  for (const id of ['width', 'height']) {
    const select = $(id);
    for (let n = MIN_SIDE; n <= MAX_SIDE; n++) select.add(new Option(String(n), String(n)));
    select.value = String(side(id === 'width' ? 'w' : 'h', size));
  }
  if (['0', '1', '2'].includes(params.get('rule'))) $('rule').value = params.get('rule');
  const time = Number(params.get('time'));
  if (Number.isInteger(time) && time > 0) {
    if (![...$('time').options].some((o) => o.value === String(time))) {
      $('time').add(new Option(seconds(time), String(time)), 0);
    }
    $('time').value = String(time);
  } else {
    $('time').value = '1000';
  }
  state.engineColour = params.get('engine') === 'black' ? BLACK : WHITE;
}

async function main() {
  readAddress();
  readSettings();
  bindInput();
  render();
  engine = new EngineLink(onEngineMessage, log);
  engine.post(`INFO max_memory ${MEMORY_BYTES}`);
  await engine.ready;
  await newGame();
  $('board').focus();
}

main();
