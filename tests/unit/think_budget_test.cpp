// The think driver's time budget, its stop rules and the forced-win pick.
//
// The deepening loop is driven through `deepen` with an injected clock, so
// that "250 ms have passed" is a value the test chooses, not a race with the
// machine. Budgets are worked out by hand from time_left, timeout_turn and the
// number of free cells.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"
#include "core/types.h"
#include "search/hash_table.h"
#include "test_support.h"

namespace {

using testing_support::blackFourPosition;
using testing_support::loadPosition;

// A clock the test owns: it reads `start` on its first call and `later` on
// every call after that, so everything the driver measures after taking its
// start time sees exactly `later - start` ms elapsed.
int fakeCalls = 0;
int fakeStart = 0;
int fakeLater = 0;
int fakeClock() { return fakeCalls++ == 0 ? fakeStart : fakeLater; }

void useFakeClock(int start, int later) {
  fakeCalls = 0;
  fakeStart = start;
  fakeLater = later;
  clockSource = fakeClock;
}

// Two stones on 15 x 15, one black and one white, recorded as two moves of
// the game: with 24,000 ms left the average per move is 24,000 / (225 - 2 + 1)
// = 107 ms.
// clang-format off
const std::vector<std::string> kTwoStones = {
    "...............",
    "...............",
    "...............",
    "...............",
    "...............",
    "...............",
    "...............",
    ".......X.......",
    "........O......",
    "...............",
    "...............",
    "...............",
    "...............",
    "...............",
    "...............",
};
// clang-format on

// The clock's rules are tested on the hand-set value: the positions are
// chosen for what that value says of them (quiet, or one answer that holds),
// and the learned tables change with every fit.
class ThinkBudgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TE.ruleTables->useLearned = false;
    TE.ruleTables->rule = -1;
    TE.limits.timeout_turn = 30000;
    TE.limits.time_left = 100000000;
    TW.search.fixedDepth = 0;
    TW.search.thinking = 0;
    TE.stopRequested = 0;
  }
  void TearDown() override {
    TE.ruleTables->useLearned = PLAY_LEARNED;
    TE.ruleTables->rule = -1;
    clockSource = steadyClockMs;
    TE.limits.timeout_turn = 30000;
    TE.limits.time_left = 100000000;
    TW.search.fixedDepth = 0;
    TE.stopRequested = 0;
    TW.search.stopSearch = 0;
    TW.pos.recordCount = 0;
  }

  // Loads a position as the game's position after `moves` moves and prepares
  // SearchControl the way think does before it deepens (without the reply
  // and with the root's time extensions off, since thinking stays 0).
  void prepare(int rule, const std::vector<std::string>& rows, int moves) {
    loadPosition(rule, rows);
    TW.pos.recordCount = moves;
    TE.tt.clear();
    TE.fourCache.clear();
    TW.search.moveBudget = TW.currentBudget(1);
    TW.search.sameBestStreak = 0;
    TW.search.extendForValue = TW.search.extendForDrop = TW.search.extendForNewBest = 0;
    TW.search.nodeCount = 0;
    TW.search.stopSearch = 0;
    TW.search.bestX = TW.search.bestY = -1;
    TW.pos.finalValue = 0;
  }

  static bool legalEmpty(int x, int y) {
    return x >= 0 && y >= 0 && x < TW.pos.xExtent && y < TW.pos.yExtent && TW.pos.board.cells[cellIndex(x, y)] == EMPTY;
  }
};

// ---------------------------------------------------------------------------
// The budget formula.

