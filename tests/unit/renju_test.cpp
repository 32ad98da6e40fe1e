// Renju forbidden points: hand-made positions for each kind of forbidden and
// allowed move, and a slow reference written here from the Renju rules
// compared with isForbidden on many seeded random positions.
//
// The reference knows nothing of pattern values. It places the stone and
// counts stones along the lines: a five is a run of exactly five, an overline a
// run of six or more; a four is a set of four stones in one line that one more
// stone turns into a five; a three is a line that one more (itself allowed)
// stone turns into a straight four, that is four in a row whose both open ends
// make a five. Whether that stone is allowed is the same question asked again
// with the first stone on the TW.pos.board. The one convention taken over from the
// engine is described at fivePointBreaksThree.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/pattern_tables.h"
#include "test_support.h"

namespace {

using testing_support::loadPosition;

// ---------------------------------------------------------------------------
// Reference.

const int DX[4] = {0, 1, 1, 1};
const int DY[4] = {1, 0, -1, 1};

struct RefBoard {
  int width = 0, height = 0;
  int cell[MAX_SIDE][MAX_SIDE] = {};
  bool inside(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
  bool black(int x, int y) const { return inside(x, y) && cell[x][y] == BLACK; }
  bool empty(int x, int y) const { return inside(x, y) && cell[x][y] == EMPTY; }
};

// The black run through (x, y) along direction dir, as offsets [from, to]
// relative to (x, y); (x, y) must hold a black stone.
void runThrough(const RefBoard& b, int x, int y, int dir, int& from, int& to) {
  from = 0, to = 0;
  while (b.black(x + (from - 1) * DX[dir], y + (from - 1) * DY[dir])) from--;
  while (b.black(x + (to + 1) * DX[dir], y + (to + 1) * DY[dir])) to++;
}

int runLength(const RefBoard& b, int x, int y, int dir) {
  int from, to;
  runThrough(b, x, y, dir, from, to);
  return to - from + 1;
}

bool referenceForbidden(RefBoard& b, int x, int y);

// Number of different fours through (x, y) in one direction, with the stone
// on (x, y) already placed. Two completions of the same four stones (the two
// ends of a straight four) are one four.
int foursInLine(RefBoard& b, int x, int y, int dir) {
  std::set<int> fours;
  for (int t = -4; t <= 4; t++) {
    const int u = x + t * DX[dir], v = y + t * DY[dir];
    if (t == 0 || !b.empty(u, v)) continue;
    b.cell[u][v] = BLACK;
    int from, to;
    runThrough(b, u, v, dir, from, to);
    // The five, in offsets from (x, y), must contain (x, y).
    if (to - from + 1 == 5 && t + from <= 0 && t + to >= 0) {
      int stones = 0;
      for (int s = t + from; s <= t + to; s++)
        if (s != t) stones |= 1 << (s + 8);
      fours.insert(stones);
    }
    b.cell[u][v] = EMPTY;
  }
  return static_cast<int>(fours.size());
}

// True when (x, y) (black, placed) lies in a straight four of direction dir:
// exactly four in a row, both ends empty, and each end then exactly five.
bool straightFourThrough(const RefBoard& b, int u, int v, int x, int y, int dir) {
  int from, to;
  runThrough(b, u, v, dir, from, to);
  if (to - from + 1 != 4) return false;
  // (x, y) must be one of the four.
  bool contains = false;
  for (int s = from; s <= to; s++)
    if (u + s * DX[dir] == x && v + s * DY[dir] == y) contains = true;
  if (!contains) return false;
  const int bx = u + (from - 1) * DX[dir], by = v + (from - 1) * DY[dir];
  const int ax = u + (to + 1) * DX[dir], ay = v + (to + 1) * DY[dir];
  if (!b.empty(bx, by) || !b.empty(ax, ay)) return false;
  if (b.black(bx - DX[dir], by - DY[dir]) || b.black(ax + DX[dir], ay + DY[dir])) return false;
  return true;
}

// A straight-four point that would also complete a five elsewhere does not
// make a three real: the engine reads such a point as a winning point, not as
// the extension of a three. (Plain Renju rules would count it; the two differ
// only where Black has, or builds during the recursion, a four of its own.)
constexpr bool fivePointBreaksThree = true;

bool makesFive(RefBoard& b, int x, int y) {
  b.cell[x][y] = BLACK;
  bool five = false;
  for (int dir = 0; dir < 4; dir++) five |= runLength(b, x, y, dir) == 5;
  b.cell[x][y] = EMPTY;
  return five;
}

// A real three through (x, y) in direction dir: some empty cell of the line
// makes a straight four with it and is not itself forbidden.
bool threeInLine(RefBoard& b, int x, int y, int dir) {
  for (int t = -4; t <= 4; t++) {
    const int u = x + t * DX[dir], v = y + t * DY[dir];
    if (t == 0 || !b.empty(u, v)) continue;
    b.cell[u][v] = BLACK;
    const bool straight = straightFourThrough(b, u, v, x, y, dir);
    b.cell[u][v] = EMPTY;
    if (straight && !(fivePointBreaksThree && makesFive(b, u, v)) && !referenceForbidden(b, u, v)) return true;
  }
  return false;
}

bool referenceForbidden(RefBoard& b, int x, int y) {
  b.cell[x][y] = BLACK;
  bool five = false, overline = false;
  for (int dir = 0; dir < 4; dir++) {
    const int length = runLength(b, x, y, dir);
    five |= length == 5;
    overline |= length >= 6;
  }
  bool forbidden = false;
  if (!five) {
    if (overline) {
      forbidden = true;
    } else {
      int fours = 0, threes = 0;
      for (int dir = 0; dir < 4; dir++) {
        const int f = foursInLine(b, x, y, dir);
        fours += f;
        if (f == 0 && threeInLine(b, x, y, dir)) threes++;
      }
      forbidden = fours >= 2 || threes >= 2;
    }
  }
  b.cell[x][y] = EMPTY;
  return forbidden;
}

// ---------------------------------------------------------------------------
// Helpers.

// Loads a 15 x 15 Renju diagram and asks the engine about one cell; the record
// must be exactly as before afterwards.
int forbiddenAt(const std::vector<std::string>& rows, int x, int y) {
  loadPosition(RULE_RENJU, rows);
  static BoardBase before;
  before = TW.pos.board;
  const int result = TW.pos.isForbidden(cellIndex(x, y));
  EXPECT_EQ(std::memcmp(&TW.pos.board, &before, offsetof(BoardBase, stones)), 0) << "isForbidden changed the record";
  EXPECT_EQ(TW.pos.board.stoneCount, before.stoneCount);
  // The reference agrees on the hand positions too.
  RefBoard ref;
  ref.width = TW.pos.xExtent;
  ref.height = TW.pos.yExtent;
  for (int u = 0; u < ref.width; u++)
    for (int v = 0; v < ref.height; v++) ref.cell[u][v] = TW.pos.board.cells[cellIndex(u, v)];
  EXPECT_EQ(referenceForbidden(ref, x, y) ? 1 : 0, result) << "reference disagrees at " << x << "," << y;
  return result;
}

int blackValue(int x, int y, int dir) { return (TW.pos.board.cellInfo[cellIndex(x, y)].patterns[0] >> (4 * dir)) & 15; }

// ---------------------------------------------------------------------------

// Row overline and column five through (7,7): the five wins, even though the
// overline comes first in direction order.
TEST(RenjuForbidden, FiveWithOverlineIsAllowed) {
  const std::vector<std::string> rows = {
      "...............",
      "...............",
      "...............",
      ".......X.......",
      ".......X.......",
      ".......X.......",
      ".......X.......",
      "....XXX.XX.....",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(rows, 7, 7), 0);
  EXPECT_EQ(blackValue(7, 7, 0), PatOverline);
  EXPECT_EQ(blackValue(7, 7, 1), PatFive);
}

TEST(RenjuForbidden, PureOverlineIsForbidden) {
  const std::vector<std::string> rows = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "....XXX.XX.....",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(rows, 7, 7), 1);
}

// (7,7) makes a split three in the row (X_XX, only straight-four point (7,8))
// and an open three in the column. (7,8) would be an overline in column 8, so
// the row three is false and the move is allowed; without column 8 it is a
// double three.
TEST(RenjuForbidden, ThreeThroughForbiddenPointIsFalse) {
  const std::vector<std::string> rows = {
      "...............",
      "...............",
      "...............",
      "...............",
      "........X......",
      "........X......",
      "........X......",
      ".........XX....",
      ".......XX......",
      ".......XX......",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(rows, 7, 7), 0);
  EXPECT_EQ(blackValue(7, 7, 0), PatThreeSplit);
  EXPECT_EQ(blackValue(7, 7, 1), PatThreeOpen);
  const std::vector<std::string> plain = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".........XX....",
      ".......X.......",
      ".......X.......",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(plain, 7, 7), 1);
}

