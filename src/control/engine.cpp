#include "control/engine.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>
#include <thread>

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
  const int r = rule.load();
  tt.prepare(r);
  fourCache.prepare(r);
}

void Engine::prepareSearchTables() {
  tt.prepare(game.builtRule);
  fourCache.prepare(game.builtRule);
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
  main.links = WorkerLinks{&tt, &fourCache, &limits, &stopRequested, &searchOver, nullptr, 0};
  main.isMain = true;
  main.pos.tables = ruleTables;
  return main;
}

int Engine::searchGame(int colour, bool thinking) {
  const int threads = std::max(1, std::min<int>(threadCount.load(), MAX_THREADS));
  ensureWorkers(threads);
  const int helpers = std::min(threads, workerCount) - 1;
  prepareSearchTables();
  Worker& main = *workers[0];
  main.links = WorkerLinks{&tt, &fourCache, &limits, &stopRequested, &searchOver, workers + 1, helpers};
  main.isMain = true;
  main.pos = game;
  main.beginSearch(thinking);
  main.search.fixedDepth = limits.max_depth.load();
  main.search.maxNodes = limits.max_node.load();

  searchOver = 0;
  std::thread threads_[MAX_THREADS];
  for (int i = 1; i <= helpers; i++) {
    Worker& h = *workers[i];
    h.links = WorkerLinks{&tt, &fourCache, &limits, &stopRequested, &searchOver, nullptr, 0};
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
      searchGame(colour, true);
      searched = true;
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
