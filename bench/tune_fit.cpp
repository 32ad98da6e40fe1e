#include "tune_fit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "board/learned_net.h"
#include "board/learned_tables.h"

namespace {

constexpr double BETA1 = 0.9;
constexpr double BETA2 = 0.999;
constexpr double ADAM_EPSILON = 1e-8;
constexpr double PROBABILITY_FLOOR = 1e-12;

double sigmoid(double s) { return 1.0 / (1.0 + std::exp(-s)); }

double logLoss(double p, double y) {
  p = std::min(std::max(p, PROBABILITY_FLOOR), 1.0 - PROBABILITY_FLOOR);
  return -(y * std::log(p) + (1.0 - y) * std::log(1.0 - p));
}

// One Adam step over every weight with the batch gradient g.
struct Adam {
  std::vector<double> m, v;
  int t = 0;
  void step(std::vector<double>& w, const std::vector<double>& g, double rate) {
    if (m.size() != w.size()) {
      m.assign(w.size(), 0.0);
      v.assign(w.size(), 0.0);
    }
    t++;
    const double c1 = 1.0 - std::pow(BETA1, t), c2 = 1.0 - std::pow(BETA2, t);
    for (size_t i = 0; i < w.size(); i++) {
      m[i] = BETA1 * m[i] + (1 - BETA1) * g[i];
      v[i] = BETA2 * v[i] + (1 - BETA2) * g[i] * g[i];
      w[i] -= rate * (m[i] / c1) / (std::sqrt(v[i] / c2) + ADAM_EPSILON);
    }
  }
};

// The step size of an epoch: constant, or with FitOptions::decay falling
// along a half cosine to zero. At a constant rate, once the gradients near
// the optimum vanish Adam's second-moment estimate decays with them and its
// steps grow again, so that the fit of real data wanders off the optimum in
// its late epochs (the held-out loss of one data set moved by 0.01 to 0.02
// between 400 and 1,200 epochs); the falling rate lets it settle.
constexpr double PI = 3.141592653589793;
double rateAt(const FitOptions& o, int epoch) {
  if (!o.decay || o.epochs <= 0) return o.rate;
  return o.rate * 0.5 * (1 + std::cos(PI * epoch / o.epochs));
}

double dot(const ValueSet& set, uint32_t i, const std::vector<double>& w) {
  double s = 0;
  for (uint32_t j = set.offsets[i]; j < set.offsets[i + 1]; j++) s += w[set.features[j].id] * set.features[j].count;
  return s;
}

}  // namespace

std::vector<float> linearValues(const ValueSet& set, const std::vector<double>& w) {
  std::vector<float> x(set.size());
  for (size_t i = 0; i < x.size(); i++) x[i] = static_cast<float>(dot(set, static_cast<uint32_t>(i), w));
  return x;
}

double valueLoss(const ValueSet& set, const std::vector<uint32_t>& rows, const std::vector<double>& w, double scale) {
  double sum = 0;
  for (uint32_t i : rows) sum += logLoss(sigmoid(scale * dot(set, i, w)), set.target[i]);
  return rows.empty() ? 0 : sum / rows.size();
}

void fitValue(const ValueSet& set, const std::vector<uint32_t>& rows, std::vector<double>& w, const FitOptions& o) {
  Adam adam;
  std::vector<double> g(w.size());
  const double n = static_cast<double>(std::max<size_t>(rows.size(), 1));
  for (int epoch = 0; epoch < o.epochs; epoch++) {
    std::fill(g.begin(), g.end(), 0.0);
    for (uint32_t i : rows) {
      const double e = sigmoid(dot(set, i, w)) - set.target[i];
      for (uint32_t j = set.offsets[i]; j < set.offsets[i + 1]; j++) g[set.features[j].id] += e * set.features[j].count;
    }
    for (size_t k = 0; k < w.size(); k++) g[k] = g[k] / n + 2 * o.l2 * w[k];
    adam.step(w, g, rateAt(o, epoch));
  }
}

