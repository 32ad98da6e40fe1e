// The learned evaluation's features against a slow reference built from the
// stones alone: line windows read off the cell values (not the line words),
// fives and fours found by counting runs, codes ranked by the combinatorial
// number system (not the enumeration the tables use), counts and threat bits
// recomputed cell by cell. Random positions of every rule, on square and
// rectangular boards, with blocks, dense enough to hold fours and fives.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "board/learned_net.h"
#include "eval/features.h"
#include "search/worker.h"
#include "test_support.h"

using namespace testing_support;

namespace {

const int RAYS[4][2] = {{0, 1}, {1, 0}, {-1, 1}, {1, 1}};   // row, column, x+y, x-y, as CellInfo

int cellAt(const Position& pos, int x, int y) {
  if (x < 0 || y < 0 || x >= pos.xExtent || y >= pos.yExtent) return BLOCK;
  return pos.board.cells[cellIndex(x, y)];
}

// Run of `colour` through (x, y) along a ray with the extra stones at (x, y)
// and at (ex, ey) (when ex >= 0) placed.
int runThrough(const Position& pos, int x, int y, int dx, int dy, int colour, int ex = -1, int ey = -1) {
  auto is = [&](int u, int v) {
    return (u == x && v == y) || (ex >= 0 && u == ex && v == ey) || cellAt(pos, u, v) == colour;
  };
  int n = 1;
  for (int s = -1; s <= 1; s += 2)
    for (int t = 1; is(x + s * t * dx, y + s * t * dy); t++) n++;
  return n;
}

bool exactRule(int rule, int colour) { return rule == RULE_STANDARD || (rule == RULE_RENJU && colour == BLACK); }
bool makesFive(int rule, int colour, int run) { return exactRule(rule, colour) ? run == 5 : run >= 5; }

// The pattern value of (x, y) for `colour` along ray d: the window of 11 cells
// read from the cell values and classified.
int referencePattern(const Position& pos, int x, int y, int d, int colour) {
  uint32_t code = 0;
  for (int k = 0; k < 11; k++) code |= static_cast<uint32_t>(cellAt(pos, x + (k - 5) * RAYS[d][0], y + (k - 5) * RAYS[d][1])) << (2 * k);
  return classifyLine(code, pos.builtRule).pattern[colour - 1];
}

// Lexicographic rank of the sorted values among all sorted 4-multisets of
// 0 ... 13: as strictly increasing t_i = v_i + i in 0 ... 16, the rank of a
// 4-combination of 17.
int rankOfSorted(const int v[4]) {
  auto choose = [](int n, int k) {
    if (k < 0 || n < k) return 0;
    long r = 1;
    for (int i = 0; i < k; i++) r = r * (n - i) / (i + 1);
    return static_cast<int>(r);
  };
  int rank = 0, from = 0;
  for (int i = 0; i < 4; i++) {
    const int t = v[i] + i;
    for (int u = from; u < t; u++) rank += choose(17 - u - 1, 4 - i - 1);
    from = t + 1;
  }
  return rank;
}

void randomPosition(std::mt19937& rng, int rule) {
  static const int sizes[][2] = {{15, 15}, {20, 20}, {15, 20}, {19, 12}};
  const auto& s = sizes[rng() % 4];
  emptyBoard(rule, s[0], s[1]);
  // Stones in a window around a random centre, so that lines are crowded.
  const int stones = 5 + static_cast<int>(rng() % 70);
  const int cx = static_cast<int>(rng() % s[0]), cy = static_cast<int>(rng() % s[1]);
  const int spread = 3 + static_cast<int>(rng() % 5);
  for (int i = 0; i < stones; i++) {
    const int x = cx + static_cast<int>(rng() % (2 * spread + 1)) - spread;
    const int y = cy + static_cast<int>(rng() % (2 * spread + 1)) - spread;
    if (x < 0 || y < 0 || x >= s[0] || y >= s[1] || TW.pos.board.cells[cellIndex(x, y)] != EMPTY) continue;
    const int v = rng() % 25 == 0 ? BLOCK : BLACK + static_cast<int>(rng() % 2);
    TW.pos.placeStone(cellIndex(x, y), v, v != BLOCK);
  }
}

}  // namespace

TEST(EvalFeatures, FoldedCodesNumberEveryMultisetOnce) {
  evalBuildTables();
  std::vector<int> seen(FOLDED_CODES, 0);
  int v[4];
  for (v[0] = 0; v[0] < PATTERN_VALUES; v[0]++)
    for (v[1] = v[0]; v[1] < PATTERN_VALUES; v[1]++)
      for (v[2] = v[1]; v[2] < PATTERN_VALUES; v[2]++)
        for (v[3] = v[2]; v[3] < PATTERN_VALUES; v[3]++) {
          const int rank = rankOfSorted(v);
          ASSERT_LT(rank, FOLDED_CODES);
          seen[rank]++;
          // Every order of the directions folds to the same code.
          int p[4] = {v[0], v[1], v[2], v[3]};
          do {
            const int packed = p[0] | p[1] << 4 | p[2] << 8 | p[3] << 12;
            ASSERT_EQ(foldedCodeOf[packed], rank);
          } while (std::next_permutation(p, p + 4));
          for (int k = 0; k < 4; k++) ASSERT_EQ(foldedCodeValues[rank][k], v[k]);
        }
  for (int c = 0; c < FOLDED_CODES; c++) EXPECT_EQ(seen[c], 1) << c;
}

