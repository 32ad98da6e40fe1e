// Line pattern tables checked against a slow classifier written here from the
// rules of the five-cell window table and the window scan, plus hand-computed
// values of the combination, weight and search tables.
//
// The reference below never calls classifyLine or reads windowTable: it spells
// every window out as a string of 'X' and '_' and matches it against the shape
// rows in their order, so a slip in the engine's bit arithmetic (a shifted
// occupancy, a swapped end flag, an off-by-one window start) shows up as a
// mismatch on some code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

#include "board/board.h"
#include "board/pattern_tables.h"
#include "test_support.h"

namespace {

using testing_support::emptyBoard;

// ---------------------------------------------------------------------------
// Reference classifier.

// Value of one five-cell window for the side that owns its stones. `shape` is
// five characters, 'X' for a stone (the centre stone included) and '_' for an
// empty cell, low end first; bb / ba say whether the cell just before / just
// after the window is blocked for this side.
int referenceWindow(const std::string& shape, bool bb, bool ba) {
  const int stones = static_cast<int>(std::count(shape.begin(), shape.end(), 'X'));
  if (stones == 5) return 12;
  if (stones == 4) {
    if (shape == "XXXX_") return bb ? 9 : 11;
    if (shape == "_XXXX") return ba ? 9 : 11;
    if (shape == "XXX_X") return bb ? 9 : 10;
    if (shape == "X_XXX") return ba ? 9 : 10;
    return 9;  // XX_XX, the only four-stone shape left
  }
  if (stones == 3) {
    if (shape == "XXX__") return bb ? 6 : 8;
    if (shape == "__XXX") return ba ? 6 : 8;
    if (shape == "_XXX_") return (bb && ba) ? 6 : 8;
    if (shape == "XX_X_" || shape == "X_XX_") return bb ? 6 : 7;
    if (shape == "_XX_X" || shape == "_X_XX") return ba ? 6 : 7;
    return 6;  // XX__X, X_X_X, X__XX
  }
  const size_t first = shape.find('X'), last = shape.rfind('X');
  if (stones == 2) {
    if (bb && ba) return 1;
    if (shape == "X___X") return 1;
    if ((first == 0 && bb) || (last == 4 && ba)) return 2;
    const size_t gap = last - first - 1;
    return gap == 0 ? 5 : gap == 1 ? 4 : 3;
  }
  // One stone: the centre alone.
  if (bb && ba) return 0;
  if ((first == 0 && bb) || (first == 4 && ba)) return 0;
  return 1;
}

bool exactFiveApplies(int rule, int colour) {
  return rule == RULE_STANDARD || (rule == RULE_RENJU && colour == BLACK);
}

LineEntry referenceClassify(uint32_t code, int rule) {
  int cell[11];
  for (int k = 0; k < 11; k++) cell[k] = static_cast<int>((code >> (2 * k)) & 3);
  LineEntry result{{0, 0}, {0, 0}};
  if (cell[5] != EMPTY) return result;

  for (int colour = BLACK; colour <= WHITE; colour++) {
    const int other = BLACK + WHITE - colour;
    auto blocking = [&](int v) { return v == other || v == BLOCK; };
    int best = 0;
    bool overline = false;
    for (int start = 1; start <= 5; start++) {
      // The window may hold only empty cells, the centre and this colour.
      bool usable = true;
      std::string shape;
      for (int k = start; k < start + 5; k++) {
        const int v = cell[k];
        if (v == other || v == BLOCK) usable = false;
        shape += (k == 5 || v == colour) ? 'X' : '_';
      }
      if (!usable) continue;
      const bool bb = start == 1 || blocking(cell[start - 1]);
      const bool ba = start == 5 || blocking(cell[start + 5]);
      const int v = referenceWindow(shape, bb, ba);
      if (v <= best) continue;
      const bool touching = cell[start - 1] == colour || cell[start + 5] == colour;
      if (exactFiveApplies(rule, colour) && touching) {
        if (v == 12) overline = true;
        continue;
      }
      best = v;
    }
    int value = overline ? 13 : best;
    if (value == 11 && exactFiveApplies(rule, colour)) {
      // Where the straight four's run ends, one more own stone just past the
      // completing cell turns that completion into an overline.
      int k = 4;
      while (k >= 1 && cell[k] == colour) k--;
      const bool left = (k >= 1) ? cell[k - 1] == colour : cell[0] == colour;
      k = 6;
      while (k <= 9 && cell[k] == colour) k++;
      const bool right = (k <= 9) ? cell[k + 1] == colour : cell[10] == colour;
      if (left && right) value = 0;
      else if (left || right) value = 9;
    }
    int room = 0;
    for (int k = 4; k >= 1; k--) {
      if (cell[k] != EMPTY && cell[k] != colour) break;
      room++;
    }
    for (int k = 6; k <= 9; k++) {
      if (cell[k] != EMPTY && cell[k] != colour) break;
      room++;
    }
    result.pattern[colour - 1] = static_cast<int16_t>(value);
    result.room[colour - 1] = static_cast<int16_t>(room);
  }
  return result;
}

// A code from an 11-character picture of the window, cell 0 first:
// '.' empty, 'X' black, 'O' white, '#' block or border.
uint32_t codeOf(const std::string& picture) {
  uint32_t code = 0;
  for (int k = 0; k < 11; k++) code |= static_cast<uint32_t>(testing_support::cellValueOf(picture[k])) << (2 * k);
  return code;
}

std::string describe(uint32_t code) {
  std::string s;
  for (int k = 0; k < 11; k++) s += ".XO#"[(code >> (2 * k)) & 3];
  return s;
}

// Builds the engine's tables for a rule (only the line table classification
// depends on the rule; building it once per rule keeps the tests quick).
void useRule(int rule) { emptyBoard(rule, 15, 15); }

::testing::AssertionResult sameEntry(const LineEntry& have, const LineEntry& want, uint32_t code, const char* what) {
  if (have.pattern[0] == want.pattern[0] && have.pattern[1] == want.pattern[1] && have.room[0] == want.room[0] &&
      have.room[1] == want.room[1])
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << what << " for window " << describe(code) << " (code " << code << "): got {" << have.pattern[0] << ","
         << have.pattern[1] << "," << have.room[0] << "," << have.room[1] << "} want {" << want.pattern[0] << ","
         << want.pattern[1] << "," << want.room[0] << "," << want.room[1] << "}";
}

struct Expect {
  const char* picture;
  int black, white, blackRoom, whiteRoom;
};

void checkHand(int rule, const Expect& e) {
  const uint32_t code = codeOf(e.picture);
  const LineEntry want{{static_cast<int16_t>(e.black), static_cast<int16_t>(e.white)},
                       {static_cast<int16_t>(e.blackRoom), static_cast<int16_t>(e.whiteRoom)}};
  EXPECT_TRUE(sameEntry(TE.ruleTables->lineEntry(code), want, code, "lineTable")) << "rule " << rule;
  EXPECT_TRUE(sameEntry(classifyLine(code, rule), want, code, "classifyLine")) << "rule " << rule;
}

// Every code whose ten outer cells take values from `alphabet`, the centre
// empty: all shapes one colour can make against blocks and borders.
template <typename F>
void forEachCodeOver(const int (&alphabet)[3], F&& visit) {
  int digits[10] = {0};
  for (;;) {
    uint32_t code = 0;
    for (int i = 0; i < 10; i++) {
      const int k = i < 5 ? i : i + 1;
      code |= static_cast<uint32_t>(alphabet[digits[i]]) << (2 * k);
    }
    visit(code);
    int i = 0;
    while (i < 10 && ++digits[i] == 3) digits[i++] = 0;
    if (i == 10) break;
  }
}

// Compares lineTable and classifyLine with the reference: every one-colour
// code, and a seeded sample of mixed codes (uniform, and biased towards
// crowded one-colour windows where fours, fives and overlines live).
void compareWithReference(int rule) {
  useRule(rule);
  ASSERT_EQ(TE.ruleTables->rule, rule);
  int failures = 0;
  auto check = [&](uint32_t code) {
    const LineEntry want = referenceClassify(code, rule);
    const ::testing::AssertionResult table = sameEntry(TE.ruleTables->lineEntry(code), want, code, "lineTable");
    const ::testing::AssertionResult direct = sameEntry(classifyLine(code, rule), want, code, "classifyLine");
    if ((!table || !direct) && failures++ < 20) {
      EXPECT_TRUE(table) << "rule " << rule;
      EXPECT_TRUE(direct) << "rule " << rule;
    }
  };
  const int blackSide[3] = {EMPTY, BLACK, BLOCK};
  const int whiteSide[3] = {EMPTY, WHITE, BLOCK};
  forEachCodeOver(blackSide, check);
  forEachCodeOver(whiteSide, check);

  std::mt19937 rng(testing_support::TEST_SEED + static_cast<uint32_t>(rule));
  for (int n = 0; n < 100000; n++) check(rng() & (LINE_CODES - 1));
  std::discrete_distribution<int> crowded({35, 45, 10, 10});   // empty, black, white, block
  for (int n = 0; n < 100000; n++) {
    uint32_t code = 0;
    for (int k = 0; k < 11; k++) {
      int v = crowded(rng);
      if (n & 1) v = v == BLACK ? WHITE : v == WHITE ? BLACK : v;   // the same for white
      if (k == 5) v = EMPTY;
      code |= static_cast<uint32_t>(v) << (2 * k);
    }
    check(code);
  }
  EXPECT_EQ(failures, 0);
}

// ---------------------------------------------------------------------------
// Reference combination value (the standard formula and the Renju branch for
// Black), from the weights and corrections as given.

const int W[14] = {0, 1, 2, 6, 7, 10, 23, 158, 175, 256, 256, 511, 2047, 0};

int pairP(int a, int b) {
  if (a == 0) return 0;
  if (a == 1) return b == 0 ? -1 : -2;
  if (a == 2) return b == 0 ? -2 : b == 1 ? -3 : -4;
  static const int fixed[14] = {0, 0, 0, -4, -5, -8, -21, -148, -165, -216, -216, -411, -1947, 0};
  return fixed[a];
}

int standardValue(int a, int b, int c, int d) {
  int v = pairP(a, b) + W[a] + W[b] + W[c] / 2 + W[d] / 2 + (c >= 3 ? 1 : 0) + (d >= 3 ? 5 : 0);
  if (v >= 6) {
    if (b >= 3 && b <= 6) {
      v += 4;
      if (a >= 7 && a <= 10) v += 4;
    } else if (b >= 7 && b <= 10) {
      v += 15;
    }
  }
  return v;
}

int referenceCombo(int rule, int colourIndex, int key) {
  int q[4] = {key & 15, key >> 4 & 15, key >> 8 & 15, key >> 12 & 15};
  for (int v : q)
    if (v > 13) return 0;
  std::sort(q, q + 4, [](int l, int r) { return l > r; });
  const int a = q[0], b = q[1], c = q[2], d = q[3];
  if (rule == RULE_RENJU && colourIndex == 0) {
    int fours = 0, threes = 0;
    for (int v : q) {
      if (v >= 9 && v <= 11) fours++;
      if (v == 7 || v == 8) threes++;
    }
    if (a == 13) return (b == 12 || c == 12 || d == 12) ? W[b] + W[c] / 2 + W[d] / 2 - 1947 : 0;
    if (a != 12 && fours >= 2) return 0;
    if (threes >= 2) return (fours >= 1 || threes >= 3) ? 0 : pairP(c, d) + W[c] + W[d];
  }
  return standardValue(a, b, c, d);
}

int key4(int row, int column, int diag, int anti) { return row | column << 4 | diag << 8 | anti << 12; }

void checkComboTable(int rule) {
  useRule(rule);
  int failures = 0;
  for (int k = 0; k < 2; k++)
    for (int key = 0; key < 65536; key++) {
      const int want = referenceCombo(rule, k, key);
      if (TE.ruleTables->combo[k][key] != want && failures++ < 20)
        ADD_FAILURE() << "TE.ruleTables->combo[" << k << "][0x" << std::hex << key << std::dec << "] = " << TE.ruleTables->combo[k][key]
                      << ", want " << want << " (rule " << rule << ")";
    }
  EXPECT_EQ(failures, 0);
  // Every ordering of the same four values reads the same entry.
  for (int k = 0; k < 2; k++)
    for (int key = 0; key < 65536; key++) {
      int q[4] = {key & 15, key >> 4 & 15, key >> 8 & 15, key >> 12 & 15};
      std::sort(q, q + 4);
      do {
        const int other = key4(q[0], q[1], q[2], q[3]);
        if (TE.ruleTables->combo[k][other] != TE.ruleTables->combo[k][key]) {
          ADD_FAILURE() << "comboTable not symmetric: 0x" << std::hex << key << " vs 0x" << other;
          return;
        }
      } while (std::next_permutation(q, q + 4));
    }
}

// Empty-board values of one cell in one direction: pattern 1 strictly inside a
// line of at least six cells, room up to four to each side.
int emptyPattern(int length, int p) { return (length >= 6 && p > 0 && p < length - 1) ? 1 : 0; }
int emptyRoom(int length, int p) { return std::min(p, 4) + std::min(length - 1 - p, 4); }

// The 11-cell code around position p of an empty bordered line of the given
// length: the line's cells empty, the mark 3 just outside both ends, zero
// beyond the marks.
uint32_t emptyLineCode(int length, int p) {
  uint32_t code = 0;
  for (int k = 0; k < 11; k++) {
    const int position = p - 5 + k;
    if (position == -1 || position == length) code |= 3u << (2 * k);
  }
  return code;
}

// ---------------------------------------------------------------------------

TEST(LineTable, HandClassifiedWindows) {
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    useRule(rule);
    const bool fs = rule == RULE_FREESTYLE, standard = rule == RULE_STANDARD;
    // An empty window: a single stone with room four to each side.
    checkHand(rule, {"...........", 1, 1, 8, 8});
    // Four black stones to the left of the centre: a five for Black everywhere;
    // White's windows all hold black stones except the last, which is boxed in.
    checkHand(rule, {".XXXX......", 12, 0, 8, 4});
    // One more black stone right of the centre: six in a row.
    checkHand(rule, {".XXXX.X....", fs ? 12 : 13, 0, 8, 0});
    // The same for White: overline under Standard only.
    checkHand(rule, {".OOOO.O....", 0, standard ? 13 : 12, 0, 8});
    // A straight four through the centre.
    checkHand(rule, {"..XXX......", 11, 0, 8, 4});
    // ... with a black stone beyond one open end: the completion there makes six.
    checkHand(rule, {"X.XXX......", fs ? 11 : 9, 0, 8, 4});
    // ... and beyond both ends.
    checkHand(rule, {"X.XXX..X...", fs ? 11 : 0, 0, 8, 1});
    // White's straight four with an extra stone: the exact-five rule holds
    // for White under Standard only.
    checkHand(rule, {"O.OOO......", 0, standard ? 9 : 11, 4, 8});
    // Mixed windows count for nothing: O X _ X _ _ is a blocked three for
    // Black; every window of White holds a black stone.
    checkHand(rule, {"...OX.X....", 6, 0, 5, 0});
    // An empty line of five cells (marks at positions -1 and 5) gives nothing.
    checkHand(rule, {"..#.....#..", 0, 0, 4, 4});
    // Two stones with the wall right behind: XX at the wall is a blocked two.
    checkHand(rule, {"...#X......", 2, 0, 5, 4});
    // An occupied centre has an all-zero entry.
    checkHand(rule, {".....X.....", 0, 0, 0, 0});
    checkHand(rule, {".....#.....", 0, 0, 0, 0});
  }
}

