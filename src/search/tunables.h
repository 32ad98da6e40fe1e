// Search constants that a tuning build can change at run time.
//
// In the engine every one is a compile-time constant. A build configured with
// -DRUVAN_TUNE=ON makes them variables that `INFO tune_NAME VALUE` sets, so
// that a tuner (tools/spsa.py) can play games between two settings of them
// without a rebuild; the protocol of the normal engine does not know the key.
// The values are integers; fractional constants are kept scaled by 100.
#pragma once

#ifdef RUVAN_TUNE
#include <atomic>
// Atomic: the protocol thread may set one while a search reads it.
#define RUVAN_TUNABLE(name, value) inline std::atomic<int> name{value};
#else
#define RUVAN_TUNABLE(name, value) constexpr int name = value;
#endif

namespace tune {

// Razoring and futility at effective depth 4 and below: the margin a ply.
RUVAN_TUNABLE(razorMargin, 64)
// Late-move reductions: offset + ln(depth) ln(index) / divisor, both x100.
RUVAN_TUNABLE(lmrOffset, 75)
RUVAN_TUNABLE(lmrDivisor, 190)
// Move-count pruning above effective depth 4: base + depth^exponent moves (x10, x100).
RUVAN_TUNABLE(moveCountBase, 30)
RUVAN_TUNABLE(moveCountExponent, 130)
// The move indices of the late-move stops at effective depth 4 and below, x100.
RUVAN_TUNABLE(lateStopScale, 100)
// Half the width of the root's aspiration window.
RUVAN_TUNABLE(aspirationDelta, 60)
// The weight of the shape penalty of threat moves, x100.
RUVAN_TUNABLE(penaltyScale, 100)

}  // namespace tune

#undef RUVAN_TUNABLE

#ifdef RUVAN_TUNE
// Sets the tunable `name` (without the tune_ prefix); false when there is none.
bool setTunable(const char* name, int value);
#endif
