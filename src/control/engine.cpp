#include "control/engine.h"

#include "control/level.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <chrono>
#include <thread>

namespace {

constexpr uint32_t DEFAULT_TT_BUCKETS = HASH_BUCKETS;   // 128 MiB for both tables
constexpr uint32_t DEFAULT_CACHE_BUCKETS = 524288;      // 64 MiB for the four tables
constexpr uint32_t MIN_BUCKETS = 1024;                  // 256 KiB + 128 KiB
constexpr size_t DEFAULT_THREAT_CACHE = size_t{16} << 20;
constexpr size_t MIN_THREAT_CACHE = size_t{64} << 10;
// What the process holds besides its tables and workers: code, libraries,
// the two threads' stacks, the I/O buffers. Measured at about 4 MiB; the
// margin keeps the limit a promise rather than a wish.
constexpr int64_t PROCESS_BASE = 8 << 20;
constexpr int PV_LIMIT = 24;

uint32_t largestPowerOfTwoAtMost(int64_t n, uint32_t cap) {
  uint32_t p = MIN_BUCKETS;
  while (p < cap && 2 * static_cast<int64_t>(p) <= n) p *= 2;
  return p;
}

}  // namespace

const char* ruleName(int rule) {
  switch (rule) {
    case 1: return "Gomoku (Standard)";
    case 2: return "Renju";
    default: return "Gomoku (Freestyle)";
  }
}

Engine::Engine() : ruleTables(new RuleTables) {
  game.tables = ruleTables;
  ensureWorkers(1);
  // Games at a level should differ from one start to the next.
  levelRandom = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
}

Engine::~Engine() {
  for (int i = 0; i < workerCount; i++) delete workers[i];
  delete ruleTables;
}

void Engine::ensureWorkers(int count) {
  while (workerCount < count) {
    Worker* w = new (std::nothrow) Worker;
    if (!w) break;   // fewer threads than asked rather than none
    workers[workerCount++] = w;
  }
}

void Engine::warmUp() {
  buildTables();
  ruleTables->build(rule.load());
  // The tables are only mapped here: their pages cost resident memory once a
  // search writes them, and a max_memory that arrives later can still shrink
  // them before the first think.
  applyMemoryLimit(maxMemory.load());
}

int64_t Engine::fixedMemory() const {
  const int threads = std::max(workerCount, std::max(1, std::min<int>(threadCount.load(), MAX_THREADS)));
  return PROCESS_BASE + static_cast<int64_t>(sizeof(RuleTables)) + static_cast<int64_t>(sizeof(Engine)) +
         static_cast<int64_t>(threads) * static_cast<int64_t>(sizeof(Worker));
}

bool Engine::applyMemoryLimit(int64_t bytes) {
  uint32_t ttBuckets = DEFAULT_TT_BUCKETS, cacheBuckets = DEFAULT_CACHE_BUCKETS;
  size_t threatBytes = DEFAULT_THREAT_CACHE;
  bool enough = true;
  if (bytes > 0) {
    // An eighth (at most the default) to the threat-sequence cache; of the
    // rest two thirds to the transposition table, a third to the four-solver
    // cache, each rounded down to a power of two.
    int64_t room = bytes - fixedMemory();
    const int64_t minimum = static_cast<int64_t>(MIN_THREAT_CACHE) +
                            2 * int64_t{MIN_BUCKETS} * static_cast<int64_t>(sizeof(HashBucket)) +
                            FourCache::TABLES * int64_t{MIN_BUCKETS} * static_cast<int64_t>(sizeof(FourBucket));
    enough = room >= minimum;
    threatBytes = static_cast<size_t>(std::max<int64_t>(
        MIN_THREAT_CACHE, std::min<int64_t>(room / 8, static_cast<int64_t>(DEFAULT_THREAT_CACHE))));
    room -= static_cast<int64_t>(threatBytes);
    ttBuckets = largestPowerOfTwoAtMost(room * 2 / 3 / (2 * static_cast<int64_t>(sizeof(HashBucket))),
                                        DEFAULT_TT_BUCKETS);
    cacheBuckets = largestPowerOfTwoAtMost(
        room / 3 / (FourCache::TABLES * static_cast<int64_t>(sizeof(FourBucket))), DEFAULT_CACHE_BUCKETS);
  }
  const int r = game.builtRule >= 0 ? game.builtRule : rule.load();
  // A failed allocation keeps the tables as they were (or the smallest ones).
  if (!tt.prepare(r, ttBuckets)) tt.prepare(r, MIN_BUCKETS);
  if (!fourCache.prepare(r, cacheBuckets)) fourCache.prepare(r, MIN_BUCKETS);
  if (!threatCache.init(threatBytes)) threatCache.init(MIN_THREAT_CACHE);
  appliedMemory = bytes;
  return enough;
}

