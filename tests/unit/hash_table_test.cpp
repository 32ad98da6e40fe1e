// The transposition table on explicit keys: bound and move merging, the probe's
// rules for shallow and mate entries, the choice of the entry to replace, and
// the layout of a bucket.
#include "search/hash_table.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "board/board.h"
#include "core/types.h"
#include "test_support.h"

namespace {

// Keys that differ only above bit 31 share a bucket (the index is the low 32
// bits masked to the table size); kBase's low bits pick the bucket.
constexpr uint64_t kBase = 0x0123456700ABCDEFull;
uint64_t keyInBucket(int i) { return kBase ^ (static_cast<uint64_t>(i + 1) << 40); }
// A key of another bucket, for cases that need room of their own.
uint64_t keyElsewhere(int i) { return kBase ^ (static_cast<uint64_t>(i + 1) << 4); }

HashBucket& bucketOf(uint64_t key, int colour) {
  return TE.tt.tables[colour - 1][static_cast<uint32_t>(key) & (HASH_BUCKETS - 1)];
}

// The lock an entry of `key` must carry, the three numbers sign-extended.
uint64_t expectedLock(uint64_t key, const HashEntry& e) {
  return key ^ (static_cast<uint64_t>(static_cast<int64_t>(e.upper)) << 36) ^
         (static_cast<uint64_t>(static_cast<int64_t>(e.lower)) << 8) ^
         static_cast<uint64_t>(static_cast<int64_t>(e.depth) * 4) ^ e.bound;
}

// Index of the entry that belongs to `key` in its bucket, or -1.
int slotOf(uint64_t key, int colour) {
  HashBucket& b = bucketOf(key, colour);
  for (int i = 0; i < 4; i++)
    if (b.entry[i].bound != 0 && expectedLock(key, b.entry[i]) == b.entry[i].lock) return i;
  return -1;
}

HashEntry& entryOf(uint64_t key, int colour) {
  const int i = slotOf(key, colour);
  EXPECT_GE(i, 0);
  return bucketOf(key, colour).entry[i < 0 ? 0 : i];
}

void store(uint64_t key, int depth, int value, int bound, int m1 = -1, int m2 = -1, int m3 = -1, int colour = 1) {
  TE.tt.store(key, TW.pos.recordCount, depth, value, bound, colour, m1, m2, m3, false);
}

int probe(uint64_t key, int depth, int alpha, int beta, int* moves, int colour = 1, int wanted = 3) {
  return TW.probeHash(depth, alpha, beta, colour, key, moves, wanted);
}

class HashTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TE.tt.prepare(RULE_FREESTYLE);
    TE.tt.clear();
    TW.pos.recordCount = 20;
  }
  void TearDown() override {
    TE.tt.clear();
    TW.pos.recordCount = 0;
  }
};

// ---------------------------------------------------------------------------
// Layout.

TEST_F(HashTableTest, BucketIsFourAdjacentEntriesOf128Bytes) {
  EXPECT_EQ(sizeof(HashBucket), 128u);
  EXPECT_EQ(sizeof(HashEntry), 32u);
  EXPECT_EQ(HASH_BUCKETS, 524288u);
  const HashBucket& b = TE.tt.tables[0][7];
  const char* base = reinterpret_cast<const char*>(&b);
  for (int i = 0; i < 4; i++) EXPECT_EQ(reinterpret_cast<const char*>(&b.entry[i]) - base, 32 * i);
  EXPECT_EQ(reinterpret_cast<const char*>(&TE.tt.tables[0][8]) - base, 128);
}