TEST(RenjuForbidden, FourThreeIsAllowed) {
  // A four blocked by White in the row, an open three in the column.
  const std::vector<std::string> blockedFour = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...OXXX........",
      ".......X.......",
      ".......X.......",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(blockedFour, 7, 7), 0);
  EXPECT_EQ(blackValue(7, 7, 0), PatFour);
  // A straight four with the same three.
  const std::vector<std::string> straightFour = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "....XXX........",
      ".......X.......",
      ".......X.......",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(straightFour, 7, 7), 0);
  EXPECT_EQ(blackValue(7, 7, 0), PatFourOpen);
}

// Two fours in one line, with nothing in any other direction.
TEST(RenjuForbidden, DoubleFourInOneLine) {
  const std::vector<std::string> split = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "....X.X.X.X....",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(split, 7, 7), 1);
  const std::vector<std::string> threesApart = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...XXX...XXX...",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(threesApart, 7, 7), 1);
  // With White on (7,10) the right-hand four is gone: a single four.
  const std::vector<std::string> oneSide = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "....X.X.X.O....",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(oneSide, 7, 7), 0);
}

TEST(RenjuForbidden, StraightFourAloneOrWithAFour) {
  const std::vector<std::string> alone = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "....XXX........",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(alone, 7, 7), 0);
  const std::vector<std::string> withFour = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".......O.......",
      "....XXX........",
      ".......X.......",
      ".......X.......",
      ".......X.......",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(withFour, 7, 7), 1);
  // Two plain fours in two directions.
  const std::vector<std::string> twoFours = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".......O.......",
      "...OXXX........",
      ".......X.......",
      ".......X.......",
      ".......X.......",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(twoFours, 7, 7), 1);
}

