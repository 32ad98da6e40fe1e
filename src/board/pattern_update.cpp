// Incremental pattern bookkeeping of the position: see Position::updateLine.
#include "board/board.h"
#include "board/pattern_tables.h"

#include <cstring>

namespace {

// Set kind by pattern value: 12 five, 11 open four, 9 and 10 four, 7 and 8
// three, nothing else.
constexpr int8_t kindByPattern[16] = {-1, -1, -1, -1, -1, -1, -1, ThreeCells, ThreeCells,
                                      FourCells, FourCells, OpenFourCells, FiveCells, -1, -1, -1};
// Masks with at least two direction bits.
constexpr uint8_t twoOrMore[16] = {0, 0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 1, 1, 1, 1, 1};

}  // namespace

inline void Position::removeFromSet(int kind, int k, int cell, int dirBit, bool full) {
  const int x = cellX(cell), y = cellY(cell);
  BoardBase& b = board;
  uint8_t& mask = b.cellInfo[cell].sets[k][kind];
  mask = static_cast<uint8_t>(mask & ~dirBit);
  if (mask == 0) {
    b.setRows[kind][k][x] &= ~(1 << y);
    if (b.setRows[kind][k][x] == 0) b.setSummary[kind][k] &= ~(1 << x);
  }
  if (full && (kind == FourCells || kind == ThreeCells) &&
      !twoOrMore[b.setMask(FourCells, k, cell) | b.setMask(ThreeCells, k, cell)]) {
    b.setRows[DoubleCells][k][x] &= ~(1 << y);
    if (b.setRows[DoubleCells][k][x] == 0) b.setSummary[DoubleCells][k] &= ~(1 << x);
  }
}

inline void Position::addToSet(int kind, int k, int cell, int dirBit, bool full) {
  const int x = cellX(cell), y = cellY(cell);
  BoardBase& b = board;
  b.cellInfo[cell].sets[k][kind] = static_cast<uint8_t>(b.cellInfo[cell].sets[k][kind] | dirBit);
  b.setRows[kind][k][x] |= 1 << y;
  b.setSummary[kind][k] |= 1 << x;
  if (full && (kind == FourCells || kind == ThreeCells) &&
      twoOrMore[b.setMask(FourCells, k, cell) | b.setMask(ThreeCells, k, cell)]) {
    b.setRows[DoubleCells][k][x] |= 1 << y;
    b.setSummary[DoubleCells][k] |= 1 << x;
  }
}

// Line word and position of cell t in direction Dir, resolved at compile time
// so that the walk below costs one shift and one table read per cell.
template <int Dir>
inline uint64_t Position::lineWord(int t) const {
  if (Dir == 0) return board.rowLines[cellX(t)];
  if (Dir == 1) return board.colLines[cellY(t)];
  if (Dir == 2) return board.diagLines[cellX(t) + cellY(t)];
  return board.antiLines[cellX(t) - cellY(t) + lineSize];
}

template <int Dir>
inline int Position::position(int t) const {
  if (Dir == 0) return cellY(t);
  if (Dir == 1) return cellX(t);
  if (Dir == 2) return geometry.diagPos[t];
  return geometry.antiPos[t];
}

