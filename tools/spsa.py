#!/usr/bin/env python3
"""Tunes the search constants of a tuning build (cmake -DRUVAN_TUNE=ON) by
simultaneous perturbation stochastic approximation (SPSA).

    tools/spsa.py build-tune/ruvan --nodes 40000 --pairs 3000 --log spsa.txt

Each iteration draws a random sign for every constant, plays one pair of
games (one opening, each side once as Black) between the engine with the
constants moved up by c_k in those directions and the engine with them moved
down, and moves every constant by r_k * c_k * result * sign, where result is
the upper side's wins minus its losses in the pair. The gains follow the usual
schedule: c_k = c / (k + 1)^0.101 and a_k = a / (A + k + 1)^0.602, with A a
tenth of the iterations, scaled so that c_k ends at each constant's --c-end
value and r_k = a_k / c_k^2 at --r-end. The engines hear the constants as
INFO tune_NAME VALUE before every game; games, openings, rules and the referee
are those of tools/sprt.py.
"""

import argparse
import os
import random
import sys
import threading
import time

TOOLS_DIR = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, TOOLS_DIR)

from referee import BLACK, WHITE  # noqa: E402
from sprt import (DEFAULT_OPENINGS, Limits, Player, candidate_points, load_openings,  # noqa: E402
                  pair_plan, play_game)

# name, start, c at the end, lowest, highest (the engine's integer units)
PARAMETERS = [
    ("razorMargin", 64, 8, 16, 160),
    ("lmrOffset", 75, 15, 0, 200),
    ("lmrDivisor", 190, 20, 100, 400),
    ("moveCountBase", 30, 8, 0, 100),
    ("moveCountExponent", 130, 8, 90, 180),
    ("lateStopScale", 100, 12, 30, 200),
    ("aspirationDelta", 60, 12, 15, 200),
    ("penaltyScale", 100, 20, 0, 300),
]

ALPHA = 0.602
GAMMA = 0.101


class Tuner:
    """The constants, the gain schedule and the shared iteration counter."""

    def __init__(self, parameters, iterations, r_end, seed):
        self.names = [p[0] for p in parameters]
        self.theta = [float(p[1]) for p in parameters]
        self.low = [p[3] for p in parameters]
        self.high = [p[4] for p in parameters]
        self.iterations = iterations
        self.big_a = iterations / 10.0
        self.c = [p[2] * iterations ** GAMMA for p in parameters]
        self.a = [r_end * p[2] ** 2 * (self.big_a + iterations) ** ALPHA for p in parameters]
        self.lock = threading.Lock()
        self.next = 0
        self.done = 0
        self.score = [0, 0, 0]   # upper side's wins, losses, draws
        self.random = random.Random(seed)

    def take(self):
        """The next iteration: its number, signs and the two settings; None when done."""
        with self.lock:
            if self.next >= self.iterations:
                return None
            k = self.next
            self.next += 1
            signs = [self.random.choice((-1, 1)) for _ in self.names]
            upper, lower = [], []
            for i in range(len(self.names)):
                step = self.c[i] / (k + 1) ** GAMMA
                upper.append(self.clip(i, self.theta[i] + step * signs[i]))
                lower.append(self.clip(i, self.theta[i] - step * signs[i]))
            return k, signs, upper, lower

    def clip(self, i, value):
        return int(round(min(self.high[i], max(self.low[i], value))))

    def update(self, k, signs, result, wins, losses):
        with self.lock:
            for i in range(len(self.names)):
                c_k = self.c[i] / (k + 1) ** GAMMA
                a_k = self.a[i] / (self.big_a + k + 1) ** ALPHA
                self.theta[i] += a_k / c_k * result * signs[i]
                self.theta[i] = min(self.high[i], max(self.low[i], self.theta[i]))
            self.done += 1
            self.score[0] += wins
            self.score[1] += losses
            self.score[2] += 2 - wins - losses

    def settings(self, values):
        return ["tune_%s %d" % (name, value) for name, value in zip(self.names, values)]

    def line(self):
        return " ".join("%s=%.1f" % (n, t) for n, t in zip(self.names, self.theta))


def node_limit(nodes, turn_ms):
    """The node limit a move: as given, else 40,000 for a run without a
    clock and none (0) for one under the clock, which the clock alone should
    decide."""
    if nodes is not None:
        return nodes
    return 0 if turn_ms else 40000


def parse_start(text):
    """NAME=VALUE,... as a dict of integers."""
    start = {}
    for item in text.split(","):
        name, _, value = item.partition("=")
        start[name.strip()] = int(value)
    return start


