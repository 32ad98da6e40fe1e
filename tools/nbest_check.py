#!/usr/bin/env python3
"""Does YXNBEST 3 agree with separate searches that exclude the earlier moves?

Usage: tools/nbest_check.py ENGINE [--positions N] [--depth D] [--plies P]

Middle-game positions come from the engine's own games: each opening of
tools/openings/openings15.txt is played on by the engine against itself at
depth 4 for P more plies. On each position a fresh process runs YXNBEST 3 at
max_depth D; then, each in a fresh process, YXNBEST 1 with the moves of the
earlier lines blocked (YXBLOCK) is asked for lines 2 and 3, and plain
YXNBEST 1 for line 1. Counts the positions whose three moves are distinct,
and those whose moves agree with the separate searches, line by line.
"""

import argparse
import os
import re
import subprocess
import sys

LINE_RE = re.compile(r"MESSAGE \((\d+)\) \S+ \| \d+-\d+ \| (\d+,\d+)")


def session(engine, lines):
    """Sends the lines, reads up to the answer of the last (a think), then
    ends the process: an END sent at once would stop that think."""
    p = subprocess.Popen([engine], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         text=True, bufsize=1)
    p.stdin.write("\n".join(lines) + "\n")
    p.stdin.flush()
    out = []
    for line in p.stdout:
        out.append(line.rstrip("\n"))
        if re.match(r"-?\d+,-?\d+\Z", out[-1]):
            break
    p.stdin.write("END\n")
    p.stdin.close()
    p.wait(60)
    return out


def board(stones):
    own = len(stones) % 2   # the side to move owns the stones of its parity
    return ["YXBOARD"] + ["%d,%d,%d" % (x, y, 1 if i % 2 == own else 2) for i, (x, y) in enumerate(stones)] + ["DONE"]


def best_lines(engine, stones, depth, count, blocked=()):
    lines = ["START 15", "INFO max_depth %d" % depth, "INFO timeout_turn 60000"] + board(stones)
    if blocked:
        lines += ["YXBLOCK"] + ["%d,%d" % c for c in blocked] + ["DONE"]
    lines += ["YXNBEST %d" % count]
    found = [tuple(map(int, m.group(2).split(","))) for m in map(LINE_RE.match, session(engine, lines)) if m]
    return found


def middle_game(engine, opening, plies):
    stones = list(opening)
    for _ in range(plies):
        lines = ["START 15", "INFO max_depth 4", "INFO timeout_turn 60000"] + board(stones) + ["YXNBEST 1"]
        out = [l for l in session(engine, lines) if re.match(r"\d+,\d+\Z", l)]
        stones.append(tuple(map(int, out[-1].split(","))))
    return stones


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("engine")
    ap.add_argument("--positions", type=int, default=20)
    ap.add_argument("--depth", type=int, default=6)
    ap.add_argument("--plies", type=int, default=12)
    args = ap.parse_args()
    engine = os.path.abspath(args.engine)
    book = os.path.join(os.path.dirname(os.path.abspath(__file__)), "openings", "openings15.txt")
    openings = [[tuple(map(int, c.split(","))) for c in l.split()] for l in open(book) if l[0].isdigit()]
    distinct = agree_all = 0
    agree_line = [0, 0, 0]
    for i in range(args.positions):
        stones = middle_game(engine, openings[i], args.plies)
        nbest = best_lines(engine, stones, args.depth, 3)
        separate = [best_lines(engine, stones, args.depth, 1, nbest[:k])[:1] for k in range(3)]
        separate = [s[0] if s else None for s in separate]
        ok3 = len(nbest) == 3 and len(set(nbest)) == 3
        distinct += ok3
        same = [k < len(nbest) and nbest[k] == separate[k] for k in range(3)]
        for k in range(3):
            agree_line[k] += same[k]
        agree_all += all(same)
        print("position %2d (%d stones): nbest %s  separate %s  %s" %
              (i + 1, len(stones), nbest, separate, "agree" if all(same) else "differ"), flush=True)
    n = args.positions
    print("three distinct moves: %d / %d; all three agree: %d / %d; by line: %d, %d, %d of %d" %
          (distinct, n, agree_all, n, agree_line[0], agree_line[1], agree_line[2], n))
    return 0


if __name__ == "__main__":
    sys.exit(main())