// A stored entry sits in the bucket of the key's low bits, carries its lock,
// and is found again by key and side to move only.
TEST_F(HashTableTest, ExactEntryRoundTrip) {
  const uint64_t key = keyInBucket(0);
  store(key, 5, 123, BOUND_EXACT, 100, 101, 102);
  const HashEntry& e = bucketOf(key, 1).entry[0];
  EXPECT_EQ(e.lock, expectedLock(key, e));
  EXPECT_EQ(e.upper, 123);
  EXPECT_EQ(e.lower, 123);
  EXPECT_EQ(e.depth, 5);
  EXPECT_EQ(e.age, 20);
  EXPECT_EQ(e.bound, BOUND_EXACT);
  EXPECT_EQ(e.moveCount, 3);
  EXPECT_EQ(e.move1, 100);
  EXPECT_EQ(e.move2, 101);
  EXPECT_EQ(e.move3, 102);

  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(probe(key, 5, -1000, 1000, moves), 123);
  EXPECT_EQ(moves[0], 100);
  EXPECT_EQ(moves[1], 101);
  EXPECT_EQ(moves[2], 102);
  EXPECT_EQ(probe(key, 2, -1000, 1000, moves), 123);  // a deeper entry serves a shallower probe

  int untouched[3] = {-7, -7, -7};
  EXPECT_EQ(probe(key, 6, -1000, 1000, untouched), HASH_MISS);  // too shallow
  EXPECT_EQ(untouched[0], -7);
  EXPECT_EQ(probe(key, 5, -1000, 1000, untouched, 2), HASH_MISS);          // other side to move
  EXPECT_EQ(probe(keyInBucket(1), 5, -1000, 1000, untouched), HASH_MISS);  // same bucket, other key
  EXPECT_EQ(probe(key ^ 1, 5, -1000, 1000, untouched), HASH_MISS);         // other bucket
  EXPECT_EQ(untouched[0], -7);
  EXPECT_EQ(untouched[1], -7);
  EXPECT_EQ(untouched[2], -7);

  // `wanted` limits how many moves are copied.
  int one[3] = {-7, -7, -7}, two[3] = {-7, -7, -7};
  EXPECT_EQ(probe(key, 5, -1000, 1000, one, 1, 1), 123);
  EXPECT_EQ(probe(key, 5, -1000, 1000, two, 1, 2), 123);
  EXPECT_EQ(one[0], 100);
  EXPECT_EQ(one[1], -7);
  EXPECT_EQ(two[1], 101);
  EXPECT_EQ(two[2], -7);

  // An empty table has no entry, not even for key 0 (the empty board).
  TE.tt.clear();
  EXPECT_EQ(probe(0, 0, -1000, 1000, untouched), HASH_MISS);
  EXPECT_EQ(probe(key, 5, -1000, 1000, untouched), HASH_MISS);
}

// Wins and losses are stored relative to the storing depth and come back
// relative to the probing depth: 10,000,005 stored at depth 3 is kept as
// 10,000,002 and read as 10,000,003 at depth 1 and 10,000,009 at depth 7 (a
// mate entry is good at any depth). Values inside the band are untouched.
TEST_F(HashTableTest, MateValuesFollowTheDepth) {
  int moves[3] = {-1, -1, -1};
  const uint64_t win = keyInBucket(0), loss = keyInBucket(1), band = keyInBucket(2), edge = keyInBucket(3);
  store(win, 3, 10000005, BOUND_EXACT, 40);
  store(loss, 3, -10000005, BOUND_EXACT, 41);
  store(band, 5, 9999031, BOUND_EXACT, 42);
  store(edge, 5, -9999031, BOUND_EXACT, 43);
  EXPECT_EQ(entryOf(win, 1).upper, 10000002);
  EXPECT_EQ(entryOf(loss, 1).lower, -10000002);
  EXPECT_EQ(probe(win, 1, -100, 100, moves), 10000003);
  EXPECT_EQ(probe(win, 7, -100, 100, moves), 10000009);
  EXPECT_EQ(moves[0], 40);
  EXPECT_EQ(probe(loss, 1, -100, 100, moves), -10000003);
  EXPECT_EQ(probe(loss, 9, -100, 100, moves), -10000011);
  EXPECT_EQ(probe(band, 2, -100, 100, moves), 9999031);
  EXPECT_EQ(probe(edge, 2, -100, 100, moves), -9999031);
  EXPECT_EQ(entryOf(band, 1).upper, 9999031);

  // A win stored at a negative depth (an extended line) still round-trips.
  const uint64_t deepWin = keyElsewhere(0);
  store(deepWin, -2, 9999998, BOUND_EXACT);
  EXPECT_EQ(entryOf(deepWin, 1).upper, 10000000);
  EXPECT_EQ(probe(deepWin, 4, -100, 100, moves), 10000004);
}

