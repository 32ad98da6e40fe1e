// The search worker: everything one search thread owns.
//
// A Worker holds its own copy of the position, the per-ply move lists and
// marks, the killer slots, the counters of its search and the move it would
// play. It shares with the other workers of the same engine only what the
// engine hands it: the transposition table, the four-solver cache, the limits
// of the think and the stop flags. All its routines are members, so that the
// state of a search is passed along as `this` and never lives in a global.
//
// Size: about 7 MiB (moveStack 1.9 MiB, plyMarks 2.7 MiB, undoStack and
// lightStack 1.1 MiB each, the position 0.2 MiB); the engine allocates its workers once, never during a search.
#pragma once

#include <atomic>
#include <cstdint>

#include "board/board.h"
#include "core/types.h"
#include "search/fours_solver.h"
#include "search/hash_table.h"
#include "search/search_clock.h"
#include "search/threat_solver.h"

// One candidate of a stage list: ordering key (lower first) and cell.
struct MoveEntry {
  int32_t key;
  int32_t cell;
};

constexpr int PLY_LIMIT = MAX_CELLS;   // 484 entries per per-ply stack

// Shape penalty of a move and its extension in half plies; shared with the root.
struct MoveShape {
  int penalty;
  int extension;
  int cellValue;   // CellValueTable of the side's patterns at the cell
};

// The three best moves of a node with their ranking values, best first.
struct BestMoves {
  int cell[3];
  int value[3];
};
void insertBest(BestMoves& b, int value, int cell);

// Neighbourhood shapes over a 5 x 5 square, two bits per cell and row.
struct Shape {
  uint32_t rows[5];
};
extern const Shape fullSquare, star, ownKnightBlack, ownKnightWhite;

// Killer slots by nominal depth: slot 0 older, slot 1 newer.
struct KillerSlot {
  int32_t cell;
  int32_t word;
};

// The node context the generator needs.
struct NodeContext {
  int depth, effDepth, ply, colour;
  bool pvNode;
  int best;        // best value so far at the node
  int taken;       // moves already taken up at the node
};

// The stage ladder of one node: hands out its moves one by one, building
// each stage's list only when the previous one is used up, so that a cut-off
// in an early stage saves the later, larger ones.
struct MovePicker {
  NodeContext node;
  int forcedCell;        // stage -1: the cell that blocks the opponent's five
  int hashMoves[3];      // stage 0
  int stage;             // stage being served; -2 before the first
  int count, next;       // the stage list in moveStack[ply]
  int taken;             // moves taken up at this node so far
  bool endAfterStage1;   // stage 1 answered a real open three
  int lmpStage;          // stage number the served move counts as for pruning
  int lastStage;         // the ladder ends after this stage (7: the whole ladder)
  const int* preferred;  // stage 0, after the first hash move: cells the root serves early
  int preferredCount;
};
void pickerInit(MovePicker& p, const NodeContext& node, int forcedCell, const int* hashMoves);

// Ordering helper shared by the stages and the solver.
void sortByKey(MoveEntry* list, int count);

// The record of the current search of one worker. The worker owns every field;
// the clock fields matter only to the main worker, which alone owns the clock.
struct SearchControl {
  int thinking = 0;              // 1 while a think of the engine runs on this worker
  int stopSearch = 0;            // set by the stop check; every search then unwinds
  // Root, tree and solver nodes of this search. Written only by the worker;
  // others read it (relaxed) for the totals of all threads.
  std::atomic<int64_t> nodeCount{0};
  int startTime = 0;             // clock at the start of the search, then elapsed ms
  int moveBudget = 0;            // ms; the root search may raise it in flight
  int bestX = -1, bestY = -1;    // the move to play
  int iterationStartX = -1, iterationStartY = -1;
  int lastValue = 0;             // value of the last completed iteration
  int extendForValue = 0, extendForDrop = 0, extendForNewBest = 0;
  int sameBestStreak = 0;
  int singleReply = 0;
  int fixedDepth = 0;            // >0: stop deepening after this depth (bench, tests)
  int64_t maxNodes = 0;          // >0: stop once this many nodes are searched
  int originTime = -1;           // clock at which the think's command arrived; -1: now
  int selDepth = 0;              // deepest ply a node of the search reached
  // The most time the budget may give this search, in ms: a share of a move
  // for an N-best line or a balance search. Kept by beginSearch.
  int budgetCap = INT32_MAX;
};

// What the engine shares with each of its workers.
class Worker;

