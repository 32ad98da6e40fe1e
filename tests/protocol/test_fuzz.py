#!/usr/bin/env python3
"""Random command streams: bad input is normal input for an engine.

Each seeded session mixes valid and malformed commands (sizes out of range,
coordinates off the board, bad BOARD blocks, odd INFO values, take-backs of
any cell, sessions cut off without END) and requires that the engine exits
with code 0, writes nothing to stderr, and answers only with lines of the
forms the protocol knows.

Usage: test_fuzz.py /path/to/ruvan
"""
import random
import re
import subprocess
import sys
import unittest

ENGINE = None
SESSIONS = 30

KNOWN_LINE = re.compile(
    r"^(OK|UNKNOWN command|-?\d+,-?\d+|MESSAGE .*|MESSAGE It's a draw|"
    r"ERROR (size of the board|bad RECTSTART parameters|bad coordinates|"
    r"x,y,who or DONE expected after BOARD|my move \[-?\d+,-?\d+\]|opponents's move \[-?\d+,-?\d+\]|"
    r"board-block move \[-?\d+,-?\d+\])|"
    r"FORBID (\d{4})*\.|"
    r'name="Ruvan", version="[^"]*", author="Ruvan developers", country="China", www=""|)$')


def session(seed):
    rnd = random.Random(seed)

    def coord():
        return rnd.choice([rnd.randint(-2, 23), rnd.randint(0, 14)])

    lines = ["INFO timeout_turn 40"]
    for _ in range(rnd.randint(5, 60)):
        k = rnd.random()
        if k < 0.25:
            lines.append("TURN %d,%d" % (coord(), coord()))
        elif k < 0.35:
            lines.append("PLAY %d,%d" % (coord(), coord()))
        elif k < 0.42:
            lines.append("TAKEBACK %d,%d" % (coord(), coord()))
        elif k < 0.47:
            lines.append(rnd.choice(["START %d" % rnd.randint(-3, 25), "RESTART", "START",
                                     "RECTSTART %d,%d" % (rnd.randint(-1, 23), rnd.randint(-1, 23))]))
        elif k < 0.55:
            lines.append("INFO " + rnd.choice(["rule %d" % rnd.randint(-2, 9),
                                               "timeout_turn %d" % rnd.choice([0, -5, 30, 80, 99999999999]),
                                               "time_left %d" % rnd.choice([0, 1000, 10 ** 12])]))
        elif k < 0.62:
            lines.append("BOARD")
            for _ in range(rnd.randint(0, 12)):
                lines.append("%d,%d,%d" % (coord(), coord(), rnd.randint(0, 4)))
            lines.append(rnd.choice(["DONE", "done", "junk"]))
        elif k < 0.68:
            lines.append("BEGIN")
        elif k < 0.72:
            lines.append("YXSHOWFORBID")
        elif k < 0.75:
            lines.append("ABOUT")
        else:
            lines.append(rnd.choice(["", "   TURN 1,1", "xyz", "TURN", "TURN a,b", "INFO", "BOARD"]))
    ending = "\nEND\n" if rnd.random() < 0.7 else "\n"
    return "\n".join(lines) + ending


class RandomSessions(unittest.TestCase):
    def test_random_sessions_end_cleanly(self):
        for seed in range(SESSIONS):
            with self.subTest(seed=seed):
                run = subprocess.run([ENGINE], input=session(seed), capture_output=True, text=True, timeout=120)
                self.assertEqual(run.returncode, 0)
                self.assertEqual(run.stderr, "")
                for line in run.stdout.split("\n")[:-1]:
                    self.assertRegex(line, KNOWN_LINE)


if __name__ == "__main__":
    ENGINE = sys.argv.pop(1)
    unittest.main()
