#!/usr/bin/env python3
"""Plays a candidate build against a base build until a sequential
probability ratio test decides which of two Elo hypotheses holds.

    tools/sprt.py build-new/ruvan build-old/ruvan --turn-ms 50 \
        --elo0 0 --elo1 10 --games 2000 --log games.txt

Games come in pairs: one opening from the fixed set (tools/openings/), played
once with each engine as Black, so the edge an opening gives one colour cancels
out. The pairs rotate over the rules (--rules 0,1,2 by default: free style,
standard, Renju), every opening being played under every rule before the next
one. Each game is judged by our own referee (referee.py), never by an engine.

Each side keeps one process per concurrent game for the whole run; between
games it hears its INFO settings again and RESTART. A reply later than the
move's limit plus --tolerance-ms loses the game on time; a crash, a hang, a
protocol fault or an illegal move loses it too, and each is counted and
reported for the side that made it. Renju fouls by Black lose as the rules say.

The test is the normal approximation of the generalised SPRT used by chess
testing frameworks, on pair results (pentanomial, the default) or on game
results (trinomial); see llr() for the derivation. After every --progress
pairs a line shows the score, Elo and LLR; at the end come the totals, the
verdict and the per-rule and per-side figures. Only whole pairs count: games
still running when the test stops are played out and logged, not counted.
"""

import argparse
import math
import os
import queue
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback

TOOLS_DIR = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True   # leave no __pycache__ in tools/
sys.path.insert(0, TOOLS_DIR)

from play_match import Engine, ProtocolError  # noqa: E402
from referee import BLACK, RULE_NAMES, WHITE, IllegalMove, Referee  # noqa: E402

DEFAULT_OPENINGS = os.path.join(TOOLS_DIR, "openings", "openings15.txt")
OPENINGS_CENTRE = 7            # the opening files are drawn around the centre of 15 x 15

# The protocol's rule word is a bit set: 1 exactly five, 4 Renju. The harness
# numbers the rules 0, 1, 2 like the rest of the project's tools.
WIRE_RULE = {0: 0, 1: 1, 2: 4}

NO_LIMIT_MS = 1000000000       # "no clock": large, and still a signed 32-bit INFO value
NODES_TURN_MS = 10000          # the per-move limit when only --nodes is given
HANG_GRACE_S = 5.0             # past the forfeit line, how long to wait before calling it a hang
Z95 = 1.959963984540054        # two-sided 95% quantile of the normal law


# ---------------------------------------------------------------------------
# Statistics


def expected_score(elo):
    """Logistic Elo: the expected score of a side `elo` points stronger."""
    return 1.0 / (1.0 + 10.0 ** (-elo / 400.0))


def elo_from_score(score):
    """Inverse of expected_score; a score of 0 or 1 is infinitely far."""
    if score <= 0.0:
        return -math.inf
    if score >= 1.0:
        return math.inf
    return -400.0 * math.log10(1.0 / score - 1.0)


def sprt_bounds(alpha, beta):
    """Wald's stopping bounds on the log-likelihood ratio: below the lower one
    H0 is accepted (false-negative rate beta), above the upper one H1 (false-
    positive rate alpha)."""
    return math.log(beta / (1.0 - alpha)), math.log((1.0 - beta) / alpha)


def trinomial(wins, losses, draws):
    """Game results as samples of 1, 0 and 1/2: (count, mean, variance)."""
    n = wins + losses + draws
    if n == 0:
        return 0, 0.5, 0.0
    mean = (wins + 0.5 * draws) / n
    var = (wins * (1.0 - mean) ** 2 + losses * mean ** 2 + draws * (0.5 - mean) ** 2) / n
    return n, mean, var


def pentanomial(counts):
    """Pair results as samples of the pair's average score, 0, 1/4, 1/2, 3/4
    or 1 (counts[k] pairs scored k/2 points of 2): (count, mean, variance).
    The mean is the per-game score; the variance is smaller than the game
    variance over two whenever the two games of a pair go the same way, which
    is what paired openings buy."""
    n = sum(counts)
    if n == 0:
        return 0, 0.5, 0.0
    mean = sum(c * k / 4.0 for k, c in enumerate(counts)) / n
    var = sum(c * (k / 4.0 - mean) ** 2 for k, c in enumerate(counts)) / n
    return n, mean, var