struct WorkerLinks {
  TranspositionTable* tt = nullptr;
  FourCache* fourCache = nullptr;
  ThreatCache* threatCache = nullptr;   // null: no threat-sequence search
  const SearchLimits* limits = nullptr;
  // Raised by the front end to end the think at once.
  const std::atomic<int32_t>* stopRequested = nullptr;
  // Raised by the main worker when its search is over, for the helpers.
  const std::atomic<int32_t>* searchOver = nullptr;
  // The other workers of the think, whose nodes the main worker's node
  // budget and reports count too; none for a lone worker.
  Worker* const* peers = nullptr;
  int peerCount = 0;
  // Reports of the main worker to whoever listens (null: nobody): a finished
  // iteration with its value, and root events (ROOT_NEW_BEST when the best
  // root move changes, ROOT_LOST for a root move proven to lose).
  void (*onIteration)(void* listener, Worker& w, int depth, int value) = nullptr;
  void (*onRootEvent)(void* listener, int kind, int cell) = nullptr;
  void* listener = nullptr;
  // With a threat cache: also look for the opponent's sequences, not only
  // for our own win at the root.
  bool sequenceDefence = true;
  // With a threat cache: at the horizon, a side to move with threats to
  // build on first asks the solver, on a small budget, for a sequence win.
  bool sequenceLeaves = false;
  // With a threat cache: the best move of each finished iteration is made
  // and the opponent's sequences looked for behind it; a move he wins
  // against is excluded and the depth searched again.
  bool guardBest = false;
};

constexpr int ROOT_NEW_BEST = 1;
constexpr int ROOT_LOST = 2;
constexpr int ROOT_MOVE_STARTED = 3;   // the root starts searching a move ...
constexpr int ROOT_MOVE_DONE = 4;      // ... and leaves it

class Worker {
 public:
  Position pos;
  SearchControl search;
  WorkerLinks links;
  bool isMain = true;   // the main worker owns the clock; helpers only poll the stop flags

  Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // ---- deepening loop and root (root_search.cpp) ----
  // The deepening loop alone on the worker's position (no reply, no move
  // played). Returns the search's result value; the move is in bestX, bestY.
  int deepen(int colour);
  // When every root move is proven lost: the move that loses latest, among
  // those that stop the opponent's quick wins (into bestX, bestY).
  void resistLoss(int colour);
  // A helper thread's loop over the same root until the main worker is done.
  void helperDeepen(int colour, int helperNumber);
  // Searches the position with `colour` to move to `depth` plies, leaves the
  // move to play in bestX, bestY and returns the root value clamped to the
  // iteration's cap; 0 when a clock stop came before two root moves were
  // finished.
  int searchRoot(int depth, int alpha, int beta, int colour, int extension);
  // Picks a cell of the colour's five cells, else of its playable open-four
  // cells, into bestX, bestY; 0 when there is none.
  int playForcedWin(int colour);
  // The guard of the best root move (WorkerLinks::guardBest): true when the
  // opponent has a proven sequence win after it, which is then kept in
  // sequenceTried for the ply-one nodes of the searches that follow.
  bool bestLosesToSequence(int colour);
  // Clears the counters, flags and move of SearchControl and sets the first
  // budget from the limits; `thinking` marks a real think (budget extensions
  // apply).
  void beginSearch(bool thinking);
  // Time budget at a multiplier of the base, from the limits.
  int currentBudget(int multiplier) const;
  // Clock at which the search stops itself; INT_MAX for a helper.
  int hardStop() const;

  // ---- tree search (alpha_beta.cpp) ----
  // Value of the position for `colour` to move, searched `depth` plies.
  int alphaBeta(int depth, int alpha, int beta, int colour, int extension);
  // `nodeThreat` is the node's cached threat evaluation (NO_SCORE: not yet
  // known) and `scale` its cached penalty scale (negative: not yet computed).
  MoveShape moveShape(int cell, int depth, int colour, bool pvNode, int& nodeThreat, double& scale);
  // Node's ply from its nominal depth.
  int plyOf(int depth) const { return pos.board.iterationDepth - depth; }
  // A new node stamp for the ply, so that its move marks start empty.
  void advancePlyStamp(int ply);
  // True when an open four of `colour` wins: always, except for Black under
  // Renju when every open-four cell is a forbidden point.
  bool openFourWins(int colour);
  // Stage 0 preparation: the hash moves of the position, after internal
  // deepening when there are none and the node is deep enough. True when the
  // node must return `result` at once (stopped, or proven won at a null window).
  bool stageZeroMoves(int effDepth, int alpha, int beta, int colour, int extension, bool pvNode, int iidDepth,
                      int* hashMoves, int& result);
  void clearPlyStacks();
  // The stop check every search procedure runs after counting its node: true
  // (and stopSearch set) when the budget is spent or a stop was requested.
  bool nodeClockCheck();
  // Nodes of this worker and its peers so far.
  int64_t totalNodes() const;

