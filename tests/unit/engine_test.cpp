// Engines as objects: two games held and searched alternately in one process
// must give exactly what each gives alone, and a search on helper threads must
// leave the game as it found it and answer with a legal move.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "board/board.h"
#include "control/engine.h"
#include "test_support.h"

namespace {

struct Game {
  int rule, width, height;
  std::vector<std::pair<int, int>> moves;
};

// Two games that share nothing: another rule, another board.
const Game kFreestyle = {RULE_FREESTYLE, 15, 15, {{7, 7}, {8, 8}, {7, 8}, {6, 9}, {8, 6}, {9, 5}, {6, 7}}};
const Game kRenju = {RULE_RENJU, 20, 15, {{10, 7}, {11, 8}, {9, 8}, {10, 9}, {11, 6}, {12, 5}}};

struct Result {
  int value, x, y, depth;
  int64_t nodes;
  bool operator==(const Result& o) const {
    return value == o.value && x == o.x && y == o.y && depth == o.depth && nodes == o.nodes;
  }
};

std::ostream& operator<<(std::ostream& out, const Result& r) {
  return out << "value " << r.value << " move " << r.x << "," << r.y << " depth " << r.depth << " nodes " << r.nodes;
}

std::unique_ptr<Engine> newEngine(const Game& g) {
  testing_support::testEngine();   // the keys are drawn once, before any engine
  std::unique_ptr<Engine> e(new Engine);
  e->rule = g.rule;
  e->limits.timeout_turn = 1000000;
  e->limits.time_left = 2000000000;
  e->limits.max_depth = 5;
  e->game.startGame(g.width, g.height, g.rule);
  for (size_t i = 0; i + 1 < g.moves.size(); i++)
    EXPECT_EQ(e->game.playOpponentMove(g.moves[i].first, g.moves[i].second, g.rule), BoardDone);
  e->game.rebuild(g.rule);
  return e;
}

// Plays the game's next scripted move and searches the position after it.
Result step(Engine& e, const Game& g) {
  const auto& m = g.moves[e.game.recordCount];
  EXPECT_EQ(e.game.playOpponentMove(m.first, m.second, g.rule), BoardDone);
  const int colour = e.game.recordCount % 2 == 0 ? BLACK : WHITE;
  const int value = e.searchGame(colour, false);
  Worker& w = e.mainWorker();
  return Result{value, w.search.bestX, w.search.bestY, e.game.board.iterationDepth, e.totalNodes()};
}

TEST(EngineObjects, TwoGamesSearchedAlternatelyGiveWhatEachGivesAlone) {
  // Each game on its own: its next move searched, then its own move played
  // back and the game taken one step further by a take-back and a new move.
  auto sequence = [](Engine& e, const Game& g, std::vector<Result>& out) {
    out.push_back(step(e, g));
    const Worker& w = e.mainWorker();
    EXPECT_EQ(e.game.playOwnMove(w.search.bestX, w.search.bestY, g.rule), BoardDone);
    EXPECT_EQ(e.game.takeBackMove(w.search.bestX, w.search.bestY, g.rule), BoardDone);
    EXPECT_EQ(e.game.takeBackMove(g.moves.back().first, g.moves.back().second, g.rule), BoardDone);
    out.push_back(step(e, g));
  };
  std::vector<Result> aloneA, aloneB;
  {
    auto a = newEngine(kFreestyle);
    sequence(*a, kFreestyle, aloneA);
  }
  {
    auto b = newEngine(kRenju);
    sequence(*b, kRenju, aloneB);
  }

  // Both at once, each step of one between two steps of the other.
  auto a = newEngine(kFreestyle);
  auto b = newEngine(kRenju);
  std::vector<Result> bothA, bothB;
  bothA.push_back(step(*a, kFreestyle));
  bothB.push_back(step(*b, kRenju));
  {
    const Worker& w = a->mainWorker();
    ASSERT_EQ(a->game.playOwnMove(w.search.bestX, w.search.bestY, kFreestyle.rule), BoardDone);
  }
  {
    const Worker& w = b->mainWorker();
    ASSERT_EQ(b->game.playOwnMove(w.search.bestX, w.search.bestY, kRenju.rule), BoardDone);
  }
  ASSERT_EQ(a->game.takeBackMove(bothA[0].x, bothA[0].y, kFreestyle.rule), BoardDone);
  ASSERT_EQ(b->game.takeBackMove(bothB[0].x, bothB[0].y, kRenju.rule), BoardDone);
  ASSERT_EQ(a->game.takeBackMove(kFreestyle.moves.back().first, kFreestyle.moves.back().second, kFreestyle.rule),
            BoardDone);
  ASSERT_EQ(b->game.takeBackMove(kRenju.moves.back().first, kRenju.moves.back().second, kRenju.rule), BoardDone);
  bothB.push_back(step(*b, kRenju));
  bothA.push_back(step(*a, kFreestyle));

  ASSERT_EQ(aloneA.size(), bothA.size());
  for (size_t i = 0; i < aloneA.size(); i++) {
    EXPECT_EQ(aloneA[i], bothA[i]) << "free-style search " << i;
    EXPECT_EQ(aloneB[i], bothB[i]) << "Renju search " << i;
  }
  EXPECT_GT(aloneA[0].nodes, 1000);
  EXPECT_GT(aloneB[0].nodes, 1000);
  EXPECT_TRUE(a->game.boardIsConsistent());
  EXPECT_TRUE(b->game.boardIsConsistent());
}

TEST(EngineObjects, HelperThreadsLeaveTheGameAsFoundAndAnswerLegally) {
  for (const Game* g : {&kFreestyle, &kRenju}) {
    auto e = newEngine(*g);
    e->threadCount = 2;
    const auto& m = g->moves.back();
    ASSERT_EQ(e->game.playOpponentMove(m.first, m.second, g->rule), BoardDone);
    static BoardBase before;
    before = e->game.board;
    const int colour = e->game.recordCount % 2 == 0 ? BLACK : WHITE;
    e->searchGame(colour, false);
    const Worker& w = e->mainWorker();
    ASSERT_TRUE(e->game.onBoard(cellIndex(w.search.bestX, w.search.bestY)));
    EXPECT_EQ(e->game.board.cells[cellIndex(w.search.bestX, w.search.bestY)], EMPTY);
    if (g->rule == RULE_RENJU && colour == BLACK) {
      EXPECT_FALSE(e->game.isForbidden(cellIndex(w.search.bestX, w.search.bestY)));
    }
    // Only the depth reached changes; the helpers searched copies.
    before.iterationDepth = e->game.board.iterationDepth;
    EXPECT_EQ(std::memcmp(&before, &e->game.board, offsetof(BoardBase, stones)), 0);
    EXPECT_TRUE(e->game.boardIsConsistent());
    // Nodes of both workers are counted.
    EXPECT_GT(e->totalNodes(), w.search.nodeCount.load());
  }
}

}  // namespace

