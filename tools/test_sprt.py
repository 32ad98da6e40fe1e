#!/usr/bin/env python3
"""Checks of the strength harness: the ratio test's arithmetic against values
worked out by hand, the pairing of openings, colours and rules, and whole
games against scripted stand-in brains that win, crash, hang, stall, break
the protocol or play on an occupied cell on purpose.

Run as: python3 tools/test_sprt.py        (about half a minute; needs no engine)
"""

import contextlib
import io
import math
import os
import sys
import tempfile
import textwrap
import unittest

sys.dont_write_bytecode = True   # leave no __pycache__ in tools/
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import make_openings  # noqa: E402
import sprt  # noqa: E402
from referee import BLACK, FREESTYLE, RENJU, STANDARD, WHITE  # noqa: E402

# s1 for elo1 = 10: 1 / (1 + 10^(-10/400)) = 1 / 1.9440609 = 0.5143872, so
# s1 - s0 = 0.0143872 and (s1 - s0)^2 = 2.06990e-4.
S1_10 = 0.5143872


# ---------------------------------------------------------------------------
# The statistics


class Statistics(unittest.TestCase):
    def test_bounds_of_five_percent_errors(self):
        # ln(0.05 / 0.95) = -ln 19 = -2.944439, and the upper bound mirrors it.
        low, high = sprt.sprt_bounds(0.05, 0.05)
        self.assertAlmostEqual(low, -2.944439, places=5)
        self.assertAlmostEqual(high, 2.944439, places=5)
        # Tighter errors need more evidence on the side they protect.
        low, high = sprt.sprt_bounds(0.01, 0.10)
        self.assertAlmostEqual(high, math.log(0.90 / 0.01), places=9)
        self.assertAlmostEqual(low, math.log(0.10 / 0.99), places=9)

    def test_elo_and_score(self):
        self.assertAlmostEqual(sprt.expected_score(0), 0.5)
        self.assertAlmostEqual(sprt.expected_score(10), S1_10, places=6)
        # 3 : 1 odds are 400 log10(3) = 190.85 Elo.
        self.assertAlmostEqual(sprt.elo_from_score(0.75), 190.85, places=2)
        self.assertAlmostEqual(sprt.elo_from_score(0.25), -190.85, places=2)
        for elo in (-300, -35.5, 0, 7, 123):
            self.assertAlmostEqual(sprt.elo_from_score(sprt.expected_score(elo)), elo, places=9)
        self.assertEqual(sprt.elo_from_score(1.0), math.inf)
        self.assertEqual(sprt.elo_from_score(0.0), -math.inf)

    def test_trinomial_by_hand(self):
        # 30 wins, 30 losses, 40 draws: mean 1/2, variance (30 + 30) / 4 / 100 = 0.15.
        n, mean, var = sprt.trinomial(30, 30, 40)
        self.assertEqual(n, 100)
        self.assertAlmostEqual(mean, 0.5)
        self.assertAlmostEqual(var, 0.15)
        # LLR = 100 * 0.0143872 * (1 - 0.5 - 0.5143872) / 0.3 = -100 * 2.0699e-4 / 0.3.
        self.assertAlmostEqual(sprt.llr(n, mean, var, 0, 10), -0.068997, places=5)
        # 60 wins, 20 losses, 20 draws: mean 0.7, variance 0.6 * 0.09 + 0.2 * 0.49 + 0.2 * 0.04 = 0.16,
        # LLR = 100 * 0.0143872 * (1.4 - 1.0143872) / 0.32 = 1.73374.
        n, mean, var = sprt.trinomial(60, 20, 20)
        self.assertAlmostEqual(var, 0.16)
        self.assertAlmostEqual(sprt.llr(n, mean, var, 0, 10), 1.73374, places=4)

    def test_pentanomial_by_hand(self):
        # Pairs 2-3-10-3-2: mean 1/2, variance (2 * 1/4 + 3 * 1/16) * 2 / 20 = 0.06875,
        # LLR = -20 * 2.0699e-4 / 0.1375.
        n, mean, var = sprt.pentanomial([2, 3, 10, 3, 2])
        self.assertEqual(n, 20)
        self.assertAlmostEqual(mean, 0.5)
        self.assertAlmostEqual(var, 0.06875)
        self.assertAlmostEqual(sprt.llr(n, mean, var, 0, 10), -0.030108, places=5)

    def test_pairs_that_split_carry_no_noise(self):
        # Forty games, every pair one win and one loss: as games, a coin
        # (variance 1/4); as pairs, no spread at all, and the degenerate ratio
        # n log((1 - s1) / (1 - 1/2)) = 20 log(0.9712256) = -0.583929.
        self.assertAlmostEqual(sprt.trinomial(20, 20, 0)[2], 0.25)
        n, mean, var = sprt.pentanomial([0, 0, 20, 0, 0])
        self.assertEqual(var, 0.0)
        self.assertAlmostEqual(sprt.llr(n, mean, var, 0, 10), -0.583929, places=5)

    def test_a_run_of_won_pairs_gains_log_s1_over_s0_each(self):
        # log(0.5143872 / 0.5) = 0.0283675: 103 pairs stay below 2.9444, 104 pass it.
        _, high = sprt.sprt_bounds(0.05, 0.05)
        for pairs, above in ((103, False), (104, True)):
            n, mean, var = sprt.pentanomial([0, 0, 0, 0, pairs])
            ratio = sprt.llr(n, mean, var, 0, 10)
            self.assertAlmostEqual(ratio, pairs * 0.0283675, places=3)
            self.assertEqual(ratio >= high, above)
        # and a run of lost pairs falls towards H0 at log((1 - s1) / (1 - s0)) a pair.
        n, mean, var = sprt.pentanomial([10, 0, 0, 0, 0])
        self.assertAlmostEqual(sprt.llr(n, mean, var, 0, 10), 10 * math.log((1 - S1_10) / 0.5), places=4)

    def test_normal_approximation_against_the_densities(self):
        # The closed form must equal the log ratio of the two normal densities
        # of the mean, written out here from the density itself.
        def log_density(x, centre, variance):
            return -0.5 * math.log(2 * math.pi * variance) - (x - centre) ** 2 / (2 * variance)

        for counts in ([3, 7, 20, 9, 1], [0, 2, 5, 11, 6], [8, 4, 3, 1, 0], [1, 1, 1, 1, 1]):
            for elo0, elo1 in ((0, 10), (-3, 2), (5, 30)):
                n, mean, var = sprt.pentanomial(counts)
                expected = (log_density(mean, sprt.expected_score(elo1), var / n)
                            - log_density(mean, sprt.expected_score(elo0), var / n))
                self.assertAlmostEqual(sprt.llr(n, mean, var, elo0, elo1), expected, places=9)

    def test_sign_and_symmetry(self):
        # A symmetric pair of hypotheses and mirrored results give opposite ratios.
        for w, l, d in ((40, 25, 35), (12, 30, 8), (50, 50, 0)):
            a = sprt.llr(*sprt.trinomial(w, l, d), -5, 5)
            b = sprt.llr(*sprt.trinomial(l, w, d), -5, 5)
            self.assertAlmostEqual(a, -b, places=9)
        # An even score leans to H0 = 0 against H1 = 10; a strong one to H1.
        self.assertLess(sprt.llr(*sprt.trinomial(50, 50, 0), 0, 10), 0)
        self.assertGreater(sprt.llr(*sprt.trinomial(60, 40, 0), 0, 10), 0)
        # More wins, all else equal, never lowers the ratio.
        ratios = [sprt.llr(*sprt.trinomial(w, 40, 20), 0, 10) for w in range(30, 80, 5)]
        self.assertEqual(ratios, sorted(ratios))
        # No games, no evidence.
        self.assertEqual(sprt.llr(*sprt.pentanomial([0] * 5), 0, 10), 0.0)

    def test_elo_interval(self):
        # At 50% the interval is symmetric about 0 and shrinks as 1 / sqrt(n).
        elo, low, high = sprt.elo_interval(*sprt.trinomial(30, 30, 40))
        self.assertAlmostEqual(elo, 0.0, places=9)
        self.assertAlmostEqual(low, -high, places=9)
        self.assertGreater(high, 0)
        _, low4, high4 = sprt.elo_interval(*sprt.trinomial(120, 120, 160))
        self.assertAlmostEqual(sprt.expected_score(high4) - 0.5, (sprt.expected_score(high) - 0.5) / 2, places=9)
        # 75 wins, 25 losses: score 0.75 +- 1.96 sqrt(0.1875 / 100) = [0.66513, 0.83487],
        # that is [119.2, 281.5] around 190.8 Elo.
        elo, low, high = sprt.elo_interval(*sprt.trinomial(75, 25, 0))
        self.assertAlmostEqual(elo, 190.85, places=1)
        self.assertAlmostEqual(low, 119.2, places=1)
        self.assertAlmostEqual(high, 281.5, places=1)


