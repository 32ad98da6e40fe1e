// ruvan-datagen: self-play games at a small fixed node count, written as
// position records (bench/data_format.h) for the fitter.
//
// Usage: ruvan-datagen --out FILE --rule R --games N [--seed S] [--nodes K] [--white-nodes K]
//                      [--first G]
//        ruvan-datagen --relabel FROM --out FILE --nodes K
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
// Searched again. --relabel replays every game of FROM (a file this program
// wrote) and searches each position once more at K nodes, as the game's own
// searches ran: the tables cleared before the game, each position in turn.
// The value of an open position becomes the new search's: a target for the
// fitter from a larger search than the one that chose the moves, on the same
// positions (README: it fitted a weaker value). A proven value stays.
// Records keep everything else, with K in valueNodes.
// At the game's own budget the values come out as they were. The output
// resumes like a generated file.
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
#include <vector>

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
  const char* relabel = nullptr;   // --relabel: the file whose games are searched again
  int valueNodes = 0;   // ... at this budget (--nodes); 0 when playing games
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

// A new game on the engine: the board, and every table cleared, so that a
// game's searches depend on nothing played before it.
void newGame(Engine& engine, int width, int height, int rule) {
  Position& game = engine.game;
  game.startGame(width, height, rule);
  game.rebuild(rule);
  engine.tt.prepare(rule, engine.tt.bucketCount);
  engine.fourCache.prepare(rule, engine.fourCache.bucketCount);
  engine.tt.clear();
  engine.fourCache.clear();
  engine.threatCache.clear();
}

// The engine's search of the game's position for `colour` at `nodes` nodes:
// its value, and its move in x, y (-1 when it has none).
int searchPosition(Engine& engine, int colour, int nodes, int& x, int& y) {
  engine.limits.max_node = nodes;
  engine.limits.max_depth = 0;
  engine.limits.timeout_turn = 1000000;
  engine.limits.time_left = INT32_MAX;
  engine.stopRequested = 0;
  engine.game.finalValue = 0;
  const int value = engine.searchGame(colour, false);
  x = engine.mainWorker().search.bestX;
  y = engine.mainWorker().search.bestY;
  return value;
}

