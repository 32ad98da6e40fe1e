// ruvan-tune: fits value and move tables on ruvan-datagen's positions.
//
// Usage: ruvan-tune [--seed S] [--epochs E] [--move-epochs M] [--lambda L] [--l2 P]
//                   [--decay] [--skip-proven] [--joint RULES] [--moves-from FILE] [--values-from FILE]
//                   [--out FILE] [--hidden W [--net-epochs E] [--net-rate R] [--net-l2 P]
//                   [--net-classes] [--net-rules RULES] [--net-base-from FILE] [--net-out FILE]] DATA...
//
// For every rule found in the data files, each position is set up on a board
// of the engine's own and its features read (eval/features.h). A model is one
// rule, and under Renju one colour to move (Black's and White's tables differ,
// since only Black has forbidden points):
//
//   value   sigmoid(sum over empty cells of mover[code] + opponent[code]
//                   (+ pair[mover's class][opponent's class] with --joint)
//                   + situation[threats seen from the mover])
//           fitted by logistic regression towards the result (1 win,
//           0.5 draw, 0 loss), weights in logit units;
//   moves   softmax over the empty cells of attack[mover's code] +
//           block[opponent's code], fitted by cross-entropy towards the move
//           the engine played.
//
// With --moves-from FILE (a source this program wrote) the move tables are
// FILE's, reported on the data but not fitted again. With --values-from FILE
// every model without positions in DATA keeps FILE's value, situation and
// pair tables, so that one rule's value can be fitted again on new data
// while the others stay as they are.
//
// With --skip-proven the value is fitted on the open positions alone: those
// whose search value is no proven win or loss (about half the data is
// decided, and the search settles such positions itself).
//
// A tenth of the games (chosen by a hash of the seed and the game, so that a
// game's positions are all on one side) is held out. Printed per rule: the
// training and held-out log loss of the value, the same for the search value
// and for the hand-set static sum (scoreSum difference plus tempo) each scaled
// by the K of a line search, and the move cross-entropy with top-1 and top-3
// accuracy of the fitted tables and of the hand-set quiet-move key.
//
// With --hidden W a network of W hidden units is fitted on top of the linear
// value (this run's, or with --net-base-from FILE that source's tables as
// they stand) and its loss printed; --net-out FILE writes it for the engine
// (board/learned_net.h). --net-classes feeds it the codes' classes instead
// of the codes, to measure what the codes add (it cannot be written).
// --net-rules RULES (default 0,1,2) fits networks for those rules alone; the
// others' are written as zeros, which the engine reads as no network.
//
// With --out FILE the tables are written as a C++ source in engine units: the
// value tables divided by the line-searched K of the search value (so they
// read on the search's scale), the move tables times MOVE_UNITS.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "board/board.h"
#include "board/learned_net.h"
#include "board/pattern_tables.h"
#include "data_format.h"
#include "eval/features.h"
#include "tune_fit.h"