// A fail-low entry whose upper bound is a mate bound answers a probe at any
// depth; one with an ordinary bound answers only probes no deeper than itself.
TEST_F(HashTableTest, MateFailLowIsUsedAtAnyDepth) {
  const uint64_t mate = keyInBucket(0), plain = keyInBucket(1);
  store(mate, 2, -9999500, BOUND_UPPER, 77);
  store(plain, 2, -500, BOUND_UPPER, 78);
  EXPECT_EQ(entryOf(mate, 1).upper, -9999498);

  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(probe(mate, 10, -9999400, -9999399, moves), -9999508);
  EXPECT_EQ(moves[0], 77);

  int untouched[3] = {-7, -7, -7};
  EXPECT_EQ(probe(plain, 10, -400, -399, untouched), HASH_MISS);
  EXPECT_EQ(untouched[0], -7);
  EXPECT_EQ(probe(plain, 2, -400, -399, moves), -500);
  EXPECT_EQ(probe(plain, 1, -400, -399, moves), -500);
  // The bound does not cut a window it does not reach.
  EXPECT_EQ(probe(plain, 2, -600, -599, moves), HASH_MISS);
  EXPECT_EQ(moves[0], 78);

  // The same for a fail-high mate bound.
  const uint64_t high = keyInBucket(2);
  store(high, 1, 9999600, BOUND_LOWER, 79);
  EXPECT_EQ(probe(high, 6, 9999000, 9999001, moves), 9999605);
}

// Probing at depth 1 for hash moves: an entry searched to at least one ply
// hands over its moves even when its bound does not cut; an entry of
// effective depth 0 or below is shallow and gives nothing unless it is a mate
// entry, which returns its value.
TEST_F(HashTableTest, DepthOneProbeForMoves) {
  const uint64_t shallow = keyInBucket(0), negative = keyInBucket(1), one = keyInBucket(2), deep = keyInBucket(3);
  store(shallow, 0, 50, BOUND_EXACT, 11, 12, 13);
  store(negative, -2, 50, BOUND_LOWER, 14, 15, 16);
  store(one, 1, 10, BOUND_UPPER, 21, 22, 23);
  store(deep, 6, 10, BOUND_LOWER, 31, 32, 33);

  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(probe(shallow, 1, 0, 100, moves), HASH_MISS);
  EXPECT_EQ(probe(shallow, 1, 60, 100, moves), HASH_MISS);    // reaches alpha, but shallow
  EXPECT_EQ(probe(negative, 1, -100, 20, moves), HASH_MISS);  // reaches beta, but shallow
  EXPECT_EQ(moves[0], -1);
  EXPECT_EQ(moves[1], -1);

  EXPECT_EQ(probe(one, 1, 0, 100, moves), HASH_MISS);
  EXPECT_EQ(moves[0], 21);
  EXPECT_EQ(moves[1], 22);
  EXPECT_EQ(moves[2], 23);
  EXPECT_EQ(probe(deep, 1, -100, 100, moves), HASH_MISS);
  EXPECT_EQ(moves[0], 31);
  EXPECT_EQ(probe(deep, 1, 0, 5, moves), 10);  // the lower bound cuts

  const uint64_t shallowWin = keyElsewhere(0);
  store(shallowWin, -1, 10000000, BOUND_EXACT, 41);
  EXPECT_EQ(probe(shallowWin, 1, -100, 100, moves), 10000002);
  EXPECT_EQ(moves[0], 41);
}