// time_left 24,000 ms: a twentieth is kept back, at most a second, so 1,000;
// the other 23,000 over 23 expected moves is 1,000 ms a move, below
// timeout_turn. The defaults give 99,999,000 / 30, capped at timeout_turn =
// 30,000; the multiplier scales the share before the cap.
TEST_F(ThinkBudgetTest, BudgetIsTheTimeShareCappedByTheTurnLimit) {
  EXPECT_EQ(budgetFor(24000, 30000, 1, 23), 1000);
  EXPECT_EQ(budgetFor(24000, 30000, 2, 23), 2000);
  EXPECT_EQ(budgetFor(24000, 30000, 4, 23), 4000);
  EXPECT_EQ(budgetFor(24000, 1500, 2, 23), 1500);
  EXPECT_EQ(budgetFor(100000000, 30000, 1, 30), 30000);
  // 2,000 ms keeps 100 back: 1,900 / 19 = 100.
  EXPECT_EQ(budgetFor(2000, 30000, 1, 19), 100);
  EXPECT_EQ(budgetFor(23, 30000, 1, 24), 0);  // truncation toward zero
  EXPECT_EQ(budgetFor(48, 30000, 1, 24), 1);  // 48 - 2 = 46, / 24
}

// The reserve: a twentieth of time_left, never more than a second, never
// negative.
TEST_F(ThinkBudgetTest, ReserveIsATwentiethCappedAtASecond) {
  EXPECT_EQ(timeReserve(24000), 1000);
  EXPECT_EQ(timeReserve(2000), 100);
  EXPECT_EQ(timeReserve(19), 0);
  EXPECT_EQ(timeReserve(-500), 0);
  EXPECT_EQ(timeReserve(INT32_MAX), 1000);
}

// 30 moves expected at the start, one fewer every four stones, at least 10,
// and at most half the empty cells, rounded up (at least 1).
TEST_F(ThinkBudgetTest, ExpectedMovesLeftShrinksWithTheGame) {
  EXPECT_EQ(expectedMovesLeft(0, 225), 30);
  EXPECT_EQ(expectedMovesLeft(3, 222), 30);
  EXPECT_EQ(expectedMovesLeft(4, 221), 29);
  EXPECT_EQ(expectedMovesLeft(40, 185), 20);
  EXPECT_EQ(expectedMovesLeft(100, 125), 10);
  EXPECT_EQ(expectedMovesLeft(210, 15), 8);
  EXPECT_EQ(expectedMovesLeft(224, 1), 1);
  EXPECT_EQ(expectedMovesLeft(225, 0), 1);
}

// In 32 bits 2,000,000,000 x 4 wraps to a negative number; the budget must be
// worked out in 64 bits: 1,999,999,000 x 4 / 24 = 333,333,166 and
// 2,147,482,647 x 4 / 24 = 357,913,774.
TEST_F(ThinkBudgetTest, BudgetArithmeticDoesNotOverflow) {
  EXPECT_EQ(budgetFor(2000000000, INT32_MAX, 4, 24), 333333166);
  EXPECT_EQ(budgetFor(2000000000, INT32_MAX, 3, 24), 249999875);
  EXPECT_EQ(budgetFor(INT32_MAX, INT32_MAX, 4, 24), 357913774);
  EXPECT_EQ(budgetFor(INT32_MAX, 30000, 4, 24), 30000);
  for (int m = 1; m <= 4; m++) EXPECT_GT(budgetFor(INT32_MAX - 7, INT32_MAX, m, 1), 0) << "multiplier " << m;
}

// A negative turn limit is taken as it is: the budget is negative.
TEST_F(ThinkBudgetTest, NegativeTurnLimitGivesANegativeBudget) {
  EXPECT_EQ(budgetFor(24000, -1, 1, 30), -1);
  EXPECT_EQ(budgetFor(24000, -250, 4, 30), -250);
}

// ---------------------------------------------------------------------------
// The stop rules on their own.

// Budget 1,000: a new iteration needs 2 x elapsed < 1,000, so 499 ms still
// allows one and 500 ms does not, unless time is plentiful. The iteration
// depth plus the moves played may not exceed the cells of the TW.pos.board.
TEST_F(ThinkBudgetTest, StopBeforeIterationFollowsTheQuarterBudget) {
  EXPECT_FALSE(stopBeforeIteration(499, 1000, false, 2, 2, 225));
  EXPECT_TRUE(stopBeforeIteration(500, 1000, false, 2, 2, 225));
  EXPECT_TRUE(stopBeforeIteration(900, 1000, false, 2, 2, 225));
  EXPECT_FALSE(stopBeforeIteration(500, 1000, true, 2, 2, 225));
  EXPECT_FALSE(stopBeforeIteration(100000, 1000, true, 2, 2, 225));
  EXPECT_FALSE(stopBeforeIteration(0, 1000, true, 223, 2, 225));
  EXPECT_TRUE(stopBeforeIteration(0, 1000, true, 224, 2, 225));
  // 2 x elapsed is not cut to 32 bits.
  EXPECT_TRUE(stopBeforeIteration(1100000000, INT32_MAX, false, 2, 2, 225));
}

