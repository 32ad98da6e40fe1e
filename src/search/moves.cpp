// Move generation and ordering: the stage ladder readers, forced defences,
// quiet candidates, killer slots and neighbourhood shapes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "board/pattern_tables.h"
#include "search/worker.h"

const Shape fullSquare = {{0x3FF, 0x3FF, 0x3FF, 0x3FF, 0x3FF}};
const Shape star = {{0x333, 0x0FC, 0x3FF, 0x0FC, 0x333}};
const Shape ownKnightBlack = {{0x377, 0x1FD, 0x3FF, 0x1FD, 0x377}};
const Shape ownKnightWhite = {{0x3BB, 0x2FE, 0x3FF, 0x2FE, 0x3BB}};

// ---------------------------------------------------------------------------
// Cell-set readers.

int Worker::firstSetCell(int kind, int colour) const {
  const uint32_t summary = static_cast<uint32_t>(pos.board.setSummary[kind][colour - 1]);
  if (summary == 0) return NO_CELL;
  const int x = lowestBit(summary);
  return cellIndex(x, lowestBit(static_cast<uint32_t>(pos.board.setRows[kind][colour - 1][x])));
}

// Walks the rows named by `summary`, taking from each the cells rowOf(x)
// gives; the lowest x first and within a row the lowest y first.
template <typename RowOf>
int Worker::listRows(uint32_t summary, RowOf rowOf, int32_t* out) const {
  int n = 0;
  while (summary) {
    const int x = lowestBit(summary);
    summary &= summary - 1;
    uint32_t row = rowOf(x);
    while (row) {
      out[n++] = cellIndex(x, lowestBit(row));
      row &= row - 1;
    }
  }
  return n;
}

int Worker::listSetCells(int kind, int colour, int32_t* out) const {
  const int k = colour - 1;
  return listRows(static_cast<uint32_t>(pos.board.setSummary[kind][k]),
                  [this, kind, k](int x) { return static_cast<uint32_t>(pos.board.setRows[kind][k][x]); }, out);
}

int Worker::listOpenFourCells(int colour, int32_t* out) const { return listSetCells(OpenFourCells, colour, out); }
int Worker::listFourCells(int colour, int32_t* out) const { return listSetCells(FourCells, colour, out); }
int Worker::listDoubleCells(int colour, int32_t* out) const { return listSetCells(DoubleCells, colour, out); }

int Worker::listSingleThreats(int colour, int32_t* out) const {
  const int k = colour - 1;
  const uint32_t summary = static_cast<uint32_t>(pos.board.setSummary[FourCells][k] | pos.board.setSummary[ThreeCells][k]);
  return listRows(
      summary,
      [this, k](int x) {
        return static_cast<uint32_t>((pos.board.setRows[FourCells][k][x] | pos.board.setRows[ThreeCells][k][x]) &
                                     ~pos.board.setRows[DoubleCells][k][x]);
      },
      out);
}

int Worker::countPlayableOpenFours(int colour, int32_t* out) {
  int n = listOpenFourCells(colour, out);
  if (pos.builtRule != RULE_RENJU || colour != BLACK) return n;
  int kept = 0;
  for (int i = 0; i < n; i++)
    if (!pos.isForbidden(out[i])) out[kept++] = out[i];
  return kept;
}

