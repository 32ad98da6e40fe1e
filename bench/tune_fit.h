// The fitting core of ruvan-tune: logistic regression of results on sparse
// feature counts, softmax cross-entropy over a position's cells, and the line
// search of a scale constant. Apart from the program so that a test can fit
// known tables on synthetic data.
//
// Both fits are full-batch Adam from zero weights with an L2 penalty: no
// randomness at all, so a fit is a function of its data and options. Rows to
// train on are given as a list of sample indices, which is how the held-out
// tenth stays out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SparseFeature {
  uint32_t id;
  float count;
};

// Value samples: sample i has features [offsets[i], offsets[i + 1]) and a
// target in [0, 1] (1 win, 0.5 draw, 0 loss for the side to move).
struct ValueSet {
  std::vector<uint32_t> offsets{0};
  std::vector<SparseFeature> features;
  std::vector<float> target;
  size_t size() const { return target.size(); }
};

// One candidate cell of a move sample: the mover's code there (attack) and
// the opponent's (block).
struct MoveCandidate {
  uint16_t attack, block;
};

// Move samples: sample i lists its candidates [offsets[i], offsets[i + 1]),
// plus nullCount[i] further cells whose codes are both 0 (they all score
// attack[0] + block[0], so they are kept as a count); played[i] is the index
// of the move among its candidates, or -1 when it was one of the null cells.
struct MoveSet {
  std::vector<uint32_t> offsets{0};
  std::vector<MoveCandidate> candidates;
  std::vector<int32_t> played;
  std::vector<uint16_t> nullCount;
  size_t size() const { return played.size(); }
};

struct FitOptions {
  int epochs = 300;
  double rate = 0.05;
  double l2 = 1e-6;   // per sample and weight
  bool decay = false;  // the rate falls along a half cosine to zero
};

// Mean log loss of sigmoid(scale * w . x) against the targets over the rows.
double valueLoss(const ValueSet& set, const std::vector<uint32_t>& rows, const std::vector<double>& w,
                 double scale = 1.0);
// w . x of every sample.
std::vector<float> linearValues(const ValueSet& set, const std::vector<double>& w);
// Fits w (sized by the caller) to minimise valueLoss + l2 |w|^2.
void fitValue(const ValueSet& set, const std::vector<uint32_t>& rows, std::vector<double>& w, const FitOptions& o);

struct MoveStats {
  double loss = 0;   // mean cross-entropy of the played move
  double top1 = 0;   // share of samples whose move scores above every other cell
  double top3 = 0;   // ... above all but at most two (ties count against)
};
MoveStats moveStats(const MoveSet& set, const std::vector<uint32_t>& rows, const std::vector<double>& attack,
                    const std::vector<double>& block);
void fitMoves(const MoveSet& set, const std::vector<uint32_t>& rows, std::vector<double>& attack,
              std::vector<double>& block, const FitOptions& o);

// The K in (0, maxScale] minimising the mean log loss of sigmoid(K x[i])
// against y[i] over the rows: golden-section search on log K.
double lineSearchScale(const std::vector<float>& x, const std::vector<float>& y, const std::vector<uint32_t>& rows,
                       double minScale, double maxScale);
double scaledLoss(const std::vector<float>& x, const std::vector<float>& y, const std::vector<uint32_t>& rows,
                  double scale);

// The generated source of the learned tables (src/board/learned_tables.cpp):
// a comment header, then the five arrays of board/learned_tables.h in order,
// 24 numbers a line. writeTableSource prints `header` (comment lines, each
// starting "// ") after the first line; readTableSource reads the numbers
// back from such a file, false when it cannot be read or a count is wrong.
struct TableSource {
  std::vector<int16_t> value;       // [model][side][code]
  std::vector<int16_t> situation;   // [model][situation]
  std::vector<int16_t> attack;      // [model][code]
  std::vector<int16_t> block;       // [model][code]
  std::vector<int16_t> joint;       // [model][mover's class][opponent's class]
};
bool writeTableSource(const char* path, const std::string& header, const TableSource& t);
bool readTableSource(const char* path, TableSource& t);

// A small network on top of a fitted linear value: the logit of sample i is
// base[i] + sum_h out[h] relu(bias[h] + sum_j hidden[id_j][h] count_j / INPUT_SCALE)
// + outBias. The linear tables stay as they are; the network learns what a
// sum of independent cell values cannot, the interactions of shapes.
struct ResidualNet {
  static constexpr double INPUT_SCALE = 8.0;
  int width = 0;
  uint32_t inputs = 0;          // features with an id below this feed the net
  // Input of each feature (the row of `hidden` it adds to), or none: several
  // features may share an input. Empty: each feature below `inputs` its own.
  std::vector<int32_t> inputOf;
  std::vector<double> hidden;   // [feature][width]
  std::vector<double> bias, out;
  double outBias = 0;
};
struct NetOptions {
  int width = 16;
  int epochs = 20;
  int batch = 256;
  double rate = 1e-3;
  double l2 = 1e-6;
  uint32_t seed = 1;
  uint32_t inputs = 0xFFFFFFFF;
  std::vector<int32_t> inputOf;   // as ResidualNet::inputOf
  NetOptions withWidth(int w) const {
    NetOptions o = *this;
    o.width = w;
    return o;
  }
};
// Fits the net by minibatch Adam (rows shuffled each epoch by a generator
// seeded from NetOptions::seed) towards the targets.
void fitResidual(const ValueSet& set, const std::vector<uint32_t>& rows, const std::vector<float>& base,
                 size_t features, ResidualNet& net, const NetOptions& o);
// The net's logit of sample i (base included).
double residualLogit(const ValueSet& set, uint32_t i, const std::vector<float>& base, const ResidualNet& net);
double residualLoss(const ValueSet& set, const std::vector<uint32_t>& rows, const std::vector<float>& base,
                    const ResidualNet& net);

// The generated source of the network (src/board/learned_net.cpp): a comment
// header, then the five arrays of board/learned_net.h in order, in the units
// that header gives. readNetSource reads the numbers back, false when the file
// cannot be read or a count is wrong.
struct NetSource {
  std::vector<int32_t> cell;        // [model][role][code][unit]
  std::vector<int32_t> situation;   // [model][situation][unit]
  std::vector<int32_t> bias;        // [model][unit]
  std::vector<int32_t> out;         // [model][unit]
  std::vector<int32_t> outBias;     // [model]
};
// An all-zero network (no model has one).
NetSource emptyNetSource();
bool writeNetSource(const char* path, const std::string& header, const NetSource& n);
bool readNetSource(const char* path, NetSource& n);
