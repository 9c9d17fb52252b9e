"""End-to-end tests of vorlin-dictate on real recordings, and on speech made with flite.

Usage: dictate_e2e.py CASE, with VORLIN_DICTATE naming the binary.
"""

import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import dictation_audio
from e2e_common import (SKIP, check, feed_in_real_time, librivox_clips, transcript_lines,
                        word_errors, words_of)

BINARY = os.environ.get("VORLIN_DICTATE", "vorlin-dictate")
HERE = os.path.dirname(os.path.abspath(__file__))


def dictate(pcm, timeout=600):
    p = subprocess.run([BINARY], input=pcm, capture_output=True, timeout=timeout)
    return p.returncode, p.stdout, p.stderr


def written(line):
    """A line as a person writes it: no lower-case first letter, closed with a sentence mark."""
    return bool(line) and (line[0].isupper() or not line[0].isalpha()) and line[-1] in ".?!"


def case_recordings():
    """Each recording of the test data, a process each, heard word for word and written."""
    errors = total = 0
    for rec in dictation_audio.recordings():
        status, out, err = dictate(rec.pcm)
        check(status == 0, "%s: status %d, stderr %r" % (rec.name, status, err))
        check(err == b"", "%s: stderr %r" % (rec.name, err))
        final = transcript_lines(out)[-1]
        ours = word_errors(rec.words, words_of(final))
        print("%s: %d errors of %d words: %s" % (rec.name, ours, len(rec.words), final))
        check(written(final), "%s: not written as a sentence: %r" % (rec.name, final))
        errors, total = errors + ours, total + len(rec.words)
    print("word error rate %.1f%%" % (100.0 * errors / total))
    check(errors <= 0.05 * total, "word error rate above 5%")


def case_noise():
    """In a room whose noise starts seconds before the speech, the words are still heard, and
    the noise alone is heard as nothing."""
    noise = dictation_audio.pink_noise(120)
    errors = total = 0
    for rec in librivox_recordings():
        status, out, err = dictate(dictation_audio.in_noise(rec.pcm, 10, noise))
        check(status == 0 and err == b"", "%s: status %d %r" % (rec.name, status, err))
        final = transcript_lines(out)[-1]
        ours = word_errors(rec.words, words_of(final))
        print("%s at 10 dB: %d errors of %d words: %s" % (rec.name, ours, len(rec.words), final))
        errors, total = errors + ours, total + len(rec.words)
    print("word error rate at 10 dB %.1f%%" % (100.0 * errors / total))
    check(errors <= 0.25 * total, "word error rate at 10 dB above 25%")

    status, out, _ = dictate(noise_alone(noise, librivox_recordings()[0], 10))
    lines = transcript_lines(out)
    print("noise alone: %r" % lines)
    check(status == 0 and lines == [""], "noise alone was heard as %r" % lines)


def noise_alone(noise, rec, snr_db, seconds=10):
    """Ten seconds of the noise at the level it has under `rec` at `snr_db`."""
    speech = dictation_audio.speech_power(dictation_audio.samples_of(rec.pcm))
    raw = dictation_audio.samples_of(noise)[60 * 16000:(60 + seconds) * 16000]
    gain = (speech / (sum(x * x for x in raw) / len(raw) * 10 ** (snr_db / 10))) ** 0.5
    return dictation_audio.pcm_of(max(-32768, min(32767, round(x * gain))) for x in raw)


def librivox_recordings():
    return [r for r in dictation_audio.recordings() if r.name.startswith("librivox/")]


def case_realtime():
    """Fed at the speed of speech, provisional lines arrive while input is still open, each the
    committed text followed by the phrase under way."""
    rec = librivox_recordings()[0]
    pause = b"\0" * 32000
    _, closed, arrivals, status = feed_in_real_time(BINARY, pause + rec.pcm + pause + rec.pcm)
    check(status == 0, "status %d" % status)
    before = [line for t, line in arrivals if t < closed]
    check(len(before) >= 3, "only %d lines arrived before input closed" % len(before))
    lines = transcript_lines(b"".join(line for _, line in arrivals))
    print("%d lines, %d before input closed; last after close: %.0f ms; final: %s" % (
        len(arrivals), len(before), 1000 * (arrivals[-1][0] - closed), lines[-1]))
    check(word_errors(rec.words * 2, words_of(lines[-1])) <= len(rec.words) // 5,
          "final line far off: %r" % lines[-1])
    check(lines[-1] == lines[-2], "the last result was not the committed transcript")
    first = next(i for i, line in enumerate(lines) if written(line))
    check(all(line.startswith(lines[first]) for line in lines[first + 1:]),
          "a line after the first phrase was committed does not begin with it")


def case_empty():
    status, out, err = dictate(b"")
    check((status, out, err) == (0, b'{"text":""}\n', b""), "got %r" % ((status, out, err),))
    status, out, err = dictate(b"\x01")
    check((status, out, err) == (0, b'{"text":""}\n', b""), "one byte: got %r" % ((status, out, err),))


def require_private_mounts():
    probe = subprocess.run(["unshare", "--mount", "true"], capture_output=True)
    if probe.returncode != 0:
        print("SKIPPED: no private mount namespace here: %s" % probe.stderr.decode().strip())
        sys.exit(SKIP)


def installed_model():
    return os.path.realpath(os.path.join(os.path.dirname(BINARY), "..", "share", "vorlin-speech",
                                         "moonshine-tiny"))


