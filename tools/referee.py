"""The rules of five in a row, judged without asking any engine.

Five or more wins under free style; exactly five wins under standard, for both
colours; under Renju exactly five wins for Black, five or more for White, and
Black may not make an overline, a double four or a double three (counting only
real threes, those with a straight-four point that is itself allowed). A full
board is a draw. Nothing here shares code with the engine, so a fault in the
engine's rule tables shows up as a disagreement instead of being copied.

Shared by the match player (play_match.py) and the strength harness (sprt.py).
"""

FREESTYLE, STANDARD, RENJU = 0, 1, 2
RULE_NAMES = {FREESTYLE: "freestyle", STANDARD: "standard", RENJU: "renju"}
EMPTY, BLACK, WHITE, BLOCKED = 0, 1, 2, 3
COLOUR_NAMES = {BLACK: "Black", WHITE: "White"}
DIRECTIONS = ((1, 0), (0, 1), (1, 1), (1, -1))

# Renju's forbidden-point test recurses into the points that would make a
# three real. Real games never need more than a few levels; the bound only
# keeps a pathological position from running away.
FOUL_DEPTH_LIMIT = 6


class IllegalMove(Exception):
    pass


class Referee:
    """The position of one game and the rules that judge each new stone.

    Cells are addressed (x, y) with 0 <= x < width and 0 <= y < height, as on
    the wire. Colours follow the order of play: the first stone is Black.
    Blocked cells hold no stone and take none; a line stops at them as at the
    edge of the board, and the board is full when every other cell is taken.
    """

    def __init__(self, rule, width, height, blocks=()):
        self.rule = rule
        self.width = width
        self.height = height
        self.cells = [[EMPTY] * height for _ in range(width)]
        self.moves = []
        self.blocks = []
        for x, y in blocks:
            if not self.inside(x, y) or self.cells[x][y] != EMPTY:
                raise ValueError("block %d,%d is off the board or repeated" % (x, y))
            self.cells[x][y] = BLOCKED
            self.blocks.append((x, y))

    def inside(self, x, y):
        return 0 <= x < self.width and 0 <= y < self.height

    def at(self, x, y):
        return self.cells[x][y] if self.inside(x, y) else None

    def to_move(self):
        return BLACK if len(self.moves) % 2 == 0 else WHITE

    def run_through(self, x, y, dx, dy, colour):
        """Length of the unbroken run of `colour` along (dx, dy) through
        (x, y), counting (x, y) itself as that colour, and the run's two ends
        as offsets from (x, y)."""
        low = 0
        while self.at(x + (low - 1) * dx, y + (low - 1) * dy) == colour:
            low -= 1
        high = 0
        while self.at(x + (high + 1) * dx, y + (high + 1) * dy) == colour:
            high += 1
        return high - low + 1, low, high

    def _is_win_length(self, length, colour):
        if self.rule == FREESTYLE:
            return length >= 5
        if self.rule == STANDARD:
            return length == 5
        return length == 5 if colour == BLACK else length >= 5

    def makes_five(self, x, y, colour):
        """True when a stone of `colour` on (x, y) wins (the cell may be empty
        or already hold that stone)."""
        return any(self._is_win_length(self.run_through(x, y, dx, dy, colour)[0], colour)
                   for dx, dy in DIRECTIONS)

    # Renju fouls -----------------------------------------------------------

    def _exact_five_through(self, x, y, dx, dy):
        return self.run_through(x, y, dx, dy, BLACK)[0] == 5

    def _fours_in_line(self, x, y, dx, dy):
        """Number of fours that Black's stone on (x, y) takes part in along
        one line: the empty cells that would complete exactly five with it,
        where the two ends of one straight four count once."""
        completions = []
        for k in range(-4, 5):
            qx, qy = x + k * dx, y + k * dy
            if k == 0 or self.at(qx, qy) != EMPTY:
                continue
            self.cells[qx][qy] = BLACK
            length, low, high = self.run_through(qx, qy, dx, dy, BLACK)
            # The five must contain (x, y): offsets low ... high are relative
            # to q, and (x, y) sits at offset -k from q.
            if length == 5 and low <= -k <= high:
                completions.append(k)
            self.cells[qx][qy] = EMPTY
        count = len(completions)
        for a in completions:
            if a + 5 in completions and all(
                    self.at(x + (a + t) * dx, y + (a + t) * dy) == BLACK for t in range(1, 5)):
                count -= 1
        return count

    def _makes_straight_four(self, qx, qy, offset, dx, dy):
        """With Black on (qx, qy) and on the cell `offset` steps from it: do
        both lie in a run of exactly four whose two neighbouring cells are
        empty and would each complete exactly five?"""
        length, low, high = self.run_through(qx, qy, dx, dy, BLACK)
        if length != 4 or not low <= offset <= high:
            return False
        for end in (low - 1, high + 1):
            ex, ey = qx + end * dx, qy + end * dy
            if self.at(ex, ey) != EMPTY:
                return False
            self.cells[ex][ey] = BLACK
            five = self._exact_five_through(ex, ey, dx, dy)
            self.cells[ex][ey] = EMPTY
            if not five:
                return False
        return True

    def _real_three_in_line(self, x, y, dx, dy, depth):
        """True when Black's stone on (x, y) makes a three along the line that
        one allowed move turns into a straight four through (x, y)."""
        for k in range(-3, 4):
            qx, qy = x + k * dx, y + k * dy
            if k == 0 or self.at(qx, qy) != EMPTY:
                continue
            self.cells[qx][qy] = BLACK
            straight = self._makes_straight_four(qx, qy, -k, dx, dy)
            self.cells[qx][qy] = EMPTY
            if straight and (depth >= FOUL_DEPTH_LIMIT or not self.is_foul(qx, qy, depth + 1)):
                return True
        return False

    def is_foul(self, x, y, depth=0):
        """Renju: is a Black stone on the empty cell (x, y) forbidden?"""
        if self.rule != RENJU or self.at(x, y) != EMPTY:
            return False
        self.cells[x][y] = BLACK
        try:
            lengths = [self.run_through(x, y, dx, dy, BLACK)[0] for dx, dy in DIRECTIONS]
            if 5 in lengths:
                return False
            if max(lengths) >= 6:
                return True
            fours = [self._fours_in_line(x, y, dx, dy) for dx, dy in DIRECTIONS]
            if sum(fours) >= 2:
                return True
            threes = sum(1 for (dx, dy), four in zip(DIRECTIONS, fours)
                         if four == 0 and self._real_three_in_line(x, y, dx, dy, depth))
            return threes >= 2
        finally:
            self.cells[x][y] = EMPTY

    # Playing ---------------------------------------------------------------

    def play(self, x, y):
        """Adds the next stone and returns the game's state after it: "five",
        "foul" (Renju, Black), "draw" (full board) or None (game goes on)."""
        if not self.inside(x, y):
            raise IllegalMove("move %d,%d is off the %dx%d board" % (x, y, self.width, self.height))
        if self.cells[x][y] != EMPTY:
            raise IllegalMove("move %d,%d is on an occupied cell" % (x, y))
        colour = self.to_move()
        foul = colour == BLACK and self.is_foul(x, y)
        self.cells[x][y] = colour
        self.moves.append((x, y))
        if foul:
            return "foul"
        if self.makes_five(x, y, colour):
            return "five"
        if len(self.moves) + len(self.blocks) == self.width * self.height:
            return "draw"
        return None

    def five_cells(self, colour):
        """Empty cells where a stone of `colour` would win at once."""
        return {(x, y) for x in range(self.width) for y in range(self.height)
                if self.cells[x][y] == EMPTY and self.makes_five(x, y, colour)}

    def diagram(self):
        marks = {EMPTY: ".", BLACK: "X", WHITE: "O", BLOCKED: "#"}
        return "\n".join("".join(marks[self.cells[x][y]] for y in range(self.height))
                         for x in range(self.width))
