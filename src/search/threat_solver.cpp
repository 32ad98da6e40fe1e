// Threat-sequence solver.
//
// Why the defender's replies can be restricted. At a defender's node the
// defender never has a five cell: the attacker blocked it or lost the branch.
//
//   After a four (one attacker five cell) every move but the block lets the
//   attacker complete five; the block is the whole list. Two five cells, or a
//   block Black may not play under Renju, win in two plies.
//
//   After a three the attacker has an open-four cell w that stays playable
//   whatever the defender plays off its line (a "steady" witness, see
//   Query::steady). A defender's move that makes no four of his own and
//   leaves some steady open-four cell in place loses in four plies: the open
//   four, one block, the five. So the list is his fours (FourCells and
//   OpenFourCells) and the cells within the pattern reach of w on w's line
//   after which the attacker has no playable open-four cell left; only those
//   cells can touch w's line value. If the defender has a playable open-four
//   cell himself, his open four comes first and the three fails.
//
// The win length of a three's node is therefore at least four, whatever the
// listed replies give. The attacker's moves are every move that makes a four,
// an open four or a three (the pattern sets), minus Black's forbidden points;
// leaving moves out there can only lose wins, never make a false one.
//
// Results. Node functions return the win length (> 0), or a failure that
// holds at the given ply limit only, or at every limit, or THREAT_UNKNOWN
// once the budget is spent (then nothing is stored). The cache keeps, per
// position and question, the shortest proven win with its move and the
// deepest proven failure; a win is used when it fits the plies left, a
// failure when it was proven for at least as many. Solve deepens the limit two
// plies at a time, so the first win it finds is the shortest the model has.
#include "search/threat_solver.h"

#include <new>

#include "board/board.h"
#include "board/pattern_tables.h"
#include "search/search_clock.h"