namespace {

constexpr int SITUATION_BASE = 2 * FOLDED_CODES;
constexpr int JOINT_BASE = SITUATION_BASE + THREAT_SITUATIONS;
constexpr int VALUE_WEIGHTS = JOINT_BASE + JOINT_CLASSES * JOINT_CLASSES;
constexpr int MOVE_UNITS = 256;
constexpr int HAND_TEMPO = 50;   // threat_eval.cpp's tempo, part of the hand-set value
constexpr int MODELS = 4;        // free style, standard, Renju Black to move, Renju White to move

int modelOf(int rule, int mover) { return rule == RULE_RENJU ? 2 + (mover == WHITE) : rule; }
int ruleOfModel(int model) { return model < 2 ? model : RULE_RENJU; }

// A list of rules such as "0,1": sets exactly those; false on anything else.
bool parseRules(const char* list, bool (&rules)[3]) {
  for (int r = 0; r < 3; r++) rules[r] = false;
  for (const char* c = list; *c; c++)
    if (*c >= '0' && *c <= '2') rules[*c - '0'] = true;
    else if (*c != ',') return false;
  return true;
}
const char* modelName(int m) {
  static const char* names[MODELS] = {"freestyle", "standard", "renju-black", "renju-white"};
  return names[m];
}

struct Model {
  ValueSet values;
  MoveSet moves;
  std::vector<float> searchValue, handValue;
  std::vector<uint32_t> train, held;
  std::vector<int32_t> handRank;   // the played move's rank under the hand-set key, ties against it
  std::vector<double> valueWeights, attack, block;
  double searchScale = 0, handScale = 0;
};

struct Options {
  uint32_t seed = 1;
  FitOptions value{400, 0.02, 1e-6};
  FitOptions moves{200, 0.05, 1e-7};
  // Share of the game result in the value target; the rest is the search
  // value mapped through its own fitted scale, which is far less noisy than
  // one game's result.
  double lambda = 1.0;
  // Leave the positions whose search value is a proven win or loss out of
  // the value fit. The search settles those itself (the solver at every
  // node, the proof at the root); fitted on them too, the tables spend
  // their weights on telling won positions from lost ones instead of
  // ranking the open ones the search actually compares.
  bool skipProven = false;
  // Move tables taken from an earlier generated source instead of fitted,
  // so that a new value can be measured against the same move order.
  const char* movesFrom = nullptr;
  // Value tables of the models without data taken from an earlier source.
  const char* valuesFrom = nullptr;
  // Rules whose value also learns the pair table (a weight per pair of the
  // mover's and the opponent's class at a cell); the others keep it zero.
  bool jointRules[3] = {false, false, false};
  const char* out = nullptr;
  // Width of a residual network fitted on top of the linear value (0: none).
  NetOptions net = NetOptions{}.withWidth(0);
  // The linear value the network is fitted on top of: a source's value
  // tables as they stand (the engine's), or the linear fit of this run.
  const char* netBaseFrom = nullptr;
  const char* netOut = nullptr;
  // Rules that get a network; the others' stay zero, and the engine then
  // plays them on the linear value alone.
  bool netRules[3] = {true, true, true};
  bool netClasses = false;
  std::vector<const char*> files;
};

// One model's value, situation and pair tables of a generated source, laid
// out as the fit's weights (in the source's units, the search's).
std::vector<double> keptWeights(const TableSource& t, size_t model) {
  std::vector<double> w(VALUE_WEIGHTS, 0.0);
  for (int i = 0; i < 2 * FOLDED_CODES; i++) w[i] = t.value[model * 2 * FOLDED_CODES + i];
  for (int i = 0; i < THREAT_SITUATIONS; i++) w[SITUATION_BASE + i] = t.situation[model * THREAT_SITUATIONS + i];
  for (int i = 0; i < JOINT_CLASSES * JOINT_CLASSES; i++)
    w[JOINT_BASE + i] = t.joint[model * JOINT_CLASSES * JOINT_CLASSES + i];
  return w;
}

bool heldOut(uint32_t seed, const DataRecord& r) {
  uint64_t z = (uint64_t{seed} << 32 | r.gameIndex) ^ (uint64_t{r.seed} * 0x9E3779B97F4A7C15ull) ^ r.rule;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return (z ^ (z >> 31)) % 10 == 0;
}

// The hand-set quiet-move key of moves.cpp without its threat term.
int handKey(const Position& pos, int cell, int mover) {
  const CellInfo& info = pos.board.cellInfo[cell];
  const int side = mover - 1, opp = 2 - mover;
  return CellValueTable[info.patterns[side]] + CellValueTable[info.patterns[opp]] / 2 + info.score[side] / 4 +
         info.score[opp] / 8;
}

// Brings the board to the record's stones: rebuilt for a new rule or size,
// otherwise changed cell by cell (consecutive records of a game differ by two
// stones).
void setUp(Position& pos, const DataRecord& r) {
  if (pos.builtRule != r.rule || pos.xExtent != r.width || pos.yExtent != r.height) {
    pos.startGame(r.width, r.height, r.rule);
    pos.rebuild(r.rule);
  }
  for (int x = 0; x < r.width; x++)
    for (int y = 0; y < r.height; y++) {
      const int cell = cellIndex(x, y), want = r.cell(x, y), have = pos.board.cells[cell];
      if (want == have) continue;
      if (have != EMPTY) pos.removeStone(cell, have != BLOCK);
      if (want != EMPTY) pos.placeStone(cell, want, want != BLOCK);
    }
}

void addRecord(Model& m, const Position& pos, const DataRecord& r, bool hold, bool jointFeatures,
               EvalFeatures& f, std::vector<float>& scratch) {
  const int mover = r.sideToMove(), me = mover - 1, you = 2 - mover;
  evalCollect(pos, f);
  const uint32_t index = static_cast<uint32_t>(m.values.size());
  (hold ? m.held : m.train).push_back(index);

  // Value: code counts of both sides and the situation.
  scratch.assign(VALUE_WEIGHTS, 0.0f);
  std::vector<uint32_t> touched;
  auto count = [&](uint32_t id) {
    if (scratch[id]++ == 0) touched.push_back(id);
  };
  for (int i = 0; i < f.cellCount; i++) {
    count(f.codes[me][i]);
    count(f.codes[you][i] + FOLDED_CODES);
    if (jointFeatures)
      count(JOINT_BASE + jointClassOfCode[f.codes[me][i]] * JOINT_CLASSES + jointClassOfCode[f.codes[you][i]]);
  }
  for (uint32_t id : touched) m.values.features.push_back({id, scratch[id]});
  m.values.features.push_back({SITUATION_BASE + threatsOfMover(f.threatMask, mover), 1.0f});
  m.values.offsets.push_back(static_cast<uint32_t>(m.values.features.size()));
  m.values.target.push_back(r.result() * 0.5f);
  m.searchValue.push_back(r.value);
  m.handValue.push_back(static_cast<float>(pos.board.scoreSum[me] - pos.board.scoreSum[you] + HAND_TEMPO));

  // Moves: the cells with some shape, the rest as a count.
  const int played = cellIndex(r.moveX, r.moveY);
  int32_t playedAt = -1;
  uint16_t nulls = 0;
  const int playedKey = handKey(pos, played, mover);
  int32_t ahead = 0;
  for (int i = 0; i < f.cellCount; i++) {
    const int cell = f.cells[i];
    if (cell != played && handKey(pos, cell, mover) >= playedKey) ahead++;
    const uint16_t a = f.codes[me][i], b = f.codes[you][i];
    if (a == 0 && b == 0) {
      nulls++;
      continue;
    }
    if (cell == played) playedAt = static_cast<int32_t>(m.moves.candidates.size() - m.moves.offsets.back());
    m.moves.candidates.push_back({a, b});
  }
  m.moves.offsets.push_back(static_cast<uint32_t>(m.moves.candidates.size()));
  m.moves.played.push_back(playedAt);
  m.moves.nullCount.push_back(nulls);
  m.handRank.push_back(ahead);
}

void usage() {
  std::fprintf(stderr, "usage: ruvan-tune [--seed S] [--epochs E] [--move-epochs M] [--lambda L] [--l2 P] [--decay] [--skip-proven] [--joint RULES] [--moves-from FILE] [--values-from FILE] [--out FILE] [--hidden W [--net-epochs E] [--net-rate R] [--net-l2 P] [--net-classes] [--net-rules RULES] [--net-base-from FILE] [--net-out FILE]] DATA...\n");
  std::exit(2);
}

// The provenance lines of a generated source (its command and data), each
// indented as a quote: "\n//   | ..." per line.
std::string provenanceOf(const char* path) {
  std::string quoted;
  std::FILE* f = std::fopen(path, "r");
  if (!f) return quoted;
  char text[1024];
  bool inside = false;
  while (std::fgets(text, sizeof text, f)) {
    if (std::strncmp(text, "// Command:", 11) == 0) inside = true;
    if (std::strncmp(text, "// Models:", 10) == 0 || std::strncmp(text, "#include", 8) == 0) break;
    if (!inside) continue;
    std::string l(text);
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.pop_back();
    if (l == "//") continue;
    quoted += "\n//   | " + l.substr(l.size() >= 3 ? 3 : l.size());
  }
  std::fclose(f);
  return quoted;
}

// The header's first lines: the command, then each data file with the games
// it holds and the generator's settings, so that the data can be made again.
std::string commandAndData(const Options& o, int argc, char** argv, int64_t positions) {
  std::string header = "//\n// Command:";
  char line[1024];
  for (int i = 0; i < argc; i++) header += std::string(" ") + argv[i];
  std::snprintf(line, sizeof line, "\n// Data: %lld positions from", static_cast<long long>(positions));
  header += line;
  for (const char* file : o.files) {
    // The file's first and last record name the generator's settings and
    // the games it holds, so that the data can be made again.
    std::FILE* d = std::fopen(file, "rb");
    DataRecord first{}, second{}, last{};
    if (d && std::fread(&first, sizeof first, 1, d) == 1) {
      // The first two records are the two sides of game 0: each keeps its
      // own side's budget, which differ when White had --white-nodes.
      if (std::fread(&second, sizeof second, 1, d) != 1) second = first;
      uint32_t blackNodes, whiteNodes;
      sideBudgets(first, second, blackNodes, whiteNodes);
      std::fseek(d, 0, SEEK_END);
      const long records = std::ftell(d) / DATA_RECORD_BYTES;
      std::fseek(d, (records - 1) * DATA_RECORD_BYTES, SEEK_SET);
      if (std::fread(&last, sizeof last, 1, d) != 1) last = first;
      std::snprintf(line, sizeof line, "\n//   %s: %ld positions of games %u ... %u (ruvan-datagen --rule %d --seed %u --nodes %u",
                    file, records, first.gameIndex, last.gameIndex, first.rule, first.seed, blackNodes);
      header += line;
      if (whiteNodes != blackNodes) {
        std::snprintf(line, sizeof line, " --white-nodes %u", whiteNodes);
        header += line;
      }
      if (first.valueNodes != 0) {
        std::snprintf(line, sizeof line, ", values searched again by --relabel --nodes %u", first.valueNodes);
        header += line;
      }
      header += ")";
    }
    if (d) std::fclose(d);
  }
  return header;
}

void writeTables(const Options& o, const std::vector<Model>& models, int argc, char** argv, int64_t positions,
                 const std::string& keptHeader, const TableSource* keptValues, const std::string& keptValuesHeader) {
  std::string header = commandAndData(o, argc, argv, positions);
  char line[1024];
  if (o.movesFrom) header += "\n//\n// Move tables kept from " + std::string(o.movesFrom) + ", whose header read:" + keptHeader;
  if (o.valuesFrom) {
    header += "\n//\n// Value tables of the models not fitted on the data above kept from " + std::string(o.valuesFrom);
    header += o.movesFrom && !std::strcmp(o.movesFrom, o.valuesFrom) ? std::string(" (quoted above)")
                                                                    : ", whose header read:" + keptValuesHeader;
  }
  std::snprintf(line, sizeof line,
                "\n//\n// Models: 0 free style, 1 standard, 2 Renju with Black to move, 3 Renju with White to move.\n"
                "// learnedValue[model][0][code]: the mover's code, [1]: the opponent's, in the search's units\n"
                "// (logit weights divided by the model's line-searched scale of the search value);\n"
                "// learnedSituation[model][threats seen from the mover]; learnedAttack / learnedBlock in\n"
                "// 1/%d of a logit; learnedJointValue[model][mover's class * %d + opponent's class]\n"
                "// in the search's units. A model without data has zero tables unless kept (above).\n",
                MOVE_UNITS, JOINT_CLASSES);
  header += line;
  auto clampInt16 = [](double v) {
    return static_cast<int16_t>(std::lround(std::max(-32000.0, std::min(32000.0, v))));
  };
  TableSource t;
  for (size_t mi = 0; mi < models.size(); mi++) {
    const Model& m = models[mi];
    // A model the data did not fit writes the kept source's numbers as they
    // were (scale 1), or zeros.
    const bool kept = m.searchScale <= 0 && keptValues;
    const std::vector<double> w = kept ? keptWeights(*keptValues, mi) : m.valueWeights;
    const double scale = kept ? 1.0 : m.searchScale;
    for (int i = 0; i < 2 * FOLDED_CODES; i++) t.value.push_back(scale > 0 ? clampInt16(w[i] / scale) : 0);
    for (int i = 0; i < THREAT_SITUATIONS; i++)
      t.situation.push_back(scale > 0 ? clampInt16(w[SITUATION_BASE + i] / scale) : 0);
    for (int i = 0; i < JOINT_CLASSES * JOINT_CLASSES; i++)
      t.joint.push_back(scale > 0 ? clampInt16(w[JOINT_BASE + i] / scale) : 0);
    for (int c = 0; c < FOLDED_CODES; c++) {
      t.attack.push_back(clampInt16(m.attack[c] * MOVE_UNITS));
      t.block.push_back(clampInt16(m.block[c] * MOVE_UNITS));
    }
  }
  if (!writeTableSource(o.out, header, t)) {
    std::perror(o.out);
    std::exit(1);
  }
}

// Writes model mi's network in the engine's units (board/learned_net.h):
// hidden units in 1/NET_HIDDEN_UNITS, the output in the base's units (one
// unit is baseScale logits). A feature no training row has keeps zeros, not
// whatever the optimiser left there.
void addNetModel(NetSource& n, int mi, const ResidualNet& net, double baseScale, const ValueSet& set,
                 const std::vector<uint32_t>& rows) {
  std::vector<uint8_t> seen(VALUE_WEIGHTS, 0);
  for (uint32_t i : rows)
    for (uint32_t j = set.offsets[i]; j < set.offsets[i + 1]; j++) seen[set.features[j].id] = 1;
  auto hiddenUnits = [&](uint32_t feature, int h) {
    if (!seen[feature]) return 0;
    const double v = net.hidden[static_cast<size_t>(feature) * NET_WIDTH + h] / ResidualNet::INPUT_SCALE;
    return static_cast<int32_t>(std::lround(std::max(-32000.0, std::min(32000.0, v * NET_HIDDEN_UNITS))));
  };
  for (int r = 0; r < 2; r++)
    for (int code = 0; code < FOLDED_CODES; code++)
      for (int h = 0; h < NET_WIDTH; h++)
        n.cell[((static_cast<size_t>(mi) * 2 + r) * FOLDED_CODES + code) * NET_WIDTH + h] =
            hiddenUnits(static_cast<uint32_t>(r * FOLDED_CODES + code), h);
  for (int s = 0; s < THREAT_SITUATIONS; s++)
    for (int h = 0; h < NET_WIDTH; h++)
      n.situation[(static_cast<size_t>(mi) * THREAT_SITUATIONS + s) * NET_WIDTH + h] =
          hiddenUnits(static_cast<uint32_t>(SITUATION_BASE + s), h);
  for (int h = 0; h < NET_WIDTH; h++) {
    n.bias[mi * NET_WIDTH + h] = static_cast<int32_t>(std::lround(net.bias[h] * NET_HIDDEN_UNITS));
    n.out[mi * NET_WIDTH + h] = static_cast<int32_t>(std::lround(net.out[h] / baseScale * NET_OUT_UNITS));
  }
  n.outBias[mi] = static_cast<int32_t>(std::lround(net.outBias / baseScale));
  // The board keeps the hidden sums in 16 bits: report how near the rows
  // come to that bound.
  int64_t widest = 0;
  for (uint32_t i : rows)
    for (int h = 0; h < NET_WIDTH; h++) {
      int64_t a = n.bias[mi * NET_WIDTH + h];
      for (uint32_t j = set.offsets[i]; j < set.offsets[i + 1]; j++) {
        const uint32_t id = set.features[j].id;
        if (id < 2 * FOLDED_CODES)
          a += static_cast<int64_t>(set.features[j].count) *
               n.cell[((static_cast<size_t>(mi) * 2 + id / FOLDED_CODES) * FOLDED_CODES + id % FOLDED_CODES) * NET_WIDTH + h];
        else if (id < SITUATION_BASE + THREAT_SITUATIONS)
          a += n.situation[(static_cast<size_t>(mi) * THREAT_SITUATIONS + id - SITUATION_BASE) * NET_WIDTH + h];
      }
      widest = std::max<int64_t>(widest, a < 0 ? -a : a);
    }
  std::printf("%-12s network: widest hidden sum %lld (16-bit bound 32767)\n", "", static_cast<long long>(widest));
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "--seed") && i + 1 < argc) o.seed = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    else if (!std::strcmp(argv[i], "--epochs") && i + 1 < argc) o.value.epochs = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--move-epochs") && i + 1 < argc) o.moves.epochs = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--out") && i + 1 < argc) o.out = argv[++i];
    else if (!std::strcmp(argv[i], "--lambda") && i + 1 < argc) o.lambda = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--l2") && i + 1 < argc) o.value.l2 = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--skip-proven")) o.skipProven = true;
    else if (!std::strcmp(argv[i], "--hidden") && i + 1 < argc) o.net.width = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--net-epochs") && i + 1 < argc) o.net.epochs = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--net-rate") && i + 1 < argc) o.net.rate = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--net-l2") && i + 1 < argc) o.net.l2 = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--net-classes")) o.netClasses = true;
    else if (!std::strcmp(argv[i], "--net-base-from") && i + 1 < argc) o.netBaseFrom = argv[++i];
    else if (!std::strcmp(argv[i], "--net-out") && i + 1 < argc) o.netOut = argv[++i];
    else if (!std::strcmp(argv[i], "--decay")) o.value.decay = o.moves.decay = true;
    else if (!std::strcmp(argv[i], "--joint") && i + 1 < argc) {
      if (!parseRules(argv[++i], o.jointRules)) usage();
    }
    else if (!std::strcmp(argv[i], "--net-rules") && i + 1 < argc) {
      if (!parseRules(argv[++i], o.netRules)) usage();
    }
    else if (!std::strcmp(argv[i], "--moves-from") && i + 1 < argc) o.movesFrom = argv[++i];
    else if (!std::strcmp(argv[i], "--values-from") && i + 1 < argc) o.valuesFrom = argv[++i];
    else if (argv[i][0] == '-') usage();
    else o.files.push_back(argv[i]);
  }
  if (o.files.empty()) usage();
  if (o.netOut && (o.net.width != NET_WIDTH || o.netClasses)) {
    std::fprintf(stderr, "--net-out needs --hidden %d and the engine's inputs (no --net-classes)\n", NET_WIDTH);
    return 2;
  }
  // The engine's network reads no pair counts.
  if (o.net.width > 0) o.net.inputs = JOINT_BASE;

  buildTables();
  evalBuildTables();
  if (o.netClasses) {
    // Coarse inputs: a code counts as its class, the situation as itself.
    o.net.inputOf.assign(JOINT_BASE, -1);
    for (int code = 0; code < FOLDED_CODES; code++) {
      o.net.inputOf[code] = jointClassOfCode[code];
      o.net.inputOf[FOLDED_CODES + code] = JOINT_CLASSES + jointClassOfCode[code];
    }
    for (int s = 0; s < THREAT_SITUATIONS; s++) o.net.inputOf[SITUATION_BASE + s] = 2 * JOINT_CLASSES + s;
  }
  RuleTables* tables = new RuleTables;
  tables->useLearned = false;   // the hand-set reference reads the hand-set scores
  Position* pos = new Position;
  pos->tables = tables;
  static EvalFeatures features;
  std::vector<float> scratch;
  std::vector<Model> models(MODELS);
  int64_t positions = 0;
  for (const char* file : o.files) {
    std::FILE* in = std::fopen(file, "rb");
    if (!in) {
      std::perror(file);
      return 1;
    }
    DataRecord r;
    pos->builtRule = -1;
    while (std::fread(&r, sizeof r, 1, in) == 1) {
      if (r.rule > RULE_RENJU || r.width > DATA_SIDE || r.height > DATA_SIDE) continue;
      setUp(*pos, r);
      addRecord(models[modelOf(r.rule, r.sideToMove())], *pos, r, heldOut(o.seed, r), o.jointRules[r.rule], features,
                scratch);
      positions++;
    }
    std::fclose(in);
    std::fprintf(stderr, "tune: %s read, %lld positions so far\n", file, static_cast<long long>(positions));
  }

  TableSource keptMoves;
  if (o.movesFrom && !readTableSource(o.movesFrom, keptMoves)) {
    std::fprintf(stderr, "%s: not a table source ruvan-tune wrote\n", o.movesFrom);
    return 1;
  }
  TableSource keptValues;
  if (o.valuesFrom && !readTableSource(o.valuesFrom, keptValues)) {
    std::fprintf(stderr, "%s: not a table source ruvan-tune wrote\n", o.valuesFrom);
    return 1;
  }
  TableSource netBase;
  if (o.netBaseFrom && !readTableSource(o.netBaseFrom, netBase)) {
    std::fprintf(stderr, "%s: not a table source ruvan-tune wrote\n", o.netBaseFrom);
    return 1;
  }
  NetSource netSource = emptyNetSource();
  // Read now: --out may name the same file.
  const std::string keptHeader = o.movesFrom ? provenanceOf(o.movesFrom) : std::string();
  const std::string keptValuesHeader = o.valuesFrom ? provenanceOf(o.valuesFrom) : std::string();
  std::printf("%-12s %8s %8s | %-23s | %-23s | %-23s | %-30s | %-30s\n", "model", "train", "held", "value loss train/held",
              "search K, loss tr/held", "hand K, loss tr/held", "moves fitted: xent top1 top3", "hand order: top1 top3");
  for (int mi = 0; mi < MODELS; mi++) {
    Model& m = models[mi];
    m.valueWeights.assign(VALUE_WEIGHTS, 0.0);
    m.attack.assign(FOLDED_CODES, 0.0);
    m.block.assign(FOLDED_CODES, 0.0);
    if (o.movesFrom)
      for (int c = 0; c < FOLDED_CODES; c++) {
        m.attack[c] = keptMoves.attack[mi * FOLDED_CODES + c] / static_cast<double>(MOVE_UNITS);
        m.block[c] = keptMoves.block[mi * FOLDED_CODES + c] / static_cast<double>(MOVE_UNITS);
      }
    if (m.train.empty() || m.held.empty()) continue;
    // The rows the value is fitted on, and the held-out rows of the same
    // kind: the open positions, or all of them.
    std::vector<uint32_t> openRows[2];
    for (int held = 0; held < 2; held++)
      for (uint32_t i : held ? m.held : m.train)
        if (std::fabs(m.searchValue[i]) <= VALUE_CLAMP) openRows[held].push_back(i);
    const std::vector<uint32_t>& valueRows = o.skipProven ? openRows[0] : m.train;
    if (valueRows.empty()) continue;
    m.searchScale = lineSearchScale(m.searchValue, m.values.target, valueRows, 1e-6, 1.0);
    const std::vector<float> results = m.values.target;
    for (size_t i = 0; i < results.size(); i++)
      m.values.target[i] = static_cast<float>(o.lambda * results[i] +
                                              (1 - o.lambda) / (1 + std::exp(-m.searchScale * m.searchValue[i])));
    fitValue(m.values, valueRows, m.valueWeights, o.value);
    ResidualNet net;
    std::vector<float> base;
    double baseScale = 1.0;   // logits of one unit of the base (the search's units for a kept source)
    const bool fitNet = o.net.width > 0 && o.netRules[ruleOfModel(mi)];
    if (fitNet) {
      if (o.netBaseFrom) {
        base = linearValues(m.values, keptWeights(netBase, mi));
        baseScale = lineSearchScale(base, m.values.target, valueRows, 1e-6, 1.0);
        for (float& b : base) b = static_cast<float>(b * baseScale);
      } else {
        base = linearValues(m.values, m.valueWeights);
        baseScale = m.searchScale;   // as the tables are written
      }
      fitResidual(m.values, valueRows, base, VALUE_WEIGHTS, net, o.net);
      if (o.netOut) addNetModel(netSource, mi, net, baseScale, m.values, valueRows);
    }
    m.values.target = results;   // losses are reported against the results
    if (!o.movesFrom) fitMoves(m.moves, m.train, m.attack, m.block, o.moves);
    m.handScale = lineSearchScale(m.handValue, m.values.target, valueRows, 1e-7, 1.0);
    const MoveStats trainMoves = moveStats(m.moves, m.train, m.attack, m.block);
    const MoveStats heldMoves = moveStats(m.moves, m.held, m.attack, m.block);
    double handTop1 = 0, handTop3 = 0;
    for (uint32_t i : m.held) {
      handTop1 += m.handRank[i] < 1;
      handTop3 += m.handRank[i] < 3;
    }
    handTop1 /= m.held.size();
    handTop3 /= m.held.size();
    std::printf("%-12s %8zu %8zu | %.4f / %.4f         | %.2e %.4f/%.4f | %.2e %.4f/%.4f | %.3f/%.3f %.3f %.3f (held) | %.3f %.3f (held)\n",
                modelName(mi), m.train.size(), m.held.size(), valueLoss(m.values, m.train, m.valueWeights),
                valueLoss(m.values, m.held, m.valueWeights), m.searchScale,
                scaledLoss(m.searchValue, m.values.target, m.train, m.searchScale),
                scaledLoss(m.searchValue, m.values.target, m.held, m.searchScale), m.handScale,
                scaledLoss(m.handValue, m.values.target, m.train, m.handScale),
                scaledLoss(m.handValue, m.values.target, m.held, m.handScale), trainMoves.loss, heldMoves.loss,
                heldMoves.top1, heldMoves.top3, handTop1, handTop3);
    std::printf("%-12s train moves: top1 %.3f top3 %.3f\n", "", trainMoves.top1, trainMoves.top3);
    std::printf("%-12s held-out open positions (no proven value): %zu, value loss fitted %.4f, search %.4f, hand %.4f\n",
                "", openRows[1].size(), valueLoss(m.values, openRows[1], m.valueWeights),
                scaledLoss(m.searchValue, m.values.target, openRows[1], m.searchScale),
                scaledLoss(m.handValue, m.values.target, openRows[1], m.handScale));
    if (fitNet)
      std::printf("%-12s base (%s): held-out open positions %.4f; with the net of width %d: train %.4f, held-out open %.4f\n",
                  "", o.netBaseFrom ? o.netBaseFrom : "this fit", residualLoss(m.values, openRows[1], base, ResidualNet{}),
                  net.width, residualLoss(m.values, valueRows, base, net), residualLoss(m.values, openRows[1], base, net));
    if (o.valuesFrom) {
      // The kept tables on the same rows, through a line-searched scale of
      // their own: what the new fit is measured against.
      const std::vector<float> keptStatic = linearValues(m.values, keptWeights(keptValues, mi));
      const double keptScale = lineSearchScale(keptStatic, m.values.target, valueRows, 1e-6, 1.0);
      std::printf("%-12s held-out open positions: value loss of the kept tables %.4f (K %.2e)\n", "",
                  scaledLoss(keptStatic, m.values.target, openRows[1], keptScale), keptScale);
    }
    std::fflush(stdout);
  }
  if (o.netOut) {
    std::string header = commandAndData(o, argc, argv, positions);
    header += "\n//\n// The value tables under it: " + std::string(o.netBaseFrom ? o.netBaseFrom : o.out ? o.out : "(not written)") + "\n";
    if (!writeNetSource(o.netOut, header, netSource)) {
      std::perror(o.netOut);
      return 1;
    }
  }
  if (o.out) writeTables(o, models, argc, argv, positions, keptHeader, o.valuesFrom ? &keptValues : nullptr, keptValuesHeader);
  delete pos;
  delete tables;
  return 0;
}