TEST(EvalFeatures, IncrementalFeaturesMatchReferenceOnRandomPositions) {
  evalBuildTables();
  std::mt19937 rng(2207);
  static EvalFeatures f;
  int fivesSeen = 0, foursSeen = 0, fourThreesSeen = 0;
  TE.ruleTables->useLearned = true;   // the running learned sums are checked too
  TE.ruleTables->rule = -1;
  for (int round = 0; round < 240; round++) {
    const int rule = round / 80;   // one rule after another: each switch classifies the line table again
    randomPosition(rng, rule);
    const Position& pos = TW.pos;
    evalCollect(pos, f);
    std::vector<int> counts[2], expected[2];
    for (int k = 0; k < 2; k++) {
      counts[k].assign(FOLDED_CODES, 0);
      expected[k].assign(FOLDED_CODES, 0);
    }
    for (int i = 0; i < f.cellCount; i++)
      for (int k = 0; k < 2; k++) counts[k][f.codes[k][i]]++;
    uint32_t mask = 0;
    int empties = 0;
    int jointExpected[2] = {0, 0};
    for (int x = 0; x < pos.xExtent; x++)
      for (int y = 0; y < pos.yExtent; y++) {
        if (cellAt(pos, x, y) != EMPTY) continue;
        ASSERT_EQ(f.cells[empties], cellIndex(x, y));
        int classes[2];
        for (int colour = BLACK; colour <= WHITE; colour++) {
          int v[4], fours = 0, threes = 0;
          uint32_t bits = 0;
          for (int d = 0; d < 4; d++) {
            v[d] = referencePattern(pos, x, y, d, colour);
            // Fives and fours by counting runs, without the tables.
            const int run = runThrough(pos, x, y, RAYS[d][0], RAYS[d][1], colour);
            const bool five = makesFive(rule, colour, run);
            const bool over = exactRule(rule, colour) && run > 5;
            bool four = false;
            for (int t = -4; t <= 4 && !five && !over && !four; t++) {
              const int ex = x + t * RAYS[d][0], ey = y + t * RAYS[d][1];
              if (t == 0 || cellAt(pos, ex, ey) != EMPTY) continue;
              four = makesFive(rule, colour, runThrough(pos, x, y, RAYS[d][0], RAYS[d][1], colour, ex, ey));
            }
            ASSERT_EQ(v[d] == PatFive, five) << "rule " << rule << " cell " << x << "," << y << " dir " << d;
            ASSERT_EQ(v[d] == PatOverline, over) << "rule " << rule << " cell " << x << "," << y << " dir " << d;
            ASSERT_EQ(v[d] >= PatFour && v[d] <= PatFourOpen, four)
                << "rule " << rule << " cell " << x << "," << y << " dir " << d << " value " << v[d];
            if (five) bits |= THREAT_FIVE;
            if (v[d] == PatFourOpen) bits |= THREAT_OPEN_FOUR;
            fours += four;
            threes += v[d] == PatThreeSplit || v[d] == PatThreeOpen;
          }
          if (fours) bits |= THREAT_FOUR;
          if (threes) bits |= THREAT_THREE;
          if (fours && fours + threes >= 2) bits |= THREAT_FOUR_THREE;
          mask |= bits << (THREAT_BITS * (colour - 1));
          std::sort(v, v + 4);
          const int code = rankOfSorted(v);
          ASSERT_EQ(f.codes[colour - 1][empties], code) << "rule " << rule << " cell " << x << "," << y;
          expected[colour - 1][code]++;
          classes[colour - 1] = jointClassOfValues(v[3], v[2]);
        }
        for (int k = 0; k < 2; k++) jointExpected[k] += pos.tables->learnedJoint[k][classes[k]][classes[1 - k]];
        empties++;
      }
    ASSERT_EQ(f.cellCount, empties);
    for (int k = 0; k < 2; k++) ASSERT_EQ(counts[k], expected[k]);
    ASSERT_EQ(f.threatMask, mask) << "round " << round;
    // The search reads the situation off the threat-cell sets, and the
    // learned cell values off the board's running sums.
    ASSERT_EQ(TW.threatSituation(), mask) << "round " << round;
    for (int k = 0; k < 2; k++)
      for (int r = 0; r < 2; r++) {
        int sum = 0;
        for (int i = 0; i < f.cellCount; i++) sum += pos.tables->learnedCell[k][r][f.codes[k][i]];
        ASSERT_EQ(pos.board.learnedSum[k][r], sum) << "round " << round;
      }
    for (int k = 0; k < 2; k++) ASSERT_EQ(pos.board.jointSum[k], jointExpected[k]) << "round " << round;
    // The board's own five set agrees with the five bits.
    for (int k = 0; k < 2; k++)
      ASSERT_EQ((f.threatMask >> (THREAT_BITS * k)) & THREAT_FIVE ? 1 : 0, pos.board.setSummary[FiveCells][k] != 0 ? 1 : 0);
    fivesSeen += (mask & (THREAT_FIVE | THREAT_FIVE << THREAT_BITS)) != 0;
    foursSeen += (mask & (THREAT_FOUR | THREAT_FOUR << THREAT_BITS)) != 0;
    fourThreesSeen += (mask & (THREAT_FOUR_THREE | THREAT_FOUR_THREE << THREAT_BITS)) != 0;
  }
  TE.ruleTables->useLearned = PLAY_LEARNED;
  TE.ruleTables->rule = -1;
  // The random positions reach the shapes the checks are about.
  EXPECT_GT(fivesSeen, 20);
  EXPECT_GT(foursSeen, 40);
  EXPECT_GT(fourThreesSeen, 20);
}