namespace {

// Softmax over a sample's cells: fills prob with the candidates'
// probabilities, returns the null cells' total probability and adds the
// sample's cross-entropy to loss.
double softmaxSample(const MoveSet& set, uint32_t i, const std::vector<double>& attack,
                     const std::vector<double>& block, std::vector<double>& prob, double& loss) {
  const uint32_t a = set.offsets[i], b = set.offsets[i + 1];
  const double nullScore = attack[0] + block[0];
  double top = set.nullCount[i] > 0 ? nullScore : -1e300;
  prob.resize(b - a);
  for (uint32_t j = a; j < b; j++) {
    prob[j - a] = attack[set.candidates[j].attack] + block[set.candidates[j].block];
    top = std::max(top, prob[j - a]);
  }
  double z = set.nullCount[i] * std::exp(nullScore - top);
  for (double& p : prob) z += (p = std::exp(p - top));
  for (double& p : prob) p /= z;
  const double nullShare = set.nullCount[i] * std::exp(nullScore - top) / z;
  const double playedProb = set.played[i] >= 0 ? prob[set.played[i]] : nullShare / std::max<int>(set.nullCount[i], 1);
  loss += -std::log(std::max(playedProb, PROBABILITY_FLOOR));
  return nullShare;
}

}  // namespace

MoveStats moveStats(const MoveSet& set, const std::vector<uint32_t>& rows, const std::vector<double>& attack,
                    const std::vector<double>& block) {
  MoveStats s;
  std::vector<double> prob;
  for (uint32_t i : rows) {
    softmaxSample(set, i, attack, block, prob, s.loss);
    const uint32_t a = set.offsets[i], b = set.offsets[i + 1];
    const double nullScore = attack[0] + block[0];
    const double mine = set.played[i] >= 0
                            ? attack[set.candidates[a + set.played[i]].attack] + block[set.candidates[a + set.played[i]].block]
                            : nullScore;
    // Cells that score at least as high as the move, the move itself aside.
    int64_t ahead = 0;
    for (uint32_t j = a; j < b; j++)
      if (static_cast<int32_t>(j - a) != set.played[i] &&
          attack[set.candidates[j].attack] + block[set.candidates[j].block] >= mine)
        ahead++;
    if (nullScore >= mine) ahead += set.nullCount[i] - (set.played[i] < 0 ? 1 : 0);
    s.top1 += ahead < 1;
    s.top3 += ahead < 3;
  }
  const double n = static_cast<double>(std::max<size_t>(rows.size(), 1));
  s.loss /= n;
  s.top1 /= n;
  s.top3 /= n;
  return s;
}

void fitMoves(const MoveSet& set, const std::vector<uint32_t>& rows, std::vector<double>& attack,
              std::vector<double>& block, const FitOptions& o) {
  // attack and block as one weight vector for the optimiser.
  const size_t codes = attack.size();
  std::vector<double> w(2 * codes), g(2 * codes), prob;
  std::copy(attack.begin(), attack.end(), w.begin());
  std::copy(block.begin(), block.end(), w.begin() + codes);
  Adam adam;
  const double n = static_cast<double>(std::max<size_t>(rows.size(), 1));
  for (int epoch = 0; epoch < o.epochs; epoch++) {
    std::copy(w.begin(), w.begin() + codes, attack.begin());
    std::copy(w.begin() + codes, w.end(), block.begin());
    std::fill(g.begin(), g.end(), 0.0);
    double loss = 0;
    for (uint32_t i : rows) {
      const double nullShare = softmaxSample(set, i, attack, block, prob, loss);
      const uint32_t a = set.offsets[i], b = set.offsets[i + 1];
      // d loss / d score = probability - (1 for the played cell).
      for (uint32_t j = a; j < b; j++) {
        const double d = prob[j - a] - (static_cast<int32_t>(j - a) == set.played[i] ? 1.0 : 0.0);
        g[set.candidates[j].attack] += d;
        g[codes + set.candidates[j].block] += d;
      }
      const double dn = nullShare - (set.played[i] < 0 ? 1.0 : 0.0);
      g[0] += dn;
      g[codes] += dn;
    }
    for (size_t k = 0; k < w.size(); k++) g[k] = g[k] / n + 2 * o.l2 * w[k];
    adam.step(w, g, rateAt(o, epoch));
  }
  std::copy(w.begin(), w.begin() + codes, attack.begin());
  std::copy(w.begin() + codes, w.end(), block.begin());
}

