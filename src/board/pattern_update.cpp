#include "board/pattern_update.h"

#include "board/board.h"
#include "board/pattern_tables.h"

namespace {

// Set kind by pattern value: 12 five, 11 open four, 9 and 10 four, 7 and 8
// three, nothing else.
constexpr int8_t kindByPattern[16] = {-1, -1, -1, -1, -1, -1, -1, ThreeCells, ThreeCells,
                                      FourCells, FourCells, OpenFourCells, FiveCells, -1, -1, -1};
// Masks with at least two direction bits.
constexpr uint8_t twoOrMore[16] = {0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1};

const CellRange* const rangeOf[DIRECTIONS] = {rowRange, colRange, diagRange, antiRange};

inline void removeFromSet(int kind, int k, int cell, int dirBit, bool full) {
  const int x = cellX(cell), y = cellY(cell);
  BoardBase& b = board;
  int32_t& mask = b.setCells[kind][k][cell];
  mask &= ~dirBit;
  if (mask == 0) {
    b.setRows[kind][k][x] &= ~(1 << y);
    if (b.setRows[kind][k][x] == 0) b.setSummary[kind][k] &= ~(1 << x);
  }
  if (full && (kind == FourCells || kind == ThreeCells) &&
      !twoOrMore[b.setCells[FourCells][k][cell] | b.setCells[ThreeCells][k][cell]]) {
    b.setRows[DoubleCells][k][x] &= ~(1 << y);
    if (b.setRows[DoubleCells][k][x] == 0) b.setSummary[DoubleCells][k] &= ~(1 << x);
  }
}

inline void addToSet(int kind, int k, int cell, int dirBit, bool full) {
  const int x = cellX(cell), y = cellY(cell);
  BoardBase& b = board;
  b.setCells[kind][k][cell] |= dirBit;
  b.setRows[kind][k][x] |= 1 << y;
  b.setSummary[kind][k] |= 1 << x;
  if (full && (kind == FourCells || kind == ThreeCells) &&
      twoOrMore[b.setCells[FourCells][k][cell] | b.setCells[ThreeCells][k][cell]]) {
    b.setRows[DoubleCells][k][x] |= 1 << y;
    b.setSummary[DoubleCells][k] |= 1 << x;
  }
}

template <bool Full>
inline void updateDirection(int cell, int dir) {
  const CellRange range = rangeOf[dir][cell];
  const int step = DIR_STEP[dir];
  const int shift = NIBBLE_BITS * dir;
  const int dirBit = 1 << dir;
  BoardBase& b = board;
  const uint64_t word = lineWordOf(cell, dir);
  for (int t = range.first; t <= range.last; t += step) {
    const uint32_t code = static_cast<uint32_t>(word >> (2 * linePosition(t, dir))) & WINDOW_MASK;
    const LineEntry& e = lineTable[code];
    CellInfo& info = b.cellInfo[t];
    for (int k = 0; k < 2; k++) {
      const int n = e.pattern[k];
      const int o = (info.patterns[k] >> shift) & NIBBLE_MASK;
      if (!Full) {
        if (n == o) continue;
        if (kindByPattern[o] >= 0) removeFromSet(kindByPattern[o], k, t, dirBit, false);
        info.patterns[k] = (info.patterns[k] & ~(NIBBLE_MASK << shift)) | n << shift;
        if (kindByPattern[n] >= 0) addToSet(kindByPattern[n], k, t, dirBit, false);
        continue;
      }
      const int r = e.room[k];
      const int q = (info.rooms[k] >> shift) & NIBBLE_MASK;
      if (n == o && r == q) continue;
      if (n != o && kindByPattern[o] >= 0) removeFromSet(kindByPattern[o], k, t, dirBit, true);
      info.rooms[k] = (info.rooms[k] & ~(NIBBLE_MASK << shift)) | r << shift;
      info.roomSum[k] = static_cast<int16_t>(info.roomSum[k] + r - q);
      if (n != o) {
        info.patterns[k] = (info.patterns[k] & ~(NIBBLE_MASK << shift)) | n << shift;
        if (kindByPattern[n] >= 0) addToSet(kindByPattern[n], k, t, dirBit, true);
      }
      const int score = cellScore(t, k);
      b.scoreSum[k] += score - info.score[k];
      info.score[k] = static_cast<int16_t>(score);
    }
  }
}

}  // namespace

int setKindOf(int pattern) { return kindByPattern[pattern & 15]; }

int cellScore(int cell, int k) {
  const CellInfo& info = board.cellInfo[cell];
  return comboTable[k][info.patterns[k]] * cellWeight[info.roomSum[k]][cell] / 64;
}

uint64_t& lineWordOf(int cell, int dir) {
  const int x = cellX(cell), y = cellY(cell);
  switch (dir) {
    case 0: return board.rowLines[x];
    case 1: return board.colLines[y];
    case 2: return board.diagLines[x + y];
    default: return board.antiLines[x - y + lineSize];
  }
}

int linePosition(int cell, int dir) {
  switch (dir) {
    case 0: return cellY(cell);
    case 1: return cellX(cell);
    case 2: return diagPos[cell];
    default: return antiPos[cell];
  }
}

void updateLine(int cell, int dir) { updateDirection<true>(cell, dir); }
void updateLineLight(int cell, int dir) { updateDirection<false>(cell, dir); }

void placeStoneLight(int cell, int colour) {
  board.cells[cell] = colour;
  for (int dir = 0; dir < DIRECTIONS; dir++) {
    lineWordOf(cell, dir) |= static_cast<uint64_t>(colour) << (2 * linePosition(cell, dir) + LINE_OFFSET);
    updateDirection<false>(cell, dir);
  }
  board.hashKey ^= zobristKeys[cell][colour - 1];
  board.stones[board.stoneCount++] = cell;
}

void removeStoneLight(int cell) {
  const int colour = board.cells[cell];
  board.cells[cell] = EMPTY;
  for (int dir = 0; dir < DIRECTIONS; dir++) {
    lineWordOf(cell, dir) &= ~(uint64_t{3} << (2 * linePosition(cell, dir) + LINE_OFFSET));
    updateDirection<false>(cell, dir);
  }
  board.stoneCount--;
  board.hashKey ^= zobristKeys[cell][colour - 1];
}
