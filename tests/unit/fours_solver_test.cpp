// The continuous-four solver against positions with known answers and against
// a slow reference that searches the same question straight from the rules.
//
// The reference knows nothing of the engine's pattern tables or threat sets:
// it finds fives by walking the stones of its own copy of the board, and a
// four is any move after which the mover has a five cell. Under Renju it asks
// the engine's forbidden-point test whether Black may play a cell, with the
// engine board kept in step for that one question. The solver may miss wins
// (its candidate filters are heuristics), but every win it claims must be a
// real one.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::loadPosition;
using testing_support::setIterationDepth;

constexpr int SOLVER_DEPTH = 10;

// ---------------------------------------------------------------------------
// Reference: continuous fours from the rules.

constexpr int UNLIMITED = 1000;

struct RefMemo {
  int winAt = INT_MAX;  // smallest budget known to win
  int failAt = -1;      // largest budget known to fail
};

class FourReference {
 public:
  // Copies the engine board as loaded; `extended` also lets the attacker win
  // (free style only) by a double three when the defender has no four.
  explicit FourReference(bool extended = false) : extended_(extended) {
    rule_ = TW.pos.builtRule;
    width_ = TW.pos.xExtent;
    height_ = TW.pos.yExtent;
    std::mt19937_64 rng(0x5eed1234u);
    for (int x = 0; x < MAX_SIDE; x++)
      for (int y = 0; y < MAX_SIDE; y++) {
        cells_[x][y] = TW.pos.board.cells[cellIndex(x, y)];
        for (int k = 0; k < 3; k++) keys_[x][y][k] = rng();
      }
    key_ = 0;
    for (int x = 0; x < width_; x++)
      for (int y = 0; y < height_; y++)
        if (cells_[x][y] != EMPTY) key_ ^= keys_[x][y][cells_[x][y] - 1];
  }

  // 1: `attacker` to move forces five with at most `budget` fours; 0: it
  // cannot; -1: the node limit ran out before an answer.
  int wins(int attacker, int budget = UNLIMITED, long nodeLimit = 400000) {
    nodes_ = 0;
    nodeLimit_ = nodeLimit;
    overflow_ = false;
    memo_.clear();
    const bool won = attack(attacker, budget);
    if (overflow_) return -1;
    return won ? 1 : 0;
  }

  // Cells where `colour` completes a winning five at once.
  std::vector<int> fiveCells(int colour) const {
    std::vector<int> out;
    for (int x = 0; x < width_; x++)
      for (int y = 0; y < height_; y++)
        if (cells_[x][y] == EMPTY && makesFive(x, y, colour)) out.push_back(cellIndex(x, y));
    return out;
  }

  // Cells where `colour` makes a four (a move after which it has a five cell).
  std::vector<int> fourCells(int colour) {
    std::vector<int> out;
    for (int x = 0; x < width_; x++)
      for (int y = 0; y < height_; y++) {
        if (cells_[x][y] != EMPTY || makesFive(x, y, colour)) continue;
        if (!newFives(x, y, colour).empty()) out.push_back(cellIndex(x, y));
      }
    return out;
  }

  // A move of `colour` after which it has two five cells (a straight four, or
  // two fours at once); only meaningful while `colour` has no five cell.
  bool hasDoubleThreatMove(int colour) {
    for (int x = 0; x < width_; x++)
      for (int y = 0; y < height_; y++)
        if (cells_[x][y] == EMPTY && newFives(x, y, colour).size() >= 2) return true;
    return false;
  }

  bool hasFiveOnBoard() const {
    static const int dirs[4][2] = {{0, 1}, {1, 0}, {1, -1}, {1, 1}};
    for (int x = 0; x < width_; x++)
      for (int y = 0; y < height_; y++) {
        const int c = cells_[x][y];
        if (c != BLACK && c != WHITE) continue;
        for (const auto& d : dirs)
          if (1 + run(x, y, d[0], d[1], c) + run(x, y, -d[0], -d[1], c) >= 5) return true;
      }
    return false;
  }

