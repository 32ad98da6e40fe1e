// ruvan-threats: speed and reach of the threat-sequence solver.
//
// Usage: ruvan-threats suite FILE [BUDGET [MAX_PLIES]]
//            solves every position of FILE for the side to move, from an
//            empty cache, and prints the win length, nodes and time of each,
//            then the totals and the speed in nodes per second
//        ruvan-threats verify FILE [BUDGET [MAX_PLIES [PLAYOUTS]]]
//            solves every position of FILE and, for each win, plays PLAYOUTS
//            games (default 4) from it: the attacker plays the solver's move;
//            at the defender's turns every legal move is tried and the solver,
//            with a cache of its own, must prove the win again within the
//            plies left after it; the game goes on with the most stubborn
//            reply or a random one. Prints FAIL and the game when a claim does
//            not hold
//        ruvan-threats scan FILE [BUDGET [MAX_PLIES]]
//            FILE holds whole games; solves the position before every move of
//            every game for the side to move and prints, per game, the
//            earliest position with a proven win (the position as a suite
//            line, ready to be kept)
//        ruvan-threats defence FILE [BUDGET [MAX_PLIES]]
//            FILE holds whole games; finds, per game, the first position
//            from the eighth stone on where the side to move is in danger
//            (the opponent, were he to move, would have a proven sequence
//            win) and can still defend: some reply near the stones leaves
//            him no win the solver can find (proven, not for want of nodes),
//            some other reply leaves him one. Prints the position as a suite line after a comment
//            that counts the replies that hold, lose and stay unknown, and
//            lists the losing ones: a set of positions to test defence on
//
// A line of FILE is "RULE WIDTHxHEIGHT x,y x,y ..." (the moves in the order
// played, Black first), or a game as tools/play_match.py prints it: a header
// "game N (...): RULENAME WxH, ..." and on the next line the moves. Lines
// starting with '#' are comments. The defaults are a budget of 2,000,000 nodes
// and proofs of up to 31 plies.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"
#include "control/engine.h"
#include "search/threat_solver.h"

