// Threat-sequence solver: can a given attacker force five by a sequence of
// threats (fours and threes), whatever the defender does?
//
// The search is an AND/OR depth-first search. At the attacker's nodes every
// move that makes a five, a four or a three is tried. At the defender's nodes
// only the replies that can matter are searched:
//
//   - against a four, the one cell that blocks it;
//   - against a three, the cells after which the attacker has no open-four
//     cell left it may play, and every move that makes a four of his own.
//
// Any other reply loses to the same continuation (five, or open four and
// five), so a win proven over the modelled replies is a real forced win. The
// solver never claims a win it has not proven; it may miss wins: the node or
// ply budget ran out, a black Renju three has no open-four cell that stays
// playable whatever White does, or a move threatens two fours at once rather
// than a straight four (the double four itself is found when it is a move).
//
// Results are kept in a ThreatCache that can be shared by several solvers (one
// per search thread): entries are checked by key, without locks. A solver
// carries its own stacks and counters, about 125 KiB, and never allocates. It
// reads and changes the position only through the few helpers at the top of
// threat_solver.cpp (stones, pattern words, threat-cell sets and line words,
// light make and unmake, the Renju test, the Zobrist keys, rule and side).
//
// ThreatCache entry (16 bytes), two 64-bit words:
//
//   lock  = key ^ data, so a torn or foreign entry fails the check
//   data  bits  7..0  WIN_PLIES   proven win in at most this many plies; 0 none
//         bits 15..8  FAIL_PLIES  no win within this many plies; 0 none,
//                                 255 none at any depth
//         bits 25..16 MOVE        cell + 1 of the winning move (attacker node)
//                                 or of the longest defence (defender node)
//         bits 31..26 zero
//         bits 39..32 GENERATION  the cache generation of the last store
//         bits 63..40 zero
//
// Keys are the position's Zobrist key XOR a salt for the node kind (attacker
// or defender to move), the attacker's colour, the rule and the board's side,
// so that the same stones seen from another question never share an entry.
#pragma once

#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>

#include "board/board.h"
#include "search/hash_table.h"
#include "core/types.h"

// Deepest proof the solver looks for, in plies, and its stack depth.
constexpr int THREAT_MAX_PLIES = 63;
constexpr int THREAT_STACK = THREAT_MAX_PLIES + 1;

struct ThreatEntry {
  std::atomic<uint64_t> lock;
  std::atomic<uint64_t> data;
};
static_assert(sizeof(ThreatEntry) == 16, "a threat cache entry is two 64-bit words");

struct alignas(64) ThreatBucket {
  ThreatEntry entry[4];
};
static_assert(sizeof(ThreatBucket) == 64, "a threat cache bucket is one cache line");

// Fields of ThreatEntry::data.
constexpr int TE_WIN_SHIFT = 0;
constexpr int TE_FAIL_SHIFT = 8;
constexpr int TE_MOVE_SHIFT = 16;
constexpr int TE_GENERATION_SHIFT = 32;
constexpr uint64_t TE_PLIES_MASK = 0xFF;
constexpr uint64_t TE_MOVE_MASK = 0x3FF;
constexpr uint64_t TE_GENERATION_MASK = 0xFF;
constexpr int TE_FAIL_ALWAYS = 255;

// What one cache entry knows about a node.
struct ThreatFacts {
  int winPlies;   // 0: no win known
  int failPlies;  // 0: no failure known; TE_FAIL_ALWAYS: fails at any depth
  int move;       // NO_CELL when none
};

// Fixed-size cache of solver results, allocated once by init.
struct ThreatCache {
  ThreatBucket* buckets = nullptr;
  TableMemory memory;
  uint64_t bucketMask = 0;
  uint32_t generation = 0;

  ThreatCache() = default;
  ThreatCache(const ThreatCache&) = delete;
  ThreatCache& operator=(const ThreatCache&) = delete;
  ~ThreatCache();

