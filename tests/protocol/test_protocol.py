"""Exact protocol transcripts, driven through the real engine binary.

    python3 tests/protocol/test_protocol.py /path/to/ruvan [unittest options]

Each case starts its own engine, sends command lines and compares every line
the engine writes. Where the engine searches, the move itself is not fixed, so
a think is checked by its shape: the rule line when one is due, then
"MESSAGE Speed=<n>", then a move on an empty cell of the board (the position
is tracked here), then the Renju draw notice when no five can still be made.
Every session ends with exit code 0 and nothing on standard error.

The cases run in parallel threads (RUVAN_PROTOCOL_JOBS, default 4); thinks are
kept short with INFO timeout_turn.
"""

import concurrent.futures
import os
import re
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from engine_session import EngineSession  # noqa: E402

BINARY = None


def _project_version():
    """The version the build stamps into the greeting and the about line."""
    cmake = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    try:
        with open(cmake) as f:
            match = re.search(r"project\(\s*ruvan\s+VERSION\s+([0-9.]+)", f.read())
    except OSError:
        match = None
    return match.group(1) if match else "0.1.0"


VERSION = _project_version()
GREETING = "MESSAGE Ruvan " + VERSION
NEW_GAME = [GREETING, "OK"]
ABOUT_LINE = 'name="Ruvan", version="%s", author="Ruvan developers", country="China", www=""' % VERSION
UNKNOWN = "UNKNOWN command"
BAD_COORDINATES = "ERROR bad coordinates"
BAD_SIZE = "ERROR size of the board"
BAD_RECTSTART = "ERROR bad RECTSTART parameters"
BAD_BOARD_LINE = "ERROR x,y,who or DONE expected after BOARD"
DRAW_NOTICE = ["MESSAGE It's a draw", ""]
FREESTYLE, STANDARD, RENJU = 0, 1, 2
RULE_LINE = {
    FREESTYLE: "MESSAGE Rule Gomoku (Freestyle)",
    STANDARD: "MESSAGE Rule Gomoku (Standard)",
    RENJU: "MESSAGE Rule Renju",
}
FAST = "INFO timeout_turn 200"

SPEED_RE = re.compile(r"MESSAGE Speed=(\d+)\Z")
MOVE_RE = re.compile(r"(-?\d+),(-?\d+)\Z")


def opponent_error(x, y):
    return "ERROR opponents's move [%d,%d]" % (x, y)


def own_error(x, y):
    return "ERROR my move [%d,%d]" % (x, y)


def block_error(x, y):
    return "ERROR board-block move [%d,%d]" % (x, y)


class Position:
    """The game as the manager sees it: the record of moves (colours by
    order, Black first) and the blocked cells."""

    def __init__(self, width, height=None, rule=FREESTYLE):
        self.width = width
        self.height = width if height is None else height
        self.rule = rule
        self.record = []
        self.blocks = []

    def on_board(self, x, y):
        return 0 <= x < self.width and 0 <= y < self.height

    def value(self, x, y):
        """0 empty, 1 Black, 2 White, 3 blocked."""
        if (x, y) in self.blocks:
            return 3
        if (x, y) in self.record:
            return self.record.index((x, y)) % 2 + 1
        return 0

    def empty(self, x, y):
        return self.on_board(x, y) and self.value(x, y) == 0

    def empty_cells(self):
        return [(x, y) for x in range(self.width) for y in range(self.height) if self.empty(x, y)]

    def play(self, x, y):
        assert self.empty(x, y), (x, y)
        self.record.append((x, y))

    def block(self, x, y):
        assert self.empty(x, y), (x, y)
        self.blocks.append((x, y))

    def take_back(self):
        return self.record.pop()

    def five_still_possible(self):
        """The engine's Renju draw test, written out independently: is any
        five-cell window still open for White, or for Black without a Black
        stone just outside it (off-board window cells count as blocks, off-board
        outer cells as empty)?"""

        def state(x, y, off_board):
            return self.value(x, y) if self.on_board(x, y) else off_board

        for x in range(self.width):
            for y in range(self.height):
                for dx, dy in ((0, 1), (1, 0), (1, 1), (1, -1)):
                    w = 0
                    for t in range(-2, 3):
                        w |= state(x + t * dx, y + t * dy, 3)
                    o = state(x - 3 * dx, y - 3 * dy, 0) | state(x + 3 * dx, y + 3 * dy, 0)
                    if w in (0, 2) or (w == 1 and not o & 1):
                        return True
        return False


