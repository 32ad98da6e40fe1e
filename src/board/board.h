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
// BoardBase is 704 cell records of 32 bytes, the cells, line words, sets and
// sums: 29,432 bytes, all fixed size for the largest board.
#pragma once

#include <cstdint>

#include "board/pattern_tables.h"
#include "core/types.h"

constexpr int NIBBLE_BITS = 4;
constexpr int NIBBLE_MASK = 0xF;

// Per-cell pattern record of both colours (index 0 Black, 1 White).
//
//   patterns:    bits 15..12 x-y diag | 11..8 x+y diag | 7..4 column | 3..0 row
//   entries[d]:  the line table entry of direction d (pattern and room of
//                both colours, as RuleTables::line packs them)
//
// The entries hold the rooms, and let the update see in one comparison that a
// cell's window changed nothing for either colour, which is most of the cells a
// stone's lines reach. An occupied cell has all values 0. Blocks outside the
// extents of a rectangular board keep the empty-board values written by
// resetBoard, since no update range reaches them.
struct CellInfo {
  int16_t roomSum[2];     // sum of the four room counts, 0 ... 32
  int16_t score[2];       // comboTable x cellWeight / 64
  int32_t patterns[2];    // four pattern values, 4 bits each
  uint16_t entries[4];    // line entries by direction
  // Threat-cell set masks [colour index][kind]: the directions (bit 1 row,
  // 2 column, 4 x+y, 8 x-y) that put the cell in the set. Kept here so that
  // a make saves and restores a cell with one record.
  uint8_t sets[2][4];

  // Room count of colour index k in direction dir, and the four packed as
  // the patterns are.
  int room(int k, int dir) const { return (entries[dir] >> (8 * k + 4)) & NIBBLE_MASK; }
  int32_t roomNibbles(int k) const {
    int32_t rooms = 0;
    for (int dir = 0; dir < 4; dir++) rooms |= room(k, dir) << (NIBBLE_BITS * dir);
    return rooms;
  }
};
static_assert(sizeof(CellInfo) == 32, "CellInfo is four 8-byte words");
constexpr int LINE_OFFSET = 10;                 // bit of position 0 in a line word
constexpr uint64_t BORDER_LOW = 0x300;          // the mark at position -1
constexpr uint32_t WINDOW_MASK = 0x3FFFFF;      // 11 cells of two bits

struct BoardBase {
  CellInfo cellInfo[CELL_SLOTS];
  // Threat-cell sets: bit x of a summary word says row x has members, bit y of
  // a row word says cell (x, y) is a member, the cell's record holds the
  // directions that put it there (CellInfo::sets, read by setMask).
  int32_t setSummary[SET_KINDS][2];
  int32_t setRows[SET_KINDS][2][MAX_SIDE];
  int32_t scoreSum[2];
  // Sums over the empty cells of the learned cell values (RuleTables
  // learnedCell), [colour index][role]; all zero when the rule has no model.
  int32_t learnedSum[2][2];
  // ... and of the learned values of both colours' classes at a cell
  // (RuleTables learnedJoint), [colour index to move].
  int32_t jointSum[2];
  // Sums over the empty cells of the network's cell weights (RuleTables
  // netCell), [colour index][role * NET_WIDTH + hidden unit]; zero when the
  // rule has none. Sixteen bits wrap in between, the sums the network reads
  // lie well inside them (ruvan-tune reports the widest).
  int16_t netSum[2][2 * NET_WIDTH];
  uint64_t hashKey;
  int32_t cells[CELL_SLOTS];
  uint64_t rowLines[MAX_SIDE];        // row x: cells (x, 0 ... N-1), position y
  uint64_t colLines[MAX_SIDE];        // column y: cells (0 ... N-1, y), position x
  uint64_t diagLines[2 * MAX_SIDE - 1];   // x + y = d
  uint64_t antiLines[2 * MAX_SIDE + 1];   // x - y = c at index c + N
  int32_t stones[MAX_CELLS];          // stones (not blocks) in the order placed
  int32_t stoneCount;
  int32_t iterationDepth;             // the search's depth, reset with the board

  // Directions that put the cell in the set of a kind below DoubleCells.
  int setMask(int kind, int k, int cell) const { return cellInfo[cell].sets[k][kind]; }
};

