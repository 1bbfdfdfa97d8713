#!/usr/bin/env python3
"""Kestrin AI's neural voice server: Kokoro through the kokoro-onnx package.

Run by the program with the interpreter of the voice's virtual environment:

    python3 kokoro_server.py --models <folder with kokoro-v1.0.onnx and voices-v1.0.bin>

Protocol, one JSON object per line (UTF-8, line feed):
  - once the model is loaded it prints {"status": "ready"};
  - each request {"text": ..., "voice": ..., "out": <path of a .wav to write>} is answered, in
    order, by {"status": "ok", "out": <path>} or {"status": "error", "message": <reason>};
  - it exits when its standard input ends.

Only protocol lines go to standard output; everything else (library messages included) goes to
standard error, which the program discards.
"""

import argparse
import json
import os
import sys
import wave

MODEL_FILE = "kokoro-v1.0.onnx"
VOICES_FILE = "voices-v1.0.bin"


def open_protocol_channel():
    """Keeps the real stdout for protocol lines and points fd 1 at stderr, so that prints from
    native libraries can never corrupt the protocol."""
    protocol = os.fdopen(os.dup(1), "w", encoding="utf-8", buffering=1)
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    return protocol


def language_for(voice):
    # Kokoro voice names start with a language letter: "a" American, "b" British English.
    return "en-gb" if voice.startswith("b") else "en-us"


def write_wav(path, samples, sample_rate):
    import numpy as np

    pcm = (np.clip(np.asarray(samples, dtype=np.float32), -1.0, 1.0) * 32767.0).astype("<i2")
    partial = path + ".part"
    # The program may read the file as soon as the answer arrives: write aside, then rename.
    with wave.open(partial, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(int(sample_rate))
        out.writeframes(pcm.tobytes())
    os.replace(partial, path)


def answer(protocol, message):
    protocol.write(json.dumps(message) + "\n")
    protocol.flush()


def serve(protocol, kokoro):
    answer(protocol, {"status": "ready"})
    for line in sys.stdin:
        line = line.strip()
        if not line:
            continue
        try:
            request = json.loads(line)
            text = request["text"]
            voice = request["voice"]
            out = request["out"]
            samples, sample_rate = kokoro.create(text, voice=voice, speed=1.0, lang=language_for(voice))
            write_wav(out, samples, sample_rate)
            answer(protocol, {"status": "ok", "out": out})
        except Exception as error:  # every request gets an answer, whatever went wrong
            answer(protocol, {"status": "error", "message": str(error) or type(error).__name__})


def main():
    parser = argparse.ArgumentParser(description="Kokoro text-to-speech over JSON lines")
    parser.add_argument("--models", required=True, help="folder holding the model files")
    args = parser.parse_args()

    protocol = open_protocol_channel()
    os.umask(0o077)  # clips hold what the user was told: private to the user

    from kokoro_onnx import Kokoro

    kokoro = Kokoro(os.path.join(args.models, MODEL_FILE), os.path.join(args.models, VOICES_FILE))
    try:
        serve(protocol, kokoro)
    except (BrokenPipeError, KeyboardInterrupt):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
