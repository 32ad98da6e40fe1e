#include <cstring>
#include <initializer_list>

#include "board/pattern_tables.h"
#include "search/worker.h"

namespace {

constexpr int SHORTCUT_STORED = 10000000;   // FOUR_WIN stored relative to ply 0
constexpr int DENSITY_VALUE = 279;
constexpr int DEFENDER_LOST = 10000482;

inline FourEntry loadEntry(const FourEntry& source) {
  FourEntry e;
  const uint64_t* from = reinterpret_cast<const uint64_t*>(&source);
  const uint64_t words[2] = {__atomic_load_n(from, __ATOMIC_RELAXED), __atomic_load_n(from + 1, __ATOMIC_RELAXED)};
  std::memcpy(&e, words, sizeof e);
  return e;
}

inline void saveEntry(FourEntry& target, const FourEntry& e) {
  uint64_t words[2];
  std::memcpy(words, &e, sizeof e);
  uint64_t* to = reinterpret_cast<uint64_t*>(&target);
  __atomic_store_n(to, words[0], __ATOMIC_RELAXED);
  __atomic_store_n(to + 1, words[1], __ATOMIC_RELAXED);
}

inline uint64_t lockOf(uint64_t key, int value) {
  return key ^ static_cast<uint64_t>(static_cast<int64_t>(value));
}

// Converts a stored value back for a reader `distance` plies from the store's
// reference point (484 - count for its own position, 485 - count for a child).
inline int fromStored(int v, int distance) {
  if (v > MATE_BAND) return v + distance;
  if (v < -MATE_BAND) return v - distance;
  return v;
}

// The position after a move was stored by a node one ply deeper, relative to
// that node's own ply: 484 - (count + 1) plies from the reference point.
inline int childDistance(int count) { return MAX_CELLS - (count + 1); }

}  // namespace

bool FourCache::probe(int table, uint64_t key, int distance, int& value) const {
  for (const FourEntry& slot : bucketOf(table, key).entry) {
    const FourEntry e = loadEntry(slot);
    if (e.tag != 0 && lockOf(e.lock, e.value) == key) {
      value = fromStored(e.value, distance);
      return true;
    }
  }
  return false;
}

void FourCache::storeRaw(int table, uint64_t key, int stored, int count, int age) {
  FourBucket& bucket = bucketOf(table, key);
  const int16_t tag = static_cast<int16_t>(MAX_CELLS - count);
  FourEntry* target = &bucket.entry[0];
  const FourEntry first = loadEntry(bucket.entry[0]);
  const bool firstIsOther = first.tag != 0 && lockOf(first.lock, first.value) != key;
  if (firstIsOther && first.tag > tag) {
    const int ageGap = first.age - age;
    if (ageGap >= -1 && ageGap <= 1) target = &bucket.entry[1];
  }
  FourEntry e;
  e.lock = lockOf(key, stored);
  e.value = stored;
  e.tag = tag;
  e.age = static_cast<int16_t>(age);
  saveEntry(*target, e);
}


// Stores a value found at solver ply `count` relative to that ply.
void Worker::storeFour(int table, uint64_t key, int value, int count) {
  const int distance = MAX_CELLS - count;
  if (value > MATE_BAND) value -= distance;
  else if (value < -MATE_BAND) value += distance;
  storeRaw(table, key, value, count);
}

namespace {

uint32_t columnsAt(int y, std::initializer_list<int> offsets) {
  uint32_t mask = 0;
  for (int o : offsets)
    if (y + o >= 0 && y + o < MAX_SIDE) mask |= 1u << (y + o);
  return mask;
}

}  // namespace

// Enough four cells of the attacker around a weak four for a chain to grow.
bool Worker::denseEnough(int cell, int colour) const {
  const int x = cellX(cell), y = cellY(cell), k = colour - 1;
  const uint32_t near1 = columnsAt(y, {-2, 2}), near2 = columnsAt(y, {-1, 1, 2}), near3 = columnsAt(y, {-3, 0, 3});
  int count = 0;
  for (int dx = 1; dx <= 3; dx++) {
    const uint32_t mask = dx == 1 ? near1 : dx == 2 ? near2 : near3;
    for (int row : {x - dx, x + dx})
      if (row >= 0 && row < pos.xExtent) count += bitCount(static_cast<uint32_t>(pos.board.setRows[FourCells][k][row]) & mask);
  }
  return count >= 3;
}


