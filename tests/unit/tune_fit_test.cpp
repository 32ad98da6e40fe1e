// The fitter recovers known tables: synthetic samples are drawn from a value
// table and a pair of move tables chosen at random, and the fits must get
// the tables back, and the line search the scale that made the data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "board/learned_net.h"
#include "board/learned_tables.h"
#include "tune_fit.h"

namespace {

double sigmoid(double s) { return 1.0 / (1.0 + std::exp(-s)); }

}  // namespace

// Samples of a few features each with small counts, as code counts are, and
// soft targets from known weights: the loss is smallest exactly there.
struct SyntheticValues {
  static constexpr int WEIGHTS = 12, SAMPLES = 4000;
  std::vector<double> truth = std::vector<double>(WEIGHTS);
  ValueSet set;
  std::vector<uint32_t> rows;
  SyntheticValues() {
    std::mt19937 rng(22);
    std::uniform_real_distribution<double> weight(-1.0, 1.0);
    for (double& w : truth) w = weight(rng);
    for (int i = 0; i < SAMPLES; i++) {
      double s = 0;
      for (int id = 0; id < WEIGHTS; id++) {
        if (rng() % 3) continue;
        const float count = static_cast<float>(1 + rng() % 3);
        set.features.push_back({static_cast<uint32_t>(id), count});
        s += truth[id] * count;
      }
      set.offsets.push_back(static_cast<uint32_t>(set.features.size()));
      set.target.push_back(static_cast<float>(sigmoid(s)));
      rows.push_back(static_cast<uint32_t>(i));
    }
  }
  double worstError(const std::vector<double>& w) const {
    double worst = 0;
    for (int id = 0; id < WEIGHTS; id++) worst = std::max(worst, std::fabs(w[id] - truth[id]));
    return worst;
  }
};

TEST(TuneFit, LogisticRegressionRecoversKnownWeights) {
  const SyntheticValues data;
  std::vector<double> w(SyntheticValues::WEIGHTS, 0.0);
  fitValue(data.set, data.rows, w, FitOptions{1500, 0.05, 0.0});
  for (int id = 0; id < SyntheticValues::WEIGHTS; id++) EXPECT_NEAR(w[id], data.truth[id], 0.03) << "weight " << id;
  EXPECT_LT(valueLoss(data.set, data.rows, w), valueLoss(data.set, data.rows, std::vector<double>(SyntheticValues::WEIGHTS, 0.0)));
}

TEST(TuneFit, AFallingRateSettlesWhereAConstantOneKeepsCircling) {
  // Three features counted about a hundred times in every sample, nearly
  // together (as the empty cells' codes of nothing and the pair of two such
  // classes are), and a few small ones. Near the optimum the gradients vanish,
  // Adam's second-moment estimate decays with them and, at a constant rate, its
  // steps grow again until they throw the fit off along the direction the
  // large features share; with the rate falling along a half cosine the fit
  // settles, whatever the count of epochs.
  constexpr int WEIGHTS = 8, SAMPLES = 3000;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> weight(-0.5, 0.5);
  std::vector<double> truth(WEIGHTS);
  for (double& w : truth) w = weight(rng);
  for (int id = 0; id < 3; id++) truth[id] /= 100;
  ValueSet set;
  std::vector<uint32_t> rows;
  for (int i = 0; i < SAMPLES; i++) {
    double s = 0;
    const int empties = 80 + static_cast<int>(rng() % 40);
    for (int id = 0; id < WEIGHTS; id++) {
      const float count = id < 3 ? static_cast<float>(empties - static_cast<int>(rng() % 4)) : static_cast<float>(rng() % 3);
      if (count == 0) continue;
      set.features.push_back({static_cast<uint32_t>(id), count});
      s += truth[id] * count;
    }
    set.offsets.push_back(static_cast<uint32_t>(set.features.size()));
    set.target.push_back(static_cast<float>(sigmoid(s)));
    rows.push_back(static_cast<uint32_t>(i));
  }
  const double best = valueLoss(set, rows, truth);
  for (int epochs : {600, 800, 1200}) {
    FitOptions options{epochs, 0.05, 0.0};
    std::vector<double> constant(WEIGHTS, 0.0), falling(WEIGHTS, 0.0);
    fitValue(set, rows, constant, options);
    options.decay = true;
    fitValue(set, rows, falling, options);
    EXPECT_LT(valueLoss(set, rows, falling), best + 1e-4) << epochs << " epochs";
    EXPECT_GT(valueLoss(set, rows, constant), best + 3e-3) << epochs << " epochs";
  }
}

