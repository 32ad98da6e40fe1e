#include "eval/features.h"

#include <algorithm>

uint16_t foldedCodeOf[65536];
uint8_t foldedCodeValues[FOLDED_CODES][4];
uint8_t foldedCodeThreats[FOLDED_CODES];

uint32_t threatBitsOfValues(const int values[4]) {
  uint32_t bits = 0;
  int fours = 0, threes = 0;
  for (int d = 0; d < 4; d++) {
    const int v = values[d];
    if (v == PatFive) bits |= THREAT_FIVE;
    if (v == PatFourOpen) bits |= THREAT_OPEN_FOUR;
    if (v >= PatFour && v <= PatFourOpen) fours++;
    if (v == PatThreeSplit || v == PatThreeOpen) threes++;
  }
  if (fours > 0) bits |= THREAT_FOUR;
  if (threes > 0) bits |= THREAT_THREE;
  if (fours > 0 && fours + threes >= 2) bits |= THREAT_FOUR_THREE;
  return bits;
}

void evalBuildTables() {
  static bool built = false;
  if (built) return;
  // Codes in lexicographic order of the sorted values; a temporary index by
  // the sorted values themselves.
  static uint16_t bySorted[PATTERN_VALUES][PATTERN_VALUES][PATTERN_VALUES][PATTERN_VALUES];
  int code = 0;
  for (int a = 0; a < PATTERN_VALUES; a++)
    for (int b = a; b < PATTERN_VALUES; b++)
      for (int c = b; c < PATTERN_VALUES; c++)
        for (int d = c; d < PATTERN_VALUES; d++) {
          bySorted[a][b][c][d] = static_cast<uint16_t>(code);
          const int values[4] = {a, b, c, d};
          for (int k = 0; k < 4; k++) foldedCodeValues[code][k] = static_cast<uint8_t>(values[k]);
          foldedCodeThreats[code] = static_cast<uint8_t>(threatBitsOfValues(values));
          code++;
        }
  // Nibbles 14 and 15 never occur on a board; they fold as 13 so that every
  // entry names a valid code.
  for (int packed = 0; packed < 65536; packed++) {
    int v[4];
    for (int d = 0; d < 4; d++) v[d] = std::min((packed >> (NIBBLE_BITS * d)) & NIBBLE_MASK, PATTERN_VALUES - 1);
    std::sort(v, v + 4);
    foldedCodeOf[packed] = bySorted[v[0]][v[1]][v[2]][v[3]];
  }
  built = true;
}

void evalCollect(const Position& pos, EvalFeatures& f) {
  int n = 0;
  uint32_t mask = 0;
  for (int x = 0; x < pos.xExtent; x++)
    for (int y = 0; y < pos.yExtent; y++) {
      const int cell = cellIndex(x, y);
      if (pos.board.cells[cell] != EMPTY) continue;
      const CellInfo& info = pos.board.cellInfo[cell];
      f.cells[n] = static_cast<int16_t>(cell);
      for (int k = 0; k < 2; k++) {
        const uint16_t code = foldedCodeOf[info.patterns[k] & 0xFFFF];
        f.codes[k][n] = code;
        mask |= static_cast<uint32_t>(foldedCodeThreats[code]) << (THREAT_BITS * k);
      }
      n++;
    }
  f.cellCount = n;
  f.threatMask = mask;
}
