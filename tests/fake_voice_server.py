#!/usr/bin/env python3
"""A stand-in for kokoro_server.py in tests: the same JSON-lines protocol, real WAV files (a
sine tone), and behaviour scripted by a JSON file named in $KESTRIN_FAKE_VOICE, read at launch.

Config members (all optional):
  launchLog        file: one JSON line per launch {"pid", "argv", "cwd", "started"}, started being
                   when the process was made, in seconds since boot (CLOCK_BOOTTIME)
  requestLog       file: every request line, once answered
  counterFile      file counting launches; launches 1..exitBeforeReady exit with status 3
  preamble         raw text written in one write before "ready"
  readySplitAt     the ready line in two writes 0.2 s apart, split after this many bytes
  stderrBytes      that many bytes to standard error first (the program must not need them)
  garbageBytes     that many random bytes, a 2 MB line and an unfinished "ready" line on standard
                   output, then death by SIGKILL: a server crashing in a loop
  ignoreTerm, ignoreEof  ignore SIGTERM / keep running after the input ends
  replies          one per request in order, then {"tone": 0.2} for every request:
      "tone": s     writes an s-second tone to the request's "out"
      "bytes": b    writes b to "out" instead
      "lines": t    written in one write instead of the ok line, "$OUT" standing for "out";
                    a list of texts: one write each, 0.2 s apart
      "exit": true  exits with status 4 without answering
      "delay": s    waits s seconds first
"""

import json
import math
import os
import random
import signal
import struct
import sys
import time
import wave


def emit(data):
    data = data.encode("utf-8")
    while data:
        data = data[os.write(1, data):]


def append_line(path, text):
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(text.rstrip("\n") + "\n")


def write_tone(path, seconds):
    rate = 24000
    frames = max(1, int(rate * seconds))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate)))
                                 for i in range(frames)))


def started():
    # From the kernel, so the interpreter's own start-up time is not in it.
    with open("/proc/self/stat", encoding="utf-8") as f:
        return int(f.read().rsplit(")", 1)[1].split()[19]) / os.sysconf("SC_CLK_TCK")


def count_launch(path):
    if not path:
        return 1
    count = 1 + (int(open(path, encoding="utf-8").read() or "0") if os.path.exists(path) else 0)
    with open(path, "w", encoding="utf-8") as f:
        f.write(str(count))
    return count


def answer(reply, out):
    time.sleep(float(reply.get("delay", 0)))
    if reply.get("exit"):
        sys.exit(4)
    if "tone" in reply:
        write_tone(out, float(reply["tone"]))
    if "bytes" in reply:
        with open(out, "w", encoding="utf-8") as f:
            f.write(reply["bytes"])
    lines = reply.get("lines", json.dumps({"status": "ok", "out": out}) + "\n")
    for i, text in enumerate([lines] if isinstance(lines, str) else lines):
        time.sleep(0.2 if i else 0)
        emit(text.replace("$OUT", out))


def main():
    config = {}
    if os.environ.get("KESTRIN_FAKE_VOICE"):
        with open(os.environ["KESTRIN_FAKE_VOICE"], encoding="utf-8") as f:
            config = json.load(f)
    launch = count_launch(config.get("counterFile"))
    append_line(config.get("launchLog"), json.dumps(
        {"pid": os.getpid(), "argv": sys.argv[1:], "cwd": os.getcwd(), "started": started()}))
    if launch <= int(config.get("exitBeforeReady", 0)):
        sys.exit(3)
    if config.get("garbageBytes"):
        junk = random.Random(launch).randbytes(int(config["garbageBytes"]))
        os.write(1, junk + b"{" * (2 << 20) + b'{"status":"ready"}')
        os.kill(os.getpid(), signal.SIGKILL)
    if config.get("ignoreTerm"):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if config.get("stderrBytes"):
        os.write(2, b"x" * int(config["stderrBytes"]))
    emit(config.get("preamble", ""))
    ready = json.dumps({"status": "ready"}) + "\n"
    split = int(config.get("readySplitAt", 0))
    emit(ready[:split])
    time.sleep(0.2 if split else 0)
    emit(ready[split:])
    replies = list(config.get("replies", []))
    for raw in sys.stdin:
        answer(replies.pop(0) if replies else {"tone": 0.2}, json.loads(raw).get("out", ""))
        append_line(config.get("requestLog"), raw)
    while config.get("ignoreEof"):
        time.sleep(1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
