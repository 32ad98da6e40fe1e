// Coverage-guided fuzzing of the command handler (libFuzzer).
//
// Every input is a whole session: its bytes are the engine's input, split into
// lines and dispatched exactly as the process's reader loop does it
// (FrontEnd::readCommandLine, then FrontEnd::handleCommand until END), with
// the front end's `input` an in-memory stream over the bytes, so that BOARD
// and YXBOARD read their blocks from the rest of the input. One front end and
// its think thread serve the whole run: building the engine's tables costs far
// more than a typical input, so each input starts from a reset instead (fixed
// INFO lines and START 15, sent through the same handler).
//
// Two kinds of session, chosen by the lowest bit of the first byte (the byte
// stays part of the input):
//   - sequential (bit set): each command is dispatched once the think of the
//     one before has ended, as a manager that waits for the move does. The
//     command's lines and the game it leaves are compared with the protocol's
//     rules (session_model.h): exact replies for every command, the forms and
//     a legal move for a think, the BOARD block read to its end and no further.
//   - overlapping (bit clear): lines follow one another at once, so that
//     INFO, ABOUT, STOP and the rest arrive while a think runs; every line
//     printed must be of a known form (reply_forms.h).
// After either, the built board must hold exactly the game's record and
// blocks and pass the board's own consistency check.
//
// Thinks are bounded so that an input runs in milliseconds: the reset sets a
// small max_node, max_depth and timeout_turn, and an INFO line of the input
// that asks for more (or for no limit) has its value rewritten before it is
// dispatched. max_memory is held below the default table sizes the same way,
// so that a reset can empty the search tables and every input searches from
// the same state. After the last line the harness waits for a running think
// to end by itself (a think that never ends is a finding: libFuzzer's
// -timeout reports it).
//
// A finding aborts with the offending text on stderr; libFuzzer keeps the input.
//
// The rule tables. Classifying the 4M line codes for a rule is an exhaustive
// enumeration that takes about a second under the sanitizers, and an input
// that changes the rule would pay it twice (once more when the next input is
// back to free style). The link wraps RuleTables::build (--wrap, see
// CMakeLists.txt): the first build of each rule runs the real code, later
// ones copy its result.
//
// RUVAN_FUZZ_SHOW=1 in the environment sends the engine's lines to the real
// standard output as they are printed, unchecked: the way to read what a
// reproducer does (`ruvan-fuzz crash-...`).
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/pattern_tables.h"
#include "control/engine.h"
#include "protocol/main_loop.h"
#include "protocol/protocol.h"
#include "protocol/settings.h"
#include "tests/fuzz/reply_forms.h"
#include "tests/fuzz/session_model.h"

namespace {

// Limits of one think inside the fuzzer. The search looks at its node count
// every 1024 nodes, so a cap of 1000 ends a think at 1024.
constexpr int64_t NODE_CAP = 1000;
constexpr int64_t DEPTH_CAP = 2;
constexpr int64_t TURN_CAP_MS = 300;
constexpr int64_t THREAD_CAP = 2;
// Head room above the engine's fixed memory for the search tables: enough
// for a few MiB of tables, far below the default 192 MiB.
constexpr int64_t TABLE_ROOM = 4 << 20;

FrontEnd* frontEnd = nullptr;
std::FILE* nullOutput = nullptr;
bool showOutput = false;
int64_t memoryCap = 0;

[[noreturn]] void fail(const char* what, const char* text, size_t length) {
  std::fprintf(stderr, "\n==ruvan-fuzz== %s: \"", what);
  for (size_t i = 0; i < length; i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c >= 0x20 && c < 0x7F && c != '"' && c != '\\') || c == '\n')
      std::fputc(c, stderr);
    else
      std::fprintf(stderr, "\\x%02x", c);
  }
  std::fprintf(stderr, "\"\n");
  std::abort();
}

// ---------------------------------------------------------------------------
// The rule tables, built once per rule.

// A whole copy of the tables per rule: the line and combination tables and
// the rule's learned value and move tables with them.
RuleTables* builtRules[3] = {nullptr, nullptr, nullptr};

}  // namespace

extern "C" void __real__ZN10RuleTables5buildEi(RuleTables* tables, int rule);