void Engine::prepareSearchTables() {
  const int64_t wanted = maxMemory.load();
  if (wanted != appliedMemory && !applyMemoryLimit(wanted))
    out("MESSAGE max_memory %lld is below the minimum of %lld bytes: using the smallest tables",
        static_cast<long long>(wanted),
        static_cast<long long>(fixedMemory() + MIN_THREAT_CACHE + 2 * MIN_BUCKETS * sizeof(HashBucket) +
                               FourCache::TABLES * MIN_BUCKETS * sizeof(FourBucket)));
  tt.prepare(game.builtRule, tt.bucketCount);
  fourCache.prepare(game.builtRule, fourCache.bucketCount);
}

void Engine::principalVariation(Worker& w, int colour, char* text, int size) {
  int length = 0;
  text[0] = '\0';
  Position& pos = w.pos;
  int played[PV_LIMIT];
  int count = 0;
  int cell = w.search.bestX < 0 ? NO_CELL : cellIndex(w.search.bestX, w.search.bestY);
  while (cell != NO_CELL && count < PV_LIMIT && pos.onBoard(cell) && pos.board.cells[cell] == EMPTY) {
    length += std::snprintf(text + length, size - length, "%s%d,%d", count ? " " : "", cellX(cell), cellY(cell));
    if (length >= size) break;
    const bool five = (pos.board.setRows[FiveCells][colour - 1][cellX(cell)] >> cellY(cell)) & 1;
    pos.placeStone(cell, colour);
    played[count++] = cell;
    colour ^= 3;
    if (five) break;   // the game is over
    int moves[3] = {NO_CELL, NO_CELL, NO_CELL};
    cell = tt.peekMoves(pos.board.hashKey, colour, moves) ? moves[0] : NO_CELL;
  }
  while (count > 0) pos.removeStone(played[--count]);
}

// The analysis line of a finished iteration, and the REALTIME best move.
void Engine::reportIteration(void* listener, Worker& w, int depth, int value) {
  Engine& e = *static_cast<Engine*>(listener);
  if (w.search.bestX < 0) return;   // nothing to show: no move left
  char eval[24];
  if (value >= DECISIVE_SCORE || value <= -DECISIVE_SCORE) {
    // Plies to the five, the winning stone included. A root won in hand
    // counts its own way: a five now is one ply, an open four three.
    int plies = std::max(1, depth - (std::abs(value) - WIN_SCORE) + 1);
    if (value > 0 && value - depth >= WIN_SCORE) {
      const int mover = w.pos.recordCount % 2 == 0 ? BLACK : WHITE;
      plies = w.setEmpty(FiveCells, mover) ? 3 : 1;
    }
    std::snprintf(eval, sizeof eval, "%cM%d", value > 0 ? '+' : '-', plies);
  } else {
    std::snprintf(eval, sizeof eval, "%d", value);
  }
  char pv[PV_LIMIT * 6 + 8];
  const int colour = w.pos.recordCount % 2 == 0 ? BLACK : WHITE;
  e.principalVariation(w, colour, pv, sizeof pv);
  const int elapsed = clockMs() - w.search.startTime;
  e.out("MESSAGE depth %d eval %s nodes %lld time %d pv %s", depth, eval, static_cast<long long>(w.totalNodes()),
        elapsed, pv);
  if ((e.showDetail.load() & SHOW_REALTIME) && w.search.bestX >= 0) {
    e.out("MESSAGE REALTIME BEST %d,%d", w.search.bestX, w.search.bestY);
    e.lastAnnounced = cellIndex(w.search.bestX, w.search.bestY);
  }
}

void Engine::reportRootEvent(void* listener, int kind, int cell) {
  Engine& e = *static_cast<Engine*>(listener);
  if (!(e.showDetail.load() & SHOW_REALTIME) || cell < 0) return;
  if (kind == ROOT_LOST) {
    e.out("MESSAGE REALTIME LOST %d,%d", cellX(cell), cellY(cell));
  } else if (cell != e.lastAnnounced) {
    e.out("MESSAGE REALTIME BEST %d,%d", cellX(cell), cellY(cell));
    e.lastAnnounced = cell;
  }
}

int64_t Engine::totalNodes() const {
  int64_t sum = 0;
  for (int i = 0; i < workerCount; i++) sum += workers[i]->search.nodeCount.load(std::memory_order_relaxed);
  return sum;
}

// The centre, or the empty cell nearest to it (Manhattan distance, the first
// found in x-then-y order on ties) when a block sits there.
void Engine::playCentre(Worker& w) {
  const int cx = game.xExtent / 2, cy = game.yExtent / 2;
  w.search.bestX = cx;
  w.search.bestY = cy;
  if (!game.cellOccupied(cx, cy)) return;
  int nearest = INT_MAX;
  w.search.bestX = w.search.bestY = -1;
  for (int x = 0; x < game.xExtent; x++)
    for (int y = 0; y < game.yExtent; y++) {
      const int distance = std::abs(x - cx) + std::abs(y - cy);
      if (!game.cellOccupied(x, y) && distance < nearest) {
        nearest = distance;
        w.search.bestX = x;
        w.search.bestY = y;
      }
    }
}