double scaledLoss(const std::vector<float>& x, const std::vector<float>& y, const std::vector<uint32_t>& rows,
                  double scale) {
  double sum = 0;
  for (uint32_t i : rows) sum += logLoss(sigmoid(scale * x[i]), y[i]);
  return rows.empty() ? 0 : sum / rows.size();
}

double lineSearchScale(const std::vector<float>& x, const std::vector<float>& y, const std::vector<uint32_t>& rows,
                       double minScale, double maxScale) {
  // The loss is convex in K, so golden-section search finds its minimum.
  const double phi = (std::sqrt(5.0) - 1) / 2;
  double lo = std::log(minScale), hi = std::log(maxScale);
  double a = hi - phi * (hi - lo), b = lo + phi * (hi - lo);
  double fa = scaledLoss(x, y, rows, std::exp(a)), fb = scaledLoss(x, y, rows, std::exp(b));
  for (int iteration = 0; iteration < 60; iteration++) {
    if (fa < fb) {
      hi = b;
      b = a;
      fb = fa;
      a = hi - phi * (hi - lo);
      fa = scaledLoss(x, y, rows, std::exp(a));
    } else {
      lo = a;
      a = b;
      fa = fb;
      b = lo + phi * (hi - lo);
      fb = scaledLoss(x, y, rows, std::exp(b));
    }
  }
  return std::exp((lo + hi) / 2);
}

namespace {

struct TableShape {
  const char* declaration;
  std::vector<int16_t> TableSource::*field;
  size_t size;
  // A source written before the table existed reads as zeros for it, which
  // is what the engine played with then.
  bool optional;
};

const TableShape TABLE_SHAPES[5] = {
    {"const int16_t learnedValue[LEARNED_MODELS][2][FOLDED_CODES] = {", &TableSource::value,
     size_t{LEARNED_MODELS} * 2 * FOLDED_CODES, false},
    {"const int16_t learnedSituation[LEARNED_MODELS][THREAT_SITUATIONS] = {", &TableSource::situation,
     size_t{LEARNED_MODELS} * THREAT_SITUATIONS, false},
    {"const int16_t learnedAttack[LEARNED_MODELS][FOLDED_CODES] = {", &TableSource::attack,
     size_t{LEARNED_MODELS} * FOLDED_CODES, false},
    {"const int16_t learnedBlock[LEARNED_MODELS][FOLDED_CODES] = {", &TableSource::block,
     size_t{LEARNED_MODELS} * FOLDED_CODES, false},
    {"const int16_t learnedJointValue[LEARNED_MODELS][JOINT_CLASSES * JOINT_CLASSES] = {", &TableSource::joint,
     size_t{LEARNED_MODELS} * JOINT_CLASSES * JOINT_CLASSES, true},
};

}  // namespace

bool writeTableSource(const char* path, const std::string& header, const TableSource& t) {
  for (const TableShape& shape : TABLE_SHAPES)
    if ((t.*shape.field).size() != shape.size) return false;
  std::FILE* f = std::fopen(path, "w");
  if (!f) return false;
  std::fprintf(f, "// Generated by ruvan-tune: do not edit.\n%s#include \"board/learned_tables.h\"\n", header.c_str());
  for (const TableShape& shape : TABLE_SHAPES) {
    const std::vector<int16_t>& v = t.*shape.field;
    // One brace group per model (and per side of the value tables).
    const size_t inner = shape.field == &TableSource::value ? FOLDED_CODES : shape.size / LEARNED_MODELS;
    const bool nested = shape.field == &TableSource::value;
    std::fprintf(f, "\n%s\n", shape.declaration);
    for (size_t m = 0; m < LEARNED_MODELS; m++) {
      std::fprintf(f, "  {");
      for (size_t side = 0; side < (nested ? 2u : 1u); side++) {
        if (nested) std::fprintf(f, "{");
        const size_t base = (m * (nested ? 2 : 1) + side) * inner;
        for (size_t c = 0; c < inner; c++) std::fprintf(f, "%s%d", c == 0 ? "\n    " : c % 24 ? "," : ",\n    ", v[base + c]);
        if (nested) std::fprintf(f, "},");
      }
      std::fprintf(f, "},\n");
    }
    std::fprintf(f, "};\n");
  }
  return std::fclose(f) == 0;
}

