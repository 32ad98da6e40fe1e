// The root of the search: what it returns and what it leaves in SearchControl
// when it finds an immediate win, meets a forced reply, is cut short by the
// clock, or extends its own time budget; the clamp of its value; the Renju
// openness term; and the node count signature of a fixed-depth deepening.
//
// The clock is injected. A clock check happens when the node counter reaches
// a multiple of 1024, so a search that starts with the counter at 1024·m - k
// reads the clock for the first time at its k-th node; the fake clock then
// jumps far past the budget, which stops the search at exactly that node, and
// notes which root move was on the board at that moment.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using testing_support::loadPosition;
using Diagram = std::vector<std::string>;

// ---------------------------------------------------------------------------
// The injected clock.

constexpr int LATE = 1000000000;  // far past any budget

int64_t stopAtCount = -1;  // node counter value at which the clock jumps; -1 never
int rootStones = 0;        // stone count of the root position
int moveAtStop = NO_CELL;  // root move on the board when the clock jumped
bool clockJumped = false;

int fakeClock() {
  if (stopAtCount >= 0 && TW.search.nodeCount >= stopAtCount) {
    if (!clockJumped) {
      clockJumped = true;
      moveAtStop = TW.pos.board.stoneCount > rootStones ? TW.pos.board.stones[rootStones] : NO_CELL;
    }
    return LATE;
  }
  return 0;
}

struct RootResult {
  int value;
  int64_t nodes;
  int moveAtStop;
};

// One root search of the loaded position with the clock at 0 throughout, or
// stopped at the root's `stopAt`-th node (1 is the root itself).
RootResult runRoot(int depth, int colour, int64_t stopAt = -1) {
  TW.pos.board.iterationDepth = depth;
  TW.search.startTime = 0;
  TW.search.stopSearch = 0;
  TE.stopRequested = 0;
  const int64_t start = stopAt > 0 ? 4096 + (1024 - stopAt % 1024) % 1024 : 0;
  TW.search.nodeCount = start;
  stopAtCount = stopAt > 0 ? start + stopAt : -1;
  clockJumped = false;
  moveAtStop = NO_CELL;
  rootStones = TW.pos.board.stoneCount;
  clockSource = fakeClock;
  const int value = TW.searchRoot(depth, -ROOT_WINDOW, ROOT_WINDOW, colour, 0);
  return RootResult{value, TW.search.nodeCount - start, moveAtStop};
}

// Searches must not see each other's hash or solver entries.
void freshTables() {
  TE.tt.clear();
  TE.fourCache.clear();
  TW.clearKillers();
}

int cap(int depth) { return depth + 9999999; }

class RootSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    savedClock_ = clockSource;
    savedTimeLeft_ = TE.limits.time_left.load();
    savedTimeout_ = TE.limits.timeout_turn.load();
    TE.limits.time_left = 301000;  // budget(k) = min(300,000 k / 30, timeout_turn)
    TE.limits.timeout_turn = 1000000;
    TW.search.thinking = 0;
    TW.search.moveBudget = 555555;
    TW.search.lastValue = 0;
    TW.search.extendForValue = TW.search.extendForDrop = TW.search.extendForNewBest = 0;
    TW.search.singleReply = 0;
    TW.search.bestX = TW.search.bestY = -7;  // "no move written"
    TW.search.fixedDepth = 0;
  }
  void TearDown() override {
    clockSource = savedClock_;
    TE.limits.time_left = savedTimeLeft_;
    TE.limits.timeout_turn = savedTimeout_;
    TW.search.thinking = 0;
    TW.search.stopSearch = 0;
    TW.search.fixedDepth = 0;
    stopAtCount = -1;
  }

 private:
  int (*savedClock_)() = nullptr;
  int savedTimeLeft_ = 0, savedTimeout_ = 0;
};

bool bestIs(int x, int y) { return TW.search.bestX == x && TW.search.bestY == y; }
bool bestUntouched() { return bestIs(-7, -7); }

