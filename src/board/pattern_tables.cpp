#include "board/pattern_tables.h"

#include "board/learned_net.h"
#include "board/learned_tables.h"

#include <algorithm>
#include <cstring>

int16_t CellValueTable[65536];
uint16_t CellFlagTable[65536];
uint16_t foldedCodeOf[65536];
uint8_t foldedCodeValues[FOLDED_CODES][4];
uint8_t jointClassOfCode[FOLDED_CODES];
uint8_t jointClassOf[65536];

int jointClassOfValues(int d, int c) {
  if (d <= PatOne) return 0;
  if (d < PatTwoOpen) return 1;
  if (d == PatTwoOpen) return c == PatTwoOpen ? 3 : 2;
  if (d == PatThreeBlocked) return c >= PatTwoOpen ? 5 : 4;
  if (d <= PatThreeOpen) return c >= PatThreeSplit ? 8 : c >= PatTwoOpen ? 7 : 6;
  if (d <= PatFourLive) return c >= PatThreeSplit ? 10 : 9;
  if (d == PatFourOpen) return 11;
  if (d == PatFive) return 12;
  return 13;
}

const int16_t patternWeight[14] = {0, 1, 2, 6, 7, 10, 23, 158, 175, 256, 256, 511, 2047, 0};

namespace {

// Value of a five-cell window holding the stones of `mask` (bit k = position
// k, low end first) of one colour, with the cells just outside it blocked
// (bb before, ba after) or not.
constexpr uint8_t windowValue(int mask, bool bb, bool ba) {
  int count = 0;
  for (int k = 0; k < 5; k++) count += (mask >> k) & 1;
  if (count == 5) return 12;
  if (count == 4) {
    int hole = 0;
    while ((mask >> hole) & 1) hole++;
    switch (hole) {
      case 4: return bb ? 9 : 11;   // XXXX_
      case 0: return ba ? 9 : 11;   // _XXXX
      case 3: return bb ? 9 : 10;   // XXX_X
      case 1: return ba ? 9 : 10;   // X_XXX
      default: return 9;            // XX_XX
    }
  }
  if (count == 3) {
    switch (mask) {
      case 0b00111: return bb ? 6 : 8;          // XXX__
      case 0b11100: return ba ? 6 : 8;          // __XXX
      case 0b01110: return (bb && ba) ? 6 : 8;  // _XXX_
      case 0b01011: case 0b01101: return bb ? 6 : 7;   // XX_X_, X_XX_
      case 0b10110: case 0b11010: return ba ? 6 : 7;   // _XX_X, _X_XX
      default: return 6;                        // XX__X, X_X_X, X__XX
    }
  }
  if (count == 2) {
    if (bb && ba) return 1;
    if (mask == 0b10001) return 1;
    int first = 0;
    while (!((mask >> first) & 1)) first++;
    int last = 4;
    while (!((mask >> last) & 1)) last--;
    if ((first == 0 && bb) || (last == 4 && ba)) return 2;
    int gap = last - first - 1;
    return gap == 0 ? 5 : gap == 1 ? 4 : 3;
  }
  if (count == 1) {
    if (bb && ba) return 0;
    if ((mask == 1 && bb) || (mask == 16 && ba)) return 0;
    return 1;
  }
  return 0;
}

struct WindowTableData {
  uint8_t value[128][5];
  constexpr WindowTableData() : value() {
    for (int index = 0; index < 128; index++) {
      int occupancy = index & 31;
      bool bb = (index >> 5) & 1, ba = (index >> 6) & 1;
      for (int centre = 0; centre < 5; centre++)
        value[index][centre] = windowValue(occupancy | 1 << centre, bb, ba);
    }
  }
};
constexpr WindowTableData windowData;

// Pair correction for the two strongest values a >= b.
int pairCorrection(int a, int b) {
  static const int16_t fixed[14] = {0, 0, 0, -4, -5, -8, -21, -148, -165, -216, -216, -411, -1947, 0};
  if (a == 1) return b == 0 ? -1 : -2;
  if (a == 2) return -2 - b;
  return fixed[a];
}

const int roomWeight[33] = {0,  0,  0,  0,  0,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                            20, 21, 22, 23, 24, 25, 25, 26, 27, 28, 28, 29, 29, 31, 31, 32};

int standardCombo(int a, int b, int c, int d) {
  const int16_t* W = patternWeight;
  int v = pairCorrection(a, b) + W[a] + W[b] + W[c] / 2 + W[d] / 2 + (c >= 3 ? 1 : 0) + (d >= 3 ? 5 : 0);
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

// Black under Renju: double fours, double threes and overlines are worth
// nothing, since Black may not make them.
int renjuBlackCombo(int a, int b, int c, int d) {
  const int16_t* W = patternWeight;
  const int values[4] = {a, b, c, d};
  int fours = 0, threes = 0;
  for (int v : values) {
    fours += (v >= 9 && v <= 11);
    threes += (v >= 7 && v <= 8);
  }
  if (a == 13) {
    if (b == 12 || c == 12 || d == 12) return W[b] + W[c] / 2 + W[d] / 2 - 1947;
    return 0;
  }
  if (a != 12 && fours >= 2) return 0;
  if (threes >= 2) {
    if (fours >= 1 || threes >= 3) return 0;
    return pairCorrection(c, d) + W[c] + W[d];
  }
  return standardCombo(a, b, c, d);
}

void buildComboTable(int rule, int16_t (&comboTable)[2][65536]) {
  std::memset(comboTable, 0, sizeof comboTable);
  for (int colour = 0; colour < 2; colour++) {
    bool renjuBlack = rule == RULE_RENJU && colour == 0;
    for (int a = 0; a < 14; a++)
      for (int b = 0; b <= a; b++)
        for (int c = 0; c <= b; c++)
          for (int d = 0; d <= c; d++) {
            int v = renjuBlack ? renjuBlackCombo(a, b, c, d) : standardCombo(a, b, c, d);
            int q[4] = {d, c, b, a};   // ascending, as next_permutation wants
            do {
              int key = q[0] | q[1] << 4 | q[2] << 8 | q[3] << 12;
              comboTable[colour][key] = static_cast<int16_t>(v);
            } while (std::next_permutation(q, q + 4));
          }
  }
}

}  // namespace

namespace {

void buildFoldedCodes() {
  // Codes in lexicographic order of the sorted values; a temporary index by
  // the sorted values themselves.
  static uint16_t bySorted[PATTERN_VALUES][PATTERN_VALUES][PATTERN_VALUES][PATTERN_VALUES];
  int code = 0;
  for (int a = 0; a < PATTERN_VALUES; a++)
    for (int b = a; b < PATTERN_VALUES; b++)
      for (int c = b; c < PATTERN_VALUES; c++)
        for (int d = c; d < PATTERN_VALUES; d++) {
          bySorted[a][b][c][d] = static_cast<uint16_t>(code);
          const int values[4] = {a, b, c, d};
          for (int k = 0; k < 4; k++) foldedCodeValues[code][k] = static_cast<uint8_t>(values[k]);
          jointClassOfCode[code] = static_cast<uint8_t>(jointClassOfValues(d, c));
          code++;
        }
  for (int packed = 0; packed < 65536; packed++) {
    int v[4];
    for (int d = 0; d < 4; d++) v[d] = std::min((packed >> (4 * d)) & 15, PATTERN_VALUES - 1);
    std::sort(v, v + 4);
    foldedCodeOf[packed] = bySorted[v[0]][v[1]][v[2]][v[3]];
    jointClassOf[packed] = jointClassOfCode[foldedCodeOf[packed]];
  }
}

// The learned model of a rule for colour index k in role r (0: k to move):
// one model per rule, and under Renju one per side to move.
int learnedModelOf(int rule, int k, int r) {
  if (rule == RULE_RENJU) return 2 + (r == 0 ? k : 1 - k);
  return rule;
}

}  // namespace

void buildSearchTables() {
  static bool built = false;
  if (built) return;
  built = true;
  buildFoldedCodes();
  for (int key = 0; key < 65536; key++) {
    int values[4] = {key & 15, key >> 4 & 15, key >> 8 & 15, key >> 12 & 15};
    bool valid = true, overline = false;
    int sum = 0, active = 0, flags = 0;
    for (int v : values) {
      if (v > 13) valid = false;
      if (!valid) break;
      sum += patternWeight[v];
      active += (v >= 3 && v <= 12);
      overline |= v == 13;
      if (v >= 7) flags |= FLAG_THREE;
      if (v >= 9) flags |= FLAG_FOUR;
      if (v == 10) flags |= FLAG_FOUR_LIVE;
    }
    if (!valid) continue;
    CellValueTable[key] = static_cast<int16_t>(sum);
    CellFlagTable[key] = static_cast<uint16_t>(active | (overline ? 0 : flags));
  }
}

void Geometry::build(int n, int xs, int ys, int r) {
  std::memset(cellWeight, 0, sizeof cellWeight);
  for (int x = 0; x < xs; x++)
    for (int y = 0; y < ys; y++) {
      int er = std::min(std::min(x, xs - 1 - x), 4), ec = std::min(std::min(y, ys - 1 - y), 4);
      int edge = (er + 1) * (ec + 1) + 3;
      for (int s = 0; s <= 32; s++) cellWeight[s][cellIndex(x, y)] = (edge + 4 + 3 * roomWeight[s]) / 2;
    }
  auto onBoard = [&](int x, int y) { return x >= 0 && y >= 0 && x < xs && y < ys; };
  auto range = [&](int x, int y, int dx, int dy) {
    CellRange result{CELL_SLOTS, 0};
    for (int t = -r; t <= r; t++) {
      int u = x + t * dx, v = y + t * dy;
      if (!onBoard(u, v)) continue;
      result.first = std::min(result.first, cellIndex(u, v));
      result.last = std::max(result.last, cellIndex(u, v));
    }
    return result;
  };
  for (int x = 0; x < n; x++)
    for (int y = 0; y < n; y++) {
      int cell = cellIndex(x, y);
      diagPos[cell] = std::min(n - 1 - x, y);
      antiPos[cell] = std::min(x, y);
      rowRange[cell] = range(x, y, 0, 1);
      colRange[cell] = range(x, y, 1, 0);
      diagRange[cell] = range(x, y, -1, 1);
      antiRange[cell] = range(x, y, 1, 1);
    }
}

const uint8_t (&windowTable)[128][5] = windowData.value;

namespace {

// The pattern values one colour gets at the empty centre of a window, both
// where a line of five or more wins (`loose`) and where only exactly five
// does (`exact`): the two readings of a line any rule is made of. One pass
// over the five windows serves both, since their window values are the same.
void centrePatterns(const int* cell, int colour, int& loose, int& exact) {
  int bestLoose = 0, bestExact = 0;
  bool overline = false;
  auto blocks = [colour](int value) { return value != EMPTY && value != colour; };
  for (int i = 1; i <= 5; i++) {
    int g = 0, occupancy = 0;
    for (int k = 0; k < 5; k++) {
      g |= cell[i + k];
      if (cell[i + k] != EMPTY) occupancy |= 1 << k;
    }
    if (g == 3 || (g != 0 && g != colour)) continue;
    const bool bb = i == 1 || blocks(cell[i - 1]);
    const bool ba = i == 5 || blocks(cell[i + 5]);
    const int v = windowTable[occupancy | bb << 5 | ba << 6][5 - i];
    bestLoose = std::max(bestLoose, v);
    if (v <= bestExact) continue;
    if (cell[i - 1] == colour || cell[i + 5] == colour) {
      if (v == PatFive) overline = true;
      continue;
    }
    bestExact = v;
  }
  loose = bestLoose;
  exact = overline ? PatOverline : bestExact;
  if (exact == PatFourOpen) {
    // A straight four whose completing cell would join a further stone of
    // the same colour makes an overline there, not a five.
    int k = 4;
    while (k >= 1 && cell[k] == colour) k--;
    const bool left = k >= 1 ? (cell[k - 1] == colour) : (cell[0] == colour);
    k = 6;
    while (k <= 9 && cell[k] == colour) k++;
    const bool right = k <= 9 ? (cell[k + 1] == colour) : (cell[10] == colour);
    if (left && right) exact = 0;
    else if (left || right) exact = PatFour;
  }
}

int centreRoom(const int* cell, int colour) {
  int room = 0;
  for (int k = 4; k >= 1 && (cell[k] == EMPTY || cell[k] == colour); k--) room++;
  for (int k = 6; k <= 9 && (cell[k] == EMPTY || cell[k] == colour); k++) room++;
  return room;
}

bool exactFiveFor(int rule, int colour) { return rule == RULE_STANDARD || (rule == RULE_RENJU && colour == BLACK); }

}  // namespace

LineEntry classifyLine(uint32_t code, int rule) {
  LineEntry entry{{0, 0}, {0, 0}};
  int cell[11];
  for (int k = 0; k < 11; k++) cell[k] = (code >> (2 * k)) & 3;
  if (cell[5] != EMPTY) return entry;
  for (int colour = BLACK; colour <= WHITE; colour++) {
    int loose, exact;
    centrePatterns(cell, colour, loose, exact);
    entry.pattern[colour - 1] = static_cast<int16_t>(exactFiveFor(rule, colour) ? exact : loose);
    entry.room[colour - 1] = static_cast<int16_t>(centreRoom(cell, colour));
  }
  return entry;
}

// The first build classifies every code once under both readings of a five
// and keeps the four pattern values packed; a later change of rule only
// unpacks them (the rooms do not depend on the rule). A manager that starts
// the engine and then sets Renju or the standard rule sends its first move
// right after: classifying the codes anew would be charged to that move.
void RuleTables::build(int newRule) {
  buildSearchTables();
  if (rule == newRule) return;
  if (!classified) {
    int cell[11];
    for (uint32_t key = 0; key < LINE_KEYS; key++) {
      const uint32_t code = lineCodeOf(key);
      for (int k = 0; k < 11; k++) cell[k] = (code >> (2 * k)) & 3;
      uint16_t packed = 0, rooms = 0;
      for (int colour = BLACK; colour <= WHITE; colour++) {
        int loose, exact;
        centrePatterns(cell, colour, loose, exact);
        const int shift = (colour - 1) * 2 * READING_BITS;
        packed |= static_cast<uint16_t>(loose << shift | exact << (shift + READING_BITS));
        rooms |= static_cast<uint16_t>(centreRoom(cell, colour) << (shift + 4));
      }
      readings[key] = packed;
      line[key] = rooms;
    }
    classified = true;
  }
  const int blackShift = exactFiveFor(newRule, BLACK) ? READING_BITS : 0;
  const int whiteShift = 2 * READING_BITS + (exactFiveFor(newRule, WHITE) ? READING_BITS : 0);
  for (uint32_t key = 0; key < LINE_KEYS; key++) {
    const uint32_t black = (readings[key] >> blackShift) & READING_MASK;
    const uint32_t white = (readings[key] >> whiteShift) & READING_MASK;
    line[key] = static_cast<uint16_t>((line[key] & 0xF0F0) | black | white << 8);
  }
  buildComboTable(newRule, combo);
  learned = false;
  learnedPairs = false;
  for (int k = 0; k < 2; k++)
    for (int r = 0; r < 2; r++) {
      const int16_t* values = learnedValue[learnedModelOf(newRule, k, r)][r];
      static const int16_t none[FOLDED_CODES] = {};
      if (!useLearned) values = none;
      for (int code = 0; code < FOLDED_CODES; code++) {
        learnedCell[k][r][code] = values[code];
        learned |= values[code] != 0;
      }
    }
  for (int k = 0; k < 2; k++)
    for (int packed = 0; packed < 65536; packed++)
      for (int r = 0; r < 2; r++) learnedByPatterns[k][packed][r] = learnedCell[k][r][foldedCodeOf[packed]];
  for (int k = 0; k < 2; k++)
    for (int a = 0; a < JOINT_CLASSES; a++)
      for (int c = 0; c < JOINT_CLASSES; c++) {
        learnedJoint[k][a][c] = useLearned ? learnedJointValue[learnedModelOf(newRule, k, 0)][a * JOINT_CLASSES + c] : 0;
        learnedPairs |= learnedJoint[k][a][c] != 0;
      }
  learned |= learnedPairs;   // the pair sums are kept where the code sums are
  net = false;
  for (int k = 0; k < 2; k++) {
    for (int r = 0; r < 2; r++)
      for (int code = 0; code < FOLDED_CODES; code++)
        for (int h = 0; h < NET_WIDTH; h++)
          netCell[k][code][r * NET_WIDTH + h] = learnedNetCell[learnedModelOf(newRule, k, r)][r][code][h];
    for (int h = 0; h < NET_WIDTH; h++) net |= useLearned && learnedNetOut[learnedModelOf(newRule, k, 0)][h] != 0;
  }
  net = net && learned;   // the network's sums ride on the learned update
  learnedMoves = false;
  for (int k = 0; k < 2; k++) {
    const int model = learnedModelOf(newRule, k, 0);
    for (int code = 0; code < FOLDED_CODES; code++) {
      moveAttack[k][code] = useLearned ? learnedAttack[model][code] : 0;
      moveBlock[k][code] = useLearned ? learnedBlock[model][code] : 0;
      learnedMoves |= moveAttack[k][code] != 0 || moveBlock[k][code] != 0;
    }
  }
  handScores = !(learned && learnedMoves);
  rule = newRule;
}