def model_copy(empty=(), cut=(), absent=(), replaced=None):
    """A private copy of the model's directory: with the files in `empty` empty, those in `cut`
    cut short, those in `absent` left out, and those in `replaced` ({name: bytes}) replaced."""
    model = installed_model()
    folder = tempfile.mkdtemp()
    for name in os.listdir(model):
        if name in absent:
            continue
        with open(os.path.join(model, name), "rb") as f:
            data = f.read()
        if replaced and name in replaced:
            data = replaced[name]
        with open(os.path.join(folder, name), "wb") as f:
            f.write(b"" if name in empty else data[:4096] if name in cut else data)
    return folder


def check_fails_naming(folder, missing, at_install):
    """The program, with `folder` mounted over its model, fails with one line that names the
    file `missing` and what brings it; before any transcript line."""
    model = installed_model()
    script = "mount -t tmpfs none \"$1\" && cp -r \"$2\"/. \"$1\" && exec \"$0\""
    p = subprocess.run(["unshare", "--mount", "sh", "-c", script, BINARY, model, folder],
                       input=b"\0" * 32000, capture_output=True, timeout=60)
    shutil.rmtree(folder)
    err = p.stderr.decode()
    print(err, end="")
    check(p.returncode == 1, "status %d" % p.returncode)
    check(p.stdout == b"", "stdout %r" % p.stdout)
    check(err.startswith("vorlin-dictate: the speech model did not install: " if at_install
                         else "vorlin-dictate: "), err)
    check(os.path.join(model, missing) in err and "scripts/fetch_models.sh" in err,
          "the line names neither the missing file nor what brings it: " + err)
    check(err.count("\n") == 1 and err.endswith("\n"), "not one line: %r" % err)


def case_hidden_model():
    """With a file of the model missing, empty or damaged, the program says which, and what
    brings it, and fails. A damaged file is found when the model loads, after installation."""
    require_private_mounts()
    # The model's directory replaced by a private one: empty; with every file but an empty
    # vocabulary; with every file but a decoder cut short.
    cases = ((tempfile.mkdtemp(), "encoder_model.onnx", True),
             (model_copy(empty=["tokenizer.txt"]), "tokenizer.txt", True),
             (model_copy(cut=["decoder_model_merged.onnx"]), "decoder_model_merged.onnx", False))
    for folder, missing, at_install in cases:
        check_fails_naming(folder, missing, at_install)


def case_hidden_vocabulary():
    """Without the tokenizer's word list, or with one that is not a vocabulary, dictation fails
    cleanly: one line naming the file and what brings it, no transcript, status 1."""
    require_private_mounts()
    check_fails_naming(model_copy(absent=["tokenizer.txt"]), "tokenizer.txt", True)
    not_a_vocabulary = {"tokenizer.txt": b"hello\nworld\n"}
    check_fails_naming(model_copy(replaced=not_a_vocabulary), "tokenizer.txt", False)


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


def case_write_failure():
    """A transcript that cannot be written is a failure, said once on standard error; a reader
    that closes the pipe early ends the program as it ends any filter."""
    _, pcm, _ = librivox_clips()[0]
    for name, redirect in (("full disk", ">/dev/full"), ("closed output", ">&-")):
        p = subprocess.run(["sh", "-c", 'exec "$0" ' + redirect, BINARY], input=pcm,
                           capture_output=True, timeout=120)
        err = p.stderr.decode()
        print("%s: status %d, %r" % (name, p.returncode, err))
        check(p.returncode == 1, "%s: status %d" % (name, p.returncode))
        check(err.startswith("vorlin-dictate: cannot write the transcript: ") and
              err.count("\n") == 1 and err.endswith("\n"), "%s: %r" % (name, err))

    p = subprocess.Popen([BINARY], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    threading.Thread(target=lambda: setattr(p, "err", p.stderr.read())).start()
    p.stdout.close()
    try:
        p.stdin.write(pcm)
        p.stdin.close()
    except BrokenPipeError:
        pass
    status = p.wait(timeout=120)
    time.sleep(0.2)
    print("reader gone: status %d, %r" % (status, p.err))
    check(status == -13 and p.err == b"", "reader gone: status %d %r" % (status, p.err))


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


def spoken_pcm(voice, text, work):
    wav, raw = os.path.join(work, "say.wav"), os.path.join(work, "say.raw")
    subprocess.run(["flite", "-voice", voice, "-t", text, "-o", wav], check=True)
    subprocess.run(["sox", wav, "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer",
                    "-t", "raw", raw], check=True)
    with open(raw, "rb") as f:
        return f.read()


def case_written():
    """Each dictation of tests/dictate_written.tsv, spoken with flite and piped to the program:
    its final line is the written text given there, exactly."""
    if not shutil.which("flite") or not shutil.which("sox"):
        print("SKIPPED: flite and sox make the speech")
        sys.exit(SKIP)
    pause = b"\0" * (2 * 16000 * 3 // 2)  # 1.5 s of silence between pieces
    failures = []
    with open(os.path.join(HERE, "dictate_written.tsv")) as f, \
            tempfile.TemporaryDirectory() as work:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            voice, pieces, want = line.rstrip("\n").split("\t")
            pieces = [p.strip() for p in pieces.split("|")]
            pcm = pause.join(spoken_pcm(voice, piece, work) for piece in pieces) + pause
            status, out, err = dictate(pcm, timeout=300)
            check(status == 0, "status %d, stderr %r" % (status, err))
            final = transcript_lines(out)[-1]
            print("%s\n  want: %s\n  got:  %s" % (" | ".join(pieces), want, final))
            if final != want:
                failures.append(want)
    check(not failures, "%d of the dictations written otherwise: %r" % (len(failures), failures))


if __name__ == "__main__":
    globals()["case_" + sys.argv[1]]()
    print("1 passed, 0 failed")
