// Transposition tables, one per side to move, of 524,288 buckets of four
// 32-byte entries.
//
// Entry layout (32 bytes):
//   0  lock   uint64  key ^ (upper << 36) ^ (lower << 8) ^ (depth * 4) ^ bound
//   8  upper  int32   upper bound (bound bit 1)
//  12  lower  int32   lower bound (bound bit 2)
//  16  depth  int16   effective depth of the storing search
//  18  age    int16   recordCount when last stored or hit
//  20  bound  uint8   0 empty, 1 upper, 2 lower, 3 both
//  21  moveCount uint8
//  22  move1, move2, move3 int16, then 4 bytes of padding
#pragma once

#include <cstdint>

struct HashEntry {
  uint64_t lock;
  int32_t upper;
  int32_t lower;
  int16_t depth;
  int16_t age;
  uint8_t bound;
  uint8_t moveCount;
  int16_t move1, move2, move3;
  int16_t pad[2];
};
static_assert(sizeof(HashEntry) == 32, "a hash entry is 32 bytes");

struct alignas(64) HashBucket {
  HashEntry entry[4];
};
static_assert(sizeof(HashBucket) == 128, "a hash bucket is 128 bytes");

constexpr uint32_t HASH_BUCKETS = 524288;

constexpr int BOUND_UPPER = 1;
constexpr int BOUND_LOWER = 2;
constexpr int BOUND_EXACT = 3;

extern HashBucket* hashTables[2];

// Allocates both tables on first use and clears them when the rule changed
// since their last clearing.
void prepareHashTables(int rule);
void clearHashTables();

int probeHash(int depth, int alpha, int beta, int colour, uint64_t key, int* moves, int wanted);
void storeHash(int depth, int value, int bound, int colour, int m1, int m2, int m3);
void replaceHash(int depth, int value, int bound, int colour, int m1, int m2, int m3);

// Stores with an explicit key (the tests, and the store helpers above use the
// board's key).
void storeHashKey(uint64_t key, int depth, int value, int bound, int colour, int m1, int m2, int m3, bool overwrite);
