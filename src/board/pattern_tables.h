// Precomputed pattern knowledge: every 11-cell line window classified once per
// rule, and the tables that fold the four directions of a cell into a score.
//
// LineCode: 22 bits, two per cell, for the line positions p-5 ... p+5 around a
// centre p; window cell k (0 ... 10) is (code >> 2k) & 3, the centre is cell 5.
//
// Line table entry, 16 bits for a code whose centre is empty (all zero
// otherwise):
//   bits 0-3  Black's pattern value at the centre   bits 4-7   Black's room (0 ... 8)
//   bits 8-11 White's pattern value at the centre   bits 12-15 White's room (0 ... 8)
#pragma once

#include <cstdint>

#include "core/types.h"

constexpr int LINE_CODES = 1 << 22;
// Only a window with an empty centre has values, so the table leaves the
// centre's two bits out of its index: 2^20 entries of 16 bits, 2 MiB. Every
// make and unmake reads it dozens of times at scattered places; at this size it
// stays in the caches the hash tables and the other process of a match share.
constexpr int LINE_KEYS = 1 << 20;
constexpr uint32_t LINE_CENTRE_BITS = 0xC00;
inline uint32_t lineKeyOf(uint32_t code) { return (code & 0x3FF) | (code >> 12) << 10; }
inline uint32_t lineCodeOf(uint32_t key) { return (key & 0x3FF) | (key >> 10) << 12; }
inline int packedPattern(uint32_t entry, int k) { return static_cast<int>(entry >> (8 * k)) & 0xF; }
inline int packedRoom(uint32_t entry, int k) { return static_cast<int>(entry >> (8 * k + 4)) & 0xF; }

// Whether the engine plays with the learned tables of board/learned_tables.h
// (for the rules that have them) or with the hand-set value and order.
constexpr bool PLAY_LEARNED = true;

// What a cell is worth to a colour does not depend on which line holds which
// shape, so the learned tables read a cell's four pattern values as a folded
// code: the sorted multiset {a <= b <= c <= d} of the values 0 ... 13,
// numbered densely in lexicographic order, C(14 + 3, 4) = 2380 codes; code 0
// is {0, 0, 0, 0}.
constexpr int PATTERN_VALUES = 14;
constexpr int FOLDED_CODES = 2380;
// Hidden units of the learned network (board/learned_net.h).
constexpr int NET_WIDTH = 16;
// 16-bit packed patterns (as CellInfo.patterns) -> folded code; nibbles 14
// and 15 never occur on a board and fold as 13.
extern uint16_t foldedCodeOf[65536];
// The four sorted values of each code, lowest first.
extern uint8_t foldedCodeValues[FOLDED_CODES][4];

// A coarse class of a code, by its strongest value and the next: what a
// colour makes at the cell (nothing, a two, a three, a four, a four with a
// second threat, ...). The value tables sum one colour's codes cell by cell;
// a small table by the pair of both colours' classes at the same cell adds
// what the sum cannot say, such as a cell that is a three for one side and a
// four for the other.
constexpr int JOINT_CLASSES = 14;
extern uint8_t jointClassOfCode[FOLDED_CODES];
// The same by the packed patterns (as CellInfo.patterns & 0xFFFF).
extern uint8_t jointClassOf[65536];
int jointClassOfValues(int strongest, int second);

// A line table entry unpacked: pattern value and room of each colour.
struct LineEntry {
  int16_t pattern[2];
  int16_t room[2];
};

// The rule's tables: every line code classified, and the pattern-combination
// values of both colours. About 4.8 MiB, owned by the engine and filled for one rule
// at a time; `rule` says which (-1: none). Every position built for that rule
// reads them; they change only between searches.
//
// readings: each code's centre pattern under both readings of a five, so that
// a change of rule needs no classification (see build):
//   bits 0-3 Black, five or more wins     bits 8-11  White, five or more
//   bits 4-7 Black, exactly five wins     bits 12-15 White, exactly five
constexpr int READING_BITS = 4;
constexpr int READING_MASK = (1 << READING_BITS) - 1;