// ---------------------------------------------------------------------------
// Positions.

Diagram emptyRows() { return Diagram(15, std::string(15, '.')); }

// A 5 x 5 board with three empty cells, (0,0), (2,4) and (4,2), filled so
// that every line of five holds both colours whatever goes on the empty cells.
// Every line of play ends in a full board, which is a draw: searched one ply
// deeper than the empty cells, every root move is worth exactly 0. No cell
// has any pattern, so every shape penalty is 0 too.
const Diagram tinyDraw = {".XOOX", "XXOOX", "OOOX.", "OOXXO", "XX.OX"};

// White's open three (7,6)-(7,8) with Black to move. Black's moves in the far
// corners let White make a straight four: the child returns WIN_SCORE + 1 at
// depth 2, and the corner moves have no shape, so each is worth exactly
// -(WIN_SCORE + 1) = -cap(2).
Diagram openThreeForWhite() {
  Diagram rows = emptyRows();
  rows[7] = "......OOO......";
  return rows;
}

// Hands the root its first three moves through its own hash entry.
void injectRootMoves(int colour, int m1, int m2, int m3) {
  TE.tt.store(TW.pos.board.hashKey, TW.pos.recordCount, 20, 0, BOUND_EXACT, colour, m1, m2, m3, true);
}

// White's straight four (x, y0) ... (x, y0 + 3): Black's only move is the
// first five cell (x, y0 - 1), after which White has the other one. At depth
// 2 the child returns WIN_SCORE + 1.
Diagram straightFourForWhite(int x, int y0) {
  Diagram rows = emptyRows();
  for (int y = y0; y < y0 + 4; y++) rows[x][y] = 'O';
  return rows;
}

// ---------------------------------------------------------------------------
// Immediate wins at the root.

TEST_F(RootSearch, FiveOrPlayableStraightFourIsReportedWithoutAMove) {
  Diagram five = emptyRows();
  five[7] = "...#XXXX.......";
  Diagram three = emptyRows();
  three[7] = ".....XXX.......";
  for (const Diagram& rows : {five, three})
    for (int depth : {1, 3}) {
      loadPosition(RULE_STANDARD, rows);
      freshTables();
      const RootResult r = runRoot(depth, BLACK);
      EXPECT_EQ(WIN_SCORE + depth, r.value);
      EXPECT_EQ(1, r.nodes);
      EXPECT_TRUE(bestUntouched());
    }
}

// Black's open three (7,5)-(7,7) whose two straight-four cells (7,4) and (7,8)
// also complete column fours ((4,4)-(6,4) and (4,8)-(6,8), closed above by
// blocks): double fours, forbidden to Black under Renju.
TEST_F(RootSearch, RenjuStraightFourOnForbiddenCellsIsNotAnImmediateWin) {
  Diagram rows = emptyRows();
  rows[3] = "....#...#......";
  rows[4] = rows[5] = rows[6] = "....X...X......";
  rows[7] = ".....XXX.......";
  loadPosition(RULE_STANDARD, rows);
  freshTables();
  EXPECT_EQ(WIN_SCORE + 3, runRoot(3, BLACK).value);

  loadPosition(RULE_RENJU, rows);
  ASSERT_EQ(1, TW.pos.isForbidden(cellIndex(7, 4)));
  ASSERT_EQ(1, TW.pos.isForbidden(cellIndex(7, 8)));
  freshTables();
  const RootResult r = runRoot(3, BLACK);
  EXPECT_GT(r.nodes, 1);
  EXPECT_LE(r.value, cap(3));
  EXPECT_FALSE(bestUntouched());
  EXPECT_FALSE(bestIs(7, 4));
  EXPECT_FALSE(bestIs(7, 8));
}

// ---------------------------------------------------------------------------
// A five threat of the opponent: the block is the only root move.