namespace {

// The whole of a text file; false when it cannot be opened.
bool readText(const char* path, std::string& text) {
  std::FILE* f = std::fopen(path, "r");
  if (!f) return false;
  text.clear();
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
  std::fclose(f);
  return true;
}

}  // namespace

bool readTableSource(const char* path, TableSource& t) {
  std::string text;
  if (!readText(path, text)) return false;
  for (const TableShape& shape : TABLE_SHAPES) {
    std::vector<int16_t>& v = t.*shape.field;
    v.clear();
    size_t at = text.find(shape.declaration);
    if (at == std::string::npos && shape.optional) {
      v.assign(shape.size, 0);
      continue;
    }
    if (at == std::string::npos) return false;
    at += std::strlen(shape.declaration);
    const size_t end = text.find("};", at);
    if (end == std::string::npos) return false;
    // The numbers between the declaration and its closing brace.
    for (size_t i = at; i < end;) {
      const char c = text[i];
      if (c == '-' || (c >= '0' && c <= '9')) {
        char* stop = nullptr;
        const long n = std::strtol(text.c_str() + i, &stop, 10);
        if (n < INT16_MIN || n > INT16_MAX) return false;
        v.push_back(static_cast<int16_t>(n));
        i = static_cast<size_t>(stop - text.c_str());
      } else {
        i++;
      }
    }
    if (v.size() != shape.size) return false;
  }
  return true;
}

namespace {

int64_t netInput(const ResidualNet& net, uint32_t id) {
  if (id >= net.inputs) return -1;
  return net.inputOf.empty() ? int64_t{id} : net.inputOf[id];
}

// Hidden activations of sample i before the ReLU.
void residualHidden(const ValueSet& set, uint32_t i, const ResidualNet& net, std::vector<double>& a) {
  a.assign(net.bias.begin(), net.bias.end());
  for (uint32_t j = set.offsets[i]; j < set.offsets[i + 1]; j++) {
    const int64_t input = netInput(net, set.features[j].id);
    if (input < 0) continue;
    const double c = set.features[j].count / ResidualNet::INPUT_SCALE;
    const double* w = &net.hidden[static_cast<size_t>(input) * net.width];
    for (int h = 0; h < net.width; h++) a[h] += w[h] * c;
  }
}

}  // namespace

double residualLogit(const ValueSet& set, uint32_t i, const std::vector<float>& base, const ResidualNet& net) {
  std::vector<double> a;
  residualHidden(set, i, net, a);
  double z = base[i] + net.outBias;
  for (int h = 0; h < net.width; h++) z += net.out[h] * std::max(0.0, a[h]);
  return z;
}

double residualLoss(const ValueSet& set, const std::vector<uint32_t>& rows, const std::vector<float>& base,
                    const ResidualNet& net) {
  double sum = 0;
  for (uint32_t i : rows) sum += logLoss(sigmoid(residualLogit(set, i, base, net)), set.target[i]);
  return rows.empty() ? 0 : sum / rows.size();
}