// Five iterations with the same best move end the think once 8 x elapsed
// exceeds the budget: more than 125 ms of 1,000.
TEST_F(ThinkBudgetTest, StableEnoughNeedsFiveIterationsAndAnEighth) {
  EXPECT_TRUE(stableEnough(5, false, 126, 1000));
  EXPECT_FALSE(stableEnough(5, false, 125, 1000));
  EXPECT_FALSE(stableEnough(4, false, 500, 1000));
  EXPECT_TRUE(stableEnough(9, false, 126, 1000));
  EXPECT_FALSE(stableEnough(5, true, 900, 1000));
  EXPECT_TRUE(stableEnough(5, false, 300000000, INT32_MAX));
}

// ---------------------------------------------------------------------------
// The deepening loop with an injected clock.

// With 500 ms gone after the start, only the first iteration runs (it always
// does); with 499 ms the loop goes on until the fixed depth. time_left 31,000
// keeps 1,000 back and spreads 30,000 over 30 moves: a budget of 1,000.
TEST_F(ThinkBudgetTest, DeepenStartsNoIterationAfterHalfTheBudget) {
  TE.limits.time_left = 31000;
  prepare(RULE_FREESTYLE, kTwoStones, 2);
  ASSERT_EQ(TW.search.moveBudget, 1000);
  TW.search.fixedDepth = 3;
  useFakeClock(5000, 5500);
  TW.deepen(BLACK);
  EXPECT_EQ(TW.search.moveBudget, 1000) << "a value term raised the budget; the position is not quiet enough";
  EXPECT_EQ(TW.pos.board.iterationDepth, 1);
  EXPECT_EQ(TW.search.startTime, 500);  // replaced by the elapsed time
  EXPECT_TRUE(legalEmpty(TW.search.bestX, TW.search.bestY));

  prepare(RULE_FREESTYLE, kTwoStones, 2);
  TW.search.fixedDepth = 3;
  useFakeClock(5000, 5499);
  TW.deepen(BLACK);
  EXPECT_EQ(TW.search.moveBudget, 1000);
  EXPECT_EQ(TW.pos.board.iterationDepth, 3);
  EXPECT_EQ(TW.search.startTime, 499);
}

// With the defaults the budget is 30,000 ms and time is plentiful
// (100,000,000 / 224 free cells = 446,428 per move): 20 s gone does not stop
// the deepening, only the fixed depth does.
TEST_F(ThinkBudgetTest, DefaultsLeavePlentyOfTime) {
  prepare(RULE_FREESTYLE, kTwoStones, 2);
  EXPECT_EQ(TW.search.moveBudget, 30000);
  TW.search.fixedDepth = 4;
  useFakeClock(0, 20000);
  TW.deepen(BLACK);
  EXPECT_EQ(TW.pos.board.iterationDepth, 4);
  EXPECT_EQ(TW.search.stopSearch, 0);
  EXPECT_EQ(TW.search.moveBudget, 30000);
}