TEST_F(RootSearch, SingleForcedReply) {
  // White's four (7,4)-(7,7), closed at (7,3): Black must take (7,8), and
  // nothing else is lost for Black after that.
  Diagram rows = emptyRows();
  rows[7] = "...#OOOO.......";
  loadPosition(RULE_STANDARD, rows);
  freshTables();
  const RootResult all = runRoot(3, BLACK);
  EXPECT_TRUE(bestIs(7, 8));
  EXPECT_EQ(1, TW.search.singleReply);
  EXPECT_GT(all.value, -DECISIVE_SCORE);
  EXPECT_LT(all.value, DECISIVE_SCORE);
  // Root moves are searched one after the other, so the root move on the
  // board at the very last node is the last one searched.
  freshTables();
  EXPECT_EQ(cellIndex(7, 8), runRoot(3, BLACK, all.nodes).moveAtStop);

  // With a White open three beside the four, the block loses to the
  // straight four: no root move avoids the loss.
  rows[10] = ".....OOO.......";
  loadPosition(RULE_STANDARD, rows);
  freshTables();
  TW.search.singleReply = 1;
  const RootResult lost = runRoot(3, BLACK);
  EXPECT_TRUE(bestIs(7, 8));
  EXPECT_EQ(0, TW.search.singleReply);
  EXPECT_EQ(-cap(3), lost.value);
  freshTables();
  EXPECT_EQ(cellIndex(7, 8), runRoot(3, BLACK, lost.nodes).moveAtStop);

  // Without a threat many root moves are not lost.
  rows = emptyRows();
  rows[7] = "......XO.......";
  loadPosition(RULE_STANDARD, rows);
  freshTables();
  TW.search.singleReply = 1;
  const RootResult quiet = runRoot(3, BLACK);
  EXPECT_LT(std::abs(quiet.value), DECISIVE_SCORE);
  EXPECT_EQ(0, TW.search.singleReply);
}

// ---------------------------------------------------------------------------
// Cut short by the clock.

// First node (2 ... nodes) at which the root move on the board is none of
// `earlier`, for a search whose root moves begin with `earlier`.
int64_t firstNodeBeyond(const std::vector<int>& earlier, int64_t nodes, void (*setUp)(), int depth, int colour) {
  auto beyond = [&](int64_t k) {
    setUp();
    const int move = runRoot(depth, colour, k).moveAtStop;
    for (int m : earlier)
      if (m == move) return false;
    return true;
  };
  int64_t lo = 2, hi = nodes;  // beyond(hi) holds for the last move
  while (lo < hi) {
    const int64_t mid = (lo + hi) / 2;
    if (beyond(mid))
      hi = mid;
    else
      lo = mid + 1;
  }
  return lo;
}

void setUpTinyDraw() {
  loadPosition(RULE_STANDARD, tinyDraw);
  freshTables();
  injectRootMoves(BLACK, cellIndex(4, 2), cellIndex(0, 0), cellIndex(2, 4));
}

TEST_F(RootSearch, CutShortOnADrawnBoard) {
  const int m1 = cellIndex(4, 2), m2 = cellIndex(0, 0), m3 = cellIndex(2, 4);
  setUpTinyDraw();
  const RootResult full = runRoot(4, BLACK);
  EXPECT_EQ(0, full.value);
  EXPECT_TRUE(bestIs(4, 2));
  EXPECT_EQ(0, TW.search.stopSearch);

  const int64_t m2Start = firstNodeBeyond({m1}, full.nodes, setUpTinyDraw, 4, BLACK);
  const int64_t m3Start = firstNodeBeyond({m1, m2}, full.nodes, setUpTinyDraw, 4, BLACK);
  ASSERT_LT(2, m2Start);
  ASSERT_LT(m2Start, m3Start);
  for (int64_t k : {int64_t{2}, m2Start - 1, m2Start, m3Start - 1}) {
    setUpTinyDraw();
    TW.search.bestX = TW.search.bestY = -7;
    const RootResult r = runRoot(4, BLACK, k);
    EXPECT_EQ(1, TW.search.stopSearch) << k;
    EXPECT_EQ(k < m2Start ? m1 : m2, r.moveAtStop) << k;
    EXPECT_EQ(0, r.value) << "cut at node " << k << ", before two root moves were finished";
    EXPECT_TRUE(bestUntouched()) << k;
  }
  for (int64_t k : {m3Start, full.nodes}) {
    setUpTinyDraw();
    TW.search.bestX = TW.search.bestY = -7;
    const RootResult r = runRoot(4, BLACK, k);
    EXPECT_EQ(m3, r.moveAtStop) << k;
    // The best of the first two moves is 0, reported as 1.
    EXPECT_EQ(1, r.value) << "cut at node " << k << ", during the third root move";
    EXPECT_TRUE(bestIs(4, 2)) << k;
  }
}

