// Incremental pattern bookkeeping: after one line word changed, the cells of
// that line within updateRadius of the changed cell get their pattern values,
// rooms, scores and threat-cell set memberships brought up to date.
//
// Two strengths. The full update keeps everything (board commands and every
// move of the tree search). The light update keeps only the pattern values and
// the five, open-four, four and three sets; rooms, scores, scoreSum and the
// double set keep describing the position before the light move, and become
// right again when it is unmade. A full update must never run while a light
// move is on the board.
#pragma once

#include <cstdint>

// Full update of direction dir (0 row, 1 column, 2 x+y, 3 x-y) around cell.
void updateLine(int cell, int dir);
// Light update of direction dir around cell.
void updateLineLight(int cell, int dir);

// Writes a cell value (0 clears) into the four line words and runs the full
// update of all four directions: the body of placeStone and removeStone.
void setCellFull(int cell, int value);

// Light make and unmake: line words, light update, hash and stone list.
void placeStoneLight(int cell, int colour);
void removeStoneLight(int cell);

// The line word of cell's line in direction dir, and the cell's position on it.
uint64_t& lineWordOf(int cell, int dir);
int linePosition(int cell, int dir);

// Kind of set a pattern value belongs to, or -1.
int setKindOf(int pattern);

// Recomputes a cell's score from its patterns and rooms (comboTable x
// cellWeight / 64).
int cellScore(int cell, int colourIndex);