TEST(TuneFit, SoftmaxRecoversKnownMoveTables) {
  constexpr int CODES = 8, SAMPLES = 12000;
  std::mt19937 rng(23);
  std::uniform_real_distribution<double> weight(-1.5, 1.5);
  std::vector<double> attack(CODES), block(CODES);
  for (int c = 0; c < CODES; c++) {
    attack[c] = weight(rng);
    block[c] = weight(rng);
  }
  MoveSet set;
  std::vector<uint32_t> rows;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (int i = 0; i < SAMPLES; i++) {
    const int cells = 3 + static_cast<int>(rng() % 8);
    const uint16_t nulls = static_cast<uint16_t>(rng() % 4);
    std::vector<double> p;
    double z = nulls * std::exp(attack[0] + block[0]);
    for (int j = 0; j < cells; j++) {
      // Candidates never have both codes 0: those are the null cells.
      uint16_t a = static_cast<uint16_t>(rng() % CODES), b = static_cast<uint16_t>(rng() % CODES);
      if (a == 0 && b == 0) a = 1;
      set.candidates.push_back({a, b});
      p.push_back(std::exp(attack[a] + block[b]));
      z += p.back();
    }
    // The played move drawn from the true distribution.
    double u = unit(rng) * z;
    int32_t played = -1;
    for (int j = 0; j < cells && played < 0; j++) {
      if (u < p[j]) played = j;
      u -= p[j];
    }
    set.offsets.push_back(static_cast<uint32_t>(set.candidates.size()));
    set.played.push_back(played);
    set.nullCount.push_back(nulls);
    rows.push_back(static_cast<uint32_t>(i));
  }
  std::vector<double> fitAttack(CODES, 0.0), fitBlock(CODES, 0.0);
  fitMoves(set, rows, fitAttack, fitBlock, FitOptions{800, 0.05, 0.0});
  // Scores are defined up to a constant moved between the two tables and a
  // constant added to both: compare differences from code 0.
  for (int c = 1; c < CODES; c++) {
    EXPECT_NEAR(fitAttack[c] - fitAttack[0], attack[c] - attack[0], 0.15) << "attack " << c;
    EXPECT_NEAR(fitBlock[c] - fitBlock[0], block[c] - block[0], 0.15) << "block " << c;
  }
  // The true tables predict better than none, and the fit at least as well
  // as the truth on its own data.
  const MoveStats fitted = moveStats(set, rows, fitAttack, fitBlock);
  const MoveStats known = moveStats(set, rows, attack, block);
  const MoveStats flat = moveStats(set, rows, std::vector<double>(CODES, 0.0), std::vector<double>(CODES, 0.0));
  EXPECT_LE(fitted.loss, known.loss + 1e-6);
  EXPECT_LT(known.loss, flat.loss);
  EXPECT_GT(fitted.top3, fitted.top1);
}

TEST(TuneFit, LineSearchFindsTheScaleOfTheData) {
  std::mt19937 rng(24);
  std::normal_distribution<double> value(0.0, 400.0);
  const double scale = 0.0037;
  std::vector<float> x, y;
  std::vector<uint32_t> rows;
  for (int i = 0; i < 5000; i++) {
    x.push_back(static_cast<float>(value(rng)));
    y.push_back(static_cast<float>(sigmoid(scale * x.back())));
    rows.push_back(static_cast<uint32_t>(i));
  }
  EXPECT_NEAR(lineSearchScale(x, y, rows, 1e-6, 1.0), scale, scale * 0.01);
}

