// Principal-variation alpha-beta search with a transposition table, a staged
// move generator, fractional threat extensions, shape penalties, razoring and
// late-move pruning.
#pragma once

#include <cstdint>

#include "core/types.h"

// One candidate of a stage list: ordering key (lower first) and cell.
struct MoveEntry {
  int32_t key;
  int32_t cell;
};

constexpr int PLY_LIMIT = MAX_CELLS;   // 484 entries per per-ply stack

extern MoveEntry moveStack[PLY_LIMIT][MAX_CELLS];
extern uint64_t plyStamp[PLY_LIMIT];
extern uint64_t plyMarks[PLY_LIMIT][CELL_SLOTS];

void clearPlyStacks();

// Value of the position for `colour` to move, searched `depth` plies.
int alphaBeta(int depth, int alpha, int beta, int colour, int extension);

// Shape penalty of a move and its extension in half plies; shared with the root.
struct MoveShape {
  int penalty;
  int extension;
  int cellValue;   // CellValueTable of the side's patterns at the cell
};
// `nodeThreat` is the node's cached threat evaluation (NO_SCORE: not yet known)
// and `scale` its cached penalty scale (negative: not yet computed).
MoveShape moveShape(int cell, int depth, int colour, bool pvNode, int& nodeThreat, double& scale);

// Node's ply from its nominal depth.
int plyOf(int depth);

// The three best moves of a node with their ranking values, best first.
struct BestMoves {
  int cell[3];
  int value[3];
};
void insertBest(BestMoves& b, int value, int cell);

// A new node stamp for the ply, so that its move marks start empty.
void advancePlyStamp(int ply);

// True when an open four of `colour` wins: always, except for Black under
// Renju when every open-four cell is a forbidden point.
bool openFourWins(int colour);

// Stage 0 preparation: the hash moves of the position, after internal
// deepening when there are none and the node is deep enough. True when the
// node must return `result` at once (stopped, or proven won at a null window).
bool stageZeroMoves(int effDepth, int alpha, int beta, int colour, int extension, bool pvNode, int iidDepth,
                    int* hashMoves, int& result);