TEST(EvalFeatures, MoverOrientationSwapsColours) {
  const uint32_t mask = THREAT_FIVE | THREAT_THREE << THREAT_BITS;
  EXPECT_EQ(threatsOfMover(mask, BLACK), mask);
  EXPECT_EQ(threatsOfMover(mask, WHITE), THREAT_THREE | THREAT_FIVE << THREAT_BITS);
}

// The learned value read off the running sums against the same value summed
// from scratch over the empty cells' codes (the features' own reference
// above): the mover's codes in the mover's table, the opponent's in the
// opponent's, the pair of both classes at each cell in the pair table, plus
// the situation seen from the mover; under Renju the model
// follows the side to move. With the learned order, the move key of a cell is
// its attack value plus its block value.
// The network's output from scratch: every hidden unit summed over the empty
// cells in one go, in 64 bits, both roles from the mover's model.
static int netReference(int model, const EvalFeatures& f, int colour) {
  bool present = false;
  for (int h = 0; h < NET_WIDTH; h++) present |= learnedNetOut[model][h] != 0;
  if (!present) return 0;
  const int me = colour - 1, you = 2 - colour;
  int64_t sum = 0;
  for (int h = 0; h < NET_WIDTH; h++) {
    int64_t hidden = learnedNetBias[model][h] + learnedNetSituation[model][threatsOfMover(f.threatMask, colour)][h];
    for (int i = 0; i < f.cellCount; i++)
      hidden += learnedNetCell[model][0][f.codes[me][i]][h] + learnedNetCell[model][1][f.codes[you][i]][h];
    if (hidden > 0) sum += learnedNetOut[model][h] * hidden;
  }
  return learnedNetOutBias[model] + static_cast<int>(sum / (NET_HIDDEN_UNITS * NET_OUT_UNITS));
}

TEST(EvalFeatures, LearnedValueAndOrderMatchTheTables) {
  evalBuildTables();
  std::mt19937 rng(2208);
  static EvalFeatures f;
  int learnedRounds = 0;
  // Whatever the engine plays with, the tables are what is tested here.
  TE.ruleTables->useLearned = true;
  TE.ruleTables->rule = -1;
  for (int round = 0; round < 120; round++) {
    const int rule = round / 40;
    randomPosition(rng, rule);
    if (!TW.pos.tables->learned) continue;
    learnedRounds++;
    evalCollect(TW.pos, f);
    for (int colour = BLACK; colour <= WHITE; colour++) {
      const int me = colour - 1, you = 2 - colour;
      const int model = rule == RULE_RENJU ? 2 + me : rule;
      int expected = learnedSituation[model][threatsOfMover(f.threatMask, colour)];
      for (int i = 0; i < f.cellCount; i++)
        expected += learnedValue[model][0][f.codes[me][i]] + learnedValue[model][1][f.codes[you][i]] +
                    learnedJointValue[model][jointClassOfCode[f.codes[me][i]] * JOINT_CLASSES +
                                             jointClassOfCode[f.codes[you][i]]];
      expected += netReference(model, f, colour);
      ASSERT_EQ(TW.learnedEval(colour), expected) << "round " << round << " colour " << colour;
      if (rule != RULE_RENJU) {
        ASSERT_EQ(TW.threatEval(0, colour), expected) << "round " << round;
      }
      if (!TW.pos.tables->learnedMoves) continue;
      for (int i = 0; i < f.cellCount; i++)
        ASSERT_EQ(TW.orderKey(f.cells[i], colour, 0),
                  -(learnedAttack[model][f.codes[me][i]] + learnedBlock[model][f.codes[you][i]]));
    }
  }
  TE.ruleTables->useLearned = PLAY_LEARNED;
  TE.ruleTables->rule = -1;
  // Free style and standard have their models at least.
  EXPECT_GE(learnedRounds, 80);
}
