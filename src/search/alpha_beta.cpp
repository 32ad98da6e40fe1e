#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "board/pattern_tables.h"
#include "search/tunables.h"
#include "search/worker.h"

// Principal-variation alpha-beta search with a transposition table, a staged
// move generator, fractional threat extensions, shape penalties, razoring and
// late-move pruning.
Worker::Worker() {
  clearPlyStacks();
  clearKillers();
  threats.pos = &pos;
  std::memset(sequenceTried, 0, sizeof sequenceTried);
}

int Worker::solveSequence(int colour, int64_t budget, int maxPlies, int* firstMove) {
  if (!links.threatCache) return 0;
  threats.cache = links.threatCache;
  threats.stop = links.stopRequested;
  const int plies = threats.solve(colour, budget, maxPlies, firstMove);
  search.nodeCount.store(search.nodeCount.load(std::memory_order_relaxed) + threats.nodes,
                         std::memory_order_relaxed);
  return plies;
}

bool Worker::nodeClockCheck() {
  const int64_t nodes = search.nodeCount.load(std::memory_order_relaxed) + 1;
  search.nodeCount.store(nodes, std::memory_order_relaxed);
  if ((nodes & 1023) != 0) return false;
  bool stop;
  if (isMain) {
    stop = clockMs() - search.startTime + stopMargin(search.moveBudget) >= search.moveBudget || links.stopRequested->load() > 0 ||
           (search.maxNodes > 0 && totalNodes() >= search.maxNodes);
  } else {
    stop = links.searchOver->load(std::memory_order_relaxed) > 0 || links.stopRequested->load() > 0;
  }
  if (stop) search.stopSearch = 1;
  return stop;
}

int64_t Worker::totalNodes() const {
  int64_t sum = search.nodeCount.load(std::memory_order_relaxed);
  for (int i = 0; i < links.peerCount; i++) sum += links.peers[i]->search.nodeCount.load(std::memory_order_relaxed);
  return sum;
}

void Worker::clearPlyStacks() {
  std::memset(plyStamp, 0, sizeof plyStamp);
  std::memset(plyMarks, 0, sizeof plyMarks);
}