// RuleTables::build as the link sees it in the fuzzer: the same contract (the
// tables hold `rule` on return), the work done once per rule and process.
extern "C" void __wrap__ZN10RuleTables5buildEi(RuleTables* tables, int rule) {
  if (rule == tables->rule || rule < 0 || rule > 2) {
    __real__ZN10RuleTables5buildEi(tables, rule);
    return;
  }
  RuleTables*& copy = builtRules[rule];
  if (copy == nullptr || copy->useLearned != tables->useLearned) {
    __real__ZN10RuleTables5buildEi(tables, rule);
    if (copy == nullptr) copy = new RuleTables(*tables);
    else *copy = *tables;
    return;
  }
  buildSearchTables();
  *tables = *copy;
}

namespace {

// Every line of a session's output must be of a known form and end with its LF.
void checkOutput(const char* text, size_t length) {
  if (length == 0) return;
  if (text[length - 1] != '\n') fail("output without a final line feed", text, length);
  bool afterDraw = false;
  for (size_t start = 0; start < length;) {
    const char* eol = static_cast<const char*>(std::memchr(text + start, '\n', length - start));
    const size_t n = static_cast<size_t>(eol - (text + start));
    if (std::memchr(text + start, '\0', n) != nullptr || !knownReply(text + start, n, afterDraw))
      fail("unknown reply line", text + start, n);
    afterDraw = std::string(text + start, n) == "MESSAGE It's a draw";
    start += n + 1;
  }
}

// ---------------------------------------------------------------------------
// Driving the front end.

// Dispatches one line of the harness's own.
void send(const char* line) {
  std::snprintf(frontEnd->commandLine, sizeof frontEnd->commandLine, "%s", line);
  frontEnd->handleCommand();
}

// Waits until the think thread is idle, without asking it to stop: a think
// ends by its own limits.
void awaitIdle() {
  std::unique_lock<std::mutex> lock(frontEnd->worker.idleMutex);
  frontEnd->worker.idleSignal.wait(lock, [] { return frontEnd->worker.idle; });
}

// Rewrites, in place, the value of an INFO line that would let a think run
// long: no node or depth limit or a large one, a long turn, many threads,
// big search tables. The key is found as the settings handler finds it
// (prefix match, the first key of its list that matches wins), so the rewrite
// hits exactly the value the handler will read.
void boundInfoLine(char* line) {
  if (!matchWord(line, "INFO")) return;
  char* args = line + 4;
  while (std::isspace(static_cast<unsigned char>(*args))) args++;
  // The handler's keys in its order; the ones that need no bound have cap 0.
  struct Bound {
    const char* key;
    int64_t cap;
    bool zeroUnlimited;  // 0 (and below) means no limit
  };
  const Bound bounds[] = {
      {"max_memory", memoryCap, true},   {"timeout_match", 0, false},  {"timeout_turn", TURN_CAP_MS, false},
      {"time_left", 0, false},           {"game_type", 0, false},      {"rule", 0, false},
      {"thread_num", THREAD_CAP, false}, {"max_node", NODE_CAP, true}, {"max_depth", DEPTH_CAP, true},
  };
  for (const Bound& b : bounds) {
    const char* value = findKeyValue(b.key, args);
    if (value == nullptr) continue;
    if (b.cap == 0) return;
    const int64_t v = parseInfoValue(value);
    if (v > b.cap || (b.zeroUnlimited && v <= 0)) {
      char* at = line + (value - line);
      std::snprintf(at, COMMAND_LINE_SIZE - static_cast<size_t>(at - line), "%lld", static_cast<long long>(b.cap));
    }
    return;
  }
}

// The board, where one is built, must hold exactly the game's record and
// blocks and agree with itself.
void checkGame() {
  const Position& game = frontEnd->engine.game;
  if (game.builtRule < 0 || game.xExtent == 0) return;
  char where[96];
  for (int x = 0; x < game.xExtent; x++)
    for (int y = 0; y < game.yExtent; y++) {
      int expected = EMPTY;
      for (int i = 0; i < game.recordCount; i++)
        if (game.gameRecord[i].x == x && game.gameRecord[i].y == y) expected = game.gameRecord[i].colour;
      for (int i = 0; i < game.blockCount; i++)
        if (game.blockList[i] == cellIndex(x, y)) expected = BLOCK;
      if (game.board.cells[cellIndex(x, y)] != expected) {
        const int n = std::snprintf(where, sizeof where, "cell %d,%d holds %d, the record says %d", x, y,
                                    game.board.cells[cellIndex(x, y)], expected);
        fail("board differs from the game record", where, static_cast<size_t>(n));
      }
    }
  if (!game.boardIsConsistent()) fail("board fails its consistency check", "", 0);
}

// Each input starts from here: no think running, the search tables empty,
// fixed limits, a new 15 x 15 free-style game.
void reset() {
  awaitIdle();
  seedRandom(1);
  char line[64];
  std::snprintf(line, sizeof line, "INFO max_memory %lld", static_cast<long long>(memoryCap));
  send(line);
  send("INFO rule 0");
  send("INFO thread_num 1");
  send("INFO show_detail 0");
  send("INFO level 0");
  send("INFO timeout_match 0");
  send("INFO time_left 100000000");
  std::snprintf(line, sizeof line, "INFO timeout_turn %lld", static_cast<long long>(TURN_CAP_MS));
  send(line);
  std::snprintf(line, sizeof line, "INFO max_node %lld", static_cast<long long>(NODE_CAP));
  send(line);
  std::snprintf(line, sizeof line, "INFO max_depth %lld", static_cast<long long>(DEPTH_CAP));
  send(line);
  send("START 15");
  Engine& engine = frontEnd->engine;
  if (engine.tt.bucketCount * sizeof(HashBucket) <= static_cast<size_t>(TABLE_ROOM)) engine.tt.clear();
  if (engine.fourCache.bucketCount * sizeof(FourBucket) * FourCache::TABLES <= static_cast<size_t>(TABLE_ROOM))
    engine.fourCache.clear();
}

// ---------------------------------------------------------------------------
// Sequential sessions.

// The game as the front end holds it, in the model's terms.
ModelGame snapshot() {
  const Position& game = frontEnd->engine.game;
  ModelGame g;
  g.width = game.xExtent;
  g.height = game.yExtent;
  for (int i = 0; i < game.recordCount; i++) g.record.push_back({game.gameRecord[i].x, game.gameRecord[i].y});
  for (int i = 0; i < game.blockCount; i++) g.blocks.push_back({cellX(game.blockList[i]), cellY(game.blockList[i])});
  const Engine& engine = frontEnd->engine;
  for (int i = 0; i < engine.blockedCount; i++) g.excluded.push_back({cellX(engine.blocked[i]), cellY(engine.blocked[i])});
  return g;
}

std::string describe(const ModelGame& g) {
  std::string text = std::to_string(g.width) + "x" + std::to_string(g.height) + " record";
  for (const ModelCell& c : g.record) text += " " + std::to_string(c.x) + "," + std::to_string(c.y);
  text += " blocks";
  for (const ModelCell& c : g.blocks) text += " " + std::to_string(c.x) + "," + std::to_string(c.y);
  text += " excluded";
  for (const ModelCell& c : g.excluded) text += " " + std::to_string(c.x) + "," + std::to_string(c.y);
  return text;
}

[[noreturn]] void disagree(const char* what, const char* command, const std::vector<std::string>& expected,
                           const std::vector<std::string>& got, const std::string& detail = "") {
  std::string text = "command: " + std::string(command) + "\nexpected:";
  for (const std::string& l : expected) text += "\n  " + l;
  text += "\ngot:";
  for (const std::string& l : got) text += "\n  " + l;
  if (!detail.empty()) text += "\n" + detail;
  fail(what, text.data(), text.size());
}

// The engine's value of an INFO key, as the model names it.
long long infoSetting(const std::string& key) {
  const Engine& e = frontEnd->engine;
  if (key == "MAX_MEMORY") return e.maxMemory.load();
  if (key == "TIMEOUT_MATCH") return e.limits.timeout_match.load();
  if (key == "TIMEOUT_TURN") return e.limits.timeout_turn.load();
  if (key == "TIME_LEFT") return e.limits.time_left.load();
  if (key == "RULE") return e.rule.load();
  if (key == "MAX_NODE") return e.limits.max_node.load();
  if (key == "MAX_DEPTH") return e.limits.max_depth.load();
  if (key == "SHOW_DETAIL") return e.showDetail.load();
  if (key == "LEVEL") return e.level.load();
  std::abort();
}

// Lines of the capture from byte `from` on (each ended by its LF).
std::vector<std::string> linesFrom(const char* text, size_t length, size_t from) {
  std::vector<std::string> lines;
  while (from < length) {
    const char* eol = static_cast<const char*>(std::memchr(text + from, '\n', length - from));
    if (eol == nullptr) fail("output without a final line feed", text + from, length - from);
    lines.emplace_back(text + from, static_cast<size_t>(eol - (text + from)));
    from = static_cast<size_t>(eol - text) + 1;
  }
  return lines;
}

// Dispatches the input line by line, each after the think of the one before,
// and compares every command's lines and resulting game with the model.
void runSequential(std::FILE* in, const char* bytes, size_t size, std::FILE* capture, char*& output,
                   size_t& outputLength) {
  ModelGame game = snapshot();
  while (frontEnd->readCommandLine()) {
    boundInfoLine(frontEnd->commandLine);
    const std::string command = frontEnd->commandLine;
    const size_t offset = static_cast<size_t>(std::ftell(in));
    ModelStep step = modelCommand(game, frontEnd->commandLine, bytes + offset, size - offset);
    std::fflush(capture);
    const size_t from = outputLength;
    const bool ended = frontEnd->handleCommand();
    awaitIdle();
    std::fflush(capture);
    const std::vector<std::string> got = linesFrom(output, outputLength, from);
    const char* c = command.c_str();

    size_t i = 0;
    for (const std::string& expected : step.replies) {
      if (i >= got.size()) disagree("a reply is missing", c, step.replies, got);
      if (expected == "FORBID") {
        if (const char* wrong = checkForbid(step.after, frontEnd->engine.rule.load(), got[i]))
          disagree(wrong, c, step.replies, got, describe(step.after));
      } else if (got[i] != expected) {
        disagree("a reply differs", c, step.replies, got);
      }
      i++;
    }
    const std::vector<std::string> rest(got.begin() + static_cast<long>(i), got.end());
    if (step.thinks) {
      const ModelGame position = step.after;
      if (const char* wrong =
              checkThink(step.after, frontEnd->engine.rule.load(), frontEnd->engine.showDetail.load(), step, rest))
        disagree(wrong, c, step.replies, got, "position: " + describe(position));
    } else if (!rest.empty()) {
      disagree("lines the command does not print", c, step.replies, got);
    }
    if (static_cast<size_t>(std::ftell(in)) - offset != step.consumed)
      disagree("the command read a different part of the input than its block", c, step.replies, got,
               "read " + std::to_string(std::ftell(in) - static_cast<long>(offset)) + " bytes, the block has " +
                   std::to_string(step.consumed));
    const ModelGame actual = snapshot();
    if (!(actual == step.after))
      disagree("the game differs from the protocol's", c, step.replies, got,
               "engine: " + describe(actual) + "\nmodel:  " + describe(step.after));
    if (ended != step.ends) disagree("END recognised differently", c, step.replies, got);
    if (step.infoKey != nullptr) {
      const long long held = infoSetting(step.infoKey);
      if (held != step.infoValue)
        disagree("an INFO value held differently", c, step.replies, got,
                 std::string(step.infoKey) + ": engine " + std::to_string(held) + ", protocol " +
                     std::to_string(step.infoValue));
    }
    game = step.after;
    if (ended) break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  showOutput = std::getenv("RUVAN_FUZZ_SHOW") != nullptr;
  nullOutput = std::fopen("/dev/null", "w");
  if (!showOutput) stdout = nullOutput;  // glibc's stdout is an assignable stream
  frontEnd = new FrontEnd;
  memoryCap = frontEnd->engine.fixedMemory() + TABLE_ROOM;
  // Small tables from the warm-up on: every reset empties them, which the
  // default 192 MiB would make the slowest part of an input.
  char line[64];
  std::snprintf(line, sizeof line, "INFO max_memory %lld", static_cast<long long>(memoryCap));
  send(line);
  // The think thread lives as long as the process; the harness never ends it.
  std::thread(&FrontEnd::workerLoop, frontEnd).detach();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  reset();
  char* output = nullptr;
  size_t outputLength = 0;
  std::FILE* capture = nullptr;
  if (!showOutput) {
    capture = open_memstream(&output, &outputLength);
    if (capture == nullptr) std::abort();
    stdout = capture;
  }
  if (size > 0) {
    std::vector<char> bytes(data, data + size);
    std::FILE* in = fmemopen(bytes.data(), size, "r");
    if (in == nullptr) std::abort();
    frontEnd->input = in;
    if ((data[0] & 1) != 0 && capture != nullptr) {
      runSequential(in, bytes.data(), size, capture, output, outputLength);
    } else {
      while (frontEnd->readCommandLine()) {
        boundInfoLine(frontEnd->commandLine);
        if (frontEnd->handleCommand()) break;
        if ((data[0] & 1) != 0) awaitIdle();
      }
    }
    awaitIdle();
    frontEnd->input = nullptr;
    std::fclose(in);
  }
  awaitIdle();
  checkGame();
  if (capture != nullptr) {
    stdout = nullOutput;
    std::fclose(capture);
    checkOutput(output, outputLength);
    std::free(output);
  }
  return 0;
}
