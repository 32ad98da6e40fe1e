"""The conventional extensions of match managers and graphical boards, driven
through the real engine binary: STOP and YXSTOP, YXBOARD, the keys
max_node, max_depth, thread_num and show_detail, the analysis line, and the
peak memory under max_memory.

    python3 tests/protocol/test_extensions.py /path/to/ruvan [unittest options]

The analysis lines are read here (keep_analysis), not set aside, and checked
against the position: every move of a principal variation must be legal in
turn, depths must rise one by one, node counts and times must not fall.
"""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_protocol as tp  # noqa: E402
from engine_session import ANALYSIS_RE, EngineSession  # noqa: E402
from test_protocol import (  # noqa: E402
    FREESTYLE,
    NEW_GAME,
    ABOUT_LINE,
    RENJU,
    RULE_LINE,
    SPEED_RE,
    MOVE_RE,
    Position,
    ProtocolCase,
)

REALTIME_RE = re.compile(r"MESSAGE REALTIME (POS|DONE|BEST|LOST) (\d+),(\d+)\Z")


class ExtensionCase(ProtocolCase):
    def send_board(self, engine, position, stones):
        """Sends (x, y, owner) stones as a BOARD block and plays them into the
        mirror position in the same order."""
        for x, y, _ in stones:
            position.play(x, y)
        engine.send("BOARD", *["%d,%d,%d" % s for s in stones], "DONE")

    def analysing_engine(self):
        session = EngineSession(tp.BINARY, keep_analysis=True)
        self.addCleanup(session.close)
        return session

    def read_think(self, engine, position, rule_line=False, timeout=None):
        """Reads a whole think's reply with its analysis and REALTIME lines.
        Returns (analysis matches, realtime matches, move). The analysis is
        checked against the position before the move is played into it."""
        analysis, realtime = [], []
        line = engine.read_line(timeout)
        if rule_line is not False:
            self.assertEqual(line, RULE_LINE[rule_line])
            line = engine.read_line(timeout)
        while True:
            self.assertIsNotNone(line, "the engine ended its output in a think")
            if ANALYSIS_RE.match(line):
                analysis.append(line)
            elif REALTIME_RE.match(line):
                realtime.append(REALTIME_RE.match(line))
            else:
                break
            line = engine.read_line(timeout)
        self.assertRegex(line, SPEED_RE)
        move = MOVE_RE.match(engine.read_line(timeout) or "")
        self.assertTrue(move, "expected the move")
        x, y = int(move.group(1)), int(move.group(2))
        self.check_analysis(analysis, position)
        if analysis and ANALYSIS_RE.match(analysis[-1]).group(2).startswith("+M"):
            # A proven win is played as announced.
            first = analysis[-1].split(" pv ")[1].split()[0]
            self.assertEqual(first, "%d,%d" % (x, y), analysis[-1])
        for event in realtime:
            self.assertTrue(position.empty(int(event.group(2)), int(event.group(3))), event.group(0))
        self.assertTrue(position.empty(x, y), "move %d,%d" % (x, y))
        position.play(x, y)
        return [ANALYSIS_RE.match(a) for a in analysis], realtime, (x, y)

    def check_analysis(self, lines, position):
        last = None
        for line in lines:
            m = re.match(r"MESSAGE depth (\d+) eval (\S+) nodes (\d+) time (\d+) pv (.*)\Z", line)
            depth, nodes, elapsed = int(m.group(1)), int(m.group(3)), int(m.group(4))
            if last is not None:
                self.assertEqual(depth, last[0] + 1, line)
                self.assertGreaterEqual(nodes, last[1], line)
                self.assertGreaterEqual(elapsed, last[2], line)
            last = (depth, nodes, elapsed)
            # The principal variation is a legal line of play from here.
            trial = Position(position.width, position.height, position.rule)
            trial.record = list(position.record)
            trial.blocks = list(position.blocks)
            for cell in m.group(5).split():
                x, y = map(int, cell.split(","))
                self.assertTrue(trial.empty(x, y), "%s: %d,%d is not empty" % (line, x, y))
                trial.play(x, y)