int Worker::threeDefence(int32_t* out, int colour, int cell) {
  int dir = 0;
  while (dir < DIRECTIONS && patternAt(cell, colour, dir) != PatFourOpen) dir++;
  if (dir == DIRECTIONS) return 0;
  int step = DIR_STEP[dir];
  const bool after = pos.onBoard(cell + step) && pos.board.cells[cell + step] == colour;
  const bool before = pos.onBoard(cell - step) && pos.board.cells[cell - step] == colour;
  int n = 0;
  if (after && before) {
    // A split three: the defences are the first empty cells beyond the run.
    for (int side : {step, -step}) {
      int u = cell + side;
      while (pos.onBoard(u) && pos.board.cells[u] != EMPTY) u += side;
      if (pos.onBoard(u)) out[n++] = u;
    }
    return n;
  }
  if (before) step = -step;
  const int far = cell + 4 * step;
  if (pos.onBoard(far) && patternAt(far, colour, dir) == PatFourOpen &&
      !(pos.builtRule == RULE_RENJU && colour == BLACK && pos.isForbidden(far)))
    return 0;
  if (pos.onBoard(far)) out[n++] = far;
  if (pos.onBoard(cell - step)) out[n++] = cell - step;
  return n;
}

bool Worker::neighbourhood(int x, int y, const Shape& shape) const {
  const uint64_t columns = ((uint64_t{1} << (2 * pos.yExtent)) - 1) << LINE_OFFSET;
  const int shift = 2 * y + LINE_OFFSET - 4;   // the mask's low cell is y - 2
  for (int r = 0; r < 5; r++) {
    const int row = x - 2 + r;
    if (row < 0 || row >= pos.xExtent) continue;
    const uint64_t mask = (static_cast<uint64_t>(shape.rows[r]) << shift) & columns;
    if (pos.board.rowLines[row] & mask) return true;
  }
  return false;
}

int Worker::openness(int x, int y, int colour) const {
  const int X = pos.xExtent, Y = pos.yExtent, opponent = colour ^ 3;
  int d = (x + 4 < X ? 0 : 8 * X - 8 * x - 40) + (x < 4 ? 8 * x - 32 : 0) + (y + 4 < Y ? 0 : 8 * Y - 8 * y - 40) +
          (y < 4 ? 8 * y - 32 : 0);
  static const int rays[8][2] = {{0, 1}, {0, -1}, {1, 0}, {-1, 0}, {1, 1}, {1, -1}, {-1, 1}, {-1, -1}};
  auto inside = [X, Y](int u, int v) { return u >= 0 && v >= 0 && u < X && v < Y; };
  for (const auto& ray : rays) {
    for (int j = 0; j < 4; j++) {
      const int u = x + ray[0] * (j + 1), v = y + ray[1] * (j + 1);
      if (!inside(u, v)) break;
      const int value = pos.board.cells[cellIndex(u, v)];
      if (value == opponent) {
        d += 4 * j - 16;
        break;
      }
      d += value != EMPTY ? 1 : 4;
    }
  }
  static const int knights[8][2] = {{1, 2}, {1, -2}, {-1, 2}, {-1, -2}, {2, 1}, {2, -1}, {-2, 1}, {-2, -1}};
  for (const auto& k : knights) {
    const int u = x + k[0], v = y + k[1];
    if (!inside(u, v)) continue;
    d += pos.board.cells[cellIndex(u, v)] == opponent ? -1 : 1;
  }
  return static_cast<int>((std::sqrt(pos.board.stoneCount + 30.0) - std::sqrt(30.0)) * d / 12);
}

// ---------------------------------------------------------------------------
// Killers and ordering.

void Worker::clearKillers() { std::memset(killerSlots, 0, sizeof killerSlots); }

void Worker::recordKiller(int depth, int cell, int colour) {
  if (depth < 0 || depth >= PLY_LIMIT) return;
  killerSlots[depth][0] = killerSlots[depth][1];
  killerSlots[depth][1] = KillerSlot{cell, pos.board.cellInfo[cell].patterns[colour - 1]};
}

int Worker::orderKey(int cell, int colour, int threatTerm) const {
  const CellInfo& info = pos.board.cellInfo[cell];
  const int side = colour - 1, opp = 2 - colour;
  if (pos.tables->learnedMoves)
    return -(pos.tables->moveAttack[side][foldedCodeOf[info.patterns[side] & 0xFFFF]] +
             pos.tables->moveBlock[side][foldedCodeOf[info.patterns[opp] & 0xFFFF]] + threatTerm);
  return -(CellValueTable[info.patterns[side]] + CellValueTable[info.patterns[opp]] / 2 + info.score[side] / 4 +
           info.score[opp] / 8 + threatTerm);
}