// More than 125 ms gone and the same best move for five iterations: the think
// ends right there. At exactly 125 ms it does not, and the loop goes one
// iteration further. On this 10 x 10 board Black has to answer White's open
// three and keeps its answer from the first iteration on; the budget is
// (30,000 - 1,000) / 29 = 1,000 (29 moves expected after six stones) and time
// is not plentiful (30,000 / 95 = 315 < 1,000).
TEST_F(ThinkBudgetTest, StableBestMoveEndsTheThink) {
  // clang-format off
  const std::vector<std::string> mustAnswer = {
      "..........",
      "..........",
      ".......X..",
      ".......X..",
      "..OOO.....",
      "..........",
      "..........",
      ".....X....",
      "..........",
      "..........",
  };
  // clang-format on
  TE.limits.time_left = 30000;
  const int cap = 12;
  prepare(RULE_FREESTYLE, mustAnswer, 6);
  TW.search.fixedDepth = cap;
  useFakeClock(0, 126);
  TW.deepen(BLACK);
  ASSERT_EQ(TW.search.moveBudget, 1000);
  EXPECT_EQ(TW.search.sameBestStreak, 5);
  const int stoppedAt = TW.pos.board.iterationDepth;
  ASSERT_GE(stoppedAt, 5);
  ASSERT_LT(stoppedAt, cap) << "the best move never held for five iterations";

  prepare(RULE_FREESTYLE, mustAnswer, 6);
  TW.search.fixedDepth = stoppedAt + 1;
  useFakeClock(0, 125);
  TW.deepen(BLACK);
  EXPECT_EQ(TW.pos.board.iterationDepth, stoppedAt + 1);
  EXPECT_GE(TW.search.sameBestStreak, 5);
}

// A negative turn limit: the budget is negative, every clock check in the
// search stops it, and the driver still leaves a legal move from the one-ply
// pass or a finished iteration.
TEST_F(ThinkBudgetTest, NegativeBudgetStillYieldsAMove) {
  TE.limits.timeout_turn = -1;
  prepare(RULE_FREESTYLE, kTwoStones, 2);
  EXPECT_LT(TW.search.moveBudget, 0);
  useFakeClock(0, 0);
  TW.deepen(BLACK);
  EXPECT_TRUE(legalEmpty(TW.search.bestX, TW.search.bestY)) << TW.search.bestX << "," << TW.search.bestY;
  EXPECT_LT(TW.search.moveBudget, 0);
  EXPECT_EQ(TW.search.stopSearch, 1);

  TE.limits.timeout_turn = -1;
  prepare(RULE_RENJU, kTwoStones, 2);
  useFakeClock(0, 0);
  TW.deepen(BLACK);
  ASSERT_TRUE(legalEmpty(TW.search.bestX, TW.search.bestY));
  EXPECT_FALSE(TW.pos.isForbidden(cellIndex(TW.search.bestX, TW.search.bestY)));
}

// The clock check inside the search stops it once elapsed + its margin
// (30 ms + 1,500 / 10 = 180 ms for budgets of 1.5 s and more) reaches the
// budget. With the defaults (budget 30,000, plenty of time) 29,819 ms gone
// never trips it and the loop runs to the fixed depth; at 29,820 ms the first
// check, at node 1,024, stops the search and the driver keeps a legal move.
// A stop request does the same through the same check.
TEST_F(ThinkBudgetTest, ClockCheckInTheSearchKeepsItsMargin) {
  EXPECT_EQ(stopMargin(30000), 180);
  EXPECT_EQ(stopMargin(1000), 130);
  EXPECT_EQ(stopMargin(200), 50);
  EXPECT_EQ(stopMargin(-5), 30);
  prepare(RULE_FREESTYLE, kTwoStones, 2);
  TW.search.fixedDepth = 4;
  useFakeClock(0, 29819);
  TW.deepen(BLACK);
  EXPECT_EQ(TW.search.stopSearch, 0);
  EXPECT_EQ(TW.pos.board.iterationDepth, 4);
  ASSERT_GE(TW.search.nodeCount, 1024) << "too small a search to meet a clock check";

  prepare(RULE_FREESTYLE, kTwoStones, 2);
  static BoardBase before;
  std::memcpy(&before, &TW.pos.board, sizeof TW.pos.board);
  TW.search.fixedDepth = 4;
  useFakeClock(0, 29820);
  TW.deepen(BLACK);
  EXPECT_EQ(TW.search.stopSearch, 1);
  EXPECT_LT(TW.pos.board.iterationDepth, 4);
  EXPECT_TRUE(legalEmpty(TW.search.bestX, TW.search.bestY));
  // The stopped search unwound every move it had made: the board is as it
  // was, apart from the depth the loop leaves and the scratch end of the
  // stone list.
  before.iterationDepth = TW.pos.board.iterationDepth;
  std::memcpy(before.stones + before.stoneCount, TW.pos.board.stones + TW.pos.board.stoneCount,
              sizeof(int32_t) * (MAX_CELLS - TW.pos.board.stoneCount));
  EXPECT_EQ(TW.pos.board.stoneCount, before.stoneCount);
  EXPECT_EQ(std::memcmp(&before, &TW.pos.board, sizeof TW.pos.board), 0);
  EXPECT_TRUE(TW.pos.boardIsConsistent());

  prepare(RULE_FREESTYLE, kTwoStones, 2);
  TW.search.fixedDepth = 4;
  TE.stopRequested = 1;
  useFakeClock(0, 0);
  TW.deepen(BLACK);
  EXPECT_LT(TW.pos.board.iterationDepth, 4);
  EXPECT_TRUE(legalEmpty(TW.search.bestX, TW.search.bestY));
}

