// The tree search: what a node does on entry, the stage ladder of its moves,
// and the invariants every search must keep (board untouched, deterministic
// from cleared tables, only legal moves chosen).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "board/board.h"
#include "core/types.h"
#include "search/hash_table.h"
#include "search/threat_solver.h"
#include "test_support.h"

namespace {

using testing_support::blackFourPosition;
using testing_support::loadPosition;
using testing_support::setIterationDepth;

constexpr int WIDE = 100000000;  // the root window

int frozenClock() { return 0; }

int cell(int x, int y) { return cellIndex(x, y); }

// A node at the given depth, one ply below the root: the per-ply stacks are
// indexed by iterationDepth - depth.
int searchNode(int depth, int alpha, int beta, int colour, int extension = 0) {
  setIterationDepth(depth + 1);
  return TW.alphaBeta(depth, alpha, beta, colour, extension);
}

// True when the table holds an entry for the board's position: a window far
// above any value meets an upper bound, one far below meets a lower bound.
bool hashHasEntry(int colour) {
  int moves[3] = {-1, -1, -1};
  const int far = 1 << 30;
  return TW.probeHash(-1000, far, far + 1, colour, TW.pos.board.hashKey, moves, 3) != HASH_MISS ||
         TW.probeHash(-1000, -far - 1, -far, colour, TW.pos.board.hashKey, moves, 3) != HASH_MISS;
}

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clockSource = frozenClock;
    TW.search.stopSearch = 0;
    TE.stopRequested = 0;
    TW.search.startTime = 0;
    TW.search.moveBudget = INT_MAX;
    TW.search.thinking = 0;
    TW.search.fixedDepth = 0;
    TW.search.nodeCount = 0;
    TE.limits.timeout_turn = 30000;
    TE.limits.time_left = 100000000;
  }
  void TearDown() override {
    clockSource = steadyClockMs;
    TW.search.fixedDepth = 0;
    TW.search.stopSearch = 0;
    TW.pos.recordCount = 0;
  }

  // A fresh search: nothing remembered from earlier ones.
  static void forget() {
    TE.tt.clear();
    TE.fourCache.clear();
    TW.clearKillers();
  }

  static int64_t nodesOf(int depth, int alpha, int beta, int colour, int extension, int* value) {
    const int64_t before = TW.search.nodeCount;
    *value = searchNode(depth, alpha, beta, colour, extension);
    return TW.search.nodeCount - before;
  }
};

// ---------------------------------------------------------------------------
// Node entry.

// Black's capped four (7,4)-(7,7) has the five cell (7,8): the node is won at
// once, worth WIN_SCORE plus its depth, whatever the window, without a probe
// (a stored entry for the position is ignored) and without a store.
TEST_F(SearchTest, FiveCellWinsAtOnce) {
  const std::vector<std::string>& blackFour = blackFourPosition();
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    loadPosition(rule, blackFour);
    forget();
    int v;
    EXPECT_EQ(nodesOf(3, -WIDE, WIDE, BLACK, 0, &v), 1);
    EXPECT_EQ(v, WIN_SCORE + 3);
    EXPECT_FALSE(hashHasEntry(BLACK));
    EXPECT_EQ(nodesOf(-1, -WIDE, WIDE, BLACK, 0, &v), 1);
    EXPECT_EQ(v, WIN_SCORE - 1);
    TW.storeHash(10, -77, BOUND_EXACT, BLACK, cell(0, 0), -1, -1);
    EXPECT_EQ(nodesOf(2, 50, 51, BLACK, 0, &v), 1);
    EXPECT_EQ(v, WIN_SCORE + 2);
    EXPECT_EQ(nodesOf(2, WIN_SCORE + 10, WIN_SCORE + 11, BLACK, 5, &v), 1);
    EXPECT_EQ(v, WIN_SCORE + 2);
  }
}

// A win by a chain of fours ends the node at its entry too, at the chain's
// distance. Black's (7,7) makes the capped row four (7,4)-(7,7) and the open
// column three (5,7)-(7,7); White's only answer is (7,8), after which Black
// has a straight-four cell: a win two solver plies away, worth
// 10,000,484 - 2 + depth - 484 = WIN_SCORE + depth - 2, stored as exact and
// without moves, since no move was searched.
TEST_F(SearchTest, FourChainWinEndsTheNode) {
  // clang-format off
  const std::vector<std::string> fourThree = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".......X.......",
      ".......X.......",
      "...OXXX........",
      "...............",
      "...........O...",
      "...............",
      "..O............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  for (int rule : {RULE_STANDARD, RULE_RENJU}) {
    loadPosition(rule, fourThree);
    ASSERT_TRUE(TW.setEmpty(FiveCells, BLACK));
    ASSERT_TRUE(TW.setEmpty(OpenFourCells, BLACK));
    forget();
    EXPECT_EQ(searchNode(3, -WIDE, WIDE, BLACK), WIN_SCORE + 1) << "rule " << rule;
    int moves[3] = {-1, -1, -1};
    EXPECT_EQ(TW.probeHash(3, 0, 1, BLACK, TW.pos.board.hashKey, moves, 3), WIN_SCORE + 1);
    EXPECT_EQ(moves[0], -1);  // decided before any move was searched
    forget();
    EXPECT_EQ(searchNode(5, 0, 1, BLACK), WIN_SCORE + 3) << "rule " << rule;
  }
}