namespace {

constexpr int THREAT_VALUE = 158;     // CellValueTable from which a move is a threat
constexpr int STRONG_THREAT = 262;
constexpr int KILLER_LIMIT = 157;
// Nodes the threat-sequence solver may spend on the opponent one ply below
// the root, and the longest sequence it looks for.
constexpr int64_t PLY_ONE_SEQUENCE_BUDGET = 600;
constexpr int SEQUENCE_PLIES = 31;
// The same at the horizon, where it runs far more often: a small budget, and
// only short sequences (the solver keeps its failures in the cache, so a
// position met again costs one probe).
constexpr int64_t LEAF_SEQUENCE_BUDGET = 48;
constexpr int LEAF_SEQUENCE_PLIES = 15;

// Penalty weight by distance to the nearest edge: moves near the edge keep
// their full penalty, central ones a little over a third of it.
int edgeWeight(int i, int j) {
  static const int h[6] = {40, 40, 32, 26, 20, 15};
  return h[std::min(std::min(i, j), 5)];
}

double penaltyScale(int e) {
  if (e >= 600) return 0;
  if (e >= 500) return 0.1;
  if (e >= 400) return 0.2;
  if (e >= 300) return 0.4;
  if (e >= 200) return 0.6;
  if (e >= 100) return 0.8;
  if (e >= -99) return 1.0;
  if (e >= -199) return 1.1;
  if (e >= -299) return 1.3;
  if (e >= -499) return 1.6;
  return 1.8;
}

// Past the nominal horizon a node serves the ladder up to this stage: the
// double and single threat cells of both sides, no killers and no quiet moves.
constexpr int QUIESCENCE_LAST_STAGE = 5;

// Late-move reductions: a move that earns no extension, served late from the
// single-threat stages on at a node deep enough, is searched first to a
// smaller depth at a null window, and again to the full depth only when it
// beats alpha there. The reduction grows with the log of the depth and of the
// move's index; PV nodes reduce a ply less and start later.
constexpr int LMR_MIN_DEPTH = 3;
constexpr int LMR_MIN_INDEX = 3;
int reductionOf(int d, int i) {
  if (d == 0 || i == 0) return 0;
  return static_cast<int8_t>(tune::lmrOffset / 100.0 + std::log(d) * std::log(i) / (tune::lmrDivisor / 100.0));
}
#ifndef RUVAN_TUNE
struct ReductionTable {
  int8_t r[64][64];
  ReductionTable() {
    for (int d = 0; d < 64; d++)
      for (int i = 0; i < 64; i++) r[d][i] = static_cast<int8_t>(reductionOf(d, i));
  }
};
const ReductionTable reductions;
#endif

int lateMoveReduction(int effDepth, int index, bool pvNode) {
#ifdef RUVAN_TUNE
  int r = reductionOf(std::min(effDepth, 63), std::min(index, 63));
#else
  int r = reductions.r[std::min(effDepth, 63)][std::min(index, 63)];
#endif
  if (pvNode) r--;
  return std::max(r, 0);
}

// Move-count pruning above the depths lateMoveStop covers: a null-window node
// that has searched this many moves without a cut-off stops serving the
// threat-less stages.
int moveCountLimit(int effDepth) {
  return effDepth <= 4 ? 1000
                       : static_cast<int>(tune::moveCountBase / 10.0 +
                                          std::pow(effDepth, tune::moveCountExponent / 100.0));
}

bool lateMoveStop(int effDepth, int stage, int index) {
  const int i12 = (12 * tune::lateStopScale + 50) / 100, i10 = (10 * tune::lateStopScale + 50) / 100,
            i8 = (8 * tune::lateStopScale + 50) / 100;
  if (effDepth <= 1) return (stage >= 4 && index >= i12) || (stage >= 5 && index >= i10) || (stage >= 6 && index >= i8);
  if (effDepth == 2) return (stage >= 4 && index >= i12) || (stage >= 6 && index >= i8);
  if (effDepth == 3) return stage >= 5 && index >= i12;
  if (effDepth == 4) return stage >= 6 && index >= i12;
  return false;
}

}  // namespace

bool Worker::openFourWins(int colour) {
  if (pos.builtRule != RULE_RENJU || colour != BLACK) return true;
  int32_t cells[MAX_CELLS];
  return countPlayableOpenFours(colour, cells) > 0;
}

MoveShape Worker::moveShape(int cell, int depth, int colour, bool pvNode, int& nodeThreat, double& scale) {
  const CellInfo& info = pos.board.cellInfo[cell];
  const int w = info.patterns[colour - 1];
  const int T = CellValueTable[w], F = CellFlagTable[w];
  MoveShape shape{0, 0, T};
  if (T < THREAT_VALUE) return shape;
  const int level = T >= STRONG_THREAT ? 2 : 1;
  shape.extension = pvNode ? level + 1 : (T < STRONG_THREAT ? 1 : 2);
  const int roomSum = info.roomSum[colour - 1];
  int base = 0;
  if (F & FLAG_FOUR) base = level == 1 ? -40 : -5;
  else if (F & FLAG_THREE) base = (T >= 164 || roomSum >= 24) ? -5 : -10;
  const int x = cellX(cell), y = cellY(cell);
  const int g = edgeWeight(std::min(pos.xExtent - 1 - x, x), std::min(pos.yExtent - 1 - y, y));
  int penalty = base * g / 40;
  if (penalty != 0) {
    if (roomSum < 18) {
      penalty = static_cast<int>(penalty * 1.1);
      if (roomSum < 15) {
        penalty = static_cast<int>(penalty * 1.1);
        if (roomSum < 12) penalty = static_cast<int>(penalty * 1.3);
      }
    }
    if (roomSum > 22) penalty = static_cast<int>(penalty * 0.9);
    if (scale < 0) {
      if (nodeThreat == NO_SCORE) nodeThreat = threatEval(depth - 1, colour);
      int e = nodeThreat;
      if (pos.builtRule == RULE_RENJU) e += colour == BLACK ? -75 : 75;
      scale = penaltyScale(e);
    }
    penalty = static_cast<int>(penalty * scale);
  }
  if (!setEmpty(FiveCells, colour ^ 3)) penalty /= 4;
  shape.penalty = penalty * tune::penaltyScale / 100;
  return shape;
}

