#include "control/level.h"

#include <algorithm>

#include "search/worker.h"

namespace {

// Level 1 is a beginner: a search of a few hundred nodes, and most of its
// moves chosen among those that look fine by the stones alone. Each level up
// searches about four times the nodes, looks away from the search's move less
// often and only to moves closer to it, and from level 2 on looks one reply
// deep (the opponent's fours and fives included) before it calls a move fine.
// The numbers were set by games against a weak engine and between
// neighbouring levels (README, "Levels").
constexpr LevelPlan PLANS[MAX_LEVEL] = {
    {400, 600, 1, 400, 90, false},
    {2000, 3000, 2, 160, 55, false},
    {8000, 6000, 2, 80, 35, true},
    {30000, 10000, 2, 40, 20, true},
    {100000, 15000, 2, 20, 10, true},
};

// splitmix64: a fresh draw from the engine's generator state.
uint64_t nextRandom(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

const LevelPlan& levelPlan(int level) { return PLANS[std::max(1, std::min(level, MAX_LEVEL)) - 1]; }

int64_t levelNodeBudget(int level, int64_t maxNode) {
  if (level <= 0) return maxNode;
  const int64_t own = levelPlan(level).nodes;
  return maxNode > 0 ? std::min(own, maxNode) : own;
}

// The choice. The search's move stands when the position leaves no room for
// taste: a five of ours to make, a five of the opponent's to block, a win
// the level keeps or an open four of ours, a loss the search proved (its
// resistance picked the move). Otherwise, on a draw against deviatePercent,
// every cell near the stones is made and judged from the opponent's side:
// a move after which he has a five cell, or an open-four cell while we have
// no four to answer with, is never chosen, whatever its value says, since a
// person who misses those is not playing the game. The others get the
// level's short look, and one is drawn among those within `margin` of the
// best look, the nearer ones more likely.
//
// The look runs on the main worker after the search, under the same clock
// and a node budget of its own; whatever it has not judged when either runs
// out is simply not a candidate. The search's move is always one.
void chooseLevelMove(Worker& w, int colour, int level, int value, uint64_t& random) {
  const LevelPlan& plan = levelPlan(level);
  const int opponent = colour ^ 3;
  if (w.search.bestX < 0) return;
  if (!w.setEmpty(FiveCells, colour) || !w.setEmpty(FiveCells, opponent)) return;
  if (value >= DECISIVE_SCORE && (plan.keepsWins || !w.setEmpty(OpenFourCells, colour))) return;
  if (value <= -DECISIVE_SCORE) return;
  if (static_cast<int>(nextRandom(random) % 100) >= plan.deviatePercent) return;

  Position& pos = w.pos;
  const int searched = cellIndex(w.search.bestX, w.search.bestY);
  const bool renjuBlack = pos.builtRule == RULE_RENJU && colour == BLACK;
  // The search left its elapsed time in startTime; the look's clock checks
  // need its start again, and the reply's speed line the elapsed time after.
  const int elapsed = w.search.startTime;
  w.search.startTime = clockMs() - elapsed;
  const int savedDepth = pos.board.iterationDepth;
  const int64_t savedMax = w.search.maxNodes;
  w.search.maxNodes = w.totalNodes() + plan.lookNodes;
  w.search.stopSearch = 0;
  pos.board.iterationDepth = 2;

  struct Look {
    int cell;
    int value;
  };
  static thread_local Look looks[MAX_CELLS];
  int count = 0, best = NO_SCORE, searchedLook = NO_SCORE;
  auto judge = [&](int cell) {
    pos.placeStone(cell, colour);
    int v = NO_SCORE;
    const bool blunder = !w.setEmpty(FiveCells, opponent) ||
                         (!w.setEmpty(OpenFourCells, opponent) && w.setEmpty(FiveCells, colour));
    if (!blunder) {
      if (plan.lookDepth <= 1) {
        v = -w.threatEval(0, opponent);
      } else {
        w.clearKillers();
        v = -w.alphaBeta(1, -ROOT_WINDOW, ROOT_WINDOW, opponent, 0);
      }
    }
    pos.removeStone(cell);
    if (w.search.stopSearch || v == NO_SCORE) return;
    looks[count++] = Look{cell, v};
    best = std::max(best, v);
    if (cell == searched) searchedLook = v;
  };
  judge(searched);
  for (int x = 0; x < pos.xExtent && !w.search.stopSearch; x++)
    for (int y = 0; y < pos.yExtent && !w.search.stopSearch; y++) {
      const int cell = cellIndex(x, y);
      if (cell == searched || pos.board.cells[cell] != EMPTY || !w.neighbourhood(x, y, fullSquare) ||
          w.rootExcludes(cell))
        continue;
      if (renjuBlack && pos.isForbidden(cell)) continue;
      judge(cell);
    }

  // The search saw further than the look: its move's look counts as at least
  // the best look, so the margin is measured from the better of the two.
  const int top = std::max(best, searchedLook);
  int64_t total = 0;
  for (int i = 0; i < count; i++)
    if (looks[i].value >= top - plan.margin && looks[i].value > -DECISIVE_SCORE)
      total += plan.margin + 1 - (top - looks[i].value);
  int chosen = searched;
  if (total > 0) {
    int64_t draw = static_cast<int64_t>(nextRandom(random) % static_cast<uint64_t>(total));
    for (int i = 0; i < count; i++) {
      if (looks[i].value < top - plan.margin || looks[i].value <= -DECISIVE_SCORE) continue;
      draw -= plan.margin + 1 - (top - looks[i].value);
      if (draw < 0) {
        chosen = looks[i].cell;
        break;
      }
    }
  }

  pos.board.iterationDepth = savedDepth;
  w.search.maxNodes = savedMax;
  w.search.stopSearch = 0;
  w.search.startTime = clockMs() - w.search.startTime;
  w.search.bestX = cellX(chosen);
  w.search.bestY = cellY(chosen);
}