// An open three (a straight-four cell) of the side to move wins the same way.
TEST_F(SearchTest, OpenFourCellWinsAtOnce) {
  // clang-format off
  const std::vector<std::string> openThree = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "......XXX......",
      "........O......",
      "......O........",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    loadPosition(rule, openThree);
    forget();
    TW.storeHash(10, -77, BOUND_EXACT, BLACK, cell(0, 0), -1, -1);
    int v;
    EXPECT_EQ(nodesOf(4, 0, 1, BLACK, 0, &v), 1);
    EXPECT_EQ(v, WIN_SCORE + 4);
  }
}

// White has two five cells: (3,10) from the row four capped at (3,5) and (9,2)
// from the column four capped at (4,2). Black can block only one: the node
// searches exactly the cell of smaller x, (3,10) (not the one of smaller y),
// whose child wins for White at once (10,000,001 at depth 1). The block is no
// threat for Black (no penalty, no extension), so the node is worth
// -10,000,001, and its hash entry holds that one move.
TEST_F(SearchTest, TwoOpponentFiveCellsSearchOneMoveAndLose) {
  // clang-format off
  const std::vector<std::string> twoFours = {
      "...............",
      "...............",
      "...............",
      ".....XOOOO.....",
      "..X............",
      "..O............",
      "..O............",
      "..O............",
      "..O............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...X...........",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_FREESTYLE, twoFours);
  ASSERT_TRUE(TW.inSet(FiveCells, WHITE, cell(3, 10)));
  ASSERT_TRUE(TW.inSet(FiveCells, WHITE, cell(9, 2)));
  forget();
  int v;
  EXPECT_EQ(nodesOf(2, -WIDE, WIDE, BLACK, 0, &v), 2);
  EXPECT_EQ(v, -(WIN_SCORE + 1));
  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(TW.probeHash(2, -WIDE, WIDE, BLACK, TW.pos.board.hashKey, moves, 3), -(WIN_SCORE + 1));
  EXPECT_EQ(moves[0], cell(3, 10));
  EXPECT_EQ(moves[1], -1);
  EXPECT_EQ(moves[2], -1);

  forget();
  EXPECT_EQ(nodesOf(3, -20000000, -19999999, BLACK, 0, &v), 2);
  EXPECT_EQ(v, -(WIN_SCORE + 2));
}

// Renju. Black's open three (10,8)-(10,10) has the open-four cells (10,7) and
// (10,11), and both are forbidden: each also makes two split threes, (10,7)
// with (7,7) (8,7) on its column and (13,4) (12,5) on its x+y diagonal,
// (10,11) with (7,11) (8,11) and (13,8) (12,9). Black's only fours are the
// two X_XXX cells, too few for a four chain, so the node is not won at entry
// and a one-ply search finds nothing decisive. Under free-style the same stones win
// at once, and so does White with the colours swapped under Renju.
TEST_F(SearchTest, RenjuForbiddenOpenFourCellsDoNotWin) {
  // clang-format off
  std::vector<std::string> forbiddenEnds = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".......X...X...",
      ".......X...X...",
      "...............",
      "........XXX....",
      "...............",
      ".....X...X.....",
      "....X...X......",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_RENJU, forbiddenEnds);
  ASSERT_TRUE(TW.inSet(OpenFourCells, BLACK, cell(10, 7)));
  ASSERT_TRUE(TW.inSet(OpenFourCells, BLACK, cell(10, 11)));
  ASSERT_TRUE(TW.pos.isForbidden(cell(10, 7)));
  ASSERT_TRUE(TW.pos.isForbidden(cell(10, 11)));
  // One ply: Black's moves exclude both open-four cells, so nothing decides.
  forget();
  int v;
  EXPECT_GT(nodesOf(1, -WIDE, WIDE, BLACK, 0, &v), 1);
  EXPECT_LT(v, DECISIVE_SCORE);
  EXPECT_GT(v, -DECISIVE_SCORE);
  // Deeper, Black may find a real win elsewhere, but never the immediate one.
  for (int depth : {2, 3}) {
    forget();
    EXPECT_GT(nodesOf(depth, -WIDE, WIDE, BLACK, 0, &v), 1);
    EXPECT_LT(v, WIN_SCORE + depth) << "depth " << depth;
  }

  loadPosition(RULE_FREESTYLE, forbiddenEnds);
  forget();
  EXPECT_EQ(nodesOf(2, -WIDE, WIDE, BLACK, 0, &v), 1);
  EXPECT_EQ(v, WIN_SCORE + 2);

  for (std::string& row : forbiddenEnds) std::replace(row.begin(), row.end(), 'X', 'O');
  loadPosition(RULE_RENJU, forbiddenEnds);
  forget();
  EXPECT_EQ(nodesOf(2, -WIDE, WIDE, WHITE, 0, &v), 1);
  EXPECT_EQ(v, WIN_SCORE + 2);
}

