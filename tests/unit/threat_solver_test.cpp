// The threat-sequence solver against known answers and against the slow
// reference of threat_reference.h. The solver may miss wins, but every win it
// claims must be one the reference confirms within the claimed length.
#include "search/threat_solver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "test_support.h"
#include "threat_reference.h"

namespace {

using testing_support::loadPosition;
using testing_support::ThreatReference;
using Diagram = std::vector<std::string>;

// ---------------------------------------------------------------------------
// Running the solver.

ThreatCache& sharedCache() {
  static ThreatCache cache;
  if (!cache.buckets) cache.init(size_t{1} << 22);
  return cache;
}

ThreatSolver& solver() {
  static std::unique_ptr<ThreatSolver> s(new ThreatSolver);
  s->cache = &sharedCache();
  s->pos = &TW.pos;
  return *s;
}

std::string dump() {
  std::string s;
  for (int x = 0; x < TW.pos.xExtent; x++) {
    for (int y = 0; y < TW.pos.yExtent; y++) s += ".XO#"[TW.pos.board.cells[cellIndex(x, y)]];
    s += '\n';
  }
  return s;
}

std::string cellName(int cell) {
  if (cell == NO_CELL) return "(any)";
  return "(" + std::to_string(cellX(cell)) + "," + std::to_string(cellY(cell)) + ")";
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

// Solves with a fresh cache and checks what every call must keep: the board
// exactly as found and consistent, an odd length within the limit, a first
// move on an empty cell, and the same answer again from the filled cache.
int solveChecked(int attacker, int maxPlies, int64_t budget = 2000000, int* firstMove = nullptr) {
  ThreatSolver& s = solver();
  s.cache->clear();
  static BoardBase before;
  before = TW.pos.board;
  int move = NO_CELL;
  const int value = s.solve(attacker, budget, maxPlies, &move);
  EXPECT_TRUE(sameBoard(before, TW.pos.board)) << "board changed by the solver\n" << dump();
  EXPECT_TRUE(TW.pos.boardIsConsistent());
  if (value > 0) {
    EXPECT_EQ(1, value % 2) << value;
    EXPECT_LE(value, maxPlies);
    EXPECT_TRUE(TW.pos.onBoard(move) && TW.pos.board.cells[move] == EMPTY) << cellName(move);
    int again = NO_CELL;
    EXPECT_EQ(value, s.solve(attacker, budget, maxPlies, &again)) << "second call\n" << dump();
  }
  if (firstMove) *firstMove = move;
  return value;
}

// Plays the solver's line on the engine board and checks that it is a game:
// the attacker's moves are legal threats (after each the defender must
// answer a five cell or the attacker has a legal move to two five cells), the
// defender's moves are legal, and the line ends with the attacker's five.
// A defender move the model leaves open is played as the first legal cell
// after which the attacker keeps a move to two five cells.
void checkLine(int attacker, int claimed) {
  ThreatSolver& s = solver();
  int line[THREAT_STACK];
  const int n = s.principalLine(line, THREAT_STACK, 2000000);
  ASSERT_GT(n, 0) << "no line for a claimed win\n" << dump();
  EXPECT_EQ(claimed, n) << "line length differs from the claim\n" << dump();
  ThreatReference ref;
  const int defender = attacker ^ 3;
  std::vector<int> placed;
  std::string text;
  bool fived = false;
  for (int i = 0; i < n && !fived; i++) {
    const int colour = i % 2 == 0 ? attacker : defender;
    int cell = line[i];
    if (cell == NO_CELL) {
      ASSERT_EQ(defender, colour) << "the attacker's move is missing";
      for (int c = 0; c < CELL_SLOTS && cell == NO_CELL; c++) {
        if (!TW.pos.onBoard(c) || TW.pos.board.cells[c] != EMPTY || !ref.legal(defender, c)) continue;
        if (ref.makesFive(cellX(c), cellY(c), defender)) continue;
        ref.place(c, defender);
        int f = NO_CELL;
        bool keeps = false;
        for (int e = 0; e < CELL_SLOTS && !keeps; e++) {
          if (!TW.pos.onBoard(e) || TW.pos.board.cells[e] != EMPTY || !ref.legal(attacker, e)) continue;
          ref.place(e, attacker);
          keeps = ref.fiveCells(attacker, 2, &f) >= 2;
          ref.remove(e);
        }
        ref.remove(c);
        if (keeps) cell = c;
      }
      if (cell == NO_CELL) continue;  // no such cell: the defender passes in effect
    }
    text += cellName(cell) + " ";
    ASSERT_TRUE(TW.pos.onBoard(cell) && TW.pos.board.cells[cell] == EMPTY) << text << "\n" << dump();
    ASSERT_TRUE(ref.legal(colour, cell)) << "illegal move in line " << text << "\n" << dump();
    ASSERT_FALSE(colour == defender && ref.makesFive(cellX(cell), cellY(cell), defender)) << text;
    if (colour == attacker && ref.makesFive(cellX(cell), cellY(cell), attacker)) {
      fived = true;
      EXPECT_EQ(n - 1, i) << "five before the end of the line " << text;
      break;
    }
    ref.place(cell, colour);
    placed.push_back(cell);
    if (colour == attacker) {
      int f = NO_CELL;
      const bool four = ref.fiveCells(attacker, 1, &f) > 0;
      bool three = false;
      for (int e = 0; e < CELL_SLOTS && !four && !three; e++) {
        if (!TW.pos.onBoard(e) || TW.pos.board.cells[e] != EMPTY || !ref.legal(attacker, e)) continue;
        ref.place(e, attacker);
        three = ref.fiveCells(attacker, 2, &f) >= 2;
        ref.remove(e);
      }
      EXPECT_TRUE(four || three) << "attacker's move is no threat: " << text << "\n" << dump();
    }
  }
  EXPECT_TRUE(fived) << "the line does not end with a five: " << text << "\n" << dump();
  while (!placed.empty()) {
    ref.remove(placed.back());
    placed.pop_back();
  }
  EXPECT_TRUE(TW.pos.boardIsConsistent());
}

// A position with a known length (0: no win within maxPlies): the solver's
// answer, the reference's confirmation, and the line.
void expectSolve(int rule, const Diagram& rows, int attacker, int maxPlies, int expected) {
  loadPosition(rule, rows);
  SCOPED_TRACE("rule " + std::to_string(rule) + ", attacker " + std::to_string(attacker) + "\n" + dump());
  const int value = solveChecked(attacker, maxPlies);
  EXPECT_EQ(expected, value);
  ThreatReference ref;
  if (expected > 0) {
    EXPECT_EQ(1, ref.wins(attacker, expected)) << "the reference does not find the win";
    EXPECT_EQ(0, ThreatReference().wins(attacker, expected - 2)) << "the reference finds a shorter win";
    if (value == expected) checkLine(attacker, value);
  } else {
    EXPECT_EQ(0, ref.wins(attacker, maxPlies)) << "the known answer assumes no win";
  }
}

Diagram swapColours(Diagram rows) {
  for (std::string& row : rows)
    for (char& c : row) c = c == 'X' ? 'O' : c == 'O' ? 'X' : c;
  return rows;
}

// ---------------------------------------------------------------------------
// Known answers.

// Black's four on row 5: five at once.
const Diagram fourOnBoard = {
    "...........", "...........", "...........", "...........", "...O.......", "..OXXXX....",
    "...........", "...........", "...........", "...........", "...........",
};

// Black's open three on row 5: open four, block, five.
const Diagram openThree = {
    "...........", "...........", "...........", "...........", "...........", "....XXX....",
    "...........", "........O..", "..O........", "...........", "...........",
};

// Black plays (5,5): open threes on row 5 and column 5 at once. White has
// nothing to answer with, so the double three wins in five plies.
const Diagram doubleThree = {
    "...........", "...........", "...........", ".....X.....", ".....X.....", "...XX......",
    "...........", "........O..", ".O.........", "...........", "..........O",
};

// As doubleThree, but White has an open three of his own: any black three is
// met by White's open four, and Black has no four to play.
const Diagram doubleThreeAgainstThree = {
    "...........", "...........", "...........", ".....X.....", ".....X.....", "...XX......",
    "...........", "...........", "...........", "...OOO.....", "...........",
};

// Black plays (5,6): a four on row 5 (XXX_X, five cell (5,5)) and a four on
// column 6 closed at (1,6) (five cell (6,6)). White's stones at (3,5) and
// (4,5) leave Black nothing else.
const Diagram doubleFour = {
    "...........", "......O....", "......X....", ".....OX....", ".....OX....", ".OXXX......",
    "...........", "...........", "..........O", "...........", "...........",
};

// Black plays (5,5): a four on row 5 (five cell (5,6)) and an open three on
// column 5; White's block at (5,6) leaves the three, which becomes an open
// four.
const Diagram fourThree = {
    "...........", "...........", "...........", ".....X.....", ".....X.....", ".OXXX......",
    "...........", "...........", "..........O", "...........", "...........",
};

// fourThree with a second three through (5,5) on the x-y diagonal, (6,6) and
// (7,7): a four and two threes, which under Renju is a forbidden double three.
const Diagram fourThreeThree = {
    "...........", "...........", "...........", ".....X.....", ".....X.....", ".OXXX......",
    "...O..X....", ".......X...", "..........O", "...........", "...........",
};

// Black to move. (5,4) would make five, but with the stone at (5,6) it makes
// six: a win in free style, nothing under the exact-five rules, where Black
// has no other threat.
const Diagram overlineOnly = {
    "...........", "...........", "...........", "...........", "...........", "..XX.XXXO..",
    "...........", "...........", "...........", "...........", "...........",
};

// White to move plays (3,6): a four on row 3 closed by Black at (3,2), whose
// only five cell (3,7) is a double-three point of Black (column 7 and the
// x+y diagonal). Under Renju Black cannot block there.
const Diagram blockOnForbidden = {
    "...........", "...........", "...........", "..XOOO.....", "......XX...", ".....X.X...",
    "...........", "...........", "..........O", "...........", "...........",
};

}  // namespace

TEST(ThreatSolver, FiveAndOpenFourAtOnce) {
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    expectSolve(rule, fourOnBoard, BLACK, 9, 1);
    expectSolve(rule, openThree, BLACK, 9, 3);
    expectSolve(rule, swapColours(openThree), WHITE, 9, 3);
  }
}

