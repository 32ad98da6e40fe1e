#!/usr/bin/env python3
"""Writes the fixed opening set of the strength harness (sprt.py).

An opening is three stones, Black, White, Black, so that White is to move when
the engines take over. Every shape is built around the first stone: White's
stone and Black's second stone each lie within two cells of it (the 5 x 5
square around it). That keeps the openings close to how games really start,
contact or near-contact, and still leaves the side to move a game to play;
paired games (each opening played once with each engine as Black) take out
whatever edge the shape gives one colour.

Shapes that are the same up to the eight symmetries of the square are one
opening, so no position is played twice in disguise. There are 75 such shapes.
Each is then placed with a seeded random orientation and a seeded shift of the
first stone by at most one cell from the centre, and the list is shuffled with
the same seed, so the file is a pure function of --seed and --size.

    tools/make_openings.py --seed 2024 > tools/openings/openings15.txt

File format: one opening a line, "x,y x,y x,y" in the order of play, with
lines starting with '#' as comments.

With --offsets the same openings are written as c-gomoku-cli reads them with
`-openings type=offset`: each stone as its offset from the centre of the board,
"dx,dy, dx,dy, dx,dy", and no comment lines (that manager takes every line for
an opening):

    tools/make_openings.py --seed 2024 --offsets > tools/openings/openings15-offsets.txt
"""

import argparse
import random
import sys

REACH = 2   # how far White's stone and Black's second stone may lie from the first

# The eight symmetries of the square, as maps of an offset from the first stone.
SYMMETRIES = (
    lambda x, y: (x, y), lambda x, y: (-x, y), lambda x, y: (x, -y), lambda x, y: (-x, -y),
    lambda x, y: (y, x), lambda x, y: (-y, x), lambda x, y: (y, -x), lambda x, y: (-y, -x),
)


def canonical(white, black):
    """The smallest image of the shape (offsets of White's stone and of Black's
    second stone from the first) under the symmetries: one name per class."""
    return min((sym(*white), sym(*black)) for sym in SYMMETRIES)


def all_shapes(reach=REACH):
    """Every distinct shape, sorted so the enumeration does not depend on the
    order of a set."""
    cells = [(x, y) for x in range(-reach, reach + 1) for y in range(-reach, reach + 1) if (x, y) != (0, 0)]
    return sorted({canonical(w, b) for w in cells for b in cells if b != w})


def place(shape, rng, size):
    """Absolute stones of one shape: random orientation, first stone within
    one cell of the centre."""
    white, black = shape
    sym = rng.choice(SYMMETRIES)
    cx = size // 2 + rng.randint(-1, 1)
    cy = size // 2 + rng.randint(-1, 1)
    (wx, wy), (bx, by) = sym(*white), sym(*black)
    return [(cx, cy), (cx + wx, cy + wy), (cx + bx, cy + by)]


def make_openings(seed, size):
    rng = random.Random(seed)
    openings = [place(shape, rng, size) for shape in all_shapes()]
    rng.shuffle(openings)
    return openings


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--size", type=int, default=15)
    parser.add_argument("--offsets", action="store_true", help="offsets from the centre, for c-gomoku-cli")
    args = parser.parse_args(argv)
    if args.size < 2 * (REACH + 1) + 1:
        parser.error("board too small for the openings")
    openings = make_openings(args.seed, args.size)
    if args.offsets:
        centre = args.size // 2
        for stones in openings:
            print(", ".join("%d,%d" % (x - centre, y - centre) for x, y in stones))
        return 0
    print("# Three-stone openings (Black, White, Black) for a %dx%d board, White to move." % (args.size, args.size))
    print("# Written by tools/make_openings.py --seed %d --size %d; do not edit by hand." % (args.seed, args.size))
    for stones in openings:
        print(" ".join("%d,%d" % cell for cell in stones))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
