#!/usr/bin/env python3
"""Checks of the defence suite driver: how it reads the positions that
ruvan-threats defence writes, and a run against a scripted stand-in brain
whose move is losing in one position and not in the other.

Run as: python3 tools/test_defence_suite.py        (a second; needs no engine)
"""

import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True   # leave no __pycache__ in tools/
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import defence_suite  # noqa: E402
from test_sprt import FAKE_BRAIN  # noqa: E402

# Two positions: in the first the brain's scripted cell 0,0 is among the
# losing replies, in the second it is not. The third is the first again with
# the stones of each side in another order, and counts once.
POSITIONS = """\
# game 1 ply 5: holds 3 unknown 0 losing 0,0 9,9
0 15x15 7,7 7,8 8,7 8,8 6,6
# a comment that is not a defence line
# game 2 ply 6: holds 1 unknown 2 losing 1,1
2 15x15 7,7 7,8 8,7 8,8 6,6 5,5
# game 3 ply 5: holds 3 unknown 0 losing 0,0 9,9
0 15x15 8,7 8,8 6,6 7,8 7,7
"""


class DefenceSuite(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.positions = os.path.join(self.folder.name, "positions.txt")
        with open(self.positions, "w") as out:
            out.write(POSITIONS)
        self.brain = os.path.join(self.folder.name, "fake_brain.py")
        with open(self.brain, "w") as out:
            out.write(FAKE_BRAIN)

    def tearDown(self):
        self.folder.cleanup()

    def test_positions_pair_with_their_losing_cells_and_count_once(self):
        positions = defence_suite.read_positions(self.positions)
        self.assertEqual(len(positions), 2)
        rule, width, height, moves, losing = positions[0]
        self.assertEqual((rule, width, height, len(moves)), (0, 15, 15, 5))
        self.assertEqual(losing, {(0, 0), (9, 9)})
        self.assertEqual((positions[1][0], positions[1][4]), (2, {(1, 1)}))

    def test_a_losing_move_is_counted_under_its_rule(self):
        args = defence_suite.parse_args(["run", "%s %s script=0,0" % (sys.executable, self.brain), self.positions,
                                         "--turn-ms", "500", "--info", "threat_search 1", "--verbose"])
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            self.assertEqual(defence_suite.run(args), 0)
        text = out.getvalue()
        self.assertIn("freestyle 7,7 7,8 8,7 8,8 6,6: 0,0 loses", text)
        self.assertIn("renju 7,7 7,8 8,7 8,8 6,6 5,5: 0,0 holds or unknown", text)
        self.assertIn("rule 0 freestyle   1 positions,   1 moves into a proven sequence loss (100%)", text)
        self.assertIn("rule 2 renju       1 positions,   0 moves into a proven sequence loss (0%)", text)
        self.assertIn("all               2 positions,   1 moves into a proven sequence loss (50%)", text)

    def test_harness_logs_become_game_lines(self):
        log = os.path.join(self.folder.name, "match.log")
        with open(log, "w") as out:
            out.write('[Game "1"]\n[Pair "1"]\n[Rule "renju"]\n[Size "15x15"]\n[Black "candidate"]\n'
                      '[Result "1-0"]\n\n7,7 7,8 8,7\n\n'
                      '[Game "2"]\n[Rule "standard"]\n[Size "20x20"]\n\n9,9 9,10\n\n')
        self.assertEqual(defence_suite.log_games([log]), ["2 15x15 7,7 7,8 8,7", "1 20x20 9,9 9,10"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
