#!/usr/bin/env python3
"""A stand-in for kokoro_server.py in tests: the same JSON-lines protocol, real WAV files (a
sine tone), and behaviour scripted by a JSON file named in $KESTRIN_FAKE_VOICE, read at launch.

Config members (all optional):
  launchLog      file: one JSON line per launch {"pid", "argv", "cwd", "time"}
  requestLog     file: every request line, as received
  counterFile    file counting launches (exitBeforeReady needs it)
  exitBeforeReady  launches 1..N exit with status 3 before "ready"
  readyDelay     seconds before "ready"; negative: never ready
  preamble       raw text written in one write before "ready" (lines the program must ignore)
  readySplitAt   write the ready line in two writes, split after this many bytes; between the
                 two it creates splitMarker and waits until splitGo exists
  splitMarker, splitGo  files, see readySplitAt
  clipSeconds    length of the default clip (0.2)
  stderrBytes    writes this many bytes to standard error first (the program must not need them)
  ignoreTerm     ignores SIGTERM
  ignoreEof      keeps running after its input ends
  replies        list, one per request in order; when exhausted every request gets "ok":
      {"kind": "ok", "seconds": s}             writes a tone to "out", answers ok
      {"kind": "fail", "message": m}           failure line; without "message" none is sent,
                                               "messageValue" sends any JSON value instead
      {"kind": "okNoOut"}                      {"status": "ok"} without "out"
      {"kind": "missing"}                      answers ok without writing the file
      {"kind": "undecodable"}                  writes bytes that are not a WAV, answers ok
      {"kind": "failThenOk", "message": m}     a failure line and an ok line in one write
      {"kind": "silent"}                       no answer
      {"kind": "exit"}                         exits with status 4 without answering
    and in any of them: "delay" seconds before answering, "waitFor" a file that must exist first
"""

import json
import math
import os
import signal
import struct
import sys
import time
import wave


def load_config():
    path = os.environ.get("KESTRIN_FAKE_VOICE")
    if not path:
        return {}
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def append_line(path, text):
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(text.rstrip("\n") + "\n")


def emit(data):
    if isinstance(data, str):
        data = data.encode("utf-8")
    while data:
        written = os.write(1, data)
        data = data[written:]


def line(obj):
    return json.dumps(obj) + "\n"


def wait_for(path):
    while path and not os.path.exists(path):
        time.sleep(0.01)


def write_tone(path, seconds):
    rate = 24000
    frames = max(1, int(rate * seconds))
    samples = b"".join(
        struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate))) for i in range(frames)
    )
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(samples)


def count_launch(config):
    path = config.get("counterFile")
    if not path:
        return 1
    count = 1
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            count = int(f.read().strip() or "0") + 1
    with open(path, "w", encoding="utf-8") as f:
        f.write(str(count))
    return count


def say_ready(config):
    delay = float(config.get("readyDelay", 0))
    if delay < 0:
        return False
    time.sleep(delay)
    if "preamble" in config:
        emit(config["preamble"])
    ready = line({"status": "ready"})
    split = config.get("readySplitAt")
    if split is None:
        emit(ready)
        return True
    emit(ready[:split])
    if config.get("splitMarker"):
        open(config["splitMarker"], "w").close()
    wait_for(config.get("splitGo"))
    emit(ready[split:])
    return True


def answer(config, reply, request):
    wait_for(reply.get("waitFor"))
    time.sleep(float(reply.get("delay", 0)))
    kind = reply.get("kind", "ok")
    out = request.get("out", "")
    if kind == "ok":
        write_tone(out, float(reply.get("seconds", config.get("clipSeconds", 0.2))))
        emit(line({"status": "ok", "out": out}))
    elif kind == "fail":
        failure = {"status": "error"}
        if "message" in reply:
            failure["message"] = reply["message"]
        if "messageValue" in reply:
            failure["message"] = reply["messageValue"]
        emit(line(failure))
    elif kind == "okNoOut":
        emit(line({"status": "ok"}))
    elif kind == "missing":
        emit(line({"status": "ok", "out": out}))
    elif kind == "undecodable":
        with open(out, "wb") as f:
            f.write(b"this is not a RIFF file at all")
        emit(line({"status": "ok", "out": out}))
    elif kind == "failThenOk":
        write_tone(out, float(reply.get("seconds", config.get("clipSeconds", 0.2))))
        emit(line({"status": "error", "message": reply.get("message", "first")}) + line({"status": "ok", "out": out}))
    elif kind == "exit":
        sys.exit(4)
    # "silent": nothing


def main():
    config = load_config()
    launch = count_launch(config)
    append_line(config.get("launchLog"), json.dumps(
        {"pid": os.getpid(), "argv": sys.argv[1:], "cwd": os.getcwd(), "time": time.time(), "launch": launch}))
    if launch <= int(config.get("exitBeforeReady", 0)):
        sys.exit(3)
    if config.get("ignoreTerm"):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    if config.get("stderrBytes"):
        os.write(2, b"x" * int(config["stderrBytes"]))
    if not say_ready(config):
        # Never ready: still leave when the input ends, like the real server.
        for _ in sys.stdin:
            pass
        return 0
    replies = list(config.get("replies", []))
    for raw in sys.stdin:
        append_line(config.get("requestLog"), raw)
        request = json.loads(raw)
        answer(config, replies.pop(0) if replies else {"kind": "ok"}, request)
    while config.get("ignoreEof"):
        time.sleep(1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
