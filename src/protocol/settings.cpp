#include "protocol/settings.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <thread>

#include "control/engine.h"
#include "control/level.h"
#include "protocol/protocol.h"
#include "search/tunables.h"

int32_t parseInfoValue(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) text++;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  while (*text >= '0' && *text <= '9') {
    value = value * 10 + (*text++ - '0');
    if (value > limit) value = limit;   // saturate, keep consuming digits
  }
  return static_cast<int32_t>(negative ? -value : value);
}

// The manager's rule number is read bit-wise: the Renju bit (4) or the value 2
// select Renju, otherwise bit 0 tells standard from free style.
static int32_t mapRule(int32_t r) {
  if ((r & 4) != 0 || r == 2) return 2;
  return r & 1;
}

// Search threads: 1 ... the hardware threads (and the engine's ceiling);
// values outside are clamped, an unknown hardware count allows one thread.
static int32_t clampThreads(int32_t n) {
  const int hardware = std::max(1u, std::thread::hardware_concurrency());
  return std::max(1, std::min({n, hardware, MAX_THREADS}));
}

void handleInfo(Engine& engine, const char* text) {
  SearchLimits& limits = engine.limits;
  const char* value;
  if ((value = findKeyValue("max_memory", text)) != nullptr) {
    engine.maxMemory = std::max(0, parseInfoValue(value));
    return;
  }
  if ((value = findKeyValue("timeout_match", text)) != nullptr) {
    limits.timeout_match = parseInfoValue(value);
    return;
  }
  if ((value = findKeyValue("timeout_turn", text)) != nullptr) {
    limits.timeout_turn = parseInfoValue(value);
    return;
  }
  if ((value = findKeyValue("time_left", text)) != nullptr) {
    limits.time_left = parseInfoValue(value);
    return;
  }
  if ((value = findKeyValue("game_type", text)) != nullptr) return;
  if ((value = findKeyValue("rule", text)) != nullptr) {
    engine.rule = mapRule(parseInfoValue(value));
    return;
  }
  if ((value = findKeyValue("thread_num", text)) != nullptr) {
    engine.threadCount = clampThreads(parseInfoValue(value));
    return;
  }
  if ((value = findKeyValue("max_node", text)) != nullptr) {
    limits.max_node = std::max(0, parseInfoValue(value));
    return;
  }
  if ((value = findKeyValue("max_depth", text)) != nullptr) {
    limits.max_depth = std::max(0, parseInfoValue(value));
    return;
  }
  if ((value = findKeyValue("threat_search", text)) != nullptr) {
    // Any other non-zero value keeps its old meaning, mode 1.
    int mode = parseInfoValue(value);
    if (mode != 0 && mode != Engine::SEQUENCES_OWN_WINS && mode != Engine::SEQUENCES_LEAVES &&
        mode != Engine::SEQUENCES_GUARD)
      mode = 1;
    engine.sequenceSearch = mode;
    return;
  }
  if ((value = findKeyValue("level", text)) != nullptr) {
    // Outside 0 ... MAX_LEVEL the nearest level: a manager asking for more
    // than the top gets the top, not the full engine.
    engine.level = std::max(0, std::min<int32_t>(parseInfoValue(value), MAX_LEVEL));
    return;
  }
  if ((value = findKeyValue("show_detail", text)) != nullptr) {
    engine.showDetail = parseInfoValue(value);
    return;
  }
#ifdef RUVAN_TUNE
  // A tuning build's search constants: INFO tune_NAME VALUE.
  if (std::strncmp(text, "tune_", 5) == 0) {
    char name[64];
    size_t n = 0;
    for (const char* p = text + 5; *p && !std::isspace(static_cast<unsigned char>(*p)) && n + 1 < sizeof name; p++)
      name[n++] = *p;
    name[n] = 0;
    setTunable(name, parseInfoValue(text + 5 + n));
    return;
  }
#endif
  // "folder" and every other key are accepted without effect.
}