TEST(RenjuForbidden, DoubleThree) {
  const std::vector<std::string> rows = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "........XX.....",
      ".......X.......",
      ".......X.......",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(rows, 7, 7), 1);
  // A white stone at one end of the column three leaves only the row three.
  std::vector<std::string> blocked = rows;
  blocked[10][7] = 'O';
  blocked[6][7] = 'O';
  EXPECT_EQ(forbiddenAt(blocked, 7, 7), 0);
}

// (7,8) is the only straight-four point of the row three X_XX, and it also
// completes Black's five in column 8: the row three does not count, so (7,7)
// is a single three and allowed.
TEST(RenjuForbidden, FivePointIsNoStraightFourPoint) {
  const std::vector<std::string> rows = {
      "...............",
      "...............",
      "...............",
      "........X......",
      "........X......",
      "........X......",
      "........X......",
      ".........XX....",
      ".......X.......",
      ".......X.......",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(rows, 7, 7), 0);
  EXPECT_EQ(blackValue(7, 8, 1), PatFive);
}

// XXX against the wall can only become a four, so with the column three it is
// no double three; one cell away from the wall it is.
TEST(RenjuForbidden, ThreeAgainstTheWall) {
  const std::vector<std::string> atWall = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      ".XX............",
      "X..............",
      "X..............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(atWall, 7, 0), 0);
  EXPECT_EQ(blackValue(7, 0, 0), PatThreeBlocked);
  const std::vector<std::string> offWall = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "..XX...........",
      ".X.............",
      ".X.............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
  };
  EXPECT_EQ(forbiddenAt(offWall, 7, 1), 1);
}

