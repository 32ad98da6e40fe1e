// The board record under stress: line geometry and border marks on square and
// rectangular boards, exact restoration by make/unmake (full and light), and
// seeded random play, take-back and rebuild sequences checked after every step
// against a recomputation from the stones written here.
//
// The recomputation does not use the engine's line words, positions or update
// code: it keeps its own copy of the cell values, builds every 11-cell window
// by walking the board, and derives patterns, rooms, scores, the three set
// levels, the line words and the hash from that. Only the line table, the
// combination table and the cell weights are shared with the engine; those are
// checked on their own by the pattern table tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/pattern_tables.h"
#include "test_support.h"

namespace {

using testing_support::emptyBoard;
using testing_support::loadPosition;

// Line directions as the line positions run: row (position y), column
// (position x), x+y diagonal (position grows with y), x-y diagonal.
const int DX[4] = {0, 1, -1, 1};
const int DY[4] = {1, 0, 1, 1};

// The cell values the board should hold, kept apart from the engine.
struct Model {
  int n = 0, xs = 0, ys = 0;
  int cell[MAX_SIDE][MAX_SIDE] = {};
  std::vector<int> stones;   // the expected stone list

  void reset(int width, int height) {
    xs = width;
    ys = height;
    n = std::max(width, height);
    std::memset(cell, 0, sizeof cell);
    for (int x = 0; x < n; x++)
      for (int y = 0; y < n; y++)
        if (x >= xs || y >= ys) cell[x][y] = BLOCK;
    stones.clear();
  }
  bool inSquare(int x, int y) const { return x >= 0 && y >= 0 && x < n && y < n; }
  bool onBoard(int x, int y) const { return x >= 0 && y >= 0 && x < xs && y < ys; }
  int at(int c) const { return cell[cellX(c)][cellY(c)]; }
  void set(int c, int v) { cell[cellX(c)][cellY(c)] = v; }
};

// Everything derived from the stones, recomputed from scratch.
struct Derived {
  CellInfo info[CELL_SLOTS];
  int32_t setSummary[SET_KINDS][2];
  int32_t setRows[SET_KINDS][2][MAX_SIDE];
  int32_t setCells[MASKED_SET_KINDS][2][CELL_SLOTS];
  int32_t scoreSum[2];
  uint64_t hash;
  uint64_t rowLines[MAX_SIDE], colLines[MAX_SIDE], diagLines[2 * MAX_SIDE - 1], antiLines[2 * MAX_SIDE + 1];
};

uint64_t bordered(int length) { return uint64_t{0x300} | uint64_t{3} << (2 * length + 10); }

// Position of a cell on its x+y and x-y diagonal: how many cells of the same
// diagonal lie before it, in the order of growing y.
int diagPosition(int n, int x, int y) { return y - std::max(0, x + y - (n - 1)); }
int antiPosition(int x, int y) { return y - std::max(0, y - x); }

int setKind(int pattern) {
  switch (pattern) {
    case 12: return FiveCells;
    case 11: return OpenFourCells;
    case 10: case 9: return FourCells;
    case 8: case 7: return ThreeCells;
    default: return -1;
  }
}

int bits(int m) {
  int c = 0;
  for (; m; m &= m - 1) c++;
  return c;
}

void recompute(const Model& m, Derived& d) {
  std::memset(&d, 0, sizeof d);
  const int n = m.n;
  for (int i = 0; i < n; i++) d.rowLines[i] = d.colLines[i] = bordered(n);
  for (int s = 0; s <= 2 * n - 2; s++) d.diagLines[s] = bordered(std::min(s, 2 * n - 2 - s) + 1);
  for (int c = -(n - 1); c <= n - 1; c++) d.antiLines[c + n] = bordered(n - std::abs(c));
  for (int x = 0; x < n; x++)
    for (int y = 0; y < n; y++) {
      const uint64_t v = static_cast<uint64_t>(m.cell[x][y]);
      if (v == 0) continue;
      d.rowLines[x] |= v << (2 * y + 10);
      d.colLines[y] |= v << (2 * x + 10);
      d.diagLines[x + y] |= v << (2 * diagPosition(n, x, y) + 10);
      d.antiLines[x - y + n] |= v << (2 * antiPosition(x, y) + 10);
      d.hash ^= zobristKeys[cellIndex(x, y)][v - 1];
    }
  for (int x = 0; x < n; x++)
    for (int y = 0; y < n; y++) {
      const int c = cellIndex(x, y);
      CellInfo& info = d.info[c];
      for (int dir = 0; dir < 4; dir++) {
        int pattern[2], room[2];
        if (m.onBoard(x, y)) {
          // The 11 cells around (x, y): the mark 3 on the first cell past the
          // square's edge, zero beyond it.
          uint32_t code = 0;
          for (int side = -1; side <= 1; side += 2) {
            bool outside = false;
            for (int t = 1; t <= 5; t++) {
              const int u = x + side * t * DX[dir], w = y + side * t * DY[dir];
              int v;
              if (m.inSquare(u, w)) {
                v = m.cell[u][w];
              } else {
                v = outside ? 0 : 3;
                outside = true;
              }
              code |= static_cast<uint32_t>(v) << (2 * (5 + side * t));
            }
          }
          code |= static_cast<uint32_t>(m.cell[x][y]) << 10;
          const LineEntry e = TE.ruleTables->lineEntry(code);
          for (int k = 0; k < 2; k++) pattern[k] = e.pattern[k], room[k] = e.room[k];
        } else {
          // A block outside the extents keeps its empty-board values.
          int before = 0, after = 0;
          while (m.inSquare(x - (before + 1) * DX[dir], y - (before + 1) * DY[dir])) before++;
          while (m.inSquare(x + (after + 1) * DX[dir], y + (after + 1) * DY[dir])) after++;
          const int length = before + after + 1;
          const int p = (length >= 6 && before > 0 && after > 0) ? 1 : 0;
          const int r = std::min(before, 4) + std::min(after, 4);
          pattern[0] = pattern[1] = p;
          room[0] = room[1] = r;
        }
        for (int k = 0; k < 2; k++) {
          info.patterns[k] |= pattern[k] << (4 * dir);
          info.entries[dir] = static_cast<uint16_t>(info.entries[dir] | (pattern[k] | room[k] << 4) << (8 * k));
          info.roomSum[k] = static_cast<int16_t>(info.roomSum[k] + room[k]);
          const int kind = setKind(pattern[k]);
          if (kind >= 0) d.setCells[kind][k][c] |= 1 << dir;
        }
      }
      for (int k = 0; k < 2; k++) {
        info.score[k] = static_cast<int16_t>(
            TE.ruleTables->handScores ? TE.ruleTables->combo[k][info.patterns[k]] * TW.pos.geometry.cellWeight[info.roomSum[k]][c] / 64 : 0);
        d.scoreSum[k] += info.score[k];
        for (int kind = 0; kind < MASKED_SET_KINDS; kind++)
          if (d.setCells[kind][k][c]) d.setRows[kind][k][x] |= 1 << y;
        if (bits(d.setCells[FourCells][k][c] | d.setCells[ThreeCells][k][c]) >= 2)
          d.setRows[DoubleCells][k][x] |= 1 << y;
      }
    }
  for (int kind = 0; kind < SET_KINDS; kind++)
    for (int k = 0; k < 2; k++)
      for (int x = 0; x < MAX_SIDE; x++)
        if (d.setRows[kind][k][x]) d.setSummary[kind][k] |= 1 << x;
}

std::string cellName(int c) {
  std::ostringstream s;
  s << "(" << cellX(c) << "," << cellY(c) << ")";
  return s.str();
}

// Compares the board with the recomputation. The light flag limits the check
// to what the light update maintains (patterns and set kinds 0-3).
::testing::AssertionResult matches(const Derived& d, bool lightOnly = false) {
  const BoardBase& b = TW.pos.board;
  for (int c = 0; c < CELL_SLOTS; c++)
    for (int k = 0; k < 2; k++) {
      const CellInfo &have = b.cellInfo[c], &want = d.info[c];
      if (have.patterns[k] != want.patterns[k])
        return ::testing::AssertionFailure() << "patterns[" << k << "] of " << cellName(c) << ": 0x" << std::hex
                                             << have.patterns[k] << " want 0x" << want.patterns[k];
      // The full update skips a cell by its entries, so they must follow
      // every full update (a light move leaves them alone, see below).
      for (int dir = 0; !lightOnly && dir < 4; dir++)
        if (have.entries[dir] != want.entries[dir])
          return ::testing::AssertionFailure() << "entries[" << dir << "] of " << cellName(c) << ": 0x" << std::hex
                                               << have.entries[dir] << " want 0x" << want.entries[dir];
      if (!lightOnly && have.roomSum[k] != want.roomSum[k])
        return ::testing::AssertionFailure() << "roomSum[" << k << "] of " << cellName(c) << ": " << have.roomSum[k]
                                             << " want " << want.roomSum[k];
      if (!lightOnly && have.score[k] != want.score[k])
        return ::testing::AssertionFailure() << "score[" << k << "] of " << cellName(c) << ": " << have.score[k]
                                             << " want " << want.score[k];
      for (int kind = 0; kind < MASKED_SET_KINDS; kind++)
        if (b.setMask(kind, k, c) != d.setCells[kind][k][c])
          return ::testing::AssertionFailure() << "setCells[" << kind << "][" << k << "] of " << cellName(c) << ": "
                                               << b.setMask(kind, k, c) << " want " << d.setCells[kind][k][c];
    }
  const int kinds = lightOnly ? MASKED_SET_KINDS : SET_KINDS;
  for (int kind = 0; kind < kinds; kind++)
    for (int k = 0; k < 2; k++) {
      if (b.setSummary[kind][k] != d.setSummary[kind][k])
        return ::testing::AssertionFailure() << "setSummary[" << kind << "][" << k << "]: 0x" << std::hex
                                             << b.setSummary[kind][k] << " want 0x" << d.setSummary[kind][k];
      for (int x = 0; x < MAX_SIDE; x++)
        if (b.setRows[kind][k][x] != d.setRows[kind][k][x])
          return ::testing::AssertionFailure() << "setRows[" << kind << "][" << k << "][" << x << "]: 0x" << std::hex
                                               << b.setRows[kind][k][x] << " want 0x" << d.setRows[kind][k][x];
    }
  if (!lightOnly && (b.scoreSum[0] != d.scoreSum[0] || b.scoreSum[1] != d.scoreSum[1]))
    return ::testing::AssertionFailure() << "scoreSum " << b.scoreSum[0] << "," << b.scoreSum[1] << " want "
                                         << d.scoreSum[0] << "," << d.scoreSum[1];
  if (b.hashKey != d.hash) return ::testing::AssertionFailure() << "hashKey differs from the XOR of the keys";
  auto sameWords = [](const uint64_t* have, const uint64_t* want, int count, const char* name)
      -> ::testing::AssertionResult {
    for (int i = 0; i < count; i++)
      if (have[i] != want[i])
        return ::testing::AssertionFailure() << name << "[" << i << "] = 0x" << std::hex << have[i] << " want 0x"
                                             << want[i];
    return ::testing::AssertionSuccess();
  };
  if (auto r = sameWords(b.rowLines, d.rowLines, MAX_SIDE, "rowLines"); !r) return r;
  if (auto r = sameWords(b.colLines, d.colLines, MAX_SIDE, "colLines"); !r) return r;
  if (auto r = sameWords(b.diagLines, d.diagLines, 2 * MAX_SIDE - 1, "diagLines"); !r) return r;
  if (auto r = sameWords(b.antiLines, d.antiLines, 2 * MAX_SIDE + 1, "antiLines"); !r) return r;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult cellsAndStones(const Model& m) {
  for (int c = 0; c < CELL_SLOTS; c++) {
    const int want = (cellX(c) < m.n && cellY(c) < m.n) ? m.at(c) : 0;
    if (TW.pos.board.cells[c] != want)
      return ::testing::AssertionFailure() << "cells" << cellName(c) << " = " << TW.pos.board.cells[c] << " want " << want;
  }
  if (TW.pos.board.stoneCount != static_cast<int>(m.stones.size()))
    return ::testing::AssertionFailure() << "stoneCount " << TW.pos.board.stoneCount << " want " << m.stones.size();
  for (size_t i = 0; i < m.stones.size(); i++)
    if (TW.pos.board.stones[i] != m.stones[i])
      return ::testing::AssertionFailure() << "stones[" << i << "] = " << cellName(TW.pos.board.stones[i]) << " want "
                                           << cellName(m.stones[i]);
  return ::testing::AssertionSuccess();
}

// Every field of the record, the stone list only up to its count (the slot
// past the end keeps whatever was last removed).
::testing::AssertionResult sameRecord(const BoardBase& before) {
  const size_t head = offsetof(BoardBase, stones);
  const auto* a = reinterpret_cast<const unsigned char*>(&TW.pos.board);
  const auto* b = reinterpret_cast<const unsigned char*>(&before);
  for (size_t i = 0; i < head; i++)
    if (a[i] != b[i]) {
      std::string field = "cellInfo";
      if (i >= offsetof(BoardBase, setSummary)) field = "setSummary";
      if (i >= offsetof(BoardBase, setRows)) field = "setRows";
      if (i >= offsetof(BoardBase, scoreSum)) field = "scoreSum";
      if (i >= offsetof(BoardBase, hashKey)) field = "hashKey";
      if (i >= offsetof(BoardBase, cells)) field = "cells";
      if (i >= offsetof(BoardBase, rowLines)) field = "line words";
      return ::testing::AssertionFailure() << "record differs at byte " << i << " (" << field << ")";
    }
  if (TW.pos.board.stoneCount != before.stoneCount || TW.pos.board.iterationDepth != before.iterationDepth)
    return ::testing::AssertionFailure() << "stoneCount/iterationDepth differ";
  for (int i = 0; i < TW.pos.board.stoneCount; i++)
    if (TW.pos.board.stones[i] != before.stones[i]) return ::testing::AssertionFailure() << "stones[" << i << "] differs";
  return ::testing::AssertionSuccess();
}

// During a light move: what the light update leaves alone is as it was.
::testing::AssertionResult untouchedByLight(const BoardBase& before) {
  for (int c = 0; c < CELL_SLOTS; c++)
    for (int k = 0; k < 2; k++) {
      const CellInfo &a = TW.pos.board.cellInfo[c], &b = before.cellInfo[c];
      if (std::memcmp(a.entries, b.entries, sizeof a.entries) != 0 || a.roomSum[k] != b.roomSum[k] ||
          a.score[k] != b.score[k])
        return ::testing::AssertionFailure() << "light move changed entries, rooms or score of " << cellName(c);
    }
  if (std::memcmp(TW.pos.board.scoreSum, before.scoreSum, sizeof TW.pos.board.scoreSum) != 0)
    return ::testing::AssertionFailure() << "light move changed scoreSum";
  if (std::memcmp(TW.pos.board.setRows[DoubleCells], before.setRows[DoubleCells], sizeof TW.pos.board.setRows[DoubleCells]) != 0 ||
      std::memcmp(TW.pos.board.setSummary[DoubleCells], before.setSummary[DoubleCells],
                  sizeof TW.pos.board.setSummary[DoubleCells]) != 0)
    return ::testing::AssertionFailure() << "light move changed the double set";
  return ::testing::AssertionSuccess();
}

Derived derived;
BoardBase snapshot;
BoardBase lightSnapshot;

// A random empty cell of the board, near an existing stone most of the time so
// that lines fill up into threes, fours, fives and overlines.
int pickEmpty(const Model& m, std::mt19937& rng) {
  std::vector<int> occupied;
  for (int x = 0; x < m.xs; x++)
    for (int y = 0; y < m.ys; y++)
      if (m.cell[x][y] == BLACK || m.cell[x][y] == WHITE) occupied.push_back(cellIndex(x, y));
  if (!occupied.empty() && rng() % 10 < 8) {
    for (int tries = 0; tries < 20; tries++) {
      const int c = occupied[rng() % occupied.size()];
      const int x = cellX(c) + static_cast<int>(rng() % 5) - 2, y = cellY(c) + static_cast<int>(rng() % 5) - 2;
      if (m.onBoard(x, y) && m.cell[x][y] == EMPTY) return cellIndex(x, y);
    }
  }
  std::vector<int> empty;
  for (int x = 0; x < m.xs; x++)
    for (int y = 0; y < m.ys; y++)
      if (m.cell[x][y] == EMPTY) empty.push_back(cellIndex(x, y));
  return empty.empty() ? NO_CELL : empty[rng() % empty.size()];
}

int occupiedCount(const Model& m) {
  int count = 0;
  for (int x = 0; x < m.xs; x++)
    for (int y = 0; y < m.ys; y++) count += m.cell[x][y] != EMPTY;
  return count;
}

// Pattern values met so far (bit v for value v), to show that the random
// play reached fours, fives and overlines at all.
int seenPatterns = 0;

void tally(const Derived& d) {
  for (const CellInfo& info : d.info)
    for (int k = 0; k < 2; k++)
      for (int dir = 0; dir < 4; dir++) seenPatterns |= 1 << ((info.patterns[k] >> (4 * dir)) & 15);
}

#define CHECK_BOARD(model, where)                                         \
  do {                                                                    \
    recompute(model, derived);                                            \
    tally(derived);                                                       \
    ASSERT_TRUE(matches(derived)) << where;                               \
    ASSERT_TRUE(cellsAndStones(model)) << where;                          \
    ASSERT_TRUE(TW.pos.boardIsConsistent()) << where;                            \
  } while (0)

// One to four light moves on top of the position, each made at random by
// the updating pair (placeStoneLight, removeStoneLight) or the copying one
// (makeStoneLight, unmakeStoneLight), mixed as the four-solver and the Renju
// test nest them; checked at every depth, then unmade, each unmake giving the
// record before its make back bit for bit.
UndoRecord lightUndo[4];
BoardBase lightSnapshots[4];

void lightSequence(Model& m, std::mt19937& rng, const std::string& where) {
  lightSnapshot = TW.pos.board;
  std::vector<int> made;
  std::vector<bool> copied;
  const int depth = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < depth; i++) {
    const int c = pickEmpty(m, rng);
    if (c == NO_CELL) break;
    const int colour = rng() % 2 ? BLACK : WHITE;
    const bool copy = rng() % 2 == 0;
    lightSnapshots[i] = TW.pos.board;
    if (copy) TW.pos.makeStoneLight(c, colour, lightUndo[i]);
    else TW.pos.placeStoneLight(c, colour);
    m.set(c, colour);
    m.stones.push_back(c);
    made.push_back(c);
    copied.push_back(copy);
    recompute(m, derived);
    ASSERT_TRUE(matches(derived, true)) << where << " light move " << cellName(c) << (copy ? " (copying)" : "");
    ASSERT_TRUE(untouchedByLight(lightSnapshot)) << where << " light move " << cellName(c);
  }
  for (int i = static_cast<int>(made.size()) - 1; i >= 0; i--) {
    if (copied[i]) TW.pos.unmakeStoneLight(made[i], lightUndo[i]);
    else TW.pos.removeStoneLight(made[i]);
    m.set(made[i], EMPTY);
    m.stones.pop_back();
    ASSERT_TRUE(sameRecord(lightSnapshots[i])) << where << " light unmake " << cellName(made[i])
                                               << (copied[i] ? " (copying)" : "");
  }
  ASSERT_TRUE(sameRecord(lightSnapshot)) << where << " after light unmake";
}

// The search's make and unmake: up to four stones deep, each checked against
// the recomputation, with a light sequence or a full round trip on top now and
// then; unmaking them one by one must give each earlier record back bit for bit.
UndoRecord undoStack[4];
BoardBase searchSnapshots[4];

void searchSequence(Model& m, std::mt19937& rng, const std::string& where) {
  std::vector<int> made;
  const int depth = 1 + static_cast<int>(rng() % 4);
  for (int i = 0; i < depth; i++) {
    const int c = pickEmpty(m, rng);
    if (c == NO_CELL) break;
    const int colour = rng() % 2 ? BLACK : WHITE;
    searchSnapshots[i] = TW.pos.board;
    TW.pos.makeStone(c, colour, undoStack[i]);
    m.set(c, colour);
    m.stones.push_back(c);
    made.push_back(c);
    recompute(m, derived);
    ASSERT_TRUE(matches(derived)) << where << " search make " << cellName(c);
    ASSERT_TRUE(TW.pos.boardIsConsistent()) << where << " search make " << cellName(c);
    if (rng() % 3 == 0) {
      lightSequence(m, rng, where + " on a search make");
      if (::testing::Test::HasFatalFailure()) return;
    }
    const int other = pickEmpty(m, rng);
    if (other != NO_CELL && rng() % 3 == 0) {
      TW.pos.placeStone(other, colour ^ 3);
      TW.pos.removeStone(other);
    }
  }
  for (int i = static_cast<int>(made.size()) - 1; i >= 0; i--) {
    TW.pos.unmakeStone(made[i], undoStack[i]);
    m.set(made[i], EMPTY);
    m.stones.pop_back();
    ASSERT_TRUE(sameRecord(searchSnapshots[i])) << where << " search unmake " << cellName(made[i]);
  }
}

// Random placeStone / removeStone (last in, first out, so the stone list stays
// in order), light sequences, make/unmake round trips and the search's make
// and unmake.
void primitiveStress(int rule, int width, int height, uint32_t seed, int steps) {
  emptyBoard(rule, width, height);
  Model m;
  m.reset(width, height);
  std::mt19937 rng(seed), searchRng(seed + 7);
  std::vector<int> placed;
  CHECK_BOARD(m, "empty board");
  const int capacity = width * height;
  for (int step = 0; step < steps; step++) {
    std::ostringstream where;
    where << "rule " << rule << " board " << width << "x" << height << " step " << step;
    const int r = static_cast<int>(rng() % 100);
    const bool crowded = occupiedCount(m) * 2 > capacity;
    if (!placed.empty() && (r < 35 || crowded)) {
      const int c = placed.back();
      placed.pop_back();
      if (m.at(c) != BLOCK) m.stones.pop_back();
      TW.pos.removeStone(c);
      m.set(c, EMPTY);
    } else if (r < 45) {
      lightSequence(m, rng, where.str());
      if (::testing::Test::HasFatalFailure()) return;
    } else if (r < 55) {
      // Make and unmake of one stone restores every field.
      const int c = pickEmpty(m, rng);
      if (c == NO_CELL) continue;
      snapshot = TW.pos.board;
      const int v = 1 + static_cast<int>(rng() % 3);
      TW.pos.placeStone(c, v);
      TW.pos.removeStone(c);
      ASSERT_TRUE(sameRecord(snapshot)) << where.str() << " make/unmake " << cellName(c) << " value " << v;
      searchSequence(m, searchRng, where.str());
      if (::testing::Test::HasFatalFailure()) return;
    } else {
      const int c = pickEmpty(m, rng);
      if (c == NO_CELL) continue;
      const int roll = static_cast<int>(rng() % 20);
      const int v = roll < 9 ? BLACK : roll < 18 ? WHITE : BLOCK;
      TW.pos.placeStone(c, v);
      m.set(c, v);
      if (v != BLOCK) m.stones.push_back(c);
      placed.push_back(c);
    }
    CHECK_BOARD(m, where.str());
  }
}

// The board commands with the game record: moves of both kinds (also refused
// ones), passes, blocks, take-backs, rebuilds and restarts.
void commandStress(int rule, int width, int height, uint32_t seed, int steps) {
  emptyBoard(rule, width, height);
  Model m;
  m.reset(width, height);
  std::mt19937 rng(seed);
  std::vector<RecordEntry> record;
  std::vector<int> blocks;
  int unbuiltSteps = 0;   // > 0: restarted without a board, moves only recorded
  const int capacity = width * height;

  auto replay = [&]() {
    m.reset(width, height);
    for (int c : blocks) m.set(c, BLOCK);
    for (const RecordEntry& e : record) {
      m.set(cellIndex(e.x, e.y), e.colour);
      m.stones.push_back(cellIndex(e.x, e.y));
    }
  };

  for (int step = 0; step < steps; step++) {
    std::ostringstream where;
    where << "rule " << rule << " board " << width << "x" << height << " step " << step;
    const int r = static_cast<int>(rng() % 100);
    const bool crowded = occupiedCount(m) * 2 > capacity;
    const bool built = unbuiltSteps == 0;
    if (!built && --unbuiltSteps == 0) {
      TW.pos.ensureBuilt(TE.rule);
      ASSERT_EQ(TW.pos.builtRule, rule);
    } else if (r < (crowded ? 10 : 50)) {
      const int c = pickEmpty(m, rng);
      if (c == NO_CELL) continue;
      const int colour = static_cast<int>(record.size() % 2) + 1;
      if (r % 2) TW.pos.playOwnMove(cellX(c), cellY(c), TE.rule);
      else TW.pos.playOpponentMove(cellX(c), cellY(c), TE.rule);
      record.push_back(RecordEntry{cellX(c), cellY(c), colour});
      m.set(c, colour);
      m.stones.push_back(c);
    } else if (r < 55 && built) {
      // Refused moves: an occupied cell or a coordinate past the extents.
      snapshot = TW.pos.board;
      const int before = TW.pos.recordCount;
      std::vector<int> taken;
      for (int x = 0; x < width; x++)
        for (int y = 0; y < height; y++)
          if (m.cell[x][y] != EMPTY) taken.push_back(cellIndex(x, y));
      int x, y;
      if (!taken.empty() && rng() % 3) {
        const int c = taken[rng() % taken.size()];
        x = cellX(c), y = cellY(c);
      } else if (rng() % 2) {
        x = rng() % 2 ? width : static_cast<int>(rng() % width);
        y = x == width ? static_cast<int>(rng() % height) : height;
      } else {
        x = static_cast<int>(rng() % width), y = -1;
      }
      switch (rng() % 3) {
        case 0: TW.pos.playOwnMove(x, y, TE.rule); break;
        case 1: TW.pos.playOpponentMove(x, y, TE.rule); break;
        default: TW.pos.placeBlock(x, y, TE.rule); break;
      }
      ASSERT_EQ(TW.pos.recordCount, before) << where.str();
      ASSERT_TRUE(sameRecord(snapshot)) << where.str() << " refused move " << x << "," << y;
    } else if (r < 58) {
      snapshot = TW.pos.board;
      TW.pos.playOwnMove(-1, static_cast<int>(rng() % height), TE.rule);
      ASSERT_TRUE(sameRecord(snapshot)) << where.str() << " pass";
    } else if (r < 64 && built) {
      const int c = pickEmpty(m, rng);
      if (c == NO_CELL) continue;
      TW.pos.placeBlock(cellX(c), cellY(c), TE.rule);
      blocks.push_back(c);
      m.set(c, BLOCK);
    } else if (r < 84) {
      if (record.empty()) continue;
      const RecordEntry e = record.back();
      ASSERT_EQ(TW.pos.takeBackMove(e.x, e.y, TE.rule), 0) << where.str();
      record.pop_back();
      m.set(cellIndex(e.x, e.y), EMPTY);
      m.stones.pop_back();
    } else if (r < 87) {
      if (blocks.empty()) continue;
      const size_t i = rng() % blocks.size();
      const int c = blocks[i];
      ASSERT_EQ(TW.pos.takeBackMove(cellX(c), cellY(c), TE.rule), 0) << where.str();
      blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(i));
      m.set(c, EMPTY);
    } else if (r < 89 && built) {
      // Nothing to take back on an empty cell.
      const int c = pickEmpty(m, rng);
      if (c == NO_CELL) continue;
      snapshot = TW.pos.board;
      ASSERT_EQ(TW.pos.takeBackMove(cellX(c), cellY(c), TE.rule), 2) << where.str();
      ASSERT_TRUE(sameRecord(snapshot)) << where.str();
    } else if (r < 95 && built) {
      TW.pos.rebuild(TE.rule);
    } else if (r < 97 && built) {
      TW.pos.restartGame(TE.rule);
      record.clear();
      blocks.clear();
      m.reset(width, height);
      // Outside Renju a restarted game has no board until the next build.
      if (rule != RULE_RENJU) {
        ASSERT_EQ(TW.pos.builtRule, -1);
        unbuiltSteps = 1 + static_cast<int>(rng() % 12);
      }
    } else {
      continue;
    }
    ASSERT_EQ(TW.pos.recordCount, static_cast<int>(record.size())) << where.str();
    for (size_t i = 0; i < record.size(); i++) {
      ASSERT_EQ(TW.pos.gameRecord[i].x, record[i].x) << where.str();
      ASSERT_EQ(TW.pos.gameRecord[i].y, record[i].y) << where.str();
      ASSERT_EQ(TW.pos.gameRecord[i].colour, record[i].colour) << where.str();
    }
    if (unbuiltSteps == 0) {
      replay();
      CHECK_BOARD(m, where.str());
    }
  }
}

