#include "search/hash_table.h"

#include <cstring>
#include <new>

#include "board/board.h"
#include "core/types.h"

HashBucket* hashTables[2] = {nullptr, nullptr};
static int clearedRule = -1;

void clearHashTables() {
  for (HashBucket* table : hashTables)
    if (table) std::memset(static_cast<void*>(table), 0, sizeof(HashBucket) * HASH_BUCKETS);
}

void prepareHashTables(int rule) {
  if (!hashTables[0]) {
    for (HashBucket*& table : hashTables) table = new HashBucket[HASH_BUCKETS]();
    clearedRule = rule;
    return;
  }
  if (rule != clearedRule) {
    clearHashTables();
    clearedRule = rule;
  }
}

static inline uint64_t lockOf(uint64_t key, const HashEntry& e) {
  return key ^ (static_cast<uint64_t>(static_cast<int64_t>(e.upper)) << 36) ^
         (static_cast<uint64_t>(static_cast<int64_t>(e.lower)) << 8) ^
         static_cast<uint64_t>(static_cast<int64_t>(e.depth) * 4) ^ e.bound;
}

// The key an entry was stored under: the lock with the same terms removed.
static inline uint64_t keyOf(const HashEntry& e) { return lockOf(e.lock, e); }

static inline bool mateBound(int v) { return v > MATE_BAND || v < -MATE_BAND; }

static inline int toStored(int v, int depth) {
  if (v > MATE_BAND) return v - depth;
  if (v < -MATE_BAND) return v + depth;
  return v;
}

static inline int fromStored(int v, int depth) {
  if (v > MATE_BAND) return v + depth;
  if (v < -MATE_BAND) return v - depth;
  return v;
}

static inline HashBucket& bucketOf(uint64_t key, int colour) {
  return hashTables[colour - 1][static_cast<uint32_t>(key) & (HASH_BUCKETS - 1)];
}

static void copyMoves(const HashEntry& e, int* moves, int wanted) {
  moves[0] = e.move1;
  if (wanted >= 2) moves[1] = e.move2;
  if (wanted == 3) moves[2] = e.move3;
}

int probeHash(int depth, int alpha, int beta, int colour, uint64_t key, int* moves, int wanted) {
  HashBucket& bucket = bucketOf(key, colour);
  HashEntry* e = nullptr;
  for (HashEntry& candidate : bucket.entry)
    if (candidate.bound != 0 && keyOf(candidate) == key) {
      e = &candidate;
      break;
    }
  if (!e) return HASH_MISS;
  e->age = static_cast<int16_t>(recordCount);
  const int u = fromStored(e->upper, depth), l = fromStored(e->lower, depth);
  const bool shallow = e->depth < depth;
  const bool upperMate = mateBound(e->upper), lowerMate = mateBound(e->lower);
  if (e->upper == e->lower && e->bound == BOUND_EXACT && (!shallow || upperMate)) {
    copyMoves(*e, moves, wanted);
    return u;
  }
  if ((e->bound & BOUND_UPPER) && alpha >= u) {
    if (!shallow || upperMate) {
      copyMoves(*e, moves, wanted);
      return u;
    }
    if ((e->bound & BOUND_LOWER) && l >= beta && (!shallow || lowerMate)) {
      copyMoves(*e, moves, wanted);
      return l;
    }
    return HASH_MISS;
  }
  if ((e->bound & BOUND_LOWER) && l >= beta) {
    if (!shallow || lowerMate) {
      copyMoves(*e, moves, wanted);
      return l;
    }
    return HASH_MISS;
  }
  if (shallow && !(upperMate && lowerMate)) return HASH_MISS;
  copyMoves(*e, moves, wanted);
  return HASH_MISS;
}

static void writeNew(HashEntry& e, uint64_t key, int depth, int value, int bound, int m1, int m2, int m3) {
  e.upper = e.lower = value;
  e.depth = static_cast<int16_t>(depth);
  e.age = static_cast<int16_t>(recordCount);
  e.bound = static_cast<uint8_t>(bound);
  e.move1 = static_cast<int16_t>(m1);
  e.move2 = static_cast<int16_t>(m2);
  e.move3 = static_cast<int16_t>(m3);
  e.moveCount = static_cast<uint8_t>((m1 != -1) + (m2 != -1) + (m3 != -1));
  e.pad[0] = e.pad[1] = 0;
  e.lock = lockOf(key, e);
}

