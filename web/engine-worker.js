// The engine's own thread. The page posts command text (one or more lines);
// each line goes to the engine through ruvan_line, and every line the engine
// prints comes back as one message {line}. A think blocks this worker until
// the move is printed, so lines posted meanwhile wait in the message queue;
// the analysis lines of the think still reach the page as they are printed.
'use strict';

importScripts('ruvan.js');

let feedLine = null;
const waiting = [];

function feed(text) {
  for (const line of String(text).split(/\r?\n/)) {
    if (feedLine(line)) {
      // END: the engine has shut down, and so does its thread.
      postMessage({ closed: true });
      close();
      return;
    }
  }
}

createRuvan({
  print: (line) => postMessage({ line }),
  printErr: (line) => postMessage({ error: line }),
}).then((module) => {
  feedLine = module.cwrap('ruvan_line', 'number', ['string']);
  postMessage({ ready: true });
  while (waiting.length) feed(waiting.shift());
}, (reason) => postMessage({ error: 'engine failed to load: ' + reason }));

onmessage = (event) => {
  if (feedLine) feed(event.data);
  else waiting.push(event.data);
};