template <bool Full, int Dir>
void Position::updateDirection(int cell, UndoRecord* undo) {
  const CellRange range = Dir == 0   ? geometry.rowRange[cell]
                          : Dir == 1 ? geometry.colRange[cell]
                          : Dir == 2 ? geometry.diagRange[cell]
                                     : geometry.antiRange[cell];
  const RuleTables& rules = *tables;
  constexpr int step = DIR_STEP[Dir];
  constexpr int shift = NIBBLE_BITS * Dir;
  constexpr int dirBit = 1 << Dir;
  BoardBase& b = board;
  const bool learned = tables->learned, handScores = tables->handScores, pairs = tables->learnedPairs;
  const bool net = tables->net;
  const int16_t(*const byPatterns)[65536][2] = tables->learnedByPatterns;
  const int16_t(*const joint)[JOINT_CLASSES][JOINT_CLASSES] = tables->learnedJoint;
  const uint64_t word = lineWord<Dir>(cell);
  for (int t = range.first; t <= range.last; t += step) {
    const uint32_t code = static_cast<uint32_t>(word >> (2 * position<Dir>(t))) & WINDOW_MASK;
    // Every occupied cell holds zeros and keeps them; only the changed cell
    // itself moves between occupied and empty.
    if ((code & LINE_CENTRE_BITS) && t != cell) continue;
    const uint32_t e = rules.linePacked(code);
    CellInfo& info = b.cellInfo[t];
    if (!Full) {
      // The light update keeps the patterns alone and leaves the entries as
      // the rooms are, describing the position before the light move.
      if (undo && t != cell) {
        if (packedPattern(e, 0) == ((info.patterns[0] >> shift) & NIBBLE_MASK) &&
            packedPattern(e, 1) == ((info.patterns[1] >> shift) & NIBBLE_MASK))
          continue;
        undo->cells[undo->count] = t;
        undo->info[undo->count++] = info;
      }
      for (int k = 0; k < 2; k++) {
        const int n = packedPattern(e, k);
        const int o = (info.patterns[k] >> shift) & NIBBLE_MASK;
        if (n == o) continue;
        if (kindByPattern[o] >= 0) removeFromSet(kindByPattern[o], k, t, dirBit, false);
        info.patterns[k] = (info.patterns[k] & ~(NIBBLE_MASK << shift)) | n << shift;
        if (kindByPattern[n] >= 0) addToSet(kindByPattern[n], k, t, dirBit, false);
      }
      continue;
    }
    const uint32_t was = info.entries[Dir];
    if (e == was) continue;
    // A make keeps the record as it was; the cell itself is kept before the
    // four directions run, and every other cell lies on one line only.
    if (undo && t != cell) {
      undo->cells[undo->count] = t;
      undo->info[undo->count++] = info;
    }
    info.entries[Dir] = static_cast<uint16_t>(e);
    for (int k = 0; k < 2; k++) {
      const int n = packedPattern(e, k);
      const int o = packedPattern(was, k);
      const int r = packedRoom(e, k);
      const int q = packedRoom(was, k);
      if (n == o && r == q) continue;
      if (n != o && kindByPattern[o] >= 0) removeFromSet(kindByPattern[o], k, t, dirBit, true);
      info.roomSum[k] = static_cast<int16_t>(info.roomSum[k] + r - q);
      if (n != o) {
        const int old = info.patterns[k];
        info.patterns[k] = (old & ~(NIBBLE_MASK << shift)) | n << shift;
        if (kindByPattern[n] >= 0) addToSet(kindByPattern[n], k, t, dirBit, true);
        if (learned && b.cells[t] == EMPTY) {
          const int16_t* before = byPatterns[k][old & 0xFFFF];
          const int16_t* now = byPatterns[k][info.patterns[k] & 0xFFFF];
          b.learnedSum[k][0] += now[0] - before[0];
          b.learnedSum[k][1] += now[1] - before[1];
          if (net) moveNetSums(k, foldedCodeOf[old & 0xFFFF], foldedCodeOf[info.patterns[k] & 0xFFFF]);
          // The pair term moves with this colour's class; the other colour's
          // record is the one in place (old or already new), so that the
          // two colours' steps add up to the whole change.
          const int from = pairs ? jointClassOf[old & 0xFFFF] : 0;
          const int to = pairs ? jointClassOf[info.patterns[k] & 0xFFFF] : 0;
          if (from != to) {   // most pattern changes keep the coarse class
            const int other = jointClassOf[info.patterns[1 - k] & 0xFFFF];
            b.jointSum[k] += joint[k][to][other] - joint[k][from][other];
            b.jointSum[1 - k] += joint[1 - k][other][to] - joint[1 - k][other][from];
          }
        }
      }
      if (handScores) {
        const int score = cellScore(t, k);
        b.scoreSum[k] += score - info.score[k];
        info.score[k] = static_cast<int16_t>(score);
      }
    }
  }
}

template <bool Full>
void Position::updateAll(int cell, UndoRecord* undo) {
  updateDirection<Full, 0>(cell, undo);
  updateDirection<Full, 1>(cell, undo);
  updateDirection<Full, 2>(cell, undo);
  updateDirection<Full, 3>(cell, undo);
}