// The cell the defender must take against the four of a four-three: the far
// side of the run in the four's first direction; -1 when neither walk finds it.
int Worker::forcedReply(int cell, int colour) const {
  int dir = 0;
  while (dir < DIRECTIONS && patternAt(cell, colour, dir) != PatFour && patternAt(cell, colour, dir) != PatFourLive)
    dir++;
  if (dir == DIRECTIONS) return NO_CELL;
  for (int step : {DIR_STEP[dir], -DIR_STEP[dir]}) {
    int u = cell + step;
    while (pos.onBoard(u) && pos.board.cells[u] == colour) u += step;
    if (pos.onBoard(u) && pos.board.cells[u] == EMPTY) {
      const int v = patternAt(u, colour, dir);
      if (v == PatFour || v == PatFourLive) return u;
    }
  }
  return NO_CELL;
}

// Free-style wins that no chain of fours can refute: a double four, a double
// three against a defender without fours, a four-three whose forced reply
// makes no four.
bool Worker::shortcutWin(int cell, int colour) const {
  const int k = colour - 1, opponent = colour ^ 3;
  const int f4 = pos.board.setMask(FourCells, k, cell), f3 = pos.board.setMask(ThreeCells, k, cell);
  if (bitCount(static_cast<uint32_t>(f4)) >= 2) return true;
  if (bitCount(static_cast<uint32_t>(f3)) >= 2 && setEmpty(FourCells, opponent) && setEmpty(OpenFourCells, opponent))
    return true;
  if (bitCount(static_cast<uint32_t>(f4 | f3)) >= 2) {
    const int reply = forcedReply(cell, colour);
    if (reply >= 0 && !inSet(FourCells, opponent, reply) && !inSet(OpenFourCells, opponent, reply)) return true;
  }
  return false;
}

bool Worker::openFourPlayable(int colour) {
  if (pos.builtRule != RULE_RENJU || colour != BLACK) return true;
  return !pos.isForbidden(firstSetCell(OpenFourCells, BLACK));
}

// The candidate filter shared by both attacker levels. On Won, `value` holds
// the value to return (already stored).
Worker::FilterResult Worker::filterCandidate(int cell, int colour, int count, bool density, MoveEntry& entry, int& value) {
  const int opponent = colour ^ 3;
  if (density && CellValueTable[patternsOf(cell, colour)] < DENSITY_VALUE && !denseEnough(cell, colour)) return Reject;
  if (pos.builtRule == RULE_RENJU && colour == BLACK && pos.isForbidden(cell)) return Reject;
  const int table = fourTableOf(colour, 0);
  if (pos.builtRule == RULE_FREESTYLE && setEmpty(FiveCells, opponent) && shortcutWin(cell, colour)) {
    storeRaw(table, pos.board.hashKey, SHORTCUT_STORED, count);
    value = FOUR_WIN - count;
    return Won;
  }
  int child;
  if (probeFour(fourTableOf(opponent, 1), pos.board.hashKey ^ zobristKeys[cell][colour - 1], childDistance(count), child)) {
    if (-child > 0) {
      storeFour(table, pos.board.hashKey, -child, count);
      value = -child;
      return Won;
    }
    return Reject;
  }
  entry.key = -CellValueTable[patternsOf(cell, colour)] - (CellValueTable[patternsOf(cell, opponent)] >> 1);
  entry.cell = cell;
  return Keep;
}

// Collects and filters the attacker's candidates into list; returns the count,
// or -1 with `value` set when the node is decided by the filter.
int Worker::attackerCandidates(int colour, int count, bool root, MoveEntry* list, int& value) {
  const int opponent = colour ^ 3;
  int32_t cells[MAX_CELLS];
  int n = 0;
  if (!setEmpty(FiveCells, opponent)) {
    const int block = firstSetCell(FiveCells, opponent);
    if (!(CellFlagTable[patternsOf(block, colour)] & FLAG_FOUR)) {
      storeFour(fourTableOf(colour, 0), pos.board.hashKey, 0, count);
      value = 0;
      return -1;
    }
    cells[n++] = block;
  } else if (root) {
    n = listFourCells(colour, cells);
  } else {
    // Only fours near the attacker's previous four can continue its chain.
    const int p = pos.board.stones[pos.board.stoneCount - 2], px = cellX(p), py = cellY(p), k = colour - 1;
    for (int r = -4; r <= 4; r++) {
      const int row = px + r;
      if (row < 0 || row >= pos.xExtent) continue;
      uint32_t mask;
      if (r == 0) mask = columnsAt(py, {-4, -3, -2, -1, 0, 1, 2, 3, 4});
      else if (r >= -2 && r <= 2) mask = columnsAt(py, {-2, -1, 0, 1, 2});
      else if (r == 3 || r == -3) mask = columnsAt(py, {-3, 0, 3});
      else mask = columnsAt(py, {-4, 0, 4});
      uint32_t members = static_cast<uint32_t>(pos.board.setRows[FourCells][k][row]) & mask;
      while (members) {
        cells[n++] = cellIndex(row, lowestBit(members));
        members &= members - 1;
      }
    }
  }
  // Each candidate's filter probes the cache for the position after it: start
  // all those loads at once rather than wait for them one by one.
  for (int i = 0; i < n; i++) prefetchFour(fourTableOf(opponent, 1), pos.board.hashKey ^ zobristKeys[cells[i]][colour - 1]);
  int kept = 0;
  for (int i = 0; i < n; i++) {
    switch (filterCandidate(cells[i], colour, count, root, list[kept], value)) {
      case Keep: kept++; break;
      case Reject: break;
      case Won: return -1;
    }
  }
  sortByKey(list, kept);
  return kept;
}

