// ruvan-bench: the search's signature.
//
// A fixed list of positions (openings, middle games and sharp tactical
// positions under all three rules, on square and rectangular boards) is
// searched to a fixed depth with fixed Zobrist keys and empty tables, and the
// total node count is printed. The count depends on nothing but the search
// itself: not on the clock, the build type or the machine. A change that alters
// it has changed what the search does; a change that should not (a speed-up, a
// refactoring) must leave it alone. CI compares the count of the release build
// with that of the sanitizer builds.
//
// Usage: ruvan-bench            the full list (several seconds in a release build)
//        ruvan-bench short      a quick subset at low depth, for CI
//        ruvan-bench timed MS [THREADS]
//                               every position under a real clock of MS ms a move:
//                               the depth reached and the speed per rule (not a
//                               signature: the clock decides where it stops)
//        ruvan-bench nodes N    the same to N nodes a position: the depth a
//                               search reaches, whatever the machine's load
//
// Each position is set up the way the engine sets up a game: the moves go into
// the game record in the order played (so Black is the first mover, whatever
// the position), and the board is rebuilt from the record for the rule. The
// search is the think driver's own deepening loop, stopped by the fixed depth
// instead of the clock: the time limits are set so high that no clock check
// can ever end an iteration.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/board.h"
#include "control/engine.h"

