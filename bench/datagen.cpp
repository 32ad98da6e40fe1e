// ruvan-datagen: self-play games at a small fixed node count, written as
// position records (bench/data_format.h) for the fitter.
//
// Usage: ruvan-datagen --out FILE --rule R --games N [--seed S] [--nodes K] [--white-nodes K]
//                      [--first G]
//
// --white-nodes gives White's searches a budget of their own (Black keeps
// --nodes): games between a weaker and a stronger side, whose results value a
// position as the weaker side meets a better defence or attack than its own.
// Each record keeps the budget of its own search.
//
// Plays games G ... G + N - 1 of seed S under rule R (0 free style, 1 standard,
// 2 Renju), every search limited to K nodes (default 4000), and appends their
// positions to FILE. Game g is a function of (S, g, R, K) alone: its opening
// and board size are drawn from a generator seeded by S and g, and every table
// of the engine is cleared before it, so the same command writes the same bytes
// whether it runs once or is stopped and started again.
//
// Resuming. An existing FILE must hold records of the same seed, rule and node
// budget. Its last game is dropped (a stop during the write may have cut it)
// and play resumes at that game, or at G when that is later: running the same
// command again after a stop finishes the job, and a larger N extends it.
//
// Games. An opening of 2 to 6 random stones (Black first, alternating) in the
// 7 x 7 square around the centre (moved up to two cells on 20 x 20), then the
// engine plays both sides through its own search, exactly as the bench drives
// it. One game in five is on 20 x 20, the rest on 15 x 15. A game ends with a
// five (exactly five under standard, and for Black under Renju), a forbidden
// move under Renju (Black loses), a full board, or a Renju board where no
// five can be made any more (a draw). When the search finds no move the game
// goes on with the engine's own fallback, as its reply to a manager would.
//
// One core: the program runs one search thread. Two files of different rules
// (or seeds) can be generated at once by two processes.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "board/board.h"
#include "control/engine.h"
#include "data_format.h"