TEST(ThreatSolver, DoubleThreeWinsExceptForBlackUnderRenju) {
  expectSolve(RULE_FREESTYLE, doubleThree, BLACK, 9, 5);
  expectSolve(RULE_STANDARD, doubleThree, BLACK, 9, 5);
  expectSolve(RULE_RENJU, swapColours(doubleThree), WHITE, 9, 5);
  // Under Renju (5,5) is a forbidden double three for Black.
  loadPosition(RULE_RENJU, doubleThree);
  ASSERT_EQ(1, TW.pos.isForbidden(cellIndex(5, 5)));
  expectSolve(RULE_RENJU, doubleThree, BLACK, 7, 0);
}

TEST(ThreatSolver, CounterFourRefutesThrees) {
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) expectSolve(rule, doubleThreeAgainstThree, BLACK, 7, 0);
}

TEST(ThreatSolver, DoubleFourIsForbiddenForBlackUnderRenju) {
  expectSolve(RULE_FREESTYLE, doubleFour, BLACK, 9, 3);
  expectSolve(RULE_STANDARD, doubleFour, BLACK, 9, 3);
  expectSolve(RULE_RENJU, swapColours(doubleFour), WHITE, 9, 3);
  loadPosition(RULE_RENJU, doubleFour);
  ASSERT_EQ(1, TW.pos.isForbidden(cellIndex(5, 6)));
  expectSolve(RULE_RENJU, doubleFour, BLACK, 11, 0);
}