void sortByKey(MoveEntry* list, int count) {
  std::sort(list, list + count, [](const MoveEntry& a, const MoveEntry& b) { return a.key < b.key; });
}


int Worker::filterAndKey(const NodeContext& node, MoveEntry* list, int count, bool checkMarks) {
  const bool renjuBlack = pos.builtRule == RULE_RENJU && node.colour == BLACK;
  for (int i = 0; i < count;) {
    const int cell = list[i].cell;
    // The stage readers only produce empty cells on the board; the guard keeps
    // a stale or off-board cell from ever reaching make.
    const bool bad = !pos.onBoard(cell) || pos.board.cells[cell] != EMPTY || (checkMarks && marked(node.ply, cell)) ||
                     (renjuBlack && pos.isForbidden(cell));
    if (bad) {
      list[i] = list[--count];
      continue;
    }
    mark(node.ply, cell);
    list[i].key = orderKey(cell, node.colour, 0);
    i++;
  }
  return count;
}

// ---------------------------------------------------------------------------
// Stage 7: quiet candidates.

// Adds an empty, untaken, playable cell to a quiet list; true when added.
bool Worker::addQuiet(const NodeContext& node, MoveEntry* list, int& n, bool renjuBlack, int cell) {
  if (pos.board.cells[cell] != EMPTY || marked(node.ply, cell)) return false;
  mark(node.ply, cell);
  if (renjuBlack && pos.isForbidden(cell)) return false;
  list[n].key = 0;
  list[n++].cell = cell;
  return true;
}

namespace {

struct QuietList {
  Worker& w;
  const NodeContext& node;
  MoveEntry* list;
  int n;
  bool renjuBlack;
  bool add(int cell) { return w.addQuiet(node, list, n, renjuBlack, cell); }
};

}  // namespace

void Worker::buildThreatCounts() {
  std::memset(threatCount, 0, sizeof threatCount);
  int32_t fours[MAX_CELLS];
  for (int colour = BLACK; colour <= WHITE; colour++) {
    const int other = colour ^ 3;
    const int n = listFourCells(colour, fours);
    for (int i = 0; i < n; i++) {
      const int f = fours[i];
      for (int dir = 0; dir < DIRECTIONS; dir++) {
        const int v = patternAt(f, colour, dir);
        if (v == PatFour || v == PatFourLive) continue;
        for (int side : {-DIR_STEP[dir], DIR_STEP[dir]}) {
          int u = f;
          for (int j = 0; j < 3; j++) {
            u += side;
            if (!pos.onBoard(u) || pos.board.cells[u] == other) break;
            if (pos.board.cellInfo[u].room(colour - 1, 0) >= 5) threatCount[u][dir][colour - 1]++;
          }
        }
      }
    }
  }
}

int Worker::threatCountSum(int cell, int k) const {
  int sum = 0;
  for (int dir = 0; dir < DIRECTIONS; dir++) sum += threatCount[cell][dir][k];
  return sum;
}

bool Worker::threatCountReaches(int cell, int k) const {
  for (int dir = 0; dir < DIRECTIONS; dir++)
    if (threatCount[cell][dir][k] >= 2) return true;
  return false;
}