// What a full make changes besides the line words, the cell, the hash and the
// stone list: the records of the cells whose line windows it changes (at most
// 10 a line with radius 5, and the cell itself; set masks included), the set
// rows and summaries and the sums. The update of Position::makeStone keeps each
// record before it changes it, so that unmakeStone puts them back by copy
// instead of running the update a second time. 2,560 bytes.
constexpr int UNDO_CELLS = 1 + DIRECTIONS * 10;
struct UndoRecord {
  int32_t count;
  int32_t cells[UNDO_CELLS];
  CellInfo info[UNDO_CELLS];
  int32_t setSummary[SET_KINDS][2];
  int32_t setRows[SET_KINDS][2][MAX_SIDE];
  int32_t scoreSum[2];
  int32_t learnedSum[2][2];
  int32_t jointSum[2];
  int16_t netSum[2][2 * NET_WIDTH];
};

// Game record: moves of both players in the order received; a move's colour is
// its place in the record modulo two plus one. Blocks are kept in their own
// list so that they neither shift the colours nor get lost by a rebuild.
struct RecordEntry {
  int32_t x, y, colour;
};

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
// a fixed value in the bench and the tests). Takes effect at the next draw.
void seedRandom(uint32_t seed);
// Draws the Zobrist keys again from the current seed.
void drawZobristKeys();
// Draws the keys from the current seed unless they are drawn already, and
// builds the bit-count tables. Called once before the first position is built.
void buildTables();

// Outcome of a board command, for the layer above to report.
enum BoardResult : int {
  BoardDone = 0,
  BoardRefused = 1,    // off the board, occupied, or the record is full
  BoardNothing = 2,    // take-back of a cell holding neither the last move nor a block
};

// One game: the record the manager describes, the board's extents and rule,
// and the bit-packed board derived from them. Every board command and every
// make/unmake is a member.
//
// The game record is the primary copy. The board (BoardBase) is derived from it
// and rebuilt whenever the rule changes or a new game is built; outside Renju
// the rebuild waits for the next search, under Renju every board command keeps
// the board built, since every move must be checked for forbidden points.
//
// A Position is plain data of fixed size (about 200 KiB): copying it is how a
// search thread gets its own board. It reads the rule's line tables through
// `tables`, which the owner keeps built for `builtRule`; positions built for
// different rules must not share one RuleTables.
struct Position {
  BoardBase board;
  Geometry geometry;
  RecordEntry gameRecord[MAX_CELLS];
  int32_t recordCount = 0;
  int32_t blockList[MAX_CELLS];   // cell indices of the game's blocks
  int32_t blockCount = 0;
  int32_t xExtent = 0;            // board width; 0 means no game yet
  int32_t yExtent = 0;            // board height
  int32_t lineSize = 15;          // N, the side of the square the board code works on
  int32_t builtRule = -1;         // rule the board was built for; -1: none
  int32_t updateRadius = 4;       // reach of a stone change along a line: 4 or 5
  // Value the last search of this game ended with; any change of the game
  // other than a move played on it clears it.
  int32_t finalValue = 0;
  RuleTables* tables = nullptr;

  // Primitive steps: the only ways a cell changes. The stone list is kept for
  // stones (values 1 and 2) when keepList is true.
  void placeStone(int cell, int value, bool keepList = true);
  void removeStone(int cell, bool keepList = true);

  // The search's make and unmake of a stone: the same as placeStone and
  // removeStone, the reach of the stone kept in `undo` on the way in and
  // copied back on the way out. Strictly nested: every change made between
  // the two must be undone before unmakeStone.
  void makeStone(int cell, int colour, UndoRecord& undo);
  void unmakeStone(int cell, const UndoRecord& undo);

  // Light make and unmake: line words, light update, hash and stone list.
  void placeStoneLight(int cell, int colour);
  void removeStoneLight(int cell);
  // The same, the light update keeping in `undo` each cell record it changes
  // and the set rows and summaries, so that the unmake copies them back
  // instead of updating again (the four-solver's make and unmake). Strictly
  // nested as makeStone and unmakeStone; the sums are neither kept nor changed.
  void makeStoneLight(int cell, int colour, UndoRecord& undo);
  void unmakeStoneLight(int cell, const UndoRecord& undo);

  // Board commands (coordinates are checked by the front end). `rule` is the
  // rule in force: under Renju the board is built at the end of each.
  BoardResult playOpponentMove(int x, int y, int rule);
  BoardResult playOwnMove(int x, int y, int rule);
  BoardResult placeBlock(int x, int y, int rule);
  BoardResult takeBackMove(int x, int y, int rule);
  // A new, empty game of width x height on the same tables; false (and nothing
  // changed) when a side is outside 1 ... 22.
  bool startGame(int width, int height, int rule);
  // The same game emptied: record and blocks cleared.
  void restartGame(int rule);