void setUpCornerMoves() {
  loadPosition(RULE_STANDARD, openThreeForWhite());
  freshTables();
  injectRootMoves(BLACK, cellIndex(0, 0), cellIndex(0, 14), cellIndex(7, 5));
}

TEST_F(RootSearch, CutShortKeepsTheBestOfTheFinishedMoves) {
  // The two corner moves are finished at node 2 and node 3 (each child
  // answers at once with White's straight four); the third move, the block
  // (7,5), starts at node 4.
  setUpCornerMoves();
  const RootResult full = runRoot(2, BLACK);
  EXPECT_GT(full.value, -DECISIVE_SCORE);
  const int corners[2] = {cellIndex(0, 0), cellIndex(0, 14)};
  const int64_t m4Start =
      firstNodeBeyond({corners[0], corners[1], cellIndex(7, 5)}, full.nodes, setUpCornerMoves, 2, BLACK);
  ASSERT_LT(4, m4Start);
  for (int64_t k : {2, 3}) {
    setUpCornerMoves();
    TW.search.bestX = TW.search.bestY = -7;
    const RootResult r = runRoot(2, BLACK, k);
    EXPECT_EQ(corners[k - 2], r.moveAtStop);
    EXPECT_EQ(0, r.value);
    EXPECT_TRUE(bestUntouched());
  }
  for (int64_t k : {int64_t{4}, m4Start - 1}) {
    setUpCornerMoves();
    TW.search.bestX = TW.search.bestY = -7;
    const RootResult r = runRoot(2, BLACK, k);
    EXPECT_EQ(cellIndex(7, 5), r.moveAtStop);
    EXPECT_EQ(-cap(2), r.value) << "cut at node " << k;
    EXPECT_TRUE(bestIs(0, 0)) << k;
  }
}

// ---------------------------------------------------------------------------
// Time extensions.

// Drop threshold of the first root move against the last iteration's value.
int dropThreshold(int last) { return std::abs(last) < 200 ? last - 50 : last - std::abs(last) / 4; }

TEST_F(RootSearch, DropThresholdMatchesTheExamples) {
  EXPECT_EQ(70, dropThreshold(120));
  EXPECT_EQ(300, dropThreshold(400));
}

TEST_F(RootSearch, ExtendForDropOnADrawnBoard) {
  // The first root move is worth exactly 0.
  for (int last : {50, 49, 120, 199, -199, 200, 400, -200}) {
    const int expected = 0 <= dropThreshold(last) ? 1 : 0;
    setUpTinyDraw();
    TW.search.thinking = 1;
    TW.search.lastValue = last;
    TW.search.extendForDrop = 1 - expected;
    runRoot(4, BLACK);
    EXPECT_EQ(expected, TW.search.extendForDrop) << "lastValue " << last;
  }
  // Not while no think is running.
  for (int last : {50, 49}) {
    setUpTinyDraw();
    TW.search.thinking = 0;
    TW.search.lastValue = last;
    TW.search.extendForDrop = 7;
    runRoot(4, BLACK);
    EXPECT_EQ(7, TW.search.extendForDrop);
  }
}