TEST(ThreatSolver, FourThreeWinsUnderEveryRule) {
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    expectSolve(rule, fourThree, BLACK, 9, 5);
    expectSolve(rule, swapColours(fourThree), WHITE, 9, 5);
  }
  loadPosition(RULE_RENJU, fourThree);
  EXPECT_EQ(0, TW.pos.isForbidden(cellIndex(5, 5)));
}

TEST(ThreatSolver, OverlineWinsOnlyInFreeStyle) {
  expectSolve(RULE_FREESTYLE, overlineOnly, BLACK, 9, 1);
  expectSolve(RULE_STANDARD, overlineOnly, BLACK, 9, 0);
  expectSolve(RULE_RENJU, overlineOnly, BLACK, 9, 0);
}

TEST(ThreatSolver, BlackCannotDefendOnForbiddenPoint) {
  loadPosition(RULE_RENJU, blockOnForbidden);
  ASSERT_EQ(1, TW.pos.isForbidden(cellIndex(3, 7)));
  expectSolve(RULE_RENJU, blockOnForbidden, WHITE, 9, 3);
  // The same stones in free style: Black blocks, and the four alone wins
  // nothing in three plies.
  loadPosition(RULE_FREESTYLE, blockOnForbidden);
  const int value = solveChecked(WHITE, 9);
  EXPECT_NE(3, value);
  if (value > 0) {
    EXPECT_EQ(1, ThreatReference().wins(WHITE, value));
  }
}

