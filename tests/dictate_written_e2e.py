"""End to end: vorlin-dictate writes what it hears as a person would write it.

Usage: dictate_written_e2e.py, with VORLIN_DICTATE naming the binary. Each dictation of
tests/dictate_written.tsv is spoken with flite and piped to the program, and its final line must
be the written text given there, exactly.
"""

import os
import shutil
import subprocess
import sys
import tempfile

from e2e_common import SKIP, check, transcript_lines

BINARY = os.environ.get("VORLIN_DICTATE", "vorlin-dictate")
HERE = os.path.dirname(os.path.abspath(__file__))
PAUSE_BYTES = 2 * 16000 * 3 // 2  # 1.5 s of silence between pieces


def spoken_pcm(voice, text, work):
    wav, raw = os.path.join(work, "say.wav"), os.path.join(work, "say.raw")
    subprocess.run(["flite", "-voice", voice, "-t", text, "-o", wav], check=True)
    subprocess.run(["sox", wav, "-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer",
                    "-t", "raw", raw], check=True)
    with open(raw, "rb") as f:
        return f.read()


def dictations():
    with open(os.path.join(HERE, "dictate_written.tsv")) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            voice, pieces, written = line.rstrip("\n").split("\t")
            yield voice, [p.strip() for p in pieces.split("|")], written


def case_written():
    if not shutil.which("flite") or not shutil.which("sox"):
        print("SKIPPED: flite and sox make the speech")
        sys.exit(SKIP)
    failures = []
    with tempfile.TemporaryDirectory() as work:
        for voice, pieces, written in dictations():
            pause = b"\0" * PAUSE_BYTES
            pcm = pause.join(spoken_pcm(voice, piece, work) for piece in pieces) + pause
            p = subprocess.run([BINARY], input=pcm, capture_output=True, timeout=300)
            check(p.returncode == 0, "status %d, stderr %r" % (p.returncode, p.stderr))
            final = transcript_lines(p.stdout)[-1]
            print("%s\n  want: %s\n  got:  %s" % (" | ".join(pieces), written, final))
            if final != written:
                failures.append(written)
    check(not failures, "%d of the dictations written otherwise: %r" % (len(failures), failures))


if __name__ == "__main__":
    case_written()
    print("1 passed, 0 failed")
