// The think driver: what the engine does when it must move.
//
// SearchControl is the record of the current think, shared with the root
// search, the tree search and the solver. The worker thread owns every field
// but stopRequested, which the main thread raises to end a think at once; it
// is polled every 1024 nodes together with the clock.
#pragma once

#include <atomic>
#include <cstdint>

struct SearchControl {
  int thinking = 0;              // 1 from the start of think until the reply is out
  int stopSearch = 0;            // set by the clock check; every search then unwinds
  std::atomic<int32_t> stopRequested{0};
  int64_t nodeCount = 0;         // root, tree and solver nodes of this think
  int startTime = 0;             // clock at the start of the search, then elapsed ms
  int moveBudget = 0;            // ms; the root search may raise it in flight
  int bestX = -1, bestY = -1;    // the move to play
  int iterationStartX = -1, iterationStartY = -1;
  int lastValue = 0;             // value of the last completed iteration
  int finalValue = 0;            // value the previous think ended with
  int extendForValue = 0, extendForDrop = 0, extendForNewBest = 0;
  int sameBestStreak = 0;
  int singleReply = 0;
  int fixedDepth = 0;            // >0: stop deepening after this depth (bench, tests)
};

extern SearchControl search;

// Milliseconds of a monotonic clock since the first call. Every timing
// decision of the search reads this; clockSource lets the tests drive it.
int clockMs();
int steadyClockMs();
extern int (*clockSource)();

// The stop rules of the deepening loop, apart so that they can be checked
// without a clock: before an iteration (not the first), and after an iteration
// whose best move held for `streak` iterations.
bool stopBeforeIteration(int elapsed, int moveBudget, bool plentyOfTime, int depth, int moves, int cellCount);
bool stableEnough(int streak, bool plentyOfTime, int elapsed, int moveBudget);

// The clock check every search procedure runs after counting its node: true
// (and stopSearch set) when the budget is spent or a stop was requested.
bool nodeClockCheck();

// Time budget of one move: min(time_left x multiplier / 24, timeout_turn),
// computed in 64 bits.
int budgetFor(int64_t timeLeft, int64_t timeoutTurn, int multiplier);

// The set-up of every think: the first budget from the time settings, and the
// counters, flags and move of SearchControl cleared.
void beginThink();

// Whole think: set-up, trivial cases or deepening search, reply.
void think();

// Picks a cell of the colour's five cells, else of its playable open-four
// cells, into bestX, bestY; 0 when there is none.
int playForcedWin(int colour);

// The deepening loop alone on the current position (no reply, no move played);
// used by think and by the bench. Returns the think's result value.
int deepen(int colour);

// True when some five-cell window can still become a winning five under Renju.
bool renjuWindowOpen();