  // Allocates the largest power-of-two number of buckets that fits in `bytes`
  // (at least one), empty; keeps the table when it has that size already.
  // False when the allocation failed (the old table stays).
  bool init(size_t bytes);
  void clear();
  // Starts a new generation: older entries are replaced first.
  void nextGeneration() { generation = (generation + 1) & TE_GENERATION_MASK; }

  bool probe(uint64_t key, ThreatFacts& facts) const;
  // Starts loading the bucket of a key that will soon be probed.
  void prefetch(uint64_t key) const { __builtin_prefetch(&buckets[key & bucketMask]); }
  // Merges the facts into the entry of the key (the smaller win, the larger
  // failure), or replaces the least useful entry of the bucket.
  void store(uint64_t key, const ThreatFacts& facts);
};

// One candidate of a solver list: cell and ordering key (higher first).
struct ThreatMove {
  int16_t cell;
  int16_t key;
};
static_assert(sizeof(ThreatMove) == 4, "a solver list entry is two int16");

constexpr int64_t STOP_POLL_NODES = 1024;

struct ThreatSolver {
  Position* pos = nullptr;   // the position it solves on and leaves as found
  ThreatCache* cache = nullptr;
  int64_t nodes = 0;  // nodes of the last solve (and line extraction)
  int64_t nodeBudget = 0;
  bool aborted = false;  // the budget ran out or a stop came; results are not proofs
  // Polled every STOP_POLL_NODES nodes when set: non-zero ends the solve as
  // if the budget had run out (the search's stop flag).
  const std::atomic<int32_t>* stop = nullptr;
  // Clock (clockMs) at which a solve ends as if its budget had run out,
  // polled with `stop`: the solves at the root are long, and a node budget
  // alone cannot promise that the move is not late on a slow or loaded
  // machine.
  int deadline = INT_MAX;
  int attacker = BLACK;
  int defender = WHITE;
  int rule = RULE_FREESTYLE;
  uint64_t salt[2] = {0, 0};  // key salts of the attacker's and the defender's nodes
  int winMove[THREAT_STACK];  // per ply: the winning move, or the longest defence
  int lastWin = 0;            // plies of the last win solve proved; 0 none
  uint64_t lastKey = 0;       // position key solve proved it on
  ThreatMove lists[THREAT_STACK][MAX_CELLS];

  // Looks for a win of `attackerColour`, to move now, within `maxPlies`
  // plies (counting both sides' moves, the final five included), by
  // deepening the ply limit two at a time within a budget of `budget` nodes.
  // Returns the win's length in plies (odd: the attacker makes the first and
  // the last move), or 0 when none was proven. On a win, *firstMove (when
  // given) gets the first move. The board is left as found.
  int solve(int attackerColour, int64_t budget, int maxPlies, int* firstMove);

  // The line of the last win solve proved: the attacker's moves and the
  // defender's most stubborn modelled replies, alternately, up to the five.
  // NO_CELL stands for a defender's move the model does not need to name (any
  // move that leaves the attacker its open four). Re-proves parts that are no
  // longer in the cache within `budget` nodes. Returns the number of moves.
  int principalLine(int* out, int maxMoves, int64_t budget);

  // The defender's modelled replies in the current position, the attacker
  // having just moved (colours from the last solve, or set by the caller):
  // the block of a four, or against a three his fours and the moves that
  // leave the attacker no playable open-four cell. Returns -1 when the
  // position is no threat the model knows, or the defender has lost anyway.
  int defenderReplies(int* out);

  // Internal nodes, exposed for the line extraction and the tests.
  int attackNode(int ply, int remaining);
  int defendNode(int ply, int remaining);
  int threeReplies(ThreatMove* list);
  // Counts a node; true (and aborted set) when the budget is spent or a stop
  // was requested.
  bool spent();
};

// Results of the node functions besides a win length (> 0).
constexpr int THREAT_FAIL_LIMIT = 0;    // no win within the ply limit
constexpr int THREAT_FAIL_ALWAYS = -1;  // no win at any depth (under the model)
constexpr int THREAT_UNKNOWN = -2;      // the node budget ran out
