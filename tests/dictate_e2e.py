"""End-to-end tests of vorlin-dictate on real recordings.

Usage: dictate_e2e.py CASE, with VORLIN_DICTATE naming the binary.
"""

import os
import random
import subprocess
import sys
import threading
import time

from e2e_common import (SKIP, check, feed_in_real_time, librivox_clips, transcript_lines,
                        word_errors, words_of, LIBRIVOX)

BINARY = os.environ.get("VORLIN_DICTATE", "vorlin-dictate")


def dictate(pcm, timeout=600):
    p = subprocess.run([BINARY], input=pcm, capture_output=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def baseline_words(wav):
    """The engine's own continuous recognizer, default settings, on the same audio."""
    p = subprocess.run(["pocketsphinx_continuous", "-infile", wav, "-logfn", "/dev/null"],
                       capture_output=True, timeout=300, check=True)
    return words_of(p.stdout.decode())


def case_recordings():
    errors = base_errors = total = 0
    for name, pcm, ref in librivox_clips():
        status, out, err = dictate(pcm)
        check(status == 0, "%s: status %d, stderr %r" % (name, status, err))
        check(err == b"", "%s: stderr %r" % (name, err))
        lines = transcript_lines(out)
        final = words_of(lines[-1])
        ours = word_errors(ref, final)
        base = word_errors(ref, baseline_words(os.path.join(LIBRIVOX, name + ".wav")))
        print("%s: ours %d errors, baseline %d, of %d words: %s" % (name, ours, base, len(ref),
                                                                   " ".join(final)))
        errors, base_errors, total = errors + ours, base_errors + base, total + len(ref)
    print("word error rate: ours %.1f%%, baseline %.1f%%" % (100.0 * errors / total,
                                                             100.0 * base_errors / total))
    check(errors <= base_errors, "word error rate worse than the engine's own recognizer")


def case_realtime():
    """Fed at the speed of speech, provisional lines arrive while input is still open."""
    _, pcm, ref = librivox_clips()[0]
    _, closed, arrivals, status = feed_in_real_time(BINARY, pcm)
    check(status == 0, "status %d" % status)
    before = [line for t, line in arrivals if t < closed]
    check(len(before) >= 3, "only %d lines arrived before input closed" % len(before))
    lines = transcript_lines(b"".join(line for _, line in arrivals))
    print("%d lines, %d before input closed; last after close: %.0f ms; final: %s" % (
        len(arrivals), len(before), 1000 * (arrivals[-1][0] - closed), lines[-1]))
    check(word_errors(ref, words_of(lines[-1])) <= len(ref) // 2, "final line far off: %r" % lines[-1])


def case_empty():
    status, out, err = dictate(b"")
    check((status, out, err) == (0, b'{"text":""}\n', b""), "got %r" % ((status, out, err),))
    status, out, err = dictate(b"\x01")
    check((status, out, err) == (0, b'{"text":""}\n', b""), "one byte: got %r" % ((status, out, err),))


def case_hidden_model():
    """With the model's directory hidden, the program says so and fails."""
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    if probe.returncode != 0:
        print("SKIPPED: no private mount namespace here: %s" % probe.stderr.decode().strip())
        sys.exit(SKIP)
    script = ("mount -t tmpfs none /usr/share/pocketsphinx/model && exec \"$0\"")
    p = subprocess.run(["unshare", "--mount", "sh", "-c", script, BINARY], input=b"\0" * 32000,
                       capture_output=True, timeout=60)
    err = p.stderr.decode()
    print(err, end="")
    check(p.returncode == 1, "status %d" % p.returncode)
    check(p.stdout == b"", "stdout %r" % p.stdout)
    check(err.startswith("vorlin-dictate: the speech model did not install: "), err)
    check("/usr/share/pocketsphinx/model/en-us" in err and "pocketsphinx-en-us" in err,
          "the line names neither the missing path nor the package: " + err)
    check(err.count("\n") == 1 and err.endswith("\n"), "not one line: %r" % err)


def case_hostile():
    """Noise, trickled bytes and odd lengths all give valid lines and status 0."""
    rng = random.Random(1)
    noise = bytes(rng.getrandbits(8) for _ in range(5 * 32000 + 1))
    status, out, err = dictate(noise)
    check(status == 0 and err == b"", "random bytes: status %d %r" % (status, err))
    transcript_lines(out)

    _, pcm, ref = librivox_clips()[1]
    p = subprocess.Popen([BINARY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    threading.Thread(target=lambda: setattr(p, "out", p.stdout.read())).start()
    for i in range(3001):  # one byte at a time for a while, with pauses
        p.stdin.write(pcm[i:i + 1])
        p.stdin.flush()
        if i % 100 == 0:
            time.sleep(0.01)
    p.stdin.write(pcm[3001:])
    p.stdin.close()
    check(p.wait(timeout=120) == 0, "trickled input: status %d" % p.returncode)
    time.sleep(0.2)
    lines = transcript_lines(p.out)
    print("trickled: " + lines[-1])
    check(word_errors(ref, words_of(lines[-1])) <= len(ref) // 2, "trickled input: %r" % lines[-1])


def case_long():
    """Ten minutes of speech piped as fast as it can be read."""
    clips = librivox_clips()
    pcm = b"".join(c[1] for c in clips)
    repeats = int(600 * 32000 / len(pcm)) + 1
    start = time.monotonic()
    status, out, err = dictate(pcm * repeats, timeout=1200)
    seconds = time.monotonic() - start
    check(status == 0 and err == b"", "status %d %r" % (status, err))
    lines = transcript_lines(out)
    ref = [w for c in clips for w in c[2]] * repeats
    wer = word_errors(ref, words_of(lines[-1])) / len(ref)
    print("%.0f s of audio in %.1f s: %d lines, word error rate %.1f%%" % (
        len(pcm) * repeats / 32000, seconds, len(lines), 100 * wer))
    check(wer < 0.5, "final transcript far off")


if __name__ == "__main__":
    globals()["case_" + sys.argv[1]]()
    print("1 passed, 0 failed")
