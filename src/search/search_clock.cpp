#include "search/search_clock.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace {

constexpr int STABILITY_STREAK = 5;
constexpr int MOVES_LEFT_START = 30;
constexpr int MOVES_LEFT_MIN = 10;
constexpr int64_t RESERVE_CAP = 1000;
constexpr int MARGIN_BASE = 30;
constexpr int MARGIN_COUNTED = 1500;
constexpr int MARGIN_SHARE = 10;

}  // namespace

int (*clockSource)() = steadyClockMs;

int clockMs() { return clockSource(); }

int steadyClockMs() {
  static const auto origin = std::chrono::steady_clock::now();
  return static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - origin).count());
}

int stopMargin(int moveBudget) { return MARGIN_BASE + std::max(0, std::min(moveBudget, MARGIN_COUNTED)) / MARGIN_SHARE; }

bool stopBeforeIteration(int elapsed, int moveBudget, bool plentyOfTime, int depth, int moves, int cellCount) {
  return (2LL * elapsed >= moveBudget && !plentyOfTime) || depth + moves > cellCount;
}

int expectedMovesLeft(int movesPlayed, int emptyCells) {
  const int byLength = std::max(MOVES_LEFT_MIN, MOVES_LEFT_START - movesPlayed / 4);
  return std::max(1, std::min(byLength, (emptyCells + 1) / 2));
}

int64_t timeReserve(int64_t timeLeft) { return std::max<int64_t>(0, std::min(timeLeft / 20, RESERVE_CAP)); }

bool stableEnough(int streak, bool plentyOfTime, int elapsed, int moveBudget) {
  return streak >= STABILITY_STREAK && !plentyOfTime && 8LL * elapsed > moveBudget;
}

int budgetFor(int64_t timeLeft, int64_t timeoutTurn, int multiplier, int movesLeft) {
  const int64_t share = (timeLeft - timeReserve(timeLeft)) * multiplier / std::max(movesLeft, 1);
  const int64_t budget = std::min(share, timeoutTurn);
  return static_cast<int>(std::max<int64_t>(std::min<int64_t>(budget, INT_MAX), INT_MIN));
}