// A shallow entry with both bounds hands over its moves only when both bounds
// are mate bounds (then nothing deeper can change them); with one ordinary
// bound it gives nothing.
TEST_F(HashTableTest, ShallowEntryNeedsTwoMateBoundsForItsMoves) {
  const uint64_t mixed = keyInBucket(0), mates = keyInBucket(1);
  store(mixed, 2, 9999500, BOUND_UPPER, 51);
  store(mixed, 2, 100, BOUND_LOWER, 52);
  ASSERT_EQ(entryOf(mixed, 1).bound, BOUND_EXACT);
  store(mates, 2, 9999900, BOUND_UPPER, 61);
  store(mates, 2, 9999500, BOUND_LOWER, 62);
  ASSERT_EQ(entryOf(mates, 1).bound, BOUND_EXACT);

  int moves[3] = {-7, -7, -7};
  EXPECT_EQ(probe(mixed, 5, 200, 300, moves), HASH_MISS);
  EXPECT_EQ(moves[0], -7);
  // Stored 9,999,898 and 9,999,498, read at depth 5 as 9,999,903 and 9,999,503.
  EXPECT_EQ(probe(mates, 5, 9999600, 9999700, moves), HASH_MISS);
  EXPECT_EQ(moves[0], 62);
  EXPECT_EQ(probe(mates, 5, 9999903, 9999904, moves), 9999903);
  EXPECT_EQ(probe(mates, 5, 9999400, 9999401, moves), 9999503);
}

// ---------------------------------------------------------------------------
// Bound merging at equal depth.

// A lower bound over an upper bound of the same depth keeps both; with
// different values the entry is not exact, so a window between them gets no
// value (only the moves), while either bound still cuts beyond itself.
TEST_F(HashTableTest, LowerOverEqualDepthUpperKeepsBothBounds) {
  const uint64_t key = keyInBucket(0);
  store(key, 4, 40, BOUND_UPPER, 5);
  store(key, 4, 10, BOUND_LOWER, 6);
  HashEntry& e = entryOf(key, 1);
  EXPECT_EQ(e.bound, BOUND_EXACT);
  EXPECT_EQ(e.upper, 40);
  EXPECT_EQ(e.lower, 10);
  EXPECT_EQ(e.lock, expectedLock(key, e));
  EXPECT_EQ(slotOf(key, 1), 0);
  EXPECT_EQ(bucketOf(key, 1).entry[1].bound, 0);  // merged, not duplicated

  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(probe(key, 4, 20, 30, moves), HASH_MISS);
  EXPECT_EQ(moves[0], 6);
  EXPECT_EQ(probe(key, 4, 45, 46, moves), 40);
  EXPECT_EQ(probe(key, 4, 4, 5, moves), 10);
  EXPECT_EQ(probe(key, 4, -1000, 1000, moves), HASH_MISS);

  // Equal bounds from both sides make the entry exact.
  const uint64_t other = keyInBucket(1);
  store(other, 4, 25, BOUND_UPPER);
  store(other, 4, 25, BOUND_LOWER);
  EXPECT_EQ(probe(other, 4, -1000, 1000, moves), 25);
}

// At equal depth an upper bound only ever tightens (the smaller is kept), a
// lower bound likewise (the larger), an exact entry ignores bounds, and an
// exact store overwrites.
TEST_F(HashTableTest, EqualDepthBoundsTighten) {
  const uint64_t up = keyInBucket(0), low = keyInBucket(1), exact = keyInBucket(2);
  store(up, 3, 40, BOUND_UPPER);
  store(up, 3, 30, BOUND_UPPER);
  EXPECT_EQ(entryOf(up, 1).upper, 30);
  store(up, 3, 50, BOUND_UPPER);
  EXPECT_EQ(entryOf(up, 1).upper, 30);
  EXPECT_EQ(entryOf(up, 1).bound, BOUND_UPPER);

  store(low, 3, 10, BOUND_LOWER);
  store(low, 3, 20, BOUND_LOWER);
  EXPECT_EQ(entryOf(low, 1).lower, 20);
  store(low, 3, 5, BOUND_LOWER);
  EXPECT_EQ(entryOf(low, 1).lower, 20);
  EXPECT_EQ(entryOf(low, 1).bound, BOUND_LOWER);

  store(exact, 3, 7, BOUND_EXACT);
  store(exact, 3, 3, BOUND_UPPER);
  store(exact, 3, 12, BOUND_LOWER);
  EXPECT_EQ(entryOf(exact, 1).upper, 7);
  EXPECT_EQ(entryOf(exact, 1).lower, 7);
  EXPECT_EQ(entryOf(exact, 1).bound, BOUND_EXACT);
  store(exact, 3, 9, BOUND_EXACT);
  EXPECT_EQ(entryOf(exact, 1).upper, 9);
  EXPECT_EQ(entryOf(exact, 1).lower, 9);
  for (uint64_t k : {up, low, exact}) EXPECT_EQ(entryOf(k, 1).lock, expectedLock(k, entryOf(k, 1)));
}