void Worker::advancePlyStamp(int ply) {
  if (++plyStamp[ply] > (uint64_t{1} << 63)) {
    plyStamp[ply] = 1;
    std::memset(plyMarks[ply], 0, sizeof plyMarks[ply]);
  }
}

void insertBest(BestMoves& b, int value, int cell) {
  for (int i = 0; i < 3; i++) {
    if (value > b.value[i]) {
      for (int j = 2; j > i; j--) {
        b.value[j] = b.value[j - 1];
        b.cell[j] = b.cell[j - 1];
      }
      b.value[i] = value;
      b.cell[i] = cell;
      return;
    }
  }
}

bool Worker::anyUsable(const int* moves) const {
  for (int i = 0; i < 3; i++)
    if (moves[i] >= 0 && pos.onBoard(moves[i]) && pos.board.cells[moves[i]] == EMPTY) return true;
  return false;
}

bool Worker::stageZeroMoves(int effDepth, int alpha, int beta, int colour, int extension, bool pvNode, int iidDepth,
                    int* hashMoves, int& result) {
  // Probing at depth 1 hands over the moves of any entry searched to at least
  // one ply, whatever its depth; the value is not used here.
  probeHash(1, alpha, beta, colour, pos.board.hashKey, hashMoves, 3);
  if (anyUsable(hashMoves) || effDepth < (pvNode ? 6 : 8)) return false;
  const int v = alphaBeta(iidDepth, alpha, beta, colour, extension);
  if (search.stopSearch) {
    result = 0;
    return true;
  }
  if (!pvNode && v >= beta && v > DECISIVE_SCORE) {
    storeHash(effDepth, v, BOUND_EXACT, colour, NO_CELL, NO_CELL, NO_CELL);
    result = v;
    return true;
  }
  probeHash(1, alpha, beta, colour, pos.board.hashKey, hashMoves, 3);
  return false;
}