// Under Renju Black still has longer wins here, by fours and threes around
// the forbidden point; whichever the solver claims must not begin there, and
// must be real.
TEST(ThreatSolver, FourThreeThreeIsForbiddenForBlackUnderRenju) {
  expectSolve(RULE_FREESTYLE, fourThreeThree, BLACK, 9, 5);
  loadPosition(RULE_RENJU, fourThreeThree);
  ASSERT_EQ(1, TW.pos.isForbidden(cellIndex(5, 5)));
  ASSERT_EQ(0, ThreatReference().wins(BLACK, 5));
  int move = NO_CELL;
  const int value = solveChecked(BLACK, 11, 2000000, &move);
  EXPECT_TRUE(value == 0 || value >= 7) << value;
  if (value > 0) {
    EXPECT_NE(cellIndex(5, 5), move);
    EXPECT_EQ(1, ThreatReference().wins(BLACK, value));
    checkLine(BLACK, value);
  }
}

// ---------------------------------------------------------------------------
// Random positions against the reference.

namespace {

// A crowded random position on a small board: stones of both colours dropped
// next to earlier ones, none completing five, so that threats of every kind
// (and Renju forbidden points) are common.
void randomPosition(std::mt19937& rng, int rule, int width, int height, int stones) {
  testing_support::emptyBoard(rule, width, height);
  int colour = BLACK;
  for (int placed = 0, tries = 0; placed < stones && tries < 20 * stones; tries++) {
    int cell;
    if (placed == 0) {
      cell = cellIndex(width / 2, height / 2);
    } else {
      const int anchor = TW.pos.board.stones[rng() % TW.pos.board.stoneCount];
      const int x = cellX(anchor) + static_cast<int>(rng() % 5) - 2,
                y = cellY(anchor) + static_cast<int>(rng() % 5) - 2;
      if (x < 0 || y < 0 || x >= width || y >= height) continue;
      cell = cellIndex(x, y);
    }
    if (TW.pos.board.cells[cell] != EMPTY || TW.inSet(FiveCells, colour, cell)) continue;
    TW.pos.placeStone(cell, colour);
    placed++;
    colour ^= 3;
  }
}

struct Tally {
  int claims = 0, confirmed = 0, undecided = 0, refuted = 0;
  int shorterExists = 0;  // the reference wins in fewer plies than claimed
  int noClaim = 0, missed = 0;
  int byLength[THREAT_STACK] = {};
};

}  // namespace

// Every claimed win is confirmed by the reference within the claimed length.
// The reference's defender tries every legal move, so a confirmation proves
// the claim without any theory of which defences matter.
TEST(ThreatSolver, RandomClaimsAreRealWins) {
  std::mt19937 rng(testing_support::TEST_SEED);
  const int sizes[][2] = {{9, 9}, {10, 10}, {11, 9}, {12, 12}};
  constexpr int ROUNDS = 100, MAX_PLIES = 11, MISS_PLIES = 7;
  Tally all[3];
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    Tally& t = all[rule];
    for (int round = 0; round < ROUNDS; round++) {
      const int* size = sizes[round % 4];
      randomPosition(rng, rule, size[0], size[1], 10 + static_cast<int>(rng() % 22));
      // Positions with a four or an open three on the board are decided in
      // one or three plies; the interesting ones have neither.
      if (!TW.setEmpty(FiveCells, BLACK) || !TW.setEmpty(FiveCells, WHITE) || !TW.setEmpty(OpenFourCells, BLACK) ||
          !TW.setEmpty(OpenFourCells, WHITE))
        continue;
      ThreatReference probe;
      if (probe.hasFiveOnBoard()) continue;
      for (int attacker : {BLACK, WHITE}) {
        SCOPED_TRACE("rule " + std::to_string(rule) + ", attacker " + std::to_string(attacker) + "\n" + dump());
        const int value = solveChecked(attacker, MAX_PLIES, 20000);
        if (value > 0) {
          t.claims++;
          t.byLength[value]++;
          const int verdict = ThreatReference().wins(attacker, value);
          if (verdict == 1) t.confirmed++;
          if (verdict == -1) t.undecided++;
          if (verdict == 0) t.refuted++;
          EXPECT_NE(0, verdict) << "claimed a win in " << value << " plies that is not there";
          if (value >= 3 && ThreatReference().wins(attacker, value - 2) == 1) t.shorterExists++;
          if (verdict == 1) checkLine(attacker, value);
        } else if (!solver().aborted) {
          t.noClaim++;
          if (ThreatReference().wins(attacker, MISS_PLIES, 400000) == 1) t.missed++;
        }
      }
    }
    printf(
        "rule %d: %d claims, %d confirmed, %d undecided, %d refuted, %d with a shorter win; "
        "%d without a claim, %d of them won within %d plies by the reference\n",
        rule, t.claims, t.confirmed, t.undecided, t.refuted, t.shorterExists, t.noClaim, t.missed, MISS_PLIES);
    printf("  claims by length:");
    for (int n = 1; n <= MAX_PLIES; n += 2) printf(" %d: %d", n, t.byLength[n]);
    printf("\n");
    EXPECT_GE(t.confirmed, 10) << "too few wins to test";
    EXPECT_GE(t.byLength[7] + t.byLength[9], 3) << "too few long wins to test";
    EXPECT_LE(t.undecided * 10, t.claims);
  }
}