int Worker::generateQuiet(const NodeContext& node, MoveEntry* list) {
  const int rule = pos.builtRule, X = pos.xExtent, Y = pos.yExtent;
  const int side = node.colour - 1, opp = 2 - node.colour;
  const bool lost = node.best < LOST_LINE + 1;
  const bool losingPV = node.pvNode && lost;
  const bool lowThresholds = losingPV || (rule != RULE_FREESTYLE && node.ply <= 1);
  const int aSide = lowThresholds ? 7 : 8, aOpp = lowThresholds ? 7 : 9;
  QuietList q{*this, node, list, 0, rule == RULE_RENJU && node.colour == BLACK};

  // Activity pass.
  bool strong = false;
  for (int x = 0; x < X; x++)
    for (int y = 0; y < Y; y++) {
      const int cell = cellIndex(x, y);
      if (pos.board.cells[cell] != EMPTY) continue;
      const CellInfo& info = pos.board.cellInfo[cell];
      if (CellValueTable[info.patterns[side]] >= aSide || CellValueTable[info.patterns[opp]] >= aOpp) strong = true;
      if ((CellFlagTable[info.patterns[0]] & FLAG_ACTIVE_MASK) >= 2 ||
          (CellFlagTable[info.patterns[1]] & FLAG_ACTIVE_MASK) >= 2)
        q.add(cell);
    }

  // Threat-count pass: cells where two fours of one line could be built.
  bool counted = false;
  if (node.ply < 2 || lost || node.pvNode) {
    counted = true;
    buildThreatCounts();
    for (int x = 0; x < X; x++)
      for (int y = 0; y < Y; y++) {
        const int cell = cellIndex(x, y);
        if (pos.board.cells[cell] != EMPTY) continue;
        if (threatCountReaches(cell, side) ||
            (threatCountReaches(cell, opp) && lost && neighbourhood(x, y, fullSquare)))
          q.add(cell);
      }
  }

  auto finish = [&]() {
    for (int i = 0; i < q.n; i++) {
      const int cell = list[i].cell;
      const int term = counted ? 2 * threatCountSum(cell, side) + threatCountSum(cell, opp) : 0;
      list[i].key = orderKey(cell, node.colour, term);
    }
    return q.n;
  };

  const bool quietNullWindow = node.ply > 1 && !lost && !node.pvNode;
  if (quietNullWindow && (q.n > 0 || (node.taken > 0 && node.effDepth <= 4))) return finish();

  bool neighbourPass = true;
  if (strong) {
    const int before = q.n;
    for (int x = 0; x < X; x++)
      for (int y = 0; y < Y; y++) {
        const int cell = cellIndex(x, y);
        if (pos.board.cells[cell] != EMPTY) continue;
        const CellInfo& info = pos.board.cellInfo[cell];
        if ((CellValueTable[info.patterns[side]] >= aSide || CellValueTable[info.patterns[opp]] >= aOpp) &&
            neighbourhood(x, y, fullSquare))
          q.add(cell);
      }
    if (q.n > 0) {
      if (node.ply > 1) return finish();
      const int n = before + node.taken + q.n;
      neighbourPass = !((n > 10 && !node.pvNode) || n > 18);
    }
  }
  if (neighbourPass) {
    const Shape* shape = &fullSquare;
    if (rule == RULE_FREESTYLE) {
      const bool wide = node.effDepth > 4 || node.pvNode || lost || node.ply < 2;
      shape = wide ? (node.colour == BLACK ? &ownKnightBlack : &ownKnightWhite) : &star;
    }
    for (int x = 0; x < X; x++)
      for (int y = 0; y < Y; y++)
        if (pos.board.cells[cellIndex(x, y)] == EMPTY && neighbourhood(x, y, *shape)) q.add(cellIndex(x, y));
  }
  if (q.n == 0 && node.taken == 0) {
    for (int x = 0; x < X; x++)
      for (int y = 0; y < Y; y++) q.add(cellIndex(x, y));
  }
  return finish();
}

// ---------------------------------------------------------------------------
// The stage ladder.

