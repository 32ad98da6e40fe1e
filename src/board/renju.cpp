// Black's forbidden points under Renju: see Position::isForbidden.
#include "board/board.h"

int Position::blackValue(int cell, int dir) const {
  return (board.cellInfo[cell].patterns[0] >> (NIBBLE_BITS * dir)) & NIBBLE_MASK;
}

// First cell from `from` in steps of `step` that is not a black stone, or -1
// when the walk leaves the board first.
int Position::pastBlackRun(int from, int step) const {
  int u = from + step;
  while (onBoard(u) && board.cells[u] == BLACK) u += step;
  return onBoard(u) ? u : -1;
}

// A four in direction dir whose run ends on both sides at a cell that completes
// another four of the same line (X_XXX_X with the stone in the middle).
bool Position::fourOnBothSides(int cell, int dir) const {
  const int step = DIR_STEP[dir];
  const int after = pastBlackRun(cell, step), before = pastBlackRun(cell, -step);
  return after >= 0 && before >= 0 && blackValue(after, dir) >= PatFour && blackValue(before, dir) >= PatFour;
}

bool Position::inBlackFives(int cell) const {
  return (board.setRows[FiveCells][0][cellX(cell)] >> cellY(cell)) & 1;
}

// A three is real when one of its straight-four points is itself playable.
bool Position::realStraightFourPoint(int cell, int dir) {
  return cell >= 0 && blackValue(cell, dir) == PatFourOpen && !inBlackFives(cell) && isForbidden(cell) == 0;
}

int Position::isForbidden(int a) {
  int value[DIRECTIONS];
  bool overline = false;
  int threats = 0, first = -1, last = -1;
  for (int dir = 0; dir < DIRECTIONS; dir++) {
    value[dir] = blackValue(a, dir);
    if (value[dir] == PatFive) return 0;
    if (value[dir] == PatOverline) overline = true;
    if (value[dir] >= PatThreeSplit && value[dir] <= PatFourOpen) {
      threats++;
      if (first < 0) first = dir;
      last = dir;
    }
  }
  if (overline) return 1;
  if (threats == 0) return 0;

  if (threats == 1) {
    const int v = value[first];
    if (v != PatFour && v != PatFourLive) return 0;
    if (!fourOnBothSides(a, first)) return 0;
  } else if (threats == 2) {
    const int v1 = value[first], v2 = value[last];
    if ((v1 <= PatThreeOpen) != (v2 <= PatThreeOpen)) {
      const int fourDir = v1 >= PatFour ? first : last;
      if (!fourOnBothSides(a, fourDir)) return 0;
    }
  }

  placeStoneLight(a, BLACK);
  int threes = 0, fours = 0;
  for (int dir = first; dir <= last; dir++) {
    const int v = value[dir], step = DIR_STEP[dir];
    if (v == PatThreeSplit || v == PatThreeOpen) {
      if (realStraightFourPoint(pastBlackRun(a, step), dir) || realStraightFourPoint(pastBlackRun(a, -step), dir))
        threes++;
    } else if (v >= PatFour && v <= PatFourOpen) {
      const int g = pastBlackRun(a, step);
      if (g >= 0 && blackValue(g, dir) == PatFive && isForbidden(g) == 0) {
        fours++;
        if (v == PatFourOpen) continue;
      }
      const int h = pastBlackRun(a, -step);
      if (h >= 0 && blackValue(h, dir) == PatFive && isForbidden(h) == 0) fours++;
    }
  }
  removeStoneLight(a);
  return (threes >= 2 || fours >= 2) ? 1 : 0;
}
