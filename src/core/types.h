// Fixed sizes, cell values, pattern values and the score scale shared by every
// subsystem of the engine.
//
// A cell is addressed by its index x * 32 + y (x << 5 | y). Index arrays have
// 704 entries (22 rows of 32 columns); columns 22 ... 31 are never used, but the
// power-of-two stride makes "one step along a column" a constant +32 and lets
// the x + y and x - y diagonals step by 31 and 33.
#pragma once

#include <cstdint>

// Board geometry.
constexpr int MAX_SIDE = 22;                      // largest board side
constexpr int ROW_STRIDE = 32;                    // index step of one x
constexpr int CELL_SLOTS = MAX_SIDE * ROW_STRIDE; // 704 index slots
constexpr int MAX_CELLS = MAX_SIDE * MAX_SIDE;    // 484 real cells, also the ply limit
constexpr int NO_CELL = -1;

constexpr int cellIndex(int x, int y) { return x << 5 | y; }
constexpr int cellX(int cell) { return cell >> 5; }
constexpr int cellY(int cell) { return cell & 31; }

// Cell values. A line word stores one of these in two bits per cell; BLOCK is
// also the border mark at both ends of every line.
constexpr int EMPTY = 0;
constexpr int BLACK = 1;
constexpr int WHITE = 2;
constexpr int BLOCK = 3;

// Rules as the manager numbers them.
constexpr int RULE_FREESTYLE = 0;
constexpr int RULE_STANDARD = 1;
constexpr int RULE_RENJU = 2;

// Pattern values: the shape one colour makes in one line when it places a stone
// on an empty cell. Ordered so that a larger value is a stronger threat.
enum PatternValue : int {
  PatNone = 0,
  PatOne = 1,
  PatTwoBlocked = 2,
  PatTwoWide = 3,
  PatTwoGap = 4,
  PatTwoOpen = 5,
  PatThreeBlocked = 6,
  PatThreeSplit = 7,
  PatThreeOpen = 8,
  PatFour = 9,
  PatFourLive = 10,
  PatFourOpen = 11,
  PatFive = 12,
  PatOverline = 13,
};

// Threat-cell set kinds (index into the set arrays of BoardBase).
enum SetKind : int {
  FiveCells = 0,
  OpenFourCells = 1,
  FourCells = 2,
  ThreeCells = 3,
  DoubleCells = 4,
};
constexpr int SET_KINDS = 5;
constexpr int MASKED_SET_KINDS = 4;   // kinds that keep a per-cell direction mask

// Directions and their index steps: row, column, x + y diagonal, x - y diagonal.
constexpr int DIRECTIONS = 4;
constexpr int DIR_STEP[DIRECTIONS] = {1, 32, 31, 33};

// Score scale, always from the side to move's point of view.
constexpr int WIN_SCORE = 10000000;       // plus the remaining depth
constexpr int DECISIVE_SCORE = 9000000;   // proven win or loss from here on
constexpr int MATE_BAND = 9999031;        // values beyond are stored depth-relative
constexpr int LOST_LINE = -5000000;       // below this a node counts as lost
constexpr int NO_SCORE = -1000000000;
constexpr int HASH_MISS = 20000000;
constexpr int ROOT_WINDOW = 100000000;
constexpr int LOST_NO_MOVE = 9999998;     // a node with no legal move: -(this + depth)