class ProtocolCase(unittest.TestCase):
    maxDiff = None

    def engine(self):
        session = EngineSession(BINARY)
        self.addCleanup(session.close)
        return session

    def expect(self, engine, lines, timeout=None):
        got = engine.read_lines(len(lines), timeout)
        self.assertEqual(got, list(lines))

    def expect_think(self, engine, position, rule_line=False, move=None, searched=True, timeout=None):
        """Reads one think's reply and plays the move into `position`.
        rule_line: the rule whose "MESSAGE Rule" line must come first, or
        False for none. move: the exact move, where only one is right.
        searched=False: an empty board, answered without a search (Speed=0)."""
        line = engine.read_line(timeout)
        if rule_line is not False:
            self.assertEqual(line, RULE_LINE[rule_line])
            line = engine.read_line(timeout)
        if searched:
            self.assertRegex(line or "", SPEED_RE, "expected the Speed line")
        else:
            self.assertEqual(line, "MESSAGE Speed=0")
        line = engine.read_line(timeout)
        match = MOVE_RE.match(line or "")
        self.assertTrue(match, "expected a move line, got %r" % line)
        x, y = int(match.group(1)), int(match.group(2))
        if move is not None:
            self.assertEqual((x, y), move)
        self.assertTrue(position.on_board(x, y), "move %d,%d is off the board" % (x, y))
        self.assertTrue(position.empty(x, y), "move %d,%d is on an occupied cell" % (x, y))
        position.play(x, y)
        if position.rule == RENJU and not position.five_still_possible():
            self.expect(engine, DRAW_NOTICE, timeout=5)
        return x, y

    def finish(self, engine, command="END", trailing=(), timeout=30):
        """Ends the session; no further output than `trailing`, exit code 0,
        nothing on standard error."""
        code = engine.finish(command, timeout)
        self.assertEqual(engine.remaining_lines(10), list(trailing))
        self.assertExitedCleanly(engine, code)

    def assertExitedCleanly(self, engine, code):
        self.assertEqual((code, engine.stderr_text()), (0, ""), "exit code and standard error")

    def timed_think(self, engine, command, position, **kwargs):
        started = time.monotonic()
        engine.send(command)
        move = self.expect_think(engine, position, **kwargs)
        return move, time.monotonic() - started


# ---------------------------------------------------------------------------
# Reading lines and the life of the process.


