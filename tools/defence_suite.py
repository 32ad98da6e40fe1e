#!/usr/bin/env python3
"""How often an engine walks into a threat-sequence loss it could have avoided.

The positions come from `ruvan-threats defence` run over game records: in each
the side to move is in danger (the opponent, were he to move, has a proven win
by threes and fours), some replies still hold (the solver proves that no such
win is left) and the others lose (it proves one). The comment line above each
position lists the losing replies.

    tools/defence_suite.py games match.log > games.txt
    build/release/ruvan-threats defence games.txt > positions.txt
    tools/defence_suite.py run build/release/ruvan positions.txt --turn-ms 1000 \\
        --info 'threat_search 1'

turns the games of a harness log (tools/sprt.py --log) into the lines
ruvan-threats reads, finds the positions, and asks the engine for a move in every position (one process, START or RECTSTART
and a BOARD block each time) and prints, per rule and in all, how many of its
moves were among the losing replies. A reply that holds is no proof of a good
move: only sequence wins are looked for, so the count is a floor.
"""

import argparse
import os
import re
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from play_match import Engine  # noqa: E402
from referee import BLACK, RULE_NAMES, WHITE  # noqa: E402
from sprt import WIRE_RULE, board_block  # noqa: E402

COMMENT = re.compile(r"^# .*losing((?: -?\d+,-?\d+)*)\s*$")
POSITION = re.compile(r"^(\d+) (\d+)x(\d+)((?: \d+,\d+)*)\s*$")


def read_positions(path):
    """The positions of a defence file, each once: (rule, width, height,
    moves, losing cells). A position reached by two games counts once."""
    positions, seen, losing = [], set(), None
    with open(path) as f:
        for line in f:
            comment = COMMENT.match(line)
            if comment:
                losing = {tuple(map(int, cell.split(","))) for cell in comment.group(1).split()}
                continue
            position = POSITION.match(line)
            if not position or losing is None:
                continue
            rule, width, height = (int(position.group(i)) for i in (1, 2, 3))
            moves = [tuple(map(int, cell.split(","))) for cell in position.group(4).split()]
            key = (rule, width, height, frozenset(moves[0::2]), frozenset(moves[1::2]))
            if key not in seen:
                seen.add(key)
                positions.append((rule, width, height, moves, losing))
            losing = None
    return positions


def log_games(paths):
    """The games of harness logs as lines "RULE WxH x,y x,y ...", the rule
    numbered as ruvan-threats numbers it."""
    numbers = {name: rule for rule, name in RULE_NAMES.items()}
    lines, rule, size = [], None, None
    for path in paths:
        with open(path) as f:
            for line in f:
                tag = re.match(r'\[(Rule|Size) "([^"]+)"\]', line)
                if tag:
                    if tag.group(1) == "Rule":
                        rule = numbers[tag.group(2)]
                    else:
                        size = tag.group(2)
                elif re.match(r"^\d+,\d+( |$)", line) and rule is not None:
                    lines.append("%d %s %s" % (rule, size, line.strip()))
    return lines


def ask(engine, rule, width, height, moves, turn_ms, info):
    engine.new_game(WIRE_RULE[rule], width, height, turn_ms, 1000000000)
    colour = BLACK if len(moves) % 2 == 0 else WHITE
    sent = engine.send(*(["INFO " + setting for setting in info] + ["BOARD"] + board_block(moves, colour) + ["DONE"]))
    x, y, _ = engine.await_move(sent, turn_ms / 1000.0 + 10.0)
    return x, y


def run(args):
    positions = read_positions(args.positions)
    engine = Engine(args.engine.split())
    counts = {}   # rule -> [positions, moves into a loss]
    try:
        for rule, width, height, moves, losing in positions:
            move = ask(engine, rule, width, height, moves, args.turn_ms, args.info)
            tally = counts.setdefault(rule, [0, 0])
            tally[0] += 1
            if move in losing:
                tally[1] += 1
            if args.verbose:
                print("%s %s: %d,%d %s" % (RULE_NAMES[rule], " ".join("%d,%d" % m for m in moves), move[0], move[1],
                                           "loses" if move in losing else "holds or unknown"))
    finally:
        engine.close()
    total = [sum(c[0] for c in counts.values()), sum(c[1] for c in counts.values())]
    for rule in sorted(counts):
        n, lost = counts[rule]
        print("rule %d %-9s %3d positions, %3d moves into a proven sequence loss (%.0f%%)"
              % (rule, RULE_NAMES[rule], n, lost, 100.0 * lost / n))
    print("all             %3d positions, %3d moves into a proven sequence loss (%.0f%%)"
          % (total[0], total[1], 100.0 * total[1] / max(total[0], 1)))
    return 0


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    games = commands.add_parser("games", help="print the games of harness logs for ruvan-threats")
    games.add_argument("logs", nargs="+")
    play = commands.add_parser("run", help="ask an engine for a move in every position")
    play.add_argument("engine", help="the engine (a command; arguments after spaces)")
    play.add_argument("positions", help="a file written by ruvan-threats defence")
    play.add_argument("--turn-ms", type=int, default=1000, help="INFO timeout_turn for each move")
    play.add_argument("--info", action="append", default=[], metavar="'KEY VALUE'",
                      help="an INFO setting sent before each position (repeatable)")
    play.add_argument("--verbose", action="store_true", help="print every position and move")
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    if args.command == "games":
        for line in log_games(args.logs):
            print(line)
        return 0
    return run(args)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