struct Size {
  int width, height;
};
const Size stressSizes[] = {{15, 15}, {22, 22}, {15, 10}, {10, 15}};

// ---------------------------------------------------------------------------

// Line positions, lengths, border marks, blocks and update ranges of empty
// boards, square and rectangular.
TEST(BoardGeometry, LinesBordersAndRanges) {
  const Size sizes[] = {{15, 15}, {20, 20}, {22, 22}, {15, 10}, {10, 15}, {20, 15}, {6, 6}};
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD}) {
    for (const Size& s : sizes) {
      SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " rule " + std::to_string(rule));
      emptyBoard(rule, s.width, s.height);
      const int n = std::max(s.width, s.height);
      ASSERT_EQ(TW.pos.lineSize, n);
      for (int x = 0; x < n; x++)
        for (int y = 0; y < n; y++) {
          ASSERT_EQ(TW.pos.geometry.diagPos[cellIndex(x, y)], diagPosition(n, x, y)) << x << "," << y;
          ASSERT_EQ(TW.pos.geometry.antiPos[cellIndex(x, y)], antiPosition(x, y)) << x << "," << y;
        }
      // Each diagonal's positions run 0 ... length-1 without a gap.
      for (int d = 0; d <= 2 * n - 2; d++) {
        std::vector<int> seen;
        for (int x = 0; x < n; x++)
          if (d - x >= 0 && d - x < n) seen.push_back(TW.pos.geometry.diagPos[cellIndex(x, d - x)]);
        std::sort(seen.begin(), seen.end());
        ASSERT_EQ(static_cast<int>(seen.size()), std::min(d, 2 * n - 2 - d) + 1);
        for (size_t i = 0; i < seen.size(); i++) ASSERT_EQ(seen[i], static_cast<int>(i)) << "diagonal " << d;
      }
      for (int c = -(n - 1); c <= n - 1; c++) {
        std::vector<int> seen;
        for (int x = 0; x < n; x++)
          if (x - c >= 0 && x - c < n) seen.push_back(TW.pos.geometry.antiPos[cellIndex(x, x - c)]);
        std::sort(seen.begin(), seen.end());
        ASSERT_EQ(static_cast<int>(seen.size()), n - std::abs(c));
        for (size_t i = 0; i < seen.size(); i++) ASSERT_EQ(seen[i], static_cast<int>(i)) << "anti-diagonal " << c;
      }
      // Border marks at -1 and L of every line, blocks beyond the extents,
      // their keys in the hash, no stones in the list.
      Model m;
      m.reset(s.width, s.height);
      CHECK_BOARD(m, "empty board");
      EXPECT_EQ(TW.pos.board.rowLines[0] & 0x3FF, 0x300u);
      EXPECT_EQ(TW.pos.board.antiLines[0], 0u);
      EXPECT_EQ(TW.pos.board.antiLines[2 * n], 0u);
      if (s.width != s.height) EXPECT_NE(TW.pos.board.hashKey, 0u);
      else EXPECT_EQ(TW.pos.board.hashKey, 0u);
      // Update ranges: the cells within the radius, clipped to the extents.
      const int r = TW.pos.updateRadius;
      ASSERT_EQ(r, rule == RULE_FREESTYLE ? 4 : 5);
      const CellRange* ranges[4] = {TW.pos.geometry.rowRange, TW.pos.geometry.colRange, TW.pos.geometry.diagRange, TW.pos.geometry.antiRange};
      for (int x = 0; x < n; x++)
        for (int y = 0; y < n; y++)
          for (int dir = 0; dir < 4; dir++) {
            int first = CELL_SLOTS, last = 0;
            for (int t = -r; t <= r; t++) {
              const int u = x + t * DX[dir], v = y + t * DY[dir];
              if (!m.onBoard(u, v)) continue;
              first = std::min(first, cellIndex(u, v));
              last = std::max(last, cellIndex(u, v));
            }
            const CellRange& have = ranges[dir][cellIndex(x, y)];
            ASSERT_EQ(have.first, first) << "dir " << dir << " cell " << x << "," << y;
            ASSERT_EQ(have.last, last) << "dir " << dir << " cell " << x << "," << y;
          }
    }
  }
  // With yExtent 15 a stone at (x, 14) reaches the row cells (x, 10 ... 14)
  // under Freestyle and (x, 9 ... 14) under Standard, not past the edge.
  emptyBoard(RULE_FREESTYLE, 20, 15);
  EXPECT_EQ(TW.pos.geometry.rowRange[cellIndex(3, 14)].first, cellIndex(3, 10));
  EXPECT_EQ(TW.pos.geometry.rowRange[cellIndex(3, 14)].last, cellIndex(3, 14));
  emptyBoard(RULE_STANDARD, 20, 15);
  EXPECT_EQ(TW.pos.geometry.rowRange[cellIndex(3, 14)].first, cellIndex(3, 9));
  EXPECT_EQ(TW.pos.geometry.rowRange[cellIndex(3, 14)].last, cellIndex(3, 14));
  // 15 wide and 10 high: every cell with y >= 10 is a block, in the hash, not
  // in the stone list.
  emptyBoard(RULE_FREESTYLE, 15, 10);
  uint64_t hash = 0;
  for (int x = 0; x < 15; x++)
    for (int y = 0; y < 15; y++) {
      EXPECT_EQ(TW.pos.board.cells[cellIndex(x, y)], y >= 10 ? BLOCK : EMPTY);
      if (y >= 10) hash ^= zobristKeys[cellIndex(x, y)][BLOCK - 1];
    }
  EXPECT_EQ(TW.pos.board.hashKey, hash);
  EXPECT_EQ(TW.pos.board.stoneCount, 0);
}