// ---------------------------------------------------------------------------
// Depth: store keeps the deeper result, replace overwrites.

TEST_F(HashTableTest, DeeperEntrySurvivesStoreButNotReplace) {
  const uint64_t key = keyInBucket(0);
  store(key, 6, 77, BOUND_EXACT, 1, 2, 3);
  TW.pos.recordCount = 21;
  store(key, 3, -5, BOUND_LOWER, 9);
  {
    const HashEntry& e = entryOf(key, 1);
    EXPECT_EQ(e.upper, 77);
    EXPECT_EQ(e.lower, 77);
    EXPECT_EQ(e.depth, 6);
    EXPECT_EQ(e.bound, BOUND_EXACT);
    EXPECT_EQ(e.move1, 1);
    EXPECT_EQ(e.move2, 2);
    EXPECT_EQ(e.move3, 3);
    EXPECT_EQ(e.age, 21);  // touched all the same
  }
  TE.tt.store(key, TW.pos.recordCount, 3, -5, BOUND_LOWER, 1, 9, -1, -1, true);
  {
    const HashEntry& e = entryOf(key, 1);
    EXPECT_EQ(slotOf(key, 1), 0);
    EXPECT_EQ(e.upper, -5);
    EXPECT_EQ(e.lower, -5);
    EXPECT_EQ(e.depth, 3);
    EXPECT_EQ(e.bound, BOUND_LOWER);
    EXPECT_EQ(e.move1, 9);
    EXPECT_EQ(e.move2, -1);
    EXPECT_EQ(e.move3, -1);
    EXPECT_EQ(e.moveCount, 1);
  }
  EXPECT_EQ(bucketOf(key, 1).entry[1].bound, 0);

  // A shallower old entry is replaced by storeHash; its moves are merged.
  const uint64_t older = keyInBucket(1);
  store(older, 2, 77, BOUND_EXACT, 1, 2, 3);
  store(older, 5, 30, BOUND_LOWER, 9);
  const HashEntry& e = entryOf(older, 1);
  EXPECT_EQ(e.upper, 30);
  EXPECT_EQ(e.lower, 30);
  EXPECT_EQ(e.depth, 5);
  EXPECT_EQ(e.bound, BOUND_LOWER);
  EXPECT_EQ(e.move1, 9);
  EXPECT_EQ(e.move2, 1);
  EXPECT_EQ(e.move3, 2);
}

// storeHash and replaceHash work on the board's key.
TEST_F(HashTableTest, BoardKeyStoresFollowTheSameRules) {
  const uint64_t saved = TW.pos.board.hashKey;
  TW.pos.board.hashKey = keyInBucket(5);
  TW.storeHash(6, 100, BOUND_EXACT, 2, 3, 4, 5);
  TW.storeHash(2, 200, BOUND_EXACT, 2, 6, -1, -1);
  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(TW.probeHash(6, -1000, 1000, 2, TW.pos.board.hashKey, moves, 3), 100);
  EXPECT_EQ(moves[0], 3);
  TW.replaceHash(2, 200, BOUND_EXACT, 2, 6, -1, -1);
  EXPECT_EQ(TW.probeHash(2, -1000, 1000, 2, TW.pos.board.hashKey, moves, 3), 200);
  EXPECT_EQ(moves[0], 6);
  EXPECT_EQ(moves[1], -1);
  EXPECT_EQ(TW.probeHash(6, -1000, 1000, 2, TW.pos.board.hashKey, moves, 3), HASH_MISS);
  EXPECT_EQ(TW.probeHash(2, -1000, 1000, 1, TW.pos.board.hashKey, moves, 3), HASH_MISS);
  TW.pos.board.hashKey = saved;
}