// ---------------------------------------------------------------------------
// Random positions against the reference.

struct RandomStats {
  int positions = 0, cells = 0, forbidden = 0;
};

// Fills a board with stones clustered around a random centre; false when Black
// already has five or more in a row somewhere (no well-defined question then).
bool randomPosition(std::mt19937& rng, RefBoard& b) {
  std::memset(b.cell, 0, sizeof b.cell);
  const int cx = static_cast<int>(rng() % b.width), cy = static_cast<int>(rng() % b.height);
  const int blacks = 6 + static_cast<int>(rng() % 12), whites = 2 + static_cast<int>(rng() % 8);
  for (int i = 0; i < blacks + whites; i++) {
    for (int tries = 0; tries < 50; tries++) {
      const int x = cx + static_cast<int>(rng() % 9) - 4, y = cy + static_cast<int>(rng() % 9) - 4;
      if (!b.empty(x, y)) continue;
      b.cell[x][y] = i < blacks ? BLACK : WHITE;
      break;
    }
  }
  for (int x = 0; x < b.width; x++)
    for (int y = 0; y < b.height; y++)
      if (b.black(x, y))
        for (int dir = 0; dir < 4; dir++)
          if (runLength(b, x, y, dir) >= 5) return false;
  return true;
}

std::string picture(const RefBoard& b) {
  std::string s;
  for (int x = 0; x < b.width; x++) {
    s += "  \"";
    for (int y = 0; y < b.height; y++) s += ".XO#"[b.cell[x][y]];
    s += "\",\n";
  }
  return s;
}

void compareOnRandomPositions(int width, int height, uint32_t seed, int count, RandomStats& stats) {
  std::mt19937 rng(seed);
  RefBoard b;
  b.width = width;
  b.height = height;
  int reported = 0;
  static BoardBase before;
  while (stats.positions < count) {
    if (!randomPosition(rng, b)) continue;
    stats.positions++;
    testing_support::emptyBoard(RULE_RENJU, width, height);
    for (int x = 0; x < width; x++)
      for (int y = 0; y < height; y++)
        if (b.cell[x][y] != EMPTY) TW.pos.placeStone(cellIndex(x, y), b.cell[x][y]);
    before = TW.pos.board;
    for (int x = 0; x < width; x++)
      for (int y = 0; y < height; y++) {
        if (b.cell[x][y] != EMPTY) continue;
        stats.cells++;
        const int engine = TW.pos.isForbidden(cellIndex(x, y));
        const int want = referenceForbidden(b, x, y) ? 1 : 0;
        stats.forbidden += want;
        if (engine != want && reported++ < 10)
          ADD_FAILURE() << "TW.pos.isForbidden(" << x << "," << y << ") = " << engine << ", reference " << want
                        << " on\n" << picture(b);
      }
    ASSERT_EQ(std::memcmp(&TW.pos.board, &before, offsetof(BoardBase, stones)), 0) << "isForbidden changed the record";
    ASSERT_EQ(TW.pos.board.stoneCount, before.stoneCount);
  }
  EXPECT_EQ(reported, 0);
}

TEST(RenjuForbidden, MatchesReferenceOnRandomPositions) {
  RandomStats square, wide, tall;
  compareOnRandomPositions(15, 15, testing_support::TEST_SEED, 4000, square);
  compareOnRandomPositions(15, 10, testing_support::TEST_SEED + 1, 300, wide);
  compareOnRandomPositions(10, 15, testing_support::TEST_SEED + 2, 300, tall);
  // The sample must hold a fair number of forbidden points to mean anything.
  EXPECT_GT(square.forbidden, 200);
  EXPECT_GT(wide.forbidden + tall.forbidden, 50);
}

}  // namespace