namespace {

// One engine whose main worker holds the positions the solver works on.
Engine& TE = *new Engine;
Worker& TW = TE.linkMainWorker();

constexpr uint32_t THREAT_BENCH_SEED = 0x52757661;
constexpr size_t CACHE_BYTES = size_t{1} << 25;

struct Game {
  int rule = 0, width = 15, height = 15;
  std::vector<std::pair<int, int>> moves;
};

bool parseMoves(const char* text, Game& g) {
  while (*text) {
    while (*text == ' ' || *text == '\t') text++;
    if (!*text || *text == '\n') break;
    char* end;
    const int x = static_cast<int>(std::strtol(text, &end, 10));
    if (end == text || *end != ',') return false;
    const int y = static_cast<int>(std::strtol(end + 1, &end, 10));
    g.moves.push_back({x, y});
    text = end;
  }
  return true;
}

int ruleNamed(const char* name) {
  if (std::strncmp(name, "freestyle", 9) == 0) return RULE_FREESTYLE;
  if (std::strncmp(name, "standard", 8) == 0) return RULE_STANDARD;
  return RULE_RENJU;
}

std::vector<Game> readGames(const char* path) {
  std::vector<Game> games;
  FILE* f = std::fopen(path, "r");
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  char line[8192];
  bool header = false;
  Game pending;
  while (std::fgets(line, sizeof line, f)) {
    if (line[0] == '#' || line[0] == '\n') continue;
    if (std::strncmp(line, "game ", 5) == 0) {
      const char* colon = std::strstr(line, "): ");
      if (!colon) continue;
      pending = Game{};
      pending.rule = ruleNamed(colon + 3);
      const char* size = std::strchr(colon + 3, ' ');
      if (!size || std::sscanf(size, " %dx%d", &pending.width, &pending.height) != 2) continue;
      header = true;
      continue;
    }
    if (header) {
      header = false;
      if (parseMoves(line, pending)) games.push_back(pending);
      continue;
    }
    Game g;
    char* end;
    g.rule = static_cast<int>(std::strtol(line, &end, 10));
    if (end == line || std::sscanf(end, " %dx%d", &g.width, &g.height) != 2) continue;
    const char* moves = std::strchr(end + 1, ' ');
    if (moves && !parseMoves(moves, g)) continue;
    games.push_back(g);
  }
  std::fclose(f);
  return games;
}

// Builds the board of the first `count` moves of a game, as the engine would.
void setUp(const Game& g, size_t count) {
  TE.rule = g.rule;
  TW.pos.xExtent = g.width;
  TW.pos.yExtent = g.height;
  TW.pos.lineSize = g.width > g.height ? g.width : g.height;
  TW.pos.recordCount = 0;
  TW.pos.blockCount = 0;
  for (size_t i = 0; i < count; i++) {
    TW.pos.gameRecord[TW.pos.recordCount] = {g.moves[i].first, g.moves[i].second, TW.pos.recordCount % 2 + 1};
    TW.pos.recordCount++;
  }
  if (TW.pos.builtRule != g.rule) TW.pos.builtRule = -1;
  TW.pos.tables = TE.ruleTables;
  TW.pos.rebuild(g.rule);
}

std::string suiteLine(const Game& g, size_t count) {
  std::string s = std::to_string(g.rule) + " " + std::to_string(g.width) + "x" + std::to_string(g.height);
  for (size_t i = 0; i < count; i++)
    s += " " + std::to_string(g.moves[i].first) + "," + std::to_string(g.moves[i].second);
  return s;
}

std::string cellName(int cell) { return std::to_string(cellX(cell)) + "," + std::to_string(cellY(cell)); }

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

struct Totals {
  int64_t nodes = 0;
  double seconds = 0;
  int positions = 0, wins = 0, spent = 0;  // spent: budget ran out
};

// Solves the position for the side to move from an empty cache.
int timedSolve(ThreatSolver& solver, int64_t budget, int maxPlies, Totals& t, double& seconds, int& move) {
  solver.cache->clear();
  const int colour = TW.pos.recordCount % 2 == 0 ? BLACK : WHITE;
  const auto start = std::chrono::steady_clock::now();
  const int value = solver.solve(colour, budget, maxPlies, &move);
  seconds = secondsSince(start);
  t.nodes += solver.nodes;
  t.seconds += seconds;
  t.positions++;
  if (value > 0) t.wins++;
  if (solver.aborted) t.spent++;
  return value;
}

void printTotals(const Totals& t) {
  std::printf("Positions: %d, wins: %d, budget spent: %d\n", t.positions, t.wins, t.spent);
  std::printf("Nodes searched: %" PRId64 "\n", t.nodes);
  std::printf("Nodes/second: %.0f\n", t.seconds > 0 ? t.nodes / t.seconds : 0.0);
}

// One game from a won position: returns true when the attacker made five
// within `claimed` plies with every defender move checked.
bool playOut(ThreatSolver& solver, ThreatSolver& checker, int64_t budget, int claimed, uint32_t& seed,
             std::string& log) {
  const int attacker = TW.pos.recordCount % 2 == 0 ? BLACK : WHITE, defender = attacker ^ 3;
  std::vector<int> placed;
  auto undo = [&]() {
    while (!placed.empty()) {
      TW.pos.removeStone(placed.back());
      placed.pop_back();
    }
  };
  int remaining = claimed;
  while (true) {
    int move = NO_CELL;
    const int value = solver.solve(attacker, budget, remaining, &move);
    if (value <= 0 || value > remaining) {
      log += " | attacker lost the win (" + std::to_string(value) + " for " + std::to_string(remaining) + ")";
      undo();
      return false;
    }
    log += " " + cellName(move);
    if (TW.inSet(FiveCells, attacker, move)) break;
    TW.pos.placeStone(move, attacker);
    placed.push_back(move);
    remaining = value - 1;
    // Every legal reply must leave a win within the plies left.
    int stubborn = NO_CELL, longest = 0, count = 0;
    int candidates[MAX_CELLS];
    for (int x = 0; x < TW.pos.xExtent; x++)
      for (int y = 0; y < TW.pos.yExtent; y++) {
        const int cell = cellIndex(x, y);
        if (TW.pos.board.cells[cell] != EMPTY) continue;
        if (TW.pos.builtRule == RULE_RENJU && defender == BLACK && TW.pos.isForbidden(cell)) continue;
        if (TW.inSet(FiveCells, defender, cell)) {
          log += " | defender completes five at " + cellName(cell);
          undo();
          return false;
        }
        TW.pos.placeStone(cell, defender);
        checker.cache->clear();
        const int after = checker.solve(attacker, budget, remaining - 1, nullptr);
        TW.pos.removeStone(cell);
        if (after <= 0) {
          log += " | no win proven after the reply " + cellName(cell) + (checker.aborted ? " (budget spent)" : "");
          undo();
          return false;
        }
        if (after > longest) {
          longest = after;
          stubborn = cell;
        }
        if (after >= 3) candidates[count++] = cell;
      }
    if (stubborn == NO_CELL) break;  // no legal reply: nothing left to check
    seed = seed * 1664525u + 1013904223u;
    const int reply = (seed >> 16) % 2 == 0 || count == 0 ? stubborn : candidates[(seed >> 8) % count];
    log += " " + cellName(reply);
    TW.pos.placeStone(reply, defender);
    placed.push_back(reply);
    remaining -= 1;
  }
  undo();
  return true;
}

// The defence scan of one game: see the usage above.
void defencePosition(const Game& g, size_t number, ThreatSolver& solver, int64_t budget, int maxPlies, Totals& totals) {
  // The first plies belong to the opening: three stones given to both sides
  // leave the one to move in danger at once and say more about the opening
  // than about defence.
  for (size_t k = 8; k < g.moves.size(); k++) {
    setUp(g, k);
    const int side = TW.pos.recordCount % 2 == 0 ? BLACK : WHITE, opponent = side ^ 3;
    // A five to make or to stop is no test of seeing a sequence coming.
    if (!TW.setEmpty(FiveCells, side) || !TW.setEmpty(FiveCells, opponent)) continue;
    double seconds;
    int move = NO_CELL;
    if (timedSolve(solver, budget, maxPlies, totals, seconds, move) > 0 || solver.aborted) continue;
    solver.cache->clear();
    const int threat = solver.solve(opponent, budget, maxPlies, nullptr);
    if (threat <= 0) continue;
    int holds = 0, unknown = 0;
    std::string losing;
    for (int x = 0; x < TW.pos.xExtent; x++)
      for (int y = 0; y < TW.pos.yExtent; y++) {
        const int cell = cellIndex(x, y);
        // Replies within two cells of a stone: the ones that can touch an
        // attack, and the only ones the engine's search considers.
        if (TW.pos.board.cells[cell] != EMPTY || !TW.neighbourhood(x, y, fullSquare)) continue;
        if (TW.pos.builtRule == RULE_RENJU && side == BLACK && TW.pos.isForbidden(cell)) continue;
        TW.pos.placeStone(cell, side);
        solver.cache->clear();
        const int after = solver.solve(opponent, budget, maxPlies, nullptr);
        totals.nodes += solver.nodes;
        TW.pos.removeStone(cell);
        if (after > 0) losing += " " + cellName(cell);
        else if (solver.aborted) unknown++;
        else holds++;
      }
    if (holds == 0 || losing.empty()) continue;
    std::printf("# game %zu ply %zu: threat %d plies, holds %d unknown %d losing%s\n%s\n", number, k, threat,
                holds, unknown, losing.c_str(), suiteLine(g, k).c_str());
    return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3 || (std::strcmp(argv[1], "suite") != 0 && std::strcmp(argv[1], "scan") != 0 &&
                   std::strcmp(argv[1], "verify") != 0 && std::strcmp(argv[1], "defence") != 0)) {
    std::fprintf(stderr, "usage: ruvan-threats suite|scan|verify|defence FILE [BUDGET [MAX_PLIES [PLAYOUTS]]]\n");
    return 2;
  }
  const bool scan = std::strcmp(argv[1], "scan") == 0, verify = std::strcmp(argv[1], "verify") == 0;
  const bool defence = std::strcmp(argv[1], "defence") == 0;
  const int playouts = argc > 5 ? std::atoi(argv[5]) : 4;
  const int64_t budget = argc > 3 ? std::strtoll(argv[3], nullptr, 10) : 2000000;
  const int maxPlies = argc > 4 ? std::atoi(argv[4]) : 31;
  seedRandom(THREAT_BENCH_SEED);
  drawZobristKeys();
  static ThreatCache cache;
  if (!cache.init(CACHE_BYTES)) return 1;
  static ThreatSolver solver;
  solver.cache = &cache;
  solver.pos = &TW.pos;
  static ThreatCache checkCache;
  static ThreatSolver checker;
  if (verify && !checkCache.init(CACHE_BYTES)) return 1;
  checker.cache = &checkCache;
  checker.pos = &TW.pos;
  int failures = 0;

  const std::vector<Game> games = readGames(argv[2]);
  Totals totals;
  for (size_t gi = 0; gi < games.size(); gi++) {
    const Game& g = games[gi];
    if (defence) {
      defencePosition(g, gi + 1, solver, budget, maxPlies, totals);
      continue;
    }
    if (!scan) {
      setUp(g, g.moves.size());
      double seconds;
      int move = NO_CELL;
      const int value = timedSolve(solver, budget, maxPlies, totals, seconds, move);
      std::printf("%3zu  rule %d  %2zu stones  win %2d  first %2d,%-2d  nodes %9" PRId64 "  %8.3f s%s\n", gi + 1,
                  g.rule, g.moves.size(), value, value ? cellX(move) : -1, value ? cellY(move) : -1, solver.nodes,
                  seconds, solver.aborted ? "  (budget spent)" : "");
      if (verify && value > 0) {
        uint32_t seed = static_cast<uint32_t>(gi + 1);
        for (int p = 0; p < playouts; p++) {
          std::string log;
          const bool held = playOut(solver, checker, budget, value, seed, log);
          if (!held) failures++;
          std::printf("     %s:%s\n", held ? "held" : "FAIL", log.c_str());
        }
      }
      continue;
    }
    for (size_t k = 0; k < g.moves.size(); k++) {
      setUp(g, k);
      double seconds;
      int move = NO_CELL;
      const int value = timedSolve(solver, budget, maxPlies, totals, seconds, move);
      if (value > 0) {
        std::printf("game %zu ply %zu: win %d, nodes %" PRId64 ", %.3f s\n%s\n", gi + 1, k, value, solver.nodes,
                    seconds, suiteLine(g, k).c_str());
        break;
      }
    }
  }
  if (defence) return 0;
  printTotals(totals);
  if (verify) std::printf("Failed playouts: %d\n", failures);
  return failures == 0 ? 0 : 1;
}
