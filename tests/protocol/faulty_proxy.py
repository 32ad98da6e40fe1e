#!/usr/bin/env python3
"""Stands between a game driver and the real engine and plants one fault.

    faulty_proxy.py MODE /path/to/ruvan

Every command goes to the engine unchanged and every reply comes back
unchanged, except for the fault MODE names; it strikes at the engine's fourth
move line, so that the game is well under way:

    clean      none: the control, which must pass
    stderr     a sanitizer-like report on standard error at the end
    exitcode   exit code 1 after END
    occupied   the fourth move repeats the third (a taken cell)
    offboard   the fourth move is 99,99
    garbage    the fourth move line reads "3 3"
    hang       no more output from the fourth move on (the engine still runs)
    crash      the proxy dies at the fourth move, output closed, code 134
"""

import os
import re
import subprocess
import sys
import threading

MODES = ("clean", "stderr", "exitcode", "occupied", "offboard", "garbage", "hang", "crash")
STRIKE = 4
MOVE_LINE = re.compile(r"-?\d+,-?\d+")


def main():
    mode, binary = sys.argv[1], sys.argv[2]
    if mode not in MODES:
        sys.exit("unknown mode " + mode)
    engine = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
    out_lock = threading.Lock()

    def pump():
        moves = 0
        previous = None
        silent = False
        for line in engine.stdout:
            text = line.rstrip("\n")
            if MOVE_LINE.fullmatch(text):
                moves += 1
                if moves == STRIKE:
                    if mode == "occupied":
                        text = previous
                    elif mode == "offboard":
                        text = "99,99"
                    elif mode == "garbage":
                        text = text.replace(",", " ")
                    elif mode == "hang":
                        silent = True
                    elif mode == "crash":
                        sys.stdout.flush()
                        engine.kill()
                        os._exit(134)
                previous = text
            if not silent:
                with out_lock:
                    sys.stdout.write(text + "\n")
                    sys.stdout.flush()

    reader = threading.Thread(target=pump, daemon=True)
    reader.start()
    for line in sys.stdin:
        try:
            engine.stdin.write(line)
            engine.stdin.flush()
        except BrokenPipeError:
            break
    try:
        engine.stdin.close()
    except BrokenPipeError:
        pass
    code = engine.wait()
    reader.join()
    if mode == "stderr":
        sys.stderr.write("==4242==ERROR: AddressSanitizer: heap-use-after-free (planted by the test)\n")
    if mode == "exitcode":
        code = 1
    sys.exit(code)


if __name__ == "__main__":
    main()