// ---------------------------------------------------------------------------
// Move merging (same key, same depth).

struct MergeCase {
  int old[3];
  int incoming[3];
  int expected[3];
};

TEST_F(HashTableTest, MovesMergeIntoTheEntry) {
  const std::vector<MergeCase> cases = {
      // A full list replaces the old one.
      {{1, 2, 3}, {4, 5, 6}, {4, 5, 6}},
      // Two moves: the third is the first old move that repeats neither.
      {{1, 2, 3}, {4, 5, -1}, {4, 5, 1}},
      {{1, 2, 3}, {1, 5, -1}, {1, 5, 2}},
      {{1, 2, 3}, {3, 1, -1}, {3, 1, 2}},
      {{1, 2, 3}, {2, 3, -1}, {2, 3, 1}},
      {{1, 2, 3}, {2, 1, -1}, {2, 1, 3}},
      {{1, 2, -1}, {2, 1, -1}, {2, 1, -1}},
      {{1, 2, 2}, {2, 1, -1}, {2, 1, -1}},
      // One new move goes in front.
      {{1, 2, 3}, {5, -1, -1}, {5, 1, 2}},
      {{1, 2, 3}, {2, -1, -1}, {2, 1, 3}},
      {{1, -1, -1}, {5, -1, -1}, {5, 1, -1}},
      {{-1, -1, -1}, {5, -1, -1}, {5, -1, -1}},
      // Nothing new: the moves stay.
      {{1, 2, 3}, {1, -1, -1}, {1, 2, 3}},
      {{1, 2, 3}, {-1, -1, -1}, {1, 2, 3}},
      {{1, -1, -1}, {-1, -1, -1}, {1, -1, -1}},
  };
  int n = 0;
  for (const MergeCase& c : cases) {
    const uint64_t key = keyElsewhere(n++);  // a bucket per case
    store(key, 3, 0, BOUND_EXACT, c.old[0], c.old[1], c.old[2]);
    store(key, 3, 0, BOUND_EXACT, c.incoming[0], c.incoming[1], c.incoming[2]);
    const HashEntry& e = entryOf(key, 1);
    const int count = (c.expected[0] != -1) + (c.expected[1] != -1) + (c.expected[2] != -1);
    EXPECT_EQ(e.move1, c.expected[0]) << "case " << n - 1;
    EXPECT_EQ(e.move2, c.expected[1]) << "case " << n - 1;
    EXPECT_EQ(e.move3, c.expected[2]) << "case " << n - 1;
    EXPECT_EQ(e.moveCount, count) << "case " << n - 1;
  }
}

// ---------------------------------------------------------------------------
// Which entry a new position displaces.

struct Filler {
  int age, depth, bound;
};

// Fills a fresh bucket's four entries in order with keys 0 ... 3, then stores
// key 4 at TW.pos.recordCount `now` and returns the entry it took.
int victimFor(const std::vector<Filler>& fill, int now) {
  static int bucketNumber = 0;
  const uint64_t salt = static_cast<uint64_t>(++bucketNumber) << 8;
  auto key = [salt](int i) { return keyInBucket(i) ^ salt; };
  for (int i = 0; i < 4; i++) {
    TW.pos.recordCount = fill[i].age;
    store(key(i), fill[i].depth, 0, fill[i].bound, 100 + i);
    EXPECT_EQ(slotOf(key(i), 1), i);
  }
  TW.pos.recordCount = now;
  store(key(4), 1, 0, BOUND_UPPER);
  const int slot = slotOf(key(4), 1);
  // Exactly the displaced key is gone; the other three are still found.
  for (int i = 0; i < 4; i++) EXPECT_EQ(slotOf(key(i), 1) < 0, i == slot) << "key " << i;
  return slot;
}

