#!/usr/bin/env python3
"""How late a fresh engine process answers its first moves.

Usage: tools/reply_latency.py ENGINE [--runs N] [--turn-ms T] [--case C] [--rule R]

Each run starts a new process and times a reply as a manager times it: from
the moment the command (or the whole BOARD block) is written to the moment
the move line is read. The cases are the first moments of a game that cost
the most:

  middle   START 15, the time limit and the rule, then at once a BOARD block
           of a middle game (14 stones, an open fight, so the engine uses its
           whole turn);
  begin    START 15, BEGIN, and at once after its move TURN 8,8, which is
           timed;
  renju    START 20, INFO rule 4 (a rule change the first think must build
           its tables for), then a BOARD block of three stones.

Prints every run's time minus timeout_turn at the end as a summary: the
largest, the mean and how many came after the limit.
"""

import argparse
import os
import subprocess
import sys
import time

# A middle game on 15 x 15 from an engine game, 14 stones, Black to move; an
# open fight, so the engine uses its whole turn.
MIDDLE_GAME = [
    (8, 7), (6, 7), (9, 5), (7, 8), (8, 6), (6, 8), (10, 4), (11, 3), (8, 8), (8, 5), (7, 6), (9, 6), (5, 6),
    (5, 7),
]
RENJU_OPENING = [(10, 10), (11, 10), (11, 11)]


def board_block(stones):
    """A BOARD block with the engine to move: its stones are those of the
    side whose turn it is (the even ones when the count is even)."""
    mine = len(stones) % 2
    lines = ["BOARD"] + ["%d,%d,%d" % (x, y, 1 if i % 2 == mine else 2) for i, (x, y) in enumerate(stones)]
    return ("\n".join(lines + ["DONE"]) + "\n").encode()


def read_move(out, p):
    while True:
        line = out.readline().decode().strip()
        if not line:
            p.kill()
            raise RuntimeError("no move")
        if not line.startswith("MESSAGE") and "," in line:
            return line


def one_run(engine, turn_ms, case, rule):
    p = subprocess.Popen([engine], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         bufsize=0)
    out = p.stdout
    if case == "middle":
        p.stdin.write(("START 15\nINFO timeout_turn %d\nINFO rule %d\n" % (turn_ms, rule)).encode())
        timed = board_block(MIDDLE_GAME)
    elif case == "renju":
        p.stdin.write(("START 20\nINFO timeout_turn %d\nINFO rule 4\n" % turn_ms).encode())
        timed = board_block(RENJU_OPENING)
    else:
        p.stdin.write(("START 15\nINFO timeout_turn %d\nINFO rule %d\nBEGIN\n" % (turn_ms, rule)).encode())
        timed = b"TURN 8,8\n"
    # The greeting and OK come first; wait for them (and for BEGIN's move)
    # so that the command is timed alone, as a manager times the move it
    # asked for.
    for _ in range(2):
        out.readline()
    if case == "begin":
        read_move(out, p)
    sent = time.monotonic()
    p.stdin.write(timed)
    read_move(out, p)
    took = time.monotonic() - sent
    p.stdin.write(b"END\n")
    p.wait(10)
    return took * 1000


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("engine")
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--turn-ms", type=int, default=1000)
    ap.add_argument("--case", choices=("middle", "begin", "renju"), default="middle")
    ap.add_argument("--rule", type=int, default=0)
    args = ap.parse_args()
    over = []
    for i in range(args.runs):
        ms = one_run(os.path.abspath(args.engine), args.turn_ms, args.case, args.rule)
        over.append(ms - args.turn_ms)
    late = sum(1 for d in over if d > 0)
    print("case %s  runs %d  turn %d ms  reply - turn: max %+.1f ms  mean %+.1f ms  min %+.1f ms  late %d" %
          (args.case, len(over), args.turn_ms, max(over), sum(over) / len(over), min(over), late))
    return 0


if __name__ == "__main__":
    sys.exit(main())
