"""Drives one engine process through its standard input and output.

A session starts the binary with three pipes. Two reader threads collect what
it writes: standard output as a queue of lines (the line feed removed, nothing
else touched, so an empty line stays an empty string), standard error as raw
bytes, which the protocol tests expect to stay empty.

The Windows build writes its standard output in text mode, where every line
ends in CR LF. With RUVAN_LINE_END=crlf in the environment (set when the tests
run the .exe under wine) each line must end in CR LF and loses both; a line
without its CR is marked, so that it fails every comparison. Otherwise a line
ends in a bare LF, and a stray CR stays part of the line and fails the test.

    with EngineSession(binary) as engine:
        engine.send("START 15", "ABOUT")
        engine.expect_lines(["MESSAGE Ruvan 0.1.0", "OK"])
        line = engine.read_line(timeout=5)
        code = engine.finish()          # END, then wait for the exit
        assert engine.stderr_text() == ""

Every wait has a timeout; a session that is still running when it is closed
is killed, so a hanging engine fails a test instead of stalling the run.
"""

import os
import queue
import re
import subprocess
import threading
import time

# Generous, because the same tests also run under ThreadSanitizer.
DEFAULT_TIMEOUT = float(os.environ.get("RUVAN_PROTOCOL_TIMEOUT", "60"))

_LINE_ENDINGS = {"lf": False, "crlf": True}
try:
    CRLF_LINES = _LINE_ENDINGS[os.environ.get("RUVAN_LINE_END", "lf").lower()]
except KeyError:
    raise SystemExit("RUVAN_LINE_END must be lf or crlf") from None

_EOF = object()

# The analysis line the engine prints after every finished iteration. Lines of
# exactly this form are set aside (in `analysis`) unless a session asks to
# see them, so that the transcripts stay about replies; a line that starts
# like one but breaks the form stays in the output, where it fails a test.
ANALYSIS_RE = re.compile(
    r"MESSAGE depth (\d+) eval ([+-]M\d+|-?\d+) nodes (\d+) time (\d+) pv \d+,\d+( \d+,\d+)*\Z")


class EngineTimeout(AssertionError):
    """No line (or no exit) within the time allowed."""


class EngineSession:
    def __init__(self, binary, timeout=DEFAULT_TIMEOUT, keep_analysis=False):
        self.timeout = timeout
        self.keep_analysis = keep_analysis
        self.analysis = []
        self.process = subprocess.Popen(
            [binary],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            bufsize=0,
        )
        self._lines = queue.Queue()
        self._stderr = bytearray()
        self._at_eof = False
        self._input_broken = False
        self._readers = [
            threading.Thread(target=self._read_stdout, daemon=True),
            threading.Thread(target=self._read_stderr, daemon=True),
        ]
        for reader in self._readers:
            reader.start()
        # Lines every session starts with, from the environment (for example
        # "INFO thread_num 2" to run the same transcripts on two search
        # threads). Only INFO lines belong here: they have no reply, so every
        # transcript stays exact.
        preamble = os.environ.get("RUVAN_ENGINE_PREAMBLE", "")
        for line in filter(None, preamble.split(";")):
            self.process.stdin.write(line.encode() + b"\n")

    # -- reader threads -------------------------------------------------

    def _read_stdout(self):
        pending = b""
        stream = self.process.stdout
        while True:
            chunk = stream.read(65536)
            if not chunk:
                break
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                self._lines.put(self._decode_line(line))
        if pending:
            # A last line without its line feed: keep it visible, marked.
            self._lines.put(pending.decode("utf-8", "replace") + "<no line feed>")
        self._lines.put(_EOF)

    @staticmethod
    def _decode_line(raw):
        text = raw.decode("utf-8", "replace")
        if not CRLF_LINES:
            return text
        if text.endswith("\r"):
            return text[:-1]
        return text + "<no carriage return>"

    def _read_stderr(self):
        while True:
            chunk = self.process.stderr.read(65536)
            if not chunk:
                break
            self._stderr.extend(chunk)

    # -- input ----------------------------------------------------------

    def send(self, *lines, end="\n"):
        """Writes each line followed by `end` (a line feed unless told otherwise)."""
        self.send_raw("".join(line + end for line in lines))

    def send_raw(self, data):
        """Writes text or bytes exactly as given. A closed pipe (the engine has
        exited) is remembered, not raised: the output shows what happened."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        try:
            self.process.stdin.write(data)
            self.process.stdin.flush()
        except (BrokenPipeError, ValueError):
            self._input_broken = True

    def close_input(self):
        """End of input, as when the manager closes the pipe."""
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            self._input_broken = True

    # -- output ---------------------------------------------------------

    def read_line(self, timeout=None):
        """The next output line, or None once the engine closed its output.
        Raises EngineTimeout when no line comes in time."""
        if self._at_eof:
            return None
        wait = self.timeout if timeout is None else timeout
        try:
            item = self._lines.get(timeout=max(wait, 0))
        except queue.Empty:
            raise EngineTimeout("no output line within %.1f s" % wait) from None
        if item is _EOF:
            self._at_eof = True
            return None
        if not self.keep_analysis and ANALYSIS_RE.match(item):
            self.analysis.append(item)
            return self.read_line(timeout)
        return item

    def read_lines(self, count, timeout=None):
        """The next `count` lines, within `timeout` seconds in all; a None
        entry stands for the end of output."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        return [self.read_line(deadline - time.monotonic()) for _ in range(count)]

    def expect_lines(self, expected, timeout=None):
        """Reads len(expected) lines and asserts that they equal `expected`."""
        got = self.read_lines(len(expected), timeout)
        if got != list(expected):
            raise AssertionError("engine output differs\n expected: %r\n      got: %r" % (list(expected), got))

    def remaining_lines(self, timeout=None):
        """Every line still to come, up to the end of output."""
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        lines = []
        while True:
            line = self.read_line(deadline - time.monotonic())
            if line is None:
                return lines
            lines.append(line)

    # -- end of the process ---------------------------------------------

    def wait(self, timeout=None):
        """Waits for the process to exit and returns its exit code."""
        try:
            code = self.process.wait(self.timeout if timeout is None else timeout)
        except subprocess.TimeoutExpired:
            raise EngineTimeout("the engine did not exit in time") from None
        for reader in self._readers:
            reader.join(5)
        return code

    def finish(self, command="END", timeout=None):
        """Sends `command` (END by default; None sends nothing), closes the
        input and waits for the exit. Returns the exit code."""
        if command is not None:
            self.send(command)
        self.close_input()
        return self.wait(timeout)

    def stderr_text(self):
        return self._stderr.decode("utf-8", "replace")

    def close(self):
        """Kills the process if it still runs; safe to call more than once."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except (BrokenPipeError, OSError):
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
