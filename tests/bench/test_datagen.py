#!/usr/bin/env python3
"""Checks of the self-play generator through its command line: the record
layout, each side's node budget, and that a run cut short and run again
writes the same bytes as one run.

Run as: python3 tests/bench/test_datagen.py build/release/ruvan-datagen
"""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

DATAGEN = None
RECORD = 128


def records(path):
    with open(path, "rb") as f:
        data = f.read()
    assert len(data) % RECORD == 0, "a file of whole records"
    out = []
    for i in range(0, len(data), RECORD):
        game, seed, budget, ply, value, rule, w, h, flags, mx, my, opening = struct.unpack_from(
            "<IIIHhBBBBBBB", data, i)
        value_nodes, = struct.unpack_from("<I", data, i + 124)
        out.append(dict(game=game, seed=seed, budget=budget, ply=ply, value=value, rule=rule, size=(w, h),
                        white=flags & 1, result=(flags >> 1) & 3, move=(mx, my), opening=opening,
                        board=data[i + 24:i + 124], value_nodes=value_nodes))
    return out


def run(*args):
    return subprocess.run([DATAGEN] + [str(a) for a in args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=600)


class Datagen(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)

    def path(self, name):
        return os.path.join(self.folder.name, name)

    def test_each_side_searches_with_its_own_budget(self):
        out = self.path("asym.bin")
        done = run("--out", out, "--rule", 2, "--games", 3, "--seed", 7, "--nodes", 300, "--white-nodes", 1200)
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = records(out)
        self.assertTrue(rows)
        self.assertEqual({r["game"] for r in rows}, {0, 1, 2})
        for r in rows:
            self.assertEqual(r["budget"], 1200 if r["white"] else 300)
            # The side to move follows the stone count, Black first.
            self.assertEqual(r["white"], r["ply"] % 2)
            self.assertEqual((r["seed"], r["rule"]), (7, 2))
        self.assertEqual({r["white"] for r in rows}, {0, 1})
        # Within a game every record holds the same result, seen from its mover.
        for g in {r["game"] for r in rows}:
            game = [r for r in rows if r["game"] == g]
            winners = {(r["white"], r["result"]) for r in game if r["result"] != 1}
            self.assertLessEqual(len({w if res == 2 else 1 - w for w, res in winners}), 1)

    def test_a_run_cut_short_resumes_to_the_same_bytes(self):
        whole, part = self.path("whole.bin"), self.path("part.bin")
        settings = ["--rule", 0, "--seed", 3, "--nodes", 200, "--white-nodes", 500]
        self.assertEqual(run("--out", whole, "--games", 3, *settings).returncode, 0)
        self.assertEqual(run("--out", part, "--games", 2, *settings).returncode, 0)
        # Cut the file inside its last game, as a stop during a write would.
        size = os.path.getsize(part)
        with open(part, "r+b") as f:
            f.truncate(size - RECORD - 17)
        self.assertEqual(run("--out", part, "--games", 3, *settings).returncode, 0)
        with open(whole, "rb") as a, open(part, "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_other_budgets_do_not_extend_a_file(self):
        out = self.path("file.bin")
        self.assertEqual(run("--out", out, "--rule", 1, "--games", 1, "--nodes", 200).returncode, 0)
        before = os.path.getsize(out)
        done = run("--out", out, "--rule", 1, "--games", 2, "--nodes", 300, "--white-nodes", 400)
        self.assertEqual(done.returncode, 1)
        self.assertIn("not these settings", done.stderr)
        self.assertEqual(os.path.getsize(out), before)

    def test_a_file_of_equal_budgets_is_not_extended_with_a_stronger_white(self):
        # The file's last record may be Black's, whose budget the new
        # settings share: White's records still tell them apart.
        out = self.path("file.bin")
        self.assertEqual(run("--out", out, "--rule", 0, "--games", 2, "--nodes", 200).returncode, 0)
        before = open(out, "rb").read()
        done = run("--out", out, "--rule", 0, "--games", 3, "--nodes", 200, "--white-nodes", 400)
        self.assertEqual(done.returncode, 1)
        self.assertIn("not these settings", done.stderr)
        self.assertEqual(open(out, "rb").read(), before)

    def test_malformed_budget_is_refused(self):
        done = run("--out", self.path("x.bin"), "--rule", 0, "--games", 1, "--white-nodes", -5)
        self.assertEqual(done.returncode, 2)
        self.assertIn("usage", done.stderr)


PROVEN = 32000


class Relabel(unittest.TestCase):
    """--relabel: the positions of a generated file searched again."""

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.source = os.path.join(cls.folder.name, "source.bin")
        done = run("--out", cls.source, "--rule", 2, "--games", 8, "--seed", 4, "--nodes", 300)
        assert done.returncode == 0, done.stderr

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def relabel(self, name, nodes, source=None):
        out = os.path.join(self.folder.name, name)
        done = run("--relabel", source or self.source, "--out", out, "--nodes", nodes)
        return done, out

    def test_at_the_games_own_budget_every_value_comes_out_as_it_was(self):
        # Each search meets the tables it met in the game: the replay is exact.
        done, out = self.relabel("same.bin", 300)
        self.assertEqual(done.returncode, 0, done.stderr)
        source, again = records(self.source), records(out)
        self.assertEqual(len(again), len(source))
        for a, b in zip(source, again):
            self.assertEqual(b["value_nodes"], 300)
            b = dict(b, value_nodes=0)
            self.assertEqual(a, b)

    def test_a_larger_budget_changes_open_values_only(self):
        done, out = self.relabel("deeper.bin", 5000)
        self.assertEqual(done.returncode, 0, done.stderr)
        source, again = records(self.source), records(out)
        changed = 0
        for a, b in zip(source, again):
            self.assertEqual(b["budget"], a["budget"], "the game's own budget stays")
            if abs(a["value"]) == PROVEN:
                self.assertEqual(b["value"], a["value"], "a proof stays")
            changed += b["value"] != a["value"]
            self.assertEqual(dict(b, value=0, value_nodes=0), dict(a, value=0))
        self.assertGreater(changed, len(source) // 10)

    def test_a_cut_output_resumes_to_the_same_bytes(self):
        done, whole = self.relabel("whole.bin", 600)
        self.assertEqual(done.returncode, 0, done.stderr)
        part = os.path.join(self.folder.name, "part.bin")
        with open(whole, "rb") as f:
            data = f.read()
        with open(part, "wb") as f:
            f.write(data[:len(data) // 2 + 40])
        done, _ = self.relabel("part.bin", 600)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(part, "rb") as f:
            self.assertEqual(f.read(), data)
        # Resuming at another budget would mix two targets in one file.
        done, _ = self.relabel("part.bin", 700)
        self.assertEqual(done.returncode, 1)
        self.assertIn("not these settings", done.stderr)

    def test_sources_that_are_no_run_of_games_are_refused(self):
        done, once = self.relabel("once.bin", 400)
        self.assertEqual(done.returncode, 0, done.stderr)
        done, _ = self.relabel("twice.bin", 800, source=once)
        self.assertEqual(done.returncode, 1)
        self.assertIn("not one run", done.stderr)
        # A board that does not follow from the game's moves.
        with open(self.source, "rb") as f:
            data = bytearray(f.read())
        data[RECORD * 3 + 24] ^= 0x3
        broken = os.path.join(self.folder.name, "broken.bin")
        with open(broken, "wb") as f:
            f.write(data)
        done, _ = self.relabel("from_broken.bin", 300, source=broken)
        self.assertEqual(done.returncode, 1)
        self.assertIn("does not replay", done.stderr)
        # Settings of the games' own are the source's, not the command's.
        self.assertEqual(run("--relabel", self.source, "--out", os.path.join(self.folder.name, "x.bin"),
                             "--nodes", 300, "--rule", 2).returncode, 2)


if __name__ == "__main__":
    DATAGEN = os.path.abspath(sys.argv.pop(1))
    unittest.main()
