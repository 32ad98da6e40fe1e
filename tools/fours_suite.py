#!/usr/bin/env python3
"""A suite of won positions that need a chain of fours, and a runner that asks
an engine to play them.

Every position in tools/fours_positions.txt has the side to move winning by a
continuous four: each attacking move makes a four, so each defending move is
forced onto the one cell that would complete the five, until the attacker has
a five to play or a four that cannot be stopped. None of them is won in one
move: neither side has a five to complete (so the side to move has no four
yet), and no single four wins by itself, so the engine has to see at least
two fours ahead.

The wins are proved here, by a brute-force solver written from the rules of
the three games and sharing nothing with the engine:

  free style  five or more in a row wins, for both colours;
  standard    exactly five wins, for both colours (an overline is no win);
  Renju       exactly five wins for Black, five or more for White; Black may
              not make an overline, a double four or a double three, unless
              the same stone makes a five. A three counts only when it can
              become a straight four by a move that is itself allowed, which
              is decided by the same test, recursively.

Usage:

    tools/fours_suite.py generate [--seed 2024] [--out FILE]
    tools/fours_suite.py check [--positions FILE]
    tools/fours_suite.py run ENGINE [--positions FILE] [--timeout-turn 1000]
    tools/fours_suite.py selftest

`generate` plays seeded random games whose stones cluster the way real games
do and keeps the first position of each game that passes the filter; the same
seed always writes the same file. `check` proves every position of a file
again. `run` starts the engine once per position, hands it the position in a
BOARD block, times its reply and judges the move with the solver: a move
starts a win when it makes five, or makes a four after whose forced block the
attacker still has a chain of fours (or the block is impossible), or, for a
move that is not a four, when every reply of the defender leaves the attacker
a chain of fours (a reply that is a four of the defender's is blocked, and
the same question is asked again). Anything the solver cannot prove is
reported as unproven, never as a win.
"""

import argparse
import os
import queue
import random
import re
import statistics
import subprocess
import sys
import threading
import time

FREESTYLE, STANDARD, RENJU = 0, 1, 2
RULE_NAMES = {FREESTYLE: "freestyle", STANDARD: "standard", RENJU: "renju"}
EMPTY, BLACK, WHITE, EDGE = 0, 1, 2, 3

# The board keeps a margin of EDGE cells around the playing area, wide enough
# that every walk of up to five steps from a real cell lands on something
# readable; no scan needs a bounds check.
MARGIN = 5

# Attacker fours the solver follows at most. The suite's chains are shorter
# than GENERATE_MAX_CHAIN; judging an engine move allows longer ones, since
# the engine may well pick a slower road to the same win.
GENERATE_MAX_CHAIN = 12
JUDGE_MAX_CHAIN = 16

DEFAULT_POSITIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                 "fours_positions.txt")
MOVE_LINE = re.compile(r"^(-?\d+),(-?\d+)$")


class SearchBudgetExceeded(Exception):
    """Raised when one proof has visited more nodes than it was allowed. The
    search unwinds without taking its stones back, so the board it ran on
    must be thrown away."""


# ---------------------------------------------------------------------------
# Board