int Worker::alphaBeta(int depth, int alpha, int beta, int colour, int extension) {
  const int ply = plyOf(depth);
  // A line extended to the end of the per-ply stacks is judged statically.
  if (ply >= PLY_LIMIT || ply < 0) return threatEval(depth, colour);
  if (nodeClockCheck()) return 0;
  if (ply > search.selDepth) search.selDepth = ply;
  const int opponent = colour ^ 3;
  if (!setEmpty(FiveCells, colour)) return WIN_SCORE + depth;
  if (ply == 1 && guardReplies) {
    // A root move the guard found lost stays lost at every depth, ahead of
    // whatever the table holds for it.
    const SequenceVerdict& tried = sequenceTried[pos.board.hashKey & (SEQUENCE_MEMO - 1)];
    if (tried.key == pos.board.hashKey && tried.plies > 0) return sequenceWinScore(depth, tried.plies);
  }

  const int effDepth = depth + (extension >> 1);
  const bool pvNode = beta != alpha + 1;
  int forced = NO_CELL;
  int hashMoves[3] = {NO_CELL, NO_CELL, NO_CELL};
  int provisional = NO_CELL;
  int nodeThreat = NO_SCORE;
  int standPat = NO_SCORE, lastStage = 7;
  if (!setEmpty(FiveCells, opponent)) {
    forced = firstSetCell(FiveCells, opponent);
  } else {
    if (!setEmpty(OpenFourCells, colour) && openFourWins(colour)) return WIN_SCORE + depth;
    if (!pvNode) {
      const int v = probeHash(effDepth, alpha, beta, colour, pos.board.hashKey, hashMoves, 3);
      if (v != HASH_MISS) return v;
      provisional = hashMoves[0];
    }
    int r = solveThreats(depth, colour);
    if (search.stopSearch) return 0;
    if (r > 0) {
      r += depth - MAX_CELLS;
      storeHash(effDepth, r, BOUND_EXACT, colour, NO_CELL, NO_CELL, NO_CELL);
      return r;
    }
    // One ply below the root the side to move is the opponent: a win of his
    // by threes and fours makes our root move a proven loss, seen long
    // before the search could reach it.
    // Each such position is solved once a search (an attempt that ran out of
    // nodes would run out again) and its verdict kept for later iterations.
    // Not stored in the table: if every root move turns out lost this way,
    // the root searches again without these verdicts (see deepen).
    if (ply == 1 && checkReplies && links.threatCache &&
        !(setEmpty(ThreeCells, colour) && setEmpty(FourCells, colour))) {
      SequenceVerdict& tried = sequenceTried[pos.board.hashKey & (SEQUENCE_MEMO - 1)];
      if (tried.key != pos.board.hashKey) {
        tried.key = pos.board.hashKey;
        tried.plies = solveSequence(colour, PLY_ONE_SEQUENCE_BUDGET, SEQUENCE_PLIES, nullptr);
        tried.budget = PLY_ONE_SEQUENCE_BUDGET;
      }
      if (tried.plies > 0) return sequenceWinScore(depth, tried.plies);
    }
    if (depth + 2 * (extension >> 2) <= 0) {
      // The four-solver above found no win. The solver is asked only when
      // the side to move has a cell that makes two threats at once, one of
      // them a three: most horizon nodes have none, and a double four would
      // have been the four-solver's.
      if (links.sequenceLeaves && links.threatCache && !setEmpty(DoubleCells, colour) &&
          !setEmpty(ThreeCells, colour)) {
        const int plies = solveSequence(colour, LEAF_SEQUENCE_BUDGET, LEAF_SEQUENCE_PLIES, nullptr);
        if (plies > 0) {
          const int v = sequenceWinScore(depth, plies);
          storeHash(effDepth, v, BOUND_EXACT, colour, NO_CELL, NO_CELL, NO_CELL);
          return v;
        }
      }
      const int v = threatEval(depth, colour);
      storeHash(effDepth, v, BOUND_EXACT, colour, NO_CELL, NO_CELL, NO_CELL);
      return v;
    }
    if (!pvNode && effDepth <= 4) {
      nodeThreat = threatEval(depth - 1, colour);
      const int margin = tune::razorMargin * std::max(effDepth, 1);
      if (nodeThreat + margin <= alpha) return alpha;
      if (nodeThreat - margin >= beta) return beta;
    }
    // Past the nominal horizon the search goes on only because threats
    // extended it. There the side to move may stand on the static value and
    // tries only the threat stages (its own and the opponent's threat cells):
    // the quiet moves are what the horizon cut off.
    if (depth <= 0 && setEmpty(OpenFourCells, opponent)) {
      standPat = threatEval(depth, colour);
      if (standPat >= beta) return standPat;
      lastStage = QUIESCENCE_LAST_STAGE;
    }
  }
  advancePlyStamp(ply);

  if (forced < 0) {
    int result;
    const int iidDepth = depth - (pvNode ? 1 : effDepth / 4) - 2;
    if (stageZeroMoves(effDepth, alpha, beta, colour, extension, pvNode, iidDepth, hashMoves, result)) return result;
  }

  MovePicker picker;
  pickerInit(picker, NodeContext{depth, effDepth, ply, colour, pvNode, NO_SCORE, 0}, forced, hashMoves);
  picker.lastStage = lastStage;
  BestMoves top{{provisional, NO_CELL, NO_CELL}, {NO_SCORE, NO_SCORE, NO_SCORE}};
  int best = standPat, bound = BOUND_UPPER, index = 0;
  if (standPat > alpha) alpha = standPat;
  double scale = -1;
  const int iterationDepth = pos.board.iterationDepth;
  for (int cell; (cell = nextMove(picker, best)) >= 0;) {
    // The child probes the table and the four-solver cache first thing: start
    // both loads now, so that they overlap with the make.
    const uint64_t childKey = pos.board.hashKey ^ zobristKeys[cell][colour - 1];
    links.tt->prefetch(childKey, opponent);
    prefetchFour(fourTableOf(opponent, 0), childKey);
    const MoveShape shape = moveShape(cell, depth, colour, pvNode, nodeThreat, scale);
    int ext = shape.extension;
    pos.makeStone(cell, colour, undoStack[ply]);
    if (pvNode && depth >= -3 * iterationDepth / 2 && shape.cellValue >= 8 && shape.cellValue <= KILLER_LIMIT) {
      const int r = solveThreats(depth - 1, colour);
      if (!search.stopSearch && r > 0) ext = std::min(ext + 1 + (shape.cellValue > 33 ? 1 : 0), 4);
    }
    const int childExt = extension + ext, penalty = shape.penalty;
    int v;
    int reduction = 0;
    if (index >= (pvNode ? LMR_MIN_INDEX + 1 : LMR_MIN_INDEX - 1) && effDepth >= LMR_MIN_DEPTH && ext == 0 &&
        forced < 0 && picker.lmpStage >= 4 && picker.lmpStage < 12)
      reduction = std::min(lateMoveReduction(effDepth, index, pvNode), depth - 1);
    if (reduction > 0) {
      v = penalty - alphaBeta(depth - 1 - reduction, penalty - alpha - 1, penalty - alpha, opponent, childExt);
      if (!search.stopSearch && v > alpha)
        v = penalty - alphaBeta(depth - 1, penalty - alpha - 1, penalty - alpha, opponent, childExt);
      if (!search.stopSearch && pvNode && alpha < v && v < beta)
        v = penalty - alphaBeta(depth - 1, penalty - beta, penalty - alpha, opponent, childExt);
    } else if (pvNode && index > 0) {
      v = penalty - alphaBeta(depth - 1, penalty - alpha - 1, penalty - alpha, opponent, childExt);
      if (!search.stopSearch && alpha < v && v < beta)
        v = penalty - alphaBeta(depth - 1, penalty - beta, penalty - alpha, opponent, childExt);
    } else {
      v = penalty - alphaBeta(depth - 1, penalty - beta, penalty - alpha, opponent, childExt);
    }
    pos.unmakeStone(cell, undoStack[ply]);
    if (search.stopSearch) return 0;

    best = std::max(best, v);
    insertBest(top, (v >= DECISIVE_SCORE || v <= -DECISIVE_SCORE) ? v : std::max(v, alpha), cell);
    if (v >= beta) {
      const CellInfo& info = pos.board.cellInfo[cell];
      if (CellValueTable[info.patterns[0]] <= KILLER_LIMIT && CellValueTable[info.patterns[1]] <= KILLER_LIMIT)
        recordKiller(depth, cell, colour);
      if (picker.stage == 0) {
        // The hash moves after the cutting one keep their places.
        for (int j = picker.next; j < picker.count && j < 3; j++) top.cell[j] = moveStack[ply][j].cell;
      }
      storeHash(effDepth, v, BOUND_LOWER, colour, top.cell[0], top.cell[1], top.cell[2]);
      return v;
    }
    if (v > alpha) {
      alpha = v;
      bound = BOUND_EXACT;
    } else if (ply > 2 && best > LOST_LINE && !pvNode && ext <= 1 && picker.lmpStage < 12 &&
               (lateMoveStop(effDepth, picker.lmpStage, index) ||
                (picker.lmpStage >= 4 && index >= moveCountLimit(effDepth)))) {
      index++;
      break;
    }
    index++;
  }

  const bool full = pos.boardFull();
  const int value = best == NO_SCORE ? alpha : best;
  storeHash(effDepth, (index == 0 && full) ? 0 : value, bound, colour, top.cell[0], top.cell[1], top.cell[2]);
  if (index > 0 || standPat != NO_SCORE) return value;
  if (full) return 0;
  return std::max(alpha, -depth - LOST_NO_MOVE);
}
