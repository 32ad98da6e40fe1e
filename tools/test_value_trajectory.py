#!/usr/bin/env python3
"""Checks of the value trajectory tool: how it reads c-gomoku-cli's SGF, and
what it sends a stand-in brain that values a position by its own stones.

Run as: python3 tools/test_value_trajectory.py       (a second; needs no engine)
"""

import contextlib
import io
import os
import sys
import tempfile
import textwrap
import unittest

sys.dont_write_bytecode = True   # leave no __pycache__ in tools/
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import value_trajectory  # noqa: E402

# Two games as c-gomoku-cli writes them (comments, times, a TE tag with
# parentheses-free text); the second is a draw.
SGF = """\
(;FF[4]GM[4]GN[1]EV[rapfi x ruvan]RO[1.1]RU[4]SZ[15]PB[rapfi]PW[ruvan]RE[B+1]TE[Black win by five connection]
;B[hg]C[opening move];W[jh]C[opening move];B[fi]C[opening move]
;W[ig]C[153ms];B[hf]C[310ms];W[hh]C[151ms];B[gi]C[171ms])

(;FF[4]GM[4]GN[2]EV[ruvan x rapfi]RO[1.2]RU[0]SZ[20]PB[ruvan]PW[rapfi]RE[0-0]TE[draw]
;B[aa];W[bb];B[cc];W[dd])
"""

# A brain that answers every think with the count of its own and of the
# opponent's stones as its value ("own*100+opponent"), and plays the first
# empty cell of column 0 but for a fixed reply at 5,5 once three stones of
# its own stand.
STAND_IN = textwrap.dedent('''
    import sys
    own = opp = 0
    board = set()
    reading = False
    for line in sys.stdin:
        line = line.strip()
        if reading:
            if line == "DONE":
                reading = False
                print("MESSAGE depth 1 eval 1 nodes 1 time 0 pv 0,0", flush=True)
                print("MESSAGE depth 2 eval %d nodes 2 time 0 pv 0,0" % (own * 100 + opp), flush=True)
                if own >= 3 and (5, 5) not in board:
                    print("5,5", flush=True)
                else:
                    print("0,%d" % next(y for y in range(20) if (0, y) not in board), flush=True)
            else:
                x, y, who = (int(v) for v in line.split(","))
                board.add((x, y))
                if who == 1:
                    own += 1
                else:
                    opp += 1
        elif line.startswith(("START", "RESTART")):
            own = opp = 0
            board = set()
            print("OK", flush=True)
        elif line == "BOARD":
            reading = True
        elif line == "END":
            break
''')


class ValueTrajectory(unittest.TestCase):
    def test_reads_players_result_rule_and_moves(self):
        games = value_trajectory.read_games(SGF)
        self.assertEqual(len(games), 2)
        first, second = games
        self.assertEqual((first["black"], first["white"], first["result"], first["rule"], first["size"]),
                         ("rapfi", "ruvan", "B", 4, 15))
        self.assertEqual(first["moves"][:4], [("B", 7, 6), ("W", 9, 7), ("B", 5, 8), ("W", 8, 6)])
        self.assertEqual((len(first["moves"]), first["opening"]), (7, 3))
        self.assertEqual((second["black"], second["result"], second["rule"], second["size"]),
                         ("ruvan", None, 0, 20))
        self.assertEqual(second["opening"], 0)

    def run_tool(self, *args):
        with tempfile.TemporaryDirectory() as folder:
            brain = os.path.join(folder, "brain.py")
            games = os.path.join(folder, "games.sgf")
            with open(brain, "w") as out:
                out.write(STAND_IN)
            with open(games, "w") as out:
                out.write(SGF)
            text = io.StringIO()
            with contextlib.redirect_stdout(text):
                value_trajectory.main(["%s %s" % (sys.executable, brain), games] + list(args))
            return text.getvalue().splitlines()

    def test_lost_games_only_each_own_position_afresh(self):
        # White (ruvan) was to move at plies 3 and 5 of the lost game (ply 1
        # was an opening move, chosen by neither player): one
        # own stone and two of the opponent's, then two and three. The last
        # analysis line's value counts, and no position keeps the stones of
        # the one before (RESTART before each BOARD). The draw is skipped.
        lines = self.run_tool()
        self.assertEqual(lines, ["game 1 ruvan W result B plies 7: 3:102* 5:203*"])

    def test_all_games_and_marks_the_played_move(self):
        # In the draw ruvan is Black, to move at plies 0 and 2; at ply 2 the
        # stand-in plays 0,1, not the 2,2 of the game, and at ply 0 it plays
        # 0,0, which was played.
        lines = self.run_tool("--all", "--name", "ruvan")
        self.assertEqual(lines[1], "game 2 ruvan B result draw plies 4: 0:0 2:101*")

    def test_chosen_plies_of_one_game(self):
        lines = self.run_tool("--game", "1", "--plies", "5")
        self.assertEqual(lines, ["game 1 ruvan W result B plies 7: 5:203*"])


if __name__ == "__main__":
    unittest.main()