# ---------------------------------------------------------------------------
# Openings, colours, rules


class Pairing(unittest.TestCase):
    def test_every_opening_under_every_rule_before_repeating(self):
        openings = [[(7, 7), (7, 8), (8, k)] for k in range(5)]
        rules = [0, 1, 2]
        seen = [(tuple(o), r) for o, r in (sprt.pair_plan(i, openings, rules) for i in range(15))]
        self.assertEqual(len(set(seen)), 15)
        for i in range(15):
            self.assertEqual(sprt.pair_plan(i + 15, openings, rules), sprt.pair_plan(i, openings, rules))
        # Consecutive pairs share the opening while the rule turns.
        self.assertEqual([r for _, r in (sprt.pair_plan(i, openings, rules) for i in range(4))], [0, 1, 2, 0])
        self.assertIs(sprt.pair_plan(2, openings, rules)[0], openings[0])
        self.assertIs(sprt.pair_plan(3, openings, rules)[0], openings[1])

    def test_each_pair_gives_each_engine_black_once(self):
        self.assertEqual([sprt.candidate_is_black(slot) for slot in (0, 1)], [True, False])
        # Black wins both games of a pair: one win and one loss for the candidate.
        first = sprt.candidate_points(BLACK, BLACK)
        second = sprt.candidate_points(BLACK, WHITE)
        self.assertEqual((first, second), (1.0, 0.0))
        self.assertEqual(sprt.pair_index(first, second), 2)
        self.assertEqual(sprt.candidate_points(None, WHITE), 0.5)
        self.assertEqual([sprt.pair_index(*p) for p in ((0, 0), (0, 0.5), (0.5, 0.5), (1, 0.5), (1, 1))],
                         [0, 1, 2, 3, 4])

    def test_tally_of_pairs(self):
        def game(rule, slot, winner, outcome="five"):
            black, white = ("candidate", "base") if sprt.candidate_is_black(slot) else ("base", "candidate")
            record = sprt.GameRecord(0, slot, rule, 15, 15, [], black, white)
            record.outcome, record.winner = outcome, winner
            return record

        tally = sprt.Tally([0, 2])
        tally.add_pair(game(0, 0, BLACK), game(0, 1, BLACK))               # 1 + 0
        tally.add_pair(game(2, 0, WHITE, "foul"), game(2, 1, None, "draw"))  # 0 + 1/2
        tally.add_pair(game(2, 0, BLACK), game(2, 1, BLACK, "crash"))      # candidate crashed as White: 1 + 0
        tally.add_pair(game(0, 0, BLACK), game(0, 1, WHITE, "time"))       # base lost on time as Black: 1 + 1
        self.assertEqual(tally.wld, [4, 3, 1])
        self.assertEqual(tally.by_rule, {0: [3, 1, 0], 2: [1, 2, 1]})
        self.assertEqual(tally.pairs, [0, 1, 2, 0, 1])
        self.assertEqual(tally.colour_wins, {BLACK: 5, WHITE: 2})
        self.assertEqual(tally.faults, {"candidate": {"crash": 1}, "base": {"time": 1}})
        self.assertEqual(tally.games(), 8)

    def test_board_block_marks_own_stones(self):
        moves = [(7, 7), (7, 8), (8, 8)]
        self.assertEqual(sprt.board_block(moves, WHITE), ["7,7,2", "7,8,1", "8,8,2"])
        self.assertEqual(sprt.board_block(moves, BLACK), ["7,7,1", "7,8,2", "8,8,1"])


