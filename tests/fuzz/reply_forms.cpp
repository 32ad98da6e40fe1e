#include "tests/fuzz/reply_forms.h"

#include <cctype>

namespace {

// A small cursor over one line; every form the engine may print is listed in
// knownReply.

struct Cursor {
  const char* p;
  const char* end;

  // Compared by hand: the fuzzer hooks memcmp and would learn the reply
  // texts as input tokens.
  bool literal(const char* s) {
    const char* q = p;
    for (; *s; s++, q++)
      if (q == end || *q != *s) return false;
    p = q;
    return true;
  }
  // A decimal number without sign; false when no digit.
  bool number(long long& value) {
    if (p == end || !std::isdigit(static_cast<unsigned char>(*p))) return false;
    value = 0;
    while (p < end && std::isdigit(static_cast<unsigned char>(*p))) {
      if (value < 1000000000000LL) value = value * 10 + (*p - '0');
      p++;
    }
    return true;
  }
  bool signedNumber(long long& value) {
    const bool negative = p < end && *p == '-';
    if (negative) p++;
    if (!number(value)) return false;
    if (negative) value = -value;
    return true;
  }
  // A cell "x,y" of a 22 x 22 board at most.
  bool cell() {
    long long x, y;
    return number(x) && x < 22 && literal(",") && number(y) && y < 22;
  }
  bool done() const { return p == end; }
};

// A value as the engine shows it: a signed number, or +M<n> / -M<n>.
bool value(Cursor& c) {
  long long v;
  if (c.literal("+M") || c.literal("-M")) return c.number(v);
  return c.signedNumber(v);
}

// A principal variation to the end of the line: cells separated by blanks.
bool cellsToEnd(Cursor& c) {
  if (!c.cell()) return false;
  while (!c.done())
    if (!c.literal(" ") || !c.cell()) return false;
  return true;
}

bool analysisLine(Cursor c) {
  long long v;
  if (!c.literal("depth ") || !c.number(v) || !c.literal(" eval ") || !value(c)) return false;
  if (!c.literal(" nodes ") || !c.number(v) || !c.literal(" time ") || !c.signedNumber(v) || !c.literal(" pv "))
    return false;
  return cellsToEnd(c);
}

// A line of YXNBEST: "(k) value | depth-seldepth | pv", k from 1 to 32.
bool bestLine(Cursor c) {
  long long k, v;
  return c.literal("(") && c.number(k) && k >= 1 && k <= 32 && c.literal(") ") && value(c) && c.literal(" | ") &&
         c.number(v) && c.literal("-") && c.number(v) && c.literal(" | ") && cellsToEnd(c);
}

// A line of the detail block that follows an analysis line under
// show_detail 2 and 3.
bool detailLine(Cursor c) {
  long long v;
  if (!c.literal("INFO ")) return false;
  {
    Cursor t = c;
    if (t.literal("PV DONE") && t.done()) return true;
  }
  for (const char* key : {"PV ", "NUMPV "}) {
    Cursor t = c;
    if (t.literal(key) && t.number(v) && v >= 1 && v <= 32 && t.done()) return true;
  }
  for (const char* key : {"DEPTH ", "SELDEPTH ", "NODES ", "TOTALNODES ", "TOTALTIME ", "SPEED "}) {
    Cursor t = c;
    if (t.literal(key) && t.number(v) && t.done()) return true;
  }
  {
    Cursor t = c;
    if (t.literal("EVAL ") && value(t) && t.done()) return true;
  }
  {
    Cursor t = c;
    if (t.literal("WINRATE ") && (t.literal("0.") || t.literal("1.")) && t.end - t.p == 4 && t.number(v) && t.done())
      return true;
  }
  {
    Cursor t = c;
    if (t.literal("BESTLINE ") && cellsToEnd(t)) return true;
  }
  return false;
}

// What follows "MESSAGE " in thinkMessage's lines.
bool thinkText(Cursor c) {
  long long v;
  {
    Cursor t = c;
    if (t.literal("REALTIME ") && (t.literal("BEST ") || t.literal("LOST ") || t.literal("POS ") || t.literal("DONE ")) &&
        t.cell() && t.done())
      return true;
  }
  {
    Cursor t = c;
    if (t.literal("max_memory ") && t.signedNumber(v) && t.literal(" is below the minimum of ") && t.number(v) &&
        t.literal(" bytes: using the smallest tables") && t.done())
      return true;
  }
  if (bestLine(c)) return true;
  return analysisLine(c);
}

bool messageLine(Cursor c) {
  long long v;
  {
    Cursor t = c;
    if (t.literal("Ruvan " RUVAN_VERSION) && t.done()) return true;
  }
  {
    Cursor t = c;
    if (t.literal("Speed=") && t.number(v) && t.done()) return true;
  }
  for (const char* rule : {"Gomoku (Freestyle)", "Gomoku (Standard)", "Renju"}) {
    Cursor t = c;
    if (t.literal("Rule ") && t.literal(rule) && t.done()) return true;
  }
  {
    Cursor t = c;
    if (t.literal("It's a draw") && t.done()) return true;
  }
  {
    Cursor t = c;
    if (t.literal("pass") && t.done()) return true;
  }
  return thinkText(c);
}

}  // namespace

bool knownReply(const char* line, size_t length, bool afterDraw) {
  Cursor c{line, line + length};
  if (length == 0) return afterDraw;  // the draw notice ends with an empty line
  for (const char* fixed : {"OK", "UNKNOWN command", "ERROR size of the board", "ERROR bad RECTSTART parameters",
                            "ERROR bad coordinates", "ERROR x,y,who or DONE expected after BOARD", "-1,-1",
                            "ERROR bad YXNBEST parameters", "ERROR bad YXBALANCEONE parameters",
                            "ERROR bad YXBALANCETWO parameters", "ERROR x,y or DONE expected after YXBLOCK",
                            "ERROR x,y or DONE expected after YXBLOCKUNDO", "ERROR x,y or DONE expected after SWAP2BOARD",
                            "ERROR SWAP2BOARD needs 0, 3 or 5 stones on distinct cells", "SWAP"}) {
    Cursor t = c;
    if (t.literal(fixed) && t.done()) return true;
  }
  for (const char* refusal : {"ERROR my move [", "ERROR opponents's move [", "ERROR board-block move ["}) {
    Cursor t = c;
    if (t.literal(refusal) && t.cell() && t.literal("]") && t.done()) return true;
  }
  {
    // A move, the two of YXBALANCETWO or of Swap2, the three of a Swap2 opening.
    Cursor t = c;
    if (t.cell() && (t.done() || (t.literal(" ") && t.cell() && (t.done() || (t.literal(" ") && t.cell() && t.done())))))
      return true;
  }
  if (detailLine(c)) return true;
  {
    Cursor t = c;
    if (t.literal("FORBID ")) {
      long long x, y;
      while (t.end - t.p >= 4 && std::isdigit(static_cast<unsigned char>(*t.p))) {
        Cursor xx{t.p, t.p + 2}, yy{t.p + 2, t.p + 4};
        if (!xx.number(x) || !xx.done() || !yy.number(y) || !yy.done() || x >= 22 || y >= 22) return false;
        t.p += 4;
      }
      return t.literal(".") && t.done();
    }
  }
  {
    Cursor t = c;
    if (t.literal(ABOUT_LINE) && t.done()) return true;
  }
  {
    Cursor t = c;
    if (t.literal("MESSAGE ")) return messageLine(t);
  }
  return false;
}

bool thinkMessage(const std::string& line) {
  Cursor c{line.data(), line.data() + line.size()};
  return c.literal("MESSAGE ") && thinkText(c);
}
