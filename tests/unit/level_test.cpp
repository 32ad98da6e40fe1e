// Playing levels: a level never lets a five go, made or blocked, never
// leaves the opponent an open four it could have stopped, keeps to its node
// budget, varies its moves, and leaves the full engine (level 0) as it was.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "board/board.h"
#include "control/engine.h"
#include "control/level.h"
#include "protocol/settings.h"
#include "test_support.h"

namespace {

std::string lastLine;
int capture(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  lastLine = text;
  return n;
}

using Moves = std::vector<std::pair<int, int>>;

std::unique_ptr<Engine> engineAt(const Moves& moves, int level, uint64_t seed) {
  testing_support::testEngine();   // keys and tables first
  std::unique_ptr<Engine> e(new Engine);
  e->out = capture;
  e->rule = RULE_FREESTYLE;
  e->limits.timeout_turn = 1000000;
  e->limits.time_left = 2000000000;
  e->level = level;
  e->levelRandom = seed;
  e->game.startGame(15, 15, RULE_FREESTYLE);
  for (const auto& m : moves) EXPECT_EQ(e->game.playOpponentMove(m.first, m.second, RULE_FREESTYLE), BoardDone);
  return e;
}

// The engine's move after a think at `level` with its generator at `seed`.
std::pair<int, int> thinkAt(Engine& e) {
  e.think();
  int x = -1, y = -1;
  EXPECT_EQ(std::sscanf(lastLine.c_str(), "%d,%d", &x, &y), 2) << lastLine;
  return {x, y};
}

// Black, to move, has an open four along x = 7: every level plays a five.
const Moves kOwnFour = {{7, 7}, {3, 3}, {7, 8}, {3, 5}, {7, 9}, {12, 2}, {7, 10}, {12, 12}};
// White has a four along y = 4 closed by Black's 4,4: Black must block 9,4.
const Moves kBlockFour = {{4, 4}, {5, 4}, {7, 7}, {6, 4}, {8, 8}, {7, 4}, {2, 12}, {8, 4}};
// White has an open three 6,5 7,5 8,5 on a row with both ends open; Black
// has nothing that forces.
const Moves kOpenThree = {{7, 7}, {6, 5}, {3, 11}, {7, 5}, {11, 11}, {8, 5}};
// A quiet opening: many moves are about as good.
const Moves kQuiet = {{7, 7}, {8, 8}, {6, 8}};

TEST(Levels, NeverMissAFiveNorAFourToBlock) {
  for (int level = 1; level <= MAX_LEVEL; level++)
    for (uint64_t seed = 1; seed <= 4; seed++) {
      auto own = engineAt(kOwnFour, level, seed);
      const auto five = thinkAt(*own);
      EXPECT_TRUE(five == std::make_pair(7, 11) || five == std::make_pair(7, 6))
          << "level " << level << " seed " << seed << " played " << five.first << "," << five.second;
      auto block = engineAt(kBlockFour, level, seed);
      EXPECT_EQ(thinkAt(*block), std::make_pair(9, 4)) << "level " << level << " seed " << seed;
    }
}

TEST(Levels, NeverLeaveAnOpenFourThatOneMoveStops) {
  for (int level = 1; level <= MAX_LEVEL; level++)
    for (uint64_t seed = 1; seed <= 5; seed++) {
      auto e = engineAt(kOpenThree, level, seed);
      thinkAt(*e);
      // After the move White (to move) has no cell that makes an open four,
      // unless Black's move made a four that White must answer first.
      Worker& w = e->linkMainWorker();
      w.pos = e->game;
      w.pos.rebuild(RULE_FREESTYLE);
      EXPECT_TRUE(w.setEmpty(OpenFourCells, WHITE) || !w.setEmpty(FiveCells, BLACK))
          << "level " << level << " seed " << seed;
    }
}

TEST(Levels, ChoicesVaryWithTheGeneratorAndTheFullEngineDoesNot) {
  std::set<std::pair<int, int>> beginner, full;
  for (uint64_t seed = 1; seed <= 24; seed++) {
    auto low = engineAt(kQuiet, 1, seed * 7919);
    beginner.insert(thinkAt(*low));
    auto top = engineAt(kQuiet, 0, seed * 7919);
    top->limits.max_node = 20000;
    full.insert(thinkAt(*top));
  }
  EXPECT_GE(beginner.size(), 4u) << "the beginner always plays one of a few moves";
  EXPECT_EQ(full.size(), 1u) << "the full engine depends on the levels' generator";
  // The same seed gives the same choice.
  auto a = engineAt(kQuiet, 2, 42), b = engineAt(kQuiet, 2, 42);
  EXPECT_EQ(thinkAt(*a), thinkAt(*b));
}

TEST(Levels, KeepToTheirNodeBudget) {
  for (int level = 1; level <= MAX_LEVEL; level++) {
    const LevelPlan& plan = levelPlan(level);
    auto e = engineAt(kQuiet, level, 5);
    thinkAt(*e);
    // The node check runs every 1,024 nodes; the look has its own budget.
    EXPECT_LE(e->totalNodes(), plan.nodes + plan.lookNodes + 2 * 1024) << "level " << level;
    EXPECT_GE(e->totalNodes(), std::min<int64_t>(plan.nodes, 1024)) << "level " << level;
  }
  // A smaller max_node from the manager wins over the level's budget.
  EXPECT_EQ(levelNodeBudget(5, 3000), 3000);
  EXPECT_EQ(levelNodeBudget(2, 0), levelPlan(2).nodes);
  EXPECT_EQ(levelNodeBudget(0, 0), 0);
  EXPECT_EQ(levelNodeBudget(0, 777), 777);
  // Each level searches more than the one below.
  for (int level = 2; level <= MAX_LEVEL; level++) EXPECT_GT(levelPlan(level).nodes, levelPlan(level - 1).nodes);
}

TEST(Levels, InfoLevelReadsAndClamps) {
  Engine& e = testing_support::testEngine();
  const int before = e.level.load();
  const std::pair<const char*, int> cases[] = {{"level 3", 3}, {"level 0", 0}, {"LEVEL 5", 5}, {"level 9", MAX_LEVEL},
                                               {"level -4", 0}, {"level 2x", 2}, {"level abc", 0},
                                               {"level 99999999999", MAX_LEVEL}};
  for (const auto& c : cases) {
    handleInfo(e, c.first);
    EXPECT_EQ(e.level.load(), c.second) << c.first;
  }
  e.level = before;
}

}  // namespace
