#!/usr/bin/env python3
"""Whole games, engine against engine, judged by a referee of our own.

Run as: test_games.py <path-to-ruvan>

Every game is played through the protocol at about 100 ms a move, under all
three rules, on 15 x 15, 20 x 20 and a rectangular board, and ends properly:
a five, a full board, or the move cap. Each reply must be a move on an empty
cell of the board, with nothing but MESSAGE lines around it, and must come
within a generous bound of timeout_turn. An engine that can make five must
make it, and one that cannot must stop the opponent's five. Black must never play a Renju foul;
the referee (tools/play_match.py) judges fouls without any of the engine's
rule code, and its own known answers are checked first, so a referee fault
cannot hide an engine fault.
"""

import os
import random
import sys
import unittest

sys.dont_write_bytecode = True   # leave no __pycache__ in tools/
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from play_match import (BLACK, FREESTYLE, RENJU, STANDARD, WHITE, Engine, IllegalMove,  # noqa: E402
                        Referee, play_game, random_opening)

ENGINE = None

TIMEOUT_TURN = 100          # ms a move
TIME_LEFT = 100000000       # large: timeout_turn is the binding limit
REPLY_SLACK = 2.0           # s beyond timeout_turn before a reply counts as late
MOVE_CAP = 160              # keeps the whole script within a few minutes


def position(rule, rows):
    """A referee holding the diagram: line i is x = i, character j is y = j;
    'X' Black, 'O' White, '.' empty. Stones are set directly, in any number."""
    referee = Referee(rule, len(rows), len(rows[0]))
    for x, row in enumerate(rows):
        for y, mark in enumerate(row):
            referee.cells[x][y] = {"X": BLACK, "O": WHITE}.get(mark, 0)
    return referee