// The defender's modelled replies after an attacker's threat, against every
// legal reply tried on the TW.pos.board. A reply the model leaves out must lose at
// once: against a four the attacker still has a five cell; against a three
// the defender made no four and the attacker keeps a legal move to two five
// cells. Outside Renju the model names no reply beyond those that make a
// four or leave the attacker no straight four. The model's threes are the
// threats of a straight four; a move that only threatens two fours at once is
// no three to it (the solver still finds the double four when it is a move).
TEST(ThreatSolver, DefencesCoverEveryReplyThatDoesNotLoseAtOnce) {
  std::mt19937 rng(testing_support::TEST_SEED + 1);
  int threesSeen = 0, foursSeen = 0, extraUnderRenju = 0, doubleFourThreats = 0;
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    for (int round = 0; round < 100; round++) {
      randomPosition(rng, rule, 11 + round % 3, 11, 10 + static_cast<int>(rng() % 24));
      for (int attacker : {BLACK, WHITE}) {
        const int defender = attacker ^ 3;
        // Only positions where neither side has a five cell and the attacker
        // has no move to two five cells: the situation before a threat.
        if (!TW.setEmpty(FiveCells, BLACK) || !TW.setEmpty(FiveCells, WHITE)) continue;
        ThreatReference ref;
        if (ref.hasFiveOnBoard() || ref.hasStraightFourMove(attacker)) continue;
        for (int t = 0; t < CELL_SLOTS; t++) {
          if (!TW.pos.onBoard(t) || TW.pos.board.cells[t] != EMPTY || !ref.legal(attacker, t)) continue;
          if (ref.makesFive(cellX(t), cellY(t), attacker)) continue;
          ref.place(t, attacker);
          int block = NO_CELL;
          const int fives = ref.fiveCells(attacker, 2, &block);
          const bool threat = fives == 0 && ref.hasStraightFourMove(attacker);
          if (fives == 1 || threat) {
            SCOPED_TRACE("rule " + std::to_string(rule) + ", attacker " + std::to_string(attacker) + " after " +
                         cellName(t) + "\n" + dump());
            ThreatSolver& s = solver();
            s.attacker = attacker;
            s.defender = defender;
            s.rule = rule;
            int replies[MAX_CELLS];
            const int n = s.defenderReplies(replies);
            std::vector<bool> modelled(CELL_SLOTS, false);
            for (int i = 0; i < n; i++) modelled[replies[i]] = true;
            if (fives == 1) {
              foursSeen++;
              if (ref.legal(defender, block)) {
                EXPECT_EQ(1, n);
                EXPECT_TRUE(n >= 1 && replies[0] == block) << cellName(block);
              } else {
                EXPECT_EQ(-1, n) << "Black cannot block on a forbidden point";
              }
            } else {
              threesSeen++;
              const bool open = ref.hasOpenFourMove(attacker);
              if (!open) doubleFourThreats++;
              if (n >= 0) {
                EXPECT_TRUE(open) << "modelled as a three without a straight four";
              }
              if (n < 0 && open && rule != RULE_RENJU) {
                EXPECT_TRUE(ref.hasOpenFourMove(defender)) << "three left out of the model";
              }
              for (int m = 0; m < CELL_SLOTS && n >= 0; m++) {
                if (!TW.pos.onBoard(m) || TW.pos.board.cells[m] != EMPTY || !ref.legal(defender, m)) continue;
                ref.place(m, defender);
                const bool counterFour = ref.fiveCells(defender, 1) > 0;
                const bool stopsAll = !ref.hasStraightFourMove(attacker);
                const bool stopsOpen = !ref.hasOpenFourMove(attacker);
                ref.remove(m);
                if (counterFour || stopsAll) {
                  EXPECT_TRUE(modelled[m]) << "reply " << cellName(m) << " left out";
                }
                if (modelled[m] && !counterFour && !stopsOpen) {
                  if (rule == RULE_RENJU)
                    extraUnderRenju++;
                  else
                    ADD_FAILURE() << "reply " << cellName(m) << " keeps a straight four but is modelled";
                }
              }
            }
          }
          ref.remove(t);
        }
      }
    }
  }
  printf(
      "%d fours and %d threes checked (%d threatening only two fours); %d replies under Renju modelled beyond "
      "need\n",
      foursSeen, threesSeen, doubleFourThreats, extraUnderRenju);
  EXPECT_GE(threesSeen, 200);
  EXPECT_GE(foursSeen, 100);
}

