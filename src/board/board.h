// The position: the game record the manager describes, and the bit-packed board
// record the search makes and unmakes its moves on.
//
// The game record is the primary copy. The board (BoardBase) is derived from it
// and rebuilt whenever the rule changes or a new game is built; outside Renju
// the rebuild waits for the next think, under Renju every board command keeps
// the board built.
//
// Line words. Every row, column and diagonal of the N x N square has one
// 64-bit word with two bits per cell:
//
//   bit  63 ..   2L+12 | 2L+11..2L+10 | ... | 2p+11..2p+10 | ... | 9..8 | 7..0
//        zero          | border mark 3|     | cell at p    |     | mark | zero
//
// Positions -5 ... -1 live in bits 0-9 so that the 11-cell window around any
// position p is simply (word >> 2p) & 0x3FFFFF; the marks at -1 and L make
// every window that reaches past the line's end hold a 3.
//
// BoardBase is 704 * 24 + 40 + 880 + 11264 + 8 + 8 + 2816 + 8 * 132 + 1936 + 8
// bytes, about 35 KiB, all fixed size for the largest board.
#pragma once

#include <cstdint>

#include "core/types.h"

// Per-cell pattern record of both colours (index 0 Black, 1 White).
//
//   patterns / rooms:  bits 15..12 x-y diag | 11..8 x+y diag | 7..4 column | 3..0 row
//
// An occupied cell has all values 0. Blocks outside the extents of a
// rectangular board keep the empty-board values written by resetBoard, since no
// update range reaches them.
struct CellInfo {
  int16_t roomSum[2];   // sum of the four room counts, 0 ... 32
  int16_t score[2];     // comboTable x cellWeight / 64
  int32_t patterns[2];  // four pattern values, 4 bits each
  int32_t rooms[2];     // four room counts, 4 bits each
};
static_assert(sizeof(CellInfo) == 24, "CellInfo is three 8-byte words");

constexpr int NIBBLE_BITS = 4;
constexpr int NIBBLE_MASK = 0xF;
constexpr int LINE_OFFSET = 10;                 // bit of position 0 in a line word
constexpr uint64_t BORDER_LOW = 0x300;          // the mark at position -1
constexpr uint32_t WINDOW_MASK = 0x3FFFFF;      // 11 cells of two bits

struct BoardBase {
  CellInfo cellInfo[CELL_SLOTS];
  // Threat-cell sets: bit x of a summary word says row x has members, bit y of
  // a row word says cell (x, y) is a member, a per-cell mask holds the
  // directions (bit 1 row, 2 column, 4 x+y, 8 x-y) that put the cell there.
  int32_t setSummary[SET_KINDS][2];
  int32_t setRows[SET_KINDS][2][MAX_SIDE];
  int32_t setCells[MASKED_SET_KINDS][2][CELL_SLOTS];
  int32_t scoreSum[2];
  uint64_t hashKey;
  int32_t cells[CELL_SLOTS];
  uint64_t rowLines[MAX_SIDE];        // row x: cells (x, 0 ... N-1), position y
  uint64_t colLines[MAX_SIDE];        // column y: cells (0 ... N-1, y), position x
  uint64_t diagLines[2 * MAX_SIDE - 1];   // x + y = d
  uint64_t antiLines[2 * MAX_SIDE + 1];   // x - y = c at index c + N
  int32_t stones[MAX_CELLS];          // stones (not blocks) in the order placed
  int32_t stoneCount;
  int32_t iterationDepth;             // the think driver's depth, reset with the board
};

extern BoardBase board;

// Game record: moves of both players in the order received; a move's colour is
// its place in the record modulo two plus one. Blocks are kept in their own
// list so that they neither shift the colours nor get lost by a rebuild.
struct RecordEntry {
  int32_t x, y, colour;
};
extern RecordEntry gameRecord[MAX_CELLS];
extern int32_t recordCount;
extern int32_t blockList[MAX_CELLS];   // cell indices of the game's blocks
extern int32_t blockCount;

extern int32_t lineSize;       // N, the side of the square the board code works on
extern int32_t builtRule;      // rule the board was built for; -1: none
extern int32_t updateRadius;   // reach of a stone change along a line: 4 or 5

extern uint64_t zobristKeys[CELL_SLOTS][3];
extern uint8_t lowBitIndex[32769];
extern uint8_t popCount[32769];

// Bit number of the lowest set bit of a mask of at most 22 bits.
inline int lowestBit(uint32_t mask) {
  uint32_t low = mask & (0u - mask);
  return low <= 32768 ? lowBitIndex[low] : lowBitIndex[low >> 15] + 15;
}
inline int bitCount(uint32_t mask) { return popCount[mask & 0x7FFF] + popCount[mask >> 15]; }

// Seeds the generator that draws the Zobrist keys (calendar time at start-up,
// a fixed value in the bench and the tests). Takes effect at the first build.
void seedRandom(uint32_t seed);
// Draws the Zobrist keys again from the current seed.
void drawZobristKeys();

// Primitive steps: the only ways a cell changes. The stone list is kept for
// stones (values 1 and 2) when keepList is true.
void placeStone(int cell, int value, bool keepList = true);
void removeStone(int cell, bool keepList = true);

// Board commands (coordinates are checked by the front end).
void placeBlock(int x, int y);
void playOpponentMove(int x, int y);
void playOwnMove(int x, int y);
int takeBackMove(int x, int y);   // 0 done, 2 nothing to take back there
void restartBoard();
void startBoard();
void ensureBoard();               // rebuild for the current rule, with "MESSAGE Rule"
void refreshBoardForRule();       // the same rebuild without the announcement
void rebuildBoard();
void resetBoard();
void buildTables();
// Builds the line tables for the current rule and allocates the transposition
// tables and the solver cache ahead of the first game.
void warmUpTables();

// True when no cell of the board is left empty: stones and the game's blocks
// fill it. A board filled partly by blocks is a draw as much as one filled by
// stones.
bool boardFull();

// True when (x, y) holds a stone or block of the game (record and block list);
// used while no board is built.
bool recordOccupies(int x, int y);

// Debug aid and test oracle: recomputes every derived field from the stones and
// compares it with the incremental state. Returns true when all agree.
bool boardIsConsistent();