// The generated source written and read back gives the same numbers, and the
// tables compiled into the engine are exactly those of the generated file in
// the tree, so that what its header names is what the engine plays with.
TEST(TuneFit, GeneratedTablesRoundTrip) {
  std::mt19937 rng(2022);
  std::uniform_int_distribution<int> number(-32000, 32000);
  TableSource written;
  written.value.resize(size_t{LEARNED_MODELS} * 2 * FOLDED_CODES);
  written.situation.resize(size_t{LEARNED_MODELS} * THREAT_SITUATIONS);
  written.attack.resize(size_t{LEARNED_MODELS} * FOLDED_CODES);
  written.block.resize(size_t{LEARNED_MODELS} * FOLDED_CODES);
  written.joint.resize(size_t{LEARNED_MODELS} * JOINT_CLASSES * JOINT_CLASSES);
  for (auto* table : {&written.value, &written.situation, &written.attack, &written.block, &written.joint})
    for (int16_t& v : *table) v = static_cast<int16_t>(number(rng));
  const std::string path = testing::TempDir() + "ruvan_tables_roundtrip.cpp";
  ASSERT_TRUE(writeTableSource(path.c_str(), "//\n// Command: test\n", written));
  TableSource read;
  ASSERT_TRUE(readTableSource(path.c_str(), read));
  EXPECT_EQ(read.value, written.value);
  EXPECT_EQ(read.situation, written.situation);
  EXPECT_EQ(read.attack, written.attack);
  EXPECT_EQ(read.block, written.block);
  EXPECT_EQ(read.joint, written.joint);
  // A source written before the pair table existed (its last array) reads
  // with that table all zeros, as the engine played then; the others stay.
  {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = text.find("\nconst int16_t learnedJointValue");
    ASSERT_NE(at, std::string::npos);
    std::ofstream(path) << text.substr(0, at + 1);
  }
  TableSource older;
  ASSERT_TRUE(readTableSource(path.c_str(), older));
  EXPECT_EQ(older.block, written.block);
  EXPECT_EQ(older.joint, std::vector<int16_t>(written.joint.size(), 0));
  // A table of the wrong size is refused, not written short.
  written.block.pop_back();
  EXPECT_FALSE(writeTableSource(path.c_str(), "", written));
  std::remove(path.c_str());

  TableSource tree;
  ASSERT_TRUE(readTableSource(RUVAN_SOURCE_DIR "/src/board/learned_tables.cpp", tree));
  for (int m = 0; m < LEARNED_MODELS; m++) {
    for (int side = 0; side < 2; side++)
      for (int c = 0; c < FOLDED_CODES; c++)
        ASSERT_EQ(learnedValue[m][side][c], tree.value[(m * 2 + side) * FOLDED_CODES + c]) << m << " " << side << " " << c;
    for (int s = 0; s < THREAT_SITUATIONS; s++) ASSERT_EQ(learnedSituation[m][s], tree.situation[m * THREAT_SITUATIONS + s]);
    for (int c = 0; c < FOLDED_CODES; c++) {
      ASSERT_EQ(learnedAttack[m][c], tree.attack[m * FOLDED_CODES + c]);
      ASSERT_EQ(learnedBlock[m][c], tree.block[m * FOLDED_CODES + c]);
    }
    for (int i = 0; i < JOINT_CLASSES * JOINT_CLASSES; i++)
      ASSERT_EQ(learnedJointValue[m][i], tree.joint[m * JOINT_CLASSES * JOINT_CLASSES + i]);
  }
}