// The cache: what is stored comes back merged, a foreign key or a torn entry
// (lock of one store, data of another) never matches.
TEST(ThreatSolver, CacheEntriesAreCheckedByKey) {
  ThreatCache cache;
  ASSERT_TRUE(cache.init(4096));
  const uint64_t key = 0x0123456789abcdefull, other = key ^ (uint64_t{1} << 40);
  ThreatFacts f;
  EXPECT_FALSE(cache.probe(key, f));
  cache.store(key, ThreatFacts{0, 9, NO_CELL});
  ASSERT_TRUE(cache.probe(key, f));
  EXPECT_EQ(0, f.winPlies);
  EXPECT_EQ(9, f.failPlies);
  EXPECT_EQ(NO_CELL, f.move);
  cache.store(key, ThreatFacts{13, 0, cellIndex(21, 21)});
  ASSERT_TRUE(cache.probe(key, f));
  EXPECT_EQ(13, f.winPlies);
  EXPECT_EQ(9, f.failPlies) << "a later win keeps the earlier failure depth";
  EXPECT_EQ(cellIndex(21, 21), f.move);
  cache.store(key, ThreatFacts{15, TE_FAIL_ALWAYS - 1, cellIndex(0, 0)});
  ASSERT_TRUE(cache.probe(key, f));
  EXPECT_EQ(13, f.winPlies) << "the shorter win stays";
  EXPECT_EQ(cellIndex(21, 21), f.move);
  EXPECT_EQ(TE_FAIL_ALWAYS - 1, f.failPlies);
  EXPECT_FALSE(cache.probe(other, f));
  // Tear the entry: keep its lock, change its data.
  ThreatBucket& bucket = cache.buckets[key & cache.bucketMask];
  for (ThreatEntry& e : bucket.entry)
    if (e.data.load() != 0) e.data.store(e.data.load() ^ (uint64_t{1} << TE_WIN_SHIFT));
  EXPECT_FALSE(cache.probe(key, f));
  cache.clear();
  EXPECT_FALSE(cache.probe(key, f));
  // A full bucket: new keys keep being stored, the current one always.
  for (uint64_t k = 1; k <= 64; k++) {
    const uint64_t spread = k << 40 | (key & cache.bucketMask);
    cache.store(spread, ThreatFacts{static_cast<int>(k % 60) + 1, 0, NO_CELL});
    ASSERT_TRUE(cache.probe(spread, f));
    EXPECT_EQ(static_cast<int>(k % 60) + 1, f.winPlies);
  }
}

