// Transposition tables, one per side to move, of 524,288 buckets of four
// 32-byte entries (128 MiB in all by default), shared by every search thread.
//
// No locks. Entries are read and written one 64-bit word at a time with
// relaxed atomic accesses, and the lock word is the key XOR the value words:
// an entry torn by two threads writing at once fails its key check and reads
// as a miss. The three moves are outside the check; a torn move is at worst
// a wrong suggestion, and every reader takes a move only if its cell is on the
// board and empty.
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

#include <cstddef>
#include <cstdint>
#include <cstring>

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

// Zero-filled memory for a big table, aligned to 64 bytes. Its pages are
// mapped fresh and cost no resident memory until the search first writes
// them: a table sized for the default costs only what a game uses of it.
// Under Linux a block of 2 MiB or more is a mapping of its own that promote()
// turns into huge pages one 2 MiB chunk a call (see hash_table.cpp); it is
// called only while no search runs, and makes the chunk resident.
struct TableMemory {
  void* raw = nullptr;
  void* aligned = nullptr;
  size_t mappedBytes = 0;     // length of an own mapping; 0 when raw came from calloc
  size_t usableBytes = 0;     // the table's bytes from `aligned`, for a mapping
  size_t promotedBytes = 0;   // bytes from `aligned` already promoted
  bool allocate(size_t bytes);   // false (and nothing held) when out of memory
  void release();
  // Promotes the next chunk; false when there is none left (or no mapping).
  bool promote();
};

// N tables of equal power-of-two size, allocated together: the storage and
// sizing shared by the transposition table and the four-solver cache.
// prepare() allocates the tables at `buckets` buckets when they are not of
// that size yet (all or none; false and nothing changed when the memory could
// not be had) and clears them when the rule changed since their last
// clearing. A fresh table costs no resident memory until it is written;
// clearing writes it whole.
template <typename Bucket, int N>
struct BucketTables {
  Bucket* tables[N] = {};
  TableMemory memory[N];
  uint32_t bucketCount = HASH_BUCKETS;   // a power of two
  int32_t clearedRule = -1;

  BucketTables() = default;
  BucketTables(const BucketTables&) = delete;
  BucketTables& operator=(const BucketTables&) = delete;
  ~BucketTables() { release(); }

  bool prepare(int rule, uint32_t buckets = HASH_BUCKETS) {
    if (!tables[0] || buckets != bucketCount) {
      TableMemory fresh[N];
      bool ok = true;
      for (TableMemory& m : fresh) ok = ok && m.allocate(sizeof(Bucket) * buckets);
      if (!ok) {
        for (TableMemory& m : fresh) m.release();
        return false;
      }
      for (int i = 0; i < N; i++) {
        memory[i].release();
        memory[i] = fresh[i];
        tables[i] = static_cast<Bucket*>(memory[i].aligned);
      }
      bucketCount = buckets;
      clearedRule = rule;
      return true;
    }
    if (rule != clearedRule) {
      clear();
      clearedRule = rule;
    }
    return true;
  }
  // Each table is replaced by fresh zero pages rather than written over:
  // the clear after a change of rule comes at the start of a timed think, and
  // a memset of tables that size (most of them never touched yet) would be
  // charged to that move. Without memory for the swap, the memset it is.
  void clear() {
    for (int i = 0; i < N; i++) {
      if (!tables[i]) continue;
      if (memory[i].allocate(sizeof(Bucket) * bucketCount)) tables[i] = static_cast<Bucket*>(memory[i].aligned);
      else std::memset(static_cast<void*>(tables[i]), 0, sizeof(Bucket) * bucketCount);
    }
  }
  // Promotes one more chunk of the tables to huge pages; false when all are.
  bool promote() {
    for (int i = 0; i < N; i++)
      if (memory[i].promote()) return true;
    return false;
  }
  void release() {
    for (int i = 0; i < N; i++) {
      memory[i].release();
      tables[i] = nullptr;
    }
  }
};

struct TranspositionTable : BucketTables<HashBucket, 2> {
  // `age` is the game's move count, which ages entries out of the table.
  int probe(int depth, int alpha, int beta, int colour, uint64_t key, int age, int* moves, int wanted);
  void store(uint64_t key, int age, int depth, int value, int bound, int colour, int m1, int m2, int m3,
             bool overwrite);
  // The moves stored for the key (up to three, -1 for none); false on a miss.
  bool peekMoves(uint64_t key, int colour, int* moves);
  // The bucket of the key in the side to move's table.
  HashBucket& bucketOf(uint64_t key, int colour) const {
    return tables[colour - 1][static_cast<uint32_t>(key) & (bucketCount - 1)];
  }
  // Asks the processor to start loading the key's bucket (both of its cache
  // lines): a node about to be entered will probe it, and the load overlaps
  // with the make of the move instead of stalling the probe.
  void prefetch(uint64_t key, int colour) const {
    const char* bucket = reinterpret_cast<const char*>(&bucketOf(key, colour));
    __builtin_prefetch(bucket);
    __builtin_prefetch(bucket + 64);
  }
};
