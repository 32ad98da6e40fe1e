// The page's way into the engine against the console's: the same command
// lines go to the WebAssembly engine (build/web/ruvan.js under node, one
// ruvan_line call per line) and to the native build/release/ruvan (standard
// input), and the replies must be the same lines. The transcripts avoid
// thinking, whose node counts and times differ from run to run, except for
// one BOARD block whose reply is checked for form; they lean on the block
// commands, which the web transport collects itself before the front end
// reads them from an in-memory file.
'use strict';

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '..', '..');
const SITE = path.join(ROOT, 'build', 'web');
const NATIVE = path.join(ROOT, 'build', 'release', 'ruvan');

async function webEngine() {
  const createRuvan = require(path.join(SITE, 'ruvan.js'));
  const lines = [];
  const module = await createRuvan({
    wasmBinary: fs.readFileSync(path.join(SITE, 'ruvan.wasm')),
    print: (line) => lines.push(line),
    printErr: (line) => lines.push('stderr: ' + line),
  });
  const feed = module.cwrap('ruvan_line', 'number', ['string']);
  return { lines, feed };
}

// The replies, and how many of them had come after each line.
async function viaWeb(input) {
  const { lines, feed } = await webEngine();
  let ended = 0;
  const after = [];
  for (const line of input) {
    ended = feed(line);
    after.push(lines.length);
  }
  return { lines, ended, after };
}

function viaNative(input) {
  assert.ok(fs.existsSync(NATIVE), 'build/release/ruvan is missing: run make release');
  const run = spawnSync(NATIVE, [], { input: input.join('\n') + '\n', encoding: 'utf8', timeout: 60000 });
  assert.equal(run.status, 0);
  assert.equal(run.stderr, '');
  return run.stdout.split('\n').slice(0, -1);
}

const LONG = 'x'.repeat(9000);

const TRANSCRIPTS = {
  'blocks, forbidden points and take-backs under Renju': [
    'INFO rule 2', 'START 15',
    'YXBOARD', '7,7,1', '7,8,2', '8,8,1', 'DONE', 'YXSHOWFORBID',
    // A bad line ends the block; the lines after it are commands again.
    'YXBOARD', '6,6,1', '99,99,1', 'ABOUT', 'YXSHOWFORBID',
    'TAKEBACK 6,6', 'TAKEBACK 6,6',
    'yxboard', '1,1,3', 'dOnE', 'YXSHOWFORBID', 'TAKEBACK 1,1',
    'RESTART',
    'YXBOARD', '5,7,1', '0,0,2', '6,7,1', '0,14,2', '7,5,1', '14,0,2', '7,6,1', '14,14,2', 'DONE', 'YXSHOWFORBID',
    'YXBOARD', '7,7,2', '7,7,1', 'DONE',
    'END',
  ],
  'boards, refusals and odd lines': [
    // A block before any game: it starts a 20 x 20 one.
    'YXBOARD', '19,19,1', '20,0,2', 'YXSHOWFORBID',
    'START 0', 'START 23', 'RECTSTART 12,7', 'PLAY 11,6', 'PLAY 11,6', 'TAKEBACK 11,6', 'TAKEBACK 3,3',
    'YXBOARD', '3,3,0', 'ABOUT', 'YXBOARD', '3,3,4', 'ABOUT', 'YXBOARD', '-1,2,1', 'ABOUT',
    'RECTSTART x', 'TURN 40,40', 'INFO max_memory 67108864', 'FOO', '', 'ABOUT   ' + LONG, LONG,
    // A block closed by a command that is not DONE, and one cut by a block.
    'YXBOARD', '1,1,1', 'ABOUT', 'YXBOARD', '2,2,2', 'YXBOARD', 'DONE', 'YXSHOWFORBID',
    'INFO rule 2', 'YXSHOWFORBID', 'START 9', 'YXSHOWFORBID',
    'END',
  ],
};

for (const [name, input] of Object.entries(TRANSCRIPTS)) {
  test(`same replies through the page's transport and standard input: ${name}`, async () => {
    const web = await viaWeb(input);
    const native = viaNative(input);
    assert.ok(native.length > 5, 'the transcript has replies');
    assert.deepEqual(web.lines, native);
    assert.equal(web.ended, 1, 'END reported to the worker');
    // Replies come as soon as on standard input: after each ABOUT and
    // YXSHOWFORBID, the web engine has said what the native one says to the
    // lines up to there.
    for (let i = 0; i < input.length; i++) {
      if (!/^(ABOUT|YXSHOWFORBID)/.test(input[i])) continue;
      assert.deepEqual(web.lines.slice(0, web.after[i]), viaNative(input.slice(0, i + 1)), `after line ${i + 1}: ${input[i]}`);
    }
  });
}

test('after END the web engine takes no more lines', async () => {
  const { lines, feed } = await webEngine();
  assert.equal(feed('START 9'), 0);
  assert.equal(feed('END'), 1);
  const before = lines.length;
  assert.equal(feed('ABOUT'), 1);
  assert.equal(lines.length, before);
});

test('a BOARD block in pieces is answered with one move after DONE', async () => {
  const { lines, feed } = await webEngine();
  for (const line of ['INFO timeout_turn 200', 'START 9', 'BOARD', '4,4,2', '4,5,1']) feed(line);
  assert.equal(lines.length, 2, 'no think before the block ends');
  assert.match(lines[0], /^MESSAGE Ruvan /);
  assert.equal(lines[1], 'OK');
  feed('DONE');
  const replies = lines.slice(2).filter((l) => !l.startsWith('MESSAGE '));
  assert.equal(replies.length, 1);
  assert.match(replies[0], /^[0-8],[0-8]$/);
  assert.ok(!['4,4', '4,5'].includes(replies[0]));
  assert.ok(lines.some((l) => /^MESSAGE depth \d+ eval \S+ nodes \d+ time \d+ pv /.test(l)));
});
