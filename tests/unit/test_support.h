// Positions for unit tests, written as ASCII diagrams, and the engine the
// tests search with.
//
// Diagram line i is x = i and character j of it is y = j, so a diagram line
// is one row word of the board. 'X' Black, 'O' White, '#' block, '.' empty.
// Stones are placed directly with placeStone (not through the game record), so
// any count of either colour can be set up.
//
// TE is one engine for the whole test program and TW its main worker, linked
// to the engine's tables as a lone worker; the tests set up TW.pos and call
// the worker's routines on it.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "board/board.h"
#include "control/engine.h"
#include "search/worker.h"

namespace testing_support {

constexpr uint32_t TEST_SEED = 20261207;

inline Engine& testEngine() {
  static Engine* engine = [] {
    seedRandom(TEST_SEED);
    drawZobristKeys();
    buildTables();
    Engine* e = new Engine;
    e->linkMainWorker();
    return e;
  }();
  return *engine;
}

}  // namespace testing_support

inline Engine& TE = testing_support::testEngine();
inline Worker& TW = TE.linkMainWorker();

namespace testing_support {

// An empty board of the given rule and size, built as the engine builds it,
// with the search tables prepared for the rule and the worker's stop cleared.
inline void emptyBoard(int rule, int width, int height) {
  TE.rule = rule;
  Position& pos = TW.pos;
  pos.tables = TE.ruleTables;
  pos.xExtent = width;
  pos.yExtent = height;
  pos.lineSize = std::max(width, height);
  pos.recordCount = 0;
  pos.blockCount = 0;
  pos.builtRule = -1;
  pos.rebuild(rule);
  TE.tt.prepare(rule);
  TE.fourCache.prepare(rule);
  TW.search.stopSearch = 0;
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
      if (v != EMPTY) TW.pos.placeStone(cellIndex(x, y), v, v != BLOCK);
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
inline void setIterationDepth(int depth) { TW.pos.board.iterationDepth = depth; }

}  // namespace testing_support
