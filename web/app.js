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
//
// The game is kept as a line of moves and a position on it: stepping back
// shows an earlier position and keeps the moves after it, and a move played
// there starts a new line (the old one is kept to go back to until the next
// branch replaces it). Analysis, hints and the value graph ask the engine to
// think at full strength without moving.
//
// A game may open by Swap2 (SWAP2BOARD): the first player places three stones,
// the other takes Black, stays White, or places two more and leaves the choice
// of colour to the first. The page holds the stones and the step reached,
// asks the engine only when it is the engine's turn to choose, and checks
// every answer against the choices the rule allows there before a stone of
// it goes on the board. Once the colours are settled the opening is the
// first moves of an ordinary game.
'use strict';

const BLACK = 1, WHITE = 2;
const FREESTYLE = 0, STANDARD = 1, RENJU = 2;
const MIN_SIDE = 5, MAX_SIDE = 22;
const MEMORY_BYTES = 64 * 1024 * 1024;   // the engine sizes its tables within this
const CELL = 32, MARGIN = 36;             // board drawing units
const PASS_NODES = 20000;                 // each position's think in the value graph's pass
const ANALYSIS_MIN_MS = 1000;             // an analysis think lasts at least this long
const NBEST = 3;                          // moves the analysis marks
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

  // Lines whose last reply is of `kind` (or {kind, ...flags} that the
  // message handler reads); resolves with {line, ms, request}, where ms is
  // the time from sending to the reply and request the queue entry, which
  // the message handler may have noted things on.
  request(kind, ...lines) {
    const request = typeof kind === 'string' ? { kind } : kind;
    return new Promise((resolve) => {
      this.waiting.push({ ...request, resolve, sentAt: performance.now(), game: state.game });
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
    // An engine that does not know a command says so on one line, which
    // settles the request (the caller looks at the line).
    else if (line.startsWith('UNKNOWN')) kind = head.kind;
    // SWAP2BOARD has answers of several forms (SWAP, one to three moves, a
    // refusal): the first line that is not a MESSAGE is the answer, and the
    // page judges it.
    if (head.kind === 'swap2') kind = 'swap2';
    // The N-best think answers with its best move, as a move request does.
    if (kind === 'move' && head.kind === 'nbest') kind = 'nbest';
    if (kind !== head.kind) return;
    this.waiting.shift();
    head.resolve({ line, ms: performance.now() - head.sentAt, request: head });
  }
}

// ---------------------------------------------------------------------------
// Game state.

const state = {
  width: 15,
  height: 15,
  rule: FREESTYLE,
  timeMs: 1000,
  level: 0,              // INFO level: 0 full strength, 1 beginner ... 5
  opening: 'plain',      // of the next new game: 'plain' | 'swap2-you' | 'swap2-engine'
  engineColour: WHITE,   // settled by the Swap2 opening when there is one
  // The Swap2 opening under way, or null: who placed the first three stones
  // ('you' | 'engine'), the step reached ('place3' | 'place2': your stones;
  // 'choose3' | 'choose5': your choice; 'asking': the engine's), and the
  // record's length when your stones of the step began (undo stops there).
  swap2: null,
  swap2Text: '',         // the opening's prompt, then what was chosen in it
  openingPlies: 0,       // stones of a finished Swap2 opening: undo keeps them
  record: [],            // the position shown: [{x, y, ms}], Black first
  line: [],              // the game's line; record is a prefix of it
  oldLine: null,         // {moves, at}: the line a branch replaced, to go back to
  // 'loading' | 'starting' (waiting for the engine) | 'human' (your move) |
  // 'opening' (your stones or your choice in a Swap2 opening) |
  // 'thinking' | 'paused' (the engine is to move but was not asked) | 'over' |
  // 'analysing' (a think without a move) | 'graphing' (the value graph's pass)
  phase: 'loading',
  result: null,          // {text, cells: [[x, y]...]} once the game is over
  forbidden: new Set(),  // "x,y" of Black's forbidden points (Renju)
  pv: [],                // principal variation to draw: [{x, y, colour}]
  analysis: '',
  notation: 'xy',        // board labels and move lists: 'xy' (from 0) or 'a1'
  analyse: false,        // the Analyse switch
  marks: [],             // analysis marks: [{x, y, value, rank}]
  hint: null,            // {x, y} of the hint shown
  values: [],            // values[k]: {value, black} after move k (Black's win chance)
  nbest: null,           // does the engine answer YXNBEST? null: not asked yet
  analysedAt: null,      // the line prefix the marks belong to, as text
  pending: null,         // an action asked for during an analysis think
  stepping: false,       // the engine is being brought to a stepped-to position
  nextStep: null,        // a step asked for meanwhile, taken when it is there
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
const lineText = (moves) => moves.map((m) => key(m.x, m.y)).join(' ');
const placingOpening = () => state.phase === 'opening' && ['place3', 'place2'].includes(state.swap2.step);

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
// Coordinates as people write them. The engine counts x from the left and y
// from the top, both from 0; the a1 notation of Renju and Gomoku players
// names the column by a letter from the left and the row by a number from
// the bottom, both from 1 (a1 is the lower left corner).

const LETTERS = 'abcdefghijklmnopqrstuv';
const columnName = (x) => (state.notation === 'a1' ? LETTERS[x] : String(x));
const rowName = (y) => (state.notation === 'a1' ? String(state.height - y) : String(y));
const moveName = (m, notation = state.notation) =>
  (notation === 'a1' ? LETTERS[m.x] + (state.height - m.y) : key(m.x, m.y));

// One move of a list in either notation; null when it is neither.
function parseMove(token, height) {
  let m = /^(\d+),(\d+)$/.exec(token);
  if (m) return { x: Number(m[1]), y: Number(m[2]) };
  m = /^([a-v])(\d{1,2})$/i.exec(token);
  if (m) return { x: LETTERS.indexOf(m[1].toLowerCase()), y: height - Number(m[2]) };
  return null;
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

// A move played on the position shown: it continues the line, or, when the
// line went on differently, starts a new one and keeps the old to go back to.
function pushMove(move) {
  const at = state.record.length;
  if (at < state.line.length) state.oldLine = { moves: state.line.slice(), at };
  state.record.push(move);
  state.line = state.record.slice();
  state.values.length = Math.min(state.values.length, at + 1);
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

// An engine value as a person reads it: +M5 / -M5, or pawns of 100.
function valueText(value) {
  if (typeof value === 'string') return value;
  return (value > 0 ? '+' : '') + (value / 100).toFixed(value % 100 === 0 ? 0 : 1);
}

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
    const label = el('text', { x: px(x), y: MARGIN / 2 - 4, class: 'label column' }, svg);
    label.textContent = columnName(x);
  }
  for (let y = 0; y < H; y++) {
    el('line', { x1: px(0), y1: px(y), x2: px(W - 1), y2: px(y), class: y === 0 || y === H - 1 ? 'edge' : '' }, grid);
    const label = el('text', { x: MARGIN / 2 - 6, y: px(y), class: 'label row' }, svg);
    label.textContent = rowName(y);
  }
  el('circle', { cx: px(Math.floor(W / 2)), cy: px(Math.floor(H / 2)), r: 3.5, class: 'star' }, svg);

  if (state.hover && !occupant(state.hover.x, state.hover.y) && (state.phase === 'human' || placingOpening())) {
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

  if ($('show-pv').checked && !state.marks.length) {
    const ghosts = el('g', { class: 'pv' }, svg);
    state.pv.forEach((m, i) => {
      if (occupant(m.x, m.y)) return;
      const g = el('g', { class: `ghost ${m.colour === BLACK ? 'black' : 'white'}`, 'data-x': m.x, 'data-y': m.y, 'data-n': i + 1 }, ghosts);
      el('circle', { cx: px(m.x), cy: px(m.y), r: CELL * 0.42 }, g);
      const t = el('text', { x: px(m.x), y: px(m.y) }, g);
      t.textContent = i + 1;
    });
  }

  // The analysis: the best moves ringed, numbered by rank, with their values.
  const marked = el('g', { class: 'marks' }, svg);
  for (const m of state.marks) {
    if (occupant(m.x, m.y)) continue;
    const g = el('g', { class: `mark rank${m.rank}`, 'data-x': m.x, 'data-y': m.y, 'data-rank': m.rank, 'data-value': m.value }, marked);
    el('circle', { cx: px(m.x), cy: px(m.y), r: CELL * 0.43 }, g);
    const t = el('text', { x: px(m.x), y: px(m.y) - 5, class: 'rank' }, g);
    t.textContent = m.rank;
    const v = el('text', { x: px(m.x), y: px(m.y) + 7, class: 'value' }, g);
    v.textContent = valueText(m.value);
  }
  if (state.hint && !occupant(state.hint.x, state.hint.y)) {
    el('circle', { cx: px(state.hint.x), cy: px(state.hint.y), r: CELL * 0.4, class: 'hint', 'data-x': state.hint.x, 'data-y': state.hint.y }, svg);
  }

  const c = state.cursor;
  el('rect', { x: px(c.x) - CELL / 2, y: px(c.y) - CELL / 2, width: CELL, height: CELL, class: 'cursor', 'data-x': c.x, 'data-y': c.y }, svg);
}

// The value graph: Black's chance to win after every move of the line, from
// the engine's value (a logistic of it; a proven win or loss is 1 or 0).
// Moves not yet valued leave a gap; a click goes to that move.
const GRAPH_H = 90, GRAPH_PAD = 8;
function drawGraph() {
  const svg = $('graph');
  const n = state.line.length;
  const width = 600;
  svg.setAttribute('viewBox', `0 0 ${width} ${GRAPH_H}`);
  svg.replaceChildren();
  const step = n > 1 ? (width - 2 * GRAPH_PAD) / (n - 1) : 0;
  const gx = (k) => GRAPH_PAD + (k - 1) * step;
  const gy = (p) => GRAPH_PAD + (1 - p) * (GRAPH_H - 2 * GRAPH_PAD);
  el('line', { x1: 0, y1: gy(0.5), x2: width, y2: gy(0.5), class: 'middle' }, svg);
  if (state.record.length > 0) {
    el('line', { x1: gx(state.record.length), y1: 0, x2: gx(state.record.length), y2: GRAPH_H, class: 'here' }, svg);
  }
  let path = '', penDown = false;
  for (let k = 1; k <= n; k++) {
    const v = state.values[k];
    if (v) path += `${penDown ? 'L' : 'M'}${gx(k).toFixed(1)},${gy(v.black).toFixed(1)} `;
    penDown = !!v;
  }
  el('path', { d: path.trim(), class: 'curve' }, svg);
  for (let k = 1; k <= n; k++) {
    const v = state.values[k];
    const g = el('g', { class: 'point' + (v ? '' : ' empty'), 'data-ply': k }, svg);
    // A wide, invisible target per move, so that a finger finds it.
    el('rect', { x: gx(k) - Math.max(step / 2, 3), y: 0, width: Math.max(step, 6), height: GRAPH_H, class: 'target' }, g);
    if (v) {
      el('circle', { cx: gx(k), cy: gy(v.black), r: 2.6, class: colourOfMove(k - 1) === BLACK ? 'dot black' : 'dot white' }, g);
      const title = el('title', {}, g);
      title.textContent = `${k}. ${moveName(state.line[k - 1])}: ${valueText(v.value)} for ${colourName(v.mover)}, Black ${(100 * v.black).toFixed(0)}%`;
    }
  }
  svg.dataset.points = String(state.values.filter(Boolean).length);
}

function render() {
  document.body.dataset.phase = state.phase;
  document.body.dataset.ply = String(state.record.length);
  drawBoard();
  drawGraph();
  const you = colourName(3 - state.engineColour), it = colourName(state.engineColour);
  $('colours').textContent = state.swap2 ? 'Swap2: the colours are chosen in the opening.'
    : `You play ${you}, the engine plays ${it}.`;
  const swap2 = state.swap2 || {};
  let status;
  switch (state.phase) {
    case 'loading': status = 'Loading the engine…'; break;
    case 'starting': status = 'Waiting for the engine…'; break;
    case 'thinking':
      if (swap2.step === 'asking') status = state.record.length ? 'The engine is choosing…' : 'The engine is placing three stones…';
      else status = `The engine (${colourName(state.thinkingColour)}) is thinking…`;
      break;
    case 'opening':
      status = swap2.step === 'place3' || swap2.step === 'place2'
        ? `Your stone ${state.record.length + 1} of ${swap2.step === 'place3' ? 3 : 5} (${colourName(sideToMove())}).`
        : 'Swap2: your choice.';
      break;
    case 'analysing': status = 'Analysing…'; break;
    case 'graphing': status = 'Valuing the moves of the game…'; break;
    case 'paused': status = `${colourName(sideToMove())} to move: the engine's side. Press “Engine move”, or swap colours.`; break;
    case 'over': status = state.result ? state.result.text : 'Game over'; break;
    default: status = `Your move (${colourName(sideToMove())}).`;
  }
  if (state.note) status += ' ' + state.note;
  $('status').textContent = status;
  $('analysis').textContent = state.analysis;
  $('swap2-line').textContent = state.swap2Text;
  const choosing = state.phase === 'opening' && (swap2.step === 'choose3' || swap2.step === 'choose5');
  $('swap2-choice').hidden = !choosing;
  $('swap2-two').hidden = swap2.step !== 'choose3';
  document.body.dataset.swap2 = state.swap2 ? swap2.step : '';
  const idle = state.phase === 'human' || state.phase === 'paused' || state.phase === 'over';
  $('undo').disabled = idle ? state.record.length <= state.openingPlies
    : !placingOpening() || state.record.length <= swap2.from;
  $('swap').disabled = !idle;
  $('engine-move').disabled = !['human', 'paused', 'thinking'].includes(state.phase);
  $('engine-move').textContent = state.phase === 'thinking' ? 'Stop' : 'Engine move';
  $('import').disabled = state.phase === 'loading';
  const n = state.record.length, total = state.line.length;
  const steps = idle || state.phase === 'analysing';
  $('first').disabled = $('back').disabled = !steps || n === 0;
  $('forward').disabled = $('last').disabled = !steps || n === total;
  $('old-line').disabled = !idle || !state.oldLine;
  $('move-number').textContent = `${n} / ${total}`;
  $('hint').disabled = state.phase !== 'human';
  $('graph-pass').disabled = !idle || total === 0;
  $('save-psq').disabled = $('open-psq').disabled = state.phase === 'loading';
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
// shown as text and drawn as numbered ghost stones; and, for an N-best
// think, one line per move of the N,
//   (k) value | depth-seldepth | pv
// drawn as ringed cells with their rank and value.

const parsePv = (text, colour) => text.trim().split(/\s+/).map((token) => parseMove(token, state.height))
  .filter(Boolean).map((m) => { const move = { ...m, colour }; colour = 3 - colour; return move; });
const readValue = (text) => (/^[+-]?M\d+$/.test(text) ? text : Number(text));

function onEngineMessage(text, request) {
  if (!request || request.game !== state.game) return;
  if (request.kind === 'nbest') {
    const m = /^\((\d+)\)\s+(\S+)\s*\|\s*(\d+)(?:-(\d+))?\s*\|\s*(.*)$/.exec(text);
    if (!m) return;
    const rank = Number(m[1]);
    const pv = parsePv(m[5], sideToMove());
    if (!pv.length) return;
    // A new round of lines starts with rank 1: the marks of the last round
    // stay until it is complete.
    if (rank === 1) state.nextMarks = [];
    if (!state.nextMarks) return;
    const depth = `${m[3]}${m[4] ? '-' + m[4] : ''}`;
    state.nextMarks[rank - 1] = { x: pv[0].x, y: pv[0].y, value: readValue(m[2]), rank, depth };
    if (state.nextMarks.filter(Boolean).length >= Math.min(NBEST, request.count)) {
      state.marks = state.nextMarks.filter(Boolean);
      // The depth shown is the best line's: a later line proven lost at
      // depth 1 says nothing of how deep the search has looked.
      state.analysis = state.marks.map((k) => `${k.rank}. ${moveName(k)} ${valueText(k.value)}`).join('  ') +
        `   depth ${state.marks[0].depth}`;
      render();
    }
    return;
  }
  if (request.kind !== 'move' && request.kind !== 'swap2') return;
  const m = /^depth (\d+) eval (\S+) nodes (\d+) time (\d+) pv (.*)$/.exec(text);
  if (m) {
    const [depth, evaluation, nodes, time] = [m[1], m[2], Number(m[3]), Number(m[4])];
    request.lastValue = readValue(evaluation);
    if (request.quiet) return;
    const speed = time > 0 ? Math.round(nodes / time) + ' knodes/s' : '';
    state.analysis = `depth ${depth}  eval ${evaluation}  nodes ${nodes.toLocaleString('en')}  ` +
      `${(time / 1000).toFixed(2)} s  ${speed}\npv ${m[5]}`;
    // A Swap2 think's line is White's search of the opening, which its
    // answer need not follow (it may swap, or place balancing stones): shown
    // as text only.
    state.pv = request.kind === 'swap2' ? [] : parsePv(m[5], state.thinkingColour);
    if (request.analysis && state.pv.length) {
      state.marks = [{ x: state.pv[0].x, y: state.pv[0].y, value: request.lastValue, rank: 1 }];
    }
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

// The engine's copy of the game rebuilt as the position shown: RESTART keeps
// the board's size and the rule, one YXBOARD block lays the stones in their
// order (the colour follows the order), and the forbidden points come back.
async function syncEngine(moves = state.record) {
  const game = state.game;
  await engine.request('ok', 'RESTART');
  if (game !== state.game) return;
  const block = moves.map((m, i) => `${m.x},${m.y},${colourOfMove(i) === state.engineColour ? 1 : 2}`);
  await refreshForbidden('YXBOARD', ...block, 'DONE');
}

// The phase once nobody is thinking.
function settle() {
  if (state.result) state.phase = 'over';
  else state.phase = sideToMove() === state.engineColour ? 'paused' : 'human';
}

// The level and the time of the engine's own moves, which analysis, hints
// and the value graph set aside for their thinks.
function postPlaySettings() {
  engine.post(`INFO level ${state.level}`, `INFO max_node 0`, `INFO timeout_turn ${state.timeMs}`);
}

// Asks the engine for its move with `lines` (TURN x,y, or BOARD / DONE for the
// position as it stands), then plays and judges it.
async function engineMove(...lines) {
  const game = state.game;
  state.phase = 'thinking';
  state.thinkingColour = sideToMove();
  state.note = '';
  state.marks = [];
  state.hint = null;
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
    pushMove({ x, y, ms: Math.round(reply.ms) });
    const first = state.pv[0];
    state.pv = first && first.x === x && first.y === y ? state.pv.slice(1) : [];
    judgeLastMove(forbiddenBefore);
    await refreshForbidden();
    if (game !== state.game) return;
  }
  settle();
  render();
  analyseIfAsked();
}

async function humanMove(x, y) {
  if (state.phase === 'analysing') { state.pending = () => humanMove(x, y); return; }
  if (placingOpening()) { await openingStone(x, y); return; }
  if (state.phase !== 'human') return;
  if (x < 0 || y < 0 || x >= state.width || y >= state.height || occupant(x, y)) return;
  if (state.rule === RENJU && sideToMove() === BLACK && state.forbidden.has(key(x, y))) {
    state.note = `${x},${y} is forbidden to Black under Renju.`;
    render();
    return;
  }
  const at = state.record.length;
  const next = state.line[at];
  if (next && next.x === x && next.y === y) {
    // The move the line already has: follow it.
    await goTo(at + 1);
    return;
  }
  const game = state.game;
  const forbiddenBefore = state.forbidden;
  pushMove({ x, y, ms: 0 });
  state.pv = [];
  state.marks = [];
  state.hint = null;
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
  if (sideToMove() !== state.engineColour) {
    // The engine's side is the side that just moved (after stepping through
    // the game): the move is only recorded.
    state.phase = 'starting';
    render();
    await refreshForbidden('YXBOARD', `${x},${y},2`, 'DONE');
    if (game !== state.game) return;
    settle();
    render();
    analyseIfAsked();
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
// The Swap2 opening. Who places the first three stones (Black, White, Black)
// is chosen with the opening; the other side then takes Black ("swap"),
// stays White by playing White's move, or places two more stones (White,
// Black) and hands the choice of colour back to the first. The engine is
// asked with SWAP2BOARD on the stones placed so far (0, 3 or 5), and nothing
// of its answer goes on the board before readSwap2Answer has accepted it.
// An answer that names a move means "I play White" (it is White's move); SWAP
// means "I play Black", and the opponent, White, is to move.

async function startSwap2(first) {
  state.swap2 = { first, step: first === 'you' ? 'place3' : 'asking', from: 0 };
  if (first === 'engine') {
    state.swap2Text = 'Swap2: the engine places three stones, then you choose.';
    await askSwap2();
  } else {
    state.swap2Text = 'Swap2: place three stones (Black, White, Black). The engine then chooses.';
    state.phase = 'opening';
    render();
  }
}

// The engine's answer to SWAP2BOARD on an opening of `placed` stones,
// checked against what the rule lets the chooser say there: after none, the
// three opening stones; after three, SWAP, White's move, or two more stones;
// after five, SWAP or White's move. Every stone must fall on an empty cell
// of the board and no cell twice. Returns {swap: true}, {moves: [{x, y}...]}
// or {error: why}.
function readSwap2Answer(line, placed) {
  const expected = placed === 0 ? 'three stones' : placed === 3 ? 'SWAP, one move or two' : 'SWAP or one move';
  const counts = placed === 0 ? [3] : placed === 3 ? [1, 2] : [1];
  if (line === 'SWAP') return placed === 0 ? { error: expected + ' expected' } : { swap: true };
  const tokens = line.trim().split(/\s+/);
  if (!counts.includes(tokens.length)) return { error: expected + ' expected' };
  const taken = new Set(state.record.map((m) => key(m.x, m.y)));
  const moves = [];
  for (const token of tokens) {
    const m = /^(\d{1,2}),(\d{1,2})$/.exec(token);
    if (!m) return { error: `“${token}” is not a move` };
    const x = Number(m[1]), y = Number(m[2]);
    if (x >= state.width || y >= state.height) return { error: `${token} is off the board` };
    if (taken.has(key(x, y))) return { error: `${token} is taken` };
    taken.add(key(x, y));
    moves.push({ x, y });
  }
  return { moves };
}

// Your stone of the opening; the engine is asked when the step's stones are
// all placed. The engine hears of them only then, so a stone taken back
// before needs nothing from it.
async function openingStone(x, y) {
  if (x < 0 || y < 0 || x >= state.width || y >= state.height || occupant(x, y)) return;
  pushMove({ x, y, ms: 0 });
  state.cursor = { x, y };
  state.note = '';
  if (state.record.length === (state.swap2.step === 'place3' ? 3 : 5)) await askSwap2();
  else render();
}

function takeBackOpeningStone() {
  if (state.record.length <= state.swap2.from) return;
  state.record.pop();
  state.line = state.record.slice();
  render();
}

async function askSwap2() {
  const game = state.game;
  const placed = state.record.length;
  state.swap2.step = 'asking';
  state.phase = 'thinking';
  state.analysis = '';
  state.pv = [];
  render();
  const reply = await engine.request('swap2', 'SWAP2BOARD', ...state.record.map((m) => key(m.x, m.y)), 'DONE');
  if (game !== state.game) return;
  const answer = readSwap2Answer(reply.line, placed);
  if (answer.error) {
    // The opening cannot go on: the stones stay as they were, and a new
    // game starts afresh.
    state.swap2 = null;
    state.swap2Text = '';
    state.result = { text: `The engine's Swap2 answer “${reply.line}” cannot be played: ${answer.error}.`, cells: [], winner: 0 };
    settle();
    render();
    return;
  }
  const ms = Math.round(reply.ms);
  (answer.moves || []).forEach((m, i) => pushMove({ ...m, ms: i === 0 ? ms : 0 }));
  const names = (answer.moves || []).map((m) => moveName(m)).join(' and ');
  if (placed === 0) {
    state.swap2.step = 'choose3';
    state.swap2Text = 'Swap2: play White (you move next), play Black (the engine moves next), or place two more stones.';
    state.phase = 'opening';
    render();
  } else if (answer.moves && answer.moves.length === 2) {
    state.swap2.step = 'choose5';
    state.swap2Text = `Swap2: the engine placed two more stones (${names}). Choose your colour; White moves next.`;
    state.phase = 'opening';
    render();
  } else if (answer.swap) {
    await finishOpening(BLACK, 'Swap2: the engine took Black. You play White.');
  } else {
    await finishOpening(WHITE, `Swap2: the engine plays White (${names}). You play Black.`);
  }
}

// Your choice after the engine's stones: 'white', 'black', or 'two' more
// stones to place (only after the first three).
async function chooseSwap2(choice) {
  if (state.phase !== 'opening' || !['choose3', 'choose5'].includes(state.swap2.step)) return;
  if (choice === 'two') {
    if (state.swap2.step !== 'choose3') return;
    state.swap2 = { ...state.swap2, step: 'place2', from: state.record.length };
    state.swap2Text = 'Swap2: place two more stones (White, Black). The engine then chooses.';
    render();
    return;
  }
  const you = choice === 'black' ? BLACK : WHITE;
  const next = sideToMove() === you ? 'you move next' : 'the engine moves next';
  await finishOpening(3 - you, `Swap2: you play ${colourName(you)}; ${next}.`);
}

// The colours are settled: the engine's copy of the game is rebuilt with
// its stones as its own, and the game goes on as any other.
async function finishOpening(engineColour, text) {
  const game = state.game;
  state.engineColour = engineColour;
  state.swap2 = null;
  state.swap2Text = text;
  state.openingPlies = state.record.length;
  state.phase = 'starting';
  render();
  await syncEngine();
  if (game !== state.game) return;
  if (sideToMove() === state.engineColour) {
    await engineMove('BOARD', 'DONE');
  } else {
    settle();
    render();
    analyseIfAsked();
  }
}

// ---------------------------------------------------------------------------
// Stepping through the game. The engine's copy follows the position shown;
// nobody moves until a stone is played or Engine move is pressed.

// The ply that stepping goes from: the one a step still on its way will
// show, else the one shown.
function steppedPly() {
  return state.nextStep !== null ? state.nextStep : state.record.length;
}

async function goTo(ply) {
  if (state.phase === 'analysing') { state.pending = () => goTo(ply); return; }
  // A step asked for while the engine is still taking the last one is kept
  // (the latest wins), so fast presses of a key are not lost.
  if (state.stepping) { state.nextStep = Math.max(0, Math.min(state.line.length, ply)); return; }
  if (!['human', 'paused', 'over'].includes(state.phase)) return;
  ply = Math.max(0, Math.min(state.line.length, ply));
  if (ply !== state.record.length) await showPosition(ply);
}

async function showPosition(ply) {
  const game = state.game;
  state.record = state.line.slice(0, ply);
  state.result = null;
  judgeLastMove(new Set());
  state.pv = [];
  state.marks = [];
  state.hint = null;
  state.analysis = '';
  state.note = '';
  const last = state.record[ply - 1];
  if (last) state.cursor = { x: last.x, y: last.y };
  state.phase = 'starting';
  state.stepping = true;
  render();
  await syncEngine();
  state.stepping = false;
  const next = state.nextStep;
  state.nextStep = null;
  if (game !== state.game) return;
  settle();
  render();
  if (next !== null && next !== state.record.length) await goTo(next);
  else analyseIfAsked();
}

// Back to the line that the last branch replaced, at the position where the
// two parted; the branch becomes the line to go back to.
async function restoreOldLine() {
  if (!state.oldLine || !['human', 'paused', 'over'].includes(state.phase)) return;
  const { moves, at } = state.oldLine;
  state.oldLine = { moves: state.line.slice(), at };
  state.line = moves;
  state.values.length = Math.min(state.values.length, at + 1);
  await showPosition(at);
}

// ---------------------------------------------------------------------------
// Thinks without a move: analysis, hints and the value graph.
//
// With an engine that answers YXNBEST the N-best think is asked for: it
// prints its N lines after each iteration and answers with its best move
// without playing it. An engine that does not know the command says so, and
// the page then asks for an ordinary think and takes the engine's move back;
// that marks one move, the engine's own.

async function thinkWithoutMoving(count, ms, quiet = false) {
  const game = state.game;
  engine.post('INFO level 0', 'INFO max_node 0', `INFO timeout_turn ${ms}`);
  let result = null;
  if (state.nbest !== false) {
    const reply = await engine.request({ kind: 'nbest', count }, `YXNBEST ${count}`);
    if (game !== state.game) return null;
    if (reply.line.startsWith('UNKNOWN')) {
      state.nbest = false;
    } else {
      state.nbest = true;
      const [x, y] = reply.line.split(',').map(Number);
      result = { x, y };
    }
  }
  if (!result) {
    const reply = await engine.request({ kind: 'move', analysis: !quiet, quiet }, 'BOARD', 'DONE');
    if (game !== state.game) return null;
    const [x, y] = reply.line.split(',').map(Number);
    if (x >= 0) {
      await engine.request('ok', `TAKEBACK ${x},${y}`);
      if (game !== state.game) return null;
      result = { x, y, value: reply.request.lastValue };
    }
  }
  postPlaySettings();
  return result;
}

const analysisMs = () => Math.max(state.timeMs, ANALYSIS_MIN_MS);

// The Analyse switch: thinks on the position shown whenever it changes and
// nobody is to play (your move, the engine's paused side, or a finished game
// stepped back from).
async function analyseIfAsked() {
  if (!state.analyse || !['human', 'paused'].includes(state.phase)) return;
  const here = lineText(state.record);
  if (state.analysedAt === here && state.marks.length) return;
  const game = state.game;
  const before = state.phase;
  state.phase = 'analysing';
  state.thinkingColour = sideToMove();
  state.marks = [];
  state.nextMarks = null;
  state.analysedAt = here;
  render();
  await thinkWithoutMoving(NBEST, analysisMs());
  if (game !== state.game) return;
  state.phase = before;
  settle();
  render();
  const pending = state.pending;
  state.pending = null;
  if (pending) await pending();
}

async function showHint() {
  if (state.phase !== 'human') return;
  const game = state.game;
  state.phase = 'analysing';
  state.thinkingColour = sideToMove();
  state.nextMarks = null;
  render();
  const best = await thinkWithoutMoving(1, analysisMs(), true);
  if (game !== state.game) return;
  state.marks = [];
  state.hint = best && best.x >= 0 ? { x: best.x, y: best.y } : null;
  state.note = state.hint ? `Hint: ${moveName(state.hint)}.` : '';
  settle();
  render();
  const pending = state.pending;
  state.pending = null;
  if (pending) await pending();
}

// The value graph's pass: each position of the line after a move is set up
// and thought on with a fixed node budget (so the values do not depend on
// the machine), and the value of the side to move turned into Black's view.
// A position won by its last move is a sure win for its mover.
async function valueGraph() {
  if (!['human', 'paused', 'over'].includes(state.phase) || !state.line.length) return;
  const game = state.game;
  const before = state.record.length;
  state.phase = 'graphing';
  render();
  engine.post('INFO level 0', `INFO max_node ${PASS_NODES}`, 'INFO timeout_turn 10000');
  const saved = state.record;
  for (let k = 1; k <= state.line.length; k++) {
    state.record = state.line.slice(0, k);
    const mover = colourOfMove(k - 1);
    state.result = null;
    judgeLastMove(new Set());
    let value, black;
    if (state.result || k === state.width * state.height) {
      const winner = state.result ? state.result.winner : 0;
      value = winner ? (winner === mover ? '+M1' : '-M1') : 0;
      black = winner === BLACK ? 1 : winner === WHITE ? 0 : 0.5;
    } else {
      await syncEngine();
      if (game !== state.game) return;
      const reply = await engine.request({ kind: 'move', quiet: true }, 'BOARD', 'DONE');
      if (game !== state.game) return;
      // The think's value is the opponent's (he is to move): the mover's is
      // its negation.
      const v = reply.request.lastValue;
      value = typeof v === 'string' ? (v.startsWith('-') ? '+' : '-') + v.replace(/^[+-]/, '') : -(v || 0);
      const p = typeof value === 'string' ? (value.startsWith('+') ? 1 : 0) : 1 / (1 + Math.exp(-value / 250));
      black = mover === BLACK ? p : 1 - p;
    }
    state.values[k] = { value, black, mover };
    state.record = saved;
    render();
  }
  state.record = saved;
  state.result = null;
  judgeLastMove(new Set());
  postPlaySettings();
  state.phase = 'starting';
  await syncEngine();
  if (game !== state.game) return;
  settle();
  if (state.record.length !== before) await goTo(before);
  render();
}

// ---------------------------------------------------------------------------
// Buttons.

function readSettings() {
  state.width = Number($('width').value);
  state.height = Number($('height').value);
  state.rule = Number($('rule').value);
  state.timeMs = Number($('time').value);
  state.level = Number($('level').value);
  state.opening = $('opening').value;
}

function resetGame() {
  state.record = [];
  state.line = [];
  state.oldLine = null;
  state.values = [];
  state.result = null;
  state.forbidden = new Set();
  state.pv = [];
  state.marks = [];
  state.hint = null;
  state.analysedAt = null;
  state.analysis = '';
  state.note = '';
  state.swap2 = null;
  state.swap2Text = '';
  state.openingPlies = 0;
}

async function newGame() {
  readSettings();
  const game = ++state.game;
  resetGame();
  state.cursor = { x: Math.floor(state.width / 2), y: Math.floor(state.height / 2) };
  state.phase = 'starting';
  render();
  engine.post(`INFO rule ${state.rule}`);
  postPlaySettings();
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
  if (state.opening !== 'plain') await startSwap2(state.opening === 'swap2-you' ? 'you' : 'engine');
  else if (state.engineColour === BLACK) await engineMove('BEGIN');
  else { settle(); render(); analyseIfAsked(); }
}

// Takes back the engine's reply and your move before it, or the one last move
// when it was yours or stands alone. The moves leave the line.
async function undo() {
  if (placingOpening()) { takeBackOpeningStone(); return; }
  if (!['human', 'paused', 'over'].includes(state.phase) || state.record.length <= state.openingPlies) return;
  const game = state.game;
  const n = state.record.length;
  // The stones of a Swap2 opening stay: the colours were chosen on them.
  const count = Math.min(n >= 2 && colourOfMove(n - 1) === state.engineColour ? 2 : 1, n - state.openingPlies);
  state.phase = 'starting';
  render();
  for (let i = 0; i < count; i++) {
    const m = state.record[state.record.length - 1];
    const reply = await engine.request('ok', `TAKEBACK ${m.x},${m.y}`);
    if (game !== state.game) return;
    if (reply.line !== 'OK') log('! take-back refused: ' + reply.line);
    state.record.pop();
  }
  state.line = state.record.slice();
  state.values.length = Math.min(state.values.length, state.record.length + 1);
  state.result = null;
  state.pv = [];
  state.marks = [];
  state.hint = null;
  state.note = '';
  await refreshForbidden();
  if (game !== state.game) return;
  settle();
  render();
  analyseIfAsked();
}

async function swapColours() {
  if (!['human', 'paused', 'over'].includes(state.phase)) return;
  state.engineColour = 3 - state.engineColour;
  if (state.phase !== 'over' && sideToMove() === state.engineColour && state.record.length === state.line.length) {
    await engineMove('BOARD', 'DONE');
  } else {
    settle();
    render();
  }
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
  $('record').value = state.line.map((m) => moveName(m)).join(' ');
  $('record').select();
}

// Reads a move list into a new game on the current settings (x,y or a1
// tokens, each for itself), or a .psq record whose header sets the board's
// size. The engine's copy is rebuilt by START and one YXBOARD block. The
// engine is not asked to move: press Engine move for that.
async function importRecord(text = $('record').value) {
  text = text.trim();
  const psq = /^Piskvorky\s+(\d+)\s*x\s*(\d+)\s*,\s*(-?\d+)\s*:\s*(-?\d+)\s*,\s*(-?\d+)/i.exec(text);
  let width = Number($('width').value), height = Number($('height').value);
  const moves = [];
  const times = [];
  if (psq) {
    width = Number(psq[1]);
    height = Number(psq[2]);
    if (width < MIN_SIDE || height < MIN_SIDE || width > MAX_SIDE || height > MAX_SIDE) {
      return importError(`the board ${width} x ${height} is not between ${MIN_SIDE} and ${MAX_SIDE} a side`);
    }
    // One move a line, counted from 1, up to the first line that is not a
    // move: names, a closing number, whatever the program that wrote it adds.
    for (const row of text.split(/\r?\n/).slice(1)) {
      const m = /^\s*(-?\d+)\s*,\s*(-?\d+)\s*,\s*(-?\d+)\s*$/.exec(row);
      if (!m) break;
      moves.push({ x: Number(m[1]) - 1, y: Number(m[2]) - 1 });
      times.push(Math.max(0, Number(m[3])));
    }
  } else {
    for (const token of text ? text.split(/[\s;]+/) : []) {
      const m = parseMove(token, height);
      if (!m) return importError(`“${token}” is not a move (x,y or a1)`);
      moves.push(m);
      times.push(0);
    }
  }
  const seen = new Set();
  for (const m of moves) {
    const name = key(m.x, m.y);
    if (m.x < 0 || m.y < 0 || m.x >= width || m.y >= height) return importError(`${moveName(m, 'xy')} is off the ${width} x ${height} board`);
    if (seen.has(name)) return importError(`${name} is played twice`);
    seen.add(name);
  }
  $('width').value = String(width);
  $('height').value = String(height);
  readSettings();
  const game = ++state.game;
  resetGame();
  state.phase = 'starting';
  render();
  engine.post(`INFO rule ${state.rule}`);
  postPlaySettings();
  const start = state.width === state.height ? `START ${state.width}` : `RECTSTART ${state.width},${state.height}`;
  await engine.request('ok', start);
  if (game !== state.game) return;
  // Judge move by move: nothing may follow a won game.
  for (let i = 0; i < moves.length; i++) {
    state.record.push({ ...moves[i], ms: times[i] });
    judgeLastMove(new Set());
    if (state.result && i + 1 < moves.length) {
      resetGame();
      settle();
      return importError(`the game is over after move ${i + 1}`);
    }
  }
  state.line = state.record.slice();
  await syncEngine();
  if (game !== state.game) return;
  const last = state.record[state.record.length - 1];
  if (last) state.cursor = { x: last.x, y: last.y };
  settle();
  render();
  analyseIfAsked();
}

function importError(text) {
  state.note = 'Import: ' + text + '.';
  render();
}

// The line as a .psq record: the size, one move a line counted from 1 with
// the ms it took (0 for yours), and a closing number. a:b and c of the first
// line are written as 11:11 and 0 and not read back.
function psqText() {
  const rows = [`Piskvorky ${state.width}x${state.height}, 11:11, 0`];
  for (const m of state.line) rows.push(`${m.x + 1},${m.y + 1},${m.ms || 0}`);
  rows.push('-1');
  return rows.join('\r\n') + '\r\n';
}

function savePsq() {
  const blob = new Blob([psqText()], { type: 'text/plain' });
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = 'ruvan-game.psq';
  document.body.appendChild(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

function openFile(event) {
  const file = event.target.files[0];
  if (!file) return;
  file.text().then((text) => {
    $('record').value = text.startsWith('Piskvorky') ? '' : text.trim();
    event.target.value = '';
    importRecord(text);
  });
}

// ---------------------------------------------------------------------------
// Mouse, touch and keyboard.

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
  // focused), since on a button they press it. Home, PageUp, PageDown and
  // End step through the game.
  document.addEventListener('keydown', (event) => {
    const target = event.target;
    if (target.closest && target.closest('select, textarea, input')) return;
    const stepping = { Home: () => 0, PageUp: () => steppedPly() - 1, PageDown: () => steppedPly() + 1, End: () => state.line.length };
    if (stepping[event.key]) {
      event.preventDefault();
      goTo(stepping[event.key]());
      return;
    }
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
  $('swap2-white').addEventListener('click', () => chooseSwap2('white'));
  $('swap2-black').addEventListener('click', () => chooseSwap2('black'));
  $('swap2-two').addEventListener('click', () => chooseSwap2('two'));
  $('undo').addEventListener('click', undo);
  $('swap').addEventListener('click', swapColours);
  $('engine-move').addEventListener('click', engineMoveNow);
  $('export').addEventListener('click', exportRecord);
  $('import').addEventListener('click', () => importRecord());
  $('save-psq').addEventListener('click', savePsq);
  $('open-psq').addEventListener('click', () => $('file').click());
  $('file').addEventListener('change', openFile);
  $('first').addEventListener('click', () => goTo(0));
  $('back').addEventListener('click', () => goTo(steppedPly() - 1));
  $('forward').addEventListener('click', () => goTo(steppedPly() + 1));
  $('last').addEventListener('click', () => goTo(state.line.length));
  $('old-line').addEventListener('click', restoreOldLine);
  $('hint').addEventListener('click', showHint);
  $('graph-pass').addEventListener('click', valueGraph);
  $('graph').addEventListener('click', (event) => {
    const point = event.target.closest('.point');
    if (point) goTo(Number(point.dataset.ply));
  });
  $('analyse').addEventListener('change', () => {
    state.analyse = $('analyse').checked;
    state.analysedAt = null;
    if (!state.analyse) { state.marks = []; render(); } else analyseIfAsked();
  });
  $('notation').addEventListener('change', () => { state.notation = $('notation').value; render(); });
  $('show-pv').addEventListener('change', render);
  // The time per move and the level apply from the next think on; the
  // engine reads INFO between commands.
  $('time').addEventListener('change', () => {
    state.timeMs = Number($('time').value);
    engine.post(`INFO timeout_turn ${state.timeMs}`);
    render();
  });
  $('level').addEventListener('change', () => {
    state.level = Number($('level').value);
    engine.post(`INFO level ${state.level}`);
  });
}

// Settings from the address, for links to a set-up:
// ?w=9&h=9&rule=2&time=300&engine=black&level=1&notation=a1&opening=swap2-you
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
  if (['0', '1', '2', '3', '4', '5'].includes(params.get('level'))) $('level').value = params.get('level');
  if (params.get('notation') === 'a1') $('notation').value = 'a1';
  if (['plain', 'swap2-you', 'swap2-engine'].includes(params.get('opening'))) $('opening').value = params.get('opening');
  state.notation = $('notation').value;
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
