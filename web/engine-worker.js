// The engine's own thread. The page posts command text (one or more lines);
// each line goes to the engine through ruvan_line, and every line the engine
// prints comes back as one message {line}. A think blocks this worker until
// the move is printed, so lines posted meanwhile wait in the message queue;
// the analysis lines of the think still reach the page as they are printed.
//
// The engine's web transport collects the blocks of BOARD and YXBOARD
// itself, but the front end reads the block of SWAP2BOARD (x,y lines up to
// DONE) from standard input, where a worker has nothing: the block's lines
// would arrive as commands of their own. So this thread serves standard
// input for that block: it holds the block's lines from SWAP2BOARD up to
// the line that ends it (DONE, or the first that is not x,y, where the
// front end stops reading), hands them out one line per read while the
// front end reads them, and passes on as commands whatever it did not read,
// as standard input would. Should the transport one day collect the block
// itself, the engine reads nothing here and every line goes to ruvan_line.
'use strict';

importScripts('ruvan.js');

// The front end takes a line for a command when it begins with the word,
// in any case.
const STDIN_BLOCKS = /^SWAP2BOARD/i;
// A line the front end takes as a cell of the block ("%d,%d" as sscanf
// reads it) and reads on after.
const CELL_LINE = /^\s*[+-]?\d+,\s*[+-]?\d+/;

let feedLine = null;
let ended = false;
const waiting = [];
let block = null;          // the stdin block being collected: its lines, the command first
const NO_INPUT = { lines: [], line: 0, at: 0, lineEnd: false };
let stdin = NO_INPUT;       // the lines held for standard input (as bytes) and how far read
const encoder = new TextEncoder();

// Standard input for the front end: the held lines, one a read (a read
// stops after each LF, so the C library buffers no line the front end does
// not ask for); null (end of input) only once the lines are all read.
function readStdin() {
  if (stdin.lineEnd) { stdin.lineEnd = false; return null; }
  if (stdin.line >= stdin.lines.length) return null;
  const bytes = stdin.lines[stdin.line];
  if (stdin.at < bytes.length) return bytes[stdin.at++];
  stdin.line++;
  stdin.at = 0;
  stdin.lineEnd = true;
  return 10;
}

function send(line) {
  if (ended) return;
  if (feedLine(line)) {
    // END: the engine has shut down, and so does its thread.
    ended = true;
    postMessage({ closed: true });
    close();
  }
}

// The block from the command to the line that ends it: the command goes to
// ruvan_line with the other lines on standard input; those not read go on
// as commands.
function runBlock(lines) {
  stdin = { lines: lines.slice(1).map((line) => encoder.encode(line)), line: 0, at: 0, lineEnd: false };
  send(lines[0]);
  // The front end reads whole lines, so a line is read or untouched.
  const unread = lines.slice(1 + stdin.line);
  stdin = NO_INPUT;
  for (const line of unread) send(line);
}

function feed(text) {
  for (const line of String(text).split(/\r?\n/)) {
    if (block) {
      block.push(line);
      if (!CELL_LINE.test(line)) {
        const lines = block;
        block = null;
        runBlock(lines);
      }
    } else if (STDIN_BLOCKS.test(line)) {
      block = [line];
    } else {
      send(line);
    }
  }
}

createRuvan({
  print: (line) => postMessage({ line }),
  printErr: (line) => postMessage({ error: line }),
  stdin: readStdin,
}).then((module) => {
  feedLine = module.cwrap('ruvan_line', 'number', ['string']);
  postMessage({ ready: true });
  while (waiting.length) feed(waiting.shift());
}, (reason) => postMessage({ error: 'engine failed to load: ' + reason }));

onmessage = (event) => {
  if (feedLine) feed(event.data);
  else waiting.push(event.data);
};