template <bool Full>
void Position::updateOne(int cell, int dir) {
  switch (dir) {
    case 0: updateDirection<Full, 0>(cell); break;
    case 1: updateDirection<Full, 1>(cell); break;
    case 2: updateDirection<Full, 2>(cell); break;
    default: updateDirection<Full, 3>(cell); break;
  }
}

// Writes (or with value 0 clears) the cell's two bits in its four line words.
// Each direction's update must read its own word after the change, and the
// four directions are independent, so all words are set first.
inline void Position::setLineBits(int cell, uint64_t value) {
  const int x = cellX(cell), y = cellY(cell);
  const int bitsRow = 2 * y + LINE_OFFSET, bitsCol = 2 * x + LINE_OFFSET;
  const int bitsDiag = 2 * geometry.diagPos[cell] + LINE_OFFSET, bitsAnti = 2 * geometry.antiPos[cell] + LINE_OFFSET;
  uint64_t& row = board.rowLines[x];
  uint64_t& col = board.colLines[y];
  uint64_t& diag = board.diagLines[x + y];
  uint64_t& anti = board.antiLines[x - y + lineSize];
  row = (row & ~(uint64_t{3} << bitsRow)) | value << bitsRow;
  col = (col & ~(uint64_t{3} << bitsCol)) | value << bitsCol;
  diag = (diag & ~(uint64_t{3} << bitsDiag)) | value << bitsDiag;
  anti = (anti & ~(uint64_t{3} << bitsAnti)) | value << bitsAnti;
}

int setKindOf(int pattern) { return kindByPattern[pattern & 15]; }

int Position::cellScore(int cell, int k) const {
  if (!tables->handScores) return 0;
  const CellInfo& info = board.cellInfo[cell];
  return tables->combo[k][info.patterns[k]] * geometry.cellWeight[info.roomSum[k]][cell] / 64;
}

uint64_t Position::lineWordOf(int cell, int dir) const {
  return const_cast<Position*>(this)->lineWordOf(cell, dir);
}

uint64_t& Position::lineWordOf(int cell, int dir) {
  const int x = cellX(cell), y = cellY(cell);
  switch (dir) {
    case 0: return board.rowLines[x];
    case 1: return board.colLines[y];
    case 2: return board.diagLines[x + y];
    default: return board.antiLines[x - y + lineSize];
  }
}

int Position::linePosition(int cell, int dir) const {
  switch (dir) {
    case 0: return cellY(cell);
    case 1: return cellX(cell);
    case 2: return geometry.diagPos[cell];
    default: return geometry.antiPos[cell];
  }
}

void Position::updateLine(int cell, int dir) { updateOne<true>(cell, dir); }
void Position::updateLineLight(int cell, int dir) { updateOne<false>(cell, dir); }

namespace {
// The board's sums never alias the tables: saying so lets the compiler drop
// its overlap checks from the vector loop.
inline void moveRow(int16_t* __restrict sum, const int16_t* __restrict was, const int16_t* __restrict now) {
  for (int h = 0; h < 2 * NET_WIDTH; h++) sum[h] = static_cast<int16_t>(sum[h] + now[h] - was[h]);
}
}  // namespace

// An empty cell's pattern of colour index k changed, and with it its folded
// code: both roles' network sums follow. (A code stays only where a change
// moves a value between 13 and the two values above it, which no board has.)
inline void Position::moveNetSums(int k, int from, int to) {
  if (from == to) return;
  moveRow(board.netSum[k], tables->netCell[k][from], tables->netCell[k][to]);
}

void Position::addLearned(int cell, int sign) {
  const CellInfo& info = board.cellInfo[cell];
  for (int k = 0; k < 2; k++) {
    const int16_t* values = tables->learnedByPatterns[k][info.patterns[k] & 0xFFFF];
    board.learnedSum[k][0] += sign * values[0];
    board.learnedSum[k][1] += sign * values[1];
    if (!tables->net) continue;
    const int16_t* row = tables->netCell[k][foldedCodeOf[info.patterns[k] & 0xFFFF]];
    for (int h = 0; h < 2 * NET_WIDTH; h++) board.netSum[k][h] = static_cast<int16_t>(board.netSum[k][h] + sign * row[h]);
  }
  if (!tables->learnedPairs) return;
  const int black = jointClassOf[info.patterns[0] & 0xFFFF], white = jointClassOf[info.patterns[1] & 0xFFFF];
  board.jointSum[0] += sign * tables->learnedJoint[0][black][white];
  board.jointSum[1] += sign * tables->learnedJoint[1][white][black];
}

