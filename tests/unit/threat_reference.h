// A slow reference for the threat-sequence solver: the same question
// answered straight from the rules.
//
// It keeps its own copy of the stones and finds fives by walking them; it
// knows nothing of the engine's pattern values or threat-cell sets. Its
// attacker tries every empty cell and keeps those after which it has a five
// cell (a four) or a legal move to two five cells (a three). Its defender
// tries every legal move, so it needs no theory of which replies matter: a win
// it confirms is a real forced win. Under Renju it asks the engine's
// forbidden-point test whether Black may play a cell, with the engine board
// kept in step (light make and unmake) for that one question.
#pragma once

#include <algorithm>
#include <random>
#include <unordered_map>
#include <vector>

#include "board/board.h"

namespace testing_support {

struct RefMemo {
  int winAt = 1 << 20;  // smallest ply limit known to win
  int failAt = -1;      // largest ply limit known to fail
};

class ThreatReference {
 public:
  ThreatReference() {
    rule_ = TW.pos.builtRule;
    width_ = TW.pos.xExtent;
    height_ = TW.pos.yExtent;
    std::mt19937_64 rng(0x7e57ab1eu);
    key_ = 0;
    for (int x = 0; x < MAX_SIDE; x++)
      for (int y = 0; y < MAX_SIDE; y++) {
        cells_[x][y] = x < width_ && y < height_ ? TW.pos.board.cells[cellIndex(x, y)] : BLOCK;
        for (int k = 0; k < 3; k++) keys_[x][y][k] = rng();
        if (x < width_ && y < height_ && cells_[x][y] != EMPTY) key_ ^= keys_[x][y][cells_[x][y] - 1];
      }
  }

  // 1: `attacker`, to move, forces five within `plies` plies (its moves and
  // the defender's, the five included); 0: it cannot by threats; -1: the node
  // limit ran out first.
  int wins(int attacker, int plies, long nodeLimit = 3000000) {
    attacker_ = attacker;
    defender_ = attacker ^ 3;
    nodes_ = 0;
    nodeLimit_ = nodeLimit;
    overflow_ = false;
    memo_.clear();
    const bool won = attack(plies);
    if (overflow_) return -1;
    return won ? 1 : 0;
  }

  // True when the stone of `colour` on the empty (x, y) completes a winning five.
  bool makesFive(int x, int y, int colour) const {
    static const int dirs[4][2] = {{0, 1}, {1, 0}, {1, -1}, {1, 1}};
    for (const auto& d : dirs)
      if (fiveInLine(x, y, d[0], d[1], colour)) return true;
    return false;
  }

  bool hasFiveOnBoard() const {
    static const int dirs[4][2] = {{0, 1}, {1, 0}, {1, -1}, {1, 1}};
    for (int x = 0; x < width_; x++)
      for (int y = 0; y < height_; y++) {
        const int c = cells_[x][y];
        if (c != BLACK && c != WHITE) continue;
        for (const auto& d : dirs)
          if (fiveLength(1 + run(x, y, d[0], d[1], c) + run(x, y, -d[0], -d[1], c), c)) return true;
      }
    return false;
  }

  bool legal(int colour, int cell) const { return rule_ != RULE_RENJU || colour != BLACK || TW.pos.isForbidden(cell) == 0; }

  void place(int cell, int colour) {
    cells_[cellX(cell)][cellY(cell)] = colour;
    key_ ^= keys_[cellX(cell)][cellY(cell)][colour - 1];
    TW.pos.placeStoneLight(cell, colour);
  }

  void remove(int cell) {
    const int colour = cells_[cellX(cell)][cellY(cell)];
    cells_[cellX(cell)][cellY(cell)] = EMPTY;
    key_ ^= keys_[cellX(cell)][cellY(cell)][colour - 1];
    TW.pos.removeStoneLight(cell);
  }

  int at(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return BLOCK;
    return cells_[x][y];
  }

  // Cells where `colour` completes five now, at most `limit` of them.
  int fiveCells(int colour, int limit, int* first = nullptr) const {
    int n = 0;
    for (int x = 0; x < width_ && n < limit; x++)
      for (int y = 0; y < height_ && n < limit; y++)
        if (cells_[x][y] == EMPTY && makesFive(x, y, colour)) {
          if (n == 0 && first) *first = cellIndex(x, y);
          n++;
        }
    return n;
  }

  // The same questions for one node, with the colours set by wins().
  int attackAt(int plies) {
    nodes_ = 0;
    overflow_ = false;
    memo_.clear();
    const bool won = attack(plies);
    return overflow_ ? -1 : won ? 1 : 0;
  }
  int defendAt(int plies) {
    nodes_ = 0;
    overflow_ = false;
    memo_.clear();
    const bool won = defend(plies);
    return overflow_ ? -1 : won ? 1 : 0;
  }

  // Five cells of `colour` after its stone on the empty (x, y), when it had
  // none before: they all lie on the four lines through (x, y), each in the
  // line's own direction.
  int newFives(int x, int y, int colour) {
    static const int dirs[4][2] = {{0, 1}, {1, 0}, {1, -1}, {1, 1}};
    cells_[x][y] = colour;
    int n = 0;
    for (const auto& d : dirs)
      for (int k = -4; k <= 4; k++) {
        const int u = x + k * d[0], v = y + k * d[1];
        if (k != 0 && at(u, v) == EMPTY && fiveInLine(u, v, d[0], d[1], colour)) n++;
      }
    cells_[x][y] = EMPTY;
    return n;
  }

