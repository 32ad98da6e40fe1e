// The engine: one game, the tables every search of it shares, and the search
// threads, behind the think that answers the manager.
//
// The Engine owns the rule's line tables, the transposition table, the
// four-solver cache, the game position and the workers (one per search
// thread). The front end above it changes the game and the limits and asks it
// to think; the Engine writes its replies through `out`, the front end's
// locked line printer, so that it never needs to know how lines travel.
//
// Threads. A think runs on the caller's thread (the front end's think
// thread) as the main worker; with thread_num above 1 it starts helper
// threads that search the same root on their own copies of the position and
// share only the tables and the stop flags. The main worker owns the clock,
// the stop and the answer; once its deepening loop ends it raises searchOver
// and joins the helpers before it replies.
//
// Everything but `limits`, `rule`, `threadCount` and `stopRequested` must be
// touched only while no think runs.
#pragma once

#include <atomic>
#include <cstdint>

#include "board/board.h"
#include "search/fours_solver.h"
#include "search/hash_table.h"
#include "search/search_clock.h"
#include "search/worker.h"

constexpr int MAX_THREADS = 64;

// The rule's name as "MESSAGE Rule %s" prints it.
const char* ruleName(int rule);

class Engine {
 public:
  using Printer = int (*)(const char* format, ...);

  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  RuleTables* ruleTables;          // about 4.8 MiB, on the heap
  TranspositionTable tt;
  FourCache fourCache;
  ThreatCache threatCache;
  Position game;
  SearchLimits limits;
  std::atomic<int32_t> rule{0};           // the rule in force, as INFO set it
  std::atomic<int32_t> threadCount{1};    // search threads wanted, 1 ... MAX_THREADS
  std::atomic<int32_t> stopRequested{0};  // the front end's request to end a think now
  // INFO show_detail as the manager sent it: 1 the REALTIME lines of boards
  // that paint the search, 2 the detail block after each iteration, 3 both;
  // any other value shows neither (see showsRealtime, showsDetail).
  std::atomic<int32_t> showDetail{0};
  bool showsRealtime() const { return showDetail.load() == 1 || showDetail.load() == 3; }
  bool showsDetail() const { return showDetail.load() == 2 || showDetail.load() == 3; }
  // INFO threat_search: lets the search use the threat-sequence solver.
  // 0 off, 1 our wins at the root and the opponent's one ply below it,
  // SEQUENCES_OWN_WINS our wins at the root only, SEQUENCES_LEAVES those
  // and, on a small budget, the side to move's at the horizon. The default
  // is our own wins at the root: it gained in self-play, where checking the
  // opponent's sequences too did not (its price is paid in every search, and
  // an opponent without the solver rarely finds the sequences it guards
  // against).
  static constexpr int SEQUENCES_OWN_WINS = 2;
  static constexpr int SEQUENCES_LEAVES = 3;
  // SEQUENCES_GUARD: our wins at the root, and the best move of each
  // iteration checked against the opponent's sequences behind it.
  static constexpr int SEQUENCES_GUARD = 4;
  std::atomic<int32_t> sequenceSearch{SEQUENCES_OWN_WINS};
  // INFO level: 0 the full engine, 1 ... MAX_LEVEL a weaker one for people
  // (control/level.h): a node budget of its own and a choice among near-best
  // root moves.
  std::atomic<int32_t> level{0};
  // The levels' generator, seeded from the clock at start-up so that games
  // differ; a test seeds it to make a level's choices repeatable.
  uint64_t levelRandom = 0;
  // max_memory in bytes, 0 for no limit; applied at the start of the next think.
  std::atomic<int64_t> maxMemory{0};
  // Clock (clockMs) at which the command that asked for the next think
  // arrived: the think's time counts from there.
  std::atomic<int32_t> thinkOrigin{-1};
  Printer out = nullptr;

  // What the next think does; the front end sets it (and its argument)
  // before it starts the think.
  enum Task { TASK_MOVE, TASK_NBEST, TASK_BALANCE_ONE, TASK_BALANCE_TWO, TASK_SWAP2 };
  int task = TASK_MOVE;
  int taskArgument = 0;   // lines of an N-best search; the bias of a balance search

  // Root moves no think may play (YXBLOCK), cells in any order, each once.
  // A new game clears them.
  int blocked[MAX_CELLS];
  int blockedCount = 0;
  void blockRootMove(int cell);
  void unblockRootMove(int cell);