 private:
  int at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return BLOCK;
    return cells_[x][y];
  }

  int run(int x, int y, int dx, int dy, int colour) const {
    int n = 0;
    for (x += dx, y += dy; at(x, y) == colour; x += dx, y += dy) n++;
    return n;
  }

  bool exactFor(int colour) const { return rule_ == RULE_STANDARD || (rule_ == RULE_RENJU && colour == BLACK); }

  bool fiveLength(int n, int colour) const { return exactFor(colour) ? n == 5 : n >= 5; }

  // A stone of `colour` on the empty (x, y) completes a winning five in the
  // line (dx, dy).
  bool fiveInLine(int x, int y, int dx, int dy, int colour) const {
    return fiveLength(1 + run(x, y, dx, dy, colour) + run(x, y, -dx, -dy, colour), colour);
  }

  bool makesFive(int x, int y, int colour) const {
    return fiveInLine(x, y, 0, 1, colour) || fiveInLine(x, y, 1, 0, colour) || fiveInLine(x, y, 1, -1, colour) ||
           fiveInLine(x, y, 1, 1, colour);
  }

  // With no five cell of `colour` on the board, its five cells after a stone
  // on (x, y) all lie on the four lines through (x, y). Counts them.
  std::vector<int> newFives(int x, int y, int colour) {
    static const int dirs[4][2] = {{0, 1}, {1, 0}, {1, -1}, {1, 1}};
    std::vector<int> out;
    cells_[x][y] = colour;
    for (const auto& d : dirs)
      for (int k = -4; k <= 4; k++) {
        const int u = x + k * d[0], v = y + k * d[1];
        if (k == 0 || at(u, v) != EMPTY) continue;
        if (fiveInLine(u, v, d[0], d[1], colour)) out.push_back(cellIndex(u, v));
      }
    cells_[x][y] = EMPTY;
    return out;
  }

  void place(int cell, int colour) {
    cells_[cellX(cell)][cellY(cell)] = colour;
    key_ ^= keys_[cellX(cell)][cellY(cell)][colour - 1];
    if (rule_ == RULE_RENJU) TW.pos.placeStone(cell, colour);
  }

  void remove(int cell) {
    const int colour = cells_[cellX(cell)][cellY(cell)];
    cells_[cellX(cell)][cellY(cell)] = EMPTY;
    key_ ^= keys_[cellX(cell)][cellY(cell)][colour - 1];
    if (rule_ == RULE_RENJU) TW.pos.removeStone(cell);
  }

  bool forbiddenFor(int colour, int cell) const {
    return rule_ == RULE_RENJU && colour == BLACK && TW.pos.isForbidden(cell) != 0;
  }

  // Free style: a move that makes open threes in two lines, each of which can
  // still become a straight four (two five cells on that line).
  bool doubleThree(int x, int y, int colour) {
    static const int dirs[4][2] = {{0, 1}, {1, 0}, {1, -1}, {1, 1}};
    cells_[x][y] = colour;
    int lines = 0;
    for (const auto& d : dirs) {
      bool three = false;
      for (int k = -4; k <= 4 && !three; k++) {
        const int u = x + k * d[0], v = y + k * d[1];
        if (k == 0 || at(u, v) != EMPTY) continue;
        cells_[u][v] = colour;
        int fives = 0;
        for (int j = -5; j <= 5; j++) {
          const int s = x + j * d[0], t = y + j * d[1];
          if (at(s, t) == EMPTY && fiveInLine(s, t, d[0], d[1], colour)) fives++;
        }
        cells_[u][v] = EMPTY;
        three = fives >= 2;
      }
      if (three) lines++;
    }
    cells_[x][y] = EMPTY;
    return lines >= 2;
  }

  bool attack(int attacker, int budget) {
    if (++nodes_ > nodeLimit_) {
      overflow_ = true;
      return false;
    }
    const int defender = attacker ^ 3;
    if (!fiveCells(attacker).empty()) return true;
    if (budget <= 0) return false;
    RefMemo& memo = memo_[key_ ^ static_cast<uint64_t>(attacker)];
    if (budget >= memo.winAt) return true;
    if (budget <= memo.failAt) return false;

    const std::vector<int> threats = fiveCells(defender);
    bool won = false;
    if (threats.size() <= 1) {
      std::vector<int> candidates;
      if (threats.size() == 1) {
        candidates = threats;  // the block must itself be a four
      } else {
        for (int x = 0; x < width_; x++)
          for (int y = 0; y < height_; y++)
            if (cells_[x][y] == EMPTY) candidates.push_back(cellIndex(x, y));
      }
      for (size_t i = 0; i < candidates.size() && !won && !overflow_; i++) {
        const int c = candidates[i];
        const std::vector<int> fives = newFives(cellX(c), cellY(c), attacker);
        if (fives.empty() || forbiddenFor(attacker, c)) continue;
        place(c, attacker);
        if (fives.size() >= 2 || forbiddenFor(defender, fives[0])) {
          won = true;
        } else {
          place(fives[0], defender);
          won = attack(attacker, budget - 1);
          remove(fives[0]);
        }
        remove(c);
      }
      if (!won && !overflow_ && extended_ && rule_ == RULE_FREESTYLE && threats.empty() && budget >= 2 &&
          fourCells(defender).empty()) {
        for (int x = 0; x < width_ && !won; x++)
          for (int y = 0; y < height_ && !won; y++)
            if (cells_[x][y] == EMPTY && doubleThree(x, y, attacker)) won = true;
      }
    }
    if (overflow_) return false;
    RefMemo& after = memo_[key_ ^ static_cast<uint64_t>(attacker)];
    if (won)
      after.winAt = std::min(after.winAt, budget);
    else
      after.failAt = std::max(after.failAt, budget);
    return won;
  }

  bool extended_;
  int rule_, width_, height_;
  int cells_[MAX_SIDE][MAX_SIDE];
  uint64_t keys_[MAX_SIDE][MAX_SIDE][3];
  uint64_t key_;
  long nodes_ = 0, nodeLimit_ = 0;
  bool overflow_ = false;
  std::unordered_map<uint64_t, RefMemo> memo_;
};