TEST_F(RootSearch, ExtendForDropRaisesTheBudget) {
  // The only root move is the block at (7,4), worth -cap(2) = -10,000,001.
  // lastValue -8,000,001 gives the threshold -10,000,001 (a drop), and
  // -8,000,002 gives -10,000,002 (none).
  struct Case {
    int last, extendForValue, extendForNewBest, timeout, budget;
  };
  // clang-format off
  const Case cases[] = {
      {-8000001, 0, 0, 1000000, 20000},   // (301,000 - 1,000) x 2 / 30
      {-8000001, 1, 0, 1000000, 30000},
      {-8000001, 1, 1, 1000000, 40000},
      {-8000001, 1, 1, 25000, 25000},     // timeout_turn is the cap
      {120, 0, 0, 1000000, 20000},
      {-8000002, 1, 1, 1000000, 555555},  // no drop: the budget stays
      {-200, 0, 0, 1000000, 20000},
  };
  // clang-format on
  for (const Case& c : cases) {
    loadPosition(RULE_STANDARD, straightFourForWhite(7, 5));
    freshTables();
    TE.limits.timeout_turn = c.timeout;
    TW.search.thinking = 1;
    TW.search.lastValue = c.last;
    TW.search.extendForValue = c.extendForValue;
    TW.search.extendForNewBest = c.extendForNewBest;
    TW.search.extendForDrop = c.budget == 555555 ? 1 : 0;
    TW.search.moveBudget = 555555;
    EXPECT_EQ(-cap(2), runRoot(2, BLACK).value);
    EXPECT_EQ(c.budget == 555555 ? 0 : 1, TW.search.extendForDrop) << "lastValue " << c.last;
    EXPECT_EQ(c.budget, TW.search.moveBudget) << "lastValue " << c.last;
    // A single root move never raises extendForNewBest, nor clears it.
    EXPECT_EQ(c.extendForNewBest, TW.search.extendForNewBest);
  }
  // Not while no think is running.
  loadPosition(RULE_STANDARD, straightFourForWhite(7, 5));
  freshTables();
  TW.search.thinking = 0;
  TW.search.lastValue = -8000001;
  TW.search.extendForDrop = 0;
  TW.search.moveBudget = 555555;
  runRoot(2, BLACK);
  EXPECT_EQ(0, TW.search.extendForDrop);
  EXPECT_EQ(555555, TW.search.moveBudget);
}

TEST_F(RootSearch, ExtendForNewBest) {
  // The corner moves come first and lose; the block (7,5) beats them, so a
  // later move fails high over the first.
  for (int last : {-8000002, 0}) {
    setUpCornerMoves();
    TW.search.thinking = 1;
    TW.search.lastValue = last;
    TW.search.moveBudget = 555555;
    runRoot(2, BLACK);
    const int drop = last == 0 ? 1 : 0;  // -cap(2) against the thresholds -10,000,002 and -50
    EXPECT_EQ(drop, TW.search.extendForDrop);
    EXPECT_EQ(1, TW.search.extendForNewBest);
    EXPECT_EQ(10000 * (2 + drop), TW.search.moveBudget);
    EXPECT_FALSE(bestIs(0, 0));
  }
  // Not while no think is running.
  setUpCornerMoves();
  TW.search.thinking = 0;
  TW.search.extendForNewBest = TW.search.extendForDrop = 0;
  TW.search.lastValue = 0;
  TW.search.moveBudget = 555555;
  runRoot(2, BLACK);
  EXPECT_EQ(0, TW.search.extendForNewBest);
  EXPECT_EQ(0, TW.search.extendForDrop);
  EXPECT_EQ(555555, TW.search.moveBudget);
}

