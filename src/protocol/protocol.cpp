#include "protocol/protocol.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "protocol/main_loop.h"
#include "protocol/settings.h"

static std::mutex printMutex;

int printLine(const char* format, ...) {
  std::lock_guard<std::mutex> lock(printMutex);
  va_list args;
  va_start(args, format);
  int length = std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
  return length;
}

static char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool matchWord(const char* line, const char* word) {
  for (; *word; line++, word++) {
    if (*line == '\0' || upper(*line) != upper(*word)) return false;
  }
  return true;
}

const char* findKeyValue(const char* key, const char* text) {
  if (!matchWord(text, key)) return nullptr;
  text += std::char_traits<char>::length(key);
  while (std::isspace(static_cast<unsigned char>(*text))) text++;
  return text;
}

bool equalsIgnoreCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++) {
    if (upper(*a) != upper(*b)) return false;
  }
  return *a == *b;
}

void printGreeting() { printLine("MESSAGE Ruvan %s", RUVAN_VERSION); }

bool FrontEnd::validPair(int x, int y) const {
  return x >= 0 && y >= 0 && x < engine.game.xExtent && y < engine.game.yExtent;
}

void FrontEnd::newGame(int width, int height) {
  if (!engine.game.startGame(width, height, engine.rule.load())) {
    printLine("ERROR size of the board");
    return;
  }
  engine.blockedCount = 0;
  printGreeting();
  printLine("OK");
}

void FrontEnd::ensureGame() {
  if (engine.game.xExtent == 0) newGame(20, 20);
}

// The refusal of a board command that could not be carried out.
void FrontEnd::reportBoard(BoardResult result, const char* refusal, int x, int y) {
  if (result == BoardRefused) printLine(refusal, x, y);
}

void FrontEnd::commandStart(const char* args) {
  int width = engine.game.xExtent, height = engine.game.yExtent;
  int a, b;
  int read = std::sscanf(args, "%d %d", &a, &b);
  if (read == 2) {
    width = a;
    height = b;
  } else if (read == 1) {
    width = height = a;
  }
  stopThinking();
  if (width == 0) width = height = 20;
  newGame(width, height);
}

void FrontEnd::commandRectStart(const char* args) {
  int width, height;
  if (std::sscanf(args, "%d ,%d", &width, &height) != 2) {
    printLine("ERROR bad RECTSTART parameters");
    return;
  }
  stopThinking();
  if (width == 0) width = height = 20;
  newGame(width, height);
}

void FrontEnd::commandRestart() {
  stopThinking();
  if (engine.game.xExtent == 0) {
    newGame(20, 20);
    return;
  }
  // The greeting comes before the board is built for a Renju game, as for START.
  printGreeting();
  engine.game.restartGame(engine.rule.load());
  engine.blockedCount = 0;
  printLine("OK");
}

// Scans "x,y" for TURN, PLAY and TAKEBACK; false (after the error line) when
// the pair does not scan or lies off the board.
bool FrontEnd::scanPair(const char* args, int& x, int& y) {
  if (std::sscanf(args, "%d,%d", &x, &y) == 2 && validPair(x, y)) return true;
  printLine("ERROR bad coordinates");
  return false;
}

void FrontEnd::commandTurn(const char* args) {
  stopThinking();
  ensureGame();
  int x, y;
  if (!scanPair(args, x, y)) return;
  reportBoard(engine.game.playOpponentMove(x, y, engine.rule.load()), "ERROR opponents's move [%d,%d]", x, y);
  startThinking();
}

void FrontEnd::commandPlay(const char* args) {
  stopThinking();
  ensureGame();
  int x, y;
  if (!scanPair(args, x, y)) return;
  reportBoard(engine.game.playOwnMove(x, y, engine.rule.load()), "ERROR my move [%d,%d]", x, y);
  printLine("%d,%d", x, y);
}

void FrontEnd::commandBegin() {
  stopThinking();
  ensureGame();
  startThinking();
}

