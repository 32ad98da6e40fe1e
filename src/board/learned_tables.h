// Tables fitted by ruvan-tune on the engine's self-play positions, compiled in
// as generated source (learned_tables.cpp, never edited by hand: its header
// names the data and the command that made it). Indexed by model: 0 free
// style, 1 standard, 2 Renju with Black to move, 3 Renju with White to move;
// codes as in board/pattern_tables.h.
//
// The threat situation of a position is the union of its empty cells' threat
// bits, Black's in bits 0-4 and White's in bits 5-9, or seen from the side to
// move (threatsOfMover) the mover's low:
//
//   bit 9..5 White: THREE FOUR FOUR_THREE OPEN_FOUR FIVE | bit 4..0 Black: the same
#pragma once

#include <cstdint>

#include "board/pattern_tables.h"
#include "core/types.h"

// Threat bits of one colour at one cell, or anywhere on the board.
constexpr uint32_t THREAT_FIVE = 0x1;        // the colour makes a five here
constexpr uint32_t THREAT_OPEN_FOUR = 0x2;   // ... an open (straight) four
constexpr uint32_t THREAT_FOUR_THREE = 0x4;  // ... a four and a second four or three in another line
constexpr uint32_t THREAT_FOUR = 0x8;        // ... a four of any kind
constexpr uint32_t THREAT_THREE = 0x10;      // ... a three (split or open)
constexpr int THREAT_BITS = 5;               // bits of one colour
constexpr uint32_t THREAT_COLOUR_MASK = 0x1F;
constexpr int THREAT_SITUATIONS = 1 << (2 * THREAT_BITS);

// The threat situation seen from the side to move: its bits low, the
// opponent's above.
inline uint32_t threatsOfMover(uint32_t mask, int colour) {
  return colour == BLACK ? mask : (mask >> THREAT_BITS) | (mask & THREAT_COLOUR_MASK) << THREAT_BITS;
}

constexpr int LEARNED_MODELS = 4;

// Value of a code of the side to move [0] and of the opponent [1], in the
// search's units; summed over the empty cells.
extern const int16_t learnedValue[LEARNED_MODELS][2][FOLDED_CODES];
// Value of the threat situation seen from the side to move.
extern const int16_t learnedSituation[LEARNED_MODELS][THREAT_SITUATIONS];
// Value of an empty cell by the pair of classes (board/pattern_tables.h) of
// the mover's code and the opponent's there: [mover's class * JOINT_CLASSES +
// opponent's class], summed over the empty cells.
extern const int16_t learnedJointValue[LEARNED_MODELS][JOINT_CLASSES * JOINT_CLASSES];
// Move score of a cell: attack[mover's code] + block[opponent's code].
extern const int16_t learnedAttack[LEARNED_MODELS][FOLDED_CODES];
extern const int16_t learnedBlock[LEARNED_MODELS][FOLDED_CODES];
