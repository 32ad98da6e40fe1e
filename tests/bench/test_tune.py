#!/usr/bin/env python3
"""Checks of the fitter through its command line, on data the generator makes:
what --skip-proven leaves out of the value fit, and what it keeps; move
tables kept from an earlier fit with --moves-from, and the value tables of the
models without data with --values-from; the pair table fitted for the rules
--joint names only.

Run as: python3 tests/bench/test_tune.py build/release/ruvan-datagen build/release/ruvan-tune
"""

import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

DATAGEN = None
TUNE = None
RECORD = 128
DECISIVE = 32000


def run(program, *args, cwd=None):
    return subprocess.run([program] + [str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=600, cwd=cwd)


def moves(text):
    """The move tables of a generated source."""
    return text[text.index("const int16_t learnedAttack"):text.index("const int16_t learnedJointValue")]


def brace_rows(text, start):
    """The rows of the two-level table that begins at `start` in a generated
    source, one list of numbers a row (an empty list for a row of zeros
    written as {})."""
    body = text[text.index(start):].split("= {", 1)[1].split("};", 1)[0]
    return [[int(n) for n in re.findall(r"-?\d+", group.split("}")[0])] for group in body.split("{")[1:]]


def pair_models(text):
    """The pair tables of a generated source, one list of numbers a model."""
    return brace_rows(text, "const int16_t learnedJointValue")


def values(text):
    """The value and situation tables of a generated source."""
    return text[text.index("const int16_t learnedValue"):text.index("const int16_t learnedAttack")]


def table_models(text, name, end):
    """The numbers of table `name` of a generated source (up to table `end`),
    split into the four models."""
    body = text[text.index("const int16_t " + name):text.index("const int16_t " + end)].split("= {", 1)[1]
    numbers = [int(n) for n in re.findall(r"-?\d+", body)]
    size = len(numbers) // 4
    return [numbers[m * size:(m + 1) * size] for m in range(4)]


def value_models(text):
    """Per model: its value, situation and pair tables."""
    tables = [table_models(text, "learnedValue", "learnedSituation"),
              table_models(text, "learnedSituation", "learnedAttack"), pair_models(text)]
    return [[t[m] for t in tables] for m in range(4)]


def value_of(data, i):
    return struct.unpack_from("<h", data, i + 14)[0]


class SkipProven(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.data = os.path.join(cls.folder.name, "games.bin")
        done = run(DATAGEN, "--out", cls.data, "--rule", 0, "--games", 40, "--seed", 5, "--nodes", 300)
        assert done.returncode == 0, done.stderr
        with open(cls.data, "rb") as f:
            cls.bytes = f.read()
        standard = os.path.join(cls.folder.name, "standard.bin")
        done = run(DATAGEN, "--out", standard, "--rule", 1, "--games", 16, "--seed", 6, "--nodes", 300)
        assert done.returncode == 0, done.stderr
        with open(standard, "rb") as f:
            cls.standard = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def fit(self, data, *options, kept=None):
        """Fits `data` as the file games.bin of a folder of its own, so that
        the header of the written tables (which names the file) is the same
        for every variant; returns the report and the tables' text. `kept`
        is written there as kept.cpp, for --moves-from."""
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "games.bin"), "wb") as f:
                f.write(data)
            if kept is not None:
                with open(os.path.join(folder, "kept.cpp"), "w") as f:
                    f.write(kept)
            done = run(TUNE, "--epochs", 60, "--move-epochs", 20, "--lambda", 0, *options, "--out", "tables.cpp",
                       "games.bin", cwd=folder)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(folder, "tables.cpp")) as f:
                return done.stdout, f.read()

    def with_proven_values_turned(self):
        """The data with every proven value made the opposite proof, and the
        game results of those records turned too: what the value fit on
        proven positions would learn is reversed, nothing else changes."""
        data = bytearray(self.bytes)
        turned = 0
        for i in range(0, len(data), RECORD):
            v = value_of(data, i)
            if abs(v) == DECISIVE:
                struct.pack_into("<h", data, i + 14, -v)
                flags = data[i + 19]
                result = (flags >> 1) & 3
                data[i + 19] = (flags & ~6) | ((2 - result) << 1)
                turned += 1
        return bytes(data), turned

    def test_the_value_fit_ignores_proven_positions_only_when_asked(self):
        changed, turned = self.with_proven_values_turned()
        open_count = len(self.bytes) // RECORD - turned
        self.assertGreater(turned, 20, "the games end in proven wins")
        self.assertGreater(open_count, 100)
        report, skipped = self.fit(self.bytes, "--skip-proven")
        _, skipped_changed = self.fit(changed, "--skip-proven")
        self.assertEqual(skipped, skipped_changed)
        _, full = self.fit(self.bytes)
        _, full_changed = self.fit(changed)
        self.assertNotEqual(full, full_changed)
        # Left out of the value, the proven positions still teach the moves:
        # the move tables of both fits are the same.
        self.assertNotEqual(full, skipped)
        self.assertEqual(moves(full), moves(skipped))
        self.assertIn("held-out open positions (no proven value)", report)

    def test_move_tables_kept_from_an_earlier_fit(self):
        # An earlier fit on other data (the proven values turned) gives the
        # move tables; the new fit keeps them as they were and fits its value.
        changed, _ = self.with_proven_values_turned()
        _, earlier = self.fit(changed[: len(changed) // 2], "--move-epochs", 5)
        _, own = self.fit(self.bytes, "--skip-proven")
        _, kept = self.fit(self.bytes, "--skip-proven", "--moves-from", "kept.cpp", kept=earlier)
        self.assertNotEqual(moves(own), moves(earlier))
        self.assertEqual(moves(kept), moves(earlier))
        self.assertEqual(values(kept), values(own))
        # The header says where the moves came from, quoting that file's data.
        self.assertIn("Move tables kept from kept.cpp, whose header read:", kept)
        self.assertIn("//   | Command: " + TUNE, kept)

    def test_value_tables_kept_for_the_models_without_data(self):
        # An earlier fit on standard and (other) free-style games gives the
        # kept source; a fit on the free-style games alone keeps its standard
        # and Renju models and fits free style as it would without it.
        changed, _ = self.with_proven_values_turned()
        _, earlier = self.fit(self.standard + changed[: len(changed) // 2], "--skip-proven", "--joint", "0,1")
        _, own = self.fit(self.bytes, "--skip-proven", "--joint", "0,1")
        report, kept = self.fit(self.bytes, "--skip-proven", "--joint", "0,1", "--values-from", "kept.cpp",
                                kept=earlier)
        before, alone, after = value_models(earlier), value_models(own), value_models(kept)
        self.assertTrue(any(before[1][0]) and any(before[1][2]), "the earlier fit has a standard value and pair table")
        self.assertNotEqual(before[0], alone[0])
        self.assertEqual(after[0], alone[0])
        self.assertEqual(after[1:], before[1:])
        self.assertFalse(any(any(t) for t in alone[1]))
        # The fitted model is measured against the kept one on the same rows.
        kept_loss = re.search(r"value loss of the kept tables (\d+\.\d+)", report)
        self.assertIsNotNone(kept_loss, report)
        self.assertGreater(float(kept_loss.group(1)), 0.1)
        self.assertEqual(moves(kept), moves(own))
        self.assertIn("Value tables of the models not fitted on the data above kept from kept.cpp, whose header read:",
                      kept)
        # Both kept from one source: its header is quoted once.
        _, both = self.fit(self.bytes, "--skip-proven", "--moves-from", "kept.cpp", "--values-from", "kept.cpp",
                           kept=earlier)
        self.assertEqual(moves(both), moves(earlier))
        self.assertEqual(value_models(both)[1:], before[1:])
        self.assertIn("kept from kept.cpp (quoted above)", both)
        self.assertEqual(both.count("//   | Command: " + TUNE), 1)

    def test_the_pair_table_is_fitted_for_the_rules_named_only(self):
        _, plain = self.fit(self.bytes, "--skip-proven")
        _, paired = self.fit(self.bytes, "--skip-proven", "--joint", "0")
        _, elsewhere = self.fit(self.bytes, "--skip-proven", "--joint", "1,2")
        for text in (plain, paired, elsewhere):
            models = pair_models(text)
            self.assertEqual([len(m) for m in models], [14 * 14] * 4)
        # Free style data: only model 0 learns a pair table, and only when
        # rule 0 is named; naming other rules changes nothing.
        self.assertTrue(any(pair_models(paired)[0]))
        self.assertFalse(any(any(m) for m in pair_models(paired)[1:]))
        self.assertFalse(any(any(m) for m in pair_models(plain)))
        self.assertEqual(values(elsewhere), values(plain))
        self.assertEqual(pair_models(elsewhere), pair_models(plain))
        # The pair weights share the fit with the code weights, which move.
        self.assertNotEqual(values(paired), values(plain))
        self.assertEqual(moves(paired), moves(plain))
        for bad in ("3", "x", "0;1"):
            done = run(TUNE, "--joint", bad, os.devnull)
            self.assertEqual(done.returncode, 2, bad)

    def networks(self, *options):
        """Fits a network over free style and standard data; per model, its
        output weights and its first layer's bias."""
        with tempfile.TemporaryDirectory() as folder:
            for name, data in (("games.bin", self.bytes), ("standard.bin", self.standard)):
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(data)
            done = run(TUNE, "--epochs", 20, "--move-epochs", 5, "--lambda", 0, "--skip-proven", "--hidden", 16,
                       "--net-epochs", 2, *options, "--net-out", "net.cpp", "games.bin", "standard.bin", cwd=folder)
            self.assertEqual(done.returncode, 0, done.stderr)
            with open(os.path.join(folder, "net.cpp")) as f:
                text = f.read()
        return (brace_rows(text, "const int32_t learnedNetOut["), brace_rows(text, "const int32_t learnedNetBias"))

    def test_networks_are_fitted_for_the_rules_named_only(self):
        out_all, bias_all = self.networks()
        out_one, bias_one = self.networks("--net-rules", "1")
        self.assertEqual(len(out_all), 4)
        # Renju has no data: its models never get a network.
        self.assertTrue(any(out_all[0]) and any(out_all[1]))
        self.assertFalse(any(out_all[2]) or any(out_all[3]))
        # Free style left out is written as zeros (no network in the engine);
        # standard's fit does not depend on what the other rules do.
        self.assertFalse(any(out_one[0]) or any(bias_one[0]))
        self.assertEqual((out_one[1], bias_one[1]), (out_all[1], bias_all[1]))
        for bad in ("3", "0 1"):
            done = run(TUNE, "--net-rules", bad, os.devnull)
            self.assertEqual(done.returncode, 2, bad)

    def test_moves_from_a_file_that_is_no_table_source_is_refused(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "games.bin")
            with open(path, "wb") as f:
                f.write(self.bytes)
            for option in ("--moves-from", "--values-from"):
                done = run(TUNE, option, path, path)
                self.assertEqual(done.returncode, 1)
                self.assertIn("not a table source", done.stderr)


if __name__ == "__main__":
    TUNE = os.path.abspath(sys.argv.pop(2))
    DATAGEN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