// BOARD, and YXBOARD (thinking false): the same block, which only BOARD
// answers with a move.
void FrontEnd::commandBoard(bool thinking) {
  stopThinking();
  ensureGame();
  for (;;) {
    // End of input inside the block ends it without thinking; the reader
    // loop then sees the end of input too and shuts down in order.
    if (!readCommandLine()) return;
    int x, y, who;
    if (std::sscanf(commandLine, "%d,%d,%d", &x, &y, &who) == 3 && validPair(x, y) && who >= 1 &&
        who <= 3) {
      const int rule = engine.rule.load();
      if (who == 1) reportBoard(engine.game.playOwnMove(x, y, rule), "ERROR my move [%d,%d]", x, y);
      else if (who == 2) reportBoard(engine.game.playOpponentMove(x, y, rule), "ERROR opponents's move [%d,%d]", x, y);
      else reportBoard(engine.game.placeBlock(x, y, rule), "ERROR board-block move [%d,%d]", x, y);
      continue;
    }
    if (!equalsIgnoreCase(commandLine, "DONE")) printLine("ERROR x,y,who or DONE expected after BOARD");
    break;
  }
  if (thinking) startThinking();
}

// STOP and YXSTOP: the running think ends at once and answers with the best
// move found so far. Without a think there is nothing to answer.
void FrontEnd::commandStop() { engine.stopRequested = 1; }

void FrontEnd::commandTakeBack(const char* args) {
  stopThinking();
  ensureGame();
  int x, y;
  if (!scanPair(args, x, y)) return;
  if (engine.game.takeBackMove(x, y, engine.rule.load()) == BoardDone) printLine("OK");
  else printLine("ERROR bad coordinates");
}

// Lists Black's forbidden cells for a graphical board, as "FORBID " and four
// digits xxyy per cell, closed by ".". Only Renju has any.
void FrontEnd::commandShowForbid() {
  stopThinking();
  static char text[8 + 4 * MAX_CELLS + 2];
  int length = std::snprintf(text, sizeof text, "FORBID ");
  Position& game = engine.game;
  if (game.xExtent > 0 && engine.rule.load() == RULE_RENJU) {
    game.ensureBuilt(RULE_RENJU);
    for (int x = 0; x < game.xExtent; x++) {
      for (int y = 0; y < game.yExtent; y++) {
        int cell = cellIndex(x, y);
        if (game.board.cells[cell] == EMPTY && game.isForbidden(cell))
          length += std::snprintf(text + length, sizeof text - length, "%02d%02d", x, y);
      }
    }
  }
  printLine("%s.", text);
}

bool FrontEnd::readCellBlock(const char* refusal, int* cells, int& count, int limit) {
  count = 0;
  for (;;) {
    if (!readCommandLine()) return false;
    int x, y;
    if (std::sscanf(commandLine, "%d,%d", &x, &y) == 2 && validPair(x, y)) {
      if (count < limit) cells[count++] = cellIndex(x, y);
      continue;
    }
    if (equalsIgnoreCase(commandLine, "DONE")) return true;
    printLine("%s", refusal);
    return false;
  }
}

// YXNBEST n: the n best root moves, each searched with the ones before it
// excluded; answered with the best, which is not played.
void FrontEnd::commandBestLines(const char* args) {
  stopThinking();
  ensureGame();
  int lines;
  if (std::sscanf(args, "%d", &lines) != 1 || lines < 1) {
    printLine("ERROR bad YXNBEST parameters");
    return;
  }
  engine.task = Engine::TASK_NBEST;
  engine.taskArgument = lines;
  startThinking();
}

// YXBLOCK and YXBLOCKUNDO: a block of root moves that no think may play, or
// that may be played again. A line that is neither "x,y" on the board nor
// DONE ends the block with its error; the cells before it count.
void FrontEnd::commandRootBlocks(bool adding, const char* word) {
  stopThinking();
  ensureGame();
  char refusal[64];
  std::snprintf(refusal, sizeof refusal, "ERROR x,y or DONE expected after %s", word);
  for (;;) {
    if (!readCommandLine()) return;
    int x, y;
    if (std::sscanf(commandLine, "%d,%d", &x, &y) == 2 && validPair(x, y)) {
      if (adding) engine.blockRootMove(cellIndex(x, y));
      else engine.unblockRootMove(cellIndex(x, y));
      continue;
    }
    if (!equalsIgnoreCase(commandLine, "DONE")) printLine("%s", refusal);
    return;
  }
}

void FrontEnd::commandBlockReset() {
  stopThinking();
  engine.blockedCount = 0;
}

void FrontEnd::commandHashClear() {
  stopThinking();
  engine.clearTables();
}

// YXBALANCEONE b / YXBALANCETWO b: the move (the two moves) after which the
// position is worth b to the side to move now; not played.
void FrontEnd::commandBalance(int task, const char* args, const char* refusal) {
  stopThinking();
  ensureGame();
  int bias;
  if (std::sscanf(args, "%d", &bias) != 1) {
    printLine("%s", refusal);
    return;
  }
  engine.task = task;
  engine.taskArgument = bias;
  startThinking();
}

