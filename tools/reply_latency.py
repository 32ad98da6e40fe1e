#!/usr/bin/env python3
"""How late a fresh engine process answers its first move.

Usage: tools/reply_latency.py ENGINE [--runs N] [--turn-ms T] [--rule R]

Each run starts a new process, sends START 15, the time limit and the rule,
then at once a BOARD block of a middle game (14 stones), as a manager does
for a brain it has just started. The reply time is taken as a manager takes
it: from the moment the block is written to the moment the move line is read.
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


def one_run(engine, turn_ms, rule):
    p = subprocess.Popen([engine], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         bufsize=0)
    p.stdin.write(("START 15\nINFO timeout_turn %d\nINFO rule %d\n" % (turn_ms, rule)).encode())
    # Black to move: the engine is Black, so its stones are the even ones.
    lines = ["BOARD"] + ["%d,%d,%d" % (x, y, 1 if i % 2 == 0 else 2) for i, (x, y) in enumerate(MIDDLE_GAME)]
    block = ("\n".join(lines + ["DONE"]) + "\n").encode()
    out = p.stdout
    # The greeting and OK come first; wait for them so that the block is
    # timed alone, as a manager times the move it asked for.
    for _ in range(2):
        out.readline()
    sent = time.monotonic()
    p.stdin.write(block)
    while True:
        line = out.readline().decode().strip()
        if not line:
            p.kill()
            raise RuntimeError("no move")
        if not line.startswith("MESSAGE") and "," in line:
            took = time.monotonic() - sent
            break
    p.stdin.write(b"END\n")
    p.wait(10)
    return took * 1000


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("engine")
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--turn-ms", type=int, default=1000)
    ap.add_argument("--rule", type=int, default=0)
    args = ap.parse_args()
    over = []
    for i in range(args.runs):
        ms = one_run(os.path.abspath(args.engine), args.turn_ms, args.rule)
        over.append(ms - args.turn_ms)
    late = sum(1 for d in over if d > 0)
    print("runs %d  turn %d ms  reply - turn: max %+.1f ms  mean %+.1f ms  min %+.1f ms  late %d" %
          (len(over), args.turn_ms, max(over), sum(over) / len(over), min(over), late))
    return 0


if __name__ == "__main__":
    sys.exit(main())
