#!/usr/bin/env python3
"""Checks of the tuner (tools/spsa.py): its gain schedule ends where it is
told to, and on a made-up match whose results favour the setting nearer a
hidden optimum it walks the constants there, inside their bounds.

Run as: python3 tools/test_spsa.py        (a few seconds; needs no engine)
"""

import math
import os
import random
import sys
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import spsa  # noqa: E402


def noisy_match(targets, seed, sharpness=0.05):
    """A pair's result drawn from a logistic law of how much nearer the upper
    setting lies to `targets` than the lower one: 2-0, 1-1 or 0-2."""
    rng = random.Random(seed)

    def distance(values):
        return math.sqrt(sum((v - t) ** 2 for v, t in zip(values, targets)))

    def play_pair(_k, upper, lower):
        p = 1.0 / (1.0 + math.exp(-sharpness * (distance(lower) - distance(upper))))
        wins = sum(rng.random() < p for _ in range(2))
        return wins, 2 - wins
    return play_pair


class Schedule(unittest.TestCase):
    def test_the_last_iteration_has_the_end_gains(self):
        params = [("a", 100, 8, 0, 200), ("b", 30, 3, 0, 100)]
        tuner = spsa.Tuner(params, 1000, 0.02, 1)
        k = 999
        for i, (_, _, c_end, _, _) in enumerate(params):
            c_k = tuner.c[i] / (k + 1) ** spsa.GAMMA
            a_k = tuner.a[i] / (tuner.big_a + k + 1) ** spsa.ALPHA
            self.assertAlmostEqual(c_k, c_end, places=9)
            self.assertAlmostEqual(a_k / c_k ** 2, 0.02, places=12)

    def test_settings_are_rounded_integers_inside_the_bounds(self):
        tuner = spsa.Tuner([("razorMargin", 64, 8, 60, 200)], 10, 0.02, 3)
        k, signs, upper, lower = tuner.take()
        self.assertEqual(k, 0)
        self.assertTrue(all(isinstance(v, int) for v in upper + lower))
        self.assertGreaterEqual(min(upper + lower), 60)   # 64 - c_0 would fall below 60
        self.assertEqual(tuner.settings([61]), ["tune_razorMargin 61"])


class Arguments(unittest.TestCase):
    def test_an_unknown_constant_is_refused_before_any_game(self):
        with self.assertRaises(SystemExit) as raised, open(os.devnull, "w") as sink:
            stderr, sys.stderr = sys.stderr, sink
            try:
                spsa.main(["no-such-engine", "--only", "razorMargin,noSuchConstant"])
            finally:
                sys.stderr = stderr
        self.assertEqual(raised.exception.code, 2)

    def test_a_clock_alone_sets_no_node_limit(self):
        self.assertEqual(spsa.node_limit(None, None), 40000)
        self.assertEqual(spsa.node_limit(None, 100), 0)
        self.assertEqual(spsa.node_limit(120000, 100), 120000)

    def test_a_start_moves_only_the_named_constants_and_keeps_to_the_bounds(self):
        parameters = [("a", 10, 2, 0, 20), ("b", 5, 1, 0, 9)]
        self.assertEqual(spsa.with_start(parameters, spsa.parse_start("b=7")),
                         [("a", 10, 2, 0, 20), ("b", 7, 1, 0, 9)])
        for bad in ("b=10", "c=1"):
            with self.assertRaises(ValueError):
                spsa.with_start(parameters, spsa.parse_start(bad))
        tuner = spsa.Tuner(spsa.with_start(parameters, {"a": 3}), 100, 0.02, 1)
        self.assertEqual(tuner.theta, [3.0, 5.0])


class Convergence(unittest.TestCase):
    def test_walks_towards_the_optimum_from_both_sides(self):
        params = [("low", 40, 10, 0, 300), ("high", 220, 10, 0, 300)]
        tuner = spsa.Tuner(params, 3000, 0.02, 7)
        spsa.tune_with(tuner, noisy_match([120, 120], seed=11))
        for value in tuner.theta:
            self.assertLess(abs(value - 120), 25, tuner.line())
        self.assertEqual(tuner.done, 3000)

    def test_a_constant_pushed_past_its_bound_stays_on_it(self):
        tuner = spsa.Tuner([("x", 150, 10, 0, 200)], 1500, 0.02, 5)
        spsa.tune_with(tuner, noisy_match([400], seed=2))
        self.assertLessEqual(tuner.theta[0], 200)
        self.assertGreater(tuner.theta[0], 185)

    def test_a_match_that_ignores_the_constants_leaves_them_near_the_start(self):
        # Results independent of the settings: the walk is noise only.
        rng = random.Random(4)

        def coin(_k, _upper, _lower):
            wins = sum(rng.random() < 0.5 for _ in range(2))
            return wins, 2 - wins
        tuner = spsa.Tuner([("x", 100, 10, 0, 200)], 2000, 0.002, 9)
        spsa.tune_with(tuner, coin)
        self.assertLess(abs(tuner.theta[0] - 100), 15, tuner.line())


if __name__ == "__main__":
    unittest.main()