// SWAP2BOARD: the opening so far (0, 3 or 5 stones, Black first, in the
// order played) replaces the game; the engine answers as the Swap2 rule
// lets the side to choose, and plays the stones it names. A bad block
// changes nothing.
void FrontEnd::commandSwap2() {
  stopThinking();
  ensureGame();
  int cells[6], count;
  if (!readCellBlock("ERROR x,y or DONE expected after SWAP2BOARD", cells, count, 6)) return;
  for (int i = 0; i < count; i++)
    for (int j = 0; j < i; j++)
      if (cells[i] == cells[j]) count = -1;   // the same cell twice
  if (count != 0 && count != 3 && count != 5) {
    printLine("ERROR SWAP2BOARD needs 0, 3 or 5 stones on distinct cells");
    return;
  }
  engine.game.restartGame(engine.rule.load());
  engine.blockedCount = 0;
  for (int i = 0; i < count; i++) engine.game.playOwnMove(cellX(cells[i]), cellY(cells[i]), engine.rule.load());
  engine.task = Engine::TASK_SWAP2;
  startThinking();
}

bool FrontEnd::handleCommand() {
  commandTime = clockMs();
  struct Command {
    const char* word;
    int id;
  };
  enum {
    Info, Start, RectStart, Restart, Turn, Play, Begin, About, End, Board, TakeBack, ShowForbid,
    Stop, YxStop, YxBoard, NBest, BlockUndo, BlockReset, Block, HashClear, Swap2Board, BalanceOne, BalanceTwo
  };
  static const Command commands[] = {
      {"INFO", Info},   {"START", Start}, {"RECTSTART", RectStart}, {"RESTART", Restart},
      {"TURN", Turn},   {"PLAY", Play},   {"BEGIN", Begin},         {"ABOUT", About},
      {"END", End},     {"BOARD", Board}, {"TAKEBACK", TakeBack},   {"YXSHOWFORBID", ShowForbid},
      {"STOP", Stop},   {"YXSTOP", YxStop}, {"YXBOARD", YxBoard},
      // YXBLOCK is a prefix of the other two: they come first.
      {"YXNBEST", NBest}, {"YXBLOCKUNDO", BlockUndo}, {"YXBLOCKRESET", BlockReset}, {"YXBLOCK", Block},
      {"YXHASHCLEAR", HashClear}, {"SWAP2BOARD", Swap2Board}, {"YXBALANCEONE", BalanceOne},
      {"YXBALANCETWO", BalanceTwo},
  };
  for (const Command& command : commands) {
    if (!matchWord(commandLine, command.word)) continue;
    const char* args = commandLine + std::char_traits<char>::length(command.word);
    while (std::isspace(static_cast<unsigned char>(*args))) args++;
    switch (command.id) {
      case Info: handleInfo(engine, args); break;
      case Start: commandStart(args); break;
      case RectStart: commandRectStart(args); break;
      case Restart: commandRestart(); break;
      case Turn: commandTurn(args); break;
      case Play: commandPlay(args); break;
      case Begin: commandBegin(); break;
      case About:
        printLine("name=\"Ruvan\", version=\"%s\", author=\"Ruvan developers\", country=\"China\", www=\"\"",
                  RUVAN_VERSION);
        break;
      case End: return true;
      case Board: commandBoard(true); break;
      case YxBoard: commandBoard(false); break;
      case Stop:
      case YxStop: commandStop(); break;
      case TakeBack: commandTakeBack(args); break;
      case ShowForbid: commandShowForbid(); break;
      case NBest: commandBestLines(args); break;
      case Block: commandRootBlocks(true, "YXBLOCK"); break;
      case BlockUndo: commandRootBlocks(false, "YXBLOCKUNDO"); break;
      case BlockReset: commandBlockReset(); break;
      case HashClear: commandHashClear(); break;
      case Swap2Board: commandSwap2(); break;
      case BalanceOne: commandBalance(Engine::TASK_BALANCE_ONE, args, "ERROR bad YXBALANCEONE parameters"); break;
      case BalanceTwo: commandBalance(Engine::TASK_BALANCE_TWO, args, "ERROR bad YXBALANCETWO parameters"); break;
    }
    return false;
  }
  printLine("UNKNOWN command");
  return false;
}