// ---------------------------------------------------------------------------
// Running the solver.

void prepareSearch() {
  TW.search.moveBudget = INT_MAX / 2;
  TW.search.startTime = clockMs();
  TW.search.stopSearch = 0;
  TE.stopRequested = 0;
  TW.search.nodeCount = 0;
  setIterationDepth(SOLVER_DEPTH);
}

int solve(int colour) {
  prepareSearch();
  return TW.solveThreats(SOLVER_DEPTH, colour);
}

std::string dump() {
  std::string s;
  for (int x = 0; x < TW.pos.xExtent; x++) {
    for (int y = 0; y < TW.pos.yExtent; y++) s += ".XO#"[TW.pos.board.cells[cellIndex(x, y)]];
    s += '\n';
  }
  return s;
}

using Diagram = std::vector<std::string>;

// Names the first field in which two board records differ.
std::string boardDifference(const BoardBase& a, const BoardBase& b) {
#define RUVAN_FIELD(f) \
  if (std::memcmp(&a.f, &b.f, sizeof a.f) != 0) return #f;
  RUVAN_FIELD(cellInfo)
  RUVAN_FIELD(setSummary)
  RUVAN_FIELD(setRows)
  RUVAN_FIELD(scoreSum)
  RUVAN_FIELD(hashKey)
  RUVAN_FIELD(cells)
  RUVAN_FIELD(rowLines)
  RUVAN_FIELD(colLines)
  RUVAN_FIELD(diagLines)
  RUVAN_FIELD(antiLines)
  RUVAN_FIELD(stoneCount)
  RUVAN_FIELD(iterationDepth)
  if (std::memcmp(a.stones, b.stones, sizeof(int32_t) * a.stoneCount) != 0) return "stones";
  if (std::memcmp(&a.stones, &b.stones, sizeof a.stones) != 0) return "stones beyond stoneCount";
#undef RUVAN_FIELD
  return "padding";
}

