#!/usr/bin/env python3
"""Whole games between Gomocup brains, judged by a referee of our own.

The referee (referee.py) knows the three rules without asking any engine, and
shares no code with it, so a fault in the engine's rule tables shows up as a
disagreement instead of being copied.

Engines are driven through the protocol exactly as a game manager drives them:
INFO, START or RECTSTART, then BEGIN, TURN or BOARD blocks, and END. Every
reply is checked (a move on an empty cell of the board, nothing but MESSAGE
lines around it, and the DEBUG lines the protocol also allows) and timed from the moment the command was written until the
move line arrives.

As a tool:

    tools/play_match.py build/release/ruvan [other-engine] --rule 2 --size 15 \
        --games 10 --timeout-turn 100

plays a match (colours alternate, openings drawn from --seed) and prints every
game record and the score. With one engine it plays itself.
"""

import argparse
import os
import queue
import random
import re
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True   # importing the referee leaves no __pycache__ in tools/
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from referee import (BLACK, COLOUR_NAMES, EMPTY, FREESTYLE, RENJU, RULE_NAMES,  # noqa: E402,F401
                     STANDARD, WHITE, IllegalMove, Referee)

MOVE_LINE = re.compile(r"^(-?\d+),(-?\d+)$")
# Lines a brain may print for people around its replies: notices, and the
# DEBUG lines some brains (the reference manager's own among them) write.
INFORMATIVE = ("MESSAGE", "DEBUG")


class ProtocolError(Exception):
    pass


# ---------------------------------------------------------------------------
# Engine process