// The guard of the best move (threat_search 4). Three self-play positions, one
// per rule, in which the side to move is in danger: at depth 5 the search
// alone (threat_search 2) picks a move after which the opponent wins by a
// sequence of threes and fours, while other moves leave him none. With the
// guard the move played must be one of those. Each move is judged by a
// fresh solve, so the half without the guard fails, and says so, should the
// plain search ever avoid the loss here on its own.
TEST(EngineObjects, GuardKeepsTheBestMoveOutOfAProvenSequenceLoss) {
  const Game positions[] = {
      {RULE_FREESTYLE, 15, 15, {{8, 8}, {9, 6}, {6, 7}, {9, 8}, {8, 9}, {8, 6}, {7, 8}, {9, 10}, {9, 9}}},
      {RULE_STANDARD, 15, 15, {{7, 8}, {8, 6}, {6, 8}, {8, 8}, {8, 9}, {6, 6}, {9, 9}, {7, 9}, {9, 10}}},
      {RULE_RENJU, 15, 15, {{6, 6}, {8, 6}, {5, 5}, {7, 7}, {4, 6}, {7, 6}, {7, 5}, {5, 7}, {6, 4}}},
  };
  constexpr int64_t JUDGE_BUDGET = 20000;
  for (const Game& g : positions) {
    for (const int mode : {Engine::SEQUENCES_OWN_WINS, Engine::SEQUENCES_GUARD}) {
      auto e = newEngine(g);
      // The positions were found with the hand-set value, whose search alone
      // walks into these losses.
      e->ruleTables->useLearned = false;
      e->ruleTables->rule = -1;
      e->game.rebuild(g.rule);
      const auto& last = g.moves.back();
      ASSERT_EQ(e->game.playOpponentMove(last.first, last.second, g.rule), BoardDone);
      e->sequenceSearch = mode;
      const int colour = e->game.recordCount % 2 == 0 ? BLACK : WHITE;
      e->searchGame(colour, false);
      Worker& w = e->mainWorker();
      const int cell = cellIndex(w.search.bestX, w.search.bestY);
      ASSERT_TRUE(e->game.onBoard(cell));
      ASSERT_EQ(e->game.board.cells[cell], EMPTY);
      e->threatCache.clear();
      w.pos.placeStone(cell, colour);
      const int plies = w.solveSequence(colour ^ 3, JUDGE_BUDGET, 35, nullptr);
      const bool aborted = w.threats.aborted;
      w.pos.removeStone(cell);
      const std::string label = "rule " + std::to_string(g.rule) + " mode " + std::to_string(mode) + " move " +
                                std::to_string(w.search.bestX) + "," + std::to_string(w.search.bestY);
      if (mode == Engine::SEQUENCES_GUARD) {
        EXPECT_EQ(plies, 0) << label;
        EXPECT_FALSE(aborted) << label << ": the judge ran out of nodes";
      } else {
        EXPECT_GT(plies, 0) << label << ": the search alone avoids the loss; the position no longer tests the guard";
      }
    }
  }
}