class Openings(unittest.TestCase):
    def test_the_kept_file_is_what_the_generator_writes(self):
        kept = sprt.load_openings(sprt.DEFAULT_OPENINGS, 15, 15)
        self.assertEqual(kept, make_openings.make_openings(2024, 15))
        self.assertEqual(len(kept), 75)

    def test_the_offset_book_is_the_same_openings_about_the_centre(self):
        # The file the README's rapfi gauntlet gives c-gomoku-cli: every line
        # an opening (no comments), the stones as offsets from (7, 7).
        with open(os.path.join(os.path.dirname(sprt.DEFAULT_OPENINGS), "openings15-offsets.txt")) as f:
            lines = f.read().splitlines()
        kept = sprt.load_openings(sprt.DEFAULT_OPENINGS, 15, 15)
        self.assertEqual(len(lines), len(kept))
        for line, stones in zip(lines, kept):
            numbers = [int(n) for n in line.replace(",", " ").split()]
            self.assertEqual([(numbers[i] + 7, numbers[i + 1] + 7) for i in range(0, len(numbers), 2)], list(stones))

    def test_shapes_are_distinct_and_near_the_centre(self):
        kept = sprt.load_openings(sprt.DEFAULT_OPENINGS, 15, 15)
        shapes = set()
        for (bx, by), (wx, wy), (cx, cy) in kept:
            self.assertLessEqual(max(abs(bx - 7), abs(by - 7)), 1)
            for x, y in ((wx, wy), (cx, cy)):
                self.assertLessEqual(max(abs(x - bx), abs(y - by)), 2)
            shapes.add(make_openings.canonical((wx - bx, wy - by), (cx - bx, cy - by)))
        self.assertEqual(len(shapes), len(kept))

    def test_recentred_on_other_boards_and_checked(self):
        on15 = sprt.load_openings(sprt.DEFAULT_OPENINGS, 15, 15)
        on20 = sprt.load_openings(sprt.DEFAULT_OPENINGS, 20, 20)
        self.assertEqual(on20[0], [(x + 3, y + 3) for x, y in on15[0]])
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "bad.txt")
            for text in ("7,7 7,8 7,7\n", "7,7 7,8 15,3\n", "# only a comment\n"):
                with open(path, "w") as bad:
                    bad.write(text)
                with self.assertRaises(ValueError):
                    sprt.load_openings(path, 15, 15)


