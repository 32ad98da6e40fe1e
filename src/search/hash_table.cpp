#include "search/hash_table.h"

#include <cstdlib>
#include <cstring>

#include "core/types.h"

#if defined(__linux__) && !defined(__EMSCRIPTEN__)
#define RUVAN_HUGE_PAGES 1
#include <sys/mman.h>
#ifndef MADV_COLLAPSE
#define MADV_COLLAPSE 25
#endif
namespace {
constexpr size_t HUGE_PAGE = size_t{2} << 20;
}
#endif

// Under Linux a table of a huge page or more is a mapping of its own, aligned
// to 2 MiB, so that promote() can later turn it into huge pages chunk by
// chunk. It starts as ordinary lazily mapped pages: a huge page costs far
// more to fault in than a small one (in a virtual machine whose host has not
// backed the memory yet, milliseconds), and a fault storm over a fresh table
// in the middle of a timed search could make the move late. Elsewhere, and
// when the mapping fails, calloc.
bool TableMemory::allocate(size_t bytes) {
#ifdef RUVAN_HUGE_PAGES
  if (bytes >= HUGE_PAGE) {
    const size_t length = bytes + HUGE_PAGE;
    void* block = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block != MAP_FAILED) {
      release();
      raw = block;
      mappedBytes = length;
      aligned = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(block) + HUGE_PAGE - 1) & ~uintptr_t{HUGE_PAGE - 1});
      usableBytes = bytes;
      promotedBytes = 0;
      return true;
    }
  }
#endif
  void* block = std::calloc(bytes + 64, 1);
  if (!block) return false;
  release();
  raw = block;
  aligned = reinterpret_cast<void*>((reinterpret_cast<uintptr_t>(block) + 63) & ~uintptr_t{63});
  return true;
}

void TableMemory::release() {
#ifdef RUVAN_HUGE_PAGES
  if (mappedBytes > 0) {
    munmap(raw, mappedBytes);
    mappedBytes = usableBytes = promotedBytes = 0;
    raw = aligned = nullptr;
    return;
  }
#endif
  std::free(raw);
  raw = aligned = nullptr;
}

// The probes of a big table land at random, and with small pages nearly every
// one of them also misses the processor's address translation cache: on huge
// pages the search runs about a seventh faster. The chunk is marked for huge
// pages and collapsed into one now, its contents kept, so that it is resident
// from here on. Where the kernel cannot collapse, the mark alone lets it use
// huge pages for what the search touches first later.
bool TableMemory::promote() {
#ifdef RUVAN_HUGE_PAGES
  if (mappedBytes == 0 || promotedBytes + HUGE_PAGE > usableBytes) return false;
  char* chunk = static_cast<char*>(aligned) + promotedBytes;
  madvise(chunk, HUGE_PAGE, MADV_HUGEPAGE);
  // A chunk nothing has written yet cannot be collapsed: a write that keeps
  // the word as it is faults it in (on a huge page, now that it is marked).
  __atomic_fetch_or(reinterpret_cast<uint64_t*>(chunk), uint64_t{0}, __ATOMIC_RELAXED);
  madvise(chunk, HUGE_PAGE, MADV_COLLAPSE);
  promotedBytes += HUGE_PAGE;
  return true;
#else
  return false;
#endif
}


namespace {

// Word-wise relaxed atomic copies of an entry: what makes concurrent readers
// and writers well defined without a lock (see the header).
constexpr int ENTRY_WORDS = sizeof(HashEntry) / sizeof(uint64_t);

inline HashEntry loadEntry(const HashEntry& source) {
  uint64_t words[ENTRY_WORDS];
  const uint64_t* from = reinterpret_cast<const uint64_t*>(&source);
  for (int i = 0; i < ENTRY_WORDS; i++) words[i] = __atomic_load_n(from + i, __ATOMIC_RELAXED);
  HashEntry e;
  std::memcpy(&e, words, sizeof e);
  return e;
}

inline void saveEntry(HashEntry& target, const HashEntry& e) {
  uint64_t words[ENTRY_WORDS];
  std::memcpy(words, &e, sizeof e);
  uint64_t* to = reinterpret_cast<uint64_t*>(&target);
  for (int i = 0; i < ENTRY_WORDS; i++) __atomic_store_n(to + i, words[i], __ATOMIC_RELAXED);
}

}  // namespace

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

static void copyMoves(const HashEntry& e, int* moves, int wanted) {
  moves[0] = e.move1;
  if (wanted >= 2) moves[1] = e.move2;
  if (wanted == 3) moves[2] = e.move3;
}

int TranspositionTable::probe(int depth, int alpha, int beta, int colour, uint64_t key, int age, int* moves,
                              int wanted) {
  HashBucket& bucket = bucketOf(key, colour);
  HashEntry* slot = nullptr;
  HashEntry found;
  for (HashEntry& candidate : bucket.entry) {
    const HashEntry copy = loadEntry(candidate);
    if (copy.bound != 0 && keyOf(copy) == key) {
      slot = &candidate;
      found = copy;
      break;
    }
  }
  if (!slot) return HASH_MISS;
  HashEntry* e = &found;
  e->age = static_cast<int16_t>(age);
  saveEntry(*slot, found);
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

static void writeNew(HashEntry& e, uint64_t key, int age, int depth, int value, int bound, int m1, int m2, int m3) {
  e.upper = e.lower = value;
  e.depth = static_cast<int16_t>(depth);
  e.age = static_cast<int16_t>(age);
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

void TranspositionTable::store(uint64_t key, int age, int depth, int value, int bound, int colour, int m1, int m2,
                               int m3, bool overwrite) {
  HashBucket& bucket = bucketOf(key, colour);
  const int now = age;
  // Work on a copy of the bucket; the entry written is saved back word by word.
  HashEntry entries[4];
  for (int i = 0; i < 4; i++) entries[i] = loadEntry(bucket.entry[i]);
  HashEntry* stale = nullptr;
  HashEntry* choice = &entries[0];
  HashEntry* target = nullptr;
  HashEntry* same = nullptr;
  for (HashEntry& e : entries) {
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
  auto save = [&](const HashEntry* e) { saveEntry(bucket.entry[e - entries], *e); };
  const int stored = toStored(value, depth);
  if (same) {
    same->age = static_cast<int16_t>(now);
    if (overwrite) {
      writeNew(*same, key, now, depth, stored, bound, m1, m2, m3);
      save(same);
      return;
    }
    if (same->depth > depth) {
      save(same);
      return;
    }
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
    save(same);
    return;
  }
  if (!target) target = stale ? stale : choice;
  writeNew(*target, key, now, depth, stored, bound, m1, m2, m3);
  save(target);
}

bool TranspositionTable::peekMoves(uint64_t key, int colour, int* moves) {
  if (!tables[0]) return false;
  for (const HashEntry& candidate : bucketOf(key, colour).entry) {
    const HashEntry e = loadEntry(candidate);
    if (e.bound != 0 && keyOf(e) == key) {
      copyMoves(e, moves, 3);
      return true;
    }
  }
  return false;
}
