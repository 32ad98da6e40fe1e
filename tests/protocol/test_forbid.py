#!/usr/bin/env python3
"""YXSHOWFORBID through the real binary: exact "FORBID ..." lines for Renju
positions set up with START/RECTSTART, INFO rule and PLAY, under the other
rules, after a rule change, and while the engine thinks.

Usage: python3 test_forbid.py <path-to-ruvan-binary>

The expected lists of the fixed positions are worked out by hand; a slow
forbidden-point finder written here from the Renju rules checks each of them
once more and gives the expected answer where the position depends on the
engine's own move.
"""

import queue
import random
import subprocess
import sys
import threading
import unittest

ENGINE = None
TIMEOUT = 30.0


class Engine:
    """One engine process; every output line is read in order."""

    def __init__(self, path):
        self.proc = subprocess.Popen(
            [path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True, bufsize=1)
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

    def line(self, timeout=TIMEOUT):
        try:
            value = self.lines.get(timeout=timeout)
        except queue.Empty:
            raise AssertionError("no output within %.0f s" % timeout)
        if value is None:
            raise AssertionError("engine closed its output")
        return value

    def finish(self):
        """END; returns every line printed after it, up to the end of output."""
        self.send("END")
        self.proc.stdin.close()
        rest = []
        while True:
            try:
                value = self.lines.get(timeout=TIMEOUT)
            except queue.Empty:
                raise AssertionError("engine did not exit after END")
            if value is None:
                break
            rest.append(value)
        self.proc.wait(timeout=TIMEOUT)
        return rest

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


# ---------------------------------------------------------------------------
# Slow reference: Black's forbidden points by counting stones along lines.

DIRS = ((0, 1), (1, 0), (1, -1), (1, 1))


class Board:
    def __init__(self, width, height):
        self.width, self.height = width, height
        self.cell = [[0] * height for _ in range(width)]

    def inside(self, x, y):
        return 0 <= x < self.width and 0 <= y < self.height

    def black(self, x, y):
        return self.inside(x, y) and self.cell[x][y] == 1

    def empty(self, x, y):
        return self.inside(x, y) and self.cell[x][y] == 0


def run_through(b, x, y, d):
    dx, dy = DIRS[d]
    lo = hi = 0
    while b.black(x + (lo - 1) * dx, y + (lo - 1) * dy):
        lo -= 1
    while b.black(x + (hi + 1) * dx, y + (hi + 1) * dy):
        hi += 1
    return lo, hi


def makes_five(b, x, y):
    b.cell[x][y] = 1
    five = any(hi - lo + 1 == 5 for lo, hi in (run_through(b, x, y, d) for d in range(4)))
    b.cell[x][y] = 0
    return five


def fours_in_line(b, x, y, d):
    dx, dy = DIRS[d]
    fours = set()
    for t in range(-4, 5):
        u, v = x + t * dx, y + t * dy
        if t == 0 or not b.empty(u, v):
            continue
        b.cell[u][v] = 1
        lo, hi = run_through(b, u, v, d)
        if hi - lo + 1 == 5 and t + lo <= 0 <= t + hi:
            fours.add(frozenset(s for s in range(t + lo, t + hi + 1) if s != t))
        b.cell[u][v] = 0
    return len(fours)


def straight_four(b, u, v, x, y, d):
    dx, dy = DIRS[d]
    lo, hi = run_through(b, u, v, d)
    if hi - lo + 1 != 4:
        return False
    if not any((u + s * dx, v + s * dy) == (x, y) for s in range(lo, hi + 1)):
        return False
    bx, by = u + (lo - 1) * dx, v + (lo - 1) * dy
    ax, ay = u + (hi + 1) * dx, v + (hi + 1) * dy
    if not b.empty(bx, by) or not b.empty(ax, ay):
        return False
    return not b.black(bx - dx, by - dy) and not b.black(ax + dx, ay + dy)


def three_in_line(b, x, y, d):
    dx, dy = DIRS[d]
    for t in range(-4, 5):
        u, v = x + t * dx, y + t * dy
        if t == 0 or not b.empty(u, v):
            continue
        b.cell[u][v] = 1
        straight = straight_four(b, u, v, x, y, d)
        b.cell[u][v] = 0
        # A straight-four point that would complete a five elsewhere is a
        # winning point, not the extension of a three.
        if straight and not makes_five(b, u, v) and not forbidden(b, u, v):
            return True
    return False


def forbidden(b, x, y):
    b.cell[x][y] = 1
    lengths = [hi - lo + 1 for lo, hi in (run_through(b, x, y, d) for d in range(4))]
    result = False
    if 5 not in lengths:
        if max(lengths) >= 6:
            result = True
        else:
            fours = threes = 0
            for d in range(4):
                f = fours_in_line(b, x, y, d)
                fours += f
                if f == 0 and three_in_line(b, x, y, d):
                    threes += 1
            result = fours >= 2 or threes >= 2
    b.cell[x][y] = 0
    return result


def reference_reply(width, height, moves):
    """The FORBID line for the moves (in record order, Black first)."""
    b = Board(width, height)
    for i, (x, y) in enumerate(moves):
        b.cell[x][y] = 1 if i % 2 == 0 else 2
    cells = ["%02d%02d" % (x, y) for x in range(width) for y in range(height)
             if b.cell[x][y] == 0 and forbidden(b, x, y)]
    return "FORBID " + "".join(cells) + "."


# ---------------------------------------------------------------------------
# Positions. Black and White alternate in the record, so White's stones that
# only keep the count are put far from Black's shapes.

def interleave(blacks, whites):
    assert len(whites) in (len(blacks), len(blacks) - 1)
    moves = []
    for i, cell in enumerate(blacks):
        moves.append(cell)
        if i < len(whites):
            moves.append(whites[i])
    return moves


# (7,7) makes an open three in the row and one in the column.
DOUBLE_THREE = interleave([(7, 8), (7, 9), (8, 7), (9, 7)], [(0, 0), (0, 14), (14, 0)])

# Three double threes: (3,10), (10,3) and (10,11); White's stones along the
# far edge.
THREE_POINTS = interleave(
    [(3, 11), (3, 12), (4, 10), (5, 10),
     (10, 4), (10, 5), (11, 3), (12, 3),
     (10, 12), (10, 13), (11, 11), (12, 11)],
    [(14, 0), (14, 2), (14, 4), (14, 6), (14, 8), (14, 10), (14, 12), (14, 14),
     (0, 0), (13, 0), (13, 14)])

# (7,7): a row overline (X X X _ X X) and, alone, nothing else; (7,3) and (7,10)
# each complete a four in the same row and are allowed.
OVERLINE = interleave([(7, 4), (7, 5), (7, 6), (7, 8), (7, 9)],
                      [(0, 0), (0, 14), (14, 0), (14, 14)])

# (7,7) completes X_XXX_X: two fours in one line.
LINE_DOUBLE_FOUR = interleave([(7, 4), (7, 6), (7, 8), (7, 10)], [(0, 0), (0, 14), (14, 0)])

# 15 wide, 10 high: (12,7) is a double three near the short side.
RECT_DOUBLE_THREE = interleave([(12, 5), (12, 6), (10, 7), (11, 7)], [(0, 0), (0, 9), (1, 0)])


def random_moves(rng, width, height):
    """Stones around a random centre, Black and White alternating, with no
    black five or overline on the board."""
    while True:
        cx, cy = rng.randrange(width), rng.randrange(height)
        blacks = rng.randrange(9, 17)
        cells = set()
        while len(cells) < 2 * blacks - 1:
            x, y = cx + rng.randrange(-4, 5), cy + rng.randrange(-4, 5)
            if 0 <= x < width and 0 <= y < height:
                cells.add((x, y))
        cells = sorted(cells)
        rng.shuffle(cells)
        b = Board(width, height)
        for i, (x, y) in enumerate(cells):
            b.cell[x][y] = 1 if i % 2 == 0 else 2
        if all(hi - lo + 1 < 5 for x in range(width) for y in range(height) if b.black(x, y)
               for lo, hi in (run_through(b, x, y, d) for d in range(4))):
            return cells


class ForbidTest(unittest.TestCase):
    def setUp(self):
        self.engine = Engine(ENGINE)

    def tearDown(self):
        self.engine.kill()

    def expect(self, line):
        self.assertEqual(self.engine.line(), line)

    def start(self, rule, size="START 15"):
        e = self.engine
        e.send("INFO rule %d" % rule)
        e.send(size)
        first = e.line()
        self.assertTrue(first.startswith("MESSAGE"), first)
        self.expect("OK")

    def play(self, moves):
        for x, y in moves:
            self.engine.send("PLAY %d,%d" % (x, y))
            self.expect("%d,%d" % (x, y))

    def forbid(self, command="YXSHOWFORBID"):
        self.engine.send(command)
        return self.engine.line()

    def finish_quietly(self):
        """Nothing else is printed: no move from a think after YXSHOWFORBID."""
        self.assertEqual(self.engine.finish(), [])

    def test_reference_agrees_with_hand_lists(self):
        self.assertEqual(reference_reply(15, 15, DOUBLE_THREE), "FORBID 0707.")
        self.assertEqual(reference_reply(15, 15, THREE_POINTS), "FORBID 031010031011.")
        self.assertEqual(reference_reply(15, 15, OVERLINE), "FORBID 0707.")
        self.assertEqual(reference_reply(15, 15, LINE_DOUBLE_FOUR), "FORBID 0707.")
        self.assertEqual(reference_reply(15, 10, RECT_DOUBLE_THREE), "FORBID 1207.")
        self.assertEqual(reference_reply(15, 15, []), "FORBID .")

    def test_empty_board(self):
        self.start(2)
        self.assertEqual(self.forbid(), "FORBID .")
        self.finish_quietly()

    def test_double_three(self):
        self.start(2)
        self.play(DOUBLE_THREE)
        self.assertEqual(self.forbid(), "FORBID 0707.")
        # Asking twice gives the same answer: the position is left as it was.
        self.assertEqual(self.forbid(), "FORBID 0707.")
        self.finish_quietly()

    def test_order_and_two_digit_coordinates(self):
        self.start(2)
        self.play(THREE_POINTS)
        self.assertEqual(self.forbid(), "FORBID 031010031011.")
        self.finish_quietly()

    def test_overline_and_double_four_in_one_line(self):
        self.start(2)
        self.play(OVERLINE)
        self.assertEqual(self.forbid(), "FORBID 0707.")
        self.engine.send("RESTART")
        self.assertTrue(self.engine.line().startswith("MESSAGE"))
        self.expect("OK")
        self.play(LINE_DOUBLE_FOUR)
        self.assertEqual(self.forbid(), "FORBID 0707.")
        self.finish_quietly()

    def test_rectangular_board(self):
        self.start(2, "RECTSTART 15,10")
        self.play(RECT_DOUBLE_THREE)
        self.assertEqual(self.forbid(), "FORBID 1207.")
        self.finish_quietly()

    def test_other_rules_have_none(self):
        for rule in (0, 1):
            with self.subTest(rule=rule):
                if rule:
                    self.engine.kill()
                    self.engine = Engine(ENGINE)
                self.start(rule)
                self.play(DOUBLE_THREE)
                self.assertEqual(self.forbid(), "FORBID .")
                self.engine.send("RESTART")
                self.assertTrue(self.engine.line().startswith("MESSAGE"))
                self.expect("OK")
                self.play(OVERLINE)
                self.assertEqual(self.forbid(), "FORBID .")
                self.finish_quietly()

    def test_rule_change_brings_board_up_to_date(self):
        # Stones recorded under free style (no board built yet), then Renju.
        self.start(0)
        self.play(DOUBLE_THREE)
        self.assertEqual(self.forbid(), "FORBID .")
        self.engine.send("INFO rule 2")
        self.assertEqual(self.forbid(), "FORBID 0707.")
        self.engine.send("INFO rule 1")
        self.assertEqual(self.forbid(), "FORBID .")
        self.engine.send("INFO rule 2")
        self.assertEqual(self.forbid(), "FORBID 0707.")
        self.finish_quietly()

    def test_command_word_matching(self):
        self.start(2)
        self.play(DOUBLE_THREE)
        self.assertEqual(self.forbid("yxshowforbid"), "FORBID 0707.")
        self.assertEqual(self.forbid("YxShowForbid"), "FORBID 0707.")
        self.assertEqual(self.forbid("YXSHOWFORBIDDEN cells please"), "FORBID 0707.")
        self.assertEqual(self.forbid(" YXSHOWFORBID"), "UNKNOWN command")
        self.finish_quietly()

    def test_take_back_changes_the_list(self):
        self.start(2)
        self.play(DOUBLE_THREE)
        self.assertEqual(self.forbid(), "FORBID 0707.")
        # DOUBLE_THREE ends with Black's (9,7); without it the column holds
        # one stone and (7,7) is a single three.
        self.engine.send("TAKEBACK 9,7")
        self.expect("OK")
        self.assertEqual(reference_reply(15, 15, DOUBLE_THREE[:-1]), "FORBID .")
        self.assertEqual(self.forbid(), "FORBID .")
        self.finish_quietly()

    def test_random_positions(self):
        rng = random.Random(20261207)
        self.start(2)
        points = 0
        for n in range(8):
            moves = random_moves(rng, 15, 15)
            expected = reference_reply(15, 15, moves)
            points += (len(expected) - len("FORBID .")) // 4
            if n:
                self.engine.send("RESTART")
                self.assertTrue(self.engine.line().startswith("MESSAGE"))
                self.expect("OK")
            self.play(moves)
            self.assertEqual(self.forbid(), expected, "moves %s" % moves)
        # The sample holds enough forbidden points to mean something.
        self.assertGreater(points, 5)
        self.finish_quietly()

    def test_stops_thinking_first(self):
        e = self.engine
        e.send("INFO timeout_turn 20000")
        e.send("INFO time_left 100000000")
        self.start(2)
        self.play(DOUBLE_THREE)
        # White (the engine) to move; the think is stopped by the request and
        # its move is printed before the list, which includes that move.
        e.send("BEGIN")
        e.send("YXSHOWFORBID")
        move = None
        while True:
            line = e.line()
            if line.startswith("MESSAGE"):
                continue
            if move is None:
                self.assertRegex(line, r"^\d+,\d+$")
                move = tuple(int(v) for v in line.split(","))
                continue
            self.assertEqual(line, reference_reply(15, 15, DOUBLE_THREE + [move]))
            break
        self.finish_quietly()


def main():
    global ENGINE
    if len(sys.argv) < 2:
        print("usage: test_forbid.py <ruvan binary>")
        return 2
    ENGINE = sys.argv[1]
    suite = unittest.defaultTestLoader.loadTestsFromTestCase(ForbidTest)
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