void fitResidual(const ValueSet& set, const std::vector<uint32_t>& rows, const std::vector<float>& base,
                 size_t features, ResidualNet& net, const NetOptions& o) {
  const int H = o.width;
  net.width = H;
  net.inputs = o.inputs;
  net.inputOf = o.inputOf;
  if (!o.inputOf.empty()) features = static_cast<size_t>(*std::max_element(o.inputOf.begin(), o.inputOf.end()) + 1);
  uint64_t state = 0x9E3779B97F4A7C15ull ^ o.seed;
  auto next = [&state]() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  auto uniform = [&next]() { return (next() >> 11) * (1.0 / 9007199254740992.0); };
  net.hidden.resize(features * H);
  for (double& w : net.hidden) w = (uniform() - 0.5) * 0.2;
  net.bias.assign(H, 0.1);
  net.out.resize(H);
  for (double& w : net.out) w = (uniform() - 0.5) * 0.2;
  net.outBias = 0;
  // One weight vector for Adam: hidden, bias, out, outBias.
  std::vector<double> w;
  w.insert(w.end(), net.hidden.begin(), net.hidden.end());
  w.insert(w.end(), net.bias.begin(), net.bias.end());
  w.insert(w.end(), net.out.begin(), net.out.end());
  w.push_back(0);
  const size_t biasAt = features * H, outAt = biasAt + H, outBiasAt = outAt + H;
  std::vector<double> g(w.size()), a(H);
  std::vector<uint32_t> order(rows);
  Adam adam;
  auto unpack = [&]() {
    std::copy(w.begin(), w.begin() + biasAt, net.hidden.begin());
    std::copy(w.begin() + biasAt, w.begin() + outAt, net.bias.begin());
    std::copy(w.begin() + outAt, w.begin() + outBiasAt, net.out.begin());
    net.outBias = w[outBiasAt];
  };
  std::vector<uint8_t> touched(features);
  std::vector<uint32_t> touchedList;
  for (int epoch = 0; epoch < o.epochs; epoch++) {
    for (size_t k = order.size(); k > 1; k--) std::swap(order[k - 1], order[next() % k]);
    const double rate = o.rate * 0.5 * (1 + std::cos(PI * epoch / o.epochs));
    for (size_t start = 0; start < order.size(); start += o.batch) {
      const size_t end = std::min(order.size(), start + o.batch);
      std::fill(g.begin(), g.end(), 0.0);
      for (size_t r = start; r < end; r++) {
        const uint32_t i = order[r];
        residualHidden(set, i, net, a);
        double z = base[i] + net.outBias;
        for (int h = 0; h < H; h++) z += net.out[h] * std::max(0.0, a[h]);
        const double e = sigmoid(z) - set.target[i];
        g[outBiasAt] += e;
        for (int h = 0; h < H; h++) {
          if (a[h] <= 0) continue;
          g[outAt + h] += e * a[h];
          const double d = e * net.out[h];
          g[biasAt + h] += d;
          for (uint32_t j = set.offsets[i]; j < set.offsets[i + 1]; j++) {
            const int64_t input = netInput(net, set.features[j].id);
            if (input >= 0) g[static_cast<size_t>(input) * H + h] += d * set.features[j].count / ResidualNet::INPUT_SCALE;
          }
        }
      }
      const double n = static_cast<double>(end - start);
      for (size_t k = 0; k < w.size(); k++) g[k] = g[k] / n + 2 * o.l2 * w[k];
      adam.step(w, g, rate);
      unpack();
    }
  }
}