Diagram swapColours(Diagram rows) {
  for (std::string& row : rows)
    for (char& c : row) c = c == 'X' ? 'O' : c == 'O' ? 'X' : c;
  return rows;
}

// The stone list past stoneCount is scratch that every make writes and no
// unmake clears; everything else must match byte for byte.
bool sameBoard(const BoardBase& before, const BoardBase& after) {
  static BoardBase masked;
  masked = after;
  if (masked.stoneCount == before.stoneCount && masked.stoneCount >= 0 && masked.stoneCount <= MAX_CELLS)
    std::memcpy(masked.stones + masked.stoneCount, before.stones + before.stoneCount,
                sizeof(int32_t) * (MAX_CELLS - masked.stoneCount));
  return std::memcmp(&before, &masked, sizeof masked) == 0;
}

// Solves for `colour` and checks what every call must keep: the board is left
// exactly as found, the search was not stopped, the value is 0 or a win on the
// solver's scale, and a second call gives the same answer from the cache (the
// root's own entry, so the second call enters a single node).
int solveChecked(int colour) {
  prepareSearch();
  const BoardBase before = TW.pos.board;
  const int value = solve(colour);
  EXPECT_TRUE(sameBoard(before, TW.pos.board)) << "board changed by the solver: " << boardDifference(before, TW.pos.board) << "\n"
                                        << dump();
  EXPECT_EQ(0, TW.search.stopSearch);
  EXPECT_TRUE(value == 0 || (value > MATE_BAND && value <= FOUR_WIN)) << value;
  const int again = solve(colour);
  EXPECT_EQ(value, again) << "second call\n" << dump();
  EXPECT_EQ(1, TW.search.nodeCount) << "second call did not answer from the cache\n" << dump();
  return value;
}

// Fours the reference may use to confirm a claimed value 10,000,484 - n. The
// solver's n plies are n / 2 fours with their blocks, after which the attacker
// has a five cell (nothing more to play) or a straight four (one more four for
// the reference, which counts a move to two five cells as a winning four); a
// free-style shortcut taken at ply n needs at most two more moves.
int claimBudget(int value) { return (FOUR_WIN - value) / 2 + (TW.pos.builtRule == RULE_FREESTYLE ? 2 : 1); }

// Checks a claimed win against the reference; returns 1 confirmed, 0 refuted,
// -1 undecided (the reference ran out of nodes).
int confirmClaim(int colour, int value) {
  const int budget = claimBudget(value);
  FourReference pure;
  int verdict = pure.wins(colour, budget);
  if (verdict == 0 && TW.pos.builtRule == RULE_FREESTYLE) verdict = FourReference(true).wins(colour, budget);
  return verdict;
}

// A position with a known answer: the solver's value, and the reference's
// view (a claimed win must be real; where the answer is 0, the reference must
// not find any chain either).
void expectSolve(int rule, const Diagram& rows, int colour, int expected) {
  loadPosition(rule, rows);
  SCOPED_TRACE("rule " + std::to_string(rule) + ", colour " + std::to_string(colour) + "\n" + dump());
  EXPECT_EQ(expected, solveChecked(colour));
  if (expected > 0) {
    EXPECT_EQ(1, confirmClaim(colour, expected));
  } else {
    EXPECT_EQ(0, FourReference().wins(colour)) << "the known answer assumes no chain wins";
  }
}

// ---------------------------------------------------------------------------
// Known answers.
//
// Values: a five cell or a straight four for the side to move is 10,000,484;
// every four and its forced block cost two plies, so a chain of k fours that
// ends with a five cell or a straight four is 10,000,484 - 2k. A defender
// left without a legal block at ply c gives the attacker 10,000,482 - c.

