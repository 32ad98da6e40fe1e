#!/usr/bin/env python3
"""Soak games: many quick engine-against-engine games, every reply checked.

    tools/soak.py build/sanitize/ruvan --games 300 [--seed 1] [--jobs 2]

Meant for the address+undefined sanitizer build (`make soak GAMES=N`), where
a memory or undefined-behaviour fault ends the process with a report on
standard error. Each game is one case, drawn from its seed alone: the rule
(free style, standard, Renju), the board (square, rectangular, tiny, down to
1 x 1), blocked cells on about a third of the boards, an opening of up to four
stones, 20 to 50 ms a move, sometimes a short time_left, sometimes every move
asked with RESTART and a whole BOARD block, and sometimes a second game on
another board in the same processes. Two engine processes play each other
through the protocol; tools/play_match.py drives them and its referee judges
every move.

A fault is anything a tournament manager would hold against a brain, and
anything a sanitizer reports: output on standard error, an exit code other
than 0 after END, a crash or closed output, no reply within --hang seconds, a
line that is neither a move nor a MESSAGE where a move is due, a move off the
board or onto a taken cell, a Renju foul by Black while an allowed move was
left, a five left unmade or an opponent's five left open. (A move that
leaves open one of two or more fives of the opponent, in a game lost before
it, is printed as a NOTE and fails nothing.) Each fault is printed with what
reproduces it: the seed (rerun the case with --seed S
--games 1), the rule, board, blocks and moves, and the exact input each
engine received, saved under --out so that it can be piped into the engine
again. The exit code is 1 when any game faulted.
"""

import argparse
import concurrent.futures
import os
import random
import shlex
import sys
import threading
import time

sys.dont_write_bytecode = True   # leave no __pycache__ in tools/
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from play_match import (BLACK, EMPTY, RULE_NAMES, WHITE, Engine, IllegalMove,  # noqa: E402
                        ProtocolError, Referee, play_game)

# Square, rectangular both ways, narrow and tiny boards, up to the largest
# side the engine takes. The rule cycles fastest, so any 3 x len(BOARDS)
# consecutive seeds meet every rule on every board.
BOARDS = [(15, 15), (20, 20), (12, 17), (22, 9), (5, 5), (6, 7), (1, 1), (22, 22), (3, 20)]

# Wide of any real think: past this a reply counts as a hang, not as slow.
HANG_SECONDS = 10.0

# Stricter than the defaults, since this is where the time for them is spent.
SANITIZER_DEFAULTS = {
    "ASAN_OPTIONS": "detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1",
    "UBSAN_OPTIONS": "print_stacktrace=1",
}