// time_left near the 32-bit limit: every budget the driver computes stays
// positive, so the search is not stopped at once.
TEST_F(ThinkBudgetTest, HugeTimeLeftKeepsTheBudgetPositive) {
  TE.limits.time_left = INT32_MAX;
  TE.limits.timeout_turn = INT32_MAX;
  prepare(RULE_FREESTYLE, kTwoStones, 2);
  EXPECT_EQ(TW.search.moveBudget, (INT32_MAX - 1000) / 30);
  TW.search.fixedDepth = 3;
  useFakeClock(0, 10);
  TW.deepen(BLACK);
  EXPECT_GT(TW.search.moveBudget, 0);
  EXPECT_EQ(TW.search.stopSearch, 0);
  EXPECT_EQ(TW.pos.board.iterationDepth, 3);
}

// ---------------------------------------------------------------------------
// The forced-win pick.

// Black has an open three on column 3 (open-four cells (1,3) and (5,3)) and
// three five cells: (8,14) from the capped four on row 8 and (10,2), (10,7)
// from the straight four on row 10. The five comes first, and among the five
// cells the smallest x wins before the smallest y.
TEST_F(ThinkBudgetTest, ForcedWinPrefersTheFiveCellInRowOrder) {
  // clang-format off
  const std::vector<std::string> fives = {
      "...............",
      "...............",
      "...X...........",
      "...X...........",
      "...X...........",
      "...............",
      "...............",
      "...............",
      ".........OXXXX.",
      "...............",
      "...XXXX........",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_FREESTYLE, fives);
  TW.search.bestX = TW.search.bestY = -1;
  EXPECT_EQ(TW.playForcedWin(BLACK), 1);
  EXPECT_EQ(TW.search.bestX, 8);
  EXPECT_EQ(TW.search.bestY, 14);
}

// Black's open three on column 10, (5,10) (6,10) (7,10), has the open-four
// cells (4,10) and (8,10). Under Renju (4,10) is forbidden: it adds the split
// three (4,10) _ (4,12) (4,13) and the three (2,8) (3,9) (4,10), a double
// three. So Renju Black takes (8,10); under free-style the first cell, (4,10).
TEST_F(ThinkBudgetTest, ForcedWinSkipsForbiddenOpenFourCells) {
  // clang-format off
  const std::vector<std::string> openThree = {
      "...............",
      "...............",
      "........X......",
      ".........X.....",
      "............XX.",
      "..........X....",
      "..........X....",
      "..........X....",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_RENJU, openThree);
  ASSERT_TRUE(TW.pos.isForbidden(cellIndex(4, 10)));
  ASSERT_FALSE(TW.pos.isForbidden(cellIndex(8, 10)));
  TW.search.bestX = TW.search.bestY = -1;
  EXPECT_EQ(TW.playForcedWin(BLACK), 1);
  EXPECT_EQ(TW.search.bestX, 8);
  EXPECT_EQ(TW.search.bestY, 10);

  loadPosition(RULE_FREESTYLE, openThree);
  TW.search.bestX = TW.search.bestY = -1;
  EXPECT_EQ(TW.playForcedWin(BLACK), 1);
  EXPECT_EQ(TW.search.bestX, 4);
  EXPECT_EQ(TW.search.bestY, 10);
}