# ---------------------------------------------------------------------------
# Whole games against stand-in brains

# A brain that plays scripted cells, then down its column, then the first
# empty cell; options make it misbehave on purpose at its k-th reply (counted
# over the life of the process).
FAKE_BRAIN = textwrap.dedent('''
    import sys, time
    opts = dict(a.split("=", 1) for a in sys.argv[1:])
    script = [tuple(int(v) for v in c.split(",")) for c in opts.get("script", "").split(";") if c]
    column = int(opts.get("column", 0))
    sleep_s = int(opts.get("sleep", 0)) / 1000.0
    at = {k: int(opts.get(k, 0)) for k in ("crash", "hang", "error", "illegal")}
    size, board, replies = 15, set(), 0

    def choose():
        for cell in script + [(column, y) for y in range(size)]:
            if cell not in board:
                return cell
        return next((x, y) for x in range(size) for y in range(size) if (x, y) not in board)

    def reply():
        global replies
        replies += 1
        if replies == at["crash"]:
            sys.exit(3)
        if replies == at["hang"]:
            time.sleep(600)
        time.sleep(sleep_s)
        if replies == at["error"]:
            print("ERROR I am confused", flush=True)
            return
        cell = sorted(board)[0] if replies == at["illegal"] else choose()
        board.add(cell)
        print("MESSAGE thinking", flush=True)
        print("%d,%d" % cell, flush=True)

    lines = iter(sys.stdin)
    for line in lines:
        command = line.strip().upper()
        if command.startswith(("START", "RESTART", "RECTSTART")):
            board.clear()
            print("OK", flush=True)
        elif command.startswith("TURN"):
            board.add(tuple(int(v) for v in command.split()[1].split(",")))
            reply()
        elif command == "BEGIN":
            reply()
        elif command == "BOARD":
            for row in lines:
                if row.strip().upper() == "DONE":
                    break
                x, y, _ = row.strip().split(",")
                board.add((int(x), int(y)))
            reply()
        elif command == "END":
            break
''')

OPENING = [(7, 7), (7, 8), (8, 7)]


