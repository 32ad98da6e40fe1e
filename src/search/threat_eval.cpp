// Static evaluation and the one-ply pass.
#include <initializer_list>

#include "board/learned_net.h"
#include "board/learned_tables.h"
#include "board/pattern_tables.h"
#include "core/types.h"
#include "search/worker.h"

namespace {

constexpr int TEMPO = 50;
constexpr int OPPONENT_FOURS = 100;
constexpr int OPPONENT_THREES = 60;
constexpr int DOUBLE_OPEN_THREE = -200;
constexpr int SUPPORT_FACTOR = 30;
constexpr int OPEN_THREE_CREDIT = 35;
constexpr int FORBIDDEN_THREAT_WEAK = 200;
constexpr int FORBIDDEN_THREAT_STRONG = 120;
constexpr int ONE_PLY_LOSS = -9999999;

uint32_t columnBand(int y, int low, int high) {
  uint32_t mask = 0;
  for (int c = y + low; c <= y + high; c++)
    if (c >= 0 && c < MAX_SIDE) mask |= 1u << c;
  return mask;
}

}  // namespace

// Four and three cells of `colour` in the support window of (x, y): rows x +- 1
// and x +- 2 at columns y - 2 ... y + 2, rows x +- 3 at columns y - 3, y, y + 3.
int Worker::supportCount(int colour, int x, int y) const {
  const int k = colour - 1;
  const uint32_t wide = columnBand(y, -2, 2);
  const uint32_t sparse = (y >= 3 ? 1u << (y - 3) : 0) | 1u << y | (y + 3 < MAX_SIDE ? 1u << (y + 3) : 0);
  int count = 0;
  for (int dx = -3; dx <= 3; dx++) {
    const int row = x + dx;
    if (dx == 0 || row < 0 || row >= MAX_SIDE) continue;
    const uint32_t members =
        static_cast<uint32_t>(pos.board.setRows[FourCells][k][row] | pos.board.setRows[ThreeCells][k][row]);
    count += bitCount(members & ((dx == 3 || dx == -3) ? sparse : wide));
  }
  return count;
}

// Any cell of Black's set that Black may really play.
bool Worker::blackHasPlayable(int kind) {
  int32_t cells[MAX_CELLS];
  const int n = listSetCells(kind, BLACK, cells);
  for (int i = 0; i < n; i++)
    if (!pos.isForbidden(cells[i])) return true;
  return false;
}

uint32_t Worker::threatSituation() const {
  uint32_t mask = 0;
  for (int k = 0; k < 2; k++) {
    const int colour = k + 1;
    uint32_t bits = 0;
    if (!setEmpty(FiveCells, colour)) bits |= THREAT_FIVE;
    if (!setEmpty(ThreeCells, colour)) bits |= THREAT_THREE;
    // A four-three is made on a cell with a four in one of its lines, so the
    // cells of the four sets tell it.
    for (int kind : {FourCells, OpenFourCells}) {
      if (setEmpty(kind, colour)) continue;
      bits |= THREAT_FOUR | (kind == OpenFourCells ? THREAT_OPEN_FOUR : 0);
      if (bits & THREAT_FOUR_THREE) continue;
      int32_t cells[MAX_CELLS];
      const int n = listSetCells(kind, colour, cells);
      for (int i = 0; i < n; i++) {
        const int patterns = pos.board.cellInfo[cells[i]].patterns[k];
        int fours = 0, threes = 0;
        for (int d = 0; d < DIRECTIONS; d++) {
          const int v = (patterns >> (NIBBLE_BITS * d)) & NIBBLE_MASK;
          fours += v >= PatFour && v <= PatFourOpen;
          threes += v == PatThreeSplit || v == PatThreeOpen;
        }
        if (fours + threes >= 2) {
          bits |= THREAT_FOUR_THREE;
          break;
        }
      }
    }
    mask |= bits << (THREAT_BITS * k);
  }
  return mask;
}