namespace {

// Any fixed value will do; changing it changes the signature.
constexpr uint32_t BENCH_SEED = 0x52757661;  // "Ruva"

// Time settings no bench search can come near: a budget of 1,000 s a move and
// so much time left that the driver always believes it has plenty.
constexpr int32_t BENCH_TIMEOUT_TURN = 1000000;
constexpr int32_t BENCH_TIME_LEFT = INT32_MAX;

struct BenchPosition {
  int rule;
  int width, height;
  int depth;          // iteration depth of the full run
  int shortDepth;     // iteration depth of the short run; 0: not in it
  const char* moves;  // "x,y" pairs in the order played
};

// Positions from engine games, cut where the game was quiet, in the middle of
// a fight, or in its decisive phase. Grouped by rule, so that the line table
// is classified once per rule.
const BenchPosition positions[] = {
    // opening, 6 moves: Black to move
    {RULE_FREESTYLE, 15, 15, 9, 5, "6,5 9,8 8,8 6,9 5,5 8,9"},
    // middle game, 20 moves: Black to move
    {RULE_FREESTYLE, 15, 15, 10, 0,
     "6,5 9,8 8,8 6,9 5,5 8,9 7,5 8,5 7,10 7,8 9,10 5,10 4,5 3,5 8,7 5,9 9,9 4,9 7,9 7,7"},
    // tactical, 20 moves: Black to move
    {RULE_FREESTYLE, 15, 15, 8, 0,
     "8,7 6,7 9,5 7,8 8,6 6,8 10,4 11,3 8,8 8,5 7,6 9,6 5,6 5,7 8,9 8,10 7,9 6,6 6,5 9,8"},
    // middle game, 10 moves: Black to move
    {RULE_FREESTYLE, 15, 15, 8, 0, "9,8 7,8 10,8 9,6 8,7 7,6 8,6 9,7 8,10 8,9"},
    // middle game, 14 moves: Black to move
    {RULE_FREESTYLE, 15, 15, 9, 0, "8,7 6,7 9,5 7,8 8,6 6,8 10,4 11,3 8,8 8,5 7,6 9,6 5,6 5,7"},
    // opening, 5 moves: White to move
    {RULE_FREESTYLE, 20, 20, 10, 0, "10,9 10,11 11,9 12,11 12,10"},
    // middle game, 26 moves: Black to move
    {RULE_FREESTYLE, 20, 20, 8, 0,
     "10,9 10,11 11,9 12,11 12,10 13,10 13,11 10,8 11,12 11,11 9,11 8,12 12,9 13,9 9,9 8,9 9,10 9,8 12,8 "
     "8,11 8,10 10,10 10,12 11,13 12,7 12,6"},
    // tactical, 15 moves: White to move
    {RULE_FREESTYLE, 20, 20, 8, 0, "11,9 8,10 12,11 8,8 12,10 8,9 8,11 10,8 12,9 12,8 11,11 11,8 9,8 9,9 7,11"},
    // tactical, 16 moves: Black to move
    {RULE_FREESTYLE, 20, 15, 10, 6, "12,7 12,9 11,7 13,7 11,6 13,8 13,6 14,7 15,6 14,5 14,6 12,6 11,5 11,8 12,4 11,3"},
    // tactical, 19 moves: White to move
    {RULE_FREESTYLE, 20, 15, 8, 0,
     "12,7 12,5 8,9 11,7 9,9 13,6 11,4 10,6 7,9 10,9 11,6 13,8 13,9 15,6 12,9 13,5 6,9 5,9 15,9"},
    // tactical, 20 moves: Black to move
    {RULE_FREESTYLE, 15, 20, 8, 0,
     "8,10 6,8 6,10 5,9 7,10 5,10 7,7 5,11 5,8 8,9 6,9 8,11 7,8 7,9 8,7 6,7 9,9 9,10 10,8 11,7"},
    // opening, 8 moves: Black to move
    {RULE_STANDARD, 15, 15, 10, 0, "9,5 7,8 7,9 6,7 8,9 6,9 6,8 5,7"},
    // middle game, 40 moves: Black to move
    {RULE_STANDARD, 15, 15, 8, 0,
     "9,5 7,8 7,9 6,7 8,9 6,9 6,8 5,7 9,7 7,7 4,7 9,6 8,7 8,8 7,6 10,9 6,5 5,4 5,6 7,4 6,6 4,6 10,7 6,4 "
     "8,4 11,7 7,3 6,2 8,5 7,5 11,6 12,5 8,3 8,6 5,3 6,3 9,4 10,5 10,3 11,2"},
    // crowded late middle game, 120 moves: Black to move, must stop a four
    {RULE_STANDARD, 15, 15, 10, 5,
     "9,5 7,8 7,9 6,7 8,9 6,9 6,8 5,7 9,7 7,7 4,7 9,6 8,7 8,8 7,6 10,9 6,5 5,4 5,6 7,4 6,6 4,6 10,7 6,4 "
     "8,4 11,7 7,3 6,2 8,5 7,5 11,6 12,5 8,3 8,6 5,3 6,3 9,4 10,5 10,3 11,2 7,2 6,1 6,0 13,5 12,6 9,3 "
     "11,5 7,10 9,10 5,10 9,11 4,10 3,10 4,11 3,12 4,9 9,9 9,8 4,12 8,10 6,10 5,11 3,9 3,8 6,11 3,4 4,4 "
     "3,5 2,7 4,3 5,2 2,4 1,3 9,12 8,11 1,5 3,6 2,5 4,5 3,3 5,1 1,8 0,7 1,7 1,6 3,11 5,9 10,11 6,12 5,12 "
     "5,14 6,13 4,8 3,7 8,12 7,11 1,11 2,2 2,3 11,10 12,9 9,13 8,13 3,2 3,1 0,2 4,2 2,8 5,5 12,3 12,4 "
     "11,4 13,2 10,1 13,4 11,11 11,9 10,10 10,12 12,11"},
    // tactical, 43 moves: White to move
    {RULE_STANDARD, 15, 15, 8, 0,
     "9,8 8,8 7,9 8,10 8,7 7,6 8,9 9,9 7,10 6,11 7,7 6,7 7,11 7,8 5,9 6,9 5,8 5,10 4,11 7,12 4,9 4,10 3,9 "
     "8,12 6,12 5,6 6,6 8,13 9,14 3,10 2,10 4,8 2,7 2,9 4,5 10,7 3,6 5,4 3,5 5,5 5,3 10,9 8,11"},
    // tactical, 8 moves: Black to move
    {RULE_STANDARD, 15, 15, 8, 0, "9,9 7,5 10,8 9,5 10,7 10,5 8,5 10,10"},
    // opening, 5 moves: White to move
    {RULE_STANDARD, 20, 20, 10, 0, "10,8 10,9 9,9 10,11 11,7"},
    // tactical, 10 moves: Black to move
    {RULE_STANDARD, 20, 20, 8, 5, "10,8 10,9 9,9 10,11 11,7 12,6 9,7 9,8 8,7 10,7"},
    // middle game, 10 moves: Black to move
    {RULE_STANDARD, 20, 20, 8, 0, "9,9 8,9 7,10 10,10 7,8 7,9 6,9 5,10 8,7 6,8"},
    // middle game, 10 moves: Black to move
    {RULE_STANDARD, 20, 15, 8, 0, "12,9 8,5 12,10 7,5 12,8 12,11 12,7 12,6 11,9 6,5"},
    // tactical, 13 moves: White to move
    {RULE_STANDARD, 20, 15, 8, 0, "11,6 10,5 12,9 9,6 12,8 11,4 12,3 9,5 12,10 12,7 9,7 8,5 7,5"},
    // middle game, 30 moves: Black to move
    {RULE_STANDARD, 15, 20, 8, 0,
     "9,11 8,8 5,10 5,12 7,11 6,11 7,10 6,10 7,9 7,8 6,8 8,10 8,11 9,12 5,9 5,8 7,13 7,12 6,12 5,11 5,13 "
     "3,11 4,9 6,9 4,11 4,13 8,12 6,14 4,8 4,10"},
    // tactical, 64 moves: Black to move
    {RULE_STANDARD, 15, 20, 8, 0,
     "9,11 8,8 5,10 5,12 7,11 6,11 7,10 6,10 7,9 7,8 6,8 8,10 8,11 9,12 5,9 5,8 7,13 7,12 6,12 5,11 5,13 "
     "3,11 4,9 6,9 4,11 4,13 8,12 6,14 4,8 4,10 8,13 9,13 8,14 8,15 3,14 9,15 9,14 6,15 7,15 10,10 6,16 "
     "11,11 9,9 4,14 8,6 5,14 7,16 3,13 3,12 2,13 7,14 7,17 2,12 4,16 5,17 4,18 4,12 12,10 5,7 10,12 13,9 "
     "4,6 3,9 2,10"},
    // opening, 6 moves: Black to move
    {RULE_RENJU, 15, 15, 9, 5, "6,7 7,9 5,8 8,8 5,6 6,10"},
    // tactical, 16 moves: Black to move
    {RULE_RENJU, 15, 15, 8, 0, "6,7 7,9 5,8 8,8 5,6 6,10 9,7 4,9 8,7 5,11 4,12 5,7 7,8 8,9 6,9 9,6"},
    // tactical, 24 moves: Black to move, 2 forbidden points for Black
    {RULE_RENJU, 15, 15, 8, 0,
     "6,7 7,9 5,8 8,8 5,6 6,10 9,7 4,9 8,7 5,11 4,12 5,7 7,8 8,9 6,9 9,6 4,7 7,10 6,5 7,4 3,6 2,5 4,5 3,4"},
    // middle game, 30 moves: Black to move
    {RULE_RENJU, 15, 15, 8, 0,
     "5,9 6,6 7,6 6,7 6,8 7,7 5,7 7,9 9,9 7,8 7,10 5,5 4,4 6,4 4,6 4,5 3,5 2,4 5,6 5,10 8,7 6,5 6,3 5,3 "
     "7,5 4,2 5,2 4,11 9,10 9,8"},
    // tactical, 43 moves: White to move
    {RULE_RENJU, 15, 15, 8, 0,
     "8,9 9,5 5,9 6,8 7,10 7,9 8,10 6,10 8,8 8,11 6,11 9,8 5,12 4,13 5,10 5,11 4,9 3,8 6,7 5,6 5,8 3,10 "
     "3,9 4,12 3,13 6,9 9,10 11,10 10,11 7,8 9,6 8,6 7,7 8,5 6,5 4,6 7,6 8,4 11,12 12,13 7,12 8,13 8,2"},
    // tactical, 10 moves: Black to move
    {RULE_RENJU, 20, 20, 8, 6, "11,12 10,8 12,10 10,12 12,11 10,11 13,10 10,13 10,14 11,10"},
    // opening, 5 moves: White to move
    {RULE_RENJU, 20, 20, 10, 0, "12,9 12,10 10,10 11,8 11,9"},
    // tactical, 28 moves: Black to move
    {RULE_RENJU, 20, 20, 8, 0,
     "10,8 9,9 8,8 9,8 9,7 8,6 10,6 7,9 8,9 10,7 11,9 7,8 8,10 8,11 11,8 11,6 11,10 11,11 12,8 10,10 "
     "13,11 12,10 13,9 12,5 13,4 12,12 13,13 14,10"},
    // tactical, 14 moves: Black to move
    {RULE_RENJU, 20, 15, 8, 0, "8,8 7,8 7,6 6,9 8,6 8,9 9,6 6,6 6,7 7,9 5,9 10,9 9,9 5,10"},
    // tactical, 16 moves: Black to move
    {RULE_RENJU, 20, 15, 8, 0, "8,8 7,8 7,6 6,9 8,6 8,9 9,6 6,6 6,7 7,9 5,9 10,9 9,9 5,10 4,11 5,8"},
    // tactical, 28 moves: Black to move, 4 forbidden points for Black
    {RULE_RENJU, 20, 15, 8, 5,
     "8,8 7,8 7,6 6,9 8,6 8,9 9,6 6,6 6,7 7,9 5,9 10,9 9,9 5,10 4,11 5,8 9,5 10,7 9,7 9,8 9,4 9,3 11,6 "
     "10,6 8,5 10,3 8,4 8,7"},
    // tactical, 13 moves: White to move, 1 forbidden point for Black
    {RULE_RENJU, 20, 15, 8, 0, "8,5 8,9 8,6 7,9 9,7 9,9 10,9 10,8 10,7 7,11 11,7 8,7 8,11"},
    // crowded late game, 178 moves: Black to move, 1 forbidden point for Black
    {RULE_RENJU, 15, 20, 9, 5,
     "7,12 7,9 6,10 7,8 8,12 5,9 6,12 9,12 8,9 7,10 7,7 8,11 6,9 6,11 7,13 5,12 7,11 5,13 9,13 10,14 "
     "10,13 8,13 7,14 7,15 6,14 5,15 5,14 5,11 5,10 4,14 4,13 6,16 7,17 2,11 4,11 2,12 3,13 2,13 2,10 "
     "4,15 6,15 7,16 5,16 4,10 6,8 1,13 3,11 4,17 10,10 9,11 8,14 9,14 2,15 9,9 8,6 6,7 8,5 9,5 7,4 9,8 "
     "9,10 4,18 4,16 5,17 3,19 2,16 1,15 9,6 9,7 10,8 12,13 11,10 11,13 13,13 10,11 11,12 8,7 8,8 11,8 "
     "11,7 8,4 8,3 12,6 6,4 10,4 9,3 3,14 9,4 9,2 1,17 3,15 3,12 7,2 4,9 4,12 7,3 6,3 5,5 4,6 10,3 11,3 "
     "5,4 5,6 10,16 10,2 8,2 9,1 12,4 2,6 3,6 3,5 5,2 2,4 5,7 2,7 2,3 4,7 1,7 3,9 12,14 11,15 13,12 1,9 "
     "0,8 11,14 10,9 12,11 13,11 13,10 3,8 9,16 4,8 10,15 8,17 1,8 4,2 5,3 3,2 4,4 6,2 2,2 4,3 2,1 1,4 "
     "4,1 2,5 7,6 6,6 3,4 11,17 3,1 13,15 13,14 1,1 12,9 1,3 12,10 12,12 10,12 11,11 10,7 14,11 1,5 10,18 "
     "12,16 10,17 11,2 13,19 13,7 11,5 14,6 13,18 12,2 13,2 12,8 11,9 13,1 14,0"},
};

constexpr int POSITION_COUNT = sizeof positions / sizeof positions[0];

const char* ruleLabel(int rule) {
  switch (rule) {
    case RULE_STANDARD: return "standard";
    case RULE_RENJU: return "renju";
    default: return "freestyle";
  }
}

// One engine for the whole run, as one engine process would hold it.
Engine* engine = nullptr;

[[noreturn]] void badPosition(int index, const char* why) {
  std::printf("bench: position %d: %s\n", index + 1, why);
  std::exit(1);
}

// Fills the game record from the move list and rebuilds the board for the
// rule, as a START followed by the moves and the first think would.
void setUpPosition(int index) {
  const BenchPosition& p = positions[index];
  Position& game = engine->game;
  engine->rule = p.rule;
  game.startGame(p.width, p.height, p.rule);
  static bool taken[MAX_SIDE][MAX_SIDE];
  std::memset(taken, 0, sizeof taken);
  const char* text = p.moves;
  for (;;) {
    while (*text == ' ') text++;
    if (*text == '\0') break;
    char* end;
    const long x = std::strtol(text, &end, 10);
    if (end == text || *end != ',') badPosition(index, "malformed move list");
    text = end + 1;
    const long y = std::strtol(text, &end, 10);
    if (end == text) badPosition(index, "malformed move list");
    text = end;
    if (x < 0 || y < 0 || x >= p.width || y >= p.height) badPosition(index, "move off the board");
    if (taken[x][y]) badPosition(index, "two moves on one cell");
    if (game.recordCount >= MAX_CELLS) badPosition(index, "too many moves");
    taken[x][y] = true;
    game.gameRecord[game.recordCount] = {static_cast<int32_t>(x), static_cast<int32_t>(y), game.recordCount % 2 + 1};
    game.recordCount++;
  }
  game.rebuild(p.rule);
  // Every position starts from empty tables, so that no position's count
  // depends on the ones before it.
  engine->tt.prepare(p.rule);
  engine->fourCache.prepare(p.rule);
  engine->tt.clear();
  engine->fourCache.clear();
  engine->threatCache.clear();
  // As an engine process's tables stand after its first think: on huge
  // pages where the system has them (untimed, as the engine does it in the
  // opponent's time).
  engine->prepareSearchTables();
  while (engine->promoteTables()) {
  }
}

// The think driver's set-up followed by its deepening loop, without the reply.
// A depth of 0 searches under a clock of timeoutTurn ms instead.
int searchPosition(int depth, int timeoutTurn = BENCH_TIMEOUT_TURN) {
  const int colour = engine->game.recordCount % 2 == 0 ? BLACK : WHITE;
  engine->limits.timeout_turn = timeoutTurn;
  engine->limits.time_left = BENCH_TIME_LEFT;
  engine->limits.max_depth = depth;
  engine->stopRequested = 0;
  engine->game.finalValue = 0;
  return engine->searchGame(colour, true);
}

// Peak resident set in KiB: VmHWM where the kernel reports it, else the
// maximum resident set size of getrusage (also KiB on Linux).
long peakMemoryKiB() {
  if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status))
      if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
    std::fclose(status);
    if (kib >= 0) return kib;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