// Black's five cell at (7,8).
const Diagram fiveCell = {
    "...............", "...............", "...............", "...............", "...............",
    "...............", "...............", "...#XXXX.......", "...............", "...............",
    "...............", "...............", "...............", "...............", "...............",
};

// Black's open three (7,5)-(7,7): (7,4) and (7,8) make a straight four.
const Diagram openThree = {
    "...............", "...............", "...............", "...............", "...............",
    "...............", "...............", ".....XXX.......", "...............", "...............",
    "...............", "...............", "...............", "...............", "...............",
};

// The same open three, but White has four stones in column 11, (9,11) to
// (12,11), and threatens five at (13,11). Black must block there first, and
// the block is no four.
const Diagram openThreeAgainstFour = {
    "...............", "...............", "...............", "...............", "...............",
    "...............", "...............", ".....XXX.......", "...........#...", "...........O...",
    "...........O...", "...........O...", "...........O...", "...............", "...............",
};

TEST(FoursSolverKnown, FiveCellAndStraightFourWinAtOnce) {
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    expectSolve(rule, fiveCell, BLACK, FOUR_WIN);
    expectSolve(rule, openThree, BLACK, FOUR_WIN);
    // Black's straight four comes too late: White's five threat must be
    // blocked, and the block makes no four.
    expectSolve(rule, openThreeAgainstFour, BLACK, 0);
    expectSolve(rule, openThreeAgainstFour, WHITE, FOUR_WIN);
    expectSolve(rule, openThree, WHITE, 0);
  }
}

// (7,7) is a double four for Black: column (4,7)-(6,7) with five cell (8,7)
// and row (7,4)-(7,6) with five cell (7,8); both lines are closed by a block
// at the far end. No other four wins: (7,8) and (8,7) are single fours whose
// block at (7,7) kills the other line.
const Diagram doubleFour = {
    "...............", "...............", "...............", ".......#.......", ".......X.......",
    ".......X.......", ".......X.......", "...#XXX........", "...............", "...............",
    "...............", "...............", "...............", "...............", "...............",
};

TEST(FoursSolverKnown, DoubleFourDependsOnTheRule) {
  // Free style takes the double four as won on sight.
  expectSolve(RULE_FREESTYLE, doubleFour, BLACK, FOUR_WIN);
  // Standard searches it like any four: (7,7), a block at (7,8) (the first
  // five cell), and Black has the five cell (8,7) at ply 2.
  expectSolve(RULE_STANDARD, doubleFour, BLACK, FOUR_WIN - 2);
  // Under Renju the double four is forbidden to Black and nothing else wins;
  // White may play it.
  expectSolve(RULE_RENJU, doubleFour, BLACK, 0);
  expectSolve(RULE_RENJU, swapColours(doubleFour), WHITE, FOUR_WIN - 2);
}

// (7,7) is a four-three for Black: the column four (4,7)-(6,7) forces White to
// (8,7), and the row (7,7)-(7,9) is an open three, so Black then has a
// straight four at (7,6) or (7,10).
const Diagram fourThree = {
    "...............", "...............", "...............", ".......#.......", ".......X.......",
    ".......X.......", ".......X.......", "........XX.....", "...............", "...............",
    "...............", "...............", "...............", "...............", "...............",
};

// The same four-three, but White's forced reply (8,7) completes White's own
// four (8,4)-(8,7) with five cell (8,8). Black's block at (8,8) is no four, so
// the chain fails; free style may not take this four-three on sight. (The
// block at (4,6) only closes a diagonal of Black's that the variant below
// would otherwise turn into a second three.)
const Diagram fourThreeCountered = {
    "...............", "...............", "...............", ".......#.......", "......#X.......",
    ".......X.......", ".......X.......", "........XX.....", "...#OOO........", "...............",
    "...............", "...............", "...............", "...............", "...............",
};

// As above, but Black's block at (8,8) completes the column (7,8)-(10,8), a
// four with five cell (6,8). After White's block there, the open three of row
// 7 becomes a straight four. Two fours, then a straight four: ply 4.
const Diagram fourThreeCounteredByFour = {
    "...............", "...............", "...............", ".......#.......", "......#X.......",
    ".......X.......", ".......X.......", "........XX.....", "...#OOO........", "........X......",
    "........X......", "........#......", "...............", "...............", "...............",
};