  // Builds the line tables for the rule in force and allocates the search
  // tables, ahead of the first game.
  void warmUp();
  // One step of moving the search tables onto huge pages, for the think
  // thread to take while it waits for a command (never during a search);
  // false once every table is done, or while no search has used them at the
  // manager's last max_memory.
  bool promoteTables();

  // Whole think of the task in hand (TASK_MOVE: set-up, trivial cases or
  // deepening search, reply, the move played on the game and printed).
  void think();
  // The trivial cases and the deepening search of a move think, with its
  // Speed line; the move is in the main worker's bestX, bestY (-1: none).
  void chooseMove();
  // A move when the search left none: the first free cell, preferring one
  // the root may play and, for Black under Renju, one not forbidden; -1, -1
  // on a full board.
  void anyMove(int colour, int& x, int& y);

  // Empties the transposition table and the solver caches.
  void clearTables();

  // The deepening search of the game position with `colour` to move on every
  // thread, without the reply and without playing the move: the bench and
  // the tests call it. `thinking` marks a real think (budget extensions).
  // Returns the result value; the move is in the main worker's bestX, bestY.
  int searchGame(int colour, bool thinking, int origin = -1);

  // The main worker (its counters and move describe the last search).
  Worker& mainWorker() { return *workers[0]; }
  // The main worker linked to the engine's tables, limits and stop flag, as
  // a lone worker: what a think starts from, and what the tests search with.
  Worker& linkMainWorker();
  // Nodes of all workers of the last search.
  int64_t totalNodes() const;

  // True when some five-cell window can still become a winning five under
  // Renju.
  bool renjuWindowOpen() const;

  // Sizes the search tables for the memory limit in force (at most `bytes` for
  // the whole process; 0: the default sizes). Returns false when the limit is
  // below the engine's minimum, which then uses its smallest tables.
  bool applyMemoryLimit(int64_t bytes);
  // The resident memory the engine needs besides its search tables.
  int64_t fixedMemory() const;
  // What every search does first: the tables sized for the manager's last
  // max_memory (saying so once when that is below the minimum) and cleared
  // for the rule.
  void prepareSearchTables();

 private:
  Worker* workers[MAX_THREADS] = {};
  int workerCount = 0;
  std::atomic<int32_t> searchOver{0};

  void ensureWorkers(int count);
  void playCentre(Worker& w);
  void ensureRule();
  void thinkMove();
  void thinkBestLines();
  void thinkBalance();
  void thinkSwap2();
  // The balanced-move searches behind YXBALANCEONE, YXBALANCETWO and Swap2:
  // the cells that leave the game's position closest to `bias` for its side
  // to move, searched until the clock reaches `deadline`. False when no
  // cell can be played.
  bool balanceOne(int bias, int deadline, int& cell);
  bool balanceTwo(int bias, int deadline, int& first, int& second);
  // Value for the mover of `count` cells played on the game in turn, by a
  // short search of the position after them.
  int valueAfter(const int* cells, int count, int depth, int deadline);
  // Empty cells near the stones of the main worker's position that its side
  // to move may play and the root may not exclude; on an empty board the
  // free cell nearest the centre.
  int candidateCells(int* cells);
  // The move-think budget of the game position, in ms.
  int moveBudget();
  // Root moves the next searchGame excludes, on every worker.
  int rootExclusions[MAX_CELLS];
  int rootExclusionCount = 0;
  // The N-best lines: which line a search is (1 ...), of how many, and the
  // nodes of the lines before it; 1, 1 and 0 for every other think.
  int lineNumber = 1, lineCount = 1;
  int64_t earlierLineNodes = 0;
  // The value as the analysis line prints it: a number, or +M<n> / -M<n>.
  static void formatValue(Worker& w, int depth, int value, char* text, int size);
  void printDetailBlock(Worker& w, int depth, int value, const char* pv);
  ThreatCache* sequenceCache() { return sequenceSearch.load() && threatCache.buckets ? &threatCache : nullptr; }
  int64_t appliedMemory = -1;      // the limit the tables are sized for
  bool tablesSearched = false;     // a search has prepared the tables at appliedMemory
  int lastAnnounced = NO_CELL;     // the last REALTIME BEST cell
  static void reportIteration(void* listener, Worker& w, int depth, int value);
  static void reportRootEvent(void* listener, int kind, int cell);
  // The principal variation from the transposition table, as "x,y x,y ...".
  void principalVariation(Worker& w, int colour, char* text, int size);
};

