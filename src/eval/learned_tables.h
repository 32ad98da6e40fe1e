// Tables fitted by ruvan-tune on the engine's self-play positions, compiled in
// as generated source (learned_tables.cpp, never edited by hand: its header
// names the data and the command that made it). Indexed by model: 0 free
// style, 1 standard, 2 Renju with Black to move, 3 Renju with White to move;
// codes and threat situations as in eval/features.h.
#pragma once

#include <cstdint>

#include "eval/features.h"

constexpr int LEARNED_MODELS = 4;

// Value of a code of the side to move [0] and of the opponent [1], in the
// search's units; summed over the empty cells.
extern const int16_t learnedValue[LEARNED_MODELS][2][FOLDED_CODES];
// Value of the threat situation seen from the side to move.
extern const int16_t learnedSituation[LEARNED_MODELS][THREAT_SITUATIONS];
// Move score of a cell: attack[mover's code] + block[opponent's code].
extern const int16_t learnedAttack[LEARNED_MODELS][FOLDED_CODES];
extern const int16_t learnedBlock[LEARNED_MODELS][FOLDED_CODES];
