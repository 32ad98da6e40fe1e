// The command dispatcher and the line printer.
//
//   command    argument   stops thinking  reply
//   INFO       key value  no              none
//   START      "%d %d"    yes             greeting + "OK" | "ERROR size of the board"
//   RECTSTART  "%d ,%d"   yes (if parsed) as START | "ERROR bad RECTSTART parameters"
//   RESTART    ignored    yes             greeting + "OK"
//   TURN       "%d,%d"    yes             the engine's move | "ERROR bad coordinates"
//   PLAY       "%d,%d"    yes             the pair echoed | "ERROR bad coordinates"
//   BEGIN      ignored    yes             the engine's move
//   ABOUT      ignored    no              the about line
//   END        ignored    (shutdown)      none
//   BOARD      ignored    yes             block of "x,y,who" ended by DONE, then a move
//   TAKEBACK   "%d,%d"    yes             "OK" | "ERROR bad coordinates"
//   YXSHOWFORBID ignored  yes             "FORBID xxyy....", Black's forbidden cells
//   STOP       ignored    (ends it)       the running think answers at once; none if idle
//   YXSTOP     ignored    (ends it)       as STOP
//   YXBOARD    ignored    yes             block as BOARD, no move
//   YXNBEST    "%d"       yes             "MESSAGE (k) ..." per line, then the best move (not played)
//   YXBLOCKUNDO ignored   yes             block of "x,y" ended by DONE: root moves allowed again
//   YXBLOCKRESET ignored  yes             none: every root move allowed again
//   YXBLOCK    ignored    yes             block of "x,y" ended by DONE: root moves no think may play
//   YXHASHCLEAR ignored   yes             none: the tables and solver caches emptied
//   SWAP2BOARD ignored    yes             block of 0, 3 or 5 "x,y" then DONE; "SWAP", or the stones placed
//   YXBALANCEONE "%d"     yes             the balancing move (not played)
//   YXBALANCETWO "%d"     yes             the two balancing moves "x,y x,y" (not played)
//   anything else                         "UNKNOWN command"
//
// Command words are matched as case-insensitive prefixes in the order above, so
// TURNING 1,1 is a TURN and ENDGAME is END.
#pragma once

// The only output routine: one formatted line plus LF, flushed, under a lock so
// that lines of the two threads never mix. Returns the formatted length.
int printLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prefix test of a command word, letters a-z folded to upper case.
bool matchWord(const char* line, const char* word);

// When text starts with key (as matchWord), the text after it with leading
// white space skipped; otherwise nullptr.
const char* findKeyValue(const char* key, const char* text);

bool equalsIgnoreCase(const char* a, const char* b);

// "MESSAGE Ruvan <version>": printed before "OK" by every new or restarted game.
void printGreeting();

// The dispatcher itself is FrontEnd::handleCommand (main_loop.h).