// No five cell and no playable open-four cell: 0, and the move stays as it
// was. The second position is Renju Black whose open three (10,8)-(10,10) has
// both ends forbidden: each end also completes a capped column three into a
// four, a double four.
TEST_F(ThinkBudgetTest, ForcedWinWithoutAWinLeavesTheMove) {
  loadPosition(RULE_FREESTYLE, kTwoStones);
  TW.search.bestX = 5;
  TW.search.bestY = 6;
  EXPECT_EQ(TW.playForcedWin(BLACK), 0);
  EXPECT_EQ(TW.playForcedWin(WHITE), 0);
  EXPECT_EQ(TW.search.bestX, 5);
  EXPECT_EQ(TW.search.bestY, 6);

  // clang-format off
  const std::vector<std::string> bothEndsForbidden = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".......O...O...",
      ".......X...X...",
      ".......X...X...",
      ".......X...X...",
      "........XXX....",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_RENJU, bothEndsForbidden);
  ASSERT_TRUE(TW.inSet(OpenFourCells, BLACK, cellIndex(10, 7)));
  ASSERT_TRUE(TW.inSet(OpenFourCells, BLACK, cellIndex(10, 11)));
  ASSERT_TRUE(TW.pos.isForbidden(cellIndex(10, 7)));
  ASSERT_TRUE(TW.pos.isForbidden(cellIndex(10, 11)));
  TW.search.bestX = 5;
  TW.search.bestY = 6;
  EXPECT_EQ(TW.playForcedWin(BLACK), 0);
  EXPECT_EQ(TW.search.bestX, 5);
  EXPECT_EQ(TW.search.bestY, 6);

  // The same shape under free-style is a plain win.
  loadPosition(RULE_FREESTYLE, bothEndsForbidden);
  EXPECT_EQ(TW.playForcedWin(BLACK), 1);
  EXPECT_EQ(TW.search.bestX, 10);
  EXPECT_EQ(TW.search.bestY, 7);
}

// With a five cell the first iteration is decided: the root reports
// 10,000,001, the loop ends with iterationDepth 1 and the five cell is the
// move, whatever the one-ply pass had picked.
TEST_F(ThinkBudgetTest, DeepenTakesTheFiveAfterOneIteration) {
  const std::vector<std::string>& blackFour = blackFourPosition();
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    prepare(rule, blackFour, 8);
    useFakeClock(0, 1);
    EXPECT_EQ(TW.deepen(BLACK), WIN_SCORE + 1) << "rule " << rule;
    EXPECT_EQ(TW.pos.board.iterationDepth, 1);
    EXPECT_EQ(TW.pos.finalValue, WIN_SCORE + 1);
    EXPECT_EQ(TW.search.bestX, 7) << "rule " << rule;
    EXPECT_EQ(TW.search.bestY, 8) << "rule " << rule;
  }
}

// With only an unstoppable four (an open three) the same happens with the
// open-four cell; under Renju a forbidden first cell is passed over.
TEST_F(ThinkBudgetTest, DeepenTakesTheOpenFourAfterOneIteration) {
  // clang-format off
  const std::vector<std::string> openThree = {
      "...............",
      "...............",
      "........X......",
      ".........X.....",
      "............XX.",
      "..........X....",
      "..........X....",
      "..........X....",
      "...............",
      "...O...........",
      "....O..........",
      "...............",
      "..O............",
      "...........O...",
      "..........O....",
  };
  // clang-format on
  prepare(RULE_FREESTYLE, openThree, 12);
  useFakeClock(0, 1);
  EXPECT_EQ(TW.deepen(BLACK), WIN_SCORE + 1);
  EXPECT_EQ(TW.pos.board.iterationDepth, 1);
  EXPECT_EQ(TW.search.bestX, 4);
  EXPECT_EQ(TW.search.bestY, 10);

  prepare(RULE_RENJU, openThree, 12);
  useFakeClock(0, 1);
  EXPECT_EQ(TW.deepen(BLACK), WIN_SCORE + 1);
  EXPECT_EQ(TW.pos.board.iterationDepth, 1);
  EXPECT_EQ(TW.search.bestX, 8);
  EXPECT_EQ(TW.search.bestY, 10);
}

}  // namespace