// Razoring at a null-window node of effective depth 3: margin 64 x 3 = 192
// around the evaluation e = TW.threatEval(depth - 1). At alpha = e + 192 the node
// returns alpha; at beta = e - 192 it returns beta. In both cases only the
// node itself and the threat solver's root are entered and nothing is
// stored. One step inside the margin the node searches its moves.
// At the horizon the side to move with a double-threat cell first asks the
// threat-sequence solver, when the links allow it. The side to move has two
// twos crossing at (7,7): playing there makes two open threes, a win in five
// plies (three-three, block, open four, any, five) that neither the fours
// solver nor the static evaluation proves. Under Renju the same cell is a
// forbidden double three for Black, and no win; White may play it.
TEST_F(SearchTest, HorizonSeesAThreeThreeWinOnlyWithLeafSequences) {
  // clang-format off
  const std::vector<std::string> crossing = {
      "A.............A",
      "...............",
      "...............",
      "...............",
      "...............",
      ".......S.......",
      ".......S.......",
      ".....SS........",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "A.............A",
  };
  // clang-format on
  static ThreatCache cache;
  if (!cache.buckets) {
    ASSERT_TRUE(cache.init(size_t{1} << 20));
  }
  struct Case {
    int rule, side;
    bool wins;
  };
  for (const Case c : {Case{RULE_FREESTYLE, BLACK, true}, Case{RULE_STANDARD, WHITE, true},
                       Case{RULE_RENJU, BLACK, false}, Case{RULE_RENJU, WHITE, true}}) {
    std::vector<std::string> rows = crossing;
    for (std::string& row : rows)
      for (char& ch : row) {
        if (ch == 'S') ch = c.side == BLACK ? 'X' : 'O';
        if (ch == 'A') ch = c.side == BLACK ? 'O' : 'X';
      }
    for (const bool leaves : {false, true}) {
      loadPosition(c.rule, rows);
      forget();
      cache.clear();
      const WorkerLinks saved = TW.links;
      TW.links.threatCache = &cache;
      TW.links.sequenceLeaves = leaves;
      const int v = searchNode(0, -WIDE, WIDE, c.side);
      TW.links = saved;
      const std::string label = "rule " + std::to_string(c.rule) + " side " + std::to_string(c.side) +
                                (leaves ? " with" : " without") + " leaf sequences";
      if (leaves && c.wins) {
        EXPECT_EQ(v, WIN_SCORE - 4) << label;
      } else {
        EXPECT_LT(v, DECISIVE_SCORE) << label;
      }
    }
  }
}