struct RuleTables {
  uint16_t line[LINE_KEYS];       // packed entries by lineKeyOf(code)
  uint16_t readings[LINE_KEYS];
  // Four pattern values packed 4 bits each (as CellInfo.patterns) -> value.
  int16_t combo[2][65536];
  // Learned value of an empty cell by its folded code, for colour index k
  // [k] with k to move [0] or its opponent to move [1]: the rule's learned
  // model, or zeros (learned false) when the rule has none. The board keeps
  // their sums over the empty cells (BoardBase.learnedSum).
  int16_t learnedCell[2][2][FOLDED_CODES];
  // The same by the packed patterns themselves, both roles side by side: the
  // incremental update reads one entry where the code would cost three reads.
  int16_t learnedByPatterns[2][65536][2];
  // Learned value of the pair of classes at an empty cell with colour index
  // k to move: [k][k's class][the opponent's class]. Summed over the empty
  // cells as BoardBase.jointSum.
  int16_t learnedJoint[2][JOINT_CLASSES][JOINT_CLASSES];
  // Some pair value is not zero: without, the update leaves the pair sums
  // alone (they stay zero) and spends nothing on the classes.
  bool learnedPairs = false;
  bool learned = false;
  // The network's cell weights of colour index k (learned_net.h) by code,
  // both roles in one row (the mover's NET_WIDTH, then the opponent's), each
  // from the model that reads them, so that a change of code moves the
  // board's sums with one row read in and one out. `net` false (and the
  // board's network sums left at zero) when the rule's model has none.
  int16_t netCell[2][FOLDED_CODES][2 * NET_WIDTH];
  bool net = false;
  // Learned move scores with colour index k to move [k]: attack by the
  // mover's code at the cell, block by the opponent's, in 1/256 of a logit.
  int16_t moveAttack[2][FOLDED_CODES];
  int16_t moveBlock[2][FOLDED_CODES];
  bool learnedMoves = false;
  // The hand-set cell scores (CellInfo.score, BoardBase.scoreSum) are kept
  // only for a rule whose value and order are not learned: nothing else reads
  // them, and the learned sums take their time in the update.
  bool handScores = true;
  // False before build: the rule's learned tables are left out, as if it had
  // none (the fitter's reference for the hand-set value and order).
  bool useLearned = PLAY_LEARNED;
  int32_t rule = -1;
  bool classified = false;   // readings filled

  // Classifies the line codes and fills the combination values for the rule,
  // unless they already hold it.
  void build(int newRule);

  // The packed entry of a window code (zero when its centre is occupied), and
  // the same unpacked.
  uint32_t linePacked(uint32_t code) const { return (code & LINE_CENTRE_BITS) ? 0 : line[lineKeyOf(code)]; }
  LineEntry lineEntry(uint32_t code) const {
    const uint32_t e = linePacked(code);
    return LineEntry{{static_cast<int16_t>(packedPattern(e, 0)), static_cast<int16_t>(packedPattern(e, 1))},
                     {static_cast<int16_t>(packedRoom(e, 0)), static_cast<int16_t>(packedRoom(e, 1))}};
  }
};

// Read-only tables of the pattern values alone, the same for every rule and
// board; built once, before the first position.
extern int16_t CellValueTable[65536];
extern uint16_t CellFlagTable[65536];

// CellFlagTable bits.
constexpr int FLAG_ACTIVE_MASK = 0x7;   // number of values in 3 ... 12 (activity count)
constexpr int FLAG_COUNT_MASK = 0xF;
constexpr int FLAG_THREE = 0x10;        // some value >= 7 (no overline)
constexpr int FLAG_FOUR = 0x20;         // some value >= 9 (no overline)
constexpr int FLAG_FOUR_LIVE = 0x40;    // some value is exactly 10 (no overline)

extern const int16_t patternWeight[14];

// Cells of a line within the update radius of a cell, clipped to the extents,
// as the first and last cell index; empty is {704, 0}.
struct CellRange {
  int32_t first, last;
};

// What follows from the board's extents and update radius alone: the cell
// weights of the score, the diagonal positions and the update ranges. Part of
// every position (a position of another size has other geometry), about
// 122 KiB.
struct Geometry {
  int32_t cellWeight[33][CELL_SLOTS];
  int32_t diagPos[CELL_SLOTS];    // line position of a cell on its x+y diagonal
  int32_t antiPos[CELL_SLOTS];    // ... and on its x-y diagonal
  CellRange rowRange[CELL_SLOTS];
  CellRange colRange[CELL_SLOTS];
  CellRange diagRange[CELL_SLOTS];
  CellRange antiRange[CELL_SLOTS];

  // Fills everything for a board of xs x ys cells inside an n x n square and a
  // stone's reach of `radius` cells along a line.
  void build(int n, int xs, int ys, int radius);
};

// Value of one five-cell window: [occupancy | BB << 5 | BA << 6][centre
// position] where occupancy excludes the stone about to be placed on the centre.
extern const uint8_t (&windowTable)[128][5];

// Classifies one line window under a rule.
LineEntry classifyLine(uint32_t code, int rule);

// Builds the rule-independent tables above; later calls return at once.
void buildSearchTables();
