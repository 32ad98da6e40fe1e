// Move generation and ordering: the stage ladder readers, forced defences,
// quiet candidates, killer slots and neighbourhood shapes.
#pragma once

#include <cstdint>

#include "search/alpha_beta.h"

// Cell-set readers: append cells in row order, return the count.
int listSetCells(int kind, int colour, int32_t* out);
int listOpenFourCells(int colour, int32_t* out);
int listFourCells(int colour, int32_t* out);
int listDoubleCells(int colour, int32_t* out);
int listSingleThreats(int colour, int32_t* out);
int countPlayableOpenFours(int colour, int32_t* out);

// First cell of a set (smallest x, then y), or -1.
int firstSetCell(int kind, int colour);
bool setEmpty(int kind, int colour);
bool inSet(int kind, int colour, int cell);

// Extra defences against the open three that makes `cell` an open-four cell
// of `colour`; writes 0 or 2 cells.
int threeDefence(int32_t* out, int colour, int cell);

// Neighbourhood shapes over a 5 x 5 square, two bits per cell and row.
struct Shape {
  uint32_t rows[5];
};
extern const Shape fullSquare, star, ownKnightBlack, ownKnightWhite;
bool neighbourhood(int x, int y, const Shape& shape);

// Root-only openness term under Renju.
int openness(int x, int y, int colour);

// Killer slots by nominal depth: slot 0 older, slot 1 newer.
struct KillerSlot {
  int32_t cell;
  int32_t word;
};
extern KillerSlot killerSlots[PLY_LIMIT][2];
void clearKillers();
void recordKiller(int depth, int cell, int colour);

// Ordering key of a cell for the side `colour`; threatTerm is the threat-count
// term of stage 7 (0 elsewhere).
int orderKey(int cell, int colour, int threatTerm);

// The node context the generator needs.
struct NodeContext {
  int depth, effDepth, ply, colour;
  bool pvNode;
  int best;        // best value so far at the node
  int taken;       // moves already taken up at the node
};

// The stage ladder of one node: hands out its moves one by one, building
// each stage's list only when the previous one is used up, so that a cut-off
// in an early stage saves the later, larger ones.
struct MovePicker {
  NodeContext node;
  int forcedCell;        // stage -1: the cell that blocks the opponent's five
  int hashMoves[3];      // stage 0
  int stage;             // stage being served; -2 before the first
  int count, next;       // the stage list in moveStack[ply]
  int taken;             // moves taken up at this node so far
  bool endAfterStage1;   // stage 1 answered a real open three
  int lmpStage;          // stage number the served move counts as for pruning
};
void pickerInit(MovePicker& p, const NodeContext& node, int forcedCell, const int* hashMoves);
// Next move of the node, or -1 when the ladder is done. `best` is the node's
// best value so far (stage 7 widens its candidates for a lost node).
int nextMove(MovePicker& p, int best);

// Fills list with the stage's candidates (before filtering) and returns the
// count; stage 7 returns its cells already filtered and keyed.
int generateQuiet(const NodeContext& node, MoveEntry* list);

// Applies the move filter to a list of cells (marks, Renju forbidden points),
// computes ordering keys, and returns the new count.
int filterAndKey(const NodeContext& node, MoveEntry* list, int count, bool checkMarks);
void sortByKey(MoveEntry* list, int count);