// Two stones at the centre: no threat of either side anywhere.
// clang-format off
const std::vector<std::string> QUIET_CENTRE = {
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

TEST_F(SearchTest, RazoringMargins) {
  loadPosition(RULE_FREESTYLE, QUIET_CENTRE);
  setIterationDepth(4);
  const int e = TW.threatEval(2, BLACK);
  int v;

  forget();
  EXPECT_EQ(nodesOf(3, e + 192, e + 193, BLACK, 0, &v), 2);
  EXPECT_EQ(v, e + 192);
  EXPECT_FALSE(hashHasEntry(BLACK));
  forget();
  EXPECT_EQ(nodesOf(3, e - 193, e - 192, BLACK, 0, &v), 2);
  EXPECT_EQ(v, e - 192);
  EXPECT_FALSE(hashHasEntry(BLACK));

  forget();
  EXPECT_GT(nodesOf(3, e + 191, e + 192, BLACK, 0, &v), 2);
  EXPECT_TRUE(hashHasEntry(BLACK));
  forget();
  EXPECT_GT(nodesOf(3, e - 192, e - 191, BLACK, 0, &v), 2);

  // The margin follows the effective depth: depth 2 with two half plies of
  // extension is effective depth 3; depth 3 with them is 4 (margin 256).
  forget();
  EXPECT_EQ(nodesOf(2, e + 192, e + 193, BLACK, 2, &v), 2);
  EXPECT_EQ(v, e + 192);
  forget();
  EXPECT_GT(nodesOf(3, e + 192, e + 193, BLACK, 2, &v), 2);
  forget();
  EXPECT_EQ(nodesOf(3, e + 256, e + 257, BLACK, 2, &v), 2);
  EXPECT_EQ(v, e + 256);

  // Effective depth 5 (depth 3, four half plies) is beyond razoring even
  // where its margin, 320, would be met.
  forget();
  EXPECT_GT(nodesOf(3, e + 320, e + 321, BLACK, 4, &v), 2);

  // A PV node is never razored.
  forget();
  EXPECT_GT(nodesOf(3, e + 1000, e + 1002, BLACK, 0, &v), 2);
}

// Past the nominal horizon (depth 0, kept alive by four half plies of
// extension) a quiet position is worth its static value: the side to move
// stands on it and has no threat move to try, so the node costs its own
// count and one four-solver probe, PV window or not. One ply earlier the
// same position is searched move by move.
TEST_F(SearchTest, PastTheHorizonAQuietNodeStandsOnItsValue) {
  loadPosition(RULE_FREESTYLE, QUIET_CENTRE);
  setIterationDepth(4);
  const int e = TW.threatEval(0, BLACK);
  int v;
  forget();
  EXPECT_EQ(nodesOf(0, e - 1000, e + 1000, BLACK, 4, &v), 2);
  EXPECT_EQ(v, e);
  forget();
  EXPECT_EQ(nodesOf(0, e + 50, e + 51, BLACK, 4, &v), 2);
  EXPECT_LE(v, e + 50);
  forget();
  EXPECT_GT(nodesOf(1, e - 1000, e + 1000, BLACK, 4, &v), 2);
}

// Past the horizon a side whose opponent can make an open four does not
// stand on its static value: White's two open threes (row 7 and column 10)
// leave Black a block of one, after which the other wins, and the node must
// find that loss rather than return its static value.
TEST_F(SearchTest, PastTheHorizonAnOpenThreeIsNotStoodOn) {
  // clang-format off
  const std::vector<std::string> twoThrees = {
      "...............",
      "...............",
      "..X.........X..",
      "...............",
      "..........O....",
      "..........O....",
      "..........O....",
      "......OOO......",
      "...............",
      "...............",
      "...............",
      "...............",
      "..X.X.......X..",
      "......X........",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_FREESTYLE, twoThrees);
  setIterationDepth(4);
  int v;
  forget();
  nodesOf(0, -WIDE, WIDE, BLACK, 4, &v);
  EXPECT_LT(v, -DECISIVE_SCORE);
  EXPECT_GT(TW.threatEval(0, BLACK), -DECISIVE_SCORE);
}

// A full board (no blocks) at a node above the horizon: no move, value 0
// whatever the window, and 0 is what the table keeps.
TEST_F(SearchTest, FullBoardIsADraw) {
  // clang-format off
  const std::vector<std::string> full = {
      "XXOOXX",
      "OOXXOO",
      "XXOOXX",
      "OOXXOO",
      "XXOOXX",
      "OOXXOO",
  };
  // clang-format on
  loadPosition(RULE_FREESTYLE, full);
  forget();
  EXPECT_EQ(searchNode(2, -WIDE, WIDE, BLACK), 0);
  forget();
  EXPECT_EQ(searchNode(2, 5, WIDE, BLACK), 0);
  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(TW.probeHash(2, 5, 6, BLACK, TW.pos.board.hashKey, moves, 3), 0);
  forget();
  EXPECT_EQ(searchNode(3, -30, -10, WHITE), 0);
}

// Renju: White's five cell (7,7) is Black's double three (row (7,5) (7,6),
// column (5,7) (6,7)), so Black has no move left on a board that is not full:
// the node is lost, -(9,999,998 + depth), raised to alpha. Under Standard the
// block is allowed and the node is not lost outright.
TEST_F(SearchTest, NoLegalMoveIsALoss) {
  // clang-format off
  const std::vector<std::string> fiveOnForbidden = {
      "...............",
      "...............",
      "............#..",
      "...........O...",
      "..........O....",
      ".......X.O.....",
      ".......XO......",
      ".....XX........",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_RENJU, fiveOnForbidden);
  ASSERT_TRUE(TW.inSet(FiveCells, WHITE, cell(7, 7)));
  ASSERT_TRUE(TW.pos.isForbidden(cell(7, 7)));
  forget();
  EXPECT_EQ(searchNode(3, -WIDE, WIDE, BLACK), -(9999998 + 3));
  forget();
  EXPECT_EQ(searchNode(3, -5, WIDE, BLACK), -5);

  loadPosition(RULE_STANDARD, fiveOnForbidden);
  forget();
  EXPECT_GT(searchNode(3, -WIDE, WIDE, BLACK), -DECISIVE_SCORE);
}

// ---------------------------------------------------------------------------
// The stage ladder, through the move picker a node uses.

struct Picked {
  int cell, stage, lmpStage;
};

std::vector<Picked> pickAll(int colour, int depth, bool pvNode, std::vector<int> hashMoves = {-1, -1, -1},
                            int forced = -1, const std::vector<int>& preferred = {}) {
  const int ply = 1;
  setIterationDepth(depth + ply);
  TW.advancePlyStamp(ply);
  MovePicker p;
  pickerInit(p, NodeContext{depth, depth, ply, colour, pvNode, NO_SCORE, 0}, forced, hashMoves.data());
  p.preferred = preferred.data();
  p.preferredCount = static_cast<int>(preferred.size());
  std::vector<Picked> out;
  for (int c; (c = TW.nextMove(p, 0)) >= 0;) out.push_back(Picked{c, p.stage, p.lmpStage});
  return out;
}

std::set<int> cellsOf(const std::vector<Picked>& picked) {
  std::set<int> s;
  for (const Picked& p : picked) s.insert(p.cell);
  return s;
}

std::set<int> cellsSet(std::initializer_list<std::pair<int, int>> xy) {
  std::set<int> s;
  for (auto [x, y] : xy) s.insert(cell(x, y));
  return s;
}

// White's open three (7,6)-(7,8): Black, without a four, searches only the
// two open-four cells. threeDefence adds nothing, because the cell four steps
// beyond the first one, (7,9), is itself an open-four cell. Nothing follows
// stage 1, and its moves are exempt from late-move pruning.
TEST_F(SearchTest, OpenThreeIsAnsweredOnlyAtItsEnds) {
  // clang-format off
  const std::vector<std::string> openThree = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "......OOO......",
      "......X........",
      "...............",
      "..........X....",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_FREESTYLE, openThree);
  int32_t defence[4];
  EXPECT_EQ(TW.threeDefence(defence, WHITE, cell(7, 5)), 0);
  for (bool pv : {true, false}) {
    const std::vector<Picked> picked = pickAll(BLACK, 3, pv);
    EXPECT_EQ(cellsOf(picked), cellsSet({{7, 5}, {7, 9}}));
    EXPECT_EQ(picked.size(), 2u);
    for (const Picked& p : picked) {
      EXPECT_EQ(p.stage, 1);
      EXPECT_EQ(p.lmpStage, 13);
    }
  }
}