TEST_F(HashTableTest, ReplacementPrefersOldShallowUnexactEntries) {
  // All current: the shallowest one that beats the running choice, scanning
  // in order (depth 3 beats 5, 4 does not beat 3, 2 beats 3).
  EXPECT_EQ(victimFor({{20, 5, 1}, {20, 3, 1}, {20, 4, 1}, {20, 2, 1}}, 20), 3);
  EXPECT_EQ(victimFor({{20, 2, 1}, {20, 3, 1}, {20, 4, 1}, {20, 5, 1}}, 20), 0);
  // A not-current entry (age one move back) beats a current one even when
  // deeper; a current entry never displaces a not-current choice.
  EXPECT_EQ(victimFor({{20, 1, 1}, {19, 9, 1}, {20, 0, 1}, {19, 3, 1}}, 20), 3);
  EXPECT_EQ(victimFor({{20, 1, 1}, {19, 9, 1}, {20, 0, 1}, {19, 9, 1}}, 20), 1);
  // Exact entries are protected: the shallow exact entry 1 is passed over...
  EXPECT_EQ(victimFor({{19, 5, 1}, {19, 2, 3}, {19, 8, 1}, {19, 6, 1}}, 20), 0);
  EXPECT_EQ(victimFor({{19, 5, 1}, {19, 2, 3}, {19, 8, 1}, {19, 4, 1}}, 20), 3);
  // ...where the same entry as an upper bound is taken.
  EXPECT_EQ(victimFor({{19, 5, 1}, {19, 2, 1}, {19, 8, 1}, {19, 6, 1}}, 20), 1);
}

TEST_F(HashTableTest, StaleEntriesGoFirst) {
  // Two moves or more away, in either direction, is stale; the last stale
  // entry wins, whatever the replacement choice says.
  EXPECT_EQ(victimFor({{20, 5, 1}, {17, 9, 3}, {20, 5, 1}, {24, 9, 3}}, 20), 3);
  EXPECT_EQ(victimFor({{20, 5, 1}, {20, 1, 1}, {18, 9, 3}, {20, 0, 1}}, 20), 2);
  EXPECT_EQ(victimFor({{22, 9, 3}, {20, 1, 1}, {20, 0, 1}, {20, 0, 1}}, 20), 0);
  // One move back is not stale.
  EXPECT_EQ(victimFor({{20, 5, 1}, {19, 9, 3}, {20, 1, 1}, {21, 9, 3}}, 20), 2);
}

// An empty entry is taken before a stale one that comes earlier in the
// bucket, and a key already in the bucket is updated in place even when a
// stale entry comes before it.
TEST_F(HashTableTest, EmptyAndOwnEntriesComeBeforeStaleOnes) {
  for (int i = 0; i < 4; i++) {
    TW.pos.recordCount = i == 0 ? 5 : 20;
    store(keyInBucket(i), 4, i, BOUND_EXACT);
  }
  std::memset(static_cast<void*>(&bucketOf(keyInBucket(0), 1).entry[1]), 0, sizeof(HashEntry));
  TW.pos.recordCount = 20;
  store(keyInBucket(4), 1, 0, BOUND_UPPER);
  EXPECT_EQ(slotOf(keyInBucket(4), 1), 1);
  EXPECT_EQ(slotOf(keyInBucket(0), 1), 0);

  store(keyInBucket(3), 4, 33, BOUND_EXACT);
  EXPECT_EQ(slotOf(keyInBucket(3), 1), 3);
  EXPECT_EQ(slotOf(keyInBucket(0), 1), 0);
  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(probe(keyInBucket(3), 4, -100, 100, moves), 33);
}

// A probe hit refreshes the entry's age, which then protects it.
TEST_F(HashTableTest, ProbeHitRefreshesTheAge) {
  for (int i = 0; i < 4; i++) {
    TW.pos.recordCount = 19;
    store(keyInBucket(i), 5, i, BOUND_UPPER);
  }
  TW.pos.recordCount = 20;
  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(probe(keyInBucket(0), 5, 100, 101, moves), 0);
  EXPECT_EQ(bucketOf(keyInBucket(0), 1).entry[0].age, 20);
  store(keyInBucket(4), 1, 0, BOUND_UPPER);
  EXPECT_EQ(slotOf(keyInBucket(4), 1), 1);
  EXPECT_EQ(slotOf(keyInBucket(0), 1), 0);
}