def padded(rows, width=15):
    """Centres short diagram lines on a 15 x 15 board, so that the shapes
    below stay clear of the edges unless they mean to touch them."""
    blank = "." * width
    lines = [blank] * ((width - len(rows)) // 2) + [r.center(width, ".") for r in rows]
    return lines + [blank] * (width - len(lines))


class RefereeRules(unittest.TestCase):
    """Known answers worked out by hand. The star marks the cell asked about
    (and is empty on the board)."""

    def ask(self, rule, rows):
        rows = padded(rows)
        x = next(i for i, r in enumerate(rows) if "*" in r)
        y = rows[x].index("*")
        return position(rule, [r.replace("*", ".") for r in rows]), x, y

    def test_five_under_each_rule(self):
        # (rule, shape, colour, wins)
        cases = [
            (FREESTYLE, "XX*XX", BLACK, True),
            (FREESTYLE, "XXX*XX", BLACK, True),      # six wins under free style
            (FREESTYLE, "OO*O", WHITE, False),
            (STANDARD, "XX*XX", BLACK, True),
            (STANDARD, "XXX*XX", BLACK, False),      # an overline does not win
            (STANDARD, "OOO*OO", WHITE, False),      # for either colour
            (STANDARD, "OO*OO", WHITE, True),
            (RENJU, "XX*XX", BLACK, True),
            (RENJU, "OOO*OO", WHITE, True),          # White's overline wins
            (RENJU, "XX*XXO", BLACK, True),          # a blocked five is a five
        ]
        for rule, shape, colour, wins in cases:
            referee, x, y = self.ask(rule, [shape])
            self.assertEqual(referee.makes_five(x, y, colour), wins, (rule, shape, colour))
        # The same along a column and a diagonal.
        referee, x, y = self.ask(STANDARD, ["X....", ".X...", "..*..", "...X.", "....X"])
        self.assertTrue(referee.makes_five(x, y, BLACK))
        referee, x, y = self.ask(STANDARD, ["X", "X", "*", "X", "X", "X"])
        self.assertFalse(referee.makes_five(x, y, BLACK))

    def test_renju_fouls(self):
        # (diagram, foul)
        cases = [
            (["XXX*XX"], True),                                 # overline
            (["XX*XX", "..X..", "..X..", "..X..", "..X.."], False),  # five and a five
            (["..X..", "..X..", "XX*XX", "..X..", "..X..", "..X.."], False),  # five beats overline
            (["X.X*X.X"], True),                                # two fours in one line
            (["XX.*X.XX"], True),                               # the same, other shape
            ([".XXX*."], False),                                # straight four alone
            (["..X..", "..X..", "..X..", "XX*.X"], True),        # double four, two lines
            (["..X..", "..X..", "..X..", ".X*X.", "....."], False),  # four-three
            (["..X..", "..X..", ".X*X.", "....."], True),        # double three
            (["..X...", "..X...", ".X*.X.", "......"], True),    # split three in one line
            (["O.....", "..X...", "..X...", ".X*X..", "......"], True),  # O too far to matter
            (["..O..", "..X..", "..X..", ".X*X.", "....."], False),  # one three blocked
            (["..X..", "..X..", "OX*X.", "....."], False),      # OXXX. is not a three
            (["..X..", "..X..", ".X*X.", "..O.."], False),      # nor is a three against O
            (["..X..", "..X..", ".X*X.", ".....", "..O.."], True),  # one free cell before O will do
        ]
        for rows, foul in cases:
            referee, x, y = self.ask(RENJU, rows)
            self.assertEqual(referee.is_foul(x, y), foul, "\n".join(rows))

    def test_renju_three_against_the_edge(self):
        # p = (2, 5). Along y, (2, 6) and (2, 7) make a real three. Along x,
        # (0, 5) and (1, 5) make a three that touches the edge and cannot
        # become a straight four, so p is allowed; with (3, 5) and (4, 5)
        # instead there is room on both sides and p is a double three.
        for stones, foul in ((((0, 5), (1, 5)), False), (((3, 5), (4, 5)), True)):
            referee = position(RENJU, ["." * 15] * 15)
            for x, y in stones + ((2, 6), (2, 7)):
                referee.cells[x][y] = BLACK
            self.assertEqual(referee.is_foul(2, 5), foul, stones)

    def test_renju_three_whose_straight_four_points_are_forbidden(self):
        # p = (7, 7). Along x, (5, 7) and (6, 7) make a real three with p.
        # Along y, (7, 8) and (7, 9) make a three whose only straight-four
        # points are (7, 6) and (7, 10); the columns y = 6 and y = 10 hold
        # XXX.XX with the gap on row 7, so both points are overlines for
        # Black. That three is false, and p is allowed.
        rows = ["." * 15 for _ in range(15)]
        referee = position(RENJU, rows)
        for x, y in ((5, 7), (6, 7), (7, 8), (7, 9)):
            referee.cells[x][y] = BLACK
        self.assertTrue(referee.is_foul(7, 7))        # a plain double three first
        for y in (6, 10):
            for x in (4, 5, 6, 8, 9):
                referee.cells[x][y] = BLACK
        self.assertTrue(referee.is_foul(7, 6) and referee.is_foul(7, 10))
        self.assertFalse(referee.is_foul(7, 7))

    def test_white_is_never_fouled_and_other_rules_have_no_fouls(self):
        referee, x, y = self.ask(RENJU, ["..X..", "..X..", ".X*X.", "....."])
        referee.moves = [(0, 0)]                        # White to move now
        self.assertEqual(referee.to_move(), WHITE)
        referee.cells[0][0] = BLACK
        self.assertIsNone(referee.play(x, y))
        for rule in (FREESTYLE, STANDARD):
            referee, x, y = self.ask(rule, ["XXX*XX"])
            self.assertFalse(referee.is_foul(x, y))

    def test_play_judges_each_stone(self):
        referee = Referee(STANDARD, 15, 15)
        for move in ((7, 3), (0, 0), (7, 4), (0, 1), (7, 6), (0, 2), (7, 7), (0, 3), (7, 8), (1, 0)):
            self.assertIsNone(referee.play(*move))
        self.assertIsNone(referee.play(7, 5))          # six in a row: no win under standard
        with self.assertRaises(IllegalMove):
            referee.play(7, 5)
        with self.assertRaises(IllegalMove):
            referee.play(15, 0)
        self.assertEqual(referee.play(0, 4), "five")   # White: 0,0 ... 0,4
        renju = Referee(RENJU, 15, 15)
        for move in ((7, 5), (0, 0), (7, 6), (0, 2), (6, 7), (0, 4), (5, 7), (0, 6)):
            self.assertIsNone(renju.play(*move))
        self.assertEqual(renju.play(7, 7), "foul")
        tiny = Referee(FREESTYLE, 2, 2)
        self.assertEqual([tiny.play(*m) for m in ((0, 0), (0, 1), (1, 0), (1, 1))], [None, None, None, "draw"])

    def test_blocked_cells(self):
        # A block cuts a line like the edge: XX#XX is no five, and a block
        # takes no stone.
        referee = Referee(FREESTYLE, 15, 15, blocks=[(7, 7)])
        for move in ((7, 5), (0, 0), (7, 6), (0, 2), (7, 8), (0, 4), (7, 9), (0, 6)):
            self.assertIsNone(referee.play(*move))
        self.assertFalse(referee.makes_five(7, 10, BLACK))
        with self.assertRaises(IllegalMove):
            referee.play(7, 7)
        self.assertEqual(referee.play(7, 10), None)      # 7,8 .. 7,10: three
        # Renju: a three against a block is no three, as against the edge
        # (see test_renju_three_against_the_edge), so 2,5 is allowed here.
        for block, foul in (((2, 4), False), ((2, 2), True)):
            referee = Referee(RENJU, 15, 15, blocks=[block])
            for x, y in ((2, 6), (2, 7), (3, 5), (4, 5)):
                referee.cells[x][y] = BLACK
            self.assertEqual(referee.is_foul(2, 5), foul, block)
        # The board is full, and the game drawn, when every cell that is not
        # blocked holds a stone.
        tiny = Referee(FREESTYLE, 2, 2, blocks=[(1, 1)])
        self.assertEqual([tiny.play(*m) for m in ((0, 0), (0, 1), (1, 0))], [None, None, "draw"])
        with self.assertRaises(ValueError):
            Referee(FREESTYLE, 2, 2, blocks=[(1, 1), (1, 1)])


class WholeGames(unittest.TestCase):
    """Engine against engine. Results and timings are printed for the log."""

    slowest = {"all": (0.0, ""), "later": (0.0, "")}

    @classmethod
    def tearDownClass(cls):
        for key, label in (("all", "any reply"), ("later", "replies after each engine's first search")):
            seconds, where = cls.slowest[key]
            print("largest reply time minus timeout_turn, %s: %+.0f ms (%s)"
                  % (label, seconds * 1000 - TIMEOUT_TURN, where))

    def check_game(self, result, label):
        where = "%s: %s\n  %s" % (label, result.summary(), result.record())
        print(where)
        self.assertNotEqual(result.outcome, "foul", "Black played a Renju foul\n" + where + "\n" +
                            result.final_diagram)
        self.assertIn(result.outcome, ("five", "draw", "cap"), where)
        self.assertEqual(result.missed, [], "a five was ignored\n" + where)
        if result.outcome == "draw":
            self.assertEqual(len(result.moves), result.width * result.height, where)
        first_search = {}
        for seconds, colour, ply in result.reply_times:
            searched = ply > 0   # the empty board is answered without a search
            tag = "%s, ply %d" % (label, ply)
            if seconds > self.slowest["all"][0]:
                type(self).slowest["all"] = (seconds, tag)
            if searched and first_search.setdefault(colour, ply) != ply and seconds > self.slowest["later"][0]:
                type(self).slowest["later"] = (seconds, tag)
            self.assertLessEqual(seconds, TIMEOUT_TURN / 1000 + REPLY_SLACK,
                                 "reply at ply %d took %.0f ms\n%s" % (ply, seconds * 1000, where))

    def close_all(self, *engines):
        for engine in engines:
            code = engine.close()
            self.assertEqual(code, 0, "%s exit code" % engine.name)
            self.assertEqual(engine.stderr, [], "%s wrote to standard error" % engine.name)

    def match(self, rule, sizes, seed):
        """Two processes that hear each other's moves with TURN. They play one
        game per size, Black and White swapping, in the same processes, so a
        new game after an old one is covered too."""
        rng = random.Random(seed)
        a, b = Engine(ENGINE, "A"), Engine(ENGINE, "B")
        try:
            for i, (width, height) in enumerate(sizes):
                opening = random_opening(rng, width, height, rng.randint(0, 3))
                black, white = (a, b) if i % 2 == 0 else (b, a)
                if len(opening) % 2:
                    black, white = white, black
                result = play_game(black, white, rule, width, height, TIMEOUT_TURN, TIME_LEFT, opening, MOVE_CAP)
                self.check_game(result, "rule %d %dx%d (%s Black, opening %d)"
                                % (rule, width, height, black.name, len(opening)))
        except Exception:
            for engine in (a, b):
                print("\n".join(engine.transcript[-20:]))
                engine.kill()
            raise
        self.close_all(a, b)

    def test_freestyle(self):
        self.match(FREESTYLE, [(15, 15), (20, 20), (15, 15), (20, 20), (20, 15)], seed=11)

    def test_standard(self):
        self.match(STANDARD, [(15, 15), (20, 20), (15, 15), (20, 20), (15, 20)], seed=12)

    def test_renju(self):
        self.match(RENJU, [(15, 15), (20, 20), (15, 15), (20, 20), (20, 15)], seed=13)

    def test_one_process_plays_both_sides_with_board(self):
        # Every move is asked for with RESTART and a BOARD block of the whole
        # game, so the engine rebuilds the position from the block each time.
        engine = Engine(ENGINE, "solo")
        try:
            for rule, size, seed in ((RENJU, 15, 21), (STANDARD, 20, 22)):
                opening = random_opening(random.Random(seed), size, size, 3)
                result = play_game(engine, engine, rule, size, size, TIMEOUT_TURN, TIME_LEFT, opening, MOVE_CAP,
                                   board_mode=True)
                self.check_game(result, "rule %d %dx%d by BOARD" % (rule, size, size))
        except Exception:
            print("\n".join(engine.transcript[-20:]))
            engine.kill()
            raise
        self.close_all(engine)

    def test_small_boards_fill_up(self):
        # No five fits on a 5 x 5 board between two players who block, so the
        # game runs to the last cell: the engine must keep finding the empty
        # cells and the game ends as a draw (or, rarely, in a five).
        a, b = Engine(ENGINE, "A"), Engine(ENGINE, "B")
        try:
            for rule in (FREESTYLE, STANDARD, RENJU):
                result = play_game(a, b, rule, 5, 5, TIMEOUT_TURN, TIME_LEFT)
                self.check_game(result, "rule %d 5x5" % rule)
                self.assertNotEqual(result.outcome, "cap")
            result = play_game(a, b, FREESTYLE, 7, 4, TIMEOUT_TURN, TIME_LEFT)
            self.check_game(result, "rule 0 7x4")
        except Exception:
            for engine in (a, b):
                print("\n".join(engine.transcript[-20:]))
                engine.kill()
            raise
        self.close_all(a, b)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_games.py <path-to-ruvan>")
    ENGINE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
