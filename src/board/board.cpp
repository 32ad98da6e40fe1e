#include "board/board.h"

#include <algorithm>
#include <cstring>

#include "board/pattern_tables.h"

uint64_t zobristKeys[CELL_SLOTS][3];
uint8_t lowBitIndex[32769];
uint8_t popCount[32769];

static uint32_t randomState = 1;
static bool keysDrawn = false;

void seedRandom(uint32_t seed) { randomState = seed; }

// Bits 16-30 of a classic linear congruential generator: 15 random bits.
static uint64_t draw15() {
  randomState = randomState * 214013u + 2531011u;
  return (randomState >> 16) & 0x7FFF;
}

void drawZobristKeys() {
  for (int x = 0; x < MAX_SIDE; x++)
    for (int y = 0; y < MAX_SIDE; y++)
      for (int k = 0; k < 3; k++) {
        uint64_t key = 0;
        while (key == 0) {
          uint64_t a = draw15(), b = draw15(), c = draw15(), d = draw15(), e = draw15();
          key = a ^ b << 15 ^ c << 30 ^ d << 45 ^ e << 60;
        }
        zobristKeys[cellIndex(x, y)][k] = key;
      }
  keysDrawn = true;
}

void buildTables() {
  buildSearchTables();
  if (!keysDrawn) drawZobristKeys();
  lowBitIndex[0] = 0;
  for (int k = 0; k < 16; k++) lowBitIndex[1 << k] = static_cast<uint8_t>(k);
  popCount[0] = 0;
  for (int n = 1; n <= 32768; n++) popCount[n] = static_cast<uint8_t>(popCount[n - (n & -n)] + 1);
}

// ---------------------------------------------------------------------------
// Primitive steps.

void Position::placeStone(int cell, int value, bool keepList) {
  board.cells[cell] = value;
  setCellFull(cell, value);
  board.hashKey ^= zobristKeys[cell][value - 1];
  if (value != BLOCK && keepList) board.stones[board.stoneCount++] = cell;
}

void Position::removeStone(int cell, bool keepList) {
  const int value = board.cells[cell];
  board.cells[cell] = EMPTY;
  setCellFull(cell, EMPTY);
  board.hashKey ^= zobristKeys[cell][value - 1];
  if (value != BLOCK && keepList) board.stoneCount--;
}

// ---------------------------------------------------------------------------
// Building the board.

int Position::lineLength(int index, int family) const {
  const int n = lineSize;
  if (family < 2) return n;
  if (family == 2) return std::min(index, 2 * n - 2 - index) + 1;
  return n - std::abs(index - n);
}

// Empty-board value of a cell in one direction: pattern 1 away from the ends of
// a line long enough for a five, and the room to both sides up to 4.
void Position::emptyLineValues(int cell, int dir, int& pattern, int& room) const {
  const int x = cellX(cell), y = cellY(cell);
  int length;
  switch (dir) {
    case 0: length = lineLength(x, 0); break;
    case 1: length = lineLength(y, 1); break;
    case 2: length = lineLength(x + y, 2); break;
    default: length = lineLength(x - y + lineSize, 3); break;
  }
  const int p = linePosition(cell, dir);
  pattern = (length >= 6 && p > 0 && p < length - 1) ? 1 : 0;
  room = std::min(p, 4) + std::min(length - 1 - p, 4);
}

void Position::writeEmptyLines(BoardBase& b) const {
  const int n = lineSize;
  std::memset(b.rowLines, 0, sizeof b.rowLines);
  std::memset(b.colLines, 0, sizeof b.colLines);
  std::memset(b.diagLines, 0, sizeof b.diagLines);
  std::memset(b.antiLines, 0, sizeof b.antiLines);
  auto bordered = [](int length) { return BORDER_LOW | uint64_t{3} << (2 * length + LINE_OFFSET); };
  for (int i = 0; i < n; i++) b.rowLines[i] = b.colLines[i] = bordered(n);
  for (int d = 0; d <= 2 * n - 2; d++) b.diagLines[d] = bordered(lineLength(d, 2));
  for (int c = 1; c <= 2 * n - 1; c++) b.antiLines[c] = bordered(lineLength(c, 3));
}