class Case:
    """Everything about one game that its seed decides."""

    def __init__(self, seed):
        self.seed = seed
        rng = random.Random(seed)
        self.games = [self._game(rng, seed % 3, BOARDS[(seed // 3) % len(BOARDS)])]
        # A second game in the same processes: a new START on another board,
        # under another rule, after whatever the first game left in the tables.
        if rng.random() < 0.25:
            self.games.append(self._game(rng, rng.randrange(3), rng.choice(BOARDS)))

    @staticmethod
    def _game(rng, rule, board):
        width, height = board
        cells = [(x, y) for x in range(width) for y in range(height)]
        blocks = []
        if len(cells) > 1 and rng.random() < 0.35:
            count = rng.randint(1, max(1, min(40, len(cells) // 8)))
            blocks = rng.sample(cells, count)
        free = len(cells) - len(blocks)
        # Up to four stones near the centre: too few for a five or a Renju
        # foul, so any such opening is legal; at least one cell stays free.
        cx, cy = width // 2, height // 2
        near = [(x, y) for x in range(cx - 2, cx + 3) for y in range(cy - 2, cy + 3)
                if 0 <= x < width and 0 <= y < height and (x, y) not in blocks]
        opening = rng.sample(near, min(rng.randint(0, 4), len(near), free - 1))
        return {
            "rule": rule,
            "width": width,
            "height": height,
            "blocks": blocks,
            "opening": opening,
            "timeout_turn": rng.randint(20, 50),
            # Now and then the match clock binds instead of the turn limit.
            "time_left": rng.randint(500, 5000) if rng.random() < 0.25 else 100000000,
            "board_mode": rng.random() < 0.25,
        }

    @staticmethod
    def describe(game):
        parts = ["%s %dx%d" % (RULE_NAMES[game["rule"]], game["width"], game["height"])]
        if game["blocks"]:
            parts.append("blocks " + " ".join("%d,%d" % b for b in game["blocks"]))
        parts.append("timeout_turn %d" % game["timeout_turn"])
        if game["time_left"] < 100000000:
            parts.append("time_left %d" % game["time_left"])
        if game["board_mode"]:
            parts.append("RESTART+BOARD each move")
        return ", ".join(parts)


class Fault(Exception):
    pass


def foul_was_forced(result):
    """True when every empty cell was a foul for Black before Black's last
    move, so that the foul could not be helped."""
    referee = Referee(result.rule, result.width, result.height, result.blocks)
    for move in result.moves[:-1]:
        referee.play(*move)
    return all(referee.is_foul(x, y) for x in range(result.width) for y in range(result.height)
               if referee.cells[x][y] == EMPTY)


def later_replies(result):
    """Reply times in seconds, less each colour's first reply of the game,
    which also pays for the engine's start (tables, hash memory): the rest
    show how the engine keeps to timeout_turn under the sanitizer."""
    seen, times = set(), []
    for seconds, colour, _ in result.reply_times:
        if colour in seen:
            times.append(seconds)
        seen.add(colour)
    return times


def leftover_output(engine):
    """Lines the engine wrote after its last awaited reply that no manager
    would accept: anything but MESSAGE lines and the empty line that closes
    the Renju draw notice."""
    odd = []
    while not engine.lines.empty():
        _, line = engine.lines.get()
        if line is not None and not (line.startswith("MESSAGE") or line == ""):
            odd.append(line)
    return odd


def run_case(binary, case, hang, out_dir):
    """Plays the case's games. Returns (lines to print, notes, fault text or
    None, slowest later reply in seconds)."""
    engines = [Engine(binary, "A"), Engine(binary, "B")]
    report, notes, fault, slowest = [], [], None, 0.0
    game, result = None, None
    try:
        for index, game in enumerate(case.games):
            black, white = (engines[0], engines[1]) if index % 2 == 0 else (engines[1], engines[0])
            if len(game["opening"]) % 2:
                black, white = white, black   # the first engine to move plays the next stone
            started = time.monotonic()
            result = None
            try:
                result = play_game(black, white, game["rule"], game["width"], game["height"],
                                   game["timeout_turn"], game["time_left"], game["opening"],
                                   reply_limit=hang, board_mode=game["board_mode"], blocks=game["blocks"])
            except (IllegalMove, ProtocolError) as error:
                result = getattr(error, "result", None)
                raise Fault(str(error)) from None
            finally:
                if result is not None:
                    slowest = max([slowest] + later_replies(result))
            report.append("seed %d: %s; %s (%.1f s)" % (case.seed, Case.describe(game), result.summary(),
                                                        time.monotonic() - started))
            if result.outcome == "foul" and not foul_was_forced(result):
                raise Fault("Black played the Renju foul %d,%d" % result.moves[-1])
            misses = [m for m in result.missed if m not in result.missed_when_lost]
            if misses:
                raise Fault("; ".join(misses))
            if result.missed_when_lost:
                notes.append(describe_note(case, game, result, "; ".join(result.missed_when_lost)))
        for engine in engines:
            code = engine.close()
            if code != 0:
                raise Fault("%s exited with code %d after END" % (engine.name, code))
            odd = leftover_output(engine)
            if odd:
                raise Fault("%s wrote %r after its last reply" % (engine.name, odd[:5]))
        for engine in engines:
            if engine.stderr:
                raise Fault("%s wrote on standard error" % engine.name)
    except (Fault, ProtocolError, OSError) as error:
        fault = describe_fault(binary, case, game, result, engines, str(error), out_dir)
    except Exception as error:   # a fault of this script: still shown with its case, still failing
        fault = describe_fault(binary, case, game, result, engines, "soak driver error: %r" % error, out_dir)
    finally:
        for engine in engines:
            engine.kill()
    return report, notes, fault, slowest


def describe_note(case, game, result, what):
    return "\n".join(["NOTE seed %d: %s (the game was lost already)" % (case.seed, what),
                      "  game %d of the case: %s" % (case.games.index(game) + 1, Case.describe(game)),
                      "  moves: " + result.record()])


def describe_fault(binary, case, game, result, engines, what, out_dir):
    for engine in engines:
        engine.kill()   # the stderr reader has all there is once the process is gone
    lines = ["FAULT seed %d: %s" % (case.seed, what)]
    if game is not None:
        lines.append("  game %d of the case: %s" % (case.games.index(game) + 1, Case.describe(game)))
        if game["opening"]:
            lines.append("  opening: " + " ".join("%d,%d" % m for m in game["opening"]))
    if result is not None:
        lines.append("  moves: " + result.record())
        if result.final_diagram:
            lines.append("  board (x down, y across; X Black, O White, # blocked):")
            lines.extend("    " + row for row in result.final_diagram.split("\n"))
    os.makedirs(out_dir, exist_ok=True)
    for engine in engines:
        code = engine.proc.returncode
        lines.append("  engine %s: exit code %s, %d lines on standard error" % (engine.name, code, len(engine.stderr)))
        lines.extend("    " + line.rstrip("\n") for line in engine.stderr[:80])
        if len(engine.stderr) > 80:
            lines.append("    ...")
        stem = os.path.join(out_dir, "seed-%d-%s" % (case.seed, engine.name))
        with open(stem + ".in", "w") as f:
            f.writelines(line[2:] + "\n" for line in engine.transcript if line.startswith("> "))
        with open(stem + ".log", "w") as f:
            f.writelines(line + "\n" for line in engine.transcript)
            f.writelines(engine.stderr)
        lines.append("  its input: %s.in (pipe it into the engine), the whole exchange: %s.log" % (stem, stem))
    command = shlex.join(binary) if isinstance(binary, list) else shlex.quote(binary)
    lines.append("  rerun: %s %s --seed %d --games 1" % (os.path.relpath(os.path.abspath(__file__)), command, case.seed))
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("engine", help="the engine binary (the sanitizer build)")
    parser.add_argument("--games", type=int, default=20, help="number of cases (seeds)")
    parser.add_argument("--seed", type=int, default=1, help="the first case's seed")
    parser.add_argument("--jobs", type=int, default=2, help="cases played at once")
    parser.add_argument("--hang", type=float, default=HANG_SECONDS, help="seconds without a reply that count as a hang")
    parser.add_argument("--out", default=os.path.join("build", "soak"), help="where faulty exchanges are saved")
    args = parser.parse_args(argv)
    for name, value in SANITIZER_DEFAULTS.items():
        os.environ.setdefault(name, value)
    binary = os.path.abspath(args.engine)
    if not os.access(binary, os.X_OK):
        sys.exit("not an executable: " + args.engine)

    print_lock = threading.Lock()
    faults, notes, games, slowest = [], [], 0, (0.0, None)
    started = time.monotonic()

    def one(seed):
        return seed, run_case(binary, Case(seed), args.hang, args.out)

    seeds = range(args.seed, args.seed + args.games)
    with concurrent.futures.ThreadPoolExecutor(max(args.jobs, 1)) as pool:
        for future in concurrent.futures.as_completed([pool.submit(one, s) for s in seeds]):
            seed, (report, case_notes, fault, slow) = future.result()
            with print_lock:
                for line in report:
                    print(line)
                for note in case_notes:
                    notes.append(note)
                    print(note)
                games += len(report)
                if fault:
                    faults.append(fault)
                    print(fault)
                if slow > slowest[0]:
                    slowest = (slow, seed)
                sys.stdout.flush()
    print("soak: %d cases, %d games, %.0f s; slowest reply after each side's first %.0f ms (seed %s)"
          % (args.games, games, time.monotonic() - started, slowest[0] * 1000, slowest[1]))
    if notes:
        print("seeds with notes: " + " ".join(n.split(":")[0].split()[-1] for n in notes))
    if faults:
        print("faulty seeds: " + " ".join(f.split(":")[0].split()[-1] for f in faults))
    print("%d passed, %d failed" % (args.games - len(faults), len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
