// Positions for unit tests, written as ASCII diagrams.
//
// Diagram line i is x = i and character j of it is y = j, so a diagram line
// is one row word of the board. 'X' Black, 'O' White, '#' block, '.' empty.
// Stones are placed directly with placeStone (not through the game record), so
// any count of either colour can be set up.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/pattern_update.h"
#include "control/think.h"
#include "protocol/settings.h"
#include "search/fours_solver.h"
#include "search/hash_table.h"

namespace testing_support {

constexpr uint32_t TEST_SEED = 20261207;

// An empty board of the given rule and size, built as the engine builds it.
inline void emptyBoard(int rule, int width, int height) {
  static bool keysReady = false;
  if (!keysReady) {
    seedRandom(TEST_SEED);
    drawZobristKeys();
    keysReady = true;
  }
  settings.rule = rule;
  settings.xExtent = width;
  settings.yExtent = height;
  lineSize = std::max(width, height);
  recordCount = 0;
  blockCount = 0;
  builtRule = -1;
  updateRadius = rule == RULE_FREESTYLE ? 4 : 5;
  rebuildBoard();
}

inline int cellValueOf(char c) {
  switch (c) {
    case 'X': case 'x': return BLACK;
    case 'O': case 'o': return WHITE;
    case '#': return BLOCK;
    default: return EMPTY;
  }
}

// Loads a diagram on a board of the given size (the diagram's own size when
// width and height are 0).
inline void loadPosition(int rule, const std::vector<std::string>& rows, int width = 0, int height = 0) {
  if (width == 0) width = static_cast<int>(rows.size());
  if (height == 0) height = static_cast<int>(rows.empty() ? 0 : rows[0].size());
  emptyBoard(rule, width, height);
  for (int x = 0; x < static_cast<int>(rows.size()); x++)
    for (int y = 0; y < static_cast<int>(rows[x].size()); y++) {
      const int v = cellValueOf(rows[x][y]);
      if (v != EMPTY) placeStone(cellIndex(x, y), v, v != BLOCK);
    }
}

// 15 x 15: Black's four OXXXX on row 7 (y 4 ... 7) with its five cell at
// (7, 8), and three scattered White stones. Black to move completes five.
inline const std::vector<std::string>& blackFourPosition() {
  // clang-format off
  static const std::vector<std::string> rows = {
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...............",
      "...........O...",
      "...OXXXX.......",
      ".........O.....",
      "...............",
      "...............",
      "..........O....",
      "...............",
      "...............",
      "...............",
  };
  // clang-format on
  return rows;
}

// Nominal search depth frame for code that indexes the per-ply stacks.
inline void setIterationDepth(int depth) { board.iterationDepth = depth; }

}  // namespace testing_support