// A cell with a four in one direction and an open three in another, and what
// happens to its sets when the lines around it change.
TEST(BoardSets, FourAndThreeMembership) {
  // (7,3) and (9,7) go on last so that they can be taken off again in order.
  loadPosition(RULE_FREESTYLE, {
                                   "...............",
                                   "...............",
                                   "...............",
                                   "...............",
                                   "...............",
                                   "...............",
                                   "...............",
                                   "....X.X........",
                                   ".......X.......",
                                   "...............",
                                   "...............",
                                   "...............",
                                   "...............",
                                   "...............",
                                   "...............",
                               });
  TW.pos.placeStone(cellIndex(9, 7), BLACK);
  TW.pos.placeStone(cellIndex(7, 3), BLACK);
  const int c = cellIndex(7, 7);
  const int x = 7, y = 7;
  auto inRow = [&](int kind, int k) { return (TW.pos.board.setRows[kind][k][x] >> y) & 1; };
  // Row: XX_X + c is XX_XX (9); column: c on top of two is an open three (8).
  EXPECT_EQ(TW.pos.board.cellInfo[c].patterns[0] & 0xFF, 9 | 8 << 4);
  EXPECT_EQ(TW.pos.board.setMask(FourCells, 0, c), 1);
  EXPECT_EQ(TW.pos.board.setMask(ThreeCells, 0, c), 2);
  EXPECT_TRUE(inRow(FourCells, 0));
  EXPECT_TRUE(inRow(ThreeCells, 0));
  EXPECT_TRUE(inRow(DoubleCells, 0));
  EXPECT_TRUE((TW.pos.board.setSummary[DoubleCells][0] >> x) & 1);
  EXPECT_FALSE(inRow(FourCells, 1));

  // Placing a stone on c takes it out of every set of both colours and zeroes
  // its score; taking it back restores the record exactly.
  snapshot = TW.pos.board;
  TW.pos.placeStone(c, WHITE);
  for (int kind = 0; kind < SET_KINDS; kind++)
    for (int k = 0; k < 2; k++) EXPECT_FALSE(inRow(kind, k)) << "kind " << kind;
  for (int kind = 0; kind < MASKED_SET_KINDS; kind++) EXPECT_EQ(TW.pos.board.setMask(kind, 0, c), 0);
  EXPECT_EQ(TW.pos.board.cellInfo[c].score[0], 0);
  EXPECT_EQ(TW.pos.board.cellInfo[c].score[1], 0);
  EXPECT_TRUE(TW.pos.boardIsConsistent());
  TW.pos.removeStone(c);
  EXPECT_TRUE(sameRecord(snapshot));

  // Without (7,3) the row becomes X_XX (7): c leaves the fours, is a three in
  // two directions and so stays a double.
  TW.pos.removeStone(cellIndex(7, 3));
  EXPECT_EQ(TW.pos.board.cellInfo[c].patterns[0] & 0xFF, 7 | 8 << 4);
  EXPECT_EQ(TW.pos.board.setMask(FourCells, 0, c), 0);
  EXPECT_EQ(TW.pos.board.setMask(ThreeCells, 0, c), 3);
  EXPECT_FALSE(inRow(FourCells, 0));
  EXPECT_TRUE(inRow(ThreeCells, 0));
  EXPECT_TRUE(inRow(DoubleCells, 0));
  EXPECT_TRUE(TW.pos.boardIsConsistent());
  // Without (9,7) as well the column is only a two: c is a single three.
  TW.pos.removeStone(cellIndex(9, 7));
  EXPECT_EQ(TW.pos.board.setMask(ThreeCells, 0, c), 1);
  EXPECT_FALSE(inRow(DoubleCells, 0));
  EXPECT_FALSE((TW.pos.board.setSummary[DoubleCells][0] >> x) & 1);
  EXPECT_TRUE(TW.pos.boardIsConsistent());
  // Back to the four, with the column still a two: a four alone, no double.
  TW.pos.placeStone(cellIndex(7, 3), BLACK);
  EXPECT_EQ(TW.pos.board.setMask(FourCells, 0, c), 1);
  EXPECT_EQ(TW.pos.board.setMask(ThreeCells, 0, c), 0);
  EXPECT_FALSE(inRow(ThreeCells, 0));
  EXPECT_FALSE(inRow(DoubleCells, 0));
  EXPECT_TRUE(TW.pos.boardIsConsistent());
}