int Worker::buildStage(MovePicker& p, int stage, int best, MoveEntry* list) {
  const int colour = p.node.colour, opponent = colour ^ 3;
  int32_t cells[MAX_CELLS + 4];
  int n = 0;
  switch (stage) {
    case 0:
      for (int i = 0; i < 3; i++) {
        const int m = p.hashMoves[i];
        if (m >= 0 && pos.onBoard(m) && pos.board.cells[m] == EMPTY) cells[n++] = m;
        if (i == 0)
          for (int j = 0; j < p.preferredCount; j++) {
            // Dropped here rather than by the filter, whose removal would
            // move the last cell into the gap and spoil the order.
            const int c = p.preferred[j];
            bool fresh = pos.onBoard(c) && pos.board.cells[c] == EMPTY;
            for (int k = 0; k < 3 && fresh; k++) fresh = c != p.hashMoves[k];
            for (int k = 0; k < n && fresh; k++) fresh = c != cells[k];
            if (fresh) cells[n++] = c;
          }
      }
      break;
    case 1: {
      n = listOpenFourCells(opponent, cells);
      int pick = cells[0];
      p.endAfterStage1 = true;
      if (pos.builtRule == RULE_RENJU && colour == WHITE) {
        int i = 0;
        while (i < n && pos.isForbidden(cells[i])) i++;
        if (i < n) pick = cells[i];
        else p.endAfterStage1 = false;   // every point is forbidden: no real threat
      }
      n += threeDefence(cells + n, opponent, pick);
      n += listFourCells(colour, cells + n);
      break;
    }
    case 2: n = listDoubleCells(colour, cells); break;
    case 3: n = listDoubleCells(opponent, cells); break;
    case 4: n = listSingleThreats(colour, cells); break;
    case 5: n = listSingleThreats(opponent, cells); break;
    case 6:
      if (p.node.depth >= 0 && p.node.depth < PLY_LIMIT) {
        for (const KillerSlot& k : killerSlots[p.node.depth])
          if (k.word != 0 && pos.board.cells[k.cell] == EMPTY && pos.board.cellInfo[k.cell].patterns[colour - 1] == k.word)
            cells[n++] = k.cell;
      }
      break;
    case 7: {
      NodeContext node = p.node;
      node.best = best;
      node.taken = p.taken;
      n = generateQuiet(node, list);
      p.taken += n;
      sortByKey(list, n);
      return n;
    }
  }
  for (int i = 0; i < n; i++) list[i].cell = cells[i];
  n = filterAndKey(p.node, list, n, true);
  p.taken += n;
  if (stage != 0) sortByKey(list, n);
  return n;
}

void pickerInit(MovePicker& p, const NodeContext& node, int forcedCell, const int* hashMoves) {
  p.node = node;
  p.forcedCell = forcedCell;
  for (int i = 0; i < 3; i++) p.hashMoves[i] = hashMoves ? hashMoves[i] : NO_CELL;
  p.stage = -2;
  p.count = p.next = 0;
  p.taken = 0;
  p.endAfterStage1 = false;
  p.lmpStage = 0;
  p.lastStage = 7;
  p.preferred = nullptr;
  p.preferredCount = 0;
}

int Worker::nextMove(MovePicker& p, int best) {
  MoveEntry* list = moveStack[p.node.ply];
  while (p.next >= p.count) {
    int stage;
    if (p.stage == -2) stage = p.forcedCell >= 0 ? -1 : 0;
    else if (p.stage == -1 || p.stage >= p.lastStage || (p.stage == 1 && p.endAfterStage1)) return NO_CELL;
    else if (p.stage == 0) stage = setEmpty(OpenFourCells, p.node.colour ^ 3) ? 2 : 1;
    else stage = p.stage + 1;
    p.stage = stage;
    p.next = 0;
    if (stage == -1) {
      list[0].cell = p.forcedCell;
      p.count = filterAndKey(p.node, list, 1, true);
      p.taken += p.count;
      p.lmpStage = 12;
      continue;
    }
    p.count = buildStage(p, stage, best, list);
    p.lmpStage = (stage == 1 && p.endAfterStage1) ? 13 : stage;
  }
  return list[p.next++].cell;
}