class StopTest(ExtensionCase):
    def stop_answers_at_once(self, command, start):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 60000")
        self.expect(e, NEW_GAME)
        # The position the starts below send: the opponent's stone, then ours.
        for x, y in ((7, 7), (8, 8)):
            p.play(x, y)
        start(e, p)
        time.sleep(0.5)
        began = time.monotonic()
        e.send(command)
        self.expect_think(e, p, rule_line=FREESTYLE, timeout=10)
        self.assertLess(time.monotonic() - began, 5, "the answer came long after " + command)
        # The think is over: the next command is answered as usual.
        e.send("ABOUT")
        self.expect(e, [ABOUT_LINE])
        self.finish(e)

    def test_stop_ends_a_turn_think_with_a_move(self):
        def start(e, p):
            e.send("BOARD", "7,7,2", "8,8,1", "DONE")

        self.stop_answers_at_once("STOP", start)

    def test_yxstop_ends_a_board_think_with_a_move(self):
        def start(e, p):
            e.send("BOARD", "7,7,2", "8,8,1", "DONE")

        self.stop_answers_at_once("YXSTOP", start)

    def test_stop_ends_a_begin_think(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 60000", "BEGIN")
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, searched=False)
        e.send("TURN 8,8")
        p.play(8, 8)
        time.sleep(0.3)
        began = time.monotonic()
        e.send("STOP")
        self.expect_think(e, p, rule_line=FREESTYLE, timeout=10)
        self.assertLess(time.monotonic() - began, 5)
        self.finish(e)

    def test_stop_without_a_think_has_no_reply(self):
        e = self.engine()
        e.send("START 15", "STOP", "yxstop", "ABOUT")
        self.expect(e, NEW_GAME + [ABOUT_LINE])
        # Nor does it spoil the next think.
        p = Position(15)
        e.send("INFO timeout_turn 300", "TURN 7,7")
        p.play(7, 7)
        self.expect_think(e, p, rule_line=FREESTYLE)
        self.finish(e)


class YxBoardTest(ExtensionCase):
    def test_yxboard_sets_the_position_without_a_move(self):
        e = self.engine()
        e.send("START 15", "INFO timeout_turn 300", "INFO rule 4")
        self.expect(e, NEW_GAME)
        # Black (own, 1) to move with a forbidden double three at 7,7.
        # Listed in the order played: Black (own) and White alternate.
        e.send("YXBOARD", "7,5,1", "0,0,2", "7,6,1", "0,2,2", "5,7,1", "0,4,2", "6,7,1", "0,6,2", "DONE", "ABOUT")
        self.expect(e, [ABOUT_LINE])
        e.send("YXSHOWFORBID")
        line = e.read_line()
        self.assertTrue(line.startswith("FORBID ") and line.endswith("."), line)
        cells = line[len("FORBID "):-1]
        forbidden = {cells[i:i + 4] for i in range(0, len(cells), 4)}
        self.assertIn("0707", forbidden)
        # The position is the game's: a take-back of its last stone works, and
        # the next think plays from it (Black to move, never on 7,7).
        p = Position(15, rule=RENJU)
        for x, y in ((7, 5), (0, 0), (7, 6), (0, 2), (5, 7), (0, 4), (6, 7), (0, 6)):
            p.play(x, y)
        e.send("TAKEBACK 0,6")
        self.expect(e, ["OK"])
        p.take_back()
        e.send("TURN 0,6")
        p.play(0, 6)
        x, y = self.expect_think(e, p)
        self.assertNotEqual((x, y), (7, 7), "a forbidden point")
        self.finish(e)

    def test_yxboard_with_a_bad_line_reports_it_and_stays_silent(self):
        e = self.engine()
        e.send("START 15", "YXBOARD", "7,7,1", "what", "ABOUT")
        self.expect(e, NEW_GAME + ["ERROR x,y,who or DONE expected after BOARD", ABOUT_LINE])
        self.finish(e)