def llr(n, mean, var, elo0, elo1):
    """Log-likelihood ratio of H1 (Elo elo1) against H0 (Elo elo0).

    With n samples of empirical mean m and variance v, the mean is close to
    normal with variance v / n. Under Hk its centre is sk = expected_score(elok),
    so the log of the ratio of the two densities at m is

        n / (2 v) * ((m - s0)^2 - (m - s1)^2) = n (s1 - s0) (2 m - s0 - s1) / (2 v).

    It grows with n when m lies nearer s1 than s0 and falls when nearer s0.

    When every sample is the same value m (v = 0) the approximation divides by
    zero, yet such a run is not evidence of nothing: it is the one case where
    the exact generalised ratio is easy. The likeliest law with mean s that
    puts the most weight on m puts the rest on the far end of [0, 1]: weight
    s / m when s < m, (1 - s) / (1 - m) when s > m, 1 when s = m. The ratio is
    n times the log of the two weights. So a run of won pairs gains
    log(s1 / s0) a pair, and a run of drawn pairs loses ground to H0."""
    if n == 0:
        return 0.0
    s0, s1 = expected_score(elo0), expected_score(elo1)
    if var > 0.0:
        return n * (s1 - s0) * (2.0 * mean - s0 - s1) / (2.0 * var)

    def weight(s):
        if s < mean:
            return s / mean
        if s > mean:
            return (1.0 - s) / (1.0 - mean)
        return 1.0

    return n * (math.log(weight(s1)) - math.log(weight(s0)))


def elo_interval(n, mean, var, z=Z95):
    """Elo of the mean score and the Elo of the two ends of its normal
    confidence interval (mean +- z sqrt(v / n)). The logistic curve is odd
    about a score of 1/2, so at 50% the interval is symmetric about 0."""
    if n == 0:
        return 0.0, -math.inf, math.inf
    half = z * math.sqrt(var / n)
    return elo_from_score(mean), elo_from_score(mean - half), elo_from_score(mean + half)


def format_elo(value):
    return "%+.1f" % (value + 0.0) if math.isfinite(value) else ("+inf" if value > 0 else "-inf")


# ---------------------------------------------------------------------------
# Openings and the schedule


