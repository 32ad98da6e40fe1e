// The root of the search: one iteration of the think driver.
#pragma once

// Searches the position with `colour` to move to `depth` plies, leaves the move
// to play in bestX, bestY and returns the root value clamped to the iteration's
// cap; 0 when a clock stop came before two root moves were finished.
int searchRoot(int depth, int alpha, int beta, int colour, int extension);