void Position::writeEmptyCellInfo(int cell, CellInfo& info) const {
  info = CellInfo{};
  for (int dir = 0; dir < DIRECTIONS; dir++) {
    int pattern, room;
    emptyLineValues(cell, dir, pattern, room);
    for (int k = 0; k < 2; k++) {
      info.patterns[k] |= pattern << (NIBBLE_BITS * dir);
      info.entries[dir] = static_cast<uint16_t>(info.entries[dir] | (pattern | room << 4) << (8 * k));
      info.roomSum[k] = static_cast<int16_t>(info.roomSum[k] + room);
    }
  }
}

void Position::resetBoard() {
  const int n = lineSize;
  std::memset(board.cells, 0, sizeof board.cells);
  writeEmptyLines(board);
  std::memset(board.cellInfo, 0, sizeof board.cellInfo);
  board.scoreSum[0] = board.scoreSum[1] = 0;
  std::memset(board.learnedSum, 0, sizeof board.learnedSum);
  std::memset(board.jointSum, 0, sizeof board.jointSum);
  std::memset(board.netSum, 0, sizeof board.netSum);
  for (int x = 0; x < n; x++)
    for (int y = 0; y < n; y++) {
      const int cell = cellIndex(x, y);
      CellInfo& info = board.cellInfo[cell];
      writeEmptyCellInfo(cell, info);
      for (int k = 0; k < 2; k++) {
        info.score[k] = static_cast<int16_t>(cellScore(cell, k));
        board.scoreSum[k] += info.score[k];
      }
      if (tables->learned) addLearned(cell, 1);
    }
  std::memset(board.setSummary, 0, sizeof board.setSummary);
  std::memset(board.setRows, 0, sizeof board.setRows);
  board.hashKey = 0;
  board.stoneCount = 0;
  board.iterationDepth = 0;
  finalValue = 0;
  if (xExtent != yExtent) {
    for (int x = 0; x < n; x++)
      for (int y = 0; y < n; y++)
        if (x >= xExtent || y >= yExtent) placeStone(cellIndex(x, y), BLOCK, false);
  }
}

void Position::rebuild(int rule) {
  updateRadius = rule == RULE_FREESTYLE ? 4 : 5;
  builtRule = rule;   // the tables and the search follow this rule from here on
  buildTables();
  tables->build(rule);
  geometry.build(lineSize, xExtent, yExtent, updateRadius);
  resetBoard();
  for (int i = 0; i < blockCount; i++) placeStone(blockList[i], BLOCK, false);
  for (int i = 0; i < recordCount; i++) {
    const RecordEntry& e = gameRecord[i];
    placeStone(cellIndex(e.x, e.y), e.colour, e.colour != BLOCK);
  }
}

bool Position::ensureBuilt(int rule) {
  if (rule == builtRule) return false;
  rebuild(rule);
  return true;
}

// The Renju step at the end of every board command: under Renju the board is
// always built, since every move must be checked for forbidden points.
void Position::renjuStep(int rule) {
  if (rule == RULE_RENJU && builtRule != RULE_RENJU) rebuild(RULE_RENJU);
}

// ---------------------------------------------------------------------------
// Board commands.

bool Position::recordOccupies(int x, int y) const {
  for (int i = 0; i < recordCount; i++)
    if (gameRecord[i].x == x && gameRecord[i].y == y) return true;
  for (int i = 0; i < blockCount; i++)
    if (blockList[i] == cellIndex(x, y)) return true;
  return false;
}

// True when a stone or block may go on (x, y): on the board, empty, and room
// left in the record.
bool Position::cellOccupied(int x, int y) const {
  if (builtRule != -1) return board.cells[cellIndex(x, y)] != EMPTY;
  return recordOccupies(x, y);
}

bool Position::cellFree(int x, int y) const {
  if (x < 0 || y < 0 || x >= xExtent || y >= yExtent) return false;
  if (recordCount + blockCount >= MAX_CELLS) return false;
  if (builtRule != -1) return board.cells[cellIndex(x, y)] == EMPTY;
  return !recordOccupies(x, y);
}

