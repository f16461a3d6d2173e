"""The watched child of the fuzz jobs: a worker process writes one JSON line when a call
begins ({"begin": i, "target": ..., "limit": seconds, "call": ...}), one when it ends
({"end": i, "outcome": ..., "why": ...}) and {"done": calls} at the end; the parent reads
them with a timeout per call and turns a silent child into a hang and a dead one into a
crash, naming the call in progress."""

import json
import os
import select
import subprocess
import time


class LineReader:
    """Lines of a child's stdout, each waited for with a timeout. Reads the descriptor
    directly: a buffered file object could hold a complete line that select() cannot see."""

    def __init__(self, fd):
        self.fd = fd
        self.buffer = b""

    def next_line(self, timeout):
        """A line, "" at end of output, or None when nothing complete arrived in time."""
        deadline = time.monotonic() + timeout
        while b"\n" not in self.buffer:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not select.select([self.fd], [], [], remaining)[0]:
                return None
            chunk = os.read(self.fd, 1 << 16)
            if not chunk:
                return ""
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode()


def run_batch(command, tally, idle_seconds):
    """Runs one child (`command`); counts its calls per target and outcome in `tally` (a dict
    with "calls" and "outcomes"); returns its failures as readable lines. Between calls the
    child may stay silent `idle_seconds` (start-up, generation); a call its own "limit"."""
    failures = []
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    reader = LineReader(proc.stdout.fileno())
    pending = None
    finished = False
    last_line = time.monotonic()
    while True:
        limit = pending["limit"] if pending is not None else idle_seconds
        waited_since = pending["at"] if pending else last_line
        line = reader.next_line(limit - (time.monotonic() - waited_since))
        last_line = time.monotonic()
        if line is None:
            proc.kill()
            proc.wait()
            where = (f"({pending['target']}): {pending['call']}" if pending
                     else "outside a call")
            failures.append(f"hang over {limit:.0f} s {where}")
            break
        if line == "":
            proc.wait()
            if not finished:
                stderr = proc.stderr.read().decode(errors="replace")[-2000:]
                where = pending["call"] if pending else "outside a call"
                failures.append(f"crash, exit status {proc.returncode}, during {where}\n"
                                f"{stderr}")
            break
        message = json.loads(line)
        if "begin" in message:
            pending = {**message, "at": time.monotonic()}
        elif "end" in message:
            tally["calls"] += 1
            tally[pending["target"]] = tally.get(pending["target"], 0) + 1
            outcome = message["outcome"]
            tally["outcomes"][outcome] = tally["outcomes"].get(outcome, 0) + 1
            if outcome == "bad":
                failures.append(f"{message['why']} ({pending['target']}): {pending['call']}")
            pending = None
        elif "done" in message:
            finished = True
            for key, value in message.items():
                if key != "done":
                    tally[key] = max(tally.get(key, 0), value)
    proc.stdout.close()
    proc.stderr.close()
    return failures