// A target no sum of independent weights can give: the value is high when
// exactly one of two features is present (either, not both). The linear fit
// stays near the middle; the network on top of it must find the interaction.
TEST(TuneFit, ResidualNetworkLearnsWhatTheLinearValueCannot) {
  std::mt19937 rng(31);
  ValueSet set;
  std::vector<uint32_t> rows;
  for (int i = 0; i < 3000; i++) {
    const bool a = rng() % 2, b = rng() % 2;
    if (a) set.features.push_back({0, 1.0f});
    if (b) set.features.push_back({1, 1.0f});
    set.features.push_back({2, static_cast<float>(1 + rng() % 4)});   // noise the value ignores
    set.offsets.push_back(static_cast<uint32_t>(set.features.size()));
    set.target.push_back(static_cast<float>(sigmoid(a != b ? 2.0 : -2.0)));
    rows.push_back(static_cast<uint32_t>(i));
  }
  std::vector<double> w(3, 0.0);
  fitValue(set, rows, w, FitOptions{800, 0.05, 0.0});
  const std::vector<float> base = linearValues(set, w);
  ResidualNet net;
  NetOptions o;
  o.width = 8;
  o.epochs = 60;
  o.batch = 64;
  o.rate = 0.01;
  o.l2 = 0;
  fitResidual(set, rows, base, 3, net, o);
  const double linear = residualLoss(set, rows, base, ResidualNet{});
  const double fitted = residualLoss(set, rows, base, net);
  // The best possible loss is the targets' own entropy, 0.127 here.
  double entropy = 0;
  for (uint32_t i : rows) {
    const double p = set.target[i];
    entropy -= (p * std::log(p) + (1 - p) * std::log(1 - p)) / rows.size();
  }
  EXPECT_GT(linear, entropy + 0.3);
  EXPECT_LT(fitted, entropy + 0.02);
  // The same data and seed give the same network.
  ResidualNet again;
  fitResidual(set, rows, base, 3, again, o);
  EXPECT_EQ(again.hidden, net.hidden);
  EXPECT_EQ(again.out, net.out);
}

TEST(TuneFit, GeneratedNetworkRoundTrip) {
  std::mt19937 rng(2026);
  std::uniform_int_distribution<int> number(-32000, 32000);
  NetSource written = emptyNetSource();
  // Model 1 all zero (written as empty braces), the others random with zero
  // runs inside, as the fitter leaves codes that no position has.
  for (auto* table : {&written.cell, &written.situation, &written.bias, &written.out, &written.outBias}) {
    const size_t perModel = table->size() / LEARNED_MODELS;
    for (size_t i = 0; i < table->size(); i++)
      if (i / perModel != 1 && rng() % 4) (*table)[i] = number(rng);
  }
  const std::string path = testing::TempDir() + "ruvan_net_roundtrip.cpp";
  ASSERT_TRUE(writeNetSource(path.c_str(), "//\n// Command: test\n", written));
  NetSource read;
  ASSERT_TRUE(readNetSource(path.c_str(), read));
  EXPECT_EQ(read.cell, written.cell);
  EXPECT_EQ(read.situation, written.situation);
  EXPECT_EQ(read.bias, written.bias);
  EXPECT_EQ(read.out, written.out);
  EXPECT_EQ(read.outBias, written.outBias);
  written.out.pop_back();
  EXPECT_FALSE(writeNetSource(path.c_str(), "", written));
  std::remove(path.c_str());

  // The tree's source is what the engine was compiled with.
  NetSource tree;
  ASSERT_TRUE(readNetSource(RUVAN_SOURCE_DIR "/src/board/learned_net.cpp", tree));
  for (int m = 0; m < LEARNED_MODELS; m++) {
    for (int r = 0; r < 2; r++)
      for (int c = 0; c < FOLDED_CODES; c++)
        for (int h = 0; h < NET_WIDTH; h++)
          ASSERT_EQ(learnedNetCell[m][r][c][h], tree.cell[((m * 2 + r) * FOLDED_CODES + c) * NET_WIDTH + h]);
    for (int s = 0; s < THREAT_SITUATIONS; s++)
      for (int h = 0; h < NET_WIDTH; h++)
        ASSERT_EQ(learnedNetSituation[m][s][h], tree.situation[(m * THREAT_SITUATIONS + s) * NET_WIDTH + h]);
    for (int h = 0; h < NET_WIDTH; h++) {
      ASSERT_EQ(learnedNetBias[m][h], tree.bias[m * NET_WIDTH + h]);
      ASSERT_EQ(learnedNetOut[m][h], tree.out[m * NET_WIDTH + h]);
    }
    ASSERT_EQ(learnedNetOutBias[m], tree.outBias[m]);
  }
}