  // A legal move of `colour` to a straight four: two five cells on one line,
  // five apart, with the four stones between them (when it has no five cell).
  bool hasOpenFourMove(int colour) {
    static const int dirs[4][2] = {{0, 1}, {1, 0}, {1, -1}, {1, 1}};
    for (int x = 0; x < width_; x++)
      for (int y = 0; y < height_; y++) {
        if (cells_[x][y] != EMPTY) continue;
        cells_[x][y] = colour;
        bool straight = false;
        for (const auto& d : dirs) {
          int first = 99;
          for (int k = -4; k <= 4 && !straight; k++) {
            const int u = x + k * d[0], v = y + k * d[1];
            if (k == 0 || at(u, v) != EMPTY || !fiveInLine(u, v, d[0], d[1], colour)) continue;
            if (first != 99 && k - first == 5) straight = true;
            if (first == 99) first = k;
          }
        }
        cells_[x][y] = EMPTY;
        if (straight && legal(colour, cellIndex(x, y))) return true;
      }
    return false;
  }

  // A legal move of `colour` to two five cells, when it has no five cell.
  bool hasStraightFourMove(int colour) {
    for (int x = 0; x < width_; x++)
      for (int y = 0; y < height_; y++)
        if (cells_[x][y] == EMPTY && newFives(x, y, colour) >= 2 && legal(colour, cellIndex(x, y))) return true;
    return false;
  }

 private:
  int run(int x, int y, int dx, int dy, int colour) const {
    int n = 0;
    for (x += dx, y += dy; at(x, y) == colour; x += dx, y += dy) n++;
    return n;
  }

  bool exactFor(int colour) const { return rule_ == RULE_STANDARD || (rule_ == RULE_RENJU && colour == BLACK); }
  bool fiveLength(int n, int colour) const { return exactFor(colour) ? n == 5 : n >= 5; }

  bool fiveInLine(int x, int y, int dx, int dy, int colour) const {
    return fiveLength(1 + run(x, y, dx, dy, colour) + run(x, y, -dx, -dy, colour), colour);
  }

  bool tick() {
    if (++nodes_ > nodeLimit_) overflow_ = true;
    return overflow_;
  }

  RefMemo& memo(int kind) { return memo_[key_ ^ (kind ? 0x9e3779b97f4a7c15ull : 0)]; }

  bool attack(int plies) {
    if (tick()) return false;
    if (fiveCells(attacker_, 1) > 0) return plies >= 1;
    if (plies < 3) return false;
    {
      const RefMemo& m = memo(0);
      if (plies >= m.winAt) return true;
      if (plies <= m.failAt) return false;
    }
    int block = NO_CELL;
    const int threats = fiveCells(defender_, 2, &block);
    bool won = false;
    if (threats < 2) {
      std::vector<int> candidates;
      if (threats == 1) {
        candidates.push_back(block);
      } else {
        if (hasStraightFourMove(attacker_)) {
          won = true;
        } else {
          for (int x = 0; x < width_; x++)
            for (int y = 0; y < height_; y++)
              if (cells_[x][y] == EMPTY) candidates.push_back(cellIndex(x, y));
        }
      }
      for (size_t i = 0; i < candidates.size() && !won && !overflow_; i++) {
        const int c = candidates[i];
        if (!legal(attacker_, c)) continue;
        const bool four = newFives(cellX(c), cellY(c), attacker_) > 0;
        if (!four && plies < 5) continue;
        place(c, attacker_);
        const bool threat = four || hasStraightFourMove(attacker_);
        if (threat) won = defend(plies - 1);
        remove(c);
      }
    }
    if (overflow_) return false;
    RefMemo& m = memo(0);
    if (won)
      m.winAt = std::min(m.winAt, plies);
    else
      m.failAt = std::max(m.failAt, plies);
    return won;
  }

  bool defend(int plies) {
    if (tick()) return false;
    if (plies < 2) return false;
    {
      const RefMemo& m = memo(1);
      if (plies >= m.winAt) return true;
      if (plies <= m.failAt) return false;
    }
    bool won = true;
    bool anyMove = false;
    for (int x = 0; x < width_ && won && !overflow_; x++)
      for (int y = 0; y < height_ && won && !overflow_; y++) {
        const int c = cellIndex(x, y);
        if (cells_[x][y] != EMPTY || !legal(defender_, c)) continue;
        anyMove = true;
        if (makesFive(x, y, defender_)) {
          won = false;
          break;
        }
        place(c, defender_);
        won = attack(plies - 1);
        remove(c);
      }
    if (!anyMove) won = false;
    if (overflow_) return false;
    RefMemo& m = memo(1);
    if (won)
      m.winAt = std::min(m.winAt, plies);
    else
      m.failAt = std::max(m.failAt, plies);
    return won;
  }

  int rule_, width_, height_;
  int attacker_ = BLACK, defender_ = WHITE;
  int cells_[MAX_SIDE][MAX_SIDE];
  uint64_t keys_[MAX_SIDE][MAX_SIDE][3];
  uint64_t key_;
  long nodes_ = 0, nodeLimit_ = 0;
  bool overflow_ = false;
  std::unordered_map<uint64_t, RefMemo> memo_;
};

}  // namespace testing_support
