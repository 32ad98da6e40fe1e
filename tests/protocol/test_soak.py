#!/usr/bin/env python3
"""The soak driver (tools/soak.py) finds what it is there to find.

    test_soak.py /path/to/ruvan

A proxy (faulty_proxy.py) stands between the driver and the real engine and
plants one fault: a report on standard error, a bad exit code, a move onto a
taken cell or off the board, a malformed move line, a hang, a crash. Each must
come back as a fault naming its seed, with the moves so far and the engine's
input saved for a replay; the clean proxy must pass, and the command line must
exit 1 on a fault and 0 without.
"""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(HERE, "..", "..", "tools")
sys.path.insert(0, TOOLS)

import soak  # noqa: E402

ENGINE = None
PROXY = os.path.join(HERE, "faulty_proxy.py")


def quick_seed():
    """A case of one game on the 6 x 7 board: short, yet long enough for the
    proxy's fourth move."""
    return next(s for s in range(15, 10000, 3 * len(soak.BOARDS))
                if soak.BOARDS[(s // 3) % len(soak.BOARDS)] == (6, 7) and len(soak.Case(s).games) == 1
                and not soak.Case(s).games[0]["blocks"])


class SoakFindsFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="ruvan-soak-test-")
        cls.seed = quick_seed()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out, ignore_errors=True)

    def play(self, mode, hang=3.0):
        command = [sys.executable, PROXY, mode, ENGINE]
        return soak.run_case(command, soak.Case(self.seed), hang, self.out)

    def test_clean_engine_passes(self):
        report, notes, fault, slowest = self.play("clean")
        self.assertIsNone(fault)
        self.assertEqual(len(report), 1)
        self.assertIn("6x7", report[0])
        self.assertGreater(slowest, 0)

    def test_each_planted_fault_is_reported(self):
        expected = {
            "stderr": "wrote on standard error",
            "exitcode": "exited with code 1",
            "occupied": "occupied cell",
            "offboard": "off the",
            "garbage": "unexpected reply '",
            "hang": "no reply within the time limit",
            "crash": "closed its output",
        }
        for mode, words in expected.items():
            with self.subTest(mode=mode):
                _, _, fault, _ = self.play(mode, hang=2.0)
                self.assertIsNotNone(fault, mode)
                self.assertTrue(fault.startswith("FAULT seed %d: " % self.seed), fault)
                self.assertIn(words, fault)
                self.assertIn("moves: ", fault)
                self.assertIn("rerun: ", fault)
                replay = os.path.join(self.out, "seed-%d-A.in" % self.seed)
                with open(replay) as f:
                    sent = f.read().split("\n")
                self.assertIn("INFO rule %d" % (self.seed % 3), sent)
                if mode == "stderr":
                    self.assertIn("AddressSanitizer", fault)   # the report itself is shown
                if mode == "garbage":
                    self.assertRegex(fault, r"unexpected reply '\d+ \d+'")
                if mode == "crash":
                    self.assertIn("exit code 134", fault)

    def test_command_line_exit_code(self):
        for mode, code in (("clean", 0), ("exitcode", 1)):
            with self.subTest(mode=mode):
                wrapper = os.path.join(self.out, "engine-" + mode)
                with open(wrapper, "w") as f:
                    f.write("#!/bin/sh\nexec '%s' '%s' %s '%s'\n" % (sys.executable, PROXY, mode, ENGINE))
                os.chmod(wrapper, os.stat(wrapper).st_mode | stat.S_IXUSR)
                run = subprocess.run([sys.executable, os.path.join(TOOLS, "soak.py"), wrapper, "--games", "1",
                                      "--seed", str(self.seed), "--out", self.out],
                                     capture_output=True, text=True, timeout=300)
                self.assertEqual(run.returncode, code, run.stdout + run.stderr)
                self.assertIn("%d passed, %d failed" % (1 - code, code), run.stdout)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_soak.py /path/to/ruvan [unittest options]")
    ENGINE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
