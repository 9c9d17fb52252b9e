"""Helpers shared by the end-to-end tests of the real programs."""

import json
import os
import re
import subprocess
import sys
import threading
import time
import wave

from spoken_form import spoken_words as words_of  # noqa: F401 (the one normaliser of every WER)

LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"
SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests


def pcm_of(wav_path):
    """The raw 16 kHz mono s16le samples of a WAV file."""
    with wave.open(wav_path, "rb") as w:
        assert (w.getframerate(), w.getnchannels(), w.getsampwidth()) == (16000, 1, 2), wav_path
        return w.readframes(w.getnframes())


def librivox_clips():
    """(name, pcm bytes, reference words) for each recording with a transcript."""
    refs = {}
    with open(os.path.join(LIBRIVOX, "transcription")) as f:
        for line in f:
            m = re.match(r"\s*(.*?)\s*\((\S+)\)\s*$", line)
            if m:
                words = [w for w in m.group(1).split() if w not in ("<s>", "</s>")]
                refs[m.group(2)] = words
    clips = []
    for name in sorted(refs):
        clips.append((name, pcm_of(os.path.join(LIBRIVOX, name + ".wav")), refs[name]))
    return clips


def feed_in_real_time(binary, pcm):
    """Runs binary with pcm written to its stdin at the speed of speech, 6400 bytes every 200 ms.
    Returns (when it started, when its input was closed, [(arrival time, stdout line)], status)."""
    p = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    arrivals = []

    def read_lines():
        for line in p.stdout:
            arrivals.append((time.monotonic(), line))

    reader = threading.Thread(target=read_lines)
    reader.start()
    start = time.monotonic()
    for offset in range(0, len(pcm), 6400):
        p.stdin.write(pcm[offset:offset + 6400])
        p.stdin.flush()
        time.sleep(max(0.0, start + (offset + 6400) / 32000.0 - time.monotonic()))
    closed = time.monotonic()
    p.stdin.close()
    reader.join(timeout=60)
    return start, closed, arrivals, p.wait(timeout=60)


def word_errors(ref, hyp):
    """Levenshtein distance between two word lists."""
    prev = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        cur = [i] + [0] * len(hyp)
        for j, h in enumerate(hyp, 1):
            cur[j] = min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (r != h))
        prev = cur
    return prev[-1]


def transcript_lines(stdout_bytes):
    """Parses every line as {"text": str}; fails on anything else."""
    text = stdout_bytes.decode("utf-8")
    assert text.endswith("\n"), "output does not end with a line feed: %r" % text[-80:]
    lines = []
    for raw in text[:-1].split("\n"):
        obj = json.loads(raw)
        assert isinstance(obj, dict) and list(obj) == ["text"], raw
        assert isinstance(obj["text"], str), raw
        assert raw == json.dumps(obj, ensure_ascii=False, separators=(",", ":")).replace("/", "\\/"), raw
        lines.append(obj["text"])
    return lines


def check(condition, message):
    if not condition:
        print("FAILED: " + message, file=sys.stderr)
        sys.exit(1)