namespace {

// ---------------------------------------------------------------------------
// Board access. The solver reads and changes the position only through these
// helpers: the stones, the per-cell pattern words, the threat-cell sets, the
// light make and unmake, the Renju test, the position key and the rule.

inline int cellAt(const Position& P, int cell) { return P.board.cells[cell]; }
inline bool cellOnBoard(const Position& P, int cell) { return P.onBoard(cell); }
inline int patternsOf(const Position& P, int cell, int colour) { return P.board.cellInfo[cell].patterns[colour - 1]; }
inline uint32_t setSummaryOf(const Position& P, int kind, int colour) {
  return static_cast<uint32_t>(P.board.setSummary[kind][colour - 1]);
}
inline uint32_t setRowOf(const Position& P, int kind, int colour, int x) {
  return static_cast<uint32_t>(P.board.setRows[kind][colour - 1][x]);
}
// Directions (bit 1 row, 2 column, 4 x+y, 8 x-y) that put the cell in the set.
inline int setDirectionsOf(const Position& P, int kind, int colour, int cell) {
  return P.board.setMask(kind, colour - 1, cell);
}
inline bool inSetOf(const Position& P, int kind, int colour, int cell) {
  return (P.board.setRows[kind][colour - 1][cellX(cell)] >> cellY(cell)) & 1;
}
inline void makeMove(Position& P, int cell, int colour) { P.placeStoneLight(cell, colour); }
inline void unmakeMove(Position& P, int cell) { P.removeStoneLight(cell); }
inline bool renjuForbidden(Position& P, int cell) { return P.isForbidden(cell) != 0; }
inline uint64_t positionKey(const Position& P) { return P.board.hashKey; }
inline uint64_t stoneKey(int cell, int colour) { return zobristKeys[cell][colour - 1]; }
inline int boardRule(const Position& P) { return P.builtRule; }
inline int boardSide(const Position& P) { return P.lineSize; }
// The line word through a cell, the cell's position on it, and the pattern of
// `colour` at the centre of an 11-cell window of a line word.
inline uint64_t lineWordAt(const Position& P, int cell, int dir) { return P.lineWordOf(cell, dir); }
inline int linePositionOf(const Position& P, int cell, int dir) { return P.linePosition(cell, dir); }
inline int windowPattern(const Position& P, uint64_t word, int position, int colour) {
  return packedPattern(P.tables->linePacked((word >> (2 * position)) & WINDOW_MASK), colour - 1);
}

// ---------------------------------------------------------------------------

constexpr int ATTACK_NODE = 0;
constexpr int DEFEND_NODE = 1;

// Length of the win when the defender's move does not touch the attacker's
// open-four cell: the defender's move, the open four, a block, the five.
constexpr int OPEN_FOUR_FOLLOW_UP = 4;

// Reach of a line pattern: the value of a cell in one direction depends on the
// five cells to each side of it and nothing else.
constexpr int PATTERN_REACH = 5;

inline uint64_t mix64(uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Key salt of a question: node kind, attacker, rule and board side (two
// square boards of different sides hold the same stones under the same key).
inline uint64_t nodeSalt(int kind, int attacker, int rule, int side) {
  return mix64(static_cast<uint64_t>(1 + kind + 2 * attacker + 8 * (rule + 1) + 64 * side));
}

inline int patternIn(int patterns, int dir) { return (patterns >> (NIBBLE_BITS * dir)) & NIBBLE_MASK; }

// Ordering weights by pattern value: a move is tried earlier the stronger the
// shapes it makes for the attacker and the more it takes from the defender.
constexpr int16_t orderWeight[16] = {0, 0, 0, 1, 1, 2, 2, 6, 7, 10, 10, 40, 100, 0, 0, 0};

inline int cellOrderKey(const Position& P, int cell, int mover, int other) {
  const int own = patternsOf(P, cell, mover), opp = patternsOf(P, cell, other);
  int key = 0;
  for (int dir = 0; dir < DIRECTIONS; dir++)
    key += orderWeight[patternIn(own, dir)] + orderWeight[patternIn(opp, dir)];
  return key;
}

// True when `cell` lies on the line through `centre` with step `step`,
// within the pattern's reach of it (or is the centre).
inline bool withinReach(int centre, int step, int cell) {
  for (int j = -PATTERN_REACH; j <= PATTERN_REACH; j++)
    if (centre + j * step == cell) return true;
  return false;
}

// Counts the cells of a set, stopping at `limit`; the first one goes to *first.
inline int countSet(const Position& P, int kind, int colour, int limit, int* first) {
  uint32_t summary = setSummaryOf(P, kind, colour);
  int n = 0;
  while (summary && n < limit) {
    const int x = __builtin_ctz(summary);
    summary &= summary - 1;
    const uint32_t row = setRowOf(P, kind, colour, x);
    if (n == 0) *first = cellIndex(x, __builtin_ctz(row));
    n += __builtin_popcount(row);
  }
  return n;
}

inline void sortByKey(ThreatMove* list, int n) {
  for (int i = 1; i < n; i++) {
    const ThreatMove m = list[i];
    int j = i;
    while (j > 0 && list[j - 1].key < m.key) {
      list[j] = list[j - 1];
      j--;
    }
    list[j] = m;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Cache.

ThreatCache::~ThreatCache() { memory.release(); }

bool ThreatCache::init(size_t bytes) {
  uint64_t count = 1;
  while (count * 2 * sizeof(ThreatBucket) <= bytes) count *= 2;
  if (buckets && bucketMask == count - 1) return true;
  // Zero-filled fresh pages (all-zero entries are empty), resident only once
  // written.
  TableMemory fresh;
  if (!fresh.allocate(count * sizeof(ThreatBucket))) return false;
  memory.release();
  memory = fresh;
  buckets = static_cast<ThreatBucket*>(memory.aligned);
  bucketMask = count - 1;
  generation = 0;
  return true;
}

void ThreatCache::clear() {
  if (!buckets) return;
  generation = 0;
  // Fresh zero pages, as the other tables are cleared; the loop only when
  // the memory for the swap cannot be had.
  if (memory.allocate((bucketMask + 1) * sizeof(ThreatBucket))) {
    buckets = static_cast<ThreatBucket*>(memory.aligned);
    return;
  }
  for (uint64_t i = 0; i <= bucketMask; i++)
    for (ThreatEntry& e : buckets[i].entry) {
      e.lock.store(0, std::memory_order_relaxed);
      e.data.store(0, std::memory_order_relaxed);
    }
  generation = 0;
}

namespace {

inline uint64_t packFacts(const ThreatFacts& f, uint32_t generation) {
  const uint64_t move = f.move == NO_CELL ? 0 : static_cast<uint64_t>(f.move + 1);
  return static_cast<uint64_t>(f.winPlies) << TE_WIN_SHIFT | static_cast<uint64_t>(f.failPlies) << TE_FAIL_SHIFT |
         (move & TE_MOVE_MASK) << TE_MOVE_SHIFT | (generation & TE_GENERATION_MASK) << TE_GENERATION_SHIFT;
}

inline ThreatFacts unpackFacts(uint64_t data) {
  ThreatFacts f;
  f.winPlies = static_cast<int>((data >> TE_WIN_SHIFT) & TE_PLIES_MASK);
  f.failPlies = static_cast<int>((data >> TE_FAIL_SHIFT) & TE_PLIES_MASK);
  f.move = static_cast<int>((data >> TE_MOVE_SHIFT) & TE_MOVE_MASK) - 1;
  return f;
}

// How much work an entry saves: the depth of what it knows.
inline int entryWorth(uint64_t data, uint32_t generation) {
  const ThreatFacts f = unpackFacts(data);
  const int fail = f.failPlies == TE_FAIL_ALWAYS ? 1 : f.failPlies;
  const bool current = ((data >> TE_GENERATION_SHIFT) & TE_GENERATION_MASK) == generation;
  return (f.winPlies > fail ? f.winPlies : fail) + (current ? 256 : 0);
}

}  // namespace

bool ThreatCache::probe(uint64_t key, ThreatFacts& facts) const {
  const ThreatBucket& bucket = buckets[key & bucketMask];
  for (const ThreatEntry& e : bucket.entry) {
    const uint64_t data = e.data.load(std::memory_order_relaxed);
    const uint64_t lock = e.lock.load(std::memory_order_relaxed);
    if (data != 0 && (lock ^ data) == key) {
      facts = unpackFacts(data);
      return true;
    }
  }
  return false;
}

void ThreatCache::store(uint64_t key, const ThreatFacts& facts) {
  ThreatBucket& bucket = buckets[key & bucketMask];
  ThreatEntry* target = nullptr;
  ThreatFacts merged = facts;
  int worst = 1 << 30;
  for (ThreatEntry& e : bucket.entry) {
    const uint64_t data = e.data.load(std::memory_order_relaxed);
    const uint64_t lock = e.lock.load(std::memory_order_relaxed);
    if (data != 0 && (lock ^ data) == key) {
      const ThreatFacts old = unpackFacts(data);
      if (old.winPlies != 0 && (merged.winPlies == 0 || old.winPlies < merged.winPlies)) {
        merged.winPlies = old.winPlies;
        merged.move = old.move;
      }
      if (old.failPlies > merged.failPlies) merged.failPlies = old.failPlies;
      target = &e;
      break;
    }
    const int worth = data == 0 ? -1 : entryWorth(data, generation);
    if (worth < worst) {
      worst = worth;
      target = &e;
    }
  }
  const uint64_t data = packFacts(merged, generation);
  target->data.store(data, std::memory_order_relaxed);
  target->lock.store(key ^ data, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------
// The solver.

namespace {

// An open-four cell of the attacker: directions (bit per direction, as the
// sets keep them) and whether it stays playable whatever the defender does.
struct OpenFourCell {
  int cell;
  int dirs;
  bool steady;
};

// Most open-four cells a three node lists before it tests defences by making
// them on the board instead.
constexpr int OPEN_FOUR_LIST = 24;
constexpr int FOUR_BONUS = 100;

// Solver-wide questions about the position, with the solver's colours.
struct Query {
  const ThreatSolver& s;
  Position& P;

  bool forbiddenFor(int colour, int cell) const {
    return s.rule == RULE_RENJU && colour == BLACK && renjuForbidden(P, cell);
  }

  // The first cell of a set of `owner` that `mover` may play, or NO_CELL.
  int firstPlayable(int kind, int owner, int mover) const {
    uint32_t summary = setSummaryOf(P, kind, owner);
    while (summary) {
      const int x = __builtin_ctz(summary);
      summary &= summary - 1;
      uint32_t row = setRowOf(P, kind, owner, x);
      while (row) {
        const int cell = cellIndex(x, __builtin_ctz(row));
        row &= row - 1;
        if (!forbiddenFor(mover, cell)) return cell;
      }
    }
    return NO_CELL;
  }

  int playableOpenFour(int colour) const { return firstPlayable(OpenFourCells, colour, colour); }

  // Whether an open-four cell of `colour` stays playable whatever the other
  // side plays off its line. Outside Renju, and for White, always. A black
  // cell under Renju is steady when it is not forbidden now and makes at most
  // one three: white stones only ever lower Black's line values, so they can
  // take away fours and threes but never add one, and the one way they can
  // make a point forbidden (turning a second three real by freeing its
  // straight-four point) needs two threes at the cell.
  bool steady(int cell, int colour) const {
    if (!(s.rule == RULE_RENJU && colour == BLACK)) return true;
    const int patterns = patternsOf(P, cell, BLACK);
    int threes = 0;
    for (int dir = 0; dir < DIRECTIONS; dir++) {
      const int v = patternIn(patterns, dir);
      if (v == PatThreeSplit || v == PatThreeOpen) threes++;
    }
    return threes <= 1 && !renjuForbidden(P, cell);
  }

  // Lists the attacker's open-four cells with their directions and
  // steadiness, at most `limit` (returns limit + 1 when there are more).
  int listOpenFours(OpenFourCell* out, int limit) const {
    uint32_t summary = setSummaryOf(P, OpenFourCells, s.attacker);
    int n = 0;
    while (summary) {
      const int x = __builtin_ctz(summary);
      summary &= summary - 1;
      uint32_t row = setRowOf(P, OpenFourCells, s.attacker, x);
      while (row) {
        const int cell = cellIndex(x, __builtin_ctz(row));
        row &= row - 1;
        if (n == limit) return limit + 1;
        out[n++] = OpenFourCell{cell, setDirectionsOf(P, OpenFourCells, s.attacker, cell), steady(cell, s.attacker)};
      }
    }
    return n;
  }

  // The first steady open-four cell of `colour`, or NO_CELL.
  int steadyOpenFour(int colour) const {
    uint32_t summary = setSummaryOf(P, OpenFourCells, colour);
    while (summary) {
      const int x = __builtin_ctz(summary);
      summary &= summary - 1;
      uint32_t row = setRowOf(P, OpenFourCells, colour, x);
      while (row) {
        const int cell = cellIndex(x, __builtin_ctz(row));
        row &= row - 1;
        if (steady(cell, colour)) return cell;
      }
    }
    return NO_CELL;
  }

  // True when the attacker's open four at `f` in direction `dir` survives a
  // defender's stone on the empty `cell`: the value is read from the line word
  // with that stone written in, since a line value depends on nothing else.
  bool keepsOpenFour(int f, int dir, int cell) const {
    uint64_t word = lineWordAt(P, f, dir);
    const int step = DIR_STEP[dir];
    for (int j = -PATTERN_REACH; j <= PATTERN_REACH; j++) {
      if (j != 0 && f + j * step == cell) {
        word |= static_cast<uint64_t>(s.defender) << (2 * linePositionOf(P, cell, dir) + LINE_OFFSET);
        break;
      }
    }
    return windowPattern(P, word, linePositionOf(P, f, dir), s.attacker) == PatFourOpen;
  }
};

}  // namespace

bool ThreatSolver::spent() {
  [[maybe_unused]] Position& P = *pos;
  ++nodes;
  if (nodes > nodeBudget || (stop && nodes % STOP_POLL_NODES == 0 &&
                              (stop->load(std::memory_order_relaxed) != 0 || clockMs() >= deadline)))
    aborted = true;
  return aborted;
}

int ThreatSolver::attackNode(int ply, int remaining) {
  [[maybe_unused]] Position& P = *pos;
  if (remaining < 1) return THREAT_FAIL_LIMIT;
  if (spent()) return THREAT_UNKNOWN;
  const Query q{*this, *pos};
  int first = NO_CELL;
  if (countSet(P, FiveCells, attacker, 1, &first) > 0) {
    winMove[ply] = first;
    return 1;
  }
  if (remaining < 3 || ply + 1 >= THREAT_STACK) return THREAT_FAIL_LIMIT;

  const uint64_t key = positionKey(P) ^ salt[ATTACK_NODE];
  ThreatFacts facts;
  if (cache->probe(key, facts)) {
    if (facts.winPlies != 0 && facts.winPlies <= remaining && facts.move >= 0 && cellAt(P, facts.move) == EMPTY) {
      winMove[ply] = facts.move;
      return facts.winPlies;
    }
    if (facts.failPlies >= remaining) return facts.failPlies == TE_FAIL_ALWAYS ? THREAT_FAIL_ALWAYS : THREAT_FAIL_LIMIT;
  }
  auto fail = [&](bool limited) {
    cache->store(key, ThreatFacts{0, limited ? remaining : TE_FAIL_ALWAYS, NO_CELL});
    return limited ? THREAT_FAIL_LIMIT : THREAT_FAIL_ALWAYS;
  };

  ThreatMove* list = lists[ply];
  int n = 0;
  bool limited = false;
  int block = NO_CELL;
  const int defenderFives = countSet(P, FiveCells, defender, 2, &block);
  if (defenderFives >= 2) return fail(false);
  if (defenderFives == 1) {
    // The attacker must block; the sequence goes on only if the block is
    // itself a threat, which the defender's node finds out.
    if (q.forbiddenFor(attacker, block)) return fail(false);
    list[n++] = ThreatMove{static_cast<int16_t>(block), 0};
  } else {
    const int openFour = q.playableOpenFour(attacker);
    if (openFour != NO_CELL) {
      cache->store(key, ThreatFacts{3, 0, openFour});
      winMove[ply] = openFour;
      return 3;
    }
    // A three needs five plies to win (three, reply, open four, block, five).
    const bool threes = remaining >= 5;
    // When the defender has a steady open-four cell, a three anywhere off
    // its line leaves it to him, and his open four comes first.
    const int guard = threes ? q.steadyOpenFour(defender) : NO_CELL;
    const int guardStep =
        guard == NO_CELL
            ? 0
            : DIR_STEP[__builtin_ctz(static_cast<uint32_t>(setDirectionsOf(P, OpenFourCells, defender, guard)))];
    uint32_t summary = setSummaryOf(P, FourCells, attacker) | setSummaryOf(P, OpenFourCells, attacker);
    const uint32_t threeSummary = setSummaryOf(P, ThreeCells, attacker);
    if (threes)
      summary |= threeSummary;
    else
      limited = threeSummary != 0;
    while (summary) {
      const int x = __builtin_ctz(summary);
      summary &= summary - 1;
      uint32_t row = setRowOf(P, FourCells, attacker, x) | setRowOf(P, OpenFourCells, attacker, x);
      if (threes) row |= setRowOf(P, ThreeCells, attacker, x);
      while (row) {
        const int cell = cellIndex(x, __builtin_ctz(row));
        row &= row - 1;
        const bool four = inSetOf(P, FourCells, attacker, cell) || inSetOf(P, OpenFourCells, attacker, cell);
        if (!four && guard != NO_CELL && !withinReach(guard, guardStep, cell)) continue;
        if (q.forbiddenFor(attacker, cell)) continue;
        const int bonus = four ? FOUR_BONUS : 0;
        list[n++] = ThreatMove{static_cast<int16_t>(cell),
                               static_cast<int16_t>(bonus + cellOrderKey(P, cell, attacker, defender))};
      }
    }
    sortByKey(list, n);
  }

  const uint64_t childSalt = salt[DEFEND_NODE];
  for (int i = 0; i < n; i++) {
    const int cell = list[i].cell;
    cache->prefetch(positionKey(P) ^ stoneKey(cell, attacker) ^ childSalt);
    makeMove(P, cell, attacker);
    const int r = defendNode(ply + 1, remaining - 1);
    unmakeMove(P, cell);
    if (aborted) return THREAT_UNKNOWN;
    if (r > 0) {
      cache->store(key, ThreatFacts{r + 1, 0, cell});
      winMove[ply] = cell;
      return r + 1;
    }
    if (r == THREAT_FAIL_LIMIT) limited = true;
  }
  return fail(limited);
}

int ThreatSolver::threeReplies(ThreatMove* list) {
  [[maybe_unused]] Position& P = *pos;
  const Query q{*this, *pos};
  OpenFourCell opens[OPEN_FOUR_LIST + 1];
  const int openCount = q.listOpenFours(opens, OPEN_FOUR_LIST);
  const bool listed = openCount <= OPEN_FOUR_LIST;
  // The witness: a steady open-four cell. A defender's move off its line
  // leaves it, so every defence lies on that line within the pattern's reach.
  int witness = NO_CELL, witnessDirs = 0;
  if (listed) {
    for (int i = 0; i < openCount && witness == NO_CELL; i++)
      if (opens[i].steady) {
        witness = opens[i].cell;
        witnessDirs = opens[i].dirs;
      }
  } else {
    witness = q.firstPlayable(OpenFourCells, attacker, attacker);
    if (witness != NO_CELL && rule == RULE_RENJU && attacker == BLACK) witness = NO_CELL;
    if (witness != NO_CELL) witnessDirs = setDirectionsOf(P, OpenFourCells, attacker, witness);
  }
  if (witness == NO_CELL) return -1;                       // not a three the model knows
  if (q.playableOpenFour(defender) != NO_CELL) return -1;  // he makes an open four first

  int n = 0;
  // Fours of his own: the attacker must answer them.
  uint32_t summary = setSummaryOf(P, FourCells, defender) | setSummaryOf(P, OpenFourCells, defender);
  while (summary) {
    const int x = __builtin_ctz(summary);
    summary &= summary - 1;
    uint32_t row = setRowOf(P, FourCells, defender, x) | setRowOf(P, OpenFourCells, defender, x);
    while (row) {
      const int cell = cellIndex(x, __builtin_ctz(row));
      row &= row - 1;
      if (q.forbiddenFor(defender, cell)) continue;
      list[n++] =
          ThreatMove{static_cast<int16_t>(cell), static_cast<int16_t>(1000 + cellOrderKey(P, cell, defender, attacker))};
    }
  }
  // Moves that leave the attacker no playable open-four cell.
  const int step = DIR_STEP[__builtin_ctz(static_cast<uint32_t>(witnessDirs))];
  for (int j = -PATTERN_REACH; j <= PATTERN_REACH; j++) {
    const int cell = witness + j * step;
    if (!cellOnBoard(P, cell) || cellAt(P, cell) != EMPTY) continue;
    // His fours are in the list already; Black may not defend on a
    // forbidden point.
    if (inSetOf(P, FourCells, defender, cell) || inSetOf(P, OpenFourCells, defender, cell)) continue;
    if (q.forbiddenFor(defender, cell)) continue;
    bool stops = true, doubtful = !listed;
    for (int i = 0; i < openCount && listed && stops; i++) {
      const OpenFourCell& f = opens[i];
      if (f.cell == cell) continue;
      bool kept = false;
      for (int dirs = f.dirs; dirs && !kept; dirs &= dirs - 1)
        kept = q.keepsOpenFour(f.cell, __builtin_ctz(static_cast<uint32_t>(dirs)), cell);
      if (!kept) continue;
      if (f.steady)
        stops = false;
      else
        doubtful = true;  // may or may not stay playable: ask the board
    }
    if (stops && doubtful) {
      makeMove(P, cell, defender);
      stops = q.playableOpenFour(attacker) == NO_CELL;
      unmakeMove(P, cell);
    }
    if (stops)
      list[n++] = ThreatMove{static_cast<int16_t>(cell), static_cast<int16_t>(cellOrderKey(P, cell, defender, attacker))};
  }
  sortByKey(list, n);
  return n;
}

int ThreatSolver::defenderReplies(int* out) {
  [[maybe_unused]] Position& P = *pos;
  int five = NO_CELL;
  const int fives = countSet(P, FiveCells, attacker, 2, &five);
  if (fives >= 2) return -1;
  if (fives == 1) {
    if (rule == RULE_RENJU && defender == BLACK && renjuForbidden(P, five)) return -1;
    out[0] = five;
    return 1;
  }
  ThreatMove list[MAX_CELLS];
  const int n = threeReplies(list);
  for (int i = 0; i < n; i++) out[i] = list[i].cell;
  return n;
}

int ThreatSolver::defendNode(int ply, int remaining) {
  [[maybe_unused]] Position& P = *pos;
  if (remaining < 2) return THREAT_FAIL_LIMIT;
  if (spent()) return THREAT_UNKNOWN;
  const Query q{*this, *pos};
  int five = NO_CELL;
  const int fives = countSet(P, FiveCells, attacker, 2, &five);
  if (fives >= 2) {
    // Two cells to complete five: one block cannot stop both.
    winMove[ply] = q.firstPlayable(FiveCells, attacker, defender);
    return 2;
  }
  if (fives == 1 && q.forbiddenFor(defender, five)) {
    winMove[ply] = NO_CELL;
    return 2;
  }
  if (fives == 0 && remaining < OPEN_FOUR_FOLLOW_UP) return THREAT_FAIL_LIMIT;
  if (ply + 1 >= THREAT_STACK) return THREAT_FAIL_LIMIT;

  const uint64_t key = positionKey(P) ^ salt[DEFEND_NODE];
  ThreatFacts facts;
  if (cache->probe(key, facts)) {
    if (facts.winPlies != 0 && facts.winPlies <= remaining && (facts.move < 0 || cellAt(P, facts.move) == EMPTY)) {
      winMove[ply] = facts.move;
      return facts.winPlies;
    }
    if (facts.failPlies >= remaining) return facts.failPlies == TE_FAIL_ALWAYS ? THREAT_FAIL_ALWAYS : THREAT_FAIL_LIMIT;
  }
  auto fail = [&](bool limited) {
    cache->store(key, ThreatFacts{0, limited ? remaining : TE_FAIL_ALWAYS, NO_CELL});
    return limited ? THREAT_FAIL_LIMIT : THREAT_FAIL_ALWAYS;
  };

  ThreatMove* list = lists[ply];
  int n = 0;
  // The length of the win if the defender plays a move left out of the list.
  int best = 0;
  if (fives == 1) {
    // A four: the block is the only reply.
    list[n++] = ThreatMove{static_cast<int16_t>(five), 0};
  } else {
    n = threeReplies(list);
    if (n < 0) return fail(false);
    best = OPEN_FOUR_FOLLOW_UP;
  }

  int bestMove = NO_CELL;
  const uint64_t childSalt = salt[ATTACK_NODE];
  for (int i = 0; i < n; i++) {
    const int cell = list[i].cell;
    cache->prefetch(positionKey(P) ^ stoneKey(cell, defender) ^ childSalt);
    makeMove(P, cell, defender);
    const int r = attackNode(ply + 1, remaining - 1);
    unmakeMove(P, cell);
    if (aborted) return THREAT_UNKNOWN;
    if (r <= 0) return fail(r == THREAT_FAIL_LIMIT);
    if (r + 1 > best) {
      best = r + 1;
      bestMove = cell;
    }
  }
  cache->store(key, ThreatFacts{best, 0, bestMove});
  winMove[ply] = bestMove;
  return best;
}

int ThreatSolver::solve(int attackerColour, int64_t budget, int maxPlies, int* firstMove) {
  [[maybe_unused]] Position& P = *pos;
  attacker = attackerColour;
  defender = attackerColour ^ 3;
  rule = boardRule(P);
  salt[ATTACK_NODE] = nodeSalt(ATTACK_NODE, attacker, rule, boardSide(P));
  salt[DEFEND_NODE] = nodeSalt(DEFEND_NODE, attacker, rule, boardSide(P));
  nodes = 0;
  nodeBudget = budget;
  aborted = false;
  lastWin = 0;
  lastKey = positionKey(P);
  if (!cache || !cache->buckets) return 0;
  if (maxPlies > THREAT_MAX_PLIES) maxPlies = THREAT_MAX_PLIES;
  for (int limit = 1; limit <= maxPlies; limit += 2) {
    const int r = attackNode(0, limit);
    if (aborted) return 0;
    if (r > 0) {
      lastWin = r;
      if (firstMove) *firstMove = winMove[0];
      return r;
    }
    if (r == THREAT_FAIL_ALWAYS) return 0;
  }
  return 0;
}

int ThreatSolver::principalLine(int* out, int maxMoves, int64_t budget) {
  [[maybe_unused]] Position& P = *pos;
  if (lastWin == 0 || positionKey(P) != lastKey || !cache || !cache->buckets) return 0;
  nodes = 0;
  nodeBudget = budget;
  aborted = false;
  int placed[THREAT_STACK];
  int placedCount = 0, n = 0, remaining = lastWin;
  bool attackerToMove = true;
  while (n < maxMoves && remaining > 0 && placedCount < THREAT_STACK) {
    const int r = attackerToMove ? attackNode(0, remaining) : defendNode(0, remaining);
    if (r <= 0) break;
    const int cell = winMove[0];
    out[n++] = cell;
    if (attackerToMove && r == 1) break;  // the five
    if (cell != NO_CELL) {
      makeMove(P, cell, attackerToMove ? attacker : defender);
      placed[placedCount++] = cell;
    }
    remaining = r - 1;
    attackerToMove = !attackerToMove;
  }
  while (placedCount > 0) unmakeMove(P, placed[--placedCount]);
  return n;
}