  // ---- transposition table at the worker's position ----
  int probeHash(int depth, int alpha, int beta, int colour, uint64_t key, int* moves, int wanted) {
    return links.tt->probe(depth, alpha, beta, colour, key, pos.recordCount, moves, wanted);
  }
  void storeHash(int depth, int value, int bound, int colour, int m1, int m2, int m3) {
    links.tt->store(pos.board.hashKey, pos.recordCount, depth, value, bound, colour, m1, m2, m3, false);
  }
  void replaceHash(int depth, int value, int bound, int colour, int m1, int m2, int m3) {
    links.tt->store(pos.board.hashKey, pos.recordCount, depth, value, bound, colour, m1, m2, m3, true);
  }

  // ---- move generation (moves.cpp) ----
  // Cell-set readers: append cells in row order, return the count.
  int listSetCells(int kind, int colour, int32_t* out) const;
  int listOpenFourCells(int colour, int32_t* out) const;
  int listFourCells(int colour, int32_t* out) const;
  int listDoubleCells(int colour, int32_t* out) const;
  int listSingleThreats(int colour, int32_t* out) const;
  int countPlayableOpenFours(int colour, int32_t* out);
  // First cell of a set (smallest x, then y), or -1.
  int firstSetCell(int kind, int colour) const;
  bool setEmpty(int kind, int colour) const { return pos.board.setSummary[kind][colour - 1] == 0; }
  bool inSet(int kind, int colour, int cell) const {
    return (pos.board.setRows[kind][colour - 1][cellX(cell)] >> cellY(cell)) & 1;
  }
  // Extra defences against the open three that makes `cell` an open-four cell
  // of `colour`; writes 0 or 2 cells.
  int threeDefence(int32_t* out, int colour, int cell);
  bool neighbourhood(int x, int y, const Shape& shape) const;
  // Root-only openness term under Renju.
  int openness(int x, int y, int colour) const;
  void clearKillers();
  void recordKiller(int depth, int cell, int colour);
  // Ordering key of a cell for the side `colour`; threatTerm is the
  // threat-count term of stage 7 (0 elsewhere).
  int orderKey(int cell, int colour, int threatTerm) const;
  // Next move of the node, or -1 when the ladder is done. `best` is the node's
  // best value so far (stage 7 widens its candidates for a lost node).
  int nextMove(MovePicker& p, int best);
  // Fills list with the stage's candidates (before filtering) and returns the
  // count; stage 7 returns its cells already filtered and keyed.
  int generateQuiet(const NodeContext& node, MoveEntry* list);
  // Applies the move filter to a list of cells (marks, Renju forbidden
  // points), computes ordering keys, and returns the new count.
  int filterAndKey(const NodeContext& node, MoveEntry* list, int count, bool checkMarks);
  // Adds an empty, untaken, playable cell to a quiet list; true when added.
  bool addQuiet(const NodeContext& node, MoveEntry* list, int& n, bool renjuBlack, int cell);
  int patternAt(int cell, int colour, int dir) const {
    return (pos.board.cellInfo[cell].patterns[colour - 1] >> (NIBBLE_BITS * dir)) & NIBBLE_MASK;
  }

  // ---- continuous-four solver (fours_solver.cpp) ----
  // 10,000,484 - n for a win whose chain ends n solver plies deep, else 0.
  int solveThreats(int depth, int colour);
  int solveThreatsNode(int depth, int colour, int defending, int count);

  // ---- threat sequences (alpha_beta.cpp) ----
  // Runs the threat-sequence solver for `colour`, to move, within `budget`
  // nodes (counted as the search's) and `maxPlies`; the win's length in
  // plies, or 0. The first move goes to *firstMove when given.
  int solveSequence(int colour, int64_t budget, int maxPlies, int* firstMove);
  // The value of a node at `depth` whose side to move wins in `plies` plies
  // (the final five included), on the scale of the search's own wins.
  static int sequenceWinScore(int depth, int plies) { return WIN_SCORE + depth - (plies - 1); }

  // ---- evaluation (threat_eval.cpp) ----
  // Value of the position for `colour` to move: the score-sum difference
  // corrected by the threats on the board, plus a tempo bonus.
  int threatEval(int depth, int colour);
  // The learned part of it, for a rule with a learned model: the learned
  // values of both colours' empty cells and of the threat situation.
  int learnedEval(int colour) const;
  // Black's threat bits in bits 0-4, White's in 5-9 (board/learned_tables.h).
  uint32_t threatSituation() const;
  // Tries every legal cell for `colour`; leaves the best in bestX, bestY and
  // returns 0, or 1 when no cell could be tried.
  int onePlyPass(int colour);

