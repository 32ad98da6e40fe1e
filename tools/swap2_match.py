#!/usr/bin/env python3
"""Games of Swap2 between two brains, counting what each side chose.

Usage: tools/swap2_match.py ENGINE_A ENGINE_B [--games N] [--turn-ms T] [--size S]

Each game starts both brains afresh (free style, S x S, timeout_turn T). The
opener (A in even games, B in odd ones) answers SWAP2BOARD on an empty board
with three stones; the other side answers the three-stone block with SWAP,
one White move, or two more stones, and after two more the opener answers
the five-stone block with SWAP or one White move. Then the game is played
out: the brain to move gets the whole position by RESTART and BOARD at every
move. A reply that is not of its form, names an occupied or
off-board cell, or does not come within 10 s loses the game and is counted.

Prints, per side, how often it chose each answer as chooser and as opener,
the wins by colour, and the score of A.
"""

import argparse
import collections
import queue
import subprocess
import sys
import threading
import time

PAIR_LIMIT = 10.0   # seconds a reply may take before it counts as none


class Brain:
    def __init__(self, command, size, turn_ms):
        self.p = subprocess.Popen([command], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, bufsize=0)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.send("START %d" % size, "INFO timeout_turn %d" % turn_ms, "INFO rule 0", "INFO timeout_match 0")
        self.until_ok()

    def _read(self):
        for raw in self.p.stdout:
            self.lines.put(raw.decode(errors="replace").rstrip("\r\n"))
        self.lines.put(None)

    def send(self, *lines):
        self.p.stdin.write(("\n".join(lines) + "\n").encode())

    def until_ok(self):
        while self.answer() not in ("OK", None):
            pass

    def answer(self):
        """The next line that is not a message."""
        deadline = time.monotonic() + PAIR_LIMIT
        while True:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                return None
            if line is None or not (line.startswith("MESSAGE") or line.startswith("DEBUG") or
                                    line.startswith("INFO") or line == ""):
                return line

    def close(self):
        try:
            self.send("END")
            self.p.wait(5)
        except Exception:
            self.p.kill()


def parse_cells(text, size):
    cells = []
    for part in (text or "").split():
        xy = part.split(",")
        if len(xy) != 2 or not all(v.strip().lstrip("-").isdigit() for v in xy):
            return None
        x, y = int(xy[0]), int(xy[1])
        if not (0 <= x < size and 0 <= y < size):
            return None
        cells.append((x, y))
    return cells


def five(stones, cell, size):
    x, y = cell
    for dx, dy in ((1, 0), (0, 1), (1, 1), (1, -1)):
        run = 1
        for sign in (1, -1):
            k = 1
            while stones.get((x + sign * k * dx, y + sign * k * dy)) == stones[cell]:
                run += 1
                k += 1
        if run >= 5:
            return True
    return False


def play_game(cmd_a, cmd_b, a_opens, size, turn_ms, tally):
    names = ("A", "B")
    brains = {"A": Brain(cmd_a, size, turn_ms), "B": Brain(cmd_b, size, turn_ms)}
    opener, chooser = ("A", "B") if a_opens else ("B", "A")
    record = []

    def swap2(name, count):
        # BOARD-like lines: the third field is the stone's colour, 1 Black.
        brains[name].send("SWAP2BOARD", *["%d,%d,%d" % (c[0], c[1], 1 + i % 2) for i, c in enumerate(record)],
                          "DONE")
        reply = brains[name].answer()
        if reply is not None and reply.strip().upper() == "SWAP":
            return "SWAP"
        cells = parse_cells(reply, size)
        if cells is None or len(cells) != count and not (count == 2 and len(cells) == 1) or \
                len(set(cells)) != len(cells) or any(c in record for c in cells):
            print("  %s answered %r to SWAP2BOARD with %d stones" % (name, reply, len(record)), flush=True)
            return ("bad", reply)
        return cells

    try:
        stones = swap2(opener, 3)
        if stones == "SWAP" or stones[0] == "bad":
            tally["illegal", opener] += 1
            return chooser, tally
        record += stones
        choice = swap2(chooser, 2)   # SWAP, one move, or two stones
        if choice != "SWAP" and choice[0] == "bad":
            tally["illegal", chooser] += 1
            return opener, tally
        if choice == "SWAP":
            tally["chooser SWAP", chooser] += 1
            black = chooser
        elif len(choice) == 1:
            tally["chooser plays White", chooser] += 1
            record += choice
            black = opener
        else:
            tally["chooser places two", chooser] += 1
            record += choice
            final = swap2(opener, 1)
            if final != "SWAP" and (final[0] == "bad" or len(final) != 1):
                tally["illegal", opener] += 1
                return chooser, tally
            if final == "SWAP":
                tally["opener SWAP after five", opener] += 1
                black = opener
            else:
                tally["opener plays White after five", opener] += 1
                record += final
                black = chooser
        white = "B" if black == "A" else "A"
        colour_of = {black: 1, white: 2}
        stones_at = {c: (1 if i % 2 == 0 else 2) for i, c in enumerate(record)}
        for c in record:
            if five(stones_at, c, size):
                return (black if stones_at[c] == 1 else white), tally
        while len(record) < size * size:
            mover = black if len(record) % 2 == 0 else white
            b = brains[mover]
            # The whole position at every move: what a brain kept of the
            # opening's commands can then never disagree with the game.
            b.send("RESTART")
            b.until_ok()
            own = colour_of[mover]
            b.send("BOARD", *["%d,%d,%d" % (c[0], c[1], 1 if stones_at[c] == own else 2) for c in record], "DONE")
            reply = b.answer()
            cells = parse_cells(reply, size)
            if not cells or len(cells) != 1 or cells[0] in stones_at:
                print("  %s answered %r after %d stones" % (mover, reply, len(record)), flush=True)
                tally["illegal", mover] += 1
                return ("B" if mover == "A" else "A"), tally
            record.append(cells[0])
            stones_at[cells[0]] = colour_of[mover]
            if five(stones_at, cells[0], size):
                tally["win as " + ("Black" if mover == black else "White"), mover] += 1
                return mover, tally
        return None, tally
    finally:
        for b in brains.values():
            b.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("engine_a")
    ap.add_argument("engine_b")
    ap.add_argument("--games", type=int, default=40)
    ap.add_argument("--turn-ms", type=int, default=200)
    ap.add_argument("--size", type=int, default=15)
    args = ap.parse_args()
    tally = collections.Counter()
    score = 0.0
    for g in range(args.games):
        winner, tally = play_game(args.engine_a, args.engine_b, g % 2 == 0, args.size, args.turn_ms, tally)
        score += 1 if winner == "A" else 0.5 if winner is None else 0
        print("game %d: A %s, winner %s" % (g + 1, "opens" if g % 2 == 0 else "chooses", winner or "draw"),
              flush=True)
    print("\nchoices and results (side: count)")
    for (what, side), n in sorted(tally.items()):
        print("  %-32s %s: %d" % (what, side, n))
    print("score of A: %.1f / %d" % (score, args.games))
    return 0


if __name__ == "__main__":
    sys.exit(main())
