// The clock of a search and the limits it runs under.
//
// Every timing decision of the search reads clockMs(); clockSource lets the
// tests drive it. The stop rules are kept apart from the deepening loop so
// that they can be checked without a clock.
#pragma once

#include <atomic>
#include <cstdint>

// Milliseconds of a monotonic clock since the first call.
int clockMs();
int steadyClockMs();
extern int (*clockSource)();

// The limits the manager sets, shared by the front end (which writes them,
// possibly while a think runs) and the workers (which read them), hence
// atomics. Times in ms; 0 for max_node and max_depth means no limit.
struct SearchLimits {
  std::atomic<int32_t> timeout_turn{30000};
  std::atomic<int32_t> time_left{100000000};
  std::atomic<int32_t> timeout_match{0};
  std::atomic<int64_t> max_node{0};
  std::atomic<int32_t> max_depth{0};
};

// Time budget of one move: min(time_left x multiplier / 24, timeout_turn),
// computed in 64 bits.
int budgetFor(int64_t timeLeft, int64_t timeoutTurn, int multiplier);

// The stop rules of the deepening loop: before an iteration (not the first),
// and after an iteration whose best move held for `streak` iterations.
bool stopBeforeIteration(int elapsed, int moveBudget, bool plentyOfTime, int depth, int moves, int cellCount);
bool stableEnough(int streak, bool plentyOfTime, int elapsed, int moveBudget);