class Engine:
    """One brain process. Lines are read by a thread and time-stamped there,
    so a reply's time is measured when it arrives, not when we look."""

    def __init__(self, command, name=None):
        self.command = command if isinstance(command, list) else [command]
        self.name = name or os.path.basename(self.command[0])
        self.proc = subprocess.Popen(self.command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.stderr = []
        self.transcript = []
        self.readers = [threading.Thread(target=self._pump, args=(self.proc.stdout, self.lines), daemon=True),
                        threading.Thread(target=self._drain_stderr, daemon=True)]
        for reader in self.readers:
            reader.start()

    @staticmethod
    def _pump(stream, sink):
        for line in stream:
            sink.put((time.monotonic(), line.rstrip("\r\n")))
        sink.put((time.monotonic(), None))

    def _drain_stderr(self):
        for line in self.proc.stderr:
            self.stderr.append(line)

    def send(self, *lines):
        """Writes the lines and returns the time the last one was flushed."""
        for line in lines:
            self.transcript.append("> " + line)
            self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return time.monotonic()

    def next_line(self, deadline):
        remaining = deadline - time.monotonic()
        try:
            stamp, line = self.lines.get(timeout=max(remaining, 0.0))
        except queue.Empty:
            raise ProtocolError("%s: no reply within the time limit" % self.name) from None
        if line is None:
            raise ProtocolError("%s: the engine closed its output" % self.name)
        self.transcript.append("< " + line)
        return stamp, line

    def await_ok(self, limit=30.0):
        deadline = time.monotonic() + limit
        while True:
            _, line = self.next_line(deadline)
            if line == "OK":
                return
            # MESSAGE lines, and the empty line that ends the Renju draw
            # notice of the previous move, may come first.
            if not (line.startswith(INFORMATIVE) or line == ""):
                raise ProtocolError("%s: expected OK, got %r" % (self.name, line))

    def await_move(self, sent_at, limit):
        """Reads up to the move line; returns (x, y, seconds since sent_at).
        MESSAGE and DEBUG lines and the empty line after the Renju draw
        notice are allowed around it; anything else is a protocol fault."""
        deadline = sent_at + limit
        while True:
            stamp, line = self.next_line(deadline)
            match = MOVE_LINE.match(line)
            if match:
                return int(match.group(1)), int(match.group(2)), stamp - sent_at
            if line.startswith(INFORMATIVE) or line == "":
                continue
            raise ProtocolError("%s: unexpected reply %r" % (self.name, line))

    def new_game(self, rule, width, height, timeout_turn, time_left):
        self.send("INFO timeout_turn %d" % timeout_turn, "INFO time_left %d" % time_left,
                  "INFO rule %d" % rule,
                  "START %d" % width if width == height else "RECTSTART %d,%d" % (width, height))
        self.await_ok()

    def close(self, limit=10.0):
        """Sends END and waits for the process; returns its exit code."""
        try:
            self.send("END")
            self.proc.stdin.close()
        except (BrokenPipeError, OSError):
            pass
        try:
            code = self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            self.kill()
            raise ProtocolError("%s: did not exit within %.0f s after END" % (self.name, limit)) from None
        self._release()
        return code

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._release()

    def _release(self):
        # The readers see end of file once the process is gone; after them
        # nothing is left to read, and no pipe stays open behind us. A stream
        # whose reader still waits is left open: its far end is held by some
        # other process (wine's background programs inherit the engine's pipes
        # when they start with it), and closing a buffered stream takes the
        # lock its reader holds, so the close would block for as long as that
        # process lives. The daemon reader ends with us.
        for reader in self.readers:
            reader.join(timeout=5)
        stdout_reader, stderr_reader = self.readers
        for stream, reader in ((self.proc.stdin, None), (self.proc.stdout, stdout_reader),
                               (self.proc.stderr, stderr_reader)):
            if reader is not None and reader.is_alive():
                continue
            try:
                stream.close()
            except (OSError, ValueError):
                pass


# ---------------------------------------------------------------------------
# Games


class GameResult:
    """How one game went: its moves (opening included), how it ended, and
    the time of every engine reply."""

    def __init__(self, rule, width, height):
        self.rule, self.width, self.height = rule, width, height
        self.moves = []
        self.final_diagram = ""
        self.outcome = None        # "five", "foul", "draw", "cap"
        self.winner = None         # BLACK, WHITE or None
        self.reply_times = []      # (seconds, colour, ply) of every engine move
        self.opening = 0           # number of moves given, not played
        self.missed = []           # engine moves that ignored a five (see play_game)
        self.missed_when_lost = []   # those of them made against two or more five points
        self.blocks = []

    def record(self):
        return " ".join("%d,%d" % m for m in self.moves)

    def summary(self):
        if self.outcome == "five":
            end = "%s wins by five" % COLOUR_NAMES[self.winner]
        elif self.outcome == "foul":
            end = "Black fouls, %s wins" % COLOUR_NAMES[self.winner]
        elif self.outcome == "draw":
            end = "draw, board full"
        else:
            end = "stopped at the move cap"
        return "%s %dx%d, %d moves: %s" % (RULE_NAMES[self.rule], self.width, self.height, len(self.moves), end)


def random_opening(rng, width, height, count):
    """`count` distinct cells within two of the centre. Four stones or fewer
    can hold neither a five nor a Renju foul, so any such opening is legal."""
    cx, cy = width // 2, height // 2
    cells = [(x, y) for x in range(cx - 2, cx + 3) for y in range(cy - 2, cy + 3)
             if 0 <= x < width and 0 <= y < height]
    return rng.sample(cells, min(count, 4, len(cells)))


def _board_block(moves, colour, blocks=()):
    return ["%d,%d,3" % cell for cell in blocks] + [
        "%d,%d,%d" % (x, y, 1 if (i % 2 + 1) == colour else 2) for i, (x, y) in enumerate(moves)]


def play_game(black, white, rule, width, height, timeout_turn=100, time_left=100000000, opening=(),
              move_cap=None, reply_limit=10.0, board_mode=False, blocks=()):
    """Plays one game and returns its GameResult.

    `black` and `white` are Engine objects (the same one for both colours
    plays itself). The opening moves are given to the first engine to move in
    a BOARD block. With board_mode, every move is asked for with RESTART and a
    BOARD block holding the whole game; otherwise each engine hears the other's
    moves with TURN. `blocks` are cells blocked for the whole game; an engine
    hears of them in the BOARD block (who 3) that first asks it for a move.
    Raises IllegalMove or ProtocolError on a faulty reply; the exception's
    `result` holds the game up to the fault."""
    referee = Referee(rule, width, height, blocks)
    result = GameResult(rule, width, height)
    result.opening = len(opening)
    result.blocks = list(referee.blocks)
    try:
        _play(result, referee, black, white, timeout_turn, time_left, opening, move_cap, reply_limit,
              board_mode)
    except (IllegalMove, ProtocolError) as fault:
        result.final_diagram = referee.diagram()
        fault.result = result
        raise
    return result


def _play(result, referee, black, white, timeout_turn, time_left, opening, move_cap, reply_limit, board_mode):
    rule, width, height, blocks = referee.rule, referee.width, referee.height, referee.blocks
    engines = {BLACK: black, WHITE: white}
    for engine in {id(black): black, id(white): white}.values():
        engine.new_game(rule, width, height, timeout_turn, time_left)
    for x, y in opening:
        state = referee.play(x, y)
        if state is not None:
            raise ValueError("the opening already ends the game")
    known = {BLACK: 0, WHITE: 0}
    cap = move_cap or width * height
    while True:
        colour = referee.to_move()
        engine = engines[colour]
        moves = referee.moves
        if board_mode:
            if moves:
                engine.send("RESTART")
                engine.await_ok()
            if moves or blocks:
                sent = engine.send("BOARD", *_board_block(moves, colour, blocks), "DONE")
            else:
                sent = engine.send("BEGIN")
        elif black is white and known[colour] == len(moves) and moves:
            sent = engine.send("BEGIN")
        elif known[colour] == 0 and (len(moves) >= 2 or blocks):
            sent = engine.send("BOARD", *_board_block(moves, colour, blocks), "DONE")
        elif len(moves) - known[colour] == 1:
            sent = engine.send("TURN %d,%d" % moves[-1])
        elif not moves:
            sent = engine.send("BEGIN")
        else:
            raise AssertionError("engine out of step with the game")
        own_fives, their_fives = referee.five_cells(colour), referee.five_cells(colour ^ 3)
        x, y, seconds = engine.await_move(sent, reply_limit)
        result.reply_times.append((seconds, colour, len(moves)))
        # A five in hand is always played, and the opponent's five is always
        # blocked when there is no own five, unless every block is a Renju
        # foul for Black.
        if own_fives and (x, y) not in own_fives:
            result.missed.append("ply %d: %d,%d leaves the five at %s" % (len(moves), x, y, sorted(own_fives)))
        elif not own_fives and their_fives and (x, y) not in their_fives and not (
                colour == BLACK and all(referee.is_foul(*cell) for cell in their_fives)):
            result.missed.append("ply %d: %d,%d does not stop the five at %s" % (len(moves), x, y, sorted(their_fives)))
            if len(their_fives) >= 2:
                # Two five points cannot both be stopped: the game was lost
                # before this move, whatever it was.
                result.missed_when_lost.append(result.missed[-1])
        try:
            state = referee.play(x, y)
        finally:
            result.moves = list(referee.moves)
        known[colour] = len(referee.moves)
        if black is white:
            known[colour ^ 3] = known[colour]
        if state == "five":
            result.outcome, result.winner = "five", colour
            break
        if state == "foul":
            result.outcome, result.winner = "foul", WHITE
            break
        if state == "draw":
            result.outcome = "draw"
            break
        if len(referee.moves) >= cap:
            result.outcome = "cap"
            break
    result.final_diagram = referee.diagram()


# ---------------------------------------------------------------------------
# Command line


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("engines", nargs="+", help="one engine (self-play) or two")
    parser.add_argument("--rule", type=int, default=0, choices=(0, 1, 2))
    parser.add_argument("--size", default="15", help="N for N x N, or WxH")
    parser.add_argument("--games", type=int, default=2)
    parser.add_argument("--timeout-turn", type=int, default=100)
    parser.add_argument("--time-left", type=int, default=100000000)
    parser.add_argument("--opening", type=int, default=2, help="random stones before the engines play")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--move-cap", type=int, default=0)
    parser.add_argument("--board-mode", action="store_true", help="ask every move with RESTART and BOARD")
    args = parser.parse_args(argv)
    if len(args.engines) > 2:
        parser.error("at most two engines")
    width, _, height = args.size.partition("x")
    width = int(width)
    height = int(height or width)
    rng = random.Random(args.seed)

    players = [Engine(args.engines[0], "A")]
    players.append(Engine(args.engines[1], "B") if len(args.engines) == 2 else players[0])
    score = {"A": 0.0, "B": 0.0}
    slowest = 0.0
    try:
        for game in range(args.games):
            # Each opening is played twice with colours swapped.
            if game % 2 == 0:
                opening = random_opening(rng, width, height, args.opening)
            first, second = (players[0], players[1]) if game % 2 == 0 else (players[1], players[0])
            black, white = (first, second) if len(opening) % 2 == 0 else (second, first)
            result = play_game(black, white, args.rule, width, height, args.timeout_turn, args.time_left,
                               opening, args.move_cap or None, board_mode=args.board_mode)
            slowest = max([slowest] + [t for t, _, _ in result.reply_times])
            if result.winner is not None:
                score[(black if result.winner == BLACK else white).name] += 1
            elif len(args.engines) == 2:
                score["A"] += 0.5
                score["B"] += 0.5
            print("game %d (%s Black): %s" % (game + 1, black.name, result.summary()))
            print("  " + result.record())
    finally:
        for engine in {id(p): p for p in players}.values():
            engine.close()
    if len(args.engines) == 2:
        print("score A %.1f : B %.1f" % (score["A"], score["B"]))
    print("slowest reply %.0f ms (timeout_turn %d ms)" % (slowest * 1000, args.timeout_turn))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
