#include "tests/fuzz/session_model.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "tests/fuzz/reply_forms.h"

namespace {

constexpr int MAX_SIDE = 22;
constexpr size_t LINE_LIMIT = 8191;  // characters of a line that count
const char* const RULE_LINES[3] = {"MESSAGE Rule Gomoku (Freestyle)", "MESSAGE Rule Gomoku (Standard)",
                                   "MESSAGE Rule Renju"};
const std::string GREETING = "MESSAGE Ruvan " RUVAN_VERSION;

// A command word: a prefix of the line, letters a-z folded to upper case.
bool startsWithWord(const char* line, const char* word) {
  for (; *word; line++, word++) {
    const char c = (*line >= 'a' && *line <= 'z') ? static_cast<char>(*line - 'a' + 'A') : *line;
    if (c != *word) return false;
  }
  return true;
}

bool isDone(const std::string& line) {
  if (line.size() != 4) return false;
  for (int i = 0; i < 4; i++)
    if (std::toupper(static_cast<unsigned char>(line[i])) != "DONE"[i]) return false;
  return true;
}

std::string cellText(int x, int y) { return std::to_string(x) + "," + std::to_string(y); }

// The next line of `text` as the reader delivers it: up to the LF, of which
// only the first 8191 characters count, one CR before the LF dropped, and
// the text cut at a zero byte. False when no LF is left (a last line without
// one is never read).
bool nextLine(const char* text, size_t size, size_t& at, std::string& line) {
  const void* lf = std::memchr(text + at, '\n', size - at);
  if (lf == nullptr) return false;
  const size_t end = static_cast<size_t>(static_cast<const char*>(lf) - text);
  line.assign(text + at, std::min(end - at, LINE_LIMIT));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  line.resize(std::strlen(line.c_str()));
  at = end + 1;
  return true;
}

void newGame(ModelStep& step, int width, int height) {
  if (width < 1 || height < 1 || width > MAX_SIDE || height > MAX_SIDE) {
    step.replies.push_back("ERROR size of the board");
    return;
  }
  step.after.width = width;
  step.after.height = height;
  step.after.record.clear();
  step.after.blocks.clear();
  step.after.excluded.clear();
  step.replies.push_back(GREETING);
  step.replies.push_back("OK");
}

// Board commands on a game that does not exist yet start a 20 x 20 one.
void ensureGame(ModelStep& step) {
  if (step.after.width == 0) newGame(step, 20, 20);
}

// "x,y" on the board, or the refusal.
bool scanCell(ModelStep& step, const char* args, int& x, int& y) {
  if (std::sscanf(args, "%d,%d", &x, &y) == 2 && step.after.onBoard(x, y)) return true;
  step.replies.push_back("ERROR bad coordinates");
  return false;
}

// A stone of the next colour on an empty cell (the record gives the colour);
// false, the game unchanged, on an occupied one.
bool placeMove(ModelGame& game, int x, int y) {
  if (game.occupied(x, y)) return false;
  game.record.push_back({x, y});
  return true;
}

void boardBlock(ModelStep& step, const char* following, size_t size, bool thinking) {
  std::string line;
  size_t at = 0;
  for (;;) {
    if (!nextLine(following, size, at, line)) {
      step.consumed = size;  // the whole rest, to the end of input; no think
      return;
    }
    int x, y, who;
    if (std::sscanf(line.c_str(), "%d,%d,%d", &x, &y, &who) == 3 && step.after.onBoard(x, y) && who >= 1 && who <= 3) {
      ModelGame& g = step.after;
      if (who == 3) {
        if (g.occupied(x, y))
          step.replies.push_back("ERROR board-block move [" + cellText(x, y) + "]");
        else
          g.blocks.push_back({x, y});
      } else if (!placeMove(g, x, y)) {
        step.replies.push_back((who == 1 ? "ERROR my move [" : "ERROR opponents's move [") + cellText(x, y) + "]");
      }
      continue;
    }
    if (!isDone(line)) step.replies.push_back("ERROR x,y,who or DONE expected after BOARD");
    break;
  }
  step.consumed = at;
  step.thinks = thinking;
}

// A block of "x,y" lines on the board ended by DONE (YXBLOCK, YXBLOCKUNDO,
// SWAP2BOARD): the cells in order into `cells`. A line that is neither ends
// the block with `refusal` (false); so does the end of input, silently.
bool cellBlock(ModelStep& step, const char* following, size_t size, const std::string& refusal,
               std::vector<ModelCell>& cells) {
  std::string line;
  size_t at = 0;
  for (;;) {
    if (!nextLine(following, size, at, line)) {
      step.consumed = size;
      return false;
    }
    int x, y;
    if (std::sscanf(line.c_str(), "%d,%d", &x, &y) == 2 && step.after.onBoard(x, y)) {
      cells.push_back({x, y});
      continue;
    }
    step.consumed = at;
    if (isDone(line)) return true;
    step.replies.push_back(refusal);
    return false;
  }
}

// An INFO value: blanks, a sign, the digits up to the first other character;
// beyond the 32-bit range it saturates.
long long infoNumber(const char* text) {
  while (std::isspace(static_cast<unsigned char>(*text))) text++;
  const bool negative = *text == '-';
  if (*text == '+' || *text == '-') text++;
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; text++) value = std::min(value * 10 + (*text - '0'), 1LL << 32);
  value = negative ? -value : value;
  return std::max(-2147483648LL, std::min(value, 2147483647LL));
}