// Every position under a real clock, or to a node budget (millis 0): how deep
// the search gets and how fast it runs, per rule. The node budget gives the
// depth a search reaches on a loaded machine as it would on a quiet one.
int timedRun(int millis, int64_t nodeBudget = 0) {
  int64_t nodes[3] = {0, 0, 0}, micros[3] = {0, 0, 0};
  int depths[3] = {0, 0, 0}, counts[3] = {0, 0, 0};
  std::printf("%3s  %-9s  %-5s  %5s  %11s  %7s  %s\n", "#", "rule", "board", "depth", "nodes", "ms", "nodes/ms");
  for (int i = 0; i < POSITION_COUNT; i++) {
    const BenchPosition& p = positions[i];
    setUpPosition(i);
    const auto start = std::chrono::steady_clock::now();
    engine->limits.max_node = nodeBudget;
    searchPosition(0, nodeBudget > 0 ? 1000000 : millis);
    engine->limits.max_node = 0;
    const int64_t us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    char size[16];
    std::snprintf(size, sizeof size, "%dx%d", p.width, p.height);
    std::printf("%3d  %-9s  %-5s  %5d  %11lld  %7lld  %lld\n", i + 1, ruleLabel(p.rule), size, engine->game.board.iterationDepth,
                static_cast<long long>(engine->totalNodes()), static_cast<long long>(us / 1000),
                static_cast<long long>(engine->totalNodes() * 1000 / std::max<int64_t>(us, 1)));
    nodes[p.rule] += engine->totalNodes();
    micros[p.rule] += us;
    depths[p.rule] += engine->game.board.iterationDepth;
    counts[p.rule]++;
  }
  std::printf("\n");
  for (int rule = 0; rule < 3; rule++) {
    if (counts[rule] == 0) continue;
    std::printf("%-9s  positions %2d  mean depth %.1f  nodes/ms %lld\n", ruleLabel(rule), counts[rule],
                static_cast<double>(depths[rule]) / counts[rule],
                static_cast<long long>(nodes[rule] * 1000 / std::max<int64_t>(micros[rule], 1)));
  }
  return 0;
}