  // Builds the board for the rule unless it is built for it already; true
  // when it rebuilt.
  bool ensureBuilt(int rule);
  // Rebuilds the board for the rule unconditionally.
  void rebuild(int rule);
  // Empties the board for builtRule: blank lines, empty-board patterns and
  // scores, blocks outside the extents of a rectangular board.
  void resetBoard();

  // Black's forbidden points under Renju: 1 when Black may not play on the
  // empty cell (an overline, a double four or a double three, unless the move
  // also makes a five), else 0. Works from Black's pattern values; doubtful
  // threes and fours are settled by placing the stone with the light update
  // and asking the same question of the cells the threats depend on. The
  // position is unchanged on return.
  int isForbidden(int cell);

  // True when the cell index lies on the board (the walks step off it freely).
  bool onBoard(int cell) const {
    return cell >= 0 && cellX(cell) < xExtent && cellY(cell) < yExtent;
  }

  // True when no cell of the board is left empty: stones and the game's blocks
  // fill it. A board filled partly by blocks is a draw as much as one filled by
  // stones.
  bool boardFull() const { return board.stoneCount + blockCount >= xExtent * yExtent; }

  // True when (x, y) holds a stone or block of the game (record and block list);
  // used while no board is built.
  bool recordOccupies(int x, int y) const;
  // Occupied by a stone or block, built or not.
  bool cellOccupied(int x, int y) const;

  // Debug aid and test oracle: recomputes every derived field from the stones
  // and compares it with the incremental state. Returns true when all agree.
  bool boardIsConsistent() const;

  // Incremental pattern bookkeeping: after one line word changed, the cells of
  // that line within updateRadius of the changed cell get their pattern values,
  // rooms, scores and threat-cell set memberships brought up to date.
  //
  // Two strengths. The full update keeps everything (board commands and every
  // move of the tree search). The light update keeps only the pattern values
  // and the five, open-four, four and three sets; the entries (rooms with
  // them), scores, scoreSum and the double set keep describing the position
  // before the light move, and become right again when it is unmade. A full
  // update must never run while a light move is on the board.
  void updateLine(int cell, int dir);
  void updateLineLight(int cell, int dir);
  // Writes a cell value (0 clears) into the four line words and runs the full
  // update of all four directions: the body of placeStone and removeStone.
  void setCellFull(int cell, int value);

  // The line word of cell's line in direction dir, and the cell's position on it.
  uint64_t& lineWordOf(int cell, int dir);
  uint64_t lineWordOf(int cell, int dir) const;
  int linePosition(int cell, int dir) const;
  // Recomputes a cell's score from its patterns and rooms (combination value x
  // cellWeight / 64; 0 when the rule keeps no hand-set scores).
  int cellScore(int cell, int colourIndex) const;
  // Adds (sign 1) or takes away (-1) an empty cell's learned values.
  void addLearned(int cell, int sign);

 private:
  bool cellFree(int x, int y) const;
  BoardResult playMove(int x, int y, int rule);
  void renjuStep(int rule);
  void writeEmptyLines(BoardBase& b) const;
  void writeEmptyCellInfo(int cell, CellInfo& info) const;
  void emptyLineValues(int cell, int dir, int& pattern, int& room) const;
  int lineLength(int index, int family) const;
  template <bool Full, int Dir> void updateDirection(int cell, UndoRecord* undo = nullptr);
  template <bool Full> void updateAll(int cell, UndoRecord* undo = nullptr);
  template <bool Full> void updateOne(int cell, int dir);
  template <bool Full> void makeKept(int cell, int colour, UndoRecord& undo);
  template <bool Full> void unmakeKept(int cell, const UndoRecord& undo);
  void setLineBits(int cell, uint64_t value);
  inline void removeFromSet(int kind, int k, int cell, int dirBit, bool full);
  inline void addToSet(int kind, int k, int cell, int dirBit, bool full);
  inline void moveNetSums(int k, int from, int to);
  template <int Dir> uint64_t lineWord(int t) const;
  template <int Dir> int position(int t) const;
  int blackValue(int cell, int dir) const;
  int pastBlackRun(int from, int step) const;
  bool fourOnBothSides(int cell, int dir) const;
  bool inBlackFives(int cell) const;
  bool realStraightFourPoint(int cell, int dir);
};

// Kind of set a pattern value belongs to, or -1.
int setKindOf(int pattern);