class Board:
    """A position on a width x height board under one rule.

    Cells live in a flat list with a margin of EDGE cells; the index of (x, y)
    is (x + MARGIN) * stride + (y + MARGIN). Besides the cells the board keeps,
    for each of its five-cell windows (five consecutive on-board cells along a
    row, column or diagonal), how many stones of each colour it holds, and two
    sets per colour: windows holding three of that colour and nothing else
    (each empty cell of one is a candidate four), and windows holding four and
    nothing else (the empty cell completes five, if the rule allows the run).
    Those sets are all the solver ever scans, so a node costs work in
    proportion to the threats on the board, not to its size.
    """

    def __init__(self, rule, width, height):
        self.rule = rule
        self.width = width
        self.height = height
        self.stride = height + 2 * MARGIN
        self.steps = (self.stride, 1, self.stride + 1, self.stride - 1)
        self.cells = [EDGE] * ((width + 2 * MARGIN) * self.stride)
        for x in range(width):
            for y in range(height):
                self.cells[self.index(x, y)] = EMPTY
        self.hash = 0
        rng = random.Random(0x5EED)
        self.keys = [(0, rng.getrandbits(64), rng.getrandbits(64)) for _ in self.cells]

        # Windows: cells, the cell before and the cell after, per direction.
        self.windows = []
        self.windows_of = [[] for _ in self.cells]
        for x in range(width):
            for y in range(height):
                for dx, dy in ((1, 0), (0, 1), (1, 1), (1, -1)):
                    ex, ey = x + 4 * dx, y + 4 * dy
                    if not (0 <= ex < width and 0 <= ey < height):
                        continue
                    step = dx * self.stride + dy
                    start = self.index(x, y)
                    cells = tuple(start + k * step for k in range(5))
                    wid = len(self.windows)
                    self.windows.append((cells, start - step, start + 5 * step))
                    for c in cells:
                        self.windows_of[c].append(wid)
        self.count = [None, [0] * len(self.windows), [0] * len(self.windows)]
        self.threes = [None, set(), set()]
        self.fours = [None, set(), set()]
        self.record = []
        self.memo = {}
        self.nodes = 0
        self.node_limit = None

    # Coordinates -----------------------------------------------------------

    def index(self, x, y):
        return (x + MARGIN) * self.stride + (y + MARGIN)

    def coords(self, idx):
        return idx // self.stride - MARGIN, idx % self.stride - MARGIN

    def on_board(self, x, y):
        return 0 <= x < self.width and 0 <= y < self.height

    def exact_five(self, colour):
        """True when only a run of exactly five wins for `colour`."""
        return self.rule == STANDARD or (self.rule == RENJU and colour == BLACK)

    # Stones ----------------------------------------------------------------

    def _classify(self, wid):
        for colour in (BLACK, WHITE):
            self.threes[colour].discard(wid)
            self.fours[colour].discard(wid)
        b, w = self.count[BLACK][wid], self.count[WHITE][wid]
        if w == 0:
            if b == 3:
                self.threes[BLACK].add(wid)
            elif b == 4:
                self.fours[BLACK].add(wid)
        if b == 0:
            if w == 3:
                self.threes[WHITE].add(wid)
            elif w == 4:
                self.fours[WHITE].add(wid)

    def place(self, idx, colour):
        assert self.cells[idx] == EMPTY
        self.cells[idx] = colour
        self.hash ^= self.keys[idx][colour]
        counts = self.count[colour]
        for wid in self.windows_of[idx]:
            counts[wid] += 1
            self._classify(wid)

    def remove(self, idx):
        colour = self.cells[idx]
        assert colour in (BLACK, WHITE)
        self.cells[idx] = EMPTY
        self.hash ^= self.keys[idx][colour]
        counts = self.count[colour]
        for wid in self.windows_of[idx]:
            counts[wid] -= 1
            self._classify(wid)

    def play(self, x, y):
        """Appends a move to the game record; colours follow record order."""
        colour = BLACK if len(self.record) % 2 == 0 else WHITE
        self.place(self.index(x, y), colour)
        self.record.append((x, y))
        return colour

    def to_move(self):
        return BLACK if len(self.record) % 2 == 0 else WHITE

    # Lines -----------------------------------------------------------------

    def run_length(self, idx, step, colour):
        """Length of the run of `colour` along `step` through idx, counting
        idx itself as that colour whatever it holds."""
        cells = self.cells
        n = 1
        j = idx + step
        while cells[j] == colour:
            n += 1
            j += step
        j = idx - step
        while cells[j] == colour:
            n += 1
            j -= step
        return n

    def is_win_run(self, length, colour):
        return length == 5 or (length > 5 and not self.exact_five(colour))

    def makes_five(self, idx, colour):
        return any(self.is_win_run(self.run_length(idx, s, colour), colour) for s in self.steps)

    def has_five_on_board(self):
        """Any run of five or more stones of one colour (a finished game)."""
        for cells, _before, _after in self.windows:
            first = self.cells[cells[0]]
            if first in (BLACK, WHITE) and all(self.cells[c] == first for c in cells):
                return True
        return False

    def five_cells(self, colour):
        """The empty cells on which `colour` would complete a winning five."""
        cells = self.cells
        exact = self.exact_five(colour)
        found = set()
        for wid in self.fours[colour]:
            window, before, after = self.windows[wid]
            if exact and (cells[before] == colour or cells[after] == colour):
                continue
            for c in window:
                if cells[c] == EMPTY:
                    found.add(c)
                    break
        return found

    def four_moves(self, colour):
        """The empty cells on which `colour` would make a four: a window of
        three of its stones and two empty cells becomes four and one empty
        cell that completes a winning five."""
        cells = self.cells
        exact = self.exact_five(colour)
        found = set()
        for wid in self.threes[colour]:
            window, before, after = self.windows[wid]
            if exact and (cells[before] == colour or cells[after] == colour):
                continue
            for c in window:
                if cells[c] == EMPTY:
                    found.add(c)
        return found

    # Renju fouls -----------------------------------------------------------

    def _completions(self, p, step):
        """With a black stone on p: the offsets k (|k| <= 4) of the empty
        cells along `step` on which one more black stone makes exactly five
        together with p (all cells between p and the cell are black)."""
        cells = self.cells
        found = []
        for sign in (1, -1):
            j = p
            for k in range(1, 5):
                j += sign * step
                v = cells[j]
                if v == BLACK:
                    continue
                if v == EMPTY and self.run_length(j, step, BLACK) == 5:
                    found.append(sign * k)
                break
        return found

    def _fours_in_line(self, p, step):
        """Fours that the black stone on p takes part in along one line. The
        two ends of a straight four (_XXXX_: ends five apart, four black
        stones between) are one four; any other pair of completing cells on
        the line (X_XXX_X, XX_X_XX ...) is two."""
        ks = self._completions(p, step)
        if len(ks) == 2 and abs(ks[0] - ks[1]) == 5:
            return 1
        return len(ks)

    def _straight_four(self, p, step):
        ks = self._completions(p, step)
        return len(ks) == 2 and abs(ks[0] - ks[1]) == 5

    def _real_three(self, p, step):
        """With a black stone on p and no four through p on this line: is
        there a three, i.e. an empty cell q on the line whose black stone
        makes a straight four through p, and on which Black may play?"""
        cells = self.cells
        for sign in (1, -1):
            for k in range(1, 5):
                q = p + sign * k * step
                v = cells[q]
                if v == EDGE or v == WHITE:
                    break
                if v == BLACK:
                    continue
                cells[q] = BLACK
                straight = self._straight_four(p, step)
                cells[q] = EMPTY
                if straight and not self.is_forbidden(q):
                    return True
        return False

    def is_forbidden(self, p):
        """Renju: may Black not play on the empty cell p? Only the cells are
        read and written (the window sets are untouched), and they are
        restored before returning."""
        cells = self.cells
        cells[p] = BLACK
        try:
            overline = False
            for step in self.steps:
                n = self.run_length(p, step, BLACK)
                if n == 5:
                    return False
                if n > 5:
                    overline = True
            if overline:
                return True
            fours = 0
            four_lines = []
            for step in self.steps:
                f = self._fours_in_line(p, step)
                fours += f
                four_lines.append(f > 0)
            if fours >= 2:
                return True
            threes = 0
            for step, has_four in zip(self.steps, four_lines):
                if not has_four and self._real_three(p, step):
                    threes += 1
                    if threes >= 2:
                        return True
            return False
        finally:
            cells[p] = EMPTY

    def legal_for(self, idx, colour):
        if self.cells[idx] != EMPTY:
            return False
        if self.rule == RENJU and colour == BLACK:
            return not self.is_forbidden(idx)
        return True

    def has_foul_on_board(self):
        """Replays the record and tells whether some black stone was a foul
        under Renju (always False under the other rules)."""
        if self.rule != RENJU:
            return False
        replay = Board(self.rule, self.width, self.height)
        for x, y in self.record:
            idx = replay.index(x, y)
            if replay.to_move() == BLACK and replay.is_forbidden(idx):
                return True
            replay.play(x, y)
        return False

    # Continuous-four solver ------------------------------------------------

    def _tick(self):
        self.nodes += 1
        if self.node_limit is not None and self.nodes > self.node_limit:
            raise SearchBudgetExceeded()

    def wins_by_fours(self, attacker, depth):
        """Can `attacker`, to move, force a five with at most `depth` fours?

        The attacker's every move is a four; the defender's only reply is the
        completing cell. The attacker wins when a five is already his to
        play, or when a four leaves two completing cells, or when the
        defender's block is a black foul under Renju. When the defender's
        block made a four of his own, the attacker's next move must take that
        cell and be a four itself. Results are memoised per position with the
        depth they were proved for.
        """
        self._tick()
        if self.five_cells(attacker):
            return True
        defender = BLACK + WHITE - attacker
        key = (self.hash, attacker)
        known = self.memo.get(key)
        if known is not None:
            won_at, failed_at = known
            if won_at is not None and won_at <= depth:
                return True
            if failed_at is not None and failed_at >= depth:
                return False
        result = self._try_fours(attacker, defender, depth)
        won_at, failed_at = known if known is not None else (None, None)
        if result:
            won_at = depth if won_at is None else min(won_at, depth)
        else:
            failed_at = depth if failed_at is None else max(failed_at, depth)
        self.memo[key] = (won_at, failed_at)
        return result

    def _try_fours(self, attacker, defender, depth):
        if depth <= 0:
            return False
        threats = self.five_cells(defender)
        if len(threats) >= 2:
            return False
        if threats:
            moves = [c for c in threats if c in self.four_moves(attacker)]
        else:
            moves = sorted(self.four_moves(attacker))
        for m in moves:
            outcome = self.four_outcome(m, attacker)
            if outcome is None:
                continue
            if outcome == "won":
                return True
            block = outcome
            self.place(m, attacker)
            self.place(block, defender)
            won = self.wins_by_fours(attacker, depth - 1)
            self.remove(block)
            self.remove(m)
            if won:
                return True
        return False

    def four_outcome(self, m, attacker):
        """What a four on m does, the defender having no five of his own:
        None when m is not a legal four, "won" when it cannot be stopped (two
        completing cells, or a block that Black may not play), else the cell
        of the forced block."""
        if not self.legal_for(m, attacker):
            return None
        self.place(m, attacker)
        try:
            completing = self.five_cells(attacker)
            if not completing:
                return None
            if len(completing) >= 2:
                return "won"
            block = next(iter(completing))
            defender = BLACK + WHITE - attacker
            if self.rule == RENJU and defender == BLACK and self.is_forbidden(block):
                return "won"
            return block
        finally:
            self.remove(m)

    def shortest_chain(self, attacker, max_depth):
        """The fewest attacker fours that force the win, or None."""
        for depth in range(1, max_depth + 1):
            if self.wins_by_fours(attacker, depth):
                return depth
        return None

    def winning_first_fours(self, attacker, max_depth):
        """The first moves of every chain of at most max_depth fours."""
        found = []
        if self.five_cells(BLACK + WHITE - attacker):
            return found
        for m in sorted(self.four_moves(attacker)):
            outcome = self.four_outcome(m, attacker)
            if outcome is None:
                continue
            if outcome == "won":
                found.append(m)
                continue
            self.place(m, attacker)
            self.place(outcome, BLACK + WHITE - attacker)
            if self.wins_by_fours(attacker, max_depth - 1):
                found.append(m)
            self.remove(outcome)
            self.remove(m)
        return found

    # Text ------------------------------------------------------------------

    def diagram(self, marks=None):
        marks = marks or {}
        rows = []
        for y in range(self.height):
            row = []
            for x in range(self.width):
                idx = self.index(x, y)
                row.append(marks.get(idx, ".XO#"[self.cells[idx]]))
            rows.append(" ".join(row))
        return "\n".join(rows)


