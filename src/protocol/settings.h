// The values the manager controls through INFO: time limits, the rule, node
// and depth limits, threads and memory. They are kept by the engine (its
// SearchLimits and rule), which the front end hands to this handler.
#pragma once

#include <cstdint>

class Engine;

// Applies the one setting named by the argument text of an INFO line.
void handleInfo(Engine& engine, const char* text);

// Decimal conversion of an INFO value: leading blanks, optional sign, digits up
// to the first other character; saturates at the int32 limits.
int32_t parseInfoValue(const char* text);
