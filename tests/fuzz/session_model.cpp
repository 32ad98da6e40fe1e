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
                                     "RULE",       "THREAD_NUM",    "MAX_NODE",     "MAX_DEPTH", "SHOW_DETAIL"};
  for (const char* key : keys) {
    if (!startsWithWord(args, key)) continue;
    const std::string k = key;
    const long long v = infoNumber(args + k.size());
    step.infoKey = key;
    if (k == "MAX_MEMORY" || k == "MAX_NODE" || k == "MAX_DEPTH")
      step.infoValue = std::max(0LL, v);
    else if (k == "RULE")
      step.infoValue = ((v & 4) != 0 || v == 2) ? 2 : (v & 1);  // README: Renju bit, standard bit
    else if (k == "GAME_TYPE" || k == "THREAD_NUM")
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
                                      "END",  "BOARD", "TAKEBACK",  "YXSHOWFORBID", "STOP", "YXSTOP", "YXBOARD"};
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
  }
  return step;
}

const char* checkThink(ModelGame& game, int rule, const std::vector<std::string>& lines) {
  size_t i = 0;
  auto at = [&](size_t k) -> const std::string& {
    static const std::string none;
    return k < lines.size() ? lines[k] : none;
  };
  if (game.record.empty()) {
    // The first move is not searched: the centre, or the empty cell nearest
    // to it (Manhattan distance, the first in x-then-y order on ties).
    if (at(i++) != "MESSAGE Speed=0") return "the first move's think does not start with MESSAGE Speed=0";
    const int cx = game.width / 2, cy = game.height / 2;
    int bx = -1, by = -1, nearest = 1 << 30;
    for (int x = 0; x < game.width; x++)
      for (int y = 0; y < game.height; y++) {
        const int d = std::abs(x - cx) + std::abs(y - cy);
        if (!game.occupied(x, y) && d < nearest) nearest = d, bx = x, by = y;
      }
    if (bx >= 0) {
      if (at(i++) != cellText(bx, by)) return "the first move is not the free cell nearest the centre";
      game.record.push_back({bx, by});
    } else {
      if (at(i++) != "MESSAGE pass" || at(i++) != "-1,-1") return "a full board's think does not pass";
    }
  } else {
    // Before the Speed line: the rule notice, table notices, analysis lines.
    while (i < lines.size() && at(i).rfind("MESSAGE Speed=", 0) != 0) {
      const std::string& l = at(i++);
      if (l.rfind("MESSAGE Rule ", 0) == 0) {
        if (l != RULE_LINES[rule]) return "a think announces a rule other than the one in force";
      } else if (!thinkMessage(l)) {
        return "a line before a think's Speed line that a think does not print";
      }
    }
    if (!knownReply(at(i).c_str(), at(i).size(), false) || at(i).rfind("MESSAGE Speed=", 0) != 0)
      return "a think without its Speed line";
    i++;
    if (game.full()) {
      if (at(i++) != "MESSAGE pass" || at(i++) != "-1,-1") return "a full board's think does not pass";
    } else {
      int x, y;
      char tail;
      const std::string& move = at(i++);
      if (std::sscanf(move.c_str(), "%d,%d%c", &x, &y, &tail) != 2 || move != cellText(x, y))
        return "a think without its move line";
      if (!game.onBoard(x, y) || game.occupied(x, y)) return "a think's move on an occupied cell or off the board";
      game.record.push_back({x, y});
    }
  }
  if (rule == 2 && at(i) == "MESSAGE It's a draw") {
    if (at(i + 1) != "") return "the draw notice without its empty line";
    i += 2;
  }
  if (i != lines.size()) return "lines after a think's move";
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
