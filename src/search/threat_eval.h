// Static evaluation and the one-ply pass.
#pragma once

// Value of the position for `colour` to move: the score-sum difference
// corrected by the threats on the board, plus a tempo bonus.
int threatEval(int depth, int colour);

// Tries every legal cell for `colour`; leaves the best in bestX, bestY and
// returns 0, or 1 when no cell could be tried.
int onePlyPass(int colour);
