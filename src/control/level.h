// Playing levels: a weaker engine for people, set by `INFO level N`.
//
// A level is two things. A search budget in nodes, so that its strength does
// not depend on the machine or on its load; and a controlled choice among the
// root moves that look nearly as good as the search's own on a short look, so
// that games vary and the mistakes are a person's: a slow threat missed, a
// quieter shape preferred, never a five left undone or a four left unblocked.
//
// Level 0 is the full engine, untouched: no budget of its own and no choice.
// Levels 1 (a beginner) to MAX_LEVEL grow stronger; the table in level.cpp
// holds their numbers and the README their measured scores.
#pragma once

#include <cstdint>

class Worker;

constexpr int MAX_LEVEL = 5;

struct LevelPlan {
  int64_t nodes;        // the search's node budget
  int64_t lookNodes;    // the nodes the short look at the other root moves may take
  int lookDepth;        // 1: the static value after the move; 2: one reply searched, fours and all
  int margin;           // how far below the best a move may be and still be chosen
  int deviatePercent;   // how often the level looks away from the search's move at all
  bool keepsWins;       // a win the search proved is always played
};

// The plan of a level 1 ... MAX_LEVEL.
const LevelPlan& levelPlan(int level);

// The node budget of a think: the level's, or the manager's max_node when
// that is smaller (0 for none).
int64_t levelNodeBudget(int level, int64_t maxNode);

// Called after the level's search on the main worker `w` (its position the
// game's, the search's move in bestX, bestY, its value `value`): may replace
// the move by another near-best root move. `random` is the engine's own
// generator state, advanced here. Only for level 1 ... MAX_LEVEL.
void chooseLevelMove(Worker& w, int colour, int level, int value, uint64_t& random);