def load_openings(path, width, height):
    """Reads an opening file and moves each opening so that the centre of the
    15 x 15 board it was drawn for lands on the centre of this board. Every
    opening is checked on the referee: on the board, distinct cells, and not
    already a finished game."""
    dx, dy = width // 2 - OPENINGS_CENTRE, height // 2 - OPENINGS_CENTRE
    openings = []
    with open(path) as source:
        for number, line in enumerate(source, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            stones = []
            for cell in line.split():
                x, y = cell.split(",")
                stones.append((int(x) + dx, int(y) + dy))
            referee = Referee(0, width, height)
            try:
                for x, y in stones:
                    if referee.play(x, y) is not None:
                        raise IllegalMove("the opening already ends the game")
            except IllegalMove as error:
                raise ValueError("%s:%d: %s" % (path, number, error)) from None
            openings.append(stones)
    if not openings:
        raise ValueError("%s: no openings" % path)
    return openings


def pair_plan(index, openings, rules):
    """Opening and rule of pair `index`. The rule turns fastest, so every
    opening is played under every rule before the next opening comes; after
    the last opening the set starts again."""
    rule = rules[index % len(rules)]
    opening = openings[(index // len(rules)) % len(openings)]
    return opening, rule


def candidate_is_black(slot):
    """The candidate is Black in the first game of each pair (slot 0), White in
    the second. With the same opening, the pair covers both colours."""
    return slot == 0


def candidate_points(winner, candidate_colour):
    """The candidate's score for one game: 1, 0 or 1/2 for a draw."""
    if winner is None:
        return 0.5
    return 1.0 if winner == candidate_colour else 0.0


def pair_index(first_points, second_points):
    """Slot of a pair in the pentanomial counts: the candidate's two-game
    score in half points, 0 ... 4."""
    return int(round(2.0 * (first_points + second_points)))


# ---------------------------------------------------------------------------
# Limits


class Limits:
    """The time or node limits both engines play under, and how a reply is
    judged against them. The per-move limit is --turn-ms; with a match clock
    it is also never more than the time left; with --nodes alone it is a
    generous NODES_TURN_MS so that a build that ignores max_node still ends
    its games."""

    def __init__(self, turn_ms, match_ms, inc_ms, nodes, threads, tolerance_ms, forfeit,
                 candidate_threads=None, candidate_info=(), base_info=()):
        if turn_ms is None and match_ms is None:
            turn_ms = NODES_TURN_MS if nodes else 100
        self.turn_ms = turn_ms
        self.match_ms = match_ms
        self.inc_ms = inc_ms
        self.nodes = nodes
        self.threads = threads
        # Lets one build search with more threads than the other, to measure
        # what the threads themselves are worth.
        self.candidate_threads = candidate_threads
        # Settings only the candidate gets ("threat_search 1"): one build
        # can then be tested against itself with an option on.
        self.candidate_info = list(candidate_info)
        # And for the base alone, when the option under test is on by default.
        self.base_info = list(base_info)
        self.tolerance_ms = tolerance_ms
        self.forfeit = forfeit

    def info_lines(self, rule, side="base"):
        """The settings sent before every game to one side."""
        turn = self.turn_ms if self.turn_ms is not None else self.match_ms
        match = self.match_ms if self.match_ms is not None else NO_LIMIT_MS
        lines = ["INFO timeout_turn %d" % turn, "INFO timeout_match %d" % match,
                 "INFO time_left %d" % match, "INFO rule %d" % WIRE_RULE[rule]]
        threads = self.candidate_threads if side == "candidate" and self.candidate_threads else self.threads
        if threads:
            lines.append("INFO thread_num %d" % threads)
        if self.nodes:
            lines.append("INFO max_node %d" % self.nodes)
        lines.extend("INFO " + setting for setting in (self.candidate_info if side == "candidate" else self.base_info))
        return lines

    def move_limit_ms(self, time_left):
        """The longest a reply may take before it is over the limit."""
        limits = [limit for limit in (self.turn_ms, time_left) if limit is not None]
        return max(min(limits), 0)

    def wait_s(self, limit_ms):
        """How long to wait for a reply at all: past this the engine hangs."""
        return (limit_ms + self.tolerance_ms) / 1000.0 + HANG_GRACE_S


# ---------------------------------------------------------------------------
# Games


class Player:
    """One side in one worker: its name, its command and the process that
    plays all of that worker's games. A process that crashes, hangs or
    breaks the protocol is killed, and a fresh one starts at the next game."""

    def __init__(self, name, command):
        self.name = name
        self.command = command
        self.engine = None
        self.started = False

    def start_game(self, limits, rule, width, height):
        if self.engine is None:
            self.engine = Engine(self.command, self.name)
            self.started = False
        del self.engine.transcript[:]
        if self.started:
            begin = "RESTART"
        else:
            begin = "START %d" % width if width == height else "RECTSTART %d,%d" % (width, height)
        self.engine.send(*limits.info_lines(rule, self.name), begin)
        self.engine.await_ok()
        self.started = True

    def discard(self):
        if self.engine is not None:
            self.engine.kill()
            self.engine = None

    def close(self):
        if self.engine is not None:
            try:
                self.engine.close()
            except (ProtocolError, OSError, ValueError):
                # ValueError: an interrupt already closed the pipes.
                self.engine.kill()
            self.engine = None


class SideTimes:
    """Reply times of one side over one game or many."""

    def __init__(self):
        self.replies = 0
        self.total_ms = 0.0
        self.max_ms = 0.0
        self.over = 0      # past the move's limit
        self.late = 0      # past the limit plus the tolerance: lost on time unless --no-forfeit
        self.total_margin_ms = 0.0        # reply minus the move's limit, summed
        self.max_margin_ms = float("-inf")  # and its largest (closest to late)

    def note(self, ms, limit_ms, tolerance_ms):
        self.replies += 1
        self.total_ms += ms
        self.max_ms = max(self.max_ms, ms)
        self.total_margin_ms += ms - limit_ms
        self.max_margin_ms = max(self.max_margin_ms, ms - limit_ms)
        self.over += ms > limit_ms
        self.late += ms > limit_ms + tolerance_ms

    def merge(self, other):
        self.replies += other.replies
        self.total_ms += other.total_ms
        self.max_ms = max(self.max_ms, other.max_ms)
        self.total_margin_ms += other.total_margin_ms
        self.max_margin_ms = max(self.max_margin_ms, other.max_margin_ms)
        self.over += other.over
        self.late += other.late


class GameRecord:
    """One finished game: who played which colour, the moves (opening
    included), how it ended and the reply times of both sides."""

    def __init__(self, pair, slot, rule, width, height, opening, black, white):
        self.pair, self.slot, self.rule = pair, slot, rule
        self.width, self.height = width, height
        self.opening = list(opening)
        self.names = {BLACK: black, WHITE: white}
        self.moves = []
        self.outcome = None     # five, foul, draw, cap, time, crash, hang, protocol, illegal
        self.winner = None      # BLACK, WHITE or None
        self.detail = ""
        self.times = {black: SideTimes(), white: SideTimes()}

    def colour_of(self, name):
        return BLACK if self.names[BLACK] == name else WHITE

    def lose(self, colour, outcome, detail):
        """The side `colour` loses by a fault."""
        self.outcome, self.winner, self.detail = outcome, colour ^ 3, detail
        return self

    def fault_side(self):
        """Name of the side that lost by a fault, or None."""
        if self.outcome in ("time", "crash", "hang", "protocol", "illegal"):
            return self.names[self.winner ^ 3]
        return None

    def result_tag(self):
        return {BLACK: "1-0", WHITE: "0-1", None: "1/2-1/2"}[self.winner]

    def summary(self):
        if self.outcome == "five":
            return "%s five" % ("Black" if self.winner == BLACK else "White")
        if self.outcome == "foul":
            return "Black foul"
        if self.outcome == "draw":
            return "board full"
        if self.outcome == "cap":
            return "move cap"
        return "%s %s: %s" % (self.names[self.winner ^ 3], self.outcome, self.detail)


def board_block(moves, colour):
    """A BOARD block for the side `colour`: its own stones 1, the others 2."""
    lines = []
    for i, (x, y) in enumerate(moves):
        stone = BLACK if i % 2 == 0 else WHITE
        lines.append("%d,%d,%d" % (x, y, 1 if stone == colour else 2))
    return lines


def classify_failure(engine, error, waited_s, wait_s):
    """Why a reply never came: the process ended (crash), the wait ran out
    (hang) or something else came back (protocol)."""
    proc = engine.proc
    try:
        proc.wait(timeout=0.5)
    except subprocess.TimeoutExpired:
        pass
    if proc.poll() is not None:
        return "crash", "exit code %d (%s)" % (proc.returncode, error)
    if waited_s >= wait_s - 0.05:   # the wait ran to its deadline
        return "hang", "no reply in %.1f s" % waited_s
    return "protocol", str(error)


def play_game(black, white, rule, width, height, opening, limits, move_cap=0, pair=0, slot=0):
    """Plays one game between two Players and returns its GameRecord.

    The side to move after the opening receives the whole position in a BOARD
    block; from then on each side hears the other's moves with TURN, the first
    move of the other side again by BOARD. With a match clock, INFO time_left
    precedes every request. Faults end the game with a loss for their side;
    a side whose process is no longer trustworthy is discarded."""
    record = GameRecord(pair, slot, rule, width, height, opening, black.name, white.name)
    players = {BLACK: black, WHITE: white}
    for colour in (BLACK, WHITE):
        try:
            players[colour].start_game(limits, rule, width, height)
        except (ProtocolError, OSError) as error:
            players[colour].discard()
            return record.lose(colour, "protocol", "no game start: %s" % error)
    referee = Referee(rule, width, height)
    for x, y in opening:
        referee.play(x, y)
    record.moves = list(referee.moves)
    known = {BLACK: 0, WHITE: 0}
    clock = {BLACK: limits.match_ms, WHITE: limits.match_ms} if limits.match_ms is not None else None
    while True:
        colour = referee.to_move()
        player = players[colour]
        engine = player.engine
        moves = referee.moves
        limit_ms = limits.move_limit_ms(clock[colour] if clock else None)
        wait_s = limits.wait_s(limit_ms)
        sent = time.monotonic()
        try:
            if clock:
                engine.send("INFO time_left %d" % max(clock[colour], 1))
            if not moves:
                sent = engine.send("BEGIN")
            elif known[colour] == 0:
                sent = engine.send("BOARD", *board_block(moves, colour), "DONE")
            else:
                sent = engine.send("TURN %d,%d" % moves[-1])
            x, y, seconds = engine.await_move(sent, wait_s)
        except (ProtocolError, OSError) as error:
            outcome, detail = classify_failure(engine, error, time.monotonic() - sent, wait_s)
            player.discard()
            return record.lose(colour, outcome, "ply %d: %s" % (len(moves) + 1, detail))
        ms = seconds * 1000.0
        record.times[player.name].note(ms, limit_ms, limits.tolerance_ms)
        if clock:
            clock[colour] -= ms
        if limits.forfeit and ms > limit_ms + limits.tolerance_ms:
            return record.lose(colour, "time", "ply %d: %.0f ms for a %d ms limit" % (len(moves) + 1, ms, limit_ms))
        if clock:
            clock[colour] += limits.inc_ms
        try:
            state = referee.play(x, y)
        except IllegalMove as error:
            return record.lose(colour, "illegal", "ply %d: %s" % (len(moves) + 1, error))
        record.moves = list(referee.moves)
        known[colour] = len(referee.moves)
        if state == "five":
            record.outcome, record.winner = "five", colour
            return record
        if state == "foul":
            record.outcome, record.winner = "foul", WHITE
            record.detail = "%d,%d" % (x, y)
            return record
        if state == "draw":
            record.outcome = "draw"
            return record
        if move_cap and len(referee.moves) >= move_cap:
            record.outcome = "cap"
            return record


# ---------------------------------------------------------------------------
# Tally


class Tally:
    """Everything the report needs, fed one finished pair at a time."""

    def __init__(self, rules):
        self.wld = [0, 0, 0]                        # candidate wins, losses, draws
        self.by_rule = {rule: [0, 0, 0] for rule in rules}
        self.pairs = [0] * 5                        # pentanomial counts
        self.colour_wins = {BLACK: 0, WHITE: 0}
        self.times = {"candidate": SideTimes(), "base": SideTimes()}
        self.faults = {"candidate": {}, "base": {}}

    def add_pair(self, first, second):
        points = []
        for record in (first, second):
            p = candidate_points(record.winner, record.colour_of("candidate"))
            points.append(p)
            slot = 0 if p == 1.0 else 1 if p == 0.0 else 2
            self.wld[slot] += 1
            self.by_rule[record.rule][slot] += 1
            if record.winner is not None:
                self.colour_wins[record.winner] += 1
            for name, times in record.times.items():
                self.times[name].merge(times)
            side = record.fault_side()
            if side:
                self.faults[side][record.outcome] = self.faults[side].get(record.outcome, 0) + 1
        self.pairs[pair_index(*points)] += 1

    def games(self):
        return sum(self.wld)

    def sample(self, model):
        if model == "pentanomial":
            return pentanomial(self.pairs)
        return trinomial(*self.wld)


# ---------------------------------------------------------------------------
# The match


class JobSource:
    """Hands out (pair, slot) jobs to the workers, pair by pair, until the
    limit on games or a stop. It also knows every worker's players, so that
    an interrupted run can end the games in progress at once."""

    def __init__(self, max_pairs):
        self.max_pairs = max_pairs
        self.next = 0
        self.lock = threading.Lock()
        self.stopped = False
        self.players = []

    def register(self, *players):
        with self.lock:
            self.players.extend(players)

    def take(self):
        with self.lock:
            if self.stopped or (self.max_pairs and self.next >= 2 * self.max_pairs):
                return None
            job = divmod(self.next, 2)
            self.next += 1
            return job

    def stop(self):
        with self.lock:
            self.stopped = True

    def abort(self):
        """Stops, and kills the engine processes: a game waiting on one ends
        at once as a crash, which is not counted after the stop."""
        self.stop()
        with self.lock:
            engines = [player.engine for player in self.players if player.engine is not None]
        for engine in engines:
            engine.kill()


def worker(jobs, results, args, limits, openings):
    candidate = Player("candidate", args.candidate)
    base = Player("base", args.base)
    jobs.register(candidate, base)
    try:
        while True:
            job = jobs.take()
            if job is None:
                break
            pair, slot = job
            # --first-pair continues an earlier run on the openings it had not reached.
            pair += args.first_pair
            opening, rule = pair_plan(pair, openings, args.rules)
            black, white = (candidate, base) if candidate_is_black(slot) else (base, candidate)
            record = play_game(black, white, rule, args.width, args.height, opening, limits,
                               args.move_cap, pair, slot)
            results.put(("game", record))
    except Exception:  # noqa: BLE001 - a harness fault must reach the main thread, not die silently
        results.put(("error", traceback.format_exc()))
    finally:
        candidate.close()
        base.close()
        results.put(("done", None))


def write_record(log, number, record, counted):
    log.write('[Game "%d"]\n[Pair "%d"]\n[Rule "%s"]\n[Size "%dx%d"]\n[Black "%s"]\n[White "%s"]\n'
              % (number, record.pair + 1, RULE_NAMES[record.rule], record.width, record.height,
                 record.names[BLACK], record.names[WHITE]))
    log.write('[Opening "%s"]\n[Result "%s"]\n[Termination "%s"]\n[Counted "%s"]\n\n'
              % (" ".join("%d,%d" % m for m in record.opening), record.result_tag(), record.summary(),
                 "yes" if counted else "no"))
    log.write(" ".join("%d,%d" % m for m in record.moves) + "\n\n")
    log.flush()


def status_line(tally, args, bounds):
    n, mean, var = tally.sample(args.model)
    elo, low, high = elo_interval(n, mean, var)
    w, l, d = tally.wld
    return ("games %d  W-L-D %d-%d-%d  score %.1f%%  Elo %s [%s, %s]  LLR %+.2f [%+.2f, %+.2f]"
            % (tally.games(), w, l, d, 100.0 * mean, format_elo(elo), format_elo(low), format_elo(high),
               llr(n, mean, var, args.elo0, args.elo1), bounds[0], bounds[1]))


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def run(args):
    # A polite kill (a time limit around the run, say) still gets the report.
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGTERM, _interrupt)
    openings = load_openings(args.openings, args.width, args.height)
    limits = Limits(args.turn_ms, args.match_ms, args.inc_ms, args.nodes, args.threads,
                    args.tolerance_ms, not args.no_forfeit, args.candidate_threads,
                    args.candidate_info, args.base_info)
    bounds = sprt_bounds(args.alpha, args.beta)
    jobs = JobSource((args.games + 1) // 2 if args.games else 0)
    results = queue.Queue()
    tally = Tally(args.rules)
    log = open(args.log, "w") if args.log else None

    print("candidate %s\nbase      %s" % (" ".join(args.candidate), " ".join(args.base)))
    print("rules %s, %dx%d, %d openings, %s; %s; elo0 %g elo1 %g alpha %g beta %g, %s"
          % (",".join(str(r) for r in args.rules), args.width, args.height, len(openings),
             "%d ms a move" % limits.turn_ms if limits.turn_ms is not None else "no move limit",
             ("match %d ms + %d ms" % (limits.match_ms, limits.inc_ms) if limits.match_ms is not None
              else "no match clock") + (", max_node %d" % limits.nodes if limits.nodes else "")
             + (", threads %d against %d" % (limits.candidate_threads, limits.threads or 1)
                if limits.candidate_threads else "")
             + "".join(", candidate INFO %s" % setting for setting in limits.candidate_info)
             + "".join(", base INFO %s" % setting for setting in limits.base_info),
             args.elo0, args.elo1, args.alpha, args.beta, args.model))
    sys.stdout.flush()

    started = time.monotonic()
    threads = [threading.Thread(target=worker, args=(jobs, results, args, limits, openings), daemon=True)
               for _ in range(args.concurrency)]
    for thread in threads:
        thread.start()
    pending = {}
    verdict = None
    error = None
    logged = 0
    finished_after_stop = 0
    running = len(threads)
    try:
        while running:
            kind, payload = results.get()
            if kind == "done":
                running -= 1
                continue
            if kind == "error":
                error = error or payload
                jobs.stop()
                continue
            record = payload
            if verdict is not None or error is not None:
                # The decision is taken; what was still running only gets logged.
                finished_after_stop += 1
                pending.setdefault(record.pair, [None, None])[record.slot] = record
                continue
            halves = pending.setdefault(record.pair, [None, None])
            halves[record.slot] = record
            if None in halves:
                continue
            del pending[record.pair]
            tally.add_pair(*halves)
            if log:
                for half in halves:
                    logged += 1
                    write_record(log, logged, half, True)
            n, mean, var = tally.sample(args.model)
            ratio = llr(n, mean, var, args.elo0, args.elo1)
            if ratio >= bounds[1]:
                verdict = "H1 accepted (the candidate is stronger by about elo1 or more)"
            elif ratio <= bounds[0]:
                verdict = "H0 accepted (the candidate is not stronger by elo1)"
            pairs_done = tally.games() // 2
            if verdict or pairs_done % args.progress == 0:
                print(status_line(tally, args, bounds))
                sys.stdout.flush()
            if verdict and args.fixed_games:
                # A measurement of a fixed number of games: the verdict is
                # reported, the games go on to the count asked for.
                verdict = None
            if verdict:
                jobs.stop()
    except KeyboardInterrupt:
        verdict = verdict or "interrupted"
        print("interrupted: the games in progress are not counted")
        jobs.abort()
        for thread in threads:
            thread.join()
    elapsed = time.monotonic() - started
    if log:
        for halves in pending.values():
            for half in halves:
                if half is not None:
                    logged += 1
                    write_record(log, logged, half, False)
        log.close()
    if error:
        print("harness fault:\n" + error, file=sys.stderr)
    report(tally, args, bounds, verdict, elapsed, limits, finished_after_stop)
    if error:
        return 2
    return 130 if verdict == "interrupted" else 0


def report(tally, args, bounds, verdict, elapsed, limits, uncounted):
    n, mean, var = tally.sample(args.model)
    elo, low, high = elo_interval(n, mean, var)
    ratio = llr(n, mean, var, args.elo0, args.elo1)
    games = tally.games()
    w, l, d = tally.wld
    print()
    print("games %d (%d pairs)  W-L-D %d-%d-%d (candidate's view)  score %.1f%%"
          % (games, games // 2, w, l, d, 100.0 * mean))
    print("Elo %s, 95%% interval [%s, %s]" % (format_elo(elo), format_elo(low), format_elo(high)))
    print("LLR %+.3f, bounds [%+.3f, %+.3f] (elo0 %g, elo1 %g, alpha %g, beta %g, %s)"
          % (ratio, bounds[0], bounds[1], args.elo0, args.elo1, args.alpha, args.beta, args.model))
    print("pairs by candidate's score 0-0.5-1-1.5-2: %s" % "-".join(str(c) for c in tally.pairs))
    if verdict is None and args.fixed_games:
        verdict = ("H1 by the LLR after all the games" if ratio >= bounds[1]
                   else "H0 by the LLR after all the games" if ratio <= bounds[0] else None)
    print("verdict: %s" % (verdict or "inconclusive (game limit reached)"))
    for rule, (rw, rl, rd) in sorted(tally.by_rule.items()):
        # Per rule only the game results are known apart, so the interval is
        # the trinomial one: wider than the pairs' but honest.
        r_elo, r_low, r_high = elo_interval(*trinomial(rw, rl, rd))
        print("rule %d %-9s W-L-D %d-%d-%d  Elo %s [%s, %s]" % (rule, RULE_NAMES[rule], rw, rl, rd,
                                                             format_elo(r_elo), format_elo(r_low),
                                                             format_elo(r_high)))
    print("Black won %d, White won %d, %d draws" % (tally.colour_wins[BLACK], tally.colour_wins[WHITE], d))
    for name in ("candidate", "base"):
        times = tally.times[name]
        mean_ms = times.total_ms / times.replies if times.replies else 0.0
        faults = ", ".join("%s %d" % item for item in sorted(tally.faults[name].items())) or "none"
        print("%-9s %d replies, mean %.0f ms, max %.0f ms, %d over the limit, %d late (> limit + %d ms); "
              "games lost by fault: %s"
              % (name, times.replies, mean_ms, times.max_ms, times.over, times.late, limits.tolerance_ms, faults))
        if times.replies:
            print("%-9s reply minus the move's limit: max %+.0f ms, mean %+.0f ms"
                  % ("", times.max_margin_ms, times.total_margin_ms / times.replies))
    if uncounted:
        print("%d game(s) finished after the stop and were not counted" % uncounted)
    print("%.1f min, %.1f games/min" % (elapsed / 60.0, games / (elapsed / 60.0) if elapsed > 0 else 0.0))


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("candidate", help="the candidate engine (a command; arguments after spaces)")
    parser.add_argument("base", help="the base engine")
    parser.add_argument("--rules", default="0,1,2", help="rules to rotate over (0 free style, 1 standard, 2 Renju)")
    parser.add_argument("--size", default="15", help="N for N x N, or WxH")
    parser.add_argument("--openings", default=DEFAULT_OPENINGS)
    parser.add_argument("--games", type=int, default=0, help="stop after this many games (0: no limit)")
    parser.add_argument("--concurrency", type=int, default=1, choices=(1, 2))
    parser.add_argument("--turn-ms", type=int, help="INFO timeout_turn (default 100 without other limits)")
    parser.add_argument("--match-ms", type=int, help="a match clock: INFO timeout_match, time_left each move")
    parser.add_argument("--inc", dest="inc_ms", type=int, default=0, help="ms added to the clock after each move")
    parser.add_argument("--nodes", type=int, help="INFO max_node (with a generous timeout_turn unless --turn-ms)")
    parser.add_argument("--threads", type=int, help="INFO thread_num for both (1 with --concurrency 2)")
    parser.add_argument("--candidate-threads", type=int,
                        help="INFO thread_num for the candidate alone (the base keeps --threads)")
    parser.add_argument("--candidate-info", action="append", default=[], metavar="'KEY VALUE'",
                        help="an INFO setting sent to the candidate alone (repeatable)")
    parser.add_argument("--base-info", action="append", default=[], metavar="'KEY VALUE'",
                        help="an INFO setting sent to the base alone (repeatable)")
    parser.add_argument("--fixed-games", action="store_true",
                        help="play all of --games even when the test decides earlier")
    parser.add_argument("--tolerance-ms", type=int, default=100, help="slack past the limit before a loss on time")
    parser.add_argument("--no-forfeit", action="store_true", help="count late replies but do not end the game")
    parser.add_argument("--move-cap", type=int, default=0, help="draw after this many stones (0: full board)")
    parser.add_argument("--elo0", type=float, default=0.0)
    parser.add_argument("--elo1", type=float, default=10.0)
    parser.add_argument("--alpha", type=float, default=0.05)
    parser.add_argument("--beta", type=float, default=0.05)
    parser.add_argument("--model", choices=("pentanomial", "trinomial"), default="pentanomial")
    parser.add_argument("--first-pair", type=int, default=0,
                        help="start at this pair of the opening plan (to continue an interrupted run)")
    parser.add_argument("--progress", type=int, default=1, help="print a status line every N pairs")
    parser.add_argument("--log", help="write every game (tags and moves) to this file")
    args = parser.parse_args(argv)
    try:
        args.rules = [int(r) for r in args.rules.split(",")]
    except ValueError:
        parser.error("--rules takes a list such as 0,1,2")
    if not args.rules or any(r not in RULE_NAMES for r in args.rules):
        parser.error("rules are 0, 1 and 2")
    width, _, height = args.size.partition("x")
    args.width, args.height = int(width), int(height or width)
    if args.elo1 <= args.elo0:
        parser.error("elo1 must exceed elo0")
    if not (0 < args.alpha < 1 and 0 < args.beta < 1):
        parser.error("alpha and beta lie between 0 and 1")
    if args.first_pair < 0:
        parser.error("--first-pair is at least 0")
    if args.progress < 1:
        parser.error("--progress is at least 1")
    if args.concurrency == 2 and args.threads is None:
        args.threads = 1
    if args.fixed_games and not args.games:
        parser.error("--fixed-games needs --games")
    if args.candidate_threads is not None and args.candidate_threads < 1:
        parser.error("--candidate-threads is at least 1")
    args.candidate = args.candidate.split()
    args.base = args.base.split()
    # A program that cannot be started would lose every game by fault and the
    # run would end with an ordinary verdict: say so at once instead.
    for role, command in (("candidate", args.candidate), ("base", args.base)):
        if not command or shutil.which(command[0]) is None:
            parser.error("the %s %r is not a program that can be run" % (role, " ".join(command)))
    return args


if __name__ == "__main__":
    sys.exit(run(parse_args(sys.argv[1:])))