// The learned sums count empty cells only: a stone or block placed takes its
// cell's values away before the update (which then skips the occupied cell),
// one removed gives the occupied cell's values back before the update moves
// them on to the empty cell's patterns.
void Position::setCellFull(int cell, int value) {
  if (tables->learned) addLearned(cell, value == EMPTY ? 1 : -1);
  setLineBits(cell, static_cast<uint64_t>(value));
  updateAll<true>(cell);
}

void Position::placeStoneLight(int cell, int colour) {
  board.cells[cell] = colour;
  setLineBits(cell, static_cast<uint64_t>(colour));
  updateAll<false>(cell);
  board.hashKey ^= zobristKeys[cell][colour - 1];
  board.stones[board.stoneCount++] = cell;
}

void Position::removeStoneLight(int cell) {
  const int colour = board.cells[cell];
  board.cells[cell] = EMPTY;
  setLineBits(cell, 0);
  updateAll<false>(cell);
  board.stoneCount--;
  board.hashKey ^= zobristKeys[cell][colour - 1];
}

// The search's and the four-solver's make: the cell's record, the set rows
// and summaries (and for a full update the sums) kept first, then the update
// keeps each other record it changes before it changes it.
template <bool Full>
void Position::makeKept(int cell, int colour, UndoRecord& undo) {
  BoardBase& b = board;
  undo.cells[0] = cell;
  undo.info[0] = b.cellInfo[cell];
  undo.count = 1;
  std::memcpy(undo.setSummary, b.setSummary, sizeof b.setSummary);
  std::memcpy(undo.setRows, b.setRows, sizeof b.setRows);
  if (Full) {
    std::memcpy(undo.scoreSum, b.scoreSum, sizeof b.scoreSum);
    std::memcpy(undo.learnedSum, b.learnedSum, sizeof b.learnedSum);
    std::memcpy(undo.jointSum, b.jointSum, sizeof b.jointSum);
    if (tables->net) std::memcpy(undo.netSum, b.netSum, sizeof b.netSum);
  }
  b.cells[cell] = colour;
  if (Full && tables->learned) addLearned(cell, -1);
  setLineBits(cell, static_cast<uint64_t>(colour));
  updateAll<Full>(cell, &undo);
  b.hashKey ^= zobristKeys[cell][colour - 1];
  b.stones[b.stoneCount++] = cell;
}

template <bool Full>
void Position::unmakeKept(int cell, const UndoRecord& undo) {
  BoardBase& b = board;
  const int colour = b.cells[cell];
  b.cells[cell] = EMPTY;
  setLineBits(cell, 0);
  b.hashKey ^= zobristKeys[cell][colour - 1];
  b.stoneCount--;
  for (int i = 0; i < undo.count; i++) b.cellInfo[undo.cells[i]] = undo.info[i];
  std::memcpy(b.setSummary, undo.setSummary, sizeof b.setSummary);
  std::memcpy(b.setRows, undo.setRows, sizeof b.setRows);
  if (Full) {
    std::memcpy(b.scoreSum, undo.scoreSum, sizeof b.scoreSum);
    std::memcpy(b.learnedSum, undo.learnedSum, sizeof b.learnedSum);
    std::memcpy(b.jointSum, undo.jointSum, sizeof b.jointSum);
    if (tables->net) std::memcpy(b.netSum, undo.netSum, sizeof b.netSum);
  }
}

void Position::makeStone(int cell, int colour, UndoRecord& undo) { makeKept<true>(cell, colour, undo); }
void Position::unmakeStone(int cell, const UndoRecord& undo) { unmakeKept<true>(cell, undo); }
void Position::makeStoneLight(int cell, int colour, UndoRecord& undo) { makeKept<false>(cell, colour, undo); }
void Position::unmakeStoneLight(int cell, const UndoRecord& undo) { unmakeKept<false>(cell, undo); }
