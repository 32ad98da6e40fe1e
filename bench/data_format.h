// The self-play position record that ruvan-datagen writes and ruvan-tune reads.
//
// A data file is a plain array of 128-byte records, no file header, so that a
// file can be appended to, cut at any record boundary, concatenated with
// another and read by seeking to record i * 128. Every record is one position
// of one game, taken just before the engine moved in it; the records of a game
// are consecutive and in the order played, and a game's records are written
// only once the game has ended (its result is in each of them).
//
// Layout, little-endian (the byte order of every machine the engine is built
// on; the reader checks `sizeof` and nothing else):
//
//   offset size field
//        0    4 gameIndex   game number within its seed (0, 1, 2, ...)
//        4    4 seed        the generator's seed; a game is a function of
//                           (seed, gameIndex, rule, nodeBudget) alone
//        8    4 nodeBudget  nodes each search was allowed (INFO max_node)
//       12    2 ply         stones on the board, opening stones included
//       14    2 value       search value for the side to move, clamped to
//                           +-VALUE_CLAMP; +-VALUE_DECISIVE for a proven win/loss
//       16    1 rule        RULE_FREESTYLE, RULE_STANDARD or RULE_RENJU
//       17    1 width       board extents, 1 ... DATA_SIDE
//       18    1 height
//       19    1 flags       see FLAG_* below
//       20    1 moveX       the move the engine chose here
//       21    1 moveY
//       22    1 openingPly  stones of the random opening (the engine played the rest)
//       23    1 reserved    zero
//       24  100 cells       2 bits per cell, cell (x, y) at k = x * DATA_SIDE + y,
//                           byte k / 4, bits 2 (k % 4) + 1 .. 2 (k % 4):
//                           EMPTY 0, BLACK 1, WHITE 2, BLOCK 3 (core/types.h)
//      124    4 valueNodes  0, or the budget of the search that gave `value`
//                           when ruvan-datagen --relabel searched the position
//                           again (nodeBudget stays that of the game's moves)
//
//   flags:  bit 7..3 zero | bit 2..1 result for the side to move | bit 0 side to move
//           side to move 0 Black, 1 White; result 0 loss, 1 draw, 2 win
//
// 128 bytes keeps a record one cache line pair and a million positions in
// 128 MB; the board is stored whole rather than as a move list so that a
// record stands alone (the fitter can shuffle and hold out single records)
// and features can be redefined without generating the data again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/types.h"

constexpr int DATA_SIDE = 20;    // largest board side the format holds
constexpr int DATA_RECORD_BYTES = 128;
constexpr int VALUE_CLAMP = 30000;
constexpr int VALUE_DECISIVE = 32000;

constexpr uint8_t FLAG_SIDE_WHITE = 0x1;
constexpr int FLAG_RESULT_SHIFT = 1;
constexpr uint8_t FLAG_RESULT_MASK = 0x3;
constexpr int RESULT_LOSS = 0;
constexpr int RESULT_DRAW = 1;
constexpr int RESULT_WIN = 2;

struct DataRecord {
  uint32_t gameIndex;
  uint32_t seed;
  uint32_t nodeBudget;
  uint16_t ply;
  int16_t value;
  uint8_t rule;
  uint8_t width;
  uint8_t height;
  uint8_t flags;
  uint8_t moveX;
  uint8_t moveY;
  uint8_t openingPly;
  uint8_t reserved0;
  uint8_t cells[DATA_SIDE * DATA_SIDE / 4];
  uint32_t valueNodes;

  int sideToMove() const { return (flags & FLAG_SIDE_WHITE) ? WHITE : BLACK; }
  int result() const { return (flags >> FLAG_RESULT_SHIFT) & FLAG_RESULT_MASK; }
  void setResult(int r) {
    flags = static_cast<uint8_t>((flags & ~(FLAG_RESULT_MASK << FLAG_RESULT_SHIFT)) | (r << FLAG_RESULT_SHIFT));
  }
  int cell(int x, int y) const {
    const int k = x * DATA_SIDE + y;
    return (cells[k >> 2] >> (2 * (k & 3))) & 3;
  }
  void setCell(int x, int y, int v) {
    const int k = x * DATA_SIDE + y;
    cells[k >> 2] = static_cast<uint8_t>((cells[k >> 2] & ~(3 << (2 * (k & 3)))) | (v << (2 * (k & 3))));
  }
};
static_assert(sizeof(DataRecord) == DATA_RECORD_BYTES, "a data record is 128 bytes");
static_assert(offsetof(DataRecord, cells) == 24 && offsetof(DataRecord, valueNodes) == 124,
              "the record layout drawn above");

// Each side's node budget, from a game's first two records (its positions
// alternate sides; pass the first twice for a game of one position).
inline void sideBudgets(const DataRecord& first, const DataRecord& second, uint32_t& black, uint32_t& white) {
  black = (first.sideToMove() == BLACK ? first : second).nodeBudget;
  white = (first.sideToMove() == WHITE ? first : second).nodeBudget;
}

// The search value as stored: decisive values keep only their sign.
inline int16_t clampValue(int v) {
  if (v >= DECISIVE_SCORE) return VALUE_DECISIVE;
  if (v <= -DECISIVE_SCORE) return -VALUE_DECISIVE;
  return static_cast<int16_t>(v > VALUE_CLAMP ? VALUE_CLAMP : v < -VALUE_CLAMP ? -VALUE_CLAMP : v);
}