def with_start(parameters, start):
    """The parameters with their starting values replaced by `start`'s; a
    name that is not tuned, or a value outside its bounds, is refused."""
    names = {p[0] for p in parameters}
    unknown = set(start) - names
    if unknown:
        raise ValueError("not a tuned constant: %s" % ", ".join(sorted(unknown)))
    result = []
    for name, value, c, low, high in parameters:
        value = start.get(name, value)
        if not low <= value <= high:
            raise ValueError("%s=%d is outside [%d, %d]" % (name, value, low, high))
        result.append((name, value, c, low, high))
    return result


def tune_with(tuner, play_pair):
    """Runs iterations until the tuner has none left; play_pair(k, upper,
    lower) plays iteration k's pair and returns the upper side's wins and
    losses in it."""
    while True:
        job = tuner.take()
        if job is None:
            return
        k, signs, upper, lower = job
        wins, losses = play_pair(k, upper, lower)
        tuner.update(k, signs, wins - losses, wins, losses)


def worker(tuner, args, openings, failures):
    upper = Player("candidate", args.engine)
    lower = Player("base", args.engine)

    def play_pair(k, up, down):
        limits = Limits(args.turn_ms, None, 0, args.nodes, None, args.tolerance_ms, True,
                        candidate_info=tuner.settings(up), base_info=tuner.settings(down))
        opening, rule = pair_plan(k + args.first_pair, openings, args.rules)
        wins = losses = 0
        for slot in (0, 1):
            black, white = (upper, lower) if slot == 0 else (lower, upper)
            record = play_game(black, white, rule, 15, 15, opening, limits, 0, k, slot)
            points = candidate_points(record.winner, BLACK if slot == 0 else WHITE)
            wins += points == 1.0
            losses += points == 0.0
            if record.outcome not in ("five", "draw", "foul", "cap"):
                failures.append("iteration %d: %s" % (k, record.summary()))
        return wins, losses

    try:
        tune_with(tuner, play_pair)
    finally:
        upper.close()
        lower.close()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("engine", help="a tuning build of the engine")
    parser.add_argument("--pairs", type=int, default=2000, help="iterations, one pair of games each")
    parser.add_argument("--nodes", type=int, default=None,
                        help="nodes a move (INFO max_node; 40,000 without --turn-ms, none with it)")
    parser.add_argument("--turn-ms", type=int, default=None, help="time a move instead of (or with) nodes")
    parser.add_argument("--tolerance-ms", type=int, default=100)
    parser.add_argument("--rules", type=lambda s: [int(r) for r in s.split(",")], default=[0, 1, 2])
    parser.add_argument("--concurrency", type=int, default=2)
    parser.add_argument("--r-end", type=float, default=0.02, help="the learning rate r_k at the end")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--first-pair", type=int, default=0, help="the opening plan starts here")
    parser.add_argument("--openings", default=DEFAULT_OPENINGS)
    parser.add_argument("--log", help="appends the constants every --every iterations")
    parser.add_argument("--every", type=int, default=50)
    parser.add_argument("--only", type=lambda s: s.split(","), default=None,
                        help="tune only these constants (comma-separated names); the rest keep their defaults")
    parser.add_argument("--start", type=parse_start, default={},
                        help="start the walk here, not at the defaults (NAME=VALUE,...; tuned constants only)")
    args = parser.parse_args(argv)
    args.nodes = node_limit(args.nodes, args.turn_ms)

    openings = load_openings(args.openings, 15, 15)
    parameters = PARAMETERS
    if args.only:
        unknown = set(args.only) - {p[0] for p in PARAMETERS}
        if unknown:
            parser.error("no such constant: %s" % ", ".join(sorted(unknown)))
        parameters = [p for p in PARAMETERS if p[0] in args.only]
    try:
        parameters = with_start(parameters, args.start)
    except ValueError as error:
        parser.error(str(error))
    tuner = Tuner(parameters, args.pairs, args.r_end, args.seed)
    failures = []
    threads = [threading.Thread(target=worker, args=(tuner, args, openings, failures), daemon=True)
               for _ in range(args.concurrency)]
    start = time.monotonic()
    for t in threads:
        t.start()
    reported = 0
    log = open(args.log, "a") if args.log else None
    while any(t.is_alive() for t in threads):
        time.sleep(1.0)
        with tuner.lock:
            done, line, score = tuner.done, tuner.line(), list(tuner.score)
        if done >= reported + args.every or (done == args.pairs and done > reported):
            reported = done
            text = "%d pairs, %.1f min, upper side %d-%d-%d: %s" % (
                done, (time.monotonic() - start) / 60, score[0], score[1], score[2], line)
            print(text, flush=True)
            if log:
                log.write(text + "\n")
                log.flush()
    for failure in failures:
        print("fault: " + failure)
    print("final: " + tuner.line())
    print("as INFO: " + " ".join(tuner.settings([int(round(t)) for t in tuner.theta])))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