// Merges new best moves into an entry: a full list replaces the old one, a
// shorter list goes in front and keeps what it does not repeat.
static void mergeMoves(HashEntry& e, int m1, int m2, int m3) {
  const int o1 = e.move1, o2 = e.move2, o3 = e.move3;
  if (m3 != -1) {
    e.move1 = static_cast<int16_t>(m1);
    e.move2 = static_cast<int16_t>(m2);
    e.move3 = static_cast<int16_t>(m3);
  } else if (m2 != -1) {
    int third;
    if (o1 != m1 && o1 != m2) third = o1;
    else if (o2 != m1 && o2 != m2) third = o2;
    else third = (o3 == m1 || o3 == m2) ? -1 : o3;
    e.move1 = static_cast<int16_t>(m1);
    e.move2 = static_cast<int16_t>(m2);
    e.move3 = static_cast<int16_t>(third);
  } else if (m1 != -1 && m1 != o1) {
    e.move3 = static_cast<int16_t>(o2 != m1 ? o2 : o3);
    e.move2 = static_cast<int16_t>(o1);
    e.move1 = static_cast<int16_t>(m1);
  }
  e.moveCount = static_cast<uint8_t>((e.move1 != -1) + (e.move2 != -1) + (e.move3 != -1));
}

void storeHashKey(uint64_t key, int depth, int value, int bound, int colour, int m1, int m2, int m3,
                  bool overwrite) {
  HashBucket& bucket = bucketOf(key, colour);
  const int now = recordCount;
  HashEntry* stale = nullptr;
  HashEntry* choice = &bucket.entry[0];
  HashEntry* target = nullptr;
  HashEntry* same = nullptr;
  for (HashEntry& e : bucket.entry) {
    if (e.bound == 0) {
      target = &e;
      break;
    }
    if (keyOf(e) == key) {
      same = &e;
      break;
    }
    if (e.age - now >= 2 || now - e.age >= 2) {
      stale = &e;
    } else if (!stale) {
      int p = ((e.age == now || e.bound == BOUND_EXACT) ? -2 : 0) + (choice->age == now ? 2 : 0) +
              (e.depth < choice->depth ? 1 : 0);
      if (p > 0) choice = &e;
    }
  }
  const int stored = toStored(value, depth);
  if (same) {
    same->age = static_cast<int16_t>(now);
    if (overwrite) {
      writeNew(*same, key, depth, stored, bound, m1, m2, m3);
      return;
    }
    if (same->depth > depth) return;
    HashEntry& e = *same;
    mergeMoves(e, m1, m2, m3);
    if (e.depth == depth) {
      const bool exact = e.bound == BOUND_EXACT && e.upper == e.lower;
      if (bound == BOUND_EXACT) {
        e.upper = e.lower = stored;
        e.bound = BOUND_EXACT;
      } else if (bound == BOUND_UPPER) {
        if (!exact) {
          e.upper = ((e.bound & BOUND_UPPER) && e.upper < stored) ? e.upper : stored;
          e.bound |= BOUND_UPPER;
        }
      } else if (bound == BOUND_LOWER) {
        if (!exact) {
          e.lower = ((e.bound & BOUND_LOWER) && e.lower >= stored) ? e.lower : stored;
          e.bound |= BOUND_LOWER;
        }
      }
    } else {
      e.upper = e.lower = stored;
      e.depth = static_cast<int16_t>(depth);
      e.bound = static_cast<uint8_t>(bound);
    }
    e.lock = lockOf(key, e);
    return;
  }
  if (!target) target = stale ? stale : choice;
  writeNew(*target, key, depth, stored, bound, m1, m2, m3);
}

void storeHash(int depth, int value, int bound, int colour, int m1, int m2, int m3) {
  storeHashKey(board.hashKey, depth, value, bound, colour, m1, m2, m3, false);
}

void replaceHash(int depth, int value, int bound, int colour, int m1, int m2, int m3) {
  storeHashKey(board.hashKey, depth, value, bound, colour, m1, m2, m3, true);
}