// The settings an INFO line makes (keys matched as the command words are,
// the first of the list that the text starts with deciding).
void infoSetting(ModelStep& step, const char* args) {
  static const char* const keys[] = {"MAX_MEMORY", "TIMEOUT_MATCH", "TIMEOUT_TURN", "TIME_LEFT", "GAME_TYPE",
                                     "RULE",       "THREAD_NUM",    "MAX_NODE",     "MAX_DEPTH", "THREAT_SEARCH",
                                     "LEVEL",      "SHOW_DETAIL"};
  for (const char* key : keys) {
    if (!startsWithWord(args, key)) continue;
    const std::string k = key;
    const long long v = infoNumber(args + k.size());
    step.infoKey = key;
    if (k == "MAX_MEMORY" || k == "MAX_NODE" || k == "MAX_DEPTH")
      step.infoValue = std::max(0LL, v);
    else if (k == "RULE")
      step.infoValue = ((v & 4) != 0 || v == 2) ? 2 : (v & 1);  // README: Renju bit, standard bit
    else if (k == "LEVEL")
      step.infoValue = std::max(0LL, std::min(v, 5LL));  // README: outside 1 ... 5 the nearest level
    else if (k == "GAME_TYPE" || k == "THREAD_NUM" || k == "THREAT_SEARCH")
      step.infoKey = nullptr;  // no value to compare
    else
      step.infoValue = v;
    return;
  }
}

}  // namespace

bool ModelGame::occupied(int x, int y) const {
  for (const ModelCell& c : record)
    if (c.x == x && c.y == y) return true;
  for (const ModelCell& c : blocks)
    if (c.x == x && c.y == y) return true;
  return false;
}

bool ModelGame::excludes(int x, int y) const {
  for (const ModelCell& c : excluded)
    if (c.x == x && c.y == y) return true;
  return false;
}

bool ModelGame::operator==(const ModelGame& o) const {
  if (width != o.width || height != o.height || record != o.record || blocks != o.blocks) return false;
  if (excluded.size() != o.excluded.size()) return false;
  for (const ModelCell& c : excluded)
    if (!o.excludes(c.x, c.y)) return false;
  return true;
}

bool ModelGame::full() const {
  for (int x = 0; x < width; x++)
    for (int y = 0; y < height; y++)
      if (!occupied(x, y)) return false;
  return true;
}