class LimitTest(ExtensionCase):
    def test_max_depth_ends_the_think_after_that_depth(self):
        for depth in (1, 3, 5):
            e = self.analysing_engine()
            p = Position(15)
            e.send("START 15", "INFO timeout_turn 30000", "INFO max_depth %d" % depth)
            self.expect(e, NEW_GAME)
            p.play(7, 7)
            p.play(8, 8)
            e.send("BOARD", "7,7,2", "8,8,1", "DONE")
            analysis, _, _ = self.read_think(e, p, rule_line=FREESTYLE, timeout=20)
            self.assertTrue(analysis, "no analysis line")
            self.assertEqual(int(analysis[-1].group(1)), depth)
            self.finish(e)

    def test_max_node_ends_the_think_after_about_that_many_nodes(self):
        for limit in (3000, 30000):
            e = self.analysing_engine()
            p = Position(15)
            e.send("START 15", "INFO timeout_turn 30000", "INFO max_node %d" % limit)
            self.expect(e, NEW_GAME)
            for x, y in ((7, 7), (8, 8), (7, 8), (6, 9)):
                p.play(x, y)
            started = time.monotonic()
            e.send("BOARD", "7,7,1", "8,8,2", "7,8,1", "6,9,2", "DONE")
            analysis, _, _ = self.read_think(e, p, rule_line=FREESTYLE, timeout=20)
            self.assertLess(time.monotonic() - started, 15, "a node limit of %d ran to the clock" % limit)
            # Finished iterations stay below the limit; the check runs every
            # 1,024 nodes, so the total overshoots by less than that.
            for a in analysis:
                self.assertLessEqual(int(a.group(3)), limit + 1024, a.group(0))
            self.finish(e)

    def test_limits_of_zero_and_below_mean_none(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 300", "INFO max_node 0", "INFO max_depth -3", "INFO thread_num -7",
               "INFO thread_num 100000", "INFO max_memory -1", "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=FREESTYLE)
        self.finish(e)


class AnalysisTest(ExtensionCase):
    def test_every_iteration_reports_depth_value_nodes_time_and_a_legal_line(self):
        for rule, wire in ((FREESTYLE, 0), (RENJU, 4)):
            e = self.analysing_engine()
            p = Position(15, rule=rule)
            e.send("START 15", "INFO timeout_turn 400", "INFO rule %d" % wire)
            self.expect(e, NEW_GAME)
            for x, y in ((7, 7), (8, 8), (6, 8), (8, 6), (9, 9)):
                p.play(x, y)
            e.send("BOARD", "7,7,2", "8,8,1", "6,8,2", "8,6,1", "9,9,2", "DONE")
            # Under Renju the board commands have built the board already, so
            # no rule line comes.
            analysis, _, _ = self.read_think(e, p, rule_line=FREESTYLE if rule == FREESTYLE else False)
            self.assertGreaterEqual(len(analysis), 2)
            self.assertEqual(int(analysis[0].group(1)), 1)
            self.finish(e)

    def test_a_won_position_reports_a_win_in_so_many_plies(self):
        e = self.analysing_engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 1000")
        self.expect(e, NEW_GAME)
        # Own (Black, to move) open three on row 7 against scattered stones:
        # an open four next, then five, whatever White does.
        stones = [(7, 5, 1), (0, 0, 2), (7, 6, 1), (0, 14, 2), (7, 7, 1), (14, 0, 2)]
        self.send_board(e, p, stones)
        analysis, _, move = self.read_think(e, p, rule_line=FREESTYLE)
        self.assertTrue(analysis)
        self.assertRegex(analysis[-1].group(2), r"\+M\d+\Z")
        self.assertLessEqual(int(analysis[-1].group(2)[2:]), 5)
        self.assertIn(move, [(7, 4), (7, 8), (7, 3), (7, 9)])
        self.finish(e)

    def test_a_win_in_hand_is_announced_with_its_length_and_played(self):
        # An open three to move on 9 x 9: the open four comes first, so the
        # win is three plies away, and the line starts with that four.
        e = self.analysing_engine()
        p = Position(9)
        e.send("START 9", "INFO timeout_turn 150")
        self.expect(e, NEW_GAME)
        stones = [(4, 4, 1), (0, 0, 2), (5, 5, 1), (1, 0, 2), (4, 5, 1), (2, 0, 2), (3, 5, 1), (3, 0, 2), (4, 0, 1),
                  (5, 0, 2)]
        self.send_board(e, p, stones)
        analysis, _, move = self.read_think(e, p, rule_line=FREESTYLE)
        self.assertEqual(analysis[-1].group(2), "+M3")
        self.assertIn(move, [(2, 5), (6, 5)])
        self.finish(e)

    def test_a_win_by_threes_and_fours_is_seen_long_before_the_search_reaches_it(self):
        # A standard-rule self-play position whose side to move wins by a
        # threat sequence of 11 plies. Without the sequence search the
        # iterations find the win only at depth 3 or more; with it, in every
        # mode (the opponent's sequences too, 1, our own only, 2, or ours and
        # a guard of the best move, 4), the solve before the iterations
        # announces it at the first. The run without it keeps the position
        # honest: should the plain search ever see this win at once, the case
        # no longer tests the solver.
        here = os.path.dirname(os.path.abspath(__file__))
        with open(os.path.join(here, "..", "..", "bench", "threat_positions.txt")) as f:
            games = [line.split() for line in f if line.strip() and not line.startswith("#")]
        rule, size, *moves = games[3]
        rule = int(rule)
        width, _ = map(int, size.split("x"))
        for mode in (0, 1, 2, 4):
            e = self.analysing_engine()
            p = Position(width, width, rule=rule)
            e.send("START %d" % width, "INFO timeout_turn 3000", "INFO rule %d" % rule,
                   "INFO threat_search %d" % mode)
            self.expect(e, NEW_GAME)
            stones = [tuple(map(int, m.split(","))) for m in moves]
            lines = []
            for i, (x, y) in enumerate(stones):
                p.play(x, y)
                lines.append("%d,%d,%d" % (x, y, 1 if (len(stones) - i) % 2 == 0 else 2))
            e.send("BOARD", *lines, "DONE")
            analysis, _, move = self.read_think(e, p, rule_line=rule)
            last = analysis[-1]
            self.assertRegex(last.group(2), r"\+M\d+\Z", "mode %d: %s" % (mode, last.group(0)))
            if mode:
                self.assertEqual(int(last.group(1)), 1, "mode %d: %s" % (mode, last.group(0)))
            else:
                self.assertGreater(int(last.group(1)), 2, last.group(0))
            self.finish(e)

    def test_a_lost_position_reports_a_loss(self):
        e = self.analysing_engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 1000")
        self.expect(e, NEW_GAME)
        # The opponent (Black) has an open four on row 3: whatever we (White)
        # do, five follows.
        stones = [(3, 3, 2), (9, 9, 1), (3, 4, 2), (9, 11, 1), (3, 5, 2), (11, 9, 1), (3, 6, 2)]
        self.send_board(e, p, stones)
        analysis, _, move = self.read_think(e, p, rule_line=FREESTYLE)
        self.assertTrue(analysis)
        self.assertRegex(analysis[-1].group(2), r"-M\d+\Z")
        # Resisting: one end of the four is blocked.
        self.assertIn(move, [(3, 2), (3, 7)])
        self.finish(e)


class RenjuBlockTest(ExtensionCase):
    def test_black_blocks_an_open_four_on_the_cell_it_may_play(self):
        # White's open four on row 7 (7,5 ... 7,8); of its two five cells
        # 7,4 is a forbidden point for Black (a double four with 4,4 ... 9,4),
        # so the block that keeps the game going is 7,9.
        e = self.engine()
        p = Position(15, rule=RENJU)
        e.send("INFO timeout_turn 100", "INFO rule 2", "START 15")
        self.expect(e, NEW_GAME)
        stones = [(4, 4, 1), (7, 5, 2), (5, 4, 1), (7, 6, 2), (6, 4, 1), (7, 7, 2), (8, 4, 1), (7, 8, 2), (9, 4, 1),
                  (0, 14, 2)]
        self.send_board(e, p, stones)
        move = self.expect_think(e, p)
        self.assertEqual(move, (7, 9))
        self.finish(e)


class RealtimeTest(ExtensionCase):
    def test_show_detail_adds_realtime_best_moves_and_lost_moves(self):
        e = self.analysing_engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 500", "INFO show_detail 1")
        self.expect(e, NEW_GAME)
        # The opponent (White) has two open threes: every defence of one
        # loses to the other.
        stones = [(0, 0, 1), (7, 6, 2), (0, 14, 1), (7, 7, 2), (14, 0, 1), (7, 8, 2), (14, 14, 1), (4, 10, 2),
                  (2, 2, 1), (5, 10, 2), (12, 12, 1), (6, 10, 2)]
        self.send_board(e, p, stones)
        _, realtime, _ = self.read_think(e, p, rule_line=FREESTYLE)
        kinds = {m.group(1) for m in realtime}
        self.assertIn("BEST", kinds)
        self.assertIn("LOST", kinds)
        self.finish(e)

    def test_without_show_detail_there_are_no_realtime_lines(self):
        e = self.analysing_engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 300", "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        _, realtime, _ = self.read_think(e, p, rule_line=FREESTYLE)
        self.assertEqual(realtime, [])
        self.finish(e)


class ThreadsTest(ExtensionCase):
    def test_two_threads_play_a_legal_game(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 200", "INFO thread_num 2", "BEGIN")
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, searched=False)
        for _ in range(8):
            x, y = next(c for c in p.empty_cells() if abs(c[0] - 7) + abs(c[1] - 7) <= 4)
            p.play(x, y)
            e.send("TURN %d,%d" % (x, y))
            self.expect_think(e, p, rule_line=FREESTYLE if len(p.record) == 2 else False)
        self.finish(e)


def peak_resident_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return None


def anon_huge_kib(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            if line.startswith("AnonHugePages:"):
                return int(line.split()[1])
    return 0


def huge_pages_collapse():
    """True where the engine can move its tables onto huge pages: Linux with
    transparent huge pages not switched off, 6.1 or later (MADV_COLLAPSE)."""
    if not sys.platform.startswith("linux"):
        return False
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            if "[never]" in f.read():
                return False
        major, minor = (int(v) for v in re.match(r"(\d+)\.(\d+)", os.uname().release).groups())
    except (OSError, AttributeError):
        return False
    return (major, minor) >= (6, 1)


class MemoryTest(ExtensionCase):
    """Peak resident memory of a real engine process over a game, read from
    the kernel's count: a limit is a bound on the whole process."""

    def play_game(self, limit, moves=16):
        e = self.engine()
        p = Position(15)
        e.send("START 15")
        self.expect(e, NEW_GAME)
        if limit is not None:
            e.send("INFO max_memory %d" % limit)
        e.send("INFO timeout_turn 150", "BEGIN")
        self.expect_think(e, p, searched=False)
        messages = []
        for i in range(moves):
            x, y = next(c for c in p.empty_cells() if abs(c[0] - 7) <= 3 and abs(c[1] - 7) <= 3)
            p.play(x, y)
            e.send("TURN %d,%d" % (x, y))
            line = e.read_line()
            while line.startswith("MESSAGE max_memory") or line == RULE_LINE[FREESTYLE]:
                if line != RULE_LINE[FREESTYLE]:
                    messages.append(line)
                line = e.read_line()
            self.assertRegex(line, SPEED_RE)
            move = MOVE_RE.match(e.read_line())
            p.play(int(move.group(1)), int(move.group(2)))
        peak = peak_resident_kib(e.process.pid)
        self.finish(e)
        return peak, messages

    @unittest.skipUnless(sys.platform.startswith("linux"), "reads /proc")
    def test_peak_memory_stays_under_the_limit(self):
        for limit in (64 << 20, 128 << 20):
            peak, messages = self.play_game(limit)
            self.assertEqual(messages, [])
            self.assertLess(peak * 1024, limit, "peak %d KiB under max_memory %d" % (peak, limit))

    def searched_turn(self, e, p, reach):
        """Plays the first empty cell within `reach` of the centre as the
        opponent after the engine's opening stone, and reads the searched
        reply (the first of the game names the rule)."""
        x, y = next(c for c in p.empty_cells() if abs(c[0] - 7) <= reach and abs(c[1] - 7) <= reach)
        p.play(x, y)
        e.send("TURN %d,%d" % (x, y))
        self.expect_think(e, p, rule_line=FREESTYLE if len(p.record) == 2 else False)

    @unittest.skipUnless(huge_pages_collapse(), "needs transparent huge pages and Linux 6.1")
    def test_tables_move_to_huge_pages_only_after_a_search_at_the_limit(self):
        # The opening stone is played without a search: the tables keep the
        # size start-up gave them, so nothing may be made resident yet, even
        # though the engine is idle. After a searched move the tables, now
        # sized to max_memory, move to huge pages in the opponent's time, and
        # the next move is answered as usual.
        limit = 96 << 20
        e = self.engine()
        p = Position(15)
        e.send("START 15")
        self.expect(e, NEW_GAME)
        e.send("INFO max_memory %d" % limit, "INFO timeout_turn 150", "BEGIN")
        self.expect_think(e, p, searched=False)
        time.sleep(1.0)
        self.assertEqual(anon_huge_kib(e.process.pid), 0)
        for _ in range(2):
            self.searched_turn(e, p, reach=2)
        deadline = time.time() + 10
        while anon_huge_kib(e.process.pid) < 16 << 10 and time.time() < deadline:
            time.sleep(0.1)
        self.assertGreaterEqual(anon_huge_kib(e.process.pid), 16 << 10)
        self.assertLess(peak_resident_kib(e.process.pid) * 1024, limit)
        self.finish(e)

    @unittest.skipUnless(sys.platform.startswith("linux"), "moves tables only under Linux")
    def test_commands_that_clear_the_tables_wait_for_the_move_to_huge_pages(self):
        # Right after a searched move the think thread is moving the tables
        # onto huge pages; a clear that came in then swapped the tables' memory
        # under it, and the process died. Each clear here lands in that window.
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO max_memory %d" % (256 << 20), "INFO timeout_turn 100", "BEGIN")
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, searched=False)
        for _ in range(12):
            self.searched_turn(e, p, reach=3)
            e.send("YXHASHCLEAR", "ABOUT")
            self.expect(e, [ABOUT_LINE])
        self.finish(e)

    @unittest.skipUnless(sys.platform.startswith("linux"), "reads /proc")
    def test_a_limit_below_the_minimum_is_said_once(self):
        peak, messages = self.play_game(1 << 20, moves=3)
        self.assertEqual(len(messages), 1, messages)
        self.assertRegex(messages[0], r"MESSAGE max_memory 1048576 is below the minimum of \d+ bytes")


if __name__ == "__main__":
    tp.BINARY = None
    if len(sys.argv) < 2:
        sys.exit("usage: test_extensions.py /path/to/ruvan [unittest options]")
    tp.BINARY = os.path.abspath(sys.argv.pop(1))
    loader = unittest.TestLoader()
    loader.suiteClass = tp._ParallelSuite
    unittest.main(testLoader=loader, testRunner=tp._Runner)