// A three with a block two cells before it, #_OOO__ on row 7: only (7,9)
// makes a straight four. threeDefence turns towards the stones, so the far
// cell four steps away is (7,5), a mere four cell: it answers (7,5) and
// (7,10), the cell beyond the open-four cell.
TEST_F(SearchTest, ThreeDefenceOfAOneSidedThree) {
  // clang-format off
  const std::vector<std::string> oneSided = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "....#.OOO......",
      "......X........",
      "...............",
      "..........X....",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_FREESTYLE, oneSided);
  int32_t defence[4];
  ASSERT_EQ(TW.threeDefence(defence, WHITE, cell(7, 9)), 2);
  EXPECT_EQ(std::set<int>(defence, defence + 2), cellsSet({{7, 5}, {7, 10}}));
  EXPECT_EQ(cellsOf(pickAll(BLACK, 3, false)), cellsSet({{7, 9}, {7, 5}, {7, 10}}));
}

// A split three O_OO, (7,5) (7,7) (7,8): the open-four cell (7,6) has White on
// both sides, and the extra defences are the first empty cells beyond the run
// on each side, (7,9) and (7,4).
TEST_F(SearchTest, ThreeDefenceOfASplitThree) {
  // clang-format off
  const std::vector<std::string> split = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".....O.OO......",
      "......X........",
      "...............",
      "..........X....",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_FREESTYLE, split);
  int32_t defence[4];
  ASSERT_EQ(TW.threeDefence(defence, WHITE, cell(7, 6)), 2);
  EXPECT_EQ(std::set<int>(defence, defence + 2), cellsSet({{7, 9}, {7, 4}}));
  EXPECT_EQ(cellsOf(pickAll(BLACK, 3, true)), cellsSet({{7, 6}, {7, 9}, {7, 4}}));
}

// White's open three on row 7 and Black's capped three on row 12, whose four
// cells are (12,5) and (12,6).
// clang-format off
const std::vector<std::string> withFour = {
    "...............",
    "...............",
    "...............",
    "...............",
    "...............",
    "...............",
    "...............",
    "......OOO......",
    "...............",
    "...............",
    "...............",
    "...............",
    ".OXXX..........",
    "...............",
    "...............",
};
// clang-format on

