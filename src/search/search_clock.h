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

// How many more moves of its own the engine expects to play: about 30 at the
// start of a game, falling by one every four stones to at least 10, and never
// more than half the empty cells (rounded up). The match clock is spread over
// these.
int expectedMovesLeft(int movesPlayed, int emptyCells);

// The part of time_left a move may never touch: a twentieth of it, at most a
// second, so that the replies of a long game never run the clock out.
int64_t timeReserve(int64_t timeLeft);

// Time budget of one move: min((time_left - reserve) x multiplier / movesLeft,
// timeout_turn), computed in 64 bits. The multiplier (1 ... 4) grows when the
// value or the best move is unsettled.
int budgetFor(int64_t timeLeft, int64_t timeoutTurn, int multiplier, int movesLeft);

// The time a search keeps between its hard stop and the end of its budget:
// for unwinding, joining the helper threads and printing the reply, and for
// a loaded machine, whose other processes take the CPU from the engine for a
// time slice now and then (on two busy cores, 20-80 ms were seen between a
// manager's line and the engine reading it). 30 ms and a tenth of the budget,
// the budget counted only up to 1.5 s: a longer move is not more likely to
// lose its CPU at the end.
int stopMargin(int moveBudget);

// The stop rules of the deepening loop: before an iteration (not the first),
// and after an iteration whose best move held for `streak` iterations. A new
// iteration starts only while less than half the budget is gone (it takes
// about as long as all before it together, and the clock check ends it at the
// budget in any case), unless time is plentiful.
bool stopBeforeIteration(int elapsed, int moveBudget, bool plentyOfTime, int depth, int moves, int cellCount);
bool stableEnough(int streak, bool plentyOfTime, int elapsed, int moveBudget);