TEST(LineTable, MatchesReferenceFreestyle) { compareWithReference(RULE_FREESTYLE); }
TEST(LineTable, MatchesReferenceStandard) { compareWithReference(RULE_STANDARD); }
TEST(LineTable, MatchesReferenceRenju) { compareWithReference(RULE_RENJU); }

// The values resetBoard writes for an empty board are what the line table gives
// for empty bordered lines, and the board's own cells carry them.
TEST(LineTable, EmptyBoardValues) {
  for (int rule : {RULE_FREESTYLE, RULE_STANDARD, RULE_RENJU}) {
    useRule(rule);
    for (int length = 1; length <= MAX_SIDE; length++)
      for (int p = 0; p < length; p++) {
        const LineEntry e = TE.ruleTables->lineEntry(emptyLineCode(length, p));
        SCOPED_TRACE("rule " + std::to_string(rule) + " length " + std::to_string(length) + " p " +
                     std::to_string(p));
        EXPECT_EQ(e.pattern[0], emptyPattern(length, p));
        EXPECT_EQ(e.pattern[1], emptyPattern(length, p));
        EXPECT_EQ(e.room[0], emptyRoom(length, p));
        EXPECT_EQ(e.room[1], emptyRoom(length, p));
      }
    for (int side : {6, 15, 22}) {
      emptyBoard(rule, side, side);
      int64_t sum[2] = {0, 0};
      for (int x = 0; x < side; x++)
        for (int y = 0; y < side; y++) {
          // Length and position on the four lines, counted by walking.
          const int dx[4] = {0, 1, -1, 1}, dy[4] = {1, 0, 1, 1};
          const CellInfo& info = TW.pos.board.cellInfo[cellIndex(x, y)];
          int patterns = 0, rooms = 0, roomSum = 0;
          for (int dir = 0; dir < 4; dir++) {
            int before = 0, after = 0;
            auto inside = [side](int u, int v) { return u >= 0 && v >= 0 && u < side && v < side; };
            while (inside(x - (before + 1) * dx[dir], y - (before + 1) * dy[dir])) before++;
            while (inside(x + (after + 1) * dx[dir], y + (after + 1) * dy[dir])) after++;
            const int length = before + after + 1;
            patterns |= emptyPattern(length, before) << (4 * dir);
            rooms |= emptyRoom(length, before) << (4 * dir);
            roomSum += emptyRoom(length, before);
          }
          for (int k = 0; k < 2; k++) {
            ASSERT_EQ(info.patterns[k], patterns) << "cell " << x << "," << y << " side " << side;
            ASSERT_EQ(info.roomNibbles(k), rooms) << "cell " << x << "," << y << " side " << side;
            ASSERT_EQ(info.roomSum[k], roomSum) << "cell " << x << "," << y << " side " << side;
            const int score = TE.ruleTables->handScores
                                  ? TE.ruleTables->combo[k][patterns] * TW.pos.geometry.cellWeight[roomSum][cellIndex(x, y)] / 64
                                  : 0;
            ASSERT_EQ(info.score[k], score);
            sum[k] += score;
          }
        }
      EXPECT_EQ(TW.pos.board.scoreSum[0], sum[0]);
      EXPECT_EQ(TW.pos.board.scoreSum[1], sum[1]);
      for (int kind = 0; kind < SET_KINDS; kind++)
        for (int k = 0; k < 2; k++) EXPECT_EQ(TW.pos.board.setSummary[kind][k], 0);
    }
  }
}

