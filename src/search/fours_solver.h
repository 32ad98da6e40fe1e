// Continuous-four solver: can the side to move force five by an unbroken
// chain of fours? Its results are kept in the four-solver cache for the whole
// process; the solver itself is part of the search worker (search/worker.h).
#pragma once

#include <cstdint>

#include "search/hash_table.h"

constexpr int FOUR_WIN = 10000484;   // win found at solver ply 0

// The cache's table for nodes of `colour` as attacker (0) or defender (1).
inline int fourTableOf(int colour, int defending) { return 2 * (colour - 1) + (defending ? 1 : 0); }

// One cached solver result. The lock is the position key XOR the value, so a
// torn or foreign entry never matches.
struct FourEntry {
  uint64_t lock;
  int32_t value;   // wins and losses relative to the storing node's ply
  int16_t tag;     // 484 - ply of the storing node; 0 marks an empty entry
  int16_t age;     // the game's move count when stored
};
static_assert(sizeof(FourEntry) == 16, "a solver cache entry is 16 bytes");

struct FourBucket {
  FourEntry entry[2];
};
static_assert(sizeof(FourBucket) == 32, "a solver cache bucket is 32 bytes");

// Four tables (attacker and defender nodes of each colour) of 524,288 buckets
// by default, 64 MiB in all, shared by every search thread. Entries are read
// and written word by word with relaxed atomics; the lock check rejects a
// torn entry.
struct FourCache : BucketTables<FourBucket, 4> {
  static constexpr int TABLES = 4;

  // The value cached for the key, converted for a reader `distance` plies
  // from the store's reference point; false on a miss.
  bool probe(int table, uint64_t key, int distance, int& value) const;
  // Stores an already converted value from solver ply `count`.
  void storeRaw(int table, uint64_t key, int stored, int count, int age);
  FourBucket& bucketOf(int table, uint64_t key) const { return tables[table][key & 0x7FFFFFFF & (bucketCount - 1)]; }
  // Starts loading the key's bucket ahead of its probe.
  void prefetch(int table, uint64_t key) const { __builtin_prefetch(&bucketOf(table, key)); }
};
