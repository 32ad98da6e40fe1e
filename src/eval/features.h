// Features of a position for the learned evaluation and move scores.
//
// The board keeps, for every empty cell and each colour, the pattern value the
// colour would make in each of the four lines through the cell
// (CellInfo.patterns: four 4-bit values 0 ... 13). What a cell is worth to a
// colour does not depend on which line holds which shape, so the four values
// are folded into a folded code: the sorted multiset {a <= b <= c <= d} of
// the values, numbered densely in lexicographic order. 14 values give
// C(14 + 3, 4) = 2380 codes; code 0 is the empty multiset {0, 0, 0, 0}.
//
//   foldedCodeOf[patterns] : 16-bit packed patterns (as CellInfo) -> code
//   foldedCodeValues[code] : the four sorted values, lowest first
//   foldedCodeThreats[code]: THREAT_* bits of one colour at one cell
//
// The threat situation of a position is the union of the cells' threat bits,
// Black's in bits 0-4 and White's in bits 5-9:
//
//   bit 9..5 White: THREE FOUR FOUR_THREE OPEN_FOUR FIVE | bit 4..0 Black: the same
//
// All tables are read-only, built once by evalBuildTables. Nothing here knows
// Black's forbidden points: under Renju a forbidden cell keeps its code (its
// overline or double-three shape is part of the code).
#pragma once

#include <cstdint>

#include "board/board.h"
#include "core/types.h"

constexpr int PATTERN_VALUES = 14;
constexpr int FOLDED_CODES = 2380;

// Threat bits of one colour at one cell, or anywhere on the board.
constexpr uint32_t THREAT_FIVE = 0x1;        // the colour makes a five here
constexpr uint32_t THREAT_OPEN_FOUR = 0x2;   // ... an open (straight) four
constexpr uint32_t THREAT_FOUR_THREE = 0x4;  // ... a four and a second four or three in another line
constexpr uint32_t THREAT_FOUR = 0x8;        // ... a four of any kind
constexpr uint32_t THREAT_THREE = 0x10;      // ... a three (split or open)
constexpr int THREAT_BITS = 5;               // bits of one colour
constexpr uint32_t THREAT_COLOUR_MASK = 0x1F;
constexpr int THREAT_SITUATIONS = 1 << (2 * THREAT_BITS);

extern uint16_t foldedCodeOf[65536];
extern uint8_t foldedCodeValues[FOLDED_CODES][4];
extern uint8_t foldedCodeThreats[FOLDED_CODES];

// Builds the tables above; later calls return at once.
void evalBuildTables();

// The threat bits of one colour at a cell with these four pattern values.
uint32_t threatBitsOfValues(const int values[4]);

// The features of one position: for each empty cell of the board, in cell
// order, its folded code for each colour; and the threat situation. About
// 2.4 KiB, fixed size.
struct EvalFeatures {
  int32_t cellCount;
  int16_t cells[MAX_CELLS];              // cell indices of the empty cells
  uint16_t codes[2][MAX_CELLS];          // [colour index][i]: code of cells[i]
  uint32_t threatMask;                   // Black bits 0-4, White bits 5-9
};

// Reads the features off the board's incremental pattern values.
void evalCollect(const Position& pos, EvalFeatures& f);

// The threat situation seen from the side to move: its bits low, the
// opponent's above.
inline uint32_t threatsOfMover(uint32_t mask, int colour) {
  return colour == BLACK ? mask : (mask >> THREAT_BITS) | (mask & THREAT_COLOUR_MASK) << THREAT_BITS;
}