TEST(ComboTable, MatchesFormulaFreestyle) { checkComboTable(RULE_FREESTYLE); }
TEST(ComboTable, MatchesFormulaStandard) { checkComboTable(RULE_STANDARD); }
TEST(ComboTable, MatchesFormulaRenju) { checkComboTable(RULE_RENJU); }

// Values worked out by hand from the weights and corrections.
TEST(ComboTable, HandComputedValues) {
  for (int rule : {RULE_STANDARD, RULE_RENJU}) {
    useRule(rule);
    const bool renju = rule == RULE_RENJU;
    // 9, 8, 7, 1: -216 + 256 + 175 + 79 + 0 + 1, then +15 for b = 8.
    EXPECT_EQ(TE.ruleTables->combo[1][key4(1, 7, 8, 9)], 310);
    EXPECT_EQ(TE.ruleTables->combo[1][key4(9, 8, 7, 1)], 310);
    // Black under Renju: two threes and a four are worth nothing.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(1, 7, 8, 9)], renju ? 0 : 310);
    EXPECT_EQ(TE.ruleTables->combo[0][key4(9, 8, 7, 1)], renju ? 0 : 310);
    // Two fours (10, 9): -216 + 256 + 256, +15; zero for Renju Black.
    EXPECT_EQ(TE.ruleTables->combo[1][key4(0, 10, 1, 9)], 311);
    EXPECT_EQ(TE.ruleTables->combo[0][key4(0, 10, 1, 9)], renju ? 0 : 311);
    // A straight four pair: -411 + 511 + 511.
    EXPECT_EQ(TE.ruleTables->combo[1][key4(11, 0, 11, 0)], 611);
    EXPECT_EQ(TE.ruleTables->combo[0][key4(11, 0, 11, 0)], renju ? 0 : 611);
    // A five with two fours stays the standard value even for Renju Black:
    // -1947 + 2047 + 256 + 128 + 1, +15.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(9, 12, 0, 9)], 500);
    // Overline with a five: 2047 + 5 + 0 - 1947 for Renju Black, else the
    // standard value 0 + 0 + 2047 + 5 + 0 + 1.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(5, 13, 12, 0)], renju ? 105 : 2053);
    EXPECT_EQ(TE.ruleTables->combo[1][key4(5, 13, 12, 0)], 2053);
    // Overline without a five: nothing for Renju Black; 175 + 79 + 1 + 15.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(13, 8, 0, 7)], renju ? 0 : 270);
    // Two threes, no four: Renju Black keeps only the two weaker values,
    // P[5][3] + W[5] + W[3] = -8 + 10 + 6; standard -165 + 175 + 158 + 5 + 3 + 1 + 5, +15.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(3, 8, 5, 7)], renju ? 8 : 197);
    EXPECT_EQ(TE.ruleTables->combo[1][key4(3, 8, 5, 7)], 197);
    // ... also beside a five: P[7][2] + W[7] + W[2] = -148 + 158 + 2.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(12, 8, 7, 2)], renju ? 12 : 371);
    // Three threes.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(8, 8, 8, 0)], renju ? 0 : standardValue(8, 8, 8, 0));
    // Small shapes: 5,4: -8 + 10 + 7 = 9, +4; 7,3: -148 + 158 + 6 = 16, +4 +4.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(5, 4, 0, 0)], 13);
    EXPECT_EQ(TE.ruleTables->combo[1][key4(0, 3, 7, 0)], 24);
    // The empty-board cell (1, 1, 1, 1): -2 + 1 + 1 + 0 + 0.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(1, 1, 1, 1)], 0);
    // A value 14 or 15 in any nibble reads zero.
    EXPECT_EQ(TE.ruleTables->combo[0][key4(9, 14, 0, 0)], 0);
    EXPECT_EQ(TE.ruleTables->combo[1][key4(0, 0, 0, 15)], 0);
  }
}