TEST_F(RootSearch, ExtensionTermsClearedWhenTheClockStops) {
  // Stopped inside the first move: the drop term is cleared.
  setUpCornerMoves();
  TW.search.thinking = 1;
  TW.search.lastValue = 0;
  TW.search.extendForDrop = 1;
  EXPECT_EQ(0, runRoot(2, BLACK, 2).value);
  EXPECT_EQ(0, TW.search.extendForDrop);
  // Stopped inside the second move, whose stopped child looks like a fail
  // high: the new-best term is cleared.
  setUpCornerMoves();
  TW.search.thinking = 1;
  TW.search.lastValue = 0;
  TW.search.extendForNewBest = 1;
  EXPECT_EQ(0, runRoot(2, BLACK, 3).value);
  EXPECT_EQ(0, TW.search.extendForNewBest);
}

// ---------------------------------------------------------------------------
// The clamp and the Renju openness term.

TEST_F(RootSearch, OpennessUnderRenjuOnly) {
  // Black's only move is the block at the first five cell of a White straight
  // four, with no Black stone near: shape penalty 0, and the child returns
  // WIN_SCORE + 1. Under Renju the root adds TW.openness(block, Black); with 4
  // stones on the board the factor is sqrt(34) - sqrt(30) = 0.3537.
  //   (7,4), four in the middle of the board: no edge term; the ray towards
  //   the four meets White at once (-16), the other seven rays run over four
  //   empty cells (+16 each), eight empty knight cells (+8): d = 104,
  //   0.3537 x 104 / 12 = 3.07 -> 3.
  //   (1,4), four in row 1: edge term 8 - 32 = -24; rays -16 + 16 + 16 + 4
  //   (one cell to the edge) + 16 + 16 + 4 + 4 = 76; six knight cells on the
  //   board: d = 58, 0.3537 x 58 / 12 = 1.71 -> 1.
  struct Case {
    int x, expectedRenju;
  };
  for (int rule : {RULE_STANDARD, RULE_FREESTYLE, RULE_RENJU}) {
    for (const Case& c : {Case{7, 3}, Case{1, 1}}) {
      loadPosition(rule, straightFourForWhite(c.x, 5));
      freshTables();
      const RootResult r = runRoot(2, BLACK);
      EXPECT_TRUE(bestIs(c.x, 4));
      EXPECT_EQ(-cap(2) + (rule == RULE_RENJU ? c.expectedRenju : 0), r.value) << "row " << c.x << ", rule " << rule;
    }
  }
}

TEST_F(RootSearch, LossNeverBelowTheCap) {
  // White's straight four (0,1)-(0,4); Black's forced block is the corner
  // (0,0), whose openness is negative: edge terms -32 - 32, rays -16 (White
  // at once) + 16 + 16, the other five rays leave the board at once, two
  // knight cells: d = -46, 0.3537 x -46 / 12 = -1.36 -> -1. The block is
  // worth -1 - (WIN_SCORE + 1), one below -cap(2).
  loadPosition(RULE_RENJU, straightFourForWhite(0, 1));
  freshTables();
  EXPECT_EQ(-cap(2), runRoot(2, BLACK).value);
  EXPECT_TRUE(bestIs(0, 0));
}

TEST_F(RootSearch, WinNeverAboveTheCap) {
  // White to move has the four-three (7,7): column (4,7)-(6,7) closed at
  // (3,7), five cell (8,7), and the row (7,7)-(7,9) becomes an open three.
  // Black's forced block (8,7) has no shape, and then White has a straight
  // four: the block is worth -(WIN_SCORE + 1) at depth 3, and (7,7) is worth
  // WIN_SCORE + 1 plus its penalty (0: the room sum 31 scales -1 to 0) plus,
  // under Renju, its openness: 5 stones, factor sqrt(35) - sqrt(30) = 0.4389;
  // rays 10 (two own stones, then empty) + 16 + 16 + 4 (three own stones and
  // the block) + 4 x 16, eight knight cells: d = 118, openness 4.
  // Standard: WIN_SCORE + 1 = cap(3) - 1. Renju: WIN_SCORE + 5, clamped.
  Diagram rows = emptyRows();
  rows[3] = ".......#.......";
  rows[4] = rows[5] = rows[6] = ".......O.......";
  rows[7] = "........OO.....";
  loadPosition(RULE_STANDARD, rows);
  freshTables();
  EXPECT_EQ(cap(3) - 1, runRoot(3, WHITE).value);
  loadPosition(RULE_RENJU, rows);
  freshTables();
  EXPECT_EQ(cap(3), runRoot(3, WHITE).value);
}