# ---------------------------------------------------------------------------
# Positions file
#
# One position a line: "<rule> <width>x<height> x,y x,y ...", the moves in
# record order (the first is Black's). A '#' starts a comment, to the end of
# the line.


def strip_comment(line):
    return line.split("#", 1)[0]


def read_positions(path):
    positions = []
    with open(path) as f:
        for line in f:
            line = strip_comment(line).strip()
            if not line:
                continue
            fields = line.split()
            rule = int(fields[0])
            width, height = (int(v) for v in fields[1].split("x"))
            moves = [tuple(int(v) for v in m.split(",")) for m in fields[2:]]
            positions.append((rule, width, height, moves))
    return positions


def board_of(rule, width, height, moves):
    board = Board(rule, width, height)
    for x, y in moves:
        board.play(x, y)
    return board


def position_problem(board):
    """Returns (reason, chain): the reason why the position is not a proper
    suite entry, or None when it is, and the shortest chain of fours when
    one was found. The game must not be over or ill-formed (a five on the
    board, a black foul under Renju), neither side may have a five to
    complete, and the side to move must need a chain of at least two fours
    (and at most GENERATE_MAX_CHAIN) to win."""
    attacker = board.to_move()
    defender = BLACK + WHITE - attacker
    if board.has_five_on_board():
        return "five on the board", None
    if board.five_cells(attacker):
        return "side to move has a five to complete", None
    if board.five_cells(defender):
        return "opponent has a five to complete", None
    if board.has_foul_on_board():
        return "black foul on the board", None
    chain = board.shortest_chain(attacker, GENERATE_MAX_CHAIN)
    if chain is None:
        return "no chain of fours", None
    if chain < 2:
        return "won by a single four", chain
    return None, chain