ModelStep modelCommand(const ModelGame& before, const char* line, const char* following, size_t size) {
  ModelStep step;
  step.after = before;
  // The words in the order they are tried: the first whose prefix the line
  // starts with decides, so TURNING is a TURN and ENDGAME an END.
  static const char* const words[] = {"INFO", "START", "RECTSTART", "RESTART",      "TURN", "PLAY",   "BEGIN",  "ABOUT",
                                      "END",  "BOARD", "TAKEBACK",  "YXSHOWFORBID", "STOP", "YXSTOP", "YXBOARD",
                                      // the longer words that start as YXBLOCK are tried before it
                                      "YXNBEST", "YXBLOCKUNDO", "YXBLOCKRESET", "YXBLOCK", "YXHASHCLEAR",
                                      "SWAP2BOARD", "YXBALANCEONE", "YXBALANCETWO"};
  const char* word = nullptr;
  for (const char* w : words)
    if (startsWithWord(line, w)) {
      word = w;
      break;
    }
  if (word == nullptr) {
    step.replies.push_back("UNKNOWN command");
    return step;
  }
  const char* args = line + std::strlen(word);
  while (std::isspace(static_cast<unsigned char>(*args))) args++;
  const std::string w = word;
  int x, y;
  if (w == "INFO") {
    infoSetting(step, args);
  } else if (w == "STOP" || w == "YXSTOP") {
    // No think is running: nothing to stop, nothing to say.
  } else if (w == "START") {
    int a, b, width = before.width, height = before.height;
    const int read = std::sscanf(args, "%d %d", &a, &b);
    if (read == 2)
      width = a, height = b;
    else if (read == 1)
      width = height = a;
    if (width == 0) width = height = 20;
    newGame(step, width, height);
  } else if (w == "RECTSTART") {
    int width, height;
    if (std::sscanf(args, "%d ,%d", &width, &height) != 2) {
      step.replies.push_back("ERROR bad RECTSTART parameters");
    } else {
      if (width == 0) width = height = 20;
      newGame(step, width, height);
    }
  } else if (w == "RESTART") {
    newGame(step, before.width == 0 ? 20 : before.width, before.width == 0 ? 20 : before.height);
  } else if (w == "TURN") {
    ensureGame(step);
    if (scanCell(step, args, x, y)) {
      if (!placeMove(step.after, x, y)) step.replies.push_back("ERROR opponents's move [" + cellText(x, y) + "]");
      step.thinks = true;
    }
  } else if (w == "PLAY") {
    ensureGame(step);
    if (scanCell(step, args, x, y)) {
      if (!placeMove(step.after, x, y)) step.replies.push_back("ERROR my move [" + cellText(x, y) + "]");
      step.replies.push_back(cellText(x, y));
    }
  } else if (w == "BEGIN") {
    ensureGame(step);
    step.thinks = true;
  } else if (w == "ABOUT") {
    step.replies.push_back(ABOUT_LINE);
  } else if (w == "END") {
    step.ends = true;
  } else if (w == "BOARD" || w == "YXBOARD") {
    ensureGame(step);
    boardBlock(step, following, size, w == "BOARD");
  } else if (w == "TAKEBACK") {
    ensureGame(step);
    if (scanCell(step, args, x, y)) {
      ModelGame& g = step.after;
      bool done = false;
      if (!g.record.empty() && g.record.back() == ModelCell{x, y}) {
        g.record.pop_back();
        done = true;
      } else {
        for (size_t i = 0; i < g.blocks.size() && !done; i++)
          if (g.blocks[i] == ModelCell{x, y}) {
            g.blocks.erase(g.blocks.begin() + static_cast<long>(i));
            done = true;
          }
      }
      step.replies.push_back(done ? "OK" : "ERROR bad coordinates");
    }
  } else if (w == "YXSHOWFORBID") {
    step.replies.push_back("FORBID");  // a form, checked by checkForbid
  } else if (w == "YXNBEST") {
    ensureGame(step);
    int lines;
    if (std::sscanf(args, "%d", &lines) != 1 || lines < 1) {
      step.replies.push_back("ERROR bad YXNBEST parameters");
    } else {
      step.thinks = true;
      step.task = TASK_NBEST;
      step.taskArgument = std::min(lines, 32);  // README: at most 32 lines
    }
  } else if (w == "YXBLOCK" || w == "YXBLOCKUNDO") {
    ensureGame(step);
    std::vector<ModelCell> cells;
    cellBlock(step, following, size, "ERROR x,y or DONE expected after " + w, cells);
    // The cells before a bad line count as well.
    std::vector<ModelCell>& ex = step.after.excluded;
    for (const ModelCell& c : cells) {
      const auto found = std::find(ex.begin(), ex.end(), c);
      if (w == "YXBLOCK" && found == ex.end()) ex.push_back(c);
      if (w == "YXBLOCKUNDO" && found != ex.end()) ex.erase(found);
    }
  } else if (w == "YXBLOCKRESET") {
    step.after.excluded.clear();
  } else if (w == "YXHASHCLEAR") {
    // Tables only: nothing to say, nothing of the game changes.
  } else if (w == "SWAP2BOARD") {
    ensureGame(step);
    std::vector<ModelCell> cells;
    if (cellBlock(step, following, size, "ERROR x,y or DONE expected after SWAP2BOARD", cells)) {
      bool distinct = true;
      for (size_t i = 0; i < cells.size(); i++)
        for (size_t j = 0; j < i; j++)
          if (cells[i] == cells[j]) distinct = false;
      if (!distinct || (cells.size() != 0 && cells.size() != 3 && cells.size() != 5)) {
        step.replies.push_back("ERROR SWAP2BOARD needs 0, 3 or 5 stones on distinct cells");
      } else {
        // As RESTART (no greeting) and the stones in the order given.
        step.after.record = cells;
        step.after.blocks.clear();
        step.after.excluded.clear();
        step.thinks = true;
        step.task = TASK_SWAP2;
      }
    }
  } else if (w == "YXBALANCEONE" || w == "YXBALANCETWO") {
    ensureGame(step);
    int bias;
    if (std::sscanf(args, "%d", &bias) != 1) {
      step.replies.push_back("ERROR bad " + w + " parameters");
    } else {
      step.thinks = true;
      step.task = w == "YXBALANCEONE" ? TASK_BALANCE_ONE : TASK_BALANCE_TWO;
    }
  }
  return step;
}

