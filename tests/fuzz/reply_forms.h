// The forms of every line the engine may print, for the fuzzer: a line that
// fits none of them is a finding.
#pragma once

#include <cstddef>
#include <string>

#define ABOUT_LINE \
  "name=\"Ruvan\", version=\"" RUVAN_VERSION "\", author=\"Ruvan developers\", country=\"China\", www=\"\""

// Any reply of the protocol, with the numbers it may hold (cells on a board of
// at most 22 x 22). The empty line is known only right after the draw notice
// (afterDraw), which is printed as one line with an empty one after it.
bool knownReply(const char* line, size_t length, bool afterDraw);

// The MESSAGE lines a think prints besides its Speed line, its move and the
// draw notice: the analysis line of an iteration, the REALTIME lines of
// show_detail, the lines of YXNBEST and the notice of a max_memory below the
// engine's minimum.
bool thinkMessage(const std::string& line);
