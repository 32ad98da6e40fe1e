// A small network on top of the learned cell values, compiled in as generated
// source (learned_net.cpp, written by ruvan-tune --net-out, never edited by
// hand; its header names the data and the command that made it).
//
// A sum of independent cell values cannot see how shapes combine: two threes
// are worth more than twice one when the opponent has no four, a third open
// two matters less than the first. The network reads the same inputs as the
// linear value, the count of each folded code of the mover and of the
// opponent over the empty cells and the threat situation, into NET_WIDTH
// hidden units with a ReLU, and adds its output to the linear value:
//
//   hidden[h] = bias[h] + sum over empty cells of cell[mover's code][0][h]
//               + cell[opponent's code][1][h] + situation[threats][h]
//   value    += outBias + sum_h out[h] * max(0, hidden[h]) / (NET_HIDDEN_UNITS * NET_OUT_UNITS)
//
// The cell sums are kept by the board as they change (BoardBase.netSum), the
// way the linear sums are, so a node pays only the ReLU and a dot product.
// Hidden sums are in 1/NET_HIDDEN_UNITS of a unit; output weights in
// 1/NET_OUT_UNITS of the search's units per unit, outBias in the search's
// units. NET_WIDTH is in board/pattern_tables.h. Models as learned_tables.h; a
// model whose weights are all zero has no network.
#pragma once

#include <cstdint>

#include "board/learned_tables.h"

constexpr int NET_HIDDEN_UNITS = 2048;
constexpr int NET_OUT_UNITS = 64;

extern const int16_t learnedNetCell[LEARNED_MODELS][2][FOLDED_CODES][NET_WIDTH];
extern const int16_t learnedNetSituation[LEARNED_MODELS][THREAT_SITUATIONS][NET_WIDTH];
extern const int32_t learnedNetBias[LEARNED_MODELS][NET_WIDTH];
extern const int32_t learnedNetOut[LEARNED_MODELS][NET_WIDTH];
extern const int32_t learnedNetOutBias[LEARNED_MODELS];