BoardResult Position::playMove(int x, int y, int rule) {
  if (!cellFree(x, y)) return BoardRefused;
  const int colour = recordCount % 2 + 1;
  if (builtRule != -1) placeStone(cellIndex(x, y), colour);
  gameRecord[recordCount++] = RecordEntry{x, y, colour};
  renjuStep(rule);
  return BoardDone;
}

BoardResult Position::playOpponentMove(int x, int y, int rule) { return playMove(x, y, rule); }

BoardResult Position::playOwnMove(int x, int y, int rule) { return playMove(x, y, rule); }

BoardResult Position::placeBlock(int x, int y, int rule) {
  if (!cellFree(x, y)) return BoardRefused;
  if (builtRule != -1) placeStone(cellIndex(x, y), BLOCK, false);
  blockList[blockCount++] = cellIndex(x, y);
  renjuStep(rule);
  return BoardDone;
}

BoardResult Position::takeBackMove(int x, int y, int rule) {
  if (x < 0 || y < 0 || x >= xExtent || y >= yExtent) return BoardNothing;
  const int cell = cellIndex(x, y);
  if (recordCount > 0 && gameRecord[recordCount - 1].x == x && gameRecord[recordCount - 1].y == y) {
    if (builtRule != -1) removeStone(cell);
    recordCount--;
  } else {
    int* found = std::find(blockList, blockList + blockCount, cell);
    if (found == blockList + blockCount) return BoardNothing;
    if (builtRule != -1) removeStone(cell, false);
    std::copy(found + 1, blockList + blockCount, found);
    blockCount--;
  }
  finalValue = 0;
  renjuStep(rule);
  return BoardDone;
}

void Position::restartGame(int rule) {
  builtRule = -1;
  recordCount = 0;
  blockCount = 0;
  finalValue = 0;
  renjuStep(rule);
}

bool Position::startGame(int width, int height, int rule) {
  // A side below 1 would give a board without a single valid coordinate; it is
  // refused like an oversized one.
  if (width > MAX_SIDE || height > MAX_SIDE || width < 1 || height < 1) return false;
  xExtent = width;
  yExtent = height;
  lineSize = std::max(width, height);
  restartGame(rule);
  return true;
}

// ---------------------------------------------------------------------------
// Consistency check: everything derived, recomputed from the stones.

