#include "control/engine.h"

#include "control/level.h"

#include <algorithm>
#include <climits>
#include <cmath>
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
// The win rate of the detail block: a logistic curve over the value, 0.5 at
// 0 and 0.73 at this many units. A display for boards, not a measured
// probability.
constexpr double WINRATE_SCALE = 300.0;
// N-best searches: at most this many lines.
constexpr int MAX_LINES = 32;
// Balance searches: the first depth over every candidate, the most
// candidates kept for the deeper passes, the deepest pass, and the depth
// that ranks the first moves of a two-move balance.
constexpr int BALANCE_FIRST_DEPTH = 2;
constexpr int BALANCE_KEPT = 8;
constexpr int BALANCE_MAX_DEPTH = 12;
constexpr int BALANCE_FIRST_MOVES = 6;
// Swap2: a value this close to 0 counts as even, and the engine then hands
// the choice of colour to the opponent with two balancing stones rather than
// take a side on an edge its search cannot tell from noise.
constexpr int SWAP2_EVEN = 40;

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

bool Engine::promoteTables() {
  // Only tables a search has used at the last limit the manager gave: a
  // promoted table is resident in full, and a move played without a search
  // (the opening stone) leaves the tables at whatever size start-up gave
  // them, before max_memory may have arrived.
  if (!tablesSearched || appliedMemory != maxMemory.load()) return false;
  return tt.promote() || fourCache.promote() || threatCache.memory.promote();
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
  tablesSearched = true;
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

void Engine::formatValue(Worker& w, int depth, int value, char* text, int size) {
  if (value >= DECISIVE_SCORE || value <= -DECISIVE_SCORE) {
    // Plies to the five, the winning stone included. A root won in hand
    // counts its own way: a five now is one ply, an open four three.
    int plies = std::max(1, depth - (std::abs(value) - WIN_SCORE) + 1);
    if (value > 0 && value - depth >= WIN_SCORE) {
      const int mover = w.pos.recordCount % 2 == 0 ? BLACK : WHITE;
      plies = w.setEmpty(FiveCells, mover) ? 3 : 1;
    }
    std::snprintf(text, size, "%cM%d", value > 0 ? '+' : '-', plies);
  } else {
    std::snprintf(text, size, "%d", value);
  }
}

// show_detail 2: one key a line, so that a board can read the block without
// parsing the analysis line. NODES counts this line's search, TOTALNODES
// the whole command's.
void Engine::printDetailBlock(Worker& w, int depth, int value, const char* pv) {
  char eval[24];
  formatValue(w, depth, value, eval, sizeof eval);
  const int64_t nodes = w.totalNodes();
  const int64_t total = earlierLineNodes + nodes;
  const int elapsed = std::max(0, clockMs() - thinkOrigin.load());
  double winRate = 1.0 / (1.0 + std::exp(-value / WINRATE_SCALE));
  if (value >= DECISIVE_SCORE) winRate = 1;
  if (value <= -DECISIVE_SCORE) winRate = 0;
  out("INFO PV %d", lineNumber);
  out("INFO NUMPV %d", lineCount);
  out("INFO DEPTH %d", depth);
  out("INFO SELDEPTH %d", std::max(depth, w.search.selDepth));
  out("INFO NODES %lld", static_cast<long long>(nodes));
  out("INFO TOTALNODES %lld", static_cast<long long>(total));
  out("INFO TOTALTIME %d", elapsed);
  out("INFO SPEED %lld", static_cast<long long>(total * 1000 / std::max(1, elapsed)));
  out("INFO EVAL %s", eval);
  out("INFO WINRATE %.4f", winRate);
  out("INFO BESTLINE %s", pv);
  out("INFO PV DONE");
}

// The analysis line of a finished iteration, the REALTIME best move and the
// detail block.
void Engine::reportIteration(void* listener, Worker& w, int depth, int value) {
  Engine& e = *static_cast<Engine*>(listener);
  if (w.search.bestX < 0) return;   // nothing to show: no move left
  char eval[24];
  formatValue(w, depth, value, eval, sizeof eval);
  char pv[PV_LIMIT * 6 + 8];
  const int colour = w.pos.recordCount % 2 == 0 ? BLACK : WHITE;
  e.principalVariation(w, colour, pv, sizeof pv);
  const int elapsed = clockMs() - w.search.startTime;
  e.out("MESSAGE depth %d eval %s nodes %lld time %d pv %s", depth, eval, static_cast<long long>(w.totalNodes()),
        elapsed, pv);
  if (e.showsRealtime()) {
    e.out("MESSAGE REALTIME BEST %d,%d", w.search.bestX, w.search.bestY);
    e.lastAnnounced = cellIndex(w.search.bestX, w.search.bestY);
  }
  if (e.showsDetail()) e.printDetailBlock(w, depth, value, pv);
}

void Engine::reportRootEvent(void* listener, int kind, int cell) {
  Engine& e = *static_cast<Engine*>(listener);
  if (!e.showsRealtime() || cell < 0) return;
  switch (kind) {
    case ROOT_LOST: e.out("MESSAGE REALTIME LOST %d,%d", cellX(cell), cellY(cell)); break;
    case ROOT_MOVE_STARTED: e.out("MESSAGE REALTIME POS %d,%d", cellX(cell), cellY(cell)); break;
    case ROOT_MOVE_DONE: e.out("MESSAGE REALTIME DONE %d,%d", cellX(cell), cellY(cell)); break;
    default:
      if (cell != e.lastAnnounced) {
        e.out("MESSAGE REALTIME BEST %d,%d", cellX(cell), cellY(cell));
        e.lastAnnounced = cell;
      }
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
  if (!game.cellOccupied(cx, cy) && !w.rootExcludes(cellIndex(cx, cy))) return;
  int nearest = INT_MAX;
  w.search.bestX = w.search.bestY = -1;
  for (int x = 0; x < game.xExtent; x++)
    for (int y = 0; y < game.yExtent; y++) {
      const int distance = std::abs(x - cx) + std::abs(y - cy);
      if (!game.cellOccupied(x, y) && !w.rootExcludes(cellIndex(x, y)) && distance < nearest) {
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
  main.rootExcludedCount = rootExclusionCount;
  std::copy(rootExclusions, rootExclusions + rootExclusionCount, main.rootExcluded);
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
    h.rootExcludedCount = rootExclusionCount;
    std::copy(rootExclusions, rootExclusions + rootExclusionCount, h.rootExcluded);
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

void Engine::ensureRule() {
  const int r = rule.load();
  if (r != game.builtRule) {
    out("MESSAGE Rule %s", ruleName(r));
    game.rebuild(r);
  }
}

void Engine::think() {
  switch (task) {
    case TASK_NBEST: thinkBestLines(); break;
    case TASK_BALANCE_ONE:
    case TASK_BALANCE_TWO: thinkBalance(); break;
    case TASK_SWAP2: thinkSwap2(); break;
    default: thinkMove();
  }
  task = TASK_MOVE;
  mainWorker().search.thinking = 0;
}

void Engine::chooseMove() {
  const int n = game.recordCount;
  const int colour = n % 2 == 0 ? BLACK : WHITE;
  Worker& main = linkMainWorker();
  main.beginSearch(true);
  main.rootExcludedCount = rootExclusionCount;
  std::copy(rootExclusions, rootExclusions + rootExclusionCount, main.rootExcluded);

  bool searched = false;
  if (n == 0) {
    playCentre(main);
  } else {
    bool forced = false;
    if (n > 0 && game.builtRule != -1 && game.finalValue - game.board.iterationDepth >= WIN_SCORE) {
      main.pos = game;
      forced = main.playForcedWin(colour) != 0;
    }
    if (!forced) {
      ensureRule();
      const int value = searchGame(colour, true, thinkOrigin.load());
      searched = true;
      const int playingLevel = level.load();
      if (playingLevel > 0) chooseLevelMove(main, colour, playingLevel, value, levelRandom);
    }
  }

  const int64_t nodes = earlierLineNodes + (searched ? totalNodes() : main.search.nodeCount.load());
  out("MESSAGE Speed=%d", static_cast<int>(nodes / (std::max(0, clockMs() - thinkOrigin.load()) + 1)));
  if (main.search.bestX == -1) anyMove(colour, main.search.bestX, main.search.bestY);
}

void Engine::anyMove(int colour, int& x, int& y) {
  // Any free cell rather than none: first one the user has not blocked and,
  // for Black under Renju, not forbidden (a search finds no move when the only
  // block of a five is forbidden: the game is lost, but not by this move).
  Worker& main = mainWorker();
  const bool renjuBlack = game.builtRule == RULE_RENJU && colour == BLACK;
  x = y = -1;
  for (int pass = 0; pass < 3 && x == -1; pass++)
    for (int cx = 0; cx < game.xExtent && x == -1; cx++)
      for (int cy = 0; cy < game.yExtent; cy++) {
        if (game.cellOccupied(cx, cy)) continue;
        const int cell = cellIndex(cx, cy);
        if (pass == 0 && renjuBlack && game.isForbidden(cell)) continue;
        if (pass < 2 && main.rootExcludes(cell)) continue;
        x = cx;
        y = cy;
        break;
      }
}

void Engine::thinkMove() {
  rootExclusionCount = blockedCount;
  std::copy(blocked, blocked + blockedCount, rootExclusions);
  lineNumber = lineCount = 1;
  earlierLineNodes = 0;
  chooseMove();
  Worker& main = mainWorker();
  const int bestX = main.search.bestX, bestY = main.search.bestY;
  if (bestX == -1) out("MESSAGE pass");
  else if (game.playOwnMove(bestX, bestY, rule.load()) != BoardDone) out("ERROR my move [%d,%d]", bestX, bestY);
  out("%d,%d", bestX, bestY);
  if (rule.load() == RULE_RENJU && game.builtRule == RULE_RENJU && !renjuWindowOpen()) out("MESSAGE It's a draw\n");
}

void Engine::blockRootMove(int cell) {
  for (int i = 0; i < blockedCount; i++)
    if (blocked[i] == cell) return;
  if (blockedCount < MAX_CELLS) blocked[blockedCount++] = cell;
}

void Engine::unblockRootMove(int cell) {
  for (int i = 0; i < blockedCount; i++)
    if (blocked[i] == cell) {
      blocked[i] = blocked[--blockedCount];
      return;
    }
}

void Engine::clearTables() {
  tt.clear();
  fourCache.clear();
  threatCache.clear();
}

int Engine::moveBudget() {
  Worker& main = linkMainWorker();
  main.pos = game;
  main.search.budgetCap = INT32_MAX;
  return std::max(1, main.currentBudget(1));
}

// YXNBEST: line k is a whole deepening search with the moves of lines 1 ...
// k-1 (and the blocked ones) excluded at the root, on its share of the move's
// time: each line ends by the time k/n of the budget is gone, so that a line
// finished early leaves its time to the next. Each line starts from empty
// tables, as a search of its own: line k is then what a move think with the
// k-1 moves blocked finds, which a board's user can check, rather than a
// search steered by what the earlier lines left in the tables (at a fixed
// depth the second line differed from such a think on 11 of 20 middle
// games). The answer is the first line's move, not played.
void Engine::thinkBestLines() {
  const int budget = moveBudget();
  const int origin = thinkOrigin.load();
  lineCount = std::max(1, std::min(taskArgument, MAX_LINES));
  rootExclusionCount = blockedCount;
  std::copy(blocked, blocked + blockedCount, rootExclusions);
  earlierLineNodes = 0;
  int answerX = -1, answerY = -1;
  const int colour = game.recordCount % 2 == 0 ? BLACK : WHITE;
  for (lineNumber = 1; lineNumber <= lineCount; lineNumber++) {
    const int start = lineNumber == 1 ? origin : clockMs();
    const int64_t lineEnd = origin + static_cast<int64_t>(budget) * lineNumber / lineCount;
    Worker& main = mainWorker();
    if (lineNumber > 1) clearTables();
    main.search.budgetCap = static_cast<int>(std::max<int64_t>(1, lineEnd - start));
    thinkOrigin = start;
    if (game.recordCount == 0) {
      // An empty board is not searched: the lines are the free cells
      // nearest the centre.
      main.rootExcludedCount = rootExclusionCount;
      std::copy(rootExclusions, rootExclusions + rootExclusionCount, main.rootExcluded);
      playCentre(main);
      if (main.search.bestX < 0) break;
      out("MESSAGE (%d) 0 | 0-0 | %d,%d", lineNumber, main.search.bestX, main.search.bestY);
    } else {
      ensureRule();
      const int value = searchGame(colour, true, start);
      if (main.search.bestX < 0) break;
      char eval[24], pv[PV_LIMIT * 6 + 8];
      const int depth = main.pos.board.iterationDepth;
      formatValue(main, depth, value, eval, sizeof eval);
      principalVariation(main, colour, pv, sizeof pv);
      out("MESSAGE (%d) %s | %d-%d | %s", lineNumber, eval, depth, std::max(depth, main.search.selDepth), pv);
      earlierLineNodes += totalNodes();
    }
    if (main.search.bestX < 0) break;
    if (lineNumber == 1) {
      answerX = main.search.bestX;
      answerY = main.search.bestY;
    }
    rootExclusions[rootExclusionCount++] = cellIndex(main.search.bestX, main.search.bestY);
    if (stopRequested.load() != 0 || rootExclusionCount >= MAX_CELLS) break;
  }
  thinkOrigin = origin;
  mainWorker().search.budgetCap = INT32_MAX;
  lineNumber = lineCount = 1;
  if (answerX < 0) {
    // Nothing searched (every cell excluded or the board full): the move
    // think's own choice, unplayed.
    rootExclusionCount = blockedCount;
    std::copy(blocked, blocked + blockedCount, rootExclusions);
    chooseMove();
    answerX = mainWorker().search.bestX;
    answerY = mainWorker().search.bestY;
  } else {
    out("MESSAGE Speed=%d", static_cast<int>(earlierLineNodes / (std::max(0, clockMs() - origin) + 1)));
  }
  earlierLineNodes = 0;
  if (answerX < 0) out("MESSAGE pass");
  out("%d,%d", answerX, answerY);
}

int Engine::candidateCells(int* cells) {
  Worker& main = mainWorker();
  Position& p = main.pos;
  const int colour = p.recordCount % 2 == 0 ? BLACK : WHITE;
  int n = 0;
  for (int x = 0; x < p.xExtent; x++)
    for (int y = 0; y < p.yExtent; y++) {
      const int cell = cellIndex(x, y);
      if (p.cellOccupied(x, y) || std::find(blocked, blocked + blockedCount, cell) != blocked + blockedCount) continue;
      if (p.board.stoneCount > 0 && !main.neighbourhood(x, y, fullSquare)) continue;
      if (p.builtRule == RULE_RENJU && colour == BLACK && p.isForbidden(cell)) continue;
      cells[n++] = cell;
    }
  if (p.board.stoneCount == 0 && n > 0) {
    // An empty board: the free cell nearest the centre.
    const int cx = p.xExtent / 2, cy = p.yExtent / 2;
    int best = 0;
    for (int i = 1; i < n; i++)
      if (std::abs(cellX(cells[i]) - cx) + std::abs(cellY(cells[i]) - cy) <
          std::abs(cellX(cells[best]) - cx) + std::abs(cellY(cells[best]) - cy))
        best = i;
    cells[0] = cells[best];
    n = 1;
  }
  return n;
}

int Engine::valueAfter(const int* cells, int count, int depth, int deadline) {
  Worker& main = linkMainWorker();
  main.pos = game;
  const int r = rule.load();
  for (int i = 0; i < count; i++) main.pos.playOwnMove(cellX(cells[i]), cellY(cells[i]), r);
  const int toMove = main.pos.recordCount % 2 == 0 ? BLACK : WHITE;
  main.beginSearch(false);
  main.rootExcludedCount = 0;
  main.search.fixedDepth = depth;
  main.search.budgetCap = std::max(1, deadline - clockMs());
  main.search.moveBudget = main.currentBudget(1);
  // A five among the placed stones ends the game: decided for its maker.
  int value;
  if (!main.setEmpty(FiveCells, toMove)) value = WIN_SCORE;
  else value = main.deepen(toMove);
  main.search.budgetCap = INT32_MAX;
  // The mover of the first cell is to move again after an even count.
  return count % 2 == 0 ? value : -value;
}

bool Engine::balanceOne(int bias, int deadline, int& cell) {
  static int cells[MAX_CELLS];
  static int distance[MAX_CELLS];
  Worker& main = linkMainWorker();
  main.pos = game;
  int n = candidateCells(cells);
  if (n == 0) return false;
  cell = cells[0];
  for (int depth = BALANCE_FIRST_DEPTH; depth <= BALANCE_MAX_DEPTH; depth++) {
    for (int i = 0; i < n; i++) {
      distance[i] = std::abs(valueAfter(&cells[i], 1, depth, deadline) - bias);
      if (clockMs() >= deadline || stopRequested.load() != 0) return true;   // this pass unfinished
    }
    // Closest first; the deeper passes judge only the closest few.
    for (int i = 1; i < n; i++)
      for (int j = i; j > 0 && distance[j] < distance[j - 1]; j--) {
        std::swap(distance[j], distance[j - 1]);
        std::swap(cells[j], cells[j - 1]);
      }
    cell = cells[0];
    n = std::min(n, BALANCE_KEPT);
  }
  return true;
}

bool Engine::balanceTwo(int bias, int deadline, int& first, int& second) {
  static int firsts[MAX_CELLS], seconds[MAX_CELLS];
  struct Pair {
    int cells[2];
    int distance;
  };
  static Pair pairs[BALANCE_FIRST_MOVES * MAX_CELLS];
  Worker& main = linkMainWorker();
  main.pos = game;
  int n = candidateCells(firsts);
  if (n == 0) return false;
  // The first stones worth trying are the mover's strongest ones: a weak
  // first stone leaves the second to repair the balance alone.
  static int strength[MAX_CELLS];
  for (int i = 0; i < n; i++) {
    strength[i] = valueAfter(&firsts[i], 1, BALANCE_FIRST_DEPTH, deadline);
    if (clockMs() >= deadline) break;
  }
  for (int i = 1; i < n; i++)
    for (int j = i; j > 0 && strength[j] > strength[j - 1]; j--) {
      std::swap(strength[j], strength[j - 1]);
      std::swap(firsts[j], firsts[j - 1]);
    }
  n = std::min(n, BALANCE_FIRST_MOVES);
  int pairCount = 0;
  first = firsts[0];
  second = NO_CELL;
  for (int i = 0; i < n; i++) {
    Position& after = mainWorker().pos;
    after = game;
    after.playOwnMove(cellX(firsts[i]), cellY(firsts[i]), rule.load());
    const int m = candidateCells(seconds);
    for (int j = 0; j < m; j++) pairs[pairCount++] = Pair{{firsts[i], seconds[j]}, 0};
  }
  if (pairCount == 0) return false;
  first = pairs[0].cells[0];
  second = pairs[0].cells[1];
  for (int depth = BALANCE_FIRST_DEPTH; depth <= BALANCE_MAX_DEPTH; depth++) {
    for (int i = 0; i < pairCount; i++) {
      pairs[i].distance = std::abs(valueAfter(pairs[i].cells, 2, depth, deadline) - bias);
      if (clockMs() >= deadline || stopRequested.load() != 0) return true;
    }
    for (int i = 1; i < pairCount; i++)
      for (int j = i; j > 0 && pairs[j].distance < pairs[j - 1].distance; j--) std::swap(pairs[j], pairs[j - 1]);
    first = pairs[0].cells[0];
    second = pairs[0].cells[1];
    pairCount = std::min(pairCount, BALANCE_KEPT);
  }
  return true;
}

// The balance searches end at the hard stop of a move think's budget.
void Engine::thinkBalance() {
  ensureRule();
  const int budget = moveBudget();
  const int deadline = thinkOrigin.load() + budget - stopMargin(budget);
  int first = NO_CELL, second = NO_CELL;
  // Every value lies well within +-2^24: a bias beyond ranks the moves as
  // the bound does, and the distances to it stay within an int.
  const int bias = std::max(-(1 << 24), std::min(taskArgument, 1 << 24));
  const bool found = task == TASK_BALANCE_ONE ? balanceOne(bias, deadline, first)
                                              : balanceTwo(bias, deadline, first, second);
  if (!found) out("MESSAGE pass");
  if (second >= 0) out("%d,%d %d,%d", cellX(first), cellY(first), cellX(second), cellY(second));
  else out("%d,%d", found ? cellX(first) : -1, found ? cellY(first) : -1);
}

// Swap2, the game already holding the opening's stones (0, 3 or 5). Every
// stone the answer names is played on the game.
void Engine::thinkSwap2() {
  ensureRule();
  const int budget = moveBudget();
  const int origin = thinkOrigin.load();
  const int deadline = origin + budget - stopMargin(budget);
  const int r = rule.load();
  rootExclusionCount = blockedCount;
  std::copy(blocked, blocked + blockedCount, rootExclusions);
  lineNumber = lineCount = 1;
  earlierLineNodes = 0;
  if (game.recordCount == 0) {
    // Black in the centre, White beside it (straight or diagonal, by the
    // clock, so that games differ), and Black's stone that balances them.
    // On a board too narrow for the right or lower side White goes to the
    // other side, on one column below the centre; a board of under three
    // cells has no opening to give.
    const int cx = game.xExtent / 2, cy = game.yExtent / 2;
    if (game.xExtent * game.yExtent < 3) {
      out("MESSAGE pass");
      out("-1,-1");
      return;
    }
    const bool diagonal = (clockMs() & 1) != 0;
    int wx = cx + 1 < game.xExtent ? cx + 1 : cx - 1;
    int wy = cy;
    if (diagonal && game.yExtent > 1) wy = cy + 1 < game.yExtent ? cy + 1 : cy - 1;
    if (wx < 0) {
      wx = cx;
      wy = cy + 1 < game.yExtent ? cy + 1 : cy - 1;
    }
    game.playOwnMove(cx, cy, r);
    game.playOwnMove(wx, wy, r);
    int third = NO_CELL;
    if (!balanceOne(0, deadline, third)) {
      for (int x = 0; x < game.xExtent && third == NO_CELL; x++)
        for (int y = 0; y < game.yExtent && third == NO_CELL; y++)
          if (!game.cellOccupied(x, y)) third = cellIndex(x, y);
    }
    game.playOwnMove(cellX(third), cellY(third), r);
    out("%d,%d %d,%d %d,%d", cx, cy, wx, wy, cellX(third), cellY(third));
    return;
  }
  // White to move: what White's best move is worth, on half the time when
  // the answer may still be two balancing stones.
  Worker& main = mainWorker();
  const bool threeStones = game.recordCount == 3;
  main.search.budgetCap = threeStones ? std::max(1, budget / 2) : budget;
  const int white = searchGame(WHITE, true, origin);
  main.search.budgetCap = INT32_MAX;
  const int moveX = main.search.bestX, moveY = main.search.bestY;
  if (threeStones && std::abs(white) <= SWAP2_EVEN) {
    int first = NO_CELL, second = NO_CELL;
    if (balanceTwo(0, deadline, first, second) && second >= 0) {
      game.playOwnMove(cellX(first), cellY(first), r);
      game.playOwnMove(cellX(second), cellY(second), r);
      out("%d,%d %d,%d", cellX(first), cellY(first), cellX(second), cellY(second));
      return;
    }
  }
  if (white < 0 || moveX < 0) {
    out("SWAP");
    return;
  }
  game.playOwnMove(moveX, moveY, r);
  out("%d,%d", moveX, moveY);
}
