// Features of a position for the learned evaluation and move scores: each
// empty cell's folded code for each colour (board/pattern_tables.h), and the
// threat situation (board/learned_tables.h).
//
//   foldedCodeThreats[code]: THREAT_* bits of one colour at one cell
//
// The table is read-only, built once by evalBuildTables. Nothing here knows
// Black's forbidden points: under Renju a forbidden cell keeps its code (its
// overline or double-three shape is part of the code).
#pragma once

#include <cstdint>

#include "board/board.h"
#include "board/learned_tables.h"
#include "core/types.h"

extern uint8_t foldedCodeThreats[FOLDED_CODES];

// Builds the table above (and the board's fold tables); later calls return at once.
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