// Hash moves come first, in their stored order, and are not repeated by stage
// 1; a side with a four also gets its four cells in stage 1 (Black's capped
// three on row 12 gives (12,5) and (12,6)).
TEST_F(SearchTest, HashMovesComeFirstAndOwnFoursJoinTheDefence) {
  loadPosition(RULE_FREESTYLE, withFour);
  ASSERT_TRUE(TW.inSet(FourCells, BLACK, cell(12, 5)));
  ASSERT_TRUE(TW.inSet(FourCells, BLACK, cell(12, 6)));
  const std::vector<Picked> picked = pickAll(BLACK, 3, false, {cell(1, 1), cell(7, 9), -1});
  ASSERT_GE(picked.size(), 2u);
  EXPECT_EQ(picked[0].cell, cell(1, 1));
  EXPECT_EQ(picked[0].stage, 0);
  EXPECT_EQ(picked[1].cell, cell(7, 9));
  EXPECT_EQ(picked[1].stage, 0);
  std::set<int> rest;
  for (size_t i = 2; i < picked.size(); i++) {
    EXPECT_EQ(picked[i].stage, 1);
    rest.insert(picked[i].cell);
  }
  EXPECT_EQ(rest, cellsSet({{7, 5}, {12, 5}, {12, 6}}));
  EXPECT_EQ(picked.size(), 5u);
}

// The cells the root prefers (a refuted move's line) come right after the
// first hash move, in their order, before the other hash moves; an occupied
// cell or one served already is dropped, and a cell the ladder serves later
// is not served twice. A cell outside the ladder's own moves is served too.
TEST_F(SearchTest, PreferredCellsFollowTheFirstHashMoveOnce) {
  loadPosition(RULE_FREESTYLE, withFour);
  const std::vector<int> preferred = {cell(12, 6), cell(7, 6), cell(1, 1), cell(7, 9), cell(3, 3), cell(12, 6)};
  const std::vector<Picked> picked = pickAll(BLACK, 3, false, {cell(1, 1), cell(7, 9), -1}, -1, preferred);
  std::vector<int> order;
  for (const Picked& p : picked) order.push_back(p.cell);
  ASSERT_EQ(order.size(), 6u);
  EXPECT_EQ(std::vector<int>(order.begin(), order.begin() + 4),
            (std::vector<int>{cell(1, 1), cell(12, 6), cell(3, 3), cell(7, 9)}));
  EXPECT_EQ(std::set<int>(order.begin() + 4, order.end()), cellsSet({{7, 5}, {12, 5}}));
}

// The opponent's five: stage -1 alone, the one blocking cell, never pruned.
TEST_F(SearchTest, FiveThreatIsTheOnlyMove) {
  // clang-format off
  const std::vector<std::string> whiteFour = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...XOOOO.......",
      "......X........",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_FREESTYLE, whiteFour);
  const std::vector<Picked> picked = pickAll(BLACK, 3, true, {cell(1, 1), -1, -1}, cell(7, 8));
  ASSERT_EQ(picked.size(), 1u);
  EXPECT_EQ(picked[0].cell, cell(7, 8));
  EXPECT_EQ(picked[0].lmpStage, 12);
}

// Renju, White to move against Black's open three whose open-four cells are
// both forbidden: the threat is not real, so stage 1 (the two cells and the
// defence (10,6) found around the first one) does not end the node, and the
// ladder goes on.
TEST_F(SearchTest, RenjuFalseThreeDoesNotEndTheLadder) {
  // clang-format off
  const std::vector<std::string> forbiddenEnds = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".......X...X...",
      ".......X...X...",
      "...............",
      "........XXX....",
      "...............",
      ".....X...X.....",
      "....X...X......",
      "...............",
  };
  // clang-format on
  loadPosition(RULE_RENJU, forbiddenEnds);
  const std::vector<Picked> picked = pickAll(WHITE, 3, true);
  std::set<int> stageOne;
  bool later = false;
  for (const Picked& p : picked) {
    if (p.stage == 1) {
      stageOne.insert(p.cell);
      EXPECT_EQ(p.lmpStage, 1);
    }
    later |= p.stage > 1;
  }
  EXPECT_EQ(stageOne, cellsSet({{10, 7}, {10, 11}, {10, 6}}));
  EXPECT_TRUE(later);

  // Under free-style the three is real and stage 1 is all there is.
  loadPosition(RULE_FREESTYLE, forbiddenEnds);
  for (const Picked& p : pickAll(WHITE, 3, true)) EXPECT_EQ(p.stage, 1);
}