// Black to move under Renju, White threatening a five whose only block, 7,2,
// is a double three for Black: every move loses. The search names none; the
// reply must still be a cell Black may play, never the forbidden block (a
// move that loses at once where the others lose a move later).
TEST(EngineObjects, LostRenjuBlackStillRepliesWithAPlayableCell) {
  const Game g = {RULE_RENJU, 15, 15, {{8, 10}, {7, 5}, {6, 6}, {9, 5}, {9, 4}, {8, 6}, {6, 5}, {6, 4}, {9, 7},
                                       {7, 3}, {4, 2}, {8, 4}, {6, 2}, {8, 5}, {8, 3}, {7, 4}, {7, 6}, {7, 1}}};
  auto e = newEngine(g);
  const auto& last = g.moves.back();
  ASSERT_EQ(e->game.playOpponentMove(last.first, last.second, g.rule), BoardDone);
  ASSERT_TRUE(e->game.isForbidden(cellIndex(7, 2))) << "the only block is not forbidden: the position tests nothing";
  e->searchGame(BLACK, false);
  Worker& w = e->mainWorker();
  int x = w.search.bestX, y = w.search.bestY;
  if (x < 0) e->anyMove(BLACK, x, y);
  ASSERT_GE(x, 0);
  EXPECT_FALSE(e->game.cellOccupied(x, y));
  EXPECT_FALSE(e->game.isForbidden(cellIndex(x, y))) << x << "," << y;

  // The fallback passes over a forbidden first free cell: 0,0 makes two
  // fours for Black here.
  const Game corner = {RULE_RENJU, 15, 15, {{0, 1}, {10, 10}, {0, 2}, {10, 12}, {0, 3}, {12, 10}, {1, 1}, {12, 12},
                                            {2, 2}, {14, 14}, {3, 3}, {14, 12}}};
  auto c = newEngine(corner);
  ASSERT_EQ(c->game.playOpponentMove(14, 12, RULE_RENJU), BoardDone);
  ASSERT_TRUE(c->game.isForbidden(cellIndex(0, 0)));
  c->anyMove(BLACK, x, y);
  EXPECT_TRUE(x >= 0 && !c->game.cellOccupied(x, y) && !c->game.isForbidden(cellIndex(x, y))) << x << "," << y;
}
