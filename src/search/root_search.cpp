// The root of the search and the deepening loop around it.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "board/pattern_tables.h"
#include "search/tunables.h"
#include "search/worker.h"

namespace {

constexpr int ROOT_CAP_MARGIN = 9999999;
constexpr int START_DEPTH = 1;
constexpr int DEPTH_CAP = MAX_CELLS;
constexpr int VALUE_TERM_THRESHOLD = 150;
constexpr int RENJU_VALUE_BIAS = 75;
// The threat-sequence solve at the root: its first node budget and the
// longest sequence it looks for.
constexpr int64_t ROOT_SEQUENCE_FIRST = 2000;
constexpr int64_t OPPONENT_SEQUENCE_BUDGET = 3000;
constexpr int ROOT_SEQUENCE_PLIES = 35;
// The guard of the best move: its first budget (an eighth of the nodes
// searched once that is more) and how many root moves it may exclude in one
// search, each exclusion costing a search of the depth again.
constexpr int64_t GUARD_FIRST = 20000;
constexpr int GUARD_MAX_REFUTED = 6;
// The solver's speed the guard counts on when it fits a solve into the time
// left (its slowest measured rate), and the least solve worth starting.
constexpr int64_t GUARD_NODES_PER_MS = 500;
constexpr int64_t GUARD_LEAST = 1000;
// Depth of the searches that rank the moves of a lost position.
constexpr int RESIST_SEARCH_DEPTH = 4;
// The first depth whose root moves are announced as they are searched: the
// iterations below it pass too fast for a board to show them.
constexpr int ROOT_MOVES_SHOWN_DEPTH = 4;

// The aspiration window: from this depth on, this wide on each side of the
// last value, while that value is below the limit (a value near a proven
// result moves by more than any window between iterations).
constexpr int ASPIRATION_DEPTH = 5;
constexpr int ASPIRATION_LIMIT = 3000;

int clampTo(int v, int cap) { return std::max(-cap, std::min(cap, v)); }

}  // namespace

int Worker::currentBudget(int multiplier) const {
  const int empty = pos.xExtent * pos.yExtent - pos.board.stoneCount - pos.blockCount;
  return std::min(search.budgetCap, budgetFor(links.limits->time_left.load(), links.limits->timeout_turn.load(),
                                              multiplier, expectedMovesLeft(pos.recordCount, empty)));
}

int Worker::raisedBudget(int drop, int newBest) const {
  return currentBudget(1 + search.extendForValue + drop + newBest);
}

// The clock at which the main worker's search stops itself (see
// nodeClockCheck); helpers stop with it.
int Worker::hardStop() const {
  if (!isMain) return INT_MAX;
  const int64_t stop = int64_t{search.startTime} + search.moveBudget - stopMargin(search.moveBudget);
  return static_cast<int>(std::max<int64_t>(INT_MIN, std::min<int64_t>(INT_MAX, stop)));
}