  // Per-ply stacks and killers.
  MoveEntry moveStack[PLY_LIMIT][MAX_CELLS];
  uint64_t plyStamp[PLY_LIMIT];
  uint64_t plyMarks[PLY_LIMIT][CELL_SLOTS];
  KillerSlot killerSlots[PLY_LIMIT][2];
  // The reach of each ply's move, for its unmake (see Position::makeStone),
  // and the same for the four-solver's light moves.
  UndoRecord undoStack[PLY_LIMIT];
  UndoRecord lightStack[PLY_LIMIT];
  // count[cell][direction][colour] of the threat-count pass of stage 7.
  uint8_t threatCount[CELL_SLOTS][DIRECTIONS][2];
  // The threat-sequence solver, on this worker's position, and what it found
  // on the positions one ply below the root in this search: a verdict must
  // hold in every iteration, or a root move proven lost in one iteration
  // would be playable again in the next.
  ThreatSolver threats;
  static constexpr int SEQUENCE_MEMO = 256;
  struct SequenceVerdict {
    uint64_t key;
    int plies;        // the opponent's proven win, 0 when none was found
    int64_t budget;   // the nodes the solve that found nothing had
  };
  bool checkReplies = false;   // the opponent may have a sequence: check after each root move
  bool guardReplies = false;   // root moves found lost by the guard are in sequenceTried
  SequenceVerdict sequenceTried[SEQUENCE_MEMO];
  // Root moves that may refute the opponent's sequences the guard proved:
  // the cells of his proven lines and our four cells, served right after the
  // first hash move so that a search cut short has judged them.
  static constexpr int ROOT_PREFERRED = 48;
  int rootPreferred[ROOT_PREFERRED];
  int rootPreferredCount = 0;
  void preferRefutations(int colour, const int* line, int count);
  // Root moves this search must not play (blocked by the user, or found by
  // the earlier lines of an N-best search); set by the engine after
  // beginSearch, which leaves them alone.
  int rootExcluded[MAX_CELLS];
  int rootExcludedCount = 0;
  bool rootExcludes(int cell) const {
    for (int i = 0; i < rootExcludedCount; i++)
      if (rootExcluded[i] == cell) return true;
    return false;
  }
  // The first cell of the set (as firstSetCell) that is not excluded; -1.
  int firstPlayableSetCell(int kind, int colour) const;

 private:
  // Root helpers.
  void checkDrop(int v);
  void noteNewBest();
  int raisedBudget(int drop, int newBest) const;
  void setBest(int cell);
  bool anyUsable(const int* moves) const;
  // Move generation helpers.
  template <typename RowOf> int listRows(uint32_t summary, RowOf rowOf, int32_t* out) const;
  bool marked(int ply, int cell) const { return plyMarks[ply][cell] == plyStamp[ply]; }
  void mark(int ply, int cell) { plyMarks[ply][cell] = plyStamp[ply]; }
  void buildThreatCounts();
  int threatCountSum(int cell, int k) const;
  bool threatCountReaches(int cell, int k) const;
  int buildStage(MovePicker& p, int stage, int best, MoveEntry* list);
  // Solver helpers.
  void storeFour(int table, uint64_t key, int value, int count);
  void storeRaw(int table, uint64_t key, int stored, int count) {
    links.fourCache->storeRaw(table, key, stored, count, pos.recordCount);
  }
  bool probeFour(int table, uint64_t key, int distance, int& value) const {
    return links.fourCache->probe(table, key, distance, value);
  }
  void prefetchFour(int table, uint64_t key) const { links.fourCache->prefetch(table, key); }
  int patternsOf(int cell, int colour) const { return pos.board.cellInfo[cell].patterns[colour - 1]; }
  bool denseEnough(int cell, int colour) const;
  int forcedReply(int cell, int colour) const;
  bool shortcutWin(int cell, int colour) const;
  bool openFourPlayable(int colour);
  enum FilterResult { Keep, Reject, Won };
  FilterResult filterCandidate(int cell, int colour, int count, bool density, MoveEntry& entry, int& value);
  int attackerCandidates(int colour, int count, bool root, MoveEntry* list, int& value);
  int attack(int depth, int colour, int count);
  int defend(int depth, int colour, int count);
  // Evaluation helpers.
  int supportCount(int colour, int x, int y) const;
  bool blackHasPlayable(int kind);
};