namespace {

// Fixed, so that the hash keys, and with them every search, are the same in
// every run.
constexpr uint32_t DATAGEN_ZOBRIST_SEED = 0x64617461;   // "data"
constexpr int64_t DATAGEN_MEMORY = int64_t{160} << 20;  // small tables: cleared before every game
constexpr int DEFAULT_NODES = 4000;
constexpr int OPENING_MIN = 2;
constexpr int OPENING_MAX = 6;
constexpr int OPENING_RADIUS = 3;
constexpr int PROGRESS_SECONDS = 15;

struct Options {
  const char* out = nullptr;
  int rule = -1;
  uint32_t seed = 1;
  int64_t first = 0;
  int64_t games = -1;
  int nodes = DEFAULT_NODES;
  int whiteNodes = 0;   // White's budget when it differs from Black's (0: the same)
  int budget(int colour) const { return colour == WHITE && whiteNodes > 0 ? whiteNodes : nodes; }
};

// splitmix64: a tiny generator with good mixing, so that the stream of game g
// is unrelated to that of game g + 1.
struct GameRandom {
  uint64_t state;
  GameRandom(uint32_t seed, uint64_t game) : state(uint64_t{seed} << 32 ^ game * 0x9E3779B97F4A7C15ull) { next(); }
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
};

enum Outcome { GameGoesOn, MoverWins, MoverLoses, GameDrawn };

// Length of the run of `colour` through (x, y) along (dx, dy), the cell itself
// included: counted on the board's cells, independently of the pattern tables.
int runLength(const Position& pos, int x, int y, int dx, int dy, int colour) {
  int n = 1;
  for (int s = -1; s <= 1; s += 2)
    for (int t = 1;; t++) {
      const int cx = x + s * t * dx, cy = y + s * t * dy;
      if (cx < 0 || cy < 0 || cx >= pos.xExtent || cy >= pos.yExtent) break;
      if (pos.board.cells[cellIndex(cx, cy)] != colour) break;
      n++;
    }
  return n;
}

// Plays the move on the engine's game and judges it by the rule.
Outcome playAndJudge(Engine& engine, int x, int y, int colour, int rule) {
  Position& game = engine.game;
  if (rule == RULE_RENJU && colour == BLACK && game.isForbidden(cellIndex(x, y))) return MoverLoses;
  if (game.playOwnMove(x, y, rule) != BoardDone) return MoverLoses;
  static const int dirs[4][2] = {{0, 1}, {1, 0}, {1, 1}, {1, -1}};
  bool five = false, longer = false;
  for (const auto& d : dirs) {
    const int n = runLength(game, x, y, d[0], d[1], colour);
    five |= n == 5;
    longer |= n > 5;
  }
  const bool overlineWins = rule == RULE_FREESTYLE || (rule == RULE_RENJU && colour == WHITE);
  if (five || (longer && overlineWins)) return MoverWins;
  if (game.boardFull()) return GameDrawn;
  if (rule == RULE_RENJU && !engine.renjuWindowOpen()) return GameDrawn;
  return GameGoesOn;
}

void describe(const Position& game, DataRecord& r) {
  std::memset(r.cells, 0, sizeof r.cells);
  for (int x = 0; x < game.xExtent; x++)
    for (int y = 0; y < game.yExtent; y++) r.setCell(x, y, game.board.cells[cellIndex(x, y)]);
}

// Plays game g and fills `records` with its positions; returns their count,
// and the winner's colour (0 for a draw) in `winner`.
int playGame(Engine& engine, const Options& o, uint32_t g, DataRecord* records, int& winner) {
  GameRandom random(o.seed, g);
  const bool big = random.below(5) == 0;
  const int side = big ? 20 : 15;
  Position& game = engine.game;
  game.startGame(side, side, o.rule);
  game.rebuild(o.rule);
  engine.tt.prepare(o.rule, engine.tt.bucketCount);
  engine.fourCache.prepare(o.rule, engine.fourCache.bucketCount);
  engine.tt.clear();
  engine.fourCache.clear();
  engine.threatCache.clear();

  // The opening: too few stones of one colour for a five, a four-three or a
  // forbidden point, so any placement is a legal, undecided position.
  const int openingPly = OPENING_MIN + random.below(OPENING_MAX - OPENING_MIN + 1);
  const int cx = side / 2 + (big ? random.below(5) - 2 : 0);
  const int cy = side / 2 + (big ? random.below(5) - 2 : 0);
  while (game.recordCount < openingPly) {
    const int x = cx - OPENING_RADIUS + random.below(2 * OPENING_RADIUS + 1);
    const int y = cy - OPENING_RADIUS + random.below(2 * OPENING_RADIUS + 1);
    if (!game.cellOccupied(x, y)) game.playOwnMove(x, y, o.rule);
  }

  int count = 0;
  winner = 0;
  for (;;) {
    const int colour = game.recordCount % 2 == 0 ? BLACK : WHITE;
    engine.limits.max_node = o.budget(colour);
    engine.limits.max_depth = 0;
    engine.limits.timeout_turn = 1000000;
    engine.limits.time_left = INT32_MAX;
    engine.stopRequested = 0;
    game.finalValue = 0;
    const int value = engine.searchGame(colour, false);
    int x = engine.mainWorker().search.bestX, y = engine.mainWorker().search.bestY;
    // No move from the search (every move loses, the only block forbidden):
    // the engine's reply would be its first free cell, so the game goes on
    // with that; none at all is a full board, a draw.
    if (x < 0) engine.anyMove(colour, x, y);
    if (x < 0) break;
    DataRecord& r = records[count++];
    std::memset(&r, 0, sizeof r);
    r.gameIndex = g;
    r.seed = o.seed;
    r.nodeBudget = static_cast<uint32_t>(o.budget(colour));
    r.ply = static_cast<uint16_t>(game.recordCount);
    r.value = clampValue(value);
    r.rule = static_cast<uint8_t>(o.rule);
    r.width = r.height = static_cast<uint8_t>(side);
    r.flags = colour == WHITE ? FLAG_SIDE_WHITE : 0;
    r.moveX = static_cast<uint8_t>(x);
    r.moveY = static_cast<uint8_t>(y);
    r.openingPly = static_cast<uint8_t>(openingPly);
    describe(game, r);
    const Outcome outcome = playAndJudge(engine, x, y, colour, o.rule);
    if (outcome == GameGoesOn) continue;
    if (outcome == MoverWins) winner = colour;
    if (outcome == MoverLoses) winner = colour ^ 3;
    break;
  }
  for (int i = 0; i < count; i++)
    records[i].setResult(winner == 0 ? RESULT_DRAW : records[i].sideToMove() == winner ? RESULT_WIN : RESULT_LOSS);
  return count;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: ruvan-datagen --out FILE --rule 0|1|2 --games N [--seed S] [--nodes K] [--white-nodes K]"
               " [--first G]\n");
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    if (i + 1 >= argc) usage();
    const char* key = argv[i];
    const char* value = argv[++i];
    if (!std::strcmp(key, "--out")) o.out = value;
    else if (!std::strcmp(key, "--rule")) o.rule = std::atoi(value);
    else if (!std::strcmp(key, "--games")) o.games = std::atoll(value);
    else if (!std::strcmp(key, "--seed")) o.seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    else if (!std::strcmp(key, "--nodes")) o.nodes = std::atoi(value);
    else if (!std::strcmp(key, "--white-nodes")) o.whiteNodes = std::atoi(value);
    else if (!std::strcmp(key, "--first")) o.first = std::atoll(value);
    else usage();
  }
  if (!o.out || o.rule < 0 || o.rule > 2 || o.games < 0 || o.nodes < 1 || o.whiteNodes < 0 || o.first < 0) usage();
  return o;
}