// The first root move lost value against the last iteration: think longer.
void Worker::checkDrop(int v) {
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
void Worker::noteNewBest() {
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
void Worker::setBest(int cell) {
  search.bestX = cell < 0 ? -1 : cellX(cell);
  search.bestY = cell < 0 ? -1 : cellY(cell);
}

int Worker::firstPlayableSetCell(int kind, int colour) const {
  if (rootExcludedCount == 0) return firstSetCell(kind, colour);
  int32_t cells[MAX_CELLS];
  const int n = listSetCells(kind, colour, cells);
  for (int i = 0; i < n; i++)
    if (!rootExcludes(cells[i])) return cells[i];
  return NO_CELL;
}

int Worker::searchRoot(int depth, int alpha, int beta, int colour, int extension) {
  if (nodeClockCheck()) return 0;
  const int opponent = colour ^ 3;
  // A win in hand counts only on a cell the root may play.
  if (firstPlayableSetCell(FiveCells, colour) >= 0) return WIN_SCORE + depth;
  int forced = NO_CELL;
  if (!setEmpty(FiveCells, opponent)) {
    // The cell to block; under Renju Black blocks on a cell it may play, when
    // the first one is forbidden and there is another (the game is lost
    // either way, but a block keeps it going and a random cell does not).
    forced = firstSetCell(FiveCells, opponent);
    if (pos.builtRule == RULE_RENJU && colour == BLACK && pos.isForbidden(forced)) {
      int32_t cells[MAX_CELLS];
      const int n = listSetCells(FiveCells, opponent, cells);
      for (int i = 0; i < n; i++)
        if (!pos.isForbidden(cells[i])) {
          forced = cells[i];
          break;
        }
    }
  }
  else if (setEmpty(FiveCells, colour) && firstPlayableSetCell(OpenFourCells, colour) >= 0 && openFourWins(colour))
    return WIN_SCORE + depth;
  advancePlyStamp(0);

  const int effDepth = depth + (extension >> 1);
  const int cap = pos.board.iterationDepth + ROOT_CAP_MARGIN;
  int hashMoves[3] = {NO_CELL, NO_CELL, NO_CELL};
  if (forced < 0) {
    int result;
    if (stageZeroMoves(effDepth, alpha, beta, colour, extension, true, depth - 3, hashMoves, result)) return 0;
  }

  MovePicker picker;
  pickerInit(picker, NodeContext{depth, effDepth, 0, colour, true, NO_SCORE, 0}, forced, hashMoves);
  picker.preferred = rootPreferred;
  picker.preferredCount = rootPreferredCount;
  BestMoves top{{NO_CELL, NO_CELL, NO_CELL}, {NO_SCORE, NO_SCORE, NO_SCORE}};
  int best = NO_SCORE, bound = BOUND_UPPER, index = 0, nonLosingMoves = 0;
  int nodeThreat = NO_SCORE;
  double scale = -1;
  const bool showMoves = links.onRootEvent && depth >= ROOT_MOVES_SHOWN_DEPTH;
  for (int cell; (cell = nextMove(picker, best)) >= 0;) {
    if (rootExcludedCount > 0 && rootExcludes(cell)) continue;
    if (showMoves) links.onRootEvent(links.listener, ROOT_MOVE_STARTED, cell);
    const MoveShape shape = moveShape(cell, depth, colour, true, nodeThreat, scale);
    int penalty = shape.penalty;
    if (pos.builtRule == RULE_RENJU) penalty += openness(cellX(cell), cellY(cell), colour);
    int ext = shape.extension;
    pos.placeStone(cell, colour);
    if (depth >= -3 * pos.board.iterationDepth / 2 && shape.cellValue >= 8 && shape.cellValue <= 157) {
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
    pos.removeStone(cell);
    if (showMoves) links.onRootEvent(links.listener, ROOT_MOVE_DONE, cell);
    if (search.stopSearch) {
      // A cut-short iteration counts once two root moves are finished.
      if (index <= 1) return 0;
      setBest(top.cell[0]);
      const int partial = clampTo(best, cap);
      return partial == 0 ? 1 : partial;
    }
    if (v > -DECISIVE_SCORE) nonLosingMoves++;
    else if (links.onRootEvent) links.onRootEvent(links.listener, ROOT_LOST, cell);
    best = std::max(best, v);
    const int leader = top.cell[0];
    insertBest(top, (v >= DECISIVE_SCORE || v <= -DECISIVE_SCORE) ? v : std::max(v, alpha), cell);
    if (links.onRootEvent && top.cell[0] != leader) links.onRootEvent(links.listener, ROOT_NEW_BEST, top.cell[0]);
    if (v >= beta) {
      const CellInfo& info = pos.board.cellInfo[cell];
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
  const bool full = pos.boardFull();
  if (depth != 1)
    replaceHash(effDepth, (index == 0 && full) ? 0 : (best == NO_SCORE ? alpha : best), bound, colour, top.cell[0],
                top.cell[1], top.cell[2]);
  alpha = std::min(alpha, cap);
  if (index > 0) return best == NO_SCORE ? alpha : clampTo(best, cap);
  return full ? 0 : std::max(alpha, -LOST_NO_MOVE - depth);
}

int Worker::playForcedWin(int colour) {
  int32_t cells[MAX_CELLS];
  int n = listSetCells(FiveCells, colour, cells);
  if (n == 0) n = countPlayableOpenFours(colour, cells);
  for (int i = 0; i < n; i++)
    if (!rootExcludes(cells[i])) {
      setBest(cells[i]);
      return 1;
    }
  return 0;
}

void Worker::beginSearch(bool thinking) {
  search.moveBudget = currentBudget(1);
  search.thinking = thinking ? 1 : 0;
  search.sameBestStreak = search.extendForValue = search.extendForDrop = search.extendForNewBest = 0;
  search.nodeCount.store(0, std::memory_order_relaxed);
  search.stopSearch = 0;
  search.bestX = search.bestY = -1;
  search.startTime = 0;
  search.selDepth = 0;
  std::memset(sequenceTried, 0, sizeof sequenceTried);
  rootPreferredCount = 0;
}

int Worker::deepen(int colour) {
  const int n = pos.recordCount, cellCount = pos.xExtent * pos.yExtent;
  const int64_t average = static_cast<int64_t>(links.limits->time_left.load()) / std::max(cellCount - n + 1, 1);
  bool plentyOfTime = average >= search.moveBudget;
  int& depth = pos.board.iterationDepth;

  search.startTime = search.originTime >= 0 ? search.originTime : clockMs();
  int result = onePlyPass(colour);
  search.lastValue = result;
  depth = START_DEPTH;
  // A win by a sequence of threes and fours is played at once. The solver
  // runs before the iterations with a budget that doubles each time it ran
  // out, as long as it stays within an eighth of the nodes searched so far:
  // its cache keeps what each attempt proved, so a long win is found step by
  // step, and a position without one costs little.
  bool sequencePending = links.threatCache != nullptr && setEmpty(FiveCells, colour);
  int64_t sequenceBudget = ROOT_SEQUENCE_FIRST;
  // The opponent's sequences matter only if he has one now, as if he were
  // to move: our stone can take threats from him but never give him one. So
  // the check one ply below the root runs only when this finds a win for him
  // or runs out of nodes.
  checkReplies = false;
  if (links.threatCache && links.sequenceDefence && setEmpty(FiveCells, colour) &&
      setEmpty(FiveCells, colour ^ 3)) {
    const int plies = solveSequence(colour ^ 3, OPPONENT_SEQUENCE_BUDGET, ROOT_SEQUENCE_PLIES, nullptr);
    checkReplies = plies > 0 || threats.aborted;
  }
  // The guard: moves it excludes stay excluded through the iterations that
  // follow (see alphaBeta), and after an exclusion the same depth is searched
  // again whatever the clock's soft stop says, since the move in hand is a
  // proven loss. `guarded` is the last best move that passed.
  guardReplies = links.threatCache != nullptr && links.guardBest;
  int refuted = 0, guarded = NO_CELL;
  bool searchAgain = false;
  for (;;) {
    if (depth > START_DEPTH && !searchAgain) {
      const int elapsed = clockMs() - search.startTime;
      if (stopBeforeIteration(elapsed, search.moveBudget, plentyOfTime, depth, n, cellCount) ||
          links.stopRequested->load() > 0)
        break;
    }
    searchAgain = false;
    if (depth > DEPTH_CAP || (search.fixedDepth > 0 && depth > search.fixedDepth)) break;
    if (sequencePending && sequenceBudget <= std::max(ROOT_SEQUENCE_FIRST, search.nodeCount.load() / 8)) {
      int first = NO_CELL;
      int64_t budget = sequenceBudget;
      if (search.maxNodes > 0) budget = std::min(budget, std::max<int64_t>(search.maxNodes / 8, 1));
      threats.deadline = hardStop();
      const int plies = solveSequence(colour, budget, ROOT_SEQUENCE_PLIES, &first);
      threats.deadline = INT_MAX;
      if (plies > 0 && first >= 0 && rootExcludes(first)) {
        sequencePending = false;   // the win starts on a move the root may not play
      } else if (plies > 0 && first >= 0) {
        result = sequenceWinScore(depth, plies);
        setBest(first);
        if (links.onIteration) links.onIteration(links.listener, *this, depth, result);
        depth++;
        break;
      }
      if (threats.aborted) sequenceBudget *= 2;
      else sequencePending = false;   // no such win at all
    }
    search.iterationStartX = search.bestX;
    search.iterationStartY = search.bestY;
    search.singleReply = 0;
    int v = search.lastValue;
    if (pos.builtRule == RULE_RENJU) v += colour == BLACK ? -RENJU_VALUE_BIAS : RENJU_VALUE_BIAS;
    search.extendForValue = std::abs(v) >= VALUE_TERM_THRESHOLD ? 1 : 0;
    search.moveBudget = currentBudget(1 + search.extendForValue + search.extendForDrop + search.extendForNewBest);
    if (average >= search.moveBudget) plentyOfTime = true;
    clearKillers();

    // An aspiration window around the last iteration's value: most
    // iterations land inside it and their null-window searches cut more; one
    // that falls outside is searched again with that side open.
    int low = -ROOT_WINDOW, high = ROOT_WINDOW;
    if (depth >= ASPIRATION_DEPTH && std::abs(search.lastValue) < ASPIRATION_LIMIT) {
      low = search.lastValue - tune::aspirationDelta;
      high = search.lastValue + tune::aspirationDelta;
    }
    int value;
    for (;;) {
      value = searchRoot(depth, low, high, colour, 0);
      if (search.stopSearch) break;
      if (value <= low && low > -ROOT_WINDOW) low = -ROOT_WINDOW;
      else if (value >= high && high < ROOT_WINDOW) high = ROOT_WINDOW;
      else break;
    }
    if (search.stopSearch) {
      if (value != 0) {
        result = value;
        depth++;
      }
      break;
    }
    result = value;
    if (value <= -DECISIVE_SCORE && checkReplies) {
      // Every move loses to a sequence of the opponent's. He may well not
      // find it, and the moves the search likes are the ones that make him
      // work for it: search on as if the sequences were not there.
      checkReplies = false;
      result = search.lastValue;
      continue;
    }
    if (value <= -DECISIVE_SCORE && guardReplies && refuted > 0) {
      // The same when the guard has excluded every move the search liked.
      guardReplies = false;
      result = search.lastValue;
      continue;
    }
    if (value >= DECISIVE_SCORE || value <= -DECISIVE_SCORE) {
      // A root that is won in hand names no move: the five or the open four
      // is picked here, before the iteration is reported.
      if (value - depth >= WIN_SCORE) playForcedWin(colour);
      if (links.onIteration) links.onIteration(links.listener, *this, depth, value);
      depth++;
      break;
    }
    if (guardReplies) {
      if (refuted < GUARD_MAX_REFUTED && bestLosesToSequence(colour)) {
        if (guarded == cellIndex(search.bestX, search.bestY)) guarded = NO_CELL;   // passed on a smaller budget
        refuted++;
        searchAgain = true;
        continue;
      }
      guarded = search.bestX >= 0 ? cellIndex(search.bestX, search.bestY) : NO_CELL;
    }
    if (links.onIteration) links.onIteration(links.listener, *this, depth, value);
    if (search.singleReply && depth >= 5) {
      depth++;
      break;
    }
    search.lastValue = value;
    if (search.bestX == search.iterationStartX && search.bestY == search.iterationStartY) {
      search.sameBestStreak++;
      if (stableEnough(search.sameBestStreak, plentyOfTime, clockMs() - search.startTime, search.moveBudget)) {
        depth++;
        break;
      }
    } else {
      search.sameBestStreak = 0;
    }
    depth++;
    if (average >= search.moveBudget) plentyOfTime = true;
  }
  depth--;
  // A search cut short may leave an unguarded or excluded move in hand: the
  // last move that passed the guard replaces it if the guard rejects it.
  if (guardReplies && search.bestX >= 0 && cellIndex(search.bestX, search.bestY) != guarded && guarded != NO_CELL &&
      result > -DECISIVE_SCORE && result < DECISIVE_SCORE && bestLosesToSequence(colour))
    setBest(guarded);
  if (result <= -DECISIVE_SCORE && links.stopRequested->load() == 0) resistLoss(colour);
  // The exclusions can take every move the generator offers (the answers to
  // an open three, say): the move that loses latest among the rest.
  if (search.bestX < 0 && rootExcludedCount > 0) resistLoss(colour);
  if (rootExcludedCount > 0 && (search.bestX < 0 || rootExcludes(cellIndex(search.bestX, search.bestY)))) {
    // The one-ply pass chose an excluded cell (a search stopped before two
    // root moves were done), or the only block of the opponent's five is
    // excluded and every move loses alike: any other playable cell near the
    // stones will do.
    setBest(NO_CELL);
    for (int x = 0; x < pos.xExtent && search.bestX < 0; x++)
      for (int y = 0; y < pos.yExtent; y++) {
        const int cell = cellIndex(x, y);
        if (pos.board.cells[cell] == EMPTY && !rootExcludes(cell) && neighbourhood(x, y, fullSquare) &&
            !(pos.builtRule == RULE_RENJU && colour == BLACK && pos.isForbidden(cell))) {
          setBest(cell);
          break;
        }
      }
  }
  search.startTime = clockMs() - search.startTime;
  pos.finalValue = result;
  if (pos.finalValue - depth >= WIN_SCORE) playForcedWin(colour);
  return result;
}

bool Worker::bestLosesToSequence(int colour) {
  if (search.bestX < 0) return false;
  const int cell = cellIndex(search.bestX, search.bestY);
  if (pos.board.cells[cell] != EMPTY) return false;
  int64_t budget = std::max(GUARD_FIRST, search.nodeCount.load(std::memory_order_relaxed) / 8);
  if (search.maxNodes > 0) budget = std::min(budget, std::max<int64_t>(search.maxNodes / 8, 1));
  // The solver does not read the clock: its nodes must fit in the time left
  // before the search's own hard stop, or the reply would be late.
  const int64_t timeLeft = int64_t{hardStop()} - clockMs();
  budget = std::min(budget, timeLeft * GUARD_NODES_PER_MS);
  pos.placeStone(cell, colour);
  SequenceVerdict& tried = sequenceTried[pos.board.hashKey & (SEQUENCE_MEMO - 1)];
  // A solve that ran out of nodes is tried again once the budget has doubled;
  // the threat cache keeps what the earlier attempts proved.
  const bool known = tried.key == pos.board.hashKey;
  int line[ROOT_SEQUENCE_PLIES + 1];
  int lineLength = 0;
  if (budget >= GUARD_LEAST && (!known || (tried.plies == 0 && 2 * tried.budget <= budget))) {
    threats.deadline = hardStop();
    const int plies = solveSequence(colour ^ 3, budget, ROOT_SEQUENCE_PLIES, nullptr);
    threats.deadline = INT_MAX;
    tried = SequenceVerdict{pos.board.hashKey, plies, threats.aborted ? budget : INT64_MAX / 4};
    if (plies > 0) {
      lineLength = threats.principalLine(line, ROOT_SEQUENCE_PLIES + 1, std::min(budget, GUARD_FIRST));
      search.nodeCount.store(search.nodeCount.load(std::memory_order_relaxed) + threats.nodes,
                             std::memory_order_relaxed);
    }
  }
  const bool lost = tried.key == pos.board.hashKey && tried.plies > 0;
  pos.removeStone(cell);
  if (lineLength > 0) preferRefutations(colour, line, lineLength);
  return lost;
}

// A move that breaks the opponent's proven line must take one of its cells
// or make a four he has to answer first; the moves the search would try next
// by its own order are often lost to the same line. The line's cells (his
// moves first, the earliest first, then our modelled replies) and our four
// cells join the root's early moves, once each.
void Worker::preferRefutations(int colour, const int* line, int count) {
  int32_t fours[MAX_CELLS];
  const int fourCount = listFourCells(colour, fours);
  auto add = [this](int cell) {
    if (cell < 0 || rootPreferredCount >= ROOT_PREFERRED || pos.board.cells[cell] != EMPTY) return;
    for (int i = 0; i < rootPreferredCount; i++)
      if (rootPreferred[i] == cell) return;
    rootPreferred[rootPreferredCount++] = cell;
  };
  for (int i = 0; i < count; i += 2) add(line[i]);
  for (int i = 1; i < count; i += 2) add(line[i]);
  for (int i = 0; i < fourCount; i++) add(fours[i]);
}

// A helper thread's deepening loop: the same root searched again and again,
// one ply deeper each time, until the main worker's search is over. Helpers
// with an odd number start a ply deeper, so that the threads spread over two
// depths and fill the shared table with entries the main worker reaches next.
// Nothing of a helper's result is used but what it leaves in the tables.
void Worker::helperDeepen(int colour, int helperNumber) {
  int& depth = pos.board.iterationDepth;
  search.startTime = clockMs();
  for (depth = START_DEPTH + (helperNumber & 1); depth <= DEPTH_CAP; depth++) {
    clearKillers();
    searchRoot(depth, -ROOT_WINDOW, ROOT_WINDOW, colour, 0);
    if (search.stopSearch) break;
  }
}

// Every root move is proven lost: play the one that loses latest, and above
// all one that stops the opponent's quick wins. A weaker opponent may never
// find a long win; a five, an open four or a chain of fours it will.
//
// Each candidate (every legal cell near the stones) is made and judged by
// how soon the opponent wins by force of fours: not at all, or in so many
// plies. Moves that stop every such win are then ranked by a short search,
// whose values keep the distance to the loss; when none does, the move that
// delays the chain longest is played. The root's own choice stays unless a
// candidate is judged better, and the step stops with the best so far when
// the clock runs out.
void Worker::resistLoss(int colour) {
  const int opponent = colour ^ 3;
  // A five to stop leaves one move, and the root has played it.
  if (!setEmpty(FiveCells, opponent)) return;
  const int savedDepth = pos.board.iterationDepth;
  const bool renjuBlack = pos.builtRule == RULE_RENJU && colour == BLACK;
  const int rootChoice = search.bestX >= 0 ? cellIndex(search.bestX, search.bestY) : NO_CELL;
  search.stopSearch = 0;

  constexpr int UNJUDGED = -1;
  struct Candidate {
    int cell;
    int quickWin;   // plies to the opponent's forced five by fours; 0: none; -1: not judged
  };
  static thread_local Candidate candidates[MAX_CELLS];
  int count = 0;
  // The root's own choice first, so that it is judged before the clock can
  // stop the others.
  if (rootChoice != NO_CELL) candidates[count++] = Candidate{rootChoice, UNJUDGED};
  for (int x = 0; x < pos.xExtent; x++)
    for (int y = 0; y < pos.yExtent; y++) {
      const int cell = cellIndex(x, y);
      if (cell == rootChoice || pos.board.cells[cell] != EMPTY || !neighbourhood(x, y, fullSquare) ||
          rootExcludes(cell))
        continue;
      if (renjuBlack && pos.isForbidden(cell)) continue;
      candidates[count++] = Candidate{cell, UNJUDGED};
    }

  // Judged one ply below the root.
  pos.board.iterationDepth = RESIST_SEARCH_DEPTH + 1;
  for (int i = 0; i < count; i++) {
    Candidate& c = candidates[i];
    pos.placeStone(c.cell, colour);
    int quick = 0;
    if (!setEmpty(FiveCells, opponent)) {
      quick = 1;
    } else {
      // After our four the opponent must answer it first: the chain, if
      // any, starts one ply later.
      const int r = solveThreats(RESIST_SEARCH_DEPTH, opponent);
      if (r > 0) quick = FOUR_WIN - r + (setEmpty(FiveCells, colour) ? 1 : 2);
    }
    pos.removeStone(c.cell);
    if (search.stopSearch) break;   // this one not judged after all
    c.quickWin = quick;
  }

  int bestCell = rootChoice, bestQuick = UNJUDGED, bestValue = NO_SCORE;
  bool anySafe = false;
  for (int i = 0; i < count; i++) {
    anySafe = anySafe || candidates[i].quickWin == 0;
    if (candidates[i].cell == rootChoice) bestQuick = candidates[i].quickWin;
  }
  if (anySafe && !search.stopSearch) {
    // Rank the moves that stop every quick win by a short search, whose
    // values keep the distance to the loss.
    if (bestQuick != 0) bestCell = NO_CELL;
    for (int i = 0; i < count; i++) {
      const Candidate& c = candidates[i];
      if (c.quickWin != 0) continue;
      pos.placeStone(c.cell, colour);
      clearKillers();
      const int v = -alphaBeta(RESIST_SEARCH_DEPTH, -ROOT_WINDOW, ROOT_WINDOW, opponent, 0);
      pos.removeStone(c.cell);
      if (search.stopSearch) break;
      if (v > bestValue) {
        bestValue = v;
        bestCell = c.cell;
      }
    }
    for (int i = 0; i < count && bestCell == NO_CELL; i++)
      if (candidates[i].quickWin == 0) bestCell = candidates[i].cell;
  } else if (anySafe) {
    if (bestQuick != 0)
      for (int i = 0; i < count; i++)
        if (candidates[i].quickWin == 0) {
          bestCell = candidates[i].cell;
          break;
        }
  } else if (bestQuick != UNJUDGED || rootChoice == NO_CELL) {
    // Every judged move allows a chain of fours: the one that delays it most.
    for (int i = 0; i < count; i++)
      if (candidates[i].quickWin > bestQuick) {
        bestQuick = candidates[i].quickWin;
        bestCell = candidates[i].cell;
      }
  }
  pos.board.iterationDepth = savedDepth;
  search.stopSearch = 0;
  setBest(bestCell);
}