namespace {

struct NetShape {
  const char* declaration;
  std::vector<int32_t> NetSource::*field;
  std::vector<size_t> dims;
};
const NetShape* netShapes() {
  static const NetShape shapes[] = {
      {"const int16_t learnedNetCell[LEARNED_MODELS][2][FOLDED_CODES][NET_WIDTH] = ", &NetSource::cell,
       {LEARNED_MODELS, 2, FOLDED_CODES, NET_WIDTH}},
      {"const int16_t learnedNetSituation[LEARNED_MODELS][THREAT_SITUATIONS][NET_WIDTH] = ", &NetSource::situation,
       {LEARNED_MODELS, THREAT_SITUATIONS, NET_WIDTH}},
      {"const int32_t learnedNetBias[LEARNED_MODELS][NET_WIDTH] = ", &NetSource::bias, {LEARNED_MODELS, NET_WIDTH}},
      {"const int32_t learnedNetOut[LEARNED_MODELS][NET_WIDTH] = ", &NetSource::out, {LEARNED_MODELS, NET_WIDTH}},
      {"const int32_t learnedNetOutBias[LEARNED_MODELS] = ", &NetSource::outBias, {LEARNED_MODELS}},
  };
  return shapes;
}
constexpr int NET_SHAPES = 5;

size_t shapeSize(const NetShape& s) {
  size_t n = 1;
  for (size_t d : s.dims) n *= d;
  return n;
}

// Nested braces for dims[level...], the innermost rows 32 numbers a line;
// an all-zero group is written as {} to keep the file small.
void printNested(std::FILE* f, const std::vector<int32_t>& v, const std::vector<size_t>& dims, size_t level,
                 size_t& at) {
  size_t count = 1;
  for (size_t l = level; l < dims.size(); l++) count *= dims[l];
  bool zero = true;
  for (size_t i = at; i < at + count && zero; i++) zero = v[i] == 0;
  if (zero) {
    std::fprintf(f, "{}");
    at += count;
    return;
  }
  std::fprintf(f, "{");
  if (level + 1 == dims.size()) {
    for (size_t i = 0; i < count; i++) std::fprintf(f, "%s%d", i == 0 ? "" : ",", v[at++]);
  } else {
    for (size_t i = 0; i < dims[level]; i++) {
      if (i) std::fprintf(f, ",");
      if (level + 2 == dims.size()) std::fprintf(f, "\n");
      printNested(f, v, dims, level + 1, at);
    }
  }
  std::fprintf(f, "}");
}

}  // namespace

NetSource emptyNetSource() {
  NetSource n;
  for (int s = 0; s < NET_SHAPES; s++) (n.*netShapes()[s].field).assign(shapeSize(netShapes()[s]), 0);
  return n;
}

bool writeNetSource(const char* path, const std::string& header, const NetSource& n) {
  for (int s = 0; s < NET_SHAPES; s++)
    if ((n.*netShapes()[s].field).size() != shapeSize(netShapes()[s])) return false;
  std::FILE* f = std::fopen(path, "w");
  if (!f) return false;
  std::fprintf(f, "// Generated by ruvan-tune: do not edit.\n%s#include \"board/learned_net.h\"\n", header.c_str());
  for (int s = 0; s < NET_SHAPES; s++) {
    const NetShape& shape = netShapes()[s];
    std::fprintf(f, "\n%s", shape.declaration);
    size_t at = 0;
    printNested(f, n.*shape.field, shape.dims, 0, at);
    std::fprintf(f, ";\n");
  }
  return std::fclose(f) == 0;
}

bool readNetSource(const char* path, NetSource& n) {
  std::string text;
  if (!readText(path, text)) return false;
  for (int s = 0; s < NET_SHAPES; s++) {
    const NetShape& shape = netShapes()[s];
    size_t at = text.find(shape.declaration);
    if (at == std::string::npos) return false;
    at += std::strlen(shape.declaration);
    const size_t end = text.find(';', at);
    if (end == std::string::npos) return false;
    // Walk the braces: an empty group {} stands for its whole size in zeros.
    std::vector<int32_t>& v = n.*shape.field;
    v.clear();
    size_t depth = 0;
    for (size_t i = at; i < end;) {
      const char c = text[i];
      if (c == '{') {
        depth++;
        if (text[i + 1] == '}') {
          size_t count = 1;
          for (size_t l = depth - 1; l < shape.dims.size(); l++) count *= shape.dims[l];
          v.insert(v.end(), count, 0);
          depth--;
          i += 2;
          continue;
        }
        i++;
      } else if (c == '}') {
        depth--;
        i++;
      } else if (c == '-' || (c >= '0' && c <= '9')) {
        char* stop = nullptr;
        v.push_back(static_cast<int32_t>(std::strtol(text.c_str() + i, &stop, 10)));
        i = static_cast<size_t>(stop - text.c_str());
      } else {
        i++;
      }
    }
    if (v.size() != shapeSize(shape)) return false;
  }
  return true;
}