void runStress(int rule, bool commands, uint32_t seed) {
  seenPatterns = 0;
  for (const Size& s : stressSizes) {
    if (commands) commandStress(rule, s.width, s.height, seed++, 1500);
    else primitiveStress(rule, s.width, s.height, seed++, 1500);
    if (::testing::Test::HasFatalFailure()) return;
  }
  // Every threat value turned up somewhere (overlines only where they count).
  for (int v = 7; v <= 12; v++) EXPECT_TRUE((seenPatterns >> v) & 1) << "value " << v << " never seen";
  EXPECT_EQ((seenPatterns >> 13) & 1, rule == RULE_FREESTYLE ? 0 : 1);
}

TEST(BoardStress, PrimitivesFreestyle) { runStress(RULE_FREESTYLE, false, 101); }
TEST(BoardStress, PrimitivesStandard) { runStress(RULE_STANDARD, false, 201); }
TEST(BoardStress, PrimitivesRenju) { runStress(RULE_RENJU, false, 301); }
TEST(BoardStress, CommandsFreestyle) { runStress(RULE_FREESTYLE, true, 401); }
TEST(BoardStress, CommandsStandard) { runStress(RULE_STANDARD, true, 501); }
TEST(BoardStress, CommandsRenju) { runStress(RULE_RENJU, true, 601); }

}  // namespace