# ---------------------------------------------------------------------------
# Generator


def neighbourhood(board, radius):
    """Empty cells within `radius` (king steps) of some stone, sorted."""
    found = set()
    for x, y in board.record:
        for dx in range(-radius, radius + 1):
            for dy in range(-radius, radius + 1):
                nx, ny = x + dx, y + dy
                if board.on_board(nx, ny) and board.cells[board.index(nx, ny)] == EMPTY:
                    found.add(board.index(nx, ny))
    return sorted(found)


# A move is drawn with probability growing with the lines it helps: its own
# windows free of the opponent (attack) and the opponent's windows free of
# its own stones (defence). The weights make play look purposeful without
# making it strong, so the positions carry threats of both sides.
ATTACK_WEIGHT = (1, 2, 6, 20, 0)
DEFENCE_WEIGHT = (0, 1, 4, 14, 0)


def move_weight(board, idx, colour):
    other = BLACK + WHITE - colour
    score = 0
    for wid in board.windows_of[idx]:
        own, opp = board.count[colour][wid], board.count[other][wid]
        if opp == 0:
            score += ATTACK_WEIGHT[own]
        if own == 0:
            score += DEFENCE_WEIGHT[opp]
    return score * score


# The chance that a passing position is kept, by its shortest chain. Random
# games reach short chains far more often than long ones; without this the
# suite would be mostly two- and three-four wins.
KEEP_CHANCE = {2: 0.04, 3: 0.1, 4: 0.3, 5: 0.6, 6: 0.9}


