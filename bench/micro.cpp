// ruvan-micro: the cost of the engine's hot primitives, one at a time.
//
// What the search spends its time on, measured apart so that a change to one
// of them shows up here before it is lost in the noise of a whole search:
//
//   MakeUnmake/Full      placeStone + removeStone (every tree node)
//   MakeUnmake/Light     placeStoneLight + removeStoneLight (solver, Renju test)
//   LineTableBuild       classifying all 4,194,304 line windows for a rule
//   NewGameSameRule      rebuildBoard when the line table already fits the rule
//   IsForbidden          the Renju test on every empty cell, or on the doubtful ones
//   ThreatEval           the static evaluation at the horizon
//   SolveThreats         the continuous-four solver, with and without its cache
//   ProbeHash/StoreHash  transposition-table traffic on random keys
//
// Positions are set up as a game is: a move list in the order played goes into
// the game record, and the board is rebuilt from it for the rule.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/board.h"
#include "control/engine.h"
#include "board/pattern_tables.h"
#include "search/hash_table.h"

namespace {

constexpr uint32_t MICRO_SEED = 0x52757661;

struct MicroPosition {
  const char* name;
  int rule;
  int width, height;
  const char* moves;
};

// Middle games and crowded positions from engine games.
// One engine and its main worker, searched with as a lone worker.
Engine& TE = *new Engine;
Worker& TW = TE.linkMainWorker();

const MicroPosition positions[] = {
    {"free15", RULE_FREESTYLE, 15, 15,
     "6,5 9,8 8,8 6,9 5,5 8,9 7,5 8,5 7,10 7,8 9,10 5,10 4,5 3,5 8,7 5,9 9,9 4,9 7,9 7,7"},
    {"standard20", RULE_STANDARD, 20, 20, "9,9 8,9 7,10 10,10 7,8 7,9 6,9 5,10 8,7 6,8"},
    // Black to move with two forbidden points.
    {"renju15", RULE_RENJU, 15, 15,
     "6,7 7,9 5,8 8,8 5,6 6,10 9,7 4,9 8,7 5,11 4,12 5,7 7,8 8,9 6,9 9,6 4,7 7,10 6,5 7,4 3,6 2,5 4,5 "
     "3,4"},
    // Black to move with four forbidden points.
    {"renju20x15", RULE_RENJU, 20, 15,
     "8,8 7,8 7,6 6,9 8,6 8,9 9,6 6,6 6,7 7,9 5,9 10,9 9,9 5,10 4,11 5,8 9,5 10,7 9,7 9,8 9,4 9,3 11,6 "
     "10,6 8,5 10,3 8,4 8,7"},
};

bool keysReady = false;

// Rebuilds the board of a position for its rule, as the engine would for a
// game that reached it; the tables are left as the build leaves them.
void setUp(const MicroPosition& p) {
  if (!keysReady) {
    seedRandom(MICRO_SEED);
    drawZobristKeys();
    keysReady = true;
  }
  TE.rule = p.rule;
  TW.pos.xExtent = p.width;
  TW.pos.yExtent = p.height;
  TW.pos.lineSize = std::max(p.width, p.height);
  TW.pos.recordCount = 0;
  TW.pos.blockCount = 0;
  for (const char* text = p.moves; *text;) {
    char* end;
    const int x = static_cast<int>(std::strtol(text, &end, 10));
    const int y = static_cast<int>(std::strtol(end + 1, &end, 10));
    TW.pos.gameRecord[TW.pos.recordCount] = {x, y, TW.pos.recordCount % 2 + 1};
    TW.pos.recordCount++;
    text = end;
    while (*text == ' ') text++;
  }
  TW.pos.tables = TE.ruleTables;
  TW.pos.builtRule = -1;
  TW.pos.rebuild(p.rule);
  // No clock check may stop a solver or evaluation under measurement.
  TE.tt.prepare(p.rule);
  TE.fourCache.prepare(p.rule);
  TW.search.stopSearch = 0;
  TE.stopRequested = 0;
  TW.search.startTime = clockMs();
  TW.search.moveBudget = 1 << 30;
}

int sideToMove() { return TW.pos.recordCount % 2 == 0 ? BLACK : WHITE; }

// The empty cells within two lines of a stone: where the search's moves go.
std::vector<int> nearbyEmptyCells() {
  std::vector<int> cells;
  for (int x = 0; x < TW.pos.xExtent; x++)
    for (int y = 0; y < TW.pos.yExtent; y++) {
      if (TW.pos.board.cells[cellIndex(x, y)] != EMPTY) continue;
      bool near = false;
      for (int dx = -2; dx <= 2 && !near; dx++)
        for (int dy = -2; dy <= 2 && !near; dy++) {
          const int u = x + dx, v = y + dy;
          near = u >= 0 && v >= 0 && u < TW.pos.xExtent && v < TW.pos.yExtent &&
                 (TW.pos.board.cells[cellIndex(u, v)] == BLACK || TW.pos.board.cells[cellIndex(u, v)] == WHITE);
        }
      if (near) cells.push_back(cellIndex(x, y));
    }
  return cells;
}

std::vector<int> allEmptyCells() {
  std::vector<int> cells;
  for (int x = 0; x < TW.pos.xExtent; x++)
    for (int y = 0; y < TW.pos.yExtent; y++)
      if (TW.pos.board.cells[cellIndex(x, y)] == EMPTY) cells.push_back(cellIndex(x, y));
  return cells;
}

void nameAfter(benchmark::State& state, const MicroPosition& p) { state.SetLabel(p.name); }

// ---------------------------------------------------------------------------
// Make and unmake.

void BM_MakeUnmakeFull(benchmark::State& state) {
  const MicroPosition& p = positions[state.range(0)];
  setUp(p);
  const std::vector<int> cells = nearbyEmptyCells();
  const int colour = sideToMove();
  size_t i = 0;
  for (auto _ : state) {
    const int cell = cells[i];
    TW.pos.placeStone(cell, colour);
    TW.pos.removeStone(cell);
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  benchmark::DoNotOptimize(TW.pos.board.scoreSum[0]);
  state.SetItemsProcessed(state.iterations());
  nameAfter(state, p);
}
BENCHMARK(BM_MakeUnmakeFull)->DenseRange(0, 3);

void BM_MakeUnmakeLight(benchmark::State& state) {
  const MicroPosition& p = positions[state.range(0)];
  setUp(p);
  const std::vector<int> cells = nearbyEmptyCells();
  const int colour = sideToMove();
  size_t i = 0;
  for (auto _ : state) {
    const int cell = cells[i];
    TW.pos.placeStoneLight(cell, colour);
    TW.pos.removeStoneLight(cell);
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  benchmark::DoNotOptimize(TW.pos.board.setSummary[0][0]);
  state.SetItemsProcessed(state.iterations());
  nameAfter(state, p);
}
BENCHMARK(BM_MakeUnmakeLight)->DenseRange(0, 3);

// ---------------------------------------------------------------------------
// Tables and new games.

void BM_LineTableBuild(benchmark::State& state) {
  const int rule = static_cast<int>(state.range(0));
  setUp(positions[rule == RULE_FREESTYLE ? 0 : rule == RULE_STANDARD ? 1 : 2]);
  for (auto _ : state) {
    TE.ruleTables->rule = -1;  // forces the full classification
    TE.ruleTables->build(rule);
  }
  benchmark::DoNotOptimize(TE.ruleTables->line[0]);
  state.SetItemsProcessed(state.iterations() * LINE_CODES);
}
BENCHMARK(BM_LineTableBuild)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// A new game of the same rule and size: the line table is kept, the rest of
// the board is rebuilt.
void BM_NewGameSameRule(benchmark::State& state) {
  const int rule = static_cast<int>(state.range(0));
  const int size = static_cast<int>(state.range(1));
  setUp(positions[rule == RULE_FREESTYLE ? 0 : rule == RULE_STANDARD ? 1 : 2]);
  TW.pos.xExtent = TW.pos.yExtent = TW.pos.lineSize = size;
  TW.pos.recordCount = 0;
  for (auto _ : state) {
    TW.pos.builtRule = -1;
    TW.pos.rebuild(TE.rule);
  }
  benchmark::DoNotOptimize(TW.pos.board.scoreSum[0]);
}
BENCHMARK(BM_NewGameSameRule)->ArgsProduct({{0, 1, 2}, {15, 20}})->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Renju forbidden points.

// Every empty cell (most are settled by one table read), or only the cells
// where Black has a three or a four, where the test has to place stones.
void BM_IsForbidden(benchmark::State& state) {
  const MicroPosition& p = positions[2 + state.range(0)];
  const bool doubtfulOnly = state.range(1) != 0;
  setUp(p);
  std::vector<int> cells;
  for (int cell : allEmptyCells()) {
    const int threats = TW.pos.board.setMask(ThreeCells, 0, cell) | TW.pos.board.setMask(FourCells, 0, cell);
    if (!doubtfulOnly || threats != 0) cells.push_back(cell);
  }
  int forbidden = 0;
  for (int cell : cells) forbidden += TW.pos.isForbidden(cell);
  size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(TW.pos.isForbidden(cells[i]));
    i = i + 1 == cells.size() ? 0 : i + 1;
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["cells"] = static_cast<double>(cells.size());
  state.counters["forbidden"] = forbidden;
  state.SetLabel(std::string(p.name) + (doubtfulOnly ? " threat cells" : " all empty"));
}
BENCHMARK(BM_IsForbidden)->ArgsProduct({{0, 1}, {0, 1}});

// ---------------------------------------------------------------------------
// Evaluation and the solver.

void BM_ThreatEval(benchmark::State& state) {
  const MicroPosition& p = positions[state.range(0)];
  setUp(p);
  const int colour = sideToMove();
  for (auto _ : state) benchmark::DoNotOptimize(TW.threatEval(0, colour));
  state.SetItemsProcessed(state.iterations());
  nameAfter(state, p);
}
BENCHMARK(BM_ThreatEval)->DenseRange(0, 3);

// Positions for the solver: a side to move with fours to make, some with a
// forced win by fours and some without.
struct SolverCase {
  const char* name;
  int rule;
  int width, height;
  const char* moves;
};
const SolverCase solverCases[] = {
    // Wins found 4 and 20 solver plies deep (the second under Renju).
    {"free20x15 win", RULE_FREESTYLE, 20, 15,
     "12,7 12,9 11,7 13,7 11,6 13,8 13,6 14,7 15,6 14,5 14,6 12,6 11,5 11,8 12,4 11,3 10,7 10,6 12,5 "
     "9,8 11,4 11,10 10,11 10,4 13,4 14,3 12,3 13,5 15,4 14,4 8,7 9,7 10,5 9,6"},
    {"renju15 win", RULE_RENJU, 15, 15,
     "6,7 7,9 5,8 8,8 5,6 6,10 9,7 4,9 8,7 5,11 4,12 5,7 7,8 8,9 6,9 9,6 4,7 7,10 6,5 7,4"},
    // No win: fours to try, none of them forcing.
    {"standard15 none", RULE_STANDARD, 15, 15,
     "9,5 7,8 7,9 6,7 8,9 6,9 6,8 5,7 9,7 7,7 4,7 9,6 8,7 8,8 7,6 10,9 6,5 5,4 5,6 7,4 6,6 4,6 10,7 "
     "6,4 8,4 11,7 7,3 6,2 8,5 7,5 11,6 12,5 8,3 8,6 5,3 6,3 9,4 10,5 10,3 11,2 7,2 6,1 6,0 13,5 12,6 "
     "9,3 11,5 7,10 9,10 5,10 9,11 4,10 3,10 4,11 3,12 4,9 9,9 9,8 4,12 8,10 6,10 5,11 3,9 3,8 6,11 "
     "3,4 4,4 3,5 2,7 4,3 5,2"},
    {"renju20x15 none", RULE_RENJU, 20, 15,
     "12,7 9,7 10,6 8,7 12,8 9,5 12,6 12,9 9,8 10,7 7,7 11,8 9,6 11,6 13,7 12,5 11,7 13,5 13,9 14,10 "
     "13,10 13,8 14,7 15,7 14,6 15,5 14,5 11,5 10,5 14,4 13,4 16,6 17,7 11,2 11,4 12,2 13,3 13,2 10,2 "
     "15,4 15,6 16,7 16,5 10,4 8,6 13,1 11,3 17,4 10,10 11,9 14,8 14,9 15,2 9,9 6,8 7,6 5,8 5,9 4,7 "
     "8,9 10,9 18,4 16,4 17,5 19,3 16,2 15,1 6,9 7,9 8,10 13,12 10,11 13,11 13,13 11,10 12,11 7,8 8,8 "
     "8,11 7,11 4,8 3,8 6,12 4,6 4,10 3,9 14,3 4,9 2,9 17,1 15,3 12,3 2,7 9,4 12,4 3,7 3,6 5,5 6,4 "
     "3,10 3,11 4,5 6,5 16,10 2,10 2,8 1,9 4,12 6,2 6,3 5,3 2,5 4,2 7,5 7,2 3,2 7,4 7,1 9,3 14,12"},
};

void setUpSolverCase(const SolverCase& c) { setUp(MicroPosition{c.name, c.rule, c.width, c.height, c.moves}); }

// Uncached: every solve starts from a cache that knows none of its positions.
// Emptying the 64 MiB cache each time would cost far more than the solve, so
// instead the position key is salted with a fresh random word for the solve
// (and restored after it): every position of the chain then has a key the
// cache has never seen, while transpositions within the solve still meet, as
// they would in an empty cache. Cached: the same position again, as the tree
// search meets it after a transposition.
void BM_SolveThreats(benchmark::State& state) {
  const SolverCase& c = solverCases[state.range(0)];
  const bool cached = state.range(1) != 0;
  setUpSolverCase(c);
  const int colour = sideToMove();
  TE.fourCache.clear();
  TW.search.nodeCount = 0;
  const int value = TW.solveThreats(0, colour);
  const int64_t nodes = TW.search.nodeCount;
  uint64_t salt = 0x2545F4914F6CDD1Dull;
  TW.pos.board.hashKey ^= salt;
  const bool sameAnswer = TW.solveThreats(0, colour) == value;
  TW.pos.board.hashKey ^= salt;
  if (!sameAnswer) {
    state.SkipWithError("a salted key changed the solver's answer");
    return;
  }
  for (auto _ : state) {
    if (!cached) {
      salt ^= salt << 13;
      salt ^= salt >> 7;
      salt ^= salt << 17;
      TW.pos.board.hashKey ^= salt;
    }
    benchmark::DoNotOptimize(TW.solveThreats(0, colour));
    if (!cached) TW.pos.board.hashKey ^= salt;
  }
  state.counters["win"] = value > 0 ? 1 : 0;
  state.counters["nodes"] = static_cast<double>(nodes);
  state.SetLabel(std::string(c.name) + (cached ? " cached" : " uncached"));
}
BENCHMARK(BM_SolveThreats)
    ->ArgsProduct({benchmark::CreateDenseRange(0, sizeof solverCases / sizeof solverCases[0] - 1, 1), {0, 1}})
    ->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Transposition table.

// Keys from a fixed 64-bit generator, spread over the whole table as real
// position keys are.
std::vector<uint64_t> randomKeys(size_t count) {
  std::vector<uint64_t> keys(count);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (uint64_t& key : keys) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    key = state;
  }
  return keys;
}

constexpr size_t KEY_COUNT = 1 << 20;

void BM_StoreHash(benchmark::State& state) {
  setUp(positions[0]);
  TE.tt.clear();
  const std::vector<uint64_t> keys = randomKeys(KEY_COUNT);
  size_t i = 0;
  for (auto _ : state) {
    const uint64_t key = keys[i];
    TE.tt.store(key, TW.pos.recordCount, static_cast<int>(key & 15), static_cast<int>(key >> 48) - 32768, BOUND_EXACT,
                 1 + static_cast<int>(key >> 63), static_cast<int>(key >> 20 & 511), -1, -1, false);
    i = (i + 1) & (KEY_COUNT - 1);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StoreHash);

// Probes of stored keys (hits) or of keys never stored (misses).
void BM_ProbeHash(benchmark::State& state) {
  const bool hits = state.range(0) != 0;
  setUp(positions[0]);
  TE.tt.clear();
  const std::vector<uint64_t> keys = randomKeys(2 * KEY_COUNT);
  // A quarter of the table's entries: few enough that most survive.
  const size_t stored = HASH_BUCKETS / 2;
  for (size_t k = 0; k < stored; k++) TE.tt.store(keys[k], TW.pos.recordCount, 4, 100, BOUND_EXACT, 1, 5, 6, 7, false);
  const size_t first = hits ? 0 : KEY_COUNT;
  size_t i = 0;
  int moves[3];
  int found = 0;
  for (auto _ : state) {
    const int v = TW.probeHash(2, -1000, 1000, 1, keys[first + i], moves, 3);
    found += v != HASH_MISS;
    i = i + 1 == stored ? 0 : i + 1;
  }
  benchmark::DoNotOptimize(found);
  state.SetItemsProcessed(state.iterations());
  state.counters["usable"] = benchmark::Counter(found, benchmark::Counter::kAvgIterations);
  state.SetLabel(hits ? "stored keys" : "unknown keys");
}
BENCHMARK(BM_ProbeHash)->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
