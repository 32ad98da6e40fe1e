// The front end as the protocol describes it, for the fuzzer's sequential
// sessions: given the game before a command, the command line and the input
// that follows it, the replies the engine owes and the game it must leave.
//
// Written apart from the front end on purpose: the command words are matched,
// the BOARD block is read and the board commands are judged here from the
// protocol's rules (README.md), on a plain record of cells, so that a
// disagreement points at the engine rather than repeating it. Only the
// argument scans share the C library's sscanf with the engine, since the
// protocol defines its arguments by those formats.
//
// A think cannot be predicted move by move; the model names the forms its
// lines must take and the cells its move may use (checkThink).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct ModelCell {
  int x, y;
  bool operator==(const ModelCell& o) const { return x == o.x && y == o.y; }
};

struct ModelGame {
  int width = 0, height = 0;      // 0: no game yet
  std::vector<ModelCell> record;  // moves in order, Black first
  std::vector<ModelCell> blocks;  // in the order they were placed
  // Root moves no think may play (YXBLOCK): a set, each cell once.
  std::vector<ModelCell> excluded;
  bool operator==(const ModelGame& o) const;
  bool excludes(int x, int y) const;
  bool occupied(int x, int y) const;
  bool onBoard(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
  bool full() const;
};

// What a think answers: a move (TURN, BEGIN, BOARD), the N best lines
// (YXNBEST), the balancing move or moves (YXBALANCEONE/TWO) or the Swap2
// choice (SWAP2BOARD).
enum ModelTask { TASK_MOVE, TASK_NBEST, TASK_BALANCE_ONE, TASK_BALANCE_TWO, TASK_SWAP2 };

struct ModelStep {
  std::vector<std::string> replies;  // the command's own lines, in order
  bool thinks = false;               // followed by a think (its lines come after)
  ModelTask task = TASK_MOVE;        // what the think answers
  int taskArgument = 0;              // YXNBEST's line count
  bool ends = false;                 // END: nothing more is read
  size_t consumed = 0;               // bytes of the following input the command reads
  ModelGame after;                   // the game once the command (not its think) is done
  // An INFO line's setting: the key it sets (nullptr: none) and the value the
  // engine must hold for it afterwards.
  const char* infoKey = nullptr;
  long long infoValue = 0;
};

// One command line (as the reader delivers it) on `before`; `following` and
// `size` are the input after the line, which BOARD and YXBOARD read.
ModelStep modelCommand(const ModelGame& before, const char* line, const char* following, size_t size);

// Checks a think's lines (`lines`, from the first after the command's own
// replies) on `game`, the game it thinks on; `rule` is the rule in force
// (0, 1, 2), `showDetail` the show_detail value, `step` the command that
// started it (its task). On success plays what the think plays into `game`
// and returns nullptr; otherwise returns what is wrong.
const char* checkThink(ModelGame& game, int rule, long long showDetail, const ModelStep& step,
                       const std::vector<std::string>& lines);

// Checks a FORBID line: under Renju the listed cells, ascending, empty and on
// the board; otherwise none. nullptr when right.
const char* checkForbid(const ModelGame& game, int rule, const std::string& line);