// ---------------------------------------------------------------------------
// Hash table.

TEST_F(RootSearch, DepthOneStoresNothingForTheRoot) {
  Diagram rows = emptyRows();
  rows[6] = "......O........";
  rows[7] = ".....XX........";
  rows[8] = "......O........";
  for (int depth : {1, 2}) {
    loadPosition(RULE_STANDARD, rows);
    freshTables();
    const RootResult r = runRoot(depth, BLACK);
    ASSERT_LT(std::abs(r.value), DECISIVE_SCORE);
    int moves[3] = {-9, -9, -9};
    const int probed = TW.probeHash(depth, -ROOT_WINDOW, ROOT_WINDOW, BLACK, TW.pos.board.hashKey, moves, 3);
    if (depth == 1) {
      EXPECT_EQ(HASH_MISS, probed);
      EXPECT_EQ(-9, moves[0]);
    } else {
      EXPECT_EQ(r.value, probed);
      EXPECT_EQ(cellIndex(TW.search.bestX, TW.search.bestY), moves[0]);
    }
  }
}

// ---------------------------------------------------------------------------
// Reproducibility: the node count of a fixed-depth deepening is the search's
// signature.

int zeroClock() { return 0; }

struct DeepenResult {
  int value;
  int64_t nodes;
  int bestX, bestY, depth;
};

DeepenResult deepenFresh(int rule, const Diagram& rows, int colour, int depth) {
  loadPosition(rule, rows);
  TE.tt.clear();
  TE.fourCache.clear();
  clockSource = zeroClock;
  TE.limits.time_left = 100000000;
  TE.limits.timeout_turn = 30000;
  TW.search.thinking = 1;
  TW.search.stopSearch = 0;
  TE.stopRequested = 0;
  TW.search.nodeCount = 0;
  TW.search.moveBudget = 30000;
  TW.search.extendForValue = TW.search.extendForDrop = TW.search.extendForNewBest = 0;
  TW.search.sameBestStreak = 0;
  TW.search.bestX = TW.search.bestY = -1;
  TW.search.fixedDepth = depth;
  const int value = TW.deepen(colour);
  return DeepenResult{value, TW.search.nodeCount, TW.search.bestX, TW.search.bestY, TW.pos.board.iterationDepth};
}

TEST_F(RootSearch, FixedDepthDeepeningIsReproducible) {
  Diagram rows = emptyRows();
  rows[5] = "......X........";
  rows[6] = ".....OXO.......";
  rows[7] = "......XO.......";
  rows[8] = ".....O.X.......";
  for (int rule : {RULE_STANDARD, RULE_RENJU}) {
    const DeepenResult a = deepenFresh(rule, rows, WHITE, 6);
    const DeepenResult b = deepenFresh(rule, rows, WHITE, 6);
    EXPECT_EQ(6, a.depth);
    EXPECT_GT(a.nodes, 0);
    EXPECT_EQ(a.nodes, b.nodes) << "rule " << rule;
    EXPECT_EQ(a.value, b.value);
    EXPECT_EQ(a.bestX, b.bestX);
    EXPECT_EQ(a.bestY, b.bestY);
    ASSERT_GE(a.bestX, 0);
    EXPECT_EQ(EMPTY, TW.pos.board.cells[cellIndex(a.bestX, a.bestY)]);
  }
}

}  // namespace
