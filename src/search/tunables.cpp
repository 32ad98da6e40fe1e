#include "search/tunables.h"

#ifdef RUVAN_TUNE
#include <cstring>

bool setTunable(const char* name, int value) {
  struct Entry {
    const char* name;
    std::atomic<int>* value;
  };
  static const Entry entries[] = {
      {"razorMargin", &tune::razorMargin},         {"lmrOffset", &tune::lmrOffset},
      {"lmrDivisor", &tune::lmrDivisor},           {"moveCountBase", &tune::moveCountBase},
      {"moveCountExponent", &tune::moveCountExponent}, {"lateStopScale", &tune::lateStopScale},
      {"aspirationDelta", &tune::aspirationDelta}, {"penaltyScale", &tune::penaltyScale},
  };
  for (const Entry& e : entries)
    if (std::strcmp(e.name, name) == 0) {
      e.value->store(value, std::memory_order_relaxed);
      return true;
    }
  return false;
}
#endif