// A killer is tried in stage 6 only while the side's patterns word at its
// cell is the one recorded with it. Here Black's killer (6,6) holds; a white
// stone at (6,7) then changes Black's row value there (from 1 to 0) without
// making (6,6) a threat cell, and the killer is no longer tried as such.
TEST_F(SearchTest, StaleKillerIsNotTried) {
  loadPosition(RULE_FREESTYLE, QUIET_CENTRE);
  TW.clearKillers();
  const int depth = 3;
  TW.recordKiller(depth, cell(6, 6), BLACK);
  auto stageSix = [&]() {
    std::set<int> s;
    for (const Picked& p : pickAll(BLACK, depth, false))
      if (p.stage == 6) s.insert(p.cell);
    return s;
  };
  EXPECT_EQ(stageSix(), cellsSet({{6, 6}}));

  const int word = TW.pos.board.cellInfo[cell(6, 6)].patterns[0];
  TW.pos.placeStone(cell(6, 7), WHITE);
  ASSERT_NE(TW.pos.board.cellInfo[cell(6, 6)].patterns[0], word);
  ASSERT_FALSE(TW.inSet(ThreeCells, BLACK, cell(6, 6)));
  ASSERT_FALSE(TW.inSet(ThreeCells, WHITE, cell(6, 6)));
  EXPECT_TRUE(stageSix().empty());
  // Taking the stone back restores the word, and the killer with it.
  TW.pos.removeStone(cell(6, 7));
  EXPECT_EQ(stageSix(), cellsSet({{6, 6}}));
  TW.clearKillers();
}

// ---------------------------------------------------------------------------
// Invariants on seeded random positions.

// Random middle game: stones alternate from Black, none makes a five, under
// Renju no black stone sits on a forbidden point. The stones fall in a
// central square of side `spread`, so that threats are common. Returns the
// side to move.
int randomPosition(std::mt19937& rng, int rule, int width, int height, int stones, int spread) {
  testing_support::emptyBoard(rule, width, height);
  const int x0 = (width - spread) / 2, y0 = (height - spread) / 2;
  int placed = 0, tries = 0;
  while (placed < stones && tries++ < 10000) {
    const int x = x0 + static_cast<int>(rng() % spread), y = y0 + static_cast<int>(rng() % spread);
    const int c = cell(x, y);
    const int colour = placed % 2 == 0 ? BLACK : WHITE;
    if (TW.pos.board.cells[c] != EMPTY || TW.inSet(FiveCells, colour, c)) continue;
    if (rule == RULE_RENJU && colour == BLACK && TW.pos.isForbidden(c)) continue;
    TW.pos.placeStone(c, colour);
    placed++;
  }
  TW.pos.recordCount = placed;
  return placed % 2 == 0 ? BLACK : WHITE;
}

// The board after a search, compared with a snapshot: everything but the
// stone list beyond stoneCount (scratch the search may overwrite) and, for
// the deepening loop, the iteration depth it leaves behind.
::testing::AssertionResult sameBoard(const BoardBase& before, bool ignoreIterationDepth) {
  static BoardBase now;
  std::memcpy(&now, &TW.pos.board, sizeof TW.pos.board);
  std::memcpy(now.stones + now.stoneCount, before.stones + before.stoneCount,
              sizeof(int32_t) * (MAX_CELLS - before.stoneCount));
  if (ignoreIterationDepth) now.iterationDepth = before.iterationDepth;
  if (std::memcmp(&now, &before, sizeof now) != 0) return ::testing::AssertionFailure() << "board changed";
  if (!TW.pos.boardIsConsistent()) return ::testing::AssertionFailure() << "board inconsistent";
  return ::testing::AssertionSuccess();
}

struct Sample {
  int rule, width, height;
};
const Sample kSamples[] = {{RULE_FREESTYLE, 15, 15}, {RULE_FREESTYLE, 13, 17}, {RULE_STANDARD, 15, 15},
                           {RULE_STANDARD, 20, 20},  {RULE_RENJU, 15, 15},     {RULE_RENJU, 16, 12}};

// A fixed-depth alphaBeta, PV and null window, leaves every field of the
// board exactly as it found it.
TEST_F(SearchTest, SearchLeavesTheBoardUntouched) {
  std::mt19937 rng(31337);
  static BoardBase before;
  for (const Sample& s : kSamples) {
    for (int round = 0; round < 4; round++) {
      const int colour = randomPosition(rng, s.rule, s.width, s.height, 8 + 9 * round, 9);
      std::memcpy(&before, &TW.pos.board, sizeof TW.pos.board);
      forget();
      for (int depth : {1, 2, 3}) {
        const int v = searchNode(depth, -WIDE, WIDE, colour);
        TW.pos.board.iterationDepth = before.iterationDepth;
        EXPECT_TRUE(sameBoard(before, false)) << "rule " << s.rule << " round " << round << " depth " << depth;
        EXPECT_EQ(TW.search.stopSearch, 0);
        searchNode(depth, v - 1, v, colour);
        TW.pos.board.iterationDepth = before.iterationDepth;
        EXPECT_TRUE(sameBoard(before, false)) << "null window, rule " << s.rule << " round " << round;
      }
    }
  }
}