TEST(FoursSolverKnown, FourThreeAndTheDefendersOwnFour) {
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    // Upside down, the four's completion lies on the other side of (7,7).
    for (bool flipped : {false, true}) {
      auto shape = [flipped](const Diagram& d) { return flipped ? Diagram(d.rbegin(), d.rend()) : d; };
      // Free style takes the four-three on sight; Standard and Renju (where a
      // four with one open three is allowed to Black) search it: four, block,
      // straight four on ply 2.
      expectSolve(rule, shape(fourThree), BLACK, rule == RULE_FREESTYLE ? FOUR_WIN : FOUR_WIN - 2);
      expectSolve(rule, shape(fourThreeCountered), BLACK, 0);
      expectSolve(rule, shape(fourThreeCounteredByFour), BLACK, FOUR_WIN - 4);
    }
  }
}

// A lone four at (7,7) (row (7,4)-(7,6), five cell (7,8)) with three open twos
// through the same cell, so that it is worth trying; after the block at (7,8)
// Black has no four left.
const Diagram loneFour = {
    "...............", "...............", "...............", "...............", "...............",
    "...............", ".......X.......", "...#XXX........", "......X.X......", "...............",
    "...............", "...............", "...............", "...............", "...............",
};

TEST(FoursSolverKnown, SingleFourWithNothingBehindIt) {
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    expectSolve(rule, loneFour, BLACK, 0);
    // The second call of expectSolve entered one node: 0 was cached.
  }
}

// A chain of two fours. a1 = (7,7) is a four in column 7 (five cell (8,7)) and
// adds a third stone to row 7 ((7,6), (7,8), blocked at (7,5)); a2 = (7,9) is
// a four on the x+y = 16 diagonal (five cell (8,8)) and adds to the same row.
// After either four and its block, the other cell is a double four. Neither
// cell is a double four at the start, and the row never becomes an open three.
const Diagram chainOfTwo = {
    "...............", "...............", "...............", ".......#.....#.", ".......X....X..",
    ".......X...X...", ".......X..X....", ".....#X.X......", "...............", "...............",
    "...............", "...............", "...............", "...............", "...............",
};

TEST(FoursSolverKnown, ChainOfTwoFours) {
  // Free style stops at the double four on ply 2.
  expectSolve(RULE_FREESTYLE, chainOfTwo, BLACK, FOUR_WIN - 2);
  // Four, block, double four, block, five cell: ply 4.
  expectSolve(RULE_STANDARD, chainOfTwo, BLACK, FOUR_WIN - 4);
  // Renju: the chain runs through a double four, forbidden to Black; the
  // same stones in White's hands win as under Standard.
  expectSolve(RULE_RENJU, chainOfTwo, BLACK, 0);
  expectSolve(RULE_RENJU, swapColours(chainOfTwo), WHITE, FOUR_WIN - 4);
}

// A chain of three fours: a1 = (7,7) (column 7, five cell (8,7)), a2 = (7,9)
// (row 7 after a1: (7,6)-(7,9), five cell (7,10)), a3 = (8,9) (column 9 after
// a2: (5,9)-(8,9), five cell (9,9)), and a3 is also a four in row 8 with
// (8,10)-(8,12), five cell (8,8). a1 and a3 are fours from the start, a2 only
// after a1; whichever order, the third four is the double four. The blocks
// cut the diagonals that would otherwise give Black threes on the way.
const Diagram chainOfThree = {
    "...............", "...............", "...............", ".......#.......", ".......X.#.....",
    ".......X#X.....", ".......X#X.....", ".....#X.X......", "..........XXX#.", "......#...#....",
    "...............", "...............", "...............", "...............", "...............",
};

