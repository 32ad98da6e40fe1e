// The engine inside a web page. The page's Web Worker hands it one command
// line per call of ruvan_line; every reply leaves through printLine on
// standard output, which the WebAssembly runtime passes to the worker line by
// line, and the worker posts each line to the page.
//
// There is one thread (RUVAN_SINGLE_THREAD): a think runs inside the call
// that asked for it, so ruvan_line("TURN 7,8") returns after the move is
// printed, and a STOP can only arrive once the think is over. The time per
// move is what bounds a think here.
//
// BOARD and YXBOARD, and the cell blocks of SWAP2BOARD, YXBLOCK and
// YXBLOCKUNDO, read the lines of their block themselves. The block comes in as
// separate calls, so it is collected until the line the handler stops at
// (DONE, or any line that is not a stone, or a cell, on the board) and then
// handed to the ordinary handler through an in-memory file standing in for
// standard input, which it reads to the end. A page thus sees the same replies a
// manager would, in the same order; only the refusal of a stone inside a
// block comes when the block is closed rather than at once.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "protocol/main_loop.h"
#include "protocol/protocol.h"

#ifdef __EMSCRIPTEN__
#include <emscripten.h>
#define RUVAN_EXPORT EMSCRIPTEN_KEEPALIVE
#else
#define RUVAN_EXPORT
#endif

namespace {

FrontEnd* frontEnd = nullptr;
bool warmedUp = false;
bool ended = false;
bool collecting = false;   // inside a block
bool stoneBlock = false;   // the block is BOARD's or YXBOARD's ("x,y,who" lines), not a cell block ("x,y")
std::string block;         // the block's lines so far, each ended by LF

// A line the block's handler reads and goes on after: "x,y,who" (a stone) or
// "x,y" (a cell; anything after the pair is not looked at, as the handler
// does) on the board the block will be played on (20 x 20 when no game is set
// up yet, as the handler then starts one).
bool isBlockLine(const char* line) {
  int x, y, who = 1;
  if (std::sscanf(line, "%d,%d,%d", &x, &y, &who) < (stoneBlock ? 3 : 2)) return false;
  const Position& game = frontEnd->engine.game;
  const int width = game.xExtent > 0 ? game.xExtent : 20, height = game.xExtent > 0 ? game.yExtent : 20;
  return x >= 0 && y >= 0 && x < width && y < height && (!stoneBlock || (who >= 1 && who <= 3));
}

// The block a command line opens, read as the front end dispatches it (by
// the word's prefix, YXBLOCKRESET ahead of YXBLOCK): 2 stones, 1 cells, 0 none.
int blockOf(const char* line) {
  if (matchWord(line, "BOARD") || matchWord(line, "YXBOARD")) return 2;
  if (matchWord(line, "YXBLOCKRESET")) return 0;
  return matchWord(line, "YXBLOCK") || matchWord(line, "SWAP2BOARD") ? 1 : 0;
}

// The collected block, read by the front end as it would read standard input.
void runBlock() {
  collecting = false;
  std::string text;
  text.swap(block);
  // The command line is the first line of the text.
  std::FILE* memory = fmemopen(&text[0], text.size(), "r");
  if (!memory) {
    printLine("ERROR out of memory");
    return;
  }
  std::FILE* previous = frontEnd->input;
  frontEnd->input = memory;
  if (frontEnd->readCommandLine()) ended = frontEnd->handleCommand();
  frontEnd->input = previous;
  std::fclose(memory);
}

void feedLine(const char* line) {
  if (ended) return;
  if (collecting) {
    block.append(line);
    block.push_back('\n');
    if (!isBlockLine(line)) runBlock();
    return;
  }
  // Lines of up to 8191 characters, the rest dropped, as readCommandLine does;
  // a CR before the end of the line is no part of it.
  std::strncpy(frontEnd->commandLine, line, COMMAND_LINE_SIZE - 1);
  frontEnd->commandLine[COMMAND_LINE_SIZE - 1] = '\0';
  const size_t length = std::strlen(frontEnd->commandLine);
  if (length > 0 && frontEnd->commandLine[length - 1] == '\r') frontEnd->commandLine[length - 1] = '\0';
  // The tables wait for the first command that is not an INFO: the page sends
  // its max_memory first, and tables sized by the default would grow the
  // WebAssembly heap for good (it never shrinks).
  if (!warmedUp && !matchWord(frontEnd->commandLine, "INFO")) {
    frontEnd->engine.warmUp();
    warmedUp = true;
  }
  const int opens = blockOf(frontEnd->commandLine);
  stoneBlock = opens == 2;
  if (opens > 0) {
    collecting = true;
    block.assign(frontEnd->commandLine);
    block.push_back('\n');
    return;
  }
  ended = frontEnd->handleCommand();
}

}  // namespace

// One line from the page, without its line feed. Returns 1 once END has been
// handled (the worker may then close; later lines are ignored), else 0.
extern "C" RUVAN_EXPORT int ruvan_line(const char* line) {
  if (!frontEnd) {
    seedRandom(static_cast<uint32_t>(std::time(nullptr)));
    frontEnd = new FrontEnd;
  }
  feedLine(line);
  return ended ? 1 : 0;
}