bool Engine::renjuWindowOpen() const {
  const int X = game.xExtent, Y = game.yExtent;
  static const int lines[4][2] = {{0, 1}, {1, 0}, {1, 1}, {1, -1}};
  auto state = [this, X, Y](int x, int y, int offBoard) {
    if (x < 0 || y < 0 || x >= X || y >= Y) return offBoard;
    return game.board.cells[cellIndex(x, y)];
  };
  for (int x = 0; x < X; x++)
    for (int y = 0; y < Y; y++)
      for (const auto& d : lines) {
        int w = 0;
        for (int t = -2; t <= 2; t++) w |= state(x + t * d[0], y + t * d[1], BLOCK);
        const int o = state(x - 3 * d[0], y - 3 * d[1], EMPTY) | state(x + 3 * d[0], y + 3 * d[1], EMPTY);
        if (w == EMPTY || w == WHITE) return true;
        if (w == BLACK && !(o & BLACK)) return true;
      }
  return false;
}

Worker& Engine::linkMainWorker() {
  Worker& main = *workers[0];
  main.links = WorkerLinks{&tt, &fourCache, sequenceCache(), &limits, &stopRequested, &searchOver, nullptr, 0};
  main.isMain = true;
  main.pos.tables = ruleTables;
  return main;
}

int Engine::searchGame(int colour, bool thinking, int origin) {
  const int threads = std::max(1, std::min<int>(threadCount.load(), MAX_THREADS));
  ensureWorkers(threads);
  const int helpers = std::min(threads, workerCount) - 1;
  prepareSearchTables();
  Worker& main = *workers[0];
  ThreatCache* threats = sequenceCache();
  if (threats) threatCache.nextGeneration();
  main.links = WorkerLinks{&tt, &fourCache, threats, &limits, &stopRequested, &searchOver, workers + 1, helpers};
  const int sequences = sequenceSearch.load();
  main.links.sequenceDefence = sequences == 1;
  main.links.sequenceLeaves = sequences == SEQUENCES_LEAVES;
  main.links.guardBest = sequences == SEQUENCES_GUARD;
  main.isMain = true;
  main.pos = game;
  main.beginSearch(thinking);
  main.search.fixedDepth = limits.max_depth.load();
  main.search.maxNodes = levelNodeBudget(level.load(), limits.max_node.load());
  main.search.originTime = origin;
  if (thinking && out) {
    main.links.onIteration = reportIteration;
    main.links.onRootEvent = reportRootEvent;
    main.links.listener = this;
    lastAnnounced = NO_CELL;
  }

  searchOver = 0;
  std::thread threads_[MAX_THREADS];
  for (int i = 1; i <= helpers; i++) {
    Worker& h = *workers[i];
    h.links = WorkerLinks{&tt, &fourCache, threats, &limits, &stopRequested, &searchOver, nullptr, 0};
    h.links.sequenceDefence = main.links.sequenceDefence;
    h.links.sequenceLeaves = main.links.sequenceLeaves;
    h.isMain = false;
    h.pos = game;
    h.beginSearch(false);
    h.clearPlyStacks();
    threads_[i] = std::thread([&h, colour, i] { h.helperDeepen(colour, i); });
  }
  const int value = main.deepen(colour);
  searchOver = 1;
  for (int i = 1; i <= helpers; i++) threads_[i].join();

  // What the search leaves in the game: the verdict and the depth it reached.
  game.finalValue = main.pos.finalValue;
  game.board.iterationDepth = main.pos.board.iterationDepth;
  return value;
}

void Engine::think() {
  const int n = game.recordCount;
  const int colour = n % 2 == 0 ? BLACK : WHITE;
  Worker& main = linkMainWorker();
  main.beginSearch(true);

  bool searched = false;
  if (n == 0) {
    playCentre(main);
  } else {
    bool forced = false;
    if (game.builtRule != -1 && game.finalValue - game.board.iterationDepth >= WIN_SCORE) {
      main.pos = game;
      forced = main.playForcedWin(colour) != 0;
    }
    if (!forced) {
      const int r = rule.load();
      if (r != game.builtRule) {
        out("MESSAGE Rule %s", ruleName(r));
        game.rebuild(r);
      }
      const int value = searchGame(colour, true, thinkOrigin.load());
      searched = true;
      const int playingLevel = level.load();
      if (playingLevel > 0) chooseLevelMove(main, colour, playingLevel, value, levelRandom);
    }
  }

  const int64_t nodes = searched ? totalNodes() : main.search.nodeCount.load();
  out("MESSAGE Speed=%d", static_cast<int>(nodes / (main.search.startTime + 1)));
  int& bestX = main.search.bestX;
  int& bestY = main.search.bestY;
  if (bestX == -1) {
    for (int x = 0; x < game.xExtent && bestX == -1; x++)
      for (int y = 0; y < game.yExtent; y++)
        if (!game.cellOccupied(x, y)) {
          bestX = x;
          bestY = y;
          break;
        }
  }
  if (bestX == -1) out("MESSAGE pass");
  else if (game.playOwnMove(bestX, bestY, rule.load()) != BoardDone) out("ERROR my move [%d,%d]", bestX, bestY);
  out("%d,%d", bestX, bestY);
  if (rule.load() == RULE_RENJU && game.builtRule == RULE_RENJU && !renjuWindowOpen()) out("MESSAGE It's a draw\n");
  main.search.thinking = 0;
}
