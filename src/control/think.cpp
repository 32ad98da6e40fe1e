#include "control/think.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdlib>

#include "board/board.h"
#include "board/renju.h"
#include "control/root_search.h"
#include "protocol/protocol.h"
#include "protocol/settings.h"
#include "search/moves.h"
#include "search/threat_eval.h"

SearchControl search;

namespace {

constexpr int START_DEPTH = 1;
constexpr int DEPTH_CAP = MAX_CELLS;
constexpr int VALUE_TERM_THRESHOLD = 150;
constexpr int RENJU_VALUE_BIAS = 75;
constexpr int STABILITY_STREAK = 5;

bool cellOccupied(int x, int y) {
  if (builtRule != -1) return board.cells[cellIndex(x, y)] != EMPTY;
  return recordOccupies(x, y);
}

// The centre, or the empty cell nearest to it (Manhattan distance, the first
// found in x-then-y order on ties) when a block sits there.
void playCentre() {
  const int cx = settings.xExtent / 2, cy = settings.yExtent / 2;
  search.bestX = cx;
  search.bestY = cy;
  if (!cellOccupied(cx, cy)) return;
  int nearest = INT_MAX;
  search.bestX = search.bestY = -1;
  for (int x = 0; x < settings.xExtent; x++)
    for (int y = 0; y < settings.yExtent; y++) {
      const int distance = std::abs(x - cx) + std::abs(y - cy);
      if (!cellOccupied(x, y) && distance < nearest) {
        nearest = distance;
        search.bestX = x;
        search.bestY = y;
      }
    }
}

int currentBudget(int multiplier) {
  return budgetFor(settings.time_left.load(), settings.timeout_turn.load(), multiplier);
}

}  // namespace

int (*clockSource)() = steadyClockMs;

int clockMs() { return clockSource(); }

int steadyClockMs() {
  static const auto origin = std::chrono::steady_clock::now();
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - origin).count());
}

bool stopBeforeIteration(int elapsed, int moveBudget, bool plentyOfTime, int depth, int moves, int cellCount) {
  return (4LL * elapsed >= moveBudget && !plentyOfTime) || depth + moves > cellCount;
}

bool stableEnough(int streak, bool plentyOfTime, int elapsed, int moveBudget) {
  return streak >= STABILITY_STREAK && !plentyOfTime && 8LL * elapsed > moveBudget;
}

bool nodeClockCheck() {
  if ((++search.nodeCount & 1023) != 0) return false;
  if (clockMs() - search.startTime + 30 >= search.moveBudget || search.stopRequested.load() > 0) {
    search.stopSearch = 1;
    return true;
  }
  return false;
}

int budgetFor(int64_t timeLeft, int64_t timeoutTurn, int multiplier) {
  const int64_t budget = std::min(timeLeft * multiplier / 24, timeoutTurn);
  return static_cast<int>(std::max<int64_t>(std::min<int64_t>(budget, INT_MAX), INT_MIN));
}

int playForcedWin(int colour) {
  int32_t cells[MAX_CELLS];
  int n = listSetCells(FiveCells, colour, cells);
  if (n == 0) n = countPlayableOpenFours(colour, cells);
  if (n == 0) return 0;
  search.bestX = cellX(cells[0]);
  search.bestY = cellY(cells[0]);
  return 1;
}

int deepen(int colour) {
  const int n = recordCount, cellCount = settings.xExtent * settings.yExtent;
  const int64_t average = static_cast<int64_t>(settings.time_left.load()) / std::max(cellCount - n + 1, 1);
  bool plentyOfTime = average >= search.moveBudget;
  int& depth = board.iterationDepth;

  search.startTime = clockMs();
  int result = onePlyPass(colour);
  search.lastValue = result;
  depth = START_DEPTH;
  for (;;) {
    if (depth > START_DEPTH) {
      const int elapsed = clockMs() - search.startTime;
      if (stopBeforeIteration(elapsed, search.moveBudget, plentyOfTime, depth, n, cellCount) ||
          search.stopRequested.load() > 0)
        break;
    }
    if (depth > DEPTH_CAP || (search.fixedDepth > 0 && depth > search.fixedDepth)) break;
    search.iterationStartX = search.bestX;
    search.iterationStartY = search.bestY;
    search.singleReply = 0;
    int v = search.lastValue;
    if (builtRule == RULE_RENJU) v += colour == BLACK ? -RENJU_VALUE_BIAS : RENJU_VALUE_BIAS;
    search.extendForValue = std::abs(v) >= VALUE_TERM_THRESHOLD ? 1 : 0;
    search.moveBudget = currentBudget(1 + search.extendForValue + search.extendForDrop + search.extendForNewBest);
    if (average >= search.moveBudget) plentyOfTime = true;
    clearKillers();

    const int value = searchRoot(depth, -ROOT_WINDOW, ROOT_WINDOW, colour, 0);
    if (search.stopSearch) {
      if (value != 0) {
        result = value;
        depth++;
      }
      break;
    }
    result = value;
    if (value >= DECISIVE_SCORE || value <= -DECISIVE_SCORE) {
      depth++;
      break;
    }
    if (search.singleReply && depth >= 5) {
      depth++;
      break;
    }
    search.lastValue = value;
    if (search.bestX == search.iterationStartX && search.bestY == search.iterationStartY) {
      search.sameBestStreak++;
      if (stableEnough(search.sameBestStreak, plentyOfTime, clockMs() - search.startTime, search.moveBudget)) {
        depth++;
        break;
      }
    } else {
      search.sameBestStreak = 0;
    }
    depth++;
    if (average >= search.moveBudget) plentyOfTime = true;
  }
  search.startTime = clockMs() - search.startTime;
  depth--;
  search.finalValue = result;
  if (search.finalValue - depth >= WIN_SCORE) playForcedWin(colour);
  return result;
}

bool renjuWindowOpen() {
  const int X = settings.xExtent, Y = settings.yExtent;
  static const int lines[4][2] = {{0, 1}, {1, 0}, {1, 1}, {1, -1}};
  auto state = [X, Y](int x, int y, int offBoard) {
    if (x < 0 || y < 0 || x >= X || y >= Y) return offBoard;
    return board.cells[cellIndex(x, y)];
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

void beginThink() {
  search.moveBudget = currentBudget(1);
  search.thinking = 1;
  search.sameBestStreak = search.extendForValue = search.extendForDrop = search.extendForNewBest = 0;
  search.nodeCount = 0;
  search.stopSearch = 0;
  search.bestX = search.bestY = -1;
  search.startTime = 0;
}

void think() {
  const int n = recordCount;
  const int colour = n % 2 == 0 ? BLACK : WHITE;
  beginThink();

  if (n == 0) {
    playCentre();
  } else if (!(builtRule != -1 && search.finalValue - board.iterationDepth >= WIN_SCORE && playForcedWin(colour))) {
    ensureBoard();
    deepen(colour);
  }

  printLine("MESSAGE Speed=%d", static_cast<int>(search.nodeCount / (search.startTime + 1)));
  if (search.bestX == -1) {
    for (int x = 0; x < settings.xExtent && search.bestX == -1; x++)
      for (int y = 0; y < settings.yExtent; y++)
        if (!cellOccupied(x, y)) {
          search.bestX = x;
          search.bestY = y;
          break;
        }
  }
  playOwnMove(search.bestX, search.bestY);
  printLine("%d,%d", search.bestX, search.bestY);
  if (settings.rule == RULE_RENJU && builtRule == RULE_RENJU && !renjuWindowOpen()) printLine("MESSAGE It's a draw\n");
  search.thinking = 0;
}
