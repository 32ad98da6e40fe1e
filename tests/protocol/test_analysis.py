"""The analysis commands of graphical boards, driven through the real engine
binary: show_detail by value (the REALTIME lines, the detail block), YXNBEST,
YXBLOCK / YXBLOCKUNDO / YXBLOCKRESET, YXHASHCLEAR, SWAP2BOARD, YXBALANCEONE
and YXBALANCETWO.

    python3 tests/protocol/test_analysis.py /path/to/ruvan [unittest options]

Every line a think writes is read here and held to its exact form; the
detail block is parsed back and compared with the analysis line of the same
iteration, and the moves and lines are checked against the position.
"""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_protocol as tp  # noqa: E402
from engine_session import ANALYSIS_RE, EngineSession  # noqa: E402
from test_protocol import (  # noqa: E402
    ABOUT_LINE,
    FREESTYLE,
    MOVE_RE,
    NEW_GAME,
    RULE_LINE,
    SPEED_RE,
    Position,
    ProtocolCase,
)

REALTIME_RE = re.compile(r"MESSAGE REALTIME (POS|DONE|BEST|LOST) (\d+),(\d+)\Z")
LINE_RE = re.compile(r"MESSAGE \((\d+)\) ([+-]M\d+|-?\d+) \| (\d+)-(\d+) \| (\d+,\d+(?: \d+,\d+)*)\Z")
PAIRS_RE = re.compile(r"(\d+),(\d+)(?: (\d+),(\d+))?(?: (\d+),(\d+))?\Z")
# The detail block: its keys in this order, each with the form of its value.
DETAIL_KEYS = [
    ("PV", r"\d+"), ("NUMPV", r"\d+"), ("DEPTH", r"\d+"), ("SELDEPTH", r"\d+"), ("NODES", r"\d+"),
    ("TOTALNODES", r"\d+"), ("TOTALTIME", r"\d+"), ("SPEED", r"\d+"), ("EVAL", r"[+-]M\d+|-?\d+"),
    ("WINRATE", r"[01]\.\d{4}"), ("BESTLINE", r"\d+,\d+(?: \d+,\d+)*"),
]
DETAIL_END = "INFO PV DONE"

# A middle game on 15 x 15 from an engine game, Black to move: an open
# fight that no quick sequence decides.
MIDDLE = [(8, 7, 1), (6, 7, 2), (9, 5, 1), (7, 8, 2), (8, 6, 1), (6, 8, 2), (10, 4, 1), (11, 3, 2), (8, 8, 1),
          (8, 5, 2), (7, 6, 1), (9, 6, 2), (5, 6, 1), (5, 7, 2)]
# White (the opponent of the engine, which is Black here) has two open
# threes: every defence of one loses to the other.
TWO_THREES = [(0, 0, 1), (7, 6, 2), (0, 14, 1), (7, 7, 2), (14, 0, 1), (7, 8, 2), (14, 14, 1), (4, 10, 2),
              (2, 2, 1), (5, 10, 2), (12, 12, 1), (6, 10, 2)]


def cells(text):
    return [tuple(map(int, c.split(","))) for c in text.split()]


class Think:
    """What one think wrote, sorted by kind, in order."""

    def __init__(self):
        self.analysis, self.realtime, self.blocks, self.lines, self.order = [], [], [], [], []
        self.answer = None