def generate(seed, quotas, max_stones=40, min_stones=10, progress=True):
    """Plays seeded random games and keeps the first position of each that
    passes `position_problem`, until every (rule, size) quota is filled."""
    rng = random.Random(seed)
    kept = []
    for (rule, width, height), wanted in quotas:
        got = 0
        games = 0
        while got < wanted:
            games += 1
            board = Board(rule, width, height)
            # A real game's opening: the first stone near the centre.
            board.play(width // 2 + rng.randint(-1, 1), height // 2 + rng.randint(-1, 1))
            # Positions are only looked at from a drawn length on, so that the
            # suite spreads over short and long games alike.
            first_look = rng.randint(min_stones, max_stones - 4)
            found = None
            while len(board.record) < max_stones:
                colour = board.to_move()
                other = BLACK + WHITE - colour
                if board.five_cells(colour):
                    break  # the game would end here
                threats = board.five_cells(other)
                if len(threats) >= 2:
                    break
                if threats:
                    idx = next(iter(threats))
                    if not board.legal_for(idx, colour):
                        break
                else:
                    cands = neighbourhood(board, 2)
                    weights = [move_weight(board, c, colour) + 1 for c in cands]
                    idx = None
                    for _ in range(20):
                        pick = rng.choices(cands, weights)[0]
                        if board.legal_for(pick, colour) and not board.makes_five(pick, colour):
                            idx = pick
                            break
                    if idx is None:
                        break
                board.play(*board.coords(idx))
                if board.has_five_on_board():
                    break
                if len(board.record) >= first_look and board.four_moves(board.to_move()):
                    board.memo.clear()
                    board.nodes = 0
                    board.node_limit = 400000
                    try:
                        problem, chain = position_problem(board)
                    except SearchBudgetExceeded:
                        problem, chain = "too expensive to prove", None
                    board.node_limit = None
                    if problem is None:
                        if rng.random() < KEEP_CHANCE.get(chain, 1.0):
                            found = (list(board.record), chain)
                            break
                        continue
                    if problem == "won by a single four" or problem == "too expensive to prove":
                        break  # a later position of this game would be a won game
            if found is not None:
                got += 1
                kept.append((rule, width, height, found[0], found[1]))
                if progress:
                    print("rule %d %dx%d: %2d/%d after %d games (%d stones, chain %d)"
                          % (rule, width, height, got, wanted, games, len(found[0]), found[1]),
                          file=sys.stderr)
    return kept


SUITE_QUOTAS = (
    ((FREESTYLE, 15, 15), 13), ((FREESTYLE, 20, 20), 4),
    ((STANDARD, 15, 15), 13), ((STANDARD, 20, 20), 4),
    ((RENJU, 15, 15), 12), ((RENJU, 20, 20), 4),
)


def write_positions(path, seed, kept):
    with open(path, "w") as f:
        f.write("# Won by a chain of fours: the side to move (Black when the number of\n")
        f.write("# stones is even) has no five to complete and no four yet, the opponent\n")
        f.write("# has no five to complete, and the shortest chain of fours takes at least\n")
        f.write("# two attacker fours. Written by: tools/fours_suite.py generate --seed %d\n" % seed)
        f.write("# Format: <rule: 0 freestyle, 1 standard, 2 renju> <width>x<height> <moves in\n")
        f.write("# record order, first Black>. The trailing comment is the shortest chain the\n")
        f.write("# generator's solver found; the runner proves everything again.\n")
        for rule, width, height, moves, chain in kept:
            f.write("%d %dx%d %s  # chain %d\n" % (
                rule, width, height, " ".join("%d,%d" % m for m in moves), chain))


# ---------------------------------------------------------------------------
# Judging an engine's move


def judge_move(board, x, y, max_chain=JUDGE_MAX_CHAIN, node_limit=500000):
    """Does the attacker's move (x, y) start a win? Returns (verdict, note),
    the verdict one of "win", "unproven", "illegal"."""
    attacker = board.to_move()
    defender = BLACK + WHITE - attacker
    if not board.on_board(x, y):
        return "illegal", "off the board"
    m = board.index(x, y)
    if board.cells[m] != EMPTY:
        return "illegal", "occupied cell"
    if board.rule == RENJU and attacker == BLACK and board.is_forbidden(m):
        return "illegal", "forbidden point for Black"
    if board.makes_five(m, attacker):
        return "win", "five"
    board.nodes = 0
    board.node_limit = node_limit
    try:
        outcome = board.four_outcome(m, attacker)
        if outcome == "won":
            return "win", "four that cannot be blocked"
        if outcome is not None:
            board.place(m, attacker)
            board.place(outcome, defender)
            try:
                rest = board.shortest_chain(attacker, max_chain - 1)
            finally:
                board.remove(outcome)
                board.remove(m)
            if rest is not None:
                return "win", "four, then %d more" % rest
            return "unproven", "four, but no chain of %d fours after the block" % (max_chain - 1)
        return judge_quiet_move(board, m, attacker, defender, max_chain)
    except SearchBudgetExceeded:
        return "unproven", "solver budget of %d nodes spent" % node_limit
    finally:
        board.node_limit = None


def judge_quiet_move(board, m, attacker, defender, max_chain):
    """A move that is not a four wins when every reply of the defender
    leaves the attacker a win the solver can prove: a chain of fours, or,
    when the reply is a four of the defender's, a block on its completing
    cell after which the same holds again (the defender may spend up to
    QUIET_DEFENCE_FOURS fours this way)."""
    board.place(m, attacker)
    try:
        # If the attacker has no chain even when the defender does nothing,
        # the solver cannot prove this move; no need to try every reply.
        if board.shortest_chain(attacker, max_chain - 1) is None:
            return "unproven", "not a four, and no chain of fours follows it"
        refutation, tried = every_reply_loses(board, attacker, defender, max_chain - 1,
                                              QUIET_DEFENCE_FOURS)
        if refutation is not None:
            return "unproven", "not a four; " + refutation
        return "win", "not a four; all %d replies leave a win" % tried
    finally:
        board.remove(m)


# How many fours of his own the defender may interpose, each blocked by the
# attacker, before the proof of a quiet move gives up.
QUIET_DEFENCE_FOURS = 8


def every_reply_loses(board, attacker, defender, chain, defence_fours):
    """Defender to move. Returns (None, replies tried) when every legal
    reply leaves the attacker a proven win, else (a description of the
    first reply that does not, replies tried)."""
    tried = 0
    for x in range(board.width):
        for y in range(board.height):
            r = board.index(x, y)
            if not board.legal_for(r, defender):
                continue
            tried += 1
            if board.makes_five(r, defender):
                return "the defender completes five on %d,%d" % (x, y), tried
            board.place(r, defender)
            try:
                if board.wins_by_fours(attacker, chain):
                    continue
                threats = board.five_cells(defender)
                if len(threats) == 1 and defence_fours > 0:
                    block = next(iter(threats))
                    if board.legal_for(block, attacker):
                        board.place(block, attacker)
                        refutation, _ = every_reply_loses(board, attacker, defender, chain,
                                                          defence_fours - 1)
                        board.remove(block)
                        if refutation is None:
                            continue
                        bx, by = board.coords(block)
                        return ("reply %d,%d (a four), block %d,%d, then %s"
                                % (x, y, bx, by, refutation)), tried
                return "reply %d,%d leaves no chain of fours" % (x, y), tried
            finally:
                board.remove(r)
    return None, tried


# ---------------------------------------------------------------------------
# Engine driver


class Engine:
    """One engine process; lines of its output arrive through a queue filled
    by a reader thread, so that waiting for a reply can time out."""

    def __init__(self, path):
        self.skipped = []
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\r\n"))
        self.lines.put(None)

    def send(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def wait_for(self, predicate, timeout):
        """Returns the first line that satisfies predicate, skipping the rest
        (they are collected in self.skipped); None on timeout or exit."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                return None
            if line is None:
                return None
            if predicate(line):
                return line
            self.skipped.append(line)

    def close(self):
        try:
            self.send("END")
            self.proc.stdin.close()
        except (BrokenPipeError, OSError):
            pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def ask_engine(path, rule, width, height, moves, timeout_turn, wait_limit):
    """Hands the position to a fresh engine; returns (move or None, seconds
    from DONE to the move line, other lines the engine printed)."""
    engine = Engine(path)
    try:
        if width == height:
            engine.send("START %d" % width)
        else:
            engine.send("RECTSTART %d,%d" % (width, height))
        if engine.wait_for(lambda l: l == "OK", wait_limit) is None:
            return None, None, engine.skipped + ["(no OK after START)"]
        engine.send("INFO rule %d" % rule)
        engine.send("INFO timeout_turn %d" % timeout_turn)
        engine.send("INFO time_left 100000000")
        engine.send("BOARD")
        # The engine moves with the colour whose turn it is by record order;
        # its own stones are those of that colour.
        own = len(moves) % 2
        for i, (x, y) in enumerate(moves):
            engine.send("%d,%d,%d" % (x, y, 1 if i % 2 == own else 2))
        engine.send("DONE")
        sent = time.monotonic()
        line = engine.wait_for(lambda l: not l.startswith("MESSAGE"), wait_limit)
        elapsed = time.monotonic() - sent
        if line is None:
            return None, None, engine.skipped + ["(no move)"]
        match = MOVE_LINE.match(line)
        if not match:
            return None, elapsed, engine.skipped + [line]
        return (int(match.group(1)), int(match.group(2))), elapsed, engine.skipped
    finally:
        engine.close()


# A position whose answer needs no reading: the engine (Black) has four in
# a column and a five to complete. Its reply time is the fixed cost of a
# fresh process, the BOARD block and, outside the rule the engine starts
# with, the rebuild of its tables for the rule.
FIXED_COST_MOVES = [(0, 0), (10, 10), (0, 1), (10, 12), (0, 2), (12, 10), (0, 3), (12, 12)]


def run_suite(args):
    positions = read_positions(args.positions)
    verdicts = {"win": 0, "unproven": 0, "illegal": 0, "no reply": 0, "bad position": 0}
    times = []
    quiet = 0
    started = time.monotonic()
    fixed = []
    for rule in (FREESTYLE, STANDARD, RENJU):
        move, elapsed, _ = ask_engine(args.engine, rule, 15, 15, FIXED_COST_MOVES,
                                      args.timeout_turn, args.wait_limit)
        fixed.append("%s %s" % (RULE_NAMES[rule], "%.3f s" % elapsed if move == (0, 4)
                                else "failed (%r)" % (move,)))
    print("fixed cost (a five to complete): " + ", ".join(fixed))
    for number, (rule, width, height, moves) in enumerate(positions, 1):
        board = board_of(rule, width, height, moves)
        side = "Black" if board.to_move() == BLACK else "White"
        label = "%2d %-9s %dx%d %2d stones %s" % (number, RULE_NAMES[rule], width, height,
                                                   len(moves), side)
        problem, chain = position_problem(board)
        board.memo.clear()
        if problem is not None:
            verdicts["bad position"] += 1
            print("%s  not a suite position: %s" % (label, problem))
            continue
        label += " chain %2d" % chain
        move, elapsed, other = ask_engine(args.engine, rule, width, height, moves,
                                          args.timeout_turn, args.wait_limit)
        if move is None:
            verdicts["no reply"] += 1
            print("%s  no move: %s" % (label, " | ".join(other[-3:])))
            continue
        times.append(elapsed)
        verdict, note = judge_move(board, *move)
        if verdict != "illegal" and "not a four" in note:
            quiet += 1
        verdicts[verdict] += 1
        errors = [l for l in other if l.startswith("ERROR")]
        print("%s  move %d,%d  %.3f s  %-8s %s%s" % (
            label, move[0], move[1], elapsed, verdict, note,
            ("  [" + "; ".join(errors) + "]") if errors else ""))
        sys.stdout.flush()
    print()
    print("positions: %d  wins started: %d  unproven: %d  illegal: %d  no reply: %d"
          "  bad positions: %d  (moves that were not fours: %d)" % (
              len(positions), verdicts["win"], verdicts["unproven"], verdicts["illegal"],
              verdicts["no reply"], verdicts["bad position"], quiet))
    if times:
        print("reply time: median %.3f s  max %.3f s" % (statistics.median(times), max(times)))
    print("total time: %.1f s" % (time.monotonic() - started))
    return 0 if verdicts["win"] == len(positions) else 1


# ---------------------------------------------------------------------------
# Self-test: known answers for the rules and the solver


def diagram_board(rule, text, to_move):
    """A board from an ASCII picture: X black, O white, '.' empty; the rows
    are y = 0, 1, ... and the columns x = 0, 1, ... The stones go straight
    onto the board; the record only stands in for the side to move."""
    rows = [r.split() for r in text.strip().splitlines()]
    height, width = len(rows), len(rows[0])
    board = Board(rule, width, height)
    for y in range(height):
        for x in range(width):
            mark = rows[y][x]
            if mark in "XO":
                board.place(board.index(x, y), BLACK if mark == "X" else WHITE)
    board.record = [None] * (0 if to_move == BLACK else 1)
    return board


def naive_five_cells(board, colour):
    return {c for c in range(len(board.cells))
            if board.cells[c] == EMPTY and board.makes_five(c, colour)}


def naive_wins(board, attacker, depth):
    """The chain-of-fours question answered the slow way, for the self-test."""
    if naive_five_cells(board, attacker):
        return True
    if depth == 0:
        return False
    defender = BLACK + WHITE - attacker
    threats = naive_five_cells(board, defender)
    if len(threats) >= 2:
        return False
    moves = threats or [c for c in range(len(board.cells)) if board.cells[c] == EMPTY]
    for m in sorted(moves):
        if not board.legal_for(m, attacker):
            continue
        board.place(m, attacker)
        completing = naive_five_cells(board, attacker)
        won = False
        if len(completing) >= 2:
            won = True
        elif completing:
            block = completing.pop()
            if board.rule == RENJU and defender == BLACK and board.is_forbidden(block):
                won = True
            else:
                board.place(block, defender)
                won = naive_wins(board, attacker, depth - 1)
                board.remove(block)
        board.remove(m)
        if won:
            return True
    return False


def selftest():
    failures = 0

    def expect(name, got, want):
        nonlocal failures
        if got != want:
            failures += 1
            print("FAIL %s: got %r, want %r" % (name, got, want))

    def foul(text, x, y):
        b = diagram_board(RENJU, text, BLACK)
        return b.is_forbidden(b.index(x, y))

    # Renju fouls, always asked for the cell marked by the comment.
    two_threes = """
        . . . . . . . . .
        . . . . . . . . .
        . . . . X . . . .
        . . . . X . . . .
        . . X X . . . . .
        . . . . . . . . .
        . . . . . . . . .
        . . . . . . . . .
        """
    expect("double three (4,4)", foul(two_threes, 4, 4), True)
    expect("double three, far white stone (4,4)", foul("""
        . . . . O . . . .
        . . . . . . . . .
        . . . . X . . . .
        . . . . X . . . .
        . . X X . . . . .
        . . . . . . . . .
        . . . . . . . . .
        . . . . . . . . .
        """, 4, 4), True)
    expect("three and a three blocked at one end (4,4)", foul("""
        . . . . . . . . .
        . . . . O . . . .
        . . . . X . . . .
        . . . . X . . . .
        . . X X . . . . .
        . . . . . . . . .
        . . . . . . . . .
        . . . . . . . . .
        """, 4, 4), False)
    expect("double four in one line (5,2)", foul("""
        . . . . . . . . . . .
        . . . . . . . . . . .
        . X X X . . . X X X .
        . . . . . . . . . . .
        """, 5, 2), True)
    expect("four and four in two lines (4,4)", foul("""
        . . . . . . . . .
        . . . . X . . . .
        . . . . X . . . .
        . . . . X . . . .
        O X X X . . . . .
        . . . . . . . . .
        . . . . O . . . .
        """, 4, 4), True)
    expect("four and three (4,4)", foul("""
        . . . . . . . . .
        . . . . . . . . .
        . . . . X . . . .
        . . . . X . . . .
        O X X X . . . . .
        . . . . . . . . .
        . . . . . . . . .
        """, 4, 4), False)
    expect("straight four alone (4,1)", foul("""
        . . . . . . . . .
        . X X X . . . . .
        . . . . . . . . .
        """, 4, 1), False)
    expect("overline (3,1)", foul("""
        . . . . . . . . .
        X X X . X X . . .
        . . . . . . . . .
        """, 3, 1), True)
    expect("five and overline together (3,1)", foul("""
        . . . . . . . . .
        X X X . X X . . .
        . . . X . . . . .
        . . . X . . . . .
        . . . X . . . . .
        . . . X . . . . .
        . . . O . . . . .
        """, 3, 1), False)
    # (5,5) makes an open three in its column and, in its row, a three whose
    # only straight-four point (6,5) would be an overline: that three is not
    # real, so the move is allowed. Without the stone on (6,7) the same
    # point makes a five instead, the row three is real and (5,5) a foul.
    fake_three = """
        . . . . . . . . . .
        . . . . . . . . . .
        . . . . . . X . . .
        . . . . . X X . . .
        . . . . . X X . . .
        . O . X X . . . . .
        . . . . . . X . . .
        . . . . . . X . . .
        . . . . . . . . . .
        . . . . . . . . . .
        """
    expect("three whose four point is an overline (5,5)", foul(fake_three, 5, 5), False)
    lines = fake_three.strip().splitlines()
    lines[7] = ". . . . . . . . . ."
    expect("same with a five point (5,5)", foul("\n".join(lines), 5, 5), True)

    # Exact five: under standard, a four beside one more own stone completes
    # an overline on that side, which does not win.
    beside = """
        . . . . . . . . . .
        . X X X X . X . . .
        . . . . . . . . . .
        """
    b = diagram_board(STANDARD, beside, WHITE)
    expect("standard five cells", sorted(b.coords(c) for c in b.five_cells(BLACK)), [(0, 1)])
    b = diagram_board(FREESTYLE, beside, WHITE)
    expect("freestyle five cells", sorted(b.coords(c) for c in b.five_cells(BLACK)),
           [(0, 1), (5, 1)])
    b = diagram_board(RENJU, beside, BLACK)
    expect("renju black five cells", sorted(b.coords(c) for c in b.five_cells(BLACK)), [(0, 1)])
    b = diagram_board(RENJU, beside.replace("X", "O"), BLACK)
    expect("renju white five cells", sorted(b.coords(c) for c in b.five_cells(WHITE)),
           [(0, 1), (5, 1)])

    # Chains. (4,5) fours in the row (blocked on (5,5)) and makes three in
    # the column, which the next four turns into a straight four: two fours.
    two_step = """
        . . . . . . . . . .
        . . . . . . . . . .
        . . . . . . . . . .
        . . . . . . . . . .
        . . . . . . . . . .
        O X X X . . . . . .
        . . . . X . . . . .
        . . . . X . . . . .
        . . . . . . . . . .
        . . . . . . . . . .
        . . . . . . . . . .
        """
    for rule in (FREESTYLE, STANDARD, RENJU):
        b = diagram_board(rule, two_step, BLACK)
        expect("two-step chain, rule %d" % rule, b.shortest_chain(BLACK, 8), 2)
        expect("two-step chain first moves, rule %d" % rule,
               [b.coords(c) for c in b.winning_first_fours(BLACK, 8)], [(4, 5)])
    b = diagram_board(STANDARD, """
        . . . . . . . . . .
        O X X X . . . . . .
        . . . . . . . . . .
        """, BLACK)
    expect("single blocked three: no chain", b.shortest_chain(BLACK, 8), None)
    # One more black stone on (6,5): under standard both row cells would
    # complete an overline, so the row holds no four and the chain is gone;
    # under free style the overline wins and the chain stands.
    lines = two_step.strip().splitlines()
    lines[5] = "O X X X . . X . . ."
    b = diagram_board(STANDARD, "\n".join(lines), BLACK)
    expect("standard: overline spoils the chain", b.shortest_chain(BLACK, 8), None)
    b = diagram_board(FREESTYLE, "\n".join(lines), BLACK)
    expect("freestyle: the overline still wins", b.shortest_chain(BLACK, 8), 2)

    # Renju: White's four on (8,8) must be blocked on (4,4), a double three
    # for Black, so the single four wins; under free style Black blocks.
    blocked = """
        . . . . . . . . . . .
        . . . . . . . . . . .
        . . . . X . . . . . .
        . . . X X . . . . . .
        . . X X . . . . . . .
        . . . . . O . . . . .
        . . . . . . O . . . .
        . . . . . . . O . . .
        . . . . . . . . . . .
        . . . . . . . . . X .
        . . . . . . . . . . .
        """
    b = diagram_board(RENJU, blocked, WHITE)
    expect("renju: block on a foul", b.shortest_chain(WHITE, 8), 1)
    b = diagram_board(FREESTYLE, blocked, WHITE)
    expect("freestyle: the same block holds", b.shortest_chain(WHITE, 8), None)

    # The solver against a slow one that knows nothing of windows: fives
    # found by trying every empty cell, fours by trying every move.
    rng = random.Random(99)
    agreed = 0
    for trial in range(120):
        rule = trial % 3
        b = Board(rule, 9, 9)
        while True:
            b = Board(rule, 9, 9)
            for _ in range(rng.randint(8, 22)):
                x, y = rng.randint(1, 7), rng.randint(1, 7)
                if b.cells[b.index(x, y)] == EMPTY:
                    b.play(x, y)
            a = b.to_move()
            if not (b.has_five_on_board() or naive_five_cells(b, BLACK)
                    or naive_five_cells(b, WHITE)):
                break
        want = next((d for d in range(1, 4) if naive_wins(b, a, d)), None)
        got = b.shortest_chain(a, 3)
        expect("random position %d (rule %d) against the slow solver" % (trial, rule), got, want)
        agreed += got == want
    print("slow solver agreed on %d random positions" % agreed)

    if failures:
        print("%d self-test failure(s)" % failures)
        return 1
    print("self-test passed")
    return 0


# ---------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    gen = sub.add_parser("generate", help="write the suite from a seed")
    gen.add_argument("--seed", type=int, default=2024)
    gen.add_argument("--out", default=DEFAULT_POSITIONS)
    chk = sub.add_parser("check", help="prove every position of a suite file again")
    chk.add_argument("--positions", default=DEFAULT_POSITIONS)
    run = sub.add_parser("run", help="play the suite with an engine")
    run.add_argument("engine")
    run.add_argument("--positions", default=DEFAULT_POSITIONS)
    run.add_argument("--timeout-turn", type=int, default=1000)
    run.add_argument("--wait-limit", type=float, default=15.0,
                     help="seconds to wait for a reply before giving up")
    sub.add_parser("selftest", help="known answers for the rules and the solver")
    args = parser.parse_args()

    if args.command == "generate":
        kept = generate(args.seed, SUITE_QUOTAS)
        write_positions(args.out, args.seed, kept)
        print("wrote %d positions to %s" % (len(kept), args.out))
        return 0
    if args.command == "check":
        bad = 0
        for number, (rule, width, height, moves) in enumerate(read_positions(args.positions), 1):
            board = board_of(rule, width, height, moves)
            problem, chain = position_problem(board)
            print("%2d %-9s %dx%d %2d stones: %s" % (
                number, RULE_NAMES[rule], width, height, len(moves),
                problem or "chain of %d fours" % chain))
            bad += problem is not None
        return 1 if bad else 0
    if args.command == "run":
        return run_suite(args)
    return selftest()


if __name__ == "__main__":
    sys.exit(main())