bool Position::boardIsConsistent() const {
  static thread_local BoardBase expected;
  const int n = lineSize;
  expected = BoardBase{};
  writeEmptyLines(expected);
  uint64_t hash = 0;
  int stones = 0;
  for (int x = 0; x < n; x++)
    for (int y = 0; y < n; y++) {
      const int cell = cellIndex(x, y), v = board.cells[cell];
      if (v == EMPTY) continue;
      if (v < 0 || v > BLOCK) return false;
      expected.rowLines[x] |= static_cast<uint64_t>(v) << (2 * y + LINE_OFFSET);
      expected.colLines[y] |= static_cast<uint64_t>(v) << (2 * x + LINE_OFFSET);
      expected.diagLines[x + y] |= static_cast<uint64_t>(v) << (2 * geometry.diagPos[cell] + LINE_OFFSET);
      expected.antiLines[x - y + n] |= static_cast<uint64_t>(v) << (2 * geometry.antiPos[cell] + LINE_OFFSET);
      hash ^= zobristKeys[cell][v - 1];
      if (v != BLOCK) stones++;
    }
  if (hash != board.hashKey || stones != board.stoneCount) return false;
  if (std::memcmp(expected.rowLines, board.rowLines, sizeof board.rowLines) != 0 ||
      std::memcmp(expected.colLines, board.colLines, sizeof board.colLines) != 0 ||
      std::memcmp(expected.diagLines, board.diagLines, sizeof board.diagLines) != 0 ||
      std::memcmp(expected.antiLines, board.antiLines, sizeof board.antiLines) != 0)
    return false;
  for (int i = 0; i < board.stoneCount; i++) {
    const int v = board.cells[board.stones[i]];
    if (v != BLACK && v != WHITE) return false;
  }
  int scoreSum[2] = {0, 0};
  int learnedSum[2][2] = {{0, 0}, {0, 0}};
  int jointSum[2] = {0, 0};
  int16_t netSum[2][2 * NET_WIDTH] = {};
  for (int x = 0; x < n; x++)
    for (int y = 0; y < n; y++) {
      const int cell = cellIndex(x, y);
      CellInfo info{};
      if (x >= xExtent || y >= yExtent) {
        writeEmptyCellInfo(cell, info);
      } else {
        for (int dir = 0; dir < DIRECTIONS; dir++) {
          const uint64_t word = lineWordOf(cell, dir);
          const LineEntry e = tables->lineEntry((word >> (2 * linePosition(cell, dir))) & WINDOW_MASK);
          info.entries[dir] = static_cast<uint16_t>(tables->linePacked((word >> (2 * linePosition(cell, dir))) & WINDOW_MASK));
          for (int k = 0; k < 2; k++) {
            info.patterns[k] |= e.pattern[k] << (NIBBLE_BITS * dir);
            info.roomSum[k] = static_cast<int16_t>(info.roomSum[k] + e.room[k]);
          }
        }
      }
      const CellInfo& have = board.cellInfo[cell];
      for (int dir = 0; dir < DIRECTIONS; dir++)
        if (have.entries[dir] != info.entries[dir]) return false;
      if (tables->learned && board.cells[cell] == EMPTY) {
        const int black = jointClassOfCode[foldedCodeOf[info.patterns[0] & 0xFFFF]];
        const int white = jointClassOfCode[foldedCodeOf[info.patterns[1] & 0xFFFF]];
        jointSum[0] += tables->learnedJoint[0][black][white];
        jointSum[1] += tables->learnedJoint[1][white][black];
      }
      for (int k = 0; k < 2; k++) {
        if (have.patterns[k] != info.patterns[k] || have.roomNibbles(k) != info.roomNibbles(k) ||
            have.roomSum[k] != info.roomSum[k])
          return false;
        const int score =
            tables->handScores ? tables->combo[k][info.patterns[k]] * geometry.cellWeight[info.roomSum[k]][cell] / 64 : 0;
        if (have.score[k] != score) return false;
        scoreSum[k] += score;
        if (tables->learned && board.cells[cell] == EMPTY)
          for (int r = 0; r < 2; r++) {
            const int code = foldedCodeOf[info.patterns[k] & 0xFFFF];
            learnedSum[k][r] += tables->learnedCell[k][r][code];
            if (tables->net)
              for (int h = r * NET_WIDTH; h < (r + 1) * NET_WIDTH; h++)
                netSum[k][h] = static_cast<int16_t>(netSum[k][h] + tables->netCell[k][code][h]);
          }
        int masks[MASKED_SET_KINDS] = {0, 0, 0, 0};
        for (int dir = 0; dir < DIRECTIONS; dir++) {
          const int kind = setKindOf(info.patterns[k] >> (NIBBLE_BITS * dir));
          if (kind >= 0) masks[kind] |= 1 << dir;
        }
        for (int kind = 0; kind < SET_KINDS; kind++) {
          bool member;
          if (kind < MASKED_SET_KINDS) {
            if (board.setMask(kind, k, cell) != masks[kind]) return false;
            member = masks[kind] != 0;
          } else {
            member = bitCount(static_cast<uint32_t>(masks[FourCells] | masks[ThreeCells])) >= 2;
          }
          if (((board.setRows[kind][k][x] >> y) & 1) != (member ? 1 : 0)) return false;
        }
      }
    }
  for (int k = 0; k < 2; k++) {
    if (scoreSum[k] != board.scoreSum[k]) return false;
    if (learnedSum[k][0] != board.learnedSum[k][0] || learnedSum[k][1] != board.learnedSum[k][1]) return false;
    if (jointSum[k] != board.jointSum[k]) return false;
    if (std::memcmp(netSum[k], board.netSum[k], sizeof netSum[k]) != 0) return false;
    for (int kind = 0; kind < SET_KINDS; kind++) {
      int summary = 0;
      for (int x = 0; x < MAX_SIDE; x++) {
        if (x >= n && board.setRows[kind][k][x] != 0) return false;
        if (board.setRows[kind][k][x] != 0) summary |= 1 << x;
      }
      if (summary != board.setSummary[kind][k]) return false;
    }
  }
  return true;
}