int Worker::attack(int depth, int colour, int count) {
  const int ply = plyOf(depth);
  if (ply < 0 || ply >= PLY_LIMIT) return 0;
  MoveEntry* list = moveStack[ply];
  int value = 0;
  const int n = attackerCandidates(colour, count, count == 0, list, value);
  if (n < 0) return value;
  const int table = fourTableOf(colour, 0), opponent = colour ^ 3;
  for (int i = 0; i < n; i++) {
    const int cell = list[i].cell;
    pos.makeStoneLight(cell, colour, lightStack[ply]);
    const int r = -solveThreatsNode(depth - 1, opponent, 1, count + 1);
    pos.unmakeStoneLight(cell, lightStack[ply]);
    if (search.stopSearch) return 0;
    if (r > 0) {
      storeFour(table, pos.board.hashKey, r, count);
      return r;
    }
  }
  storeFour(table, pos.board.hashKey, 0, count);
  return 0;
}

int Worker::defend(int depth, int colour, int count) {
  const int ply = plyOf(depth);
  if (ply < 0 || ply >= PLY_LIMIT) return 0;
  const int opponent = colour ^ 3, table = fourTableOf(colour, 1);
  int32_t blocks[MAX_CELLS];
  const int n = listSetCells(FiveCells, opponent, blocks);
  for (int i = 0; i < n; i++) prefetchFour(fourTableOf(opponent, 0), pos.board.hashKey ^ zobristKeys[blocks[i]][colour - 1]);
  int kept = 0;
  for (int i = 0; i < n; i++) {
    const int cell = blocks[i];
    if (pos.builtRule == RULE_RENJU && colour == BLACK && pos.isForbidden(cell)) continue;
    int child;
    if (probeFour(fourTableOf(opponent, 0), pos.board.hashKey ^ zobristKeys[cell][colour - 1], childDistance(count), child)) {
      if (child == 0) {
        storeFour(table, pos.board.hashKey, 0, count);
        return 0;
      }
      continue;
    }
    blocks[kept++] = cell;
  }
  int result = count - DEFENDER_LOST;
  for (int i = 0; i < kept; i++) {
    pos.makeStoneLight(blocks[i], colour, lightStack[ply]);
    const int r = solveThreatsNode(depth - 1, opponent, 0, count + 1);
    pos.unmakeStoneLight(blocks[i], lightStack[ply]);
    if (search.stopSearch) return 0;
    if (r == 0) {
      storeFour(table, pos.board.hashKey, 0, count);
      return 0;
    }
    result = -r;
  }
  storeFour(table, pos.board.hashKey, result, count);
  return result;
}

int Worker::solveThreats(int depth, int colour) {
  if (nodeClockCheck()) return 0;
  const int opponent = colour ^ 3;
  if (!setEmpty(FiveCells, colour)) return FOUR_WIN;
  if (setEmpty(FiveCells, opponent) && !setEmpty(OpenFourCells, colour) && openFourPlayable(colour)) return FOUR_WIN;
  int value;
  if (probeFour(fourTableOf(colour, 0), pos.board.hashKey, MAX_CELLS, value)) return value;
  return attack(depth, colour, 0);
}

int Worker::solveThreatsNode(int depth, int colour, int defending, int count) {
  if (nodeClockCheck()) return 0;
  const int opponent = colour ^ 3, win = FOUR_WIN - count;
  if (!setEmpty(FiveCells, colour)) return defending ? 0 : win;
  if (setEmpty(FiveCells, opponent) && !setEmpty(OpenFourCells, colour) && openFourPlayable(colour))
    return defending ? 0 : win;
  int value;
  if (probeFour(fourTableOf(colour, defending), pos.board.hashKey, MAX_CELLS - count, value)) return value;
  return defending ? defend(depth, colour, count) : attack(depth, colour, count);
}