namespace {

// "x,y" exactly, as the engine prints a cell.
bool exactCell(const std::string& text, int& x, int& y) {
  char tail;
  return std::sscanf(text.c_str(), "%d,%d%c", &x, &y, &tail) == 2 && text == cellText(x, y);
}

// Cells "x,y" separated by single blanks, exactly.
bool exactCells(const std::string& text, std::vector<ModelCell>& cells) {
  cells.clear();
  size_t from = 0;
  for (;;) {
    const size_t blank = text.find(' ', from);
    int x, y;
    if (!exactCell(text.substr(from, blank == std::string::npos ? std::string::npos : blank - from), x, y))
      return false;
    cells.push_back({x, y});
    if (blank == std::string::npos) return true;
    from = blank + 1;
  }
}

bool freeCell(const ModelGame& g, const ModelCell& c) { return g.onBoard(c.x, c.y) && !g.occupied(c.x, c.y); }

// A cell a think may choose: free, and not one of the excluded root moves
// unless every free cell is.
bool choosable(const ModelGame& g, const ModelCell& c) {
  if (!freeCell(g, c)) return false;
  if (!g.excludes(c.x, c.y)) return true;
  for (int x = 0; x < g.width; x++)
    for (int y = 0; y < g.height; y++)
      if (!g.occupied(x, y) && !g.excludes(x, y)) return false;
  return true;
}

int freeUnexcluded(const ModelGame& g) {
  int n = 0;
  for (int x = 0; x < g.width; x++)
    for (int y = 0; y < g.height; y++)
      if (!g.occupied(x, y) && !g.excludes(x, y)) n++;
  return n;
}

// The free cell nearest the centre (Manhattan distance, the first in
// x-then-y order on ties) that is neither excluded nor in `taken`; x < 0
// when none.
ModelCell nearestCentre(const ModelGame& g, const std::vector<ModelCell>& taken) {
  const int cx = g.width / 2, cy = g.height / 2;
  ModelCell best{-1, -1};
  int nearest = 1 << 30;
  for (int x = 0; x < g.width; x++)
    for (int y = 0; y < g.height; y++) {
      const int d = std::abs(x - cx) + std::abs(y - cy);
      if (g.occupied(x, y) || g.excludes(x, y) || std::find(taken.begin(), taken.end(), ModelCell{x, y}) != taken.end())
        continue;
      if (d < nearest) nearest = d, best = {x, y};
    }
  return best;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// "MESSAGE depth D eval E nodes N time T pv P": D, E and P.
bool analysisParts(const std::string& line, std::string& depth, std::string& eval, std::string& pv) {
  const size_t d = line.find(" eval "), n = line.find(" nodes "), p = line.find(" pv ");
  if (!startsWith(line, "MESSAGE depth ") || d == std::string::npos || n == std::string::npos || p == std::string::npos)
    return false;
  depth = line.substr(14, d - 14);
  eval = line.substr(d + 6, n - d - 6);
  pv = line.substr(p + 4);
  return true;
}

// "INFO KEY value": the value when the line starts so, else false.
bool infoValue(const std::string& line, const char* key, std::string& value) {
  const std::string head = std::string("INFO ") + key + " ";
  if (!startsWith(line, head.c_str())) return false;
  value = line.substr(head.size());
  return true;
}

bool digits(const std::string& s, long long& v) {
  if (s.empty() || s.size() > 18) return false;
  v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  return true;
}

// The detail block after an analysis line (depth, eval, pv as it printed
// them) of line `lineNumber` of `lineCount`: twelve lines, one key each.
const char* checkDetailBlock(const std::vector<std::string>& lines, size_t& i, int lineNumber, int lineCount,
                             const std::string& depth, const std::string& eval, const std::string& pv) {
  auto at = [&](size_t k) -> std::string { return k < lines.size() ? lines[k] : std::string(); };
  std::string v;
  long long a, b;
  if (at(i++) != "INFO PV " + std::to_string(lineNumber)) return "a detail block without its line's INFO PV";
  if (at(i++) != "INFO NUMPV " + std::to_string(lineCount)) return "a detail block's NUMPV is not the line count";
  if (at(i++) != "INFO DEPTH " + depth) return "a detail block's DEPTH differs from its analysis line";
  if (!infoValue(at(i++), "SELDEPTH", v) || !digits(v, a) || !digits(depth, b) || a < b)
    return "a detail block's SELDEPTH below its depth";
  if (!infoValue(at(i++), "NODES", v) || !digits(v, a)) return "a detail block without NODES";
  if (!infoValue(at(i++), "TOTALNODES", v) || !digits(v, b) || b < a)
    return "a detail block's TOTALNODES below its NODES";
  if (!infoValue(at(i++), "TOTALTIME", v) || !digits(v, a)) return "a detail block without TOTALTIME";
  if (!infoValue(at(i++), "SPEED", v) || !digits(v, a)) return "a detail block without SPEED";
  if (at(i++) != "INFO EVAL " + eval) return "a detail block's EVAL differs from its analysis line";
  if (!infoValue(at(i++), "WINRATE", v) || v.size() != 6 || v[1] != '.' || !digits(v.substr(2), a) ||
      (v[0] != '0' && v != "1.0000"))
    return "a detail block's WINRATE not a number 0 ... 1 of four decimals";
  // Proven wins and losses are certain; otherwise the rate leans the value's way.
  if ((eval[0] == '+' && v != "1.0000") || (eval[0] == '-' && eval[1] == 'M' && v != "0.0000"))
    return "a detail block's WINRATE disagrees with a proven result";
  if ((eval[0] == '-' && v > "0.5000") || (eval[0] >= '1' && eval[0] <= '9' && v < "0.5000"))
    return "a detail block's WINRATE on the wrong side of a half";
  if (at(i++) != "INFO BESTLINE " + pv) return "a detail block's BESTLINE differs from its analysis line";
  if (at(i++) != "INFO PV DONE") return "a detail block without INFO PV DONE";
  return nullptr;
}

// The lines a search prints while it runs: the rule notice, the table
// notice, the analysis line of every iteration, after each (show_detail 1,
// 3) its REALTIME BEST and (2, 3) its detail block, and (1, 3) the REALTIME
// lines of the root moves. Stops at the first other line.
const char* searchLines(const ModelGame& game, int rule, long long show, int lineNumber, int lineCount,
                        const std::vector<std::string>& lines, size_t& i) {
  const bool realtime = show == 1 || show == 3, detail = show == 2 || show == 3;
  while (i < lines.size()) {
    const std::string& l = lines[i];
    if (startsWith(l, "MESSAGE Rule ")) {
      if (l != RULE_LINES[rule]) return "a think announces a rule other than the one in force";
      i++;
    } else if (startsWith(l, "MESSAGE max_memory ")) {
      if (!thinkMessage(l)) return "a table notice of an unknown form";
      i++;
    } else if (startsWith(l, "MESSAGE REALTIME ")) {
      if (!realtime) return "a REALTIME line without show_detail 1 or 3";
      int x, y;
      const size_t blank = l.find(' ', 17);
      if (!thinkMessage(l) || blank == std::string::npos || !exactCell(l.substr(blank + 1), x, y))
        return "a REALTIME line of an unknown form";
      if (!freeCell(game, {x, y})) return "a REALTIME line names an occupied cell";
      if ((startsWith(l, "MESSAGE REALTIME POS ") || startsWith(l, "MESSAGE REALTIME BEST ")) &&
          !choosable(game, {x, y}))
        return "a REALTIME line searches an excluded root move";
      i++;
    } else if (startsWith(l, "MESSAGE depth ")) {
      std::string depth, eval, pv;
      if (!thinkMessage(l) || !analysisParts(l, depth, eval, pv)) return "an analysis line of an unknown form";
      i++;
      if (realtime && (i >= lines.size() || lines[i] != "MESSAGE REALTIME BEST " + pv.substr(0, pv.find(' '))))
        return "an analysis line without the REALTIME BEST of its move";
      if (realtime) i++;
      if (detail)
        if (const char* wrong = checkDetailBlock(lines, i, lineNumber, lineCount, depth, eval, pv)) return wrong;
    } else if (startsWith(l, "INFO ")) {
      return "a detail line outside the block after an analysis line";
    } else {
      break;
    }
  }
  return nullptr;
}

// The draw notice of Renju after a move, with its empty line.
const char* drawNotice(int rule, const std::vector<std::string>& lines, size_t& i) {
  if (rule == 2 && i < lines.size() && lines[i] == "MESSAGE It's a draw") {
    if (i + 1 >= lines.size() || lines[i + 1] != "") return "the draw notice without its empty line";
    i += 2;
  }
  return nullptr;
}

const char* checkMoveThink(ModelGame& game, int rule, long long show, const std::vector<std::string>& lines,
                           size_t& i, bool plays) {
  auto at = [&](size_t k) -> std::string { return k < lines.size() ? lines[k] : std::string(); };
  if (game.record.empty()) {
    // The first move is not searched: the centre, or the free cell nearest
    // to it that is not excluded; with all excluded, the first free cell.
    if (at(i++) != "MESSAGE Speed=0") return "the first move's think does not start with MESSAGE Speed=0";
    ModelCell c = nearestCentre(game, {});
    for (int x = 0; x < game.width && c.x < 0; x++)
      for (int y = 0; y < game.height && c.x < 0; y++)
        if (!game.occupied(x, y)) c = {x, y};
    if (c.x >= 0) {
      if (at(i++) != cellText(c.x, c.y)) return "the first move is not the free cell nearest the centre";
      if (plays) game.record.push_back(c);
    } else if (at(i++) != "MESSAGE pass" || at(i++) != "-1,-1") {
      return "a full board's think does not pass";
    }
    return nullptr;
  }
  if (const char* wrong = searchLines(game, rule, show, 1, 1, lines, i)) return wrong;
  if (!startsWith(at(i), "MESSAGE Speed=") || !knownReply(at(i).c_str(), at(i).size(), false))
    return "a think without its Speed line";
  i++;
  if (game.full()) {
    if (at(i++) != "MESSAGE pass" || at(i++) != "-1,-1") return "a full board's think does not pass";
    return nullptr;
  }
  int x, y;
  if (!exactCell(at(i++), x, y)) return "a think without its move line";
  if (!freeCell(game, {x, y})) return "a think's move on an occupied cell or off the board";
  if (!choosable(game, {x, y})) return "a think's move is an excluded root move while others are free";
  if (plays) game.record.push_back({x, y});
  return nullptr;
}

const char* checkBestLines(ModelGame& game, int rule, long long show, int count, const std::vector<std::string>& lines,
                           size_t& i) {
  auto at = [&](size_t k) -> std::string { return k < lines.size() ? lines[k] : std::string(); };
  std::vector<ModelCell> chosen;
  if (game.record.empty()) {
    // Not searched: the lines are the free cells nearest the centre, as many
    // as asked for and there are.
    for (int k = 1; k <= count; k++) {
      const ModelCell c = nearestCentre(game, chosen);
      if (c.x < 0) break;
      if (at(i++) != "MESSAGE (" + std::to_string(k) + ") 0 | 0-0 | " + cellText(c.x, c.y))
        return "an empty board's N-best line is not the next cell nearest the centre";
      chosen.push_back(c);
    }
  } else {
    for (int k = 1; k <= count; k++) {
      if (const char* wrong = searchLines(game, rule, show, k, count, lines, i)) return wrong;
      const std::string head = "MESSAGE (" + std::to_string(k) + ") ";
      if (!startsWith(at(i), head.c_str())) break;
      const std::string l = at(i++);
      if (!knownReply(l.c_str(), l.size(), false)) return "an N-best line of an unknown form";
      std::vector<ModelCell> pv;
      const size_t bar = l.rfind(" | ");
      if (bar == std::string::npos || !exactCells(l.substr(bar + 3), pv)) return "an N-best line without its moves";
      if (!choosable(game, pv[0]) || std::find(chosen.begin(), chosen.end(), pv[0]) != chosen.end())
        return "an N-best line's move is occupied, excluded or an earlier line's";
      chosen.push_back(pv[0]);
    }
  }
  if (chosen.empty()) {
    // No line: the move think's own choice, not played.
    if (game.record.empty() || game.full() || freeUnexcluded(game) == 0) return checkMoveThink(game, rule, show, lines, i, false);
    return "no N-best line while root moves are free";
  }
  if (!startsWith(at(i), "MESSAGE Speed=") || !knownReply(at(i).c_str(), at(i).size(), false))
    return "N-best lines without their Speed line";
  i++;
  if (at(i++) != cellText(chosen[0].x, chosen[0].y)) return "the N-best answer is not the first line's move";
  return nullptr;
}

const char* checkBalance(const ModelGame& game, int rule, bool two, const std::vector<std::string>& lines, size_t& i) {
  auto at = [&](size_t k) -> std::string { return k < lines.size() ? lines[k] : std::string(); };
  if (at(i) == RULE_LINES[rule]) i++;
  if (at(i) == "MESSAGE pass") {
    // Only the cells near the stones are tried, and Renju keeps Black off
    // his forbidden ones, so a pass is right only when those may be all gone.
    if (freeUnexcluded(game) >= (two ? 2 : 1) && game.excluded.empty() && rule != 2)
      return "a balance search passes while cells are free";
    if (at(i + 1) != "-1,-1") return "a balance pass without -1,-1";
    i += 2;
    return nullptr;
  }
  std::vector<ModelCell> cells;
  if (!exactCells(at(i++), cells) || cells.size() != (two ? 2u : 1u))
    return two ? "YXBALANCETWO not answered by two cells" : "YXBALANCEONE not answered by one cell";
  for (const ModelCell& c : cells)
    if (!freeCell(game, c) || game.excludes(c.x, c.y)) return "a balancing move on an occupied or excluded cell";
  if (two && cells[0] == cells[1]) return "YXBALANCETWO names the same cell twice";
  return nullptr;
}

const char* checkSwap2(ModelGame& game, int rule, long long show, const std::vector<std::string>& lines, size_t& i) {
  auto at = [&](size_t k) -> std::string { return k < lines.size() ? lines[k] : std::string(); };
  const size_t stones = game.record.size();
  if (const char* wrong = searchLines(game, rule, show, 1, 1, lines, i)) return wrong;
  const std::string answer = at(i++);
  if (stones == 0 && game.width * game.height < 3) {
    // No room for an opening of three stones.
    if (answer != "MESSAGE pass" || at(i++) != "-1,-1") return "a board of under three cells not passed";
    return nullptr;
  }
  if (answer == "SWAP") {
    if (stones == 0) return "SWAP answered to an empty opening";
    return nullptr;
  }
  std::vector<ModelCell> cells;
  if (!exactCells(answer, cells)) return "a Swap2 answer that is neither SWAP nor cells";
  if (stones == 0) {
    if (cells.size() != 3) return "an empty Swap2 opening not answered by three stones";
    const int cx = game.width / 2, cy = game.height / 2;
    if (!(cells[0] == ModelCell{cx, cy}) || std::max(std::abs(cells[1].x - cx), std::abs(cells[1].y - cy)) != 1)
      return "the Swap2 opening is not Black in the centre and White beside it";
  } else if (cells.size() != 1 && !(stones == 3 && cells.size() == 2)) {
    return "a Swap2 answer of a count the opening does not allow";
  }
  for (const ModelCell& c : cells) {
    if (!freeCell(game, c)) return "a Swap2 stone on an occupied cell or off the board";
    game.record.push_back(c);
  }
  return nullptr;
}

}  // namespace

const char* checkThink(ModelGame& game, int rule, long long showDetail, const ModelStep& step,
                       const std::vector<std::string>& lines) {
  size_t i = 0;
  const char* wrong = nullptr;
  switch (step.task) {
    case TASK_MOVE:
      wrong = checkMoveThink(game, rule, showDetail, lines, i, true);
      if (!wrong) wrong = drawNotice(rule, lines, i);
      break;
    case TASK_NBEST: wrong = checkBestLines(game, rule, showDetail, step.taskArgument, lines, i); break;
    case TASK_BALANCE_ONE:
    case TASK_BALANCE_TWO: wrong = checkBalance(game, rule, step.task == TASK_BALANCE_TWO, lines, i); break;
    case TASK_SWAP2: wrong = checkSwap2(game, rule, showDetail, lines, i); break;
  }
  if (wrong) return wrong;
  if (i != lines.size()) return "lines after a think's answer";
  return nullptr;
}

const char* checkForbid(const ModelGame& game, int rule, const std::string& line) {
  if (rule != 2) return line == "FORBID ." ? nullptr : "forbidden cells outside Renju";
  if (line.rfind("FORBID ", 0) != 0 || line.back() != '.') return "not a FORBID line";
  const size_t digits = line.size() - 8;
  if (digits % 4 != 0) return "a FORBID cell of other than four digits";
  int last = -1;
  for (size_t k = 7; k + 4 < line.size(); k += 4) {
    int x = 0, y = 0;
    for (int d = 0; d < 4; d++) {
      const char c = line[k + d];
      if (c < '0' || c > '9') return "a FORBID cell of other than four digits";
      (d < 2 ? x : y) = (d < 2 ? x : y) * 10 + (c - '0');
    }
    if (!game.onBoard(x, y) || game.occupied(x, y)) return "a forbidden cell off the board or occupied";
    if (x * 32 + y <= last) return "forbidden cells out of order";
    last = x * 32 + y;
  }
  return nullptr;
}