class AnalysisCase(ProtocolCase):
    def session(self):
        e = EngineSession(tp.BINARY, keep_analysis=True)
        self.addCleanup(e.close)
        return e

    def send_board(self, e, position, stones, command="BOARD"):
        for x, y, _ in stones:
            position.play(x, y)
        e.send(command, *["%d,%d,%d" % s for s in stones], "DONE")

    def read_detail_block(self, e, first):
        """Reads one detail block whose first line is `first`; returns its
        values by key. Every key must come in its place and form."""
        block = {}
        line = first
        for key, form in DETAIL_KEYS:
            m = re.match(r"INFO %s (%s)\Z" % (key, form), line or "")
            self.assertTrue(m, "expected INFO %s, got %r" % (key, line))
            block[key] = m.group(1)
            line = e.read_line()
        self.assertEqual(line, DETAIL_END)
        return block

    def read_think(self, e, rule_line=None, answer=MOVE_RE, speed=True):
        """Reads a think up to its answer line (which must match `answer`)."""
        t = Think()
        line = e.read_line()
        if rule_line is not None:
            self.assertEqual(line, RULE_LINE[rule_line])
            line = e.read_line()
        while True:
            self.assertIsNotNone(line, "the engine ended its output in a think")
            if ANALYSIS_RE.match(line):
                t.analysis.append(ANALYSIS_RE.match(line))
                t.order.append("analysis")
            elif REALTIME_RE.match(line):
                t.realtime.append(REALTIME_RE.match(line).groups())
                t.order.append("realtime")
            elif line.startswith("INFO "):
                t.blocks.append(self.read_detail_block(e, line))
                t.order.append("block")
            elif LINE_RE.match(line):
                t.lines.append(LINE_RE.match(line))
                t.order.append("line")
            else:
                break
            line = e.read_line()
        if speed:
            self.assertRegex(line, SPEED_RE)
            line = e.read_line()
        m = answer.match(line or "")
        self.assertTrue(m, "unexpected answer %r" % line)
        t.answer = m
        return t

    def check_realtime(self, t, position):
        """POS and DONE come in pairs around one root move at a time; every
        cell is empty."""
        open_move = None
        for kind, x, y in t.realtime:
            cell = (int(x), int(y))
            self.assertTrue(position.empty(*cell), "%s %s" % (kind, cell))
            if kind == "POS":
                self.assertIsNone(open_move, "POS %s before DONE %s" % (cell, open_move))
                open_move = cell
            elif kind == "DONE":
                self.assertEqual(open_move, cell)
                open_move = None
        self.assertIsNone(open_move, "a root move never left")

    def check_blocks_against_analysis(self, t, line_number=1, line_count=1):
        """One block right after each analysis line, saying the same."""
        self.assertEqual(len(t.blocks), len(t.analysis))
        total_time = 0
        for block, analysis in zip(t.blocks, t.analysis):
            self.assertEqual(int(block["PV"]), line_number)
            self.assertEqual(int(block["NUMPV"]), line_count)
            self.assertEqual(block["DEPTH"], analysis.group(1))
            self.assertGreaterEqual(int(block["SELDEPTH"]), int(block["DEPTH"]))
            self.assertEqual(block["EVAL"], analysis.group(2))
            self.assertEqual(block["NODES"], analysis.group(3))
            self.assertGreaterEqual(int(block["TOTALNODES"]), int(block["NODES"]))
            self.assertGreaterEqual(int(block["TOTALTIME"]), total_time)
            total_time = int(block["TOTALTIME"])
            self.assertEqual(int(block["SPEED"]), int(block["TOTALNODES"]) * 1000 // max(1, total_time))
            self.assertEqual(block["BESTLINE"], analysis.group(0).split(" pv ")[1])
            rate, value = float(block["WINRATE"]), block["EVAL"]
            self.assertTrue(0 <= rate <= 1)
            if value.startswith("+M"):
                self.assertEqual(rate, 1)
            elif value.startswith("-M"):
                self.assertEqual(rate, 0)
            else:
                # Above one half exactly for a positive value.
                self.assertEqual(rate > 0.5, int(value) > 0 and rate != 0.5, (value, rate))
        # Each block follows its analysis line.
        for i, kind in enumerate(t.order):
            if kind == "block":
                self.assertIn("analysis", t.order[:i])
                previous = [k for k in t.order[:i] if k in ("analysis", "block")]
                self.assertEqual(previous[-1], "analysis")


class ShowDetailTest(AnalysisCase):
    def think_with_detail(self, value, stones=MIDDLE, turn=500):
        e = self.session()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn %d" % turn, "INFO show_detail %s" % value)
        self.expect(e, NEW_GAME)
        self.send_board(e, p, stones)
        t = self.read_think(e, rule_line=FREESTYLE)
        self.assertTrue(p.empty(int(t.answer.group(1)), int(t.answer.group(2))))
        self.assertTrue(t.analysis, "no analysis line")
        return e, p, t

    def test_zero_shows_only_the_analysis_lines(self):
        e, p, t = self.think_with_detail(0)
        self.assertEqual((t.realtime, t.blocks), ([], []))
        self.finish(e)

    def test_one_shows_the_realtime_lines_alone(self):
        # Long enough for the depths whose root moves are announced.
        e, p, t = self.think_with_detail(1, turn=2000)
        self.assertEqual(t.blocks, [])
        kinds = [k for k, _, _ in t.realtime]
        for kind in ("POS", "DONE", "BEST"):
            self.assertIn(kind, kinds)
        self.check_realtime(t, p)
        # After every iteration the best move is repeated, as the move that
        # iteration found.
        for i, kind in enumerate(t.order):
            if kind == "analysis" and i + 1 < len(t.order):
                best = t.realtime[t.order[:i + 1].count("realtime")]
                self.assertEqual(best[0], "BEST")
        self.finish(e)

    def test_one_names_the_root_moves_proven_lost(self):
        e, p, t = self.think_with_detail(1, stones=TWO_THREES)
        self.assertIn("LOST", [k for k, _, _ in t.realtime])
        self.check_realtime(t, p)
        self.finish(e)

    def test_two_shows_the_detail_block_after_each_iteration(self):
        e, p, t = self.think_with_detail(2)
        self.assertEqual(t.realtime, [])
        self.check_blocks_against_analysis(t)
        self.finish(e)

    def test_three_shows_both(self):
        e, p, t = self.think_with_detail(3, turn=2000)
        self.assertIn("POS", [k for k, _, _ in t.realtime])
        self.check_realtime(t, p)
        self.check_blocks_against_analysis(t)
        self.finish(e)

    def test_other_values_act_as_zero(self):
        for value in ("4", "-1", "7", "x"):
            e, p, t = self.think_with_detail(value, turn=200)
            self.assertEqual((t.realtime, t.blocks), ([], []), value)
            self.finish(e)


class BestLinesTest(AnalysisCase):
    def test_three_best_lines_distinct_and_the_first_answered_unplayed(self):
        e = self.session()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 900", "INFO show_detail 2")
        self.expect(e, NEW_GAME)
        self.send_board(e, p, MIDDLE, command="YXBOARD")
        e.send("YXNBEST 3")
        t = self.read_think(e, rule_line=FREESTYLE)
        self.assertEqual([int(m.group(1)) for m in t.lines], [1, 2, 3])
        firsts = []
        for m in t.lines:
            line = cells(m.group(5))
            self.assertLessEqual(int(m.group(3)), int(m.group(4)))
            trial = Position(15)
            trial.record = list(p.record)
            for cell in line:
                self.assertTrue(trial.empty(*cell), m.group(0))
                trial.play(*cell)
            firsts.append(line[0])
        self.assertEqual(len(set(firsts)), 3, firsts)
        self.assertEqual((int(t.answer.group(1)), int(t.answer.group(2))), firsts[0])
        # The blocks carry their line's number, of three.
        numbers = [int(b["PV"]) for b in t.blocks]
        self.assertEqual(sorted(set(numbers)), [1, 2, 3])
        self.assertEqual(numbers, sorted(numbers))
        self.assertTrue(all(b["NUMPV"] == "3" for b in t.blocks))
        # Not played: the cell is still free for our own move.
        e.send("PLAY %d,%d" % firsts[0])
        self.expect(e, ["%d,%d" % firsts[0]])
        self.finish(e)

    def test_a_bad_count_is_refused_and_nothing_thinks(self):
        e = self.session()
        e.send("START 15")
        self.expect(e, NEW_GAME)
        for line in ("YXNBEST", "YXNBEST 0", "YXNBEST -2", "YXNBEST x"):
            e.send(line, "ABOUT")
            self.expect(e, ["ERROR bad YXNBEST parameters", ABOUT_LINE])
        self.finish(e)


class RootBlockTest(AnalysisCase):
    def test_blocked_cells_are_not_played_on_an_empty_board(self):
        e = self.engine()
        e.send("START 15", "YXBLOCK", "7,7", "6,7", "DONE", "BEGIN")
        self.expect(e, NEW_GAME + ["MESSAGE Speed=0", "7,6"])
        # Undo frees one again; RESTART and START clear the list.
        e.send("RESTART")
        self.expect(e, NEW_GAME)
        e.send("YXBLOCK", "7,7", "6,7", "DONE", "YXBLOCKUNDO", "6,7", "DONE", "BEGIN")
        self.expect(e, ["MESSAGE Speed=0", "6,7"])
        e.send("RESTART", "BEGIN")
        self.expect(e, NEW_GAME + ["MESSAGE Speed=0", "7,7"])
        e.send("START 15", "YXBLOCK", "7,7", "DONE", "YXBLOCKRESET", "BEGIN")
        self.expect(e, NEW_GAME + ["MESSAGE Speed=0", "7,7"])
        e.send("START 15", "YXBLOCK", "7,7", "DONE", "START 15", "BEGIN")
        self.expect(e, NEW_GAME + NEW_GAME + ["MESSAGE Speed=0", "7,7"])
        self.finish(e)

    def test_a_blocked_winning_cell_is_not_played(self):
        # Black (the engine) has four in a row with one end open: 3,7 wins.
        stones = [(4, 7, 1), (0, 0, 2), (5, 7, 1), (0, 2, 2), (6, 7, 1), (0, 4, 2), (7, 7, 1), (8, 7, 2)]
        for blocked in (False, True):
            e = self.engine()
            p = Position(15)
            e.send("START 15", "INFO timeout_turn 300")
            self.expect(e, NEW_GAME)
            if blocked:
                e.send("YXBLOCK", "3,7", "DONE")
            for x, y, _ in stones:
                p.play(x, y)
            e.send("BOARD", *["%d,%d,%d" % s for s in stones], "DONE")
            move = self.expect_think(e, p, rule_line=FREESTYLE)
            if blocked:
                self.assertNotEqual(move, (3, 7))
            else:
                self.assertEqual(move, (3, 7))
            self.finish(e)

    def test_a_bad_line_ends_the_block_with_its_error(self):
        e = self.engine()
        e.send("START 15", "YXBLOCK", "7,7", "15,3", "BEGIN")
        self.expect(e, NEW_GAME + ["ERROR x,y or DONE expected after YXBLOCK", "MESSAGE Speed=0", "6,7"])
        e.send("YXBLOCKUNDO", "nonsense", "ABOUT")
        self.expect(e, ["ERROR x,y or DONE expected after YXBLOCKUNDO", ABOUT_LINE])
        self.finish(e)


class HashClearTest(AnalysisCase):
    def nodes_of_search(self, e):
        e.send("YXNBEST 1")
        t = self.read_think(e, rule_line=None)
        return [m.group(0).split(" time ")[0] for m in t.analysis]

    def test_hash_clear_has_no_reply_and_a_search_starts_afresh(self):
        e = self.session()
        e.send("START 15", "INFO max_depth 5", "INFO timeout_turn 30000", "YXHASHCLEAR", "ABOUT")
        self.expect(e, NEW_GAME + [ABOUT_LINE])
        e.send("YXBOARD", *["%d,%d,%d" % s for s in MIDDLE], "DONE")
        e.send("YXNBEST 1")
        self.assertEqual(e.read_line(), RULE_LINE[FREESTYLE])
        first = [m.group(0).split(" time ")[0] for m in self.read_think(e).analysis]
        again = self.nodes_of_search(e)
        self.assertNotEqual(first, again, "the warm tables changed nothing: the test cannot tell")
        e.send("YXHASHCLEAR")
        cleared = self.nodes_of_search(e)
        self.assertEqual(first, cleared)
        self.finish(e)


class Swap2Test(AnalysisCase):
    def swap2(self, e, stones):
        e.send("SWAP2BOARD", *["%d,%d" % s for s in stones], "DONE")
        line = None
        while True:
            line = e.read_line()
            if not (line.startswith("MESSAGE") or line.startswith("INFO")):
                break
        return line

    def test_the_three_answers(self):
        e = self.session()
        e.send("START 15", "INFO timeout_turn 600")
        self.expect(e, NEW_GAME)
        # Empty: three stones, Black, White, Black.
        answer = self.swap2(e, [])
        m = PAIRS_RE.match(answer)
        self.assertTrue(m and m.group(5), answer)
        opening = [(int(m.group(i)), int(m.group(i + 1))) for i in (1, 3, 5)]
        self.assertEqual(len(set(opening)), 3)
        self.assertTrue(all(0 <= x < 15 and 0 <= y < 15 for x, y in opening))
        # The stones named are on the board: playing one is refused.
        e.send("PLAY %d,%d" % opening[0])
        self.expect(e, ["ERROR my move [%d,%d]" % opening[0], "%d,%d" % opening[0]])
        # Three stones: SWAP, one White move or two more stones.
        three = [(7, 7), (8, 8), (7, 9)]
        for stones in (three, three + [(9, 9), (6, 8)]):
            answer = self.swap2(e, stones)
            if answer == "SWAP":
                continue
            m = PAIRS_RE.match(answer)
            self.assertTrue(m, answer)
            self.assertIsNone(m.group(5), answer)
            placed = [(int(m.group(1)), int(m.group(2)))]
            if m.group(3):
                self.assertEqual(len(stones), 3, "two stones after five: %s" % answer)
                placed.append((int(m.group(3)), int(m.group(4))))
            for cell in placed:
                self.assertNotIn(cell, stones)
            self.assertEqual(len(set(placed)), len(placed))
        self.finish(e)

    def swap2_lines(self, e):
        # The lines of a Swap2 think after its rule notice, to its answer.
        lines = [e.read_line()]
        if lines[0] in RULE_LINE.values():
            lines = [e.read_line()]
        if lines[0] == "MESSAGE pass":
            lines.append(e.read_line())
        return lines

    def test_an_opening_fits_on_small_boards(self):
        # Black in the centre, White beside it on the board, a third stone
        # on a free cell; the right or lower side may be off the board.
        e = self.session()
        e.send("INFO timeout_turn 300")
        for start, width, height in (("START 2", 2, 2), ("RECTSTART 3,1", 3, 1), ("RECTSTART 1,3", 1, 3),
                                     ("RECTSTART 2,2", 2, 2), ("START 3", 3, 3)):
            e.send(start)
            self.expect(e, NEW_GAME)
            answer = self.swap2(e, [])
            m = PAIRS_RE.match(answer)
            self.assertTrue(m and m.group(5), "%s: %s" % (start, answer))
            opening = [(int(m.group(i)), int(m.group(i + 1))) for i in (1, 3, 5)]
            self.assertEqual(len(set(opening)), 3, answer)
            self.assertTrue(all(0 <= x < width and 0 <= y < height for x, y in opening), "%s: %s" % (start, answer))
            self.assertEqual(opening[0], (width // 2, height // 2))
            self.assertEqual(max(abs(opening[1][0] - width // 2), abs(opening[1][1] - height // 2)), 1, answer)
        # Under three cells there is no opening to give.
        e.send("RECTSTART 2,1")
        self.expect(e, NEW_GAME)
        e.send("SWAP2BOARD", "DONE")
        self.assertEqual(self.swap2_lines(e), ["MESSAGE pass", "-1,-1"])
        self.finish(e)

    def test_a_bad_block_changes_nothing(self):
        e = self.engine()
        e.send("START 15", "TURN 7,7")
        self.expect(e, NEW_GAME)
        self.assertEqual(e.read_line(), RULE_LINE[FREESTYLE])
        self.assertRegex(e.read_line(), SPEED_RE)
        move = e.read_line()
        for block, error in (
                (["7,7", "8,8", "DONE"], "ERROR SWAP2BOARD needs 0, 3 or 5 stones on distinct cells"),
                (["7,7", "7,7", "8,8", "DONE"], "ERROR SWAP2BOARD needs 0, 3 or 5 stones on distinct cells"),
                (["7,7", "x", "DONE"], "ERROR x,y or DONE expected after SWAP2BOARD")):
            e.send("SWAP2BOARD", *block, "ABOUT")
            expected = [error, ABOUT_LINE]
            if "x" in block:
                # The block ended at the bad line: its DONE is an unknown command.
                expected = [error, "UNKNOWN command", ABOUT_LINE]
            self.expect(e, expected)
        # The game is as it was: both stones are still there.
        e.send("TAKEBACK " + move, "TAKEBACK 7,7", "TAKEBACK 7,7")
        self.expect(e, ["OK", "OK", "ERROR bad coordinates"])
        self.finish(e)


class BalanceTest(AnalysisCase):
    def test_balance_one_and_two_name_free_cells_and_play_nothing(self):
        e = self.session()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 500")
        self.expect(e, NEW_GAME)
        self.send_board(e, p, MIDDLE[:4], command="YXBOARD")
        e.send("YXBALANCEONE 0")
        one = self.read_think(e, rule_line=FREESTYLE, answer=PAIRS_RE, speed=False).answer
        self.assertIsNone(one.group(3))
        cell = (int(one.group(1)), int(one.group(2)))
        self.assertTrue(p.empty(*cell))
        e.send("YXBALANCETWO 50")
        two = self.read_think(e, answer=PAIRS_RE, speed=False).answer
        self.assertTrue(two.group(3) and not two.group(5), two.group(0))
        pair = [(int(two.group(1)), int(two.group(2))), (int(two.group(3)), int(two.group(4)))]
        self.assertNotEqual(pair[0], pair[1])
        self.assertTrue(all(p.empty(*c) for c in pair))
        # Nothing was played.
        e.send("PLAY %d,%d" % cell)
        self.expect(e, ["%d,%d" % cell])
        # Biases at the ends of the 32-bit range (the distances to them once
        # overflowed): still free cells, nothing played.
        p.play(*cell)
        for line in ("YXBALANCEONE 2147483647", "YXBALANCEONE -2147483648", "YXBALANCETWO -2147483648"):
            e.send(line)
            m = self.read_think(e, answer=PAIRS_RE, speed=False).answer
            named = [(int(m.group(1)), int(m.group(2)))] + ([(int(m.group(3)), int(m.group(4)))] if m.group(3) else [])
            self.assertEqual(len(named), 2 if "TWO" in line else 1, m.group(0))
            self.assertTrue(all(p.empty(*c) for c in named), m.group(0))
        for line in ("YXBALANCEONE", "YXBALANCETWO x"):
            e.send(line)
            self.expect(e, ["ERROR bad %s parameters" % line.split()[0]])
        self.finish(e)


if __name__ == "__main__":
    tp.BINARY = None
    if len(sys.argv) < 2:
        sys.exit("usage: test_analysis.py /path/to/ruvan [unittest options]")
    tp.BINARY = os.path.abspath(sys.argv.pop(1))
    loader = unittest.TestLoader()
    loader.suiteClass = tp._ParallelSuite
    unittest.main(testLoader=loader, testRunner=tp._Runner)