// Plays game g and fills `records` with its positions; returns their count,
// and the winner's colour (0 for a draw) in `winner`.
int playGame(Engine& engine, const Options& o, uint32_t g, DataRecord* records, int& winner) {
  GameRandom random(o.seed, g);
  const bool big = random.below(5) == 0;
  const int side = big ? 20 : 15;
  Position& game = engine.game;
  newGame(engine, side, side, o.rule);

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
    int x, y;
    const int value = searchPosition(engine, colour, o.budget(colour), x, y);
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

// Searches the positions of one game of a data file again at o.valueNodes
// nodes, replaying the game as playGame played it: the tables cleared first,
// then every position searched in the order played, so that at the game's
// own budget each search meets the tables it met then. An open position takes
// the new value (which may now be a proof); a proven one keeps its proof.
// False when the records do not replay as one game.
bool relabelGame(Engine& engine, const Options& o, DataRecord* records, int count) {
  const DataRecord& first = records[0];
  if (first.width < 5 || first.height < 5 || first.width > DATA_SIDE || first.height > DATA_SIDE) return false;
  newGame(engine, first.width, first.height, first.rule);
  Position& game = engine.game;
  // The opening's stones, Black's and White's in turn (the position's key is
  // its set of stones, so their order changes no search).
  int stones[2][MAX_CELLS], counts[2] = {0, 0};
  for (int x = 0; x < first.width; x++)
    for (int y = 0; y < first.height; y++) {
      const int c = first.cell(x, y);
      if (c == BLACK || c == WHITE) stones[c - 1][counts[c - 1]++] = cellIndex(x, y);
    }
  if (counts[0] != counts[1] && counts[0] != counts[1] + 1) return false;
  for (int i = 0; i < counts[0]; i++)
    for (int k = 0; k < 2 && i < counts[k]; k++) game.playOwnMove(cellX(stones[k][i]), cellY(stones[k][i]), o.rule);
  for (int i = 0; i < count; i++) {
    DataRecord& r = records[i];
    const int colour = game.recordCount % 2 == 0 ? BLACK : WHITE;
    if (r.gameIndex != first.gameIndex || r.sideToMove() != colour || r.ply != game.recordCount) return false;
    for (int x = 0; x < r.width; x++)
      for (int y = 0; y < r.height; y++)
        if (r.cell(x, y) != game.board.cells[cellIndex(x, y)]) return false;
    int x, y;
    const int value = searchPosition(engine, colour, o.valueNodes, x, y);
    if (r.value > -VALUE_DECISIVE && r.value < VALUE_DECISIVE) r.value = clampValue(value);
    r.valueNodes = static_cast<uint32_t>(o.valueNodes);
    if (i + 1 < count && game.playOwnMove(r.moveX, r.moveY, o.rule) != BoardDone) return false;
  }
  return true;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: ruvan-datagen --out FILE --rule 0|1|2 --games N [--seed S] [--nodes K] [--white-nodes K]"
               " [--first G]\n       ruvan-datagen --relabel FROM --out FILE --nodes K\n");
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
    else if (!std::strcmp(key, "--relabel")) o.relabel = value;
    else usage();
  }
  if (o.relabel) {
    // The rule, seed and budgets are the source's; only the new budget is given.
    if (!o.out || o.rule >= 0 || o.games >= 0 || o.whiteNodes != 0 || o.first != 0 || o.nodes < 1) usage();
    o.valueNodes = o.nodes;
    return o;
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
    return x.seed == o.seed && x.rule == o.rule && x.nodeBudget == static_cast<uint32_t>(o.budget(x.sideToMove())) &&
           x.valueNodes == static_cast<uint32_t>(o.valueNodes);
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

// Reads the whole file to be searched again and takes its settings into o:
// rule, seed, each side's budget (from game 0's first two positions) and
// its games. Exits when it holds no record or is not of one seed and rule.
std::vector<DataRecord> readSource(Options& o) {
  std::vector<DataRecord> source;
  std::FILE* f = std::fopen(o.relabel, "rb");
  if (!f) {
    std::perror(o.relabel);
    std::exit(1);
  }
  DataRecord r;
  while (std::fread(&r, sizeof r, 1, f) == 1) source.push_back(r);
  std::fclose(f);
  if (source.empty()) {
    std::fprintf(stderr, "datagen: %s holds no position\n", o.relabel);
    std::exit(1);
  }
  const DataRecord& first = source.front();
  const DataRecord& second = source.size() > 1 && source[1].gameIndex == first.gameIndex ? source[1] : first;
  o.rule = first.rule;
  o.seed = first.seed;
  uint32_t black, white;
  sideBudgets(first, second, black, white);
  o.nodes = static_cast<int>(black);
  o.whiteNodes = white != black ? static_cast<int>(white) : 0;
  o.first = first.gameIndex;
  o.games = int64_t{source.back().gameIndex} + 1 - o.first;
  for (const DataRecord& x : source)
    if (x.seed != o.seed || x.rule != o.rule || x.rule > RULE_RENJU || x.gameIndex < first.gameIndex ||
        x.valueNodes != 0) {
      std::fprintf(stderr, "datagen: %s is not one run of ruvan-datagen's games\n", o.relabel);
      std::exit(1);
    }
  return source;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  std::vector<DataRecord> source;
  if (o.relabel) source = readSource(o);
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
  if (o.relabel) std::fprintf(stderr, "datagen: the positions of %s searched again at %d nodes\n", o.relabel, o.valueNodes);
  size_t cursor = 0;   // the source's first record of game g
  for (int64_t g = start; g < end; g++) {
    int winner = 0, n = 0;
    if (o.relabel) {
      while (cursor < source.size() && source[cursor].gameIndex < g) cursor++;
      while (cursor < source.size() && source[cursor].gameIndex == g && n < MAX_CELLS) records[n++] = source[cursor++];
      if (n > 0 && !relabelGame(*engine, o, records, n)) {
        std::fprintf(stderr, "datagen: game %lld of %s does not replay as ruvan-datagen played it\n",
                     static_cast<long long>(g), o.relabel);
        return 1;
      }
      const int result = n > 0 ? records[0].result() : RESULT_DRAW;
      winner = result == RESULT_DRAW ? 0 : result == RESULT_WIN ? records[0].sideToMove() : records[0].sideToMove() ^ 3;
    } else {
      n = playGame(*engine, o, static_cast<uint32_t>(g), records, winner);
    }
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
