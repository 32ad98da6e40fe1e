#!/usr/bin/env python3
"""Ruvan's own value before each of its moves in the games of an SGF file that
c-gomoku-cli wrote: where a lost game turned, and whether a longer search
would have seen it.

Each position where the named player was to move is set up afresh (RESTART,
then BOARD with the stones in the order played) and searched to a fixed node
count; the line printed per game holds `ply:value` for each such position,
the value being the last `eval` of the engine's analysis lines for the side
to move, with `*` where the search chose another move than the one played.

Run as: tools/value_trajectory.py ENGINE GAMES.sgf [--name ruvan] [--nodes N]
        [--all] [--plies 10,20,30 --game G]
"""

import argparse
import re
import subprocess
import sys

GAME = re.compile(r"\(;FF.*?\)\s*(?=\(;FF|\Z)", re.S)
MOVE = re.compile(r";([BW])\[([a-z])([a-z])\](?:C\[([^\]]*)\])?")


def read_games(text):
    """The games of an SGF text: dicts with black, white, result ('B', 'W' or
    None), rule, size, moves [(colour, x, y)], x being the first letter, and
    the count of opening moves (those commented "opening move"), which
    neither player chose."""
    games = []
    for g in GAME.findall(text):
        def prop(key, default=""):
            m = re.search(r"\b" + key + r"\[([^\]]*)\]", g)
            return m.group(1) if m else default
        result = prop("RE")
        moves = MOVE.findall(g)
        games.append({
            "black": prop("PB"), "white": prop("PW"),
            "result": result[0] if result[:2] in ("B+", "W+") else None,
            "rule": int(prop("RU", "0") or 0), "size": int(prop("SZ", "15") or 15),
            "moves": [(c, ord(x) - 97, ord(y) - 97) for c, x, y, _ in moves],
            "opening": sum(1 for *_, comment in moves if comment == "opening move"),
        })
    return games


class Engine:
    """One engine process, kept for every position of a game."""

    def __init__(self, command, size, rule, nodes):
        self.proc = subprocess.Popen(command.split(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, bufsize=1)
        self.send("START %d" % size)
        self.wait_ok()
        for line in ("INFO rule %d" % rule, "INFO max_node %d" % nodes, "INFO timeout_turn 600000"):
            self.send(line)

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait_ok(self):
        for line in self.proc.stdout:
            if line.strip() == "OK":
                return
        raise RuntimeError("the engine ended before OK")

    def value(self, moves):
        """The engine's last value and its move for the position after moves."""
        self.send("RESTART")
        self.wait_ok()
        me = "B" if len(moves) % 2 == 0 else "W"
        self.send("BOARD")
        for colour, x, y in moves:
            self.send("%d,%d,%d" % (x, y, 1 if colour == me else 2))
        self.send("DONE")
        value = None
        for line in self.proc.stdout:
            line = line.strip()
            m = re.match(r"MESSAGE depth \d+ eval (\S+)", line)
            if m:
                value = m.group(1)
            elif re.fullmatch(r"\d+,\d+", line):
                return value, line
        raise RuntimeError("the engine ended before its move")

    def close(self):
        self.send("END")
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        self.proc.stdin.close()
        self.proc.stdout.close()


def trajectory(engine, game, name, nodes, plies=None):
    """`ply:value` of every position (or of the given plies) where name was to move."""
    colour = "B" if game["black"] == name else "W"
    moves = game["moves"]
    out = []
    eng = Engine(engine, game["size"], game["rule"], nodes)
    try:
        for i in range(game["opening"], len(moves)):
            to_move = "B" if i % 2 == 0 else "W"
            if to_move != colour or (plies is not None and i not in plies):
                continue
            value, move = eng.value(moves[:i])
            played = "%d,%d" % moves[i][1:]
            out.append("%d:%s%s" % (i, value, "" if move == played else "*"))
    finally:
        eng.close()
    return colour, out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("engine")
    ap.add_argument("sgf")
    ap.add_argument("--name", default="ruvan", help="the player whose moves are searched again")
    ap.add_argument("--nodes", type=int, default=100000)
    ap.add_argument("--all", action="store_true", help="every game, not only those the player lost")
    ap.add_argument("--game", type=int, help="only game G (counted from 1)")
    ap.add_argument("--plies", help="only these plies, comma separated")
    args = ap.parse_args(argv)
    plies = {int(p) for p in args.plies.split(",")} if args.plies else None
    with open(args.sgf) as f:
        games = read_games(f.read())
    for number, game in enumerate(games, 1):
        if args.name not in (game["black"], game["white"]):
            continue
        if args.game is not None and number != args.game:
            continue
        ours = "B" if game["black"] == args.name else "W"
        lost = game["result"] is not None and game["result"] != ours
        if not (args.all or args.game is not None or lost):
            continue
        colour, out = trajectory(args.engine, game, args.name, args.nodes, plies)
        print("game %d %s %s result %s plies %d: %s" % (number, args.name, colour, game["result"] or "draw",
                                                        len(game["moves"]), " ".join(out)), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