int Worker::learnedEval(int colour) const {
  const int k = colour - 1, rule = pos.builtRule;
  const int model = rule == RULE_RENJU ? 2 + k : rule;
  const uint32_t situation = threatsOfMover(threatSituation(), colour);
  const int linear = pos.board.learnedSum[k][0] + pos.board.learnedSum[1 - k][1] + pos.board.jointSum[k] +
                     learnedSituation[model][situation];
  if (!pos.tables->net) return linear;
  // The network: the mover's sums in the mover's role, the opponent's in
  // the opponent's, the situation's row, then the ReLU and the output.
  const int16_t* mine = pos.board.netSum[k];
  const int16_t* theirs = pos.board.netSum[1 - k] + NET_WIDTH;
  const int16_t* situationRow = learnedNetSituation[model][situation];
  const int32_t* bias = learnedNetBias[model];
  const int32_t* out = learnedNetOut[model];
  int64_t sum = 0;
  for (int h = 0; h < NET_WIDTH; h++) {
    const int32_t hidden = bias[h] + mine[h] + theirs[h] + situationRow[h];
    if (hidden > 0) sum += static_cast<int64_t>(out[h]) * hidden;
  }
  return linear + learnedNetOutBias[model] + static_cast<int>(sum / (NET_HIDDEN_UNITS * NET_OUT_UNITS));
}

int Worker::threatEval(int /*depth*/, int colour) {
  const int opponent = colour ^ 3, rule = pos.builtRule;
  const bool learned = pos.tables->learned;
  int e = learned ? learnedEval(colour) : pos.board.scoreSum[colour - 1] - pos.board.scoreSum[opponent - 1];

  if (rule == RULE_RENJU) {
    // White's threats on Black's forbidden points cannot be blocked there:
    // neither the hand-set sums nor the learned codes know forbidden points.
    int32_t cells[MAX_CELLS];
    for (int kind : {FourCells, ThreeCells}) {
      const int n = listSetCells(kind, WHITE, cells);
      for (int i = 0; i < n; i++) {
        if (!pos.isForbidden(cells[i])) continue;
        const int t = CellValueTable[pos.board.cellInfo[cells[i]].patterns[0]];
        const int term = t < 158 ? FORBIDDEN_THREAT_WEAK : FORBIDDEN_THREAT_STRONG;
        e += colour == WHITE ? term : -term;
      }
    }
  }
  // The learned situation values stand for the threat corrections below.
  if (learned) return e;

  const bool checkBlack = rule == RULE_RENJU && colour == WHITE;
  if (!setEmpty(FourCells, opponent)) {
    if (!checkBlack || blackHasPlayable(FourCells)) e += OPPONENT_FOURS;
  } else if (!setEmpty(ThreeCells, opponent)) {
    if (!checkBlack || blackHasPlayable(ThreeCells)) e += OPPONENT_THREES;
  }

  if (!setEmpty(OpenFourCells, opponent)) {
    int32_t cells[MAX_CELLS];
    const int n = listSetCells(OpenFourCells, opponent, cells);
    const int k = opponent - 1;
    int directions = 0;
    for (int i = 0; i < n; i++) {
      const int c = cells[i];
      const int s = supportCount(opponent, cellX(c), cellY(c));
      e -= pos.geometry.cellWeight[pos.board.cellInfo[c].roomSum[k]][c] * SUPPORT_FACTOR * s / 64;
      directions |= pos.board.setMask(OpenFourCells, k, c);
    }
    if (bitCount(static_cast<uint32_t>(directions)) >= 2) return e + DOUBLE_OPEN_THREE + TEMPO;
    for (int i = 0; i < n; i++) {
      const int c = cells[i];
      e += pos.geometry.cellWeight[pos.board.cellInfo[c].roomSum[k]][c] * OPEN_THREE_CREDIT / 64;
    }
  }
  return e + TEMPO;
}

int Worker::onePlyPass(int colour) {
  const int opponent = colour ^ 3, rule = pos.builtRule;
  const bool renjuBlack = rule == RULE_RENJU && colour == BLACK;
  int best = NO_SCORE;
  for (int x = 0; x < pos.xExtent; x++)
    for (int y = 0; y < pos.yExtent; y++) {
      const int cell = cellIndex(x, y);
      if (pos.board.cells[cell] != EMPTY) continue;
      if (renjuBlack && pos.isForbidden(cell)) continue;
      pos.placeStone(cell, colour);
      int v;
      if (!setEmpty(FiveCells, opponent)) {
        v = ONE_PLY_LOSS;
      } else if (!setEmpty(FiveCells, colour) || setEmpty(OpenFourCells, opponent)) {
        v = -threatEval(0, opponent);
      } else if (rule == RULE_RENJU && colour == WHITE && pos.isForbidden(firstSetCell(OpenFourCells, BLACK))) {
        v = -threatEval(0, opponent);
      } else {
        v = ONE_PLY_LOSS;
      }
      pos.removeStone(cell);
      if (v > best) {
        best = v;
        search.bestX = x;
        search.bestY = y;
      }
    }
  return best == NO_SCORE ? 1 : 0;
}