TEST(SearchTables, HandComputedKeys) {
  useRule(RULE_FREESTYLE);
  struct Case {
    int key, value, flags;
  };
  const Case cases[] = {
      {key4(0, 0, 0, 0), 0, 0},
      // 9 and 7 are active; some value >= 7 and >= 9, none is 10.
      {key4(9, 7, 1, 0), 256 + 158 + 1, 2 | 0x10 | 0x20},
      {key4(10, 3, 12, 2), 256 + 6 + 2047 + 2, 3 | 0x10 | 0x20 | 0x40},
      // An overline drops the three/four bits but is not counted as active.
      {key4(13, 10, 8, 3), 0 + 256 + 175 + 6, 3},
      {key4(12, 12, 12, 12), 4 * 2047, 4 | 0x10 | 0x20},
      {key4(6, 5, 4, 3), 23 + 10 + 7 + 6, 4},
      {key4(2, 1, 1, 2), 6, 0},
      {key4(0, 14, 0, 0), 0, 0},
      {key4(15, 1, 0, 0), 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CellValueTable[c.key], c.value) << "key 0x" << std::hex << c.key;
    EXPECT_EQ(CellFlagTable[c.key], c.flags) << "key 0x" << std::hex << c.key;
  }
}

TEST(CellWeight, CornerCentreAndRectangle) {
  emptyBoard(RULE_FREESTYLE, 15, 15);
  // Corner: E = 1 * 1 + 3 = 4; weight (4 + 4 + 3 R[s]) / 2.
  EXPECT_EQ(TW.pos.geometry.cellWeight[0][cellIndex(0, 0)], 4);
  EXPECT_EQ(TW.pos.geometry.cellWeight[8][cellIndex(0, 0)], (8 + 3 * 12) / 2);
  EXPECT_EQ(TW.pos.geometry.cellWeight[32][cellIndex(14, 14)], (8 + 3 * 32) / 2);
  // Centre: E = 5 * 5 + 3 = 28.
  EXPECT_EQ(TW.pos.geometry.cellWeight[32][cellIndex(7, 7)], 64);
  EXPECT_EQ(TW.pos.geometry.cellWeight[13][cellIndex(7, 7)], (32 + 3 * 17) / 2);
  EXPECT_EQ(TW.pos.geometry.cellWeight[4][cellIndex(7, 7)], 16);
  // Two cells from one edge, on the other: E = 3 * 1 + 3.
  EXPECT_EQ(TW.pos.geometry.cellWeight[16][cellIndex(2, 14)], (6 + 4 + 3 * 20) / 2);

  // 15 wide, 10 high: distances run to the real extents, and the cells
  // outside them weigh nothing.
  emptyBoard(RULE_FREESTYLE, 15, 10);
  EXPECT_EQ(TW.pos.geometry.cellWeight[16][cellIndex(2, 9)], (6 + 4 + 3 * 20) / 2);
  EXPECT_EQ(TW.pos.geometry.cellWeight[5][cellIndex(0, 3)], (7 + 4 + 3 * 9) / 2);
  EXPECT_EQ(TW.pos.geometry.cellWeight[32][cellIndex(7, 4)], 64);
  EXPECT_EQ(TW.pos.geometry.cellWeight[32][cellIndex(7, 5)], 64);
  EXPECT_EQ(TW.pos.geometry.cellWeight[32][cellIndex(7, 10)], 0);
  EXPECT_EQ(TW.pos.geometry.cellWeight[32][cellIndex(3, 12)], 0);
}

}  // namespace
