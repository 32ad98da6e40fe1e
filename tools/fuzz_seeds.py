#!/usr/bin/env python3
"""Rebuilds the fuzzer's seed corpus from the protocol transcripts.

    tools/fuzz_seeds.py ENGINE FUZZER [CORPUS_DIR]

Runs every tests/protocol/test_*.py against ENGINE behind a recorder that
keeps each session's standard input, exactly as the tests sent it (the
commands, the BOARD blocks, the CR LF and over-long lines, the random sessions
of test_fuzz.py). The recorded sessions are then reduced with the fuzzer's own
merge (FUZZER -merge=1) to the few that together reach every code path any of
them reaches, and those replace the contents of CORPUS_DIR (default
tests/fuzz/corpus). A session longer than the fuzzer's input limit keeps its
lines up to the limit.

ENGINE is a release build (the tests time their thinks); FUZZER is
build/fuzz/ruvan-fuzz.
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
MAX_LEN = 12000   # as `make fuzz` passes -max_len

RECORDER = """#!/bin/sh
# Keeps the session's input in a file of its own, then is the engine.
f=$(mktemp "{dir}/session-XXXXXXXX")
tee "$f" | "{engine}"
"""


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    engine = os.path.abspath(sys.argv[1])
    fuzzer = os.path.abspath(sys.argv[2])
    corpus = os.path.abspath(sys.argv[3] if len(sys.argv) == 4 else os.path.join(ROOT, "tests", "fuzz", "corpus"))
    with tempfile.TemporaryDirectory() as work:
        sessions = os.path.join(work, "sessions")
        os.mkdir(sessions)
        recorder = os.path.join(work, "recorder.sh")
        with open(recorder, "w") as f:
            f.write(RECORDER.format(dir=sessions, engine=engine))
        os.chmod(recorder, 0o755)
        for script in sorted(glob.glob(os.path.join(ROOT, "tests", "protocol", "test_*.py"))):
            run = subprocess.run([sys.executable, script, recorder], capture_output=True, text=True)
            status = "ok" if run.returncode == 0 else "FAILED (sessions kept anyway)"
            print("%s: %s" % (os.path.basename(script), status))
        kept = os.path.join(work, "kept")
        os.mkdir(kept)
        cut = 0
        for path in sorted(glob.glob(os.path.join(sessions, "session-*"))):
            with open(path, "rb") as f:
                data = f.read()
            if len(data) > MAX_LEN:
                data = data[:data.rfind(b"\n", 0, MAX_LEN) + 1]
                cut += 1
            if data:
                with open(os.path.join(kept, os.path.basename(path)), "wb") as f:
                    f.write(data)
        print("%d sessions recorded, %d cut to %d bytes" % (len(os.listdir(sessions)), cut, MAX_LEN))
        shutil.rmtree(corpus, ignore_errors=True)
        os.makedirs(corpus)
        merge = subprocess.run([fuzzer, "-merge=1", "-max_len=%d" % MAX_LEN, corpus, kept],
                               capture_output=True, text=True)
        if merge.returncode != 0:
            sys.stderr.write(merge.stderr)
            sys.exit("the merge failed")
        files = os.listdir(corpus)
        total = sum(os.path.getsize(os.path.join(corpus, name)) for name in files)
        print("%s: %d seeds, %d bytes" % (os.path.relpath(corpus, ROOT), len(files), total))


if __name__ == "__main__":
    main()