// The tables are cleared when the rule changes, and only then.
TEST_F(HashTableTest, RuleChangeClearsTheTables) {
  TE.tt.prepare(RULE_STANDARD);
  store(keyInBucket(0), 3, 9, BOUND_EXACT);
  TE.tt.prepare(RULE_STANDARD);
  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(probe(keyInBucket(0), 3, -100, 100, moves), 9);
  TE.tt.prepare(RULE_RENJU);
  EXPECT_EQ(probe(keyInBucket(0), 3, -100, 100, moves), HASH_MISS);
}

// ---------------------------------------------------------------------------
// Huge pages. Promotion must keep every byte a table holds, the chunk's first
// word included (the one it writes to fault the chunk in), and a table cleared
// afterwards starts over as fresh, unpromoted memory.

TEST(TableMemoryTest, PromotionKeepsTheContentsAndStopsAtTheLastWholeChunk) {
  constexpr size_t kChunk = size_t{2} << 20;
  const size_t bytes = 2 * kChunk + 12345;   // two whole chunks and a part
  TableMemory m;
  ASSERT_TRUE(m.allocate(bytes));
  uint8_t* data = static_cast<uint8_t*>(m.aligned);
  for (size_t i = 0; i < bytes; i += 4093) data[i] = static_cast<uint8_t>(i * 7 + 1);
  data[0] = 0x5A;
  data[kChunk] = 0xA5;
  int steps = 0;
  while (m.promote()) steps++;
#if defined(__linux__)
  EXPECT_EQ(steps, 2);
#else
  EXPECT_EQ(steps, 0);
#endif
  EXPECT_FALSE(m.promote());
  EXPECT_EQ(data[0], 0x5A);
  EXPECT_EQ(data[kChunk], 0xA5);
  for (size_t i = 4093; i < bytes; i += 4093) ASSERT_EQ(data[i], static_cast<uint8_t>(i * 7 + 1)) << i;
  for (size_t i = 1; i < bytes; i += 4093 * 3 + 2) {
    if (i % 4093 == 0 || i == kChunk) continue;
    ASSERT_EQ(data[i], 0) << i;
  }
  // A fresh block (as a clear makes) is zero and promotes from its start again.
  ASSERT_TRUE(m.allocate(bytes));
  data = static_cast<uint8_t*>(m.aligned);
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(data[kChunk], 0);
  int again = 0;
  while (m.promote()) again++;
  EXPECT_EQ(again, steps);
  m.release();
}

TEST_F(HashTableTest, EntriesSurvivePromotionOfTheWholeTable) {
  // One entry at the first bucket of every 2 MiB chunk of both tables, where
  // promotion writes, and one elsewhere in it.
  constexpr uint32_t kBucketsPerChunk = (uint32_t{2} << 20) / sizeof(HashBucket);
  std::vector<uint64_t> keys;
  for (uint32_t b = 0; b < HASH_BUCKETS; b += kBucketsPerChunk) {
    keys.push_back((uint64_t{0x9E3779B9} << 32) | b);
    keys.push_back((uint64_t{0x7F4A7C15} << 32) | (b + 77));
  }
  for (size_t i = 0; i < keys.size(); i++)
    for (int colour = 1; colour <= 2; colour++)
      store(keys[i], 5, static_cast<int>(i) * 3 + colour, BOUND_EXACT, static_cast<int>(i % 200), -1, -1, colour);
  while (TE.tt.promote()) {
  }
  for (size_t i = 0; i < keys.size(); i++)
    for (int colour = 1; colour <= 2; colour++) {
      int moves[3] = {-1, -1, -1};
      EXPECT_EQ(probe(keys[i], 5, -1000, 1000, moves, colour), static_cast<int>(i) * 3 + colour) << i;
      EXPECT_EQ(moves[0], static_cast<int>(i % 200));
    }
  TE.tt.clear();
  int moves[3] = {-1, -1, -1};
  EXPECT_EQ(probe(keys[0], 5, -1000, 1000, moves), HASH_MISS);
}

}  // namespace
