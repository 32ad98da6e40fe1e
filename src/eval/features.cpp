#include "eval/features.h"

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
  buildSearchTables();
  for (int code = 0; code < FOLDED_CODES; code++) {
    const int values[4] = {foldedCodeValues[code][0], foldedCodeValues[code][1], foldedCodeValues[code][2],
                           foldedCodeValues[code][3]};
    foldedCodeThreats[code] = static_cast<uint8_t>(threatBitsOfValues(values));
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