class MainLoopTest(ProtocolCase):
    def test_crlf_line_ends_work_like_lf(self):
        e = self.engine()
        p = Position(15)
        e.send_raw("START 15\r\nINFO timeout_turn 200\r\nABOUT\r\n")
        self.expect(e, NEW_GAME + [ABOUT_LINE])
        e.send_raw("TURN 7,7\r\n")
        p.play(7, 7)
        self.expect_think(e, p, rule_line=FREESTYLE)
        # A kept CR would make DONE a wrong block end and END a plain prefix.
        e.send_raw("BOARD\r\n3,3,2\r\nDONE\r\n")
        p.play(3, 3)
        self.expect_think(e, p)
        last = p.take_back()
        e.send_raw("TAKEBACK %d,%d\r\n\r\n" % last)
        self.expect(e, ["OK", UNKNOWN])
        e.send_raw("PLAY %d,%d\r\n" % last)
        self.expect(e, ["%d,%d" % last])
        e.send_raw("END\r\n")
        self.finish(e, command=None)

    def test_empty_line_is_an_unknown_command(self):
        e = self.engine()
        e.send("", "ABOUT", "")
        self.expect(e, [UNKNOWN, ABOUT_LINE, UNKNOWN])
        self.finish(e)

    def test_line_of_9000_characters_is_cut_to_8191(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", FAST)
        self.expect(e, NEW_GAME)
        # "3,4" fills characters 8189 to 8191; the 809 digits after it are dropped.
        line = "TURN" + " " * 8184 + "3,4" + "5" * 809
        self.assertEqual((len(line), line[:8191][-3:]), (9000, "3,4"))
        e.send(line)
        p.play(3, 4)
        self.expect_think(e, p, rule_line=FREESTYLE)
        e.send("PLAY 3,4")
        self.expect(e, [own_error(3, 4), "3,4"])
        # The dropped tail of a long line is not read as a line of its own.
        e.send("Z" * 8191 + "ABOUT" + "Z" * 804, "ABOUT")
        self.expect(e, [UNKNOWN, ABOUT_LINE])
        self.finish(e)

    def test_partial_last_line_is_not_executed(self):
        for tail in ("ABOUT", "TURN 7,7", "END"):
            with self.subTest(tail=tail):
                e = self.engine()
                e.send_raw("START 15\n" + tail)
                self.finish(e, command=None, trailing=NEW_GAME)

    def test_end_while_thinking_stops_the_search_and_exits(self):
        for ending in ("END", None):
            with self.subTest(ending=ending or "end of input"):
                e = self.engine()
                p = Position(15)
                e.send("START 15", "TURN 7,7")  # default timeout_turn: 30 s
                p.play(7, 7)
                self.expect(e, NEW_GAME + [RULE_LINE[FREESTYLE]])
                started = time.monotonic()
                # The rule line comes just before the search: it is running now.
                if ending:
                    e.send(ending)
                e.close_input()
                self.expect_think(e, p, timeout=15)
                code = e.wait(15)
                self.assertLess(time.monotonic() - started, 15)
                self.assertEqual(e.remaining_lines(5), [])
                self.assertExitedCleanly(e, code)

    def test_end_right_after_a_think_command_exits(self):
        # END (or the end of input) may arrive before the worker has even
        # taken the think; the move may or may not be printed, but the
        # process must end in order.
        cases = [
            "START 15\nTURN 7,7\nEND\n",
            "START 15\nTURN 7,7\n",
            "START 15\nPLAY 7,7\nBEGIN\nEND\n",
            "START 15\nBOARD\n7,7,2\nDONE\n",
        ]
        # All sessions at once, so that a hang costs one wait.
        sessions = []
        for text in cases:
            e = self.engine()
            e.send_raw(text)
            e.close_input()
            sessions.append((text, e))
        deadline = time.monotonic() + 30
        for text, e in sessions:
            with self.subTest(input=text):
                code = e.wait(max(deadline - time.monotonic(), 0.1))
                lines = e.remaining_lines(5)
                self.assertExitedCleanly(e, code)
                head = NEW_GAME + (["7,7"] if "PLAY" in text else [])
                self.assertEqual(lines[: len(head)], head)
                rest = lines[len(head) :]
                if rest:
                    self.assertEqual(rest[0], RULE_LINE[FREESTYLE])
                    self.assertRegex(rest[1], SPEED_RE)
                    self.assertRegex(rest[2], MOVE_RE)
                    self.assertEqual(len(rest), 3)

    def test_two_begins_in_a_row(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 1000", "PLAY 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME + ["7,7"])
        # The second BEGIN stops the first search (White's), whose move is
        # printed and played; then a second search moves for Black.
        e.send("BEGIN", "BEGIN")
        self.expect_think(e, p, rule_line=FREESTYLE)
        self.expect_think(e, p)
        self.finish(e)

    def test_about_and_info_while_thinking(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 5000", "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME + [RULE_LINE[FREESTYLE]])
        e.send("ABOUT", "INFO timeout_turn 200")
        # Answered at once, long before the five-second search can end.
        self.expect(e, [ABOUT_LINE], timeout=3)
        self.expect_think(e, p, timeout=15)
        x, y = p.empty_cells()[0]
        p.play(x, y)
        _, seconds = self.timed_think(e, "TURN %d,%d" % (x, y), p)
        self.assertLess(seconds, 3.0, "the new timeout_turn was not applied")
        self.finish(e)


# ---------------------------------------------------------------------------
# Command words and their replies.


class DispatcherTest(ProtocolCase):
    def test_command_words_fold_case(self):
        e = self.engine()
        p = Position(15)
        e.send("start 15", "info TIMEOUT_TURN 200", "TuRn 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=FREESTYLE)
        # An occupied cell: the error, and the engine still answers.
        e.send("turn 7,7")
        self.expect(e, [opponent_error(7, 7)])
        self.expect_think(e, p)
        e.send("aBoUt")
        self.expect(e, [ABOUT_LINE])
        self.finish(e, command="end")

    def test_words_match_as_prefixes_and_a_leading_blank_matches_nothing(self):
        e = self.engine()
        e.send(" TURN 7,7", "XYZZY", "ABOUTME", "INFORMATION 5", "ABOUT", "TURNING 1,1", "ENDGAME", "ABOUT")
        self.finish(
            e,
            command=None,
            trailing=[UNKNOWN, UNKNOWN, ABOUT_LINE, ABOUT_LINE] + NEW_GAME + [BAD_COORDINATES],
        )

    def test_board_commands_start_a_20x20_game_when_none_exists(self):
        e = self.engine()
        e.send("BEGIN")
        self.expect(e, NEW_GAME)
        self.expect_think(e, Position(20), searched=False, move=(10, 10))
        self.finish(e)
        e = self.engine()
        p = Position(20)
        e.send(FAST, "TURN 19,19")
        p.play(19, 19)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=FREESTYLE)
        self.finish(e)
        for command in ("PLAY 3,4", "TAKEBACK 3,4", "RESTART", "START"):
            with self.subTest(command=command):
                e = self.engine()
                e.send(command, "PLAY 19,19", "PLAY 20,0")
                reply = {"PLAY 3,4": ["3,4"], "TAKEBACK 3,4": [BAD_COORDINATES]}.get(command, [])
                self.finish(e, trailing=NEW_GAME + reply + ["19,19", BAD_COORDINATES])

    def test_start_sizes(self):
        e = self.engine()
        e.send("START", FAST, "PLAY 19,19", "PLAY 20,20", "START 0", "PLAY 19,0", "PLAY 0,20")
        self.expect(e, NEW_GAME + ["19,19", BAD_COORDINATES] + NEW_GAME + ["19,0", BAD_COORDINATES])
        p = Position(15)
        e.send("START 15", "PLAY 1,1", "START", "TURN 14,14")
        p.play(14, 14)
        self.expect(e, NEW_GAME + ["1,1"] + NEW_GAME)
        self.expect_think(e, p, rule_line=FREESTYLE)
        # Refused sizes leave the 15 x 15 game and its stones as they were.
        e.send(
            "TURN 15,15",
            "START 23",
            "START -5",
            "START 15 23",
            "RECTSTART -3,10",
            "RECTSTART 10,23",
            "RECTSTART 23,10",
            "RECTSTART 5,0",
            "PLAY 14,14",
            "TURN 20,20",
            "PLAY 0,15",
        )
        # Only a width of 0 stands for 20 x 20: a height of 0 is a side below 1.
        self.expect(e, [BAD_COORDINATES] + [BAD_SIZE] * 7 + [own_error(14, 14), "14,14"] + [BAD_COORDINATES] * 2)
        self.finish(e)

    def test_start_sizes_accepted(self):
        e = self.engine()
        p = Position(22)
        e.send(FAST, "START 22", "TURN 21,21")
        p.play(21, 21)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=FREESTYLE)
        e.send("START 10 15", "PLAY 9,14", "PLAY 10,0", "PLAY 0,15", "START 1", "PLAY 0,0", "PLAY 0,1")
        self.expect(e, NEW_GAME + ["9,14", BAD_COORDINATES, BAD_COORDINATES] + NEW_GAME + ["0,0", BAD_COORDINATES])
        self.finish(e)

    def test_rectstart(self):
        e = self.engine()
        e.send("RECTSTART 20 15", "RECTSTART 7", "RECTSTART", "ABOUT")
        self.expect(e, [BAD_RECTSTART] * 3 + [ABOUT_LINE])  # no game was started
        p = Position(20, 15)
        e.send(FAST, "RECTSTART 20,15", "BEGIN")
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, searched=False, move=(10, 7))
        e.send("TURN 19,14")
        p.play(19, 14)
        self.expect_think(e, p, rule_line=FREESTYLE)
        e.send("TURN 14,19", "TURN 20,0", "RECTSTART 20 15", "PLAY 19,14", "RECTSTART 20 , 15", "PLAY 19,14", "PLAY 14,19")
        self.expect(
            e,
            [BAD_COORDINATES, BAD_COORDINATES, BAD_RECTSTART, own_error(19, 14), "19,14"]
            + NEW_GAME
            + ["19,14", BAD_COORDINATES],
        )
        e.send("RECTSTART 0,5", "PLAY 19,19", "RECTSTART 3,1", "PLAY 2,0", "PLAY 0,1")
        self.expect(e, NEW_GAME + ["19,19"] + NEW_GAME + ["2,0", BAD_COORDINATES])
        # A tall board: the engine's moves keep x below 10 although the board
        # code works on a 20 x 20 square.
        p = Position(10, 20)
        e.send("RECTSTART 10,20", "BEGIN")
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, searched=False, move=(5, 10))
        for x, y in ((9, 19), (9, 18), (9, 17)):
            p.play(x, y)
            e.send("TURN %d,%d" % (x, y))
            self.expect_think(e, p, rule_line=FREESTYLE if x == 9 and y == 19 else False)
        self.finish(e)

    def test_restart_keeps_the_size(self):
        e = self.engine()
        e.send("START 15", "PLAY 7,7", "RESTART", "PLAY 7,7", "PLAY 15,0", "PLAY 14,14")
        self.finish(e, trailing=NEW_GAME + ["7,7"] + NEW_GAME + ["7,7", BAD_COORDINATES, "14,14"])

    def test_new_game_keeps_rule_and_time_settings(self):
        e = self.engine()
        p = Position(15)
        e.send("INFO rule 1", FAST, "START 15", "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=STANDARD)
        e.send("START 20")
        self.expect(e, NEW_GAME)
        p = Position(20)
        p.play(10, 10)
        _, seconds = self.timed_think(e, "TURN 10,10", p, rule_line=STANDARD)
        self.assertLess(seconds, 10.0, "timeout_turn was not kept")
        self.finish(e)

    def test_turn_play_and_takeback_errors(self):
        e = self.engine()
        e.send("TURN", "TAKEBACK", "PLAY")
        self.expect(e, NEW_GAME + [BAD_COORDINATES] * 3)
        e.send(
            "START 15",
            "TURN 7",
            "TURN 7 ,8",
            "TURN -1,5",
            "TURN 15,0",
            "TURN 0,15",
            "TURN a,b",
            "PLAY 15,15",
            "PLAY x",
            "PLAY 7, 8",
            "PLAY 3,4",
            "PLAY 3,4",
            "TAKEBACK 0,0",
            "TAKEBACK 20,20",
            "TAKEBACK -1,0",
            "TAKEBACK 3,4",
            "TAKEBACK 3,4",
            "ABOUT",
        )
        self.expect(
            e,
            NEW_GAME
            + [BAD_COORDINATES] * 8
            + ["7,8", "3,4", own_error(3, 4), "3,4"]
            + [BAD_COORDINATES] * 3
            + ["OK", BAD_COORDINATES, ABOUT_LINE],
        )
        p = Position(15)
        p.play(7, 8)
        e.send(FAST, "TURN 7, 9")
        p.play(7, 9)
        move = self.expect_think(e, p, rule_line=FREESTYLE)
        # On a built board too: PLAY echoes the pair after its error line.
        e.send("PLAY %d,%d" % move, "PLAY 7,9", "TURN 7,8")
        self.expect(e, [own_error(*move), "%d,%d" % move, own_error(7, 9), "7,9", opponent_error(7, 8)])
        self.expect_think(e, p)
        self.finish(e)


# ---------------------------------------------------------------------------
# BOARD blocks.


class BoardBlockTest(ProtocolCase):
    def board_game(self, end_line, error):
        e = self.engine()
        p = Position(15)
        e.send("START 15", FAST, "BOARD", "7,7,1", "7,8,2", end_line)
        p.play(7, 7)
        p.play(7, 8)
        self.expect(e, NEW_GAME + ([BAD_BOARD_LINE] if error else []))
        self.expect_think(e, p, rule_line=FREESTYLE)
        return e, p

    def test_board_block_ended_by_done(self):
        for done in ("DONE", "done", "Done"):
            with self.subTest(done=done):
                e, _ = self.board_game(done, error=False)
                self.finish(e)

    def test_board_block_ended_by_end_thinks_and_goes_on(self):
        e, _ = self.board_game("END", error=True)
        e.send("ABOUT")
        self.expect(e, [ABOUT_LINE])
        self.finish(e)

    def test_other_lines_end_a_board_block_with_an_error(self):
        # The line is not dispatched: ABOUT inside a block is not answered.
        for end_line in ("DONE ", "15,0,1", "0,15,2", "5,5,4", "5,5,0", "5,5", "ABOUT", "", "DONEX"):
            with self.subTest(end_line=end_line):
                e, _ = self.board_game(end_line, error=True)
                self.finish(e)

    def test_board_adds_to_the_position(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", FAST, "PLAY 7,7", "BOARD", "7,7,2", "6,6,2", "DONE")
        p.play(7, 7)
        p.play(6, 6)
        self.expect(e, NEW_GAME + ["7,7", opponent_error(7, 7)])
        self.expect_think(e, p, rule_line=FREESTYLE)
        reply = p.record[-1]
        block, stone = p.empty_cells()[-2:]
        e.send("BOARD", "6,6,1", "%d,%d,2" % reply, "%d,%d,3" % block, "%d,%d,1" % block, "%d,%d,1" % stone, "done")
        p.block(*block)
        p.play(*stone)
        self.expect(e, [own_error(6, 6), opponent_error(*reply), own_error(*block)])
        self.expect_think(e, p)
        self.finish(e)

    def test_occupied_cells_inside_a_block_before_the_board_is_built(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", FAST, "BOARD", "7,7,1", "7,7,2", "8,8,3", "8,8,1", "7,7,3", "8,8,3", "6,6,2", "DONE")
        p.play(7, 7)
        p.block(8, 8)
        p.play(6, 6)
        self.expect(e, NEW_GAME + [opponent_error(7, 7), own_error(8, 8), block_error(7, 7), block_error(8, 8)])
        self.expect_think(e, p, rule_line=FREESTYLE)
        self.finish(e)

    def test_end_of_input_inside_a_board_block(self):
        e = self.engine()
        e.send("START 15", "BOARD", "7,7,1", "7,8,2")
        # No think, and an orderly shutdown.
        self.finish(e, command=None, trailing=NEW_GAME)

    def test_colours_follow_the_order_of_the_block(self):
        # In the order given, the stones at x = 3 are Black's and those at
        # x = 10 White's, whatever the third fields say. Eight stones: the
        # engine is Black and completes its own five at 3,4 (each four has a
        # single completion, the other end being off the board).
        e = self.engine()
        p = Position(15)
        lines = []
        for y in range(4):
            lines += ["3,%d,2" % y, "10,%d,1" % y]
            p.play(3, y)
            p.play(10, y)
        e.send("START 15", FAST, "BOARD", *lines, "DONE")
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=FREESTYLE, move=(3, 4))
        self.finish(e)

    def test_first_move_is_black_even_when_it_is_the_engines_own(self):
        # The same fours played with PLAY, then one more Black stone: the
        # engine is White now and completes White's five at 10,4.
        e = self.engine()
        p = Position(15)
        commands = []
        for y in range(4):
            commands += ["PLAY 3,%d" % y, "PLAY 10,%d" % y]
            p.play(3, y)
            p.play(10, y)
        e.send("START 15", FAST, *commands)
        self.expect(e, NEW_GAME + [c.split()[1] for c in commands])
        p.play(0, 14)
        e.send("TURN 0,14")
        self.expect_think(e, p, rule_line=FREESTYLE, move=(10, 4))
        self.finish(e)


# ---------------------------------------------------------------------------
# Blocks, stones before the board is built, take-backs.


class BlockAndRecordTest(ProtocolCase):
    def test_block_before_the_board_is_built_is_kept(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", FAST, "BOARD", "7,7,3", "DONE")
        p.block(7, 7)
        self.expect(e, NEW_GAME)
        # The centre is blocked: the engine moves elsewhere, still without a search.
        self.expect_think(e, p, searched=False)
        e.send("PLAY 7,7", "TURN 7,7")
        self.expect(e, [own_error(7, 7), "7,7", opponent_error(7, 7)])
        self.expect_think(e, p, rule_line=FREESTYLE)
        self.finish(e)

    def test_engine_never_plays_onto_a_block(self):
        # Blocks everywhere except two cells, one of which the opponent takes:
        # only 0,0 is left, both for the built board and for the search.
        for rule in (FREESTYLE, RENJU):
            with self.subTest(rule=rule):
                e = self.engine()
                p = Position(15, rule=rule)
                lines = []
                for x in range(15):
                    for y in range(15):
                        if (x, y) not in ((0, 0), (14, 14)):
                            lines.append("%d,%d,3" % (x, y))
                            p.block(x, y)
                p.play(14, 14)
                e.send("INFO rule %d" % rule, "START 15", FAST, "BOARD", *lines, "14,14,2", "DONE")
                self.expect(e, NEW_GAME)
                self.expect_think(e, p, rule_line=FREESTYLE if rule == FREESTYLE else False, move=(0, 0))
                self.finish(e)

    def test_block_onto_an_occupied_cell_of_a_built_board(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", FAST, "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        move = self.expect_think(e, p, rule_line=FREESTYLE)
        x, y = p.empty_cells()[0]
        e.send("BOARD", "7,7,3", "%d,%d,3" % move, "%d,%d,3" % (x, y), "%d,%d,3" % (x, y), "DONE")
        p.block(x, y)
        self.expect(e, [block_error(7, 7), block_error(*move), block_error(x, y)])
        self.expect_think(e, p)
        e.send("PLAY %d,%d" % (x, y))
        self.expect(e, [own_error(x, y), "%d,%d" % (x, y)])
        self.finish(e)

    def test_start_and_restart_clear_the_blocks(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", FAST, "BOARD", "5,5,3", "DONE")
        p.block(5, 5)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, searched=False, move=(7, 7))
        e.send("RESTART", "PLAY 5,5", "PLAY 7,7", "BOARD", "6,6,3", "DONE")
        p = Position(15)
        p.play(5, 5)
        p.play(7, 7)
        p.block(6, 6)
        self.expect(e, NEW_GAME + ["5,5", "7,7"])
        self.expect_think(e, p, rule_line=FREESTYLE)
        e.send("START 15", "PLAY 6,6", "PLAY 5,5")
        self.expect(e, NEW_GAME + ["6,6", "5,5"])
        self.finish(e)

    def test_stone_onto_an_occupied_cell_before_the_board_is_built(self):
        # The refused PLAY 3,0 is not recorded: with it, the parity would make
        # the engine White; without it the engine is Black and wins at 3,4.
        e = self.engine()
        p = Position(15)
        commands = []
        for y in range(4):
            commands.append("PLAY 3,%d" % y)
            p.play(3, y)
            if y < 3:
                commands.append("PLAY 10,%d" % y)
                p.play(10, y)
        e.send("START 15", FAST, *commands, "PLAY 3,0", "PLAY 10,1", "BOARD", "3,1,2", "10,3,2", "DONE")
        p.play(10, 3)
        self.expect(
            e,
            NEW_GAME
            + [c.split()[1] for c in commands]
            + [own_error(3, 0), "3,0", own_error(10, 1), "10,1", opponent_error(3, 1)],
        )
        self.expect_think(e, p, rule_line=FREESTYLE, move=(3, 4))
        self.finish(e)

    def test_takeback_must_name_the_last_move(self):
        e = self.engine()
        e.send(
            "START 15",
            "PLAY 3,3",
            "PLAY 4,4",
            "TAKEBACK 3,3",
            "TAKEBACK 4,4",
            "TAKEBACK 4,4",
            "TAKEBACK 3,3",
            "TAKEBACK 3,3",
            FAST,
            "TURN 7,7",
        )
        self.expect(e, NEW_GAME + ["3,3", "4,4", BAD_COORDINATES, "OK", BAD_COORDINATES, "OK", BAD_COORDINATES])
        p = Position(15)
        p.play(7, 7)
        move = self.expect_think(e, p, rule_line=FREESTYLE)
        e.send("TAKEBACK 7,7", "TAKEBACK %d,%d" % move, "TAKEBACK 7,7", "TAKEBACK 7,7", "BEGIN")
        self.expect(e, [BAD_COORDINATES, "OK", "OK", BAD_COORDINATES])
        # The record is empty again: the centre, without a search.
        self.expect_think(e, Position(15), searched=False, move=(7, 7))
        self.finish(e)

    def test_takeback_of_a_block(self):
        e = self.engine()
        e.send("START 15", FAST, "BOARD", "5,5,3", "DONE")
        self.expect(e, NEW_GAME)
        self.expect_think(e, Position(15), searched=False, move=(7, 7))
        e.send("TAKEBACK 5,5", "TAKEBACK 5,5", "PLAY 5,5", "TAKEBACK 5,5", "TAKEBACK 7,7", "TAKEBACK 7,7")
        self.expect(e, ["OK", BAD_COORDINATES, "5,5", "OK", "OK", BAD_COORDINATES])
        self.finish(e)

    def test_full_board_holds_484_moves(self):
        e = self.engine()
        cells = [(x, y) for x in range(22) for y in range(22)]
        e.send("START 22", *["PLAY %d,%d" % c for c in cells])
        self.expect(e, NEW_GAME + ["%d,%d" % c for c in cells])
        e.send("PLAY 0,0", "TAKEBACK 21,21", "PLAY 21,21", "PLAY 21,21", "BOARD", "21,21,3", "0,0,2", "DONE")
        self.expect(e, [own_error(0, 0), "0,0", "OK", "21,21", own_error(21, 21), "21,21"])
        self.expect(e, [block_error(21, 21), opponent_error(0, 0), RULE_LINE[FREESTYLE]])
        # No empty cell is left: the engine passes, and its move line says
        # "no move" in both coordinates.
        self.assertRegex(e.read_line(), SPEED_RE)
        self.expect(e, ["MESSAGE pass", "-1,-1"])
        self.finish(e)

    def test_full_board_passes_in_every_threat_search_mode(self):
        # The threat modes keep root moves of their own (the guard remembers
        # the last best move that passed): a board with no empty cell gives
        # them none, and the reply is still a pass.
        stones = ["%d,%d,%d" % (x, y, 1 + (3 * x + y) % 2) for x in range(3) for y in range(3)]
        for mode in range(5):
            e = self.engine()
            e.send("START 3", FAST, "INFO threat_search %d" % mode, "BOARD", *stones, "DONE")
            self.expect(e, NEW_GAME + [RULE_LINE[FREESTYLE]])
            self.assertRegex(e.read_line(), SPEED_RE)
            self.expect(e, ["MESSAGE pass", "-1,-1"])
            self.finish(e)


# ---------------------------------------------------------------------------
# INFO settings and rules.


class SettingsTest(ProtocolCase):
    def test_rule_line_once_per_game(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO rule 1", FAST, "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=STANDARD)
        x, y = p.empty_cells()[0]
        p.play(x, y)
        e.send("TURN %d,%d" % (x, y))
        self.expect_think(e, p)
        # An empty board is answered without a search and without a rule line.
        e.send("START 15", "BEGIN")
        self.expect(e, NEW_GAME)
        p = Position(15)
        self.expect_think(e, p, searched=False, move=(7, 7))
        e.send("TURN 0,0")
        p.play(0, 0)
        self.expect_think(e, p, rule_line=STANDARD)
        self.finish(e)

    def test_rule_values(self):
        cases = [
            ("0", FREESTYLE),
            ("1", STANDARD),
            ("2", RENJU),
            ("3", STANDARD),
            ("4", RENJU),
            ("5", RENJU),
            ("6", RENJU),
            ("7", RENJU),
            ("8", FREESTYLE),
            ("9", STANDARD),
            ("-1", RENJU),
            ("abc", FREESTYLE),
        ]
        e = self.engine()
        e.send("INFO timeout_turn 100")
        for value, rule in cases:
            with self.subTest(value=value):
                # Free style while the game starts, so that the board is not
                # built at once; the rule is announced by the think.
                e.send("INFO rule 0", "START 15", "PLAY 7,7", "info RULE %s" % value, "BEGIN")
                self.expect(e, NEW_GAME + ["7,7"])
                p = Position(15, rule=rule)
                p.play(7, 7)
                self.expect_think(e, p, rule_line=rule)
        self.finish(e)

    def test_renju_game_builds_its_board_silently(self):
        e = self.engine()
        p = Position(15, rule=RENJU)
        e.send("INFO rule 2", FAST, "START 15", "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        # Built at START already, so no rule line; and a manager that never
        # asks for the forbidden cells gets plain replies.
        self.expect_think(e, p)
        for _ in range(3):
            x, y = p.empty_cells()[0]
            p.play(x, y)
            e.send("TURN %d,%d" % (x, y))
            self.expect_think(e, p)
        # Back to free style: announced by the next think.
        e.send("INFO rule 0", "BEGIN")
        p.rule = FREESTYLE
        self.expect_think(e, p, rule_line=FREESTYLE)
        # Renju again: a board command rebuilds at once and silently ...
        x, y = p.empty_cells()[0]
        p.play(x, y)
        p.rule = RENJU
        e.send("INFO rule 2", "TURN %d,%d" % (x, y))
        self.expect_think(e, p)
        # ... a think alone announces the change.
        e.send("INFO rule 1", "BEGIN")
        p.rule = STANDARD
        self.expect_think(e, p, rule_line=STANDARD)
        e.send("INFO rule 2", "BEGIN")
        p.rule = RENJU
        self.expect_think(e, p, rule_line=RENJU)
        self.finish(e)

    def test_renju_draw_notice(self):
        # Only the five cells x = 0 ... 4 of row y = 0 are free of blocks,
        # and Black holds 0,0: once White has moved there, no five can be made.
        for rule in (RENJU, FREESTYLE, STANDARD):
            with self.subTest(rule=rule):
                e = self.engine()
                p = Position(15, rule=rule)
                lines = []
                for x in range(15):
                    for y in range(15):
                        if y > 0 or x > 4:
                            lines.append("%d,%d,3" % (x, y))
                            p.block(x, y)
                p.play(0, 0)
                e.send("INFO rule %d" % rule, "START 15", FAST, "BOARD", *lines, "0,0,2", "DONE")
                self.expect(e, NEW_GAME)
                self.expect_think(e, p, rule_line=False if rule == RENJU else rule)
                self.assertEqual(p.five_still_possible(), False)
                # expect_think has read the notice under Renju; none otherwise.
                self.finish(e)

    def test_silent_info_keys(self):
        e = self.engine()
        p = Position(15)
        e.send(
            "START 15",
            "INFO max_memory 83886080",
            "INFO timeout_match 1000",
            "INFO game_type 1",
            "INFO folder /tmp/some folder",
            "INFO evaluate 7,7",
            "INFO max_memory",
            "INFO",
            "INFO rule",
            "INFO rule 1",
            "INFO rulex 2",
            "ABOUT",
        )
        self.expect(e, NEW_GAME + [ABOUT_LINE])
        # None of these touched the rule beyond "INFO rule 1" ("rulex 2" is
        # the key rule with the value "x 2", which is 0: free style).
        e.send(FAST, "TURN 7,7")
        p.play(7, 7)
        self.expect_think(e, p, rule_line=FREESTYLE)
        self.finish(e)

    def test_timeout_turn_sets_the_time_per_move(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "info TIMEOUT_TURN 300")
        self.expect(e, NEW_GAME)
        p.play(7, 7)
        _, seconds = self.timed_think(e, "TURN 7,7", p, rule_line=FREESTYLE)
        self.assertLess(seconds, 10.0)  # the default would search for 30 s
        self.finish(e)

    def test_zero_or_negative_timeout_turn_still_moves_at_once(self):
        e = self.engine()
        p = Position(15)
        # A first think builds the board, which is not part of the move's time.
        e.send("START 15", FAST, "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=FREESTYLE)
        for value in ("abc", "0", "-5", "-99999999999999999999"):
            with self.subTest(value=value):
                e.send("INFO timeout_turn " + value)
                x, y = p.empty_cells()[len(p.record) * 7 % 50]
                p.play(x, y)
                _, seconds = self.timed_think(e, "TURN %d,%d" % (x, y), p)
                self.assertLess(seconds, 2.0)
        self.finish(e)

    def test_huge_time_left_saturates(self):
        # Saturated at 2147483647, not wrapped: with one stone on the board
        # nothing ends the search before timeout_turn. A wrapped or negative
        # budget would answer at once.
        e = self.engine()
        e.send("INFO timeout_turn 800")
        for value in ("99999999999999999999", "4294967296", "2147483648"):
            with self.subTest(time_left=value):
                e.send("INFO time_left " + value, "START 15")
                self.expect(e, NEW_GAME)
                p = Position(15)
                p.play(7, 7)
                _, seconds = self.timed_think(e, "TURN 7,7", p, rule_line=FREESTYLE)
                self.assertGreater(seconds, 0.4)
                self.assertLess(seconds, 8.0)
        self.finish(e)

    def test_small_or_negative_time_left_still_moves(self):
        e = self.engine()
        p = Position(15)
        e.send("START 15", "INFO timeout_turn 600", "TURN 7,7")
        p.play(7, 7)
        self.expect(e, NEW_GAME)
        self.expect_think(e, p, rule_line=FREESTYLE)
        for value in ("-99999999999999999999", "-1", "0", "1"):
            with self.subTest(time_left=value):
                e.send("INFO time_left " + value)
                x, y = p.empty_cells()[len(p.record) * 7 % 50]
                p.play(x, y)
                _, seconds = self.timed_think(e, "TURN %d,%d" % (x, y), p)
                self.assertLess(seconds, 2.0)
        self.finish(e)


# ---------------------------------------------------------------------------
# Running the cases side by side.


class _LockedResult(unittest.TextTestResult):
    """A text result that several threads may report to."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._lock = threading.RLock()

    def startTest(self, test):
        # With -v, print each test's name together with its status, so that
        # lines of tests running side by side do not mix.
        if self.showAll and hasattr(self, "_write_status"):
            with self._lock:
                unittest.TestResult.startTest(self, test)
                self._newline = True
        else:
            with self._lock:
                super().startTest(test)

    def _locked(name):
        def method(self, *args, **kwargs):
            with self._lock:
                return getattr(super(_LockedResult, self), name)(*args, **kwargs)

        return method

    for _name in (
        "stopTest",
        "addSuccess",
        "addFailure",
        "addError",
        "addSkip",
        "addSubTest",
        "addExpectedFailure",
        "addUnexpectedSuccess",
    ):
        locals()[_name] = _locked(_name)
    del _name, _locked


class _Runner(unittest.TextTestRunner):
    resultclass = _LockedResult


class _ParallelSuite(unittest.TestSuite):
    def run(self, result, debug=False):
        tests = []

        def flatten(suite):
            for test in suite:
                if isinstance(test, unittest.TestSuite):
                    flatten(test)
                else:
                    tests.append(test)

        flatten(self)
        jobs = int(os.environ.get("RUVAN_PROTOCOL_JOBS", "4"))
        with concurrent.futures.ThreadPoolExecutor(max(jobs, 1)) as pool:
            for future in [pool.submit(test, result) for test in tests]:
                future.result()
        return result


def main():
    global BINARY
    if len(sys.argv) < 2:
        sys.exit("usage: test_protocol.py /path/to/ruvan [unittest options]")
    BINARY = os.path.abspath(sys.argv.pop(1))
    if not os.access(BINARY, os.X_OK):
        sys.exit("not an executable: " + BINARY)
    loader = unittest.TestLoader()
    loader.suiteClass = _ParallelSuite
    unittest.main(testLoader=loader, testRunner=_Runner)


if __name__ == "__main__":
    main()
