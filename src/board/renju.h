// Black's forbidden points under Renju: an overline, a double four or a double
// three, unless the move also makes a five.
#pragma once

// 1 when Black may not play on the empty cell, else 0. Works from Black's
// pattern values; doubtful threes and fours are settled by placing the stone
// with the light update and asking the same question of the cells the threats
// depend on. The position is unchanged on return.
int isForbidden(int cell);

// True when the cell index lies on the board (the walks step off it freely).
bool onBoard(int cell);