// Drops a cut record and the last game of an existing file; returns the game
// to resume at (o.first for a new file). A file that already reaches `end` is
// left whole. Exits on a file of other settings.
int64_t prepareFile(const Options& o, int64_t end, int64_t& kept) {
  kept = 0;
  struct stat st {};
  if (stat(o.out, &st) != 0 || st.st_size < DATA_RECORD_BYTES) {
    if (std::FILE* f = std::fopen(o.out, "wb")) std::fclose(f);
    return o.first;
  }
  int64_t records = st.st_size / DATA_RECORD_BYTES;
  std::FILE* f = std::fopen(o.out, "rb");
  if (!f) {
    std::perror(o.out);
    std::exit(1);
  }
  // Every record of the last game, and the one before it, must have been
  // made with these settings: a game holds positions of both sides, so a
  // file of other budgets for either colour is caught.
  auto refuse = [&](const DataRecord& x) {
    std::fprintf(stderr, "datagen: %s holds seed %u rule %d nodes %u, not these settings\n", o.out, x.seed, x.rule,
                 x.nodeBudget);
    std::exit(1);
  };
  auto ours = [&](const DataRecord& x) {
    return x.seed == o.seed && x.rule == o.rule && x.nodeBudget == static_cast<uint32_t>(o.budget(x.sideToMove()));
  };
  DataRecord last{}, r{};
  std::fseek(f, static_cast<long>((records - 1) * DATA_RECORD_BYTES), SEEK_SET);
  if (std::fread(&last, sizeof last, 1, f) != 1) std::exit(1);
  if (!ours(last)) refuse(last);
  int64_t lastGameStart = records;
  while (lastGameStart > 0) {
    std::fseek(f, static_cast<long>((lastGameStart - 1) * DATA_RECORD_BYTES), SEEK_SET);
    if (std::fread(&r, sizeof r, 1, f) != 1) break;
    if (!ours(r)) refuse(r);
    if (r.gameIndex != last.gameIndex) break;
    lastGameStart--;
  }
  std::fclose(f);
  if (last.gameIndex >= end) {
    kept = records;
    return end;
  }
  records = lastGameStart;
  if (truncate(o.out, static_cast<off_t>(records * DATA_RECORD_BYTES)) != 0) {
    std::perror(o.out);
    std::exit(1);
  }
  kept = records;
  return last.gameIndex > o.first ? last.gameIndex : o.first;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  int64_t kept = 0;
  const int64_t end = o.first + o.games;
  const int64_t start = prepareFile(o, end, kept);
  std::FILE* f = std::fopen(o.out, "ab");
  if (!f) {
    std::perror(o.out);
    return 1;
  }
  seedRandom(DATAGEN_ZOBRIST_SEED);
  drawZobristKeys();
  buildTables();
  Engine* engine = new Engine;
  engine->rule = o.rule;
  engine->game.startGame(15, 15, o.rule);
  engine->game.rebuild(o.rule);
  engine->maxMemory = DATAGEN_MEMORY;
  engine->applyMemoryLimit(DATAGEN_MEMORY);

  static DataRecord records[MAX_CELLS];
  int64_t positions = 0, wins[3] = {0, 0, 0};   // draws, Black's wins, White's wins
  const auto began = std::chrono::steady_clock::now();
  auto lastReport = began;
  std::fprintf(stderr, "datagen: %s rule %d seed %u nodes %d: games %lld ... %lld (%lld positions kept)\n", o.out,
               o.rule, o.seed, o.nodes, static_cast<long long>(start), static_cast<long long>(end - 1),
               static_cast<long long>(kept));
  for (int64_t g = start; g < end; g++) {
    int winner = 0;
    const int n = playGame(*engine, o, static_cast<uint32_t>(g), records, winner);
    if (n > 0 && std::fwrite(records, sizeof(DataRecord), n, f) != static_cast<size_t>(n)) {
      std::perror(o.out);
      return 1;
    }
    std::fflush(f);
    positions += n;
    wins[winner]++;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastReport >= std::chrono::seconds(PROGRESS_SECONDS) || g + 1 == end) {
      lastReport = now;
      const double minutes = std::chrono::duration<double>(now - began).count() / 60.0;
      std::fprintf(stderr,
                   "datagen: game %lld/%lld  positions %lld (+%lld kept)  %.0f positions/min  "
                   "Black %lld White %lld draws %lld\n",
                   static_cast<long long>(g + 1), static_cast<long long>(end), static_cast<long long>(positions),
                   static_cast<long long>(kept), positions / (minutes > 0 ? minutes : 1), static_cast<long long>(wins[1]),
                   static_cast<long long>(wins[2]), static_cast<long long>(wins[0]));
    }
  }
  std::fclose(f);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("datagen: wrote %lld games, %lld positions in %.0f s; %s now holds %lld positions\n",
              static_cast<long long>(end > start ? end - start : 0), static_cast<long long>(positions), seconds,
              o.out, static_cast<long long>(kept + positions));
  delete engine;
  return 0;
}
