#include "control/root_search.h"

#include <algorithm>
#include <cstdlib>

#include "board/board.h"
#include "board/pattern_tables.h"
#include "control/think.h"
#include "protocol/settings.h"
#include "search/alpha_beta.h"
#include "search/fours_solver.h"
#include "search/hash_table.h"
#include "search/moves.h"

namespace {

constexpr int ROOT_CAP_MARGIN = 9999999;

int clampTo(int v, int cap) { return std::max(-cap, std::min(cap, v)); }

int raisedBudget(int drop, int newBest) {
  return budgetFor(settings.time_left.load(), settings.timeout_turn.load(),
                   1 + search.extendForValue + drop + newBest);
}

// The first root move lost value against the last iteration: think longer.
void checkDrop(int v) {
  if (!search.thinking) return;
  if (search.stopSearch) {
    search.extendForDrop = 0;
    return;
  }
  const int last = search.lastValue;
  const int threshold = std::abs(last) < 200 ? last - 50 : last - std::abs(last) / 4;
  if (v <= threshold) {
    search.extendForDrop = 1;
    search.moveBudget = raisedBudget(1, search.extendForNewBest);
  } else {
    search.extendForDrop = 0;
  }
}

// A later root move threatens to replace the best one: think longer.
void noteNewBest() {
  if (!search.thinking) return;
  if (search.stopSearch) {
    search.extendForNewBest = 0;
    return;
  }
  search.extendForNewBest = 1;
  search.moveBudget = raisedBudget(search.extendForDrop, 1);
}

// No move (-1) leaves both coordinates at -1, so the driver's fallback and any
// pass line see "no move" rather than a made-up column.
void setBest(int cell) {
  search.bestX = cell < 0 ? -1 : cellX(cell);
  search.bestY = cell < 0 ? -1 : cellY(cell);
}

}  // namespace

int searchRoot(int depth, int alpha, int beta, int colour, int extension) {
  if (nodeClockCheck()) return 0;
  const int opponent = colour ^ 3;
  if (!setEmpty(FiveCells, colour)) return WIN_SCORE + depth;
  int forced = NO_CELL;
  if (!setEmpty(FiveCells, opponent)) forced = firstSetCell(FiveCells, opponent);
  else if (!setEmpty(OpenFourCells, colour) && openFourWins(colour)) return WIN_SCORE + depth;
  advancePlyStamp(0);

  const int effDepth = depth + (extension >> 1);
  const int cap = board.iterationDepth + ROOT_CAP_MARGIN;
  int hashMoves[3] = {NO_CELL, NO_CELL, NO_CELL};
  if (forced < 0) {
    int result;
    if (stageZeroMoves(effDepth, alpha, beta, colour, extension, true, depth - 3, hashMoves, result)) return 0;
  }

  MovePicker picker;
  pickerInit(picker, NodeContext{depth, effDepth, 0, colour, true, NO_SCORE, 0}, forced, hashMoves);
  BestMoves top{{NO_CELL, NO_CELL, NO_CELL}, {NO_SCORE, NO_SCORE, NO_SCORE}};
  int best = NO_SCORE, bound = BOUND_UPPER, index = 0, nonLosingMoves = 0;
  int nodeThreat = NO_SCORE;
  double scale = -1;
  for (int cell; (cell = nextMove(picker, best)) >= 0;) {
    const MoveShape shape = moveShape(cell, depth, colour, true, nodeThreat, scale);
    int penalty = shape.penalty;
    if (builtRule == RULE_RENJU) penalty += openness(cellX(cell), cellY(cell), colour);
    int ext = shape.extension;
    placeStone(cell, colour);
    if (depth >= -3 * board.iterationDepth / 2 && shape.cellValue >= 8 && shape.cellValue <= 157) {
      const int r = solveThreats(depth - 1, colour);
      if (!search.stopSearch && r > 0) ext = std::min(ext + 1 + (shape.cellValue > 33 ? 1 : 0), 4);
    }
    const int childExt = extension + ext;
    int v;
    if (index == 0) {
      v = penalty - alphaBeta(depth - 1, penalty - beta, penalty - alpha, opponent, childExt);
      checkDrop(v);
    } else {
      v = penalty - alphaBeta(depth - 1, penalty - alpha - 1, penalty - alpha, opponent, childExt);
      if (alpha < v && v < beta) {
        noteNewBest();
        if (!search.stopSearch) v = penalty - alphaBeta(depth - 1, penalty - beta, penalty - alpha, opponent, childExt);
      }
    }
    removeStone(cell);
    if (search.stopSearch) {
      // A cut-short iteration counts once two root moves are finished.
      if (index <= 1) return 0;
      setBest(top.cell[0]);
      const int partial = clampTo(best, cap);
      return partial == 0 ? 1 : partial;
    }
    if (v > -DECISIVE_SCORE) nonLosingMoves++;
    best = std::max(best, v);
    insertBest(top, (v >= DECISIVE_SCORE || v <= -DECISIVE_SCORE) ? v : std::max(v, alpha), cell);
    if (v >= beta) {
      const CellInfo& info = board.cellInfo[cell];
      if (CellValueTable[info.patterns[0]] <= 157 && CellValueTable[info.patterns[1]] <= 157)
        recordKiller(depth, cell, colour);
      setBest(top.cell[0]);
      replaceHash(effDepth, v, BOUND_LOWER, colour, top.cell[0], top.cell[1], top.cell[2]);
      return clampTo(v, cap);
    }
    if (v > alpha) {
      alpha = v;
      bound = BOUND_EXACT;
    }
    index++;
  }

  setBest(top.cell[0]);
  search.singleReply = nonLosingMoves == 1 ? 1 : 0;
  const bool full = boardFull();
  if (depth != 1)
    replaceHash(effDepth, (index == 0 && full) ? 0 : (best == NO_SCORE ? alpha : best), bound, colour, top.cell[0],
                top.cell[1], top.cell[2]);
  alpha = std::min(alpha, cap);
  if (index > 0) return best == NO_SCORE ? alpha : clampTo(best, cap);
  return full ? 0 : std::max(alpha, -LOST_NO_MOVE - depth);
}