class Games(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.brain = os.path.join(cls.folder.name, "fake_brain.py")
        with open(cls.brain, "w") as out:
            out.write(FAKE_BRAIN)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def setUp(self):
        self.players = []

    def tearDown(self):
        for player in self.players:
            player.close()

    def player(self, name, *options):
        player = sprt.Player(name, [sys.executable, self.brain] + list(options))
        self.players.append(player)
        return player

    @staticmethod
    def limits(turn_ms=1000, match_ms=None, inc_ms=0, tolerance_ms=200, forfeit=True, nodes=None, threads=None):
        return sprt.Limits(turn_ms, match_ms, inc_ms, nodes, threads, tolerance_ms, forfeit)

    def test_column_race_white_moves_first_and_wins(self):
        # After the opening White is to move; both fill their own column, so
        # White completes five on its fifth stone, the game's twelfth.
        black, white = self.player("candidate", "column=0"), self.player("base", "column=14")
        for rule in (FREESTYLE, STANDARD, RENJU):
            record = sprt.play_game(black, white, rule, 15, 15, OPENING, self.limits())
            self.assertEqual((record.outcome, record.winner), ("five", WHITE))
            self.assertEqual(record.moves, OPENING + [(14, 0), (0, 0), (14, 1), (0, 1), (14, 2), (0, 2),
                                                      (14, 3), (0, 3), (14, 4)])
            self.assertEqual(record.times["base"].replies, 5)
            self.assertEqual(record.times["candidate"].replies, 4)
        # White received the opening as a BOARD block with its own marks,
        # Black its first position the same way, then single TURNs; every
        # game began with the settings and RESTART after the first START.
        sent = [line[2:] for line in white.engine.transcript if line.startswith("> ")]
        self.assertEqual(sent[:8], ["INFO timeout_turn 1000", "INFO timeout_match %d" % sprt.NO_LIMIT_MS,
                                    "INFO time_left %d" % sprt.NO_LIMIT_MS, "INFO rule 4", "RESTART",
                                    "BOARD", "7,7,2", "7,8,1"])
        sent = [line[2:] for line in black.engine.transcript if line.startswith("> ")]
        self.assertEqual(sent[5:12], ["BOARD", "7,7,1", "7,8,2", "8,7,1", "14,0,2", "DONE", "TURN 14,1"])

    def test_renju_overline_is_a_foul_and_a_win_only_in_free_style(self):
        # Black fills 0,0 0,1 0,2 0,4 0,5 and then 0,3: six in a row.
        # White's stones, two apart, make no five.
        black_script = "script=0,0;0,1;0,2;0,4;0,5;0,3"
        white_script = "script=" + ";".join("14,%d" % y for y in range(0, 15, 2))
        black, white = self.player("candidate", black_script), self.player("base", white_script)
        record = sprt.play_game(black, white, RENJU, 15, 15, OPENING, self.limits())
        self.assertEqual((record.outcome, record.winner, record.detail, len(record.moves)), ("foul", WHITE, "0,3", 15))
        record = sprt.play_game(black, white, FREESTYLE, 15, 15, OPENING, self.limits())
        self.assertEqual((record.outcome, record.winner, len(record.moves)), ("five", BLACK, 15))
        # Standard: six is no five, the game goes on to the cap.
        record = sprt.play_game(black, white, STANDARD, 15, 15, OPENING, self.limits(), move_cap=20)
        self.assertEqual((record.outcome, record.winner, len(record.moves)), ("cap", None, 20))

    def test_faults_lose_for_the_side_that_made_them(self):
        cases = [("crash=2", "crash"), ("error=1", "protocol"), ("illegal=3", "illegal")]
        for option, outcome in cases:
            good = self.player("candidate", "column=0")
            bad = self.player("base", "column=14", option)
            record = sprt.play_game(good, bad, FREESTYLE, 15, 15, OPENING, self.limits())
            self.assertEqual((record.outcome, record.winner), (outcome, BLACK), option)
            self.assertEqual(record.fault_side(), "base")
            if outcome in ("crash", "protocol"):
                # An engine no longer trusted is replaced at the next game.
                self.assertIsNone(bad.engine)
            record = sprt.play_game(good, bad, FREESTYLE, 15, 15, OPENING, self.limits())
            self.assertIsNotNone(record.winner)

    def test_a_hang_is_cut_short(self):
        saved = sprt.HANG_GRACE_S
        sprt.HANG_GRACE_S = 0.3
        try:
            good, bad = self.player("candidate", "column=0"), self.player("base", "column=14", "hang=1")
            record = sprt.play_game(good, bad, STANDARD, 15, 15, OPENING, self.limits(turn_ms=100, tolerance_ms=50))
        finally:
            sprt.HANG_GRACE_S = saved
        self.assertEqual((record.outcome, record.winner), ("hang", BLACK))
        self.assertIsNone(bad.engine)

    def test_late_replies_forfeit_or_are_counted(self):
        # The slow side is White and answers in 300 ms under a 100 + 100 ms line.
        fast, slow = self.player("candidate", "column=0"), self.player("base", "column=14", "sleep=300")
        record = sprt.play_game(fast, slow, FREESTYLE, 15, 15, OPENING, self.limits(turn_ms=100, tolerance_ms=100))
        self.assertEqual((record.outcome, record.winner, len(record.moves)), ("time", BLACK, 3))
        self.assertEqual((record.times["base"].over, record.times["base"].late), (1, 1))
        record = sprt.play_game(fast, slow, FREESTYLE, 15, 15, OPENING,
                                self.limits(turn_ms=100, tolerance_ms=100, forfeit=False))
        self.assertEqual((record.outcome, record.winner), ("five", WHITE))
        self.assertEqual((record.times["base"].over, record.times["base"].late), (5, 5))
        self.assertEqual(record.times["candidate"].late, 0)
        # Over a 250 ms limit but inside its 200 ms tolerance: slow, not lost.
        record = sprt.play_game(fast, slow, FREESTYLE, 15, 15, OPENING, self.limits(turn_ms=250, tolerance_ms=200))
        self.assertEqual((record.outcome, record.winner), ("five", WHITE))
        self.assertEqual((record.times["base"].over, record.times["base"].late), (5, 0))

    def test_match_clock_runs_down_and_gains_the_increment(self):
        for inc_ms, falling in ((0, True), (500, False)):
            black = self.player("candidate", "column=0", "sleep=40")
            white = self.player("base", "column=14", "sleep=40")
            limits = self.limits(turn_ms=None, match_ms=3000, inc_ms=inc_ms)
            record = sprt.play_game(black, white, FREESTYLE, 15, 15, OPENING, limits)
            self.assertEqual(record.outcome, "five")
            sent = [line[2:] for line in white.engine.transcript if line.startswith("> ")]
            self.assertIn("INFO timeout_match 3000", sent)
            self.assertIn("INFO timeout_turn 3000", sent)
            left = [int(line.split()[2]) for line in sent if line.startswith("INFO time_left")]
            # The game's settings, then one before each of White's five moves.
            self.assertEqual(left[:2], [3000, 3000])
            self.assertEqual(len(left), 6)
            steps = [b - a for a, b in zip(left[1:], left[2:])]
            if falling:
                self.assertTrue(all(-1000 < step <= -40 for step in steps), steps)
            else:
                self.assertTrue(all(0 < step <= 460 for step in steps), steps)

    def test_settings_for_nodes_and_threads(self):
        lines = sprt.Limits(None, None, 0, 5000, 2, 100, True).info_lines(STANDARD)
        self.assertEqual(lines, ["INFO timeout_turn %d" % sprt.NODES_TURN_MS,
                                 "INFO timeout_match %d" % sprt.NO_LIMIT_MS, "INFO time_left %d" % sprt.NO_LIMIT_MS,
                                 "INFO rule 1", "INFO thread_num 2", "INFO max_node 5000"])
        limits = sprt.Limits(50, None, 0, 5000, None, 100, True)
        self.assertIn("INFO timeout_turn 50", limits.info_lines(FREESTYLE))
        self.assertEqual(limits.move_limit_ms(None), 50)
        self.assertEqual(sprt.Limits(200, 5000, 0, None, None, 100, True).move_limit_ms(150), 150)
        # Threads for the candidate alone: the base keeps the common count.
        uneven = sprt.Limits(200, None, 0, None, 1, 100, True, candidate_threads=2)
        self.assertIn("INFO thread_num 2", uneven.info_lines(RENJU, "candidate"))
        self.assertIn("INFO thread_num 1", uneven.info_lines(RENJU, "base"))
        self.assertNotIn("INFO thread_num 2", uneven.info_lines(RENJU, "base"))
        option = sprt.Limits(200, None, 0, None, None, 100, True, candidate_info=["threat_search 1"])
        self.assertEqual(option.info_lines(RENJU, "candidate")[-1], "INFO threat_search 1")
        self.assertNotIn("INFO threat_search 1", option.info_lines(RENJU, "base"))
        both = sprt.Limits(200, None, 0, None, None, 100, True, candidate_info=["threat_search 3"],
                           base_info=["threat_search 0"])
        self.assertEqual(both.info_lines(RENJU, "candidate")[-1], "INFO threat_search 3")
        self.assertEqual(both.info_lines(RENJU, "base")[-1], "INFO threat_search 0")
        self.assertNotIn("INFO threat_search 0", both.info_lines(RENJU, "candidate"))

    def test_whole_run_against_a_crashing_base(self):
        # Every game the base crashes on its second reply: four wins out of
        # four, no ratio decision yet (two won pairs gain only 0.057), and a
        # log of four counted games. --first-pair 1 starts one pair into the
        # plan: pairs 2 and 3, Renju first, the second opening for the third.
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "games.txt")
            args = sprt.parse_args(["%s %s column=0" % (sys.executable, self.brain),
                                    "%s %s column=14 crash=2" % (sys.executable, self.brain),
                                    "--games", "4", "--rules", "0,2", "--turn-ms", "500", "--log", log,
                                    "--first-pair", "1"])
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                code = sprt.run(args)
            text = out.getvalue()
            with open(log) as games:
                logged = games.read()
        self.assertEqual(code, 0)
        self.assertIn("W-L-D 4-0-0 (candidate's view)  score 100.0%", text)
        self.assertIn("pairs by candidate's score 0-0.5-1-1.5-2: 0-0-0-0-2", text)
        self.assertIn("LLR +0.057", text)
        self.assertIn("verdict: inconclusive", text)
        self.assertIn("rule 0 freestyle W-L-D 2-0-0", text)
        self.assertIn("rule 2 renju     W-L-D 2-0-0", text)
        self.assertIn("games lost by fault: crash 4", text)
        self.assertEqual(logged.count('[Counted "yes"]'), 4)
        self.assertEqual(logged.count('[Rule "renju"]'), 2)
        self.assertEqual([logged.count('[Pair "%d"]' % pair) for pair in (1, 2, 3)], [0, 2, 2])
        third = logged.split('[Pair "3"]')[1]
        self.assertIn('[Rule "freestyle"]', third.split("[Game")[0])

    def test_an_engine_that_cannot_start_is_refused_before_any_game(self):
        with tempfile.TemporaryDirectory() as folder:
            missing = os.path.join(folder, "no-such-engine")
            for candidate, base in ((missing, sys.executable), (sys.executable, missing), ("", sys.executable)):
                err = io.StringIO()
                with contextlib.redirect_stderr(err), self.assertRaises(SystemExit) as stop:
                    sprt.parse_args([candidate, base, "--games", "2"])
                self.assertEqual(stop.exception.code, 2)
                self.assertIn("is not a program that can be run", err.getvalue())

    def test_the_test_stops_at_the_first_crossing(self):
        # Against elo1 = 400 (s1 = 0.9091) a won pair gains log(0.9091 / 0.5) = 0.598, so the
        # fifth pair crosses 2.944; with elo0 = -400 a lost pair loses as much the other way.
        # Two games at a time: a game still running at the stop is not counted.
        good = "%s %s column=0" % (sys.executable, self.brain)
        bad = "%s %s column=14 crash=2" % (sys.executable, self.brain)
        for candidate, base, elo0, elo1, verdict, score in (
                (good, bad, "0", "400", "H1 accepted", "W-L-D 10-0-0"),
                (bad, good, "-400", "0", "H0 accepted", "W-L-D 0-10-0")):
            args = sprt.parse_args([candidate, base, "--games", "40", "--turn-ms", "500", "--concurrency", "2",
                                    "--elo0", elo0, "--elo1", elo1])
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                sprt.run(args)
            text = out.getvalue()
            self.assertIn("games 10 (5 pairs)  %s" % score, text)
            self.assertIn("verdict: %s" % verdict, text)
            self.assertIn("LLR %+.3f" % (2.989 if elo0 == "0" else -2.989), text)


if __name__ == "__main__":
    unittest.main(verbosity=2)
