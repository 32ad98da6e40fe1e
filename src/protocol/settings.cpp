#include "protocol/settings.h"

#include <cctype>
#include <climits>

#include "board/board.h"
#include "protocol/protocol.h"

EngineSettings settings;

const char* ruleName(int rule) {
  switch (rule) {
    case 1: return "Gomoku (Standard)";
    case 2: return "Renju";
    default: return "Gomoku (Freestyle)";
  }
}

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

void handleInfo(const char* text) {
  const char* value;
  if ((value = findKeyValue("max_memory", text)) != nullptr) return;
  if ((value = findKeyValue("timeout_match", text)) != nullptr) return;
  if ((value = findKeyValue("timeout_turn", text)) != nullptr) {
    settings.timeout_turn = parseInfoValue(value);
    return;
  }
  if ((value = findKeyValue("time_left", text)) != nullptr) {
    settings.time_left = parseInfoValue(value);
    return;
  }
  if ((value = findKeyValue("game_type", text)) != nullptr) return;
  if ((value = findKeyValue("rule", text)) != nullptr) {
    settings.rule = mapRule(parseInfoValue(value));
    return;
  }
  // "folder" and every other key are accepted without effect.
}

void newGame(int width, int height) {
  // A side below 1 would give a board without a single valid coordinate; it is
  // refused like an oversized one.
  if (width > MAX_SIDE || height > MAX_SIDE || width < 1 || height < 1) {
    printLine("ERROR size of the board");
    return;
  }
  settings.xExtent = width;
  settings.yExtent = height;
  startBoard();
}
