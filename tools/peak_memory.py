#!/usr/bin/env python3
"""Peak resident memory of the engine over a normal game.

Usage: tools/peak_memory.py ENGINE RULE

Plays a 40-move game on 15 x 15 (the engine moves first; the other side
answers next to the engine's last move) at 300 ms a move and prints the exit
code and the peak resident set of the engine process in KiB.
"""
import os
import random
import subprocess
import sys
p = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
def send(l): p.stdin.write(l + "\n"); p.stdin.flush()
def move():
    while True:
        l = p.stdout.readline().strip()
        if not l.startswith("MESSAGE") and "," in l: return l
send("START 15"); p.stdout.readline(); p.stdout.readline()
send("INFO timeout_turn 300"); send("INFO rule %s" % sys.argv[2])
taken = set(); send("BEGIN"); m = move(); taken.add(m)
for i in range(40):
    # answer next to the engine's move
    x, y = map(int, m.split(","))
    cands = [(x+dx, y+dy) for dx in (-1,0,1) for dy in (-1,0,1)]
    cands += [(a, b) for a in range(15) for b in range(15)]
    for c in cands:
        s = "%d,%d" % c
        if 0 <= c[0] < 15 and 0 <= c[1] < 15 and s not in taken: break
    taken.add(s); send("TURN " + s); m = move(); taken.add(m)
send("END"); p.stdin.close()
_, status, ru = os.wait4(p.pid, 0)
print("exit", status >> 8, "peak RSS KiB", ru.ru_maxrss)