// The deepening loop at a fixed depth from cleared tables is a pure function
// of the position: twice the same value, move and node count. The move is
// always an empty cell on the board and, for Renju Black, not forbidden; the
// board is left as it was.
TEST_F(SearchTest, FixedDepthSearchIsDeterministicAndLegal) {
  std::mt19937 rng(4242);
  static BoardBase before;
  int renjuBlackWithForbidden = 0;
  for (const Sample& s : kSamples) {
    for (int round = 0; round < 3; round++) {
      const int colour = randomPosition(rng, s.rule, s.width, s.height, 12 + 9 * round, 8);
      bool forbiddenAbout = false;
      for (int x = 0; x < s.width; x++)
        for (int y = 0; y < s.height; y++)
          forbiddenAbout |= s.rule == RULE_RENJU && TW.pos.board.cells[cell(x, y)] == EMPTY && TW.pos.isForbidden(cell(x, y));
      if (colour == BLACK && forbiddenAbout) renjuBlackWithForbidden++;
      std::memcpy(&before, &TW.pos.board, sizeof TW.pos.board);
      int value[2], bx[2], by[2];
      int64_t nodes[2];
      for (int run = 0; run < 2; run++) {
        forget();
        TW.search.fixedDepth = 3;
        TW.search.moveBudget = TW.currentBudget(1);
        TW.search.nodeCount = 0;
        TW.search.stopSearch = 0;
        TW.search.bestX = TW.search.bestY = -1;
        TW.search.sameBestStreak = 0;
        TW.search.extendForValue = TW.search.extendForDrop = TW.search.extendForNewBest = 0;
        value[run] = TW.deepen(colour);
        bx[run] = TW.search.bestX;
        by[run] = TW.search.bestY;
        nodes[run] = TW.search.nodeCount;
        EXPECT_TRUE(sameBoard(before, true)) << "rule " << s.rule << " round " << round;
      }
      const std::string where = "rule " + std::to_string(s.rule) + " board " + std::to_string(s.width) + "x" +
                                std::to_string(s.height) + " round " + std::to_string(round);
      EXPECT_EQ(value[0], value[1]) << where;
      EXPECT_EQ(bx[0], bx[1]) << where;
      EXPECT_EQ(by[0], by[1]) << where;
      EXPECT_EQ(nodes[0], nodes[1]) << where;
      ASSERT_TRUE(bx[0] >= 0 && by[0] >= 0 && bx[0] < s.width && by[0] < s.height) << where;
      EXPECT_EQ(TW.pos.board.cells[cell(bx[0], by[0])], EMPTY) << where;
      if (s.rule == RULE_RENJU && colour == BLACK) {
        EXPECT_FALSE(TW.pos.isForbidden(cell(bx[0], by[0]))) << where;
      }
    }
  }
  // The Renju samples must include Black to move with forbidden points about.
  EXPECT_GT(renjuBlackWithForbidden, 0);
}

// The root search on its own at depths 1 to 3 chooses a legal cell too.
TEST_F(SearchTest, RootSearchChoosesLegalCells) {
  std::mt19937 rng(777);
  int renjuBlack = 0;
  for (const Sample& s : kSamples) {
    for (int round = 0; round < 3; round++) {
      const int colour = randomPosition(rng, s.rule, s.width, s.height, 20 + 9 * round, 9);
      renjuBlack += s.rule == RULE_RENJU && colour == BLACK;
      forget();
      for (int depth = 1; depth <= 3; depth++) {
        setIterationDepth(depth);
        TW.search.bestX = TW.search.bestY = -1;
        const int v = TW.searchRoot(depth, -WIDE, WIDE, colour, 0);
        if (v >= WIN_SCORE) continue;  // a win in hand is reported without a move
        ASSERT_TRUE(TW.search.bestX >= 0 && TW.search.bestY >= 0 && TW.search.bestX < s.width && TW.search.bestY < s.height)
            << "rule " << s.rule << " round " << round << " depth " << depth;
        const int c = cell(TW.search.bestX, TW.search.bestY);
        EXPECT_EQ(TW.pos.board.cells[c], EMPTY);
        if (s.rule == RULE_RENJU && colour == BLACK) {
          EXPECT_FALSE(TW.pos.isForbidden(c));
        }
      }
    }
  }
  EXPECT_GT(renjuBlack, 0);
}

}  // namespace