// A run out of budget leaves the board as it was and claims nothing; a cache
// of one bucket, replaced all the time, gives the same answers as a large one.
TEST(ThreatSolver, BudgetAndCacheSizeDoNotChangeClaims) {
  std::mt19937 rng(testing_support::TEST_SEED + 2);
  ThreatCache tiny;
  ASSERT_TRUE(tiny.init(sizeof(ThreatBucket)));
  std::unique_ptr<ThreatSolver> small(new ThreatSolver);
  small->cache = &tiny;
  small->pos = &TW.pos;
  int compared = 0, stopped = 0;
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    for (int round = 0; round < 30; round++) {
      randomPosition(rng, rule, 15, 15, 14 + static_cast<int>(rng() % 20));
      for (int attacker : {BLACK, WHITE}) {
        SCOPED_TRACE("rule " + std::to_string(rule) + ", attacker " + std::to_string(attacker) + "\n" + dump());
        static BoardBase before;
        before = TW.pos.board;
        ThreatSolver& s = solver();
        s.cache->clear();
        const int starved = s.solve(attacker, 40, 15, nullptr);
        if (s.aborted) {
          stopped++;
          EXPECT_EQ(0, starved);
        }
        EXPECT_TRUE(sameBoard(before, TW.pos.board)) << "board changed by a stopped run";
        s.cache->clear();
        const int value = s.solve(attacker, 400000, 15, nullptr);
        if (s.aborted) continue;
        tiny.clear();
        const int again = small->solve(attacker, 4000000, 15, nullptr);
        if (small->aborted) continue;
        EXPECT_EQ(value, again);
        EXPECT_TRUE(sameBoard(before, TW.pos.board));
        compared++;
      }
    }
  }
  EXPECT_TRUE(TW.pos.boardIsConsistent());
  EXPECT_GE(compared, 100);
  EXPECT_GE(stopped, 20);
}

// A raised stop flag ends a solve like a spent budget: no claim, board intact.
// The position is from self-play: White to move wins in 29 plies, a proof of
// about a million nodes.
TEST(ThreatSolver, StopFlagEndsTheSolve) {
  testing_support::emptyBoard(RULE_FREESTYLE, 15, 15);
  const int moves[][2] = {{5, 9}, {5, 8},  {7, 9},  {6, 9}, {6, 10}, {7, 11}, {4, 7}, {5, 11},
                          {4, 8}, {6, 11}, {4, 11}, {4, 9}, {3, 7},  {2, 6},  {5, 7}};
  int colour = BLACK;
  for (const auto& m : moves) {
    TW.pos.placeStone(cellIndex(m[0], m[1]), colour);
    colour ^= 3;
  }
  ThreatSolver& s = solver();
  std::atomic<int32_t> stop{1};
  s.stop = &stop;
  s.cache->clear();
  static BoardBase before;
  before = TW.pos.board;
  EXPECT_EQ(0, s.solve(WHITE, 1 << 30, 31, nullptr));
  EXPECT_TRUE(s.aborted);
  EXPECT_EQ(STOP_POLL_NODES, s.nodes);
  EXPECT_TRUE(sameBoard(before, TW.pos.board));
  stop = 0;
  s.cache->clear();
  EXPECT_EQ(0, s.solve(WHITE, 5000, 31, nullptr));
  EXPECT_TRUE(s.aborted) << "the win takes more than 5,000 nodes";
  EXPECT_EQ(5001, s.nodes);
  s.stop = nullptr;
}

// White's split three on row 7 (7,4) (7,5) _ (7,7): its gap (7,6) is the
// open-four cell, and under Renju a double-three point of Black (column 6 and
// the x+y diagonal), so Black may defend only at the ends.
TEST(ThreatSolver, BlackCannotDefendAThreeOnAForbiddenPoint) {
  // clang-format off
  const Diagram rows = {
      "...............", "...............", "...............", "...............", "...............",
      "......X.X......", "......XX.......", "....OO.O.......", "...............", "...............",
      "...............", "...............", "...............", "...............", "...............",
  };
  // clang-format on
  for (int rule : {RULE_FREESTYLE, RULE_RENJU}) {
    loadPosition(rule, rows);
    SCOPED_TRACE("rule " + std::to_string(rule) + "\n" + dump());
    ThreatSolver& s = solver();
    s.attacker = WHITE;
    s.defender = BLACK;
    s.rule = rule;
    int replies[MAX_CELLS];
    const int n = s.defenderReplies(replies);
    std::vector<int> got(replies, replies + std::max(n, 0));
    std::sort(got.begin(), got.end());
    std::vector<int> expected = {cellIndex(7, 3), cellIndex(7, 6), cellIndex(7, 8)};
    if (rule == RULE_RENJU) {
      EXPECT_EQ(1, TW.pos.isForbidden(cellIndex(7, 6)));
      expected = {cellIndex(7, 3), cellIndex(7, 8)};
    }
    EXPECT_EQ(expected, got);
  }
}