TEST(FoursSolverKnown, ChainOfThreeFours) {
  expectSolve(RULE_FREESTYLE, chainOfThree, BLACK, FOUR_WIN - 4);
  expectSolve(RULE_STANDARD, chainOfThree, BLACK, FOUR_WIN - 6);
  // Under Renju the double four at the end is forbidden. The reference finds
  // a longer chain without it (four fours, then a straight four), so any win
  // the solver reports must be at ply 8 or later.
  loadPosition(RULE_RENJU, chainOfThree);
  ASSERT_EQ(0, FourReference().wins(BLACK, 4));
  ASSERT_EQ(1, FourReference().wins(BLACK, 5));
  const int value = solveChecked(BLACK);
  EXPECT_LE(value, FOUR_WIN - 8);
  if (value > 0) {
    EXPECT_EQ(1, confirmClaim(BLACK, value));
  }
}

// White's four (7,4)-(7,7) after White plays (7,7) (row closed by a block at
// (7,3)); (7,7) also extends White's column (5,7)-(6,7), which makes it worth
// trying. Black must block at (7,8), where Black would make two open threes:
// column (7,8)-(9,8) and the x+y = 15 diagonal (7,8), (6,9), (5,10).
const Diagram blockOnForbiddenPoint = {
    "...............", "...............", "...............", "...............", ".......#.......",
    ".......O..X....", ".......O.X.....", "...#OOO........", "........X......", "........X......",
    "...............", "...............", "...............", "...............", "...............",
};

TEST(FoursSolverKnown, RenjuBlockOnAForbiddenPoint) {
  // Where Black may block there, the four leads nowhere.
  expectSolve(RULE_FREESTYLE, blockOnForbiddenPoint, WHITE, 0);
  expectSolve(RULE_STANDARD, blockOnForbiddenPoint, WHITE, 0);
  loadPosition(RULE_RENJU, blockOnForbiddenPoint);
  ASSERT_EQ(1, TW.pos.isForbidden(cellIndex(7, 8)));
  // Black has no legal block at ply 1: 10,000,482 - 1.
  expectSolve(RULE_RENJU, blockOnForbiddenPoint, WHITE, FOUR_WIN - 3);
}

// The cache keeps wins and losses relative to the ply that stored them, so
// an entry read from another ply must give the same distance as a search. Here
// the position after a1 of chainOfTwo, White to block, is solved first as a
// defender node at ply 1: White loses at ply 4. Solving the position before
// a1 then finds that entry through its child probe, and must still report the
// chain's four plies.
TEST(FoursSolverKnown, CachedChildEntryKeepsTheDistance) {
  loadPosition(RULE_STANDARD, chainOfTwo);
  TE.fourCache.clear();
  prepareSearch();
  TW.pos.placeStone(cellIndex(7, 7), BLACK);
  EXPECT_EQ(-(FOUR_WIN - 4), TW.solveThreatsNode(SOLVER_DEPTH - 1, WHITE, 1, 1));
  TW.pos.removeStone(cellIndex(7, 7));
  EXPECT_EQ(FOUR_WIN - 4, solve(BLACK)) << "a cached child entry changed the distance of the win";
  TE.fourCache.clear();
}

// Chain of two fours searched from far down the per-ply stacks: from ply 478
// every move list of the chain still fits, from ply 482 the second four would
// need a list at ply 484, so the solver must stop there without a win.
TEST(FoursSolverKnown, ChainPastThePerPlyStacksIsNoWin) {
  loadPosition(RULE_STANDARD, chainOfTwo);
  setIterationDepth(SOLVER_DEPTH);
  const BoardBase before = TW.pos.board;
  for (int rootPly : {482, 478}) {
    TE.fourCache.clear();
    prepareSearch();
    EXPECT_EQ(rootPly == 482 ? 0 : FOUR_WIN - 4, TW.solveThreats(SOLVER_DEPTH - rootPly, BLACK)) << "root ply " << rootPly;
    EXPECT_TRUE(sameBoard(before, TW.pos.board));
  }
  TE.fourCache.clear();
}

