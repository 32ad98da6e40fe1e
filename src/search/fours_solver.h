// Continuous-four solver: can the side to move force five by an unbroken
// chain of fours? Keeps its results in fourCache for the whole process.
#pragma once

#include <cstdint>

constexpr int FOUR_WIN = 10000484;   // win found at solver ply 0

// 10,000,484 - n for a win whose chain ends n solver plies deep, else 0.
int solveThreats(int depth, int colour);
int solveThreatsNode(int depth, int colour, int defending, int count);

// Allocates the cache on first use, clears it when the rule changed.
void prepareFourCache(int rule);
void clearFourCache();
