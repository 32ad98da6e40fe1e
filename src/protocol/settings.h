// The values the manager controls: board extents, time limits and the rule.
//
// One global record. The extents change only inside newGame, which the
// dispatcher calls after the worker is idle, so they are plain integers. The
// time settings and the rule may be changed by INFO while the worker thinks and
// are read by the running search without a lock, hence atomics.
#pragma once

#include <atomic>
#include <cstdint>

struct EngineSettings {
  int32_t xExtent = 0;   // board width; 0 means no game yet
  int32_t yExtent = 0;   // board height
  std::atomic<int32_t> timeout_turn{30000};
  std::atomic<int32_t> time_left{100000000};
  std::atomic<int32_t> rule{0};
};

extern EngineSettings settings;

// Applies the one setting named by the argument text of an INFO line.
void handleInfo(const char* text);

// Starts a game of width x height, or answers "ERROR size of the board".
void newGame(int width, int height);

// The rule's name as "MESSAGE Rule %s" prints it.
const char* ruleName(int rule);

// Decimal conversion of an INFO value: leading blanks, optional sign, digits up
// to the first other character; saturates at the int32 limits.
int32_t parseInfoValue(const char* text);