// The reference itself: no four for Black, so no chain, but (7,7) makes two
// open threes; the extended reference counts that as won while White has no
// four, and not once White has one.
TEST(FoursSolverKnown, ExtendedReferenceCountsDoubleThrees) {
  const Diagram doubleThree = {
      "...............", "...............", "...............", "...............", "...............",
      ".......X.......", ".......X.......", ".....XX........", "...............", "...............",
      "...............", "...............", "...............", "...............", "...............",
  };
  Diagram answered = doubleThree;
  answered[10] = "..OOO..........";
  loadPosition(RULE_FREESTYLE, doubleThree);
  EXPECT_EQ(0, FourReference().wins(BLACK));
  EXPECT_EQ(1, FourReference(true).wins(BLACK));
  loadPosition(RULE_FREESTYLE, answered);
  EXPECT_EQ(0, FourReference(true).wins(BLACK));
}

// ---------------------------------------------------------------------------
// Random positions: every win the solver claims must be confirmed by the
// reference.

struct RandomTally {
  int positions = 0, claims = 0, confirmed = 0, undecided = 0;
};

// Stones of both colours scattered over the middle of a 15 x 15 board, dense
// enough for threes and fours, with a few blocks. Positions where either side
// already has a five cell or a move to two five cells are skipped: they would
// only test the solver's first lines.
bool randomPosition(std::mt19937& rng, int rule, Diagram& rows) {
  rows.assign(15, std::string(15, '.'));
  const int stones = 14 + static_cast<int>(rng() % 22);
  const int blocks = static_cast<int>(rng() % 3);
  for (int i = 0; i < stones + blocks; i++) {
    const int x = 3 + static_cast<int>(rng() % 9), y = 3 + static_cast<int>(rng() % 9);
    if (rows[x][y] != '.') continue;
    rows[x][y] = i >= stones ? '#' : (rng() % 2 ? 'X' : 'O');
  }
  loadPosition(rule, rows);
  FourReference ref;
  if (ref.hasFiveOnBoard()) return false;
  for (int colour : {BLACK, WHITE})
    if (!ref.fiveCells(colour).empty() || ref.hasDoubleThreatMove(colour)) return false;
  return ref.fourCells(BLACK).size() + ref.fourCells(WHITE).size() >= 3;
}

RandomTally checkRandomPositions(int rule, uint32_t seed, int count) {
  std::mt19937 rng(seed);
  RandomTally tally;
  Diagram rows;
  while (tally.positions < count) {
    if (!randomPosition(rng, rule, rows)) continue;
    tally.positions++;
    for (int colour : {BLACK, WHITE}) {
      const int value = solveChecked(colour);
      if (value <= 0) continue;
      tally.claims++;
      const int verdict = confirmClaim(colour, value);
      if (verdict < 0) {
        tally.undecided++;
        continue;
      }
      EXPECT_EQ(1, verdict) << "false win for colour " << colour << ", value " << value << ", rule " << rule
                            << "; without a bound the reference says " << FourReference(true).wins(colour) << "\n"
                            << dump();
      tally.confirmed += verdict;
    }
  }
  return tally;
}

void expectMeaningful(const RandomTally& t) {
  // The positions must have given the solver real work, and the reference
  // must have settled nearly every claim.
  EXPECT_GE(t.claims, t.positions / 5) << t.claims << " claims in " << t.positions << " positions";
  EXPECT_LE(t.undecided * 10, t.claims) << t.undecided << " of " << t.claims << " claims undecided";
}

TEST(FoursSolverReference, RandomPositionsFreestyle) {
  expectMeaningful(checkRandomPositions(RULE_FREESTYLE, 11, 100));
}

TEST(FoursSolverReference, RandomPositionsStandard) { expectMeaningful(checkRandomPositions(RULE_STANDARD, 22, 100)); }

TEST(FoursSolverReference, RandomPositionsRenju) { expectMeaningful(checkRandomPositions(RULE_RENJU, 33, 100)); }

}  // namespace