int main(int argc, char** argv) {
  const bool shortRun = argc > 1 && std::strcmp(argv[1], "short") == 0;
  const bool timed = (argc == 3 || argc == 4) && std::strcmp(argv[1], "timed") == 0 && std::atoi(argv[2]) > 0;
  const bool budgeted = argc == 3 && std::strcmp(argv[1], "nodes") == 0 && std::atoll(argv[2]) > 0;
  if (!timed && !budgeted && (argc > 2 || (argc == 2 && !shortRun))) {
    std::printf("usage: ruvan-bench [short | timed MS [THREADS] | nodes N]\n");
    return 2;
  }
  seedRandom(BENCH_SEED);
  drawZobristKeys();
  engine = new Engine;
  engine->applyMemoryLimit(0);
  if (timed && argc == 4) engine->threadCount = std::max(1, std::min(std::atoi(argv[3]), MAX_THREADS));
  if (timed) return timedRun(std::atoi(argv[2]));
  if (budgeted) return timedRun(0, std::atoll(argv[2]));

  std::printf("%3s  %-9s  %-5s  %5s  %11s  %7s  %-5s  %s\n", "#", "rule", "board", "depth", "nodes", "ms", "move",
              "value");
  int64_t totalNodes = 0;
  int64_t totalMicros = 0;
  for (int i = 0; i < POSITION_COUNT; i++) {
    const BenchPosition& p = positions[i];
    const int depth = shortRun ? p.shortDepth : p.depth;
    if (depth == 0) continue;
    setUpPosition(i);
    const auto start = std::chrono::steady_clock::now();
    const int value = searchPosition(depth);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    totalNodes += engine->totalNodes();
    totalMicros += micros;
    char size[16], move[24];
    std::snprintf(size, sizeof size, "%dx%d", p.width, p.height);
    if (engine->mainWorker().search.bestX >= 0)
      std::snprintf(move, sizeof move, "%d,%d", engine->mainWorker().search.bestX, engine->mainWorker().search.bestY);
    else
      std::snprintf(move, sizeof move, "none");
    // The depth shown is the last completed iteration: a position whose
    // outcome is decided, or with a single saving reply, stops earlier.
    std::printf("%3d  %-9s  %-5s  %2d/%-2d  %11lld  %7lld  %-5s  %d\n", i + 1, ruleLabel(p.rule), size,
                engine->game.board.iterationDepth, depth, static_cast<long long>(engine->totalNodes()),
                static_cast<long long>(micros / 1000), move, value);
  }
  const int64_t millis = totalMicros / 1000;
  std::printf("\nTotal time (ms): %lld\n", static_cast<long long>(millis));
  std::printf("Nodes searched: %lld\n", static_cast<long long>(totalNodes));
  std::printf("Nodes/second: %lld\n", static_cast<long long>(totalNodes * 1000000 / std::max<int64_t>(totalMicros, 1)));
  std::printf("Peak memory: %ld KiB\n", peakMemoryKiB());
  return 0;
}
