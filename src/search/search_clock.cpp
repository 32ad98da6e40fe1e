#include "search/search_clock.h"

#include <algorithm>
#include <chrono>
#include <climits>

namespace {

constexpr int STABILITY_STREAK = 5;

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

int budgetFor(int64_t timeLeft, int64_t timeoutTurn, int multiplier) {
  const int64_t budget = std::min(timeLeft * multiplier / 24, timeoutTurn);
  return static_cast<int>(std::max<int64_t>(std::min<int64_t>(budget, INT_MAX), INT_MIN));
}
